// The sort itself: input records become rows of a sorting datafile, and the sorted rows
// are written out.
//
// Each record becomes one row: one field per key, typed (string, 64-bit integer, exact
// decimal, date, boolean; an empty field is null and sorts lowest), and the record's
// bytes as they came, line end included.  The output is those bytes in key order, so
// every record is written exactly as it was read.
#ifndef TQ_TOOLS_TQSORT_SORTER_H
#define TQ_TOOLS_TQSORT_SORTER_H

#include <cstdint>
#include <string>
#include <vector>

#include "tqdatafile/tqdatafile.h"
#include "tqsort_input.h"
#include "tqsort_options.h"
#include "tqsort_progress.h"
#include "tqsort_status.h"

namespace tqsort {

class OutputTarget;

// The memory the sort gets and how it is cut into chunks.
struct SortSizes {
  uint32_t sortBytes = 0;   // the library's sort size: memory for all chunks
  uint32_t chunkBytes = 0;  // one chunk
  int32_t maxFieldLength = 0;  // the longest string a field may hold
  int processors = 1;
};

// Chooses the sizes from the options (-S, --parallel), the machine, the number of keys
// and the input's size (`totalBytes`, -1 when unknown).
SortSizes chooseSortSizes(const Options& options, int64_t totalBytes);

// The message for a row that addRow refused with `status` (the library's text in
// `libraryText`), for the record that starts on line `line` of `in`.
std::string rowErrorMessage(int32_t status, const std::string& libraryText, const InputFile& in, int64_t line);

class Sorter : public RecordSink {
 public:
  Sorter(Options& options, ProgressBar* progress, StatsSink* stats);
  ~Sorter() override;
  // Creates the library's manager and sorting datafile, with its temporary files in
  // `tempDirs`.
  Status start(const std::vector<std::string>& tempDirs, int64_t totalBytes);
  Status header(const InputFile& in, const Record& record, const char* lineEnd) override;
  Status record(const InputFile& in, int64_t line, const Record& record, const char* lineEnd) override;
  // Sorts and writes the output: `bom` first if given, then the header, then the rows.
  Status finish(OutputTarget* out, bool bom);
  // Releases the datafile and the manager (they remove their own files).
  void release();

 private:
  Status resolveKeys(const Record* header);
  Status setKey(size_t k, const char* data, size_t length, const InputFile& in, int64_t line);

  Options& o_;
  ProgressBar* progress_;
  StatsSink* stats_;
  TqDatafileManager* manager_ = nullptr;
  TqDatafile* file_ = nullptr;
  std::vector<TqbDatavar*> values_;
  size_t maxField_ = 0;
  bool keysResolved_ = false;
  std::vector<Field> fields_;
  std::string scratch_;
  std::string lineScratch_;
  std::string header_;  // the header record, written first
};

}  // namespace tqsort

#endif
