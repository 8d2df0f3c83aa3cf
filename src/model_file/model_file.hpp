// The model file: the forest record as one compact JSON document.
#pragma once

#include <string>

#include "uplift_random_forest/forest.hpp"

namespace quillmarsh {

// Both panic with "called `Result::unwrap()` on an `Err` value: " + the error's rendering.
void save_model(const UpliftRandomForestModel& forest, const std::string& path);
UpliftRandomForestModel load_model(const std::string& path);

}  // namespace quillmarsh
