// Results handed back to Python as new lists. A failure to build one (the interpreter out of
// memory) is an internal failure.
#pragma once

#include <string>
#include <vector>

#include "lib/python.hpp"
#include "uplift_random_forest/forest_predict.hpp"

namespace quillmarsh {

// Imports the gc module that float_table pauses the collector with. Called once, at module
// initialisation: importing runs Python code, which inside a call would run a pending signal
// handler. False with the import's error set.
bool import_collector_control();

PyObject* float_list(const std::vector<double>& values);
PyObject* float_table(const FloatTable& table);
PyObject* text_list(const std::vector<std::string>& texts);

}  // namespace quillmarsh
