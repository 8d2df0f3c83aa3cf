// Element conversions of training intake, with fast paths for exact float, int and str.
#include "lib/intake.hpp"

#include <cstdint>
#include <memory>
#include <optional>

#include "binding/convert.hpp"
#include "binding/py_error.hpp"
#include "common/panic.hpp"
#include "lib/text_encoder.hpp"

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

// The caller's columns converted into memory of the module's own, which the dataset's views
// point into. Inner vectors keep their buffers when the outer ones grow.
struct OwnedColumns {
  std::vector<std::vector<float>> numbers;
  std::vector<std::vector<std::uint32_t>> codes;
  std::vector<std::int32_t> treatment;
  std::vector<std::int8_t> outcome;
};

std::optional<std::vector<float>> numeric_column(PyObject* list) {
  std::vector<float> out;
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

std::optional<StringFeature> string_column(PyObject* list, OwnedColumns& owned) {
  std::vector<std::uint32_t> codes;
  codes.reserve(static_cast<std::size_t>(PyList_Size(list)));
  TextEncoder encoder;
  const bool ok = for_each_item(list, [&](PyObject* item) {
    const std::optional<std::uint32_t> code = encoder.code_of(item);
    if (!code) return false;
    codes.push_back(*code);
    return true;
  });
  if (!ok) return std::nullopt;
  const std::vector<std::uint32_t>& kept = owned.codes.emplace_back(std::move(codes));
  return StringFeature{kept, encoder.take_dictionary()};
}

FeatureColumn feature_column(const ColumnMap& data, const std::string& name, OwnedColumns& owned) {
  PyObject* list = column(data, name);
  if (std::optional<std::vector<float>> numbers = numeric_column(list)) {
    return NumericFeature{owned.numbers.emplace_back(std::move(*numbers))};
  }
  PyErr_Clear();
  if (std::optional<StringFeature> texts = string_column(list, owned)) return std::move(*texts);
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
  auto owned = std::make_shared<OwnedColumns>();
  TrainingColumns columns;
  columns.x_names = x_names;
  columns.features.reserve(x_names.size());
  for (const std::string& name : x_names) {
    columns.features.push_back(feature_column(data, name, *owned));
  }
  owned->treatment = integer_column<std::int32_t>(column(data, treatment_col), to_i32);
  owned->outcome = integer_column<std::int8_t>(column(data, outcome_col), to_i8);
  columns.treatment = owned->treatment;
  columns.outcome = owned->outcome;
  columns.storage = std::move(owned);
  return columns;
}

}  // namespace quillmarsh
