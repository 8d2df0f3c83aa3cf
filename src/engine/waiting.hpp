// The calling thread's side of work that runs on the engine's threads: the interpreter lock
// released while it waits, progress and Ctrl-C handled between waits, and every thread of the
// work ended before the call returns, on every path.
#pragma once

#include <chrono>
#include <utility>

#include "binding/python.hpp"

namespace quillmarsh {

// Releases the interpreter lock for the scope: other Python threads run meanwhile. Code in
// the scope must not touch any Python object; a C++ exception leaving it takes the lock back.
class LockReleased {
 public:
  LockReleased() noexcept : state_(PyEval_SaveThread()) {}
  ~LockReleased() { PyEval_RestoreThread(state_); }
  LockReleased(const LockReleased&) = delete;
  LockReleased& operator=(const LockReleased&) = delete;

 private:
  PyThreadState* state_;
};

// The longest the calling thread waits without looking at signals and progress.
inline constexpr std::chrono::milliseconds kPollInterval{100};

// Waits until wait(timeout) reports the work over, calling it with the lock released and a
// timeout of kPollInterval. After each wait, holding the lock, between() runs (progress; false
// with a Python error set) and, while the work goes on, the interpreter's signal handlers. False
// with the Python error set when either raised (KeyboardInterrupt for Ctrl-C): the caller
// then stops its work, whose threads StopAndJoin waits for.
template <class Wait, class Between>
bool wait_interruptibly(Wait&& wait, Between&& between) {
  for (;;) {
    bool over = false;
    {
      const LockReleased released;
      over = wait(kPollInterval);
    }
    if (!between()) return false;
    if (over) return true;
    if (PyErr_CheckSignals() != 0) return false;
  }
}

// At the end of its scope, on every path: stop() asks the work to end (a no-op for work that
// already did), then join() waits with the lock released until every thread of it has ended,
// so that no thread outlives the call or the buffers it reads.
template <class Stop, class Join>
class StopAndJoin {
 public:
  StopAndJoin(Stop stop, Join join) : stop_(std::move(stop)), join_(std::move(join)) {}
  ~StopAndJoin() {
    stop_();
    const LockReleased released;
    join_();
  }
  StopAndJoin(const StopAndJoin&) = delete;
  StopAndJoin& operator=(const StopAndJoin&) = delete;

 private:
  Stop stop_;
  Join join_;
};

}  // namespace quillmarsh
