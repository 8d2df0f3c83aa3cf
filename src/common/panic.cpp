// Raising and reporting internal failures.
#include "common/panic.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace quillmarsh {

void panic(std::string message, std::source_location where) {
  throw Panic(std::move(message), where);
}

void panic_index(std::uint64_t len, std::uint64_t index, std::source_location where) {
  panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
            std::to_string(index),
        where);
}

void panic_unwrap_err(std::string_view detail, std::source_location where) {
  std::string message(kUnwrapErr);
  message += ": ";
  message += detail;
  panic(std::move(message), where);
}

void report_to_stderr(std::string_view message, const std::source_location& where) noexcept {
  try {
    std::string text = "quillmarsh panicked at ";
    text += where.file_name();
    text += ':';
    text += std::to_string(where.line());
    text += ':';
    text += std::to_string(where.column());
    text += " (";
    text += where.function_name();
    text += "):\n";
    text += message;
    text += '\n';
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
      const ssize_t n = ::write(STDERR_FILENO, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      p += n;
      left -= static_cast<std::size_t>(n);
    }
  } catch (...) {  // NOLINT(bugprone-empty-catch): the reporter of last resort must not throw
    // Out of memory while formatting: nothing more can be reported.
  }
}

}  // namespace quillmarsh
