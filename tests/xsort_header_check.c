/* The engine's header compiled as C (C11, pedantic): its records, tables and layout
 * checks hold for a C caller too.  Compiled by the test xsort_header_compiles_as_c. */
#include "xsort/tqxsort.h"

int xsortHeaderCheckC(void);

int xsortHeaderCheckC(void) {
  TqSortKeyPart part = {0, 8, TQ_SORT_KIND_INTEGER, 0, NULL, NULL};
  TqSortOutputChunk out = {0, NULL, TQ_SORT_CHUNK_LAST, 16, NULL};
  TQ_SORT_STATIC_ASSERT(sizeof(TqSortParmsOps) == 7 * sizeof(void*), "seven parameter slots");
  return (int)(part.offset + out.rowCount);
}
