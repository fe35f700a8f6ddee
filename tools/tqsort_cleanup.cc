#include "tqsort_cleanup.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "tqsort_progress.h"

namespace tqsort {

namespace {

constexpr int kEndingSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGALRM,
                                  SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ, SIGVTALRM};
constexpr const char kRunDirPrefix[] = "tqsort-";
constexpr const char kOutputTempPrefix[] = ".tqsort-";

// The pid in a name "PREFIXPID-XXXXXX", or 0 when it is not one.
long namePid(const char* name, const char* prefix) {
  size_t prefixLength = std::strlen(prefix);
  if (std::strncmp(name, prefix, prefixLength) != 0) return 0;
  const char* p = name + prefixLength;
  long pid = 0;
  const char* digits = p;
  while (*p >= '0' && *p <= '9' && pid < 100000000) pid = pid * 10 + (*p++ - '0');
  if (p == digits || *p != '-' || std::strlen(p + 1) != 6) return 0;
  return pid;
}

bool emptyDirectory(int dirFd, int depth);

// Removes the directory `name` in `dirFd` with what it holds.
bool removeSubdirectory(int dirFd, const char* name, int depth) {
  if (::unlinkat(dirFd, name, AT_REMOVEDIR) == 0) return true;
  if ((errno != ENOTEMPTY && errno != EEXIST) || depth <= 0) return false;
  int fd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  bool emptied = emptyDirectory(fd, depth - 1);
  int err = errno;
  ::close(fd);
  if (!emptied) {
    errno = err;
    return false;
  }
  return ::unlinkat(dirFd, name, AT_REMOVEDIR) == 0;
}

// How deep removeTree goes into directories within a run directory (tqsort makes none;
// a user or another program may have).
constexpr int kDeepestTree = 32;

// Removes what `dirFd` holds: files, and directories with what they hold, `depth`
// levels down at most, never through a symbolic link.  False with errno when an entry
// stays.
bool emptyDirectory(int dirFd, int depth) {
  int copy = ::dup(dirFd);
  if (copy < 0) return false;
  DIR* d = ::fdopendir(copy);
  if (d == nullptr) {
    ::close(copy);
    return false;
  }
  ::rewinddir(d);
  bool ok = true;
  int firstError = 0;
  while (dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    if (::unlinkat(dirFd, e->d_name, 0) == 0 || errno == ENOENT) continue;
    if ((errno == EISDIR || errno == EPERM) && removeSubdirectory(dirFd, e->d_name, depth)) continue;
    if (ok) firstError = errno;
    ok = false;
  }
  ::closedir(d);
  errno = firstError;
  return ok;
}

}  // namespace

Cleanup& cleanup() {
  static Cleanup instance;
  return instance;
}

Status Cleanup::start() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kEndingSignals) {
    struct sigaction old;
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaddset(&set, sig);
    handled_.push_back(sig);
  }
  int err = ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (err != 0) return Status::error("cannot block signals: " + systemError(err));
  try {
    std::thread([set] {
      for (;;) {
        int sig = 0;
        if (::sigwait(&set, &sig) == 0) cleanup().dieOf(sig);
      }
    }).detach();
  } catch (const std::system_error& e) {
    return Status::error(std::string("cannot start the signal thread: ") + e.what());
  }
  return Status();
}

bool Cleanup::handles(int signal) const {
  for (int sig : handled_) {
    if (sig == signal) return true;
  }
  return false;
}

Status Cleanup::makeRunDirs(const std::vector<std::string>& bases, std::vector<std::string>* runDirs) {
  runDirs->clear();
  for (const std::string& base : bases) {
    reclaimStaleRunDirs(base);
    std::string path = base + (base.back() == '/' ? "" : "/") + kRunDirPrefix + std::to_string(::getpid()) + "-XXXXXX";
    // Registered before it exists, so that a signal between mkdtemp and the lock
    // still removes it.
    TqStdLock guard(mutex_);
    if (::mkdtemp(path.data()) == nullptr) {
      return Status::error("cannot use the temporary directory '" + printable(base) + "': " + systemError(errno));
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int err = errno;
      if (fd >= 0) ::close(fd);
      ::rmdir(path.c_str());
      return Status::error("cannot lock the temporary directory '" + printable(path) + "': " + systemError(err));
    }
    runDirs_.push_back(RunDir{path, fd});
    runDirs->push_back(path);
  }
  return Status();
}

void Cleanup::setTempOutput(const std::string& path) {
  TqStdLock guard(mutex_);
  tempOutput_ = path;
}

void Cleanup::dropTempOutput() {
  TqStdLock guard(mutex_);
  if (!tempOutput_.empty()) ::unlink(tempOutput_.c_str());
  tempOutput_.clear();
}

Status Cleanup::commitTempOutput(const std::string& target) {
  TqStdLock guard(mutex_);
  if (dying_) return Status::error("stopped by a signal");
  if (::rename(tempOutput_.c_str(), target.c_str()) != 0) {
    return Status::error("cannot replace '" + printable(target) + "': " + systemError(errno));
  }
  tempOutput_.clear();
  return Status();
}

Status Cleanup::removeAllLocked() {
  Status result;
  if (!tempOutput_.empty()) {
    if (::unlink(tempOutput_.c_str()) != 0 && errno != ENOENT && result.ok()) {
      result = Status::error("cannot remove '" + printable(tempOutput_) + "': " + systemError(errno));
    }
    tempOutput_.clear();
  }
  for (RunDir& dir : runDirs_) {
    Status s = removeTree(dir.path);
    if (!s.ok() && result.ok()) result = s;
    ::close(dir.lockFd);
  }
  runDirs_.clear();
  return result;
}

Status Cleanup::endRun() {
  mutex_.lock();  // never unlocked: the process ends with this thread
  return removeAllLocked();
}

Status Cleanup::endRunDirs(const std::vector<std::string>& paths) {
  TqStdLock guard(mutex_);
  Status result;
  for (size_t i = 0; i < runDirs_.size();) {
    RunDir& dir = runDirs_[i];
    if (std::find(paths.begin(), paths.end(), dir.path) == paths.end()) {
      ++i;
      continue;
    }
    Status s = removeTree(dir.path);
    if (!s.ok() && result.ok()) result = s;
    ::close(dir.lockFd);
    runDirs_.erase(runDirs_.begin() + static_cast<std::ptrdiff_t>(i));
  }
  return result;
}

void Cleanup::dieOf(int signal) {
  // Blocks for good when the main thread is ending the run: it ends the process.
  mutex_.lock();
  // Held until the process ends: no rename starts and no message is written now.
  dying_ = true;
  // Nothing is reported now: a failure to allocate a message does not stop the rest.
  (void)outOfMemoryAsFailure([this] {
    mutex_.assertHeld();
    return removeAllLocked();
  });
  if (progress_ != nullptr && progress_->shown()) {
    ssize_t ignored = ::write(2, "\n", 1);  // end the bar's line
    (void)ignored;
  }
  ::signal(signal, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);  // a pending SIGPIPE ends us here
  ::raise(signal);
  std::_Exit(128 + signal);  // a signal whose default action does not end a process
}

Status removeTree(const std::string& dir) {
  // The sort's threads may still be writing chunk files while a signal is handled:
  // once the directory is gone, no new file can appear in it.
  for (int attempt = 0;; ++attempt) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) return Status();
      return Status::error("cannot remove the temporary directory '" + printable(dir) + "': " + systemError(errno));
    }
    bool emptied = emptyDirectory(fd, kDeepestTree);
    int err = errno;
    ::close(fd);
    if (::rmdir(dir.c_str()) == 0 || errno == ENOENT) return Status();
    if (!emptied || errno != ENOTEMPTY || attempt >= 1000) {
      if (emptied) err = errno;
      return Status::error("cannot remove the temporary directory '" + printable(dir) + "': " + systemError(err));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

int reclaimStaleRunDirs(const std::string& base) {
  DIR* d = ::opendir(base.c_str());
  if (d == nullptr) return 0;  // makeRunDirs reports an unusable directory
  int baseFd = ::dirfd(d);
  int removed = 0;
  while (dirent* e = ::readdir(d)) {
    long pid = namePid(e->d_name, kRunDirPrefix);
    if (pid <= 0 || pid == ::getpid()) continue;
    // The pid is a quick test; the lock is the proof: a live run (even one in another
    // pid namespace) holds it, and the kernel drops it when that run dies.
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    struct stat st;
    if (::fstatat(baseFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
        st.st_uid != ::geteuid()) {
      continue;
    }
    int fd = ::openat(baseFd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      std::string path = base + "/" + e->d_name;
      Status s = removeTree(path);
      if (s.ok()) {
        ++removed;
      } else {
        std::fprintf(stderr, "tqsort: %s (left by an earlier run)\n", s.message().c_str());
      }
    }
    ::close(fd);
  }
  ::closedir(d);
  return removed;
}

}  // namespace tqsort

namespace tqsort {

std::string outputTempTemplate(const std::string& dir) {
  return dir + (dir.back() == '/' ? "" : "/") + kOutputTempPrefix + std::to_string(::getpid()) + "-XXXXXX";
}

int reclaimStaleOutputTemps(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return 0;  // creating the temporary output reports it
  int dirFd = ::dirfd(d);
  int removed = 0;
  while (dirent* e = ::readdir(d)) {
    long pid = namePid(e->d_name, kOutputTempPrefix);
    if (pid <= 0 || pid == ::getpid()) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    int fd = ::openat(dirFd, e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      if (::unlinkat(dirFd, e->d_name, 0) == 0) {
        ++removed;
      } else if (errno != ENOENT) {
        std::fprintf(stderr, "tqsort: cannot remove '%s/%s' (left by an earlier run): %s\n", printable(dir).c_str(),
                     printable(e->d_name).c_str(), systemError(errno).c_str());
      }
    }
    ::close(fd);
  }
  ::closedir(d);
  return removed;
}

}  // namespace tqsort
