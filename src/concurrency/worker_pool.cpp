// The worker pool: a deque of jobs behind one mutex, drained by n detached threads.
#include "concurrency/worker_pool.hpp"

#include <utility>

#include "common/panic.hpp"
#include "concurrency/thread.hpp"

namespace quillmarsh {

struct WorkerPool::State {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Job> jobs;
  std::size_t handles = 1;
  std::size_t threads = 0;
  bool open = true;  // false once every handle is gone
};

WorkerPool::WorkerPool(std::size_t n, const std::shared_ptr<ThreadGroup>& group)
    : state_(std::make_shared<State>()) {
  if (n == 0) panic("assertion failed: num_threads > 0");
  state_->threads = n;
  for (std::size_t i = 0; i < n; ++i) {
    std::shared_ptr<State> state = state_;
    try {
      spawn_detached([state] { worker_loop(state); }, group, kUnwrapErr);
    } catch (...) {
      release();  // threads already started end once they see the pool closed
      throw;
    }
  }
}

WorkerPool::WorkerPool(const WorkerPool& o) : state_(o.state_) {
  if (state_) {
    std::lock_guard lock(state_->mutex);
    ++state_->handles;
  }
}

WorkerPool::WorkerPool(WorkerPool&& o) noexcept : state_(std::move(o.state_)) {}

WorkerPool& WorkerPool::operator=(WorkerPool o) noexcept {
  std::swap(state_, o.state_);
  return *this;
}

WorkerPool::~WorkerPool() { release(); }

void WorkerPool::release() noexcept {
  if (!state_) return;
  bool last;
  {
    std::lock_guard lock(state_->mutex);
    last = --state_->handles == 0;
    if (last) state_->open = false;
  }
  if (last) state_->wake.notify_all();
  state_.reset();
}

void WorkerPool::submit(Job job) {
  {
    std::lock_guard lock(state_->mutex);
    state_->jobs.push_back(std::move(job));
  }
  state_->wake.notify_one();
}

std::size_t WorkerPool::size() const noexcept { return state_ ? state_->threads : 0; }

void WorkerPool::worker_loop(const std::shared_ptr<State>& state) {
  for (;;) {
    Job job;
    {
      std::unique_lock lock(state->mutex);
      state->wake.wait(lock, [&] { return !state->jobs.empty() || !state->open; });
      if (state->jobs.empty()) return;  // closed and drained
      job = std::move(state->jobs.front());
      state->jobs.pop_front();
    }
    // A failing job ends only itself; its captured Senders are released with it, after
    // its failure has been reported.
    run_reporting_failures([&] {
      try {
        job();
      } catch (const Cancelled&) {  // NOLINT(bugprone-empty-catch): cancellation is no failure
      }
    });
    job = nullptr;
  }
}

}  // namespace quillmarsh
