#include "tqsort_tempfile.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "tqdatafile/tqdatafile.h"

namespace tqsort {

namespace {

// A directory that cannot take more bytes: the next one may.
bool full(int error) { return error == ENOSPC || error == EDQUOT; }

// A frame's compressed bytes on their way, per thread.
thread_local NpFrameBuffer t_scratch(kNpFrameSystemAllocator);

// The codec that the run chose for temporary files ("BASE/COMPRESS"), null for none; lz4
// for a spill read anywhere where a program is chosen, and for a value that names no
// codec (tqsort's options never give one).
std::unique_ptr<NpFrameCodec> chosenCodec(TempSpill::Reads reads) {
  TqbString value;
  if (!tqbGetConfigOptions("")->lookup(TqbString(kNpCompressKey), value)) return nullptr;
  char program[4096];
  int codec = npFrameCodec(value.asCstr(), program, sizeof(program));
  if (codec == kNpCodecNone) return nullptr;
  if (codec < 0 || (codec == kNpCodecProgram && reads == TempSpill::Reads::anywhere)) codec = kNpCodecLz4;
  auto made = std::make_unique<NpFrameCodec>(codec, program, kNpFrameSystemAllocator);
  if (!made->ok()) throw std::bad_alloc();
  return made;
}

}  // namespace

TempSpill::TempSpill(std::vector<std::string> dirs, std::string name, size_t firstDir, uint64_t segmentBytes,
                     Reads reads)
    : dirs_(std::move(dirs)),
      name_(std::move(name)),
      segmentBytes_(segmentBytes),
      nextDir_(dirs_.empty() ? 0 : firstDir % dirs_.size()),
      codec_(chosenCodec(reads)) {
  if (dirs_.empty()) dirs_.push_back(".");
}

TempSpill::~TempSpill() {
  if (writeFd_ >= 0) ::close(writeFd_);
  if (readFd_ >= 0) ::close(readFd_);
  for (const Segment& s : segments_) ::unlink(s.path.c_str());
}

Status TempSpill::writeFailed(const std::string& path, int error) const {
  std::string message = "cannot write the temporary file '" + printable(path) + "': " + systemError(error);
  if (full(error) && dirs_.size() > 1) message += " (so are the other temporary directories)";
  return Status::error(message);
}

Status TempSpill::nextSegment(int whyNot) {
  if (writeFd_ >= 0) ::close(writeFd_);
  writeFd_ = -1;
  if (!segments_.empty() && segments_.back().length == 0) {
    // It took nothing: it goes, and the next one takes its number.
    ::unlink(segments_.back().path.c_str());
    segments_.pop_back();
  }
  std::string path;
  int error = whyNot;
  for (size_t tried = 0; tried < dirs_.size(); ++tried) {
    const std::string& dir = dirs_[nextDir_];
    nextDir_ = (nextDir_ + 1) % dirs_.size();
    path = dir + (dir.back() == '/' ? "" : "/") + name_ + "." + std::to_string(segments_.size());
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      writeFd_ = fd;
      auto frames = codec_ ? std::make_unique<NpFrameIndex>(kNpFrameSystemAllocator) : nullptr;
      segments_.push_back(Segment{path, size_ - pending_, 0, std::move(frames)});
      return Status();
    }
    error = errno;
    if (!full(error)) break;  // not a full directory: something the user must see
  }
  return writeFailed(path, error);
}

uint64_t TempSpill::diskBytes() const {
  if (!codec_) return size_;
  uint64_t bytes = 0;
  for (const Segment& s : segments_) bytes += s.frames->diskBytes();
  return bytes;
}

Status TempSpill::append(const char* data, size_t length) {
  if (codec_) return appendPacked(data, length);
  // Directories found full since the last byte was written: when every one is, the
  // append fails.
  size_t fullInARow = 0;
  while (length > 0) {
    if (writeFd_ < 0 || (dirs_.size() > 1 && segments_.back().length >= segmentBytes_)) TQSORT_TRY(nextSegment(0));
    Segment& s = segments_.back();
    ssize_t n = ::pwrite(writeFd_, data, length, static_cast<off_t>(s.length));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      if (!full(error) || ++fullInARow >= dirs_.size()) return writeFailed(s.path, error);
      TQSORT_TRY(nextSegment(error));
      continue;
    }
    fullInARow = 0;
    s.length += static_cast<uint64_t>(n);
    size_ += static_cast<uint64_t>(n);
    data += n;
    length -= static_cast<size_t>(n);
  }
  return Status();
}

Status TempSpill::segmentAt(uint64_t offset, size_t* index, int* fd) const {
  // The segment that holds `offset`: the last one starting at or before it.
  auto after = std::upper_bound(segments_.begin(), segments_.end(), offset,
                                [](uint64_t at, const Segment& s) { return at < s.start; });
  if (after == segments_.begin() || offset >= size_) {
    return Status::error("internal error: a read past the end of the temporary file '" + printable(path()) + "'");
  }
  *index = static_cast<size_t>(after - segments_.begin()) - 1;
  const Segment& s = segments_[*index];
  *fd = *index + 1 == segments_.size() ? writeFd_ : -1;
  if (*fd < 0) {
    if (readFd_ < 0 || readSegment_ != *index) {
      if (readFd_ >= 0) ::close(readFd_);
      readFd_ = ::open(s.path.c_str(), O_RDONLY | O_CLOEXEC);
      if (readFd_ < 0) {
        return Status::error("cannot read the temporary file '" + printable(s.path) + "': " + systemError(errno));
      }
      readSegment_ = *index;
    }
    *fd = readFd_;
  }
  return Status();
}

Status TempSpill::read(uint64_t offset, char* to, size_t length) const {
  if (codec_) return readPacked(offset, to, length);
  while (length > 0) {
    size_t index = 0;
    int fd = -1;
    TQSORT_TRY(segmentAt(offset, &index, &fd));
    const Segment& s = segments_[index];
    size_t n = static_cast<size_t>(std::min<uint64_t>(length, s.start + s.length - offset));
    ssize_t got = ::pread(fd, to, n, static_cast<off_t>(offset - s.start));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      return Status::error("cannot read the temporary file '" + printable(s.path) +
                           "': " + (got < 0 ? systemError(errno) : std::string("it ended before its lines")));
    }
    offset += static_cast<uint64_t>(got);
    to += got;
    length -= static_cast<size_t>(got);
  }
  return Status();
}

// --- compressed ---------------------------------------------------------------------------

Status TempSpill::appendPacked(const char* data, size_t length) {
  const uint32_t frameBytes = codec_->frameBytes();
  if (!frame_) {
    // The buffer of the reads takes the bytes to write again.
    frame_ = cache_ ? std::move(cache_) : std::make_unique_for_overwrite<uint8_t[]>(frameBytes);
    cacheLength_ = 0;
  }
  while (length > 0) {
    // A full frame is written when more bytes come (or at seal()).
    if (pending_ == frameBytes) TQSORT_TRY(writeFrame());
    size_t n = std::min<size_t>(frameBytes - pending_, length);
    std::memcpy(frame_.get() + pending_, data, n);
    pending_ += static_cast<uint32_t>(n);
    size_ += n;
    data += n;
    length -= n;
  }
  return Status();
}

Status TempSpill::writeFrame() {
  // Directories found full since the frame was begun: when every one is, it fails.
  size_t fullInARow = 0;
  for (;;) {
    if (writeFd_ < 0 || (dirs_.size() > 1 && segments_.back().length >= segmentBytes_)) TQSORT_TRY(nextSegment(0));
    Segment& s = segments_.back();
    int error = 0;
    NpFrameFailure failure;
    if (s.frames->append(writeFd_, *codec_, frame_.get(), pending_, &t_scratch, &error, &failure)) {
      s.length += pending_;
      pending_ = 0;
      return Status();
    }
    if (failure.text[0] != '\0') return Status::error(failure.text);
    if (!full(error) || ++fullInARow >= dirs_.size()) return writeFailed(s.path, error);
    TQSORT_TRY(nextSegment(error));
  }
}

Status TempSpill::seal() {
  if (!codec_ || !frame_) return Status();
  if (pending_ > 0) TQSORT_TRY(writeFrame());
  if (!cache_) cache_ = std::move(frame_);
  frame_.reset();
  return Status();
}

Status TempSpill::finish() {
  TQSORT_TRY(seal());
  if (writeFd_ >= 0) ::close(writeFd_);
  writeFd_ = -1;
  return Status();
}

Status TempSpill::readPacked(uint64_t offset, char* to, size_t length) const {
  const uint64_t written = size_ - pending_;
  while (length > 0) {
    const uint8_t* from = nullptr;
    uint64_t avail = 0;
    if (offset >= written && offset < size_) {
      from = frame_.get() + (offset - written);
      avail = size_ - offset;
    } else if (cacheLength_ > 0 && offset >= cacheStart_ && offset < cacheStart_ + cacheLength_) {
      from = cache_.get() + (offset - cacheStart_);
      avail = cacheStart_ + cacheLength_ - offset;
    }
    if (from != nullptr) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(avail, length));
      std::memcpy(to, from, n);
      to += n;
      offset += n;
      length -= n;
      continue;
    }
    // A written frame: into the buffer of the reads.
    size_t index = 0;
    int fd = -1;
    TQSORT_TRY(segmentAt(offset, &index, &fd));
    const Segment& s = segments_[index];
    NpFrameExtent where = s.frames->extent(s.frames->frameAt(offset - s.start));
    if (!cache_) cache_ = std::make_unique_for_overwrite<uint8_t[]>(codec_->frameBytes());
    cacheLength_ = 0;
    int error = 0;
    NpFrameFailure failure;
    if (!codec_->read(fd, where, cache_.get(), &t_scratch, &error, &failure)) {
      if (failure.text[0] != '\0') return Status::error(failure.text);
      return Status::error("cannot read the temporary file '" + printable(s.path) + "': " + systemError(error));
    }
    cacheStart_ = s.start + where.raw;
    cacheLength_ = where.rawLength;
  }
  return Status();
}

}  // namespace tqsort
