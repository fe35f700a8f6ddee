// One library sort of a collated run (see tqsort_collate.h): a sorting datafile on the
// external engine whose rows are the keys of lines, and beside them two numbers: the
// line's place in the spool (or, in a probe sort, which row it stands for) and, when
// asked for, the line's number in the input.
#ifndef TQ_TOOLS_TQSORT_COLLATE_TABLE_H
#define TQ_TOOLS_TQSORT_COLLATE_TABLE_H

#include <cstdint>
#include <string>
#include <vector>

#include "tqdatafile/tqdatafile.h"
#include "tqsort_options.h"
#include "tqsort_parse.h"
#include "tqsort_status.h"

namespace tqsort {

class CollateTable {
 public:
  // How the sort is made.
  struct Shape {
    std::vector<int32_t> widths;  // per key: its string column's width (0: not a string key)
    bool lineNumbers = false;     // a column with each row's input line number
    bool stable = false;          // equal keys keep the order the rows were added in
    bool unique = false;          // of equal keys only the first row is kept
    bool marks = false;           // next() tells where a group of equal keys starts
    uint64_t memory = 0;
    int processors = 1;
    int64_t expectedRows = 0;     // 0: not known
  };

  // `dirs`: the ':'-separated run directories.  `options` and `collation` outlive it.
  CollateTable(const Options& options, const TqCollation& collation, std::string dirs)
      : o_(options), collation_(collation), dirs_(std::move(dirs)) {}
  ~CollateTable() { release(); }
  CollateTable(const CollateTable&) = delete;
  CollateTable& operator=(const CollateTable&) = delete;

  // Makes the sort (any sort made before is released first).
  Status create(const Shape& shape);
  void setReporting(TqSortInfo* info, TqSortProgress* progress);
  bool created() const { return file_ != nullptr; }
  const Shape& shape() const { return shape_; }
  // Adds a row: the key values `values` (of `batch`), `place` and the line number.
  Status add(const Batch& batch, const KeyValue* values, int64_t place, uint64_t line = 0);
  // Ends the input: 0 with the first row in hand, TqDatafile::StatusEndOfData with none.
  int32_t sort() { return file_->sort(); }
  // The next row; *groupStart (with marks) whether it starts a group of equal keys.
  int32_t next(bool* groupStart = nullptr) { return file_->next(groupStart); }
  // The row in hand's place and line number.
  int64_t place() const;
  uint64_t line() const;
  // The library's text for the last failure, in tqsort's words.
  std::string error() const;
  void release();

  // The bytes of a row of `widths`, as the library lays it out.
  static uint64_t rowBytes(const Options& options, const std::vector<int32_t>& widths, bool lineNumbers);

 private:
  const Options& o_;
  const TqCollation& collation_;
  std::string dirs_;
  Shape shape_;
  TqDatafileManager* manager_ = nullptr;
  TqDatafile* file_ = nullptr;
  std::vector<TqbDatavar*> values_;  // the keys, the place, the line number
};

// The library's text without its "Sort key N: " (or the engine's "Key part N: ") in
// front (tqsort's key numbers are not the user's) and without its full stop, as
// tqsort's messages end; what it echoes of the user's words has its control bytes
// escaped, so that the message stays one line and sends nothing to the terminal.
std::string plainLibraryText(std::string text);

}  // namespace tqsort

#endif
