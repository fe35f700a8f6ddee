// Sort key encoding.
//
// A row's key is the concatenation, in key order, of one encoding per key field, and
// with the stable option the row's 8-byte sequence number (written by addRow).
// Comparing two keys as unsigned byte strings gives the sort order, so sorting,
// ordering chunks and merging never look at types.  Each field encoding is a presence
// byte (ascending: 1 for a value, 0 for null; descending: 0 and 1), so a null is the
// lowest value in both directions, then the value bytes, most significant first:
//
//   boolean  1 byte   1 / 0
//   integer  8 bytes  the value with its sign bit flipped
//   date     8 bytes  the double made order-preserving: a positive value gets its sign
//                     bit set, a negative one every bit inverted, so that every date,
//                     before 1970 included, orders numerically
//   real     the decimal collate form (tqbdecimal.h), through the decimal callback
//   string   the bytes with their terminating zero
//
// Descending inverts the value bytes.  A null's value bytes are zeros (a string's one
// zero byte).  No encoding is a proper prefix of another of the same field, which is
// what lets keys be compared without knowing where fields end.
//
// A writer that does not fit before the write bound (chunkSize_, set to the index
// limit) returns 1 and writes nothing.
#include <cstring>

#include "platform/tqbassert.h"
#include "src/dataabs_format.h"
#include "src/sortvorn.h"

namespace {

inline void putBigEndian(uint8_t* p, uint64_t v, bool invert) {
  if (invert) v = ~v;
  for (int b = 0; b < 8; ++b) p[b] = static_cast<uint8_t>(v >> (56 - 8 * b));
}

// The 9-byte encoding of an integer or date: presence byte, then the value already
// made order-preserving as an unsigned 64-bit number (zeros for a null).
inline void putNumberKey(uint8_t* p, bool present, uint64_t ordered, bool ascending) {
  if (!present) {
    p[0] = ascending ? 0 : 1;
    std::memset(p + 1, 0, 8);
    return;
  }
  p[0] = ascending ? 1 : 0;
  putBigEndian(p + 1, ordered, !ascending);
}

}  // namespace

int32_t TqSortVornImpl::writeBooleanKey(TqDatafileField& column, IndexEntry& entry, bool ascending) {
  if (static_cast<int64_t>(chunkSize_) - position_ < 2) return StatusNoRoom;
  entry.keyLength += 2;
  uint8_t* p = buffer_ + position_;
  if (column.value.isNull()) {
    p[0] = ascending ? 0 : 1;
    p[1] = 0;
  } else {
    bool error = false;
    uint8_t v = column.value.asBool(&error) ? 1 : 0;
    p[0] = ascending ? 1 : 0;
    p[1] = ascending ? v : static_cast<uint8_t>(~v);
    if (error) TQB_ASSERT_FAIL("Wrong type of data in TqbDatavar");
  }
  position_ += 2;
  return StatusOk;
}

int32_t TqSortVornImpl::writeIntegerKey(TqDatafileField& column, IndexEntry& entry, bool ascending) {
  if (static_cast<int64_t>(chunkSize_) - position_ < 9) return StatusNoRoom;
  entry.keyLength += 9;
  // A raw integer is carried in rawValue and is never null.
  bool present = column.rawInteger || !column.value.isNull();
  bool error = false;
  int64_t v = column.rawInteger ? column.rawValue : (present ? column.value.asInt64(&error) : 0);
  putNumberKey(buffer_ + position_, present, static_cast<uint64_t>(v) ^ 0x8000000000000000ull, ascending);
  if (error) TQB_ASSERT_FAIL("Wrong type of data in TqbDatavar");
  position_ += 9;
  return StatusOk;
}

int32_t TqSortVornImpl::writeDateKey(TqDatafileField& column, IndexEntry& entry, bool ascending) {
  if (static_cast<int64_t>(chunkSize_) - position_ < 9) return StatusNoRoom;
  entry.keyLength += 9;
  bool present = !column.value.isNull();
  bool error = false;
  double d = present ? column.value.asDouble(&error) : 0.0;
  uint64_t bits;
  std::memcpy(&bits, &d, 8);
  bits = (bits & 0x8000000000000000ull) ? ~bits : (bits | 0x8000000000000000ull);
  putNumberKey(buffer_ + position_, present, bits, ascending);
  if (error) TQB_ASSERT_FAIL("Wrong type of data in TqbDatavar");
  position_ += 9;
  return StatusOk;
}

int32_t TqSortVornImpl::writeRealKey(TqDatafileField& column, IndexEntry& entry, bool ascending) {
  int64_t size = 1 + static_cast<int64_t>(realCollateLength_);
  int64_t room = static_cast<int64_t>(chunkSize_) - position_;
  if (room < size) return StatusNoRoom;
  entry.keyLength += static_cast<uint32_t>(size);
  uint8_t* p = buffer_ + position_;
  // The source is always exactly 24 bytes: a value of another size is cut or padded.
  alignas(8) uint8_t source[kTqbDecimalBytes] = {};
  if (column.value.isNull()) {
    p[0] = ascending ? 0 : 1;
    std::memset(p + 1, 0, realCollateLength_);
  } else {
    if (column.value.type() != tqbTypeReal) TQB_ASSERT_FAIL("Wrong type of data in TqbDatavar");
    size_t n = 0;
    const void* raw = column.value.getRaw(&n);
    if (n != kTqbDecimalBytes) TQB_ASSERT_FAIL("Wrong size of real in TqbDatavar");
    std::memcpy(source, raw, n < sizeof(source) ? n : sizeof(source));
    p[0] = ascending ? 1 : 0;
  }
  uint32_t written = 0;
  decimalBlock_.callback(&decimalBlock_, source, kTqbDecimalBytes, p + 1,
                         static_cast<uint32_t>(room - 1), ascending ? 0 : 1, &written);
  if (written != realCollateLength_) TQB_ASSERT_FAIL("Wrong real collate length");
  position_ += size;
  return StatusOk;
}

int32_t TqSortVornImpl::writeStringKey(TqDatafileField& column, IndexEntry& entry, bool ascending) {
  const uint8_t* raw = nullptr;
  size_t n = 0;
  bool null = column.value.isNull();
  if (!null) {
    // The bytes the row stores for the value (a value of another type as its text),
    // after the checks on the caller's value.
    uint32_t count = 0;
    raw = tqrow::stringBytes(column, &count);
    n = count;
  }
  int64_t size = null ? 2 : 1 + static_cast<int64_t>(n);
  if (static_cast<int64_t>(chunkSize_) - position_ < size) return StatusNoRoom;
  entry.keyLength += static_cast<uint32_t>(size);
  uint8_t* p = buffer_ + position_;
  if (null) {
    p[0] = ascending ? 0 : 1;
    p[1] = 0;
  } else {
    p[0] = ascending ? 1 : 0;
    if (ascending) {
      std::memcpy(p + 1, raw, n);
    } else {
      for (size_t i = 0; i < n; ++i) p[1 + i] = static_cast<uint8_t>(~raw[i]);
    }
    if (static_cast<int64_t>(n) > column.longestValue) column.longestValue = static_cast<int32_t>(n);
  }
  position_ += size;
  return StatusOk;
}
