// TqSortVornImpl: the library's parallel external merge sort for variable-length rows.
//
// How a sort runs (the files sortvorn*.cc each open with the part they hold):
//
//  1. Writing (sortvorn.cc).  Each row is written into the current chunk, a buffer of
//     resolvedChunkSize_ bytes: its encoded sort key (sortvorn_keys.cc) followed by its
//     serialized fields, growing from the buffer's start, and a 16-byte IndexEntry
//     growing down from the buffer's end.  A full chunk goes to a sort work item on the
//     thread pool (sortvorn_work.cc) and a fresh chunk is taken; the host goes on adding
//     rows while earlier chunks are sorted.
//  2. Chunk store (sortvorn_store.cc).  Sorted chunks wait in a red-black tree ordered
//     by their key range.  At most maxChunksInMemory_ buffers exist; a chunk that needs
//     one takes it from another chunk in the tree, whose image goes to a "tqsort_"
//     temporary file first, and reloads its own image when it is needed again.
//  3. Merging and reading (sortvorn_merge.cc).  sort() sorts the last chunk on the
//     caller's thread.  Merge passes then walk the tree in key order: chunks that
//     overlap nothing are marked ready and read in place; runs of overlapping chunks are
//     merged by merge work items (on the pool, or on the caller's thread when memory is
//     nearly exhausted), or, when the run is first and closed, read directly out of the
//     merge without writing merged chunks at all (the read merge).
//
// Memory: rows live only in chunk buffers, and never more than maxChunksInMemory_ of
// them exist (plus key copies and descriptors, a few hundred bytes per chunk).  A merge
// holds its inputs and one output chunk at a time; the merge pass budgets both.
//
// Threads: the caller's thread ("main") runs every operation of the datafile; the pool
// runs sort and merge items.  chunkLock_ guards the tree, the chunk list, buffer
// accounting, recorded errors and the statistics; bufferLock_ is held only by a thread
// waiting for a free buffer (never together with chunkLock_).  An error on a pool
// thread is recorded (setError) and reaches the caller at its next call.
#ifndef TQ_SRC_SORTVORN_H
#define TQ_SRC_SORTVORN_H

#include <atomic>

#include "platform/lrbtree.h"
#include "platform/tqbthreadpool.h"
#include "platform/tqsync.h"
#include "src/sortabs.h"

class TqSortVornImpl;
class TqSortVornWorkMerge;

// Whether the caller of an engine operation already holds the chunk lock.
enum class ChunkLock { notHeld, held };
// What made a chunk that enters the tree: the sort of an input chunk, or a merge.
enum class ChunkSource { sort, merge };

// Index entry of one row in a chunk: offsets from the buffer's start.
struct IndexEntry {
  uint32_t keyOffset;
  uint32_t keyLength;
  uint32_t rowOffset;  // keyOffset + keyLength
  uint32_t rowLength;
};
static_assert(sizeof(IndexEntry) == 16, "index entries are 16 bytes");

// One chunk.  Owned by the engine through chunkList_; fields of a chunk in the tree are
// guarded by chunkLock_.
struct ChunkDescriptor {
  LrbtNode node;                          // tree links; node.value is this descriptor
  ChunkDescriptor* nextInList = nullptr;  // chunkList_, newest first
  ChunkDescriptor* prevInList = nullptr;
  uint32_t id = 0;
  char* tempFileName = nullptr;           // "tqsort_" file holding the image, or null
  uint32_t rowCount = 0;
  uint8_t* lowKey = nullptr;              // copy of the first key; highKey follows it
  uint32_t lowKeyLength = 0;
  uint8_t* highKey = nullptr;
  uint32_t highKeyLength = 0;
  bool ready = false;                     // in final output order
  bool inTree = false;
  uint8_t* buffer = nullptr;              // resolvedChunkSize_ bytes, or null
  IndexEntry* cursor = nullptr;           // next entry to fill or read
  uint64_t cursorOffset = 0;              // cursor's byte offset while the image is on disk
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
    uint64_t rowsReady;  // rows of ready chunks and finished read merges: progress's base
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

  // Services for the work items (sortvorn_store.cc).
  void setError(int32_t status, const TqbString& message, ChunkLock lock);
  ChunkDescriptor* allocateChunk(ChunkLock lock);
  int32_t getBuffer(ChunkDescriptor* chunk, bool fromHighEnd);
  int32_t persistChunk(ChunkDescriptor* chunk);
  int32_t reloadChunk(ChunkDescriptor* chunk, ChunkLock lock);
  void tossChunk(ChunkDescriptor* chunk, ChunkLock lock);
  // A sort item ended (sorted, stopped or given up), on the pool or on the caller's
  // thread.
  void sortEnded();
  int32_t nextRowFromMergeRequest(bool* mark);

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

 protected:
  ~TqSortVornImpl() override;

 private:
  // Reports progress to the host; false when it cancelled (548 recorded).
  bool reportProgress(bool lockHeld);
  int32_t mergePass(bool mayMergeOnMain);
  void printStatistics();
  void dumpChunks();
  void dumpChunk(ChunkDescriptor* chunk);
  void dumpKey(const char* label, const uint8_t* key, uint32_t length);
  // Puts a recorded worker error into lastError_ (main thread only).
  void adoptRecordedError();
  void freeChunk(ChunkDescriptor* chunk);  // file, keys, buffer, descriptor
  // Takes a buffer for a chunk: a spare, else a new allocation.  Caller holds chunkLock_.
  uint8_t* takeBuffer();
  // Gives a chunk's buffer back as a spare.  Caller holds chunkLock_.
  void keepSpare(uint8_t* buffer);
  // Wakes one thread waiting for a buffer, if any.  Caller holds chunkLock_.
  void wakeBufferWaiter();
  void unlinkChunk(ChunkDescriptor* chunk);
  void treeInsert(ChunkDescriptor* chunk);
  void treeDelete(ChunkDescriptor* chunk);
  ChunkDescriptor* treeFirst() const;
  static ChunkDescriptor* treeNext(ChunkDescriptor* chunk);
  static ChunkDescriptor* treePrev(ChunkDescriptor* chunk);
  static int compareChunks(const void* a, const void* b);
  // Writes the row's key and fields into the current chunk; status as addRow.
  int32_t writeRow(int64_t* rowStart);

  SortKeyField* keyFields_ = nullptr;   // keyCount_ entries; main
  int32_t tempDirCount_ = 0;            // the manager's directories (not owned)
  TqbString* tempDirs_ = nullptr;
  int32_t sortThreads_ = 0;             // processors (at least 1) + 1
  uint32_t resolvedChunkSize_ = 0;      // bytes of every chunk buffer
  TqbThreadPool threadPool_;
  uint32_t realCollateLength_ = 0;
  uint32_t keyLength_ = 0;              // upper bound of a row's encoded key
  uint32_t maxChunksInMemory_ = 0;      // at least 3
  bool sorting_ = false;                // final chunk submitted; chunkLock_
  bool mergeComplete_ = false;          // no merge pass needed any more; chunkLock_
  std::atomic<bool> aborted_{false};    // error recorded or cleaning up; read unlocked
  ChunkDescriptor* currentChunk_ = nullptr;  // being filled / being read; chunkLock_
  uint32_t indexLimit_ = 0;             // where the current chunk's index begins; main
  TqLock chunkLock_ = 0;
  std::atomic<int32_t> errorCode_{0};   // first recorded error; written under chunkLock_
  TqbString recordedError_;             // its text; chunkLock_
  bool recordedPending_ = false;        // recordedError_ not yet in lastError_; chunkLock_
  uint32_t nextChunkId_ = 0;            // chunkLock_
  uint32_t buffersInUse_ = 0;           // chunkLock_
  // Buffers of tossed chunks, kept for the next chunk that needs one instead of going
  // back to the allocator (whose per-thread arenas would hold on to them): a list
  // threaded through the buffers' first bytes.  Spares and buffers in use together
  // never exceed maxChunksInMemory_.  chunkLock_.
  uint8_t* spareBuffers_ = nullptr;
  ChunkDescriptor* chunkList_ = nullptr;  // every descriptor, newest first; chunkLock_
  LrbtTree chunkTree_;                  // sorted chunks waiting; chunkLock_
  TqAtom mergeAtomic_;                  // merges on the pool; 0x40000000: reader waits
  bool mergeAtomicCreated_ = false;
  TqEvent mergeWaiter_ = 0;
  uint32_t bufferWaiters_ = 0;          // chunkLock_
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
  uint32_t bufferGeneration_ = 0;  // grows each time bufferWaiter_ is posted; chunkLock_

  friend class TqSortVornWorkSort;
  friend class TqSortVornWorkMerge;
};

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

// The row readers the engine installs in rowReader_.
inline int32_t tqReadChunkRow(AbsTqSortfile& file, bool* mark) {
  return static_cast<TqSortVornImpl&>(file).nextRowFromChunk(mark);
}
inline int32_t tqReadMergeRow(AbsTqSortfile& file, bool* mark) {
  return static_cast<TqSortVornImpl&>(file).nextRowFromMergeRequest(mark);
}

#endif
