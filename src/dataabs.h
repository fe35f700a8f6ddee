// AbsTqDatafile: what every datafile shares.
//
// The field table copied from the manager's columns, typed access to the field values,
// the row loops that drive one serializer per field, the in-memory row buffer with
// 64-bit byte positions, the last-error text, the parent link and reference count of
// clones, and the refusal of sorting operations by a datafile that does not sort.
//
// Row format: a row is its fields' encodings back to back, each a null-flag byte (1
// null, 0 value) and the value bytes, little-endian:
//
//   boolean   2 bytes    flag, 1/0
//   integer   9 bytes    flag, 64-bit two's complement
//   date      9 bytes    flag, IEEE-754 double
//   real     25 bytes    flag, the 24 raw bytes of the decimal value
//   string   variable layout (FlagVariableRows): flag, length prefix, the n raw bytes
//            (zero included).  Prefix: one byte n when n < 127, else four bytes, n
//            big-endian with the top bit set (so 127 is 80 00 00 7F).  Null: 01 00.
//            fixed layout: flag, the raw bytes, zeros up to maxLength + 1 bytes.
//
// The memory serializers here work on `buffer_` at `position_`; the unsorted datafile
// adds file serializers that produce the same bytes on its temporary file.
//
// References.  refCount_ starts at 1: the owner's reference.  Every clone adds one to
// its root; the owner's release and every clone's release take one away; the root is
// destroyed when none is left.  So a root outlives its owner's use and every clone,
// in any order of release, and is destroyed exactly once.  A sortfile's private copy
// (made by its first clone) is owned by the sortfile and holds no reference.
//
// Not thread-safe: one thread uses a datafile at a time.
#ifndef TQ_SRC_DATAABS_H
#define TQ_SRC_DATAABS_H

#include <cstdint>

#include "platform/npfio.h"
#include "platform/tqbmessage.h"
#include "platform/tqbstring.h"
#include "platform/tqlog.h"
#include "tqdatafile/datafile.h"
#include "tqdatafile/field.h"

namespace tqlib {

class TqDatafileManagerImpl;

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "rows are stored little-endian");

// The catalogue message for a temporary file that could not be created (1417) or
// reopened (1353), from the file layer's status of this thread's last failure: when the
// process may open no more files, the message says so (1440, 1441) and gives no advice
// about the directory or its free space.
inline int tqFileCreateMessage(int status) {
  return status == kNpErrSystem && np_fio_toomany(np_fio_syserr(0)) ? 1440 : 1417;
}
inline int tqFileReopenMessage(int status) {
  return status == kNpErrSystem && np_fio_toomany(np_fio_syserr(0)) ? 1441 : 1353;
}

class AbsTqDatafile : public TqDatafile {
 public:
  AbsTqDatafile();

  int32_t addRow(int64_t* rowStart) override;
  uint32_t getChunkSize() override { return chunkSize_; }
  TqbString getError() override { return lastError_; }
  TqbDatavar* getField(int32_t index) override;
  int32_t getFieldCount() override;
  int32_t getFieldLength(int32_t index) override;
  tqbType getFieldType(int32_t index, bool* rawInteger) override;
  int64_t* getInt64(int32_t index) override;
  int64_t getRowCount() override;
  int64_t getSize() override;
  bool hasNext() override;
  int32_t next(bool* mark) override;
  int32_t resetSort(int32_t keyCount) override;
  int32_t setSort(int32_t key, int32_t field, int32_t ascending,
                  const TqCollation* collation) override;
  int32_t setSortInfo(TqSortInfo* info) override;
  int32_t setSortProgress(TqSortProgress* progress) override;
  int32_t sort() override;
  int64_t tell() override;
  void addRef() override;
  TqDatafile* getParent() override;
  bool init(TqDatafileManager* manager, uint32_t flags) override;
  int32_t readBoolean(TqDatafileField& field) override;
  int32_t readDate(TqDatafileField& field) override;
  int32_t readInteger(TqDatafileField& field) override;
  int32_t readReal(TqDatafileField& field) override;
  int32_t readString(TqDatafileField& field) override;
  int32_t readStringFixed(TqDatafileField& field) override;
  void releaseRef() override;
  void setParent(TqDatafile* parent) override;
  int32_t writeBoolean(TqDatafileField& field) override;
  int32_t writeDate(TqDatafileField& field) override;
  int32_t writeInteger(TqDatafileField& field) override;
  int32_t writeReal(TqDatafileField& field) override;
  int32_t writeString(TqDatafileField& field) override;
  int32_t writeStringFixed(TqDatafileField& field) override;

  // tqDatafileSortKey: a datafile that does not sort refuses it.
  virtual int32_t sortKey(const uint8_t** key, uint32_t* keyLength);
  // tqDatafileSortKeyOnly: only the variable-row chunk sort takes it.
  virtual int32_t keepOnlyInKey(int32_t column);

  // The memory serializer pair for a field of `type` in this datafile's layout.
  void bindMemorySerializers(TqDatafileField& field) const;
  // `field` is kept only in the sort key: its rows store nothing for it and read a
  // null (tqDatafileSortKeyOnly); whether it is.
  static void bindKeyOnly(TqDatafileField& field);
  static bool keptOnlyInKey(const TqDatafileField& field);

  int32_t fieldCount() const { return fieldCount_; }
  // Fields a host counts: all but a hidden mark column.
  int32_t visibleFieldCount() const {
    return (flags_ & FlagMarkColumn) && fieldCount_ > 0 ? fieldCount_ - 1 : fieldCount_;
  }
  // Fields a host may reach by index: a hidden mark column only while rows are added
  // (it is how the host sets each row's mark); once frozen, next reports the mark.
  int32_t reachableFieldCount() const {
    return (flags_ & FlagReadOnly) ? visibleFieldCount() : fieldCount_;
  }
  TqDatafileField* fields() { return fields_; }
  uint32_t flags() const { return flags_; }
  // The row buffer and current position, for tests.
  const uint8_t* bufferBytes() const { return buffer_; }
  int64_t position() const { return position_; }

 protected:
  virtual ~AbsTqDatafile();
  // Destroys the object; every release ends here.
  void destroy();
  // Stores catalogue message `id` with its arguments in lastError_ and returns `status`.
  template <typename... Args>
  int32_t fail(int32_t status, int id, const Args&... args);
  // The same for an operation that answers with a bool (init): the message, and false.
  template <typename... Args>
  bool refuse(int id, const Args&... args) {
    lastError_ = TQ_MESSAGE(id, args...);
    return false;
  }
  // A read would pass readLimit_ (a position that is not a row start): message and 4.
  int32_t readOutOfBounds();
  // Reads the row at position_ into the fields (the row loop of next, without the end
  // check); a failure puts position_ back.
  int32_t readFields(bool* mark);
  // Whether a field is a string of the fixed layout: maxLength + 1 bytes wide.
  bool isFixedString(const TqDatafileField& field) const;
  // A fixed-layout string field cannot hold a value of `count` bytes (its terminator
  // included; a cut would lose what the caller stored): status 1 and message 1428
  // naming the column, the value's length and the maximum.  The fixed-layout writers
  // refuse the row with it, before they write the field.
  int32_t refuseLongString(const TqDatafileField& field, uint32_t count);
  // The same for the row in the fields, before any of it is written (a row that goes
  // straight to a file, or that would make an in-memory file spill): 0 when every
  // string fits.
  int32_t refuseLongStrings();

  TqDatafileManagerImpl* manager_ = nullptr;  // not owned
  uint32_t flags_ = 0;
  TqLogger* logger_;
  uint32_t chunkSize_ = 0;        // bytes of the row buffer; the writers' bound
  int32_t fieldCount_ = 0;        // the mark column included
  TqDatafileField* fields_ = nullptr;  // fieldCount_ records, owned
  int32_t fixedRowLength_ = 0;
  bool inMemory_ = false;         // rows live in buffer_, memory serializers bound
  bool fixedStrings_ = false;     // some field is a string of the fixed layout
  bool rowRefused_ = false;       // addRow's last row was refused (refuseLongString)
  uint8_t* buffer_ = nullptr;     // owned without a parent; shared by clones
  int64_t position_ = 0;          // next byte to read or write
  uint64_t rowsPassed_ = 0;       // rows added or read since construction/clear/freeze
  int64_t endOfData_ = 0;         // bytes of stored rows
  uint64_t rowTotal_ = 0;         // rows, fixed by freeze
  int32_t refCount_ = 1;          // see "References" above
  TqDatafile* parent_ = nullptr;  // the root this clone reads; null for a root
  TqbString lastError_;
  int64_t lastRowStart_ = 0;
  int64_t lastRowLength_ = 0;     // bytes of the row readFields read last
  int64_t readLimit_ = INT64_MAX; // memory readers never read at or past this offset
};

template <typename... Args>
int32_t AbsTqDatafile::fail(int32_t status, int id, const Args&... args) {
  lastError_ = TQ_MESSAGE(id, args...);
  return status;
}

}  // namespace tqlib

#endif
