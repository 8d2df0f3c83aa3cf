// The forest's feature names and its per-feature importance, averaged over n_estimators.
#include "uplift_random_forest/importance.hpp"

#include <cstdint>

#include "common/panic.hpp"
#include "uplift_tree/importance.hpp"

namespace quillmarsh {
namespace {

// The forest has no feature list of its own: it is the first tree's.
const std::vector<std::string>& first_feature_cols(const UpliftRandomForestModel& forest) {
  if (forest.trees.empty()) panic(std::string(kUnwrapNone));
  return forest.trees.front().feature_cols;
}

}  // namespace

std::vector<std::string> feature_cols(const UpliftRandomForestModel& forest) {
  return first_feature_cols(forest);
}

std::vector<double> get_feature_importance(const UpliftRandomForestModel& forest,
                                           const std::string& importance_type) {
  std::vector<double> sum(first_feature_cols(forest).size(), 0.0);
  for (const UpliftTreeModel& tree : forest.trees) {
    const std::vector<double> per_tree = feature_importance(tree, importance_type);
    // Entries beyond the first tree's features are ignored; a shorter list is a fault.
    for (std::size_t i = 0; i < sum.size(); ++i) {
      if (i >= per_tree.size()) panic_index(per_tree.size(), i);
      sum[i] += per_tree[i];
    }
  }
  // Divided by the configured tree count, not by trees.size(): the mean of one fit.
  const double divisor = static_cast<double>(forest.n_estimators);
  for (double& v : sum) v /= divisor;
  return sum;
}

}  // namespace quillmarsh
