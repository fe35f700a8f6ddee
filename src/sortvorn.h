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
//     on the caller's thread).  Runs wait in a red-black tree ordered by their key
//     range.  Memory is a budget of bytes (maxChunksInMemory_ chunk buffers); when it
//     runs short, a run's rows are written, in key order, to a "tqsort_" temporary
//     file, and the run lives on disk from then on: it is read front to back through a
//     small window (sortvorn_runs.h) whenever it is merged or read, and never written
//     again.
//  3. Merging and reading (sortvorn_merge.cc).  sort() sorts the last chunk on the
//     caller's thread.  Merge passes then walk the tree in key order: runs that overlap
//     nothing are read in place, one after another; a group of overlapping runs is
//     read through one read merge, which selects each next row among all of them with
//     a tournament tree.  Only when a group has more runs than the budget has windows
//     for do merge items on the pool first merge some of them into longer runs.
//
// Memory: everything the sort holds counts against its budget, the sort size: chunk
// buffers (at most maxChunksInMemory_ of them), spare buffers, the persist window, the
// windows through which runs on disk are read (each as long as its run's longest
// record) with their readers, and each run's descriptor, file name and key copies (cut
// to kKeyCopyBytes), for which a share of the budget is kept while rows come in.  Runs
// on disk are merged while rows come in before their metadata outgrows that share.
// Run files held open at once are bounded too (fileLimit_), by what the process may
// still open.

// Threads: the caller's thread ("main") runs every operation of the datafile; the pool
// runs sort and merge items.  chunkLock_ guards the tree, the run list, memory
// accounting, recorded errors and the statistics; bufferLock_ is held only by a thread
// waiting for memory (never together with chunkLock_).  An error on a pool thread is
// recorded (setError) and reaches the caller at its next call.
#ifndef TQ_SRC_SORTVORN_H
#define TQ_SRC_SORTVORN_H

#include <atomic>

#include "core/rowbytes.h"
#include "core/sortkey.h"
#include "core/varint.h"
#include "platform/lrbtree.h"
#include "platform/npfio.h"
#include "platform/tqbthreadpool.h"
#include "platform/tqsync.h"
#include "src/sortabs.h"

namespace tqlib {

class TqSortVornImpl;
class TqSortVornWorkMerge;
class RunReader;

// A record of a variable layout's run file (sortvorn_runs.h) begins with three LEB128
// numbers (core/varint.h): the bytes its key shares with the key of the record before it
// in the same file (none for a file's first record), the key's bytes after those, and
// the row's length.  The header takes 3 bytes while those are shorter than 128, this
// many at most.
constexpr uint32_t kMostRecordHeader = 3 * tqvarint::kMost32;

// The bytes two keys have in common from their start.  Compares 8 bytes at a time; in
// two words loaded little-endian (as tqCompareKeys loads them) the lowest differing bit
// lies in their first differing byte.
inline uint32_t tqSharedPrefix(const uint8_t* a, uint32_t aLength, const uint8_t* b, uint32_t bLength) {
  const uint32_t n = aLength < bLength ? aLength : bLength;
  uint32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t x, y;
    __builtin_memcpy(&x, a + i, 8);
    __builtin_memcpy(&y, b + i, 8);
    if (x != y) return i + static_cast<uint32_t>(__builtin_ctzll(x ^ y) >> 3);
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// Writes the header of a record whose key of `keyLength` bytes shares `shared` with the
// key before it, at `to` (kMostRecordHeader bytes of room); its bytes.
inline uint32_t tqPutRecordHeader(uint8_t* to, uint32_t shared, uint32_t keyLength, uint32_t rowLength) {
  size_t n = tqvarint::put(to, shared);
  n += tqvarint::put(to + n, keyLength - shared);
  n += tqvarint::put(to + n, rowLength);
  return static_cast<uint32_t>(n);
}

// Run files a sort holds open at once: at least a merge of two runs with its output
// and the files that write a run and a long row; at most this many.
constexpr uint32_t kLeastRunFiles = 5;
constexpr uint32_t kMostRunFiles = 4096;
// The least window a read merge shrinks its windows to (readWindowFor).
constexpr uint32_t kLeastReadWindow = 4096;
// Runs merged at once while rows come in, at most.
constexpr uint32_t kInputMergeFanIn = 64;

// Whether the caller of an engine operation already holds the chunk lock.
enum class ChunkLock { notHeld, held };
// When a merge of runs on the pool was started: while rows come in (to keep the runs'
// metadata within its share), or before reading (a group too large to read at once).
enum class MergeTime { whileAdding, beforeReading };
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
static_assert(sizeof(IndexEntry) == tqrowbytes::kIndexEntryBytes, "index entries are 32 bytes");

// Rows a walk in key order over a chunk in arrival order asks for ahead of its turn,
// so that many reads of memory are in flight at once.
constexpr uint64_t kRowsAhead = 16;

// Asks for the bytes of the row that `e` indexes in `buffer`, its key's first line and
// its row's last (a row of a few dozen bytes often spans two lines).
inline void tqPrefetchRow(const uint8_t* buffer, const IndexEntry& e) {
  __builtin_prefetch(buffer + e.keyOffset);
  __builtin_prefetch(buffer + e.rowOffset() + e.rowLength - 1);
}

// The key bytes of a key as the two prefix numbers of an index entry.
inline void tqKeyPrefix(const uint8_t* key, uint32_t length, uint64_t prefix[2]) {
  prefix[0] = tqkey::loadPrefix(key, length);
  prefix[1] = length > 8 ? tqkey::loadPrefix(key + 8, length - 8) : 0;
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

// Bytes of a run's key copies (lowKey, highKey), each at most.
constexpr uint32_t kKeyCopyBytes = 256;

// The order of two key copies: <0, 0 or >0, or kKeysUndecided when one of them is cut
// and the bytes both have are equal (the cut key may be either side of the other).
constexpr int kKeysUndecided = 2;
inline int tqCompareKeyCopies(const uint8_t* a, uint32_t aLength, bool aCut, const uint8_t* b,
                              uint32_t bLength, bool bCut) {
  int c = tqCompareKeys(a, aLength < bLength ? aLength : bLength, b, aLength < bLength ? aLength : bLength);
  if (c != 0) return c;
  if ((aCut && bLength >= aLength) || (bCut && aLength >= bLength)) return kKeysUndecided;
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
  // Bytes of the file's longest record as a reader holds it: the row and its key (made
  // whole again, in the variable layout; the file holds fewer).
  uint32_t maxRecord = 0;
  uint64_t rowCount = 0;
  // Copies of the first and the last key, each cut to kKeyCopyBytes (lowCut / highCut
  // tell that the key goes on): enough to order the runs and to see most overlaps, and
  // a run never holds more than that of its keys in memory.  highKey follows lowKey in
  // one allocation, or is lowKey itself for a run of one row.
  uint8_t* lowKey = nullptr;
  uint32_t lowKeyLength = 0;
  uint8_t* highKey = nullptr;
  uint32_t highKeyLength = 0;
  bool lowCut = false;
  bool highCut = false;
  bool ready = false;                     // in final output order
  bool inTree = false;
  uint64_t metaBytes = 0;                 // budget bytes of this descriptor, its name and keys
  uint8_t* buffer = nullptr;              // resolvedChunkSize_ bytes, or null (on disk)
  // A sorted chunk whose rows lie in the buffer in key order (gathered): reading it walks
  // the buffer front to back, with nothing to fetch ahead.
  bool inKeyOrder = false;
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
  // The work a sort counts as it goes (under the chunk lock); clean starts them again.
  struct Counters {
    uint32_t bufferWaits = 0;
    uint32_t chunksCreatedDuringSort = 0;
    uint32_t maxBuffersInUse = 0;
    uint32_t mergesUntilFirstRow = 0;
    uint32_t mergePasses = 0;
    uint32_t mergesOnMain = 0;
    uint32_t readMergeCount = 0;
    uint32_t mergesSubmitted = 0;
    uint32_t mergePassWaits = 0;
    uint32_t chunksWrittenToDisk = 0;
    uint32_t chunksWrittenAhead = 0;   // of those, by writeAhead
    uint64_t runsStreamed = 0;     // runs read through a window
    uint64_t runsStaged = 0;       // chunks in arrival order read through a stage
    uint32_t maxWindowsInUse = 0;
    uint64_t bytesWrittenToDisk = 0;
    uint64_t bytesMergedToDisk = 0;  // of those, by merges of runs into longer runs
    uint64_t peakBytesInUse = 0;   // everything the budget counts, at its highest
    uint32_t maxRunFilesOpen = 0;  // run files open at once, at most
    uint32_t inputMerges = 0;      // merges of runs while rows came in
    uint32_t sharedSorts = 0;      // last chunks whose sort a pool thread shared
  };
  // What statistics() reports: the counts, and the sizes and figures beside them.
  struct Statistics : Counters {
    uint64_t resolvedSortBytes, resolvedChunkSize;
    int32_t sortThreads;
    uint32_t maxChunksInMemory, chunksCreatedDuringMerge;
    int64_t sortsOnMain, sortsSubmitted;
    int64_t sortsEnded;          // sort items that ended, wherever they ran
    uint64_t rowsReady;          // rows of ready runs and finished read merges: progress's base
    uint64_t windowSize;         // bytes of one window on a run on disk
    uint32_t runFileLimit;       // run files the sort may hold open at once
  };

  // The sizes a sort resolves from its sort size (0: none) and chunk size.
  struct SizePlan {
    uint64_t budget = 0;      // the memory it counts against (the sort size, or grown)
    uint32_t chunk = 0;       // bytes of a chunk buffer
    uint32_t chunks = 0;      // chunk buffers that fit beside what is kept
    uint32_t window = 0;      // bytes of a window on a run file
    uint64_t share = 0;       // kept for the runs' metadata
    bool chunkShrunk = false; // the chunk was made smaller to fit three
  };
  // `minChunk`: what one row needs; `leastChunks`: buffers without a sort size;
  // `requestedWindow`: a window size set for tests (0: derived).
  static SizePlan planSizes(uint64_t sortSize, uint64_t chunk, uint64_t minChunk, uint64_t leastChunks,
                            uint32_t requestedWindow);
  // The longest record (a row and its key, as a run of one row holds it) that a sort of
  // these sizes accepts: the memory must hold two of them at once.
  static uint64_t longRowLimitOf(const SizePlan& plan);

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
  void clean(ClearScope scope) override;
  int32_t clear(ClearScope scope) override;
  int32_t getEmptyChunk() override;
  int32_t getNextChunk() override;
  int32_t setKeys() override;
  int32_t submitChunk(Submit which) override;
  int32_t rewind() override;
  int32_t recordedFailure() override { return recordedError(); }
  bool isNewGroup() override;
  int32_t prepareGrouping() override;
  double workDone() override;
  void stopWork() override;
  int32_t keepOnlyInKey(int32_t column) override;
  int32_t rowSortKey(const uint8_t** key, uint32_t* keyLength) override {
    *key = rowKey_;
    *keyLength = rowKeyLength_;
    return StatusOk;
  }

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
  // an error was recorded.
  ChunkDescriptor* allocateRun() TQ_REQUIRES(chunkLock_);
  // Which end of the tree gives up a run's buffer first when memory runs short: the runs
  // with the highest keys (read last) or those with the lowest.
  enum class VictimEnd { lowKeys, highKeys };
  int32_t getBuffer(ChunkDescriptor* chunk, VictimEnd victims) TQ_REQUIRES(chunkLock_);
  // Writes a run's rows in key order to a "tqsort_" file; its buffer may then go.  A
  // failure is recorded: the sort cannot go on.
  int32_t persistChunk(ChunkDescriptor* chunk) TQ_REQUIRES(chunkLock_);
  // Chunk buffers a chunk could take without taking a run's: spares, then new ones the
  // budget has room for; counted up to `enough`.
  uint32_t freeBuffers(uint32_t enough) const TQ_REQUIRES(chunkLock_);
  // persistChunk's write, which leaves the decision to its caller: the status, and the
  // message in `message` on failure (the file removed, the run unchanged).
  int32_t writeRunFile(ChunkDescriptor* chunk, TqbString* message) TQ_REQUIRES(chunkLock_);
  // Called by a sort item after its chunk entered the tree: once rows have outgrown the
  // memory and while they come in, writes the run whose buffer a coming chunk will take,
  // when one free buffer at most is left (sortvorn_store.cc).
  void writeAhead(bool onMain) TQ_EXCLUDES(chunkLock_);
  void tossChunk(ChunkDescriptor* chunk, ChunkLock lock);
  // Takes `bytes` of the budget for windows and `files` run files to hold open,
  // writing runs to disk when memory runs short; StatusNoRoom when nothing more can be
  // freed or the files are not there (nothing taken then), another status when a run
  // could not be written.
  int32_t reserveWindows(uint64_t bytes, uint32_t files = 0) TQ_REQUIRES(chunkLock_);
  // The windows `bytes` reserved for `files` run files stand for: one a file (a merge
  // reads its runs through windows of any size), else (a long row) in engine windows.
  uint32_t windowsIn(uint64_t bytes, uint32_t files) const {
    if (files > 0) return files;
    return windowSize_ != 0 ? static_cast<uint32_t>(bytes / windowSize_) : 0;
  }
  // Gives back what reserveWindows took.
  void releaseWindows(uint64_t bytes, ChunkLock lock, uint32_t files = 0);
  // Whether `run` is read through a stage when the budget has room: a chunk in memory
  // whose rows lie in arrival order, of kStageLeastRows rows or more.
  bool needsStage(const ChunkDescriptor* run) const;
  // Takes a stage (kStageBytes) from the budget for each of `inputs` that needs one, as
  // long as they fit beside what it holds (spare buffers given up for them, never a run
  // written out): the bytes taken.
  uint64_t reserveStages(ChunkDescriptor* const* inputs, uint32_t count) TQ_REQUIRES(chunkLock_);
  // Gives back what reserveStages took.
  void releaseStage(uint64_t bytes, ChunkLock lock);
  // Bytes a merge reserves to read `run` through windows of `window` bytes: its window
  // (as long as its longest record) on disk, and the reader itself.
  uint64_t readCost(const ChunkDescriptor* run, uint32_t window) const;
  uint64_t readCost(const ChunkDescriptor* run) const { return readCost(run, windowSize_); }
  // The window of `window` bytes through which `run` is read from disk: it holds the
  // run's longest record.
  static uint32_t windowFor(const ChunkDescriptor* run, uint32_t window) {
    return run->maxRecord > window ? run->maxRecord : window;
  }
  uint32_t windowFor(const ChunkDescriptor* run) const { return windowFor(run, windowSize_); }
  // The window a read merge of `inputs` reads its runs on disk through: the engine's
  // window, or a smaller one down to an eighth of it when that lets the budget hold
  // every input at once, so that the group is read in one pass instead of merged to
  // disk first.
  uint32_t readWindowFor(ChunkDescriptor* const* inputs, uint32_t count) const TQ_REQUIRES(chunkLock_);
  // A temporary file in a temporary directory that takes one (runDirOrder: in turns
  // from one file to the next, those with room for `bytes` first); its name in `name`
  // (260 bytes).  Records the error and returns a status on failure.
  int32_t createRunFile(char* name, NpHandle* handle, ChunkLock lock, uint64_t bytes = 0);
  // Message 1045 for a failed write of the run file `name` (errno `syserr`).
  TqbString writeFailure(const char* name, int syserr) const;
  // A sort item ended (sorted, stopped or given up), on the pool or on the caller's
  // thread; `rows` of its chunk are sorted (0 when it did not sort).
  void sortEnded(uint64_t rows);
  // A merge before reading wrote `rows` more rows.
  void countMerged(uint64_t rows);
  // Copies the keys of a run's first and last rows and enters it into the tree (the
  // shared part of insertChunk, and how a merge's run on disk enters); false after an
  // error was recorded.
  bool enterTree(ChunkDescriptor* chunk, ChunkSource source, ChunkLock lock, RowRef low, RowRef high);
  // Counts bytes a merge wrote to its run file.  Caller holds chunkLock_ or not, as told.
  void countBytesWritten(uint64_t bytes, ChunkLock lock);
  // Counts a run read through a window.
  void noteRunStreamed() {
    lockChunks();
    ++counters_.runsStreamed;
    unlockChunks();
  }
  // Counts a chunk read through a stage.
  void noteRunStaged() {
    lockChunks();
    ++counters_.runsStaged;
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
  // Variable layout: the index entries of a sorted chunk in memory, in key order.
  const IndexEntry* entriesOf(const ChunkDescriptor* chunk) const {
    return reinterpret_cast<const IndexEntry*>(chunk->buffer + resolvedChunkSize_ -
                                               sizeof(IndexEntry) * chunk->rowCount);
  }

  void lockChunks() TQ_ACQUIRE(chunkLock_) { chunkLock_.lock(); }
  void unlockChunks() TQ_RELEASE(chunkLock_) { chunkLock_.unlock(); }
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
  // For tests that order events: `hook` is called on the sorting thread each time a
  // sorted chunk has taken the buffer it is gathered into, before its rows move.
  void setGatherHook(void (*hook)(TqSortVornImpl* engine, void* context), void* context) {
    gatherHook_ = hook;
    gatherHookContext_ = context;
  }

 protected:
  ~TqSortVornImpl() override;

  // Resolves the sizes and takes the first chunk (the shared part of setKeys).
  int32_t resolveSizes();
  // The budget, the chunk count and size, the window and the run file limit, from the
  // sort size (0: none) and the least chunk a row needs.
  void resolveBudget(uint64_t sortSize, uint64_t minChunk);
  // Bytes of a budget kept for the runs' metadata.
  static uint64_t metaShareOf(uint64_t budget);
  // The window for chunks of `chunk` bytes in a budget of `memory` (0: no bound).
  uint32_t windowForChunk(uint64_t chunk, uint64_t memory) const;
  // Ends the chunk being filled and hands it to a sort item of this engine (the body of
  // submitChunk for both layouts).
  int32_t submitCurrentChunk(Submit which);
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
  int32_t nextSource();

  // Layout hooks: what the variable layout (index entries growing down from the buffer's
  // end) does differently from the fixed one (records from the buffer's start).
  // Where reading a sorted chunk of chunk->rowCount rows starts.
  virtual uint8_t* firstRowOf(const ChunkDescriptor* chunk) const;
  // Where the first row of an empty chunk goes.
  virtual uint8_t* firstSlotOf(const ChunkDescriptor* chunk) const;
  // Bytes a row takes in a chunk besides its key bound and its fixed-length fields.
  virtual uint64_t layoutBytesPerRow() const;
  // Whether a row longer than a chunk becomes a run of its own (writeLongRow), so that
  // the declared maximum lengths need not size the chunk.
  virtual bool longRowsRunAlone() const { return true; }
  // Bytes of the longest key that grouping keeps a copy of.
  virtual uint32_t longestGroupKey() const { return longestKey_; }

  // Rows are fixed-length records (TqSortVornFixedImpl).  A flag, not a hook, for the
  // per-row paths that read it (rowOf, the run readers and writers).
  bool fixedLayout_ = false;
  // The key of the row the reader read last (in its chunk or window, valid until the
  // next read); set by the row readers.  Main.
  const uint8_t* rowKey_ = nullptr;
  uint32_t rowKeyLength_ = 0;
  SortKeyField* keyFields_ = nullptr;   // keyCount_ entries; main
  uint32_t resolvedChunkSize_ = 0;      // bytes of every chunk buffer
  uint32_t keyLength_ = 0;              // upper bound of a row's encoded key fields
  uint32_t keyAreaLength_ = 0;          // fixed layout: key fields and sequence number
  // Being filled / being read.  Only the caller's thread changes it, under chunkLock_; pool
  // threads read it under chunkLock_, the caller's thread reads it freely.
  ChunkDescriptor* currentChunk_ = nullptr;
  TqbThreadPool threadPool_;
  int32_t sortThreads_ = 0;             // processors (at least 1) + 1

 private:
  // Bytes of a key that decide its group: all but a stable sort's sequence number.
  uint32_t groupPart(uint32_t keyLength) const;
  // Whether a key is in the group of the row in hand.
  bool sameGroup(const uint8_t* key, uint32_t keyLength) const;
  // With the row in hand's key held: whether a row of another group is left to read.
  bool distinctRowLeft();
  // Reports progress to the host; false when it cancelled (548 recorded).
  bool reportProgress() TQ_EXCLUDES(chunkLock_);
  // The same from a caller that holds chunkLock_: released while the host is called.
  bool reportProgressLocked() TQ_REQUIRES(chunkLock_);
  // Before the first pass: waits until every sort item has ended, reporting progress;
  // a status when the sort stopped.  Caller holds chunkLock_, and holds it on return.
  int32_t waitForSorts() TQ_REQUIRES(chunkLock_);
  int32_t mergePass() TQ_REQUIRES(chunkLock_);
  // mergePass's steps.  Waits until the running merges end (or the sort stops),
  // reporting progress meanwhile; the chunk lock is let go while it waits.
  void waitForMerges() TQ_REQUIRES(chunkLock_);
  // Marks the runs at the tree's front that need no more merging ready (each in order
  // with the next), and merges the first group that overlaps once no ready run is
  // ahead of it.
  int32_t markReadyRuns() TQ_REQUIRES(chunkLock_);
  // Makes the read merge, or the pool merges that make room for it, for the group of
  // overlapping runs that starts at `first`.
  int32_t mergeGroup(ChunkDescriptor* first) TQ_REQUIRES(chunkLock_);
  // Reads a ready run on disk through a window: a read merge of that one run.
  int32_t streamRun(ChunkDescriptor* run) TQ_REQUIRES(chunkLock_);
  void printStatistics();
  void dumpChunks() TQ_REQUIRES(chunkLock_);
  void dumpChunk(ChunkDescriptor* chunk);
  void dumpKey(const char* label, const uint8_t* key, uint32_t length);
  void freeChunk(ChunkDescriptor* chunk);  // file, keys, buffer, descriptor
  // Budget bytes kept free for run metadata not yet charged.
  uint64_t metaReserve() const TQ_REQUIRES(chunkLock_) { return metaBytes_ < metaShare_ ? metaShare_ - metaBytes_ : 0; }
  // Whether `bytes` more fit the budget beside what it holds and keeps.  While rows come
  // in, the metadata's share stays free for runs still to come; once the input has
  // ended, metadata only shrinks (a merge's run is made after its inputs are gone, a
  // run written out gives up its buffer), and merges may use all of the budget.
  bool roomFor(uint64_t bytes) const TQ_REQUIRES(chunkLock_) {
    return bytesInUse_ + (sorting_ ? 0 : metaReserve()) + bytes <= budgetBytes_;
  }
  // The same for windows: a merge while rows come in may use half of what the share
  // has left, since the run it makes comes only after its inputs are gone.
  bool roomForWindows(uint64_t bytes) const TQ_REQUIRES(chunkLock_) {
    return bytesInUse_ + (sorting_ ? 0 : metaReserve() / 2) + bytes <= budgetBytes_;
  }
  // Counts bytes taken from the budget.
  void charge(uint64_t bytes) TQ_REQUIRES(chunkLock_);
  // Counts a run's metadata (descriptor, name, key copies), and gives it all back.
  void chargeMeta(ChunkDescriptor* run, uint64_t bytes) TQ_REQUIRES(chunkLock_);
  void unchargeMeta(ChunkDescriptor* run) TQ_REQUIRES(chunkLock_);
  // The bytes a merge could have on top of what the budget holds now: spare buffers,
  // and the buffers of runs in the tree (written out on demand).
  uint64_t freeableBytes() const TQ_REQUIRES(chunkLock_);
  // Gives `run` a copy of the file name `name`, counted with its metadata.  False
  // (nothing changed) when it cannot be allocated.
  bool keepName(ChunkDescriptor* run, const char* name) TQ_REQUIRES(chunkLock_);
  // Merges some of a group's runs (the merge's inputs) into one run on the pool, when
  // the group is too large to read at once: as many of the cheapest as the memory and
  // the run files allow.
  int32_t preMerge(TqSortVornWorkMerge* merge) TQ_REQUIRES(chunkLock_);
  // Hands `count` runs (out of the tree) to a merge on the pool, with `bytes` and
  // `files` reserved for it.
  int32_t submitPreMerge(ChunkDescriptor** runs, uint32_t count, uint64_t bytes, uint32_t files, MergeTime when) TQ_REQUIRES(chunkLock_);
  // Reserves what reading every input of `merge` at once takes (windows, readers, run
  // files), writing the group's own runs in memory to disk when the budget is short;
  // StatusNoRoom when it does not fit.
  int32_t reserveInputs(TqSortVornWorkMerge* merge) TQ_REQUIRES(chunkLock_);
  // While rows come in: merges the smallest runs on disk into one when their metadata
  // nears its share of the budget.  Caller's thread.
  void mergeDuringInput();
  // Starts a merge of the smallest runs on disk; false when fewer than two fit.
  bool startInputMerge() TQ_REQUIRES(chunkLock_);
 public:
  // The merge that mergeDuringInput started has ended (a pool thread).
  void inputMergeEnded();
 private:
  // Takes a buffer for a chunk: a spare, else a new allocation.
  uint8_t* takeBuffer() TQ_REQUIRES(chunkLock_);
  // Gives a chunk's buffer back as a spare.
  void keepSpare(uint8_t* buffer) TQ_REQUIRES(chunkLock_);
  // Frees one spare buffer; false when there is none.
  bool dropSpare() TQ_REQUIRES(chunkLock_);
  // Wakes one thread waiting for memory, if any.
  void wakeBufferWaiter() TQ_REQUIRES(chunkLock_);
  // Waits (chunkLock_ released meanwhile) until memory is given back; a status when
  // the sort stopped.  Caller holds chunkLock_ and holds it again on return.
  int32_t waitForMemory(uint32_t chunkId) TQ_REQUIRES(chunkLock_);
  // The run of the tree, other than `except`, whose buffer goes first when memory runs
  // short: from the high end (read last) or the low end.
  ChunkDescriptor* bufferVictim(VictimEnd victims, const ChunkDescriptor* except) TQ_REQUIRES(chunkLock_);
  // A "tqsort_" file in temporary directory `dirIndex` (the default place when the
  // manager has none); on failure the message in `message` and a status.
  int32_t createRunFileIn(int dirIndex, char* name, NpHandle* handle, TqbString* message);
  // The order in which a new run file of about `bytes` tries the temporary directories
  // (`count` of them): each new file starts at the next one, so that run files spread
  // over all of them, and a directory that has not that much room left comes after
  // those that have.  order[k] is the k-th; count is at most kMostRunDirs.
  static constexpr int kMostRunDirs = 64;
  void runDirOrder(uint64_t bytes, int order[kMostRunDirs], int* count);
  void unlinkChunk(ChunkDescriptor* chunk) TQ_REQUIRES(chunkLock_);
  void treeInsert(ChunkDescriptor* chunk) TQ_REQUIRES(chunkLock_);
  void treeDelete(ChunkDescriptor* chunk) TQ_REQUIRES(chunkLock_);
  ChunkDescriptor* treeFirst() const TQ_REQUIRES(chunkLock_);
  static ChunkDescriptor* treeNext(ChunkDescriptor* chunk);
  static ChunkDescriptor* treePrev(ChunkDescriptor* chunk);
  static int compareChunks(const void* a, const void* b);
  // Writes the row's key and fields into the current chunk; status as addRow.
  int32_t writeRow(int64_t* rowStart);
  // A row that no chunk holds becomes a run of one row on disk, when the budget can
  // hold it; status as addRow.
  int32_t writeLongRow(int64_t* rowStart);
  // The bytes of the current row and its key, as writeRow would write them.
  uint64_t longRowBytes() const;
  // The longest record a run of one row may have (the memory must read two at once).
  uint64_t longRowLimit() const;
  // Writes a run of one row (its key and serialized fields) to a run file and enters
  // it into the tree; on failure nothing of it is left.
  int32_t storeLongRun(const RowRef& row);
  // Writes a run's rows in key order to `handle` (through the persist window): the
  // bytes written and the longest record; false when a write fails.
  bool writeRunRecords(ChunkDescriptor* chunk, NpHandle handle, uint64_t* written, uint32_t* longest)
      TQ_REQUIRES(chunkLock_);

  int32_t tempDirCount_ = 0;            // the manager's directories (not owned)
  std::atomic<uint32_t> runFilesStarted_{0};  // run files begun: the turn of the directories
  TqbString* tempDirs_ = nullptr;
  uint32_t maxChunksInMemory_ = 0;      // at least 3
  // The budget: the sort size (or, without one, maxChunksInMemory_ buffers, the persist
  // window and the share of run metadata).  bytesInUse_ counts against it every buffer,
  // spare, window, the persist window, reader, and every run's descriptor, name and key
  // copies (metaBytes_); metaShare_ of it is kept for run metadata, and merges while
  // rows come in keep the metadata within that share.
  uint64_t budgetBytes_ = 0;
  uint64_t metaShare_ = 0;
  uint64_t metaBytes_ TQ_GUARDED_BY(chunkLock_) = 0;
  // Run files held open at once: by merges and read merges (reserved with their
  // windows), plus one each for writing a run and a long row.
  uint32_t fileLimit_ TQ_GUARDED_BY(chunkLock_) = 0;
  uint32_t filesInUse_ TQ_GUARDED_BY(chunkLock_) = 0;
  bool inputMergeRunning_ TQ_GUARDED_BY(chunkLock_) = false;  // a merge of runs while rows come in
  uint32_t requestedWindow_ = 0;        // setWindowSize; 0: derived
  void (*gatherHook_)(TqSortVornImpl*, void*) = nullptr;  // setGatherHook
  void* gatherHookContext_ = nullptr;
  uint32_t windowSize_ = 0;             // resolved by setKeys
  uint8_t* persistWindow_ TQ_GUARDED_BY(chunkLock_) = nullptr;  // persistChunk's staging area
  bool sorting_ TQ_GUARDED_BY(chunkLock_) = false;  // final chunk submitted
  bool outgrown_ TQ_GUARDED_BY(chunkLock_) = false;    // a chunk took a run's buffer
  bool writingAhead_ TQ_GUARDED_BY(chunkLock_) = true;  // until a write ahead fails
  bool mergeComplete_ TQ_GUARDED_BY(chunkLock_) = false;  // no merge pass needed any more
  std::atomic<bool> aborted_{false};    // error recorded or cleaning up; read unlocked
  int64_t indexLimit_ = 0;              // where the next row's entry goes (below: its room); main
  TqMutex chunkLock_;
  std::atomic<int32_t> errorCode_{0};   // first recorded error; written under chunkLock_
  TqbString recordedError_ TQ_GUARDED_BY(chunkLock_);  // its text
  bool recordedPending_ TQ_GUARDED_BY(chunkLock_) = false;  // recordedError_ not yet in lastError_
  uint32_t nextChunkId_ TQ_GUARDED_BY(chunkLock_) = 0;
  uint32_t buffersInUse_ TQ_GUARDED_BY(chunkLock_) = 0;  // chunk buffers held by chunks
  uint64_t bytesInUse_ TQ_GUARDED_BY(chunkLock_) = 0;  // buffers, spares and windows
  uint32_t windowsInUse_ TQ_GUARDED_BY(chunkLock_) = 0;
  // Buffers of tossed chunks, kept for the next chunk that needs one instead of going
  // back to the allocator (whose per-thread arenas would hold on to them): a list
  // threaded through the buffers' first bytes.  They count in bytesInUse_.
  uint8_t* spareBuffers_ TQ_GUARDED_BY(chunkLock_) = nullptr;
  // Every descriptor, newest first.
  ChunkDescriptor* chunkList_ TQ_GUARDED_BY(chunkLock_) = nullptr;
  LrbtTree chunkTree_ TQ_GUARDED_BY(chunkLock_);  // sorted runs waiting
  TqAtom mergeAtomic_;                  // merges on the pool; 0x40000000: reader waits
  bool mergeAtomicCreated_ = false;
  TqEvent mergeWaiter_ = 0;
  uint32_t bufferWaiters_ TQ_GUARDED_BY(chunkLock_) = 0;
  uint32_t gathers_ TQ_GUARDED_BY(chunkLock_) = 0;  // gathers holding the buffer they fill
  // Grows each time bufferWaiter_ is posted.
  uint32_t bufferGeneration_ TQ_GUARDED_BY(chunkLock_) = 0;
  TqLock bufferLock_ = 0;
  TqEvent bufferWaiter_ = 0;
  TqSortVornWorkMerge* readMerge_ = nullptr;  // main
  uint32_t longestKey_ = 0;             // longest key written (variable layout); main
  uint8_t* groupKey_ = nullptr;         // key of the row in hand, less the sequence; main
  uint32_t groupKeyLength_ = 0;
  uint32_t groupKeyCapacity_ = 0;
  bool groupKeyHeld_ = false;           // groupKey_ holds the row in hand's key
  bool statisticsPrinted_ = false;      // main
  Counters counters_ TQ_GUARDED_BY(chunkLock_);
  int64_t sortsOnMain_ TQ_GUARDED_BY(chunkLock_) = 0;     // chunks sorted on the caller's thread
  int64_t sortsSubmitted_ TQ_GUARDED_BY(chunkLock_) = 0;  // sort items handed to the pool
  // Sort items that ended, wherever they ran.
  int64_t sortsEnded_ TQ_GUARDED_BY(chunkLock_) = 0;
  uint64_t rowsReady_ TQ_GUARDED_BY(chunkLock_) = 0;
  // The work of the sort, for its progress: rows sorted into runs, rows written by merges
  // before reading and the rows those merges took in (one unit each; reading is another).
  uint64_t rowsSorted_ TQ_GUARDED_BY(chunkLock_) = 0;
  uint64_t rowsMergedEarly_ TQ_GUARDED_BY(chunkLock_) = 0;
  uint64_t rowsPlannedEarly_ TQ_GUARDED_BY(chunkLock_) = 0;

  friend class TqSortVornWorkSort;
  friend class TqSortVornWorkMerge;
  friend class ChunkLockScope;
};

// The chunk lock for the length of a scope, for the operations called both with and
// without it (a ChunkLock argument): taken here when the caller does not hold it, else
// the caller's word that it does.  Within the scope the analysis knows it held.
class TQ_SCOPED_CAPABILITY ChunkLockScope {
 public:
  ChunkLockScope(TqSortVornImpl* engine, ChunkLock lock) TQ_ACQUIRE(engine->chunkLock_)
      : engine_(engine), taken_(lock == ChunkLock::notHeld) {
    if (taken_) engine_->chunkLock_.lock();
  }
  ~ChunkLockScope() TQ_RELEASE() {
    if (taken_) engine_->chunkLock_.unlock();
  }
  ChunkLockScope(const ChunkLockScope&) = delete;
  ChunkLockScope& operator=(const ChunkLockScope&) = delete;

 private:
  TqSortVornImpl* engine_;
  bool taken_;
};

// The row readers the engine installs in rowReader_.
inline int32_t tqReadChunkRow(AbsTqSortfile& file, bool* mark) {
  return static_cast<TqSortVornImpl&>(file).nextRowFromChunk(mark);
}
inline int32_t tqReadMergeRow(AbsTqSortfile& file, bool* mark) {
  return static_cast<TqSortVornImpl&>(file).nextRowFromMergeRequest(mark);
}

}  // namespace tqlib

#endif
