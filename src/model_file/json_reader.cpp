// Recursive-descent reader of the model document.
//
// Error positions. Every error is reported at a byte offset `end` of the text: the line is 1 +
// the line feeds before `end`, the column is the number of bytes between the last line feed
// before `end` and `end`. Three offsets are used, always the same way:
//  - error():      end = bytes consumed so far. Used when the offending byte was already
//                  consumed (a bad escape, a wrong letter in null/true/false, a number that
//                  is out of range) and for type and value errors, which are reported at
//                  the end of the offending value or key (after its last digit, letter or
//                  closing quote; for an array or object value, before its opening bracket).
//  - peek_error(): end = consumed + 1 (capped at the text length). Used for a syntax error
//                  at the next, unconsumed byte: it counts as found at that byte, and at the
//                  end of the text the column stays at the last byte (an empty text gives
//                  line 1, column 0).
//  - record errors (missing field, duplicate field, invalid length, unit variant): first the
//                  record is closed as far as the text allows (whitespace skipped, the closing
//                  brace or bracket consumed; in the array form a following comma and the
//                  whitespace after it are consumed too), then error() applies. A missing
//                  field is therefore reported right after the closing brace, a duplicate
//                  field right after its key's closing quote.
#include "model_file/json_reader.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <system_error>
#include <tuple>
#include <type_traits>
#include <utility>

#include "common/panic.hpp"
#include "model_file/debug_text.hpp"
#include "model_file/float_text.hpp"

namespace quillmarsh {
namespace {

// Thrown by the parser's fail functions and caught only by read_model_json: the first error
// ends the whole parse, so unwinding carries it straight to the one place that reports it.
struct JsonFailure {
  JsonError error;
};

// How a record that fails with a record error is closed before the error is positioned.
enum class Close { Map, Seq };

// A parsed JSON number: an integer that fits u64 (or i64 when negative), else a double.
struct Number {
  enum class Kind { U64, I64, F64 } kind = Kind::U64;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double f = 0.0;
  std::string_view text;  // F64: the number's text without its sign

  std::string unexpected() const {
    switch (kind) {
      case Kind::U64:
        return "integer `" + std::to_string(u) + "`";
      case Kind::I64:
        return "integer `" + std::to_string(i) + "`";
      case Kind::F64:
        break;
    }
    return "floating point `" + f64_plain_text(f) + "`";
  }
};

bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Rounds a double to the nearest float; magnitudes from halfway between the largest float
// and 2^128 upwards become infinite (a plain conversion of them is undefined behaviour).
float narrow_to_float(double d) {
  constexpr double kLargest = std::numeric_limits<float>::max();
  constexpr double kHalfwayToOverflow = 0x1.ffffffp127;
  if (std::fabs(d) <= kLargest) return static_cast<float>(d);
  const float limit = std::fabs(d) < kHalfwayToOverflow ? std::numeric_limits<float>::max()
                                                        : std::numeric_limits<float>::infinity();
  return std::signbit(d) ? -limit : limit;
}

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// The keys of a record's fields in declaration order, from its table.
template <class Record>
constexpr auto kFieldNames = std::apply(
    [](const auto&... f) { return std::array<std::string_view, sizeof...(f)>{f.name...}; },
    RecordFields<Record>::kFields);

class Parser {
 public:
  explicit Parser(std::string_view text) : s_(text) {}

  ModelDocument document() {
    ModelDocument doc;
    doc.forest = read_record<UpliftRandomForestModel>([&](const std::string& key) {
      if (key != kKitKey) return false;
      if (doc.kit) record_error("duplicate field `" + key + "`", Close::Map);
      colon();
      skip_ws();
      const std::size_t start = pos_;
      skip_value();
      doc.kit.emplace(s_.substr(start, pos_ - start));
      return true;
    });
    if (skip_ws() >= 0) peek_error("trailing characters");
    return doc;
  }

  // The one value of the text, read as the value of a key of the document's top level.
  std::string_view lone_value() {
    depth_ = 1;
    skip_ws();
    const std::size_t start = pos_;
    skip_value();
    const std::size_t end = pos_;
    if (skip_ws() >= 0) peek_error("trailing characters");
    return s_.substr(start, end - start);
  }

 private:
  // ---- failures -------------------------------------------------------------------------

  [[noreturn]] void fail_at(std::size_t end, std::string message) const {
    JsonError e{std::move(message), 1, 0};
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < end; ++i) {
      if (s_[i] == '\n') {
        ++e.line;
        line_start = i + 1;
      }
    }
    e.column = end - line_start;
    // Thrown and caught inside this reader only, to unwind out of the recursive descent.
    throw JsonFailure{std::move(e)};  // NOLINT(bugprone-std-exception-baseclass)
  }
  [[noreturn]] void error(std::string message) const { fail_at(pos_, std::move(message)); }
  [[noreturn]] void peek_error(std::string message) const {
    fail_at(pos_ < s_.size() ? pos_ + 1 : s_.size(), std::move(message));
  }
  [[noreturn]] void record_error(std::string message, Close close) {
    const int c = skip_ws();
    if (close == Close::Map) {
      if (c == '}') ++pos_;
    } else if (c == ']') {
      ++pos_;
    } else if (c == ',') {
      ++pos_;
      skip_ws();
    }
    error(std::move(message));
  }
  [[noreturn]] void invalid_type(const std::string& unexpected, std::string_view expected) {
    error("invalid type: " + unexpected + ", expected " + std::string(expected));
  }

  // ---- bytes ----------------------------------------------------------------------------

  // The next byte without consuming it, or -1 at the end of the text.
  int peek() const { return pos_ < s_.size() ? static_cast<unsigned char>(s_[pos_]) : -1; }
  int skip_ws() {
    while (pos_ < s_.size()) {
      const char c = s_[pos_];
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') break;
      ++pos_;
    }
    return peek();
  }
  void enter() {
    if (++depth_ > kJsonMaxDepth) peek_error("recursion limit exceeded");
    ++pos_;
  }
  void leave() { --depth_; }

  // After the first letter of null/true/false was consumed.
  void ident(std::string_view rest) {
    for (const char expected : rest) {
      if (pos_ == s_.size()) error("EOF while parsing a value");
      if (s_[pos_++] != expected) error("expected ident");
    }
  }

  // ---- numbers --------------------------------------------------------------------------

  // The sign, if any, was consumed. With convert false the syntax is checked only (values
  // of unknown keys are not converted, so their range does not matter).
  Number number(bool positive, bool convert) {
    const std::size_t start = pos_;
    if (pos_ == s_.size()) error("EOF while parsing a value");
    const char first = s_[pos_++];
    if (first == '0') {
      if (is_digit(peek())) peek_error("invalid number");
    } else if (first >= '1' && first <= '9') {
      while (is_digit(peek())) ++pos_;
    } else {
      error("invalid number");
    }
    const std::size_t int_end = pos_;
    bool is_float = false;
    bool nonzero = false;
    for (std::size_t i = start; i < int_end; ++i) nonzero = nonzero || s_[i] != '0';
    if (peek() == '.') {
      ++pos_;
      const std::size_t frac_start = pos_;
      while (is_digit(peek())) {
        nonzero = nonzero || s_[pos_] != '0';
        ++pos_;
      }
      if (pos_ == frac_start) {
        if (peek() >= 0) peek_error("invalid number");
        peek_error("EOF while parsing a value");
      }
      is_float = true;
    }
    if (peek() == 'e' || peek() == 'E') {
      ++pos_;
      bool positive_exp = true;
      if (peek() == '+' || peek() == '-') positive_exp = s_[pos_++] == '+';
      if (pos_ == s_.size()) error("EOF while parsing a value");
      if (!is_digit(s_[pos_++])) error("invalid number");
      std::int64_t exp = s_[pos_ - 1] - '0';
      while (is_digit(peek())) {
        exp = exp * 10 + (s_[pos_++] - '0');
        // An exponent beyond the 32-bit range: infinite for a non-zero positive exponent,
        // zero otherwise (the remaining digits are skipped).
        if (exp > std::numeric_limits<std::int32_t>::max()) {
          if (convert && nonzero && positive_exp) error("number out of range");
          while (is_digit(peek())) ++pos_;
          break;
        }
      }
      is_float = true;
    }
    Number n;
    if (!convert) return n;
    const std::string_view digits = s_.substr(start, pos_ - start);
    if (!is_float) {
      std::uint64_t v = 0;
      const auto res = std::from_chars(digits.data(), digits.data() + digits.size(), v);
      if (res.ec == std::errc{}) {
        if (positive) {
          n.kind = Number::Kind::U64;
          n.u = v;
          return n;
        }
        if (v != 0 && v <= std::uint64_t{1} << 63) {
          n.kind = Number::Kind::I64;
          n.i = static_cast<std::int64_t>(0 - v);
          return n;
        }
      }
    }
    n.kind = Number::Kind::F64;
    n.f = to_double(digits, int_end - start, nonzero);
    n.text = digits;
    if (!positive) n.f = -n.f;
    return n;
  }

  // The nearest double to a valid unsigned JSON number text; "number out of range" when its
  // magnitude is beyond the double range (a tiny magnitude becomes zero instead).
  double to_double(std::string_view digits, std::size_t int_len, bool nonzero) {
    double v = 0.0;
    const auto res = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    if (res.ec == std::errc{} && std::isfinite(v)) return v;
    if (!nonzero) return 0.0;
    if (res.ec != std::errc::result_out_of_range && res.ec != std::errc{}) {
      panic("number text rejected by the converter");
    }
    if (res.ec == std::errc{} || decimal_magnitude(digits, int_len) > 0) {
      error("number out of range");
    }
    return 0.0;
  }

  // Roughly the decimal exponent of the leading non-zero digit (its sign tells an overflow
  // from an underflow; both are hundreds away from zero).
  static std::int64_t decimal_magnitude(std::string_view digits, std::size_t int_len) {
    std::int64_t lead = 0;
    std::size_t i = 0;
    while (i < int_len && digits[i] == '0') ++i;
    if (i < int_len) {
      lead = static_cast<std::int64_t>(int_len - i);
    } else if (int_len < digits.size() && digits[int_len] == '.') {
      std::size_t j = int_len + 1;
      while (j < digits.size() && digits[j] == '0') ++j;
      lead = -static_cast<std::int64_t>(j - int_len - 1);
    }
    const std::size_t e = digits.find_first_of("eE");
    if (e == std::string_view::npos) return lead;
    std::size_t k = e + 1;
    const bool negative = k < digits.size() && digits[k] == '-';
    if (k < digits.size() && (digits[k] == '-' || digits[k] == '+')) ++k;
    std::int64_t exp = 0;
    for (; k < digits.size() && exp < (std::int64_t{1} << 40); ++k)
      exp = exp * 10 + (digits[k] - '0');
    return lead + (negative ? -exp : exp);
  }

  // A number value where the caller wants a number; anything else is a type error.
  Number number_value(std::string_view expected) {
    const int c = skip_ws();
    if (c < 0) peek_error("EOF while parsing a value");
    if (c == '-') {
      ++pos_;
      return number(false, true);
    }
    if (is_digit(c)) return number(true, true);
    peek_invalid_type(expected);
  }

  // ---- strings --------------------------------------------------------------------------

  // After the opening quote. With decode false, escapes are checked for syntax only.
  std::string string_body(bool decode) {
    std::string out;
    for (;;) {
      const std::size_t chunk = pos_;
      while (pos_ < s_.size()) {
        const auto c = static_cast<unsigned char>(s_[pos_]);
        if (c == '"' || c == '\\' || c < 0x20) break;
        ++pos_;
      }
      if (decode) out.append(s_.substr(chunk, pos_ - chunk));
      if (pos_ == s_.size()) error("EOF while parsing a string");
      const char c = s_[pos_++];
      if (c == '"') return out;
      if (c != '\\') error("control character (\\u0000-\\u001F) found while parsing a string");
      escape(out, decode);
    }
  }

  void escape(std::string& out, bool decode) {
    if (pos_ == s_.size()) error("EOF while parsing a string");
    switch (s_[pos_++]) {
      case '"':
        out.push_back('"');
        return;
      case '\\':
        out.push_back('\\');
        return;
      case '/':
        out.push_back('/');
        return;
      case 'b':
        out.push_back('\b');
        return;
      case 'f':
        out.push_back('\f');
        return;
      case 'n':
        out.push_back('\n');
        return;
      case 'r':
        out.push_back('\r');
        return;
      case 't':
        out.push_back('\t');
        return;
      case 'u':
        break;
      default:
        error("invalid escape");
    }
    const char32_t n1 = hex4();
    if (!decode) return;
    if (n1 >= 0xDC00 && n1 <= 0xDFFF) error("lone leading surrogate in hex escape");
    if (n1 < 0xD800 || n1 > 0xDBFF) {
      append_utf8(out, n1);
      return;
    }
    for (const char expected : std::string_view("\\u")) {
      if (pos_ == s_.size()) error("EOF while parsing a string");
      if (s_[pos_++] != expected) error("unexpected end of hex escape");
    }
    const char32_t n2 = hex4();
    if (n2 < 0xDC00 || n2 > 0xDFFF) error("lone leading surrogate in hex escape");
    append_utf8(out, 0x10000 + ((n1 - 0xD800) << 10) + (n2 - 0xDC00));
  }

  char32_t hex4() {
    if (s_.size() - pos_ < 4) {
      pos_ = s_.size();
      error("EOF while parsing a string");
    }
    char32_t n = 0;
    for (int k = 0; k < 4; ++k) {
      const int h = hex_value(static_cast<unsigned char>(s_[pos_++]));
      if (h < 0) error("invalid escape");
      n = (n << 4) | static_cast<char32_t>(h);
    }
    return n;
  }

  // ---- values of unknown keys, and the wrong kind of value ------------------------------

  void skip_value() {
    const int c = skip_ws();
    if (c < 0) peek_error("EOF while parsing a value");
    switch (c) {
      case 'n':
        ++pos_;
        return ident("ull");
      case 't':
        ++pos_;
        return ident("rue");
      case 'f':
        ++pos_;
        return ident("alse");
      case '-':
        ++pos_;
        number(false, false);
        return;
      case '"':
        ++pos_;
        string_body(false);
        return;
      case '[': {
        enter();
        bool first = true;
        while (next_element(first)) skip_value();
        leave();
        return end_seq();
      }
      case '{': {
        enter();
        bool first = true;
        while (next_key(first)) {
          colon();
          skip_value();
        }
        leave();
        return end_map();
      }
      default:
        if (is_digit(c)) {
          number(true, false);
          return;
        }
        peek_error("expected value");
    }
  }

  // Names the value at the cursor for "invalid type: {}, expected {}"; a scalar is consumed
  // (and must itself be well formed), an array or object is not.
  [[noreturn]] void peek_invalid_type(std::string_view expected) {
    const int c = peek();
    std::string unexpected;
    if (c == 'n') {
      ++pos_;
      ident("ull");
      unexpected = "null";
    } else if (c == 't') {
      ++pos_;
      ident("rue");
      unexpected = "boolean `true`";
    } else if (c == 'f') {
      ++pos_;
      ident("alse");
      unexpected = "boolean `false`";
    } else if (c == '-') {
      ++pos_;
      unexpected = number(false, true).unexpected();
    } else if (is_digit(c)) {
      unexpected = number(true, true).unexpected();
    } else if (c == '"') {
      ++pos_;
      unexpected = "string " + debug_quoted(string_body(true));
    } else if (c == '[') {
      unexpected = "sequence";
    } else if (c == '{') {
      unexpected = "map";
    } else {
      peek_error("expected value");
    }
    invalid_type(unexpected, expected);
  }

  // ---- containers -----------------------------------------------------------------------

  // Before each element of an array; false at the closing bracket (not consumed).
  bool next_element(bool& first) {
    int c = skip_ws();
    if (c == ']') return false;
    if (c == ',' && !first) {
      ++pos_;
      c = skip_ws();
    } else if (c >= 0) {
      if (!first) peek_error("expected `,` or `]`");
      first = false;
    } else {
      peek_error("EOF while parsing a list");
    }
    if (c == ']') peek_error("trailing comma");
    if (c < 0) peek_error("EOF while parsing a value");
    return true;
  }

  // Before each key of an object; the key, or nullopt at the closing brace (not consumed).
  std::optional<std::string> next_key(bool& first) {
    int c = skip_ws();
    if (c == '}') return std::nullopt;
    if (c == ',' && !first) {
      ++pos_;
      c = skip_ws();
    } else if (c >= 0) {
      if (!first) peek_error("expected `,` or `}`");
      first = false;
    } else {
      peek_error("EOF while parsing an object");
    }
    if (c == '"') {
      ++pos_;
      return string_body(true);
    }
    if (c == '}') peek_error("trailing comma");
    if (c < 0) peek_error("EOF while parsing a value");
    peek_error("key must be a string");
  }

  void colon() {
    const int c = skip_ws();
    if (c == ':') {
      ++pos_;
      return;
    }
    if (c < 0) peek_error("EOF while parsing an object");
    peek_error("expected `:`");
  }

  void end_seq() {
    const int c = skip_ws();
    if (c == ']') {
      ++pos_;
      return;
    }
    if (c == ',') {
      ++pos_;
      if (skip_ws() == ']') peek_error("trailing comma");
      peek_error("trailing characters");
    }
    if (c < 0) peek_error("EOF while parsing a list");
    peek_error("trailing characters");
  }

  void end_map() {
    const int c = skip_ws();
    if (c == '}') {
      ++pos_;
      return;
    }
    if (c == ',') peek_error("trailing comma");
    if (c < 0) peek_error("EOF while parsing an object");
    peek_error("trailing characters");
  }

  template <class ReadElement>
  void sequence(ReadElement&& read_element) {
    const int c = skip_ws();
    if (c < 0) peek_error("EOF while parsing a value");
    if (c != '[') peek_invalid_type("a sequence");
    enter();
    bool first = true;
    while (next_element(first)) read_element();
    leave();
    end_seq();
  }

  // One record in object or array form; read_field(i, close) reads the value of field i. In
  // the object form, extra_key(key) may take a key that is not a field, with its colon and
  // value, and return true; the other unknown keys are skipped.
  template <std::size_t N, class ReadField, class ExtraKey>
  void record(std::string_view name, const std::array<std::string_view, N>& fields,
              ReadField&& read_field, ExtraKey&& extra_key) {
    const int c = skip_ws();
    if (c < 0) peek_error("EOF while parsing a value");
    if (c == '[') {
      enter();
      bool first = true;
      for (std::size_t i = 0; i < N; ++i) {
        if (!next_element(first)) {
          record_error("invalid length " + std::to_string(i) + ", expected struct " +
                           std::string(name) + " with " + std::to_string(N) + " elements",
                       Close::Seq);
        }
        read_field(i, Close::Seq);
      }
      leave();
      return end_seq();
    }
    if (c != '{') peek_invalid_type("struct " + std::string(name));
    enter();
    std::array<bool, N> seen{};
    bool first = true;
    while (const std::optional<std::string> key = next_key(first)) {
      std::size_t i = 0;
      while (i < N && fields[i] != *key) ++i;
      if (i == N) {
        if (!extra_key(*key)) {
          colon();
          skip_value();
        }
        continue;
      }
      if (seen[i]) record_error("duplicate field `" + *key + "`", Close::Map);
      colon();
      read_field(i, Close::Map);
      seen[i] = true;
    }
    for (std::size_t i = 0; i < N; ++i) {
      if (!seen[i]) record_error("missing field `" + std::string(fields[i]) + "`", Close::Map);
    }
    leave();
    end_map();
  }

  // ---- field values ---------------------------------------------------------------------

  std::int32_t read_i32() {
    const Number n = number_value("i32");
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
    if (n.kind == Number::Kind::U64 && n.u <= static_cast<std::uint64_t>(kMax)) {
      return static_cast<std::int32_t>(n.u);
    }
    if (n.kind == Number::Kind::I64 && n.i >= kMin) return static_cast<std::int32_t>(n.i);
    if (n.kind == Number::Kind::F64) invalid_type(n.unexpected(), "i32");
    error("invalid value: " + n.unexpected() + ", expected i32");
  }

  std::uint64_t read_usize() {
    const Number n = number_value("usize");
    if (n.kind == Number::Kind::U64) return n.u;
    if (n.kind == Number::Kind::F64) invalid_type(n.unexpected(), "usize");
    error("invalid value: " + n.unexpected() + ", expected usize");
  }

  // null stands for a non-finite value, which the writer cannot spell as a number.
  bool read_null_float() {
    if (skip_ws() != 'n') return false;
    ++pos_;
    ident("ull");
    return true;
  }

  double read_f64() {
    if (read_null_float()) return std::numeric_limits<double>::quiet_NaN();
    const Number n = number_value("f64");
    switch (n.kind) {
      case Number::Kind::U64:
        return static_cast<double>(n.u);
      case Number::Kind::I64:
        return static_cast<double>(n.i);
      case Number::Kind::F64:
        break;
    }
    return n.f;
  }

  // The nearest float to the number itself, never through a double: rounding twice loses
  // floats (7.038531e-26, the shortest text of one float, is nearest to a double that rounds
  // to the next float).
  float read_f32() {
    if (read_null_float()) return std::numeric_limits<float>::quiet_NaN();
    const Number n = number_value("f32");
    switch (n.kind) {
      case Number::Kind::U64:
        return static_cast<float>(n.u);
      case Number::Kind::I64:
        return static_cast<float>(n.i);
      case Number::Kind::F64:
        break;
    }
    float v = 0.0f;
    const auto res = std::from_chars(n.text.data(), n.text.data() + n.text.size(), v);
    if (res.ec != std::errc{}) return narrow_to_float(n.f);  // beyond the float range
    return std::signbit(n.f) ? -v : v;
  }

  bool read_bool() {
    const int c = skip_ws();
    if (c < 0) peek_error("EOF while parsing a value");
    if (c == 't' || c == 'f') {
      ++pos_;
      ident(c == 't' ? "rue" : "alse");
      return c == 't';
    }
    peek_invalid_type("a boolean");
  }

  std::string read_string() {
    const int c = skip_ws();
    if (c < 0) peek_error("EOF while parsing a value");
    if (c != '"') peek_invalid_type("a string");
    ++pos_;
    return string_body(true);
  }

  // The variant name of an enumeration value written as a string or as a one-key object.
  std::string variant_name() {
    const int c = skip_ws();
    if (c < 0) peek_error("EOF while parsing a value");
    if (c != '"') peek_invalid_type("variant identifier");
    ++pos_;
    return string_body(true);
  }

  // After the value of a one-key enumeration object.
  void end_variant_object() {
    const int c = skip_ws();
    if (c == '}') {
      ++pos_;
      leave();
      return;
    }
    if (c < 0) error("EOF while parsing an object");
    error("expected value");
  }

  SplitValue read_split_value(Close close) {
    static constexpr std::string_view kExpected = "expected `Numeric` or `Str`";
    const int c = skip_ws();
    if (c < 0) peek_error("EOF while parsing a value");
    if (c == '"') {
      ++pos_;
      const std::string name = string_body(true);
      if (name != "Numeric" && name != "Str") {
        error("unknown variant `" + name + "`, " + std::string(kExpected));
      }
      record_error("invalid type: unit variant, expected newtype variant", close);
    }
    if (c != '{') peek_error("expected value");
    enter();
    const std::string name = variant_name();
    SplitValue v;
    if (name == "Numeric") {
      colon();
      v = SplitValue::numeric(read_f32());
    } else if (name == "Str") {
      colon();
      v = SplitValue::str(read_string());
    } else {
      error("unknown variant `" + name + "`, " + std::string(kExpected));
    }
    end_variant_object();
    return v;
  }

  EvalFunc read_eval_func() {
    const int c = skip_ws();
    if (c < 0) peek_error("EOF while parsing a value");
    if (c != '"' && c != '{') peek_error("expected value");
    const bool object = c == '{';
    if (object) {
      enter();
    } else {
      ++pos_;
    }
    const std::string name = object ? variant_name() : string_body(true);
    const auto known = std::find_if(kEvalFuncNames.begin(), kEvalFuncNames.end(),
                                    [&](const EvalFuncName& e) { return e.variant == name; });
    if (known == kEvalFuncNames.end()) {
      std::string expected;
      for (const EvalFuncName& e : kEvalFuncNames) {
        expected += expected.empty() ? "`" : ", `";
        expected += e.variant;
        expected += '`';
      }
      error("unknown variant `" + name + "`, expected one of " + expected);
    }
    const EvalFunc e = known->value;
    if (object) {  // {"KL":null} names the variant too
      colon();
      const int v = skip_ws();
      if (v < 0) peek_error("EOF while parsing a value");
      if (v != 'n') peek_invalid_type("unit");
      ++pos_;
      ident("ull");
      end_variant_object();
    }
    return e;
  }

  // ---- records ----------------------------------------------------------------------------

  template <class Record, class ExtraKey>
  Record read_record(ExtraKey&& extra_key) {
    Record r;
    record(
        RecordFields<Record>::kName, kFieldNames<Record>,
        [&](std::size_t i, Close close) {
          read_field_at(r, i, close, std::make_index_sequence<kFieldNames<Record>.size()>{});
        },
        extra_key);
    return r;
  }
  template <class Record>
  Record read_record() {
    return read_record<Record>([](const std::string&) { return false; });
  }

  template <class Record, std::size_t... I>
  void read_field_at(Record& r, std::size_t i, Close close, std::index_sequence<I...>) {
    ((i == I ? read_field(std::get<I>(RecordFields<Record>::kFields), r, close) : void()), ...);
  }

  template <class F, class Record>
  void read_field(const F& f, Record& r, Close close) {
    auto& v = r.*f.member;
    if constexpr (F::kKind == FieldKind::I32) {
      v = read_i32();
    } else if constexpr (F::kKind == FieldKind::U64) {
      v = read_usize();
    } else if constexpr (F::kKind == FieldKind::F64) {
      v = read_f64();
    } else if constexpr (F::kKind == FieldKind::Bool) {
      v = read_bool();
    } else if constexpr (F::kKind == FieldKind::Text) {
      v = read_string();
    } else if constexpr (F::kKind == FieldKind::SplitValue) {
      v = read_split_value(close);
    } else if constexpr (F::kKind == FieldKind::EvalFunc) {
      v = read_eval_func();
    } else {
      v.clear();
      sequence([&] {
        if constexpr (F::kKind == FieldKind::TextList) {
          v.push_back(read_string());
        } else if constexpr (F::kKind == FieldKind::F64List) {
          v.push_back(read_f64());
        } else {
          static_assert(F::kKind == FieldKind::RecordList);
          v.push_back(read_record<typename std::remove_cvref_t<decltype(v)>::value_type>());
        }
      });
    }
  }

  std::string_view s_;
  std::size_t pos_ = 0;
  int depth_ = 0;
};

}  // namespace

std::variant<ModelDocument, JsonError> read_model_document_json(std::string_view text) {
  try {
    return Parser(text).document();
  } catch (JsonFailure& failure) {
    return std::move(failure.error);
  }
}

std::variant<UpliftRandomForestModel, JsonError> read_model_json(std::string_view text) {
  auto read = read_model_document_json(text);
  if (auto* error = std::get_if<JsonError>(&read)) return std::move(*error);
  return std::move(std::get<ModelDocument>(read).forest);
}

std::variant<std::string_view, JsonError> lone_json_value(std::string_view text) {
  try {
    return Parser(text).lone_value();
  } catch (JsonFailure& failure) {
    return std::move(failure.error);
  }
}

std::optional<std::size_t> first_invalid_utf8(std::string_view s) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080u;
  std::size_t i = 0;
  while (i < s.size()) {
    // Documents are almost all ASCII: eight bytes at a time while no byte has its high bit.
    std::uint64_t word = 0;
    if (s.size() - i >= sizeof word) {
      std::memcpy(&word, s.data() + i, sizeof word);
      if ((word & kHighBits) == 0) {
        i += sizeof word;
        continue;
      }
    }
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      len = 3;
      if (b0 == 0xE0) lo = 0xA0;
      if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      len = 4;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;
    } else {
      return i;
    }
    if (s.size() - i < len) return i;
    const auto b1 = static_cast<unsigned char>(s[i + 1]);
    if (b1 < lo || b1 > hi) return i;
    for (std::size_t k = 2; k < len; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return i;
    }
    i += len;
  }
  return std::nullopt;
}

std::string render_json_error(const JsonError& error) {
  return "Error(" + debug_quoted(error.message) + ", line: " + std::to_string(error.line) +
         ", column: " + std::to_string(error.column) + ")";
}

}  // namespace quillmarsh
