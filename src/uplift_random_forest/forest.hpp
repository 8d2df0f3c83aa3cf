// The forest record owned by each Python instance: the caller's hyper-parameters, the column
// names of the last training, and the trees in order of completion.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "uplift_tree/records.hpp"

namespace quillmarsh {

struct UpliftRandomForestModel {
  std::int32_t n_estimators = 0;
  std::uint64_t max_features = 0;
  std::uint64_t max_depth = 0;
  std::uint64_t min_sample_leaf = 0;
  std::string eval_func;  // the caller's text, parsed at every fit
  std::uint64_t max_bins = 0;
  std::string treatment_col;
  std::string outcome_col;
  bool balance = false;
  bool regularization = false;
  double alpha = 0.0;
  std::vector<UpliftTreeModel> trees;
};

template <>
struct RecordFields<UpliftRandomForestModel> {
  static constexpr std::string_view kName = "UpliftRandomForestModel";
  static constexpr auto kFields = std::tuple{
      field<FieldKind::I32>("n_estimators", &UpliftRandomForestModel::n_estimators),
      field<FieldKind::U64>("max_features", &UpliftRandomForestModel::max_features),
      field<FieldKind::U64>("max_depth", &UpliftRandomForestModel::max_depth),
      field<FieldKind::U64>("min_sample_leaf", &UpliftRandomForestModel::min_sample_leaf),
      field<FieldKind::Text>("eval_func", &UpliftRandomForestModel::eval_func),
      field<FieldKind::U64>("max_bins", &UpliftRandomForestModel::max_bins),
      field<FieldKind::Text>("treatment_col", &UpliftRandomForestModel::treatment_col),
      field<FieldKind::Text>("outcome_col", &UpliftRandomForestModel::outcome_col),
      field<FieldKind::Bool>("balance", &UpliftRandomForestModel::balance),
      field<FieldKind::Bool>("regularization", &UpliftRandomForestModel::regularization),
      field<FieldKind::F64>("alpha", &UpliftRandomForestModel::alpha),
      field<FieldKind::RecordList>("trees", &UpliftRandomForestModel::trees),
  };
};

// Every field equal, floats bit for bit.
inline bool operator==(const UpliftRandomForestModel& a, const UpliftRandomForestModel& b) {
  return same_fields(a, b, kSameBits);
}

// The template every tree of a training starts from: hyper-parameters set from the forest's
// fields of the same name, no nodes, no names; eval_func is the parsed text.
UpliftTreeModel make_tree_template(const UpliftRandomForestModel& forest, EvalFunc eval_func);

}  // namespace quillmarsh
