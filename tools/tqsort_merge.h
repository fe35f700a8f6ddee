// -m: inputs that are each in the order the options give, merged into one output
// without sorting them again (pieces sorted elsewhere, by other processes or machines).
//
// Each input is read as the cluster sort reads a share (ShareReader: records, their
// keys as the library's key bytes); the record with the lowest key goes out next, the
// first input's of equal ones (the tournament tree of core/losertree.h).  At most
// kMergeInputs inputs, and no more than the descriptors the process may still open
// allow, are open at once: with more, groups of them are merged into files in the run
// directories first (TempSpills, compressed when the run compresses its temporary files),
// and those are merged in later passes, so a merge of any number of inputs holds few
// descriptors.  An input out of order is not detected: its records come out where the
// merge meets them.
#ifndef TQ_TOOLS_TQSORT_MERGE_H
#define TQ_TOOLS_TQSORT_MERGE_H

#include <cstddef>
#include <string>
#include <vector>

#include "tqsort_options.h"
#include "tqsort_output.h"
#include "tqsort_status.h"

namespace tqsort {

constexpr size_t kMergeInputs = 16;

// Merges options.inputs into `out`; the files of earlier passes go to `runDirs`.
// `fanIn` (2 or more) is the most inputs one pass opens; 0: as many as the descriptors
// the process may still open allow, at most kMergeInputs.
Status mergeInputs(const Options& options, OutputTarget& out, const std::vector<std::string>& runDirs,
                   size_t fanIn = 0);

}  // namespace tqsort

#endif
