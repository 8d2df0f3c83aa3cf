// Candidate split values of one feature: quantiles of a row sample for numeric features, a
// uniform choice among the sampled categories for string features.
#include "uplift_tree/split_candidates.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <unordered_set>
#include <utility>

namespace quillmarsh {
namespace {

__extension__ using U128 = unsigned __int128;

constexpr std::uint64_t kSamplePerBin = 500;

// Calls f(row) for a uniform sample of m distinct entries of rows, in list order (all of them
// when m covers the list). Candidates depend only on which values were sampled.
template <class F>
void for_each_sampled(std::span<const RowIndex> rows, std::uint64_t m, Rng& rng, F&& f) {
  const std::uint64_t n = rows.size();
  if (m >= n) {
    for (const RowIndex r : rows) f(r);
    return;
  }
  // Floyd's algorithm: a uniform k-subset of 0..n-1 with k draws and a bitmap of n bits. When
  // more than half the rows are sampled, the rows left out are drawn instead (the complement
  // of a uniform subset is uniform). The sample is visited in row order, which keeps the
  // column reads cache-friendly.
  const bool draw_excluded = m > n - m;
  const std::uint64_t k = draw_excluded ? n - m : m;
  std::vector<std::uint64_t> marked((n + 63) / 64, 0);
  for (std::uint64_t j = n - k; j < n; ++j) {
    std::uint64_t t = rng.below(j + 1);
    if ((marked[t >> 6] >> (t & 63)) & 1u) t = j;
    marked[t >> 6] |= std::uint64_t{1} << (t & 63);
  }
  for (std::size_t w = 0; w < marked.size(); ++w) {
    std::uint64_t bits = draw_excluded ? ~marked[w] : marked[w];
    if (draw_excluded && w + 1 == marked.size() && n % 64 != 0) {
      bits &= (std::uint64_t{1} << (n % 64)) - 1;  // no rows beyond n
    }
    for (; bits != 0; bits &= bits - 1) {
      f(rows[w * 64 + static_cast<std::size_t>(std::countr_zero(bits))]);
    }
  }
}

// Order-preserving map of non-NaN floats to unsigned keys (-0.0 just below +0.0).
std::uint32_t float_key(float v) noexcept {
  const auto b = std::bit_cast<std::uint32_t>(v);
  return (b & 0x80000000u) != 0 ? ~b : (b | 0x80000000u);
}

float key_float(std::uint32_t k) noexcept {
  return std::bit_cast<float>((k & 0x80000000u) != 0 ? (k & 0x7fffffffu) : ~k);
}

// Ascending keys of `values` (no NaN): an LSD radix sort in three passes of 11 bits.
std::vector<std::uint32_t> sorted_keys(std::span<const float> values) {
  constexpr int kBits = 11;
  constexpr std::size_t kBuckets = std::size_t{1} << kBits;
  std::vector<std::uint32_t> keys(values.size());
  std::vector<std::uint32_t> scratch(values.size());
  std::vector<std::uint32_t> counts(3 * kBuckets, 0);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::uint32_t k = float_key(values[i]);
    keys[i] = k;
    ++counts[k & (kBuckets - 1)];
    ++counts[kBuckets + ((k >> kBits) & (kBuckets - 1))];
    ++counts[2 * kBuckets + (k >> (2 * kBits))];
  }
  for (int pass = 0; pass < 3; ++pass) {
    std::uint32_t* c = counts.data() + static_cast<std::size_t>(pass) * kBuckets;
    const int shift = pass * kBits;
    // A digit that every key shares leaves the order unchanged.
    if (keys.empty() || c[(keys[0] >> shift) & (kBuckets - 1)] == keys.size()) continue;
    std::uint32_t sum = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) sum += std::exchange(c[b], sum);
    for (const std::uint32_t k : keys) scratch[c[(k >> shift) & (kBuckets - 1)]++] = k;
    keys.swap(scratch);
  }
  return keys;
}

}  // namespace

std::vector<RowIndex> sample_rows(std::span<const RowIndex> rows, std::uint64_t m, Rng& rng) {
  std::vector<RowIndex> picked;
  picked.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(m, rows.size())));
  for_each_sampled(rows, m, rng, [&](RowIndex r) { picked.push_back(r); });
  return picked;
}

std::uint64_t candidate_sample_size(std::uint64_t n, std::uint64_t max_bins) noexcept {
  const U128 cap = static_cast<U128>(max_bins) * kSamplePerBin;
  return cap < n ? static_cast<std::uint64_t>(cap) : n;
}

std::vector<float> quantile_candidates(std::span<float> sample, std::uint64_t max_bins) {
  std::vector<float> out;
  const std::uint64_t m = sample.size();
  if (max_bins < 2 || m == 0) return out;
  // Positions floor(i*m/max_bins) for i = 1..max_bins-1 never decrease; jump straight to the
  // first i that reaches the next position, so huge max_bins cost at most m steps.
  std::vector<std::uint64_t> positions;
  std::uint64_t i = 1;
  while (i < max_bins) {
    const auto pos = static_cast<std::uint64_t>(static_cast<U128>(i) * m / max_bins);
    positions.push_back(pos);
    const U128 next = (static_cast<U128>(pos + 1) * max_bins + m - 1) / m;
    i = next > i + 1 ? static_cast<std::uint64_t>(std::min<U128>(next, max_bins)) : i + 1;
  }
  // NaNs sort after every number; the numbers are radix-sorted as keys.
  const auto numbers_end =
      std::partition(sample.begin(), sample.end(), [](float v) { return !std::isnan(v); });
  const std::vector<std::uint32_t> keys =
      sorted_keys(std::span<const float>(sample.begin(), numbers_end));
  for (const std::uint64_t pos : positions) {
    const float v = pos < keys.size() ? key_float(keys[pos]) : sample[pos];
    if (out.empty() || !(out.back() == v)) out.push_back(v);
  }
  return out;
}

std::vector<float> numeric_candidates(const NumericColumn& column, std::span<const RowIndex> rows,
                                      std::uint64_t max_bins, Rng& rng) {
  if (max_bins < 2) return {};
  const std::uint64_t m = candidate_sample_size(rows.size(), max_bins);
  const std::vector<RowIndex> picked = sample_rows(rows, m, rng);
  std::vector<float> sample(picked.size());
  for (std::size_t i = 0; i < picked.size(); ++i) {
    if (i + kPrefetchDistance < picked.size()) {
      __builtin_prefetch(column.data() + picked[i + kPrefetchDistance]);
    }
    sample[i] = column[picked[i]];
  }
  return quantile_candidates(sample, max_bins);
}

std::vector<std::uint32_t> string_candidates(const StringCodes& column,
                                             std::span<const RowIndex> rows, std::uint64_t max_bins,
                                             Rng& rng) {
  std::vector<std::uint32_t> reservoir;
  if (max_bins < 2) return reservoir;
  const std::uint64_t m = candidate_sample_size(rows.size(), max_bins);
  const std::uint64_t k = max_bins - 1;
  std::unordered_set<std::uint32_t> seen;
  seen.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(m, column.dictionary.size())));
  std::uint64_t t = 0;  // position of the value among the distinct ones
  for_each_sampled(rows, m, rng, [&](RowIndex r) {
    const std::uint32_t code = column.codes[r];
    if (!seen.insert(code).second) return;
    if (t < k) {
      reservoir.push_back(code);
    } else {
      const std::uint64_t j = rng.below(t + 1);
      if (j < k) reservoir[j] = code;
    }
    ++t;
  });
  return reservoir;
}

}  // namespace quillmarsh
