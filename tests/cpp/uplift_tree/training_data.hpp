// Test helpers for the training core: column builders, a seeded random experiment, routing of
// training rows through a grown tree, and the message of an expected Panic.
#pragma once

#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "common/panic.hpp"
#include "concurrency/rng.hpp"
#include "test_support.hpp"
#include "uplift_tree/columns.hpp"
#include "uplift_tree/dataset.hpp"
#include "uplift_tree/grow.hpp"
#include "uplift_tree/records.hpp"

namespace quillmarsh::testing_data {

using Floats = std::vector<float>;
using Texts = std::vector<std::string>;

// Training columns held in test-owned vectors; training() gives the core's views over a copy
// that the views own (texts dictionary-encoded in order of first appearance).
struct TestColumns {
  std::vector<std::string> x_names;
  std::vector<std::variant<Floats, Texts>> features;
  std::vector<std::int32_t> treatment;
  std::vector<std::int8_t> outcome;

  TrainingColumns training() const {
    struct Storage {
      std::vector<Floats> numbers;
      std::vector<std::vector<std::uint32_t>> codes;
      std::vector<std::int32_t> treatment;
      std::vector<std::int8_t> outcome;
    };
    auto storage = std::make_shared<Storage>();
    storage->numbers.reserve(features.size());
    storage->codes.reserve(features.size());
    TrainingColumns c;
    c.x_names = x_names;
    for (const auto& column : features) {
      if (const auto* numbers = std::get_if<Floats>(&column)) {
        c.features.emplace_back(NumericFeature{storage->numbers.emplace_back(*numbers)});
        continue;
      }
      StringFeature strings;
      std::vector<std::uint32_t>& codes = storage->codes.emplace_back();
      std::map<std::string, std::uint32_t> seen;
      for (const std::string& text : std::get<Texts>(column)) {
        const auto [it, inserted] =
            seen.try_emplace(text, static_cast<std::uint32_t>(strings.dictionary.size()));
        if (inserted) strings.dictionary.push_back(text);
        codes.push_back(it->second);
      }
      strings.codes = codes;
      c.features.emplace_back(std::move(strings));
    }
    storage->treatment = treatment;
    storage->outcome = outcome;
    c.treatment = storage->treatment;
    c.outcome = storage->outcome;
    c.storage = std::move(storage);
    return c;
  }
  operator TrainingColumns() const { return training(); }  // NOLINT(google-explicit-constructor)
};

inline TestColumns make_columns(
    std::vector<std::pair<std::string, std::variant<Floats, Texts>>> features,
    std::vector<std::int32_t> treatment, std::vector<std::int8_t> outcome) {
  TestColumns c;
  for (auto& [name, column] : features) {
    c.x_names.push_back(name);
    c.features.push_back(std::move(column));
  }
  c.treatment = std::move(treatment);
  c.outcome = std::move(outcome);
  return c;
}

inline TrainingRoot make_node(const TestColumns& columns) {
  return build_dataset(columns.training(), "treatment", "outcome");
}

// Growth whose every draw comes from streams of `seed`: the same seed grows the same tree.
inline GrowOptions seeded_growth(std::uint64_t seed) {
  GrowOptions options;
  options.draws = TreeDraws::seeded(seed, 0);
  return options;
}

inline double uniform(Rng& rng) { return static_cast<double>(rng.next_u32()) / 4294967296.0; }

// A random experiment: numeric features "x0".."x{numeric-1}" (uniform in [0,1), a few NaN and
// repeated values when `rough`), string features "s0".. over a small alphabet, treatment groups
// 0..groups-1 and binary outcomes. The outcome rate of treated rows rises by `effect` where
// x0 > 0.5, so x0 alone drives the uplift.
inline TestColumns random_experiment(Rng& rng, std::size_t rows, std::size_t numeric,
                                     std::size_t strings, std::int32_t groups, bool rough,
                                     double effect = 0.3) {
  TestColumns c;
  std::vector<Floats> nums(numeric, Floats(rows));
  std::vector<Texts> strs(strings, Texts(rows));
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
  const ColumnRef ref = d.column(node.col_name);
  if (ref.is_numeric()) return d.numeric(ref)[r] <= node.split_value.as_numeric();
  return d.strings(ref).value(r) == node.split_value.as_str();
}

// The slot of the leaf that row `r` reaches.
inline std::uint64_t leaf_of(const Dataset& d, const UpliftTreeModel& tree, RowIndex r) {
  std::uint64_t slot = 0;
  while (!tree.nodes[slot].is_leaf()) {
    slot = goes_left(d, tree.nodes[slot], r) ? left_child(slot) : right_child(slot);
  }
  return slot;
}

// The rows of `rows` that reach every slot (empty for unreached slots), in list order.
inline std::vector<std::vector<RowIndex>> rows_per_slot(const Dataset& d,
                                                        const UpliftTreeModel& tree,
                                                        std::span<const RowIndex> rows) {
  std::vector<std::vector<RowIndex>> out(tree.nodes.size());
  for (const RowIndex r : rows) {
    std::uint64_t slot = 0;
    for (;;) {
      out[slot].push_back(r);
      if (tree.nodes[slot].is_leaf()) break;
      slot = goes_left(d, tree.nodes[slot], r) ? left_child(slot) : right_child(slot);
    }
  }
  return out;
}

// The same for every training row.
inline std::vector<std::vector<RowIndex>> rows_per_slot(const Dataset& d,
                                                        const UpliftTreeModel& tree) {
  std::vector<RowIndex> all(d.n_rows());
  for (RowIndex r = 0; r < d.n_rows(); ++r) all[r] = r;
  return rows_per_slot(d, tree, all);
}

}  // namespace quillmarsh::testing_data
