// Sorting with --collate: string keys in a locale's linguistic order, on the library's
// external sort engine (the only one that takes a collation record).
//
// One library sort does the ordering.  The engine sorts on several threads of its own,
// and tqsort could not merge several sorts in the collation's order without the
// collation library, so there are no shards: a reader thread parses, the caller's
// thread adds the rows, a writer thread writes.
//
// Rows.  The engine's rows have a fixed length: every string field takes its column's
// maximum length.  So a row holds only the keys (string keys collated, the others
// typed as without --collate) and the line's place in the spool (tqsort_spool.h); the
// lines themselves wait in the spool and are written in the order of the sorted rows.
// -s and -u make the library sort stably (it numbers the rows); -u drops each row
// whose keys equal the row before it.
//
// Key columns follow the common values.  A string key's column in the main sort is as
// wide as all but the longest few of the first batch's values need (1/kRareShare of
// them), with room to spare.  A line with a longer value is rare: it goes to a second
// sort of its own (the long sort), whose columns are as wide as its values need and
// widen (that sort alone starts again from the spool) as longer ones come.  So a long
// value costs only its own row.  When long lines are not rare after all (more than
// 1/kLongShare of the lines), the main sort's columns widen to hold all but the longest
// 1/kRareShare of the values seen so far, and both sorts start again from the spool.
// A row stays within a share of its sort's memory (kRowShare, kLongRowShare); a value
// that would need more grows the memory without -S, and with -S stops the run with its
// place and the -S that would take it.  A
// value is never cut short.  The collation ends a value at a zero byte, and reads
// UTF-8: a key value with a zero byte, or with bytes that are not UTF-8, is refused.
//
// The long lines go into the main order when the output is written (LongLineMerge in
// tqsort_collate_merge.h): the main sort's order is kept as places in a file, and each
// long line finds its place among them by a few small sorts of it and some main rows.
//
// Memory (-S, or chosen): a quarter goes to the main sort (256 KiB at least), a quarter
// of that to the long sort, the rest to the lines: when the input's size is known and
// its lines fit in fifteen sixteenths of that, they all stay in memory and are copied
// to the output straight from there; otherwise half of it holds lines and the other
// half is the output's window, through which the lines in the spool's file are
// gathered.  Without -S the memory is one and a half times the input (so its lines
// stay in memory), 64 MiB at least and a quarter of the machine's at most; 256 MiB for
// an input of unknown size.  tqsort's own buffers (input batches, output buffers, the
// spool file's buffer) come on top, as without --collate.
#ifndef TQ_TOOLS_TQSORT_COLLATE_H
#define TQ_TOOLS_TQSORT_COLLATE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tqdatafile/tqdatafile.h"
#include "tqsort_collate_table.h"
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
  uint64_t sortBytes = 0;    // the main library sort's
  uint64_t longBytes = 0;    // the long sort's
  uint64_t spoolBytes = 0;   // lines kept in memory
  uint64_t windowBytes = 0;  // the output's window over the spool's file
  size_t blockBytes = 0;     // an input batch, an output buffer, the spool file's buffer
  size_t blockRows = 0;      // rows in an input batch at most
  int processors = 1;        // the library sort's threads
  bool threads = false;      // a reader thread and a writer thread
  int64_t inputBytes = -1;   // the input's size, when known
};

// A row may take at most this share of the main sort's memory (1/kRowShare), and of the
// long sort's (1/kLongRowShare: its rows are few).
constexpr uint64_t kRowShare = 64;
constexpr uint64_t kLongRowShare = 16;
// The main sort's columns leave out the longest 1/kRareShare of the values.
constexpr uint64_t kRareShare = 128;
// The long sort may hold 1/kLongShare of the lines (and kLeastLongRows in any case).
constexpr uint64_t kLongShare = 64;
constexpr uint64_t kLeastLongRows = 64;
// The longest row the external engine takes (its record length, 16 MiB), less room for
// what the library puts beside the fields.
constexpr uint64_t kLargestCollatedRow = (uint64_t{16} << 20) - 64;

// The sizes for -S `memory` (at least 1 MiB) and an input of `totalBytes` (-1: not known).
CollateSizes collateSizesForMemory(const Options& options, uint64_t memory, int64_t totalBytes);
// The sizes for the options: -S, or chosen from the input's size.
CollateSizes chooseCollateSizes(const Options& options, int64_t totalBytes);
// The least -S, in whole MiB, whose long sort takes rows of `rowBytes` (0: none does).
uint64_t collateMemoryFor(const Options& options, uint64_t rowBytes, int64_t totalBytes);

// How long the values of a string key are, in buckets an eighth of a power of two wide.
class LengthCounts {
 public:
  void add(uint64_t length) {
    ++counts_[bucket(length)];
    ++total_;
  }
  // The least length (a bucket's top) that all but `share` of the values stay within.
  uint64_t covering(uint64_t share) const;

 private:
  static size_t bucket(uint64_t length);
  static uint64_t bucketTop(size_t bucket);
  static constexpr size_t kBuckets = 16 + 8 * 60;
  uint64_t counts_[kBuckets] = {};
  uint64_t total_ = 0;
};

class LongLineMerge;

class CollatedSort : public BatchConsumer {
 public:
  // `parser` parses the input (its keys are resolved once the first batch comes); the
  // sort parses spooled lines again with a copy of its keys when a sort starts again.
  CollatedSort(const Options& options, const CollateSizes& sizes, unsigned collateFlags, const RecordParser* parser,
               TqSortProgress* progress, StatsReport* stats);
  ~CollatedSort() override;
  CollatedSort(const CollatedSort&) = delete;
  CollatedSort& operator=(const CollatedSort&) = delete;

  // The run's temporary directories: the engine's work files and the spool go to them.
  Status start(const std::vector<std::string>& tempDirs);
  // Lines of regular inputs may be read again from them for `out` instead of copied to
  // the spool's file, unless `out` may write one of them first.
  void readInputsAgain(const OutputTarget& out);
  Status consume(Batch& batch) override;
  // Sorts and writes the output: `bom` first if given, then `header`, then the lines.
  Status finish(OutputTarget* target, bool bom, const std::string& header);
  // Releases the datafiles and their managers.
  void release();

  // The width of key `key`'s column in the main sort (string keys), for the tests.
  int32_t keyWidth(size_t key) const { return mainWidths_[key]; }
  // How many times the main sort started again with wider columns.
  int restarts() const { return restarts_; }
  // The lines sorted apart for a long value.
  uint64_t longLines() const { return longLines_.size(); }
  // The memory of the run, as chosen (more once a sort grew for a long row).
  uint64_t memory() const { return sizes_.memory; }
  // The bytes written to tqsort's own temporary files (spool, order of the lines).
  uint64_t spoolFileBytes() const { return (spool_ ? spool_->fileDiskBytes() : 0) + orderFileBytes_; }

 private:
  // A line of the long sort: where it is in the spool, and its number in the input.
  struct SpooledLine {
    int64_t place;
    uint64_t line;
  };
  enum class SortRole { Main, Long };
  CollateTable::Shape shapeOf(const std::vector<int32_t>& widths, SortRole role) const;
  bool lineNumbers() const { return o_.stable || o_.unique; }
  // The first batch: the main sort's columns from its values.
  Status startSorts(const Batch& batch);
  // Refuses a string value of key `key` that the collation cannot read as it is.
  Status checkCollatable(const Batch& batch, const Row& row, size_t key, const KeyValue& value) const;
  // Adds a row to the main sort when its values fit, else to the long sort.
  Status addRow(const Batch& batch, const KeyValue* values, int64_t place, uint64_t line);
  // The long sort's columns for a row with values that its columns do not hold; grows
  // its memory without -S, or says which -S would take the row.
  Status widenLong(const KeyValue* values);
  // The main sort's columns for all but the rarest long values so far; both sorts start
  // again with every line spooled so far.
  Status widenMain();
  // Parses the spooled lines again (all of them, or those of `only`) and adds each to
  // the sort it belongs to (`mainToo` false: only to the long sort).
  Status replay(const std::vector<SpooledLine>* only, bool mainToo);
  // Takes `line` (of input line number `number`) into `batch`, parsed by `parser`.
  Status parseSpooled(RecordParser& parser, Batch* batch, const char* line, size_t length, uint64_t number);
  uint64_t rowLimit(uint64_t memory) const { return std::min(memory / kRowShare, kLargestCollatedRow); }
  // Narrows the widest of `widths` until a main row fits its share of the main sort.
  void fitMainRow(std::vector<int32_t>* widths) const;
  Status writeSorted(OutputTarget* target, bool bom, const std::string& header, LongLineMerge* merge);
  // The main sort's lines (every line in memory, none apart) to `out`.
  Status copyFromMemory(OutputStream* out, int32_t status);
  std::string statsLine(uint64_t windows, uint64_t reads) const;


  const Options& o_;
  CollateSizes sizes_;
  TqCollation collation_;
  const RecordParser* parser_;
  TqSortProgress* progress_;
  StatsReport* stats_;
  std::vector<std::string> runDirs_;
  std::string dirs_;
  std::unique_ptr<LineSpool> spool_;
  std::unique_ptr<CollateTable> main_;
  std::unique_ptr<CollateTable> long_;  // made with the first long line
  std::vector<int32_t> mainWidths_;   // per key: its string column's width (0: not a string key)
  std::vector<int32_t> longWidths_;   // the same in the long sort
  std::vector<LengthCounts> lengths_;  // per key: the lengths of its string values so far
  std::vector<SpooledLine> longLines_;  // in input order
  uint64_t rows_ = 0;
  int64_t expectedRows_ = 0;  // the input's rows as the first batch has them (0: unknown)
  // The rows (by number) whose lines had a line end added, and how many bytes: their
  // content is shorter when they are parsed again.
  std::vector<std::pair<uint64_t, uint8_t>> addedEnds_;
  int restarts_ = 0;
  int longRestarts_ = 0;
  uint64_t orderFileBytes_ = 0;
  uint64_t probeSorts_ = 0;
};

}  // namespace tqsort

#endif
