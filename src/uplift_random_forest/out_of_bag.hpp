// Which training rows each tree of a seeded forest held, regenerated from the tree's streams.
#pragma once

#include <cstdint>
#include <vector>

#include "concurrency/cancel.hpp"
#include "uplift_tree/dataset.hpp"
#include "uplift_tree/tree_sample.hpp"

namespace quillmarsh {

// Per tree 0 .. n_trees-1 and per row of the root's dataset: whether the tree grown from
// `root` under (seed, tree) and `options` held the row, to split or to estimate. Regenerating
// a tree's rows costs as much as drawing them did; the result takes n_trees x rows bits.
// Reads `cancel` between trees.
std::vector<std::vector<bool>> rows_held(const NodeData& root, const TreeOptions& options,
                                         std::uint64_t seed, std::uint64_t n_trees,
                                         const CancelFlag* cancel);

}  // namespace quillmarsh
