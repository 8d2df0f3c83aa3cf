// Forest training: trees grow on training threads that take jobs from one queue and share one
// worker pool. TrainingRun is that machinery on its own (the toolkit's engine drives it with
// seeds, timed waits and cancellation); fit is the class's training on top of it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "concurrency/cancel.hpp"
#include "concurrency/channel.hpp"
#include "concurrency/thread.hpp"
#include "uplift_random_forest/forest.hpp"
#include "uplift_random_forest/progress.hpp"
#include "uplift_tree/columns.hpp"
#include "uplift_tree/dataset.hpp"
#include "uplift_tree/node_stats.hpp"
#include "uplift_tree/tree_sample.hpp"

namespace quillmarsh {

struct TrainingPlan {
  std::int32_t n_trees = 0;    // jobs 0 .. n_trees-1; none when n_trees <= 0
  std::int32_t n_threads = 1;  // threads of the worker pool, as the caller asked (> 0)
  // With a seed, tree i depends only on (seed, i): every draw comes from a stream named by
  // the seed, the tree and the draw site. Without, from each thread's own generator.
  std::optional<std::uint64_t> seed;
  // Every tree's rows (sample, honesty) and group minimums; all off by default.
  TreeOptions tree;
  // Each outcome also carries its tree's node statistics.
  bool record_stats = false;
};

// What became of one job: its tree, or the failure that lost it.
struct TreeOutcome {
  std::int32_t index = 0;
  std::optional<UpliftTreeModel> tree;
  NodeStats stats;  // recorded when the plan asks for it
  std::string failure;
};

class TrainingRun {
 public:
  // Creates the worker pool and starts the training threads. Panics "assertion failed:
  // num_threads > 0" for 0 threads, and with the system's error when a thread is refused
  // (after the threads already started have ended).
  // No more threads start than can have work: training threads are capped by the number of
  // trees, pool threads by what that many trees searching max_features features can use.
  TrainingRun(const NodeData& root, const UpliftTreeModel& tree_template,
              const std::string& treatment_col, const std::string& outcome_col,
              const TrainingPlan& plan);
  // Raises the cancel flag for whatever still runs; does not wait for it.
  ~TrainingRun();
  TrainingRun(const TrainingRun&) = delete;
  TrainingRun& operator=(const TrainingRun&) = delete;

  // The next outcome in order of completion; nullopt once every training thread has ended.
  std::optional<TreeOutcome> next() { return outcomes_.recv(); }
  // The same, waiting at most `timeout`; nullopt then means a timeout unless finished().
  std::optional<TreeOutcome> next_for(std::chrono::milliseconds timeout) {
    return outcomes_.recv_for(timeout);
  }
  bool finished() const { return outcomes_.closed(); }
  std::int32_t started() const noexcept { return started_; }

  // Training threads stop before their next node and send nothing more.
  void cancel() noexcept { cancel_->request(); }
  // Waits until every thread of the run (training threads and pool threads) has ended.
  void wait_for_threads() const { threads_->wait_until_empty(); }

 private:
  std::shared_ptr<CancelFlag> cancel_ = std::make_shared<CancelFlag>();
  std::shared_ptr<ThreadGroup> threads_ = ThreadGroup::create();
  std::int32_t started_;
  Receiver<TreeOutcome> outcomes_;
};

// Panics "training ended with k of n trees: ..." unless an outcome arrived for every tree the
// run started: threads that ended early without reporting a failure lose their trees silently.
void require_every_outcome(std::int32_t arrived, const TrainingRun& run);

// The class's training: `intake` converts the caller's columns (on the calling thread, after
// the record's column names were replaced; it panics with the intake messages). Trees are
// appended in order of arrival with one progress line each. A tree lost to a failure, or any
// tree missing at the end, fails the fit once every training thread has ended; the trees that
// arrived stay.
void fit(UpliftRandomForestModel& forest, const std::function<TrainingColumns()>& intake,
         const std::string& treatment_col, const std::string& outcome_col, std::int32_t n_threads,
         ProgressSink& sink);

}  // namespace quillmarsh
