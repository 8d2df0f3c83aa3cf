// fit: converts the column map, the feature names, the two column names and the thread
// count, then trains the record, printing progress through the interpreter.
#include "binding/compound.hpp"
#include "binding/convert.hpp"
#include "common/page_allocator.hpp"
#include "lib/console.hpp"
#include "lib/intake.hpp"
#include "lib/methods.hpp"
#include "lib/model_type.hpp"
#include "uplift_random_forest/train.hpp"

namespace quillmarsh {

namespace {
constexpr Signature<5> kFitSignature{
    "_UpliftRandomForestModel.fit()",
    {"data", "x_names", "treatment_col", "outcome_col", "n_threads"}};
}  // namespace

PyObject* method_fit(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_method<Borrow::kExclusive>(
      self, args, kwargs, kFitSignature,
      [](UpliftRandomForestModel& forest, const auto& a) -> PyObject* {
        // The converted columns, the dataset and the trees come from the module threads' heap,
        // without huge pages, until the call returns.
        const ThreadHeapScope heap;
        const auto data = convert_arg("data", a[0], to_column_map);
        if (!data) return nullptr;
        const auto x_names = convert_arg("x_names", a[1], to_name_list);
        if (!x_names) return nullptr;
        const auto treatment_col = convert_arg("treatment_col", a[2], to_text);
        if (!treatment_col) return nullptr;
        const auto outcome_col = convert_arg("outcome_col", a[3], to_text);
        if (!outcome_col) return nullptr;
        const auto n_threads = convert_arg("n_threads", a[4], to_i32);
        if (!n_threads) return nullptr;

        InterpreterConsole console;
        fit(
            forest,
            [&] { return convert_training_columns(*data, *x_names, *treatment_col, *outcome_col); },
            *treatment_col, *outcome_col, *n_threads, console);
        Py_RETURN_NONE;
      });
}

}  // namespace quillmarsh
