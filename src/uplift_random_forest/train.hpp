// Forest training: grows n_estimators trees on training threads sharing one worker pool and
// appends them to the record in order of completion.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "uplift_random_forest/forest.hpp"
#include "uplift_random_forest/progress.hpp"
#include "uplift_tree/columns.hpp"

namespace quillmarsh {

// `intake` converts the caller's columns (on the calling thread, after the record's column
// names were replaced); it panics with the intake messages. Failures end fit with a Panic.
void fit(UpliftRandomForestModel& forest, const std::function<TrainingColumns()>& intake,
         const std::string& treatment_col, const std::string& outcome_col, std::int32_t n_threads,
         ProgressSink& sink);

}  // namespace quillmarsh
