// PyRef: the only owner of a PyObject* reference in the binding layer.
#pragma once

#include <utility>

#include "binding/python.hpp"

namespace quillmarsh {

class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* o) noexcept { return PyRef(o); }  // a new reference
  static PyRef borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }  // to a stealing call
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* o) noexcept : p_(o) {}
  PyObject* p_ = nullptr;
};

}  // namespace quillmarsh
