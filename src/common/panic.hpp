// Panic: the one exception type of the core, carrying a message and where it was raised,
// plus the stderr report used by every catch site (the calling thread's boundary and threads).
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>

namespace quillmarsh {

// Message used when a failure carries no text of its own (a foreign exception type).
inline constexpr std::string_view kGenericFailure = "internal failure of the quillmarsh extension";

// Message texts shared by several throw sites.
inline constexpr std::string_view kUnwrapNone = "called `Option::unwrap()` on a `None` value";
inline constexpr std::string_view kUnwrapErr = "called `Result::unwrap()` on an `Err` value";

class Panic : public std::exception {
 public:
  Panic(std::string message, std::source_location where) noexcept
      : message_(std::move(message)), where_(where) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// "index out of bounds: the len is {len} but the index is {index}"
[[noreturn]] void panic_index(std::uint64_t len, std::uint64_t index,
                              std::source_location where = std::source_location::current());

// kUnwrapErr + ": " + detail
[[noreturn]] void panic_unwrap_err(std::string_view detail,
                                   std::source_location where = std::source_location::current());

// Writes "quillmarsh panicked at FILE:LINE:COLUMN (FUNCTION):\nMESSAGE\n" to standard error
// in one write, so that reports of concurrent threads do not interleave. Never throws.
void report_to_stderr(std::string_view message, const std::source_location& where) noexcept;

// The failure capture of a job whose owner goes on: runs fn; a Panic or other std::exception
// is reported on stderr and its message returned (nullopt when fn finished). Anything else,
// such as a cancellation, passes through.
template <class Fn>
std::optional<std::string> capture_failure(Fn&& fn) {
  try {
    fn();
    return std::nullopt;
  } catch (const Panic& p) {
    report_to_stderr(p.message(), p.where());
    return p.message();
  } catch (const std::exception& e) {
    report_to_stderr(e.what(), std::source_location::current());
    return std::string(e.what());
  }
}

// The catch-all used at every thread entry: runs fn and reports anything it throws.
// Returns true when fn finished normally.
template <class Fn>
bool run_reporting_failures(Fn&& fn) noexcept {
  try {
    return !capture_failure(std::forward<Fn>(fn));
  } catch (...) {
    report_to_stderr(kGenericFailure, std::source_location::current());
  }
  return false;
}

}  // namespace quillmarsh
