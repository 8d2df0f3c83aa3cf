// Results handed back to Python as new lists. A failure to build one (the interpreter out of
// memory) is an internal failure.
#pragma once

#include <string>
#include <vector>

#include "lib/python.hpp"
#include "uplift_random_forest/predict.hpp"

namespace quillmarsh {

PyObject* float_list(const std::vector<double>& values);
PyObject* float_table(const FloatTable& table);
PyObject* text_list(const std::vector<std::string>& texts);

}  // namespace quillmarsh
