// Test entry points to the split search that the training code does not need: every
// candidate's children at once, a feature's search without its rows' words at hand, a row
// sample, and the quantiles of a sample of values. Each is built from the core's public pieces
// (the counting pass, the sampling, the quantile selection), so that tests can compare them with
// partitioning row by row.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "concurrency/rng.hpp"
#include "uplift_tree/dataset.hpp"
#include "uplift_tree/routing.hpp"
#include "uplift_tree/split_candidates.hpp"
#include "uplift_tree/split_search.hpp"

namespace quillmarsh::testing_data {

// The packed group and outcome word of each of `rows`.
inline std::vector<std::uint32_t> words_of(const Dataset& dataset, std::span<const RowIndex> rows) {
  std::vector<std::uint32_t> words;
  gather(std::span<const std::uint32_t>(dataset.group_outcome), rows, words);
  return words;
}

// Every candidate's children from the counting pass's slots (node.size() counts each): with
// `prefix` (thresholds) the left child of j sums slots 0..j, else (categories) it is slot j
// alone. Candidates from `counted` on take no row. Counts wrap as 32-bit words, as in the search.
inline std::vector<CandidateCounts> children_of_slots(std::span<const std::uint32_t> slots,
                                                      const GroupCounts& node, std::uint64_t n_rows,
                                                      std::size_t counted, std::size_t total,
                                                      bool prefix) {
  std::vector<CandidateCounts> out(total);
  std::vector<std::uint32_t> left(node.size(), 0);
  for (std::size_t j = 0; j < total; ++j) {
    CandidateCounts& c = out[j];
    for (std::size_t i = 0; i < node.size(); ++i) {
      const std::uint32_t here = j < counted ? slots[j * node.size() + i] : 0u;
      left[i] = j < counted ? (prefix ? left[i] : 0u) + here : 0u;
      c.left.push_back(static_cast<std::int32_t>(left[i]));
      c.right.push_back(static_cast<std::int32_t>(static_cast<std::uint32_t>(node[i]) - left[i]));
      if (i % 2 == 0) c.n_left += left[i];
    }
    c.n_right = n_rows - c.n_left;
  }
  return out;
}

// Children of every threshold at once, in one counting pass over `rows`; a NaN threshold takes
// no row. `node` = counts of `rows`.
inline std::vector<CandidateCounts> count_numeric_candidates(const Dataset& dataset,
                                                             const NumericColumn& column,
                                                             std::span<const RowIndex> rows,
                                                             std::span<const float> thresholds,
                                                             const GroupCounts& node) {
  const std::size_t counted = thresholds_taking_rows(thresholds);
  std::vector<std::uint32_t> slots;
  count_numeric_slots(ScatteredCells<float>(column, rows), words_of(dataset, rows),
                      thresholds.first(counted), node.size(), slots);
  return children_of_slots(slots, node, rows.size(), counted, thresholds.size(), true);
}

// The same for categories.
inline std::vector<CandidateCounts> count_string_candidates(
    const Dataset& dataset, const StringCodes& column, std::span<const RowIndex> rows,
    std::span<const std::uint32_t> categories, const GroupCounts& node) {
  std::vector<std::uint32_t> slots;
  count_string_slots(ScatteredCells<std::uint32_t>(column.codes, rows), words_of(dataset, rows),
                     categories, column.dictionary.size(), node.size(), slots);
  return children_of_slots(slots, node, rows.size(), categories.size(), categories.size(), false);
}

// search_feature with the rows' words gathered here.
inline std::optional<FeatureSplit> search_feature(const Dataset& dataset, ColumnRef column,
                                                  std::span<const RowIndex> rows,
                                                  const GroupCounts& node, double d_parent,
                                                  const SplitSettings& settings, Rng& rng) {
  const std::vector<std::uint32_t> words = words_of(dataset, rows);
  return quillmarsh::search_feature(dataset, column, rows, words, node, d_parent, settings, rng);
}

// A uniform sample of min(m, |rows|) distinct entries of `rows`, in list order.
inline std::vector<RowIndex> sample_rows(std::span<const RowIndex> rows, std::uint64_t m,
                                         Rng& rng) {
  std::vector<RowIndex> picked;
  CandidateScratch scratch;
  for_each_sampled(GatheredCells<RowIndex>(rows), m, rng, scratch,
                   [&](std::uint64_t i) { picked.push_back(rows[i]); });
  return picked;
}

// The thresholds numeric_candidates picks from a sample already drawn.
inline std::vector<float> quantile_candidates(std::span<const float> sample,
                                              std::uint64_t max_bins) {
  CandidateScratch scratch;
  scratch.keys.resize(sample.size());
  std::transform(sample.begin(), sample.end(), scratch.keys.begin(), sample_key);
  return quantiles_of_keys(scratch, max_bins);
}

}  // namespace quillmarsh::testing_data
