// CHECK for the fuzz targets: a broken promise says which, then crashes, so that the
// fuzzer keeps the input that broke it.
#ifndef TQ_FUZZ_FUZZ_CHECK_H
#define TQ_FUZZ_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define CHECK(condition)                                                                   \
  do {                                                                                     \
    if (!(condition)) {                                                                    \
      std::fprintf(stderr, "check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                        \
    }                                                                                      \
  } while (0)

#endif
