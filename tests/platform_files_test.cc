// File and directory services: temporary files, buffering, and injected faults.
#include <gtest/gtest.h>
#include <errno.h>
#include <sys/stat.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/npfio.h"
#include "platform/tqbmessage.h"
#include "platform/tqfault.h"
#include "test_support.h"

class NpFioTest : public TempDirTest {
 protected:
  NpHandle makeTemp(std::string* name = nullptr) {
    char buf[260];
    NpHandle h = 0;
    EXPECT_EQ(np_fio_tmpfile(dir_.c_str(), "tq_", buf, sizeof(buf), &h), 0);
    if (name) *name = buf;
    return h;
  }
};

TEST_F(NpFioTest, TemporaryFilesAreFreshPrivateAndNamed) {
  char a[260], b[260];
  NpHandle ha = 0, hb = 0;
  ASSERT_EQ(np_fio_tmpfile(dir_.c_str(), "tqsort_", a, sizeof(a), &ha), 0);
  ASSERT_EQ(np_fio_tmpfile(dir_.c_str(), "tqsort_", b, sizeof(b), &hb), 0);
  EXPECT_STRNE(a, b);
  EXPECT_EQ(std::string(a).rfind(dir_ + "/tqsort_", 0), 0u);
  struct stat st;
  ASSERT_EQ(stat(a, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 0);
  np_fio_close(ha);
  np_fio_close(hb);
  np_fio_unlink(a);
  np_fio_unlink(b);
}

TEST_F(NpFioTest, NoDirectoryMeansTheDefaultTemporaryPlace) {
  char name[260];
  NpHandle h = 0;
  ASSERT_EQ(np_fio_tmpfile(nullptr, "tq_", name, sizeof(name), &h), 0);
  EXPECT_EQ(std::string(name).rfind(dir_ + "/tq_", 0), 0u);  // TMPDIR points there
  np_fio_close(h);
  np_fio_unlink(name);
}

TEST_F(NpFioTest, ReportsBadDirectoriesAndShortNameBuffers) {
  char name[260];
  NpHandle h = 0;
  EXPECT_EQ(np_fio_tmpfile("/no/such/dir", "tq_", name, sizeof(name), &h), kNpErrSystem);
  EXPECT_EQ(h, 0u);
  EXPECT_NE(np_fio_syserr(0), 0);
  char tiny[8];
  EXPECT_EQ(np_fio_tmpfile(dir_.c_str(), "tq_", tiny, sizeof(tiny), &h), kNpErrName);
  NpHandle d = 0;
  EXPECT_NE(np_dir_open("/no/such/dir", 0, &d), 0);
  ASSERT_EQ(np_dir_open(dir_.c_str(), 0, &d), 0);
  np_dir_close(d);
}

TEST_F(NpFioTest, BufferedSmallWritesAndReadsRoundTrip) {
  std::string name;
  NpHandle h = makeTemp(&name);
  ASSERT_EQ(np_fio_bufmode(h, 1), 0);
  std::mt19937 rng(3);
  std::vector<uint8_t> expect;
  for (int i = 0; i < 200000; ++i) {
    uint8_t piece[9];
    int n = 1 + static_cast<int>(rng() % 9);
    for (int k = 0; k < n; ++k) piece[k] = static_cast<uint8_t>(rng());
    ASSERT_EQ(np_fio_putb(h, piece, n), n);
    expect.insert(expect.end(), piece, piece + n);
  }
  // A large write straight through the buffer.
  std::vector<uint8_t> big(1 << 20, 0x5A);
  ASSERT_EQ(np_fio_putb(h, big.data(), static_cast<int32_t>(big.size())), static_cast<int32_t>(big.size()));
  expect.insert(expect.end(), big.begin(), big.end());
  ASSERT_EQ(np_fio_seek64(h, 0, 0), 0);
  std::vector<uint8_t> got(expect.size());
  size_t at = 0;
  while (at < got.size()) {
    int32_t n = static_cast<int32_t>(std::min<size_t>(1 + rng() % 13, got.size() - at));
    ASSERT_EQ(np_fio_getb(h, got.data() + at, n), n);
    at += static_cast<size_t>(n);
  }
  EXPECT_EQ(got, expect);
  uint8_t extra;
  EXPECT_EQ(np_fio_getb(h, &extra, 1), 0);  // end of file
  EXPECT_EQ(np_fio_seek64(h, 0, 2), static_cast<int64_t>(expect.size()));
  ASSERT_EQ(np_fio_bufmode(h, 0), 0);
  np_fio_close(h);
  struct stat st;
  ASSERT_EQ(stat(name.c_str(), &st), 0);
  EXPECT_EQ(static_cast<size_t>(st.st_size), expect.size());
  np_fio_unlink(name.c_str());
}

TEST_F(NpFioTest, ReadAfterWriteAndTruncateAtThePosition) {
  std::string name;
  NpHandle h = makeTemp(&name);
  ASSERT_EQ(np_fio_bufmode(h, 1), 0);
  ASSERT_EQ(np_fio_putb(h, "abcdef", 6), 6);
  ASSERT_EQ(np_fio_seek64(h, 2, 0), 2);
  char buf[3] = {};
  ASSERT_EQ(np_fio_getb(h, buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "cd");
  ASSERT_EQ(np_fio_putb(h, "XY", 2), 2);  // writes at the logical position, after "cd"
  ASSERT_EQ(np_fio_seek64(h, 5, 0), 5);
  ASSERT_EQ(np_fio_trunc(h), 0);
  EXPECT_EQ(np_fio_seek64(h, 0, 2), 5);
  ASSERT_EQ(np_fio_seek64(h, 0, 0), 0);
  char all[6] = {};
  ASSERT_EQ(np_fio_getb(h, all, 5), 5);
  EXPECT_EQ(std::string(all, 5), "abcdX");
  np_fio_close(h);
  NpHandle again = 0;
  ASSERT_EQ(np_fio_open(name.c_str(), 33, &again), 0);
  ASSERT_EQ(np_fio_getb(again, all, 5), 5);
  EXPECT_EQ(std::string(all, 5), "abcdX");
  np_fio_close(again);
  np_fio_unlink(name.c_str());
}

// A full disk and a full table of open files are told apart: the advice fits the error,
// and the messages of a failed temporary file carry it.
TEST_F(NpFioTest, AdviceFollowsTheError) {
  for (int full : {ENOSPC, EDQUOT}) EXPECT_NE(std::string(np_fio_advice(full)).find("free space"), std::string::npos);
  for (int many : {EMFILE, ENFILE}) {
    std::string advice = np_fio_advice(many);
    EXPECT_EQ(advice.find("free space"), std::string::npos) << advice;
    EXPECT_NE(advice.find("open files"), std::string::npos) << advice;
    std::string m = TQ_MESSAGE(1417, "/tmp", np_fio_errtext(many), np_fio_advice(many)).asCstr();
    EXPECT_EQ(m.find("free space"), std::string::npos) << m;
  }
  EXPECT_STREQ(np_fio_advice(EINVAL), "");
  std::string m = TQ_MESSAGE(1045, "/t/tqsort_x", np_fio_errtext(ENOSPC), np_fio_advice(ENOSPC)).asCstr();
  EXPECT_EQ(m.rfind("Writing the temporary file '/t/tqsort_x' failed: No space left on device. Check the free ", 0), 0u)
      << m;
  EXPECT_GT(np_dir_freebytes(dir_.c_str()), 0);
  EXPECT_EQ(np_dir_freebytes((dir_ + "/missing").c_str()), -1);
}

TEST_F(NpFioTest, InjectedFaultsComeBackAsFailures) {
  std::string name;
  NpHandle h = makeTemp(&name);
  char data[100] = {};
  tqFaultArm(TqFaultOp::Write, 2, TqFaultMode::Short);
  EXPECT_EQ(np_fio_putb(h, data, 100), 100);
  EXPECT_EQ(np_fio_putb(h, data, 100), 50);  // the second comes back short
  EXPECT_NE(np_fio_syserr(h), 0);
  tqFaultArm(TqFaultOp::Write, 1);
  EXPECT_LT(np_fio_putb(h, data, 10), 0);
  tqFaultArm(TqFaultOp::Seek, 1);
  EXPECT_LT(np_fio_seek64(h, 0, 0), 0);
  tqFaultReset();
  ASSERT_EQ(np_fio_seek64(h, 0, 0), 0);
  tqFaultArm(TqFaultOp::Read, 1, TqFaultMode::Short);
  EXPECT_EQ(np_fio_getb(h, data, 100), 50);
  tqFaultArm(TqFaultOp::Read, 1);
  EXPECT_LT(np_fio_getb(h, data, 10), 0);
  tqFaultArm(TqFaultOp::Trunc, 1);
  EXPECT_LT(np_fio_trunc(h), 0);
  tqFaultArm(TqFaultOp::BufMode, 1);
  EXPECT_EQ(np_fio_bufmode(h, 1), kNpErrNoMemory);
  tqFaultArm(TqFaultOp::Open, 1);
  NpHandle other = 0;
  EXPECT_NE(np_fio_open(name.c_str(), 1, &other), 0);
  tqFaultArm(TqFaultOp::TmpFile, 1);
  char buf[260];
  EXPECT_NE(np_fio_tmpfile(dir_.c_str(), "tq_", buf, sizeof(buf), &other), 0);
  tqFaultArm(TqFaultOp::DirOpen, 1);
  EXPECT_NE(np_dir_open(dir_.c_str(), 0, &other), 0);
  EXPECT_EQ(tqFaultsDelivered(), 7);  // counted since the last reset
  tqFaultReset();
  np_fio_close(h);
  np_fio_unlink(name.c_str());
}
