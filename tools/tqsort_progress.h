// tqsort's progress bar and statistics lines, both on standard error.
#ifndef TQ_TOOLS_TQSORT_PROGRESS_H
#define TQ_TOOLS_TQSORT_PROGRESS_H

#include <atomic>
#include <chrono>

#include "tqdatafile/tqdatafile.h"

namespace tqsort {

// "\rtqsort: reading [####      ]  40%", redrawn at most ten times a second.
class ProgressBar : public TqSortProgress {
 public:
  void enable(bool on) { on_ = on; }
  void show(const char* phase, double fraction);
  // Clears the bar's line.
  void done();
  // True while a bar is drawn (a signal ends its line before the process dies).
  bool shown() const { return shown_.load(std::memory_order_relaxed); }
  bool progress(double fraction) override;

 private:
  bool on_ = false;
  std::atomic<bool> shown_{false};
  std::chrono::steady_clock::time_point last_{};
};

// The sort's statistics, one "tqsort: " line each.
class StatsSink : public TqSortInfo {
 public:
  int line(const char* text) override;
};

}  // namespace tqsort

#endif
