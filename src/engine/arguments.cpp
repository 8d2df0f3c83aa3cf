// The checks the interpreter's parser cannot make (keyword-only arguments without default),
// the argument's name in conversion errors, and converters that several tables use.
#include "engine/arguments.hpp"

#include <vector>

#include "binding/convert.hpp"
#include "binding/py_error.hpp"

namespace quillmarsh {

std::optional<std::int32_t> at_least_one(PyObject* object) {
  const std::optional<std::int32_t> value = to_i32(object);
  if (value && *value < 1) {
    PyErr_Format(PyExc_ValueError, "must be at least 1, not %d", static_cast<int>(*value));
    return std::nullopt;
  }
  return value;
}

namespace detail {

bool check_required(const char* function, std::span<const char* const> names,
                    std::span<const Given> given, std::span<PyObject* const> values) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (given[i] == Given::kRequiredKeyword && values[i] == nullptr) missing.push_back(names[i]);
  }
  if (missing.empty()) return true;
  raise_missing_arguments(std::string(function) + "()", "keyword-only", missing);
  return false;
}

void name_argument(const char* name) {
  if (PyErr_ExceptionMatches(PyExc_TypeError) == 0 &&
      PyErr_ExceptionMatches(PyExc_ValueError) == 0 &&
      PyErr_ExceptionMatches(PyExc_OverflowError) == 0) {
    return;
  }
  prefix_pending_error("argument '" + std::string(name) + "': ");
}

}  // namespace detail

}  // namespace quillmarsh
