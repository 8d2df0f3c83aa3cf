// The Forest type: a trained forest as the engine hands it to Python. It holds the class's
// forest record (n_estimators = its tree count, so the class loads a saved forest and
// predicts the same) and is never changed after creation, so any number of threads may use
// it at once.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "lib/python.hpp"
#include "uplift_random_forest/forest.hpp"
#include "uplift_tree/node_stats.hpp"
#include "uplift_tree/packed_forest.hpp"

namespace quillmarsh {

struct EngineForest {
  explicit EngineForest(UpliftRandomForestModel trained)
      : record(std::move(trained)), packed(record.trees) {}

  UpliftRandomForestModel record;
  PackedForest packed;        // record.trees ready to predict, built once
  std::size_t n_outputs = 0;  // treatment groups: entries of every leaf's uplift vector
  // Per tree, the group counts of its nodes; empty for a forest made before they were kept.
  std::vector<NodeStats> stats;
};

// The type object (borrowed, cached for the process); panics when it cannot be created.
PyObject* forest_type();

// A new Forest owning `record`, which holds at least one tree, with its trees packed for
// prediction. Panics when the trees' leaves differ in length.
// `stats` is empty or holds one entry per tree that fits it.
PyObject* new_forest_object(UpliftRandomForestModel record, std::vector<NodeStats> stats = {});

// The forest of `object`, or nullptr with a TypeError naming `what`.
const EngineForest* as_forest(PyObject* object, const char* what);

}  // namespace quillmarsh
