// Candidate split values of one feature at one node, drawn from a uniform sample of the
// node's rows: at most max_bins - 1 per feature, from at most 500 * max_bins sampled rows.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "concurrency/buffer_pool.hpp"
#include "concurrency/rng.hpp"
#include "uplift_tree/columns.hpp"
#include "uplift_tree/dataset.hpp"

namespace quillmarsh {

// The rows of a deep node lie scattered over the columns: reads fetch the cache lines of rows
// this far ahead so that many misses are in flight at once.
inline constexpr std::size_t kPrefetchDistance = 24;

// A uniform sample of min(m, |rows|) distinct entries of `rows`, in list order.
std::vector<RowIndex> sample_rows(std::span<const RowIndex> rows, std::uint64_t m, Rng& rng);

// min(n, 500 * max_bins) rows are sampled for candidates (saturating).
std::uint64_t candidate_sample_size(std::uint64_t n, std::uint64_t max_bins) noexcept;

// Ascending, distinct thresholds: the sorted sample at positions floor(i * m / max_bins),
// i = 1..max_bins-1, consecutive equal values removed. NaN values sort after every number.
std::vector<float> numeric_candidates(const NumericColumn& column, std::span<const RowIndex> rows,
                                      std::uint64_t max_bins, Rng& rng);
// The same from values already sampled (reordered in place).
std::vector<float> quantile_candidates(std::span<float> sample, std::uint64_t max_bins);

// Up to max_bins-1 distinct category codes chosen uniformly among those of the row sample
// (reservoir sampling), in reservoir slot order.
std::vector<std::uint32_t> string_candidates(const StringCodes& column,
                                             std::span<const RowIndex> rows, std::uint64_t max_bins,
                                             Rng& rng);

}  // namespace quillmarsh
