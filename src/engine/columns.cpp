// Reading the columns argument of fit and predict.
#include "engine/columns.hpp"

#include <unordered_set>

#include "binding/compound.hpp"
#include "binding/py_error.hpp"
#include "engine/arrays.hpp"

namespace quillmarsh {

namespace {

std::optional<std::string> repeated_text(const std::vector<std::string>& texts) {
  std::unordered_set<std::string_view> seen;
  seen.reserve(texts.size());
  for (const std::string& text : texts) {
    if (!seen.insert(text).second) return text;
  }
  return std::nullopt;
}

bool check_length(const std::string& label, std::size_t length, std::size_t n_rows,
                  std::string_view rows_from) {
  if (length == n_rows) return true;
  const std::string text = label + " has " + std::to_string(length) + " values but " +
                           std::string(rows_from) + " has " + std::to_string(n_rows);
  return raise_value_error(text);
}

std::optional<FeatureColumn> read_string_column(PyObject* entry, const std::string& label,
                                                std::vector<PyRef>& held, bool distinct_categories,
                                                std::size_t n_rows, std::string_view rows_from) {
  if (PyTuple_Size(entry) != 2) {
    raise_type_error(label + " must be a float32 array or a (codes, categories) pair, not a " +
                     "tuple of " + std::to_string(PyTuple_Size(entry)) + " items");
    return std::nullopt;
  }
  std::optional<ArrayView> codes =
      read_array(PyTuple_GetItem(entry, 0), label + " codes", Dtype::kUInt32, 1);
  if (!codes) return std::nullopt;
  if (!check_length(label, codes->rows, n_rows, rows_from)) return std::nullopt;
  std::optional<std::vector<std::string>> categories = to_name_list(PyTuple_GetItem(entry, 1));
  if (!categories) {
    prefix_pending_error(label + " categories: ");
    return std::nullopt;
  }
  if (distinct_categories) {
    if (const std::optional<std::string> twice = repeated_text(*categories)) {
      PyErr_Format(PyExc_ValueError, "%s lists the category '%s' twice", label.c_str(),
                   twice->c_str());
      return std::nullopt;
    }
  }
  StringFeature feature{codes->values<std::uint32_t>(), std::move(*categories)};
  held.push_back(std::move(codes->owner));
  return feature;
}

}  // namespace

std::string column_label(std::size_t index, std::string_view name) {
  return "columns[" + std::to_string(index) + "] ('" + std::string(name) + "')";
}

std::optional<CallerColumns> read_columns(PyObject* columns, std::span<const std::string> names,
                                          std::size_t n_rows, std::string_view rows_from,
                                          bool distinct_categories) {
  if (!PyList_Check(columns)) {
    raise_cannot_convert(columns, "list");
    prefix_pending_error("columns: ");
    return std::nullopt;
  }
  const auto given = static_cast<std::size_t>(PyList_Size(columns));
  if (given != names.size()) {
    const std::string text = "columns has " + std::to_string(given) + " entries for " +
                             std::to_string(names.size()) + " features";
    raise_value_error(text);
    return std::nullopt;
  }
  CallerColumns out;
  out.features.reserve(given);
  for (std::size_t i = 0; i < given; ++i) {
    // Held: code run while reading an entry (a __array_interface__ property) may change the list.
    PyRef entry = PyRef::borrow(PyList_GetItem(columns, static_cast<Py_ssize_t>(i)));
    if (!entry) return std::nullopt;
    const std::string label = column_label(i, names[i]);
    if (PyTuple_Check(entry.get())) {
      std::optional<FeatureColumn> feature =
          read_string_column(entry.get(), label, out.held, distinct_categories, n_rows, rows_from);
      if (!feature) return std::nullopt;
      out.features.push_back(std::move(*feature));
      continue;
    }
    std::optional<ArrayView> values = read_array(entry.get(), label, Dtype::kFloat32, 1);
    if (!values) return std::nullopt;
    if (!check_length(label, values->rows, n_rows, rows_from)) return std::nullopt;
    out.features.push_back(NumericFeature{values->values<float>()});
    out.held.push_back(std::move(values->owner));
  }
  return out;
}

}  // namespace quillmarsh
