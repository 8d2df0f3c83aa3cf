// The model document writer: the forest, its trees and their nodes as one compact JSON text,
// every field in declaration order.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "uplift_random_forest/forest.hpp"

namespace quillmarsh {

// The whole document. Non-finite floats of either width are written as null. With kit_json,
// the key "quillmarsh_kit" follows "trees" as the last key, its value the text of kit_json
// with the whitespace around it left out; panics, before anything is written, when that text
// is not valid UTF-8 holding exactly one JSON value. Without it, the writing cannot fail.
std::string write_model_json(const UpliftRandomForestModel& forest,
                             std::optional<std::string_view> kit_json = std::nullopt);

// Appends s as a JSON string: quote and backslash escaped, \b \t \n \f \r for those five
// control characters, \u00XX (lowercase hex) for the other bytes below 0x20, every other
// byte (0x7F and UTF-8 sequences included) unchanged.
void append_json_string(std::string& out, std::string_view s);

}  // namespace quillmarsh
