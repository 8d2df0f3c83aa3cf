// Binding positional and keyword arguments to parameters, with the binder's exact messages.
#include "lib/binder.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "binding/py_error.hpp"

namespace quillmarsh {

namespace {

std::size_t parameter_index(std::span<const char* const> params, PyObject* key) {
  if (!PyUnicode_Check(key)) return params.size();
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, params[i]) == 0) return i;
  }
  return params.size();
}

}  // namespace

bool bind_arguments(std::string_view full_name, std::span<const char* const> params, PyObject* args,
                    PyObject* kwargs, std::span<PyObject*> out) {
  const std::string name(full_name);
  std::fill(out.begin(), out.end(), nullptr);
  const Py_ssize_t given = args != nullptr ? PyTuple_Size(args) : 0;
  if (given < 0) return false;
  const auto positional = static_cast<std::size_t>(given);
  if (positional > params.size()) {
    raise_type_error(name + " takes " + std::to_string(params.size()) +
                     " positional arguments but " + std::to_string(positional) +
                     (positional == 1 ? " was" : " were") + " given");
    return false;
  }
  for (std::size_t i = 0; i < positional; ++i) {
    out[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  }

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      const std::size_t i = parameter_index(params, key);
      if (i == params.size()) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", name.c_str(),
                     key);
        return false;
      }
      if (out[i] != nullptr) {
        raise_type_error(name + " got multiple values for argument '" + params[i] + "'");
        return false;
      }
      out[i] = value;
    }
  }

  if (positional < params.size()) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < params.size(); ++i) {
      if (out[i] == nullptr) missing.push_back(params[i]);
    }
    if (!missing.empty()) {
      raise_missing_arguments(name, "positional", missing);
      return false;
    }
  }
  return true;
}

}  // namespace quillmarsh
