// Typed key values for tqsort: each parser is true only when the whole text is a value
// of its type.
#ifndef TQ_TOOLS_TQSORT_VALUES_H
#define TQ_TOOLS_TQSORT_VALUES_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace tqsort {

// Blanks (space, tab) removed at both ends.
void trimBlanks(const char** data, size_t* length);

// An optional sign and decimal digits, within the 64-bit range.
bool parseInt64(const char* data, size_t length, int64_t* value);

// YYYY-MM-DD with a year from 0001 to 9999; checks the calendar (proleptic Gregorian).
bool parseDate(const char* data, size_t length, int* year, int* month, int* day);

// true/false, yes/no, t/f, y/n, 1/0, in any letter case.
bool parseBool(const char* data, size_t length, bool* value);

// The longest exponent (after 'e') a decimal text may carry beyond its digit count.
// The 24-byte decimal holds exponents of about +-98000, so a text past this bound is
// never an exact value, and refusing it before conversion bounds the conversion's work.
constexpr int64_t kDecimalExponentBound = 100000;

// True when the text is a plain decimal number: optional sign, digits with at most one
// point (at least one digit), an optional exponent; no infinities, no NaNs, and an
// exponent within kDecimalExponentBound plus the number of digits.
bool isDecimalText(const char* data, size_t length);

// A decimal number, exactly (at most 52 significant digits), as the 24-byte decimal.
bool parseDecimal(const char* data, size_t length, uint8_t out[24]);

// The number at the start of a field as a numeric sort reads it (-n): blanks skipped,
// an optional '-', digits with at most one point; whatever follows is ignored, and a
// field without such a number is 0.  The number's text goes to *text, without zeros
// that do not change its value (so that equal numbers have equal texts): "-007.50x"
// gives "-7.5", "-0" and "abc" give "0".
void leadingNumber(const char* data, size_t length, std::string* text);

// The number at the start of a field as a general numeric sort reads it (-g): blanks
// skipped, an optional sign, digits with at most one point and an optional exponent;
// whatever follows is ignored.  False when the field starts with no such number (it
// sorts before every number).
bool generalNumber(const char* data, size_t length, std::string* text);

}  // namespace tqsort

#endif
