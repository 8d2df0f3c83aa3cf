#include "uplift_tree/predict.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "common/panic.hpp"
#include "test_support.hpp"

namespace quillmarsh {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

using In = std::variant<float, std::string>;

RowBatch batch(const std::vector<std::vector<In>>& rows) {
  RowBatch b;
  for (const auto& row : rows) {
    b.begin_row();
    for (const In& cell : row) {
      if (const float* v = std::get_if<float>(&cell)) {
        b.add_number(*v);
      } else {
        b.add_text(std::get<std::string>(cell));
      }
    }
  }
  return b;
}

TreeNode leaf(std::vector<double> prob) {
  TreeNode n;
  n.prob = std::move(prob);
  return n;
}

TreeNode split(std::int32_t col, SplitValue value, double gain = 1.0) {
  TreeNode n;
  n.col_name = numbered("f", col);
  n.col_idx = col;
  n.split_value = std::move(value);
  n.gain = gain;
  return n;
}

// A depth-1 tree: the root tests `value` on feature `col`; left leaf {1}, right leaf {2}.
UpliftTreeModel stump(std::int32_t col, SplitValue value, std::size_t features = 3) {
  UpliftTreeModel t;
  t.max_depth = 1;
  for (std::size_t i = 0; i < features; ++i) t.feature_cols.push_back(numbered("f", i));
  t.nodes = {split(col, std::move(value)), leaf({1.0}), leaf({2.0})};
  return t;
}

std::string outcome(auto&& fn) {
  try {
    const std::span<const double> p = fn();
    return "leaf " + std::to_string(p.front());
  } catch (const Panic& e) {
    return e.message();
  }
}

// Both walks must agree on every case; each case checks the record walk and the packed walk.
std::string walk_both(const UpliftTreeModel& tree, const RowBatch& rows) {
  const std::string direct =
      outcome([&] { return std::span<const double>(find_leaf(tree, rows.row(0))); });
  const FlatTree flat(tree);
  const std::string packed = outcome([&] { return flat.find_leaf(rows.row(0)); });
  EXPECT_EQ(direct, packed);
  return direct;
}

struct NumericCase {
  float threshold;
  float value;
  const char* expected;
};

class NumericSplit : public ::testing::TestWithParam<NumericCase> {};

TEST_P(NumericSplit, ComparesInSinglePrecisionLessOrEqualGoesLeft) {
  const NumericCase& c = GetParam();
  const UpliftTreeModel tree = stump(1, SplitValue::numeric(c.threshold));
  EXPECT_EQ(walk_both(tree, batch({{In{0.0f}, In{c.value}, In{0.0f}}})), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, NumericSplit,
    ::testing::Values(NumericCase{0.5f, 0.5f, "leaf 1.000000"},   // equal goes left
                      NumericCase{0.5f, 0.25f, "leaf 1.000000"},  //
                      NumericCase{0.5f, std::nextafter(0.5f, 1.0f), "leaf 2.000000"},
                      NumericCase{0.0f, -0.0f, "leaf 1.000000"},  // -0.0 == 0.0
                      NumericCase{-0.0f, 0.0f, "leaf 1.000000"},
                      NumericCase{0.5f, kNaN, "leaf 2.000000"},  // NaN cell goes right
                      NumericCase{kNaN, 0.5f, "leaf 2.000000"},  // NaN threshold too
                      NumericCase{kNaN, kNaN, "leaf 2.000000"},
                      NumericCase{3.0e38f, kInf, "leaf 2.000000"},
                      NumericCase{-3.0e38f, -kInf, "leaf 1.000000"},
                      NumericCase{kInf, kInf, "leaf 1.000000"}));

struct TextCase {
  const char* category;
  const char* value;
  const char* expected;
};

class TextSplit : public ::testing::TestWithParam<TextCase> {};

TEST_P(TextSplit, OnlyIdenticalBytesGoLeft) {
  const TextCase& c = GetParam();
  const UpliftTreeModel tree = stump(2, SplitValue::str(c.category));
  EXPECT_EQ(walk_both(tree, batch({{In{0.0f}, In{0.0f}, In{std::string(c.value)}}})), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Values, TextSplit,
                         ::testing::Values(TextCase{"red", "red", "leaf 1.000000"},
                                           TextCase{"red", "Red", "leaf 2.000000"},
                                           TextCase{"red", "red ", "leaf 2.000000"},
                                           TextCase{"red", "re", "leaf 2.000000"},
                                           TextCase{"", "", "leaf 1.000000"},
                                           TextCase{"3.5", "3.5", "leaf 1.000000"},
                                           TextCase{"\xc3\xa9", "e\xcc\x81", "leaf 2.000000"}));

struct FailureCase {
  const char* name;
  UpliftTreeModel tree;
  std::vector<In> row;
  std::string message;
};

std::vector<FailureCase> failure_cases() {
  UpliftTreeModel minus_one = stump(-1, SplitValue::numeric(0.0f));
  UpliftTreeModel shallow;  // one slot that is not a leaf: its children lie outside the array
  shallow.feature_cols = {"f0"};
  shallow.nodes = {split(0, SplitValue::numeric(0.0f))};
  UpliftTreeModel right_outside = stump(0, SplitValue::numeric(0.0f));
  right_outside.nodes.pop_back();
  return {
      {"EmptyNodeArray",
       UpliftTreeModel{},
       {In{1.0f}},
       "index out of bounds: the len is 0 but the index is 0"},
      {"TextAtNumericNode",
       stump(0, SplitValue::numeric(1.0f)),
       {In{std::string("1.0")}},
       "not f64"},
      {"NumberAtTextNode", stump(0, SplitValue::str("a")), {In{1.0f}}, "not str"},
      {"TestedCellBeyondRow",
       stump(2, SplitValue::numeric(1.0f)),
       {In{1.0f}, In{1.0f}},
       "index out of bounds: the len is 2 but the index is 2"},
      {"EmptyRowAtSplit",
       stump(0, SplitValue::numeric(1.0f)),
       {},
       "index out of bounds: the len is 0 but the index is 0"},
      {"ColIdxMinusOneReadsAsHugeIndex",
       minus_one,
       {In{1.0f}},
       "index out of bounds: the len is 1 but the index is 18446744073709551615"},
      {"ChildOutsideArray",
       shallow,
       {In{1.0f}},
       "index out of bounds: the len is 1 but the index is 2"},
      {"RightChildMissing",
       right_outside,
       {In{1.0f}},
       "index out of bounds: the len is 2 but the index is 2"},
  };
}

class WalkFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(WalkFailure, StopsWithItsMessage) {
  EXPECT_EQ(walk_both(GetParam().tree, batch({GetParam().row})), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Cases, WalkFailure, ::testing::ValuesIn(failure_cases()),
                         [](const auto& test) { return std::string(test.param.name); });

class RootLeaf : public ::testing::TestWithParam<std::size_t> {};

// The row is never read when the root is a leaf: any length, any kinds, even empty.
TEST_P(RootLeaf, ReturnsTheRootVectorForAnyRow) {
  UpliftTreeModel tree;
  tree.feature_cols = {"a", "b"};
  tree.nodes = {leaf({0.25, std::nan(""), -1.0})};
  std::vector<In> row(GetParam(), In{std::string("x")});
  const std::vector<double> p = predict_row(tree, batch({row}).row(0));
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0], 0.25);
  EXPECT_TRUE(std::isnan(p[1]));
  EXPECT_EQ(p[2], -1.0);
}

INSTANTIATE_TEST_SUITE_P(RowLengths, RootLeaf, ::testing::Values(0u, 1u, 2u, 7u));

// Only the cells on the path are read: a text in a numeric feature off the path is unnoticed.
TEST(WalkReadsOnlyThePath, WrongKindOffThePathIsIgnored) {
  UpliftTreeModel tree;
  tree.feature_cols = {"f0", "f1"};
  tree.nodes = {split(0, SplitValue::numeric(0.0f)),
                leaf({1.0}),
                split(1, SplitValue::numeric(0.0f)),
                {},
                {},
                leaf({3.0}),
                leaf({4.0})};
  EXPECT_EQ(walk_both(tree, batch({{In{-1.0f}, In{std::string("oops")}}})), "leaf 1.000000");
  EXPECT_EQ(walk_both(tree, batch({{In{1.0f}, In{std::string("oops")}}})), "not f64");
  EXPECT_EQ(walk_both(tree, batch({{In{1.0f}, In{1.0f}}})), "leaf 4.000000");
}

TEST(PredictRows, EmptyBatchFailsAsAnIndexFailure) {
  const UpliftTreeModel tree = stump(0, SplitValue::numeric(0.0f));
  try {
    predict_rows(tree, RowBatch{});
    FAIL() << "no failure";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "index out of bounds: the len is 0 but the index is 0");
  }
}

class PredictRowsFirstWidth : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PredictRowsFirstWidth, FirstRowMustMatchTheFeatureCount) {
  const UpliftTreeModel tree = stump(0, SplitValue::numeric(0.0f), 3);
  try {
    predict_rows(tree, batch({std::vector<In>(GetParam(), In{0.0f})}));
    FAIL() << "no failure";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "assertion failed: data[0].len() == self.feature_cols.len()");
  }
}

INSTANTIATE_TEST_SUITE_P(WrongWidths, PredictRowsFirstWidth, ::testing::Values(0u, 1u, 2u, 4u));

TEST(PredictRows, ShortSecondRowFailsWithTheIndexMessage) {
  const UpliftTreeModel tree = stump(2, SplitValue::numeric(0.0f), 3);
  try {
    predict_rows(tree, batch({{In{0.0f}, In{0.0f}, In{0.0f}}, {In{0.0f}}}));
    FAIL() << "no failure";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "index out of bounds: the len is 1 but the index is 2");
  }
}

// Later rows are not width-checked: longer rows and short rows whose path stays in range pass.
TEST(PredictRows, OnlyTheFirstRowIsWidthChecked) {
  const UpliftTreeModel tree = stump(0, SplitValue::numeric(0.0f), 2);
  const PredictionTable table = predict_rows(
      tree, batch({{In{1.0f}, In{0.0f}}, {In{-1.0f}}, {In{1.0f}, In{0.0f}, In{9.0f}}}));
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(std::vector<double>(table.row(0).begin(), table.row(0).end()), std::vector{2.0});
  EXPECT_EQ(std::vector<double>(table.row(1).begin(), table.row(1).end()), std::vector{1.0});
  EXPECT_EQ(std::vector<double>(table.row(2).begin(), table.row(2).end()), std::vector{2.0});
}

// Leaves of different widths only come from hand-edited files; the table keeps every row's
// own width, whether the first differing row comes first or later.
class RaggedTable : public ::testing::TestWithParam<std::vector<float>> {};

TEST_P(RaggedTable, KeepsEachRowsWidth) {
  UpliftTreeModel tree = stump(0, SplitValue::numeric(0.0f), 1);
  tree.nodes[2].prob = {2.0, 3.0};
  std::vector<std::vector<In>> input;
  for (float v : GetParam()) input.push_back({In{v}});
  const PredictionTable table = predict_rows(tree, batch(input));
  ASSERT_EQ(table.size(), GetParam().size());
  for (std::size_t r = 0; r < table.size(); ++r) {
    const std::vector<double> expected =
        GetParam()[r] <= 0.0f ? std::vector{1.0} : std::vector{2.0, 3.0};
    EXPECT_EQ(std::vector<double>(table.row(r).begin(), table.row(r).end()), expected) << r;
  }
}

INSTANTIATE_TEST_SUITE_P(Orders, RaggedTable,
                         ::testing::Values(std::vector{1.0f, -1.0f, 1.0f, -1.0f},
                                           std::vector{-1.0f, -1.0f, -1.0f, 1.0f, -1.0f},
                                           std::vector{1.0f, 1.0f}, std::vector{-1.0f},
                                           std::vector<float>(21, 1.0f)));

// Random trees, including hand-edited shapes (col_idx -1 or beyond the features, internal
// nodes on the last level, leaves of several widths), and random rows of any length and kind.
struct RandomCase {
  UpliftTreeModel tree;
  RowBatch rows;
};

RandomCase random_case(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  const std::vector<float> numbers = {-1.0f, -0.0f, 0.0f, 0.5f, 1.0f, kNaN, kInf};
  const std::vector<std::string> texts = {"a", "b", "A", ""};
  RandomCase c;
  c.tree.max_depth = pick(5);
  const std::size_t features = 1 + pick(4);
  for (std::size_t i = 0; i < features; ++i) c.tree.feature_cols.push_back(numbered("f", i));
  c.tree.nodes.resize(*node_array_size(c.tree.max_depth));
  for (std::size_t slot = 0; slot < c.tree.nodes.size(); ++slot) {
    const bool last_level = left_child(slot) >= c.tree.nodes.size();
    if ((last_level && pick(8) != 0) || pick(3) == 0) {
      c.tree.nodes[slot] = leaf(std::vector<double>(1 + pick(3), static_cast<double>(slot)));
      continue;
    }
    const auto col = static_cast<std::int32_t>(pick(features + 2)) - 1;  // -1 .. features
    c.tree.nodes[slot] = pick(2) == 0
                             ? split(col, SplitValue::numeric(numbers[pick(numbers.size())]))
                             : split(col, SplitValue::str(texts[pick(texts.size())]));
  }
  for (int r = 0; r < 20; ++r) {
    c.rows.begin_row();
    const std::size_t width = pick(features + 2);
    for (std::size_t i = 0; i < width; ++i) {
      if (pick(3) == 0) {
        c.rows.add_text(texts[pick(texts.size())]);
      } else {
        c.rows.add_number(numbers[pick(numbers.size())]);
      }
    }
  }
  return c;
}

class RandomTrees : public ::testing::TestWithParam<std::uint64_t> {};

// The packed walk is an optimisation of the record walk: same leaf, same failures. Every
// leaf of a random tree holds its own slot number, so equal vectors mean the same leaf.
TEST_P(RandomTrees, PackedWalkReachesTheSameLeafOrFailure) {
  const RandomCase c = random_case(GetParam());
  const FlatTree flat(c.tree);
  for (std::size_t r = 0; r < c.rows.size(); ++r) {
    const RowView row = c.rows.row(r);
    std::string direct, packed;
    std::vector<double> direct_leaf, packed_leaf;
    try {
      direct_leaf = find_leaf(c.tree, row);
    } catch (const Panic& p) {
      direct = p.message();
    }
    try {
      const std::span<const double> leaf = flat.find_leaf(row);
      packed_leaf.assign(leaf.begin(), leaf.end());
    } catch (const Panic& p) {
      packed = p.message();
    }
    EXPECT_EQ(direct, packed) << "row " << r;
    EXPECT_EQ(direct_leaf, packed_leaf) << "row " << r;
  }
}

// The lockstep walk either finds every leaf the single walks find, or reports that at least
// one of the single walks fails. Lanes mix trees and rows of several random cases.
TEST_P(RandomTrees, LockstepWalkAgreesWithSingleWalks) {
  std::vector<RandomCase> cases;
  for (std::uint64_t k = 0; k < 3; ++k) cases.push_back(random_case(GetParam() * 3 + k));
  std::vector<FlatTree> flats;
  for (const RandomCase& c : cases) flats.emplace_back(c.tree);
  std::mt19937_64 rng(GetParam());
  for (int round = 0; round < 40; ++round) {
    const std::size_t walks = 1 + rng() % FlatTree::kLanes;
    const FlatTree* trees[FlatTree::kLanes];
    RowView rows[FlatTree::kLanes];
    std::span<const double> leaves[FlatTree::kLanes];
    for (std::size_t l = 0; l < walks; ++l) {
      const std::size_t k = rng() % cases.size();
      trees[l] = &flats[k];
      rows[l] = cases[rng() % cases.size()].rows.row(rng() % 20);
    }
    const bool one_tree = round % 2 == 1;  // odd rounds: the member form, one tree in all lanes
    if (one_tree) std::fill(trees, trees + walks, trees[0]);
    const bool found = one_tree ? trees[0]->find_leaves(rows, leaves, walks)
                                : FlatTree::find_leaves(trees, rows, leaves, walks);
    bool any_failure = false;
    for (std::size_t l = 0; l < walks; ++l) {
      try {
        const std::span<const double> single = trees[l]->find_leaf(rows[l]);
        if (found) {
          EXPECT_EQ(std::vector<double>(leaves[l].begin(), leaves[l].end()),
                    std::vector<double>(single.begin(), single.end()));
        }
      } catch (const Panic&) {
        any_failure = true;
      }
    }
    EXPECT_EQ(found, !any_failure) << "round " << round;
  }
}

// The batch is the row walk applied in order, as long as the first row has the right width.
TEST_P(RandomTrees, BatchEqualsRowByRow) {
  RandomCase c = random_case(GetParam());
  RowBatch rows;
  for (std::size_t r = 0; r < 50; ++r) {  // valid rows: numbers only, full width
    rows.begin_row();
    for (std::size_t i = 0; i < c.tree.feature_cols.size(); ++i) {
      rows.add_number(static_cast<float>(r % 5) * 0.5f - 1.0f + static_cast<float>(i));
    }
  }
  std::vector<std::vector<double>> expected;
  std::string expected_failure;
  try {
    for (std::size_t r = 0; r < rows.size(); ++r)
      expected.push_back(predict_row(c.tree, rows.row(r)));
  } catch (const Panic& p) {
    expected_failure = p.message();
  }
  try {
    const PredictionTable table = predict_rows(c.tree, rows);
    EXPECT_EQ(expected_failure, "");
    ASSERT_EQ(table.size(), expected.size());
    for (std::size_t r = 0; r < table.size(); ++r) {
      EXPECT_EQ(std::vector<double>(table.row(r).begin(), table.row(r).end()), expected[r]);
    }
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), expected_failure);
  }
}

// Several trees in one pass give each tree's own table, across row blocks, or fail whenever
// one of the trees alone fails.
TEST_P(RandomTrees, GroupedPassEqualsTreeByTree) {
  std::mt19937_64 rng(GetParam());
  std::vector<RandomCase> cases;
  for (std::uint64_t k = 0; k < 1 + rng() % 6; ++k)
    cases.push_back(random_case(GetParam() * 7 + k));
  RowBatch rows;
  const std::size_t row_count = 1 + rng() % 600;
  for (std::size_t r = 0; r < row_count; ++r) {
    rows.begin_row();
    for (std::size_t i = 0; i < cases.front().tree.feature_cols.size(); ++i) {
      rows.add_number(static_cast<float>(rng() % 7) * 0.5f - 1.5f);
    }
  }
  std::vector<const UpliftTreeModel*> trees;
  for (const RandomCase& c : cases) trees.push_back(&c.tree);
  std::vector<PredictionTable> alone;
  bool any_failure = false;
  for (const UpliftTreeModel* tree : trees) {
    try {
      alone.push_back(predict_rows(*tree, rows));
    } catch (const Panic&) {
      any_failure = true;
    }
  }
  try {
    const std::vector<PredictionTable> grouped = predict_rows(trees, rows);
    ASSERT_FALSE(any_failure);
    ASSERT_EQ(grouped.size(), alone.size());
    for (std::size_t t = 0; t < grouped.size(); ++t) {
      ASSERT_EQ(grouped[t].size(), row_count);
      for (std::size_t r = 0; r < row_count; ++r) {
        EXPECT_EQ(std::vector<double>(grouped[t].row(r).begin(), grouped[t].row(r).end()),
                  std::vector<double>(alone[t].row(r).begin(), alone[t].row(r).end()));
      }
    }
  } catch (const Panic&) {
    EXPECT_TRUE(any_failure);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomTrees, ::testing::Range<std::uint64_t>(1, 200));

}  // namespace
}  // namespace quillmarsh
