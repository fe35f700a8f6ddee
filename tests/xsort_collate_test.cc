// Linguistic order: string keys with a collation record are ordered as the collation
// library orders them (checked against ucol_strcollUTF8 in a reference stable sort
// with the same locale and attributes), for German standard and phonebook, Swedish,
// English strengths and case orders, numeric digits, ignorable punctuation, a sort
// large enough to spill, ill-formed UTF-8; and locales or flags the engine refuses.
#include <gtest/gtest.h>
#include <unicode/ucol.h>
#include <unicode/uloc.h>

#include <algorithm>
#include <random>

#include "platform/tqballoc.h"
#include "xsort_support.h"

namespace {

constexpr uint32_t kField = 40;  // a string field long enough for the terminated form
constexpr uint32_t kLen = kField + 8;

Records recordsOf(const std::vector<std::string>& words) {
  Records r(kLen);
  for (size_t i = 0; i < words.size(); ++i) {
    uint8_t* p = r.add();
    putString(p, words[i], kField);
    putInt64(p + kField, static_cast<int64_t>(i));
  }
  return r;
}

// The reference collator, set up from the documented meaning of the flags.
UCollator* referenceCollator(const char* locale, uint32_t flags) {
  std::string name = locale != nullptr ? locale : "";
  if (flags & TQ_SORT_COLLATE_PHONEBOOK) name += "@collation=phonebook";
  UErrorCode status = U_ZERO_ERROR;
  UCollator* c = ucol_open(name.c_str(), &status);
  if (flags & TQ_SORT_COLLATE_UPPER_FIRST) ucol_setAttribute(c, UCOL_CASE_FIRST, UCOL_UPPER_FIRST, &status);
  if (flags & TQ_SORT_COLLATE_LOWER_FIRST) ucol_setAttribute(c, UCOL_CASE_FIRST, UCOL_LOWER_FIRST, &status);
  if (flags & TQ_SORT_COLLATE_NUMERIC) ucol_setAttribute(c, UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
  if (flags & TQ_SORT_COLLATE_IGNORE_PUNCTUATION) ucol_setAttribute(c, UCOL_ALTERNATE_HANDLING, UCOL_SHIFTED, &status);
  if (flags & TQ_SORT_COLLATE_PRIMARY) ucol_setStrength(c, UCOL_PRIMARY);
  if (flags & TQ_SORT_COLLATE_SECONDARY) ucol_setStrength(c, UCOL_SECONDARY);
  if (flags & TQ_SORT_COLLATE_QUATERNARY) ucol_setStrength(c, UCOL_QUATERNARY);
  if (flags & TQ_SORT_COLLATE_IDENTICAL) ucol_setStrength(c, UCOL_IDENTICAL);
  EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
  return c;
}

int collate(const UCollator* c, const std::string& a, const std::string& b) {
  UErrorCode status = U_ZERO_ERROR;
  return ucol_strcollUTF8(c, a.data(), static_cast<int32_t>(a.size()), b.data(),
                          static_cast<int32_t>(b.size()), &status);
}

struct Sorted {
  std::vector<std::string> words;
  std::vector<uint8_t> marks;
  std::string error;
  std::vector<std::string> report;
};

Sorted sortWords(const std::vector<std::string>& words, const char* locale, uint32_t flags,
                 bool descending = false, uint64_t memory = 0, uint32_t processors = 1) {
  TqSortCollation collation{locale, flags};
  XsortSetup s;
  s.recordLength = kLen;
  s.markGroups = true;
  s.memory = memory;
  s.processors = processors;
  s.parts = {keyPart(0, kField, TQ_SORT_KIND_STRING, descending, &collation)};
  Records records = recordsOf(words);
  XsortResult r = runSort(s, records);
  Sorted out;
  out.error = r.error;
  out.marks = r.marks;
  out.report = r.report;
  for (size_t i = 0; i < r.count(); ++i) out.words.push_back(getString(r.rows.data() + i * kLen, kField));
  return out;
}

// The engine's order is the reference's: same words, each equal under the collator to
// the reference's word at its place, and a mark wherever the collator sees a change.
void expectCollated(const std::vector<std::string>& words, const char* locale, uint32_t flags,
                    bool descending = false, uint64_t memory = 0, uint32_t processors = 1) {
  Sorted got = sortWords(words, locale, flags, descending, memory, processors);
  ASSERT_EQ(got.error, "");
  UCollator* c = referenceCollator(locale, flags);
  std::vector<std::string> ref = words;
  std::stable_sort(ref.begin(), ref.end(), [&](const std::string& a, const std::string& b) {
    return descending ? collate(c, b, a) < 0 : collate(c, a, b) < 0;
  });
  ASSERT_EQ(got.words.size(), ref.size());
  for (size_t i = 0; i < ref.size(); ++i) {
    ASSERT_EQ(collate(c, got.words[i], ref[i]), 0)
        << "at " << i << ": '" << got.words[i] << "' where '" << ref[i] << "' belongs";
    bool differs = i == 0 || collate(c, got.words[i - 1], got.words[i]) != 0;
    ASSERT_EQ(got.marks[i] != 0, differs) << "mark at " << i;
  }
  std::vector<std::string> a = words, b = got.words;
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  EXPECT_TRUE(a == b);
  ucol_close(c);
}

size_t indexOf(const std::vector<std::string>& v, const std::string& w) {
  return static_cast<size_t>(std::find(v.begin(), v.end(), w) - v.begin());
}

const std::vector<std::string> kGerman = {
    "Müller", "Mueller", "Muller", "Mumm", "Mütze", "Mutze", "Äpfel", "Apfel", "Zebra",
    "ähnlich", "Ahnung", "Öl", "Ofen", "Straße", "Strasse", "Strand", "muller", "MÜLLER"};

}  // namespace

class XsortCollateTest : public XsortTest {};

TEST_F(XsortCollateTest, GermanStandardAndPhonebook) {
  for (const char* locale : {"de", "de_DE", "de-AT"}) {
    SCOPED_TRACE(locale);
    expectCollated(kGerman, locale, 0);
    expectCollated(kGerman, locale, TQ_SORT_COLLATE_PHONEBOOK);
    expectCollated(kGerman, locale, TQ_SORT_COLLATE_PHONEBOOK, true);
  }
  // Standard: ü sorts as a variant of u; phonebook: as "ue".
  Sorted standard = sortWords(kGerman, "de", 0);
  Sorted phonebook = sortWords(kGerman, "de", TQ_SORT_COLLATE_PHONEBOOK);
  EXPECT_LT(indexOf(standard.words, "Muller"), indexOf(standard.words, "Müller"));
  EXPECT_LT(indexOf(phonebook.words, "Müller"), indexOf(phonebook.words, "Muller"));
  // The variant may come in the locale name instead.
  Sorted named = sortWords(kGerman, "de@collation=phonebook", 0);
  EXPECT_EQ(named.words, phonebook.words);
}

TEST_F(XsortCollateTest, SwedishLettersComeAfterZ) {
  std::vector<std::string> words = {"öl", "zebra", "åsna", "ära", "apa", "Åre", "Örebro", "yxa", "ägg"};
  expectCollated(words, "sv", 0);
  expectCollated(words, "sv_SE", 0, true);
  Sorted sv = sortWords(words, "sv", 0);
  ASSERT_EQ(sv.words.size(), words.size());
  EXPECT_EQ(sv.words[0], "apa");
  EXPECT_LT(indexOf(sv.words, "zebra"), indexOf(sv.words, "åsna"));
  EXPECT_LT(indexOf(sv.words, "åsna"), indexOf(sv.words, "ära"));
  EXPECT_LT(indexOf(sv.words, "ära"), indexOf(sv.words, "öl"));
  // The root order puts å with a.
  Sorted root = sortWords(words, nullptr, 0);
  EXPECT_LT(indexOf(root.words, "åsna"), indexOf(root.words, "zebra"));
}

TEST_F(XsortCollateTest, EnglishStrengthsAndCaseOrders) {
  std::vector<std::string> words = {"a", "A", "á", "Á", "b", "B", "ab", "aB", "Ab", "áb", "a-b",
                                    "ab", "résumé", "resume", "Resume", "RÉSUMÉ", "résume"};
  for (uint32_t strength : {0u, 0x1000u, 0x2000u, 0x4000u, 0x8000u, 0x10000u}) {
    for (uint32_t caseFirst : {0u, 0x2u, 0x4u}) {
      SCOPED_TRACE("flags " + std::to_string(strength | caseFirst));
      expectCollated(words, "en", strength | caseFirst);
      expectCollated(words, "en_US", strength | caseFirst, true);
    }
  }
  Sorted primary = sortWords(words, "en", TQ_SORT_COLLATE_PRIMARY);
  // At primary strength a, A, á and Á are one group.
  size_t groups = 0;
  for (uint8_t m : primary.marks) groups += m != 0;
  EXPECT_LT(groups, words.size() / 2);
  Sorted upper = sortWords({"a", "A"}, "en", TQ_SORT_COLLATE_UPPER_FIRST);
  Sorted lower = sortWords({"A", "a"}, "en", TQ_SORT_COLLATE_LOWER_FIRST);
  EXPECT_EQ(upper.words, (std::vector<std::string>{"A", "a"}));
  EXPECT_EQ(lower.words, (std::vector<std::string>{"a", "A"}));
}

TEST_F(XsortCollateTest, DigitsAsNumbersAndIgnorablePunctuation) {
  std::vector<std::string> files = {"file10", "file2", "file1", "file02", "file100", "file 3", "File2"};
  expectCollated(files, "en", 0);
  expectCollated(files, "en", TQ_SORT_COLLATE_NUMERIC);
  Sorted numeric = sortWords({"file10", "file2", "file1"}, "en", TQ_SORT_COLLATE_NUMERIC);
  EXPECT_EQ(numeric.words, (std::vector<std::string>{"file1", "file2", "file10"}));
  Sorted plain = sortWords({"file10", "file2", "file1"}, "en", 0);
  EXPECT_EQ(plain.words, (std::vector<std::string>{"file1", "file10", "file2"}));

  std::vector<std::string> words = {"de luxe", "de-luxe", "deluxe", "delta", "dé-luxe", "del.ta", "d-e"};
  expectCollated(words, "en", 0);
  expectCollated(words, "en", TQ_SORT_COLLATE_IGNORE_PUNCTUATION);
  expectCollated(words, "en", TQ_SORT_COLLATE_IGNORE_PUNCTUATION | TQ_SORT_COLLATE_QUATERNARY);
  Sorted shifted = sortWords({"deluxe", "de-luxe", "delta"}, "en",
                             TQ_SORT_COLLATE_IGNORE_PUNCTUATION | TQ_SORT_COLLATE_PRIMARY);
  EXPECT_EQ(shifted.words[0], "delta");  // "de-luxe" compares as "deluxe"
  EXPECT_EQ(shifted.marks, (std::vector<uint8_t>{1, 1, 0}));
}

TEST_F(XsortCollateTest, ALargeCollatedSortSpillsAndKeepsTheOrder) {
  std::mt19937_64 rng(41);
  static const char* pieces[] = {"a", "ä", "o", "ö", "u", "ü", "ß", "ss", "e", "é", "Z", "z", "-", " ", "1", "10"};
  std::vector<std::string> words;
  for (int i = 0; i < 30000; ++i) {
    std::string w;
    size_t n = 1 + rng() % 8;
    for (size_t k = 0; k < n; ++k) w += pieces[rng() % 16];
    words.push_back(w.substr(0, kField - 1));
  }
  const uint32_t flags = TQ_SORT_COLLATE_PHONEBOOK | TQ_SORT_COLLATE_NUMERIC;
  int64_t before = 0, peak = 0;
  tqbAllocStats(&before, nullptr);
  tqbAllocResetPeak();
  expectCollated(words, "de", flags, false, 512u << 10, 2);
  tqbAllocStats(nullptr, &peak);
  EXPECT_LE(peak - before, 512 << 10) << "allocations beyond the memory size";
  Sorted got = sortWords(words, "de", flags, false, 512u << 10, 2);
  bool spilled = false;
  for (const std::string& line : got.report) spilled |= line.find("runs written 0,") == std::string::npos && line.find("runs written") != std::string::npos;
  EXPECT_TRUE(spilled) << "the sort was meant to write runs";
}

TEST_F(XsortCollateTest, IllFormedUtf8IsReadWithReplacementCharacters) {
  std::vector<std::string> words = {"abc", "ab\xff", "ab\xc3", "\xc3\x28", "\xe2\x82", "ab\xed\xa0\x80",
                                    "abd", "\xf0\x9f\x98\x80", "\x80\x80", "ab"};
  expectCollated(words, "en", 0);
  expectCollated(words, "de", TQ_SORT_COLLATE_IDENTICAL, true);
}

TEST_F(XsortCollateTest, CodePointOrders) {
  std::vector<std::string> words = {"é", "e", "B", "a", "Z", "ä", "\xe4\xb8\x80", "aa"};
  for (uint32_t variant : {TQ_SORT_COLLATE_POSIX, TQ_SORT_COLLATE_DIRECT}) {
    Sorted got = sortWords(words, "de", variant);
    ASSERT_EQ(got.error, "");
    std::vector<std::string> bytes = words;  // UTF-8 byte order is code point order
    std::sort(bytes.begin(), bytes.end());
    EXPECT_EQ(got.words, bytes);
  }
}

TEST_F(XsortCollateTest, UnknownLocalesAndImpossibleFlagsAreRefused) {
  const struct {
    const char* locale;
    uint32_t flags;
    const char* text;
  } cases[] = {
      {"xx_YY", 0, "the locale 'xx_YY' is not known"},
      {"xx", 0, "the locale 'xx' is not known"},
      {"en_ZZ", 0, "unknown region 'ZZ'"},
      {"fr", TQ_SORT_COLLATE_PHONEBOOK, "has no 'phonebook' collation"},
      {"fr@collation=pinyin", 0, "has no 'pinyin' collation"},
      {"de@collation=phonebook", TQ_SORT_COLLATE_STROKE, "asks for collation 'phonebook'"},
      {"de", TQ_SORT_COLLATE_PHONEBOOK | TQ_SORT_COLLATE_PINYIN, "more than one"},
      {"de", TQ_SORT_COLLATE_UPPER_FIRST | TQ_SORT_COLLATE_LOWER_FIRST, "more than one"},
      {"de", TQ_SORT_COLLATE_PRIMARY | TQ_SORT_COLLATE_TERTIARY, "more than one"},
      {"de", 0x20000, "unknown collation flags 0x20000"},
      {"de", TQ_SORT_COLLATE_POSIX | TQ_SORT_COLLATE_PRIMARY, "takes no other collation flag"},
      {"xx", TQ_SORT_COLLATE_DIRECT, "is not known"},
      // Canonical forms make keywords of what is not a language: still no language.
      {"x-sv", 0, "the locale 'x-sv' names no language"},
      {"@foo=bar", 0, "a keyword 'foo' that is not the collation's"},
  };
  for (const auto& c : cases) {
    TqSortCollation collation{c.locale, c.flags};
    XsortSetup s;
    s.recordLength = kLen;
    s.parts = {keyPart(0, kField, TQ_SORT_KIND_STRING, false, &collation)};
    std::string error;
    TqSortEngine* sort = makeSort(s, &error);
    EXPECT_EQ(sort, nullptr);
    EXPECT_NE(error.find(c.text), std::string::npos) << c.locale << ": " << error;
    EXPECT_NE(error.find("Key part 0"), std::string::npos) << error;
    if (sort != nullptr) sort->ops->destroy(sort);
  }
  // Accepted: root by null, "" and "root"; Chinese variants where the data has them.
  for (auto [locale, flags] : std::vector<std::pair<const char*, uint32_t>>{
           {nullptr, 0}, {"", 0}, {"root", 0}, {"@colStrength=primary", 0}, {"zh", TQ_SORT_COLLATE_PINYIN},
           {"zh", TQ_SORT_COLLATE_STROKE}, {"zh_TW", TQ_SORT_COLLATE_BIG5HAN},
           {"zh", TQ_SORT_COLLATE_GB2312HAN}, {"es", TQ_SORT_COLLATE_TRADITIONAL}}) {
    Sorted got = sortWords({"b", "a", "c"}, locale, flags);
    EXPECT_EQ(got.error, "") << (locale ? locale : "(null)") << " " << flags;
    EXPECT_EQ(got.words, (std::vector<std::string>{"a", "b", "c"}));
  }
}
