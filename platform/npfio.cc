#include "npfio.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tqballoc.h"
#include "tqfault.h"

const char np_dir_listsep[2] = ":";

namespace {

constexpr int32_t kBufferSize = 256 * 1024;

thread_local int t_lastError = 0;

// One open file.  With a buffer, `state` tells what it holds:
//   Reading: bytes [base, base + length) of the file; the fd stands at base + length;
//            the logical position is base + cursor.
//   Writing: `length` bytes to be written at `base`; the fd stands at base; the
//            logical position is base + length.
struct File {
  int fd = -1;
  int lastError = 0;
  uint8_t* buffer = nullptr;
  enum State { Idle, Reading, Writing } state = Idle;
  int64_t base = 0;
  int32_t length = 0;
  int32_t cursor = 0;
};

File* fileOf(NpHandle h) { return reinterpret_cast<File*>(h); }

void fail(File* f, int err) {
  t_lastError = err;
  if (f != nullptr) f->lastError = err;
}

ssize_t writeAll(File* f, const uint8_t* p, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t w = ::write(f->fd, p + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      fail(f, errno);
      return done > 0 ? static_cast<ssize_t>(done) : -1;
    }
    done += static_cast<size_t>(w);
  }
  return static_cast<ssize_t>(done);
}

ssize_t readSome(File* f, uint8_t* p, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = ::read(f->fd, p + done, n - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      fail(f, errno);
      return done > 0 ? static_cast<ssize_t>(done) : -1;
    }
    if (r == 0) break;  // end of file
    done += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(done);
}

// Brings the fd to the logical position and empties the buffer.  False on failure.
bool settle(File* f) {
  if (f->state == File::Writing) {
    int32_t n = f->length;
    f->state = File::Idle;
    f->length = 0;
    if (n > 0 && writeAll(f, f->buffer, static_cast<size_t>(n)) != n) return false;
  } else if (f->state == File::Reading) {
    int64_t logical = f->base + f->cursor;
    f->state = File::Idle;
    f->length = f->cursor = 0;
    if (::lseek(f->fd, logical, SEEK_SET) < 0) {
      fail(f, errno);
      return false;
    }
  }
  return true;
}

int openStatus(File* f, NpHandle* handle) {
  *handle = reinterpret_cast<NpHandle>(f);
  return kNpOk;
}

}  // namespace

int np_fio_tmpfile(const char* directory, const char* prefix, char* nameBuffer, int nameSize,
                   NpHandle* handle) {
  *handle = 0;
  if (tqFaultCheck(TqFaultOp::TmpFile) != TqFaultMode::None) {
    fail(nullptr, ENOSPC);
    return kNpErrSystem;
  }
  const char* dir = directory;
  if (dir == nullptr || *dir == '\0') {
    dir = std::getenv("TMPDIR");
    if (dir == nullptr || *dir == '\0') dir = "/tmp";
  }
  if (prefix == nullptr) prefix = "";
  size_t dlen = std::strlen(dir);
  bool slash = dlen > 0 && dir[dlen - 1] == '/';
  int need = std::snprintf(nullptr, 0, "%s%s%sXXXXXX", dir, slash ? "" : "/", prefix);
  if (nameBuffer == nullptr || need < 0 || need + 1 > nameSize) return kNpErrName;
  std::snprintf(nameBuffer, static_cast<size_t>(nameSize), "%s%s%sXXXXXX", dir,
                slash ? "" : "/", prefix);
  File* f = tqbNew<File>();
  if (f == nullptr) return kNpErrNoMemory;
  int fd = ::mkostemp(nameBuffer, O_CLOEXEC);
  if (fd < 0) {
    fail(nullptr, errno);
    tqbDelete(f);
    nameBuffer[0] = '\0';
    return kNpErrSystem;
  }
  f->fd = fd;
  return openStatus(f, handle);
}

int np_fio_open(const char* path, int mode, NpHandle* handle) {
  (void)mode;
  *handle = 0;
  if (tqFaultCheck(TqFaultOp::Open) != TqFaultMode::None) {
    fail(nullptr, EIO);
    return kNpErrSystem;
  }
  if (path == nullptr) return kNpErrArgument;
  File* f = tqbNew<File>();
  if (f == nullptr) return kNpErrNoMemory;
  int fd = ::open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    fail(nullptr, errno);
    tqbDelete(f);
    return kNpErrSystem;
  }
  f->fd = fd;
  return openStatus(f, handle);
}

int np_fio_close(NpHandle handle) {
  File* f = fileOf(handle);
  if (f == nullptr) return kNpErrArgument;
  int status = settle(f) ? kNpOk : kNpErrSystem;
  if (::close(f->fd) != 0 && status == kNpOk) {
    fail(nullptr, errno);
    status = kNpErrSystem;
  }
  tqbFree(f->buffer);
  tqbDelete(f);
  return status;
}

int32_t np_fio_getb(NpHandle handle, void* buffer, int32_t count) {
  File* f = fileOf(handle);
  if (f == nullptr || count < 0) return -1;
  TqFaultMode fault = tqFaultCheck(TqFaultOp::Read);
  if (fault == TqFaultMode::Fail) {
    fail(f, EIO);
    return -1;
  }
  if (fault == TqFaultMode::Short && count > 1) count /= 2;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  if (f->buffer == nullptr) {
    ssize_t r = readSome(f, out, static_cast<size_t>(count));
    return static_cast<int32_t>(r);
  }
  if (f->state == File::Writing && !settle(f)) return -1;
  if (f->state == File::Idle) {
    f->base = ::lseek(f->fd, 0, SEEK_CUR);
    if (f->base < 0) {
      fail(f, errno);
      return -1;
    }
    f->state = File::Reading;
    f->length = f->cursor = 0;
  }
  int32_t done = 0;
  while (done < count) {
    int32_t avail = f->length - f->cursor;
    if (avail > 0) {
      int32_t n = avail < count - done ? avail : count - done;
      std::memcpy(out + done, f->buffer + f->cursor, static_cast<size_t>(n));
      f->cursor += n;
      done += n;
      continue;
    }
    // Buffer empty: refill, or read a large remainder straight through.
    f->base += f->length;
    f->length = f->cursor = 0;
    if (count - done >= kBufferSize) {
      ssize_t r = readSome(f, out + done, static_cast<size_t>(count - done));
      if (r < 0) return done > 0 ? done : -1;
      f->base += r;
      done += static_cast<int32_t>(r);
      break;
    }
    ssize_t r = readSome(f, f->buffer, kBufferSize);
    if (r < 0) return done > 0 ? done : -1;
    if (r == 0) break;
    f->length = static_cast<int32_t>(r);
  }
  return done;
}

int32_t np_fio_putb(NpHandle handle, const void* buffer, int32_t count) {
  File* f = fileOf(handle);
  if (f == nullptr || count < 0) return -1;
  TqFaultMode fault = tqFaultCheck(TqFaultOp::Write);
  if (fault == TqFaultMode::Fail) {
    fail(f, ENOSPC);
    return -1;
  }
  bool shortWrite = fault == TqFaultMode::Short;
  int32_t want = shortWrite && count > 1 ? count / 2 : count;
  const uint8_t* in = static_cast<const uint8_t*>(buffer);
  if (f->buffer == nullptr) {
    ssize_t w = writeAll(f, in, static_cast<size_t>(want));
    if (shortWrite && w >= 0) fail(f, ENOSPC);
    return static_cast<int32_t>(w);
  }
  if (f->state == File::Reading && !settle(f)) return -1;
  if (f->state == File::Idle) {
    f->base = ::lseek(f->fd, 0, SEEK_CUR);
    if (f->base < 0) {
      fail(f, errno);
      return -1;
    }
    f->state = File::Writing;
    f->length = 0;
  }
  if (f->length + want > kBufferSize) {
    int32_t pending = f->length;
    f->length = 0;
    if (pending > 0 && writeAll(f, f->buffer, static_cast<size_t>(pending)) != pending) {
      return -1;
    }
    f->base += pending;
  }
  if (want >= kBufferSize) {
    ssize_t w = writeAll(f, in, static_cast<size_t>(want));
    if (w > 0) f->base += w;
    if (shortWrite && w >= 0) fail(f, ENOSPC);
    return static_cast<int32_t>(w);
  }
  std::memcpy(f->buffer + f->length, in, static_cast<size_t>(want));
  f->length += want;
  if (shortWrite) fail(f, ENOSPC);
  return want;
}

int64_t np_fio_seek64(NpHandle handle, int64_t offset, int whence) {
  File* f = fileOf(handle);
  if (f == nullptr) return -1;
  if (tqFaultCheck(TqFaultOp::Seek) != TqFaultMode::None) {
    fail(f, EIO);
    return -1;
  }
  if (!settle(f)) return -1;
  int w = whence == 2 ? SEEK_END : (whence == 1 ? SEEK_CUR : SEEK_SET);
  off_t r = ::lseek(f->fd, offset, w);
  if (r < 0) fail(f, errno);
  return r;
}

int np_fio_trunc(NpHandle handle) {
  File* f = fileOf(handle);
  if (f == nullptr) return -1;
  if (tqFaultCheck(TqFaultOp::Trunc) != TqFaultMode::None) {
    fail(f, EIO);
    return -1;
  }
  if (!settle(f)) return -1;
  off_t pos = ::lseek(f->fd, 0, SEEK_CUR);
  if (pos < 0 || ::ftruncate(f->fd, pos) != 0) {
    fail(f, errno);
    return -1;
  }
  return 0;
}

int np_fio_unlink(const char* path) {
  if (path == nullptr || *path == '\0') return kNpErrArgument;
  if (::unlink(path) != 0) {
    fail(nullptr, errno);
    return kNpErrSystem;
  }
  return kNpOk;
}

int np_fio_bufmode(NpHandle handle, int mode) {
  File* f = fileOf(handle);
  if (f == nullptr) return kNpErrArgument;
  if (tqFaultCheck(TqFaultOp::BufMode) != TqFaultMode::None) return kNpErrNoMemory;
  if (mode == 0) {
    bool ok = settle(f);
    tqbFree(f->buffer);
    f->buffer = nullptr;
    return ok ? kNpOk : kNpErrSystem;
  }
  if (f->buffer != nullptr) return kNpOk;
  f->buffer = static_cast<uint8_t*>(tqbMalloc(kBufferSize));
  return f->buffer ? kNpOk : kNpErrNoMemory;
}

const char* np_fio_errdesc(int status) {
  switch (status) {
    case kNpOk: return "no error";
    case kNpErrSystem: return "operating system error";
    case kNpErrName: return "file name too long";
    case kNpErrArgument: return "invalid argument or handle";
    case kNpErrNoMemory: return "out of memory";
    default: return "unknown status";
  }
}

int np_fio_syserr(NpHandle handle) {
  File* f = fileOf(handle);
  return f != nullptr ? f->lastError : t_lastError;
}

int np_dir_open(const char* path, int flags, NpHandle* handle) {
  (void)flags;
  *handle = 0;
  if (tqFaultCheck(TqFaultOp::DirOpen) != TqFaultMode::None) {
    fail(nullptr, EACCES);
    return kNpErrSystem;
  }
  if (path == nullptr) return kNpErrArgument;
  DIR* d = ::opendir(path);
  if (d == nullptr) {
    fail(nullptr, errno);
    return kNpErrSystem;
  }
  *handle = reinterpret_cast<NpHandle>(d);
  return kNpOk;
}

int np_dir_close(NpHandle handle) {
  if (handle == 0) return kNpErrArgument;
  ::closedir(reinterpret_cast<DIR*>(handle));
  return kNpOk;
}
