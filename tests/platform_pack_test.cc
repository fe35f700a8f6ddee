// Compressed temporary files: reads at any offset across frames, two handles on one
// file, truncation into written frames, damaged frames, faults where frames move, and
// the compress program's failures.
#include <gtest/gtest.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/npfio.h"
#include "platform/npfio_pack.h"
#include "platform/tqbconfig.h"
#include "platform/tqfault.h"
#include "test_support.h"

namespace {

// Bytes that compress (runs of a few words) but differ all along.
std::vector<uint8_t> sample(size_t n, uint64_t seed) {
  static const char* const kWords[] = {"alpha,", "beta,", "12345,", "\n", "gamma;", "x"};
  std::mt19937_64 rng(seed);
  std::vector<uint8_t> bytes;
  bytes.reserve(n + 16);
  while (bytes.size() < n) {
    const char* w = kWords[rng() % 6];
    bytes.insert(bytes.end(), w, w + std::strlen(w));
    if (rng() % 7 == 0) bytes.push_back(static_cast<uint8_t>(rng()));
  }
  bytes.resize(n);
  return bytes;
}

std::string lastFailure() {
  TqbString value;
  return tqbGetConfigOptions("")->lookup(TqbString(kNpCompressFailureKey), value) ? value.str() : std::string();
}

}  // namespace

class NpPackTest : public TempDirTest {
 protected:
  void TearDown() override {
    tqFaultReset();
    tqbSetConfigValue(kNpCompressKey, nullptr);
    tqbSetConfigValue(kNpCompressFailureKey, nullptr);
    TempDirTest::TearDown();
  }
  // A compressed temporary file of `codec` ("lz4", "program:gzip").
  NpHandle make(const char* codec, std::string* name) {
    tqbSetConfigValue(kNpCompressKey, codec);
    char buf[260];
    NpHandle h = 0;
    EXPECT_EQ(np_fio_tmpfile(dir_.c_str(), "tqsort_", buf, sizeof(buf), &h), 0);
    EXPECT_EQ(np_fio_compress(h, buf, kNpReadsInOrder), kNpOk);
    *name = buf;
    return h;
  }
  static void putAll(NpHandle h, const std::vector<uint8_t>& bytes, size_t piece) {
    for (size_t at = 0; at < bytes.size(); at += piece) {
      int32_t n = static_cast<int32_t>(std::min(piece, bytes.size() - at));
      ASSERT_EQ(np_fio_putb(h, bytes.data() + at, n), n);
    }
  }
  // Reads `n` bytes at `offset` through `h` and compares them with `bytes`.
  static void expectAt(NpHandle h, const std::vector<uint8_t>& bytes, uint64_t offset, size_t n) {
    std::vector<uint8_t> got(n);
    ASSERT_EQ(np_fio_seek64(h, static_cast<int64_t>(offset), 0), static_cast<int64_t>(offset));
    ASSERT_EQ(np_fio_getb(h, got.data(), static_cast<int32_t>(n)), static_cast<int32_t>(n)) << offset;
    ASSERT_TRUE(std::equal(got.begin(), got.end(), bytes.begin() + static_cast<ptrdiff_t>(offset))) << offset;
  }
  static int64_t diskSize(const std::string& name) {
    struct stat st;
    return ::stat(name.c_str(), &st) == 0 ? st.st_size : -1;
  }
};

TEST_F(NpPackTest, ReadsAtAnyOffsetThroughEveryHandle) {
  for (const char* codec : {"lz4", "program:gzip"}) {
    SCOPED_TRACE(codec);
    const uint32_t frame = std::string(codec) == "lz4" ? kNpFrameLz4 : kNpFrameProgram;
    const std::vector<uint8_t> bytes = sample(3 * frame + 777, 1);
    std::string name;
    NpHandle writer = make(codec, &name);
    putAll(writer, bytes, 1000);  // pieces across every frame boundary
    // The writer reads its own bytes back, the unwritten last frame too.
    expectAt(writer, bytes, frame - 10, 20);
    expectAt(writer, bytes, bytes.size() - 100, 100);
    EXPECT_EQ(np_fio_seek64(writer, 0, 2), static_cast<int64_t>(bytes.size()));
    ASSERT_EQ(np_fio_close(writer), kNpOk);
    EXPECT_LT(diskSize(name), static_cast<int64_t>(bytes.size()) / 2);  // compressed
    // Two handles opened by name, read in turns at random offsets.
    NpHandle a = 0, b = 0;
    ASSERT_EQ(np_fio_open(name.c_str(), 33, &a), 0);
    ASSERT_EQ(np_fio_open(name.c_str(), 33, &b), 0);
    std::mt19937_64 rng(2);
    for (int i = 0; i < 40; ++i) {
      uint64_t at = rng() % bytes.size();
      size_t n = std::min<size_t>(rng() % (frame + 5000) + 1, bytes.size() - at);
      expectAt(i % 2 ? a : b, bytes, at, n);
    }
    for (uint64_t at : {uint64_t{0}, uint64_t{frame - 1}, uint64_t{frame}, uint64_t{2} * frame}) {
      expectAt(a, bytes, at, 2);
    }
    // At the end: nothing more.
    uint8_t byte;
    ASSERT_EQ(np_fio_seek64(b, 0, 2), static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(np_fio_getb(b, &byte, 1), 0);
    EXPECT_EQ(np_fio_close(a), kNpOk);
    EXPECT_EQ(np_fio_close(b), kNpOk);
    EXPECT_EQ(np_fio_unlink(name.c_str()), kNpOk);
    // Once unlinked, a file of the same name is a plain one again.
    int fd = ::open(name.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "plain", 5), 5);
    ::close(fd);
    char plain[6] = {};
    ASSERT_EQ(np_fio_open(name.c_str(), 33, &a), 0);
    EXPECT_EQ(np_fio_getb(a, plain, 5), 5);
    EXPECT_STREQ(plain, "plain");
    np_fio_close(a);
    np_fio_unlink(name.c_str());
  }
}

TEST_F(NpPackTest, AnUnlinkedFileLivesOnInItsHandleAndTruncatesIntoItsFrames) {
  const std::vector<uint8_t> bytes = sample(5 * kNpFrameLz4, 3);
  std::string name;
  NpHandle h = make("lz4", &name);
  ASSERT_EQ(np_fio_unlink(name.c_str()), kNpOk);  // as the external engine does at once
  putAll(h, bytes, 70000);
  // Back into the second frame: the rest goes, then new bytes follow.
  const uint64_t cut = kNpFrameLz4 + 1234;
  ASSERT_EQ(np_fio_seek64(h, static_cast<int64_t>(cut), 0), static_cast<int64_t>(cut));
  ASSERT_EQ(np_fio_trunc(h), 0);
  EXPECT_EQ(np_fio_seek64(h, 0, 2), static_cast<int64_t>(cut));
  std::vector<uint8_t> expected(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(cut));
  const std::vector<uint8_t> more = sample(2 * kNpFrameLz4, 4);
  expected.insert(expected.end(), more.begin(), more.end());
  putAll(h, more, 9999);
  for (uint64_t at : {uint64_t{0}, cut - 5, uint64_t{kNpFrameLz4} * 2, expected.size() - 3}) {
    expectAt(h, expected, at, 3);
  }
  // A write anywhere but at the end is refused: the file is appended to only.
  ASSERT_EQ(np_fio_seek64(h, 10, 0), 10);
  EXPECT_EQ(np_fio_putb(h, "x", 1), -1);
  EXPECT_EQ(np_fio_syserr(h), EINVAL);
  EXPECT_EQ(np_fio_close(h), kNpOk);
}

TEST_F(NpPackTest, ADamagedOrShortFrameIsAnErrorNeverOtherBytes) {
  const std::vector<uint8_t> bytes = sample(3 * kNpFrameLz4, 5);
  for (int damage = 0; damage < 3; ++damage) {
    SCOPED_TRACE(damage);
    std::string name;
    NpHandle h = make("lz4", &name);
    putAll(h, bytes, 65536);
    ASSERT_EQ(np_fio_close(h), kNpOk);
    int fd = ::open(name.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    int64_t size = diskSize(name);
    if (damage == 0) {
      ASSERT_EQ(::ftruncate(fd, size - 10), 0);  // the last frame short
    } else {
      // One byte of the middle frame's compressed bytes (1), or of its header (2).
      uint8_t header[16];
      ASSERT_EQ(::pread(fd, header, 16, 0), 16);
      uint32_t first;
      std::memcpy(&first, header + 4, 4);
      off_t at = static_cast<off_t>(16 + first) + (damage == 1 ? 16 + 40 : 0);
      uint8_t byte;
      ASSERT_EQ(::pread(fd, &byte, 1, at), 1);
      byte ^= 0x20;
      ASSERT_EQ(::pwrite(fd, &byte, 1, at), 1);
    }
    ::close(fd);
    NpHandle r = 0;
    ASSERT_EQ(np_fio_open(name.c_str(), 33, &r), 0);
    std::vector<uint8_t> got(bytes.size());
    int32_t n = np_fio_getb(r, got.data(), static_cast<int32_t>(got.size()));
    // The frames before the damaged one come back; nothing after it.
    int32_t good = damage == 0 ? 2 * static_cast<int32_t>(kNpFrameLz4) : static_cast<int32_t>(kNpFrameLz4);
    EXPECT_EQ(n, good);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + good, bytes.begin()));
    EXPECT_EQ(np_fio_getb(r, got.data(), 10), -1);
    EXPECT_EQ(np_fio_syserr(r), EIO);
    np_fio_close(r);
    np_fio_unlink(name.c_str());
  }
}

TEST_F(NpPackTest, FaultsWhereFramesMoveAreReported) {
  const std::vector<uint8_t> bytes = sample(2 * kNpFrameLz4 + 100, 6);
  // A frame that cannot be written: the write that needed it fails and the bytes stay
  // accepted; the next write that gets through carries them.
  std::string name;
  NpHandle h = make("lz4", &name);
  ASSERT_EQ(np_fio_putb(h, bytes.data(), static_cast<int32_t>(kNpFrameLz4)), static_cast<int32_t>(kNpFrameLz4));
  tqFaultArm(TqFaultOp::Flush, 1);
  EXPECT_EQ(np_fio_putb(h, bytes.data() + kNpFrameLz4, 10), -1);
  EXPECT_EQ(np_fio_syserr(h), ENOSPC);
  EXPECT_EQ(diskSize(name), 0);
  putAll(h, std::vector<uint8_t>(bytes.begin() + kNpFrameLz4, bytes.end()), 5000);
  // The last frame, written at close.
  tqFaultArm(TqFaultOp::Flush, 1);
  EXPECT_EQ(np_fio_close(h), kNpErrSystem);
  EXPECT_EQ(np_fio_syserr(0), ENOSPC);
  // What reached the disk reads back; the frame that did not is missing, not made up.
  NpHandle r = 0;
  ASSERT_EQ(np_fio_open(name.c_str(), 33, &r), 0);
  std::vector<uint8_t> got(bytes.size());
  EXPECT_EQ(np_fio_getb(r, got.data(), static_cast<int32_t>(got.size())), static_cast<int32_t>(2 * kNpFrameLz4));
  // A refill that fails.
  ASSERT_EQ(np_fio_seek64(r, 5, 0), 5);
  tqFaultArm(TqFaultOp::Refill, 1);
  EXPECT_EQ(np_fio_getb(r, got.data(), 10), -1);
  EXPECT_EQ(np_fio_syserr(r), EIO);
  expectAt(r, bytes, 5, 10);
  // A close that fails is still a close.
  tqFaultArm(TqFaultOp::Close, 1);
  EXPECT_EQ(np_fio_close(r), kNpErrSystem);
  EXPECT_EQ(np_fio_unlink(name.c_str()), kNpOk);
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(NpPackTest, AProgramThatCannotRunOrFailsIsNamed) {
  const std::vector<uint8_t> bytes = sample(1000, 7);
  struct Case {
    const char* codec;
    const char* failure;
  } cases[] = {
      {"program:tq-no-such-program", "couldn't execute compress program 'tq-no-such-program': No such file or directory"},
      {"program:false", "'false' terminated abnormally"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.codec);
    tqbSetConfigValue(kNpCompressFailureKey, nullptr);
    std::string name;
    NpHandle h = make(c.codec, &name);
    putAll(h, bytes, 1000);
    EXPECT_EQ(np_fio_close(h), kNpErrSystem);
    EXPECT_EQ(np_fio_syserr(0), EIO);
    EXPECT_EQ(lastFailure(), c.failure);
    np_fio_unlink(name.c_str());
  }
  // A program that compresses but cannot decompress.
  const std::string script = dir_ + "/half";
  std::ofstream(script) << "#!/bin/sh\n[ \"$1\" = -d ] && exit 1\nexec gzip\n";
  ASSERT_EQ(::chmod(script.c_str(), 0700), 0);
  tqbSetConfigValue(kNpCompressFailureKey, nullptr);
  std::string name;
  NpHandle h = make(("program:" + script).c_str(), &name);
  putAll(h, bytes, 1000);
  ASSERT_EQ(np_fio_close(h), kNpOk);
  ASSERT_EQ(np_fio_open(name.c_str(), 33, &h), 0);
  uint8_t byte;
  EXPECT_EQ(np_fio_getb(h, &byte, 1), -1);
  EXPECT_EQ(np_fio_syserr(h), EIO);
  EXPECT_EQ(lastFailure(), "'" + script + "' [-d] terminated abnormally");
  np_fio_close(h);
  np_fio_unlink(name.c_str());
  // A value that names no codec is refused; without one, nothing changes.
  tqbSetConfigValue(kNpCompressKey, "zip");
  char buf[260];
  ASSERT_EQ(np_fio_tmpfile(dir_.c_str(), "tqsort_", buf, sizeof(buf), &h), 0);
  EXPECT_EQ(np_fio_compress(h, buf, kNpReadsInOrder), kNpErrArgument);
  tqbSetConfigValue(kNpCompressKey, nullptr);
  EXPECT_EQ(np_fio_compress(h, buf, kNpReadsInOrder), kNpOk);
  ASSERT_EQ(np_fio_putb(h, "abc", 3), 3);
  np_fio_close(h);
  EXPECT_EQ(diskSize(buf), 3);
  np_fio_unlink(buf);
  // A file read anywhere takes lz4 instead of the program: it never runs.
  tqbSetConfigValue(kNpCompressFailureKey, nullptr);
  tqbSetConfigValue(kNpCompressKey, "program:tq-no-such-program");
  ASSERT_EQ(np_fio_tmpfile(dir_.c_str(), "tqsort_", buf, sizeof(buf), &h), 0);
  ASSERT_EQ(np_fio_compress(h, buf, kNpReadsAnywhere), kNpOk);
  putAll(h, bytes, 100);
  ASSERT_EQ(np_fio_close(h), kNpOk);
  EXPECT_EQ(lastFailure(), "");
  ASSERT_EQ(np_fio_open(buf, 33, &h), 0);
  expectAt(h, bytes, 10, 900);
  np_fio_close(h);
  np_fio_unlink(buf);
}
