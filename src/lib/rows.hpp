// Prediction rows: each Python list becomes one row of cells (a float or a text) in a
// RowBatch. A bad cell is an internal failure, not an argument error.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "binding/py_ref.hpp"
#include "lib/text_encoder.hpp"
#include "uplift_random_forest/predict_stream.hpp"
#include "uplift_tree/packed_forest.hpp"
#include "uplift_tree/row_batch.hpp"

namespace quillmarsh {

// Converts the lists in order; the first bad cell panics with
// "called `Result::unwrap()` on an `Err` value: PyErr { type: <class 'TypeError'>, ... }".
RowBatch convert_rows(const std::vector<PyRef>& lists);

// The rows of a streamed prediction, block by block, with one dictionary of texts for the
// whole call. Cells convert as in convert_rows, with the same failures; text cells carry the
// forest's category ids (StreamBlock).
class BlockRowConverter {
 public:
  explicit BlockRowConverter(const PackedForest& forest) : forest_(forest) {}
  // Rows lists[block.first .. block.first + block.count) into block.rows and block.text_ids.
  void convert(std::span<const PyRef> lists, StreamBlock& block);

 private:
  const PackedForest& forest_;
  TextEncoder texts_;
  std::vector<std::uint32_t> ids_;  // the forest's category id of each code of texts_
};

}  // namespace quillmarsh
