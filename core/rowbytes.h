// What a row costs a chunk sort, field by field: the one account of a row's bytes that
// the chunk sorts size their chunks and long rows by, and that tqsort asks for when it
// cuts its memory up and explains a refused row.
//
//   declared width   a field's place in the fixed row: its null flag and its value at
//                    the column's maximum length (a string with its terminating zero)
//   stored field     a field as a variable row stores it: the null flag and the value,
//                    a string as its length (4 bytes) and its bytes with the zero; a
//                    column kept only in the key, nothing
//   key              a key field as the key encoder writes it: the presence byte and
//                    the value (a string with its terminator; a null string two bytes)
//   index entry      a row's entry in a variable-layout chunk
//
// Types are tqbType values (as a field record holds them).  A string's bytes are given
// as `textBytes`: its bytes without the terminating zero, or -1 for a null.
#ifndef TQ_CORE_ROWBYTES_H
#define TQ_CORE_ROWBYTES_H

#include <cstdint>

#include "core/sortkey.h"
#include "platform/tqbdatavar.h"

namespace tqrowbytes {

// The sequence number a stable sort appends to every key.
constexpr uint64_t kStableKeyBytes = 8;
// A row's index entry in a variable-layout chunk (its key prefix, offsets and lengths).
constexpr uint64_t kIndexEntryBytes = 32;

inline bool isString(int32_t type) {
  return type != tqbTypeBoolean && type != tqbTypeInteger && type != tqbTypeReal && type != tqbTypeDate;
}

// A field's place in the fixed row, for a string column of `maxLength` bytes at most.
inline uint64_t declaredWidth(int32_t type, int32_t maxLength) {
  switch (type) {
    case tqbTypeBoolean: return 2;
    case tqbTypeInteger:
    case tqbTypeDate: return 9;
    case tqbTypeReal: return 25;
    default: return static_cast<uint64_t>(maxLength) + 2;
  }
}

// A field as a variable row stores it.
inline uint64_t storedField(int32_t type, int64_t textBytes) {
  if (!isString(type)) return declaredWidth(type, 0);
  return 5 + (textBytes < 0 ? 0 : static_cast<uint64_t>(textBytes) + 1);
}

// A column kept only in the key (tqDatafileSortKeyOnly): its row stores nothing for it.
constexpr uint64_t kKeyOnlyFieldBytes = 0;

// A key field as the key encoder writes it.
inline uint64_t keyField(int32_t type, int64_t textBytes) {
  switch (type) {
    case tqbTypeBoolean: return 2;
    case tqbTypeInteger:
    case tqbTypeDate: return 9;
    case tqbTypeReal: return tqkey::kRealKeyBytes;
    default: return textBytes < 0 ? 2 : static_cast<uint64_t>(textBytes) + 2;
  }
}

}  // namespace tqrowbytes

#endif
