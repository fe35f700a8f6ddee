// Leaving nothing behind: tqsort's run directories, its temporary output file, and the
// signals that end the program.
//
// Every temporary file of a run lives in a run directory "tqsort-PID-XXXXXX" made in
// each temporary directory the run uses; the run holds a lock (flock) on it while it
// lives.  At exit, on success or failure, the run removes them.  A terminating signal
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, ...) is taken by a thread of its own
// (the signals are blocked everywhere else), which removes the run's files and then
// lets the process die of that signal, so the shell sees 128 + N.  A run killed with
// SIGKILL cannot clean up: the next run that uses the same temporary directory removes
// run directories whose process is gone and whose lock is free, and the next run that
// writes its output into the same directory removes such a run's temporary output.
#ifndef TQ_TOOLS_TQSORT_CLEANUP_H
#define TQ_TOOLS_TQSORT_CLEANUP_H

#include <atomic>
#include <string>
#include <vector>

#include "platform/tqsync.h"
#include "tqsort_status.h"

namespace tqsort {

class ProgressBar;

class Cleanup {
 public:
  // Blocks the terminating signals that are not ignored (a shell's `nohup` or `&` may
  // ignore some; they stay ignored) in this thread and so in every thread started
  // later, and starts the thread that takes them.  Call before any other thread starts.
  Status start();
  // Whether `signal` is taken here (false when it was ignored at start).
  bool handles(int signal) const;
  // Makes a run directory in each of `bases`, after removing stale ones there, and
  // returns their paths in the same order.
  Status makeRunDirs(const std::vector<std::string>& bases, std::vector<std::string>* runDirs);
  // The output's temporary file, removed unless it is committed.
  void setTempOutput(const std::string& path);
  // Removes the output's temporary file now: the output goes elsewhere.
  void dropTempOutput();
  // Renames the temporary output over `target`; refused once a signal is being handled.
  Status commitTempOutput(const std::string& target);
  // Ends a progress bar's line before dying of a signal.
  void setProgress(const ProgressBar* bar) { progress_ = bar; }
  // Ends the run: removes the temporary output (if not committed) and the run
  // directories; failed when something could not be removed.  Keeps the cleanup lock
  // for good, so that a signal that comes later leaves the ending to this thread, and
  // never returns while a signal is being handled, so that no message is written while
  // the process dies of it.  (A lock taken and never given back is beyond the lock
  // analysis: it is off here and in dieOf.)
  Status endRun() TQ_NO_THREAD_SAFETY_ANALYSIS;
  // Removes the run directories `paths` (made by makeRunDirs) and forgets them: a run
  // in a host's process ends, and the process goes on.
  Status endRunDirs(const std::vector<std::string>& paths);
  // A signal is being handled: the process is about to die of it.
  bool dying() const { return dying_.load(std::memory_order_relaxed); }
  // Removes everything, then dies of `signal`.  Called by the signal thread, and by the
  // main thread after a write to a closed pipe.  Takes the cleanup lock for good.
  [[noreturn]] void dieOf(int signal) TQ_NO_THREAD_SAFETY_ANALYSIS;

 private:
  struct RunDir {
    std::string path;
    int lockFd;
  };
  Status removeAllLocked() TQ_REQUIRES(mutex_);

  TqStdMutex mutex_;
  std::atomic<bool> dying_{false};
  std::vector<RunDir> runDirs_ TQ_GUARDED_BY(mutex_);
  std::string tempOutput_ TQ_GUARDED_BY(mutex_);
  const ProgressBar* progress_ = nullptr;
  std::vector<int> handled_;
};

// The process's one Cleanup.
Cleanup& cleanup();

// Removes the run directories in `base` whose process is gone and whose lock is free.
// Returns how many it removed; failures to remove one are reported on standard error
// and do not stop the run.
int reclaimStaleRunDirs(const std::string& base);

// The mkstemp template of the temporary output in `dir`: ".tqsort-PID-XXXXXX".  The
// run holds a lock (flock) on the file while it writes it.
std::string outputTempTemplate(const std::string& dir);

// Removes the temporary outputs in `dir` left by runs that are gone (a run killed with
// SIGKILL while it wrote), as reclaimStaleRunDirs does for run directories.
int reclaimStaleOutputTemps(const std::string& dir);

// Removes the files in `dir` and then `dir`, retrying while other threads still add
// files.  Failed with the reason when `dir` remains.
Status removeTree(const std::string& dir);

}  // namespace tqsort

#endif
