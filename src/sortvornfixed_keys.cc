// Key writers of the fixed-length chunk sort.  They run on the pool, in the sort item's
// key pass, and read the field's value from the record's row bytes: the field's value
// at its rowOffset, its null indicator in the byte before.  Each writes at its key's
// offset in the record's key area, a presence byte (ascending: 1 for a value, 0 for
// null; descending: 0 and 1, so a null is the lowest value both ways) and the value
// bytes, most significant first, inverted for descending:
//
//   boolean   1 byte    the stored byte (0 or 1)
//   integer   8 bytes   the value with its sign bit flipped
//   date      8 bytes   the double made order-preserving (dates before 1970 included)
//   real      the decimal collate form, through the sortfile's decimal callback
//   string    maxLength + 1 bytes: the stored bytes with their zero padding, so a
//             string sorts before every longer string that begins with it
//
// A null's value bytes are zeros (a real's: the collate form of a zero value).  They
// never fail, and several sort items run them at once: they touch only the record,
// the field record and the decimal callback, which keeps no state.
#include <cstring>

#include "src/sortvornfixed.h"

namespace {

inline bool isNull(const TqDatafileField& field, const uint8_t* record) {
  return record[field.rowOffset - 1] != 0;
}

// The 9-byte encoding of an integer or date: the order-preserving number, or zeros.
inline void putNumber(uint8_t* p, bool null, uint64_t ordered, bool ascending) {
  if (null) {
    p[0] = ascending ? 0 : 1;
    std::memset(p + 1, 0, 8);
    return;
  }
  p[0] = ascending ? 1 : 0;
  if (!ascending) ordered = ~ordered;
  for (int b = 0; b < 8; ++b) p[1 + b] = static_cast<uint8_t>(ordered >> (56 - 8 * b));
}

}  // namespace

void TqSortVornFixedImpl::writeBooleanKey(TqDatafileField& field, const uint8_t* record, uint8_t* key,
                                            bool ascending) {
  uint8_t* p = key;
  if (isNull(field, record)) {
    p[0] = ascending ? 0 : 1;
    p[1] = 0;
    return;
  }
  uint8_t v = record[field.rowOffset] != 0 ? 1 : 0;
  p[0] = ascending ? 1 : 0;
  p[1] = ascending ? v : static_cast<uint8_t>(~v);
}

void TqSortVornFixedImpl::writeIntegerKey(TqDatafileField& field, const uint8_t* record, uint8_t* key,
                                            bool ascending) {
  uint64_t v;
  std::memcpy(&v, record + field.rowOffset, 8);
  putNumber(key, isNull(field, record), v ^ 0x8000000000000000ull, ascending);
}

void TqSortVornFixedImpl::writeDateKey(TqDatafileField& field, const uint8_t* record, uint8_t* key,
                                            bool ascending) {
  uint64_t bits;
  std::memcpy(&bits, record + field.rowOffset, 8);
  // A positive double gets its sign bit set, a negative one every bit inverted: the
  // numbers then order as the dates do, before 1970 as well.
  bits = (bits & 0x8000000000000000ull) ? ~bits : (bits | 0x8000000000000000ull);
  putNumber(key, isNull(field, record), bits, ascending);
}

void TqSortVornFixedImpl::writeRealKey(TqDatafileField& field, const uint8_t* record, uint8_t* key,
                                            bool ascending) {
  uint8_t* p = key;
  bool null = isNull(field, record);
  alignas(8) uint8_t value[24] = {};
  if (!null) std::memcpy(value, record + field.rowOffset, 24);
  if (null) {
    p[0] = ascending ? 0 : 1;
  } else {
    p[0] = ascending ? 1 : 0;
  }
  uint32_t written = 0;
  decimalBlock_.callback(&decimalBlock_, value, 24, p + 1, 1000, ascending ? 0 : 1, &written);
}

void TqSortVornFixedImpl::writeStringKey(TqDatafileField& field, const uint8_t* record, uint8_t* key,
                                            bool ascending) {
  uint8_t* p = key;
  uint32_t width = static_cast<uint32_t>(field.maxLength) + 1;
  if (isNull(field, record)) {
    p[0] = ascending ? 0 : 1;
    std::memset(p + 1, 0, width);
    return;
  }
  const uint8_t* value = record + field.rowOffset;
  p[0] = ascending ? 1 : 0;
  if (ascending) {
    std::memcpy(p + 1, value, width);
  } else {
    for (uint32_t i = 0; i + 1 < width; ++i) p[1 + i] = static_cast<uint8_t>(~value[i]);
    p[width] = 0;
  }
}
