// Forest prediction: tree outputs summed and divided by n_estimators, either row by row on the
// calling thread or one whole tree per job on detached prediction threads.
#include "uplift_random_forest/predict.hpp"

#include <algorithm>
#include <iterator>
#include <memory>
#include <utility>

#include "common/panic.hpp"
#include "concurrency/channel.hpp"
#include "concurrency/job_queue.hpp"
#include "concurrency/thread.hpp"
#include "uplift_tree/predict.hpp"

namespace quillmarsh {
namespace {

// sum[i] += leaf[i] over the sum's length; the first output becomes the sum. Entries of
// `leaf` beyond the sum are ignored, a shorter leaf is a fault.
void accumulate(std::vector<double>& sum, std::span<const double> leaf) {
  if (sum.empty()) {
    sum.assign(leaf.begin(), leaf.end());
    return;
  }
  for (std::size_t i = 0; i < sum.size(); ++i) {
    if (i >= leaf.size()) panic_index(leaf.size(), i);
    sum[i] += leaf[i];
  }
}

void divide(std::span<double> values, std::int32_t n_estimators) {
  const double divisor = static_cast<double>(n_estimators);
  for (double& v : values) v /= divisor;
}

// Every tree of the list, in list order, for each row in turn. The walks of up to kLanes
// trees run interleaved; their outputs are still added in list order.
FloatTable predict_on_calling_thread(const UpliftRandomForestModel& forest, const RowBatch& rows) {
  std::vector<FlatTree> trees;
  trees.reserve(forest.trees.size());
  for (const UpliftTreeModel& tree : forest.trees) trees.emplace_back(tree);
  std::vector<const FlatTree*> tree_ptrs;
  tree_ptrs.reserve(trees.size());
  for (const FlatTree& tree : trees) tree_ptrs.push_back(&tree);
  RowView lane_rows[FlatTree::kLanes];
  std::span<const double> leaves[FlatTree::kLanes];

  FloatTable result;
  result.reserve(rows.size());
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const RowView row = rows.row(r);
    std::fill(std::begin(lane_rows), std::end(lane_rows), row);
    std::vector<double> sum;
    for (std::size_t first = 0; first < trees.size(); first += FlatTree::kLanes) {
      const std::size_t walks = std::min(FlatTree::kLanes, trees.size() - first);
      if (!FlatTree::find_leaves(tree_ptrs.data() + first, lane_rows, leaves, walks)) {
        for (std::size_t l = 0; l < walks; ++l) leaves[l] = trees[first + l].find_leaf(row);
      }
      for (std::size_t l = 0; l < walks; ++l) accumulate(sum, leaves[l]);
    }
    divide(sum, forest.n_estimators);
    result.push_back(std::move(sum));
  }
  return result;
}

// sum[i][j] += table[i][j] over the sum's shape.
void add_table(PredictionTable& sum, const PredictionTable& table) {
  if (sum.uniform() && table.uniform() && sum.width() == table.width() &&
      sum.size() == table.size()) {  // the usual case: every leaf has K entries
    const std::span<double> into = sum.values();
    const std::span<const double> from = std::as_const(table).values();
    for (std::size_t v = 0; v < into.size(); ++v) into[v] += from[v];
    return;
  }
  for (std::size_t i = 0; i < sum.size(); ++i) {
    if (i >= table.size()) panic_index(table.size(), i);
    const std::span<double> into = sum.row(i);
    const std::span<const double> from = table.row(i);
    for (std::size_t j = 0; j < into.size(); ++j) {
      if (j >= from.size()) panic_index(from.size(), j);
      into[j] += from[j];
    }
  }
}

// How many jobs a prediction thread takes at once and walks in one pass over the rows, which
// saves memory traffic; small enough that every thread still gets work.
std::size_t trees_per_pass(std::int32_t n_estimators, std::int32_t n_threads) {
  constexpr std::int64_t kMaxTreesPerPass = 8;
  const std::int64_t threads = std::max<std::int64_t>(n_threads, 1);
  const std::int64_t share = std::int64_t{n_estimators} / (2 * threads);
  return static_cast<std::size_t>(std::clamp<std::int64_t>(share, 1, kMaxTreesPerPass));
}

// Jobs are tree numbers 0 .. n_estimators-1; a thread applies whole trees to all rows (a few
// jobs per pass over the rows) and sends one table per tree. The threads share a copy of the
// trees they can use and the rows, and may outlive this call when one of them fails (the
// copies die with the last thread).
FloatTable predict_on_threads(const UpliftRandomForestModel& forest, RowBatch rows,
                              std::int32_t n_threads) {
  auto jobs = std::make_shared<JobQueue>(JobQueue::sequence(forest.n_estimators));
  auto [sender, receiver] = make_channel<PredictionTable>();
  // Trees past n_estimators are never selected by a job, so the copy stops there.
  const std::size_t used = std::min<std::size_t>(
      forest.trees.size(), static_cast<std::size_t>(std::max(forest.n_estimators, 0)));
  auto trees = std::make_shared<const std::vector<UpliftTreeModel>>(
      forest.trees.begin(), forest.trees.begin() + static_cast<std::ptrdiff_t>(used));
  auto shared_rows = std::make_shared<const RowBatch>(std::move(rows));

  const std::size_t group = trees_per_pass(forest.n_estimators, n_threads);
  for (std::int32_t t = 0; t < n_threads; ++t) {
    spawn_detached([jobs, trees, shared_rows, group, tx = sender]() mutable {
      std::vector<const UpliftTreeModel*> taken;
      for (;;) {
        taken.clear();
        std::optional<std::uint64_t> beyond;  // a job naming no tree of the copy
        while (taken.size() < group) {
          const std::optional<std::int32_t> job = jobs->try_pop();
          if (!job) break;
          const auto k = static_cast<std::uint64_t>(*job);
          if (k >= trees->size()) {
            beyond = k;
            break;
          }
          taken.push_back(&(*trees)[k]);
        }
        if (!taken.empty()) {
          for (PredictionTable& table : predict_rows(taken, *shared_rows)) {
            if (!tx.send(std::move(table))) return;  // receiver gone
          }
        }
        if (beyond) panic_index(trees->size(), *beyond);
        if (taken.empty()) return;  // no job left
      }
    });
  }
  sender.reset();  // the channel closes when the last prediction thread ends

  PredictionTable sum;
  std::int64_t count = 0;
  while (std::optional<PredictionTable> table = receiver.recv()) {
    if (sum.size() == 0) {
      sum = std::move(*table);
    } else {
      add_table(sum, *table);
    }
    ++count;
  }
  if (count != forest.n_estimators) panic("assertion failed: count == self.n_estimators");

  FloatTable result;
  result.reserve(sum.size());
  for (std::size_t i = 0; i < sum.size(); ++i) {
    const std::span<const double> row = sum.row(i);
    std::vector<double>& out = result.emplace_back(row.begin(), row.end());
    divide(out, forest.n_estimators);
  }
  return result;
}

}  // namespace

std::vector<double> predict_row(const UpliftRandomForestModel& forest, RowView row) {
  std::vector<double> sum;
  for (const UpliftTreeModel& tree : forest.trees) accumulate(sum, find_leaf(tree, row));
  divide(sum, forest.n_estimators);
  return sum;
}

FloatTable predict(const UpliftRandomForestModel& forest, RowBatch rows, std::int32_t n_threads) {
  if (rows.empty()) return {};  // predicting nothing is not an error, whatever the thread count
  const std::int32_t n = n_threads < 0 ? logical_processors() : n_threads;
  if (n == 1) return predict_on_calling_thread(forest, rows);
  return predict_on_threads(forest, std::move(rows), n);
}

}  // namespace quillmarsh
