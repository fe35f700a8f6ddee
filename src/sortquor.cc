// The external sort adapter; see sortquor.h.
#include "src/sortquor.h"

#include <cstring>
#include <string>

#include "platform/tqballoc.h"
#include "src/datamgr.h"
#include "xsort/tqxsort.h"
#include "src/trace.h"

namespace tqlib {

namespace {

// Below this the engine refuses to work (its parameter 9).
constexpr uint64_t kEngineMinimumMemory = 256 * 1024;

int32_t quorReadRow(AbsTqSortfile& file, bool* mark) { return static_cast<TqSortQuorImpl&>(file).readRow(mark); }

}  // namespace

TqSortQuorImpl::TqSortQuorImpl() {
  TQ_TRACE_CALL("TqSortQuorImpl(0x%p)->TqSortQuorImpl()", this);
  rowReader_ = quorReadRow;
}

TqSortQuorImpl::~TqSortQuorImpl() {
  TQ_TRACE_CALL("TqSortQuorImpl(0x%p)->~TqSortQuorImpl()", this);
  clean(ClearScope::rowsAndKeys);
}

int32_t TqSortQuorImpl::engineFailed(int result, const char* text, int32_t status) {
  if (result == TQ_SORT_FAILED_STOPPED) {
    // As the chunk sorts say it; the reading stays stopped.
    readFailure_ = StatusStopped;
    readFailureText_ = TQ_MESSAGE(548);
    lastError_ = readFailureText_;
    return StatusStopped;
  }
  lastError_.assign(text != nullptr && *text != '\0' ? text : "The external sort engine failed.");
  return result == TQ_SORT_FAILED_NO_ROOM ? StatusNoRoom : status;
}

int TqSortQuorImpl::engineProgress(void* block, uint64_t done, uint64_t total) {
  TqSortQuorImpl* self = static_cast<ProgressBlock*>(block)->owner;
  // The engine counts the rows of the output chunks it handed out; the ones not read
  // yet are not done.
  uint64_t unread = self->rowsLeft_ < done ? self->rowsLeft_ : done;
  return self->tellProgress(fractionOf(done - unread, total)) ? 0 : 1;
}

double TqSortQuorImpl::workDone() {
  uint64_t done = 0, total = 0;
  if (sortEngine_ == nullptr || sortEngine_->ops->getProgress(sortEngine_, &done, &total) != 0) return 0;
  uint64_t unread = rowsLeft_ < done ? rowsLeft_ : done;
  return fractionOf(done - unread, total);
}

bool TqSortQuorImpl::init(TqDatafileManager* manager, uint32_t flags) {
  TQ_TRACE_CALL("TqSortQuorImpl(0x%p)->init(0x%p, 0x%x)", this, manager, flags);
  cloneFlags_ = flags & ~FlagSorted;
  // Rows always have the fixed layout.
  if (!AbsTqSortfile::init(manager, flags & ~(FlagVariableRows | FlagMemoryOnly))) return false;
  sortParms_ = tqSortParmsCreate();
  if (sortParms_ == nullptr) return refuse(29, "(Sort Parameters)");
  uint64_t sortSize = manager_->getSortSize();
  fieldBytes_ = static_cast<uint32_t>(fixedRowLength_);
  if (stable_) {
    // The row's ordinal, the key's last 8 bytes, orders equal keys but does not part
    // groups: the engine leaves those bytes out when it marks groups and drops
    // duplicates (its tie-breaking parameter).  Grouping after the sort would compare
    // the values byte for byte, which parts rows that a collation calls equal.
    if (markByGroups_) {
      TQ_LOG(logger_, 3, "Stable processing with BY group processing: the external sort marks groups on the key fields alone; the row number that keeps equal keys in input order does not part them.");
    }
    if (noDups_) {
      TQ_LOG(logger_, 3, "Stable processing with No Duplicate processing: the external sort drops duplicates on the key fields alone and keeps the first row of each group in input order.");
    }
    fixedRowLength_ += 8;  // the row's ordinal behind its fields
  }
  if (static_cast<uint32_t>(fixedRowLength_) > sortChunkSize_) {
    TQ_LOG(logger_, 3, "The sort chunk size, %I64i, was adjusted to the length of a serialized row, %I64i.",
           static_cast<int64_t>(sortChunkSize_), static_cast<int64_t>(fixedRowLength_));
    sortChunkSize_ = static_cast<uint32_t>(fixedRowLength_);
    chunkSize_ = sortChunkSize_;
  }
  int32_t processors = manager_->getSortProcessors();
  if (processors < 1) processors = 1;  // the engine sorts on at least one thread
  if (sortSize == 0) {
    sortSize = uint64_t{sortChunkSize_} * (processors > 1 ? static_cast<uint64_t>(processors) : 2u);
  } else if (sortChunkSize_ > sortSize) {
    TQ_LOG(logger_, 3, "The sort size, %I64i, was adjusted to the specified chunk size, %I64i.",
           static_cast<int64_t>(sortSize), static_cast<int64_t>(sortChunkSize_));
    sortSize = sortChunkSize_;
  }
  if (sortSize < kEngineMinimumMemory) {
    TQ_LOG(logger_, 3, "The sort size, %I64i, was adjusted to the external sort's minimum, %I64i.",
           static_cast<int64_t>(sortSize), static_cast<int64_t>(kEngineMinimumMemory));
    sortSize = kEngineMinimumMemory;
  }
  uint64_t records = static_cast<uint64_t>(manager_->getSortRecords());
  uint32_t rowsPerChunk = sortChunkSize_ / static_cast<uint32_t>(fixedRowLength_);
  const TqSortParmsOps* p = sortParms_->ops;
  bool failed = p->setInt(sortParms_, TQ_SORT_PARM_CHUNK_ROWS, static_cast<int32_t>(rowsPerChunk > 0 ? rowsPerChunk : 1)) ||
                p->setInt(sortParms_, TQ_SORT_PARM_RECORD_LENGTH, fixedRowLength_) ||
                p->setInt(sortParms_, TQ_SORT_PARM_OUTPUT_LENGTH, fixedRowLength_) ||
                p->setDefault(sortParms_, 0, 1) ||
                p->setBool(sortParms_, TQ_SORT_PARM_MARK_GROUPS, markByGroups_ ? 1 : 0) ||
                p->setBool(sortParms_, TQ_SORT_PARM_NO_CODE_GEN, noCodeGen_ ? 1 : 0) ||
                p->setBool(sortParms_, TQ_SORT_PARM_DROP_DUPLICATES, noDups_ ? 1 : 0) ||
                p->setInt(sortParms_, TQ_SORT_PARM_PROCESSORS, processors) ||
                p->setInt(sortParms_, TQ_SORT_PARM_TIE_BYTES, stable_ ? 8 : 0) ||
                p->setInt64(sortParms_, TQ_SORT_PARM_EXPECTED_ROWS, static_cast<uint32_t>(records),
                            static_cast<uint32_t>(records >> 32)) ||
                p->setInt64(sortParms_, TQ_SORT_PARM_MEMORY, static_cast<uint32_t>(sortSize),
                            static_cast<uint32_t>(sortSize >> 32));
  if (!failed) sortEngine_ = tqSortCreate(sortParms_);
  if (sortEngine_ == nullptr) {
    engineFailed(TQ_SORT_FAILED, p->getError(sortParms_), 0);
    return false;
  }
  return true;
}

int32_t TqSortQuorImpl::resetSort(int32_t keyCount) {
  TQ_TRACE_CALL("TqSortQuorImpl(0x%p)->resetSort(%d)", this, keyCount);
  int32_t status = AbsTqSortfile::resetSort(keyCount);
  if (status != StatusOk) return status;
  keyParts_ = static_cast<TqSortKeyPart*>(tqbCalloc(static_cast<size_t>(keyPartCount_ > 0 ? keyPartCount_ : 1),
                                                     sizeof(TqSortKeyPart)));
  if (keyParts_ == nullptr) return fail(StatusNoRoom, 29, "(Sort Keys)");
  collations_ = static_cast<TqSortCollation*>(tqbCalloc(static_cast<size_t>(keyCount_ > 0 ? keyCount_ : 1),
                                                         sizeof(TqSortCollation)));
  if (collations_ == nullptr) return fail(StatusNoRoom, 29, "(Sort Collates)");
  collationCount_ = keyCount_;
  if (!stable_) return StatusOk;
  TqSortKeyPart& sequence = keyParts_[2 * keyCount_];
  sequence.offset = static_cast<uint32_t>(fixedRowLength_) - 8;
  sequence.length = 8;
  sequence.kind = TQ_SORT_KIND_CALLBACK;
  sequence.descending = 0;
  sequence.callback = &sequenceBlock_;
  return StatusOk;  // the engine groups: nothing is kept of the last row's keys
}

int32_t TqSortQuorImpl::setSort(int32_t key, int32_t field, int32_t ascending, const TqCollation* collation) {
  if (logger_->getLevel() <= 1) {
    if (collation != nullptr) {
      TQ_TRACE_CALL("TqSortQuorImpl(0x%p)->setSort(%d, %d, %d, { %s, 0x%x })", this, key, field, ascending,
                    collation->locale != nullptr ? collation->locale : "(null)", collation->collateFlags);
    } else {
      TQ_TRACE_CALL("TqSortQuorImpl(0x%p)->setSort(%d, %d, %d, %p)", this, key, field, ascending, collation);
    }
  }
  // The key and field are checked: they index the key tables and the field table.
  if (keysSet_ || (flags_ & FlagReadOnly)) {
    return fail(StatusNotAllowed, 1419, "Keys in use: call resetSort before defining keys");
  }
  if (keyParts_ == nullptr || key < 0 || key >= keyCount_) return fail(StatusNotAllowed, 1423, key, keyCount_);
  if (field < 0 || field >= fieldCount_) return fail(StatusNotAllowed, 1424, field, fieldCount_);
  const TqDatafileField& f = fields_[field];
  bool isString = f.type != tqbTypeBoolean && f.type != tqbTypeInteger && f.type != tqbTypeReal &&
                  f.type != tqbTypeDate;
  if (collation != nullptr && !isString) return fail(StatusNotAllowed, 1607, field);
  TqSortKeyPart& indicator = keyParts_[2 * key];
  TqSortKeyPart& value = keyParts_[2 * key + 1];
  indicator = TqSortKeyPart{};
  value = TqSortKeyPart{};
  indicator.offset = static_cast<uint32_t>(f.rowOffset - 1);
  indicator.length = 1;
  indicator.kind = TQ_SORT_KIND_BYTE;
  indicator.descending = ascending ? 1 : 0;  // the indicator is 1 for null: nulls lowest
  value.offset = static_cast<uint32_t>(f.rowOffset);
  value.descending = ascending ? 0 : 1;
  switch (f.type) {
    case tqbTypeBoolean: value.length = 1; value.kind = TQ_SORT_KIND_BYTE; break;
    case tqbTypeDate: value.length = 8; value.kind = TQ_SORT_KIND_DATE; break;
    case tqbTypeInteger: value.length = 8; value.kind = TQ_SORT_KIND_INTEGER; break;
    case tqbTypeReal:
      value.length = 24;
      value.kind = TQ_SORT_KIND_CALLBACK;
      value.callback = &decimalBlock_;
      break;
    default:
      value.length = static_cast<uint32_t>(f.maxLength) + 1;
      value.kind = TQ_SORT_KIND_STRING;
      break;
  }
  TqSortCollation& c = collations_[key];
  tqbFree(const_cast<char*>(c.locale));
  c = TqSortCollation{};
  if (collation != nullptr) {
    if (collation->locale != nullptr) {
      size_t n = std::strlen(collation->locale) + 1;
      char* copy = static_cast<char*>(tqbMalloc(n));
      if (copy == nullptr) return fail(StatusNoRoom, 29, "(Sort Collate Locale)");
      std::memcpy(copy, collation->locale, n);
      c.locale = copy;
    }
    c.collateFlags = collation->collateFlags;
    value.collation = &c;
  }
  return StatusOk;
}

int32_t TqSortQuorImpl::setKeys() {
  TQ_TRACE_CALL("TqSortQuorImpl(0x%p)->setKeys()", this);
  if (keyPartCount_ == 0 || keyParts_ == nullptr) return fail(StatusNoKeys, 683);
  for (int32_t k = 0; k < keyCount_; ++k) {
    if (keyParts_[2 * k + 1].length == 0) return fail(StatusNoKeys, 683);  // a key never defined
  }
  // A sort object that failed here may be half prepared: it is replaced, so that the
  // next row starts over with a fresh one (the rows not yet stored lose nothing).
  if (sortEngine_ == nullptr) {
    sortEngine_ = tqSortCreate(sortParms_);
    if (sortEngine_ == nullptr) {
      return engineFailed(TQ_SORT_FAILED, sortParms_->ops->getError(sortParms_), StatusOpenFailed);
    }
  }
  const TqSortEngineOps* e = sortEngine_->ops;
  for (int32_t i = 0; i < keyPartCount_; ++i) {
    if (e->addKey(sortEngine_, &keyParts_[i], 0) != 0) {
      int32_t status = keyPartRefused(i, e->getError(sortEngine_));
      discardEngine();
      return status;
    }
  }
  int result = e->checkKeys(sortEngine_);
  if (result == 0) result = e->prepare(sortEngine_);
  if (result == 0) result = e->setProgress(sortEngine_, &progressBlock_);
  if (result == 0) {
    engineInput_ = e->openInput(sortEngine_);
    if (engineInput_ == nullptr) result = TQ_SORT_FAILED;
  }
  int32_t status = result != 0 ? engineFailed(result, e->getError(sortEngine_), StatusOpenFailed) : getEmptyChunk();
  if (status == StatusOk) {
    keysSet_ = true;
  } else {
    discardEngine();
  }
  return status;
}

// The engine numbers its key parts, two per sort key (the null indicator, then the
// value) and the stable order's sequence last; the host numbered sort keys from 0.  Its
// text is told as the host's key, without the engine's "Key part N: " in front.
int32_t TqSortQuorImpl::keyPartRefused(int32_t part, const char* text) {
  std::string reason = text != nullptr && *text != '\0' ? text : "the external sort engine refused it.";
  if (reason.rfind("Key part ", 0) == 0) {
    size_t colon = reason.find(": ");
    if (colon != std::string::npos) reason.erase(0, colon + 2);
  }
  if (part >= 2 * keyCount_) {
    lastError_ = tqbStringFormat("The stable order's sequence key: %s", reason);
  } else {
    lastError_ = tqbStringFormat("Sort key %d: %s", part / 2, reason);
  }
  return StatusOpenFailed;
}

void TqSortQuorImpl::discardEngine() {
  if (engineInput_ != nullptr) {
    engineInput_->ops->close(engineInput_, 1);  // takes back a chunk still out, unread
    engineInput_ = nullptr;
    inputChunk_ = nullptr;
  }
  if (sortEngine_ != nullptr) {
    if (outputChunk_ != nullptr) sortEngine_->ops->releaseOutputChunk(sortEngine_, outputChunk_);
    outputChunk_ = nullptr;
    rowMarks_ = nullptr;
    sortEngine_->ops->destroy(sortEngine_);
    sortEngine_ = nullptr;
  }
}

int32_t TqSortQuorImpl::getEmptyChunk() {
  TQ_TRACE_CALL("TqSortQuorImpl(0x%p)->getEmptyChunk()", this);
  int result = engineInput_->ops->getInputChunk(engineInput_, &inputChunk_);
  if (result != 0) {
    inputChunk_ = nullptr;
    return engineFailed(result, engineInput_->ops->getError(engineInput_), StatusOpenFailed);
  }
  buffer_ = static_cast<uint8_t*>(inputChunk_->rows);
  chunkSize_ = static_cast<uint32_t>(fixedRowLength_) * inputChunk_->rowCount;
  inputChunk_->rowCount = 0;
  position_ = 0;
  return StatusOk;
}

int32_t TqSortQuorImpl::submitChunk(Submit which) {
  TQ_TRACE_CALL("TqSortQuorImpl(0x%p)->submitChunk(%d)", this, which == Submit::last ? 1 : 0);
  if (inputChunk_ == nullptr) {
    int32_t status = getEmptyChunk();
    if (status != StatusOk) return status;
  }
  if (which == Submit::last) inputChunk_->state = TQ_SORT_CHUNK_LAST;
  inputChunk_->rowCount = static_cast<uint32_t>(rowsLeft_);
  TqSortInputChunk* chunk = inputChunk_;
  inputChunk_ = nullptr;  // the engine's from now on, whatever it answers
  buffer_ = nullptr;
  rowsLeft_ = 0;
  int result = engineInput_->ops->submitInputChunk(engineInput_, chunk);
  if (result != 0) return engineFailed(result, engineInput_->ops->getError(engineInput_), StatusIoError);
  return StatusOk;
}

int32_t TqSortQuorImpl::getNextChunk() {
  TQ_TRACE_CALL("TqSortQuorImpl(0x%p)->getNextChunk()", this);
  if (outputChunk_ != nullptr) {
    bool last = outputChunk_->state == TQ_SORT_CHUNK_LAST;
    TqSortOutputChunk* done = outputChunk_;
    outputChunk_ = nullptr;
    rowMarks_ = nullptr;
    buffer_ = nullptr;
    sourcesReleased_ = true;
    outputEnded_ = last;
    int result = sortEngine_->ops->releaseOutputChunk(sortEngine_, done);
    if (result != 0) return engineFailed(result, sortEngine_->ops->getError(sortEngine_), StatusIoError);
    if (last) return StatusEndOfData;
  } else {
    rowReader_ = quorReadRow;
  }
  if (outputEnded_) return StatusEndOfData;
  if (!noDups_ && rowsPassed_ == rowTotal_) return StatusEndOfData;
  int result = sortEngine_->ops->getOutputChunk(sortEngine_, &outputChunk_);
  if (result != 0 || outputChunk_ == nullptr || outputChunk_->state == TQ_SORT_CHUNK_FAILED) {
    outputChunk_ = nullptr;
    return engineFailed(result != 0 ? result : TQ_SORT_FAILED, sortEngine_->ops->getError(sortEngine_), StatusIoError);
  }
  if (outputChunk_->state == TQ_SORT_CHUNK_LAST) countOutput(outputChunk_->rowCount);
  if (outputChunk_->rowCount == 0 && outputChunk_->state == TQ_SORT_CHUNK_LAST) {
    sortEngine_->ops->releaseOutputChunk(sortEngine_, outputChunk_);
    outputChunk_ = nullptr;
    outputEnded_ = true;
    return StatusEndOfData;
  }
  buffer_ = static_cast<uint8_t*>(outputChunk_->rows);
  // Each output record holds the fields, then (stable) the ordinal, then whatever
  // else the engine kept: all skipped after the fields.
  rowSkip_ = outputChunk_->recordLength - fieldBytes_;
  rowMarks_ = outputChunk_->marks;
  rowsLeft_ = outputChunk_->rowCount;
  position_ = 0;
  return StatusOk;
}

void TqSortQuorImpl::countOutput(uint32_t lastRows) {
  // The engine dropped the duplicates: the rows and their bytes are known only when the
  // last output chunk arrives.  Bytes count as positions do (a copy's mark column
  // included), so that a seek past the last row is "end of data".
  if (!noDups_) return;
  rowTotal_ = rowsPassed_ + lastRows;
  endOfData_ = readPosition_ + static_cast<int64_t>(lastRows) * (fieldBytes_ + (markByGroups_ ? 2 : 0));
}

int32_t TqSortQuorImpl::readRow(bool* mark) {
  if (outputChunk_ == nullptr) return StatusEndOfData;
  readLimit_ = position_ + fieldBytes_;
  int32_t status = readFields(mark);
  if (status != StatusOk) return status;
  position_ += rowSkip_;
  if (rowMarks_ != nullptr) {
    if (mark != nullptr) *mark = *rowMarks_ != 0;
    ++rowMarks_;
  }
  return StatusOk;
}

int32_t TqSortQuorImpl::sort() {
  TQ_TRACE_CALL("TqSortQuorImpl(0x%p)->sort()", this);
  int32_t status = AbsTqSortfile::sort();
  if (status != StatusOk) return status;
  sortEngine_->ops->report(sortEngine_, infoBlock_.sortInfo != nullptr ? &infoBlock_ : nullptr);
  return StatusOk;
}

int32_t TqSortQuorImpl::seek(int64_t position) {
  TQ_TRACE_CALL("TqSortQuorImpl(0x%p)->seek(%I64i)", this, position);
  return seekSorted(position);
}

int32_t TqSortQuorImpl::rewind() {
  // Only the first output chunk can be read again: the others are released after
  // their last row.
  if (outputChunk_ == nullptr || sourcesReleased_) return fail(StatusIoError, 336);
  uint64_t read = static_cast<uint64_t>(position_) / (fieldBytes_ + rowSkip_);
  position_ = 0;
  rowsLeft_ += read;
  if (rowMarks_ != nullptr) rowMarks_ -= read;
  rowReader_ = quorReadRow;
  return StatusOk;
}

bool TqSortQuorImpl::hasNext() {
  TQ_TRACE_CALL("TqSortQuorImpl(0x%p)->hasNext()", this);
  return hasNextSorted(rowsLeft_ > 0 || (outputChunk_ != nullptr && outputChunk_->state != TQ_SORT_CHUNK_LAST));
}

int32_t TqSortQuorImpl::freeze() {
  if (cloneCopy_ != nullptr) return cloneCopy_->freeze();
  return AbsTqSortfile::freeze();
}

int32_t TqSortQuorImpl::clear(ClearScope scope) {
  TQ_TRACE_CALL("TqSortQuorImpl(0x%p)->clear(%d)", this, scope == ClearScope::rowsAndKeys ? 1 : 0);
  if (flags_ & FlagReadOnly) return fail(StatusNotAllowed, 1419, "Read Only");
  TqSortParms* parms = sortParms_;
  sortParms_ = nullptr;  // kept across the clean
  clean(scope);
  sortParms_ = parms;
  if (sortParms_ == nullptr) return fail(StatusNoRoom, 29, "(Sort Parameters)");
  sortEngine_ = tqSortCreate(sortParms_);
  if (sortEngine_ == nullptr) {
    return engineFailed(TQ_SORT_FAILED, sortParms_->ops->getError(sortParms_), StatusOpenFailed);
  }
  return StatusOk;
}

void TqSortQuorImpl::clean(ClearScope scope) {
  TQ_TRACE_CALL("TqSortQuorImpl(0x%p)->clean(%d)", this, scope == ClearScope::rowsAndKeys ? 1 : 0);
  int32_t keys = collationCount_;
  AbsTqSortfile::clean(scope);
  discardEngine();
  rowsLeft_ = 0;
  outputEnded_ = false;
  if (scope == ClearScope::rowsAndKeys) {
    if (sortParms_ != nullptr) sortParms_->ops->destroy(sortParms_);
    sortParms_ = nullptr;
    tqbFree(keyParts_);
    keyParts_ = nullptr;
    for (int32_t k = 0; collations_ != nullptr && k < keys; ++k) tqbFree(const_cast<char*>(collations_[k].locale));
    tqbFree(collations_);
    collations_ = nullptr;
    collationCount_ = 0;
  }
}

void TqSortQuorImpl::release() {
  TQ_TRACE_CALL("TqSortQuorImpl(0x%p)->release()", this);
  if (--refCount_ <= 0) destroy();
}

}  // namespace tqlib
