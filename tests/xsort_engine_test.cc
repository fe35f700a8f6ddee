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

// Small records in many runs, and records of 5 KB in hundreds of runs of a few rows
// (the final merge's tables alone would take much of the memory): the passes merge
// level by level, each level's runs in one work file, until the final merge fits.
TEST_F(XsortEngineTest, TooManyRunsForTheMemoryMergeInMorePasses) {
  struct Shape {
    uint32_t record;
    int rows;
    uint32_t processors;  // several: small batches, many runs
  } shapes[] = {{64, 60000, 4}, {5000, 4000, 2}};
  for (const Shape& shape : shapes) {
    Records records(shape.record);
    std::mt19937_64 rng(7);
    for (int i = 0; i < shape.rows; ++i) {
      uint8_t* p = records.add();
      putInt64(p, static_cast<int64_t>(rng()));
      putInt64(p + shape.record - 8, i);
    }
    XsortSetup s;
    s.recordLength = shape.record;
    s.memory = 256u << 10;
    s.processors = shape.processors;
    s.parts = {keyPart(0, 8, TQ_SORT_KIND_INTEGER, false)};
    int64_t before = 0, peak = 0;
    tqbAllocStats(&before, nullptr);
    tqbAllocResetPeak();
    XsortResult out = runSort(s, records);
    tqbAllocStats(nullptr, &peak);
    ASSERT_TRUE(out.ok()) << shape.record << ": " << out.error;
    expectSorted(records, out, refParts(s.parts));
    EXPECT_GE(figure(out, "merge passes"), 2u);
    EXPECT_GT(figure(out, "intermediate runs"), 0u);
    EXPECT_LE(peak - before, static_cast<int64_t>(s.memory));
  }
  EXPECT_TRUE(filesWithPrefix(dir_, "tqxsort_").empty());
}

TEST_F(XsortEngineTest, TheChunkWithTheLastRowIsTheLastChunkWhenOnlyDuplicatesFollow) {
  // 30 distinct keys fill three output chunks of 10 exactly; 20,000 duplicates of the
  // highest key follow them, in every run of a sort larger than its memory, so that
  // they reach the last merge.  Dropping those, the third chunk is marked last: no
  // empty chunk comes after it, so a reader knows there is no row left.
  Records records(kLen);
  for (int64_t i = 0; i < 20030; ++i) putInt64(records.add() + kInt, i < 30 ? i : 29);
  XsortSetup s = tight(setupFor({keyPart(kInt, 8, TQ_SORT_KIND_INTEGER, false)}), 2);
  s.memory = 256u << 10;
  s.chunkRows = 10;
  s.dropDuplicates = true;
  for (bool marks : {false, true}) {
    s.markGroups = marks;
    XsortResult out = runSort(s, records);
    ASSERT_TRUE(out.ok()) << out.error;
    EXPECT_EQ(out.count(), 30u);
    EXPECT_EQ(out.chunkRows, (std::vector<uint32_t>{10, 10, 10})) << "marks " << marks;
  }
}

TEST_F(XsortEngineTest, EmptyInputGivesOneEmptyLastChunk) {
  Records none(kLen);
  XsortResult out = runSort(setupFor({keyPart(kInt, 8, TQ_SORT_KIND_INTEGER, false)}), none);
  ASSERT_TRUE(out.ok()) << out.error;
  EXPECT_EQ(out.count(), 0u);
}

namespace {

// Opens a sort over 16-byte records (an integer key, then a row number) that spills.
struct OpenSort {
  TqSortEngine* sort = nullptr;
  TqSortInput* input = nullptr;
  std::string error;
  explicit OpenSort(uint32_t processors = 2, uint64_t memory = 256u << 10) {
    XsortSetup s;
    s.recordLength = 16;
    s.memory = memory;
    s.processors = processors;
    s.parts = {keyPart(0, 8, TQ_SORT_KIND_INTEGER, false)};
    sort = makeSort(s, &error);
    if (sort != nullptr) input = sort->ops->openInput(sort);
  }
};

Records integerRecords(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  Records r(16);
  for (size_t i = 0; i < n; ++i) {
    uint8_t* p = r.add();
    putInt64(p, static_cast<int64_t>(rng() % 1000000));
    putInt64(p + 8, static_cast<int64_t>(i));
  }
  return r;
}

// Submits every record in chunks of the engine's size, none of them the last.
bool submitAll(TqSortInput* in, const Records& records) {
  size_t next = 0;
  while (next < records.count()) {
    TqSortInputChunk* c = nullptr;
    if (in->ops->getInputChunk(in, &c) != 0) return false;
    size_t n = std::min<size_t>(c->rowCount, records.count() - next);
    std::memcpy(c->rows, records.at(next), n * 16);
    c->rowCount = static_cast<uint32_t>(n);
    next += n;
    if (in->ops->submitInputChunk(in, c) != 0) return false;
  }
  return true;
}

bool submitLast(TqSortInput* in) {
  TqSortInputChunk* c = nullptr;
  if (in->ops->getInputChunk(in, &c) != 0) return false;
  c->rowCount = 0;
  c->state = TQ_SORT_CHUNK_LAST;
  return in->ops->submitInputChunk(in, c) == 0;
}

}  // namespace

TEST_F(XsortEngineTest, WorkFilesGoToTheFirstTemporaryDirectoryThatTakesThemAndAreUnlinked) {
  std::string missing = dir_ + "/missing", used = subdir("used");
  tqbSetConfigValue("BASE/TEMP", (missing + ":" + used).c_str());
  OpenSort s;
  ASSERT_NE(s.input, nullptr) << s.error;
  ASSERT_TRUE(submitAll(s.input, integerRecords(50000, 8)));
  ASSERT_TRUE(submitLast(s.input));
  s.input->ops->close(s.input, 1);
  TqSortOutputChunk* c = nullptr;
  ASSERT_EQ(s.sort->ops->getOutputChunk(s.sort, &c), 0) << s.sort->ops->getError(s.sort);
  // Open, in the second directory, and already gone from it.
  EXPECT_GT(openFilesUnder(used), 0);
  EXPECT_EQ(openFilesUnder(dir_ + "/missing"), 0);
  EXPECT_TRUE(filesWithPrefix(dir_, "tq").empty());
  s.sort->ops->releaseOutputChunk(s.sort, c);
  s.sort->ops->destroy(s.sort);
  EXPECT_EQ(openFilesUnder(used), 0);
}

TEST_F(XsortEngineTest, WorkFilesGoToTmpdirWithoutConfiguredDirectories) {
  tqbSetConfigValue("BASE/TEMP", nullptr);
  unsetenv("TQ_BASE_TEMP");
  OpenSort s;
  ASSERT_NE(s.input, nullptr) << s.error;
  ASSERT_TRUE(submitAll(s.input, integerRecords(50000, 9)));
  ASSERT_TRUE(submitLast(s.input));
  s.input->ops->close(s.input, 1);
  TqSortOutputChunk* c = nullptr;
  ASSERT_EQ(s.sort->ops->getOutputChunk(s.sort, &c), 0) << s.sort->ops->getError(s.sort);
  EXPECT_GT(openFilesUnder(dir_), 0);  // TMPDIR is the test's directory
  s.sort->ops->destroy(s.sort);
}

TEST_F(XsortEngineTest, NoDirectoryTakingAWorkFileFailsTheSortWithTheDirectoriesNamed) {
  tqbSetConfigValue("BASE/TEMP", (dir_ + "/nowhere:" + dir_ + "/neither").c_str());
  OpenSort s;
  ASSERT_NE(s.input, nullptr) << s.error;
  bool fed = submitAll(s.input, integerRecords(50000, 10)) && submitLast(s.input);
  std::string error = s.input->ops->getError(s.input);
  s.input->ops->close(s.input, 1);
  TqSortOutputChunk* c = nullptr;
  if (fed) {
    EXPECT_NE(s.sort->ops->getOutputChunk(s.sort, &c), 0);
    error = s.sort->ops->getError(s.sort);
  }
  EXPECT_NE(error.find("Cannot create a sort work file in '" + dir_ + "/nowhere', '" + dir_ +
                       "/neither': No such file or directory"), std::string::npos) << error;
  s.sort->ops->destroy(s.sort);
}

TEST_F(XsortEngineTest, ChunkMisuseIsRefusedWithATextAndTheSortGoesOn) {
  OpenSort s;
  ASSERT_NE(s.input, nullptr) << s.error;
  TqSortInput* in = s.input;
  TqSortInputChunk* c = nullptr;
  ASSERT_EQ(in->ops->getInputChunk(in, &c), 0);
  uint32_t capacity = c->rowCount;
  ASSERT_GT(capacity, 0u);
  TqSortInputChunk* second = nullptr;
  EXPECT_NE(in->ops->getInputChunk(in, &second), 0);  // one chunk out at a time
  EXPECT_NE(std::string(in->ops->getError(in)).find("out already"), std::string::npos);
  TqSortInputChunk foreign = *c;
  EXPECT_NE(in->ops->submitInputChunk(in, &foreign), 0);
  EXPECT_NE(std::string(in->ops->getError(in)).find("did not hand out"), std::string::npos);
  c->rowCount = capacity + 1;
  EXPECT_NE(in->ops->submitInputChunk(in, c), 0);
  EXPECT_NE(std::string(in->ops->getError(in)).find("exceeds its capacity"), std::string::npos);
  c->rowCount = 1;
  c->state = 7;
  EXPECT_NE(in->ops->submitInputChunk(in, c), 0);
  EXPECT_NE(std::string(in->ops->getError(in)).find("state 7"), std::string::npos);
  TqSortOutputChunk* out = nullptr;
  EXPECT_NE(s.sort->ops->getOutputChunk(s.sort, &out), 0);
  EXPECT_NE(std::string(s.sort->ops->getError(s.sort)).find("has not ended"), std::string::npos);
  EXPECT_EQ(s.sort->ops->openInput(s.sort), nullptr);
  // An abandoned chunk's rows are discarded; the last chunk may be empty.
  putInt64(static_cast<uint8_t*>(c->rows), 99);
  c->state = TQ_SORT_CHUNK_ABANDONED;
  EXPECT_EQ(in->ops->submitInputChunk(in, c), 0);
  Records records = integerRecords(1000, 11);
  ASSERT_TRUE(submitAll(in, records));
  ASSERT_TRUE(submitLast(in));
  EXPECT_NE(in->ops->getInputChunk(in, &c), 0);
  EXPECT_NE(std::string(in->ops->getError(in)).find("has ended"), std::string::npos);
  in->ops->close(in, 1);
  XsortResult r;
  ASSERT_EQ(drain(s.sort, &r), "") << r.error;
  EXPECT_EQ(r.count(), records.count());
  EXPECT_NE(s.sort->ops->getOutputChunk(s.sort, &out), 0);
  EXPECT_NE(s.sort->ops->releaseOutputChunk(s.sort, out), 0);  // null: nothing is out
  s.sort->ops->destroy(s.sort);
}

TEST_F(XsortEngineTest, ACallerMayHoldTwoOutputChunksButNotThree) {
  XsortSetup s;
  s.recordLength = 16;
  s.memory = 256u << 10;
  s.chunkRows = 100;
  s.parts = {keyPart(0, 8, TQ_SORT_KIND_INTEGER, false)};
  std::string error;
  TqSortEngine* sort = makeSort(s, &error);
  ASSERT_NE(sort, nullptr) << error;
  TqSortInput* in = sort->ops->openInput(sort);
  ASSERT_EQ(feed(in, integerRecords(1000, 12), &error), "") << error;
  in->ops->close(in, 1);
  TqSortOutputChunk *a = nullptr, *b = nullptr, *c = nullptr;
  ASSERT_EQ(sort->ops->getOutputChunk(sort, &a), 0);
  ASSERT_EQ(sort->ops->getOutputChunk(sort, &b), 0);
  EXPECT_NE(a, b);
  EXPECT_LE(getInt64(static_cast<uint8_t*>(a->rows) + 16 * (a->rowCount - 1)),
            getInt64(static_cast<uint8_t*>(b->rows)));
  EXPECT_NE(sort->ops->getOutputChunk(sort, &c), 0);
  EXPECT_EQ(c, nullptr);
  EXPECT_NE(std::string(sort->ops->getError(sort)).find("release one"), std::string::npos);
  EXPECT_EQ(sort->ops->releaseOutputChunk(sort, a), 0);
  EXPECT_NE(sort->ops->releaseOutputChunk(sort, a), 0);
  EXPECT_EQ(sort->ops->getOutputChunk(sort, &c), 0);
  sort->ops->destroy(sort);  // with chunks still out
}

TEST_F(XsortEngineTest, ClosingTheInputEarlyAbandonsOrEndsTheSort) {
  Records records = integerRecords(20000, 13);
  for (int discard : {1, 0}) {
    OpenSort s;
    ASSERT_NE(s.input, nullptr) << s.error;
    ASSERT_TRUE(submitAll(s.input, records));
    TqSortInputChunk* held = nullptr;
    ASSERT_EQ(s.input->ops->getInputChunk(s.input, &held), 0);  // taken back by close
    EXPECT_EQ(s.input->ops->close(s.input, discard), 0);
    XsortResult r;
    std::string stage = drain(s.sort, &r);
    if (discard == 1) {
      EXPECT_EQ(stage, "getOutputChunk");
      EXPECT_NE(r.error.find("abandoned"), std::string::npos) << r.error;
    } else {
      EXPECT_EQ(stage, "") << r.error;
      EXPECT_EQ(r.count(), records.count());
    }
    s.sort->ops->destroy(s.sort);
  }
}

TEST_F(XsortEngineTest, DestroyWorksAtAnyPointOfTheSort) {
  Records records = integerRecords(60000, 14);
  for (int point = 0; point < 6; ++point) {
    SCOPED_TRACE("point " + std::to_string(point));
    int64_t before = 0;
    tqbAllocStats(&before, nullptr);
    {
      XsortSetup s;
      s.recordLength = 16;
      s.parts = {keyPart(0, 8, TQ_SORT_KIND_INTEGER, false)};
      TqSortParms* p = makeParms(s);
      TqSortEngine* sort = tqSortCreate(p);
      p->ops->destroy(p);
      ASSERT_NE(sort, nullptr);
      if (point == 0) {  // keys not even added
        sort->ops->destroy(sort);
        continue;
      }
      ASSERT_EQ(sort->ops->addKey(sort, &s.parts[0], 0), 0);
      ASSERT_EQ(sort->ops->prepare(sort), 0);
      if (point == 1) {  // threads started, no input
        sort->ops->destroy(sort);
        continue;
      }
      OpenSort o(3);
      sort->ops->destroy(sort);
      ASSERT_NE(o.input, nullptr);
      ASSERT_TRUE(submitAll(o.input, records));
      if (point == 2) {  // mid-input, input still open, batches being sorted and written
        o.sort->ops->destroy(o.sort);
        continue;
      }
      ASSERT_TRUE(submitLast(o.input));
      o.input->ops->close(o.input, 1);
      if (point == 3) {  // input ended, output not begun
        o.sort->ops->destroy(o.sort);
        continue;
      }
      TqSortOutputChunk* c = nullptr;
      ASSERT_EQ(o.sort->ops->getOutputChunk(o.sort, &c), 0);
      if (point == 4) {  // mid-output, a chunk held
        o.sort->ops->destroy(o.sort);
        continue;
      }
      o.sort->ops->releaseOutputChunk(o.sort, c);
      XsortResult r;
      ASSERT_EQ(drain(o.sort, &r), "");
      o.sort->ops->destroy(o.sort);  // after the end
    }
    int64_t after = 0;
    tqbAllocStats(&after, nullptr);
    EXPECT_EQ(after, before) << "memory left allocated";
  }
}

namespace {

// Kind 4 callback: the string field's bytes reversed, up to its terminator, with the
// byte 0 mapped to itself so that outputs hold zeros; complemented when descending.
int reversedKey(void*, const void* value, uint32_t length, void* out, uint32_t, int descending,
                uint32_t* outLength) {
  const uint8_t* v = static_cast<const uint8_t*>(value);
  uint32_t n = v[0];  // first byte: how many of the following bytes count
  if (n > length - 1) n = length - 1;
  if (out != nullptr) {
    uint8_t* o = static_cast<uint8_t*>(out);
    for (uint32_t i = 0; i < n; ++i) {
      uint8_t b = v[n - i];
      o[i] = descending ? static_cast<uint8_t>(~b) : b;
    }
  }
  *outLength = n;
  return 0;
}

int failingKey(void*, const void*, uint32_t, void*, uint32_t, int, uint32_t* outLength) {
  *outLength = 0;
  return 5;
}

std::string reversedOf(const uint8_t* v, uint32_t length) {
  uint32_t n = std::min<uint32_t>(v[0], length - 1);
  std::string s;
  for (uint32_t i = 0; i < n; ++i) s.push_back(static_cast<char>(v[n - i]));
  return s;
}

}  // namespace

TEST_F(XsortEngineTest, CallbackPartsCompareTheirBytesShorterFirstAnywhereInTheKey) {
  // [0..8] length byte and up to 8 bytes (zeros included), [9..16] integer.
  std::mt19937_64 rng(15);
  Records records(17);
  for (int i = 0; i < 20000; ++i) {
    uint8_t* p = records.add();
    p[0] = static_cast<uint8_t>(rng() % 9);
    for (int k = 1; k < 9; ++k) p[k] = static_cast<uint8_t>(rng() % 3);  // 0, 1, 2
    putInt64(p + 9, static_cast<int64_t>(rng() % 5));
  }
  TqSortKeyBlock block{&reversedKey};
  for (bool last : {true, false}) {
    for (bool descending : {false, true}) {
      SCOPED_TRACE(std::string(last ? "last part" : "first part") + (descending ? " descending" : ""));
      XsortSetup s;
      s.recordLength = 17;
      s.memory = 512u << 10;
      s.processors = 2;
      TqSortKeyPart cb = keyPart(0, 9, TQ_SORT_KIND_CALLBACK, descending, nullptr, &block);
      TqSortKeyPart in = keyPart(9, 8, TQ_SORT_KIND_INTEGER, false);
      s.parts = last ? std::vector<TqSortKeyPart>{in, cb} : std::vector<TqSortKeyPart>{cb, in};
      XsortResult out = runSort(s, records);
      ASSERT_TRUE(out.ok()) << out.error;
      ASSERT_EQ(out.count(), records.count());
      auto keyOf = [&](size_t i) {
        const uint8_t* p = out.rows.data() + 17 * i;
        std::string c = reversedOf(p, 9);
        if (descending) for (char& ch : c) ch = static_cast<char>(~ch);
        return std::make_pair(last ? getInt64(p + 9) : 0, std::make_pair(c, last ? 0 : getInt64(p + 9)));
      };
      for (size_t i = 1; i < out.count(); ++i) ASSERT_LE(keyOf(i - 1), keyOf(i)) << "row " << i;
    }
  }
  TqSortKeyBlock bad{&failingKey};
  XsortSetup s;
  s.recordLength = 17;
  s.parts = {keyPart(0, 9, TQ_SORT_KIND_CALLBACK, false, nullptr, &bad)};
  XsortResult out = runSort(s, records);
  EXPECT_FALSE(out.ok());
  EXPECT_NE(out.error.find("key callback of part 0 failed (5)"), std::string::npos) << out.error;
}

// In the least memory, several threads with keys of every length up to 300 bytes, and
// two threads with keys of 2,000 bytes (queued batches fill the memory while the
// threads wait for room for their first key): a thread whose key buffer or run list
// must grow gets the room kept for that, or waits for what the others give back, so
// the sort never fails (both failed now and then).
TEST_F(XsortEngineTest, StructuresThatGrowFindRoomWhenBatchesFillTheMemory) {
  struct Shape {
    uint32_t longest;
    uint32_t field;
    uint32_t processors;
    int rows;
    const char* locale;  // collated, or null
  } shapes[] = {{300, 301, 4, 3000, nullptr}, {2000, 3016, 2, 300, "de"}};
  for (const Shape& shape : shapes) {
    const uint32_t field = shape.field, record = field + 8;
    std::mt19937_64 rng(5);
    Records records(record);
    for (int i = 0; i < shape.rows; ++i) {
      uint8_t* p = records.add();
      std::string s(shape.longest == 300 ? rng() % 300 : shape.longest, 'x');
      for (size_t j = 0; j < std::min<size_t>(s.size(), 8); ++j) s[j] = static_cast<char>('a' + rng() % 8);
      for (size_t j = 8; j < s.size() && shape.longest == 300; ++j) s[j] = static_cast<char>('a' + rng() % 3);
      putString(p, s, field);
      putInt64(p + field, i);
    }
    XsortSetup s;
    s.recordLength = record;
    s.memory = 256 << 10;
    s.processors = shape.processors;
    const TqSortCollation collation{shape.locale, 0};
    s.parts = {keyPart(0, field, TQ_SORT_KIND_STRING, false, shape.locale != nullptr ? &collation : nullptr)};
    for (int round = 0; round < 25; ++round) {
      XsortResult out = runSort(s, records);
      ASSERT_TRUE(out.ok()) << shape.longest << " bytes, round " << round << ": " << out.stage << ": " << out.error;
      ASSERT_EQ(out.count(), static_cast<size_t>(shape.rows));
    }
  }
}

// --- progress and failure results --------------------------------------------------------

namespace {

struct Heard {
  TqSortProgressBlock block;
  std::vector<std::pair<uint64_t, uint64_t>> calls;
  size_t stopAt = 0;  // answer "stop" on this call (0: never)
};

int hear(void* block, uint64_t done, uint64_t total) {
  Heard* h = static_cast<Heard*>(block);
  h->calls.emplace_back(done, total);
  return h->calls.size() == h->stopAt ? 1 : 0;
}

}  // namespace

// The progress function hears the sort once its input has ended, in work units that
// only grow (each row sorted, then handed out; and written again by merges before the
// last), and may stop it: the call fails with TQ_SORT_FAILED_STOPPED, and so does every
// later one.  A memory too small for what is asked fails with TQ_SORT_FAILED_NO_ROOM.
TEST_F(XsortEngineTest, ProgressIsHeardAfterTheInputAndAStopFailsEveryLaterCall) {
  Records records(16);
  std::mt19937_64 rng(3);
  for (int i = 0; i < 200000; ++i) putInt64(records.add(), static_cast<int64_t>(rng()));
  XsortSetup s;
  s.recordLength = 16;
  s.memory = 1u << 20;
  s.parts = {keyPart(0, 8, TQ_SORT_KIND_INTEGER, false)};
  for (size_t stopAt : {size_t{0}, size_t{1}}) {
    SCOPED_TRACE(stopAt);
    std::string error;
    TqSortEngine* sort = makeSort(s, &error);
    ASSERT_NE(sort, nullptr) << error;
    Heard heard{{&hear, nullptr}, {}, stopAt};
    ASSERT_EQ(sort->ops->setProgress(sort, &heard), 0);
    TqSortInput* input = sort->ops->openInput(sort);
    ASSERT_NE(input, nullptr);
    ASSERT_EQ(feed(input, records, &error), "") << error;
    EXPECT_TRUE(heard.calls.empty()) << "heard while rows came in";
    input->ops->close(input, 1);
    TqSortOutputChunk* chunk = nullptr;
    if (stopAt == 1) {
      EXPECT_EQ(sort->ops->getOutputChunk(sort, &chunk), TQ_SORT_FAILED_STOPPED);
      EXPECT_EQ(sort->ops->getOutputChunk(sort, &chunk), TQ_SORT_FAILED_STOPPED);
      EXPECT_STREQ(sort->ops->getError(sort), "The sort was stopped by its progress callback.");
      EXPECT_EQ(heard.calls.size(), 1u);
      sort->ops->destroy(sort);
      continue;
    }
    uint64_t rows = 0;
    do {
      ASSERT_EQ(sort->ops->getOutputChunk(sort, &chunk), 0) << sort->ops->getError(sort);
      rows += chunk->rowCount;
      ASSERT_EQ(sort->ops->releaseOutputChunk(sort, chunk), 0);
    } while (chunk->state != TQ_SORT_CHUNK_LAST);
    EXPECT_EQ(rows, records.count());
    ASSERT_GE(heard.calls.size(), 2u);
    for (size_t i = 0; i < heard.calls.size(); ++i) {
      EXPECT_LE(heard.calls[i].first, heard.calls[i].second);
      EXPECT_GE(heard.calls[i].second, 2 * records.count());
      if (i > 0) {
        EXPECT_GE(heard.calls[i].first, heard.calls[i - 1].first);
      }
    }
    uint64_t done = 0, total = 0;
    ASSERT_EQ(sort->ops->getProgress(sort, &done, &total), 0);
    EXPECT_EQ(done, total);  // all of it
    sort->ops->destroy(sort);
  }
  s.recordLength = 200000;  // a record beyond a sixteenth of the memory
  s.parts = {keyPart(0, 8, TQ_SORT_KIND_INTEGER, false)};
  TqSortParms* parms = makeParms(s);
  ASSERT_NE(parms, nullptr);
  TqSortEngine* sort = tqSortCreate(parms);
  ASSERT_NE(sort, nullptr);
  ASSERT_EQ(sort->ops->addKey(sort, &s.parts[0], 0), 0);
  EXPECT_EQ(sort->ops->prepare(sort), TQ_SORT_FAILED_NO_ROOM) << sort->ops->getError(sort);
  sort->ops->destroy(sort);
  parms->ops->destroy(parms);
}
