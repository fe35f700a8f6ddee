// Key writers of the variable layout: the row's key fields, encoded by the shared key
// encoder (core/sortkey.h) from the fields' values, written at position_ ahead of the
// row.  A row's key is the concatenation, in key order, of one encoding per key field,
// and with the stable option the row's 8-byte sequence number (written by addRow).
// Comparing two keys as unsigned byte strings gives the sort order, so sorting,
// ordering chunks and merging never look at types; rows are one group when their keys
// without the sequence number are equal.
//
// A writer that does not fit before the write bound (chunkSize_, set to the index
// limit) returns 1 and writes nothing.  The checks on the caller's value (its type, a
// real's size) are reported through tqbAssertFailure; the key then holds what the
// conversion delivered.
#include <cstring>

#include "core/sortkey.h"
#include "platform/tqbassert.h"
#include "src/dataabs_format.h"
#include "src/sortvorn.h"

namespace tqlib {

int32_t TqSortVornImpl::writeBooleanKey(TqDatafileField& column, IndexEntry& entry, bool ascending) {
  if (static_cast<int64_t>(chunkSize_) - position_ < tqkey::kBooleanKeyBytes) return StatusNoRoom;
  bool null = column.value.isNull();
  bool error = false;
  bool value = !null && column.value.asBool(&error);
  tqkey::putBooleanKey(buffer_ + position_, null, value, ascending);
  if (error) TQB_ASSERT_FAIL("Wrong type of data in TqbDatavar");
  entry.keyLength += tqkey::kBooleanKeyBytes;
  position_ += tqkey::kBooleanKeyBytes;
  return StatusOk;
}

int32_t TqSortVornImpl::writeIntegerKey(TqDatafileField& column, IndexEntry& entry, bool ascending) {
  if (static_cast<int64_t>(chunkSize_) - position_ < tqkey::kNumberKeyBytes) return StatusNoRoom;
  // A raw integer is carried in rawValue and is never null.
  bool null = !column.rawInteger && column.value.isNull();
  bool error = false;
  int64_t value = column.rawInteger ? column.rawValue : (null ? 0 : column.value.asInt64(&error));
  tqkey::putIntegerKey(buffer_ + position_, null, value, ascending);
  if (error) TQB_ASSERT_FAIL("Wrong type of data in TqbDatavar");
  entry.keyLength += tqkey::kNumberKeyBytes;
  position_ += tqkey::kNumberKeyBytes;
  return StatusOk;
}

int32_t TqSortVornImpl::writeDateKey(TqDatafileField& column, IndexEntry& entry, bool ascending) {
  if (static_cast<int64_t>(chunkSize_) - position_ < tqkey::kNumberKeyBytes) return StatusNoRoom;
  bool null = column.value.isNull();
  bool error = false;
  double value = null ? 0.0 : column.value.asDouble(&error);
  tqkey::putDateKey(buffer_ + position_, null, value, ascending);
  if (error) TQB_ASSERT_FAIL("Wrong type of data in TqbDatavar");
  entry.keyLength += tqkey::kNumberKeyBytes;
  position_ += tqkey::kNumberKeyBytes;
  return StatusOk;
}

int32_t TqSortVornImpl::writeRealKey(TqDatafileField& column, IndexEntry& entry, bool ascending) {
  if (static_cast<int64_t>(chunkSize_) - position_ < tqkey::kRealKeyBytes) return StatusNoRoom;
  // The source is always exactly 24 bytes: a value of another size is cut or padded,
  // as the row stores it.
  alignas(8) uint8_t source[kTqbDecimalBytes] = {};
  bool null = column.value.isNull();
  if (!null) {
    if (column.value.type() != tqbTypeReal) TQB_ASSERT_FAIL("Wrong type of data in TqbDatavar");
    size_t n = 0;
    const void* raw = column.value.getRaw(&n);
    if (n != kTqbDecimalBytes) TQB_ASSERT_FAIL("Wrong size of real in TqbDatavar");
    std::memcpy(source, raw, n < sizeof(source) ? n : sizeof(source));
  }
  tqkey::putRealKey(buffer_ + position_, null ? nullptr : source, ascending);
  entry.keyLength += tqkey::kRealKeyBytes;
  position_ += tqkey::kRealKeyBytes;
  return StatusOk;
}

int32_t TqSortVornImpl::writeStringKey(TqDatafileField& column, IndexEntry& entry, bool ascending) {
  const int64_t room = static_cast<int64_t>(chunkSize_) - position_;
  if (column.value.isNull()) {
    if (room < tqkey::kNullStringKeyBytes) return StatusNoRoom;
    tqkey::putStringKey(buffer_ + position_, nullptr, 0, ascending);
    entry.keyLength += tqkey::kNullStringKeyBytes;
    position_ += tqkey::kNullStringKeyBytes;
    return StatusOk;
  }
  // The bytes the row stores for the value (a value of another type as its text),
  // after the checks on the caller's value; the count includes the terminator, so it
  // is at least 1.
  uint32_t count = 0;
  const uint8_t* raw = tqrow::stringBytes(column, &count);
  const uint32_t length = count - 1;
  const uint32_t size = tqkey::stringKeyBytes(false, length);
  if (room < size) return StatusNoRoom;
  tqrow::noteLongest(column, count);
  entry.keyLength += size;
  uint8_t* p = buffer_ + position_;
  position_ += size;
  p[0] = tqkey::presence(false, ascending);  // putStringKey of a value known not to be null
  tqkey::putString(p + 1, raw, length, !ascending);
  return StatusOk;
}

}  // namespace tqlib
