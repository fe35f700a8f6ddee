// tqsort's key ranges (the steps of the cluster sort) and its run inside a host's
// process.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/tqbconfig.h"
#include "test_support.h"
#include "tqsort_ranges.h"
#include "tqsort_run.h"
#include "tqsort_shard.h"

namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeAll(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

tqsort::Options parse(std::vector<std::string> args) {
  tqsort::Options options;
  tqsort::Action action;
  args.push_back("input");
  tqsort::Status s = tqsort::parseInProcess(args, &options, &action);
  EXPECT_TRUE(s.ok()) << s.message();
  return options;
}

// The library's key bytes of an integer key value (ascending).
std::string intKey(int64_t value) {
  TqbDatavar v;
  v.assign(value);
  std::string key;
  tqsort::appendSortKey(&key, tqsort::KeyType::Int, false, v);
  return key;
}

class TqsortRangesTest : public TempDirTest {
 protected:
  std::string file(const std::string& name, const std::string& text) {
    std::string path = dir_ + "/" + name;
    writeAll(path, text);
    return path;
  }

  // Splits `path` into the shares that `cuts` make, as the cluster sort does: a share
  // that did not begin where the one before it ended is read again, with the rest of
  // the file, from there.  Returns each range's pieces, concatenated in share order.
  std::vector<std::string> splitAt(const tqsort::Options& o, const std::string& path, std::vector<int64_t> cuts,
                                   const std::vector<std::string>& boundaries, int* repairs) {
    int64_t size = static_cast<int64_t>(readAll(path).size());
    cuts.insert(cuts.begin(), 0);
    cuts.push_back(size);
    std::vector<std::string> ranges(boundaries.size() + 1);
    int64_t expectedFirst = 0;
    for (size_t s = 0; s + 1 < cuts.size(); ++s) {
      tqsort::Share share;
      share.path = path;
      share.begin = cuts[s];
      share.end = cuts[s + 1];
      std::string prefix = dir_ + "/piece-" + std::to_string(pieces_++) + "-";
      tqsort::ShareSplit split;
      tqsort::Status st = tqsort::splitShare(o, share, 1, boundaries, prefix, 1 << 20, &split);
      if (s > 0 && (!st.ok() || split.first != expectedFirst)) {
        ++*repairs;  // began inside a record: the rest of the file from where the last ended
        share.begin = expectedFirst;
        share.end = size;
        prefix = dir_ + "/piece-" + std::to_string(pieces_++) + "-";
        st = tqsort::splitShare(o, share, 1, boundaries, prefix, 1 << 20, &split);
        cuts.resize(s + 1);
        cuts.push_back(size);
      }
      EXPECT_TRUE(st.ok()) << st.message();
      expectedFirst = split.next;
      for (size_t r = 0; r < ranges.size(); ++r) {
        if (split.rows[r] > 0) ranges[r] += readAll(prefix + std::to_string(r));
      }
    }
    EXPECT_EQ(expectedFirst, size);
    return ranges;
  }

  int pieces_ = 0;
};

// Every cut of a file into two shares gives each range exactly its records, in input
// order: equal keys in one range, a key equal to a boundary in that boundary's range,
// nulls lowest, a header and a byte-order mark taken off, CRLF kept, and the last line
// given the line end of the line before it.
TEST_F(TqsortRangesTest, EveryCutGivesEachRangeItsRecordsInInputOrder) {
  std::string text =
      "\xEF\xBB\xBF" "name,n\r\n"
      "a,5\r\n" "b,2\r\n" "c,\r\n" "d,5\r\n" "e,9\r\n" "f,-3\r\n" "g,5\r\n" "h,7";
  std::string path = file("in.csv", text);
  tqsort::Options o = parse({"-k", "2:int", "--header"});
  std::vector<std::string> boundaries = {intKey(2), intKey(5)};
  std::vector<std::string> expected = {"b,2\r\nc,\r\nf,-3\r\n", "a,5\r\nd,5\r\ng,5\r\n", "e,9\r\nh,7\r\n"};
  for (int64_t cut = 1; cut < static_cast<int64_t>(text.size()); ++cut) {
    int repairs = 0;
    EXPECT_EQ(splitAt(o, path, {cut}, boundaries, &repairs), expected) << "cut at " << cut;
    EXPECT_EQ(repairs, 0) << "cut at " << cut;
  }
  int repairs = 0;
  std::vector<int64_t> everyByte;
  for (int64_t cut = 1; cut < static_cast<int64_t>(text.size()); ++cut) everyByte.push_back(cut);
  EXPECT_EQ(splitAt(o, path, everyByte, boundaries, &repairs), expected);
}

// A share that begins inside a quoted field holding line breaks begins at a wrong
// line; the share before it says where it should have begun, and reading the rest of
// the file from there gives every record once, whole.
TEST_F(TqsortRangesTest, AShareBegunInsideAQuotedFieldIsFoundAndReadAgain) {
  std::string text = "1,\"two\nlines\"\n3,\"x\n4,y\n\"\n2,z\n4,\"a,\n5,b\"\n";
  std::string path = file("quoted.csv", text);
  tqsort::Options o = parse({"-k", "1:int"});
  std::vector<std::string> boundaries = {intKey(2)};
  std::vector<std::string> expected = {"1,\"two\nlines\"\n2,z\n", "3,\"x\n4,y\n\"\n4,\"a,\n5,b\"\n"};
  int total = 0;
  for (int64_t cut = 1; cut < static_cast<int64_t>(text.size()); ++cut) {
    int repairs = 0;
    EXPECT_EQ(splitAt(o, path, {cut}, boundaries, &repairs), expected) << "cut at " << cut;
    total += repairs;
  }
  EXPECT_GT(total, 0);  // some cuts fell inside quoted fields
}

// A record that begins with the bytes of a byte-order mark keeps them: the piece it
// begins gets a mark of its own before it, which tqsort takes off.
TEST_F(TqsortRangesTest, ARecordBeginningWithAByteOrderMarkKeepsIt) {
  std::string second = "\xEF\xBB\xBF" "b,1\n";
  std::string path = file("in.csv", "a,1\n" + second);
  tqsort::Options o = parse({"-k", "2:int"});
  tqsort::Share share;
  share.path = path;
  share.begin = 4;
  share.end = static_cast<int64_t>(4 + second.size());
  tqsort::ShareSplit split;
  std::string prefix = dir_ + "/p";
  ASSERT_TRUE(tqsort::splitShare(o, share, 2, {}, prefix, 1 << 20, &split).ok());
  ASSERT_EQ(split.rows, std::vector<int64_t>{1});
  EXPECT_EQ(split.markAdded, std::vector<bool>{true});
  EXPECT_EQ(readAll(prefix + "0"), "\xEF\xBB\xBF" + second);
}

// A failure names the file and the line, counted from the share's first line as the
// caller gives it; a header that differs says so; a record longer than the share's
// memory allows fails instead of being read whole.
TEST_F(TqsortRangesTest, FailuresNameTheFileAndLine) {
  std::string path = file("bad.csv", "k\n1\n2\nx\n");
  tqsort::Options o = parse({"-k", "1:int", "--header"});
  tqsort::Share share;
  share.path = path;
  share.begin = 4;
  share.end = 8;
  tqsort::ShareSplit split;
  tqsort::Status s = tqsort::splitShare(o, share, 3, {}, "", 1 << 20, &split);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.message(), path + ":4: column 1 (int): 'x' is not a 64-bit integer");

  share.begin = 0;
  share.header = "key";
  share.headerFile = "first.csv";
  s = tqsort::splitShare(o, share, 1, {}, "", 1 << 20, &split);
  EXPECT_EQ(s.message(), path + ":1: the header 'k' differs from the header of 'first.csv'");

  std::string longPath = file("long.csv", "1," + std::string(300000, 'x') + "\n2,y\n");
  s = tqsort::splitShare(parse({"-k", "1:int"}), tqsort::Share{longPath, 0, 10, "", ""}, 1, {}, "", 256 << 10,
                         &split);
  ASSERT_FALSE(s.ok());
  EXPECT_NE(s.message().find("a record longer than"), std::string::npos) << s.message();
}

// Samples are keys of records of the share; the first record and names of the
// header's columns are read as tqsort reads them.
TEST_F(TqsortRangesTest, SamplesAndHeadersAreReadAsTqsortReadsThem) {
  std::string text = "\xEF\xBB\xBF" "id,n\n";
  for (int i = 0; i < 100; ++i) text += std::to_string(i) + "," + std::to_string(i * 7 % 100) + "\n";
  std::string path = file("in.csv", text);
  bool bom = false;
  std::string header;
  ASSERT_TRUE(tqsort::firstRecord(path, ',', &bom, &header).ok());
  EXPECT_TRUE(bom);
  EXPECT_EQ(header, "id,n\n");
  std::vector<std::string> keys;
  ASSERT_TRUE(tqsort::resolvedKeys(parse({"-k", "n:int:r", "-k", "1", "--header"}), header, &keys).ok());
  EXPECT_EQ(keys, (std::vector<std::string>{"2:int:r", "1:str"}));
  EXPECT_FALSE(tqsort::resolvedKeys(parse({"-k", "m", "--header"}), header, &keys).ok());
  // Field-form keys come back in a form that reads the same; the line's bytes as the
  // last key are the pieces' own; the line as the key in another order has no -k form.
  ASSERT_TRUE(tqsort::resolvedKeys(parse({"-k", "2,2nr", "-k", "1b,1", "-f", "-k", "1"}), header, &keys).ok());
  EXPECT_EQ(keys, (std::vector<std::string>{"2nr,2", "1b,1", "1f,1"}));
  for (const std::string& k : keys) {
    tqsort::KeyOption again;
    EXPECT_TRUE(tqsort::parseKey(k, &again).ok()) << k;
  }
  EXPECT_FALSE(tqsort::resolvedKeys(parse({"-n"}), header, &keys).ok());
  ASSERT_TRUE(tqsort::resolvedKeys(parse({}), header, &keys).ok());
  EXPECT_TRUE(keys.empty());

  tqsort::Options o = parse({"-k", "2:int", "--header"});
  std::vector<std::string> samples;
  tqsort::Share whole{path, 0, static_cast<int64_t>(text.size()), "", ""};
  ASSERT_TRUE(tqsort::sampleKeys(o, whole, 20, 1 << 20, &samples).ok());
  EXPECT_GE(samples.size(), 18u);
  EXPECT_LE(samples.size(), 20u);
  std::vector<std::string> all;
  for (int i = 0; i < 100; ++i) all.push_back(intKey(i * 7 % 100));
  for (const std::string& k : samples) EXPECT_NE(std::find(all.begin(), all.end(), k), all.end());
}

class TqsortInProcessTest : public TempDirTest {};

// Stops the run at its first step.
class StopAtOnce : public tqsort::ProgressListener {
 public:
  bool heard(const char*, double) override {
    ++calls;
    return false;
  }
  std::atomic<int> calls{0};
};

// A host runs tqsort again and again: each run removes its run directory, and puts
// back the temporary directories the host configured; a run its listener stops fails,
// leaving the output as it was and no file behind.
TEST_F(TqsortInProcessTest, RunsAgainLeavesNothingAndStopsWhenTold) {
  std::string input = dir_ + "/in.csv";
  std::string text;
  for (int i = 0; i < 200000; ++i) text += std::to_string((i * 7919) % 200000) + ",row\n";
  writeAll(input, text);
  tqbSetConfigValue("BASE/TEMP", "/nowhere/else");
  for (int run = 0; run < 2; ++run) {
    tqsort::Options o;
    tqsort::Action action;
    std::string out = dir_ + "/out" + std::to_string(run) + ".csv";
    ASSERT_TRUE(tqsort::parseInProcess({"-k", "1:int", "-T", dir_, "-o", out, input}, &o, &action).ok());
    tqsort::ProgressBar bar;
    tqsort::Status s = tqsort::runInProcess(o, &bar);
    ASSERT_TRUE(s.ok()) << s.message();
    EXPECT_EQ(readAll(out).substr(0, 12), "0,row\n1,row\n");
    TqbString temp;
    ASSERT_TRUE(tqbGetConfigOptions("")->lookup(TqbString("BASE/TEMP"), temp));
    EXPECT_EQ(temp.str(), "/nowhere/else");
    EXPECT_TRUE(filesWithPrefix(dir_, "tqsort-").empty());
  }
  tqbSetConfigValue("BASE/TEMP", nullptr);

  std::string out = dir_ + "/kept.csv";
  writeAll(out, "before\n");
  tqsort::Options o;
  tqsort::Action action;
  ASSERT_TRUE(tqsort::parseInProcess({"-k", "1:int", "-T", dir_, "-S", "1M", "-o", out, input}, &o, &action).ok());
  StopAtOnce listener;
  tqsort::ProgressBar bar;
  bar.listen(&listener);
  tqsort::Status s = tqsort::runInProcess(o, &bar);
  EXPECT_FALSE(s.ok());
  EXPECT_GT(listener.calls.load(), 0);
  EXPECT_EQ(readAll(out), "before\n");
  EXPECT_TRUE(filesWithPrefix(dir_, "tqsort-").empty());
  EXPECT_TRUE(filesWithPrefix(dir_, ".tqsort-").empty());
}

}  // namespace
