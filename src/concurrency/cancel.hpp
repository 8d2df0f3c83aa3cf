// Cancellation of work in flight: a flag the owner raises and workers read at safe points
// (between nodes, between blocks of rows), and the exception that unwinds work which saw it.
#pragma once

#include <atomic>

namespace quillmarsh {

// Thrown by work that found its CancelFlag raised. It is not a failure: thread bodies end
// quietly on it, and only the owner that raised the flag decides what the caller sees.
struct Cancelled {};

class CancelFlag {
 public:
  void request() noexcept { raised_.store(true, std::memory_order_relaxed); }
  bool requested() const noexcept { return raised_.load(std::memory_order_relaxed); }
  void throw_if_requested() const {
    // Cancelled is no std::exception, so that failure captures let a cancellation pass.
    // NOLINTNEXTLINE(bugprone-std-exception-baseclass)
    if (requested()) throw Cancelled{};
  }

 private:
  std::atomic<bool> raised_{false};
};

}  // namespace quillmarsh
