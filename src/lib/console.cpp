// Running the one-line print program in __main__.
#include "lib/console.hpp"

#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"

namespace quillmarsh {

namespace {

constexpr std::string_view kPrefix = "import sys; print(\"";
constexpr std::string_view kSuffix = "\"); sys.stdout.flush();";

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

}  // namespace

void console_print(const std::string& message) {
  std::string source;
  source.reserve(kPrefix.size() + message.size() + kSuffix.size());
  source += kPrefix;
  source += message;
  source += kSuffix;
  run_program(source);
}

}  // namespace quillmarsh
