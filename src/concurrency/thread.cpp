// Operating-system facts used by the thread helpers.
#include "concurrency/thread.hpp"

#include <unistd.h>

namespace quillmarsh {

std::string os_error_text(const std::error_code& code) {
  return code.message() + " (os error " + std::to_string(code.value()) + ")";
}

std::size_t ThreadGroup::running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

void ThreadGroup::wait_until_empty() const {
  std::unique_lock lock(mutex_);
  empty_.wait(lock, [&] { return running_ == 0; });
}

bool ThreadGroup::wait_until_empty_for(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return empty_.wait_for(lock, timeout, [&] { return running_ == 0; });
}

void ThreadGroup::enter() {
  std::lock_guard lock(mutex_);
  ++running_;
}

void ThreadGroup::leave() noexcept {
  bool last;
  {
    std::lock_guard lock(mutex_);
    last = --running_ == 0;
  }
  if (last) empty_.notify_all();
}

int logical_processors() noexcept {
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (n >= 1) return static_cast<int>(n);
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? static_cast<int>(hw) : 1;
}

}  // namespace quillmarsh
