// -c and -C: whether the input is already in the order the options give, found in one
// pass without sorting.
//
// Each record's keys become the library's key bytes (appendSortKey), as the merge of
// several sorts compares them; a record whose keys come before the previous record's
// (or equal them, with -u) is out of order.  The first such record ends the pass: with
// -c it is shown as "FILE:LINE: disorder: RECORD", with -C nothing is; either way the
// exit status is 1.
#ifndef TQ_TOOLS_TQSORT_CHECK_H
#define TQ_TOOLS_TQSORT_CHECK_H

#include <string>

#include "tqsort_options.h"
#include "tqsort_pipeline.h"
#include "tqsort_status.h"

namespace tqsort {

class OrderCheck : public BatchConsumer {
 public:
  explicit OrderCheck(const Options& options) : o_(options) {}
  // Fails with Status::answer(1, ...) at the first record out of order.
  Status consume(Batch& batch) override;

 private:
  const Options& o_;
  bool any_ = false;
  std::string previous_;  // the keys of the record before
  std::string current_;
  TqbDatavar value_;
};

}  // namespace tqsort

#endif
