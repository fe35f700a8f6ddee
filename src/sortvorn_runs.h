// Writing runs to files and reading them in key order, and choosing the next row among
// many of them.
//
// A run is read by a RunReader: a sorted chunk in memory row by row in place, or a run
// file front to back through a window of the engine's window size.  A chunk whose rows
// still lie in arrival order (not gathered in key order) is read, when the budget has
// room, through a stage: many rows at a time are gathered into it in key order, in a
// tight loop that keeps many memory reads in flight, where a merge reading one row per
// step in place waits for each row's bytes in turn.  A run file holds
// its rows in key order, each as one record:
//
//   variable layout   header: three LEB128 numbers (core/varint.h): the bytes the key
//                     shares with the key of the record before (0 in a file's first
//                     record), the key's bytes after those, the row's length;
//                     then the key's bytes after the shared ones, then the row
//   fixed layout      row (fixedRowLength bytes), key (the engine's keyLength bytes)
//
// Keys of neighbouring rows in key order have long common beginnings (an integer's high
// bytes, a string's first characters, a whole first key field), which the variable
// layout writes once.  The reader makes each key whole again in its window, just before
// the rest of its bytes, copying the shared bytes from the key before (which lies in the
// window ahead of it) over the record's header and the record before, used up by then.
// A record as the reader holds it is its key and its row, adjacent, as in a chunk.
//
// The window refills as the rows are consumed.  It is the engine's window size (or less,
// down to an eighth, for a read merge of many runs), or the run's longest record (its key
// and row) when that is longer (TqSortVornImpl::windowFor):
// every record fits it whole, so a run of any length costs one window of memory, known
// before it is opened, and its file is read once, sequentially.  A header that runs past
// the window's end is read apart, a few bytes at a time, so that the key before stays in
// the window to share its bytes: the reader needs no memory beside the window.
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

// A variable record's header: the key's bytes shared with the key before, the key's
// bytes after those, the row's length, and the header's own bytes.
struct RecordHeader {
  uint32_t shared = 0;
  uint32_t rest = 0;
  uint32_t row = 0;
  uint32_t bytes = 0;
};

class RunReader {
 public:
  RunReader() = default;
  RunReader(const RunReader&) = delete;
  RunReader& operator=(const RunReader&) = delete;
  ~RunReader() { close(); }

  // Reads `run` (in memory) in place or, with `stage` (`stageBytes`, owned by the reader
  // from now on, freed by close), through it.
  void openMemory(TqSortVornImpl* engine, ChunkDescriptor* run, uint8_t* stage = nullptr, uint32_t stageBytes = 0);
  // Reads `run` (on disk) through `window` of `windowBytes` (at least the run's longest
  // record; owned by the reader from now on, freed by close).  Opens the file: a status
  // on failure (recorded with the engine).
  int32_t openStream(TqSortVornImpl* engine, ChunkDescriptor* run, uint8_t* window, uint32_t windowBytes);
  // Moves to the next row: 0 with row() set, -1 when the run has no more rows, a
  // status on failure (recorded with the engine).  The row and its key stay valid until
  // the next call (a key of a run on disk is made whole in the window, where the next
  // record's key overwrites it).
  int32_t advance();
  const RowRef& row() const { return row_; }
  // The current row's first 16 key bytes as two big-endian numbers (zero-padded).
  const uint64_t* prefix() const { return prefix_; }
  bool exhausted() const { return exhausted_; }
  bool staged() const { return stage_ != nullptr; }
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
  // advance for a run in memory read through the stage.
  void advanceStaged();
  // Gathers the rows from index_ on into the stage, in key order, as many as fit.
  void fillStage();
  // advance for a variable record on disk: its header, then its key made whole before its
  // row, in the window.
  int32_t nextRecord();
  // The header that the window holds only the start of (at_ onwards): those bytes, then
  // the rest from the file; the window is used up.  0, or a status.
  int32_t headerFromFile(RecordHeader* h);
  // prefix_ for the record just read, whose key shares `shared` bytes with the key before.
  void nextPrefix(uint32_t shared);
  int32_t readFailed(int32_t got);
  // The run file is damaged, for the reason `why`.
  int32_t damaged(const char* why);

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
  // Memory, through the stage: rows index_ to stageEnd_ - 1 lie in it from stageAt_ on;
  // a row longer than the stage is read in place (inPlace_).
  uint8_t* stage_ = nullptr;
  uint32_t stageSize_ = 0;
  uint32_t stageAt_ = 0;
  uint64_t stageEnd_ = 0;
  bool inPlace_ = false;
  // Stream.
  NpHandle file_ = 0;
  uint8_t* window_ = nullptr;
  uint32_t windowSize_ = 0;
  uint32_t filled_ = 0;          // valid bytes in the window
  uint32_t at_ = 0;              // the current record's start (its key) in the window
  uint32_t consumed_ = 0;        // bytes of the current record (skipped by the next advance)
};

// Writes the records of one run file (the formats above) through a window: records gather
// in it and go to the file when it fills, and a piece longer than the window goes
// straight through.  The writers of run files (a chunk written out, a merge's output)
// say how many bytes each key shares with the key before, from what they keep of it.
class RunWriter {
 public:
  RunWriter(bool fixedLayout, NpHandle file, uint8_t* window, uint32_t windowSize)
      : fixedLayout_(fixedLayout), file_(file), window_(window), windowSize_(windowSize) {}
  // Appends the record of `row`, whose key shares its first `shared` bytes with the key
  // of the record before in this file (0 for the file's first, and in the fixed
  // layout); false when a write fails.
  bool put(const RowRef& row, uint32_t shared);
  // Writes what the window holds; false when a write fails.
  bool flush();
  // Bytes given to the file so far.
  uint64_t written() const { return written_; }
  // The longest record put, as a reader holds it: its key and row.
  uint32_t longest() const { return longest_; }

 private:
  bool add(const void* bytes, uint32_t n);

  bool fixedLayout_;
  NpHandle file_;
  uint8_t* window_;
  uint32_t windowSize_;
  uint32_t fill_ = 0;
  uint64_t written_ = 0;
  uint32_t longest_ = 0;
};

// Bytes a merge counts for each input besides its window: the reader, its places in the
// merge's lists and tournament tree, and what the allocator adds to each.
constexpr uint64_t kRunReaderBytes = sizeof(RunReader) + 64;

// The stage of a reader of a chunk in arrival order (kStageBytes), for chunks of at least
// kStageLeastRows rows; smaller ones are read in place.
constexpr uint32_t kStageBytes = 64 << 10;
constexpr uint64_t kStageLeastRows = 1024;

// The readers of a merge as the sources of its tournament: a reader's current row, by
// its key (the 16-byte prefix first).
class RunSources {
 public:
  explicit RunSources(RunReader** readers = nullptr) : readers_(readers) {}
  bool exhausted(uint32_t i) const { return readers_[i]->exhausted(); }
  // The first 8 key bytes, which the tree keeps beside each loser (core/losertree.h).
  uint64_t head(uint32_t i) const { return readers_[i]->prefix()[0]; }
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
  tqmerge::LoserTree<RunSources>::Node* nodes_ = nullptr;
  tqmerge::LoserTree<RunSources> tree_;
};

}  // namespace tqlib

#endif
