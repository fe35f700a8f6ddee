#include "npfio_pack.h"

#include <errno.h>
#include <fcntl.h>
#include <lz4.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "npfio.h"
#include "tqballoc.h"
#include "tqbconfig.h"
#include "tqfault.h"
#include "tqsync.h"

extern char** environ;

namespace {

constexpr uint32_t kHeader = 16;  // u32 bytes, u32 compressed bytes, u64 checksum

// --- the codec ----------------------------------------------------------------------------

// Keeps the first failure of the compress program since the host last cleared it, in
// the words a user of the command line knows, as the configuration value
// kNpCompressFailureKey for the host to show.
void programFailed(const char* format, const char* program, const char* detail) {
  TqbConfigOptions* config = tqbGetConfigOptions("");
  if (config->has(TqbString(kNpCompressFailureKey))) return;
  char text[4400];
  std::snprintf(text, sizeof(text), format, program, detail);
  tqbSetConfigValue(kNpCompressFailureKey, text);
}

// A growable buffer of one thread: a frame's compressed bytes on their way.
struct Scratch {
  uint8_t* bytes = nullptr;
  size_t capacity = 0;
  ~Scratch() { tqbFree(bytes); }
  bool reserve(size_t n) {
    if (n <= capacity) return true;
    if (n < capacity * 2) n = capacity * 2;  // a program's output grows piece by piece
    void* grown = tqbRealloc(bytes, n);
    if (grown == nullptr) return false;
    bytes = static_cast<uint8_t*>(grown);
    capacity = n;
    return true;
  }
};
thread_local Scratch t_scratch;

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

// Writes all of `n` bytes to a pipe that the caller made non-blocking, or reads what
// there is; one step of the exchange with the program.
struct Exchange {
  const uint8_t* in;
  size_t inLeft;
  Scratch* out;
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
    ssize_t r = ::read(fromChild, x->out->bytes + x->outUsed, 65536);
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
pid_t startProgram(const char* program, bool decompress, int* toChild, int* fromChild) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return -1;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]), ::close(in[1]);
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
    programFailed("couldn't execute compress program '%s': %s", program, std::strerror(started));
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
bool runProgram(const char* program, bool decompress, const uint8_t* in, size_t n, Scratch* out, size_t limit,
                size_t* outLength) {
  sigset_t pipeSignal, before;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
  sigset_t pendingBefore;
  sigpending(&pendingBefore);
  int toChild = -1, fromChild = -1;
  pid_t pid = startProgram(program, decompress, &toChild, &fromChild);
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
  if (!ok) programFailed(decompress ? "'%s' [-d] terminated abnormally%s" : "'%s' terminated abnormally%s", program, "");
  *outLength = x.outUsed;
  return ok;
}

// Compresses `n` bytes into t_scratch after room for the header; the compressed
// length, or 0 on failure (*error set).
size_t compressFrame(int codec, const char* program, const uint8_t* raw, uint32_t n, int* error) {
  size_t packed = 0;
  if (codec == kNpCodecLz4) {
    int bound = LZ4_compressBound(static_cast<int>(n));
    if (!t_scratch.reserve(kHeader + static_cast<size_t>(bound))) return *error = ENOMEM, 0;
    int got = LZ4_compress_default(reinterpret_cast<const char*>(raw), reinterpret_cast<char*>(t_scratch.bytes + kHeader),
                                   static_cast<int>(n), bound);
    packed = got > 0 ? static_cast<size_t>(got) : 0;
  } else {
    Scratch out;
    if (!out.reserve(kHeader) || !runProgram(program, false, raw, n, &out, UINT32_MAX - kHeader, &packed)) return *error = EIO, 0;
    if (packed == 0) programFailed("'%s' terminated abnormally%s", program, " (it wrote nothing)");
    // The program wrote after no header: move its bytes into place.
    if (!t_scratch.reserve(kHeader + packed)) return *error = ENOMEM, 0;
    std::memcpy(t_scratch.bytes + kHeader, out.bytes, packed);
  }
  if (packed == 0) *error = EIO;
  return packed;
}

// Decompresses a frame's `packed` bytes (at `from`) into `to`, which takes `n` bytes.
bool decompressFrame(int codec, const char* program, const uint8_t* from, uint32_t packed, uint8_t* to, uint32_t n) {
  if (codec == kNpCodecLz4) {
    return LZ4_decompress_safe(reinterpret_cast<const char*>(from), reinterpret_cast<char*>(to),
                               static_cast<int>(packed), static_cast<int>(n)) == static_cast<int>(n);
  }
  Scratch out;
  size_t got = 0;
  if (!runProgram(program, true, from, packed, &out, n, &got)) return false;
  if (got != n) {
    programFailed("'%s' [-d] terminated abnormally%s", program, " (it gave other bytes than were compressed)");
    return false;
  }
  std::memcpy(to, out.bytes, n);
  return true;
}

// --- files --------------------------------------------------------------------------------

struct Frame {
  uint64_t logical;   // the offset of its first byte
  uint64_t physical;  // where its header starts in the file
};

// A compressed file as all its handles share it.
struct Shared {
  Shared* next = nullptr;  // in the list of named files
  char* path = nullptr;    // null once unlinked
  int refs = 0;            // guarded by g_registry
  int codec = kNpCodecNone;
  char* program = nullptr;  // kNpCodecProgram: its name
  uint32_t frameBytes = 0;
  TqStdMutex mutex;
  Frame* frames TQ_GUARDED_BY(mutex) = nullptr;
  size_t frameCount TQ_GUARDED_BY(mutex) = 0;
  size_t frameCapacity TQ_GUARDED_BY(mutex) = 0;
  uint64_t flushed TQ_GUARDED_BY(mutex) = 0;   // bytes in frames
  uint64_t physEnd TQ_GUARDED_BY(mutex) = 0;   // the file's size on disk
  uint64_t generation TQ_GUARDED_BY(mutex) = 0;  // counts truncations into frames
  uint8_t* pending TQ_GUARDED_BY(mutex) = nullptr;  // the unwritten last frame
  uint32_t pendingLength TQ_GUARDED_BY(mutex) = 0;
};

TqStdMutex g_registry;
Shared* g_named TQ_GUARDED_BY(g_registry) = nullptr;

}  // namespace

struct NpPack {
  Shared* file;
  int fd;
  uint64_t pos = 0;
  bool wrote = false;
  uint8_t* cache = nullptr;  // the frame read last
  uint64_t cacheStart = 0;
  uint32_t cacheLength = 0;
  uint64_t cacheGeneration = 0;
};

namespace {

// Takes `s` off the list of named files (the caller holds g_registry).
void unname(Shared* s) TQ_REQUIRES(g_registry) {
  for (Shared** p = &g_named; *p != nullptr; p = &(*p)->next) {
    if (*p == s) {
      *p = s->next;
      break;
    }
  }
  tqbFree(s->path);
  s->path = nullptr;
}

void destroy(Shared* s) TQ_NO_THREAD_SAFETY_ANALYSIS {  // the last reference: nobody else sees it
  tqbFree(s->frames);
  tqbFree(s->pending);
  tqbFree(s->program);
  tqbFree(s->path);
  tqbDelete(s);
}

NpPack* attach(Shared* s, int fd, int* error) TQ_REQUIRES(g_registry) {
  NpPack* pack = tqbNew<NpPack>(NpPack{s, fd});
  if (pack == nullptr) {
    *error = ENOMEM;
    return nullptr;
  }
  ++s->refs;
  return pack;
}

uint64_t frameEnd(const Shared* s, size_t k) TQ_REQUIRES(s->mutex) {
  return k + 1 < s->frameCount ? s->frames[k + 1].logical : s->flushed;
}

// The frame that holds `offset` (below s->flushed).
size_t frameAt(const Shared* s, uint64_t offset) TQ_REQUIRES(s->mutex) {
  size_t low = 0, high = s->frameCount;  // frames[low].logical <= offset < frames[high]
  while (high - low > 1) {
    size_t mid = (low + high) / 2;
    if (s->frames[mid].logical <= offset) low = mid; else high = mid;
  }
  return low;
}

// Writes the unwritten frame after the others.  On failure the frame stays unwritten
// and the file ends where it did.
bool flushFrame(Shared* s, int fd, int* error) TQ_REQUIRES(s->mutex) {
  if (s->pendingLength == 0) return true;
  if (s->frameCount == s->frameCapacity) {
    size_t grown = s->frameCapacity == 0 ? 64 : s->frameCapacity * 2;
    void* p = tqbRealloc(s->frames, grown * sizeof(Frame));
    if (p == nullptr) return *error = ENOMEM, false;
    s->frames = static_cast<Frame*>(p);
    s->frameCapacity = grown;
  }
  bool faulted = tqFaultCheck(TqFaultOp::Flush) != TqFaultMode::None;
  size_t packed = faulted ? 0 : compressFrame(s->codec, s->program, s->pending, s->pendingLength, error);
  if (faulted) *error = ENOSPC;
  if (packed == 0) return false;
  uint32_t header[2] = {s->pendingLength, static_cast<uint32_t>(packed)};
  uint64_t sum = frameSum(t_scratch.bytes + kHeader, packed);
  std::memcpy(t_scratch.bytes, header, 8);
  std::memcpy(t_scratch.bytes + 8, &sum, 8);
  size_t total = kHeader + packed, done = 0;
  while (done < total) {
    ssize_t w = ::pwrite(fd, t_scratch.bytes + done, total - done, static_cast<off_t>(s->physEnd + done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      *error = w < 0 ? errno : ENOSPC;
      if (::ftruncate(fd, static_cast<off_t>(s->physEnd)) != 0) {
      }  // the next frame is written over what reached the disk anyway
      return false;
    }
    done += static_cast<size_t>(w);
  }
  s->frames[s->frameCount++] = Frame{s->flushed, s->physEnd};
  s->physEnd += total;
  s->flushed += s->pendingLength;
  s->pendingLength = 0;
  return true;
}

// Reads frame `k` (`raw` bytes) into `to`; false with EIO when it is short or damaged.
bool readFrame(Shared* s, int fd, const Frame& frame, uint64_t physNext, uint32_t raw, uint8_t* to, int* error) {
  uint64_t total = physNext - frame.physical;
  if (total < kHeader || !t_scratch.reserve(total)) return *error = total < kHeader ? EIO : ENOMEM, false;
  size_t done = 0;
  while (done < total) {
    ssize_t r = ::pread(fd, t_scratch.bytes + done, total - done, static_cast<off_t>(frame.physical + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return *error = r < 0 ? errno : EIO, false;
    done += static_cast<size_t>(r);
  }
  uint32_t header[2];
  uint64_t sum;
  std::memcpy(header, t_scratch.bytes, 8);
  std::memcpy(&sum, t_scratch.bytes + 8, 8);
  const uint8_t* packed = t_scratch.bytes + kHeader;
  if (header[0] != raw || header[1] != total - kHeader || sum != frameSum(packed, header[1]) ||
      !decompressFrame(s->codec, s->program, packed, header[1], to, raw)) {
    return *error = EIO, false;
  }
  return true;
}

// Brings the frame that holds `offset` (below the flushed bytes) into the handle's cache.
bool refill(NpPack* p, uint64_t offset, int* error) {
  Shared* s = p->file;
  if (p->cache == nullptr) {
    p->cache = static_cast<uint8_t*>(tqbMalloc(s->frameBytes));
    if (p->cache == nullptr) return *error = ENOMEM, false;
  }
  Frame frame;
  uint64_t physNext, start, end, generation;
  {
    TqStdLock lock(s->mutex);
    size_t k = frameAt(s, offset);
    frame = s->frames[k];
    physNext = k + 1 < s->frameCount ? s->frames[k + 1].physical : s->physEnd;
    start = frame.logical;
    end = frameEnd(s, k);
    generation = s->generation;
  }
  p->cacheLength = 0;
  if (tqFaultCheck(TqFaultOp::Refill) != TqFaultMode::None) return *error = EIO, false;
  if (!readFrame(s, p->fd, frame, physNext, static_cast<uint32_t>(end - start), p->cache, error)) return false;
  p->cacheStart = start;
  p->cacheLength = static_cast<uint32_t>(end - start);
  p->cacheGeneration = generation;
  return true;
}

}  // namespace

// --- the interface ----------------------------------------------------------------------------

namespace {

char* copyText(const char* text) {
  size_t length = std::strlen(text);
  char* copy = static_cast<char*>(tqbMalloc(length + 1));
  if (copy != nullptr) std::memcpy(copy, text, length + 1);
  return copy;
}

}  // namespace

int npPackCodec(char* program, size_t programSize) {
  TqbString value;
  if (!tqbGetConfigOptions("")->lookup(TqbString(kNpCompressKey), value)) return kNpCodecNone;
  const char* text = value.asCstr();
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

NpPack* npPackCreate(int fd, const char* path, int codec, const char* program, int* error) {
  Shared* s = tqbNew<Shared>();
  char* name = copyText(path);
  char* programName = codec == kNpCodecProgram ? copyText(program) : nullptr;
  if (s == nullptr || name == nullptr || (codec == kNpCodecProgram && programName == nullptr)) {
    if (s != nullptr) tqbDelete(s);
    tqbFree(name);
    tqbFree(programName);
    *error = ENOMEM;
    return nullptr;
  }
  s->path = name;
  s->codec = codec;
  s->program = programName;
  s->frameBytes = codec == kNpCodecProgram ? kNpPackProgramFrame : kNpPackLz4Frame;
  TqStdLock lock(g_registry);
  NpPack* pack = attach(s, fd, error);
  if (pack == nullptr) {
    destroy(s);
    return nullptr;
  }
  s->next = g_named;
  g_named = s;
  return pack;
}

NpPack* npPackOpen(int fd, const char* path, int* error) {
  *error = 0;
  TqStdLock lock(g_registry);
  for (Shared* s = g_named; s != nullptr; s = s->next) {
    if (std::strcmp(s->path, path) == 0) return attach(s, fd, error);
  }
  return nullptr;
}

void npPackForget(const char* path) {
  Shared* gone = nullptr;
  {
    TqStdLock lock(g_registry);
    for (Shared* s = g_named; s != nullptr; s = s->next) {
      if (std::strcmp(s->path, path) == 0) {
        unname(s);
        if (s->refs == 0) gone = s;
        break;
      }
    }
  }
  if (gone != nullptr) destroy(gone);
}

int32_t npPackGet(NpPack* p, uint8_t* to, int32_t count, int* error) {
  Shared* s = p->file;
  int32_t done = 0;
  while (done < count) {
    {
      TqStdLock lock(s->mutex);
      uint64_t size = s->flushed + s->pendingLength;
      if (p->pos >= size) break;
      bool cached = p->cacheGeneration == s->generation && p->pos >= p->cacheStart &&
                    p->pos < p->cacheStart + p->cacheLength;
      const uint8_t* from = nullptr;
      uint64_t avail = 0;
      if (cached) {
        from = p->cache + (p->pos - p->cacheStart);
        avail = p->cacheStart + p->cacheLength - p->pos;
      } else if (p->pos >= s->flushed) {
        from = s->pending + (p->pos - s->flushed);
        avail = size - p->pos;
      }
      if (from != nullptr) {
        uint32_t n = static_cast<uint32_t>(avail < static_cast<uint64_t>(count - done) ? avail : count - done);
        std::memcpy(to + done, from, n);
        done += static_cast<int32_t>(n);
        p->pos += n;
        continue;
      }
    }
    if (!refill(p, p->pos, error)) return done > 0 ? done : -1;
  }
  return done;
}

int32_t npPackPut(NpPack* p, const uint8_t* from, int32_t count, int* error) {
  Shared* s = p->file;
  TqStdLock lock(s->mutex);
  if (p->pos != s->flushed + s->pendingLength) return *error = EINVAL, -1;  // appends only
  if (s->pending == nullptr && count > 0) {
    s->pending = static_cast<uint8_t*>(tqbMalloc(s->frameBytes));
    if (s->pending == nullptr) return *error = ENOMEM, -1;
  }
  p->wrote = true;
  int32_t done = 0;
  while (done < count) {
    // A full frame is written when more bytes come (or at close), so that a write that
    // fails takes none of the bytes after it.
    if (s->pendingLength == s->frameBytes && !flushFrame(s, p->fd, error)) return done > 0 ? done : -1;
    uint32_t room = s->frameBytes - s->pendingLength;
    uint32_t n = room < static_cast<uint32_t>(count - done) ? room : static_cast<uint32_t>(count - done);
    std::memcpy(s->pending + s->pendingLength, from + done, n);
    s->pendingLength += n;
    done += static_cast<int32_t>(n);
    p->pos += n;
  }
  return done;
}

int64_t npPackSeek(NpPack* p, int64_t offset, int whence, int* error) {
  Shared* s = p->file;
  int64_t base = 0;
  if (whence == 1) base = static_cast<int64_t>(p->pos);
  if (whence == 2) {
    TqStdLock lock(s->mutex);
    base = static_cast<int64_t>(s->flushed + s->pendingLength);
  }
  if (base + offset < 0) return *error = EINVAL, -1;
  p->pos = static_cast<uint64_t>(base + offset);
  return base + offset;
}

int npPackTrunc(NpPack* p, int* error) {
  Shared* s = p->file;
  TqStdLock lock(s->mutex);
  if (p->pos > s->flushed + s->pendingLength) return *error = EINVAL, -1;
  if (p->pos >= s->flushed) {
    s->pendingLength = static_cast<uint32_t>(p->pos - s->flushed);
    return 0;
  }
  // Into the written frames: the frame that holds the new end becomes the unwritten one.
  if (s->pending == nullptr) s->pending = static_cast<uint8_t*>(tqbMalloc(s->frameBytes));
  if (s->pending == nullptr) return *error = ENOMEM, -1;
  size_t k = frameAt(s, p->pos);
  const Frame frame = s->frames[k];
  uint64_t physNext = k + 1 < s->frameCount ? s->frames[k + 1].physical : s->physEnd;
  uint32_t raw = static_cast<uint32_t>(frameEnd(s, k) - frame.logical);
  if (!readFrame(s, p->fd, frame, physNext, raw, s->pending, error)) return -1;
  s->pendingLength = static_cast<uint32_t>(p->pos - frame.logical);
  s->frameCount = k;
  s->flushed = frame.logical;
  s->physEnd = frame.physical;
  ++s->generation;
  if (::ftruncate(p->fd, static_cast<off_t>(frame.physical)) != 0) return *error = errno, -1;
  return 0;
}

bool npPackClose(NpPack* p, int* error) {
  Shared* s = p->file;
  bool ok = true;
  if (p->wrote) {
    TqStdLock lock(s->mutex);
    ok = flushFrame(s, p->fd, error);
  }
  tqbFree(p->cache);
  bool last = false;
  {
    TqStdLock lock(g_registry);
    last = --s->refs == 0;
    if (last && s->path != nullptr) {
      // Kept for a handle opened by name later; the frame buffer is not needed then.
      TqStdLock fileLock(s->mutex);
      tqbFree(s->pending);
      s->pending = nullptr;
      if (s->pendingLength > 0) s->pendingLength = 0;  // a frame that could not be written is lost
      last = false;
    }
  }
  if (last) destroy(s);
  tqbDelete(p);
  return ok;
}
