// An unbounded channel with many senders and one receiver. Sender is RAII: when the last
// Sender is gone the Receiver sees closure (recv() returns nullopt once the queue is drained),
// and when the Receiver is gone every send fails.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace quillmarsh {

namespace detail {
template <class T>
struct ChannelState {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<T> items;
  std::size_t senders = 1;
  bool receiver_alive = true;
};
}  // namespace detail

template <class T>
class Sender {
 public:
  explicit Sender(std::shared_ptr<detail::ChannelState<T>> s) noexcept : state_(std::move(s)) {}
  Sender(const Sender& o) : state_(o.state_) {
    if (state_) {
      std::lock_guard lock(state_->mutex);
      ++state_->senders;
    }
  }
  Sender(Sender&& o) noexcept : state_(std::move(o.state_)) {}
  Sender& operator=(Sender o) noexcept {
    std::swap(state_, o.state_);
    return *this;
  }
  ~Sender() { reset(); }

  // False when the receiver is gone (the value is dropped).
  bool send(T value) {
    if (!state_) return false;
    {
      std::lock_guard lock(state_->mutex);
      if (!state_->receiver_alive) return false;
      state_->items.push_back(std::move(value));
    }
    state_->ready.notify_one();
    return true;
  }

  // Releases this sender now; the last release wakes the receiver.
  void reset() noexcept {
    if (!state_) return;
    bool last;
    {
      std::lock_guard lock(state_->mutex);
      last = --state_->senders == 0;
    }
    if (last) state_->ready.notify_all();
    state_.reset();
  }

 private:
  std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
class Receiver {
 public:
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> s) noexcept : state_(std::move(s)) {}
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&&) noexcept = default;
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() {
    if (!state_) return;
    std::deque<T> dropped;  // destroyed outside the lock
    std::lock_guard lock(state_->mutex);
    state_->receiver_alive = false;
    dropped.swap(state_->items);
  }

  // Blocks until a value arrives or every sender is gone and the queue is empty (nullopt).
  std::optional<T> recv() {
    std::unique_lock lock(state_->mutex);
    state_->ready.wait(lock, [&] { return !state_->items.empty() || state_->senders == 0; });
    return pop_locked();
  }

  // As recv(), but gives up after `timeout` (nullopt, as for closure; see closed()).
  template <class Rep, class Period>
  std::optional<T> recv_for(std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock lock(state_->mutex);
    state_->ready.wait_for(lock, timeout,
                           [&] { return !state_->items.empty() || state_->senders == 0; });
    return pop_locked();
  }

  // True once every sender is gone and nothing is left to receive.
  bool closed() const {
    std::lock_guard lock(state_->mutex);
    return state_->senders == 0 && state_->items.empty();
  }

 private:
  std::optional<T> pop_locked() {
    if (state_->items.empty()) return std::nullopt;
    std::optional<T> value(std::move(state_->items.front()));
    state_->items.pop_front();
    return value;
  }
  std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
  auto state = std::make_shared<detail::ChannelState<T>>();
  return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace quillmarsh
