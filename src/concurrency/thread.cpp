// Operating-system facts used by the thread helpers.
#include "concurrency/thread.hpp"

#include <unistd.h>

namespace quillmarsh {

std::string render_os_error(const std::error_code& code) {
  return code.message() + " (os error " + std::to_string(code.value()) + ")";
}

int logical_processors() noexcept {
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (n >= 1) return static_cast<int>(n);
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? static_cast<int>(hw) : 1;
}

}  // namespace quillmarsh
