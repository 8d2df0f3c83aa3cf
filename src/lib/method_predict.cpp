// predict and predict_row: rows of cells in, averaged tree outputs out.
#include "binding/compound.hpp"
#include "binding/convert.hpp"
#include "binding/results.hpp"
#include "concurrency/thread.hpp"
#include "lib/float_table.hpp"
#include "lib/methods.hpp"
#include "lib/model_type.hpp"
#include "lib/rows.hpp"
#include "uplift_random_forest/forest_predict.hpp"
#include "uplift_random_forest/predict_stream.hpp"

namespace quillmarsh {

namespace {
constexpr Signature<2> kPredictSignature{"_UpliftRandomForestModel.predict()",
                                         {"data", "n_threads"}};
constexpr Signature<1> kPredictRowSignature{"_UpliftRandomForestModel.predict_row()", {"x"}};

// Whether predict on threads may stream the rows: conversion and scoring overlap, and every
// row sums the trees in list order. Only where the tree jobs would use every tree of the list
// and each once, with leaves of one width (returned); the other cases keep their own outcomes.
std::optional<std::size_t> streamed_width(const ModelRecord& model, std::size_t rows,
                                          std::int32_t threads) {
  const UpliftRandomForestModel& forest = model.forest();
  const PackedForest& packed = *model.packed_forest();
  if (threads < 2 || rows == 0 || forest.n_estimators <= 0 ||
      packed.size() != static_cast<std::size_t>(forest.n_estimators)) {
    return std::nullopt;
  }
  return packed.leaf_width();
}

// Rows converted block by block on this thread while the prediction threads score the blocks
// converted before. The first bad cell ends the call as in convert_rows; a failure of the walk
// (reported on stderr once every row has converted) fails the count, as a failed tree job does.
PyObject* predict_streamed(const ModelRecord& model, const std::vector<PyRef>& lists,
                           std::int32_t threads, std::size_t width) {
  const PackedForest& packed = *model.packed_forest();
  BlockRowConverter converter(packed);
  StreamTable table(lists.size(), width);
  std::optional<Panic> failure = predict_stream(
      packed, static_cast<double>(model.forest().n_estimators), lists.size(),
      static_cast<std::size_t>(threads),
      [&](StreamBlock& block) { converter.convert(lists, block); },
      [&](const StreamBlock& block) { table.add(block); });
  if (failure) {
    report_to_stderr(failure->message(), failure->where());
    panic("assertion failed: count == self.n_estimators");
  }
  return table.release();
}

}  // namespace

PyObject* method_predict(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_method<Borrow::kShared>(
      self, args, kwargs, kPredictSignature,
      [](const ModelRecord& model, const auto& a) -> PyObject* {
        const auto lists = convert_arg("data", a[0], to_list_sequence);
        if (!lists) return nullptr;
        const auto n_threads = convert_arg("n_threads", a[1], to_i32);
        if (!n_threads) return nullptr;
        const std::int32_t threads = *n_threads < 0 ? logical_processors() : *n_threads;
        if (const auto width = streamed_width(model, lists->size(), threads)) {
          return predict_streamed(model, *lists, threads, *width);
        }
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
