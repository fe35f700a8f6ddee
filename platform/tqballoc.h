// The runtime allocator as the library uses it.
//
// Every allocation whose failure the library reports (catalogue message 29) goes
// through these functions, so that fault injection (tqfault.h) reaches it.  A failed
// allocation returns null; nothing here throws or aborts.
#ifndef TQ_PLATFORM_TQBALLOC_H
#define TQ_PLATFORM_TQBALLOC_H

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

void* tqbMalloc(size_t size);
void* tqbCalloc(size_t count, size_t size);
// Like realloc: on failure returns null and leaves `p` allocated and unchanged.
void* tqbRealloc(void* p, size_t size);
void tqbFree(void* p);

// Bytes held now and at most, over every allocation made here (all threads), as the
// runtime allocator sizes them.  For measuring the library's memory.
void tqbAllocStats(int64_t* current, int64_t* peak);
// Starts a new peak from the current figure.
void tqbAllocResetPeak();

// Constructs a T in memory from tqbMalloc; null when the allocation fails.
template <typename T, typename... Args>
T* tqbNew(Args&&... args) {
  void* mem = tqbMalloc(sizeof(T));
  if (mem == nullptr) return nullptr;
  return new (mem) T(std::forward<Args>(args)...);
}

// Destroys and frees an object made by tqbNew.
template <typename T>
void tqbDelete(T* p) {
  if (p == nullptr) return;
  p->~T();
  tqbFree(p);
}

// Array of n default-constructed T, or null.  Free with tqbDeleteArray(p, n).
template <typename T>
T* tqbNewArray(size_t n) {
  if (n == 0) n = 1;
  if (n > static_cast<size_t>(-1) / sizeof(T)) return nullptr;
  void* mem = tqbMalloc(n * sizeof(T));
  if (mem == nullptr) return nullptr;
  T* arr = static_cast<T*>(mem);
  for (size_t i = 0; i < n; ++i) new (&arr[i]) T();
  return arr;
}

template <typename T>
void tqbDeleteArray(T* p, size_t n) {
  if (p == nullptr) return;
  for (size_t i = 0; i < n; ++i) p[i].~T();
  tqbFree(p);
}

#endif
