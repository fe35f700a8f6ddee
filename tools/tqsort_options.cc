#include "tqsort_options.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace tqsort {

const char* typeName(KeyType type) {
  switch (type) {
    case KeyType::Str: return "str";
    case KeyType::Int: return "int";
    case KeyType::Dec: return "dec";
    case KeyType::Date: return "date";
    case KeyType::Bool: return "bool";
  }
  return "?";
}

// The options of the run (reading, statistics, temporary files) and the notes after them.
void printHelpRest(std::FILE* out) {
  std::fprintf(out,
      "      --lenient              a value that does not parse as its key's type is a null\n"
      "                             (default: stop with an error naming it)\n"
      "      --stats                print the sort's statistics on standard error\n"
      "      --progress             show progress on standard error (default when it is a\n"
      "                             terminal); --no-progress turns it off\n"
      "      --compress=lz4         compress temporary files with lz4 (in the process);\n"
      "                             --compress=none does not (the default)\n"
      "      --compress-program=PROG  compress temporary files with PROG: it compresses\n"
      "                             standard input to standard output, and 'PROG -d'\n"
      "                             decompresses; PROG runs once per 128 KiB of temporary\n"
      "                             data written, and again when read (files read at\n"
      "                             offsets that move about, as --collate's and those of\n"
      "                             long lines, take lz4 instead).  When PROG cannot be\n"
      "                             run or fails, tqsort fails (exit status 2).  The last\n"
      "                             of the two options given counts\n"
      "  -h, --help                 display this help and exit\n"
      "      --version              output version information and exit\n"
      "\n"
      "Records are RFC 4180: a field that starts with a quote is quoted and may hold\n"
      "separators, doubled quotes and line breaks; a quote elsewhere is data.  A quoted\n"
      "field left open at the end of the input is an error.  Output records are byte for\n"
      "byte the input records, \\n and \\r\\n kept, after the input's UTF-8 byte-order mark\n"
      "if it had one.  Without -s and -u, records with equal keys are ordered by all their\n"
      "bytes (the last resort: the line without its final newline), as LC_ALL=C sort does.\n"
      "Temporary files live in a directory tqsort-PID-XXXXXX inside the temporary\n"
      "directory, removed at exit and on a terminating signal; one left by a killed run\n"
      "is removed by the next run that uses the same temporary directory.\n"
      "Exit status: 0 on success, 1 when -c or -C finds the input out of order, 2 on any\n"
      "error, 128 + N when ended by signal N.\n");
}

void printHelp(std::FILE* out) {
  std::fprintf(out,
      "Usage: tqsort [OPTION]... [FILE]...\n"
      "Sort the records of CSV or TSV FILEs (standard input for - or none) by typed keys,\n"
      "within a memory budget, and write them to standard output.\n"
      "\n"
      "  -k, --key=COL[:TYPE][:r]   sort by column COL (1-based number, or a header name\n"
      "                             with --header, '\\:' for a ':' in it); TYPE is str\n"
      "                             (default), int, dec (exact decimal), date (YYYY-MM-DD,\n"
      "                             years 0001-9999) or bool; r sorts descending.  Repeat\n"
      "                             for more keys.  Empty fields are nulls, lower than\n"
      "                             every value.\n"
      "  -k, --key=F[OPTS][,F[OPTS]]  field F (a second F must be the same: one field), with\n"
      "                             modifiers OPTS: n (the number the field starts with, 0\n"
      "                             when none), g (also with exponents; none sorts first),\n"
      "                             f (fold a-z to A-Z), r (descending), b (blanks before\n"
      "                             the text not part of it).  Without -k the whole line\n"
      "                             is the key\n"
      "  -n, --numeric-sort         keys that name no type or modifier of their own (the\n"
      "  -g, --general-numeric-sort line, without -k) are read as n, g, f or r above\n"
      "  -f, --ignore-case          says; -r also turns the last resort (below) around\n"
      "  -r, --reverse\n"
      "  -c, --check                check that the input is sorted, without sorting: the\n"
      "                             first record out of order is shown, exit status 1\n"
      "  -C, --check-quiet          the same, showing nothing\n"
      "  -m, --merge                merge inputs that are each sorted, without sorting\n"
      "  -t, --field-separator=C    field separator (default ','; '\\t' for TSV)\n"
      "      --header               the first line of each FILE is a header, the same in\n"
      "                             all of them: written once, first, not sorted\n"
      "  -s, --stable               keep the input order of records with equal keys\n"
      "  -u, --unique               write only the first record of each run of equal keys\n"
      "  -S, --buffer-size=SIZE     memory for sorting; suffixes K, M, G, T (default: half\n"
      "                             the input's size, at least 64M, at most a quarter of\n"
      "                             memory, more for a line that needs it)\n"
      "  -T, --temporary-directory=DIR  put temporary files in DIR (repeatable; default\n"
      "                             $TMPDIR or /tmp)\n"
      "      --parallel=N           sort on N processors (default: all, at most 8): up to\n"
      "                             four sorts at once, and reading and writing beside them\n"
      "  -o, --output=FILE          write to FILE, which may be one of the inputs.  A\n"
      "                             regular FILE (or the file a symbolic link names) is\n"
      "                             replaced only when the sort succeeded, keeping its\n"
      "                             owner, group and mode, and only by one who may write\n"
      "                             it; one that cannot be replaced so (other hard links,\n"
      "                             another user's, no file can be made beside it) is\n"
      "                             rewritten in place; a device or FIFO is written to\n"
      "      --collate=LOCALE       sort str keys in the linguistic order of LOCALE (de,\n"
      "                             sv_SE, en_US, ...; an unknown one is an error); keys of\n"
      "                             the other types sort as without it.  With it:\n"
      "        --case-first=upper|lower   which case comes first where only case differs\n"
      "        --strength=primary|secondary|tertiary|quaternary|identical (or 1-5)\n"
      "                             which differences count: base letters, then accents,\n"
      "                             then case, ...; default tertiary\n"
      "        --collation=phonebook|pinyin|stroke|traditional|direct|posix|big5han|gb2312han\n"
      "                             a variant of the locale's order (direct and posix:\n"
      "                             code point order, alone)\n"
      "        --numeric                  digits sort by their number value (item 9 < item 10)\n"
      "        --ignore-punctuation       spaces and punctuation are ignored (with\n"
      "                             --strength=quaternary they decide last)\n");
  printHelpRest(out);
}

Status parseSize(const char* text, uint64_t* size) {
  Status invalid = Status::error(std::string("invalid buffer size '") + text + "'");
  const char* p = text;
  if (*p < '0' || *p > '9') return invalid;  // no sign, no blanks: strtoull would take "-5"
  uint64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    unsigned digit = static_cast<unsigned>(*p - '0');
    if (value > (UINT64_MAX - digit) / 10) return invalid;
    value = value * 10 + digit;
  }
  unsigned shift = 0;
  switch (*p) {
    case '\0': break;
    case 'b': case 'B': ++p; break;
    case 'k': case 'K': shift = 10; ++p; break;
    case 'm': case 'M': shift = 20; ++p; break;
    case 'g': case 'G': shift = 30; ++p; break;
    case 't': case 'T': shift = 40; ++p; break;
    default: return invalid;
  }
  if (*p != '\0' || value == 0) return invalid;
  if (value > (UINT64_MAX >> shift)) return Status::error(std::string("buffer size '") + text + "' is too large");
  *size = value << shift;
  return Status();
}

namespace {

// The column part of a -k value, with "\:" read as ':' and "\\" as '\' (a header name
// may hold either); the place after it in *end (the ':' before the type, or the end).
std::string keyColumn(const std::string& text, size_t* end) {
  std::string column;
  size_t i = 0;
  for (; i < text.size() && text[i] != ':'; ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == ':' || text[i + 1] == '\\')) ++i;
    column += text[i];
  }
  *end = i;
  return column;
}

// Whether a -k value is of the form F[OPTS][,F[OPTS]]: a field number first, then a
// modifier letter, a comma or a point (a bare number is tqsort's column).
bool fieldForm(const std::string& text) {
  if (text.find(':') != std::string::npos || text.empty() || text[0] < '0' || text[0] > '9') return false;
  size_t after = text.find_first_not_of("0123456789");
  return after != std::string::npos;
}

// The modifier letters of one position of a field-form key, into *key.  'b' at the
// `end` position only moves where the key ends, which is the field's end here.
Status fieldModifiers(const std::string& text, const std::string& letters, bool end, KeyOption* key) {
  std::string shown = "invalid key '" + printable(text) + "': ";
  for (char c : letters) {
    switch (c) {
      case 'n': case 'g': {
        NumberRead read = c == 'n' ? NumberRead::Leading : NumberRead::General;
        if (key->type == KeyType::Dec && key->number != read) return Status::error(shown + "'n' and 'g' together");
        key->type = KeyType::Dec;
        key->number = read;
        break;
      }
      case 'r': key->descending = true; break;
      case 'f': key->fold = true; break;
      case 'b': key->skipBlanks = key->skipBlanks || !end; break;
      default:
        return Status::error(shown + "the modifier '" + printable(std::string(1, c)) +
                             "' is not supported (b, f, g, n, r)");
    }
    key->ownOrder = true;
  }
  return Status();
}

// F[OPTS][,F[OPTS]]: one field, with modifier letters.
Status parseFieldKey(const std::string& text, KeyOption* key) {
  std::string shown = "invalid key '" + printable(text) + "': ";
  size_t comma = text.find(',');
  std::string first = text.substr(0, comma);
  size_t letters = first.find_first_not_of("0123456789");
  if (letters != std::string::npos && first[letters] == '.') {
    return Status::error(shown + "character positions are not supported: a key is a whole field");
  }
  key->column = first.substr(0, letters);
  TQSORT_TRY(fieldModifiers(text, letters == std::string::npos ? "" : first.substr(letters), false, key));
  if (comma == std::string::npos) return Status();
  std::string second = text.substr(comma + 1);
  size_t end = second.find_first_not_of("0123456789");
  std::string field = second.substr(0, end);
  if (end != std::string::npos && second[end] == '.') {
    return Status::error(shown + "character positions are not supported: a key is a whole field");
  }
  auto number = [](const std::string& digits) {
    size_t nonzero = digits.find_first_not_of('0');
    return nonzero == std::string::npos ? std::string("0") : digits.substr(nonzero);
  };
  if (field.empty() || number(field) != number(key->column)) {
    return Status::error(shown + "a key spanning several fields is not supported: give one -k per field (" +
                         printable(key->column) + "," + printable(key->column) + ")");
  }
  return fieldModifiers(text, end == std::string::npos ? "" : second.substr(end), true, key);
}

}  // namespace

Status parseKey(const std::string& text, KeyOption* key) {
  *key = KeyOption();
  key->text = text;
  if (fieldForm(text)) return parseFieldKey(text, key);
  size_t colon = 0;
  key->column = keyColumn(text, &colon);
  if (key->column.empty()) return Status::error("invalid key '" + printable(text) + "': no column");
  bool typeGiven = false;
  while (colon < text.size()) {
    size_t next = text.find(':', colon + 1);
    std::string part = text.substr(colon + 1, next == std::string::npos ? std::string::npos : next - colon - 1);
    key->ownOrder = true;
    if (part == "r") {
      if (key->descending) return Status::error("invalid key '" + printable(text) + "': 'r' given twice");
      key->descending = true;
    } else {
      static const struct {
        const char* name;
        KeyType type;
      } kTypes[] = {{"str", KeyType::Str}, {"int", KeyType::Int}, {"dec", KeyType::Dec},
                    {"date", KeyType::Date}, {"bool", KeyType::Bool}};
      bool known = false;
      for (const auto& t : kTypes) {
        if (part == t.name) {
          if (typeGiven) return Status::error("invalid key '" + printable(text) + "': more than one type");
          key->type = t.type;
          typeGiven = known = true;
        }
      }
      if (!known) {
        return Status::error("invalid key '" + printable(text) + "': unknown type '" + printable(part) +
                             "' (str, int, dec, date, bool, r)");
      }
    }
    colon = next == std::string::npos ? text.size() : next;
  }
  return Status();
}

// --- the command line ------------------------------------------------------------------------
//
// Every option is a row of kOptions: its long name, its one-letter name (0: none), and
// whether it takes a value.  The scan knows nothing else of them: it finds each option
// and its value (a unique prefix names a long option; "--name=value" or "--name value";
// "-kVALUE" or "-k VALUE"; "-su" is "-s -u"; "--" ends the options; every other word is
// an input, wherever it stands), and applyOption gives the option its meaning.  The
// checks that need every option come last (finishOptions).

namespace {

enum class OptionId {
  Key, FieldSeparator, Header, Stable, Unique, BufferSize, TemporaryDirectory, Parallel, Output, Stats,
  Progress, NoProgress, Lenient, Help, Version, Collate, CaseFirst, Strength, Collation, Numeric,
  IgnorePunctuation, Reverse, NumericSort, GeneralNumericSort, IgnoreCase, Check, CheckQuiet, Merge, Compress,
  CompressProgram
};

enum class Takes { Nothing, Value };

struct OptionSpec {
  const char* name;  // the long name, without "--"
  char letter;       // the short name, 0 when there is none
  Takes takes;
  OptionId id;
};

constexpr OptionSpec kOptions[] = {
    {"key", 'k', Takes::Value, OptionId::Key},
    {"field-separator", 't', Takes::Value, OptionId::FieldSeparator},
    {"header", 0, Takes::Nothing, OptionId::Header},
    {"stable", 's', Takes::Nothing, OptionId::Stable},
    {"unique", 'u', Takes::Nothing, OptionId::Unique},
    {"buffer-size", 'S', Takes::Value, OptionId::BufferSize},
    {"temporary-directory", 'T', Takes::Value, OptionId::TemporaryDirectory},
    {"parallel", 0, Takes::Value, OptionId::Parallel},
    {"output", 'o', Takes::Value, OptionId::Output},
    {"stats", 0, Takes::Nothing, OptionId::Stats},
    {"progress", 0, Takes::Nothing, OptionId::Progress},
    {"no-progress", 0, Takes::Nothing, OptionId::NoProgress},
    {"lenient", 0, Takes::Nothing, OptionId::Lenient},
    {"help", 'h', Takes::Nothing, OptionId::Help},
    {"version", 0, Takes::Nothing, OptionId::Version},
    {"collate", 0, Takes::Value, OptionId::Collate},
    {"case-first", 0, Takes::Value, OptionId::CaseFirst},
    {"strength", 0, Takes::Value, OptionId::Strength},
    {"collation", 0, Takes::Value, OptionId::Collation},
    {"numeric", 0, Takes::Nothing, OptionId::Numeric},
    {"ignore-punctuation", 0, Takes::Nothing, OptionId::IgnorePunctuation},
    {"reverse", 'r', Takes::Nothing, OptionId::Reverse},
    {"numeric-sort", 'n', Takes::Nothing, OptionId::NumericSort},
    {"general-numeric-sort", 'g', Takes::Nothing, OptionId::GeneralNumericSort},
    {"ignore-case", 'f', Takes::Nothing, OptionId::IgnoreCase},
    {"check", 'c', Takes::Nothing, OptionId::Check},
    {"check-quiet", 'C', Takes::Nothing, OptionId::CheckQuiet},
    {"merge", 'm', Takes::Nothing, OptionId::Merge},
    {"compress", 0, Takes::Value, OptionId::Compress},
    {"compress-program", 0, Takes::Value, OptionId::CompressProgram},
};

// The command line as it is read: the options so far, and what the checks at the end
// need to know of them.
struct ParseState {
  Options options;
  Action action = Action::Sort;
  std::string collationOption;  // the first collation option given, for "needs --collate"
  std::string numbers;          // -n and -g as given, for the one number ordering
};

// The long option that `name` (without "--") names: itself, or the one option it is a
// prefix of.  Null with the message otherwise.
const OptionSpec* findLong(const std::string& name, Status* failure) {
  std::vector<const OptionSpec*> matches;
  for (const OptionSpec& spec : kOptions) {
    if (name == spec.name) return &spec;
    if (!name.empty() && std::strncmp(spec.name, name.c_str(), name.size()) == 0) matches.push_back(&spec);
  }
  if (matches.size() == 1) return matches.front();
  if (matches.empty()) {
    *failure = Status::error("unknown option '--" + printable(name) + "'");
    return nullptr;
  }
  std::string names;
  for (const OptionSpec* spec : matches) names += std::string(names.empty() ? "" : ", ") + "--" + spec->name;
  *failure = Status::error("'--" + printable(name) + "' is ambiguous: " + names);
  return nullptr;
}

const OptionSpec* findShort(char letter) {
  for (const OptionSpec& spec : kOptions) {
    if (spec.letter != 0 && spec.letter == letter) return &spec;
  }
  return nullptr;
}

// A collation option's word, checked later with the locale (checkCollation).
Status collationWord(ParseState* state, const char* name, const std::string& value, std::string* into) {
  if (value.empty()) return Status::error(std::string("the value of --") + name + " is empty");
  *into = value;
  if (state->collationOption.empty()) state->collationOption = std::string("--") + name;
  return Status();
}

Status parseSeparator(const std::string& s, char* separator) {
  if (s == "\\t" || s == "\t") {
    *separator = '\t';
  } else if (s.size() == 1 && s[0] != '"' && s[0] != '\n' && s[0] != '\r') {
    *separator = s[0];
  } else {
    return Status::error("the field separator must be one character other than a quote or line end: '" +
                         printable(s) + "'");
  }
  return Status();
}

Status parseParallel(const std::string& value, int* parallel) {
  char* end = nullptr;
  long n = std::strtol(value.c_str(), &end, 10);
  if (end == value.c_str() || *end != '\0' || n < 1 || n > 256) {
    return Status::error("invalid --parallel '" + printable(value) + "' (1 to 256)");
  }
  *parallel = static_cast<int>(n);
  return Status();
}

// The options that take a value.
Status applyValue(OptionId id, const std::string& value, ParseState* state) {
  Options& o = state->options;
  switch (id) {
    case OptionId::Key: {
      KeyOption key;
      TQSORT_TRY(parseKey(value, &key));
      o.keys.push_back(key);
      return Status();
    }
    case OptionId::FieldSeparator: return parseSeparator(value, &o.separator);
    case OptionId::BufferSize: return parseSize(value.c_str(), &o.bufferSize);
    case OptionId::TemporaryDirectory:
      if (value.empty()) return Status::error("the temporary directory name is empty");
      if (value.find(':') != std::string::npos) {
        return Status::error("temporary directory names may not hold ':': " + printable(value));
      }
      o.tempDirs.push_back(value);
      return Status();
    case OptionId::Parallel: return parseParallel(value, &o.parallel);
    case OptionId::Output:
      if (value.empty()) return Status::error("the output file name is empty");
      o.outputGiven = true;
      o.output = value;
      return Status();
    case OptionId::Compress:
      if (value != "lz4" && value != "none") return Status::error("invalid --compress '" + printable(value) + "' (lz4 or none)");
      o.compress = value == "lz4" ? "lz4" : "";
      return Status();
    case OptionId::CompressProgram:
      if (value.empty()) return Status::error("the program of --compress-program is empty");
      o.compress = "program:" + value;
      return Status();
    case OptionId::Collate:
      if (value.empty()) return Status::error("the locale of --collate is empty");
      o.collate = value;
      return Status();
    case OptionId::CaseFirst: return collationWord(state, "case-first", value, &o.caseFirst);
    case OptionId::Strength: return collationWord(state, "strength", value, &o.strength);
    case OptionId::Collation: return collationWord(state, "collation", value, &o.variant);
    default: return Status::error("internal error: an option without a value was given one");
  }
}

// The options that take none.
void applySwitch(OptionId id, ParseState* state) {
  Options& o = state->options;
  switch (id) {
    case OptionId::Header: o.header = true; break;
    case OptionId::Stable: o.stable = true; break;
    case OptionId::Unique: o.unique = true; break;
    case OptionId::Stats: o.stats = true; break;
    case OptionId::Progress: o.progress = 1; break;
    case OptionId::NoProgress: o.progress = 0; break;
    case OptionId::Lenient: o.lenient = true; break;
    case OptionId::Help: state->action = Action::Help; break;
    case OptionId::Version: state->action = Action::Version; break;
    case OptionId::Numeric:
      o.numeric = true;
      if (state->collationOption.empty()) state->collationOption = "--numeric";
      break;
    case OptionId::IgnorePunctuation:
      o.ignorePunctuation = true;
      if (state->collationOption.empty()) state->collationOption = "--ignore-punctuation";
      break;
    case OptionId::Reverse: o.reverse = true; break;
    case OptionId::NumericSort: state->numbers.push_back('n'); break;
    case OptionId::GeneralNumericSort: state->numbers.push_back('g'); break;
    case OptionId::IgnoreCase: o.foldCase = true; break;
    case OptionId::Check: o.check = Options::Check::Diagnose; break;
    case OptionId::CheckQuiet: o.check = Options::Check::Quiet; break;
    case OptionId::Merge: o.merge = true; break;
    default: break;
  }
}

Status applyOption(const OptionSpec& spec, const std::string& value, ParseState* state) {
  if (spec.takes == Takes::Value) return applyValue(spec.id, value, state);
  applySwitch(spec.id, state);
  return Status();
}

// "--name", "--name=value" or "--name value" at argv[*i].
Status scanLong(int argc, char** argv, int* i, ParseState* state) {
  std::string word = argv[*i] + 2;
  size_t equals = word.find('=');
  std::string name = word.substr(0, equals);
  Status failure;
  const OptionSpec* spec = findLong(name, &failure);
  if (spec == nullptr) return failure;
  std::string shown = std::string("--") + spec->name;
  if (spec->takes == Takes::Nothing) {
    if (equals != std::string::npos) return Status::error("option '" + shown + "' takes no argument");
    return applyOption(*spec, std::string(), state);
  }
  if (equals != std::string::npos) return applyOption(*spec, word.substr(equals + 1), state);
  if (*i + 1 >= argc) return Status::error("option '" + shown + "' requires an argument");
  return applyOption(*spec, argv[++*i], state);
}

// "-x", "-xy" (several switches), "-kVALUE" or "-k VALUE" at argv[*i].
Status scanShort(int argc, char** argv, int* i, ParseState* state) {
  const char* word = argv[*i];
  for (size_t at = 1; word[at] != '\0' && state->action == Action::Sort; ++at) {
    const OptionSpec* spec = findShort(word[at]);
    if (spec == nullptr) return Status::error("unknown option '-" + printable(std::string(1, word[at])) + "'");
    if (spec->takes == Takes::Nothing) {
      applySwitch(spec->id, state);
      continue;
    }
    if (word[at + 1] != '\0') return applyOption(*spec, word + at + 1, state);
    if (*i + 1 >= argc) return Status::error(std::string("option '-") + spec->letter + "' requires an argument");
    return applyOption(*spec, argv[++*i], state);
  }
  return Status();
}

// -n, -g, -f and -r for the keys that name no ordering of their own.
Status globalOrder(ParseState* state) {
  Options& o = state->options;
  if (!state->numbers.empty() && state->numbers.find_first_not_of(state->numbers[0]) != std::string::npos) {
    return Status::error("options '-gn' are incompatible");
  }
  if (!state->numbers.empty()) o.numbers = state->numbers[0] == 'n' ? NumberRead::Leading : NumberRead::General;
  for (KeyOption& key : o.keys) {
    if (key.ownOrder) continue;
    if (o.numbers != NumberRead::Whole) {
      key.type = KeyType::Dec;
      key.number = o.numbers;
    }
    key.descending = o.reverse;
    key.fold = o.foldCase;
  }
  return Status();
}

void addLineKeys(Options* options) {
  Options& o = *options;
  KeyOption line;
  line.column = "line";
  line.text = "the whole line";
  line.wholeLine = true;
  line.descending = o.reverse;
  if (o.keys.empty()) {
    // Without -k the line is the key, in the orderings given for all keys.
    KeyOption whole = line;
    if (o.numbers != NumberRead::Whole) {
      whole.type = KeyType::Dec;
      whole.number = o.numbers;
    }
    whole.fold = o.foldCase;
    o.keys.push_back(whole);
  }
  // Without -s and -u, lines whose keys are equal are ordered by all their bytes (in
  // the direction of -r), so that every run writes them in the same order.  Not in a
  // collated sort, whose engine keeps its own order of equal keys.
  const KeyOption& last = o.keys.back();
  bool lineLast = last.wholeLine && last.type == KeyType::Str && !last.fold && last.descending == o.reverse;
  if (o.stable || o.unique || o.collated() || lineLast) return;
  line.lastResort = true;
  o.keys.push_back(line);
}

// The checks that need the whole command line.
Status finishOptions(ParseState* state) {
  Options& o = state->options;
  if (o.inputs.empty()) o.inputs.push_back("-");
  for (const std::string& in : o.inputs) {
    if (in.empty()) return Status::error("an input file name is empty");
  }
  if (!state->collationOption.empty() && !o.collated()) {
    return Status::error(state->collationOption + " needs --collate=LOCALE");
  }
  TQSORT_TRY(globalOrder(state));
  if (o.collated() && o.keys.empty()) return Status::error("--collate needs a key: give at least one -k COL[:TYPE][:r]");
  if (o.collated() && (o.merge || o.check != Options::Check::None)) {
    return Status::error(std::string(o.merge ? "-m" : "-c") + " compares keys in byte order: it does not go with --collate");
  }
  for (KeyOption& key : o.keys) {
    if (key.fold && o.collated()) return Status::error("-f folds case in byte order: it does not go with --collate");
    TQSORT_TRY(numberKey(&key, o.header));
  }
  if (o.check != Options::Check::None && o.outputGiven) {
    return Status::error(std::string("options '-") + (o.check == Options::Check::Quiet ? "C" : "c") +
                         "o' are incompatible");
  }
  if (o.check != Options::Check::None && o.inputs.size() > 1) {
    return Status::error("extra operand '" + printable(o.inputs[1]) + "' not allowed with -c");
  }
  addLineKeys(&o);
  return Status();
}

}  // namespace

Status numberKey(KeyOption* key, bool header) {
  const std::string& c = key->column;
  size_t digits = c[0] == '+' || c[0] == '-' ? 1 : 0;
  bool number = digits < c.size() && c.find_first_not_of("0123456789", digits) == std::string::npos;
  if (!number) {
    if (!header) return Status::error("invalid key '" + printable(key->text) + "': a column name needs --header");
    return Status();
  }
  // Digits only: the value's size is what matters, however many zeros lead.
  size_t first = c.find_first_not_of('0', digits);
  uint64_t n = 0;
  if (first != std::string::npos && c.size() - first > 7) {
    n = kMostColumns + 1;
  } else if (first != std::string::npos) {
    n = std::stoull(c.substr(first));
  }
  if (c[0] == '-' || n == 0) {
    return Status::error("invalid key '" + printable(key->text) + "': columns are numbered from 1");
  }
  if (n > kMostColumns) {
    return Status::error("invalid key '" + printable(key->text) + "': columns are numbered up to " +
                         std::to_string(kMostColumns));
  }
  key->index = static_cast<int>(n - 1);
  return Status();
}

Status parseOptions(int argc, char** argv, Options* options, Action* action) {
  ParseState state;
  bool optionsEnd = false;
  for (int i = 1; i < argc && state.action == Action::Sort; ++i) {
    const char* word = argv[i];
    if (optionsEnd || word[0] != '-' || word[1] == '\0') {
      state.options.inputs.push_back(word);
    } else if (std::strcmp(word, "--") == 0) {
      optionsEnd = true;
    } else if (word[1] == '-') {
      TQSORT_TRY(scanLong(argc, argv, &i, &state));
    } else {
      TQSORT_TRY(scanShort(argc, argv, &i, &state));
    }
  }
  *action = state.action;
  if (state.action != Action::Sort) return Status();
  TQSORT_TRY(finishOptions(&state));
  *options = std::move(state.options);
  return Status();
}

}  // namespace tqsort
