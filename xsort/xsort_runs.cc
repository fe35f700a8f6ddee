// Runs in work files and the merge's tournament.
//
// A run is a sequence of records in key order, appended to a work file:
//
//   [key length, 4 bytes little-endian: only when keys vary in length]
//   [key]  [row: the output record length]
//
// A writer gathers records in its buffer and appends the buffer to the file when it
// is full.  A reader holds one buffer per run; when the next record is not whole in
// it, the rest moves to the front and the buffer is refilled from the run's place in
// the file (seek, then read), so that many runs share one file handle.
#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "platform/tqballoc.h"
#include "xsort/xsort_internal.h"

namespace tqxsort {

namespace {

void ioError(ErrorText* error, const char* what, const WorkFile* file, NpHandle handle,
             int status) {
  char buffer[128];
  int code = np_fio_syserr(handle);
  const char* text = code != 0 ? systemErrorText(code, buffer, sizeof(buffer))
                               : np_fio_errdesc(status);
  error->set("Cannot %s sort work file '%s': %s.", what, file->name, text);
}

}  // namespace

// --- writer ------------------------------------------------------------------------------

void RunWriter::setup(Engine* engine, uint32_t size, uint64_t charged, bool filePaid) {
  engine_ = engine;
  size_ = size;
  used_ = 0;
  charged_ = charged;
  filePaid_ = filePaid;
  file_ = nullptr;
}

void RunWriter::release() {
  tqbFree(buffer_);
  buffer_ = nullptr;
  uint64_t charge = charged_ + (filePaid_ ? kWorkFileCharge : 0);
  if (charge > 0 && engine_ != nullptr) engine_->uncharge(charge);
  charged_ = 0;
  filePaid_ = false;
  file_ = nullptr;
  engine_ = nullptr;
}

bool RunWriter::begin(Start where, ErrorText* error) {
  if (buffer_ == nullptr) {
    buffer_ = static_cast<uint8_t*>(tqbMalloc(size_));
    if (buffer_ == nullptr) {
      error->setNoRoom("Out of memory (sort write buffer, %u bytes).", size_);
      return false;
    }
  }
  if (where == Start::newFile || file_ == nullptr) {
    file_ = engine_->newWorkFile(filePaid_, error);
    if (file_ == nullptr) return false;
    filePaid_ = false;  // the file's charge goes with the file now
  } else if (np_fio_seek64(file_->handle, static_cast<int64_t>(file_->size), 0) < 0) {
    // Readers may have moved the shared handle; runs are appended at the end.
    ioError(error, "position", file_, file_->handle, 1);
    return false;
  }
  used_ = 0;
  run_ = FileRun{file_, file_->size, 0, 0, 0};
  return true;
}

bool RunWriter::write(const uint8_t* data, uint32_t size, ErrorText* error) {
  uint32_t done = 0;
  while (done < size) {
    int32_t n = np_fio_putb(file_->handle, data + done, static_cast<int32_t>(size - done));
    if (n <= 0) {
      ioError(error, "write", file_, file_->handle, 1);
      return false;
    }
    done += static_cast<uint32_t>(n);
    file_->size += static_cast<uint64_t>(n);
  }
  engine_->addWritten(size);
  return true;
}

bool RunWriter::flush(ErrorText* error) {
  if (used_ == 0) return true;
  uint32_t n = used_;
  used_ = 0;
  return write(buffer_, n, error);
}

bool RunWriter::put(const Cur& record, ErrorText* error) {
  const KeyShape& shape = engine_->shape();
  const uint32_t rowLength = engine_->params().outputLength;
  const uint32_t size = (shape.fixed ? 0 : 4) + record.length + rowLength;
  if (used_ + size > size_ && !flush(error)) return false;
  if (size <= size_) {
    used_ += putRecord(buffer_ + used_, record, shape, rowLength);
  } else {
    // A record longer than the buffer goes out in its pieces.
    uint8_t length[4];
    uint8_t prefix[8];
    std::memcpy(length, &record.length, 4);
    tqkey::storeBigEndian(prefix, record.prefix);
    const uint32_t front = std::min<uint32_t>(record.length, 8);
    if ((!shape.fixed && !write(length, 4, error)) || !write(prefix, front, error) ||
        (record.length > 8 && !write(record.tail, record.length - 8, error)) ||
        !write(record.row, rowLength, error)) {
      return false;
    }
  }
  ++run_.rows;
  run_.maxRecord = std::max(run_.maxRecord, size);
  return true;
}

bool RunWriter::putRun(const Batch* batch, ErrorText* error) {
  if (!flush(error)) return false;
  uint64_t done = 0;
  while (done < batch->runBytes) {
    uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(batch->runBytes - done, 1u << 30));
    if (!write(batch->run + done, piece, error)) return false;
    done += piece;
  }
  run_.rows += batch->runRows;
  run_.maxRecord = std::max(run_.maxRecord, batch->maxRecord);
  return true;
}

bool RunWriter::finish(FileRun* run, ErrorText* error) {
  if (!flush(error)) return false;
  run_.bytes = file_->size - run_.offset;
  *run = run_;
  return true;
}

// --- reader ------------------------------------------------------------------------------

bool RunReader::init(Engine* engine, const FileRun& run, uint32_t size, ErrorText* error) {
  engine_ = engine;
  run_ = run;
  consumed_ = 0;
  have_ = at_ = 0;
  size = std::max(size, run.maxRecord);
  uint64_t charge = chargeFor(size);
  if (!engine->tryCharge(charge)) {
    error->setNoRoom("The memory size is too small for a read buffer of %u bytes.", size);
    return false;
  }
  buffer_ = static_cast<uint8_t*>(tqbMalloc(size));
  if (buffer_ == nullptr) {
    engine->uncharge(charge);
    error->setNoRoom("Out of memory (sort read buffer, %u bytes).", size);
    return false;
  }
  charged_ = charge;
  size_ = size;
  return true;
}

void RunReader::release() {
  tqbFree(buffer_);
  buffer_ = nullptr;
  if (charged_ > 0 && engine_ != nullptr) engine_->uncharge(charged_);
  charged_ = 0;
}

// Makes at least `need` bytes of the run available at `at_`.
bool RunReader::fill(uint32_t need, ErrorText* error) {
  uint32_t left = have_ - at_;
  if (left > 0 && at_ > 0) std::memmove(buffer_, buffer_ + at_, left);
  have_ = left;
  at_ = 0;
  uint64_t remaining = run_.bytes - consumed_;
  uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(size_ - have_, remaining));
  if (have_ + want < need) {
    error->set("Sort work file '%s' holds a damaged run (%" PRIu64 " bytes left, %u needed).",
               run_.file->name, remaining + have_, need);
    return false;
  }
  NpHandle h = run_.file->handle;
  if (np_fio_seek64(h, static_cast<int64_t>(run_.offset + consumed_), 0) < 0) {
    ioError(error, "position", run_.file, h, 1);
    return false;
  }
  uint32_t done = 0;
  while (done < want) {
    int32_t n = np_fio_getb(h, buffer_ + have_ + done, static_cast<int32_t>(want - done));
    if (n < 0) {
      ioError(error, "read", run_.file, h, 1);
      return false;
    }
    if (n == 0) {
      error->set("Cannot read sort work file '%s': it ends %u bytes early.", run_.file->name,
                 want - done);
      return false;
    }
    done += static_cast<uint32_t>(n);
  }
  have_ += want;
  consumed_ += want;
  engine_->addRead(want);
  return true;
}

int RunReader::next(Cur* cur, ErrorText* error) {
  if (at_ == have_ && consumed_ == run_.bytes) return 0;
  const KeyShape& shape = engine_->shape();
  const uint32_t rowLength = engine_->params().outputLength;
  uint32_t length = shape.fixedLength;
  uint32_t head = 0;
  if (!shape.fixed) {
    head = 4;
    if (have_ - at_ < 4 && !fill(4, error)) return -1;
    std::memcpy(&length, buffer_ + at_, 4);
  }
  const uint32_t size = head + length + rowLength;
  if (have_ - at_ < size && !fill(size, error)) return -1;
  const uint8_t* key = buffer_ + at_ + head;
  cur->prefix = loadPrefix(key, length);
  cur->tail = key + 8;
  cur->length = length;
  cur->row = key + length;
  at_ += size;
  return 1;
}

// --- sources and the tournament ------------------------------------------------------------

bool advanceSource(Source* s, const KeyShape& shape, uint32_t rowLength, ErrorText* error) {
  if (s->reader != nullptr) {
    int r = s->reader->next(&s->cur, error);
    if (r < 0) return false;
    s->done = r == 0;
    return true;
  }
  if (s->at == s->end) {
    s->done = true;
    return true;
  }
  const uint8_t* p = s->at;
  uint32_t length = shape.fixedLength;
  if (!shape.fixed) {
    std::memcpy(&length, p, 4);
    p += 4;
  }
  s->cur.prefix = loadPrefix(p, length);
  s->cur.tail = p + 8;
  s->cur.length = length;
  s->cur.row = p + length;
  s->at = p + length + rowLength;
  return true;
}

uint32_t putRecord(uint8_t* out, const Cur& record, const KeyShape& shape, uint32_t rowLength) {
  uint8_t* p = out;
  if (!shape.fixed) {
    std::memcpy(p, &record.length, 4);
    p += 4;
  }
  uint8_t prefix[8];
  tqkey::storeBigEndian(prefix, record.prefix);
  const uint32_t front = std::min<uint32_t>(record.length, 8);
  std::memcpy(p, prefix, front);
  if (record.length > 8) std::memcpy(p + 8, record.tail, record.length - 8);
  std::memcpy(p + record.length, record.row, rowLength);
  return static_cast<uint32_t>(p + record.length + rowLength - out);
}

bool LoserTree::init(Engine* engine, Source* sources, uint32_t count, ErrorText* error) {
  release();
  engine_ = engine;
  sources_.sources = sources;
  if (count > 1) {
    using Tree = tqmerge::LoserTree<MergeSources>;
    size_t bytes = sizeof(Tree::Node) * Tree::nodeCount(count);
    uint64_t charge = chargeFor(bytes);
    if (!engine->tryCharge(charge)) {
      error->setNoRoom("The memory size is too small for merging %u runs.", count);
      return false;
    }
    nodes_ = static_cast<Tree::Node*>(tqbMalloc(bytes));
    if (nodes_ == nullptr) {
      engine->uncharge(charge);
      error->setNoRoom("Out of memory (merge of %u runs).", count);
      return false;
    }
    charged_ = charge;
  }
  tree_.build(&sources_, count, nodes_);
  return true;
}

bool LoserTree::pop(ErrorText* error) {
  Source* winner = &sources_.sources[tree_.winner()];
  if (!advanceSource(winner, engine_->shape(), engine_->params().outputLength, error)) {
    return false;
  }
  tree_.replay();
  return true;
}

void LoserTree::release() {
  tqbFree(nodes_);
  nodes_ = nullptr;
  if (charged_ > 0 && engine_ != nullptr) engine_->uncharge(charged_);
  charged_ = 0;
  tree_.build(&sources_, 0, nullptr);
}

}  // namespace tqxsort
