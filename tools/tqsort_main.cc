// tqsort: sorts CSV and TSV files by typed keys within a memory budget, on the
// library's external merge sort.  It uses only the public API, as any host would.
//
// The run: take the terminating signals, read the options, check the inputs and the
// output, make the run directories, read every record into the sort (on a reader
// thread beside the sort when it has two processors or more), sort, write (through a
// writer thread likewise), and remove every temporary file, whether the run succeeded,
// failed or was signalled.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tqsort_cleanup.h"
#include "tqsort_options.h"
#include "tqsort_progress.h"
#include "tqsort_run.h"

namespace {

constexpr int kExitError = 2;

using tqsort::Status;

}  // namespace

int main(int argc, char** argv) {
  tqsort::Cleanup& cleanup = tqsort::cleanup();
  Status started = cleanup.start();
  if (!started.ok()) {
    std::fprintf(stderr, "tqsort: %s\n", started.message().c_str());
    return kExitError;
  }
  tqsort::Options options;
  tqsort::Action action;
  Status parsed =
      tqsort::outOfMemoryAsFailure([&] { return tqsort::parseOptions(argc, argv, &options, &action); });
  if (!parsed.ok()) {
    std::fprintf(stderr, "tqsort: %s\nTry 'tqsort --help' for more information.\n", parsed.message().c_str());
    return kExitError;
  }
  if (action == tqsort::Action::Help) {
    tqsort::printHelp(stdout);
    return std::fflush(stdout) == 0 ? 0 : kExitError;
  }
  if (action == tqsort::Action::Version) {
    std::printf("%s\n", tqsort::kVersion);
    return std::fflush(stdout) == 0 ? 0 : kExitError;
  }

  tqsort::ProgressBar progress;
  progress.enable(options.progress == 1 || (options.progress == -1 && ::isatty(2)));
  cleanup.setProgress(&progress);
  std::vector<std::string> runDirs;  // Cleanup::endRun removes them
  // Every object of the run is gone when this returns, also after a failed allocation.
  Status result = tqsort::outOfMemoryAsFailure([&] { return tqsort::runSort(options, &progress, &runDirs); });
  if (result.signalNumber() != 0) cleanup.dieOf(result.signalNumber());  // a closed pipe
  Status removed = cleanup.endRun();
  progress.done();
  if (!result.ok() && !result.message().empty()) {
    // The message may hold a record's bytes (-c), NULs included.
    std::string line = "tqsort: " + result.message() + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
  }
  if (!removed.ok()) std::fprintf(stderr, "tqsort: %s\n", removed.message().c_str());
  if (!removed.ok()) return kExitError;
  return result.exitStatus();
}
