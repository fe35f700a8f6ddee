// 24-byte decimal reals (tqbType 3).
//
// Format: the IEEE 754-2008 decimal interchange format of 192 bits with a binary
// integer significand (52 decimal digits, exponent -98354 ... 98253 for the integer
// coefficient), stored as one 192-bit little-endian word: byte 23 holds the sign bit.
//
//   bit 191         sign
//   bits 190..170   combination field: exponent and the top significand bits;
//                   11110... is an infinity, 11111... a NaN (bit 185 set: signalling)
//   bits 169..0     the rest of the significand
//
// A significand above 10^52 - 1 is non-canonical and reads as zero, as the format says.
//
// Collate form: decSextToByteCollateForm turns a value into 26 bytes whose unsigned
// byte order is the numeric order of the values: a class byte (01 -infinity, 02
// negative, 03 zero, 04 positive, 05 +infinity, 06 NaN), then for finite non-zero
// values the adjusted exponent (3 bytes) and the 52 significant digits as a 22-byte
// integer, inverted for negative values.  Equal values give equal forms whatever their
// quantum (1.0, 1.00 and 1 are one form; -0 and +0 are zero), and every NaN sorts
// above +infinity, with every other NaN.
#ifndef TQ_PLATFORM_TQBDECIMAL_H
#define TQ_PLATFORM_TQBDECIMAL_H

#include <cstddef>
#include <cstdint>

#include "tqbexport.h"

constexpr int kTqbDecimalBytes = 24;
constexpr int kTqbDecimalDigits = 52;
constexpr uint32_t kTqbDecimalCollateLength = 26;

// Arithmetic context of the decimal library; only the 192-bit kind is supported.
struct decContext {
  int32_t digits;
  int32_t emax;
  int32_t emin;
  int32_t rounding;  // 0: half even
  uint32_t status;
};

// Fills `context` for the interchange kind given in bits (192).  Returns `context`.
TQB_EXPORT decContext* decContextDefault(decContext* context, int32_t kind);

// Writes the collate form of the 24-byte `value` into `out` and returns its length.
// With `out` null only the length is returned (`value` is not read).  `context` and
// `flags` are accepted for compatibility and not needed.
TQB_EXPORT uint32_t decSextToByteCollateForm(const void* value, const decContext* context,
                                             void* out, uint32_t flags);

// Results of the text conversions, as bits.
enum : int {
  kTqbDecOk = 0,
  kTqbDecInexact = 1,    // more than 52 significant digits: rounded half-even
  kTqbDecSyntax = 2,     // not a number; `out` is untouched
  kTqbDecOverflow = 4,   // exponent too large; `out` is untouched
  kTqbDecUnderflow = 8,  // too small: rounded (possibly to zero)
};

// Parses a decimal number ("-12.50", "1e-3", "Infinity", "NaN") of `length` bytes.
// The quantum is kept: "1.50" has coefficient 150 and exponent -2.
TQB_EXPORT int tqbDecimalFromString(const char* text, size_t length, void* out);
// Converts a 64-bit integer exactly.
TQB_EXPORT void tqbDecimalFromInt64(int64_t value, void* out);
// Writes the value as text (scientific notation for very large or small exponents)
// with a terminating zero; returns the text's length, or 0 when `size` is too small
// (80 bytes always suffice).
TQB_EXPORT size_t tqbDecimalToString(const void* value, char* out, size_t size);
// The nearest double.
TQB_EXPORT double tqbDecimalToDouble(const void* value);
// <0, 0, >0 as a orders against b numerically (NaN above everything, NaNs equal).
TQB_EXPORT int tqbDecimalCompare(const void* a, const void* b);

#endif
