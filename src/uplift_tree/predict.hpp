// Prediction with one tree: the walk from the root to the leaf a row reaches, for one row
// (on the tree record itself) and for a batch (on a compact copy of the tree's tests).
#pragma once

#include <cstdint>
#include <span>
#include <string>
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

// One result vector per row, stored flat: row r spans values[row_end[r-1] .. row_end[r]).
struct PredictionTable {
  std::vector<double> values;
  std::vector<std::uint64_t> row_end;

  std::size_t size() const noexcept { return row_end.size(); }
  std::span<const double> row(std::size_t r) const noexcept {
    const std::uint64_t begin = r == 0 ? 0 : row_end[r - 1];
    return {values.data() + begin, row_end[r] - begin};
  }
  std::span<double> row(std::size_t r) noexcept {
    const std::uint64_t begin = r == 0 ? 0 : row_end[r - 1];
    return {values.data() + begin, row_end[r] - begin};
  }
};

// The tests of a tree's node array packed into 16-byte nodes, for walking many rows.
// Walks exactly like find_leaf, with the same failures. Holds pointers into the tree's leaf
// vectors, so it must not outlive the tree it was built from.
class FlatTree {
 public:
  explicit FlatTree(const UpliftTreeModel& tree);
  const std::vector<double>& find_leaf(RowView row) const;
  std::size_t feature_count() const noexcept { return feature_count_; }

 private:
  enum class Kind : std::uint8_t { Leaf, Numeric, Text };
  struct Node {
    std::int32_t col = 0;    // the node's col_idx
    std::uint32_t ref = 0;   // Text: index into categories_; Leaf: index into leaves_
    float threshold = 0.0f;  // Numeric only
    Kind kind = Kind::Leaf;
  };
  std::vector<Node> nodes_;
  std::vector<const std::vector<double>*> leaves_;
  std::vector<const std::string*> categories_;
  std::size_t feature_count_ = 0;
};

// The batch walk: fails on an empty batch ("index out of bounds" with 0 and 0) and on a first
// row whose length differs from the tree's feature count, then predicts every row in order.
PredictionTable predict_rows(const UpliftTreeModel& tree, const RowBatch& rows);

}  // namespace quillmarsh
