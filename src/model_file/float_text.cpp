// Float layout on top of std::to_chars: to_chars supplies the shortest round-trip digits in
// scientific form, and the layout rules below decide where the point goes.
#include "model_file/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <system_error>

#include "common/panic.hpp"

namespace quillmarsh {
namespace {

// The shortest digits of a finite non-zero magnitude and the decimal exponent of its first
// digit: value = 0.d1d2...dn * 10^point, i.e. point = exponent + 1 (the "kk" of the layout).
struct Digits {
  char text[32];
  int count = 0;
  int point = 0;
};

template <class Float>
Digits shortest_digits(Float magnitude) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
  if (res.ec != std::errc{}) panic("float text does not fit its buffer");
  const std::string_view text(buf, static_cast<std::size_t>(res.ptr - buf));
  Digits d;
  std::size_t i = 0;
  for (; i < text.size() && text[i] != 'e'; ++i) {
    if (text[i] != '.') d.text[d.count++] = text[i];
  }
  // to_chars writes "e+NN" / "e-NN".
  int exponent = 0;
  const char* first = text.data() + i + 1;
  if (*first == '+') ++first;
  std::from_chars(first, text.data() + text.size(), exponent);
  d.point = exponent + 1;
  return d;
}

void append_digits(std::string& out, const Digits& d, int from, int to) {
  out.append(d.text + from, static_cast<std::size_t>(to - from));
}

// max_point / min_point: 16 and -5 for doubles, 13 and -6 for floats.
template <class Float>
void append_layout(std::string& out, Float v, int max_point, int min_point) {
  if (std::signbit(v)) out.push_back('-');
  if (v == Float{0}) {
    out += "0.0";
    return;
  }
  const Digits d = shortest_digits(std::abs(v));
  const int n = d.count;
  const int kk = d.point;
  const int k = kk - n;  // value = digits * 10^k
  if (k >= 0 && kk <= max_point) {
    append_digits(out, d, 0, n);
    out.append(static_cast<std::size_t>(k), '0');
    out += ".0";
  } else if (kk > 0 && kk <= max_point) {
    append_digits(out, d, 0, kk);
    out.push_back('.');
    append_digits(out, d, kk, n);
  } else if (kk > min_point && kk <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-kk), '0');
    append_digits(out, d, 0, n);
  } else {
    out.push_back(d.text[0]);
    if (n > 1) {
      out.push_back('.');
      append_digits(out, d, 1, n);
    }
    out.push_back('e');
    out += std::to_string(kk - 1);
  }
}

}  // namespace

void append_f64_text(std::string& out, double v) { append_layout(out, v, 16, -5); }

void append_f32_text(std::string& out, float v) { append_layout(out, v, 13, -6); }

std::string f64_plain_text(double v) {
  std::string out;
  if (std::signbit(v)) out.push_back('-');
  if (v == 0.0) return out + "0.0";
  const Digits d = shortest_digits(std::abs(v));
  const int n = d.count;
  const int kk = d.point;
  if (kk >= n) {  // an integral value: digits, zeros, ".0"
    append_digits(out, d, 0, n);
    out.append(static_cast<std::size_t>(kk - n), '0');
    out += ".0";
  } else if (kk > 0) {
    append_digits(out, d, 0, kk);
    out.push_back('.');
    append_digits(out, d, kk, n);
  } else {
    out += "0.";
    out.append(static_cast<std::size_t>(-kk), '0');
    append_digits(out, d, 0, n);
  }
  return out;
}

}  // namespace quillmarsh
