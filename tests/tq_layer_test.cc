// The C++ layer (tq.h): each test tries a way to misuse the library and shows that the
// layer makes it impossible or reports it, then checks that what the layer maps onto
// the library (values, options, collations, progress) arrives there.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/tqfault.h"
#include "test_support.h"
#include "tqdatafile/tq.h"

namespace {

// Compile-time probes: what a type lets a host write.
template <typename T, typename = void>
struct HasBegin : std::false_type {};
template <typename T>
struct HasBegin<T, std::void_t<decltype(std::declval<T&>().begin())>> : std::true_type {};
template <typename T, typename = void>
struct HasNext : std::false_type {};
template <typename T>
struct HasNext<T, std::void_t<decltype(std::declval<T&>().next())>> : std::true_type {};
template <typename T, typename = void>
struct FreezesAsLvalue : std::false_type {};
template <typename T>
struct FreezesAsLvalue<T, std::void_t<decltype(std::declval<T&>().freeze())>> : std::true_type {};
template <typename T, typename = void>
struct SortsAsLvalue : std::false_type {};
template <typename T>
struct SortsAsLvalue<T, std::void_t<decltype(std::declval<T&>().sort())>> : std::true_type {};

const std::vector<tq::Engine> kEngines = {tq::Engine::variableRows, tq::Engine::fixedRows,
                                          tq::Engine::external};

const char* engineName(tq::Engine e) {
  switch (e) {
    case tq::Engine::variableRows: return "variableRows";
    case tq::Engine::fixedRows: return "fixedRows";
    case tq::Engine::external: return "external";
    default: return "automatic";
  }
}

struct NameAndCount {
  std::string name;
  int64_t count;
  bool operator==(const NameAndCount& o) const { return name == o.name && count == o.count; }
};

class LayerTest : public TempDirTest {
 protected:
  tq::Manager manager() {
    auto m = tq::Manager::create({.tempDirs = dir_});
    EXPECT_TRUE(m.ok()) << m.status().toString();
    return std::move(m).value();
  }

  // Options of a sort by name ascending, count descending.
  tq::SortOptions byNameThenCount(tq::Engine engine) {
    return {.columns = {tq::Column::string(12), tq::Column::integer()},
            .keys = {{.field = 0}, {.field = 1, .order = tq::Order::descending}},
            .engine = engine};
  }

  static std::vector<NameAndCount> someRows(size_t n, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<NameAndCount> rows;
    for (size_t i = 0; i < n; ++i) {
      rows.push_back({"n" + std::to_string(random() % 97), static_cast<int64_t>(random() % 1000)});
    }
    return rows;
  }

  static std::vector<NameAndCount> sortedByNameThenCount(std::vector<NameAndCount> rows) {
    std::stable_sort(rows.begin(), rows.end(), [](const NameAndCount& a, const NameAndCount& b) {
      return a.name != b.name ? a.name < b.name : a.count > b.count;
    });
    return rows;
  }

  template <typename Rows>
  static std::vector<NameAndCount> readAll(Rows& rows) {
    std::vector<NameAndCount> out;
    for (const tq::Row& row : rows) {
      out.push_back({std::string(row.get<std::string_view>(0)), row.get<int64_t>(1)});
    }
    return out;
  }
};

// The first mistake: "sort(); while (next() == 0)" lost the first sorted row, while the
// same loop was right for a frozen file.  Through the layer both kinds are read by the
// same loop, which hands out every row, the first included; a loop that stops early
// and a second loop go on with the next row; next() steps the same way.
TEST_F(LayerTest, SortedRowsAndFrozenStoresReadEveryRowInTheSameLoop) {
  tq::Manager m = manager();
  for (size_t n : {size_t{0}, size_t{1}, size_t{1000}}) {
    std::vector<NameAndCount> rows = someRows(n, static_cast<uint32_t>(n));
    for (tq::Engine engine : kEngines) {
      auto sorter = m.sorter(byNameThenCount(engine));
      ASSERT_TRUE(sorter.ok()) << sorter.status().toString();
      for (const NameAndCount& r : rows) ASSERT_TRUE(sorter->add(r.name, r.count).ok());
      auto sorted = std::move(*sorter).sort();
      ASSERT_TRUE(sorted.ok()) << sorted.status().toString();
      std::vector<NameAndCount> out;
      for (const tq::Row& row : *sorted) {
        out.push_back({std::string(row.get<std::string_view>(0)), row.get<int64_t>(1)});
        if (out.size() == 3) break;  // a second loop goes on with the fourth row
      }
      std::vector<NameAndCount> rest = readAll(*sorted);
      out.insert(out.end(), rest.begin(), rest.end());
      EXPECT_TRUE(sorted->status().ok()) << sorted->status().toString();
      std::vector<NameAndCount> want = sortedByNameThenCount(rows);
      ASSERT_EQ(out.size(), want.size()) << engineName(engine) << " " << n;
      for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i].count, want[i].count) << i;
      auto after = sorted->next();
      EXPECT_EQ(after.status().code(), tq::Code::endOfData);
      EXPECT_TRUE(sorted->status().ok());
    }
    auto store = m.store({.columns = {tq::Column::string(12), tq::Column::integer()}});
    ASSERT_TRUE(store.ok());
    for (const NameAndCount& r : rows) ASSERT_TRUE(store->add(r.name, r.count).ok());
    auto frozen = std::move(*store).freeze();
    ASSERT_TRUE(frozen.ok()) << frozen.status().toString();
    std::vector<NameAndCount> out;
    for (auto row = frozen->next(); row.ok(); row = frozen->next()) {
      out.push_back({std::string(row->get<std::string_view>(0)), row->get<int64_t>(1)});
    }
    EXPECT_TRUE(out == rows);
    EXPECT_TRUE(frozen->status().ok());
  }
}

// The second half of the first mistake: next() on an unsorted file that was never frozen
// read nothing and said nothing.  A Store and a Sorter have no way to read; only what
// freeze() and sort() return reads, and those consume the object, so that nothing can
// be added behind the reader's back.
TEST_F(LayerTest, RowsAreReadOnlyThroughWhatFreezeOrSortReturn) {
  static_assert(!HasBegin<tq::Store>::value && !HasNext<tq::Store>::value);
  static_assert(!HasBegin<tq::Sorter>::value && !HasNext<tq::Sorter>::value);
  static_assert(HasBegin<tq::FrozenStore>::value && HasBegin<tq::SortedRows>::value);
  static_assert(!FreezesAsLvalue<tq::Store>::value, "freeze() is for an rvalue: std::move(store).freeze()");
  static_assert(!SortsAsLvalue<tq::Sorter>::value, "sort() is for an rvalue: std::move(sorter).sort()");
  tq::Manager m = manager();
  auto store = m.store({.columns = {tq::Column::integer()}});
  ASSERT_TRUE(store.ok());
  ASSERT_TRUE(store->add(1).ok());
  auto frozen = std::move(*store).freeze();
  ASSERT_TRUE(frozen.ok());
  EXPECT_EQ(store->add(2).code(), tq::Code::notAllowed);
  EXPECT_EQ(std::move(*store).freeze().status().code(), tq::Code::notAllowed);
  EXPECT_EQ(frozen->rowCount(), 1);

  auto sorter = m.sorter(byNameThenCount(tq::Engine::automatic));
  ASSERT_TRUE(sorter.ok());
  ASSERT_TRUE(sorter->add("a", 1).ok());
  auto sorted = std::move(*sorter).sort();
  ASSERT_TRUE(sorted.ok());
  tq::Status late = sorter->add("b", 2);
  EXPECT_EQ(late.code(), tq::Code::notAllowed);
  EXPECT_NE(late.message().find("This Sorter is empty"), std::string::npos) << late.message();
  EXPECT_EQ(readAll(*sorted).size(), 1u);
}

// The second mistake: releasing the manager before its datafiles read freed memory (the
// sort size at the first row), and a second release() freed a datafile twice.  Here a
// Manager may go first, a store before its clones or after them, and the sorts still
// spill to and read back files in the manager's directories (run under ASan in CI).
TEST_F(LayerTest, ObjectsOutliveTheManagerAndEachOtherInAnyOrder) {
  std::optional<tq::Sorter> sorter;
  std::optional<tq::Store> store;
  {
    tq::Manager m = manager();
    tq::SortOptions o = byNameThenCount(tq::Engine::variableRows);
    o.memory = 256u << 10;
    o.chunkSize = 32u << 10;
    auto made = m.sorter(o);
    ASSERT_TRUE(made.ok()) << made.status().toString();
    sorter.emplace(std::move(made).value());
    auto s = m.store({.columns = {tq::Column::string(12), tq::Column::integer()}, .chunkSize = 4096});
    ASSERT_TRUE(s.ok());
    store.emplace(std::move(s).value());
  }  // the Manager is gone; the datafiles made with it keep working
  std::vector<NameAndCount> rows = someRows(20000, 7);
  for (const NameAndCount& r : rows) {
    ASSERT_TRUE(sorter->add(r.name, r.count).ok());
    ASSERT_TRUE(store->add(r.name, r.count).ok());
  }
  EXPECT_FALSE(leftovers().empty());  // both spilled
  auto sorted = std::move(*sorter).sort();
  ASSERT_TRUE(sorted.ok()) << sorted.status().toString();
  EXPECT_TRUE(readAll(*sorted) == sortedByNameThenCount(rows));

  auto frozen = std::move(*store).freeze();
  ASSERT_TRUE(frozen.ok());
  auto first = frozen->clone();
  auto second = frozen->clone();
  ASSERT_TRUE(first.ok() && second.ok()) << first.status().toString();
  *frozen = tq::FrozenStore();  // the store goes before its clones
  EXPECT_TRUE(readAll(*first) == rows);
  auto third = second->clone();  // a clone of a clone, from the first row
  ASSERT_TRUE(third.ok());
  *second = tq::FrozenStore();
  EXPECT_TRUE(readAll(*third) == rows);
}

// Objects that share no rows share nothing else either (each datafile has a manager of
// its own): sorts made from one Manager run on two threads at once (run under TSan in CI).
TEST_F(LayerTest, ObjectsThatShareNoRowsRunOnTwoThreads) {
  tq::Manager m = manager();
  std::vector<NameAndCount> rows = someRows(20000, 11);
  std::vector<NameAndCount> want = sortedByNameThenCount(rows);
  bool same[2] = {false, false};
  auto work = [&](int t) {
    tq::SortOptions o = byNameThenCount(t == 0 ? tq::Engine::variableRows : tq::Engine::external);
    o.memory = 1u << 20;
    o.chunkSize = 64u << 10;
    o.processors = 2;
    o.stable = true;
    auto sorter = m.sorter(o);
    if (!sorter.ok()) return;
    for (const NameAndCount& r : rows) {
      if (!sorter->add(r.name, r.count).ok()) return;
    }
    auto sorted = std::move(*sorter).sort();
    if (sorted.ok()) same[t] = readAll(*sorted) == want && sorted->status().ok();
  };
  std::thread other(work, 1);
  work(0);
  other.join();
  EXPECT_TRUE(same[0]);
  EXPECT_TRUE(same[1]);
}

// Objects that own a datafile cannot be copied (which would release it twice); moved
// from, they are empty and every call says so; an object moved onto another releases
// the one it replaces.
TEST_F(LayerTest, MovedFromObjectsAreEmptyAndSayWhy) {
  static_assert(!std::is_copy_constructible_v<tq::Store> && !std::is_copy_assignable_v<tq::Store>);
  static_assert(!std::is_copy_constructible_v<tq::Sorter> && !std::is_copy_assignable_v<tq::Sorter>);
  static_assert(!std::is_copy_constructible_v<tq::FrozenStore> && !std::is_copy_constructible_v<tq::SortedRows>);
  static_assert(std::is_nothrow_move_constructible_v<tq::Store> &&
                std::is_nothrow_move_constructible_v<tq::SortedRows>);
  tq::Manager m = manager();
  tq::Manager moved = std::move(m);
  EXPECT_FALSE(m);  // NOLINT: the point of the test
  EXPECT_EQ(m.store({.columns = {tq::Column::integer()}}).status().code(), tq::Code::notAllowed);
  EXPECT_EQ(m.sorter(byNameThenCount(tq::Engine::automatic)).status().code(), tq::Code::notAllowed);

  auto sorter = moved.sorter(byNameThenCount(tq::Engine::automatic));
  ASSERT_TRUE(sorter.ok());
  tq::Sorter taken = std::move(*sorter);
  EXPECT_FALSE(*sorter);
  EXPECT_EQ(sorter->add("x", 1).code(), tq::Code::notAllowed);
  EXPECT_EQ(sorter->rowCount(), 0);
  EXPECT_EQ(std::move(*sorter).sort().status().code(), tq::Code::notAllowed);
  ASSERT_TRUE(taken.add("x", 1).ok());
  auto other = moved.sorter(byNameThenCount(tq::Engine::automatic));
  ASSERT_TRUE(other.ok());
  taken = std::move(*other);  // the sorter holding "x" is released here
  EXPECT_EQ(taken.rowCount(), 0);

  auto sorted = std::move(taken).sort();
  ASSERT_TRUE(sorted.ok());
  tq::SortedRows rows = std::move(*sorted);
  int seen = 0;
  for (const tq::Row& row : *sorted) seen += row.size();
  EXPECT_EQ(seen, 0);
  EXPECT_EQ(sorted->status().code(), tq::Code::notAllowed);
  EXPECT_EQ(sorted->next().status().code(), tq::Code::notAllowed);
  EXPECT_TRUE(rows.status().ok());

  // A failed Result holds an empty object, safe to use.
  auto failed = moved.store({.columns = {}});
  EXPECT_EQ(failed.status().code(), tq::Code::invalidArgument);
  EXPECT_EQ(failed->add(1).code(), tq::Code::notAllowed);
  tq::FrozenStore none;
  EXPECT_EQ(none.seek(tq::Position()).code(), tq::Code::notAllowed);
  EXPECT_EQ(none.clone().status().code(), tq::Code::notAllowed);
}

// The third mistake: the status came as a number and its text separately, and the text
// of an earlier failure stayed after a later success.  A Status carries both, is
// returned by the call that failed, and a later success is a clean ok.
TEST_F(LayerTest, EachCallReturnsItsOwnStatus) {
  tq::Manager m = manager();
  auto store = m.store({.columns = {tq::Column::string(8)}, .chunkSize = 64, .spill = tq::Spill::never});
  ASSERT_TRUE(store.ok()) << store.status().toString();
  tq::Status tooLong = store->add("much too long");
  EXPECT_EQ(tooLong.code(), tq::Code::invalidArgument);
  EXPECT_EQ(tooLong.message(), "field 0: a text of 13 bytes; the column holds at most 8.");
  tq::Status fine = store->add("short");
  EXPECT_TRUE(fine.ok());
  EXPECT_TRUE(fine.message().empty());
  EXPECT_EQ(fine.toString(), "ok");
  // The library's own refusal: a memory-only store that is full.
  tq::Status full;
  while (full.ok()) full = store->add("filler");
  EXPECT_EQ(full.code(), tq::Code::endOfData);
  EXPECT_FALSE(full.message().empty());
  int64_t stored = store->rowCount();
  auto frozen = std::move(*store).freeze();
  ASSERT_TRUE(frozen.ok()) << frozen.status().toString();
  int64_t read = 0;
  for (const tq::Row& row : *frozen) read += row.isNull(0) ? 0 : 1;
  EXPECT_EQ(read, stored);
  EXPECT_TRUE(frozen->status().ok());  // no earlier failure shows here
  EXPECT_TRUE(frozen->status().message().empty());
}

// The fourth mistake: assign(3.5), assign(5LL) and assign(size_t) did not compile,
// assign('c') stored 99, and nothing took std::string_view.  Values of every arithmetic
// type go into the column that holds them; a char does not compile; a value a column
// does not hold is refused, naming the field, and leaves no row behind.
TEST_F(LayerTest, ValuesGoInTypedAndComeOutTyped) {
  static_assert(!std::is_constructible_v<tq::Value, char>, "a char is not a number");
  static_assert(!std::is_constructible_v<tq::Value, char32_t> && !std::is_constructible_v<tq::Value, int*>);
  static_assert(std::is_constructible_v<tq::Value, int8_t> && std::is_constructible_v<tq::Value, size_t> &&
                std::is_constructible_v<tq::Value, long long> && std::is_constructible_v<tq::Value, float>);
  tq::Manager m = manager();
  auto store = m.store({.columns = {tq::Column::boolean(), tq::Column::integer(), tq::Column::decimal(),
                                    tq::Column::string(10), tq::Column::date()}});
  ASSERT_TRUE(store.ok());
  const tq::Date day = tq::Date::fromYmd(2024, 2, 29);
  std::string text = "text";
  ASSERT_TRUE(store->add(true, int8_t{-5}, 3.5, std::string_view("abcdef", 3), day).ok());
  ASSERT_TRUE(store->add(false, size_t{7}, 5LL, text, day).ok());
  ASSERT_TRUE(store->add(tq::null, uint64_t{INT64_MAX}, 0.1f, "", tq::null).ok());
  ASSERT_TRUE(store->add({tq::null, tq::null, tq::Decimal::parse("-12.50").value(), nullptr, day}).ok());
  ASSERT_TRUE(store->add(std::vector<tq::Value>{true, 1, 2, "v", day}).ok());
  // Refused: each names the field, and no row is left behind.
  struct Refusal {
    tq::Status status;
    const char* message;
  };
  const char zero[] = {'a', '\0', 'b'};
  Refusal refusals[] = {
      {store->add(1, 1, 1, "x", day), "field 0 holds a boolean; an integer was given."},
      {store->add(true, 1.5, 1, "x", day), "field 1 holds an integer; a floating-point number was given."},
      {store->add(true, uint64_t{INT64_MAX} + 1, 1, "x", day),
       "field 1: 9223372036854775808 is beyond the 64-bit integers."},
      {store->add(true, 1, "1", "x", day), "field 2 holds a decimal; a text was given."},
      {store->add(true, 1, 1, 5, day), "field 3 holds a string; an integer was given."},
      {store->add(true, 1, 1, std::string_view(zero, 3), day), "field 3: the text holds a zero byte."},
      {store->add(true, 1, 1, "x", 20240229), "field 4 holds a date; an integer was given."},
      {store->add(true, 1, 1, "x"), "The row has 4 values; the rows have 5 fields."},
  };
  for (const Refusal& r : refusals) {
    EXPECT_EQ(r.status.code(), tq::Code::invalidArgument);
    EXPECT_EQ(r.status.message(), r.message);
  }
  EXPECT_EQ(store->rowCount(), 5);

  auto frozen = std::move(*store).freeze();
  ASSERT_TRUE(frozen.ok());
  auto row = frozen->next();
  ASSERT_TRUE(row.ok());
  EXPECT_TRUE(row->get<bool>(0));
  EXPECT_EQ(row->get<int64_t>(1), -5);
  EXPECT_EQ(row->get<int8_t>(1), -5);
  EXPECT_DOUBLE_EQ(row->get<double>(2), 3.5);
  EXPECT_EQ(row->get<tq::Decimal>(2).toString(), "3.5");
  EXPECT_EQ(row->get<std::string_view>(3), "abc");  // three bytes, no terminator
  EXPECT_EQ(row->get<std::string_view>(3).size(), 3u);
  EXPECT_EQ(row->get<tq::Date>(4).asDouble(), day.asDouble());
  row = frozen->next();
  EXPECT_EQ(row->get<uint32_t>(1), 7u);
  EXPECT_EQ(row->get<tq::Decimal>(2), tq::Decimal::fromInt64(5));
  EXPECT_EQ(row->get<std::string>(3), "text");
  row = frozen->next();
  EXPECT_TRUE(row->isNull(0));
  EXPECT_FALSE(row->get<bool>(0));
  EXPECT_EQ(row->get<std::optional<bool>>(0), std::nullopt);
  EXPECT_EQ(row->get<int64_t>(1), INT64_MAX);
  EXPECT_EQ(row->get<double>(1), static_cast<double>(INT64_MAX));
  EXPECT_EQ(row->get<tq::Decimal>(2).toString(), "0.1");  // a float's shortest digits
  EXPECT_FALSE(row->isNull(3));
  EXPECT_EQ(row->get<std::string_view>(3), "");
  EXPECT_EQ(row->get<std::optional<tq::Date>>(4), std::nullopt);
  row = frozen->next();
  EXPECT_TRUE(row->isNull(3));  // a null const char* is null
  EXPECT_EQ(row->get<tq::Decimal>(2).toString(), "-12.50");
  EXPECT_EQ(row->get<std::optional<std::string>>(3), std::nullopt);
  EXPECT_TRUE(frozen->status().ok());
}

// getField(bad) returned null, and the README's chained getField(i)->assign(...)
// crashed.  A bad index, a type its column does not hold and a value its type cannot
// hold give T{} and a Status after the loop, which they end.
TEST_F(LayerTest, ABadFieldOrTypeIsReportedAfterTheLoop) {
  tq::Manager m = manager();
  struct Case {
    int32_t field;
    const char* message;
  };
  for (Case c : {Case{7, "field 7 does not exist: the rows have 2 fields."},
                 Case{-1, "field -1 does not exist: the rows have 2 fields."},
                 Case{0, "field 0 holds a string, not an integer."},
                 Case{1, "field 1: 300 does not fit the integer type asked for."}}) {
    auto sorter = m.sorter(byNameThenCount(tq::Engine::automatic));
    ASSERT_TRUE(sorter.ok());
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(sorter->add("a", 300).ok());
    auto sorted = std::move(*sorter).sort();
    ASSERT_TRUE(sorted.ok());
    int rows = 0;
    for (const tq::Row& row : *sorted) {
      ++rows;
      EXPECT_EQ(row.get<int8_t>(c.field), 0);
      EXPECT_TRUE(row.isNull(99));
    }
    EXPECT_EQ(rows, 1);
    EXPECT_EQ(sorted->status().code(), tq::Code::invalidArgument);
    EXPECT_EQ(sorted->status().message(), c.message);
  }
}

// The fifth mistake: the collation parser's two bools were undocumented and variants
// came back as flag bits.  Here each option is a named field, and each reaches the sort.
TEST_F(LayerTest, CollationOptionsAreNamedAndReachTheSort) {
  tq::Manager m = manager();
  auto sortNames = [&](const tq::Collation& collation, const std::vector<std::string>& names, bool unique) {
    auto sorter = m.sorter({.columns = {tq::Column::string(20)},
                            .keys = {{.field = 0, .collation = collation}},
                            .unique = unique});
    EXPECT_TRUE(sorter.ok()) << sorter.status().toString();
    for (const std::string& n : names) EXPECT_TRUE(sorter->add(n).ok());
    auto sorted = std::move(*sorter).sort();
    std::vector<std::string> out;
    for (const tq::Row& row : *sorted) out.emplace_back(row.get<std::string_view>(0));
    EXPECT_TRUE(sorted->status().ok());
    return out;
  };
  const std::vector<std::string> german = {"Zoë", "Ähre", "zoo", "Ahre", "Müller", "Muller", "Mueller"};
  using V = std::vector<std::string>;
  EXPECT_EQ(sortNames({.locale = "de"}, german, false),
            (V{"Ahre", "Ähre", "Mueller", "Muller", "Müller", "Zoë", "zoo"}));
  EXPECT_EQ(sortNames({.locale = "de", .variant = tq::Variant::phonebook}, german, false),
            (V{"Ähre", "Ahre", "Mueller", "Müller", "Muller", "Zoë", "zoo"}));
  EXPECT_EQ(sortNames({.locale = "en"}, {"file10", "file2"}, false), (V{"file10", "file2"}));
  EXPECT_EQ(sortNames({.locale = "en", .numeric = true}, {"file10", "file2"}, false), (V{"file2", "file10"}));
  EXPECT_EQ(sortNames({.locale = "en", .caseFirst = tq::CaseFirst::upper}, {"a", "A"}, false), (V{"A", "a"}));
  EXPECT_EQ(sortNames({.locale = "en", .caseFirst = tq::CaseFirst::lower}, {"A", "a"}, false), (V{"a", "A"}));
  EXPECT_EQ(sortNames({.locale = "en"}, {"ab", "a-c"}, false), (V{"a-c", "ab"}));
  EXPECT_EQ(sortNames({.locale = "en", .ignorePunctuation = true}, {"a-c", "ab"}, false), (V{"ab", "a-c"}));
  EXPECT_EQ(sortNames({.locale = "de", .strength = tq::Strength::primary}, {"a", "A", "ä", "b"}, true).size(), 2u);
  EXPECT_EQ(sortNames({.locale = "de", .strength = tq::Strength::secondary}, {"a", "A", "ä", "b"}, true).size(), 3u);
  EXPECT_EQ(sortNames({.locale = "sv"}, {"Ähre", "Zoë"}, false), (V{"Zoë", "Ähre"}));
}

// The sixth mistake: a locale that does not exist was accepted by setSort and reported
// at the first addRow, naming the key from 1.  The layer refuses it when the sorter is
// made, naming the key as keys[] numbers it; and keys that cannot apply are refused
// before the library sees them.
TEST_F(LayerTest, AKeyThatCannotSortIsRefusedWhenTheSorterIsMade) {
  tq::Manager m = manager();
  tq::SortOptions o{.columns = {tq::Column::integer(), tq::Column::string(10)},
                    .keys = {{.field = 0}, {.field = 1, .collation = tq::Collation{.locale = "xx_NOT_A_LOCALE"}}}};
  for (bool stable : {false, true}) {
    o.stable = stable;
    auto sorter = m.sorter(o);
    EXPECT_EQ(sorter.status().code(), tq::Code::openFailed);
    EXPECT_EQ(sorter.status().message(), "Sort key 1: the locale 'xx_NOT_A_LOCALE' is not known.");
  }
  struct Case {
    tq::SortOptions options;
    const char* message;
  };
  Case cases[] = {
      {{.columns = {tq::Column::integer()}, .keys = {{.field = 0, .collation = tq::Collation{.locale = "de"}}}},
       "keys[0]: a collation orders strings; field 0 holds an integer."},
      {{.columns = {tq::Column::string(5)},
        .keys = {{.field = 0, .collation = tq::Collation{.locale = "de"}}},
        .engine = tq::Engine::fixedRows},
       "engine: only Engine::external sorts by a collation."},
      {{.columns = {tq::Column::string(5)}, .keys = {{.field = 0}, {.field = 5}}},
       "keys[1]: field 5 does not exist (the rows have 1 columns)."},
      {{.columns = {tq::Column::string(5)}, .keys = {}}, "keys: a sort needs at least one key."},
      {{.columns = {tq::Column::string(5)},
        .keys = {{.field = 0, .collation = tq::Collation{.locale = "de", .variant = tq::Variant::posix,
                                                         .numeric = true}}}},
       nullptr},  // the engine's own words
  };
  for (const Case& c : cases) {
    auto sorter = m.sorter(c.options);
    EXPECT_FALSE(sorter.ok());
    if (c.message != nullptr) {
      EXPECT_EQ(sorter.status().code(), tq::Code::invalidArgument);
      EXPECT_EQ(sorter.status().message(), c.message);
    } else {
      EXPECT_EQ(sorter.status().message().rfind("Sort key 0: ", 0), 0u) << sorter.status().message();
    }
  }
  EXPECT_TRUE(leftovers().empty());
}

// A sort cancelled by its progress callback stops with Code::stopped and the library's
// message, whether sort() or the reading was in progress; a callback that throws
// cancels it too, with its what(), and nothing is thrown into the library.
TEST_F(LayerTest, ACancelledSortStopsWithStopped) {
  tq::Manager m = manager();
  std::vector<NameAndCount> rows = someRows(60000, 3);
  for (tq::Engine engine : {tq::Engine::variableRows, tq::Engine::fixedRows, tq::Engine::external}) {
    for (bool throws : {false, true}) {
      std::atomic<int> calls{0};
      tq::SortOptions o = byNameThenCount(engine);
      o.memory = 512u << 10;
      o.chunkSize = 32u << 10;
      o.processors = 2;
      o.progress = [&](double) {
        if (throws) throw std::runtime_error("boom");
        return ++calls < 0;  // stops at once
      };
      auto sorter = m.sorter(o);
      ASSERT_TRUE(sorter.ok()) << sorter.status().toString();
      for (const NameAndCount& r : rows) ASSERT_TRUE(sorter->add(r.name, r.count).ok());
      auto sorted = std::move(*sorter).sort();
      tq::Status stop = sorted.status();
      size_t read = 0;
      if (sorted.ok()) {
        read = readAll(*sorted).size();
        stop = sorted->status();
      }
      EXPECT_LT(read, rows.size()) << engineName(engine);
      EXPECT_EQ(stop.code(), tq::Code::stopped) << engineName(engine) << " " << stop.toString();
      EXPECT_EQ(stop.message(), throws ? "The progress callback threw (boom); the sort stopped."
                                       : "The sort was cancelled by the progress callback.");
    }
  }
}

// Positions from append() and from the rows read, seek to them, and clones that read
// on their own; a position of other rows, or none, is refused and changes nothing.
TEST_F(LayerTest, SeekAndCloneReadFromWhereTheyAreAsked) {
  tq::Manager m = manager();
  auto store = m.store({.columns = {tq::Column::integer(), tq::Column::string(30)}, .chunkSize = 1024});
  ASSERT_TRUE(store.ok());
  std::vector<tq::Position> added;
  for (int64_t i = 0; i < 3000; ++i) {
    auto at = store->append(i, "row " + std::to_string(i));
    ASSERT_TRUE(at.ok());
    added.push_back(*at);
  }
  auto frozen = std::move(*store).freeze();
  ASSERT_TRUE(frozen.ok());
  std::vector<tq::Position> read;
  for (const tq::Row& row : *frozen) read.push_back(row.position());
  EXPECT_TRUE(read == added);
  for (int64_t i : {int64_t{2999}, int64_t{0}, int64_t{1234}}) {
    ASSERT_TRUE(frozen->seek(added[static_cast<size_t>(i)]).ok());
    auto row = frozen->next();
    ASSERT_TRUE(row.ok());
    EXPECT_EQ(row->get<int64_t>(0), i);
    EXPECT_EQ(row->get<std::string_view>(1), "row " + std::to_string(i));
  }
  auto row = frozen->next();  // reading goes on after the row sought
  EXPECT_EQ(row->get<int64_t>(0), 1235);

  auto other = m.store({.columns = {tq::Column::integer(), tq::Column::string(30)}});
  auto elsewhere = other->append(int64_t{1}, "x");
  ASSERT_TRUE(elsewhere.ok());
  EXPECT_EQ(frozen->seek(*elsewhere).code(), tq::Code::invalidArgument);
  EXPECT_EQ(frozen->seek(tq::Position()).code(), tq::Code::invalidArgument);
  EXPECT_EQ(frozen->next()->get<int64_t>(0), 1236);  // the refused seeks changed nothing

  auto clone = frozen->clone();
  ASSERT_TRUE(clone.ok());
  EXPECT_EQ(clone->next()->get<int64_t>(0), 0);
  ASSERT_TRUE(clone->seek(added[10]).ok());  // positions hold for clones
  EXPECT_EQ(clone->next()->get<int64_t>(0), 10);
  EXPECT_EQ(frozen->next()->get<int64_t>(0), 1237);
}

// What the sort options map onto: unique, group marks, stable order with spilled runs,
// nulls lowest in both directions; each out-of-range option is refused by name.
TEST_F(LayerTest, SortOptionsReachTheLibrary) {
  tq::Manager m = manager();
  for (tq::Engine engine : kEngines) {
    tq::SortOptions o{.columns = {tq::Column::integer(), tq::Column::integer()},
                      .keys = {{.field = 0, .order = tq::Order::descending}},
                      .memory = 512u << 10,
                      .chunkSize = 16u << 10,
                      .stable = true,
                      .markGroups = true,
                      .engine = engine};
    auto sorter = m.sorter(o);
    ASSERT_TRUE(sorter.ok()) << engineName(engine) << sorter.status().toString();
    const int64_t n = 40000;
    for (int64_t i = 0; i < n; ++i) {
      ASSERT_TRUE(i % 1000 == 0 ? sorter->add(tq::null, i).ok() : sorter->add(i % 7, i).ok());
    }
    auto sorted = std::move(*sorter).sort();
    ASSERT_TRUE(sorted.ok()) << sorted.status().toString();
    int64_t rows = 0, groups = 0, lastKey = 99, lastOrdinal = -1;
    bool nullsLast = true;
    for (const tq::Row& row : *sorted) {
      std::optional<int64_t> key = row.get<std::optional<int64_t>>(0);
      int64_t k = key.value_or(-1);
      if (k != lastKey) {
        EXPECT_TRUE(row.startsGroup());
        ++groups;
        lastOrdinal = -1;
      } else {
        EXPECT_FALSE(row.startsGroup());
      }
      EXPECT_GT(row.get<int64_t>(1), lastOrdinal) << "stable";
      lastOrdinal = row.get<int64_t>(1);
      if (lastKey == -1 && key.has_value()) nullsLast = false;
      lastKey = k;
      ++rows;
    }
    EXPECT_TRUE(sorted->status().ok());
    EXPECT_EQ(rows, n);
    EXPECT_EQ(groups, 8);
    EXPECT_TRUE(nullsLast) << "descending: nulls come last";

    o.unique = true;
    o.stable = false;
    auto unique = m.sorter(o);
    ASSERT_TRUE(unique.ok());
    for (int64_t i = 0; i < 1000; ++i) ASSERT_TRUE(unique->add(i % 7, i).ok());
    auto distinct = std::move(*unique).sort();
    ASSERT_TRUE(distinct.ok());
    int64_t kept = 0;
    for (const tq::Row& row : *distinct) kept += row.startsGroup() ? 1 : 0;
    EXPECT_EQ(kept, 7);
  }
  struct Case {
    tq::SortOptions options;
    const char* prefix;
  };
  Case cases[] = {
      {{.columns = {tq::Column::integer()}, .keys = {{.field = 0}}, .memory = uint64_t{1} << 32}, "memory: "},
      {{.columns = {tq::Column::integer()}, .keys = {{.field = 0}}, .chunkSize = (1u << 30) + 1}, "chunkSize: "},
      {{.columns = {tq::Column::integer()}, .keys = {{.field = 0}}, .processors = 65}, "processors: "},
      {{.columns = {tq::Column::integer()}, .keys = {{.field = 0}}, .expectedRows = -1}, "expectedRows: "},
      {{.columns = {tq::Column::string(0)}, .keys = {{.field = 0}}}, "columns[0]: "},
      {{.columns = {}, .keys = {{.field = 0}}}, "columns: "},
  };
  for (const Case& c : cases) {
    auto sorter = m.sorter(c.options);
    EXPECT_EQ(sorter.status().code(), tq::Code::invalidArgument);
    EXPECT_EQ(sorter.status().message().rfind(c.prefix, 0), 0u) << sorter.status().message();
  }
  // Where a store keeps its rows.
  auto immediately = m.store({.columns = {tq::Column::integer()}, .spill = tq::Spill::immediately});
  ASSERT_TRUE(immediately.ok());
  ASSERT_TRUE(immediately->add(1).ok());
  auto fixed = m.store({.columns = {tq::Column::string(4)}, .layout = tq::RowLayout::fixed});
  ASSERT_TRUE(fixed.ok());
  ASSERT_TRUE(fixed->add("abcd").ok());
  auto frozen = std::move(*fixed).freeze();
  EXPECT_EQ(frozen->next()->get<std::string>(0), "abcd");
}

// Failures where the data moves (a spill file's write, a sort's run file, its read back)
// come back as the Status of the call that met them, or of the reading, with the
// library's message; nothing is thrown and no file stays behind.
TEST_F(LayerTest, FailuresWhereDataMovesComeBackAsStatuses) {
  tq::Manager m = manager();
  auto store = m.store({.columns = {tq::Column::integer(), tq::Column::string(20)}, .chunkSize = 4096});
  ASSERT_TRUE(store.ok());
  tqFaultArm(TqFaultOp::Write, 100);
  tq::Status failed;
  for (int64_t i = 0; i < 10000 && failed.ok(); ++i) failed = store->add(i, "some text");
  tqFaultReset();
  EXPECT_EQ(failed.code(), tq::Code::ioError) << failed.toString();
  EXPECT_FALSE(failed.message().empty());
  EXPECT_TRUE(store->add(int64_t{-1}, "after").ok());  // the store goes on

  for (TqFaultOp op : {TqFaultOp::Write, TqFaultOp::Read}) {
    tq::SortOptions o = byNameThenCount(tq::Engine::variableRows);
    o.memory = 256u << 10;
    o.chunkSize = 16u << 10;
    auto sorter = m.sorter(o);
    ASSERT_TRUE(sorter.ok());
    std::vector<NameAndCount> rows = someRows(30000, 5);
    tqFaultArm(op, 2, TqFaultMode::Fail, true);
    tq::Status s;
    for (size_t i = 0; i < rows.size() && s.ok(); ++i) s = sorter->add(rows[i].name, rows[i].count);
    if (s.ok()) {
      auto sorted = std::move(*sorter).sort();
      s = sorted.status();
      if (sorted.ok()) {
        EXPECT_LT(readAll(*sorted).size(), rows.size());
        s = sorted->status();
      }
    }
    tqFaultReset();
    EXPECT_FALSE(s.ok());
    EXPECT_NE(s.code(), tq::Code::invalidArgument) << s.toString();
    EXPECT_FALSE(s.message().empty());
  }
}

}  // namespace
