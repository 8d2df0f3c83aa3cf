// Prediction with one tree: the walk from the root to the leaf a row reaches, for one row
// (on the tree record itself) and for a batch (on a compact copy of the tree's tests).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "uplift_tree/records.hpp"
#include "uplift_tree/row_batch.hpp"

namespace quillmarsh {

// The uplift vector of the leaf `row` reaches. The row's length is not checked up front: a
// failure comes only from a cell the walk tests (beyond the row, or of the wrong kind), or
// from a node array that growth did not produce. The reference lives as long as the tree.
const std::vector<double>& find_leaf(const UpliftTreeModel& tree, RowView row);

// A copy of find_leaf's vector.
std::vector<double> predict_row(const UpliftTreeModel& tree, RowView row);

// One result vector per row, stored flat. While every row has the same width, row r is
// values[r*width .. (r+1)*width) and row_end stays empty; the first row of another width
// switches the table to row ends: row r spans values[row_end[r-1] .. row_end[r]).
class PredictionTable {
 public:
  void reserve(std::size_t rows, std::size_t values);
  void push_row(std::span<const double> row) {
    if (rows_ != 0 && row_end_.empty() && row.size() == width_) {  // the usual case, inline
      for (const double v : row) values_.push_back(v);
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

// The tests of a tree's node array packed into 16-byte nodes, and its leaf vectors copied
// into one array, for walking many rows. Walks exactly like find_leaf, with the same failures.
class FlatTree {
 public:
  explicit FlatTree(const UpliftTreeModel& tree);
  std::span<const double> find_leaf(RowView row) const;

  // Up to kLanes independent walks, walk l taking trees[l] and rows[l], advanced in lockstep
  // so that their memory loads overlap. Fills leaves[0 .. walks) and returns true, or returns
  // false as soon as any walk meets a failure; the caller then repeats the walks one by one
  // with find_leaf, which raises the failure of the first failing walk in order.
  static constexpr std::size_t kLanes = 8;
  static bool find_leaves(const FlatTree* const* trees, const RowView* rows,
                          std::span<const double>* leaves, std::size_t walks) noexcept;
  // The same with this tree in every lane.
  bool find_leaves(const RowView* rows, std::span<const double>* leaves,
                   std::size_t walks) const noexcept;

 private:
  enum class Kind : std::uint8_t { Leaf, Numeric, Text };
  struct Node {
    std::int32_t col = 0;    // Numeric, Text: the node's col_idx; Leaf: the vector's length
    std::uint32_t ref = 0;   // Text: index into categories_; Leaf: first entry in leaf_values_
    float threshold = 0.0f;  // Numeric only
    Kind kind = Kind::Leaf;
  };
  template <bool kOneTree>
  static bool walk_lanes(const FlatTree* const* trees, const RowView* rows,
                         std::span<const double>* leaves, std::size_t walks) noexcept;

  std::vector<Node> nodes_;
  std::vector<double> leaf_values_;
  std::vector<std::string> categories_;
};

// The batch walk: fails on an empty batch ("index out of bounds" with 0 and 0) and on a first
// row whose length differs from the tree's feature count, then predicts every row in order.
PredictionTable predict_rows(const UpliftTreeModel& tree, const RowBatch& rows);

// The batch walk of several trees in one pass over the rows (each block of rows is walked by
// every tree while it is in cache): tables[i] equals predict_rows(*trees[i], rows). Fails
// when any of those would; the message is that of the first failure in the order block of
// rows, tree, row, after the empty-batch and first-width checks of every tree in order.
std::vector<PredictionTable> predict_rows(std::span<const UpliftTreeModel* const> trees,
                                          const RowBatch& rows);

}  // namespace quillmarsh
