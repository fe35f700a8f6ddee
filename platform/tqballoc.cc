#include "tqballoc.h"

#include <malloc.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "tqfault.h"
#include "tqsync.h"

namespace {

std::atomic<int64_t> g_current{0};
std::atomic<int64_t> g_peak{0};

void countBytes(int64_t bytes) {
  int64_t now = g_current.fetch_add(bytes, std::memory_order_relaxed) + bytes;
  int64_t peak = g_peak.load(std::memory_order_relaxed);
  while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
}

// Large blocks (chunk buffers, batches, windows) are mapped from the system for
// themselves and unmapped when freed.  The C library would serve them, once the first
// one is freed, from the arena of the thread that asks (its threshold for mapping rises
// with every large block freed), and an arena keeps the pages freed in it: buffers
// freed on one sort thread and taken anew on another held a host's resident memory
// 20-35 MB above what a sort of 64 MiB counted.  Blocks of 32 MiB or more the C
// library maps for themselves already (its threshold never rises past that); they stay
// with it (mapped here, they made the in-memory sort of 4M rows several times slower
// in its sort and read phases, for a reason not found yet).  Under AddressSanitizer
// every block stays with malloc, which then checks the large ones' bounds too.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMapLargeBlocks = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kMapLargeBlocks = false;
#else
constexpr bool kMapLargeBlocks = true;
#endif
#else
constexpr bool kMapLargeBlocks = true;
#endif
constexpr size_t kLargeBlock = size_t{256} << 10;
constexpr size_t kHugeBlock = size_t{32} << 20;
bool mapsItself(size_t size) { return kMapLargeBlocks && size >= kLargeBlock && size < kHugeBlock; }
constexpr uintptr_t kPageMask = 4095;  // mappings start on a page (4096 bytes or more)

// The mapped blocks and their mapped lengths.
class LargeBlocks {
 public:
  void* map(size_t size) {
    size_t length = (size + kPageMask) & ~size_t{kPageMask};
    void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    try {
      TqStdLock lock(mutex_);
      lengths_.emplace(p, length);
    } catch (const std::bad_alloc&) {
      ::munmap(p, length);
      return nullptr;
    }
    countBytes(static_cast<int64_t>(length));
    return p;
  }
  // The mapped length of `p`, or 0 when it is not a mapped block.
  size_t length(void* p) {
    if ((reinterpret_cast<uintptr_t>(p) & kPageMask) != 0) return 0;  // most blocks
    TqStdLock lock(mutex_);
    auto it = lengths_.find(p);
    return it == lengths_.end() ? 0 : it->second;
  }
  // A mapped block grown or shrunk in place or moved by the system, without copying:
  // the new address, or null (the block unchanged).
  void* remap(void* p, size_t length, size_t size) {
    size_t newLength = (size + kPageMask) & ~size_t{kPageMask};
    void* q = ::mremap(p, length, newLength, MREMAP_MAYMOVE);
    if (q == MAP_FAILED) return nullptr;
    {
      // The record moves with the block: the same node, so nothing is allocated.
      TqStdLock lock(mutex_);
      auto node = lengths_.extract(p);
      node.key() = q;
      node.mapped() = newLength;
      lengths_.insert(std::move(node));
    }
    countBytes(static_cast<int64_t>(newLength) - static_cast<int64_t>(length));
    return q;
  }
  void unmap(void* p, size_t length) {
    {
      TqStdLock lock(mutex_);
      lengths_.erase(p);
    }
    g_current.fetch_sub(static_cast<int64_t>(length), std::memory_order_relaxed);
    ::munmap(p, length);
  }

 private:
  TqStdMutex mutex_;
  std::unordered_map<void*, size_t> lengths_ TQ_GUARDED_BY(mutex_);
};

// Never destroyed: blocks may be freed by destructors that run at exit.
LargeBlocks& largeBlocks() {
  static LargeBlocks* blocks = new LargeBlocks();
  return *blocks;
}

void* counted(void* p) {
  if (p != nullptr) countBytes(static_cast<int64_t>(malloc_usable_size(p)));
  return p;
}

void uncount(void* p) {
  if (p != nullptr) g_current.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
}

void* allocate(size_t size) {
  if (mapsItself(size)) return largeBlocks().map(size);
  return counted(std::malloc(size == 0 ? 1 : size));
}

}  // namespace

void* tqbMalloc(size_t size) {
  if (tqFaultCheck(TqFaultOp::Alloc) != TqFaultMode::None) return nullptr;
  return allocate(size);
}

void* tqbCalloc(size_t count, size_t size) {
  if (tqFaultCheck(TqFaultOp::Alloc) != TqFaultMode::None) return nullptr;
  if (size != 0 && count > static_cast<size_t>(-1) / size) return nullptr;
  if (mapsItself(count * size)) return largeBlocks().map(count * size);  // zeroed
  return counted(std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size));
}

void* tqbRealloc(void* p, size_t size) {
  if (tqFaultCheck(TqFaultOp::Alloc) != TqFaultMode::None) return nullptr;
  size_t mapped = p != nullptr && kMapLargeBlocks ? largeBlocks().length(p) : 0;
  if (mapped != 0 && mapsItself(size)) return largeBlocks().remap(p, mapped, size);
  if (mapped != 0 || mapsItself(size)) {
    // Into or out of a mapped block: a new block, the bytes copied, the old one freed.
    void* q = allocate(size);
    if (q == nullptr) return nullptr;
    if (p != nullptr) {
      size_t old = mapped != 0 ? mapped : malloc_usable_size(p);
      std::memcpy(q, p, old < size ? old : size);
      tqbFree(p);
    }
    return q;
  }
  size_t before = p != nullptr ? malloc_usable_size(p) : 0;
  void* q = std::realloc(p, size == 0 ? 1 : size);
  if (q == nullptr) return nullptr;
  g_current.fetch_sub(static_cast<int64_t>(before), std::memory_order_relaxed);
  return counted(q);
}

void tqbFree(void* p) {
  if (p == nullptr) return;
  size_t mapped = kMapLargeBlocks ? largeBlocks().length(p) : 0;
  if (mapped != 0) {
    largeBlocks().unmap(p, mapped);
    return;
  }
  uncount(p);
  std::free(p);
}

void tqbAllocStats(int64_t* current, int64_t* peak) {
  if (current != nullptr) *current = g_current.load();
  if (peak != nullptr) *peak = g_peak.load();
}

void tqbAllocResetPeak() { g_peak.store(g_current.load()); }
