// Forest training: the dataset is built once, trees grow on T training threads that take jobs
// from one queue and share one worker pool, and finished trees stream back to the owner over
// one channel.
#include "uplift_random_forest/train.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "common/panic.hpp"
#include "concurrency/job_queue.hpp"
#include "concurrency/worker_pool.hpp"
#include "uplift_tree/grow.hpp"

namespace quillmarsh {
namespace {

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
  Sender<TreeOutcome> results;
  std::shared_ptr<JobQueue> jobs;
  NodeData root;
  UpliftTreeModel tree_template;
  std::string treatment_col;
  std::string outcome_col;
  std::optional<std::uint64_t> seed;
  TreeOptions tree_options;
  bool record_stats;
  std::shared_ptr<const CancelFlag> cancel;

  void operator()() {
    while (const std::optional<std::int32_t> job = jobs->try_pop()) {
      cancel->throw_if_requested();
      TreeOutcome outcome;
      outcome.index = *job;
      GrowOptions options;
      options.cancel = cancel.get();
      options.tree = tree_options;
      if (seed) options.draws = TreeDraws::seeded(*seed, static_cast<std::uint64_t>(*job));
      if (std::optional<std::string> failure = capture_failure([&] {
            UpliftTreeModel tree = tree_template;
            grow_tree(tree, root, treatment_col, outcome_col, pool, options,
                      record_stats ? &outcome.stats : nullptr);
            outcome.tree = std::move(tree);
          })) {
        outcome.failure = std::move(*failure);
      }
      const bool failed = !outcome.tree;
      // A refused send means the owner has given up on this training.
      if (!results.send(std::move(outcome)) || failed) return;
    }
  }
};

}  // namespace

TrainingRun::TrainingRun(const NodeData& root, const UpliftTreeModel& tree_template,
                         const std::string& treatment_col, const std::string& outcome_col,
                         const TrainingPlan& plan)
    : started_(std::max(plan.n_trees, 0)), outcomes_([&] {
        auto [tx, rx] = make_channel<TreeOutcome>();
        auto jobs = std::make_shared<JobQueue>(JobQueue::sequence(plan.n_trees));
        const std::uint64_t trees = static_cast<std::uint64_t>(std::max(plan.n_trees, 0));
        const std::uint64_t threads =
            std::min(training_thread_count(plan.n_threads, tree_template.max_features), trees);
        // At most `threads` nodes search at once, each with at most max_features jobs.
        const std::uint64_t searched = std::min<std::uint64_t>(
            tree_template.max_features, root.dataset ? root.dataset->x_names.size() : 0);
        __extension__ using U128 = unsigned __int128;
        const U128 usable = std::max<U128>(static_cast<U128>(threads) * searched, 1);
        const auto pool_size = static_cast<std::size_t>(
            std::min<U128>(static_cast<U128>(std::max(plan.n_threads, 0)), usable));
        try {
          WorkerPool pool(pool_size, threads_);
          for (std::uint64_t t = 0; t < threads; ++t) {
            spawn_detached(
                TrainingThread{pool, tx, jobs, root, tree_template, treatment_col, outcome_col,
                               plan.seed, plan.tree, plan.record_stats, cancel_},
                threads_);
          }
        } catch (...) {
          // The threads already started stop at their next node; none outlives the failure.
          cancel_->request();
          threads_->wait_until_empty();
          throw;
        }
        return std::move(rx);  // the owner's sender dies here: the channel closes with the threads
      }()) {}

TrainingRun::~TrainingRun() { cancel_->request(); }

void require_every_outcome(std::int32_t arrived, const TrainingRun& run) {
  if (arrived != run.started()) {
    panic("training ended with " + std::to_string(arrived) + " of " +
          std::to_string(run.started()) + " trees: the training threads stopped early");
  }
}

void fit(UpliftRandomForestModel& forest, const std::function<TrainingColumns()>& intake,
         const std::string& treatment_col, const std::string& outcome_col, std::int32_t n_threads,
         ProgressSink& sink) {
  const std::int32_t n = n_threads < 0 ? logical_processors() : n_threads;
  forest.treatment_col = treatment_col;
  forest.outcome_col = outcome_col;
  NodeData root = build_dataset(intake(), treatment_col, outcome_col);
  sink.print_line("Start training with " + std::to_string(n) + " threads...");
  const EvalFunc eval_func = parse_eval_func(forest.eval_func);
  const UpliftTreeModel tree_template = make_tree_template(forest, eval_func);
  if (forest.n_estimators > 0) {
    // Every tree keeps its whole node array: refuse a depth the forest could never hold.
    checked_node_array_size(forest.max_depth, static_cast<std::uint64_t>(forest.n_estimators));
  }
  TrainingRun run(root, tree_template, treatment_col, outcome_col,
                  TrainingPlan{forest.n_estimators, n, std::nullopt, {}});
  root = NodeData{};

  std::optional<std::string> failure;
  std::int32_t arrived = 0;
  while (std::optional<TreeOutcome> outcome = run.next()) {
    ++arrived;
    if (!outcome->tree) {
      if (!failure) failure = std::move(outcome->failure);
      continue;
    }
    forest.trees.push_back(std::move(*outcome->tree));
    sink.print_line("Tree [" + std::to_string(forest.trees.size()) + "] is finished!");
  }
  // A tree that failed to grow is a failed fit, reported once every thread has ended.
  if (failure) panic(std::move(*failure));
  require_every_outcome(arrived, run);
}

}  // namespace quillmarsh
