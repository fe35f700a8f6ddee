// Fault sweeps: for an unsorted datafile that spills and for a sort that spills and
// merges, every file operation and every allocation is failed in turn (the 1st, the
// 2nd, ... until a run no longer reaches the fault), as an error and as a short
// transfer.  After each run: the failure was reported by the call that met it or a
// later one; every row accepted is read back exactly, or the reading reports the
// failure; no run ends with "no more rows" after losing one; nothing is left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "platform/tqbconfig.h"
#include "platform/tqfault.h"
#include "sort_support.h"

namespace {

struct OpCase {
  TqFaultOp op;
  const char* name;
};

const OpCase kOps[] = {
    {TqFaultOp::Alloc, "alloc"},   {TqFaultOp::TmpFile, "tmpfile"}, {TqFaultOp::Open, "open"},
    {TqFaultOp::Read, "read"},     {TqFaultOp::Write, "write"},     {TqFaultOp::Seek, "seek"},
    {TqFaultOp::Trunc, "trunc"},   {TqFaultOp::BufMode, "bufmode"}, {TqFaultOp::Flush, "flush"},
    {TqFaultOp::Refill, "refill"}, {TqFaultOp::Close, "close"},     {TqFaultOp::PoolEnqueue, "enqueue"},
};

const std::vector<RefColumn> kCols = {{tqbTypeInteger, 0}, {tqbTypeString, 60}, {tqbTypeDate, 0}};

std::vector<std::vector<RefValue>> makeRows(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::vector<RefValue>> rows;
  for (size_t r = 0; r < n; ++r) {
    std::vector<RefValue> row(3);
    row[0].null = false;
    row[0].i = static_cast<int64_t>(rng() % 5000);
    row[1].null = rng() % 10 == 0;
    row[1].s = std::string(rng() % 60, static_cast<char>('a' + r % 26));
    row[2].null = false;
    row[2].d = static_cast<double>(static_cast<int64_t>(rng() % 40000) - 20000);
    rows.push_back(row);
  }
  return rows;
}

// A status a datafile operation may return.
bool isStatus(int32_t s) { return (s >= 0 && s <= 7) || s == 12; }

// What one run under a fault did.
struct Outcome {
  bool reached = false;      // the fault was delivered
  bool reported = false;     // some call failed with a message
  bool complete = false;     // every accepted row came back, in order, and then 4
  bool silentLoss = false;   // reading ended with 4 but rows were missing or wrong
  std::string detail;
};

}  // namespace

class FaultSweepTest : public SortTest {
 protected:
  // Runs `scenario` with the nth call of `op` failing in `mode`, for n = 1, 2, ...
  // until a run no longer reaches the fault: every call up to 100, then calls spaced
  // wider and wider up to `limit` (a file operation per field adds up to thousands).
  template <typename Scenario>
  void sweep(TqFaultOp op, TqFaultMode mode, const char* name, int64_t limit, Scenario scenario) {
    if (op == TqFaultOp::Alloc && mode == TqFaultMode::Fail) {  // first, a run with no fault at all
      tqFaultReset();
      Outcome clean = scenario();
      ASSERT_TRUE(clean.complete) << "the scenario fails without a fault: " << clean.detail;
    }
    for (int64_t n = 1; n <= limit; n += n < 100 ? 1 : 1 + n / 8) {
      tqFaultReset();
      tqFaultArm(op, n, mode);
      Outcome o = scenario();
      o.reached = tqFaultsDelivered() > 0;
      tqFaultReset();
      SCOPED_TRACE(std::string(name) + " #" + std::to_string(n) + (mode == TqFaultMode::Short ? " short" : ""));
      EXPECT_FALSE(o.silentLoss) << o.detail;
      if (o.reached) {
        EXPECT_TRUE(o.complete || o.reported) << "a fault left no trace: " << o.detail;
      } else {
        EXPECT_TRUE(o.complete) << o.detail;
      }
      EXPECT_TRUE(leftovers().empty()) << leftovers().front();
      if (n == 1 && op == TqFaultOp::Alloc) {
        EXPECT_TRUE(o.reached) << "the scenario allocates nothing";
      }
      if (std::getenv("TQ_SWEEP_TRACE") != nullptr) std::fprintf(stderr, "%s #%lld reached %d complete %d\n", name, static_cast<long long>(n), o.reached, o.complete);
      if (!o.reached) return;
    }
  }
};

TEST_F(FaultSweepTest, UnsortedDatafileThatSpills) {
  auto rows = makeRows(1200, 1);
  auto scenario = [&]() {
    Outcome o;
    TqbString text;
    TqDatafileManager* m = tqDatafileManagerCreate(dir_.c_str(), &text);
    if (m == nullptr) {
      o.reported = text.length() > 0;
      return o;
    }
    bool ok = m->setColumns(3) && m->setColSpec(0, tqbTypeInteger, 0) &&
              m->setColSpec(1, tqbTypeString, 60) && m->setColSpec(2, tqbTypeDate, 0) &&
              m->setChunkSize(16384);
    TqDatafile* f = ok ? m->createFile(TqDatafile::FlagMemoryFirst | TqDatafile::FlagVariableRows) : nullptr;
    if (f == nullptr) {
      o.reported = m->getError().length() > 0;
      m->release();
      return o;
    }
    std::vector<const std::vector<RefValue>*> accepted;
    for (const auto& r : rows) {
      if (!storeRow(f, kCols, r)) {  // the host's own value could not take the row
        o.reported = true;
        continue;
      }
      int32_t status = f->addRow(nullptr);
      if (status == 0) {
        accepted.push_back(&r);
      } else {
        o.reported |= f->getError().length() > 0;
      }
    }
    int32_t status = f->freeze();
    if (status != 0) {
      o.reported |= f->getError().length() > 0;
      status = f->freeze();  // the fault has passed: the rows still waiting get written
    }
    if (status == 0) {
      size_t got = 0;
      while ((status = f->next(nullptr)) == 0) {
        if (got >= accepted.size() || !sameRow(kCols, loadRow(f, kCols), *accepted[got])) {
          o.detail = "row " + std::to_string(got) + " differs";
          break;
        }
        ++got;
      }
      if (status == 4) {
        o.complete = got == accepted.size() && o.detail.empty();
        o.silentLoss = !o.complete;
        if (o.silentLoss && o.detail.empty()) {
          o.detail = std::to_string(got) + " of " + std::to_string(accepted.size()) + " rows";
        }
      } else if (status != 0) {
        o.reported |= f->getError().length() > 0;
      }
    } else {
      o.reported |= f->getError().length() > 0;
    }
    f->release();
    m->release();
    return o;
  };
  for (const OpCase& c : kOps) {
    if (c.op == TqFaultOp::PoolEnqueue) continue;
    sweep(c.op, TqFaultMode::Fail, c.name, 5000, scenario);
    if (c.op == TqFaultOp::Read || c.op == TqFaultOp::Write) sweep(c.op, TqFaultMode::Short, c.name, 5000, scenario);
  }
}

class SortFaultSweepTest : public FaultSweepTest, public ::testing::WithParamInterface<SortEngine> {
 protected:
  // Sweeps every fault over a stable sort of `rows` that spills and merges; with
  // `groups`, it also marks groups and drops duplicates, and checks that hasNext says
  // whether next gives a row.
  // With `compressed`, the run and work files are compressed (lz4) and only the file
  // operations are swept: those through which frames move.
  void sweepSort(const std::vector<std::vector<RefValue>>& rows, bool groups, bool compressed = false);
};

INSTANTIATE_TEST_SUITE_P(Engines, SortFaultSweepTest,
                         ::testing::Values(SortEngine::variable, SortEngine::fixed, SortEngine::external),
                         [](const ::testing::TestParamInfo<SortEngine>& param) {
                           return std::string(engineName(param.param));
                         });

namespace {

// One sort under whatever fault is armed: `rows` added (with `columns`, `keys` and
// `options`), sorted and read back against `expected`.
Outcome sortUnderFault(TqDatafileManagerImpl** manager, const std::function<AbsTqSortfile*(std::string*)>& make,
                       const std::vector<RefColumn>& columns, const std::vector<std::vector<RefValue>>& rows,
                       const std::vector<std::vector<RefValue>>& expected, bool groups = false) {
  Outcome o;
  std::string error;
  if (*manager != nullptr) {
    (*manager)->release();
    *manager = nullptr;
  }
  AbsTqSortfile* f = make(&error);
  if (f == nullptr) {
    o.reported = !error.empty();
    return o;
  }
  std::vector<size_t> accepted;
  int32_t status = 0;
  for (size_t r = 0; r < rows.size(); ++r) {
    if (!storeRow(f, columns, rows[r])) {
      o.reported = true;
      continue;
    }
    status = f->addRow(nullptr);
    if (status == 0) {
      accepted.push_back(r);
    } else {
      o.reported |= f->getError().length() > 0;
    }
  }
  // Every row was accepted, or the sort has stopped for good: what comes back must
  // then be all of them.
  // With `groups`, every row read must start its group (duplicates are dropped), and
  // hasNext must say whether next gives a row.
  status = f->sort();
  size_t got = 0;
  bool mark = true;
  while (status == 0) {
    if (got >= expected.size() || !sameRow(columns, loadRow(f, columns), expected[got]) || (groups && !mark)) {
      o.detail = "row " + std::to_string(got) + " differs";
      break;
    }
    ++got;
    bool more = groups && f->hasNext();
    status = f->next(&mark);
    if (groups && ((status == 0 && !more) || (status == 4 && more))) {
      o.detail = "hasNext said " + std::string(more ? "true" : "false") + " before status " + std::to_string(status);
      o.silentLoss = true;
      break;
    }
  }
  if (status == 4) {
    o.complete = accepted.size() == rows.size() && got == expected.size() && o.detail.empty();
    o.silentLoss = !o.complete && !o.reported;
    if (!o.complete && o.detail.empty()) {
      o.detail = std::to_string(got) + " of " + std::to_string(accepted.size()) + " rows";
    }
  } else if (status != 0) {
    o.reported |= f->getError().length() > 0;
    if (!isStatus(status)) {
      o.silentLoss = true;
      o.detail = "not a status: " + std::to_string(status);
    }
  }
  f->release();
  return o;
}

}  // namespace

TEST_P(SortFaultSweepTest, SortThatSpillsAndMerges) {
  // The external engine takes at least 256 KiB of memory: enough rows to spill past it.
  sweepSort(makeRows(GetParam() == SortEngine::external ? 4000 : 300, 2), false);
}

TEST_P(SortFaultSweepTest, SortWithGroupsThatSpillsAndMerges) {
  // Every key three times: groups are marked and duplicates dropped, and reading asks
  // hasNext before each row.
  auto rows = makeRows(GetParam() == SortEngine::external ? 4200 : 300, 3);
  for (size_t r = 0; r < rows.size(); ++r) {
    rows[r][0].i = static_cast<int64_t>(r / 3 * 7 % 1000);
    rows[r][2] = rows[r - r % 3][2];
  }
  sweepSort(rows, true);
}

// Compressed run and work files: a frame that cannot be written (as a write, or at the
// close), read back (refill) or that comes back short is reported, never rows lost.
TEST_P(SortFaultSweepTest, CompressedSortThatSpillsAndMerges) {
  tqbSetConfigValue("BASE/COMPRESS", "lz4");
  sweepSort(makeRows(GetParam() == SortEngine::external ? 4000 : 300, 4), false, true);
  tqbSetConfigValue("BASE/COMPRESS", nullptr);
}

void SortFaultSweepTest::sweepSort(const std::vector<std::vector<RefValue>>& rows, bool groups, bool compressed) {
  std::vector<std::vector<RefValue>> expected = rows;
  std::vector<RefKey> keys = {{0, true}, {2, false}};
  std::stable_sort(expected.begin(), expected.end(), [&](const auto& a, const auto& b) {
    return compareRefRows(kCols, keys, a, b) < 0;
  });
  if (groups) {
    auto last = std::unique(expected.begin(), expected.end(),
                            [&](const auto& a, const auto& b) { return compareRefRows(kCols, keys, a, b) == 0; });
    expected.erase(last, expected.end());
  }
  SortOptions opt;
  opt.chunkSize = 2048;
  opt.sortSize = 3 * 2048;
  opt.processors = 2;
  opt.stable = true;
  opt.markByGroups = groups;
  opt.noDups = groups;
  opt.engine = GetParam();
  opt.windowSize = 64;  // runs on disk read through windows smaller than some rows
  auto make = [&](std::string* error) { return makeSortfile(kCols, opt, keys, true, error); };
  auto scenario = [&]() { return sortUnderFault(&mgr_, make, kCols, rows, expected, groups); };
  for (const OpCase& c : kOps) {
    if (compressed && (c.op == TqFaultOp::Alloc || c.op == TqFaultOp::PoolEnqueue || c.op == TqFaultOp::BufMode)) continue;
    sweep(c.op, TqFaultMode::Fail, c.name, 5000, scenario);
    if (c.op == TqFaultOp::Read || c.op == TqFaultOp::Write) sweep(c.op, TqFaultMode::Short, c.name, 5000, scenario);
  }
}

// Rows longer than a chunk become runs of one row each (their file, descriptor, name
// and key copy made one after the other); a failure at any step leaves none of it
// behind, and a group of them is read back within the memory.
TEST_F(FaultSweepTest, SortWithRowsLongerThanAChunk) {
  const std::vector<RefColumn> cols = {{tqbTypeInteger, 0}, {tqbTypeString, 20000}, {tqbTypeDate, 0}};
  auto rows = makeRows(160, 5);
  for (size_t r = 0; r < rows.size(); r += 8) {
    rows[r][1].null = false;
    rows[r][1].s = std::string(1500 + 20 * r, static_cast<char>('A' + r % 26));  // up to 4.5 KB, twice: row and key
  }
  std::vector<RefKey> keys = {{0, true}, {1, true}};
  std::vector<std::vector<RefValue>> expected = rows;
  std::stable_sort(expected.begin(), expected.end(), [&](const auto& a, const auto& b) {
    return compareRefRows(cols, keys, a, b) < 0;
  });
  SortOptions opt;
  opt.chunkSize = 2048;
  opt.sortSize = 32 << 10;
  opt.processors = 2;
  opt.engine = SortEngine::variable;
  auto make = [&](std::string* error) { return makeSortfile(cols, opt, keys, true, error); };
  auto scenario = [&]() { return sortUnderFault(&mgr_, make, cols, rows, expected); };
  for (const OpCase& c : kOps) {
    sweep(c.op, TqFaultMode::Fail, c.name, 5000, scenario);
    if (c.op == TqFaultOp::Read || c.op == TqFaultOp::Write) sweep(c.op, TqFaultMode::Short, c.name, 5000, scenario);
  }
}
