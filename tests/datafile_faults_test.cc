// The unsorted datafile when its temporary file fails under it: a full disk, a file
// size limit, a write that fails in the middle of a row.  A row reported as added is
// read back, or its loss is reported; a row that failed leaves nothing behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/tqbassert.h"
#include "platform/tqbdecimal.h"
#include "platform/tqfault.h"
#include "src/datafile.h"
#include "src/datamgr.h"
#include "test_support.h"
#include "tqdatafile/tqdatafile.h"

namespace {

// A row: an integer, a string of `width` bytes made from the integer, a boolean.
struct Row {
  int64_t n;
  size_t width;
};

std::string textOf(const Row& r) {
  std::string s = std::to_string(r.n) + ":";
  while (s.size() < r.width) s += static_cast<char>('a' + (r.n + static_cast<int64_t>(s.size())) % 26);
  return s.substr(0, r.width);
}

}  // namespace

class DatafileFaultTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    TqbString error;
    mgr_ = tqDatafileManagerCreate(dir_.c_str(), &error);
    ASSERT_NE(mgr_, nullptr) << error.asCstr();
    mgr_->setColumns(3);
    mgr_->setColSpec(0, tqbTypeInteger, 0);
    mgr_->setColSpec(1, tqbTypeString, 1 << 20);
    mgr_->setColSpec(2, tqbTypeBoolean, 0);
  }
  void TearDown() override {
    if (mgr_ != nullptr) mgr_->release();
    TempDirTest::TearDown();
  }
  TqDatafile* make(uint32_t flags, uint32_t chunk) {
    mgr_->setChunkSize(chunk);
    TqDatafile* f = mgr_->createFile(flags | TqDatafile::FlagVariableRows);
    EXPECT_NE(f, nullptr) << mgr_->getError().asCstr();
    return f;
  }
  static int32_t add(TqDatafile* f, const Row& r) {
    f->getField(0)->assign(r.n);
    f->getField(1)->assign(textOf(r).c_str());
    f->getField(2)->assign(r.n % 3 == 0);
    return f->addRow(nullptr);
  }
  // Reads every row and checks it against `rows`; the status that ended the reading.
  static int32_t readBack(TqDatafile* f, const std::vector<Row>& rows, size_t* good) {
    *good = 0;
    int32_t status;
    while ((status = f->next(nullptr)) == 0) {
      if (*good >= rows.size()) return -1;  // more rows than were stored
      const Row& r = rows[*good];
      if (f->getField(0)->asInt64(nullptr) != r.n || textOf(r) != f->getField(1)->asCstr() ||
          f->getField(2)->asBool(nullptr) != (r.n % 3 == 0)) {
        return -2;  // a row read back differs
      }
      ++*good;
    }
    return status;
  }

  TqDatafileManager* mgr_ = nullptr;
};

TEST_F(DatafileFaultTest, FileSizeLimitKeepsEveryAcceptedRow) {
  // The disk "fills" at 300,000 bytes: writes beyond fail with EFBIG.
  struct sigaction ignore {}, saved {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &saved);
  struct rlimit old {};
  getrlimit(RLIMIT_FSIZE, &old);
  struct rlimit low = old;
  low.rlim_cur = 300000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);

  TqDatafile* f = make(0, 1 << 16);
  std::vector<Row> accepted;
  int32_t status = 0;
  for (int64_t i = 0; i < 20000 && status == 0; ++i) {
    Row r{i, 30 + static_cast<size_t>(i % 20)};
    status = add(f, r);
    if (status == 0) accepted.push_back(r);
  }
  EXPECT_EQ(status, 3);
  EXPECT_NE(f->getError().str().find("File too large"), std::string::npos) << f->getError().asCstr();
  // The rows still in the file's buffer cannot be written yet: freeze says so.
  EXPECT_EQ(f->freeze(), 3);
  EXPECT_EQ(f->getRowCount(), static_cast<int64_t>(accepted.size()));

  // The host makes room and goes on.
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
  for (int64_t i = 20000; i < 21000; ++i) {
    Row r{i, 40};
    ASSERT_EQ(add(f, r), 0);
    accepted.push_back(r);
  }
  ASSERT_EQ(f->freeze(), 0) << f->getError().asCstr();
  size_t good = 0;
  EXPECT_EQ(readBack(f, accepted, &good), 4);
  EXPECT_EQ(good, accepted.size());
  f->release();
  sigaction(SIGXFSZ, &saved, nullptr);
}

// A process that may open no more files hears that, not advice about the directory
// or its free space (which the message used to give).
TEST_F(DatafileFaultTest, TooManyOpenFilesIsSaidSoWithoutAdviceAboutFreeSpace) {
  // One datafile is made while files can still be opened: the sanitizers' runtime
  // reads /proc the first time it checks a type, and must not meet the limit then.
  mgr_->setChunkSize(1 << 16);
  mgr_->createFile(TqDatafile::FlagVariableRows)->release();
  struct rlimit old {};
  getrlimit(RLIMIT_NOFILE, &old);
  struct rlimit low = old;
  int lowest = dup(0);  // the lowest descriptor free: no file opens beyond the limit
  ASSERT_GE(lowest, 0);
  close(lowest);
  low.rlim_cur = static_cast<rlim_t>(lowest);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  TqDatafile* f = mgr_->createFile(TqDatafile::FlagVariableRows);  // its file cannot be made
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
  EXPECT_EQ(f, nullptr);
  std::string text = mgr_->getError().str();
  EXPECT_NE(text.find("Too many open files"), std::string::npos) << text;
  EXPECT_NE(text.find("ulimit -n"), std::string::npos) << text;
  EXPECT_EQ(text.find("free space"), std::string::npos) << text;
  if (f != nullptr) f->release();
}

TEST_F(DatafileFaultTest, FailedBufferFlushLosesNoRow) {
  for (TqFaultMode mode : {TqFaultMode::Fail, TqFaultMode::Short}) {
    for (int64_t nth = 1; nth <= 3; ++nth) {
      TqDatafile* f = make(0, 1 << 16);
      tqFaultArm(TqFaultOp::Flush, nth, mode);
      std::vector<Row> accepted;
      int failures = 0;
      for (int64_t i = 0; i < 30000; ++i) {
        Row r{i, static_cast<size_t>(10 + i % 90)};
        int32_t status = add(f, r);
        if (status == 0) {
          accepted.push_back(r);
        } else {
          EXPECT_EQ(status, 3);
          ++failures;
        }
      }
      EXPECT_EQ(failures, 1) << nth;
      ASSERT_EQ(f->freeze(), 0) << f->getError().asCstr();
      size_t good = 0;
      EXPECT_EQ(readBack(f, accepted, &good), 4) << nth;
      EXPECT_EQ(good, accepted.size());
      f->release();
      tqFaultReset();
    }
  }
}

TEST_F(DatafileFaultTest, RowFailingHalfwayLeavesNoTrace) {
  // A row is three writes (flag+prefix, bytes, boolean) and more when the buffer
  // fills; failing each of them in turn, for small rows and for rows larger than the
  // file's buffer, leaves every other row intact.
  for (size_t width : {size_t{20}, size_t{300000}}) {
    for (int64_t nth = 1; nth <= 8; ++nth) {
      TqDatafile* f = make(0, 1 << 16);
      std::vector<Row> accepted;
      for (int64_t i = 0; i < 5; ++i) {
        Row r{i, width};
        ASSERT_EQ(add(f, r), 0);
        accepted.push_back(r);
      }
      tqFaultArm(TqFaultOp::Write, nth);
      Row failing{5, width};
      int32_t status = add(f, failing);
      bool reached = tqFaultsDelivered() > 0;
      tqFaultReset();
      if (status == 0) {
        EXPECT_FALSE(reached);
        accepted.push_back(failing);
      } else {
        EXPECT_EQ(status, 3);
      }
      for (int64_t i = 6; i < 10; ++i) {  // the same row again, and more
        Row r{i, width};
        ASSERT_EQ(add(f, r), 0) << f->getError().asCstr();
        accepted.push_back(r);
      }
      ASSERT_EQ(f->freeze(), 0);
      size_t good = 0;
      EXPECT_EQ(readBack(f, accepted, &good), 4) << width << " " << nth;
      EXPECT_EQ(good, accepted.size());
      f->release();
    }
  }
}

TEST_F(DatafileFaultTest, SeekRefusesANegativePositionTheSameWayInMemoryAndOnDisk) {
  for (uint32_t flags : {static_cast<uint32_t>(TqDatafile::FlagMemoryFirst), 0u}) {
    TqDatafile* f = make(flags, 1 << 16);
    for (int64_t i = 0; i < 3; ++i) ASSERT_EQ(add(f, Row{i, 10}), 0);
    ASSERT_EQ(f->freeze(), 0);
    EXPECT_EQ(f->seek(-1), 4);
    EXPECT_NE(f->getError().str().find("End of data"), std::string::npos) << f->getError().asCstr();
    ASSERT_EQ(f->seek(0), 0);
    EXPECT_EQ(f->getField(0)->asInt64(nullptr), 0);
    f->release();
  }
}

TEST_F(DatafileFaultTest, SeekWhileWritingDoesNotCountAsARow) {
  TqDatafile* f = make(TqDatafile::FlagMemoryFirst, 1 << 16);
  int64_t start = -1;
  f->getField(0)->assign(int64_t{1});
  f->getField(1)->assign("a");
  f->getField(2)->assign(true);
  ASSERT_EQ(f->addRow(&start), 0);
  ASSERT_EQ(f->seek(start), 0);
  ASSERT_EQ(f->seek(start), 0);
  EXPECT_EQ(f->getRowCount(), 1);
  ASSERT_EQ(add(f, Row{2, 5}), 0);
  EXPECT_EQ(f->getRowCount(), 2);
  f->release();
}

TEST_F(DatafileFaultTest, ValueOfAnotherTypeInAStringColumnIsStoredAsItsText) {
  TqDatafile* f = make(TqDatafile::FlagMemoryFirst, 1 << 16);
  int64_t asserts = tqbAssertCount();
  f->getField(0)->assign(int64_t{7});
  f->getField(1)->assign(int64_t{-42});
  f->getField(2)->assign(false);
  ASSERT_EQ(f->addRow(nullptr), 0);
  EXPECT_GT(tqbAssertCount(), asserts);  // reported
  ASSERT_EQ(f->freeze(), 0);
  ASSERT_EQ(f->next(nullptr), 0);
  EXPECT_STREQ(f->getField(1)->asCstr(), "-42");
  f->release();
}

TEST(DecimalText, HugeExponentsCostNoMoreThanTheirDigits) {
  uint8_t raw[24];
  for (const char* text : {"1e-999999999", "-7.5e-999999999", "0e999999999", "1e-99999999999999"}) {
    int status = tqbDecimalFromString(text, std::strlen(text), raw);
    EXPECT_TRUE(status == kTqbDecOk || (status & ~(kTqbDecInexact | kTqbDecUnderflow)) == 0) << text;
  }
}
