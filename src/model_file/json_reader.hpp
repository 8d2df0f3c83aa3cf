// The model document reader: a hand-written JSON parser of the forest, tree and node records
// that reports the first error with its message, line and column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "model_file/model_document.hpp"
#include "uplift_random_forest/forest.hpp"

namespace quillmarsh {

// Nesting deeper than this many open arrays and objects fails with "recursion limit exceeded".
inline constexpr int kJsonMaxDepth = 128;

struct JsonError {
  std::string message;
  std::uint64_t line = 0;    // from 1
  std::uint64_t column = 0;  // bytes of that line up to and including the offending byte
  friend bool operator==(const JsonError&, const JsonError&) = default;
};

// Parses one complete document (text is expected to be valid UTF-8; the file layer checks
// that). Objects take their keys in any order and skip unknown keys; records may also be
// arrays of their fields in declaration order. null reads as NaN where a float is expected.
// The top-level "quillmarsh_kit" value, checked like the value of an unknown key, is kept as
// its exact text; the key given twice fails like any duplicate field.
std::variant<ModelDocument, JsonError> read_model_document_json(std::string_view text);

// The forest alone of read_model_document_json.
std::variant<UpliftRandomForestModel, JsonError> read_model_json(std::string_view text);

// The one JSON value that text holds, without the whitespace around it, checked with the
// document's grammar as the value of a top-level key (so it may nest one level less deep than
// kJsonMaxDepth). Positions of errors are those in text.
std::variant<std::string_view, JsonError> lone_json_value(std::string_view text);

// The offset of the first byte that does not belong to a well-formed UTF-8 sequence (strict:
// no overlong forms, no surrogates, nothing above U+10FFFF), or nullopt for valid UTF-8.
std::optional<std::size_t> first_invalid_utf8(std::string_view text);

// Error("message", line: L, column: C), the message quoted and escaped.
std::string render_json_error(const JsonError& error);

}  // namespace quillmarsh
