#include "uplift_tree/grow.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <optional>
#include <ostream>
#include <string>

#include "forest_support.hpp"
#include "uplift_tree/divergence.hpp"
#include "uplift_tree/training_data.hpp"

namespace quillmarsh {
namespace {

using testing_data::Floats;
using testing_data::make_columns;
using testing_data::make_node;
using testing_data::Texts;

UpliftTreeModel tree_template(std::uint64_t max_depth, std::uint64_t min_sample_leaf,
                              std::uint64_t max_features, EvalFunc f, std::uint64_t max_bins,
                              bool balance = false, bool regularization = false) {
  return make_tree_template(max_depth, min_sample_leaf, max_features, f, max_bins, balance,
                            regularization, 0.9);
}

bool same_doubles(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!(a[i] == b[i] || (std::isnan(a[i]) && std::isnan(b[i])))) return false;
  }
  return true;
}

struct GrowCase {
  std::uint64_t seed;
  EvalFunc f;
  bool balance;
  bool regularization;
};

class GrowProperties : public ::testing::TestWithParam<GrowCase> {};

// Routing the training rows through the grown tree reproduces every stored number: each
// internal node's gain from its children's counts, each leaf's uplift vector from its rows.
TEST_P(GrowProperties, StoredNodesAgreeWithTheRowsThatReachThem) {
  const GrowCase& c = GetParam();
  Rng rng(c.seed);
  const std::int32_t groups = 2 + static_cast<std::int32_t>(c.seed % 3);
  const TrainingRoot root =
      make_node(testing_data::random_experiment(rng, 1500, 3, 2, groups, true));
  const Dataset& d = *root.dataset;
  UpliftTreeModel tree = tree_template(4, 20, 3, c.f, 8, c.balance, c.regularization);
  WorkerPool pool(2);
  grow_tree(tree, root, "arm", "bought", pool, testing_data::seeded_growth(c.seed));
  EXPECT_EQ(tree.treatment_col, "arm");
  EXPECT_EQ(tree.outcome_col, "bought");
  EXPECT_EQ(tree.feature_cols, d.x_names);
  ASSERT_EQ(tree.nodes.size(), 31u);
  ASSERT_FALSE(tree.nodes[0].is_leaf()) << "the planted uplift must split the root";

  const SplitSettings s = split_settings(tree);
  const auto rows = testing_data::rows_per_slot(d, tree);
  for (std::uint64_t slot = 0; slot < tree.nodes.size(); ++slot) {
    const TreeNode& node = tree.nodes[slot];
    if (rows[slot].empty()) {
      EXPECT_EQ(node, TreeNode{}) << "unreached slot " << slot;
      continue;
    }
    const GroupCounts counts = group_counts(d, rows[slot]);
    if (node.is_leaf()) {
      EXPECT_EQ(node.prob.size(), static_cast<std::size_t>(groups - 1));
      EXPECT_TRUE(same_doubles(node.prob, uplift_vector(counts))) << slot;
      EXPECT_EQ(node.col_idx, -1);
      EXPECT_EQ(node.gain, 0.0);
      continue;
    }
    ASSERT_LT(right_child(slot), tree.nodes.size());
    EXPECT_EQ(tree.feature_cols.at(static_cast<std::size_t>(node.col_idx)), node.col_name);
    const auto& left = rows[left_child(slot)];
    const auto& right = rows[right_child(slot)];
    EXPECT_GT(left.size(), tree.min_sample_leaf);
    EXPECT_GT(right.size(), tree.min_sample_leaf);
    const double d_parent = node_divergence(counts, c.f, c.balance, rows[slot].size());
    const double gain = split_gain(counts, rows[slot].size(), d_parent, group_counts(d, left),
                                   left.size(), group_counts(d, right), right.size(), s);
    EXPECT_EQ(node.gain, gain) << slot;
    EXPECT_GT(node.gain, 0.0);
  }
}
INSTANTIATE_TEST_SUITE_P(Measures, GrowProperties,
                         ::testing::Values(GrowCase{1, EvalFunc::Euclidean, false, false},
                                           GrowCase{2, EvalFunc::Euclidean, true, true},
                                           GrowCase{3, EvalFunc::KL, false, false},
                                           GrowCase{4, EvalFunc::KL, true, true},
                                           GrowCase{5, EvalFunc::Chi, false, true},
                                           GrowCase{6, EvalFunc::Chi, true, false}));

bool same_nodes(const UpliftTreeModel& a, const UpliftTreeModel& b) {
  if (a.nodes.size() != b.nodes.size()) return false;
  for (std::size_t i = 0; i < a.nodes.size(); ++i) {
    const TreeNode& x = a.nodes[i];
    const TreeNode& y = b.nodes[i];
    if (x.col_name != y.col_name || x.col_idx != y.col_idx || !(x.split_value == y.split_value) ||
        std::bit_cast<std::uint64_t>(x.gain) != std::bit_cast<std::uint64_t>(y.gain) ||
        !same_doubles(x.prob, y.prob)) {
      return false;
    }
  }
  return true;
}

// Subtrees handed to the pool as jobs, down to the whole tree as one job, give the tree grown
// node by node on the growing thread, for every thread count of the pool.
TEST_P(GrowProperties, SubtreeJobsGrowTheTreeOfNodeByNodeGrowth) {
  const GrowCase& c = GetParam();
  Rng rng(c.seed);
  const TrainingRoot root = make_node(testing_data::random_experiment(rng, 4000, 4, 2, 3, true));
  const UpliftTreeModel tmpl = tree_template(6, 15, 3, c.f, 8, c.balance, c.regularization);
  GrowOptions options = testing_data::seeded_growth(c.seed);
  options.subtree_job_cells = 0;
  UpliftTreeModel by_node = tmpl;
  WorkerPool one(1);
  grow_tree(by_node, root, "t", "y", one, options);
  ASSERT_FALSE(by_node.nodes[2].is_leaf() && by_node.nodes[1].is_leaf()) << "too shallow a tree";
  WorkerPool three(3);
  for (const std::uint64_t cells : {std::uint64_t{1500}, std::uint64_t{6000}, ~std::uint64_t{0}}) {
    options.subtree_job_cells = cells;
    for (WorkerPool* pool : {&one, &three}) {
      UpliftTreeModel by_jobs = tmpl;
      grow_tree(by_jobs, root, "t", "y", *pool, options);
      EXPECT_TRUE(same_nodes(by_jobs, by_node))
          << cells << " cells, " << pool->size() << " threads";
    }
  }
}

struct LeafOnlyCase {
  const char* name;
  std::uint64_t max_depth;
  std::uint64_t max_bins;
  std::uint64_t max_features;
  std::uint64_t min_sample_leaf;
};

class RootStaysALeaf : public ::testing::TestWithParam<LeafOnlyCase> {};

// Strong planted uplift, yet these settings allow no split: the root leaf holds the uplift of
// every row and the other slots keep the default node.
TEST_P(RootStaysALeaf, AndHoldsTheUpliftOfAllRows) {
  const LeafOnlyCase& c = GetParam();
  Rng rng(17);
  const TrainingRoot root =
      make_node(testing_data::random_experiment(rng, 600, 2, 1, 3, false, 0.6));
  UpliftTreeModel tree = tree_template(c.max_depth, c.min_sample_leaf, c.max_features,
                                       EvalFunc::Euclidean, c.max_bins);
  WorkerPool pool(1);
  grow_tree(tree, root, "t", "y", pool, testing_data::seeded_growth(1));
  ASSERT_EQ(tree.nodes.size(), *node_array_size(c.max_depth));
  EXPECT_TRUE(
      same_doubles(tree.nodes[0].prob, uplift_vector(group_counts(*root.dataset, *root.rows))));
  for (std::size_t slot = 1; slot < tree.nodes.size(); ++slot) {
    EXPECT_EQ(tree.nodes[slot], TreeNode{});
  }
}
INSTANTIATE_TEST_SUITE_P(Settings, RootStaysALeaf,
                         ::testing::Values(LeafOnlyCase{"depth0", 0, 10, 3, 1},
                                           LeafOnlyCase{"bins0", 2, 0, 3, 1},
                                           LeafOnlyCase{"bins1", 2, 1, 3, 1},
                                           LeafOnlyCase{"features0", 2, 10, 0, 1},
                                           LeafOnlyCase{"leaf_too_large", 2, 10, 3, 300}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// Treatment values 0 and 2 only: group 1 is empty everywhere, so every ED divergence is NaN.
TEST(GrowTree, MissingTreatmentGroupLeavesOnlyARootLeafWithNan) {
  Rng rng(3);
  testing_data::TestColumns columns =
      testing_data::random_experiment(rng, 500, 2, 0, 2, false, 0.6);
  for (std::int32_t& g : columns.treatment) g *= 2;
  const TrainingRoot root = make_node(columns);
  UpliftTreeModel tree = tree_template(3, 5, 2, EvalFunc::Euclidean, 10);
  WorkerPool pool(1);
  grow_tree(tree, root, "t", "y", pool, testing_data::seeded_growth(1));
  ASSERT_EQ(tree.nodes[0].prob.size(), 2u);
  EXPECT_TRUE(std::isnan(tree.nodes[0].prob[0]));
  EXPECT_FALSE(std::isnan(tree.nodes[0].prob[1]));
}

TEST(GrowTree, ControlOnlyDataFailsTheLengthAssertion) {
  const TrainingRoot root = make_node(make_columns({{"f", Floats{1, 2, 3}}}, {0, 0, 0}, {0, 1, 0}));
  UpliftTreeModel tree = tree_template(2, 0, 1, EvalFunc::KL, 10);
  WorkerPool pool(1);
  EXPECT_EQ(
      panic_message([&] { grow_tree(tree, root, "t", "y", pool, testing_data::seeded_growth(1)); }),
      "assertion failed: v.len() % 2 == 0 && v.len() >= 4");
}

TEST(GrowTree, GrowingAgainReplacesNamesAndNodes) {
  Rng rng(5);
  const TrainingRoot root =
      make_node(testing_data::random_experiment(rng, 400, 2, 0, 2, false, 0.6));
  UpliftTreeModel tree = tree_template(1, 10, 2, EvalFunc::Chi, 10);
  WorkerPool pool(2);
  grow_tree(tree, root, "a", "b", pool, testing_data::seeded_growth(1));
  tree.max_depth = 0;
  grow_tree(tree, root, "c", "d", pool, testing_data::seeded_growth(1));
  EXPECT_EQ(tree.nodes.size(), 1u);
  EXPECT_TRUE(tree.nodes[0].is_leaf());
  EXPECT_EQ(tree.treatment_col, "c");
}

TEST(GrowTree, RaisedCancelFlagStopsGrowthBeforeTheRoot) {
  Rng rng(5);
  const TrainingRoot root =
      make_node(testing_data::random_experiment(rng, 400, 2, 0, 2, false, 0.6));
  UpliftTreeModel tree = tree_template(3, 10, 2, EvalFunc::KL, 10);
  WorkerPool pool(1);
  CancelFlag cancel;
  cancel.request();
  GrowOptions options = testing_data::seeded_growth(1);
  options.cancel = &cancel;
  EXPECT_THROW(grow_tree(tree, root, "t", "y", pool, options), Cancelled);
  EXPECT_TRUE(tree.nodes.empty());
}

TEST(CheckedNodeArraySize, RefusesDepthsNoMachineCanHold) {
  EXPECT_EQ(checked_node_array_size(0, 1), 1u);
  EXPECT_EQ(checked_node_array_size(3, 100), 15u);
  EXPECT_EQ(panic_message([] { checked_node_array_size(63, 1); }),
            "max_depth 63 is too deep: a tree of that depth has more than 2^64 node slots");
  const std::string refused = panic_message([] { checked_node_array_size(50, 1); });
  EXPECT_EQ(refused.rfind("max_depth 50 is too deep: 1 tree(s) of 2251799813685247 node slots "
                          "need ",
                          0),
            0u)
      << refused;
  EXPECT_NE(refused.find("bytes of physical memory"), std::string::npos);
  // One array fits, but a hundred of them do not.
  const std::uint64_t slots_per_gib = (std::uint64_t{1} << 30) / sizeof(TreeNode);
  std::uint64_t depth = 0;
  while ((std::uint64_t{2} << depth) <= slots_per_gib) ++depth;
  if (physical_memory_bytes() < (std::uint64_t{50} << 30)) {
    checked_node_array_size(depth, 1);
    EXPECT_NE(panic_message([&] { checked_node_array_size(depth, 100); }), "<no panic>");
  }
}

struct SampledCase {
  const char* name;
  std::uint64_t seed;
  std::optional<std::uint64_t> max_samples;
  bool bootstrap;
  EvalFunc f;
  bool lone_arm = false;  // arm 2 has a single row: the estimation rows hold none of it
};

void PrintTo(const SampledCase& c, std::ostream* os) { *os << c.name; }

class HonestGrowth : public ::testing::TestWithParam<SampledCase> {};

// An honest tree chooses its splits on the split rows alone and takes its leaves from the
// estimation rows alone: the sample drawn from the tree's own streams, routed through the
// grown tree, reproduces every gain from the split rows and every leaf's uplift from the
// estimation rows, a group without estimation rows in a leaf taking the rate of the nearest
// ancestor that has some (or, where none has, of the tree's split rows).
TEST_P(HonestGrowth, SplitsComeFromSplitRowsAndLeavesFromEstimationRows) {
  const SampledCase& c = GetParam();
  Rng rng(c.seed);
  testing_data::TestColumns columns = testing_data::random_experiment(rng, 3000, 3, 1, 3, true);
  if (c.lone_arm) {
    const auto first = std::find(columns.treatment.begin(), columns.treatment.end(), 2);
    std::replace(first + 1, columns.treatment.end(), 2, 1);
  }
  const TrainingRoot root = make_node(columns);
  const Dataset& d = *root.dataset;
  UpliftTreeModel tree = tree_template(6, 3, 3, c.f, 8);
  GrowOptions options = testing_data::seeded_growth(c.seed);
  options.tree.max_samples = c.max_samples;
  options.tree.bootstrap = c.bootstrap;
  options.tree.honest_fraction = c.lone_arm ? 0.3 : 0.5;  // round(0.3) = 0: the lone row splits
  WorkerPool pool(2);
  grow_tree(tree, root, "t", "y", pool, options);
  ASSERT_TRUE(c.lone_arm || !tree.nodes[0].is_leaf());

  TreeDraws::Site sample_site = options.draws.at(TreeDraws::kTreeRowsSlot, 0);
  TreeDraws::Site honest_site = options.draws.at(TreeDraws::kTreeRowsSlot, 1);
  const TreeSample sample = draw_tree_sample(*root.rows, d.group_outcome, options.tree,
                                             sample_site.rng(), honest_site.rng());
  const auto split_rows = testing_data::rows_per_slot(d, tree, sample.split_rows);
  const auto estimation_rows = testing_data::rows_per_slot(d, tree, sample.estimation_rows);
  const SplitSettings s = split_settings(tree);
  const std::size_t groups = 3;
  int fallbacks = 0;
  int split_fallbacks = 0;
  for (std::uint64_t slot = 0; slot < tree.nodes.size(); ++slot) {
    const TreeNode& node = tree.nodes[slot];
    if (split_rows[slot].empty()) continue;
    if (!node.is_leaf()) {
      const auto& left = split_rows[left_child(slot)];
      const auto& right = split_rows[right_child(slot)];
      const GroupCounts counts = group_counts(d, split_rows[slot]);
      const double d_parent = node_divergence(counts, c.f, false, split_rows[slot].size());
      EXPECT_EQ(node.gain,
                split_gain(counts, split_rows[slot].size(), d_parent, group_counts(d, left),
                           left.size(), group_counts(d, right), right.size(), s))
          << slot;
      continue;
    }
    std::vector<double> rates(groups, std::nan(""));
    for (std::size_t g = 0; g < groups; ++g) {
      for (std::uint64_t at = slot;; at = (at - 1) / 2) {
        const GroupCounts counts = group_counts(d, estimation_rows[at]);
        if (counts[2 * g] > 0) {
          rates[g] = static_cast<double>(counts[2 * g + 1]) / static_cast<double>(counts[2 * g]);
          fallbacks += at != slot ? 1 : 0;
          break;
        }
        if (at == 0) {
          const GroupCounts split = group_counts(d, split_rows[0]);
          rates[g] = static_cast<double>(split[2 * g + 1]) / static_cast<double>(split[2 * g]);
          ++split_fallbacks;
          break;
        }
      }
    }
    EXPECT_TRUE(same_doubles(node.prob, {rates[1] - rates[0], rates[2] - rates[0]})) << slot;
  }
  EXPECT_TRUE(c.lone_arm || fallbacks > 0) << "no leaf fell back to an ancestor's rates";
  EXPECT_EQ(split_fallbacks > 0, c.lone_arm);
}
INSTANTIATE_TEST_SUITE_P(
    Samples, HonestGrowth,
    ::testing::Values(SampledCase{"every_row_ed", 1, std::nullopt, false, EvalFunc::Euclidean},
                      SampledCase{"subsample_kl", 2, 2000, false, EvalFunc::KL},
                      SampledCase{"bootstrap_chi", 3, std::nullopt, true, EvalFunc::Chi},
                      SampledCase{"small_bootstrap_kl", 4, 1800, true, EvalFunc::KL},
                      SampledCase{"lone_arm_kl", 5, std::nullopt, false, EvalFunc::KL, true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// With a group minimum every split leaves more than that many rows of every group on both
// sides; the same trees without it split below the minimum, so the rule is what holds it.
TEST(GrowTree, GroupMinimumHoldsInEverySplit) {
  constexpr std::uint64_t kMinimum = 40;
  int below_without = 0;
  for (std::uint64_t seed = 1; seed <= 6; ++seed) {
    Rng rng(seed);
    const TrainingRoot root = make_node(testing_data::random_experiment(rng, 3000, 3, 1, 3, true));
    const Dataset& d = *root.dataset;
    for (const bool with_minimum : {true, false}) {
      UpliftTreeModel tree = tree_template(6, 5, 3, EvalFunc::KL, 10);
      GrowOptions options = testing_data::seeded_growth(seed);
      if (with_minimum) options.tree.min_samples_treatment = kMinimum;
      WorkerPool pool(2);
      grow_tree(tree, root, "t", "y", pool, options);
      const auto rows = testing_data::rows_per_slot(d, tree);
      for (std::uint64_t slot = 0; slot < tree.nodes.size(); ++slot) {
        if (rows[slot].empty() || tree.nodes[slot].is_leaf()) continue;
        const GroupCounts left = group_counts(d, rows[left_child(slot)]);
        const GroupCounts right = group_counts(d, rows[right_child(slot)]);
        const bool holds = passes_group_test(left, right, kMinimum);
        if (with_minimum) {
          EXPECT_TRUE(holds) << "seed " << seed << " slot " << slot;
        } else {
          below_without += holds ? 0 : 1;
        }
      }
    }
  }
  EXPECT_GT(below_without, 0);
}

}  // namespace
}  // namespace quillmarsh
