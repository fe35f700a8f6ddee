// tqsort end to end: against GNU sort (LC_ALL=C) and reference orderings, with quoting,
// headers, line ends and every kind of bad input.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "tqsort_support.h"
#include "tqsort_options.h"
#include "tqsort_sorter.h"

// --- the program -------------------------------------------------------------------------

namespace {

using Result = TqsortResult;
std::string quote(const std::string& s) { return shellQuote(s); }
std::string readFile(const std::string& path) { return readWholeFile(path); }
void writeFile(const std::string& path, const std::string& text) { writeWholeFile(path, text); }

}  // namespace

class TqsortTest : public TqsortRunTest {
 protected:
  // tqsort and GNU sort on the same file must agree byte for byte.
  void agree(const std::string& ours, const std::string& theirs, const std::string& file) {
    Result a = tqsort(ours + " " + file);
    Result b = shell("sort " + theirs + " " + file);
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0) << b.err;
    ASSERT_EQ(a.out.size(), b.out.size()) << ours;
    EXPECT_TRUE(a.out == b.out) << "tqsort " << ours << " differs from sort " << theirs;
  }
  // One, two and four processors (with several sorts merged) put out the same bytes.
  void sameOnEveryProcessorCount(const std::string& keys, const std::string& file) {
    SCOPED_TRACE(keys);
    Result one = tqsort("--parallel=1 -S 1M " + keys + " " + file);
    Result two = tqsort("--parallel=2 -S 1M " + keys + " " + file);
    Result four = tqsort("--parallel=4 -S 2M " + keys + " " + file);
    ASSERT_EQ(one.status, 0) << one.err;
    ASSERT_EQ(two.status, 0) << two.err;
    ASSERT_EQ(four.status, 0) << four.err;
    EXPECT_TRUE(one.out == two.out);
    EXPECT_TRUE(one.out == four.out);
  }
  // Rows "id,name,group,note": ids unique and shuffled; names from a small set (ties).
  std::string makeCsv(size_t rows, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<int64_t> ids(rows);
    for (size_t i = 0; i < rows; ++i) ids[i] = static_cast<int64_t>(i) * 7 - static_cast<int64_t>(rows) * 3;
    std::shuffle(ids.begin(), ids.end(), rng);
    std::string text;
    for (size_t i = 0; i < rows; ++i) {
      text += std::to_string(ids[i]) + ",name" + std::to_string(rng() % 50) + "," + std::to_string(rng() % 10) +
              ",note " + std::string(rng() % 40, 'x') + "\n";
    }
    return text;
  }
};

TEST_F(TqsortTest, AgreesWithGnuSortOnIntegerAndTextKeys) {
  writeFile(dir_ + "/data.csv", makeCsv(20000, 1));
  agree("-k 1:int", "-t, -k1,1n", "data.csv");
  agree("-k 1:int:r", "-t, -k1,1nr", "data.csv");
  agree("-s -k 2", "-s -t, -k2,2", "data.csv");
  agree("-s -k 3:int:r -k 2", "-s -t, -k3,3nr -k2,2", "data.csv");
  agree("-u -k 2", "-u -t, -k2,2", "data.csv");
  agree("-u -k 3:int", "-u -t, -k3,3n", "data.csv");
}

TEST_F(TqsortTest, AgreesWithGnuSortWhenTheInputSpillsAndMerges) {
  writeFile(dir_ + "/big.csv", makeCsv(150000, 2));  // about 6 MB
  agree("-S 1M --parallel=2 -k 1:int", "-S 1M -t, -k1,1n", "big.csv");
  agree("-S 1M --parallel=1 -s -k 2 -k 3:int:r", "-S 1M -s -t, -k2,2 -k3,3nr", "big.csv");
  EXPECT_TRUE(filesWithPrefix(dir_, "tqsort_").empty());
}

TEST_F(TqsortTest, TsvInputFromSeveralFilesAndStandardInput) {
  writeFile(dir_ + "/a.tsv", "b\t2\na\t9\n");
  writeFile(dir_ + "/b.tsv", "c\t1\n");
  Result r = tqsort("-t '\\t' -k 2:int a.tsv - b.tsv", "d\t5\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "c\t1\nb\t2\nd\t5\na\t9\n");
}

TEST_F(TqsortTest, DecimalAndDateKeysFollowTheirValues) {
  std::vector<std::string> decimals = {"10", "9.99", "-0.5", "1e2", "100.0", "0.001", "-12", "3.14159", "", "1E-3"};
  std::vector<std::string> dates = {"2024-02-29", "1969-07-20", "1900-01-01", "", "2000-01-01", "1970-01-01",
                                    "1969-12-31", "0999-05-05", "2038-01-19", "1970-01-02"};
  std::string text;
  for (size_t i = 0; i < decimals.size(); ++i) text += std::to_string(i) + "," + decimals[i] + "," + dates[i] + "\n";
  writeFile(dir_ + "/v.csv", text);
  auto order = [](const std::string& out) {
    std::vector<int> ids;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) ids.push_back(std::stoi(line.substr(0, line.find(','))));
    return ids;
  };
  // Reference: nulls first, then by value (100.0 equals 1e2; 0.001 equals 1E-3).
  std::vector<int> byDecimal = {8, 6, 2, 5, 9, 7, 1, 0, 3, 4};
  std::vector<int> byDate = {3, 7, 2, 1, 6, 5, 9, 4, 0, 8};
  Result r = tqsort("-s -k 2:dec v.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(order(r.out), byDecimal);
  r = tqsort("-s -k 3:date v.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(order(r.out), byDate);
  r = tqsort("-s -k 3:date:r v.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<int> reversed = {8, 0, 4, 9, 5, 6, 1, 2, 7, 3};  // nulls last when descending
  EXPECT_EQ(order(r.out), reversed);
}

TEST_F(TqsortTest, QuotedFieldsHeadersAndLineEndsComeThroughUnchanged) {
  std::string text =
      "city,pop\r\n"
      "\"Washington, D.C.\",689545\r\n"
      "\"Say \"\"hi\"\"\",3\n"
      "\"two\nlines\",12\r\n"
      "plain,7";
  writeFile(dir_ + "/q.csv", text);
  Result r = tqsort("--header -k pop:int q.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "city,pop\r\n"
            "\"Say \"\"hi\"\"\",3\n"
            "plain,7\r\n"  // the last line gets the line end of the line before it
            "\"two\nlines\",12\r\n"
            "\"Washington, D.C.\",689545\r\n");
  r = tqsort("--header -k city:r q.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), "city,pop\r\n");
  EXPECT_NE(r.out.find("\"Washington, D.C.\",689545\r\n\"Say"), std::string::npos);
}

TEST_F(TqsortTest, EmptyInputAndASingleUnterminatedLine) {
  Result r = tqsort("-k 1", "");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  r = tqsort("-k 1", "only line");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "only line\n");
  r = tqsort("--header -k 1", "header only");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "header only\n");
}

TEST_F(TqsortTest, BadValuesStopWithTheirPlaceUnlessLenient) {
  writeFile(dir_ + "/bad.csv", "1,a\n2,b\nthree,c\n");
  Result r = tqsort("-k 1:int bad.csv");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "tqsort: bad.csv:3: column 1 (int): 'three' is not a 64-bit integer\n");
  r = tqsort("--lenient -k 1:int bad.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "three,c\n1,a\n2,b\n");  // the bad value is a null: lowest
  struct Case {
    const char* args;
    const char* where;
  };
  for (const Case& c : {Case{"-k 1:date bad.csv", "bad.csv:1: column 1 (date): '1'"},
                        Case{"-k 1:dec bad.csv", "bad.csv:3: column 1 (dec): 'three'"},
                        Case{"-k 2:bool bad.csv", "bad.csv:1: column 2 (bool): 'a'"}}) {
    r = tqsort(c.args);
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_NE(r.err.find(c.where), std::string::npos) << r.err;
  }
}

TEST_F(TqsortTest, UsageAndFileErrorsAreOneLineAndStatus2) {
  writeFile(dir_ + "/ok.csv", "b\na\n");
  struct Case {
    std::string args;
    std::string message;
  };
  const Case cases[] = {
      {"--frobnicate -k1 ok.csv", "unknown option '--frobnicate'"},
      {"-k 1,2 ok.csv", "invalid key '1,2': a key spanning several fields is not supported"},
      {"-k 1.2 ok.csv", "character positions are not supported"},
      {"-k 1,1M ok.csv", "the modifier 'M' is not supported (b, f, g, n, r)"},
      {"-ng ok.csv", "options '-gn' are incompatible"},
      {"-c ok.csv ok.csv", "extra operand 'ok.csv' not allowed with -c"},
      {"--collate=de ok.csv", "--collate needs a key"},
      {"-f --collate=de -k1 ok.csv", "-f folds case in byte order"},
      {"-m --collate=de -k1 ok.csv", "-m compares keys in byte order: it does not go with --collate"},
      {"-c ok.csv -o out", "options '-co' are incompatible"},
      {"-k 1:weird ok.csv", "unknown type 'weird'"},
      {"-k name ok.csv", "a column name needs --header"},
      {"-k 0 ok.csv", "columns are numbered from 1"},
      {"-k 99999999999999999999 ok.csv", "columns are numbered up to 1000000"},
      {"--stable=1 -k1 ok.csv", "option '--stable' takes no argument"},
      {"--coll=de -k1 ok.csv", "'--coll' is ambiguous: --collate, --collation"},
      {"-t ab -k1 ok.csv", "field separator"},
      {"-S 12Q -k1 ok.csv", "invalid buffer size"},
      {"-k1 missing.csv", "cannot read 'missing.csv'"},
      {"-k1 -o /no/such/dir/out ok.csv", "cannot write '/no/such/dir/out'"},
      {"--header -k nosuch ok.csv", "no column 'nosuch' in the header"},
      {"-S -5 -k1 ok.csv", "invalid buffer size '-5'"},
      {"-S 16777216T -k1 ok.csv", "buffer size '16777216T' is too large"},
      {"--output= -k1 ok.csv", "the output file name is empty"},
      {"-k 1:int:r:r ok.csv", "'r' given twice"},
      {"-k 1:int:dec ok.csv", "more than one type"},
      {"-k1 -o . ok.csv", "cannot write '.': it is a directory"},
      {"-k1 .", "cannot read '.': Is a directory"},
  };
  for (const Case& c : cases) {
    Result r = tqsort(c.args);
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
    EXPECT_EQ(r.err.rfind("tqsort: ", 0), 0u) << r.err;
  }
  Result r = shell(quote(TQSORT_BIN) + " -T /no/such/tmp -k1 ok.csv");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("/no/such/tmp"), std::string::npos) << r.err;
  EXPECT_EQ(tqsort("--help").status, 0);
  EXPECT_NE(tqsort("--version").out.find("tqsort"), std::string::npos);
}

TEST_F(TqsortTest, OutputReplacesAnInputOnlyOnSuccess) {
  writeFile(dir_ + "/in.csv", "3,c\n1,a\n2,b\n");
  Result r = tqsort("-k 1:int -o in.csv in.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(dir_ + "/in.csv"), "1,a\n2,b\n3,c\n");
  writeFile(dir_ + "/keep.csv", "precious\n");
  r = tqsort("-k 1:int -o keep.csv in.csv -", "x,oops\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(readFile(dir_ + "/keep.csv"), "precious\n");
  EXPECT_TRUE(filesWithPrefix(dir_, ".tqsort-").empty()) << "the partial output was left behind";
}

TEST_F(TqsortTest, StatisticsAndProgressGoToStandardError) {
  writeFile(dir_ + "/data.csv", makeCsv(5000, 3));
  // A summary in plain words comes first, then the library's block under its heading.
  Result r = tqsort("--stats --parallel=1 -S 256K -k 1:int data.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.rfind("tqsort: 5000 lines (", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(" of memory in 1 sort; "), std::string::npos) << r.err;
  size_t heading = r.err.find("\ntqsort: the library's statistics:\n");
  ASSERT_NE(heading, std::string::npos) << r.err;
  EXPECT_GT(r.err.find("tqsort:   Resolved SORTBYTES:"), heading);
  EXPECT_NE(r.err.find("tqsort:   Merge passes:"), std::string::npos);
  EXPECT_EQ(r.err.find("\ntqsort: Resolved"), std::string::npos) << "jargon outside the library's block";
  // Several sorts: each one's block, in order, after the sorting is done.
  r = tqsort("--stats --parallel=2 -S 256K -k 1:int data.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.rfind("tqsort: 5000 lines (", 0), 0u) << r.err;
  size_t first = r.err.find("tqsort: the library's statistics, sort 1 of 2:\ntqsort:   Resolved SORTBYTES:");
  size_t second = r.err.find("tqsort: the library's statistics, sort 2 of 2:\ntqsort:   Resolved SORTBYTES:");
  EXPECT_NE(first, std::string::npos) << r.err;
  EXPECT_NE(second, std::string::npos) << r.err;
  EXPECT_LT(first, second);
  EXPECT_LT(r.err.find("tqsort:   Merge passes:"), second);
  r = shell(quote(TQSORT_BIN) + " --progress -k 1:int data.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("tqsort: reading"), std::string::npos);
  EXPECT_EQ(r.out.size(), readFile(dir_ + "/data.csv").size());
}

TEST_F(TqsortTest, MalformedQuotingStopsAtTheLineWhereTheFieldOpened) {
  // An unclosed quote would swallow the rest of the file into one record.
  writeFile(dir_ + "/open.csv", "1,a\n2,\"b\n3,c\n4,d\n");
  Result r = tqsort("-k 1:int open.csv");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "tqsort: open.csv:2: a quoted field opens on this line and is never closed\n");
  // The same after records that span lines: the line is the file's, not the record's.
  writeFile(dir_ + "/open2.csv", "\"x\ny\",1\n\"z\",2\n5,\"w\n");
  r = tqsort("-k 2:int open2.csv");
  EXPECT_EQ(r.err, "tqsort: open2.csv:4: a quoted field opens on this line and is never closed\n");
  writeFile(dir_ + "/after.csv", "1,\"a\"b\n");
  r = tqsort("-k 1:int after.csv");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("after.csv:1: a quoted field must be followed by the separator or the line end"),
            std::string::npos) << r.err;
}

TEST_F(TqsortTest, AStrayQuoteInAnUnquotedFieldIsJustData) {
  writeFile(dir_ + "/stray.csv", "5 inch\" pipe,3\nbolt,1\n\"quoted, yes\",2\nnut,0\n");
  Result r = tqsort("-k 2:int stray.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "nut,0\nbolt,1\n\"quoted, yes\",2\n5 inch\" pipe,3\n");
  r = tqsort("-s -k 1 stray.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "5 inch\" pipe,3\nbolt,1\nnut,0\n\"quoted, yes\",2\n");
}

TEST_F(TqsortTest, AByteOrderMarkStaysFirstAndOutOfTheFirstRecord) {
  const std::string bom = "\xEF\xBB\xBF";
  writeFile(dir_ + "/h.csv", bom + "name,n\nb,2\na,1\n");
  Result r = tqsort("--header -k name h.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, bom + "name,n\na,1\nb,2\n");
  writeFile(dir_ + "/v.csv", bom + "7,x\n3,y\n");
  r = tqsort("-k 1:int v.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, bom + "3,y\n7,x\n");
  // A second input's mark is dropped: the output has one, at its start.
  r = tqsort("-k 1:int v.csv v.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, bom + "3,y\n3,y\n7,x\n7,x\n");
  // Only a whole mark is one; from standard input too.
  r = tqsort("-k 1", "\xEF\xBBx\n");
  EXPECT_EQ(r.out, "\xEF\xBBx\n");
  r = tqsort("-k 1:int", bom + "2\n1\n");
  EXPECT_EQ(r.out, bom + "1\n2\n");
}

TEST_F(TqsortTest, HeadersOfSeveralInputsMustAgree) {
  writeFile(dir_ + "/a.csv", "id,name\n2,b\n");
  writeFile(dir_ + "/b.csv", "id,name\r\n1,a\r\n");  // same names, other line end
  writeFile(dir_ + "/c.csv", "id,label\n3,c\n");
  writeFile(dir_ + "/empty.csv", "");
  Result r = tqsort("--header -k id:int a.csv empty.csv b.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "id,name\n1,a\r\n2,b\n");
  r = tqsort("--header -k id:int a.csv c.csv");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "tqsort: c.csv:1: the header 'id,label' differs from the header of 'a.csv'\n");
  // No input at all: nothing to name a column in, nothing to sort.
  r = tqsort("--header -k name empty.csv");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  r = tqsort("--header -k name:int", "");
  EXPECT_EQ(r.status, 0) << r.err;
}

// A name that two header columns share names neither: the run stops rather than
// sort by the first; a name with ':' is given with "\:".
TEST_F(TqsortTest, HeaderNamesThatTwoColumnsShareOrThatHoldAColon) {
  writeFile(dir_ + "/dup.csv", "id,time:utc,id\n2,b,1\n1,a,2\n");
  Result r = tqsort("--header -k id:int dup.csv");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "tqsort: key 'id:int': the header names 2 columns 'id' (1, 3): give the column's number\n");
  r = tqsort("--header -k 3:int dup.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "id,time:utc,id\n2,b,1\n1,a,2\n");
  r = tqsort("--header -k 'time\\:utc:r' dup.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "id,time:utc,id\n2,b,1\n1,a,2\n");
  r = tqsort("--header -k 'time\\:utc' dup.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "id,time:utc,id\n1,a,2\n2,b,1\n");
}

TEST_F(TqsortTest, DecimalsAndDatesRefuseWhatTheirFormatsDoNotHold) {
  struct Case {
    const char* value;
    const char* type;
  };
  for (const Case& c : {Case{"NaN", "dec"}, Case{"inf", "dec"}, Case{"-Infinity", "dec"}, Case{"1e-999999999", "dec"},
                        Case{"0000-01-01", "date"}, Case{"-0001-01-01", "date"}, Case{"999-01-01", "date"}}) {
    std::string good = std::string(c.type) == "dec" ? "1" : "2000-01-01";
    writeFile(dir_ + "/v.csv", "b," + good + "\na," + c.value + "\n");
    Result r = tqsort(std::string("-k 2:") + c.type + " v.csv");
    EXPECT_EQ(r.status, 2) << c.value;
    EXPECT_NE(r.err.find(std::string("v.csv:2: column 2 (") + c.type + "): '" + c.value + "' is not"),
              std::string::npos) << r.err;
    r = tqsort(std::string("--lenient -k 2:") + c.type + " v.csv");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string("a,") + c.value + "\nb," + good + "\n") << "a refused value is a null, lowest";
  }
}

TEST_F(TqsortTest, EchoedValuesShowTheirControlBytes) {
  Result r = tqsort("-k 1:int", std::string("a\x01\x1b[2Jb,1\n", 9));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "tqsort: (standard input):1: column 1 (int): 'a\\x01\\x1b[2Jb' is not a 64-bit integer\n");
  r = tqsort("-k 1:int", "\"x\ny\",1\n");
  EXPECT_NE(r.err.find("'x\\ny'"), std::string::npos) << r.err;
}

// --- long lines ----------------------------------------------------------------------------

namespace {

// The -S that a "needs -S of at least M" message names ("" when there is none).
std::string namedSize(const std::string& message) {
  const std::string marker = "needs -S of at least ";
  size_t at = message.find(marker);
  if (at == std::string::npos) return "";
  size_t end = message.find('\n', at);
  return message.substr(at + marker.size(), end - at - marker.size());
}

}  // namespace

TEST_F(TqsortTest, ALineOf200MBSortsWithDefaultOptions) {
  std::string longLine = "m," + std::string(200u << 20, 'x') + "\n";
  std::string text = "z,1\n" + longLine + "a,2\n";
  writeFile(dir_ + "/long.csv", text);
  text.clear();
  Result r = tqsort("-k 1 long.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.out.size(), longLine.size() + 8);
  EXPECT_EQ(std::string_view(r.out).substr(0, 4), "a,2\n");
  EXPECT_TRUE(std::string_view(r.out).substr(4, longLine.size()) == longLine) << "the long line came out changed";
  EXPECT_EQ(std::string_view(r.out).substr(4 + longLine.size()), "z,1\n");
  EXPECT_TRUE(filesWithPrefix(dir_, "tqsort-").empty());
}

TEST_F(TqsortTest, AFieldOf5MBSortsWithin10M) {
  std::string field(5000000, 'f');
  writeFile(dir_ + "/wide.csv", "3,c\n1," + field + ",end\n2,b\n");
  Result r = tqsort("-S 10M -k 1:int wide.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out == "1," + field + ",end\n2,b\n3,c\n");
  // Many long lines among short ones, in a small sort: the order and every byte hold,
  // and equal keys keep their input order.
  std::mt19937_64 rng(5);
  std::string text;
  for (int i = 0; i < 400; ++i) {
    size_t n = rng() % 4 == 0 ? 20000 + rng() % 60000 : rng() % 40;
    text += std::to_string(rng() % 50) + "," + std::to_string(i) + "," + std::string(n, static_cast<char>('a' + i % 26)) +
            "\n";
  }
  writeFile(dir_ + "/mixed.csv", text);
  agree("-S 1M -s -k 1:int", "-s -t, -k1,1n", "mixed.csv");
  agree("-S 1M --parallel=1 -s -k 1:int:r", "-s -t, -k1,1nr", "mixed.csv");
  agree("-S 1M -u -k 1:int", "-u -t, -k1,1n", "mixed.csv");
}

// A row whose keys the sort's memory cannot hold: one line saying which -S would do,
// and that -S does (and one MiB less does not).
TEST_F(TqsortTest, ARowTooBigForTheMemorySaysWhichSizeWould) {
  std::string key(3000000, 'k');
  std::string heavy = "a," + key + ",1.5\n";
  writeFile(dir_ + "/heavy.csv", "b,x,2\n" + heavy + "c,y,3\n");
  // A zero byte in a key that a string key follows: the sort stores that key's value.
  std::string zero = heavy;
  zero[10] = '\0';
  writeFile(dir_ + "/zero.csv", "b,x,2\n" + zero + "c,y,3\n");
  struct Case {
    std::string args;
    std::string expected;  // the output once it sorts
    std::string file = "heavy.csv";
  };
  const Case cases[] = {
      {"-k 2", heavy + "b,x,2\nc,y,3\n"},
      {"-s -k 2:r -k 1", "c,y,3\nb,x,2\n" + heavy},
      {"-u -k 3:dec -k 2", heavy + "b,x,2\nc,y,3\n"},
      {"--parallel=1 -k 1 -k 2", heavy + "b,x,2\nc,y,3\n"},
      {"--parallel=1 -k 2 -k 1", zero + "b,x,2\nc,y,3\n", "zero.csv"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    Result r = tqsort("-S 2M " + c.args + " " + c.file);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    std::string size = namedSize(r.err);
    ASSERT_FALSE(size.empty()) << r.err;
    EXPECT_EQ(r.err, "tqsort: " + c.file + ":2: a line of " + std::to_string(heavy.size()) +
                         " bytes needs -S of at least " + size + "\n");
    ASSERT_EQ(size.back(), 'M');
    r = tqsort("-S " + size + " " + c.args + " " + c.file);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == c.expected);
    std::string less = std::to_string(std::stoi(size) - 1) + "M";
    r = tqsort("-S " + less + " " + c.args + " " + c.file);
    EXPECT_EQ(r.status, 2) << "-S " << less << " is enough: the message asked for more than needed";
    EXPECT_EQ(namedSize(r.err), size);
  }
  EXPECT_TRUE(filesWithPrefix(dir_, "tqsort-").empty());
  // A key field of 20 MB sorts with the default memory.
  std::string huge = "k," + std::string(20u << 20, 'h') + "\n";
  writeFile(dir_ + "/huge.csv", "z,z\n" + huge + "a,a\n");
  Result r = tqsort("-k 2 huge.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out == "a,a\n" + huge + "z,z\n");
}

// --- one processor and two: the same rows, the same errors ---------------------------------

TEST_F(TqsortTest, OneAndTwoProcessorsAgreeOnEveryRecordShape) {
  // Records with quoted fields (separators, doubled quotes, line breaks), CRLF and LF
  // ends, long lines, empty keys; several inputs and standard input; batches of 64 KiB.
  std::mt19937_64 rng(9);
  struct Rec {
    int64_t key;
    bool null;
    std::string bytes;
  };
  std::vector<Rec> all;
  std::string files[3];
  for (int f = 0; f < 3; ++f) {
    for (int i = 0; i < 4000; ++i) {
      Rec rec;
      rec.null = rng() % 50 == 0;
      rec.key = static_cast<int64_t>(rng() % 500) - 250;
      std::string note;
      switch (rng() % 5) {
        case 0: note = "\"quoted, with \"\"quotes\"\"\nand a break\""; break;
        case 1: note = std::string(rng() % 30000, 'w'); break;
        default: note = "plain " + std::to_string(i);
      }
      rec.bytes = (rec.null ? std::string(" ") : " " + std::to_string(rec.key) + " ") + "," + note + "," +
                  std::to_string(f) + ":" + std::to_string(i) + (rng() % 3 == 0 ? "\r\n" : "\n");
      files[f] += rec.bytes;
      all.push_back(rec);
    }
  }
  writeFile(dir_ + "/f0.csv", files[0]);
  writeFile(dir_ + "/f2.csv", files[2]);
  std::stable_sort(all.begin(), all.end(), [](const Rec& a, const Rec& b) {
    if (a.null != b.null) return a.null;
    return !a.null && a.key < b.key;
  });
  std::string expected;
  for (const Rec& rec : all) expected += rec.bytes;
  for (const char* parallel : {"--parallel=1", "--parallel=2"}) {
    Result r = tqsort(std::string(parallel) + " -S 1M -s -k 1:int f0.csv - f2.csv", files[1]);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == expected) << parallel;
  }
}

TEST_F(TqsortTest, ErrorsReadTheSameOnOneAndTwoProcessors) {
  std::string rows;
  for (int i = 0; i < 60000; ++i) rows += std::to_string(i % 977) + ",row " + std::to_string(i) + "\n";
  std::string heavy = "5," + std::string(3000000, 'k') + "\n";
  writeFile(dir_ + "/late.csv", rows + "x,bad\n");
  writeFile(dir_ + "/open.csv", rows + "1,\"open\n2,b\n");
  writeFile(dir_ + "/heavyfirst.csv", "1,a\n" + heavy + rows + "x,bad\n");
  writeFile(dir_ + "/badfirst.csv", "1,a\nx,bad\n" + rows + heavy);
  writeFile(dir_ + "/h1.csv", "id,name\n" + rows);
  writeFile(dir_ + "/h2.csv", "id,nom\n1,a\n");
  struct Case {
    std::string args;
    std::string err;
  };
  const Case cases[] = {
      {"-k 1:int late.csv", "tqsort: late.csv:60001: column 1 (int): 'x' is not a 64-bit integer\n"},
      {"-k 1:int open.csv", "tqsort: open.csv:60001: a quoted field opens on this line and is never closed\n"},
      {"-S 2M -k 2 heavyfirst.csv", "tqsort: heavyfirst.csv:2: a line of " + std::to_string(heavy.size()) +
                                        " bytes needs -S of at least "},
      {"-S 2M -k 1:int -k 2 badfirst.csv", "tqsort: badfirst.csv:2: column 1 (int): 'x' is not a 64-bit integer\n"},
      {"--header -k id:int h1.csv h2.csv", "tqsort: h2.csv:1: the header 'id,nom' differs from the header of 'h1.csv'\n"},
  };
  for (const Case& c : cases) {
    for (const char* parallel : {"--parallel=1", "--parallel=2"}) {
      Result r = tqsort(std::string(parallel) + " " + c.args);
      EXPECT_EQ(r.status, 2) << parallel << " " << c.args;
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << parallel << " " << c.args;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
  }
  EXPECT_TRUE(filesWithPrefix(dir_, "tqsort-").empty());
}

// Lines are stored without the key fields that the keys can write again: every way a
// field may be written must come back byte for byte, in its place.
TEST_F(TqsortTest, KeyFieldsLeftOutOfStoredLinesComeBackAsTheyWere) {
  struct Rec {
    int64_t n;
    bool null;
    std::string line;
    std::string name;   // unquoted
    std::string index;  // the fifth field
  };
  const char* ints[] = {"5", "+5", "05", "-0", "0", " 7", "7 ", "-12", "", "\"42\"", "9223372036854775807",
                        "-9223372036854775808", "00", "-", "1"};
  const int64_t values[] = {5, 5, 5, 0, 0, 7, 7, -12, 0, 42, INT64_MAX, INT64_MIN, 0, 0, 1};
  std::vector<Rec> recs;
  std::string text;
  std::mt19937_64 rng(3);
  for (int i = 0; i < 600; ++i) {
    size_t v = rng() % std::size(ints);
    if (std::string(ints[v]) == "-") v = 0;
    std::string date = rng() % 3 == 0 ? " 2020-01-0" + std::to_string(1 + rng() % 9) : "2019-12-3" + std::to_string(rng() % 2);
    std::string name = rng() % 4 == 0 ? "\"q, " + std::to_string(rng() % 5) + "\"" : "n" + std::to_string(rng() % 5);
    Rec r;
    r.null = ints[v][0] == '\0';
    r.n = values[v];
    r.name = name[0] == '"' ? name.substr(1, name.size() - 2) : name;
    r.index = std::to_string(i);
    r.line = name + "," + ints[v] + "," + date + "," + name + "," + std::to_string(i) + (i % 7 == 0 ? "\r\n" : "\n");
    recs.push_back(r);
    text += r.line;
  }
  writeFile(dir_ + "/k.csv", text);
  std::vector<Rec> byInt = recs;
  std::stable_sort(byInt.begin(), byInt.end(), [](const Rec& a, const Rec& b) {
    if (a.null != b.null) return a.null;
    return !a.null && a.n < b.n;
  });
  std::string expected;
  for (const Rec& r : byInt) expected += r.line;
  std::vector<Rec> byName = recs, byIndex = recs;
  std::stable_sort(byName.begin(), byName.end(), [](const Rec& a, const Rec& b) { return a.name < b.name; });
  std::stable_sort(byIndex.begin(), byIndex.end(), [](const Rec& a, const Rec& b) { return a.index < b.index; });
  std::string expectedByName, expectedByIndex;
  for (const Rec& r : byName) expectedByName += r.line;
  for (const Rec& r : byIndex) expectedByIndex += r.line;
  for (const char* parallel : {"--parallel=1", "--parallel=2"}) {
    SCOPED_TRACE(parallel);
    Result r = tqsort(std::string(parallel) + " -s -k 2:int k.csv");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected);
    // Several keys of one column, keys out of column order, quoted strings.
    r = tqsort(std::string(parallel) + " -s -k 4 -k 1 -k 4:r k.csv");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expectedByName);
    r = tqsort(std::string(parallel) + " -s -k 5 -k 1 k.csv");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expectedByIndex);
    Result dates = tqsort(std::string(parallel) + " -s -k 3:date -k 2:int -k 1 k.csv");
    ASSERT_EQ(dates.status, 0) << dates.err;
    std::string sortedIn = text, sortedOut = dates.out;
    EXPECT_EQ(sortedOut.size(), sortedIn.size());
    std::sort(sortedIn.begin(), sortedIn.end());
    std::sort(sortedOut.begin(), sortedOut.end());
    EXPECT_TRUE(sortedIn == sortedOut) << "bytes were lost or changed";
  }
  // A header naming the column that a numbered key also names; an unterminated last line.
  writeFile(dir_ + "/h.csv", "id,name\n3,c\n1,a\n2,b");
  Result r = tqsort("--header -k id:int -k 1 -k name h.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "id,name\n1,a\n2,b\n3,c\n");
  // A string key ending in a zero byte (which a string value drops) keeps its byte.
  writeFile(dir_ + "/z.csv", std::string("b\0,1\na,2\nb,3\n", 13));
  r = tqsort("-s -k 1 z.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string("a,2\nb\0,1\nb,3\n", 13));
  // A line longer than the reader copies, but short enough to be sorted as it is.
  std::string wide = "b," + std::string(1300000, 'w') + ",2\n";
  writeFile(dir_ + "/w.csv", "c,x,3\n" + wide + "a,y,1\n");
  r = tqsort("-S 400M --parallel=2 -k 3:int -k 1 w.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out == "a,y,1\n" + wide + "c,x,3\n");
}

// Without -S a sort that is given a row too big for its memory grows: every row before
// and after it comes out, in order, equal keys in input order.
TEST_F(TqsortTest, ASortGrowsForARowItsMemoryCannotHold) {
  std::mt19937_64 rng(8);
  std::string before, after;
  for (int i = 0; i < 40000; ++i) before += "k" + std::to_string(rng() % 300) + ",b" + std::to_string(i) + "\n";
  for (int i = 0; i < 40000; ++i) after += "k" + std::to_string(rng() % 300) + ",a" + std::to_string(i) + "\n";
  std::string heavy = "k" + std::string(32u << 20, '5') + ",heavy\n";  // more than 64 MiB hold
  writeFile(dir_ + "/g.csv", before + heavy + after);
  for (const char* parallel : {"--parallel=1", "--parallel=2"}) {
    SCOPED_TRACE(parallel);
    Result ours = tqsort(std::string(parallel) + " -s -k 1 g.csv");
    ASSERT_EQ(ours.status, 0) << ours.err;
    Result gnu = shell("sort -s -t, -k1,1 g.csv");
    ASSERT_EQ(gnu.status, 0);
    EXPECT_TRUE(ours.out == gnu.out);
    ours = tqsort(std::string(parallel) + " -u -k 1 g.csv");
    gnu = shell("sort -u -t, -k1,1 g.csv");
    ASSERT_EQ(ours.status, 0) << ours.err;
    EXPECT_TRUE(ours.out == gnu.out);
    // Without -s the line is the last key, kept only in the library's key: the rows
    // that go over to the larger sort take it back from there.
    ours = tqsort(std::string(parallel) + " -k 1 g.csv");
    gnu = shell("sort -t, -k1,1 g.csv");
    ASSERT_EQ(ours.status, 0) << ours.err;
    EXPECT_TRUE(ours.out == gnu.out);
    // Both fields kept only in the key, the first found there by its terminator, cut
    // out of the stored line (-s): the larger sort takes each back.
    ours = tqsort(std::string(parallel) + " -s -k 1 -k 2:r g.csv");
    gnu = shell("sort -s -t, -k1,1 -k2,2r g.csv");
    ASSERT_EQ(ours.status, 0) << ours.err;
    EXPECT_TRUE(ours.out == gnu.out);
  }
  EXPECT_TRUE(filesWithPrefix(dir_, "tqsort-").empty());
}

// The library takes the sizes tqsort chooses as they are: it never raises a chunk (or
// the memory with it) to hold its widest row, whatever the keys.
TEST_F(TqsortTest, TheLibraryTakesTheSizesAsChosen) {
  writeFile(dir_ + "/two.csv", "1,2,2020-01-01,t\n3,4,2021-01-01,f\n");
  const char* keySets[] = {"-k 1", "-k 1 -k 2 -k 1:r -k 2:int", "-s -k 2:dec -k 3:date -k 4:bool -k 1",
                           "-u -k 1 -k 2 -k 3 -k 4 -k 1:int -k 2:dec"};
  for (const char* keys : keySets) {
    for (const char* memory : {"1M", "3M", "64M", "1G"}) {
      for (const char* parallel : {"--parallel=1", "--parallel=2"}) {
        std::string args = std::string(parallel) + " -S " + memory + " " + keys;
        SCOPED_TRACE(args);
        std::vector<std::string> words = {"tqsort"};
        std::istringstream split(args);
        for (std::string w; split >> w;) words.push_back(w);
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        tqsort::Options options;
        tqsort::Action action;
        ASSERT_TRUE(tqsort::parseOptions(static_cast<int>(argv.size()), argv.data(), &options, &action).ok());
        tqsort::SortSizes sizes = tqsort::chooseSortSizes(options, -1);
        Result r = tqsort("--stats " + args + " two.csv");
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string prefix = "tqsort:   ";
        EXPECT_NE(r.err.find(prefix + "Resolved SORTBYTES: " + std::to_string(sizes.sortBytes) + "\n"), std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find(prefix + "Resolved CHUNKSIZE: " + std::to_string(sizes.chunkBytes) + "\n"), std::string::npos)
            << r.err;
        EXPECT_LE(uint64_t{sizes.sortBytes} * static_cast<uint64_t>(sizes.shards), sizes.memory);
      }
    }
  }
}

// Several sorts' rows are merged by the order the library gives each of them: with
// every key type, both directions and nulls, two processors put out what one does.
TEST_F(TqsortTest, SeveralSortsMergeInTheLibrarysKeyOrder) {
  std::mt19937_64 rng(12);
  const char* decimals[] = {"1", "1.0", "1.00", "-0", "0", "0.5", "-2.25", "1e3", "999.999", "-1e-3", ""};
  const char* dates[] = {"1969-12-31", "1970-01-01", "0001-01-01", "9999-12-31", "2000-02-29", "1900-03-01", ""};
  const char* bools[] = {"true", "no", "1", "f", "Y", ""};
  std::string text;
  for (int i = 0; i < 30000; ++i) {
    text += std::to_string(static_cast<int64_t>(rng() % 7) - 3) + "," + decimals[rng() % std::size(decimals)] + "," +
            dates[rng() % std::size(dates)] + "," + bools[rng() % std::size(bools)] + ",s" +
            std::string(rng() % 3, static_cast<char>('a' + rng() % 3)) + "\n";
  }
  writeFile(dir_ + "/all.csv", text);
  for (const char* keys : {"-s -k 2:dec:r -k 3:date -k 4:bool:r -k 1:int -k 5", "-s -k 3:date:r -k 2:dec -k 5:r",
                           "-u -k 4:bool -k 2:dec", "-s -k 5 -k 1:int:r"}) {
    sameOnEveryProcessorCount(keys, "all.csv");
  }
}

// The merge of several sorts compares the key bytes each sort hands back: equal keys
// are ordered by the whole line (without -s and -u) or by input order (-s), in either
// direction; empty fields are nulls; long lines go to the line file and are ordered by
// their first bytes.  Two and four processors put out what one does.
TEST_F(TqsortTest, SeveralSortsMergeTiesNullsAndLongLinesAsOneSortDoes) {
  std::mt19937_64 rng(21);
  std::string text;
  for (int i = 0; i < 20000; ++i) {
    std::string id = rng() % 10 == 0 ? "" : std::to_string(static_cast<int64_t>(rng() % 40) - 20);
    std::string name = rng() % 10 == 0 ? "" : std::string(1 + rng() % 2, static_cast<char>('a' + rng() % 3));
    std::string tail(rng() % 200 == 0 ? 20000 + rng() % 20000 : rng() % 4, 'x');
    for (char& c : tail) c = static_cast<char>('a' + rng() % 26);
    text += id + "," + name + "," + tail + "\n";
  }
  writeFile(dir_ + "/ties.csv", text);
  for (const char* keys : {"-k 1:int", "-r -k 2 -k 1:int", "-k 2:r -k 1:int", "-s -k 2", "-s -r -k 1:int",
                           "-u -k 2:r -k 1:int", "-k 3"}) {
    sameOnEveryProcessorCount(keys, "ties.csv");
  }
}
