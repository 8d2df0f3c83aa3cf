// Creating and caching PanicException.
#include "binding/panic_exception.hpp"

#include <source_location>

#include "common/panic.hpp"

namespace quillmarsh {

namespace {

constexpr const char* kPanicExceptionDoc =
    "The exception raised when the quillmarsh extension's own code, called from Python, fails "
    "fatally.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it normally "
    "propagates all the way up and ends the interpreter instead of being swallowed by a broad "
    "`except Exception`.";

// Filled under the interpreter lock; lives for the rest of the process.
PyObject* cached_type = nullptr;

// Both modules link this file, each with its own cache: the first to need the type creates it
// and leaves it under this name in sys, where the other finds it, so that the process has one
// PanicException whichever module comes first.
constexpr const char* kRegistryName = "_vornex_runtime_PanicException";

// The type another module registered (a new reference), or nullptr.
PyObject* registered_type() noexcept {
  PyObject* found = PySys_GetObject(kRegistryName);  // borrowed; sets no error when absent
  if (found == nullptr || PyType_Check(found) == 0 ||
      PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(found),
                       reinterpret_cast<PyTypeObject*>(PyExc_BaseException)) == 0) {
    return nullptr;
  }
  Py_INCREF(found);
  return found;
}

}  // namespace

PyObject* panic_exception_type() noexcept {
  if (cached_type != nullptr) return cached_type;
  // A pending error (the one being replaced by this PanicException) must not disturb creation.
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  cached_type = registered_type();
  if (cached_type == nullptr) {
    cached_type = PyErr_NewExceptionWithDoc("vornex_runtime.PanicException", kPanicExceptionDoc,
                                            PyExc_BaseException, nullptr);
    if (cached_type == nullptr) {
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(traceback);
      report_to_stderr("Failed to initialize new exception type.", std::source_location::current());
      return nullptr;
    }
    // Without the registration each module would raise a type of its own: still a
    // PanicException by name, so a failure here is not worth failing the call for.
    if (PySys_SetObject(kRegistryName, cached_type) != 0) PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
  return cached_type;
}

}  // namespace quillmarsh
