// Work over the blocks of rows of one call, shared by the threads of the call: prediction and
// explanation both take blocks from one queue on the calling thread and its helpers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/panic.hpp"
#include "concurrency/cancel.hpp"
#include "concurrency/channel.hpp"
#include "concurrency/job_queue.hpp"
#include "concurrency/thread.hpp"

namespace quillmarsh {

// Raises `stop` and waits until every thread of the group has ended, on every way out.
class StopAndWait {
 public:
  StopAndWait(CancelFlag& stop, const ThreadGroup& group) noexcept : stop_(stop), group_(group) {}
  StopAndWait(const StopAndWait&) = delete;
  StopAndWait& operator=(const StopAndWait&) = delete;
  ~StopAndWait() {
    stop_.request();
    group_.wait_until_empty();
  }

 private:
  CancelFlag& stop_;
  const ThreadGroup& group_;
};

// Runs `take_blocks(queue, stop)` on up to `n_threads` threads, the calling thread among
// them: each call takes blocks of `block_rows` rows from the one queue until none is left or
// `stop` is raised, and returns how many blocks it finished. Returns once every thread has
// ended and every block is done; throws Cancelled when `cancel` was requested, and panics,
// naming `what`, when a thread failed (its report is on standard error).
template <class TakeBlocks>
void run_row_blocks(std::string_view what, std::size_t n_rows, std::size_t block_rows,
                    std::size_t n_threads, const CancelFlag* cancel, TakeBlocks take_blocks) {
  const std::size_t n_blocks = (n_rows + block_rows - 1) / block_rows;
  if (n_blocks > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    panic(std::string(what) + ": " + std::to_string(n_rows) + " rows are too many for one call");
  }
  JobQueue blocks = JobQueue::sequence(static_cast<std::int32_t>(n_blocks));
  const std::size_t threads =
      std::clamp<std::size_t>(n_threads, 1, std::max<std::size_t>(n_blocks, 1));
  // The calling thread takes blocks too; the others report how many blocks they finished.
  auto [sender, receiver] = make_channel<std::size_t>();
  CancelFlag stop;
  std::size_t done = 0;
  {
    const std::shared_ptr<ThreadGroup> running = ThreadGroup::create();
    const StopAndWait on_exit(stop, *running);
    for (std::size_t t = 1; t < threads; ++t) {
      spawn_detached([&take_blocks, &blocks, &stop,
                      tx = sender]() mutable { tx.send(take_blocks(blocks, stop)); },
                     running);
    }
    sender.reset();
    done = take_blocks(blocks, stop);
    while (const std::optional<std::size_t> finished = receiver.recv()) done += *finished;
  }
  if (done == n_blocks) return;
  if (cancel != nullptr) cancel->throw_if_requested();
  panic(std::string(what) + ": a thread of the call failed; its report is on standard error");
}

}  // namespace quillmarsh
