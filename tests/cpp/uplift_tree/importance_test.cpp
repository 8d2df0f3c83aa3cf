#include "uplift_tree/importance.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/panic.hpp"
#include "test_support.hpp"

namespace quillmarsh {
namespace {

TreeNode split_node(std::int32_t col, double gain) {
  TreeNode n;
  n.col_name = numbered("c", col);
  n.col_idx = col;
  n.split_value = SplitValue::numeric(0.0f);
  n.gain = gain;
  return n;
}

TreeNode leaf_node() {
  TreeNode n;
  n.prob = {0.5};
  return n;
}

// Depth 2 over features {a, b, c, a}: root splits on b (gain 0.5), its children on a (0.25)
// and b (2.0); below them leaves and one unreached pair of slots.
UpliftTreeModel sample_tree() {
  UpliftTreeModel t;
  t.max_depth = 2;
  t.feature_cols = {"a", "b", "c", "a"};
  t.nodes = {split_node(1, 0.5), split_node(0, 0.25), split_node(1, 2.0), leaf_node(),
             leaf_node(),        leaf_node(),         leaf_node()};
  return t;
}

class ImportanceKind
    : public ::testing::TestWithParam<std::pair<std::string, std::vector<double>>> {};

TEST_P(ImportanceKind, OnlyExactGainSumsGainsEverythingElseCounts) {
  EXPECT_EQ(feature_importance(sample_tree(), GetParam().first), GetParam().second);
}

// The duplicate name at position 3 never collects anything: col_idx names the first one.
INSTANTIATE_TEST_SUITE_P(
    Texts, ImportanceKind,
    ::testing::Values(std::pair{std::string("gain"), std::vector{0.25, 2.5, 0.0, 0.0}},
                      std::pair{std::string("Gain"), std::vector{1.0, 2.0, 0.0, 0.0}},
                      std::pair{std::string("gain "), std::vector{1.0, 2.0, 0.0, 0.0}},
                      std::pair{std::string("GAIN"), std::vector{1.0, 2.0, 0.0, 0.0}},
                      std::pair{std::string(""), std::vector{1.0, 2.0, 0.0, 0.0}},
                      std::pair{std::string("split"), std::vector{1.0, 2.0, 0.0, 0.0}}));

TEST(FeatureImportance, TreeThatNeverSplitIsAllZerosOfFeatureLength) {
  UpliftTreeModel t;
  t.feature_cols = {"x", "y", "z"};
  t.nodes = {leaf_node()};
  EXPECT_EQ(feature_importance(t, "gain"), (std::vector{0.0, 0.0, 0.0}));
  EXPECT_EQ(feature_importance(t, "count"), (std::vector{0.0, 0.0, 0.0}));
  t.nodes.clear();
  EXPECT_EQ(feature_importance(t, "gain"), (std::vector{0.0, 0.0, 0.0}));
}

// Only gains above zero count: a negative or zero gain is skipped even with a bad col_idx,
// while a NaN gain is not "<= 0" and is summed.
TEST(FeatureImportance, NodesWithoutPositiveGainAreSkipped) {
  UpliftTreeModel t;
  t.feature_cols = {"x", "y"};
  t.nodes = {split_node(7, -1.0), split_node(-1, 0.0), split_node(1, std::nan(""))};
  const std::vector<double> gains = feature_importance(t, "gain");
  EXPECT_EQ(gains[0], 0.0);
  EXPECT_TRUE(std::isnan(gains[1]));
  EXPECT_EQ(feature_importance(t, "count"), (std::vector{0.0, 1.0}));
}

class BadColumn : public ::testing::TestWithParam<std::pair<std::int32_t, std::string>> {};

TEST_P(BadColumn, CountedNodeOutsideFeatureColsFails) {
  UpliftTreeModel t;
  t.feature_cols = {"x", "y"};
  t.nodes = {split_node(0, 1.0), split_node(GetParam().first, 0.5)};
  for (const char* kind : {"gain", "count"}) {
    try {
      feature_importance(t, kind);
      ADD_FAILURE() << "no failure for " << kind;
    } catch (const Panic& p) {
      EXPECT_EQ(p.message(), GetParam().second);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Columns, BadColumn,
    ::testing::Values(
        std::pair{2, std::string("index out of bounds: the len is 2 but the index is 2")},
        std::pair{-1, std::string("index out of bounds: the len is 2 but the index is "
                                  "18446744073709551615")}));

}  // namespace
}  // namespace quillmarsh
