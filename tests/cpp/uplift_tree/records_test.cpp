#include "uplift_tree/records.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>

#include "common/panic.hpp"
#include "forest_support.hpp"
#include "test_support.hpp"

namespace quillmarsh {
namespace {

class ParseEvalFunc : public ::testing::TestWithParam<const char*> {};

TEST_P(ParseEvalFunc, RejectsEverythingButTheThreeExactNames) {
  EXPECT_EQ(panic_message([] { parse_eval_func(GetParam()); }), "bad eval func");
}
INSTANTIATE_TEST_SUITE_P(Spellings, ParseEvalFunc,
                         ::testing::Values("", "ed", "Ed", "kl", "chi", "Chi", " ED", "ED ", "KLX",
                                           "CHI\n", "E", "EDE", "Euclidean"));

TEST(ParseEvalFuncExact, AcceptsEdKlChi) {
  EXPECT_EQ(parse_eval_func("ED"), EvalFunc::Euclidean);
  EXPECT_EQ(parse_eval_func("KL"), EvalFunc::KL);
  EXPECT_EQ(parse_eval_func("CHI"), EvalFunc::Chi);
}

TEST(SplitValueAccessors, WrongVariantPanicsWithItsMessage) {
  EXPECT_EQ(panic_message([] { (void)SplitValue::str("a").as_numeric(); }), "not f64");
  EXPECT_EQ(panic_message([] { (void)SplitValue::numeric(1.5f).as_str(); }), "not str");
  EXPECT_EQ(SplitValue::numeric(1.5f).as_numeric(), 1.5f);
  EXPECT_EQ(SplitValue::str("Red").as_str(), "Red");
}

TEST(SplitValueEquality, IsByteWiseAndVariantAware) {
  EXPECT_NE(SplitValue::str("red"), SplitValue::str("Red"));
  EXPECT_NE(SplitValue::str("1"), SplitValue::numeric(1.0f));
  EXPECT_EQ(SplitValue::numeric(std::nanf("")), SplitValue::numeric(std::nanf("")));
  EXPECT_NE(SplitValue::numeric(0.0f), SplitValue::numeric(-0.0f));  // bit-exact records
}

class NodeArraySize : public ::testing::TestWithParam<std::pair<std::uint64_t, std::uint64_t>> {};

TEST_P(NodeArraySize, IsTwoToTheDepthPlusOneMinusOne) {
  EXPECT_EQ(node_array_size(GetParam().first), GetParam().second);
}
INSTANTIATE_TEST_SUITE_P(Depths, NodeArraySize,
                         ::testing::Values(std::pair<std::uint64_t, std::uint64_t>{0, 1},
                                           std::pair<std::uint64_t, std::uint64_t>{2, 7},
                                           std::pair<std::uint64_t, std::uint64_t>{3, 15},
                                           std::pair<std::uint64_t, std::uint64_t>{
                                               62, 0x7FFFFFFFFFFFFFFFull}));

// Equality walks the field tables with floats compared bit for bit: a tree with a NaN leaf
// equals its copy, and a change to any one field, however small, is seen.
struct TreeEdit {
  const char* name;
  void (*edit)(UpliftTreeModel&);
};
void PrintTo(const TreeEdit& e, std::ostream* os) { *os << e.name; }
class TreeEquality : public ::testing::TestWithParam<TreeEdit> {};

TEST_P(TreeEquality, SeesEveryFieldAndEqualsACopyHoldingNan) {
  UpliftTreeModel tree = make_tree_template(2, 5, 1, EvalFunc::KL, 10, true, false, 0.5);
  tree.feature_cols = {"a", "b"};
  tree.nodes.resize(3);
  tree.nodes[0].col_name = tree.feature_cols[1];
  tree.nodes[0].col_idx = 1;
  tree.nodes[0].split_value = SplitValue::numeric(0.25f);
  tree.nodes[0].gain = 0.125;
  tree.nodes[1].prob = {std::nan(""), 0.5};
  tree.nodes[2].prob = {0.0, -0.5};
  UpliftTreeModel copy = tree;
  EXPECT_EQ(copy, tree);
  GetParam().edit(copy);
  EXPECT_NE(copy, tree);
  EXPECT_NE(tree, copy);
}
INSTANTIATE_TEST_SUITE_P(
    Edits, TreeEquality,
    ::testing::Values(
        TreeEdit{"NegativeZeroUplift", [](UpliftTreeModel& m) { m.nodes[2].prob[0] = -0.0; }},
        TreeEdit{"NanPayload", [](UpliftTreeModel& m) { m.nodes[1].prob[0] = std::nan("1"); }},
        TreeEdit{"ShorterUplift", [](UpliftTreeModel& m) { m.nodes[2].prob.pop_back(); }},
        TreeEdit{"SplitVariant",
                 [](UpliftTreeModel& m) { m.nodes[0].split_value = SplitValue::str("0.25"); }},
        TreeEdit{"Gain", [](UpliftTreeModel& m) { m.nodes[0].gain = 0.25; }},
        TreeEdit{"ColIdx", [](UpliftTreeModel& m) { m.nodes[0].col_idx = 0; }},
        TreeEdit{"NodeCount", [](UpliftTreeModel& m) { m.nodes.pop_back(); }},
        TreeEdit{"EvalFunc", [](UpliftTreeModel& m) { m.eval_func = EvalFunc::Chi; }},
        TreeEdit{"FeatureOrder",
                 [](UpliftTreeModel& m) { std::swap(m.feature_cols[0], m.feature_cols[1]); }},
        TreeEdit{"Alpha", [](UpliftTreeModel& m) { m.alpha = -m.alpha; }},
        TreeEdit{"Regularization", [](UpliftTreeModel& m) { m.regularization = true; }},
        TreeEdit{"MaxBins", [](UpliftTreeModel& m) { m.max_bins = 11; }}));

TEST(NodeArraySizeOverflow, DepthsFrom63DoNotFit) {
  EXPECT_FALSE(node_array_size(63).has_value());
  EXPECT_FALSE(node_array_size(~std::uint64_t{0}).has_value());
}

}  // namespace
}  // namespace quillmarsh
