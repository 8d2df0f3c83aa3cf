// Serialises the forest record, and the toolkit's metadata when given, into an in-memory
// buffer; the file is touched only afterwards.
#include "model_file/json_writer.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "common/panic.hpp"
#include "model_file/float_text.hpp"
#include "model_file/json_reader.hpp"
#include "model_file/model_document.hpp"

namespace quillmarsh {
namespace {

class Writer {
 public:
  Writer() { out_.reserve(128); }
  std::string take() { return std::move(out_); }

  void raw(std::string_view s) { out_ += s; }
  void key(std::string_view name, bool first = false) {
    if (!first) out_.push_back(',');
    append_json_string(out_, name);
    out_.push_back(':');
  }
  template <class Int>
  void integer(Int v) {
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    out_.append(buf, res.ptr);
  }
  void f64(double v) {
    if (std::isfinite(v)) {
      append_f64_text(out_, v);
    } else {
      out_ += "null";
    }
  }
  void f32(float v) {
    if (std::isfinite(v)) {
      append_f32_text(out_, v);
    } else {
      out_ += "null";
    }
  }
  void boolean(bool v) { out_ += v ? "true" : "false"; }
  void str(std::string_view s) { append_json_string(out_, s); }

  // The fields of a record in the order of its table, then whatever after() appends, inside
  // one pair of braces.
  template <class Record, class After>
  void record(const Record& r, After&& after) {
    raw("{");
    bool first = true;
    for_each_field<Record>([&](const auto& f) {
      key(f.name, std::exchange(first, false));
      value<std::remove_cvref_t<decltype(f)>::kKind>(r.*f.member);
    });
    after();
    raw("}");
  }
  template <class Record>
  void record(const Record& r) {
    record(r, [] {});
  }

 private:
  template <FieldKind K, class Member>
  void value(const Member& v) {
    if constexpr (K == FieldKind::I32 || K == FieldKind::U64) {
      integer(v);
    } else if constexpr (K == FieldKind::F64) {
      f64(v);
    } else if constexpr (K == FieldKind::Bool) {
      boolean(v);
    } else if constexpr (K == FieldKind::Text) {
      str(v);
    } else if constexpr (K == FieldKind::TextList) {
      list(v, [&](const std::string& s) { str(s); });
    } else if constexpr (K == FieldKind::F64List) {
      list(v, [&](double d) { f64(d); });
    } else if constexpr (K == FieldKind::SplitValue) {
      split_value(v);
    } else if constexpr (K == FieldKind::EvalFunc) {
      str(eval_func_name(v));
    } else {
      static_assert(K == FieldKind::RecordList);
      list(v, [&](const auto& element) { record(element); });
    }
  }

  template <class Element, class WriteElement>
  void list(const std::vector<Element>& v, WriteElement&& write_element) {
    raw("[");
    for (std::size_t i = 0; i < v.size(); ++i) {
      if (i > 0) raw(",");
      write_element(v[i]);
    }
    raw("]");
  }

  void split_value(const SplitValue& v) {
    if (v.is_numeric()) {
      raw("{\"Numeric\":");
      f32(v.as_numeric());
    } else {
      raw("{\"Str\":");
      str(v.as_str());
    }
    raw("}");
  }

  static std::string_view eval_func_name(EvalFunc e) {
    for (const EvalFuncName& name : kEvalFuncNames) {
      if (name.value == e) return name.variant;
    }
    panic("EvalFunc out of range");
  }

  std::string out_;
};

// The kit text without the whitespace around it, once it is known to be valid UTF-8 holding
// exactly one JSON value that the reader takes as the value of a top-level key.
std::string_view checked_kit(std::string_view text) {
  if (const std::optional<std::size_t> bad = first_invalid_utf8(text)) {
    panic("quillmarsh_kit is not valid UTF-8: invalid byte at offset " + std::to_string(*bad));
  }
  auto value = lone_json_value(text);
  if (const auto* error = std::get_if<JsonError>(&value)) {
    panic("quillmarsh_kit is not one JSON value: " + error->message + " at line " +
          std::to_string(error->line) + ", column " + std::to_string(error->column));
  }
  return std::get<std::string_view>(value);
}

}  // namespace

void append_json_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t plain_from = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.substr(plain_from, i - plain_from));
    plain_from = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case 0x08:
        out += "\\b";
        break;
      case 0x09:
        out += "\\t";
        break;
      case 0x0A:
        out += "\\n";
        break;
      case 0x0C:
        out += "\\f";
        break;
      case 0x0D:
        out += "\\r";
        break;
      default:
        out += "\\u00";
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
    }
  }
  out.append(s.substr(plain_from));
  out.push_back('"');
}

std::string write_model_json(const UpliftRandomForestModel& forest,
                             std::optional<std::string_view> kit_json) {
  const std::string_view kit = kit_json ? checked_kit(*kit_json) : std::string_view();
  Writer w;
  w.record(forest, [&] {
    if (!kit_json) return;
    w.key(kKitKey);
    w.raw(kit);
  });
  return w.take();
}

}  // namespace quillmarsh
