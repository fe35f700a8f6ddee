#include "tqballoc.h"

#include <cstdlib>

#include "tqfault.h"

void* tqbMalloc(size_t size) {
  if (tqFaultCheck(TqFaultOp::Alloc) != TqFaultMode::None) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void* tqbCalloc(size_t count, size_t size) {
  if (tqFaultCheck(TqFaultOp::Alloc) != TqFaultMode::None) return nullptr;
  return std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
}

void* tqbRealloc(void* p, size_t size) {
  if (tqFaultCheck(TqFaultOp::Alloc) != TqFaultMode::None) return nullptr;
  return std::realloc(p, size == 0 ? 1 : size);
}

void tqbFree(void* p) { std::free(p); }
