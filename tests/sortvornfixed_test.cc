// The fixed-length chunk sort's own promises: the key bytes its sort items write, where
// a record starts a new chunk, nulls and string prefixes by direction, stability over
// many chunks, its refusals and failures, and the bounded depth of its record quicksort.
// (The differential, fault and misuse tests run on it too, from their own files.)
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/tqballoc.h"
#include "platform/tqfault.h"
#include "sort_support.h"
#include "src/sortvornfixed.h"
#include "src/sortvornfixed_work.h"

// The library's internals that these tests reach.
using tqlib::TqSortVornFixedImpl;
using tqlib::TqSortVornFixedWorkSort;

namespace {

std::vector<uint8_t> hexBytes(const std::string& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < text.size(); i += 3) out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  return out;
}

SortOptions fixedOptions() {
  SortOptions o;
  o.engine = SortEngine::fixed;
  return o;
}

RefValue intValue(int64_t v) {
  RefValue r;
  r.null = false;
  r.i = v;
  return r;
}

RefValue stringValue(const std::string& s) {
  RefValue r;
  r.null = false;
  r.s = s;
  return r;
}

RefValue dateValue(double d) {
  RefValue r;
  r.null = false;
  r.d = d;
  return r;
}

// The key area of record `index` of the chunk in hand (a one-chunk sort, sorted).
std::vector<uint8_t> keyArea(TqSortVornFixedImpl* f, uint32_t index) {
  const uint8_t* record = f->bufferBytes() + uint64_t{index} * f->recordLength() + f->rowLength();
  return std::vector<uint8_t>(record, record + f->keyAreaLength());
}

}  // namespace

class FixedSortTest : public SortTest {
 protected:
  TqSortVornFixedImpl* make(const std::vector<RefColumn>& cols, const SortOptions& o,
                            const std::vector<RefKey>& keys) {
    return static_cast<TqSortVornFixedImpl*>(makeSort(cols, o, keys));
  }
  std::vector<std::vector<RefValue>> sortRows(TqSortVornFixedImpl* f, const std::vector<RefColumn>& cols,
                                              const std::vector<std::vector<RefValue>>& rows) {
    std::vector<std::vector<RefValue>> out;
    EXPECT_EQ(sortAll(f, cols, rows, &out, nullptr), 4) << f->getError().asCstr();
    return out;
  }
};

TEST_F(FixedSortTest, SortItemsWriteTheKeyBytesFromTheRow) {
  // Integer ascending, date descending, string(3) ascending.
  std::vector<RefColumn> cols = {{tqbTypeInteger, 0}, {tqbTypeDate, 0}, {tqbTypeString, 3}};
  TqSortVornFixedImpl* f = make(cols, fixedOptions(), {{0, true}, {1, false}, {2, true}});
  RefValue nullValue;
  for (const auto& row : std::vector<std::vector<RefValue>>{{intValue(-1), dateValue(-1.0), stringValue("ab")},
                                                          {nullValue, nullValue, nullValue}}) {
    storeRow(f, cols, row);
    ASSERT_EQ(f->addRow(nullptr), 0);
  }
  ASSERT_EQ(f->sort(), 0);
  EXPECT_EQ(f->keyAreaLength(), 9u + 9u + 5u);
  // The null row first (nulls are lowest ascending on the first key).
  EXPECT_EQ(keyArea(f, 0), hexBytes("00 00 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00"));
  // -1: sign flipped; date -1.0 made order-preserving (all bits inverted), then
  // inverted for descending; "ab" with its padding and terminator.
  EXPECT_EQ(keyArea(f, 1), hexBytes("01 7F FF FF FF FF FF FF FF 00 BF F0 00 00 00 00 00 00 01 61 62 00 00"));
  f->release();
}

TEST_F(FixedSortTest, DatesBefore1970OrderNumericallyBothWays) {
  std::vector<RefColumn> cols = {{tqbTypeDate, 0}};
  for (bool ascending : {true, false}) {
    TqSortVornFixedImpl* f = make(cols, fixedOptions(), {{0, ascending}});
    std::vector<std::vector<RefValue>> rows;
    for (double d : {-10000.5, 3.0, -1.0, 0.0, 20000.0, -0.25, 1.0}) rows.push_back({dateValue(d)});
    auto out = sortRows(f, cols, rows);
    std::vector<double> got;
    for (const auto& r : out) got.push_back(r[0].d);
    std::vector<double> want = {-10000.5, -1.0, -0.25, 0.0, 1.0, 3.0, 20000.0};
    if (!ascending) std::reverse(want.begin(), want.end());
    EXPECT_EQ(got, want);
    f->release();
  }
}

TEST_F(FixedSortTest, NullsAndStringPrefixesFollowTheDirection) {
  std::vector<RefColumn> cols = {{tqbTypeString, 6}, {tqbTypeBoolean, 0}, {tqbTypeInteger, 0}};
  for (bool ascending : {true, false}) {
    for (int key : {0, 1, 2}) {
      TqSortVornFixedImpl* f = make(cols, fixedOptions(), {{key, ascending}});
      std::vector<std::vector<RefValue>> rows = {
          {stringValue("abc"), RefValue{}, intValue(5)},
          {RefValue{}, RefValue{}, RefValue{}},
          {stringValue("ab"), RefValue{}, intValue(-5)},
          {stringValue("abcdef"), RefValue{}, intValue(0)},
      };
      rows[0][1].null = false;
      rows[0][1].i = 1;
      rows[2][1].null = false;
      rows[2][1].i = 0;
      auto out = sortRows(f, cols, rows);
      ASSERT_EQ(out.size(), 4u);
      // A null is the lowest value: first ascending, last descending.
      EXPECT_TRUE((ascending ? out.front() : out.back())[static_cast<size_t>(key)].null) << key;
      if (key == 0) {
        std::vector<std::string> got;
        for (const auto& r : out) {
          if (!r[0].null) got.push_back(r[0].s);
        }
        std::vector<std::string> want = {"ab", "abc", "abcdef"};
        if (!ascending) std::reverse(want.begin(), want.end());
        EXPECT_EQ(got, want);
      }
      f->release();
    }
  }
}

TEST_F(FixedSortTest, OneFieldMayBeTwoKeysInOppositeDirections) {
  std::vector<RefColumn> cols = {{tqbTypeInteger, 0}, {tqbTypeInteger, 0}};
  TqSortVornFixedImpl* f = make(cols, fixedOptions(), {{0, true}, {1, false}, {0, false}});
  std::vector<std::vector<RefValue>> rows;
  for (int64_t i = 0; i < 40; ++i) rows.push_back({intValue(i % 5), intValue(i % 3)});
  auto out = sortRows(f, cols, rows);
  ASSERT_EQ(out.size(), 40u);
  for (size_t r = 1; r < out.size(); ++r) {
    bool inOrder = out[r - 1][0].i < out[r][0].i || (out[r - 1][0].i == out[r][0].i && out[r - 1][1].i >= out[r][1].i);
    EXPECT_TRUE(inOrder) << r;
  }
  f->release();
}

TEST_F(FixedSortTest, RecordThatFitsExactlyStaysOneByteMoreStartsANewChunk) {
  std::vector<RefColumn> cols = {{tqbTypeInteger, 0}};
  // A record: row 9 bytes, key 9 bytes.
  for (uint32_t extra : {0u, 1u}) {
    SortOptions o = fixedOptions();
    o.chunkSize = 18 * 8;  // eight records exactly
    TqSortVornFixedImpl* f = make(cols, o, {{0, true}});
    InfoLines info;
    f->setSortInfo(&info);
    std::vector<std::vector<RefValue>> rows;
    for (uint32_t i = 0; i < 8 + extra; ++i) rows.push_back({intValue(100 - static_cast<int64_t>(i))});
    auto out = sortRows(f, cols, rows);
    EXPECT_EQ(out.size(), rows.size());
    EXPECT_EQ(info.value("Chunks created during sort"), extra == 0 ? 1 : 2);
    f->release();
  }
}

TEST_F(FixedSortTest, EqualKeysKeepTheirOrderOverManyChunksAndMerges) {
  std::vector<RefColumn> cols = {{tqbTypeInteger, 0}, {tqbTypeInteger, 0}};
  SortOptions o = fixedOptions();
  o.stable = true;
  o.chunkSize = 512;
  o.sortSize = 3 * 512;
  o.windowSize = 24;
  o.processors = 2;
  TqSortVornFixedImpl* f = make(cols, o, {{0, false}});
  InfoLines info;
  f->setSortInfo(&info);
  std::vector<std::vector<RefValue>> rows;
  for (int64_t i = 0; i < 3000; ++i) rows.push_back({intValue(i % 7), intValue(i)});
  auto out = sortRows(f, cols, rows);
  ASSERT_EQ(out.size(), rows.size());
  for (size_t r = 1; r < out.size(); ++r) {
    ASSERT_GE(out[r - 1][0].i, out[r][0].i);
    if (out[r - 1][0].i == out[r][0].i) {
      ASSERT_LT(out[r - 1][1].i, out[r][1].i) << r;
    }
  }
  EXPECT_GT(info.value("Chunks written to disk"), 0);
  EXPECT_GT(info.value("Chunks streamed"), 0);
  EXPECT_LE(info.value("Actual maximum chunks in memory"), info.value("Maximum permittable chunks in memory"));
  f->release();
}

TEST_F(FixedSortTest, ReadMergeOverThreeChunksServesEveryRow) {
  std::vector<RefColumn> cols = {{tqbTypeInteger, 0}};
  SortOptions o = fixedOptions();
  o.chunkSize = 18 * 10;
  TqSortVornFixedImpl* f = make(cols, o, {{0, true}});
  InfoLines info;
  f->setSortInfo(&info);
  std::vector<std::vector<RefValue>> rows;
  for (int64_t i = 0; i < 30; ++i) rows.push_back({intValue((i * 7) % 30)});  // three overlapping chunks
  auto out = sortRows(f, cols, rows);
  ASSERT_EQ(out.size(), 30u);
  for (size_t r = 0; r < out.size(); ++r) EXPECT_EQ(out[r][0].i, static_cast<int64_t>(r));
  EXPECT_EQ(info.value("Chunks created during sort"), 3);
  EXPECT_EQ(info.value("Merges that were read from"), 1);
  EXPECT_EQ(info.value("Merges submitted"), 0);
  EXPECT_EQ(f->statistics().rowsReady, 30u);
  f->release();
}

TEST_F(FixedSortTest, SortNeedsNoScratchBeyondTheKeyCopies) {
  // Records are exchanged in place: after the sort item, the only allocation sort()
  // makes is the key copies, whatever the number of records.
  std::vector<RefColumn> cols = {{tqbTypeInteger, 0}};
  for (int n : {1, 2, 3}) {
    TqSortVornFixedImpl* f = make(cols, fixedOptions(), {{0, true}});
    for (int i = 0; i < n; ++i) {
      storeRow(f, cols, {intValue(n - i)});
      ASSERT_EQ(f->addRow(nullptr), 0);
    }
    tqFaultArm(TqFaultOp::Alloc, 2);
    EXPECT_EQ(f->sort(), 1);
    tqFaultReset();
    std::string error = f->getError().str();
    EXPECT_NE(error.find("(Chunk Keys)"), std::string::npos) << error;
    EXPECT_EQ(f->next(nullptr), 1);  // the sort stays stopped
    f->release();
  }
}

TEST_F(FixedSortTest, StringsLongerThanTheColumnAreRefusedNotCut) {
  std::vector<RefColumn> cols = {{tqbTypeString, 4}};
  TqSortVornFixedImpl* f = make(cols, fixedOptions(), {{0, true}});
  storeRow(f, cols, {stringValue("zzzzzzzz")});
  EXPECT_EQ(f->addRow(nullptr), 1);
  EXPECT_NE(f->getError().str().find("is 8 bytes long"), std::string::npos) << f->getError().asCstr();
  auto out = sortRows(f, cols, {{stringValue("zzzz")}, {stringValue("a")}});
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0][0].s, "a");
  EXPECT_EQ(out[1][0].s, "zzzz");
  f->release();
}

// --- the record quicksort ----------------------------------------------------------------------

TEST_F(FixedSortTest, RecordSortDepthStaysSmallOnManyEqualAndSortedKeys) {
  // Keys in descending order with long runs of equal ones: a quicksort that recursed
  // into both parts would need a deep stack; this one recurses into the smaller part.
  std::vector<RefColumn> cols = {{tqbTypeInteger, 0}};
  TqSortVornFixedImpl* f = make(cols, fixedOptions(), {{0, true}});
  storeRow(f, cols, {intValue(1)});
  ASSERT_EQ(f->addRow(nullptr), 0);  // keys and sizes resolved
  constexpr uint32_t kRows = 20000;
  const uint32_t record = f->recordLength();
  std::vector<uint8_t> buffer(size_t{kRows} * record);
  for (uint32_t i = 0; i < kRows; ++i) {
    uint8_t* rec = buffer.data() + size_t{i} * record;
    uint64_t v = (kRows - i) / 3;
    rec[0] = 0;
    std::memcpy(rec + 1, &v, 8);
    f->encodeKeys(rec);
  }
  TqSortVornFixedWorkSort* item = tqbNew<TqSortVornFixedWorkSort>(f, f->logger(), nullptr);
  bool sorted = false;
  ASSERT_TRUE(runOnStack(64 * 1024, [&] {
    sorted = item->sortRange(nullptr, buffer.data(), nullptr, 0, kRows - 1);
  }));
  EXPECT_TRUE(sorted);
  for (uint32_t i = 1; i < kRows; ++i) {
    ASSERT_LE(std::memcmp(buffer.data() + size_t{i - 1} * record + f->rowLength(),
                          buffer.data() + size_t{i} * record + f->rowLength(), f->keyAreaLength()),
              0);
  }
  item->destroy();
  f->release();
}
