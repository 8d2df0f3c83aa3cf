// The Forest methods built on the trees' node statistics and groups: per-group rates, the
// spread of a forest grown in groups, and the statistics' own reading and writing.
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"
#include "engine/arguments.hpp"
#include "engine/arrays.hpp"
#include "engine/forest_methods.hpp"
#include "engine/forest_object.hpp"
#include "engine/predict_support.hpp"

namespace quillmarsh {

namespace {

struct ColumnsArguments {
  PyObject* columns = nullptr;
  PyObject* out = nullptr;
  PyObject* between = nullptr;
  PyObject* within = nullptr;
  PyObject* variance = nullptr;
  std::int32_t n_threads = 0;
  std::int32_t group_size = 0;
  PyObject* shares = nullptr;  // None or absent: one share of every tree
};

template <PyObject* ColumnsArguments::* field>
bool store_object(PyObject* value, ColumnsArguments& arguments) {
  arguments.*field = value;
  return true;
}

constexpr std::array<Parameter<ColumnsArguments>, 3> kRatesParameters{{
    {"columns", Given::kPositional, store_object<&ColumnsArguments::columns>},
    {"out", Given::kPositional, store_object<&ColumnsArguments::out>},
    {"n_threads", Given::kPositional, store_converted<&ColumnsArguments::n_threads, at_least_one>},
}};

constexpr std::array<Parameter<ColumnsArguments>, 8> kSpreadParameters{{
    {"columns", Given::kPositional, store_object<&ColumnsArguments::columns>},
    {"out", Given::kPositional, store_object<&ColumnsArguments::out>},
    {"between", Given::kPositional, store_object<&ColumnsArguments::between>},
    {"within", Given::kPositional, store_object<&ColumnsArguments::within>},
    {"variance", Given::kPositional, store_object<&ColumnsArguments::variance>},
    {"n_threads", Given::kPositional, store_converted<&ColumnsArguments::n_threads, at_least_one>},
    {"group_size", Given::kPositional,
     store_converted<&ColumnsArguments::group_size, at_least_one>},
    {"shares", Given::kOptionalKeyword, store_object<&ColumnsArguments::shares>},
}};

// A writable (rows, width) float64 array named `what`.
std::optional<ArrayView> output(PyObject* object, const char* what, std::size_t width) {
  std::optional<ArrayView> view = read_array(object, what, Dtype::kFloat64, 2, Access::kWrite);
  if (view && view->columns != width) {
    raise_value_error(std::string(what) + " has " + std::to_string(view->columns) +
                      " columns; the forest gives " + std::to_string(width) + " values per row");
    return std::nullopt;
  }
  return view;
}

// The caller's columns for `rows` rows, checked against `forest`.
std::optional<CallerColumns> checked_columns(const EngineForest& forest, PyObject* columns,
                                             std::size_t rows) {
  const std::vector<std::string>& names = forest.record.trees.front().feature_cols;
  std::optional<CallerColumns> read = read_columns(columns, names, rows, "out", false);
  if (!read || !check_kinds(forest, *read) || !check_codes(*read, names)) return std::nullopt;
  return read;
}

bool predict_rates_into(const EngineForest& forest, const ColumnsArguments& a) {
  if (forest.stats.empty()) {
    return raise_value_error(
        "this forest holds no node statistics (it was saved before they were kept): retrain "
        "it to predict rates");
  }
  std::optional<ArrayView> out = output(a.out, "out", forest.n_outputs + 1);
  if (!out) return false;
  const std::optional<CallerColumns> columns = checked_columns(forest, a.columns, out->rows);
  if (!columns) return false;
  if (out->rows == 0) return true;
  const std::vector<ColumnInput> inputs = column_inputs(*columns);
  return run_on_helper([&](const CancelFlag* cancel) {
    std::vector<UpliftTreeModel> trees;
    trees.reserve(forest.record.trees.size());
    for (std::size_t t = 0; t < forest.record.trees.size(); ++t) {
      trees.push_back(rate_tree(forest.record.trees[t], forest.stats[t]));
    }
    const PackedForest packed(trees);
    predict_columns(packed, inputs, out->rows, static_cast<double>(trees.size()),
                    out->writable_values<double>(), {}, static_cast<std::size_t>(a.n_threads),
                    cancel);
  });
}

// The tree counts of the forest's shares (a 1-D uint32 array; None: one share of every tree),
// each at least 2 groups of `size`, together every tree; nullopt with ValueError otherwise.
std::optional<std::vector<std::size_t>> share_trees(PyObject* given, std::size_t size,
                                                    std::size_t trees) {
  std::vector<std::size_t> counts;
  if (given == nullptr || given == Py_None) {
    counts.push_back(trees);
  } else {
    const std::optional<ArrayView> view = read_array(given, "shares", Dtype::kUInt32, 1);
    if (!view) return std::nullopt;
    for (const std::uint32_t count : view->values<std::uint32_t>()) counts.push_back(count);
  }
  std::size_t total = 0;
  for (const std::size_t count : counts) {
    if (size < 2 || count % size != 0 || count / size < 2) {
      raise_value_error("group_size " + std::to_string(size) + " does not divide a share of " +
                        std::to_string(count) + " trees into at least 2 groups of at least 2");
      return std::nullopt;
    }
    total += count;
  }
  if (total != trees) {
    raise_value_error("the shares hold " + std::to_string(total) + " trees; the forest holds " +
                      std::to_string(trees));
    return std::nullopt;
  }
  return counts;
}

bool predict_spread_into(const EngineForest& forest, const ColumnsArguments& a) {
  const auto size = static_cast<std::size_t>(a.group_size);
  const std::size_t trees = forest.record.trees.size();
  const std::optional<std::vector<std::size_t>> shares = share_trees(a.shares, size, trees);
  if (!shares) return false;
  if (static_cast<std::size_t>(forest.record.n_estimators) != trees) {
    return raise_value_error("the forest's divisor differs from its tree count");
  }
  std::optional<ArrayView> out = output(a.out, "out", forest.n_outputs);
  if (!out) return false;
  std::optional<ArrayView> between = output(a.between, "between", forest.n_outputs);
  if (!between) return false;
  std::optional<ArrayView> within = output(a.within, "within", forest.n_outputs);
  if (!within) return false;
  std::optional<ArrayView> variance = output(a.variance, "variance", forest.n_outputs);
  if (!variance) return false;
  if (between->rows != out->rows || within->rows != out->rows || variance->rows != out->rows) {
    return raise_value_error("between, within and variance must have the shape of out");
  }
  const std::optional<CallerColumns> columns = checked_columns(forest, a.columns, out->rows);
  if (!columns) return false;
  if (out->rows == 0) return true;
  const std::vector<ColumnInput> inputs = column_inputs(*columns);
  return run_on_helper([&](const CancelFlag* cancel) {
    predict_group_spread(forest.packed, inputs, out->rows, static_cast<double>(trees), size,
                         *shares, out->writable_values<double>(),
                         between->writable_values<double>(), within->writable_values<double>(),
                         variance->writable_values<double>(), static_cast<std::size_t>(a.n_threads),
                         cancel);
  });
}

struct StatsArguments {
  PyObject* data = nullptr;
};

bool store_bytes(PyObject* value, StatsArguments& arguments) {
  if (!PyBytes_Check(value)) {
    PyErr_Format(PyExc_TypeError, "must be bytes, not '%s'", type_name(value).c_str());
    return false;
  }
  arguments.data = value;
  return true;
}

constexpr std::array<Parameter<StatsArguments>, 1> kStatsParameters{{
    {"data", Given::kPositional, store_bytes},
}};

}  // namespace

PyObject* forest_predict_rates(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_with_arguments("predict_rates", kRatesParameters, args, kwargs,
                             [&](const ColumnsArguments& a) -> PyObject* {
                               const EngineForest* forest = as_forest(self, "self");
                               if (forest == nullptr || !predict_rates_into(*forest, a)) {
                                 return nullptr;
                               }
                               Py_RETURN_NONE;
                             });
}

PyObject* forest_predict_spread(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_with_arguments("predict_spread", kSpreadParameters, args, kwargs,
                             [&](const ColumnsArguments& a) -> PyObject* {
                               const EngineForest* forest = as_forest(self, "self");
                               if (forest == nullptr || !predict_spread_into(*forest, a)) {
                                 return nullptr;
                               }
                               Py_RETURN_NONE;
                             });
}

PyObject* forest_node_stats(PyObject* self, PyObject* /*unused*/) noexcept {
  return guarded([&]() -> PyObject* {
    const EngineForest* forest = as_forest(self, "self");
    if (forest == nullptr) return nullptr;
    if (forest->stats.empty()) Py_RETURN_NONE;
    const std::vector<std::uint32_t> words = serialise_stats(forest->stats);
    std::string bytes(words.size() * 4, '\0');
    for (std::size_t i = 0; i < words.size(); ++i) {
      for (std::size_t b = 0; b < 4; ++b) {
        bytes[4 * i + b] = static_cast<char>((words[i] >> (8 * b)) & 0xffu);
      }
    }
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  });
}

PyObject* forest_with_node_stats(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_with_arguments(
      "with_node_stats", kStatsParameters, args, kwargs, [&](const StatsArguments& a) -> PyObject* {
        const EngineForest* forest = as_forest(self, "self");
        if (forest == nullptr) return nullptr;
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(a.data, &data, &size) != 0) return nullptr;
        if (size % 4 != 0) {
          raise_value_error("node statistics must be whole 32-bit words");
          return nullptr;
        }
        std::vector<std::uint32_t> words(static_cast<std::size_t>(size) / 4);
        const auto* bytes = reinterpret_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < words.size(); ++i) {
          for (std::size_t b = 0; b < 4; ++b) {
            words[i] |= static_cast<std::uint32_t>(bytes[4 * i + b]) << (8 * b);
          }
        }
        std::vector<NodeStats> stats;
        if (!panics_as_value_error([&] { stats = parse_stats(words, forest->record.trees); })) {
          return nullptr;
        }
        return new_forest_object(forest->record, std::move(stats));
      });
}

}  // namespace quillmarsh
