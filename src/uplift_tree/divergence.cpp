// Divergence arithmetic. Sizes and sums wrap as 32-bit two's complement (the counts are
// accumulated unsigned); every double expression is written in its documented order.
#include "uplift_tree/divergence.hpp"

#include <array>
#include <cmath>

#include "common/panic.hpp"

namespace quillmarsh {
namespace {

constexpr double kKlGuard = 19.931568569324174;  // log2(10^6)
constexpr double kChiGuard = 1000000.0;

using Measure = double (*)(double, double) noexcept;
constexpr std::array<Measure, 3> kMeasures = {&divergence_ed, &divergence_kl, &divergence_chi};

bool is_zero(double v) noexcept { return v == 0.0; }

double as_double(std::int32_t v) noexcept { return static_cast<double>(v); }

// a - b with 32-bit wrap-around, the row count taken to 32 bits first.
std::int32_t wrapping_sub(std::uint64_t a, std::int32_t b) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

std::int32_t wrapping_add(std::int32_t a, std::int32_t b) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

}  // namespace

GroupCounts group_counts(const Dataset& dataset, std::span<const RowIndex> rows) {
  return group_counts(dataset.group_outcome, static_cast<std::size_t>(dataset.max_treatment) + 1,
                      rows);
}

GroupCounts group_counts(std::span<const std::uint32_t> group_outcome, std::size_t groups,
                         std::span<const RowIndex> rows) {
  const std::size_t len = 2 * groups;
  std::vector<std::uint32_t> acc(len, 0);
  const std::uint64_t n = group_outcome.size();
  for (const RowIndex r : rows) {
    if (r >= n) panic_index(n, r);
    const std::uint32_t word = group_outcome[r];
    if ((word >> 8) >= groups) panic("a row's group is beyond the groups counted");
    std::uint32_t* cell = acc.data() + 2 * static_cast<std::size_t>(word >> 8);
    cell[0] += 1;
    const auto outcome = static_cast<std::int8_t>(word & 0xffu);
    cell[1] += static_cast<std::uint32_t>(static_cast<std::int32_t>(outcome));
  }
  GroupCounts out(len);
  for (std::size_t i = 0; i < len; ++i) out[i] = static_cast<std::int32_t>(acc[i]);
  return out;
}

double divergence_ed(double p, double q) noexcept {
  const double d = p - q;
  const double sq = d * d;
  return sq + sq;
}

double divergence_kl(double p, double q) noexcept {
  if (is_zero(p) || is_zero(q)) return kKlGuard;
  return p * std::log2(p / q) + (1.0 - p) * std::log2((1.0 - p) / (1.0 - q));
}

double divergence_chi(double p, double q) noexcept {
  if (is_zero(p) || is_zero(q)) return kChiGuard;
  const double d = p - q;
  const double sq = d * d;
  return sq / q + sq / (1.0 - q);
}

double node_divergence(std::span<const std::int32_t> c, EvalFunc eval_func, bool balance,
                       std::uint64_t n_rows) {
  if (c.size() % 2 != 0 || c.size() < 4) {
    panic("assertion failed: v.len() % 2 == 0 && v.len() >= 4");
  }
  const Measure measure = kMeasures[static_cast<std::size_t>(eval_func)];
  const double q = as_double(c[1]) / as_double(c[0]);
  const std::size_t k = c.size() / 2 - 1;
  double sum = 0.0;
  if (balance) {
    const double w = 1.0 / static_cast<double>(k);
    for (std::size_t g = 1; g <= k; ++g) {
      const double p = as_double(c[2 * g + 1]) / as_double(c[2 * g]);
      sum += measure(p, q) * w;
    }
  } else {
    const double treated = as_double(wrapping_sub(n_rows, c[0]));
    for (std::size_t g = 1; g <= k; ++g) {
      const double p = as_double(c[2 * g + 1]) / as_double(c[2 * g]);
      sum += measure(p, q) * (as_double(c[2 * g]) / treated);
    }
  }
  return sum;
}

double gain_normaliser(std::span<const std::int32_t> c, std::span<const std::int32_t> c_left,
                       std::uint64_t n, std::uint64_t n_left, double alpha) noexcept {
  const std::int32_t n_c = c[0];
  const std::int32_t n_cl = c_left[0];
  const std::int32_t treated = wrapping_sub(n, n_c);
  const std::int32_t treated_left = wrapping_sub(n_left, n_cl);
  const double q = as_double(n_cl) / static_cast<double>(n_left);
  const double a_c = as_double(n_cl) / as_double(n_c);
  const double a_t = as_double(treated_left) / as_double(treated);

  const double d_ct = a_c - a_t;
  double z = 2.0 * (d_ct * d_ct) * (((1.0 - q * q) - (1.0 - q) * (1.0 - q)) * alpha) + 0.5;

  const std::size_t k = c.size() / 2 - 1;
  for (std::size_t g = 1; g <= k; ++g) {
    const std::int32_t n_lg = c_left[2 * g];
    const double r = as_double(n_lg) / as_double(wrapping_add(n_lg, n_cl));
    const double a_g = as_double(n_lg) / as_double(c[2 * g]);
    const double d_gc = a_g - a_c;
    z += 2.0 * (d_gc * d_gc) * (((1.0 - r * r) - (1.0 - r) * (1.0 - r)) * (1.0 - alpha));
  }
  for (std::size_t g = 0; g <= k; ++g) {
    const double share = as_double(c_left[2 * g]) / as_double(c[2 * g]);
    z += (1.0 - share * share) * (as_double(c_left[2 * g]) / static_cast<double>(n_left));
  }
  return z;
}

SplitSettings split_settings(const UpliftTreeModel& tree) noexcept {
  return {.max_bins = tree.max_bins,
          .min_sample_leaf = tree.min_sample_leaf,
          .alpha = tree.alpha,
          .balance = tree.balance,
          .regularization = tree.regularization,
          .eval_func = tree.eval_func,
          .inline_search_cells = kInlineSearchCells,
          .min_samples_treatment = std::nullopt};
}

double split_gain(std::span<const std::int32_t> c, std::uint64_t n, double d_parent,
                  std::span<const std::int32_t> c_left, std::uint64_t n_left,
                  std::span<const std::int32_t> c_right, std::uint64_t n_right,
                  const SplitSettings& settings) {
  const double d_left = node_divergence(c_left, settings.eval_func, settings.balance, n_left);
  const double d_right = node_divergence(c_right, settings.eval_func, settings.balance, n_right);
  const double pi = static_cast<double>(n_left) / static_cast<double>(n);
  double gain = (d_right * (1.0 - pi)) + (d_left * pi) - d_parent;
  if (settings.regularization) gain = gain / gain_normaliser(c, c_left, n, n_left, settings.alpha);
  return gain;
}

std::vector<double> uplift_vector(std::span<const std::int32_t> c) {
  const std::size_t k = c.size() / 2 - 1;
  std::vector<double> u;
  u.reserve(k);
  const double control = as_double(c[1]) / as_double(c[0]);
  for (std::size_t g = 1; g <= k; ++g) {
    u.push_back(as_double(c[2 * g + 1]) / as_double(c[2 * g]) - control);
  }
  return u;
}

}  // namespace quillmarsh
