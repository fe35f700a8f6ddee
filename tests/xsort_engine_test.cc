// The external sort engine through its C interface: each kind of key part in both
// directions, null indicators, group marks, duplicates dropped, output record length,
// sorts in memory and many times larger than memory on 1 to 4 threads, memory bound,
// work files, chunk handling, and destruction at any point.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <set>

#include "platform/tqballoc.h"
#include "platform/tqbconfig.h"
#include "xsort_support.h"

namespace {

// Record: [0] indicator, [1..8] integer, [9..16] date, [17] byte, [18..29] string(12),
// [30..109] long string(80), [110..117] payload.
constexpr uint32_t kLen = 118;
constexpr uint32_t kInt = 1, kDate = 9, kByte = 17, kStr = 18, kStrLen = 12, kLong = 30,
                   kLongLen = 80, kPayload = 110;

std::string randomString(std::mt19937_64& rng, size_t maxLength) {
  static const char kChars[] = {'a', 'b', 'c', 'A', 'z', ' ', '0', '9', '\x7f', '\x80', '\xc3', '\xff'};
  std::string s(rng() % (maxLength + 1), 'a');
  for (char& c : s) c = kChars[rng() % sizeof(kChars)];
  return s;
}

Records mixedRecords(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  const int64_t ints[] = {0, -1, 1, std::numeric_limits<int64_t>::min(),
                          std::numeric_limits<int64_t>::max(), 255, 256, -256};
  const double dates[] = {0.0, -0.0, -1.5, 1.5, -86400.0 * 365 * 80, 1e300, -1e300,
                          std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity(),
                          std::numeric_limits<double>::quiet_NaN(), 4.9e-324, -4.9e-324};
  Records r(kLen);
  for (size_t i = 0; i < n; ++i) {
    uint8_t* p = r.add();
    p[0] = rng() % 8 == 0 ? 1 : 0;
    putInt64(p + kInt, rng() % 3 == 0 ? ints[rng() % 8] : static_cast<int64_t>(rng() % 2000) - 1000);
    putDouble(p + kDate, rng() % 3 == 0 ? dates[rng() % 12]
                                        : (static_cast<double>(rng() % 100000) - 50000) / 7.0);
    p[kByte] = static_cast<uint8_t>(rng() % 256);
    putString(p + kStr, randomString(rng, kStrLen), kStrLen);
    putString(p + kLong, randomString(rng, 20) + (rng() % 2 ? randomString(rng, 60) : ""), kLongLen);
    // Bytes after a string's terminator are not part of it.
    if (rng() % 4 == 0) p[kStr + kStrLen - 1] = static_cast<uint8_t>(rng());
    putInt64(p + kPayload, static_cast<int64_t>(i));
  }
  return r;
}

XsortSetup setupFor(std::vector<TqSortKeyPart> parts) {
  XsortSetup s;
  s.recordLength = kLen;
  s.parts = std::move(parts);
  return s;
}

// A spilling setup: memory a small fraction of the data.
XsortSetup tight(XsortSetup s, uint32_t processors) {
  s.memory = 512u << 10;
  s.processors = processors;
  return s;
}

uint64_t figure(const XsortResult& r, const std::string& label) {
  for (const std::string& line : r.report) {
    size_t at = line.find(" " + label + " ");
    if (at != std::string::npos) return std::stoull(line.substr(at + label.size() + 2));
  }
  ADD_FAILURE() << "no '" << label << "' in the report";
  return 0;
}

}  // namespace

class XsortEngineTest : public XsortTest {};

TEST_F(XsortEngineTest, EachKindInBothDirections) {
  Records records = mixedRecords(3000, 1);
  const struct {
    uint32_t offset, length, kind;
  } kinds[] = {{kByte, 1, TQ_SORT_KIND_BYTE},
               {kDate, 8, TQ_SORT_KIND_DATE},
               {kInt, 8, TQ_SORT_KIND_INTEGER},
               {kStr, kStrLen, TQ_SORT_KIND_STRING},
               {kLong, kLongLen, TQ_SORT_KIND_STRING}};
  for (const auto& k : kinds) {
    for (bool descending : {false, true}) {
      SCOPED_TRACE("kind " + std::to_string(k.kind) + " length " + std::to_string(k.length) +
                   (descending ? " descending" : " ascending"));
      XsortSetup s = setupFor({keyPart(k.offset, k.length, k.kind, descending),
                               keyPart(kPayload, 8, TQ_SORT_KIND_INTEGER, false)});
      expectSorted(records, runSort(s, records), refParts(s.parts));
    }
  }
}

TEST_F(XsortEngineTest, DatesOrderNumericallyWithZeroesEqualAndNaNLast) {
  Records r(8);
  const double values[] = {std::numeric_limits<double>::quiet_NaN(), 1.0, -0.0, 0.0, -1e9,
                           std::numeric_limits<double>::infinity(), -2208988800.0 /* 1900 */,
                           -std::numeric_limits<double>::infinity()};
  for (double v : values) putDouble(r.add(), v);
  for (bool descending : {false, true}) {
    XsortSetup s;
    s.recordLength = 8;
    s.markGroups = true;
    s.parts = {keyPart(0, 8, TQ_SORT_KIND_DATE, descending)};
    XsortResult out = runSort(s, r);
    ASSERT_TRUE(out.ok()) << out.error;
    std::vector<double> got;
    for (size_t i = 0; i < out.count(); ++i) got.push_back(getDouble(out.rows.data() + 8 * i));
    ASSERT_EQ(got.size(), 8u);
    if (descending) std::reverse(got.begin(), got.end());
    std::vector<uint8_t> marks = out.marks;
    if (descending) std::reverse(marks.begin(), marks.end());
    EXPECT_EQ(got[0], -std::numeric_limits<double>::infinity());
    EXPECT_EQ(got[1], -2208988800.0);
    EXPECT_EQ(got[2], -1e9);
    EXPECT_EQ(got[3], 0.0);
    EXPECT_EQ(got[4], 0.0);
    EXPECT_EQ(got[5], 1.0);
    EXPECT_EQ(got[6], std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(got[7]));
    // -0.0 and 0.0 form one group.
    EXPECT_EQ(descending ? marks[3] : marks[4], 0);
  }
}

TEST_F(XsortEngineTest, NullIndicatorPutsNullsFirstAscendingAndLastDescending) {
  Records records = mixedRecords(2000, 2);
  for (bool descending : {false, true}) {
    // The indicator part goes the other way: 1 (null) sorts first when ascending.
    XsortSetup s = setupFor({keyPart(0, 1, TQ_SORT_KIND_BYTE, !descending),
                             keyPart(kInt, 8, TQ_SORT_KIND_INTEGER, descending)});
    XsortResult out = runSort(s, records);
    expectSorted(records, out, refParts(s.parts));
    size_t nulls = 0;
    for (size_t i = 0; i < records.count(); ++i) nulls += records.at(i)[0];
    ASSERT_GT(nulls, 0u);
    for (size_t i = 0; i < out.count(); ++i) {
      bool isNull = out.rows[i * kLen] == 1;
      bool nullZone = descending ? i >= out.count() - nulls : i < nulls;
      EXPECT_EQ(isNull, nullZone) << "row " << i;
    }
  }
}

TEST_F(XsortEngineTest, MarksGroupsAndDropsDuplicates) {
  Records records(16);
  std::mt19937_64 rng(3);
  std::map<int64_t, int> groups;
  for (int i = 0; i < 5000; ++i) {
    uint8_t* p = records.add();
    int64_t k = static_cast<int64_t>(rng() % 300);
    putInt64(p, k);
    putInt64(p + 8, i);
    ++groups[k];
  }
  for (bool spill : {false, true}) {
    XsortSetup s;
    s.recordLength = 16;
    s.markGroups = true;
    s.parts = {keyPart(0, 8, TQ_SORT_KIND_INTEGER, true)};
    if (spill) s = tight(s, 2);
    XsortResult marked = runSort(s, records);
    expectSorted(records, marked, refParts(s.parts));
    ASSERT_EQ(marked.marks.size(), records.count());
    for (size_t i = 0; i < marked.count(); ++i) {
      bool differs = i == 0 || getInt64(marked.rows.data() + 16 * i) !=
                                   getInt64(marked.rows.data() + 16 * (i - 1));
      ASSERT_EQ(marked.marks[i] != 0, differs) << "row " << i;
    }
    s.markGroups = false;
    s.dropDuplicates = true;
    XsortResult unique = runSort(s, records);
    ASSERT_TRUE(unique.ok()) << unique.error;
    EXPECT_TRUE(unique.marks.empty());
    ASSERT_EQ(unique.count(), groups.size());
    auto it = groups.rbegin();
    for (size_t i = 0; i < unique.count(); ++i, ++it) {
      EXPECT_EQ(getInt64(unique.rows.data() + 16 * i), it->first);
    }
  }
}

TEST_F(XsortEngineTest, OutputRecordLengthKeepsTheFrontOfEachRecord) {
  Records records = mixedRecords(1000, 4);
  XsortSetup s = setupFor({keyPart(kPayload, 8, TQ_SORT_KIND_INTEGER, true)});
  s.outputLength = 9;  // indicator and integer only; the key lies beyond
  for (bool spill : {false, true}) {
    XsortResult out = runSort(spill ? tight(s, 1) : s, records);
    ASSERT_TRUE(out.ok()) << out.error;
    ASSERT_EQ(out.rowLength, 9u);
    ASSERT_EQ(out.count(), records.count());
    for (size_t i = 0; i < out.count(); ++i) {
      EXPECT_EQ(out.row(i), records.record(records.count() - 1 - i).substr(0, 9));
    }
  }
}

TEST_F(XsortEngineTest, SortsInMemoryWithoutWorkFiles) {
  Records records = mixedRecords(20000, 5);
  XsortSetup s = setupFor({keyPart(kStr, kStrLen, TQ_SORT_KIND_STRING, false),
                           keyPart(kInt, 8, TQ_SORT_KIND_INTEGER, true)});
  s.processors = 2;
  XsortResult out = runSort(s, records);
  expectSorted(records, out, refParts(s.parts));
  EXPECT_EQ(figure(out, "runs written"), 0u);
  EXPECT_EQ(figure(out, "bytes written"), 0u);
}

TEST_F(XsortEngineTest, SortsManyTimesItsMemoryInOneMergePassOnOneToFourThreads) {
  // About 12 MB of records through 1 MiB of memory.
  Records records = mixedRecords(100000, 6);
  for (uint32_t threads = 1; threads <= 4; ++threads) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    XsortSetup s = setupFor({keyPart(kLong, kLongLen, TQ_SORT_KIND_STRING, threads % 2 == 0),
                             keyPart(kInt, 8, TQ_SORT_KIND_INTEGER, false)});
    s.memory = 1u << 20;
    s.processors = threads;
    int64_t before = 0, peak = 0;
    tqbAllocStats(&before, nullptr);
    tqbAllocResetPeak();
    XsortResult out = runSort(s, records);
    tqbAllocStats(nullptr, &peak);
    expectSorted(records, out, refParts(s.parts));
    EXPECT_GE(figure(out, "runs written"), 8u);
    EXPECT_EQ(figure(out, "merge passes"), 1u);
    EXPECT_LE(figure(out, "peak"), s.memory);
    EXPECT_LE(peak - before, static_cast<int64_t>(s.memory)) << "allocations beyond the memory size";
  }
}

TEST_F(XsortEngineTest, TooManyRunsForTheMemoryMergeInMorePasses) {
  Records records(64);
  std::mt19937_64 rng(7);
  for (int i = 0; i < 60000; ++i) {
    uint8_t* p = records.add();
    putInt64(p, static_cast<int64_t>(rng()));
    putInt64(p + 56, i);
  }
  XsortSetup s;
  s.recordLength = 64;
  s.memory = 256u << 10;
  s.processors = 4;  // small batches: many runs
  s.parts = {keyPart(0, 8, TQ_SORT_KIND_INTEGER, false)};
  int64_t before = 0, peak = 0;
  tqbAllocStats(&before, nullptr);
  tqbAllocResetPeak();
  XsortResult out = runSort(s, records);
  tqbAllocStats(nullptr, &peak);
  expectSorted(records, out, refParts(s.parts));
  EXPECT_GE(figure(out, "merge passes"), 2u);
  EXPECT_GT(figure(out, "intermediate runs"), 0u);
  EXPECT_LE(peak - before, static_cast<int64_t>(s.memory));
}

TEST_F(XsortEngineTest, EmptyInputGivesOneEmptyLastChunk) {
  Records none(kLen);
  XsortResult out = runSort(setupFor({keyPart(kInt, 8, TQ_SORT_KIND_INTEGER, false)}), none);
  ASSERT_TRUE(out.ok()) << out.error;
  EXPECT_EQ(out.count(), 0u);
}
