// Internal declarations of the external sort engine (see xsort.cc for how it works).
//
// Shared by the engine's source files only; callers see tqxsort.h.
#ifndef TQ_XSORT_XSORT_INTERNAL_H
#define TQ_XSORT_XSORT_INTERNAL_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>

#include "core/losertree.h"
#include "core/sortkey.h"
#include "platform/npfio.h"
#include "platform/tqsync.h"
#include "xsort/tqxsort.h"

struct UCollator;

namespace tqxsort {

class Engine;

// --- limits and sizes ------------------------------------------------------------------

constexpr uint32_t kMaxRecordLength = 16u << 20;
constexpr uint32_t kMaxProcessors = 64;
constexpr uint64_t kMinMemory = 256u << 10;
constexpr uint64_t kDefaultMemory = 64u << 20;
// Read and write buffers of work files: sized from the memory between these bounds.
constexpr uint32_t kMinIoBuffer = 16u << 10;
constexpr uint32_t kMaxIoBuffer = 1u << 20;
// A batch (the rows sorted together into one run) holds at most this many bytes of
// rows, so that several threads get work even when the memory is large.
constexpr uint64_t kMaxBatchBytes = 32u << 20;
// Rows per batch are numbered in 32 bits.
constexpr uint32_t kMaxBatchRows = 1u << 30;
constexpr size_t kErrorSize = 512;
constexpr int kNameSize = 1024;
constexpr const char* kFilePrefix = "tqxsort_";
// reduceRuns' target: what the final merge can read at once.
constexpr uint32_t kFinalTarget = 0xFFFFFFFFu;
// How often the progress callback hears from a sort that waits or merges.
constexpr std::chrono::milliseconds kProgressEvery{100};

// Budget bytes charged for an allocation of n bytes: at least what the allocator
// takes for it (its header and rounding; whole pages for large blocks), so that the
// budget bounds the real footprint.
constexpr uint64_t chargeFor(uint64_t n) {
  if (n < (64u << 10)) return (n + 16 + 15) & ~uint64_t{15};
  return (n + 16 + 4095) & ~uint64_t{4095};
}

// --- byte order (big-endian: core/sortkey.h) --------------------------------------------

inline uint64_t loadLE64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

// The first 8 bytes of a key as a big-endian number, zero-padded (core/sortkey.h).
using tqkey::loadPrefix;

// --- error texts -----------------------------------------------------------------------

// A zero-terminated error text kept in the object that reports it.  Fixed storage, so
// that reporting a failure never needs memory.
// It carries the failure's result code (tqxsort.h): TQ_SORT_FAILED, or
// TQ_SORT_FAILED_NO_ROOM when the memory size was too small for what was asked, or
// TQ_SORT_FAILED_STOPPED when the progress callback stopped the sort.
class ErrorText {
 public:
  void set(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void setNoRoom(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void setv(const char* format, va_list args);
  void copy(const char* text);
  // The text and the result code of another.
  void copy(const ErrorText& other);
  void setCode(int code) { code_ = code; }
  int code() const { return code_; }
  void clear() {
    text_[0] = '\0';
    code_ = TQ_SORT_FAILED;
  }
  const char* get() const { return text_; }
  bool empty() const { return text_[0] == '\0'; }

 private:
  char text_[kErrorSize] = {};
  int code_ = TQ_SORT_FAILED;
};

// The text of an operating-system error number.
const char* systemErrorText(int error, char* buffer, size_t size);

// --- parameters ------------------------------------------------------------------------

struct Params {
  bool markGroups = false;
  bool noCodeGen = false;
  bool dropDuplicates = false;
  uint32_t processors = 1;
  uint32_t recordLength = 0;      // 0: not set
  uint64_t expectedRows = 0;      // 0: unknown
  uint32_t chunkRows = 0;         // 0: sized from the memory
  uint32_t outputLength = 0;      // 0: the record length
  uint64_t memory = kDefaultMemory;
  uint32_t tieBytes = 0;          // trailing key bytes that only break ties
};

// --- keys ------------------------------------------------------------------------------

// How one key part becomes bytes of the row's normalized key.
enum class Encoding : uint8_t {
  Byte,         // 1 byte
  Date,         // 8 bytes: the double's bits made sortable as an unsigned number
  Integer,      // 8 bytes: sign bit flipped, big-endian
  StringFixed,  // `length` bytes: the string, zero padded (short fields)
  StringVar,    // the string and a zero byte (long fields)
  Collated,     // the collation sort key, zero terminated
  Callback,     // the callback's bytes; escaped (0 -> 0 0xFF, end 0 0) unless last
};

struct PartPlan {
  uint32_t offset = 0;
  uint32_t length = 0;
  Encoding encoding = Encoding::Byte;
  bool descending = false;
  bool last = false;             // the last part of the key
  uint32_t width = 0;            // encoded width when fixed, else 0
  TqSortKeyCallback function = nullptr;
  void* block = nullptr;
  UCollator* collator = nullptr;  // owned by the engine; each thread uses a clone
};

// Keys of a batch: every key either has the same length (all parts fixed) or carries
// its length.  Entries hold the first 8 key bytes; the rest, the tail, lies in the
// batch's tail area.
struct KeyShape {
  bool fixed = true;
  uint32_t fixedLength = 0;
  uint32_t tailLength() const { return fixedLength > 8 ? fixedLength - 8 : 0; }
};

// Turns rows into normalized keys on one thread: holds that thread's collator clones
// and scratch buffers.
class KeyEncoder {
 public:
  KeyEncoder() = default;
  KeyEncoder(const KeyEncoder&) = delete;
  KeyEncoder& operator=(const KeyEncoder&) = delete;
  ~KeyEncoder();

  // False with the text in `error` when a clone or a buffer cannot be made.
  bool init(const PartPlan* parts, uint32_t count, Engine* engine, ErrorText* error);
  // Encodes the row's key; its bytes are at data() until the next call.
  bool encode(const uint8_t* row, uint32_t* length, ErrorText* error);
  const uint8_t* data() const { return key_; }
  void release();

 private:
  bool reserve(uint32_t room, ErrorText* error);
  // Part i's value `v` encoded at *pos of the key (moved past it): its collation sort
  // key; its callback's bytes, escaped unless it is the last part.
  bool encodeCollated(uint32_t i, const uint8_t* v, uint32_t* pos, ErrorText* error);
  bool encodeCallback(uint32_t i, const uint8_t* v, uint32_t* pos, ErrorText* error);

  const PartPlan* parts_ = nullptr;
  uint32_t count_ = 0;
  Engine* engine_ = nullptr;
  UCollator** collators_ = nullptr;  // one clone per part (null for other parts)
  char16_t* text_ = nullptr;         // UTF-16 scratch for collated parts
  int32_t textRoom_ = 0;
  uint8_t* key_ = nullptr;
  uint32_t keyRoom_ = 0;
  uint64_t charged_ = 0;
};

// Opens the collator of a collation record for part `index`.  Code point orders need
// none: `codePoint` is set and the collator stays null.
bool openCollator(const TqSortCollation* collation, uint32_t index, UCollator** collator,
                  bool* codePoint, ErrorText* error);
void closeCollator(UCollator* collator);

// --- sorting ---------------------------------------------------------------------------

// A row of a batch while it is sorted: the first 8 key bytes (big-endian), the row's
// index in the batch and where its tail lies in the batch's tail area.
struct Entry {
  uint64_t prefix;
  uint32_t row;
  uint32_t tail;
};
static_assert(sizeof(Entry) == 16, "entries are 16 bytes");

// Sorts n entries by their keys, in place.
void sortEntries(Entry* entries, size_t n, const uint8_t* tails, const KeyShape& shape);

// One record as the merge sees it: key (prefix, tail beyond the first 8 bytes,
// length) and the row's bytes.
struct Cur {
  uint64_t prefix;
  const uint8_t* tail;
  uint32_t length;
  const uint8_t* row;
};

inline int compareCur(const Cur& a, const Cur& b) {
  if (a.prefix != b.prefix) return a.prefix < b.prefix ? -1 : 1;
  uint32_t la = a.length > 8 ? a.length - 8 : 0;
  uint32_t lb = b.length > 8 ? b.length - 8 : 0;
  uint32_t common = la < lb ? la : lb;
  if (common > 0) {
    int c = std::memcmp(a.tail, b.tail, common);
    if (c != 0) return c;
  }
  return a.length < b.length ? -1 : (a.length > b.length ? 1 : 0);
}

// --- work files and runs -----------------------------------------------------------------

// A temporary file, unlinked right after creation; closed by the engine.
struct WorkFile {
  WorkFile* next = nullptr;  // the engine's list of files [engine lock]
  NpHandle handle = 0;
  uint64_t size = 0;         // bytes written (appended) so far [its writer]
  uint32_t liveRuns = 0;     // runs in it not yet merged away [caller, after input]
  bool unlinked = false;
  char name[kNameSize] = {};
};

// A sorted run written to a work file: records of (key length when keys vary, key,
// row of the output length).
struct FileRun {
  WorkFile* file;
  uint64_t offset;
  uint64_t bytes;
  uint64_t rows;
  uint32_t maxRecord;  // the longest record in bytes
};

// What a work file costs the budget: its record and the file library's handle.
constexpr uint64_t kWorkFileCharge = chargeFor(sizeof(WorkFile)) + chargeFor(64);

// A batch: rows gathered from input chunks and sorted together into one run.  Once
// sorted, its records are laid out in order in `run`, in the form of a work file's
// run, and its rows are freed.  One thread owns a batch at a time: the caller while
// filling it, a sorting thread while sorting or writing it; on the queue or the
// sorted list it belongs to the engine lock.  The fields without a mark follow that.
struct Batch {
  Batch* next = nullptr;       // the queue or the sorted list it is on [engine lock]
  uint8_t* rows = nullptr;     // `capacity` records
  uint32_t capacity = 0;
  uint32_t count = 0;          // rows held
  Entry* entries = nullptr;    // the sorting thread's, while it sorts: `entryCount`
  uint32_t entryCount = 0;
  uint8_t* tails = nullptr;    // the sorting thread's, while it sorts
  uint64_t tailUsed = 0;
  uint8_t* run = nullptr;      // the sorted records
  uint64_t runBytes = 0;
  uint64_t runRows = 0;
  uint32_t maxRecord = 0;      // the longest record of the run
  uint64_t held = 0;           // budget bytes of what is allocated [owner]
  uint64_t reserved = 0;       // budget bytes charged for what is still to come [owner]
};

// Writes sorted records into a run of a work file through one buffer.
class RunWriter {
 public:
  RunWriter() = default;
  RunWriter(const RunWriter&) = delete;
  RunWriter& operator=(const RunWriter&) = delete;
  ~RunWriter() { release(); }

  // A writer with a buffer of `size` bytes whose budget (`charged` bytes, and the
  // first work file's when `filePaid`) was charged already; release() gives it back.
  // The buffer is allocated by the first begin().
  void setup(Engine* engine, uint32_t size, uint64_t charged, bool filePaid);
  // Where begin() starts a run: at the end of the writer's work file (a new one when it
  // has none), or in a new work file.
  enum class Start { sameFile, newFile };
  bool begin(Start where, ErrorText* error);
  bool put(const Cur& record, ErrorText* error);
  // Appends a whole run laid out in memory (records of the same form).
  bool putRun(const Batch* batch, ErrorText* error);
  // Flushes and hands back the run.
  bool finish(FileRun* run, ErrorText* error);
  // Frees the buffer and returns the charges to the engine.
  void release();
  // Lets go of its work file (which merges may close): the next run starts a new one.
  void detach() { file_ = nullptr; }
  // Whether the next work file's charge is taken already; payNextFile() records that
  // the caller took it.
  bool nextFilePaid() const { return filePaid_; }
  void payNextFile() { filePaid_ = true; }
  bool ready() const { return engine_ != nullptr; }
  WorkFile* file() const { return file_; }

 private:
  bool flush(ErrorText* error);
  bool write(const uint8_t* data, uint32_t size, ErrorText* error);

  Engine* engine_ = nullptr;
  uint8_t* buffer_ = nullptr;
  uint32_t size_ = 0;
  uint32_t used_ = 0;
  uint64_t charged_ = 0;
  bool filePaid_ = false;
  WorkFile* file_ = nullptr;
  FileRun run_ = {};
};

// Reads the records of one run through a buffer, refilled with seek + read.
class RunReader {
 public:
  RunReader() = default;
  RunReader(const RunReader&) = delete;
  RunReader& operator=(const RunReader&) = delete;
  ~RunReader() { release(); }

  bool init(Engine* engine, const FileRun& run, uint32_t size, ErrorText* error);
  // 1 with the next record in `cur` (valid until the next call), 0 at the end, -1 on
  // failure.
  int next(Cur* cur, ErrorText* error);
  void release();

 private:
  bool fill(uint32_t need, ErrorText* error);

  Engine* engine_ = nullptr;
  FileRun run_ = {};
  uint64_t consumed_ = 0;  // bytes of the run read from the file
  uint8_t* buffer_ = nullptr;
  uint32_t size_ = 0;
  uint32_t have_ = 0;
  uint32_t at_ = 0;
  uint64_t charged_ = 0;
};

// A source of sorted records for the merge: a run in memory (a sorted batch) or a
// run read from a work file; both hold records of the same form.
struct Source {
  Cur cur = {};
  bool done = false;
  const uint8_t* at = nullptr;    // memory: the next record and the run's end
  const uint8_t* end = nullptr;
  RunReader* reader = nullptr;    // file
};

// The merge's sources as the sources of its tournament (core/losertree.h).
struct MergeSources {
  Source* sources = nullptr;
  bool exhausted(uint32_t i) const { return sources[i].done; }
  int compare(uint32_t a, uint32_t b) const { return compareCur(sources[a].cur, sources[b].cur); }
  // The key's first 8 bytes, which the tree keeps beside each loser (core/losertree.h).
  uint64_t head(uint32_t i) const { return sources[i].cur.prefix; }
};

// The tournament of the k-way merge, with its nodes charged to the engine: taking the
// smallest record and advancing its source costs log2(k) comparisons.
class LoserTree {
 public:
  LoserTree() = default;
  LoserTree(const LoserTree&) = delete;
  LoserTree& operator=(const LoserTree&) = delete;
  ~LoserTree() { release(); }

  // The sources have their first record (or are done).
  bool init(Engine* engine, Source* sources, uint32_t count, ErrorText* error);
  bool empty() const { return tree_.empty(); }
  const Cur& top() const { return sources_.sources[tree_.winner()].cur; }
  // Advances the winning source and replays its path.  False on a read failure.
  bool pop(ErrorText* error);
  void release();

 private:
  Engine* engine_ = nullptr;
  MergeSources sources_;
  tqmerge::LoserTree<MergeSources> tree_;
  tqmerge::LoserTree<MergeSources>::Node* nodes_ = nullptr;
  uint64_t charged_ = 0;
};

// Advances a source to its next record (rows of `rowLength` bytes).  False on a read
// failure.
bool advanceSource(Source* source, const KeyShape& shape, uint32_t rowLength, ErrorText* error);

// Writes one record of a run at `out`; returns its size.
uint32_t putRecord(uint8_t* out, const Cur& record, const KeyShape& shape, uint32_t rowLength);

// --- the engine ------------------------------------------------------------------------

class Engine;

// A sorting thread: its key encoder, its writer of runs and its sort buffers, kept
// from batch to batch (all touched by that thread only, until finish() frees them).
struct Worker {
  Engine* engine = nullptr;
  uint32_t index = 0;
  std::thread thread;
  KeyEncoder encoder;
  RunWriter writer;
  Entry* entries = nullptr;  // a batch's entries, while it is sorted
  uint32_t entryRoom = 0;
  uint8_t* tails = nullptr;  // the keys' tails
  uint64_t tailRoom = 0;
  uint64_t sortCharged = 0;  // budget of the entries (charged by prepare)
  uint64_t tailCharged = 0;  // budget of the tails (prepare's, and what growth added)

  bool reserveSort(uint32_t rows, uint64_t tailBytes, ErrorText* error);
  bool growTails(uint64_t need, ErrorText* error, bool* failed);
  void releaseSort();
};

// The input chunk: the public record and whether it is out with the caller.  Its rows
// lie in the batch being filled.
struct InChunk {
  TqSortInputChunk pub;
  uint32_t capacity;
  bool out;
};

// An output chunk: the public record, then marks and rows.
struct OutChunk {
  TqSortOutputChunk pub;
  uint32_t magic;
  uint32_t capacity;
  bool out;
  OutChunk* next;
  uint64_t charged;
};

// Figures of the sort kept by the threads (under the engine lock).
struct Stats {
  uint64_t batches = 0;
  uint64_t runsWritten = 0;      // runs written from batches (and their parts)
  uint64_t memoryRunsMerged = 0; // batches merged straight from memory
  uint64_t mergePasses = 0;
  uint64_t intermediateRuns = 0; // runs written by merges before the last
  uint64_t inputCompactions = 0; // times the input waited for runs to be merged
  uint64_t rowsSorted = 0;       // rows of the batches sorted (progress)
  uint64_t rowsMergedEarly = 0;  // rows written by merges before the last (progress)
  uint64_t rowsPlannedEarly = 0; // rows of the runs those merges took (progress)
  uint64_t bytesWritten = 0;
  uint64_t bytesRead = 0;
};

// What the sorting threads may do, as one state under the engine lock.  A spill (the
// sorted batches written as one run) goes Sorting -> SpillWanted -> Spilling -> Sorting.
// A merge on the caller's thread (quiesce) holds the runs: from Sorting it goes to
// Merging, from SpillWanted to MergingSpillWanted (the spill waits for the merge), from
// Spilling to MergeAwaitsSpill (the merge waits for the spill, then Merging); when it
// ends (compactRuns) each goes back to where it came from, the final merge never ends.
// Stopping ends the threads from any state.
enum class WorkState : uint8_t {
  Sorting,             // threads sort queued batches; the sorted ones stay in memory
  SpillWanted,         // the next free thread writes the sorted batches to a work file
  Spilling,            // a thread is writing them; their memory comes back when it is done
  MergeAwaitsSpill,    // the caller's thread waits to merge; the spill under way ends first
  Merging,             // the caller's thread has the runs and their files: no spill starts
  MergingSpillWanted,  // the same, and a spill is wanted as soon as the merge ends
  Stopping,            // the threads end (destroy)
};

class Engine {
 public:
  // The C objects: the table of operations first, then the way back to the engine.
  struct Handle {
    TqSortEngine pub;
    Engine* self;
  };
  struct InputHandle {
    TqSortInput pub;
    Engine* self;
    ErrorText error;
  };

  static Engine* create(const Params& params, ErrorText* error);
  static Engine* of(TqSortEngine* object) { return reinterpret_cast<Handle*>(object)->self; }
  TqSortEngine* object() { return &handle_.pub; }

  // Sort object operations (caller's thread).
  int addKey(const TqSortKeyPart* part, int32_t flags);
  int checkKeys();
  int prepare();
  TqSortInput* openInput();
  int getOutputChunk(TqSortOutputChunk** chunk);
  int releaseOutputChunk(TqSortOutputChunk* chunk);
  int report(void* infoBlock);
  int setProgress(void* progressBlock);
  int getProgress(uint64_t* done, uint64_t* total);
  const char* errorText() const { return callerError_.get(); }
  // An operation's result as the caller sees it: 0, or the failure's result code.
  int result(int r) const { return r == 0 ? 0 : callerError_.code(); }
  void destroy();

  // Input object operations (caller's thread).
  int getInputChunk(TqSortInputChunk** chunk);
  int submitInputChunk(TqSortInputChunk* chunk);
  int closeInput(int32_t discard);

  // Budget: every buffer of the sort is charged here first.  Any thread.  Buffers
  // leave the headroom free; tryChargeGrowth may take it, for the small structures that
  // must grow while the buffers fill the memory (a key longer than any before, the list
  // of runs), so that a sort in tight memory does not fail for want of a few bytes.
  bool tryCharge(uint64_t bytes);
  bool tryChargeGrowth(uint64_t bytes);
  void uncharge(uint64_t bytes);
  // How many times memory was given back (uncharge); a waiter compares it.
  uint64_t releases();
  // A sorting thread whose next key finds no room (and that holds no keyed rows it
  // could write out) waits here for memory that other threads will give back: batches
  // they are sorting, a spill of the sorted batches.  True when some came back since
  // `releasesSeen` (try again); false when nothing will (every other thread waits too,
  // or the sort failed).
  bool waitForReleasedRoom(uint64_t releasesSeen);
  // Records the sort's first failure and wakes every waiter.  Any thread.
  void fail(const ErrorText& error);
  bool failed();

  // A new work file in the first temporary directory that takes one; `paid`: its
  // budget was charged already.  Any thread.
  WorkFile* newWorkFile(bool paid, ErrorText* error);
  void addWritten(uint64_t bytes);
  void addRead(uint64_t bytes);

  const Params& params() const { return params_; }
  const KeyShape& shape() const { return shape_; }

 private:
  Engine() = default;
  ~Engine() = default;

  // addKey's steps: the part record's fields checked against the record and each
  // other; its encoding (a collator opened for a collated string); room in the list of
  // parts.  Each false with callerError_ set.
  bool checkPart(const TqSortKeyPart* part, uint32_t index);
  bool planEncoding(const TqSortKeyPart* part, uint32_t index, PartPlan* plan);
  bool makeRoomForPart();
  // prepare's steps, in this order: rows of input and output chunks and the threads'
  // write buffers; rows of a batch, the sort buffers and the spill threshold (charging
  // the write and sort buffers); the temporary directories' list; the list of runs in
  // work files.  Each 0, or a failure's result with callerError_ set.
  int planChunks();
  int planBatches();
  int copyTempDirs();
  int makeRunList();

  // Input side.
  bool roomForChunk();
  bool startBatch(TqStdLock& lock) TQ_REQUIRES(mutex_);
  bool growBatch();
  void queueBatch(Batch* batch);
  bool waitForRoom(uint64_t bytes, TqStdLock& lock) TQ_REQUIRES(mutex_);
  bool endInput();

  // Threads.
  bool startWorkers();
  void stopWorkers();
  void workerLoop(Worker* worker);
  bool sortBatch(Worker* worker, Batch* batch, FileRun* written, bool* wasWritten,
                 ErrorText* error);
  // sortBatch's steps: each row's key into the batch's entries and tails (rows keyed
  // before the tails could grow are written as a run of their own), *keyBytes the
  // bytes of the keys kept; then the sorted entries laid out as the batch's run, or
  // written to a work file when the memory has no room for it (*wasWritten).
  bool keyBatch(Worker* worker, Batch* batch, uint64_t* keyBytes, ErrorText* error);
  bool keepSorted(Worker* worker, Batch* batch, uint64_t keyBytes, FileRun* written,
                  bool* wasWritten, ErrorText* error);
  Cur entryCur(const Batch* batch, const Entry& entry, uint32_t recordLength) const;
  bool writeEntries(RunWriter* writer, const Batch* batch, const Entry* entries, uint32_t count,
                    FileRun* run, ErrorText* error);
  bool spillBatches(RunWriter* writer, Batch* batches, ErrorText* error);
  bool spillEachBatch(RunWriter* writer, Batch** batches, ErrorText* error);
  bool spillWanted() const TQ_REQUIRES(mutex_);
  // Asks a free thread to write the sorted batches, unless a spill is under way: at once,
  // or when the merge that holds the runs ends [engine lock].
  void requestSpill() TQ_REQUIRES(mutex_);
  bool spillUnderWay() const TQ_REQUIRES(mutex_) {
    return state_ == WorkState::Spilling || state_ == WorkState::MergeAwaitsSpill;
  }
  bool takeFor(Batch* batch, uint64_t bytes);
  uint64_t batchReserve(uint32_t capacity) const;
  void layOut(Batch* batch);
  uint32_t tailPerRow() const {
    return shape_.fixed ? shape_.tailLength() : std::max<uint32_t>(varTailEstimate_, 8);
  }
  // Bytes of a record in a run: the key (with its length when keys vary) and the row.
  uint32_t recordPerRow() const {
    return (shape_.fixed ? shape_.fixedLength : 4 + 8 + tailPerRow()) + params_.outputLength;
  }
  uint64_t dropBatch(Batch* batch);
  void freeBatch(Batch* batch);

  // Output side.
  bool finish();
  bool quiesce();
  void endMerge();
  void runShape(uint32_t* memoryRuns, uint32_t* maxRecord) const;
  bool spillSorted(ErrorText* error);
  bool reduceRuns(uint32_t target, uint32_t* keyRoom, ErrorText* error);
  bool mergeRound(uint32_t fit, uint32_t group, uint32_t minBuffer, uint64_t forReaders, RunWriter* passWriter,
                  ErrorText* error);
  bool compactRuns();
  bool openFinalMerge(uint32_t keyRoom);
  // Progress (caller's thread, once the input has ended): the work done and planned,
  // and the host's callback, at most every kProgressEvery unless `now`.  False when
  // the callback stopped the sort (the failure is recorded).
  void progressFigures(uint64_t* done, uint64_t* total);
  bool reportProgress(bool now);
  // Waits on doneCv_ for a while, reporting progress; false when the sort failed or
  // was stopped.  Engine lock held.
  bool progressWait(TqStdLock& lock) TQ_REQUIRES(mutex_);
  bool mergeToFile(uint32_t first, uint32_t count, uint32_t bufferSize, RunWriter* writer, RunWriter::Start where,
                   ErrorText* error);
  void dropFileRun(uint32_t index);
  bool fillChunk(OutChunk* chunk, ErrorText* error);
  bool addFileRun(const FileRun& run, ErrorText* error, uint64_t released = 0);
  uint32_t ioBufferFor(uint64_t available, uint32_t count) const;
  uint64_t mergeOverhead(uint32_t sources, uint32_t runs, uint32_t keyRoom) const;

  // Failure reported to the caller: copies the sort's failure into the caller's text.
  int callerFailure();
  void freeAll();

  Handle handle_ = {};
  Params params_;

  // Keys: set by addKey / checkKeys / prepare on the caller's thread before any
  // worker starts; read-only afterwards.
  PartPlan* parts_ = nullptr;
  uint32_t partCount_ = 0;
  uint32_t partRoom_ = 0;
  KeyShape shape_;
  uint32_t varTailEstimate_ = 0;  // bytes per row reserved for a varying key's tail
  bool keysChecked_ = false;
  bool prepared_ = false;
  bool prepareFailed_ = false;  // a prepare went past the key check and failed

  // Sizes fixed by prepare.
  uint32_t chunkRows_ = 0;
  uint32_t outputRows_ = 0;
  uint32_t batchRows_ = 0;       // capacity of a full batch
  uint32_t firstBatchRows_ = 0;  // capacity a batch starts with
  uint32_t writerSize_ = 0;
  uint64_t spillThreshold_ = 0;  // in spill mode, sorted bytes that start a write
  uint64_t sortCharge_ = 0;      // a thread's entries, charged by prepare
  uint64_t tailCharge_ = 0;      // a thread's key tails, charged by prepare
  char* tempDirs_ = nullptr;     // copy of "BASE/TEMP", or null
  std::atomic<uint32_t> workFilesStarted_{0};  // work files begun: the turn of the directories

  // Caller's thread only.
  ErrorText callerError_;
  InputHandle* input_ = nullptr;
  InChunk inChunk_ = {};
  Batch* filling_ = nullptr;
  bool inputEnded_ = false;
  bool inputAbandoned_ = false;
  bool outputStarted_ = false;
  bool outputDone_ = false;
  OutChunk* outChunks_ = nullptr;  // every output chunk made
  uint32_t outChunksOut_ = 0;
  Source* sources_ = nullptr;
  RunReader* readers_ = nullptr;
  uint32_t readerCount_ = 0;
  LoserTree tree_;
  uint8_t* lastKey_ = nullptr;     // key of the last row delivered (marks, duplicates)
  uint32_t lastKeyRoom_ = 0;
  uint32_t lastKeyLength_ = 0;
  uint64_t lastKeyPrefix_ = 0;
  bool haveLastKey_ = false;
  uint64_t rowsIn_ = 0;
  uint64_t rowsOut_ = 0;
  uint64_t duplicates_ = 0;
  const TqSortProgressBlock* progress_ = nullptr;  // the host's callback, or null
  std::chrono::steady_clock::time_point lastProgress_{};
  uint32_t runListShare_ = 0;      // runs in files the list holds before they are merged

  // Shared with the workers.  The engine lock guards every field below; once the
  // input has ended and the threads are idle for good (finish), the caller's thread
  // also reads and changes the list of runs and files without it.
  TqStdMutex mutex_;                 // the engine lock
  std::condition_variable workCv_;   // work queued, a write wanted, or stopping
  std::condition_variable doneCv_;   // memory freed, a batch done, or a failure
  uint64_t limit_ = 0;               // the memory size (fixed at creation)
  uint64_t used_ TQ_GUARDED_BY(mutex_) = 0;                // budget bytes charged
  uint64_t headroom_ = 0;            // kept free of buffers (set by prepare, before the threads)
  uint64_t peak_ TQ_GUARDED_BY(mutex_) = 0;
  Batch* queueHead_ TQ_GUARDED_BY(mutex_) = nullptr;       // batches to sort or to write, oldest first
  Batch* queueTail_ TQ_GUARDED_BY(mutex_) = nullptr;
  Batch* sorted_ = nullptr;          // sorted batches kept in memory, oldest first
  uint64_t sortedBytes_ TQ_GUARDED_BY(mutex_) = 0;         // budget bytes they hold
  uint32_t inFlight_ TQ_GUARDED_BY(mutex_) = 0;            // batches queued or being sorted
  uint32_t sorting_ TQ_GUARDED_BY(mutex_) = 0;             // threads sorting a batch
  uint32_t roomWaiters_ TQ_GUARDED_BY(mutex_) = 0;         // of them, those in waitForReleasedRoom
  uint64_t releases_ TQ_GUARDED_BY(mutex_) = 0;            // uncharge calls so far
  WorkState state_ TQ_GUARDED_BY(mutex_) = WorkState::Sorting;
  // The rows do not fit: sorted batches are written once they hold spillThreshold_ bytes.
  // A flag beside state_, not one of its states: it is set once, holds in every state
  // after that, and only says what a thread does with a batch it has sorted.
  bool spillMode_ TQ_GUARDED_BY(mutex_) = false;
  bool failed_ TQ_GUARDED_BY(mutex_) = false;
  ErrorText sortError_ TQ_GUARDED_BY(mutex_);              // the first failure; fixed once failed_ is set
  FileRun* fileRuns_ = nullptr;
  uint32_t fileRunCount_ = 0;
  uint32_t fileRunRoom_ = 0;
  WorkFile* files_ = nullptr;
  Stats stats_ TQ_GUARDED_BY(mutex_);

  Worker* workers_ = nullptr;        // started by prepare, joined by destroy
  uint32_t workerCount_ = 0;
};

}  // namespace tqxsort

#endif
