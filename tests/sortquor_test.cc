// The external sort adapter as a host reaches it, through createFile(FlagSorted |
// FlagExternalSort): the sizes it hands the engine, groups and duplicates with and
// without a stable sort, nulls by direction, a sort without rows, what seek may do
// after the sort, and linguistic collation checked against the collation library's
// own comparison.
#include <gtest/gtest.h>
#include <unicode/ucol.h>

#include <algorithm>
#include <random>

#include "platform/tqfault.h"
#include "sort_support.h"
#include "src/sortquor.h"

namespace {

const std::vector<RefColumn> kKeyAndOrdinal = {{tqbTypeInteger, 0}, {tqbTypeInteger, 0}};

// Rows of (key, ordinal): keys from 0 to distinct - 1 in random order, the ordinal the
// row's place in the input.
std::vector<std::vector<RefValue>> keyedRows(int count, int distinct, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::vector<RefValue>> rows;
  for (int i = 0; i < count; ++i) {
    RefValue key, ordinal;
    key.null = false;
    key.i = static_cast<int64_t>(random() % static_cast<unsigned>(distinct));
    ordinal.null = false;
    ordinal.i = i;
    rows.push_back({key, ordinal});
  }
  return rows;
}

// The figure after `label` in the engine's report lines ("sort memory: allowed N"), or -1.
int64_t reported(const InfoLines& info, const std::string& label) {
  for (const std::string& line : info.lines) {
    size_t at = line.find(label + " ");
    if (at != std::string::npos) return std::stoll(line.substr(at + label.size() + 1));
  }
  return -1;
}

}  // namespace

class QuorTest : public SortTest {
 protected:
  SortOptions external() {
    SortOptions o;
    o.engine = SortEngine::external;
    return o;
  }
};

// --- sizes ---------------------------------------------------------------------------------

TEST_F(QuorTest, ChunkAndSortSizesAreResolvedBeforeTheEngineIsMade) {
  LogCapture capture;
  tqlogSetLevel("TQ.Datafile.tempfile", 3);
  struct Case {
    uint32_t chunk, sortSize;
    int32_t processors;
    int64_t memory;  // what the engine is allowed
    const char* notice;
  };
  // A row: a string of 100 (1 + 101) and an integer (1 + 8) = 111 bytes.
  const std::vector<RefColumn> columns = {{tqbTypeString, 100}, {tqbTypeInteger, 0}};
  const Case cases[] = {
      {1u << 20, 0, 4, 4 << 20, nullptr},  // four processors: one chunk each
      {1u << 20, 0, 2, 2 << 20, nullptr},
      {1u << 20, 0, 1, 2 << 20, nullptr},  // one processor: two chunks
      {1u << 20, 1u << 19, 1, 1 << 20, "The sort size, 524288, was adjusted to the specified chunk size, 1048576."},
      {4096, 0, 1, 256 << 10, "The sort size, 8192, was adjusted to the external sort's minimum, 262144."},
      {64, 300000, 1, 300000, "The sort chunk size, 64, was adjusted to the length of a serialized row, 111."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.chunk << "/" << c.sortSize << "/" << c.processors);
    capture.clear();
    SortOptions o = external();
    o.chunkSize = c.chunk;
    o.sortSize = c.sortSize;
    o.processors = c.processors;
    AbsTqSortfile* f = makeSortfile(columns, o, {{1, false}});
    ASSERT_NE(f, nullptr);
    InfoLines info;
    f->setSortInfo(&info);
    // Enough rows for several chunks even of the largest size.
    std::vector<std::vector<RefValue>> rows;
    for (int i = 0; i < 300; ++i) {
      RefValue s, n;
      s.null = n.null = false;
      s.s = std::string(static_cast<size_t>(i % 100), 'x');
      n.i = i;
      rows.push_back({s, n});
    }
    std::vector<std::vector<RefValue>> out;
    ASSERT_EQ(sortAll(f, columns, rows, &out, nullptr), 4) << f->getError().asCstr();
    ASSERT_EQ(out.size(), rows.size());
    for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i][1].i, 299 - static_cast<int64_t>(i));
    EXPECT_EQ(reported(info, "allowed"), c.memory);
    EXPECT_EQ(reported(info, "threads"), c.processors);
    if (c.notice != nullptr) {
      EXPECT_TRUE(capture.contains(c.notice)) << c.notice;
    }
    f->release();
  }
}

// --- groups, duplicates and stability -------------------------------------------------------

TEST_F(QuorTest, GroupsAndDuplicatesWithAndWithoutAStableSort) {
  LogCapture capture;
  tqlogSetLevel("TQ.Datafile.tempfile", 3);
  // Many equal keys over many input chunks and a memory small enough to spill.
  auto rows = keyedRows(20000, 150, 11);
  for (bool stable : {false, true}) {
    for (bool noDups : {false, true}) {
      SCOPED_TRACE(testing::Message() << "stable " << stable << " noDups " << noDups);
      capture.clear();
      SortOptions o = external();
      o.chunkSize = 4096;
      o.sortSize = 256 << 10;
      o.processors = 2;
      o.stable = stable;
      o.markByGroups = true;
      o.noDups = noDups;
      AbsTqSortfile* f = makeSortfile(kKeyAndOrdinal, o, {{0, true}});
      ASSERT_NE(f, nullptr);
      std::vector<std::vector<RefValue>> out;
      std::vector<bool> marks;
      ASSERT_EQ(sortAll(f, kKeyAndOrdinal, rows, &out, &marks), 4) << f->getError().asCstr();
      // A stable sort gives its notices (the engine groups, leaving the ordinal out).
      EXPECT_EQ(capture.contains("Specifying stable processing with BY group processing affects sort "
                                 "performance due to post sort BY group processing needs."),
                stable);
      EXPECT_EQ(capture.contains("Specifying stable processing with No Duplicate processing affects "
                                 "sort performance due to post sort No Duplicate processing needs."),
                stable && noDups);
      ASSERT_EQ(out.size(), noDups ? 150u : rows.size());
      for (size_t i = 0; i < out.size(); ++i) {
        bool starts = i == 0 || out[i - 1][0].i != out[i][0].i;
        ASSERT_EQ(marks[i], starts) << "row " << i;
        if (i > 0) {
          ASSERT_LE(out[i - 1][0].i, out[i][0].i) << "row " << i;
        }
        // A stable sort keeps the input order of equal keys; the one row kept of a
        // group of duplicates is then its first.
        if (stable && !starts) {
          ASSERT_LT(out[i - 1][1].i, out[i][1].i) << "row " << i;
        }
      }
      if (stable && noDups) {
        for (const auto& row : out) {
          int64_t first = -1;
          for (const auto& in : rows) {
            if (in[0].i == row[0].i) {
              first = in[1].i;
              break;
            }
          }
          ASSERT_EQ(row[1].i, first) << "key " << row[0].i;
        }
      }
      f->release();
    }
  }
}

// --- nulls -----------------------------------------------------------------------------------

TEST_F(QuorTest, NullsComeFirstAscendingAndLastDescending) {
  const std::vector<RefColumn> columns = {{tqbTypeString, 8}, {tqbTypeInteger, 0}, {tqbTypeDate, 0}};
  std::mt19937 random(5);
  std::vector<std::vector<RefValue>> rows;
  for (int i = 0; i < 500; ++i) {
    std::vector<RefValue> row(3);
    for (auto& v : row) v.null = random() % 4 == 0;
    row[0].s = std::string(1 + random() % 8, static_cast<char>('a' + random() % 3));
    row[1].i = static_cast<int64_t>(random() % 50) - 25;
    row[2].d = static_cast<double>(random() % 20) - 10;
    rows.push_back(row);
  }
  for (int field = 0; field < 3; ++field) {
    for (bool ascending : {true, false}) {
      SCOPED_TRACE(testing::Message() << "field " << field << (ascending ? " ascending" : " descending"));
      AbsTqSortfile* f = makeSortfile(columns, external(), {{field, ascending}});
      ASSERT_NE(f, nullptr);
      std::vector<std::vector<RefValue>> out;
      ASSERT_EQ(sortAll(f, columns, rows, &out, nullptr), 4) << f->getError().asCstr();
      ASSERT_EQ(out.size(), rows.size());
      size_t nulls = static_cast<size_t>(std::count_if(rows.begin(), rows.end(), [&](const auto& r) { return r[field].null; }));
      ASSERT_GT(nulls, 0u);
      for (size_t i = 0; i < out.size(); ++i) {
        bool nullHere = ascending ? i < nulls : i >= out.size() - nulls;
        ASSERT_EQ(out[i][field].null, nullHere) << "row " << i;
        if (i > 0) {
          ASSERT_LE(compareRefRows(columns, {{field, ascending}}, out[i - 1], out[i]), 0) << "row " << i;
        }
      }
      f->release();
    }
  }
}

// --- sorting nothing, seeking after the sort ------------------------------------------------

TEST_F(QuorTest, SortWithoutRowsEndsAtOnceAndReportsNothing) {
  for (bool clearedFirst : {false, true}) {
    AbsTqSortfile* f = makeSortfile(kKeyAndOrdinal, external(), {{0, true}});
    ASSERT_NE(f, nullptr);
    InfoLines info;
    f->setSortInfo(&info);
    if (clearedFirst) {
      // Rows that a clear dropped again: the engine made for the second start sees none.
      auto rows = keyedRows(10, 3, 1);
      for (const auto& row : rows) {
        storeRow(f, kKeyAndOrdinal, row);
        ASSERT_EQ(f->addRow(nullptr), 0);
      }
      ASSERT_EQ(f->clear(), 0) << f->getError().asCstr();
    }
    EXPECT_EQ(f->sort(), 4) << f->getError().asCstr();
    EXPECT_TRUE(info.lines.empty());
    EXPECT_EQ(f->next(nullptr), 4);
    EXPECT_EQ(f->getRowCount(), 0);
    EXPECT_EQ(f->addRow(nullptr), 5);  // the sort ended the input
    f->release();
  }
}

TEST_F(QuorTest, SeekGoesBackToTheFirstRowOnlyWhileItsChunkIsInHand) {
  // Rows of 18 bytes in chunks of 60 rows: the output comes in chunks of the engine's
  // choosing, several of them for 5,000 rows.
  SortOptions o = external();
  o.chunkSize = 18 * 60;
  o.sortSize = 256 << 10;
  AbsTqSortfile* f = makeSortfile(kKeyAndOrdinal, o, {{1, true}});
  ASSERT_NE(f, nullptr);
  auto rows = keyedRows(5000, 10, 2);
  std::reverse(rows.begin(), rows.end());
  for (const auto& row : rows) {
    storeRow(f, kKeyAndOrdinal, row);
    ASSERT_EQ(f->addRow(nullptr), 0);
  }
  ASSERT_EQ(f->sort(), 0) << f->getError().asCstr();
  auto ordinal = [&] { return loadRow(f, kKeyAndOrdinal)[1].i; };
  // Right after the sort, and after a few rows of the first chunk.
  ASSERT_EQ(f->seek(0), 0);
  EXPECT_EQ(ordinal(), 0);
  std::vector<int64_t> positions = {0};
  for (int i = 1; i <= 5; ++i) {
    positions.push_back(f->tell());
    ASSERT_EQ(f->next(nullptr), 0);
    EXPECT_EQ(ordinal(), i);
  }
  int64_t here = f->tell();
  EXPECT_EQ(f->seek(positions[3]), 3);  // an earlier row that is not the first
  EXPECT_NE(f->getError().str().find("can only seek to position 0"), std::string::npos) << f->getError().asCstr();
  ASSERT_EQ(f->seek(here), 0);  // the next row's own position reads it
  EXPECT_EQ(ordinal(), 6);
  EXPECT_EQ(f->seek(f->getSize() + 1000), 4);  // beyond the end
  ASSERT_EQ(f->seek(0), 0);
  EXPECT_EQ(ordinal(), 0);
  // Every row in order after the rewind; once the first chunk is gone, no way back.
  int64_t expected = 1;
  int32_t status;
  while ((status = f->next(nullptr)) == 0) ASSERT_EQ(ordinal(), expected++);
  EXPECT_EQ(status, 4);
  EXPECT_EQ(expected, 5000);
  EXPECT_EQ(f->seek(0), 3);
  f->release();
}

// --- linguistic collation ---------------------------------------------------------------------

namespace {

struct CollationCase {
  const char* name;
  const char* locale;
  bool numeric;
  const char* caseOrder;
  bool ignorePunctuation;
  const char* strength;
  const char* variant;
  std::vector<std::string> words;
};

// The collation library's own collator for the case, set up from the options in words.
UCollator* referenceFor(const CollationCase& c) {
  std::string name = c.locale;
  if (std::string(c.variant) == "PHONEBOOK") name += "@collation=phonebook";
  UErrorCode status = U_ZERO_ERROR;
  UCollator* collator = ucol_open(name.c_str(), &status);
  std::string caseOrder = c.caseOrder, strength = c.strength;
  if (caseOrder == "UPPER") ucol_setAttribute(collator, UCOL_CASE_FIRST, UCOL_UPPER_FIRST, &status);
  if (caseOrder == "LOWER") ucol_setAttribute(collator, UCOL_CASE_FIRST, UCOL_LOWER_FIRST, &status);
  if (c.numeric) ucol_setAttribute(collator, UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
  if (c.ignorePunctuation) ucol_setAttribute(collator, UCOL_ALTERNATE_HANDLING, UCOL_SHIFTED, &status);
  const char* strengths[] = {"PRIMARY", "SECONDARY", "TERTIARY", "QUATERNARY", "IDENTICAL"};
  const UCollationStrength levels[] = {UCOL_PRIMARY, UCOL_SECONDARY, UCOL_TERTIARY, UCOL_QUATERNARY, UCOL_IDENTICAL};
  for (int i = 0; i < 5; ++i) {
    // The word or its digit, 1 to 5.
    if (strength == strengths[i] || strength == std::to_string(i + 1)) ucol_setStrength(collator, levels[i]);
  }
  EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
  return collator;
}

int collate(const UCollator* c, const std::string& a, const std::string& b) {
  UErrorCode status = U_ZERO_ERROR;
  return ucol_strcollUTF8(c, a.data(), static_cast<int32_t>(a.size()), b.data(), static_cast<int32_t>(b.size()),
                          &status);
}

const std::vector<std::string> kGerman = {
    "Müller", "Mueller", "Muller", "Mumm", "Mütze", "Mutze", "Äpfel", "Apfel", "Zebra", "ähnlich",
    "Ahnung", "Öl", "Ofen", "Straße", "Strasse", "Strand", "muller", "MÜLLER", "Übel", "Ueber"};
const std::vector<std::string> kSwedish = {"ödla", "apa", "zebra", "åsna", "ärta", "Öre", "Zorro", "Åke", "Ärlig",
                                           "orm", "vitt", "wok", "Ängel", "ost"};
const std::vector<std::string> kEnglish = {"apple", "Apple", "APPLE", "résumé", "resume", "Resume", "role", "rôle",
                                           "Rôle", "co-op", "coop", "Co-op", "a b", "ab", "a-b", "a_b"};
const std::vector<std::string> kNumbers = {"item 10", "item 9", "item 100", "item 1", "Item 20", "item 02",
                                           "v1.10", "v1.9", "v1.2", "file-3", "file 3", "file.3", "file3"};

}  // namespace

class QuorCollationTest : public QuorTest, public testing::WithParamInterface<CollationCase> {};

// The words, in reverse input order as well as forwards, through a datafile with one
// collated key ascending and descending: each word read back is equal under the
// reference collator to the word a stable sort with it puts there, and each row's mark
// says whether the collator sees it differ from the row before.  A stable sort gives
// exactly the reference's rows; dropping duplicates keeps the first row of each group
// the collator calls equal (the row number that keeps the sort stable parts no group).
TEST_P(QuorCollationTest, OrderIsTheCollationLibrarysOrder) {
  const CollationCase& c = GetParam();
  unsigned flags = 0;
  TqbString error;
  ASSERT_TRUE(tqDatafileParseCollateParms(c.numeric, c.caseOrder, c.ignorePunctuation, c.strength, c.variant,
                                          &flags, &error))
      << error.asCstr();
  UCollator* reference = referenceFor(c);
  const std::vector<RefColumn> columns = {{tqbTypeString, 40}, {tqbTypeInteger, 0}};
  std::vector<std::vector<RefValue>> rows;
  for (int copy = 0; copy < 3; ++copy) {
    for (size_t i = 0; i < c.words.size(); ++i) {
      RefValue w, n;
      w.null = n.null = false;
      w.s = copy == 1 ? c.words[c.words.size() - 1 - i] : c.words[i];
      n.i = static_cast<int64_t>(rows.size());
      rows.push_back({w, n});
    }
  }
  for (int pass = 0; pass < 6; ++pass) {
    const bool ascending = pass % 2 == 0, stable = pass >= 2, noDups = pass >= 4;
    SCOPED_TRACE(testing::Message() << (ascending ? "ascending" : "descending") << " stable " << stable
                                    << " noDups " << noDups);
    SortOptions o = external();
    o.markByGroups = true;
    o.stable = stable;
    o.noDups = noDups;
    AbsTqSortfile* f = makeSortfile(columns, o, {});
    ASSERT_NE(f, nullptr);
    TqCollation collation{c.locale, flags};
    ASSERT_EQ(f->resetSort(1), 0);
    ASSERT_EQ(f->setSort(0, 0, ascending ? 1 : 0, &collation), 0) << f->getError().asCstr();
    std::vector<std::vector<RefValue>> out;
    std::vector<bool> marks;
    ASSERT_EQ(sortAll(f, columns, rows, &out, &marks), 4) << f->getError().asCstr();
    f->release();
    std::vector<std::vector<RefValue>> want = rows;
    std::stable_sort(want.begin(), want.end(), [&](const auto& a, const auto& b) {
      return ascending ? collate(reference, a[0].s, b[0].s) < 0 : collate(reference, b[0].s, a[0].s) < 0;
    });
    if (noDups) {
      std::vector<std::vector<RefValue>> firsts;
      for (const auto& row : want) {
        if (firsts.empty() || collate(reference, firsts.back()[0].s, row[0].s) != 0) firsts.push_back(row);
      }
      want = firsts;
    }
    ASSERT_EQ(out.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
      ASSERT_EQ(collate(reference, out[i][0].s, want[i][0].s), 0)
          << "at " << i << ": '" << out[i][0].s << "' where '" << want[i][0].s << "' belongs";
      if (stable) {
        ASSERT_EQ(out[i][1].i, want[i][1].i) << "at " << i << ": '" << out[i][0].s << "'";
      }
      bool differs = i == 0 || collate(reference, out[i - 1][0].s, out[i][0].s) != 0;
      ASSERT_EQ(marks[i], differs) << "mark at " << i;
    }
  }
  ucol_close(reference);
}

INSTANTIATE_TEST_SUITE_P(
    Locales, QuorCollationTest,
    testing::Values(CollationCase{"GermanStandard", "de_DE", false, "", false, "", "", kGerman},
                    CollationCase{"GermanPhonebook", "de_DE", false, "", false, "", "PHONEBOOK", kGerman},
                    CollationCase{"Swedish", "sv_SE", false, "", false, "", "", kSwedish},
                    CollationCase{"EnglishPrimary", "en", false, "", false, "1", "", kEnglish},
                    CollationCase{"EnglishSecondary", "en", false, "", false, "SECONDARY", "", kEnglish},
                    CollationCase{"EnglishTertiaryUpperFirst", "en_US", false, "UPPER", false, "TERTIARY", "", kEnglish},
                    CollationCase{"EnglishLowerFirst", "en_US", false, "lower", false, "", "", kEnglish},
                    CollationCase{"EnglishQuaternaryShifted", "en", false, "", true, "QUATERNARY", "", kEnglish},
                    CollationCase{"EnglishIdentical", "en", false, "", false, "IDENTICAL", "", kEnglish},
                    CollationCase{"Numeric", "en", true, "", false, "", "", kNumbers},
                    CollationCase{"IgnorablePunctuation", "en", false, "", true, "", "", kNumbers}),
    [](const testing::TestParamInfo<CollationCase>& param) { return std::string(param.param.name); });

// A collated sort many times larger than its memory: the spilled runs merge in the
// collator's order, and a second key in the other direction orders what it sees equal.
TEST_F(QuorTest, CollatedSortLargerThanItsMemoryKeepsTheOrder) {
  const std::vector<RefColumn> columns = {{tqbTypeString, 24}, {tqbTypeInteger, 0}};
  const char* stems[] = {"Müller", "Mueller", "Muller", "Öl", "Ofen", "Straße", "Strasse", "apfel", "Äpfel", "zebra"};
  std::mt19937 random(9);
  std::vector<std::vector<RefValue>> rows;
  for (int i = 0; i < 40000; ++i) {
    RefValue w, n;
    w.null = n.null = false;
    w.s = std::string(stems[random() % 10]) + " " + std::to_string(random() % 50);
    n.i = static_cast<int64_t>(random() % 1000);
    rows.push_back({w, n});
  }
  SortOptions o = external();
  o.chunkSize = 8192;
  o.sortSize = 256 << 10;  // the data is about 1.4 MiB
  o.processors = 2;
  AbsTqSortfile* f = makeSortfile(columns, o, {});
  ASSERT_NE(f, nullptr);
  InfoLines info;
  f->setSortInfo(&info);
  unsigned flags = 0;
  ASSERT_TRUE(tqDatafileParseCollateParms(false, "", false, "", "PHONEBOOK", &flags, nullptr));
  TqCollation collation{"de", flags};
  ASSERT_EQ(f->resetSort(2), 0);
  ASSERT_EQ(f->setSort(0, 0, 1, &collation), 0);
  ASSERT_EQ(f->setSort(1, 1, 0, nullptr), 0);
  std::vector<std::vector<RefValue>> out;
  ASSERT_EQ(sortAll(f, columns, rows, &out, nullptr), 4) << f->getError().asCstr();
  f->release();
  EXPECT_GT(reported(info, "runs written"), 1);
  UErrorCode status = U_ZERO_ERROR;
  UCollator* reference = ucol_open("de@collation=phonebook", &status);
  ASSERT_TRUE(U_SUCCESS(status));
  ASSERT_EQ(out.size(), rows.size());
  for (size_t i = 1; i < out.size(); ++i) {
    int order = collate(reference, out[i - 1][0].s, out[i][0].s);
    ASSERT_LE(order, 0) << "at " << i << ": '" << out[i - 1][0].s << "' before '" << out[i][0].s << "'";
    if (order == 0) {
      ASSERT_GE(out[i - 1][1].i, out[i][1].i) << "at " << i;
    }
  }
  auto key = [](const std::vector<RefValue>& r) { return r[0].s + "|" + std::to_string(r[1].i); };
  std::vector<std::string> a, b;
  for (const auto& r : rows) a.push_back(key(r));
  for (const auto& r : out) b.push_back(key(r));
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  EXPECT_TRUE(a == b);
  ucol_close(reference);
}

TEST_F(QuorTest, CollationIsRefusedWhereItCannotApply) {
  // On a key that is not a string; and by the chunk sorts altogether.
  TqCollation collation{"de", 0};
  AbsTqSortfile* f = makeSortfile(kKeyAndOrdinal, external(), {});
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(f->resetSort(1), 0);
  EXPECT_NE(f->setSort(0, 0, 1, &collation), 0);
  EXPECT_FALSE(f->getError().str().empty());
  f->release();
  for (SortEngine engine : {SortEngine::variable, SortEngine::fixed}) {
    SortOptions o;
    o.engine = engine;
    AbsTqSortfile* chunk = makeSortfile({{tqbTypeString, 10}}, o, {});
    ASSERT_NE(chunk, nullptr);
    ASSERT_EQ(chunk->resetSort(1), 0);
    EXPECT_EQ(chunk->setSort(0, 0, 1, &collation), 5) << engineName(engine);
    chunk->release();
  }
  // An unknown locale is the engine's to refuse, at the first row, with its text; the
  // text names the sort key as the host numbered it (from 0), not the engine's key part.
  for (bool stable : {false, true}) {
    SortOptions o = external();
    o.stable = stable;
    AbsTqSortfile* g = makeSortfile({{tqbTypeString, 10}, {tqbTypeString, 10}}, o, {});
    ASSERT_NE(g, nullptr);
    TqCollation unknown{"xx_NOT_A_LOCALE@@", 0};
    ASSERT_EQ(g->resetSort(2), 0);
    ASSERT_EQ(g->setSort(0, 1, 1, nullptr), 0);
    ASSERT_EQ(g->setSort(1, 0, 1, &unknown), 0);
    g->getField(0)->assign("a");
    g->getField(1)->assign("b");
    EXPECT_EQ(g->addRow(nullptr), 2);
    std::string text = g->getError().str();
    EXPECT_EQ(text.rfind("Sort key 1: the locale 'xx_NOT_A_LOCALE@@' ", 0), 0u) << text;
    EXPECT_EQ(text.find("part"), std::string::npos) << text;
    EXPECT_EQ(g->getRowCount(), 0);
    g->release();
  }
}

// The engine is prepared at the first row; when that fails, the row is refused with
// the engine's text and the next attempt starts over with a fresh sort object.
TEST_F(QuorTest, AFailedStartIsReportedAndTheNextRowStartsOver) {
  SortOptions o = external();
  o.processors = 2;
  AbsTqSortfile* f = makeSortfile(kKeyAndOrdinal, o, {{0, true}});
  ASSERT_NE(f, nullptr);
  auto rows = keyedRows(1000, 40, 3);
  storeRow(f, kKeyAndOrdinal, rows[0]);
  tqFaultArm(TqFaultOp::PoolStart, 1);
  EXPECT_EQ(f->addRow(nullptr), 2);
  tqFaultReset();
  EXPECT_NE(f->getError().str().find("Cannot start the sorting threads"), std::string::npos) << f->getError().asCstr();
  EXPECT_EQ(f->getRowCount(), 0);
  std::vector<std::vector<RefValue>> out;
  ASSERT_EQ(sortAll(f, kKeyAndOrdinal, rows, &out, nullptr), 4) << f->getError().asCstr();
  ASSERT_EQ(out.size(), rows.size());
  for (size_t i = 1; i < out.size(); ++i) ASSERT_LE(out[i - 1][0].i, out[i][0].i);
  f->release();
}
