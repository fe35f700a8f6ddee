// The row format's field encodings, shared by the memory serializers (dataabs.cc), the
// file serializers (datafile.cc) and the sort engine's rows.
//
// Every field starts with a null flag (1 null, 0 a value; a reader takes anything but
// 1 as a value), then its value bytes, little-endian:
//   boolean 2 bytes, integer 9, date 9, real 25 (the 24 raw bytes of the decimal),
//   variable-layout string: flag, length prefix (1 byte n < 127, else 4 bytes of n
//   big-endian with the top bit set), n raw bytes with the terminating zero;
//   fixed-layout string: flag and maxLength + 1 bytes, zero-padded.
// Checks on the caller's values are reported through tqbAssertFailure and never stop a
// write: a value of the wrong type is converted, a real of the wrong size is cut or
// zero-padded to 24 bytes.  A string longer than its field's maximum is kept whole by
// the variable layout; a fixed layout refuses the row (its width cannot hold the value,
// and a cut would lose what the caller stored).  Nothing is ever written beyond a
// field's width.
#ifndef TQ_SRC_DATAABS_FORMAT_H
#define TQ_SRC_DATAABS_FORMAT_H

#include <cstdio>
#include <cstring>

#include "platform/tqbassert.h"
#include "platform/tqbdecimal.h"
#include "tqdatafile/field.h"

namespace tqlib {

namespace tqrow {

constexpr int kBooleanWidth = 2;
constexpr int kNumberWidth = 9;  // integers and dates
constexpr int kRealWidth = 25;

inline int prefixLength(uint32_t n) { return n < 127 ? 1 : 4; }

inline void putPrefix(uint8_t* p, uint32_t n) {
  if (n < 127) {
    p[0] = static_cast<uint8_t>(n);
  } else {
    p[0] = static_cast<uint8_t>((n >> 24) | 0x80);
    p[1] = static_cast<uint8_t>(n >> 16);
    p[2] = static_cast<uint8_t>(n >> 8);
    p[3] = static_cast<uint8_t>(n);
  }
}

// The 31-bit length of a four-byte prefix whose first byte is `first`.
inline uint32_t longPrefix(uint8_t first, const uint8_t* rest) {
  return ((static_cast<uint32_t>(first) & 0x7F) << 24) | (static_cast<uint32_t>(rest[0]) << 16) |
         (static_cast<uint32_t>(rest[1]) << 8) | rest[2];
}

inline void encodeBoolean(const TqDatafileField& field, uint8_t* p) {
  p[0] = 1;
  p[1] = 0;
  if (field.value.isNull()) return;
  bool error = false;
  bool v = field.value.asBool(&error);
  if (error) TQB_ASSERT_FAIL("Wrong type of data in TqbDatavar");
  p[0] = 0;
  p[1] = v ? 1 : 0;
}

// A raw integer is carried in rawValue and is never null.
inline void encodeInteger(const TqDatafileField& field, uint8_t* p) {
  int64_t v = 0;
  p[0] = 1;
  if (field.rawInteger) {
    v = field.rawValue;
    p[0] = 0;
  } else if (!field.value.isNull()) {
    bool error = false;
    v = field.value.asInt64(&error);
    if (error) TQB_ASSERT_FAIL("Wrong type of data in TqbDatavar");
    p[0] = 0;
  }
  std::memcpy(p + 1, &v, 8);
}

inline void encodeDate(const TqDatafileField& field, uint8_t* p) {
  double v = 0.0;
  p[0] = 1;
  if (!field.value.isNull()) {
    bool error = false;
    v = field.value.asDouble(&error);
    if (error) TQB_ASSERT_FAIL("Wrong type of data in TqbDatavar");
    p[0] = 0;
  }
  std::memcpy(p + 1, &v, 8);
}

inline void encodeReal(const TqDatafileField& field, uint8_t* p) {
  std::memset(p, 0, kRealWidth);
  p[0] = 1;
  if (field.value.isNull()) return;
  if (field.value.type() != tqbTypeReal) TQB_ASSERT_FAIL("Wrong type of data in TqbDatavar");
  size_t n = 0;
  const void* raw = field.value.getRaw(&n);
  if (n != 24) TQB_ASSERT_FAIL("Wrong size of real in TqbDatavar");
  std::memcpy(p + 1, raw, n < 24 ? n : 24);
  p[0] = 0;
}

// The bytes of a non-null value stored into a string field, its terminating zero
// included (`*n` counts it), without the checks of stringBytes.  A value of another
// type is stored as its text, so that what the caller gave is kept in a readable form
// rather than as raw binary bytes; the text lives in a per-thread scratch area until
// the next call.
inline const uint8_t* valueBytes(const TqDatafileField& field, uint32_t* n) {
  thread_local char text[96];
  const char* raw = nullptr;
  size_t size = 0;
  switch (field.value.type()) {
    case tqbTypeString:
      raw = static_cast<const char*>(field.value.getRaw(&size));
      break;
    case tqbTypeBoolean:
      raw = field.value.asBool(nullptr) ? "true" : "false";
      size = std::strlen(raw) + 1;
      break;
    case tqbTypeInteger:
      size = static_cast<size_t>(std::snprintf(text, sizeof(text), "%lld",
                                               static_cast<long long>(field.value.asInt64(nullptr)))) + 1;
      raw = text;
      break;
    case tqbTypeDate: {
      int y = 0, m = 0, d = 0;
      TqbDate(field.value.asDouble(nullptr)).toYmd(&y, &m, &d);
      size = static_cast<size_t>(std::snprintf(text, sizeof(text), "%04d-%02d-%02d", y, m, d)) + 1;
      raw = text;
      break;
    }
    case tqbTypeReal: {
      size_t count = 0;
      const void* bytes = field.value.getRaw(&count);
      text[0] = '\0';
      if (count == 24) tqbDecimalToString(bytes, text, sizeof(text));
      size = std::strlen(text) + 1;
      raw = text;
      break;
    }
    default:
      raw = "";
      size = 1;
      break;
  }
  *n = static_cast<uint32_t>(size);
  return reinterpret_cast<const uint8_t*>(raw);
}

// valueBytes, with the checks on the caller's value reported: a value of another type
// ("Wrong type of data in TqbDatavar"), a value longer than the field's maximum
// ("String exceeds maximum length").
inline const uint8_t* stringBytes(const TqDatafileField& field, uint32_t* n) {
  const uint8_t* raw = valueBytes(field, n);
  if (field.value.type() != tqbTypeString) TQB_ASSERT_FAIL("Wrong type of data in TqbDatavar");
  if (*n > 0 && static_cast<int64_t>(*n) - 1 > field.maxLength) {
    TQB_ASSERT_FAIL("String exceeds maximum length");
  }
  return raw;
}

inline void noteLongest(TqDatafileField& field, uint32_t n) {
  if (n > 0 && static_cast<int32_t>(n) > field.longestValue) field.longestValue = static_cast<int32_t>(n);
}

// The value of a fixed-layout string field: its bytes and their count with the
// terminator, as stringBytes gives them (null: none, 0).  False when the field's
// maxLength + 1 bytes cannot hold them: the row is refused.
inline bool fixedStringValue(const TqDatafileField& field, const uint8_t** raw, uint32_t* n) {
  *raw = nullptr;
  *n = 0;
  if (field.value.isNull()) return true;
  *raw = stringBytes(field, n);
  return *n <= static_cast<uint32_t>(field.maxLength) + 1;
}

// The whole fixed-layout field, maxLength + 2 bytes, of a value that fits it
// (fixedStringValue).
inline void encodeFixedString(const TqDatafileField& field, const uint8_t* raw, uint32_t n, uint8_t* p) {
  std::memset(p, 0, static_cast<size_t>(field.maxLength) + 2);
  if (raw == nullptr) {
    p[0] = 1;
    return;
  }
  std::memcpy(p + 1, raw, n);
}

inline void decodeBoolean(TqDatafileField& field, const uint8_t* p) {
  if (p[0] == 1) {
    field.value.setNull();
  } else {
    field.value.assign(p[1] == 1);
  }
}

inline void decodeInteger(TqDatafileField& field, const uint8_t* p) {
  if (p[0] == 1) {
    field.value.setNull();  // a raw integer keeps its last rawValue
    return;
  }
  int64_t v;
  std::memcpy(&v, p + 1, 8);
  if (field.rawInteger) {
    field.rawValue = v;
  } else {
    field.value.assign(v);
  }
}

inline void decodeDate(TqDatafileField& field, const uint8_t* p) {
  if (p[0] == 1) {
    field.value.setNull();
    return;
  }
  double v;
  std::memcpy(&v, p + 1, 8);
  field.value.assign(TqbDate(v));
}

// Reals and strings copy their bytes into the value: false when it has no memory.
inline bool decodeBytes(TqDatafileField& field, uint8_t flag, tqbType type, const uint8_t* bytes,
                        uint32_t n) {
  if (flag == 1) {
    field.value.setNull();
    return true;
  }
  return field.value.assign(type, bytes, n);
}

// A fixed-layout string: the value is the text up to its first zero byte, without the
// padding, so that a value read back and stored again is the same value (and sorts,
// groups and compares the same) as the one first stored.
inline bool decodeFixedString(TqDatafileField& field, const uint8_t* p, uint32_t n) {
  const void* zero = std::memchr(p + 1, 0, n);
  if (zero != nullptr) n = static_cast<uint32_t>(static_cast<const uint8_t*>(zero) - (p + 1)) + 1;
  return decodeBytes(field, p[0], tqbTypeString, p + 1, n);
}

}  // namespace tqrow

}  // namespace tqlib

#endif
