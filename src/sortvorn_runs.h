// Reading runs in key order, and choosing the next row among many of them.
//
// A run is read by a RunReader: a sorted chunk in memory row by row in place, or a run
// file front to back through a window of the engine's window size.  A run file holds
// its rows in key order, each as one record:
//
//   variable layout   u32 key length, u32 row length (little-endian), key, row
//   fixed layout      row (fixedRowLength bytes), key (the engine's keyLength bytes)
//
// The window refills as the rows are consumed.  It is the engine's window size, or the
// run's longest record when that is longer (TqSortVornImpl::windowFor): every record
// fits it whole, so a run of any length costs one window of memory, known before it
// is opened, and its file is read once, sequentially.
//
// A LoserTree (tournament tree) chooses, among k readers, the one whose current row has
// the smallest key: after the winner moves on, one comparison per level of the tree,
// log2(k) in all, finds the next winner.  Among equal keys the reader that came first
// wins, so merges of runs in input order keep equal rows in that order.
#ifndef TQ_SRC_SORTVORN_RUNS_H
#define TQ_SRC_SORTVORN_RUNS_H

#include "core/losertree.h"
#include "src/sortvorn.h"

namespace tqlib {

class RunReader {
 public:
  RunReader() = default;
  RunReader(const RunReader&) = delete;
  RunReader& operator=(const RunReader&) = delete;
  ~RunReader() { close(); }

  // Reads `run` (in memory) in place.
  void openMemory(TqSortVornImpl* engine, ChunkDescriptor* run);
  // Reads `run` (on disk) through `window` of `windowBytes` (at least the run's longest
  // record; owned by the reader from now on, freed by close).  Opens the file: a status
  // on failure (recorded with the engine).
  int32_t openStream(TqSortVornImpl* engine, ChunkDescriptor* run, uint8_t* window, uint32_t windowBytes);
  // Moves to the next row: 0 with row() set, -1 when the run has no more rows, a
  // status on failure (recorded with the engine).  The row stays valid until the next
  // call.
  int32_t advance();
  const RowRef& row() const { return row_; }
  // The current row's first 16 key bytes as two big-endian numbers (zero-padded).
  const uint64_t* prefix() const { return prefix_; }
  bool exhausted() const { return exhausted_; }
  ChunkDescriptor* run() const { return run_; }
  // Starts the run again from its first row (nothing read yet, or before the first
  // advance after open): memory runs only.
  void restart();
  // Closes the file and frees the window.
  void close();

 private:
  // Makes `n` bytes from the current read position contiguous in the window.  0, or a
  // status (a record longer than its run's longest is a damaged file).
  int32_t ensure(uint32_t n, const uint8_t** bytes);
  // advance for a run in memory.
  void advanceInMemory();
  int32_t readFailed(int32_t got);
  int32_t damaged();

  TqSortVornImpl* engine_ = nullptr;
  ChunkDescriptor* run_ = nullptr;
  RowRef row_;
  uint64_t prefix_[2] = {0, 0};
  bool exhausted_ = false;
  uint64_t left_ = 0;            // rows not yet returned by advance
  uint64_t index_ = 0;           // memory: the next row's index
  // Memory, variable layout: the chunk's buffer and its entries in key order.
  const uint8_t* base_ = nullptr;
  const IndexEntry* entries_ = nullptr;
  // Stream.
  NpHandle file_ = 0;
  uint8_t* window_ = nullptr;
  uint32_t windowSize_ = 0;
  uint32_t filled_ = 0;          // valid bytes in the window
  uint32_t at_ = 0;              // the current record's start in the window
  uint32_t consumed_ = 0;        // bytes of the current record (skipped by the next advance)
};

// Bytes a merge counts for each input besides its window: the reader, its places in the
// merge's lists and tournament tree, and what the allocator adds to each.
constexpr uint64_t kRunReaderBytes = sizeof(RunReader) + 64;

// The readers of a merge as the sources of its tournament: a reader's current row, by
// its key (the 16-byte prefix first).
class RunSources {
 public:
  explicit RunSources(RunReader** readers = nullptr) : readers_(readers) {}
  bool exhausted(uint32_t i) const { return readers_[i]->exhausted(); }
  int compare(uint32_t a, uint32_t b) const {
    const RunReader* x = readers_[a];
    const RunReader* y = readers_[b];
    // The first 16 key bytes decide most matches without touching the keys themselves.
    const uint64_t* p = x->prefix();
    const uint64_t* q = y->prefix();
    if (p[0] != q[0]) return p[0] < q[0] ? -1 : 1;
    if (p[1] != q[1]) return p[1] < q[1] ? -1 : 1;
    return tqCompareKeys(x->row().key, x->row().keyLength, y->row().key, y->row().keyLength);
  }

 private:
  RunReader** readers_;
};

// The tournament among a merge's readers (core/losertree.h), with its nodes.
class LoserTree {
 public:
  LoserTree() = default;
  LoserTree(const LoserTree&) = delete;
  LoserTree& operator=(const LoserTree&) = delete;
  ~LoserTree();

  // Plays every reader (each positioned on its first row, or exhausted); false when
  // the tree cannot be allocated.
  bool build(RunReader** readers, uint32_t count);
  // The reader whose row comes next; exhausted when every reader is.
  uint32_t winner() const { return tree_.winner(); }
  // The winner has moved on (or is exhausted): finds the next winner.
  void replay() { tree_.replay(); }

 private:
  RunSources sources_;
  uint32_t* nodes_ = nullptr;
  tqmerge::LoserTree<RunSources> tree_;
};

}  // namespace tqlib

#endif
