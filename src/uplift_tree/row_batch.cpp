// Filling and reading a flat batch of prediction rows.
#include "uplift_tree/row_batch.hpp"

#include "common/panic.hpp"

namespace quillmarsh {

void RowBatch::reserve(std::size_t rows, std::size_t cells) {
  row_begin_.reserve(rows);
  cells_.reserve(cells);
}

void RowBatch::add_text(std::string_view s) {
  if (texts_.size() >= Cell::kNumber) panic("too many text cells in one prediction call");
  cells_.push_back(Cell{static_cast<std::uint32_t>(texts_.size()), 0.0f});
  texts_.emplace_back(s);
}

void RowBatch::add_text_code(std::uint32_t code) {
  if (code == Cell::kNumber) panic("too many text cells in one prediction call");
  cells_.push_back(Cell{code, 0.0f});
}

RowView RowBatch::row(std::size_t r) const noexcept {
  const std::uint64_t begin = row_begin_[r];
  const std::uint64_t end = r + 1 < row_begin_.size() ? row_begin_[r + 1] : cells_.size();
  return RowView{std::span<const Cell>(cells_.data() + begin, end - begin), &texts_};
}

}  // namespace quillmarsh
