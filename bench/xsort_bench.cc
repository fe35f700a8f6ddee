// External sort engine throughput: feed N fixed-length rows in input chunks, sort,
// read every output chunk, for two key layouts (an 8-byte integer; a 16-byte string),
// with memory for all the data and with one eighth of it, on 1 and 2 threads; against
// std::sort of the same rows' normalized keys with their row numbers, then a gather
// of the rows in that order, measured in the same run.
//
//   build/bench/xsort_bench                    # 1M rows
//   build/bench/xsort_bench --rows=10000000    # 10M rows as well
//   build/bench/xsort_bench --dir=/big/tmp     # where work files go
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "platform/tqbconfig.h"
#include "xsort/tqxsort.h"

namespace {

// A row as the datafile library lays it out: null indicator and value per field.
//   [0] indicator, [1..8] integer id, [9] indicator, [10..26] string (16 + zero),
//   [27] indicator, [28..35] integer value.
constexpr uint32_t kRowLength = 36;
constexpr uint32_t kId = 1, kName = 10, kNameLength = 17;

enum Keys { kInteger = 0, kString = 1 };
const char* kKeyNames[] = {"int", "str16"};

const std::vector<uint8_t>& source(int64_t n) {
  static std::map<int64_t, std::vector<uint8_t>> cache;
  std::vector<uint8_t>& rows = cache[n];
  if (rows.size() != static_cast<size_t>(n) * kRowLength) {
    rows.assign(static_cast<size_t>(n) * kRowLength, 0);
    std::mt19937_64 rng(42);
    for (int64_t i = 0; i < n; ++i) {
      uint8_t* p = rows.data() + i * kRowLength;
      int64_t id = static_cast<int64_t>(rng());
      std::memcpy(p + kId, &id, 8);
      for (int k = 0; k < 16; ++k) p[kName + k] = static_cast<uint8_t>('a' + rng() % 26);
      if (rng() % 4 == 0) std::memset(p + kName + 4, 'a', 12);  // shared prefixes and ties
      int64_t value = static_cast<int64_t>(rng() % 1000);
      std::memcpy(p + 28, &value, 8);
    }
  }
  return rows;
}

std::vector<TqSortKeyPart> partsFor(int keys) {
  uint32_t at = keys == kInteger ? kId : kName;
  uint32_t length = keys == kInteger ? 8 : kNameLength;
  uint32_t kind = keys == kInteger ? TQ_SORT_KIND_INTEGER : TQ_SORT_KIND_STRING;
  return {TqSortKeyPart{at - 1, 1, TQ_SORT_KIND_BYTE, 1, nullptr, nullptr},
          TqSortKeyPart{at, length, kind, 0, nullptr, nullptr}};
}

int keepPeak(void* block, const char* text) {
  const char* at = std::strstr(text, "peak ");
  if (at != nullptr) *static_cast<double*>(static_cast<TqSortInfoBlock*>(block)->context) = std::atof(at + 5);
  return 0;
}

void BM_Xsort(benchmark::State& state, int64_t n, int keys, bool eighth, int threads) {
  const std::vector<uint8_t>& src = source(n);
  const uint64_t data = static_cast<uint64_t>(n) * kRowLength;
  const uint64_t memory = eighth ? std::max<uint64_t>(data / 8, 256u << 10) : data * 3 + (64u << 20);
  double peak = 0;
  uint64_t checksum = 0;
  for (auto _ : state) {
    TqSortParms* p = tqSortParmsCreate();
    p->ops->setInt(p, TQ_SORT_PARM_RECORD_LENGTH, kRowLength);
    p->ops->setInt(p, TQ_SORT_PARM_PROCESSORS, threads);
    p->ops->setInt64(p, TQ_SORT_PARM_EXPECTED_ROWS, static_cast<uint32_t>(n), static_cast<uint32_t>(n >> 32));
    p->ops->setInt64(p, TQ_SORT_PARM_MEMORY, static_cast<uint32_t>(memory), static_cast<uint32_t>(memory >> 32));
    TqSortEngine* s = tqSortCreate(p);
    p->ops->destroy(p);
    for (const TqSortKeyPart& part : partsFor(keys)) s->ops->addKey(s, &part, 0);
    if (s->ops->checkKeys(s) != 0 || s->ops->prepare(s) != 0) {
      state.SkipWithError(s->ops->getError(s));
      s->ops->destroy(s);
      return;
    }
    TqSortInput* in = s->ops->openInput(s);
    int64_t next = 0;
    for (;;) {
      TqSortInputChunk* c = nullptr;
      if (in->ops->getInputChunk(in, &c) != 0) break;
      int64_t rows = std::min<int64_t>(c->rowCount, n - next);
      std::memcpy(c->rows, src.data() + next * kRowLength, static_cast<size_t>(rows) * kRowLength);
      c->rowCount = static_cast<uint32_t>(rows);
      next += rows;
      c->state = next == n ? TQ_SORT_CHUNK_LAST : TQ_SORT_CHUNK_NORMAL;
      bool last = next == n;
      if (in->ops->submitInputChunk(in, c) != 0 || last) break;
    }
    in->ops->close(in, 1);
    int64_t out = 0;
    for (;;) {
      TqSortOutputChunk* c = nullptr;
      if (s->ops->getOutputChunk(s, &c) != 0) {
        state.SkipWithError(s->ops->getError(s));
        break;
      }
      out += c->rowCount;
      if (c->rowCount > 0) checksum += static_cast<const uint8_t*>(c->rows)[kId];
      bool last = c->state == TQ_SORT_CHUNK_LAST;
      s->ops->releaseOutputChunk(s, c);
      if (last) break;
    }
    if (out != n) state.SkipWithError("rows lost");
    TqSortInfoBlock block{&keepPeak, &peak};
    s->ops->report(s, &block);
    s->ops->destroy(s);
  }
  benchmark::DoNotOptimize(checksum);
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(n) * state.iterations(),
                                                benchmark::Counter::kIsRate);
  state.counters["peakMB"] = peak / 1e6;
  state.counters["memMB"] = static_cast<double>(memory) / 1e6;
}

// The baseline: normalized keys (the same bytes as the engine's) with row numbers,
// std::sort by memcmp, then the rows gathered in that order.
template <size_t K>
void sortKeys(const std::vector<uint8_t>& src, int64_t n, int keys, std::vector<uint8_t>* out) {
  struct Item {
    uint8_t key[K];
    uint32_t row;
  };
  std::vector<Item> items(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) {
    const uint8_t* p = src.data() + i * kRowLength;
    Item& it = items[static_cast<size_t>(i)];
    it.key[0] = static_cast<uint8_t>(~p[keys == kInteger ? 0 : kName - 1]);
    if (keys == kInteger) {
      uint64_t v;
      std::memcpy(&v, p + kId, 8);
      v = __builtin_bswap64(v ^ (1ull << 63));
      std::memcpy(it.key + 1, &v, 8);
    } else {
      std::memcpy(it.key + 1, p + kName, kNameLength);
    }
    it.row = static_cast<uint32_t>(i);
  }
  std::sort(items.begin(), items.end(),
            [](const Item& a, const Item& b) { return std::memcmp(a.key, b.key, K) < 0; });
  for (int64_t i = 0; i < n; ++i) {
    std::memcpy(out->data() + i * kRowLength, src.data() + size_t{items[static_cast<size_t>(i)].row} * kRowLength,
                kRowLength);
  }
}

void BM_StdSortKeys(benchmark::State& state, int64_t n, int keys) {
  const std::vector<uint8_t>& src = source(n);
  std::vector<uint8_t> out(src.size());
  for (auto _ : state) {
    if (keys == kInteger) sortKeys<9>(src, n, keys, &out); else sortKeys<18>(src, n, keys, &out);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(n) * state.iterations(),
                                                benchmark::Counter::kIsRate);
}

std::string nameOf(int64_t n, int keys, const char* what) {
  return std::string(what) + "/" + kKeyNames[keys] + "/" + std::to_string(n);
}

// The name Google Benchmark reports for a run registered as `name`.
std::string reported(const std::string& name) { return name + "/iterations:1/real_time"; }

}  // namespace

int main(int argc, char** argv) {
  BenchArgs args = parseBenchArgs(argc, argv);
  tqbSetConfigValue("BASE/TEMP", args.dir.c_str());
  for (int64_t n : args.sizes) {
    for (int keys : {kInteger, kString}) {
      benchmark::RegisterBenchmark(nameOf(n, keys, "std_sort_keys").c_str(), BM_StdSortKeys, n, keys)
          ->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
      for (bool eighth : {false, true}) {
        for (int threads : {1, 2}) {
          std::string name = nameOf(n, keys, "xsort") + (eighth ? "/eighth" : "/memory") +
                             "/threads:" + std::to_string(threads);
          benchmark::RegisterBenchmark(name.c_str(), BM_Xsort, n, keys, eighth, threads)
              ->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
        }
      }
    }
  }
  RateReporter reporter;
  runBenchmarks(args, &reporter);
  std::printf("\n");
  for (int64_t n : args.sizes) {
    for (int keys : {kInteger, kString}) {
      for (const char* mem : {"/memory", "/eighth"}) {
        for (int threads : {1, 2}) {
          printRatio(reporter,
                     reported(nameOf(n, keys, "xsort") + mem + "/threads:" + std::to_string(threads)),
                     reported(nameOf(n, keys, "std_sort_keys")));
        }
      }
    }
  }
  return 0;
}
