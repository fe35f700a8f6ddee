// The sort itself: input records become rows of a sorting datafile, and the sorted rows
// are written out.
//
// Each record becomes one row: one field per key, typed (string, 64-bit integer, exact
// decimal, date, boolean; an empty field is null and sorts lowest), and the record's
// bytes as they came, line end included.  The output is those bytes in key order, so
// every record is written exactly as it was read.
//
// Long lines.  A line longer than the line column (an eighth of a chunk) is not put
// into the sort: its bytes go to the run's line file ("lines" in the first run
// directory) and the row carries where they are, 16 bytes that never end in a line
// end as a stored line does.  So a long line costs the sort only its keys.  A row whose
// keys alone no chunk holds becomes a run of its own in the library, which needs the
// row twice within its memory; when -S cannot give that, the message says which -S
// would (minimumMemory).
#ifndef TQ_TOOLS_TQSORT_SORTER_H
#define TQ_TOOLS_TQSORT_SORTER_H

#include <cstdint>
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

class OutputTarget;

// The memory the sort gets and how it is cut up.  The library's sort size is
// `memory`, in eight chunks; tqsort's own buffers (input batches, output buffers) are
// on top of it, a few times `blockBytes`.
struct SortSizes {
  uint64_t memory = 0;       // -S, or chosen from the input's size
  uint32_t sortBytes = 0;    // the library's sort size: eight chunks
  uint32_t chunkBytes = 0;   // one chunk
  int32_t keyLength = 0;     // the maximum length of a string key's column
  int32_t lineLength = 0;    // the line column's: longer lines go to the line file
  size_t blockBytes = 0;     // an input batch, and an output buffer
  size_t blockRows = 0;      // rows in a batch at most
  int processors = 1;
  bool threads = false;      // a reader and a writer thread beside the sort
};

// Chooses the sizes from the options (-S, --parallel), the machine, the keys and the
// input's size (`totalBytes`, -1 when unknown).
SortSizes chooseSortSizes(const Options& options, int64_t totalBytes);

// The sizes for a sort of `memory` bytes (at least 1 MiB, at most the library's 32-bit
// sort size).
SortSizes sizesForMemory(const Options& options, uint64_t memory);

// A row as the sort stores it: per key, -1 for a null, else (string keys) the bytes of
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

// The message for a row that addRow refused with `status` (the library's text in
// `libraryText`), for the record of `lineBytes` bytes that starts on line `line` of
// `in`.  A row the sort's memory cannot hold says which -S can.
std::string rowErrorMessage(const Options& options, const SortSizes& sizes, const RowShape& shape, int32_t status,
                            const std::string& libraryText, const InputFile& in, int64_t line, uint64_t lineBytes);

class Sorter : public BatchConsumer {
 public:
  Sorter(Options& options, ProgressBar* progress, StatsSink* stats);
  ~Sorter() override;
  // Creates the library's manager and sorting datafile, with its temporary files in
  // `tempDirs` (the run's directories; the line file goes to the first).
  Status start(const std::vector<std::string>& tempDirs, const SortSizes& sizes);
  // Adds a batch's rows.
  Status consume(Batch& batch) override;
  // Sorts and writes the output: `bom` first if given, then `header`, then the rows.
  Status finish(OutputTarget* out, bool bom, const std::string& header);
  // Releases the datafile and the manager (they remove their own files).
  void release();

 private:
  Status setValue(TqbDatavar* v, const KeyValue& value, const Batch& batch);
  Status spillLine(const char* data, size_t length);
  Status writeSpilled(const char* reference, class OutputStream* out);
  Status refused(int32_t status, const Batch& batch, const Row& row);

  Options& o_;
  ProgressBar* progress_;
  StatsSink* stats_;
  SortSizes sizes_;
  TqDatafileManager* manager_ = nullptr;
  TqDatafile* file_ = nullptr;
  std::vector<TqbDatavar*> values_;
  std::string linePath_;  // the line file
  int lineFd_ = -1;
  uint64_t lineFileSize_ = 0;
  std::unique_ptr<char[]> copyBuffer_;
};

}  // namespace tqsort

#endif
