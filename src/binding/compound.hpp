// Conversions of compound arguments: the column map of fit, name lists, sequences of lists.
// Like the scalar conversions, each returns nothing with a Python error set on failure.
#pragma once

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "binding/py_ref.hpp"

namespace quillmarsh {

// Column name -> the caller's list object. The map holds a reference to each list, so a
// column stays alive even if the dict is changed by code that runs during the call.
using ColumnMap = std::unordered_map<std::string, PyRef>;

// A dict (or subclass) of str keys and list values. Panics if the dict changes size or keys
// during the walk.
std::optional<ColumnMap> to_column_map(PyObject* object);

// Any sequence except a str, iterated in order; every item a str.
std::optional<std::vector<std::string>> to_name_list(PyObject* object);

// Any sequence except a str, iterated in order; every item a list (or subclass), kept as is.
std::optional<std::vector<PyRef>> to_list_sequence(PyObject* object);

// A list (or subclass), returned as a new reference.
std::optional<PyRef> to_list(PyObject* object);

}  // namespace quillmarsh
