// tqsort's parts on their own: the CSV scanner, the typed value parsers, the option
// checks, the message helpers, the input's batches and the output stream.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "platform/npframe.h"
#include "platform/tqbconfig.h"
#include "platform/tqfault.h"
#include "test_support.h"
#include "tqsort_csv.h"
#include "tqsort_input.h"
#include "tqsort_parse.h"
#include "tqsort_pipeline.h"
#include "tqsort_options.h"
#include "tqsort_shard.h"
#include "tqsort_output.h"
#include "tqsort_status.h"
#include "tqsort_tempfile.h"
#include "tqsort_values.h"

namespace {

struct Scanned {
  std::vector<std::string> records;
  tqsort::Scan last = tqsort::Scan::NeedMore;
  tqsort::ScanProblem problem;
};

Scanned scan(const std::string& text, bool atEnd, char sep = ',') {
  Scanned out;
  const char* p = text.data();
  const char* end = p + text.size();
  tqsort::Record r;
  while ((out.last = tqsort::nextRecord(p, end, atEnd, sep, &r, &out.problem)) == tqsort::Scan::Record) {
    out.records.emplace_back(r.begin, r.length);
    p += r.length;
  }
  return out;
}

std::vector<std::string> fieldsOf(const std::string& line, char sep, size_t count) {
  tqsort::Record r;
  tqsort::ScanProblem problem;
  EXPECT_EQ(tqsort::nextRecord(line.data(), line.data() + line.size(), true, sep, &r, &problem), tqsort::Scan::Record);
  std::vector<tqsort::Field> fields;
  tqsort::splitFields(r, sep, count, &fields);
  std::vector<std::string> out;
  std::string scratch;
  for (const tqsort::Field& f : fields) {
    const char* data;
    size_t length;
    tqsort::fieldText(f, &scratch, &data, &length);
    out.emplace_back(data, length);
  }
  return out;
}

using Strings = std::vector<std::string>;

}  // namespace

// --- the scanner -------------------------------------------------------------------------

TEST(TqsortCsvTest, RecordsEndAtLineEndsOutsideQuotedFields) {
  EXPECT_EQ(scan("a,b\nc,d\r\ne", true).records, (Strings{"a,b\n", "c,d\r\n", "e"}));
  EXPECT_EQ(scan("a,b\nc,d", false).records, (Strings{"a,b\n"}));  // more may follow
  EXPECT_EQ(scan("\"x\ny\",1\nz\n", true).records, (Strings{"\"x\ny\",1\n", "z\n"}));
  EXPECT_EQ(scan("1,\"a\r\n\"\r\n2\n", true).records, (Strings{"1,\"a\r\n\"\r\n", "2\n"}));
  EXPECT_TRUE(scan("", true).records.empty());
  // A quote that closes at the end of what is in hand may be the first of a doubled
  // pair: the scanner waits for the next byte.
  EXPECT_EQ(scan("\"ab\"", false).last, tqsort::Scan::NeedMore);
  EXPECT_EQ(scan("\"ab\"", true).records, (Strings{"\"ab\""}));
}

TEST(TqsortCsvTest, AQuoteInsideAnUnquotedFieldIsData) {
  // It does not open a quoted field, so the line ends and separators after it count.
  EXPECT_EQ(scan("5 inch\" pipe,3\nbolt,1\n", true).records, (Strings{"5 inch\" pipe,3\n", "bolt,1\n"}));
  EXPECT_EQ(fieldsOf("5 inch\" pipe,3", ',', 2), (Strings{"5 inch\" pipe", "3"}));
  EXPECT_EQ(fieldsOf("a, \"b,c\"", ',', 3), (Strings{"a", " \"b", "c\""}));  // blank first: not quoted
  EXPECT_EQ(fieldsOf("x\"\",\"y\"", ',', 2), (Strings{"x\"\"", "y"}));
}

TEST(TqsortCsvTest, MalformedQuotingIsReportedWhereItStarts) {
  Scanned s = scan("1,a\n2,\"open\nmore\nstill,open", true);
  EXPECT_EQ(s.records, (Strings{"1,a\n"}));
  ASSERT_EQ(s.last, tqsort::Scan::Malformed);
  EXPECT_EQ(s.problem.offset, 2u);  // the opening quote, from the record's start
  EXPECT_NE(std::string(s.problem.what).find("never closed"), std::string::npos);
  // Before the end of the input the field may still close.
  EXPECT_EQ(scan("2,\"open\nmore", false).last, tqsort::Scan::NeedMore);
  s = scan("\"a\"b,c\n", true);
  ASSERT_EQ(s.last, tqsort::Scan::Malformed);
  EXPECT_EQ(s.problem.offset, 3u);
  EXPECT_EQ(scan("\"a\"\rb\n", true).last, tqsort::Scan::Malformed);
  EXPECT_EQ(scan("\"a\"\r", true).records, (Strings{"\"a\"\r"}));  // a last carriage return
}

TEST(TqsortCsvTest, FieldsUnquoteAndPadMissingOnes) {
  EXPECT_EQ(fieldsOf("a,\"b,c\",\"say \"\"hi\"\"\",,e\r\n", ',', 6), (Strings{"a", "b,c", "say \"hi\"", "", "e", ""}));
  EXPECT_EQ(fieldsOf("x\ty\tz", '\t', 2), (Strings{"x", "y"}));
  EXPECT_EQ(fieldsOf("\"multi\nline\",2", ',', 2), (Strings{"multi\nline", "2"}));
  EXPECT_EQ(fieldsOf("\"\",\"\"\"\"", ',', 2), (Strings{"", "\""}));
}

// Random records written the RFC 4180 way come back field for field, whole or fed in
// pieces of any size.
TEST(TqsortCsvTest, RandomRecordsRoundTripWholeAndInPieces) {
  std::mt19937_64 rng(7);
  const std::string alphabet = "ab,\"\n\r x";
  for (int round = 0; round < 200; ++round) {
    std::vector<Strings> rows;
    std::string text;
    size_t rowCount = 1 + rng() % 6;
    for (size_t r = 0; r < rowCount; ++r) {
      Strings row;
      size_t fieldCount = 1 + rng() % 4;
      for (size_t f = 0; f < fieldCount; ++f) {
        std::string value;
        for (size_t n = rng() % 6; n > 0; --n) value += alphabet[rng() % alphabet.size()];
        bool mustQuote = value.find_first_of(",\"\n\r") != std::string::npos;
        // A value whose quote is not first may go unquoted; one that starts with a quote,
        // or holds a separator or line break, must be quoted.
        bool quote = mustQuote && (value.find_first_of(",\n\r") != std::string::npos || value[0] == '"' || rng() % 2);
        if (quote) {
          std::string q = "\"";
          for (char c : value) q += c == '"' ? std::string("\"\"") : std::string(1, c);
          text += q + "\"";
        } else {
          text += value;
        }
        if (f + 1 < fieldCount) text += ',';
        row.push_back(value);
      }
      text += rng() % 2 ? "\r\n" : "\n";
      rows.push_back(row);
    }
    Scanned whole = scan(text, true);
    ASSERT_EQ(whole.last, tqsort::Scan::NeedMore) << text;
    ASSERT_EQ(whole.records.size(), rows.size()) << text;
    for (size_t r = 0; r < rows.size(); ++r) {
      EXPECT_EQ(fieldsOf(whole.records[r], ',', rows[r].size()), rows[r]) << text;
      tqsort::Record rec;
      tqsort::ScanProblem problem;
      const std::string& line = whole.records[r];
      ASSERT_EQ(tqsort::nextRecord(line.data(), line.data() + line.size(), true, ',', &rec, &problem),
                tqsort::Scan::Record);
      EXPECT_EQ(tqsort::countFields(rec, ','), rows[r].size()) << line;
    }
    // Every prefix yields a prefix of the records.
    size_t cut = rng() % (text.size() + 1);
    Scanned part = scan(text.substr(0, cut), false);
    ASSERT_LE(part.records.size(), whole.records.size());
    for (size_t r = 0; r < part.records.size(); ++r) EXPECT_EQ(part.records[r], whole.records[r]) << text;
  }
}

// --- typed values ------------------------------------------------------------------------

TEST(TqsortValuesTest, IntegersAndBooleansAcceptWholeValuesOnly) {
  int64_t v = 0;
  EXPECT_TRUE(tqsort::parseInt64("-9223372036854775808", 20, &v));
  EXPECT_EQ(v, INT64_MIN);
  EXPECT_TRUE(tqsort::parseInt64("+42", 3, &v));
  EXPECT_FALSE(tqsort::parseInt64("9223372036854775808", 19, &v));
  EXPECT_FALSE(tqsort::parseInt64("12a", 3, &v));
  EXPECT_FALSE(tqsort::parseInt64("-", 1, &v));
  bool b = false;
  EXPECT_TRUE(tqsort::parseBool("YES", 3, &b));
  EXPECT_TRUE(b);
  EXPECT_TRUE(tqsort::parseBool("0", 1, &b));
  EXPECT_FALSE(b);
  EXPECT_FALSE(tqsort::parseBool("maybe", 5, &b));
}

// The standard library's reading of an integer, with tqsort's optional '+' sign: the
// reference the eight-digits-at-a-time parser must agree with.
bool referenceInt64(const std::string& text, int64_t* value) {
  const char* p = text.data();
  const char* end = p + text.size();
  if (p != end && *p == '+') {
    ++p;
    if (p != end && *p == '-') return false;
  }
  auto [at, error] = std::from_chars(p, end, *value);
  return error == std::errc() && at == end && p != end;
}

TEST(TqsortValuesTest, IntegersReadAsTheStandardParserReadsThem) {
  std::vector<std::string> texts = {"", "+", "-", "0", "-0", "+0", "00000000", "000000000000000000000000001",
                                    "-0000000000000000000009223372036854775808", "12345678", "123456789",
                                    "99999999999999999", "999999999999999999", "9999999999999999999",
                                    "9223372036854775807", "9223372036854775808", "-9223372036854775808",
                                    "-9223372036854775809", "+9223372036854775807", "18446744073709551616",
                                    "1234567/", "1234567:", "/2345678", ":2345678", "12 45678", "+-1", "-+1",
                                    "--1", "1-", std::string("1234") + '\0' + "678",
                                    "\xb1\xb2\xb3\xb4\xb5\xb6\xb7\xb8"};
  // Random texts: mostly digits, with signs, near-digits (/ :), blanks, bytes whose low
  // nibble is a digit's (0xb5, 0x35 +- 0x10) and zeros, at every length to 24.
  std::mt19937 rng(5);
  const char other[] = {'+', '-', '/', ':', ' ', '\0', '\xb5', '\x25', '\x45', 'a'};
  for (int k = 0; k < 20000; ++k) {
    std::string t;
    size_t n = rng() % 25;
    for (size_t i = 0; i < n; ++i) {
      t.push_back(rng() % 16 == 0 ? other[rng() % sizeof(other)] : static_cast<char>('0' + rng() % 10));
    }
    texts.push_back(t);
  }
  for (const std::string& text : texts) {
    std::vector<char> exact(text.begin(), text.end());  // no byte past the text to read
    int64_t ours = 7, theirs = 7;
    bool ok = tqsort::parseInt64(exact.data(), exact.size(), &ours);
    ASSERT_EQ(ok, referenceInt64(text, &theirs)) << "'" << text << "'";
    if (ok) {
      ASSERT_EQ(ours, theirs) << "'" << text << "'";
    }
  }
}

TEST(TqsortValuesTest, DatesAreYyyyMmDdFromYearOne) {
  int y, m, d;
  auto date = [&](const std::string& t) { return tqsort::parseDate(t.data(), t.size(), &y, &m, &d); };
  EXPECT_TRUE(date("1969-12-31"));
  EXPECT_EQ(y * 10000 + m * 100 + d, 19691231);
  EXPECT_TRUE(date("2024-02-29"));
  EXPECT_TRUE(date("0001-01-01"));
  EXPECT_TRUE(date("9999-12-31"));
  EXPECT_TRUE(date("2000-02-29"));
  for (const char* bad : {"2023-02-29", "1900-02-29", "2023-13-01", "2023-00-10", "2023-04-31", "2023/01/01",
                          "0000-01-01", "-0001-01-01", "999-01-01", "12024-01-01", "2024-1-01", "2024-01-1",
                          "+2024-01-01", "2024-01-01x"}) {
    EXPECT_FALSE(date(bad)) << bad;
  }
}

TEST(TqsortValuesTest, DecimalsAreFiniteExactAndQuickToRefuse) {
  uint8_t raw[24];
  auto dec = [&](const std::string& t) { return tqsort::parseDecimal(t.data(), t.size(), raw); };
  for (const char* good : {"0", "-12.50", "1e2", "1E-3", ".5", "5.", "+7", "1e-98000", "0e100001"}) {
    EXPECT_TRUE(tqsort::isDecimalText(good, std::strlen(good))) << good;
  }
  EXPECT_TRUE(dec("3.14159"));
  for (const char* bad : {"NaN", "nan", "-NaN", "sNaN", "inf", "-inf", "Infinity", "+Infinity", "", ".", "-",
                          "1e", "1e+", "1.2.3", "1,5", "0x10", "1e5x"}) {
    EXPECT_FALSE(dec(bad)) << bad;
  }
  // 53 significant digits are not exact.
  std::string digits53(53, '7');
  EXPECT_FALSE(dec(digits53));
  // Exponents far past the type's range are refused before conversion (which would
  // take seconds over each of these).
  for (const char* huge : {"1e-999999999", "1e999999999", "0e-99999999999999999999", "1e-100002"}) {
    EXPECT_FALSE(tqsort::isDecimalText(huge, std::strlen(huge))) << huge;
  }
}

// --- options -----------------------------------------------------------------------------

namespace {

tqsort::Status parse(std::vector<std::string> args, tqsort::Options* o) {
  args.insert(args.begin(), "tqsort");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  tqsort::Action action;
  return tqsort::parseOptions(static_cast<int>(args.size()), argv.data(), o, &action);
}

}  // namespace

TEST(TqsortOptionsTest, SizesRefuseSignsOverflowAndJunk) {
  uint64_t size = 0;
  EXPECT_TRUE(tqsort::parseSize("1K", &size).ok());
  EXPECT_EQ(size, 1024u);
  EXPECT_TRUE(tqsort::parseSize("3g", &size).ok());
  EXPECT_EQ(size, 3ull << 30);
  EXPECT_TRUE(tqsort::parseSize("18446744073709551615", &size).ok());
  EXPECT_TRUE(tqsort::parseSize("16777215T", &size).ok());
  for (const char* bad : {"-5", "+5", " 5", "0", "", "K", "12Q", "5KB", "16777216T", "18446744073709551616",
                          "99999999999999999999999"}) {
    size = 77;
    EXPECT_FALSE(tqsort::parseSize(bad, &size).ok()) << bad;
    EXPECT_EQ(size, 77u) << bad;
  }
}

TEST(TqsortOptionsTest, KeysTakeEachPartOnce) {
  tqsort::KeyOption key;
  ASSERT_TRUE(tqsort::parseKey("price:r:dec", &key).ok());
  EXPECT_EQ(key.column, "price");
  EXPECT_TRUE(key.descending);
  EXPECT_EQ(key.type, tqsort::KeyType::Dec);
  struct Case {
    const char* text;
    const char* message;
  };
  for (const Case& c : {Case{"1:int:r:r", "'r' given twice"}, Case{"1:int:str", "more than one type"},
                        Case{"1:", "unknown type ''"}, Case{":int", "no column"}, Case{"1:r:x", "unknown type 'x'"}}) {
    tqsort::Status s = tqsort::parseKey(c.text, &key);
    EXPECT_FALSE(s.ok()) << c.text;
    EXPECT_NE(s.message().find(c.message), std::string::npos) << c.text << ": " << s.message();
  }
}

// The numbers -n and -g read: equal numbers give equal texts (so that they tie and the
// line decides), whatever follows the number is left, and -g tells "no number" apart.
TEST(TqsortValuesTest, LeadingNumbersAsNumericSortsReadThem) {
  struct Case {
    const char* field;
    const char* leading;  // -n
    const char* general;  // -g; null: no number
  };
  const Case cases[] = {
      {"", "0", nullptr},          {"abc", "0", nullptr},     {"-", "0", nullptr},
      {"-0", "0", "-0"},           {"-0.000", "0", "-0.000"}, {"007.50x", "7.5", "007.50"},
      {" \t-12.5e3", "-12.5", "-12.5e3"}, {".5", "0.5", ".5"},  {"-.50", "-0.5", "-.50"},
      {"+3", "0", "+3"},           {"1e", "1", "1"},          {"2.", "2", "2."},
      {"1,000", "1", "1"},         {"1e+5z", "1", "1e+5"},    {"00", "0", "00"},
  };
  for (const Case& c : cases) {
    std::string text;
    tqsort::leadingNumber(c.field, std::strlen(c.field), &text);
    EXPECT_EQ(text, c.leading) << "'" << c.field << "'";
    bool number = tqsort::generalNumber(c.field, std::strlen(c.field), &text);
    EXPECT_EQ(number, c.general != nullptr) << "'" << c.field << "'";
    if (number && c.general != nullptr) {
      EXPECT_EQ(text, c.general) << "'" << c.field << "'";
    }
  }
}

// Field-form keys: one field with modifier letters, the orderings given for all keys
// only where a key names none, and the whole line as the key and as the last resort.
TEST(TqsortOptionsTest, FieldFormKeysAndTheLineKeys) {
  tqsort::KeyOption key;
  ASSERT_TRUE(tqsort::parseKey("2,02nr", &key).ok());
  EXPECT_EQ(key.column, "2");
  EXPECT_EQ(key.type, tqsort::KeyType::Dec);
  EXPECT_EQ(key.number, tqsort::NumberRead::Leading);
  EXPECT_TRUE(key.descending && key.ownOrder);
  ASSERT_TRUE(tqsort::parseKey("3bf", &key).ok());
  EXPECT_TRUE(key.fold && key.skipBlanks && key.type == tqsort::KeyType::Str);
  ASSERT_TRUE(tqsort::parseKey("3,3b", &key).ok());
  EXPECT_FALSE(key.skipBlanks);  // 'b' at the end moves only the key's end
  ASSERT_TRUE(tqsort::parseKey("12", &key).ok());
  EXPECT_FALSE(key.ownOrder);
  for (const char* bad : {"1,2", "2,", "1.1", "1,1.2", "1ng", "1M", "1,1d"}) {
    EXPECT_FALSE(tqsort::parseKey(bad, &key).ok()) << bad;
  }
  tqsort::Options o;
  ASSERT_TRUE(parse({"-r", "-n", "-k", "1", "-k", "2:int", "-k", "3f"}, &o).ok());
  ASSERT_EQ(o.keys.size(), 4u);
  EXPECT_TRUE(o.keys[0].descending && o.keys[0].number == tqsort::NumberRead::Leading);
  EXPECT_TRUE(!o.keys[1].descending && o.keys[1].type == tqsort::KeyType::Int);
  EXPECT_TRUE(!o.keys[2].descending && o.keys[2].type == tqsort::KeyType::Str && o.keys[2].fold);
  EXPECT_TRUE(o.keys[3].lastResort && o.keys[3].wholeLine && o.keys[3].descending);
  ASSERT_TRUE(parse({"-s", "-k", "1"}, &o).ok());
  EXPECT_EQ(o.keys.size(), 1u);
  ASSERT_TRUE(parse({}, &o).ok());
  ASSERT_EQ(o.keys.size(), 1u);  // the line, which is its own last resort
  EXPECT_TRUE(o.keys[0].wholeLine && !o.keys[0].lastResort);
  ASSERT_TRUE(parse({"-f"}, &o).ok());
  ASSERT_EQ(o.keys.size(), 2u);  // the folded line, then the line's bytes
  EXPECT_TRUE(o.keys[0].fold && !o.keys[1].fold && o.keys[1].lastResort);
}

TEST(TqsortOptionsTest, EmptyNamesAreRefused) {
  tqsort::Options o;
  EXPECT_NE(parse({"--output=", "-k1"}, &o).message().find("output file name is empty"), std::string::npos);
  EXPECT_NE(parse({"-o", "", "-k1"}, &o).message().find("output file name is empty"), std::string::npos);
  EXPECT_NE(parse({"-T", "", "-k1"}, &o).message().find("temporary directory name is empty"), std::string::npos);
  EXPECT_FALSE(parse({"-k1", ""}, &o).ok());
  ASSERT_TRUE(parse({"-k1", "-o", "out.csv", "a", "-"}, &o).ok());
  EXPECT_EQ(o.output, "out.csv");
  EXPECT_EQ(o.inputs, (Strings{"a", "-"}));
  // A second parse starts afresh.
  ASSERT_TRUE(parse({"-k2"}, &o).ok());
  EXPECT_FALSE(o.outputGiven);
  EXPECT_EQ(o.inputs, (Strings{"-"}));
}

// A mistake in an option is named as the user wrote it, and a long option is found by
// any unique prefix of its name.
TEST(TqsortOptionsTest, MistakesNameTheOptionAsGiven) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"--stable=1", "-k1"}, "option '--stable' takes no argument"},
      {{"--header=yes", "-k1"}, "option '--header' takes no argument"},
      {{"--len=1", "-k1"}, "option '--lenient' takes no argument"},
      {{"--help=x"}, "option '--help' takes no argument"},
      {{"--coll=de", "-k1"}, "'--coll' is ambiguous: --collate, --collation"},
      {{"--p", "-k1"}, "'--p' is ambiguous: --parallel, --progress"},
      {{"--frobnicate=2", "-k1"}, "unknown option '--frobnicate'"},
      {{"-k1", "-x"}, "unknown option '-x'"},
      {{"-k1", "-s\xe8"}, "unknown option '-\\xe8'"},
      {{"-k1", "--output"}, "option '--output' requires an argument"},
      {{"-k1", "-o"}, "option '-o' requires an argument"},
  };
  for (const Case& c : cases) {
    tqsort::Options o;
    tqsort::Status s = parse(c.args, &o);
    EXPECT_FALSE(s.ok()) << c.message;
    EXPECT_EQ(s.message(), c.message);
  }
  tqsort::Options o;
  ASSERT_TRUE(parse({"--stab", "--uniq", "--key=2:int", "--collate=de", "--case=upper", "--tem", "t", "-su", "-k3", "in", "-o", "out"}, &o)
                  .ok());
  EXPECT_TRUE(o.stable && o.unique);
  EXPECT_EQ(o.collate, "de");
  EXPECT_EQ(o.caseFirst, "upper");
  EXPECT_EQ(o.tempDirs, (Strings{"t"}));
  ASSERT_EQ(o.keys.size(), 2u);
  EXPECT_EQ(o.keys[1].index, 2);
  EXPECT_EQ(o.inputs, (Strings{"in"}));
  // "--" ends the options; "-" is standard input; an option's value may start with '-'.
  ASSERT_TRUE(parse({"-k1", "--", "-s", "-"}, &o).ok());
  EXPECT_EQ(o.inputs, (Strings{"-s", "-"}));
  EXPECT_FALSE(o.stable);
  EXPECT_EQ(parse({"-S", "-5", "-k1"}, &o).message(), "invalid buffer size '-5'");
}

TEST(TqsortOptionsTest, ColumnNumbersAndNamesWithColons) {
  tqsort::Options o;
  EXPECT_EQ(parse({"-k", "99999999999999999999"}, &o).message(),
            "invalid key '99999999999999999999': columns are numbered up to 1000000");
  EXPECT_EQ(parse({"-k", "1000001:int"}, &o).message(), "invalid key '1000001:int': columns are numbered up to 1000000");
  EXPECT_EQ(parse({"-k", "0"}, &o).message(), "invalid key '0': columns are numbered from 1");
  EXPECT_EQ(parse({"-k", "-3"}, &o).message(), "invalid key '-3': columns are numbered from 1");
  ASSERT_TRUE(parse({"-k", "0001000000"}, &o).ok());
  EXPECT_EQ(o.keys[0].index, 999999);
  // "\:" and "\\" in a column name; a backslash before anything else stays.
  tqsort::KeyOption key;
  ASSERT_TRUE(tqsort::parseKey("a\\:b\\\\c\\d:int:r", &key).ok());
  EXPECT_EQ(key.column, "a:b\\c\\d");
  EXPECT_EQ(key.type, tqsort::KeyType::Int);
  EXPECT_TRUE(key.descending);
  ASSERT_TRUE(tqsort::parseKey("time\\:", &key).ok());
  EXPECT_EQ(key.column, "time:");
  EXPECT_EQ(key.type, tqsort::KeyType::Str);
}

// --- tqsort's own temporary files ----------------------------------------------------------

class TqsortTempSpillTest : public TempDirTest {};

// Bytes appended in pieces of every size read back from any offset, across segments
// that take the directories in turns.
TEST_F(TqsortTempSpillTest, SegmentsTakeTheDirectoriesInTurnsAndReadAsOne) {
  std::vector<std::string> dirs = {subdir("a"), subdir("b"), subdir("c")};
  std::mt19937_64 rng(4);
  std::string all;
  {
    tqsort::TempSpill spill(dirs, "lines-1", 1, 1000);
    while (all.size() < 20000) {
      std::string piece(rng() % 1500 + 1, '\0');
      for (char& c : piece) c = static_cast<char>('a' + rng() % 26);
      ASSERT_TRUE(spill.append(piece.data(), piece.size()).ok());
      all += piece;
      ASSERT_EQ(spill.size(), all.size());
    }
    ASSERT_GE(spill.segments(), 8u);
    for (size_t i = 0; i < spill.segments(); ++i) {
      EXPECT_EQ(spill.segmentPath(i), dirs[(1 + i) % 3] + "/lines-1." + std::to_string(i));
    }
    for (int i = 0; i < 500; ++i) {
      uint64_t at = rng() % all.size();
      size_t n = static_cast<size_t>(std::min<uint64_t>(all.size() - at, rng() % 3000 + 1));
      std::string got(n, '\0');
      ASSERT_TRUE(spill.read(at, got.data(), n).ok());
      ASSERT_EQ(got, all.substr(at, n)) << "at " << at;
    }
    char byte;
    EXPECT_FALSE(spill.read(all.size(), &byte, 1).ok());
  }
  // The segments go with the spill.
  for (const std::string& d : dirs) EXPECT_TRUE(filesWithPrefix(d, "lines").empty());
  // A directory that cannot take a file is named.
  tqsort::TempSpill nowhere({dir_ + "/missing"}, "spool", 0);
  tqsort::Status s = nowhere.append("x", 1);
  EXPECT_EQ(s.message(), "cannot write the temporary file '" + dir_ + "/missing/spool.0': No such file or directory");
}

// Compressed (the run's codec, "BASE/COMPRESS"): the same bytes at every offset, read
// after partial reads, between appends and across frames and segments; the files hold
// frames, smaller than the bytes; failures where frames are written and read back are
// reported and leave nothing behind.
class TqsortPackedSpillTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    tqbSetConfigValue("BASE/COMPRESS", "lz4");
  }
  void TearDown() override {
    tqFaultReset();
    tqbSetConfigValue("BASE/COMPRESS", nullptr);
    TempDirTest::TearDown();
  }
  // Text that compresses: words from a small list.
  static std::string words(size_t n, uint64_t seed) {
    static const char* const kWords[] = {"alpha,", "beta;", "gamma ", "delta\n", "eps", "zeta,7,"};
    std::mt19937_64 rng(seed);
    std::string text;
    while (text.size() < n) text += kWords[rng() % 6];
    text.resize(n);
    return text;
  }
  static void expectReads(const tqsort::TempSpill& spill, const std::string& all, std::mt19937_64& rng, int count) {
    for (int i = 0; i < count; ++i) {
      uint64_t at = rng() % all.size();
      size_t n = static_cast<size_t>(std::min<uint64_t>(all.size() - at, rng() % (3 * kNpFrameLz4) + 1));
      std::string got(n, '\0');
      ASSERT_TRUE(spill.read(at, got.data(), n).ok()) << "at " << at;
      ASSERT_TRUE(got == all.substr(at, n)) << "at " << at << ", " << n << " bytes";
    }
  }
};

TEST_F(TqsortPackedSpillTest, BytesReadBackAtEveryOffsetAcrossFramesAndSegments) {
  std::vector<std::string> dirs = {subdir("a"), subdir("b")};
  std::mt19937_64 rng(7);
  std::string all;
  {
    tqsort::TempSpill spill(dirs, "spool", 0, 3 * kNpFrameLz4);
    ASSERT_EQ(spill.codec(), kNpCodecLz4);
    // Pieces that end at a frame's end, one byte before and after it, and longer than frames.
    const size_t frame = kNpFrameLz4;
    for (size_t n : {frame, frame - 1, size_t{2}, 3 * frame + 5, size_t{1}}) {
      std::string piece = words(n, n);
      ASSERT_TRUE(spill.append(piece.data(), piece.size()).ok());
      all += piece;
      expectReads(spill, all, rng, 20);  // the written frames and the one that waits
    }
    while (all.size() < 12 * kNpFrameLz4) {
      std::string piece = words(rng() % 40000 + 1, rng());
      ASSERT_TRUE(spill.append(piece.data(), piece.size()).ok());
      all += piece;
    }
    ASSERT_TRUE(spill.seal().ok());
    ASSERT_TRUE(spill.seal().ok());  // twice: nothing more to write
    EXPECT_EQ(spill.size(), all.size());
    EXPECT_GE(spill.segments(), 3u);
    EXPECT_LT(spill.diskBytes(), all.size() / 2);
    expectReads(spill, all, rng, 300);
    // Appends after reads, then reads again.
    std::string more = words(kNpFrameLz4 + 17, 99);
    ASSERT_TRUE(spill.append(more.data(), more.size()).ok());
    all += more;
    expectReads(spill, all, rng, 100);
    // The files hold frames: a header with the raw and compressed lengths first.
    uint32_t lengths[2] = {0, 0};
    std::ifstream first(spill.segmentPath(0), std::ios::binary);
    first.read(reinterpret_cast<char*>(lengths), 8);
    EXPECT_EQ(lengths[0], kNpFrameLz4);
    EXPECT_LT(lengths[1], kNpFrameLz4 / 2);
  }
  for (const std::string& d : dirs) EXPECT_TRUE(filesWithPrefix(d, "spool").empty());
}

TEST_F(TqsortPackedSpillTest, FailedFrameWritesAndReadsAreReportedAndLeaveNothing) {
  std::vector<std::string> dirs = {subdir("a"), subdir("b")};
  const std::string all = words(6 * kNpFrameLz4 + 100, 3);
  std::mt19937_64 rng(8);
  {
    // A frame write that finds its directory full goes on in the next one.
    tqsort::TempSpill spill(dirs, "lines-0", 0);
    tqFaultArm(TqFaultOp::Flush, 2);
    ASSERT_TRUE(spill.append(all.data(), all.size()).ok());
    ASSERT_TRUE(spill.seal().ok());
    EXPECT_EQ(tqFaultsDelivered(), 1);
    EXPECT_EQ(spill.segments(), 2u);
    expectReads(spill, all, rng, 100);
    // A frame that cannot be read back is an error naming the file; the next read
    // of it works.
    tqFaultArm(TqFaultOp::Refill, 1);
    std::string got(10, '\0');
    tqsort::Status failed = spill.read(0, got.data(), got.size());
    EXPECT_EQ(failed.message(), "cannot read the temporary file '" + spill.segmentPath(0) + "': Input/output error");
    ASSERT_TRUE(spill.read(0, got.data(), got.size()).ok());
    EXPECT_EQ(got, all.substr(0, 10));
  }
  {
    // Every directory full: the append fails, at once or when the frame is sealed.
    tqsort::TempSpill spill(dirs, "spool", 1);
    tqFaultArm(TqFaultOp::Flush, 1, TqFaultMode::Fail, true);
    EXPECT_EQ(spill.append(all.data(), all.size()).message(),
              "cannot write the temporary file '" + dirs[0] +
                  "/spool.0': No space left on device (so are the other temporary directories)");
    tqsort::TempSpill small(dirs, "order", 0);
    ASSERT_TRUE(small.append("abc", 3).ok());
    tqsort::Status sealed = small.seal();
    EXPECT_FALSE(sealed.ok());
    EXPECT_NE(sealed.message().find("No space left on device"), std::string::npos) << sealed.message();
    tqFaultReset();
  }
  for (const std::string& d : dirs) EXPECT_TRUE(filesWithPrefix(d, "").empty()) << d;
}

// --- messages ----------------------------------------------------------------------------

TEST(TqsortMessagesTest, EchoedTextIsOneVisibleLine) {
  EXPECT_EQ(tqsort::printable("a\x01" "b\n\t\x7f\\"), "a\\x01b\\n\\t\\x7f\\\\");
  EXPECT_EQ(tqsort::printable("caf\xc3\xa9"), "caf\xc3\xa9");  // UTF-8 stays readable
  EXPECT_EQ(tqsort::printable(std::string(300, 'x'), 5), "xxxxx...");
}

TEST(TqsortMessagesTest, Utf8IsTakenOnlyWellFormed) {
  struct Case {
    const char* bytes;
    size_t length;  // of the first sequence; 0: not UTF-8
  };
  for (const Case& c : {Case{"a", 1}, Case{"\xc2\x80", 2}, Case{"\xdf\xbf", 2}, Case{"\xe0\xa0\x80", 3},
                        Case{"\xed\x9f\xbf", 3}, Case{"\xee\x80\x80", 3}, Case{"\xf0\x90\x80\x80", 4},
                        Case{"\xf4\x8f\xbf\xbf", 4}, Case{"\x80", 0}, Case{"\xc0\x80", 0}, Case{"\xc1\xbf", 0},
                        Case{"\xe0\x9f\xbf", 0}, Case{"\xed\xa0\x80", 0}, Case{"\xf0\x8f\xbf\xbf", 0},
                        Case{"\xf4\x90\x80\x80", 0}, Case{"\xf5\x80\x80\x80", 0}, Case{"\xe2\x82", 0},
                        Case{"\xe2(\xac", 0}, Case{"\xff", 0}}) {
    EXPECT_EQ(tqsort::utf8SequenceLength(c.bytes), c.length) << tqsort::printable(c.bytes);
  }
  EXPECT_EQ(tqsort::firstInvalidUtf8("plain ascii, longer than eight"), std::string_view::npos);
  EXPECT_EQ(tqsort::firstInvalidUtf8("0123456789abcd\xc3\xa9\xe9"), 16u);
  EXPECT_EQ(tqsort::firstInvalidUtf8(std::string_view("a\0b", 3)), std::string_view::npos);
  EXPECT_EQ(tqsort::printable("caf\xe9 caf\xc3\xa9"), "caf\\xe9 caf\xc3\xa9");
}

TEST(TqsortMessagesTest, SystemErrorsReadAsTheirText) {
  EXPECT_EQ(tqsort::systemError(28), "No space left on device");
}

// --- the merge's key bytes ------------------------------------------------------------------

class TqsortKeysTest : public TempDirTest {
 protected:
  // Sorts `values` (one column of `type`) with the library, marking groups, and checks
  // that appendSortKey's bytes of the rows read back never go down and are equal
  // exactly within a group: tqsort's merge of several sorts orders and groups as one.
  void expectLibraryOrder(tqbType type, tqsort::KeyType keyType, const std::vector<TqbDatavar>& values) {
    for (uint32_t engine : {uint32_t{TqDatafile::FlagVariableRows}, uint32_t{0}, uint32_t{TqDatafile::FlagExternalSort}}) {
      for (bool descending : {false, true}) {
        SCOPED_TRACE("engine flags " + std::to_string(engine) + (descending ? ", descending" : ""));
        TqbString error;
        TqDatafileManager* m = tqDatafileManagerCreate(dir_.c_str(), &error);
        ASSERT_NE(m, nullptr) << error.asCstr();
        ASSERT_TRUE(m->setColumns(1) && m->setColSpec(0, type, 8) && m->setSortMarkByGroups(true));
        TqDatafile* f = m->createFile(TqDatafile::FlagSorted | engine);
        ASSERT_NE(f, nullptr) << m->getError().asCstr();
        ASSERT_EQ(f->resetSort(1), 0);
        ASSERT_EQ(f->setSort(0, 0, descending ? 0 : 1, nullptr), 0);
        for (const TqbDatavar& v : values) {
          *f->getField(0) = v;
          ASSERT_EQ(f->addRow(nullptr), 0) << f->getError().asCstr();
        }
        std::string last;
        bool mark = true;
        size_t rows = 0;
        for (int32_t status = f->sort(); status == 0; status = f->next(&mark), ++rows) {
          std::string key;
          tqsort::appendSortKey(&key, keyType, descending, *f->getField(0));
          if (rows > 0) {
            EXPECT_LE(last, key) << "row " << rows;
            EXPECT_EQ(key == last, !mark) << "row " << rows;
          }
          last = key;
        }
        EXPECT_EQ(rows, values.size());
        f->release();
        m->release();
      }
    }
  }
};

TEST_F(TqsortKeysTest, MergeKeysOrderAndGroupAsTheLibrarySorts) {
  const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<TqbDatavar> dates;
  for (double d : {0.0, -0.0, 0.0, -1.5, nan, -nan, inf, -inf, 19000.25}) {
    dates.emplace_back();
    dates.back().assign(TqbDate(d));
  }
  dates.emplace_back();  // null
  expectLibraryOrder(tqbTypeDate, tqsort::KeyType::Date, dates);

  std::vector<TqbDatavar> reals;
  for (const char* text : {"0", "-0", "1.0", "1", "-2.5", "NaN", "-NaN", "Infinity", "-Infinity", "1E-98354"}) {
    uint8_t raw[24];
    tqbDecimalFromString(text, std::strlen(text), raw);
    reals.emplace_back();
    reals.back().assign(tqbTypeReal, raw, 24);
  }
  reals.emplace_back();
  expectLibraryOrder(tqbTypeReal, tqsort::KeyType::Dec, reals);

  std::vector<TqbDatavar> strings;
  for (const char* text : {"", "b", "a", "ab", "a", "\xc3\xbc"}) {
    strings.emplace_back();
    strings.back().assign(text);
  }
  strings.emplace_back();
  expectLibraryOrder(tqbTypeString, tqsort::KeyType::Str, strings);

  std::vector<TqbDatavar> integers;
  for (int64_t i : {int64_t{0}, int64_t{-1}, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(), int64_t{-1}}) {
    integers.emplace_back();
    integers.back().assign(i);
  }
  integers.emplace_back();
  expectLibraryOrder(tqbTypeInteger, tqsort::KeyType::Int, integers);

  std::vector<TqbDatavar> booleans(3);
  booleans[0].assign(true);
  booleans[1].assign(false);
  expectLibraryOrder(tqbTypeBoolean, tqsort::KeyType::Bool, booleans);
}

// --- output paths ------------------------------------------------------------------------

class TqsortLinksTest : public TempDirTest {};

TEST_F(TqsortLinksTest, LinksResolveToTheirTargetAndLoopsFail) {
  std::string target = dir_ + "/data.csv";
  ASSERT_EQ(symlink("data.csv", (dir_ + "/rel").c_str()), 0);
  ASSERT_EQ(symlink((dir_ + "/rel").c_str(), (dir_ + "/abs").c_str()), 0);
  std::string resolved;
  bool proc = true;
  ASSERT_TRUE(tqsort::resolveLinks(dir_ + "/abs", &resolved, &proc).ok());
  EXPECT_EQ(resolved, target);  // a dangling chain still names where the file goes
  EXPECT_FALSE(proc);
  ASSERT_TRUE(tqsort::resolveLinks("/dev/stdout", &resolved, &proc).ok());
  EXPECT_TRUE(proc);
  ASSERT_EQ(symlink("loop2", (dir_ + "/loop1").c_str()), 0);
  ASSERT_EQ(symlink("loop1", (dir_ + "/loop2").c_str()), 0);
  tqsort::Status s = tqsort::resolveLinks(dir_ + "/loop1", &resolved, &proc);
  EXPECT_FALSE(s.ok());
  EXPECT_NE(s.message().find(tqsort::systemError(ELOOP)), std::string::npos) << s.message();
}

// --- batches: records cut across batches, on one thread and with a reader thread -------

namespace {

// The rows a sort would get, as text: "file:line|key values|record bytes".
class RowCollector : public tqsort::BatchConsumer {
 public:
  tqsort::Status consume(tqsort::Batch& batch) override {
    size_t k = batch.rows.empty() ? 0 : batch.values.size() / batch.rows.size();
    for (size_t r = 0; r < batch.rows.size(); ++r) {
      const tqsort::Row& row = batch.rows[r];
      std::string text = batch.file->shown + ":" + std::to_string(row.line) + "|";
      for (size_t i = 0; i < k; ++i) {
        const tqsort::KeyValue& v = batch.values[r * k + i];
        switch (v.kind) {
          case tqsort::KeyValue::Null: text += "null"; break;
          case tqsort::KeyValue::Int: text += "int " + std::to_string(v.integer); break;
          case tqsort::KeyValue::Text: text += "str " + std::string(batch.bytesOf(v), v.length); break;
          default: text += "other"; break;
        }
        text += "|";
      }
      rows.push_back(text + std::string(batch.data() + row.offset, row.length));
    }
    return failAfter_ >= 0 && static_cast<int>(rows.size()) > failAfter_ ? tqsort::Status::error("sort failed")
                                                                        : tqsort::Status();
  }
  void failAfter(int rowCount) { failAfter_ = rowCount; }
  Strings rows;

 private:
  int failAfter_ = -1;
};

struct Fed {
  tqsort::Status status = tqsort::Status();
  Strings rows;
  std::string header;
  bool bom = false;
};

Fed feed(const std::vector<std::string>& files, const std::vector<std::string>& keyArgs, bool header,
         const tqsort::BatchLimits& limits, bool threaded) {
  std::vector<tqsort::KeyOption> keys;
  for (const std::string& k : keyArgs) {
    tqsort::KeyOption key;
    EXPECT_TRUE(tqsort::parseKey(k, &key).ok());
    if (std::isdigit(static_cast<unsigned char>(key.column[0]))) key.index = std::stoi(key.column) - 1;
    keys.push_back(key);
  }
  tqsort::InputReader reader(files, ',', header, nullptr);
  EXPECT_TRUE(reader.check().ok());
  tqsort::RecordParser parser(keys, ',', false);
  RowCollector collector;
  Fed out;
  out.status = tqsort::feedSort(&reader, &parser, {&collector}, limits, threaded);
  out.rows = collector.rows;
  out.header = reader.header();
  out.bom = reader.startsWithBom();
  return out;
}

}  // namespace

class TqsortBatchTest : public TempDirTest {
 protected:
  std::string file(const std::string& name, const std::string& text) {
    std::string path = dir_ + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    return path;
  }
};

// Every cut of the input into batches, however small (down to one row and a few bytes
// a batch), gives the rows, lines and keys of reading it whole, with a reader thread
// and without.
TEST_F(TqsortBatchTest, RecordsCutAcrossBatchesComeOutWhole) {
  std::string long1(5000, 'L');
  std::string a = file("a.csv", std::string("\xEF\xBB\xBF") + "id,name\r\n3,\"x,\ny\"\r\n1,plain\n\n" + "7," + long1 +
                                    "\n2,\"say \"\"hi\"\"\"\n-5,last");
  std::string b = file("b.csv", "id,name\n9,\"multi\nline\nfield\"\n4,\n");
  tqsort::BatchLimits whole;
  whole.bytes = 1 << 20;
  Fed reference = feed({a, b}, {"1:int", "2"}, true, whole, false);
  ASSERT_TRUE(reference.status.ok()) << reference.status.message();
  ASSERT_EQ(reference.rows.size(), 8u);
  EXPECT_EQ(reference.rows[0], a + ":2|int 3|str x,\ny|3,\"x,\ny\"\r\n");
  EXPECT_EQ(reference.rows[2], a + ":5|null|null|\n");  // an empty line: every key null
  EXPECT_EQ(reference.rows[5], a + ":8|int -5|str last|-5,last\n");  // given the line end before it
  EXPECT_EQ(reference.rows[6], b + ":2|int 9|str multi\nline\nfield|9,\"multi\nline\nfield\"\n");
  EXPECT_EQ(reference.header, "id,name\r\n");
  EXPECT_TRUE(reference.bom);
  for (size_t bytes : {1, 2, 3, 7, 16, 100, 4999, 5003}) {
    for (size_t rows : {1, 2, 3, 1000}) {
      for (bool threaded : {false, true}) {
        tqsort::BatchLimits limits;
        limits.bytes = bytes;
        limits.rows = rows;
        Fed cut = feed({a, b}, {"1:int", "2"}, true, limits, threaded);
        ASSERT_TRUE(cut.status.ok()) << cut.status.message();
        EXPECT_EQ(cut.rows, reference.rows) << bytes << " bytes, " << rows << " rows, threaded " << threaded;
        EXPECT_EQ(cut.header, reference.header);
      }
    }
  }
}

// A bad record ends the reading with its own message, after the rows before it have
// reached the sort; a failed sort stops the reader, and its failure is the one reported.
TEST_F(TqsortBatchTest, FailuresKeepTheirPlaceInTheInput) {
  std::string text;
  for (int i = 0; i < 3000; ++i) text += std::to_string(i) + ",row\n";
  std::string bad = file("bad.csv", text + "x,oops\n" + text);
  std::string open = file("open.csv", text + "1,\"never closed\n" + text);
  for (bool threaded : {false, true}) {
    tqsort::BatchLimits limits;
    limits.bytes = 4096;
    limits.rows = 100;
    Fed f = feed({bad}, {"1:int"}, false, limits, threaded);
    EXPECT_EQ(f.status.message(), bad + ":3001: column 1 (int): 'x' is not a 64-bit integer");
    EXPECT_EQ(f.rows.size(), 3000u) << "the rows before the bad one go to the sort first";
    f = feed({open}, {"1:int"}, false, limits, threaded);
    EXPECT_EQ(f.status.message(), open + ":3001: a quoted field opens on this line and is never closed");
    EXPECT_EQ(f.rows.size(), 3000u);
    // The sort fails on row 150: that is the failure, and the reader stops.
    std::vector<tqsort::KeyOption> keys(1);
    keys[0].index = 0;
    keys[0].type = tqsort::KeyType::Int;
    tqsort::InputReader reader({bad}, ',', false, nullptr);
    ASSERT_TRUE(reader.check().ok());
    tqsort::RecordParser parser(keys, ',', false);
    RowCollector collector;
    collector.failAfter(150);
    tqsort::Status s = tqsort::feedSort(&reader, &parser, {&collector}, limits, threaded);
    EXPECT_EQ(s.message(), "sort failed");
    EXPECT_LT(collector.rows.size(), 3000u);
  }
}

// --- the output stream ------------------------------------------------------------------

class TqsortOutputStreamTest : public TempDirTest {};

TEST_F(TqsortOutputStreamTest, EveryByteArrivesInOrderAndFailuresAreReported) {
  std::mt19937_64 rng(11);
  std::string expected;
  std::vector<std::string> pieces;
  for (int i = 0; i < 3000; ++i) {
    std::string piece(rng() % 3 == 0 ? rng() % 5000 : rng() % 50, static_cast<char>('a' + i % 26));
    pieces.push_back(piece);
    expected += piece;
  }
  for (bool threaded : {false, true}) {
    std::string path = dir_ + "/out" + std::to_string(threaded);
    tqsort::OutputTarget target;
    ASSERT_TRUE(target.prepare(path).ok());
    ASSERT_TRUE(target.begin().ok());
    {
      tqsort::OutputStream out(&target, 1000, threaded);  // pieces larger than a buffer too
      for (const std::string& p : pieces) ASSERT_TRUE(out.write(p.data(), p.size()).ok());
      ASSERT_TRUE(out.flush().ok());
    }
    ASSERT_TRUE(target.commit().ok());
    FILE* f = std::fopen(path.c_str(), "rb");
    std::string got(expected.size() + 1, '\0');
    got.resize(std::fread(got.data(), 1, got.size(), f));
    std::fclose(f);
    EXPECT_TRUE(got == expected) << "threaded " << threaded;
  }
  // A device that is always full: the failure comes back, from either writer.
  for (bool threaded : {false, true}) {
    tqsort::OutputTarget target;
    ASSERT_TRUE(target.prepare("/dev/full").ok());
    ASSERT_TRUE(target.begin().ok());
    tqsort::OutputStream out(&target, 1000, threaded);
    tqsort::Status s;
    for (const std::string& p : pieces) {
      if (!(s = out.write(p.data(), p.size())).ok()) break;
    }
    if (s.ok()) s = out.flush();
    EXPECT_EQ(s.message(), "cannot write '/dev/full': No space left on device") << "threaded " << threaded;
  }
}
