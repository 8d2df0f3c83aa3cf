// Reading, raising and rendering Python errors: type names for messages, the pending error
// as an owned value, and its debug rendering carried by internal failures.
#pragma once

#include <source_location>
#include <span>
#include <string>
#include <string_view>

#include "binding/py_ref.hpp"

namespace quillmarsh {

// The pending error, normalised (value is an exception instance); traceback may be empty.
struct PendingError {
  PyRef type;
  PyRef value;
  PyRef traceback;
};

// Takes the pending error. With none set it yields a SystemError saying so.
PendingError take_pending_error() noexcept;
void restore_error(PendingError error) noexcept;

// Sets the pending error, if any, aside for the scope's lifetime: an error raised inside the
// scope is discarded at its end and the earlier one is restored. For side work whose failure
// must neither hide nor replace the error the call is already reporting.
class PendingErrorScope {
 public:
  PendingErrorScope() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
  ~PendingErrorScope() {
    PyErr_Clear();
    PyErr_Restore(type_, value_, traceback_);
  }
  PendingErrorScope(const PendingErrorScope&) = delete;
  PendingErrorScope& operator=(const PendingErrorScope&) = delete;

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// Makes sure a failing interpreter call left an error behind (SystemError otherwise).
void ensure_error_set() noexcept;

// The __qualname__ of the object's type, or "<failed to extract type name>". Leaves any
// pending error untouched.
std::string type_name(PyObject* object);

// UTF-8 text of a str object, with unencodable characters replaced; empty on failure.
std::string lossy_text(PyObject* text);

// str(value), or "<exception str() failed>".
std::string exception_message(PyObject* value);

// "PyErr { type: <repr>, value: <repr>, traceback: None | Some(<repr>) }"
std::string render_error(const PendingError& error);

// Puts `prefix` before the message of a pending TypeError, ValueError or OverflowError,
// keeping its type and cause. A subclass of these (UnicodeEncodeError) is raised as that
// base type with the prefixed message, caused by the original; other errors pass unchanged.
void prefix_pending_error(std::string_view prefix);

// Raise TypeError / ValueError with the text (UTF-8; a NUL inside it is kept). Return false,
// for `return raise_...(...)` from checks that report failure as false.
bool raise_type_error(std::string_view message);
bool raise_value_error(std::string_view message);

// Raises TypeError "{function} missing {k} required {kind} argument(s): {names}", the names
// quoted and joined as the interpreter joins them: 'a', 'a' and 'b', 'a', 'b', and 'c'.
// function is the caller's full name ("f()"), kind "positional" or "keyword-only".
void raise_missing_arguments(std::string_view function, std::string_view kind,
                             std::span<const char* const> names);

// Raises TypeError "'{type name}' object cannot be converted to '{target}'".
void raise_cannot_convert(PyObject* object, std::string_view target);

// Turns the pending Python error into an internal failure:
// "called `Result::unwrap()` on an `Err` value: " + render_error(...).
[[noreturn]] void panic_with_pending_error(
    std::source_location where = std::source_location::current());

}  // namespace quillmarsh
