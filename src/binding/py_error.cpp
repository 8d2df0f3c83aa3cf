// Reading, raising and rendering Python errors.
#include "binding/py_error.hpp"

#include "binding/messages.hpp"
#include "common/panic.hpp"

namespace quillmarsh {

namespace {

// repr(object) as UTF-8, or the fixed stand-in when repr raises.
std::string repr_text(PyObject* object) {
  PyRef repr = PyRef::steal(PyObject_Repr(object));
  if (!repr) {
    PyErr_Clear();
    return std::string(kReprFailed);
  }
  return lossy_text(repr.get());
}

// Sets `type` with the text as its one argument; a text that cannot be decoded has its bad
// bytes replaced.
void raise_text(PyObject* type, std::string_view message) {
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

}  // namespace

PendingError take_pending_error() noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    PyErr_SetString(PyExc_SystemError, kNoErrorSet);
    PyErr_Fetch(&type, &value, &traceback);
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  return PendingError{PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback)};
}

void restore_error(PendingError error) noexcept {
  PyErr_Restore(error.type.release(), error.value.release(), error.traceback.release());
}

void ensure_error_set() noexcept {
  if (PyErr_Occurred() == nullptr) PyErr_SetString(PyExc_SystemError, kNoErrorSet);
}

std::string lossy_text(PyObject* text) {
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "replace"));
  if (!bytes) {
    PyErr_Clear();
    return {};
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) {
    PyErr_Clear();
    return {};
  }
  return std::string(data, static_cast<std::size_t>(size));
}

std::string type_name(PyObject* object) {
  PendingError saved;
  const bool had_error = PyErr_Occurred() != nullptr;
  if (had_error) saved = take_pending_error();
  std::string name(kFailedTypeName);
  PyRef qualname = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (qualname && PyUnicode_Check(qualname.get())) {
    PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(qualname.get()));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (bytes && PyBytes_AsStringAndSize(bytes.get(), &data, &size) == 0) {
      name.assign(data, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  if (had_error) restore_error(std::move(saved));
  return name;
}

std::string exception_message(PyObject* value) {
  PyRef text = PyRef::steal(PyObject_Str(value));
  if (!text) {
    PyErr_Clear();
    return std::string(kExceptionStrFailed);
  }
  return lossy_text(text.get());
}

std::string render_error(const PendingError& error) {
  std::string out = "PyErr { type: ";
  out += repr_text(error.type.get());
  out += ", value: ";
  out += repr_text(error.value.get());
  out += ", traceback: ";
  if (error.traceback) {
    out += "Some(";
    out += repr_text(error.traceback.get());
    out += ')';
  } else {
    out += "None";
  }
  out += " }";
  return out;
}

void prefix_pending_error(std::string_view prefix) {
  PendingError error = take_pending_error();
  PyObject* base = nullptr;
  for (PyObject* kind : {PyExc_TypeError, PyExc_ValueError, PyExc_OverflowError}) {
    if (PyErr_GivenExceptionMatches(error.type.get(), kind) != 0) {
      base = kind;
      break;
    }
  }
  if (base == nullptr) {
    restore_error(std::move(error));
    return;
  }
  std::string text(prefix);
  text += exception_message(error.value.get());
  PyRef message = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return;
  PyRef prefixed = PyRef::steal(PyObject_CallFunctionObjArgs(base, message.get(), nullptr));
  if (!prefixed) return;
  // The same type keeps the original's cause; a subclass (UnicodeEncodeError, whose
  // constructor takes five arguments) becomes the cause of its base's prefixed error.
  PyRef cause = error.type.get() == base ? PyRef::steal(PyException_GetCause(error.value.get()))
                                         : std::move(error.value);
  if (cause) PyException_SetCause(prefixed.get(), cause.release());  // steals the cause
  PyErr_SetObject(base, prefixed.get());
}

bool raise_type_error(std::string_view message) {
  raise_text(PyExc_TypeError, message);
  return false;
}

bool raise_value_error(std::string_view message) {
  raise_text(PyExc_ValueError, message);
  return false;
}

void raise_missing_arguments(std::string_view function, std::string_view kind,
                             std::span<const char* const> names) {
  std::string message(function);
  message += " missing " + std::to_string(names.size()) + " required ";
  message += kind;
  message += names.size() == 1 ? " argument: " : " arguments: ";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        message += " and ";
      } else {
        message += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    message += '\'';
    message += names[i];
    message += '\'';
  }
  raise_type_error(message);
}

void raise_cannot_convert(PyObject* object, std::string_view target) {
  std::string message = "'";
  message += type_name(object);
  message += "' object cannot be converted to '";
  message += target;
  message += '\'';
  raise_type_error(message);
}

void panic_with_pending_error(std::source_location where) {
  const PendingError error = take_pending_error();
  panic_unwrap_err(render_error(error), where);
}

}  // namespace quillmarsh
