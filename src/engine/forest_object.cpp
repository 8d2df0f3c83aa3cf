// The Forest type: layout, creation, attributes and the methods that only read the record.
#include "engine/forest_object.hpp"

#include <array>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

#include "common/panic.hpp"
#include "engine/arguments.hpp"
#include "engine/forest_methods.hpp"
#include "lib/boundary.hpp"
#include "lib/convert.hpp"
#include "lib/py_error.hpp"
#include "lib/py_ref.hpp"
#include "lib/results.hpp"
#include "uplift_random_forest/importance.hpp"

namespace quillmarsh {

namespace {

// The forest lives in raw storage so that the struct stays standard-layout and a PyObject*
// of this type may be reinterpreted as a ForestObject*.
struct ForestObject {
  PyObject ob_base;
  alignas(EngineForest) unsigned char storage[sizeof(EngineForest)];

  EngineForest& forest() noexcept {
    return *std::launder(reinterpret_cast<EngineForest*>(storage));
  }
};
static_assert(std::is_standard_layout_v<ForestObject>);

// Filled under the interpreter lock; lives for the rest of the process.
PyObject* cached_type = nullptr;

const EngineForest& forest_of(PyObject* self) {
  return reinterpret_cast<ForestObject*>(self)->forest();
}

PyObject* forest_new(PyTypeObject* /*type*/, PyObject* /*args*/, PyObject* /*kwargs*/) noexcept {
  PyErr_SetString(PyExc_TypeError,
                  "Forest objects are made by fit, load, from_bytes and merge of "
                  "quillmarsh_kit._engine");
  return nullptr;
}

void forest_dealloc(PyObject* self) noexcept {
  std::destroy_at(&reinterpret_cast<ForestObject*>(self)->forest());
  PyTypeObject* type = Py_TYPE(self);
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

PyObject* forest_repr(PyObject* self) noexcept {
  return guarded([&]() -> PyObject* {
    const EngineForest& f = forest_of(self);
    const std::string text =
        "<quillmarsh_kit._engine.Forest of " + std::to_string(f.record.trees.size()) + " trees, " +
        std::to_string(f.record.trees.front().feature_cols.size()) + " features, " +
        std::to_string(f.n_outputs) + " outputs, criterion " + f.record.eval_func + ">";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

struct ImportanceArguments {
  std::string kind;
};
constexpr std::array<Parameter<ImportanceArguments>, 1> kImportanceParameters{{
    {"kind", Given::kPositional, store_converted<&ImportanceArguments::kind, to_text>},
}};

PyObject* forest_feature_importance(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_with_arguments(
      "feature_importance", kImportanceParameters, args, kwargs,
      [&](const ImportanceArguments& a) -> PyObject* {
        if (a.kind != "gain" && a.kind != "split") {
          PyErr_Format(PyExc_ValueError, "kind must be 'gain' or 'split', not '%s'",
                       a.kind.c_str());
          return nullptr;
        }
        return float_list(get_feature_importance(forest_of(self).record, a.kind));
      });
}

// Attributes -------------------------------------------------------------------------------

PyObject* text(const std::string& value) {
  return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}

template <auto read>
PyObject* attribute(PyObject* self, void* /*closure*/) noexcept {
  return guarded([&]() -> PyObject* { return read(forest_of(self)); });
}

PyObject* n_trees(const EngineForest& f) { return PyLong_FromSize_t(f.record.trees.size()); }
PyObject* n_outputs(const EngineForest& f) { return PyLong_FromSize_t(f.n_outputs); }
PyObject* has_node_stats(const EngineForest& f) { return PyBool_FromLong(f.stats.empty() ? 0 : 1); }
PyObject* feature_names(const EngineForest& f) { return text_list(feature_cols(f.record)); }
PyObject* criterion(const EngineForest& f) { return text(f.record.eval_func); }
PyObject* n_estimators(const EngineForest& f) { return PyLong_FromLong(f.record.n_estimators); }
PyObject* max_features(const EngineForest& f) {
  return PyLong_FromUnsignedLongLong(f.record.max_features);
}
PyObject* max_depth(const EngineForest& f) {
  return PyLong_FromUnsignedLongLong(f.record.max_depth);
}
PyObject* min_samples_leaf(const EngineForest& f) {
  return PyLong_FromUnsignedLongLong(f.record.min_sample_leaf);
}
PyObject* max_bins(const EngineForest& f) { return PyLong_FromUnsignedLongLong(f.record.max_bins); }
PyObject* balance(const EngineForest& f) { return PyBool_FromLong(f.record.balance ? 1 : 0); }
PyObject* regularization(const EngineForest& f) {
  return PyBool_FromLong(f.record.regularization ? 1 : 0);
}
PyObject* alpha(const EngineForest& f) { return PyFloat_FromDouble(f.record.alpha); }
PyObject* treatment_col(const EngineForest& f) { return text(f.record.treatment_col); }
PyObject* outcome_col(const EngineForest& f) { return text(f.record.outcome_col); }

PyGetSetDef kAttributes[] = {
    {"n_trees", attribute<n_trees>, nullptr, "Number of trees.", nullptr},
    {"n_outputs", attribute<n_outputs>, nullptr,
     "Outputs per row: one per treatment group 1..K (the uplift against control 0).", nullptr},
    {"has_node_stats", attribute<has_node_stats>, nullptr,
     "Whether the forest holds its trees' node statistics.", nullptr},
    {"feature_names", attribute<feature_names>, nullptr,
     "The feature names of training, in the order prediction takes the columns.", nullptr},
    {"criterion", attribute<criterion>, nullptr, "'ED', 'KL' or 'CHI'.", nullptr},
    {"n_estimators", attribute<n_estimators>, nullptr,
     "The divisor of every average: the tree count of the stored record.", nullptr},
    {"max_features", attribute<max_features>, nullptr, nullptr, nullptr},
    {"max_depth", attribute<max_depth>, nullptr, nullptr, nullptr},
    {"min_samples_leaf", attribute<min_samples_leaf>, nullptr, nullptr, nullptr},
    {"max_bins", attribute<max_bins>, nullptr, nullptr, nullptr},
    {"balance", attribute<balance>, nullptr, nullptr, nullptr},
    {"regularization", attribute<regularization>, nullptr, nullptr, nullptr},
    {"alpha", attribute<alpha>, nullptr, nullptr, nullptr},
    {"treatment_col", attribute<treatment_col>, nullptr, nullptr, nullptr},
    {"outcome_col", attribute<outcome_col>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class Method>
PyCFunction as_cfunction(Method method) noexcept {
  // The interpreter calls through PyCFunction and dispatches on the flags; the detour
  // through void(*)() is the sanctioned way to cast between function pointer types.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

PyMethodDef kMethods[] = {
    {"predict", as_cfunction(&forest_predict), METH_VARARGS | METH_KEYWORDS,
     "predict($self, columns, out, n_threads, std_out=None)\n--\n\n"
     "Writes the forest's uplift estimates into `out`.\n\n"
     "columns: one entry per feature, in feature_names order, each holding one value per row\n"
     "    of out: a 1-D C-contiguous float32 array (NaN = missing), or for a string feature a\n"
     "    tuple (codes, categories): codes a 1-D C-contiguous uint32 array indexing\n"
     "    categories, the caller's own sequence of str (e.g. pandas.factorize's uniques);\n"
     "    code 0xFFFFFFFF is a value of no category, any other code beyond categories a\n"
     "    ValueError. A feature that splits compare with thresholds must be numeric, one\n"
     "    they compare with categories a string feature (TypeError otherwise).\n"
     "out: C-contiguous writable float64 array of shape (rows, n_outputs); out[i, k] receives\n"
     "    the sum over the trees of their leaf uplift of treatment group k + 1 for row i,\n"
     "    divided by n_estimators: the trees' mean for every forest the engine makes.\n"
     "n_threads: threads to predict on, >= 1.\n"
     "std_out: None, or an array like out (not sharing its memory) that receives the\n"
     "    population standard deviation over the trees of the same leaf uplifts.\n\n"
     "The interpreter lock is released while predicting; Ctrl-C stops every thread of the\n"
     "prediction and raises KeyboardInterrupt (out is then partly written). Returns None."},
    {"predict_rates", as_cfunction(&forest_predict_rates), METH_VARARGS | METH_KEYWORDS,
     "predict_rates($self, columns, out, n_threads)\n--\n\n"
     "Writes each group's outcome rate (control first) into out, shape (rows, n_outputs + 1):\n"
     "the mean over the trees of their leaf's rates, from the node statistics (ValueError for\n"
     "a forest without them). columns and n_threads as for predict."},
    {"predict_spread", as_cfunction(&forest_predict_spread), METH_VARARGS | METH_KEYWORDS,
     "predict_spread($self, columns, out, between, within, variance, n_threads, group_size)"
     "\n--\n\n"
     "For a forest grown in groups of group_size consecutive trees: out as predict; between\n"
     "the spread of the group means (1/G sum (m_g - mean)^2), within the within-group part\n"
     "(sum of squared deviations from the group means / (G L (L - 1))) and variance the\n"
     "estimate of the prediction's variance kept positive; arrays like out."},
    {"explain", as_cfunction(&forest_explain), METH_VARARGS | METH_KEYWORDS,
     "explain($self, columns, contributions, base, n_threads)\n--\n\n"
     "Writes each row's contribution of every feature to every output into contributions,\n"
     "shape (rows, n_features * n_outputs), entry [i, f * n_outputs + k], and the forest's\n"
     "expected value per output into base, shape (1, n_outputs): path-dependent TreeSHAP\n"
     "over the node covers of the node statistics (ValueError for a forest without them);\n"
     "base plus a row's contributions is its prediction. columns and n_threads as for\n"
     "predict; the lock is released and Ctrl-C stops it."},
    {"node_stats", as_cfunction(&forest_node_stats), METH_NOARGS,
     "node_stats($self)\n--\n\n"
     "The node statistics as bytes (little-endian uint32 words), or None without them."},
    {"with_node_stats", as_cfunction(&forest_with_node_stats), METH_VARARGS | METH_KEYWORDS,
     "with_node_stats($self, data)\n--\n\n"
     "A new Forest with these trees and the node statistics `data` (as node_stats gives them);\n"
     "ValueError when they do not fit the trees."},
    {"feature_importance", as_cfunction(&forest_feature_importance), METH_VARARGS | METH_KEYWORDS,
     "feature_importance($self, kind)\n--\n\n"
     "Per feature, in feature_names order: the sum over the trees of the split gains\n"
     "(kind 'gain') or of the number of splits (kind 'split'), divided by n_estimators."},
    {"save", as_cfunction(&forest_save), METH_VARARGS | METH_KEYWORDS,
     "save($self, path, metadata=None)\n--\n\n"
     "Writes the forest to the model file at `path`: the class's document, so the file\n"
     "loads into the native class _UpliftRandomForestModel as well. A regular file is\n"
     "replaced whole or not at all (written beside it, then renamed). metadata: None, or\n"
     "JSON text (one JSON value, else ValueError) stored under the key \"quillmarsh_kit\".\n"
     "File errors raise PanicException with the class's rendering of the error."},
    {"to_bytes", as_cfunction(&forest_to_bytes), METH_VARARGS | METH_KEYWORDS,
     "to_bytes($self, metadata=None)\n--\n\n"
     "The model file's content as bytes (see save); from_bytes reads it back."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kForestDoc =
    "A trained uplift forest: immutable, safe to use from several threads at once.\n\n"
    "Made by fit, load, from_bytes and merge of quillmarsh_kit._engine. Its trees are kept\n"
    "ready for prediction, built once when the forest is made.";

}  // namespace

PyObject* forest_type() {
  if (cached_type != nullptr) return cached_type;
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(&forest_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&forest_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(&forest_repr)},
      {Py_tp_methods, kMethods},
      {Py_tp_getset, kAttributes},
      {Py_tp_doc, const_cast<char*>(kForestDoc)},
      {0, nullptr},
  };
  PyType_Spec type_spec = {"quillmarsh_kit._engine.Forest", static_cast<int>(sizeof(ForestObject)),
                           0, Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&type_spec);
  if (type == nullptr) panic_with_pending_error();
  cached_type = type;
  return cached_type;
}

PyObject* new_forest_object(UpliftRandomForestModel record, std::vector<NodeStats> stats) {
  if (record.trees.empty()) panic("a forest needs at least one tree");
  EngineForest forest(std::move(record));
  forest.stats = std::move(stats);
  const std::optional<std::size_t> width = forest.packed.leaf_width();
  if (!width) panic("the leaves of the forest's trees differ in length: it cannot predict");
  forest.n_outputs = *width;

  auto* type = reinterpret_cast<PyTypeObject*>(forest_type());
  PyObject* object = PyType_GenericAlloc(type, 0);
  if (object == nullptr) {
    ensure_error_set();
    return nullptr;
  }
  std::construct_at(&reinterpret_cast<ForestObject*>(object)->forest(), std::move(forest));
  return object;
}

const EngineForest* as_forest(PyObject* object, const char* what) {
  if (Py_TYPE(object) != reinterpret_cast<PyTypeObject*>(forest_type())) {
    PyErr_Format(PyExc_TypeError, "%s must be a Forest, not '%s'", what, type_name(object).c_str());
    return nullptr;
  }
  return &forest_of(object);
}

}  // namespace quillmarsh
