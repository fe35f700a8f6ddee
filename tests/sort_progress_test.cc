// Progress and cancellation as a host sees them, on every engine: a sort of millions of
// rows on two processors tells its progress many times, in fractions that only grow
// from 0 to 1, while sort() waits for its work and while the rows are read; a host that
// cancels stops the sort at once, with status 6 and the same message on every engine,
// and the sort stays stopped.
#include <gtest/gtest.h>

#include <chrono>

#include "sort_support.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::vector<RefColumn> kColumns = {{tqbTypeInteger, 0}, {tqbTypeString, 12}};

// Keeps every fraction it hears and when; answers false on call `stopAt` (0: never).
class Watch : public TqSortProgress {
 public:
  explicit Watch(size_t stopAt = 0) : stopAt_(stopAt) {}
  bool progress(double fraction) override {
    fractions.push_back(fraction);
    times.push_back(Clock::now());
    if (fractions.size() == stopAt_) stoppedAt = Clock::now();
    return fractions.size() != stopAt_;
  }
  std::vector<double> fractions;
  std::vector<Clock::time_point> times;
  Clock::time_point stoppedAt{};

 private:
  size_t stopAt_;
};

constexpr int64_t kRows = 2000000;

}  // namespace

class SortProgressTest : public SortTest, public ::testing::WithParamInterface<SortEngine> {
 protected:
  // A sort of kRows rows on two processors in 16 MiB, with `watch` told.
  AbsTqSortfile* fill(Watch* watch) {
    SortOptions o;
    o.engine = GetParam();
    o.processors = 2;
    o.sortSize = 16 << 20;
    o.chunkSize = 1 << 20;
    AbsTqSortfile* f = makeSortfile(kColumns, o, {{0, true}});
    f->setSortProgress(watch);
    uint64_t x = 88172645463325252ull;
    for (int64_t i = 0; i < kRows; ++i) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      f->getField(0)->assign(static_cast<int64_t>(x % 1000000000));
      f->getField(1)->assign("row");
      EXPECT_EQ(f->addRow(nullptr), 0);
    }
    return f;
  }
};

TEST_P(SortProgressTest, FractionsGrowFromZeroToOneWhileTheSortWaitsAndIsRead) {
  Watch watch;
  AbsTqSortfile* f = fill(&watch);
  EXPECT_TRUE(watch.fractions.empty()) << "progress is the sort's, from sort() on";
  ASSERT_EQ(f->sort(), 0) << f->getError().asCstr();
  size_t duringSort = watch.fractions.size();
  int64_t rows = 1, last = INT64_MIN;
  bool ordered = true;
  do {
    int64_t key = f->getField(0)->asInt64(nullptr);
    ordered = ordered && key >= last;
    last = key;
  } while (f->next(nullptr) == 0 && ++rows > 0);
  EXPECT_EQ(rows, kRows);
  EXPECT_TRUE(ordered);
  EXPECT_GE(duringSort, 1u);
  // About every 1% of the rows read, and the end.
  EXPECT_GE(watch.fractions.size(), 100u);
  for (size_t i = 0; i < watch.fractions.size(); ++i) {
    ASSERT_GE(watch.fractions[i], 0.0);
    ASSERT_LE(watch.fractions[i], 1.0);
    if (i > 0) {
      ASSERT_GE(watch.fractions[i], watch.fractions[i - 1]) << "call " << i;
    }
  }
  EXPECT_EQ(watch.fractions.back(), 1.0);
  // The fraction measures the work: halfway through the reading, it is well under 1.
  EXPECT_LT(watch.fractions[duringSort + (watch.fractions.size() - duringSort) / 2], 0.9);
  f->release();
}

TEST_P(SortProgressTest, ACancelStopsTheSortWhereverItComes) {
  for (size_t stopAt : {size_t{1}, size_t{20}}) {  // in sort(), and while the rows are read
    SCOPED_TRACE(stopAt);
    Watch watch(stopAt);
    AbsTqSortfile* f = fill(&watch);
    int32_t status = f->sort();
    while (status == 0) status = f->next(nullptr);
    EXPECT_EQ(status, 6);
    ASSERT_EQ(watch.fractions.size(), stopAt);
    EXPECT_EQ(f->getError().str(), "The sort was cancelled by the progress callback.");
    // Within about 100 ms; a generous bound, for a loaded machine.
    EXPECT_LT(Clock::now() - watch.stoppedAt, std::chrono::seconds(2));
    EXPECT_EQ(f->next(nullptr), 6);  // stays stopped
    EXPECT_EQ(f->getError().str(), "The sort was cancelled by the progress callback.");
    EXPECT_EQ(watch.fractions.size(), stopAt);
    f->release();
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, SortProgressTest,
                         ::testing::Values(SortEngine::variable, SortEngine::fixed, SortEngine::external),
                         [](const ::testing::TestParamInfo<SortEngine>& param) {
                           return std::string(engineName(param.param));
                         });
