// The job queue of training and multi-threaded prediction: filled before any consumer starts,
// then read by many threads at once without waiting (a vector plus an atomic cursor).
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

namespace quillmarsh {

class JobQueue {
 public:
  // Jobs 0, 1, ..., count-1 in this order; nothing when count <= 0.
  static JobQueue sequence(std::int32_t count);
  explicit JobQueue(std::vector<std::int32_t> jobs) noexcept : jobs_(std::move(jobs)) {}
  JobQueue(const JobQueue&) = delete;
  JobQueue& operator=(const JobQueue&) = delete;
  JobQueue(JobQueue&& o) noexcept : jobs_(std::move(o.jobs_)), next_(o.next_.load()) {}

  // Thread-safe, lock-free; the next job in first-in first-out order, or nullopt once empty.
  std::optional<std::int32_t> try_pop() noexcept {
    const std::size_t i = next_.fetch_add(1, std::memory_order_relaxed);
    if (i >= jobs_.size()) return std::nullopt;
    return jobs_[i];
  }

 private:
  std::vector<std::int32_t> jobs_;
  std::atomic<std::size_t> next_{0};
};

}  // namespace quillmarsh
