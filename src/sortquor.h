// TqSortQuorImpl: the sorting datafile that hands its sort to the external sort engine
// (xsort/tqxsort.h), the only one that sorts strings linguistically.  A host gets it
// from createFile(FlagSorted | FlagExternalSort).
//
// The adapter keeps the sortfile base's drivers of writing and reading and moves rows
// to and from the engine in chunks.  Rows always have the fixed layout (every field at
// its rowOffset behind its null indicator, strings padded to their maximum length),
// plus, for a stable sort, the row's 8-byte ordinal behind the fields.  The engine
// hands out empty input chunks, the adapter serializes rows into them and submits
// them; after the last one, the engine hands back sorted output chunks that the
// adapter reads row by row.
//
// Keys: each key field becomes two key parts of the engine, its null indicator (a
// byte, inverted order so that nulls come first ascending and last descending) and its
// value (a byte, a date, an integer, the decimal collate form through the sortfile's
// callback, or a zero-terminated string, linguistic when the key has a collation
// record); a stable sort adds the ordinal as the last part.  The engine marks groups and
// drops duplicates itself, on the key parts without the ordinal (its tie-breaking
// bytes), so a stable sort's groups are those of its keys and the row kept of a group
// is its first in input order.
//
// Counts: with no-duplicates the row count and size are the input's until the last
// output chunk arrives, then those of the rows the sort returns (countOutput).
//
// Reading releases each output chunk after its last row: seek(0) goes back to the
// first row only while the first output chunk is in hand.
//
// Nothing outside this file pair includes the engine's header.
#ifndef TQ_SRC_SORTQUOR_H
#define TQ_SRC_SORTQUOR_H

#include "src/sortabs.h"

struct TqSortParms;
struct TqSortEngine;
struct TqSortInput;
struct TqSortInputChunk;
struct TqSortOutputChunk;
struct TqSortKeyPart;
struct TqSortCollation;

namespace tqlib {

class TqSortQuorImpl : public AbsTqSortfile {
 public:
  TqSortQuorImpl();

  // Datafile slots.
  bool hasNext() override;
  int32_t freeze() override;
  bool init(TqDatafileManager* manager, uint32_t flags) override;
  void release() override;
  int32_t resetSort(int32_t keyCount) override;
  int32_t seek(int64_t position) override;
  int32_t setSort(int32_t key, int32_t field, int32_t ascending, const TqCollation* collation) override;
  int32_t sort() override;

  // Engine operations.
  using AbsTqSortfile::clear;
  void clean(ClearScope scope) override;
  int32_t clear(ClearScope scope) override;
  int32_t getEmptyChunk() override;
  int32_t getNextChunk() override;
  int32_t setKeys() override;
  int32_t submitChunk(Submit which) override;
  int32_t rewind() override;

  // Reads the next row of the output chunk in hand into the fields (the row reader).
  int32_t readRow(bool* mark);
  double workDone() override;

 protected:
  ~TqSortQuorImpl() override;

 private:
  // The engine's text for a failure, into lastError_, and the status for the engine's
  // result: StatusNoRoom when its memory was too small, StatusStopped (message 548, and
  // the reading stays stopped) when the host cancelled, else `status`.
  int32_t engineFailed(int result, const char* text, int32_t status);
  // The engine's progress function: the host's progress object hears it.
  static int engineProgress(void* block, uint64_t done, uint64_t total);
  // A key part the engine refused: its text, told as the host's sort key; status 2.
  int32_t keyPartRefused(int32_t part, const char* text);
  // Closes the engine's input and destroys the sort object, if there are any.
  void discardEngine();
  // With no-duplicates, when the last output chunk (of `lastRows` rows) arrives: the row
  // count and size become those of the rows the sort returns.
  void countOutput(uint32_t lastRows);

  TqSortParms* sortParms_ = nullptr;        // owned; kept across clear
  TqSortEngine* sortEngine_ = nullptr;      // owned; made by init and every clear
  uint32_t rowSkip_ = 0;                    // bytes after the fields of each output row
  TqSortKeyPart* keyParts_ = nullptr;       // keyPartCount_ records, owned
  TqSortCollation* collations_ = nullptr;   // keyCount_ records; locale texts owned
  int32_t collationCount_ = 0;
  TqSortInput* engineInput_ = nullptr;      // owned; opened by setKeys, closed by clean
  TqSortInputChunk* inputChunk_ = nullptr;  // the chunk being filled
  TqSortOutputChunk* outputChunk_ = nullptr;  // the chunk being read
  const unsigned char* rowMarks_ = nullptr;   // mark of the next row to read
  uint32_t fieldBytes_ = 0;                 // serialized fields of a row (no ordinal)
  struct ProgressBlock {                    // the engine's progress block: (function, this)
    int (*function)(void* block, uint64_t done, uint64_t total);
    TqSortQuorImpl* owner;
  } progressBlock_{&TqSortQuorImpl::engineProgress, this};
  bool outputEnded_ = false;                // the last output chunk came and went
};

}  // namespace tqlib

#endif
