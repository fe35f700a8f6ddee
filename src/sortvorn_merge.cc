// Merge passes and sorted reading: the streamed merge.
//
// Once the input has ended, the sorted runs sit in the tree ordered by their low keys:
// chunks still in memory, and runs on disk (chunks whose buffers were taken while rows
// came in, rows longer than a chunk, and runs merged while rows came in).  The reader
// asks for its next source of rows (getNextChunk), which runs a merge pass when the
// first run of the tree is not ready.  A pass walks the tree:
//
//   - leading runs whose highest key is not above the next run's lowest key are in
//     final order: they are marked ready and read one after another, a run in memory in
//     place, a run on disk through a window (a read merge of that one run);
//   - the first group of overlapping runs (the first run and every run that starts
//     below the highest key seen so far: a group no later run can reach into) becomes
//     the read merge: the reader takes rows straight out of it, each selected among
//     all of the group's runs by a tournament tree.  A run on disk costs a window as
//     long as its longest record (so a run holding a row longer than a chunk costs that
//     row) and a run file, both reserved before the group is opened; when the budget is
//     short, runs in memory (outside the group first) are written to disk to make room,
//     since a window is far smaller than a chunk, and the group's windows shrink, down
//     to an eighth of the engine's window, when that lets them all fit (readWindowFor).
//     So a sort whose runs went to disk once while rows came in is read back in a
//     single pass, and its data is written exactly once;
//   - only when the group costs more than the whole budget even so, or more run files than the
//     process may hold open, do merge items on the pool first merge some of its runs
//     into one run on disk each: the cheapest to read first (runs in memory, then short
//     windows, then the fewest rows), as many as fit.  Runs with long rows cost the most
//     and are merged last, a few at a time, into runs that cost one long row for all
//     of theirs; two of them always fit, since a longer row was refused.  The next
//     pass looks at the group again, with fewer runs.
//
// Key copies are cut to 256 bytes: where they cannot tell two keys apart, a run counts
// as overlapping (a group may be larger than it must, never smaller) and not as ready.
//
// Before the first pass, the reader waits for every sort work item; while it waits for
// them or for a merge on the pool, the host hears the progress every 100 ms (and may
// cancel the sort), and recorded errors end the wait.  mergeComplete_ is set when a
// pass finds every run of the tree in final order; the statistics block is written
// once, at the first getNextChunk after that.
//
// While rows come in (mergeDuringInput), when the runs' metadata fills half its share
// of the budget, the smallest runs on disk are merged into one on the pool, one merge
// at a time; the rows wait for it when the metadata nears its share.
#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/tqballoc.h"
#include "platform/tqbassert.h"
#include "src/sortvorn.h"
#include "src/sortvorn_runs.h"
#include "src/sortvorn_work.h"
#include "src/trace.h"

namespace tqlib {

namespace {

constexpr int32_t kReaderWaiting = 0x40000000;
// How often the host hears the progress while the sort waits for its work.
constexpr std::chrono::milliseconds kProgressEvery{100};

// Whether run p starts at or above the end of run n (equal keys count as in order);
// false when cut key copies cannot tell.
bool inOrder(const ChunkDescriptor* n, const ChunkDescriptor* p) {
  return tqCompareKeyCopies(n->highKey, n->highKeyLength, n->highCut, p->lowKey, p->lowKeyLength, p->lowCut) <= 0;
}

}  // namespace

int32_t TqSortVornImpl::getNextChunk() {
  TQ_TRACE_SORT("TqSortVornImpl(0x%p)->getNextChunk()", this);
  return nextSource();
}

int32_t TqSortVornImpl::nextSource() {
  if (readMerge_ != nullptr) {
    lockChunks();
    if (!readMerge_->countedReady) rowsReady_ += readMerge_->rowsServed;
    unlockChunks();
    sourcesReleased_ = true;
    readMerge_->destroy();
    readMerge_ = nullptr;
  }
  rowReader_ = tqReadChunkRow;
  if (aborted_) {  // a recorded error ends the reading for good
    adoptRecordedError();
    return errorCode_ != 0 ? errorCode_.load() : StatusStopped;
  }
  lockChunks();
  if (currentChunk_ != nullptr) {  // the run just read
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
    ChunkDescriptor* first = treeFirst();
    if (!mergeComplete_ && (first == nullptr || !first->ready)) {
      status = mergePass();
      if (status != StatusOk || readMerge_ != nullptr) break;
      first = treeFirst();
    }
    if (first == nullptr) {
      if (mergeComplete_ || tqAtomGet(&mergeAtomic_) == 0) {
        mergeComplete_ = true;
        unlockChunks();
        if (!statisticsPrinted_) printStatistics();
        return StatusEndOfData;
      }
      continue;  // a merge on the pool will bring its run
    }
    if (!first->ready) continue;
    if (first->buffer != nullptr) {
      currentChunk_ = first;  // read in place
    } else {
      status = streamRun(first);
    }
    break;
  }
  const bool complete = mergeComplete_;
  unlockChunks();
  if (currentChunk_ != nullptr) {
    rowsLeft_ = currentChunk_->rowCount;
    buffer_ = currentChunk_->buffer;
    currentChunk_->cursor = firstRowOf(currentChunk_);
    position_ = 0;
  } else if (readMerge_ != nullptr) {
    rowsLeft_ = readMerge_->rowCount;
    rowReader_ = tqReadMergeRow;
  }
  if (complete && !statisticsPrinted_) printStatistics();
  if (status != StatusOk && status != StatusEndOfData) adoptRecordedError();
  return status;
}

double TqSortVornImpl::workDone() {
  // Each row is one unit of work when its chunk is sorted (a row of its own, when it
  // is written), one more for each merge that writes it before the reading, and one
  // when the host reads it.
  lockChunks();
  uint64_t done = rowsSorted_ + rowsMergedEarly_ + rowsTaken_;
  uint64_t total = 2 * rowTotal_ + rowsPlannedEarly_;
  unlockChunks();
  return fractionOf(done, total);
}

void TqSortVornImpl::stopWork() { setError(StatusStopped, TQ_MESSAGE(548), ChunkLock::notHeld); }

bool TqSortVornImpl::reportProgress() {
  bool going = tellProgress(workDone());
  if (!going) setError(StatusStopped, TQ_MESSAGE(548), ChunkLock::notHeld);
  return going;
}

bool TqSortVornImpl::reportProgressLocked() {
  unlockChunks();
  bool going = reportProgress();
  lockChunks();
  return going;
}

int32_t TqSortVornImpl::waitForSorts() {
  // The sort items on the pool end one after the other; the host hears the progress
  // meanwhile, every 100 ms or so, and may cancel.
  auto last = std::chrono::steady_clock::now();
  while (sortsEnded_ != sortsSubmitted_ + sortsOnMain_ && !aborted_) {
    unlockChunks();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (std::chrono::steady_clock::now() - last >= kProgressEvery) {
      last = std::chrono::steady_clock::now();
      if (sequenceBlock_.sortProgress != nullptr) reportProgress();
    }
    lockChunks();
  }
  if (aborted_) return errorCode_ != 0 ? errorCode_.load() : StatusStopped;
  // Every sort handed to the pool has ended: the tree is complete.
  unlockChunks();
  threadPool_.quiesce(TqbThreadPool::Drain::finishAll);
  threadPool_.reset();
  lockChunks();
  return StatusOk;
}

// Merges run on the pool; the reader only ever waits for them.
int32_t TqSortVornImpl::mergePass() {
  TQ_TRACE_SORT("TqSortVornImpl(0x%p)->mergePass(0x%p)", this, nullptr);
  if (sortsEnded_ != sortsSubmitted_ + sortsOnMain_) {
    // Every sort handed to the pool must have ended before the tree is complete.
    int32_t status = waitForSorts();
    if (status != StatusOk) return status;
  }
  if (logger_->getLevel() <= 2) dumpChunks();
  if (chunkTree_.count == 0 && tqAtomGet(&mergeAtomic_) == 0) {
    TQ_TRACE_SORT("TqSortVornImpl(0x%p)->mergePass(): Returning EOF", this);
    return aborted_ ? (errorCode_ != 0 ? errorCode_.load() : StatusStopped) : StatusEndOfData;
  }
  ChunkDescriptor* first = treeFirst();
  if (tqAtomGet(&mergeAtomic_) != 0 && first != nullptr && first->ready) {
    TQ_TRACE_SORT("TqSortVornImpl(0x%p)->mergePass(): Leaving early with chunk %I64u", this,
                  static_cast<uint64_t>(first->id));
    return StatusOk;
  }
  ++counters_.mergePasses;
  if (tqAtomGet(&mergeAtomic_) != 0) {
    waitForMerges();
  } else if (!aborted_ && sequenceBlock_.sortProgress != nullptr) {
    reportProgressLocked();
  }
  if (aborted_) return errorCode_ != 0 ? errorCode_.load() : StatusStopped;
  if (tqAtomGet(&mergeAtomic_) != 0) return StatusOk;  // the wait ended early: look again
  return markReadyRuns();
}

void TqSortVornImpl::waitForMerges() {
  TQ_TRACE_SORT("TqSortVornImpl(0x%p)->mergePass(): Merge running", this);
  int32_t now = tqAtomOr(&mergeAtomic_, kReaderWaiting);
  if (now == kReaderWaiting) {  // the last merge ended meanwhile
    tqAtomSet(&mergeAtomic_, now, 0);
    tqEventClear(mergeWaiter_);
  } else {
    ++counters_.mergePassWaits;
    unlockChunks();
    TQ_TRACE_SORT("TqSortVornImpl(0x%p)->mergePass(): Waiting on running merge", this);
    bool posted = false;
    for (;;) {
      if (!aborted_ && sequenceBlock_.sortProgress != nullptr) {
        if (!reportProgress()) break;
      } else if (aborted_) {
        break;
      }
      int index = 0;
      if (tqEventWait(1, &mergeWaiter_, 1, static_cast<int>(kProgressEvery.count()), 0, &index) == 0) {
        posted = true;
        break;
      }
    }
    lockChunks();
    if (logger_->getLevel() <= 2) {
      TQ_TRACE_SORT("TqSortVornImpl(0x%p)->mergePass(): Back from merge wait", this);
      dumpChunks();
    }
    // The waiter is also posted when an error is recorded; the count is reset only
    // when the merges have really ended.
    if (posted && tqAtomSet(&mergeAtomic_, kReaderWaiting, 0) == kReaderWaiting) {
      tqEventClear(mergeWaiter_);
    }
  }
}

int32_t TqSortVornImpl::markReadyRuns() {
  ChunkDescriptor* n = treeFirst();
  if (n == nullptr) return StatusOk;  // a merge brought nothing (its rows were all read)
  while (n != nullptr && n->ready) n = treeNext(n);
  bool readyAhead = n != treeFirst();
  for (;;) {
    if (n == nullptr) {
      mergeComplete_ = true;
      return StatusOk;
    }
    ChunkDescriptor* p = treeNext(n);
    if (p == nullptr || inOrder(n, p)) {
      // In order with the next run (equal keys count as in order): final.
      TQ_TRACE_SORT("TqSortVornImpl(0x%p)->mergePass(0x%p): Marking chunk [0x%p](%I64u) ready", this, nullptr, n,
                    static_cast<uint64_t>(n->id));
      n->ready = true;
      rowsReady_ += n->rowCount;
      readyAhead = true;
      n = p;
      continue;
    }
    // n and p overlap.  The group is handled when it comes first; ready runs are read
    // before it.
    if (readyAhead) return StatusOk;
    return mergeGroup(n);
  }
}

int32_t TqSortVornImpl::mergeGroup(ChunkDescriptor* first) {
  // The closed group: no run after it starts below its highest key.  Where cut key
  // copies cannot tell, a run is taken in: a group may be larger than it must, never
  // smaller.
  TqSortVornWorkMerge* merge = createMergeRequest(this, logger_);
  if (merge == nullptr) return StatusNoRoom;
  const uint8_t* bound = first->highKey;
  uint32_t boundLength = first->highKeyLength;
  bool boundCut = first->highCut;
  for (ChunkDescriptor* q = first; q != nullptr;) {
    ChunkDescriptor* after = treeNext(q);
    if (q != first && tqCompareKeyCopies(bound, boundLength, boundCut, q->lowKey, q->lowKeyLength, q->lowCut) <= 0) {
      break;
    }
    if (tqCompareKeyCopies(bound, boundLength, boundCut, q->highKey, q->highKeyLength, q->highCut) < 0) {
      bound = q->highKey;
      boundLength = q->highKeyLength;
      boundCut = q->highCut;
    }
    treeDelete(q);
    if (!merge->addChunk(q)) {
      treeInsert(q);
      merge->destroyLocked();  // its inputs were taken out of the tree: they go with it
      setError(StatusNoRoom, TQ_MESSAGE(29, "(Merge Request)"), ChunkLock::held);
      return StatusNoRoom;
    }
    q = after;
  }
  int32_t status = reserveInputs(merge);
  if (status == StatusOk) {
    TQ_TRACE_SORT("TqSortVornImpl(0x%p)->mergePass(0x%p): Identified merge request 0x%p as a read merge request.", this,
                  nullptr, merge);
    ++counters_.readMergeCount;
    readMerge_ = merge;
    if (rowsPassed_ == 0) {
      counters_.mergesUntilFirstRow = counters_.mergesSubmitted + counters_.mergesOnMain;
    }
    // The last group: nothing is left to merge once the reader has these rows.
    if (chunkTree_.count == 0 && tqAtomGet(&mergeAtomic_) == 0) mergeComplete_ = true;
    return StatusOk;
  }
  if (status != StatusNoRoom) {
    merge->destroyLocked();
    return status;
  }
  return preMerge(merge);
}

int32_t TqSortVornImpl::reserveInputs(TqSortVornWorkMerge* merge) {
  // The group's runs on disk need a window each, and a run file.  Runs in memory
  // elsewhere in the tree are written out first when the budget is short
  // (reserveWindows), then the group's own, which then need a window too; the windows
  // shrink first (readWindowFor).
  ChunkDescriptor** inputs = merge->inputs();
  uint32_t count = merge->inputCount();
  for (uint32_t k = count;;) {
    const uint32_t window = readWindowFor(inputs, count);
    uint64_t bytes = kMergeRequestBytes;
    uint32_t files = 0;
    for (uint32_t i = 0; i < count; ++i) {
      bytes += readCost(inputs[i], window);
      files += inputs[i]->buffer == nullptr ? 1 : 0;
    }
    if (files > 0 && filesInUse_ + files + 2 > fileLimit_) return StatusNoRoom;
    int32_t status = reserveWindows(bytes, files);
    if (status == StatusOk) {
      merge->windowBytes = bytes;
      merge->readWindow = window;
      merge->files = files;
      merge->stageBytes = reserveStages(inputs, count);
      return StatusOk;
    }
    while (k > 0 && inputs[k - 1]->buffer == nullptr) --k;
    if (status != StatusNoRoom || k == 0) return status;
    ChunkDescriptor* c = inputs[--k];
    status = persistChunk(c);
    if (status != StatusOk) return status;
    tqbFree(c->buffer);
    c->buffer = nullptr;
    --buffersInUse_;
    bytesInUse_ -= resolvedChunkSize_;
  }
}

int32_t TqSortVornImpl::preMerge(TqSortVornWorkMerge* group) {
  // More runs than the memory has windows, or the process run files, for: merge some
  // into one run on disk first, the cheapest to read (runs in memory, then short
  // windows, then fewest rows), as many as fit beside what the sort holds and cannot
  // give up.  Runs with long records cost their longest record each, so they are merged
  // last, a few at a time, into runs that cost one long record for all of their rows.
  // The rest go back to the tree; with the memory left, a second merge may run beside
  // the first.  The next pass looks at the group again.
  ChunkDescriptor** inputs = group->inputs();
  uint32_t count = group->inputCount();
  std::sort(inputs, inputs + count, [this](const ChunkDescriptor* a, const ChunkDescriptor* b) {
    uint64_t ca = readCost(a), cb = readCost(b);
    if (ca != cb) return ca < cb;
    return a->rowCount != b->rowCount ? a->rowCount < b->rowCount : a->id < b->id;
  });
  uint64_t held = bytesInUse_ - freeableBytes();
  uint64_t room = budgetBytes_ > held ? budgetBytes_ - held : 0;
  uint32_t fileRoom = fileLimit_ > filesInUse_ + 2 ? fileLimit_ - filesInUse_ - 2 : 0;  // as reserveWindows
  uint32_t next = 0;
  uint32_t dispatched = 0;
  while (dispatched < static_cast<uint32_t>(sortThreads_)) {
    uint64_t bytes = kMergeRequestBytes + windowSize_;  // and the output's window
    uint32_t files = 1;
    uint32_t take = next;
    while (take < count) {
      uint64_t cost = readCost(inputs[take]);
      uint32_t file = inputs[take]->buffer == nullptr ? 1 : 0;
      if (bytes + cost > room || files + file > fileRoom) break;
      bytes += cost;
      files += file;
      ++take;
    }
    if (take - next < 2) break;
    int32_t status = submitPreMerge(inputs + next, take - next, bytes, files, MergeTime::beforeReading);
    if (status == StatusNoRoom && errorCode_ == 0) break;  // the memory was less than it seemed
    if (status != StatusOk) {
      for (uint32_t k = next; k < count; ++k) treeInsert(inputs[k]);
      group->truncateInputs(0);
      group->destroyLocked();
      return status;
    }
    room -= bytes;
    fileRoom -= files;
    next = take;
    ++dispatched;
  }
  for (uint32_t k = next; k < count; ++k) treeInsert(inputs[k]);
  group->truncateInputs(0);
  group->destroyLocked();
  if (dispatched > 0 || tqAtomGet(&mergeAtomic_) != 0) {
    TQ_TRACE_SORT("TqSortVornImpl(0x%p)->mergePass(): Leaving empty handed", this);
    return StatusOk;  // the next pass waits for the merges, which give their memory back
  }
  setError(StatusNoRoom, TQ_MESSAGE(29, "(Merge Windows)"), ChunkLock::held);
  return StatusNoRoom;
}

int32_t TqSortVornImpl::submitPreMerge(ChunkDescriptor** runs, uint32_t count, uint64_t bytes, uint32_t files,
                                       MergeTime when) {
  TqSortVornWorkMerge* merge = createMergeRequest(this, logger_);
  if (merge == nullptr) return StatusNoRoom;
  for (uint32_t k = 0; k < count; ++k) {
    if (!merge->addChunk(runs[k])) {
      merge->truncateInputs(0);
      merge->destroyLocked();
      setError(StatusNoRoom, TQ_MESSAGE(29, "(Merge Request)"), ChunkLock::held);
      return StatusNoRoom;
    }
  }
  int32_t status = reserveWindows(bytes, files);
  if (status != StatusOk) {  // StatusNoRoom is the caller's to report
    merge->truncateInputs(0);
    merge->destroyLocked();
    return status;
  }
  merge->windowBytes = bytes;
  merge->files = files;
  merge->readable = false;
  rowsPlannedEarly_ += merge->rowCount;
  merge->whileAdding = when == MergeTime::whileAdding;
  ++counters_.mergesSubmitted;
  tqAtomAdd(&mergeAtomic_);
  if (!threadPool_.enqueue(merge, false)) {
    tqAtomSub(&mergeAtomic_);
    merge->truncateInputs(0);
    merge->destroyLocked();
    setError(StatusNoRoom, TQ_MESSAGE(1827), ChunkLock::held);
    return StatusNoRoom;
  }
  return StatusOk;
}

int32_t TqSortVornImpl::streamRun(ChunkDescriptor* run) {
  TqSortVornWorkMerge* merge = createMergeRequest(this, logger_);
  if (merge == nullptr) return StatusNoRoom;
  treeDelete(run);
  if (!merge->addChunk(run)) {
    treeInsert(run);
    merge->destroyLocked();
    setError(StatusNoRoom, TQ_MESSAGE(29, "(Merge Request)"), ChunkLock::held);
    return StatusNoRoom;
  }
  int32_t status;
  while ((status = reserveInputs(merge)) == StatusNoRoom) {
    if (tqAtomGet(&mergeAtomic_) == 0) {  // nothing will give memory back
      treeInsert(run);
      merge->truncateInputs(0);
      merge->destroyLocked();
      setError(StatusNoRoom, TQ_MESSAGE(29, "(Merge Windows)"), ChunkLock::held);
      return StatusNoRoom;
    }
    status = waitForMemory(run->id);  // windows of a merge on the pool come back
    if (status != StatusOk) break;
  }
  if (status != StatusOk) {
    merge->destroyLocked();
    return status;
  }
  merge->countedReady = true;
  readMerge_ = merge;
  return StatusOk;
}

void TqSortVornImpl::mergeDuringInput() {
  // The metadata of the runs on disk grows with the input: when it fills half its
  // share of the budget, the smallest runs on disk are merged into one, on the pool
  // beside the chunk sorts, one merge at a time.  When there is no room for the merge
  // yet, the rows wait for the chunk sorts (a sorted chunk's buffer can go to disk);
  // when the metadata nears its share all the same, they wait for the merge.
  lockChunks();
  while (!aborted_) {
    bool sorting = sortsEnded_ != sortsSubmitted_ + sortsOnMain_;
    if (!inputMergeRunning_) {
      if (metaBytes_ * 2 < metaShare_) break;
      if (!startInputMerge() && !sorting) break;  // nothing to wait for
    }
    // Past three quarters of the share, the rows wait for the merge: what is left of
    // the share then is room for the next one.
    if (inputMergeRunning_ && metaBytes_ * 4 <= metaShare_ * 3) break;
    if (waitForMemory(0) != StatusOk) break;
  }
  unlockChunks();
}

bool TqSortVornImpl::startInputMerge() {
  // The smallest runs on disk, as many as fit, at most kInputMergeFanIn.  The merge's
  // windows come out of the budget like any others (runs in memory go to disk to make
  // room).
  ChunkDescriptor* runs[kInputMergeFanIn];
  uint32_t count = 0;
  for (ChunkDescriptor* c = treeFirst(); c != nullptr; c = treeNext(c)) {
    if (c->buffer != nullptr) continue;
    uint32_t at = count;
    while (at > 0 && runs[at - 1]->fileBytes > c->fileBytes) --at;
    if (at == kInputMergeFanIn) continue;
    uint32_t end = count < kInputMergeFanIn ? count : kInputMergeFanIn - 1;
    for (uint32_t k = end; k > at; --k) runs[k] = runs[k - 1];
    runs[at] = c;
    if (count < kInputMergeFanIn) ++count;
  }
  // Half of what the metadata's share has left may go to the merge: its output's
  // metadata comes only after its inputs are gone.
  uint64_t held = bytesInUse_ + metaReserve() / 2 - freeableBytes();
  uint64_t room = budgetBytes_ > held ? budgetBytes_ - held : 0;
  uint32_t fileRoom = fileLimit_ > filesInUse_ + 2 ? fileLimit_ - filesInUse_ - 2 : 0;
  uint64_t bytes = kMergeRequestBytes + windowSize_;
  uint32_t files = 1;
  uint32_t take = 0;
  while (take < count && bytes + readCost(runs[take]) <= room && files + 1 <= fileRoom) {
    bytes += readCost(runs[take++]);
    ++files;
  }
  if (take < 2) return false;
  for (uint32_t k = 0; k < take; ++k) treeDelete(runs[k]);
  if (submitPreMerge(runs, take, bytes, files, MergeTime::whileAdding) != StatusOk) {
    for (uint32_t k = 0; k < take; ++k) treeInsert(runs[k]);  // tried again at the next chunk
    return false;
  }
  inputMergeRunning_ = true;
  ++counters_.inputMerges;
  return true;
}

void TqSortVornImpl::inputMergeEnded() {
  lockChunks();
  inputMergeRunning_ = false;
  wakeBufferWaiter();  // rows may be waiting for it
  unlockChunks();
}

uint64_t TqSortVornImpl::readCost(const ChunkDescriptor* run, uint32_t window) const {
  return kRunReaderBytes + (run->buffer != nullptr ? 0 : windowFor(run, window));
}

uint32_t TqSortVornImpl::readWindowFor(ChunkDescriptor* const* inputs, uint32_t count) const {
  // A window of an eighth still reads a run in a few hundred sequential reads, where a
  // merge to disk first would write and read most of the group's rows once more.  A
  // window the host set is kept as set.
  if (requestedWindow_ != 0) return windowSize_;
  const uint32_t least = std::max<uint32_t>(windowSize_ / 8, kLeastReadWindow);
  const uint64_t held = bytesInUse_ - freeableBytes();
  const uint64_t room = budgetBytes_ > held ? budgetBytes_ - held : 0;
  for (uint32_t window = windowSize_;; window = std::max((window / 2) & ~15u, least)) {
    uint64_t bytes = kMergeRequestBytes;
    for (uint32_t i = 0; i < count; ++i) bytes += readCost(inputs[i], window);
    if (bytes <= room) return window;
    if (window <= least) return windowSize_;  // too many runs even so: merged first
  }
}

TqSortVornWorkMerge* TqSortVornImpl::createMergeRequest(TqSortVornImpl* engine, TqLogger* logger) {
  TqSortVornWorkMerge* merge = tqbNew<TqSortVornWorkMerge>(engine, logger);
  if (merge == nullptr) setError(StatusNoRoom, TQ_MESSAGE(29, "(Merge Request)"), ChunkLock::held);
  return merge;
}

// --- reading -------------------------------------------------------------------------------

int32_t TqSortVornImpl::nextRowFromChunk(bool* mark) {
  if (currentChunk_ == nullptr) return StatusEndOfData;
  const IndexEntry* entry = reinterpret_cast<const IndexEntry*>(currentChunk_->cursor);
  position_ = entry->rowOffset();
  readLimit_ = position_ + entry->rowLength;
  if (rowsLeft_ > 4) __builtin_prefetch(buffer_ + entry[4].keyOffset);
  int32_t status = readFields(mark);
  if (status != StatusOk) return status;  // a failed row is read again
  rowKey_ = buffer_ + entry->keyOffset;
  rowKeyLength_ = entry->keyLength;
  currentChunk_->cursor += sizeof(IndexEntry);
  return StatusOk;
}

int32_t TqSortVornImpl::nextRowFromMergeRequest(bool* mark) {
  uint8_t* row = nullptr;
  int32_t status = readMerge_->nextRow(&row);
  if (status == 0) {
    buffer_ = row;
    position_ = 0;
    readLimit_ = readMerge_->currentRowLength();
    rowKey_ = readMerge_->currentKey(&rowKeyLength_);  // grouping and tqDatafileSortKey
    return readFields(mark);
  }
  TQ_TRACE_SORT("TqSortVornImpl(0x%p)->nextRowFromMergeRequest(): Switching back to main reader.", this);
  buffer_ = nullptr;
  if (status != -1) {
    rowsLeft_ = 0;  // the next call asks for a source again and meets the recorded error
    rowReader_ = tqReadChunkRow;
    lockChunks();
    if (!readMerge_->countedReady) rowsReady_ += readMerge_->rowsServed;
    unlockChunks();
    readMerge_->destroy();
    readMerge_ = nullptr;
    sourcesReleased_ = true;
    adoptRecordedError();
    return status;
  }
  status = getNextChunk();
  if (status != StatusOk) return status;
  return rowReader_(*this, mark);
}

int32_t TqSortVornImpl::seek(int64_t position) {
  TQ_TRACE_CALL("TqSortVornImpl(0x%p)->seek(%I64i)", this, position);
  return seekSorted(position);
}

int32_t TqSortVornImpl::rewind() {
  // Only the first run or read merge can go back to its start, and a read merge only
  // before it consumed a row (it gives each run up as it is used up).
  if (sourcesReleased_) return fail(StatusIoError, 1426);
  if (currentChunk_ != nullptr && readMerge_ == nullptr) {
    currentChunk_->cursor = firstRowOf(currentChunk_);
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

}  // namespace tqlib
