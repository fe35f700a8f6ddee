// The chunk sort engine's behaviour: key bytes, size resolution, refusals in the wrong
// state, reading positions, clones of sorted files, progress and cancellation, a second
// sort, the bounded depth of the chunk quicksort, and the records of run files.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <numeric>
#include <set>
#include <fstream>
#include <thread>

#include "core/varint.h"
#include "platform/tqballoc.h"
#include "platform/tqbassert.h"
#include "platform/tqlog.h"
#include "sort_support.h"
#include "src/sortvorn_runs.h"
#include "src/sortvorn_work.h"

// The library's internals that these tests reach.
using tqlib::ChunkDescriptor;
using tqlib::IndexEntry;
using tqlib::RunReader;
using tqlib::TqSortVornWorkSort;
using tqlib::tqKeyPrefix;

namespace {

std::vector<uint8_t> hexBytes(const std::string& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < text.size(); i += 3) out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  return out;
}

// The encoded key of row `row` (0-based, in input order) of the chunk being filled.
std::vector<uint8_t> keyOf(TqSortVornImpl* file, int row) {
  uint32_t size = file->statistics().resolvedChunkSize;
  const uint8_t* buffer = file->bufferBytes();
  IndexEntry e{};
  std::memcpy(&e, buffer + size - sizeof(IndexEntry) * static_cast<uint32_t>(row + 1), sizeof(IndexEntry));
  return std::vector<uint8_t>(buffer + e.keyOffset, buffer + e.keyOffset + e.keyLength);
}

class Progress : public TqSortProgress {
 public:
  explicit Progress(int stopAt) : stopAt_(stopAt) {}
  bool progress(double fraction) override {
    fractions.push_back(fraction);
    return static_cast<int>(fractions.size()) != stopAt_;
  }
  std::vector<double> fractions;

 private:
  int stopAt_;
};

const std::vector<RefColumn> kTwo = {{tqbTypeInteger, 0}, {tqbTypeString, 40}};

std::vector<std::vector<RefValue>> intRows(size_t n, uint64_t seed, int64_t domain) {
  std::mt19937_64 rng(seed);
  std::vector<std::vector<RefValue>> rows;
  for (size_t r = 0; r < n; ++r) {
    std::vector<RefValue> row(2);
    row[0].null = false;
    row[0].i = static_cast<int64_t>(rng() % static_cast<uint64_t>(domain));
    row[1].null = false;
    row[1].s = "row " + std::to_string(r);
    rows.push_back(row);
  }
  return rows;
}

}  // namespace

// --- key encoding ------------------------------------------------------------------------

TEST_F(SortTest, IntegerKeysFlipTheSignBitAndInvertForDescending) {
  TqSortVornImpl* f = makeSort({{tqbTypeInteger, 0}, {tqbTypeInteger, 0}}, {}, {{0, true}, {1, false}});
  for (int64_t v : {-1, 0, 1}) {
    f->getField(0)->assign(v);
    f->getField(1)->assign(v);
    ASSERT_EQ(f->addRow(nullptr), 0);
  }
  f->getField(0)->setNull();
  f->getField(1)->setNull();
  ASSERT_EQ(f->addRow(nullptr), 0);
  EXPECT_EQ(keyOf(f, 0), hexBytes("01 7F FF FF FF FF FF FF FF 00 80 00 00 00 00 00 00 00"));
  EXPECT_EQ(keyOf(f, 1), hexBytes("01 80 00 00 00 00 00 00 00 00 7F FF FF FF FF FF FF FF"));
  EXPECT_EQ(keyOf(f, 2), hexBytes("01 80 00 00 00 00 00 00 01 00 7F FF FF FF FF FF FF FE"));
  EXPECT_EQ(keyOf(f, 3), hexBytes("00 00 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00"));
  f->release();
}

TEST_F(SortTest, BooleanAndStringKeys) {
  TqSortVornImpl* f = makeSort({{tqbTypeBoolean, 0}, {tqbTypeString, 5}}, {},
                               {{0, true}, {0, false}, {1, true}, {1, false}});
  f->getField(0)->assign(true);
  f->getField(1)->assign("");
  ASSERT_EQ(f->addRow(nullptr), 0);
  f->getField(0)->assign(false);
  f->getField(1)->setNull();
  ASSERT_EQ(f->addRow(nullptr), 0);
  EXPECT_EQ(keyOf(f, 0), hexBytes("01 01 00 FE 01 00 00 FF"));
  EXPECT_EQ(keyOf(f, 1), hexBytes("01 00 00 FF 00 00 01 00"));
  f->release();
  // "ab" before "abc" ascending, after it descending.
  f = makeSort({{tqbTypeString, 5}}, {}, {{0, true}, {0, false}});
  for (const char* s : {"ab", "abc"}) {
    f->getField(0)->assign(s);
    ASSERT_EQ(f->addRow(nullptr), 0);
  }
  std::vector<uint8_t> ab = keyOf(f, 0), abc = keyOf(f, 1);
  EXPECT_LT(std::vector<uint8_t>(ab.begin(), ab.begin() + 4), std::vector<uint8_t>(abc.begin(), abc.begin() + 4));
  EXPECT_GT(std::vector<uint8_t>(ab.begin() + 4, ab.end()), std::vector<uint8_t>(abc.begin() + 5, abc.end()));
  f->release();
}

TEST_F(SortTest, DatesBefore1970OrderNumerically) {
  std::vector<double> dates = {2.5, -1.5, 0.0, -1e6, 19000.0, -0.25, 1e-9, -3e300, 3e300};
  for (bool ascending : {true, false}) {
    std::vector<RefColumn> cols = {{tqbTypeDate, 0}};
    TqSortVornImpl* f = makeSort(cols, {}, {{0, ascending}});
    std::vector<std::vector<RefValue>> rows;
    for (double d : dates) {
      std::vector<RefValue> row(1);
      row[0].null = false;
      row[0].d = d;
      rows.push_back(row);
    }
    rows.push_back(std::vector<RefValue>(1));  // a null
    std::vector<std::vector<RefValue>> out;
    ASSERT_EQ(sortAll(f, cols, rows, &out, nullptr), 4);
    std::vector<double> sorted = dates;
    std::sort(sorted.begin(), sorted.end());
    if (!ascending) std::reverse(sorted.begin(), sorted.end());
    ASSERT_EQ(out.size(), dates.size() + 1);
    size_t at = ascending ? 1 : 0;  // the null is lowest: first ascending, last descending
    EXPECT_TRUE(out[ascending ? 0 : dates.size()][0].null);
    for (double d : sorted) EXPECT_EQ(out[at++][0].d, d);
    f->release();
  }
}

TEST_F(SortTest, RawIntegerKeysComeFromTheRawSlotAndGroupByIt) {
  std::vector<RefColumn> cols = {{tqbTypeInteger, -1}, {tqbTypeInteger, 0}};
  SortOptions o;
  o.noDups = true;
  TqSortVornImpl* f = makeSort(cols, o, {{0, true}});
  std::vector<std::vector<RefValue>> rows;
  for (int64_t v : {5, 3, 5, 9, 3, 3}) {
    std::vector<RefValue> row(2);
    row[0].i = v;  // the value field stays null: the raw slot carries it
    row[1].null = false;
    row[1].i = v * 10;
    rows.push_back(row);
  }
  std::vector<std::vector<RefValue>> out;
  ASSERT_EQ(sortAll(f, cols, rows, &out, nullptr), 4);
  ASSERT_EQ(out.size(), 3u);  // duplicates of the raw value dropped, not every row
  EXPECT_EQ(out[0][0].i, 3);
  EXPECT_EQ(out[1][0].i, 5);
  EXPECT_EQ(out[2][0].i, 9);
  EXPECT_EQ(out[2][1].i, 90);
  f->release();
}

TEST_F(SortTest, StableKeysDifferOnlyInTheSequenceNumber) {
  SortOptions o;
  o.stable = true;
  TqSortVornImpl* f = makeSort({{tqbTypeInteger, 0}}, o, {{0, false}});
  for (int i = 0; i < 2; ++i) {
    f->getField(0)->assign(int64_t{7});
    ASSERT_EQ(f->addRow(nullptr), 0);
  }
  std::vector<uint8_t> a = keyOf(f, 0), b = keyOf(f, 1);
  ASSERT_EQ(a.size(), 17u);
  EXPECT_TRUE(std::equal(a.begin(), a.begin() + 9, b.begin()));
  EXPECT_EQ(std::vector<uint8_t>(a.begin() + 9, a.end()), hexBytes("00 00 00 00 00 00 00 00"));
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + 9, b.end()), hexBytes("00 00 00 00 00 00 00 01"));
  f->release();
}

TEST_F(SortTest, RealKeysIgnoreTheQuantum) {
  TqSortVornImpl* f = makeSort({{tqbTypeReal, 0}}, {}, {{0, true}});
  for (const char* t : {"1.0", "1.00"}) {
    uint8_t raw[24];
    tqbDecimalFromString(t, std::strlen(t), raw);
    f->getField(0)->assign(tqbTypeReal, raw, 24);
    ASSERT_EQ(f->addRow(nullptr), 0);
  }
  EXPECT_EQ(keyOf(f, 0), keyOf(f, 1));
  EXPECT_EQ(keyOf(f, 0).size(), 1u + kTqbDecimalCollateLength);
  f->release();
}

// --- sizes ---------------------------------------------------------------------------------

TEST_F(SortTest, SizesAreResolvedOnTheFirstRow) {
  LogCapture capture;
  tqlogSetLevel("TQ.Datafile.tempfile", 3);
  struct Case {
    uint32_t chunk, sortSize;
    int32_t processors;
    uint32_t wantChunk, wantChunks;
    const char* notice;
  };
  // Row: integer (9) + string of 40 (2 + 41 + prefix 1) ; key 9; entry 32: 93, to 96.
  // Beside the chunks, the sort size keeps a sixteenth (at least 16 KiB) for the runs'
  // metadata and a window (a sixteenth of a chunk, from 4 KiB, at most a quarter of a
  // chunk and an eighth of the sort size) for writing runs.
  const Case cases[] = {
      {1u << 20, 0, 4, 1u << 20, 5, nullptr},                    // one buffer per thread
      {1u << 20, 0, 1, 1u << 20, 3, nullptr},                    // at least three
      {64, 0, 1, 96, 3, "The sort chunk size, 64, was adjusted"},  // the minimum row
      // 120000 - 16384 - 14992 (an eighth) leaves three chunks of 29536, whose window is
      // 4096: 120000 - 16384 - 4096 holds three of them.
      {1u << 20, 120000, 1, 29536, 3, "The chunk size was adjusted"},
      // A sort size too small for three rows at their longest: the chunk holds a row
      // with empty strings (longer rows become runs of their own), and the sort size
      // grows to three of them beside what it keeps.
      {1u << 20, 100, 1, 64, 3, "The sort size, 100, was adjusted"},
      // Three chunks of a third of 12000 beside what is kept: the sort size grows.
      {1u << 20, 12000, 1, 4000, 3, "The sort size, 12000, was adjusted"},
      // 40000 - 16384 - 1024 holds five chunks of 4096.
      {4096, 40000, 1, 4096, 5, nullptr},
  };
  for (const Case& c : cases) {
    capture.clear();
    SortOptions o;
    o.chunkSize = c.chunk;
    o.sortSize = c.sortSize;
    o.processors = c.processors;
    TqSortVornImpl* f = makeSort(kTwo, o, {{0, true}});
    storeRow(f, kTwo, intRows(1, 1, 10)[0]);
    ASSERT_EQ(f->addRow(nullptr), 0);
    EXPECT_EQ(f->statistics().resolvedChunkSize, c.wantChunk) << c.chunk << "/" << c.sortSize;
    EXPECT_EQ(f->maxChunksInMemory(), c.wantChunks) << c.chunk << "/" << c.sortSize;
    if (c.notice != nullptr) {
      EXPECT_FALSE(capture.withPrefix(c.notice).empty()) << c.notice;
    }
    f->release();
  }
}

// --- refusals ------------------------------------------------------------------------------

TEST_F(SortTest, KeysMustBeDefinedFirst) {
  TqSortVornImpl* f = makeSort(kTwo, {}, {});
  storeRow(f, kTwo, intRows(1, 1, 10)[0]);
  EXPECT_EQ(f->addRow(nullptr), 7);
  EXPECT_NE(f->getError().str().find("No sort keys"), std::string::npos);
  ASSERT_EQ(f->resetSort(2), 0);
  ASSERT_EQ(f->setSort(0, 0, 1, nullptr), 0);
  EXPECT_EQ(f->addRow(nullptr), 7);  // key 1 never defined
  f->release();
}

TEST_F(SortTest, SetSortChecksItsArguments) {
  TqSortVornImpl* f = makeSort(kTwo, {}, {{0, true}});
  TqCollation collation{"de_DE", 0};
  EXPECT_EQ(f->setSort(0, 1, 1, &collation), 5);
  EXPECT_EQ(f->getError().str(), "The Quor sort must be used when specifying linguistic collation settings.");
  EXPECT_EQ(f->setSort(1, 0, 1, nullptr), 5);
  EXPECT_NE(f->getError().str().find("Sort key 1 is out of range"), std::string::npos);
  EXPECT_EQ(f->setSort(-1, 0, 1, nullptr), 5);
  EXPECT_EQ(f->setSort(0, 2, 1, nullptr), 5);
  EXPECT_NE(f->getError().str().find("Field 2"), std::string::npos);
  EXPECT_EQ(f->setSort(0, -3, 1, nullptr), 5);
  storeRow(f, kTwo, intRows(1, 1, 10)[0]);
  ASSERT_EQ(f->addRow(nullptr), 0);  // the first definition still holds
  EXPECT_EQ(f->setSort(0, 1, 1, nullptr), 5);  // not while rows are being added
  f->release();
}

TEST_F(SortTest, FreezeAndSeekBeforeSortAreRefusedAndKeepTheRows) {
  TqSortVornImpl* f = makeSort(kTwo, {}, {{0, true}});
  auto rows = intRows(50, 3, 1000);
  for (const auto& r : rows) {
    storeRow(f, kTwo, r);
    ASSERT_EQ(f->addRow(nullptr), 0);
  }
  EXPECT_EQ(f->freeze(), 5);
  EXPECT_NE(f->getError().str().find("Sort not called"), std::string::npos);
  EXPECT_EQ(f->seek(0), 5);
  EXPECT_EQ(mgr_->freeze(f), nullptr);
  ASSERT_EQ(f->sort(), 0);
  size_t n = 1;
  while (f->next(nullptr) == 0) ++n;
  EXPECT_EQ(n, rows.size());
  f->release();
}

TEST_F(SortTest, SortedFileRefusesWriting) {
  TqSortVornImpl* f = makeSort(kTwo, {}, {{0, true}});
  storeRow(f, kTwo, intRows(1, 1, 10)[0]);
  ASSERT_EQ(f->addRow(nullptr), 0);
  ASSERT_EQ(f->sort(), 0);
  EXPECT_EQ(f->addRow(nullptr), 5);
  EXPECT_EQ(f->clear(), 5);
  EXPECT_EQ(f->resetSort(1), 5);
  EXPECT_EQ(f->rechunk(4096), 5);
  EXPECT_EQ(f->sort(), 5);
  EXPECT_EQ(f->freeze(), 0);
  EXPECT_NE(f->getError().str().find("Read Only"), std::string::npos);
  f->release();
}

TEST_F(SortTest, EmptyAndSingleChunkSorts) {
  TqSortVornImpl* f = makeSort(kTwo, {}, {{0, true}});
  EXPECT_EQ(f->sort(), 4);
  f->release();
  f = makeSort(kTwo, {}, {{0, false}});
  InfoLines info;
  f->setSortInfo(&info);
  std::vector<std::vector<RefValue>> out;
  ASSERT_EQ(sortAll(f, kTwo, intRows(100, 5, 50), &out, nullptr), 4);
  ASSERT_EQ(out.size(), 100u);
  for (size_t r = 1; r < out.size(); ++r) EXPECT_GE(out[r - 1][0].i, out[r][0].i);
  EXPECT_EQ(info.value("Chunks created during sort"), 1);
  EXPECT_EQ(info.value("Merge passes"), 0);
  EXPECT_EQ(info.value("Resolved SORTTHREADS"), 2);
  f->release();
}

TEST_F(SortTest, RowLargerThanAChunkIsRefusedWithoutHarm) {
  SortOptions o;
  o.chunkSize = 64;  // raised to the minimum row of a 40-byte string column
  TqSortVornImpl* f = makeSort(kTwo, o, {{1, true}});
  int64_t asserts = tqbAssertCount();
  std::vector<RefValue> big = intRows(1, 1, 10)[0];
  big[1].s = std::string(200000, 'x');  // far beyond the column's 40 bytes and the memory
  storeRow(f, kTwo, big);
  EXPECT_EQ(f->addRow(nullptr), 1);
  EXPECT_NE(f->getError().str().find("does not fit in a sort chunk"), std::string::npos);
  EXPECT_GT(tqbAssertCount(), asserts);
  std::vector<std::vector<RefValue>> out;
  ASSERT_EQ(sortAll(f, kTwo, intRows(30, 9, 100), &out, nullptr), 4);  // still usable
  EXPECT_EQ(out.size(), 30u);
  f->release();
}

// --- reading positions ---------------------------------------------------------------------

TEST_F(SortTest, SeekRewindsToTheStartOfTheChunkInHand) {
  TqSortVornImpl* f = makeSort(kTwo, {}, {{0, true}});
  std::vector<std::vector<RefValue>> out;
  auto rows = intRows(20, 11, 1000);
  for (const auto& r : rows) {
    storeRow(f, kTwo, r);
    ASSERT_EQ(f->addRow(nullptr), 0);
  }
  ASSERT_EQ(f->sort(), 0);
  int64_t first = f->getField(0)->asInt64(nullptr);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(f->next(nullptr), 0);
  EXPECT_EQ(f->seek(5), 3);  // neither 0 nor the current position
  EXPECT_EQ(f->seek(f->getSize() + 1), 4);
  ASSERT_EQ(f->seek(0), 0);
  EXPECT_EQ(f->getField(0)->asInt64(nullptr), first);
  size_t n = 1;
  while (f->next(nullptr) == 0) ++n;
  EXPECT_EQ(n, rows.size());
  f->release();
}

TEST_F(SortTest, ClearAllowsASecondSortOnTheSameFile) {
  SortOptions o;
  o.chunkSize = 2048;
  o.sortSize = 3 * 2048;
  TqSortVornImpl* f = makeSort(kTwo, o, {{0, true}});
  auto first = intRows(500, 21, 1000);
  for (const auto& r : first) {
    storeRow(f, kTwo, r);
    ASSERT_EQ(f->addRow(nullptr), 0);
  }
  ASSERT_EQ(f->clear(), 0);  // drops the rows, keeps the keys
  std::vector<std::vector<RefValue>> out;
  ASSERT_EQ(sortAll(f, kTwo, intRows(300, 22, 1000), &out, nullptr), 4);
  EXPECT_EQ(out.size(), 300u);
  for (size_t r = 1; r < out.size(); ++r) EXPECT_LE(out[r - 1][0].i, out[r][0].i);
  f->release();
  // resetSort after a sort needs a fresh file: a sorted one is read-only.  A new file
  // with other keys sorts the other way.
  f = makeSort(kTwo, o, {{0, false}});
  out.clear();
  ASSERT_EQ(sortAll(f, kTwo, intRows(300, 22, 1000), &out, nullptr), 4);
  for (size_t r = 1; r < out.size(); ++r) EXPECT_GE(out[r - 1][0].i, out[r][0].i);
  f->release();
}

// --- clones ------------------------------------------------------------------------------

TEST_F(SortTest, CloneOfASortedFileReadsTheSortedRowsWithMarks) {
  SortOptions o;
  o.markByGroups = true;
  o.chunkSize = 4096;
  o.sortSize = 4 * 4096;
  TqSortVornImpl* f = makeSort(kTwo, o, {{0, true}});
  auto rows = intRows(2000, 31, 40);
  for (const auto& r : rows) {
    storeRow(f, kTwo, r);
    ASSERT_EQ(f->addRow(nullptr), 0);
  }
  ASSERT_EQ(f->sort(), 0);
  TqDatafile* a = f->clone();
  ASSERT_NE(a, nullptr) << f->getError().asCstr();
  TqDatafile* b = f->clone();  // no second copy: a clone of the same copy
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(a->getFieldCount(), f->getFieldCount());
  std::vector<int64_t> expected;
  for (const auto& r : rows) expected.push_back(r[0].i);
  std::sort(expected.begin(), expected.end());
  for (TqDatafile* c : {a, b}) {
    bool mark = false;
    for (size_t r = 0; r < expected.size(); ++r) {
      ASSERT_EQ(c->next(&mark), 0) << r;
      EXPECT_EQ(c->getField(0)->asInt64(nullptr), expected[r]);
      EXPECT_EQ(mark, r == 0 || expected[r] != expected[r - 1]) << r;
    }
    EXPECT_EQ(c->next(nullptr), 4);
  }
  EXPECT_EQ(f->freeze(), 0);  // forwarded to the copy
  a->release();
  f->release();  // the clones keep the sorted rows alive
  ASSERT_EQ(b->seek(0), 0);
  EXPECT_EQ(b->getField(0)->asInt64(nullptr), expected[0]);
  b->release();
}

TEST_F(SortTest, ClonedSortfileIsDestroyedOnceInEitherOrder) {
  LogCapture capture;
  tqlogSetLevel("TQ.Datafile.tempfile", 1);
  for (bool sortfileFirst : {true, false}) {
    capture.clear();
    TqSortVornImpl* f = makeSort(kTwo, {}, {{0, true}});
    for (const auto& r : intRows(100, 41, 1000)) {
      storeRow(f, kTwo, r);
      ASSERT_EQ(f->addRow(nullptr), 0);
    }
    ASSERT_EQ(f->sort(), 0);
    TqDatafile* c1 = f->clone();
    TqDatafile* c2 = f->clone();
    ASSERT_TRUE(c1 && c2);
    char addr[32];
    std::snprintf(addr, sizeof(addr), "%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(f)));
    std::string gone = std::string("TqSortVornImpl(0x") + addr + ")->~TqSortVornImpl()";
    auto destroyed = [&] {
      int n = 0;
      for (const LogRecord& r : capture.records()) n += r.text == gone;
      return n;
    };
    if (sortfileFirst) f->release();
    c1->release();
    EXPECT_EQ(destroyed(), 0);
    if (!sortfileFirst) f->release();
    EXPECT_EQ(destroyed(), 0);
    c2->release();
    EXPECT_EQ(destroyed(), 1);
  }
}

// --- progress ------------------------------------------------------------------------------

TEST_F(SortTest, ProgressIsReportedAndCanCancel) {
  SortOptions o;
  o.chunkSize = 2048;
  o.sortSize = 6 * 2048;
  o.processors = 2;
  auto rows = intRows(4000, 51, 1000000);
  TqSortVornImpl* f = makeSort(kTwo, o, {{0, true}});
  Progress watch(0);
  f->setSortProgress(&watch);
  std::vector<std::vector<RefValue>> out;
  ASSERT_EQ(sortAll(f, kTwo, rows, &out, nullptr), 4);
  EXPECT_EQ(out.size(), rows.size());
  ASSERT_FALSE(watch.fractions.empty());
  for (double d : watch.fractions) {
    EXPECT_GE(d, 0.0);
    EXPECT_LE(d, 1.0);
  }
  f->release();

  f = makeSort(kTwo, o, {{0, true}});
  Progress cancel(1);
  f->setSortProgress(&cancel);
  for (const auto& r : rows) {
    storeRow(f, kTwo, r);
    ASSERT_EQ(f->addRow(nullptr), 0);
  }
  EXPECT_EQ(f->sort(), 6);
  EXPECT_NE(f->getError().str().find("cancelled by the progress callback"), std::string::npos);
  EXPECT_EQ(f->next(nullptr), 6);  // stays stopped
  f->release();
}

namespace {

// Stops the sort at the first progress report made while a merge is on the pool, once
// the merge has begun (its entry trace is in `capture` and its destructor's is not), so
// that it is stopped while it runs.
class StopDuringMerge : public TqSortProgress {
 public:
  StopDuringMerge(TqSortVornImpl* sort, const LogCapture* capture) : sort_(sort), capture_(capture) {}
  bool progress(double) override {
    if ((tqAtomGet(sort_->mergeAtomic()) & 0xffff) == 0) return true;
    for (int wait = 0; wait < 2000 && !mergeRunning(); ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

 private:
  bool mergeRunning() const {
    std::set<std::string> running;
    for (const LogRecord& r : capture_->records()) {
      size_t at = r.text.find("WorkMerge(0x");
      if (at == std::string::npos) continue;
      std::string self = r.text.substr(at + 9, r.text.find(')', at) - at - 9);
      if (r.text.find("->work(false)") != std::string::npos) running.insert(self);
      if (r.text.find("->~TqSortVorn") != std::string::npos) running.erase(self);
    }
    return !running.empty();
  }

  TqSortVornImpl* sort_;
  const LogCapture* capture_;
};

}  // namespace

TEST_F(SortTest, MergeItemsTraceUnderTheirOwnClass) {
  // A group of runs larger than the windows the budget holds is first merged on the
  // pool, thousands of rows at a time; the progress callback stops the sort while such
  // a merge runs, which then stops too.  Every trace of a merge request names the
  // request's own class.
  for (SortEngine engine : {SortEngine::variable, SortEngine::fixed}) {
    const std::string own = engine == SortEngine::fixed ? "TqSortVornFixedWorkMerge(" : "TqSortVornWorkMerge(";
    SCOPED_TRACE(own);
    bool stopped = false;
    for (int attempt = 0; attempt < 5 && !stopped; ++attempt) {
      LogCapture capture;
      tqlogSetLevel("TQ.Datafile.tempfile", 2);
      SortOptions o;
      o.engine = engine;
      o.chunkSize = 256 << 10;
      o.sortSize = 3 * (256 << 10);
      o.windowSize = 64 << 10;  // a dozen windows: groups of more runs are merged on the pool first
      o.processors = 2;
      TqSortVornImpl* f = makeSort(kTwo, o, {{0, true}});
      StopDuringMerge stop(f, &capture);
      f->setSortProgress(&stop);
      for (const auto& r : intRows(100000, 53 + static_cast<uint64_t>(attempt), 1000000)) {
        storeRow(f, kTwo, r);
        ASSERT_EQ(f->addRow(nullptr), 0) << f->getError().asCstr();
      }
      EXPECT_EQ(f->sort(), 6) << f->getError().asCstr();
      f->release();
      mgr_->release();
      mgr_ = nullptr;
      tqlogResetLevels();
      size_t merges = 0;
      for (const LogRecord& r : capture.records()) {
        bool request = r.text.find("WorkMerge(0x") != std::string::npos;
        bool ownCall = r.text.find("->work(") != std::string::npos || r.text.find("->addChunk(") != std::string::npos ||
                       r.text.find("->failure(") != std::string::npos;
        if (!request || !ownCall) continue;
        ++merges;
        EXPECT_EQ(r.text.compare(0, own.size(), own), 0) << r.text;
        if (r.text.find("->work() - stopping") != std::string::npos) stopped = true;
      }
      EXPECT_GT(merges, 0u) << "no merge ran";
    }
    EXPECT_TRUE(stopped) << "no merge was stopped while it ran";
  }
}

// --- the chunk quicksort -----------------------------------------------------------------

namespace {

// McIlroy's adversary against the chunk quicksort's partitioning: it decides key values
// only as comparisons need them, so as to make every partition as lopsided as it can.
// Mirrored (undecided values count as the smallest, decided ones are handed out from
// the top) so that the large part of every partition is the lower one, which a sort
// that recurses into both parts cannot turn into a loop.
struct Adversary {
  std::vector<int> value;
  int gas = -1;
  int top;
  int solid = 0;
  int candidate = -1;
  int maxDepth = 0;  // nesting of the recursions into lower parts
  explicit Adversary(int n) : value(static_cast<size_t>(n), -1), top(n) {}
  int cmp(int x, int y) {
    if (value[x] == gas && value[y] == gas) value[x == candidate ? x : y] = top - 1 - solid++;
    if (value[x] == gas) {
      candidate = x;
    } else if (value[y] == gas) {
      candidate = y;
    }
    return value[x] - value[y];
  }
  // The same steps as TqSortVornWorkSort::sortRange, recursing lower part first.
  void sort(std::vector<int>& a, int lo, int hi, int depth) {
    maxDepth = std::max(maxDepth, depth);
    int count = hi - lo + 1, mid = lo + (hi - lo) / 2;
    if (count > 2 && cmp(a[lo], a[mid]) > 0) std::swap(a[lo], a[mid]);
    if (cmp(a[lo], a[hi]) > 0) std::swap(a[lo], a[hi]);
    if (count > 2 && cmp(a[mid], a[hi]) > 0) std::swap(a[mid], a[hi]);
    if (count <= 3) return;
    std::swap(a[lo + 1], a[mid]);
    int pivot = a[lo + 1], i = lo + 1, j = hi;
    while (i < j) {
      do ++i; while (cmp(a[i], pivot) < 0);
      do --j; while (cmp(a[j], pivot) > 0);
      if (i < j) std::swap(a[i], a[j]);
    }
    std::swap(a[lo + 1], a[j]);
    sort(a, lo, j - 1, depth + 1);
    sort(a, j + 1, hi, depth);
  }
};

}  // namespace

TEST_F(SortTest, ChunkSortDepthStaysSmallOnAnAdversarialChunk) {
  constexpr int kRows = 6000;
  Adversary adversary(kRows);
  std::vector<int> order(kRows);
  std::iota(order.begin(), order.end(), 0);
  adversary.sort(order, 0, kRows - 1, 0);
  for (int& v : adversary.value) {
    if (v == adversary.gas) v = adversary.top - 1 - adversary.solid++;
  }
  ASSERT_GT(adversary.maxDepth, kRows / 4) << "the adversary did not find a deep input";
  // Keys as the adversary fixed them, 4 bytes big-endian, one entry per row.
  std::vector<uint8_t> buffer(kRows * 4);
  std::vector<IndexEntry> entries(kRows);
  for (int i = 0; i < kRows; ++i) {
    uint32_t v = static_cast<uint32_t>(adversary.value[static_cast<size_t>(i)]);
    for (int b = 0; b < 4; ++b) buffer[static_cast<size_t>(i * 4 + b)] = static_cast<uint8_t>(v >> (24 - 8 * b));
    IndexEntry& e = entries[static_cast<size_t>(i)];
    e = IndexEntry{};
    e.keyOffset = static_cast<uint32_t>(i * 4);
    e.keyLength = 4;
    tqKeyPrefix(&buffer[static_cast<size_t>(i * 4)], 4, e.prefix);
  }
  TqSortVornImpl* engine = makeSort(kTwo, {}, {{0, true}});
  TqSortVornWorkSort* item = tqbNew<TqSortVornWorkSort>(engine, engine->logger(), nullptr);
  // A thread with a small stack: a sort that recursed once per partition would overflow it.
  bool sorted = false;
  ASSERT_TRUE(runOnStack(64 * 1024, [&] {
    sorted = item->sortRange(nullptr, buffer.data(), entries.data(), 0, kRows - 1);
  }));
  EXPECT_TRUE(sorted);
  for (int i = 1; i < kRows; ++i) {
    ASSERT_LE(std::memcmp(&buffer[entries[static_cast<size_t>(i - 1)].keyOffset],
                          &buffer[entries[static_cast<size_t>(i)].keyOffset], 4), 0);
  }
  item->destroy();
  engine->release();
}

// --- rows longer than a chunk -----------------------------------------------------------------

// A string column declared 1 MiB long does not make a 64 KiB sort take 3 MiB: the chunk
// holds ordinary rows, and a row longer than a chunk becomes a run of its own, costing
// what it really is (its bytes, its key) as long as the memory holds two such runs at
// once (a merge may have to read two of them together).  Rows a byte beyond that are
// refused with their size; nothing else is lost, and pool sorts still holding memory
// are waited for rather than refused.
TEST_F(SortTest, RowsLongerThanAChunkBecomeRunsOfTheirOwnWithinTheSortSize) {
  const std::vector<RefColumn> columns = {{tqbTypeInteger, 0}, {tqbTypeString, 1 << 20}};
  // The longest record the sort takes: a reader holds a run of one row as the row and
  // its key; the row and key of an integer and a string of n bytes take n + 24.
  const uint64_t limit = TqSortVornImpl::longRowLimitOf(TqSortVornImpl::planSizes(64 << 10, 4096, 96, 3, 0));
  ASSERT_GT(limit, 20000u);
  const size_t longest = static_cast<size_t>(limit - 24);
  for (int processors : {1, 2}) {
    SCOPED_TRACE(processors);
    SortOptions o;
    o.chunkSize = 4096;
    o.sortSize = 64 << 10;
    o.processors = processors;
    TqSortVornImpl* f = makeSort(columns, o, {{0, true}});
    auto rows = intRows(600, 3, 1000);
    // Every fifth row long: 6,000 to 29,960 bytes (or the longest); one of them just
    // the longest the sort takes.
    for (size_t r = 0; r < rows.size(); r += 5) {
      rows[r][1].s = std::string(std::min(longest, 6000 + 40 * r), static_cast<char>('a' + r % 26));
    }
    rows[300][1].s = std::string(longest, 'q');
    std::vector<std::vector<RefValue>> kept;
    for (const auto& row : rows) {
      storeRow(f, columns, row);
      ASSERT_EQ(f->addRow(nullptr), 0) << row[1].s.size() << ": " << f->getError().asCstr();
      kept.push_back(row);
    }
    // A byte beyond: refused with the row's size, and the sort goes on.
    std::vector<RefValue> huge = rows[1];
    huge[1].s = std::string(longest + 1, 'z');
    storeRow(f, columns, huge);
    EXPECT_EQ(f->addRow(nullptr), 1);
    EXPECT_NE(f->getError().str().find("A row of " + std::to_string(longest + 1 + 24)), std::string::npos)
        << f->getError().asCstr();
    EXPECT_EQ(f->getRowCount(), static_cast<int64_t>(kept.size()));
    EXPECT_EQ(f->statistics().resolvedSortBytes, 64u << 10);
    int32_t status = f->sort();
    std::vector<std::vector<RefValue>> out;
    while (status == 0) {
      out.push_back(loadRow(f, columns));
      status = f->next(nullptr);
    }
    EXPECT_EQ(status, 4) << f->getError().asCstr();
    std::stable_sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a[0].i < b[0].i; });
    ASSERT_EQ(out.size(), kept.size());
    for (size_t r = 0; r < out.size(); ++r) ASSERT_EQ(out[r][0].i, kept[r][0].i) << "row " << r;
    // Same rows, long strings intact.
    auto key = [](const std::vector<RefValue>& row) { return std::to_string(row[0].i) + "|" + row[1].s; };
    std::vector<std::string> a, b;
    for (const auto& row : kept) a.push_back(key(row));
    for (const auto& row : out) b.push_back(key(row));
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    EXPECT_TRUE(a == b);
    EXPECT_LE(f->statistics().peakBytesInUse, 64u << 10);
    f->release();
  }
}


// --- the last chunk's sort on two threads ------------------------------------------------------

// With a processor to spare, the caller splits the last chunk by its first key byte that
// differs and a pool thread sorts the upper buckets.  Keys that split at the presence
// byte, in the integer's low bytes (byte 7 or 8), in a string's byte 15 or not within
// the first 16 bytes (the whole chunk by comparisons), ties kept in input order by a
// stable sort's sequence number (which then decides at byte 15), descending keys, a
// second key: each comes back as a stable sort of the rows orders them, every row once.
TEST_F(SortTest, TheLastChunkSortedOnTwoThreadsKeepsTheOrder) {
  const std::vector<RefColumn> columns = {{tqbTypeInteger, 0}, {tqbTypeString, 17}, {tqbTypeInteger, 0}};
  struct Case {
    const char* name;
    std::vector<RefKey> keys;
    bool stable;
    int64_t domain;     // integer values 0..domain-1
    size_t shared;      // characters every string begins with (key byte 0 is the presence)
    bool nulls;
    bool splits;        // a byte within the first 16 tells the keys apart
  };
  const Case cases[] = {
      {"int low byte", {{0, true}}, false, 256, 0, false, true},
      {"int two low bytes, descending", {{0, false}}, false, 65536, 0, false, true},
      {"int with nulls", {{0, true}}, false, 1000, 0, true, true},
      {"int ties, stable", {{0, true}}, true, 4, 0, false, true},
      {"all equal, stable", {{0, false}}, true, 1, 0, false, true},
      {"string byte 15", {{1, true}}, false, 1, 14, false, true},
      {"string past byte 16", {{1, false}}, false, 1, 15, false, false},
      {"string with nulls", {{1, false}}, false, 1, 15, true, true},
      {"string then int, stable", {{1, true}, {0, false}}, true, 3, 15, false, false},
  };
  constexpr size_t kRows = 10000;  // more than a shared sort takes, in one chunk
  for (const Case& c : cases) {
    // One processor (the first case only): the caller sorts the chunk alone.
    for (int32_t processors : {2, 1}) {
      if (processors == 1 && &c != &cases[0]) continue;
      {
        SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(processors) + " processors");
        std::mt19937_64 rng(kRows);
        std::vector<std::vector<RefValue>> rows;
        for (size_t r = 0; r < kRows; ++r) {
          std::vector<RefValue> row(3);
          row[0].null = c.nulls && rng() % 10 == 0;
          row[0].i = static_cast<int64_t>(rng() % static_cast<uint64_t>(c.domain));
          row[1].null = c.nulls && rng() % 10 == 1;
          // 17 characters whatever the key, so that the chunks hold alike many rows.
          row[1].s = std::string(c.shared, 'k') + static_cast<char>('a' + rng() % 20) + std::to_string(rng() % 7);
          row[1].s.resize(17, 'z');
          row[2].null = false;
          row[2].i = static_cast<int64_t>(r);
          rows.push_back(row);
        }
        SortOptions options;
        options.chunkSize = 4u << 20;
        options.processors = processors;
        options.stable = c.stable;
        TqSortVornImpl* f = makeSort(columns, options, c.keys);
        ASSERT_NE(f, nullptr);
        std::vector<std::vector<RefValue>> out;
        ASSERT_EQ(sortAll(f, columns, rows, &out, nullptr), 4) << f->getError().asCstr();
        ASSERT_EQ(f->statistics().chunksCreatedDuringSort, 1u);
        EXPECT_EQ(f->statistics().sharedSorts, processors == 2 && c.splits ? 1u : 0u);
        std::vector<std::vector<RefValue>> expected = rows;
        std::stable_sort(expected.begin(), expected.end(), [&](const auto& a, const auto& b) {
          return compareRefRows(columns, c.keys, a, b) < 0;
        });
        ASSERT_EQ(out.size(), expected.size());
        std::vector<bool> seen(kRows, false);
        for (size_t r = 0; r < out.size(); ++r) {
          ASSERT_EQ(compareRefRows(columns, c.keys, out[r], expected[r]), 0) << "row " << r;
          if (c.stable) {
            ASSERT_EQ(out[r][2].i, expected[r][2].i) << "row " << r;
          }
          const size_t ordinal = static_cast<size_t>(out[r][2].i);
          ASSERT_FALSE(seen[ordinal]) << "row " << ordinal << " twice";
          seen[ordinal] = true;
          ASSERT_TRUE(sameRow(columns, out[r], rows[ordinal])) << "row " << r << " was changed";
        }
        f->release();
      }
    }
  }
}

// --- run records ---------------------------------------------------------------------------

namespace {

struct Record {
  std::string key, row;
  bool operator==(const Record& o) const { return key == o.key && row == o.row; }
};

// Appends a variable record to `file`: its header (shared, rest of the key, row: LEB128),
// the key's bytes after the shared ones, the row.
void putRecord(std::string* file, uint64_t shared, const std::string& rest, const std::string& row) {
  char header[3 * tqvarint::kMost64];
  size_t n = tqvarint::put(header, shared);
  n += tqvarint::put(header + n, rest.size());
  n += tqvarint::put(header + n, row.size());
  file->append(header, n).append(rest).append(row);
}

// A run file of `records`, each key sharing with the one before as much as they have in
// common.
std::string runFileOf(const std::vector<Record>& records) {
  std::string file;
  const std::string* before = nullptr;
  for (const Record& r : records) {
    size_t shared = 0;
    while (before != nullptr && shared < before->size() && shared < r.key.size() && (*before)[shared] == r.key[shared]) {
      ++shared;
    }
    putRecord(&file, shared, r.key.substr(shared), r.row);
    before = &r.key;
  }
  return file;
}

// A variable-layout sort whose sizes are resolved (one row added), with 16-byte windows:
// a run's window is then its longest record, at least 16 bytes.
class RunRecordTest : public SortTest {
 protected:
  TqSortVornImpl* engine() {
    SortOptions o;
    o.windowSize = 16;
    TqSortVornImpl* f = makeSort(kTwo, o, {{0, true}});
    storeRow(f, kTwo, intRows(1, 1, 10)[0]);
    EXPECT_EQ(f->addRow(nullptr), 0);
    return f;
  }
  // Reads `rows` records of the run file holding `bytes` through a reader whose window
  // (the run's longest record, as its descriptor says) is `window` bytes: the status that
  // ended it (-1 at the run's end), the records in *out.
  int32_t readRun(TqSortVornImpl* f, const std::string& bytes, uint64_t rows, uint32_t window,
                  std::vector<Record>* out) {
    std::string path = dir_ + "/run";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    ChunkDescriptor run;
    run.tempFileName = path.data();
    run.fileBytes = bytes.size();
    run.rowCount = rows;
    run.maxRecord = window;
    RunReader reader;
    const uint32_t size = f->windowFor(&run);
    int32_t status = reader.openStream(f, &run, static_cast<uint8_t*>(tqbMalloc(size)), size);
    while (status == 0 && (status = reader.advance()) == 0) {
      const tqlib::RowRef& r = reader.row();
      out->push_back({std::string(reinterpret_cast<const char*>(r.key), r.keyLength),
                      std::string(reinterpret_cast<const char*>(r.row), r.rowLength)});
      uint64_t prefix[2];
      tqKeyPrefix(r.key, r.keyLength, prefix);
      EXPECT_TRUE(prefix[0] == reader.prefix()[0] && prefix[1] == reader.prefix()[1]) << out->size();
    }
    reader.close();
    return status;
  }
};

}  // namespace

// A key shares its first bytes with the key before it in the same file: none (a file's
// first record, a key that differs at once), all but one, all (equal keys), all of its
// own (a key that is the start of the one before), and more than 127 (two-byte numbers
// in every place of the header).  The reader makes every key whole, in windows of every
// size from the longest record (which then fills it exactly) to the whole file, so that
// records and headers straddle each refill at every offset.
TEST_F(RunRecordTest, KeysAreMadeWholeThroughWindowsOfEverySize) {
  const std::string k300 = "zzzz" + std::string(296, 'm');
  const std::vector<Record> records = {
      {"abcdefghij0123456789", "row 0"},
      {"abcdefghij012345678X", "row 1, longer"},
      {"abcdefghij012345678X", ""},
      {"abcdefghij01", "row 3"},
      {"zzzz", "row 4"},
      {k300, std::string(130, 'r')},
      {k300 + "!", "x"},
      {"\x01", ""},
  };
  const std::string file = runFileOf(records);
  ASSERT_LT(file.size(), 300 + 130 + 250) << "the keys' shared bytes are written once";
  uint32_t longest = 0;
  for (const Record& r : records) longest = std::max(longest, static_cast<uint32_t>(r.key.size() + r.row.size()));
  TqSortVornImpl* f = engine();
  for (uint32_t window = longest; window <= file.size() + 16; ++window) {
    std::vector<Record> out;
    ASSERT_EQ(readRun(f, file, records.size(), window, &out), -1) << window << ": " << f->getError().asCstr();
    ASSERT_TRUE(out == records) << "window " << window;
  }
  f->release();
}

// Records that cannot be read as written are a damaged run file, with the status and
// message of a failed read, whether the header lies in the window or runs past its end.
TEST_F(RunRecordTest, DamagedRecordsAreReportedAndNeverReadOutside) {
  const Record first{"abcdefghij0123456789", "row 0"};
  std::string one;
  putRecord(&one, 0, first.key, first.row);
  struct Case {
    const char* name;
    std::string file;
    uint64_t rows;
    uint32_t wide;  // a window that holds the whole file (or the longest record said)
    const char* reason;
  };
  std::string sharesTooMuch = one, firstShares, truncatedHeader = one, truncatedBody = one, overlong = one,
              past32 = one, tooLong = one;
  putRecord(&sharesTooMuch, first.key.size() + 1, "", "row 1");
  putRecord(&firstShares, 1, "bc", "row 0");
  truncatedHeader += "\x80";
  putRecord(&truncatedBody, 3, "xyz", "row 1");
  truncatedBody.pop_back();
  overlong += std::string(5, '\x80') + '\x01' + "\x01\x01" + "k";
  past32 += std::string(4, '\xff') + '\x1f' + "\x01\x01" + "k";
  putRecord(&tooLong, 0, std::string(40, 'k'), "");
  const Case cases[] = {
      {"shares more than the key before has", sharesTooMuch, 2, 4096, "shares more bytes than the key before"},
      {"the first record shares", firstShares, 1, 4096, "shares more bytes than the key before"},
      {"the file ends within a header", truncatedHeader, 2, 4096, "the file ended before the run's rows"},
      {"the file ends within a record", truncatedBody, 2, 4096, "the file ended before the run's rows"},
      {"a number longer than 5 bytes", overlong, 2, 4096, "not numbers of 32 bits"},
      {"a number past 32 bits", past32, 2, 4096, "not numbers of 32 bits"},
      {"longer than the run's longest record", tooLong, 2, 39, "longer than any its run was written with"},
  };
  for (const Case& c : cases) {
    // A window that holds the whole file, and one a byte longer than the first record
    // (the next header then runs past its end).
    for (uint32_t window : {c.wide, static_cast<uint32_t>(first.key.size() + first.row.size() + 1)}) {
      SCOPED_TRACE(std::string(c.name) + ", window " + std::to_string(window));
      TqSortVornImpl* f = engine();
      std::vector<Record> out;
      EXPECT_EQ(readRun(f, c.file, c.rows, window, &out), TqDatafile::StatusSystemError);
      EXPECT_EQ(f->recordedFailure(), TqDatafile::StatusSystemError);
      EXPECT_NE(f->getError().str().find(c.reason), std::string::npos) << f->getError().asCstr();
      EXPECT_TRUE(out.empty() || out == std::vector<Record>{first});
      f->release();
    }
  }
}

// A sorted chunk whose rows lie in arrival order is read through a stage: rows gathered
// in key order as many as fit, a row longer than the stage read in place.  Through
// stages from smaller than most rows to larger than the chunk, every row and its prefix
// come back as read in place, also after a restart in the middle of a fill.
TEST_F(RunRecordTest, ChunksInArrivalOrderReadThroughStagesOfEverySize) {
  TqSortVornImpl* f = engine();
  std::mt19937_64 rng(11);
  std::vector<Record> rows;
  for (int r = 0; r < 3000; ++r) {
    std::string key = std::to_string(rng() % 100000) + std::string(rng() % 20, 'k');
    const size_t rowLength = r % 700 == 5 ? 2000 + rng() % 3000 : rng() % 60;  // a few long ones
    rows.push_back({key, std::string(rowLength, static_cast<char>('a' + r % 26))});
  }
  // The chunk: rows from the buffer's start in arrival order, the entries at its end in
  // key order.
  const uint32_t size = f->resolvedChunkSize();
  uint8_t* buffer = static_cast<uint8_t*>(tqbMalloc(size));
  ASSERT_NE(buffer, nullptr);
  std::vector<IndexEntry> entries;
  uint32_t at = 0;
  for (const Record& r : rows) {
    IndexEntry e{};
    tqKeyPrefix(reinterpret_cast<const uint8_t*>(r.key.data()), static_cast<uint32_t>(r.key.size()), e.prefix);
    e.keyOffset = at;
    e.keyLength = static_cast<uint32_t>(r.key.size());
    e.rowLength = static_cast<uint32_t>(r.row.size());
    std::memcpy(buffer + at, r.key.data(), r.key.size());
    std::memcpy(buffer + at + r.key.size(), r.row.data(), r.row.size());
    at += e.keyLength + e.rowLength;
    entries.push_back(e);
  }
  std::vector<size_t> order(rows.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return rows[a].key < rows[b].key; });
  ASSERT_LT(at + order.size() * sizeof(IndexEntry), size);
  IndexEntry* sorted = reinterpret_cast<IndexEntry*>(buffer + size - order.size() * sizeof(IndexEntry));
  std::vector<Record> expected;
  for (size_t i = 0; i < order.size(); ++i) {
    sorted[i] = entries[order[i]];
    expected.push_back(rows[order[i]]);
  }
  ChunkDescriptor run;
  run.buffer = buffer;
  run.rowCount = rows.size();
  run.inKeyOrder = false;
  const size_t all = SIZE_MAX;
  auto readAll = [&](RunReader& reader, size_t stopAt) {
    std::vector<Record> out;
    while (out.size() < stopAt && reader.advance() == 0) {
      const tqlib::RowRef& r = reader.row();
      out.push_back({std::string(reinterpret_cast<const char*>(r.key), r.keyLength),
                     std::string(reinterpret_cast<const char*>(r.row), r.rowLength)});
      uint64_t prefix[2];
      tqKeyPrefix(r.key, r.keyLength, prefix);
      EXPECT_TRUE(prefix[0] == reader.prefix()[0] && prefix[1] == reader.prefix()[1]) << out.size();
    }
    return out;
  };
  for (uint32_t stage : {0u, 16u, 40u, 61u, 100u, 1000u, 4999u, 5000u, 65536u, at + 1}) {
    RunReader reader;
    reader.openMemory(f, &run, stage == 0 ? nullptr : static_cast<uint8_t*>(tqbMalloc(stage)), stage);
    EXPECT_EQ(reader.staged(), stage != 0);
    ASSERT_TRUE(readAll(reader, all) == expected) << "stage " << stage;
    EXPECT_TRUE(reader.exhausted());
    reader.restart();
    ASSERT_TRUE(readAll(reader, 777) == std::vector<Record>(expected.begin(), expected.begin() + 777)) << stage;
    reader.restart();
    ASSERT_TRUE(readAll(reader, all) == expected) << "stage " << stage << ", read again";
    reader.close();
  }
  tqbFree(buffer);
  f->release();
}

// Keys that begin alike are written once per run file: rows whose string keys share
// their first 300 bytes write little more than half of what the same rows write with
// those bytes at the end of the strings, where neighbouring keys share almost nothing.
// Runs written from chunks and runs merged on the pool (whose keys share at most the
// first 256 bytes, what a merge keeps of the key before), with equal keys among them,
// read back whole and in order.
TEST_F(SortTest, KeysThatBeginAlikeAreWrittenOncePerRunFile) {
  const std::vector<RefColumn> columns = {{tqbTypeString, 320}, {tqbTypeInteger, 0}};
  const std::vector<RefKey> keys = {{0, true}, {1, false}};
  uint64_t written[2] = {0, 0};
  for (int alikeAtEnd : {0, 1}) {
    SCOPED_TRACE(alikeAtEnd ? "alike at the end" : "alike at the start");
    std::mt19937_64 rng(5);
    std::vector<std::vector<RefValue>> rows;
    for (size_t r = 0; r < 600; ++r) {
      std::vector<RefValue> row(2);
      std::string differ(3, 'a');
      for (char& c : differ) c = static_cast<char>('a' + rng() % 26);
      row[0].null = false;
      row[0].s = alikeAtEnd ? differ + std::string(300, 'k') : std::string(300, 'k') + differ;
      if (r % 7 == 1) row[0].s = rows.back()[0].s;  // equal strings
      row[1].null = false;
      row[1].i = static_cast<int64_t>(r % 5);  // and some equal keys
      rows.push_back(row);
    }
    SortOptions o;
    o.chunkSize = 16 << 10;
    o.sortSize = 3 * (16 << 10);
    o.windowSize = 4096;  // more runs than windows: some are merged on the pool first
    TqSortVornImpl* f = makeSort(columns, o, keys);
    std::vector<std::vector<RefValue>> out;
    ASSERT_EQ(sortAll(f, columns, rows, &out, nullptr), 4) << f->getError().asCstr();
    const TqSortVornImpl::Statistics st = f->statistics();
    EXPECT_GT(st.mergesSubmitted, 0u);
    // The chunks' runs: how many rows merges write again depends on when they ran.
    written[alikeAtEnd] = st.bytesWrittenToDisk - st.bytesMergedToDisk;
    std::vector<std::vector<RefValue>> expected = rows;
    std::stable_sort(expected.begin(), expected.end(),
                     [&](const auto& a, const auto& b) { return compareRefRows(columns, keys, a, b) < 0; });
    ASSERT_EQ(out.size(), expected.size());
    for (size_t r = 0; r < out.size(); ++r) ASSERT_TRUE(sameRow(columns, out[r], expected[r])) << "row " << r;
    f->release();
  }
  EXPECT_LT(static_cast<double>(written[0]), 0.7 * static_cast<double>(written[1]));
}

// Chunks left in arrival order at the end of the input (no buffer was free to gather
// them) are read through stages when the budget has room for one, and in place when it
// has not: every row in order either way, nothing written to disk, and the budget kept.
// With 330 KiB chunks the three in memory leave less than a stage free.  Whether a chunk
// was gathered depends on when a buffer came free: the sort with room is tried again
// until one was left in arrival order.
TEST_F(SortTest, ChunksInArrivalOrderAreReadThroughStagesOnlyWithinTheBudget) {
  const std::vector<RefColumn> columns = {{tqbTypeInteger, 0}, {tqbTypeString, 40}};
  const std::vector<RefKey> keys = {{0, true}, {1, false}};
  uint64_t staged = 0;
  for (uint32_t chunkKiB : {300u, 300u, 300u, 300u, 300u, 330u}) {
    if (chunkKiB == 300 && staged > 0) continue;
    SCOPED_TRACE("chunk " + std::to_string(chunkKiB) + " KiB");
    SortOptions o;
    o.sortSize = 1 << 20;
    o.chunkSize = chunkKiB << 10;
    o.processors = 2;
    TqSortVornImpl* f = makeSort(columns, o, keys);
    std::mt19937_64 rng(5);
    // With 300 KiB chunks, 9000 rows make two full chunks and a last one of over 1,024
    // rows, which no spare buffer is left to gather.
    const size_t rows = chunkKiB == 300 ? 9000 : 8000;
    for (size_t r = 0; r < rows; ++r) {
      std::vector<RefValue> row(2);
      row[0].null = row[1].null = false;
      row[0].i = static_cast<int64_t>(rng() % 1000);
      row[1].s = std::string(rng() % 40, 'x') + std::to_string(r);
      storeRow(f, columns, row);
      ASSERT_EQ(f->addRow(nullptr), 0) << f->getError().asCstr();
    }
    std::set<std::string> seen;
    std::vector<RefValue> last;
    int32_t status = f->sort();
    for (; status == 0; status = f->next(nullptr)) {
      std::vector<RefValue> row = loadRow(f, columns);
      if (!last.empty()) {
        ASSERT_LE(compareRefRows(columns, keys, last, row), 0);
      }
      ASSERT_TRUE(seen.insert(row[1].s).second) << row[1].s << " twice";
      last = row;
    }
    EXPECT_EQ(status, 4) << f->getError().asCstr();
    EXPECT_EQ(seen.size(), rows);
    TqSortVornImpl::Statistics st = f->statistics();
    EXPECT_EQ(st.chunksWrittenToDisk, 0u);
    EXPECT_LE(st.peakBytesInUse, o.sortSize);
    if (chunkKiB == 300) {
      staged += st.runsStaged;
      if (st.runsStaged == 0) {
        std::printf("not staged: %u chunks, %u in memory at most, peak %llu\n", st.chunksCreatedDuringSort,
                    st.maxChunksInMemory, static_cast<unsigned long long>(st.peakBytesInUse));
      }
    } else {
      EXPECT_EQ(st.runsStaged, 0u);
      EXPECT_GT(st.peakBytesInUse + tqlib::kStageBytes, o.sortSize);
    }
    f->release();
  }
  EXPECT_GT(staged, 0u) << "no chunk was read through a stage";
}

// A sorted chunk gathered in key order on the pool holds a second buffer while its rows
// move.  A chunk that needed a buffer meanwhile took the buffer of a run still in memory
// and wrote that run to disk, though all the rows fit in memory (the benchmark's sort of
// 4M rows in memory wrote two of its three chunks, now and then).  It now waits for the
// gather.  The first gather is held until the next chunk's sort has ended (too late to be
// gathered: no buffer is left) and the caller has had the time to take its buffer.
TEST_F(SortTest, AChunkWaitsForAGatherRatherThanWriteARunThatFitsInMemory) {
  const std::vector<RefColumn> columns = {{tqbTypeInteger, 0}, {tqbTypeString, 40}};
  struct Gate {
    std::atomic<int> calls{0};
    bool timedOut = false;
  } gate;
  auto hold = [](TqSortVornImpl* engine, void* context) {
    Gate* g = static_cast<Gate*>(context);
    if (g->calls++ != 0) return;
    // Once the next chunk's sort has ended and a chunk waits for a buffer, the caller
    // has 100 ms to take a run's buffer (which writes the run) before the gather ends.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    auto decided = until;
    for (;;) {
      TqSortVornImpl::Statistics st = engine->statistics();
      if (st.chunksWrittenToDisk > 0) return;
      const auto now = std::chrono::steady_clock::now();
      if (decided == until && st.sortsEnded >= 1 && st.bufferWaits >= 1) {
        decided = now + std::chrono::milliseconds(100);
      }
      if (now > decided) return;
      if (now > until) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    g->timedOut = true;
  };
  SortOptions o;
  o.sortSize = 1 << 20;
  o.chunkSize = 256 << 10;
  o.processors = 2;
  // The first chunk is gathered only when its sort starts before the caller has taken
  // the third buffer: the sort is tried again until it was.
  for (int attempt = 0; attempt < 50 && gate.calls == 0; ++attempt) {
    TqSortVornImpl* f = makeSort(columns, o, {{0, true}});
    f->setGatherHook(hold, &gate);
    std::mt19937_64 rng(3);
    const size_t rows = 10000;  // two chunks and a half
    for (size_t r = 0; r < rows; ++r) {
      std::vector<RefValue> row(2);
      row[0].null = row[1].null = false;
      row[0].i = static_cast<int64_t>(rng() % 100000);
      row[1].s = "row " + std::to_string(r);
      storeRow(f, columns, row);
      ASSERT_EQ(f->addRow(nullptr), 0) << f->getError().asCstr();
    }
    size_t read = 0;
    int64_t last = -1;
    int32_t status = f->sort();
    for (; status == 0; status = f->next(nullptr), ++read) {
      std::vector<RefValue> row = loadRow(f, columns);
      EXPECT_LE(last, row[0].i);
      last = row[0].i;
    }
    EXPECT_EQ(status, 4) << f->getError().asCstr();
    TqSortVornImpl::Statistics st = f->statistics();
    EXPECT_FALSE(gate.timedOut);
    EXPECT_EQ(st.maxChunksInMemory, 3u);
    EXPECT_EQ(st.chunksCreatedDuringSort, 3u);
    EXPECT_EQ(st.chunksWrittenToDisk, 0u);
    EXPECT_EQ(read, rows);
    f->release();
  }
  EXPECT_GT(gate.calls, 0) << "no chunk was gathered while rows came in";
}
