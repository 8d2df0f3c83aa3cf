// The element conversions of training intake: the caller's lists become plain C++ columns.
// Runs on the calling thread with the interpreter lock held, inside fit.
#pragma once

#include <string>
#include <vector>

#include "binding/compound.hpp"
#include "uplift_tree/columns.hpp"

namespace quillmarsh {

// Every feature column of x_names (numeric when every element has a float conversion, else
// text when every element is a str), then the treatment groups and the outcomes. Panics with
// the intake messages: a missing column, "BAD type of column: NAME", or an unwrapped Python
// error for a treatment or outcome value.
TrainingColumns convert_training_columns(const ColumnMap& data,
                                         const std::vector<std::string>& x_names,
                                         const std::string& treatment_col,
                                         const std::string& outcome_col);

}  // namespace quillmarsh
