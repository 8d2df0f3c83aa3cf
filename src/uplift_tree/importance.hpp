// How much one tree used each of its features for splitting.
#pragma once

#include <string>
#include <vector>

#include "uplift_tree/records.hpp"

namespace quillmarsh {

// One entry per entry of tree.feature_cols: with importance_type exactly "gain" the summed
// gain of the nodes splitting on that feature, with any other text their count. Every slot
// whose gain is above 0.0 counts; its col_idx must index feature_cols.
std::vector<double> feature_importance(const UpliftTreeModel& tree,
                                       const std::string& importance_type);

}  // namespace quillmarsh
