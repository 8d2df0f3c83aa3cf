// Dataset intake: the consistency checks on the converted columns, dictionary encoding of
// string columns, the packed group/outcome words, the buffer pool and the root row list.
#include "uplift_tree/dataset.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <variant>

#include "common/panic.hpp"

namespace quillmarsh {
namespace {

StringCodes encode_strings(const StringColumn& column) {
  StringCodes out;
  out.codes.reserve(column.size());
  std::unordered_map<std::string_view, std::uint32_t> seen;  // views into `column`
  for (const std::string& text : column) {
    const auto next = static_cast<std::uint32_t>(out.dictionary.size());
    const auto [it, inserted] = seen.try_emplace(std::string_view(text), next);
    if (inserted) out.dictionary.push_back(text);
    out.codes.push_back(it->second);
  }
  return out;
}

void check_length(std::string_view what, std::string_view name, std::uint64_t len,
                  std::string_view treatment_col, std::uint64_t n) {
  if (len == n) return;
  panic(std::string(what) + " column '" + std::string(name) + "' has " + std::to_string(len) +
        " values but the treatment column '" + std::string(treatment_col) + "' has " +
        std::to_string(n));
}

std::int32_t checked_max_treatment(const std::vector<std::int32_t>& treatment,
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

}  // namespace

std::int32_t Dataset::column_code(const std::string& name) const {
  const auto it = col_map.find(name);
  if (it == col_map.end()) panic(std::string(kUnwrapNone));
  return it->second;
}

std::uint64_t Dataset::byte_size() const noexcept {
  std::uint64_t bytes = group_outcome.size() * sizeof(std::uint32_t);
  for (const NumericColumn& col : num_cols) bytes += col.size() * sizeof(float);
  for (const StringCodes& col : str_cols) {
    bytes += col.codes.size() * sizeof(std::uint32_t);
    for (const std::string& s : col.dictionary) bytes += sizeof(std::string) + s.capacity();
  }
  return bytes;
}

void check_row_count(std::uint64_t n) {
  if (n > kMaxRows) {
    panic("the training data has " + std::to_string(n) + " rows, more than the " +
          std::to_string(kMaxRows) + " rows supported");
  }
}

NodeData build_dataset(TrainingColumns columns, std::string_view treatment_col,
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
    const std::uint64_t len =
        std::visit([](const auto& c) -> std::uint64_t { return c.size(); }, columns.features[i]);
    check_length("feature", columns.x_names[i], len, treatment_col, n);
  }
  check_length("outcome", outcome_col, columns.outcome.size(), treatment_col, n);

  auto dataset = std::make_shared<Dataset>();
  dataset->max_treatment = checked_max_treatment(columns.treatment, treatment_col);
  dataset->x_names = columns.x_names;
  for (std::size_t i = 0; i < columns.features.size(); ++i) {
    FeatureColumn column = std::move(columns.features[i]);  // freed at the end of this turn
    std::int32_t code;
    if (NumericColumn* numeric = std::get_if<NumericColumn>(&column)) {
      code = static_cast<std::int32_t>(dataset->num_cols.size());
      dataset->num_cols.push_back(std::move(*numeric));
    } else {
      dataset->str_cols.push_back(encode_strings(std::get<StringColumn>(column)));
      code = -static_cast<std::int32_t>(dataset->str_cols.size());
    }
    dataset->col_map.insert_or_assign(std::move(columns.x_names[i]), code);
  }
  dataset->group_outcome.resize(n);
  for (std::uint64_t r = 0; r < n; ++r) {
    dataset->group_outcome[r] = pack_group_outcome(columns.treatment[r], columns.outcome[r]);
  }

  std::shared_ptr<BufferPool> pool = BufferPool::create();
  RowList root = pool->take();
  root->resize(n);
  for (std::uint64_t r = 0; r < n; ++r) (*root)[r] = static_cast<RowIndex>(r);
  return NodeData{std::move(dataset), std::move(root), std::move(pool)};
}

}  // namespace quillmarsh
