// Results handed back to Python as new lists. A failure to build one (the interpreter out of
// memory) is an internal failure.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"
#include "binding/python.hpp"

namespace quillmarsh {

// A new list of n items, item i made by make(i) as a new reference.
template <class Make>
PyObject* build_list(std::size_t n, Make&& make) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) panic_with_pending_error();
  for (std::size_t i = 0; i < n; ++i) {
    PyRef item = PyRef::steal(make(i));
    if (!item) panic_with_pending_error();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());  // steals
  }
  return list.release();
}

PyObject* float_list(const std::vector<double>& values);
PyObject* text_list(const std::vector<std::string>& texts);

}  // namespace quillmarsh
