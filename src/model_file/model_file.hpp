// The model file: the forest record, and the toolkit's metadata when given, as one compact
// JSON document.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "model_file/io_error.hpp"
#include "model_file/model_document.hpp"
#include "uplift_random_forest/forest.hpp"

namespace quillmarsh {

// File errors, and every error of reading, panic with "called `Result::unwrap()` on an `Err`
// value: " + the error's rendering. A kit_json that is not one JSON value panics as
// write_model_json does, before the file is touched.
void save_model(const UpliftRandomForestModel& forest, const std::string& path);
void save_model(const UpliftRandomForestModel& forest, std::optional<std::string_view> kit_json,
                const std::string& path);
UpliftRandomForestModel load_model(const std::string& path);

// The same file work returning its error instead of panicking: save_model's writing (nullopt
// when the file is in place; a kit_json that is not one JSON value still panics), and the
// bytes of the file that load_model_document parses.
std::optional<FileError> write_model_file(const UpliftRandomForestModel& forest,
                                          std::optional<std::string_view> kit_json,
                                          const std::string& path);
std::variant<std::string, FileError> read_model_file(const std::string& path);
ModelDocument load_model_document(const std::string& path);

// The document from its text in memory, failing as load_model_document does for a file that
// holds these bytes. The text of a document in memory is write_model_json(forest, kit_json).
ModelDocument parse_model_document(std::string_view text);

}  // namespace quillmarsh
