// Split search. Each searched feature costs one pass over the node's rows: every row is dropped
// into the interval (numeric) or category slot (string) it falls in, per group; prefix sums of
// the intervals give every threshold's left child and the node's counts minus the left give the
// right one. The result equals partitioning the rows once per candidate, count for count.
#include "uplift_tree/split_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "common/panic.hpp"
#include "concurrency/channel.hpp"

namespace quillmarsh {
namespace {

__extension__ using U128 = unsigned __int128;

constexpr std::uint64_t kSamplePerBin = 500;
constexpr std::size_t kLinearScanLimit = 64;  // thresholds searched by a branch-free scan

// Calls f(row) for a uniform sample of m distinct entries of rows (all of them when m covers
// the list: the candidates depend only on the sampled multiset of values).
template <class F>
void for_each_sampled(std::span<const RowIndex> rows, std::uint64_t m, Rng& rng, F&& f) {
  if (m >= rows.size()) {
    for (const RowIndex r : rows) f(r);
    return;
  }
  for (const std::uint64_t pos : sample_without_replacement(rng, rows.size(), m)) f(rows[pos]);
}

// NaN after every number, NaNs equivalent to each other: a strict weak order.
bool float_before(float a, float b) noexcept { return a < b || (!std::isnan(a) && std::isnan(b)); }

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
  cell[1] += static_cast<std::uint32_t>(
      static_cast<std::int32_t>(static_cast<std::int8_t>(word & 0xffu)));
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

std::uint64_t candidate_sample_size(std::uint64_t n, std::uint64_t max_bins) noexcept {
  const U128 cap = static_cast<U128>(max_bins) * kSamplePerBin;
  return cap < n ? static_cast<std::uint64_t>(cap) : n;
}

std::vector<float> quantile_candidates(std::span<float> sample, std::uint64_t max_bins) {
  std::vector<float> out;
  const std::uint64_t m = sample.size();
  if (max_bins < 2 || m == 0) return out;
  std::sort(sample.begin(), sample.end(), float_before);
  // Positions floor(i*m/max_bins) for i = 1..max_bins-1 never decrease; jump straight to the
  // first i that reaches the next position, so huge max_bins cost at most m steps.
  std::uint64_t i = 1;
  while (i < max_bins) {
    const auto pos = static_cast<std::uint64_t>(static_cast<U128>(i) * m / max_bins);
    const float v = sample[pos];
    if (out.empty() || !(out.back() == v)) out.push_back(v);
    const U128 next = (static_cast<U128>(pos + 1) * max_bins + m - 1) / m;
    i = next > i + 1 ? static_cast<std::uint64_t>(std::min<U128>(next, max_bins)) : i + 1;
  }
  return out;
}

std::vector<float> numeric_candidates(const NumericColumn& column, std::span<const RowIndex> rows,
                                      std::uint64_t max_bins, Rng& rng) {
  if (max_bins < 2) return {};
  const std::uint64_t m = candidate_sample_size(rows.size(), max_bins);
  std::vector<float> sample;
  sample.reserve(m);
  for_each_sampled(rows, m, rng, [&](RowIndex r) { sample.push_back(column[r]); });
  return quantile_candidates(sample, max_bins);
}

std::vector<std::uint32_t> string_candidates(const StringCodes& column,
                                             std::span<const RowIndex> rows,
                                             std::uint64_t max_bins, Rng& rng) {
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

std::vector<CandidateCounts> count_numeric_candidates(const Dataset& dataset,
                                                      const NumericColumn& column,
                                                      std::span<const RowIndex> rows,
                                                      std::span<const float> thresholds,
                                                      const GroupCounts& node) {
  const std::size_t g2 = node.size();
  // Thresholds are ascending with NaNs last; a NaN threshold takes no row.
  std::size_t nt = 0;
  while (nt < thresholds.size() && !std::isnan(thresholds[nt])) ++nt;
  const std::size_t slots = nt + 1;  // slot b: rows above exactly b thresholds (NaN: slot nt)
  std::vector<std::uint32_t> acc(slots * g2, 0);
  const std::uint32_t* words = dataset.group_outcome.data();
  const float* values = column.data();
  const auto nt32 = static_cast<std::uint32_t>(nt);

  if (nt <= kLinearScanLimit) {
    // Padded with +inf (no value lies above it) to a multiple of 8 for a vectorisable scan.
    const std::size_t padded = (nt + 7) / 8 * 8;
    std::vector<float> t(padded, std::numeric_limits<float>::infinity());
    std::copy(thresholds.begin(), thresholds.begin() + static_cast<std::ptrdiff_t>(nt), t.begin());
    for (const RowIndex r : rows) {
      const float v = values[r];
      std::uint32_t b = 0;
      for (std::size_t i = 0; i < padded; ++i) b += t[i] < v ? 1u : 0u;
      b = v == v ? b : nt32;
      add_row(acc.data() + b * g2, words[r]);
    }
  } else {
    const float* t = thresholds.data();
    for (const RowIndex r : rows) {
      const float v = values[r];
      auto b = static_cast<std::uint32_t>(std::lower_bound(t, t + nt, v) - t);
      b = v == v ? b : nt32;
      add_row(acc.data() + b * g2, words[r]);
    }
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

std::vector<CandidateCounts> count_string_candidates(const Dataset& dataset,
                                                     const StringCodes& column,
                                                     std::span<const RowIndex> rows,
                                                     std::span<const std::uint32_t> categories,
                                                     const GroupCounts& node) {
  const std::size_t g2 = node.size();
  const std::size_t slots = categories.size() + 1;  // the last slot: no candidate's category
  std::vector<std::uint32_t> acc(slots * g2, 0);
  const CategorySlots lookup(categories, column.dictionary.size(), rows.size());
  const std::uint32_t* words = dataset.group_outcome.data();
  const std::uint32_t* codes = column.codes.data();
  for (const RowIndex r : rows) {
    add_row(acc.data() + lookup.slot(codes[r]) * g2, words[r]);
  }
  std::vector<CandidateCounts> out;
  out.reserve(categories.size());
  for (std::size_t j = 0; j < categories.size(); ++j) {
    out.push_back(make_children(std::span(acc).subspan(j * g2, g2), node));
    out.back().n_right = rows.size() - out.back().n_left;
  }
  return out;
}

std::optional<FeatureSplit> search_feature(const Dataset& dataset, std::int32_t column_code,
                                           std::span<const RowIndex> rows,
                                           const GroupCounts& node, double d_parent,
                                           const SplitSettings& settings, Rng& rng) {
  std::vector<float> thresholds;
  std::vector<std::uint32_t> categories;
  std::vector<CandidateCounts> counts;
  if (column_code >= 0) {
    const NumericColumn& column = dataset.num_cols[static_cast<std::size_t>(column_code)];
    thresholds = numeric_candidates(column, rows, settings.max_bins, rng);
    if (thresholds.empty()) return std::nullopt;
    counts = count_numeric_candidates(dataset, column, rows, thresholds, node);
  } else {
    const StringCodes& column = dataset.str_cols[static_cast<std::size_t>(~column_code)];
    categories = string_candidates(column, rows, settings.max_bins, rng);
    if (categories.empty()) return std::nullopt;
    counts = count_string_candidates(dataset, column, rows, categories, node);
  }

  std::optional<std::size_t> best;
  double best_gain = kNoGain;
  for (std::size_t j = 0; j < counts.size(); ++j) {
    const CandidateCounts& cc = counts[j];
    if (!passes_size_test(cc.n_left, cc.n_right, settings.min_sample_leaf)) continue;
    const double gain = split_gain(node, rows.size(), d_parent, cc.left, cc.n_left, cc.right,
                                   cc.n_right, settings);
    if (gain > best_gain) {
      best_gain = gain;
      best = j;
    }
  }
  if (!best) return std::nullopt;
  FeatureSplit out;
  if (column_code >= 0) {
    out.split_value = SplitValue::numeric(thresholds[*best]);
  } else {
    const StringCodes& column = dataset.str_cols[static_cast<std::size_t>(~column_code)];
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
  std::string col_name;
  std::optional<FeatureSplit> split;
  std::optional<std::string> failure;
};

}  // namespace

BestSplit find_best_split(const std::vector<std::string>& feature_cols, const NodeData& node,
                          std::shared_ptr<const GroupCounts> counts, double d_parent,
                          const SplitSettings& settings, std::uint64_t max_features,
                          WorkerPool& pool, Rng& rng) {
  const std::uint64_t searched = std::min<std::uint64_t>(max_features, feature_cols.size());
  const std::vector<std::uint64_t> positions =
      sample_without_replacement(rng, feature_cols.size(), searched);
  auto [done_tx, done_rx] = make_channel<JobReport>();
  for (const std::uint64_t pos : positions) {
    pool.submit([tx = done_tx, name = feature_cols[pos], dataset = node.dataset, rows = node.rows,
                 counts, d_parent, settings]() mutable {
      JobReport report;
      report.col_name = std::move(name);
      try {
        const std::int32_t code = dataset->column_code(report.col_name);
        report.split = search_feature(*dataset, code, *rows, *counts, d_parent, settings,
                                      thread_rng());
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

  // Reports arrive in the order the jobs finished; a later one wins only with a greater gain.
  BestSplit best;
  std::optional<std::string> failure;
  std::uint64_t reports = 0;
  while (std::optional<JobReport> report = done_rx.recv()) {
    ++reports;
    if (report->failure) {
      if (!failure) failure = std::move(report->failure);
      continue;
    }
    if (!report->split || !(report->split->gain > best.gain)) continue;
    FeatureSplit& s = *report->split;
    best.left_counts = std::move(s.left_counts);
    best.right_counts = std::move(s.right_counts);
    best.col_name = std::move(report->col_name);
    best.split_value = std::move(s.split_value);
    best.category = s.category;
    best.gain = s.gain;
  }
  if (failure) panic(std::move(*failure));
  if (reports != positions.size()) panic("a split search job ended without reporting its result");
  return best;
}

std::pair<RowList, RowList> partition_rows(const NodeData& node, const BestSplit& split) {
  const Dataset& dataset = *node.dataset;
  const RowVector& rows = *node.rows;
  RowList left = node.pool->take();
  RowList right = node.pool->take();
  std::uint64_t n_left = 0;
  for (std::size_t i = 0; i < split.left_counts.size(); i += 2) {
    n_left += static_cast<std::uint32_t>(split.left_counts[i]);
  }
  if (n_left <= rows.size()) {
    left->reserve(n_left);
    right->reserve(rows.size() - n_left);
  }
  const std::int32_t code = dataset.column_code(split.col_name);
  if (code >= 0) {
    const float threshold = split.split_value.as_numeric();
    const NumericColumn& column = dataset.num_cols[static_cast<std::size_t>(code)];
    for (const RowIndex r : rows) (column[r] <= threshold ? *left : *right).push_back(r);
  } else {
    const std::string& text = split.split_value.as_str();
    const StringCodes& column = dataset.str_cols[static_cast<std::size_t>(~code)];
    std::uint64_t category = split.category;
    if (category >= column.dictionary.size() || column.dictionary[category] != text) {
      // Not the code the search recorded: look the text up (absent: no row goes left).
      const auto it = std::find(column.dictionary.begin(), column.dictionary.end(), text);
      category = static_cast<std::uint64_t>(it - column.dictionary.begin());
    }
    for (const RowIndex r : rows) (column.codes[r] == category ? *left : *right).push_back(r);
  }
  return {std::move(left), std::move(right)};
}

}  // namespace quillmarsh
