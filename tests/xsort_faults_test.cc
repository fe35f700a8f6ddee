// Failures of the external sort engine through the platform's fault injection: the
// n-th allocation, work file creation, write, read or seek fails, for every n that a
// whole sort reaches.  Each time the sort either fails with a text from the call that
// met the failure or a later one, or (when it could go around it) delivers every row
// in order; and after destroy no memory and no work file is left.
#include <gtest/gtest.h>

#include <random>

#include "platform/tqballoc.h"
#include "platform/tqfault.h"
#include "xsort_support.h"

namespace {

struct Config {
  const char* name;
  uint32_t recordLength;
  uint32_t processors;
  uint64_t memory;
  size_t rows;
  bool markGroups;
  bool dropDuplicates;
};

// Spills to a few runs, merged in one pass, on two threads, with marks.
const Config kSpill = {"spill", 16, 2, 256u << 10, 40000, true, false};
// Many runs for little memory: merges before the last, four threads, duplicates dropped.
const Config kPasses = {"passes", 64, 4, 256u << 10, 30000, false, true};

Records recordsFor(const Config& c) {
  std::mt19937_64 rng(21);
  Records r(c.recordLength);
  for (size_t i = 0; i < c.rows; ++i) {
    uint8_t* p = r.add();
    putInt64(p, static_cast<int64_t>(rng() % (c.dropDuplicates ? 5000 : 1000000)));
    putInt64(p + 8, static_cast<int64_t>(i));
  }
  return r;
}

struct Attempt {
  std::string stage;  // the call that failed, "" when none did
  std::string error;
  XsortResult out;
};

// One whole sort through the C interface, stopping at the first failing call.
Attempt attempt(const Config& c, const Records& records) {
  Attempt a;
  TqSortParms* p = tqSortParmsCreate();
  if (p == nullptr) {
    a.stage = "tqSortParmsCreate";  // nothing to read a text from: null is the report
    a.error = "(null)";
    return a;
  }
  p->ops->setInt(p, TQ_SORT_PARM_RECORD_LENGTH, static_cast<int32_t>(c.recordLength));
  p->ops->setInt(p, TQ_SORT_PARM_PROCESSORS, static_cast<int32_t>(c.processors));
  p->ops->setInt64(p, TQ_SORT_PARM_MEMORY, static_cast<uint32_t>(c.memory), 0);
  p->ops->setBool(p, TQ_SORT_PARM_MARK_GROUPS, c.markGroups);
  p->ops->setBool(p, TQ_SORT_PARM_DROP_DUPLICATES, c.dropDuplicates);
  TqSortEngine* s = tqSortCreate(p);
  if (s == nullptr) {
    a.stage = "tqSortCreate";
    a.error = p->ops->getError(p);
    p->ops->destroy(p);
    return a;
  }
  p->ops->destroy(p);
  TqSortKeyPart part = keyPart(0, 8, TQ_SORT_KIND_INTEGER, false);
  TqSortInput* in = nullptr;
  if (s->ops->addKey(s, &part, 0) != 0) {
    a.stage = "addKey";
  } else if (s->ops->checkKeys(s) != 0) {
    a.stage = "checkKeys";
  } else if (s->ops->prepare(s) != 0) {
    a.stage = "prepare";
  } else if ((in = s->ops->openInput(s)) == nullptr) {
    a.stage = "openInput";
  }
  if (!a.stage.empty()) {
    a.error = s->ops->getError(s);
    s->ops->destroy(s);
    return a;
  }
  a.stage = feed(in, records, &a.error);
  in->ops->close(in, 1);
  if (a.stage.empty()) {
    a.stage = drain(s, &a.out);
    a.error = a.out.error;
  }
  s->ops->destroy(s);
  return a;
}

void expectComplete(const Config& c, const Records& records, const XsortResult& out) {
  ASSERT_EQ(out.rowLength, c.recordLength);
  if (!c.dropDuplicates) {
    ASSERT_EQ(out.count(), records.count());
  }
  for (size_t i = 1; i < out.count(); ++i) {
    int64_t a = getInt64(out.rows.data() + (i - 1) * c.recordLength);
    int64_t b = getInt64(out.rows.data() + i * c.recordLength);
    ASSERT_TRUE(c.dropDuplicates ? a < b : a <= b) << "row " << i;
  }
}

}  // namespace

class XsortFaultTest : public XsortTest {
 protected:
  // Fails the n-th call of `op` for n = 1, 2, ... until a sort no longer reaches it.
  // Returns how many sorts failed.
  int sweep(const Config& c, TqFaultOp op, TqFaultMode mode) {
    const Records records = recordsFor(c);
    int failures = 0;
    for (int64_t n = 1;; ++n) {
      SCOPED_TRACE(std::string(c.name) + ": fault at call " + std::to_string(n));
      int64_t before = 0;
      tqbAllocStats(&before, nullptr);
      tqFaultArm(op, n, mode);
      Attempt a = attempt(c, records);
      int64_t delivered = tqFaultsDelivered();
      int64_t calls = tqFaultCalls(op);
      tqFaultReset();
      int64_t after = 0;
      tqbAllocStats(&after, nullptr);
      EXPECT_EQ(after, before) << "memory left allocated after " << a.stage;
      EXPECT_EQ(openFilesUnder(dir_), 0) << "work file left open after " << a.stage;
      if (!a.stage.empty()) {
        ++failures;
        EXPECT_GT(delivered, 0) << a.stage << " failed with no fault: " << a.error;
        EXPECT_FALSE(a.error.empty()) << a.stage << " failed without a text";
      } else {
        expectComplete(c, records, a.out);
      }
      if (::testing::Test::HasFailure()) return failures;
      if (delivered == 0 && calls < n) return failures;  // the sort made fewer calls
      if (n > 5000) {
        ADD_FAILURE() << "the sweep does not end";
        return failures;
      }
    }
  }
};

TEST_F(XsortFaultTest, EveryAllocationThatFailsIsReported) {
  EXPECT_GT(sweep(kSpill, TqFaultOp::Alloc, TqFaultMode::Fail), 10);
  EXPECT_GT(sweep(kPasses, TqFaultOp::Alloc, TqFaultMode::Fail), 10);
}

TEST_F(XsortFaultTest, AWorkFileThatCannotBeCreatedIsReportedWithItsDirectory) {
  EXPECT_GT(sweep(kSpill, TqFaultOp::TmpFile, TqFaultMode::Fail), 0);
  EXPECT_GT(sweep(kPasses, TqFaultOp::TmpFile, TqFaultMode::Fail), 0);
  tqFaultArm(TqFaultOp::TmpFile, 1);
  Attempt a = attempt(kSpill, recordsFor(kSpill));
  tqFaultReset();
  EXPECT_NE(a.error.find("Cannot create a sort work file in '" + dir_ + "': No space left on device"),
            std::string::npos) << a.error;
}

TEST_F(XsortFaultTest, FailedWritesReadsAndSeeksAreReportedWithTheFileName) {
  for (const Config* c : {&kSpill, &kPasses}) {
    EXPECT_GT(sweep(*c, TqFaultOp::Write, TqFaultMode::Fail), 0);
    EXPECT_GT(sweep(*c, TqFaultOp::Read, TqFaultMode::Fail), 0);
    EXPECT_GT(sweep(*c, TqFaultOp::Seek, TqFaultMode::Fail), 0);
  }
  tqFaultArm(TqFaultOp::Write, 1);
  Attempt a = attempt(kSpill, recordsFor(kSpill));
  tqFaultReset();
  EXPECT_NE(a.error.find("Cannot write sort work file '" + dir_ + "/tqxsort_"), std::string::npos)
      << a.error;
  EXPECT_NE(a.error.find("No space left on device"), std::string::npos) << a.error;
  tqFaultArm(TqFaultOp::Read, 1);
  a = attempt(kSpill, recordsFor(kSpill));
  tqFaultReset();
  EXPECT_NE(a.error.find("Cannot read sort work file '" + dir_ + "/tqxsort_"), std::string::npos)
      << a.error;
}

TEST_F(XsortFaultTest, ShortReadsAndWritesAreCompleted) {
  for (const Config* c : {&kSpill, &kPasses}) {
    EXPECT_EQ(sweep(*c, TqFaultOp::Write, TqFaultMode::Short), 0);
    EXPECT_EQ(sweep(*c, TqFaultOp::Read, TqFaultMode::Short), 0);
  }
}

TEST_F(XsortFaultTest, ThreadsThatCannotStartAreReported) {
  tqFaultArm(TqFaultOp::PoolStart, 1);
  Attempt a = attempt(kSpill, recordsFor(kSpill));
  tqFaultReset();
  EXPECT_EQ(a.stage, "prepare");
  EXPECT_NE(a.error.find("Cannot start the sorting threads"), std::string::npos) << a.error;
}

// A prepare that failed after making its workers cannot be run again on the same sort
// (it would make them twice); destroying the sort frees what it made.
TEST_F(XsortFaultTest, APrepareThatFailedIsNotRetried) {
  XsortSetup setup;
  setup.recordLength = 16;
  setup.processors = 2;
  setup.parts = {keyPart(0, 8, TQ_SORT_KIND_INTEGER, false)};
  TqSortParms* p = makeParms(setup);
  ASSERT_NE(p, nullptr);
  TqSortEngine* s = tqSortCreate(p);
  p->ops->destroy(p);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(s->ops->addKey(s, &setup.parts[0], 0), 0);
  ASSERT_EQ(s->ops->checkKeys(s), 0);
  tqFaultArm(TqFaultOp::PoolStart, 1);
  EXPECT_NE(s->ops->prepare(s), 0);
  tqFaultReset();
  EXPECT_NE(s->ops->prepare(s), 0);
  EXPECT_NE(std::string(s->ops->getError(s)).find("prepare failed before"), std::string::npos) << s->ops->getError(s);
  EXPECT_EQ(s->ops->openInput(s), nullptr);
  s->ops->destroy(s);
}
