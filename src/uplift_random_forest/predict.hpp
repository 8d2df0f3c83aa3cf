// Forest prediction: the trees' leaf uplift vectors summed and divided by n_estimators.
#pragma once

#include <cstdint>
#include <vector>

#include "uplift_random_forest/forest.hpp"
#include "uplift_tree/row_batch.hpp"

namespace quillmarsh {

// One inner list per input row, in row order.
using FloatTable = std::vector<std::vector<double>>;

std::vector<double> predict_row(const UpliftRandomForestModel& forest, RowView row);
FloatTable predict(const UpliftRandomForestModel& forest, RowBatch rows, std::int32_t n_threads);

}  // namespace quillmarsh
