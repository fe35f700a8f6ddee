// The work items of the chunk sort: sorting one chunk, and merging runs.
//
// Both run on a pool thread (onMain false) or on the caller's thread (onMain true, no
// worker).  Each ends by destroying itself: after work(), failure() or destroy() the
// item must not be touched.
#ifndef TQ_SRC_SORTVORN_WORK_H
#define TQ_SRC_SORTVORN_WORK_H

#include "platform/tqbthreadpool.h"
#include "src/sortvorn.h"
#include "src/sortvorn_runs.h"

namespace tqlib {

// Orders the index entries of one full chunk by key, then enters the chunk into the
// engine's tree.
class TqSortVornWorkSort : public TqbThreadPoolWork {
 public:
  TqSortVornWorkSort(TqSortVornImpl* engine, TqLogger* logger, ChunkDescriptor* chunk);
  void work(bool onMain, TqbThreadPoolWorker* worker) override;
  void failure(bool cancelled) override;
  void destroy() override;
  // Sorts entries[lo..hi] ascending by key (tqkey::radixSortKeys); false when the sort
  // was asked to stop.
  virtual bool sortRange(TqbThreadPoolWorker* worker, uint8_t* buffer, IndexEntry* entries,
                         uint32_t lo, uint32_t hi);
  // The class name that the item's traces begin with.
  virtual const char* traceName() const { return "TqSortVornWorkSort"; }
  ~TqSortVornWorkSort() override;
  // The last chunk's sort on the caller's thread, shared with a pool thread: the chunk
  // split by its first key byte that differs (tqkey::splitKeys), the upper buckets
  // handed to the pool, the lower ones sorted by the caller; false when it was stopped.
  bool sortShared(uint8_t* buffer, IndexEntry* entries, uint32_t n);
  // True when the sort should stop: an error was recorded, or the pool is stopping.
  bool stopping(TqbThreadPoolWorker* worker) const;

 protected:

  TqSortVornImpl* engine_;  // not owned
  TqLogger* logger_;
  ChunkDescriptor* chunk_;  // not owned (the engine's chunk list owns it)
};

// A merge request over runs whose key ranges overlap.  As the engine's read merge it
// hands their rows to the reader one at a time in key order (nextRow); on the pool it
// merges them into one longer run on disk (work), when a group of runs is too large
// for one read merge.  Either way every row of every input goes through it, selected by
// a tournament tree; runs on disk are read through windows that the merge pass
// reserved (windowBytes).
class TqSortVornWorkMerge : public TqbThreadPoolWork {
 public:
  TqSortVornWorkMerge(TqSortVornImpl* engine, TqLogger* logger);
  void work(bool onMain, TqbThreadPoolWorker* worker) override;
  void failure(bool cancelled) override;
  void destroy() override;
  // destroy() for a caller that holds the chunk lock (a merge pass giving up a request).
  void destroyLocked();
  // The next row in key order: 0 with `row` at its serialized bytes; -1 when the
  // request has no rows left; another status on failure.
  virtual int32_t nextRow(uint8_t** row);
  // Forgets the row nextRow returned last (it is not consumed).
  virtual void clearSelection();
  // Takes a run (out of the tree) as an input; false when the list cannot grow.
  bool addChunk(ChunkDescriptor* chunk);
  // The inputs, in addChunk order (before any row was read).
  ChunkDescriptor** inputs() { return inputs_; }
  uint32_t inputCount() const { return inputCount_; }
  // Keeps only the first `count` inputs; the caller has taken the others back.
  void truncateInputs(uint32_t count);
  // Bytes of the row nextRow returned last.
  uint32_t currentRowLength() const;
  // The key of the row nextRow returned last (0), and its length.
  const uint8_t* currentKey(uint32_t* length) const {
    const RowRef& r = readers_[tree_.winner()]->row();
    *length = r.keyLength;
    return r.key;
  }
  // The class name that the request's traces begin with.
  virtual const char* traceName() const { return "TqSortVornWorkMerge"; }
  ~TqSortVornWorkMerge() override;

  bool countedReady = false; // a ready run read through a window: its rows counted as ready
  bool readable = true;     // may become the read merge
  bool whileAdding = false; // started by mergeDuringInput: its end lets the next one start
  uint64_t rowCount = 0;    // rows of the inputs when they were added
  uint64_t rowsServed = 0;  // rows nextRow consumed (as the read merge)
  uint64_t windowBytes = 0; // budget the merge pass reserved for this request's windows
  uint32_t readWindow = 0;  // the window its runs on disk are read through; 0: the engine's
  uint32_t files = 0;       // run files it reserved to hold open
  uint64_t stageBytes = 0;  // budget the merge pass reserved for its readers' stages

 protected:
  // Opens a reader on every input, each on its first row, and plays the tournament.
  int32_t openInputs();
  // A stage for reading the run `run` (kStageBytes), one of the `*stages` the merge pass
  // reserved, or null when it is read in place: it needs none (needsStage), none is
  // left, or there is no memory.
  uint8_t* stageFor(const ChunkDescriptor* run, uint64_t* stages);
  // Gives an exhausted input's run back (file, buffer, descriptor).
  void dropInput(uint32_t index);
  // Ends a pool-run merge: releases its count and wakes a waiting merge pass.
  void releaseMergeCount();
  // Gives back what the request still holds: inputs, readers, windows.
  void giveBack();
  // The run a merge writes: its writer, and the key copies of its first and last rows
  // (the first kKeyCopyBytes of each, with the full length).
  struct RunOutput {
    RunOutput(bool fixedRows, NpHandle file, uint8_t* window, uint32_t windowSize)
        : writer(fixedRows, file, window, windowSize), fixedLayout(fixedRows) {}
    RunWriter writer;
    bool fixedLayout;
    uint64_t rows = 0;
    uint8_t low[kKeyCopyBytes];
    uint32_t lowLength = 0;
    uint8_t high[kKeyCopyBytes];
    uint32_t highLength = 0;
    // Appends a row's record; false when a write fails.
    bool put(const RowRef& row);
  };
  // About the bytes of the merged run: the inputs' files, and a chunk for each in memory.
  uint64_t inputBytes() const;
  // Writes the merged rows to a new run file and enters the run into the tree.
  int32_t mergeToRun(TqbThreadPoolWorker* worker, ChunkLock lock);
  // Makes the descriptor of the written run `name` and enters it into the tree.
  int32_t enterRun(const char* name, const RunOutput& out, ChunkLock lock);

  TqSortVornImpl* engine_;
  TqLogger* logger_;
  bool onMain_ = false;
  ChunkLock destroyLock_ = ChunkLock::notHeld;  // whether the destructor's caller holds the lock
  bool opened_ = false;
  bool selected_ = false;    // nextRow returned the winner's row, not yet consumed
  uint32_t capacity_ = 0;
  uint32_t inputCount_ = 0;
  ChunkDescriptor** inputs_ = nullptr;  // owned array, in addChunk order
  RunReader** readers_ = nullptr;       // owned, one per input
  LoserTree tree_;
};

// Bytes a merge request counts for itself: the object, its lists, its tournament tree.
constexpr uint64_t kMergeRequestBytes = sizeof(TqSortVornWorkMerge) + 128;

}  // namespace tqlib

#endif
