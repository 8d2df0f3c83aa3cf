// feature_cols and get_feature_importance.
#include "binding/convert.hpp"
#include "binding/results.hpp"
#include "lib/methods.hpp"
#include "lib/model_type.hpp"
#include "uplift_random_forest/importance.hpp"

namespace quillmarsh {

namespace {
constexpr Signature<1> kImportanceSignature{"_UpliftRandomForestModel.get_feature_importance()",
                                            {"importance_type"}};
}  // namespace

PyObject* method_feature_cols(PyObject* self, PyObject* /*unused*/) noexcept {
  return call_method<Borrow::kShared>(
      self, [](const ModelRecord& model) { return text_list(feature_cols(model.forest())); });
}

PyObject* method_get_feature_importance(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_method<Borrow::kShared>(
      self, args, kwargs, kImportanceSignature,
      [](const ModelRecord& model, const auto& a) -> PyObject* {
        const auto importance_type = convert_arg("importance_type", a[0], to_text);
        if (!importance_type) return nullptr;
        return float_list(get_feature_importance(model.forest(), *importance_type));
      });
}

}  // namespace quillmarsh
