// The chunk store: descriptors, buffers within the memory budget, "tqsort_" chunk files,
// the ordered chunk tree, and the chunk dumps.
//
// Buffers.  At most maxChunksInMemory_ buffers of resolvedChunkSize_ bytes exist.  A
// chunk that needs one gets a new one while the budget allows; otherwise it takes the
// buffer of a chunk in the tree (the highest-keyed one for a new chunk, since it is
// read last; the lowest for the reader and merges), whose image is first written,
// byte for byte, to a "tqsort_" file in the first temporary directory that accepts it.
// When no chunk in the tree has a buffer (they are all being filled, sorted or merged)
// the thread waits until one is freed or a sorted chunk enters the tree.  A chunk whose
// image is on disk gets a buffer again and reloads it when it is read or merged; the
// file is deleted then.
//
// Tree order.  Chunks are ordered by their lowest key, then their highest key, then
// ready before not ready, then the older first: the leading ready chunks are the next
// rows of the output.
//
// Descriptors are never taken over from the tree for reuse: a chunk in the tree still
// has rows to deliver, so every new chunk gets a new descriptor (buffers are reused).
#include <cstring>

#include "platform/npfio.h"
#include "platform/tqballoc.h"
#include "src/sortvorn.h"

#define VT2(...) TQ_LOG(logger_, 2, __VA_ARGS__)

namespace {
constexpr int kNameSize = 260;
constexpr int64_t kMaxTransfer = 0x7FFFFFFF;
}  // namespace

// --- the tree and the list -----------------------------------------------------------------

int TqSortVornImpl::compareChunks(const void* left, const void* right) {
  const ChunkDescriptor* a = static_cast<const ChunkDescriptor*>(left);
  const ChunkDescriptor* b = static_cast<const ChunkDescriptor*>(right);
  int c = tqCompareKeys(a->lowKey, a->lowKeyLength, b->lowKey, b->lowKeyLength);
  if (c != 0) return c;
  c = tqCompareKeys(a->highKey, a->highKeyLength, b->highKey, b->highKeyLength);
  if (c != 0) return c;
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

uint8_t* TqSortVornImpl::takeBuffer() {
  if (spareBuffers_ != nullptr) {
    uint8_t* buffer = spareBuffers_;
    std::memcpy(&spareBuffers_, buffer, sizeof(uint8_t*));
    return buffer;
  }
  return static_cast<uint8_t*>(tqbMalloc(resolvedChunkSize_));
}

void TqSortVornImpl::wakeBufferWaiter() {
  if (bufferWaiters_ == 0) return;
  --bufferWaiters_;
  ++bufferGeneration_;
  tqEventPost(bufferWaiter_, 0);
}

void TqSortVornImpl::keepSpare(uint8_t* buffer) {
  std::memcpy(buffer, &spareBuffers_, sizeof(uint8_t*));
  spareBuffers_ = buffer;
}

void TqSortVornImpl::freeChunk(ChunkDescriptor* chunk) {
  if (chunk->tempFileName != nullptr) {
    np_fio_unlink(chunk->tempFileName);
    tqbFree(chunk->tempFileName);
  }
  tqbFree(chunk->lowKey);
  tqbFree(chunk->buffer);
  tqbDelete(chunk);
}

// --- descriptors and buffers ---------------------------------------------------------------

ChunkDescriptor* TqSortVornImpl::allocateChunk(ChunkLock lock) {
  VT2("TqSortVornImpl(0x%p)->allocateChunk()", this);
  if (lock == ChunkLock::notHeld) lockChunks();
  ChunkDescriptor* chunk = tqbNew<ChunkDescriptor>();
  if (chunk == nullptr) {
    setError(StatusNoRoom, TQ_MESSAGE(29, "(Chunk Descriptor)"), ChunkLock::held);
    if (lock == ChunkLock::notHeld) unlockChunks();
    return nullptr;
  }
  chunk->id = nextChunkId_++;
  if (getBuffer(chunk, true) != StatusOk) {
    if (lock == ChunkLock::notHeld) unlockChunks();
    tqbDelete(chunk);
    return nullptr;
  }
  chunk->nextInList = chunkList_;
  if (chunkList_ != nullptr) chunkList_->prevInList = chunk;
  chunkList_ = chunk;
  if (lock == ChunkLock::notHeld) unlockChunks();
  chunk->cursor = entryAt(chunk, resolvedChunkSize_ - 16);
  return chunk;
}

int32_t TqSortVornImpl::getEmptyChunk() {
  VT2("TqSortVornImpl(0x%p)->getEmptyChunk()", this);
  ChunkDescriptor* chunk = allocateChunk(ChunkLock::notHeld);
  if (chunk == nullptr) {
    adoptRecordedError();
    return errorCode_ != 0 ? errorCode_.load() : StatusStopped;
  }
  lockChunks();
  currentChunk_ = chunk;
  unlockChunks();
  buffer_ = chunk->buffer;
  indexLimit_ = resolvedChunkSize_ - 16;
  position_ = 0;
  return StatusOk;
}

int32_t TqSortVornImpl::getBuffer(ChunkDescriptor* chunk, bool fromHighEnd) {
  VT2("TqSortVornImpl(0x%p)->getBuffer(0x%p, %s) buffer for chunk %I64u", this, chunk,
      fromHighEnd ? "true" : "false", static_cast<uint64_t>(chunk->id));
  for (;;) {
    if (buffersInUse_ < maxChunksInMemory_) {
      chunk->buffer = takeBuffer();
      if (chunk->buffer == nullptr) {
        setError(StatusNoRoom, TQ_MESSAGE(29, "(Chunk Buffer)"), ChunkLock::held);
        return StatusNoRoom;
      }
      ++buffersInUse_;
      if (buffersInUse_ > maxBuffersInUse_) maxBuffersInUse_ = buffersInUse_;
      VT2("TqSortVornImpl(0x%p)->getBuffer(): chunk[%I64u] - new buffer 0x%p", this,
          static_cast<uint64_t>(chunk->id), chunk->buffer);
      return StatusOk;
    }
    ChunkDescriptor* victim = nullptr;
    if (chunkTree_.count > 0) {
      ChunkDescriptor* c = fromHighEnd ? static_cast<ChunkDescriptor*>(chunkTree_.last->value) : treeFirst();
      for (; c != nullptr; c = fromHighEnd ? treePrev(c) : treeNext(c)) {
        if (c->buffer != nullptr && c != currentChunk_ && c != chunk) {
          victim = c;
          break;
        }
      }
    }
    if (victim != nullptr) {
      VT2("TqSortVornImpl(0x%p)->getBuffer(): chunk[%I64u] - stealing chunk[%I64u] buffer 0x%p",
          this, static_cast<uint64_t>(chunk->id), static_cast<uint64_t>(victim->id), victim->buffer);
      int32_t status = persistChunk(victim);
      if (status != StatusOk) return status;
      chunk->buffer = victim->buffer;
      victim->buffer = nullptr;
      return StatusOk;
    }
    // Every buffer is in a chunk being filled, sorted or merged: wait for one to be freed
    // or for a sorted chunk to enter the tree, then look again.
    VT2("TqSortVornImpl(0x%p)->getBuffer(): chunk[%I64u] - entering wait for available buffers",
        this, static_cast<uint64_t>(chunk->id));
    // Each post of the event first advances bufferGeneration_ (under chunkLock_): a
    // waiter that sees a newer generation than the one it registered under does not
    // wait, so a post made between its registration and its wait is never lost, even
    // when another waiter cleared the event meanwhile.
    ++bufferWaiters_;
    ++bufferWaits_;
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
    if (status != StatusOk) return status;
  }
}

int32_t TqSortVornImpl::persistChunk(ChunkDescriptor* chunk) {
  VT2("TqSortVornImpl(0x%p)->persistChunk(0x%p)", this, chunk);
  if (chunk->tempFileName != nullptr) return StatusOk;  // its image is already on disk
  ++chunksWrittenToDisk_;
  chunk->tempFileName = static_cast<char*>(tqbMalloc(kNameSize));
  if (chunk->tempFileName == nullptr) {
    setError(StatusNoRoom, TQ_MESSAGE(29, "(Chunk Filename)"), ChunkLock::held);
    return StatusNoRoom;
  }
  int32_t lastStatus = StatusOpenFailed;
  TqbString lastMessage;
  int attempts = tempDirCount_ > 0 ? tempDirCount_ : 1;
  for (int d = 0; d < attempts; ++d) {
    const char* dir = tempDirCount_ > 0 ? tempDirs_[d].asCstr() : nullptr;
    NpHandle handle = 0;
    int status = np_fio_tmpfile(dir, "tqsort_", chunk->tempFileName, kNameSize, &handle);
    if (status != 0) {
      lastMessage = TQ_MESSAGE(1417, dir ? dir : "<null>",
                               status == kNpErrSystem ? np_fio_errtext(np_fio_syserr(0)) : np_fio_errdesc(status));
      VT2("TqSortVornImpl(0x%p)->persistChunk(0x%p): %s", this, chunk, lastMessage);
      lastStatus = StatusOpenFailed;
      continue;
    }
    np_fio_bufmode(handle, 0);
    bool failed = false;
    for (int64_t done = 0; done < resolvedChunkSize_;) {
      int64_t piece = resolvedChunkSize_ - done < kMaxTransfer ? resolvedChunkSize_ - done : kMaxTransfer;
      int32_t wrote = np_fio_putb(handle, chunk->buffer + done, static_cast<int32_t>(piece));
      if (wrote <= 0) {  // a write that moves nothing would never finish: a failure too
        lastMessage = TQ_MESSAGE(1045, np_fio_errtext(np_fio_syserr(handle)));
        VT2("TqSortVornImpl(0x%p)->persistChunk(0x%p): %s", this, chunk, lastMessage);
        lastStatus = StatusSystemError;
        failed = true;
        break;
      }
      done += wrote;
    }
    np_fio_close(handle);
    if (failed) {
      np_fio_unlink(chunk->tempFileName);
      continue;
    }
    chunk->cursorOffset = static_cast<uint64_t>(reinterpret_cast<uint8_t*>(chunk->cursor) - chunk->buffer);
    chunk->cursor = nullptr;
    return StatusOk;
  }
  // No directory took the image: the sort cannot go on.
  tqbFree(chunk->tempFileName);
  chunk->tempFileName = nullptr;
  setError(lastStatus, lastMessage, ChunkLock::held);
  return lastStatus;
}

int32_t TqSortVornImpl::reloadChunk(ChunkDescriptor* chunk, ChunkLock lock) {
  VT2("TqSortVornImpl(0x%p)->reloadChunk(0x%p)", this, chunk);
  NpHandle handle = 0;
  int open = np_fio_open(chunk->tempFileName, 33, &handle);
  if (open != 0) {
    TqbString message = TQ_MESSAGE(1353, chunk->tempFileName,
                                   open == kNpErrSystem ? np_fio_errtext(np_fio_syserr(0)) : np_fio_errdesc(open));
    VT2("TqSortVornImpl(0x%p)->reloadChunk(0x%p): %s", this, chunk, message);
    setError(StatusIoError, message, lock);
    return StatusIoError;
  }
  int32_t status = StatusOk;
  for (int64_t done = 0; done < resolvedChunkSize_;) {
    int64_t piece = resolvedChunkSize_ - done < kMaxTransfer ? resolvedChunkSize_ - done : kMaxTransfer;
    int32_t got = np_fio_getb(handle, chunk->buffer + done, static_cast<int32_t>(piece));
    if (got <= 0) {  // a failure, or the file ended before the whole image
      TqbString message = TQ_MESSAGE(1007, got < 0 ? np_fio_errtext(np_fio_syserr(handle))
                                                   : "the file ended before the chunk's image");
      VT2("TqSortVornImpl(0x%p)->reloadChunk(0x%p): %s", this, chunk, message);
      setError(StatusSystemError, message, lock);
      status = StatusSystemError;
      break;
    }
    done += got;
  }
  np_fio_close(handle);
  np_fio_unlink(chunk->tempFileName);
  tqbFree(chunk->tempFileName);
  chunk->tempFileName = nullptr;
  chunk->cursor = entryAt(chunk, chunk->cursorOffset);
  return status;
}

void TqSortVornImpl::tossChunk(ChunkDescriptor* chunk, ChunkLock lock) {
  VT2("TqSortVornImpl(0x%p)->tossChunk(0x%p) tossing chunk %I64u", this, chunk,
      static_cast<uint64_t>(chunk->id));
  if (chunk->tempFileName != nullptr) {
    np_fio_unlink(chunk->tempFileName);
    tqbFree(chunk->tempFileName);
    chunk->tempFileName = nullptr;
  }
  tqbFree(chunk->lowKey);
  chunk->lowKey = chunk->highKey = nullptr;
  if (lock == ChunkLock::notHeld) lockChunks();
  treeDelete(chunk);
  if (chunk->buffer != nullptr) {
    keepSpare(chunk->buffer);
    chunk->buffer = nullptr;
    --buffersInUse_;
    wakeBufferWaiter();
  }
  unlinkChunk(chunk);
  if (lock == ChunkLock::notHeld) unlockChunks();
  tqbDelete(chunk);
}

bool TqSortVornImpl::insertChunk(ChunkDescriptor* chunk, ChunkSource source, ChunkLock lock) {
  VT2("TqSortVornImpl(0x%p)->insertChunk(0x%p, %s, %s)", this, chunk,
      source == ChunkSource::sort ? "true" : "false", lock == ChunkLock::held ? "true" : "false");
  if (chunk->rowCount == 0) {  // nothing to deliver: the buffer goes back at once
    tossChunk(chunk, lock);
    return true;
  }
  uint64_t first = resolvedChunkSize_ - 16ull * chunk->rowCount;
  chunk->cursor = entryAt(chunk, first);
  const IndexEntry* low = chunk->cursor;
  const IndexEntry* high = entryAt(chunk, resolvedChunkSize_ - 16);
  uint8_t* keys = static_cast<uint8_t*>(tqbMalloc(static_cast<size_t>(low->keyLength) + high->keyLength));
  if (keys == nullptr) {
    setError(StatusNoRoom, TQ_MESSAGE(29, "(Chunk Keys)"), lock);
    return false;
  }
  tqbFree(chunk->lowKey);
  chunk->lowKey = keys;
  chunk->lowKeyLength = low->keyLength;
  chunk->highKey = keys + low->keyLength;
  chunk->highKeyLength = high->keyLength;
  std::memcpy(chunk->lowKey, chunk->buffer + low->keyOffset, low->keyLength);
  std::memcpy(chunk->highKey, chunk->buffer + high->keyOffset, high->keyLength);
  if (logger_->getLevel() <= 2) dumpChunk(chunk);
  if (lock == ChunkLock::notHeld) lockChunks();
  treeInsert(chunk);
  wakeBufferWaiter();  // a chunk with a buffer to give is in the tree
  if (source == ChunkSource::merge && chunk->ready) rowsReady_ += chunk->rowCount;
  if (lock == ChunkLock::notHeld) unlockChunks();
  return true;
}

// --- dumps ---------------------------------------------------------------------------------

void TqSortVornImpl::dumpChunks() {
  VT2("Chunks: Sorting=%s", sorting_ ? "true" : "false");
  for (ChunkDescriptor* c = treeFirst(); c != nullptr; c = treeNext(c)) dumpChunk(c);
}

void TqSortVornImpl::dumpChunk(ChunkDescriptor* chunk) {
  VT2("   [0x%p](%I64u) - %s", chunk, static_cast<uint64_t>(chunk->id), chunk->ready ? "ready" : "not-ready");
  if (chunk->buffer != nullptr) VT2("      In memory: 0x%p", chunk->buffer);
  if (chunk->tempFileName != nullptr) VT2("      Tempfile: %s", chunk->tempFileName);
  dumpKey("       lowKey:", chunk->lowKey, chunk->lowKeyLength);
  dumpKey("      highKey:", chunk->highKey, chunk->highKeyLength);
  VT2("      nRecs: %I64u", static_cast<uint64_t>(chunk->rowCount));
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
    VT2("%s %s", at == 0 ? label : blanks.c_str(), line);
  }
}
