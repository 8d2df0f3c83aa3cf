// Quoted renderings of texts inside error messages: double quotes around, and backslash
// escapes for quotes, backslashes and characters that would not print.
#pragma once

#include <string>
#include <string_view>

namespace quillmarsh {

// s (UTF-8) in double quotes: \" \\ \t \r \n \0 by name, other control characters and
// invisible or combining code points as \u{hex} (lowercase, no leading zeros), everything
// else unchanged. A byte that is not part of valid UTF-8 is written as \u{fffd}.
std::string debug_quoted(std::string_view s);

}  // namespace quillmarsh
