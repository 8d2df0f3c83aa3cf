#include "uplift_tree/divergence.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>

#include "uplift_tree/training_data.hpp"

namespace quillmarsh {
namespace {

using testing_data::Floats;
using testing_data::make_columns;
using testing_data::make_node;
using testing_data::Texts;

constexpr double kInf = std::numeric_limits<double>::infinity();

struct MeasureCase {
  const char* name;
  double p;
  double q;
  double ed;
  double kl;
  double chi;
};

class Measures : public ::testing::TestWithParam<MeasureCase> {};

// Documented values, compared bit for bit (NaN compared as NaN).
TEST_P(Measures, MatchDocumentedValuesExactly) {
  const MeasureCase& c = GetParam();
  const auto same = [](double got, double want) {
    return std::isnan(want) ? std::isnan(got) : got == want;
  };
  EXPECT_TRUE(same(divergence_ed(c.p, c.q), c.ed)) << divergence_ed(c.p, c.q);
  EXPECT_TRUE(same(divergence_kl(c.p, c.q), c.kl)) << divergence_kl(c.p, c.q);
  EXPECT_TRUE(same(divergence_chi(c.p, c.q), c.chi)) << divergence_chi(c.p, c.q);
}
INSTANTIATE_TEST_SUITE_P(
    Rates, Measures,
    ::testing::Values(
        MeasureCase{"half_quarter", 0.5, 0.25, 0.125, 0.20751874963942185, 0.3333333333333333},
        MeasureCase{"equal", 0.3, 0.3, 0.0, 0.0, 0.0},
        MeasureCase{"both_zero", 0.0, 0.0, 0.0, 19.931568569324174, 1000000.0},
        MeasureCase{"negative_zero_is_zero", -0.0, 0.5, 0.5, 19.931568569324174, 1000000.0},
        MeasureCase{"worked_group_two", 0.8, 0.5, 0.18000000000000005, 0.2780719051126377,
                    0.3600000000000001},
        MeasureCase{"treated_rate_one", 1.0, 0.5, 0.5, std::nan(""), 1.0},
        MeasureCase{"control_rate_one", 0.5, 1.0, 0.5, kInf, kInf},
        MeasureCase{"both_rates_one", 1.0, 1.0, 0.0, std::nan(""), std::nan("")},
        MeasureCase{"nan_beside_zero_is_guarded", std::nan(""), 0.0, std::nan(""),
                    19.931568569324174, 1000000.0},
        MeasureCase{"nan_beside_nonzero", std::nan(""), 0.5, std::nan(""), std::nan(""),
                    std::nan("")}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// Counts 10,5 | 30,15 | 10,8 over 50 rows: rates 0.5, 0.5, 0.8.
TEST(NodeDivergence, WorkedExampleBalancedAndSizeWeighted) {
  const GroupCounts c = {10, 5, 30, 15, 10, 8};
  EXPECT_EQ(node_divergence(c, EvalFunc::Euclidean, true, 50), 0.09000000000000002);
  EXPECT_EQ(node_divergence(c, EvalFunc::Euclidean, false, 50), 0.04500000000000001);
}

TEST(NodeDivergence, SingleTreatmentGroupWeighsTheSameEitherWay) {
  const GroupCounts c = {7, 3, 13, 9};
  for (EvalFunc f : {EvalFunc::Euclidean, EvalFunc::KL, EvalFunc::Chi}) {
    EXPECT_EQ(node_divergence(c, f, true, 20), node_divergence(c, f, false, 20));
  }
}

class NodeDivergenceLength : public ::testing::TestWithParam<std::size_t> {};

TEST_P(NodeDivergenceLength, RejectsOddOrShortVectors) {
  const GroupCounts c(GetParam(), 1);
  EXPECT_EQ(panic_message([&] { node_divergence(c, EvalFunc::KL, false, 1); }),
            "assertion failed: v.len() % 2 == 0 && v.len() >= 4");
}
INSTANTIATE_TEST_SUITE_P(Lengths, NodeDivergenceLength, ::testing::Values(0, 1, 2, 3, 5, 7));

TEST(NodeDivergence, EmptyGroupIsNanUnderEuclideanEitherWeighting) {
  for (bool balance : {false, true}) {
    const GroupCounts missing_treated = {10, 5, 0, 0, 10, 8};
    const GroupCounts missing_control = {0, 0, 10, 5};
    EXPECT_TRUE(std::isnan(node_divergence(missing_treated, EvalFunc::Euclidean, balance, 20)));
    EXPECT_TRUE(std::isnan(node_divergence(missing_control, EvalFunc::Euclidean, balance, 10)));
  }
}

// An empty treatment group beside a control rate of 0 takes the guard constant, and with size
// weighting its weight 0/T removes it.
TEST(NodeDivergence, GuardedEmptyGroupContributesNothingWhenSizeWeighted) {
  const GroupCounts c = {10, 0, 0, 0, 10, 5};
  EXPECT_EQ(node_divergence(c, EvalFunc::KL, false, 20), divergence_kl(0.5, 0.0) * 1.0);
  EXPECT_EQ(node_divergence(c, EvalFunc::Chi, true, 20), 1000000.0 * 0.5 + 1000000.0 * 0.5);
}

struct GainCase {
  const char* name;
  EvalFunc f;
  bool regularization;
  GroupCounts left;
  GroupCounts right;
  double gain;
};

class SplitGainExample : public ::testing::TestWithParam<GainCase> {};

// Node 20,10,20,10 (40 rows, equal rates, so its divergence is 0), alpha 0.9, no balance.
TEST_P(SplitGainExample, MatchesDocumentedGainBitForBit) {
  const GainCase& c = GetParam();
  const GroupCounts node = {20, 10, 20, 10};
  SplitSettings s;
  s.eval_func = c.f;
  s.regularization = c.regularization;
  s.alpha = 0.9;
  const double d_parent = node_divergence(node, c.f, false, 40);
  ASSERT_EQ(d_parent, 0.0);
  const auto n_left = static_cast<std::uint64_t>(c.left[0] + c.left[2]);
  EXPECT_EQ(split_gain(node, 40, d_parent, c.left, n_left, c.right, 40 - n_left, s), c.gain);
}
INSTANTIATE_TEST_SUITE_P(
    Documented, SplitGainExample,
    ::testing::Values(
        GainCase{
            "ed", EvalFunc::Euclidean, false, {12, 3, 6, 5}, {8, 7, 14, 5}, 0.6012436224489797},
        GainCase{
            "ed_reg", EvalFunc::Euclidean, true, {12, 3, 6, 5}, {8, 7, 14, 5}, 0.45896459728929745},
        GainCase{"kl", EvalFunc::KL, false, {12, 3, 6, 5}, {8, 7, 14, 5}, 1.070015728602563},
        GainCase{"kl_reg", EvalFunc::KL, true, {12, 3, 6, 5}, {8, 7, 14, 5}, 0.816805899696613},
        GainCase{"chi", EvalFunc::Chi, false, {12, 3, 6, 5}, {8, 7, 14, 5}, 2.1652089407191446},
        GainCase{"chi_reg", EvalFunc::Chi, true, {12, 3, 6, 5}, {8, 7, 14, 5}, 1.6528312524573623},
        GainCase{"mirror",
                 EvalFunc::Euclidean,
                 false,
                 {10, 2, 10, 8},
                 {10, 8, 10, 2},
                 0.7200000000000002},
        GainCase{"mirror_reg",
                 EvalFunc::Euclidean,
                 true,
                 {10, 2, 10, 8},
                 {10, 8, 10, 2},
                 0.5760000000000002}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(SplitGainExample, ChildDivergencesAndNormalisers) {
  const GroupCounts node = {20, 10, 20, 10};
  EXPECT_EQ(node_divergence(GroupCounts{12, 3, 6, 5}, EvalFunc::Euclidean, false, 18),
            0.6805555555555557);
  EXPECT_EQ(node_divergence(GroupCounts{8, 7, 14, 5}, EvalFunc::Euclidean, false, 22),
            0.5363520408163264);
  EXPECT_EQ(gain_normaliser(node, GroupCounts{12, 3, 6, 5}, 40, 18, 0.9), 1.31);
  EXPECT_EQ(gain_normaliser(node, GroupCounts{10, 2, 10, 8}, 40, 20, 0.9), 1.25);
}

TEST(UpliftVector, RatesMinusControlRate) {
  // Control 4/10, group 1 6/10, group 2 3/10.
  const std::vector<double> u = uplift_vector(GroupCounts{10, 4, 10, 6, 10, 3});
  ASSERT_EQ(u.size(), 2u);
  EXPECT_EQ(u[0], 0.19999999999999996);
  EXPECT_EQ(u[1], -0.10000000000000003);
  const std::vector<double> missing = uplift_vector(GroupCounts{10, 4, 0, 0, 10, 3});
  EXPECT_TRUE(std::isnan(missing[0]));
  EXPECT_EQ(missing[1], -0.10000000000000003);
  for (double v : uplift_vector(GroupCounts{0, 0, 5, 1, 5, 2})) EXPECT_TRUE(std::isnan(v));
}

TEST(GroupCounts, CountsSizesAndSumsOutcomesAsStored) {
  const TrainingRoot node =
      make_node(make_columns({}, {0, 2, 2, 0, 2, 0, 2}, {1, -1, 2, 0, 1, 1, 0}));
  EXPECT_EQ(group_counts(*node.dataset, *node.rows), (GroupCounts{3, 2, 0, 0, 4, 2}));
  const std::vector<RowIndex> some = {6, 1, 3};
  EXPECT_EQ(group_counts(*node.dataset, some), (GroupCounts{1, 0, 0, 0, 2, -1}));
  EXPECT_EQ(group_counts(*node.dataset, std::vector<RowIndex>{}), (GroupCounts{0, 0, 0, 0, 0, 0}));
}

TEST(GroupCounts, DoesNotDependOnRowOrder) {
  Rng rng(7);
  const TrainingRoot node = make_node(testing_data::random_experiment(rng, 300, 1, 0, 4, false));
  RowVector rows = *node.rows;
  const GroupCounts forward = group_counts(*node.dataset, rows);
  std::reverse(rows.begin(), rows.end());
  EXPECT_EQ(group_counts(*node.dataset, rows), forward);
  EXPECT_EQ(std::accumulate(forward.begin(), forward.end(), 0) > 300, true);
}

TEST(GroupCounts, RowOutsideTheDatasetIsAnIndexFailure) {
  const TrainingRoot node = make_node(make_columns({}, {0, 1}, {0, 1}));
  EXPECT_EQ(panic_message([&] { group_counts(*node.dataset, std::vector<RowIndex>{0, 2}); }),
            "index out of bounds: the len is 2 but the index is 2");
}

}  // namespace
}  // namespace quillmarsh
