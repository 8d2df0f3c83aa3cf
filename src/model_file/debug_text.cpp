// Escaping of quoted texts in error renderings.
#include "model_file/debug_text.hpp"

#include <cstdint>

namespace quillmarsh {
namespace {

constexpr char32_t kMalformed = 0x110000;

// Decodes one UTF-8 sequence at s[i]; returns the code point and advances i, or returns
// kMalformed and advances one byte on a malformed sequence.
char32_t next_code_point(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int extra = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1, cp = b0 & 0x1Fu, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2, cp = b0 & 0x0Fu, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3, cp = b0 & 0x07u, min = 0x10000;
  } else {
    ++i;
    return kMalformed;
  }
  if (s.size() - i <= static_cast<std::size_t>(extra)) {
    ++i;
    return kMalformed;
  }
  for (int k = 1; k <= extra; ++k) {
    const auto b = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return kMalformed;
    }
    cp = (cp << 6) | (b & 0x3Fu);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return kMalformed;
  }
  i += static_cast<std::size_t>(extra) + 1;
  return cp;
}

// Code points that do not print on their own: controls, format characters, combining
// marks, separators other than space, and non-characters.
bool shown_as_escape(char32_t c) {
  if (c < 0x20 || c == 0x7F) return true;
  if (c < 0x80) return false;
  return (c >= 0x80 && c <= 0xA0) || c == 0xAD || (c >= 0x300 && c <= 0x36F) ||
         (c >= 0x483 && c <= 0x489) || (c >= 0x591 && c <= 0x5BD) || (c >= 0x1AB0 && c <= 0x1AFF) ||
         (c >= 0x1DC0 && c <= 0x1DFF) || (c >= 0x2000 && c <= 0x200F) ||
         (c >= 0x2028 && c <= 0x202F) || (c >= 0x205F && c <= 0x206F) ||
         (c >= 0x20D0 && c <= 0x20FF) || c == 0x3000 || (c >= 0xD800 && c <= 0xF8FF) ||
         (c >= 0xFE00 && c <= 0xFE0F) || (c >= 0xFE20 && c <= 0xFE2F) || c == 0xFEFF ||
         (c >= 0xFFF0 && c <= 0xFFFB) || (c & 0xFFFE) == 0xFFFE || (c >= 0xE0000 && c <= 0xE0FFF) ||
         c >= 0xF0000;
}

void append_escape(std::string& out, char32_t c) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\u{";
  int shift = 20;
  while (shift > 0 && ((c >> shift) & 0xF) == 0) shift -= 4;
  for (; shift >= 0; shift -= 4) out.push_back(kHex[(c >> shift) & 0xF]);
  out.push_back('}');
}

}  // namespace

std::string debug_quoted(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out.push_back('"');
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t start = i;
    const char32_t c = next_code_point(s, i);
    switch (c) {
      case 0:
        out += "\\0";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '"':
        out += "\\\"";
        continue;
      default:
        break;
    }
    if (c == kMalformed) {
      append_escape(out, 0xFFFD);
    } else if (shown_as_escape(c)) {
      append_escape(out, c);
    } else {
      out.append(s.substr(start, i - start));
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace quillmarsh
