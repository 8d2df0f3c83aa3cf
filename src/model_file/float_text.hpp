// Decimal text of floats: the shortest round-trip digits of a 64-bit or 32-bit float laid out
// as the model file writes them, and the plain positional form used inside error messages.
#pragma once

#include <string>

namespace quillmarsh {

// Appends the model-file text of a finite double: shortest round-trip digits, positional
// when the decimal exponent is small (1.0, 1234000.0, 12.34, 0.001234), otherwise
// scientific (1e16, 1.5e-7). Precondition: v is finite (the writer emits null otherwise).
void append_f64_text(std::string& out, double v);

// The same layout for a finite float, with the positional range narrowed to the shorter
// digit strings of single precision (1e13 is written "1e13", 1e-6 as "0.000001").
void append_f32_text(std::string& out, float v);

// Positional text of a finite double with at least one digit after a point: the shortest
// digits written out without an exponent (1e20 -> "100000000000000000000.0",
// 1e-7 -> "0.0000001", -0.0 -> "-0.0"). Used where a message quotes a parsed number.
std::string f64_plain_text(double v);

}  // namespace quillmarsh
