// TqSortVornImpl: the library's parallel external merge sort (the chunk sort), for rows
// of the variable-length layout; TqSortVornFixedImpl (sortvornfixed.h) derives from it
// for rows of fixed length.
//
// How a sort runs (the files sortvorn*.cc each open with the part they hold):
//
//  1. Writing (sortvorn.cc).  Each row is written into the current chunk, a buffer of
//     resolvedChunkSize_ bytes: its encoded sort key (sortvorn_keys.cc) followed by its
//     serialized fields, growing from the buffer's start, and a 32-byte IndexEntry
//     growing down from the buffer's end.  A full chunk goes to a sort work item on the
//     thread pool (sortvorn_work.cc) and a fresh chunk is taken; the host goes on adding
//     rows while earlier chunks are sorted.
//  2. Chunk store (sortvorn_store.cc).  A sorted chunk is a run: rows in key order.
//     When the budget has a buffer to spare, the sort item copies the chunk's rows in
//     key order into it (gatherInKeyOrder) and the old buffer becomes the spare, so
//     that reading the run in memory walks it front to back, as on disk, rather than
//     jumping to each row where it arrived (the gather runs on the pool, the reading
//     on the caller's thread).  Runs wait in a red-black tree ordered by their key range.  Memory is a budget of
//     bytes (maxChunksInMemory_ chunk buffers); when it runs short, a run's rows are
//     written, in key order, to a "tqsort_" temporary file, and the run lives on disk
//     from then on: it is read front to back through a small window (sortvorn_runs.h)
//     whenever it is merged or read, and never written again.
//  3. Merging and reading (sortvorn_merge.cc).  sort() sorts the last chunk on the
//     caller's thread.  Merge passes then walk the tree in key order: runs that overlap
//     nothing are read in place, one after another; a group of overlapping runs is
//     read through one read merge, which selects each next row among all of them with
//     a tournament tree.  Only when a group has more runs than the budget has windows
//     for do merge items on the pool first merge some of them into longer runs.
//
// Memory: rows live in chunk buffers (at most maxChunksInMemory_ of them), and runs on
// disk cost one window each while they are read; buffers, spare buffers and windows
// together stay within the budget, which is the sort size less the persist window when
// the chunks fill the sort size (plus key copies and descriptors, a few hundred bytes
// per run).
//
// Threads: the caller's thread ("main") runs every operation of the datafile; the pool
// runs sort and merge items.  chunkLock_ guards the tree, the run list, memory
// accounting, recorded errors and the statistics; bufferLock_ is held only by a thread
// waiting for memory (never together with chunkLock_).  An error on a pool thread is
// recorded (setError) and reaches the caller at its next call.
#ifndef TQ_SRC_SORTVORN_H
#define TQ_SRC_SORTVORN_H

#include <atomic>

#include "platform/lrbtree.h"
#include "platform/npfio.h"
#include "platform/tqbthreadpool.h"
#include "platform/tqsync.h"
#include "src/sortabs.h"

class TqSortVornImpl;
class TqSortVornWorkMerge;
class RunReader;

// Whether the caller of an engine operation already holds the chunk lock.
enum class ChunkLock { notHeld, held };
// What made a chunk that enters the tree: the sort of an input chunk, or a merge.
enum class ChunkSource { sort, merge };

// Index entry of one row in a variable-layout chunk.  The first 16 key bytes are kept
// beside the offsets, most significant first, so that sorting compares two numbers
// before it ever touches the keys in the buffer (they decide for most keys of one
// integer or one short string).
struct IndexEntry {
  uint64_t prefix[2];  // key bytes 0-7 and 8-15 as big-endian numbers, zero-padded
  uint32_t keyOffset;  // from the buffer's start; the row follows the key
  uint32_t keyLength;
  uint32_t rowLength;
  uint32_t spare;
  uint32_t rowOffset() const { return keyOffset + keyLength; }
};
static_assert(sizeof(IndexEntry) == 32, "index entries are 32 bytes");

// The key bytes of a key as the two prefix numbers of an index entry.
inline void tqKeyPrefix(const uint8_t* key, uint32_t length, uint64_t prefix[2]) {
  uint8_t padded[16] = {};
  __builtin_memcpy(padded, key, length < 16 ? length : 16);
  uint64_t a, b;
  __builtin_memcpy(&a, padded, 8);
  __builtin_memcpy(&b, padded + 8, 8);
  prefix[0] = __builtin_bswap64(a);
  prefix[1] = __builtin_bswap64(b);
}

// Unsigned bytewise comparison of two encoded keys.  Keys of one key definition differ
// before the shorter one ends or are equal in full, so comparing over the shorter
// length and then by length is their lexicographic order; it never reads past a key.
// Equality is tested 8 bytes at a time; keys are most significant byte first, so the
// first unequal word, byte-swapped, decides.
inline int tqCompareKeys(const uint8_t* a, uint32_t aLength, const uint8_t* b, uint32_t bLength) {
  uint32_t n = aLength < bLength ? aLength : bLength;
  for (; n >= 8; n -= 8, a += 8, b += 8) {
    uint64_t x, y;
    __builtin_memcpy(&x, a, 8);
    __builtin_memcpy(&y, b, 8);
    if (x != y) return __builtin_bswap64(x) < __builtin_bswap64(y) ? -1 : 1;
  }
  for (; n > 0; --n, ++a, ++b) {
    if (*a != *b) return *a < *b ? -1 : 1;
  }
  return aLength == bLength ? 0 : (aLength < bLength ? -1 : 1);
}

// Writes `count` bytes to a run file, going on after short writes as the file layer
// allows; false when a write fails or moves nothing.
inline bool tqWriteAll(NpHandle file, const void* bytes, uint64_t count) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  while (count > 0) {
    int32_t piece = count > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(count);
    int32_t wrote = np_fio_putb(file, p, piece);
    if (wrote <= 0) return false;
    p += wrote;
    count -= static_cast<uint64_t>(wrote);
  }
  return true;
}

// One row of a run, as merges and readers see it.
struct RowRef {
  const uint8_t* key = nullptr;
  uint32_t keyLength = 0;
  const uint8_t* row = nullptr;
  uint32_t rowLength = 0;
};

// One run: a sorted chunk in memory, or rows in key order in a "tqsort_" file.  Owned
// by the engine through chunkList_; fields of a run in the tree are guarded by
// chunkLock_.
struct ChunkDescriptor {
  LrbtNode node;                          // tree links; node.value is this descriptor
  ChunkDescriptor* nextInList = nullptr;  // chunkList_, newest first
  ChunkDescriptor* prevInList = nullptr;
  uint32_t id = 0;
  char* tempFileName = nullptr;           // the file holding the rows, or null
  uint64_t fileBytes = 0;                 // bytes of the file
  uint64_t rowCount = 0;
  uint8_t* lowKey = nullptr;              // copy of the first key; highKey follows it
  uint32_t lowKeyLength = 0;
  uint8_t* highKey = nullptr;
  uint32_t highKeyLength = 0;
  bool ready = false;                     // in final output order
  bool inTree = false;
  uint8_t* buffer = nullptr;              // resolvedChunkSize_ bytes, or null (on disk)
  // While the chunk is filled: where the next row goes (the entry of the variable
  // layout, the record of the fixed one).  While it is read in place: the next row.
  uint8_t* cursor = nullptr;
};

class TqSortVornImpl : public AbsTqSortfile {
 public:
  // Writes one key field of a row; 0, or 1 when it does not fit.
  typedef int32_t (*KeyWriter)(TqSortVornImpl& engine, TqDatafileField& column,
                               IndexEntry& entry, bool ascending);
  struct SortKeyField {
    TqDatafileField* column = nullptr;
    bool ascending = true;
    KeyWriter keyWriter = nullptr;
  };
  // Figures of the statistics block.
  struct Statistics {
    uint64_t resolvedSortBytes, resolvedChunkSize;
    int32_t sortThreads;
    uint32_t maxChunksInMemory, maxBuffersInUse, chunksCreatedDuringSort, chunksCreatedDuringMerge,
        chunksWrittenToDisk, mergesUntilFirstRow, mergePasses, mergesOnMain, readMergeCount,
        mergesSubmitted, mergePassWaits, bufferWaits;
    int64_t sortsOnMain, sortsSubmitted;
    uint64_t rowsReady;          // rows of ready runs and finished read merges: progress's base
    uint64_t windowSize;         // bytes of one window on a run on disk
    uint64_t runsStreamed;       // runs read through a window
    uint32_t maxWindowsInUse;
    uint64_t bytesWrittenToDisk;
    uint64_t peakBytesInUse;     // buffers, spares and windows together
  };

  TqSortVornImpl();

  // Datafile slots.
  int32_t addRow(int64_t* rowStart) override;
  TqbString getError() override;
  bool hasNext() override;
  void release() override;
  int32_t resetSort(int32_t keyCount) override;
  int32_t seek(int64_t position) override;
  int32_t setSort(int32_t key, int32_t field, int32_t ascending,
                  const TqCollation* collation) override;
  int32_t freeze() override;
  bool init(TqDatafileManager* manager, uint32_t flags) override;

  // Engine operations.
  using AbsTqSortfile::clear;
  void clean(bool all) override;
  int32_t clear(bool all) override;
  int32_t getEmptyChunk() override;
  int32_t getNextChunk(bool mayMergeOnMain) override;
  int32_t setKeys() override;
  int32_t submitChunk(bool final) override;
  int32_t rewind() override;
  int32_t recordedFailure() override { return recordedError(); }

  // Key writers (sortvorn_keys.cc).
  virtual int32_t writeBooleanKey(TqDatafileField& column, IndexEntry& entry, bool ascending);
  virtual int32_t writeDateKey(TqDatafileField& column, IndexEntry& entry, bool ascending);
  virtual int32_t writeIntegerKey(TqDatafileField& column, IndexEntry& entry, bool ascending);
  virtual int32_t writeRealKey(TqDatafileField& column, IndexEntry& entry, bool ascending);
  virtual int32_t writeStringKey(TqDatafileField& column, IndexEntry& entry, bool ascending);
  virtual TqSortVornWorkMerge* createMergeRequest(TqSortVornImpl* engine, TqLogger* logger);
  virtual int32_t nextRowFromChunk(bool* mark);
  // Enters a sorted chunk into the tree; false after an error was recorded.
  virtual bool insertChunk(ChunkDescriptor* chunk, ChunkSource source, ChunkLock lock);
  // Rewrites a sorted chunk's rows in key order into a free buffer, when the budget has
  // one without taking another chunk's (else nothing changes): reading the chunk then
  // walks its memory front to back.  `entries` are its n sorted index entries.  The
  // caller owns the chunk (its sort item).
  void gatherInKeyOrder(ChunkDescriptor* chunk, const IndexEntry* entries, uint32_t n);

  // Services for the work items (sortvorn_store.cc).
  void setError(int32_t status, const TqbString& message, ChunkLock lock);
  ChunkDescriptor* allocateChunk(ChunkLock lock);
  // A new descriptor for a run that exists only on disk (a merge's output); none after
  // an error was recorded.  Caller holds chunkLock_.
  ChunkDescriptor* allocateRun();
  int32_t getBuffer(ChunkDescriptor* chunk, bool fromHighEnd);
  // Writes a run's rows in key order to a "tqsort_" file; its buffer may then go.
  // Caller holds chunkLock_.
  int32_t persistChunk(ChunkDescriptor* chunk);
  void tossChunk(ChunkDescriptor* chunk, ChunkLock lock);
  // Takes `bytes` of the budget for windows, writing runs to disk when memory runs
  // short; a status when nothing more can be freed.  Caller holds chunkLock_.
  int32_t reserveWindows(uint64_t bytes);
  // Gives back what reserveWindows took.
  void releaseWindows(uint64_t bytes, ChunkLock lock);
  // A temporary file in a temporary directory that takes one (runDirOrder: in turns
  // from one file to the next, those with room for `bytes` first); its name in `name`
  // (260 bytes).  Records the error and returns a status on failure.
  int32_t createRunFile(char* name, NpHandle* handle, ChunkLock lock, uint64_t bytes = 0);
  // Message 1045 for a failed write of the run file `name` (errno `syserr`).
  TqbString writeFailure(const char* name, int syserr) const;
  // A sort item ended (sorted, stopped or given up), on the pool or on the caller's
  // thread.
  void sortEnded();
  // Copies the keys of a run's first and last rows and enters it into the tree (the
  // shared part of insertChunk, and how a merge's run on disk enters); false after an
  // error was recorded.
  bool enterTree(ChunkDescriptor* chunk, ChunkSource source, ChunkLock lock, RowRef low, RowRef high);
  // Counts bytes written to run files.  Caller holds chunkLock_ or not, as told.
  void countBytesWritten(uint64_t bytes, ChunkLock lock);
  // Counts a run read through a window.
  void noteRunStreamed() {
    lockChunks();
    ++runsStreamed_;
    unlockChunks();
  }
  int32_t nextRowFromMergeRequest(bool* mark);

  // The layout of rows in chunks and run files, for the shared merge and reading code.
  bool fixedLayout() const { return fixedLayout_; }
  // Fixed layout: bytes of a record's key area (the key fields, and the sequence
  // number of a stable sort).
  uint32_t keyAreaLength() const { return keyAreaLength_; }
  int32_t rowLength() const { return fixedRowLength_; }
  uint32_t windowSize() const { return windowSize_; }
  uint64_t budgetBytes() const { return budgetBytes_; }
  // Row `index` (in key order) of a sorted chunk in memory.
  // Row `index` of a sorted chunk in memory; with `prefix`, also the first 16 key bytes
  // as two big-endian numbers (tqKeyPrefix), which the merges compare first.
  RowRef rowOf(const ChunkDescriptor* chunk, uint64_t index, uint64_t* prefix = nullptr) const;

  void lockChunks() { tqLockGet(chunkLock_, 1, 1); }
  void unlockChunks() { tqLockRelease(chunkLock_); }
  bool aborted() const { return aborted_.load(std::memory_order_relaxed); }
  uint32_t resolvedChunkSize() const { return resolvedChunkSize_; }
  TqAtom* mergeAtomic() { return &mergeAtomic_; }
  TqEvent mergeWaiter() const { return mergeWaiter_; }
  TqLogger* logger() const { return logger_; }
  // The entry at `offset` bytes from the start of a chunk's buffer.
  static IndexEntry* entryAt(ChunkDescriptor* chunk, uint64_t offset) {
    return reinterpret_cast<IndexEntry*>(chunk->buffer + offset);
  }

  // For tests and tools.
  Statistics statistics();
  uint32_t maxChunksInMemory() const { return maxChunksInMemory_; }
  // Sets the window size of runs on disk (bytes, at least 16) for the next sort; 0
  // goes back to the size derived from the chunk size.  For tests that need windows
  // smaller than a row.
  void setWindowSize(uint32_t bytes) { requestedWindow_ = bytes; }

 protected:
  ~TqSortVornImpl() override;

  // Resolves the sizes and takes the first chunk (the shared part of setKeys).
  int32_t resolveSizes();
  // Ends the chunk being filled and hands it to a sort item of this engine (the body of
  // submitChunk for both layouts).
  int32_t submitCurrentChunk(bool final);
  // A sort item for a filled chunk, or null when it cannot be allocated.
  virtual TqbThreadPoolWork* newSortItem(ChunkDescriptor* chunk);
  // Hands a filled chunk to a sort item (`item` owns nothing yet).
  int32_t dispatchSort(TqbThreadPoolWork* item, bool final);
  // After the last chunk was submitted: the recorded error, or 0 (a sort of one chunk
  // is complete at once).
  int32_t finishInput(bool final);
  // The input has ended: the merge phase begins.
  void markFinalSubmit();
  // Puts a recorded worker error into lastError_ (main thread only).
  void adoptRecordedError();
  // The status of an error a work item recorded (its text put into lastError_), or 0.
  int32_t recordedError() {
    if (errorCode_ == 0) return 0;
    adoptRecordedError();
    return errorCode_;
  }
  // Reading: what getNextChunk does for both layouts.
  int32_t nextSource(bool mayMergeOnMain);

  bool fixedLayout_ = false;            // rows are fixed-length records (TqSortVornFixedImpl)
  SortKeyField* keyFields_ = nullptr;   // keyCount_ entries; main
  uint32_t resolvedChunkSize_ = 0;      // bytes of every chunk buffer
  uint32_t keyLength_ = 0;              // upper bound of a row's encoded key fields
  uint32_t keyAreaLength_ = 0;          // fixed layout: key fields and sequence number
  uint32_t realCollateLength_ = 0;
  ChunkDescriptor* currentChunk_ = nullptr;  // being filled / being read; chunkLock_
  TqbThreadPool threadPool_;
  int32_t sortThreads_ = 0;             // processors (at least 1) + 1

 private:
  // Reports progress to the host; false when it cancelled (548 recorded).
  bool reportProgress(bool lockHeld);
  int32_t mergePass(bool mayMergeOnMain);
  // Makes the read merge, or the pool merges that make room for it, for the group of
  // overlapping runs that starts at `first`.  Caller holds chunkLock_.
  int32_t mergeGroup(ChunkDescriptor* first);
  // Reads a ready run on disk through a window: a read merge of that one run.
  int32_t streamRun(ChunkDescriptor* run);
  void printStatistics();
  void dumpChunks();
  void dumpChunk(ChunkDescriptor* chunk);
  void dumpKey(const char* label, const uint8_t* key, uint32_t length);
  void freeChunk(ChunkDescriptor* chunk);  // file, keys, buffer, descriptor
  // Takes a buffer for a chunk: a spare, else a new allocation.  Caller holds chunkLock_.
  uint8_t* takeBuffer();
  // Gives a chunk's buffer back as a spare.  Caller holds chunkLock_.
  void keepSpare(uint8_t* buffer);
  // Frees one spare buffer; false when there is none.  Caller holds chunkLock_.
  bool dropSpare();
  // Wakes one thread waiting for memory, if any.  Caller holds chunkLock_.
  void wakeBufferWaiter();
  // Waits (chunkLock_ released meanwhile) until memory is given back; a status when
  // the sort stopped.  Caller holds chunkLock_ and holds it again on return.
  int32_t waitForMemory(uint32_t chunkId);
  // The run of the tree, other than `except`, whose buffer goes first when memory runs
  // short: from the high end (read last) or the low end.  Caller holds chunkLock_.
  ChunkDescriptor* bufferVictim(bool fromHighEnd, const ChunkDescriptor* except);
  // A "tqsort_" file in temporary directory `dirIndex` (the default place when the
  // manager has none); on failure the message in `message` and a status.
  int32_t createRunFileIn(int dirIndex, char* name, NpHandle* handle, TqbString* message);
  // The order in which a new run file of about `bytes` tries the temporary directories
  // (`count` of them): each new file starts at the next one, so that run files spread
  // over all of them, and a directory that has not that much room left comes after
  // those that have.  order[k] is the k-th; count is at most kMostRunDirs.
  static constexpr int kMostRunDirs = 64;
  void runDirOrder(uint64_t bytes, int order[kMostRunDirs], int* count);
  void unlinkChunk(ChunkDescriptor* chunk);
  void treeInsert(ChunkDescriptor* chunk);
  void treeDelete(ChunkDescriptor* chunk);
  ChunkDescriptor* treeFirst() const;
  static ChunkDescriptor* treeNext(ChunkDescriptor* chunk);
  static ChunkDescriptor* treePrev(ChunkDescriptor* chunk);
  static int compareChunks(const void* a, const void* b);
  // Writes the row's key and fields into the current chunk; status as addRow.
  int32_t writeRow(int64_t* rowStart);
  // A row that no chunk holds becomes a run of one row on disk, when the budget can
  // hold it; status as addRow.
  int32_t writeLongRow(int64_t* rowStart);

  int32_t tempDirCount_ = 0;            // the manager's directories (not owned)
  std::atomic<uint32_t> runFilesStarted_{0};  // run files begun: the turn of the directories
  TqbString* tempDirs_ = nullptr;
  uint32_t maxChunksInMemory_ = 0;      // at least 3
  uint64_t budgetBytes_ = 0;            // maxChunksInMemory_ chunk buffers
  uint32_t requestedWindow_ = 0;        // setWindowSize; 0: derived
  uint32_t windowSize_ = 0;             // resolved by setKeys
  uint8_t* persistWindow_ = nullptr;    // persistChunk's staging area; chunkLock_
  bool sorting_ = false;                // final chunk submitted; chunkLock_
  bool mergeComplete_ = false;          // no merge pass needed any more; chunkLock_
  std::atomic<bool> aborted_{false};    // error recorded or cleaning up; read unlocked
  int64_t indexLimit_ = 0;              // where the next row's entry goes (below: its room); main
  TqLock chunkLock_ = 0;
  std::atomic<int32_t> errorCode_{0};   // first recorded error; written under chunkLock_
  TqbString recordedError_;             // its text; chunkLock_
  bool recordedPending_ = false;        // recordedError_ not yet in lastError_; chunkLock_
  uint32_t nextChunkId_ = 0;            // chunkLock_
  uint32_t buffersInUse_ = 0;           // chunk buffers held by chunks; chunkLock_
  uint64_t bytesInUse_ = 0;             // buffers, spares and windows; chunkLock_
  uint32_t windowsInUse_ = 0;           // chunkLock_
  // Buffers of tossed chunks, kept for the next chunk that needs one instead of going
  // back to the allocator (whose per-thread arenas would hold on to them): a list
  // threaded through the buffers' first bytes.  They count in bytesInUse_.  chunkLock_.
  uint8_t* spareBuffers_ = nullptr;
  ChunkDescriptor* chunkList_ = nullptr;  // every descriptor, newest first; chunkLock_
  LrbtTree chunkTree_;                  // sorted runs waiting; chunkLock_
  TqAtom mergeAtomic_;                  // merges on the pool; 0x40000000: reader waits
  bool mergeAtomicCreated_ = false;
  TqEvent mergeWaiter_ = 0;
  uint32_t bufferWaiters_ = 0;          // chunkLock_
  uint32_t bufferGeneration_ = 0;       // grows each time bufferWaiter_ is posted; chunkLock_
  TqLock bufferLock_ = 0;
  TqEvent bufferWaiter_ = 0;
  TqSortVornWorkMerge* readMerge_ = nullptr;  // main
  bool statisticsPrinted_ = false;      // main
  // Statistics counters; chunkLock_.
  uint32_t bufferWaits_ = 0;
  uint32_t chunksCreatedDuringSort_ = 0;
  uint32_t maxBuffersInUse_ = 0;
  uint32_t mergesUntilFirstRow_ = 0;
  uint32_t mergePasses_ = 0;
  uint32_t mergesOnMain_ = 0;
  uint32_t readMergeCount_ = 0;
  uint32_t mergesSubmitted_ = 0;
  uint32_t mergePassWaits_ = 0;
  uint32_t chunksWrittenToDisk_ = 0;
  int64_t sortsOnMain_ = 0;     // chunks sorted on the caller's thread
  int64_t sortsSubmitted_ = 0;  // sort items handed to the pool
  int64_t sortsEnded_ = 0;      // sort items that ended, wherever they ran
  uint64_t rowsReady_ = 0;
  uint64_t runsStreamed_ = 0;
  uint32_t maxWindowsInUse_ = 0;
  uint64_t bytesWrittenToDisk_ = 0;
  uint64_t peakBytesInUse_ = 0;

  friend class TqSortVornWorkSort;
  friend class TqSortVornWorkMerge;
};

// The row readers the engine installs in rowReader_.
inline int32_t tqReadChunkRow(AbsTqSortfile& file, bool* mark) {
  return static_cast<TqSortVornImpl&>(file).nextRowFromChunk(mark);
}
inline int32_t tqReadMergeRow(AbsTqSortfile& file, bool* mark) {
  return static_cast<TqSortVornImpl&>(file).nextRowFromMergeRequest(mark);
}

#endif
