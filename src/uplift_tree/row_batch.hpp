// Prediction rows, stored flat: every cell is a 32-bit float or an index into a text table.
// Cell c of row r is the value of feature_cols[c]; rows may differ in length.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmarsh {

struct Cell {
  static constexpr std::uint32_t kNumber = std::numeric_limits<std::uint32_t>::max();
  std::uint32_t text = kNumber;  // index into the batch's texts, or kNumber
  float number = 0.0f;
  bool is_number() const noexcept { return text == kNumber; }
};

class RowBatch;

// One row of a batch (or a standalone row): cells plus the text table they index.
struct RowView {
  std::span<const Cell> cells;
  const std::vector<std::string>* texts = nullptr;
  std::size_t size() const noexcept { return cells.size(); }
};

class RowBatch {
 public:
  void reserve(std::size_t rows, std::size_t cells);
  // No rows and no texts; the capacity stays for the next rows.
  void clear() noexcept {
    cells_.clear();
    row_begin_.clear();
    texts_.clear();
  }
  // The two calls made for every row and cell: inline.
  void begin_row() { row_begin_.push_back(cells_.size()); }  // starts a new, empty row
  void add_number(float v) { cells_.push_back(Cell{Cell::kNumber, v}); }
  // A text cell holding a new entry of texts().
  void add_text(std::string_view s);
  // A text cell holding texts()[code]. A batch filled this way gets its texts from set_texts
  // before its rows are read.
  void add_text_code(std::uint32_t code);
  void set_texts(std::vector<std::string> texts) { texts_ = std::move(texts); }

  std::size_t size() const noexcept { return row_begin_.size(); }
  bool empty() const noexcept { return row_begin_.empty(); }
  RowView row(std::size_t r) const noexcept;
  const std::vector<std::string>& texts() const noexcept { return texts_; }

 private:
  std::vector<Cell> cells_;
  std::vector<std::uint64_t> row_begin_;  // row r spans [row_begin_[r], row_begin_[r+1])
  std::vector<std::string> texts_;
};

}  // namespace quillmarsh
