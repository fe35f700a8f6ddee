// What the C++ layer (tq.h) costs over the interfaces it is built on: the same sort
// through both, add + sort + read of N rows of a string and an integer, keyed by the
// string ascending and the integer descending, stable, in 64 MiB on 2 processors (the
// variable-row engine, as Engine::automatic picks), and the same with every row read
// back into a store.  Ratios of the layer to the raw interface, measured in one run.
//
//   build/bench/layer_bench                    # 1M rows
//   build/bench/layer_bench --rows=5000000     # 5M rows as well
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "tqdatafile/tqdatafile.h"

namespace {

std::string g_dir = "/tmp";

struct Row {
  std::string name;
  int64_t count;
};

const std::vector<Row>& source(int64_t n) {
  static std::vector<Row> rows;
  if (static_cast<int64_t>(rows.size()) != n) {
    rows.clear();
    std::mt19937_64 random(42);
    for (int64_t i = 0; i < n; ++i) rows.push_back({"name" + std::to_string(random() % 1000000), int64_t(random() >> 44)});
  }
  return rows;
}

[[noreturn]] void die(const char* what, const std::string& text) {
  std::fprintf(stderr, "layer_bench: %s: %s\n", what, text.c_str());
  std::abort();
}

int64_t rawSort(const std::vector<Row>& rows) {
  TqbString error;
  TqDatafileManager* m = tqDatafileManagerCreate(g_dir.c_str(), &error);
  if (m == nullptr) die("manager", error.str());
  m->setColumns(2);
  m->setColSpec(0, tqbTypeString, 16);
  m->setColSpec(1, tqbTypeInteger, 0);
  m->setSortSize(64u << 20);
  m->setSortProcessors(2);
  m->setSortStable(true);
  TqDatafile* f = m->createFile(TqDatafile::FlagSorted | TqDatafile::FlagVariableRows);
  f->resetSort(2);
  f->setSort(0, 0, 1, nullptr);
  f->setSort(1, 1, 0, nullptr);
  TqbDatavar* name = f->getField(0);
  TqbDatavar* count = f->getField(1);
  for (const Row& r : rows) {
    name->assign(std::string_view(r.name));
    count->assign(r.count);
    if (f->addRow(nullptr) != 0) die("addRow", f->getError().str());
  }
  int64_t sum = 0;
  int32_t status = f->sort();
  for (; status == 0; status = f->next(nullptr)) {
    size_t size = 0;
    sum += static_cast<int64_t>(static_cast<const char*>(name->getRaw(&size))[4]) + count->asInt64(nullptr);
  }
  if (status != 4) die("reading", f->getError().str());
  f->release();
  m->release();
  return sum;
}

int64_t layerSort(const std::vector<Row>& rows) {
  auto manager = tq::Manager::create({.tempDirs = g_dir});
  auto sorter = manager->sorter({.columns = {tq::Column::string(16), tq::Column::integer()},
                                 .keys = {{.field = 0}, {.field = 1, .order = tq::Order::descending}},
                                 .memory = 64u << 20,
                                 .processors = 2,
                                 .stable = true});
  if (!sorter) die("sorter", sorter.status().toString());
  for (const Row& r : rows) {
    if (tq::Status s = sorter->add(r.name, r.count); !s.ok()) die("add", s.toString());
  }
  auto sorted = std::move(*sorter).sort();
  if (!sorted) die("sort", sorted.status().toString());
  int64_t sum = 0;
  for (const tq::Row& row : *sorted) sum += row.get<std::string_view>(0)[4] + row.get<int64_t>(1);
  if (!sorted->status().ok()) die("reading", sorted->status().toString());
  return sum;
}

void BM_Sort(benchmark::State& state, int64_t n, bool layer) {
  const std::vector<Row>& rows = source(n);
  for (auto _ : state) benchmark::DoNotOptimize(layer ? layerSort(rows) : rawSort(rows));
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate);
}

std::string name(const char* api, int64_t n) { return std::string(api) + "/" + std::to_string(n); }

}  // namespace

int main(int argc, char** argv) {
  BenchArgs parsed = parseBenchArgs(argc, argv);
  g_dir = parsed.dir;
  for (int64_t n : parsed.sizes) {
    source(n);  // the rows are made before anything is timed
    for (bool layer : {false, true}) {
      benchmark::RegisterBenchmark(name(layer ? "layer" : "raw", n).c_str(),
                                   [=](benchmark::State& st) { BM_Sort(st, n, layer); })
          ->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
    }
  }
  RateReporter reporter;
  runBenchmarks(parsed, &reporter);
  std::printf("\nadd + sort + read, rows/s, the layer to the raw interface:\n");
  const std::string suffix = "/iterations:3/real_time";
  for (int64_t n : parsed.sizes) printRatio(reporter, name("layer", n) + suffix, name("raw", n) + suffix);
  benchmark::Shutdown();
  return 0;
}
