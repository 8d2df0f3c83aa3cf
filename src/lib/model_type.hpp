// The _UpliftRandomForestModel instance layout, its type object (created once, on first
// need), and the call protocol that every method runs through.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "binding/boundary.hpp"
#include "binding/python.hpp"
#include "binding/type_parts.hpp"
#include "lib/binder.hpp"
#include "uplift_random_forest/forest.hpp"
#include "uplift_tree/packed_forest.hpp"

namespace quillmarsh {

// What one instance owns: its forest record and the prediction-ready trees built from it.
// The trees are built on the first prediction after construction, fit or load, and shared
// with the prediction threads of every call until the record changes.
class ModelRecord {
 public:
  explicit ModelRecord(UpliftRandomForestModel forest) noexcept : forest_(std::move(forest)) {}

  const UpliftRandomForestModel& forest() const noexcept { return forest_; }
  // For a use that may change the record (fit, load): the built trees are dropped first.
  UpliftRandomForestModel& forest_to_change() noexcept {
    packed_.reset();
    return forest_;
  }
  // Calling thread only (the interpreter lock serialises the first build).
  const std::shared_ptr<const PackedForest>& packed_forest() const;

 private:
  UpliftRandomForestModel forest_;
  mutable std::shared_ptr<const PackedForest> packed_;
};

// The instance: the header, the record, then the borrow counter.
struct ModelObject {
  PyObject ob_base;
  Stored<ModelRecord> stored;
  // 0 free, n > 0 shared uses in progress, -1 one exclusive use in progress.
  Py_ssize_t borrow;

  ModelRecord& record() noexcept { return stored.get(); }
};
static_assert(std::is_standard_layout_v<ModelObject>);

// The type object (borrowed; cached for the process). Panics when creation fails.
PyObject* model_type();

enum class Borrow { kShared, kExclusive };

// Takes the instance's borrow for the guard's lifetime. When the borrow conflicts, held()
// is false and RuntimeError is set.
class BorrowGuard {
 public:
  BorrowGuard(ModelObject& model, Borrow kind) noexcept;
  ~BorrowGuard();
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  bool held() const noexcept { return held_; }

 private:
  ModelObject& model_;
  Borrow kind_;
  bool held_ = false;
};

// self as a ModelObject, or nullptr with TypeError "'{}' object cannot be converted to
// '_UpliftRandomForestModel'".
ModelObject* as_model(PyObject* self);

// What a method body gets: the whole record, read-only, under a shared borrow; the forest,
// to change, under an exclusive one.
template <Borrow kind>
using ModelRef =
    std::conditional_t<kind == Borrow::kShared, const ModelRecord&, UpliftRandomForestModel&>;

template <Borrow kind>
ModelRef<kind> model_ref(ModelObject& model) noexcept {
  if constexpr (kind == Borrow::kShared) {
    return model.record();
  } else {
    return model.record().forest_to_change();
  }
}

// The call protocol: self check, borrow, binding, then body(model, bound arguments), which
// converts the arguments and does the work. The borrow is released on every path, and
// internal failures become PanicException.
template <Borrow kind, std::size_t N, class Body>
PyObject* call_method(PyObject* self, PyObject* args, PyObject* kwargs,
                      const Signature<N>& signature, Body&& body) noexcept {
  return guarded([&]() -> PyObject* {
    ModelObject* model = as_model(self);
    if (model == nullptr) return nullptr;
    BorrowGuard borrow(*model, kind);
    if (!borrow.held()) return nullptr;
    std::array<PyObject*, N> bound{};
    if (!bind_arguments(signature, args, kwargs, bound)) return nullptr;
    return body(model_ref<kind>(*model), bound);
  });
}

// The same protocol for a method without parameters.
template <Borrow kind, class Body>
PyObject* call_method(PyObject* self, Body&& body) noexcept {
  return guarded([&]() -> PyObject* {
    ModelObject* model = as_model(self);
    if (model == nullptr) return nullptr;
    BorrowGuard borrow(*model, kind);
    if (!borrow.held()) return nullptr;
    return body(model_ref<kind>(*model));
  });
}

}  // namespace quillmarsh
