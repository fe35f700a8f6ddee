// The options of the C++ layer (tq.h): plain structs, filled with designated initializers.
//
//   tq::SortOptions options{
//       .columns = {tq::Column::string(40), tq::Column::integer()},
//       .keys = {{.field = 0}, {.field = 1, .order = tq::Order::descending}},
//       .memory = 64u << 20,
//       .processors = 2,
//       .stable = true,
//       .progress = [](double done) { return !cancelled; },
//   };
//
// Each option names the setting of the library that it maps onto; every option is
// checked when the object is made (Manager::sorter, Manager::store), never later.
#ifndef TQDATAFILE_TQ_OPTIONS_H
#define TQDATAFILE_TQ_OPTIONS_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tqdatafile/tq_values.h"

namespace tq {

struct ManagerOptions {
  // Directories for temporary files, separated by ':'; each must exist.  Empty: the
  // configuration value "BASE/TEMP" (tqbSetConfigValue), else the environment variable
  // TQ_BASE_TEMP; without either, Manager::create fails.
  std::string tempDirs{};
};

// Where an unsorted store keeps its rows.
enum class Spill {
  whenFull,     // in memory until the row buffer is full, then in a temporary file
  never,        // in memory only: a row that does not fit is refused (Code::endOfData)
  immediately,  // in a temporary file from the first row (the buffer is its write buffer)
};

// How string fields are laid out in a row.
enum class RowLayout {
  variable,  // a string costs its length: for strings that vary in length
  fixed,     // every string takes its column's maxLength
};

struct StoreOptions {
  std::vector<Column> columns{};
  uint32_t chunkSize = 0;  // the row buffer in bytes, 1 to kTqMaxChunkSize; 0: 8 MiB
  Spill spill = Spill::whenFull;
  RowLayout layout = RowLayout::variable;
};

enum class Order { ascending, descending };

// Collation strength: what a difference must be to count (ICU's levels).
enum class Strength {
  standard,    // the locale's own (tertiary for most)
  primary,     // base letters only: a = A = ä
  secondary,   // and accents: a = A < ä
  tertiary,    // and case: a < A < ä
  quaternary,  // and, with ignorePunctuation, punctuation
  identical,   // and every code point
};

enum class CaseFirst {
  standard,  // the locale's own
  upper,     // "A" before "a"
  lower,     // "a" before "A"
};

// A collation variant of the locale.
enum class Variant {
  standard,
  phonebook,    // German phone book: "ä" as "ae", "ö" as "oe", "ü" as "ue"
  pinyin,
  stroke,
  traditional,
  big5han,
  gb2312han,
  posix,        // code point order; takes no other collation option
  direct,       // code point order; takes no other collation option
};

// Linguistic order of a string key (ICU).  Only the external engine sorts by it.
struct Collation {
  std::string locale{};  // "de_DE", "sv", "en@collation=phonebook"; empty: the root order
  Strength strength = Strength::standard;
  CaseFirst caseFirst = CaseFirst::standard;
  Variant variant = Variant::standard;
  bool numeric = false;            // digits as numbers: "file2" before "file10"
  bool ignorePunctuation = false;  // blanks and punctuation count only at Strength::quaternary
};

struct Key {
  int32_t field = 0;  // the column of the key, from 0
  Order order = Order::ascending;
  std::optional<Collation> collation{};  // strings only; needs the external engine
};

// The engine that sorts (all give the same rows in the same order).
enum class Engine {
  automatic,     // external with a collation, else variableRows when a column is a
                 // string, else fixedRows
  variableRows,  // chunk sort of variable-length rows: for strings that vary in length
  fixedRows,     // chunk sort of whole fixed-length records: numbers, dates, short codes
  external,      // the external sort engine: the one that takes collations
};

struct SortOptions {
  std::vector<Column> columns{};
  std::vector<Key> keys{};    // at least one; keys[0] sorts first
  uint64_t memory = 0;        // bytes for the sort (setSortSize), up to 4 GiB - 1;
                              // 0: derived from the chunk size and the processors
  uint32_t chunkSize = 0;     // bytes per chunk (setChunkSize); 0: 8 MiB
  int32_t processors = 1;     // sorting threads, 0 (as 1) to kTqMaxSortProcessors
  bool stable = false;        // equal keys keep their input order
  bool unique = false;        // of rows with equal keys only the first is kept
  bool markGroups = false;    // Row::startsGroup() tells the first row of equal keys
  Engine engine = Engine::automatic;
  int64_t expectedRows = 0;   // a hint for the external engine (setSortRecords); 0: unknown
  // Receives the completed fraction (0.0 to 1.0) while the sort runs; returning false
  // cancels it (the sort or the read in progress then fails with Code::stopped).  It is
  // called from inside sort() and the reading of rows, on the library's threads as well
  // as the caller's, one call at a time.  An exception it throws cancels the sort too;
  // its what() becomes the Status message (it does not propagate).
  std::function<bool(double)> progress{};
};

}  // namespace tq

#endif
