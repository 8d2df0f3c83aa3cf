// The training data of one fit: feature columns, treatment groups and outcomes, built once from
// the caller's columns and shared read-only by every thread; plus the root's node data
// (dataset, row list of every row, row pool) that every tree starts from.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "uplift_tree/columns.hpp"
#include "uplift_tree/rows.hpp"

namespace quillmarsh {

// A numeric feature column: one float per row.
using NumericColumn = std::span<const float>;

// A string feature column, dictionary-encoded: row r holds dictionary[codes[r]], and distinct
// codes stand for distinct texts.
struct StringCodes {
  std::span<const std::uint32_t> codes;
  std::vector<std::string> dictionary;
  const std::string& value(RowIndex row) const { return dictionary[codes[row]]; }
};

// Where the data of a feature lives: num_cols[index] or str_cols[index].
struct ColumnRef {
  enum class Kind : std::uint8_t { kNumeric, kString };
  Kind kind = Kind::kNumeric;
  std::uint32_t index = 0;
  bool is_numeric() const noexcept { return kind == Kind::kNumeric; }
};

// Treatment groups are packed with the outcome into one word per row, so that counting reads
// one array: (group << 8) | (outcome as an unsigned byte).
inline constexpr std::int32_t kMaxTreatmentGroup = (std::int32_t{1} << 24) - 1;
inline constexpr std::uint64_t kMaxRows = 2147483647;  // counts are signed 32-bit

struct Dataset {
  std::vector<NumericColumn> num_cols;
  std::vector<StringCodes> str_cols;
  // one packed word per row, see above; mapped like the row lists when large
  std::vector<std::uint32_t, PageAllocator<std::uint32_t>> group_outcome;
  std::vector<std::string> x_names;  // the caller's order, duplicates kept
  // feature name -> its column; a repeated name keeps the column of its last occurrence
  std::unordered_map<std::string, ColumnRef> col_map;
  std::int32_t max_treatment = 0;       // K: treatment groups are 1..K, control is 0
  std::shared_ptr<const void> storage;  // the caller's columns, when handed over

  std::uint64_t n_rows() const noexcept { return group_outcome.size(); }
  std::int32_t group(RowIndex row) const noexcept {
    return static_cast<std::int32_t>(group_outcome[row] >> 8);
  }
  std::int8_t outcome(RowIndex row) const noexcept {
    return static_cast<std::int8_t>(group_outcome[row] & 0xffu);
  }
  // The column of a feature name; panics "called `Option::unwrap()` on a `None` value" for an
  // unknown name.
  ColumnRef column(const std::string& name) const;
  const NumericColumn& numeric(ColumnRef ref) const { return num_cols[ref.index]; }
  const StringCodes& strings(ColumnRef ref) const { return str_cols[ref.index]; }
};

inline std::uint32_t pack_group_outcome(std::int32_t group, std::int8_t outcome) noexcept {
  return (static_cast<std::uint32_t>(group) << 8) |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(outcome));
}

// The root's training data: three shared handles, cloned by every training thread. Each tree
// takes its own row lists from `pool` and grows on ranges of them.
struct TrainingRoot {
  std::shared_ptr<const Dataset> dataset;
  RowList rows;
  std::shared_ptr<RowPool> pool;
};

// Builds the Dataset over the given columns (their memory is viewed, not copied; `storage`
// moves into the dataset), packs the group/outcome words, creates the row pool and the root
// row list 0..n-1. Panics, in this order: an empty treatment column ("called
// `Option::unwrap()` on a `None` value"); more rows than kMaxRows; a feature or the outcome
// column whose length differs from the treatment column; a string code outside its dictionary;
// a treatment value below 0 or above kMaxTreatmentGroup (naming the row).
TrainingRoot build_dataset(TrainingColumns columns, std::string_view treatment_col,
                           std::string_view outcome_col);

// The row-count limit of build_dataset, on its own so that it can be checked without
// materialising two billion rows.
void check_row_count(std::uint64_t n);

}  // namespace quillmarsh
