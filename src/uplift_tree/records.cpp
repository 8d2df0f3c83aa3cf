// Accessors and constructors of the tree records.
#include "uplift_tree/records.hpp"

#include <bit>

#include "common/panic.hpp"

namespace quillmarsh {

float SplitValue::as_numeric() const {
  if (const float* v = std::get_if<0>(&value_)) return *v;
  panic("not f64");
}

const std::string& SplitValue::as_str() const {
  if (const std::string* s = std::get_if<1>(&value_)) return *s;
  panic("not str");
}

bool operator==(const SplitValue& a, const SplitValue& b) noexcept {
  if (a.value_.index() != b.value_.index()) return false;
  if (a.is_numeric()) {
    return std::bit_cast<std::uint32_t>(*std::get_if<0>(&a.value_)) ==
           std::bit_cast<std::uint32_t>(*std::get_if<0>(&b.value_));
  }
  return *std::get_if<1>(&a.value_) == *std::get_if<1>(&b.value_);
}

EvalFunc parse_eval_func(std::string_view text) {
  if (const std::optional<EvalFunc> parsed = eval_func_of_text(text)) return *parsed;
  panic("bad eval func");
}

}  // namespace quillmarsh
