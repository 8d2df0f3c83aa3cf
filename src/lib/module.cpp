// Module initialisation: PyInit_quillmarsh, once per process.
#include <atomic>

#include "binding/allocator.hpp"
#include "binding/boundary.hpp"
#include "binding/messages.hpp"
#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"
#include "common/panic.hpp"
#include "lib/float_table.hpp"
#include "lib/messages.hpp"
#include "lib/model_type.hpp"

namespace quillmarsh {

namespace {

PyMethodDef kModuleMethods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "quillmarsh", "", 0, kModuleMethods, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<bool> initialized{false};

// __all__ of the module, created when absent.
PyRef all_list(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (all) {
    if (!PyList_Check(all.get())) {
      raise_cannot_convert(all.get(), kPyList);
      return PyRef();
    }
    return all;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PyRef();
  PyErr_Clear();
  all = PyRef::steal(PyList_New(0));
  if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return PyRef();
  return all;
}

PyObject* init_module() {
  PyRef module = PyRef::steal(PyModule_Create2(&kModuleDef, PYTHON_ABI_VERSION));
  if (!module) {
    ensure_error_set();
    return nullptr;
  }
  if (initialized.exchange(true)) {
    PyErr_SetString(PyExc_ImportError,
                    "Vornex modules may only be initialized once per interpreter process");
    return nullptr;
  }
  install_allocation_failure_handler();
  install_thread_heaps();
  if (!import_collector_control()) return nullptr;

  PyObject* type = model_type();
  PyRef all = all_list(module.get());
  if (!all) return nullptr;
  PyRef name = PyRef::steal(
      PyUnicode_FromStringAndSize(kClassName.data(), static_cast<Py_ssize_t>(kClassName.size())));
  if (!name) return nullptr;
  if (PyList_Append(all.get(), name.get()) != 0) {
    PyErr_Clear();
    panic("could not append __name__ to __all__");
  }
  if (PyObject_SetAttr(module.get(), name.get(), type) != 0) return nullptr;
  return module.release();
}

}  // namespace

}  // namespace quillmarsh

PyMODINIT_FUNC PyInit_quillmarsh(void) {
  return quillmarsh::guarded([] { return quillmarsh::init_module(); });
}
