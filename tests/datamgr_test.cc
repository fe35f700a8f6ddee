// The datafile manager, its factory, and the collation option parser.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "platform/tqbconfig.h"
#include "platform/tqfault.h"
#include "platform/tqlog.h"
#include "src/datamgr.h"
#include "test_support.h"
#include "tqdatafile/tqdatafile.h"

// The library's internals that these tests reach.
using tqlib::TqDatafileManagerImpl;

class ManagerTest : public TempDirTest {
 protected:
  TqDatafileManagerImpl* create(const std::string& list, TqbString* error) {
    return static_cast<TqDatafileManagerImpl*>(tqDatafileManagerCreate(list.c_str(), error));
  }
  std::vector<std::string> dirsOf(TqDatafileManagerImpl* m) {
    TqbString* dirs = nullptr;
    int n = m->getTempDirs(&dirs);
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.push_back(dirs[i].asCstr());
    return out;
  }
};

TEST_F(ManagerTest, ParsesTheDirectoryList) {
  std::string a = subdir("a"), b = subdir("b"), sp = subdir(" c");
  TqbString error("unset");
  TqDatafileManagerImpl* m = create("  " + a + "::" + b + ":  ", &error);
  ASSERT_NE(m, nullptr) << error.asCstr();
  EXPECT_TRUE(error.isNull());
  EXPECT_EQ(dirsOf(m), (std::vector<std::string>{a, b}));
  EXPECT_STREQ(m->getTempDirs().asCstr(), ("  " + a + "::" + b + ":  ").c_str());
  m->release();
  // A blank next to a separator inside the list stays part of the name.
  m = create(a + ": c", &error);
  EXPECT_EQ(m, nullptr);  // " c" relative to the working directory does not exist
  EXPECT_NE(std::string(error.asCstr()).find("' c'"), std::string::npos);
}

TEST_F(ManagerTest, SeparatorsOnlyGiveNoDirectory) {
  LogCapture capture;
  tqlogSetLevel("TQ.Datafile.Manager", 2);
  TqbString error;
  TqDatafileManagerImpl* m = create(" ::: ", &error);
  ASSERT_NE(m, nullptr);
  EXPECT_TRUE(dirsOf(m).empty());
  EXPECT_TRUE(capture.contains("Datafile Manager created without a temporary directory."));
  m->release();
  std::string a = subdir("a");
  m = create(a, &error);
  EXPECT_TRUE(capture.contains("Datafile Manager created with 1 temporary directory."));
  EXPECT_TRUE(capture.contains("   Temporary directory[0]: '" + a + "'"));
  m->release();
}

TEST_F(ManagerTest, MissingDirectoryFailsNamingIt) {
  std::string a = subdir("a");
  TqbString error;
  EXPECT_EQ(create(a + ":" + dir_ + "/missing", &error), nullptr);
  EXPECT_NE(std::string(error.asCstr()).find(dir_ + "/missing"), std::string::npos);
  EXPECT_FALSE(error.isNull());
}

TEST_F(ManagerTest, EmptyListUsesBaseTempFromHostOrEnvironment) {
  std::string a = subdir("a"), b = subdir("b");
  TqbString error;
  unsetenv("TQ_BASE_TEMP");
  tqbSetConfigValue("BASE/TEMP", nullptr);
  EXPECT_EQ(create("", &error), nullptr);
  EXPECT_NE(std::string(error.asCstr()).find("BASE/TEMP"), std::string::npos);  // 1244

  setenv("TQ_BASE_TEMP", (a + ":" + b).c_str(), 1);
  TqDatafileManagerImpl* m = create("", &error);
  ASSERT_NE(m, nullptr) << error.asCstr();
  EXPECT_EQ(dirsOf(m), (std::vector<std::string>{a, b}));
  m->release();

  tqbSetConfigValue("BASE/TEMP", b.c_str());  // the host's value wins
  m = create("", &error);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(dirsOf(m), (std::vector<std::string>{b}));
  m->release();
  tqbSetConfigValue("BASE/TEMP", nullptr);
  unsetenv("TQ_BASE_TEMP");
}

TEST_F(ManagerTest, FreshManagerHasTheDefaultSettings) {
  TqbString error;
  TqDatafileManagerImpl* m = create(dir_, &error);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->getChunkSize(), 8388608u);
  EXPECT_EQ(m->getSortProcessors(), 1);
  EXPECT_EQ(m->getSortSize(), 0u);
  EXPECT_EQ(m->getSortRecords(), 0);
  EXPECT_FALSE(m->getSortMarkByGroups());
  EXPECT_FALSE(m->getSortNoDups());
  EXPECT_FALSE(m->getSortStable());
  EXPECT_FALSE(m->getSortNoCodeGen());
  EXPECT_EQ(m->getColumns(nullptr), 0);
  EXPECT_FALSE(m->setChunkSize(0));
  EXPECT_NE(std::string(m->getError().asCstr()).find("chunkSize"), std::string::npos);
  EXPECT_EQ(m->getChunkSize(), 8388608u);  // a refused value changes nothing
  m->release();
}

TEST_F(ManagerTest, SettingsOutOfRangeAreRefusedAndChangeNothing) {
  TqbString error;
  TqDatafileManagerImpl* m = create(dir_, &error);
  ASSERT_NE(m, nullptr);
  ASSERT_TRUE(m->setChunkSize(4096));
  for (uint32_t size : {0u, 0xFFFFFFFCu, 0x80000000u}) {
    EXPECT_FALSE(m->setChunkSize(size)) << size;
    EXPECT_FALSE(m->getError().str().empty());
    EXPECT_EQ(m->getChunkSize(), 4096u);
  }
  ASSERT_TRUE(m->setSortProcessors(4));
  for (int32_t n : {-1, 1000, INT32_MAX}) {
    EXPECT_FALSE(m->setSortProcessors(n)) << n;
    EXPECT_NE(m->getError().str().find("processors"), std::string::npos);
    EXPECT_EQ(m->getSortProcessors(), 4);
  }
  EXPECT_TRUE(m->setSortProcessors(0));  // 0: one processor
  EXPECT_FALSE(m->setSortRecords(-5));
  EXPECT_EQ(m->getSortRecords(), 0);
  m->release();
}

TEST_F(ManagerTest, ValidatesColumns) {
  TqbString error;
  TqDatafileManagerImpl* m = create(dir_, &error);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->createFile(0), nullptr);  // no columns yet: 420
  std::string noColumns = m->getError().asCstr();
  EXPECT_NE(noColumns.find("no columns"), std::string::npos);
  EXPECT_FALSE(m->setColumns(0));
  EXPECT_EQ(m->createFile(0), nullptr);
  EXPECT_EQ(m->getError().str(), noColumns);
  EXPECT_FALSE(m->setColSpec(0, tqbTypeInteger, 0));

  ASSERT_TRUE(m->setColumns(3));
  EXPECT_TRUE(m->setColSpec(0, tqbTypeInteger, -1));
  EXPECT_TRUE(m->setColSpec(1, tqbTypeBoolean, 0));
  EXPECT_EQ(m->createFile(0), nullptr);  // column 2 unspecified: 167 with its index
  EXPECT_NE(m->getError().str().find("Column 2"), std::string::npos);
  EXPECT_FALSE(m->setColSpec(2, tqbTypeString, 0));  // 740
  EXPECT_NE(m->getError().str().find("maximum length"), std::string::npos);
  EXPECT_FALSE(m->setColSpec(2, tqbTypeObject, 5));  // 167
  EXPECT_FALSE(m->setColSpec(2, tqbTypeNone, 5));
  // Out of range indexes are refused, not written.
  EXPECT_FALSE(m->setColSpec(3, tqbTypeInteger, 0));
  EXPECT_NE(m->getError().str().find("Column 3"), std::string::npos);
  EXPECT_FALSE(m->setColSpec(-1, tqbTypeInteger, 0));

  TqDatafileField* cols = nullptr;
  ASSERT_EQ(m->getColumns(&cols), 3);
  EXPECT_TRUE(cols[0].rawInteger);
  // A refused setting changes nothing, also when the column had none yet.
  EXPECT_FALSE(m->setColSpec(0, static_cast<tqbType>(7), 0));
  EXPECT_FALSE(m->setColSpec(2, static_cast<tqbType>(7), 0));
  EXPECT_EQ(cols[0].type, tqbTypeInteger);
  EXPECT_TRUE(cols[0].rawInteger);
  EXPECT_EQ(cols[2].type, tqbTypeNone);
  EXPECT_EQ(m->createFile(0), nullptr);  // column 2 still has no type
  // A column set again is exactly its new settings.
  EXPECT_TRUE(m->setColSpec(0, tqbTypeInteger, 0));
  EXPECT_FALSE(cols[0].rawInteger);
  EXPECT_TRUE(m->setColSpec(2, tqbTypeString, 12));
  EXPECT_EQ(cols[2].maxLength, 12);
  EXPECT_TRUE(m->setColSpec(2, tqbTypeInteger, 0));
  EXPECT_EQ(cols[2].maxLength, 0);
  m->release();
}

TEST_F(ManagerTest, RespecifiedRawColumnCarriesItsValuesInTheField) {
  TqbString error;
  TqDatafileManagerImpl* m = create(dir_, &error);
  ASSERT_NE(m, nullptr);
  ASSERT_TRUE(m->setColumns(1));
  ASSERT_TRUE(m->setColSpec(0, tqbTypeInteger, -1));
  ASSERT_TRUE(m->setColSpec(0, tqbTypeInteger, 0));
  TqDatafile* f = m->createFile(TqDatafile::FlagMemoryFirst);
  ASSERT_NE(f, nullptr);
  f->getField(0)->assign(int64_t{77});
  ASSERT_EQ(f->addRow(nullptr), 0);
  f->getField(0)->setNull();  // what is read back must come from the row
  ASSERT_EQ(f->freeze(), 0);
  ASSERT_EQ(f->next(nullptr), 0);
  EXPECT_EQ(f->getField(0)->asInt64(nullptr), 77);
  f->release();
  m->release();
}

TEST_F(ManagerTest, TracesEveryCallOnItsLogger) {
  LogCapture capture;
  tqlogSetLevel("TQ.Datafile.Manager", 1);
  TqbString error;
  TqDatafileManagerImpl* m = create(dir_, &error);
  m->setColumns(1);
  m->setColSpec(0, tqbTypeString, 7);
  m->setSortSize(1u << 31);
  char addr[32];
  std::snprintf(addr, sizeof(addr), "%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(m)));
  std::string self = std::string("TqDatafileManagerImpl(0x") + addr + ")->";
  EXPECT_TRUE(capture.contains(self + "setColumns(1)"));
  EXPECT_TRUE(capture.contains(self + "setColSpec(0, string, 7)"));
  EXPECT_TRUE(capture.contains(self + "setSortSize(2147483648)"));
  m->release();
  EXPECT_TRUE(capture.contains(self + "~TqDatafileManagerImpl()"));
}

TEST_F(ManagerTest, AllocationFailuresAreReported) {
  std::string a = subdir("a");
  TqbString error;
  tqFaultArm(TqFaultOp::Alloc, 1);
  EXPECT_EQ(create(a, &error), nullptr);
  EXPECT_NE(error.str().find("(Datafile Manager)"), std::string::npos);
  tqFaultArm(TqFaultOp::Alloc, 2);
  EXPECT_EQ(create(a, &error), nullptr);
  EXPECT_NE(error.str().find("(Temporary directories)"), std::string::npos);
  tqFaultReset();
  TqDatafileManagerImpl* m = create(a, &error);
  ASSERT_NE(m, nullptr);
  tqFaultArm(TqFaultOp::Alloc, 1);
  EXPECT_FALSE(m->setColumns(2));
  EXPECT_NE(m->getError().str().find("(Datafile Manager Columns)"), std::string::npos);
  tqFaultReset();
  EXPECT_EQ(m->createFile(0), nullptr);  // the count was not kept without records
  m->release();
}

// --- collation options -----------------------------------------------------------------

TEST(CollateParmsTest, EmptyOptionsGiveNoFlags) {
  unsigned flags = 0xDEAD;
  TqbString error("x");
  EXPECT_TRUE(tqDatafileParseCollateParms(false, "", false, "", "", &flags, &error));
  EXPECT_EQ(flags, 0u);
  EXPECT_EQ(error.length(), 0);
}

TEST(CollateParmsTest, CombinesEveryGroup) {
  unsigned flags = 0;
  TqbString error;
  ASSERT_TRUE(tqDatafileParseCollateParms(true, "UPPER", true, "3", "PHONEBOOK", &flags, &error));
  EXPECT_EQ(flags, 0x00004000u | 0x00000800u | 0x00000004u | 0x00000040u | 0x00000001u);
  ASSERT_TRUE(tqDatafileParseCollateParms(false, "LOWER", false, "IDENTICAL", "TRADITIONAL",
                                          &flags, &error));
  EXPECT_EQ(flags, 0x2u | 0x10000u | 0x400u);
  ASSERT_TRUE(tqDatafileParseCollateParms(false, "", false, "PRIMARY", "", &flags, &error));
  EXPECT_EQ(flags, 0x1000u);
}

TEST(CollateParmsTest, RejectsWholeStringsThatMatchNoKeyword) {
  for (const char* bad : {"6", "TERTIARY ", "TERT", "1,2"}) {
    unsigned flags = 77;
    TqbString error;
    EXPECT_FALSE(tqDatafileParseCollateParms(false, "", false, bad, "", &flags, &error));
    EXPECT_EQ(flags, 77u);
    EXPECT_NE(error.str().find(std::string("'") + bad + "'"), std::string::npos);
  }
  unsigned flags = 77;
  TqbString error;
  // The case order is reported first even when the others are wrong too.
  EXPECT_FALSE(tqDatafileParseCollateParms(false, "SIDEWAYS", false, "9", "NOPE", &flags, &error));
  EXPECT_NE(error.str().find("'SIDEWAYS'"), std::string::npos);
  EXPECT_FALSE(tqDatafileParseCollateParms(false, "", false, "", "NOPE", &flags, &error));
  EXPECT_NE(error.str().find("'NOPE'"), std::string::npos);
}
