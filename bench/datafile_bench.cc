// Unsorted datafile throughput: write then read N rows (integer, date, real, two
// strings), kept in memory and spilled to disk, against plain buffered file I/O of the
// same bytes in the same run.
//
//   build/bench/datafile_bench                       # 1M rows
//   build/bench/datafile_bench --rows=10000000       # 10M rows as well
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "platform/tqbdecimal.h"
#include "tqdatafile/tqdatafile.h"

namespace {

std::string g_dir = "/tmp";

struct Rows {
  std::vector<std::string> a, b;
  uint8_t real[24];
};

const Rows& rowSource() {
  static Rows* rows = [] {
    auto* r = new Rows();
    for (int i = 0; i < 4096; ++i) {
      r->a.push_back("name-" + std::to_string(i * 7919 % 100000));
      r->b.push_back("a longer note about row " + std::to_string(i) + " of the benchmark");
    }
    tqbDecimalFromString("12345.67", 8, r->real);
    return r;
  }();
  return *rows;
}

TqDatafileManager* manager(uint32_t chunk) {
  TqbString error;
  TqDatafileManager* m = tqDatafileManagerCreate(g_dir.c_str(), &error);
  if (m == nullptr) std::abort();
  m->setColumns(5);
  m->setColSpec(0, tqbTypeInteger, 0);
  m->setColSpec(1, tqbTypeDate, 0);
  m->setColSpec(2, tqbTypeReal, 0);
  m->setColSpec(3, tqbTypeString, 32);
  m->setColSpec(4, tqbTypeString, 64);
  m->setChunkSize(chunk);
  return m;
}

// In memory (the buffer holds everything), or spilled (a small buffer).
void BM_Datafile(benchmark::State& state, int64_t rows, bool spill) {
  const Rows& src = rowSource();
  int64_t bytes = 0;
  for (auto _ : state) {
    uint32_t chunk = spill ? (4u << 20) : static_cast<uint32_t>(std::min<int64_t>(rows * 160, 0xF0000000));
    TqDatafileManager* m = manager(chunk);
    TqDatafile* f = m->createFile(TqDatafile::FlagMemoryFirst | TqDatafile::FlagVariableRows);
    TqbDatavar* v[5];
    for (int i = 0; i < 5; ++i) v[i] = f->getField(i);
    for (int64_t r = 0; r < rows; ++r) {
      v[0]->assign(r);
      v[1]->assign(TqbDate(static_cast<double>(r % 20000)));
      v[2]->assign(tqbTypeReal, src.real, 24);
      v[3]->assign(src.a[r & 4095].c_str());
      v[4]->assign(src.b[r & 4095].c_str());
      if (f->addRow(nullptr) != 0) std::abort();
    }
    if (f->freeze() != 0) std::abort();
    int64_t sum = 0;
    while (f->next(nullptr) == 0) sum += v[0]->asInt64(nullptr);
    benchmark::DoNotOptimize(sum);
    bytes = f->getSize();
    f->release();
    m->release();
  }
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["bytes/row"] = static_cast<double>(bytes) / static_cast<double>(rows);
}

// The same bytes, one fwrite and one fread per row, through stdio's buffer.
void BM_PlainFile(benchmark::State& state, int64_t rows) {
  const Rows& src = rowSource();
  for (auto _ : state) {
    std::string path = g_dir + "/tq_plainXXXXXX";
    int fd = mkstemp(path.data());
    FILE* out = fdopen(fd, "w+b");
    uint8_t row[256];
    for (int64_t r = 0; r < rows; ++r) {
      size_t n = 0;
      row[n++] = 0;
      std::memcpy(row + n, &r, 8);
      n += 8;
      row[n++] = 0;
      double d = static_cast<double>(r % 20000);
      std::memcpy(row + n, &d, 8);
      n += 8;
      row[n++] = 0;
      std::memcpy(row + n, src.real, 24);
      n += 24;
      for (const std::string* s : {&src.a[r & 4095], &src.b[r & 4095]}) {
        row[n++] = 0;
        row[n++] = static_cast<uint8_t>(s->size() + 1);
        std::memcpy(row + n, s->c_str(), s->size() + 1);
        n += s->size() + 1;
      }
      std::fwrite(row, 1, n, out);
    }
    std::fflush(out);
    std::rewind(out);
    int64_t sum = 0;
    for (int64_t r = 0; r < rows; ++r) {
      uint8_t head[43];
      if (std::fread(head, 1, 43, out) != 43) std::abort();
      int64_t v;
      std::memcpy(&v, head + 1, 8);
      sum += v;
      for (int s = 0; s < 2; ++s) {
        uint8_t h[2];
        if (std::fread(h, 1, 2, out) != 2 || std::fread(row, 1, h[1], out) != h[1]) std::abort();
      }
    }
    benchmark::DoNotOptimize(sum);
    std::fclose(out);
    unlink(path.c_str());
  }
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

int main(int argc, char** argv) {
  BenchArgs parsed = parseBenchArgs(argc, argv);
  const std::vector<int64_t>& sizes = parsed.sizes;
  g_dir = parsed.dir;
  for (int64_t n : sizes) {
    std::string rows = std::to_string(n);
    benchmark::RegisterBenchmark(("plain/" + rows).c_str(), [=](benchmark::State& st) { BM_PlainFile(st, n); })
        ->Unit(benchmark::kMillisecond)->Iterations(1);
    benchmark::RegisterBenchmark(("datafile/memory/" + rows).c_str(),
                                 [=](benchmark::State& st) { BM_Datafile(st, n, false); })
        ->Unit(benchmark::kMillisecond)->Iterations(1);
    benchmark::RegisterBenchmark(("datafile/spilled/" + rows).c_str(),
                                 [=](benchmark::State& st) { BM_Datafile(st, n, true); })
        ->Unit(benchmark::kMillisecond)->Iterations(1);
  }
  RateReporter reporter;
  runBenchmarks(parsed, &reporter);
  std::printf("\nwrite + read, rows/s and ratio to plain buffered file I/O:\n");
  for (int64_t n : sizes) {
    std::string rows = std::to_string(n);
    std::string base = "plain/" + rows + "/iterations:1";
    printRatio(reporter, "datafile/memory/" + rows + "/iterations:1", base);
    printRatio(reporter, "datafile/spilled/" + rows + "/iterations:1", base);
  }
  benchmark::Shutdown();
  return 0;
}
