// Sorts 5 million rows by a name (ascending), then a count (descending), in 64 MiB on
// two processors, stably, with a progress bar; checks the order while reading them.
//   big_sort [ROWS] [TEMPDIR]
#include <tqdatafile/tqdatafile.h>

#include <cstdio>
#include <cstdlib>
#include <string>

static int fail(const tq::Status& s) {
  std::fprintf(stderr, "big_sort: %s\n", s.toString().c_str());
  return 1;
}

int main(int argc, char** argv) {
  const long rows = argc > 1 ? std::atol(argv[1]) : 5000000;
  const char* tmp = std::getenv("TMPDIR");
  auto manager = tq::Manager::create({.tempDirs = argc > 2 ? argv[2] : tmp != nullptr ? tmp : "/tmp"});
  if (!manager) return fail(manager.status());
  auto sorter = manager->sorter({
      .columns = {tq::Column::string(16), tq::Column::integer()},
      .keys = {{.field = 0}, {.field = 1, .order = tq::Order::descending}},
      .memory = 64u << 20,
      .processors = 2,
      .stable = true,
      .progress = [shown = -1](double done) mutable {
        if (int(done * 100) != shown) std::fprintf(stderr, "\rsorted %3d%%", shown = int(done * 100));
        return true;
      },
  });
  if (!sorter) return fail(sorter.status());
  uint64_t x = 88172645463325252u;  // xorshift: the same rows on every run
  for (long i = 0; i < rows; ++i) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    std::string name = "name" + std::to_string(x % 1000000);
    if (tq::Status s = sorter->add(name, int64_t(x >> 44)); !s.ok()) return fail(s);
  }
  auto sorted = std::move(*sorter).sort();
  if (!sorted) return fail(sorted.status());
  std::string last;
  int64_t lastCount = 0;
  long count = 0;
  for (const tq::Row& row : *sorted) {
    std::string_view name = row.get<std::string_view>(0);
    int64_t n = row.get<int64_t>(1);
    if (count++ > 0 && (name < last || (name == last && n > lastCount))) {
      std::fprintf(stderr, "big_sort: row %ld is out of order\n", count);
      return 1;
    }
    last.assign(name);
    lastCount = n;
  }
  if (!sorted->status().ok()) return fail(sorted->status());
  std::fprintf(stderr, "\n");
  std::printf("big_sort: %ld rows in order\n", count);
  return count == rows ? 0 : 1;
}
