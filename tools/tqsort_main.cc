// tqsort: sorts CSV and TSV files by typed keys within a memory budget, on the
// library's external merge sort.  It uses only the public API, as any host would.
//
// The run: take the terminating signals, read the options, check the inputs and the
// output, make the run directories, read every record into the sort (on a reader
// thread beside the sort when it has two processors or more), sort, write (through a
// writer thread likewise), and remove every temporary file, whether the run succeeded,
// failed or was signalled.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tqsort_cleanup.h"
#include "tqsort_collate.h"
#include "tqsort_input.h"
#include "tqsort_options.h"
#include "tqsort_output.h"
#include "tqsort_parse.h"
#include "tqsort_pipeline.h"
#include "tqsort_progress.h"
#include "tqsort_sorter.h"

namespace {

constexpr int kExitError = 2;

using tqsort::Status;

// The temporary directories the user named, else $TMPDIR, else /tmp.
std::vector<std::string> tempBases(const tqsort::Options& o) {
  if (!o.tempDirs.empty()) return o.tempDirs;
  const char* env = std::getenv("TMPDIR");
  return {env != nullptr && *env != '\0' ? env : "/tmp"};
}

// --stats: the run's summary and the sorts' statistics, once it has succeeded.
void printStats(const tqsort::StatsReport& report, const tqsort::InputReader& reader, uint64_t memory, size_t sorts,
                uint64_t tempBytes, std::chrono::steady_clock::time_point started) {
  tqsort::StatsReport::Summary summary;
  summary.lines = reader.rowsRead();
  summary.bytes = static_cast<uint64_t>(reader.bytesRead());
  summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  summary.memory = memory;
  summary.sorts = sorts;
  summary.tempBytes = tempBytes;
  report.print(summary, stderr);
}

// --collate: one library sort on the external engine, the lines in a spool.
Status runCollated(tqsort::Options& options, unsigned collateFlags, tqsort::InputReader& reader,
                   tqsort::OutputTarget& out, const std::vector<std::string>& runDirs, tqsort::ProgressBar* progress,
                   std::chrono::steady_clock::time_point started) {
  tqsort::CollateSizes sizes = tqsort::chooseCollateSizes(options, reader.totalBytes());
  tqsort::StatsReport stats;
  tqsort::RecordParser parser(options.keys, options.separator, options.lenient, false);
  tqsort::CollatedSort sort(options, sizes, collateFlags, &parser, progress, &stats);
  TQSORT_TRY(sort.start(runDirs));
  tqsort::BatchLimits limits;
  limits.bytes = sizes.blockBytes;
  limits.rows = sizes.blockRows;
  TQSORT_TRY(tqsort::feedSort(&reader, &parser, {&sort}, limits, sizes.threads));
  TQSORT_TRY(sort.finish(&out, reader.startsWithBom(), reader.header()));
  if (options.stats) printStats(stats, reader, sort.memory(), 1, sort.spoolFileBytes(), started);
  return Status();
}

Status run(tqsort::Options& options, unsigned collateFlags, tqsort::ProgressBar* progress) {
  const auto started = std::chrono::steady_clock::now();
  tqsort::InputReader reader(options.inputs, options.separator, options.header, progress);
  TQSORT_TRY(reader.check());
  tqsort::OutputTarget out;
  TQSORT_TRY(out.prepare(options.outputGiven ? options.output : std::string()));
  std::vector<std::string> runDirs;
  TQSORT_TRY(tqsort::cleanup().makeRunDirs(tempBases(options), &runDirs));
  if (options.collated()) return runCollated(options, collateFlags, reader, out, runDirs, progress, started);
  tqsort::SortSizes sizes = tqsort::chooseSortSizes(options, reader.totalBytes());
  tqsort::StatsReport stats;
  tqsort::Sorter sorter(options, progress, &stats);
  TQSORT_TRY(sorter.start(runDirs, sizes));
  tqsort::RecordParser parser(options.keys, options.separator, options.lenient);
  tqsort::BatchLimits limits;
  limits.bytes = sizes.blockBytes;
  limits.rows = sizes.blockRows;
  TQSORT_TRY(tqsort::feedSort(&reader, &parser, sorter.consumers(), limits, sizes.threads));
  TQSORT_TRY(sorter.finish(&out, reader.startsWithBom(), reader.header(), parser.stored()));
  if (options.stats) {
    printStats(stats, reader, sorter.memory(), static_cast<size_t>(sizes.shards), sorter.lineFileBytes(), started);
  }
  return Status();
  // The sorter releases the library's objects here, before the run directories go.
}

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

  // A bad locale or collation word stops the run before anything is read or made.
  unsigned collateFlags = 0;
  if (options.collated()) {
    Status collation = tqsort::outOfMemoryAsFailure([&] { return tqsort::checkCollation(options, &collateFlags); });
    if (!collation.ok()) {
      std::fprintf(stderr, "tqsort: %s\n", collation.message().c_str());
      return kExitError;
    }
  }

  tqsort::ProgressBar progress;
  progress.enable(options.progress == 1 || (options.progress == -1 && ::isatty(2)));
  cleanup.setProgress(&progress);
  // Every object of the run is gone when this returns, also after a failed allocation.
  Status result = tqsort::outOfMemoryAsFailure([&] { return run(options, collateFlags, &progress); });
  if (result.signalNumber() != 0) cleanup.dieOf(result.signalNumber());  // a closed pipe
  Status removed = cleanup.endRun();
  progress.done();
  if (!result.ok()) std::fprintf(stderr, "tqsort: %s\n", result.message().c_str());
  if (!removed.ok()) std::fprintf(stderr, "tqsort: %s\n", removed.message().c_str());
  return result.ok() && removed.ok() ? 0 : kExitError;
}
