// The feature columns of one engine call as views of the caller's arrays: no column is
// copied. The references that keep those arrays alive are held until the call returns.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "binding/py_ref.hpp"
#include "uplift_tree/columns.hpp"

namespace quillmarsh {

struct CallerColumns {
  std::vector<FeatureColumn> features;  // features[i] views the arrays of columns[i]
  std::vector<PyRef> held;              // those arrays
};

// "columns[2] ('city')": how messages name one entry of `columns`.
std::string column_label(std::size_t index, std::string_view name);

// Reads `columns`, a list with one entry per name: a 1-D C-contiguous float32 array (NaN is a
// missing value), or a tuple (codes, categories) of a 1-D C-contiguous uint32 array and a
// sequence of str. Every column must hold n_rows values; `rows_from` says where that count
// comes from ("treatment", "out"). With distinct_categories, a text listed twice in one
// column's categories is refused (training gives every text one code). Returns nothing with
// a TypeError or ValueError naming the entry.
std::optional<CallerColumns> read_columns(PyObject* columns, std::span<const std::string> names,
                                          std::size_t n_rows, std::string_view rows_from,
                                          bool distinct_categories);

}  // namespace quillmarsh
