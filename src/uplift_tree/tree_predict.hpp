// Prediction with trees: the walk from the root to the leaf a row reaches on the tree record,
// and the sums of several packed trees' outputs over a batch of rows.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "uplift_tree/packed_forest.hpp"
#include "uplift_tree/records.hpp"
#include "uplift_tree/row_batch.hpp"

namespace quillmarsh {

// The uplift vector of the leaf `row` reaches. The row's length is not checked up front: a
// failure comes only from a cell the walk tests (beyond the row, or of the wrong kind), or
// from a node array that growth did not produce. The reference lives as long as the tree.
const std::vector<double>& find_leaf(const UpliftTreeModel& tree, RowView row);

// A copy of find_leaf's vector.
std::vector<double> predict_row(const UpliftTreeModel& tree, RowView row);

// sum[i] += output[i] over the sum's length; the first output becomes the sum. Entries of
// `output` beyond the sum are ignored; a shorter output is an index failure.
void add_output(std::vector<double>& sum, std::span<const double> output);

// One result vector per row, stored flat. While every row has the same width, row r is
// values[r*width .. (r+1)*width) and row_end stays empty; the first row of another width
// switches the table to row ends: row r spans values[row_end[r-1] .. row_end[r]).
class PredictionTable {
 public:
  void reserve(std::size_t rows, std::size_t values);
  void push_row(std::span<const double> row) {
    if (rows_ != 0 && row_end_.empty() && row.size() == width_) {  // the usual case, inline
      values_.insert(values_.end(), row.begin(), row.end());
      ++rows_;
      return;
    }
    push_row_slow(row);
  }

  std::size_t size() const noexcept { return rows_; }
  bool uniform() const noexcept { return row_end_.empty(); }
  std::size_t width() const noexcept { return width_; }  // meaningful while uniform()
  std::span<const double> row(std::size_t r) const noexcept {
    if (row_end_.empty()) return {values_.data() + r * width_, width_};
    const std::uint64_t begin = r == 0 ? 0 : row_end_[r - 1];
    return {values_.data() + begin, row_end_[r] - begin};
  }
  std::span<double> row(std::size_t r) noexcept {
    const std::span<const double> view = std::as_const(*this).row(r);
    return {values_.data() + (view.data() - values_.data()), view.size()};
  }
  std::span<double> values() noexcept { return values_; }
  std::span<const double> values() const noexcept { return values_; }

 private:
  void push_row_slow(std::span<const double> row);

  std::vector<double> values_;
  std::vector<std::uint64_t> row_end_;
  std::size_t rows_ = 0;
  std::size_t width_ = 0;
};

// The exact sum of the outputs of `trees` (tree numbers of the forest, added in this order
// with add_output) for one row; text_ids as for PackedForest::find_leaf.
std::vector<double> sum_row(const PackedForest& forest, std::span<const std::uint32_t> trees,
                            RowView row, std::span<const std::uint32_t> text_ids);

// Rows [first, first + block.rows()) of the batch into the block, in the forest's columns. A
// cell beyond a row's end is missing; a text cell carries text_ids[its text]. True when the
// unchecked walk may take the block: the forest is walkable() and every cell is of the kind its
// column's splits test. Otherwise the block's tags are filled for the checked walk.
bool load_block(const PackedForest& forest, const RowBatch& rows, std::size_t first,
                std::span<const std::uint32_t> text_ids, RowBlock& block);

// Whether sum_rows first makes the batch walk's checks for every tree, in order: the batch
// holds a row, and its first row is as wide as the tree's feature_cols.
enum class BatchChecks : std::uint8_t { kNone, kFirstRow };

// The batch walk's checks for every tree, in order: the batch holds a row, and its first row
// is as wide as the tree's feature_cols.
void check_first_row(const PackedForest& forest, std::span<const std::uint32_t> trees,
                     const RowBatch& rows);

// sums[r * width + v] = sum_row(forest, trees, rows.row(first + r), text_ids)[v] for the
// block.rows() rows from `first` (block sized by the caller): walked level by level, or row by
// row with sum_row where the fast walk meets a failure, which sum_row then raises. `width` is
// the forest's leaf_width().
void sum_block(const PackedForest& forest, std::span<const std::uint32_t> trees,
               const RowBatch& rows, std::size_t first, std::span<const std::uint32_t> text_ids,
               std::size_t width, RowBlock& block, std::span<double> sums);

// Row r of the table is sum_row(forest, trees, rows.row(r), ...). Fails with the message of
// the first failure in row order (then tree order), after the batch checks. Blocks of rows
// are walked level by level; a block in which the fast walk meets a failure, and every block of
// a forest whose leaves differ in length, is summed row by row with sum_row.
PredictionTable sum_rows(const PackedForest& forest, std::span<const std::uint32_t> trees,
                         const RowBatch& rows, BatchChecks checks);

}  // namespace quillmarsh
