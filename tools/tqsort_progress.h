// tqsort's progress bar and statistics lines, both on standard error.
#ifndef TQ_TOOLS_TQSORT_PROGRESS_H
#define TQ_TOOLS_TQSORT_PROGRESS_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

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

// --stats: what the run did in plain words first, then tqsort's own figures, then each
// library sort's statistics under a heading of its own.  The library's lines are kept
// as each sort reports them (one sort to a thread) and everything is written at the end
// of a run that succeeded, on standard error, one "tqsort: " line each.
class StatsReport {
 public:
  // The figures of the summary line.
  struct Summary {
    uint64_t lines = 0;       // records sorted (the header not counted)
    uint64_t bytes = 0;       // input bytes read
    double seconds = 0;       // from the start of the run to the end of the output
    uint64_t memory = 0;      // -S, or what tqsort chose
    size_t sorts = 0;         // library sorts
    uint64_t tempBytes = 0;   // written to tqsort's own temporary files
  };
  // Where library sort `index` of `count` reports (valid while the report lives).
  TqSortInfo* sort(size_t index, size_t count);
  // One of tqsort's own figure lines.
  void note(const std::string& line) { notes_.push_back(line); }
  // Writes the report to `out`.
  void print(const Summary& summary, std::FILE* out) const;
  // The bytes the library sorts say they wrote to their temporary files.
  uint64_t libraryBytesWritten() const;

 private:
  struct Kept : TqSortInfo {
    int line(const char* text) override {
      lines.emplace_back(text);
      return 0;
    }
    std::vector<std::string> lines;
  };
  std::vector<std::unique_ptr<Kept>> sorts_;
  std::vector<std::string> notes_;
};

}  // namespace tqsort

#endif
