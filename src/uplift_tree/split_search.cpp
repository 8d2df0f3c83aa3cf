// Split search. Each searched feature costs one pass over the node's rows: every row is dropped
// into the interval (numeric) or category slot (string) it falls in, per group; prefix sums of the
// intervals give every threshold's left child and the node's counts minus the left give the right
// one. The result equals partitioning the rows once per candidate, count for count.
#include "uplift_tree/split_search.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <unordered_map>

#include "common/panic.hpp"
#include "concurrency/countdown.hpp"
#include "uplift_tree/routing.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillmarsh {
namespace {

constexpr std::size_t kLinearScanLimit = 64;  // thresholds searched by a branch-free scan
constexpr std::size_t kCopies = 4;            // interleaved accumulators break store-to-load chains
// A node of at most this many times its sample's rows gathers its cells into a buffer.
constexpr std::size_t kGatherUpToSamples = 4;

// Working storage of a feature's search, kept from search to search on one thread (the
// threads of a fit end with it, and their storage with them). Cells are gathered only for
// nodes of a few samples' size, so that the storage follows the sample, not the node.
struct SearchScratch {
  std::vector<float> values;
  std::vector<std::uint32_t> codes;
  std::vector<std::uint32_t> slots;
  std::vector<std::uint64_t> cells;  // the counters of count_slots
  CandidateScratch candidates;
};

// Only a pointer lives in thread-local storage: the module's static TLS block, which a
// dlopen'ed library shares with every other, is small.
SearchScratch& thread_scratch() {
  thread_local std::unique_ptr<SearchScratch> scratch;
  if (!scratch) scratch = std::make_unique<SearchScratch>();
  return *scratch;
}

#if defined(__SSE2__) && defined(__x86_64__)
#define QUILLMARSH_VECTOR_SLOTS 1
#endif

using FourSlots = std::array<std::uint32_t, 4>;

// The slot of a value among nt ascending thresholds (none NaN): how many of them lie below
// it; a NaN value takes slot nt.
class NumericSlots {
 public:
  explicit NumericSlots(std::span<const float> thresholds)
      : t_(thresholds), nt_(static_cast<std::uint32_t>(thresholds.size())) {
#if defined(QUILLMARSH_VECTOR_SLOTS)
    // Padded with +inf to a multiple of four: no value lies above +inf.
    padded_ = (std::size_t{nt_} + 3) / 4 * 4;
    if (padded_ <= kLinearScanLimit) {
      for (std::size_t k = 0; k < padded_; ++k) {
        broadcast_[k] = _mm_set1_ps(k < nt_ ? t_[k] : std::numeric_limits<float>::infinity());
      }
    }
#endif
  }

  // The interval of v (routing.hpp): the thresholds it does not go left of.
  std::uint32_t one(float v) const noexcept {
    if (nt_ <= kLinearScanLimit) return interval_by_scan(v, t_);
    return interval_of(v, thresholds_below(v, t_), nt_);
  }

  // The slots of four values.
  FourSlots four(float v0, float v1, float v2, float v3) const noexcept {
#if defined(QUILLMARSH_VECTOR_SLOTS)
    if (padded_ <= kLinearScanLimit) {
      // Four values side by side: each threshold below a lane's value (routing.hpp) subtracts
      // -1 (all bits set) from its count.
      const __m128 x = _mm_setr_ps(v0, v1, v2, v3);
      __m128i b0 = _mm_setzero_si128();
      __m128i b1 = _mm_setzero_si128();
      for (std::size_t k = 0; k < padded_; k += 4) {
        b0 = _mm_sub_epi32(b0, threshold_below_x4(broadcast_[k], x));
        b1 = _mm_sub_epi32(b1, threshold_below_x4(broadcast_[k + 1], x));
        b0 = _mm_sub_epi32(b0, threshold_below_x4(broadcast_[k + 2], x));
        b1 = _mm_sub_epi32(b1, threshold_below_x4(broadcast_[k + 3], x));
      }
      const __m128i b = interval_of_x4(x, _mm_add_epi32(b0, b1), nt_);
      // Lanes leave through registers: a narrow reload of a wide store would stall.
      const auto lo = static_cast<std::uint64_t>(_mm_cvtsi128_si64(b));
      const auto hi = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(b, b)));
      return {static_cast<std::uint32_t>(lo), static_cast<std::uint32_t>(lo >> 32),
              static_cast<std::uint32_t>(hi), static_cast<std::uint32_t>(hi >> 32)};
    }
#endif
    return {one(v0), one(v1), one(v2), one(v3)};
  }

 private:
  std::span<const float> t_;
  std::uint32_t nt_;
#if defined(QUILLMARSH_VECTOR_SLOTS)
  std::size_t padded_ = 0;
  __m128 broadcast_[kLinearScanLimit] = {};
#endif
};

// What one row adds to the cell of its group: 1 to the size in the low half, its outcome
// (sign-extended, wrapping) to the positives in the high half. The size of a cell never
// exceeds the row count, so the low half never carries into the high one and one 64-bit
// addition is the two 32-bit additions of the counts.
std::uint64_t row_increment(std::uint32_t word) noexcept {
  const auto outcome =
      static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<std::int8_t>(word & 0xffu)));
  return (std::uint64_t{outcome} << 32) | 1u;
}

// Adds every row to the cell of its slot and group: slot_of.four gives the slots of rows
// i..i+3, which go to the kCopies copies of the cells in turn, and slot_of.one that of a
// single row. `slots` receives the sums, as n_slots * g2 counts (size and positives per
// group).
template <class Cells, class SlotOf>
void count_slots(const Cells& cells, const std::uint32_t* words, std::size_t n_slots,
                 std::size_t g2, const SlotOf& slot_of, std::vector<std::uint32_t>& slots) {
  static_assert(kCopies == 4);
  const std::size_t n = cells.size();
  const std::size_t groups = g2 / 2;
  const std::size_t stride = n_slots * groups;
  std::vector<std::uint64_t>& acc = thread_scratch().cells;
  acc.assign(kCopies * stride, 0);
  std::uint64_t* base = acc.data();
  std::size_t i = 0;
  for (; i + kCopies <= n; i += kCopies) {
    if (i + kPrefetchDistance + kCopies <= n) {
      for (std::size_t c = 0; c < kCopies; ++c) cells.prefetch(i + kPrefetchDistance + c);
    }
    const FourSlots slot = slot_of.four(cells[i], cells[i + 1], cells[i + 2], cells[i + 3]);
    for (std::size_t c = 0; c < kCopies; ++c) {
      const std::uint32_t w = words[i + c];
      base[c * stride + slot[c] * groups + (w >> 8)] += row_increment(w);
    }
  }
  for (; i < n; ++i) {
    base[slot_of.one(cells[i]) * groups + (words[i] >> 8)] += row_increment(words[i]);
  }
  slots.resize(n_slots * g2);
  for (std::size_t j = 0; j < stride; ++j) {
    std::uint64_t sum = base[j];
    for (std::size_t c = 1; c < kCopies; ++c) sum += base[c * stride + j];
    slots[2 * j] = static_cast<std::uint32_t>(sum);
    slots[2 * j + 1] = static_cast<std::uint32_t>(sum >> 32);
  }
}

// Maps a category code to its candidate slot, or to `none`.
class CategorySlots {
 public:
  CategorySlots(std::span<const std::uint32_t> categories, std::size_t dictionary_size,
                std::size_t rows)
      : categories_(categories), none_(static_cast<std::uint32_t>(categories.size())) {
    // A table over the whole dictionary when it is small next to the rows (one load per row),
    // else a scan of few categories or a hash map.
    if (dictionary_size <= 2 * rows + 64) {
      dense_.assign(dictionary_size, none_);
      for (std::size_t i = 0; i < categories.size(); ++i) {
        dense_[categories[i]] = static_cast<std::uint32_t>(i);
      }
    } else if (categories.size() > 16) {
      for (std::size_t i = 0; i < categories.size(); ++i) {
        sparse_.emplace(categories[i], static_cast<std::uint32_t>(i));
      }
    }
  }
  FourSlots four(std::uint32_t c0, std::uint32_t c1, std::uint32_t c2, std::uint32_t c3) const {
    return {one(c0), one(c1), one(c2), one(c3)};
  }
  // A code beyond the table (the caller's buffer is read in place, and may change under a
  // running fit) matches no candidate: a wrong count at worst, never a read past the table.
  std::uint32_t one(std::uint32_t code) const {
    if (!dense_.empty()) return code < dense_.size() ? dense_[code] : none_;
    if (categories_.size() <= 16) {
      std::uint32_t s = none_;
      for (std::size_t i = 0; i < categories_.size(); ++i) {
        s = category_goes_left(code, categories_[i]) ? static_cast<std::uint32_t>(i) : s;
      }
      return s;
    }
    const auto it = sparse_.find(code);
    return it == sparse_.end() ? none_ : it->second;
  }

 private:
  std::span<const std::uint32_t> categories_;
  std::uint32_t none_;
  std::vector<std::uint32_t> dense_;
  std::unordered_map<std::uint32_t, std::uint32_t> sparse_;
};

}  // namespace

template <class Cells>
void count_string_slots(const Cells& codes, std::span<const std::uint32_t> words,
                        std::span<const std::uint32_t> categories, std::size_t dictionary_size,
                        std::size_t g2, std::vector<std::uint32_t>& slots) {
  const CategorySlots slot_of(categories, dictionary_size, codes.size());
  count_slots(codes, words.data(), categories.size() + 1, g2, slot_of, slots);
}

namespace {

// Calls f(j, left) for candidates j < count, `left` holding the unsigned counts of j's left
// child: with `prefix` (thresholds) every slot up to j, else (categories) slot j alone.
// `left` is the caller's storage.
template <class F>
void for_each_candidate(std::span<const std::uint32_t> slots, std::size_t g2, std::size_t count,
                        bool prefix, std::vector<std::uint32_t>& left, F&& f) {
  left.assign(g2, 0);
  for (std::size_t j = 0; j < count; ++j) {
    for (std::size_t i = 0; i < g2; ++i) {
      left[i] = (prefix ? left[i] : 0u) + slots[j * g2 + i];
    }
    f(j, std::span<const std::uint32_t>(left));
  }
}

// The children of a left child's counts: right = node - left, with 32-bit wrap-around.
void make_children(std::span<const std::uint32_t> left, const GroupCounts& node,
                   std::uint64_t n_rows, CandidateCounts& out) {
  out.left.resize(node.size());
  out.right.resize(node.size());
  out.n_left = 0;
  for (std::size_t i = 0; i < node.size(); ++i) {
    out.left[i] = static_cast<std::int32_t>(left[i]);
    out.right[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(node[i]) - left[i]);
  }
  for (std::size_t i = 0; i < node.size(); i += 2) out.n_left += left[i];
  out.n_right = n_rows - out.n_left;
}

}  // namespace

std::optional<CandidateChoice> best_candidate(std::span<const std::uint32_t> slots,
                                              const GroupCounts& node, std::uint64_t n,
                                              std::size_t counted, bool prefix, double d_parent,
                                              const SplitSettings& settings) {
  std::optional<CandidateChoice> best;
  CandidateCounts cc;
  std::vector<std::uint32_t> left_sums;
  for_each_candidate(slots, node.size(), counted, prefix, left_sums,
                     [&](std::size_t j, std::span<const std::uint32_t> left) {
                       make_children(left, node, n, cc);
                       if (!passes_size_test(cc.n_left, cc.n_right, settings.min_sample_leaf)) {
                         return;
                       }
                       if (settings.min_samples_treatment &&
                           !passes_group_test(cc.left, cc.right, *settings.min_samples_treatment)) {
                         return;
                       }
                       const double gain = split_gain(node, n, d_parent, cc.left, cc.n_left,
                                                      cc.right, cc.n_right, settings);
                       if (!(gain > (best ? best->gain : kNoGain))) return;
                       best = CandidateChoice{j, gain, cc.left, cc.right};
                     });
  return best;
}

template <class Cells>
void count_numeric_slots(const Cells& values, std::span<const std::uint32_t> words,
                         std::span<const float> thresholds, std::size_t g2,
                         std::vector<std::uint32_t>& slots) {
  const NumericSlots slot_of(thresholds);
  count_slots(values, words.data(), thresholds.size() + 1, g2, slot_of, slots);
}

template void count_numeric_slots(const ScatteredCells<float>&, std::span<const std::uint32_t>,
                                  std::span<const float>, std::size_t, std::vector<std::uint32_t>&);
template void count_numeric_slots(const GatheredCells<float>&, std::span<const std::uint32_t>,
                                  std::span<const float>, std::size_t, std::vector<std::uint32_t>&);
template void count_string_slots(const ScatteredCells<std::uint32_t>&,
                                 std::span<const std::uint32_t>, std::span<const std::uint32_t>,
                                 std::size_t, std::size_t, std::vector<std::uint32_t>&);
template void count_string_slots(const GatheredCells<std::uint32_t>&,
                                 std::span<const std::uint32_t>, std::span<const std::uint32_t>,
                                 std::size_t, std::size_t, std::vector<std::uint32_t>&);

std::optional<FeatureSplit> search_feature(const Dataset& dataset, ColumnRef ref,
                                           std::span<const RowIndex> rows,
                                           std::span<const std::uint32_t> row_words,
                                           const GroupCounts& node, double d_parent,
                                           const SplitSettings& settings, Rng& rng) {
  SearchScratch& s = thread_scratch();
  std::vector<float> thresholds;
  std::vector<std::uint32_t> categories;
  std::size_t counted = 0;  // candidates that can take rows: NaN thresholds take none
  // A node up to a few times its sample reads its cells once into a buffer, for the sample
  // and the counting; a larger one reads the sampled cells, then every cell while counting,
  // which costs it at most a quarter more reads but keeps the buffer at the sample's scale.
  const bool gathered =
      rows.size() / kGatherUpToSamples <= candidate_sample_size(rows.size(), settings.max_bins);
  if (ref.is_numeric()) {
    const auto numeric = [&](const auto& cells) {
      thresholds = numeric_candidates(cells, settings.max_bins, rng, s.candidates);
      counted = thresholds_taking_rows(thresholds);
      if (counted == 0) return;
      count_numeric_slots(cells, row_words, std::span<const float>(thresholds).first(counted),
                          node.size(), s.slots);
    };
    if (gathered) {
      // The sample is read in the pass that gathers the cells.
      thresholds = gather_numeric_candidates(dataset.numeric(ref), rows, settings.max_bins, rng,
                                             s.candidates, s.values);
      counted = thresholds_taking_rows(thresholds);
      if (counted > 0) {
        count_numeric_slots(GatheredCells<float>(s.values), row_words,
                            std::span<const float>(thresholds).first(counted), node.size(),
                            s.slots);
      }
    } else {
      numeric(ScatteredCells<float>(dataset.numeric(ref), rows));
    }
  } else {
    const StringCodes& column = dataset.strings(ref);
    const std::size_t dictionary_size = column.dictionary.size();
    const auto strings = [&](const auto& cells) {
      categories = string_candidates(cells, dictionary_size, settings.max_bins, rng, s.candidates);
      counted = categories.size();
      if (counted == 0) return;
      count_string_slots(cells, row_words, categories, dictionary_size, node.size(), s.slots);
    };
    if (gathered) {
      categories = gather_string_candidates(column.codes, rows, dictionary_size, settings.max_bins,
                                            rng, s.candidates, s.codes);
      counted = categories.size();
      if (counted > 0) {
        count_string_slots(GatheredCells<std::uint32_t>(s.codes), row_words, categories,
                           dictionary_size, node.size(), s.slots);
      }
    } else {
      strings(ScatteredCells<std::uint32_t>(column.codes, rows));
    }
  }
  if (counted == 0) return std::nullopt;

  std::optional<CandidateChoice> best =
      best_candidate(s.slots, node, rows.size(), counted, ref.is_numeric(), d_parent, settings);
  if (!best) return std::nullopt;
  FeatureSplit out;
  out.gain = best->gain;
  out.left_counts = std::move(best->left);
  out.right_counts = std::move(best->right);
  if (ref.is_numeric()) {
    out.split_value = SplitValue::numeric(thresholds[best->index]);
  } else {
    out.category = categories[best->index];
    out.split_value = SplitValue::str(dataset.strings(ref).dictionary[out.category]);
  }
  return out;
}

namespace {

// What one split job leaves for its node: its feature's best candidate, or its failure.
struct JobReport {
  std::optional<FeatureSplit> split;
  std::optional<std::string> failure;
  bool ended = false;  // false when the job never ran to its end
};

}  // namespace

std::vector<std::uint64_t> searched_features(const TreeDraws& draws, std::uint64_t slot,
                                             std::uint64_t n_features, std::uint64_t max_features) {
  TreeDraws::Site site = draws.at(slot, 0);
  return sample_without_replacement(site.rng(), n_features,
                                    std::min<std::uint64_t>(max_features, n_features));
}

BestSplit find_best_split(const std::vector<std::string>& feature_cols,
                          const std::shared_ptr<const Dataset>& dataset, const NodeRows& rows,
                          const std::shared_ptr<const GroupCounts>& counts, double d_parent,
                          const SplitSettings& settings, std::uint64_t max_features,
                          WorkerPool& pool, const TreeDraws& draws, std::uint64_t slot) {
  const std::vector<std::uint64_t> positions =
      searched_features(draws, slot, feature_cols.size(), max_features);
  BestSplit best;
  std::uint64_t best_draw = 0;
  // A greater gain wins; an equal gain wins only when its feature was drawn earlier, so that
  // the order in which jobs end does not matter.
  const auto consider = [&](std::uint64_t draw, FeatureSplit& s) {
    if (!(s.gain > best.gain || (s.gain == best.gain && draw < best_draw))) return;
    best_draw = draw;
    best.left_counts = std::move(s.left_counts);
    best.right_counts = std::move(s.right_counts);
    best.col_name = feature_cols[positions[draw]];
    best.split_value = std::move(s.split_value);
    best.category = s.category;
    best.gain = s.gain;
  };
  if (rows.size() * positions.size() <= settings.inline_search_cells) {
    // Too little work to be worth handing over to the pool and waiting for.
    for (std::uint64_t d = 0; d < positions.size(); ++d) {
      TreeDraws::Site site = draws.at(slot, positions[d] + 1);
      std::optional<FeatureSplit> split =
          search_feature(*dataset, dataset->column(feature_cols[positions[d]]), rows.span(),
                         rows.word_span(), *counts, d_parent, settings, site.rng());
      if (split) consider(d, *split);
    }
    return best;
  }
  // Each job leaves its report in its own place; the node wakes once, when the last job has
  // ended.
  struct Reports {
    explicit Reports(std::size_t jobs) : each(jobs), done(static_cast<std::ptrdiff_t>(jobs)) {}
    std::vector<JobReport> each;
    Countdown done;
  };
  auto reports = std::make_shared<Reports>(positions.size());
  const std::shared_ptr<Countdown> done(reports, &reports->done);
  for (std::uint64_t d = 0; d < positions.size(); ++d) {
    pool.submit([arrival = std::make_shared<Countdown::Arrival>(done), report = &reports->each[d],
                 ref = dataset->column(feature_cols[positions[d]]),
                 site = draws.at(slot, positions[d] + 1), dataset, rows, counts, d_parent,
                 settings]() mutable {
      report->failure = capture_failure([&] {
        report->split = search_feature(*dataset, ref, rows.span(), rows.word_span(), *counts,
                                       d_parent, settings, site.rng());
      });
      report->ended = true;
    });
  }
  reports->done.wait();

  std::optional<std::string> failure;
  std::uint64_t ended = 0;
  for (std::uint64_t d = 0; d < positions.size(); ++d) {
    JobReport& report = reports->each[d];
    ended += report.ended ? 1 : 0;
    if (report.failure) {
      if (!failure) failure = std::move(report.failure);
      continue;
    }
    if (report.split) consider(d, *report.split);
  }
  if (failure) panic(std::move(*failure));
  if (ended != positions.size()) panic("a split search job ended without reporting its result");
  return best;
}

namespace {

// 1 when bit i is set, else 0; kept an integer so that the partition stays free of branches.
std::size_t bit_at(const std::vector<std::uint64_t>& bits, std::size_t i) noexcept {
  return static_cast<std::size_t>((bits[i >> 6] >> (i & 63)) & 1u);
}

// Moves the n entries whose bit is set (n_left of them) in front of the others, each part in
// its order. Branch-free: every entry is written both to its place in `data` and to the
// scratch of the smaller part; only the side it belongs to advances. The larger part is
// compacted within `data` (forward for the left part, backward for the right one), so the
// scratch holds at most half of the entries.
void stable_partition(std::uint32_t* data, std::size_t n, const std::vector<std::uint64_t>& left,
                      std::size_t n_left, RowVector& scratch) {
  const std::size_t n_right = n - n_left;
  scratch.resize(std::min(n_left, n_right) + 1);
  std::uint32_t* aside = scratch.data();
  if (n_left >= n_right) {
    std::size_t kept = 0;
    std::size_t moved = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t v = data[i];
      const std::size_t l = bit_at(left, i);
      data[kept] = v;
      aside[moved] = v;
      kept += l;
      moved += 1 - l;
    }
    std::copy(aside, aside + n_right, data + n_left);
  } else {
    std::size_t kept = n;  // the right part fills data[n_left, n) from its end
    std::size_t moved = 0;
    for (std::size_t i = n; i-- > 0;) {
      const std::uint32_t v = data[i];
      const std::size_t l = bit_at(left, i);
      data[kept - 1] = v;
      aside[moved] = v;
      kept -= 1 - l;
      moved += l;
    }
    std::reverse_copy(aside, aside + n_left, data);
  }
}

}  // namespace

std::size_t partition_rows(const Dataset& dataset, const NodeRows& rows, const BestSplit& split,
                           RowVector& scratch) {
  const std::size_t n = rows.size();
  RowIndex* list = rows.list->data() + rows.begin;
  // The decisions first, in one pass of scattered reads; then rows and words move by them.
  std::vector<std::uint64_t> left((n + 63) / 64, 0);
  std::size_t n_left = 0;
  const auto decide = [&](const auto* column, auto goes_left) {
    for (std::size_t i = 0; i < n; ++i) {
      if (i + kPrefetchDistance < n) __builtin_prefetch(column + list[i + kPrefetchDistance]);
      const auto l = static_cast<std::size_t>(goes_left(column[list[i]]));
      left[i >> 6] |= std::uint64_t{l} << (i & 63);
      n_left += l;
    }
  };
  const ColumnRef ref = dataset.column(split.col_name);
  if (ref.is_numeric()) {
    const float threshold = split.split_value.as_numeric();
    decide(dataset.numeric(ref).data(), [&](float v) { return numeric_goes_left(v, threshold); });
  } else {
    const std::uint32_t category = split.category;
    decide(dataset.strings(ref).codes.data(),
           [&](std::uint32_t code) { return category_goes_left(code, category); });
  }
  stable_partition(list, n, left, n_left, scratch);
  if (rows.words) stable_partition(rows.words->data() + rows.begin, n, left, n_left, scratch);
  return rows.begin + n_left;
}

}  // namespace quillmarsh
