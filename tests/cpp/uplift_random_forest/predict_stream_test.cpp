#include "uplift_random_forest/predict_stream.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/panic.hpp"
#include "test_support.hpp"
#include "uplift_tree/packed_forest.hpp"

namespace quillmarsh {
namespace {

TreeNode leaf(std::vector<double> prob) {
  TreeNode n;
  n.prob = std::move(prob);
  return n;
}

// A stump over features {x0, colour}: x0 <= threshold goes left. Leaves of two entries.
UpliftTreeModel stump(float threshold, double left, double right) {
  UpliftTreeModel t;
  t.max_depth = 1;
  t.feature_cols = {"x0", "colour"};
  TreeNode root;
  root.col_idx = 0;
  root.split_value = SplitValue::numeric(threshold);
  t.nodes = {root, leaf({left, -left}), leaf({right, -right})};
  return t;
}

// A stump on the text feature: "red" goes left.
UpliftTreeModel colour_stump(double left, double right) {
  UpliftTreeModel t = stump(0.0f, left, right);
  t.nodes[0].col_idx = 1;
  t.nodes[0].split_value = SplitValue::str("red");
  return t;
}

const std::vector<UpliftTreeModel> kTrees = {stump(0.25f, 0.1, 0.7), colour_stump(0.3, 1e-17),
                                             stump(0.5f, 1e16, -3.0), stump(0.75f, 0.2, 0.4)};

float x0_of(std::size_t row) { return static_cast<float>(row % 97) / 97.0f; }
bool red(std::size_t row) { return row % 3 == 0; }

// The rows' cells: {x0, "red" or "blue"}; the one row `bad` has a text where x0 belongs.
StreamProduce producer(const PackedForest& forest, std::size_t bad, std::vector<int>& produced) {
  return [&forest, bad, &produced](StreamBlock& block) {
    produced.push_back(static_cast<int>(block.first / StreamBlock::kRows));
    for (std::size_t r = block.first; r < block.first + block.count; ++r) {
      block.rows.begin_row();
      if (r == bad) {
        block.rows.add_text_code(static_cast<std::uint32_t>(block.text_ids.size()));
        block.text_ids.push_back(forest.category_id("red"));
      } else {
        block.rows.add_number(x0_of(r));
      }
      block.rows.add_text_code(static_cast<std::uint32_t>(block.text_ids.size()));
      block.text_ids.push_back(forest.category_id(red(r) ? "red" : "blue"));
    }
  };
}

// Entry k of row r by hand: the leaves the row reaches, added in list order, divided.
double expected(std::size_t r, std::size_t k, double divisor) {
  const float x = x0_of(r);
  const double sign = k == 0 ? 1.0 : -1.0;
  double sum = sign * (x <= 0.25f ? 0.1 : 0.7);
  sum += sign * (red(r) ? 0.3 : 1e-17);
  sum += sign * (x <= 0.5f ? 1e16 : -3.0);
  sum += sign * (x <= 0.75f ? 0.2 : 0.4);
  return sum / divisor;
}

constexpr std::size_t kSomeThreads[] = {1, 2, 5};

struct Case {
  std::size_t rows;
  std::size_t threads;
};

// Every row reaches take() once, at its place, with the hand-computed means to the bit, whether
// a block is scored by a helper or by the calling thread, and with more threads than blocks.
TEST(PredictStream, EveryRowOnceWithItsMeansForEveryThreadCount) {
  const PackedForest forest(kTrees);
  const Case cases[] = {{1, 2},  {StreamBlock::kRows, 8},         {StreamBlock::kRows + 1, 2},
                        {5, 1},  {9 * StreamBlock::kRows + 7, 2}, {9 * StreamBlock::kRows + 7, 3},
                        {40, 0}, {3 * StreamBlock::kRows, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(numbered("rows ", c.rows) + numbered(", threads ", c.threads));
    std::vector<int> produced;
    std::vector<int> taken(c.rows, 0);
    std::vector<double> means(c.rows * 2);
    const std::optional<Panic> failure =
        predict_stream(forest, 4.0, c.rows, c.threads, producer(forest, c.rows, produced),
                       [&](const StreamBlock& block) {
                         ASSERT_EQ(block.rows.size(), block.count);
                         for (std::size_t r = 0; r < block.count; ++r) {
                           ++taken[block.first + r];
                           means[(block.first + r) * 2] = block.means[r * 2];
                           means[(block.first + r) * 2 + 1] = block.means[r * 2 + 1];
                         }
                       });
    ASSERT_FALSE(failure.has_value()) << failure->message();
    EXPECT_EQ(produced.size(), (c.rows + StreamBlock::kRows - 1) / StreamBlock::kRows);
    for (std::size_t b = 0; b < produced.size(); ++b) EXPECT_EQ(produced[b], b);  // in order
    for (std::size_t r = 0; r < c.rows; ++r) {
      ASSERT_EQ(taken[r], 1) << "row " << r;
      ASSERT_EQ(means[r * 2], expected(r, 0, 4.0)) << "row " << r;
      ASSERT_EQ(means[r * 2 + 1], expected(r, 1, 4.0)) << "row " << r;
    }
  }
}

// A walk failure in the last block neither stops the production nor leaves the call early:
// every block is produced and the failure comes back.
// A failing first row (its width) is found the same way.
TEST(PredictStream, AWalkFailureComesBackOnceEveryBlockIsProduced) {
  const PackedForest forest(kTrees);
  const std::size_t rows = 6 * StreamBlock::kRows + 3;
  for (const std::size_t threads : kSomeThreads) {
    SCOPED_TRACE(numbered("threads ", threads));
    std::vector<int> produced;
    const std::optional<Panic> failure =
        predict_stream(forest, 4.0, rows, threads, producer(forest, rows - 2, produced),
                       [](const StreamBlock&) {});
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->message(), "not f64");
    EXPECT_EQ(produced.size(), 7u);
  }
  std::vector<int> produced;
  const StreamProduce narrow = [](StreamBlock& block) {
    for (std::size_t r = 0; r < block.count; ++r) {
      block.rows.begin_row();
      block.rows.add_number(0.0f);
    }
  };
  const std::optional<Panic> failure =
      predict_stream(forest, 4.0, 3000, 2, narrow, [](const StreamBlock&) {});
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->message(), "assertion failed: data[0].len() == self.feature_cols.len()");
}

// A producer that fails ends the call with its own failure; the blocks after it are never
// produced, and the threads are gone when the failure leaves (the forest dies right after).
TEST(PredictStream, AFailingProducerEndsTheCall) {
  for (const std::size_t threads : kSomeThreads) {
    SCOPED_TRACE(numbered("threads ", threads));
    auto forest = std::make_unique<PackedForest>(kTrees);
    std::vector<int> produced;
    const StreamProduce good = producer(*forest, SIZE_MAX, produced);
    const std::string message = panic_message([&] {
      predict_stream(
          *forest, 4.0, 20 * StreamBlock::kRows, threads,
          [&](StreamBlock& block) {
            if (block.first == 12 * StreamBlock::kRows) panic("bad cell in row");
            good(block);
          },
          [](const StreamBlock&) {});
    });
    forest.reset();
    EXPECT_EQ(message, "bad cell in row");
    EXPECT_EQ(produced.size(), 12u);
  }
}

}  // namespace
}  // namespace quillmarsh
