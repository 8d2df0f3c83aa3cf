// Dictionary encoding of str objects, shared by training intake and prediction rows.
#include "lib/text_encoder.hpp"

#include "binding/convert.hpp"

namespace quillmarsh {

std::optional<std::uint32_t> TextEncoder::code_of(PyObject* item) {
  if (!PyUnicode_Check(item)) return std::nullopt;
  if (const auto seen = by_object_.find(item); seen != by_object_.end()) return seen->second;
  std::optional<std::string> text = utf8_of_str(item);
  if (!text) return std::nullopt;
  const auto next = static_cast<std::uint32_t>(texts_.size());
  const auto [it, inserted] = by_text_.try_emplace(std::move(*text), next);
  if (inserted) texts_.push_back(&it->first);
  // The reference keeps the object, and so the address the map is keyed by, alive.
  held_.push_back(PyRef::borrow(item));
  by_object_.emplace(item, it->second);
  return it->second;
}

std::vector<std::string> TextEncoder::take_dictionary() {
  std::vector<std::string> out(texts_.size());
  while (!by_text_.empty()) {
    auto node = by_text_.extract(by_text_.begin());
    out[node.mapped()] = std::move(node.key());
  }
  texts_.clear();
  by_object_.clear();
  held_.clear();
  return out;
}

}  // namespace quillmarsh
