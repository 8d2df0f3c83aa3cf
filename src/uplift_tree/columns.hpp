// Training columns as a binding hands them to the core: one feature column per entry of
// x_names, the treatment groups and the outcomes. Columns are views: the memory belongs to the
// caller, who keeps it alive while the dataset built from it is in use, or hands it over in
// `storage`.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace quillmarsh {

// One 32-bit float per row; NaN is a missing value (it goes right of every threshold).
struct NumericFeature {
  std::span<const float> values;
};

// One code per row into `dictionary`; equal texts share one code.
struct StringFeature {
  std::span<const std::uint32_t> codes;
  std::vector<std::string> dictionary;
};

using FeatureColumn = std::variant<NumericFeature, StringFeature>;

struct TrainingColumns {
  std::vector<std::string> x_names;
  std::vector<FeatureColumn> features;  // features[i] is the column named x_names[i]
  std::span<const std::int32_t> treatment;
  std::span<const std::int8_t> outcome;
  // Owns the memory of the views above when the caller does not keep it alive itself.
  std::shared_ptr<const void> storage;
};

}  // namespace quillmarsh
