// The model document reader: a hand-written JSON parser of the forest, tree and node records
// that reports the first error with its message, line and column.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

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
std::variant<UpliftRandomForestModel, JsonError> read_model_json(std::string_view text);

// Error("message", line: L, column: C), the message quoted and escaped.
std::string render_json_error(const JsonError& error);

}  // namespace quillmarsh
