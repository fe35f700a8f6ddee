// The account of a row's bytes that tqsort sizes its sorts by is the one the chunk sort
// refuses rows by: a row whose fields and key come, by core/rowbytes.h, to exactly the
// longest row the library says a sort takes (tqDatafileSortRowLimit) is stored, and one
// byte more is refused with that size, for every column type, null and present key
// strings, and with a stable sort's sequence number.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/rowbytes.h"
#include "sort_support.h"
#include "tqdatafile/manager.h"

namespace {

class RowBytesTest : public SortTest {};

// The row's bytes as core/rowbytes.h counts them.
uint64_t rowNeed(const std::vector<RefColumn>& columns, const std::vector<RefKey>& keys,
                 const std::vector<RefValue>& row, bool stable) {
  auto text = [&](size_t i) -> int64_t {
    if (columns[i].type != tqbTypeString || row[i].null) return -1;
    return static_cast<int64_t>(row[i].s.size());
  };
  uint64_t need = stable ? tqrowbytes::kStableKeyBytes : 0;
  for (size_t i = 0; i < columns.size(); ++i) need += tqrowbytes::storedField(columns[i].type, text(i));
  for (const RefKey& k : keys) need += tqrowbytes::keyField(columns[k.field].type, text(static_cast<size_t>(k.field)));
  return need;
}

TEST_F(RowBytesTest, TheLibraryRefusesRowsWhereTheSharedAccountSaysItWill) {
  // A long string that is no key (column 1) sets the row's size byte by byte; the keys
  // cover every type, a null string among them.
  const std::vector<RefColumn> columns = {{tqbTypeInteger, 0}, {tqbTypeString, 1 << 20}, {tqbTypeBoolean, 0},
                                          {tqbTypeDate, 0},    {tqbTypeReal, 0},         {tqbTypeString, 100},
                                          {tqbTypeString, 100}};
  const std::vector<RefKey> keys = {{5, true}, {0, false}, {2, true}, {3, true}, {4, false}, {6, true}};
  const uint32_t sortSize = 64 << 10, chunkSize = 4096;
  const uint64_t limit = tqDatafileSortRowLimit(sortSize, chunkSize);
  ASSERT_GT(limit, 8000u);
  for (bool stable : {false, true}) {
    for (bool nullKey : {false, true}) {
      SCOPED_TRACE(std::string(stable ? "stable" : "unstable") + (nullKey ? ", null key string" : ""));
      SortOptions o;
      o.chunkSize = chunkSize;
      o.sortSize = sortSize;
      o.stable = stable;
      TqSortVornImpl* f = makeSort(columns, o, keys);
      std::vector<RefValue> row(columns.size());
      row[0].null = false;
      row[0].i = 7;
      row[2].null = false;
      row[2].i = 1;
      row[5].null = nullKey;
      row[5].s = nullKey ? "" : "a key of some length";
      row[6].null = false;
      row[6].s = "";
      row[1].null = false;
      const uint64_t base = rowNeed(columns, keys, row, stable);
      ASSERT_LT(base, limit);
      row[1].s = std::string(static_cast<size_t>(limit - base), 'x');
      ASSERT_EQ(rowNeed(columns, keys, row, stable), limit);
      ASSERT_TRUE(storeRow(f, columns, row));
      EXPECT_EQ(f->addRow(nullptr), 0) << f->getError().asCstr();
      row[1].s.push_back('y');
      ASSERT_TRUE(storeRow(f, columns, row));
      EXPECT_EQ(f->addRow(nullptr), TqDatafile::StatusNoRoom);
      EXPECT_NE(f->getError().str().find("A row of " + std::to_string(limit + 1)), std::string::npos)
          << f->getError().asCstr();
      EXPECT_EQ(f->getRowCount(), 1);
      f->release();
    }
  }
}

}  // namespace
