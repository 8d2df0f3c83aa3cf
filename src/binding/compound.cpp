// Conversions of the column map, name lists and sequences of lists.
#include "binding/compound.hpp"

#include "binding/convert.hpp"
#include "binding/messages.hpp"
#include "binding/py_error.hpp"
#include "common/panic.hpp"

namespace quillmarsh {

namespace {

// Reads a sequence argument: a str is refused, anything else must pass the sequence check;
// the items are then read through the iterator protocol and handed to add(item), which
// returns false with an error set to stop.
template <class T, class Add>
std::optional<std::vector<T>> read_sequence(PyObject* object, Add&& add) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, kStrToVec);
    return std::nullopt;
  }
  if (PySequence_Check(object) == 0) {
    raise_cannot_convert(object, kSequence);
    return std::nullopt;
  }
  std::vector<T> out;
  const Py_ssize_t size = PySequence_Size(object);
  if (size < 0) {
    PyErr_Clear();
  } else {
    out.reserve(static_cast<std::size_t>(size));
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return std::nullopt;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!add(out, std::move(item))) return std::nullopt;
  }
  if (PyErr_Occurred() != nullptr) return std::nullopt;
  return out;
}

}  // namespace

std::optional<ColumnMap> to_column_map(PyObject* object) {
  if (!PyDict_Check(object)) {
    raise_cannot_convert(object, kPyDict);
    return std::nullopt;
  }
  const Py_ssize_t expected = PyDict_Size(object);
  ColumnMap map;
  map.reserve(static_cast<std::size_t>(expected));
  Py_ssize_t pos = 0;
  Py_ssize_t walked = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(object, &pos, &key, &value)) {
    if (PyDict_Size(object) != expected) panic("dictionary changed size during iteration");
    if (++walked > expected) panic("dictionary keys changed during iteration");
    // Both are borrowed from the dict; hold them while converting.
    PyRef held_key = PyRef::borrow(key);
    PyRef held_value = PyRef::borrow(value);
    std::optional<std::string> name = to_text(key);
    if (!name) return std::nullopt;
    if (!PyList_Check(value)) {
      raise_cannot_convert(value, kPyList);
      return std::nullopt;
    }
    map.insert_or_assign(std::move(*name), std::move(held_value));
  }
  if (PyDict_Size(object) != expected) panic("dictionary changed size during iteration");
  return map;
}

std::optional<std::vector<std::string>> to_name_list(PyObject* object) {
  return read_sequence<std::string>(object, [](std::vector<std::string>& out, PyRef item) {
    std::optional<std::string> text = to_text(item.get());
    if (!text) return false;
    out.push_back(std::move(*text));
    return true;
  });
}

std::optional<std::vector<PyRef>> to_list_sequence(PyObject* object) {
  return read_sequence<PyRef>(object, [](std::vector<PyRef>& out, PyRef item) {
    if (!PyList_Check(item.get())) {
      raise_cannot_convert(item.get(), kPyList);
      return false;
    }
    out.push_back(std::move(item));
    return true;
  });
}

std::optional<PyRef> to_list(PyObject* object) {
  if (!PyList_Check(object)) {
    raise_cannot_convert(object, kPyList);
    return std::nullopt;
  }
  return PyRef::borrow(object);
}

}  // namespace quillmarsh
