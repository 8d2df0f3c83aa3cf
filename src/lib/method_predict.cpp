// predict and predict_row: rows of cells in, averaged tree outputs out.
#include "binding/compound.hpp"
#include "binding/convert.hpp"
#include "binding/results.hpp"
#include "lib/float_table.hpp"
#include "lib/methods.hpp"
#include "lib/model_type.hpp"
#include "lib/rows.hpp"
#include "uplift_random_forest/forest_predict.hpp"

namespace quillmarsh {

namespace {
constexpr Signature<2> kPredictSignature{"_UpliftRandomForestModel.predict()",
                                         {"data", "n_threads"}};
constexpr Signature<1> kPredictRowSignature{"_UpliftRandomForestModel.predict_row()", {"x"}};
}  // namespace

PyObject* method_predict(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_method<Borrow::kShared>(
      self, args, kwargs, kPredictSignature,
      [](const ModelRecord& model, const auto& a) -> PyObject* {
        const auto lists = convert_arg("data", a[0], to_list_sequence);
        if (!lists) return nullptr;
        const auto n_threads = convert_arg("n_threads", a[1], to_i32);
        if (!n_threads) return nullptr;
        RowBatch rows = convert_rows(*lists);
        return float_table(
            predict(model.forest(), model.packed_forest(), std::move(rows), *n_threads));
      });
}

PyObject* method_predict_row(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_method<Borrow::kShared>(
      self, args, kwargs, kPredictRowSignature,
      [](const ModelRecord& model, const auto& a) -> PyObject* {
        auto x = convert_arg("x", a[0], to_list);
        if (!x) return nullptr;
        std::vector<PyRef> lists;
        lists.push_back(std::move(*x));
        const RowBatch row = convert_rows(lists);
        return float_list(predict_row(model.forest(), *model.packed_forest(), row.row(0)));
      });
}

}  // namespace quillmarsh
