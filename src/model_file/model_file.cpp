// save_model / load_model: the document in memory, then the file. A save over a regular file
// (or to a new path) goes through a temporary file in the same folder that is renamed over
// the target, so a failed write never destroys the previous model; other targets, and
// folders that allow no new file, are written in place.
#include "model_file/model_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "common/panic.hpp"
#include "model_file/io_error.hpp"
#include "model_file/json_reader.hpp"
#include "model_file/json_writer.hpp"

namespace quillmarsh {
namespace {

// The failure, or nullopt on success.
using IoResult = std::optional<FileError>;

FileError nul_in_path_error() {
  return simple_file_error("InvalidInput", "file name contained an unexpected NUL byte");
}

// Owns one open descriptor: closed by close(), which reports the outcome, or else when the
// scope is left.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const noexcept { return fd_; }
  IoResult close() noexcept {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) return os_file_error(errno);
    return std::nullopt;
  }

 private:
  int fd_;
};

IoResult write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_file_error(errno);
    }
    if (n == 0) return simple_file_error("WriteZero", "failed to write whole buffer");
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return std::nullopt;
}

// Create or truncate path and write the document into it.
IoResult write_in_place(const std::string& path, std::string_view doc) {
  FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) return os_file_error(errno);
  IoResult err = write_all(fd.get(), doc);
  IoResult closed = fd.close();
  return err ? err : closed;
}

// A name for the temporary file that is unlikely to exist: the process and a clock reading.
std::string temporary_name(const std::string& dir, const std::string& base, int attempt) {
  const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
  return dir + "/." + base + "." + std::to_string(::getpid()) + "-" +
         std::to_string(static_cast<std::uint64_t>(ticks) + static_cast<std::uint64_t>(attempt)) +
         ".tmp";
}

// Where a save puts the document: in a temporary file renamed over final_path, or, when
// in_place, straight into the path as given.
struct SavePlan {
  bool in_place = true;
  std::string final_path;
  std::string dir;
  std::string base;
  std::optional<struct stat> existing;  // the regular file being replaced
};

SavePlan plan_save(const std::string& path) {
  SavePlan plan;
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) {
    struct stat lst{};
    // Only a plainly absent path gets a file made beside it; any other failure (a dangling
    // link, a folder that cannot be searched) is left for the open to report.
    if (errno != ENOENT || ::lstat(path.c_str(), &lst) == 0) return plan;
    plan.final_path = path;
  } else {
    // Devices, pipes and directories; files shared through hard links, which a rename
    // would split; and files this process may not write, which must keep failing with
    // PermissionDenied instead of being replaced.
    if (!S_ISREG(st.st_mode) || st.st_nlink > 1 ||
        ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
      return plan;
    }
    // A caller-owned buffer: the memory realpath would allocate comes from the C library's
    // malloc, which need not be the allocator this library's free() belongs to.
    std::array<char, PATH_MAX> real{};
    if (::realpath(path.c_str(), real.data()) == nullptr) return plan;
    plan.final_path = real.data();
    plan.existing = st;
  }
  const std::size_t slash = plan.final_path.rfind('/');
  plan.dir = slash == std::string::npos ? "." : slash == 0 ? "" : plan.final_path.substr(0, slash);
  plan.base = slash == std::string::npos ? plan.final_path : plan.final_path.substr(slash + 1);
  plan.in_place = plan.base.empty() || plan.base == "." || plan.base == "..";
  return plan;
}

// A new temporary file beside the target, or -1 when the folder does not allow one.
int create_temporary(const SavePlan& plan, std::string& temp) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    temp = temporary_name(plan.dir, plan.base, attempt);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// The replaced file's permissions and owners go to the temporary file; false when the
// owners cannot be given (another user's file), so that the file is written in place.
bool take_over_attributes(int fd, const struct stat& existing) {
  if ((existing.st_uid != ::geteuid() || existing.st_gid != ::getegid()) &&
      ::fchown(fd, existing.st_uid, existing.st_gid) != 0) {
    return false;
  }
  return ::fchmod(fd, existing.st_mode & 07777) == 0;
}

IoResult save_document(const std::string& path, std::string_view doc) {
  if (path.find('\0') != std::string::npos) return nul_in_path_error();
  const SavePlan plan = plan_save(path);
  if (plan.in_place) return write_in_place(path, doc);
  std::string temp;
  FileDescriptor fd(create_temporary(plan, temp));
  if (fd.get() < 0) return write_in_place(path, doc);
  if (plan.existing && !take_over_attributes(fd.get(), *plan.existing)) {
    fd.close();
    ::unlink(temp.c_str());
    return write_in_place(path, doc);
  }
  IoResult err = write_all(fd.get(), doc);
  if (!err && ::fsync(fd.get()) != 0) err = os_file_error(errno);
  IoResult closed = fd.close();
  if (!err) err = std::move(closed);
  if (!err && ::rename(temp.c_str(), plan.final_path.c_str()) != 0) err = os_file_error(errno);
  if (err) ::unlink(temp.c_str());
  return err;
}

// The whole file as bytes, or the failure.
std::variant<std::string, FileError> read_whole_file(const std::string& path) {
  using Result = std::variant<std::string, FileError>;
  if (path.find('\0') != std::string::npos) return Result(nul_in_path_error());
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return Result(os_file_error(errno));
  std::string bytes;
  struct stat st{};
  if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    bytes.reserve(static_cast<std::size_t>(st.st_size));
  }
  char buf[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Result(os_file_error(errno));
    }
    if (n == 0) break;
    bytes.append(buf, static_cast<std::size_t>(n));
  }
  return Result(std::move(bytes));
}

}  // namespace

void save_model(const UpliftRandomForestModel& forest, const std::string& path) {
  save_model(forest, std::nullopt, path);
}

std::optional<FileError> write_model_file(const UpliftRandomForestModel& forest,
                                          std::optional<std::string_view> kit_json,
                                          const std::string& path) {
  const std::string doc = write_model_json(forest, kit_json);
  return save_document(path, doc);
}

void save_model(const UpliftRandomForestModel& forest, std::optional<std::string_view> kit_json,
                const std::string& path) {
  if (const std::optional<FileError> err = write_model_file(forest, kit_json, path)) {
    panic_unwrap_err(render_file_error(*err));
  }
}

std::variant<std::string, FileError> read_model_file(const std::string& path) {
  return read_whole_file(path);
}

ModelDocument parse_model_document(std::string_view text) {
  if (first_invalid_utf8(text)) {
    panic_unwrap_err(render_simple_error("InvalidData", "stream did not contain valid UTF-8"));
  }
  auto parsed = read_model_document_json(text);
  if (auto* error = std::get_if<JsonError>(&parsed)) panic_unwrap_err(render_json_error(*error));
  return std::move(std::get<ModelDocument>(parsed));
}

ModelDocument load_model_document(const std::string& path) {
  auto file = read_whole_file(path);
  if (const auto* err = std::get_if<FileError>(&file)) panic_unwrap_err(render_file_error(*err));
  return parse_model_document(std::get<0>(file));
}

UpliftRandomForestModel load_model(const std::string& path) {
  return std::move(load_model_document(path).forest);
}

}  // namespace quillmarsh
