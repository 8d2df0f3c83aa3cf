// Candidate split values of one feature: quantiles of a row sample for numeric features, a
// uniform choice among the sampled categories for string features.
#include "uplift_tree/split_candidates.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <unordered_set>
#include <utility>

#include "uplift_tree/routing.hpp"

namespace quillmarsh {
namespace {

__extension__ using U128 = unsigned __int128;

constexpr std::uint64_t kSamplePerBin = 500;

// Sorts `keys` ascending by an LSD radix sort of kPasses digits of kBits bits; `spare` is the
// other buffer. A digit that every key shares is skipped.
template <int kBits, int kPasses>
void radix_sort(std::span<std::uint32_t> keys, std::vector<std::uint32_t>& spare) {
  constexpr std::size_t kBuckets = std::size_t{1} << kBits;
  constexpr std::uint32_t kMask = kBuckets - 1;
  std::array<std::uint32_t, kPasses * kBuckets> counts{};
  for (const std::uint32_t k : keys) {
    for (std::size_t p = 0; p < kPasses; ++p) {
      ++counts[p * kBuckets + ((k >> (p * kBits)) & kMask)];
    }
  }
  spare.resize(keys.size());
  std::uint32_t* from = keys.data();
  std::uint32_t* to = spare.data();
  for (int pass = 0; pass < kPasses; ++pass) {
    std::uint32_t* c = counts.data() + static_cast<std::size_t>(pass) * kBuckets;
    const int shift = pass * kBits;
    if (c[(keys[0] >> shift) & kMask] == keys.size()) continue;
    std::uint32_t sum = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) sum += std::exchange(c[b], sum);
    for (std::size_t i = 0; i < keys.size(); ++i) to[c[(from[i] >> shift) & kMask]++] = from[i];
    std::swap(from, to);
  }
  if (from != keys.data()) std::copy(from, from + keys.size(), keys.data());
}

// Ascending keys; the digit width follows the count, so that clearing and summing the buckets
// never outweighs the keys themselves.
void sort_keys(std::span<std::uint32_t> keys, std::vector<std::uint32_t>& spare) {
  if (keys.size() < 128) {
    std::sort(keys.begin(), keys.end());
  } else if (keys.size() < 2048) {
    radix_sort<8, 4>(keys, spare);
  } else {
    radix_sort<11, 3>(keys, spare);
  }
}

constexpr std::size_t kSortBelow = 64;  // sets this small are sorted, not bucketed

// The smallest and largest of some keys, gathered branch-free (unlike std::minmax_element).
struct KeyRange {
  std::uint32_t lo = ~std::uint32_t{0};
  std::uint32_t hi = 0;
  void add(std::uint32_t k) noexcept {
    lo = std::min(lo, k);
    hi = std::max(hi, k);
  }
};

// out[i] = the key of rank ranks[i] among `keys` (ranks ascending and distinct, each below
// |keys|); `keys` is overwritten. Most-significant-digit radix selection: the keys are bucketed
// by up to 11 bits below the prefix that all of them share, and only the buckets holding a
// wanted rank are kept (moved to the level's `kept`) and refined one level deeper. Few wanted
// ranks cost about three passes over the keys instead of a full sort.
void select_ranks(std::span<std::uint32_t> keys, std::span<const std::uint64_t> ranks,
                  std::uint32_t* out, CandidateScratch::SelectLevels& levels, std::size_t depth) {
  if (ranks.empty()) return;
  CandidateScratch::SelectLevel& level = levels[depth];
  if (keys.size() <= kSortBelow || ranks.size() * 16 > keys.size() || depth + 1 == levels.size()) {
    sort_keys(keys, level.kept);
    for (std::size_t i = 0; i < ranks.size(); ++i) out[i] = keys[ranks[i]];
    return;
  }
  KeyRange r;
  for (const std::uint32_t k : keys) r.add(k);
  const std::uint32_t lo = r.lo;
  const std::uint32_t range = r.hi - r.lo;
  if (range == 0) {
    std::fill(out, out + ranks.size(), lo);
    return;
  }
  // About one bucket per two keys, at most 2048.
  const int bits = std::clamp(static_cast<int>(std::bit_width(keys.size())) - 1, 4, 11);
  const int shift = std::max(0, static_cast<int>(std::bit_width(range)) - bits);
  const std::size_t buckets = (range >> shift) + std::size_t{1};
  // Two tallies, for keys at even and odd places, so that runs of keys of one bucket (the
  // values cluster) do not wait on each other's increments.
  level.count.assign(2 * buckets, 0);
  std::uint32_t* count = level.count.data();
  std::uint32_t* odd = count + buckets;
  const std::size_t pairs = keys.size() / 2;
  for (std::size_t i = 0; i < pairs; ++i) {
    ++count[(keys[2 * i] - lo) >> shift];
    ++odd[(keys[2 * i + 1] - lo) >> shift];
  }
  if (keys.size() % 2 != 0) ++count[(keys.back() - lo) >> shift];
  for (std::size_t b = 0; b < buckets; ++b) count[b] += odd[b];

  // The buckets of the wanted ranks, each once, found in one walk over the counts, and where
  // their keys go in `kept`: one stretch per wanted bucket.
  std::vector<CandidateScratch::Wanted>& wanted = level.wanted;
  wanted.clear();
  std::uint32_t kept = 0;
  std::uint64_t first = 0;  // rank of the bucket's first key
  for (std::size_t b = 0, i = 0; i < ranks.size(); first += count[b], ++b) {
    if (ranks[i] >= first + count[b]) continue;
    const std::size_t first_rank = i;
    while (i < ranks.size() && ranks[i] < first + count[b]) ++i;
    wanted.push_back({b, first_rank, i, kept, first, count[b]});
    kept += count[b];
  }
  // The keys of the wanted buckets move to the front of `keys` first, branch-free: every key
  // is written, and the write position, held in a register, advances for a wanted one. Only
  // they then go to their buckets' stretches of `kept`: the keys of the other buckets, most of
  // them, are read once and never scattered.
  level.advance.assign(buckets, 0);
  for (const CandidateScratch::Wanted& w : wanted) level.advance[w.bucket] = 1;
  const std::uint8_t* advance = level.advance.data();
  std::uint32_t* front = keys.data();
  std::size_t n_front = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const std::uint32_t k = front[i];
    front[n_front] = k;
    n_front += advance[(k - lo) >> shift];
  }
  level.cursor.resize(buckets);  // only the wanted buckets' cursors are read
  std::uint32_t* cursor = level.cursor.data();
  for (const CandidateScratch::Wanted& w : wanted) cursor[w.bucket] = w.at;
  level.kept.resize(kept);
  std::uint32_t* to = level.kept.data();
  for (std::size_t i = 0; i < n_front; ++i) {
    const std::uint32_t k = front[i];
    to[cursor[(k - lo) >> shift]++] = k;
  }

  for (const CandidateScratch::Wanted& w : wanted) {
    level.inner.clear();
    for (std::size_t i = w.first_rank; i < w.end_rank; ++i)
      level.inner.push_back(ranks[i] - w.first);
    select_ranks(std::span<std::uint32_t>(level.kept).subspan(w.at, w.size), level.inner,
                 out + w.first_rank, levels, depth + 1);
  }
}

// Positions floor(i*m/max_bins) for i = 1..max_bins-1, each once. They never decrease; the
// loop jumps straight to the first i that reaches the next position, so huge max_bins cost at
// most m steps.
std::vector<std::uint64_t> quantile_positions(std::uint64_t m, std::uint64_t max_bins) {
  std::vector<std::uint64_t> positions;
  std::uint64_t i = 1;
  while (i < max_bins) {
    const auto pos = static_cast<std::uint64_t>(static_cast<U128>(i) * m / max_bins);
    positions.push_back(pos);
    const U128 next = (static_cast<U128>(pos + 1) * max_bins + m - 1) / m;
    i = next > i + 1 ? static_cast<std::uint64_t>(std::min<U128>(next, max_bins)) : i + 1;
  }
  return positions;
}

}  // namespace

std::vector<float> quantiles_of_keys(CandidateScratch& scratch, std::uint64_t max_bins) {
  std::vector<float> out;
  std::vector<std::uint32_t>& keys = scratch.keys;
  if (max_bins < 2 || keys.empty()) return out;
  const std::vector<std::uint64_t> positions = quantile_positions(keys.size(), max_bins);
  std::vector<std::uint32_t> picked(positions.size());
  select_ranks(keys, positions, picked.data(), scratch.levels, 0);
  for (const std::uint32_t key : picked) {
    const float v = sample_key_value(key);
    if (out.empty() || !(out.back() == v)) out.push_back(v);
  }
  return out;
}

bool mark_sample(std::uint64_t n, std::uint64_t m, Rng& rng, CandidateScratch& scratch) {
  const bool draw_excluded = m > n - m;
  const std::uint64_t k = draw_excluded ? n - m : m;
  std::vector<std::uint64_t>& marked = scratch.marked;
  marked.assign((n + 63) / 64, 0);
  std::uint64_t* bits_of = marked.data();
  for (std::uint64_t j = n - k; j < n; ++j) {
    std::uint64_t t = rng.below(j + 1);
    // t = j when t is taken already, without a branch: near half the draws collide when the
    // sample is about half the rows.
    const std::uint64_t taken = (bits_of[t >> 6] >> (t & 63)) & 1u;
    t ^= (t ^ j) & (0 - taken);
    bits_of[t >> 6] |= std::uint64_t{1} << (t & 63);
  }
  return draw_excluded;
}

std::uint64_t candidate_sample_size(std::uint64_t n, std::uint64_t max_bins) noexcept {
  const U128 cap = static_cast<U128>(max_bins) * kSamplePerBin;
  return cap < n ? static_cast<std::uint64_t>(cap) : n;
}

template <class Cells>
std::vector<float> numeric_candidates(const Cells& cells, std::uint64_t max_bins, Rng& rng,
                                      CandidateScratch& scratch) {
  if (max_bins < 2) return {};
  const std::uint64_t m = candidate_sample_size(cells.size(), max_bins);
  scratch.keys.resize(static_cast<std::size_t>(m));
  std::uint32_t* keys = scratch.keys.data();
  for_each_sampled(cells, m, rng, scratch,
                   [&](std::uint64_t i) { *keys++ = sample_key(cells[i]); });
  return quantiles_of_keys(scratch, max_bins);
}

template <class Cells>
std::vector<std::uint32_t> string_candidates(const Cells& cells, std::size_t dictionary_size,
                                             std::uint64_t max_bins, Rng& rng,
                                             CandidateScratch& scratch) {
  std::vector<std::uint32_t> reservoir;
  if (max_bins < 2) return reservoir;
  const std::uint64_t m = candidate_sample_size(cells.size(), max_bins);
  const std::uint64_t k = max_bins - 1;
  std::uint64_t t = 0;  // position of the value among the distinct ones
  // A code beyond the dictionary (possible only if the caller's buffer, read in place, changes
  // under a running fit) is never offered, so every candidate indexes the dictionary.
  const auto offer = [&](std::uint32_t code) {
    if (t < k) {
      reservoir.push_back(code);
    } else {
      const std::uint64_t j = rng.below(t + 1);
      if (j < k) reservoir[j] = code;
    }
    ++t;
  };
  if (dictionary_size > 64 * m + 4096) {
    // Few of very many categories can occur: a hash set instead of one bit per category.
    std::unordered_set<std::uint32_t> seen;
    seen.reserve(static_cast<std::size_t>(m));
    for_each_sampled(cells, m, rng, scratch, [&](std::uint64_t i) {
      const std::uint32_t code = cells[i];
      if (code < dictionary_size && seen.insert(code).second) offer(code);
    });
    return reservoir;
  }
  // Between calls every bit of `seen` is clear: the bits set here are cleared again below,
  // also when an allocation fails (a bit is set only once its code is listed in `distinct`).
  std::vector<std::uint64_t>& seen = scratch.seen;
  if (seen.size() < (dictionary_size + 63) / 64) seen.resize((dictionary_size + 63) / 64, 0);
  std::vector<std::uint32_t>& distinct = scratch.distinct;
  distinct.clear();
  struct ClearSeen {
    CandidateScratch& s;
    ~ClearSeen() {
      for (const std::uint32_t code : s.distinct) s.seen[code >> 6] = 0;
    }
  } clear_seen{scratch};
  for_each_sampled(cells, m, rng, scratch, [&](std::uint64_t i) {
    const std::uint32_t code = cells[i];
    if (code >= dictionary_size) return;
    std::uint64_t& word = seen[code >> 6];
    const std::uint64_t bit = std::uint64_t{1} << (code & 63);
    if ((word & bit) != 0) return;
    distinct.push_back(code);
    word |= bit;
    offer(code);
  });
  return reservoir;
}

std::vector<float> gather_numeric_candidates(std::span<const float> column,
                                             std::span<const RowIndex> rows, std::uint64_t max_bins,
                                             Rng& rng, CandidateScratch& scratch,
                                             std::vector<float>& cells) {
  if (max_bins < 2) {
    gather(column, rows, cells);
    return {};
  }
  const std::uint64_t m = candidate_sample_size(rows.size(), max_bins);
  gather_with_sample(column, rows, m, rng, scratch, cells, scratch.keys, sample_key);
  return quantiles_of_keys(scratch, max_bins);
}

std::vector<std::uint32_t> gather_string_candidates(std::span<const std::uint32_t> column,
                                                    std::span<const RowIndex> rows,
                                                    std::size_t dictionary_size,
                                                    std::uint64_t max_bins, Rng& rng,
                                                    CandidateScratch& scratch,
                                                    std::vector<std::uint32_t>& cells) {
  if (max_bins < 2) {
    gather(column, rows, cells);
    return {};
  }
  const std::uint64_t m = candidate_sample_size(rows.size(), max_bins);
  gather_with_sample(column, rows, m, rng, scratch, cells, scratch.codes,
                     [](std::uint32_t code) { return code; });
  // The sample is whole already: string_candidates draws nothing more for it, and offers its
  // codes in the same order with the same reservoir draws.
  return string_candidates(GatheredCells<std::uint32_t>(scratch.codes), dictionary_size, max_bins,
                           rng, scratch);
}

template std::vector<float> numeric_candidates(const ScatteredCells<float>&, std::uint64_t, Rng&,
                                               CandidateScratch&);
template std::vector<float> numeric_candidates(const GatheredCells<float>&, std::uint64_t, Rng&,
                                               CandidateScratch&);
template std::vector<std::uint32_t> string_candidates(const ScatteredCells<std::uint32_t>&,
                                                      std::size_t, std::uint64_t, Rng&,
                                                      CandidateScratch&);
template std::vector<std::uint32_t> string_candidates(const GatheredCells<std::uint32_t>&,
                                                      std::size_t, std::uint64_t, Rng&,
                                                      CandidateScratch&);
template std::vector<std::uint32_t> string_candidates(const SampledCells<std::uint32_t>&,
                                                      std::size_t, std::uint64_t, Rng&,
                                                      CandidateScratch&);

}  // namespace quillmarsh
