// Merge passes and sorted reading.
//
// Once the input has ended, the sorted chunks sit in the tree ordered by their low
// keys, with overlapping key ranges.  The reader asks for its next chunk
// (getNextChunk), which runs merge passes until the first chunk of the tree is ready or
// a read merge exists.  A pass walks the tree in key order:
//
//   - leading chunks whose highest key is not above the next chunk's lowest key are in
//     final order: they are marked ready and read in place, never merged;
//   - a run of overlapping chunks becomes a merge request with as many chunks as the
//     memory budget allows.  The budget is the number of chunk buffers (less the one
//     being read); a merge counts one unit for its output chunk and one per input, and
//     merges are built only while three units are left.  The request is either
//       * the read merge, when it is the first thing to read and no later chunk starts
//         below its highest key: the reader takes rows straight out of it,
//       * run on the pool, while the reader goes on with ready chunks, or
//       * run on the caller's thread when the budget is nearly exhausted.
//   - Merged output chunks go back into the tree, and later passes look at them again.
//
// Before the first row, a pass waits for every sort work item.  When merges are
// running and nothing is ready, a pass waits for them in rounds of 2500 ms, reporting
// progress to the host (which may cancel the sort) and watching for recorded errors.
// mergeComplete_ is set when a pass reaches the end of the tree without dispatching a
// merge: from then on chunks are simply read in tree order.  The statistics block is
// written once, at the first getNextChunk after that.
#include "platform/tqballoc.h"
#include "platform/tqbassert.h"
#include "src/sortvorn.h"
#include "src/sortvorn_work.h"

#define VT1(...) TQ_LOG(logger_, 1, __VA_ARGS__)
#define VT2(...) TQ_LOG(logger_, 2, __VA_ARGS__)

namespace {

constexpr int32_t kReaderWaiting = 0x40000000;

// The greater of two keys (the second on equality).
void maxKey(const uint8_t** key, uint32_t* length, const uint8_t* other, uint32_t otherLength) {
  if (tqCompareKeys(*key, *length, other, otherLength) <= 0) {
    *key = other;
    *length = otherLength;
  }
}

}  // namespace

int32_t TqSortVornImpl::getNextChunk(bool mayMergeOnMain) {
  VT2("TqSortVornImpl(0x%p)->getNextChunk()", this);
  if (readMerge_ != nullptr) {
    sourcesReleased_ = true;
    readMerge_->destroy();
    readMerge_ = nullptr;
  }
  rowReader_ = tqReadChunkRow;
  lockChunks();
  if (currentChunk_ != nullptr) {  // the chunk just read
    ChunkDescriptor* done = currentChunk_;
    currentChunk_ = nullptr;
    buffer_ = nullptr;
    sourcesReleased_ = true;
    tossChunk(done, ChunkLock::held);
    if (nextChunkId_ == 1) {  // a one-chunk sort has nothing more
      unlockChunks();
      return StatusEndOfData;
    }
  }
  int32_t status = StatusOk;
  for (;;) {
    if (!mergeComplete_) {
      status = mergePass(mayMergeOnMain);
      if (status != StatusOk || readMerge_ != nullptr) break;
    }
    currentChunk_ = treeFirst();
    if (currentChunk_ == nullptr) {
      if (mergeComplete_) {
        unlockChunks();
        return StatusEndOfData;
      }
      if (!mayMergeOnMain) break;
      continue;
    }
    if (!currentChunk_->ready) {
      currentChunk_ = nullptr;
      continue;
    }
    break;
  }
  bool reload = false;
  if (currentChunk_ != nullptr && currentChunk_->buffer == nullptr) {
    int32_t got = getBuffer(currentChunk_, false);
    if (got != StatusOk) {
      currentChunk_ = nullptr;
      status = got;
    } else {
      reload = true;
    }
  }
  unlockChunks();
  if (currentChunk_ != nullptr) {
    rowsLeft_ = currentChunk_->rowCount;
    buffer_ = currentChunk_->buffer;
    if (reload) {
      int32_t loaded = reloadChunk(currentChunk_, ChunkLock::notHeld);
      if (loaded != StatusOk) status = loaded;
    }
  }
  if (mergeComplete_ && !statisticsPrinted_) printStatistics();
  if (status != StatusOk && status != StatusEndOfData) adoptRecordedError();
  return status;
}

bool TqSortVornImpl::reportProgress(bool lockHeld) {
  if (!lockHeld) lockChunks();
  uint64_t ready = rowsReady_;
  if (!lockHeld) unlockChunks();
  // With no rows there is nothing left to do.
  uint64_t percent = rowTotal_ == 0 ? 100 : ready * 100 / rowTotal_;
  if (percent > 100) percent = 100;
  if (sequenceBlock_.sortProgress->progress(static_cast<double>(percent) / 100.0)) return true;
  setError(StatusStopped, TQ_MESSAGE(548), lockHeld ? ChunkLock::held : ChunkLock::notHeld);
  return false;
}

int32_t TqSortVornImpl::mergePass(bool mayMergeOnMain) {
  VT2("TqSortVornImpl(0x%p)->mergePass(0x%p)", this, nullptr);
  if (sortsEnded_ != sortsSubmitted_ + sortsOnMain_) {
    // Every sort handed to the pool must have ended before the tree is complete.
    unlockChunks();
    threadPool_.quiesce(false, false);
    threadPool_.reset();
    lockChunks();
  }
  if (logger_->getLevel() <= 2) dumpChunks();
  if (chunkTree_.count == 0 && tqAtomGet(&mergeAtomic_) == 0) {
    VT2("TqSortVornImpl(0x%p)->mergePass(): Returning EOF", this);
    return aborted_ ? (errorCode_ != 0 ? errorCode_.load() : StatusStopped) : StatusEndOfData;
  }
  ChunkDescriptor* first = treeFirst();
  if (tqAtomGet(&mergeAtomic_) != 0 && (currentChunk_ != nullptr || (first && first->ready))) {
    if (currentChunk_ == nullptr) currentChunk_ = first;
    VT2("TqSortVornImpl(0x%p)->mergePass(): Leaving early with chunk %I64u", this,
        static_cast<uint64_t>(currentChunk_->id));
    return StatusOk;
  }
  ++mergePasses_;
  if (tqAtomGet(&mergeAtomic_) != 0) {
    VT2("TqSortVornImpl(0x%p)->mergePass(): Merge running", this);
    int32_t now = tqAtomOr(&mergeAtomic_, kReaderWaiting);
    if (now == kReaderWaiting) {  // the last merge ended meanwhile
      tqAtomSet(&mergeAtomic_, now, 0);
      tqEventClear(mergeWaiter_);
    } else {
      ++mergePassWaits_;
      unlockChunks();
      VT2("TqSortVornImpl(0x%p)->mergePass(): Waiting on running merge", this);
      bool posted = false;
      for (;;) {
        if (!aborted_ && sequenceBlock_.sortProgress != nullptr) {
          if (!reportProgress(false)) break;
        } else if (aborted_) {
          break;
        }
        int index = 0;
        if (tqEventWait(1, &mergeWaiter_, 1, 2500, 0, &index) == 0) {
          posted = true;
          break;
        }
      }
      lockChunks();
      if (logger_->getLevel() <= 2) {
        VT2("TqSortVornImpl(0x%p)->mergePass(): Back from merge wait", this);
        dumpChunks();
      }
      // The waiter is also posted when an error is recorded; the count is reset only
      // when the merges have really ended.
      if (posted && tqAtomSet(&mergeAtomic_, kReaderWaiting, 0) == kReaderWaiting) {
        tqEventClear(mergeWaiter_);
      }
    }
  } else if (!aborted_ && sequenceBlock_.sortProgress != nullptr) {
    reportProgress(true);
  }
  if (aborted_) return errorCode_ != 0 ? errorCode_.load() : StatusStopped;

  ChunkDescriptor* n = treeFirst();
  if (n == nullptr) {
    TQB_ASSERT_FAIL("Merge passes finished without any chunks");
    return StatusEndOfData;
  }
  if (n->ready) {
    if (currentChunk_ == nullptr) currentChunk_ = n;
    for (ChunkDescriptor* after = treeNext(n); after != nullptr && after->ready; after = treeNext(n)) n = after;
  }
  ChunkDescriptor* p = treeNext(n);
  if (p == nullptr) {
    mergeComplete_ = true;
    if (n->ready) return StatusOk;
    VT2("TqSortVornImpl(0x%p)->mergePass(0x%p): Marking last chunk [0x%p](%I64u) ready", this,
        nullptr, n, static_cast<uint64_t>(n->id));
    n->ready = true;
    rowsReady_ += n->rowCount;
    return StatusOk;
  }

  uint32_t budget = maxChunksInMemory_ - (currentChunk_ != nullptr ? 1 : 0);
  bool dispatched = false;
  while (p != nullptr && budget > 2) {
    if (tqCompareKeys(n->highKey, n->highKeyLength, p->lowKey, p->lowKeyLength) <= 0) {
      // In order with the next chunk (equal keys count as in order).
      if (!dispatched) {
        VT2("TqSortVornImpl(0x%p)->mergePass(0x%p): Marking chunk [0x%p](%I64u) ready", this,
            nullptr, n, static_cast<uint64_t>(n->id));
        if (!n->ready) {
          n->ready = true;
          rowsReady_ += n->rowCount;
        }
        if (currentChunk_ == nullptr) {
          currentChunk_ = n;
          --budget;
        }
      }
      n = p;
      p = treeNext(p);
      if (p == nullptr) {
        if (dispatched) return StatusOk;
        VT2("TqSortVornImpl(0x%p)->mergePass(0x%p): Marking chunk [0x%p](%I64u) ready", this,
            nullptr, n, static_cast<uint64_t>(n->id));
        mergeComplete_ = true;
        if (!n->ready) {
          n->ready = true;
          rowsReady_ += n->rowCount;
        }
        return StatusOk;
      }
      continue;
    }
    // n and p overlap: merge them and whatever else overlaps the run.
    if (budget < 3) break;
    TqSortVornWorkMerge* merge = createMergeRequest(this, logger_);
    if (merge == nullptr) return currentChunk_ != nullptr ? StatusOk : StatusNoRoom;
    --budget;  // the output chunk
    const uint8_t* bound = n->highKey;
    uint32_t boundLength = n->highKeyLength;
    maxKey(&bound, &boundLength, p->highKey, p->highKeyLength);
    auto takeFailed = [&]() {
      merge->destroy();
      setError(StatusNoRoom, TQ_MESSAGE(29, "(Merge Request)"), ChunkLock::held);
      return StatusNoRoom;
    };
    if (!merge->addChunk(n)) {
      merge->destroy();
      if (currentChunk_ != nullptr || dispatched) return StatusOk;
      setError(StatusNoRoom, TQ_MESSAGE(29, "(Merge Request)"), ChunkLock::held);
      return StatusNoRoom;
    }
    treeDelete(n);
    ChunkDescriptor* q = treeNext(p);
    if (!merge->addChunk(p)) return takeFailed();
    treeDelete(p);
    budget -= 2;  // each input holds a buffer for the whole merge
    while (budget != 0 && q != nullptr &&
           tqCompareKeys(bound, boundLength, q->lowKey, q->lowKeyLength) > 0) {
      maxKey(&bound, &boundLength, q->highKey, q->highKeyLength);
      ChunkDescriptor* taken = q;
      q = treeNext(q);
      treeDelete(taken);
      if (!merge->addChunk(taken)) return takeFailed();
      --budget;
    }
    if (budget == 0 && q != nullptr && tqCompareKeys(bound, boundLength, q->lowKey, q->lowKeyLength) > 0) {
      // Out of budget while q still overlaps.  A read merge needs no output chunk, so
      // it may take q as well when nothing after q starts below the merged range.
      ChunkDescriptor* p2 = treeNext(q);
      if (dispatched || currentChunk_ != nullptr) {
        merge->readable = false;
      } else if (p2 == nullptr ||
                 (tqCompareKeys(bound, boundLength, p2->lowKey, p2->lowKeyLength) <= 0 &&
                  tqCompareKeys(q->highKey, q->highKeyLength, p2->lowKey, p2->lowKeyLength) <= 0)) {
        treeDelete(q);
        if (!merge->addChunk(q)) return takeFailed();
        q = p2;
      } else {
        merge->readable = false;
      }
    }
    if (!dispatched && currentChunk_ == nullptr && merge->readable) {
      VT2("TqSortVornImpl(0x%p)->mergePass(0x%p): Identified merge request 0x%p as a read merge request.",
          this, nullptr, merge);
      ++readMergeCount_;
      readMerge_ = merge;
      rowsLeft_ = merge->rowCount;
      rowReader_ = tqReadMergeRow;
      dispatched = true;
    } else if (!dispatched && currentChunk_ == nullptr && budget < 3 && mayMergeOnMain) {
      ++mergesOnMain_;
      merge->work(true, nullptr);
      if (aborted_) return errorCode_ != 0 ? errorCode_.load() : StatusStopped;
      if (logger_->getLevel() <= 2) {
        VT2("TqSortVornImpl(0x%p)->mergePass(): After onMain merge", this);
        dumpChunks();
      }
      budget = maxChunksInMemory_;
      n = treeFirst();
      p = n != nullptr ? treeNext(n) : nullptr;
      continue;
    } else {
      ++mergesSubmitted_;
      tqAtomAdd(&mergeAtomic_);
      if (!threadPool_.enqueue(merge, false)) {
        tqAtomSub(&mergeAtomic_);
        merge->destroy();
        setError(StatusNoRoom, TQ_MESSAGE(1827), ChunkLock::held);
        return StatusNoRoom;
      }
      dispatched = true;
    }
    n = q;
    if (n == nullptr) break;
    p = treeNext(n);
  }
  if (currentChunk_ != nullptr) {
    VT2("TqSortVornImpl(0x%p)->mergePass(): Leaving with chunk %I64u", this,
        static_cast<uint64_t>(currentChunk_->id));
    if (rowsPassed_ == 0) mergesUntilFirstRow_ = mergesSubmitted_ + mergesOnMain_;
  } else {
    VT2("TqSortVornImpl(0x%p)->mergePass(): Leaving empty handed", this);
  }
  return StatusOk;
}

TqSortVornWorkMerge* TqSortVornImpl::createMergeRequest(TqSortVornImpl* engine, TqLogger* logger) {
  TqSortVornWorkMerge* merge = tqbNew<TqSortVornWorkMerge>(engine, logger);
  if (merge == nullptr && currentChunk_ == nullptr) {
    setError(StatusNoRoom, TQ_MESSAGE(29, "(Merge Request)"), ChunkLock::held);
  }
  return merge;
}

// --- reading -------------------------------------------------------------------------------

int32_t TqSortVornImpl::nextRowFromChunk(bool* mark) {
  if (currentChunk_ == nullptr) return StatusEndOfData;
  position_ = currentChunk_->cursor->rowOffset;
  if (rowsLeft_ > 4) __builtin_prefetch(buffer_ + currentChunk_->cursor[4].rowOffset);
  int32_t status = readFields(mark);
  if (status == StatusOk) ++currentChunk_->cursor;  // a failed row is read again next time
  return status;
}

int32_t TqSortVornImpl::nextRowFromMergeRequest(bool* mark) {
  uint8_t* row = nullptr;
  int32_t status = readMerge_->nextRow(&row);
  if (status == 0) {
    buffer_ = row;
    position_ = 0;
    return readFields(mark);
  }
  VT2("TqSortVornImpl(0x%p)->nextRowFromMergeRequest(): Switching back to main reader.", this);
  lockChunks();
  rowsReady_ += readMerge_->rowsServed;  // a chunk it handed back counted when it entered the tree
  unlockChunks();
  sourcesReleased_ = true;
  readMerge_->destroy();
  readMerge_ = nullptr;
  buffer_ = nullptr;
  rowReader_ = tqReadChunkRow;
  if (status != -1) {
    rowsLeft_ = 0;  // the next call asks for a chunk again and meets the recorded error
    adoptRecordedError();
    return status;
  }
  status = getNextChunk(true);
  if (status != StatusOk) return status;
  return rowReader_(*this, mark);
}

int32_t TqSortVornImpl::seek(int64_t position) {
  VT1("TqSortVornImpl(0x%p)->seek(%I64i)", this, position);
  return seekSorted(position);
}

int32_t TqSortVornImpl::rewind() {
  // Only the first chunk or read merge can go back to its start, and a read merge only
  // before it consumed a row (it hands each input back or tosses it as it goes).
  if (sourcesReleased_) return fail(StatusIoError, 1426);
  if (currentChunk_ != nullptr && readMerge_ == nullptr) {
    currentChunk_->cursor = entryAt(currentChunk_, resolvedChunkSize_ - 16ull * currentChunk_->rowCount);
    rowsLeft_ = currentChunk_->rowCount;
    buffer_ = currentChunk_->buffer;
    rowReader_ = tqReadChunkRow;
    position_ = 0;
    return StatusOk;
  }
  if (readMerge_ != nullptr && rowsTaken_ <= 1) {
    rowsLeft_ = readMerge_->rowCount;
    rowReader_ = tqReadMergeRow;
    readMerge_->clearSelection();
    return StatusOk;
  }
  return fail(StatusIoError, 1426);
}
