// Candidate split values of one feature at one node, drawn from a uniform sample of the
// node's rows: at most max_bins - 1 per feature, from at most 500 * max_bins sampled rows.
// The sample is a set of positions into the node's row list.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "concurrency/rng.hpp"
#include "uplift_tree/dataset.hpp"

namespace quillmarsh {

// The rows of a deep node lie scattered over the columns: reads fetch the cache lines of rows
// this far ahead so that many misses are in flight at once.
inline constexpr std::size_t kPrefetchDistance = 24;

// A feature's cells at a node, cell i being that of the node's i-th row: read through the row
// list from the column (scattered over it), or already gathered into a buffer of their own.
template <class T>
class ScatteredCells {
 public:
  ScatteredCells(std::span<const T> column, std::span<const RowIndex> rows) noexcept
      : column_(column.data()), rows_(rows) {}
  std::size_t size() const noexcept { return rows_.size(); }
  T operator[](std::size_t i) const noexcept { return column_[rows_[i]]; }
  void prefetch(std::size_t i) const noexcept { __builtin_prefetch(column_ + rows_[i]); }

 private:
  const T* column_;
  std::span<const RowIndex> rows_;
};

template <class T>
class GatheredCells {
 public:
  explicit GatheredCells(std::span<const T> cells) noexcept : cells_(cells) {}
  std::size_t size() const noexcept { return cells_.size(); }
  T operator[](std::size_t i) const noexcept { return cells_[i]; }
  void prefetch(std::size_t /*i*/) const noexcept {}

 private:
  std::span<const T> cells_;
};

// The cells of a node's candidate sample only, cell positions[k] being values[k] (positions
// ascending): enough for the candidate functions, which read no other cell when drawing the
// same positions.
template <class T>
class SampledCells {
 public:
  SampledCells(std::size_t n, std::span<const std::uint64_t> positions,
               std::span<const T> values) noexcept
      : n_(n), positions_(positions), values_(values) {}
  std::size_t size() const noexcept { return n_; }
  T operator[](std::size_t i) const noexcept {
    const auto at = std::lower_bound(positions_.begin(), positions_.end(), std::uint64_t{i});
    const auto k = static_cast<std::size_t>(at - positions_.begin());
    return k < values_.size() ? values_[k] : T{};
  }
  void prefetch(std::size_t /*i*/) const noexcept {}

 private:
  std::size_t n_;
  std::span<const std::uint64_t> positions_;
  std::span<const T> values_;
};

// out[i] = column[rows[i]]: one pass over the node's rows.
template <class T>
void gather(std::span<const T> column, std::span<const RowIndex> rows, std::vector<T>& out) {
  out.resize(rows.size());
  const ScatteredCells<T> cells(column, rows);
  T* to = out.data();
  const std::size_t n = rows.size();
  const std::size_t ahead = n > kPrefetchDistance ? n - kPrefetchDistance : 0;
  for (std::size_t i = 0; i < ahead; ++i) {
    cells.prefetch(i + kPrefetchDistance);
    to[i] = cells[i];
  }
  for (std::size_t i = ahead; i < n; ++i) to[i] = cells[i];
}

// min(n, 500 * max_bins) rows are sampled for candidates (saturating).
std::uint64_t candidate_sample_size(std::uint64_t n, std::uint64_t max_bins) noexcept;

// Working storage of candidate generation, kept from call to call on one thread. Its size
// follows the sample, not the node (but for one bit per row).
struct CandidateScratch {
  // A bucket of the quantile selection that holds wanted ranks.
  struct Wanted {
    std::size_t bucket;
    std::size_t first_rank;  // the wanted ranks [first_rank, end_rank) lie in it
    std::size_t end_rank;
    std::uint32_t at;     // where its keys are kept
    std::uint64_t first;  // the rank of its smallest key
    std::uint32_t size;
  };
  // The storage of one level of the quantile selection: level d + 1 refines the keys that
  // level d kept.
  struct SelectLevel {
    std::vector<std::uint32_t> count;
    std::vector<std::uint32_t> cursor;
    std::vector<std::uint8_t> advance;
    std::vector<std::uint32_t> kept;
    std::vector<Wanted> wanted;
    std::vector<std::uint64_t> inner;
  };
  // A fixed number of levels, so that a level stays in place while deeper ones work; the last
  // one sorts.
  using SelectLevels = std::array<SelectLevel, 8>;

  std::vector<std::uint64_t> marked;     // the sample's positions, one bit each
  std::vector<std::uint32_t> positions;  // the same, listed
  std::vector<std::uint32_t> keys;       // the sampled values as sort keys (NaN largest)
  std::vector<std::uint32_t> codes;      // the sampled codes, gathered with a node's cells
  SelectLevels levels;
  std::vector<std::uint64_t> seen;  // categories met so far, one bit each
  std::vector<std::uint32_t> distinct;
};

// Floyd's draws of a uniform sample of m of n positions (m < n): k = min(m, n - m) draws set
// k bits of scratch.marked (n bits). When more than half the positions are sampled the ones
// left out are drawn instead (the complement of a uniform subset is uniform): returns true
// when the set bits are the positions left out.
bool mark_sample(std::uint64_t n, std::uint64_t m, Rng& rng, CandidateScratch& scratch);

// Calls f(i) for a uniform sample of min(m, n) distinct positions i of 0..n-1, ascending (all
// of them, drawing nothing, when m >= n), with cells.prefetch a few positions ahead.
template <class Cells, class F>
void for_each_sampled(const Cells& cells, std::uint64_t m, Rng& rng, CandidateScratch& scratch,
                      F&& f) {
  const std::uint64_t n = cells.size();
  if (m >= n) {
    for (std::uint64_t i = 0; i < n; ++i) {
      if (i + kPrefetchDistance < n) cells.prefetch(i + kPrefetchDistance);
      f(i);
    }
    return;
  }
  const bool draw_excluded = mark_sample(n, m, rng, scratch);
  const std::vector<std::uint64_t>& marked = scratch.marked;
  std::vector<std::uint32_t>& positions = scratch.positions;
  positions.clear();
  for (std::size_t w = 0; w < marked.size(); ++w) {
    std::uint64_t bits = draw_excluded ? ~marked[w] : marked[w];
    if (draw_excluded && w + 1 == marked.size() && n % 64 != 0) {
      bits &= (std::uint64_t{1} << (n % 64)) - 1;  // no positions beyond n
    }
    for (; bits != 0; bits &= bits - 1) {
      positions.push_back(
          static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(bits))));
    }
  }
  for (std::size_t j = 0; j < positions.size(); ++j) {
    if (j + kPrefetchDistance < positions.size()) cells.prefetch(positions[j + kPrefetchDistance]);
    f(positions[j]);
  }
}

// One pass over a node's rows that gathers every cell (out[i] = column[rows[i]]) and, beside
// it, the cells of the candidate sample as key(cell), in ascending position, into `sample`:
// the draws from `rng` and the positions are those of for_each_sampled with the same m, so
// the sample is the one for_each_sampled would read from the gathered cells.
template <class T, class Key>
void gather_with_sample(std::span<const T> column, std::span<const RowIndex> rows, std::uint64_t m,
                        Rng& rng, CandidateScratch& scratch, std::vector<T>& out,
                        std::vector<std::uint32_t>& sample, const Key& key) {
  const std::size_t n = rows.size();
  const ScatteredCells<T> cells(column, rows);
  out.resize(n);
  T* to = out.data();
  const std::size_t ahead = n > kPrefetchDistance ? n - kPrefetchDistance : 0;
  if (m >= n) {
    sample.resize(n);
    std::uint32_t* s = sample.data();
    const auto take = [&](std::size_t i) {
      const T v = cells[i];
      to[i] = v;
      s[i] = key(v);
    };
    for (std::size_t i = 0; i < ahead; ++i) {
      cells.prefetch(i + kPrefetchDistance);
      take(i);
    }
    for (std::size_t i = ahead; i < n; ++i) take(i);
    return;
  }
  const std::uint64_t flip = mark_sample(n, m, rng, scratch) ? ~std::uint64_t{0} : 0;
  const std::uint64_t* marked = scratch.marked.data();
  // Branch-free: every cell is written to the sample's next place, only a sampled one
  // advances it; one spare place takes the writes after the last sampled cell.
  sample.resize(static_cast<std::size_t>(m) + 1);
  std::uint32_t* s = sample.data();
  std::size_t k = 0;
  const auto take = [&](std::size_t i) {
    const T v = cells[i];
    to[i] = v;
    s[k] = key(v);
    k += static_cast<std::size_t>(((marked[i >> 6] ^ flip) >> (i & 63)) & 1u);
  };
  for (std::size_t i = 0; i < ahead; ++i) {
    cells.prefetch(i + kPrefetchDistance);
    take(i);
  }
  for (std::size_t i = ahead; i < n; ++i) take(i);
  sample.resize(k);
}

// Ascending, distinct thresholds from the sample of a node's values `cells`: the sorted sample
// at positions floor(i * m / max_bins), i = 1..max_bins-1, consecutive equal values removed.
// NaN values sort after every number, -0.0 just before +0.0.
template <class Cells>
std::vector<float> numeric_candidates(const Cells& cells, std::uint64_t max_bins, Rng& rng,
                                      CandidateScratch& scratch);
// The same from a sample held as its sort keys (sample_key, routing.hpp) in scratch.keys,
// which it overwrites.
std::vector<float> quantiles_of_keys(CandidateScratch& scratch, std::uint64_t max_bins);

// numeric_candidates of a node's cells read through its rows, gathered into `cells` (cells[i] =
// column[rows[i]]) in the same pass that reads the sample: the same thresholds from the same
// draws.
std::vector<float> gather_numeric_candidates(std::span<const float> column,
                                             std::span<const RowIndex> rows, std::uint64_t max_bins,
                                             Rng& rng, CandidateScratch& scratch,
                                             std::vector<float>& cells);

// Up to max_bins-1 distinct category codes chosen uniformly among those of the sample of a
// node's codes `cells`, by reservoir sampling over the order of first appearance in the
// sample (list order); in reservoir slot order. Codes lie below dictionary_size.
template <class Cells>
std::vector<std::uint32_t> string_candidates(const Cells& cells, std::size_t dictionary_size,
                                             std::uint64_t max_bins, Rng& rng,
                                             CandidateScratch& scratch);
// string_candidates of a node's codes read through its rows, gathered into `cells` in the
// same pass that reads the sample: the same categories from the same draws.
std::vector<std::uint32_t> gather_string_candidates(std::span<const std::uint32_t> column,
                                                    std::span<const RowIndex> rows,
                                                    std::size_t dictionary_size,
                                                    std::uint64_t max_bins, Rng& rng,
                                                    CandidateScratch& scratch,
                                                    std::vector<std::uint32_t>& cells);

}  // namespace quillmarsh
