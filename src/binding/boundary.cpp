// Raising PanicException.
#include "binding/boundary.hpp"

#include "binding/panic_exception.hpp"
#include "binding/py_ref.hpp"

namespace quillmarsh {

PyObject* raise_panic(std::string_view message, const std::source_location& where) noexcept {
  const std::string_view text = message.empty() ? kGenericFailure : message;
  report_to_stderr(text, where);
  PyObject* type = panic_exception_type();
  if (type == nullptr) return nullptr;  // the failure to create it is the pending error
  PyRef value = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!value) return nullptr;
  PyErr_SetObject(type, value.get());
  return nullptr;
}

}  // namespace quillmarsh
