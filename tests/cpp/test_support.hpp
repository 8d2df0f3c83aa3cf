// Small helpers shared by the C++ test programs.
#pragma once

#include <string>

#include "common/panic.hpp"

namespace quillmarsh {

// The message of the Panic that fn raises, or "<no panic>".
inline std::string panic_message(auto&& fn) {
  try {
    fn();
  } catch (const Panic& p) {
    return p.message();
  }
  return "<no panic>";
}

// name + decimal number, built by appending (GCC 12 misreports "lit" + std::string).
inline std::string numbered(const char* name, auto number) {
  std::string s(name);
  s += std::to_string(number);
  return s;
}

}  // namespace quillmarsh
