// The forest record owned by each Python instance: the caller's hyper-parameters, the column
// names of the last training, and the trees in order of completion.
#pragma once

#include <cstdint>
#include <string>
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

// A new, untrained record holding the nine values unchecked.
UpliftRandomForestModel make_forest(std::int32_t n_estimators, std::uint64_t max_features,
                                    std::uint64_t max_depth, std::uint64_t min_sample_leaf,
                                    std::string eval_func, std::uint64_t max_bins, bool balance,
                                    bool regularization, double alpha);

// The template every tree of a training starts from; eval_func is the parsed text.
UpliftTreeModel make_tree_template(const UpliftRandomForestModel& forest, EvalFunc eval_func);

}  // namespace quillmarsh
