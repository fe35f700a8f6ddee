// The unsorted datafile: row layout, memory and spill, reading, seek, rechunk, clear,
// clones and references, failure paths.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "platform/tqbassert.h"
#include "platform/tqbdecimal.h"
#include "platform/tqfault.h"
#include "src/datafile.h"
#include "src/datamgr.h"
#include "test_support.h"
#include "tqdatafile/tqdatafile.h"

// The library's internals that these tests reach.
using tqlib::TqDatafileImpl;
using tqlib::TqDatafileManagerImpl;

namespace {

constexpr uint32_t kMemFirst = TqDatafile::FlagMemoryFirst;
constexpr uint32_t kMemOnly = TqDatafile::FlagMemoryOnly | TqDatafile::FlagMemoryFirst;
constexpr uint32_t kVar = TqDatafile::FlagVariableRows;

struct Column {
  tqbType type;
  int32_t length;
};

std::vector<uint8_t> fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<uint8_t> hex(const std::string& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < text.size() + 1; i += 3) {
    out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  return out;
}

}  // namespace

class DatafileTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    TqbString error;
    mgr_ = static_cast<TqDatafileManagerImpl*>(tqDatafileManagerCreate(dir_.c_str(), &error));
    ASSERT_NE(mgr_, nullptr) << error.asCstr();
  }
  void TearDown() override {
    if (mgr_ != nullptr) mgr_->release();
    TempDirTest::TearDown();
  }
  TqDatafileImpl* make(const std::vector<Column>& columns, uint32_t flags, uint32_t chunk = 0) {
    EXPECT_TRUE(mgr_->setColumns(static_cast<int32_t>(columns.size())));
    for (size_t i = 0; i < columns.size(); ++i) {
      mgr_->setColSpec(static_cast<int32_t>(i), columns[i].type, columns[i].length);
    }
    if (chunk != 0) mgr_->setChunkSize(chunk);
    TqDatafile* f = mgr_->createFile(flags);
    EXPECT_NE(f, nullptr) << mgr_->getError().asCstr();
    return static_cast<TqDatafileImpl*>(f);
  }
  // Four integers and two booleans: 40 bytes a row.
  TqDatafileImpl* make40(uint32_t flags, uint32_t chunk) {
    return make({{tqbTypeInteger, 0}, {tqbTypeInteger, 0}, {tqbTypeInteger, 0},
                 {tqbTypeInteger, 0}, {tqbTypeBoolean, 0}, {tqbTypeBoolean, 0}},
                flags, chunk);
  }
  static int32_t add40(TqDatafile* f, int64_t v, int64_t* start = nullptr) {
    for (int i = 0; i < 4; ++i) f->getField(i)->assign(v + i);
    f->getField(4)->assign(v % 2 == 0);
    f->getField(5)->setNull();
    return f->addRow(start);
  }
  static int64_t int0(TqDatafile* f) { return f->getField(0)->asInt64(nullptr); }

  TqDatafileManagerImpl* mgr_ = nullptr;
};

// --- field access and the base's refusals ------------------------------------------------

TEST_F(DatafileTest, FieldAccessChecksEveryIndex) {
  TqDatafileImpl* f = make({{tqbTypeInteger, -1}, {tqbTypeString, 10}, {tqbTypeBoolean, 0}},
                           kMemFirst | TqDatafile::FlagMarkColumn);
  EXPECT_EQ(f->getFieldCount(), 2);       // the mark column is hidden
  EXPECT_NE(f->getField(2), nullptr);     // but reachable while rows are added
  for (int32_t bad : {3, 100, -1}) {
    EXPECT_EQ(f->getField(bad), nullptr);
    EXPECT_EQ(f->getInt64(bad), nullptr);
    EXPECT_EQ(f->getFieldLength(bad), -1);
    bool raw = true;
    EXPECT_EQ(f->getFieldType(bad, &raw), tqbTypeNone);
    EXPECT_FALSE(raw);
  }
  bool raw = false;
  EXPECT_EQ(f->getFieldType(0, &raw), tqbTypeInteger);
  EXPECT_TRUE(raw);
  EXPECT_EQ(f->getFieldLength(1), 10);
  ASSERT_EQ(f->freeze(), 0);
  EXPECT_EQ(f->getField(2), nullptr);     // frozen: next reports the mark
  EXPECT_EQ(f->getInt64(2), nullptr);
  f->release();
}

TEST_F(DatafileTest, UnsortedDatafileRefusesSortingOperations) {
  TqDatafileImpl* f = make40(kMemFirst, 0);
  EXPECT_EQ(f->resetSort(1), 5);
  EXPECT_NE(f->getError().str().find("resetSort"), std::string::npos);
  EXPECT_EQ(f->setSort(0, 0, 1, nullptr), 5);
  EXPECT_EQ(f->setSortInfo(nullptr), 5);
  EXPECT_NE(f->getError().str().find("setSortInfoClass"), std::string::npos);
  EXPECT_EQ(f->setSortProgress(nullptr), 5);
  EXPECT_NE(f->getError().str().find("setProgressClass"), std::string::npos);
  EXPECT_EQ(f->sort(), 5);
  f->release();
}

TEST_F(DatafileTest, MemoryOnlyNeedsMemoryFirst) {
  mgr_->setColumns(1);
  mgr_->setColSpec(0, tqbTypeInteger, 0);
  EXPECT_EQ(mgr_->createFile(TqDatafile::FlagMemoryOnly), nullptr);
  EXPECT_NE(mgr_->getError().str().find("FlagMemoryOnly needs FlagMemoryFirst"), std::string::npos);
  TqDatafile* f = mgr_->createFile(0x60000000);
  ASSERT_NE(f, nullptr);
  f->release();
}

// --- row layout --------------------------------------------------------------------------

TEST_F(DatafileTest, ExampleRowHasItsExactBytesInMemoryAndOnDisk) {
  std::vector<Column> cols = {{tqbTypeInteger, 0}, {tqbTypeBoolean, 0}, {tqbTypeString, 10}};
  std::vector<uint8_t> expected = hex("00 05 00 00 00 00 00 00 00 01 00 00 04 61 62 63 00");
  for (uint32_t flags : {kMemFirst | kVar, kVar}) {
    TqDatafileImpl* f = make(cols, flags);
    f->getField(0)->assign(int64_t{5});
    f->getField(1)->setNull();
    f->getField(2)->assign("abc");
    ASSERT_EQ(f->addRow(nullptr), 0);
    EXPECT_EQ(f->getSize(), 17);
    if (flags & kMemFirst) {
      EXPECT_EQ(std::vector<uint8_t>(f->bufferBytes(), f->bufferBytes() + 17), expected);
    } else {
      std::string name = f->tempFileName().asCstr();
      ASSERT_EQ(f->freeze(), 0);
      EXPECT_EQ(fileBytes(name), expected);
    }
    f->release();
  }
}

TEST_F(DatafileTest, LengthPrefixSwitchesToFourBytesAt127) {
  TqDatafileImpl* f = make({{tqbTypeString, 400}}, kMemFirst | kVar);
  struct Case {
    size_t raw;
    std::string prefix;
  };
  int64_t offset = 0;
  for (const Case& c : {Case{1, "00 01"}, Case{126, "00 7E"}, Case{127, "00 80 00 00 7F"},
                        Case{300, "00 80 00 01 2C"}}) {
    std::string s(c.raw - 1, 'q');
    f->getField(0)->assign(s.c_str());
    int64_t start = -1;
    ASSERT_EQ(f->addRow(&start), 0);
    EXPECT_EQ(start, offset);
    std::vector<uint8_t> head = hex(c.prefix);
    EXPECT_EQ(std::vector<uint8_t>(f->bufferBytes() + offset, f->bufferBytes() + offset + head.size()), head)
        << c.raw;
    offset += static_cast<int64_t>(head.size() + c.raw);
    EXPECT_EQ(f->getSize(), offset);
  }
  // Every one reads back whole, also after a spill to the file.
  ASSERT_EQ(f->rechunk(64), 0);
  EXPECT_FALSE(f->inMemory());
  ASSERT_EQ(f->freeze(), 0);
  for (size_t raw : {1u, 126u, 127u, 300u}) {
    ASSERT_EQ(f->next(nullptr), 0);
    EXPECT_EQ(std::string(f->getField(0)->asCstr()), std::string(raw - 1, 'q'));
  }
  EXPECT_EQ(f->next(nullptr), 4);
  f->release();
}

TEST_F(DatafileTest, FixedLayoutPadsNullsAndFullValues) {
  TqDatafileImpl* f = make({{tqbTypeString, 10}, {tqbTypeInteger, -1}}, kMemFirst);
  f->getField(0)->setNull();
  f->getField(1)->setNull();  // a raw integer is never null: rawValue is written
  *f->getInt64(1) = 7;
  ASSERT_EQ(f->addRow(nullptr), 0);
  f->getField(0)->assign("0123456789");  // 11 raw bytes: no padding
  ASSERT_EQ(f->addRow(nullptr), 0);
  std::vector<uint8_t> expected = hex("01 00 00 00 00 00 00 00 00 00 00 00 00 07 00 00 00 00 00 00 00");
  std::vector<uint8_t> second = hex("00 30 31 32 33 34 35 36 37 38 39 00 00 07 00 00 00 00 00 00 00");
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(std::vector<uint8_t>(f->bufferBytes(), f->bufferBytes() + 42), expected);
  f->release();
}

TEST_F(DatafileTest, FixedLayoutStringReadsBackAsTheValueStored) {
  // The padding is the layout's, not the value's: a value read back and stored again
  // is the same value, in memory and on disk.
  for (uint32_t flags : {kMemFirst, 0u}) {
    TqDatafileImpl* f = make({{tqbTypeString, 10}}, flags);
    f->getField(0)->assign("abc");
    ASSERT_EQ(f->addRow(nullptr), 0);
    ASSERT_EQ(f->freeze(), 0);
    ASSERT_EQ(f->next(nullptr), 0);
    size_t n = 0;
    f->getField(0)->getRaw(&n);
    EXPECT_EQ(n, 4u);
    TqbDatavar original;
    original.assign("abc");
    EXPECT_EQ(f->getField(0)->compare(original), 0);
    f->release();
  }
}

TEST_F(DatafileTest, OverLongFixedStringRefusesTheRowAndLeavesNothing) {
  // "M\xc3\xbc" is 3 bytes: a cut to the column's 2 would store half a character.  The row
  // is refused (1, a message naming the column, the length and the maximum) in memory,
  // in a buffer with no room left for it (no spill for a row that can never fit), in a
  // memory-only file (1, not "full"), and on disk; the rows around it read back whole.
  for (uint32_t flags : {kMemFirst, kMemOnly, uint32_t{0}}) {
    SCOPED_TRACE("flags " + std::to_string(flags));
    TqDatafileImpl* f = make({{tqbTypeInteger, 0}, {tqbTypeString, 2}}, flags, 3 * 13 + 4);
    auto add = [&](int64_t i, const char* s) {
      f->getField(0)->assign(i);
      f->getField(1)->assign(s);
      return f->addRow(nullptr);
    };
    int64_t asserts = tqbAssertCount();
    ASSERT_EQ(add(1, "ab"), 0);
    EXPECT_EQ(add(2, "M\xc3\xbc"), 1);
    std::string text = f->getError().str();
    EXPECT_NE(text.find("column 1 is 3 bytes long"), std::string::npos) << text;
    EXPECT_NE(text.find("maximum length of 2 bytes"), std::string::npos) << text;
    EXPECT_EQ(tqbAssertCount(), asserts + 1);
    ASSERT_EQ(add(3, "M"), 0);
    ASSERT_EQ(add(4, "xy"), 0);  // the buffer (43 bytes) now holds 3 rows of 13
    EXPECT_EQ(add(5, "toolong"), 1);
    EXPECT_EQ(f->getRowCount(), 3);
    EXPECT_EQ(f->getSize(), 3 * 13);
    if (flags != kMemOnly) {
      ASSERT_EQ(add(6, ""), 0);  // spills when it must
    }
    EXPECT_EQ(add(7, "abc"), 1);
    ASSERT_EQ(f->freeze(), 0) << f->getError().asCstr();
    std::vector<int64_t> ids;
    std::vector<std::string> texts;
    while (f->next(nullptr) == 0) {
      ids.push_back(f->getField(0)->asInt64(nullptr));
      texts.push_back(f->getField(1)->asCstr());
    }
    std::vector<int64_t> wantIds = {1, 3, 4};
    std::vector<std::string> wantTexts = {"ab", "M", "xy"};
    if (flags != kMemOnly) {
      wantIds.push_back(6);
      wantTexts.push_back("");
    }
    EXPECT_EQ(ids, wantIds);
    EXPECT_EQ(texts, wantTexts);
    f->release();
  }
}

TEST_F(DatafileTest, RealsAreWrittenAsExactly24Bytes) {
  TqDatafileImpl* f = make({{tqbTypeReal, 0}, {tqbTypeBoolean, 0}}, kMemFirst | kVar);
  uint8_t raw[40];
  std::memset(raw, 0xAB, sizeof(raw));
  int64_t asserts = tqbAssertCount();
  f->getField(0)->assign(tqbTypeReal, raw, 40);  // too long: cut to 24
  f->getField(1)->assign(false);
  ASSERT_EQ(f->addRow(nullptr), 0);
  f->getField(0)->assign(tqbTypeReal, raw, 3);   // too short: zero-padded
  ASSERT_EQ(f->addRow(nullptr), 0);
  EXPECT_EQ(tqbAssertCount(), asserts + 2);
  EXPECT_EQ(f->getSize(), 2 * 27);
  const uint8_t* b = f->bufferBytes();
  EXPECT_EQ(b[24], 0xAB);
  EXPECT_EQ(b[25], 0);  // the boolean's flag follows at once
  EXPECT_EQ(b[27 + 1 + 3], 0);
  f->release();
}

TEST_F(DatafileTest, ReadersTakeAnyNonOneFlagAsAValue) {
  // A boolean stored as 00 02 reads as false; a null flag of 02 reads as a value.
  TqDatafileImpl* f = make({{tqbTypeBoolean, 0}, {tqbTypeInteger, 0}}, kMemFirst);
  f->getField(0)->assign(true);
  f->getField(1)->assign(int64_t{9});
  ASSERT_EQ(f->addRow(nullptr), 0);
  uint8_t* b = const_cast<uint8_t*>(f->bufferBytes());
  b[1] = 2;
  b[2] = 2;
  ASSERT_EQ(f->freeze(), 0);
  ASSERT_EQ(f->next(nullptr), 0);
  EXPECT_FALSE(f->getField(0)->isNull());
  EXPECT_FALSE(f->getField(0)->asBool(nullptr));
  EXPECT_FALSE(f->getField(1)->isNull());
  EXPECT_EQ(int0(f) , 0);  // field 0 is the boolean
  EXPECT_EQ(f->getField(1)->asInt64(nullptr), 9);
  f->release();
}

TEST_F(DatafileTest, RowThatDoesNotFitLeavesTheCountsAlone) {
  // 20 bytes of buffer: a boolean (2) and an integer (9) fit once, the second integer of
  // the second row does not (8 bytes left).
  TqDatafileImpl* f = make({{tqbTypeBoolean, 0}, {tqbTypeInteger, 0}, {tqbTypeInteger, 0}},
                           kMemOnly, 28);
  f->getField(0)->assign(true);
  f->getField(1)->assign(int64_t{1});
  f->getField(2)->assign(int64_t{2});
  ASSERT_EQ(f->addRow(nullptr), 0);  // 20 bytes
  int64_t start = -1;
  EXPECT_EQ(f->addRow(&start), 4);   // memory only: full
  EXPECT_NE(f->getError().str().find("End of data"), std::string::npos);
  EXPECT_EQ(start, -1);              // a row that was not stored has no start
  EXPECT_EQ(f->getSize(), 20);
  EXPECT_EQ(f->getRowCount(), 1);
  EXPECT_EQ(f->position(), 20);
  f->release();
}

// --- memory, spill, reading --------------------------------------------------------------

TEST_F(DatafileTest, ThirdRowSpillsAtTheBufferBoundary) {
  TqDatafileImpl* f = make40(kMemFirst, 100);
  ASSERT_EQ(add40(f, 0), 0);
  ASSERT_EQ(add40(f, 10), 0);
  EXPECT_TRUE(f->inMemory());
  EXPECT_EQ(std::filesystem::file_size(f->tempFileName().asCstr()), 0u);
  ASSERT_EQ(add40(f, 20), 0);
  EXPECT_FALSE(f->inMemory());
  EXPECT_EQ(f->getSize(), 120);
  ASSERT_EQ(f->freeze(), 0);
  EXPECT_EQ(std::filesystem::file_size(f->tempFileName().asCstr()), 120u);
  for (int64_t v : {0, 10, 20}) {
    ASSERT_EQ(f->next(nullptr), 0);
    EXPECT_EQ(int0(f), v);
    EXPECT_EQ(f->getField(3)->asInt64(nullptr), v + 3);
    EXPECT_TRUE(f->getField(5)->isNull());
  }
  EXPECT_EQ(f->next(nullptr), 4);
  EXPECT_EQ(f->getRowCount(), 3);
  f->release();
}

TEST_F(DatafileTest, MemoryOnlyDatafileReportsFullAndKeepsItsRows) {
  TqDatafileImpl* f = make40(kMemOnly, 100);
  ASSERT_EQ(add40(f, 0), 0);
  ASSERT_EQ(add40(f, 1), 0);
  EXPECT_EQ(add40(f, 2), 4);
  EXPECT_NE(f->getError().str().find("End of data"), std::string::npos);
  ASSERT_EQ(f->freeze(), 0);
  ASSERT_EQ(f->next(nullptr), 0);
  ASSERT_EQ(f->next(nullptr), 0);
  EXPECT_EQ(int0(f), 1);
  EXPECT_EQ(f->next(nullptr), 4);
  EXPECT_TRUE(leftovers().empty());  // no file is ever made
  f->release();
}

TEST_F(DatafileTest, FreezeInMemoryRemovesTheEmptyFileAndCountsRows) {
  TqDatafileImpl* f = make40(kMemFirst, 1000);
  std::string name = f->tempFileName().asCstr();
  EXPECT_TRUE(std::filesystem::exists(name));
  for (int i = 0; i < 10; ++i) ASSERT_EQ(add40(f, i), 0);
  EXPECT_EQ(f->getRowCount(), 10);
  EXPECT_EQ(f->tell(), -1);  // writing: the position is at the end
  ASSERT_EQ(f->freeze(), 0);
  EXPECT_FALSE(std::filesystem::exists(name));
  EXPECT_EQ(f->freeze(), 0);  // a second freeze changes nothing
  for (int i = 0; i < 3; ++i) ASSERT_EQ(f->next(nullptr), 0);
  EXPECT_EQ(f->getRowCount(), 10);
  EXPECT_EQ(f->tell(), 120);
  EXPECT_EQ(add40(f, 99), 5);
  EXPECT_NE(f->getError().str().find("Read Only"), std::string::npos);
  EXPECT_EQ(f->clear(), 5);
  EXPECT_EQ(f->rechunk(64), 5);
  f->release();
}

TEST_F(DatafileTest, SeekReadsTheRowAtARememberedStart) {
  for (uint32_t flags : {kMemFirst, 0u}) {
    TqDatafileImpl* f = make40(flags, 4096);
    std::vector<int64_t> starts(20);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(add40(f, i, &starts[i]), 0);
    // While still writable: seek reads, and the next addRow appends at the end.
    ASSERT_EQ(f->seek(starts[5]), 0);
    EXPECT_EQ(int0(f), 5);
    ASSERT_EQ(add40(f, 20), 0);
    ASSERT_EQ(f->freeze(), 0);
    EXPECT_EQ(f->getRowCount(), 21);
    ASSERT_EQ(f->seek(starts[7]), 0);
    EXPECT_EQ(int0(f), 7);
    ASSERT_EQ(f->next(nullptr), 0);
    EXPECT_EQ(int0(f), 8);
    ASSERT_EQ(f->seek(starts[0]), 0);
    EXPECT_EQ(int0(f), 0);
    EXPECT_EQ(f->seek(f->getSize()), 4);           // at the end: end of data through next
    EXPECT_EQ(f->seek(f->getSize() + 1), 4);       // beyond: refused before any access
    EXPECT_NE(f->getError().str().find("End of data"), std::string::npos);
    f->release();
  }
}

TEST_F(DatafileTest, SeekToAPositionThatIsNotARowStartFailsCleanly) {
  for (uint32_t flags : {kMemFirst | kVar, kVar}) {
    TqDatafileImpl* f = make({{tqbTypeString, 2000}, {tqbTypeInteger, 0}}, flags);
    std::string big(1500, 'z');
    for (int i = 0; i < 5; ++i) {
      f->getField(0)->assign(i % 2 ? big.c_str() : "x");
      f->getField(1)->assign(int64_t{i});
      ASSERT_EQ(f->addRow(nullptr), 0);
    }
    ASSERT_EQ(f->freeze(), 0);
    // Every offset inside the data: each read either finds a plausible row or fails
    // with a status, never reading outside the rows (checked by the sanitizers).
    for (int64_t p = 0; p < f->getSize(); ++p) {
      int32_t status = f->seek(p);
      EXPECT_TRUE(status == 0 || status == 4 || status == 3) << p << ": " << status;
    }
    int32_t negative = f->seek(-5);
    EXPECT_NE(negative, 0);
    ASSERT_EQ(f->seek(0), 0);  // still usable afterwards
    EXPECT_STREQ(f->getField(0)->asCstr(), "x");
    f->release();
  }
}

TEST_F(DatafileTest, RechunkMovesDataBothWays) {
  TqDatafileImpl* f = make40(kMemFirst, 400);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(add40(f, i), 0);  // 200 bytes in memory
  ASSERT_EQ(f->rechunk(400), 0);                          // same size: nothing to do
  ASSERT_EQ(f->rechunk(150), 0);                          // smaller than the data: spill
  EXPECT_FALSE(f->inMemory());
  EXPECT_EQ(f->getChunkSize(), 150u);
  ASSERT_EQ(add40(f, 5), 0);
  ASSERT_EQ(f->rechunk(1000), 0);                         // holds the data again: back
  EXPECT_TRUE(f->inMemory());
  EXPECT_EQ(std::filesystem::file_size(f->tempFileName().asCstr()), 0u);
  ASSERT_EQ(add40(f, 6), 0);
  ASSERT_EQ(f->rechunk(0), 0);                            // the manager's chunk size
  EXPECT_EQ(f->getChunkSize(), mgr_->getChunkSize());
  ASSERT_EQ(f->freeze(), 0);
  for (int i = 0; i < 7; ++i) {
    ASSERT_EQ(f->next(nullptr), 0);
    EXPECT_EQ(int0(f), i);
  }
  EXPECT_EQ(f->next(nullptr), 4);
  f->release();
}

TEST_F(DatafileTest, ClearReturnsASpilledFileToMemory) {
  TqDatafileImpl* f = make40(kMemFirst, 100);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(add40(f, i), 0);
  EXPECT_FALSE(f->inMemory());
  ASSERT_EQ(f->clear(), 0);
  EXPECT_TRUE(f->inMemory());
  EXPECT_EQ(f->getSize(), 0);
  EXPECT_EQ(f->getRowCount(), 0);
  EXPECT_EQ(std::filesystem::file_size(f->tempFileName().asCstr()), 0u);
  ASSERT_EQ(add40(f, 42), 0);
  ASSERT_EQ(f->freeze(), 0);
  ASSERT_EQ(f->next(nullptr), 0);
  EXPECT_EQ(int0(f), 42);
  EXPECT_EQ(f->next(nullptr), 4);
  f->release();
}

// --- clones and references ---------------------------------------------------------------

TEST_F(DatafileTest, ClonesReadIndependentlyOfTheRoot) {
  for (uint32_t chunk : {100000u, 100u}) {  // in memory, then spilled
    TqDatafileImpl* f = make40(kMemFirst, chunk);
    EXPECT_EQ(f->clone(), nullptr);  // writable: refused
    EXPECT_NE(f->getError().str().find("Writable"), std::string::npos);
    for (int i = 0; i < 50; ++i) ASSERT_EQ(add40(f, i), 0);
    ASSERT_EQ(f->freeze(), 0);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(f->next(nullptr), 0);
    TqDatafile* a = f->clone();
    ASSERT_NE(a, nullptr) << f->getError().asCstr();
    TqDatafile* b = a->clone();  // a clone of a clone reads the root too
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->getParent(), f);
    for (int i = 0; i < 50; ++i) {
      ASSERT_EQ(a->next(nullptr), 0);
      EXPECT_EQ(int0(a), i);
      if (i % 2 == 0) {
        ASSERT_EQ(b->next(nullptr), 0);
        EXPECT_EQ(int0(b), i / 2);
      }
    }
    EXPECT_EQ(a->next(nullptr), 4);
    ASSERT_EQ(f->next(nullptr), 0);
    EXPECT_EQ(int0(f), 10);  // the root's own position did not move
    EXPECT_EQ(a->getRowCount(), 50);
    a->release();
    f->release();
    b->release();
  }
}

TEST_F(DatafileTest, RootIsDestroyedOnceWhateverTheOrderOfRelease) {
  LogCapture capture;
  tqlogSetLevel("TQ.Datafile.tempfile", 1);
  for (int order = 0; order < 3; ++order) {
    capture.clear();
    TqDatafileImpl* f = make40(kMemFirst, 100);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(add40(f, i), 0);  // spilled
    ASSERT_EQ(f->freeze(), 0);
    TqDatafile* c1 = f->clone();
    TqDatafile* c2 = f->clone();
    ASSERT_TRUE(c1 && c2);
    std::vector<TqDatafile*> seq = order == 0   ? std::vector<TqDatafile*>{f, c1, c2}
                                   : order == 1 ? std::vector<TqDatafile*>{c1, c2, f}
                                                : std::vector<TqDatafile*>{c1, f, c2};
    char addr[32];
    std::snprintf(addr, sizeof(addr), "%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(f)));
    std::string rootGone = std::string("TqDatafileImpl(") + addr + ")->~TqDatafileImpl()";
    for (size_t k = 0; k < seq.size(); ++k) {
      if (seq[k] != f) {
        // A clone still reads the rows after the root's owner let go.
        ASSERT_EQ(seq[k]->next(nullptr), 0);
        EXPECT_EQ(int0(seq[k]), 0);
      }
      seq[k]->release();
      int destroyed = 0;
      for (const LogRecord& r : capture.records()) destroyed += r.text == rootGone;
      EXPECT_EQ(destroyed, k + 1 == seq.size() ? 1 : 0) << "order " << order << " step " << k;
    }
  }
}

// --- failure paths -----------------------------------------------------------------------

TEST_F(DatafileTest, ShortSpillWriteFailsAndLeavesTheRowsInMemory) {
  TqDatafileImpl* f = make40(kMemFirst, 100);
  ASSERT_EQ(add40(f, 0), 0);
  ASSERT_EQ(add40(f, 1), 0);
  tqFaultArm(TqFaultOp::Write, 1, TqFaultMode::Short);
  EXPECT_EQ(add40(f, 2), 3);
  EXPECT_NE(f->getError().str().find("Writing the temporary file '" + f->tempFileName().str() + "' failed"),
            std::string::npos) << f->getError().str();
  EXPECT_TRUE(f->inMemory());
  EXPECT_EQ(f->getRowCount(), 2);
  tqFaultReset();
  ASSERT_EQ(add40(f, 2), 0);  // the disk has room again
  ASSERT_EQ(f->freeze(), 0);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(f->next(nullptr), 0);
    EXPECT_EQ(int0(f), i);
  }
  f->release();
}

TEST_F(DatafileTest, FailedFieldWriteOnDiskKeepsPositionForARetry) {
  TqDatafileImpl* f = make40(0, 0);  // on disk from the first row
  for (int i = 0; i < 3; ++i) ASSERT_EQ(add40(f, i), 0);
  tqFaultArm(TqFaultOp::Write, 1);
  EXPECT_EQ(add40(f, 3), 3);
  tqFaultReset();
  EXPECT_EQ(f->getSize(), 120);
  ASSERT_EQ(f->freeze(), 0);
  EXPECT_EQ(f->getRowCount(), 3);
  f->release();
}

TEST_F(DatafileTest, FailedReopenAtFreezeReportsStatus2) {
  TqDatafileImpl* f = make40(0, 0);
  ASSERT_EQ(add40(f, 1), 0);
  tqFaultArm(TqFaultOp::Open, 1);
  EXPECT_EQ(f->freeze(), 2);
  EXPECT_NE(f->getError().str().find("could not be reopened"), std::string::npos);
  tqFaultReset();
  f->release();
}

TEST_F(DatafileTest, FailedTemporaryFileFailsCreation) {
  mgr_->setColumns(1);
  mgr_->setColSpec(0, tqbTypeInteger, 0);
  tqFaultArm(TqFaultOp::TmpFile, 1);
  EXPECT_EQ(mgr_->createFile(kMemFirst), nullptr);
  EXPECT_NE(mgr_->getError().str().find("could not be created in '" + dir_ + "'"), std::string::npos);
  tqFaultReset();
  // Memory-only datafiles need no file at all.
  tqFaultArm(TqFaultOp::TmpFile, 1, TqFaultMode::Fail, true);
  TqDatafile* f = mgr_->createFile(kMemOnly);
  ASSERT_NE(f, nullptr);
  f->release();
}

TEST_F(DatafileTest, ManagerWithoutDirectoriesUsesTheDefaultPlace) {
  TqbString error;
  TqDatafileManager* bare = tqDatafileManagerCreate(":", &error);
  ASSERT_NE(bare, nullptr);
  bare->setColumns(1);
  bare->setColSpec(0, tqbTypeInteger, 0);
  auto* f = static_cast<TqDatafileImpl*>(bare->createFile(0));
  ASSERT_NE(f, nullptr) << bare->getError().asCstr();
  EXPECT_EQ(std::string(f->tempFileName().asCstr()).rfind(dir_ + "/tq_", 0), 0u);  // TMPDIR
  f->release();
  bare->release();
}

TEST_F(DatafileTest, EveryAllocationFailureIsReportedAndCleanedUp) {
  // Run one whole life of a spilling datafile with each allocation failing in turn.
  auto scenario = [this](std::string* error) -> bool {
    if (!mgr_->setColumns(2) || !mgr_->setColSpec(0, tqbTypeInteger, 0) ||
        !mgr_->setColSpec(1, tqbTypeString, 50) || !mgr_->setChunkSize(64)) {
      *error = mgr_->getError().asCstr();
      return false;
    }
    TqDatafile* f = mgr_->createFile(kMemFirst | kVar);
    if (f == nullptr) {
      *error = mgr_->getError().asCstr();
      return false;
    }
    TqDatafile* failed = nullptr;
    for (int i = 0; i < 10 && !failed; ++i) {
      f->getField(0)->assign(int64_t{i});
      f->getField(1)->assign(std::string(static_cast<size_t>(i * 4), 'a').c_str());
      if (f->addRow(nullptr) != 0) failed = f;
    }
    if (!failed && f->freeze() != 0) failed = f;
    TqDatafile* c = failed ? nullptr : f->clone();
    if (!failed && c == nullptr) failed = f;
    int rows = 0;
    int32_t status = 0;
    while (!failed && (status = c->next(nullptr)) == 0) ++rows;
    if (!failed && (status != 4 || rows != 10)) failed = c;
    if (failed) *error = failed->getError().asCstr();
    if (c != nullptr) c->release();
    f->release();
    return failed == nullptr;
  };
  std::string error;
  tqFaultReset();
  ASSERT_TRUE(scenario(&error)) << error;
  int64_t allocations = tqFaultCalls(TqFaultOp::Alloc);
  ASSERT_GT(allocations, 3);
  int failures = 0;
  for (int64_t n = 1; n <= allocations; ++n) {
    tqFaultArm(TqFaultOp::Alloc, n);
    error.clear();
    bool ok = scenario(&error);
    bool delivered = tqFaultsDelivered() > 0;
    tqFaultReset();
    if (!ok) {
      ++failures;
      EXPECT_TRUE(delivered);
      EXPECT_FALSE(error.empty()) << "allocation " << n << " failed without a message";
    }
  }
  EXPECT_GT(failures, 0);
}

// --- randomized round trip -------------------------------------------------------------

namespace {

struct RandomRow {
  bool null[5];
  bool b;
  int64_t i;
  double d;
  uint8_t real[24];
  std::string s;
};

}  // namespace

TEST_F(DatafileTest, RandomRowsRoundTripThroughMemorySpillAndClones) {
  std::mt19937_64 rng(2024);
  std::vector<Column> cols = {{tqbTypeBoolean, 0}, {tqbTypeInteger, 0}, {tqbTypeDate, 0},
                              {tqbTypeReal, 0},    {tqbTypeString, 1000}};
  for (uint32_t flags : {kMemFirst | kVar, kMemFirst, kVar}) {
    TqDatafileImpl* f = make(cols, flags, 64 * 1024);
    std::vector<RandomRow> rows(3000);
    std::vector<int64_t> starts(rows.size());
    for (size_t r = 0; r < rows.size(); ++r) {
      RandomRow& row = rows[r];
      for (bool& n : row.null) n = rng() % 8 == 0;
      row.b = rng() % 2;
      row.i = static_cast<int64_t>(rng());
      row.d = static_cast<double>(static_cast<int64_t>(rng() % 2000000) - 1000000) / 7.0;
      std::string dec = std::to_string(static_cast<int64_t>(rng() % 100000000) - 50000000) + "E-" +
                        std::to_string(rng() % 10);
      tqbDecimalFromString(dec.data(), dec.size(), row.real);
      size_t len = rng() % 4 == 0 ? rng() % 1001 : rng() % 40;
      for (size_t k = 0; k < len; ++k) row.s.push_back(static_cast<char>('!' + rng() % 90));
      if (row.null[0]) f->getField(0)->setNull(); else f->getField(0)->assign(row.b);
      if (row.null[1]) f->getField(1)->setNull(); else f->getField(1)->assign(row.i);
      if (row.null[2]) f->getField(2)->setNull(); else f->getField(2)->assign(TqbDate(row.d));
      if (row.null[3]) f->getField(3)->setNull(); else f->getField(3)->assign(tqbTypeReal, row.real, 24);
      if (row.null[4]) f->getField(4)->setNull(); else f->getField(4)->assign(row.s.c_str());
      ASSERT_EQ(f->addRow(&starts[r]), 0) << f->getError().asCstr();
    }
    EXPECT_EQ(f->inMemory(), false) << "the rows must spill";
    ASSERT_EQ(f->freeze(), 0);
    auto check = [&](TqDatafile* d, size_t r) {
      const RandomRow& row = rows[r];
      ASSERT_EQ(d->getField(0)->isNull(), row.null[0]);
      if (!row.null[0]) {
        EXPECT_EQ(d->getField(0)->asBool(nullptr), row.b);
      }
      ASSERT_EQ(d->getField(1)->isNull(), row.null[1]);
      if (!row.null[1]) {
        EXPECT_EQ(d->getField(1)->asInt64(nullptr), row.i);
      }
      ASSERT_EQ(d->getField(2)->isNull(), row.null[2]);
      if (!row.null[2]) {
        EXPECT_EQ(d->getField(2)->asDouble(nullptr), row.d);
      }
      ASSERT_EQ(d->getField(3)->isNull(), row.null[3]);
      if (!row.null[3]) {
        size_t n = 0;
        const void* raw = d->getField(3)->getRaw(&n);
        ASSERT_EQ(n, 24u);
        EXPECT_EQ(std::memcmp(raw, row.real, 24), 0);
      }
      ASSERT_EQ(d->getField(4)->isNull(), row.null[4]);
      if (!row.null[4]) {
        EXPECT_EQ(std::string(d->getField(4)->asCstr()), row.s);
      }
    };
    TqDatafile* clone = f->clone();
    ASSERT_NE(clone, nullptr);
    for (size_t r = 0; r < rows.size(); ++r) {
      ASSERT_EQ(clone->next(nullptr), 0);
      check(clone, r);
    }
    EXPECT_EQ(clone->next(nullptr), 4);
    for (int k = 0; k < 200; ++k) {
      size_t r = rng() % rows.size();
      ASSERT_EQ(f->seek(starts[r]), 0);
      check(f, r);
    }
    clone->release();
    f->release();
  }
}
