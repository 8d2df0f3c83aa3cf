// Fuzz target of the model document reader: any input must parse or fail cleanly, and a
// document that parses must survive write -> read -> write with identical bytes, its
// "quillmarsh_kit" value included.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "model_file/json_reader.hpp"
#include "model_file/json_writer.hpp"
#include "model_file/round_trip.hpp"

namespace {

[[noreturn]] void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "%s\n%.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto first = quillmarsh::read_model_document_json(text);
  if (const auto* error = std::get_if<quillmarsh::JsonError>(&first)) {
    if (error->line < 1 || error->column > size || error->message.empty()) {
      fail("error position out of the text", text);
    }
    (void)quillmarsh::render_json_error(*error);
    return 0;
  }
  const auto& model = std::get<quillmarsh::ModelDocument>(first);
  // A file that is not UTF-8 is refused before it is parsed, and the writer refuses such a
  // kit; the forest alone still round-trips.
  std::optional<std::string_view> kit = model.kit;
  if (kit && quillmarsh::first_invalid_utf8(*kit)) kit.reset();
  const std::string doc = quillmarsh::write_model_json(model.forest, kit);
  auto second = quillmarsh::read_model_document_json(doc);
  if (const auto* error = std::get_if<quillmarsh::JsonError>(&second)) {
    fail("a written document does not read back",
         quillmarsh::render_json_error(*error) + "\n" + doc);
  }
  const auto& reread = std::get<quillmarsh::ModelDocument>(second);
  if (!quillmarsh::reads_back_as(model.forest, reread.forest)) fail("fields changed", doc);
  if (reread.kit != kit) fail("kit changed", doc);
  if (quillmarsh::write_model_json(reread.forest, reread.kit) != doc) {
    fail("second write differs", doc);
  }
  return 0;
}
