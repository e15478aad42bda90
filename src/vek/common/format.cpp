#include "vek/common/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace vek::fmt {

namespace {

// Handles NaN and the infinities; returns false for finite values.
bool append_special(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "NaN";
    return true;
  }
  if (std::isinf(v)) {
    out += v < 0 ? "-inf" : "inf";
    return true;
  }
  return false;
}

// Rewrites the exponent of to_chars' scientific output ("e-07", "e+16")
// into the plain form ("e-7", "e16").
void append_plain_exponent(std::string& out, const char* first, const char* last) {
  const char* e = first;
  while (e != last && *e != 'e') ++e;
  out.append(first, e);
  if (e == last) return;
  out += 'e';
  const char* p = e + 1;
  if (p != last && (*p == '+' || *p == '-')) {
    if (*p == '-') out += '-';
    ++p;
  }
  while (p + 1 < last && *p == '0') ++p;
  out.append(p, last);
}

}  // namespace

void append_fixed(std::string& out, double v, int digits) {
  if (append_special(out, v)) return;
  // Large enough for 1.8e308 with up to 17 fractional digits.
  char buf[400];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, digits);
  out.append(buf, res.ptr);
}

std::string fixed(double v, int digits) {
  std::string s;
  append_fixed(s, v, digits);
  return s;
}

std::string exp2(double v) {
  std::string out;
  if (append_special(out, v)) return out;
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, 2);
  append_plain_exponent(out, buf, res.ptr);
  return out;
}

std::string shortest(double v) {
  std::string out;
  if (append_special(out, v)) return out;
  char buf[400];
  const double mag = std::fabs(v);
  if (mag != 0.0 && (mag < 1e-4 || mag >= 1e16)) {
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    append_plain_exponent(out, buf, res.ptr);
    return out;
  }
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  out.append(buf, res.ptr);
  if (out.find('.') == std::string::npos) out += ".0";
  return out;
}

void append_var_char(std::string& out, std::size_t index) {
  const unsigned cp = static_cast<unsigned>((120 + index) % 256);  // unsigned wrap is intended
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace vek::fmt
