// Cell conversion: the float conversion first, then the text conversion; when both fail the
// TypeError lists both attempts. Each distinct str object is converted once per call.
#include "lib/rows.hpp"

#include <optional>
#include <string>

#include "binding/convert.hpp"
#include "binding/messages.hpp"
#include "binding/py_error.hpp"
#include "lib/text_encoder.hpp"

namespace quillmarsh {

namespace {

// "TypeError: failed to extract field SplitValue::{field}, caused by {type}: {message}"
std::string attempt_report(std::string_view field, const PendingError& cause) {
  std::string out = "TypeError: failed to extract field SplitValue::";
  out += field;
  out += ", caused by ";
  out += type_name(cause.value.get());
  out += ": ";
  out += exception_message(cause.value.get());
  return out;
}

[[noreturn]] void panic_bad_cell(const PendingError& as_number, const PendingError& as_text) {
  std::string message = "failed to extract enum SplitValue ('Numeric | Str')\n";
  message += "- variant Numeric (Numeric): ";
  message += attempt_report("Numeric.0", as_number);
  message += "\n- variant Str (Str): ";
  message += attempt_report("Str.0", as_text);
  raise_type_error(message);
  panic_with_pending_error();
}

// The float conversion of a cell, or nothing with an error set.
std::optional<double> cell_as_double(PyObject* cell) {
  const double value = PyLong_CheckExact(cell) ? PyLong_AsDouble(cell) : PyFloat_AsDouble(cell);
  if (value == -1.0 && PyErr_Occurred() != nullptr) return std::nullopt;
  return value;
}

// The cells of a row go to a Sink: begin_row(), add_number(float), add_text_code(code of
// `texts`). A RowBatch is one; BlockSink another.
template <class Sink>
void add_cell(Sink& batch, TextEncoder& texts, PyObject* cell) {
  if (PyFloat_CheckExact(cell)) {  // the common case; its conversion cannot fail or run code
    batch.add_number(static_cast<float>(PyFloat_AsDouble(cell)));
    return;
  }
  if (PyUnicode_CheckExact(cell)) {
    // An exact str never converts to a float; try the text first and only compute the float
    // attempt's error if the text fails too (lone surrogates).
    if (const std::optional<std::uint32_t> code = texts.code_of(cell)) {
      batch.add_text_code(*code);
      return;
    }
    PendingError as_text = take_pending_error();
    cell_as_double(cell);
    PendingError as_number = take_pending_error();
    panic_bad_cell(as_number, as_text);
  }
  PyRef held = PyRef::borrow(cell);  // conversions may run code that drops the cell elsewhere
  if (const std::optional<double> number = cell_as_double(cell)) {
    batch.add_number(static_cast<float>(*number));  // nearest float; beyond range: infinite
    return;
  }
  PendingError as_number = take_pending_error();
  if (!PyUnicode_Check(cell)) {
    raise_cannot_convert(cell, kPyString);
  } else if (const std::optional<std::uint32_t> code = texts.code_of(cell)) {
    batch.add_text_code(*code);
    return;
  }
  PendingError as_text = take_pending_error();
  panic_bad_cell(as_number, as_text);
}

template <class Sink>
void add_row(Sink& batch, TextEncoder& texts, PyObject* list) {
  batch.begin_row();
  if (PyList_CheckExact(list)) {
    // An exact float converts without running Python code or allocating, so the list
    // cannot change under it. Any other cell may run code (__float__, __index__, a collection
    // triggered by an allocation) that shrinks or grows the list: the length is read again
    // after it.
    Py_ssize_t size = PyList_Size(list);
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyObject* cell = PyList_GetItem(list, i);
      if (PyFloat_CheckExact(cell)) {  // the common case, inline
        batch.add_number(static_cast<float>(PyFloat_AsDouble(cell)));
        continue;
      }
      add_cell(batch, texts, cell);
      size = PyList_Size(list);
    }
    return;
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(list));  // a subclass may define __iter__
  if (!iterator) panic_with_pending_error();
  while (PyRef cell = PyRef::steal(PyIter_Next(iterator.get()))) add_cell(batch, texts, cell.get());
  if (PyErr_Occurred() != nullptr) panic_with_pending_error();
}

// A streamed block's rows: a text cell indexes the block's text_ids, which hold the forest's
// category id of its text (each distinct text looked up once per call, in `ids`).
class BlockSink {
 public:
  BlockSink(StreamBlock& block, const PackedForest& forest, const TextEncoder& texts,
            std::vector<std::uint32_t>& ids)
      : block_(block), forest_(forest), texts_(texts), ids_(ids) {}
  void begin_row() { block_.rows.begin_row(); }
  void add_number(float v) { block_.rows.add_number(v); }
  void add_text_code(std::uint32_t code) {
    while (ids_.size() <= code) {
      ids_.push_back(forest_.category_id(texts_.text(static_cast<std::uint32_t>(ids_.size()))));
    }
    block_.rows.add_text_code(static_cast<std::uint32_t>(block_.text_ids.size()));
    block_.text_ids.push_back(ids_[code]);
  }

 private:
  StreamBlock& block_;
  const PackedForest& forest_;
  const TextEncoder& texts_;
  std::vector<std::uint32_t>& ids_;
};

}  // namespace

namespace {

// Asks the processor to fetch the cells of a row about to be converted, so that reading the
// cell objects (most of a conversion's time) overlaps the conversion of the row before. Only a
// hint: nothing read here is used, and a prefetched address that code run by a conversion frees
// in the meantime is harmless.
void prefetch_cells(PyObject* list) {
  if (!PyList_CheckExact(list)) return;
  const Py_ssize_t size = PyList_Size(list);
  for (Py_ssize_t i = 0; i < size; ++i) __builtin_prefetch(PyList_GetItem(list, i));
}

}  // namespace

void BlockRowConverter::convert(std::span<const PyRef> lists, StreamBlock& block) {
  BlockSink sink(block, forest_, texts_, ids_);
  const std::size_t end = block.first + block.count;
  for (std::size_t r = block.first; r < end; ++r) {
    if (r + 1 < lists.size()) prefetch_cells(lists[r + 1].get());
    add_row(sink, texts_, lists[r].get());
  }
}

RowBatch convert_rows(const std::vector<PyRef>& lists) {
  std::size_t cells = 0;
  for (const PyRef& list : lists) cells += static_cast<std::size_t>(PyList_Size(list.get()));
  RowBatch batch;
  batch.reserve(lists.size(), cells);
  TextEncoder texts;  // one dictionary for every row of the call
  for (const PyRef& list : lists) add_row(batch, texts, list.get());
  batch.set_texts(texts.take_dictionary());
  return batch;
}

}  // namespace quillmarsh
