// The methods of the Forest type beyond its attributes, in the order of its method table.
#pragma once

#include "binding/python.hpp"

namespace quillmarsh {

PyObject* forest_predict(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* forest_predict_rates(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* forest_predict_spread(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* forest_explain(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* forest_node_stats(PyObject* self, PyObject* unused) noexcept;
PyObject* forest_with_node_stats(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* forest_save(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* forest_to_bytes(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace quillmarsh
