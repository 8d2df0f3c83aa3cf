// load and save: the whole record from and to one model file.
#include "binding/convert.hpp"
#include "lib/methods.hpp"
#include "lib/model_type.hpp"
#include "model_file/model_file.hpp"

namespace quillmarsh {

namespace {
constexpr Signature<1> kLoadSignature{"_UpliftRandomForestModel.load()", {"path"}};
constexpr Signature<1> kSaveSignature{"_UpliftRandomForestModel.save()", {"path"}};
}  // namespace

PyObject* method_load(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_method<Borrow::kExclusive>(
      self, args, kwargs, kLoadSignature,
      [](UpliftRandomForestModel& forest, const auto& a) -> PyObject* {
        const auto path = convert_arg("path", a[0], to_text);
        if (!path) return nullptr;
        // Read and parsed in full first: a failing load leaves the record as it was.
        UpliftRandomForestModel loaded = load_model(*path);
        forest = std::move(loaded);
        Py_RETURN_NONE;
      });
}

PyObject* method_save(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_method<Borrow::kShared>(self, args, kwargs, kSaveSignature,
                                      [](const ModelRecord& model, const auto& a) -> PyObject* {
                                        const auto path = convert_arg("path", a[0], to_text);
                                        if (!path) return nullptr;
                                        save_model(model.forest(), *path);
                                        Py_RETURN_NONE;
                                      });
}

}  // namespace quillmarsh
