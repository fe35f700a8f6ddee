// The work items of the chunk sort: sorting one chunk, and merging several.
//
// Both run on a pool thread (onMain false) or on the caller's thread (onMain true, no
// worker).  Each ends by destroying itself: after work(), failure() or destroy() the
// item must not be touched.
#ifndef TQ_SRC_SORTVORN_WORK_H
#define TQ_SRC_SORTVORN_WORK_H

#include "platform/tqbthreadpool.h"
#include "src/sortvorn.h"

// Orders the index entries of one full chunk by key, then enters the chunk into the
// engine's tree.
class TqSortVornWorkSort : public TqbThreadPoolWork {
 public:
  TqSortVornWorkSort(TqSortVornImpl* engine, TqLogger* logger, ChunkDescriptor* chunk);
  void work(bool onMain, TqbThreadPoolWorker* worker) override;
  void failure(bool cancelled) override;
  void destroy() override;
  // Sorts entries[lo..hi] ascending by key (median-of-three quicksort); false when the
  // sort was asked to stop.
  virtual bool sortRange(TqbThreadPoolWorker* worker, uint8_t* buffer, IndexEntry* entries,
                         uint32_t lo, uint32_t hi);
  ~TqSortVornWorkSort() override;

 protected:
  TqSortVornImpl* engine_;  // not owned
  TqLogger* logger_;
  ChunkDescriptor* chunk_;  // not owned (the engine's chunk list owns it)
};

// A merge request: merges its input chunks, whose key ranges overlap, into new chunks
// (work), or hands their rows one at a time to the reader in key order (nextRow, as
// the engine's read merge).
class TqSortVornWorkMerge : public TqbThreadPoolWork {
 public:
  TqSortVornWorkMerge(TqSortVornImpl* engine, TqLogger* logger);
  void work(bool onMain, TqbThreadPoolWorker* worker) override;
  void failure(bool cancelled) override;
  void destroy() override;
  // The next row in key order: 0 with `row` at its serialized bytes; -1 when the
  // request has no rows left (its last input went back to the tree, ready); another
  // status on failure.
  virtual int32_t nextRow(uint8_t** row);
  // Forgets the row nextRow returned last (it is not consumed).
  virtual void clearSelection();
  // Takes a chunk (out of the tree) as an input; false when the list cannot grow.
  bool addChunk(ChunkDescriptor* chunk);
  ~TqSortVornWorkMerge() override;

  bool readable = true;     // may become the read merge
  uint64_t rowCount = 0;    // rows of the inputs when they were added
  uint64_t rowsServed = 0;  // rows nextRow consumed (as the read merge)

 protected:
  // An input and the key its cursor is on, kept beside it so that choosing the next row
  // scans one flat array.
  struct Input {
    ChunkDescriptor* chunk;
    const uint8_t* key;
    uint32_t keyLength;
  };
  // Removes input `index`, keeping the order of the others.
  void removeInput(uint32_t index);
  // Refreshes the key of input `index` from its chunk's cursor.
  void refreshKey(uint32_t index) {
    Input& in = inputs_[index];
    in.key = in.chunk->buffer + in.chunk->cursor->keyOffset;
    in.keyLength = in.chunk->cursor->keyLength;
  }
  // Ends a pool-run merge: releases its count and wakes a waiting merge pass.
  void releaseMergeCount();

  TqSortVornImpl* engine_;
  TqLogger* logger_;
  bool needsReload_ = false;
  bool onMain_ = false;
  uint32_t capacity_ = 0;
  uint32_t inputCount_ = 0;
  Input* inputs_ = nullptr;  // owned array, in addChunk order
  ChunkDescriptor* selected_ = nullptr;
  int32_t selectedIndex_ = -1;
};

#endif
