// Forest.explain: numpy columns in, each row's contribution of every feature to every output
// written into the caller's float64 arrays, from the trees and their node statistics. The
// work runs on a helper thread (and its threads) with the interpreter lock released; Ctrl-C
// cancels it.
#include "uplift_random_forest/explain.hpp"

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"
#include "engine/arguments.hpp"
#include "engine/arrays.hpp"
#include "engine/columns.hpp"
#include "engine/forest_methods.hpp"
#include "engine/forest_object.hpp"
#include "engine/predict_support.hpp"

namespace quillmarsh {

namespace {

struct ExplainArguments {
  PyObject* columns = nullptr;
  PyObject* contributions = nullptr;
  PyObject* base = nullptr;
  std::int32_t n_threads = 0;
};

template <PyObject* ExplainArguments::* field>
bool store_object(PyObject* value, ExplainArguments& arguments) {
  arguments.*field = value;
  return true;
}

constexpr std::array<Parameter<ExplainArguments>, 4> kExplainParameters{{
    {"columns", Given::kPositional, store_object<&ExplainArguments::columns>},
    {"contributions", Given::kPositional, store_object<&ExplainArguments::contributions>},
    {"base", Given::kPositional, store_object<&ExplainArguments::base>},
    {"n_threads", Given::kPositional, store_converted<&ExplainArguments::n_threads, at_least_one>},
}};

bool raise_value_error(const std::string& text) {
  PyErr_SetString(PyExc_ValueError, text.c_str());
  return false;
}

// A writable float64 array of shape (rows, width) named `what`.
std::optional<ArrayView> output(PyObject* object, const char* what, std::size_t width) {
  std::optional<ArrayView> view = read_array(object, what, Dtype::kFloat64, 2, Access::kWrite);
  if (view && view->columns != width) {
    raise_value_error(std::string(what) + " has " + std::to_string(view->columns) + " columns; " +
                      std::to_string(width) + " are needed");
    return std::nullopt;
  }
  return view;
}

bool explain_into(const EngineForest& forest, const ExplainArguments& a) {
  if (forest.stats.empty()) {
    return raise_value_error(
        "this forest holds no node statistics (it was saved before they were kept): pass "
        "labelled reference rows to explain it, or retrain it");
  }
  const std::vector<std::string>& names = forest.record.trees.front().feature_cols;
  const std::size_t width = names.size() * forest.n_outputs;
  std::optional<ArrayView> contributions = output(a.contributions, "contributions", width);
  if (!contributions) return false;
  std::optional<ArrayView> base = output(a.base, "base", forest.n_outputs);
  if (!base) return false;
  if (base->rows != 1) return raise_value_error("base must have one row");
  const std::optional<CallerColumns> columns =
      read_columns(a.columns, names, contributions->rows, "contributions", false);
  if (!columns || !check_kinds(forest, *columns) || !check_codes(*columns, names)) return false;
  const std::vector<ColumnInput> inputs = column_inputs(*columns);
  return run_on_helper([&](const CancelFlag* cancel) {
    explain_columns(forest.record.trees, forest.stats,
                    static_cast<double>(forest.record.n_estimators), inputs, contributions->rows,
                    contributions->writable_values<double>(), base->writable_values<double>(),
                    static_cast<std::size_t>(a.n_threads), cancel);
  });
}

}  // namespace

PyObject* forest_explain(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_with_arguments("explain", kExplainParameters, args, kwargs,
                             [&](const ExplainArguments& a) -> PyObject* {
                               const EngineForest* forest = as_forest(self, "self");
                               if (forest == nullptr || !explain_into(*forest, a)) return nullptr;
                               Py_RETURN_NONE;
                             });
}

}  // namespace quillmarsh
