// The class's prediction table handed back to Python: a new list of float lists.
#pragma once

#include "binding/python.hpp"
#include "uplift_random_forest/forest_predict.hpp"

namespace quillmarsh {

// Imports the gc module that float_table pauses the collector with. Called once, at module
// initialisation: importing runs Python code, which inside a call would run a pending signal
// handler. False with the import's error set.
bool import_collector_control();

// A failure to build the table (the interpreter out of memory) is an internal failure.
PyObject* float_table(const FloatTable& table);

}  // namespace quillmarsh
