#include "uplift_random_forest/importance.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/panic.hpp"
#include "forest_support.hpp"
#include "test_support.hpp"

namespace quillmarsh {
namespace {

// A tree over `features` whose root splits on feature `col` with `gain`, above two leaves.
UpliftTreeModel one_split(std::vector<std::string> features, std::int32_t col, double gain) {
  UpliftTreeModel t;
  t.max_depth = 1;
  t.feature_cols = std::move(features);
  TreeNode root;
  root.col_idx = col;
  root.col_name = t.feature_cols[static_cast<std::size_t>(col)];
  root.gain = gain;
  TreeNode leaf;
  leaf.prob = {0.0};
  t.nodes = {root, leaf, leaf};
  return t;
}

UpliftRandomForestModel forest_of(std::int32_t n_estimators, std::vector<UpliftTreeModel> trees) {
  UpliftRandomForestModel f = make_forest(n_estimators, 1, 1, 1, "ED", 10, false, false, 0.0);
  f.trees = std::move(trees);
  return f;
}

TEST(ForestImportance, FreshRecordFailsBothQueriesWithUnwrapNone) {
  const UpliftRandomForestModel f = forest_of(3, {});
  EXPECT_EQ(panic_message([&] { feature_cols(f); }), std::string(kUnwrapNone));
  EXPECT_EQ(panic_message([&] { get_feature_importance(f, "gain"); }), std::string(kUnwrapNone));
  EXPECT_EQ(panic_message([&] { get_feature_importance(f, "count"); }), std::string(kUnwrapNone));
}

TEST(ForestImportance, FeatureColsAreTheFirstTreesInTheirOrder) {
  const UpliftRandomForestModel f =
      forest_of(2, {one_split({"z", "a", "m", "a"}, 0, 1.0), one_split({"other"}, 0, 1.0)});
  EXPECT_EQ(feature_cols(f), (std::vector<std::string>{"z", "a", "m", "a"}));
}

class TwoFits : public ::testing::TestWithParam<std::pair<std::string, std::vector<double>>> {};

// Four trees on a record of n_estimators 2: the sums over all trees divided by 2.
TEST_P(TwoFits, SumOverAllTreesDividedByEstimators) {
  const std::vector<std::string> names = {"a", "b", "c"};
  const UpliftRandomForestModel f =
      forest_of(2, {one_split(names, 0, 0.5), one_split(names, 1, 0.25), one_split(names, 0, 1.5),
                    one_split(names, 0, 2.0)});
  EXPECT_EQ(get_feature_importance(f, GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, TwoFits,
    ::testing::Values(std::pair{std::string("gain"), std::vector{2.0, 0.125, 0.0}},
                      std::pair{std::string("weight"), std::vector{1.5, 0.5, 0.0}},
                      std::pair{std::string("Gain"), std::vector{1.5, 0.5, 0.0}}));

// Trees with other feature lists: longer ones are cut to the first tree's length, a shorter
// one is an index failure.
TEST(ForestImportance, FeatureListsOfOtherLengths) {
  const UpliftRandomForestModel longer =
      forest_of(1, {one_split({"a", "b"}, 1, 1.0), one_split({"a", "b", "c"}, 2, 1.0)});
  EXPECT_EQ(get_feature_importance(longer, "gain"), (std::vector{0.0, 1.0}));
  const UpliftRandomForestModel shorter =
      forest_of(1, {one_split({"a", "b"}, 1, 1.0), one_split({"a"}, 0, 1.0)});
  EXPECT_EQ(panic_message([&] { get_feature_importance(shorter, "gain"); }),
            "index out of bounds: the len is 1 but the index is 1");
}

TEST(ForestImportance, ZeroEstimatorsDividesByZero) {
  const UpliftRandomForestModel f = forest_of(0, {one_split({"a", "b"}, 0, 0.5)});
  const std::vector<double> got = get_feature_importance(f, "gain");
  EXPECT_EQ(got[0], INFINITY);
  EXPECT_TRUE(std::isnan(got[1]));
}

}  // namespace
}  // namespace quillmarsh
