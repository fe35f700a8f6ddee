// A sorting datafile under calls a host should not make, or makes in an awkward order:
// every one is refused with a status and a message, or does the sound thing, and none
// loses a row that was accepted, reads freed memory or writes past a buffer.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/sortkey.h"
#include "platform/tqbassert.h"
#include "sort_support.h"

namespace {

const std::vector<RefColumn> kTwo = {{tqbTypeInteger, 0}, {tqbTypeString, 40}};

std::vector<std::vector<RefValue>> someRows(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::vector<RefValue>> rows;
  for (size_t r = 0; r < n; ++r) {
    std::vector<RefValue> row(2);
    row[0].null = false;
    row[0].i = static_cast<int64_t>(rng() % 1000);
    row[1].null = false;
    row[1].s = "r" + std::to_string(r);
    rows.push_back(row);
  }
  return rows;
}

// Adds every row; the first failing status, or 0.
int32_t addAll(TqDatafile* f, const std::vector<std::vector<RefValue>>& rows) {
  for (const auto& r : rows) {
    storeRow(f, kTwo, r);
    int32_t status = f->addRow(nullptr);
    if (status != 0) return status;
  }
  return 0;
}

std::vector<int64_t> sortedKeys(const std::vector<std::vector<RefValue>>& rows) {
  std::vector<int64_t> keys;
  for (const auto& r : rows) keys.push_back(r[0].i);
  std::sort(keys.begin(), keys.end());
  return keys;
}

// Reads what is left of a sorted file, the row in the fields first.
std::vector<int64_t> readRest(TqDatafile* f, int32_t* endStatus) {
  std::vector<int64_t> keys{f->getField(0)->asInt64(nullptr)};
  int32_t status;
  while ((status = f->next(nullptr)) == 0) keys.push_back(f->getField(0)->asInt64(nullptr));
  *endStatus = status;
  return keys;
}

}  // namespace

class SortMisuseTest : public SortTest {};

// --- rows accepted are never lost ----------------------------------------------------------

TEST_F(SortMisuseTest, RowsOfAChunkStillOnThePoolWhenTheInputEndsAreSorted) {
  // The full chunk goes to the pool; a refused row follows at once and the input ends
  // while the pool may still be sorting it.
  for (int round = 0; round < 20; ++round) {
    SortOptions o;
    o.chunkSize = 4096;
    o.sortSize = 4096;
    o.processors = 2;
    TqSortVornImpl* f = makeSort(kTwo, o, {{0, true}});
    auto rows = someRows(2, static_cast<uint64_t>(round));
    ASSERT_EQ(addAll(f, rows), 0) << f->getError().asCstr();
    std::vector<RefValue> big = rows[0];
    big[1].s = std::string(20000, 'x');  // beyond what the sort's memory holds
    storeRow(f, kTwo, big);
    EXPECT_EQ(f->addRow(nullptr), 1);
    ASSERT_EQ(f->sort(), 0) << f->getError().asCstr();
    int32_t end = 0;
    EXPECT_EQ(readRest(f, &end), sortedKeys(rows));
    EXPECT_EQ(end, 4);
    f->release();
  }
}

TEST_F(SortMisuseTest, StatisticsCountSortsWhereTheyRan) {
  SortOptions o;
  o.chunkSize = 4096;
  o.processors = 2;
  TqSortVornImpl* f = makeSort(kTwo, o, {{0, true}});
  InfoLines info;
  f->setSortInfo(&info);
  std::vector<std::vector<RefValue>> out;
  ASSERT_EQ(sortAll(f, kTwo, someRows(2000, 4), &out, nullptr), 4);
  int64_t chunks = info.value("Chunks created during sort");
  ASSERT_GT(chunks, 2);
  EXPECT_EQ(info.value("Sorts on main thread"), 1);  // the last chunk
  EXPECT_EQ(info.value("Sorts submitted"), chunks - 1);
  f->release();
}

TEST_F(SortMisuseTest, ProgressCountsEveryRowOnce) {
  // Two overlapping chunks: a read merge, whose last input goes back to the tree when
  // the other is used up.
  SortOptions o;
  o.chunkSize = 4096;
  TqSortVornImpl* f = makeSort(kTwo, o, {{0, true}});
  InfoLines info;
  f->setSortInfo(&info);
  std::vector<std::vector<RefValue>> out;
  auto rows = someRows(100, 5);
  for (size_t r = 0; r < rows.size(); ++r) rows[r][1].s = std::string(30, 'p');
  ASSERT_EQ(sortAll(f, kTwo, rows, &out, nullptr), 4);
  ASSERT_EQ(info.value("Merges that were read from"), 1);
  EXPECT_EQ(f->statistics().rowsReady, rows.size());
  f->release();
}

TEST_F(SortMisuseTest, NextBeforeSortIsRefusedAndKeepsTheRows) {
  for (uint32_t chunk : {4103u, 1u << 20}) {
    SortOptions o;
    o.chunkSize = chunk;
    TqSortVornImpl* f = makeSort(kTwo, o, {{0, true}});
    auto rows = someRows(300, 7);
    ASSERT_EQ(addAll(f, rows), 0) << f->getError().asCstr();
    EXPECT_EQ(f->next(nullptr), 5);
    EXPECT_NE(f->getError().str().find("Sort not called"), std::string::npos);
    EXPECT_EQ(f->getRowCount(), 300);
    EXPECT_FALSE(f->hasNext());
    EXPECT_EQ(f->tell(), -1);
    ASSERT_EQ(f->sort(), 0);
    int32_t end = 0;
    EXPECT_EQ(readRest(f, &end), sortedKeys(rows));
    f->release();
  }
}

TEST_F(SortMisuseTest, SortWithoutKeysOrRowsSaysWhy) {
  TqSortVornImpl* f = makeSort(kTwo, {}, {});
  EXPECT_EQ(f->sort(), 7);
  EXPECT_NE(f->getError().str().find("No sort keys"), std::string::npos);
  f->release();
  f = makeSort(kTwo, {}, {{0, true}});
  EXPECT_EQ(f->sort(), 4);
  EXPECT_FALSE(f->getError().str().empty());
  EXPECT_EQ(f->next(nullptr), 4);
  EXPECT_FALSE(f->getError().str().empty());
  f->release();
}

TEST_F(SortMisuseTest, FreezeBeforeSortChangesNothing) {
  TqSortVornImpl* f = makeSort(kTwo, {}, {{0, true}});
  EXPECT_EQ(f->freeze(), 5);  // nothing added yet: still refused, and still writable
  EXPECT_NE(f->getError().str().find("Sort not called"), std::string::npos);
  auto rows = someRows(10, 2);
  ASSERT_EQ(addAll(f, rows), 0) << f->getError().asCstr();
  ASSERT_EQ(f->sort(), 0);
  int32_t end = 0;
  EXPECT_EQ(readRest(f, &end), sortedKeys(rows));
  EXPECT_EQ(f->freeze(), 0);
  f->release();
}

// --- clones ----------------------------------------------------------------------------------

TEST_F(SortMisuseTest, CloneHoldsEveryRowAndLeavesTheHostWhereItWas) {
  for (uint32_t chunk : {64u, 4096u}) {
    SortOptions o;
    o.chunkSize = chunk;
    o.sortSize = 3 * chunk;
    TqSortVornImpl* f = makeSort(kTwo, o, {{0, true}});
    auto rows = someRows(500, 9);
    ASSERT_EQ(addAll(f, rows), 0) << f->getError().asCstr();
    ASSERT_EQ(f->sort(), 0);
    TqDatafile* c = f->clone();
    ASSERT_NE(c, nullptr) << f->getError().asCstr();
    std::vector<int64_t> fromClone;
    while (c->next(nullptr) == 0) fromClone.push_back(c->getField(0)->asInt64(nullptr));
    EXPECT_EQ(fromClone, sortedKeys(rows));
    int32_t end = 0;
    EXPECT_EQ(readRest(f, &end), sortedKeys(rows));  // the host still reads from its first row
    EXPECT_EQ(end, 4);
    c->release();
    f->release();
  }
}

TEST_F(SortMisuseTest, CloneAfterReadingIsRefusedWithNothingMoved) {
  SortOptions o;
  o.chunkSize = 4096;
  o.sortSize = 3 * 4096;
  TqSortVornImpl* f = makeSort(kTwo, o, {{0, true}});
  auto rows = someRows(2000, 10);
  ASSERT_EQ(addAll(f, rows), 0) << f->getError().asCstr();
  ASSERT_EQ(f->sort(), 0);
  for (int i = 0; i < 700; ++i) ASSERT_EQ(f->next(nullptr), 0);
  int64_t here = f->getField(0)->asInt64(nullptr);
  EXPECT_EQ(f->clone(), nullptr);
  EXPECT_FALSE(f->getError().str().empty());
  EXPECT_EQ(f->getField(0)->asInt64(nullptr), here);
  int32_t end = 0;
  std::vector<int64_t> rest = readRest(f, &end);
  std::vector<int64_t> all = sortedKeys(rows);
  EXPECT_EQ(rest, std::vector<int64_t>(all.begin() + 700, all.end()));
  EXPECT_EQ(end, 4);
  // At the end: refused too, with a reason.
  EXPECT_EQ(f->clone(), nullptr);
  EXPECT_FALSE(f->getError().str().empty());
  f->release();
}

TEST_F(SortMisuseTest, CloneOfAnEmptySortedFileIsEmpty) {
  TqSortVornImpl* f = makeSort(kTwo, {}, {{0, true}});
  EXPECT_EQ(f->sort(), 4);
  TqDatafile* c = f->clone();
  ASSERT_NE(c, nullptr) << f->getError().asCstr();
  EXPECT_EQ(c->next(nullptr), 4);
  EXPECT_EQ(c->getRowCount(), 0);
  c->release();
  f->release();
}

TEST_F(SortMisuseTest, HiddenMarkColumnOfASortedCloneIsOutOfReach) {
  SortOptions o;
  o.markByGroups = true;
  TqSortVornImpl* f = makeSort(kTwo, o, {{0, true}});
  std::vector<std::vector<RefValue>> out;
  ASSERT_EQ(addAll(f, someRows(20, 3)), 0) << f->getError().asCstr();
  ASSERT_EQ(f->sort(), 0);
  TqDatafile* c = f->clone();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->getFieldCount(), 2);
  EXPECT_EQ(c->getField(2), nullptr);
  EXPECT_EQ(c->getInt64(2), nullptr);
  EXPECT_EQ(c->getFieldType(2, nullptr), tqbTypeNone);
  EXPECT_EQ(c->getFieldLength(2), -1);
  c->release();
  f->release();
}

// --- positions -------------------------------------------------------------------------------

TEST_F(SortMisuseTest, TellGivesADistinctPositionForEveryRowReadThroughAMerge) {
  SortOptions o;
  o.chunkSize = 4096;
  o.sortSize = 3 * 4096;
  TqSortVornImpl* f = makeSort(kTwo, o, {{0, true}});
  InfoLines info;
  f->setSortInfo(&info);
  ASSERT_EQ(addAll(f, someRows(400, 12)), 0) << f->getError().asCstr();
  ASSERT_EQ(f->sort(), 0);
  std::vector<int64_t> positions;
  int64_t last = -1;
  do {
    int64_t t = f->tell();
    if (t < 0) break;
    EXPECT_GT(t, last);
    last = t;
    positions.push_back(t);
    ASSERT_EQ(f->seek(t), 0);  // the current position: reads the row there, the next one
  } while (true);
  EXPECT_EQ(positions.size() + 1, 400u);
  f->release();
}

TEST_F(SortMisuseTest, SeekAfterTheRowsInHandWereReleasedIsRefused) {
  SortOptions o;
  o.chunkSize = 4096;
  o.sortSize = 3 * 4096;
  TqSortVornImpl* f = makeSort(kTwo, o, {{0, true}});
  auto rows = someRows(2000, 13);
  ASSERT_EQ(addAll(f, rows), 0) << f->getError().asCstr();
  ASSERT_EQ(f->sort(), 0);
  EXPECT_EQ(f->seek(-1), 4);
  EXPECT_FALSE(f->getError().str().empty());
  ASSERT_EQ(f->seek(0), 0);  // nothing released yet: the first row again
  EXPECT_EQ(f->getField(0)->asInt64(nullptr), sortedKeys(rows)[0]);
  for (int i = 0; i < 1500; ++i) ASSERT_EQ(f->next(nullptr), 0);
  int64_t here = f->getField(0)->asInt64(nullptr);
  EXPECT_EQ(f->seek(0), 3);
  EXPECT_FALSE(f->getError().str().empty());
  EXPECT_EQ(f->getField(0)->asInt64(nullptr), here);
  int32_t end = 0;
  EXPECT_EQ(readRest(f, &end).size(), 500u);
  EXPECT_EQ(f->seek(0), 3);  // after the end as well
  EXPECT_FALSE(f->getError().str().empty());
  f->release();
}

// --- sizes and counts from the caller --------------------------------------------------------

TEST_F(SortMisuseTest, EveryChunkSizeIsRaisedToWhatARowNeeds) {
  for (uint32_t chunk : {1u, 2u, 7u, 8u, 15u, 17u, 40u, 41u, 1262u, 4103u}) {
    for (bool stable : {false, true}) {
      SortOptions o;
      o.chunkSize = chunk;
      o.stable = stable;
      TqSortVornImpl* f = makeSort(kTwo, o, {{0, true}, {1, false}});
      auto rows = someRows(50, chunk);
      std::vector<std::vector<RefValue>> out;
      ASSERT_EQ(sortAll(f, kTwo, rows, &out, nullptr), 4) << chunk;
      EXPECT_EQ(out.size(), rows.size());
      EXPECT_EQ(f->statistics().resolvedChunkSize % 16, 0u);
      f->release();
    }
  }
}

TEST_F(SortMisuseTest, RechunkToAnySizeThenClearKeepsWorking) {
  for (uint32_t size : {0u, 1u, 9u, 40u, 1262u, 0xFFFFFFFCu}) {
    TqSortVornImpl* f = makeSort(kTwo, {}, {{0, true}});
    int32_t status = f->rechunk(size);
    if (status != 0) {
      EXPECT_FALSE(f->getError().str().empty());
      f->release();
      continue;
    }
    ASSERT_EQ(f->clear(), 0);
    std::vector<std::vector<RefValue>> out;
    ASSERT_EQ(sortAll(f, kTwo, someRows(100, size), &out, nullptr), 4) << size;
    EXPECT_EQ(out.size(), 100u);
    if (size == 0) {
      EXPECT_EQ(f->statistics().resolvedChunkSize, mgr_->getChunkSize());
    }
    f->release();
  }
}

TEST_F(SortMisuseTest, KeyCountsOutOfRangeAreRefused) {
  TqSortVornImpl* f = makeSort(kTwo, {}, {{0, true}});
  EXPECT_EQ(f->resetSort(-1), 5);
  EXPECT_FALSE(f->getError().str().empty());
  EXPECT_EQ(f->resetSort(INT32_MAX), 5);
  EXPECT_FALSE(f->getError().str().empty());
  f->release();
}

// --- the key of the row in hand --------------------------------------------------------------

namespace {

// tqDatafileSortKey's status; the key as a string when it is given.
int32_t keyOf(TqDatafile* f, std::string* key) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>("unchanged");
  uint32_t length = 9;
  int32_t status = tqDatafileSortKey(f, &bytes, &length);
  key->assign(reinterpret_cast<const char*>(bytes), length);
  return status;
}

std::string integerKey(int64_t value, bool ascending) {
  uint8_t bytes[tqkey::kNumberKeyBytes];
  tqkey::putIntegerKey(bytes, false, value, ascending);
  return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

// Cancels the sort once `after` reports have come.
struct CancelAfter : TqSortProgress {
  explicit CancelAfter(int reports) : left(reports) {}
  bool progress(double) override { return --left > 0; }
  int left;
};

}  // namespace

TEST_F(SortMisuseTest, SortKeyIsGivenForTheRowInHandAndRefusedOtherwise) {
  // Chunks small enough that the rows come back through runs on disk and a read merge.
  for (bool ascending : {true, false}) {
    SortOptions o;
    o.chunkSize = 4096;
    o.sortSize = 3 * 4096;
    TqSortVornImpl* f = makeSort(kTwo, o, {{0, ascending}});
    auto rows = someRows(2000, 11);
    ASSERT_EQ(addAll(f, rows), 0) << f->getError().asCstr();
    std::string key;
    EXPECT_EQ(keyOf(f, &key), 5);
    EXPECT_EQ(key, "unchanged");
    EXPECT_NE(f->getError().str().find("Sort not called"), std::string::npos);
    int32_t status = f->sort();
    size_t read = 0;
    for (; status == 0; status = f->next(nullptr), ++read) {
      ASSERT_EQ(keyOf(f, &key), 0) << f->getError().asCstr();
      ASSERT_EQ(key, integerKey(f->getField(0)->asInt64(nullptr), ascending)) << "row " << read;
    }
    EXPECT_EQ(status, 4);
    EXPECT_EQ(read, rows.size());
    EXPECT_EQ(keyOf(f, &key), 5);  // after the last row
    EXPECT_EQ(key, "unchanged");
    EXPECT_NE(f->getError().str().find("no row in hand"), std::string::npos);
    const uint8_t* bytes = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(tqDatafileSortKey(f, nullptr, &length), 5);
    EXPECT_EQ(tqDatafileSortKey(f, &bytes, nullptr), 5);
    EXPECT_EQ(tqDatafileSortKey(nullptr, &bytes, &length), 5);
    f->release();
  }
}

TEST_F(SortMisuseTest, SortKeyIsRefusedByClonesCancelledReadsAndUnsortedFiles) {
  SortOptions o;
  o.chunkSize = 4096;
  o.sortSize = 3 * 4096;
  TqSortVornImpl* f = makeSort(kTwo, o, {{0, true}});
  ASSERT_EQ(addAll(f, someRows(500, 12)), 0) << f->getError().asCstr();
  ASSERT_EQ(f->sort(), 0);
  std::string key;
  ASSERT_EQ(keyOf(f, &key), 0);
  // Once cloned, the host reads a copy of the rows, which keeps no keys.
  TqDatafile* c = f->clone();
  ASSERT_NE(c, nullptr) << f->getError().asCstr();
  EXPECT_EQ(keyOf(f, &key), 5);
  EXPECT_NE(f->getError().str().find("cloned"), std::string::npos);
  ASSERT_EQ(f->next(nullptr), 0);
  EXPECT_EQ(keyOf(f, &key), 5);
  ASSERT_EQ(c->next(nullptr), 0);
  EXPECT_EQ(keyOf(c, &key), 5);  // the clone is an unsorted datafile
  EXPECT_NE(c->getError().str().find("tqDatafileSortKey"), std::string::npos);
  c->release();
  f->release();

  // A read that fails (cancelled by the progress callback) leaves no row in hand.
  f = makeSort(kTwo, o, {{0, true}});
  ASSERT_EQ(addAll(f, someRows(500, 13)), 0) << f->getError().asCstr();
  CancelAfter cancel(3);
  f->setSortProgress(&cancel);
  int32_t status = f->sort();
  while (status == 0) {
    ASSERT_EQ(keyOf(f, &key), 0);
    status = f->next(nullptr);
  }
  EXPECT_EQ(status, 6);
  EXPECT_EQ(keyOf(f, &key), 5);
  EXPECT_EQ(key, "unchanged");
  f->release();
}

// --- a column kept only in the key -----------------------------------------------------------

// A string key kept only in the key: each row reads a null for it and its key holds the
// value (through runs on disk and a read merge, both directions, an integer key before
// it and one after), in the order the stored values would sort; resetSort stores it again.
TEST_F(SortMisuseTest, AColumnKeptOnlyInTheKeyComesBackThroughTheKey) {
  for (bool ascending : {true, false}) {
    SCOPED_TRACE(ascending ? "ascending" : "descending");
    SortOptions o;
    o.chunkSize = 4096;
    o.sortSize = 3 * 4096;
    TqSortVornImpl* f = makeSort(kTwo, o, {{1, ascending}, {0, true}});
    ASSERT_EQ(tqDatafileSortKeyOnly(f, 1), 0) << f->getError().asCstr();
    auto rows = someRows(1500, 21);
    for (size_t r = 0; r < rows.size(); r += 7) rows[r][1].s = "";  // empty values sort first
    for (size_t r = 3; r < rows.size(); r += 11) rows[r][1].null = true;
    ASSERT_EQ(addAll(f, rows), 0) << f->getError().asCstr();
    std::vector<std::pair<std::string, int64_t>> expected, read;
    for (const auto& r : rows) expected.emplace_back(r[1].null ? std::string("\x01null") : r[1].s, r[0].i);
    int32_t status = f->sort();
    for (; status == 0; status = f->next(nullptr)) {
      ASSERT_TRUE(f->getField(1)->isNull()) << "the row kept the value";
      std::string key;
      ASSERT_EQ(keyOf(f, &key), 0) << f->getError().asCstr();
      ASSERT_GE(key.size(), 2u + tqkey::kNumberKeyBytes);
      // The string's key, then the integer's: a presence byte, the bytes, a terminator.
      std::string value = key.substr(1, key.size() - 2 - tqkey::kNumberKeyBytes);
      if (static_cast<uint8_t>(key[0]) == tqkey::presence(true, ascending)) {
        value = "\x01null";
      } else if (!ascending) {
        for (char& c : value) c = static_cast<char>(~static_cast<uint8_t>(c));
      }
      read.emplace_back(value, f->getField(0)->asInt64(nullptr));
    }
    EXPECT_EQ(status, 4) << f->getError().asCstr();
    std::sort(expected.begin(), expected.end(), [&](const auto& a, const auto& b) {
      bool an = a.first == "\x01null", bn = b.first == "\x01null";
      if (an != bn) return an;  // a null is lowest, first ascending
      if (!an && a.first != b.first) return ascending ? a.first < b.first : a.first > b.first;
      return a.second < b.second;
    });
    if (!ascending) {  // descending: nulls last
      std::stable_partition(expected.begin(), expected.end(), [](const auto& e) { return e.first != "\x01null"; });
    }
    EXPECT_TRUE(read == expected);
    f->release();
  }
}

// Several columns of every type whose key gives the value back, all kept only in the
// key, through runs on disk and a read merge, each key in both directions, with nulls
// and empty strings: every row reads nulls for them and stores the rest, and its key
// gives back the values in the reference's order.  Then every column of the row is kept
// only in the key: rows of no bytes at all.
TEST_F(SortMisuseTest, SeveralColumnsKeptOnlyInTheKeyComeBackThroughTheKey) {
  const std::vector<RefColumn> columns = {
      {tqbTypeBoolean, 0}, {tqbTypeInteger, 0}, {tqbTypeDate, 0}, {tqbTypeString, 40}, {tqbTypeString, 40},
      {tqbTypeInteger, 0}};
  std::mt19937_64 rng(23);
  std::vector<std::vector<RefValue>> rows(3000, std::vector<RefValue>(columns.size()));
  for (size_t r = 0; r < rows.size(); ++r) {
    auto& row = rows[r];
    for (RefValue& v : row) v.null = rng() % 9 == 0;
    row[0].i = static_cast<int64_t>(rng() % 2);
    row[1].i = static_cast<int64_t>(rng() % 41) - 20;
    if (r % 97 == 0) row[1].i = r % 2 ? INT64_MIN : INT64_MAX;
    row[2].d = static_cast<double>(static_cast<int64_t>(rng() % 61) - 30) * 1.25;
    row[3].s = std::string(rng() % 3, static_cast<char>('a' + rng() % 2));
    row[4].s = std::string(rng() % 4, '\xff');  // the descending terminator inverted
    row[5].null = false;
    row[5].i = static_cast<int64_t>(r);
  }
  for (int every : {0, 1}) {
    for (int turn = 0; turn < 2; ++turn) {
      SCOPED_TRACE((every ? "every column, turn " : "key columns, turn ") + std::to_string(turn));
      std::vector<RefKey> keys = {{3, turn == 0}, {0, turn == 1}, {2, turn == 0}, {1, turn == 1}, {4, turn == 0}};
      if (every) keys.push_back({5, turn == 1});
      SortOptions o;
      o.chunkSize = 4096;
      o.sortSize = 3 * 4096;
      o.processors = 2;
      if (mgr_ != nullptr) mgr_->release();
      mgr_ = nullptr;
      TqSortVornImpl* f = makeSort(columns, o, keys);
      for (const RefKey& k : keys) ASSERT_EQ(tqDatafileSortKeyOnly(f, k.field), 0) << f->getError().asCstr();
      std::vector<std::vector<RefValue>> out;
      std::vector<std::string> read;
      ASSERT_EQ(sortAll(f, columns, rows, &out, nullptr, &read), 4) << f->getError().asCstr();
      ASSERT_EQ(out.size(), rows.size());
      std::vector<std::vector<RefValue>> expected = rows;
      std::stable_sort(expected.begin(), expected.end(),
                       [&](const auto& x, const auto& y) { return compareRefRows(columns, keys, x, y) < 0; });
      std::vector<int64_t> ordinals;
      for (size_t r = 0; r < out.size(); ++r) {
        for (const RefKey& k : keys) ASSERT_TRUE(out[r][static_cast<size_t>(k.field)].null) << "row " << r;
        if (!every) {
          ASSERT_FALSE(out[r][5].null) << "row " << r;  // the column stored
        }
        ASSERT_TRUE(valuesFromKey(columns, keys, read[r], &out[r])) << "row " << r;
        ASSERT_EQ(compareRefRows(columns, keys, out[r], expected[r]), 0) << "row " << r;
        ASSERT_TRUE(sameRow(columns, out[r], rows[static_cast<size_t>(out[r][5].i)])) << "row " << r;
        ordinals.push_back(out[r][5].i);
      }
      std::sort(ordinals.begin(), ordinals.end());
      EXPECT_TRUE(std::adjacent_find(ordinals.begin(), ordinals.end()) == ordinals.end()) << "a row came twice";
      f->release();
    }
  }
}

TEST_F(SortMisuseTest, AColumnIsKeptOnlyInTheKeyOnlyWhenItsKeyGivesItBackBeforeTheFirstRow) {
  const std::vector<RefColumn> columns = {{tqbTypeInteger, 0}, {tqbTypeString, 40}, {tqbTypeReal, 0},
                                          {tqbTypeInteger, -1}, {tqbTypeDate, 0}};
  SortOptions o;
  TqSortVornImpl* f = makeSort(columns, o, {{0, true}, {2, true}, {3, false}});
  EXPECT_EQ(tqDatafileSortKeyOnly(f, 1), 5);  // not a key: its values would be lost
  EXPECT_NE(f->getError().str().find("sort key column"), std::string::npos) << f->getError().asCstr();
  EXPECT_EQ(tqDatafileSortKeyOnly(f, 4), 5);
  EXPECT_EQ(tqDatafileSortKeyOnly(f, 2), 5);  // a real: 1.0 and 1.00 have one key
  EXPECT_NE(f->getError().str().find("does not give back its digits"), std::string::npos) << f->getError().asCstr();
  EXPECT_EQ(tqDatafileSortKeyOnly(f, 3), 5);  // a raw integer: no null to read
  EXPECT_NE(f->getError().str().find("raw integer"), std::string::npos) << f->getError().asCstr();
  EXPECT_EQ(tqDatafileSortKeyOnly(f, 5), 5);
  EXPECT_EQ(tqDatafileSortKeyOnly(f, -1), 5);
  EXPECT_EQ(tqDatafileSortKeyOnly(nullptr, 0), 5);
  f->release();
  f = makeSort(kTwo, o, {{0, true}});
  // resetSort ends it: the columns are stored again, under keys that leave them out.
  ASSERT_EQ(f->resetSort(2), 0);
  ASSERT_EQ(f->setSort(0, 1, 1, nullptr), 0);
  ASSERT_EQ(f->setSort(1, 0, 0, nullptr), 0);
  ASSERT_EQ(tqDatafileSortKeyOnly(f, 1), 0) << f->getError().asCstr();
  ASSERT_EQ(tqDatafileSortKeyOnly(f, 0), 0) << f->getError().asCstr();
  ASSERT_EQ(f->resetSort(1), 0);
  ASSERT_EQ(f->setSort(0, 0, 1, nullptr), 0);
  auto rows = someRows(50, 22);
  ASSERT_EQ(addAll(f, rows), 0);
  EXPECT_EQ(tqDatafileSortKeyOnly(f, 0), 5);  // rows were added
  ASSERT_EQ(f->sort(), 0);
  EXPECT_FALSE(f->getField(0)->isNull());
  EXPECT_FALSE(f->getField(1)->isNull());
  EXPECT_EQ(std::string(f->getField(1)->asCstr()).substr(0, 1), "r");
  f->release();
  for (SortEngine engine : {SortEngine::fixed, SortEngine::external}) {
    SortOptions other;
    other.engine = engine;
    AbsTqSortfile* g = makeSortfile(kTwo, other, {{1, true}});
    EXPECT_EQ(tqDatafileSortKeyOnly(g, 1), 5) << engineName(engine);
    EXPECT_NE(g->getError().str().find("tqDatafileSortKeyOnly"), std::string::npos) << engineName(engine);
    g->release();
  }
}
