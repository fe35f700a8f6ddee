#include "tqsort_run.h"

#include <chrono>
#include <cstdlib>

#include "platform/tqsync.h"
#include "tqdatafile/tqdatafile.h"
#include "tqsort_check.h"
#include "tqsort_cleanup.h"
#include "tqsort_collate.h"
#include "tqsort_input.h"
#include "tqsort_merge.h"
#include "tqsort_output.h"
#include "tqsort_parse.h"
#include "tqsort_pipeline.h"
#include "tqsort_sorter.h"

namespace tqsort {

namespace {

// --stats: the run's summary and the sorts' statistics, once it has succeeded.
void printStats(const StatsReport& report, const InputReader& reader, uint64_t memory, size_t sorts,
                uint64_t tempBytes, std::chrono::steady_clock::time_point started) {
  StatsReport::Summary summary;
  summary.lines = reader.rowsRead();
  summary.bytes = static_cast<uint64_t>(reader.bytesRead());
  summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  summary.memory = memory;
  summary.sorts = sorts;
  summary.tempBytes = tempBytes;
  report.print(summary, stderr);
}

// --collate: one library sort on the external engine, the lines in a spool.
Status runCollated(Options& options, unsigned collateFlags, InputReader& reader, OutputTarget& out,
                   const std::vector<std::string>& runDirs, ProgressBar* progress,
                   std::chrono::steady_clock::time_point started) {
  CollateSizes sizes = chooseCollateSizes(options, reader.totalBytes());
  StatsReport stats;
  RecordParser parser(options.keys, options.separator, options.lenient, false);
  CollatedSort sort(options, sizes, collateFlags, &parser, progress, &stats);
  TQSORT_TRY(sort.start(runDirs));
  sort.readInputsAgain(out);
  BatchLimits limits;
  limits.bytes = sizes.blockBytes;
  limits.rows = sizes.blockRows;
  TQSORT_TRY(feedSort(&reader, &parser, {&sort}, limits, sizes.threads));
  TQSORT_TRY(sort.finish(&out, reader.startsWithBom(), reader.header()));
  if (options.stats) printStats(stats, reader, sort.memory(), 1, sort.spoolFileBytes(), started);
  return Status();
}

// A host's runs take turns: a run points the process-wide "BASE/TEMP" at its own
// directories, and the Cleanup keeps one temporary output.
TqStdMutex& inProcessLock() {
  static TqStdMutex lock;
  return lock;
}

// Puts the configuration value "BASE/TEMP" back as it was when this was made (a run
// points it at its own directories, which it removes).
class BaseTempKept {
 public:
  BaseTempKept() {
    TqbString value;
    had_ = tqbGetConfigOptions("")->lookup(TqbString("BASE/TEMP"), value);
    const char* env = std::getenv("TQ_BASE_TEMP");
    if (had_ && env != nullptr && value.str() == env) had_ = false;  // the environment's, not set
    value_ = value.str();
  }
  ~BaseTempKept() { tqbSetConfigValue("BASE/TEMP", had_ ? value_.c_str() : nullptr); }
  BaseTempKept(const BaseTempKept&) = delete;
  BaseTempKept& operator=(const BaseTempKept&) = delete;

 private:
  bool had_ = false;
  std::string value_;
};

// Points the library's temporary files at the run's codec (--compress,
// --compress-program) and puts the configuration back when the run ends.  A failure
// of the compress program stands for the run's failure in GNU sort's words.
class CompressChosen {
 public:
  explicit CompressChosen(const Options& options) {
    TqbString value;
    had_ = tqbGetConfigOptions("")->lookup(TqbString(kCompressKey), value);
    value_ = value.str();
    tqbSetConfigValue(kCompressKey, options.compress.empty() ? nullptr : options.compress.c_str());
    tqbSetConfigValue(kFailureKey, nullptr);
  }
  ~CompressChosen() {
    tqbSetConfigValue(kCompressKey, had_ ? value_.c_str() : nullptr);
    tqbSetConfigValue(kFailureKey, nullptr);
  }
  CompressChosen(const CompressChosen&) = delete;
  CompressChosen& operator=(const CompressChosen&) = delete;

  Status explain(Status result) const {
    TqbString failure;
    if (result.ok() || !tqbGetConfigOptions("")->lookup(TqbString(kFailureKey), failure)) return result;
    return Status::error(failure.str());
  }

 private:
  static constexpr const char* kCompressKey = "BASE/COMPRESS";
  static constexpr const char* kFailureKey = "BASE/COMPRESS_FAILURE";
  bool had_ = false;
  std::string value_;
};

}  // namespace

std::vector<std::string> tempBases(const Options& options) {
  if (!options.tempDirs.empty()) return options.tempDirs;
  const char* env = std::getenv("TMPDIR");
  return {env != nullptr && *env != '\0' ? env : "/tmp"};
}

namespace {

// The run, with the compression of temporary files chosen.
Status sortOnce(Options& options, ProgressBar* progress, std::vector<std::string>* runDirs) {
  const auto started = std::chrono::steady_clock::now();
  // A bad locale or collation word stops the run before anything is read or made.
  unsigned collateFlags = 0;
  if (options.collated()) TQSORT_TRY(checkCollation(options, &collateFlags));
  InputReader reader(options.inputs, options.separator, options.header, progress);
  TQSORT_TRY(reader.check());
  if (options.check != Options::Check::None) {
    // One pass over the input, nothing written, nothing made.
    RecordParser parser(options.keys, options.separator, options.lenient, false);
    OrderCheck check(options);
    BatchLimits limits;
    return feedSort(&reader, &parser, {&check}, limits, false);
  }
  OutputTarget out;
  TQSORT_TRY(out.prepare(options.outputGiven ? options.output : std::string()));
  std::vector<std::string> made;
  Status dirs = cleanup().makeRunDirs(tempBases(options), &made);
  runDirs->insert(runDirs->end(), made.begin(), made.end());
  TQSORT_TRY(dirs);
  if (options.collated()) return runCollated(options, collateFlags, reader, out, made, progress, started);
  if (options.merge) return mergeInputs(options, out, made);
  options.shardCap = shardsForDescriptors();
  SortSizes sizes = chooseSortSizes(options, reader.totalBytes());
  StatsReport stats;
  Sorter sorter(options, progress, &stats);
  TQSORT_TRY(sorter.start(made, sizes));
  RecordParser parser(options.keys, options.separator, options.lenient);
  if (sizes.threads) parser.leaveStoredLinesToTheSorts();
  BatchLimits limits;
  limits.bytes = sizes.blockBytes;
  limits.rows = sizes.blockRows;
  TQSORT_TRY(feedSort(&reader, &parser, sorter.consumers(), limits, sizes.threads));
  TQSORT_TRY(sorter.finish(&out, reader.startsWithBom(), reader.header(), parser.stored()));
  if (options.stats) {
    uint64_t appended = 0, onDisk = sorter.lineFileBytes(&appended);
    if (appended > 0) {
      stats.note("line files: " + std::to_string(appended) + " bytes (" + std::to_string(onDisk) + " on disk)");
    }
    printStats(stats, reader, sorter.memory(), static_cast<size_t>(sizes.shards), onDisk, started);
  }
  return Status();
  // The sorter releases the library's objects here, before the run directories go.
}

}  // namespace

Status runSort(Options& options, ProgressBar* progress, std::vector<std::string>* runDirs) {
  CompressChosen compress(options);
  return compress.explain(sortOnce(options, progress, runDirs));
}

Status parseInProcess(const std::vector<std::string>& args, Options* options, Action* action) {
  std::vector<std::string> copies;
  copies.reserve(args.size() + 1);
  copies.emplace_back("tqsort");
  copies.insert(copies.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  return outOfMemoryAsFailure([&] { return parseOptions(static_cast<int>(copies.size()), argv.data(), options, action); });
}

Status runInProcess(Options& options, ProgressBar* progress) {
  TqStdLock turn(inProcessLock());
  BaseTempKept baseTemp;
  std::vector<std::string> runDirs;
  Status result = outOfMemoryAsFailure([&] { return runSort(options, progress, &runDirs); });
  cleanup().dropTempOutput();  // after a failure: the output never replaced its target
  Status removed = cleanup().endRunDirs(runDirs);
  return result.ok() ? removed : result;
}

}  // namespace tqsort
