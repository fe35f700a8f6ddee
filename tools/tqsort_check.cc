#include "tqsort_check.h"

#include "tqsort_input.h"
#include "tqsort_shard.h"

namespace tqsort {

Status OrderCheck::consume(Batch& batch) {
  const size_t k = o_.keys.size();
  const KeyValue* value = batch.values.data();
  for (const Row& row : batch.rows) {
    current_.clear();
    for (size_t i = 0; i < k; ++i, ++value) {
      TQSORT_TRY(setKeyValue(&value_, *value, batch));
      appendSortKey(&current_, o_.keys[i].type, o_.keys[i].descending, value_);
    }
    if (any_) {
      int order = compareKeys(previous_.data(), previous_.size(), current_.data(), current_.size());
      if (order > 0 || (order == 0 && o_.unique)) {
        if (o_.check == Options::Check::Quiet) return Status::answer(1, "");
        // The record as a line-based tool shows it: without its final "\n".
        uint64_t shown = row.length - row.addedEnd - (row.addedEnd == 0 ? 1 : 0);
        return Status::answer(1, batch.file->name + ":" + std::to_string(row.line) + ": disorder: " +
                                     std::string(batch.data() + row.offset, shown));
      }
    }
    previous_.swap(current_);
    any_ = true;
  }
  return Status();
}

}  // namespace tqsort
