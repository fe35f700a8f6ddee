// AbsTqSortfile: the abstract base of every sorting datafile.
//
// It keeps the datafile base (field table, serializers, row loops) and adds what every
// sort engine shares:
//   - the sort options, copied from the manager at init;
//   - the key definition: the key count and key parts;
//   - the driver of reading: next() takes rows from the engine chunk by chunk through
//     `rowReader_`, marks the first row of each group of equal keys and drops
//     duplicates when the engine leaves that to it (`groupAfterSort_`: the chunk sorts,
//     which tell groups apart by isNewGroup);
//   - the drivers of writing used by the external engine (addRow with the stable
//     ordinal behind each row);
//   - clone() of a sorted file: the sorted rows are copied once into a private
//     unsorted datafile (`cloneCopy_`, made by a private manager), whose clones are the
//     independent readers handed out.  Copying reads the engine's rows to the end, so
//     from then on the host's own reading goes through a private reader of the copy
//     (`hostReader_`), from the row it was on.  Since reading a chunk sort releases the
//     rows behind it, a sorted file can be cloned only before it reads past its first
//     row;
//   - the callback blocks handed to an external sort engine.
//
// Engine operations (after the 41 datafile slots): clean, clear, getEmptyChunk,
// getNextChunk, isNewGroup, setKeys, submitChunk; and rowSortKey, the key bytes of the
// row in hand that tqDatafileSortKey hands out (sortKey checks that a row is in hand:
// next() read it from the engine, not from the private copy).
//
// Calling order for a host: createFile; resetSort(keyCount); setSort per key;
// optionally setSortInfo / setSortProgress; addRow per row; sort; next until 4 (or
// seek / clone); release.  Reading operations before sort, and freeze before sort, are
// refused ("Sort not called") and change nothing.
//
// Positions of a sorted file are the byte offsets of its rows in the sorted output
// (each row counts its serialized length): tell() gives the next row's, seek() takes
// that position (reading the row there), or 0 to go back to the first row while it is
// still in hand; rows behind the reader are released, so any other position is refused.
//
// References: as every datafile, a sortfile starts with its owner's reference and each
// clone adds one (dataabs.h).  The private copy is owned by the sortfile itself and
// released with it; it holds no reference, so the sortfile, its copy and its private
// manager are destroyed exactly once, when the owner and every clone are gone.
#ifndef TQ_SRC_SORTABS_H
#define TQ_SRC_SORTABS_H

#include "platform/tqbdecimal.h"
#include "src/dataabs.h"

namespace tqlib {

class AbsTqSortfile;

// Key callback of the external engine's blocks: (block, value, value length, output,
// output room, descending, output length); returns 0.
typedef int (*TqKeyCallback)(void* block, const void* value, uint32_t valueLength, void* out,
                             uint32_t outRoom, int descending, uint32_t* outLength);
typedef int (*TqInfoCallback)(void* block, const char* text);
// Reads the next row of the engine's current source into the fields.
typedef int32_t (*TqRowReader)(AbsTqSortfile& file, bool* mark);

class AbsTqSortfile : public AbsTqDatafile {
 public:
  AbsTqSortfile();

  int32_t addRow(int64_t* rowStart) override;
  int32_t clear() override;
  int32_t next(bool* mark) override;
  int64_t tell() override;
  int32_t rechunk(uint32_t size) override;
  int32_t resetSort(int32_t keyCount) override;
  int32_t setSortInfo(TqSortInfo* info) override;
  int32_t setSortProgress(TqSortProgress* progress) override;
  int32_t sort() override;
  TqDatafile* clone() override;
  int32_t freeze() override;
  bool init(TqDatafileManager* manager, uint32_t flags) override;
  int32_t sortKey(const uint8_t** key, uint32_t* keyLength) override;

  // Engine operations.
  // What clean and clear give up: the rows, or the rows and the sort's key definition.
  enum class ClearScope { rows, rowsAndKeys };
  virtual void clean(ClearScope scope);
  virtual int32_t clear(ClearScope scope) = 0;
  virtual int32_t getEmptyChunk() = 0;
  // Moves reading to the next chunk of sorted rows (StatusEndOfData after the last).
  virtual int32_t getNextChunk() = 0;
  // Whether the row just read begins a group (called after each row when
  // groupAfterSort_ is set).
  virtual bool isNewGroup() { return true; }
  // Takes what reading needs to mark groups and drop duplicates, when the input is
  // about to end (sort): a status with its message when it cannot, and nothing changed.
  virtual int32_t prepareGrouping() { return StatusOk; }
  virtual int32_t setKeys() = 0;
  // Whether the chunk handed to the sort is the input's last.
  enum class Submit { more, last };
  virtual int32_t submitChunk(Submit which) = 0;
  // Puts the first sorted row next to read again, or refuses (status and message) when
  // it has been released.
  virtual int32_t rewind() = 0;
  // The status of a failure that stopped the sort for good (its text in lastError_), or
  // 0: what reading reports when sort() itself failed.
  virtual int32_t recordedFailure() { return 0; }
  // The completed fraction of the sort's work now (see TqSortProgress), for the reports
  // made while rows are read.
  virtual double workDone() = 0;
  // The host cancelled the sort while it was read: the engine stops its work.
  virtual void stopWork() {}
  // The key bytes of the row the engine read last (sortKey has checked that one is in
  // hand): 0, or a refusal with its message when the engine keeps none.
  virtual int32_t rowSortKey(const uint8_t** key, uint32_t* keyLength);

  // The callback blocks: contiguous (function, context) pairs.
  struct SequenceBlock {
    TqKeyCallback callback;
    TqSortProgress* sortProgress;
  };
  struct InfoBlock {
    TqInfoCallback callback;
    TqSortInfo* sortInfo;
  };
  struct DecimalBlock {
    TqKeyCallback callback;
    AbsTqSortfile* owner;
    decContext context;
  };
  static int sequenceKeyCallback(void* block, const void* value, uint32_t valueLength, void* out,
                                 uint32_t outRoom, int descending, uint32_t* outLength);
  static int decimalKeyCallback(void* block, const void* value, uint32_t valueLength, void* out,
                                uint32_t outRoom, int descending, uint32_t* outLength);
  static int infoCallback(void* block, const char* text);

  bool markByGroups() const { return markByGroups_; }
  bool noDups() const { return noDups_; }
  bool stable() const { return stable_; }

 protected:
  ~AbsTqSortfile() override;
  // Releases the private copy made by clone(), its reader and its manager.
  void releaseCloneCopy();
  // The status and message when reading is not possible (before sort, after a failed
  // copy), else 0.
  int32_t readingRefused();
  // The sorted file's seek, for the engines: the current position, 0 while the first
  // row is in hand, or a position of the private copy once there is one.
  int32_t seekSorted(int64_t position);
  // The sorted file's hasNext, for the engines: `engineHasNext` while the engine is read.
  bool hasNextSorted(bool engineHasNext);
  // Makes cloneCopy_ and hostReader_; false with lastError_ on failure.
  bool makeCloneCopy();
  // makeCloneCopy's steps: the copy's manager and file, with this file's columns (and
  // the group mark); the sorted rows copied into it from the first (`hasRow`: the first
  // row was taken already; *taken: rows have left the engine); the copy frozen and the
  // host's reader opened on it.  Each false with lastError_ and the copy released.
  bool createCloneCopy();
  bool copyRowsToClone(bool hasRow, bool* taken);
  bool openHostReader(bool hasRow, bool taken);
  // Keeps the copy's or its manager's message and releases the copy; false.
  bool cloneCopyFailed();
  // Reads the next row of the private copy into the fields.
  int32_t nextFromCopy(bool* mark);
  // Tells the host's progress object `fraction` (kept within 0..1 and never below what
  // it heard before); false when it cancelled the sort.  No object: true.
  bool tellProgress(double fraction);
  // The fraction of `done` work units out of `total` (1 when there is no work).
  static double fractionOf(uint64_t done, uint64_t total) {
    return total == 0 ? 1.0 : static_cast<double>(done < total ? done : total) / static_cast<double>(total);
  }
  // After a row was read: every hundredth of the rows, the progress (the host may
  // cancel: StatusStopped with message 548, and the reading stays stopped); 0 else.
  int32_t readProgress();
  // Copies the fields of the private reader's current row into this file's fields.
  void takeRowFromCopy();

  uint32_t cloneFlags_ = 0;      // flags of the private copy; set by the engine's init
  uint32_t sortChunkSize_ = 0;   // chunk size of the next sort; copied by clean
  bool markByGroups_ = false;
  bool noCodeGen_ = false;
  bool noDups_ = false;
  bool stable_ = false;
  bool groupAfterSort_ = false;  // next() marks groups and drops duplicates itself
  SequenceBlock sequenceBlock_;  // .sortProgress is the progress object
  InfoBlock infoBlock_;          // .sortInfo is the information sink
  bool keysSet_ = false;         // the engine accepted the keys (setKeys)
  int32_t keyPartCount_ = 0;     // two per key, plus one when stable
  int32_t keyCount_ = 0;
  DecimalBlock decimalBlock_;
  TqRowReader rowReader_ = nullptr;
  uint64_t rowsLeft_ = 0;        // rows written to the current chunk / left to read
  int64_t chunkStartPosition_ = 0;
  TqDatafileManager* cloneManager_ = nullptr;  // owned
  TqDatafile* cloneCopy_ = nullptr;            // owned; the sorted rows, unsorted
  TqDatafile* hostReader_ = nullptr;           // owned; the host's reading once copied
  int64_t readPosition_ = 0;     // sorted output offset of the next row to read
  uint64_t rowsTaken_ = 0;       // rows read from the engine since sort (dropped ones too)
  bool sourcesReleased_ = false; // the engine released rows already read
  int32_t readFailure_ = 0;      // a copy failed, or the host cancelled: reading is over
  TqbString readFailureText_;
  bool keyInHand_ = false;       // next() read a row from the engine, whose key sortKey gives
  double lastFraction_ = 0;      // the progress the host heard last
  uint64_t rowsToReport_ = 0;    // rows to read before the next progress report
};

}  // namespace tqlib

#endif
