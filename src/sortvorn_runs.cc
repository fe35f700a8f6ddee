// Run readers and the tournament tree; see sortvorn_runs.h for the record formats.
#include "src/sortvorn_runs.h"

#include <cstring>

#include "platform/tqballoc.h"

namespace tqlib {

namespace {
constexpr uint64_t kPrefetchDistance = 8;

// Why a run file is damaged.
constexpr const char* kLongerThanAny = "a record is longer than any its run was written with";
constexpr const char* kSharesTooMuch = "a record's key shares more bytes than the key before it has";
constexpr const char* kNoHeader = "a record's lengths are not numbers of 32 bits";

// Copies the `n` bytes at `from` to `to`, which lies after it (the two may overlap): every
// byte is read before any is written.  Most shared beginnings are short, and up to 16
// bytes move as two words each way, without a call.
inline void copyShared(uint8_t* to, const uint8_t* from, uint32_t n) {
  if (n >= 8 && n <= 16) {
    uint64_t head, tail;
    std::memcpy(&head, from, 8);
    std::memcpy(&tail, from + n - 8, 8);
    std::memcpy(to, &head, 8);
    std::memcpy(to + n - 8, &tail, 8);
  } else if (n >= 4 && n < 8) {
    uint32_t head, tail;
    std::memcpy(&head, from, 4);
    std::memcpy(&tail, from + n - 4, 4);
    std::memcpy(to, &head, 4);
    std::memcpy(to + n - 4, &tail, 4);
  } else if (n > 0) {
    std::memmove(to, from, n);
  }
}

// parseHeader for headers that are not three bytes below 128.
int parseLongHeader(const uint8_t* p, uint32_t n, RecordHeader* h) {
  uint32_t values[3];
  uint32_t at = 0;
  for (int i = 0; i < 3; ++i) {
    uint64_t value = 0;
    size_t used = 0;
    if (!tqvarint::get(p + at, n - at, &value, &used, tqvarint::kMost32)) {
      return n - at >= tqvarint::kMost32 ? -1 : i;
    }
    if (value > 0xFFFFFFFFu) return -1;
    values[i] = static_cast<uint32_t>(value);
    at += static_cast<uint32_t>(used);
  }
  *h = RecordHeader{values[0], values[1], values[2], at};
  return 3;
}

// Parses a record header from the `n` bytes at `p`: the numbers read whole (3: the
// header, in *h), or -1 when the bytes are no header (a number longer than 5 bytes, or
// past 32 bits).  Most headers are three bytes below 128.
inline int parseHeader(const uint8_t* p, uint32_t n, RecordHeader* h) {
  if (n >= 3 && ((p[0] | p[1] | p[2]) & 0x80) == 0) {
    *h = RecordHeader{p[0], p[1], p[2], 3};
    return 3;
  }
  return parseLongHeader(p, n, h);
}
}  // namespace

// --- RunReader --------------------------------------------------------------------------------

void RunReader::openMemory(TqSortVornImpl* engine, ChunkDescriptor* run, uint8_t* stage, uint32_t stageBytes) {
  engine_ = engine;
  run_ = run;
  left_ = run->rowCount;
  index_ = 0;
  exhausted_ = false;
  base_ = run->buffer;
  entries_ = engine->fixedLayout() ? nullptr : engine->entriesOf(run);
  window_ = stage;  // freed by close, as a window is
  stage_ = entries_ != nullptr ? stage : nullptr;
  stageSize_ = stageBytes;
  stageAt_ = 0;
  stageEnd_ = 0;
}

int32_t RunReader::openStream(TqSortVornImpl* engine, ChunkDescriptor* run, uint8_t* window, uint32_t windowBytes) {
  engine_ = engine;
  run_ = run;
  window_ = window;
  windowSize_ = windowBytes;
  row_ = RowRef{};  // a file's first record shares nothing
  left_ = run->rowCount;
  exhausted_ = false;
  filled_ = at_ = consumed_ = 0;
  int status = np_fio_open(run->tempFileName, 33, &file_);
  if (status != 0) {
    file_ = 0;
    const char* why = status == kNpErrSystem ? np_fio_errtext(np_fio_syserr(0)) : np_fio_errdesc(status);
    engine_->setError(TqDatafile::StatusIoError, TQ_MESSAGE(tqFileReopenMessage(status), run->tempFileName, why),
                      ChunkLock::notHeld);
    return TqDatafile::StatusIoError;
  }
  np_fio_bufmode(file_, 0);  // the window is the buffer
  engine_->noteRunStreamed();
  return 0;
}

void RunReader::restart() {
  left_ = run_->rowCount;
  index_ = 0;
  stageEnd_ = 0;
  exhausted_ = false;
}

void RunReader::close() {
  if (file_ != 0) np_fio_close(file_);
  file_ = 0;
  tqbFree(window_);
  window_ = nullptr;
  stage_ = nullptr;
}

int32_t RunReader::readFailed(int32_t got) {
  const char* why = got < 0 ? np_fio_errtext(np_fio_syserr(file_)) : "the file ended before the run's rows";
  engine_->setError(TqDatafile::StatusSystemError, TQ_MESSAGE(1007, why), ChunkLock::notHeld);
  return TqDatafile::StatusSystemError;
}

int32_t RunReader::damaged(const char* why) {
  engine_->setError(TqDatafile::StatusSystemError, TQ_MESSAGE(1007, why), ChunkLock::notHeld);
  return TqDatafile::StatusSystemError;
}

int32_t RunReader::ensure(uint32_t n, const uint8_t** bytes) {
  uint32_t have = filled_ - at_;
  if (have >= n) {
    *bytes = window_ + at_;
    return 0;
  }
  // The window holds the run's longest record: anything longer is not a record of it.
  if (n > windowSize_) return damaged(kLongerThanAny);
  // Move what is left to the window's start and fill the rest.
  std::memmove(window_, window_ + at_, have);
  filled_ = have;
  at_ = 0;
  while (filled_ < n) {
    int32_t got = np_fio_getb(file_, window_ + filled_, static_cast<int32_t>(windowSize_ - filled_));
    if (got <= 0) return readFailed(got);
    filled_ += static_cast<uint32_t>(got);
  }
  *bytes = window_;
  return 0;
}

int32_t RunReader::advance() {
  if (left_ == 0) {
    exhausted_ = true;
    return -1;
  }
  if (run_->buffer != nullptr && file_ == 0) {
    advanceInMemory();
    return 0;
  }
  // Skip the record returned last.
  at_ += consumed_;
  consumed_ = 0;
  const uint8_t* p = nullptr;
  int32_t status;
  if (engine_->fixedLayout()) {
    uint32_t rowLength = static_cast<uint32_t>(engine_->rowLength());
    uint32_t n = rowLength + engine_->keyAreaLength();
    if ((status = ensure(n, &p)) != 0) return status;
    row_ = RowRef{p + rowLength, engine_->keyAreaLength(), p, rowLength};
    consumed_ = n;
    tqKeyPrefix(row_.key, row_.keyLength, prefix_);
  } else if ((status = nextRecord()) != 0) {
    return status;
  }
  --left_;
  return 0;
}

int32_t RunReader::nextRecord() {
  // The key is made whole in the window, just before the rest of its bytes: the bytes it
  // shares with the key before are copied from that key (still in the window, ahead of
  // this record) over the header and the end of the record before, which are used up.
  // So the key and the row lie together, as the reader holds a record.
  RecordHeader h;
  uint32_t keyAt;
  int parsed = parseHeader(window_ + at_, filled_ - at_, &h);
  if (parsed == 3) {
    if (h.shared > row_.keyLength) return damaged(kSharesTooMuch);
    keyAt = at_ + h.bytes - h.shared;
    copyShared(window_ + keyAt, row_.key, h.shared);
  } else {
    if (parsed < 0) return damaged(kNoHeader);
    int32_t status = headerFromFile(&h);
    if (status != 0) return status;
    if (h.shared > row_.keyLength) return damaged(kSharesTooMuch);
    if (h.shared > 0) std::memmove(window_, row_.key, h.shared);  // to the window's start
    filled_ = h.shared;
    keyAt = 0;
  }
  const uint64_t keyLength = uint64_t{h.shared} + h.rest;
  const uint64_t n = keyLength + h.row;
  if (n > windowSize_) return damaged(kLongerThanAny);
  at_ = keyAt;
  const uint8_t* p = nullptr;
  int32_t status = ensure(static_cast<uint32_t>(n), &p);
  if (status != 0) return status;
  row_ = RowRef{p, static_cast<uint32_t>(keyLength), p + keyLength, h.row};
  consumed_ = static_cast<uint32_t>(n);
  nextPrefix(h.shared);
  return 0;
}

void RunReader::nextPrefix(uint32_t shared) {
  // The key's first 16 bytes are those of the key before when it shares that many.
  // Else the bytes it shares come from the prefix before, and the others straight from
  // the window, read in two words and shifted into place: the shared bytes just copied
  // are not read again (wide reads of bytes just written in small pieces wait for the
  // writes).
  if (shared >= 16) return;
  const uint8_t* rest = row_.key + shared;
  if (static_cast<uint64_t>(rest - window_) + 16 > windowSize_) {  // the window ends first
    tqKeyPrefix(row_.key, row_.keyLength, prefix_);
    return;
  }
  __extension__ typedef unsigned __int128 Bytes16;  // GCC's and Clang's 128-bit numbers
  uint64_t high, low;
  std::memcpy(&high, rest, 8);
  std::memcpy(&low, rest + 8, 8);
  Bytes16 key = ((Bytes16{__builtin_bswap64(high)} << 64) | __builtin_bswap64(low)) >> (8 * shared);
  const Bytes16 before = (Bytes16{prefix_[0]} << 64) | prefix_[1];
  const Bytes16 all = ~Bytes16{0};
  if (shared > 0) key |= before & ~(all >> (8 * shared));
  // Bytes past the key's end are zero.
  if (row_.keyLength < 16) key &= row_.keyLength == 0 ? 0 : ~(all >> (8 * row_.keyLength));
  prefix_[0] = static_cast<uint64_t>(key >> 64);
  prefix_[1] = static_cast<uint64_t>(key);
}

int32_t RunReader::headerFromFile(RecordHeader* h) {
  // What the window holds of the header, then the rest from the file.  Each number not
  // read whole yet has a byte at least still to come: reading that many bytes at a time
  // never reads past the header, so the window keeps the key before untouched.
  uint8_t bytes[kMostRecordHeader];
  uint32_t n = filled_ - at_;  // less than a whole header (parseHeader said so)
  std::memcpy(bytes, window_ + at_, n);
  at_ = filled_;
  for (int whole = parseHeader(bytes, n, h); whole != 3; whole = parseHeader(bytes, n, h)) {
    if (whole < 0) return damaged(kNoHeader);
    int32_t got = np_fio_getb(file_, bytes + n, 3 - whole);
    if (got <= 0) return readFailed(got);
    n += static_cast<uint32_t>(got);
  }
  return 0;
}

void RunReader::advanceInMemory() {
  --left_;
  if (entries_ == nullptr) {  // fixed records, sorted in place
    row_ = engine_->rowOf(run_, index_++, prefix_);
    return;
  }
  if (stage_ != nullptr) {
    advanceStaged();
    return;
  }
  const IndexEntry& e = entries_[index_++];
  prefix_[0] = e.prefix[0];
  prefix_[1] = e.prefix[1];
  row_ = RowRef{base_ + e.keyOffset, e.keyLength, base_ + e.rowOffset(), e.rowLength};
  // A chunk that was not gathered holds its rows in arrival order: ask for a row a few
  // ahead now, so that it is in the cache when the merge reaches it.
  if (!run_->inKeyOrder && left_ > kPrefetchDistance) {
    tqPrefetchRow(base_, entries_[index_ + kPrefetchDistance - 1]);
  }
}

void RunReader::advanceStaged() {
  if (index_ == stageEnd_) fillStage();
  const IndexEntry& e = entries_[index_++];
  prefix_[0] = e.prefix[0];
  prefix_[1] = e.prefix[1];
  const uint8_t* at = inPlace_ ? base_ + e.keyOffset : stage_ + stageAt_;
  row_ = RowRef{at, e.keyLength, at + e.keyLength, e.rowLength};
  stageAt_ += e.keyLength + e.rowLength;
}

void RunReader::fillStage() {
  const uint64_t end = run_->rowCount;
  const uint64_t first = index_;
  for (uint64_t i = first; i < end && i < first + kRowsAhead; ++i) tqPrefetchRow(base_, entries_[i]);
  uint32_t fill = 0;
  uint64_t i = first;
  for (; i < end; ++i) {
    const IndexEntry& e = entries_[i];
    const uint32_t bytes = e.keyLength + e.rowLength;
    if (bytes > stageSize_ - fill) break;
    if (i + kRowsAhead < end) tqPrefetchRow(base_, entries_[i + kRowsAhead]);
    std::memcpy(stage_ + fill, base_ + e.keyOffset, bytes);
    fill += bytes;
  }
  inPlace_ = i == first;  // a row longer than the stage
  stageEnd_ = inPlace_ ? first + 1 : i;
  stageAt_ = 0;
}

// --- RunWriter --------------------------------------------------------------------------------

bool RunWriter::put(const RowRef& r, uint32_t shared) {
  bool ok;
  if (fixedLayout_) {
    ok = add(r.row, r.rowLength) && add(r.key, r.keyLength);
  } else {
    if (fill_ + kMostRecordHeader <= windowSize_) {  // the header straight into the window
      fill_ += tqPutRecordHeader(window_ + fill_, shared, r.keyLength, r.rowLength);
      ok = true;
    } else {
      uint8_t header[kMostRecordHeader];
      ok = add(header, tqPutRecordHeader(header, shared, r.keyLength, r.rowLength));
    }
    ok = ok && add(r.key + shared, r.keyLength - shared) && add(r.row, r.rowLength);
  }
  if (r.keyLength + r.rowLength > longest_) longest_ = r.keyLength + r.rowLength;
  return ok;
}

bool RunWriter::add(const void* bytes, uint32_t n) {
  if (fill_ + n > windowSize_) {
    if (!flush()) return false;
    if (n > windowSize_) {
      written_ += n;
      return tqWriteAll(file_, bytes, n);
    }
  }
  std::memcpy(window_ + fill_, bytes, n);
  fill_ += n;
  return true;
}

bool RunWriter::flush() {
  const uint32_t n = fill_;
  fill_ = 0;
  written_ += n;
  return n == 0 || tqWriteAll(file_, window_, n);
}

// --- LoserTree --------------------------------------------------------------------------------

LoserTree::~LoserTree() { tqbFree(nodes_); }

bool LoserTree::build(RunReader** readers, uint32_t count) {
  tqbFree(nodes_);
  nodes_ = nullptr;
  using Tree = tqmerge::LoserTree<RunSources>;
  size_t entries = Tree::nodeCount(count);
  if (count > 1) {
    nodes_ = static_cast<Tree::Node*>(tqbMalloc(sizeof(Tree::Node) * entries));
    if (nodes_ == nullptr) return false;
  }
  sources_ = RunSources(readers);
  tree_.build(&sources_, count, nodes_);
  return true;
}

}  // namespace tqlib
