#include "tqballoc.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>

#include "tqfault.h"

namespace {

std::atomic<int64_t> g_current{0};
std::atomic<int64_t> g_peak{0};

void* counted(void* p) {
  if (p != nullptr) {
    int64_t now = g_current.fetch_add(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed) +
                  static_cast<int64_t>(malloc_usable_size(p));
    int64_t peak = g_peak.load(std::memory_order_relaxed);
    while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
  }
  return p;
}

void uncount(void* p) {
  if (p != nullptr) g_current.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
}

}  // namespace

void* tqbMalloc(size_t size) {
  if (tqFaultCheck(TqFaultOp::Alloc) != TqFaultMode::None) return nullptr;
  return counted(std::malloc(size == 0 ? 1 : size));
}

void* tqbCalloc(size_t count, size_t size) {
  if (tqFaultCheck(TqFaultOp::Alloc) != TqFaultMode::None) return nullptr;
  return counted(std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size));
}

void* tqbRealloc(void* p, size_t size) {
  if (tqFaultCheck(TqFaultOp::Alloc) != TqFaultMode::None) return nullptr;
  size_t before = p != nullptr ? malloc_usable_size(p) : 0;
  void* q = std::realloc(p, size == 0 ? 1 : size);
  if (q == nullptr) return nullptr;
  g_current.fetch_sub(static_cast<int64_t>(before), std::memory_order_relaxed);
  return counted(q);
}

void tqbFree(void* p) {
  uncount(p);
  std::free(p);
}

void tqbAllocStats(int64_t* current, int64_t* peak) {
  if (current != nullptr) *current = g_current.load();
  if (peak != nullptr) *peak = g_peak.load();
}

void tqbAllocResetPeak() { g_peak.store(g_current.load()); }
