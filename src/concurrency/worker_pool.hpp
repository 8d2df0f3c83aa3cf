// A fixed set of n threads running submitted jobs in submission order as threads become free.
// WorkerPool is a copyable handle; the threads end once every handle is gone and the jobs
// already submitted have run. A job that fails is reported on stderr; its thread goes on.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "concurrency/thread.hpp"

namespace quillmarsh {

class WorkerPool {
 public:
  using Job = std::function<void()>;

  // Starts n threads; panics "assertion failed: num_threads > 0" for n == 0, and
  // "called `Result::unwrap()` on an `Err` value: <os error>" when a thread is refused.
  // With `group`, the pool's threads are counted in it.
  explicit WorkerPool(std::size_t n, const std::shared_ptr<ThreadGroup>& group = nullptr);
  WorkerPool(const WorkerPool& o);
  WorkerPool(WorkerPool&& o) noexcept;
  WorkerPool& operator=(WorkerPool o) noexcept;
  ~WorkerPool();

  void submit(Job job);
  std::size_t size() const noexcept;

 private:
  struct State;
  static void worker_loop(const std::shared_ptr<State>& state);
  void release() noexcept;
  std::shared_ptr<State> state_;
};

}  // namespace quillmarsh
