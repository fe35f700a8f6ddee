// Work items of the fixed-length chunk sort; see sortvornfixed_work.h.
#include "src/sortvornfixed_work.h"

#include <cstring>
#include <utility>

#include "core/keysort.h"
#include "platform/tqballoc.h"
#include "src/trace.h"

namespace tqlib {

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
}

void TqSortVornFixedWorkSort::work(bool onMain, TqbThreadPoolWorker* worker) {
  TQ_TRACE_SORT("TqSortVornFixedWorkSort(0x%p)->work(%s): 0x%p %I64u", this, onMain ? "true" : "false", chunk_,
                static_cast<uint64_t>(chunk_->id));
  uint32_t n = static_cast<uint32_t>(chunk_->rowCount);
  uint8_t* buffer = chunk_->buffer;
  // The key pass: every record's key fields, from its row bytes.
  for (uint32_t i = 0; i < n; ++i) fixed_->encodeKeys(buffer + uint64_t{i} * recordLength_);
  uint64_t sorted = 0;
  if (n <= 1 || sortRange(worker, buffer, nullptr, 0, n - 1)) {
    if (engine_->insertChunk(chunk_, ChunkSource::sort, ChunkLock::notHeld)) engine_->writeAhead(onMain);
    sorted = n;
  }
  engine_->sortEnded(sorted);
  if (worker != nullptr) worker->finished(true);
  tqbDelete(this);
}

void TqSortVornFixedWorkSort::exchange(uint8_t* buffer, uint32_t a, uint32_t b) {
  // Word by word in place: records are a few dozen bytes, and a call to memcpy for each
  // third of an exchange cost more than the exchange.
  uint8_t* x = buffer + uint64_t{a} * recordLength_;
  uint8_t* y = buffer + uint64_t{b} * recordLength_;
  uint32_t n = recordLength_;
  for (; n >= 8; n -= 8, x += 8, y += 8) {
    uint64_t u, v;
    std::memcpy(&u, x, 8);
    std::memcpy(&v, y, 8);
    std::memcpy(x, &v, 8);
    std::memcpy(y, &u, 8);
  }
  for (; n > 0; --n, ++x, ++y) std::swap(*x, *y);
}

namespace {

// The records of a fixed-length chunk as the key sort sees them: each record's key area
// follows its row bytes, and records are exchanged whole.
class RecordKeys {
 public:
  RecordKeys(TqSortVornFixedWorkSort* item, TqbThreadPoolWorker* worker, uint8_t* buffer, uint32_t rowLength,
             uint32_t keyLength, uint32_t recordLength)
      : item_(item), worker_(worker), buffer_(buffer), rowLength_(rowLength), keyLength_(keyLength),
        recordLength_(recordLength) {}
  uint64_t word(size_t i, uint32_t at) const {
    if (keyLength_ <= at) return 0;
    const uint8_t* key = buffer_ + uint64_t{i} * recordLength_ + rowLength_;
    uint8_t padded[8] = {};
    std::memcpy(padded, key + at, keyLength_ - at < 8 ? keyLength_ - at : 8);
    uint64_t v;
    std::memcpy(&v, padded, 8);
    return __builtin_bswap64(v);
  }
  bool longer(size_t, uint32_t at) const { return keyLength_ > at; }
  bool less(size_t i, size_t j) const {
    return item_->compare(buffer_, static_cast<uint32_t>(i), static_cast<uint32_t>(j)) < 0;
  }
  void swap(size_t i, size_t j) { item_->exchange(buffer_, static_cast<uint32_t>(i), static_cast<uint32_t>(j)); }
  bool stopping() const { return item_->stopping(worker_); }

 private:
  TqSortVornFixedWorkSort* item_;
  TqbThreadPoolWorker* worker_;
  uint8_t* buffer_;
  uint32_t rowLength_, keyLength_, recordLength_;
};

}  // namespace

bool TqSortVornFixedWorkSort::sortRange(TqbThreadPoolWorker* worker, uint8_t* buffer, IndexEntry*, uint32_t lo,
                                        uint32_t hi) {
  RecordKeys keys(this, worker, buffer, rowLength_, keyLength_, recordLength_);
  if (tqkey::radixSortKeys(keys, lo, size_t{hi} + 1)) return true;
  TQ_TRACE_SORT("TqSortVornFixedWorkSort(0x%p)->work() - stopping", this);
  return false;
}

TqSortVornFixedWorkMerge::TqSortVornFixedWorkMerge(TqSortVornImpl* engine, TqLogger* logger)
    : TqSortVornWorkMerge(engine, logger) {
  TQ_TRACE_SORT("TqSortVornFixedWorkMerge(0x%p)->TqSortVornFixedWorkMerge()", this);
}

TqSortVornFixedWorkMerge::~TqSortVornFixedWorkMerge() {
  TQ_TRACE_SORT("TqSortVornFixedWorkMerge(0x%p)->~TqSortVornFixedWorkMerge()", this);
}

}  // namespace tqlib
