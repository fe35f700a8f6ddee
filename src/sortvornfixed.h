// TqSortVornFixedImpl: the chunk sort for rows of fixed length (a sorting datafile
// created without FlagVariableRows).
//
// Every row of such a datafile serializes to exactly fixedRowLength_ bytes (the fixed
// layout: each field behind its null indicator at its rowOffset, strings padded to
// their maximum length), so a chunk needs no index: it holds records packed from the
// buffer's start, each the serialized row followed by its key area,
//
//   | row (fixedRowLength_ bytes) | key fields, in key order | sequence number (stable) |
//   0                             fixedRowLength_           each at its field's keyOffset
//
// and record i starts at i * (fixedRowLength_ + keyAreaLength_).  Sorting and merging
// move whole records, and a run file holds the records as they are.
//
// Keys are encoded on the pool, not by the host.  addRow only serializes the row (and,
// for a stable sort, writes its sequence number); the key fields of a chunk's records
// are written by the sort item that sorts the chunk, on its worker thread, from the
// row bytes it already holds.  With several processors, the cost of building keys
// leaves the host's thread, which is what limits how fast rows come in.
//
// Everything else (sizes, the chunk store, runs on disk, merges, reading, statistics)
// is the chunk sort's, in sortvorn*.cc; this class replaces only how a row is written,
// how keys are made, how a chunk is sorted and entered, and how a row is read in place.
#ifndef TQ_SRC_SORTVORNFIXED_H
#define TQ_SRC_SORTVORNFIXED_H

#include "src/sortvorn.h"

namespace tqlib {

class TqSortVornFixedImpl : public TqSortVornImpl {
 public:
  // Writes one key field of a record at `key`, in the record's key area.
  typedef void (*RecordKeyWriter)(TqSortVornFixedImpl& engine, TqDatafileField& field, const uint8_t* record,
                                  uint8_t* key, bool ascending);
  // One key of the record: its field, direction, writer, and where its bytes go in the
  // key area (per key, since one field may be two keys).
  struct RecordKey {
    TqDatafileField* field = nullptr;
    bool ascending = true;
    RecordKeyWriter writer = nullptr;
    uint32_t offset = 0;
  };

  TqSortVornFixedImpl();

  int32_t addRow(int64_t* rowStart) override;
  int32_t getNextChunk() override;
  int32_t setKeys() override;
  int32_t submitChunk(Submit which) override;
  TqbThreadPoolWork* newSortItem(ChunkDescriptor* chunk) override;
  // Key writers of the fixed layout (sortvornfixed_keys.cc): the field's value read
  // from `record`, its key bytes written at `key`. The variable layout's writers stay
  // visible beside them; this engine never calls those.
  using TqSortVornImpl::writeBooleanKey;
  using TqSortVornImpl::writeDateKey;
  using TqSortVornImpl::writeIntegerKey;
  using TqSortVornImpl::writeRealKey;
  using TqSortVornImpl::writeStringKey;
  virtual void writeBooleanKey(TqDatafileField& field, const uint8_t* record, uint8_t* key, bool ascending);
  virtual void writeDateKey(TqDatafileField& field, const uint8_t* record, uint8_t* key, bool ascending);
  virtual void writeIntegerKey(TqDatafileField& field, const uint8_t* record, uint8_t* key, bool ascending);
  virtual void writeRealKey(TqDatafileField& field, const uint8_t* record, uint8_t* key, bool ascending);
  virtual void writeStringKey(TqDatafileField& field, const uint8_t* record, uint8_t* key, bool ascending);
  TqSortVornWorkMerge* createMergeRequest(TqSortVornImpl* engine, TqLogger* logger) override;
  int32_t nextRowFromChunk(bool* mark) override;

 protected:
  uint8_t* firstRowOf(const ChunkDescriptor* chunk) const override { return chunk->buffer; }
  uint8_t* firstSlotOf(const ChunkDescriptor* chunk) const override { return chunk->buffer; }
  uint64_t layoutBytesPerRow() const override { return 0; }
  bool longRowsRunAlone() const override { return false; }
  uint32_t longestGroupKey() const override { return keyAreaLength_; }

 public:

  // Writes every key field of one record (the sort item's key pass).
  void encodeKeys(uint8_t* record) {
    uint8_t* area = record + fixedRowLength_;
    for (int32_t i = 0; i < recordKeyCount_; ++i) {
      RecordKey& k = recordKeys_[i];
      k.writer(*this, *k.field, record, area + k.offset, k.ascending);
    }
  }
  uint32_t recordLength() const { return static_cast<uint32_t>(fixedRowLength_) + keyAreaLength_; }

 protected:
  ~TqSortVornFixedImpl() override;

 private:
  RecordKey* recordKeys_ = nullptr;  // keyCount_ entries, built by setKeys; main
  int32_t recordKeyCount_ = 0;
};

}  // namespace tqlib

#endif
