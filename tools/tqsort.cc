// tqsort: sorts CSV and TSV files by typed keys within a memory budget, on the
// library's external merge sort.  It uses only the public API, as any host would.
//
// Each input record becomes one row of a sorting datafile: one field per key, typed
// (string, 64-bit integer, exact decimal, date, boolean; an empty field is null and
// sorts lowest), and the record's bytes as they came, line end included.  The output
// is those bytes in key order, so every line is written exactly as it was read.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tqdatafile/tqdatafile.h"
#include "tqsort_csv.h"

namespace {

constexpr const char* kVersion = "tqsort 0.1.0";
constexpr int kExitError = 2;

enum class KeyType { Str, Int, Dec, Date, Bool };

struct KeySpec {
  std::string column;  // as given: a number, or a header name
  int index = -1;      // 0-based field index, resolved
  KeyType type = KeyType::Str;
  bool descending = false;
  std::string text;    // the option as given, for messages
};

struct Options {
  std::vector<KeySpec> keys;
  char separator = ',';
  bool header = false;
  bool stable = false;
  bool unique = false;
  bool lenient = false;
  bool stats = false;
  int progress = -1;  // -1: when standard error is a terminal
  uint64_t bufferSize = 0;
  std::vector<std::string> tempDirs;
  int parallel = 0;
  std::string output;
  std::vector<std::string> inputs;
};

const char* typeName(KeyType t) {
  switch (t) {
    case KeyType::Str: return "str";
    case KeyType::Int: return "int";
    case KeyType::Dec: return "dec";
    case KeyType::Date: return "date";
    case KeyType::Bool: return "bool";
  }
  return "?";
}

[[noreturn]] void usageError(const std::string& text) {
  std::fprintf(stderr, "tqsort: %s\nTry 'tqsort --help' for more information.\n", text.c_str());
  std::exit(kExitError);
}

void printHelp() {
  std::printf(
      "Usage: tqsort [OPTION]... [FILE]...\n"
      "Sort the records of CSV or TSV FILEs (standard input for - or none) by typed keys,\n"
      "within a memory budget, and write them to standard output.\n"
      "\n"
      "  -k, --key=COL[:TYPE][:r]   sort by column COL (1-based number, or a header name\n"
      "                             with --header); TYPE is str (default), int, dec\n"
      "                             (exact decimal), date (YYYY-MM-DD) or bool; r sorts\n"
      "                             descending.  Repeat for more keys.  Empty fields are\n"
      "                             nulls, lower than every value.\n"
      "  -t, --field-separator=C    field separator (default ','; '\\t' for TSV)\n"
      "      --header               the first line is a header: written first, not sorted\n"
      "  -s, --stable               keep the input order of records with equal keys\n"
      "  -u, --unique               write only the first record of each run of equal keys\n"
      "  -S, --buffer-size=SIZE     memory for sorting; suffixes K, M, G (default: from the\n"
      "                             input size, at most a quarter of memory)\n"
      "  -T, --temporary-directory=DIR  put temporary files in DIR (repeatable; default\n"
      "                             $TMPDIR or /tmp)\n"
      "      --parallel=N           sort on N processors (default: all, at most 8)\n"
      "  -o, --output=FILE          write to FILE, which may be one of the inputs; an existing\n"
      "                             FILE is replaced only when the sort succeeded\n"
      "      --lenient              a value that does not parse as its key's type is a null\n"
      "                             (default: stop with an error naming it)\n"
      "      --stats                print the sort's statistics on standard error\n"
      "      --progress             show progress on standard error (default when it is a\n"
      "                             terminal); --no-progress turns it off\n"
      "  -h, --help                 display this help and exit\n"
      "      --version              output version information and exit\n"
      "\n"
      "Records are RFC 4180: quoted fields may hold separators, doubled quotes and line\n"
      "breaks.  Output records are byte for byte the input records, \\n and \\r\\n kept.\n"
      "Without -s, records with equal keys come out in no particular order.\n"
      "Exit status: 0 on success, 2 on any error.\n");
}

uint64_t parseSize(const char* text) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (end == text || errno != 0) usageError(std::string("invalid buffer size '") + text + "'");
  uint64_t scale = 1;
  switch (*end) {
    case '\0': break;
    case 'b': case 'B': scale = 1; ++end; break;
    case 'k': case 'K': scale = 1ull << 10; ++end; break;
    case 'm': case 'M': scale = 1ull << 20; ++end; break;
    case 'g': case 'G': scale = 1ull << 30; ++end; break;
    case 't': case 'T': scale = 1ull << 40; ++end; break;
    default: usageError(std::string("invalid buffer size '") + text + "'");
  }
  if (*end != '\0' || v == 0) usageError(std::string("invalid buffer size '") + text + "'");
  return v * scale;
}

KeySpec parseKey(const std::string& text) {
  KeySpec key;
  key.text = text;
  size_t colon = text.find(':');
  key.column = text.substr(0, colon);
  if (key.column.empty()) usageError("invalid key '" + text + "': no column");
  while (colon != std::string::npos) {
    size_t next = text.find(':', colon + 1);
    std::string part = text.substr(colon + 1, next == std::string::npos ? std::string::npos : next - colon - 1);
    if (part == "r") {
      key.descending = true;
    } else if (part == "str") {
      key.type = KeyType::Str;
    } else if (part == "int") {
      key.type = KeyType::Int;
    } else if (part == "dec") {
      key.type = KeyType::Dec;
    } else if (part == "date") {
      key.type = KeyType::Date;
    } else if (part == "bool") {
      key.type = KeyType::Bool;
    } else {
      usageError("invalid key '" + text + "': unknown type '" + part + "' (str, int, dec, date, bool, r)");
    }
    colon = next;
  }
  return key;
}

Options parseOptions(int argc, char** argv) {
  enum { kHeader = 1000, kParallel, kStats, kProgress, kNoProgress, kLenient, kVersionOpt };
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
      {nullptr, 0, nullptr, 0},
  };
  Options o;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":k:t:suS:T:o:h", kLong, nullptr)) != -1) {
    switch (c) {
      case 'k': o.keys.push_back(parseKey(optarg)); break;
      case 't': {
        std::string s = optarg;
        if (s == "\\t" || s == "\t") {
          o.separator = '\t';
        } else if (s.size() == 1 && s[0] != '"' && s[0] != '\n' && s[0] != '\r') {
          o.separator = s[0];
        } else {
          usageError("the field separator must be one character other than a quote or line end: '" + s + "'");
        }
        break;
      }
      case kHeader: o.header = true; break;
      case 's': o.stable = true; break;
      case 'u': o.unique = true; break;
      case 'S': o.bufferSize = parseSize(optarg); break;
      case 'T':
        if (std::strchr(optarg, ':') != nullptr) usageError(std::string("temporary directory names may not hold ':': ") + optarg);
        o.tempDirs.push_back(optarg);
        break;
      case kParallel: {
        char* end = nullptr;
        long n = std::strtol(optarg, &end, 10);
        if (end == optarg || *end != '\0' || n < 1 || n > 256) usageError(std::string("invalid --parallel '") + optarg + "'");
        o.parallel = static_cast<int>(n);
        break;
      }
      case 'o': o.output = optarg; break;
      case kStats: o.stats = true; break;
      case kProgress: o.progress = 1; break;
      case kNoProgress: o.progress = 0; break;
      case kLenient: o.lenient = true; break;
      case 'h': printHelp(); std::exit(0);
      case kVersionOpt: std::printf("%s\n", kVersion); std::exit(0);
      case ':': usageError(std::string("option '") + argv[optind - 1] + "' requires an argument");
      default:
        usageError(std::string("unknown option '") + (optopt ? std::string("-") + static_cast<char>(optopt) : argv[optind - 1]) + "'");
    }
  }
  for (int i = optind; i < argc; ++i) o.inputs.push_back(argv[i]);
  if (o.inputs.empty()) o.inputs.push_back("-");
  if (o.keys.empty()) usageError("no sort key: give at least one -k COL[:TYPE][:r]");
  for (KeySpec& key : o.keys) {
    char* end = nullptr;
    long n = std::strtol(key.column.c_str(), &end, 10);
    if (end != key.column.c_str() && *end == '\0') {
      if (n < 1 || n > 1000000) usageError("invalid key '" + key.text + "': columns are numbered from 1");
      key.index = static_cast<int>(n - 1);
    } else if (!o.header) {
      usageError("invalid key '" + key.text + "': a column name needs --header");
    }
  }
  return o;
}

// --- progress and statistics -----------------------------------------------------------

class ProgressBar : public TqSortProgress {
 public:
  explicit ProgressBar(bool on) : on_(on) {}
  void show(const char* phase, double fraction) {
    if (!on_) return;
    auto now = std::chrono::steady_clock::now();
    if (fraction < 1.0 && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    int filled = static_cast<int>(fraction * 30);
    char bar[31];
    for (int i = 0; i < 30; ++i) bar[i] = i < filled ? '#' : ' ';
    bar[30] = '\0';
    std::fprintf(stderr, "\rtqsort: %-8s [%s] %3d%%", phase, bar, static_cast<int>(fraction * 100));
    shown_ = true;
  }
  void done() {
    if (shown_) std::fprintf(stderr, "\r%60s\r", "");
    shown_ = false;
  }
  bool progress(double fraction) override {
    show("merging", fraction);
    return true;
  }

 private:
  bool on_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_{};
};

class StatsSink : public TqSortInfo {
 public:
  int line(const char* text) override {
    std::fprintf(stderr, "tqsort: %s\n", text);
    return 0;
  }
};

// --- the run ---------------------------------------------------------------------------

struct Input {
  std::string name;
  int fd = -1;
  int64_t size = -1;  // regular files
};

class Sorter {
 public:
  explicit Sorter(Options options) : o_(std::move(options)) {}
  int run();

 private:
  [[noreturn]] void fail(const std::string& text);
  void openInputs();
  void openOutput();
  void createSort();
  void readInput(Input& in, bool first);
  // Makes a record a row: its key values and its bytes.
  void addRecord(const Input& in, int64_t lineNumber, const tqsort::Record& record, const char* lineEnd);
  void setKey(size_t k, const char* data, size_t length, const Input& in, int64_t lineNumber);
  void resolveKeys(const tqsort::Record& header);
  void writeBytes(const char* data, size_t length);
  void flushOutput();
  void cleanup();

  Options o_;
  std::vector<Input> inputs_;
  int64_t totalBytes_ = 0;   // of regular inputs; -1 when unknown
  int64_t bytesRead_ = 0;
  TqDatafileManager* manager_ = nullptr;
  TqDatafile* file_ = nullptr;
  int outFd_ = 1;
  std::string tempOutput_;
  std::vector<char> out_;
  size_t maxField_ = 0;
  std::vector<tqsort::Field> fields_;
  std::string scratch_;
  std::string lineScratch_;
  std::string header_;       // the header record, written first
  bool keysResolved_ = false;
  ProgressBar progress_{false};
  StatsSink stats_;
  std::vector<TqbDatavar*> values_;
};

void Sorter::cleanup() {
  if (file_ != nullptr) file_->release();
  file_ = nullptr;
  if (manager_ != nullptr) manager_->release();
  manager_ = nullptr;
  if (!tempOutput_.empty()) {
    ::unlink(tempOutput_.c_str());
    tempOutput_.clear();
  }
}

void Sorter::fail(const std::string& text) {
  progress_.done();
  std::fprintf(stderr, "tqsort: %s\n", text.c_str());
  cleanup();
  std::exit(kExitError);
}

void Sorter::openInputs() {
  for (const std::string& name : o_.inputs) {
    Input in;
    in.name = name;
    if (name == "-") {
      in.fd = 0;
      in.name = "(standard input)";
    } else {
      in.fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
      if (in.fd < 0) fail("cannot read '" + name + "': " + std::strerror(errno));
    }
    struct stat st;
    if (::fstat(in.fd, &st) == 0 && S_ISREG(st.st_mode)) {
      in.size = st.st_size;
      if (totalBytes_ >= 0) totalBytes_ += st.st_size;
    } else {
      totalBytes_ = -1;
    }
    inputs_.push_back(in);
  }
}

void Sorter::openOutput() {
  out_.reserve(1 << 22);
  if (o_.output.empty()) return;
  // Written next to the output and renamed over it only when everything went well.
  std::string dir = ".";
  size_t slash = o_.output.rfind('/');
  if (slash != std::string::npos) dir = slash == 0 ? "/" : o_.output.substr(0, slash);
  std::string tmpl = dir + "/.tqsort-XXXXXX";
  int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) fail("cannot write '" + o_.output + "': " + std::strerror(errno));
  struct stat st;
  if (::stat(o_.output.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      ::close(fd);
      ::unlink(tmpl.c_str());
      fail("cannot write '" + o_.output + "': it is a directory");
    }
    ::fchmod(fd, st.st_mode & 07777);
  } else {
    ::fchmod(fd, 0666 & ~[] { mode_t m = ::umask(0); ::umask(m); return m; }());
  }
  outFd_ = fd;
  tempOutput_ = tmpl;
}

void Sorter::createSort() {
  std::string dirs;
  if (o_.tempDirs.empty()) {
    const char* env = std::getenv("TMPDIR");
    dirs = env != nullptr && *env != '\0' ? env : "/tmp";
  } else {
    for (const std::string& d : o_.tempDirs) dirs += (dirs.empty() ? "" : ":") + d;
  }
  TqbString error;
  manager_ = tqDatafileManagerCreate(dirs.c_str(), &error);
  if (manager_ == nullptr) fail(error.asCstr());

  // Memory: what the user gave, else room for the whole input several times over (rows
  // carry their key copies), at most a quarter of the machine, within the library's
  // 32-bit sort size.
  uint64_t memory = static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  uint64_t size = o_.bufferSize;
  if (size == 0) {
    size = memory / 4;
    if (totalBytes_ >= 0) size = std::min<uint64_t>(size, std::max<uint64_t>(static_cast<uint64_t>(totalBytes_) * 4, 16u << 20));
  }
  size = std::min<uint64_t>(std::max<uint64_t>(size, 1u << 20), 0xFFF00000ull);
  // Eight chunks: a wide enough merge, few enough chunk files.
  uint32_t chunk = static_cast<uint32_t>(std::max<uint64_t>(size / 8, 1u << 18));
  size_t k = o_.keys.size();
  // Every string field may be as long as fits a chunk with the others.
  int32_t maxLength = static_cast<int32_t>(chunk / (2 * k + 4)) - 16;

  int processors = o_.parallel;
  if (processors == 0) processors = static_cast<int>(std::min<long>(sysconf(_SC_NPROCESSORS_ONLN), 8));
  manager_->setColumns(static_cast<int32_t>(k + 1));
  for (size_t i = 0; i < k; ++i) {
    tqbType type = tqbTypeString;
    switch (o_.keys[i].type) {
      case KeyType::Str: type = tqbTypeString; break;
      case KeyType::Int: type = tqbTypeInteger; break;
      case KeyType::Dec: type = tqbTypeReal; break;
      case KeyType::Date: type = tqbTypeDate; break;
      case KeyType::Bool: type = tqbTypeBoolean; break;
    }
    manager_->setColSpec(static_cast<int32_t>(i), type, maxLength);
  }
  manager_->setColSpec(static_cast<int32_t>(k), tqbTypeString, maxLength);
  manager_->setChunkSize(chunk);
  manager_->setSortSize(static_cast<uint32_t>(size));
  manager_->setSortProcessors(processors);
  // -u keeps the first record of each run in input order, so it sorts stably too.
  manager_->setSortStable(o_.stable || o_.unique);
  manager_->setSortNoDups(o_.unique);
  file_ = manager_->createFile(TqDatafile::FlagSorted | TqDatafile::FlagVariableRows);
  if (file_ == nullptr) fail(manager_->getError().asCstr());
  if (file_->resetSort(static_cast<int32_t>(k)) != 0) fail(file_->getError().asCstr());
  for (size_t i = 0; i < k; ++i) {
    if (file_->setSort(static_cast<int32_t>(i), static_cast<int32_t>(i), o_.keys[i].descending ? 0 : 1, nullptr) != 0) {
      fail(file_->getError().asCstr());
    }
  }
  if (o_.stats) file_->setSortInfo(&stats_);
  bool showProgress = o_.progress == 1 || (o_.progress == -1 && ::isatty(2));
  progress_ = ProgressBar(showProgress);
  if (showProgress) file_->setSortProgress(&progress_);
  for (size_t i = 0; i <= k; ++i) values_.push_back(file_->getField(static_cast<int32_t>(i)));
}

void Sorter::resolveKeys(const tqsort::Record& header) {
  std::vector<tqsort::Field> names;
  if (header.begin != nullptr) {
    // Every header field, as many as there are.
    size_t count = 1;
    for (size_t i = 0; i < header.contentLength; ++i) count += header.begin[i] == o_.separator;
    tqsort::splitFields(header, o_.separator, count, &names);
  }
  for (KeySpec& key : o_.keys) {
    if (key.index < 0) {  // a name: find it in the header
      for (size_t i = 0; i < names.size() && key.index < 0; ++i) {
        const char* data;
        size_t length;
        tqsort::fieldText(names[i], &scratch_, &data, &length);
        if (key.column == std::string(data, length)) key.index = static_cast<int>(i);
      }
      if (key.index < 0) fail("key '" + key.text + "': no column '" + key.column + "' in the header");
    }
    maxField_ = std::max(maxField_, static_cast<size_t>(key.index) + 1);
  }
  keysResolved_ = true;
}

void Sorter::setKey(size_t k, const char* data, size_t length, const Input& in, int64_t lineNumber) {
  const KeySpec& key = o_.keys[k];
  TqbDatavar* v = values_[k];
  if (key.type != KeyType::Str) tqsort::trimBlanks(&data, &length);
  if (length == 0) {
    v->setNull();
    return;
  }
  bool ok = true;
  const char* what = "";
  switch (key.type) {
    case KeyType::Str:
      ok = v->assign(tqbTypeString, data, length);
      if (!ok) fail("out of memory");
      return;
    case KeyType::Int: {
      int64_t n;
      ok = tqsort::parseInt64(data, length, &n);
      if (ok) v->assign(n);
      what = "a 64-bit integer";
      break;
    }
    case KeyType::Dec: {
      uint8_t raw[24];
      ok = tqbDecimalFromString(data, length, raw) == kTqbDecOk;
      if (ok) v->assign(tqbTypeReal, raw, 24);
      what = "an exact decimal (at most 52 digits)";
      break;
    }
    case KeyType::Date: {
      int y, m, d;
      ok = tqsort::parseDate(data, length, &y, &m, &d);
      if (ok) v->assign(TqbDate::fromYmd(y, m, d));
      what = "a date (YYYY-MM-DD)";
      break;
    }
    case KeyType::Bool: {
      bool b;
      ok = tqsort::parseBool(data, length, &b);
      if (ok) v->assign(b);
      what = "a boolean (true/false, yes/no, 1/0)";
      break;
    }
  }
  if (ok) return;
  if (o_.lenient) {
    v->setNull();
    return;
  }
  fail(in.name + ":" + std::to_string(lineNumber) + ": column " + key.column + " (" + typeName(key.type) +
       "): '" + std::string(data, std::min<size_t>(length, 200)) + "' is not " + what);
}

void Sorter::addRecord(const Input& in, int64_t lineNumber, const tqsort::Record& record, const char* lineEnd) {
  tqsort::splitFields(record, o_.separator, maxField_, &fields_);
  for (size_t k = 0; k < o_.keys.size(); ++k) {
    const char* data;
    size_t length;
    tqsort::fieldText(fields_[static_cast<size_t>(o_.keys[k].index)], &scratch_, &data, &length);
    setKey(k, data, length, in, lineNumber);
  }
  TqbDatavar* line = values_.back();
  bool ok;
  if (record.terminated) {
    ok = line->assign(tqbTypeString, record.begin, record.length);
  } else {
    // The last record had no line end: it gets one, as the lines before it had.
    lineScratch_.assign(record.begin, record.length);
    lineScratch_ += lineEnd;
    ok = line->assign(tqbTypeString, lineScratch_.data(), lineScratch_.size());
  }
  if (!ok) fail("out of memory");
  int32_t status = file_->addRow(nullptr);
  if (status != 0) {
    fail(in.name + ":" + std::to_string(lineNumber) + ": " + file_->getError().asCstr());
  }
}

void Sorter::readInput(Input& in, bool first) {
  std::vector<char> buffer(1 << 22);
  size_t held = 0;  // bytes of an unfinished record at the buffer's start
  bool atEnd = false;
  bool sawHeader = !o_.header;
  int64_t lineNumber = 0;
  const char* lineEnd = "\n";
  while (!atEnd || held > 0) {
    if (!atEnd) {
      if (held == buffer.size()) buffer.resize(buffer.size() * 2);  // one record longer than the buffer
      ssize_t n = ::read(in.fd, buffer.data() + held, buffer.size() - held);
      if (n < 0) {
        if (errno == EINTR) continue;
        fail("cannot read '" + in.name + "': " + std::strerror(errno));
      }
      if (n == 0) atEnd = true;
      held += static_cast<size_t>(n);
      bytesRead_ += n;
      if (totalBytes_ > 0) progress_.show("reading", static_cast<double>(bytesRead_) / static_cast<double>(totalBytes_));
    }
    const char* p = buffer.data();
    const char* end = buffer.data() + held;
    tqsort::Record record;
    while (tqsort::nextRecord(p, end, atEnd, &record)) {
      p += record.length;
      int64_t recordLine = lineNumber + 1;  // a quoted field may span lines
      lineNumber = recordLine;
      if (record.quoted) {
        for (size_t i = 0; i + 1 < record.length; ++i) lineNumber += record.begin[i] == '\n';
      }
      if (record.terminated) lineEnd = record.length > record.contentLength + 1 ? "\r\n" : "\n";
      if (!sawHeader) {
        sawHeader = true;
        if (first) {
          header_.assign(record.begin, record.length);
          if (!record.terminated) header_ += lineEnd;
          resolveKeys(record);
        }
        continue;
      }
      if (!keysResolved_) resolveKeys(tqsort::Record());
      addRecord(in, recordLine, record, lineEnd);
    }
    held = static_cast<size_t>(end - p);
    if (held > 0 && p != buffer.data()) std::memmove(buffer.data(), p, held);
    if (atEnd && held > 0) fail("internal error: input left over in '" + in.name + "'");
  }
  if (in.fd != 0) ::close(in.fd);
}

void Sorter::writeBytes(const char* data, size_t length) {
  if (out_.size() + length > out_.capacity()) flushOutput();
  if (length > out_.capacity()) {
    out_.assign(data, data + length);
    flushOutput();
    return;
  }
  out_.insert(out_.end(), data, data + length);
}

void Sorter::flushOutput() {
  size_t done = 0;
  while (done < out_.size()) {
    ssize_t n = ::write(outFd_, out_.data() + done, out_.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("cannot write '" + (o_.output.empty() ? std::string("(standard output)") : o_.output) + "': " +
           std::strerror(errno));
    }
    done += static_cast<size_t>(n);
  }
  out_.clear();
}

int Sorter::run() {
  openInputs();
  openOutput();
  createSort();
  for (size_t i = 0; i < inputs_.size(); ++i) readInput(inputs_[i], i == 0);
  if (!keysResolved_) resolveKeys(tqsort::Record());
  int32_t status = file_->sort();
  progress_.done();
  if (!header_.empty()) writeBytes(header_.data(), header_.size());
  TqbDatavar* line = values_.back();
  while (status == 0) {
    size_t n = 0;
    const char* bytes = static_cast<const char*>(line->getRaw(&n));
    writeBytes(bytes, n - 1);  // without the value's terminating zero
    status = file_->next(nullptr);
  }
  if (status != TqDatafile::StatusEndOfData) fail(file_->getError().asCstr());
  flushOutput();
  if (!tempOutput_.empty()) {
    if (::fsync(outFd_) != 0 || ::close(outFd_) != 0) fail("cannot write '" + o_.output + "': " + std::strerror(errno));
    if (::rename(tempOutput_.c_str(), o_.output.c_str()) != 0) {
      fail("cannot replace '" + o_.output + "': " + std::strerror(errno));
    }
    tempOutput_.clear();
  }
  cleanup();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options = parseOptions(argc, argv);
  Sorter sorter(std::move(options));
  return sorter.run();
}
