// Run readers and the tournament tree; see sortvorn_runs.h for the record formats.
#include "src/sortvorn_runs.h"

#include <cstring>

#include "platform/tqballoc.h"

namespace tqlib {

namespace {
constexpr uint32_t kVariableHeader = 8;  // u32 key length, u32 row length
constexpr uint64_t kPrefetchDistance = 8;
}  // namespace

// --- RunReader --------------------------------------------------------------------------------

void RunReader::openMemory(TqSortVornImpl* engine, ChunkDescriptor* run) {
  engine_ = engine;
  run_ = run;
  left_ = run->rowCount;
  index_ = 0;
  exhausted_ = false;
  base_ = run->buffer;
  entries_ = engine->fixedLayout() ? nullptr : engine->entriesOf(run);
}

int32_t RunReader::openStream(TqSortVornImpl* engine, ChunkDescriptor* run, uint8_t* window, uint32_t windowBytes) {
  engine_ = engine;
  run_ = run;
  window_ = window;
  windowSize_ = windowBytes;
  left_ = run->rowCount;
  exhausted_ = false;
  filled_ = at_ = consumed_ = 0;
  int status = np_fio_open(run->tempFileName, 33, &file_);
  if (status != 0) {
    file_ = 0;
    const char* why = status == kNpErrSystem ? np_fio_errtext(np_fio_syserr(0)) : np_fio_errdesc(status);
    engine_->setError(TqDatafile::StatusIoError, TQ_MESSAGE(tqFileReopenMessage(status), run->tempFileName, why),
                      ChunkLock::notHeld);
    return TqDatafile::StatusIoError;
  }
  np_fio_bufmode(file_, 0);  // the window is the buffer
  engine_->noteRunStreamed();
  return 0;
}

void RunReader::restart() {
  left_ = run_->rowCount;
  index_ = 0;
  exhausted_ = false;
}

void RunReader::close() {
  if (file_ != 0) np_fio_close(file_);
  file_ = 0;
  tqbFree(window_);
  window_ = nullptr;
}

int32_t RunReader::readFailed(int32_t got) {
  const char* why = got < 0 ? np_fio_errtext(np_fio_syserr(file_)) : "the file ended before the run's rows";
  engine_->setError(TqDatafile::StatusSystemError, TQ_MESSAGE(1007, why), ChunkLock::notHeld);
  return TqDatafile::StatusSystemError;
}

int32_t RunReader::damaged() {
  engine_->setError(TqDatafile::StatusSystemError,
                    TQ_MESSAGE(1007, "a record is longer than any its run was written with"), ChunkLock::notHeld);
  return TqDatafile::StatusSystemError;
}

int32_t RunReader::ensure(uint32_t n, const uint8_t** bytes) {
  uint32_t have = filled_ - at_;
  if (have >= n) {
    *bytes = window_ + at_;
    return 0;
  }
  // The window holds the run's longest record: anything longer is not a record of it.
  if (n > windowSize_) return damaged();
  // Move what is left to the window's start and fill the rest.
  std::memmove(window_, window_ + at_, have);
  filled_ = have;
  at_ = 0;
  while (filled_ < n) {
    int32_t got = np_fio_getb(file_, window_ + filled_, static_cast<int32_t>(windowSize_ - filled_));
    if (got <= 0) return readFailed(got);
    filled_ += static_cast<uint32_t>(got);
  }
  *bytes = window_;
  return 0;
}

int32_t RunReader::advance() {
  if (left_ == 0) {
    exhausted_ = true;
    return -1;
  }
  if (run_->buffer != nullptr && file_ == 0) {
    advanceInMemory();
    return 0;
  }
  // Skip the record returned last.
  at_ += consumed_;
  consumed_ = 0;
  const uint8_t* p = nullptr;
  int32_t status;
  if (engine_->fixedLayout()) {
    uint32_t rowLength = static_cast<uint32_t>(engine_->rowLength());
    uint32_t n = rowLength + engine_->keyAreaLength();
    if ((status = ensure(n, &p)) != 0) return status;
    row_ = RowRef{p + rowLength, engine_->keyAreaLength(), p, rowLength};
    consumed_ = n;
  } else {
    if ((status = ensure(kVariableHeader, &p)) != 0) return status;
    uint32_t keyLength, rowLength;
    std::memcpy(&keyLength, p, 4);
    std::memcpy(&rowLength, p + 4, 4);
    uint64_t n = uint64_t{kVariableHeader} + keyLength + rowLength;
    if (n > 0xFFFFFFFFu) return damaged();
    if ((status = ensure(static_cast<uint32_t>(n), &p)) != 0) return status;
    row_ = RowRef{p + kVariableHeader, keyLength, p + kVariableHeader + keyLength, rowLength};
    consumed_ = static_cast<uint32_t>(n);
  }
  tqKeyPrefix(row_.key, row_.keyLength, prefix_);
  --left_;
  return 0;
}

void RunReader::advanceInMemory() {
  --left_;
  if (entries_ == nullptr) {  // fixed records, sorted in place
    row_ = engine_->rowOf(run_, index_++, prefix_);
    return;
  }
  const IndexEntry& e = entries_[index_++];
  prefix_[0] = e.prefix[0];
  prefix_[1] = e.prefix[1];
  row_ = RowRef{base_ + e.keyOffset, e.keyLength, base_ + e.rowOffset(), e.rowLength};
  // A chunk that was not gathered holds its rows in arrival order: ask for a row a few
  // ahead now, so that it is in the cache when the merge reaches it.
  if (!run_->inKeyOrder && left_ > kPrefetchDistance) {
    const IndexEntry& ahead = entries_[index_ + kPrefetchDistance - 1];
    __builtin_prefetch(base_ + ahead.keyOffset);
    __builtin_prefetch(base_ + ahead.rowOffset() + ahead.rowLength - 1);
  }
}

// --- LoserTree --------------------------------------------------------------------------------

LoserTree::~LoserTree() { tqbFree(nodes_); }

bool LoserTree::build(RunReader** readers, uint32_t count) {
  tqbFree(nodes_);
  nodes_ = nullptr;
  size_t entries = tqmerge::LoserTree<RunSources>::nodeCount(count);
  if (count > 1) {
    nodes_ = static_cast<uint32_t*>(tqbMalloc(sizeof(uint32_t) * entries));
    if (nodes_ == nullptr) return false;
  }
  sources_ = RunSources(readers);
  tree_.build(&sources_, count, nodes_);
  return true;
}

}  // namespace tqlib
