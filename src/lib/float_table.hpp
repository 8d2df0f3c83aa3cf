// The class's prediction table handed back to Python: a new list of float lists.
#pragma once

#include <cstddef>

#include "binding/py_ref.hpp"
#include "binding/python.hpp"
#include "uplift_random_forest/forest_predict.hpp"
#include "uplift_random_forest/predict_stream.hpp"

namespace quillmarsh {

// Imports the gc module that float_table pauses the collector with. Called once, at module
// initialisation: importing runs Python code, which inside a call would run a pending signal
// handler. False with the import's error set.
bool import_collector_control();

// A failure to build the table (the interpreter out of memory) is an internal failure.
PyObject* float_table(const FloatTable& table);

// The same table filled block by block as a stream scores them, in any order: each block's
// rows become lists of `width` floats at their places, the collector paused only while a block
// is added (as float_table pauses it). Until every row is added the list holds empty slots:
// the collector does not see it, and it leaves only through release(), which panics unless
// every row was added once; a table dropped before is freed whole.
class StreamTable {
 public:
  StreamTable(std::size_t rows, std::size_t width);
  void add(const StreamBlock& block);
  PyObject* release();

 private:
  PyRef table_;
  std::size_t rows_;
  std::size_t width_;
  bool pause_;
  std::size_t filled_ = 0;
};

}  // namespace quillmarsh
