// Scalar conversions of Python arguments. Each returns the value, or nothing with a Python
// error set (TypeError / OverflowError / the interpreter's own error).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "binding/py_ref.hpp"
#include "binding/python.hpp"

namespace quillmarsh {

// Index protocol, then the platform long, then -2^31..2^31-1.
std::optional<std::int32_t> to_i32(PyObject* object);
// Index protocol, then the platform long, then -128..127.
std::optional<std::int8_t> to_i8(PyObject* object);
// Index protocol, then unsigned long long (negative values are the interpreter's OverflowError).
std::optional<std::uint64_t> to_u64(PyObject* object);
// The interpreter's float conversion (float, int, __float__, __index__).
std::optional<double> to_f64(PyObject* object);
// Exactly bool; 0 and 1 are refused.
std::optional<bool> to_exact_bool(PyObject* object);
// A str (or subclass) as UTF-8; lone surrogates fail with UnicodeEncodeError.
std::optional<std::string> to_text(PyObject* object);
// A file system path as the operating system takes it: a str encoded as os.fsencode does
// (so the names os.fsdecode gives, lone surrogates and all, come back as their bytes), bytes,
// or an os.PathLike; the object itself names the file in errors. A NUL byte is the
// interpreter's ValueError, any other object its TypeError.
struct FsPath {
  std::string bytes;
  PyRef object;
};
std::optional<FsPath> to_fs_path(PyObject* object);
// The UTF-8 text of an object already known to be a str.
std::optional<std::string> utf8_of_str(PyObject* text);

// With a conversion error pending: an error of exactly type TypeError becomes
// TypeError("argument '{name}': {message}") keeping its cause; others pass through.
void name_argument_in_error(const char* name) noexcept;

// Runs a conversion for the argument `name`, naming the argument in a TypeError.
template <class Convert>
auto convert_arg(const char* name, PyObject* object, Convert&& convert) {
  auto value = convert(object);
  if (!value) name_argument_in_error(name);
  return value;
}

}  // namespace quillmarsh
