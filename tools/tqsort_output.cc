#include "tqsort_output.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "tqsort_cleanup.h"

namespace tqsort {

namespace {

std::string directoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

mode_t currentUmask() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

}  // namespace

Status resolveLinks(const std::string& path, std::string* resolved, bool* procLink) {
  std::string current = path;
  *procLink = false;
  for (int hops = 0; hops <= 40; ++hops) {
    struct stat st;
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *resolved = current;
      return Status();
    }
    // /dev/stdout, /dev/fd/N and /proc/self/fd/N lead into /proc, whose links name
    // open files (a pipe, a terminal, a deleted file) rather than paths to replace.
    char* dir = ::realpath(directoryOf(current).c_str(), nullptr);
    bool inProc = dir != nullptr && (std::strcmp(dir, "/proc") == 0 || std::strncmp(dir, "/proc/", 6) == 0);
    std::free(dir);
    if (inProc) {
      *procLink = true;
      *resolved = current;
      return Status();
    }
    std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 256) + 1, '\0');
    ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
    if (n < 0) return Status::error("cannot read the link '" + printable(current) + "': " + systemError(errno));
    target.resize(static_cast<size_t>(n));
    current = target[0] == '/' ? target : directoryOf(current) + "/" + target;
  }
  return Status::error("cannot write '" + printable(path) + "': " + systemError(ELOOP));
}

OutputTarget::~OutputTarget() {
  if (ownsFd_ && fd_ >= 0) ::close(fd_);
}

Status OutputTarget::prepare(const std::string& path) {
  path_ = path;
  if (path.empty()) {
    kind_ = Kind::StandardOutput;
    shown_ = "(standard output)";
    fd_ = 1;
    return Status();
  }
  shown_ = printable(path);
  bool procLink = false;
  TQSORT_TRY(resolveLinks(path, &target_, &procLink));
  struct stat st;
  bool exists = ::stat(target_.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) return cannotWrite(errno);
  if (exists && S_ISDIR(st.st_mode)) return Status::error("cannot write '" + shown_ + "': it is a directory");
  if (procLink || (exists && !S_ISREG(st.st_mode))) {
    // A device, FIFO or socket: opened when the output starts (a FIFO's open waits for
    // its reader), checked now.
    kind_ = Kind::Open;
    target_ = path;
    if (::access(path.c_str(), W_OK) != 0) return cannotWrite(errno);
    return Status();
  }
  if (!exists) {
    kind_ = Kind::Replace;
    return makeReplacement(nullptr);
  }
  return prepareExisting(st);
}

Status OutputTarget::cannotWrite(int error) const {
  return Status::error("cannot write '" + shown_ + "': " + systemError(error));
}

Status OutputTarget::prepareExisting(const struct stat& st) {
  // Replacing the file by a rename needs only the directory: it must not let anyone do
  // what writing the file would not.  So the file is opened for writing (not truncated)
  // first; the refusal is the system's.
  int fd = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return cannotWrite(errno);
  fd_ = fd;
  ownsFd_ = true;
  kind_ = Kind::InPlace;
  // With other hard links, replacing would cut this name off from them; a file that
  // cannot be made beside it, or that would not keep the owner, group and mode, would
  // not be the same file: then it is rewritten in place (same inode) once all input has
  // been read.
  if (st.st_nlink > 1) return Status();
  int replaced = -1;
  Status made = makeReplacement(&st, &replaced);
  if (!made.ok() || replaced < 0) return made;
  ::close(fd);
  fd_ = replaced;
  kind_ = Kind::Replace;
  return Status();
}

Status OutputTarget::makeReplacement(const struct stat* old, int* made) {
  std::string dir = directoryOf(target_);
  reclaimStaleOutputTemps(dir);
  std::string tmpl = outputTempTemplate(dir);
  int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) {
    // No file can be made beside an existing one (a read-only or someone else's sticky
    // directory): it is written in place.
    return old != nullptr && (errno == EACCES || errno == EPERM || errno == EROFS) ? Status() : cannotWrite(errno);
  }
  cleanup().setTempOutput(tmpl);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {  // a run that is alive
    int err = errno;
    ::close(fd);
    return cannotWrite(err);
  }
  // The new file takes the old one's owner, group and mode; when it cannot (the old
  // one is someone else's), the old one is written in place.
  bool kept = old == nullptr ? ::fchmod(fd, 0666 & ~currentUmask()) == 0
                             : ::fchown(fd, old->st_uid, old->st_gid) == 0 && ::fchmod(fd, old->st_mode & 07777) == 0;
  if (!kept) {
    int err = errno;
    ::close(fd);
    cleanup().dropTempOutput();
    return old != nullptr && err == EPERM ? Status() : cannotWrite(err);
  }
  if (made != nullptr) {
    *made = fd;
  } else {
    fd_ = fd;
    ownsFd_ = true;
  }
  return Status();
}

bool OutputTarget::fileWritten(uint64_t* device, uint64_t* inode) const {
  *device = 0;
  *inode = 0;
  struct stat st;
  int ok = -1;
  switch (kind_) {
    case Kind::Replace: return true;
    case Kind::InPlace: ok = ::fstat(fd_, &st); break;
    case Kind::Open: ok = ::stat(target_.c_str(), &st); break;
    case Kind::StandardOutput: ok = ::fstat(1, &st); break;
  }
  if (ok != 0) return false;
  *device = st.st_dev;
  *inode = st.st_ino;
  return true;
}

Status OutputTarget::begin() {
  if (kind_ == Kind::InPlace) {
    if (::ftruncate(fd_, 0) != 0) return writeError(errno);
  } else if (kind_ == Kind::Open) {
    for (;;) {
      fd_ = ::open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
      if (fd_ >= 0 || errno != EINTR) break;
    }
    if (fd_ < 0) return writeError(errno);
    ownsFd_ = true;
  }
  return Status();
}

Status OutputTarget::writeError(int error) {
  if (error == EPIPE && cleanup().handles(SIGPIPE)) {
    return Status::signal(SIGPIPE, "cannot write '" + shown_ + "': " + systemError(error));
  }
  return Status::error("cannot write '" + shown_ + "': " + systemError(error));
}

Status OutputTarget::write(const char* data, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::write(fd_, data + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return writeError(errno);
    }
    done += static_cast<size_t>(n);
  }
  if (kind_ == Kind::Replace) startWriteBack(length);
  return Status();
}

void OutputTarget::startWriteBack(size_t length) {
  // The file is synced before it replaces the target (commit).  Handing each 8 MiB to
  // the system's write-back as soon as it is written leaves that sync only the last
  // bytes to wait for: it took a tenth of a sort of 150 MB when all of them waited.
  constexpr uint64_t kWriteBackBytes = 8u << 20;
  written_ += length;
  if (written_ - flushedTo_ < kWriteBackBytes) return;
  // Only a start: a failure here is the sync's to report.
  (void)::sync_file_range(fd_, static_cast<off_t>(flushedTo_), static_cast<off_t>(written_ - flushedTo_),
                          SYNC_FILE_RANGE_WRITE);
  flushedTo_ = written_;
}

Status OutputTarget::commit() {
  if (kind_ == Kind::Replace) {
    // A file that the rename replaces (an input, perhaps) is lost if the system stops
    // before the new one's bytes reach the disk, and a write that fails only on its way
    // to the disk is told only here: the new file is synced first.
    if (::fsync(fd_) != 0) return writeError(errno);
    int fd = fd_;
    fd_ = -1;
    ownsFd_ = false;
    if (::close(fd) != 0) return writeError(errno);
    return cleanup().commitTempOutput(target_);
  }
  if (ownsFd_) {
    int fd = fd_;
    fd_ = -1;
    ownsFd_ = false;
    if (::close(fd) != 0) return writeError(errno);
  }
  return Status();
}

}  // namespace tqsort

namespace tqsort {

OutputStream::OutputStream(OutputTarget* target, size_t bufferBytes, bool threaded)
    : target_(target), bufferBytes_(bufferBytes), threaded_(threaded) {
  buffers_[0] = std::make_unique_for_overwrite<char[]>(bufferBytes);
  at_ = buffers_[0].get();
  end_ = at_ + bufferBytes;
  if (threaded_) {
    try {
      writer_ = std::thread([this] { writerLoop(); });
    } catch (const std::exception&) {  // no thread, or no memory for one
      threaded_ = false;  // the caller writes, as with one processor
    }
  }
}

OutputStream::~OutputStream() {
  if (writer_.joinable()) {
    {
      TqStdLock lock(mutex_);
      quit_ = true;
      changed_.notify_all();
    }
    writer_.join();
  }
}

void OutputStream::writerLoop() {
  TqStdLock lock(mutex_);
  for (;;) {
    while (!quit_ && pending_ == 0) changed_.wait(lock.unique());
    if (pending_ == 0) return;  // quit, nothing left to write
    const char* data = buffers_[1 - current_].get();
    size_t length = pending_;
    const bool failed = !failed_.ok();
    lock.unlock();
    Status s = failed ? Status() : outOfMemoryAsFailure([&] { return target_->write(data, length); });
    lock.lock();
    if (!s.ok() && failed_.ok()) failed_ = std::move(s);
    pending_ = 0;
    changed_.notify_all();
  }
}

Status OutputStream::handOff() {
  char* base = buffers_[current_].get();
  size_t length = static_cast<size_t>(at_ - base);
  if (length == 0) return Status();
  if (!threaded_) {
    at_ = base;
    return target_->write(base, length);
  }
  TqStdLock lock(mutex_);
  while (pending_ != 0) changed_.wait(lock.unique());  // the other buffer is written
  if (!failed_.ok()) return failed_;
  if (!buffers_[1 - current_]) buffers_[1 - current_] = std::make_unique_for_overwrite<char[]>(bufferBytes_);
  current_ = 1 - current_;  // the writer takes the buffer just filled, the caller the other
  pending_ = length;
  changed_.notify_all();
  at_ = buffers_[current_].get();
  end_ = at_ + bufferBytes_;
  return Status();
}

Status OutputStream::writeSlow(const char* data, size_t length) {
  while (length > 0) {
    size_t room = static_cast<size_t>(end_ - at_);
    if (room == 0) {
      TQSORT_TRY(handOff());
      continue;
    }
    size_t n = length < room ? length : room;
    std::memcpy(at_, data, n);
    at_ += n;
    data += n;
    length -= n;
  }
  return Status();
}

Status OutputStream::flush() {
  TQSORT_TRY(handOff());
  if (!threaded_) return Status();
  TqStdLock lock(mutex_);
  while (pending_ != 0) changed_.wait(lock.unique());
  return failed_;
}

}  // namespace tqsort
