// TqDatafileManager: the object through which a host uses the library.
//
// The host creates one with tqDatafileManagerCreate, describes the columns of its rows
// (setColumns, then setColSpec per column), optionally the chunk size and sort options,
// and asks for datafiles with createFile.  Operations return true / a pointer on success
// and false / null on failure, with the text in getError() (kept until the next
// failure).  One thread at a time, together with the datafiles that read its settings;
// no locks inside.  (The C++ layer in tq.h gives each datafile a manager of its own.)
//
// When a datafile reads the settings:
//   at createFile   the columns, the chunk size, stable, no-duplicates, mark-by-groups,
//                   processors (every engine starts its threads from it); the external
//                   engine also the sort size and the expected records; an unsorted
//                   datafile the first temporary directory (its file)
//   at the first addRow (and the first after each clear)
//                   the chunk sorts: the sort size
//   later           rechunk(0): the chunk size; a chunk sort writing a chunk file: the
//                   temporary directories; clone of a sorted datafile: the directories
// So settings changed after createFile may still reach a chunk sort's size, and the
// manager must outlive every datafile it created: release the datafiles, then it.
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
  // Destroys the manager at once: every datafile it made must be released before.
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
  // next(&mark) tells the first row of each group of rows with equal keys.
  virtual bool setSortMarkByGroups(bool on) = 0;
  // Handed to the external engine, which compares prebuilt byte keys whatever it says:
  // it changes no result.  The chunk sorts ignore it.
  virtual bool setSortNoCodeGen(bool on) = 0;
  // Of each group of rows with equal keys, only the first is returned.
  virtual bool setSortNoDups(bool on) = 0;
  // Processors a sort uses, 0 (taken as 1) to kTqMaxSortProcessors; its pool has one
  // thread more.
  virtual bool setSortProcessors(int32_t processors) = 0;
  // The number of rows expected (0: unknown): a hint by which the external engine sizes
  // its batches so that every thread gets some.  The chunk sorts ignore it.
  virtual bool setSortRecords(int64_t records) = 0;
  // Memory for one sort in bytes (0: derived from the chunk size and processors).
  virtual bool setSortSize(uint32_t bytes) = 0;
  // Rows with equal keys keep the order in which they were added.
  virtual bool setSortStable(bool on) = 0;

 protected:
  ~TqDatafileManager() = default;
};

// Creates a manager whose temporary files go to the directories of `tempDirList`
// (separated by ':'; empty: the configuration value "BASE/TEMP").  On success
// *errorText is set null; on failure it receives the reason and the result is null.
TQ_EXPORT TqDatafileManager* tqDatafileManagerCreate(const TqbString& tempDirList,
                                                     TqbString* errorText);

// Turns collation options into collation flags (TqCollation::collateFlags), which the
// external engine applies to the locale's collation (ICU):
//   firstSwitch    0x00001  numeric: digit runs compare as numbers ("file2" < "file10")
//   caseOrder      0x00004 "UPPER" (upper case first), 0x00002 "LOWER", "" the locale's
//   secondSwitch   0x00800  ignore punctuation: blanks and punctuation count only at
//                           QUATERNARY strength ("a-c" sorts as "ac")
//   strength       0x01000 "PRIMARY" or "1" (base letters: a = A = ä), 0x02000
//                  "SECONDARY" or "2" (and accents), 0x04000 "TERTIARY" or "3" (and
//                  case), 0x08000 "QUATERNARY" or "4", 0x10000 "IDENTICAL" or "5"; ""
//                  the locale's
//   variant        0x00008 "BIG5HAN", 0x00010 "DIRECT", 0x00020 "GB2312HAN", 0x00040
//                  "PHONEBOOK" (German: "ä" as "ae"), 0x00080 "PINYIN", 0x00100 "POSIX",
//                  0x00200 "STROKE", 0x00400 "TRADITIONAL"; "" the locale's default.
//                  POSIX and DIRECT are code point order and take no other flag.
// Words are matched whole, in any letter case.  False with *errorText naming the
// rejected word, the flags unchanged.  tq::Collation (tq_options.h) names them all.
TQ_EXPORT bool tqDatafileParseCollateParms(bool firstSwitch, const TqbString& caseOrder,
                                           bool secondSwitch, const TqbString& strength,
                                           const TqbString& variant, unsigned* collateFlags,
                                           TqbString* errorText);

#endif
