// Per-feature split gains or split counts of one tree.
#include "uplift_tree/importance.hpp"

#include <cstdint>

#include "common/panic.hpp"

namespace quillmarsh {

std::vector<double> feature_importance(const UpliftTreeModel& tree,
                                       const std::string& importance_type) {
  const bool by_gain = importance_type == "gain";
  std::vector<double> result(tree.feature_cols.size(), 0.0);
  for (const TreeNode& node : tree.nodes) {  // every slot, in index order
    // Leaves and unreached slots hold gain 0.0; a NaN gain is not "<= 0.0" and counts.
    if (node.gain <= 0.0) continue;
    const auto c = static_cast<std::uint64_t>(static_cast<std::int64_t>(node.col_idx));
    if (c >= result.size()) panic_index(result.size(), c);
    result[c] += by_gain ? node.gain : 1.0;
  }
  return result;
}

}  // namespace quillmarsh
