// A first-in first-out queue that many threads push to and take from, closed by its owner:
// the way work passes from one thread to any of several others.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

namespace quillmarsh {

template <class T>
class HandOff {
 public:
  // False (the value is dropped) once the queue is closed.
  bool push(T value) {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return false;
      items_.push_back(std::move(value));
    }
    ready_.notify_one();
    return true;
  }

  // The oldest value, or nullopt at once when there is none.
  std::optional<T> try_pop() {
    std::lock_guard lock(mutex_);
    return pop_locked();
  }

  // The oldest value; waits while the queue is empty and open. nullopt once it is closed and
  // empty.
  std::optional<T> pop() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return !items_.empty() || closed_; });
    return pop_locked();
  }

  // No value is accepted after this; those already in the queue are still taken.
  void close() noexcept {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    ready_.notify_all();
  }

 private:
  std::optional<T> pop_locked() {
    if (items_.empty()) return std::nullopt;
    std::optional<T> value(std::move(items_.front()));
    items_.pop_front();
    return value;
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<T> items_;
  bool closed_ = false;
};

}  // namespace quillmarsh
