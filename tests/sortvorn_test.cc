// The three engines (variable and fixed rows, and the external engine, from the same
// test) against a reference (std::stable_sort of the same rows): random rows of every
// key type with nulls and duplicates and the values that encoders get wrong (signed
// zeros, NaNs of both signs, infinities, the smallest and largest decimal exponents),
// random keys and directions, stable, no-duplicates and group marking (and each row's
// key as tqDatafileSortKey hands it out),
// with chunk and sort sizes small enough to force many chunks (hundreds, for some
// seeds), runs on disk read through windows (some smaller than a row), read merges and
// merges on the pool, on 1 to 4 processors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "core/sortkey.h"
#include "sort_support.h"

namespace {

// Columns of the random rows; the last is the row's ordinal, never a key.
const std::vector<RefColumn> kColumns = {
    {tqbTypeInteger, 0},  {tqbTypeString, 300}, {tqbTypeDate, 0},    {tqbTypeReal, 0},
    {tqbTypeBoolean, 0},  {tqbTypeInteger, -1}, {tqbTypeInteger, -1},
};
constexpr int kOrdinal = 6;

const std::string kNines(52, '9');
const std::string kReals[] = {"0", "1", "1.0", "1.00", "-1", "-0.5", "2.5E+10", "3.14159", "-2.5E+10", "0.001",
                              // equal to others above, and the extremes
                              "-0", "0E+7", "NaN", "-NaN", "Infinity", "-Infinity", "1E-98354", "-1E-98354",
                              kNines + "E+98253", "-" + kNines + "E+98253"};
const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kDates[] = {0.0, -0.0, kNaN, -kNaN, kInf, -kInf, std::numeric_limits<double>::denorm_min(),
                         -std::numeric_limits<double>::denorm_min()};

std::vector<RefValue> randomRow(std::mt19937_64& rng, int64_t ordinal, int domain) {
  std::vector<RefValue> row(kColumns.size());
  auto nullChance = [&] { return rng() % 10 == 0; };
  row[0].null = nullChance();
  row[0].i = static_cast<int64_t>(rng() % static_cast<uint64_t>(domain)) - domain / 2;
  if (rng() % 50 == 0) row[0].i = (rng() % 2) ? INT64_MAX : INT64_MIN;
  row[1].null = nullChance();
  size_t len = rng() % 4 == 0 ? rng() % 301 : rng() % 6;
  for (size_t k = 0; k < len; ++k) row[1].s.push_back(static_cast<char>('a' + rng() % 3));
  row[2].null = nullChance();
  row[2].d = static_cast<double>(static_cast<int64_t>(rng() % static_cast<uint64_t>(domain)) - domain / 2) * 1.5;
  if (rng() % 8 == 0) row[2].d = kDates[rng() % std::size(kDates)];
  row[3].null = nullChance();
  const std::string& real = kReals[rng() % std::size(kReals)];
  tqbDecimalFromString(real.data(), real.size(), row[3].real);
  row[4].null = nullChance();
  row[4].i = static_cast<int64_t>(rng() % 2);
  row[5].null = false;
  row[5].i = static_cast<int64_t>(rng() % 7) - 3;
  row[kOrdinal].null = false;
  row[kOrdinal].i = ordinal;
  return row;
}

struct Scenario {
  size_t rows;
  SortOptions options;
  std::vector<RefKey> keys;
  int domain;
};

Scenario randomScenario(std::mt19937_64& rng, size_t rows, SortEngine engine) {
  Scenario s;
  s.rows = rows;
  s.domain = 1 + static_cast<int>(rng() % 3 == 0 ? 5 : 1000);
  SortOptions& o = s.options;
  o.engine = engine;
  o.processors = 1 + static_cast<int32_t>(rng() % 4);
  o.stable = rng() % 2;
  o.noDups = rng() % 3 == 0;
  o.markByGroups = rng() % 2;
  // Aim at 20 to 120 chunks of about 80-byte rows (300 to 500 for some), and memory
  // for 3 to 12 of them.
  uint64_t bytes = rows * (engine == SortEngine::fixed ? 420 : 80) + 1;
  uint64_t chunks = rng() % 4 == 0 ? 300 + rng() % 200 : 20 + rng() % 100;
  uint64_t chunk = std::max<uint64_t>(1024, bytes / chunks);
  o.chunkSize = static_cast<uint32_t>(std::min<uint64_t>(chunk, 1u << 22));
  o.sortSize = rng() % 5 == 0 ? 0 : o.chunkSize * static_cast<uint32_t>(3 + rng() % 10);
  // Windows from a few bytes (smaller than a row) to the default.
  static const uint32_t kWindows[] = {0, 0, 16, 40, 100, 600};
  o.windowSize = kWindows[rng() % std::size(kWindows)];
  int keyCount = 1 + static_cast<int>(rng() % 4);
  std::vector<int> fields = {0, 1, 2, 3, 4, 5};
  std::shuffle(fields.begin(), fields.end(), rng);
  for (int k = 0; k < keyCount; ++k) s.keys.push_back({fields[static_cast<size_t>(k)], rng() % 2 == 0});
  return s;
}

std::string describe(const Scenario& s) {
  std::string d = std::string(engineName(s.options.engine)) + ", " + std::to_string(s.rows) +
                  " rows, chunk " + std::to_string(s.options.chunkSize) + ", window " +
                  std::to_string(s.options.windowSize) +
                  ", sort size " + std::to_string(s.options.sortSize) + ", " +
                  std::to_string(s.options.processors) + " processors" + (s.options.stable ? ", stable" : "") +
                  (s.options.noDups ? ", noDups" : "") + (s.options.markByGroups ? ", marks" : "") + ", keys";
  for (const RefKey& k : s.keys) d.append(" ").append(std::to_string(k.field)).append(k.ascending ? "a" : "d");
  return d;
}

// A row's key as the variable layout encodes it (core/sortkey.h, as tqsort's merge of
// several sorts encodes it too): what tqDatafileSortKey hands back, without the 8
// bytes of a stable sort's sequence.
std::string encodedKey(const std::vector<RefKey>& keys, const std::vector<RefValue>& row) {
  std::string out;
  for (const RefKey& k : keys) {
    const RefValue& v = row[static_cast<size_t>(k.field)];
    uint8_t bytes[1 + 2 + 300];
    uint32_t n = 0;
    switch (kColumns[static_cast<size_t>(k.field)].type) {
      case tqbTypeBoolean:
        tqkey::putBooleanKey(bytes, v.null, v.i != 0, k.ascending);
        n = tqkey::kBooleanKeyBytes;
        break;
      case tqbTypeDate:
        tqkey::putDateKey(bytes, v.null, v.d, k.ascending);
        n = tqkey::kNumberKeyBytes;
        break;
      case tqbTypeReal:
        tqkey::putRealKey(bytes, v.null ? nullptr : v.real, k.ascending);
        n = tqkey::kRealKeyBytes;
        break;
      case tqbTypeString:
        n = tqkey::putStringKey(bytes, v.null ? nullptr : reinterpret_cast<const uint8_t*>(v.s.data()),
                                static_cast<uint32_t>(v.s.size()), k.ascending);
        break;
      default:
        tqkey::putIntegerKey(bytes, v.null, v.i, k.ascending);
        n = tqkey::kNumberKeyBytes;
        break;
    }
    out.append(reinterpret_cast<const char*>(bytes), n);
  }
  return out;
}

// Key columns a variable-layout sort may keep only in its key (tqDatafileSortKeyOnly):
// every key of a type whose key gives its value back (not a real, not a raw integer).
std::vector<int> keyOnlyColumns(const std::vector<RefKey>& keys) {
  std::vector<int> columns;
  for (const RefKey& k : keys) {
    const RefColumn& c = kColumns[static_cast<size_t>(k.field)];
    if (c.type != tqbTypeReal && !(c.type == tqbTypeInteger && c.length < 0)) columns.push_back(k.field);
  }
  return columns;
}

// The keys tqDatafileSortKey gave for the rows read (`out`): in order (a stable sort's
// strictly, its sequence last), equal without the sequence exactly within a group,
// and on the variable layout the encoding of the row's values.  The external engine
// keeps no keys and refuses.
void checkSortKeys(const Scenario& s, const std::vector<std::vector<RefValue>>& out,
                   const std::vector<std::string>& keys) {
  ASSERT_EQ(keys.size(), out.size());
  if (s.options.engine == SortEngine::external) {
    for (const std::string& key : keys) ASSERT_EQ(key, "refused 5");
    return;
  }
  const size_t sequence = s.options.stable ? 8 : 0;
  for (size_t r = 0; r < keys.size(); ++r) {
    ASSERT_GE(keys[r].size(), sequence) << "row " << r;
    std::string key = keys[r].substr(0, keys[r].size() - sequence);
    if (s.options.engine == SortEngine::variable) {
      ASSERT_EQ(key, encodedKey(s.keys, out[r])) << "row " << r;
    }
    if (r == 0) continue;
    if (s.options.stable) {
      ASSERT_LT(keys[r - 1], keys[r]) << "row " << r;
    } else {
      ASSERT_LE(keys[r - 1], keys[r]) << "row " << r;
    }
    bool sameGroup = compareRefRows(kColumns, s.keys, out[r - 1], out[r]) == 0;
    ASSERT_EQ(keys[r - 1].substr(0, keys[r - 1].size() - sequence) == key, sameGroup) << "row " << r;
  }
}

}  // namespace

class SortDifferentialTest : public SortTest,
                             public ::testing::WithParamInterface<std::tuple<SortEngine, int>> {};

TEST_P(SortDifferentialTest, EveryRowComesBackInOrder) {
  const SortEngine engine = std::get<0>(GetParam());
  const int seed = std::get<1>(GetParam());
  std::mt19937_64 rng(static_cast<uint64_t>(seed) * 7919 + 17);
  static const size_t kSizes[] = {0, 1, 2, 3, 40, 700, 3000, 12000, 40000};
  size_t rows = seed == 0 ? 200000 : seed < 4 ? kSizes[seed] : kSizes[4 + rng() % (std::size(kSizes) - 4)];
  Scenario s = randomScenario(rng, rows, engine);
  SCOPED_TRACE(describe(s));
  std::vector<std::vector<RefValue>> input;
  for (size_t r = 0; r < s.rows; ++r) input.push_back(randomRow(rng, static_cast<int64_t>(r), s.domain));

  AbsTqSortfile* file = makeSortfile(kColumns, s.options, s.keys);
  ASSERT_NE(file, nullptr);
  const bool chunkSort = engine != SortEngine::external;
  // Half the seeds of the variable layout keep every key column they can only in the
  // key (a generator of its own, so that the scenarios stay as they were).
  std::vector<int> keyOnly;
  if (engine == SortEngine::variable && (std::mt19937_64(static_cast<uint64_t>(seed))() & 1) != 0) {
    keyOnly = keyOnlyColumns(s.keys);
    for (int column : keyOnly) ASSERT_EQ(tqDatafileSortKeyOnly(file, column), 0) << file->getError().asCstr();
  }
  InfoLines info;
  file->setSortInfo(&info);
  std::vector<std::vector<RefValue>> out;
  std::vector<bool> marks;
  std::vector<std::string> keys;
  int32_t status = sortAll(file, kColumns, input, &out, &marks, &keys);
  ASSERT_EQ(status, 4) << file->getError().asCstr();
  EXPECT_TRUE(filesWithPrefix(dir_, "tqsort_").empty()) << "chunk files outlive the sort";
  if (!keyOnly.empty()) {
    SCOPED_TRACE("columns kept only in the key");
    for (size_t r = 0; r < out.size(); ++r) {
      for (int column : keyOnly) ASSERT_TRUE(out[r][static_cast<size_t>(column)].null) << "row " << r << " stored it";
      ASSERT_TRUE(valuesFromKey(kColumns, s.keys, keys[r], &out[r])) << "row " << r;
    }
    // A date comes back as the value it orders as: the input's, bit for bit, but -0.0
    // (as 0.0) and a NaN's sign and payload (as the one NaN).
    for (auto& row : out) {
      const RefValue& original = input[static_cast<size_t>(row[kOrdinal].i)][2];
      if (std::find(keyOnly.begin(), keyOnly.end(), 2) == keyOnly.end() || row[2].null || original.null) continue;
      if (row[2].d == 0.0 || std::isnan(row[2].d)) {
        ASSERT_EQ(compareRefValues(kColumns[2], row[2], original), 0);
        row[2].d = original.d;
      }
    }
  }
  checkSortKeys(s, out, keys);

  // The reference: a stable sort of the input by the keys.
  std::vector<std::vector<RefValue>> expected = input;
  auto less = [&](const std::vector<RefValue>& a, const std::vector<RefValue>& b) {
    return compareRefRows(kColumns, s.keys, a, b) < 0;
  };
  std::stable_sort(expected.begin(), expected.end(), less);
  if (s.options.noDups) {
    std::vector<std::vector<RefValue>> firsts;
    for (const auto& row : expected) {
      if (firsts.empty() || compareRefRows(kColumns, s.keys, firsts.back(), row) != 0) firsts.push_back(row);
    }
    expected.swap(firsts);
  }
  ASSERT_EQ(out.size(), expected.size());
  for (size_t r = 0; r < out.size(); ++r) {
    // Each row is a whole input row, unchanged.
    const auto& original = input[static_cast<size_t>(out[r][kOrdinal].i)];
    ASSERT_TRUE(sameRow(kColumns, out[r], original)) << "row " << r << " was changed";
    // In key order, with equal keys where the reference has them.
    ASSERT_EQ(compareRefRows(kColumns, s.keys, out[r], expected[r]), 0) << "row " << r;
    bool newGroup = r == 0 || compareRefRows(kColumns, s.keys, out[r - 1], out[r]) != 0;
    if (s.options.markByGroups) {
      ASSERT_EQ(marks[r], newGroup) << "mark of row " << r;
    }
    if (s.options.noDups) {
      ASSERT_TRUE(newGroup) << "duplicate at row " << r;
    }
    // Stable: equal keys keep input order (and noDups keeps the first of each group).
    if (s.options.stable) {
      ASSERT_EQ(out[r][kOrdinal].i, expected[r][kOrdinal].i) << "row " << r;
    }
  }
  if (!s.options.noDups) {
    std::vector<int64_t> ordinals;
    for (const auto& row : out) ordinals.push_back(row[kOrdinal].i);
    std::sort(ordinals.begin(), ordinals.end());
    std::vector<int64_t> all(s.rows);
    std::iota(all.begin(), all.end(), 0);
    EXPECT_EQ(ordinals, all) << "the multiset of rows differs";
  }
  if (getenv("TQ_SORT_TEST_VERBOSE") && chunkSort) {
    TqSortVornImpl::Statistics st = static_cast<TqSortVornImpl*>(file)->statistics();
    std::printf("%s: chunks %u+%u, disk %u, read merges %u, on main %u, submitted %u\n", describe(s).c_str(),
                st.chunksCreatedDuringSort, st.chunksCreatedDuringMerge, st.chunksWrittenToDisk, st.readMergeCount,
                st.mergesOnMain, st.mergesSubmitted);
  }
  EXPECT_TRUE(filesWithPrefix(dir_, "tqxsort_").empty());
  if (s.rows > 0 && chunkSort) {
    ASSERT_GE(info.value("Maximum permittable chunks in memory"), 3);
    EXPECT_LE(info.value("Actual maximum chunks in memory"), info.value("Maximum permittable chunks in memory"));
  }
  file->release();
}

INSTANTIATE_TEST_SUITE_P(Random, SortDifferentialTest,
                         ::testing::Combine(::testing::Values(SortEngine::variable, SortEngine::fixed,
                                                              SortEngine::external),
                                            ::testing::Range(0, 24)),
                         [](const ::testing::TestParamInfo<std::tuple<SortEngine, int>>& param) {
                           return std::string(engineName(std::get<0>(param.param))) + "_" +
                                  std::to_string(std::get<1>(param.param));
                         });

// Values every engine must order and group alike: a date key and a real key in turn,
// sorted stable with marks, then with no-duplicates, in both directions.  Each value's
// rank gives its group; rows of one rank keep their input order (stable), and nulls are
// lowest both ways.
class EdgeValueTest : public SortTest, public ::testing::WithParamInterface<SortEngine> {
 protected:
  struct Input {
    RefValue value;
    int rank;  // groups in ascending order; -1: null
  };

  // Sorts `inputs` in column `field` of kEdgeColumns and checks order, marks, dropped
  // duplicates and that every value comes back bit for bit.
  void expectGroups(int field, const std::vector<Input>& inputs) {
    for (bool ascending : {true, false}) {
      for (bool noDups : {false, true}) {
        SCOPED_TRACE(std::string(ascending ? "ascending" : "descending") + (noDups ? ", no duplicates" : ""));
        std::vector<std::vector<RefValue>> rows;
        for (size_t i = 0; i < inputs.size(); ++i) {
          std::vector<RefValue> row(3);
          row[static_cast<size_t>(field)] = inputs[i].value;
          row[2].null = false;
          row[2].i = static_cast<int64_t>(i);
          rows.push_back(row);
        }
        // The expected ordinals: by rank in the direction, nulls lowest, input order within.
        std::vector<size_t> order(inputs.size());
        std::iota(order.begin(), order.end(), 0);
        auto key = [&](size_t i) {
          int r = inputs[i].rank;
          return r < 0 ? std::numeric_limits<int>::min() : (ascending ? r : -r);
        };
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
          bool an = inputs[a].rank < 0, bn = inputs[b].rank < 0;
          if (an != bn) return ascending ? an : bn;
          return key(a) < key(b);
        });
        SortOptions o;
        o.engine = GetParam();
        o.stable = true;
        o.markByGroups = true;
        o.noDups = noDups;
        if (mgr_ != nullptr) mgr_->release();
        mgr_ = nullptr;
        AbsTqSortfile* file = makeSortfile(kEdgeColumns, o, {{field, ascending}});
        ASSERT_NE(file, nullptr);
        std::vector<std::vector<RefValue>> out;
        std::vector<bool> marks;
        ASSERT_EQ(sortAll(file, kEdgeColumns, rows, &out, &marks), 4) << file->getError().asCstr();
        std::vector<size_t> want;
        std::vector<bool> wantMarks;
        for (size_t k = 0; k < order.size(); ++k) {
          bool isNew = k == 0 || inputs[order[k]].rank != inputs[order[k - 1]].rank;
          if (noDups && !isNew) continue;
          want.push_back(order[k]);
          wantMarks.push_back(isNew);
        }
        ASSERT_EQ(out.size(), want.size());
        for (size_t k = 0; k < out.size(); ++k) {
          EXPECT_EQ(out[k][2].i, static_cast<int64_t>(want[k])) << "row " << k;
          EXPECT_EQ(marks[k], wantMarks[k]) << "mark of row " << k;
          EXPECT_TRUE(sameRow(kEdgeColumns, out[k], rows[static_cast<size_t>(out[k][2].i)])) << "row " << k;
        }
        file->release();
      }
    }
  }

  const std::vector<RefColumn> kEdgeColumns = {{tqbTypeDate, 0}, {tqbTypeReal, 0}, {tqbTypeInteger, -1}};
};

INSTANTIATE_TEST_SUITE_P(Engines, EdgeValueTest,
                         ::testing::Values(SortEngine::variable, SortEngine::fixed, SortEngine::external),
                         [](const ::testing::TestParamInfo<SortEngine>& param) {
                           return std::string(engineName(param.param));
                         });

TEST_P(EdgeValueTest, SignedZerosAndNaNsOfDatesGroupAlikeOnEveryEngine) {
  auto date = [](double d, int rank) {
    Input in;
    in.value.null = false;
    in.value.d = d;
    in.rank = rank;
    return in;
  };
  Input null;
  null.rank = -1;
  expectGroups(0, {date(0.0, 2), date(-0.0, 2), date(0.0, 2), date(-1.5, 1), date(kNaN, 4), date(-kNaN, 4),
                   date(kInf, 3), date(-kInf, 0), null});
}

TEST_P(EdgeValueTest, SignedZerosNaNsAndExtremeExponentsOfRealsGroupAlikeOnEveryEngine) {
  auto real = [](const std::string& text, int rank) {
    Input in;
    in.value.null = false;
    tqbDecimalFromString(text.data(), text.size(), in.value.real);
    in.rank = rank;
    return in;
  };
  Input null;
  null.rank = -1;
  expectGroups(1, {real("0", 4), real("-0", 4), real("NaN", 9), real("-1E-98354", 3), real("-NaN", 9),
                   real("Infinity", 8), real("1E-98354", 5), real("-Infinity", 0), null,
                   real(kNines + "E+98253", 7), real("-" + kNines + "E+98253", 1), real("0E+98253", 4),
                   real("1.00", 6), real("-1.5", 2), real("1", 6)});
}

// With no-duplicates, reading says where the distinct rows end: after the last one,
// hasNext() is false, tell() -1 and next() 4, also when the duplicates of the last row
// lie in later runs, on disk or in a read merge; the first row in hand can still be
// sought and cloned after hasNext() looked ahead.
class DistinctEndTest : public EdgeValueTest {
 protected:
  // Sorts `keys` (an integer key column, the ordinal beside it) with no-duplicates and
  // reads every row, checking hasNext and tell before each next.
  void expectExactEnd(const std::vector<int64_t>& keys, SortOptions o) {
    const std::vector<RefColumn> columns = {{tqbTypeInteger, 0}, {tqbTypeInteger, -1}};
    std::vector<int64_t> distinct = keys;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    o.engine = GetParam();
    o.noDups = true;
    if (mgr_ != nullptr) mgr_->release();
    mgr_ = nullptr;
    AbsTqSortfile* f = makeSortfile(columns, o, {{0, true}});
    ASSERT_NE(f, nullptr);
    for (size_t i = 0; i < keys.size(); ++i) {
      *f->getField(0) = TqbDatavar();
      f->getField(0)->assign(keys[i]);
      *f->getInt64(1) = static_cast<int64_t>(i);
      ASSERT_EQ(f->addRow(nullptr), 0) << f->getError().asCstr();
    }
    int32_t status = f->sort();
    for (size_t r = 0; r < distinct.size(); ++r) {
      ASSERT_EQ(status, 0) << "row " << r << ": " << f->getError().asCstr();
      EXPECT_EQ(f->getField(0)->asInt64(nullptr), distinct[r]) << "row " << r;
      bool last = r + 1 == distinct.size();
      EXPECT_EQ(f->hasNext(), !last) << "row " << r;
      EXPECT_EQ(f->tell() < 0, last) << "row " << r;
      status = f->next(nullptr);
    }
    EXPECT_EQ(status, 4) << f->getError().asCstr();
    EXPECT_FALSE(f->hasNext());
    EXPECT_EQ(f->tell(), -1);
    f->release();
  }
};

INSTANTIATE_TEST_SUITE_P(Engines, DistinctEndTest,
                         ::testing::Values(SortEngine::variable, SortEngine::fixed, SortEngine::external),
                         [](const ::testing::TestParamInfo<SortEngine>& param) {
                           return std::string(engineName(param.param));
                         });

TEST_P(DistinctEndTest, NoDuplicatesEndsAfterTheLastDistinctRow) {
  std::vector<int64_t> keys;
  for (int64_t i = 0; i < 10; ++i) keys.push_back(i % 3);
  expectExactEnd(keys, SortOptions());
}

TEST_P(DistinctEndTest, DuplicatesOfTheLastRowInLaterRunsAreNotRowsLeft) {
  // Many small runs, most of them on disk: the highest key is most of the rows, so its
  // duplicates fill whole runs after the one that gives its first row.
  std::mt19937_64 rng(5);
  std::vector<int64_t> keys;
  for (int i = 0; i < 3000; ++i) keys.push_back(rng() % 3 == 0 ? static_cast<int64_t>(rng() % 50) : 50);
  for (bool stable : {false, true}) {
    for (bool marks : {false, true}) {
      SCOPED_TRACE(std::string(stable ? "stable" : "unstable") + (marks ? ", marks" : ""));
      SortOptions o;
      o.chunkSize = 2048;
      o.sortSize = 3 * 2048;
      o.windowSize = 64;
      o.processors = 2;
      o.stable = stable;
      o.markByGroups = marks;
      expectExactEnd(keys, o);
    }
  }
  // Every row a duplicate of the first: the first row in hand stays seekable and
  // cloneable after hasNext() looked past all of them.
  SortOptions o;
  o.chunkSize = 2048;
  o.sortSize = 3 * 2048;
  expectExactEnd(std::vector<int64_t>(2000, 7), o);
}

TEST_P(DistinctEndTest, LookingAheadKeepsTheFirstRowSeekableAndCloneable) {
  const std::vector<RefColumn> columns = {{tqbTypeInteger, 0}, {tqbTypeInteger, -1}};
  SortOptions o;
  o.engine = GetParam();
  o.noDups = true;
  o.chunkSize = 2048;
  o.sortSize = 3 * 2048;
  AbsTqSortfile* f = makeSortfile(columns, o, {{0, true}});
  ASSERT_NE(f, nullptr);
  for (int64_t i = 0; i < 2000; ++i) {
    f->getField(0)->assign(i < 1000 ? int64_t{7} : int64_t{9});
    *f->getInt64(1) = i;
    ASSERT_EQ(f->addRow(nullptr), 0) << f->getError().asCstr();
  }
  ASSERT_EQ(f->sort(), 0) << f->getError().asCstr();
  EXPECT_TRUE(f->hasNext());
  EXPECT_EQ(f->tell(), 18);  // the second distinct row follows the first's 18 bytes
  ASSERT_EQ(f->seek(0), 0) << f->getError().asCstr();
  EXPECT_EQ(f->getField(0)->asInt64(nullptr), 7);
  TqDatafile* copy = f->clone();
  ASSERT_NE(copy, nullptr) << f->getError().asCstr();
  ASSERT_EQ(copy->next(nullptr), 0);
  EXPECT_EQ(copy->getField(0)->asInt64(nullptr), 7);
  ASSERT_EQ(copy->next(nullptr), 0);
  EXPECT_EQ(copy->getField(0)->asInt64(nullptr), 9);
  EXPECT_EQ(copy->next(nullptr), 4);
  copy->release();
  ASSERT_EQ(f->next(nullptr), 0);
  EXPECT_EQ(f->getField(0)->asInt64(nullptr), 9);
  EXPECT_FALSE(f->hasNext());
  EXPECT_EQ(f->next(nullptr), 4);
  f->release();

  // Every row a duplicate of the first, in several runs: nothing is left, and the first
  // row is still in hand.
  f = makeSortfile(columns, o, {{0, true}});
  ASSERT_NE(f, nullptr);
  for (int64_t i = 0; i < 2000; ++i) {
    f->getField(0)->assign(int64_t{7});
    *f->getInt64(1) = i;
    ASSERT_EQ(f->addRow(nullptr), 0) << f->getError().asCstr();
  }
  ASSERT_EQ(f->sort(), 0) << f->getError().asCstr();
  EXPECT_FALSE(f->hasNext());
  EXPECT_EQ(f->tell(), -1);
  ASSERT_EQ(f->seek(0), 0) << f->getError().asCstr();
  copy = f->clone();
  ASSERT_NE(copy, nullptr) << f->getError().asCstr();
  EXPECT_EQ(copy->getRowCount(), 1);
  copy->release();
  EXPECT_EQ(f->next(nullptr), 4);
  f->release();
}

// A string longer than its column's maximum: the variable layout keeps it whole; the
// fixed layouts (the fixed chunk sort, the external engine's rows) refuse the row with
// status 1 and a message naming the column, the value's length and the maximum, and
// keep nothing of it: not when it comes first, not when the chunk has no room left
// for it, not in a stable sort's row numbers.  The rows around it sort as if it had
// never been offered.
class LongStringTest : public EdgeValueTest {};

INSTANTIATE_TEST_SUITE_P(Engines, LongStringTest,
                         ::testing::Values(SortEngine::variable, SortEngine::fixed, SortEngine::external),
                         [](const ::testing::TestParamInfo<SortEngine>& param) {
                           return std::string(engineName(param.param));
                         });

TEST_P(LongStringTest, FixedLayoutsRefuseTheRowAndKeepTheOthers) {
  const std::vector<RefColumn> columns = {{tqbTypeString, 2}, {tqbTypeInteger, -1}};
  const bool fixed = GetParam() != SortEngine::variable;
  SortOptions o;
  o.engine = GetParam();
  o.stable = true;
  o.chunkSize = 1024;  // a few dozen rows a chunk: the refused rows meet full chunks
  o.sortSize = 256 << 10;
  AbsTqSortfile* f = makeSortfile(columns, o, {{0, false}});
  ASSERT_NE(f, nullptr);
  std::vector<std::pair<std::string, int64_t>> kept;
  int64_t id = 0;
  auto add = [&](const std::string& s) {
    f->getField(0)->assign(s.c_str());
    *f->getInt64(1) = id++;
    int32_t status = f->addRow(nullptr);
    if (status == 0) kept.emplace_back(s, id - 1);
    return status;
  };
  int refusals = 0;
  auto addLong = [&](const std::string& s) {
    int32_t status = add(s);
    if (!fixed) {
      EXPECT_EQ(status, 0) << f->getError().asCstr();
      return;
    }
    ++refusals;
    EXPECT_EQ(status, 1);
    std::string text = f->getError().str();
    EXPECT_NE(text.find("column 0 is " + std::to_string(s.size()) + " bytes long"), std::string::npos) << text;
    EXPECT_NE(text.find("maximum length of 2 bytes"), std::string::npos) << text;
  };
  addLong("M\xc3\xbc");  // the very first row
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(add(std::string(1 + i % 2, static_cast<char>('a' + i % 5))), 0) << f->getError().asCstr();
    if (i % 37 == 0) addLong(std::string(3 + i % 4, 'z'));  // chunks at every fill level
  }
  EXPECT_EQ(f->getRowCount(), static_cast<int64_t>(kept.size()));
  EXPECT_EQ(kept.size(), fixed ? 300u : 300u + 10u);
  std::stable_sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  int32_t status = f->sort();
  for (size_t r = 0; r < kept.size(); ++r) {
    ASSERT_EQ(status, 0) << "row " << r << ": " << f->getError().asCstr();
    EXPECT_EQ(f->getField(0)->asCstr(), kept[r].first) << "row " << r;
    EXPECT_EQ(*f->getInt64(1), kept[r].second) << "row " << r;
    status = f->next(nullptr);
  }
  EXPECT_EQ(status, 4) << f->getError().asCstr();
  EXPECT_EQ(refusals, fixed ? 10 : 0);
  f->release();
}
