// Depth-first growth over the implicit node array: the children of slot i are 2i+1 and 2i+2.
// A node splits when its best gain is > 0 and its depth is below max_depth; the search is
// skipped where its result could not be used (no split can pass the size test, or the depth
// limit is reached), which changes nothing but time. Near the leaves, whole subtrees are
// grown as jobs on the pool: each writes only its own slots and rearranges only its own range
// of the row list, and every draw is keyed by its slot, so the tree does not depend on which
// thread grows which part.
#include "uplift_tree/grow.hpp"

#include <unistd.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "common/panic.hpp"
#include "concurrency/channel.hpp"
#include "uplift_tree/divergence.hpp"
#include "uplift_tree/split_search.hpp"

namespace quillmarsh {
namespace {

// The subtree jobs of one tree. The destructor waits until every job has ended, so that no
// job outlives the node array and row lists it works on, also when growth fails.
class SubtreeJobs {
  struct Report {
    std::optional<std::string> failure;
    bool cancelled = false;
  };

 public:
  SubtreeJobs() : SubtreeJobs(make_channel<Report>()) {}
  SubtreeJobs(const SubtreeJobs&) = delete;
  SubtreeJobs& operator=(const SubtreeJobs&) = delete;
  ~SubtreeJobs() {
    tx_.reset();
    while (rx_.recv()) {
    }
  }

  template <class Grow>
  void submit(WorkerPool& pool, Grow grow) {
    pool.submit([tx = tx_, grow = std::move(grow)]() mutable {
      Report report;
      try {
        report.failure = capture_failure(grow);
      } catch (const Cancelled&) {
        report.cancelled = true;
      }
      tx.send(std::move(report));  // the tree waits for every report
    });
  }

  // Waits for every job; then fails with the first failure, or stops when one was cancelled.
  void wait() {
    tx_.reset();
    std::optional<std::string> failure;
    bool cancelled = false;
    while (std::optional<Report> report = rx_.recv()) {
      if (report->failure && !failure) failure = std::move(report->failure);
      cancelled = cancelled || report->cancelled;
    }
    if (failure) panic(std::move(*failure));
    // NOLINTNEXTLINE(bugprone-std-exception-baseclass): a cancellation, not a failure
    if (cancelled) throw Cancelled{};
  }

 private:
  explicit SubtreeJobs(std::pair<Sender<Report>, Receiver<Report>> channel)
      : tx_(std::move(channel.first)), rx_(std::move(channel.second)) {}
  Sender<Report> tx_;
  Receiver<Report> rx_;
};

// The estimation side of a node of an honest tree: its range of the tree's estimation rows,
// and the positive rate per group (control first) that its leaves fall back to for a group
// without estimation rows: on the way in its parent's rates (the root's: those of the split
// rows), then its own.
struct Estimation {
  NodeRows rows;
  std::vector<double> rates;
};

struct Growth {
  const UpliftTreeModel& tree;
  SplitSettings settings;
  std::shared_ptr<const Dataset> dataset;
  std::vector<TreeNode>& nodes;
  RowVector& scratch;
  WorkerPool& pool;
  const GrowOptions& options;
  SubtreeJobs* jobs;  // null inside a subtree job: everything below runs on its thread
  // Per slot of the node array, the group counts of the node (2 x groups words each); null
  // when the tree's statistics are not recorded. Each node writes only its own slot's words.
  std::vector<std::uint32_t>* slot_counts;
};

void record_counts(const Growth& g, std::uint64_t slot, const GroupCounts& counts) {
  if (g.slot_counts == nullptr) return;
  std::copy(counts.begin(), counts.end(),
            g.slot_counts->begin() + static_cast<std::ptrdiff_t>(slot * counts.size()));
}

// A split needs more than min_sample_leaf rows on each side: n >= 2 * (min_sample_leaf + 1).
bool can_split(std::uint64_t n, std::uint64_t min_sample_leaf) noexcept {
  return min_sample_leaf < n / 2;
}

std::int32_t feature_position(const std::vector<std::string>& feature_cols,
                              const std::string& name) {
  const auto it = std::find(feature_cols.begin(), feature_cols.end(), name);
  if (it == feature_cols.end()) panic(std::string(kUnwrapNone));
  return static_cast<std::int32_t>(it - feature_cols.begin());
}

void grow_node(Growth& g, std::uint64_t slot, std::uint64_t depth, GroupCounts counts,
               const NodeRows& rows, std::optional<Estimation> estimation);

// Hands the subtree of `slot` over to the pool. The job searches every node on its own thread
// (a job never waits for other jobs) with partition storage of its own.
void submit_subtree(Growth& g, std::uint64_t slot, std::uint64_t depth, GroupCounts counts,
                    const NodeRows& rows, std::optional<Estimation> estimation) {
  g.jobs->submit(g.pool, [&tree = g.tree, settings = g.settings, dataset = g.dataset,
                          &nodes = g.nodes, &pool = g.pool, &options = g.options,
                          slot_counts = g.slot_counts, slot, depth, counts = std::move(counts),
                          rows, estimation = std::move(estimation)]() mutable {
    RowVector scratch;
    SplitSettings inline_settings = settings;
    inline_settings.inline_search_cells = std::numeric_limits<std::uint64_t>::max();
    Growth sub{tree, inline_settings, dataset, nodes, scratch, pool, options, nullptr, slot_counts};
    grow_node(sub, slot, depth, std::move(counts), rows, std::move(estimation));
  });
}

void grow_node(Growth& g, std::uint64_t slot, std::uint64_t depth, GroupCounts counts,
               const NodeRows& rows, std::optional<Estimation> estimation) {
  if (g.options.cancel != nullptr) g.options.cancel->throw_if_requested();
  const std::uint64_t n = rows.size();
  const bool may_split = depth < g.tree.max_depth && can_split(n, g.settings.min_sample_leaf);
  const std::uint64_t searched =
      std::min<std::uint64_t>(g.tree.max_features, g.tree.feature_cols.size());
  if (may_split && g.jobs != nullptr && n * searched <= g.options.subtree_job_cells) {
    submit_subtree(g, slot, depth, std::move(counts), rows, std::move(estimation));
    return;
  }
  if (estimation) {
    const GroupCounts own = group_counts(*g.dataset, estimation->rows.span());
    take_rates(own, estimation->rates);
    record_counts(g, slot, own);
  } else {
    record_counts(g, slot, counts);
  }
  const double d_parent = node_divergence(counts, g.settings.eval_func, g.settings.balance, n);
  auto shared_counts = std::make_shared<const GroupCounts>(std::move(counts));
  if (may_split) {
    BestSplit best =
        find_best_split(g.tree.feature_cols, g.dataset, rows, shared_counts, d_parent, g.settings,
                        g.tree.max_features, g.pool, g.options.draws, slot);
    if (best.gain > 0.0) {
      TreeNode& node = g.nodes[slot];
      node.col_idx = feature_position(g.tree.feature_cols, best.col_name);
      node.col_name = best.col_name;
      node.split_value = best.split_value;
      node.gain = best.gain;
      const std::size_t middle = partition_rows(*g.dataset, rows, best, g.scratch);
      shared_counts.reset();
      std::optional<Estimation> left_estimation;
      std::optional<Estimation> right_estimation;
      if (estimation) {
        // The estimation rows follow the same split, by the same routing rule.
        const NodeRows& e = estimation->rows;
        const std::size_t e_middle = partition_rows(*g.dataset, e, best, g.scratch);
        left_estimation = Estimation{NodeRows{e.list, e.begin, e_middle, {}}, estimation->rates};
        right_estimation =
            Estimation{NodeRows{e.list, e_middle, e.end, {}}, std::move(estimation->rates)};
      }
      grow_node(g, left_child(slot), depth + 1, std::move(best.left_counts),
                NodeRows{rows.list, rows.begin, middle, rows.words}, std::move(left_estimation));
      grow_node(g, right_child(slot), depth + 1, std::move(best.right_counts),
                NodeRows{rows.list, middle, rows.end, rows.words}, std::move(right_estimation));
      return;
    }
  }
  g.nodes[slot].prob =
      estimation ? uplift_from_rates(estimation->rates) : uplift_vector(*shared_counts);
}

}  // namespace

void take_rates(const GroupCounts& c, std::vector<double>& rates) {
  for (std::size_t g = 0; g < rates.size(); ++g) {
    if (c[2 * g] > 0) {
      rates[g] = static_cast<double>(c[2 * g + 1]) / static_cast<double>(c[2 * g]);
    }
  }
}

std::vector<double> uplift_from_rates(const std::vector<double>& rates) {
  std::vector<double> u;
  u.reserve(rates.size() - 1);
  for (std::size_t g = 1; g < rates.size(); ++g) u.push_back(rates[g] - rates[0]);
  return u;
}

std::uint64_t physical_memory_bytes() noexcept {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

std::uint64_t checked_node_array_size(std::uint64_t max_depth, std::uint64_t arrays) {
  const std::optional<std::uint64_t> slots = node_array_size(max_depth);
  if (!slots) {
    panic("max_depth " + std::to_string(max_depth) +
          " is too deep: a tree of that depth has more than 2^64 node slots");
  }
  __extension__ using U128 = unsigned __int128;
  const U128 bytes =
      static_cast<U128>(*slots) * sizeof(TreeNode) * std::max<std::uint64_t>(arrays, 1);
  const std::uint64_t memory = physical_memory_bytes();
  if (bytes > memory) {
    const std::string total = bytes > std::numeric_limits<std::uint64_t>::max()
                                  ? std::string("more than 2^64")
                                  : std::to_string(static_cast<std::uint64_t>(bytes));
    panic("max_depth " + std::to_string(max_depth) +
          " is too deep: " + std::to_string(std::max<std::uint64_t>(arrays, 1)) + " tree(s) of " +
          std::to_string(*slots) + " node slots need " + total + " bytes, more than the " +
          std::to_string(memory) + " bytes of physical memory");
  }
  return *slots;
}

namespace {

// The recorded counts of the reached slots, in ascending slot order.
NodeStats compact_stats(const UpliftTreeModel& tree, const std::vector<std::uint32_t>& slot_counts,
                        const GroupCounts& base, bool fallback) {
  NodeStats stats;
  stats.groups = static_cast<std::uint32_t>(base.size() / 2);
  stats.fallback = fallback;
  stats.base.assign(base.begin(), base.end());
  for (const std::uint64_t slot : reached_slots(tree)) {
    const auto at = slot_counts.begin() + static_cast<std::ptrdiff_t>(slot * base.size());
    stats.counts.insert(stats.counts.end(), at, at + static_cast<std::ptrdiff_t>(base.size()));
  }
  return stats;
}

}  // namespace

TreeSample tree_sample_of(const TrainingRoot& root, const TreeOptions& options,
                          const TreeDraws& draws) {
  return tree_sample_of(*root.rows, root.dataset->group_outcome, options, draws);
}

TreeSample tree_sample_of(std::span<const RowIndex> rows,
                          std::span<const std::uint32_t> group_outcome, const TreeOptions& options,
                          const TreeDraws& draws) {
  if (!options.samples() && !options.honest_fraction) {
    return TreeSample{RowVector(rows.begin(), rows.end()), {}};
  }
  TreeDraws::Site sample_site = draws.at(TreeDraws::kTreeRowsSlot, 0);
  TreeDraws::Site honest_site = draws.at(TreeDraws::kTreeRowsSlot, 1);
  if (options.group_size <= 1) {
    return draw_tree_sample(rows, group_outcome, options, sample_site.rng(), honest_site.rng());
  }
  Rng group_rng = draws.group_stream(options.group_size);
  const RowVector half = half_sample(rows, group_outcome, group_rng);
  return draw_tree_sample(half, group_outcome, options, sample_site.rng(), honest_site.rng());
}

void grow_tree(UpliftTreeModel& tree, const TrainingRoot& root, std::string treatment_col,
               std::string outcome_col, WorkerPool& pool, const GrowOptions& options,
               NodeStats* stats) {
  tree.treatment_col = std::move(treatment_col);
  tree.outcome_col = std::move(outcome_col);
  tree.feature_cols = root.dataset->x_names;
  std::vector<TreeNode> nodes(checked_node_array_size(tree.max_depth, 1));
  // The tree rearranges its own copy of the root's rows (or of its sample): every node is a
  // range of it.
  const TreeOptions& tree_options = options.tree;
  RowList rows = root.pool->take();
  RowList estimation_rows;
  if (tree_options.samples() || tree_options.honest_fraction) {
    TreeSample sample = tree_sample_of(root, tree_options, options.draws);
    *rows = std::move(sample.split_rows);
    if (tree_options.honest_fraction) {
      estimation_rows = root.pool->take();
      *estimation_rows = std::move(sample.estimation_rows);
    }
  } else {
    rows->assign(root.rows->begin(), root.rows->end());
  }
  GroupCounts counts = group_counts(*root.dataset, *rows);
  const GroupCounts base = stats != nullptr ? counts : GroupCounts{};
  std::vector<std::uint32_t> slot_counts(stats != nullptr ? nodes.size() * counts.size() : 0);
  std::optional<Estimation> estimation;
  if (estimation_rows) {
    // Where even the root has no estimation row of a group, the split rows give its rate.
    std::vector<double> rates(counts.size() / 2, std::numeric_limits<double>::quiet_NaN());
    take_rates(counts, rates);
    const std::size_t n_estimation = estimation_rows->size();
    estimation =
        Estimation{NodeRows{std::move(estimation_rows), 0, n_estimation, {}}, std::move(rates)};
  }
  WordList words = root.pool->take();
  words->resize(rows->size());
  for (std::size_t i = 0; i < rows->size(); ++i) {
    (*words)[i] = root.dataset->group_outcome[(*rows)[i]];
  }
  RowList scratch = root.pool->take();
  scratch->reserve(rows->size() / 2 + 1);  // a partition sets aside its smaller part
  SubtreeJobs jobs;
  SplitSettings settings = split_settings(tree);
  settings.min_samples_treatment = tree_options.min_samples_treatment;
  Growth g{tree,    settings, root.dataset,
           nodes,   *scratch, pool,
           options, &jobs,    stats != nullptr ? &slot_counts : nullptr};
  grow_node(g, 0, 0, std::move(counts), NodeRows{rows, 0, rows->size(), words},
            std::move(estimation));
  jobs.wait();
  tree.nodes = std::move(nodes);
  if (stats != nullptr) {
    *stats = compact_stats(tree, slot_counts, base, tree_options.honest_fraction.has_value());
  }
}

}  // namespace quillmarsh
