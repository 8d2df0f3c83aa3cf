// The stream of blocks between the producing thread and the scoring threads: blocks go out
// through one hand-off queue that helpers and the calling thread take from, and come back to
// the calling thread scored, through a channel, to be taken and reused.
#include "uplift_random_forest/predict_stream.hpp"

#include <algorithm>
#include <chrono>
#include <limits>
#include <string>
#include <utility>

#include "concurrency/cancel.hpp"
#include "concurrency/channel.hpp"
#include "concurrency/hand_off.hpp"
#include "concurrency/thread.hpp"
#include "uplift_tree/tree_predict.hpp"

namespace quillmarsh {
namespace {

using BlockPtr = std::unique_ptr<StreamBlock>;

// Per scoring thread: the block walk's buffers.
struct Scratch {
  Scratch(const PackedForest& forest, std::size_t width)
      : block(forest.columns().size(), /*tagged=*/true), sums(RowBlock::kRows * width) {}
  RowBlock block;
  std::vector<double> sums;
};

// block.means from block.rows, as sum_rows sums them (the fast walk, or the exact walk row by
// row where the fast one meets a failure, which the exact walk raises).
void score_block(const PackedForest& forest, std::size_t width, double divisor, StreamBlock& b,
                 Scratch& s) {
  if (b.first == 0) check_first_row(forest, forest.all_trees(), b.rows);
  const std::size_t rows = b.rows.size();
  b.means.resize(rows * width);
  const std::span<const std::uint32_t> trees = forest.all_trees();
  for (std::size_t first = 0; first < rows; first += RowBlock::kRows) {
    s.block.set_rows(std::min(RowBlock::kRows, rows - first));
    sum_block(forest, trees, b.rows, first, b.text_ids, width, s.block, s.sums);
    double* const out = b.means.data() + first * width;
    const std::size_t values = s.block.rows() * width;
    for (std::size_t v = 0; v < values; ++v) out[v] = s.sums[v] / divisor;
  }
}

// A scored block and the failure that stopped its scoring, if any.
struct Scored {
  BlockPtr block;
  std::optional<Panic> failure;
};

Scored scored(const PackedForest& forest, std::size_t width, double divisor, BlockPtr b,
              Scratch& s) {
  Scored result{std::move(b), std::nullopt};
  try {
    score_block(forest, width, divisor, *result.block, s);
  } catch (const Panic& p) {
    result.failure = p;
  } catch (const std::exception& e) {  // such as std::bad_alloc
    result.failure = Panic(e.what(), std::source_location::current());
  }
  return result;
}

// Raises `stop`, closes the queue and waits until every helper has ended, on every way out
// (a helper that sees `stop` leaves the blocks still queued unscored).
class CloseAndWait {
 public:
  CloseAndWait(CancelFlag& stop, HandOff<BlockPtr>& queue, const ThreadGroup& group) noexcept
      : stop_(stop), queue_(queue), group_(group) {}
  CloseAndWait(const CloseAndWait&) = delete;
  CloseAndWait& operator=(const CloseAndWait&) = delete;
  ~CloseAndWait() {
    stop_.request();
    queue_.close();
    group_.wait_until_empty();
  }

 private:
  CancelFlag& stop_;
  HandOff<BlockPtr>& queue_;
  const ThreadGroup& group_;
};

// The calling thread's side of one call.
class Stream {
 public:
  Stream(const PackedForest& forest, std::size_t width, double divisor, std::size_t helpers,
         Receiver<Scored> done, HandOff<BlockPtr>& queue, const StreamTake& take)
      : forest_(forest),
        width_(width),
        divisor_(divisor),
        limit_(2 * helpers + 2),
        done_(std::move(done)),
        queue_(queue),
        take_(take),
        scratch_(forest, width) {}

  // A block to produce into: a free one, a new one while fewer than the limit exist, or the
  // first to come back after the calling thread scored one waiting in the queue or, when
  // none waits, after waiting for a helper.
  BlockPtr free_block() {
    collect_ready();
    if (free_.empty() && made_ < limit_) {
      ++made_;
      return std::make_unique<StreamBlock>();
    }
    while (free_.empty()) step();
    BlockPtr b = std::move(free_.back());
    free_.pop_back();
    return b;
  }

  void submit(BlockPtr b) {
    ++out_;
    if (!queue_.push(std::move(b))) panic("predict_stream: the queue closed early");
  }

  // Every block submitted, scored and taken.
  void finish() {
    queue_.close();
    while (out_ != 0) step();
  }

  std::optional<Panic> failure() && { return std::move(failure_); }

 private:
  // Scores a waiting block here, or waits for one to come back.
  void step() {
    if (std::optional<BlockPtr> b = queue_.try_pop()) {
      receive(scored(forest_, width_, divisor_, std::move(*b), scratch_));
      return;
    }
    std::optional<Scored> back = done_.recv();
    if (!back) panic("predict_stream: the scoring threads ended before their blocks");
    receive(std::move(*back));
  }

  void collect_ready() {
    while (std::optional<Scored> back = done_.recv_for(std::chrono::milliseconds(0))) {
      receive(std::move(*back));
    }
  }

  void receive(Scored s) {
    --out_;
    if (s.failure && (!failure_ || s.block->first < failed_at_)) {
      failure_ = std::move(s.failure);
      failed_at_ = s.block->first;
    }
    if (!failure_) take_(*s.block);
    free_.push_back(std::move(s.block));
  }

  const PackedForest& forest_;
  std::size_t width_;
  double divisor_;
  std::size_t limit_;  // blocks in use at most
  Receiver<Scored> done_;
  HandOff<BlockPtr>& queue_;
  const StreamTake& take_;
  Scratch scratch_;
  std::vector<BlockPtr> free_;
  std::size_t made_ = 0;
  std::size_t out_ = 0;  // submitted, not yet back
  std::optional<Panic> failure_;
  std::size_t failed_at_ = std::numeric_limits<std::size_t>::max();
};

void start_helpers(const PackedForest& forest, std::size_t width, double divisor,
                   std::size_t helpers, const CancelFlag& stop, HandOff<BlockPtr>& queue,
                   const Sender<Scored>& sender, const std::shared_ptr<ThreadGroup>& running) {
  for (std::size_t t = 0; t < helpers; ++t) {
    spawn_detached(
        [&forest, width, divisor, &stop, &queue, tx = sender]() mutable {
          Scratch scratch(forest, width);
          while (std::optional<BlockPtr> b = queue.pop()) {
            if (stop.requested()) return;
            if (!tx.send(scored(forest, width, divisor, std::move(*b), scratch))) return;
          }
        },
        running);
  }
}

}  // namespace

std::optional<Panic> predict_stream(const PackedForest& forest, double divisor, std::size_t n_rows,
                                    std::size_t n_threads, const StreamProduce& produce,
                                    const StreamTake& take) {
  if (n_rows == 0) return std::nullopt;
  if (!forest.leaf_width()) panic("predict_stream: the forest's leaves differ in width");
  const std::size_t width = *forest.leaf_width();
  const std::size_t n_blocks = (n_rows + StreamBlock::kRows - 1) / StreamBlock::kRows;
  const std::size_t helpers = std::clamp<std::size_t>(n_threads, 1, n_blocks) - 1;
  HandOff<BlockPtr> queue;
  CancelFlag stop;
  auto [sender, receiver] = make_channel<Scored>();
  const std::shared_ptr<ThreadGroup> running = ThreadGroup::create();
  const CloseAndWait on_exit(stop, queue, *running);
  Stream stream(forest, width, divisor, helpers, std::move(receiver), queue, take);
  start_helpers(forest, width, divisor, helpers, stop, queue, sender, running);
  sender.reset();
  for (std::size_t b = 0; b < n_blocks; ++b) {
    BlockPtr block = stream.free_block();
    block->first = b * StreamBlock::kRows;
    block->count = std::min(StreamBlock::kRows, n_rows - block->first);
    block->rows.clear();
    block->text_ids.clear();
    produce(*block);
    stream.submit(std::move(block));
  }
  stream.finish();
  return std::move(stream).failure();
}

}  // namespace quillmarsh
