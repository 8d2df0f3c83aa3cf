// The only way a thread starts: detached, with every failure caught and reported on stderr;
// optionally counted in a ThreadGroup so that an owner can wait until its threads are gone.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "common/page_allocator.hpp"
#include "common/panic.hpp"
#include "concurrency/cancel.hpp"

namespace quillmarsh {

// "<system text> (os error N)", the rendering of an operating-system error in messages.
std::string os_error_text(const std::error_code& code);

// The threads started into one group. A thread leaves the group only after everything its
// function held has been released, so an owner that saw the group empty knows that no thread
// of it still runs code of the module's or touches the data it shared.
class ThreadGroup {
 public:
  static std::shared_ptr<ThreadGroup> create() { return std::make_shared<ThreadGroup>(); }

  std::size_t running() const;
  void wait_until_empty() const;
  // False when threads still run after `timeout`.
  bool wait_until_empty_for(std::chrono::milliseconds timeout) const;

  void enter();
  void leave() noexcept;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable empty_;
  std::size_t running_ = 0;
};

// Starts fn on a new detached thread (counted in `group` when given). Nothing escapes the
// thread: a failure is reported on stderr and the thread ends, releasing whatever fn captured
// (Senders close, shared_ptrs drop); a Cancelled ends it without a report. When the system
// refuses a thread, panics with `refusal_prefix` + ": " + the system error.
template <class Fn>
void spawn_detached(Fn fn, const std::shared_ptr<ThreadGroup>& group,
                    std::string_view refusal_prefix = "failed to spawn thread") {
  if (group) group->enter();
  try {
    std::thread([fn = std::optional<Fn>(std::move(fn)), group]() mutable noexcept {
      {
        const ThreadHeapScope heap;  // the module's own heap, when one is installed
        run_reporting_failures([&] {
          try {
            (*fn)();
          } catch (const Cancelled&) {  // NOLINT(bugprone-empty-catch): no failure
          }
        });
        // fn (and every Sender it holds) is destroyed only after a failure has been reported,
        // so an owner that sees the channel close finds the report already on stderr; and
        // before the group hears that the thread has left.
        fn.reset();
      }
      if (group) group->leave();
    }).detach();
  } catch (const std::system_error& e) {
    if (group) group->leave();
    panic(std::string(refusal_prefix) + ": " + os_error_text(e.code()));
  }
}

template <class Fn>
void spawn_detached(Fn fn, std::string_view refusal_prefix = "failed to spawn thread") {
  spawn_detached(std::move(fn), nullptr, refusal_prefix);
}

// Number of logical processors, at least 1.
int logical_processors() noexcept;

}  // namespace quillmarsh
