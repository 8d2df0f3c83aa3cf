#include "uplift_tree/tree_predict.hpp"

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

// The batch walk of one tree: fails on an empty batch ("index out of bounds" with 0 and 0)
// and on a first row whose length differs from the tree's feature count, then predicts every
// row in order.
PredictionTable predict_rows(const UpliftTreeModel& tree, const RowBatch& rows) {
  const PackedForest forest(std::span<const UpliftTreeModel>(&tree, 1));
  return sum_rows(forest, forest.all_trees(), rows, BatchChecks::kFirstRow);
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

// The record walk, the packed walk of one row and the block walk (through sum_rows) must agree
// on every case; the result is the record walk's.
std::string walk_both(const UpliftTreeModel& tree, const RowBatch& rows) {
  const std::string direct =
      outcome([&] { return std::span<const double>(find_leaf(tree, rows.row(0))); });
  const PackedForest packed(std::span<const UpliftTreeModel>(&tree, 1));
  const std::vector<std::uint32_t> ids = packed.category_ids(rows.texts());
  EXPECT_EQ(outcome([&] { return packed.find_leaf(0, rows.row(0), ids); }), direct);
  PredictionTable table;
  EXPECT_EQ(outcome([&] {
              table = sum_rows(packed, packed.all_trees(), rows, BatchChecks::kNone);
              return table.row(0);
            }),
            direct);
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

constexpr float kCellNumbers[] = {-1.0f, -0.0f, 0.0f, 0.5f, 1.0f, kNaN, kInf};
const char* const kCellTexts[] = {"a", "b", "A", "", "unseen"};  // the last is no category

struct Shape {
  std::size_t leaf_width = 0;  // 0: every leaf of its own random width
  // false: as growth makes them, over 4 features, even ones numeric and odd ones texts.
  bool hand_edited = true;
};

RandomCase random_case(std::uint64_t seed, Shape shape = {}) {
  std::mt19937_64 rng(seed);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  const std::vector<float> numbers(std::begin(kCellNumbers), std::end(kCellNumbers));
  const std::vector<std::string> texts(std::begin(kCellTexts), std::end(kCellTexts) - 1);
  RandomCase c;
  c.tree.max_depth = pick(5);
  const std::size_t features = shape.hand_edited ? 1 + pick(4) : 4;
  for (std::size_t i = 0; i < features; ++i) c.tree.feature_cols.push_back(numbered("f", i));
  c.tree.nodes.resize(*node_array_size(c.tree.max_depth));
  for (std::size_t slot = 0; slot < c.tree.nodes.size(); ++slot) {
    const bool last_level = left_child(slot) >= c.tree.nodes.size();
    if ((last_level && (pick(8) != 0 || !shape.hand_edited)) || pick(3) == 0) {
      const std::size_t width = shape.leaf_width != 0 ? shape.leaf_width : 1 + pick(3);
      c.tree.nodes[slot] = leaf(std::vector<double>(width, static_cast<double>(slot)));
      continue;
    }
    const auto col = shape.hand_edited ? static_cast<std::int32_t>(pick(features + 2)) - 1
                                       : static_cast<std::int32_t>(pick(features));
    const bool numeric = shape.hand_edited ? pick(2) == 0 : col % 2 == 0;
    c.tree.nodes[slot] = numeric ? split(col, SplitValue::numeric(numbers[pick(numbers.size())]))
                                 : split(col, SplitValue::str(texts[pick(texts.size())]));
  }
  for (int r = 0; r < 20; ++r) {
    c.rows.begin_row();
    const std::size_t width = pick(features + 2);
    for (std::size_t i = 0; i < width; ++i) {
      if (pick(3) == 0) {
        c.rows.add_text(kCellTexts[pick(std::size(kCellTexts))]);
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
  const PackedForest forest(std::span<const UpliftTreeModel>(&c.tree, 1));
  const std::vector<std::uint32_t> ids = forest.category_ids(c.rows.texts());
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
      const std::span<const double> leaf = forest.find_leaf(0, row, ids);
      packed_leaf.assign(leaf.begin(), leaf.end());
    } catch (const Panic& p) {
      packed = p.message();
    }
    EXPECT_EQ(direct, packed) << "row " << r;
    EXPECT_EQ(direct_leaf, packed_leaf) << "row " << r;
  }
}

// The block walk over a forest of random trees with leaves of one width (unchecked where the
// row fits the forest, checked elsewhere) either adds every tree's leaf in list order, bit for
// bit as the exact walk does, or reports that the exact walk fails; never one without the other.
TEST_P(RandomTrees, BlockWalkAgreesWithTheExactWalk) {
  std::mt19937_64 rng(GetParam());
  const std::size_t width = 1 + rng() % 3;
  std::vector<UpliftTreeModel> trees;
  RowBatch rows;
  for (std::uint64_t k = 0; k < 1 + rng() % 5; ++k) {
    RandomCase c = random_case(GetParam() * 5 + k, {width, k % 2 == 0});
    trees.push_back(std::move(c.tree));
    if (k == 0) rows = std::move(c.rows);
  }
  const PackedForest packed(trees);
  const std::vector<std::uint32_t> ids = packed.category_ids(rows.texts());
  RowBlock block(packed.columns().size(), /*tagged=*/true);
  block.set_rows(1);  // one row per block, to see each row's verdict
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const bool unchecked = load_block(packed, rows, r, ids, block);
    std::vector<double> sums(width, -0.0);
    const bool found =
        unchecked ? packed.add_trees<false>(packed.all_trees(), block, width, sums.data(), nullptr)
                  : packed.add_trees<true>(packed.all_trees(), block, width, sums.data(), nullptr);
    std::vector<double> exact;
    const std::string failure =
        panic_message([&] { exact = sum_row(packed, packed.all_trees(), rows.row(r), ids); });
    EXPECT_EQ(found, failure == "<no panic>") << "row " << r << ": " << failure;
    if (found) {
      EXPECT_EQ(sums, exact) << "row " << r;
    }
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

// The sums of a forest's trees over many blocks of rows are the row-by-row sums, with the
// same first failure; leaves of several widths go row by row through the same rule.
TEST_P(RandomTrees, SumRowsEqualsRowByRow) {
  std::mt19937_64 rng(GetParam());
  std::vector<UpliftTreeModel> trees;
  const Shape shape{rng() % 4, rng() % 4 == 0};  // leaf_width 0: leaves of random widths
  for (std::uint64_t k = 0; k < 1 + rng() % 6; ++k) {
    trees.push_back(random_case(GetParam() * 7 + k, shape).tree);
  }
  RowBatch rows;  // of the kinds that trees not edited by hand test, over several blocks
  const std::size_t row_count = 1 + rng() % 600;
  for (std::size_t r = 0; r < row_count; ++r) {
    rows.begin_row();
    for (std::size_t i = 0; i < 4; ++i) {
      if (i % 2 == 0) {
        rows.add_number(kCellNumbers[rng() % std::size(kCellNumbers)]);
      } else {
        rows.add_text(kCellTexts[rng() % std::size(kCellTexts)]);
      }
    }
  }
  const PackedForest packed(trees);
  const std::vector<std::uint32_t> ids = packed.category_ids(rows.texts());
  std::vector<std::vector<double>> expected;
  std::string expected_failure = "<no panic>";
  try {
    for (std::size_t r = 0; r < row_count; ++r) {
      expected.push_back(sum_row(packed, packed.all_trees(), rows.row(r), ids));
    }
  } catch (const Panic& p) {
    expected_failure = p.message();
  }
  PredictionTable table;
  EXPECT_EQ(panic_message(
                [&] { table = sum_rows(packed, packed.all_trees(), rows, BatchChecks::kNone); }),
            expected_failure);
  if (expected_failure != "<no panic>") return;
  ASSERT_EQ(table.size(), row_count);
  for (std::size_t r = 0; r < row_count; ++r) {
    EXPECT_EQ(std::vector<double>(table.row(r).begin(), table.row(r).end()), expected[r]) << r;
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomTrees, ::testing::Range<std::uint64_t>(1, 200));

}  // namespace
}  // namespace quillmarsh
