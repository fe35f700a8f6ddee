// tqsort's command line: the options, their checks and the help text.
#ifndef TQ_TOOLS_TQSORT_OPTIONS_H
#define TQ_TOOLS_TQSORT_OPTIONS_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tqsort_status.h"

namespace tqsort {

enum class KeyType { Str, Int, Dec, Date, Bool };

const char* typeName(KeyType type);

// How a dec key reads its field: the whole field is the number (dec), or the number it
// starts with, as -n reads it (0 when there is none) or as -g does (none sorts first).
enum class NumberRead { Whole, Leading, General };

struct KeyOption {
  std::string column;  // as given: a number, or a header name
  int index = -1;      // 0-based field index; names are resolved from the header
  KeyType type = KeyType::Str;
  bool descending = false;
  NumberRead number = NumberRead::Whole;  // dec keys
  bool fold = false;         // str keys: a-z compare as A-Z (-f)
  bool skipBlanks = false;   // str keys: blanks before the text are not part of it (b)
  bool ownOrder = false;     // named its own type or modifiers: -n, -g, -f, -r do not apply
  bool wholeLine = false;    // the whole record without its line end, not a column
  bool lastResort = false;   // added by tqsort: the whole line, after the keys given
  std::string text;    // the option as given, for messages
};

struct Options {
  std::vector<KeyOption> keys;
  char separator = ',';
  bool header = false;
  bool stable = false;
  bool unique = false;
  bool lenient = false;
  bool stats = false;
  int progress = -1;        // -1: when standard error is a terminal
  uint64_t bufferSize = 0;  // 0: chosen from the input
  std::vector<std::string> tempDirs;
  int parallel = 0;         // 0: chosen from the machine
  int shardCap = 0;         // at most this many library sorts (0: no cap); see shardsForDescriptors
  bool outputGiven = false;
  std::string output;
  std::vector<std::string> inputs;  // "-" is standard input
  // --collate: string keys in this locale's linguistic order (empty: byte order), with
  // the collation options as the library's words ("" where not given).
  std::string collate;
  std::string caseFirst;     // --case-first
  std::string strength;      // --strength
  std::string variant;       // --collation
  bool numeric = false;      // --numeric
  bool ignorePunctuation = false;  // --ignore-punctuation
  bool collated() const { return !collate.empty(); }
  // The orderings for keys that name none of their own, and without -k for the line.
  bool reverse = false;      // -r
  bool foldCase = false;     // -f
  NumberRead numbers = NumberRead::Whole;  // -n (Leading), -g (General); Whole: none
  // -c (Diagnose) or -C (Quiet): check that the input is sorted, without sorting it.
  enum class Check { None, Diagnose, Quiet };
  Check check = Check::None;
  bool merge = false;        // -m: the inputs are sorted; merge them
  // --compress / --compress-program: how temporary files are compressed, as the library's
  // configuration value "BASE/COMPRESS" takes it ("lz4", "program:PROG"; empty: not).
  std::string compress;
};

enum class Action { Sort, Help, Version };

// Reads the command line into *options.  A refused option gives a failed Status whose
// message is the one line to show before the pointer to --help.
Status parseOptions(int argc, char** argv, Options* options, Action* action);

// "-S" sizes: a decimal number of bytes, optionally with one suffix b, K, M, G, T.
Status parseSize(const char* text, uint64_t* size);

// "-k" values: COL[:TYPE][:r], the type and 'r' each at most once.  In COL, "\:" is a
// ':' and "\\" a backslash, so that any header name can be given.  Also the form
// F[OPTS][,F[OPTS]] (a number, then modifier letters b f g n r, or a span of one
// field): "2,2n" is column 2 read as -n reads numbers, "3r" column 3 descending.
Status parseKey(const std::string& text, KeyOption* key);

// The most columns a key may name by number.
constexpr uint64_t kMostColumns = 1000000;

// Sets key->index when key->column is a number (1 to kMostColumns); otherwise the
// column is a header name, which needs `header`.
Status numberKey(KeyOption* key, bool header);

void printHelp(std::FILE* out);

constexpr const char* kVersion = "tqsort 0.2.0";

}  // namespace tqsort

#endif
