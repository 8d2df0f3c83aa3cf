// fit: numpy columns in, a trained Forest out. The dataset views the caller's arrays; the
// interpreter lock is released while it is built and while the trees grow, and the calling
// thread wakes at least every kPollInterval to report progress and to let Ctrl-C through.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "binding/boundary.hpp"
#include "binding/compound.hpp"
#include "binding/convert.hpp"
#include "binding/py_error.hpp"
#include "common/page_allocator.hpp"
#include "common/panic.hpp"
#include "engine/arguments.hpp"
#include "engine/arrays.hpp"
#include "engine/columns.hpp"
#include "engine/forest_object.hpp"
#include "engine/functions.hpp"
#include "engine/predict_support.hpp"
#include "engine/waiting.hpp"
#include "uplift_random_forest/forest_predict.hpp"
#include "uplift_random_forest/out_of_bag.hpp"
#include "uplift_random_forest/train.hpp"
#include "uplift_tree/grow.hpp"

namespace quillmarsh {

namespace {

struct FitArguments {
  PyObject* columns = nullptr;  // borrowed from the call's arguments, read after binding
  std::vector<std::string> names;
  PyObject* treatment = nullptr;
  PyObject* outcome = nullptr;
  std::int32_t n_estimators = 0;
  std::uint64_t max_features = 0;
  std::uint64_t max_depth = 0;
  std::uint64_t min_samples_leaf = 0;
  std::string criterion;
  std::uint64_t max_bins = 0;
  bool balance = false;
  bool regularization = false;
  double alpha = 0.0;
  std::int32_t n_threads = 0;
  std::uint64_t seed = 0;
  std::string treatment_col = "treatment";
  std::string outcome_col = "outcome";
  PyObject* progress = nullptr;  // borrowed; None is stored as nullptr
  TreeOptions tree;              // None leaves an option off
  PyObject* oob_out = nullptr;   // borrowed; None is stored as nullptr
};

template <PyObject* FitArguments::* field>
bool store_object(PyObject* value, FitArguments& arguments) {
  arguments.*field = value;
  return true;
}

std::optional<std::string> criterion(PyObject* object) {
  std::optional<std::string> text = to_text(object);
  if (text && !eval_func_of_text(*text)) {
    std::string names;  // 'ED', 'KL' or 'CHI'
    for (std::size_t i = 0; i < kEvalFuncNames.size(); ++i) {
      if (i > 0) names += i + 1 == kEvalFuncNames.size() ? " or " : ", ";
      names += '\'' + std::string(kEvalFuncNames[i].text) + '\'';
    }
    PyErr_Format(PyExc_ValueError, "must be %s, not %R", names.c_str(), object);
    return std::nullopt;
  }
  return text;
}

bool store_progress(PyObject* value, FitArguments& arguments) {
  if (value == Py_None) return true;
  if (PyCallable_Check(value) == 0) {
    PyErr_Format(PyExc_TypeError, "must be callable or None, not '%s'", type_name(value).c_str());
    return false;
  }
  arguments.progress = value;
  return true;
}

// None, or a row count of at least 1 (max_samples).
bool store_max_samples(PyObject* value, FitArguments& arguments) {
  if (value == Py_None) return true;
  const std::optional<std::uint64_t> count = to_u64(value);
  if (!count) return false;
  if (*count < 1) {
    PyErr_SetString(PyExc_ValueError, "must be None or at least 1, not 0");
    return false;
  }
  arguments.tree.max_samples = count;
  return true;
}

// None, or the share of each tree's distinct rows that sets the leaf rates, in (0, 1).
bool store_honest_fraction(PyObject* value, FitArguments& arguments) {
  if (value == Py_None) return true;
  const std::optional<double> fraction = to_f64(value);
  if (!fraction) return false;
  if (!(*fraction > 0.0 && *fraction < 1.0)) {
    PyErr_Format(PyExc_ValueError, "must be None or lie in (0, 1), not %R", value);
    return false;
  }
  arguments.tree.honest_fraction = fraction;
  return true;
}

bool store_min_samples_treatment(PyObject* value, FitArguments& arguments) {
  if (value == Py_None) return true;
  const std::optional<std::uint64_t> minimum = to_u64(value);
  if (!minimum) return false;
  arguments.tree.min_samples_treatment = minimum;
  return true;
}

bool store_bootstrap(PyObject* value, FitArguments& arguments) {
  const std::optional<bool> bootstrap = to_exact_bool(value);
  if (!bootstrap) return false;
  arguments.tree.bootstrap = *bootstrap;
  return true;
}

bool store_group_size(PyObject* value, FitArguments& arguments) {
  const std::optional<std::int32_t> size = at_least_one(value);
  if (!size) return false;
  arguments.tree.group_size = static_cast<std::uint64_t>(*size);
  return true;
}

bool store_oob_out(PyObject* value, FitArguments& arguments) {
  arguments.oob_out = value == Py_None ? nullptr : value;
  return true;
}

using A = FitArguments;
constexpr std::array<Parameter<A>, 24> kFitParameters{{
    {"columns", Given::kPositional, store_object<&A::columns>},
    {"names", Given::kPositional, store_converted<&A::names, to_name_list>},
    {"treatment", Given::kPositional, store_object<&A::treatment>},
    {"outcome", Given::kPositional, store_object<&A::outcome>},
    {"n_estimators", Given::kRequiredKeyword, store_converted<&A::n_estimators, at_least_one>},
    {"max_features", Given::kRequiredKeyword, store_converted<&A::max_features, to_u64>},
    {"max_depth", Given::kRequiredKeyword, store_converted<&A::max_depth, to_u64>},
    {"min_samples_leaf", Given::kRequiredKeyword, store_converted<&A::min_samples_leaf, to_u64>},
    {"criterion", Given::kRequiredKeyword, store_converted<&A::criterion, criterion>},
    {"max_bins", Given::kRequiredKeyword, store_converted<&A::max_bins, to_u64>},
    {"balance", Given::kRequiredKeyword, store_converted<&A::balance, to_exact_bool>},
    {"regularization", Given::kRequiredKeyword, store_converted<&A::regularization, to_exact_bool>},
    {"alpha", Given::kRequiredKeyword, store_converted<&A::alpha, to_f64>},
    {"n_threads", Given::kRequiredKeyword, store_converted<&A::n_threads, at_least_one>},
    {"seed", Given::kRequiredKeyword, store_converted<&A::seed, to_u64>},
    {"treatment_col", Given::kOptionalKeyword, store_converted<&A::treatment_col, to_text>},
    {"outcome_col", Given::kOptionalKeyword, store_converted<&A::outcome_col, to_text>},
    {"progress", Given::kOptionalKeyword, store_progress},
    {"max_samples", Given::kOptionalKeyword, store_max_samples},
    {"bootstrap", Given::kOptionalKeyword, store_bootstrap},
    {"honest_fraction", Given::kOptionalKeyword, store_honest_fraction},
    {"min_samples_treatment", Given::kOptionalKeyword, store_min_samples_treatment},
    {"ci_group_size", Given::kOptionalKeyword, store_group_size},
    {"oob_out", Given::kOptionalKeyword, store_oob_out},
}};

// The caller's data as views, with the references that keep its arrays alive.
struct TrainingInput {
  TrainingColumns columns;
  std::vector<PyRef> held;
};

std::optional<std::string> repeated_name(const std::vector<std::string>& names) {
  std::unordered_set<std::string_view> seen;
  for (const std::string& name : names) {
    if (!seen.insert(name).second) return name;
  }
  return std::nullopt;
}

std::optional<TrainingInput> read_training_input(const FitArguments& a) {
  std::optional<ArrayView> treatment = read_array(a.treatment, "treatment", Dtype::kInt32, 1);
  if (!treatment) return std::nullopt;
  std::optional<ArrayView> outcome = read_array(a.outcome, "outcome", Dtype::kUInt8, 1);
  if (!outcome) return std::nullopt;
  const std::size_t n_rows = treatment->rows;
  if (n_rows == 0) {
    raise_value_error("treatment is empty: there are no rows to train on");
    return std::nullopt;
  }
  if (outcome->rows != n_rows) {
    raise_value_error("outcome has " + std::to_string(outcome->rows) +
                      " values but treatment has " + std::to_string(n_rows));
    return std::nullopt;
  }
  // Splits find their feature by name, so a repeated name would train on one column and
  // predict from another.
  if (const std::optional<std::string> twice = repeated_name(a.names)) {
    raise_value_error("names lists '" + *twice + "' twice");
    return std::nullopt;
  }
  std::optional<CallerColumns> features =
      read_columns(a.columns, a.names, n_rows, "treatment", /*distinct_categories=*/true);
  if (!features) return std::nullopt;

  TrainingInput input;
  input.columns.x_names = a.names;
  input.columns.features = std::move(features->features);
  input.columns.treatment = treatment->values<std::int32_t>();
  // 0 and 1 read the same as signed bytes; anything else is refused before training.
  const std::span<const std::uint8_t> bytes = outcome->values<std::uint8_t>();
  input.columns.outcome = {reinterpret_cast<const std::int8_t*>(bytes.data()), bytes.size()};
  input.held = std::move(features->held);
  input.held.push_back(std::move(treatment->owner));
  input.held.push_back(std::move(outcome->owner));
  return input;
}

// Builds the dataset over the caller's columns with the interpreter lock released.
std::optional<TrainingRoot> build_root(TrainingInput& input, const FitArguments& a) {
  const std::span<const std::int8_t> outcome = input.columns.outcome;
  std::size_t first_bad = outcome.size();
  TrainingRoot root;
  // The core's checks of the columns and of the size of the node arrays are worded for the
  // caller.
  const bool built = panics_as_value_error([&] {
    checked_node_array_size(a.max_depth, static_cast<std::uint64_t>(a.n_estimators));
    const LockReleased released;
    first_bad =
        static_cast<std::size_t>(std::find_if(outcome.begin(), outcome.end(),
                                              [](std::int8_t y) { return y != 0 && y != 1; }) -
                                 outcome.begin());
    if (first_bad == outcome.size()) {
      root = build_dataset(std::move(input.columns), a.treatment_col, a.outcome_col);
    }
  });
  if (!built) return std::nullopt;
  if (first_bad != outcome.size()) {
    raise_value_error("outcome holds " +
                      std::to_string(static_cast<std::uint8_t>(outcome[first_bad])) + " in row " +
                      std::to_string(first_bad) + "; outcomes must be 0 or 1");
    return std::nullopt;
  }
  if (a.tree.group_size > 1 && a.tree.bootstrap) {
    raise_value_error("ci_group_size " + std::to_string(a.tree.group_size) +
                      " draws each group's half-sample without replacement: bootstrap must be "
                      "False");
    return std::nullopt;
  }
  if (a.n_estimators % static_cast<std::int64_t>(a.tree.group_size) != 0) {
    raise_value_error("n_estimators " + std::to_string(a.n_estimators) +
                      " must be a multiple of ci_group_size " + std::to_string(a.tree.group_size));
    return std::nullopt;
  }
  if (a.tree.group_size > 1 && a.tree.max_samples &&
      *a.tree.max_samples > root.dataset->n_rows() / 2) {
    raise_value_error("max_samples is " + std::to_string(*a.tree.max_samples) +
                      " but each group of trees draws from half of the " +
                      std::to_string(root.dataset->n_rows()) + " rows");
    return std::nullopt;
  }
  if (!a.tree.bootstrap && a.tree.max_samples && *a.tree.max_samples > root.dataset->n_rows()) {
    raise_value_error("max_samples is " + std::to_string(*a.tree.max_samples) + " but there are " +
                      std::to_string(root.dataset->n_rows()) +
                      " rows; without bootstrap no more rows can be drawn than there are");
    return std::nullopt;
  }
  if (root.dataset->max_treatment == 0) {
    raise_value_error(
        "treatment holds only the control group 0; training needs at least one "
        "treatment group 1..K");
    return std::nullopt;
  }
  return root;
}

// The trees of one run, stored by job number as they arrive.
class Collected {
 public:
  explicit Collected(std::int32_t n_trees)
      : trees_(static_cast<std::size_t>(n_trees)), stats_(trees_.size()) {}

  void add(TreeOutcome outcome, TrainingRun& run) {
    ++arrived_;
    if (!outcome.tree) {
      out_of_memory_ = out_of_memory_ || outcome.out_of_memory;
      if (!failure_) failure_ = std::move(outcome.failure);
      run.cancel();  // the fit fails: the other trees need not finish
      return;
    }
    trees_[static_cast<std::size_t>(outcome.index)] = std::move(outcome.tree);
    stats_[static_cast<std::size_t>(outcome.index)] = std::move(outcome.stats);
    ++finished_;
  }
  std::int32_t finished() const noexcept { return finished_; }
  bool failed() const noexcept { return failure_.has_value(); }

  // A tree could not get the memory it needed.
  bool out_of_memory() const noexcept { return out_of_memory_; }

  // The trees in job order; panics with a lost tree's message, or when trees are missing.
  std::vector<UpliftTreeModel> take(const TrainingRun& run) {
    if (failure_) panic(std::move(*failure_));
    require_every_outcome(arrived_, run);
    std::vector<UpliftTreeModel> out;
    out.reserve(trees_.size());
    for (std::size_t i = 0; i < trees_.size(); ++i) {
      std::optional<UpliftTreeModel>& tree = trees_[i];
      if (!tree) panic("training ended without tree " + std::to_string(i));
      out.push_back(std::move(*tree));
    }
    return out;
  }
  // The node statistics in job order (once take succeeded).
  std::vector<NodeStats> take_stats() { return std::move(stats_); }

 private:
  std::vector<std::optional<UpliftTreeModel>> trees_;
  std::vector<NodeStats> stats_;
  std::optional<std::string> failure_;
  bool out_of_memory_ = false;
  std::int32_t arrived_ = 0;
  std::int32_t finished_ = 0;
};

// The training columns as the core's prediction reads them.
std::vector<ColumnInput> dataset_inputs(const Dataset& dataset) {
  std::vector<ColumnInput> inputs;
  for (const std::string& name : dataset.x_names) {
    ColumnInput& input = inputs.emplace_back();
    const ColumnRef ref = dataset.column(name);
    if (ref.is_numeric()) {
      input.numbers = dataset.numeric(ref).data();
    } else {
      input.codes = dataset.strings(ref).codes.data();
      input.texts = dataset.strings(ref).dictionary;
    }
  }
  return inputs;
}

// Each training row's mean uplift over the trees that did not hold it (NaN where every tree
// did), from memberships regenerated from the trees' seeded streams. False with a Python error.
bool out_of_bag(const EngineForest& forest, const TrainingRoot& root, const FitArguments& a,
                std::span<double> out) {
  return run_on_helper([&](const CancelFlag* cancel) {
    const auto trees = static_cast<std::uint64_t>(forest.record.trees.size());
    const std::vector<std::vector<bool>> held = rows_held(root, a.tree, a.seed, trees, cancel);
    const std::vector<ColumnInput> inputs = dataset_inputs(*root.dataset);
    std::vector<std::uint32_t> counts(root.dataset->n_rows());
    predict_out_of_bag(forest.packed, inputs, counts.size(), held, out, counts,
                       static_cast<std::size_t>(a.n_threads), cancel);
  });
}

PyObject* train_forest(const FitArguments& a) {
  // The calling thread's blocks (the dataset's, the collected trees, the packed forest) come
  // from the module threads' heap, without huge pages, until the call returns.
  const ThreadHeapScope heap;
  std::optional<TrainingInput> input = read_training_input(a);
  if (!input) return nullptr;
  std::optional<TrainingRoot> root = build_root(*input, a);
  if (!root) return nullptr;

  UpliftRandomForestModel record{.n_estimators = a.n_estimators,
                                 .max_features = a.max_features,
                                 .max_depth = a.max_depth,
                                 .min_sample_leaf = a.min_samples_leaf,
                                 .eval_func = a.criterion,
                                 .max_bins = a.max_bins,
                                 .treatment_col = a.treatment_col,
                                 .outcome_col = a.outcome_col,
                                 .balance = a.balance,
                                 .regularization = a.regularization,
                                 .alpha = a.alpha,
                                 .trees = {}};
  const UpliftTreeModel tree_template = make_tree_template(record, parse_eval_func(a.criterion));

  std::optional<ArrayView> oob_out;
  if (a.oob_out != nullptr) {
    oob_out = read_array(a.oob_out, "oob_out", Dtype::kFloat64, 2, Access::kWrite);
    if (!oob_out) return nullptr;
    if (oob_out->rows != root->dataset->n_rows() ||
        oob_out->columns != static_cast<std::size_t>(root->dataset->max_treatment)) {
      raise_value_error(
          "oob_out must have one row per training row and one column per "
          "treatment group");
      return nullptr;
    }
  }
  TrainingRun run(*root, tree_template, a.treatment_col, a.outcome_col,
                  TrainingPlan{a.n_estimators, a.n_threads, a.seed, a.tree, true});
  // the run's threads hold the dataset from here; the out-of-bag pass reads it afterwards
  const std::optional<TrainingRoot> kept = oob_out ? root : std::nullopt;
  root.reset();
  const StopAndJoin end([&run] { run.cancel(); }, [&run] { run.wait_for_threads(); });

  Collected collected(a.n_estimators);
  const bool completed = wait_interruptibly(
      [&](std::chrono::milliseconds timeout) {
        for (std::optional<TreeOutcome> outcome = run.next_for(timeout); outcome;
             outcome = run.next_for(std::chrono::milliseconds(0))) {
          collected.add(std::move(*outcome), run);
        }
        return run.finished();
      },
      [&] {
        // After every wait, grown or not, so that a callback deciding whether training
        // should go on runs at least every kPollInterval.
        if (a.progress == nullptr || collected.failed()) return true;
        return static_cast<bool>(
            PyRef::steal(PyObject_CallFunction(a.progress, "i", collected.finished())));
      });
  if (!completed) return nullptr;  // `end` stops the run and waits for its threads
  if (collected.out_of_memory()) return PyErr_NoMemory();
  record.trees = collected.take(run);
  PyRef forest = PyRef::steal(new_forest_object(std::move(record), collected.take_stats()));
  if (!forest || !kept) return forest.release();
  const EngineForest* trained = as_forest(forest.get(), "forest");
  if (trained == nullptr || !out_of_bag(*trained, *kept, a, oob_out->writable_values<double>())) {
    return nullptr;
  }
  return forest.release();
}

}  // namespace

PyObject* engine_fit(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return call_with_arguments("fit", kFitParameters, args, kwargs, train_forest);
}

}  // namespace quillmarsh
