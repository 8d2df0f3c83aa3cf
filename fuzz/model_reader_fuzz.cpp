// Fuzz target of the model document reader: any input must parse or fail cleanly, and a
// document that parses must survive write -> read -> write with identical bytes.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "model_file/json_reader.hpp"
#include "model_file/json_writer.hpp"

namespace {

[[noreturn]] void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "%s\n%.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

// Every finite float of a record read back from its own document equals the original.
bool same_finite(double a, double b) { return !std::isfinite(a) || a == b; }

void check_equal(const quillmarsh::UpliftRandomForestModel& a,
                 const quillmarsh::UpliftRandomForestModel& b, std::string_view doc) {
  if (a.trees.size() != b.trees.size() || !same_finite(a.alpha, b.alpha) ||
      a.eval_func != b.eval_func || a.n_estimators != b.n_estimators) {
    fail("forest fields changed", doc);
  }
  for (std::size_t t = 0; t < a.trees.size(); ++t) {
    const auto& ta = a.trees[t];
    const auto& tb = b.trees[t];
    if (ta.nodes.size() != tb.nodes.size() || ta.feature_cols != tb.feature_cols) {
      fail("tree fields changed", doc);
    }
    for (std::size_t n = 0; n < ta.nodes.size(); ++n) {
      const auto& na = ta.nodes[n];
      const auto& nb = tb.nodes[n];
      if (na.col_name != nb.col_name || na.prob.size() != nb.prob.size() ||
          !same_finite(na.gain, nb.gain)) {
        fail("node fields changed", doc);
      }
      for (std::size_t i = 0; i < na.prob.size(); ++i) {
        if (!same_finite(na.prob[i], nb.prob[i])) fail("prob changed", doc);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto first = quillmarsh::read_model_json(text);
  if (const auto* error = std::get_if<quillmarsh::JsonError>(&first)) {
    if (error->line < 1 || error->column > size || error->message.empty()) {
      fail("error position out of the text", text);
    }
    (void)quillmarsh::render_json_error(*error);
    return 0;
  }
  const auto& model = std::get<quillmarsh::UpliftRandomForestModel>(first);
  const std::string doc = quillmarsh::write_model_json(model);
  auto second = quillmarsh::read_model_json(doc);
  if (const auto* error = std::get_if<quillmarsh::JsonError>(&second)) {
    fail("a written document does not read back",
         quillmarsh::render_json_error(*error) + "\n" + doc);
  }
  const auto& reread = std::get<quillmarsh::UpliftRandomForestModel>(second);
  check_equal(model, reread, doc);
  if (quillmarsh::write_model_json(reread) != doc) fail("second write differs", doc);
  return 0;
}
