// Message texts of the conversions both modules share. Tests assert them exactly.
#pragma once

#include <string_view>

namespace quillmarsh {

// Conversion targets named in "'{}' object cannot be converted to '{}'".
inline constexpr std::string_view kPyBool = "PyBool";
inline constexpr std::string_view kPyString = "PyString";
inline constexpr std::string_view kPyDict = "PyDict";
inline constexpr std::string_view kPyList = "PyList";
inline constexpr std::string_view kSequence = "Sequence";

inline constexpr std::string_view kFailedTypeName = "<failed to extract type name>";
inline constexpr std::string_view kExceptionStrFailed = "<exception str() failed>";
inline constexpr std::string_view kReprFailed = "<repr() failed>";
// Handed to C functions as they are: null-terminated arrays rather than views.
inline constexpr char kNoErrorSet[] = "attempted to fetch exception but none was set";
inline constexpr char kOutOfRangeIntegral[] = "out of range integral type conversion attempted";
inline constexpr char kStrToVec[] = "Can't extract `str` to `Vec`";

}  // namespace quillmarsh
