// Message texts of the class that more than one site raises. Tests assert them exactly.
#pragma once

#include <string_view>

namespace quillmarsh {

inline constexpr std::string_view kClassName = "_UpliftRandomForestModel";

}  // namespace quillmarsh
