// Running the one-line print program in __main__.
#include "lib/console.hpp"

#include <atomic>

#include "common/panic.hpp"
#include "lib/boundary.hpp"
#include "lib/py_error.hpp"
#include "lib/py_ref.hpp"

namespace quillmarsh {

namespace {

constexpr std::string_view kPrefix = "import sys; print(\"";
constexpr std::string_view kSuffix = "\"); sys.stdout.flush();";

// Set once the acquiring path has confirmed that the interpreter is running.
std::atomic<bool> interpreter_checked{false};

void run_program(const std::string& source) {
  if (const std::size_t nul = source.find('\0'); nul != std::string::npos) {
    PyErr_Format(PyExc_ValueError, "nul byte found in provided data at position: %zu", nul);
    panic_with_pending_error();
  }
  PyObject* main_module = PyImport_AddModule("__main__");  // borrowed
  if (main_module == nullptr) panic_with_pending_error();
  PyObject* globals = PyModule_GetDict(main_module);  // borrowed
  PyRef code = PyRef::steal(Py_CompileString(source.c_str(), "<string>", Py_file_input));
  if (!code) panic_with_pending_error();
  PyRef result = PyRef::steal(PyEval_EvalCode(code.get(), globals, globals));
  if (!result) panic_with_pending_error();
}

// Holds the interpreter lock for a thread that did not have it.
class AcquiredLock {
 public:
  AcquiredLock() noexcept : state_(PyGILState_Ensure()) {}
  ~AcquiredLock() { PyGILState_Release(state_); }
  AcquiredLock(const AcquiredLock&) = delete;
  AcquiredLock& operator=(const AcquiredLock&) = delete;

 private:
  PyGILState_STATE state_;
};

}  // namespace

void console_print(const std::string& message) {
  std::string source;
  source.reserve(kPrefix.size() + message.size() + kSuffix.size());
  source += kPrefix;
  source += message;
  source += kSuffix;
  if (CallScope::active()) {
    run_program(source);
    return;
  }
  if (!interpreter_checked.load(std::memory_order_acquire)) {
    if (Py_IsInitialized() == 0) panic("the Python interpreter is not initialized");
    interpreter_checked.store(true, std::memory_order_release);
  }
  AcquiredLock lock;
  CallScope scope;
  run_program(source);
}

}  // namespace quillmarsh
