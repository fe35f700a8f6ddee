#include "tqsort_sizes.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "core/rowbytes.h"
#include "tqdatafile/tqdatafile.h"

namespace tqsort {

namespace {

bool stableOrUnique(const Options& o) { return o.stable || o.unique; }

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint64_t kLargestSortSize = 0xFFF00000ull;  // within the library's 32-bit sort size
constexpr int kMostShards = 4;
constexpr uint32_t kChunks = 4;  // chunks of a sort

bool isStringKey(const KeyOption& key) { return key.type == KeyType::Str; }

// What the library makes the smallest chunk: one row of every column at its maximum
// length, with its key and index entry (string lengths counted as 4 bytes, the most the
// library gives them).  Kept at half a chunk or less, so that the library never raises
// the chunk size (or the sort size with it).
uint64_t minimumChunk(const Options& o, const SortSizes& s, int32_t keyLength) {
  uint64_t bytes = libraryStable(o, s) ? tqrowbytes::kStableKeyBytes : 0;
  for (const KeyOption& key : o.keys) {
    tqbType type = libraryType(key.type);
    bytes += tqrowbytes::keyField(type, keyLength);
    bytes += tqrowbytes::declaredWidth(type, keyLength) + (isStringKey(key) ? 4 : 0);
  }
  if (s.sequenceKey) bytes += tqrowbytes::keyField(tqbTypeInteger, 0) + tqrowbytes::declaredWidth(tqbTypeInteger, 0);
  bytes += tqrowbytes::declaredWidth(tqbTypeString, s.lineLength) + 4;
  return (bytes + tqrowbytes::kIndexEntryBytes + 15) & ~uint64_t{15};
}

uint64_t machineMemory() {
  return static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace

bool libraryStable(const Options& o, const SortSizes& s) { return s.shards == 1 && stableOrUnique(o); }

bool keyFoundByTerminator(const Options& o, size_t i) {
  if (o.keys[i].type != KeyType::Str) return false;
  for (size_t j = i + 1; j < o.keys.size(); ++j) {
    if (o.keys[j].type == KeyType::Str) return true;
  }
  return false;
}

bool keptInKey(const Options& o, size_t i, bool zeroBytes) {
  return o.keys[i].type != KeyType::Dec && !(zeroBytes && keyFoundByTerminator(o, i));
}

tqbType libraryType(KeyType type) {
  switch (type) {
    case KeyType::Str: return tqbTypeString;
    case KeyType::Int: return tqbTypeInteger;
    case KeyType::Dec: return tqbTypeReal;
    case KeyType::Date: return tqbTypeDate;
    case KeyType::Bool: return tqbTypeBoolean;
  }
  return tqbTypeString;
}

SortSizes sizesForMemory(const Options& options, uint64_t memory) {
  SortSizes s;
  s.processors = options.parallel;
  if (s.processors == 0) s.processors = static_cast<int>(std::min<long>(sysconf(_SC_NPROCESSORS_ONLN), 8));
  if (s.processors < 1) s.processors = 1;
  s.threads = s.processors >= 2;
  s.shards = std::min(s.processors, kMostShards);
  if (options.shardCap > 0) s.shards = std::min(s.shards, options.shardCap);
  s.shardProcessors = std::max(1, s.processors / s.shards);
  s.sequenceKey = s.shards > 1 && stableOrUnique(options);
  memory = std::max(memory, kMiB);
  s.memory = memory;
  // Four chunks a sort: a chunk sorts on the pool while the next fills, and runs are few
  // (each costs the merge a level now and then, and a window); measured faster than
  // eight on the benchmark's input.  A sort's size is exactly its chunks, so that the
  // library's budget is its size.
  uint64_t share = std::min(memory / static_cast<uint64_t>(s.shards), kLargestSortSize);
  s.chunkBytes = static_cast<uint32_t>(std::max<uint64_t>((share / kChunks) & ~uint64_t{15}, 32u << 10));
  s.sortBytes = s.chunkBytes * kChunks;
  // Lines up to an eighth of a chunk are sorted as they are; longer ones go to the line
  // file (a long row fills a chunk only partly: the chunk is handed on when the next
  // row does not fit).  String keys may then be as long as keeps the smallest chunk within half a
  // chunk; a longer value is still sorted whole (the library reports it on its
  // assertion logger, silent unless enabled, and stores it).
  s.lineLength = static_cast<int32_t>(s.chunkBytes / 8);
  size_t strings = static_cast<size_t>(std::count_if(options.keys.begin(), options.keys.end(), isStringKey));
  s.keyLength = 16;
  if (strings > 0) {
    uint64_t fixed = minimumChunk(options, s, 0);
    uint64_t room = s.chunkBytes / 2 > fixed ? s.chunkBytes / 2 - fixed : 0;
    s.keyLength = static_cast<int32_t>(std::min<uint64_t>(std::max<uint64_t>(room / (2 * strings), 16), kTqMaxStringLength));
  }
  // tqsort's own buffers grow with the memory up to 1 MiB each.
  s.blockBytes = static_cast<size_t>(std::min<uint64_t>(std::max<uint64_t>(memory / 128, 64u << 10), kMiB));
  s.blockRows = std::max<size_t>(1024, s.blockBytes / 64);
  return s;
}

SortSizes chooseSortSizes(const Options& options, int64_t totalBytes) {
  if (options.bufferSize != 0) return sizesForMemory(options, options.bufferSize);
  // Without -S: half the input (a quarter of the machine at most, 64 MiB at least;
  // 256 MiB when the size is not known).  The library merges runs it streamed from its
  // files, in key order, faster than chunks it kept in memory, whose rows it reads in
  // a scattered order; so a sort that writes most of its rows once and streams them
  // back is quicker than one that holds them all.  A sort given a row that this memory
  // cannot hold grows to what the row needs, up to the quarter of the machine (grow).
  uint64_t cap = std::max<uint64_t>(machineMemory() / 4, 64 * kMiB);
  uint64_t size = totalBytes >= 0 ? static_cast<uint64_t>(totalBytes) / 2 : 256 * kMiB;
  size = std::min(std::max<uint64_t>(size, 64 * kMiB), cap);
  SortSizes s = sizesForMemory(options, size);
  s.growsTo = cap;
  return s;
}

uint64_t longRowNeed(const Options& o, const SortSizes& s, const RowShape& shape) {
  // As the library counts a row that goes to a run of its own: each field as the row
  // stores it, each key as it is encoded, and the sequence number of a stable sort.
  uint64_t need = libraryStable(o, s) ? tqrowbytes::kStableKeyBytes : 0;
  for (size_t i = 0; i < o.keys.size(); ++i) {
    const KeyOption& key = o.keys[i];
    tqbType type = libraryType(key.type);
    int64_t bytes = i < shape.keyBytes.size() ? shape.keyBytes[i] : -1;
    // The line as the last key: its bytes up to the line column's length (Shard::consume).
    if (key.lastResort) bytes = std::min<int64_t>(bytes, s.lineLength);
    need += keptInKey(o, i, shape.zeroBytes) ? tqrowbytes::kKeyOnlyFieldBytes : tqrowbytes::storedField(type, bytes);
    need += tqrowbytes::keyField(type, bytes);
  }
  if (s.sequenceKey) need += tqrowbytes::storedField(tqbTypeInteger, 0) + tqrowbytes::keyField(tqbTypeInteger, 0);
  need += tqrowbytes::storedField(tqbTypeString, static_cast<int64_t>(shape.lineBytes));  // the line column
  return need;
}

// The longest row the library's sort of these sizes takes (a row longer than a chunk
// becomes a run of its own, which the sort's memory must hold twice), as it says.
uint64_t rowLimit(const SortSizes& s) { return tqDatafileSortRowLimit(s.sortBytes, s.chunkBytes); }

int shardsForDescriptors() {
  constexpr rlim_t kDescriptorsPerSort = 12;  // twice a sort's least, and two to spare
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kMostShards;
  rlim_t open = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(dir)) open += entry->d_name[0] != '.';
    ::closedir(dir);
    open -= open > 0;  // the directory's own
  }
  rlim_t left = limit.rlim_cur > open ? limit.rlim_cur - open : 0;
  return static_cast<int>(std::clamp<rlim_t>(left / kDescriptorsPerSort, 1, kMostShards));
}

uint64_t minimumMemory(const Options& options, const RowShape& shape) {
  for (uint64_t memory = kMiB; memory <= kLargestSortSize * kMostShards; memory += kMiB) {
    SortSizes s = sizesForMemory(options, memory);
    uint64_t need = longRowNeed(options, s, shape);
    if (need > kTqMaxChunkSize) return 0;  // no size will do
    if (need <= rowLimit(s)) return memory;
    if (memory / static_cast<uint64_t>(s.shards) > kLargestSortSize) return 0;
  }
  return 0;
}

bool needsMoreMemory(const Options& options, const SortSizes& sizes, const RowShape& shape) {
  uint64_t need = longRowNeed(options, sizes, shape);
  return need > kTqMaxChunkSize || need > rowLimit(sizes);
}

std::string rowErrorMessage(const Options& options, const SortSizes& sizes, const RowShape& shape, int32_t status,
                            const std::string& libraryText, const InputFile& in, int64_t line, uint64_t lineBytes) {
  std::string where = in.shown + ":" + std::to_string(line) + ": ";
  if (status != TqDatafile::StatusNoRoom || !needsMoreMemory(options, sizes, shape)) return where + libraryText;
  uint64_t memory = minimumMemory(options, shape);
  if (memory == 0) {
    return where + "a line of " + std::to_string(lineBytes) + " bytes cannot be sorted: its key fields are longer than " +
           "a sort can hold";
  }
  return where + "a line of " + std::to_string(lineBytes) + " bytes needs -S of at least " +
         std::to_string(memory / kMiB) + "M";
}

}  // namespace tqsort
