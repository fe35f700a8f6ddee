// Sort and merge work items.
//
// Sorting a chunk moves only its index entries, by the key sort that every engine shares
// (core/keysort.h): an in-place radix on the key bytes, which reads the first 16 from
// the prefixes each entry keeps beside its offsets and reaches into the buffer only for
// bytes past them (long keys, or the same first 16 bytes), and finishes small or tied
// groups by comparing whole keys.  It checks once per group it sorts whether it should
// stop (an error recorded, or the pool stopping).  A sorted chunk's rows are then copied
// in key order into a spare buffer when the budget has one
// (TqSortVornImpl::gatherInKeyOrder).
//
// Merging: the streamed merge.  A merge request holds runs whose key ranges overlap;
// some are sorted chunks still in memory, the others run files on disk.  Each input
// gets a RunReader (sortvorn_runs.h): in memory it walks the chunk's rows in place, on
// disk it reads the file front to back through one window, so that an input costs a
// window of memory rather than a chunk buffer, and every run file is read once,
// sequentially.  A tournament tree picks the input whose current row has the smallest
// key; after that input moves on, log2(inputs) comparisons find the next one.  An
// input that is used up is given back at once: its file removed, its buffer or window
// freed.
//
// The request is used in one of two ways.  As the read merge it hands the reader one
// row at a time (nextRow): the merged rows are never written anywhere, which is how a
// sort larger than memory writes its data only once.  On the pool (work) it writes the
// merged rows to one new run file, which enters the tree as a single longer run; the
// merge pass does this only when a group of runs costs more windows or run files than
// the sort has, so that the next pass can read the group through one read merge, and
// the sort does it while rows come in when the runs' metadata nears its share of the
// memory.  Its windows (each as long as its run's longest record), its output's window
// and its run files were reserved before it was handed over, and go back when it ends.
#include "src/sortvorn_work.h"

#include <atomic>
#include <condition_variable>
#include <cstring>

#include "core/keysort.h"
#include "platform/tqballoc.h"
#include "src/trace.h"

namespace tqlib {

namespace {

constexpr int32_t kReaderWaiting = 0x40000000;
constexpr uint32_t kStopCheckRows = 256;  // rows merged between two stop tests
// Rows the last chunk has at least before the caller shares its sort with a pool thread
// (with a processor to spare): below, handing buckets over costs more than it saves.
constexpr uint32_t kSharedSortRows = 1u << 13;

inline int compareEntries(const uint8_t* buffer, const IndexEntry& a, const IndexEntry& b) {
  if (a.prefix[0] != b.prefix[0]) return a.prefix[0] < b.prefix[0] ? -1 : 1;
  if (a.prefix[1] != b.prefix[1]) return a.prefix[1] < b.prefix[1] ? -1 : 1;
  // Equal first 16 bytes: keys of one definition that long are either equal or differ
  // further on.
  if (a.keyLength <= 16 || b.keyLength <= 16) return (a.keyLength > b.keyLength) - (a.keyLength < b.keyLength);
  return tqCompareKeys(buffer + a.keyOffset + 16, a.keyLength - 16, buffer + b.keyOffset + 16, b.keyLength - 16);
}

}  // namespace

// --- sorting -------------------------------------------------------------------------------

TqSortVornWorkSort::TqSortVornWorkSort(TqSortVornImpl* engine, TqLogger* logger, ChunkDescriptor* chunk)
    : engine_(engine), logger_(logger), chunk_(chunk) {
  TQ_TRACE_SORT("TqSortVornWorkSort(0x%p)->TqSortVornWorkSort()", this);
}

TqSortVornWorkSort::~TqSortVornWorkSort() { TQ_TRACE_SORT("TqSortVornWorkSort(0x%p)->~TqSortVornWorkSort()", this); }

bool TqSortVornWorkSort::stopping(TqbThreadPoolWorker* worker) const {
  return engine_->aborted() || (worker != nullptr && worker->stopRequested());
}

void TqSortVornWorkSort::work(bool onMain, TqbThreadPoolWorker* worker) {
  TQ_TRACE_SORT("TqSortVornWorkSort(0x%p)->work(%s): 0x%p %I64u", this, onMain ? "true" : "false", chunk_,
                static_cast<uint64_t>(chunk_->id));
  uint32_t n = static_cast<uint32_t>(chunk_->rowCount);
  IndexEntry* entries = TqSortVornImpl::entryAt(chunk_, engine_->resolvedChunkSize() - sizeof(IndexEntry) * n);
  uint64_t sorted = 0;
  // The last chunk, sorted on the caller's thread: with a processor to spare, a pool
  // thread takes a share.
  const bool shared = onMain && n >= kSharedSortRows && engine_->sortThreads_ > 2;
  if (n < 2 || (shared ? sortShared(chunk_->buffer, entries, n)
                       : sortRange(worker, chunk_->buffer, entries, 0, n - 1))) {
    if (n >= 2) engine_->gatherInKeyOrder(chunk_, entries, n);
    if (engine_->insertChunk(chunk_, ChunkSource::sort, ChunkLock::notHeld)) engine_->writeAhead(onMain);
    sorted = n;
  }
  // A stopped sort leaves its chunk on the engine's list, which frees it when cleaned.
  engine_->sortEnded(sorted);
  if (worker != nullptr) worker->finished(true);
  tqbDelete(this);
}

void TqSortVornWorkSort::failure(bool cancelled) {
  TQ_TRACE_SORT("%s(0x%p)->failure(%s)", traceName(), this, cancelled ? "true" : "false");
  if (!cancelled) engine_->setError(TqDatafile::StatusNotAllowed, TQ_MESSAGE(1181), ChunkLock::notHeld);
  engine_->sortEnded(0);
  tqbDelete(this);
}

void TqSortVornWorkSort::destroy() { tqbDelete(this); }

namespace {

// The index entries of a chunk as the key sort sees them: the first 16 key bytes come
// from the entries' prefixes, the rest from the buffer.
class EntryKeys {
 public:
  EntryKeys(const TqSortVornWorkSort* item, TqbThreadPoolWorker* worker, const uint8_t* buffer,
            IndexEntry* entries)
      : item_(item), worker_(worker), buffer_(buffer), entries_(entries) {}
  uint64_t word(size_t i, uint32_t at) const {
    const IndexEntry& e = entries_[i];
    if (at < 16) return e.prefix[at / 8];
    if (e.keyLength <= at) return 0;
    uint8_t padded[8] = {};
    const uint32_t n = e.keyLength - at < 8 ? e.keyLength - at : 8;
    std::memcpy(padded, buffer_ + e.keyOffset + at, n);
    uint64_t v;
    std::memcpy(&v, padded, 8);
    return __builtin_bswap64(v);
  }
  bool longer(size_t i, uint32_t at) const { return entries_[i].keyLength > at; }
  bool less(size_t i, size_t j) const { return compareEntries(buffer_, entries_[i], entries_[j]) < 0; }
  void swap(size_t i, size_t j) { std::swap(entries_[i], entries_[j]); }
  bool stopping() const { return item_->stopping(worker_); }

 private:
  const TqSortVornWorkSort* item_;
  TqbThreadPoolWorker* worker_;
  const uint8_t* buffer_;
  IndexEntry* entries_;
};

// The upper buckets of a chunk split by splitKeys, sorted on a pool thread while the
// caller sorts the lower ones.  It lives in the caller's frame, which waits until the
// pool is done with it (ended), so unlike other items it never destroys itself.  Whoever
// claims it first sorts its buckets: the pool thread, or the caller once its own are
// sorted and the item has not started yet.
class BucketSort : public TqbThreadPoolWork {
 public:
  BucketSort(const TqSortVornWorkSort* item, uint8_t* buffer, IndexEntry* entries, uint32_t at,
             const uint32_t* ends, int first)
      : item_(item), buffer_(buffer), entries_(entries), at_(at), ends_(ends), first_(first) {}
  void work(bool onMain, TqbThreadPoolWorker* worker) override {
    (void)onMain;
    bool sorted = claim() ? sort(worker) : true;
    end(sorted);
  }
  void failure(bool cancelled) override {
    (void)cancelled;
    end(true);  // unclaimed: the caller sorts the buckets
  }
  void destroy() override { end(true); }
  // Sorts its buckets: on the pool thread, or on the caller's (no worker).
  bool sort(TqbThreadPoolWorker* worker) {
    EntryKeys keys(item_, worker, buffer_, entries_);
    return tqkey::sortBuckets(keys, 0, at_, ends_, first_, 256);
  }
  bool claim() { return !claimed_.exchange(true, std::memory_order_acq_rel); }
  // Waits until the pool is done with the item: false when the pool thread was stopped
  // before its buckets were sorted.
  bool ended() {
    TqStdLock lock(mutex_);
    while (!ended_) endedCv_.wait(lock.unique());
    return sorted_;
  }

 private:
  void end(bool sorted) {
    TqStdLock lock(mutex_);
    sorted_ = sorted;
    ended_ = true;
    endedCv_.notify_one();
  }

  const TqSortVornWorkSort* item_;
  uint8_t* buffer_;
  IndexEntry* entries_;
  uint32_t at_;
  const uint32_t* ends_;
  int first_;
  std::atomic<bool> claimed_{false};
  TqStdMutex mutex_;
  std::condition_variable endedCv_;
  bool ended_ TQ_GUARDED_BY(mutex_) = false;
  bool sorted_ TQ_GUARDED_BY(mutex_) = false;
};

}  // namespace

bool TqSortVornWorkSort::sortShared(uint8_t* buffer, IndexEntry* entries, uint32_t n) {
  EntryKeys keys(this, nullptr, buffer, entries);
  uint32_t at = 0;
  uint32_t ends[256];
  switch (tqkey::splitKeys(keys, 0, n, &at, ends)) {
    case tqkey::KeySplit::whole:
      return tqkey::quickSortKeys(keys, 0, n - 1);
    case tqkey::KeySplit::stopped:
      return false;
    case tqkey::KeySplit::buckets:
      break;
  }
  // The lower half: the buckets up to the one that holds the middle row.
  int half = 0;
  while (half < 255 && ends[half] < n / 2) ++half;
  ++half;
  if (half == 256) return tqkey::sortBuckets(keys, 0, at, ends, 0, 256);
  BucketSort upper(this, buffer, entries, at, ends, half);
  if (!engine_->threadPool_.enqueue(&upper, false)) {  // the caller sorts it all
    return tqkey::sortBuckets(keys, 0, at, ends, 0, 256);
  }
  engine_->lockChunks();
  ++engine_->counters_.sharedSorts;
  engine_->unlockChunks();
  bool sorted = tqkey::sortBuckets(keys, 0, at, ends, 0, half);
  if (upper.claim()) sorted = sorted && upper.sort(nullptr);
  return upper.ended() && sorted;
}

bool TqSortVornWorkSort::sortRange(TqbThreadPoolWorker* worker, uint8_t* buffer, IndexEntry* entries,
                                   uint32_t lo, uint32_t hi) {
  EntryKeys keys(this, worker, buffer, entries);
  if (tqkey::radixSortKeys(keys, lo, size_t{hi} + 1)) return true;
  TQ_TRACE_SORT("TqSortVornWorkSort(0x%p)->work() - stopping", this);
  return false;
}

// --- merging -------------------------------------------------------------------------------

TqSortVornWorkMerge::TqSortVornWorkMerge(TqSortVornImpl* engine, TqLogger* logger)
    : engine_(engine), logger_(logger) {
  TQ_TRACE_SORT("TqSortVornWorkMerge(0x%p)->TqSortVornWorkMerge()", this);
}

TqSortVornWorkMerge::~TqSortVornWorkMerge() {
  TQ_TRACE_SORT("TqSortVornWorkMerge(0x%p)->~TqSortVornWorkMerge()", this);
  giveBack();
}

void TqSortVornWorkMerge::giveBack() {
  // Inputs not used up go with the request: the sort was stopped or cleaned up.
  for (uint32_t k = 0; k < inputCount_; ++k) {
    if (readers_ != nullptr && readers_[k] != nullptr) tqbDelete(readers_[k]);
    if (inputs_[k] != nullptr) engine_->tossChunk(inputs_[k], destroyLock_);
  }
  inputCount_ = 0;
  tqbFree(readers_);
  readers_ = nullptr;
  tqbFree(inputs_);
  inputs_ = nullptr;
  engine_->releaseWindows(windowBytes, destroyLock_, files);
  windowBytes = 0;
  files = 0;
  engine_->releaseStage(stageBytes, destroyLock_);
  stageBytes = 0;
}

void TqSortVornWorkMerge::destroy() { tqbDelete(this); }

void TqSortVornWorkMerge::destroyLocked() {
  destroyLock_ = ChunkLock::held;
  tqbDelete(this);
}

bool TqSortVornWorkMerge::addChunk(ChunkDescriptor* chunk) {
  TQ_TRACE_SORT("%s(0x%p)->addChunk(0x%p) id: %I64u", traceName(), this, chunk, static_cast<uint64_t>(chunk->id));
  if (capacity_ < inputCount_ + 1) {
    void* grown = tqbRealloc(inputs_, (capacity_ + 10) * sizeof(ChunkDescriptor*));
    if (grown == nullptr) return false;
    inputs_ = static_cast<ChunkDescriptor**>(grown);
    capacity_ += 10;
  }
  inputs_[inputCount_++] = chunk;
  rowCount += chunk->rowCount;
  return true;
}

int32_t TqSortVornWorkMerge::openInputs() {
  opened_ = true;
  readers_ = static_cast<RunReader**>(tqbCalloc(inputCount_ > 0 ? inputCount_ : 1, sizeof(RunReader*)));
  if (readers_ == nullptr) {
    engine_->setError(TqDatafile::StatusNoRoom, TQ_MESSAGE(29, "(Merge Request)"), ChunkLock::notHeld);
    return TqDatafile::StatusNoRoom;
  }
  uint64_t stages = stageBytes / kStageBytes;  // reserved by the merge pass
  for (uint32_t k = 0; k < inputCount_; ++k) {
    readers_[k] = tqbNew<RunReader>();
    if (readers_[k] == nullptr) {
      engine_->setError(TqDatafile::StatusNoRoom, TQ_MESSAGE(29, "(Merge Request)"), ChunkLock::notHeld);
      return TqDatafile::StatusNoRoom;
    }
    ChunkDescriptor* run = inputs_[k];
    if (run->buffer != nullptr) {
      readers_[k]->openMemory(engine_, run, stageFor(run, &stages), kStageBytes);
    } else {
      const uint32_t bytes = TqSortVornImpl::windowFor(run, readWindow != 0 ? readWindow : engine_->windowSize());
      uint8_t* window = static_cast<uint8_t*>(tqbMalloc(bytes));
      if (window == nullptr) {
        engine_->setError(TqDatafile::StatusNoRoom, TQ_MESSAGE(29, "(Merge Window)"), ChunkLock::notHeld);
        return TqDatafile::StatusNoRoom;
      }
      int32_t status = readers_[k]->openStream(engine_, run, window, bytes);
      if (status != 0) return status;
    }
    int32_t status = readers_[k]->advance();
    if (status > 0) return status;
    if (status < 0) dropInput(k);
  }
  if (!tree_.build(readers_, inputCount_)) {
    engine_->setError(TqDatafile::StatusNoRoom, TQ_MESSAGE(29, "(Merge Request)"), ChunkLock::notHeld);
    return TqDatafile::StatusNoRoom;
  }
  return 0;
}

uint8_t* TqSortVornWorkMerge::stageFor(const ChunkDescriptor* run, uint64_t* stages) {
  if (*stages == 0 || !engine_->needsStage(run)) return nullptr;
  --*stages;
  // Without the memory the run is read in place: slower, not wrong.  Its share of the
  // budget goes back when the merge ends.
  uint8_t* stage = static_cast<uint8_t*>(tqbMalloc(kStageBytes));
  if (stage != nullptr) engine_->noteRunStaged();
  return stage;
}

void TqSortVornWorkMerge::dropInput(uint32_t index) {
  const bool staged = readers_[index]->staged();
  readers_[index]->close();
  if (staged && stageBytes >= kStageBytes) {
    engine_->releaseStage(kStageBytes, ChunkLock::notHeld);
    stageBytes -= kStageBytes;
  }
  ChunkDescriptor* run = inputs_[index];
  inputs_[index] = nullptr;
  if (run != nullptr) engine_->tossChunk(run, ChunkLock::notHeld);
}

void TqSortVornWorkMerge::releaseMergeCount() {
  if (tqAtomSub(engine_->mergeAtomic()) == kReaderWaiting) tqEventPost(engine_->mergeWaiter(), 0);
}

int32_t TqSortVornWorkMerge::nextRow(uint8_t** row) {
  if (!opened_) {
    int32_t status = openInputs();
    if (status != 0) return status;
  } else if (selected_) {
    // The row returned last is consumed now.
    selected_ = false;
    uint32_t w = tree_.winner();
    int32_t status = readers_[w]->advance();
    if (status > 0) return status;
    if (status < 0) dropInput(w);
    tree_.replay();
  }
  if (inputCount_ == 0) return -1;
  uint32_t w = tree_.winner();
  if (readers_[w]->exhausted()) return -1;
  selected_ = true;
  ++rowsServed;
  *row = const_cast<uint8_t*>(readers_[w]->row().row);
  return 0;
}

void TqSortVornWorkMerge::clearSelection() {
  if (selected_) --rowsServed;  // it is served again
  selected_ = false;
}

void TqSortVornWorkMerge::truncateInputs(uint32_t count) {
  for (uint32_t k = count; k < inputCount_; ++k) rowCount -= inputs_[k]->rowCount;
  if (count < inputCount_) inputCount_ = count;
}

uint32_t TqSortVornWorkMerge::currentRowLength() const {
  return selected_ ? readers_[tree_.winner()]->row().rowLength : 0;
}

void TqSortVornWorkMerge::work(bool onMain, TqbThreadPoolWorker* worker) {
  TQ_TRACE_SORT("%s(0x%p)->work(%s)", traceName(), this, onMain ? "true" : "false");
  onMain_ = onMain;
  destroyLock_ = onMain ? ChunkLock::held : ChunkLock::notHeld;
  mergeToRun(worker, destroyLock_);
  // Memory goes back before the waiting merge pass is woken: it plans with it.
  giveBack();
  if (whileAdding) engine_->inputMergeEnded();
  if (worker != nullptr) worker->finished(true);
  if (!onMain) releaseMergeCount();
  tqbDelete(this);
}

uint64_t TqSortVornWorkMerge::inputBytes() const {
  uint64_t bytes = 0;
  for (uint32_t i = 0; i < inputCount_; ++i) {
    bytes += inputs_[i]->tempFileName != nullptr ? inputs_[i]->fileBytes : engine_->resolvedChunkSize();
  }
  return bytes;
}

int32_t TqSortVornWorkMerge::mergeToRun(TqbThreadPoolWorker* worker, ChunkLock lock) {
  int32_t status = openInputs();
  if (status != 0) return status;
  char name[260];
  NpHandle file = 0;
  if ((status = engine_->createRunFile(name, &file, lock, inputBytes())) != 0) return status;
  uint8_t* window = static_cast<uint8_t*>(tqbMalloc(engine_->windowSize()));
  RunOutput out(engine_->fixedLayout(), file, window, engine_->windowSize());
  bool failed = window == nullptr;
  if (failed) engine_->setError(TqDatafile::StatusNoRoom, TQ_MESSAGE(29, "(Merge Window)"), lock);
  bool stopped = false;
  uint64_t rows = 0;
  while (!failed && inputCount_ > 0) {
    uint32_t w = tree_.winner();
    if (readers_[w]->exhausted()) break;
    if (++rows % kStopCheckRows == 0 && (engine_->aborted() || (worker != nullptr && worker->stopRequested()))) {
      TQ_TRACE_SORT("%s(0x%p)->work() - stopping", traceName(), this);
      stopped = true;
      break;
    }
    if (!out.put(readers_[w]->row())) {
      engine_->setError(TqDatafile::StatusSystemError, engine_->writeFailure(name, np_fio_syserr(file)), lock);
      failed = true;
      break;
    }
    status = readers_[w]->advance();
    if (status > 0) {
      failed = true;
      break;
    }
    if (status < 0) dropInput(w);
    tree_.replay();
    if (out.rows % kStopCheckRows == 0) engine_->countMerged(kStopCheckRows);
  }
  engine_->countMerged(out.rows % kStopCheckRows);
  if (!failed && !stopped && !out.writer.flush()) {
    engine_->setError(TqDatafile::StatusSystemError, engine_->writeFailure(name, np_fio_syserr(file)), lock);
    failed = true;
  }
  if (np_fio_close(file) != 0 && !failed && !stopped) {
    engine_->setError(TqDatafile::StatusSystemError, engine_->writeFailure(name, np_fio_syserr(0)), lock);
    failed = true;
  }
  tqbFree(window);
  engine_->countBytesWritten(out.writer.written(), lock);
  status = failed ? TqDatafile::StatusSystemError : (stopped ? TqDatafile::StatusStopped : 0);
  if (status != 0 || out.rows == 0) {
    np_fio_unlink(name);
    return status;
  }
  return enterRun(name, out, lock);
}

int32_t TqSortVornWorkMerge::enterRun(const char* name, const RunOutput& out, ChunkLock lock) {
  ChunkDescriptor* run = nullptr;
  bool named = false;
  {
    ChunkLockScope scope(engine_, lock);
    run = engine_->allocateRun();
    named = run != nullptr && engine_->keepName(run, name);
    if (run != nullptr && !named) {
      engine_->setError(TqDatafile::StatusNoRoom, TQ_MESSAGE(29, "(Chunk Filename)"), ChunkLock::held);
    }
  }
  if (!named) {
    np_fio_unlink(name);
    if (run != nullptr) engine_->tossChunk(run, lock);
    return TqDatafile::StatusNoRoom;
  }
  run->fileBytes = out.writer.written();
  run->maxRecord = out.writer.longest();
  run->rowCount = out.rows;
  RowRef first{out.low, out.lowLength, nullptr, 0}, last{out.high, out.highLength, nullptr, 0};
  // The file belongs to the run from here on, also when it cannot enter the tree.
  if (!engine_->enterTree(run, ChunkSource::merge, lock, first, last)) return TqDatafile::StatusNoRoom;
  return 0;
}

bool TqSortVornWorkMerge::RunOutput::put(const RowRef& r) {
  // The key shares with the one before what the copy of that key (`high`, its first
  // kKeyCopyBytes) holds of it: all of keys of the usual lengths, and of longer ones
  // their first kKeyCopyBytes, so that the merge keeps no key of its own.
  uint32_t shared = 0;
  if (rows > 0 && !fixedLayout) {
    shared = tqSharedPrefix(high, highLength < kKeyCopyBytes ? highLength : kKeyCopyBytes, r.key, r.keyLength);
  }
  if (!writer.put(r, shared)) return false;
  // The run keeps copies of its first and last keys, cut to what the tree holds.
  uint32_t copy = r.keyLength < kKeyCopyBytes ? r.keyLength : kKeyCopyBytes;
  if (rows == 0) {
    std::memcpy(low, r.key, copy);
    lowLength = r.keyLength;
  }
  std::memcpy(high + shared, r.key + shared, copy - shared);
  highLength = r.keyLength;
  ++rows;
  return true;
}

void TqSortVornWorkMerge::failure(bool cancelled) {
  TQ_TRACE_SORT("%s(0x%p)->failure(%s)", traceName(), this, cancelled ? "true" : "false");
  if (!cancelled) engine_->setError(TqDatafile::StatusNotAllowed, TQ_MESSAGE(1181), ChunkLock::notHeld);
  giveBack();
  if (whileAdding) engine_->inputMergeEnded();
  releaseMergeCount();
  tqbDelete(this);
}

}  // namespace tqlib
