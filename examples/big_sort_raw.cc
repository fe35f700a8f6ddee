// big_sort written against the interfaces below the C++ layer (manager.h, datafile.h):
// 5 million rows by a name (ascending), then a count (descending), in 64 MiB on two
// processors, stably, with a progress bar; the order is checked while reading.
//   big_sort_raw [ROWS] [TEMPDIR]
#include <tqdatafile/tqdatafile.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

class ProgressBar : public TqSortProgress {
 public:
  bool progress(double done) override {
    if (int(done * 100) != shown_) std::fprintf(stderr, "\rsorted %3d%%", shown_ = int(done * 100));
    return true;
  }

 private:
  int shown_ = -1;
};

int fail(const char* what, const TqbString& text) {
  std::fprintf(stderr, "big_sort_raw: %s: %s\n", what, text.asCstr());
  return 1;
}

// The manager must outlive the datafile: the datafile is released first, on every path.
int sortRows(TqDatafileManager* manager, long rows) {
  if (!manager->setColumns(2) || !manager->setColSpec(0, tqbTypeString, 16) ||
      !manager->setColSpec(1, tqbTypeInteger, 0)) {
    return fail("columns", manager->getError());
  }
  // Read when the datafile is made (processors, stable) or at its first row (the size).
  if (!manager->setSortSize(64u << 20) || !manager->setSortProcessors(2) || !manager->setSortStable(true)) {
    return fail("sort options", manager->getError());
  }
  TqDatafile* file = manager->createFile(TqDatafile::FlagSorted | TqDatafile::FlagVariableRows);
  if (file == nullptr) return fail("createFile", manager->getError());
  ProgressBar bar;
  int32_t status = file->resetSort(2);
  if (status == 0) status = file->setSort(0, 0, 1, nullptr);
  if (status == 0) status = file->setSort(1, 1, 0, nullptr);
  if (status == 0) status = file->setSortProgress(&bar);
  if (status != 0) {
    int r = fail("keys", file->getError());
    file->release();
    return r;
  }
  // The fields are fetched once; getField returns null for an index out of range.
  TqbDatavar* name = file->getField(0);
  TqbDatavar* count = file->getField(1);
  if (name == nullptr || count == nullptr) {
    file->release();
    return fail("fields", "missing");
  }
  uint64_t x = 88172645463325252u;  // xorshift: the same rows on every run
  for (long i = 0; i < rows; ++i) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    std::string text = "name" + std::to_string(x % 1000000);
    if (!name->assign(std::string_view(text))) {
      file->release();
      return fail("addRow", "no memory for a name");
    }
    count->assign(int64_t(x >> 44));
    if (file->addRow(nullptr) != 0) {
      int r = fail("addRow", file->getError());
      file->release();
      return r;
    }
  }
  // sort() loads the first row already: the loop reads it before calling next().
  status = file->sort();
  std::string last;
  int64_t lastCount = 0;
  long seen = 0;
  for (; status == 0; status = file->next(nullptr)) {
    size_t size = 0;
    const char* bytes = static_cast<const char*>(name->getRaw(&size));
    std::string_view current(bytes, size > 0 ? size - 1 : 0);  // getRaw counts the zero
    int64_t n = count->asInt64(nullptr);
    if (seen++ > 0 && (current < last || (current == last && n > lastCount))) {
      std::fprintf(stderr, "big_sort_raw: row %ld is out of order\n", seen);
      file->release();
      return 1;
    }
    last.assign(current);
    lastCount = n;
  }
  if (status != TqDatafile::StatusEndOfData) {  // 4 ends the rows; anything else failed
    int r = fail("reading", file->getError());
    file->release();
    return r;
  }
  file->release();
  std::fprintf(stderr, "\n");
  std::printf("big_sort_raw: %ld rows in order\n", seen);
  return seen == rows ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const long rows = argc > 1 ? std::atol(argv[1]) : 5000000;
  const char* tmp = std::getenv("TMPDIR");
  TqbString error;
  TqDatafileManager* manager =
      tqDatafileManagerCreate(argc > 2 ? argv[2] : tmp != nullptr ? tmp : "/tmp", &error);
  if (manager == nullptr) return fail("manager", error);
  int result = sortRows(manager, rows);
  manager->release();
  return result;
}
