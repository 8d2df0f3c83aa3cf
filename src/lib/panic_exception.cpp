// Creating and caching PanicException.
#include "lib/panic_exception.hpp"

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

}  // namespace

PyObject* panic_exception_type() noexcept {
  if (cached_type != nullptr) return cached_type;
  // A pending error (the one being replaced by this PanicException) must not disturb creation.
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  cached_type = PyErr_NewExceptionWithDoc("vornex_runtime.PanicException", kPanicExceptionDoc,
                                          PyExc_BaseException, nullptr);
  if (cached_type == nullptr) {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    report_to_stderr("Failed to initialize new exception type.", std::source_location::current());
    return nullptr;
  }
  PyErr_Restore(type, value, traceback);
  return cached_type;
}

}  // namespace quillmarsh
