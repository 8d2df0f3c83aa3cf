// Drawing the rows of one tree. Both draws keep the rows in ascending order, so that a tree's
// row list stays in dataset order (the order the column reads rely on for their cache use).
#include "uplift_tree/tree_sample.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "common/panic.hpp"

namespace quillmarsh {
namespace {

// Selection sampling: each of the n items is kept with probability (wanted left) / (items
// left), which keeps exactly k of them, uniformly, in their order. One draw per item.
template <class Keep>
void select_in_order(Rng& rng, std::uint64_t n, std::uint64_t k, Keep keep) {
  std::uint64_t left = k;
  for (std::uint64_t i = 0; i < n && left > 0; ++i) {
    if (rng.below(n - i) < left) {
      keep(i);
      --left;
    }
  }
}

RowVector draw_rows(std::span<const RowIndex> rows, const TreeOptions& options, Rng& rng) {
  const std::uint64_t n = rows.size();
  if (!options.samples()) return RowVector(rows.begin(), rows.end());
  const std::uint64_t m = options.max_samples.value_or(n);
  RowVector out;
  if (!options.bootstrap) {
    if (m > n) {
      panic("max_samples " + std::to_string(m) + " exceeds the " + std::to_string(n) +
            " rows, which are drawn without replacement");
    }
    out.reserve(m);
    select_in_order(rng, n, m, [&](std::uint64_t i) { out.push_back(rows[i]); });
    return out;
  }
  if (n == 0) return out;
  // With replacement: how often each row was drawn, then every row that many times in order.
  std::vector<std::uint32_t> drawn(n, 0);
  for (std::uint64_t d = 0; d < m; ++d) ++drawn[rng.below(n)];
  out.reserve(m);
  for (std::uint64_t i = 0; i < n; ++i) out.insert(out.end(), drawn[i], rows[i]);
  return out;
}

}  // namespace

TreeSample draw_tree_sample(std::span<const RowIndex> rows,
                            std::span<const std::uint32_t> group_outcome,
                            const TreeOptions& options, Rng& sample_rng, Rng& honest_rng) {
  TreeSample sample;
  RowVector drawn = draw_rows(rows, options, sample_rng);
  if (!options.honest_fraction) {
    sample.split_rows = std::move(drawn);
    return sample;
  }
  // The distinct rows are the runs of equal entries of the ascending sample; each group's
  // are divided on their own, so that both parts hold every group in proportion.
  const auto group_of = [&](RowIndex row) { return group_outcome[row] >> 8; };
  std::vector<std::size_t> run_starts;
  std::vector<std::uint64_t> distinct;  // per group
  for (std::size_t i = 0; i < drawn.size(); ++i) {
    if (i > 0 && drawn[i] == drawn[i - 1]) continue;
    run_starts.push_back(i);
    const std::uint32_t g = group_of(drawn[i]);
    if (g >= distinct.size()) distinct.resize(std::size_t{g} + 1, 0);
    ++distinct[g];
  }
  std::vector<std::uint64_t> wanted(distinct.size());
  for (std::size_t g = 0; g < distinct.size(); ++g) {
    const double share = std::round(static_cast<double>(distinct[g]) * *options.honest_fraction);
    wanted[g] = share <= 0.0 ? 0 : std::min(static_cast<std::uint64_t>(share), distinct[g]);
  }
  // Selection sampling within each group, one draw per distinct row in order.
  for (std::size_t r = 0; r < run_starts.size(); ++r) {
    const std::size_t begin = run_starts[r];
    const std::size_t end = r + 1 < run_starts.size() ? run_starts[r + 1] : drawn.size();
    const std::uint32_t g = group_of(drawn[begin]);
    const bool estimation = honest_rng.below(distinct[g]) < wanted[g];
    --distinct[g];
    if (estimation) --wanted[g];
    RowVector& to = estimation ? sample.estimation_rows : sample.split_rows;
    to.insert(to.end(), drawn.begin() + static_cast<std::ptrdiff_t>(begin),
              drawn.begin() + static_cast<std::ptrdiff_t>(end));
  }
  return sample;
}

RowVector half_sample(std::span<const RowIndex> rows, std::span<const std::uint32_t> group_outcome,
                      Rng& rng) {
  std::vector<std::uint64_t> left;  // per group: rows not yet visited
  for (const RowIndex r : rows) {
    const std::uint32_t g = group_outcome[r] >> 8;
    if (g >= left.size()) left.resize(std::size_t{g} + 1, 0);
    ++left[g];
  }
  std::vector<std::uint64_t> wanted(left.size());
  for (std::size_t g = 0; g < left.size(); ++g) {
    wanted[g] = left[g] == 0 ? 0 : std::max<std::uint64_t>(left[g] / 2, 1);
  }
  RowVector half;
  half.reserve(rows.size() / 2 + left.size());
  for (const RowIndex r : rows) {
    const std::uint32_t g = group_outcome[r] >> 8;
    if (rng.below(left[g]) < wanted[g]) {
      half.push_back(r);
      --wanted[g];
    }
    --left[g];
  }
  return half;
}

}  // namespace quillmarsh
