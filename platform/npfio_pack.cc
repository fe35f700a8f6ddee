#include "npfio_pack.h"

#include <errno.h>
#include <unistd.h>

#include <cstring>

#include "npfio.h"
#include "npframe.h"
#include "tqballoc.h"
#include "tqbconfig.h"
#include "tqsync.h"

namespace {

// The library's allocator, so that fault injection reaches every allocation here.
const NpFrameAllocator kAllocator = {tqbRealloc, tqbFree};

// A frame's compressed bytes on their way, per thread.
thread_local NpFrameBuffer t_scratch(kAllocator);

// Keeps the first failure of the compress program since the host last cleared it, in
// the words a user of the command line knows, as the configuration value
// kNpCompressFailureKey for the host to show.
void keepFailure(const NpFrameFailure& failure) {
  if (failure.text[0] == '\0') return;
  TqbConfigOptions* config = tqbGetConfigOptions("");
  if (config->has(TqbString(kNpCompressFailureKey))) return;
  tqbSetConfigValue(kNpCompressFailureKey, failure.text);
}

// --- files --------------------------------------------------------------------------------

// A compressed file as all its handles share it.
struct Shared {
  Shared(int kind, const char* program) : codec(kind, program, kAllocator), index(kAllocator) {}
  Shared* next = nullptr;  // in the list of named files
  char* path = nullptr;    // null once unlinked
  int refs = 0;            // guarded by g_registry
  const NpFrameCodec codec;  // set when made: read without the lock
  TqStdMutex mutex;
  NpFrameIndex index TQ_GUARDED_BY(mutex);  // its written frames
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
  tqbFree(s->pending);
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

// Writes the unwritten frame after the others.  On failure the frame stays unwritten
// and the file ends where it did.
bool flushFrame(Shared* s, int fd, int* error) TQ_REQUIRES(s->mutex) {
  if (s->pendingLength == 0) return true;
  NpFrameFailure failure;
  bool ok = s->index.append(fd, s->codec, s->pending, s->pendingLength, &t_scratch, error, &failure);
  keepFailure(failure);
  if (ok) s->pendingLength = 0;
  return ok;
}

// Reads the frame at `where` into `to`; false with EIO when it is short or damaged.
bool readFrame(const Shared* s, int fd, const NpFrameExtent& where, uint8_t* to, int* error) {
  NpFrameFailure failure;
  bool ok = s->codec.read(fd, where, to, &t_scratch, error, &failure);
  keepFailure(failure);
  return ok;
}

// Brings the frame that holds `offset` (below the written frames' end) into the
// handle's cache.  The frame is read without the file's lock: frames once written stay.
bool refill(NpPack* p, uint64_t offset, int* error) {
  Shared* s = p->file;
  if (p->cache == nullptr) {
    p->cache = static_cast<uint8_t*>(tqbMalloc(s->codec.frameBytes()));
    if (p->cache == nullptr) return *error = ENOMEM, false;
  }
  NpFrameExtent where;
  uint64_t generation;
  {
    TqStdLock lock(s->mutex);
    where = s->index.extent(s->index.frameAt(offset));
    generation = s->generation;
  }
  p->cacheLength = 0;
  if (!readFrame(s, p->fd, where, p->cache, error)) return false;
  p->cacheStart = where.raw;
  p->cacheLength = where.rawLength;
  p->cacheGeneration = generation;
  return true;
}

char* copyText(const char* text) {
  size_t length = std::strlen(text);
  char* copy = static_cast<char*>(tqbMalloc(length + 1));
  if (copy != nullptr) std::memcpy(copy, text, length + 1);
  return copy;
}

}  // namespace

// --- the interface ----------------------------------------------------------------------------

int npPackCodec(char* program, size_t programSize) {
  TqbString value;
  if (!tqbGetConfigOptions("")->lookup(TqbString(kNpCompressKey), value)) return kNpCodecNone;
  return npFrameCodec(value.asCstr(), program, programSize);
}

NpPack* npPackCreate(int fd, const char* path, int codec, const char* program, int* error) {
  Shared* s = tqbNew<Shared>(codec, program);
  char* name = copyText(path);
  if (s == nullptr || name == nullptr || !s->codec.ok()) {
    if (s != nullptr) tqbDelete(s);
    tqbFree(name);
    *error = ENOMEM;
    return nullptr;
  }
  s->path = name;
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
      uint64_t size = s->index.size() + s->pendingLength;
      if (p->pos >= size) break;
      bool cached = p->cacheGeneration == s->generation && p->pos >= p->cacheStart &&
                    p->pos < p->cacheStart + p->cacheLength;
      const uint8_t* from = nullptr;
      uint64_t avail = 0;
      if (cached) {
        from = p->cache + (p->pos - p->cacheStart);
        avail = p->cacheStart + p->cacheLength - p->pos;
      } else if (p->pos >= s->index.size()) {
        from = s->pending + (p->pos - s->index.size());
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
  if (p->pos != s->index.size() + s->pendingLength) return *error = EINVAL, -1;  // appends only
  if (s->pending == nullptr && count > 0) {
    s->pending = static_cast<uint8_t*>(tqbMalloc(s->codec.frameBytes()));
    if (s->pending == nullptr) return *error = ENOMEM, -1;
  }
  p->wrote = true;
  const uint32_t frameBytes = s->codec.frameBytes();
  int32_t done = 0;
  while (done < count) {
    // A full frame is written when more bytes come (or at close), so that a write that
    // fails takes none of the bytes after it.
    if (s->pendingLength == frameBytes && !flushFrame(s, p->fd, error)) return done > 0 ? done : -1;
    uint32_t room = frameBytes - s->pendingLength;
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
    base = static_cast<int64_t>(s->index.size() + s->pendingLength);
  }
  if (base + offset < 0) return *error = EINVAL, -1;
  p->pos = static_cast<uint64_t>(base + offset);
  return base + offset;
}

int npPackTrunc(NpPack* p, int* error) {
  Shared* s = p->file;
  TqStdLock lock(s->mutex);
  if (p->pos > s->index.size() + s->pendingLength) return *error = EINVAL, -1;
  if (p->pos >= s->index.size()) {
    s->pendingLength = static_cast<uint32_t>(p->pos - s->index.size());
    return 0;
  }
  // Into the written frames: the frame that holds the new end becomes the unwritten one.
  if (s->pending == nullptr) s->pending = static_cast<uint8_t*>(tqbMalloc(s->codec.frameBytes()));
  if (s->pending == nullptr) return *error = ENOMEM, -1;
  size_t k = s->index.frameAt(p->pos);
  const NpFrameExtent where = s->index.extent(k);
  if (!readFrame(s, p->fd, where, s->pending, error)) return -1;
  s->pendingLength = static_cast<uint32_t>(p->pos - where.raw);
  s->index.dropFrom(k);
  ++s->generation;
  if (::ftruncate(p->fd, static_cast<off_t>(where.disk)) != 0) return *error = errno, -1;
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
