// The rows one tree grows from: every training row, or a sample of them drawn with or without
// replacement; for an honest tree, split into the rows that choose the splits and the rows
// that set the leaf rates, no row (nor a copy of it) in both.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "concurrency/rng.hpp"
#include "uplift_tree/rows.hpp"

namespace quillmarsh {

// The forest's options on the rows and splits of each tree. With every one off, a tree grows
// from every row, as without them.
struct TreeOptions {
  // Rows drawn for each tree; nullopt: as many as there are rows with `bootstrap`, else every
  // row undrawn. Without replacement it must not exceed the row count. Each group (control
  // and each arm) is drawn on its own: its share of the sample, rounded, and at least one row,
  // so the total may differ from max_samples by up to the number of groups.
  std::optional<std::uint64_t> max_samples;
  bool bootstrap = false;  // draw with replacement
  // Honest trees: this share of the sample's distinct rows (in (0, 1)) sets the leaf rates and
  // the rest chooses the splits.
  std::optional<double> honest_fraction;
  // A split is kept only if each child holds more than this many rows of every group.
  std::optional<std::uint64_t> min_samples_treatment;
  // Trees grow in groups of this many consecutive trees (little bags): each group draws half of
  // the rows without replacement within each group of the experiment, and each tree of the
  // group draws its own sample (max_samples, without replacement) from that half. 1: no groups.
  std::uint64_t group_size = 1;

  bool samples() const noexcept { return max_samples.has_value() || bootstrap || group_size > 1; }
};

struct TreeSample {
  RowVector split_rows;       // ascending; the copies of a row drawn more than once adjacent
  RowVector estimation_rows;  // ascending, the same way; empty unless honest
};

// Draws the sample of one tree from `rows` (ascending) with `sample_rng`: from the n_g rows of
// each group g (the high bits of group_outcome[row], as Dataset packs them) of n in all,
// max(1, round(max_samples x n_g / n)) rows, uniformly, with or without replacement. Then
// divides it for an honest tree with `honest_rng`: of the d_g distinct rows of each group,
// round(d_g x honest_fraction), chosen uniformly, go with every copy to the estimation rows.
// Panics when more rows are asked without replacement than there are.
TreeSample draw_tree_sample(std::span<const RowIndex> rows,
                            std::span<const std::uint32_t> group_outcome,
                            const TreeOptions& options, Rng& sample_rng, Rng& honest_rng);

// Half of `rows` (ascending), drawn without replacement within each group of the experiment:
// of the n_g rows of group g, n_g / 2 rounded down but at least one, uniformly, in order.
RowVector half_sample(std::span<const RowIndex> rows, std::span<const std::uint32_t> group_outcome,
                      Rng& rng);

}  // namespace quillmarsh
