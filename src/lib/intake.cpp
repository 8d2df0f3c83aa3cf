// Element conversions of training intake, with fast paths for exact float, int and str.
#include "lib/intake.hpp"

#include <cstdint>
#include <optional>

#include "common/panic.hpp"
#include "lib/convert.hpp"
#include "lib/py_error.hpp"

namespace quillmarsh {

namespace {

PyObject* column(const ColumnMap& data, const std::string& name) {
  const auto found = data.find(name);
  if (found == data.end()) panic(std::string(kUnwrapNone));
  return found->second.get();
}

// The interpreter's float conversion of one element, or nothing with an error set.
std::optional<double> element_as_double(PyObject* item) {
  double value = 0.0;
  if (PyFloat_CheckExact(item)) {
    value = PyFloat_AsDouble(item);
  } else if (PyLong_CheckExact(item)) {
    value = PyLong_AsDouble(item);  // what int.__float__ computes, without the float object
  } else {
    // __float__ / __index__ may run arbitrary code: keep the item alive meanwhile.
    PyRef held = PyRef::borrow(item);
    value = PyFloat_AsDouble(item);
  }
  if (value == -1.0 && PyErr_Occurred() != nullptr) return std::nullopt;
  return value;
}

// The list's length is read on every step: element conversions may run code that
// shrinks the list.
template <class Each>
bool for_each_item(PyObject* list, Each&& each) {
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
    if (!each(PyList_GetItem(list, i))) return false;
  }
  return true;
}

std::optional<NumericColumn> numeric_column(PyObject* list) {
  NumericColumn out;
  out.reserve(static_cast<std::size_t>(PyList_Size(list)));
  const bool ok = for_each_item(list, [&](PyObject* item) {
    const std::optional<double> value = element_as_double(item);
    if (!value) return false;
    // Rounds to nearest; magnitudes beyond the float range become infinite.
    out.push_back(static_cast<float>(*value));
    return true;
  });
  if (!ok) return std::nullopt;
  return out;
}

std::optional<StringColumn> string_column(PyObject* list) {
  StringColumn out;
  out.reserve(static_cast<std::size_t>(PyList_Size(list)));
  const bool ok = for_each_item(list, [&](PyObject* item) {
    if (!PyUnicode_Check(item)) return false;
    std::optional<std::string> text = utf8_of_str(item);
    if (!text) return false;
    out.push_back(std::move(*text));
    return true;
  });
  if (!ok) return std::nullopt;
  return out;
}

FeatureColumn feature_column(const ColumnMap& data, const std::string& name) {
  PyObject* list = column(data, name);
  if (std::optional<NumericColumn> numbers = numeric_column(list)) return std::move(*numbers);
  PyErr_Clear();
  if (std::optional<StringColumn> texts = string_column(list)) return std::move(*texts);
  PyErr_Clear();
  panic("BAD type of column: " + name);
}

template <class T, class Convert>
std::vector<T> integer_column(PyObject* list, Convert&& convert) {
  std::vector<T> out;
  out.reserve(static_cast<std::size_t>(PyList_Size(list)));
  for_each_item(list, [&](PyObject* item) {
    PyRef held = PyRef::borrow(item);
    const std::optional<T> value = convert(item);
    if (!value) panic_with_pending_error();
    out.push_back(*value);
    return true;
  });
  return out;
}

}  // namespace

TrainingColumns convert_training_columns(const ColumnMap& data,
                                         const std::vector<std::string>& x_names,
                                         const std::string& treatment_col,
                                         const std::string& outcome_col) {
  TrainingColumns columns;
  columns.x_names = x_names;
  columns.features.reserve(x_names.size());
  for (const std::string& name : x_names) columns.features.push_back(feature_column(data, name));
  columns.treatment = integer_column<std::int32_t>(column(data, treatment_col), to_i32);
  columns.outcome = integer_column<std::int8_t>(column(data, outcome_col), to_i8);
  return columns;
}

}  // namespace quillmarsh
