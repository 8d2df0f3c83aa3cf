// Reading and checking __array_interface__.
#include "engine/arrays.hpp"

#include <array>
#include <bit>
#include <string_view>
#include <vector>

#include "binding/convert.hpp"
#include "binding/py_error.hpp"

namespace quillmarsh {

namespace {

struct DtypeInfo {
  std::string_view name;  // as numpy names it
  std::string_view code;  // kind and size in __array_interface__'s typestr
  std::size_t itemsize;
};

constexpr std::array<DtypeInfo, 6> kDtypes = {{{"float32", "f4", 4},
                                               {"float64", "f8", 8},
                                               {"int32", "i4", 4},
                                               {"uint8", "u1", 1},
                                               {"uint32", "u4", 4},
                                               {"uint64", "u8", 8}}};

// "<f4" on a little-endian machine; single bytes have no order ("|u1").
std::string native_typestr(const DtypeInfo& dtype) {
  constexpr char kNativeOrder = std::endian::native == std::endian::little ? '<' : '>';
  return (dtype.itemsize == 1 ? '|' : kNativeOrder) + std::string(dtype.code);
}

void raise_for(PyObject* kind, const std::string& what, const std::string& text) {
  PyErr_SetString(kind, (what + text).c_str());
}

// A tuple of non-negative ints of the given length, or nothing (no error set).
std::optional<std::vector<std::size_t>> size_tuple(PyObject* tuple, std::size_t length) {
  if (tuple == nullptr || !PyTuple_Check(tuple) ||
      static_cast<std::size_t>(PyTuple_Size(tuple)) != length) {
    return std::nullopt;
  }
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < length; ++i) {
    const long long value = PyLong_AsLongLong(PyTuple_GetItem(tuple, static_cast<Py_ssize_t>(i)));
    if (value == -1 && PyErr_Occurred() != nullptr) {
      PyErr_Clear();
      return std::nullopt;
    }
    if (value < 0) return std::nullopt;
    out.push_back(static_cast<std::size_t>(value));
  }
  return out;
}

// C order: the last dimension is packed, each earlier one steps over a whole row. A dimension
// of length 1 can have any stride, as in numpy's own definition.
bool c_contiguous(const std::vector<std::size_t>& shape, PyObject* strides_object,
                  std::size_t itemsize) {
  if (strides_object == nullptr || strides_object == Py_None) return true;
  if (!PyTuple_Check(strides_object) ||
      static_cast<std::size_t>(PyTuple_Size(strides_object)) != shape.size()) {
    return false;
  }
  std::size_t expected = itemsize;
  for (std::size_t d = shape.size(); d-- > 0;) {
    const long long stride =
        PyLong_AsLongLong(PyTuple_GetItem(strides_object, static_cast<Py_ssize_t>(d)));
    if (stride == -1 && PyErr_Occurred() != nullptr) {
      PyErr_Clear();
      return false;
    }
    if (shape[d] > 1 && stride != static_cast<long long>(expected)) return false;
    expected *= shape[d];
  }
  return true;
}

}  // namespace

std::optional<ArrayView> read_array(PyObject* object, const std::string& what, Dtype dtype,
                                    int ndim, Access access) {
  const DtypeInfo& expected = kDtypes[static_cast<std::size_t>(dtype)];
  const std::string wanted = std::to_string(ndim) + "-D " + std::string(expected.name) + " array";
  PyRef interface = PyRef::steal(PyObject_GetAttrString(object, "__array_interface__"));
  if (!interface) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return std::nullopt;
    PyErr_Clear();
    raise_for(PyExc_TypeError, what, " must be a " + wanted + ", not '" + type_name(object) + "'");
    return std::nullopt;
  }
  if (!PyDict_Check(interface.get())) {
    raise_for(PyExc_TypeError, what, " has an __array_interface__ that is not a dict");
    return std::nullopt;
  }
  PyObject* typestr = PyDict_GetItemString(interface.get(), "typestr");  // borrowed
  const std::optional<std::string> got =
      typestr != nullptr && PyUnicode_Check(typestr) ? utf8_of_str(typestr) : std::nullopt;
  if (!got || *got != native_typestr(expected)) {
    PyErr_Clear();
    raise_for(PyExc_TypeError, what,
              " must be a " + wanted + ", not an array of dtype '" + got.value_or("?") + "'");
    return std::nullopt;
  }
  PyObject* shape_object = PyDict_GetItemString(interface.get(), "shape");
  const Py_ssize_t dims =
      shape_object != nullptr && PyTuple_Check(shape_object) ? PyTuple_Size(shape_object) : -1;
  if (dims != ndim) {
    raise_for(PyExc_ValueError, what,
              " must be a " + wanted + ", not an array of " + std::to_string(dims) + " dimensions");
    return std::nullopt;
  }
  const std::optional<std::vector<std::size_t>> shape =
      size_tuple(shape_object, static_cast<std::size_t>(ndim));
  if (!shape) {
    raise_for(PyExc_ValueError, what, " has an unreadable shape");
    return std::nullopt;
  }
  PyObject* mask = PyDict_GetItemString(interface.get(), "mask");
  if (mask != nullptr && mask != Py_None) {
    raise_for(PyExc_ValueError, what, " is a masked array; pass its data without the mask");
    return std::nullopt;
  }
  if (!c_contiguous(*shape, PyDict_GetItemString(interface.get(), "strides"), expected.itemsize)) {
    raise_for(PyExc_ValueError, what,
              " must be C-contiguous (numpy.ascontiguousarray makes a contiguous copy)");
    return std::nullopt;
  }
  PyObject* data = PyDict_GetItemString(interface.get(), "data");
  if (data == nullptr || !PyTuple_Check(data) || PyTuple_Size(data) != 2) {
    raise_for(PyExc_TypeError, what, " does not expose its memory as a (pointer, read-only) pair");
    return std::nullopt;
  }
  ArrayView view;
  view.data = PyLong_AsVoidPtr(PyTuple_GetItem(data, 0));
  if (view.data == nullptr && PyErr_Occurred() != nullptr) return std::nullopt;
  const int readonly = PyObject_IsTrue(PyTuple_GetItem(data, 1));
  if (readonly < 0) return std::nullopt;
  if (access == Access::kWrite && readonly == 1) {
    raise_for(PyExc_ValueError, what, " is read-only");
    return std::nullopt;
  }
  view.rows = (*shape)[0];
  view.columns = ndim == 2 ? (*shape)[1] : 1;
  if (view.data == nullptr && view.rows * view.columns > 0) {
    raise_for(PyExc_ValueError, what, " has no memory");
    return std::nullopt;
  }
  view.owner = PyRef::borrow(object);
  return view;
}

}  // namespace quillmarsh
