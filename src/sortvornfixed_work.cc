// Work items of the fixed-length chunk sort; see sortvornfixed_work.h.
#include "src/sortvornfixed_work.h"

#include <cstring>

#include "platform/tqballoc.h"
#include "src/trace.h"

TqSortVornFixedWorkSort::TqSortVornFixedWorkSort(TqSortVornFixedImpl* engine, TqLogger* logger,
                                                 ChunkDescriptor* chunk)
    : TqSortVornWorkSort(engine, logger, chunk),
      fixed_(engine),
      rowLength_(static_cast<uint32_t>(engine->rowLength())),
      keyLength_(engine->keyAreaLength()),
      recordLength_(engine->recordLength()) {
  TQ_TRACE_SORT("TqSortVornFixedWorkSort(0x%p)->TqSortVornFixedWorkSort()", this);
}

TqSortVornFixedWorkSort::~TqSortVornFixedWorkSort() {
  TQ_TRACE_SORT("TqSortVornFixedWorkSort(0x%p)->~TqSortVornFixedWorkSort()", this);
  tqbFree(swapRow_);
}

void TqSortVornFixedWorkSort::work(bool onMain, TqbThreadPoolWorker* worker) {
  TQ_TRACE_SORT("TqSortVornFixedWorkSort(0x%p)->work(%s): 0x%p %I64u", this, onMain ? "true" : "false", chunk_,
                static_cast<uint64_t>(chunk_->id));
  uint32_t n = static_cast<uint32_t>(chunk_->rowCount);
  uint8_t* buffer = chunk_->buffer;
  // The key pass: every record's key fields, from its row bytes.
  for (uint32_t i = 0; i < n; ++i) fixed_->encodeKeys(buffer + uint64_t{i} * recordLength_);
  uint64_t sorted = 0;
  if (n <= 1) {
    engine_->insertChunk(chunk_, ChunkSource::sort, ChunkLock::notHeld);
    sorted = n;
  } else {
    swapRow_ = static_cast<uint8_t*>(tqbMalloc(recordLength_));
    if (swapRow_ == nullptr) {
      engine_->setError(TqDatafile::StatusNoRoom, TQ_MESSAGE(29, "(Swap Row)"), ChunkLock::notHeld);
    } else if (sortRange(worker, buffer, nullptr, 0, n - 1)) {
      engine_->insertChunk(chunk_, ChunkSource::sort, ChunkLock::notHeld);
      sorted = n;
    }
  }
  engine_->sortEnded(sorted);
  if (worker != nullptr) worker->finished(true);
  tqbDelete(this);
}

void TqSortVornFixedWorkSort::exchange(uint8_t* buffer, uint32_t a, uint32_t b) {
  uint8_t* x = buffer + uint64_t{a} * recordLength_;
  uint8_t* y = buffer + uint64_t{b} * recordLength_;
  std::memcpy(swapRow_, x, recordLength_);
  std::memcpy(x, y, recordLength_);
  std::memcpy(y, swapRow_, recordLength_);
}

bool TqSortVornFixedWorkSort::sortRange(TqbThreadPoolWorker* worker, uint8_t* buffer, IndexEntry*, uint32_t lo,
                                        uint32_t hi) {
  // The chunk sort's quicksort, on whole records: median of three, both scans stopping
  // on keys equal to the pivot, recursion into the smaller part only.
  if (swapRow_ == nullptr) {  // work() allocates it; a caller of its own may not have
    swapRow_ = static_cast<uint8_t*>(tqbMalloc(recordLength_));
    if (swapRow_ == nullptr) return false;
  }
  for (;;) {
    uint32_t count = hi - lo + 1;
    uint32_t mid = lo + (hi - lo) / 2;
    if (count > 2 && compare(buffer, lo, mid) > 0) exchange(buffer, lo, mid);
    if (compare(buffer, lo, hi) > 0) exchange(buffer, lo, hi);
    if (count > 2 && compare(buffer, mid, hi) > 0) exchange(buffer, mid, hi);
    if (count <= 3) return true;
    exchange(buffer, lo + 1, mid);  // the pivot, the median of three, rests at lo + 1
    uint32_t i = lo + 1;
    uint32_t j = hi;
    while (i < j) {
      do {
        ++i;
      } while (compare(buffer, i, lo + 1) < 0);
      do {
        --j;
      } while (compare(buffer, j, lo + 1) > 0);
      if (i < j) exchange(buffer, i, j);
    }
    exchange(buffer, lo + 1, j);
    if (stopping(worker)) {
      TQ_TRACE_SORT("TqSortVornFixedWorkSort(0x%p)->work() - stopping", this);
      return false;
    }
    if (j - lo < hi - j) {
      if (j > lo + 1 && !sortRange(worker, buffer, nullptr, lo, j - 1)) return false;
      lo = j + 1;
    } else {
      if (hi > j + 1 && !sortRange(worker, buffer, nullptr, j + 1, hi)) return false;
      hi = j - 1;
    }
    if (lo >= hi) return true;
  }
}

TqSortVornFixedWorkMerge::TqSortVornFixedWorkMerge(TqSortVornImpl* engine, TqLogger* logger)
    : TqSortVornWorkMerge(engine, logger) {
  TQ_TRACE_SORT("TqSortVornFixedWorkMerge(0x%p)->TqSortVornFixedWorkMerge()", this);
}

TqSortVornFixedWorkMerge::~TqSortVornFixedWorkMerge() {
  TQ_TRACE_SORT("TqSortVornFixedWorkMerge(0x%p)->~TqSortVornFixedWorkMerge()", this);
}
