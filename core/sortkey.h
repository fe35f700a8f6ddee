// The order-preserving key encoding: every sort of the library, the external sort
// engine and tqsort turn values into key bytes here, so that they all order and group
// the same values the same way.  Comparing two keys as unsigned byte strings gives the
// sort order; two values are one group exactly when their encodings are equal.
//
// Value encodings, most significant byte first:
//
//   byte     the byte (a boolean: 1 true, 0 false)                          1 byte
//   integer  orderedInteger (keyorder.h): the sign bit flipped              8 bytes
//   date     orderedDate (keyorder.h): numeric order of the double; -0.0    8 bytes
//            is 0.0, every NaN one value above +infinity
//   real     the 24-byte decimal's collate form (tqbdecimal.h): numeric     26 bytes
//            order whatever the quantum; -0 is 0, every NaN one value above
//            +infinity, every exponent from the smallest to the largest
//   string   the bytes, then a zero terminator (putString), or zero        n + 1 or
//            padded to a fixed width (putPaddedString); either way a        width bytes
//            string sorts before every longer string that begins with it
//
// Descending inverts every value byte.  No encoding of a type is a proper prefix of
// another of the same type, so keys of several fields compare field by field without
// knowing where a field ends.
//
// A field's key (put...Key) is a presence byte, then the value bytes:
//
//   presence   ascending: 1 for a value, 0 for null; descending: 0 and 1
//   null       zeros in place of the value bytes (a string: one zero byte; a real:
//              the collate form of zero, in the field's direction)
//
// so a null is the lowest value of its field in both directions: first when
// ascending, last when descending.
//
// Everything is inline: the chunk sorts' key writers run per row and field.
#ifndef TQ_CORE_SORTKEY_H
#define TQ_CORE_SORTKEY_H

#include <cstdint>
#include <cstring>

#include "core/keyorder.h"
#include "platform/tqbdecimal.h"

namespace tqkey {

constexpr uint32_t kBooleanKeyBytes = 2;
constexpr uint32_t kNumberKeyBytes = 9;  // integers and dates
constexpr uint32_t kRealValueBytes = kTqbDecimalCollateLength;
constexpr uint32_t kRealKeyBytes = 1 + kRealValueBytes;
constexpr uint32_t kNullStringKeyBytes = 2;

inline void invert(uint8_t* p, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(~p[i]);
}

inline void storeBigEndian(uint8_t* p, uint64_t v) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  std::memcpy(p, &v, 8);
}

inline uint64_t loadBigEndian(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

// The `length` bytes at p (sizeof(Word) to 2 * sizeof(Word)) as the high bytes of a
// big-endian number, zero below: two loads of a Word, the first and the last, which
// overlap inside them (the bytes both hold are the same) and never reach past them.
template <typename Word>
inline uint64_t loadOverlapping(const uint8_t* p, size_t length) {
  Word first, last;
  std::memcpy(&first, p, sizeof(Word));
  std::memcpy(&last, p + length - sizeof(Word), sizeof(Word));
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  if constexpr (sizeof(Word) == 4) {
    first = __builtin_bswap32(first);
    last = __builtin_bswap32(last);
  } else {
    first = __builtin_bswap16(first);
    last = __builtin_bswap16(last);
  }
#endif
  return (uint64_t{first} << (64 - 8 * sizeof(Word))) | (uint64_t{last} << (8 * (8 - length)));
}

// The first 8 bytes of a key of `length` bytes as a big-endian number, zero-padded: two
// keys whose numbers differ order as the numbers do (shorter keys padded with zeros
// tie with longer ones that continue with zeros, and are compared in full).
// A short key is read with two loads that overlap inside it, never past its end and
// never through a buffer: bytes stored one at a time and read back as a word stall the
// processor until the stores retire, and the chunk sorts take this for every row added.
inline uint64_t loadPrefix(const uint8_t* p, size_t length) {
  if (length >= 8) return loadBigEndian(p);
  if (length >= 4) return loadOverlapping<uint32_t>(p, length);
  if (length >= 2) return loadOverlapping<uint16_t>(p, length);
  return length == 1 ? uint64_t{p[0]} << 56 : 0;
}

// The presence byte of a field's key.
inline uint8_t presence(bool null, bool ascending) { return null != ascending ? 1 : 0; }

// --- values ---------------------------------------------------------------------------

inline void putByte(uint8_t* p, uint8_t value, bool descending) {
  p[0] = descending ? static_cast<uint8_t>(~value) : value;
}

inline void putInteger(uint8_t* p, int64_t value, bool descending) {
  uint64_t v = orderedInteger(value);
  storeBigEndian(p, descending ? ~v : v);
}

inline void putDate(uint8_t* p, double value, bool descending) {
  uint64_t v = orderedDate(value);
  storeBigEndian(p, descending ? ~v : v);
}

// `value`: the 24 bytes of a decimal (any alignment).
inline void putReal(uint8_t* p, const void* value, bool descending) {
  decSextToByteCollateForm(value, nullptr, p, 0);
  if (descending) invert(p, kRealValueBytes);
}

// `length` bytes that hold no zero byte, then the terminator; returns length + 1.
inline uint32_t putString(uint8_t* p, const uint8_t* bytes, uint32_t length, bool descending) {
  if (descending) {
    for (uint32_t i = 0; i < length; ++i) p[i] = static_cast<uint8_t>(~bytes[i]);
    p[length] = 0xff;
  } else {
    std::memcpy(p, bytes, length);
    p[length] = 0;
  }
  return length + 1;
}

// `length` bytes (at most `width`; any bytes after a zero byte among them must be
// zeros too), then zeros up to `width` bytes.
inline void putPaddedString(uint8_t* p, const uint8_t* bytes, uint32_t length, uint32_t width,
                            bool descending) {
  if (descending) {
    for (uint32_t i = 0; i < length; ++i) p[i] = static_cast<uint8_t>(~bytes[i]);
    std::memset(p + length, 0xff, width - length);
  } else if (length < width) {
    std::memcpy(p, bytes, length);
    std::memset(p + length, 0, width - length);
  } else {
    std::memcpy(p, bytes, length);
  }
}

// --- fields: presence byte and value ----------------------------------------------------

inline void putBooleanKey(uint8_t* p, bool null, bool value, bool ascending) {
  p[0] = presence(null, ascending);
  if (null) {
    p[1] = 0;
  } else {
    putByte(p + 1, value ? 1 : 0, !ascending);
  }
}

inline void putIntegerKey(uint8_t* p, bool null, int64_t value, bool ascending) {
  p[0] = presence(null, ascending);
  if (null) {
    std::memset(p + 1, 0, 8);
  } else {
    putInteger(p + 1, value, !ascending);
  }
}

inline void putDateKey(uint8_t* p, bool null, double value, bool ascending) {
  p[0] = presence(null, ascending);
  if (null) {
    std::memset(p + 1, 0, 8);
  } else {
    putDate(p + 1, value, !ascending);
  }
}

// `value`: the 24 bytes of a decimal, or null.
inline void putRealKey(uint8_t* p, const void* value, bool ascending) {
  static constexpr uint8_t kZero[kTqbDecimalBytes] = {};
  p[0] = presence(value == nullptr, ascending);
  putReal(p + 1, value != nullptr ? value : kZero, !ascending);
}

// Bytes of a string field's key: `length` value bytes (without a terminator).
inline uint32_t stringKeyBytes(bool null, uint32_t length) {
  return null ? kNullStringKeyBytes : 2 + length;
}

// `bytes`: `length` bytes without a zero, or null; returns the bytes written.
inline uint32_t putStringKey(uint8_t* p, const uint8_t* bytes, uint32_t length, bool ascending) {
  p[0] = presence(bytes == nullptr, ascending);
  if (bytes == nullptr) {
    p[1] = 0;
    return kNullStringKeyBytes;
  }
  return 1 + putString(p + 1, bytes, length, !ascending);
}

// 1 + `width` bytes; `bytes` as putPaddedString, or null.
inline void putPaddedStringKey(uint8_t* p, const uint8_t* bytes, uint32_t length, uint32_t width,
                               bool ascending) {
  p[0] = presence(bytes == nullptr, ascending);
  if (bytes == nullptr) {
    std::memset(p + 1, 0, width);
  } else {
    putPaddedString(p + 1, bytes, length, width, !ascending);
  }
}

// --- reading a field's key back ---------------------------------------------------------
// The inverses of the put...Key writers, for a host that keeps a value only in its key:
// each returns false for a null (its value untouched) and reads the value otherwise.
// A date comes back as the value it orders as: -0.0 as 0.0, every NaN as the one NaN.
// A real is not read back: its collate form keeps the number, not the decimal's
// quantum (1.0 and 1.00 have one key).

inline bool getBooleanKey(const uint8_t* p, bool ascending, bool* value) {
  if (p[0] == presence(true, ascending)) return false;
  *value = (ascending ? p[1] : static_cast<uint8_t>(~p[1])) != 0;
  return true;
}

inline bool getIntegerKey(const uint8_t* p, bool ascending, int64_t* value) {
  if (p[0] == presence(true, ascending)) return false;
  uint64_t v = loadBigEndian(p + 1);
  *value = static_cast<int64_t>((ascending ? v : ~v) ^ kSignBit);
  return true;
}

inline bool getDateKey(const uint8_t* p, bool ascending, double* value) {
  if (p[0] == presence(true, ascending)) return false;
  uint64_t v = loadBigEndian(p + 1);
  if (!ascending) v = ~v;
  uint64_t bits = (v & kSignBit) != 0 ? v & ~kSignBit : ~v;
  std::memcpy(value, &bits, 8);
  return true;
}

// The bytes of a string field's key that starts at `p`, `n` bytes at most, up to and
// with its terminator; 0 when no terminator is within `n` bytes.  A value that holds
// a zero byte ends early here: only a field whose value holds none is found this way.
inline uint32_t stringKeyLength(const uint8_t* p, uint32_t n, bool ascending) {
  if (n < kNullStringKeyBytes) return 0;
  if (p[0] == presence(true, ascending)) return kNullStringKeyBytes;
  const void* end = std::memchr(p + 1, ascending ? 0x00 : 0xff, n - 1);
  return end == nullptr ? 0 : static_cast<uint32_t>(static_cast<const uint8_t*>(end) - p) + 1;
}

}  // namespace tqkey

#endif
