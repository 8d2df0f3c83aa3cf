// Prediction rows: each Python list becomes one row of cells (a float or a text) in a
// RowBatch. A bad cell is an internal failure, not an argument error.
#pragma once

#include <vector>

#include "binding/py_ref.hpp"
#include "uplift_tree/row_batch.hpp"

namespace quillmarsh {

// Converts the lists in order; the first bad cell panics with
// "called `Result::unwrap()` on an `Err` value: PyErr { type: <class 'TypeError'>, ... }".
RowBatch convert_rows(const std::vector<PyRef>& lists);

}  // namespace quillmarsh
