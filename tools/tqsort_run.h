// One run of tqsort, from its options to its output: what main() does between reading
// the command line and the exit status, and what a host that runs tqsort inside its
// own process (the Python module) calls.
//
// A run checks the collation, the inputs and the output, makes its run directories,
// reads every record into the sort, sorts and writes.  main() takes the terminating
// signals and removes every run directory at exit (Cleanup::endRun).  A host keeps its
// own signal handling: runInProcess removes what its run made when the run ends, and
// is stopped through the progress bar's listener instead of by a signal.
#ifndef TQ_TOOLS_TQSORT_RUN_H
#define TQ_TOOLS_TQSORT_RUN_H

#include <string>
#include <vector>

#include "tqsort_options.h"
#include "tqsort_progress.h"
#include "tqsort_status.h"

namespace tqsort {

// Runs the sort that `options` describe.  The run directories it made are added to
// *runDirs (they stay registered with cleanup() until the caller removes them).
Status runSort(Options& options, ProgressBar* progress, std::vector<std::string>* runDirs);

// parseOptions for a host process: `args` without the program's name; the scan's
// state (getopt's) is the process's, so calls take turns.
Status parseInProcess(const std::vector<std::string>& args, Options* options, Action* action);

// runSort for a host process: afterwards its run directories and an uncommitted
// temporary output are removed, and the configuration value "BASE/TEMP" (which the
// run points at its directories) is put back.  Installs no signal handling.  Runs
// one at a time within a process (the option scan and the temporary output are the
// process's): a second caller waits.
Status runInProcess(Options& options, ProgressBar* progress);

// The temporary directories of a run: -T, else $TMPDIR, else /tmp.
std::vector<std::string> tempBases(const Options& options);

}  // namespace tqsort

#endif
