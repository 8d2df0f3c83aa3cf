// The root-to-leaf walk of one tree, on the record and on its packed copy.
#include "uplift_tree/predict.hpp"

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

FlatTree::FlatTree(const UpliftTreeModel& tree) : feature_count_(tree.feature_cols.size()) {
  nodes_.reserve(tree.nodes.size());
  for (const TreeNode& node : tree.nodes) {
    Node flat;
    flat.col = node.col_idx;
    if (node.is_leaf()) {
      flat.kind = Kind::Leaf;
      flat.ref = static_cast<std::uint32_t>(leaves_.size());
      leaves_.push_back(&node.prob);
    } else if (node.split_value.is_numeric()) {
      flat.kind = Kind::Numeric;
      flat.threshold = node.split_value.as_numeric();
    } else {
      flat.kind = Kind::Text;
      flat.ref = static_cast<std::uint32_t>(categories_.size());
      categories_.push_back(&node.split_value.as_str());
    }
    nodes_.push_back(flat);
  }
  // A slot index fits 32 bits in every tree that fits memory; the packed refs rely on it.
  if (nodes_.size() > std::numeric_limits<std::uint32_t>::max()) {
    panic("tree too large to predict: " + std::to_string(nodes_.size()) + " nodes");
  }
}

const std::vector<double>& FlatTree::find_leaf(RowView row) const {
  if (nodes_.empty()) panic_index(0, 0);
  const Node* const nodes = nodes_.data();
  const std::uint64_t node_count = nodes_.size();
  std::uint64_t slot = 0;
  for (;;) {
    const Node& node = nodes[slot];
    bool left = false;
    switch (node.kind) {
      case Kind::Leaf:
        return *leaves_[node.ref];
      case Kind::Numeric:
        left = goes_left(tested_cell(row, node.col), node.threshold);
        break;
      case Kind::Text:
        left = goes_left(row, tested_cell(row, node.col), *categories_[node.ref]);
        break;
    }
    slot = next_slot(slot, left, node_count);
  }
}

PredictionTable predict_rows(const UpliftTreeModel& tree, const RowBatch& rows) {
  if (rows.empty()) panic_index(0, 0);
  if (rows.row(0).size() != tree.feature_cols.size()) {
    panic("assertion failed: data[0].len() == self.feature_cols.len()");
  }
  const FlatTree flat(tree);
  PredictionTable table;
  table.row_end.reserve(rows.size());
  const std::vector<double>& first = flat.find_leaf(rows.row(0));
  table.values.reserve(rows.size() * first.size());  // exact when every leaf has K entries
  table.values.insert(table.values.end(), first.begin(), first.end());
  table.row_end.push_back(table.values.size());
  for (std::size_t r = 1; r < rows.size(); ++r) {
    const std::vector<double>& leaf = flat.find_leaf(rows.row(r));
    table.values.insert(table.values.end(), leaf.begin(), leaf.end());
    table.row_end.push_back(table.values.size());
  }
  return table;
}

}  // namespace quillmarsh
