// Prediction with trees: the record walk, and sums of packed trees over a batch of rows.
#include "uplift_tree/tree_predict.hpp"

#include <algorithm>
#include <bit>

#include "common/panic.hpp"
#include "uplift_tree/routing.hpp"

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

bool goes_left(const Cell& cell, float threshold) {
  if (!cell.is_number()) panic("not f64");
  return numeric_goes_left(cell.number, threshold);
}

bool goes_left(RowView row, const Cell& cell, const std::string& category) {
  if (cell.is_number()) panic("not str");
  return category_goes_left((*row.texts)[cell.text], category);
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
    slot = child_slot(slot, left);
    if (slot >= nodes.size()) panic_index(nodes.size(), slot);
  }
}

std::vector<double> predict_row(const UpliftTreeModel& tree, RowView row) {
  return find_leaf(tree, row);
}

void add_output(std::vector<double>& sum, std::span<const double> output) {
  if (sum.empty()) {
    sum.assign(output.begin(), output.end());
    return;
  }
  for (std::size_t i = 0; i < sum.size(); ++i) {
    if (i >= output.size()) panic_index(output.size(), i);
    sum[i] += output[i];
  }
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

bool load_block(const PackedForest& forest, const RowBatch& rows, std::size_t first,
                std::span<const std::uint32_t> text_ids, RowBlock& block) {
  const std::span<const PackedForest::Column> columns = forest.columns();
  const auto tag_of = [](RowView row, std::uint64_t c) {
    if (c >= row.size()) return RowBlock::kMissingCell;
    return row.cells[c].is_number() ? RowBlock::kNumberCell : RowBlock::kTextCell;
  };
  // The one tag each column's splits accept; none (kNever) where splits test it both ways.
  constexpr std::uint8_t kNever = 0xFF;
  std::vector<std::uint8_t> wanted(columns.size());
  for (std::size_t j = 0; j < columns.size(); ++j) {
    const RowBlock::Tag tag = columns[j].numeric ? RowBlock::kNumberCell : RowBlock::kTextCell;
    wanted[j] = columns[j].numeric == columns[j].category ? kNever : std::uint8_t{tag};
  }
  bool fitting = true;
  for (std::size_t r = 0; r < block.rows(); ++r) {
    const RowView row = rows.row(first + r);
    for (std::size_t j = 0; j < columns.size(); ++j) {
      const std::uint64_t c = columns[j].col_idx;
      const RowBlock::Tag tag = tag_of(row, c);
      std::uint32_t word = 0;
      if (tag == RowBlock::kNumberCell) word = value_key(row.cells[c].number);
      if (tag == RowBlock::kTextCell) word = text_ids[row.cells[c].text];
      block.words(j)[r] = word;
      fitting = fitting && tag == wanted[j];
    }
  }
  if (fitting && forest.walkable()) return true;  // the unchecked walk reads no tags
  for (std::size_t r = 0; r < block.rows(); ++r) {
    const RowView row = rows.row(first + r);
    for (std::size_t j = 0; j < columns.size(); ++j) {
      block.tags(j)[r] = tag_of(row, columns[j].col_idx);
    }
  }
  return false;
}

std::vector<double> sum_row(const PackedForest& forest, std::span<const std::uint32_t> trees,
                            RowView row, std::span<const std::uint32_t> text_ids) {
  std::vector<double> sum;
  for (const std::uint32_t tree : trees) add_output(sum, forest.find_leaf(tree, row, text_ids));
  return sum;
}

void check_first_row(const PackedForest& forest, std::span<const std::uint32_t> trees,
                     const RowBatch& rows) {
  for (const std::uint32_t tree : trees) {
    if (rows.empty()) panic_index(0, 0);
    if (rows.row(0).size() != forest.feature_count(tree)) {
      panic("assertion failed: data[0].len() == self.feature_cols.len()");
    }
  }
}

void sum_block(const PackedForest& forest, std::span<const std::uint32_t> trees,
               const RowBatch& rows, std::size_t first, std::span<const std::uint32_t> text_ids,
               std::size_t width, RowBlock& block, std::span<double> sums) {
  const bool unchecked = load_block(forest, rows, first, text_ids, block);
  // -0.0 + x is x for every x, so the first tree's output enters the sum unchanged.
  std::fill(sums.begin(), sums.end(), -0.0);
  const bool summed = unchecked ? forest.add_trees<false>(trees, block, width, sums.data(), nullptr)
                                : forest.add_trees<true>(trees, block, width, sums.data(), nullptr);
  if (summed) return;
  for (std::size_t r = 0; r < block.rows(); ++r) {  // the exact walk raises the first failure
    const std::vector<double> sum = sum_row(forest, trees, rows.row(first + r), text_ids);
    std::copy(sum.begin(), sum.end(), sums.begin() + static_cast<std::ptrdiff_t>(r * width));
  }
}

PredictionTable sum_rows(const PackedForest& forest, std::span<const std::uint32_t> trees,
                         const RowBatch& rows, BatchChecks checks) {
  if (checks == BatchChecks::kFirstRow) check_first_row(forest, trees, rows);
  const std::vector<std::uint32_t> text_ids = forest.category_ids(rows.texts());
  const std::optional<std::size_t> width = trees.empty() ? std::nullopt : forest.leaf_width();
  PredictionTable table;
  if (!width) {  // no tree to add, or leaves that only a hand-edited file gives
    for (std::size_t r = 0; r < rows.size(); ++r) {
      table.push_row(sum_row(forest, trees, rows.row(r), text_ids));
    }
    return table;
  }
  table.reserve(rows.size(), rows.size() * *width);
  RowBlock block(forest.columns().size(), /*tagged=*/true);
  std::vector<double> sums(RowBlock::kRows * *width);
  for (std::size_t first = 0; first < rows.size(); first += RowBlock::kRows) {
    block.set_rows(std::min(RowBlock::kRows, rows.size() - first));
    sum_block(forest, trees, rows, first, text_ids, *width, block, sums);
    for (std::size_t r = 0; r < block.rows(); ++r) {
      table.push_row({sums.data() + r * *width, *width});
    }
  }
  return table;
}

}  // namespace quillmarsh
