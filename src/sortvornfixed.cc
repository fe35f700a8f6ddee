// The fixed-length chunk sort: writing records, sizing the key area, submitting chunks
// to the sort item that encodes their keys, entering sorted chunks, reading records in
// place.  See sortvornfixed.h for the record layout.
#include "src/sortvornfixed.h"

#include "core/sortkey.h"
#include "platform/tqballoc.h"
#include "src/sortvornfixed_work.h"
#include "src/trace.h"

namespace tqlib {

namespace {

void keyBoolean(TqSortVornFixedImpl& e, TqDatafileField& f, const uint8_t* r, uint8_t* k, bool a) {
  e.writeBooleanKey(f, r, k, a);
}
void keyDate(TqSortVornFixedImpl& e, TqDatafileField& f, const uint8_t* r, uint8_t* k, bool a) {
  e.writeDateKey(f, r, k, a);
}
void keyInteger(TqSortVornFixedImpl& e, TqDatafileField& f, const uint8_t* r, uint8_t* k, bool a) {
  e.writeIntegerKey(f, r, k, a);
}
void keyReal(TqSortVornFixedImpl& e, TqDatafileField& f, const uint8_t* r, uint8_t* k, bool a) {
  e.writeRealKey(f, r, k, a);
}
void keyString(TqSortVornFixedImpl& e, TqDatafileField& f, const uint8_t* r, uint8_t* k, bool a) {
  e.writeStringKey(f, r, k, a);
}

}  // namespace

TqSortVornFixedImpl::TqSortVornFixedImpl() {
  TQ_TRACE_SORT("TqSortVornFixedImpl(0x%p)->TqSortVornFixedImpl()", this);
  fixedLayout_ = true;
  rowReader_ = tqReadChunkRow;
}

TqSortVornFixedImpl::~TqSortVornFixedImpl() {
  // Sort items still on the pool read recordKeys_ through this object: wait for them
  // (clean does) while it is still whole, before the base destructor runs.
  clean(ClearScope::rowsAndKeys);
  tqbFree(recordKeys_);
}

int32_t TqSortVornFixedImpl::setKeys() {
  TQ_TRACE_CALL("TqSortVornFixedImpl(0x%p)->setKeys()", this);
  if (keyCount_ == 0 || keyFields_ == nullptr) return fail(StatusNoKeys, 683);
  // Each key field at its offset in the key area, in key order; a stable sort ends the
  // area with the row's sequence number.
  RecordKey* keys = static_cast<RecordKey*>(tqbCalloc(static_cast<size_t>(keyCount_), sizeof(RecordKey)));
  if (keys == nullptr) return fail(StatusNoRoom, 29, "(Sort Keys)");
  tqbFree(recordKeys_);
  recordKeys_ = keys;
  recordKeyCount_ = keyCount_;
  uint32_t offset = 0;
  for (int32_t i = 0; i < keyCount_; ++i) {
    const SortKeyField& k = keyFields_[i];
    if (k.column == nullptr) return fail(StatusNoKeys, 683);
    RecordKey& r = recordKeys_[i];
    r.field = k.column;
    r.ascending = k.ascending;
    r.offset = offset;
    k.column->keyOffset = static_cast<int32_t>(offset);  // (a field that is two keys: the last)
    switch (k.column->type) {
      case tqbTypeBoolean: r.writer = keyBoolean; offset += 2; break;
      case tqbTypeDate: r.writer = keyDate; offset += 9; break;
      case tqbTypeInteger: r.writer = keyInteger; offset += 9; break;
      case tqbTypeReal: r.writer = keyReal; offset += tqkey::kRealKeyBytes; break;
      default: r.writer = keyString; offset += static_cast<uint32_t>(k.column->maxLength) + 2; break;
    }
  }
  keyAreaLength_ = offset + (stable_ ? 8u : 0u);
  return TqSortVornImpl::setKeys();  // sizes (a record fits an empty chunk) and the first chunk
}

int32_t TqSortVornFixedImpl::addRow(int64_t* rowStart) {
  if (flags_ & FlagReadOnly) return fail(StatusNotAllowed, 1419, "Read Only");
  if (!keysSet_) {
    int32_t status = setKeys();
    if (status != StatusOk) return status;
  }
  if (int32_t recorded = recordedError()) return recorded;  // a work item failed: the sort cannot succeed
  uint64_t record = recordLength();
  if (static_cast<uint64_t>(position_) + record > resolvedChunkSize_) {
    // The record starts a new chunk; it fits an empty one, whose size setKeys raised to
    // at least one record.
    int32_t status = submitChunk(Submit::more);
    if (status == StatusOk) status = getEmptyChunk();
    if (status != StatusOk) return status;
    if (record > resolvedChunkSize_) {
      return fail(StatusNoRoom, 1422, record, static_cast<uint64_t>(resolvedChunkSize_), budgetBytes());
    }
  }
  int32_t status = AbsTqDatafile::addRow(rowStart);
  if (status != StatusOk) return status;
  if (stable_) {
    uint64_t sequence = rowsPassed_;  // this row's ordinal, from 1
    uint8_t* p = buffer_ + position_ + keyAreaLength_ - 8;
    for (int b = 0; b < 8; ++b) p[b] = static_cast<uint8_t>(sequence >> (56 - 8 * b));
  }
  position_ += keyAreaLength_;
  endOfData_ += keyAreaLength_;
  ++rowsLeft_;
  return StatusOk;
}

int32_t TqSortVornFixedImpl::submitChunk(Submit which) {
  TQ_TRACE_SORT("TqSortVornFixedImpl(0x%p)->submitChunk(%d)", this, which == Submit::last ? 1 : 0);
  return submitCurrentChunk(which);
}

TqbThreadPoolWork* TqSortVornFixedImpl::newSortItem(ChunkDescriptor* chunk) {
  return tqbNew<TqSortVornFixedWorkSort>(this, logger_, chunk);
}

TqSortVornWorkMerge* TqSortVornFixedImpl::createMergeRequest(TqSortVornImpl* engine, TqLogger* logger) {
  TqSortVornWorkMerge* merge = tqbNew<TqSortVornFixedWorkMerge>(engine, logger);
  if (merge == nullptr) setError(StatusNoRoom, TQ_MESSAGE(29, "(Merge Request)"), ChunkLock::held);
  return merge;
}

int32_t TqSortVornFixedImpl::getNextChunk() {
  TQ_TRACE_SORT("TqSortVornFixedImpl(0x%p)->getNextChunk()", this);
  return nextSource();  // a run in hand is read from its first record
}

int32_t TqSortVornFixedImpl::nextRowFromChunk(bool* mark) {
  if (currentChunk_ == nullptr) return StatusEndOfData;
  readLimit_ = position_ + fixedRowLength_;
  int32_t status = readFields(mark);
  if (status != StatusOk) return status;
  rowKey_ = buffer_ + position_;  // the record's key area follows its row
  rowKeyLength_ = keyAreaLength_;
  position_ += keyAreaLength_;  // to the next record
  return StatusOk;
}

}  // namespace tqlib
