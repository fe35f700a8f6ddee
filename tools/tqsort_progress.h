// tqsort's progress bar and statistics lines, both on standard error.
#ifndef TQ_TOOLS_TQSORT_PROGRESS_H
#define TQ_TOOLS_TQSORT_PROGRESS_H

#include <atomic>
#include <chrono>

#include "tqdatafile/tqdatafile.h"

namespace tqsort {

// Hears a run's progress in place of the bar, for a host that runs tqsort in its own
// process (tqsort_run.h), and may stop the run.  Called from the run's threads.
class ProgressListener {
 public:
  virtual ~ProgressListener() = default;
  // `phase` is "reading" or "merging"; false stops the run.
  virtual bool heard(const char* phase, double fraction) = 0;
};

// "\rtqsort: reading [####      ]  40%", redrawn at most ten times a second.  With a
// listener, nothing is drawn: the listener hears every step and may stop the run, which
// the reading (stopped()) and the library's sorts (progress() false) then obey.
class ProgressBar : public TqSortProgress {
 public:
  void enable(bool on) { on_ = on; }
  void listen(ProgressListener* listener) { listener_ = listener; }
  void show(const char* phase, double fraction);
  // Clears the bar's line.
  void done();
  // True while a bar is drawn (a signal ends its line before the process dies).
  bool shown() const { return shown_.load(std::memory_order_relaxed); }
  bool progress(double fraction) override;
  // The listener asked to stop the run.
  bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

 private:
  bool on_ = false;
  ProgressListener* listener_ = nullptr;
  std::atomic<bool> stopped_{false};
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
