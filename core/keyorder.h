// The order of the sort's numbers as unsigned 64-bit integers: a value's ordered form
// compares, as an unsigned number, as the value sorts.  The key encoder (sortkey.h)
// writes these forms most significant byte first; the value type's comparison
// (TqbDatavar::compare) orders dates by the same form, so that values compare as their
// keys sort.
//
//   integer  the two's complement with its sign bit flipped: INT64_MIN is 0
//   date     the double's bits with the sign bit set for a positive value and every bit
//            flipped for a negative one, so that every date orders numerically (dates
//            before 1970 are negative); -0.0 is 0.0, and every NaN, whatever its sign
//            and payload, is one value above +infinity
//
// Standard library only: the platform's value type includes this header.
#ifndef TQ_CORE_KEYORDER_H
#define TQ_CORE_KEYORDER_H

#include <cstdint>
#include <cstring>

namespace tqkey {

constexpr uint64_t kSignBit = uint64_t{1} << 63;
// The one NaN every NaN orders as: the quiet NaN with no payload, above +infinity.
constexpr uint64_t kOrderedNaNBits = 0x7ff8000000000000ull;

inline uint64_t orderedInteger(int64_t value) { return static_cast<uint64_t>(value) ^ kSignBit; }

inline uint64_t orderedDate(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, 8);
  if (value == 0.0) {
    bits = 0;  // -0.0 equals 0.0
  } else if (value != value) {
    bits = kOrderedNaNBits;
  }
  return (bits & kSignBit) != 0 ? ~bits : bits | kSignBit;
}

}  // namespace tqkey

#endif
