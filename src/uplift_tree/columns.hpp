// Plain C++ training columns, as the binding layer hands them to the core: one feature column
// per entry of x_names (duplicates converted again), the treatment groups and the outcomes.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace quillmarsh {

using NumericColumn = std::vector<float>;
using StringColumn = std::vector<std::string>;
using FeatureColumn = std::variant<NumericColumn, StringColumn>;

struct TrainingColumns {
  std::vector<std::string> x_names;
  std::vector<FeatureColumn> features;  // features[i] is the column named x_names[i]
  std::vector<std::int32_t> treatment;
  std::vector<std::int8_t> outcome;
};

}  // namespace quillmarsh
