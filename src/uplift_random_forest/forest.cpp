// Construction of the forest record and of its tree template.
#include "uplift_random_forest/forest.hpp"

#include <utility>

namespace quillmarsh {

UpliftRandomForestModel make_forest(std::int32_t n_estimators, std::uint64_t max_features,
                                    std::uint64_t max_depth, std::uint64_t min_sample_leaf,
                                    std::string eval_func, std::uint64_t max_bins, bool balance,
                                    bool regularization, double alpha) {
  UpliftRandomForestModel forest;
  forest.n_estimators = n_estimators;
  forest.max_features = max_features;
  forest.max_depth = max_depth;
  forest.min_sample_leaf = min_sample_leaf;
  forest.eval_func = std::move(eval_func);
  forest.max_bins = max_bins;
  forest.balance = balance;
  forest.regularization = regularization;
  forest.alpha = alpha;
  return forest;
}

UpliftTreeModel make_tree_template(const UpliftRandomForestModel& forest, EvalFunc eval_func) {
  return make_tree_template(forest.max_depth, forest.min_sample_leaf, forest.max_features,
                            eval_func, forest.max_bins, forest.balance, forest.regularization,
                            forest.alpha);
}

}  // namespace quillmarsh
