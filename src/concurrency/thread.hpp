// The only way a thread starts: detached, with every failure caught and reported on stderr.
#pragma once

#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "common/panic.hpp"

namespace quillmarsh {

// "<system text> (os error N)", the rendering of an operating-system error in messages.
std::string render_os_error(const std::error_code& code);

// Starts fn on a new detached thread. Nothing escapes the thread: a failure is reported on
// stderr and the thread ends, releasing whatever fn captured (Senders close, shared_ptrs drop).
// When the system refuses a thread, panics with `refusal_prefix` + ": " + the system error.
template <class Fn>
void spawn_detached(Fn fn, std::string_view refusal_prefix = "failed to spawn thread") {
  try {
    // fn (and every Sender it holds) is destroyed only after a failure has been reported,
    // so an owner that sees the channel close finds the report already on stderr.
    std::thread([fn = std::move(fn)]() mutable noexcept {
      run_reporting_failures([&] { fn(); });
    }).detach();
  } catch (const std::system_error& e) {
    panic(std::string(refusal_prefix) + ": " + render_os_error(e.code()));
  }
}

// Number of logical processors, at least 1.
int logical_processors() noexcept;

}  // namespace quillmarsh
