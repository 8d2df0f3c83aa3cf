// Dataset intake: the consistency checks on the caller's columns, the packed group/outcome
// words, the row pool and the root row list. Feature columns are viewed, never copied.
#include "uplift_tree/dataset.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <variant>

#include "common/panic.hpp"

namespace quillmarsh {
namespace {

void check_length(std::string_view what, std::string_view name, std::uint64_t len,
                  std::string_view treatment_col, std::uint64_t n) {
  if (len == n) return;
  panic(std::string(what) + " column '" + std::string(name) + "' has " + std::to_string(len) +
        " values but the treatment column '" + std::string(treatment_col) + "' has " +
        std::to_string(n));
}

void check_codes(std::string_view name, const StringFeature& column) {
  const std::uint64_t size = column.dictionary.size();
  for (std::size_t r = 0; r < column.codes.size(); ++r) {
    if (column.codes[r] >= size) {
      panic("string column '" + std::string(name) + "' holds code " +
            std::to_string(column.codes[r]) + " in row " + std::to_string(r) + ", beyond its " +
            std::to_string(size) + " categories");
    }
  }
}

std::int32_t checked_max_treatment(std::span<const std::int32_t> treatment,
                                   std::string_view treatment_col) {
  std::int32_t max = treatment.front();
  for (std::size_t r = 0; r < treatment.size(); ++r) {
    const std::int32_t g = treatment[r];
    if (g < 0 || g > kMaxTreatmentGroup) {
      panic("treatment column '" + std::string(treatment_col) + "' holds " + std::to_string(g) +
            " in row " + std::to_string(r) + "; treatment groups must lie in 0.." +
            std::to_string(kMaxTreatmentGroup) + " (0 is the control group)");
    }
    max = std::max(max, g);
  }
  return max;
}

std::uint64_t column_length(const FeatureColumn& column) {
  if (const auto* numeric = std::get_if<NumericFeature>(&column)) return numeric->values.size();
  return std::get<StringFeature>(column).codes.size();
}

}  // namespace

ColumnRef Dataset::column(const std::string& name) const {
  const auto it = col_map.find(name);
  if (it == col_map.end()) panic(std::string(kUnwrapNone));
  return it->second;
}

void check_row_count(std::uint64_t n) {
  if (n > kMaxRows) {
    panic("the training data has " + std::to_string(n) + " rows, more than the " +
          std::to_string(kMaxRows) + " rows supported");
  }
}

TrainingRoot build_dataset(TrainingColumns columns, std::string_view treatment_col,
                           std::string_view outcome_col) {
  if (columns.treatment.empty()) panic(std::string(kUnwrapNone));
  const std::uint64_t n = columns.treatment.size();
  check_row_count(n);
  if (columns.features.size() != columns.x_names.size()) {
    panic("the converted feature columns do not match x_names: " +
          std::to_string(columns.features.size()) + " columns for " +
          std::to_string(columns.x_names.size()) + " names");
  }
  for (std::size_t i = 0; i < columns.features.size(); ++i) {
    check_length("feature", columns.x_names[i], column_length(columns.features[i]), treatment_col,
                 n);
  }
  check_length("outcome", outcome_col, columns.outcome.size(), treatment_col, n);
  for (std::size_t i = 0; i < columns.features.size(); ++i) {
    if (const auto* strings = std::get_if<StringFeature>(&columns.features[i])) {
      check_codes(columns.x_names[i], *strings);
    }
  }

  auto dataset = std::make_shared<Dataset>();
  dataset->max_treatment = checked_max_treatment(columns.treatment, treatment_col);
  dataset->x_names = columns.x_names;
  for (std::size_t i = 0; i < columns.features.size(); ++i) {
    ColumnRef ref;
    if (auto* numeric = std::get_if<NumericFeature>(&columns.features[i])) {
      ref = {ColumnRef::Kind::kNumeric, static_cast<std::uint32_t>(dataset->num_cols.size())};
      dataset->num_cols.push_back(numeric->values);
    } else {
      auto& strings = std::get<StringFeature>(columns.features[i]);
      ref = {ColumnRef::Kind::kString, static_cast<std::uint32_t>(dataset->str_cols.size())};
      dataset->str_cols.push_back(StringCodes{strings.codes, std::move(strings.dictionary)});
    }
    dataset->col_map.insert_or_assign(std::move(columns.x_names[i]), ref);
  }
  dataset->group_outcome.resize(n);
  for (std::uint64_t r = 0; r < n; ++r) {
    dataset->group_outcome[r] = pack_group_outcome(columns.treatment[r], columns.outcome[r]);
  }
  dataset->storage = std::move(columns.storage);

  std::shared_ptr<RowPool> pool = RowPool::create(kRowListInitialCapacity);
  RowList root = pool->take();
  root->resize(n);
  for (std::uint64_t r = 0; r < n; ++r) (*root)[r] = static_cast<RowIndex>(r);
  return TrainingRoot{std::move(dataset), std::move(root), std::move(pool)};
}

}  // namespace quillmarsh
