#include "npframe.h"

#include <errno.h>
#include <fcntl.h>
#include <lz4.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "tqfault.h"

extern char** environ;

const NpFrameAllocator kNpFrameSystemAllocator = {std::realloc, std::free};

int npFrameCodec(const char* text, char* program, size_t programSize) {
  if (std::strcmp(text, "lz4") == 0) return kNpCodecLz4;
  static const char kProgram[] = "program:";
  size_t length = std::strlen(text);
  if (std::strncmp(text, kProgram, sizeof(kProgram) - 1) == 0 && length > sizeof(kProgram) - 1 &&
      length - (sizeof(kProgram) - 1) < programSize) {
    std::strcpy(program, text + sizeof(kProgram) - 1);
    return kNpCodecProgram;
  }
  return std::strcmp(text, "none") == 0 || *text == '\0' ? kNpCodecNone : -1;
}

bool NpFrameBuffer::reserve(size_t n) {
  if (n <= capacity_) return true;
  if (n < capacity_ * 2) n = capacity_ * 2;  // a program's output grows piece by piece
  void* grown = allocator_.realloc(bytes_, n);
  if (grown == nullptr) return false;
  bytes_ = static_cast<uint8_t*>(grown);
  capacity_ = n;
  return true;
}

namespace {

// Keeps the first failure of the compress program of these calls.
void programFailed(NpFrameFailure* failure, const char* format, const char* program, const char* detail) {
  if (failure->text[0] != '\0') return;
  std::snprintf(failure->text, sizeof(failure->text), format, program, detail);
}

uint64_t frameSum(const uint8_t* p, size_t n) {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    h = (h ^ w) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 32;
  }
  for (; i < n; ++i) h = (h ^ p[i]) * 0xC4CEB9FE1A85EC53ull;
  return h ^ (h >> 29);
}

// --- the program ----------------------------------------------------------------------------

// The bytes on their way to the program and back.
struct Exchange {
  const uint8_t* in;
  size_t inLeft;
  NpFrameBuffer* out;
  size_t outUsed = 0;
  size_t outLimit;
  bool tooLong = false;
};

// Feeds `in` to the program's standard input and gathers its standard output, both
// at once so that neither side waits for the other.  False on a failure of the pipes.
bool pump(int toChild, int fromChild, Exchange* x) {
  while (fromChild >= 0) {
    pollfd fds[2] = {{fromChild, POLLIN, 0}, {toChild, POLLOUT, 0}};
    int n = ::poll(fds, toChild >= 0 ? 2 : 1, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (toChild >= 0 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      ssize_t w = x->inLeft > 0 ? ::write(toChild, x->in, x->inLeft) : 0;
      if (w > 0) x->in += w, x->inLeft -= static_cast<size_t>(w);
      if (x->inLeft == 0 || (w < 0 && errno != EAGAIN && errno != EINTR)) {
        ::close(toChild);  // the end of its input (or it stopped reading)
        toChild = -1;
      }
    }
    if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) == 0) continue;
    if (!x->out->reserve(x->outUsed + 65536)) return false;
    ssize_t r = ::read(fromChild, x->out->bytes() + x->outUsed, 65536);
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (r <= 0) break;
    x->outUsed += static_cast<size_t>(r);
    if (x->outUsed > x->outLimit) {
      x->tooLong = true;
      break;
    }
  }
  if (toChild >= 0) ::close(toChild);
  return true;
}

// Starts the program with pipes on its standard input and output; its pid, or -1 with
// the failure kept.
pid_t startProgram(const char* program, bool decompress, int* toChild, int* fromChild, NpFrameFailure* failure) {
  int in[2], out[2];
  bool piped = ::pipe2(in, O_CLOEXEC) == 0;
  if (piped && ::pipe2(out, O_CLOEXEC) != 0) {
    int error = errno;
    ::close(in[0]), ::close(in[1]);
    errno = error;
    piped = false;
  }
  if (!piped) {
    // No pipes (no descriptors left): the program cannot be run.
    programFailed(failure, "couldn't execute compress program '%s': %s", program, std::strerror(errno));
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  // The program starts with no signal blocked and the terminating ones at their
  // defaults, whatever this thread holds back or the host ignores.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  char dash[] = "-d";
  char* argv[] = {const_cast<char*>(program), decompress ? dash : nullptr, nullptr};
  pid_t pid = -1;
  int started = posix_spawnp(&pid, program, &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]), ::close(out[1]);
  if (started != 0) {
    ::close(in[1]), ::close(out[0]);
    programFailed(failure, "couldn't execute compress program '%s': %s", program, std::strerror(started));
    return -1;
  }
  ::fcntl(in[1], F_SETFL, O_NONBLOCK);
  *toChild = in[1];
  *fromChild = out[0];
  return pid;
}

// Runs "PROG" (or "PROG -d") on `n` bytes; its output in `out` (at most `limit` bytes).
// A closed pipe to the program raises SIGPIPE on this thread: it is held back while the
// program runs and taken away if it came, so that the failure is the program's status.
bool runProgram(const char* program, bool decompress, const uint8_t* in, size_t n, NpFrameBuffer* out,
                size_t limit, size_t* outLength, NpFrameFailure* failure) {
  sigset_t pipeSignal, before;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
  sigset_t pendingBefore;
  sigpending(&pendingBefore);
  int toChild = -1, fromChild = -1;
  pid_t pid = startProgram(program, decompress, &toChild, &fromChild, failure);
  Exchange x{in, n, out, 0, limit};
  bool pumped = pid > 0 && pump(toChild, fromChild, &x);
  if (fromChild >= 0) ::close(fromChild);
  int status = 0;
  while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!sigismember(&pendingBefore, SIGPIPE)) {
    const timespec zero = {0, 0};
    while (sigtimedwait(&pipeSignal, nullptr, &zero) == SIGPIPE) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (pid <= 0) return false;
  bool ok = pumped && !x.tooLong && x.inLeft == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!ok) {
    programFailed(failure, decompress ? "'%s' [-d] terminated abnormally%s" : "'%s' terminated abnormally%s", program,
                  "");
  }
  *outLength = x.outUsed;
  return ok;
}

}  // namespace

// --- the codec --------------------------------------------------------------------------------

NpFrameCodec::NpFrameCodec(int codec, const char* program, const NpFrameAllocator& allocator)
    : codec_(codec), allocator_(allocator) {
  if (codec != kNpCodecProgram) return;
  size_t length = std::strlen(program);
  program_ = static_cast<char*>(allocator.realloc(nullptr, length + 1));
  if (program_ != nullptr) std::memcpy(program_, program, length + 1);
}

NpFrameCodec::~NpFrameCodec() { allocator_.free(program_); }

size_t NpFrameCodec::encode(const uint8_t* raw, uint32_t n, NpFrameBuffer* to, int* error,
                            NpFrameFailure* failure) const {
  size_t packed = 0;
  if (codec_ == kNpCodecLz4) {
    int bound = LZ4_compressBound(static_cast<int>(n));
    if (!to->reserve(kNpFrameHeader + static_cast<size_t>(bound))) return *error = ENOMEM, 0;
    int got = LZ4_compress_default(reinterpret_cast<const char*>(raw),
                                   reinterpret_cast<char*>(to->bytes() + kNpFrameHeader), static_cast<int>(n), bound);
    packed = got > 0 ? static_cast<size_t>(got) : 0;
  } else {
    NpFrameBuffer out(allocator_);
    if (!out.reserve(kNpFrameHeader) ||
        !runProgram(program_, false, raw, n, &out, UINT32_MAX - kNpFrameHeader, &packed, failure)) {
      return *error = EIO, 0;
    }
    if (packed == 0) programFailed(failure, "'%s' terminated abnormally%s", program_, " (it wrote nothing)");
    // The program wrote after no header: move its bytes into place.
    if (packed > 0 && !to->reserve(kNpFrameHeader + packed)) return *error = ENOMEM, 0;
    if (packed > 0) std::memcpy(to->bytes() + kNpFrameHeader, out.bytes(), packed);
  }
  if (packed == 0) return *error = EIO, 0;
  uint32_t header[2] = {n, static_cast<uint32_t>(packed)};
  uint64_t sum = frameSum(to->bytes() + kNpFrameHeader, packed);
  std::memcpy(to->bytes(), header, 8);
  std::memcpy(to->bytes() + 8, &sum, 8);
  return kNpFrameHeader + packed;
}

bool NpFrameCodec::read(int fd, const NpFrameExtent& where, uint8_t* to, NpFrameBuffer* scratch, int* error,
                        NpFrameFailure* failure) const {
  if (tqFaultCheck(TqFaultOp::Refill) != TqFaultMode::None) return *error = EIO, false;
  uint64_t total = where.diskLength;
  if (total < kNpFrameHeader) return *error = EIO, false;
  if (!scratch->reserve(total)) return *error = ENOMEM, false;
  uint8_t* bytes = scratch->bytes();
  size_t done = 0;
  while (done < total) {
    ssize_t r = ::pread(fd, bytes + done, total - done, static_cast<off_t>(where.disk + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return *error = r < 0 ? errno : EIO, false;
    done += static_cast<size_t>(r);
  }
  uint32_t header[2];
  uint64_t sum;
  std::memcpy(header, bytes, 8);
  std::memcpy(&sum, bytes + 8, 8);
  const uint8_t* packed = bytes + kNpFrameHeader;
  if (header[0] != where.rawLength || header[1] != total - kNpFrameHeader || sum != frameSum(packed, header[1]) ||
      !decompress(packed, header[1], to, where.rawLength, failure)) {
    return *error = EIO, false;
  }
  return true;
}

bool NpFrameCodec::decompress(const uint8_t* from, uint32_t packed, uint8_t* to, uint32_t n,
                              NpFrameFailure* failure) const {
  if (codec_ == kNpCodecLz4) {
    return LZ4_decompress_safe(reinterpret_cast<const char*>(from), reinterpret_cast<char*>(to),
                               static_cast<int>(packed), static_cast<int>(n)) == static_cast<int>(n);
  }
  NpFrameBuffer out(allocator_);
  size_t got = 0;
  if (!runProgram(program_, true, from, packed, &out, n, &got, failure)) return false;
  if (got != n) {
    programFailed(failure, "'%s' [-d] terminated abnormally%s", program_,
                  " (it gave other bytes than were compressed)");
    return false;
  }
  std::memcpy(to, out.bytes(), n);
  return true;
}

// --- the index ---------------------------------------------------------------------------------

bool NpFrameIndex::append(int fd, const NpFrameCodec& codec, const uint8_t* raw, uint32_t n, NpFrameBuffer* scratch,
                          int* error, NpFrameFailure* failure) {
  if (count_ == capacity_) {
    size_t grown = capacity_ == 0 ? 64 : capacity_ * 2;
    void* p = allocator_.realloc(frames_, grown * sizeof(Frame));
    if (p == nullptr) return *error = ENOMEM, false;
    frames_ = static_cast<Frame*>(p);
    capacity_ = grown;
  }
  bool faulted = tqFaultCheck(TqFaultOp::Flush) != TqFaultMode::None;
  size_t total = faulted ? 0 : codec.encode(raw, n, scratch, error, failure);
  if (faulted) *error = ENOSPC;
  if (total == 0) return false;
  const uint8_t* frame = scratch->bytes();
  size_t done = 0;
  while (done < total) {
    ssize_t w = ::pwrite(fd, frame + done, total - done, static_cast<off_t>(diskEnd_ + done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      *error = w < 0 ? errno : ENOSPC;
      if (::ftruncate(fd, static_cast<off_t>(diskEnd_)) != 0) {
      }  // the next frame is written over what reached the disk anyway
      return false;
    }
    done += static_cast<size_t>(w);
  }
  frames_[count_++] = Frame{size_, diskEnd_};
  diskEnd_ += total;
  size_ += n;
  return true;
}

size_t NpFrameIndex::frameAt(uint64_t offset) const {
  size_t low = 0, high = count_;  // frames_[low].raw <= offset < frames_[high].raw
  while (high - low > 1) {
    size_t mid = (low + high) / 2;
    if (frames_[mid].raw <= offset) low = mid; else high = mid;
  }
  return low;
}

void NpFrameIndex::dropFrom(size_t k) {
  if (k >= count_) return;
  size_ = frames_[k].raw;
  diskEnd_ = frames_[k].disk;
  count_ = k;
}
