// Keeps 1 million rows in an unsorted store (beyond its 4 MiB buffer they go to a
// temporary file), reads them back in order, jumps to remembered rows with seek, and
// reads them again from the start through a clone.
//   unsorted_store [ROWS] [TEMPDIR]
#include <tqdatafile/tqdatafile.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

static int fail(const tq::Status& s) {
  std::fprintf(stderr, "unsorted_store: %s\n", s.toString().c_str());
  return 1;
}

int main(int argc, char** argv) {
  const int64_t rows = argc > 1 ? std::atoll(argv[1]) : 1000000;
  const char* tmp = std::getenv("TMPDIR");
  auto manager = tq::Manager::create({.tempDirs = argc > 2 ? argv[2] : tmp != nullptr ? tmp : "/tmp"});
  if (!manager) return fail(manager.status());
  auto store = manager->store({
      .columns = {tq::Column::integer(), tq::Column::string(24), tq::Column::decimal(), tq::Column::date()},
      .chunkSize = 4u << 20,
  });
  if (!store) return fail(store.status());
  std::vector<tq::Position> marks;  // where every 1000th row starts
  for (int64_t i = 0; i < rows; ++i) {
    auto at = store->append(i, "customer " + std::to_string(i), i * 0.25, tq::Date::fromYmd(2024, 1, 1 + i % 28));
    if (!at) return fail(at.status());
    if (i % 1000 == 0) marks.push_back(*at);
  }
  auto frozen = std::move(*store).freeze();
  if (!frozen) return fail(frozen.status());
  int64_t sum = 0;
  for (const tq::Row& row : *frozen) sum += row.get<int64_t>(0);
  if (!frozen->status().ok()) return fail(frozen->status());
  auto clone = frozen->clone();  // reads from the first row, whatever the store does
  if (!clone) return fail(clone.status());
  for (size_t k = marks.size(); k-- > 0;) {  // from the last mark back to the first
    if (tq::Status s = frozen->seek(marks[k]); !s.ok()) return fail(s);
    auto row = frozen->next();
    if (!row) return fail(row.status());
    if (row->get<int64_t>(0) != int64_t(k) * 1000 || row->get<double>(2) != double(k) * 250) return 1;
  }
  int64_t again = 0;
  for (const tq::Row& row : *clone) again += row.get<int64_t>(0) == again ? 1 : rows;
  if (!clone->status().ok()) return fail(clone->status());
  std::printf("unsorted_store: %lld rows, sum %lld, %zu seeks, clone read %lld in order\n",
              (long long)frozen->rowCount(), (long long)sum, marks.size(), (long long)again);
  return sum == rows * (rows - 1) / 2 && again == rows ? 0 : 1;
}
