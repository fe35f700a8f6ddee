// tqsort --collate end to end: the order of every option against ICU's own comparison,
// inputs that outgrow the memory and the key columns, and the errors a user can make.
#include <gtest/gtest.h>
#include <unicode/ucol.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tqsort_support.h"

namespace {

// ICU's collator as a test builds it, independently of the library's mapping.
struct Collator {
  explicit Collator(const char* locale) {
    UErrorCode status = U_ZERO_ERROR;
    handle = ucol_open(locale, &status);
    EXPECT_TRUE(U_SUCCESS(status)) << locale;
  }
  ~Collator() { ucol_close(handle); }
  void set(UColAttribute attribute, UColAttributeValue value) {
    UErrorCode status = U_ZERO_ERROR;
    ucol_setAttribute(handle, attribute, value, &status);
    EXPECT_TRUE(U_SUCCESS(status));
  }
  int compare(const std::string& a, const std::string& b) const {
    UErrorCode status = U_ZERO_ERROR;
    UCollationResult r = ucol_strcollUTF8(handle, a.data(), static_cast<int32_t>(a.size()), b.data(),
                                          static_cast<int32_t>(b.size()), &status);
    return r == UCOL_LESS ? -1 : r == UCOL_GREATER ? 1 : 0;
  }
  UCollator* handle = nullptr;
};

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size() - 1;
    lines.push_back(text.substr(at, nl + 1 - at));
    at = nl + 1;
  }
  return lines;
}

std::string field(const std::string& line, int index) {
  size_t begin = 0;
  for (int i = 0; i < index; ++i) begin = line.find(',', begin) + 1;
  size_t end = line.find_first_of(",\n", begin);
  return line.substr(begin, end - begin);
}

// Lines "word,number,rest": words made of letters that collations disagree on (accents,
// case, German and Swedish letters, digits, punctuation and spaces), so that ties at
// some strengths and differences at others are common.
std::string makeWords(size_t rows, uint64_t seed, size_t longest = 12) {
  static const char* const kPieces[] = {"a", "A", "ä", "Ä", "ae", "o", "ö", "Ö", "oe", "u", "ü", "ss", "ß",
                                        "z", "Z", "å", "é", "e", "E", "1", "2", "10", "9", "-", " ", ".",
                                        "ch", "c", "h", "'"};
  std::mt19937_64 rng(seed);
  std::string text;
  for (size_t r = 0; r < rows; ++r) {
    size_t pieces = 1 + rng() % longest;
    std::string word;
    for (size_t i = 0; i < pieces; ++i) word += kPieces[rng() % (sizeof kPieces / sizeof kPieces[0])];
    if (rng() % 50 == 0) word.clear();
    text += word + "," + std::to_string(static_cast<int64_t>(rng() % 7) - 3) + ",row " + std::to_string(r) + "\n";
  }
  return text;
}

// The input's lines in the order of `collator` on field 0 (descending when asked), then
// field 1 as an integer descending; equal rows keep their input order.
std::string reference(const std::string& text, const Collator& collator, bool descending, bool byNumber,
                      bool unique = false) {
  std::vector<std::string> lines = splitLines(text);
  auto compare = [&](const std::string& a, const std::string& b) {
    // An empty field is a null: lower than every value, also than one the collation
    // ignores entirely (" " with ignorable punctuation).
    const std::string fa = field(a, 0), fb = field(b, 0);
    int c = fa.empty() || fb.empty() ? static_cast<int>(!fa.empty()) - static_cast<int>(!fb.empty())
                                     : collator.compare(fa, fb);
    if (descending) c = -c;
    if (c == 0 && byNumber) {
      long long x = std::stoll(field(a, 1)), y = std::stoll(field(b, 1));
      c = x > y ? -1 : x < y ? 1 : 0;
    }
    return c;
  };
  std::stable_sort(lines.begin(), lines.end(), [&](const std::string& a, const std::string& b) {
    return compare(a, b) < 0;
  });
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (unique && i > 0 && compare(lines[i - 1], lines[i]) == 0) continue;
    out += lines[i];
  }
  return out;
}

bool fileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

struct Case {
  const char* options;  // tqsort's collation options
  const char* locale;   // ICU's locale for the same order
  UColAttribute attribute;
  UColAttributeValue value;
  UCollationStrength strength;
};

}  // namespace

class TqsortCollateTest : public TqsortRunTest {
 protected:
  void expectOrder(const std::string& args, const std::string& file, const std::string& expected) {
    TqsortResult r = tqsort(args + " " + file);
    ASSERT_EQ(r.status, 0) << args << ": " << r.err;
    ASSERT_EQ(r.out.size(), expected.size()) << args;
    if (r.out != expected) {
      std::vector<std::string> got = splitLines(r.out), want = splitLines(expected);
      size_t i = 0;
      while (i < got.size() && got[i] == want[i]) ++i;
      FAIL() << args << ": line " << i + 1 << " is " << got[i] << " where ICU has " << want[i];
    }
  }
};

// Every collation option in both directions, with a second key that breaks the ties,
// stable: the output must be exactly ICU's order of the same lines.
TEST_F(TqsortCollateTest, EveryOptionSortsAsIcuOrders) {
  const std::string text = makeWords(3000, 7);
  writeWholeFile(dir_ + "/words.csv", text);
  const UColAttribute none = UCOL_ATTRIBUTE_COUNT;
  const Case cases[] = {
      {"--collate=de", "de", none, UCOL_DEFAULT, UCOL_TERTIARY},
      {"--collate=de --collation=phonebook", "de@collation=phonebook", none, UCOL_DEFAULT, UCOL_TERTIARY},
      {"--collate=sv_SE", "sv_SE", none, UCOL_DEFAULT, UCOL_TERTIARY},
      {"--collate=en_US --numeric", "en_US", UCOL_NUMERIC_COLLATION, UCOL_ON, UCOL_TERTIARY},
      {"--collate=en --ignore-punctuation", "en", UCOL_ALTERNATE_HANDLING, UCOL_SHIFTED, UCOL_TERTIARY},
      {"--collate=en --case-first=upper", "en", UCOL_CASE_FIRST, UCOL_UPPER_FIRST, UCOL_TERTIARY},
      {"--collate=fr --strength=primary", "fr", none, UCOL_DEFAULT, UCOL_PRIMARY},
      {"--collate=de --strength=secondary", "de", none, UCOL_DEFAULT, UCOL_SECONDARY},
      {"--collate=da --strength=identical", "da", none, UCOL_DEFAULT, UCOL_IDENTICAL},
  };
  for (const Case& c : cases) {
    Collator collator(c.locale);
    if (c.attribute != none) collator.set(c.attribute, c.value);
    ucol_setStrength(collator.handle, c.strength);
    for (bool descending : {false, true}) {
      std::string args = std::string("-s ") + c.options + (descending ? " -k 1:str:r" : " -k 1") + " -k 2:int:r";
      expectOrder(args, "words.csv", reference(text, collator, descending, true));
      if (HasFailure()) return;
    }
  }
}

// -u keeps the first line of each group the collation calls equal: at primary strength
// "Ä", "a" and "A" are one key.
TEST_F(TqsortCollateTest, UniqueDropsWhatTheStrengthCallsEqual) {
  const std::string text = makeWords(4000, 11, 3);
  writeWholeFile(dir_ + "/words.csv", text);
  for (const char* strength : {"primary", "tertiary"}) {
    Collator collator("de");
    ucol_setStrength(collator.handle, std::string(strength) == "primary" ? UCOL_PRIMARY : UCOL_TERTIARY);
    expectOrder(std::string("-u --collate=de --strength=") + strength + " -k 1", "words.csv",
                reference(text, collator, false, false, true));
  }
}

// An input many times larger than -S: the sort spills, the lines go to the spool's
// file, and the key column widens when long values come after the first batch.  The
// output is the same with one processor and two, from a file and from standard input,
// and nothing of the run stays behind.
TEST_F(TqsortCollateTest, InputsLargerThanTheMemoryAndLongerKeysSortTheSame) {
  std::string text = makeWords(60000, 3);
  text += makeWords(20000, 4, 200);  // values up to ~400 bytes, after the columns were set
  writeWholeFile(dir_ + "/big.csv", text);
  Collator collator("sv");
  const std::string expected = reference(text, collator, false, true);
  for (const char* par : {"--parallel=1", "--parallel=2"}) {
    TqsortResult r = tqsort(std::string("--stats -s -S 2M ") + par + " --collate=sv -k 1 -k 2:int:r big.csv");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == expected) << par;
    EXPECT_NE(r.err.find("runs written"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("runs written 0,"), std::string::npos) << "the sort did not spill: " << r.err;
    EXPECT_EQ(r.err.find("(widened 0 times)"), std::string::npos) << "no column widened: " << r.err;
    // The lines that left memory are read again from the input, not copied.
    EXPECT_EQ(r.err.find("(0 lines read again"), std::string::npos) << "no line left memory: " << r.err;
  }
  TqsortResult piped = tqsort("--stats -s -S 2M --collate=sv -k 1 -k 2:int:r", text);
  ASSERT_EQ(piped.status, 0) << piped.err;
  EXPECT_TRUE(piped.out == expected);
  EXPECT_NE(piped.err.find("(0 lines read again"), std::string::npos) << piped.err;
  EXPECT_EQ(piped.err.find(" 0 bytes in the spool file"), std::string::npos) << "no line left memory: " << piped.err;
  EXPECT_TRUE(leftovers().empty());
  EXPECT_TRUE(filesWithPrefix(dir_, "tqsort").empty());
}

// An input that is also the output: replaced by the sorted lines when -o names it, and
// when it must be rewritten in place (it has a second link) its lines are copied, not
// read again from it after it was emptied for the output.
TEST_F(TqsortCollateTest, AnInputThatIsAlsoTheOutputIsSortedAsItWasRead) {
  const std::string text = makeWords(90000, 3);
  Collator collator("sv");
  const std::string expected = reference(text, collator, false, true);
  for (const char* how : {"replaced", "in place"}) {
    SCOPED_TRACE(how);
    writeWholeFile(dir_ + "/big.csv", text);
    ::unlink((dir_ + "/link").c_str());
    if (std::string(how) == "in place") {
      ASSERT_EQ(::link((dir_ + "/big.csv").c_str(), (dir_ + "/link").c_str()), 0);
    }
    TqsortResult r = tqsort("--stats -s -S 2M --collate=sv -k 1 -k 2:int:r -o big.csv big.csv");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(readWholeFile(dir_ + "/big.csv") == expected);
    EXPECT_EQ(r.err.find(" 0 bytes in the spool file"), std::string::npos) << "no line left memory: " << r.err;
  }
  // Standard output appended to the input: the input as it was, then its lines sorted.
  writeWholeFile(dir_ + "/big.csv", text);
  TqsortResult r = shell("sh -c " + shellQuote(shellQuote(TQSORT_BIN) +
                                               " --no-progress -T . -s -S 2M --collate=sv -k 1 -k 2:int:r" +
                                               " big.csv >> big.csv"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(readWholeFile(dir_ + "/big.csv") == text + expected);
  EXPECT_TRUE(filesWithPrefix(dir_, "tqsort").empty());
}

// Headers, a byte-order mark and several inputs go through as without --collate;
// keys of other types keep their own order beside the collated one.
TEST_F(TqsortCollateTest, HeadersMarksAndTypedKeysAsWithoutCollation) {
  writeWholeFile(dir_ + "/a.csv", "\xEF\xBB\xBFname,born\nZoë,1990-01-02\nzoe,1980-05-05\nÄhre,2001-01-01\n");
  writeWholeFile(dir_ + "/b.csv", "\xEF\xBB\xBFname,born\nAhre,1999-12-31\nzoe,1970-01-01\nÖl,1960-06-06");
  TqsortResult r = tqsort("--header --collate=de -k name -k born:date:r a.csv b.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "\xEF\xBB\xBFname,born\nAhre,1999-12-31\nÄhre,2001-01-01\nÖl,1960-06-06\nzoe,1980-05-05\n"
            "zoe,1970-01-01\nZoë,1990-01-02\n");
}

// A wrong option stops the run with one line and status 2 before any input is read
// (the input named here does not exist) and before any output is made.
TEST_F(TqsortCollateTest, BadCollationOptionsStopBeforeTheInputIsRead) {
  struct Bad {
    const char* args;
    const char* says;
  } bads[] = {
      {"--numeric -k 1", "--numeric needs --collate=LOCALE"},
      {"--strength=primary -k 1", "--strength needs --collate=LOCALE"},
      {"--collate=xx_YY -k 1", "--collate=xx_YY: "},
      {"--collate=de --strength=strong -k 1", "--strength=strong: "},
      {"--collate=de --case-first=middle -k 1", "--case-first=middle: "},
      {"--collate=de --collation=klingon -k 1", "--collation=klingon: "},
      {"--collate= -k 1", "the locale of --collate is empty"},
      {"--collate=x-sv -k 1", "names no language"},
      // A code point order stands alone: the message names what was given with it.
      {"--collate=de --collation=posix --numeric --strength=primary -k 1",
       "tqsort: --collation=posix orders by code point alone and cannot be combined with --strength=primary, "
       "--numeric\n"},
      {"--collate=de --case-first=upper --collation=DIRECT -k 1", "--collation=DIRECT orders by code point alone and "
       "cannot be combined with --case-first=upper\n"},
      // Control bytes in what the user gave are escaped in every part of the message.
      {"--collate=\"$(printf '\\033[31mde')\" -k 1", "the locale '\\x1b[31mde' is not known"},
      {"--collate=de --strength=\"$(printf 'x\\033')\" -k 1", "'x\\x1b'"},
  };
  for (const Bad& bad : bads) {
    TqsortResult r = tqsort(std::string(bad.args) + " -o out.csv missing.csv");
    EXPECT_EQ(r.status, 2) << bad.args;
    EXPECT_NE(r.err.find(bad.says), std::string::npos) << bad.args << ": " << r.err;
    EXPECT_EQ(r.err.find("missing.csv"), std::string::npos) << bad.args << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), r.err.find("Try ") == std::string::npos ? 1 : 2)
        << r.err;
    EXPECT_FALSE(fileExists(dir_ + "/out.csv")) << bad.args;
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << bad.args;
  }
}

// A key value the collation cannot take (a zero byte ends it) and one too long for -S
// name their line; the size the message names sorts it.
TEST_F(TqsortCollateTest, ValuesTheSortCannotTakeNameTheirLineAndTheSizeThatWould) {
  writeWholeFile(dir_ + "/zero.csv", std::string("b,1\na\0x,2\n", 10));
  TqsortResult zero = tqsort("--collate=de -k 1 zero.csv");
  EXPECT_EQ(zero.status, 2);
  EXPECT_NE(zero.err.find("zero.csv:2: "), std::string::npos) << zero.err;
  EXPECT_TRUE(zero.out.empty());

  std::string text = makeWords(2000, 5);
  text += std::string(100000, 'q') + ",1,long\n";
  writeWholeFile(dir_ + "/long.csv", text);
  TqsortResult refused = tqsort("--collate=de -k 1 -S 1M long.csv");
  ASSERT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("long.csv:2001: "), std::string::npos) << refused.err;
  size_t at = refused.err.find("needs -S of at least ");
  ASSERT_NE(at, std::string::npos) << refused.err;
  std::string size = refused.err.substr(at + 21);
  size = size.substr(0, size.find_first_not_of("0123456789M"));
  TqsortResult sorted = tqsort("--collate=de -s -k 1 -k 2:int:r -S " + size + " long.csv");
  ASSERT_EQ(sorted.status, 0) << sorted.err;
  Collator collator("de");
  const std::string expected = reference(text, collator, false, true);
  EXPECT_TRUE(sorted.out == expected);
  // Without -S the sort grows to hold the row; on many threads the sort's threads
  // follow its memory.
  for (const char* options : {"", "--parallel=16"}) {
    TqsortResult chosen = tqsort(std::string("--collate=de -s -k 1 -k 2:int:r ") + options + " long.csv");
    ASSERT_EQ(chosen.status, 0) << options << ": " << chosen.err;
    EXPECT_TRUE(chosen.out == expected) << options;
  }
}

// Bytes that are not UTF-8 would all read as U+FFFD, and -u would keep one of two
// distinct values: such a value stops the run with its place and what to do, whether it
// comes first or deep in the input, alone or among others.
TEST_F(TqsortCollateTest, AKeyThatIsNotUtf8IsRefusedNotDropped) {
  TqsortResult r = tqsort("-k 1 -u --collate=en --strength=identical", "caf\xe9\ncaf\xe8\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "tqsort: (standard input):1: column 1 (str): 'caf\\xe9' is not UTF-8, which --collate reads "
                   "(convert the input, e.g. with iconv -f LATIN1 -t UTF-8)\n");
  std::string text = makeWords(5000, 2);
  for (const char* bad : {"\xc3(", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xc0\xaf", "a\xe2\x82"}) {
    SCOPED_TRACE(testing::PrintToString(std::string(bad)));
    writeWholeFile(dir_ + "/late.csv", text + "x,1,ok\n" + bad + ",2,bad\n");
    r = tqsort("--collate=de -k 1 -k 2:int late.csv");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("late.csv:5002: column 1 (str): "), std::string::npos) << r.err;
    // Without --collate the bytes are ordered as they are.
    EXPECT_EQ(tqsort("-k 1 late.csv").status, 0);
  }
  // Well-formed UTF-8 of every length, and bytes that are not UTF-8 outside the keys.
  r = tqsort("--collate=de -u -k 1", "\xf0\x9f\x98\x80,\xff\nA\xc3\xa9\xe2\x82\xac,\xfe\nA\xc3\xa9\xe2\x82\xac,x\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.size(), 16u) << r.out;
}

// A few values far longer than the others: they are sorted apart and placed among the
// rest, which keep narrow columns, and the output is exactly ICU's order for every
// option: stable, unique (long values equal to each other and to short ones), several
// keys, descending, long values in the first batch and the last, equal at a strength.
TEST_F(TqsortCollateTest, RareLongValuesAreSortedApartAndPlacedExactly) {
  std::mt19937_64 rng(21);
  std::vector<std::string> lines;
  std::string words = makeWords(6000, 21, 4);
  for (size_t at = 0; at < words.size();) {
    size_t nl = words.find('\n', at);
    lines.push_back(words.substr(at, nl + 1 - at));
    at = nl + 1;
  }
  // Long values: new ones, copies of each other, and short words with many blanks after
  // them (equal to the word where punctuation is ignored).
  const std::string longOne = "m" + std::string(3000, 'u') + "nchen";
  for (int i = 0; i < 24; ++i) {
    std::string value;
    switch (i % 4) {
      case 0: {
        static const char* const kLetters[] = {"a", "A", "ä", "Ä", "o"};
        const char* letter = kLetters[rng() % 5];
        for (size_t n = 2000 + rng() % 3000; n > 0; --n) value += letter;
        break;
      }
      case 1: value = longOne; break;
      case 2: value = field(lines[rng() % lines.size()], 0) + std::string(1500, ' '); break;
      default: value = "ü" + std::string(4000, 'z'); break;
    }
    std::string line = value + "," + std::to_string(static_cast<int64_t>(rng() % 7) - 3) + ",long " + std::to_string(i) + "\n";
    size_t at = i < 3 ? rng() % 100 : (i == 3 ? lines.size() : rng() % lines.size());
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), line);
  }
  std::string text;
  for (const std::string& l : lines) text += l;
  writeWholeFile(dir_ + "/rare.csv", text);
  struct Run {
    const char* options;
    bool descending, byNumber, unique;
    UColAttributeValue punctuation;
    UCollationStrength strength;
  };
  const Run runs[] = {
      {"-s --collate=de -k 1 -k 2:int:r", false, true, false, UCOL_NON_IGNORABLE, UCOL_TERTIARY},
      {"-s --collate=de -k 1:r -k 2:int:r", true, true, false, UCOL_NON_IGNORABLE, UCOL_TERTIARY},
      {"-u --collate=de --strength=primary -k 1", false, false, true, UCOL_NON_IGNORABLE, UCOL_PRIMARY},
      {"-u --collate=de --ignore-punctuation -k 1", false, false, true, UCOL_SHIFTED, UCOL_TERTIARY},
      {"-u --parallel=1 -S 4M --collate=de -k 1 -k 2:int:r", false, true, true, UCOL_NON_IGNORABLE, UCOL_TERTIARY},
  };
  for (const Run& run : runs) {
    SCOPED_TRACE(run.options);
    Collator collator("de");
    collator.set(UCOL_ALTERNATE_HANDLING, run.punctuation);
    ucol_setStrength(collator.handle, run.strength);
    TqsortResult r = tqsort(std::string("--stats ") + run.options + " rare.csv");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string expected = reference(text, collator, run.descending, run.byNumber, run.unique);
    EXPECT_EQ(splitLines(r.out).size(), splitLines(expected).size());
    EXPECT_TRUE(r.out == expected) << "not ICU's order";
    // Every long value apart; with -S 4M the first batch (of 1024 lines) has a few
    // more than its 1/128, and those few widen the columns from the start.
    bool small = std::string(run.options).find("-S 4M") != std::string::npos;
    EXPECT_NE(r.err.find(small ? " lines with longer values sorted apart (columns"
                               : "(widened 0 times); 24 lines with longer values sorted apart (columns"),
              std::string::npos) << r.err;
  }
}

// Long values of every kind in inputs larger than -S: many of them (so the long sort
// widens, the main sort widens when they are not rare, and the probe sorts take several
// rounds), lines in the spool's file, the list of places in a file.  The output is ICU's
// order every time.  TQ_COLLATE_SEEDS runs more inputs.
TEST_F(TqsortCollateTest, LongValuesInInputsLargerThanTheMemoryMatchIcu) {
  const char* env = std::getenv("TQ_COLLATE_SEEDS");
  const int seeds = env != nullptr ? std::max(1, std::atoi(env)) : 2;
  for (int seed = 0; seed < seeds; ++seed) {
    std::mt19937_64 rng(100 + static_cast<uint64_t>(seed));
    std::string text = makeWords(20000, 200 + static_cast<uint64_t>(seed), 6);
    std::vector<std::string> lines = splitLines(text);
    // A share of long lines that grows along the input: rare at first, common later.
    for (size_t i = 0; i < lines.size(); i += 1 + rng() % (i < lines.size() / 2 ? 400 : 40)) {
      std::string value = field(lines[i], 0);
      value += std::string(200 + rng() % (600 + i / 4), "xyzäü"[rng() % 3]);
      lines[i] = value + lines[i].substr(lines[i].find(','));
    }
    text.clear();
    for (const std::string& l : lines) text += l;
    writeWholeFile(dir_ + "/many.csv", text);
    for (const char* options : {"-s -S 1M --parallel=1", "-u -S 2M --parallel=2", "-s -S 2M --parallel=2"}) {
      SCOPED_TRACE(std::string(options) + " seed " + std::to_string(seed));
      bool unique = options[1] == 'u';
      Collator collator("de");
      expectOrder(std::string(options) + " --collate=de -k 1 -k 2:int:r", "many.csv",
                  reference(text, collator, false, true, unique));
      if (HasFailure()) return;
    }
  }
  EXPECT_TRUE(filesWithPrefix(dir_, "tqsort").empty());
}

// Values that grow near the most a row may take: the columns are cut to their longest
// values and the room left goes to the growing one, so a run of ever longer values
// starts the sort again a few times, not once a line; two long keys in one line fit
// when their exact widths do.
TEST_F(TqsortCollateTest, KeysGrowingNearTheRowLimitRestartTheSortRarely) {
  std::mt19937_64 rng(1);
  std::string growing;
  for (int i = 0; i < 300; ++i) {
    std::string word;
    for (int j = 0; j < 8; ++j) word += static_cast<char>('a' + rng() % 8);
    growing += word + std::string(5500 + static_cast<size_t>(i), 'x') + "," + std::to_string(i) + "\n";
  }
  writeWholeFile(dir_ + "/growing.csv", growing);
  TqsortResult r = tqsort("--stats -s -S 2M --parallel=1 --collate=de -k 1 growing.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  size_t at = r.err.find("(widened ");
  ASSERT_NE(at, std::string::npos) << r.err;
  EXPECT_LE(std::stoi(r.err.substr(at + 9)), 3) << r.err;
  Collator collator("de");
  EXPECT_TRUE(r.out == reference(growing, collator, false, false));

  std::string two;
  for (int i = 0; i < 3000; ++i) two += "a" + std::to_string(i) + ",b" + std::to_string(i) + "\n";
  two += std::string(2700, 'x') + "," + std::string(5000, 'y') + "\n";
  writeWholeFile(dir_ + "/two.csv", two);
  for (const char* keys : {"-k 1 -k 2", "-k 2 -k 1"}) {
    TqsortResult both = tqsort(std::string("-S 2M --parallel=1 --collate=de ") + keys + " two.csv");
    EXPECT_EQ(both.status, 0) << keys << ": " << both.err;
    EXPECT_EQ(both.out.size(), two.size()) << keys;
  }
}

// A failure where the data moves (the spool's file cannot grow) is an error, not a
// short output, and the run leaves nothing behind.
TEST_F(TqsortCollateTest, ASpoolThatCannotBeWrittenFailsTheRunAndLeavesNothing) {
  writeWholeFile(dir_ + "/big.csv", makeWords(100000, 9));  // about 2 MB
  std::string out = dir_ + "/out.csv";
  TqsortResult r = shell("ulimit -f 512 && trap '' XFSZ && " + shellQuote(TQSORT_BIN) +
                         " --no-progress -S 1M -T " + shellQuote(dir_) + " --collate=de -k 1 -o " +
                         shellQuote(out) + " big.csv");
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
  EXPECT_FALSE(fileExists(out));
  EXPECT_TRUE(filesWithPrefix(dir_, "tqsort").empty());
  EXPECT_TRUE(filesWithPrefix(dir_, ".tqsort").empty());
}
