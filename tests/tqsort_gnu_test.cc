// tqsort as people who know GNU sort use it: whole-line sorts, the order of equal keys,
// -r, field-form keys, -n, -g, -f, -c, -C and -m.  Every case runs GNU sort (LC_ALL=C,
// -t, for the same fields) on the same input and compares output and exit status.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <random>
#include <regex>
#include <tuple>
#include <utility>
#include <string>
#include <vector>

#include "test_support.h"
#include "tqsort_support.h"

namespace {

// Lines made to tie: few distinct fields, prefixes of each other, letters of both
// cases and the bytes between them, numbers in the forms -n and -g read differently,
// empty lines and fields, bytes above 0x7f; CRLF ends among LF ones with `crlf` (the
// last field of a CRLF line ends before the CR here, in GNU sort after it).
std::string tieLines(size_t count, uint64_t seed, bool crlf = false) {
  static const char* const kWords[] = {"a", "A", "ab", "aB", "b", "B", "_", "[", "", "a b", "\xc3\xa9", "z"};
  static const char* const kNumbers[] = {"1", "01", "1.0", "-0", "0", "", "x", "-1.5", " 2", "1e1", "10",
                                         "-.5", "+3", "2.5e-1", "7.", "-1e1"};
  std::mt19937_64 rng(seed);
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += kWords[rng() % 12];
    if (rng() % 8 != 0) text += std::string(",") + kNumbers[rng() % 16];
    if (rng() % 3 != 0) text += std::string(",") + kWords[rng() % 12] + std::to_string(rng() % 3);
    text += crlf && rng() % 17 == 0 ? "\r\n" : "\n";
  }
  return text;
}

}  // namespace

class TqsortGnuTest : public TqsortRunTest {
 protected:
  // tqsort `ours` and GNU sort `theirs` (with -t,) on the same files and standard
  // input: the same bytes out, the same status; messages alike but for the name.
  void agree(const std::string& ours, const std::string& theirs, const std::string& input = "") {
    TqsortResult a = tqsort(ours, input);
    TqsortResult b = shell("sort -t, " + theirs, input);
    EXPECT_EQ(a.status, b.status) << "tqsort " << ours << ": " << a.err;
    EXPECT_TRUE(a.out == b.out) << "tqsort " << ours << " differs from sort -t, " << theirs;
    if (b.err.empty()) {
      EXPECT_EQ(a.err, "") << ours;
    } else if (b.status == 1) {
      EXPECT_EQ(a.err, "tq" + b.err) << ours;  // "sort: FILE:LINE: disorder: RECORD"
    }
  }
  void agree(const std::string& args) { agree(args, args); }
};

TEST_F(TqsortGnuTest, WithoutKeysTheWholeLineIsTheKey) {
  writeWholeFile(dir_ + "/ties.csv", tieLines(3000, 1, true) + "last line, unterminated");
  for (const char* args : {"", "-r", "-u", "-s", "-f", "-fu", "-fs", "-n", "-g", "-rn", "-nu", "-rgs", "-fr"}) {
    SCOPED_TRACE(args);
    agree(std::string(args) + " ties.csv");
  }
  // Spilled runs, several sorts merged, and one sort.
  writeWholeFile(dir_ + "/big.csv", tieLines(60000, 2, true));
  agree("-S 1M --parallel=2 big.csv", "big.csv");
  agree("-S 1M --parallel=1 -r big.csv", "-r big.csv");
  agree("-S 1M --parallel=2 -u big.csv", "-u big.csv");
  agree("-", "-", tieLines(500, 3));
  agree("", "", "");
}

TEST_F(TqsortGnuTest, EqualKeysComeOutInTheOrderOfTheirWholeLines) {
  writeWholeFile(dir_ + "/ties.csv", tieLines(5000, 4));
  // tqsort's own key syntax and the field form, without -s: ties go by the line.
  agree("-k 1 ties.csv", "-k1,1 ties.csv");
  agree("-k 1:r ties.csv", "-k1,1r ties.csv");
  agree("-k 3 -k 1:r ties.csv", "-k3,3 -k1,1r ties.csv");
  agree("-r -k 3 ties.csv", "-r -k3,3 ties.csv");  // -r reverses the last resort too
  agree("-k 3,3r -r ties.csv", "-k3,3r -r ties.csv");
  agree("-S 1M --parallel=2 -k 3 ties.csv", "-k3,3 ties.csv");
  agree("-S 1M --parallel=1 -k 1 -r ties.csv", "-k1,1 -r ties.csv");
  // With -s the input order stays; with -u the first of each run of equal keys.
  agree("-s -k 1 ties.csv", "-s -k1,1 ties.csv");
  agree("-u -k 1 ties.csv", "-u -k1,1 ties.csv");
  agree("-u -r -k 3 ties.csv", "-u -r -k3,3 ties.csv");
  // The line as the last key is kept only in the library's key and read back from it:
  // numeric keys (empty fields among them) before it, both directions, spilled and
  // merged; and lines with zero bytes (whose order GNU sort's keys read otherwise)
  // come back whole, whatever the sorts.
  agree("-k 2,2n ties.csv", "-k2,2n ties.csv");
  agree("-S 1M --parallel=2 -r -k 2,2g -k 1 ties.csv", "-r -k2,2g -k1,1 ties.csv");
  agree("-S 1M --parallel=1 -k 3,3r -k 2,2n ties.csv", "-k3,3r -k2,2n ties.csv");
  std::string zeros = tieLines(4000, 5);
  for (size_t i = 3; i < zeros.size(); i += 37) {
    if (zeros[i] != '\n' && zeros[i] != ',') zeros[i] = '\0';
  }
  writeWholeFile(dir_ + "/zeros.csv", zeros);
  const std::string lines = shell("sort zeros.csv").out;
  for (const char* how : {"--parallel=1 -k 2,2n", "-S 1M --parallel=2 -r -k 2,2g -k 1", "-S 1M -k 3,3r -k 2,2n"}) {
    TqsortResult r = tqsort(std::string(how) + " zeros.csv");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(shell("sort", r.out).out == lines) << how;
  }
}

// Every key column is kept only in the library's key and taken back from it where a
// line needs it: string pairs (the first found in the key by its terminator), typed
// keys whose text -s cuts out of the stored line, both directions, spilled and merged.
TEST_F(TqsortGnuTest, KeysKeptOnlyInTheLibrarysKeyComeBackWhereLinesNeedThem) {
  writeWholeFile(dir_ + "/ties.csv", tieLines(20000, 6));
  agree("-S 1M --parallel=2 -k 1 -k 3 ties.csv", "-k1,1 -k3,3 ties.csv");
  agree("-S 1M --parallel=1 -k 3:r -k 1 ties.csv", "-k3,3r -k1,1 ties.csv");
  agree("-S 1M --parallel=2 -s -k 1 -k 3:r ties.csv", "-s -k1,1 -k3,3r ties.csv");
  agree("-S 1M --parallel=1 -s -k 3 -k 1 ties.csv", "-s -k3,3 -k1,1 ties.csv");
  agree("-S 1M --parallel=1 -u -k 3 -k 1 ties.csv", "-u -k3,3 -k1,1 ties.csv");
  // Integers as written (the forms -n reads alike), dates, booleans.
  std::mt19937_64 rng(9);
  std::string typed;
  for (int i = 0; i < 30000; ++i) {
    char date[16];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", 1990 + static_cast<int>(rng() % 40), 1 + static_cast<int>(rng() % 12),
                  1 + static_cast<int>(rng() % 28));
    typed += std::to_string(static_cast<int64_t>(rng() % 2001) - 1000) + "," + date + "," +
             (rng() % 2 ? "true" : "false") + ",w" + std::to_string(rng() % 50) + "\n";
  }
  writeWholeFile(dir_ + "/typed.csv", typed);
  agree("-S 1M --parallel=2 -s -k 1:int -k 2:date:r -k 4 typed.csv", "-s -k1,1n -k2,2r -k4,4 typed.csv");
  agree("-S 1M --parallel=1 -s -k 2:date -k 1:int:r typed.csv", "-s -k2,2 -k1,1nr typed.csv");
  agree("-S 1M --parallel=1 -k 3:bool:r -k 1:int typed.csv", "-k3,3r -k1,1n typed.csv");
  agree("-S 1M --parallel=2 -u -k 1:int:r typed.csv", "-u -k1,1nr typed.csv");
}

// A zero byte in a key field found by its terminator, first seen after runs went to
// disk: the rows so far go over to a sort that stores such fields, and every line comes
// back whole.  Lines without zero bytes come in the order the same sort gives in memory;
// lines with them may tie with others on every key byte (a value loses a last zero byte).
TEST_F(TqsortGnuTest, AZeroByteInAKeyFieldLateInTheInputLosesNoLine) {
  std::string tail = tieLines(2000, 8);
  for (size_t i = 5; i < tail.size(); i += 29) {
    if (tail[i] != '\n' && tail[i] != ',') tail[i] = '\0';
  }
  writeWholeFile(dir_ + "/late.csv", tieLines(30000, 7) + tail);
  const std::string lines = shell("sort late.csv").out;
  auto withoutZeros = [](const std::string& text) {
    std::string kept;
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
      end = std::min(text.find('\n', at), text.size());
      if (text.find('\0', at) >= end) kept.append(text, at, end + 1 - at);
    }
    return kept;
  };
  for (const char* keys : {"-k 1 -k 3", "-r -k 3 -k 1:r", "-s -k 1 -k 3", "-u -k 3 -k 1"}) {
    TqsortResult inMemory = tqsort(std::string("--parallel=1 ") + keys + " late.csv");
    ASSERT_EQ(inMemory.status, 0) << inMemory.err;
    for (const char* how : {"-S 1M --parallel=1 ", "-S 1M --parallel=2 "}) {
      TqsortResult r = tqsort(how + std::string(keys) + " late.csv");
      EXPECT_EQ(r.status, 0) << r.err;
      if (keys[1] != 'u') {
        EXPECT_TRUE(shell("sort", r.out).out == lines) << how << keys;
      }
      EXPECT_TRUE(withoutZeros(r.out) == withoutZeros(inMemory.out)) << how << keys;
    }
  }
}

TEST_F(TqsortGnuTest, FieldFormKeysAndGlobalOrderings) {
  writeWholeFile(dir_ + "/ties.csv", tieLines(4000, 5));
  const char* const cases[] = {
      "-k 2,2n", "-k 2,2nr", "-k2,2n -k1,1r", "-k 2n", "-k 2,2g", "-k2,2gr", "-k 3,3r", "-k 1,1f",
      "-k 1,1fr -k2,2n", "-k 2,2b", "-k 2b,2", "-k 1bf,1", "-n -k 2,2", "-g -k 2,2 -k 1,1", "-r -k 2,2n",
      "-n -r -k 2,2 -k 1,1f", "-f -k 1,1 -k 3,3", "-u -k 2,2n", "-s -k 2,2g", "-ur -k2,2g -k 1,1",
      "-k 02,002n", "-f -k 1,1r",
  };
  for (const char* args : cases) {
    SCOPED_TRACE(args);
    agree(std::string(args) + " ties.csv");
  }
  // Empty and missing fields, numbers GNU's -n reads in part.
  agree("-k 4,4n -k 1,1 ties.csv");
  agree("-k 2,2n", "-k2,2n", "1,5\n2\n3,\n4,-\n5,.\n6,5x\n7,-0.0\n8,00\n9,.50\n10,0.5\n");
}

TEST_F(TqsortGnuTest, IgnoreCaseFoldsLowerToUpper) {
  // Folded to upper case, 'a' sorts before '_' and '[' (between 'Z' and 'a').
  const std::string text = "a\n_\n[\nA\nb\nB\nab\nAb\naB\n`\n{\nZ\nz\n\xc3\xa9\n";
  agree("-f", "-f", text);
  agree("-f -u", "-f -u", text);
  agree("-f -s", "-f -s", text);
  agree("-k 1,1f", "-k1,1f", text);
  agree("--ignore-case -r", "-f -r", text);
}

TEST_F(TqsortGnuTest, CheckReportsTheFirstRecordOutOfOrder) {
  writeWholeFile(dir_ + "/sorted", "a,2\nb,1\nb,1\nc,0\n");
  writeWholeFile(dir_ + "/unsorted", "a,2\nb,1\nB,3\nc,0\nA,9\n");
  for (const char* args : {"-c sorted", "-c unsorted", "-C sorted", "-C unsorted", "-cu sorted", "-Cu sorted",
                           "-c -k 2,2n sorted", "-c -k 2,2nr sorted", "-c -r unsorted", "-c -f unsorted",
                           "-c -s -k 1,1 sorted", "-c -k 1,1 sorted", "--check unsorted", "-c empty"}) {
    SCOPED_TRACE(args);
    if (std::string(args).find("empty") != std::string::npos) writeWholeFile(dir_ + "/empty", "");
    agree(args);
  }
  agree("-c -", "-c -", "b\na\n");
  agree("-c", "-c", "x\ny\nz");  // an unterminated last line
  // Ties broken by the line: "b,3" after "b,1" with -k 1,1 is in order, "b,0" is not.
  agree("-c -k 1,1", "-c -k1,1", "b,1\nb,3\nb,0\n");
  agree("-c -s -k 1,1", "-c -s -k1,1", "b,1\nb,3\nb,0\n");
  // The check reads, and writes nothing: no output file is made.
  TqsortResult r = tqsort("-c unsorted -o out");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(readWholeFile(dir_ + "/out").empty());
}

// Merged in passes (23 inputs; at most 2, 3, 14 or 16 open at once under limits of 7,
// 8, 20 and 64 open files, the standard ones and the run directory counted), equal keys
// still come out in the order of their inputs (-s), or of their whole lines; -u keeps
// the first.
TEST_F(TqsortGnuTest, MergeInPassesKeepsTheOrderOfEqualKeys) {
  std::string all;
  for (int i = 0; i < 23; ++i) {
    std::string name = "in" + std::to_string(i);
    writeWholeFile(dir_ + "/unsorted", tieLines(30, 100 + static_cast<uint64_t>(i)));
    ASSERT_EQ(shell("sort -t, -s -k2,2n unsorted -o " + name).status, 0);
    all += " " + name;
  }
  for (const char* keys : {"-s -k 2,2n", "-k 2,2n", "-u -k 2,2n"}) {
    TqsortResult gnu = shell("sort -t, -m " + std::string(keys) + all);
    ASSERT_EQ(gnu.status, 0) << gnu.err;
    for (int limit : {7, 8, 20, 64}) {
      SCOPED_TRACE(std::string(keys) + " under a limit of " + std::to_string(limit) + " open files");
      // The limit is set inside a shell of its own (the test's shell needs descriptors
      // above 10 for its redirections), which closes those a test runner left open.
      TqsortResult ours = shell("sh -c " + shellQuote("exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; ulimit -n " +
                                                      std::to_string(limit) + " && exec " + shellQuote(TQSORT_BIN) +
                                                      " --no-progress -T . -m " + keys + all));
      EXPECT_EQ(ours.status, 0) << ours.err;
      EXPECT_TRUE(ours.out == gnu.out);
    }
  }
  EXPECT_TRUE(filesWithPrefix(dir_, "tqsort-").empty());
}

TEST_F(TqsortGnuTest, MergeTakesSortedInputsInFewDescriptors) {
  std::vector<std::string> names;
  std::string all;
  for (int i = 0; i < 40; ++i) {
    std::string name = "in" + std::to_string(i);
    writeWholeFile(dir_ + "/unsorted", tieLines(40 + static_cast<size_t>(i), 10 + static_cast<uint64_t>(i)));
    ASSERT_EQ(shell("sort -t, unsorted -o " + name).status, 0);
    ASSERT_EQ(shell("sort -t, -s -k2,2n unsorted -o k" + name).status, 0);
    all += " " + name;
    names.push_back(name);
  }
  std::string keyed;
  for (const std::string& n : names) keyed += " k" + n;
  agree("-m" + all);
  agree("-m -u" + all);
  agree("-m -s -k 2,2n" + keyed);
  agree("-m -k 2,2n" + keyed);
  agree("-m -u -k 2,2n" + keyed);
  agree("-m - in3 in7", "-m - in3 in7", readWholeFile(dir_ + "/in5"));
  agree("-m in1 missing", "-m in1 missing");
  // 40 inputs under a limit of 20 open files: merged in passes, whose files are gone.
  TqsortResult limited = shell("ulimit -n 20 && " + shellQuote(TQSORT_BIN) + " --no-progress -T . -m" + all);
  TqsortResult gnu = shell("sort -t, -m" + all);
  EXPECT_EQ(limited.status, 0) << limited.err;
  EXPECT_TRUE(limited.out == gnu.out);
  EXPECT_TRUE(filesWithPrefix(dir_, "tqsort-").empty());
  // With --header the first input's header is written once; another header must match.
  writeWholeFile(dir_ + "/h1", "k,v\na,1\nc,3\n");
  writeWholeFile(dir_ + "/h2", "k,v\nb,2\n");
  writeWholeFile(dir_ + "/h3", "x,y\nd,4\n");
  TqsortResult h = tqsort("-m --header -k v:int h1 h2");
  EXPECT_EQ(h.status, 0) << h.err;
  EXPECT_EQ(h.out, "k,v\na,1\nb,2\nc,3\n");
  h = tqsort("-m --header h1 h3");
  EXPECT_EQ(h.status, 2);
  EXPECT_NE(h.err.find("h3:1: the header 'x,y' differs from the header of 'h1'"), std::string::npos) << h.err;
}

// Compressed temporary files (--compress=lz4, --compress-program=PROG): the same output
// as GNU sort and as without them, on runs spilled and merged, also on the external
// engine (--collate); a program that cannot run or fails ends the run as GNU sort's
// does.  (How the sorts' threads meet on compressed files is swept by
// SortFaultSweepTest.CompressedSortThatSpillsAndMerges, also under ThreadSanitizer.)
class TqsortCompressTest : public TqsortGnuTest {
 protected:
  // A program that logs each of its runs to `log`, then runs `real` with its arguments.
  std::string counting(const std::string& real, const std::string& log) {
    const std::string path = dir_ + "/count-" + real;
    writeWholeFile(path, "#!/bin/sh\necho \"$@\" >> " + shellQuote(dir_ + "/" + log) + "\nexec " + real + " \"$@\"\n");
    EXPECT_EQ(::chmod(path.c_str(), 0700), 0);
    return path;
  }
  size_t runs(const std::string& log, bool decompress) {
    std::string text = readWholeFile(dir_ + "/" + log);
    size_t lines = 0, dashD = 0;
    for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; ++at) ++lines;
    for (size_t at = 0; (at = text.find("-d\n", at)) != std::string::npos; ++at) ++dashD;
    return decompress ? dashD : lines - dashD;
  }
};

TEST_F(TqsortCompressTest, CompressedRunsSortAsGnuSortDoes) {
  writeWholeFile(dir_ + "/big.csv", tieLines(60000, 11));
  const std::string gzip = counting("gzip", "gzip.log"), lz4 = counting("lz4", "lz4.log");
  agree("-S 1M --parallel=2 --compress=lz4 big.csv", "big.csv");
  agree("-S 1M --parallel=1 -k 3,3r --compress=lz4 big.csv", "-k3,3r big.csv");
  agree("-S 1M --parallel=2 -k 3,3r --compress-program=" + gzip + " big.csv", "-k3,3r big.csv");
  agree("-S 1M --parallel=1 --compress-program=" + lz4 + " big.csv", "big.csv");
  EXPECT_TRUE(filesWithPrefix(dir_, "tqsort-").empty());
  // Each program compressed run files and read them back.
  EXPECT_GT(runs("gzip.log", false), 0u);
  EXPECT_GT(runs("gzip.log", true), 0u);
  EXPECT_GT(runs("lz4.log", true), 0u);
  // GNU sort with the same program: the same bytes.
  TqsortResult gnu = shell("sort -S 200K --compress-program=gzip -t, big.csv");
  TqsortResult ours = tqsort("-S 1M --compress-program=gzip big.csv");
  EXPECT_EQ(gnu.status, 0);
  EXPECT_TRUE(ours.out == gnu.out);
  // The external engine: the same order as without compression.
  TqsortResult plain = tqsort("-S 1M --collate=en_US -k 1 -k 3 big.csv");
  ASSERT_EQ(plain.status, 0) << plain.err;
  for (const std::string& how : {std::string("--compress=lz4"), "--compress-program=" + gzip}) {
    TqsortResult packed = tqsort("-S 1M --collate=en_US -k 1 -k 3 " + how + " big.csv");
    EXPECT_EQ(packed.status, 0) << packed.err;
    EXPECT_TRUE(packed.out == plain.out) << how;
  }
  EXPECT_TRUE(filesWithPrefix(dir_, "tqsort-").empty());
}

TEST_F(TqsortCompressTest, AProgramThatCannotRunOrFailsEndsTheRunWithStatus2) {
  writeWholeFile(dir_ + "/big.csv", tieLines(60000, 12));
  writeWholeFile(dir_ + "/half", "#!/bin/sh\n[ \"$1\" = -d ] && exit 1\nexec gzip\n");
  ASSERT_EQ(::chmod((dir_ + "/half").c_str(), 0700), 0);
  // Compresses, cannot decompress: GNU sort's message and status, word for word.
  TqsortResult gnu = shell("sort -S 100K --compress-program=./half big.csv");
  for (const char* args : {"-S 1M --parallel=2", "-S 1M --parallel=1 -k 2,2n"}) {
    SCOPED_TRACE(args);
    TqsortResult ours = tqsort(std::string(args) + " --compress-program=./half big.csv");
    EXPECT_EQ(ours.status, 2);
    EXPECT_EQ(gnu.status, 2);
    EXPECT_EQ(ours.err, "tq" + gnu.err);
    EXPECT_EQ(ours.out, "");
    EXPECT_TRUE(filesWithPrefix(dir_, "tqsort-").empty());
  }
  // The external engine reads its work files at many runs' offsets by turns: they take
  // lz4, never the program.
  TqsortResult collated = tqsort("-S 1M --collate=en_US -k 1 --compress-program=./half big.csv");
  EXPECT_EQ(collated.status, 0) << collated.err;
  EXPECT_TRUE(collated.out == tqsort("-S 1M --collate=en_US -k 1 big.csv").out);
  // A program that is not there, or fails at once.  (GNU sort dies of SIGPIPE there,
  // status 141, after the child's "couldn't execute compress program: errno 2".)
  TqsortResult missing = tqsort("-S 1M --compress-program=tq-no-such-program big.csv");
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err,
            "tqsort: couldn't execute compress program 'tq-no-such-program': No such file or directory\n");
  TqsortResult failing = tqsort("-S 1M --compress=lz4 --compress-program=false big.csv");
  EXPECT_EQ(failing.status, 2);
  EXPECT_EQ(failing.err, "tqsort: 'false' terminated abnormally\n");
  EXPECT_TRUE(filesWithPrefix(dir_, "tqsort-").empty());
  // Without temporary files the program is never run.
  EXPECT_EQ(tqsort("--compress-program=tq-no-such-program", "b\na\n").out, "a\nb\n");
  EXPECT_EQ(tqsort("--compress=zip big.csv").status, 2);
}

namespace {

// The bytes appended to tqsort's own temporary files and those on disk, from --stats:
// `pattern` matches both numbers.
std::pair<uint64_t, uint64_t> ownFileBytes(const std::string& err, const std::string& pattern) {
  std::smatch m;
  if (!std::regex_search(err, m, std::regex(pattern))) return {0, 0};
  return {std::stoull(m[1].str()), std::stoull(m[2].str())};
}

const char kLineFiles[] = "line files: (\\d+) bytes \\((\\d+) on disk\\)";
const char kSpool[] = "(\\d+) bytes in the spool file \\(\\d+ lines read again from the input; (\\d+) bytes on disk\\)";
const char kPasses[] = "(\\d+) bytes in the files of passes before the last \\((\\d+) on disk\\)";

}  // namespace

// tqsort's own files (the line files of lines too long for a sort's chunks, the spool of
// --collate, the files of -m's passes) are compressed as the library's are: the output
// stays GNU sort's (or, collated, that of the run without compression) while the files
// take fewer bytes on disk.  The files read at offsets that move about take lz4 where a
// program is chosen; -m's files, read in order, the program.
TEST_F(TqsortCompressTest, TheToolsOwnFilesAreCompressedAndSortAsGnuSortDoes) {
  const std::string gzip = counting("gzip", "gzip.log");
  const std::vector<std::string> ways = {"--compress=lz4", "--compress-program=" + gzip};
  // Line files: lines longer than an eighth of a chunk (at -S 3M in two sorts, 48 KiB).
  std::string text = tieLines(20000, 21);
  for (int i = 0; i < 24; ++i) text += tieLines(1, 30 + i).substr(0, 3) + std::string(60000 + i, "abcde"[i % 5]) + "\n";
  writeWholeFile(dir_ + "/long.csv", text);
  TqsortResult gnu = shell("sort -t, long.csv");
  ASSERT_EQ(gnu.status, 0);
  TqsortResult plain = tqsort("-S 3M --parallel=2 --stats long.csv");
  auto [appended, onDisk] = ownFileBytes(plain.err, kLineFiles);
  EXPECT_GT(appended, 24u * 60000) << plain.err;
  EXPECT_EQ(onDisk, appended);
  for (const std::string& how : ways) {
    TqsortResult r = tqsort("-S 3M --parallel=2 --stats " + how + " long.csv");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == gnu.out) << how;
    std::tie(appended, onDisk) = ownFileBytes(r.err, kLineFiles);
    EXPECT_GT(appended, 24u * 60000) << r.err;
    EXPECT_LT(onDisk, appended / 20) << how;
  }
  // The spool of --collate (its lines from standard input: they cannot be read again
  // from there).
  const std::string piped = tieLines(60000, 22);
  TqsortResult unpacked = tqsort("-S 1M --collate=en_US -k 1 -k 3", piped);
  ASSERT_EQ(unpacked.status, 0) << unpacked.err;
  writeWholeFile(dir_ + "/gzip.log", "");
  for (const std::string& how : ways) {
    TqsortResult r = tqsort("-S 1M --collate=en_US -k 1 -k 3 --stats " + how, piped);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == unpacked.out) << how;
    std::tie(appended, onDisk) = ownFileBytes(r.err, kSpool);
    EXPECT_GT(appended, 100000u) << r.err;
    EXPECT_LT(onDisk, appended * 3 / 4) << how;
  }
  EXPECT_EQ(runs("gzip.log", false), 0u) << "a program ran for a file read at offsets that move about";
  // -m in passes (23 inputs under a limit of 12 or 16 open files: a program's pipes
  // take descriptors too; the logging wrapper, a shell, needs more than 12).
  std::string all;
  for (int i = 0; i < 23; ++i) {
    writeWholeFile(dir_ + "/unsorted", tieLines(400, 200 + static_cast<uint64_t>(i)));
    ASSERT_EQ(shell("sort -t, unsorted -o in" + std::to_string(i)).status, 0);
    all += " in" + std::to_string(i);
  }
  gnu = shell("sort -t, -m" + all);
  ASSERT_EQ(gnu.status, 0);
  writeWholeFile(dir_ + "/gzip.log", "");
  const std::vector<std::pair<std::string, const char*>> cases = {
      {ways[0], "12"}, {"--compress-program=gzip", "12"}, {ways[0], "16"}, {ways[1], "16"}};
  for (const auto& [how, limit] : cases) {
    TqsortResult r = shell("sh -c " + shellQuote("exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; ulimit -n " +
                                                 std::string(limit) + " && exec " + shellQuote(TQSORT_BIN) +
                                                 " --no-progress -T . --stats -m " + how + all));
    EXPECT_EQ(r.status, 0) << how << " under a limit of " << limit << ": " << r.err;
    EXPECT_TRUE(r.out == gnu.out) << how;
    std::tie(appended, onDisk) = ownFileBytes(r.err, kPasses);
    EXPECT_GT(appended, 50000u) << r.err;
    EXPECT_LT(onDisk, appended / 2) << how;
  }
  EXPECT_GT(runs("gzip.log", false), 0u);
  EXPECT_GT(runs("gzip.log", true), 0u);
  EXPECT_TRUE(filesWithPrefix(dir_, "tqsort-").empty());
}

// A program that fails on -m's files ends the run as it does GNU sort's: its message,
// status 2, no output and no temporary file left.
TEST_F(TqsortCompressTest, AProgramThatFailsOnTheFilesOfMergePassesEndsTheRunWithStatus2) {
  std::string all;
  for (int i = 0; i < 23; ++i) {
    writeWholeFile(dir_ + "/unsorted", tieLines(200, 300 + static_cast<uint64_t>(i)));
    ASSERT_EQ(shell("sort -t, unsorted -o in" + std::to_string(i)).status, 0);
    all += " in" + std::to_string(i);
  }
  writeWholeFile(dir_ + "/half", "#!/bin/sh\n[ \"$1\" = -d ] && exit 1\nexec gzip\n");
  // Fails on its third frame to compress.
  writeWholeFile(dir_ + "/third",
                 "#!/bin/sh\necho x >> third.log\n[ $(wc -l < third.log) -ge 3 ] && exit 3\nexec gzip \"$@\"\n");
  ASSERT_EQ(::chmod((dir_ + "/half").c_str(), 0700), 0);
  ASSERT_EQ(::chmod((dir_ + "/third").c_str(), 0700), 0);
  const std::string limited = "ulimit -n 16 && ";
  TqsortResult gnu = shell(limited + "sort -t, -m --batch-size=8 --compress-program=./half" + all);
  TqsortResult ours =
      shell(limited + shellQuote(TQSORT_BIN) + " --no-progress -T . -m --compress-program=./half" + all);
  EXPECT_EQ(gnu.status, 2);
  EXPECT_EQ(ours.status, 2);
  EXPECT_EQ(ours.err, "tq" + gnu.err);
  EXPECT_EQ(ours.out, "");
  ours = shell(limited + shellQuote(TQSORT_BIN) + " --no-progress -T . -m --compress-program=./third -o out" + all);
  EXPECT_EQ(ours.status, 2);
  EXPECT_EQ(ours.err, "tqsort: './third' terminated abnormally\n");
  EXPECT_FALSE(std::ifstream(dir_ + "/out").good());
  // Too few descriptors left for the program's pipes: it cannot run, and that is said.
  ours = shell("sh -c " + shellQuote("exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; ulimit -n 9 && exec " +
                                     shellQuote(TQSORT_BIN) + " --no-progress -T . -m --compress-program=gzip" + all));
  EXPECT_EQ(ours.status, 2);
  EXPECT_EQ(ours.err, "tqsort: couldn't execute compress program 'gzip': Too many open files\n");
  EXPECT_TRUE(filesWithPrefix(dir_, "tqsort-").empty());
}
