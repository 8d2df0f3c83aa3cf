// Scalar conversions and the argument-name rewrite of their TypeErrors.
#include "binding/convert.hpp"

#include <limits>

#include "binding/messages.hpp"
#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"

namespace quillmarsh {

namespace {

// The index protocol, then the platform long, then the range of T.
template <class T>
std::optional<T> to_small_int(PyObject* object) {
  long value = 0;
  if (PyLong_CheckExact(object)) {  // an exact int is its own index: skip the new reference
    value = PyLong_AsLong(object);
  } else {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return std::nullopt;
    value = PyLong_AsLong(index.get());
  }
  if (value == -1 && PyErr_Occurred() != nullptr) return std::nullopt;
  if (value < std::numeric_limits<T>::min() || value > std::numeric_limits<T>::max()) {
    PyErr_SetString(PyExc_OverflowError, kOutOfRangeIntegral);
    return std::nullopt;
  }
  return static_cast<T>(value);
}

}  // namespace

std::optional<std::int32_t> to_i32(PyObject* object) { return to_small_int<std::int32_t>(object); }

std::optional<std::int8_t> to_i8(PyObject* object) { return to_small_int<std::int8_t>(object); }

std::optional<std::uint64_t> to_u64(PyObject* object) {
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) return std::nullopt;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(value);
}

std::optional<double> to_f64(PyObject* object) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred() != nullptr) return std::nullopt;
  return value;
}

std::optional<bool> to_exact_bool(PyObject* object) {
  if (Py_TYPE(object) != &PyBool_Type) {
    raise_cannot_convert(object, kPyBool);
    return std::nullopt;
  }
  return object == Py_True;
}

std::optional<std::string> utf8_of_str(PyObject* text) {
  PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(text));
  if (!bytes) return std::nullopt;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return std::nullopt;
  return std::string(data, static_cast<std::size_t>(size));
}

std::optional<std::string> to_text(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    raise_cannot_convert(object, kPyString);
    return std::nullopt;
  }
  return utf8_of_str(object);
}

std::optional<FsPath> to_fs_path(PyObject* object) {
  PyObject* encoded = nullptr;
  if (PyUnicode_FSConverter(object, static_cast<void*>(&encoded)) == 0) return std::nullopt;
  const PyRef bytes = PyRef::steal(encoded);
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return std::nullopt;
  return FsPath{std::string(data, static_cast<std::size_t>(size)), PyRef::borrow(object)};
}

void name_argument_in_error(const char* name) noexcept {
  if (PyErr_Occurred() == nullptr) return;
  PendingError error = take_pending_error();
  if (error.type.get() != PyExc_TypeError) {
    restore_error(std::move(error));
    return;
  }
  PyRef message = PyRef::steal(PyObject_Str(error.value.get()));
  if (!message) {
    PyErr_Clear();
    message = PyRef::steal(PyUnicode_FromStringAndSize(
        kExceptionStrFailed.data(), static_cast<Py_ssize_t>(kExceptionStrFailed.size())));
    if (!message) return;
  }
  PyRef text = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
  if (!text) return;
  PyRef renamed = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
  if (!renamed) return;
  PyRef cause = PyRef::steal(PyException_GetCause(error.value.get()));
  if (cause) PyException_SetCause(renamed.get(), cause.release());  // steals the cause
  PyErr_SetObject(PyExc_TypeError, renamed.get());
}

}  // namespace quillmarsh
