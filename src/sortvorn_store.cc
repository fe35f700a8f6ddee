// The chunk store: run descriptors, memory within the budget, "tqsort_" run files, the
// ordered run tree, and the dumps.
//
// Memory.  The budget is the sort size; chunk buffers, spare buffers, the persist
// window, the windows and readers of runs read from disk, and every run's descriptor,
// file name and key copies all count in it (bytesInUse_).  While rows come in, a share
// of it (metaShare_) is kept free for the metadata of runs still to come.  A chunk that
// needs a buffer gets a spare or a new one while the budget allows; otherwise it takes
// the buffer of a run in the tree (the highest-keyed one for a new chunk, since it is
// read last; the lowest for the reader), whose rows are first written to a run file.
// A read or merge that needs windows gets them the same way: spares go first, then runs
// in the tree are written out.  When nothing can be freed (every buffer is in a chunk
// being filled, sorted or read) a thread waits until a buffer is given back or a sorted
// chunk enters the tree; when nothing runs that could give one back, the sort fails
// with "no room" rather than wait for ever.

// Run files.  A run goes to disk once, when its buffer is taken: its rows are written
// in key order (through the persist window, so a chunk is read in place and its file
// written sequentially), in the record format of sortvorn_runs.h, to a "tqsort_" file
// in the first temporary directory that takes it.  From then on the run is read
// through a window as long as its longest record, front to back, and its file removed
// when the run is used up.  Files held open at once are reserved with the windows
// (filesInUse_ within fileLimit_, two kept for writing a run and a long row).
//
// Tree order.  Runs are ordered by their lowest key, then their highest key, then
// ready before not ready, then the older first: the leading ready runs are the next
// rows of the output.
#include <cstring>

#include "platform/npfio.h"
#include "platform/tqballoc.h"
#include "src/sortvorn.h"
#include "src/sortvorn_runs.h"
#include "src/trace.h"

namespace tqlib {

namespace {
constexpr int kNameSize = 260;
}  // namespace

// --- the tree and the list -----------------------------------------------------------------

int TqSortVornImpl::compareChunks(const void* left, const void* right) {
  const ChunkDescriptor* a = static_cast<const ChunkDescriptor*>(left);
  const ChunkDescriptor* b = static_cast<const ChunkDescriptor*>(right);
  // Key copies that cannot tell two keys apart (cut, with the same first bytes) count
  // as equal here: runs are then ordered by what follows.
  int c = tqCompareKeyCopies(a->lowKey, a->lowKeyLength, a->lowCut, b->lowKey, b->lowKeyLength, b->lowCut);
  if (c != 0 && c != kKeysUndecided) return c;
  c = tqCompareKeyCopies(a->highKey, a->highKeyLength, a->highCut, b->highKey, b->highKeyLength, b->highCut);
  if (c != 0 && c != kKeysUndecided) return c;
  return (a->ready || (!b->ready && b->id >= a->id)) ? -1 : 1;
}

void TqSortVornImpl::treeInsert(ChunkDescriptor* chunk) {
  chunk->node.value = chunk;
  lrbtInsertNode(&chunkTree_, &chunk->node, 0);
  chunk->inTree = true;
}

void TqSortVornImpl::treeDelete(ChunkDescriptor* chunk) {
  if (!chunk->inTree) return;
  lrbtDeleteNode(&chunkTree_, &chunk->node);
  chunk->inTree = false;
}

ChunkDescriptor* TqSortVornImpl::treeFirst() const {
  return chunkTree_.first ? static_cast<ChunkDescriptor*>(chunkTree_.first->value) : nullptr;
}

ChunkDescriptor* TqSortVornImpl::treeNext(ChunkDescriptor* chunk) {
  LrbtNode* n = lrbtNextNode(&chunk->node);
  return n ? static_cast<ChunkDescriptor*>(n->value) : nullptr;
}

ChunkDescriptor* TqSortVornImpl::treePrev(ChunkDescriptor* chunk) {
  LrbtNode* n = lrbtPrevNode(&chunk->node);
  return n ? static_cast<ChunkDescriptor*>(n->value) : nullptr;
}

void TqSortVornImpl::unlinkChunk(ChunkDescriptor* chunk) {
  if (chunk->prevInList != nullptr) {
    chunk->prevInList->nextInList = chunk->nextInList;
  } else if (chunkList_ == chunk) {
    chunkList_ = chunk->nextInList;
  }
  if (chunk->nextInList != nullptr) chunk->nextInList->prevInList = chunk->prevInList;
  chunk->nextInList = chunk->prevInList = nullptr;
}

void TqSortVornImpl::freeChunk(ChunkDescriptor* chunk) {
  if (chunk->tempFileName != nullptr) {
    np_fio_unlink(chunk->tempFileName);
    tqbFree(chunk->tempFileName);
  }
  tqbFree(chunk->lowKey);  // the high key lies in the same allocation
  tqbFree(chunk->buffer);
  tqbDelete(chunk);
}

uint8_t* TqSortVornImpl::firstRowOf(const ChunkDescriptor* chunk) const {
  return chunk->buffer + resolvedChunkSize_ - sizeof(IndexEntry) * chunk->rowCount;
}

uint8_t* TqSortVornImpl::firstSlotOf(const ChunkDescriptor* chunk) const {
  return chunk->buffer + resolvedChunkSize_ - sizeof(IndexEntry);
}

RowRef TqSortVornImpl::rowOf(const ChunkDescriptor* chunk, uint64_t index, uint64_t* prefix) const {
  if (fixedLayout_) {
    const uint8_t* record = chunk->buffer + index * (static_cast<uint64_t>(fixedRowLength_) + keyAreaLength_);
    if (prefix != nullptr) tqKeyPrefix(record + fixedRowLength_, keyAreaLength_, prefix);
    return RowRef{record + fixedRowLength_, keyAreaLength_, record, static_cast<uint32_t>(fixedRowLength_)};
  }
  const IndexEntry& e = entriesOf(chunk)[index];
  if (prefix != nullptr) {
    prefix[0] = e.prefix[0];
    prefix[1] = e.prefix[1];
  }
  return RowRef{chunk->buffer + e.keyOffset, e.keyLength, chunk->buffer + e.rowOffset(), e.rowLength};
}

// --- memory ----------------------------------------------------------------------------------

namespace {
// What the allocator hands out for a small block of n bytes: rounded up to 16, with its
// header.  Run metadata is counted so, since a sort may hold thousands of it.
uint64_t heapBytes(uint64_t n) { return (n + 8 + 15) & ~uint64_t{15}; }
}  // namespace

void TqSortVornImpl::charge(uint64_t bytes) {
  bytesInUse_ += bytes;
  if (bytesInUse_ > counters_.peakBytesInUse) counters_.peakBytesInUse = bytesInUse_;
}

void TqSortVornImpl::chargeMeta(ChunkDescriptor* run, uint64_t bytes) {
  run->metaBytes += bytes;
  metaBytes_ += bytes;
  charge(bytes);
}

void TqSortVornImpl::unchargeMeta(ChunkDescriptor* run) {
  metaBytes_ -= run->metaBytes;
  bytesInUse_ -= run->metaBytes;
  run->metaBytes = 0;
}

bool TqSortVornImpl::keepName(ChunkDescriptor* run, const char* name) {
  size_t n = std::strlen(name) + 1;
  char* copy = static_cast<char*>(tqbMalloc(n));
  if (copy == nullptr) return false;
  std::memcpy(copy, name, n);
  run->tempFileName = copy;
  chargeMeta(run, heapBytes(n));
  return true;
}

uint64_t TqSortVornImpl::freeableBytes() const {
  uint64_t bytes = 0;
  for (uint8_t* spare = spareBuffers_; spare != nullptr;) {
    bytes += resolvedChunkSize_;
    std::memcpy(&spare, spare, sizeof(uint8_t*));
  }
  // A run written out to free its buffer keeps the file's name.
  for (ChunkDescriptor* c = treeFirst(); c != nullptr; c = treeNext(c)) {
    if (c->buffer != nullptr && c != currentChunk_) bytes += resolvedChunkSize_ - heapBytes(kNameSize);
  }
  return bytes;
}

uint32_t TqSortVornImpl::freeBuffers(uint32_t enough) const {
  uint32_t count = 0;
  for (uint8_t* spare = spareBuffers_; spare != nullptr && count < enough; ++count) {
    std::memcpy(&spare, spare, sizeof(uint8_t*));
  }
  // Spares are counted in the budget already; new buffers are not.
  for (uint64_t added = 1; count < enough && roomFor(resolvedChunkSize_ * added); ++added) ++count;
  return count;
}

uint8_t* TqSortVornImpl::takeBuffer() {
  if (spareBuffers_ != nullptr) {  // already counted in bytesInUse_
    uint8_t* buffer = spareBuffers_;
    std::memcpy(&spareBuffers_, buffer, sizeof(uint8_t*));
    return buffer;
  }
  uint8_t* buffer = static_cast<uint8_t*>(tqbMalloc(resolvedChunkSize_));
  if (buffer != nullptr) charge(resolvedChunkSize_);
  return buffer;
}

void TqSortVornImpl::gatherInKeyOrder(ChunkDescriptor* chunk, const IndexEntry* entries, uint32_t n) {
  lockChunks();
  uint8_t* target = nullptr;
  if (spareBuffers_ != nullptr || roomFor(resolvedChunkSize_)) target = takeBuffer();
  if (target != nullptr) ++gathers_;
  unlockChunks();
  if (target == nullptr) return;
  if (gatherHook_ != nullptr) gatherHook_(this, gatherHookContext_);
  // The entries keep their place at the buffer's end; each row (key, then fields)
  // moves to the next free bytes from the start.
  const uint64_t entryBytes = uint64_t{n} * sizeof(IndexEntry);
  IndexEntry* moved = reinterpret_cast<IndexEntry*>(target + (resolvedChunkSize_ - entryBytes));
  uint32_t at = 0;
  for (uint32_t i = 0; i < n; ++i) {
    IndexEntry e = entries[i];
    const uint32_t bytes = e.keyLength + e.rowLength;
    if (i + kRowsAhead < n) tqPrefetchRow(chunk->buffer, entries[i + kRowsAhead]);
    std::memcpy(target + at, chunk->buffer + e.keyOffset, bytes);
    e.keyOffset = at;
    moved[i] = e;
    at += bytes;
  }
  lockChunks();
  uint8_t* old = chunk->buffer;
  chunk->buffer = target;
  chunk->inKeyOrder = true;
  keepSpare(old);
  --gathers_;
  wakeBufferWaiter();  // a chunk may wait for this buffer (getBuffer)
  unlockChunks();
}

void TqSortVornImpl::keepSpare(uint8_t* buffer) {
  std::memcpy(buffer, &spareBuffers_, sizeof(uint8_t*));
  spareBuffers_ = buffer;
}

bool TqSortVornImpl::dropSpare() {
  if (spareBuffers_ == nullptr) return false;
  uint8_t* spare = spareBuffers_;
  std::memcpy(&spareBuffers_, spare, sizeof(uint8_t*));
  tqbFree(spare);
  bytesInUse_ -= resolvedChunkSize_;
  return true;
}

void TqSortVornImpl::wakeBufferWaiter() {
  ++bufferGeneration_;
  if (bufferWaiters_ == 0) return;
  --bufferWaiters_;
  tqEventPost(bufferWaiter_, 0);
}

ChunkDescriptor* TqSortVornImpl::bufferVictim(VictimEnd victims, const ChunkDescriptor* except) {
  // From the chosen end, the first run in memory, unless a run in memory is written
  // already (writeAhead): its buffer is free for the taking.
  const bool fromHighEnd = victims == VictimEnd::highKeys;
  if (chunkTree_.count == 0) return nullptr;
  ChunkDescriptor* c = fromHighEnd ? static_cast<ChunkDescriptor*>(chunkTree_.last->value) : treeFirst();
  ChunkDescriptor* first = nullptr;
  for (; c != nullptr; c = fromHighEnd ? treePrev(c) : treeNext(c)) {
    if (c->buffer == nullptr || c == currentChunk_ || c == except) continue;
    if (c->tempFileName != nullptr) return c;
    if (first == nullptr) first = c;
  }
  return first;
}

int32_t TqSortVornImpl::waitForMemory(uint32_t chunkId) {
  // Each post of the event first advances bufferGeneration_ (under chunkLock_): a waiter
  // that sees a newer generation than the one it registered under does not wait, so a
  // post made between its registration and its wait is never lost, even when another
  // waiter cleared the event meanwhile.
  TQ_TRACE_SORT("TqSortVornImpl(0x%p)->getBuffer(): chunk[%I64u] - entering wait for available buffers", this,
                static_cast<uint64_t>(chunkId));
  ++bufferWaiters_;
  ++counters_.bufferWaits;
  uint32_t generation = bufferGeneration_;
  unlockChunks();
  tqLockGet(bufferLock_, 1, 1);
  for (;;) {
    lockChunks();
    bool moved = bufferGeneration_ != generation;
    unlockChunks();
    if (moved || aborted_) break;
    int index = 0;
    if (tqEventWait(1, &bufferWaiter_, 1, 2500, 0, &index) == 0) tqEventClear(bufferWaiter_);
    if (errorCode_ != 0) break;
  }
  int32_t status = errorCode_ != 0 ? errorCode_.load() : (aborted_ ? StatusStopped : StatusOk);
  tqLockRelease(bufferLock_);
  lockChunks();
  return status;
}

int32_t TqSortVornImpl::reserveWindows(uint64_t bytes, uint32_t files) {
  // Two files stay for writing a run and a long row; only a running merge gives some back.
  if (files > 0 && filesInUse_ + files + 2 > fileLimit_) return StatusNoRoom;
  while (!roomForWindows(bytes)) {
    if (dropSpare()) continue;
    ChunkDescriptor* victim = bufferVictim(VictimEnd::highKeys, nullptr);
    if (victim == nullptr) return StatusNoRoom;  // the caller decides: wait, or do with less
    int32_t status = persistChunk(victim);
    if (status != StatusOk) return status;
    tqbFree(victim->buffer);
    victim->buffer = nullptr;
    --buffersInUse_;
    bytesInUse_ -= resolvedChunkSize_;
  }
  charge(bytes);
  filesInUse_ += files;
  if (filesInUse_ > counters_.maxRunFilesOpen) counters_.maxRunFilesOpen = filesInUse_;
  uint32_t windows = windowsIn(bytes, files);
  windowsInUse_ += windows;
  if (windowsInUse_ > counters_.maxWindowsInUse) counters_.maxWindowsInUse = windowsInUse_;
  return StatusOk;
}

void TqSortVornImpl::releaseWindows(uint64_t bytes, ChunkLock lock, uint32_t files) {
  if (bytes == 0 && files == 0) return;
  ChunkLockScope scope(this, lock);
  bytesInUse_ -= bytes;
  filesInUse_ -= files;
  uint32_t windows = windowsIn(bytes, files);
  windowsInUse_ -= windows < windowsInUse_ ? windows : windowsInUse_;
  wakeBufferWaiter();
}

bool TqSortVornImpl::needsStage(const ChunkDescriptor* run) const {
  return run->buffer != nullptr && !run->inKeyOrder && !fixedLayout_ && run->rowCount >= kStageLeastRows;
}

uint64_t TqSortVornImpl::reserveStages(ChunkDescriptor* const* inputs, uint32_t count) {
  uint64_t bytes = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (!needsStage(inputs[i])) continue;
    // Spare buffers are given up once the input has ended: no chunk needs them then.
    while (!roomFor(kStageBytes) && sorting_ && dropSpare()) {
    }
    if (!roomFor(kStageBytes)) break;
    charge(kStageBytes);
    bytes += kStageBytes;
  }
  return bytes;
}

void TqSortVornImpl::releaseStage(uint64_t bytes, ChunkLock lock) {
  if (bytes == 0) return;
  ChunkLockScope scope(this, lock);
  bytesInUse_ -= bytes;
  wakeBufferWaiter();
}

void TqSortVornImpl::countBytesWritten(uint64_t bytes, ChunkLock lock) {
  ChunkLockScope scope(this, lock);
  counters_.bytesWrittenToDisk += bytes;
  counters_.bytesMergedToDisk += bytes;
}

// --- descriptors and buffers ---------------------------------------------------------------

ChunkDescriptor* TqSortVornImpl::allocateChunk(ChunkLock lock) {
  TQ_TRACE_SORT("TqSortVornImpl(0x%p)->allocateChunk()", this);
  ChunkDescriptor* chunk = tqbNew<ChunkDescriptor>();
  bool buffered = false;
  {
    ChunkLockScope scope(this, lock);
    if (chunk == nullptr) {
      setError(StatusNoRoom, TQ_MESSAGE(29, "(Chunk Descriptor)"), ChunkLock::held);
      return nullptr;
    }
    chunk->id = nextChunkId_++;
    chargeMeta(chunk, heapBytes(sizeof(ChunkDescriptor)));
    buffered = getBuffer(chunk, VictimEnd::highKeys) == StatusOk;
    if (!buffered) {
      unchargeMeta(chunk);
    } else {
      chunk->nextInList = chunkList_;
      if (chunkList_ != nullptr) chunkList_->prevInList = chunk;
      chunkList_ = chunk;
    }
  }
  if (!buffered) {
    tqbDelete(chunk);
    return nullptr;
  }
  // The first row goes to the entry at the end (variable) or the record at the start.
  chunk->cursor = firstSlotOf(chunk);
  return chunk;
}

ChunkDescriptor* TqSortVornImpl::allocateRun() {
  ChunkDescriptor* run = tqbNew<ChunkDescriptor>();
  if (run == nullptr) {
    setError(StatusNoRoom, TQ_MESSAGE(29, "(Chunk Descriptor)"), ChunkLock::held);
    return nullptr;
  }
  run->id = nextChunkId_++;
  chargeMeta(run, heapBytes(sizeof(ChunkDescriptor)));
  run->nextInList = chunkList_;
  if (chunkList_ != nullptr) chunkList_->prevInList = run;
  chunkList_ = run;
  return run;
}

int32_t TqSortVornImpl::getEmptyChunk() {
  TQ_TRACE_SORT("TqSortVornImpl(0x%p)->getEmptyChunk()", this);
  ChunkDescriptor* chunk = allocateChunk(ChunkLock::notHeld);
  if (chunk == nullptr) {
    adoptRecordedError();
    return errorCode_ != 0 ? errorCode_.load() : StatusStopped;
  }
  lockChunks();
  currentChunk_ = chunk;
  unlockChunks();
  buffer_ = chunk->buffer;
  indexLimit_ = static_cast<int64_t>(resolvedChunkSize_) - static_cast<int64_t>(sizeof(IndexEntry));
  position_ = 0;
  return StatusOk;
}

int32_t TqSortVornImpl::getBuffer(ChunkDescriptor* chunk, VictimEnd victims) {
  TQ_TRACE_SORT("TqSortVornImpl(0x%p)->getBuffer(0x%p, %s) buffer for chunk %I64u", this, chunk,
                victims == VictimEnd::highKeys ? "true" : "false", static_cast<uint64_t>(chunk->id));
  for (;;) {
    if (spareBuffers_ != nullptr || roomFor(resolvedChunkSize_)) {
      chunk->buffer = takeBuffer();
      if (chunk->buffer == nullptr) {
        setError(StatusNoRoom, TQ_MESSAGE(29, "(Chunk Buffer)"), ChunkLock::held);
        return StatusNoRoom;
      }
      ++buffersInUse_;
      if (buffersInUse_ > counters_.maxBuffersInUse) counters_.maxBuffersInUse = buffersInUse_;
      TQ_TRACE_SORT("TqSortVornImpl(0x%p)->getBuffer(): chunk[%I64u] - new buffer 0x%p", this,
                    static_cast<uint64_t>(chunk->id), chunk->buffer);
      return StatusOk;
    }
    // A gather on the pool gives a buffer back when it ends: the chunk waits for it
    // rather than write a run whose rows may all fit in memory yet.
    ChunkDescriptor* victim = bufferVictim(victims, chunk);
    if (victim != nullptr && victim->tempFileName == nullptr && gathers_ > 0) victim = nullptr;
    if (victim != nullptr) {
      TQ_TRACE_SORT("TqSortVornImpl(0x%p)->getBuffer(): chunk[%I64u] - stealing chunk[%I64u] buffer 0x%p",
                    this, static_cast<uint64_t>(chunk->id), static_cast<uint64_t>(victim->id), victim->buffer);
      int32_t status = persistChunk(victim);
      if (status != StatusOk) return status;
      chunk->buffer = victim->buffer;
      victim->buffer = nullptr;
      outgrown_ = true;
      return StatusOk;
    }
    // Every buffer is in a chunk being filled, sorted or read, and windows hold the
    // rest: wait for memory to be given back, then look again.  When no sort or merge
    // runs, nothing will give any.
    if (sortsEnded_ == sortsSubmitted_ + sortsOnMain_ && tqAtomGet(&mergeAtomic_) == 0) {
      setError(StatusNoRoom, TQ_MESSAGE(29, "(Chunk Buffer)"), ChunkLock::held);
      return StatusNoRoom;
    }
    int32_t status = waitForMemory(chunk->id);
    if (status != StatusOk) return status;
  }
}

int32_t TqSortVornImpl::createRunFile(char* name, NpHandle* handle, ChunkLock lock, uint64_t bytes) {
  TqbString message;
  int order[kMostRunDirs];
  int attempts = 0;
  runDirOrder(bytes, order, &attempts);
  for (int d = 0; d < attempts; ++d) {
    if (createRunFileIn(order[d], name, handle, &message) == StatusOk) return StatusOk;
  }
  // No directory took the file: the sort cannot go on.
  setError(StatusOpenFailed, message, lock);
  return StatusOpenFailed;
}

int32_t TqSortVornImpl::persistChunk(ChunkDescriptor* chunk) {
  TQ_TRACE_SORT("TqSortVornImpl(0x%p)->persistChunk(0x%p)", this, chunk);
  TqbString message;
  int32_t status = writeRunFile(chunk, &message);
  // No directory took the rows: the sort cannot go on.
  if (status != StatusOk) setError(status, message, ChunkLock::held);
  return status;
}

int32_t TqSortVornImpl::writeRunFile(ChunkDescriptor* chunk, TqbString* message) {
  if (chunk->tempFileName != nullptr) return StatusOk;  // its rows are already on disk
  // A run file that cannot be written in one directory is tried in the next.
  int order[kMostRunDirs];
  int attempts = 0;
  runDirOrder(resolvedChunkSize_, order, &attempts);
  int32_t status = StatusOk;
  char name[kNameSize];
  for (int d = 0; d < attempts; ++d) {
    NpHandle handle = 0;
    status = createRunFileIn(order[d], name, &handle, message);
    if (status != StatusOk) continue;
    uint64_t written = 0;
    uint32_t longest = 0;
    bool failed = !writeRunRecords(chunk, handle, &written, &longest);
    if (failed) *message = writeFailure(name, np_fio_syserr(handle));
    if (np_fio_close(handle) != 0 && !failed) {
      failed = true;
      *message = writeFailure(name, np_fio_syserr(0));
    }
    if (!failed && !keepName(chunk, name)) {
      failed = true;
      *message = TQ_MESSAGE(29, "(Chunk Filename)");
      d = attempts;  // no memory: another directory would not help
    }
    if (failed) {
      TQ_TRACE_SORT("TqSortVornImpl(0x%p)->persistChunk(0x%p): %s", this, chunk, *message);
      np_fio_unlink(name);
      status = d >= attempts ? StatusNoRoom : StatusSystemError;
      continue;
    }
    chunk->fileBytes = written;
    chunk->maxRecord = longest;
    counters_.bytesWrittenToDisk += written;
    ++counters_.chunksWrittenToDisk;
    return StatusOk;
  }
  return status;
}

void TqSortVornImpl::writeAhead(bool onMain) {
  if (onMain) return;  // the caller's thread would only write what it may never need to
  lockChunks();
  // Once the rows have outgrown the memory (a chunk took a run's buffer), and while the
  // budget has one free buffer at most (the caller may be about to take it, or have
  // taken it), a later chunk takes a run's buffer.  The run it would take is written
  // now, on the pool, while the caller fills its chunk, so that the caller takes the
  // buffer without waiting for the disk.  The run keeps its buffer (and is read from
  // memory) until then; one such run at a time is enough.  A sort that fits in memory
  // never writes ahead; one that does not writes at most one run too many (the last one
  // written ahead, when the rows end before its buffer is taken).
  ChunkDescriptor* victim = nullptr;
  if (!sorting_ && outgrown_ && writingAhead_ && errorCode_ == 0 && !aborted_ && freeBuffers(2) < 2) {
    victim = bufferVictim(VictimEnd::highKeys, nullptr);
  }
  if (victim != nullptr && victim->tempFileName == nullptr) {
    TQ_TRACE_SORT("TqSortVornImpl(0x%p)->writeAhead(): chunk[%I64u]", this, static_cast<uint64_t>(victim->id));
    TqbString message;
    if (writeRunFile(victim, &message) == StatusOk) {
      ++counters_.chunksWrittenAhead;
    } else {
      // Nothing is lost: the rows are still in memory, and the caller writes the run
      // when it needs the buffer, reporting a failure then.  Writing ahead ends here,
      // so that a full disk is not tried once per chunk.
      TQ_TRACE_SORT("TqSortVornImpl(0x%p)->writeAhead(): stops: %s", this, message);
      writingAhead_ = false;
    }
  }
  unlockChunks();
}

bool TqSortVornImpl::writeRunRecords(ChunkDescriptor* chunk, NpHandle handle, uint64_t* written,
                                     uint32_t* longest) {
  // The rows in key order, one record each, gathered through the persist window (ours
  // while the lock is held); each key shares its first bytes with the key before, which
  // lies in the chunk too.
  RunWriter writer(fixedLayout_, handle, persistWindow_, windowSize_);
  RowRef last;
  // A chunk that was not gathered holds its rows in arrival order: a row a few ahead is
  // asked for early, so that it is in the cache when its turn comes.
  const IndexEntry* ahead = fixedLayout_ || chunk->inKeyOrder ? nullptr : entriesOf(chunk);
  bool ok = true;
  for (uint64_t i = 0; ok && i < chunk->rowCount; ++i) {
    if (ahead != nullptr && i + kRowsAhead < chunk->rowCount) tqPrefetchRow(chunk->buffer, ahead[i + kRowsAhead]);
    RowRef r = rowOf(chunk, i);
    ok = writer.put(r, fixedLayout_ ? 0 : tqSharedPrefix(last.key, last.keyLength, r.key, r.keyLength));
    last = r;
  }
  ok = ok && writer.flush();
  *written += writer.written();
  *longest = writer.longest();
  return ok;
}

void TqSortVornImpl::runDirOrder(uint64_t bytes, int order[kMostRunDirs], int* count) {
  const int dirs = tempDirCount_ < 1 ? 1 : (tempDirCount_ > kMostRunDirs ? kMostRunDirs : tempDirCount_);
  const uint32_t turn = runFilesStarted_.fetch_add(1, std::memory_order_relaxed);
  const int first = static_cast<int>(turn % static_cast<uint32_t>(dirs));
  bool room[kMostRunDirs];
  for (int d = 0; d < dirs; ++d) {
    int64_t free = dirs > 1 && bytes > 0 ? np_dir_freebytes(tempDirs_[d].asCstr()) : -1;
    room[d] = free < 0 || static_cast<uint64_t>(free) >= bytes;
  }
  *count = 0;
  for (int pass = 0; pass < 2; ++pass) {
    for (int k = 0; k < dirs; ++k) {
      int d = (first + k) % dirs;
      if (room[d] == (pass == 0)) order[(*count)++] = d;
    }
  }
}

TqbString TqSortVornImpl::writeFailure(const char* name, int syserr) const {
  return TQ_MESSAGE(1045, name, np_fio_errtext(syserr), np_fio_advice(syserr));
}

int32_t TqSortVornImpl::createRunFileIn(int dirIndex, char* name, NpHandle* handle, TqbString* message) {
  const char* dir = tempDirCount_ > 0 ? tempDirs_[dirIndex].asCstr() : nullptr;
  int status = np_fio_tmpfile(dir, "tqsort_", name, kNameSize, handle);
  if (status != 0) {
    int syserr = status == kNpErrSystem ? np_fio_syserr(0) : 0;
    *message = TQ_MESSAGE(tqFileCreateMessage(status), dir ? dir : "<null>",
                          syserr != 0 ? np_fio_errtext(syserr) : np_fio_errdesc(status), np_fio_advice(syserr));
    TQ_TRACE_SORT("TqSortVornImpl(0x%p)->persistChunk(): %s", this, *message);
    return StatusOpenFailed;
  }
  np_fio_bufmode(*handle, 0);
  // Run files are only appended to and read from their start: compressed when the host
  // chose a codec.
  status = np_fio_compress(*handle, name, kNpReadsInOrder);
  if (status != kNpOk) {
    int syserr = status == kNpErrSystem ? np_fio_syserr(*handle) : 0;
    *message = TQ_MESSAGE(tqFileCreateMessage(status), dir ? dir : "<null>",
                          syserr != 0 ? np_fio_errtext(syserr) : np_fio_errdesc(status), np_fio_advice(syserr));
    np_fio_close(*handle);
    np_fio_unlink(name);
    *handle = 0;
    return StatusOpenFailed;
  }
  return StatusOk;
}

void TqSortVornImpl::tossChunk(ChunkDescriptor* chunk, ChunkLock lock) {
  TQ_TRACE_SORT("TqSortVornImpl(0x%p)->tossChunk(0x%p) tossing chunk %I64u", this, chunk,
                static_cast<uint64_t>(chunk->id));
  if (chunk->tempFileName != nullptr) {
    np_fio_unlink(chunk->tempFileName);
    tqbFree(chunk->tempFileName);
    chunk->tempFileName = nullptr;
  }
  tqbFree(chunk->lowKey);
  chunk->lowKey = chunk->highKey = nullptr;
  {
    ChunkLockScope scope(this, lock);
    unchargeMeta(chunk);
    treeDelete(chunk);
    if (chunk->buffer != nullptr) {
      keepSpare(chunk->buffer);
      chunk->buffer = nullptr;
      --buffersInUse_;
    }
    wakeBufferWaiter();
    unlinkChunk(chunk);
  }
  tqbDelete(chunk);
}

bool TqSortVornImpl::insertChunk(ChunkDescriptor* chunk, ChunkSource source, ChunkLock lock) {
  TQ_TRACE_SORT("TqSortVornImpl(0x%p)->insertChunk(0x%p, %s, %s)", this, chunk,
                source == ChunkSource::sort ? "true" : "false", lock == ChunkLock::held ? "true" : "false");
  if (chunk->rowCount == 0) {  // nothing to deliver: the buffer goes back at once
    tossChunk(chunk, lock);
    return true;
  }
  chunk->cursor = firstRowOf(chunk);
  return enterTree(chunk, source, lock, rowOf(chunk, 0), rowOf(chunk, chunk->rowCount - 1));
}

bool TqSortVornImpl::enterTree(ChunkDescriptor* chunk, ChunkSource source, ChunkLock lock, RowRef low,
                               RowRef high) {
  // A run of one row keeps one copy, for both ends.
  const bool one = chunk->rowCount == 1;
  const uint32_t lowBytes = low.keyLength < kKeyCopyBytes ? low.keyLength : kKeyCopyBytes;
  const uint32_t highBytes = one ? 0 : (high.keyLength < kKeyCopyBytes ? high.keyLength : kKeyCopyBytes);
  const uint64_t size = uint64_t{lowBytes} + highBytes + 1;
  uint8_t* keys = static_cast<uint8_t*>(tqbMalloc(size));
  if (keys == nullptr) {
    setError(StatusNoRoom, TQ_MESSAGE(29, "(Chunk Keys)"), lock);
    return false;
  }
  uint64_t oldKeys = 0;
  if (chunk->lowKey != nullptr) {  // keys of an earlier entry
    oldKeys = heapBytes(uint64_t{chunk->lowKeyLength} +
                        (chunk->highKey != chunk->lowKey ? chunk->highKeyLength : 0) + 1);
    tqbFree(chunk->lowKey);
  }
  chunk->lowKey = keys;
  chunk->lowKeyLength = lowBytes;
  chunk->lowCut = lowBytes < low.keyLength;
  std::memcpy(chunk->lowKey, low.key, lowBytes);
  if (one) {
    chunk->highKey = chunk->lowKey;
    chunk->highKeyLength = lowBytes;
    chunk->highCut = chunk->lowCut;
  } else {
    chunk->highKey = keys + lowBytes;
    chunk->highKeyLength = highBytes;
    chunk->highCut = highBytes < high.keyLength;
    std::memcpy(chunk->highKey, high.key, highBytes);
  }
  if (logger_->getLevel() <= 2) dumpChunk(chunk);
  ChunkLockScope scope(this, lock);
  metaBytes_ -= oldKeys;
  bytesInUse_ -= oldKeys;
  chunk->metaBytes -= oldKeys;
  chargeMeta(chunk, heapBytes(size));
  treeInsert(chunk);
  wakeBufferWaiter();  // a run with a buffer to give is in the tree
  if (source == ChunkSource::merge && chunk->ready) rowsReady_ += chunk->rowCount;
  return true;
}

// --- dumps ---------------------------------------------------------------------------------

void TqSortVornImpl::dumpChunks() {
  TQ_TRACE_SORT("Chunks: Sorting=%s", sorting_ ? "true" : "false");
  for (ChunkDescriptor* c = treeFirst(); c != nullptr; c = treeNext(c)) dumpChunk(c);
}

void TqSortVornImpl::dumpChunk(ChunkDescriptor* chunk) {
  TQ_TRACE_SORT("   [0x%p](%I64u) - %s", chunk, static_cast<uint64_t>(chunk->id), chunk->ready ? "ready" : "not-ready");
  if (chunk->buffer != nullptr) TQ_TRACE_SORT("      In memory: 0x%p", chunk->buffer);
  if (chunk->tempFileName != nullptr) TQ_TRACE_SORT("      Tempfile: %s", chunk->tempFileName);
  dumpKey("       lowKey:", chunk->lowKey, chunk->lowKeyLength);
  dumpKey("      highKey:", chunk->highKey, chunk->highKeyLength);
  TQ_TRACE_SORT("      nRecs: %I64u", chunk->rowCount);
}

void TqSortVornImpl::dumpKey(const char* label, const uint8_t* key, uint32_t length) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string blanks(std::strlen(label), ' ');
  for (uint32_t at = 0; at < length; at += 16) {
    std::string line;
    for (uint32_t i = at; i < length && i < at + 16; ++i) {
      line.push_back(kHex[key[i] >> 4]);
      line.push_back(kHex[key[i] & 15]);
      line.push_back(' ');
    }
    TQ_TRACE_SORT("%s %s", at == 0 ? label : blanks.c_str(), line);
  }
}

}  // namespace tqlib
