// Renderings of file errors as they appear after "called `Result::unwrap()` on an `Err` value: ".
#pragma once

#include <string>
#include <string_view>

namespace quillmarsh {

// A failed file operation: the system's error number, or 0 for the failures that have none
// (then kind and message say what happened: "WriteZero", "failed to write whole buffer").
struct FileError {
  int code = 0;
  std::string_view kind;
  std::string message;
};

FileError os_file_error(int errno_value);
FileError simple_file_error(std::string_view kind, std::string message);

// The rendering of render_os_error for a system error, of render_simple_error otherwise.
std::string render_file_error(const FileError& error);

// The kind name of an errno value (ENOENT -> "NotFound", EACCES -> "PermissionDenied");
// "Uncategorized" for numbers without a kind of their own.
std::string_view io_error_kind(int errno_value);

// Os { code: 2, kind: NotFound, message: "No such file or directory" }
std::string render_os_error(int errno_value);

// Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }
std::string render_simple_error(std::string_view kind, std::string_view message);

}  // namespace quillmarsh
