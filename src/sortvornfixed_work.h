// The work items of the fixed-length chunk sort.
//
// The sort item first encodes the key area of every record of its chunk (on its
// worker thread: the host only serialized the rows), then sorts the records themselves
// with the key sort every engine shares (core/keysort.h), exchanging whole records in
// place.
// Merges need nothing of their own: the chunk sort's merge reads records through the
// same run readers, so the merge item only names itself in its traces (traceName).
#ifndef TQ_SRC_SORTVORNFIXED_WORK_H
#define TQ_SRC_SORTVORNFIXED_WORK_H

#include "src/sortvorn_work.h"
#include "src/sortvornfixed.h"

namespace tqlib {

class TqSortVornFixedWorkSort : public TqSortVornWorkSort {
 public:
  TqSortVornFixedWorkSort(TqSortVornFixedImpl* engine, TqLogger* logger, ChunkDescriptor* chunk);
  void work(bool onMain, TqbThreadPoolWorker* worker) override;
  // Sorts records lo..hi ascending by their key areas; `entries` plays no part.
  bool sortRange(TqbThreadPoolWorker* worker, uint8_t* buffer, IndexEntry* entries, uint32_t lo,
                 uint32_t hi) override;
  const char* traceName() const override { return "TqSortVornFixedWorkSort"; }
  ~TqSortVornFixedWorkSort() override;
  // The order of records a and b by their key areas.
  int compare(const uint8_t* buffer, uint32_t a, uint32_t b) const {
    return tqCompareKeys(buffer + uint64_t{a} * recordLength_ + rowLength_, keyLength_,
                         buffer + uint64_t{b} * recordLength_ + rowLength_, keyLength_);
  }
  // Swaps records a and b.
  void exchange(uint8_t* buffer, uint32_t a, uint32_t b);

 private:
  TqSortVornFixedImpl* fixed_;
  uint32_t rowLength_;     // fixedRowLength: also where a record's key area starts
  uint32_t keyLength_;     // the key area
  uint32_t recordLength_;  // rowLength_ + keyLength_
};

class TqSortVornFixedWorkMerge : public TqSortVornWorkMerge {
 public:
  TqSortVornFixedWorkMerge(TqSortVornImpl* engine, TqLogger* logger);
  const char* traceName() const override { return "TqSortVornFixedWorkMerge"; }
  ~TqSortVornFixedWorkMerge() override;
};

}  // namespace tqlib

#endif
