// The input side of the external sort engine and its sorting threads: the budget, the
// input chunk and the batches, sorting a batch and laying it out as a run, writing
// runs to work files (xsort.cc tells how the whole fits together).
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "platform/tqballoc.h"
#include "xsort/xsort_internal.h"

namespace tqxsort {

// --- budget and failures -----------------------------------------------------------------

bool Engine::tryCharge(uint64_t bytes) {
  TqStdLock guard(mutex_);
  if (used_ + bytes + headroom_ > limit_) return false;
  used_ += bytes;
  peak_ = std::max(peak_, used_);
  return true;
}

bool Engine::tryChargeGrowth(uint64_t bytes) {
  TqStdLock guard(mutex_);
  if (used_ + bytes > limit_) return false;
  used_ += bytes;
  peak_ = std::max(peak_, used_);
  return true;
}

void Engine::uncharge(uint64_t bytes) {
  {
    TqStdLock guard(mutex_);
    used_ -= bytes;
    ++releases_;
  }
  doneCv_.notify_all();
}

uint64_t Engine::releases() {
  TqStdLock guard(mutex_);
  return releases_;
}

bool Engine::waitForReleasedRoom(uint64_t releasesSeen) {
  TqStdLock lock(mutex_);
  ++roomWaiters_;
  bool again = false;
  for (;;) {
    if (failed_) break;
    if (releases_ != releasesSeen) {
      again = true;
      break;
    }
    // The sorted batches can give their memory: ask an idle thread to write them.
    const bool idleThread = sorting_ < workerCount_;
    if (sorted_ != nullptr && state_ == WorkState::Sorting && idleThread) {
      spillMode_ = true;
      requestSpill();
    }
    const bool spillAsked = state_ == WorkState::SpillWanted || state_ == WorkState::MergingSpillWanted;
    const bool othersWork =
        sorting_ > roomWaiters_ || spillUnderWay() || (spillAsked && idleThread && sorted_ != nullptr);
    if (!othersWork) break;
    doneCv_.wait(lock.unique());
  }
  --roomWaiters_;
  return again;
}

void Engine::fail(const ErrorText& error) {
  {
    TqStdLock guard(mutex_);
    if (!failed_) {
      failed_ = true;
      sortError_.copy(error);
    }
  }
  doneCv_.notify_all();
  workCv_.notify_all();
}

bool Engine::failed() {
  TqStdLock guard(mutex_);
  return failed_;
}

int Engine::callerFailure() {
  TqStdLock guard(mutex_);
  if (failed_) {
    callerError_.copy(sortError_);
  } else {
    callerError_.copy("The sort failed.");
  }
  if (input_ != nullptr) input_->error.copy(callerError_);
  return callerError_.code();
}

// Waits until `bytes` can be charged (caller's thread, engine lock held).  Room comes
// first from batches being sorted (a sorted batch gives back its rows, keeping only
// its run), then from the sorted batches, which a sorting thread merges into a run in
// a work file; when nothing is sorted, being sorted or being written, nothing will
// give any.
bool Engine::waitForRoom(uint64_t bytes, TqStdLock& lock) {
  for (;;) {
    if (failed_) return false;
    if (used_ + bytes + headroom_ <= limit_) {
      used_ += bytes;
      peak_ = std::max(peak_, used_);
      return true;
    }
    spillMode_ = true;
    const bool sortsComing = inFlight_ > 0 && sortedBytes_ < spillThreshold_;
    if (!sortsComing && sorted_ != nullptr) requestSpill();
    // No merge holds the runs while rows come in: Sorting means no spill will free any.
    if (state_ == WorkState::Sorting && inFlight_ == 0) {
      failed_ = true;
      sortError_.setNoRoom("The memory size (%" PRIu64 " bytes) is too small for this sort: %" PRIu64
                           " bytes more are needed while %" PRIu64 " are taken.", limit_, bytes, used_);
      return false;
    }
    doneCv_.wait(lock.unique());
  }
}

// --- the input chunk and the batch being filled ------------------------------------------
//
// The one input chunk handed out lies inside the batch being filled, at its first free
// row: the caller writes its rows where they will be sorted, and submitting the chunk
// only counts them.  A chunk has room for `chunkRows_` rows, or for the rows left in a
// batch that has reached its full size.

int Engine::getInputChunk(TqSortInputChunk** chunk) {
  ErrorText& err = input_->error;
  if (chunk == nullptr) {
    err.set("getInputChunk needs the address of a chunk pointer.");
    return 1;
  }
  *chunk = nullptr;
  if (inputEnded_) {
    err.set("The input has ended: no chunk is handed out after the last one.");
    return 1;
  }
  if (inChunk_.out) {
    err.set("An input chunk is out already: submit it before asking for another.");
    return 1;
  }
  if (failed() || !roomForChunk()) return callerFailure();
  inChunk_.capacity = std::min(chunkRows_, filling_->capacity - filling_->count);
  inChunk_.pub.rowCount = inChunk_.capacity;
  inChunk_.pub.rows = filling_->rows + size_t{filling_->count} * params_.recordLength;
  inChunk_.pub.state = TQ_SORT_CHUNK_NORMAL;
  inChunk_.out = true;
  *chunk = &inChunk_.pub;
  err.clear();
  return 0;
}

// Makes room for a chunk's rows at the end of the batch being filled: a new batch,
// a larger one, or the full one queued for sorting and a new one.
bool Engine::roomForChunk() {
  for (;;) {
    if (filling_ == nullptr) {
      if (!compactRuns()) return false;  // the list of runs keeps to its share
      TqStdLock lock(mutex_);
      if (!startBatch(lock)) return false;
    }
    Batch* b = filling_;
    if (b->capacity - b->count >= chunkRows_) return true;
    if (b->capacity < batchRows_ && growBatch()) continue;
    if (failed()) return false;
    if (b->capacity == batchRows_ && b->count < b->capacity) return true;
    filling_ = nullptr;
    queueBatch(b);
  }
}

bool Engine::startBatch(TqStdLock& lock) {
  const uint32_t capacity = firstBatchRows_;
  const uint64_t rowsCharge = chargeFor(uint64_t{capacity} * params_.recordLength);
  const uint64_t reserve = batchReserve(capacity);
  const uint64_t charge = chargeFor(sizeof(Batch)) + rowsCharge + reserve;
  if (!waitForRoom(charge, lock)) return false;
  lock.unlockFor(mutex_);
  Batch* b = tqbNew<Batch>();
  uint8_t* rows = b != nullptr ? static_cast<uint8_t*>(
                                     tqbMalloc(size_t{capacity} * params_.recordLength))
                               : nullptr;
  if (rows == nullptr) {
    tqbDelete(b);
    uncharge(charge);
    ErrorText e;
    e.setNoRoom("Out of memory (sort batch of %u rows).", capacity);
    fail(e);
    lock.lockFor(mutex_);
    return false;
  }
  lock.lockFor(mutex_);
  b->rows = rows;
  b->capacity = capacity;
  b->held = chargeFor(sizeof(Batch)) + rowsCharge;
  b->reserved = reserve;
  filling_ = b;
  return true;
}

// Doubles the batch being filled (at least to room for a chunk) when the memory allows
// at once.
bool Engine::growBatch() {
  Batch* b = filling_;
  const uint64_t want = std::max<uint64_t>(uint64_t{b->capacity} * 2, uint64_t{b->count} + chunkRows_);
  const uint32_t capacity = static_cast<uint32_t>(std::min<uint64_t>(batchRows_, want));
  const uint64_t oldRows = chargeFor(uint64_t{b->capacity} * params_.recordLength);
  const uint64_t newRows = chargeFor(uint64_t{capacity} * params_.recordLength);
  const uint64_t reserve = batchReserve(capacity) - batchReserve(b->capacity);
  if (!tryCharge(newRows - oldRows + reserve)) return false;
  void* grown = tqbRealloc(b->rows, size_t{capacity} * params_.recordLength);
  if (grown == nullptr) {
    uncharge(newRows - oldRows + reserve);
    ErrorText e;
    e.setNoRoom("Out of memory (sort batch of %u rows).", capacity);
    fail(e);
    return false;
  }
  b->rows = static_cast<uint8_t*>(grown);
  b->capacity = capacity;
  b->held += newRows - oldRows;
  b->reserved += reserve;
  return true;
}

void Engine::queueBatch(Batch* batch) {
  {
    TqStdLock guard(mutex_);
    batch->next = nullptr;
    if (queueTail_ != nullptr) queueTail_->next = batch; else queueHead_ = batch;
    queueTail_ = batch;
    ++inFlight_;
    ++stats_.batches;
  }
  workCv_.notify_one();
}

int Engine::submitInputChunk(TqSortInputChunk* chunk) {
  ErrorText& err = input_->error;
  if (chunk != &inChunk_.pub || !inChunk_.out) {
    err.set("submitInputChunk was given a chunk that this input did not hand out.");
    return 1;
  }
  if (chunk->state > TQ_SORT_CHUNK_ABANDONED) {
    err.set("Input chunk state %u is not 0 (normal), 1 (last) or 2 (abandoned).", chunk->state);
    return 1;
  }
  if (chunk->rowCount > inChunk_.capacity) {
    err.set("The input chunk's row count %u exceeds its capacity of %u rows.", chunk->rowCount,
            inChunk_.capacity);
    return 1;
  }
  // The chunk is the engine's again, whatever happens next.
  inChunk_.out = false;
  if (failed()) return callerFailure();
  if (chunk->state == TQ_SORT_CHUNK_ABANDONED) {
    err.clear();
    return 0;
  }
  filling_->count += chunk->rowCount;
  rowsIn_ += chunk->rowCount;
  if (chunk->state == TQ_SORT_CHUNK_LAST) {
    if (!endInput()) return callerFailure();
  } else if (filling_->count == batchRows_) {
    // Full: the sorting can start now.
    Batch* b = filling_;
    filling_ = nullptr;
    queueBatch(b);
  }
  err.clear();
  return 0;
}

// The last rows have come: the batch being filled is the final one.
bool Engine::endInput() {
  inputEnded_ = true;
  if (filling_ != nullptr) {
    Batch* b = filling_;
    filling_ = nullptr;
    if (b->count > 0) {
      queueBatch(b);
    } else {
      freeBatch(b);
    }
  }
  return !failed();
}

int Engine::closeInput(int32_t discard) {
  int result = 0;
  inChunk_.out = false;  // a chunk still out is taken back unread
  if (!inputEnded_) {
    if (discard != 0) {
      inputAbandoned_ = true;
      inputEnded_ = true;
      freeBatch(filling_);
      filling_ = nullptr;
      ErrorText e;
      e.set("The input was closed before its last chunk: the sort was abandoned.");
      fail(e);
    } else if (!endInput()) {
      callerFailure();
      result = 1;
    }
  }
  tqbDelete(input_);
  input_ = nullptr;
  uncharge(chargeFor(sizeof(InputHandle)));
  return result;
}

// --- batches -----------------------------------------------------------------------------

// Budget a batch of `capacity` rows reserves for its run, charged when it is sorted.
// (The entries and key tails are the sorting thread's, charged by
// prepare.)
uint64_t Engine::batchReserve(uint32_t capacity) const {
  return chargeFor(uint64_t{capacity} * recordPerRow());
}

// Takes `bytes` of budget for a batch: from what it reserved, else from the memory left.
bool Engine::takeFor(Batch* batch, uint64_t bytes) {
  if (batch->reserved >= bytes) {
    batch->reserved -= bytes;
    batch->held += bytes;
    return true;
  }
  if (!tryCharge(bytes - batch->reserved)) return false;
  batch->reserved = 0;
  batch->held += bytes;
  return true;
}

// Frees a batch and returns the budget bytes it held, still charged.
uint64_t Engine::dropBatch(Batch* batch) {
  if (batch == nullptr) return 0;
  uint64_t charge = batch->held + batch->reserved;
  tqbFree(batch->rows);
  tqbFree(batch->run);
  tqbDelete(batch);
  return charge;
}

void Engine::freeBatch(Batch* batch) {
  uint64_t charge = dropBatch(batch);
  if (charge > 0) uncharge(charge);
}

// --- the sorting threads -----------------------------------------------------------------

// True when a thread should write the sorted batches now [engine lock].
bool Engine::spillWanted() const {
  return state_ == WorkState::SpillWanted && sorted_ != nullptr && !failed_;
}

void Engine::requestSpill() {
  if (state_ == WorkState::Sorting) state_ = WorkState::SpillWanted;
  if (state_ == WorkState::Merging) state_ = WorkState::MergingSpillWanted;
  if (state_ == WorkState::SpillWanted) workCv_.notify_all();
}

void Engine::workerLoop(Worker* worker) {
  ErrorText error;
  TqStdLock lock(mutex_);
  for (;;) {
    while (state_ != WorkState::Stopping && queueHead_ == nullptr && !spillWanted()) workCv_.wait(lock.unique());
    if (state_ == WorkState::Stopping) return;
    if (spillWanted()) {
      // Merge every sorted batch into one run; their memory comes back at the end.
      Batch* batches = sorted_;
      sorted_ = nullptr;
      sortedBytes_ = 0;
      state_ = WorkState::Spilling;
      lock.unlock();
      bool ok = spillBatches(&worker->writer, batches, &error);
      if (!ok) fail(error);
      lock.lock();
      // A merge that began meanwhile has waited for this spill; it has the runs now.
      if (state_ == WorkState::Spilling) state_ = WorkState::Sorting;
      if (state_ == WorkState::MergeAwaitsSpill) state_ = WorkState::Merging;
      doneCv_.notify_all();
      continue;
    }
    Batch* b = queueHead_;
    queueHead_ = b->next;
    if (queueHead_ == nullptr) queueTail_ = nullptr;
    b->next = nullptr;
    bool ok = !failed_;
    bool written = false;
    ++sorting_;
    if (ok) {
      lock.unlock();
      FileRun run;
      const uint32_t rows = b->count;
      ok = sortBatch(worker, b, &run, &written, &error);
      if (ok) {
        TqStdLock guard(mutex_);
        stats_.rowsSorted += rows;
      }
      if (ok && written) {
        // No room to keep it: written to a work file, and its memory given back.
        {
          TqStdLock guard(mutex_);
          spillMode_ = true;
        }
        ok = addFileRun(run, &error, dropBatch(b));
        b = nullptr;
      }
      if (!ok) fail(error);
      lock.lock();
    }
    if (b != nullptr && (!ok || failed_)) {
      lock.unlock();
      freeBatch(b);
      lock.lock();
    } else if (b != nullptr) {
      Batch** end = &sorted_;
      while (*end != nullptr) end = &(*end)->next;
      *end = b;
      sortedBytes_ += b->held + b->reserved;
      if (spillMode_ && sortedBytes_ >= spillThreshold_) requestSpill();
    }
    --sorting_;
    --inFlight_;
    doneCv_.notify_all();
  }
}

// Makes the thread's sort buffers big enough for a batch of n rows.  Prepare charged
// them for the largest batch.
bool Worker::reserveSort(uint32_t n, uint64_t tailBytes, ErrorText* error) {
  if (n > entryRoom) {
    tqbFree(entries);
    entries = static_cast<Entry*>(tqbMalloc(size_t{n} * sizeof(Entry)));
    entryRoom = entries != nullptr ? n : 0;
    if (entryRoom == 0) {
      error->setNoRoom("Out of memory (sort entries for %u rows).", n);
      return false;
    }
  }
  if (tailBytes > tailRoom) {
    tqbFree(tails);
    tails = static_cast<uint8_t*>(tqbMalloc(tailBytes));
    tailRoom = tails != nullptr ? tailBytes : 0;
    if (tails == nullptr) {
      error->setNoRoom("Out of memory (sort key tails, %" PRIu64 " bytes).", tailBytes);
      return false;
    }
  }
  return true;
}

// Grows the key tails beyond what prepare charged: false when the memory has no room.
bool Worker::growTails(uint64_t need, ErrorText* error, bool* failed) {
  *failed = false;
  uint64_t room = std::min<uint64_t>(std::max(tailRoom * 2, need), UINT32_MAX);
  if (room < need) return false;
  uint64_t charge = chargeFor(room);
  if (charge > tailCharged && !engine->tryCharge(charge - tailCharged)) {
    // Not twice the room: just what this key needs, from the headroom kept for
    // structures that grow (a key longer than the estimate prepare made).
    room = need;
    charge = chargeFor(room);
    if (charge > tailCharged && !engine->tryChargeGrowth(charge - tailCharged)) return false;
  }
  void* p = tqbRealloc(tails, room);
  if (p == nullptr) {
    if (charge > tailCharged) engine->uncharge(charge - tailCharged);
    error->setNoRoom("Out of memory (sort key tails, %" PRIu64 " bytes).", room);
    *failed = true;
    return false;
  }
  tailCharged = std::max(tailCharged, charge);
  tails = static_cast<uint8_t*>(p);
  tailRoom = room;
  return true;
}

void Worker::releaseSort() {
  tqbFree(entries);
  tqbFree(tails);
  entries = nullptr;
  tails = nullptr;
  entryRoom = 0;
  tailRoom = 0;
  if (sortCharged + tailCharged > 0) engine->uncharge(sortCharged + tailCharged);
  sortCharged = tailCharged = 0;
}

// Keys and sorts a batch (on a sorting thread) and lays it out as a run in memory;
// when the memory has no room for that, the sorted rows are written as a run to a
// work file instead (`*wasWritten`, `*written`).
bool Engine::sortBatch(Worker* w, Batch* b, FileRun* written, bool* wasWritten,
                       ErrorText* error) {
  *wasWritten = false;
  const uint32_t n = b->count;
  if (!w->reserveSort(n, std::max<uint64_t>(uint64_t{n} * tailPerRow(), 64), error)) return false;
  b->entries = w->entries;
  b->tails = w->tails;
  b->tailUsed = 0;
  uint64_t keyBytes = 0;
  if (!keyBatch(w, b, &keyBytes, error)) return false;
  sortEntries(b->entries, b->entryCount, b->tails, shape_);
  return keepSorted(w, b, keyBytes, written, wasWritten, error);
}

bool Engine::keyBatch(Worker* w, Batch* b, uint64_t* keyBytesOut, ErrorText* error) {
  const uint32_t n = b->count;
  const uint32_t recordLength = params_.recordLength;
  const uint64_t fixedTail = shape_.tailLength();
  KeyEncoder& encoder = w->encoder;
  uint32_t m = 0;         // entries since the last partial run
  uint64_t keyBytes = 0;  // their keys' bytes
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t length = 0;
    if (!encoder.encode(b->rows + size_t{i} * recordLength, &length, error)) return false;
    const uint8_t* key = encoder.data();
    keyBytes += length;
    Entry& e = b->entries[m];
    e.prefix = loadPrefix(key, length);
    e.row = i;
    if (shape_.fixed) {
      e.tail = static_cast<uint32_t>(uint64_t{m} * fixedTail);
      if (fixedTail > 0) std::memcpy(b->tails + e.tail, key + 8, fixedTail);
    } else {
      const uint32_t tailLength = length > 8 ? length - 8 : 0;
      const uint64_t need = b->tailUsed + 4 + tailLength;
      if (need > w->tailRoom) {
        // Grow the tails; when the memory will not have it, the rows keyed so far
        // become a run of their own and the tails start empty.  With no row keyed yet,
        // the thread waits for memory that the other threads give back.
        bool broken = false;
        const uint64_t releasesSeen = releases();
        if (w->growTails(need, error, &broken)) {
          b->tails = w->tails;
        } else if (broken) {
          return false;
        } else if (m == 0) {
          if (waitForReleasedRoom(releasesSeen)) {
            --i;  // key this row again (wraps to 0 from 0)
            continue;
          }
          error->setNoRoom("The memory size (%" PRIu64 " bytes) is too small for a sort key of %u "
                     "bytes.", limit_, length);
          return false;
        } else {
          sortEntries(b->entries, m, b->tails, shape_);
          FileRun run;
          if (!writeEntries(&w->writer, b, b->entries, m, &run, error) || !addFileRun(run, error)) {
            return false;
          }
          {
            TqStdLock guard(mutex_);
            spillMode_ = true;
          }
          m = 0;
          keyBytes = 0;
          b->tailUsed = 0;
          --i;  // key this row again into the emptied tails (wraps to 0 from 0)
          continue;
        }
      }
      e.tail = static_cast<uint32_t>(b->tailUsed);
      std::memcpy(b->tails + b->tailUsed, &length, 4);
      if (tailLength > 0) std::memcpy(b->tails + b->tailUsed + 4, key + 8, tailLength);
      b->tailUsed += 4 + tailLength;
    }
    ++m;
  }
  b->entryCount = m;
  *keyBytesOut = keyBytes;
  return true;
}

bool Engine::keepSorted(Worker* w, Batch* b, uint64_t keyBytes, FileRun* written, bool* wasWritten,
                        ErrorText* error) {
  const uint32_t m = b->entryCount;
  // Lay the sorted records out as a run; without room for it, write them instead.
  const uint64_t runBytes = uint64_t{m} * ((shape_.fixed ? 0 : 4) + params_.outputLength) +
                            (shape_.fixed ? uint64_t{m} * shape_.fixedLength : keyBytes);
  bool ok = true;
  if (takeFor(b, chargeFor(runBytes))) {
    b->run = static_cast<uint8_t*>(tqbMalloc(runBytes));
    if (b->run == nullptr) {
      error->setNoRoom("Out of memory (sorted run of %" PRIu64 " bytes).", runBytes);
      ok = false;
    } else {
      layOut(b);
    }
  } else {
    ok = writeEntries(&w->writer, b, b->entries, m, written, error);
    *wasWritten = ok;
  }
  b->entries = nullptr;
  b->tails = nullptr;
  uint64_t back = b->reserved;
  b->reserved = 0;
  if (back > 0) uncharge(back);
  return ok;
}

// The merge's view of a sorted entry of batch `b`: its key (prefix, tail) and its row.
Cur Engine::entryCur(const Batch* b, const Entry& e, uint32_t recordLength) const {
  Cur cur;
  cur.prefix = e.prefix;
  const uint8_t* t = b->tails + e.tail;
  if (shape_.fixed) {
    cur.length = shape_.fixedLength;
    cur.tail = t;
  } else {
    std::memcpy(&cur.length, t, 4);
    cur.tail = t + 4;
  }
  cur.row = b->rows + size_t{e.row} * recordLength;
  return cur;
}

// Copies the sorted records of a batch into its run, in order (dropping duplicate keys
// when asked), and frees its rows.
void Engine::layOut(Batch* b) {
  const uint32_t recordLength = params_.recordLength;
  const uint32_t rowLength = params_.outputLength;
  const bool drop = params_.dropDuplicates;
  const Entry* entries = b->entries;
  uint8_t* out = b->run;
  Cur previous = {};
  for (uint32_t i = 0; i < b->entryCount; ++i) {
    const Entry& e = entries[i];
    if (i + 8 < b->entryCount) {
      // Rows and tails are read in key order, scattered: ask for some a little ahead.
      __builtin_prefetch(b->rows + size_t{entries[i + 8].row} * recordLength);
      __builtin_prefetch(b->tails + entries[i + 8].tail);
    }
    const Cur cur = entryCur(b, e, recordLength);
    if (drop && i > 0 && compareCur(previous, cur) == 0) continue;
    previous = cur;
    uint32_t size = putRecord(out, cur, shape_, rowLength);
    b->maxRecord = std::max(b->maxRecord, size);
    out += size;
    ++b->runRows;
  }
  b->runBytes = static_cast<uint64_t>(out - b->run);
  const uint64_t freed = chargeFor(uint64_t{b->capacity} * recordLength);
  tqbFree(b->rows);
  b->rows = nullptr;
  b->held -= freed;
  uncharge(freed);
}

// Writes sorted entries of a batch as one run (dropping duplicate keys when asked).
bool Engine::writeEntries(RunWriter* writer, const Batch* b, const Entry* entries, uint32_t count,
                          FileRun* run, ErrorText* error) {
  if (!writer->begin(RunWriter::Start::sameFile, error)) return false;
  const uint32_t recordLength = params_.recordLength;
  const bool drop = params_.dropDuplicates;
  Cur previous = {};
  for (uint32_t i = 0; i < count; ++i) {
    const Entry& e = entries[i];
    const Cur cur = entryCur(b, e, recordLength);
    if (drop && i > 0 && compareCur(previous, cur) == 0) continue;
    previous = cur;
    if (!writer->put(cur, error)) return false;
  }
  if (!writer->finish(run, error)) return false;
  TqStdLock guard(mutex_);
  ++stats_.runsWritten;
  return true;
}

// Writes each batch of the list as a run of its own, from the first, and drops it;
// *batches keeps the ones not written when one fails.
bool Engine::spillEachBatch(RunWriter* writer, Batch** batches, ErrorText* error) {
  bool ok = true;
  while (ok && *batches != nullptr) {
    Batch* b = *batches;
    FileRun run;
    ok = writer->begin(RunWriter::Start::sameFile, error) && writer->putRun(b, error) && writer->finish(&run, error);
    if (ok) {
      *batches = b->next;
      ok = addFileRun(run, error, dropBatch(b));
      if (ok) {
        TqStdLock guard(mutex_);
        ++stats_.runsWritten;
      }
    }
  }
  return ok;
}

// Writes sorted batches (a list) as one run, merging them, and frees them.  A single
// batch goes out as it lies; when the merge's tables find no room, each batch becomes
// a run of its own.
bool Engine::spillBatches(RunWriter* writer, Batch* batches, ErrorText* error) {
  uint32_t count = 0;
  for (Batch* b = batches; b != nullptr; b = b->next) ++count;
  bool ok = true;
  Source* sources = nullptr;
  const uint64_t charge = chargeFor(sizeof(Source) * count);
  if (count > 1 && tryCharge(charge)) {
    sources = static_cast<Source*>(tqbMalloc(sizeof(Source) * count));
    if (sources == nullptr) uncharge(charge);
  }
  LoserTree tree;
  ErrorText ignored;
  if (sources != nullptr) {
    uint32_t k = 0;
    for (Batch* b = batches; b != nullptr; b = b->next) {
      Source* src = new (&sources[k++]) Source();
      src->at = b->run;
      src->end = b->run + b->runBytes;
      advanceSource(src, shape_, params_.outputLength, error);
    }
    if (!tree.init(this, sources, count, &ignored)) {
      tqbFree(sources);
      uncharge(charge);
      sources = nullptr;
    }
  }
  if (sources != nullptr) {
    ok = writer->begin(RunWriter::Start::sameFile, error);
    const bool drop = params_.dropDuplicates;
    Cur previous = {};
    bool first = true;
    while (ok && !tree.empty()) {
      const Cur& cur = tree.top();
      if (!(drop && !first && compareCur(previous, cur) == 0)) {
        ok = writer->put(cur, error);
        previous = cur;  // runs in memory stay where they are
        first = false;
      }
      ok = ok && tree.pop(error);
    }
    FileRun run;
    ok = ok && writer->finish(&run, error);
    tree.release();
    tqbFree(sources);
    uncharge(charge);
    if (ok) {
      // The batches' room comes back as the run joins the list, which may need some.
      uint64_t freed = 0;
      while (batches != nullptr) {
        Batch* b = batches;
        batches = b->next;
        freed += dropBatch(b);
      }
      ok = addFileRun(run, error, freed);
      if (ok) {
        TqStdLock guard(mutex_);
        ++stats_.runsWritten;
      }
    }
  } else {
    ok = spillEachBatch(writer, &batches, error);
  }
  while (batches != nullptr) {
    Batch* b = batches;
    batches = b->next;
    freeBatch(b);
  }
  return ok;
}

// Adds a run to the list.  `released` budget bytes, of memory just freed, go back at
// the same time, so that the list can grow even when the memory is full.
bool Engine::addFileRun(const FileRun& run, ErrorText* error, uint64_t released) {
  TqStdLock lock(mutex_);
  used_ -= released;
  if (released > 0) doneCv_.notify_all();
  if (fileRunCount_ == fileRunRoom_) {
    const uint32_t room = fileRunRoom_ == 0 ? 16 : fileRunRoom_ * 2;
    const uint64_t charge =
        chargeFor(uint64_t{room} * sizeof(FileRun)) -
        (fileRunRoom_ == 0 ? 0 : chargeFor(uint64_t{fileRunRoom_} * sizeof(FileRun)));
    if (used_ + charge > limit_) {  // the headroom included: see tryChargeGrowth
      error->setNoRoom("The memory size (%" PRIu64 " bytes) is too small for the list of %u runs.",
                 limit_, room);
      return false;
    }
    void* grown = tqbRealloc(fileRuns_, size_t{room} * sizeof(FileRun));
    if (grown == nullptr) {
      error->setNoRoom("Out of memory (list of %u sorted runs).", room);
      return false;
    }
    used_ += charge;
    peak_ = std::max(peak_, used_);
    fileRuns_ = static_cast<FileRun*>(grown);
    fileRunRoom_ = room;
  }
  fileRuns_[fileRunCount_++] = run;
  ++run.file->liveRuns;
  return true;
}

// --- work files --------------------------------------------------------------------------

namespace {

// Entry `index` of the ':'-separated `list` into `dir` (kNameSize bytes); false when it
// is empty or too long to hold a file name after it.
bool listEntry(const char* list, size_t index, char* dir) {
  const char* p = list;
  for (; index > 0; --index) p = std::strchr(p, np_dir_listsep[0]) + 1;
  const char* end = std::strchr(p, np_dir_listsep[0]);
  size_t n = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
  if (n == 0 || n >= static_cast<size_t>(kNameSize) - 32) return false;
  std::memcpy(dir, p, n);
  dir[n] = '\0';
  return true;
}

}  // namespace

WorkFile* Engine::newWorkFile(bool paid, ErrorText* error) {
  const uint64_t charge = kWorkFileCharge;
  if (!paid && !tryCharge(charge)) {
    error->setNoRoom("The memory size (%" PRIu64 " bytes) leaves no room for another work file.",
               limit_);
    return nullptr;
  }
  WorkFile* f = tqbNew<WorkFile>();
  if (f == nullptr) {
    if (!paid) uncharge(charge);
    error->setNoRoom("Out of memory (sort work file).");
    return nullptr;
  }
  int status = -1;
  int systemError = 0;
  char tried[kErrorSize] = {};
  if (tempDirs_ != nullptr) {
    // The directories of the list in turns: each new file starts at the next one, so
    // that work files spread over all of them.  Those with room for what a work file may
    // come to hold (a thread's share of the expected rows, at least the memory size)
    // come first; one that takes no new file is skipped.
    size_t count = 1;
    for (const char* c = tempDirs_; *c != '\0'; ++c) count += *c == np_dir_listsep[0];
    size_t first = workFilesStarted_.fetch_add(1, std::memory_order_relaxed) % count;
    const uint64_t share = params_.expectedRows * params_.recordLength / std::max<uint32_t>(params_.processors, 1);
    const uint64_t wanted = std::max<uint64_t>(limit_, share);
    for (int pass = 0; pass < 2 && status != 0; ++pass) {
      for (size_t k = 0; k < count && status != 0; ++k) {
        char dir[kNameSize];
        if (!listEntry(tempDirs_, (first + k) % count, dir)) continue;
        int64_t free = count > 1 ? np_dir_freebytes(dir) : -1;
        bool room = free < 0 || static_cast<uint64_t>(free) >= wanted;
        if (room != (pass == 0)) continue;
        status = np_fio_tmpfile(dir, kFilePrefix, f->name, kNameSize, &f->handle);
        if (status != 0) {
          systemError = np_fio_syserr(0);
          size_t used = std::strlen(tried);
          std::snprintf(tried + used, sizeof(tried) - used, "%s'%.200s'", used > 0 ? ", " : "", dir);
        }
      }
    }
  }
  if (status != 0 && tried[0] == '\0') {
    status = np_fio_tmpfile(nullptr, kFilePrefix, f->name, kNameSize, &f->handle);
    if (status != 0) {
      systemError = np_fio_syserr(0);
      const char* env = std::getenv("TMPDIR");
      std::snprintf(tried, sizeof(tried), "'%.200s'", env != nullptr && *env ? env : "/tmp");
    }
  }
  if (status != 0) {
    char buffer[128];
    error->set("Cannot create a sort work file in %s: %s.", tried,
               systemError != 0 ? systemErrorText(systemError, buffer, sizeof(buffer))
                                : np_fio_errdesc(status));
    tqbDelete(f);
    if (!paid) uncharge(charge);
    return nullptr;
  }
  // Work files are appended to and read at their runs' offsets: compressed when the host
  // chose a codec.
  status = np_fio_compress(f->handle, f->name, kNpReadsAnywhere);
  if (status != 0) {
    char buffer[128];
    int code = np_fio_syserr(f->handle);
    error->set("Cannot create a sort work file in %s: %s.", tried,
               code != 0 ? systemErrorText(code, buffer, sizeof(buffer)) : np_fio_errdesc(status));
    np_fio_close(f->handle);
    np_fio_unlink(f->name);
    tqbDelete(f);
    if (!paid) uncharge(charge);
    return nullptr;
  }
  // Unlinked at once: the open handle is all that is left of it.
  f->unlinked = np_fio_unlink(f->name) == 0;
  TqStdLock guard(mutex_);
  f->next = files_;
  files_ = f;
  return f;
}

void Engine::addWritten(uint64_t bytes) {
  TqStdLock guard(mutex_);
  stats_.bytesWritten += bytes;
}

void Engine::addRead(uint64_t bytes) {
  TqStdLock guard(mutex_);
  stats_.bytesRead += bytes;
}

}  // namespace tqxsort
