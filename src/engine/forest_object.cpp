// The Forest type: layout, creation, attributes and the methods that only read the record.
#include "engine/forest_object.hpp"

#include <array>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"
#include "binding/results.hpp"
#include "binding/type_parts.hpp"
#include "common/panic.hpp"
#include "engine/arguments.hpp"
#include "engine/forest_methods.hpp"
#include "engine/settings.hpp"
#include "uplift_random_forest/importance.hpp"

namespace quillmarsh {

namespace {

struct ForestObject {
  PyObject ob_base;
  Stored<EngineForest> stored;
};
static_assert(std::is_standard_layout_v<ForestObject>);

// Filled under the interpreter lock; lives for the rest of the process.
PyObject* cached_type = nullptr;

const EngineForest& forest_of(PyObject* self) {
  return reinterpret_cast<ForestObject*>(self)->stored.get();
}

PyObject* forest_new(PyTypeObject* /*type*/, PyObject* /*args*/, PyObject* /*kwargs*/) noexcept {
  PyErr_SetString(PyExc_TypeError,
                  "Forest objects are made by fit, load, from_bytes and merge of "
                  "quillmarsh_kit._engine");
  return nullptr;
}

PyObject* forest_repr(PyObject* self) noexcept {
  return guarded<OutOfMemory::kMemoryError>([&]() -> PyObject* {
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
  return guarded<OutOfMemory::kMemoryError>([&]() -> PyObject* { return read(forest_of(self)); });
}

PyObject* n_trees(const EngineForest& f) { return PyLong_FromSize_t(f.record.trees.size()); }
PyObject* n_outputs(const EngineForest& f) { return PyLong_FromSize_t(f.n_outputs); }
PyObject* has_node_stats(const EngineForest& f) { return PyBool_FromLong(f.stats.empty() ? 0 : 1); }
PyObject* feature_names(const EngineForest& f) { return text_list(feature_cols(f.record)); }
PyObject* to_python(std::int32_t value) { return PyLong_FromLong(value); }
PyObject* to_python(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
PyObject* to_python(double value) { return PyFloat_FromDouble(value); }
PyObject* to_python(bool value) { return PyBool_FromLong(value ? 1 : 0); }
PyObject* to_python(const std::string& value) { return text(value); }

// The attribute of the I-th field of the record's table.
template <std::size_t I>
PyObject* setting_attribute(PyObject* self, void* /*closure*/) noexcept {
  return guarded<OutOfMemory::kMemoryError>([&]() -> PyObject* {
    return to_python(forest_of(self).record.*std::get<I>(kForestFields).member);
  });
}

constexpr const char* setting_doc(std::string_view name) {
  if (name == "criterion") return "'ED', 'KL' or 'CHI'.";
  if (name == "n_estimators") return "The divisor of every average: the tree count of the record.";
  return nullptr;
}

// The name of the I-th setting's attribute. Field names and engine_name's results are string
// literals, so the view's data is null-terminated.
template <std::size_t I>
constexpr const char* setting_name() noexcept {
  // NOLINTNEXTLINE(bugprone-suspicious-stringview-data-usage)
  return engine_name(std::get<I>(kForestFields).name).data();
}

// The Forest's own attributes, then one per setting of the record (engine_name spelling).
template <std::size_t... I>
constexpr std::array<PyGetSetDef, 5 + sizeof...(I)> make_attributes(
    std::index_sequence<I...>) noexcept {
  return {{
      {"n_trees", attribute<n_trees>, nullptr, "Number of trees.", nullptr},
      {"n_outputs", attribute<n_outputs>, nullptr,
       "Outputs per row: one per treatment group 1..K (the uplift against control 0).", nullptr},
      {"has_node_stats", attribute<has_node_stats>, nullptr,
       "Whether the forest holds its trees' node statistics.", nullptr},
      {"feature_names", attribute<feature_names>, nullptr,
       "The feature names of training, in the order prediction takes the columns.", nullptr},
      {setting_name<I>(), setting_attribute<I>, nullptr, setting_doc(setting_name<I>()),
       nullptr}...,
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  }};
}

auto kAttributes = make_attributes(std::make_index_sequence<kForestSettingCount>{});

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
     "predict_spread($self, columns, out, between, within, variance, n_threads, group_size,\n"
     "               *, shares=None)\n--\n\n"
     "For a forest grown in groups of group_size consecutive trees: out as predict; between\n"
     "the spread of the group means (1/G sum (m_g - mean)^2), within the within-group part\n"
     "(sum of squared deviations from the group means / (G L (L - 1))) and variance the\n"
     "estimate of the prediction's variance kept positive; arrays like out. shares (a 1-D\n"
     "uint32 array) gives the tree counts of consecutive shares grown apart (a merged\n"
     "forest): each share's figures are weighted by the square of its share of the trees and\n"
     "summed; None: one share."},
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
     "path: str (encoded as os.fsencode does), bytes or os.PathLike. File errors raise the\n"
     "OSError of the system's error number (errno, strerror, filename)."},
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
      {Py_tp_dealloc,
       reinterpret_cast<void*>(&dealloc_stored<ForestObject, &ForestObject::stored>)},
      {Py_tp_repr, reinterpret_cast<void*>(&forest_repr)},
      {Py_tp_methods, kMethods},
      {Py_tp_getset, kAttributes.data()},
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
  std::construct_at(&reinterpret_cast<ForestObject*>(object)->stored.get(), std::move(forest));
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
