#include "uplift_random_forest/out_of_bag.hpp"

#include <utility>

#include "uplift_tree/grow.hpp"

namespace quillmarsh {

std::vector<std::vector<bool>> rows_held(const TrainingRoot& root, const TreeOptions& options,
                                         std::uint64_t seed, std::uint64_t n_trees,
                                         const CancelFlag* cancel) {
  const std::uint64_t n_rows = root.dataset->n_rows();
  std::vector<std::vector<bool>> held;
  held.reserve(n_trees);
  for (std::uint64_t t = 0; t < n_trees; ++t) {
    if (cancel != nullptr) cancel->throw_if_requested();
    const TreeSample sample = tree_sample_of(root, options, TreeDraws::seeded(seed, t));
    std::vector<bool> rows(n_rows, false);
    for (const RowIndex r : sample.split_rows) rows[r] = true;
    for (const RowIndex r : sample.estimation_rows) rows[r] = true;
    held.push_back(std::move(rows));
  }
  return held;
}

}  // namespace quillmarsh
