// The long lines of a collated run in the main sort's order (see tqsort_collate.h).
//
// The long sort's rows are read into memory, and the main sort's rows in order into a
// list of places (and line numbers, when the run is stable): in the memory the sorts and
// the output's window leave free, else in a file ("order" in the run directories).  A
// long line's place among the n main rows is found by rounds of probe sorts: each round
// sorts every long line not yet placed together with up to m main rows evenly spread
// over the range it may still go in, and the main rows it comes after narrow that range
// to one of m + 1 parts; so log(n) / log(m + 1) rounds place every long line.  A probe sort is small (the long
// lines and their probes), as wide as the long lines need, and orders rows exactly as
// the main and long sorts do: the same keys and collation, equal keys in input order
// when the run is stable (-s, -u), where the rows are added in input order.  With -u a
// last probe sort, with group marks, sees whether a long line equals the main row before
// or after its place: then the one of the two that came later in the input goes.
//
// The output then reads the file of places front to back and writes each long line
// before the main row it was placed before.
#ifndef TQ_TOOLS_TQSORT_COLLATE_MERGE_H
#define TQ_TOOLS_TQSORT_COLLATE_MERGE_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tqsort_collate_table.h"
#include "tqsort_options.h"
#include "tqsort_parse.h"
#include "tqsort_spool.h"
#include "tqsort_status.h"
#include "tqsort_tempfile.h"

namespace tqsort {

class LongLineMerge {
 public:
  // Parses a spooled line (of input line number `number`) into a batch.
  using ParseLine = std::function<Status(Batch* batch, const char* line, size_t length, uint64_t number)>;

  struct Setup {
    const Options* options;
    const TqCollation* collation;
    std::string dirs;                   // ':'-separated, for the probe sorts
    std::vector<std::string> runDirs;   // for the file of places
    const LineSpool* spool;
    ParseLine parse;
    size_t blockBytes;                  // batches and buffers
    uint64_t memory;                    // each probe sort's
    int processors;
    uint64_t orderMemory;               // the list of places may take this much memory
  };

  explicit LongLineMerge(Setup setup);

  // Reads the main sort's rows in order into the file of places, and the long sort's
  // into memory; both sorts are released once read.
  Status take(CollateTable* main, CollateTable* longSort);
  // Finds every long line's place among the main rows, with probe sorts of `widths`.
  Status place(const std::vector<int32_t>& widths);
  // Calls `write` with the place of every line, in order.
  Status write(const std::function<Status(int64_t place)>& write);

  uint64_t probeSorts() const { return probeSorts_; }
  uint64_t orderFileBytes() const { return order_.diskBytes(); }
  uint64_t mainRows() const { return mainRows_; }

 private:
  // A main row, as the file of places keeps it.
  struct MainEntry {
    int64_t place;
    uint64_t line;
  };
  struct LongEntry {
    int64_t place;
    uint64_t line;
    uint64_t low = 0;    // its place is at least this main rank
    uint64_t high = 0;   // and at most this one (low == high: placed)
    bool dropped = false;
  };
  // A row of a probe sort: a main row (by rank) or a long line (by index).
  struct ProbeRow {
    uint64_t line;
    int64_t who;  // rank >= 0, or -1 - index of the long line
  };
  Status readMain(CollateTable* main);
  // Appends a main row to the list of places; writes them out once over their memory.
  Status putOrder(int64_t place, uint64_t line);
  Status flushOrder();
  // Reads entries [first, first + count) of the list into `to`.
  Status readOrder(uint64_t first, uint64_t count, char* to) const;
  Status mainEntry(uint64_t rank, MainEntry* entry) const;
  // Sorts `rows` in one probe sort and calls `seen` with each `who` in order, and
  // whether it starts a group of equal keys.
  Status probeSort(std::vector<ProbeRow>& rows, bool marks, const std::function<void(int64_t who, bool start)>& seen);
  // One round for the long lines [first, last): the main rows they are sorted with.
  Status round(size_t first, size_t last, size_t probesEach);
  // With -u: the long lines that equal a main row beside their place, or the main row.
  Status dropEqual();

  Setup s_;
  std::vector<int32_t> widths_;
  size_t entryBytes_;              // place, and line number when the run is stable
  TempSpill order_;
  bool orderInFile_ = false;
  std::vector<char> orderBuffer_;  // the list in memory, or the entries not yet in its file
  uint64_t mainRows_ = 0;
  std::vector<LongEntry> long_;
  std::vector<uint64_t> droppedMain_;  // ranks of main rows -u drops, ascending
  uint64_t probeSorts_ = 0;
};

}  // namespace tqsort

#endif
