// TqDatafileManager: the object through which a host uses the library.
//
// The host creates one with tqDatafileManagerCreate, describes the columns of its rows
// (setColumns, then setColSpec per column), optionally the chunk size and sort options,
// and asks for datafiles with createFile.  The manager must outlive every datafile it
// created.  Operations return true / a pointer on success and false / null on failure,
// with the text in getError().  One thread at a time; no locks inside.
#ifndef TQDATAFILE_MANAGER_H
#define TQDATAFILE_MANAGER_H

#include <cstdint>

#include "platform/tqbdatavar.h"
#include "platform/tqbstring.h"
#include "tqdatafile/datafile.h"
#include "tqdatafile/export.h"

// Limits of the settings: larger values are refused.
constexpr uint32_t kTqMaxChunkSize = 1u << 30;         // 1 GiB
constexpr int32_t kTqMaxStringLength = (1 << 30) - 64;  // a string must fit a chunk
constexpr int32_t kTqMaxSortProcessors = 64;

class TqDatafileManager {
 public:
  // Copies the source's column layout here, freezes the source and returns a clone.
  virtual TqDatafile* clone(TqDatafile* source) = 0;
  // A new datafile of the kind `flags` selects (TqDatafile::Flag...).
  virtual TqDatafile* createFile(uint32_t flags) = 0;
  // Freezes `file`; returns it, or null with the file's error here.
  virtual TqDatafile* freeze(TqDatafile* file) = 0;
  virtual TqbString getError() = 0;
  // Destroys the manager at once.
  virtual void release() = 0;
  // Row buffer / chunk size in bytes (default 8 MiB), 1 to kTqMaxChunkSize.  A sort
  // raises a chunk too small for one row to what a row needs.
  virtual bool setChunkSize(uint32_t size) = 0;
  // Column `index`: its type and, for strings, the maximum length in bytes (1 to
  // kTqMaxStringLength); an integer column given a negative length carries its values
  // raw (getInt64).  The column becomes exactly this spec; a refused spec changes
  // nothing.
  virtual bool setColSpec(int32_t index, tqbType type, int32_t length) = 0;
  // Discards the column list and makes `count` fresh columns.
  virtual bool setColumns(int32_t count) = 0;
  virtual bool setSortMarkByGroups(bool on) = 0;
  virtual bool setSortNoCodeGen(bool on) = 0;
  virtual bool setSortNoDups(bool on) = 0;
  // Processors a sort uses, 0 (taken as 1) to kTqMaxSortProcessors; its pool has one
  // thread more.
  virtual bool setSortProcessors(int32_t processors) = 0;
  virtual bool setSortRecords(int64_t records) = 0;
  // Memory for one sort in bytes (0: derived from the chunk size and processors); what
  // it holds and the least a sort takes: TqDatafile, "memory".
  virtual bool setSortSize(uint32_t bytes) = 0;
  virtual bool setSortStable(bool on) = 0;

 protected:
  ~TqDatafileManager() = default;
};

// Creates a manager whose temporary files go to the directories of `tempDirList`
// (separated by ':'; empty: the configuration value "BASE/TEMP").  On success
// *errorText is set null; on failure it receives the reason and the result is null.
TQ_EXPORT TqDatafileManager* tqDatafileManagerCreate(const TqbString& tempDirList,
                                                     TqbString* errorText);

// The longest row that a sorting datafile of variable rows (FlagSorted |
// FlagVariableRows) with this sort size and chunk size (bytes, as setSortSize and
// setChunkSize take them) accepts, counted as the row's serialized fields and its
// encoded sort key together.  A row longer than a chunk is written as a run of its own
// and read back within the sort size, which must hold two such rows at once; a longer
// row is refused with StatusNoRoom.
TQ_EXPORT uint64_t tqDatafileSortRowLimit(uint32_t sortSize, uint32_t chunkSize);

// Turns collation options in words into collation flags (TqCollation::collateFlags).
// caseOrder: "", "UPPER", "LOWER"; strength: "", "PRIMARY".."IDENTICAL" or "1".."5";
// variant: "", "BIG5HAN", "DIRECT", "GB2312HAN", "PHONEBOOK", "PINYIN", "POSIX",
// "STROKE", "TRADITIONAL".  False with *errorText naming the rejected option.
TQ_EXPORT bool tqDatafileParseCollateParms(bool firstSwitch, const TqbString& caseOrder,
                                           bool secondSwitch, const TqbString& strength,
                                           const TqbString& variant, unsigned* collateFlags,
                                           TqbString* errorText);

#endif
