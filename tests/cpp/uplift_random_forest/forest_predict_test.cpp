#include "uplift_random_forest/forest_predict.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "common/panic.hpp"
#include "concurrency/channel.hpp"
#include "concurrency/thread.hpp"
#include "forest_support.hpp"
#include "test_support.hpp"

namespace quillmarsh {
namespace {

constexpr const char* kCountAssertion = "assertion failed: count == self.n_estimators";
constexpr std::int32_t kThreadCounts[] = {-1, 0, 1, 2, 3, 8};

TreeNode leaf(std::vector<double> prob) {
  TreeNode n;
  n.prob = std::move(prob);
  return n;
}

// A stump over features {x0, x1}: x0 <= threshold -> `left`, otherwise `right`.
UpliftTreeModel stump(float threshold, std::vector<double> left, std::vector<double> right) {
  UpliftTreeModel t;
  t.max_depth = 1;
  t.feature_cols = {"x0", "x1"};
  TreeNode root;
  root.col_name = "x0";
  root.col_idx = 0;
  root.split_value = SplitValue::numeric(threshold);
  root.gain = 1.0;
  t.nodes = {root, leaf(std::move(left)), leaf(std::move(right))};
  return t;
}

UpliftRandomForestModel forest_of(std::int32_t n_estimators, std::vector<UpliftTreeModel> trees) {
  UpliftRandomForestModel f = make_forest(n_estimators, 2, 1, 1, "ED", 10, false, false, 0.0);
  f.trees = std::move(trees);
  return f;
}

// Rows {x0, 0} for each x0 given.
RowBatch rows_at(const std::vector<float>& x0) {
  RowBatch b;
  for (float v : x0) {
    b.begin_row();
    b.add_number(v);
    b.add_number(0.0f);
  }
  return b;
}

// Values chosen so that every sum and quotient below is exact in binary.
std::vector<UpliftTreeModel> four_trees() {
  return {stump(0.0f, {0.5, -0.25}, {1.0, 0.0}), stump(1.0f, {0.25, 0.25}, {2.0, 0.5}),
          stump(-1.0f, {4.0, 1.0}, {0.125, -1.0}), stump(0.5f, {-0.5, 8.0}, {0.75, 0.25})};
}

TEST(ForestPredictRow, NoTreesGivesAnEmptyList) {
  EXPECT_TRUE(predict_row(forest_of(3, {}), rows_at({1.0f}).row(0)).empty());
}

TEST(ForestPredictRow, OneTreeForestReturnsTheTreeOutputExactly) {
  const UpliftRandomForestModel f = forest_of(1, {stump(0.0f, {0.1, 0.3}, {0.7, -0.2})});
  EXPECT_EQ(predict_row(f, rows_at({-1.0f}).row(0)), (std::vector{0.1, 0.3}));
  EXPECT_EQ(predict_row(f, rows_at({0.5f}).row(0)), (std::vector{0.7, -0.2}));
}

class OneTreeForest : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(OneTreeForest, EveryPathReturnsTheTreeOutputsRowByRow) {
  const UpliftRandomForestModel f = forest_of(1, {stump(0.0f, {0.1, 0.3}, {0.7, -0.2})});
  const FloatTable got = predict(f, rows_at({-1.0f, 0.0f, 2.0f, std::nanf("")}), GetParam());
  EXPECT_EQ(got, (FloatTable{{0.1, 0.3}, {0.1, 0.3}, {0.7, -0.2}, {0.7, -0.2}}));
}

INSTANTIATE_TEST_SUITE_P(ThreadCounts, OneTreeForest, ::testing::Values(-1, 1, 2, 5));

// Two fits leave 2 x n_estimators trees: the calling-thread paths use all of them (about twice
// the mean), the threaded path only the first n_estimators.
TEST(ForestPredict, RecordWithTwiceTheTreesAfterTwoFits) {
  const UpliftRandomForestModel f = forest_of(2, four_trees());
  const RowBatch rows = rows_at({-2.0f, 0.75f});
  // row x0=-2: left everywhere; x0=0.75: right, left, right, right.
  const FloatTable all = {{(0.5 + 0.25 + 4.0 - 0.5) / 2, (-0.25 + 0.25 + 1.0 + 8.0) / 2},
                          {(1.0 + 0.25 + 0.125 + 0.75) / 2, (0.0 + 0.25 - 1.0 + 0.25) / 2}};
  const FloatTable first_two = {{(0.5 + 0.25) / 2, (-0.25 + 0.25) / 2},
                                {(1.0 + 0.25) / 2, (0.0 + 0.25) / 2}};
  EXPECT_EQ(predict_row(f, rows.row(0)), all[0]);
  EXPECT_EQ(predict_row(f, rows.row(1)), all[1]);
  EXPECT_EQ(predict(f, rows, 1), all);
  for (std::int32_t n : {-1, 2, 3}) EXPECT_EQ(predict(f, rows, n), first_two) << n;
}

TEST(ForestPredict, FewerTreesThanEstimators) {
  const UpliftRandomForestModel f = forest_of(4, {stump(0.0f, {1.0}, {2.0})});
  EXPECT_EQ(predict(f, rows_at({-1.0f, 1.0f}), 1), (FloatTable{{0.25}, {0.5}}));
  EXPECT_EQ(predict_row(f, rows_at({1.0f}).row(0)), std::vector{0.5});
  for (std::int32_t n : {-1, 0, 2, 4}) {
    EXPECT_EQ(panic_message([&] { predict(f, rows_at({1.0f}), n); }), kCountAssertion) << n;
  }
  // Many estimators: threads take several jobs per pass, valid ones beside missing trees.
  const UpliftRandomForestModel many = forest_of(40, {four_trees()[0], four_trees()[1]});
  for (std::int32_t n : {1, 2, 3}) {
    if (n == 1) {
      EXPECT_EQ(predict(many, rows_at({1.0f}), n), (FloatTable{{1.25 / 40, 0.25 / 40}}));
    } else {
      EXPECT_EQ(panic_message([&] { predict(many, rows_at({1.0f}), n); }), kCountAssertion) << n;
    }
  }
}

class UntrainedRecord : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(UntrainedRecord, OneThreadGivesEmptyListsOtherCountsFailTheCount) {
  const UpliftRandomForestModel f = forest_of(3, {});
  const std::int32_t n = GetParam();
  if (n == 1) {
    EXPECT_EQ(predict(f, rows_at({1.0f, 2.0f}), n), (FloatTable{{}, {}}));
  } else {
    EXPECT_EQ(panic_message([&] { predict(f, rows_at({1.0f, 2.0f}), n); }), kCountAssertion);
  }
}

INSTANTIATE_TEST_SUITE_P(ThreadCounts, UntrainedRecord, ::testing::ValuesIn(kThreadCounts));

class EmptyRowList : public ::testing::TestWithParam<std::int32_t> {};

// Predicting nothing is not an error, for any thread count and any record.
TEST_P(EmptyRowList, ReturnsAnEmptyTable) {
  EXPECT_TRUE(predict(forest_of(2, four_trees()), RowBatch{}, GetParam()).empty());
  EXPECT_TRUE(predict(forest_of(3, {}), RowBatch{}, GetParam()).empty());
}

INSTANTIATE_TEST_SUITE_P(ThreadCounts, EmptyRowList, ::testing::ValuesIn(kThreadCounts));

TEST(ForestPredict, ZeroThreadsFailsTheCountUnlessNoEstimators) {
  EXPECT_EQ(panic_message([] { predict(forest_of(2, four_trees()), rows_at({1.0f}), 0); }),
            kCountAssertion);
  EXPECT_TRUE(predict(forest_of(0, four_trees()), rows_at({1.0f}), 0).empty());
}

TEST(ForestPredict, ZeroEstimatorsDividesByZeroOnTheCallingThread) {
  const UpliftRandomForestModel f = forest_of(0, {stump(0.0f, {1.0, 0.0}, {-1.0, 0.0})});
  const FloatTable got = predict(f, rows_at({-1.0f, 1.0f}), 1);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0][0], INFINITY);
  EXPECT_TRUE(std::isnan(got[0][1]));
  EXPECT_EQ(got[1][0], -INFINITY);
  const std::vector<double> one = predict_row(f, rows_at({-1.0f}).row(0));
  EXPECT_EQ(one[0], INFINITY);
  for (std::int32_t n : {-1, 2, 3}) EXPECT_TRUE(predict(f, rows_at({1.0f}), n).empty()) << n;
}

// A second row too short for a tested column: the calling thread reports the index failure;
// on prediction threads every job fails, so the count falls short.
TEST(ForestPredict, ShortSecondRowFailsAndReturnsNothing) {
  const UpliftRandomForestModel f =
      forest_of(2, {stump(0.0f, {1.0}, {2.0}), stump(0.0f, {1.0}, {2.0})});
  RowBatch rows = rows_at({1.0f});
  rows.begin_row();
  EXPECT_EQ(panic_message([&] { predict(f, rows, 1); }),
            "index out of bounds: the len is 0 but the index is 0");
  for (std::int32_t n : {-1, 2, 3}) {
    EXPECT_EQ(panic_message([&] { predict(f, rows, n); }), kCountAssertion) << n;
  }
}

// The threaded path checks the first row's width; the calling-thread path does not.
TEST(ForestPredict, FirstRowWidthIsCheckedOnlyByTheThreadedPath) {
  const UpliftRandomForestModel f = forest_of(1, {stump(0.0f, {1.0}, {2.0})});
  RowBatch rows;
  rows.begin_row();
  rows.add_number(1.0f);  // one cell for two features; the split reads only cell 0
  EXPECT_EQ(predict(f, rows, 1), (FloatTable{{2.0}}));
  EXPECT_EQ(panic_message([&] { predict(f, rows, 2); }), kCountAssertion);
}

TEST(ForestPredict, WrongKindFailsWithTheWalkMessageOnTheCallingThread) {
  const UpliftRandomForestModel f = forest_of(1, {stump(0.0f, {1.0}, {2.0})});
  RowBatch rows;
  rows.begin_row();
  rows.add_text("0.5");
  rows.add_number(0.0f);
  EXPECT_EQ(panic_message([&] { predict(f, rows, 1); }), "not f64");
  EXPECT_EQ(panic_message([&] { predict_row(f, rows.row(0)); }), "not f64");
  EXPECT_EQ(panic_message([&] { predict(f, rows, 2); }), kCountAssertion);
}

// Leaves of different widths (fits with different numbers of treatment groups): the sum keeps
// the first tree's width; a later, narrower output is an index failure.
TEST(ForestPredictRow, SumKeepsTheFirstWidth) {
  const UpliftTreeModel wide = stump(0.0f, {1.0, 2.0, 3.0}, {1.0, 2.0, 3.0});
  const UpliftTreeModel narrow = stump(0.0f, {0.5, 0.5}, {0.5, 0.5});
  const RowBatch rows = rows_at({0.0f});
  EXPECT_EQ(predict_row(forest_of(2, {narrow, wide}), rows.row(0)), (std::vector{0.75, 1.25}));
  EXPECT_EQ(panic_message([&] { predict_row(forest_of(2, {wide, narrow}), rows.row(0)); }),
            "index out of bounds: the len is 2 but the index is 2");
  EXPECT_EQ(panic_message([&] { predict(forest_of(2, {wide, narrow}), rows_at({0.0f}), 1); }),
            "index out of bounds: the len is 2 but the index is 2");
}

// Same ragged shape in every tree: the threaded sum adds row by row like the calling thread.
TEST(ForestPredict, RaggedLeavesSumRowByRowOnEveryPath) {
  const UpliftTreeModel a = stump(0.0f, {1.0}, {2.0, 3.0});
  const UpliftTreeModel b = stump(0.0f, {0.5}, {0.25, 0.75});
  const UpliftRandomForestModel f = forest_of(2, {a, b});
  const FloatTable expected = {{1.125, 1.875}, {0.75}, {1.125, 1.875}};
  for (std::int32_t n : {-1, 1, 2, 3}) {
    EXPECT_EQ(predict(f, rows_at({1.0f, -1.0f, 1.0f}), n), expected) << n;
  }
}

// Random depth-3 forests of exactly n_estimators trees: every thread count gives the same
// numbers up to the order of summation.
class ThreadCountsAgree : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(ThreadCountsAgree, OnRandomForests) {
  std::mt19937_64 rng(GetParam());
  std::uniform_real_distribution<float> cell(-2.0f, 2.0f);
  std::uniform_real_distribution<double> uplift(-0.3, 0.3);
  const std::int32_t n_estimators = 1 + static_cast<std::int32_t>(rng() % 40);
  std::vector<UpliftTreeModel> trees;
  for (std::int32_t t = 0; t < n_estimators; ++t) {
    UpliftTreeModel tree;
    tree.max_depth = 3;
    tree.feature_cols = {"a", "b", "c"};
    tree.nodes.resize(15);
    for (std::size_t slot = 0; slot < 15; ++slot) {
      if (slot >= 7 || rng() % 5 == 0) {
        tree.nodes[slot] = leaf({uplift(rng), uplift(rng)});
        continue;
      }
      tree.nodes[slot].col_idx = static_cast<std::int32_t>(rng() % 3);
      tree.nodes[slot].split_value = SplitValue::numeric(cell(rng));
      tree.nodes[slot].gain = 0.1;
    }
    trees.push_back(std::move(tree));
  }
  const UpliftRandomForestModel f = forest_of(n_estimators, std::move(trees));
  RowBatch rows;
  const std::size_t row_count = 1 + rng() % 700;  // across blocks of the grouped walk
  for (std::size_t r = 0; r < row_count; ++r) {
    rows.begin_row();
    for (int c = 0; c < 3; ++c) rows.add_number(cell(rng));
  }
  const FloatTable reference = predict(f, rows, 1);
  ASSERT_EQ(reference.size(), row_count);
  for (std::size_t r = 0; r < row_count; ++r) {
    EXPECT_EQ(predict_row(f, rows.row(r)), reference[r]);
  }
  for (std::int32_t n : {-1, 2, 3, 16}) {
    const FloatTable got = predict(f, rows, n);
    ASSERT_EQ(got.size(), reference.size());
    for (std::size_t r = 0; r < got.size(); ++r) {
      ASSERT_EQ(got[r].size(), 2u);
      for (std::size_t k = 0; k < 2; ++k) EXPECT_NEAR(got[r][k], reference[r][k], 1e-12);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ThreadCountsAgree, ::testing::Range<std::uint64_t>(1, 25));

// Columns of a batch for predict_columns and the same batch as rows of cells.
struct ColumnsCase {
  UpliftRandomForestModel forest;
  std::vector<std::vector<float>> numbers;  // empty for the text features
  std::vector<std::vector<std::uint32_t>> codes;
  std::vector<std::string> texts = {"a", "b", "zz"};  // "zz" is no split category
  std::vector<ColumnInput> columns;
  RowBatch rows;
};

// Random forests over features 0, 1 (numbers: NaN, infinities, ties with thresholds) and 2
// (texts, codes beyond the dictionary too), leaves of width 2 at every depth.
ColumnsCase columns_case(std::uint64_t seed, std::size_t n_rows) {
  std::mt19937_64 rng(seed);
  const float cells[] = {-1.0f, -0.0f, 0.0f, 0.5f, 1.0f, std::nanf(""), INFINITY, -INFINITY};
  std::uniform_real_distribution<double> uplift(-0.5, 0.5);
  ColumnsCase c;
  c.forest = forest_of(seed % 3 == 0 ? 1 : 1 + static_cast<std::int32_t>(rng() % 12), {});
  for (std::int32_t t = 0; t < c.forest.n_estimators; ++t) {
    UpliftTreeModel tree;
    tree.max_depth = rng() % 6;
    tree.feature_cols = {"x0", "x1", "c"};
    tree.nodes.resize(*node_array_size(tree.max_depth));
    for (std::size_t slot = 0; slot < tree.nodes.size(); ++slot) {
      if (left_child(slot) >= tree.nodes.size() || rng() % 4 == 0) {
        // Now and then -0.0 (which a sum must keep when it is the only term) or NaN (a leaf
        // without control rows).
        const double odd = rng() % 2 == 0 ? -0.0 : std::nan("");
        tree.nodes[slot] = leaf({rng() % 8 == 0 ? odd : uplift(rng), uplift(rng)});
        continue;
      }
      TreeNode& node = tree.nodes[slot];
      node.col_idx = static_cast<std::int32_t>(rng() % 3);
      node.split_value = node.col_idx == 2 ? SplitValue::str(c.texts[rng() % 2])
                                           : SplitValue::numeric(cells[rng() % std::size(cells)]);
      node.gain = 1.0;
    }
    c.forest.trees.push_back(std::move(tree));
  }
  c.numbers.resize(2);
  c.codes.resize(3);
  for (std::size_t r = 0; r < n_rows; ++r) {
    c.rows.begin_row();
    for (std::size_t j = 0; j < 2; ++j) {
      c.numbers[j].push_back(cells[rng() % std::size(cells)]);
      c.rows.add_number(c.numbers[j].back());
    }
    const auto code = static_cast<std::uint32_t>(rng() % 5);  // 3, 4: beyond the dictionary
    c.codes[2].push_back(code == 4 ? 0xFFFFFFFF : code);
    c.rows.add_text(code < c.texts.size() ? c.texts[code] : "not in the dictionary");
  }
  c.columns = {{c.numbers[0].data(), nullptr, {}},
               {c.numbers[1].data(), nullptr, {}},
               {nullptr, c.codes[2].data(), c.texts}};
  return c;
}

using Bits = std::vector<std::uint64_t>;
Bits bits_of(std::span<const double> values) {
  Bits out;
  for (const double v : values) out.push_back(std::bit_cast<std::uint64_t>(v));
  return out;
}

class PredictColumns : public ::testing::TestWithParam<std::uint64_t> {};

// Each row sums its trees in list order: bit for bit predict_row, on any number of threads,
// over a row count that ends inside a block. The spread is that of the trees' leaves.
TEST_P(PredictColumns, EqualsPredictRowBitForBit) {
  std::mt19937_64 rng(GetParam());
  const std::size_t n_rows = 1 + rng() % 700;
  const ColumnsCase c = columns_case(GetParam(), n_rows);
  const PackedForest packed(c.forest.trees);
  const auto divisor = static_cast<double>(c.forest.n_estimators);
  for (const std::size_t threads : {1u, 3u}) {
    std::vector<double> out(n_rows * 2), spread(n_rows * 2), plain(n_rows * 2);
    predict_columns(packed, c.columns, n_rows, divisor, out, spread, threads, nullptr);
    predict_columns(packed, c.columns, n_rows, divisor, plain, {}, threads, nullptr);
    EXPECT_EQ(bits_of(plain), bits_of(out));
    for (std::size_t r = 0; r < n_rows; ++r) {
      const std::vector<double> expected = predict_row(c.forest, packed, c.rows.row(r));
      ASSERT_EQ(bits_of({out.data() + 2 * r, 2}), bits_of(expected)) << "row " << r;
      for (std::size_t k = 0; k < 2; ++k) {
        double mean = 0.0, square = 0.0;
        for (std::size_t t = 0; t < packed.size(); ++t) {
          mean += packed.find_leaf(t, c.rows.row(r), packed.category_ids(c.rows.texts()))[k];
        }
        mean /= static_cast<double>(packed.size());
        for (std::size_t t = 0; t < packed.size(); ++t) {
          const double d =
              packed.find_leaf(t, c.rows.row(r), packed.category_ids(c.rows.texts()))[k] - mean;
          square += d * d;
        }
        const double expected_spread = std::sqrt(square / static_cast<double>(packed.size()));
        if (std::isnan(expected_spread)) {
          EXPECT_TRUE(std::isnan(spread[2 * r + k])) << "row " << r;
        } else {
          EXPECT_NEAR(spread[2 * r + k], expected_spread, 1e-12) << "row " << r;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, PredictColumns, ::testing::Range<std::uint64_t>(1, 30));

struct ColumnsFailure {
  const char* name;
  void (*spoil)(ColumnsCase&, std::size_t& n_rows, std::size_t& out_size);
  const char* message;
};

class PredictColumnsFailure : public ::testing::TestWithParam<ColumnsFailure> {};

TEST_P(PredictColumnsFailure, PanicsBeforeAnyRow) {
  ColumnsCase c = columns_case(7, 300);
  // Every forest here tests column 0 with a threshold (tree 0) and column 2 with a category.
  UpliftTreeModel by_text = stump(0.0f, {1.0, 2.0}, {3.0, 4.0});
  by_text.nodes[0].col_idx = 2;
  by_text.nodes[0].split_value = SplitValue::str("a");
  c.forest.trees.insert(c.forest.trees.begin(), {stump(0.0f, {1.0, 2.0}, {3.0, 4.0}), by_text});
  std::size_t n_rows = 300;
  std::size_t out_size = 600;
  GetParam().spoil(c, n_rows, out_size);
  const PackedForest packed(c.forest.trees);
  std::vector<double> out(out_size, -1.0);
  EXPECT_EQ(
      panic_message([&] { predict_columns(packed, c.columns, n_rows, 1.0, out, {}, 2, nullptr); }),
      std::string("predict_columns: ") + GetParam().message);
  EXPECT_EQ(out, std::vector<double>(out_size, -1.0));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PredictColumnsFailure,
    ::testing::Values(
        ColumnsFailure{"MissingColumn", [](ColumnsCase& c, auto&, auto&) { c.columns.pop_back(); },
                       "a split tests column 2, but 2 columns were given"},
        ColumnsFailure{"NoData",
                       [](ColumnsCase& c, auto&, auto&) { c.columns[0].numbers = nullptr; },
                       "a split tests column 0, which is missing"},
        ColumnsFailure{
            "BothKinds",
            [](ColumnsCase& c, auto&, auto&) { c.columns[2].numbers = c.numbers[0].data(); },
            "column 2 is given both numbers and codes"},
        ColumnsFailure{"CodesAtThreshold",
                       [](ColumnsCase& c, auto&, auto&) { std::swap(c.columns[0], c.columns[2]); },
                       "a split compares column 0 with a threshold, but it holds codes of texts"},
        ColumnsFailure{"NumbersAtCategory",
                       [](ColumnsCase& c, auto&, auto&) { c.columns[2] = c.columns[1]; },
                       "a split compares column 2 with a category, but it holds numbers"},
        ColumnsFailure{"RaggedOut", [](ColumnsCase&, auto&, std::size_t& out) { out = 601; },
                       "out holds 601 values, which is no whole number per row for 300 rows"},
        ColumnsFailure{"LeafWidth", [](ColumnsCase&, auto&, std::size_t& out) { out = 900; },
                       "the forest's leaves hold 2 values, out has room for 3 per row"},
        ColumnsFailure{
            "HandEditedTree",
            [](ColumnsCase& c, auto&, auto&) { c.forest.trees[0].nodes[0].col_idx = -1; },
            "the forest cannot be walked: tree 0 has a split on column -1"}),
    [](const auto& test) { return std::string(test.param.name); });

// A cancelled call ends its threads and throws Cancelled, leaving nothing half written behind
// on other threads; a call that was not cancelled does not look at a flag raised later.
TEST(PredictColumnsCancel, ThrowsCancelledWhenRaised) {
  const ColumnsCase c = columns_case(3, 2000);
  const PackedForest packed(c.forest.trees);
  std::vector<double> out(4000);
  CancelFlag cancel;
  cancel.request();
  EXPECT_THROW(predict_columns(packed, c.columns, 2000, 1.0, out, {}, 4, &cancel), Cancelled);
}

// Threads are capped by the work: tree jobs for the class, blocks of rows for columns. With
// no cap, these calls would start billions of threads.
TEST(ThreadCap, HugeThreadCountsOnFewRowsReturnPromptlyWithTheNumbers) {
  const ColumnsCase c = columns_case(5, 3);
  auto [tx, rx] = make_channel<bool>();
  spawn_detached([&c, tx = std::move(tx)]() mutable {
    const PackedForest packed(c.forest.trees);
    const FloatTable one = predict(c.forest, c.rows, 1);
    const FloatTable many = predict(c.forest, c.rows, std::numeric_limits<std::int32_t>::max());
    std::vector<double> out(6);
    predict_columns(packed, c.columns, 3, static_cast<double>(c.forest.n_estimators), out, {},
                    std::numeric_limits<std::size_t>::max(), nullptr);
    bool same = many.size() == 3;
    for (std::size_t r = 0; r < 3 && same; ++r) {
      const double a = many[r][0], b = one[r][0];
      same = (std::isnan(a) ? std::isnan(b) : std::abs(a - b) < 1e-12) &&
             std::bit_cast<std::uint64_t>(b) == std::bit_cast<std::uint64_t>(out[2 * r]);
    }
    tx.send(same);
  });
  const std::optional<bool> same = rx.recv_for(std::chrono::seconds(60));
  ASSERT_TRUE(same.has_value()) << "no answer within a minute";
  EXPECT_TRUE(*same);
}

}  // namespace
}  // namespace quillmarsh
