// Prediction of rows that are produced block by block on the calling thread (converted from
// the caller's own objects) while other threads already score the blocks produced before.
// Only the calling thread produces blocks and takes their results, so it may touch objects
// no other thread may; the scoring threads see nothing but the blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "common/panic.hpp"
#include "uplift_tree/packed_forest.hpp"
#include "uplift_tree/row_batch.hpp"

namespace quillmarsh {

// One block of rows on its way through predict_stream. Blocks are reused: `rows` and
// `text_ids` come to the producer empty, with the capacity of their last use.
struct StreamBlock {
  static constexpr std::size_t kRows = 2048;

  std::size_t first = 0;  // the block's first row in the call
  std::size_t count = 0;  // rows the producer is to put in `rows`
  // The rows, with no texts of their own: a text cell's index selects its entry of
  // `text_ids`, the forest's category id of that cell's text (PackedForest::category_id).
  RowBatch rows;
  std::vector<std::uint32_t> text_ids;
  // Scoring's result: row r of the block is means[r * width .. (r + 1) * width).
  std::vector<double> means;
};

using StreamProduce = std::function<void(StreamBlock&)>;
using StreamTake = std::function<void(const StreamBlock&)>;

// Scores rows 0 .. n_rows-1 of the call in blocks of StreamBlock::kRows: produce(block)
// fills block.rows (and text_ids) with rows [block.first, block.first + block.count) on the
// calling thread, and once scored, take(block) receives the block there, blocks in any order.
// The mean of a row is its sum over every tree of the forest in list order, divided by
// `divisor`: to the bit sum_rows of all_trees() divided entry by entry. The forest's leaves
// must share one width (leaf_width()).
//
// Runs on at most n_threads threads: the calling thread and helpers it starts (at most one
// per block beyond the first). The calling thread scores blocks too whenever it is ahead of the
// helpers, so the blocks in flight stay few and their buffers are reused. Before scoring the
// block of row 0, the batch walk's check is made: row 0 is as wide as every tree's
// feature_cols.
//
// A failure of produce or take ends the call: the helpers stop, every thread has ended when
// the failure leaves. A failure while scoring a block does not stop the production: take() is
// not called any more, and once every block is produced the first failure (in row order) is
// returned; nullopt when every block was scored and taken.
std::optional<Panic> predict_stream(const PackedForest& forest, double divisor, std::size_t n_rows,
                                    std::size_t n_threads, const StreamProduce& produce,
                                    const StreamTake& take);

}  // namespace quillmarsh
