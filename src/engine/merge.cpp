// merge: one forest holding the trees of several, which must agree on features, outputs and
// training settings.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "engine/arguments.hpp"
#include "engine/forest_object.hpp"
#include "engine/functions.hpp"
#include "lib/boundary.hpp"
#include "lib/py_error.hpp"
#include "lib/py_ref.hpp"

namespace quillmarsh {

namespace {

struct MergeArguments {
  PyObject* forests = nullptr;
};

bool store_forests(PyObject* value, MergeArguments& arguments) {
  arguments.forests = value;
  return true;
}

constexpr std::array<Parameter<MergeArguments>, 1> kMergeParameters{{
    {"forests", Given::kPositional, store_forests},
}};

// The first setting in which `other` differs from `first`, or an empty text.
std::string differing_setting(const EngineForest& first, const EngineForest& other) {
  const UpliftRandomForestModel& a = first.record;
  const UpliftRandomForestModel& b = other.record;
  if (a.trees.front().feature_cols != b.trees.front().feature_cols) return "feature_names";
  if (first.n_outputs != other.n_outputs) return "n_outputs";
  if (a.eval_func != b.eval_func) return "criterion";
  if (a.max_features != b.max_features) return "max_features";
  if (a.max_depth != b.max_depth) return "max_depth";
  if (a.min_sample_leaf != b.min_sample_leaf) return "min_samples_leaf";
  if (a.max_bins != b.max_bins) return "max_bins";
  if (a.balance != b.balance) return "balance";
  if (a.regularization != b.regularization) return "regularization";
  // Bit for bit, so that the same NaN matches itself.
  if (std::bit_cast<std::uint64_t>(a.alpha) != std::bit_cast<std::uint64_t>(b.alpha)) {
    return "alpha";
  }
  if (a.treatment_col != b.treatment_col) return "treatment_col";
  if (a.outcome_col != b.outcome_col) return "outcome_col";
  return {};
}

// How the splits of the forests so far compare each feature: bit 0 with thresholds, bit 1
// with categories. Adds `forest`'s splits and returns the name of a feature they compare
// the other way, or an empty text.
std::string differing_kind(const EngineForest& forest, std::vector<std::uint8_t>& kinds) {
  for (const PackedForest::Column& tested : forest.packed.columns()) {
    if (tested.col_idx >= kinds.size()) continue;  // a hand-edited split; predict refuses it
    const auto kind =
        static_cast<std::uint8_t>((tested.numeric ? 1 : 0) | (tested.category ? 2 : 0));
    std::uint8_t& seen = kinds[tested.col_idx];
    if (seen != 0 && seen != kind) return forest.record.trees.front().feature_cols[tested.col_idx];
    seen = kind;
  }
  return {};
}

PyObject* merge(PyObject* forests_object) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(forests_object));
  if (!iterator) return nullptr;
  std::vector<PyRef> held;  // keeps every forest alive while its trees are copied
  std::vector<const EngineForest*> forests;
  std::vector<std::uint8_t> kinds;  // see differing_kind
  std::uint64_t n_trees = 0;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    const std::string what = "forests[" + std::to_string(forests.size()) + "]";
    const EngineForest* forest = as_forest(item.get(), what.c_str());
    if (forest == nullptr) return nullptr;
    if (!forests.empty()) {
      if (const std::string setting = differing_setting(*forests.front(), *forest);
          !setting.empty()) {
        PyErr_Format(PyExc_ValueError, "%s differs from forests[0] in %s", what.c_str(),
                     setting.c_str());
        return nullptr;
      }
    }
    if (forests.empty()) kinds.assign(forest->record.trees.front().feature_cols.size(), 0);
    if (const std::string feature = differing_kind(*forest, kinds); !feature.empty()) {
      PyErr_Format(PyExc_ValueError,
                   "%s compares feature '%s' with thresholds where an earlier forest compares "
                   "it with categories, or the other way round",
                   what.c_str(), feature.c_str());
      return nullptr;
    }
    held.push_back(std::move(item));
    forests.push_back(forest);
    n_trees += forest->record.trees.size();
  }
  if (PyErr_Occurred() != nullptr) return nullptr;
  if (forests.empty()) {
    PyErr_SetString(PyExc_ValueError, "forests is empty: there is nothing to merge");
    return nullptr;
  }
  if (n_trees > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
    PyErr_SetString(PyExc_ValueError, "the merged forest would hold more than 2^31 - 1 trees");
    return nullptr;
  }
  const UpliftRandomForestModel& first = forests.front()->record;
  UpliftRandomForestModel record =
      make_forest(static_cast<std::int32_t>(n_trees), first.max_features, first.max_depth,
                  first.min_sample_leaf, first.eval_func, first.max_bins, first.balance,
                  first.regularization, first.alpha);
  record.treatment_col = first.treatment_col;
  record.outcome_col = first.outcome_col;
  record.trees.reserve(n_trees);
  // The node statistics are kept only when every forest has them.
  const bool all_stats = std::all_of(forests.begin(), forests.end(),
                                     [](const EngineForest* f) { return !f->stats.empty(); });
  std::vector<NodeStats> stats;
  for (const EngineForest* forest : forests) {
    record.trees.insert(record.trees.end(), forest->record.trees.begin(),
                        forest->record.trees.end());
    if (all_stats) stats.insert(stats.end(), forest->stats.begin(), forest->stats.end());
  }
  return new_forest_object(std::move(record), std::move(stats));
}

}  // namespace

PyObject* engine_merge(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return call_with_arguments("merge", kMergeParameters, args, kwargs,
                             [](const MergeArguments& a) { return merge(a.forests); });
}

}  // namespace quillmarsh
