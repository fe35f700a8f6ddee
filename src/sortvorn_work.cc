// Sort and merge work items.
//
// Sorting a chunk moves only its 16-byte index entries: a median-of-three quicksort on
// the keys where they lie in the buffer.  The partition is the classic one whose two
// scans stop on keys equal to the pivot, so runs of equal keys split evenly.  The sort
// recurses into the smaller part and loops on the larger, so its depth stays below
// log2(rows) whatever the keys; it checks once per partitioned range whether it should
// stop (an error recorded, or the pool stopping).
//
// Merging selects, among its inputs, the one whose current key is largest (a linear
// scan: the fan-in is bounded by the memory budget) and copies that row into the output
// chunk.  Output chunks fill from both ends at once, rows from offset 0 and entries from
// the end downward, so that the entries end in ascending key order as in a sorted
// chunk.  When an output chunk is full and only one input is left, that input is handed
// over whole instead of being copied.  As the read merge, the same request instead
// hands the smallest current row to the reader, one call at a time, and when one input
// is left it returns it to the tree as ready.
#include "src/sortvorn_work.h"

#include <cstring>

#include "platform/tqballoc.h"

#define WT(...) TQ_LOG(logger_, 2, __VA_ARGS__)

namespace {

constexpr int32_t kReaderWaiting = 0x40000000;

inline int compareEntries(const uint8_t* buffer, const IndexEntry& a, const IndexEntry& b) {
  return tqCompareKeys(buffer + a.keyOffset, a.keyLength, buffer + b.keyOffset, b.keyLength);
}

template <typename Input>
inline int compareInputs(const Input& a, const Input& b) {
  return tqCompareKeys(a.key, a.keyLength, b.key, b.keyLength);
}

}  // namespace

// --- sorting -------------------------------------------------------------------------------

TqSortVornWorkSort::TqSortVornWorkSort(TqSortVornImpl* engine, TqLogger* logger, ChunkDescriptor* chunk)
    : engine_(engine), logger_(logger), chunk_(chunk) {
  WT("TqSortVornWorkSort(0x%p)->TQSortVornWorkSort()", this);
}

TqSortVornWorkSort::~TqSortVornWorkSort() { WT("TqSortVornWorkSort(0x%p)->~TQSortVornWorkSort()", this); }

void TqSortVornWorkSort::work(bool onMain, TqbThreadPoolWorker* worker) {
  WT("TqSortVornWorkSort(0x%p)->work(%s): 0x%p %I64u", this, onMain ? "true" : "false", chunk_,
     static_cast<uint64_t>(chunk_->id));
  uint32_t n = chunk_->rowCount;
  IndexEntry* entries = TqSortVornImpl::entryAt(chunk_, engine_->resolvedChunkSize() - 16ull * n);
  if (n < 2 || sortRange(worker, chunk_->buffer, entries, 0, n - 1)) {
    chunk_->cursor = entries;
    engine_->insertChunk(chunk_, ChunkSource::sort, ChunkLock::notHeld);
  }
  // A stopped sort leaves its chunk on the engine's list, which frees it when cleaned.
  engine_->sortEnded();
  if (worker != nullptr) worker->finished(true);
  tqbDelete(this);
}

void TqSortVornWorkSort::failure(bool cancelled) {
  WT("TqSortVornWorkSort(0x%p)->failure(%s)", this, cancelled ? "true" : "false");
  if (!cancelled) engine_->setError(TqDatafile::StatusNotAllowed, TQ_MESSAGE(1181), ChunkLock::notHeld);
  engine_->sortEnded();
  tqbDelete(this);
}

void TqSortVornWorkSort::destroy() { tqbDelete(this); }

bool TqSortVornWorkSort::sortRange(TqbThreadPoolWorker* worker, uint8_t* buffer, IndexEntry* entries,
                                   uint32_t lo, uint32_t hi) {
  for (;;) {
    uint32_t count = hi - lo + 1;
    uint32_t mid = lo + (hi - lo) / 2;
    if (count > 2 && compareEntries(buffer, entries[lo], entries[mid]) > 0) std::swap(entries[lo], entries[mid]);
    if (compareEntries(buffer, entries[lo], entries[hi]) > 0) std::swap(entries[lo], entries[hi]);
    if (count > 2 && compareEntries(buffer, entries[mid], entries[hi]) > 0) std::swap(entries[mid], entries[hi]);
    if (count <= 3) return true;
    std::swap(entries[lo + 1], entries[mid]);
    const IndexEntry pivot = entries[lo + 1];  // the median of three
    uint32_t i = lo + 1;
    uint32_t j = hi;
    while (i < j) {
      // The keys lie scattered over the chunk: fetch those the scans reach next.
      do {
        ++i;
        if (i + 8 <= hi) __builtin_prefetch(buffer + entries[i + 8].keyOffset);
      } while (compareEntries(buffer, entries[i], pivot) < 0);
      do {
        --j;
        if (j >= lo + 8) __builtin_prefetch(buffer + entries[j - 8].keyOffset);
      } while (compareEntries(buffer, entries[j], pivot) > 0);
      if (i < j) std::swap(entries[i], entries[j]);
    }
    std::swap(entries[lo + 1], entries[j]);
    if (engine_->aborted() || (worker != nullptr && worker->stopRequested())) {
      WT("TqSortVornWorkSort(0x%p)->work() - stopping", this);
      return false;
    }
    // Recurse into the smaller part, loop on the larger: the depth stays logarithmic.
    if (j - lo < hi - j) {
      if (!sortRange(worker, buffer, entries, lo, j - 1)) return false;
      lo = j + 1;
    } else {
      if (!sortRange(worker, buffer, entries, j + 1, hi)) return false;
      hi = j - 1;
    }
  }
}

// --- merging -------------------------------------------------------------------------------

TqSortVornWorkMerge::TqSortVornWorkMerge(TqSortVornImpl* engine, TqLogger* logger)
    : engine_(engine), logger_(logger) {
  WT("TqSortVornWorkMerge(0x%p)->TQSortVornWorkMerge()", this);
}

TqSortVornWorkMerge::~TqSortVornWorkMerge() {
  WT("TqSortVornWorkMerge(0x%p)->~TQSortVornWorkMerge()", this);
  // One input left is this request's alone; two or more stay on the engine's list.
  if (inputCount_ == 1) engine_->tossChunk(inputs_[0].chunk, onMain_ ? ChunkLock::held : ChunkLock::notHeld);
  tqbFree(inputs_);
}

void TqSortVornWorkMerge::destroy() { tqbDelete(this); }

bool TqSortVornWorkMerge::addChunk(ChunkDescriptor* chunk) {
  WT("TqSortVornWorkMerge(0x%p)->addChunk(0x%p) id: %I64u", this, chunk, static_cast<uint64_t>(chunk->id));
  if (capacity_ < inputCount_ + 1) {
    void* grown = tqbRealloc(inputs_, (capacity_ + 10) * sizeof(Input));
    if (grown == nullptr) return false;
    inputs_ = static_cast<Input*>(grown);
    capacity_ += 10;
  }
  inputs_[inputCount_++] = Input{chunk, nullptr, 0};
  rowCount += chunk->rowCount;
  if (chunk->buffer != nullptr) {
    chunk->cursor = TqSortVornImpl::entryAt(chunk, engine_->resolvedChunkSize() - 16);
    refreshKey(inputCount_ - 1);
  } else {
    needsReload_ = true;
  }
  return true;
}

void TqSortVornWorkMerge::removeInput(uint32_t index) {
  for (uint32_t k = index + 1; k < inputCount_; ++k) inputs_[k - 1] = inputs_[k];
  --inputCount_;
}

void TqSortVornWorkMerge::releaseMergeCount() {
  if (tqAtomSub(engine_->mergeAtomic()) == kReaderWaiting) tqEventPost(engine_->mergeWaiter(), 0);
}

void TqSortVornWorkMerge::work(bool onMain, TqbThreadPoolWorker* worker) {
  WT("TqSortVornWorkMerge(0x%p)->work(%s)", this, onMain ? "true" : "false");
  onMain_ = onMain;
  // On the caller's thread the merge pass holds the chunk lock throughout.
  const ChunkLock lock = onMain ? ChunkLock::held : ChunkLock::notHeld;
  const uint32_t size = engine_->resolvedChunkSize();
  ChunkDescriptor* out = nullptr;
  uint32_t room = 0;
  uint32_t fill = 0;
  if (!onMain) engine_->lockChunks();  // on main the merge pass holds it throughout
  bool ready = true;
  for (uint32_t k = 0; k < inputCount_ && ready; ++k) {
    ChunkDescriptor* in = inputs_[k].chunk;
    if (in->buffer != nullptr) continue;
    int32_t status = engine_->getBuffer(in, false);
    if (status == 0) status = engine_->reloadChunk(in, ChunkLock::held);
    if (status != 0) {
      ready = false;
    } else {
      in->cursor = TqSortVornImpl::entryAt(in, size - 16);
      refreshKey(k);
    }
  }
  if (ready) out = engine_->allocateChunk(ChunkLock::held);
  if (!onMain) engine_->unlockChunks();
  if (out != nullptr) {
    room = size;
    if (inputCount_ == 0) {
      engine_->insertChunk(out, ChunkSource::merge, lock);
      out = nullptr;
    }
  }
  while (out != nullptr) {
    uint32_t sel = 0;
    bool stop = false;
    for (uint32_t j = 1; j < inputCount_; ++j) {
      if (engine_->aborted() || (worker != nullptr && worker->stopRequested())) {
        WT("TqSortVornWorkMerge(0x%p)->work() - stopping", this);
        stop = true;
        break;
      }
      if (compareInputs(inputs_[sel], inputs_[j]) < 0) sel = j;
    }
    if (stop) break;  // the output stays on the engine's list, freed when it is cleaned
    ChunkDescriptor* in = inputs_[sel].chunk;
    const IndexEntry e = *in->cursor;
    uint32_t need = e.keyLength + e.rowLength + 16;
    if (need > room) {
      if (!engine_->insertChunk(out, ChunkSource::merge, lock)) break;
      out = nullptr;
      if (inputCount_ == 1) {
        // Hand the last input over whole: its remaining entries move to the top of its
        // buffer, in order, and it goes back to the tree without copying a row.
        inputCount_ = 0;
        tqbFree(in->lowKey);
        in->lowKey = in->highKey = nullptr;
        in->lowKeyLength = in->highKeyLength = 0;
        uint32_t left = in->rowCount;
        IndexEntry* lowest = in->cursor - (left - 1);
        std::memmove(in->buffer + size - 16ull * left, lowest, 16ull * left);
        engine_->insertChunk(in, ChunkSource::merge, lock);
        break;
      }
      out = engine_->allocateChunk(lock);
      if (out == nullptr) break;
      room = size;
      fill = 0;
    }
    ++out->rowCount;
    room -= need;
    IndexEntry* o = out->cursor;
    o->keyOffset = fill;
    o->keyLength = e.keyLength;
    o->rowOffset = fill + e.keyLength;
    o->rowLength = e.rowLength;
    std::memcpy(out->buffer + fill, in->buffer + e.keyOffset, e.keyLength);
    std::memcpy(out->buffer + fill + e.keyLength, in->buffer + e.rowOffset, e.rowLength);
    fill += e.keyLength + e.rowLength;
    --out->cursor;
    --in->cursor;
    if (--in->rowCount == 0) {
      engine_->tossChunk(in, lock);
      removeInput(sel);
    } else {
      refreshKey(sel);
      if (in->rowCount > 2) {
        const IndexEntry* ahead = in->cursor - 2;
        __builtin_prefetch(in->buffer + ahead->keyOffset);
        __builtin_prefetch(in->buffer + ahead->rowOffset);
      }
    }
    if (inputCount_ == 0) {
      engine_->insertChunk(out, ChunkSource::merge, lock);
      break;
    }
  }
  if (worker != nullptr) worker->finished(true);
  if (!onMain) releaseMergeCount();
  tqbDelete(this);
}

void TqSortVornWorkMerge::failure(bool cancelled) {
  WT("TqSortVornWorkMerge(0x%p)->failure(%s)", this, cancelled ? "true" : "false");
  releaseMergeCount();
  if (!cancelled) engine_->setError(TqDatafile::StatusNotAllowed, TQ_MESSAGE(1181), ChunkLock::notHeld);
  tqbDelete(this);
}

int32_t TqSortVornWorkMerge::nextRow(uint8_t** row) {
  const uint32_t size = engine_->resolvedChunkSize();
  if (selected_ != nullptr) {
    // The row returned last is consumed now.
    ChunkDescriptor* s = selected_;
    selected_ = nullptr;
    ++rowsServed;
    if (--s->rowCount == 0) {
      removeInput(static_cast<uint32_t>(selectedIndex_));
      engine_->tossChunk(s, ChunkLock::notHeld);
    } else {
      ++s->cursor;
      refreshKey(static_cast<uint32_t>(selectedIndex_));
      // Rows lie scattered over the chunk: fetch the ones this input hands out next.
      if (s->rowCount > 2) {
        const IndexEntry* ahead = s->cursor + 2;
        __builtin_prefetch(s->buffer + ahead->keyOffset);
        __builtin_prefetch(s->buffer + ahead->rowOffset);
      }
    }
    selectedIndex_ = -1;
    if (inputCount_ == 1) {
      // The rest of the last input follows every row delivered and precedes the tree.
      ChunkDescriptor* last = inputs_[0].chunk;
      WT("TqSortVornWorkMerge(0x%p)->nextRow(): Marking chunk [0x%p](%I64u) ready", this, last,
         static_cast<uint64_t>(last->id));
      last->ready = true;
      inputCount_ = 0;
      tqbFree(last->lowKey);
      last->lowKey = last->highKey = nullptr;
      last->lowKeyLength = last->highKeyLength = 0;
      // A failed insert has recorded its error (status 1): the reader reports that.
      return engine_->insertChunk(last, ChunkSource::merge, ChunkLock::notHeld) ? -1 : TqDatafile::StatusNoRoom;
    }
  } else {
    if (inputCount_ == 0) return -1;
    if (needsReload_) {
      engine_->lockChunks();
      for (uint32_t k = 0; k < inputCount_; ++k) {
        ChunkDescriptor* in = inputs_[k].chunk;
        if (in->buffer != nullptr) continue;
        int32_t status = engine_->getBuffer(in, false);
        if (status == 0) status = engine_->reloadChunk(in, ChunkLock::held);
        if (status != 0) {
          engine_->unlockChunks();
          return status;
        }
      }
      engine_->unlockChunks();
      needsReload_ = false;
    }
    for (uint32_t k = 0; k < inputCount_; ++k) {
      ChunkDescriptor* in = inputs_[k].chunk;
      in->cursor = TqSortVornImpl::entryAt(in, size - 16ull * in->rowCount);
      refreshKey(k);
    }
  }
  uint32_t sel = 0;
  for (uint32_t j = 1; j < inputCount_; ++j) {
    if (compareInputs(inputs_[sel], inputs_[j]) > 0) sel = j;
  }
  selected_ = inputs_[sel].chunk;
  selectedIndex_ = static_cast<int32_t>(sel);
  *row = selected_->buffer + selected_->cursor->rowOffset;
  return 0;
}

void TqSortVornWorkMerge::clearSelection() {
  selected_ = nullptr;
  selectedIndex_ = -1;
}
