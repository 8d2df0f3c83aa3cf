// The model document writer: the forest, its trees and their nodes as one compact JSON text,
// every field in declaration order.
#pragma once

#include <string>
#include <string_view>

#include "uplift_random_forest/forest.hpp"

namespace quillmarsh {

// The whole document; cannot fail. Non-finite floats of either width are written as null.
std::string write_model_json(const UpliftRandomForestModel& forest);

// Whether `read` is what reading back the document of `written` gives: every field the same
// and every float bit for bit, except that a non-finite float (written as null) comes back as
// NaN. The round-trip property of the tests and the fuzz target.
bool reads_back_as(const UpliftRandomForestModel& written, const UpliftRandomForestModel& read);

// Appends s as a JSON string: quote and backslash escaped, \b \t \n \f \r for those five
// control characters, \u00XX (lowercase hex) for the other bytes below 0x20, every other
// byte (0x7F and UTF-8 sequences included) unchanged.
void append_json_string(std::string& out, std::string_view s);

}  // namespace quillmarsh
