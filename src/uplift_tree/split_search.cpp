// Split search. Each searched feature costs one pass over the node's rows: every row is dropped
// into the interval (numeric) or category slot (string) it falls in, per group; prefix sums of
// the intervals give every threshold's left child and the node's counts minus the left give the
// right one. The result equals partitioning the rows once per candidate, count for count.
#include "uplift_tree/split_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "common/panic.hpp"
#include "concurrency/channel.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillmarsh {
namespace {

constexpr std::size_t kLinearScanLimit = 64;  // thresholds searched by a branch-free scan

std::uint32_t wrap_u32(std::int32_t v) noexcept { return static_cast<std::uint32_t>(v); }

// Turns per-slot accumulators into children: left = `left_acc`, right = node - left.
CandidateCounts make_children(std::span<const std::uint32_t> left_acc, const GroupCounts& node) {
  CandidateCounts out;
  out.left.resize(node.size());
  out.right.resize(node.size());
  for (std::size_t i = 0; i < node.size(); ++i) {
    out.left[i] = static_cast<std::int32_t>(left_acc[i]);
    out.right[i] = static_cast<std::int32_t>(wrap_u32(node[i]) - left_acc[i]);
  }
  for (std::size_t i = 0; i < node.size(); i += 2) out.n_left += left_acc[i];
  return out;
}

void add_row(std::uint32_t* slot_cells, std::uint32_t word) noexcept {
  std::uint32_t* cell = slot_cells + 2 * static_cast<std::size_t>(word >> 8);
  cell[0] += 1;
  cell[1] +=
      static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<std::int8_t>(word & 0xffu)));
}

// Maps a category code to its candidate slot, or to `none`.
class CategorySlots {
 public:
  CategorySlots(std::span<const std::uint32_t> categories, std::size_t dictionary_size,
                std::size_t rows)
      : categories_(categories), none_(static_cast<std::uint32_t>(categories.size())) {
    if (categories.size() <= 16) return;
    if (dictionary_size <= 8 * rows + 4096) {
      dense_.assign(dictionary_size, none_);
      for (std::size_t i = 0; i < categories.size(); ++i) {
        dense_[categories[i]] = static_cast<std::uint32_t>(i);
      }
    } else {
      for (std::size_t i = 0; i < categories.size(); ++i) {
        sparse_.emplace(categories[i], static_cast<std::uint32_t>(i));
      }
    }
  }
  std::uint32_t slot(std::uint32_t code) const {
    if (categories_.size() <= 16) {
      std::uint32_t s = none_;
      for (std::size_t i = 0; i < categories_.size(); ++i) {
        s = categories_[i] == code ? static_cast<std::uint32_t>(i) : s;
      }
      return s;
    }
    if (!dense_.empty()) return dense_[code];
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

namespace {

constexpr std::size_t kCopies = 4;  // interleaved accumulators break store-to-load chains

// How many of the W ascending thresholds lie below v (0 for a NaN v).
template <std::size_t W>
std::uint32_t count_below(const float* t, float v) noexcept {
#if defined(__SSE2__)
  const __m128 x = _mm_set1_ps(v);
  int mask = 0;
  for (std::size_t k = 0; k < W; k += 4) {
    mask |= _mm_movemask_ps(_mm_cmplt_ps(_mm_loadu_ps(t + k), x)) << k;
  }
  // Thresholds ascend, so the set bits form a prefix: their count is the first clear bit.
  return static_cast<std::uint32_t>(std::countr_one(static_cast<unsigned>(mask)));
#else
  std::uint32_t b = 0;
  for (std::size_t k = 0; k < W; ++k) b += t[k] < v ? 1u : 0u;
  return b;
#endif
}

// Adds every row to the accumulator of its interval: b = how many thresholds lie below the
// row's value (a NaN value: nt). `values` is the column, or with kGathered the values of `rows`
// in list order; words[i] is the packed group and outcome of rows[i]. W > 0: the thresholds are
// padded with +inf to exactly W entries.
template <std::size_t W, bool kGathered>
void bin_numeric(std::span<const RowIndex> rows, const float* values, const std::uint32_t* words,
                 std::span<const float> t, std::size_t nt, std::uint32_t* acc,
                 std::size_t copy_stride, std::size_t g2) {
  const auto nt32 = static_cast<std::uint32_t>(nt);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const RowIndex r = rows[i];
    if constexpr (!kGathered) {
      if (i + kPrefetchDistance < rows.size())
        __builtin_prefetch(values + rows[i + kPrefetchDistance]);
    }
    const float v = kGathered ? values[i] : values[r];
    std::uint32_t b = 0;
    if constexpr (W > 0) {
      b = count_below<W>(t.data(), v);
    } else if (nt <= kLinearScanLimit) {
      for (std::size_t k = 0; k < t.size(); ++k) b += t[k] < v ? 1u : 0u;
    } else {
      const auto end = t.begin() + static_cast<std::ptrdiff_t>(nt);
      b = static_cast<std::uint32_t>(std::lower_bound(t.begin(), end, v) - t.begin());
    }
    b = v == v ? b : nt32;
    add_row(acc + (i % kCopies) * copy_stride + b * g2, words[i]);
  }
}

std::vector<CandidateCounts> count_numeric(const float* values, bool gathered,
                                           std::span<const RowIndex> rows,
                                           std::span<const std::uint32_t> row_words,
                                           std::span<const float> thresholds,
                                           const GroupCounts& node) {
  const std::size_t g2 = node.size();
  // Thresholds are ascending with NaNs last; a NaN threshold takes no row.
  std::size_t nt = 0;
  while (nt < thresholds.size() && !std::isnan(thresholds[nt])) ++nt;
  const std::size_t slots = nt + 1;  // slot b: rows above exactly b thresholds (NaN: slot nt)
  const std::size_t stride = slots * g2;
  std::vector<std::uint32_t> acc(kCopies * stride, 0);
  const std::uint32_t* words = row_words.data();

  // Padded with +inf (no value lies above it) to a multiple of 8 for a vectorisable scan.
  std::vector<float> padded;
  std::span<const float> t = thresholds.first(nt);
  if (nt <= kLinearScanLimit) {
    padded.assign((nt + 7) / 8 * 8, std::numeric_limits<float>::infinity());
    std::copy(t.begin(), t.end(), padded.begin());
    t = padded;
  }
  const auto run = [&]<std::size_t W>() {
    if (gathered) {
      bin_numeric<W, true>(rows, values, words, t, nt, acc.data(), stride, g2);
    } else {
      bin_numeric<W, false>(rows, values, words, t, nt, acc.data(), stride, g2);
    }
  };
  if (padded.size() == 8) {
    run.template operator()<8>();
  } else if (padded.size() == 16) {
    run.template operator()<16>();
  } else {
    run.template operator()<0>();
  }
  for (std::size_t c = 1; c < kCopies; ++c) {
    for (std::size_t i = 0; i < stride; ++i) acc[i] += acc[c * stride + i];
  }

  std::vector<CandidateCounts> out;
  out.reserve(thresholds.size());
  std::vector<std::uint32_t> left(g2, 0);
  for (std::size_t j = 0; j < thresholds.size(); ++j) {
    if (j < nt) {
      for (std::size_t i = 0; i < g2; ++i) left[i] += acc[j * g2 + i];
      out.push_back(make_children(left, node));
    } else {
      out.push_back(make_children(std::vector<std::uint32_t>(g2, 0), node));
    }
    out.back().n_right = rows.size() - out.back().n_left;
  }
  return out;
}

std::vector<CandidateCounts> count_string(const StringCodes& column, std::span<const RowIndex> rows,
                                          std::span<const std::uint32_t> row_words,
                                          std::span<const std::uint32_t> categories,
                                          const GroupCounts& node) {
  const std::size_t g2 = node.size();
  const std::size_t slots = categories.size() + 1;  // the last slot: no candidate's category
  const std::size_t stride = slots * g2;
  std::vector<std::uint32_t> acc(kCopies * stride, 0);
  const CategorySlots lookup(categories, column.dictionary.size(), rows.size());
  const std::uint32_t* codes = column.codes.data();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i + kPrefetchDistance < rows.size())
      __builtin_prefetch(codes + rows[i + kPrefetchDistance]);
    add_row(acc.data() + (i % kCopies) * stride + lookup.slot(codes[rows[i]]) * g2, row_words[i]);
  }
  for (std::size_t c = 1; c < kCopies; ++c) {
    for (std::size_t i = 0; i < stride; ++i) acc[i] += acc[c * stride + i];
  }
  std::vector<CandidateCounts> out;
  out.reserve(categories.size());
  for (std::size_t j = 0; j < categories.size(); ++j) {
    out.push_back(make_children(std::span(acc).subspan(j * g2, g2), node));
    out.back().n_right = rows.size() - out.back().n_left;
  }
  return out;
}

// The packed group and outcome of each listed row, in list order.
std::vector<std::uint32_t> gather_words(const Dataset& dataset, std::span<const RowIndex> rows) {
  std::vector<std::uint32_t> words(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) words[i] = dataset.group_outcome[rows[i]];
  return words;
}

}  // namespace

std::vector<CandidateCounts> count_numeric_candidates(const Dataset& dataset,
                                                      const NumericColumn& column,
                                                      std::span<const RowIndex> rows,
                                                      std::span<const float> thresholds,
                                                      const GroupCounts& node) {
  return count_numeric(column.data(), false, rows, gather_words(dataset, rows), thresholds, node);
}

std::vector<CandidateCounts> count_string_candidates(const Dataset& dataset,
                                                     const StringCodes& column,
                                                     std::span<const RowIndex> rows,
                                                     std::span<const std::uint32_t> categories,
                                                     const GroupCounts& node) {
  return count_string(column, rows, gather_words(dataset, rows), categories, node);
}

std::optional<FeatureSplit> search_feature(const Dataset& dataset, ColumnRef column,
                                           std::span<const RowIndex> rows, const GroupCounts& node,
                                           double d_parent, const SplitSettings& settings,
                                           Rng& rng) {
  return search_feature(dataset, column, rows, gather_words(dataset, rows), node, d_parent,
                        settings, rng);
}

std::optional<FeatureSplit> search_feature(const Dataset& dataset, ColumnRef ref,
                                           std::span<const RowIndex> rows,
                                           std::span<const std::uint32_t> row_words,
                                           const GroupCounts& node, double d_parent,
                                           const SplitSettings& settings, Rng& rng) {
  std::vector<float> thresholds;
  std::vector<std::uint32_t> categories;
  std::vector<CandidateCounts> counts;
  if (ref.is_numeric()) {
    const NumericColumn& column = dataset.numeric(ref);
    if (settings.max_bins >= 2 &&
        candidate_sample_size(rows.size(), settings.max_bins) >= rows.size()) {
      // Every row is sampled: read the node's values once for both the candidates and the
      // counting pass.
      std::vector<float> values(rows.size());
      for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i + kPrefetchDistance < rows.size()) {
          __builtin_prefetch(column.data() + rows[i + kPrefetchDistance]);
        }
        values[i] = column[rows[i]];
      }
      std::vector<float> sample = values;
      thresholds = quantile_candidates(sample, settings.max_bins);
      if (thresholds.empty()) return std::nullopt;
      counts = count_numeric(values.data(), true, rows, row_words, thresholds, node);
    } else {
      thresholds = numeric_candidates(column, rows, settings.max_bins, rng);
      if (thresholds.empty()) return std::nullopt;
      counts = count_numeric(column.data(), false, rows, row_words, thresholds, node);
    }
  } else {
    const StringCodes& column = dataset.strings(ref);
    categories = string_candidates(column, rows, settings.max_bins, rng);
    if (categories.empty()) return std::nullopt;
    counts = count_string(column, rows, row_words, categories, node);
  }

  std::optional<std::size_t> best;
  double best_gain = kNoGain;
  for (std::size_t j = 0; j < counts.size(); ++j) {
    const CandidateCounts& cc = counts[j];
    if (!passes_size_test(cc.n_left, cc.n_right, settings.min_sample_leaf)) continue;
    const double gain =
        split_gain(node, rows.size(), d_parent, cc.left, cc.n_left, cc.right, cc.n_right, settings);
    if (gain > best_gain) {
      best_gain = gain;
      best = j;
    }
  }
  if (!best) return std::nullopt;
  FeatureSplit out;
  if (ref.is_numeric()) {
    out.split_value = SplitValue::numeric(thresholds[*best]);
  } else {
    const StringCodes& column = dataset.strings(ref);
    out.category = categories[*best];
    out.split_value = SplitValue::str(column.dictionary[out.category]);
  }
  out.gain = best_gain;
  out.left_counts = std::move(counts[*best].left);
  out.right_counts = std::move(counts[*best].right);
  return out;
}

namespace {

// What one split job sends back to its node: its feature's best candidate, or its failure.
struct JobReport {
  std::uint64_t draw = 0;  // the feature's place in the node's draw order
  std::optional<FeatureSplit> split;
  std::optional<std::string> failure;
};

}  // namespace

BestSplit find_best_split(const std::vector<std::string>& feature_cols,
                          const std::shared_ptr<const Dataset>& dataset, const NodeRows& rows,
                          const std::shared_ptr<const GroupCounts>& counts, double d_parent,
                          const SplitSettings& settings, std::uint64_t max_features,
                          WorkerPool& pool, const TreeDraws& draws, std::uint64_t slot) {
  const std::uint64_t searched = std::min<std::uint64_t>(max_features, feature_cols.size());
  const std::vector<std::uint64_t> positions = [&] {
    TreeDraws::Site site = draws.at(slot, 0);
    return sample_without_replacement(site.rng(), feature_cols.size(), searched);
  }();
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
    // Too little work to be worth handing over to the pool and waiting for it.
    for (std::uint64_t d = 0; d < positions.size(); ++d) {
      TreeDraws::Site site = draws.at(slot, positions[d] + 1);
      std::optional<FeatureSplit> split =
          search_feature(*dataset, dataset->column(feature_cols[positions[d]]), rows.span(),
                         rows.word_span(), *counts, d_parent, settings, site.rng());
      if (split) consider(d, *split);
    }
    return best;
  }
  auto [done_tx, done_rx] = make_channel<JobReport>();
  for (std::uint64_t d = 0; d < positions.size(); ++d) {
    pool.submit([tx = done_tx, d, ref = dataset->column(feature_cols[positions[d]]),
                 site = draws.at(slot, positions[d] + 1), dataset, rows, counts, d_parent,
                 settings]() mutable {
      JobReport report;
      report.draw = d;
      try {
        report.split = search_feature(*dataset, ref, rows.span(), rows.word_span(), *counts,
                                      d_parent, settings, site.rng());
      } catch (const Panic& p) {
        report_to_stderr(p.message(), p.where());
        report.failure = p.message();
      } catch (const std::exception& e) {
        report_to_stderr(e.what(), std::source_location::current());
        report.failure = e.what();
      }
      if (!tx.send(std::move(report))) panic(std::string(kUnwrapErr));
    });
  }
  done_tx.reset();

  std::optional<std::string> failure;
  std::uint64_t reports = 0;
  while (std::optional<JobReport> report = done_rx.recv()) {
    ++reports;
    if (report->failure) {
      if (!failure) failure = std::move(report->failure);
      continue;
    }
    if (report->split) consider(report->draw, *report->split);
  }
  if (failure) panic(std::move(*failure));
  if (reports != positions.size()) panic("a split search job ended without reporting its result");
  return best;
}

std::size_t partition_rows(const Dataset& dataset, const NodeRows& rows, const BestSplit& split,
                           RowVector& scratch) {
  RowVector& list = *rows.list;
  std::size_t kept = rows.begin;  // rows going left are compacted in place, the others wait
  scratch.clear();
  const auto route = [&](auto goes_left) {
    for (std::size_t i = rows.begin; i < rows.end; ++i) {
      const RowIndex r = list[i];
      if (goes_left(r)) {
        list[kept++] = r;
      } else {
        scratch.push_back(r);
      }
    }
  };
  const ColumnRef ref = dataset.column(split.col_name);
  if (ref.is_numeric()) {
    const float threshold = split.split_value.as_numeric();
    const NumericColumn& column = dataset.numeric(ref);
    route([&](RowIndex r) { return column[r] <= threshold; });
  } else {
    const std::string& text = split.split_value.as_str();
    const StringCodes& column = dataset.strings(ref);
    std::uint64_t category = split.category;
    if (category >= column.dictionary.size() || column.dictionary[category] != text) {
      // Not the code the search recorded: look the text up (absent: no row goes left).
      const auto it = std::find(column.dictionary.begin(), column.dictionary.end(), text);
      category = static_cast<std::uint64_t>(it - column.dictionary.begin());
    }
    route([&](RowIndex r) { return column.codes[r] == category; });
  }
  std::copy(scratch.begin(), scratch.end(), list.begin() + static_cast<std::ptrdiff_t>(kept));
  if (rows.words) {
    RowVector& words = *rows.words;
    for (std::size_t i = rows.begin; i < rows.end; ++i) words[i] = dataset.group_outcome[list[i]];
  }
  return kept;
}

}  // namespace quillmarsh
