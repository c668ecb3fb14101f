#include "core/numbers.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tagvane {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Length of the decimal number at the start of s (sign, digits, fraction,
// exponent), 0 when none.
size_t NumberLength(std::string_view s, bool allow_exponent) {
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  size_t digits = 0;
  while (i < s.size() && IsDigit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    size_t j = i + 1;
    size_t frac = 0;
    while (j < s.size() && IsDigit(s[j])) ++j, ++frac;
    if (digits + frac > 0) {
      i = j;
      digits += frac;
    }
  }
  if (digits == 0) return 0;
  if (allow_exponent && i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
    size_t exp_digits = 0;
    while (j < s.size() && IsDigit(s[j])) ++j, ++exp_digits;
    if (exp_digits) i = j;
  }
  return i;
}

std::string_view SkipBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

}  // namespace

double LeadingNumber(std::string_view s) {
  s = SkipBlanks(s);
  const size_t n = NumberLength(s, true);
  if (n == 0) return 0.0;
  const std::string text(s.substr(0, n));
  const double v = std::strtod(text.c_str(), nullptr);
  return std::isfinite(v) ? v : 0.0;
}

bool IsNumeric(std::string_view s) {
  s = SkipBlanks(s);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  if (s.empty()) return false;
  if (NumberLength(s, true) != s.size()) return false;
  const std::string text(s);
  return std::isfinite(std::strtod(text.c_str(), nullptr));
}

double RoundHalfEven(double v) { return std::nearbyint(v); }

int16_t ToInt16(double v) {
  const double r = RoundHalfEven(v);
  if (!(r >= -32768.0 && r <= 32767.0)) throw OverflowError();
  return static_cast<int16_t>(r);
}

int32_t ToInt32(double v) {
  const double r = RoundHalfEven(v);
  if (!(r >= -2147483648.0 && r <= 2147483647.0)) throw OverflowError();
  return static_cast<int32_t>(r);
}

int16_t Int16OrDefault(std::string_view text, int16_t def) {
  if (!IsNumeric(text)) return def;
  const double r = RoundHalfEven(LeadingNumber(text));
  if (!(r >= -32768.0 && r <= 32767.0)) return def;
  return static_cast<int16_t>(r);
}

namespace {

// Renders the digits/exponent of a %.*e text positionally for magnitudes
// between 1E-5 and 1E15 (exponent form beyond).
std::string Positional(const char* sci, int max_exp) {
  // sci looks like "-1.2345e+04".
  std::string s(sci);
  bool negative = false;
  if (!s.empty() && s[0] == '-') {
    negative = true;
    s.erase(0, 1);
  }
  const size_t e = s.find('e');
  std::string mantissa = s.substr(0, e);
  const int exp = std::atoi(s.c_str() + e + 1);
  std::string digits;
  for (char c : mantissa) {
    if (c != '.') digits.push_back(c);
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  std::string out;
  if (exp >= max_exp || exp < -5) {
    out = digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    char buf[16];
    std::snprintf(buf, sizeof buf, "E%c%02d", exp < 0 ? '-' : '+', std::abs(exp));
    out += buf;
  } else if (exp < 0) {
    out = "0." + std::string(static_cast<size_t>(-exp - 1), '0') + digits;
  } else {
    const size_t int_len = static_cast<size_t>(exp) + 1;
    if (digits.size() <= int_len) {
      out = digits + std::string(int_len - digits.size(), '0');
    } else {
      out = digits.substr(0, int_len) + "." + digits.substr(int_len);
    }
  }
  return negative ? "-" + out : out;
}

}  // namespace

std::string SingleText(float v) {
  if (v == 0.0f) return "0";
  if (!std::isfinite(v)) return std::isnan(v) ? "NaN" : (v > 0 ? "Infinity" : "-Infinity");
  char buf[64];
  for (int p = 0; p < 7; ++p) {
    std::snprintf(buf, sizeof buf, "%.*e", p, static_cast<double>(v));
    if (std::strtof(buf, nullptr) == v) return Positional(buf, 7);
  }
  std::snprintf(buf, sizeof buf, "%.*e", 6, static_cast<double>(v));
  return Positional(buf, 7);
}

std::string DoubleText(double v) {
  if (v == 0.0) return "0";
  if (!std::isfinite(v)) return std::isnan(v) ? "NaN" : (v > 0 ? "Infinity" : "-Infinity");
  char buf[64];
  for (int p = 0; p < 15; ++p) {
    std::snprintf(buf, sizeof buf, "%.*e", p, v);
    if (std::strtod(buf, nullptr) == v) return Positional(buf, 15);
  }
  std::snprintf(buf, sizeof buf, "%.*e", 14, v);
  return Positional(buf, 15);
}

}  // namespace tagvane
