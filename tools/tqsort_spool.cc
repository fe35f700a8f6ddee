#include "tqsort_spool.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace tqsort {

namespace {

constexpr size_t kSmallestBlock = 4096;
// Lines of a window that lie closer than this in the file are read in one call: copying
// the gap costs less than another read.
constexpr uint64_t kReadGap = 8192;
constexpr size_t kMostVarintBytes = 10;

size_t putVarint(char* to, uint64_t v) {
  size_t n = 0;
  do {
    uint8_t b = static_cast<uint8_t>(v & 0x7F);
    v >>= 7;
    to[n++] = static_cast<char>(v != 0 ? b | 0x80 : b);
  } while (v != 0);
  return n;
}

size_t varintSize(uint64_t v) {
  size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

// Reads a varint from [p, p + n); false when it does not end there.
bool getVarint(const char* p, size_t n, uint64_t* value, size_t* used) {
  uint64_t v = 0;
  for (size_t i = 0; i < n && i < kMostVarintBytes; ++i) {
    uint8_t b = static_cast<uint8_t>(p[i]);
    v |= uint64_t{b & 0x7Fu} << (7 * i);
    if ((b & 0x80) == 0) {
      *value = v;
      *used = i + 1;
      return true;
    }
  }
  return false;
}

}  // namespace

LineSpool::LineSpool(const std::vector<std::string>& dirs, uint64_t memoryBytes, size_t bufferBytes)
    : file_(dirs, "spool", 0), memoryLimit_(memoryBytes), bufferBytes_(std::max(bufferBytes, kSmallestBlock)) {
  // Blocks as large as the buffer, and at least four of them in the memory.
  blockBytes_ = kSmallestBlock;
  while (blockBytes_ * 2 <= bufferBytes_ && blockBytes_ * 2 <= memoryBytes / 4) blockBytes_ *= 2;
  while ((size_t{1} << blockShift_) < blockBytes_) ++blockShift_;
  if (memoryBytes < blockBytes_) blocksClosed_ = true;
}

LineSpool::~LineSpool() = default;

Status LineSpool::tooLarge() const {
  return Status::error("the input is too large for --collate: its lines take more than " +
                       std::to_string((kOffsetMask + 1) >> 40) + " TiB");
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

Status LineSpool::append(const char* line, size_t length, int64_t* place) {
  if (length == 0) return Status::error("internal error: an empty line for the spool");
  size_t prefix = varintSize(length);
  if (prefix + length <= blockBytes_ && roomInBlocks(prefix + length)) {
    char* block = blocks_.back().get();
    size_t& used = blockUsed_.back();
    used += putVarint(block + used, length);
    uint64_t offset = (uint64_t{blocks_.size() - 1} << blockShift_) + used;
    std::memcpy(block + used, line, length);
    used += length;
    *place = static_cast<int64_t>((offset << kLengthBits) | length);
    ++memoryLines_;
    return Status();
  }
  // To the file; while lines still go to memory, a marker there keeps this one's turn.
  if (roomInBlocks(1)) blocks_.back()[blockUsed_.back()++] = 0;
  uint64_t start = fileSize_;
  if (start + prefix + length > kOffsetMask) return tooLarge();
  char head[kMostVarintBytes];
  TQSORT_TRY(writeFile(head, putVarint(head, length)));
  TQSORT_TRY(writeFile(line, length));
  uint64_t p = length < kLengthMask ? ((start + prefix) << kLengthBits) | length : (start << kLengthBits) | kLengthMask;
  *place = static_cast<int64_t>(p | (uint64_t{1} << 63));
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

Status LineSpool::readFile(uint64_t offset, char* to, size_t length) const { return file_.read(offset, to, length); }

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
  // A long line: its length is in front of it.
  char head[kMostVarintBytes];
  size_t n = static_cast<size_t>(std::min<uint64_t>(kMostVarintBytes, fileSize_ - *offset));
  TQSORT_TRY(readFile(*offset, head, n));
  size_t used = 0;
  if (!getVarint(head, n, length, &used)) return Status::error("internal error: a spooled line cannot be read");
  *offset += used;
  return Status();
}

Status LineSpool::replay(const std::function<Status(const char* line, size_t length, int64_t place)>& take) {
  TQSORT_TRY(flush());
  // The file is read in order through a buffer; a line longer than it, into `scratch`.
  std::unique_ptr<char[]> buffer;
  std::string scratch;
  uint64_t filePos = 0, bufferStart = 0, bufferEnd = 0;
  auto fileLine = [&]() -> Status {
    if (!buffer) buffer = std::make_unique_for_overwrite<char[]>(bufferBytes_);
    auto fill = [&](uint64_t from) -> Status {
      size_t n = static_cast<size_t>(std::min<uint64_t>(bufferBytes_, fileSize_ - from));
      TQSORT_TRY(readFile(from, buffer.get(), n));
      bufferStart = from;
      bufferEnd = from + n;
      return Status();
    };
    if (filePos + kMostVarintBytes > bufferEnd && bufferEnd < fileSize_) TQSORT_TRY(fill(filePos));
    uint64_t length = 0;
    size_t used = 0;
    if (filePos < bufferStart ||
        !getVarint(buffer.get() + (filePos - bufferStart), static_cast<size_t>(bufferEnd - filePos), &length, &used) ||
        filePos + used + length > fileSize_) {
      return Status::error("internal error: a spooled line cannot be read");
    }
    uint64_t record = filePos;
    filePos += used;
    uint64_t p = length < kLengthMask ? (filePos << kLengthBits) | length : (record << kLengthBits) | kLengthMask;
    int64_t place = static_cast<int64_t>(p | (uint64_t{1} << 63));
    if (filePos + length > bufferEnd && length <= bufferBytes_) TQSORT_TRY(fill(filePos));
    const char* line;
    if (filePos + length <= bufferEnd) {
      line = buffer.get() + (filePos - bufferStart);
    } else {
      scratch.resize(static_cast<size_t>(length));
      TQSORT_TRY(readFile(filePos, scratch.data(), scratch.size()));
      line = scratch.data();
    }
    filePos += length;
    Status s = take(line, static_cast<size_t>(length), place);
    if (scratch.capacity() > bufferBytes_) std::string().swap(scratch);
    return s;
  };
  for (size_t b = 0; b < blocks_.size(); ++b) {
    const char* block = blocks_[b].get();
    for (size_t p = 0; p < blockUsed_[b];) {
      uint64_t length = 0;
      size_t used = 0;
      if (!getVarint(block + p, blockUsed_[b] - p, &length, &used)) {
        return Status::error("internal error: a spooled line cannot be read");
      }
      p += used;
      if (length == 0) {
        TQSORT_TRY(fileLine());  // this line's turn: it went to the file
      } else {
        uint64_t offset = (uint64_t{b} << blockShift_) + p;
        TQSORT_TRY(take(block + p, static_cast<size_t>(length), static_cast<int64_t>((offset << kLengthBits) | length)));
        p += static_cast<size_t>(length);
      }
    }
  }
  while (filePos < fileSize_) TQSORT_TRY(fileLine());
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
