// The sort itself: input records become rows of sorting datafiles, and the sorted rows
// are written out.
//
// Each record becomes one row: one field per key, typed (string, 64-bit integer, exact
// decimal, date, boolean; an empty field is null and sorts lowest), and the record's
// bytes as they came, line end included.  The output is those bytes in key order, so
// every record is written exactly as it was read.
//
// Shards.  On one processor there is one sort.  On N processors there are N sorts (at
// most four), one per thread, each with its share of the memory: batch n of the input
// goes to sort n % N, so adding rows, sorting chunks and reading the sorted rows back
// (which a datafile does on one thread) run on N threads at once, and tqsort merges
// their sorted rows into the output by the same key order the library uses.  With -s
// or -u each row also carries its input row number as a last key, so that rows with
// equal keys come out in input order; -u then drops, in the merge, each row whose keys
// equal the row written before it.
//
// Long lines.  A line longer than the line column (an eighth of a chunk) is not put
// into a sort: its bytes go to its sort's line file ("lines-N" in the first run
// directory) and the row carries where they are (a reference that never ends in a line
// end, as a stored line does).  So a long line costs the sort only its keys.  A row
// whose keys alone no chunk holds becomes a run of its own in the library, which needs
// the row twice within its memory; when -S cannot give that, the message says which -S
// would (minimumMemory).  Without -S, tqsort chooses a moderate memory (see
// chooseSortSizes), and a sort given a row that needs more moves its rows to a larger
// sort, up to a quarter of the machine's memory.
#ifndef TQ_TOOLS_TQSORT_SORTER_H
#define TQ_TOOLS_TQSORT_SORTER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tqdatafile/tqdatafile.h"
#include "tqsort_input.h"
#include "tqsort_options.h"
#include "tqsort_pipeline.h"
#include "tqsort_progress.h"
#include "tqsort_status.h"

namespace tqsort {

class OutputStream;
class OutputTarget;
class KeptStats;
class Shard;
class ShardProgress;

// The memory the sorts get and how it is cut up.  Each sort's size is its share of
// `memory`, in eight chunks; tqsort's own buffers (input batches, output buffers) are
// on top of it, a few times `blockBytes` each.
struct SortSizes {
  uint64_t memory = 0;       // -S, or chosen from the input's size
  int shards = 1;            // sorts
  int shardProcessors = 1;   // processors of each sort
  bool sequenceKey = false;  // rows carry their input row number as a last key
  uint32_t sortBytes = 0;    // a sort's size: eight chunks
  uint32_t chunkBytes = 0;   // one chunk
  int32_t keyLength = 0;     // the maximum length of a string key's column
  int32_t lineLength = 0;    // the line column's: longer lines go to the line file
  size_t blockBytes = 0;     // an input batch, an output buffer, a batch of sorted rows
  size_t blockRows = 0;      // rows in an input batch at most
  int processors = 1;
  bool threads = false;      // a reader thread, a thread per sort, a writer thread
  uint64_t growsTo = 0;      // tqsort chose the memory: a sort may grow up to this
};

// Chooses the sizes from the options (-S, --parallel), the machine, the keys and the
// input's size (`totalBytes`, -1 when unknown).
SortSizes chooseSortSizes(const Options& options, int64_t totalBytes);

// The sizes for sorts of `memory` bytes in all (at least 1 MiB; each sort within the
// library's 32-bit sort size).
SortSizes sizesForMemory(const Options& options, uint64_t memory);

// A row as a sort stores it: per key, -1 for a null, else (string keys) the bytes of
// its value; and the bytes of the line column's value.
struct RowShape {
  std::vector<int64_t> keyBytes;
  uint64_t lineBytes = 0;
};

// The memory the library asks for a row that no chunk holds, with the sizes `sizes`:
// its key and fields, counted as the library counts them (every string field as key
// bytes too, and a string key at its column's maximum length besides).  The library
// takes such a row when this is at most half its sort size and at most
// kTqMaxChunkSize.
uint64_t longRowNeed(const Options& options, const SortSizes& sizes, const RowShape& shape);

// The least -S, in whole MiB, with which the library takes the row; 0 when none does.
uint64_t minimumMemory(const Options& options, const RowShape& shape);

// Whether a sort of `sizes` is too small for the row (longRowNeed).
bool needsMoreMemory(const Options& options, const SortSizes& sizes, const RowShape& shape);

// The message for a row that addRow refused with `status` (the library's text in
// `libraryText`), for the record of `lineBytes` bytes that starts on line `line` of
// `in`.  A row the sort's memory cannot hold says which -S can.
std::string rowErrorMessage(const Options& options, const SortSizes& sizes, const RowShape& shape, int32_t status,
                            const std::string& libraryText, const InputFile& in, int64_t line, uint64_t lineBytes);

// Appends to `out` the bytes of `value` as the library orders a key of `type`: byte
// strings that compare (unsigned, then shorter first) as the rows sort.  A null is
// lowest; descending inverts.
void appendSortKey(std::string* out, KeyType type, bool descending, const TqbDatavar& value);

class Sorter {
 public:
  Sorter(Options& options, ProgressBar* progress, StatsSink* stats);
  ~Sorter();
  // Creates the library's manager and sorting datafile of each sort, with their
  // temporary files in `tempDirs` (the run's directories; line files go to the first).
  Status start(const std::vector<std::string>& tempDirs, const SortSizes& sizes);
  // What takes the input's batches: one consumer per sort.
  std::vector<BatchConsumer*> consumers();
  // Sorts and writes the output: `bom` first if given, then `header`, then the rows,
  // their lines made whole again as `stored` says.
  Status finish(OutputTarget* out, bool bom, const std::string& header, const StoredLine& stored);
  // Releases the datafiles and managers (they remove their own files).
  void release();

 private:
  Status finishOne(OutputStream* out, const std::function<Status()>& begin);
  Status finishMerged(OutputStream* out, const std::function<Status()>& begin);

  Options& o_;
  ProgressBar* progress_;
  StatsSink* stats_;
  SortSizes sizes_;
  std::vector<std::unique_ptr<Shard>> shards_;
  std::unique_ptr<ShardProgress> shardProgress_;
  std::vector<std::unique_ptr<KeptStats>> keptStats_;  // several sorts: their statistics
};

}  // namespace tqsort

#endif
