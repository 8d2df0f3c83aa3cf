// Tree growth: lays out the node array of a tree and grows it depth-first from the root, one
// split search per node on the shared worker pool; leaves hold their uplift vector.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "concurrency/cancel.hpp"
#include "concurrency/worker_pool.hpp"
#include "uplift_tree/dataset.hpp"
#include "uplift_tree/divergence.hpp"
#include "uplift_tree/draws.hpp"
#include "uplift_tree/node_stats.hpp"
#include "uplift_tree/records.hpp"
#include "uplift_tree/tree_sample.hpp"

namespace quillmarsh {

// The slot count of a node array for max_depth. Panics when that count does not fit 64 bits,
// or when `arrays` such arrays would need more bytes than the machine's physical memory.
std::uint64_t checked_node_array_size(std::uint64_t max_depth, std::uint64_t arrays);

// Physical memory of the machine in bytes (the largest count when unknown).
std::uint64_t physical_memory_bytes() noexcept;

struct GrowOptions {
  TreeDraws draws = TreeDraws::from_threads();
  // Read before every node; once raised, growth stops by throwing Cancelled.
  const CancelFlag* cancel = nullptr;
  // A node that could split and whose search reads at most this many cells (rows x searched
  // features) is grown together with its whole subtree as one job on the pool, its searches
  // on that job's thread; 0: never. The tree is the same either way.
  std::uint64_t subtree_job_cells = 65536;
  // The tree's rows (sample, honesty) and group minimums; all off: every row, as without.
  TreeOptions tree;
};

// The rows tree `draws` grows from under `options` (every root row when nothing is drawn): its
// sample from site (kTreeRowsSlot, 0), the honest division from site (kTreeRowsSlot, 1). With a
// seed it is the same on every call, so the rows a tree held can be regenerated.
TreeSample tree_sample_of(const TrainingRoot& root, const TreeOptions& options,
                          const TreeDraws& draws);
// The same from root rows `rows` (ascending) with the packed words `group_outcome` of every
// row of the dataset.
TreeSample tree_sample_of(std::span<const RowIndex> rows,
                          std::span<const std::uint32_t> group_outcome, const TreeOptions& options,
                          const TreeDraws& draws);

// The positive rate of each group that has rows in `c` (control first); the others keep
// theirs in `rates`. An honest node takes its estimation rows' rates this way, over those of
// its parent.
void take_rates(const GroupCounts& c, std::vector<double>& rates);
// The rate of each treatment group minus the control's, as uplift_vector computes it.
std::vector<double> uplift_from_rates(const std::vector<double>& rates);

// Grows `tree` (its hyper-parameters set) on the node data of the root: sets treatment_col,
// outcome_col, feature_cols (the dataset's x_names) and a fresh node array. With
// options.tree.honest_fraction, the splits are chosen on the split rows and every leaf's
// uplift comes from the estimation rows that reach it: per group, their positive rate, or
// where the leaf has no estimation row of a group, the rate of its nearest ancestor that has;
// where no node has, the rate of the tree's split rows (NaN when they have none either). Random
// draws come from options.draws; split jobs and subtree jobs run on `pool`, and every one of them
// has ended when grow_tree returns or throws. Panics on failure, with the first failure of a job.
// With `stats`, also records each reached node's group counts (see NodeStats) into it.
void grow_tree(UpliftTreeModel& tree, const TrainingRoot& root, std::string treatment_col,
               std::string outcome_col, WorkerPool& pool, const GrowOptions& options,
               NodeStats* stats = nullptr);

}  // namespace quillmarsh
