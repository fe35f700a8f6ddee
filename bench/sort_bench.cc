// Sort throughput through the datafile interface: add N rows, sort, read them all back,
// for three key layouts (an integer; a 16-byte string; a string then an integer), on
// each sorting engine (the variable-row and fixed-row chunk sorts, the external
// engine), with memory for all the data and with one eighth of it, on 1 and 2
// processors; against std::sort of the same rows held as a vector of structs, measured
// in the same run.  For the runs with an eighth of the memory it reports the bytes
// written to temporary files per byte of row data (36 bytes a row: each field's null
// indicator and value, the string at its full 17 bytes).
//
//   build/bench/sort_bench                    # 1M rows
//   build/bench/sort_bench --rows=10000000    # 10M rows as well
//   build/bench/sort_bench --dir=/big/tmp     # where chunk files go
//   # the in-memory sort against std::sort, 2 processors, the caller's CPU per phase:
//   TQ_BENCH_VERBOSE=1 build/bench/sort_bench --rows=4000000 --rows=10000000
//     --benchmark_filter='^(std::sort/(int|str16)/|memory/variable/(int|str16)/.*/p2/)'
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <time.h>

#include "bench_support.h"
#include "platform/tqballoc.h"
#include "src/sortvorn.h"
#include "tqdatafile/tqdatafile.h"

namespace {

std::string g_dir = "/tmp";

struct Row {
  int64_t id;
  char name[17];
  int64_t value;
};

enum Keys { kInteger = 0, kString = 1, kTwo = 2 };
const char* kKeyNames[] = {"int", "str16", "str+int"};

enum Engine { kVariable = 0, kFixed = 1, kExternal = 2 };
const char* kEngineNames[] = {"variable", "fixed", "xsort"};
const uint32_t kEngineFlags[] = {TqDatafile::FlagSorted | TqDatafile::FlagVariableRows, TqDatafile::FlagSorted,
                                 TqDatafile::FlagSorted | TqDatafile::FlagExternalSort};
constexpr int64_t kRowDataBytes = 36;

// Keeps the external engine's "bytes written N" figure from its report lines.
class WrittenBytes : public TqSortInfo {
 public:
  int line(const char* text) override {
    const char* at = std::strstr(text, "bytes written ");
    if (at != nullptr) bytes = std::strtoull(at + 14, nullptr, 10);
    return 0;
  }
  uint64_t bytes = 0;
};

// CPU time of the calling thread, in milliseconds: with the machine shared, the phases'
// times on the caller's thread vary less by it than their wall times.
double threadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Page faults the calling thread took so far.
long threadFaults() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return u.ru_minflt + u.ru_majflt;
}

const std::vector<Row>& source(int64_t n) {
  static std::map<int64_t, std::vector<Row>> cache;
  std::vector<Row>& rows = cache[n];
  if (static_cast<int64_t>(rows.size()) != n) {
    rows.resize(static_cast<size_t>(n));
    std::mt19937_64 rng(42);
    for (Row& r : rows) {
      r.id = static_cast<int64_t>(rng());
      for (int i = 0; i < 16; ++i) r.name[i] = static_cast<char>('a' + rng() % 26);
      r.name[16] = 0;
      if (rng() % 4 == 0) std::memset(r.name + 4, 'a', 12);  // shared prefixes and ties
      r.value = static_cast<int64_t>(rng() % 1000);
    }
  }
  return rows;
}

// Bytes one row takes in a variable chunk: key, serialized row, index entry.  The
// memory sizes of every engine derive from it, so that each gets the same budget.
int64_t rowBytes(int keys) {
  int64_t key = keys == kInteger ? 9 : (keys == kString ? 18 : 27);
  return key + 9 + 19 + 9 + 32;
}

void BM_StdSort(benchmark::State& state, int64_t n, int keys) {
  const std::vector<Row>& src = source(n);
  for (auto _ : state) {
    std::vector<Row> rows;
    rows.reserve(src.size());
    for (const Row& r : src) rows.push_back(r);
    switch (keys) {
      case kInteger:
        std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.id < b.id; });
        break;
      case kString:
        std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return std::strcmp(a.name, b.name) < 0; });
        break;
      default:
        std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
          int c = std::strcmp(a.name, b.name);
          return c != 0 ? c < 0 : a.value < b.value;
        });
    }
    int64_t sum = 0;
    for (const Row& r : rows) sum += r.id;
    benchmark::DoNotOptimize(sum);
  }
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Sort(benchmark::State& state, int64_t n, int keys, int engine, bool external, int processors) {
  const std::vector<Row>& src = source(n);
  const int64_t data = n * rowBytes(keys);
  // In memory: room for all the data.  External: an eighth of it, in 32 chunks so that
  // merges have a wide fan-in.
  const uint32_t sortSize = static_cast<uint32_t>(std::min<int64_t>(external ? data / 8 : data * 3 / 2, 0xF0000000));
  static const uint32_t memParts = std::getenv("TQ_BENCH_MEM_PARTS") ? std::atoi(std::getenv("TQ_BENCH_MEM_PARTS")) : 4;
  static const uint32_t extParts = std::getenv("TQ_BENCH_EXT_PARTS") ? std::atoi(std::getenv("TQ_BENCH_EXT_PARTS")) : 8;
  const uint32_t chunk = external ? sortSize / extParts : std::max<uint32_t>(sortSize / memParts, 1u << 20);
  int64_t peak = 0;
  uint64_t written = 0;
  for (auto _ : state) {
    TqbString error;
    TqDatafileManager* m = tqDatafileManagerCreate(g_dir.c_str(), &error);
    m->setColumns(3);
    m->setColSpec(0, tqbTypeInteger, 0);
    m->setColSpec(1, tqbTypeString, 16);
    m->setColSpec(2, tqbTypeInteger, 0);
    m->setChunkSize(chunk);
    m->setSortSize(sortSize);
    m->setSortProcessors(processors);
    tqbAllocResetPeak();
    int64_t base = 0;
    tqbAllocStats(&base, nullptr);
    TqDatafile* f = m->createFile(kEngineFlags[engine]);
    if (f == nullptr) {
      std::fprintf(stderr, "createFile: %s\n", m->getError().asCstr());
      std::abort();
    }
    WrittenBytes info;
    if (engine == kExternal) f->setSortInfo(&info);
    if (keys == kInteger) {
      f->resetSort(1);
      f->setSort(0, 0, 1, nullptr);
    } else if (keys == kString) {
      f->resetSort(1);
      f->setSort(0, 1, 1, nullptr);
    } else {
      f->resetSort(2);
      f->setSort(0, 1, 1, nullptr);
      f->setSort(1, 2, 1, nullptr);
    }
    TqbDatavar* v0 = f->getField(0);
    TqbDatavar* v1 = f->getField(1);
    TqbDatavar* v2 = f->getField(2);
    auto started = std::chrono::steady_clock::now();
    const double cpuStarted = threadCpuMs();
    const long faultsStarted = threadFaults();
    for (const Row& r : src) {
      v0->assign(r.id);
      v1->assign(tqbTypeString, r.name, 17);
      v2->assign(r.value);
      if (f->addRow(nullptr) != 0) {
        std::fprintf(stderr, "addRow: %s\n", f->getError().asCstr());
        std::abort();
      }
    }
    auto added = std::chrono::steady_clock::now();
    const double cpuAdded = threadCpuMs();
    int32_t status = f->sort();
    auto sorted = std::chrono::steady_clock::now();
    const double cpuSorted = threadCpuMs();
    int64_t count = 0, sum = 0;
    while (status == 0) {
      ++count;
      sum += v0->asInt64(nullptr);
      status = f->next(nullptr);
    }
    auto read = std::chrono::steady_clock::now();
    const double cpuRead = threadCpuMs();
    const long faultsRead = threadFaults();
    if (status != 4 || count != n) {
      std::fprintf(stderr, "sort: status %d after %lld rows: %s\n", status, static_cast<long long>(count),
                   f->getError().asCstr());
      std::abort();
    }
    benchmark::DoNotOptimize(sum);
    if (std::getenv("TQ_BENCH_VERBOSE")) {
      auto ms = [](auto a, auto b) { return std::chrono::duration<double, std::milli>(b - a).count(); };
      std::fprintf(stderr,
                   "add %.0f ms, sort %.0f ms, read %.0f ms; caller's CPU add %.0f, sort %.0f, read %.0f ms, "
                   "%ld page faults\n",
                   ms(started, added), ms(added, sorted), ms(sorted, read), cpuAdded - cpuStarted,
                   cpuSorted - cpuAdded, cpuRead - cpuSorted, faultsRead - faultsStarted);
    }
    if (engine == kExternal) {
      written = info.bytes;
    } else {
      using tqlib::TqSortVornImpl;
      TqSortVornImpl::Statistics st = static_cast<TqSortVornImpl*>(f)->statistics();
      written = st.bytesWrittenToDisk;
      if (std::getenv("TQ_BENCH_VERBOSE")) {
        std::fprintf(stderr, "chunks %u+%u disk %u passes %u main %u submitted %u read %u buffers %u/%u chunk %llu\n",
                     st.chunksCreatedDuringSort, st.chunksCreatedDuringMerge, st.chunksWrittenToDisk, st.mergePasses,
                     st.mergesOnMain, st.mergesSubmitted, st.readMergeCount, st.maxBuffersInUse, st.maxChunksInMemory,
                     static_cast<unsigned long long>(st.resolvedChunkSize));
      }
    }
    tqbAllocStats(nullptr, &peak);
    peak -= base;
    f->release();
    m->release();
  }
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["peakMB"] = static_cast<double>(peak) / 1048576.0;
  state.counters["sortMB"] = static_cast<double>(sortSize) / 1048576.0;
  state.counters["written/byte"] = static_cast<double>(written) / static_cast<double>(n * kRowDataBytes);
}

std::string name(const char* kind, int64_t n, int keys) {
  return std::string(kind) + "/" + kKeyNames[keys] + "/" + std::to_string(n);
}

// "memory/variable/int/1000000/p2/iterations:1/real_time", as the reporter names runs.
std::string runName(bool external, int engine, int64_t n, int keys, int processors) {
  return std::string(external ? "external/" : "memory/") + kEngineNames[engine] + "/" + kKeyNames[keys] + "/" +
         std::to_string(n) + "/p" + std::to_string(processors);
}

}  // namespace

int main(int argc, char** argv) {
  BenchArgs parsed = parseBenchArgs(argc, argv);
  const std::vector<int64_t>& sizes = parsed.sizes;
  g_dir = parsed.dir;
  for (int64_t n : sizes) {
    for (int keys = 0; keys < 3; ++keys) {
      if (keys == 0) source(n);  // the rows are made before anything is timed
      benchmark::RegisterBenchmark(name("std::sort", n, keys).c_str(),
                                   [=](benchmark::State& st) { BM_StdSort(st, n, keys); })
          ->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
      for (int engine = 0; engine < 3; ++engine) {
        for (int external = 0; external < 2; ++external) {
          for (int processors = 1; processors <= 2; ++processors) {
            benchmark::RegisterBenchmark(runName(external, engine, n, keys, processors).c_str(),
                                         [=](benchmark::State& st) {
                                           BM_Sort(st, n, keys, engine, external == 1, processors);
                                         })
                ->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
          }
        }
      }
    }
  }
  RateReporter reporter;
  runBenchmarks(parsed, &reporter);
  const std::string suffix = "/iterations:1/real_time";
  std::printf("\nadd + sort + read, rows/s and ratios (memory to std::sort and to the variable engine;\n"
              "external to memory, with bytes written per byte of row data and peak memory):\n");
  for (int64_t n : sizes) {
    for (int keys = 0; keys < 3; ++keys) {
      std::string base = name("std::sort", n, keys) + suffix;
      for (int processors = 1; processors <= 2; ++processors) {
        for (int engine = 0; engine < 3; ++engine) {
          std::string mem = runName(false, engine, n, keys, processors) + suffix;
          std::string ext = runName(true, engine, n, keys, processors) + suffix;
          printRatio(reporter, mem, base);
          if (engine != kVariable) printRatio(reporter, mem, runName(false, kVariable, n, keys, processors) + suffix);
          printRatio(reporter, ext, mem);
          if (reporter.rate(ext) <= 0) continue;  // not run (filtered out)
          std::printf("%-60s written %.2f bytes/byte, peak %.1f MB of sort size %.1f MB\n", ext.c_str(),
                      reporter.counter(ext, "written/byte"), reporter.peak(ext),
                      static_cast<double>(n * rowBytes(keys) / 8) / 1048576.0);
        }
      }
    }
  }
  benchmark::Shutdown();
  return 0;
}
