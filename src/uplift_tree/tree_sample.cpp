// Drawing the rows of one tree. Both draws keep the rows in ascending order, so that a tree's
// row list stays in dataset order (the order the column reads rely on for their cache use).
#include "uplift_tree/tree_sample.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>
#include <vector>

#include "common/panic.hpp"

namespace quillmarsh {
namespace {

// The group of a row: the high bits of its packed word, as Dataset packs them.
std::uint32_t group_of(std::span<const std::uint32_t> group_outcome, RowIndex row) {
  return group_outcome[row] >> 8;
}

// How many of `rows` each group holds, indexed by group.
std::vector<std::uint64_t> group_sizes(std::span<const RowIndex> rows,
                                       std::span<const std::uint32_t> group_outcome) {
  std::vector<std::uint64_t> sizes;
  for (const RowIndex row : rows) {
    const std::uint32_t g = group_of(group_outcome, row);
    if (g >= sizes.size()) sizes.resize(std::size_t{g} + 1, 0);
    ++sizes[g];
  }
  return sizes;
}

// Each group's part of a sample of m rows out of n: its share round(m x n_g / n), and at least
// one row for a group that has any, so that no group of the experiment is missing from a
// tree. Without replacement (m <= n) a share never exceeds the group's rows.
std::vector<std::uint64_t> group_shares(const std::vector<std::uint64_t>& sizes, std::uint64_t n,
                                        std::uint64_t m) {
  std::vector<std::uint64_t> shares(sizes.size(), 0);
  for (std::size_t g = 0; g < sizes.size(); ++g) {
    if (sizes[g] == 0) continue;
    const double share =
        std::round(static_cast<double>(m) * static_cast<double>(sizes[g]) / static_cast<double>(n));
    shares[g] = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(share));
  }
  return shares;
}

// Without replacement: selection sampling within each group, one draw per row in order; each
// row of group g is kept with probability (g's share left) / (g's rows left), which keeps
// exactly its share, uniformly, in ascending order.
RowVector draw_without_replacement(std::span<const RowIndex> rows,
                                   std::span<const std::uint32_t> group_outcome,
                                   std::vector<std::uint64_t> left,
                                   std::vector<std::uint64_t> wanted, Rng& rng) {
  RowVector out;
  out.reserve(std::accumulate(wanted.begin(), wanted.end(), std::uint64_t{0}));
  for (const RowIndex row : rows) {
    const std::uint32_t g = group_of(group_outcome, row);
    if (rng.below(left[g]) < wanted[g]) {
      out.push_back(row);
      --wanted[g];
    }
    --left[g];
  }
  return out;
}

// With replacement: each group in turn (control first) draws its share among its own rows;
// then every row is written as often as it was drawn, in ascending order.
RowVector draw_with_replacement(std::span<const RowIndex> rows,
                                std::span<const std::uint32_t> group_outcome,
                                const std::vector<std::uint64_t>& sizes,
                                const std::vector<std::uint64_t>& wanted, Rng& rng) {
  // drawn[offset[g] + k]: the draws of the k-th row of group g
  std::vector<std::uint64_t> offset(sizes.size(), 0);
  for (std::size_t g = 1; g < sizes.size(); ++g) offset[g] = offset[g - 1] + sizes[g - 1];
  std::vector<std::uint32_t> drawn(rows.size(), 0);
  for (std::size_t g = 0; g < sizes.size(); ++g) {
    for (std::uint64_t d = 0; d < wanted[g]; ++d) ++drawn[offset[g] + rng.below(sizes[g])];
  }
  RowVector out;
  out.reserve(std::accumulate(wanted.begin(), wanted.end(), std::uint64_t{0}));
  for (const RowIndex row : rows) {
    out.insert(out.end(), drawn[offset[group_of(group_outcome, row)]++], row);
  }
  return out;
}

RowVector draw_rows(std::span<const RowIndex> rows, std::span<const std::uint32_t> group_outcome,
                    const TreeOptions& options, Rng& rng) {
  const std::uint64_t n = rows.size();
  if (!options.samples()) return RowVector(rows.begin(), rows.end());
  const std::uint64_t m = options.max_samples.value_or(n);
  if (!options.bootstrap && m > n) {
    panic("max_samples " + std::to_string(m) + " exceeds the " + std::to_string(n) +
          " rows, which are drawn without replacement");
  }
  if (n == 0) return {};
  const std::vector<std::uint64_t> sizes = group_sizes(rows, group_outcome);
  std::vector<std::uint64_t> wanted = group_shares(sizes, n, m);
  if (!options.bootstrap) {
    return draw_without_replacement(rows, group_outcome, sizes, std::move(wanted), rng);
  }
  return draw_with_replacement(rows, group_outcome, sizes, wanted, rng);
}

}  // namespace

TreeSample draw_tree_sample(std::span<const RowIndex> rows,
                            std::span<const std::uint32_t> group_outcome,
                            const TreeOptions& options, Rng& sample_rng, Rng& honest_rng) {
  TreeSample sample;
  RowVector drawn = draw_rows(rows, group_outcome, options, sample_rng);
  if (!options.honest_fraction) {
    sample.split_rows = std::move(drawn);
    return sample;
  }
  // The distinct rows are the runs of equal entries of the ascending sample; each group's
  // are divided on their own, so that both parts hold every group in proportion.
  std::vector<std::size_t> run_starts;
  std::vector<std::uint64_t> distinct;  // per group
  for (std::size_t i = 0; i < drawn.size(); ++i) {
    if (i > 0 && drawn[i] == drawn[i - 1]) continue;
    run_starts.push_back(i);
    const std::uint32_t g = group_of(group_outcome, drawn[i]);
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
    const std::uint32_t g = group_of(group_outcome, drawn[begin]);
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
