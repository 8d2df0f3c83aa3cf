// Forest records and tree templates for the C++ tests, from their settings in table order.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "uplift_random_forest/forest.hpp"

namespace quillmarsh {

// An untrained record holding the nine settings unchecked.
inline UpliftRandomForestModel make_forest(std::int32_t n_estimators, std::uint64_t max_features,
                                           std::uint64_t max_depth, std::uint64_t min_sample_leaf,
                                           std::string eval_func, std::uint64_t max_bins,
                                           bool balance, bool regularization, double alpha) {
  return {.n_estimators = n_estimators,
          .max_features = max_features,
          .max_depth = max_depth,
          .min_sample_leaf = min_sample_leaf,
          .eval_func = std::move(eval_func),
          .max_bins = max_bins,
          .treatment_col = {},
          .outcome_col = {},
          .balance = balance,
          .regularization = regularization,
          .alpha = alpha,
          .trees = {}};
}

// A tree template with the given settings, through the forest as training makes it.
inline UpliftTreeModel make_tree_template(std::uint64_t max_depth, std::uint64_t min_sample_leaf,
                                          std::uint64_t max_features, EvalFunc eval_func,
                                          std::uint64_t max_bins, bool balance, bool regularization,
                                          double alpha) {
  const UpliftRandomForestModel forest = make_forest(1, max_features, max_depth, min_sample_leaf,
                                                     "", max_bins, balance, regularization, alpha);
  return make_tree_template(forest, eval_func);
}

}  // namespace quillmarsh
