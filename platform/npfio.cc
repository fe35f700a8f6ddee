#include "npfio.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "npfio_pack.h"
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
//            logical position is base + length, or `seekTarget` when a seek is pending.
// A seek while writing is not carried out at once: it is kept in `seekTarget` until the
// next call.  If that call is a truncation, the bytes from the target on are simply
// dropped, buffered or not, so that a writer can take back a partly written record
// without any write reaching the disk (which may be full).  Any other call first writes
// the buffer and then moves the fd.  A write of the buffer that fails keeps the bytes it
// could not write, so that nothing already accepted is lost: a later flush, close or
// bufmode(0) tries them again and reports the failure as long as it lasts.
struct File {
  int fd = -1;
  int lastError = 0;
  uint8_t* buffer = nullptr;
  enum State { Idle, Reading, Writing } state = Idle;
  int64_t base = 0;
  int32_t length = 0;
  int32_t cursor = 0;
  int64_t seekTarget = -1;  // Writing only: a seek not yet carried out
  NpPack* pack = nullptr;   // a compressed file (npfio_pack.h): it does all reading and writing
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

// Writes the buffered bytes.  On failure the bytes not written stay buffered (the
// buffer keeps its order: what was written is dropped from its front).
bool flushWrites(File* f) {
  int32_t n = f->length;
  if (n <= 0) return true;
  ssize_t w;
  if (tqFaultCheck(TqFaultOp::Flush) != TqFaultMode::None) {
    // An injected failure part way: half of the bytes reach the file.
    w = writeAll(f, f->buffer, static_cast<size_t>(n / 2));
    fail(f, ENOSPC);
  } else {
    w = writeAll(f, f->buffer, static_cast<size_t>(n));
  }
  int32_t written = w > 0 ? static_cast<int32_t>(w) : 0;
  f->base += written;
  f->length = n - written;
  if (written == n) return true;
  std::memmove(f->buffer, f->buffer + written, static_cast<size_t>(f->length));
  return false;
}

// Brings the fd to the logical position and empties the buffer.  False on failure; a
// failed write leaves the unwritten bytes buffered (state Writing).
bool settle(File* f) {
  if (f->state == File::Writing) {
    if (!flushWrites(f)) return false;
    f->state = File::Idle;
    if (f->seekTarget >= 0) {
      int64_t target = f->seekTarget;
      f->seekTarget = -1;
      if (::lseek(f->fd, target, SEEK_SET) < 0) {
        fail(f, errno);
        return false;
      }
    }
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

// Takes back a write that reached the disk only in part: the file ends again at
// `start` and the fd stands there.
void undoWrite(File* f, int64_t start) {
  int saved = f->lastError;
  if (::ftruncate(f->fd, start) != 0 || ::lseek(f->fd, start, SEEK_SET) < 0) saved = errno;
  fail(f, saved);
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
  npPackForget(nameBuffer);  // a compressed file of that name is gone
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
  int error = 0;
  f->pack = npPackOpen(fd, path, &error);
  if (error != 0) {
    fail(nullptr, error);
    ::close(fd);
    tqbDelete(f);
    return error == ENOMEM ? kNpErrNoMemory : kNpErrSystem;
  }
  return openStatus(f, handle);
}

int np_fio_compress(NpHandle handle, const char* path, int reads) {
  File* f = fileOf(handle);
  if (f == nullptr || path == nullptr) return kNpErrArgument;
  char program[4096];
  int codec = npPackCodec(program, sizeof(program));
  if (codec == kNpCodecNone) return kNpOk;
  if (codec == kNpCodecProgram && reads == kNpReadsAnywhere) codec = kNpCodecLz4;
  if (codec < 0 || f->pack != nullptr || f->state != File::Idle || ::lseek(f->fd, 0, SEEK_END) != 0) {
    return kNpErrArgument;
  }
  int error = 0;
  f->pack = npPackCreate(f->fd, path, codec, program, &error);
  if (f->pack == nullptr) {
    fail(f, error);
    return error == ENOMEM ? kNpErrNoMemory : kNpErrSystem;
  }
  return kNpOk;
}

int np_fio_close(NpHandle handle) {
  File* f = fileOf(handle);
  if (f == nullptr) return kNpErrArgument;
  int status = kNpOk;
  if (f->pack != nullptr) {
    int error = 0;
    if (!npPackClose(f->pack, &error)) {
      fail(nullptr, error);
      status = kNpErrSystem;
    }
  } else if (!settle(f)) {
    status = kNpErrSystem;
  }
  if (tqFaultCheck(TqFaultOp::Close) != TqFaultMode::None && status == kNpOk) {
    fail(nullptr, EIO);
    status = kNpErrSystem;
  }
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
  if (f->pack != nullptr) {
    int error = 0;
    int32_t got = npPackGet(f->pack, out, count, &error);
    if (got < 0) fail(f, error);
    return got;
  }
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
    ssize_t r = tqFaultCheck(TqFaultOp::Refill) != TqFaultMode::None ? (fail(f, EIO), -1)
                                                                       : readSome(f, f->buffer, kBufferSize);
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
  if (f->pack != nullptr) {
    int error = 0;
    int32_t put = npPackPut(f->pack, in, want, &error);
    if (put < 0 || (put < want && error != 0)) fail(f, error);
    if (shortWrite && put > 0) fail(f, ENOSPC);
    return put;
  }
  if (f->buffer == nullptr) {
    ssize_t w = writeAll(f, in, static_cast<size_t>(want));
    if (shortWrite && w >= 0) fail(f, ENOSPC);
    return static_cast<int32_t>(w);
  }
  if ((f->state == File::Reading || f->seekTarget >= 0) && !settle(f)) return -1;
  if (f->state == File::Idle) {
    f->base = ::lseek(f->fd, 0, SEEK_CUR);
    if (f->base < 0) {
      fail(f, errno);
      return -1;
    }
    f->state = File::Writing;
    f->length = 0;
  }
  // A write is all or nothing: when the buffered bytes cannot be written first, they
  // stay buffered and none of this call's bytes are taken.
  if (f->length + want > kBufferSize && !flushWrites(f)) return -1;
  if (want >= kBufferSize) {
    int64_t start = f->base + f->length;  // the buffer is empty here
    ssize_t w = writeAll(f, in, static_cast<size_t>(want));
    if (w != want) {
      if (w > 0) undoWrite(f, start);
      return -1;
    }
    f->base += w;
    if (shortWrite) fail(f, ENOSPC);
    return want;
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
  if (f->pack != nullptr) {
    int error = 0;
    int64_t at = npPackSeek(f->pack, offset, whence, &error);
    if (at < 0) fail(f, error);
    return at;
  }
  if (f->state == File::Writing && whence == 0) {
    if (offset < 0) {
      fail(f, EINVAL);
      return -1;
    }
    f->seekTarget = offset;  // carried out by the next call (see File)
    return offset;
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
  if (f->pack != nullptr) {
    int error = 0;
    int done = npPackTrunc(f->pack, &error);
    if (done < 0) fail(f, error);
    return done;
  }
  if (f->state == File::Writing && f->seekTarget >= 0) {
    // Drop every byte from the target on, buffered or written, without writing.
    int64_t end = f->seekTarget;
    f->seekTarget = -1;
    if (end >= f->base && end - f->base <= f->length) {
      f->length = static_cast<int32_t>(end - f->base);
    } else if (end < f->base) {
      f->length = 0;
      f->base = end;
    }
    // The disk file must not hold bytes at or beyond what the buffer will write.
    int64_t keep = end < f->base ? end : f->base;
    struct stat st;
    if (::fstat(f->fd, &st) != 0) {
      fail(f, errno);
      return -1;
    }
    if (st.st_size > keep && ::ftruncate(f->fd, keep) != 0) {
      fail(f, errno);
      return -1;
    }
    if (end > f->base + f->length) {
      // A target beyond the buffered bytes: write them, then extend the file.
      if (!flushWrites(f)) return -1;
      if (::ftruncate(f->fd, end) != 0 || ::lseek(f->fd, end, SEEK_SET) < 0) {
        fail(f, errno);
        return -1;
      }
      f->base = end;
      f->length = 0;
    } else if (::lseek(f->fd, f->base, SEEK_SET) < 0) {
      fail(f, errno);
      return -1;
    }
    return 0;
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
  npPackForget(path);
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
  if (f->pack != nullptr) return kNpOk;  // its frame is its buffer
  if (mode == 0) {
    // Bytes that cannot be written stay buffered, and the buffer with them.
    if (!settle(f)) return kNpErrSystem;
    tqbFree(f->buffer);
    f->buffer = nullptr;
    return kNpOk;
  }
  if (f->buffer != nullptr) return kNpOk;
  f->buffer = static_cast<uint8_t*>(tqbMalloc(kBufferSize));
  return f->buffer ? kNpOk : kNpErrNoMemory;
}

int np_fio_openmax(void) {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > 1u << 20) return 1 << 20;
  int open = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir != nullptr) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++open;
    }
    ::closedir(dir);
    --open;  // the directory's own
  } else {
    for (rlim_t fd = 0; fd < limit.rlim_cur && fd < 65536; ++fd) {
      if (::fcntl(static_cast<int>(fd), F_GETFD) != -1) ++open;
    }
  }
  int left = static_cast<int>(limit.rlim_cur) - open;
  return left > 0 ? left : 0;
}

bool np_fio_toomany(int syserr) { return syserr == EMFILE || syserr == ENFILE; }

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

const char* np_fio_errtext(int syserr) {
  thread_local char text[128];
  if (syserr == 0) return "unknown error";
  // The GNU strerror_r returns the text (in `text` or a static string).
  return ::strerror_r(syserr, text, sizeof(text));
}

const char* np_fio_advice(int syserr) {
  switch (syserr) {
    case ENOSPC:
    case EDQUOT:
      return " Check the free space in the temporary directory, or use another one.";
    case EFBIG:
      return " A limit on the size of files was reached.";
    case EMFILE:
    case ENFILE:
      return " Too many files are open: raise the limit of open files.";
    case EACCES:
    case EPERM:
    case EROFS:
      return " Check that the directory is writable.";
    case ENOENT:
    case ENOTDIR:
      return " Check that the directory exists.";
    default:
      return "";
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

int64_t np_dir_freebytes(const char* path) {
  if (path == nullptr) {
    const char* env = std::getenv("TMPDIR");
    path = env != nullptr && *env != '\0' ? env : "/tmp";
  }
  struct statvfs fs;
  if (::statvfs(path, &fs) != 0) return -1;
  uint64_t bytes = static_cast<uint64_t>(fs.f_bavail) * static_cast<uint64_t>(fs.f_frsize);
  return bytes > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(bytes);
}

int np_dir_close(NpHandle handle) {
  if (handle == 0) return kNpErrArgument;
  ::closedir(reinterpret_cast<DIR*>(handle));
  return kNpOk;
}
