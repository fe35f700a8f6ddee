// Sorting with --collate: string keys in a locale's linguistic order, on the library's
// external sort engine (the only one that takes a collation record).
//
// One library sort.  The engine sorts on several threads of its own, and tqsort could
// not merge several sorts in the collation's order without the collation library, so
// there are no shards: a reader thread parses, the caller's thread adds the rows, a
// writer thread writes.
//
// Rows.  The engine's rows have a fixed length: every string field takes its column's
// maximum length.  So a row holds only the keys (string keys collated, the others
// typed as without --collate) and the line's place in the spool (tqsort_spool.h); the
// lines themselves wait in the spool and are written in the order of the sorted rows.
// -s and -u make the library sort stably (it numbers the rows); -u drops each row
// whose keys equal the row before it.
//
// Key columns.  A string key's column starts as wide as one and a half times the
// longest value of that key in the first batch (16 bytes at least, rounded up to 8).
// A longer value later widens it, to twice its width at least: the sort starts again
// with the wider columns and the lines spooled so far are parsed and added again, in
// input order (so -s and -u hold).  A column may widen while a row stays within
// 1/kRowShare of the sort's memory; a value that would need more stops the run with its
// place and the -S that would take it.  A value is never cut short.  The collation
// ends a value at a zero byte, so a key value that holds one is refused.  Near that
// limit the columns are cut to their longest values so far and the room left goes to
// the column that grows.  Every row costs its columns' widths in the sort: one long
// key value makes every row as wide (tqsort --stats shows the widths).
//
// Memory (-S, or chosen): a quarter goes to the sort (256 KiB at least), the rest to
// the lines: when the input's size is known and its lines fit in fifteen sixteenths of
// that, they all stay in memory and are copied to the output straight from there;
// otherwise half of it holds lines and the other half is the output's window, through
// which the lines in the spool's file are gathered.  Without -S the memory is one and a
// half times the input (so its lines stay in memory), 64 MiB at least and a quarter of
// the machine's at most; 256 MiB for an input of unknown size.  tqsort's own buffers
// (input batches, output buffers, the spool file's buffer) come on top, as without
// --collate.
#ifndef TQ_TOOLS_TQSORT_COLLATE_H
#define TQ_TOOLS_TQSORT_COLLATE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tqdatafile/tqdatafile.h"
#include "tqsort_input.h"
#include "tqsort_options.h"
#include "tqsort_output.h"
#include "tqsort_parse.h"
#include "tqsort_pipeline.h"
#include "tqsort_progress.h"
#include "tqsort_spool.h"
#include "tqsort_status.h"

namespace tqsort {

// Turns the collation options into the library's flags (tqDatafileParseCollateParms)
// and checks the locale by opening it in a sort of one row, so that a bad locale or
// word is one line naming the option before anything is read or written.
Status checkCollation(const Options& options, unsigned* flags);

struct CollateSizes {
  uint64_t memory = 0;       // -S, or chosen from the input's size
  uint64_t sortBytes = 0;    // the library sort's
  uint64_t spoolBytes = 0;   // lines kept in memory
  uint64_t windowBytes = 0;  // the output's window over the spool's file
  size_t blockBytes = 0;     // an input batch, an output buffer, the spool file's buffer
  size_t blockRows = 0;      // rows in an input batch at most
  int processors = 1;        // the library sort's threads
  bool threads = false;      // a reader thread and a writer thread
  int64_t inputBytes = -1;   // the input's size, when known
};

// A row may take at most this share of the sort's memory (1/kRowShare).
constexpr uint64_t kRowShare = 64;

// The sizes for -S `memory` (at least 1 MiB) and an input of `totalBytes` (-1: not known).
CollateSizes collateSizesForMemory(const Options& options, uint64_t memory, int64_t totalBytes);
// The sizes for the options: -S, or chosen from the input's size.
CollateSizes chooseCollateSizes(const Options& options, int64_t totalBytes);
// The least -S, in whole MiB, whose sort takes rows of `rowBytes`.
uint64_t collateMemoryFor(uint64_t rowBytes);

class CollatedSort : public BatchConsumer {
 public:
  // `parser` parses the input (its keys are resolved once the first batch comes); the
  // sort parses spooled lines again with a copy of its keys when a column widens.
  CollatedSort(const Options& options, const CollateSizes& sizes, unsigned collateFlags, const RecordParser* parser,
               TqSortProgress* progress, StatsReport* stats);
  ~CollatedSort() override;
  CollatedSort(const CollatedSort&) = delete;
  CollatedSort& operator=(const CollatedSort&) = delete;

  // The run's temporary directories: the engine's work files and the spool go to them.
  Status start(const std::vector<std::string>& tempDirs);
  Status consume(Batch& batch) override;
  // Sorts and writes the output: `bom` first if given, then `header`, then the lines.
  Status finish(OutputTarget* target, bool bom, const std::string& header);
  // Releases the datafile and its manager.
  void release();

  // The width of key `key`'s column (string keys), for the tests.
  int32_t keyWidth(size_t key) const { return widths_[key]; }
  // The memory of the run, as chosen (more once the sort grew for a long row).
  uint64_t memory() const { return sizes_.memory; }
  // The bytes written to the spool's file.
  uint64_t spoolFileBytes() const { return spool_ ? spool_->fileBytes() : 0; }
  // How many times the sort started again with wider columns.
  int restarts() const { return restarts_; }

 private:
  // The row bytes of the library's fixed layout for `widths`.
  uint64_t rowBytes(const std::vector<int32_t>& widths) const;
  // The most a row may take: a share of the sort's memory, within the engine's limit.
  uint64_t rowLimit() const;
  Status create();
  // Starts the sort again with `widths` and adds the spooled lines to it.
  Status widen(const std::vector<int32_t>& widths);
  Status addRow(const Batch& batch, const KeyValue* values, int64_t place);
  // Refuses a string value of key `key` that the collation cannot read as it is.
  Status checkCollatable(const Batch& batch, const Row& row, size_t key, const KeyValue& value) const;
  std::string libraryError() const;

  const Options& o_;
  CollateSizes sizes_;
  TqCollation collation_;
  const RecordParser* parser_;
  TqSortProgress* progress_;
  StatsReport* stats_;
  std::string dirs_;
  std::unique_ptr<LineSpool> spool_;
  TqDatafileManager* manager_ = nullptr;
  TqDatafile* file_ = nullptr;
  std::vector<TqbDatavar*> values_;  // the keys, then the place
  std::vector<int32_t> widths_;      // per key: its string column's width (0: not a string key)
  std::vector<uint64_t> longest_;    // per key: its longest string value so far
  uint64_t rows_ = 0;
  int64_t expectedRows_ = 0;  // the input's rows as the first batch has them (0: unknown)
  // The rows (by number) whose lines had a line end added, and how many bytes: their
  // content is shorter when they are parsed again.
  std::vector<std::pair<uint64_t, uint8_t>> addedEnds_;
  int restarts_ = 0;
};

}  // namespace tqsort

#endif
