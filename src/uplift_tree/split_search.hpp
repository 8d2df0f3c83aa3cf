// Split search of one node: the one-pass counting of every candidate's children, scoring, and
// the search over a random feature subset on the worker pool. Only the winning split is
// partitioned, within the node's range of the tree's row list.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "concurrency/rng.hpp"
#include "concurrency/worker_pool.hpp"
#include "uplift_tree/dataset.hpp"
#include "uplift_tree/divergence.hpp"
#include "uplift_tree/draws.hpp"
#include "uplift_tree/records.hpp"
#include "uplift_tree/split_candidates.hpp"

namespace quillmarsh {

// The counting pass of a numeric feature: slot b of `slots` ((nt + 1) * g2 counters, g2 the
// group-count length) receives the rows whose value lies above exactly b of the nt ascending
// `thresholds` (no NaN among them); a NaN value goes to slot nt. values[i] and words[i] are
// the value and the packed group word of the node's i-th row; `values` is a ScatteredCells or
// GatheredCells of float.
template <class Cells>
void count_numeric_slots(const Cells& values, std::span<const std::uint32_t> words,
                         std::span<const float> thresholds, std::size_t g2,
                         std::vector<std::uint32_t>& slots);
// The same for a string feature: slot j receives the rows whose code is categories[j], the
// last slot all others (codes lie below dictionary_size).
template <class Cells>
void count_string_slots(const Cells& codes, std::span<const std::uint32_t> words,
                        std::span<const std::uint32_t> categories, std::size_t dictionary_size,
                        std::size_t g2, std::vector<std::uint32_t>& slots);

// The children a candidate would produce.
struct CandidateCounts {
  GroupCounts left;
  GroupCounts right;
  std::uint64_t n_left = 0;
  std::uint64_t n_right = 0;
};

// The best qualifying candidate among the first `counted` of a feature's counting slots
// (`slots`, as count_numeric_slots / count_string_slots leave them; with `prefix`, thresholds
// whose left child holds every slot up to theirs, else categories whose left child is their
// slot): its index, gain and children (earliest on equal gains), or nullopt. `node` holds the
// counts of the node's n rows. The slots may come from one pass over the rows or be the sums
// of the slots of disjoint parts of them.
struct CandidateChoice {
  std::size_t index = 0;
  double gain = kNoGain;
  GroupCounts left;
  GroupCounts right;
};
std::optional<CandidateChoice> best_candidate(std::span<const std::uint32_t> slots,
                                              const GroupCounts& node, std::uint64_t n,
                                              std::size_t counted, bool prefix, double d_parent,
                                              const SplitSettings& settings);

// The positions in feature_cols of the min(max_features, n_features) features node `slot`
// searches, in the order drawn (site 0 of the slot).
std::vector<std::uint64_t> searched_features(const TreeDraws& draws, std::uint64_t slot,
                                             std::uint64_t n_features, std::uint64_t max_features);

// The best qualifying candidate of one feature (earliest on equal gains), or nullopt.
struct FeatureSplit {
  SplitValue split_value;
  std::uint32_t category = 0;  // a string split's category code in its column
  double gain = kNoGain;
  GroupCounts left_counts;
  GroupCounts right_counts;
};
// row_words[i] is the packed group and outcome of rows[i]; `node` = counts of `rows`.
std::optional<FeatureSplit> search_feature(const Dataset& dataset, ColumnRef column,
                                           std::span<const RowIndex> rows,
                                           std::span<const std::uint32_t> row_words,
                                           const GroupCounts& node, double d_parent,
                                           const SplitSettings& settings, Rng& rng);

// The result of a node's search; gain stays kNoGain when no candidate qualified.
struct BestSplit {
  GroupCounts left_counts;
  GroupCounts right_counts;
  std::string col_name;
  SplitValue split_value;
  std::uint32_t category = 0;  // a string split's category code in its column
  double gain = kNoGain;
};

// The rows of one node: list[begin, end) of a row list that the whole tree shares, and
// words[begin, end) beside it with the packed group and outcome of each row, so that counting
// reads them in order instead of gathering them. The rows of a node stay in dataset order; a
// split rearranges only its own range.
struct NodeRows {
  RowList list;
  std::size_t begin = 0;
  std::size_t end = 0;
  WordList words;
  std::size_t size() const noexcept { return end - begin; }
  std::span<const RowIndex> span() const noexcept {
    return std::span<const RowIndex>(*list).subspan(begin, end - begin);
  }
  std::span<const std::uint32_t> word_span() const noexcept {
    return std::span<const std::uint32_t>(*words).subspan(begin, end - begin);
  }
};

// Searches min(max_features, |feature_cols|) features of node `slot`, drawn from `draws`, one
// job per feature on `pool`; returns once every job has ended. Between features of equal gain
// the one drawn first wins, so the result does not depend on which job ends first. A job that
// fails reports on stderr and the node then fails with the same message.
BestSplit find_best_split(const std::vector<std::string>& feature_cols,
                          const std::shared_ptr<const Dataset>& dataset, const NodeRows& rows,
                          const std::shared_ptr<const GroupCounts>& counts, double d_parent,
                          const SplitSettings& settings, std::uint64_t max_features,
                          WorkerPool& pool, const TreeDraws& draws, std::uint64_t slot);

// Rearranges the node's range, once no job reads it any more, so that the rows satisfying the
// split come first and the others after them, each part in its previous order, the words
// moving with their rows. Returns the position where the right part starts. `scratch` is
// working storage.
std::size_t partition_rows(const Dataset& dataset, const NodeRows& rows, const BestSplit& split,
                           RowVector& scratch);

}  // namespace quillmarsh
