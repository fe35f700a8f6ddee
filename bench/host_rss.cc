// Resident memory of a host that sorts through the datafile interface: N rows of an
// integer, a 16-character string and an integer, added, sorted by one of the first two
// and read back, with a sort size of 64 MiB on the chosen engine.  It prints the peak
// resident set (VmHWM) beside the sort's own count of its memory ("peak" of the
// external engine's report, "Peak bytes in memory" of the chunk sort) and the limit
// the host should stay within: the sort size + 16 MiB.
//
//   build/bench/host_rss [rows (4000000)] [processors (2)] [key: 0 integer, 1 string]
//                        [engine: xsort (default) or variable]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "tqdatafile/tqdatafile.h"

namespace {

long statusKiB(const char* key) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long value = -1;
  const size_t n = std::strlen(key);
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, key, n) == 0) value = std::atol(line + n);
  }
  std::fclose(f);
  return value;
}

// Keeps the sort's count of its memory from its report lines.
class Counted : public TqSortInfo {
 public:
  int line(const char* text) override {
    const char* at = std::strstr(text, "memory: allowed");  // the external engine
    if (at != nullptr && (at = std::strstr(at, "peak ")) != nullptr) bytes = std::strtoull(at + 5, nullptr, 10);
    at = std::strstr(text, "Peak bytes in memory: ");  // the chunk sort
    if (at != nullptr) bytes = std::strtoull(at + 22, nullptr, 10);
    return 0;
  }
  unsigned long long bytes = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const long rows = argc > 1 ? std::atol(argv[1]) : 4000000;
  const int processors = argc > 2 ? std::atoi(argv[2]) : 2;
  const int key = argc > 3 ? std::atoi(argv[3]) : 0;
  const bool external = argc <= 4 || std::strcmp(argv[4], "variable") != 0;
  const uint32_t sortSize = 64u << 20;
  TqbString error;
  TqDatafileManager* m = tqDatafileManagerCreate(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp", &error);
  if (m == nullptr) {
    std::fprintf(stderr, "%s\n", error.asCstr());
    return 1;
  }
  m->setColumns(3);
  m->setColSpec(0, tqbTypeInteger, 0);
  m->setColSpec(1, tqbTypeString, 16);
  m->setColSpec(2, tqbTypeInteger, 0);
  m->setSortSize(sortSize);
  m->setSortProcessors(processors);
  const uint32_t engine = external ? TqDatafile::FlagExternalSort : TqDatafile::FlagVariableRows;
  TqDatafile* f = m->createFile(TqDatafile::FlagSorted | engine);
  if (f == nullptr) {
    std::fprintf(stderr, "%s\n", m->getError().asCstr());
    return 1;
  }
  Counted counted;
  f->setSortInfo(&counted);
  f->resetSort(1);
  f->setSort(0, key == 1 ? 1 : 0, 1, nullptr);
  TqbDatavar* id = f->getField(0);
  TqbDatavar* name = f->getField(1);
  TqbDatavar* value = f->getField(2);
  std::mt19937_64 rng(42);
  char text[17];
  for (long i = 0; i < rows; ++i) {
    id->assign(static_cast<int64_t>(rng()));
    for (int k = 0; k < 16; ++k) text[k] = static_cast<char>('a' + rng() % 26);
    text[16] = 0;
    name->assign(tqbTypeString, text, 17);
    value->assign(static_cast<int64_t>(i));
    if (f->addRow(nullptr) != 0) {
      std::fprintf(stderr, "addRow: %s\n", f->getError().asCstr());
      return 1;
    }
  }
  int32_t status = f->sort();
  long read = 0;
  while (status == 0) {
    ++read;
    status = f->next(nullptr);
  }
  if (status != 4 || read != rows) {
    std::fprintf(stderr, "sort: status %d after %ld rows: %s\n", status, read, f->getError().asCstr());
    return 1;
  }
  f->release();  // the chunk sort reports its statistics when released
  m->release();
  const double mb = 1e6;
  std::printf("%s, %ld rows, %d processors: peak RSS %.1f MB, the sort counted %.1f MB, limit %.1f MB\n",
              external ? "external engine" : "chunk sort", rows, processors, statusKiB("VmHWM:") * 1024.0 / mb,
              counted.bytes / mb, (sortSize + (16u << 20)) / mb);
  return 0;
}
