#include "tqsort_tempfile.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace tqsort {

namespace {

// A directory that cannot take more bytes: the next one may.
bool full(int error) { return error == ENOSPC || error == EDQUOT; }

}  // namespace

TempSpill::TempSpill(std::vector<std::string> dirs, std::string name, size_t firstDir, uint64_t segmentBytes)
    : dirs_(std::move(dirs)),
      name_(std::move(name)),
      segmentBytes_(segmentBytes),
      nextDir_(dirs_.empty() ? 0 : firstDir % dirs_.size()) {
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
      segments_.push_back(Segment{path, size_, 0});
      return Status();
    }
    error = errno;
    if (!full(error)) break;  // not a full directory: something the user must see
  }
  return writeFailed(path, error);
}

Status TempSpill::append(const char* data, size_t length) {
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

Status TempSpill::read(uint64_t offset, char* to, size_t length) const {
  while (length > 0) {
    // The segment that holds `offset`: the last one starting at or before it.
    auto after = std::upper_bound(segments_.begin(), segments_.end(), offset,
                                  [](uint64_t at, const Segment& s) { return at < s.start; });
    if (after == segments_.begin() || offset >= size_) {
      return Status::error("internal error: a read past the end of the temporary file '" + printable(path()) + "'");
    }
    size_t index = static_cast<size_t>(after - segments_.begin()) - 1;
    const Segment& s = segments_[index];
    int fd = index + 1 == segments_.size() ? writeFd_ : -1;
    if (fd < 0) {
      if (readFd_ < 0 || readSegment_ != index) {
        if (readFd_ >= 0) ::close(readFd_);
        readFd_ = ::open(s.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (readFd_ < 0) {
          return Status::error("cannot read the temporary file '" + printable(s.path) + "': " + systemError(errno));
        }
        readSegment_ = index;
      }
      fd = readFd_;
    }
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

}  // namespace tqsort
