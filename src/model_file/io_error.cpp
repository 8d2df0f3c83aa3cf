// errno to kind names, and the two error renderings of the file layer.
#include "model_file/io_error.hpp"

#include <cerrno>
#include <cstring>
#include <utility>

#include "model_file/debug_text.hpp"

namespace quillmarsh {

std::string_view io_error_kind(int errno_value) {
  switch (errno_value) {
    case E2BIG:
      return "ArgumentListTooLong";
    case EADDRINUSE:
      return "AddrInUse";
    case EADDRNOTAVAIL:
      return "AddrNotAvailable";
    case EBUSY:
      return "ResourceBusy";
    case ECONNABORTED:
      return "ConnectionAborted";
    case ECONNREFUSED:
      return "ConnectionRefused";
    case ECONNRESET:
      return "ConnectionReset";
    case EDEADLK:
      return "Deadlock";
    case EDQUOT:
      return "FilesystemQuotaExceeded";
    case EEXIST:
      return "AlreadyExists";
    case EFBIG:
      return "FileTooLarge";
    case EHOSTUNREACH:
      return "HostUnreachable";
    case EINTR:
      return "Interrupted";
    case EINVAL:
      return "InvalidInput";
    case EISDIR:
      return "IsADirectory";
    case ELOOP:
      return "FilesystemLoop";
    case ENOENT:
      return "NotFound";
    case ENOMEM:
      return "OutOfMemory";
    case ENOSPC:
      return "StorageFull";
    case ENOSYS:
      return "Unsupported";
    case EMLINK:
      return "TooManyLinks";
    case ENAMETOOLONG:
      return "InvalidFilename";
    case ENETDOWN:
      return "NetworkDown";
    case ENETUNREACH:
      return "NetworkUnreachable";
    case ENOTCONN:
      return "NotConnected";
    case ENOTDIR:
      return "NotADirectory";
    case ENOTEMPTY:
      return "DirectoryNotEmpty";
    case EPIPE:
      return "BrokenPipe";
    case EROFS:
      return "ReadOnlyFilesystem";
    case ESPIPE:
      return "NotSeekable";
    case ESTALE:
      return "StaleNetworkFileHandle";
    case ETIMEDOUT:
      return "TimedOut";
    case ETXTBSY:
      return "ExecutableFileBusy";
    case EXDEV:
      return "CrossesDevices";
    case EACCES:
    case EPERM:
      return "PermissionDenied";
    case EAGAIN:  // EWOULDBLOCK has the same number on Linux
      return "WouldBlock";
    default:
      return "Uncategorized";
  }
}

FileError os_file_error(int errno_value) {
  char buf[256];
  // The GNU strerror_r returns the text, which may or may not live in buf.
  const char* text = ::strerror_r(errno_value, buf, sizeof buf);
  return FileError{errno_value, io_error_kind(errno_value), text};
}

FileError simple_file_error(std::string_view kind, std::string message) {
  return FileError{0, kind, std::move(message)};
}

std::string render_file_error(const FileError& error) {
  if (error.code == 0) return render_simple_error(error.kind, error.message);
  return "Os { code: " + std::to_string(error.code) + ", kind: " + std::string(error.kind) +
         ", message: " + debug_quoted(error.message) + " }";
}

std::string render_os_error(int errno_value) {
  return render_file_error(os_file_error(errno_value));
}

std::string render_simple_error(std::string_view kind, std::string_view message) {
  return "Error { kind: " + std::string(kind) + ", message: " + debug_quoted(message) + " }";
}

}  // namespace quillmarsh
