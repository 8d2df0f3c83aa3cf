// Dictionary encoding of str objects: each distinct object is converted to UTF-8 once, each
// distinct text is stored once, and every object gets the code of its text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "binding/py_ref.hpp"

namespace quillmarsh {

// An object seen before takes its code without being converted again, so a few long texts
// repeated over many cells cost their own size, not the column's or the batch's. Codes are
// 0, 1, 2, ... in order of first appearance.
class TextEncoder {
 public:
  // The code of a str (or subclass); nothing for another object (no error set) or for a str
  // that has no UTF-8 form (UnicodeEncodeError set).
  std::optional<std::uint32_t> code_of(PyObject* item);
  // The text of a code code_of gave.
  const std::string& text(std::uint32_t code) const { return *texts_[code]; }
  // The distinct texts, in code order; the encoder is left empty.
  std::vector<std::string> take_dictionary();

 private:
  std::unordered_map<PyObject*, std::uint32_t> by_object_;
  std::unordered_map<std::string, std::uint32_t> by_text_;
  std::vector<const std::string*> texts_;  // keys of by_text_, in code order
  std::vector<PyRef> held_;
};

}  // namespace quillmarsh
