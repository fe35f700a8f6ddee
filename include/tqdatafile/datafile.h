// TqDatafile: the library's temporary store of typed rows.
//
// This interface and TqDatafileManager are the library's binary contract; the C++ layer
// in tq.h is built on them and is where a host starts.  Calling them directly:
//
// A host gets a datafile from TqDatafileManager::createFile, fills the field values
// (getField / getInt64), appends rows with addRow, then freezes (or, for a sorting
// datafile, sorts) it and reads the rows back with next, or from a remembered position
// with seek.  Every operation that can fail returns a status; the text of the failure
// is then in getError().  Nothing throws.
//
// Reading starts differently after the two ends of the input:
//   freeze(); while (f->next(nullptr) == 0) { ...row... }           // unsorted
//   for (int32_t s = f->sort(); s == 0; s = f->next(nullptr)) { ...row... }   // sorted
// sort() loads the first sorted row into the fields, so the unsorted loop would skip
// it; freeze() loads nothing.  An unsorted datafile that was never frozen reads from
// where it stands, the end of the rows written: next() answers 4 as at the end.  A
// loop ends at status 4; any other status is a failure (getError()).
//
// getError() holds the text of the last failure until the next failure replaces it: a
// call that succeeds leaves an earlier failure's text in place.
//
// A datafile is used by one thread at a time.  The host never deletes one: it ends it
// with release(), exactly once; the datafile is gone after it (a second release() is a
// use of freed memory).  The manager that made it must still exist then: a datafile
// reads the manager's settings and directories after createFile (manager.h).  A clone
// (clone()) is an independent reader of a frozen datafile's rows; the rows stay alive
// until the datafile and all of its clones are released, in any order.
//
// A failed call leaves no partial trace: a row that is refused is not stored (a row
// reported as stored is read back, or reading reports its loss), a refused setting or
// seek changes nothing.
//
// The operations stand in two alphabetical runs (slots 0-21 and 22-40).
#ifndef TQDATAFILE_DATAFILE_H
#define TQDATAFILE_DATAFILE_H

#include <cstdint>

#include "platform/tqbdatavar.h"
#include "platform/tqbstring.h"
#include "tqdatafile/export.h"
#include "tqdatafile/field.h"

class TqDatafileManager;

// Linguistic collation for a string key (accepted only by the external sort).
struct TqCollation {
  const char* locale;      // locale name, may be null
  uint32_t collateFlags;   // from tqDatafileParseCollateParms
};

// Receives the sort's statistics and information lines.
class TqSortInfo {
 public:
  virtual int line(const char* text) = 0;
  virtual ~TqSortInfo() = default;
};

// Receives the completed fraction (0.0 to 1.0) of a sort; returning false stops it: the
// sort, or the read in progress, then fails with status 6 (StatusStopped).
//
// The fraction is the share of the sort's work done, counted in rows: each row is one
// unit when it is sorted into a run (by the time sort() is called most rows are), one
// when the host reads it, and one more each time a merge writes it before the reading
// (only when the runs are too many to read at once).  So a sort that fits its memory
// reports about 0.5 as its first row comes, and 1.0 after its last.  The fraction never
// goes back: when a merge before the reading adds work, it holds still until the work
// done catches up.
//
// Every engine calls it on the host's thread, from sort() on: at least every 100 ms
// while sort() or next() waits for chunk sorts and merges, and every hundredth of the
// rows read.  Returning false stops the sort within about 100 ms: the call returns
// StatusStopped with the message "The sort was cancelled by the progress callback.",
// and so does every reading call after it, until clear().
class TqSortProgress {
 public:
  virtual bool progress(double fraction) = 0;
  virtual ~TqSortProgress() = default;
};

class TqDatafile {
 public:
  // --- memory ---------------------------------------------------------------------
  // A chunk sort's memory is its sort size (setSortSize; without one, a chunk per pool
  // thread, at least three, and beside them the share and the window below).  Of it,
  // a sixteenth (at least 16 KiB) is kept for the runs written to disk: each keeps its
  // descriptor, its file's name and copies of at most 256 bytes of its first and last
  // keys; the chunk sorts merge runs while rows come in before these outgrow their
  // share.  One window (a sixteenth of a chunk, 4 KiB to 128 KiB) writes runs to disk;
  // the rest holds chunks, and windows through which runs are read back, each as long
  // as the run's longest row, so rows longer than a chunk are read back within the
  // sort size whatever their number.  A sort size too small for three chunks of one
  // row, that share and the window grows to that (about 20 KiB at least).  Beyond the
  // sort size a sort allocates only what does not grow with the rows: its objects,
  // its thread pool's, its messages (some kilobytes).  The statistics' "Peak bytes in
  // memory" is the most the sort counted at once.  A variable row longer than a chunk
  // must fit the memory twice (tqDatafileSortRowLimit); a longer one is refused.
  //
  // Run files a chunk sort holds open at once: at most half of what the process may
  // still open when the sort starts (at least 5); with fewer, it merges its runs in
  // more passes ("Run files open at most" in the statistics).
  //
  // The external engine (FlagExternalSort) counts every buffer it allocates against
  // the sort size, at least 256 KiB, and merges its runs while rows come in when their
  // list fills a sixteenth of it, so that no input is too large for the memory.

  // --- creation flags (createFile) ------------------------------------------------
  // A sorting datafile's engine follows from the flags:
  //   FlagSorted | FlagVariableRows   the variable-row chunk sort: a row costs only its
  //                                   bytes; for strings that vary in length
  //   FlagSorted                      the fixed-row chunk sort: whole fixed records, no
  //                                   index; faster for numbers, dates, short strings
  //   FlagSorted | FlagExternalSort   the external engine: the only one that takes a
  //                                   collation (linguistic order of string keys)
  // All three give the same rows in the same order, with the same groups and the same
  // duplicates dropped: keys order as one encoder writes them (nulls lowest both ways;
  // dates and reals numerically, -0.0 equal to 0.0 and every NaN one value above
  // +infinity; strings bytewise).
  static constexpr uint32_t FlagMarkColumn = 0x00000001;    // last column is the row mark
  static constexpr uint32_t FlagReadOnly = 0x00000002;      // set by freeze / sort
  static constexpr uint32_t FlagExternalSort = 0x08000000;  // with FlagSorted: external engine
  static constexpr uint32_t FlagSorted = 0x10000000;        // a sorting datafile
  static constexpr uint32_t FlagMemoryOnly = 0x20000000;    // never spill (needs MemoryFirst)
  static constexpr uint32_t FlagMemoryFirst = 0x40000000;   // keep rows in memory until full
  static constexpr uint32_t FlagVariableRows = 0x80000000;  // variable-length strings

  // --- status codes ---------------------------------------------------------------
  static constexpr int32_t StatusOk = 0;
  static constexpr int32_t StatusNoRoom = 1;       // row does not fit, or out of memory
  static constexpr int32_t StatusOpenFailed = 2;   // temporary file not (re)opened
  static constexpr int32_t StatusIoError = 3;      // a file operation failed
  static constexpr int32_t StatusEndOfData = 4;    // no row there / memory-only full
  static constexpr int32_t StatusNotAllowed = 5;   // not allowed in this state or class
  static constexpr int32_t StatusStopped = 6;      // sort cancelled or stopped by an error
  static constexpr int32_t StatusNoKeys = 7;       // no sort keys defined
  static constexpr int32_t StatusSystemError = 12; // a sort chunk file read/write failed

  // Appends the row made of the fields' current values.  `rowStart` (may be null)
  // receives the row's byte position, for seek; it is left alone when the row is
  // refused.  A sorting datafile refuses rows after sort (5).  A fixed-row layout
  // (without FlagVariableRows, and always the external engine's) refuses a row whose
  // string value is longer than its column's maximum (1, nothing stored); the
  // variable-row layout keeps such a value whole.
  virtual int32_t addRow(int64_t* rowStart) = 0;
  // Drops every row; the datafile is writable and empty again.  A sorting datafile keeps
  // its keys (and refuses clear after sort, 5).
  virtual int32_t clear() = 0;
  virtual uint32_t getChunkSize() = 0;
  // The text of the last failure.
  virtual TqbString getError() = 0;
  // The value of field `index`, or null when out of range (check it before calling
  // through it).  Valid for the datafile's life.
  virtual TqbDatavar* getField(int32_t index) = 0;
  // Number of visible fields (without a hidden mark column).
  virtual int32_t getFieldCount() = 0;
  // Maximum length of a string field, or -1 when out of range.
  virtual int32_t getFieldLength(int32_t index) = 0;
  // Type of the field (0 when out of range); `rawInteger` (may be null) receives the flag.
  virtual tqbType getFieldType(int32_t index, bool* rawInteger) = 0;
  // The raw integer slot of field `index`, or null when out of range.
  virtual int64_t* getInt64(int32_t index) = 0;
  // Rows stored.  The external engine with no-duplicates counts, once its last output
  // chunk is in hand, the rows it returns.
  virtual int64_t getRowCount() = 0;
  // Bytes of stored rows (likewise).
  virtual int64_t getSize() = 0;
  // Whether next() gives a row; a sorted file with no-duplicates says false after its
  // last distinct row.
  virtual bool hasNext() = 0;
  // Reads the next row into the field values; 4 at the end.  `mark` (may be null)
  // receives: with FlagMarkColumn, the mark column's value; on a sorting datafile with
  // setSortMarkByGroups, true when the row begins a group of rows with equal keys (the
  // first row, which sort() loads without a mark, always does); otherwise false.  A
  // sorting datafile reads only after sort (5 "Sort not called" before).
  virtual int32_t next(bool* mark) = 0;
  // Changes the size of the row buffer (0: the manager's chunk size).
  virtual int32_t rechunk(uint32_t size) = 0;
  // Ends the host's use of the datafile.
  virtual void release() = 0;
  // Sorting: clears and prepares `keyCount` keys.
  virtual int32_t resetSort(int32_t keyCount) = 0;
  // Reads the row that starts at byte `position` into the field values.  Valid
  // positions are those addRow handed back and tell returned; any other position is
  // never read outside the stored rows, but what it reads is not defined.  A sorted
  // file releases rows as it reads them: it takes the position tell gave for the next
  // row, and 0 only while its first row is still in hand (3 otherwise); once cloned,
  // every position its rows had.
  virtual int32_t seek(int64_t position) = 0;
  // Sorting: key `key` (0 to keyCount - 1) is field `field`, ascending when `ascending`
  // is non-zero.  A collation is taken only by the external engine, on a string field;
  // it keeps a copy of the locale name.  The engine checks the locale when it takes
  // its keys, at the first addRow: an unknown locale is refused there (status 2, "Sort
  // key N: ..." with the key as numbered here), not by setSort.
  virtual int32_t setSort(int32_t key, int32_t field, int32_t ascending,
                          const TqCollation* collation) = 0;
  virtual int32_t setSortInfo(TqSortInfo* info) = 0;
  virtual int32_t setSortProgress(TqSortProgress* progress) = 0;
  // Sorting: ends the input, sorts and loads the first sorted row into the fields (4:
  // no rows): read it before calling next().
  virtual int32_t sort() = 0;
  // Position of the next row to read, or -1 at the end (or before a sort).
  virtual int64_t tell() = 0;

  virtual void addRef() = 0;
  // An independent reader of this frozen datafile's rows, or null (see getError).  A
  // sorted file can be cloned only before it is read past its first row, since its
  // rows are released as they are read: its first clone copies every sorted row, and
  // the file itself then reads on from where it was; later clones share that copy.
  virtual TqDatafile* clone() = 0;
  // Ends the input; the first next() reads the first row (freeze loads none).  A sorting
  // datafile ends its input with sort(): freeze before sort is refused (5) and changes
  // nothing.
  virtual int32_t freeze() = 0;
  virtual TqDatafile* getParent() = 0;
  // Called by the manager; a host never calls it.
  virtual bool init(TqDatafileManager* manager, uint32_t flags) = 0;
  virtual int32_t readBoolean(TqDatafileField& field) = 0;
  virtual int32_t readDate(TqDatafileField& field) = 0;
  virtual int32_t readInteger(TqDatafileField& field) = 0;
  virtual int32_t readReal(TqDatafileField& field) = 0;
  virtual int32_t readString(TqDatafileField& field) = 0;
  virtual int32_t readStringFixed(TqDatafileField& field) = 0;
  virtual void releaseRef() = 0;
  virtual void setParent(TqDatafile* parent) = 0;
  virtual int32_t writeBoolean(TqDatafileField& field) = 0;
  virtual int32_t writeDate(TqDatafileField& field) = 0;
  virtual int32_t writeInteger(TqDatafileField& field) = 0;
  virtual int32_t writeReal(TqDatafileField& field) = 0;
  virtual int32_t writeString(TqDatafileField& field) = 0;
  virtual int32_t writeStringFixed(TqDatafileField& field) = 0;

 protected:
  ~TqDatafile() = default;
};

// The sort key of the row a sorting datafile of the chunk sorts (FlagSorted, without
// FlagExternalSort; `file` as createFile or clone made it) holds in its fields, the row that sort(), next() or seek() read
// last: *key receives its bytes and *keyLength their count, valid until the next call
// on the datafile.  They are the key fields encoded as the sort compares them: keys of
// two datafiles with the same engine, key fields, directions and column lengths compare
// as unsigned byte strings (a key that is a prefix of another first) as their rows
// sort, and are equal exactly when their rows are one group.  With setSortStable they
// end in 8 bytes of the row's place in its datafile's input.  So a host that sorts its
// rows in several datafiles merges their outputs with these bytes, without encoding
// its key values again.
//
// 0 with the key; StatusNotAllowed (5, the reason in getError(), *key and *keyLength
// unchanged) before sort, after the last row or a failed read, once the datafile was
// cloned (the copy keeps no keys), from the external engine and from a datafile that
// does not sort; StatusNotAllowed without a message for a null `file`, `key` or
// `keyLength`.  Nothing changes the datafile.
TQ_EXPORT int32_t tqDatafileSortKey(TqDatafile* file, const uint8_t** key, uint32_t* keyLength);

// Keeps the values of `column` only in the sort key, on a datafile of the variable-row
// chunk sort (FlagSorted | FlagVariableRows): `column` is a column that setSort made a
// key, of type boolean, integer, date or string, and its rows store nothing for it, so
// that a value that is also a key costs its bytes once.  Call it for each such column.
// Reading a row gives a null for the column; its value is in the key tqDatafileSortKey
// gives (core/sortkey.h reads each type back), and a clone, which keeps no keys, reads
// nulls.  In that key each key field in turn takes: a boolean 2 bytes, an integer or a
// date 9 (a presence byte, then 8 bytes big-endian: an integer with its sign bit
// flipped, a date as its double's bits ordered as numbers), a real 27, a string a
// presence byte (ascending 1, descending 0; for a null the other, then one zero byte),
// its bytes (each inverted when descending) and a terminator (0, descending 0xff);
// the value bytes of a null number or boolean are zeros.  Call it after setSort and
// before the first row; resetSort ends it.
//
// 0; StatusNotAllowed (5, the reason in getError()) once rows were added, for a column
// that is not a sort key, a real (its key does not give back its digits) or a raw
// integer, on the fixed-row chunk sort, the external engine and a datafile that does
// not sort; StatusNotAllowed without a message for a null `file`.
TQ_EXPORT int32_t tqDatafileSortKeyOnly(TqDatafile* file, int32_t column);

#endif
