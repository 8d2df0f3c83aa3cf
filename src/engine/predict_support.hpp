// What the Forest's prediction methods share: checking the caller's columns against the forest,
// handing them to the core, and running the core's work on a helper thread.
#pragma once

#include <functional>
#include <vector>

#include "concurrency/cancel.hpp"
#include "engine/columns.hpp"
#include "engine/forest_object.hpp"
#include "uplift_random_forest/predict.hpp"

namespace quillmarsh {

// Every feature a split tests comes in the kind the splits compare it with; false with a
// Python error set otherwise.
bool check_kinds(const EngineForest& forest, const CallerColumns& columns);
// Every code indexes its categories or is 0xFFFFFFFF; false with a ValueError otherwise.
bool check_codes(const CallerColumns& columns, const std::vector<std::string>& names);
// The core's view of the caller's columns.
std::vector<ColumnInput> column_inputs(const CallerColumns& columns);
// Runs `work` on a helper thread with the interpreter lock released, waiting interruptibly:
// false once Ctrl-C (or another signal handler's exception) stopped it; panics with the work's
// failure once every thread of it has ended.
bool run_on_helper(const std::function<void(const CancelFlag*)>& work);

}  // namespace quillmarsh
