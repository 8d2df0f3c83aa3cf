// The one catch on the calling thread: every entry point from the interpreter runs its body
// through guarded(), which turns internal failures and any other C++ exception into
// PanicException after reporting them on standard error. The engine's entry points take
// exhausted memory as the ordinary MemoryError instead.
#pragma once

#include <exception>
#include <new>
#include <source_location>
#include <string_view>

#include "binding/python.hpp"
#include "common/panic.hpp"

namespace quillmarsh {

// Reports message and location on stderr and sets PanicException(message). Returns nullptr.
PyObject* raise_panic(std::string_view message, const std::source_location& where) noexcept;

// What an entry point raises when memory runs out.
enum class OutOfMemory : unsigned char { kPanic, kMemoryError };

template <OutOfMemory on_exhaustion = OutOfMemory::kPanic, class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();  // a new reference, or nullptr with a Python error already set
  } catch (const Panic& p) {
    return raise_panic(p.message(), p.where());
  } catch (const std::bad_alloc&) {
    if constexpr (on_exhaustion == OutOfMemory::kMemoryError) return PyErr_NoMemory();
    return raise_panic("memory allocation failed", std::source_location::current());
  } catch (const std::exception& e) {
    return raise_panic(e.what(), std::source_location::current());
  } catch (...) {
    return raise_panic(kGenericFailure, std::source_location::current());
  }
}

}  // namespace quillmarsh
