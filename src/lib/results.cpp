// Building result lists.
#include "lib/results.hpp"

#include "lib/py_error.hpp"
#include "lib/py_ref.hpp"

namespace quillmarsh {

namespace {

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

}  // namespace

PyObject* float_list(const std::vector<double>& values) {
  return build_list(values.size(), [&](std::size_t i) { return PyFloat_FromDouble(values[i]); });
}

PyObject* float_table(const FloatTable& table) {
  return build_list(table.size(), [&](std::size_t i) { return float_list(table[i]); });
}

PyObject* text_list(const std::vector<std::string>& texts) {
  return build_list(texts.size(), [&](std::size_t i) {
    return PyUnicode_DecodeUTF8(texts[i].data(), static_cast<Py_ssize_t>(texts[i].size()),
                                "strict");
  });
}

}  // namespace quillmarsh
