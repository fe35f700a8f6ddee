// A host program built against the installed library, as C++17 and as C++23: it calls
// every function the installed headers declare that a host may call (so that one the
// library does not export fails to link here), and a little of the C++ layer without
// C++20's designated initializers.
#include <tqdatafile/tqdatafile.h>

#include <cstdio>
#include <cstring>
#if __cplusplus > 202002L
#include <expected>  // a C++23 host: the package must not hold it to an older standard
#endif

static int failed(const char* what) {
  std::fprintf(stderr, "host: %s\n", what);
  return 1;
}

// The raw interface: a manager, collation words, the longest row a sort takes, a frozen
// datafile read back (it has no sort key to give).
static int rawInterface(const char* dir) {
  TqbString error;
  TqDatafileManager* manager = tqDatafileManagerCreate(dir, &error);
  if (manager == nullptr) return failed(error.asCstr());
  unsigned flags = 0;
  if (!tqDatafileParseCollateParms(false, "UPPER", false, "", "", &flags, &error) || flags != 4) {
    return failed("collation options not parsed");
  }
  if (tqDatafileSortRowLimit(1u << 20, 64u << 10) < (400u << 10)) return failed("the longest row of a sort");
  manager->setColumns(2);
  manager->setColSpec(0, tqbTypeInteger, 0);
  manager->setColSpec(1, tqbTypeString, 16);
  TqDatafile* file = manager->createFile(TqDatafile::FlagMemoryFirst | TqDatafile::FlagVariableRows);
  if (file == nullptr) return failed(manager->getError().asCstr());
  for (int64_t i = 0; i < 3; ++i) {
    file->getField(0)->assign(i);
    file->getField(1)->assign(std::string_view("row"));
    if (file->addRow(nullptr) != 0) return failed("addRow");
  }
  if (file->freeze() != 0) return failed("freeze");
  const uint8_t* key = nullptr;
  uint32_t keyLength = 0;
  if (tqDatafileSortKey(file, &key, &keyLength) != TqDatafile::StatusNotAllowed) {
    return failed("the sort key of a datafile that does not sort");
  }
  if (tqDatafileSortKeyOnly(file, 1) != TqDatafile::StatusNotAllowed) {
    return failed("a column kept only in the key of a datafile that does not sort");
  }
  int64_t sum = 0;
  while (file->next(nullptr) == 0) sum += file->getField(0)->asInt64(nullptr);
  file->release();
  manager->release();
  return sum == 3 ? 0 : failed("rows did not come back");
}

// A sort that keeps an integer key (descending) and a string key only in its key: each
// row reads nulls for them, and its key gives them back as the header lays keys out.
static int keptOnlyInKey(const char* dir) {
  TqbString error;
  TqDatafileManager* manager = tqDatafileManagerCreate(dir, &error);
  if (manager == nullptr) return failed(error.asCstr());
  manager->setColumns(2);
  manager->setColSpec(0, tqbTypeInteger, 0);
  manager->setColSpec(1, tqbTypeString, 16);
  TqDatafile* file = manager->createFile(TqDatafile::FlagSorted | TqDatafile::FlagVariableRows);
  if (file == nullptr) return failed(manager->getError().asCstr());
  if (file->resetSort(2) != 0 || file->setSort(0, 0, 0, nullptr) != 0 || file->setSort(1, 1, 1, nullptr) != 0 ||
      tqDatafileSortKeyOnly(file, 0) != 0 || tqDatafileSortKeyOnly(file, 1) != 0) {
    return failed(file->getError().asCstr());
  }
  for (int64_t i = 0; i < 3; ++i) {
    file->getField(0)->assign(i - 1);
    file->getField(1)->assign(std::string_view(i == 1 ? "one" : "other"));
    if (file->addRow(nullptr) != 0) return failed("addRow");
  }
  int64_t expected = 1;
  for (int32_t status = file->sort(); status != TqDatafile::StatusEndOfData; status = file->next(nullptr)) {
    const uint8_t* key = nullptr;
    uint32_t keyLength = 0;
    if (status != 0 || tqDatafileSortKey(file, &key, &keyLength) != 0) return failed(file->getError().asCstr());
    if (!file->getField(0)->isNull() || !file->getField(1)->isNull()) return failed("a row kept its key's value");
    // Descending: a presence byte 0, then the inverted big-endian integer, sign bit flipped.
    uint64_t bits = 0;
    for (int b = 1; b <= 8; ++b) bits = bits << 8 | static_cast<uint8_t>(~key[b]);
    const char* text = reinterpret_cast<const char*>(key + 10);
    const char* want = expected == 0 ? "one" : "other";
    if (key[0] != 0 || static_cast<int64_t>(bits ^ (uint64_t{1} << 63)) != expected || key[9] != 1 ||
        keyLength != 11 + std::strlen(want) || std::strcmp(text, want) != 0) {
      return failed("a value kept only in the key did not come back");
    }
    --expected;
  }
  file->release();
  manager->release();
  return expected == -2 ? 0 : failed("rows kept only in the key");
}

// The platform services the headers declare.
static int services() {
  TqbDatavar value;
  value.assign(2.5);
  char text[80];
  if (tqbDecimalToString(value.getRaw(nullptr), text, sizeof(text)) == 0 || std::strcmp(text, "2.5") != 0) {
    return failed("decimal");
  }
  TqbString formatted = tqbStringFormat("%s %I64i", "row", int64_t{7});
  if (std::strcmp(formatted.asCstr(), "row 7") != 0) return failed("tqbStringFormat");
  TqLogger* logger = tqlogGetLogger("Host.Test");
  TQ_LOG(logger, 1, "not written: every logger starts switched off (%d)", 1);
  tqbSetConfigValue("HOST/VALUE", "x");
  TqbString configured;
  TqbConfigOptions* options = tqbGetConfigOptions("");
  if (options == nullptr || !options->lookup("HOST/VALUE", configured) || !(configured == TqbString("x"))) {
    return failed("configuration");
  }
  TqDatafileField field;
  return field.type == 0 ? 0 : failed("field record");
}

// The C++ layer, written as C++17.
static int layer(const char* dir) {
  tq::ManagerOptions managerOptions;
  managerOptions.tempDirs = dir;
  tq::Result<tq::Manager> manager = tq::Manager::create(managerOptions);
  if (!manager) return failed(manager.status().toString().c_str());
  tq::SortOptions options;
  options.columns = {tq::Column::string(8), tq::Column::integer()};
  options.keys = {tq::Key{1, tq::Order::descending, std::nullopt}};
  tq::Result<tq::Sorter> sorter = manager->sorter(options);
  if (!sorter) return failed(sorter.status().toString().c_str());
  for (int i = 0; i < 3; ++i) {
    if (!sorter->add("row", i).ok()) return failed("add");
  }
  tq::Result<tq::SortedRows> sorted = std::move(*sorter).sort();
  if (!sorted) return failed(sorted.status().toString().c_str());
  int64_t expected = 2;
  for (const tq::Row& row : *sorted) {
    if (row.get<int64_t>(1) != expected--) return failed("sorted rows out of order");
  }
  return expected == -1 && sorted->status().ok() ? 0 : failed("sorted rows");
}

int main(int argc, char** argv) {
  const char* dir = argc > 1 ? argv[1] : "/tmp";
  if (rawInterface(dir) != 0 || keptOnlyInKey(dir) != 0 || services() != 0 || layer(dir) != 0) return 1;
  std::printf("host: ok (__cplusplus %ld)\n", static_cast<long>(__cplusplus));
  return 0;
}
