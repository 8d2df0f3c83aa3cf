// The forest's feature names and per-feature importance averaged over n_estimators.
#pragma once

#include <string>
#include <vector>

#include "uplift_random_forest/forest.hpp"

namespace quillmarsh {

std::vector<std::string> feature_cols(const UpliftRandomForestModel& forest);
std::vector<double> get_feature_importance(const UpliftRandomForestModel& forest,
                                           const std::string& importance_type);

}  // namespace quillmarsh
