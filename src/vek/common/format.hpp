// Number and text formats shared by every textual output of the module.
#pragma once

#include <cstddef>
#include <string>

namespace vek::fmt {

// Fixed notation with exactly `digits` digits after the point, correctly
// rounded (ties to even) from the exact binary value. Negative values keep
// their sign even when they round to zero ("-0.000000"); specials are "NaN",
// "inf" and "-inf".
std::string fixed(double v, int digits);
void append_fixed(std::string& out, double v, int digits);

// One digit, a point, two digits, "e", the exponent without "+" or leading
// zeros: "1.50e-7", "0.00e0", "-2.50e12"; specials as above.
std::string exp2(double v);

// Shortest round-trip form: "1.0", "-0.5", "0.0001", "1e-5", "2.5e-7",
// "1e16", "-1.5e20", "-0.0", "NaN", "inf", "-inf". Exponent form for non-zero
// magnitudes below 1e-4 or from 1e16 up.
std::string shortest(double v);

// Appends the variable character of index i: code point (120 + i) mod 256,
// UTF-8 encoded ("x", "y", "z", "{", ...).
void append_var_char(std::string& out, std::size_t index);

}  // namespace vek::fmt
