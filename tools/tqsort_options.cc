#include "tqsort_options.h"

#include <getopt.h>

#include <cstdlib>
#include <cstring>

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

void printHelp(std::FILE* out) {
  std::fprintf(out,
      "Usage: tqsort [OPTION]... [FILE]...\n"
      "Sort the records of CSV or TSV FILEs (standard input for - or none) by typed keys,\n"
      "within a memory budget, and write them to standard output.\n"
      "\n"
      "  -k, --key=COL[:TYPE][:r]   sort by column COL (1-based number, or a header name\n"
      "                             with --header); TYPE is str (default), int, dec\n"
      "                             (exact decimal), date (YYYY-MM-DD, years 0001-9999) or\n"
      "                             bool; r sorts descending.  Repeat for more keys.  Empty\n"
      "                             fields are nulls, lower than every value.\n"
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
      "                             replaced only when the sort succeeded; one with other\n"
      "                             hard links is rewritten in place; a device or FIFO is\n"
      "                             written to\n"
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
      "                             --strength=quaternary they decide last)\n"
      "      --lenient              a value that does not parse as its key's type is a null\n"
      "                             (default: stop with an error naming it)\n"
      "      --stats                print the sort's statistics on standard error\n"
      "      --progress             show progress on standard error (default when it is a\n"
      "                             terminal); --no-progress turns it off\n"
      "  -h, --help                 display this help and exit\n"
      "      --version              output version information and exit\n"
      "\n"
      "Records are RFC 4180: a field that starts with a quote is quoted and may hold\n"
      "separators, doubled quotes and line breaks; a quote elsewhere is data.  A quoted\n"
      "field left open at the end of the input is an error.  Output records are byte for\n"
      "byte the input records, \\n and \\r\\n kept, after the input's UTF-8 byte-order mark\n"
      "if it had one.  Without -s, records with equal keys come out in no particular order.\n"
      "Temporary files live in a directory tqsort-PID-XXXXXX inside the temporary\n"
      "directory, removed at exit and on a terminating signal; one left by a killed run\n"
      "is removed by the next run that uses the same temporary directory.\n"
      "Exit status: 0 on success, 2 on any error, 128 + N when ended by signal N.\n");
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

Status parseKey(const std::string& text, KeyOption* key) {
  *key = KeyOption();
  key->text = text;
  size_t colon = text.find(':');
  key->column = text.substr(0, colon);
  if (key->column.empty()) return Status::error("invalid key '" + text + "': no column");
  bool typeGiven = false;
  while (colon != std::string::npos) {
    size_t next = text.find(':', colon + 1);
    std::string part = text.substr(colon + 1, next == std::string::npos ? std::string::npos : next - colon - 1);
    if (part == "r") {
      if (key->descending) return Status::error("invalid key '" + text + "': 'r' given twice");
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
          if (typeGiven) return Status::error("invalid key '" + text + "': more than one type");
          key->type = t.type;
          typeGiven = known = true;
        }
      }
      if (!known) {
        return Status::error("invalid key '" + text + "': unknown type '" + part + "' (str, int, dec, date, bool, r)");
      }
    }
    colon = next;
  }
  return Status();
}

Status parseOptions(int argc, char** argv, Options* options, Action* action) {
  enum {
    kHeader = 1000, kParallel, kStats, kProgress, kNoProgress, kLenient, kVersionOpt,
    kCollate, kCaseFirst, kStrength, kCollation, kNumeric, kIgnorePunctuation
  };
  static const option kLong[] = {
      {"key", required_argument, nullptr, 'k'},
      {"field-separator", required_argument, nullptr, 't'},
      {"header", no_argument, nullptr, kHeader},
      {"stable", no_argument, nullptr, 's'},
      {"unique", no_argument, nullptr, 'u'},
      {"buffer-size", required_argument, nullptr, 'S'},
      {"temporary-directory", required_argument, nullptr, 'T'},
      {"parallel", required_argument, nullptr, kParallel},
      {"output", required_argument, nullptr, 'o'},
      {"stats", no_argument, nullptr, kStats},
      {"progress", no_argument, nullptr, kProgress},
      {"no-progress", no_argument, nullptr, kNoProgress},
      {"lenient", no_argument, nullptr, kLenient},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, kVersionOpt},
      {"collate", required_argument, nullptr, kCollate},
      {"case-first", required_argument, nullptr, kCaseFirst},
      {"strength", required_argument, nullptr, kStrength},
      {"collation", required_argument, nullptr, kCollation},
      {"numeric", no_argument, nullptr, kNumeric},
      {"ignore-punctuation", no_argument, nullptr, kIgnorePunctuation},
      {nullptr, 0, nullptr, 0},
  };
  Options o;
  std::string collationOption;  // the first collation option given, for "needs --collate"
  // A collation option's word, checked later with the locale (checkCollation).
  auto collationWord = [&](const char* name, std::string* into) -> Status {
    if (*optarg == '\0') return Status::error(std::string("the value of --") + name + " is empty");
    *into = optarg;
    if (collationOption.empty()) collationOption = std::string("--") + name;
    return Status();
  };
  *action = Action::Sort;
  opterr = 0;
  optind = 0;  // a fresh scan, also when called more than once
  int c;
  while ((c = getopt_long(argc, argv, ":k:t:suS:T:o:h", kLong, nullptr)) != -1) {
    switch (c) {
      case 'k': {
        KeyOption key;
        TQSORT_TRY(parseKey(optarg, &key));
        o.keys.push_back(key);
        break;
      }
      case 't': {
        std::string s = optarg;
        if (s == "\\t" || s == "\t") {
          o.separator = '\t';
        } else if (s.size() == 1 && s[0] != '"' && s[0] != '\n' && s[0] != '\r') {
          o.separator = s[0];
        } else {
          return Status::error("the field separator must be one character other than a quote or line end: '" +
                               printable(s) + "'");
        }
        break;
      }
      case kHeader: o.header = true; break;
      case 's': o.stable = true; break;
      case 'u': o.unique = true; break;
      case 'S': TQSORT_TRY(parseSize(optarg, &o.bufferSize)); break;
      case 'T':
        if (*optarg == '\0') return Status::error("the temporary directory name is empty");
        if (std::strchr(optarg, ':') != nullptr) {
          return Status::error(std::string("temporary directory names may not hold ':': ") + printable(optarg));
        }
        o.tempDirs.push_back(optarg);
        break;
      case kParallel: {
        char* end = nullptr;
        long n = std::strtol(optarg, &end, 10);
        if (end == optarg || *end != '\0' || n < 1 || n > 256) {
          return Status::error(std::string("invalid --parallel '") + printable(optarg) + "' (1 to 256)");
        }
        o.parallel = static_cast<int>(n);
        break;
      }
      case 'o':
        if (*optarg == '\0') return Status::error("the output file name is empty");
        o.outputGiven = true;
        o.output = optarg;
        break;
      case kStats: o.stats = true; break;
      case kProgress: o.progress = 1; break;
      case kNoProgress: o.progress = 0; break;
      case kLenient: o.lenient = true; break;
      case kCollate:
        if (*optarg == '\0') return Status::error("the locale of --collate is empty");
        o.collate = optarg;
        break;
      case kCaseFirst: TQSORT_TRY(collationWord("case-first", &o.caseFirst)); break;
      case kStrength: TQSORT_TRY(collationWord("strength", &o.strength)); break;
      case kCollation: TQSORT_TRY(collationWord("collation", &o.variant)); break;
      case kNumeric:
        o.numeric = true;
        if (collationOption.empty()) collationOption = "--numeric";
        break;
      case kIgnorePunctuation:
        o.ignorePunctuation = true;
        if (collationOption.empty()) collationOption = "--ignore-punctuation";
        break;
      case 'h': *action = Action::Help; return Status();
      case kVersionOpt: *action = Action::Version; return Status();
      case ':': return Status::error(std::string("option '") + argv[optind - 1] + "' requires an argument");
      default:
        return Status::error("unknown option '" +
                             (optopt ? std::string("-") + static_cast<char>(optopt) : std::string(argv[optind - 1])) + "'");
    }
  }
  for (int i = optind; i < argc; ++i) o.inputs.push_back(argv[i]);
  if (o.inputs.empty()) o.inputs.push_back("-");
  for (const std::string& in : o.inputs) {
    if (in.empty()) return Status::error("an input file name is empty");
  }
  if (o.keys.empty()) return Status::error("no sort key: give at least one -k COL[:TYPE][:r]");
  if (!collationOption.empty() && !o.collated()) {
    return Status::error(collationOption + " needs --collate=LOCALE");
  }
  for (KeyOption& key : o.keys) {
    char* end = nullptr;
    long n = std::strtol(key.column.c_str(), &end, 10);
    if (end != key.column.c_str() && *end == '\0') {
      if (n < 1 || n > 1000000) return Status::error("invalid key '" + key.text + "': columns are numbered from 1");
      key.index = static_cast<int>(n - 1);
    } else if (!o.header) {
      return Status::error("invalid key '" + printable(key.text) + "': a column name needs --header");
    }
  }
  *options = std::move(o);
  return Status();
}

}  // namespace tqsort
