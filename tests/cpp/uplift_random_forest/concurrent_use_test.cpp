// Concurrent use of the training and prediction core: several trees growing at once on one
// worker pool, forests trained and read from several threads, prediction calls overlapping the
// threads of earlier calls. Under ThreadSanitizer (tools/sanitize.sh tsan) these are the race
// checks; in the normal build they check that concurrency does not change results.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "concurrency/channel.hpp"
#include "concurrency/thread.hpp"
#include "concurrency/worker_pool.hpp"
#include "forest_support.hpp"
#include "uplift_random_forest/forest_predict.hpp"
#include "uplift_random_forest/train.hpp"
#include "uplift_tree/grow.hpp"
#include "uplift_tree/training_data.hpp"

namespace quillmarsh {
namespace {

// tools/sanitize.sh at its smaller size (SANITIZE_QUICK=1) sets QUILLMARSH_STRESS_QUICK=1.
bool quick() {
  const char* v = std::getenv("QUILLMARSH_STRESS_QUICK");
  return v != nullptr && std::string(v) == "1";
}
std::size_t rows() { return quick() ? 4000 : 12000; }

// Generous: ThreadSanitizer slows the core down by an order of magnitude.
constexpr auto kWait = std::chrono::minutes(10);

template <class T>
T receive(Receiver<T>& rx) {
  std::optional<T> value = rx.recv_for(kWait);
  if (!value) {
    ADD_FAILURE() << (rx.closed() ? "a thread failed before sending" : "timed out");
    return T{};
  }
  return std::move(*value);
}

class SilentSink : public ProgressSink {
 public:
  void print_line(std::string) override { ++lines; }
  std::size_t lines = 0;
};

testing_data::TestColumns experiment(std::uint64_t seed, std::size_t n) {
  Rng rng(seed);
  return testing_data::random_experiment(rng, n, 5, 1, 3, /*rough=*/true, 0.3);
}

// All six features are searched at every node, the root is large enough to go to the pool,
// and 500 * max_bins exceeds the row count, so every node takes its candidates from all of
// its rows rather than from a random sample.
UpliftTreeModel tree_template() {
  return make_tree_template(/*max_depth=*/4, /*min_sample_leaf=*/60, /*max_features=*/6,
                            EvalFunc::KL, /*max_bins=*/30, false, false, 0.9);
}

RowBatch rows_of(const testing_data::TestColumns& c, std::size_t n) {
  RowBatch batch;
  for (std::size_t r = 0; r < n; ++r) {
    batch.begin_row();
    for (const auto& column : c.features) {
      if (const auto* numbers = std::get_if<testing_data::Floats>(&column)) {
        batch.add_number((*numbers)[r]);
      } else {
        batch.add_text(std::get<testing_data::Texts>(column)[r]);
      }
    }
  }
  return batch;
}

RowBatch copy_of(const RowBatch& rows) {
  RowBatch out;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const RowView row = rows.row(r);
    out.begin_row();
    for (const Cell& cell : row.cells) {
      if (cell.is_number()) {
        out.add_number(cell.number);
      } else {
        out.add_text((*row.texts)[cell.text]);
      }
    }
  }
  return out;
}

// Tables summed in another order differ only in the last bits.
void expect_near_table(const FloatTable& got, const FloatTable& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t r = 0; r < want.size(); ++r) {
    ASSERT_EQ(got[r].size(), want[r].size()) << "row " << r;
    for (std::size_t g = 0; g < want[r].size(); ++g) {
      EXPECT_NEAR(got[r][g], want[r][g], 1e-12 * (1.0 + std::fabs(want[r][g])))
          << "row " << r << " group " << g;
    }
  }
}

void expect_same_nodes(const UpliftTreeModel& got, const UpliftTreeModel& want) {
  ASSERT_EQ(got.nodes.size(), want.nodes.size());
  for (std::size_t i = 0; i < want.nodes.size(); ++i) {
    SCOPED_TRACE("slot " + std::to_string(i));
    const TreeNode& g = got.nodes[i];
    const TreeNode& w = want.nodes[i];
    EXPECT_EQ(g.col_name, w.col_name);
    EXPECT_EQ(g.col_idx, w.col_idx);
    EXPECT_TRUE(g.split_value == w.split_value);
    EXPECT_EQ(g.gain, w.gain);
    EXPECT_EQ(g.prob, w.prob);
  }
}

UpliftRandomForestModel trained_forest(std::int32_t n_estimators, std::int32_t n_threads,
                                       std::uint64_t seed) {
  UpliftRandomForestModel forest =
      make_forest(n_estimators, /*max_features=*/3, /*max_depth=*/5, /*min_sample_leaf=*/40, "KL",
                  /*max_bins=*/10, false, false, 0.9);
  SilentSink sink;
  fit(forest, [seed] { return experiment(seed, rows()); }, "t", "y", n_threads, sink);
  return forest;
}

// With every feature searched and every node's rows used as candidates, a tree does not depend
// on the generator or on how split jobs interleave: trees grown side by side on one pool must
// be the tree grown alone.
TEST(ConcurrentUse, TreesGrownAtOnceOnOnePoolMatchTheTreeGrownAlone) {
  const TrainingRoot root = testing_data::make_node(experiment(5, rows()));
  UpliftTreeModel alone = tree_template();
  {
    WorkerPool pool(1);
    grow_tree(alone, root, "t", "y", pool, testing_data::seeded_growth(1));
  }
  ASSERT_FALSE(alone.nodes[0].is_leaf()) << "the reference tree never split";

  constexpr int kTrees = 6;
  auto [tx, rx] = make_channel<UpliftTreeModel>();
  {
    WorkerPool shared(4);
    for (int i = 0; i < kTrees; ++i) {
      spawn_detached([tx = tx, root, shared, seed = static_cast<std::uint64_t>(100 + i)]() mutable {
        UpliftTreeModel tree = tree_template();
        grow_tree(tree, root, "t", "y", shared, testing_data::seeded_growth(seed));
        tx.send(std::move(tree));
      });
    }
  }
  tx.reset();
  for (int i = 0; i < kTrees; ++i) expect_same_nodes(receive(rx), alone);
}

TEST(ConcurrentUse, ForestTrainedOnManyThreadsPredictsAlikeOnEveryThreadCount) {
  const UpliftRandomForestModel forest = trained_forest(12, 4, 21);
  ASSERT_EQ(forest.trees.size(), 12u);
  const RowBatch rows = rows_of(experiment(22, 600), 600);

  const FloatTable one_thread = predict(forest, copy_of(rows), 1);
  for (std::size_t r = 0; r < rows.size(); r += 97) {
    EXPECT_EQ(predict_row(forest, rows.row(r)), one_thread[r]) << "row " << r;
  }
  for (const std::int32_t n : {2, 3, 8, 16}) {
    SCOPED_TRACE("n_threads " + std::to_string(n));
    expect_near_table(predict(forest, copy_of(rows), n), one_thread);
  }
}

// Each call returns once every table has arrived; the threads of a call may still be
// releasing their handles while the next call starts.
TEST(ConcurrentUse, BackToBackPredictionsOverlapTheThreadsOfEarlierCalls) {
  const UpliftRandomForestModel forest = trained_forest(6, 2, 31);
  const RowBatch rows = rows_of(experiment(32, 50), 50);
  const FloatTable want = predict(forest, copy_of(rows), 1);
  for (int call = 0; call < (quick() ? 20 : 60); ++call) {
    expect_near_table(predict(forest, copy_of(rows), 1 + call % 7), want);
  }
}

// Several callers read one forest at once, each predicting with threads of its own.
TEST(ConcurrentUse, OneForestPredictsForSeveralCallersAtOnce) {
  const UpliftRandomForestModel forest = trained_forest(8, 2, 41);
  const RowBatch rows = rows_of(experiment(42, 300), 300);
  const FloatTable want = predict(forest, copy_of(rows), 1);

  constexpr int kCallers = 4;
  auto [tx, rx] = make_channel<FloatTable>();
  for (int i = 0; i < kCallers; ++i) {
    spawn_detached([tx = tx, &forest, batch = copy_of(rows), n = 2 + i]() mutable {
      tx.send(predict(forest, std::move(batch), n));
    });
  }
  tx.reset();
  for (int i = 0; i < kCallers; ++i) expect_near_table(receive(rx), want);
}

// Fits of separate forests at once share nothing but the process: per-thread generators,
// stderr and the allocator.
TEST(ConcurrentUse, SeparateForestsTrainAtOnce) {
  constexpr int kForests = 3;
  auto [tx, rx] = make_channel<std::pair<std::size_t, std::size_t>>();
  for (int i = 0; i < kForests; ++i) {
    spawn_detached([tx = tx, seed = static_cast<std::uint64_t>(50 + i)]() mutable {
      UpliftRandomForestModel forest = make_forest(5, 2, 4, 40, "CHI", 8, true, false, 0.5);
      SilentSink sink;
      fit(forest, [seed] { return experiment(seed, rows() / 2); }, "t", "y", 2, sink);
      tx.send({forest.trees.size(), sink.lines});
    });
  }
  tx.reset();
  for (int i = 0; i < kForests; ++i) {
    const auto [trees, lines] = receive(rx);
    EXPECT_EQ(trees, 5u);
    EXPECT_EQ(lines, 6u);  // the start line and one per tree
  }
}

}  // namespace
}  // namespace quillmarsh
