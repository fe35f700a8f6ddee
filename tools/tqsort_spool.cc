#include "tqsort_spool.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "core/varint.h"
#include "tqsort_input.h"

namespace tqsort {

namespace {

constexpr size_t kSmallestBlock = 4096;
// Lines of a window that lie closer than this in the file are read in one call: copying
// the gap costs less than another read.
constexpr uint64_t kReadGap = 8192;

int64_t outsideMemory(uint64_t offset, uint64_t length) {
  return static_cast<int64_t>((offset << LineSpool::kLengthBits) | length | (uint64_t{1} << 63));
}

// Bytes read in order through a buffer: the file's, or the inputs'.
struct ReadWindow {
  std::unique_ptr<char[]> buffer;
  uint64_t start = 0;
  uint64_t end = 0;
};

}  // namespace

LineSpool::LineSpool(const std::vector<std::string>& dirs, uint64_t memoryBytes, size_t bufferBytes)
    : file_(dirs, "spool", 0), memoryLimit_(memoryBytes), bufferBytes_(std::max(bufferBytes, kSmallestBlock)) {
  // Blocks as large as the buffer, and at least four of them in the memory.
  blockBytes_ = kSmallestBlock;
  while (blockBytes_ * 2 <= bufferBytes_ && blockBytes_ * 2 <= memoryBytes / 4) blockBytes_ *= 2;
  while ((size_t{1} << blockShift_) < blockBytes_) ++blockShift_;
  if (memoryBytes < blockBytes_) blocksClosed_ = true;
}

LineSpool::~LineSpool() {
  for (const Input& in : inputs_) {
    if (in.fd >= 0) ::close(in.fd);
  }
}

Status LineSpool::tooLarge() const {
  return Status::error("the input is too large for --collate: its lines take more than " +
                       std::to_string(kInputSpace >> 40) + " TiB");
}

void LineSpool::readInputsAgain(uint64_t outDevice, uint64_t outInode) {
  inputsAllowed_ = true;
  outDevice_ = outDevice;
  outInode_ = outInode;
}

LineSpool::Input LineSpool::openInput(const InputFile* from) const {
  Input input{from, -1, inputBytes_};
  if (from->size < 0 || from->name == "-" || (from->device == outDevice_ && from->inode == outInode_) ||
      inputBytes_ + static_cast<uint64_t>(from->size) > kInputSpace) {
    return input;
  }
  int fd = ::open(from->name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return input;  // (no descriptor to spare, say): its lines are copied
  struct stat st;
  if (::fstat(fd, &st) != 0 || !unchangedRegularFile(*from, st)) {
    ::close(fd);
    return input;
  }
  input.fd = fd;
  return input;
}

const LineSpool::Input* LineSpool::inputFor(const InputFile* from) {
  if (!inputsAllowed_ || from == nullptr) return nullptr;
  for (size_t i = inputs_.size(); i-- > 0;) {
    if (inputs_[i].file == from) return inputs_[i].fd >= 0 ? &inputs_[i] : nullptr;
  }
  if (inputs_.size() >= kMostInputs) return nullptr;
  inputs_.push_back(openInput(from));
  if (inputs_.back().fd < 0) return nullptr;
  inputBytes_ += static_cast<uint64_t>(from->size);
  return &inputs_.back();
}

Status LineSpool::leaveInInput(const Input& input, uint64_t offset, size_t length, int64_t* place) {
  uint64_t at = input.base + offset;
  char head[2 * tqvarint::kMost64 + 1];
  size_t n = 0;
  if (at != inputCursor_) {
    head[n++] = 0;
    n += tqvarint::put(head + n, at);
  }
  n += tqvarint::put(head + n, uint64_t{length} * 2 + 1);
  if (fileSize_ + n > kInputSpace) return tooLarge();
  TQSORT_TRY(writeFile(head, n));
  inputCursor_ = at + length;
  *place = outsideMemory(kInputSpace + at, length);
  ++fileLines_;
  ++inputLines_;
  return Status();
}

Status LineSpool::checkInputs() const {
  for (const Input& in : inputs_) {
    struct stat st;
    if (in.fd >= 0 && (::fstat(in.fd, &st) != 0 || !unchangedRegularFile(*in.file, st))) {
      return Status::error("'" + in.file->shown + "' changed while it was sorted: the sorted lines cannot be written");
    }
  }
  return Status();
}

Status LineSpool::readInputs(uint64_t offset, char* to, size_t length) const {
  while (length > 0) {
    const Input* in = nullptr;
    for (const Input& i : inputs_) {
      if (i.fd >= 0 && i.base <= offset && offset - i.base < static_cast<uint64_t>(i.file->size)) in = &i;
    }
    if (in == nullptr) return Status::error("internal error: a line's place is in no input");
    uint64_t at = offset - in->base;
    size_t n = static_cast<size_t>(std::min<uint64_t>(length, static_cast<uint64_t>(in->file->size) - at));
    ssize_t got = ::pread(in->fd, to, n, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Status::error("cannot read '" + in->file->shown + "': " + systemError(errno));
    if (got == 0) return Status::error("'" + in->file->shown + "' changed while it was sorted: it ended early");
    to += got;
    offset += static_cast<uint64_t>(got);
    length -= static_cast<size_t>(got);
  }
  return Status();
}

bool LineSpool::roomInBlocks(size_t bytes) {
  if (blocksClosed_) return false;
  if (!blocks_.empty() && blockUsed_.back() + bytes <= blockBytes_) return true;
  if ((blocks_.size() + 1) * blockBytes_ > memoryLimit_) {
    blocksClosed_ = true;
    return false;
  }
  blocks_.push_back(std::make_unique_for_overwrite<char[]>(blockBytes_));
  blockUsed_.push_back(0);
  ++blocksUsed_;
  return true;
}

Status LineSpool::append(const char* line, size_t length, int64_t* place, const InputFile* from, int64_t offset) {
  if (length == 0) return Status::error("internal error: an empty line for the spool");
  size_t prefix = tqvarint::size(length);
  if (prefix + length <= blockBytes_ && roomInBlocks(prefix + length)) {
    char* block = blocks_.back().get();
    size_t& used = blockUsed_.back();
    used += tqvarint::put(block + used, length);
    uint64_t inBlocks = (uint64_t{blocks_.size() - 1} << blockShift_) + used;
    std::memcpy(block + used, line, length);
    used += length;
    *place = static_cast<int64_t>((inBlocks << kLengthBits) | length);
    ++memoryLines_;
    return Status();
  }
  // To the file; while lines still go to memory, a marker there keeps this one's turn.
  if (roomInBlocks(1)) blocks_.back()[blockUsed_.back()++] = 0;
  const Input* input = offset >= 0 && length < kLengthMask ? inputFor(from) : nullptr;
  if (input != nullptr && static_cast<uint64_t>(offset) + length <= static_cast<uint64_t>(from->size)) {
    return leaveInInput(*input, static_cast<uint64_t>(offset), length, place);
  }
  uint64_t start = fileSize_;
  char head[tqvarint::kMost64];
  size_t headLength = tqvarint::put(head, uint64_t{length} * 2);
  if (start + headLength + length > kInputSpace) return tooLarge();
  TQSORT_TRY(writeFile(head, headLength));
  TQSORT_TRY(writeFile(line, length));
  *place = length < kLengthMask ? outsideMemory(start + headLength, length) : outsideMemory(start, kLengthMask);
  ++fileLines_;
  return Status();
}

Status LineSpool::writeFile(const char* data, size_t length) {
  if (!buffer_) buffer_ = std::make_unique_for_overwrite<char[]>(bufferBytes_);
  if (buffered_ + length > bufferBytes_) {
    TQSORT_TRY(drain());
    if (length >= bufferBytes_) {
      // Longer than the buffer: written as it is.
      TQSORT_TRY(file_.append(data, length));
      fileSize_ += length;
      return Status();
    }
  }
  std::memcpy(buffer_.get() + buffered_, data, length);
  buffered_ += length;
  fileSize_ += length;
  return Status();
}

Status LineSpool::drain() {
  if (buffered_ == 0) return Status();
  TQSORT_TRY(file_.append(buffer_.get(), buffered_));
  buffered_ = 0;
  return Status();
}

Status LineSpool::flush() {
  TQSORT_TRY(drain());
  return file_.seal();
}

Status LineSpool::readFile(uint64_t offset, char* to, size_t length) const {
  if (offset >= kInputSpace) return readInputs(offset - kInputSpace, to, length);
  return file_.read(offset, to, length);
}

Status LineSpool::lineAt(int64_t place, std::string* scratch, const char** line, size_t* length) const {
  if (!inFile(place)) {
    *line = memoryLine(place, length);
    return Status();
  }
  uint64_t offset = 0, bytes = 0;
  TQSORT_TRY(fileLine(place, &offset, &bytes));
  scratch->resize(static_cast<size_t>(bytes));
  TQSORT_TRY(readFile(offset, scratch->data(), scratch->size()));
  *line = scratch->data();
  *length = scratch->size();
  return Status();
}

Status LineSpool::fileLine(int64_t place, uint64_t* offset, uint64_t* length) const {
  uint64_t p = static_cast<uint64_t>(place);
  *offset = (p >> kLengthBits) & kOffsetMask;
  *length = p & kLengthMask;
  if (*length != kLengthMask) return Status();
  // A long line: its length is in its record, in front of it.
  char head[tqvarint::kMost64];
  size_t n = static_cast<size_t>(std::min<uint64_t>(tqvarint::kMost64, fileSize_ - *offset));
  TQSORT_TRY(readFile(*offset, head, n));
  size_t used = 0;
  uint64_t record = 0;
  if (!tqvarint::get(head, n, &record, &used) || (record & 1) != 0) {
    return Status::error("internal error: a spooled line cannot be read");
  }
  *length = record >> 1;
  *offset += used;
  return Status();
}

// The file's records read in order, with the lines they name, for replay.
class LineSpool::Replay {
 public:
  using Take = std::function<Status(const char* line, size_t length, int64_t place)>;
  explicit Replay(const LineSpool& spool) : spool_(spool) {}
  // The next line outside memory, to `take`.
  Status next(const Take& take);
  bool done() const { return filePos_ >= spool_.fileSize_; }

 private:
  static Status broken() { return Status::error("internal error: a spooled line cannot be read"); }
  // [at, at + length) of the file or of the inputs (below `limit`), at *p: through
  // `window` when the line fits its buffer, else through scratch_.
  Status view(ReadWindow* window, uint64_t at, uint64_t length, uint64_t limit, const char** p);
  Status varint(uint64_t* value);

  const LineSpool& spool_;
  ReadWindow file_;
  ReadWindow inputs_;
  std::string scratch_;
  uint64_t filePos_ = 0;
  uint64_t cursor_ = 0;  // where in the inputs the next line left there starts
};

Status LineSpool::Replay::view(ReadWindow* window, uint64_t at, uint64_t length, uint64_t limit, const char** p) {
  const size_t size = spool_.bufferBytes_;
  if (length > size) {
    scratch_.resize(static_cast<size_t>(length));
    TQSORT_TRY(spool_.readFile(at, scratch_.data(), scratch_.size()));
    *p = scratch_.data();
    return Status();
  }
  if (at < window->start || at + length > window->end) {
    if (!window->buffer) window->buffer = std::make_unique_for_overwrite<char[]>(size);
    uint64_t n = std::min<uint64_t>(size, limit - at);
    TQSORT_TRY(spool_.readFile(at, window->buffer.get(), static_cast<size_t>(n)));
    window->start = at;
    window->end = at + n;
  }
  *p = window->buffer.get() + (at - window->start);
  return Status();
}

Status LineSpool::Replay::varint(uint64_t* value) {
  if (filePos_ >= spool_.fileSize_) return broken();
  uint64_t n = std::min<uint64_t>(tqvarint::kMost64, spool_.fileSize_ - filePos_);
  const char* p = nullptr;
  TQSORT_TRY(view(&file_, filePos_, n, spool_.fileSize_, &p));
  size_t used = 0;
  if (!tqvarint::get(p, static_cast<size_t>(n), value, &used)) return broken();
  filePos_ += used;
  return Status();
}

Status LineSpool::Replay::next(const Take& take) {
  uint64_t record = filePos_;
  uint64_t head = 0;
  TQSORT_TRY(varint(&head));
  if (head == 0) {  // where the next line left in the inputs starts
    TQSORT_TRY(varint(&cursor_));
    record = filePos_;
    TQSORT_TRY(varint(&head));
    if ((head & 1) == 0) return broken();
  }
  const uint64_t length = head >> 1;
  const char* line = nullptr;
  int64_t place = 0;
  if ((head & 1) != 0) {
    const uint64_t limit = kInputSpace + spool_.inputBytes_;
    const uint64_t at = kInputSpace + cursor_;
    if (length == 0 || at + length > limit) return broken();
    TQSORT_TRY(view(&inputs_, at, length, limit, &line));
    place = outsideMemory(at, length);
    cursor_ += length;
  } else {
    if (length == 0 || filePos_ + length > spool_.fileSize_) return broken();
    TQSORT_TRY(view(&file_, filePos_, length, spool_.fileSize_, &line));
    place = length < kLengthMask ? outsideMemory(filePos_, length) : outsideMemory(record, kLengthMask);
    filePos_ += length;
  }
  Status s = take(line, static_cast<size_t>(length), place);
  if (scratch_.capacity() > spool_.bufferBytes_) std::string().swap(scratch_);
  return s;
}

Status LineSpool::replay(const std::function<Status(const char* line, size_t length, int64_t place)>& take) {
  TQSORT_TRY(flush());
  Replay file(*this);
  for (size_t b = 0; b < blocks_.size(); ++b) {
    const char* block = blocks_[b].get();
    for (size_t p = 0; p < blockUsed_[b];) {
      uint64_t length = 0;
      size_t used = 0;
      if (!tqvarint::get(block + p, blockUsed_[b] - p, &length, &used)) {
        return Status::error("internal error: a spooled line cannot be read");
      }
      p += used;
      if (length == 0) {
        TQSORT_TRY(file.next(take));  // this line's turn: it is outside memory
      } else {
        uint64_t offset = (uint64_t{b} << blockShift_) + p;
        TQSORT_TRY(take(block + p, static_cast<size_t>(length), static_cast<int64_t>((offset << kLengthBits) | length)));
        p += static_cast<size_t>(length);
      }
    }
  }
  while (!file.done()) TQSORT_TRY(file.next(take));
  return Status();
}

// --- writing lines in another order -------------------------------------------------------

LineGather::LineGather(const LineSpool& spool, uint64_t windowBytes, OutputStream* out) : spool_(spool), out_(out) {
  readBytes_ = static_cast<size_t>(std::clamp<uint64_t>(windowBytes / 8, 16u << 10, 1u << 20));
  uint64_t rest = windowBytes > readBytes_ ? windowBytes - readBytes_ : 0;
  entryLimit_ = static_cast<size_t>(std::max<uint64_t>(rest / 4 / sizeof(Entry), 16));
  bufferBytes_ = static_cast<size_t>(std::max<uint64_t>(rest - std::min<uint64_t>(rest, entryLimit_ * sizeof(Entry)), 4096));
  entries_.reserve(entryLimit_);
}

Status LineGather::addSlow(int64_t place) {
  if (!LineSpool::inFile(place)) {
    // A line in memory that the window has no room for.
    TQSORT_TRY(flush());
    size_t length = 0;
    const char* line = spool_.memoryLine(place, &length);
    return out_->write(line, length);
  }
  uint64_t offset = 0, length = 0;
  TQSORT_TRY(spool_.fileLine(place, &offset, &length));
  if (length > bufferBytes_ / 2 || (static_cast<uint64_t>(place) & LineSpool::kLengthMask) == LineSpool::kLengthMask) {
    TQSORT_TRY(flush());
    return writeStraight(offset, length);
  }
  if (used_ + length > bufferBytes_ || entries_.size() >= entryLimit_) TQSORT_TRY(flush());
  if (!buffer_) buffer_ = std::make_unique_for_overwrite<char[]>(bufferBytes_);
  entries_.push_back(Entry{static_cast<uint64_t>(place), used_});
  used_ += static_cast<size_t>(length);
  return Status();
}

Status LineGather::writeStraight(uint64_t offset, uint64_t length) {
  if (!read_) read_ = std::make_unique_for_overwrite<char[]>(readBytes_);
  while (length > 0) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(length, readBytes_));
    TQSORT_TRY(spool_.readFile(offset, read_.get(), n));
    ++reads_;
    TQSORT_TRY(out_->write(read_.get(), n));
    offset += n;
    length -= n;
  }
  return Status();
}

Status LineGather::flush() {
  if (entries_.empty()) return Status();
  ++windows_;
  std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) { return a.place < b.place; });
  const size_t n = entries_.size();
  size_t i = 0;
  // Lines in memory first (their places sort before the file's).
  for (; i < n && !LineSpool::inFile(static_cast<int64_t>(entries_[i].place)); ++i) {
    size_t length = 0;
    const char* line = spool_.memoryLine(static_cast<int64_t>(entries_[i].place), &length);
    std::memcpy(buffer_.get() + entries_[i].at, line, length);
  }
  auto offsetOf = [](const Entry& e) { return (e.place >> LineSpool::kLengthBits) & LineSpool::kOffsetMask; };
  auto lengthOf = [](const Entry& e) { return e.place & LineSpool::kLengthMask; };
  while (i < n) {
    // The lines from i on that one read takes: each near the one before, all within
    // the read buffer.
    uint64_t start = offsetOf(entries_[i]);
    uint64_t end = start + lengthOf(entries_[i]);
    size_t j = i + 1;
    for (; j < n; ++j) {
      uint64_t at = offsetOf(entries_[j]), stop = at + lengthOf(entries_[j]);
      if (at > end + kReadGap || stop - start > readBytes_) break;
      end = std::max(end, stop);
    }
    ++reads_;
    if (j == i + 1) {
      TQSORT_TRY(spool_.readFile(start, buffer_.get() + entries_[i].at, static_cast<size_t>(end - start)));
    } else {
      if (!read_) read_ = std::make_unique_for_overwrite<char[]>(readBytes_);
      TQSORT_TRY(spool_.readFile(start, read_.get(), static_cast<size_t>(end - start)));
      for (size_t k = i; k < j; ++k) {
        std::memcpy(buffer_.get() + entries_[k].at, read_.get() + (offsetOf(entries_[k]) - start),
                    static_cast<size_t>(lengthOf(entries_[k])));
      }
    }
    i = j;
  }
  Status s = out_->write(buffer_.get(), used_);
  entries_.clear();
  used_ = 0;
  return s;
}

}  // namespace tqsort
