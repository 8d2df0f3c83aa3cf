// Building the prediction table with the cyclic collector paused.
#include "lib/float_table.hpp"

#include <optional>
#include <string>

#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"
#include "binding/results.hpp"

namespace quillmarsh {

namespace {

// The gc module, imported at module initialisation; lives for the rest of the process.
PyObject* collector = nullptr;

// Pauses the interpreter's cyclic garbage collector for its lifetime. Building a table of
// a million lists would otherwise run many collections over the growing heap, about half the
// cost of the result; the lists hold only floats, so they cannot form cycles. A collector
// the caller had switched off stays off. Only C functions of gc are called, so no Python code
// runs here; a failure of one of them just leaves the collector alone, and any error that
// was pending before (an exception on its way out) is kept.
class CollectorPause {
 public:
  CollectorPause() {
    if (collector == nullptr) return;
    const PendingErrorScope keep;
    PyRef enabled = PyRef::steal(PyObject_CallMethod(collector, "isenabled", nullptr));
    if (enabled && PyObject_IsTrue(enabled.get()) == 1) {
      PyRef done = PyRef::steal(PyObject_CallMethod(collector, "disable", nullptr));
      paused_ = static_cast<bool>(done);
    }
  }
  ~CollectorPause() {
    if (!paused_) return;
    const PendingErrorScope keep;
    PyRef::steal(PyObject_CallMethod(collector, "enable", nullptr));
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  bool paused_ = false;
};

constexpr std::size_t kCollectorPauseRows = 10000;

// One row's means as a new list of floats.
PyObject* mean_list(const double* means, std::size_t width) {
  PyRef row = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(width)));
  if (!row) panic_with_pending_error();
  for (std::size_t k = 0; k < width; ++k) {
    PyObject* value = PyFloat_FromDouble(means[k]);
    if (value == nullptr) panic_with_pending_error();
    PyList_SetItem(row.get(), static_cast<Py_ssize_t>(k), value);  // steals
  }
  return row.release();
}

}  // namespace

StreamTable::StreamTable(std::size_t rows, std::size_t width)
    : table_(PyRef::steal(PyList_New(static_cast<Py_ssize_t>(rows)))),
      rows_(rows),
      width_(width),
      pause_(rows >= kCollectorPauseRows) {
  if (!table_) panic_with_pending_error();
  // Code that converting a cell runs could otherwise reach the unfinished list through the
  // collector (gc.get_objects) and read its empty slots.
  PyObject_GC_UnTrack(table_.get());
}

PyObject* StreamTable::release() {
  if (filled_ != rows_) {
    panic("prediction table: " + std::to_string(filled_) + " of " + std::to_string(rows_) +
          " rows filled");
  }
  PyObject_GC_Track(table_.get());
  return table_.release();
}

void StreamTable::add(const StreamBlock& block) {
  std::optional<CollectorPause> pause;
  if (pause_) pause.emplace();
  const std::size_t rows = block.rows.size();
  for (std::size_t r = 0; r < rows; ++r) {
    PyObject* row = mean_list(block.means.data() + r * width_, width_);
    PyList_SetItem(table_.get(), static_cast<Py_ssize_t>(block.first + r), row);  // steals
  }
  filled_ += rows;
}

bool import_collector_control() {
  if (collector == nullptr) collector = PyImport_ImportModule("gc");
  return collector != nullptr;
}

PyObject* float_table(const FloatTable& table) {
  std::optional<CollectorPause> pause;
  if (table.size() >= kCollectorPauseRows) pause.emplace();
  return build_list(table.size(), [&](std::size_t i) { return float_list(table[i]); });
}

}  // namespace quillmarsh
