// The root-to-leaf walk of one tree, on the record and on its packed copy.
#include "uplift_tree/predict.hpp"

#include <algorithm>
#include <iterator>
#include <limits>

#include "common/panic.hpp"

namespace quillmarsh {
namespace {

// col_idx is signed; it indexes the row after widening with its sign, so -1 reads as 2^64-1
// and always lies beyond the row.
std::uint64_t column_of(std::int32_t col_idx) noexcept {
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(col_idx));
}

const Cell& tested_cell(RowView row, std::int32_t col_idx) {
  const std::uint64_t c = column_of(col_idx);
  if (c >= row.size()) panic_index(row.size(), c);
  return row.cells[c];
}

// Left takes v <= t; a NaN on either side compares false and goes right.
bool goes_left(const Cell& cell, float threshold) {
  if (!cell.is_number()) panic("not f64");
  return cell.number <= threshold;
}

bool goes_left(RowView row, const Cell& cell, const std::string& category) {
  if (cell.is_number()) panic("not str");
  return (*row.texts)[cell.text] == category;
}

std::uint64_t next_slot(std::uint64_t slot, bool left, std::uint64_t node_count) {
  const std::uint64_t next = left ? left_child(slot) : right_child(slot);
  if (next >= node_count) panic_index(node_count, next);
  return next;
}

}  // namespace

const std::vector<double>& find_leaf(const UpliftTreeModel& tree, RowView row) {
  const std::vector<TreeNode>& nodes = tree.nodes;
  if (nodes.empty()) panic_index(0, 0);
  std::uint64_t slot = 0;
  for (;;) {
    const TreeNode& node = nodes[slot];
    if (node.is_leaf()) return node.prob;
    const Cell& cell = tested_cell(row, node.col_idx);
    const bool left = node.split_value.is_numeric()
                          ? goes_left(cell, node.split_value.as_numeric())
                          : goes_left(row, cell, node.split_value.as_str());
    slot = next_slot(slot, left, nodes.size());
  }
}

std::vector<double> predict_row(const UpliftTreeModel& tree, RowView row) {
  return find_leaf(tree, row);
}

FlatTree::FlatTree(const UpliftTreeModel& tree) {
  constexpr std::uint64_t kMaxRef = std::numeric_limits<std::uint32_t>::max();
  constexpr std::uint64_t kMaxLength = std::numeric_limits<std::int32_t>::max();
  nodes_.reserve(tree.nodes.size());
  for (const TreeNode& node : tree.nodes) {
    Node flat;
    flat.col = node.col_idx;
    if (node.is_leaf()) {
      // Bounds of the packed fields; no tree that fits memory comes near them.
      if (leaf_values_.size() > kMaxRef || node.prob.size() > kMaxLength) {
        panic("tree too large to predict: " + std::to_string(tree.nodes.size()) + " nodes");
      }
      flat.kind = Kind::Leaf;
      flat.col = static_cast<std::int32_t>(node.prob.size());
      flat.ref = static_cast<std::uint32_t>(leaf_values_.size());
      leaf_values_.insert(leaf_values_.end(), node.prob.begin(), node.prob.end());
    } else if (node.split_value.is_numeric()) {
      flat.kind = Kind::Numeric;
      flat.threshold = node.split_value.as_numeric();
    } else {
      if (categories_.size() >= kMaxRef) {
        panic("tree too large to predict: " + std::to_string(tree.nodes.size()) + " nodes");
      }
      flat.kind = Kind::Text;
      flat.ref = static_cast<std::uint32_t>(categories_.size());
      categories_.push_back(node.split_value.as_str());
    }
    nodes_.push_back(flat);
  }
}

std::span<const double> FlatTree::find_leaf(RowView row) const {
  if (nodes_.empty()) panic_index(0, 0);
  const Node* const nodes = nodes_.data();
  const std::uint64_t node_count = nodes_.size();
  std::uint64_t slot = 0;
  for (;;) {
    const Node& node = nodes[slot];
    if (node.kind == Kind::Numeric) {
      const Cell& cell = tested_cell(row, node.col);
      if (!cell.is_number()) panic("not f64");
      // Arithmetic instead of a branch: the direction is a coin flip the predictor would miss.
      // !(v <= t) is also true when v or t is NaN, which goes right.
      slot = left_child(slot) + static_cast<std::uint64_t>(!(cell.number <= node.threshold));
    } else if (node.kind == Kind::Leaf) {
      return {leaf_values_.data() + node.ref, static_cast<std::size_t>(node.col)};
    } else {
      const bool left = goes_left(row, tested_cell(row, node.col), categories_[node.ref]);
      slot = left ? left_child(slot) : right_child(slot);
    }
    if (slot >= node_count) panic_index(node_count, slot);
  }
}

// kOneTree: every lane walks trees[0], whose arrays are then read once, not per step.
template <bool kOneTree>
bool FlatTree::walk_lanes(const FlatTree* const* trees, const RowView* rows,
                          std::span<const double>* leaves, std::size_t walks) noexcept {
  struct Arrays {
    const Node* nodes;
    std::uint64_t node_count;
    const double* leaf_values;
    const std::string* categories;
  };
  Arrays arrays[kOneTree ? 1 : kLanes];
  std::uint64_t slot[kLanes] = {};
  std::uint32_t pending = 0;  // bit l: walk l has not reached its leaf yet
  walks = std::min(walks, kLanes);
  for (std::size_t l = 0; l < (kOneTree ? std::min<std::size_t>(walks, 1) : walks); ++l) {
    const FlatTree& tree = *trees[l];
    arrays[l] = {tree.nodes_.data(), tree.nodes_.size(), tree.leaf_values_.data(),
                 tree.categories_.data()};
    if (arrays[l].node_count == 0) return false;
  }
  for (std::size_t l = 0; l < walks; ++l) pending |= std::uint32_t{1} << l;
  while (pending != 0) {
    for (std::size_t l = 0; l < walks; ++l) {
      if ((pending >> l & 1u) == 0) continue;
      const Arrays& tree = arrays[kOneTree ? 0 : l];
      const Node& node = tree.nodes[slot[l]];
      std::uint64_t next;
      if (node.kind == Kind::Numeric) {
        const std::uint64_t c = column_of(node.col);
        if (c >= rows[l].size()) return false;
        const Cell& cell = rows[l].cells[c];
        if (!cell.is_number()) return false;
        next = left_child(slot[l]) + static_cast<std::uint64_t>(!(cell.number <= node.threshold));
      } else if (node.kind == Kind::Leaf) {
        leaves[l] = {tree.leaf_values + node.ref, static_cast<std::size_t>(node.col)};
        pending &= ~(std::uint32_t{1} << l);
        continue;
      } else {
        const std::uint64_t c = column_of(node.col);
        if (c >= rows[l].size()) return false;
        const Cell& cell = rows[l].cells[c];
        if (cell.is_number()) return false;
        const bool left = (*rows[l].texts)[cell.text] == tree.categories[node.ref];
        next = left ? left_child(slot[l]) : right_child(slot[l]);
      }
      if (next >= tree.node_count) return false;
      slot[l] = next;
    }
  }
  return true;
}

bool FlatTree::find_leaves(const FlatTree* const* trees, const RowView* rows,
                           std::span<const double>* leaves, std::size_t walks) noexcept {
  return walk_lanes<false>(trees, rows, leaves, walks);
}

bool FlatTree::find_leaves(const RowView* rows, std::span<const double>* leaves,
                           std::size_t walks) const noexcept {
  const FlatTree* const self = this;
  return walk_lanes<true>(&self, rows, leaves, walks);
}

void PredictionTable::reserve(std::size_t rows, std::size_t values) {
  values_.reserve(values);
  if (!row_end_.empty()) row_end_.reserve(rows);
}

void PredictionTable::push_row_slow(std::span<const double> row) {
  if (rows_ == 0) {
    width_ = row.size();
  } else if (row_end_.empty() && row.size() != width_) {
    row_end_.reserve(rows_ + 1);
    for (std::size_t r = 1; r <= rows_; ++r) row_end_.push_back(r * width_);
  }
  values_.insert(values_.end(), row.begin(), row.end());
  if (!row_end_.empty()) row_end_.push_back(values_.size());
  ++rows_;
}

std::vector<PredictionTable> predict_rows(std::span<const UpliftTreeModel* const> trees,
                                          const RowBatch& rows) {
  std::vector<FlatTree> flats;
  flats.reserve(trees.size());
  for (const UpliftTreeModel* tree : trees) {
    if (rows.empty()) panic_index(0, 0);
    if (rows.row(0).size() != tree->feature_cols.size()) {
      panic("assertion failed: data[0].len() == self.feature_cols.len()");
    }
    flats.emplace_back(*tree);
  }

  // Blocks of rows small enough to stay in cache while every tree of the group walks them.
  constexpr std::size_t kBlock = 256;
  RowView block[kBlock];
  std::span<const double> leaves[FlatTree::kLanes];
  std::vector<PredictionTable> tables(trees.size());
  for (std::size_t first = 0; first < rows.size(); first += kBlock) {
    const std::size_t count = std::min(kBlock, rows.size() - first);
    for (std::size_t i = 0; i < count; ++i) block[i] = rows.row(first + i);
    for (std::size_t t = 0; t < flats.size(); ++t) {
      PredictionTable& table = tables[t];
      for (std::size_t i = 0; i < count; i += FlatTree::kLanes) {
        const std::size_t walks = std::min(FlatTree::kLanes, count - i);
        if (!flats[t].find_leaves(block + i, leaves, walks)) {
          for (std::size_t l = 0; l < walks; ++l) leaves[l] = flats[t].find_leaf(block[i + l]);
        }
        if (table.size() == 0) table.reserve(rows.size(), rows.size() * leaves[0].size());
        for (std::size_t l = 0; l < walks; ++l) table.push_row(leaves[l]);
      }
    }
  }
  return tables;
}

PredictionTable predict_rows(const UpliftTreeModel& tree, const RowBatch& rows) {
  const UpliftTreeModel* const one[] = {&tree};
  return std::move(predict_rows(one, rows).front());
}

}  // namespace quillmarsh
