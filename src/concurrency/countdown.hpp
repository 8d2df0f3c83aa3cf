// The completion of a known number of jobs, seen by one waiter. Each job holds an Arrival and
// arrives when the last copy of it is destroyed, after the job ran or once it never will, so
// a failed job cannot leave the waiter hanging; only the last arrival wakes the waiter.
#pragma once

#include <cstddef>
#include <latch>
#include <memory>
#include <utility>

namespace quillmarsh {

class Countdown {
 public:
  explicit Countdown(std::ptrdiff_t jobs) : left_(jobs) {}
  Countdown(const Countdown&) = delete;
  Countdown& operator=(const Countdown&) = delete;

  // Blocks until every job has arrived.
  void wait() const { left_.wait(); }
  // False while a job has yet to arrive (and possibly, briefly, just after the last one).
  bool arrived() const noexcept { return left_.try_wait(); }

  // One job's share: arrives when destroyed. Jobs hold it by shared_ptr, so that copies of a
  // job arrive once.
  class Arrival {
   public:
    explicit Arrival(std::shared_ptr<Countdown> countdown) noexcept
        : countdown_(std::move(countdown)) {}
    Arrival(const Arrival&) = delete;
    Arrival& operator=(const Arrival&) = delete;
    ~Arrival() { countdown_->left_.count_down(); }

   private:
    std::shared_ptr<Countdown> countdown_;
  };

 private:
  mutable std::latch left_;
};

}  // namespace quillmarsh
