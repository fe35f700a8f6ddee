// The chunk sort engine: configuration, key definition, size resolution, writing rows
// into chunks, submitting full chunks, error recording, cleaning up, statistics.
//
// Writing.  The first addRow after the keys were defined resolves the sizes (setKeys):
// the chunk size (at least one row with its key and index entry), the number of chunk
// buffers that may exist at once (the sort size divided by the chunk size, at least 3;
// without a sort size, one per pool thread and at least 3), and takes the first chunk.
// Each row is then written as its encoded key, optional 8-byte sequence number (stable
// sorts) and serialized fields at `position_`, with its IndexEntry at the chunk's
// cursor, 32 bytes (an IndexEntry) lower for every row.  While a row is written,
// chunkSize_ holds indexLimit_, so every key writer and serializer stops short of the
// index.  A row that does not fit goes whole into a fresh chunk; the full chunk goes to a
// sort work item on the pool.  sort() submits the last chunk, which is sorted on the
// caller's thread.
#include "src/sortvorn.h"
#include "src/dataabs_format.h"

#include <cstring>

#include "core/rowbytes.h"
#include "core/sortkey.h"
#include "platform/tqballoc.h"
#include "platform/tqbassert.h"
#include "src/datamgr.h"
#include "src/sortvorn_work.h"
#include "src/trace.h"

namespace tqlib {

namespace {
// The least share of the budget kept for run metadata.
constexpr uint64_t kLeastMetaShare = 16 << 10;
// Metadata of the few runs beside two long rows when they are merged (descriptors,
// names, key copies).
constexpr uint64_t kLongRowSlack = 4096;
// The largest window a run is written or read through.  Measured on tqsort (10M rows,
// 64 MiB, chunks of 8 MiB) against 512 KiB: the system's time copying the runs' writes
// into the page cache fell by half and the sort took a quarter less time; below about
// 128 KiB the calls grow many again (the library's own benchmark with 2.3 MiB chunks was
// slower with 36 KiB windows than with 145 KiB).
constexpr uint64_t kLargestWindow = 128 << 10;
}  // namespace

namespace {

int32_t keyBoolean(TqSortVornImpl& e, TqDatafileField& c, IndexEntry& x, bool a) {
  return e.writeBooleanKey(c, x, a);
}
int32_t keyDate(TqSortVornImpl& e, TqDatafileField& c, IndexEntry& x, bool a) {
  return e.writeDateKey(c, x, a);
}
int32_t keyInteger(TqSortVornImpl& e, TqDatafileField& c, IndexEntry& x, bool a) {
  return e.writeIntegerKey(c, x, a);
}
int32_t keyReal(TqSortVornImpl& e, TqDatafileField& c, IndexEntry& x, bool a) {
  return e.writeRealKey(c, x, a);
}
int32_t keyString(TqSortVornImpl& e, TqDatafileField& c, IndexEntry& x, bool a) {
  return e.writeStringKey(c, x, a);
}

const char* yesNo(bool b) { return b ? "true" : "false"; }

}  // namespace

TqSortVornImpl::TqSortVornImpl() {
  TQ_TRACE_CALL("TqSortVornImpl(0x%p)->TqSortVornImpl()", this);
  lrbtInit(&chunkTree_, &TqSortVornImpl::compareChunks);
  rowReader_ = tqReadChunkRow;
}

TqSortVornImpl::~TqSortVornImpl() {
  TQ_TRACE_CALL("TqSortVornImpl(0x%p)->~TqSortVornImpl()", this);
  clean(ClearScope::rowsAndKeys);
  chunkLock_.destroy();
  if (mergeAtomicCreated_) tqAtomDestroy(&mergeAtomic_);
  if (mergeWaiter_ != 0) tqEventDestroy(mergeWaiter_);
  if (bufferLock_ != 0) tqLockDestroy(bufferLock_);
  if (bufferWaiter_ != 0) tqEventDestroy(bufferWaiter_);
}

bool TqSortVornImpl::init(TqDatafileManager* manager, uint32_t flags) {
  TQ_TRACE_SORT("TqSortVornImpl(0x%p)->init(0x%p, 0x%x)", this, manager, flags);
  cloneFlags_ = flags & ~FlagSorted;
  if (!chunkLock_.create()) return refuse(29, "(Chunk lock)");
  if (tqAtomInit(&mergeAtomic_, 0) != 0) return refuse(29, "(Merge Atomic)");
  mergeAtomicCreated_ = true;
  if ((mergeWaiter_ = tqEventCreate(0)) == 0) return refuse(29, "(Merge Waiter)");
  if ((bufferLock_ = tqLockCreate(0, 0)) == 0) return refuse(29, "(Buffer lock)");
  if ((bufferWaiter_ = tqEventCreate(0)) == 0) return refuse(29, "(Buffer Waiter)");
  if (!AbsTqSortfile::init(manager, flags)) return false;
  if (markByGroups_ || noDups_) groupAfterSort_ = true;
  tempDirCount_ = manager_->getTempDirs(&tempDirs_);
  int32_t processors = manager_->getSortProcessors();
  sortThreads_ = (processors > 0 ? processors : 1) + 1;
  if (!threadPool_.start(sortThreads_, sortThreads_, 0)) return refuse(1827);
  return true;
}

// --- keys --------------------------------------------------------------------------------

int32_t TqSortVornImpl::resetSort(int32_t keyCount) {
  TQ_TRACE_SORT("TqSortVornImpl(0x%p)->resetSort(%d)", this, keyCount);
  int32_t status = AbsTqSortfile::resetSort(keyCount);
  if (status != StatusOk) return status;
  // Columns kept only in the old keys are stored again.
  for (int32_t i = 0; i < fieldCount_; ++i) {
    if (keptOnlyInKey(fields_[i])) bindMemorySerializers(fields_[i]);
  }
  keyLength_ = 0;
  keyFields_ = tqbNewArray<SortKeyField>(static_cast<size_t>(keyCount_));
  if (keyFields_ == nullptr) return fail(StatusNoRoom, 29, "(Sort Keys)");
  return StatusOk;
}

int32_t TqSortVornImpl::setSort(int32_t key, int32_t field, int32_t ascending,
                                const TqCollation* collation) {
  TQ_TRACE_SORT("TqSortVornImpl(0x%p)->setSort(%d, %d, %d, %p)", this, key, field, ascending, collation);
  if (collation != nullptr) {
    lastError_ = "The Quor sort must be used when specifying linguistic collation settings.";
    return StatusNotAllowed;
  }
  if (keysSet_ || (flags_ & FlagReadOnly)) {
    return fail(StatusNotAllowed, 1419, "Keys in use: call resetSort before defining keys");
  }
  if (keyFields_ == nullptr || key < 0 || key >= keyCount_) {
    return fail(StatusNotAllowed, 1423, key, keyCount_);
  }
  if (field < 0 || field >= fieldCount_) return fail(StatusNotAllowed, 1424, field, fieldCount_);
  keyLength_ += 1;  // the presence byte
  SortKeyField& k = keyFields_[key];
  k.column = &fields_[field];
  k.ascending = ascending != 0;
  switch (k.column->type) {
    case tqbTypeBoolean:
      k.keyWriter = keyBoolean;
      keyLength_ += 1;
      break;
    case tqbTypeDate:
      k.keyWriter = keyDate;
      keyLength_ += 8;
      break;
    case tqbTypeInteger:
      k.keyWriter = keyInteger;
      keyLength_ += 8;
      break;
    case tqbTypeReal:
      k.keyWriter = keyReal;
      keyLength_ += tqkey::kRealValueBytes;
      break;
    default:
      k.keyWriter = keyString;
      keyLength_ += static_cast<uint32_t>(k.column->maxLength) + 1;
      break;
  }
  return StatusOk;
}

int32_t TqSortVornImpl::keepOnlyInKey(int32_t column) {
  TQ_TRACE_SORT("TqSortVornImpl(0x%p)->keepOnlyInKey(%d)", this, column);
  if (keysSet_ || (flags_ & FlagReadOnly)) {
    return fail(StatusNotAllowed, 1419, "Rows added: a column is kept only in the key before the first row");
  }
  if (fixedLayout_) return fail(StatusNotAllowed, 1603, "tqDatafileSortKeyOnly (fixed rows)");
  if (column < 0 || column >= fieldCount_) return fail(StatusNotAllowed, 1424, column, fieldCount_);
  TqDatafileField& field = fields_[column];
  bool key = false;
  for (int32_t i = 0; keyFields_ != nullptr && i < keyCount_; ++i) key = key || keyFields_[i].column == &field;
  if (!key) return fail(StatusNotAllowed, 1419, "Only a sort key column is kept only in the key");
  // A real's key keeps its number, not the decimal's digits (1.0 and 1.00 share one); a
  // raw integer has no null to read back in its place.
  if (field.type == tqbTypeReal) {
    return fail(StatusNotAllowed, 1419, "A real is not kept only in the key: its key does not give back its digits");
  }
  if (field.rawInteger) return fail(StatusNotAllowed, 1419, "A raw integer column is not kept only in the key");
  bindKeyOnly(field);
  return StatusOk;
}

int32_t TqSortVornImpl::setKeys() {
  TQ_TRACE_CALL("TqSortVornImpl(0x%p)->setKeys()", this);
  if (keyCount_ == 0 || keyFields_ == nullptr) return fail(StatusNoKeys, 683);
  for (int32_t i = 0; i < keyCount_; ++i) {
    if (keyFields_[i].keyWriter == nullptr) return fail(StatusNoKeys, 683);
  }
  return resolveSizes();
}

// A variable-layout string takes its length prefix on top of the fixed width, and every
// row its index entry.
uint64_t TqSortVornImpl::layoutBytesPerRow() const {
  uint64_t prefixes = 0;
  for (int32_t i = 0; i < fieldCount_; ++i) {
    const TqDatafileField& f = fields_[i];
    bool isString = f.type != tqbTypeBoolean && f.type != tqbTypeInteger &&
                    f.type != tqbTypeReal && f.type != tqbTypeDate;
    if (isString) prefixes += static_cast<uint64_t>(f.maxLength) + 1 < 127 ? 1 : 4;
  }
  return prefixes + sizeof(IndexEntry);
}

int32_t TqSortVornImpl::resolveSizes() {
  uint64_t keyBound = keyLength_ + (stable_ ? 8u : 0u);
  // Chunk sizes stay multiples of 16: index entries at a chunk's end stay aligned.
  uint64_t minChunk =
      (keyBound + static_cast<uint64_t>(fixedRowLength_) + layoutBytesPerRow() + 15) & ~uint64_t{15};
  uint32_t sortSize = manager_->getSortSize();
  if (longRowsRunAlone() && sortSize != 0 && minChunk > ((sortSize / 3) & ~uint32_t{15})) {
    // A variable row longer than a chunk becomes a run of its own (writeLongRow), so
    // the declared maximum lengths need not push the chunk, and the memory with it,
    // past the sort size the host set: the chunk needs only to hold a row whose strings
    // are empty.
    uint64_t least = stable_ ? tqrowbytes::kStableKeyBytes : 0u;
    for (int32_t i = 0; i < keyCount_; ++i) least += tqrowbytes::keyField(keyFields_[i].column->type, 0);
    for (int32_t i = 0; i < fieldCount_; ++i) least += tqrowbytes::storedField(fields_[i].type, 0);
    minChunk = (least + sizeof(IndexEntry) + 15) & ~uint64_t{15};
  }
  if (minChunk > kTqMaxChunkSize) return fail(StatusNoRoom, 1422, minChunk, minChunk, minChunk);
  if (minChunk > chunkSize_) {
    TQ_LOG(logger_, 3, "The sort chunk size, %I64i, was adjusted to the length of a serialized row, %I64i.",
           static_cast<int64_t>(sortChunkSize_), static_cast<int64_t>(minChunk));
    chunkSize_ = static_cast<uint32_t>(minChunk);
  }
  resolveBudget(sortSize, minChunk);
  lockChunks();
  tqbFree(persistWindow_);
  persistWindow_ = static_cast<uint8_t*>(tqbMalloc(windowSize_));
  if (persistWindow_ != nullptr) charge(windowSize_);
  const bool windowMade = persistWindow_ != nullptr;
  unlockChunks();
  if (!windowMade) return fail(StatusNoRoom, 29, "(Persist Window)");
  int32_t status = getEmptyChunk();
  if (status == StatusOk) keysSet_ = true;
  return status;
}

TqSortVornImpl::SizePlan TqSortVornImpl::planSizes(uint64_t sortSize, uint64_t chunk, uint64_t minChunk,
                                                    uint64_t leastChunks, uint32_t requestedWindow) {
  // The memory budget is the sort size.  A share of it stays for the runs' descriptors
  // and key copies: a sixteenth, and at least room for the metadata of a few dozen runs
  // beside a merge of a few of them while rows come in (mergeDuringInput starts one at
  // half the share).  One window writes runs to disk: a sixteenth of a chunk, from 4 KiB
  // to kLargestWindow, at most a quarter of a chunk (a merge of two runs fits where two
  // chunks were) and an eighth of the memory.  Runs are read through windows of that
  // size too.  The rest holds as many chunks as fit, and at
  // least three, smaller ones when needed.  When three chunks of a third of the sort
  // size do not fit beside what is kept, the budget grows, to just that.  Without a
  // sort size: `leastChunks` buffers, and the rest beside them.
  SizePlan plan;
  plan.budget = sortSize;
  plan.chunk = static_cast<uint32_t>(chunk);
  auto window = [&](uint64_t c) -> uint32_t {
    if (requestedWindow != 0) return requestedWindow < 16 ? 16 : requestedWindow;
    uint64_t w = c / 16;
    w = w < 4096 ? 4096 : (w > kLargestWindow ? kLargestWindow : w);
    if (w > c / 4) w = c / 4;
    if (plan.budget != 0 && w > plan.budget / 8) w = plan.budget / 8;
    return static_cast<uint32_t>(w < 16 ? 16 : w & ~uint64_t{15});
  };
  auto share = [&]() { return plan.budget / 16 > kLeastMetaShare ? plan.budget / 16 : kLeastMetaShare; };
  auto forChunks = [&](uint64_t c) {
    uint64_t kept = share() + window(c);
    return plan.budget > kept ? plan.budget - kept : 0;
  };
  if (sortSize != 0 && forChunks(chunk) / 3 >= minChunk) {
    if (forChunks(chunk) / chunk < 3) {
      plan.chunk = static_cast<uint32_t>((forChunks(chunk) / 3) & ~uint64_t{15});
      plan.chunkShrunk = true;
    }
  } else {
    if (sortSize != 0) {
      // Too small for three chunks beside what it keeps: the chunks are a third of the
      // sort size (at least what a row needs), and the budget grows to hold them.
      uint64_t third = (sortSize / 3) & ~uint64_t{15};
      uint64_t least = third > minChunk ? third : minChunk;
      if (least < chunk) {
        plan.chunk = static_cast<uint32_t>(least);
        plan.chunkShrunk = true;
      }
    }
    // Grow to what the chunks and what is kept beside them need (the window and the
    // share grow with the budget, so a few steps settle it).
    while (forChunks(plan.chunk) < leastChunks * plan.chunk) {
      plan.budget += leastChunks * plan.chunk - forChunks(plan.chunk) + 16;
    }
  }
  plan.chunks = static_cast<uint32_t>(forChunks(plan.chunk) / plan.chunk);
  plan.window = window(plan.chunk);
  plan.share = share();
  return plan;
}

uint64_t TqSortVornImpl::longRowLimitOf(const SizePlan& plan) {
  // Reading runs back, a merge may have to hold two runs of one long row each at once,
  // each in a window as long as its record, beside its output's window, the persist
  // window and the metadata of a few runs.
  uint64_t kept = 2 * uint64_t{plan.window} + kMergeRequestBytes + 2 * kRunReaderBytes + kLongRowSlack;
  return plan.budget > kept ? (plan.budget - kept) / 2 : 0;
}

void TqSortVornImpl::resolveBudget(uint64_t sortSize, uint64_t minChunk) {
  uint64_t least = sortSize != 0 ? 3 : (sortThreads_ > 3 ? static_cast<uint64_t>(sortThreads_) : 3);
  SizePlan plan = planSizes(sortSize, chunkSize_, minChunk, least, requestedWindow_);
  if (plan.chunkShrunk) {
    TQ_LOG(logger_, 3, "The chunk size was adjusted to meet the required number of chunks (3), %I64i.",
           static_cast<int64_t>(plan.chunk));
  }
  if (sortSize != 0 && plan.budget != sortSize) {
    TQ_LOG(logger_, 3, "The sort size, %I64i, was adjusted to meet the estimated minimum required size, %I64i.",
           static_cast<int64_t>(sortSize), static_cast<int64_t>(plan.budget));
  }
  chunkSize_ = plan.chunk;
  resolvedChunkSize_ = plan.chunk;
  budgetBytes_ = plan.budget;
  maxChunksInMemory_ = plan.chunks;
  windowSize_ = plan.window;
  metaShare_ = plan.share;
  // Run files: half of what the process may still open, so that the host (and other
  // sorts) keep the rest; at least what a merge of two runs needs beside the files
  // that write a run and a long row.
  int available = np_fio_openmax();
  uint32_t half = available > 0 ? static_cast<uint32_t>(available) / 2 : 0;
  lockChunks();
  fileLimit_ = half < kLeastRunFiles ? kLeastRunFiles : (half > kMostRunFiles ? kMostRunFiles : half);
  unlockChunks();
}

// --- writing -----------------------------------------------------------------------------

int32_t TqSortVornImpl::addRow(int64_t* rowStart) {
  // A sorted file is read from its chunks: nothing may be written into them.
  if (flags_ & FlagReadOnly) return fail(StatusNotAllowed, 1419, "Read Only");
  if (errorCode_ != 0) {  // a sort work item failed: the sort cannot succeed any more
    adoptRecordedError();
    return errorCode_;
  }
  if (!keysSet_) {
    int32_t status = setKeys();
    if (status != StatusOk) return status;
  } else if (position_ >= indexLimit_) {
    endOfData_ -= sizeof(IndexEntry);
    int32_t status = submitChunk(Submit::more);
    if (status == StatusOk) status = getEmptyChunk();
    if (status != StatusOk) return status;
  }
  return writeRow(rowStart);
}

int32_t TqSortVornImpl::writeRow(int64_t* rowStart) {
  IndexEntry& entry = *reinterpret_cast<IndexEntry*>(currentChunk_->cursor);
  entry.keyOffset = static_cast<uint32_t>(position_);
  entry.keyLength = 0;
  chunkSize_ = static_cast<uint32_t>(indexLimit_);  // the bound of every key writer and serializer
  int32_t status = StatusOk;
  for (int32_t i = 0; i < keyCount_ && status == StatusOk; ++i) {
    SortKeyField& k = keyFields_[i];
    status = k.keyWriter(*this, *k.column, entry, k.ascending);
  }
  if (status == StatusOk && stable_) {
    if (indexLimit_ - position_ <= 8) {
      status = StatusNoRoom;
    } else {
      uint64_t sequence = rowsPassed_;
      uint8_t* p = buffer_ + position_;
      for (int b = 0; b < 8; ++b) p[b] = static_cast<uint8_t>(sequence >> (56 - 8 * b));
      entry.keyLength += 8;
      position_ += 8;
    }
  }
  int64_t rowOffset = position_;
  if (status == StatusOk) status = AbsTqDatafile::addRow(rowStart);
  chunkSize_ = resolvedChunkSize_;
  if (status == StatusOk) {
    endOfData_ += entry.keyLength + sizeof(IndexEntry);
    if (entry.keyLength > longestKey_) longestKey_ = entry.keyLength;
    entry.rowLength = static_cast<uint32_t>(position_ - rowOffset);
    tqKeyPrefix(buffer_ + entry.keyOffset, entry.keyLength, entry.prefix);
    currentChunk_->cursor -= sizeof(IndexEntry);
    indexLimit_ -= static_cast<int64_t>(sizeof(IndexEntry));
    ++rowsLeft_;
    return StatusOk;
  }
  if (status != StatusNoRoom) return status;
  position_ = entry.keyOffset;  // drop the partial key and row
  if (rowsLeft_ == 0) {
    // Not even an empty chunk holds this row: it becomes a run of its own.
    return writeLongRow(rowStart);
  }
  status = submitChunk(Submit::more);
  if (status == StatusOk) status = getEmptyChunk();
  if (status != StatusOk) return status;
  return writeRow(rowStart);
}

uint64_t TqSortVornImpl::longRowBytes() const {
  // What the row and its key take, counted as writeRow and the key writers write them.
  auto textBytes = [](const TqDatafileField& f) -> int64_t {
    if (!tqrowbytes::isString(f.type) || f.value.isNull()) return -1;
    uint32_t n = 0;
    tqrow::stringBytes(f, &n);
    return static_cast<int64_t>(n) - 1;  // without the terminating zero
  };
  uint64_t bytes = stable_ ? tqrowbytes::kStableKeyBytes : 0u;
  for (int32_t i = 0; i < fieldCount_; ++i) {
    bytes += keptOnlyInKey(fields_[i]) ? tqrowbytes::kKeyOnlyFieldBytes
                                       : tqrowbytes::storedField(fields_[i].type, textBytes(fields_[i]));
  }
  for (int32_t i = 0; i < keyCount_; ++i) {
    const TqDatafileField& f = *keyFields_[i].column;
    bytes += tqrowbytes::keyField(f.type, textBytes(f));
  }
  return bytes;
}

uint64_t TqSortVornImpl::longRowLimit() const {
  SizePlan plan;
  plan.budget = budgetBytes_;
  plan.window = windowSize_;
  return longRowLimitOf(plan);
}

int32_t TqSortVornImpl::writeLongRow(int64_t* rowStart) {
  // The row's key and fields are written into a buffer of their own size, taken from
  // the budget (runs in memory go to disk to make room), then to a run file of one
  // row, which enters the tree like any run on disk.  A row whose record the budget
  // cannot hold twice (longRowLimit) is refused.
  const uint64_t need = longRowBytes();
  if (need > longRowLimit() || need > kTqMaxChunkSize) {
    return fail(StatusNoRoom, 1422, need, static_cast<uint64_t>(resolvedChunkSize_), budgetBytes_);
  }
  lockChunks();
  int32_t status;
  for (;;) {
    status = reserveWindows(need);
    // Chunks still being sorted on the pool hold memory that becomes free to write out
    // once their sorts end, and a merge gives its windows back: wait for them before
    // refusing the row.
    if (status != StatusNoRoom) break;
    if (sortsEnded_ == sortsSubmitted_ + sortsOnMain_ && tqAtomGet(&mergeAtomic_) == 0) break;
    status = waitForMemory(0);
    if (status != StatusOk) break;
  }
  unlockChunks();
  if (status != StatusOk) {
    if (status == StatusNoRoom) return fail(StatusNoRoom, 1422, need, static_cast<uint64_t>(resolvedChunkSize_), budgetBytes_);
    adoptRecordedError();
    return status;
  }
  uint8_t* scratch = static_cast<uint8_t*>(tqbMalloc(need));
  if (scratch == nullptr) {
    releaseWindows(need, ChunkLock::notHeld);
    return fail(StatusNoRoom, 29, "(Long Row)");
  }
  // Write key and row as writeRow does, into the scratch buffer.
  uint8_t* savedBuffer = buffer_;
  int64_t savedPosition = position_;
  uint32_t savedChunkSize = chunkSize_;
  buffer_ = scratch;
  position_ = 0;
  chunkSize_ = static_cast<uint32_t>(need);
  IndexEntry entry{};
  for (int32_t i = 0; i < keyCount_ && status == StatusOk; ++i) {
    SortKeyField& k = keyFields_[i];
    status = k.keyWriter(*this, *k.column, entry, k.ascending);
  }
  if (status == StatusOk && stable_) {
    uint64_t sequence = rowsPassed_;
    for (int b = 0; b < 8; ++b) scratch[position_ + b] = static_cast<uint8_t>(sequence >> (56 - 8 * b));
    entry.keyLength += 8;
    position_ += 8;
  }
  int64_t rowOffset = position_;
  int64_t endBefore = endOfData_;
  uint64_t passedBefore = rowsPassed_;
  if (status == StatusOk) status = AbsTqDatafile::addRow(rowStart);
  RowRef row{scratch, entry.keyLength, scratch + rowOffset, static_cast<uint32_t>(position_ - rowOffset)};
  buffer_ = savedBuffer;
  position_ = savedPosition;
  chunkSize_ = savedChunkSize;
  if (status == StatusOk) {
    status = storeLongRun(row);
    if (status != StatusOk) {
      // Not stored after all: the row does not count.
      endOfData_ = endBefore;
      rowsPassed_ = passedBefore;
      adoptRecordedError();
    } else {
      endOfData_ += entry.keyLength;
      if (entry.keyLength > longestKey_) longestKey_ = entry.keyLength;
    }
  }
  tqbFree(scratch);
  releaseWindows(need, ChunkLock::notHeld);
  if (status == StatusOk) mergeDuringInput();  // one run more on disk
  return status;
}

int32_t TqSortVornImpl::storeLongRun(const RowRef& row) {
  // A run of one row, on disk.  Whatever fails, what was made goes again: the file,
  // the descriptor, its name.
  char name[260];
  NpHandle file = 0;
  uint8_t header[kMostRecordHeader];
  const uint32_t headerBytes = tqPutRecordHeader(header, 0, row.keyLength, row.rowLength);
  const uint64_t bytes = headerBytes + uint64_t{row.keyLength} + row.rowLength;
  int32_t status = createRunFile(name, &file, ChunkLock::notHeld, bytes);
  if (status != StatusOk) return status;
  bool ok = tqWriteAll(file, header, headerBytes) && tqWriteAll(file, row.key, row.keyLength) &&
            tqWriteAll(file, row.row, row.rowLength);
  TqbString why = ok ? TqbString() : writeFailure(name, np_fio_syserr(file));
  if (np_fio_close(file) != 0 && ok) {
    ok = false;
    why = writeFailure(name, np_fio_syserr(0));
  }
  lockChunks();
  if (!ok) {
    setError(StatusSystemError, why, ChunkLock::held);
    unlockChunks();
    np_fio_unlink(name);
    return StatusSystemError;
  }
  ChunkDescriptor* run = allocateRun();
  if (run != nullptr && !keepName(run, name)) {
    setError(StatusNoRoom, TQ_MESSAGE(29, "(Chunk Filename)"), ChunkLock::held);
    tossChunk(run, ChunkLock::held);
    run = nullptr;
  }
  if (run == nullptr) {
    unlockChunks();
    np_fio_unlink(name);
    return StatusNoRoom;
  }
  run->fileBytes = bytes;
  run->maxRecord = row.keyLength + row.rowLength;
  run->rowCount = 1;
  ++rowsSorted_;  // a run of its own, in order already
  counters_.bytesWrittenToDisk += bytes;
  ++counters_.chunksWrittenToDisk;
  unlockChunks();
  if (!enterTree(run, ChunkSource::sort, ChunkLock::notHeld, row, row)) {
    tossChunk(run, ChunkLock::notHeld);  // its file with it
    return StatusNoRoom;
  }
  return StatusOk;
}

int32_t TqSortVornImpl::submitChunk(Submit which) {
  TQ_TRACE_SORT("TqSortVornImpl(0x%p)->submitChunk(%d)", this, which == Submit::last ? 1 : 0);
  return submitCurrentChunk(which);
}

TqbThreadPoolWork* TqSortVornImpl::newSortItem(ChunkDescriptor* chunk) {
  return tqbNew<TqSortVornWorkSort>(this, logger_, chunk);
}

int32_t TqSortVornImpl::submitCurrentChunk(Submit which) {
  const bool final = which == Submit::last;
  if (final) markFinalSubmit();
  if (currentChunk_ == nullptr) return finishInput(final);
  ChunkDescriptor* chunk = currentChunk_;
  chunk->rowCount = rowsLeft_;
  rowsLeft_ = 0;
  lockChunks();
  currentChunk_ = nullptr;
  unlockChunks();
  buffer_ = nullptr;
  if (chunk->rowCount == 0) {  // nothing to sort: give the buffer back at once
    tossChunk(chunk, ChunkLock::notHeld);
    return finishInput(final);
  }
  TqbThreadPoolWork* item = newSortItem(chunk);
  if (item == nullptr) {
    setError(StatusNoRoom, TQ_MESSAGE(29, "(Sort work descriptor)"), ChunkLock::notHeld);
    adoptRecordedError();
    return StatusNoRoom;
  }
  int32_t status = dispatchSort(item, final);
  if (status == StatusOk && !final) mergeDuringInput();
  return status;
}

int32_t TqSortVornImpl::dispatchSort(TqbThreadPoolWork* item, bool final) {
  if (final) {
    lockChunks();
    ++sortsOnMain_;
    unlockChunks();
    item->work(true, nullptr);  // the last chunk is always sorted by the caller
    return finishInput(true);
  }
  // Counted before the pool has it: a merge pass waits for every sort counted here.
  lockChunks();
  ++sortsSubmitted_;
  unlockChunks();
  if (!threadPool_.enqueue(item, false)) {
    lockChunks();
    --sortsSubmitted_;
    unlockChunks();
    item->destroy();
    setError(StatusNoRoom, TQ_MESSAGE(1827), ChunkLock::notHeld);
    adoptRecordedError();
    return StatusNoRoom;
  }
  return StatusOk;
}

void TqSortVornImpl::countMerged(uint64_t rows) {
  lockChunks();
  rowsMergedEarly_ += rows;
  unlockChunks();
}

void TqSortVornImpl::markFinalSubmit() {
  lockChunks();
  sorting_ = true;
  counters_.chunksCreatedDuringSort = nextChunkId_;
  unlockChunks();
}

void TqSortVornImpl::sortEnded(uint64_t rows) {
  lockChunks();
  ++sortsEnded_;
  rowsSorted_ += rows;
  wakeBufferWaiter();  // rows (or a long row) may wait for the sorts to end
  unlockChunks();
}

int32_t TqSortVornImpl::finishInput(bool final) {
  if (!final) return StatusOk;
  if (errorCode_ != 0) {
    adoptRecordedError();
    return errorCode_;
  }
  lockChunks();
  if (nextChunkId_ == 1 && chunkList_ != nullptr && chunkList_->inTree) {
    // A sort of one chunk: in order already, and nothing to merge.
    chunkList_->ready = true;
    rowsReady_ += chunkList_->rowCount;
    mergeComplete_ = true;
  }
  unlockChunks();
  return StatusOk;
}

// --- errors --------------------------------------------------------------------------------

void TqSortVornImpl::setError(int32_t status, const TqbString& message, ChunkLock lock) {
  TQ_TRACE_SORT("TqSortVornImpl(0x%p)->setError('%s', %d)", this, message, status);
  {
    ChunkLockScope scope(this, lock);
    if (errorCode_ == 0) {
      recordedError_ = message;
      recordedPending_ = true;
      errorCode_ = status;
    }
    aborted_ = true;
    ++bufferGeneration_;
  }
  // Threads waiting for a buffer or for running merges see the error at once.
  if (bufferWaiter_ != 0) tqEventPost(bufferWaiter_, 0);
  if (mergeWaiter_ != 0) tqEventPost(mergeWaiter_, 0);
}

void TqSortVornImpl::adoptRecordedError() {
  if (!chunkLock_.created()) return;
  lockChunks();
  if (recordedPending_) {
    lastError_ = recordedError_;
    recordedPending_ = false;
  }
  unlockChunks();
}

TqbString TqSortVornImpl::getError() {
  adoptRecordedError();
  return lastError_;
}

// --- state ---------------------------------------------------------------------------------

void TqSortVornImpl::clean(ClearScope scope) {
  TQ_TRACE_CALL("TqSortVornImpl(0x%p)->clean(%d)", this, scope == ClearScope::rowsAndKeys ? 1 : 0);
  AbsTqSortfile::clean(scope);
  if (chunkLock_.created()) {
    aborted_ = true;
    if (bufferWaiter_ != 0) tqEventPost(bufferWaiter_, 0);
    threadPool_.quiesce(TqbThreadPool::Drain::cancelAll);
    threadPool_.reset();
    // The read merge goes first: it may still toss the one input it holds.
    if (readMerge_ != nullptr) {
      readMerge_->destroy();
      readMerge_ = nullptr;
    }
    lockChunks();
    while (chunkList_ != nullptr) {
      ChunkDescriptor* chunk = chunkList_;
      chunkList_ = chunk->nextInList;
      TQ_TRACE_SORT("TqSortVornImpl(0x%p)->tossChunk(0x%p) tossing chunk %I64u", this, chunk,
                    static_cast<uint64_t>(chunk->id));
      freeChunk(chunk);
    }
    while (spareBuffers_ != nullptr) {
      uint8_t* spare = spareBuffers_;
      std::memcpy(&spareBuffers_, spare, sizeof(uint8_t*));
      tqbFree(spare);
    }
    tqbFree(persistWindow_);
    persistWindow_ = nullptr;
    nextChunkId_ = 0;
    buffersInUse_ = 0;
    bytesInUse_ = 0;
    metaBytes_ = 0;
    filesInUse_ = 0;
    windowsInUse_ = 0;
    inputMergeRunning_ = false;
    rowsLeft_ = 0;
    lrbtReset(&chunkTree_);
    currentChunk_ = nullptr;
    sorting_ = false;
    mergeComplete_ = false;
    aborted_ = false;
    errorCode_ = 0;
    recordedPending_ = false;
    bufferWaiters_ = 0;
    // The statistics start again (without the lock, none was ever counted).
    counters_ = Counters();
    writingAhead_ = true;
    outgrown_ = false;
    sortsOnMain_ = sortsSubmitted_ = sortsEnded_ = 0;
    rowsReady_ = 0;
    rowsSorted_ = rowsMergedEarly_ = rowsPlannedEarly_ = 0;
    unlockChunks();
  }
  if (mergeAtomicCreated_) tqAtomSet(&mergeAtomic_, tqAtomGet(&mergeAtomic_), 0);
  if (mergeWaiter_ != 0) tqEventClear(mergeWaiter_);
  if (bufferWaiter_ != 0) tqEventClear(bufferWaiter_);
  tqbFree(groupKey_);
  groupKey_ = nullptr;
  groupKeyCapacity_ = groupKeyLength_ = 0;
  groupKeyHeld_ = false;
  longestKey_ = 0;
  rowKey_ = nullptr;
  rowKeyLength_ = 0;
  if (scope == ClearScope::rowsAndKeys) {
    tqbFree(keyFields_);
    keyFields_ = nullptr;
    keyLength_ = 0;
  }
  statisticsPrinted_ = false;
}

int32_t TqSortVornImpl::clear(ClearScope scope) {
  TQ_TRACE_CALL("TqSortVornImpl(0x%p)->clear(%d)", this, scope == ClearScope::rowsAndKeys ? 1 : 0);
  if (flags_ & FlagReadOnly) return fail(StatusNotAllowed, 1419, "Read Only");
  clean(scope);
  return StatusOk;
}

void TqSortVornImpl::release() {
  TQ_TRACE_SORT("TqSortVornImpl(0x%p)->release()", this);
  if (--refCount_ <= 0) destroy();
}

int32_t TqSortVornImpl::freeze() {
  TQ_TRACE_SORT("TqSortVornImpl(0x%p)->freeze()", this);
  if (cloneCopy_ != nullptr) return cloneCopy_->freeze();
  // After sort there is nothing to end; before, freezing is refused.
  return AbsTqSortfile::freeze();
}

bool TqSortVornImpl::hasNext() {
  TQ_TRACE_CALL("TqSortVornImpl(0x%p)->hasNext()", this);
  if (!(flags_ & FlagReadOnly) || !chunkLock_.created()) return hasNextSorted(false);
  bool more = rowsLeft_ > 0;
  if (!more) {
    // Rows wait in chunks other than the one just read, or come from running merges.
    lockChunks();
    uint32_t others = chunkTree_.count - (currentChunk_ != nullptr && currentChunk_->inTree ? 1 : 0);
    more = others > 0 || tqAtomGet(&mergeAtomic_) != 0;
    unlockChunks();
  }
  // Rows left may all be duplicates of the row in hand, which next() drops.
  if (more && noDups_ && groupKeyHeld_) more = distinctRowLeft();
  return hasNextSorted(more);
}

// --- groups --------------------------------------------------------------------------------
// Rows are one group when their keys, less a stable sort's sequence number, are equal:
// the rule of the external engine, on key bytes that the one key encoder made, so that
// every engine marks the same groups and drops the same duplicates.  The key of the
// row in hand is copied into groupKey_, which prepareGrouping sizes for the longest key
// written before the first row is read.

uint32_t TqSortVornImpl::groupPart(uint32_t keyLength) const {
  return stable_ && keyLength >= 8 ? keyLength - 8 : keyLength;
}

bool TqSortVornImpl::sameGroup(const uint8_t* key, uint32_t keyLength) const {
  uint32_t length = groupPart(keyLength);
  return length == groupKeyLength_ && std::memcmp(key, groupKey_, length) == 0;
}

int32_t TqSortVornImpl::prepareGrouping() {
  if (!groupAfterSort_) return StatusOk;
  uint32_t need = longestGroupKey();
  if (need == 0) need = 1;
  if (need > groupKeyCapacity_) {
    uint8_t* grown = static_cast<uint8_t*>(tqbRealloc(groupKey_, need));
    if (grown == nullptr) return fail(StatusNoRoom, 29, "(Sort Last Row Keys)");
    groupKey_ = grown;
    groupKeyCapacity_ = need;
  }
  groupKeyHeld_ = false;
  return StatusOk;
}

bool TqSortVornImpl::isNewGroup() {
  if (rowsPassed_ != 1 && groupKeyHeld_ && sameGroup(rowKey_, rowKeyLength_)) return false;
  uint32_t length = groupPart(rowKeyLength_);
  if (length > groupKeyCapacity_) {  // every key written fits (prepareGrouping)
    TQB_ASSERT_FAIL("Sort key longer than any written");
    length = groupKeyCapacity_;
  }
  std::memcpy(groupKey_, rowKey_, length);
  groupKeyLength_ = length;
  groupKeyHeld_ = true;
  return true;
}

bool TqSortVornImpl::distinctRowLeft() {
  // Every row left is at or above the row in hand, so a run whose highest key is in the
  // row in hand's group holds only its duplicates; any other run holds a distinct row.
  if (readMerge_ != nullptr) {
    ChunkDescriptor** inputs = readMerge_->inputs();
    for (uint32_t k = 0; k < readMerge_->inputCount(); ++k) {
      if (inputs[k] != nullptr && !sameGroup(inputs[k]->highKey, inputs[k]->highKeyLength)) return true;
    }
  } else if (currentChunk_ != nullptr && rowsLeft_ > 0 &&
             !sameGroup(currentChunk_->highKey, currentChunk_->highKeyLength)) {
    return true;
  }
  lockChunks();
  // A merge on the pool merges runs that overlap: they hold more than one group.
  bool distinct = tqAtomGet(&mergeAtomic_) != 0;
  for (ChunkDescriptor* c = treeFirst(); !distinct && c != nullptr; c = treeNext(c)) {
    if (c != currentChunk_) distinct = !sameGroup(c->highKey, c->highKeyLength);
  }
  unlockChunks();
  return distinct;
}

// --- statistics ----------------------------------------------------------------------------

TqSortVornImpl::Statistics TqSortVornImpl::statistics() {
  lockChunks();
  Statistics s{};
  s.resolvedSortBytes = budgetBytes_;  // the sort size, or what it grew to
  s.resolvedChunkSize = resolvedChunkSize_;
  s.sortThreads = sortThreads_;
  s.maxChunksInMemory = maxChunksInMemory_;
  static_cast<Counters&>(s) = counters_;
  s.chunksCreatedDuringMerge = nextChunkId_ - counters_.chunksCreatedDuringSort;
  s.sortsOnMain = sortsOnMain_;
  s.sortsSubmitted = sortsSubmitted_;
  s.sortsEnded = sortsEnded_;
  s.rowsReady = rowsReady_;
  s.windowSize = windowSize_;
  s.runFileLimit = fileLimit_;
  unlockChunks();
  return s;
}

void TqSortVornImpl::printStatistics() {
  if (infoBlock_.sortInfo == nullptr && logger_->getLevel() > 2) return;
  Statistics s = statistics();
  auto emit = [this](const TqbString& line) {
    if (infoBlock_.sortInfo != nullptr) {
      infoCallback(&infoBlock_, line.asCstr());
    } else {
      TQ_LOG(logger_, 2, "%s", line);
    }
  };
  emit(tqbStringFormat("Resolved SORTBYTES: %I64u", s.resolvedSortBytes));
  emit(tqbStringFormat("Resolved CHUNKSIZE: %I64u", s.resolvedChunkSize));
  emit(tqbStringFormat("Resolved SORTTHREADS: %d", s.sortThreads));
  emit(tqbStringFormat("Maximum permittable chunks in memory: %I64u", uint64_t{s.maxChunksInMemory}));
  emit(tqbStringFormat("Actual maximum chunks in memory: %I64u", uint64_t{s.maxBuffersInUse}));
  emit(tqbStringFormat("BY group processing: %s", yesNo(markByGroups_)));
  emit(tqbStringFormat("No duplicate key processing: %s", yesNo(noDups_)));
  emit(tqbStringFormat("Maintain duplicate key order: %s", yesNo(stable_)));
  emit(tqbStringFormat("Number of key fields: %d", keyCount_));
  emit(tqbStringFormat("Chunks created during sort: %I64u", uint64_t{s.chunksCreatedDuringSort}));
  emit(tqbStringFormat("Chunks created during merge: %I64u", uint64_t{s.chunksCreatedDuringMerge}));
  emit(tqbStringFormat("Chunks written to disk: %I64u", uint64_t{s.chunksWrittenToDisk}));
  emit(tqbStringFormat("Chunks written ahead on the pool: %I64u", uint64_t{s.chunksWrittenAhead}));
  int64_t processed = 0;
  int32_t maxQueued = 0, maxThreads = 0;
  if (threadPool_.getStats(&processed, nullptr, nullptr, nullptr, nullptr, nullptr, &maxQueued,
                           &maxThreads)) {
    emit(tqbStringFormat("Thread pool requests processed: %I64i", processed));
    emit(tqbStringFormat("Thread pool maximum queued requests: %d", maxQueued));
    emit(tqbStringFormat("Thread pool maximum threads: %d", maxThreads));
  }
  emit(tqbStringFormat("Sorts on main thread: %I64i", s.sortsOnMain));
  emit(tqbStringFormat("Sorts submitted: %I64i", s.sortsSubmitted));
  emit(tqbStringFormat("Merge passes: %d", s.mergePasses));
  emit(tqbStringFormat("Merges that were read from: %d", s.readMergeCount));
  emit(tqbStringFormat("Merges on main thread: %d", s.mergesOnMain));
  emit(tqbStringFormat("Merges submitted: %d", s.mergesSubmitted));
  emit(tqbStringFormat("Merges until first row: %d", s.mergesUntilFirstRow));
  emit(tqbStringFormat("Merge pass waits: %d", s.mergePassWaits));
  emit(tqbStringFormat("Stream window size: %I64u", s.windowSize));
  emit(tqbStringFormat("Chunks streamed: %I64u", s.runsStreamed));
  emit(tqbStringFormat("Maximum windows in memory: %I64u", uint64_t{s.maxWindowsInUse}));
  emit(tqbStringFormat("Bytes written to disk: %I64u", s.bytesWrittenToDisk));
  emit(tqbStringFormat("Peak bytes in memory: %I64u", s.peakBytesInUse));
  emit(tqbStringFormat("Merges while adding rows: %I64u", uint64_t{s.inputMerges}));
  emit(tqbStringFormat("Run files open at most: %I64u of %I64u", uint64_t{s.maxRunFilesOpen},
                       uint64_t{s.runFileLimit}));
  statisticsPrinted_ = true;
}

}  // namespace tqlib
