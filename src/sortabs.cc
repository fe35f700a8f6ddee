// The sortfile base: options, keys, the reading driver with group marking and
// duplicate dropping, and clone() through a private unsorted copy.
#include "src/sortabs.h"

#include <cstring>

#include "core/rowbytes.h"
#include "core/sortkey.h"
#include "platform/tqballoc.h"
#include "src/datamgr.h"
#include "tqdatafile/manager.h"
#include "src/trace.h"

namespace tqlib {

namespace {

constexpr int32_t kMaxKeys = 1024;

// Chunk sizes are multiples of 16, so that the structures a sort engine keeps at a
// chunk's end stay aligned; the sum is made in 64 bits (the largest size allowed is far
// below 2^32).
uint32_t roundChunkSize(uint32_t size) {
  uint64_t rounded = (static_cast<uint64_t>(size) + 15) & ~uint64_t{15};
  return static_cast<uint32_t>(rounded > kTqMaxChunkSize ? kTqMaxChunkSize : rounded);
}

}  // namespace

AbsTqSortfile::AbsTqSortfile() {
  TQ_TRACE_CALL("AbsTqSortfile(0x%p)->AbsTqSortfile()", this);
  sequenceBlock_ = {&AbsTqSortfile::sequenceKeyCallback, nullptr};
  infoBlock_ = {&AbsTqSortfile::infoCallback, nullptr};
  decimalBlock_.callback = &AbsTqSortfile::decimalKeyCallback;
  decimalBlock_.owner = this;
  decContextDefault(&decimalBlock_.context, 192);
}

AbsTqSortfile::~AbsTqSortfile() {
  TQ_TRACE_CALL("AbsTqSortfile(0x%p)->~AbsTqSortfile()", this);
  releaseCloneCopy();
  buffer_ = nullptr;  // chunk buffers belong to the engine
}

bool AbsTqSortfile::init(TqDatafileManager* manager, uint32_t flags) {
  TQ_TRACE_CALL("AbsTqSortfile(0x%p)->init(0x%p, 0x%x)", this, manager, flags);
  if (!AbsTqDatafile::init(manager, flags)) return false;
  chunkSize_ = roundChunkSize(chunkSize_);
  sortChunkSize_ = chunkSize_;
  int32_t offset = 0;
  for (int32_t i = 0; i < fieldCount_; ++i) {
    TqDatafileField& field = fields_[i];
    fields_[i].rowOffset = offset + 1;
    offset += static_cast<int32_t>(tqrowbytes::declaredWidth(field.type, field.maxLength));
  }
  fixedRowLength_ = offset;
  markByGroups_ = manager_->getSortMarkByGroups();
  noCodeGen_ = manager_->getSortNoCodeGen();
  noDups_ = manager_->getSortNoDups();
  stable_ = manager_->getSortStable();
  groupAfterSort_ = false;
  return true;
}

// --- callbacks -------------------------------------------------------------------------

int AbsTqSortfile::sequenceKeyCallback(void* block, const void* value, uint32_t, void* out,
                                       uint32_t, int descending, uint32_t* outLength) {
  (void)block;
  if (out != nullptr) {
    const uint8_t* in = static_cast<const uint8_t*>(value);
    uint8_t* o = static_cast<uint8_t*>(out);
    for (int i = 0; i < 8; ++i) {
      uint8_t b = in[7 - i];
      o[i] = descending ? static_cast<uint8_t>(~b) : b;
    }
  }
  *outLength = 8;
  return 0;
}

int AbsTqSortfile::decimalKeyCallback(void*, const void* value, uint32_t, void* out, uint32_t,
                                      int descending, uint32_t* outLength) {
  // The external engine's real keys: the key encoder's value bytes of the decimal.
  if (out != nullptr) tqkey::putReal(static_cast<uint8_t*>(out), value, descending != 0);
  *outLength = tqkey::kRealValueBytes;
  return 0;
}

int AbsTqSortfile::infoCallback(void* block, const char* text) {
  InfoBlock* b = static_cast<InfoBlock*>(block);
  return b->sortInfo != nullptr ? b->sortInfo->line(text) : 0;
}

// --- writing ---------------------------------------------------------------------------

int32_t AbsTqSortfile::addRow(int64_t* rowStart) {
  if (flags_ & FlagReadOnly) return fail(StatusNotAllowed, 1419, "Read Only");
  if (!keysSet_) {
    int32_t status = setKeys();
    if (status != StatusOk) return status;
  }
  // A whole record (the fields, and a stable sort's ordinal) goes into the chunk, or
  // the chunk is submitted first: a row is counted only once all of it is written.
  if (position_ + fixedRowLength_ > static_cast<int64_t>(chunkSize_)) {
    int32_t status = submitChunk(Submit::more);
    if (status == StatusOk) status = getEmptyChunk();
    if (status != StatusOk) return status;
    if (position_ + fixedRowLength_ > static_cast<int64_t>(chunkSize_)) {
      return fail(StatusNoRoom, 1422, static_cast<uint64_t>(fixedRowLength_), static_cast<uint64_t>(chunkSize_),
                  static_cast<uint64_t>(chunkSize_));
    }
  }
  int32_t status = AbsTqDatafile::addRow(rowStart);
  if (status != StatusOk) return status;
  if (stable_) {
    uint64_t ordinal = rowsPassed_;  // this row's, from 1
    std::memcpy(buffer_ + position_, &ordinal, 8);  // little-endian, low word first
    position_ += 8;
    endOfData_ += 8;
  }
  ++rowsLeft_;
  return StatusOk;
}

// --- reading ---------------------------------------------------------------------------

int32_t AbsTqSortfile::readingRefused() {
  if (!(flags_ & FlagReadOnly)) {
    int32_t failed = recordedFailure();  // sort() was called, and failed
    return failed != 0 ? failed : fail(StatusNotAllowed, 1419, "Sort not called");
  }
  if (readFailure_ != 0) {
    lastError_ = readFailureText_;
    return readFailure_;
  }
  return StatusOk;
}

int32_t AbsTqSortfile::next(bool* mark) {
  keyInHand_ = false;
  int32_t refused = readingRefused();
  if (refused != StatusOk) return refused;
  if (hostReader_ != nullptr) return nextFromCopy(mark);
  for (;;) {
    bool isNew = true;
    if (rowsLeft_ == 0) {
      int32_t status = getNextChunk();
      if (status == StatusEndOfData) {
        tellProgress(1.0);
        return fail(StatusEndOfData, 1421);
      }
      if (status != StatusOk) return status;
    }
    int32_t status = rowReader_(*this, mark);
    if (status == StatusEndOfData) {
      tellProgress(1.0);  // everything was read: a cancel now stops nothing
      return fail(StatusEndOfData, 1421);
    }
    if (status != StatusOk) return status;
    ++rowsTaken_;
    if ((status = readProgress()) != StatusOk) return status;
    if (groupAfterSort_) isNew = isNewGroup();
    --rowsLeft_;
    if (groupAfterSort_ && noDups_ && !isNew) continue;  // a duplicate of the row before: skipped
    // Positions count the rows as a copy of the sorted output holds them: a mark
    // column (2 bytes) behind each row when groups are marked.
    readPosition_ += lastRowLength_ + (markByGroups_ ? 2 : 0);
    if (groupAfterSort_ && mark != nullptr && markByGroups_) *mark = isNew;
    keyInHand_ = true;
    return StatusOk;
  }
}

int32_t AbsTqSortfile::sortKey(const uint8_t** key, uint32_t* keyLength) {
  if (!(flags_ & FlagReadOnly)) return fail(StatusNotAllowed, 1419, "Sort not called");
  if (hostReader_ != nullptr) return fail(StatusNotAllowed, 1419, "cloned: the copy keeps no keys");
  if (!keyInHand_) return fail(StatusNotAllowed, 1419, "no row in hand");
  return rowSortKey(key, keyLength);
}

int32_t AbsTqSortfile::rowSortKey(const uint8_t**, uint32_t*) {
  return fail(StatusNotAllowed, 1419, "this engine keeps no keys to hand out");
}

bool AbsTqSortfile::tellProgress(double fraction) {
  TqSortProgress* progress = sequenceBlock_.sortProgress;
  if (progress == nullptr) return true;
  if (!(fraction >= lastFraction_)) fraction = lastFraction_;  // NaN too
  if (fraction > 1.0) fraction = 1.0;
  lastFraction_ = fraction;
  return progress->progress(fraction);
}

int32_t AbsTqSortfile::readProgress() {
  if (sequenceBlock_.sortProgress == nullptr || --rowsToReport_ > 0) return StatusOk;
  rowsToReport_ = rowTotal_ / 100 > 0 ? rowTotal_ / 100 : 1;
  if (tellProgress(workDone())) return StatusOk;
  stopWork();
  readFailure_ = StatusStopped;
  readFailureText_ = TQ_MESSAGE(548);
  lastError_ = readFailureText_;
  return StatusStopped;
}

int64_t AbsTqSortfile::tell() {
  TQ_TRACE_CALL("AbsTqSortfile(0x%p)->tell()", this);
  if (!(flags_ & FlagReadOnly) || readFailure_ != 0) return -1;
  if (hostReader_ != nullptr) return hostReader_->tell();
  return hasNext() ? readPosition_ : -1;
}

bool AbsTqSortfile::hasNextSorted(bool engineHasNext) {
  if (!(flags_ & FlagReadOnly) || readFailure_ != 0) return false;
  if (hostReader_ != nullptr) return hostReader_->hasNext();
  return engineHasNext;
}

int32_t AbsTqSortfile::seekSorted(int64_t position) {
  int32_t refused = readingRefused();
  if (refused != StatusOk) return refused;
  if (hostReader_ != nullptr) {
    int32_t status = hostReader_->seek(position);
    if (status != StatusOk) {
      lastError_ = hostReader_->getError();
      return status;
    }
    takeRowFromCopy();
    return StatusOk;
  }
  // Positions count rows as a copy would hold them (a mark column included), so the
  // current one may lie beyond the bytes the engine stores.
  if (position == readPosition_ && position >= 0) return next(nullptr);
  if (position < 0 || position > endOfData_) return fail(StatusEndOfData, 1421);
  if (position != 0) return fail(StatusIoError, 336);
  int32_t status = rewind();
  if (status != StatusOk) return status;
  readPosition_ = 0;
  rowsTaken_ = 0;
  rowsPassed_ = 0;
  return next(nullptr);
}

int32_t AbsTqSortfile::sort() {
  TQ_TRACE_CALL("AbsTqSortfile(0x%p)->sort()", this);
  if (flags_ & FlagReadOnly) return fail(StatusNotAllowed, 1419, "Read Only");
  if (!keysSet_) {  // no row yet: the keys are checked all the same
    int32_t status = setKeys();
    if (status != StatusOk) return status;
  }
  int32_t status = prepareGrouping();
  if (status == StatusOk) status = submitChunk(Submit::last);
  if (status != StatusOk) return status;
  flags_ |= FlagReadOnly;
  rowTotal_ = rowsPassed_;
  rowsToReport_ = 1;  // the first row read reports
  position_ = 0;
  rowsPassed_ = 0;
  readPosition_ = 0;
  rowsTaken_ = 0;
  status = getNextChunk();
  if (status != StatusOk && status != StatusEndOfData) return status;
  return next(nullptr);
}

// --- state changes ---------------------------------------------------------------------

int32_t AbsTqSortfile::clear() {
  TQ_TRACE_CALL("AbsTqSortfile(0x%p)->clear()", this);
  return clear(ClearScope::rows);
}

int32_t AbsTqSortfile::resetSort(int32_t keyCount) {
  TQ_TRACE_CALL("AbsTqSortfile(0x%p)->resetSort(%d)", this, keyCount);
  if (keyCount < 0 || keyCount > kMaxKeys) {
    return fail(StatusNotAllowed, 1814, static_cast<int64_t>(keyCount), "the sort key count",
                int64_t{0}, static_cast<int64_t>(kMaxKeys));
  }
  int32_t status = clear(ClearScope::rowsAndKeys);
  if (status != StatusOk) return status;
  keyCount_ = keyCount > 0 ? keyCount : 0;
  keyPartCount_ = 2 * keyCount_ + (stable_ ? 1 : 0);
  return StatusOk;
}

int32_t AbsTqSortfile::rechunk(uint32_t size) {
  TQ_TRACE_CALL("AbsTqSortfile(0x%p)->rechunk(%I64i)", this, static_cast<int64_t>(size));
  if (flags_ & FlagReadOnly) return fail(StatusNotAllowed, 1419, "Read Only");
  if (size == 0) size = manager_->getChunkSize();  // 0: the manager's size
  if (size > kTqMaxChunkSize) {
    return fail(StatusNotAllowed, 1814, static_cast<int64_t>(size), "the chunk size", int64_t{0},
                static_cast<int64_t>(kTqMaxChunkSize));
  }
  sortChunkSize_ = roundChunkSize(size);
  return StatusOk;
}

int32_t AbsTqSortfile::setSortInfo(TqSortInfo* info) {
  TQ_TRACE_CALL("AbsTqSortfile(0x%p)->setSortInfo(%p)", this, info);
  infoBlock_.sortInfo = info;
  return StatusOk;
}

int32_t AbsTqSortfile::setSortProgress(TqSortProgress* progress) {
  TQ_TRACE_CALL("AbsTqSortfile(0x%p)->setSortProgress(%p)", this, progress);
  sequenceBlock_.sortProgress = progress;
  return StatusOk;
}

void AbsTqSortfile::releaseCloneCopy() {
  if (hostReader_ != nullptr) {
    hostReader_->release();  // its reference is on the copy
    hostReader_ = nullptr;
  }
  if (cloneManager_ == nullptr) return;
  if (cloneCopy_ != nullptr) {
    cloneCopy_->setParent(nullptr);
    cloneCopy_->release();
    cloneCopy_ = nullptr;
  }
  cloneManager_->release();
  cloneManager_ = nullptr;
}

void AbsTqSortfile::clean(ClearScope scope) {
  TQ_TRACE_CALL("AbsTqSortfile(0x%p)->clean(%d)", this, scope == ClearScope::rowsAndKeys ? 1 : 0);
  const bool full = scope == ClearScope::rowsAndKeys;
  releaseCloneCopy();
  chunkSize_ = sortChunkSize_;
  buffer_ = nullptr;
  position_ = 0;
  rowsPassed_ = 0;
  endOfData_ = 0;
  rowTotal_ = 0;
  keysSet_ = false;
  readPosition_ = 0;
  rowsTaken_ = 0;
  sourcesReleased_ = false;
  readFailure_ = 0;
  readFailureText_.truncate(0);
  lastFraction_ = 0;
  rowsToReport_ = 0;
  if (full) {
    keyPartCount_ = 0;  // (a clean that keeps the keys keeps their parts)
    keyCount_ = 0;
  }
}

int32_t AbsTqSortfile::freeze() {
  TQ_TRACE_CALL("AbsTqSortfile(0x%p)->freeze()", this);
  if (flags_ & FlagReadOnly) return StatusOk;
  // A sorting datafile ends its input with sort(); freezing it before would leave its
  // rows unreadable, or make an empty file read-only for good.
  return fail(StatusNotAllowed, 1419, "Sort not called");
}

// --- clone ---------------------------------------------------------------------------

TqDatafile* AbsTqSortfile::clone() {
  lastError_.truncate(0);
  TQ_TRACE_CALL("AbsTqSortfile(0x%p)->clone()", this);
  if (readingRefused() != StatusOk) return nullptr;
  if (cloneCopy_ == nullptr) {
    // Reading released the rows behind the reader: a copy would hold only the rest.
    if (rowsTaken_ > 1 || sourcesReleased_) {
      fail(0, 1427);
      return nullptr;
    }
    if (!makeCloneCopy()) return nullptr;
  }
  TqDatafile* reader = cloneManager_->clone(cloneCopy_);
  if (reader == nullptr) lastError_ = cloneManager_->getError();
  return reader;
}

bool AbsTqSortfile::makeCloneCopy() {
  if (!createCloneCopy()) return false;
  bool hasRow = rowsTaken_ == 1;
  bool taken = false;  // rows were taken from the engine: the host's reading depends on the copy
  if (!copyRowsToClone(hasRow, &taken)) return false;
  if (!openHostReader(hasRow, taken)) return false;
  TqDatafile* root = this;
  while (root->getParent() != nullptr) root = root->getParent();
  cloneCopy_->setParent(root);
  return true;
}

bool AbsTqSortfile::cloneCopyFailed() {
  if (lastError_.length() == 0 && cloneCopy_ != nullptr) lastError_ = cloneCopy_->getError();
  if (lastError_.length() == 0 && cloneManager_ != nullptr) lastError_ = cloneManager_->getError();
  releaseCloneCopy();
  return false;
}

bool AbsTqSortfile::createCloneCopy() {
  cloneManager_ = tqDatafileManagerCreate(manager_->getTempDirs(), &lastError_);
  if (cloneManager_ == nullptr) return false;
  lastError_.truncate(0);
  int32_t columns = markByGroups_ ? fieldCount_ + 1 : fieldCount_;
  if (!cloneManager_->setChunkSize(chunkSize_) || !cloneManager_->setColumns(columns)) return cloneCopyFailed();
  for (int32_t i = 0; i < fieldCount_; ++i) {
    const TqDatafileField& f = fields_[i];
    if (!cloneManager_->setColSpec(i, static_cast<tqbType>(f.type), f.rawInteger ? -1 : f.maxLength)) {
      return cloneCopyFailed();
    }
  }
  if (markByGroups_ && !cloneManager_->setColSpec(fieldCount_, tqbTypeBoolean, 1)) return cloneCopyFailed();
  cloneCopy_ = cloneManager_->createFile(cloneFlags_ | (markByGroups_ ? FlagMarkColumn : 0));
  if (cloneCopy_ == nullptr) return cloneCopyFailed();
  return true;
}

bool AbsTqSortfile::copyRowsToClone(bool hasRow, bool* taken) {
  TqDatafileField* copyFields = static_cast<AbsTqDatafile*>(cloneCopy_)->fields();
  // Copy the sorted rows from the first.  The host may have changed its fields since
  // the first row was loaded, so that row is read again.
  bool mark = true;
  if (hasRow) {
    int32_t status = rewind();
    if (status == StatusOk) {
      readPosition_ = 0;
      rowsTaken_ = 0;
      rowsPassed_ = 0;
      status = next(&mark);
    }
    if (status != StatusOk) return cloneCopyFailed();
    mark = true;
  }
  while (hasRow) {
    for (int32_t i = 0; i < fieldCount_; ++i) {
      if (fields_[i].rawInteger) {
        copyFields[i].rawValue = fields_[i].rawValue;
      } else {
        copyFields[i].value = fields_[i].value;
      }
    }
    if (markByGroups_) copyFields[fieldCount_].value.assign(mark);
    int32_t status = cloneCopy_->addRow(nullptr);
    if (status == StatusOk) {
      *taken = true;
      status = next(&mark);
      if (status == StatusEndOfData) break;
      if (status == StatusOk) continue;
    } else {
      lastError_ = cloneCopy_->getError();
    }
    if (*taken) {
      // The engine's rows up to here are gone: reading cannot go on.
      readFailure_ = status;
      readFailureText_ = lastError_;
    }
    return cloneCopyFailed();
  }
  lastError_.truncate(0);
  return true;
}

bool AbsTqSortfile::openHostReader(bool hasRow, bool taken) {
  // The host reads on through a private reader of the copy, from its first row, which
  // is the row its fields hold.  The reader's reference is on the copy, so it is made
  // before the copy is tied to this file's root.
  int32_t status = cloneCopy_->freeze();
  if (status == StatusOk) {
    hostReader_ = cloneCopy_->clone();
    if (hostReader_ == nullptr) status = StatusNoRoom;
  }
  if (status == StatusOk && hasRow) {
    status = hostReader_->next(nullptr);
    if (status == StatusOk) takeRowFromCopy();
  }
  if (status != StatusOk) {
    if (lastError_.length() == 0) lastError_ = cloneCopy_->getError();
    if (taken) {
      readFailure_ = status;
      readFailureText_ = lastError_;
    }
    return cloneCopyFailed();
  }
  return true;
}

void AbsTqSortfile::takeRowFromCopy() {
  TqDatafileField* from = static_cast<AbsTqDatafile*>(hostReader_)->fields();
  for (int32_t i = 0; i < fieldCount_; ++i) {
    if (fields_[i].rawInteger) {
      fields_[i].rawValue = from[i].rawValue;
    } else {
      fields_[i].value = from[i].value;
    }
  }
}

int32_t AbsTqSortfile::nextFromCopy(bool* mark) {
  // The copy holds the rows as read, marks included and duplicates already dropped.
  int32_t status = hostReader_->next(mark);
  if (status != StatusOk) {
    lastError_ = hostReader_->getError();
    return status;
  }
  takeRowFromCopy();
  if (!markByGroups_ && mark != nullptr) *mark = false;
  return StatusOk;
}

}  // namespace tqlib
