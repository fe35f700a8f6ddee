// The output side: planning the merge, merging passes when the runs are too many for
// the memory, and filling output chunks from the tournament (see xsort.cc).
#include <algorithm>
#include <cinttypes>
#include <new>

#include "platform/tqballoc.h"
#include "xsort/xsort_internal.h"

namespace tqxsort {

namespace {

constexpr uint32_t kOutChunkMagic = 0x6f75636b;
constexpr size_t kOutChunkHeader = (sizeof(OutChunk) + 15) & ~size_t{15};

// Bytes of an output chunk: header, marks, rows.
size_t outChunkBytes(uint32_t rows, uint32_t rowLength, bool marks) {
  return kOutChunkHeader + (marks ? (size_t{rows} + 15) / 16 * 16 : 0) + size_t{rows} * rowLength;
}

}  // namespace

// A read buffer size for each of `count` runs out of `available` bytes of budget.
uint32_t Engine::ioBufferFor(uint64_t available, uint32_t count) const {
  uint64_t each = count > 0 ? available / count : available;
  each = each > 4096 + 32 ? (each - 4096 - 32) / 4096 * 4096 : 0;
  return static_cast<uint32_t>(std::min<uint64_t>(each, kMaxIoBuffer));
}

// Merges `count` runs from `first` of fileRuns_ into one new run, written by `writer`
// at the end of its work file (in a new one with Start::newFile); caller's thread.  None of the
// runs may lie in the writer's file: readers and the writer share a file's handle.
bool Engine::mergeToFile(uint32_t first, uint32_t count, uint32_t bufferSize, RunWriter* writer, RunWriter::Start where,
                         ErrorText* error) {
  bool ok = true;
  uint64_t charge = chargeFor(sizeof(Source) * count) + chargeFor(sizeof(RunReader) * count);
  if (!tryCharge(charge)) {
    error->setNoRoom("The memory size (%" PRIu64 " bytes) is too small to merge %u runs.", limit_, count);
    return false;
  }
  Source* sources = static_cast<Source*>(tqbMalloc(sizeof(Source) * count));
  RunReader* readers = static_cast<RunReader*>(tqbMalloc(sizeof(RunReader) * count));
  uint32_t made = 0;
  if (sources == nullptr || readers == nullptr) {
    error->setNoRoom("Out of memory (merge of %u runs).", count);
    ok = false;
  }
  LoserTree tree;
  for (uint32_t i = 0; ok && i < count; ++i) {
    new (&readers[i]) RunReader();
    new (&sources[i]) Source();
    ++made;
    sources[i].reader = &readers[i];
    ok = readers[i].init(this, fileRuns_[first + i], bufferSize, error) &&
         advanceSource(&sources[i], shape_, params_.outputLength, error);
  }
  uint64_t rows = 0;
  for (uint32_t i = 0; i < count; ++i) rows += fileRuns_[first + i].rows;
  {
    TqStdLock guard(mutex_);
    stats_.rowsPlannedEarly += rows;
  }
  ok = ok && writer->begin(where, error) && tree.init(this, sources, count, error);
  uint64_t written = 0;
  while (ok && !tree.empty()) {
    ok = writer->put(tree.top(), error) && tree.pop(error);
    if (++written % 1024 == 0) {
      {
        TqStdLock guard(mutex_);
        stats_.rowsMergedEarly += 1024;
      }
      if (!reportProgress(false)) ok = false;  // stopped: the failure is recorded
    }
  }
  {
    TqStdLock guard(mutex_);
    stats_.rowsMergedEarly += written % 1024;
  }
  FileRun run = {};
  ok = ok && writer->finish(&run, error);
  tree.release();
  for (uint32_t i = 0; i < made; ++i) readers[i].~RunReader();
  tqbFree(readers);
  tqbFree(sources);
  uncharge(charge);
  if (!ok) return false;
  // The merged runs leave the list (their files close when no run is left in them);
  // the new run joins it.
  for (uint32_t i = count; i-- > 0;) dropFileRun(first + i);
  if (!addFileRun(run, error)) return false;
  TqStdLock guard(mutex_);
  ++stats_.intermediateRuns;
  return true;
}

// Removes a run from the list; a file whose runs are all merged away is closed.
void Engine::dropFileRun(uint32_t index) {
  WorkFile* file = nullptr;
  {
    TqStdLock guard(mutex_);
    WorkFile* f = fileRuns_[index].file;
    fileRuns_[index] = fileRuns_[--fileRunCount_];
    if (--f->liveRuns == 0) {
      WorkFile** link = &files_;
      while (*link != f) link = &(*link)->next;
      *link = f->next;
      file = f;
    }
  }
  if (file != nullptr) {
    np_fio_close(file->handle);
    if (!file->unlinked) np_fio_unlink(file->name);
    tqbDelete(file);
    uncharge(kWorkFileCharge);
  }
}

// Budget the final merge takes beyond its read buffers: its tables and the copy of
// the previous row's key (when marking groups or dropping duplicates).
uint64_t Engine::mergeOverhead(uint32_t sources, uint32_t runs, uint32_t keyRoom) const {
  return chargeFor(sizeof(Source) * (sources + 1)) + chargeFor(sizeof(RunReader) * (runs + 1)) +
         chargeFor(sizeof(tqmerge::LoserTree<MergeSources>::Node) * (sources + 1)) +
         (keyRoom > 0 ? chargeFor(keyRoom) : 0);
}

// Waits until no batch is queued, being sorted or being written (caller's thread);
// false when the sort failed.  From here on the caller's thread alone touches the runs
// and their files, until endMerge.  A spill wanted but not begun waits for that end.
bool Engine::quiesce() {
  TqStdLock lock(mutex_);
  if (state_ == WorkState::Sorting) state_ = WorkState::Merging;
  if (state_ == WorkState::SpillWanted) state_ = WorkState::MergingSpillWanted;
  if (state_ == WorkState::Spilling) state_ = WorkState::MergeAwaitsSpill;
  while ((inFlight_ > 0 || spillUnderWay()) && !failed_) {
    if (!progressWait(lock)) return false;
  }
  return !failed_;
}

// The longest record of the runs, and how many runs lie in memory (sorted batches).
void Engine::runShape(uint32_t* memoryRuns, uint32_t* maxRecord) const {
  *memoryRuns = 0;
  *maxRecord = 0;
  for (Batch* b = sorted_; b != nullptr; b = b->next) {
    ++*memoryRuns;
    *maxRecord = std::max(*maxRecord, b->maxRecord);
  }
  for (uint32_t i = 0; i < fileRunCount_; ++i) *maxRecord = std::max(*maxRecord, fileRuns_[i].maxRecord);
}

// Writes the sorted batches in memory as one run; their room pays for read buffers.
bool Engine::spillSorted(ErrorText* error) {
  Batch* batches = sorted_;
  sorted_ = nullptr;
  {
    TqStdLock guard(mutex_);
    sortedBytes_ = 0;
  }
  if (!tryCharge(chargeFor(writerSize_) + kWorkFileCharge)) {
    sorted_ = batches;
    error->setNoRoom("The memory size (%" PRIu64 " bytes) is too small to merge the runs.", limit_);
    return false;
  }
  RunWriter spill;
  spill.setup(this, writerSize_, chargeFor(writerSize_), true);
  bool ok = spillBatches(&spill, batches, error);  // frees the batches
  spill.release();
  return ok;
}

// Merges runs in files before the last merge until at most `target` are left, or,
// with kFinalTarget, until the final merge can read them all at once (its output
// chunks, tables and the previous row's key beside).  Caller's thread, the sorting
// threads idle.  `keyRoom` receives the room the final merge keeps for a key.
bool Engine::reduceRuns(uint32_t target, uint32_t* keyRoom, ErrorText* error) {
  const bool final = target == kFinalTarget;
  const uint64_t outCharge =
      final ? 2 * chargeFor(outChunkBytes(outputRows_, params_.outputLength, params_.markGroups)) : 0;
  const bool track = final && (params_.markGroups || params_.dropDuplicates);
  RunWriter passWriter;  // writes the runs of the merge passes
  for (;;) {
    uint32_t memoryRuns = 0, maxRecord = 0;
    runShape(&memoryRuns, &maxRecord);
    const uint32_t runs = fileRunCount_;
    *keyRoom = track ? std::max<uint32_t>(maxRecord, 64) : 0;
    uint64_t used;
    {
      TqStdLock guard(mutex_);
      used = used_;
    }
    uint64_t taken = used + outCharge + mergeOverhead(runs + memoryRuns, runs, *keyRoom) + headroom_;
    uint64_t available = limit_ > taken ? limit_ - taken : 0;
    uint32_t minBuffer = std::max<uint32_t>(kMinIoBuffer, (2 * maxRecord + 4095) / 4096 * 4096);
    if (runs == 0 || (final ? ioBufferFor(available, runs) >= minBuffer : runs <= target)) return true;
    // A pass needs, besides its read buffers, a writer, a new work file and the tables
    // of its own runs only: not the final merge's output chunks and tables.  A reader
    // of `minBuffer` bytes costs what ioBufferFor() leaves aside for it.
    const uint64_t perReader = minBuffer + 4096 + 32;
    const uint64_t perPassRun = perReader + sizeof(Source) + sizeof(RunReader);
    const uint64_t passCosts = chargeFor(writerSize_) + kWorkFileCharge + 3 * chargeFor(4096) + headroom_;
    const uint64_t forPass = limit_ > used + passCosts ? limit_ - used - passCosts : 0;
    uint32_t group = static_cast<uint32_t>(std::min<uint64_t>(
        forPass / perPassRun, std::min<uint32_t>(runs, 4096 / sizeof(RunReader))));
    if (sorted_ != nullptr && (final || group < 2)) {
      // The batches in memory go to disk first: they hold the room the reading needs.
      if (!spillSorted(error)) return false;
      continue;
    }
    if (group < 2) {
      error->setNoRoom("The memory size (%" PRIu64 " bytes) is too small to merge %u runs of records "
                       "up to %u bytes.", limit_, runs, maxRecord);
      return false;
    }
    // Runs the final merge can read at once, its tables and output chunks counted.
    uint32_t fit = final ? std::max<uint32_t>(1, runs - 1) : target;
    while (final && fit > 1 && used + outCharge + mergeOverhead(fit + memoryRuns, fit, *keyRoom) + headroom_ +
                                    uint64_t{fit} * perReader > limit_) {
      fit = fit > 64 ? fit - fit / 8 : fit - 1;
    }
    if (!mergeRound(fit, group, minBuffer, uint64_t{group} * perReader, &passWriter, error)) return false;
  }
}

// One round of merges before the last: the shortest runs merged in groups of at most
// `group`, as few groups as bring the count down to `fit`.  The passes write their runs
// one after the other into one work file per level: a level merges runs of the files
// before it, shortest first; when fewer than two of those are left, the next level
// starts a new file.  So the open work files stay few, and no merge reads the file it
// writes.
bool Engine::mergeRound(uint32_t fit, uint32_t group, uint32_t minBuffer, uint64_t forReaders,
                        RunWriter* passWriter, ErrorText* error) {
  {
    TqStdLock guard(mutex_);
    ++stats_.mergePasses;
  }
  if (!passWriter->ready()) {
    if (!tryCharge(chargeFor(writerSize_) + kWorkFileCharge)) {
      error->setNoRoom("The memory size (%" PRIu64 " bytes) is too small for a merge pass.", limit_);
      return false;
    }
    passWriter->setup(this, writerSize_, chargeFor(writerSize_), true);
  }
  bool ok = true;
  bool freshLevel = passWriter->file() == nullptr;
  while (ok && fileRunCount_ > fit) {
    const WorkFile* writing = freshLevel ? nullptr : passWriter->file();
    std::sort(fileRuns_, fileRuns_ + fileRunCount_, [writing](const FileRun& a, const FileRun& b) {
      const bool aNew = a.file == writing, bNew = b.file == writing;
      return aNew != bNew ? bNew : a.bytes < b.bytes;
    });
    uint32_t older = 0;
    while (older < fileRunCount_ && fileRuns_[older].file != writing) ++older;
    if (older < 2) {
      freshLevel = true;  // every run is of this level: the next one begins
      continue;
    }
    uint32_t n = std::min({group, fileRunCount_ - fit + 1, older});
    const RunWriter::Start where = freshLevel ? RunWriter::Start::newFile : RunWriter::Start::sameFile;
    ok = mergeToFile(0, n, std::max(ioBufferFor(forReaders, n), minBuffer), passWriter, where, error);
    freshLevel = false;
  }
  passWriter->release();  // its buffer goes back before the next plan
  return ok;
}

// While rows come in: when the list of runs in files reaches its share of the memory,
// the input waits while the sorting threads finish what they hold, and the caller's
// thread merges the shortest runs into longer ones until half the share is left (the
// threads' sort buffers go back to the budget meanwhile).  So no input is too large for
// the memory: the list never outgrows its share.
bool Engine::compactRuns() {
  {
    TqStdLock guard(mutex_);
    if (fileRunCount_ < runListShare_) return true;
  }
  ErrorText error;
  bool ok = quiesce();
  if (ok) {
    for (uint32_t i = 0; i < workerCount_; ++i) {
      workers_[i].releaseSort();
      workers_[i].writer.detach();  // the merges may close the file it wrote
    }
    uint32_t keyRoom = 0;
    ok = reduceRuns(runListShare_ / 2, &keyRoom, &error);
    for (uint32_t i = 0; ok && i < workerCount_; ++i) {
      // The sort buffers' budget comes back (the buffers themselves are made as needed),
      // and with it the charge of the work file the thread's next spill starts: taken
      // now, while the batches hold little, not by the spill, when the memory may be
      // full of them.
      const bool fileCharge = !workers_[i].writer.nextFilePaid();
      if (tryCharge(sortCharge_ + tailCharge_ + (fileCharge ? kWorkFileCharge : 0))) {
        workers_[i].sortCharged = sortCharge_;
        workers_[i].tailCharged = tailCharge_;
        if (fileCharge) workers_[i].writer.payNextFile();
      } else {
        error.setNoRoom("The memory size (%" PRIu64 " bytes) is too small for the sorting threads' buffers.",
                        limit_);
        ok = false;
      }
    }
    if (ok) {
      TqStdLock guard(mutex_);
      ++stats_.inputCompactions;
    }
  }
  endMerge();
  if (!ok && !error.empty()) fail(error);
  return ok;
}

// The threads may write sorted batches again: a spill wanted meanwhile is wanted now.  A
// spill that quiesce gave up waiting for (the sort failed) goes on.
void Engine::endMerge() {
  TqStdLock guard(mutex_);
  if (state_ == WorkState::MergeAwaitsSpill) state_ = WorkState::Spilling;
  if (state_ == WorkState::Merging) state_ = WorkState::Sorting;
  // Begun when a thread next looks for work (as a spill asked for in the meantime).
  if (state_ == WorkState::MergingSpillWanted) state_ = WorkState::SpillWanted;
}

// Waits for the sorting threads, then plans and opens the final merge.
bool Engine::finish() {
  ErrorText error;
  if (!quiesce()) return false;
  // The threads are idle for good: their buffers go back to the budget.
  for (uint32_t i = 0; i < workerCount_; ++i) {
    workers_[i].writer.release();
    workers_[i].encoder.release();
    workers_[i].releaseSort();
  }
  uint32_t keyRoom = 0;
  if (!reduceRuns(kFinalTarget, &keyRoom, &error)) {
    fail(error);
    return false;
  }
  return openFinalMerge(keyRoom);
}

// Opens the final merge: the batches in memory and the runs in files.
bool Engine::openFinalMerge(uint32_t keyRoom) {
  ErrorText error;
  const uint64_t outCharge =
      2 * chargeFor(outChunkBytes(outputRows_, params_.outputLength, params_.markGroups));
  uint32_t memoryRuns = 0;
  for (Batch* b = sorted_; b != nullptr; b = b->next) ++memoryRuns;
  const uint32_t runs = fileRunCount_;
  const uint32_t count = memoryRuns + runs;
  uint64_t used;
  {
    TqStdLock guard(mutex_);
    used = used_;
    stats_.memoryRunsMerged = memoryRuns;
    if (count > 1 || runs > 0) ++stats_.mergePasses;
  }
  uint64_t taken = used + outCharge + mergeOverhead(count, runs, keyRoom) + headroom_;
  uint64_t available = limit_ > taken ? limit_ - taken : 0;
  const uint32_t bufferSize = std::max(ioBufferFor(available, runs), kMinIoBuffer);

  uint64_t charge = chargeFor(sizeof(Source) * (count + 1)) + chargeFor(sizeof(RunReader) * (runs + 1));
  if (!tryCharge(charge)) {
    error.setNoRoom("The memory size (%" PRIu64 " bytes) is too small to merge %u runs.", limit_, count);
    fail(error);
    return false;
  }
  sources_ = static_cast<Source*>(tqbMalloc(sizeof(Source) * (count + 1)));
  readers_ = static_cast<RunReader*>(tqbMalloc(sizeof(RunReader) * (runs + 1)));
  if (sources_ == nullptr || readers_ == nullptr) {
    error.setNoRoom("Out of memory (merge of %u runs).", count);
    fail(error);
    return false;
  }
  if (keyRoom > 0) {
    if (!tryCharge(chargeFor(keyRoom))) {
      error.setNoRoom("The memory size (%" PRIu64 " bytes) is too small for a key of %u bytes.", limit_,
                keyRoom);
      fail(error);
      return false;
    }
    lastKey_ = static_cast<uint8_t*>(tqbMalloc(keyRoom));
    if (lastKey_ == nullptr) {
      error.setNoRoom("Out of memory (the previous row's key, %u bytes).", keyRoom);
      fail(error);
      return false;
    }
    lastKeyRoom_ = keyRoom;
  }
  uint32_t k = 0;
  for (Batch* b = sorted_; b != nullptr; b = b->next) {
    Source* s = new (&sources_[k++]) Source();
    s->at = b->run;
    s->end = b->run + b->runBytes;
  }
  for (uint32_t i = 0; i < runs; ++i) {
    new (&readers_[i]) RunReader();
    ++readerCount_;
    Source* s = new (&sources_[k++]) Source();
    s->reader = &readers_[i];
    if (!readers_[i].init(this, fileRuns_[i], bufferSize, &error)) {
      fail(error);
      return false;
    }
  }
  for (uint32_t i = 0; i < count; ++i) {
    if (!advanceSource(&sources_[i], shape_, params_.outputLength, &error)) {
      fail(error);
      return false;
    }
  }
  if (!tree_.init(this, sources_, count, &error)) {
    fail(error);
    return false;
  }
  return true;
}

// --- progress ------------------------------------------------------------------------

int Engine::setProgress(void* progressBlock) {
  const TqSortProgressBlock* block = static_cast<const TqSortProgressBlock*>(progressBlock);
  progress_ = block != nullptr && block->function != nullptr ? block : nullptr;
  callerError_.clear();
  return 0;
}

void Engine::progressFigures(uint64_t* done, uint64_t* total) {
  TqStdLock guard(mutex_);
  // Rows dropped as duplicates are done when the merge passes them; when the output
  // has ended, every row is.
  uint64_t handedOut = outputDone_ ? rowsIn_ : std::min(rowsIn_, rowsOut_ + duplicates_);
  *total = 2 * rowsIn_ + stats_.rowsPlannedEarly;
  *done = std::min(*total, std::min(rowsIn_, stats_.rowsSorted) + stats_.rowsMergedEarly + handedOut);
}

int Engine::getProgress(uint64_t* done, uint64_t* total) {
  if (done == nullptr || total == nullptr) {
    callerError_.set("getProgress needs the addresses of two counts.");
    return 1;
  }
  progressFigures(done, total);
  callerError_.clear();
  return 0;
}

bool Engine::reportProgress(bool now) {
  if (progress_ == nullptr || !inputEnded_ || failed()) return !failed();
  auto time = std::chrono::steady_clock::now();
  if (!now && time - lastProgress_ < kProgressEvery) return true;
  lastProgress_ = time;
  uint64_t done = 0, total = 0;
  progressFigures(&done, &total);
  if (progress_->function(const_cast<TqSortProgressBlock*>(progress_), done, total) == 0) return true;
  ErrorText e;
  e.set("The sort was stopped by its progress callback.");
  e.setCode(TQ_SORT_FAILED_STOPPED);
  fail(e);
  return false;
}

bool Engine::progressWait(TqStdLock& lock) {
  doneCv_.wait_for(lock.unique(), kProgressEvery);
  if (failed_) return false;
  lock.unlockFor(mutex_);
  bool going = reportProgress(false);
  lock.lockFor(mutex_);
  return going;
}

// Fills an output chunk from the tournament (caller's thread).
bool Engine::fillChunk(OutChunk* chunk, ErrorText* error) {
  const uint32_t rowLength = params_.outputLength;
  const bool marking = params_.markGroups;
  const bool dropping = params_.dropDuplicates;
  const bool track = marking || dropping;
  uint8_t* rows = static_cast<uint8_t*>(chunk->pub.rows);
  uint8_t* marks = chunk->pub.marks;
  // Groups compare the key without its tie-breaking bytes (parameter 10).
  auto groupOf = [this](const Cur& cur) { return cur.length > params_.tieBytes ? cur.length - params_.tieBytes : 0; };
  auto startsGroup = [&](const Cur& cur) {
    if (!haveLastKey_) return true;
    const uint32_t group = groupOf(cur);
    const uint64_t mask = group >= 8 ? ~uint64_t{0} : group == 0 ? 0 : ~uint64_t{0} << (64 - 8 * group);
    const uint32_t tail = group > 8 ? group - 8 : 0;
    return ((cur.prefix ^ lastKeyPrefix_) & mask) != 0 || group != lastKeyLength_ ||
           (tail > 0 && std::memcmp(cur.tail, lastKey_, tail) != 0);
  };
  uint32_t n = 0;
  while (n < chunk->capacity && !tree_.empty()) {
    const Cur& cur = tree_.top();
    const uint32_t group = groupOf(cur);
    const bool isNew = !track || startsGroup(cur);
    if (!isNew && dropping) {
      ++duplicates_;
      if (!tree_.pop(error)) return false;
      continue;
    }
    std::memcpy(rows + size_t{n} * rowLength, cur.row, rowLength);
    if (marks != nullptr) marks[n] = isNew ? 1 : 0;
    if (track && isNew) {
      const uint32_t tail = group > 8 ? group - 8 : 0;
      if (tail > lastKeyRoom_) {
        uint64_t room = std::max<uint64_t>(tail, 2ull * lastKeyRoom_);
        uint64_t charge = chargeFor(room) - (lastKeyRoom_ > 0 ? chargeFor(lastKeyRoom_) : 0);
        void* grown = nullptr;
        if (tryCharge(charge)) {
          grown = tqbRealloc(lastKey_, room);
          if (grown == nullptr) uncharge(charge);
        }
        if (grown == nullptr) {
          error->setNoRoom("Out of memory (the previous row's key, %u bytes).", tail);
          return false;
        }
        lastKey_ = static_cast<uint8_t*>(grown);
        lastKeyRoom_ = static_cast<uint32_t>(room);
      }
      if (tail > 0) std::memcpy(lastKey_, cur.tail, tail);
      lastKeyPrefix_ = cur.prefix;
      lastKeyLength_ = group;
      haveLastKey_ = true;
    }
    ++n;
    if (!tree_.pop(error)) return false;
  }
  // Duplicates of the chunk's last row that are all that is left would be dropped from
  // the next chunk, which would then be empty: drop them now, so that the chunk with
  // the last row is the last chunk.
  while (dropping && !tree_.empty() && !startsGroup(tree_.top())) {
    ++duplicates_;
    if (!tree_.pop(error)) return false;
  }
  chunk->pub.rowCount = n;
  chunk->pub.state = tree_.empty() ? TQ_SORT_CHUNK_LAST : TQ_SORT_CHUNK_NORMAL;
  rowsOut_ += n;
  return true;
}

int Engine::getOutputChunk(TqSortOutputChunk** chunk) {
  if (chunk == nullptr) {
    callerError_.set("getOutputChunk needs the address of a chunk pointer.");
    return 1;
  }
  *chunk = nullptr;
  if (inputAbandoned_ || failed()) return callerFailure();
  if (!prepared_ || !inputEnded_) {
    callerError_.set("The input has not ended: output comes after the last input chunk.");
    return 1;
  }
  if (outputDone_) {
    callerError_.set("Every output chunk was delivered already.");
    return 1;
  }
  if (outChunksOut_ >= 2) {
    callerError_.set("Two output chunks are held: release one before asking for another.");
    return 1;
  }
  if (!outputStarted_) {
    outputStarted_ = true;
    if (!reportProgress(true) || !finish() || !reportProgress(true)) return callerFailure();
  }
  OutChunk* c = outChunks_;
  while (c != nullptr && c->out) c = c->next;
  if (c == nullptr) {
    size_t bytes = outChunkBytes(outputRows_, params_.outputLength, params_.markGroups);
    uint64_t charge = chargeFor(bytes);
    ErrorText e;
    if (!tryCharge(charge)) {
      e.setNoRoom("The memory size (%" PRIu64 " bytes) leaves no room for an output chunk.", limit_);
      fail(e);
      return callerFailure();
    }
    c = static_cast<OutChunk*>(tqbMalloc(bytes));
    if (c == nullptr) {
      uncharge(charge);
      e.setNoRoom("Out of memory (sort output chunk, %zu bytes).", bytes);
      fail(e);
      return callerFailure();
    }
    std::memset(c, 0, sizeof(OutChunk));
    c->magic = kOutChunkMagic;
    c->capacity = outputRows_;
    c->charged = charge;
    uint8_t* data = reinterpret_cast<uint8_t*>(c) + kOutChunkHeader;
    c->pub.recordLength = params_.outputLength;
    if (params_.markGroups) {
      c->pub.marks = data;
      data += (size_t{outputRows_} + 15) / 16 * 16;
    }
    c->pub.rows = data;
    c->next = outChunks_;
    outChunks_ = c;
  }
  ErrorText error;
  if (!fillChunk(c, &error)) {
    fail(error);
    return callerFailure();
  }
  c->out = true;
  ++outChunksOut_;
  if (c->pub.state == TQ_SORT_CHUNK_LAST) outputDone_ = true;
  *chunk = &c->pub;
  callerError_.clear();
  return 0;
}

int Engine::releaseOutputChunk(TqSortOutputChunk* chunk) {
  OutChunk* c = outChunks_;
  while (c != nullptr && &c->pub != chunk) c = c->next;
  if (chunk == nullptr || c == nullptr || c->magic != kOutChunkMagic || !c->out) {
    callerError_.set("releaseOutputChunk was given a chunk that is not out.");
    return 1;
  }
  c->out = false;
  --outChunksOut_;
  callerError_.clear();
  return 0;
}

}  // namespace tqxsort
