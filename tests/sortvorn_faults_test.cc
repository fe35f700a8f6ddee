// Failure paths of the chunk sort, through the platform's fault injection: chunk files
// that cannot be created, written or read back, memory that runs out anywhere, and a
// pool that will not take work.  Each failure reaches the caller with its status and
// message at its next call, and nothing is left behind after release.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <fstream>
#include <iterator>

#include "core/varint.h"
#include "platform/tqfault.h"
#include "platform/tqlog.h"
#include "sort_support.h"

namespace {

const std::vector<RefColumn> kCols = {{tqbTypeInteger, 0}, {tqbTypeString, 30}};

std::vector<std::vector<RefValue>> rowsOf(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::vector<RefValue>> rows;
  for (size_t r = 0; r < n; ++r) {
    std::vector<RefValue> row(2);
    row[0].null = false;
    row[0].i = static_cast<int64_t>(rng() % 100000);
    row[1].null = false;
    row[1].s = std::string(rng() % 30, 'k');
    rows.push_back(row);
  }
  return rows;
}

bool ascending(const std::vector<std::vector<RefValue>>& out) {
  for (size_t r = 1; r < out.size(); ++r) {
    if (out[r - 1][0].i > out[r][0].i) return false;
  }
  return true;
}

}  // namespace

// Every case runs on both chunk sorts (variable and fixed rows).
class SortFaultTest : public SortTest, public ::testing::WithParamInterface<SortEngine> {
 protected:
  // Small chunks and three buffers: chunks go to disk and are read back.
  SortOptions tight(int processors) const {
    SortOptions o;
    o.engine = GetParam();
    o.chunkSize = 2048;
    o.sortSize = 3 * 2048;
    o.processors = processors;
    return o;
  }
  uint32_t flags() const {
    return TqDatafile::FlagSorted | (GetParam() == SortEngine::variable ? TqDatafile::FlagVariableRows : 0u);
  }
};

INSTANTIATE_TEST_SUITE_P(Engines, SortFaultTest, ::testing::Values(SortEngine::variable, SortEngine::fixed),
                         [](const ::testing::TestParamInfo<SortEngine>& param) {
                           return std::string(engineName(param.param));
                         });

TEST_P(SortFaultTest, ChunkFileGoesToTheNextDirectoryWhenTheFirstRefuses) {
  std::string a = subdir("a"), b = subdir("b");
  SortOptions o = tight(1);
  o.dirs = a + ":" + b;
  LogCapture capture;
  tqlogSetLevel("TQ.Datafile.tempfile", 2);
  TqSortVornImpl* f = makeSort(kCols, o, {{0, true}});
  auto rows = rowsOf(600, 1);
  tqFaultArm(TqFaultOp::TmpFile, 1);  // the first chunk file, in the first directory
  std::vector<std::vector<RefValue>> out;
  ASSERT_EQ(sortAll(f, kCols, rows, &out, nullptr), 4) << f->getError().asCstr();
  EXPECT_EQ(tqFaultsDelivered(), 1);
  EXPECT_EQ(out.size(), rows.size());
  EXPECT_TRUE(ascending(out));
  bool reported = false;
  for (const LogRecord& r : capture.records()) {
    reported |= r.text.find("persistChunk") != std::string::npos && r.text.find("'" + a + "'") != std::string::npos;
  }
  EXPECT_TRUE(reported) << "the refused directory is traced";
  f->release();
}

TEST_P(SortFaultTest, ChunkFileThatNoDirectoryTakesStopsTheSort) {
  TqSortVornImpl* f = makeSort(kCols, tight(2), {{0, true}});
  tqFaultArm(TqFaultOp::TmpFile, 1, TqFaultMode::Fail, true);
  std::vector<std::vector<RefValue>> out;
  int32_t status = sortAll(f, kCols, rowsOf(600, 2), &out, nullptr);
  EXPECT_EQ(status, 2);
  EXPECT_NE(f->getError().str().find("could not be created"), std::string::npos);
  tqFaultReset();
  f->release();
}

TEST_P(SortFaultTest, FailedChunkWriteIsStatus12) {
  TqSortVornImpl* f = makeSort(kCols, tight(1), {{0, true}});
  tqFaultArm(TqFaultOp::Write, 1, TqFaultMode::Fail, true);
  int32_t status = 0;
  size_t added = 0;
  for (const auto& row : rowsOf(600, 3)) {
    storeRow(f, kCols, row);
    if ((status = f->addRow(nullptr)) != 0) break;
    ++added;
  }
  // The failure reaches the writer as soon as it is recorded, not only at sort().
  EXPECT_EQ(status, 12);
  EXPECT_LT(added, 600u);
  // The message names the file, and so its directory.
  EXPECT_NE(f->getError().str().find("Writing the temporary file '" + dir_ + "/tqsort_"), std::string::npos)
      << f->getError().str();
  EXPECT_EQ(f->sort(), 12);
  tqFaultReset();
  f->release();
}

TEST_P(SortFaultTest, ShortChunkWritesAreCompleted) {
  TqSortVornImpl* f = makeSort(kCols, tight(1), {{0, true}});
  tqFaultArm(TqFaultOp::Write, 1, TqFaultMode::Short, true);
  std::vector<std::vector<RefValue>> out;
  ASSERT_EQ(sortAll(f, kCols, rowsOf(600, 4), &out, nullptr), 4) << f->getError().asCstr();
  EXPECT_GT(tqFaultsDelivered(), 0);
  EXPECT_TRUE(ascending(out));
  tqFaultReset();
  f->release();
}

namespace {

// Adds `rows` `step` at a time and after each step waits until the pool has ended every
// sort it was given: whatever a sort item does after its sort (writing a run ahead) is
// then done before the writer adds the next rows.  The status of the first addRow
// that fails, or 0.
int32_t addWaitingForThePool(TqSortVornImpl* f, const std::vector<std::vector<RefValue>>& rows, size_t step = 8) {
  for (size_t r = 0; r < rows.size(); ++r) {
    storeRow(f, kCols, rows[r]);
    int32_t status = f->addRow(nullptr);
    if (status != 0) return status;
    if (r % step != step - 1) continue;
    for (int waited = 0; waited < 10000; ++waited) {
      TqSortVornImpl::Statistics st = f->statistics();
      if (st.sortsEnded == st.sortsSubmitted) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return 0;
}

}  // namespace

// While rows come in, once they have outgrown the memory, the pool writes the run whose
// buffer the next chunk takes; a sort that fits in memory writes nothing.  A write ahead
// that fails loses nothing: the run is still in memory, and the writer writes it when it
// needs the buffer, reporting a failure then.
TEST_P(SortFaultTest, RunsWrittenAheadOnThePoolAndAFailedWriteAheadLosesNothing) {
  auto rows = rowsOf(600, 9);
  std::vector<std::vector<RefValue>> out;
  // No fault: the pool writes runs ahead, and the rows come back in order.
  TqSortVornImpl* f = makeSort(kCols, tight(2), {{0, true}});
  ASSERT_EQ(addWaitingForThePool(f, rows), 0) << f->getError().asCstr();
  EXPECT_GT(f->statistics().chunksWrittenAhead, 0u);
  ASSERT_EQ(sortAll(f, kCols, {}, &out, nullptr), 4) << f->getError().asCstr();
  EXPECT_EQ(out.size(), rows.size());
  EXPECT_TRUE(ascending(out));
  f->release();
  // Rows that fill the memory but do not outgrow it: nothing is written, ahead or not.
  f = makeSort(kCols, tight(2), {{0, true}});
  size_t added = 0;
  while (added < rows.size()) {
    ASSERT_EQ(addWaitingForThePool(f, {rows[added]}, 1), 0) << f->getError().asCstr();
    ++added;
    TqSortVornImpl::Statistics st = f->statistics();
    if (st.maxBuffersInUse == st.maxChunksInMemory) break;
  }
  ASSERT_EQ(f->statistics().chunksWrittenToDisk, 0u);
  out.clear();
  ASSERT_EQ(sortAll(f, kCols, {}, &out, nullptr), 4) << f->getError().asCstr();
  EXPECT_EQ(out.size(), added);
  EXPECT_EQ(f->statistics().chunksWrittenToDisk, 0u);
  f->release();
  // The nth run file cannot be created.  When that was the writer's, the sort fails and
  // says so; when it was the pool's write ahead, it is dropped, writing ahead stops, and
  // every row comes back.  The first file is the writer's (the rows outgrew the memory);
  // most of the next ones are written ahead.
  int droppedAhead = 0;
  for (int64_t n = 2; n <= 12; ++n) {
    SCOPED_TRACE("run file " + std::to_string(n));
    f = makeSort(kCols, tight(2), {{0, true}});
    tqFaultArm(TqFaultOp::TmpFile, n);
    int32_t status = addWaitingForThePool(f, rows);
    out.clear();
    if (status == 0) status = sortAll(f, kCols, {}, &out, nullptr);
    ASSERT_EQ(tqFaultsDelivered(), 1);
    if (status == 4) {
      EXPECT_EQ(out.size(), rows.size());
      EXPECT_TRUE(ascending(out));
      // Only files before the nth were written ahead (the first was the writer's).
      EXPECT_LE(f->statistics().chunksWrittenAhead, static_cast<uint32_t>(n - 2)) << "writing ahead stops";
      ++droppedAhead;
    } else {
      EXPECT_EQ(status, 2);
      EXPECT_NE(f->getError().str().find("could not be created"), std::string::npos) << f->getError().str();
    }
    tqFaultReset();
    f->release();
  }
  EXPECT_GT(droppedAhead, 0);
}

TEST_P(SortFaultTest, FailedReloadIsStatus3Or12) {
  struct Case {
    TqFaultOp op;
    int32_t status;
    const char* text;
  };
  for (const Case& c : {Case{TqFaultOp::Open, 3, "could not be reopened"},
                        Case{TqFaultOp::Read, 12, "Reading a temporary file failed"}}) {
    TqSortVornImpl* f = makeSort(kCols, tight(1), {{0, true}});
    tqFaultArm(c.op, 1);
    std::vector<std::vector<RefValue>> out;
    EXPECT_EQ(sortAll(f, kCols, rowsOf(600, 5), &out, nullptr), c.status);
    EXPECT_NE(f->getError().str().find(c.text), std::string::npos) << f->getError().asCstr();
    // The sort stays stopped: later calls give the error again.
    EXPECT_EQ(f->next(nullptr), c.status);
    EXPECT_EQ(f->next(nullptr), c.status);
    tqFaultReset();
    f->release();
  }
}

TEST_P(SortFaultTest, EveryReloadFailureStopsTheSortForGood) {
  // Three buffers and a few hundred rows: chunks go to disk and the last merge is read
  // from directly, so reloads happen for chunks, merges and the read merge alike.
  auto rows = rowsOf(300, 8);
  std::vector<std::vector<RefValue>> out;
  TqSortVornImpl* f = makeSort(kCols, tight(1), {{0, true}});
  tqFaultReset();
  ASSERT_EQ(sortAll(f, kCols, rows, &out, nullptr), 4);
  int64_t reloads = tqFaultCalls(TqFaultOp::Open);
  ASSERT_GT(reloads, 3);
  f->release();
  for (int64_t n = 1; n <= reloads; ++n) {
    f = makeSort(kCols, tight(1), {{0, true}});
    tqFaultArm(TqFaultOp::Open, n);
    out.clear();
    int32_t status = sortAll(f, kCols, rows, &out, nullptr);
    if (tqFaultsDelivered() == 0) {
      // The pool's timing decides which chunks lose their buffers, so a run may make
      // fewer reloads than the first: then it must simply succeed.
      EXPECT_EQ(status, 4) << "reload " << n;
      EXPECT_EQ(out.size(), rows.size()) << "reload " << n;
    } else {
      EXPECT_EQ(status, 3) << "reload " << n;
      EXPECT_EQ(f->next(nullptr), status) << "reload " << n;
      EXPECT_EQ(f->next(nullptr), status) << "reload " << n;
    }
    tqFaultReset();
    f->release();
  }
}

// Every read of a run file, failing in turn (headers, records and refills alike, through
// windows shorter than a record), stops the sort with status 12 and leaves no file behind;
// reads that come back short are completed.
TEST_P(SortFaultTest, EveryFailedRunReadStopsTheSortAndShortReadsAreCompleted) {
  SortOptions o = tight(1);
  o.windowSize = 40;
  auto rows = rowsOf(300, 11);
  std::vector<std::vector<RefValue>> out;
  TqSortVornImpl* f = makeSort(kCols, o, {{0, true}});
  tqFaultReset();
  ASSERT_EQ(sortAll(f, kCols, rows, &out, nullptr), 4) << f->getError().asCstr();
  const int64_t reads = tqFaultCalls(TqFaultOp::Read);
  ASSERT_GT(reads, 50);
  f->release();
  for (int64_t n = 1; n <= reads; n += n < 100 ? 1 : 1 + reads / 50) {
    f = makeSort(kCols, o, {{0, true}});
    tqFaultArm(TqFaultOp::Read, n);
    out.clear();
    int32_t status = sortAll(f, kCols, rows, &out, nullptr);
    if (tqFaultsDelivered() == 0) {  // the pool's timing made fewer reads
      EXPECT_EQ(status, 4) << "read " << n;
      EXPECT_EQ(out.size(), rows.size()) << "read " << n;
    } else {
      EXPECT_EQ(status, 12) << "read " << n;
      EXPECT_EQ(f->next(nullptr), 12) << "read " << n;
    }
    tqFaultReset();
    f->release();
    EXPECT_TRUE(filesWithPrefix(dir_, "tqsort_").empty()) << "read " << n;
  }
  f = makeSort(kCols, o, {{0, true}});
  tqFaultArm(TqFaultOp::Read, 1, TqFaultMode::Short, true);
  out.clear();
  ASSERT_EQ(sortAll(f, kCols, rows, &out, nullptr), 4) << f->getError().asCstr();
  EXPECT_GT(tqFaultsDelivered(), 0);
  EXPECT_EQ(out.size(), rows.size());
  EXPECT_TRUE(ascending(out));
  tqFaultReset();
  f->release();
}

// A run file damaged on disk after it was written (its second key says it shares more
// bytes than the first key has) stops the sort with status 12 and the reason, and the
// sort leaves no file behind.
TEST_F(SortTest, ARunFileDamagedOnDiskStopsTheSortAndLeavesNothing) {
  SortOptions o;
  o.chunkSize = 2048;
  o.sortSize = 3 * 2048;
  TqSortVornImpl* f = makeSort(kCols, o, {{0, true}});
  ASSERT_EQ(addWaitingForThePool(f, rowsOf(600, 12)), 0) << f->getError().asCstr();
  int damaged = 0;
  for (const std::string& path : filesWithPrefix(dir_, "tqsort_")) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    uint64_t shared = 0, rest = 0, row = 0;
    size_t a = 0, b = 0, c = 0;
    ASSERT_TRUE(tqvarint::get(bytes.data(), bytes.size(), &shared, &a));
    ASSERT_TRUE(tqvarint::get(bytes.data() + a, bytes.size() - a, &rest, &b));
    ASSERT_TRUE(tqvarint::get(bytes.data() + a + b, bytes.size() - a - b, &row, &c));
    ASSERT_EQ(shared, 0u) << "a file's first key shares nothing";
    const uint64_t second = a + b + c + rest + row;
    if (second >= bytes.size()) continue;  // one row
    ASSERT_LT(bytes[second] & 0xff, 0x80) << "an integer key shares fewer than 128 bytes";
    file.clear();
    file.seekp(static_cast<std::streamoff>(second));
    file.put(static_cast<char>(rest + 1));
    ++damaged;
  }
  ASSERT_GT(damaged, 0);
  int32_t status = f->sort();
  while (status == 0) status = f->next(nullptr);
  EXPECT_EQ(status, 12);
  EXPECT_NE(f->getError().str().find("shares more bytes than the key before it has"), std::string::npos)
      << f->getError().asCstr();
  f->release();
  EXPECT_TRUE(filesWithPrefix(dir_, "tqsort_").empty());
}

TEST_P(SortFaultTest, PoolThatRefusesWorkOrDoesNotStart) {
  TqSortVornImpl* f = makeSort(kCols, tight(1), {{0, true}});
  tqFaultArm(TqFaultOp::PoolEnqueue, 1);
  std::vector<std::vector<RefValue>> out;
  EXPECT_EQ(sortAll(f, kCols, rowsOf(600, 6), &out, nullptr), 1);
  EXPECT_NE(f->getError().str().find("thread pool"), std::string::npos);
  tqFaultReset();
  f->release();
  tqFaultArm(TqFaultOp::PoolStart, 1);
  EXPECT_EQ(mgr_->createFile(flags()), nullptr);
  EXPECT_NE(mgr_->getError().str().find("thread pool"), std::string::npos);
  tqFaultReset();
}

TEST_P(SortFaultTest, EveryAllocationFailureEndsCleanly) {
  auto rows = rowsOf(400, 7);
  // One run without faults counts the allocations of the whole life of a sort.
  auto run = [&](std::string* error, bool* complete) {
    *complete = false;
    TqSortVornImpl* f = makeSort(kCols, tight(2), {{0, true}}, true, error);
    if (f == nullptr) return;
    std::vector<std::vector<RefValue>> out;
    int32_t status = sortAll(f, kCols, rows, &out, nullptr);
    *complete = status == 4 && out.size() == rows.size() && ascending(out);
    if (status != 4) *error = f->getError().asCstr();
    f->release();
  };
  std::string error;
  bool complete = false;
  tqFaultReset();
  run(&error, &complete);
  ASSERT_TRUE(complete) << error;
  int64_t allocations = tqFaultCalls(TqFaultOp::Alloc);
  ASSERT_GT(allocations, 20);
  int failed = 0;
  // Every allocation up to 200, then a sample of the rest.
  for (int64_t n = 1; n <= allocations; n += n < 200 ? 1 : 1 + allocations / 100) {
    tqFaultArm(TqFaultOp::Alloc, n);
    error.clear();
    run(&error, &complete);
    bool delivered = tqFaultsDelivered() > 0;
    tqFaultReset();
    if (!complete) {
      ++failed;
      EXPECT_TRUE(delivered) << "allocation " << n << " failed without a fault";
      EXPECT_FALSE(error.empty()) << "allocation " << n << " failed without a message";
    }
    EXPECT_TRUE(filesWithPrefix(dir_, "tqsort_").empty()) << "allocation " << n;
  }
  EXPECT_GT(failed, 0);
}
