// Test helpers for the training core: column builders, a seeded random experiment, routing of
// training rows through a grown tree, and the message of an expected Panic.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/panic.hpp"
#include "concurrency/rng.hpp"
#include "test_support.hpp"
#include "uplift_tree/columns.hpp"
#include "uplift_tree/dataset.hpp"
#include "uplift_tree/records.hpp"

namespace quillmarsh::testing_data {

inline TrainingColumns make_columns(std::vector<std::pair<std::string, FeatureColumn>> features,
                                    std::vector<std::int32_t> treatment,
                                    std::vector<std::int8_t> outcome) {
  TrainingColumns c;
  for (auto& [name, column] : features) {
    c.x_names.push_back(name);
    c.features.push_back(std::move(column));
  }
  c.treatment = std::move(treatment);
  c.outcome = std::move(outcome);
  return c;
}

inline NodeData make_node(TrainingColumns columns) {
  return build_dataset(std::move(columns), "treatment", "outcome");
}

inline double uniform(Rng& rng) { return static_cast<double>(rng.next_u32()) / 4294967296.0; }

// A random experiment: numeric features "x0".."x{numeric-1}" (uniform in [0,1), a few NaN and
// repeated values when `rough`), string features "s0".. over a small alphabet, treatment groups
// 0..groups-1 and binary outcomes. The outcome rate of treated rows rises by `effect` where
// x0 > 0.5, so x0 alone drives the uplift.
inline TrainingColumns random_experiment(Rng& rng, std::size_t rows, std::size_t numeric,
                                         std::size_t strings, std::int32_t groups, bool rough,
                                         double effect = 0.3) {
  TrainingColumns c;
  std::vector<NumericColumn> nums(numeric, NumericColumn(rows));
  std::vector<StringColumn> strs(strings, StringColumn(rows));
  c.treatment.resize(rows);
  c.outcome.resize(rows);
  static const char* kWords[] = {"red", "Red", "green", "blue", "", "cyan", "magenta"};
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t f = 0; f < numeric; ++f) {
      float v = static_cast<float>(uniform(rng));
      if (rough) {
        const std::uint64_t kind = rng.below(20);
        if (kind == 0) v = std::nanf("");
        if (kind == 1) v = 0.25f;  // a heavy repeated value
      }
      nums[f][r] = v;
    }
    for (std::size_t f = 0; f < strings; ++f) strs[f][r] = kWords[rng.below(rough ? 7 : 4)];
    const auto g = static_cast<std::int32_t>(rng.below(static_cast<std::uint64_t>(groups)));
    c.treatment[r] = g;
    const bool lifted = numeric > 0 && g > 0 && nums[0][r] > 0.5f;
    const double rate = 0.3 + (lifted ? effect : 0.0);
    c.outcome[r] = uniform(rng) < rate ? 1 : 0;
  }
  for (std::size_t f = 0; f < numeric; ++f) {
    c.x_names.push_back("x" + std::to_string(f));
    c.features.emplace_back(std::move(nums[f]));
  }
  for (std::size_t f = 0; f < strings; ++f) {
    c.x_names.push_back("s" + std::to_string(f));
    c.features.emplace_back(std::move(strs[f]));
  }
  return c;
}

// Whether row `r` goes left at an internal node.
inline bool goes_left(const Dataset& d, const TreeNode& node, RowIndex r) {
  const std::int32_t code = d.column_code(node.col_name);
  if (code >= 0) {
    return d.num_cols[static_cast<std::size_t>(code)][r] <= node.split_value.as_numeric();
  }
  return d.str_cols[static_cast<std::size_t>(~code)].value(r) == node.split_value.as_str();
}

// The slot of the leaf that row `r` reaches.
inline std::uint64_t leaf_of(const Dataset& d, const UpliftTreeModel& tree, RowIndex r) {
  std::uint64_t slot = 0;
  while (!tree.nodes[slot].is_leaf()) {
    slot = goes_left(d, tree.nodes[slot], r) ? left_child(slot) : right_child(slot);
  }
  return slot;
}

// The training rows that reach every slot (empty for unreached slots), in row order.
inline std::vector<std::vector<RowIndex>> rows_per_slot(const Dataset& d,
                                                        const UpliftTreeModel& tree) {
  std::vector<std::vector<RowIndex>> out(tree.nodes.size());
  for (RowIndex r = 0; r < d.n_rows(); ++r) {
    std::uint64_t slot = 0;
    for (;;) {
      out[slot].push_back(r);
      if (tree.nodes[slot].is_leaf()) break;
      slot = goes_left(d, tree.nodes[slot], r) ? left_child(slot) : right_child(slot);
    }
  }
  return out;
}

}  // namespace quillmarsh::testing_data
