// How much memory tqsort's sorts get and how it is cut up, and what a row the library
// refused would need.
//
// A sort's size is its share of the memory, in four chunks, so that the library's
// budget is exactly its size; the column lengths keep the library's smallest chunk
// within half a chunk, so that it never raises the chunk (or the budget with it).
#ifndef TQ_TOOLS_TQSORT_SIZES_H
#define TQ_TOOLS_TQSORT_SIZES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tqdatafile/tqdatafile.h"
#include "tqsort_input.h"
#include "tqsort_options.h"

namespace tqsort {

// The memory the sorts get and how it is cut up.  Each sort's size is its share of
// `memory`, in four chunks; tqsort's own buffers (input batches, output buffers) are
// on top of it, a few times `blockBytes` each.
struct SortSizes {
  uint64_t memory = 0;       // -S, or chosen from the input's size
  int shards = 1;            // sorts
  int shardProcessors = 1;   // processors of each sort
  bool sequenceKey = false;  // rows carry their input row number as a last key
  uint32_t sortBytes = 0;    // a sort's size: four chunks
  uint32_t chunkBytes = 0;   // one chunk
  int32_t keyLength = 0;     // the maximum length of a string key's column
  int32_t lineLength = 0;    // the line column's: longer lines go to the line file
  size_t blockBytes = 0;     // an input batch, an output buffer, a batch of sorted rows
  size_t blockRows = 0;      // rows in an input batch at most
  int processors = 1;
  bool threads = false;      // a reader thread, a thread per sort, a writer thread
  uint64_t growsTo = 0;      // tqsort chose the memory: a sort may grow up to this
};

// Chooses the sizes from the options (-S, --parallel), the machine, the keys and the
// input's size (`totalBytes`, -1 when unknown).
SortSizes chooseSortSizes(const Options& options, int64_t totalBytes);
// How many library sorts the descriptors the process may still open allow (a large
// number when they are many).  A sort takes half the descriptors it finds left for
// its run files, and at least five; sorts that start together each find the same
// number, so under a low limit of open files fewer sorts run rather than fail for
// want of a descriptor.  Taken once when a run starts (Options::shardCap).
int shardsForDescriptors();

// The sizes for sorts of `memory` bytes in all (at least 1 MiB; each sort within the
// library's 32-bit sort size).
SortSizes sizesForMemory(const Options& options, uint64_t memory);

// A row as a sort stores it: per key, -1 for a null, else (string keys) the bytes of
// its value (the line as the last key: all its bytes, of which a sort takes up to its
// line column's length); and the bytes of the line column's value.
struct RowShape {
  std::vector<int64_t> keyBytes;
  uint64_t lineBytes = 0;
  bool zeroBytes = false;  // the sort stores the keys found by their terminator (keptInKey)
};

// The memory the library asks for a row that no chunk holds, with the sizes `sizes`:
// its fields and its key, counted as the library counts them (a string key by the
// bytes of its value).  The library takes such a row when this is at most half its
// sort size and at most kTqMaxChunkSize.
uint64_t longRowNeed(const Options& options, const SortSizes& sizes, const RowShape& shape);

// The least -S, in whole MiB, with which the library takes the row; 0 when none does.
uint64_t minimumMemory(const Options& options, const RowShape& shape);

// Whether a sort of `sizes` is too small for the row (longRowNeed).
bool needsMoreMemory(const Options& options, const SortSizes& sizes, const RowShape& shape);

// The message for a row that addRow refused with `status` (the library's text in
// `libraryText`), for the record of `lineBytes` bytes that starts on line `line` of
// `in`.  A row the sort's memory cannot hold says which -S can.
std::string rowErrorMessage(const Options& options, const SortSizes& sizes, const RowShape& shape, int32_t status,
                            const std::string& libraryText, const InputFile& in, int64_t line, uint64_t lineBytes);

// The library's column type for a key of `type`.
tqbType libraryType(KeyType type);

// Whether the library itself keeps equal keys in input order (one sort), rather than
// the row number key (several sorts).
bool libraryStable(const Options& options, const SortSizes& sizes);

// Whether key `i` is found in the library's key only up to its terminator: a string
// key with another string key after it (the ends of the others are fixed widths or
// the key's end).
bool keyFoundByTerminator(const Options& options, size_t i);

// Whether key `i` is kept only in the library's key, its row storing nothing for it
// (tqDatafileSortKeyOnly): a key whose encoding gives its value back (any type but
// dec); one found by its terminator only while no value of it held a zero byte
// (`zeroBytes` false), since a zero byte would end it early.
bool keptInKey(const Options& options, size_t i, bool zeroBytes);

}  // namespace tqsort

#endif
