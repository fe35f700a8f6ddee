// TqDatafileField: the record of one field of a datafile's rows.
//
// A datafile has one record per column.  The host fills `value` (or `rawValue` for a
// raw integer column) before addRow and reads it after next/seek; it reaches the
// records through TqDatafile::getField / getInt64, never by building one itself.  The
// library owns the records and their buffers.
#ifndef TQDATAFILE_FIELD_H
#define TQDATAFILE_FIELD_H

#include <cstdint>

#include "platform/tqbdatavar.h"
#include "tqdatafile/export.h"

class TqDatafile;
struct TqDatafileField;

// A serializer reads or writes one field at the datafile's current position and
// returns a status (TqDatafile::Status...).
typedef int32_t (*TqFieldSerializer)(TqDatafile& file, TqDatafileField& field);

struct TqDatafileField {
  TqDatafileField() = default;
  TQ_EXPORT ~TqDatafileField();
  TqDatafileField(const TqDatafileField&) = delete;
  TqDatafileField& operator=(const TqDatafileField&) = delete;

  int32_t type = 0;          // tqbType: 1 boolean, 2 integer, 3 real, 4 string, 5 date
  bool rawInteger = false;   // an integer carried in rawValue instead of value
  int64_t rawValue = 0;      // the raw integer slot
  TqbDatavar value;          // the field's current value
  int32_t maxLength = 0;     // strings: maximum length in bytes, without the zero
  int32_t longestValue = 0;  // longest raw string (zero included) written since clear
  int32_t rowOffset = 0;     // fixed layout: offset of the value bytes in a row
  int32_t keyOffset = 0;     // fixed-row sort: offset of the key bytes in a record
  uint8_t* fieldBuffer = nullptr;   // scratch buffer of the file serializers
  uint32_t fieldBufferSize = 0;     // its size in bytes
  TqFieldSerializer reader = nullptr;
  TqFieldSerializer writer = nullptr;
};

#endif
