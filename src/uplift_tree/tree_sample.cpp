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

TreeSample draw_tree_sample(std::span<const RowIndex> rows, const TreeOptions& options,
                            Rng& sample_rng, Rng& honest_rng) {
  TreeSample sample;
  RowVector drawn = draw_rows(rows, options, sample_rng);
  if (!options.honest_fraction) {
    sample.split_rows = std::move(drawn);
    return sample;
  }
  // The distinct rows are the runs of equal entries of the ascending sample.
  std::vector<std::size_t> run_starts;
  for (std::size_t i = 0; i < drawn.size(); ++i) {
    if (i == 0 || drawn[i] != drawn[i - 1]) run_starts.push_back(i);
  }
  const std::uint64_t d = run_starts.size();
  const double wanted = std::round(static_cast<double>(d) * *options.honest_fraction);
  const std::uint64_t e =
      wanted <= 0.0 ? 0 : std::min<std::uint64_t>(static_cast<std::uint64_t>(wanted), d);
  std::vector<bool> estimation(d, false);
  select_in_order(honest_rng, d, e, [&](std::uint64_t r) { estimation[r] = true; });
  for (std::uint64_t r = 0; r < d; ++r) {
    const std::size_t end = r + 1 < d ? run_starts[r + 1] : drawn.size();
    RowVector& to = estimation[r] ? sample.estimation_rows : sample.split_rows;
    to.insert(to.end(), drawn.begin() + static_cast<std::ptrdiff_t>(run_starts[r]),
              drawn.begin() + static_cast<std::ptrdiff_t>(end));
  }
  return sample;
}

}  // namespace quillmarsh
