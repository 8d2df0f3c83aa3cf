// numpy arrays (or any object exposing __array_interface__, version 3) read as typed views of
// their memory. The stable ABI has no buffer protocol before 3.11; the array interface works
// on every interpreter the wheel supports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "binding/py_ref.hpp"

namespace quillmarsh {

// The element types the engine reads and writes.
enum class Dtype : std::uint8_t { kFloat32, kFloat64, kInt32, kUInt8, kUInt32, kUInt64 };

enum class Access : std::uint8_t { kRead, kWrite };

// A C-contiguous array of known element type. `owner` keeps the array, and so its memory,
// alive for as long as the view is held.
struct ArrayView {
  PyRef owner;
  void* data = nullptr;
  std::size_t rows = 0;     // shape[0]
  std::size_t columns = 1;  // shape[1] of a 2-D array

  template <class T>
  std::span<const T> values() const noexcept {
    return {static_cast<const T*>(data), rows * columns};
  }
  template <class T>
  std::span<T> writable_values() const noexcept {
    return {static_cast<T*>(data), rows * columns};
  }
};

// Reads `object` as a C-contiguous array of `ndim` (1 or 2) dimensions and element type
// `dtype`; with Access::kWrite it must also be writable. Otherwise raises TypeError (not an
// array, wrong dtype) or ValueError (dimensions, strides, mask, read-only), naming the
// argument as `what`, and returns nothing.
std::optional<ArrayView> read_array(PyObject* object, const std::string& what, Dtype dtype,
                                    int ndim, Access access = Access::kRead);

}  // namespace quillmarsh
