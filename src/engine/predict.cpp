// Forest.predict: numpy columns in, the averages of the trees' leaf uplifts written into the
// caller's float64 array. The prediction-ready trees run on a helper thread (and its
// prediction threads) with the interpreter lock released; the calling thread wakes at least
// every kPollInterval to let Ctrl-C through, which cancels the prediction.
#include "uplift_random_forest/predict.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "common/panic.hpp"
#include "concurrency/cancel.hpp"
#include "concurrency/channel.hpp"
#include "concurrency/thread.hpp"
#include "engine/arguments.hpp"
#include "engine/arrays.hpp"
#include "engine/columns.hpp"
#include "engine/forest_methods.hpp"
#include "engine/forest_object.hpp"
#include "engine/predict_support.hpp"
#include "engine/waiting.hpp"

namespace quillmarsh {

namespace {

struct PredictArguments {
  PyObject* columns = nullptr;  // borrowed from the call's arguments, read after binding
  PyObject* out = nullptr;
  std::int32_t n_threads = 0;
  PyObject* std_out = nullptr;  // None is stored as nullptr
};

template <PyObject* PredictArguments::* field>
bool store_object(PyObject* value, PredictArguments& arguments) {
  arguments.*field = value == Py_None ? nullptr : value;
  return true;
}

constexpr std::array<Parameter<PredictArguments>, 4> kPredictParameters{{
    {"columns", Given::kPositional, store_object<&PredictArguments::columns>},
    {"out", Given::kPositional, store_object<&PredictArguments::out>},
    {"n_threads", Given::kPositional, store_converted<&PredictArguments::n_threads, at_least_one>},
    {"std_out", Given::kOptionalPositional, store_object<&PredictArguments::std_out>},
}};

bool raise(PyObject* kind, const std::string& text) {
  PyErr_SetString(kind, text.c_str());
  return false;
}

struct Outputs {
  ArrayView out;
  std::optional<ArrayView> std_out;
};

// out, and std_out when given: (rows, n_outputs) float64 arrays, writable, apart.
std::optional<Outputs> read_outputs(const EngineForest& forest, const PredictArguments& a) {
  std::optional<ArrayView> out = read_array(a.out, "out", Dtype::kFloat64, 2, Access::kWrite);
  if (!out) return std::nullopt;
  if (out->columns != forest.n_outputs) {
    raise(PyExc_ValueError, "out has " + std::to_string(out->columns) +
                                " columns; the forest gives " + std::to_string(forest.n_outputs) +
                                " values per row");
    return std::nullopt;
  }
  Outputs outputs{std::move(*out), std::nullopt};
  if (a.std_out == nullptr) return outputs;
  std::optional<ArrayView> std_out =
      read_array(a.std_out, "std_out", Dtype::kFloat64, 2, Access::kWrite);
  if (!std_out) return std::nullopt;
  if (std_out->rows != outputs.out.rows || std_out->columns != outputs.out.columns) {
    raise(PyExc_ValueError, "std_out must have the shape of out");
    return std::nullopt;
  }
  const std::span<double> o = outputs.out.writable_values<double>();
  const std::span<double> s = std_out->writable_values<double>();
  if (!o.empty() && o.data() < s.data() + s.size() && s.data() < o.data() + o.size()) {
    raise(PyExc_ValueError, "std_out shares memory with out");
    return std::nullopt;
  }
  outputs.std_out = std::move(std_out);
  return outputs;
}

}  // namespace

// Every feature a split tests must come in the kind the splits compare it with.
bool check_kinds(const EngineForest& forest, const CallerColumns& columns) {
  const std::vector<std::string>& names = forest.record.trees.front().feature_cols;
  for (const PackedForest::Column& tested : forest.packed.columns()) {
    if (tested.col_idx >= columns.features.size()) {
      return raise(PyExc_ValueError, "a split of the forest tests column " +
                                         std::to_string(tested.col_idx) + " of a row, beyond its " +
                                         std::to_string(names.size()) + " features");
    }
    const std::string label = column_label(tested.col_idx, names[tested.col_idx]);
    const bool numeric = std::holds_alternative<NumericFeature>(columns.features[tested.col_idx]);
    if (tested.numeric && tested.category) {
      return raise(PyExc_ValueError,
                   "the forest compares " + label + " both with thresholds and with categories");
    }
    if (tested.numeric && !numeric) {
      return raise(PyExc_TypeError,
                   label + " must be a float32 array: the forest compares it with thresholds");
    }
    if (tested.category && numeric) {
      return raise(PyExc_TypeError, label +
                                        " must be a (codes, categories) pair: the forest compares "
                                        "it with categories");
    }
  }
  return true;
}

constexpr std::uint32_t kNoCategoryCode = 0xFFFFFFFF;

// A code must index its categories, or be kNoCategoryCode. Scans with the lock released.
bool check_codes(const CallerColumns& columns, const std::vector<std::string>& names) {
  struct Beyond {
    std::size_t column;
    std::size_t row;
    std::uint32_t code;
  };
  std::optional<Beyond> beyond;
  {
    const LockReleased released;
    for (std::size_t i = 0; i < columns.features.size() && !beyond; ++i) {
      const auto* strings = std::get_if<StringFeature>(&columns.features[i]);
      if (strings == nullptr) continue;
      const std::size_t size = strings->dictionary.size();
      const auto it =
          std::find_if(strings->codes.begin(), strings->codes.end(),
                       [size](std::uint32_t c) { return c >= size && c != kNoCategoryCode; });
      if (it != strings->codes.end()) {
        beyond = Beyond{i, static_cast<std::size_t>(it - strings->codes.begin()), *it};
      }
    }
  }
  if (!beyond) return true;
  const auto& strings = std::get<StringFeature>(columns.features[beyond->column]);
  return raise(PyExc_ValueError, column_label(beyond->column, names[beyond->column]) +
                                     " holds code " + std::to_string(beyond->code) + " in row " +
                                     std::to_string(beyond->row) + ", beyond its " +
                                     std::to_string(strings.dictionary.size()) +
                                     " categories (0xFFFFFFFF marks a value of no category)");
}

std::vector<ColumnInput> column_inputs(const CallerColumns& columns) {
  std::vector<ColumnInput> inputs;
  inputs.reserve(columns.features.size());
  for (const FeatureColumn& feature : columns.features) {
    ColumnInput& input = inputs.emplace_back();
    if (const auto* numeric = std::get_if<NumericFeature>(&feature)) {
      input.numbers = numeric->values.data();
    } else {
      const auto& strings = std::get<StringFeature>(feature);
      input.codes = strings.codes.data();
      input.texts = strings.dictionary;
    }
  }
  return inputs;
}

// Runs `work` on a helper thread while the calling thread waits interruptibly. Panics with the
// work's failure once every thread of it has ended; false when an interrupt stopped it.
bool run_on_helper(const std::function<void(const CancelFlag*)>& work) {
  CancelFlag cancel;
  const std::shared_ptr<ThreadGroup> group = ThreadGroup::create();
  auto [sender, failures] = make_channel<std::string>();
  // The helper reads this frame's data: `joined` waits for it on every way out.
  spawn_detached(
      [&, tx = std::move(sender)]() mutable {
        try {
          work(&cancel);
        } catch (const Panic& p) {
          tx.send(p.message());
        } catch (const std::bad_alloc&) {
          tx.send("memory allocation failed");
        }
      },
      group);
  const StopAndJoin joined([&cancel] { cancel.request(); },
                           [&group] { group->wait_until_empty(); });
  std::optional<std::string> failure;
  const bool completed = wait_interruptibly(
      [&](std::chrono::milliseconds timeout) {
        if (std::optional<std::string> message = failures.recv_for(timeout)) {
          failure = std::move(message);
        }
        return failures.closed();
      },
      [] { return true; });
  if (!completed) return false;  // the interrupt wins over a failure found meanwhile
  if (failure) panic(std::move(*failure));
  return true;
}

namespace {

// Runs predict_columns on a helper thread while the calling thread waits interruptibly.
bool predict_on_helper(const EngineForest& forest, std::span<const ColumnInput> inputs,
                       std::size_t n_rows, std::span<double> out, std::span<double> std_out,
                       std::int32_t n_threads) {
  return run_on_helper([&](const CancelFlag* cancel) {
    predict_columns(forest.packed, inputs, n_rows, static_cast<double>(forest.record.n_estimators),
                    out, std_out, static_cast<std::size_t>(n_threads), cancel);
  });
}

// False with a Python error set.
bool predict_into(const EngineForest& forest, const PredictArguments& a) {
  const std::optional<Outputs> outputs = read_outputs(forest, a);
  if (!outputs) return false;
  const ArrayView& out = outputs->out;
  const std::vector<std::string>& names = forest.record.trees.front().feature_cols;
  const std::optional<CallerColumns> columns =
      read_columns(a.columns, names, out.rows, "out", /*distinct_categories=*/false);
  if (!columns || !check_kinds(forest, *columns) || !check_codes(*columns, names)) return false;
  if (out.rows == 0) return true;
  const std::vector<ColumnInput> inputs = column_inputs(*columns);
  const std::span<double> std_values =
      outputs->std_out ? outputs->std_out->writable_values<double>() : std::span<double>();
  return predict_on_helper(forest, inputs, out.rows, out.writable_values<double>(), std_values,
                           a.n_threads);
}

}  // namespace

PyObject* forest_predict(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_with_arguments("predict", kPredictParameters, args, kwargs,
                             [&](const PredictArguments& a) -> PyObject* {
                               const EngineForest* forest = as_forest(self, "self");
                               if (forest == nullptr || !predict_into(*forest, a)) return nullptr;
                               Py_RETURN_NONE;
                             });
}

}  // namespace quillmarsh
