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

constexpr size_t kBufferSize = size_t{1} << 22;

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
  buffer_.reserve(kBufferSize);
  if (path.empty()) {
    kind_ = Kind::StandardOutput;
    shown_ = "(standard output)";
    fd_ = 1;
    return Status();
  }
  shown_ = printable(path);
  auto fail = [&](int error) { return Status::error("cannot write '" + shown_ + "': " + systemError(error)); };
  bool procLink = false;
  TQSORT_TRY(resolveLinks(path, &target_, &procLink));
  struct stat st;
  bool exists = ::stat(target_.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) return fail(errno);
  if (exists && S_ISDIR(st.st_mode)) return Status::error("cannot write '" + shown_ + "': it is a directory");
  if (procLink || (exists && !S_ISREG(st.st_mode))) {
    // A device, FIFO or socket: opened when the output starts (a FIFO's open waits for
    // its reader), checked now.
    kind_ = Kind::Open;
    target_ = path;
    if (::access(path.c_str(), W_OK) != 0) return fail(errno);
    return Status();
  }
  if (exists && st.st_nlink > 1) {
    // Replacing would cut this name off from the other links: rewrite the inode.
    kind_ = Kind::InPlace;
    fd_ = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd_ < 0) return fail(errno);
    ownsFd_ = true;
    return Status();
  }
  kind_ = Kind::Replace;
  std::string dir = directoryOf(target_);
  reclaimStaleOutputTemps(dir);
  std::string tmpl = outputTempTemplate(dir);
  int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) return fail(errno);
  cleanup().setTempOutput(tmpl);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno);  // a run that is alive
  fd_ = fd;
  ownsFd_ = true;
  if (exists) {
    // The new file takes the old one's permissions and, where allowed, its owner.
    if (::fchown(fd, st.st_uid, st.st_gid) != 0 && errno != EPERM) return fail(errno);
    if (::fchmod(fd, st.st_mode & 07777) != 0) return fail(errno);
  } else if (::fchmod(fd, 0666 & ~currentUmask()) != 0) {
    return fail(errno);
  }
  return Status();
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

Status OutputTarget::flush() {
  size_t done = 0;
  while (done < buffer_.size()) {
    ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return writeError(errno);
    }
    done += static_cast<size_t>(n);
  }
  buffer_.clear();
  return Status();
}

Status OutputTarget::write(const char* data, size_t length) {
  if (buffer_.size() + length > buffer_.capacity()) TQSORT_TRY(flush());
  if (length > buffer_.capacity()) {
    buffer_.assign(data, data + length);
    Status s = flush();
    buffer_.shrink_to_fit();
    buffer_.reserve(kBufferSize);
    return s;
  }
  buffer_.insert(buffer_.end(), data, data + length);
  return Status();
}

Status OutputTarget::commit() {
  TQSORT_TRY(flush());
  if (kind_ == Kind::Replace) {
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
