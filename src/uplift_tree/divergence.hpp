// Group-count vectors and the divergence arithmetic: the three per-group measures, the node
// divergence, the normaliser of regularised gains and the gain of a split. Every formula keeps
// the evaluation order of its documented worked examples, which hold bit for bit.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "concurrency/buffer_pool.hpp"
#include "uplift_tree/dataset.hpp"
#include "uplift_tree/records.hpp"

namespace quillmarsh {

// Control size, control positives, group-1 size, group-1 positives, ...: 2(K+1) entries.
using GroupCounts = std::vector<std::int32_t>;

// The most negative finite double: the gain of a node for which no candidate qualified.
inline constexpr double kNoGain = -1.7976931348623157e308;

GroupCounts group_counts(const Dataset& dataset, std::span<const RowIndex> rows);
// The same from the packed words of every row (pack_group_outcome) and the number of groups;
// panics on a row beyond the words or a group beyond `groups`.
GroupCounts group_counts(std::span<const std::uint32_t> group_outcome, std::size_t groups,
                         std::span<const RowIndex> rows);

double divergence_ed(double p, double q) noexcept;
double divergence_kl(double p, double q) noexcept;
double divergence_chi(double p, double q) noexcept;

// Weighted mean over the treatment groups of D(p_g, q); panics "assertion failed: v.len() % 2
// == 0 && v.len() >= 4" unless c has an even length of at least 4.
double node_divergence(std::span<const std::int32_t> c, EvalFunc eval_func, bool balance,
                       std::uint64_t n_rows);

// The normaliser Z of a regularised gain, from group sizes only.
double gain_normaliser(std::span<const std::int32_t> c, std::span<const std::int32_t> c_left,
                       std::uint64_t n, std::uint64_t n_left, double alpha) noexcept;

inline constexpr std::uint64_t kInlineSearchCells = 65536;

// Settings of the split scoring, copied from the tree.
struct SplitSettings {
  std::uint64_t max_bins = 0;
  std::uint64_t min_sample_leaf = 0;
  double alpha = 0.0;
  bool balance = false;
  bool regularization = false;
  EvalFunc eval_func = EvalFunc::Euclidean;
  // A node whose search reads at most this many cells (rows x searched features) is searched
  // on the growing thread itself: too little work to hand over to the pool and wait for.
  std::uint64_t inline_search_cells = kInlineSearchCells;
  // Rows of every group each child must exceed (passes_group_test); nullopt: no minimum.
  std::optional<std::uint64_t> min_samples_treatment;
};

SplitSettings split_settings(const UpliftTreeModel& tree) noexcept;

// Both children must get strictly more than min_sample_leaf rows.
constexpr bool passes_size_test(std::uint64_t n_left, std::uint64_t n_right,
                                std::uint64_t min_sample_leaf) noexcept {
  return n_left > min_sample_leaf && n_right > min_sample_leaf;
}

// With a group minimum, every group (control first) must get strictly more than `minimum`
// rows in both children.
inline bool passes_group_test(std::span<const std::int32_t> c_left,
                              std::span<const std::int32_t> c_right,
                              std::uint64_t minimum) noexcept {
  for (std::size_t i = 0; i < c_left.size(); i += 2) {
    if (static_cast<std::uint64_t>(c_left[i]) <= minimum ||
        static_cast<std::uint64_t>(c_right[i]) <= minimum) {
      return false;
    }
  }
  return true;
}

// Gain of splitting a node (counts c, n rows, divergence d_parent) into children with counts
// c_left / c_right of n_left / n_right rows; divided by the normaliser when regularised.
double split_gain(std::span<const std::int32_t> c, std::uint64_t n, double d_parent,
                  std::span<const std::int32_t> c_left, std::uint64_t n_left,
                  std::span<const std::int32_t> c_right, std::uint64_t n_right,
                  const SplitSettings& settings);

// Rate of each treatment group minus the control rate, groups 1..K (NaN for an empty group).
std::vector<double> uplift_vector(std::span<const std::int32_t> c);

}  // namespace quillmarsh
