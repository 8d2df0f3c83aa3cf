// The _UpliftRandomForestModel type: layout, constructor, destructor, method table and the
// pieces of the call protocol that are not templates.
#include "lib/model_type.hpp"

#include <string>

#include "binding/convert.hpp"
#include "binding/messages.hpp"
#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"
#include "common/panic.hpp"
#include "lib/messages.hpp"
#include "lib/methods.hpp"

namespace quillmarsh {

namespace {

constexpr Signature<9> kNewSignature{
    "_UpliftRandomForestModel.__new__()",
    {"n_estimators", "max_features", "max_depth", "min_sample_leaf", "eval_func", "max_bins",
     "balance", "regularization", "alpha"}};

PyObject* model_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 9> a{};
    if (!bind_arguments(kNewSignature, args, kwargs, a)) return nullptr;
    const auto n_estimators = convert_arg("n_estimators", a[0], to_i32);
    if (!n_estimators) return nullptr;
    const auto max_features = convert_arg("max_features", a[1], to_u64);
    if (!max_features) return nullptr;
    const auto max_depth = convert_arg("max_depth", a[2], to_u64);
    if (!max_depth) return nullptr;
    const auto min_sample_leaf = convert_arg("min_sample_leaf", a[3], to_u64);
    if (!min_sample_leaf) return nullptr;
    auto eval_func = convert_arg("eval_func", a[4], to_text);
    if (!eval_func) return nullptr;
    const auto max_bins = convert_arg("max_bins", a[5], to_u64);
    if (!max_bins) return nullptr;
    const auto balance = convert_arg("balance", a[6], to_exact_bool);
    if (!balance) return nullptr;
    const auto regularization = convert_arg("regularization", a[7], to_exact_bool);
    if (!regularization) return nullptr;
    const auto alpha = convert_arg("alpha", a[8], to_f64);
    if (!alpha) return nullptr;

    UpliftRandomForestModel forest{.n_estimators = *n_estimators,
                                   .max_features = *max_features,
                                   .max_depth = *max_depth,
                                   .min_sample_leaf = *min_sample_leaf,
                                   .eval_func = std::move(*eval_func),
                                   .max_bins = *max_bins,
                                   .treatment_col = {},
                                   .outcome_col = {},
                                   .balance = *balance,
                                   .regularization = *regularization,
                                   .alpha = *alpha,
                                   .trees = {}};

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(subtype, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* object = alloc(subtype, 0);
    if (object == nullptr) {
      ensure_error_set();
      return nullptr;  // forest is destroyed on the way out
    }
    auto* model = reinterpret_cast<ModelObject*>(object);
    std::construct_at(&model->record(), std::move(forest));
    model->borrow = 0;
    return object;
  });
}

// Docstrings hold only the text signature, so __text_signature__ is set and __doc__ is None.

PyMethodDef kMethods[] = {
    {"load", as_cfunction(&method_load), METH_VARARGS | METH_KEYWORDS, "load($self, path)\n--\n\n"},
    {"fit", as_cfunction(&method_fit), METH_VARARGS | METH_KEYWORDS,
     "fit($self, data, x_names, treatment_col, outcome_col, n_threads)\n--\n\n"},
    {"predict", as_cfunction(&method_predict), METH_VARARGS | METH_KEYWORDS,
     "predict($self, data, n_threads)\n--\n\n"},
    {"predict_row", as_cfunction(&method_predict_row), METH_VARARGS | METH_KEYWORDS,
     "predict_row($self, x)\n--\n\n"},
    {"save", as_cfunction(&method_save), METH_VARARGS | METH_KEYWORDS, "save($self, path)\n--\n\n"},
    {"feature_cols", as_cfunction(&method_feature_cols), METH_NOARGS,
     "feature_cols($self)\n--\n\n"},
    {"get_feature_importance", as_cfunction(&method_get_feature_importance),
     METH_VARARGS | METH_KEYWORDS, "get_feature_importance($self, importance_type)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// Filled under the interpreter lock; lives for the rest of the process.
PyObject* cached_type = nullptr;

// The interpreter warns (DeprecationWarning) when a type named without a module prefix is
// created. Under "-W error" that warning would fail the import, so type creation runs with
// warnings ignored. Without the warnings module it runs unguarded.
PyObject* type_without_warnings(PyType_Spec* type_spec) {
  PyRef warnings = PyRef::steal(PyImport_ImportModule("warnings"));
  PyRef guard;
  if (warnings) {
    guard = PyRef::steal(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
  }
  PyRef entered;
  if (guard) entered = PyRef::steal(PyObject_CallMethod(guard.get(), "__enter__", nullptr));
  if (entered) PyRef::steal(PyObject_CallMethod(warnings.get(), "simplefilter", "s", "ignore"));
  PyErr_Clear();

  PyObject* type = PyType_FromSpec(type_spec);
  if (!entered) return type;
  PendingError error;
  if (type == nullptr) error = take_pending_error();
  PyRef::steal(PyObject_CallMethod(guard.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
  PyErr_Clear();
  if (type == nullptr) restore_error(std::move(error));
  return type;
}

}  // namespace

PyObject* model_type() {
  if (cached_type != nullptr) return cached_type;
  PyType_Slot slots[] = {
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_stored<ModelObject, &ModelObject::stored>)},
      {Py_tp_new, reinterpret_cast<void*>(&model_new)},
      {Py_tp_methods, kMethods},
      {0, nullptr},
  };
  PyType_Spec type_spec = {"_UpliftRandomForestModel", static_cast<int>(sizeof(ModelObject)), 0,
                           Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = type_without_warnings(&type_spec);
  if (type == nullptr) {
    PyErr_Print();
    panic("An error occurred while initializing class _UpliftRandomForestModel");
  }
  cached_type = type;
  return cached_type;
}

const std::shared_ptr<const PackedForest>& ModelRecord::packed_forest() const {
  if (!packed_) packed_ = std::make_shared<const PackedForest>(forest_.trees);
  return packed_;
}

BorrowGuard::BorrowGuard(ModelObject& model, Borrow kind) noexcept : model_(model), kind_(kind) {
  if (kind == Borrow::kShared) {
    if (model.borrow == -1) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return;
    }
    ++model.borrow;
  } else {
    if (model.borrow != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return;
    }
    model.borrow = -1;
  }
  held_ = true;
}

BorrowGuard::~BorrowGuard() {
  if (!held_) return;
  if (kind_ == Borrow::kShared) {
    --model_.borrow;
  } else {
    model_.borrow = 0;
  }
}

ModelObject* as_model(PyObject* self) {
  auto* type = reinterpret_cast<PyTypeObject*>(model_type());
  if (self == nullptr || (Py_TYPE(self) != type && PyType_IsSubtype(Py_TYPE(self), type) == 0)) {
    if (self == nullptr) self = Py_None;
    raise_cannot_convert(self, kClassName);
    return nullptr;
  }
  return reinterpret_cast<ModelObject*>(self);
}

}  // namespace quillmarsh
