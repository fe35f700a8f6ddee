// Helpers for the sort tests: a reference model of rows and key order, a harness that
// builds sorting datafiles, and a sink that keeps the statistics lines.
#ifndef TQ_TESTS_SORT_SUPPORT_H
#define TQ_TESTS_SORT_SUPPORT_H

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/tqbdecimal.h"
#include "src/datamgr.h"
#include "src/sortvorn.h"
#include "test_support.h"
#include "tqdatafile/tqdatafile.h"

// The library's internals that the sort tests reach.
using tqlib::AbsTqSortfile;
using tqlib::TqDatafileManagerImpl;
using tqlib::TqSortVornImpl;

// One value of the reference model.
struct RefValue {
  bool null = true;
  int64_t i = 0;   // integer, raw integer, boolean (0/1)
  double d = 0;    // date
  std::string s;   // string
  uint8_t real[24] = {};
};

struct RefColumn {
  tqbType type;
  int32_t length;  // strings: maximum length; integers: -1 for raw
};

struct RefKey {
  int field;
  bool ascending;
};

// <0, 0, >0 for two values of a column, nulls lowest, as the sort orders them: dates
// numerically with -0.0 equal to 0.0 and every NaN one value above +infinity, reals
// numerically (the same for NaNs and signed zeros).
int compareRefValues(const RefColumn& column, const RefValue& a, const RefValue& b);
// Compares two rows on the keys (direction applied).
int compareRefRows(const std::vector<RefColumn>& columns, const std::vector<RefKey>& keys,
                   const std::vector<RefValue>& a, const std::vector<RefValue>& b);

// Puts a row's values into the datafile's fields (false when a value could not take
// its bytes: out of memory), and reads them back.
bool storeRow(TqDatafile* file, const std::vector<RefColumn>& columns, const std::vector<RefValue>& row);
std::vector<RefValue> loadRow(TqDatafile* file, const std::vector<RefColumn>& columns);
bool sameRow(const std::vector<RefColumn>& columns, const std::vector<RefValue>& a,
             const std::vector<RefValue>& b);

// Reads every key column's value of `row` back from `key`, the row's key as
// tqDatafileSortKey gives it (core/sortkey.h), as a host of columns kept only in the
// key does; a real key is passed over, a raw integer left as it is.  False when the
// key does not read as the keys' fields (its string values must hold no zero byte).
bool valuesFromKey(const std::vector<RefColumn>& columns, const std::vector<RefKey>& keys, const std::string& key,
                   std::vector<RefValue>* row);

// Keeps the lines a sort writes to its information sink.
class InfoLines : public TqSortInfo {
 public:
  int line(const char* text) override {
    lines.emplace_back(text);
    return 0;
  }
  // The number after "prefix: " in the first line that starts with it, or -1.
  int64_t value(const std::string& prefix) const;
  std::vector<std::string> lines;
};

// The sort engines a sorting datafile can have.
enum class SortEngine { variable, fixed, external };
const char* engineName(SortEngine engine);

struct SortOptions {
  SortEngine engine = SortEngine::variable;
  uint32_t windowSize = 0;  // the engine's window on runs on disk; 0: derived
  uint32_t chunkSize = 1u << 20;
  uint32_t sortSize = 0;
  int32_t processors = 1;
  bool stable = false;
  bool noDups = false;
  bool markByGroups = false;
  std::string dirs;  // empty: the test's directory
};

class SortTest : public TempDirTest {
 protected:
  void TearDown() override;
  // A sorting datafile of the options' engine with these columns, options and keys.
  // With `mayFail`, a failure returns null (the text in *error) instead of failing the test.
  AbsTqSortfile* makeSortfile(const std::vector<RefColumn>& columns, const SortOptions& options,
                              const std::vector<RefKey>& keys, bool mayFail = false,
                              std::string* error = nullptr);
  // The same, for the chunk sorts (variable or fixed rows).
  TqSortVornImpl* makeSort(const std::vector<RefColumn>& columns, const SortOptions& options,
                           const std::vector<RefKey>& keys, bool mayFail = false,
                           std::string* error = nullptr) {
    EXPECT_NE(options.engine, SortEngine::external) << "makeSort is for the chunk sorts";
    return static_cast<TqSortVornImpl*>(makeSortfile(columns, options, keys, mayFail, error));
  }
  // Sorts `rows` and reads every row back; `marks` receives the marks, and `keys` (may
  // be null) each row's tqDatafileSortKey bytes, or "refused N" when it gave status N.
  // Returns the status that ended the reading (4 when all went well).
  int32_t sortAll(TqDatafile* file, const std::vector<RefColumn>& columns,
                  const std::vector<std::vector<RefValue>>& rows,
                  std::vector<std::vector<RefValue>>* out, std::vector<bool>* marks,
                  std::vector<std::string>* keys = nullptr);

  TqDatafileManagerImpl* mgr_ = nullptr;
};

#endif
