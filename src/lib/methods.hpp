// The methods of _UpliftRandomForestModel, in the order of the class's method table. Each
// follows the call protocol of call_method (model_type.hpp).
#pragma once

#include "binding/python.hpp"

namespace quillmarsh {

PyObject* method_load(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* method_fit(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* method_predict(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* method_predict_row(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* method_save(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* method_feature_cols(PyObject* self, PyObject* unused) noexcept;
PyObject* method_get_feature_importance(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace quillmarsh
