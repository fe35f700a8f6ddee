// The unsorted datafile and its file serializers.
#include "src/datafile.h"

#include <cstring>

#include "platform/tqballoc.h"
#include "platform/tqbassert.h"
#include "src/dataabs_format.h"
#include "src/datamgr.h"
#include "src/trace.h"

namespace tqlib {

namespace {

constexpr int64_t kMaxTransfer = 0x7FFFFFFF;

TqDatafileImpl& impl(TqDatafile& f) { return static_cast<TqDatafileImpl&>(f); }

// The operating system's text for the last failure on a file ("No space left on device").
const char* sysText(NpHandle file) { return np_fio_errtext(np_fio_syserr(file)); }

// The reason an open failed.
const char* openText(int status) {
  return status == kNpErrSystem ? np_fio_errtext(np_fio_syserr(0)) : np_fio_errdesc(status);
}

int32_t fReadBoolean(TqDatafile& f, TqDatafileField& x) { return impl(f).fileReadBoolean(x); }
int32_t fReadDate(TqDatafile& f, TqDatafileField& x) { return impl(f).fileReadDate(x); }
int32_t fReadInteger(TqDatafile& f, TqDatafileField& x) { return impl(f).fileReadInteger(x); }
int32_t fReadReal(TqDatafile& f, TqDatafileField& x) { return impl(f).fileReadReal(x); }
int32_t fReadString(TqDatafile& f, TqDatafileField& x) { return impl(f).fileReadString(x); }
int32_t fReadStringFixed(TqDatafile& f, TqDatafileField& x) { return impl(f).fileReadStringFixed(x); }
int32_t fWriteBoolean(TqDatafile& f, TqDatafileField& x) { return impl(f).fileWriteBoolean(x); }
int32_t fWriteDate(TqDatafile& f, TqDatafileField& x) { return impl(f).fileWriteDate(x); }
int32_t fWriteInteger(TqDatafile& f, TqDatafileField& x) { return impl(f).fileWriteInteger(x); }
int32_t fWriteReal(TqDatafile& f, TqDatafileField& x) { return impl(f).fileWriteReal(x); }
int32_t fWriteString(TqDatafile& f, TqDatafileField& x) { return impl(f).fileWriteString(x); }
int32_t fWriteStringFixed(TqDatafile& f, TqDatafileField& x) { return impl(f).fileWriteStringFixed(x); }

// Resizes a field's scratch buffer to exactly `size` bytes (contents not kept).
bool resizeFieldBuffer(TqDatafileField& field, uint32_t size, bool zero) {
  if (field.fieldBuffer == nullptr || field.fieldBufferSize != size) {
    uint8_t* mem = static_cast<uint8_t*>(tqbMalloc(size));
    if (mem == nullptr) return false;
    tqbFree(field.fieldBuffer);
    field.fieldBuffer = mem;
    field.fieldBufferSize = size;
  }
  if (zero) std::memset(field.fieldBuffer, 0, size);
  return true;
}

}  // namespace

// --- construction ----------------------------------------------------------------------

TqDatafileImpl::TqDatafileImpl() {
  TQ_TRACE_CALL("TqDatafileImpl(%p)->TqDatafileImpl()", this);
  traceSeeks_ = logger_->getLevel() < 2;
}

TqDatafileImpl::~TqDatafileImpl() {
  TQ_TRACE_CALL("TqDatafileImpl(%p)->~TqDatafileImpl()", this);
  if (file_ != 0) np_fio_close(file_);  // only after a failed init; release closes it
  if (ownsTempFile_ && tempFileName_.length() > 0) np_fio_unlink(tempFileName_.asCstr());
}

bool TqDatafileImpl::init(TqDatafileManager* manager, uint32_t flags) {
  TQ_TRACE_CALL("TqDatafile(0x%p)->init(%p, 0x%x)", this, manager, flags);
  if (!AbsTqDatafile::init(manager, flags)) return false;
  if (inMemory_) {
    buffer_ = static_cast<uint8_t*>(tqbMalloc(chunkSize_));
    if (buffer_ == nullptr) {
      fail(0, 29, "(In Memory Cache)");
      return false;
    }
  } else if (setSerializers(true) != StatusOk) {
    return false;
  }
  if (flags_ & FlagMemoryOnly) return true;
  // The first temporary directory; a manager without one uses the system's default place.
  TqbString* dirs = nullptr;
  const char* dir = manager_->getTempDirs(&dirs) > 0 ? dirs[0].asCstr() : nullptr;
  char name[260];
  int status = np_fio_tmpfile(dir, "tq_", name, sizeof(name), &file_);
  if (status != 0) {
    const char* where = dir != nullptr ? dir : "(default temporary directory)";
    int syserr = status == kNpErrSystem ? np_fio_syserr(0) : 0;
    fail(0, tqFileCreateMessage(status), where, syserr != 0 ? np_fio_errtext(syserr) : np_fio_errdesc(status),
         np_fio_advice(syserr));
    return false;
  }
  tempFileName_ = name;
  ownsTempFile_ = true;
  return true;
}

// --- modes and serializers -------------------------------------------------------------

int32_t TqDatafileImpl::writeFailed(int syserr) {
  return fail(StatusIoError, 1045, tempFileName_, np_fio_errtext(syserr), np_fio_advice(syserr));
}

int32_t TqDatafileImpl::bufferFile() {
  int status = np_fio_bufmode(file_, 1);
  if (status == 0) return StatusOk;
  if (status == kNpErrSystem) return writeFailed(np_fio_syserr(file_));
  return fail(StatusIoError, 1418, np_fio_errdesc(status), status);
}

bool TqDatafileImpl::sizeStringBuffers() {
  for (int32_t i = 0; i < fieldCount_; ++i) {
    TqDatafileField& field = fields_[i];
    if (field.type != tqbTypeString) continue;
    if (!resizeFieldBuffer(field, static_cast<uint32_t>(field.longestValue) + 1, false)) return false;
  }
  return true;
}

int32_t TqDatafileImpl::setMode(int32_t mode) {
  if (mode == mode_) return StatusOk;
  TQ_TRACE_CALL("TqDatafileImpl(0x%p)->setMode(%d)", this, mode);
  if (mode == 1) {
    if (!inMemory_) {
      if (file_ == 0) return fail(StatusIoError, 1419, "(Inactive)");
      if (endOfData_ != 0 && np_fio_seek64(file_, 0, 2) < 0) {
        return fail(StatusIoError, 654, sysText(file_));
      }
      int32_t status = bufferFile();
      if (status != StatusOk) return status;
    }
    mode_ = 1;
    position_ = endOfData_;
    lastError_.truncate(0);
    return StatusOk;
  }
  if (mode == 2) {
    mode_ = 2;
    if (inMemory_) {
      lastError_.truncate(0);
      return StatusOk;
    }
    if (file_ == 0) return fail(StatusIoError, 1419, "(Inactive)");
    int32_t status = bufferFile();
    if (status != StatusOk) return status;
    if ((flags_ & FlagVariableRows) && !(flags_ & FlagReadOnly) && !sizeStringBuffers()) {
      return fail(StatusNoRoom, 29, "(Field Buffer)");
    }
    lastError_.truncate(0);
    return StatusOk;
  }
  return fail(StatusNotAllowed, 297);
}

int32_t TqDatafileImpl::setSerializers(bool previousInMemory) {
  TQ_TRACE_CALL("TqDatafileImpl(0x%p)->setSerializers(%d)", this, previousInMemory ? 1 : 0);
  if (previousInMemory == inMemory_) return StatusOk;
  for (int32_t i = 0; i < fieldCount_; ++i) {
    TqDatafileField& field = fields_[i];
    if (inMemory_) {
      bindMemorySerializers(field);
      continue;
    }
    switch (field.type) {
      case tqbTypeBoolean: field.reader = fReadBoolean; field.writer = fWriteBoolean; break;
      case tqbTypeInteger: field.reader = fReadInteger; field.writer = fWriteInteger; break;
      case tqbTypeReal: field.reader = fReadReal; field.writer = fWriteReal; break;
      case tqbTypeDate: field.reader = fReadDate; field.writer = fWriteDate; break;
      default:
        if (flags_ & FlagVariableRows) {
          field.reader = fReadString;
          field.writer = fWriteString;
        } else {
          field.reader = fReadStringFixed;
          field.writer = fWriteStringFixed;
          if (field.fieldBuffer == nullptr &&
              !resizeFieldBuffer(field, static_cast<uint32_t>(field.maxLength) + 2, true)) {
            return fail(StatusNoRoom, 29, "(Field Buffer)");
          }
        }
    }
  }
  return StatusOk;
}

// --- writing ---------------------------------------------------------------------------

int32_t TqDatafileImpl::addRow(int64_t* rowStart) {
  if (brokenStatus_ != 0) return reportBroken();
  // A host that was reading goes back to where it read when the row is refused.
  int32_t modeBefore = mode_;
  int64_t readingAt = position_;
  if (mode_ != 1 && (flags_ & FlagReadOnly)) return fail(StatusNotAllowed, 1419, "Read Only");
  // A string too long for its field is refused before any byte of the row reaches the
  // file; in memory the writer refuses it.
  int32_t refused = inMemory_ ? StatusOk : refuseLongStrings();
  if (refused != StatusOk) return refused;
  if (mode_ != 1) {
    int32_t status = setMode(1);
    if (status != StatusOk) return status;
  }
  int32_t status = AbsTqDatafile::addRow(rowStart);
  if (status == StatusNoRoom && inMemory_ && !rowRefused_) {
    // A full buffer spills, unless the row would be refused anyway.
    status = refuseLongStrings();
    if (status == StatusOk) status = spillToDisk();
    if (status == StatusOk) status = AbsTqDatafile::addRow(rowStart);
  }
  if (status == StatusOk) {
    ++rowsAdded_;
    return StatusOk;
  }
  if (!inMemory_ && file_ != 0) takeBackPartialRow();
  if (modeBefore == 2 && brokenStatus_ == 0) {
    TqbString reason = lastError_;
    if (setMode(2) == StatusOk && (inMemory_ || np_fio_seek64(file_, readingAt, 0) >= 0)) position_ = readingAt;
    lastError_ = reason;
  }
  return status;
}

void TqDatafileImpl::takeBackPartialRow() {
  if (np_fio_seek64(file_, endOfData_, 0) >= 0 && np_fio_trunc(file_) == 0) return;
  // The row's first fields may stay in the file: the rows behind them could not be
  // read back, so the datafile takes no more.
  lastError_ = TQ_MESSAGE(1043, tempFileName_);
  breakWith(StatusIoError);
}

int32_t TqDatafileImpl::breakWith(int32_t status) {
  brokenStatus_ = status;
  brokenError_ = lastError_;
  return status;
}

int32_t TqDatafileImpl::reportBroken() {
  lastError_ = brokenError_;
  return brokenStatus_;
}

int64_t TqDatafileImpl::getRowCount() {
  // The rows stored, whatever was read or sought meanwhile.
  return static_cast<int64_t>(rowTotal_ > rowsAdded_ ? rowTotal_ : rowsAdded_);
}

int32_t TqDatafileImpl::spillToDisk() {
  TQ_TRACE_CALL("TqDatafileImpl(0x%p)->spillToDisk()", this);
  if (flags_ & FlagMemoryOnly) return fail(StatusEndOfData, 1421);
  if (file_ == 0) return fail(StatusIoError, 1419, "(Inactive)");
  // On failure the file is put back to empty: the rows are still whole in memory, and
  // a later row spills them again.
  auto undo = [this](int32_t status) {
    TqbString reason = lastError_;
    if (np_fio_seek64(file_, 0, 0) >= 0) np_fio_trunc(file_);
    lastError_ = reason;
    return status;
  };
  if (np_fio_seek64(file_, 0, 0) < 0) return fail(StatusIoError, 654, sysText(file_));
  for (int64_t done = 0; done < endOfData_;) {
    int64_t piece = endOfData_ - done < kMaxTransfer ? endOfData_ - done : kMaxTransfer;
    int32_t wrote = np_fio_putb(file_, buffer_ + done, static_cast<int32_t>(piece));
    if (wrote != piece) return undo(writeFailed(np_fio_syserr(file_)));
    done += piece;
  }
  // From here on single fields are written: buffer them.
  int32_t status = bufferFile();
  if (status != StatusOk) return undo(status);
  inMemory_ = false;
  status = setSerializers(true);
  if (status != StatusOk) {
    inMemory_ = true;
    setSerializers(false);  // binding the memory serializers cannot fail
    return undo(status);
  }
  tqbFree(buffer_);
  buffer_ = nullptr;
  position_ = endOfData_;
  if (mode_ == 2) {
    // A reader reads on from the file: it needs what reading a file needs (the string
    // buffers sized to the longest value).
    mode_ = 0;
    return setMode(2);
  }
  return StatusOk;
}

// --- reading ---------------------------------------------------------------------------

int32_t TqDatafileImpl::next(bool* mark) {
  if (brokenStatus_ != 0) return reportBroken();
  if (mode_ != 2) {
    int32_t status = setMode(2);
    if (status != StatusOk) return status;
  }
  if (position_ < 0 || position_ > endOfData_) return fail(StatusEndOfData, 1421);
  readLimit_ = endOfData_;
  int32_t status = AbsTqDatafile::next(mark);
  if (status != StatusOk && status != StatusEndOfData && !inMemory_ && file_ != 0) {
    np_fio_seek64(file_, position_, 0);  // back to the start of the failed row
  }
  return status;
}

int32_t TqDatafileImpl::seek(int64_t position) {
  if (traceSeeks_) TQ_TRACE_CALL("TqDatafileImpl(0x%p)->seek(%I64i)", this, position);
  if (brokenStatus_ != 0) return reportBroken();
  if (position < 0) {
    TQ_LOG(logger_, 4, "TqDatafileImpl(0x%p)->seek(%I64i) is negative", this, position);
    return fail(StatusEndOfData, 1421);
  }
  if (mode_ != 2) {
    int32_t status = setMode(2);
    if (status != StatusOk) return status;
  }
  if (position > endOfData_) return fail(StatusEndOfData, 1421);
  if (position > lastRowStart_) {
    TQ_LOG(logger_, 4,
           "TqDatafileImpl(0x%p)->seek(%I64i) is beyond highest %I64i start of row, eof = %I64i",
           this, position, lastRowStart_, endOfData_);
  }
  int64_t before = position_;
  if (!inMemory_ && position != position_) {
    if (file_ == 0) return fail(StatusIoError, 728);
    if (np_fio_seek64(file_, position, 0) < 0) {
      return fail(StatusIoError, 654, sysText(file_));
    }
  }
  position_ = position;
  int32_t status = next(nullptr);
  if (status != StatusOk) {
    // No row there (the end, or a position that is not a row start), or a failed read:
    // the reader stays where it was, so that a refused seek leaves no trace.
    position_ = before;
    if (!inMemory_ && file_ != 0) np_fio_seek64(file_, before, 0);
  }
  return status;
}

// --- clear, rechunk, freeze --------------------------------------------------------------

int32_t TqDatafileImpl::clear() {
  TQ_TRACE_CALL("TqDatafileImpl(0x%p)->clear()", this);
  if (flags_ & FlagReadOnly) return fail(StatusNotAllowed, 1419, "Read Only");
  if (file_ != 0) {
    if (np_fio_seek64(file_, 0, 0) < 0) return fail(StatusIoError, 654, sysText(file_));
    if (np_fio_trunc(file_) < 0) return fail(StatusIoError, 1043, tempFileName_);
  }
  brokenStatus_ = 0;  // the file is empty again: nothing is claimed any more
  brokenError_.truncate(0);
  for (int32_t i = 0; i < fieldCount_; ++i) {
    tqbFree(fields_[i].fieldBuffer);
    fields_[i].fieldBuffer = nullptr;
    fields_[i].fieldBufferSize = 0;
    fields_[i].longestValue = 0;
  }
  if (flags_ & FlagMemoryFirst) {
    if (buffer_ == nullptr) {
      buffer_ = static_cast<uint8_t*>(tqbMalloc(chunkSize_));
      if (buffer_ == nullptr) return fail(StatusNoRoom, 29, "(InMemory Buffer)");
    }
    bool former = inMemory_;
    inMemory_ = true;
    int32_t status = setSerializers(former);
    if (status != StatusOk) return status;
  }
  rowsPassed_ = rowTotal_ = rowsAdded_ = 0;
  position_ = endOfData_ = 0;
  if (mode_ != 1) return setMode(1);
  return StatusOk;
}

int32_t TqDatafileImpl::rechunk(uint32_t size) {
  TQ_TRACE_CALL("TqDatafileImpl(0x%p)->rechunk(%I64i)", this, static_cast<int64_t>(size));
  if (brokenStatus_ != 0) return reportBroken();
  if (flags_ & FlagReadOnly) return fail(StatusNotAllowed, 1419, "Read Only");
  if (size == 0) size = manager_->getChunkSize();
  if (size > kTqMaxChunkSize) {
    return fail(StatusNotAllowed, 1814, static_cast<int64_t>(size), "the chunk size", int64_t{0},
                static_cast<int64_t>(kTqMaxChunkSize));
  }
  if (size == chunkSize_) return StatusOk;
  int64_t readingAt = position_;
  int64_t n = getSize();
  if (inMemory_ && n > static_cast<int64_t>(size)) {
    int32_t status = spillToDisk();
    if (status != StatusOk) return status;
  }
  uint8_t* resized = static_cast<uint8_t*>(tqbRealloc(buffer_, size));
  if (resized == nullptr) return fail(StatusNoRoom, 29, "(InMemory Buffer)");
  buffer_ = resized;
  chunkSize_ = size;
  if (!inMemory_ && (flags_ & FlagMemoryFirst) && n <= static_cast<int64_t>(size)) {
    // The data fits again: bring it back into memory and empty the file.
    if (np_fio_seek64(file_, 0, 0) < 0) return fail(StatusIoError, 654, sysText(file_));
    for (int64_t done = 0; done < n;) {
      int64_t piece = n - done < kMaxTransfer ? n - done : kMaxTransfer;
      if (np_fio_getb(file_, buffer_ + done, static_cast<int32_t>(piece)) != piece) {
        return fail(StatusIoError, 1007, sysText(file_));
      }
      done += piece;
    }
    if (np_fio_seek64(file_, 0, 0) < 0) return fail(StatusIoError, 654, sysText(file_));
    if (np_fio_trunc(file_) < 0) return fail(StatusIoError, 1043, tempFileName_);
    inMemory_ = true;
    int32_t status = setSerializers(false);
    if (status != StatusOk) return status;
  }
  // A reader stays on its row wherever the rows now live; a writer goes on at the end.
  if (mode_ == 2) {
    position_ = readingAt;
    if (!inMemory_ && np_fio_seek64(file_, readingAt, 0) < 0) {
      return fail(StatusIoError, 654, sysText(file_));
    }
  } else {
    position_ = endOfData_;
  }
  return StatusOk;
}

int32_t TqDatafileImpl::freeze() {
  TQ_TRACE_CALL("TqDatafileImpl(0x%p)->freeze()", this);
  if (brokenStatus_ != 0) return reportBroken();
  if (flags_ & FlagReadOnly) return StatusOk;
  if (file_ != 0) {
    int status = np_fio_bufmode(file_, 0);
    if (status != 0) {
      // The rows not yet written stay in the file's buffer; a later freeze (after the
      // host made room) writes them.  The file stays open for that.
      if (status == kNpErrSystem) return writeFailed(np_fio_syserr(file_));
      return fail(StatusIoError, 1418, np_fio_errdesc(status), status);
    }
    status = np_fio_close(file_);
    file_ = 0;
    if (status != 0) {
      // A file that did not close cleanly may not hold every row written to it.
      writeFailed(np_fio_syserr(0));
      return breakWith(StatusIoError);
    }
  }
  // The end of the stored rows and the rows added, also when the host was reading.
  flags_ |= FlagReadOnly;
  rowTotal_ = rowsAdded_;
  position_ = 0;
  rowsPassed_ = 0;
  if (inMemory_) {
    if (tempFileName_.length() > 0) {
      np_fio_unlink(tempFileName_.asCstr());
      tempFileName_.truncate(0);
    }
  } else {
    if ((flags_ & FlagVariableRows) && !sizeStringBuffers()) {
      return fail(StatusNoRoom, 29, "(In Memory Cache)");
    }
    int status = np_fio_open(tempFileName_.asCstr(), 1, &file_);
    if (status != 0) {
      file_ = 0;
      return fail(StatusOpenFailed, tqFileReopenMessage(status), tempFileName_, openText(status));
    }
  }
  mode_ = 0;  // the reopened file still needs its reading buffer
  return setMode(2);
}

// --- clones and release ----------------------------------------------------------------

TqDatafile* TqDatafileImpl::clone() {
  TQ_TRACE_CALL("TqDatafileImpl(0x%p)->clone()", this);
  if (brokenStatus_ != 0) {
    reportBroken();
    return nullptr;
  }
  if (!(flags_ & FlagReadOnly)) {
    fail(0, 1419, "Writable");
    return nullptr;
  }
  TqDatafileImpl* copy = tqbNew<TqDatafileImpl>();
  if (copy == nullptr) {
    fail(0, 29, "(Clone Datafile Handle)");
    return nullptr;
  }
  copy->manager_ = manager_;
  copy->flags_ = flags_;
  copy->chunkSize_ = chunkSize_;
  copy->fields_ = tqbNewArray<TqDatafileField>(static_cast<size_t>(fieldCount_));
  if (copy->fields_ == nullptr) {
    copy->destroy();
    fail(0, 29, "(Clone Datafile Field Descriptors)");
    return nullptr;
  }
  copy->fieldCount_ = fieldCount_;
  // The clone reads what the root owns: mark it as a clone before anything can fail.
  TqDatafile* root = this;
  while (root->getParent() != nullptr) root = root->getParent();
  copy->parent_ = root;
  for (int32_t i = 0; i < fieldCount_; ++i) {
    const TqDatafileField& from = fields_[i];
    TqDatafileField& to = copy->fields_[i];
    to.type = from.type;
    to.rawInteger = from.rawInteger;
    to.maxLength = from.maxLength;
    to.longestValue = from.longestValue;
    to.rowOffset = from.rowOffset;
    to.reader = from.reader;
    to.writer = from.writer;
    if (from.fieldBuffer != nullptr) {
      bool variable = flags_ & FlagVariableRows;
      uint32_t size = variable ? static_cast<uint32_t>(from.longestValue) + 1
                               : static_cast<uint32_t>(from.maxLength) + 2;
      if (!resizeFieldBuffer(to, size, true)) {
        copy->destroy();
        fail(0, 29, "(Clone Datafile Field Buffer)");
        return nullptr;
      }
    }
  }
  copy->tempFileName_ = tempFileName_;
  copy->rowTotal_ = rowTotal_;
  copy->endOfData_ = endOfData_;
  copy->lastRowStart_ = lastRowStart_;
  copy->fixedRowLength_ = fixedRowLength_;
  copy->mode_ = 0;  // its first read sets up its own file handle
  if (inMemory_) {
    copy->inMemory_ = true;
    copy->buffer_ = buffer_;
  } else {
    int status = np_fio_open(tempFileName_.asCstr(), 1, &copy->file_);
    if (status != 0) {
      copy->file_ = 0;
      copy->destroy();
      fail(0, tqFileReopenMessage(status), tempFileName_, openText(status));
      return nullptr;
    }
  }
  root->addRef();
  return copy;
}

void TqDatafileImpl::release() {
  TQ_TRACE_CALL("TqDatafileImpl(0x%p)->release()", this);
  if (file_ != 0) {
    np_fio_close(file_);
    file_ = 0;
  }
  if (parent_ != nullptr) {
    TqDatafile* root = parent_;
    destroy();
    root->releaseRef();
    return;
  }
  if (--refCount_ <= 0) destroy();
}

// --- file serializers ------------------------------------------------------------------
// Same bytes as the memory serializers; one write (or read) per field, two for a
// variable-layout string.  position_ moves only when the whole field went through.

int32_t TqDatafileImpl::putBytes(const void* bytes, int32_t count) {
  if (np_fio_putb(file_, bytes, count) != count) {
    return writeFailed(np_fio_syserr(file_));
  }
  return StatusOk;
}

int32_t TqDatafileImpl::getBytes(void* bytes, int32_t count) {
  if (np_fio_getb(file_, bytes, count) != count) {
    return fail(StatusIoError, 1007, sysText(file_));
  }
  return StatusOk;
}

int32_t TqDatafileImpl::putEncoded(const void* bytes, int32_t count) {
  int32_t status = putBytes(bytes, count);
  if (status == StatusOk) position_ += count;
  return status;
}

int32_t TqDatafileImpl::getEncoded(void* bytes, int32_t count) {
  if (position_ + count > endOfData_) return readOutOfBounds();
  int32_t status = getBytes(bytes, count);
  if (status == StatusOk) position_ += count;
  return status;
}

int32_t TqDatafileImpl::fileWriteBoolean(TqDatafileField& field) {
  uint8_t bytes[tqrow::kBooleanWidth];
  tqrow::encodeBoolean(field, bytes);
  return putEncoded(bytes, sizeof(bytes));
}

int32_t TqDatafileImpl::fileWriteInteger(TqDatafileField& field) {
  uint8_t bytes[tqrow::kNumberWidth];
  tqrow::encodeInteger(field, bytes);
  return putEncoded(bytes, sizeof(bytes));
}

int32_t TqDatafileImpl::fileWriteDate(TqDatafileField& field) {
  uint8_t bytes[tqrow::kNumberWidth];
  tqrow::encodeDate(field, bytes);
  return putEncoded(bytes, sizeof(bytes));
}

int32_t TqDatafileImpl::fileWriteReal(TqDatafileField& field) {
  uint8_t bytes[tqrow::kRealWidth];
  tqrow::encodeReal(field, bytes);
  return putEncoded(bytes, sizeof(bytes));
}

int32_t TqDatafileImpl::fileWriteString(TqDatafileField& field) {
  uint8_t head[5] = {1, 0};
  if (field.value.isNull()) return putEncoded(head, 2);
  uint32_t n = 0;
  const uint8_t* raw = tqrow::stringBytes(field, &n);
  head[0] = 0;
  tqrow::putPrefix(head + 1, n);
  int prefix = tqrow::prefixLength(n);
  // The flag with the prefix in one write, then the bytes.
  int32_t status = putBytes(head, 1 + prefix);
  if (status == StatusOk && n > 0) status = putBytes(raw, static_cast<int32_t>(n));
  if (status != StatusOk) return status;
  tqrow::noteLongest(field, n);
  position_ += 1 + prefix + static_cast<int64_t>(n);
  return StatusOk;
}

int32_t TqDatafileImpl::fixedBuffer(TqDatafileField& field) {
  uint32_t width = static_cast<uint32_t>(field.maxLength) + 2;
  if (field.fieldBuffer != nullptr && field.fieldBufferSize >= width) return StatusOk;
  if (!resizeFieldBuffer(field, width, true)) return fail(StatusNoRoom, 29, "(Field Buffer)");
  return StatusOk;
}

int32_t TqDatafileImpl::fileWriteStringFixed(TqDatafileField& field) {
  const uint8_t* raw = nullptr;
  uint32_t n = 0;
  if (!tqrow::fixedStringValue(field, &raw, &n)) return refuseLongString(field, n);  // (addRow checked)
  int32_t status = fixedBuffer(field);
  if (status != StatusOk) return status;
  // The whole field in one write: the same bytes as flag, value and padding apart.
  tqrow::encodeFixedString(field, raw, n, field.fieldBuffer);
  return putEncoded(field.fieldBuffer, field.maxLength + 2);
}

int32_t TqDatafileImpl::fileReadBoolean(TqDatafileField& field) {
  uint8_t bytes[tqrow::kBooleanWidth];
  int32_t status = getEncoded(bytes, sizeof(bytes));
  if (status == StatusOk) tqrow::decodeBoolean(field, bytes);
  return status;
}

int32_t TqDatafileImpl::fileReadInteger(TqDatafileField& field) {
  uint8_t bytes[tqrow::kNumberWidth];
  int32_t status = getEncoded(bytes, sizeof(bytes));
  if (status == StatusOk) tqrow::decodeInteger(field, bytes);
  return status;
}

int32_t TqDatafileImpl::fileReadDate(TqDatafileField& field) {
  uint8_t bytes[tqrow::kNumberWidth];
  int32_t status = getEncoded(bytes, sizeof(bytes));
  if (status == StatusOk) tqrow::decodeDate(field, bytes);
  return status;
}

int32_t TqDatafileImpl::fileReadReal(TqDatafileField& field) {
  uint8_t bytes[tqrow::kRealWidth];
  int32_t status = getEncoded(bytes, sizeof(bytes));
  if (status != StatusOk) return status;
  // On failure the row loop puts position_ and the file back to the row's start.
  if (!tqrow::decodeBytes(field, bytes[0], tqbTypeReal, bytes + 1, 24)) {
    return fail(StatusNoRoom, 29, "(Field Value)");
  }
  return StatusOk;
}

int32_t TqDatafileImpl::fileReadString(TqDatafileField& field) {
  if (position_ + 2 > endOfData_) return readOutOfBounds();
  uint8_t head[5];
  int32_t status = getBytes(head, 2);
  if (status != StatusOk) return status;
  uint32_t n = head[1];
  int prefix = 1;
  if (n & 0x80) {
    if (position_ + 5 > endOfData_) return readOutOfBounds();
    status = getBytes(head + 2, 3);
    if (status != StatusOk) return status;
    n = tqrow::longPrefix(head[1], head + 2);
    prefix = 4;
  }
  int64_t total = 1 + prefix + static_cast<int64_t>(n);
  // A length beyond the stored data or the field's buffer: not a row start.
  if (position_ + total > endOfData_ || (n > 0 && n > field.fieldBufferSize)) {
    return readOutOfBounds();
  }
  if (n > 0) {
    status = getBytes(field.fieldBuffer, static_cast<int32_t>(n));
    if (status != StatusOk) return status;
  }
  if (!tqrow::decodeBytes(field, head[0], tqbTypeString, field.fieldBuffer, n)) {
    return fail(StatusNoRoom, 29, "(Field Value)");
  }
  position_ += total;
  return StatusOk;
}

int32_t TqDatafileImpl::fileReadStringFixed(TqDatafileField& field) {
  int32_t width = field.maxLength + 2;
  if (position_ + width > endOfData_) return readOutOfBounds();
  int32_t status = fixedBuffer(field);
  if (status != StatusOk) return status;
  status = getBytes(field.fieldBuffer, width);
  if (status != StatusOk) return status;
  if (!tqrow::decodeFixedString(field, field.fieldBuffer, static_cast<uint32_t>(width - 1))) {
    return fail(StatusNoRoom, 29, "(Field Value)");
  }
  position_ += width;
  return StatusOk;
}

}  // namespace tqlib
