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
#include "tqsort_sizes.h"
#include "tqsort_status.h"

namespace tqsort {

class OutputStream;
class OutputTarget;
class Shard;
class ShardProgress;
class SortedFeed;

class Sorter {
 public:
  // `stats`: where the sorts report their statistics (with --stats).
  Sorter(Options& options, ProgressBar* progress, StatsReport* stats);
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
  // The memory of the sorts: as chosen, or as a sort grew to.
  uint64_t memory() const;
  // The bytes written to the sorts' line files.
  // The bytes of the line files on disk, and in *appended those appended to them.
  uint64_t lineFileBytes(uint64_t* appended = nullptr) const;

 private:
  Status finishOne(OutputStream* out, const std::function<Status()>& begin);
  Status finishMerged(OutputStream* out, const std::function<Status()>& begin);
  // The merge of the sorts' rows (finishMerged's caller's part) into `out`.
  Status mergeSorted(SortedFeed* feed, OutputStream* out, const std::function<Status()>& begin);

  Options& o_;
  ProgressBar* progress_;
  StatsReport* stats_;
  SortSizes sizes_;
  std::vector<std::unique_ptr<Shard>> shards_;
  std::unique_ptr<ShardProgress> shardProgress_;
};

}  // namespace tqsort

#endif
