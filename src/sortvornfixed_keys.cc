// Key writers of the fixed-length chunk sort.  They run on the pool, in the sort item's
// key pass, and read the field's value from the record's row bytes: the field's value
// at its rowOffset, its null indicator in the byte before.  Each writes at its key's
// offset in the record's key area, through the shared key encoder (core/sortkey.h): a
// presence byte, then the value bytes, most significant first, inverted for
// descending.  A string key is maxLength + 1 bytes: the stored bytes with their zero
// padding, so a string sorts before every longer string that begins with it.
//
// They never fail, and several sort items run them at once: they touch only the
// record and the field record.
#include <cstring>

#include "core/sortkey.h"
#include "src/sortvornfixed.h"

namespace tqlib {

namespace {

inline bool isNull(const TqDatafileField& field, const uint8_t* record) {
  return record[field.rowOffset - 1] != 0;
}

}  // namespace

void TqSortVornFixedImpl::writeBooleanKey(TqDatafileField& field, const uint8_t* record, uint8_t* key,
                                            bool ascending) {
  tqkey::putBooleanKey(key, isNull(field, record), record[field.rowOffset] != 0, ascending);
}

void TqSortVornFixedImpl::writeIntegerKey(TqDatafileField& field, const uint8_t* record, uint8_t* key,
                                            bool ascending) {
  int64_t value;
  std::memcpy(&value, record + field.rowOffset, 8);
  tqkey::putIntegerKey(key, isNull(field, record), value, ascending);
}

void TqSortVornFixedImpl::writeDateKey(TqDatafileField& field, const uint8_t* record, uint8_t* key,
                                            bool ascending) {
  double value;
  std::memcpy(&value, record + field.rowOffset, 8);
  tqkey::putDateKey(key, isNull(field, record), value, ascending);
}

void TqSortVornFixedImpl::writeRealKey(TqDatafileField& field, const uint8_t* record, uint8_t* key,
                                            bool ascending) {
  tqkey::putRealKey(key, isNull(field, record) ? nullptr : record + field.rowOffset, ascending);
}

void TqSortVornFixedImpl::writeStringKey(TqDatafileField& field, const uint8_t* record, uint8_t* key,
                                            bool ascending) {
  uint32_t width = static_cast<uint32_t>(field.maxLength) + 1;
  if (isNull(field, record)) {
    tqkey::putPaddedStringKey(key, nullptr, 0, width, ascending);
    return;
  }
  // putPaddedStringKey of a value: the stored bytes are zero after the value's
  // terminator, so the whole width goes in.
  key[0] = tqkey::presence(false, ascending);
  tqkey::putPaddedString(key + 1, record + field.rowOffset, width, width, !ascending);
}

}  // namespace tqlib
