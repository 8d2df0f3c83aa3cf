// PanicException: the Python exception of internal failures, created on first need.
#pragma once

#include "binding/python.hpp"

namespace quillmarsh {

// The exception type (borrowed, cached for the life of the process), one type object for
// both modules. On failure to create it, reports that on stderr and returns nullptr with the
// interpreter's error set.
PyObject* panic_exception_type() noexcept;

}  // namespace quillmarsh
