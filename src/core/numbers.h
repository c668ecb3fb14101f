// The number rules of stored texts and figures, kept in one place:
// leading-number parsing, numeric tests, 16-bit conversion with halves-to-even
// rounding (overflow is a failure), and the shortest text of a single.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tagvane {

// Thrown when a value does not fit its target type; callers' guards log it.
class OverflowError : public std::runtime_error {
 public:
  OverflowError() : std::runtime_error("Overflow") {}
};

// The value of the leading decimal number of s (after leading blanks),
// 0 when there is none: "12abc" -> 12, "-3.5x" -> -3.5, "abc" -> 0.
double LeadingNumber(std::string_view s);

// True when the whole text (blanks around allowed) is one decimal number,
// optionally signed, with an optional fraction and exponent, whose value a
// double can hold. "" is not, and neither is "1e400" (out of range is
// handled like a non-number).
bool IsNumeric(std::string_view s);

// Rounds to the nearest integer, halves to even (12.5 -> 12, 13.5 -> 14).
double RoundHalfEven(double v);

// 16-bit conversion: halves-to-even rounding; throws OverflowError outside
// -32768..32767.
int16_t ToInt16(double v);
// 32-bit conversion with the same rules.
int32_t ToInt32(double v);
// The 16-bit value of a numeric text, or def when the text is not numeric
// or its rounded value does not fit 16 bits.
int16_t Int16OrDefault(std::string_view text, int16_t def);

// Shortest decimal text of a single-precision value that reads back to the
// same single, with at most seven significant digits and no exponent for
// ordinary magnitudes: 24147.55f -> "24147.55", 100.0f -> "100".
std::string SingleText(float v);

// Shortest text of a double that reads back to it (up to 15 significant
// digits, exponent form beyond).
std::string DoubleText(double v);

}  // namespace tagvane
