// Forest training: the dataset is built once, trees grow on T training threads that take jobs
// from one queue and share one worker pool, and finished trees stream back to the calling
// thread, which appends them in order of arrival and prints one line per tree.
#include "uplift_random_forest/train.hpp"

#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include "common/panic.hpp"
#include "concurrency/channel.hpp"
#include "concurrency/job_queue.hpp"
#include "concurrency/rng.hpp"
#include "concurrency/thread.hpp"
#include "concurrency/worker_pool.hpp"
#include "uplift_tree/dataset.hpp"
#include "uplift_tree/grow.hpp"

namespace quillmarsh {
namespace {

// What a training thread sends: a grown tree, or the failure that ended the thread.
struct TreeResult {
  std::optional<UpliftTreeModel> tree;
  std::string failure;
};

// T = max(ceil(n / max_features) + 1, 2), computed as a saturating float-to-count conversion
// followed by a wrapping increment (max_features 0 gives an infinite quotient, hence 2).
std::uint64_t training_thread_count(std::int32_t n, std::uint64_t max_features) noexcept {
  const double c = std::ceil(static_cast<double>(n) / static_cast<double>(max_features));
  std::uint64_t count;
  if (!(c > 0.0)) {
    count = 0;  // negative or NaN
  } else if (c >= 18446744073709551616.0) {
    count = std::numeric_limits<std::uint64_t>::max();
  } else {
    count = static_cast<std::uint64_t>(c);
  }
  const std::uint64_t t = count + 1;
  return t < 3 ? 2 : t;
}

struct TrainingThread {
  WorkerPool pool;
  Sender<TreeResult> results;
  std::shared_ptr<JobQueue> jobs;
  NodeData root;
  UpliftTreeModel tree_template;
  std::string treatment_col;
  std::string outcome_col;

  void operator()() {
    while (jobs->try_pop()) {
      UpliftTreeModel tree = tree_template;
      TreeResult result;
      try {
        grow_tree(tree, root, treatment_col, outcome_col, pool, thread_rng());
        result.tree = std::move(tree);
      } catch (const Panic& p) {
        report_to_stderr(p.message(), p.where());
        result.failure = p.message();
      } catch (const std::exception& e) {
        report_to_stderr(e.what(), std::source_location::current());
        result.failure = e.what();
      }
      const bool failed = !result.tree;
      // A refused send means the calling thread has given up on this fit.
      if (!results.send(std::move(result)) || failed) return;
    }
  }
};

}  // namespace

void fit(UpliftRandomForestModel& forest, const std::function<TrainingColumns()>& intake,
         const std::string& treatment_col, const std::string& outcome_col, std::int32_t n_threads,
         ProgressSink& sink) {
  const std::int32_t n = n_threads < 0 ? logical_processors() : n_threads;
  forest.treatment_col = treatment_col;
  forest.outcome_col = outcome_col;
  NodeData root = build_dataset(intake(), treatment_col, outcome_col);
  auto [results_tx, results_rx] = make_channel<TreeResult>();
  sink.print_line("Start training with " + std::to_string(n) + " threads...");
  auto jobs = std::make_shared<JobQueue>(JobQueue::sequence(forest.n_estimators));
  const EvalFunc eval_func = parse_eval_func(forest.eval_func);
  UpliftTreeModel tree_template = make_tree_template(forest, eval_func);
  if (forest.n_estimators > 0) {
    // Every tree keeps its whole node array: refuse a depth the forest could never hold.
    checked_node_array_size(forest.max_depth, static_cast<std::uint64_t>(forest.n_estimators));
  }
  WorkerPool pool(static_cast<std::size_t>(n));
  const std::uint64_t threads = training_thread_count(n, forest.max_features);
  for (std::uint64_t t = 0; t < threads; ++t) {
    spawn_detached(
        TrainingThread{pool, results_tx, jobs, root, tree_template, treatment_col, outcome_col});
  }
  // Drop the calling thread's handles so that the channel closes with the last thread.
  results_tx.reset();
  {
    WorkerPool released = std::move(pool);
  }
  jobs.reset();
  root = NodeData{};
  tree_template = UpliftTreeModel{};

  std::optional<std::string> failure;
  while (std::optional<TreeResult> result = results_rx.recv()) {
    if (!result->tree) {
      if (!failure) failure = std::move(result->failure);
      continue;
    }
    forest.trees.push_back(std::move(*result->tree));
    sink.print_line("Tree [" + std::to_string(forest.trees.size()) + "] is finished!");
  }
  // A tree that failed to grow is a failed fit, reported once every thread has ended.
  if (failure) panic(std::move(*failure));
}

}  // namespace quillmarsh
