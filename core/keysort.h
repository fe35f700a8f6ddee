// Sorting items by their encoded keys, in place: the chunk sorts (index entries, or
// whole fixed-length records) and the external engine's batches all order their rows
// here.
//
// radixSortKeys is an MSD radix sort on the key bytes, one byte a level, that moves the
// items within their own array (no scratch memory: the chunk sorts have none to spare in
// their budget).  At each level it counts the items per byte value; when they all hold
// one value (a constant presence byte, the high bytes of small integers, a shared string
// prefix) nothing moves and the next byte is taken; otherwise every item is swapped
// straight into its value's bucket, and each bucket is sorted the same way from the next
// byte.  Bytes past a key's end read as zero: that order refines into the keys' own
// order (a key that begins another sorts first), so the groups that the radix leaves
// tied, and the small ones, are finished by quickSortKeys comparing whole keys.  Most
// integer keys are decided within their first three value bytes, so a chunk of random
// integers takes about three passes over its entries instead of a comparison sort's
// log2(rows).
//
// The items are reached through an adapter (Items), so that entries, records of a size
// known only at run time and the engine's batches share the one routine:
//
//   uint64_t word(size_t i, uint32_t at)  key bytes [at, at + 8) of item i as a
//                                         big-endian number, zero past the key's end
//                                         (`at` is a multiple of 8)
//   bool longer(size_t i, uint32_t at)    whether item i's key has more than `at` bytes
//   bool less(size_t i, size_t j)         the whole keys' order
//   void swap(size_t i, size_t j)
//   bool stopping()                       asked once per group sorted; true ends the
//                                         sort, which then returns false
//
// The items are fewer than 2^32 (a chunk's or a batch's rows): positions are counted in
// 32 bits.  Neither sort is stable: rows whose whole keys are equal may come out in any
// order (a stable sort's keys end with the row's sequence number, so none are equal).
#ifndef TQ_CORE_KEYSORT_H
#define TQ_CORE_KEYSORT_H

#include <cstddef>
#include <cstdint>
#include <utility>

namespace tqkey {

// Groups this small are sorted by comparisons.
constexpr size_t kRadixSmallGroup = 32;
// Key bytes the radix looks at before comparisons take over: the two 8-byte words that
// decide most keys (an integer field is 9 bytes).  It bounds the recursion too, to about
// 1 KiB of stack a byte: pool threads may run with small stacks.
constexpr uint32_t kRadixMaxBytes = 16;

// Ranges this small are sorted by insertion.
constexpr size_t kInsertionGroup = 12;

// Sorts items lo..hi (inclusive) by insertion: each item is swapped down past the
// greater ones before it.
template <class Items>
void insertionSortKeys(Items& items, size_t lo, size_t hi) {
  for (size_t i = lo + 1; i <= hi; ++i) {
    for (size_t j = i; j > lo && items.less(j, j - 1); --j) items.swap(j, j - 1);
  }
}

// Sorts items lo..hi (inclusive) by comparing whole keys (by insertion when there are
// few of them): a median-of-three quicksort
// whose two scans stop on keys equal to the pivot, so that runs of equal keys split
// evenly.  It recurses into the smaller part and loops on the larger, so its depth stays
// below log2(items) whatever the keys; it asks stopping() once per partitioned range.
template <class Items>
bool quickSortKeys(Items& items, size_t lo, size_t hi) {
  for (;;) {
    const size_t count = hi - lo + 1;
    if (count <= kInsertionGroup) {
      insertionSortKeys(items, lo, hi);
      return true;
    }
    const size_t mid = lo + (hi - lo) / 2;
    if (count > 2 && items.less(mid, lo)) items.swap(lo, mid);
    if (items.less(hi, lo)) items.swap(lo, hi);
    if (count > 2 && items.less(hi, mid)) items.swap(mid, hi);
    if (count <= 3) return true;
    items.swap(lo + 1, mid);  // the pivot, the median of three, rests at lo + 1
    size_t i = lo + 1;
    size_t j = hi;
    while (i < j) {
      do {
        ++i;
      } while (items.less(i, lo + 1));
      do {
        --j;
      } while (items.less(lo + 1, j));
      if (i < j) items.swap(i, j);
    }
    items.swap(lo + 1, j);
    if (items.stopping()) return false;
    if (j - lo < hi - j) {
      if (j > lo + 1 && !quickSortKeys(items, lo, j - 1)) return false;
      lo = j + 1;
    } else {
      if (hi > j + 1 && !quickSortKeys(items, j + 1, hi)) return false;
      hi = j - 1;
    }
    if (lo >= hi) return true;
  }
}

namespace detail {

template <class Items>
inline uint8_t keyByte(Items& items, size_t i, uint32_t at) {
  return static_cast<uint8_t>(items.word(i, at & ~7u) >> (56 - 8 * (at & 7u)));
}

// Counts the items lo..hi-1 per value of key byte `at` into `ends`; the value that all
// of them hold, or -1 when they differ.
template <class Items>
int countBytes(Items& items, size_t lo, size_t hi, uint32_t at, uint32_t ends[256]) {
  for (int v = 0; v < 256; ++v) ends[v] = 0;
  for (size_t i = lo; i < hi; ++i) ++ends[keyByte(items, i, at)];
  const int first = keyByte(items, lo, at);
  return ends[first] == hi - lo ? first : -1;
}

// Moves every item into the bucket of its key byte `at`, given the buckets' sizes in
// `ends`; on return `ends` holds where each bucket ends.
template <class Items>
__attribute__((noinline)) void distribute(Items& items, size_t lo, uint32_t at, uint32_t ends[256]) {
  uint32_t next[256];
  uint32_t sum = static_cast<uint32_t>(lo);
  for (int v = 0; v < 256; ++v) {
    next[v] = sum;
    sum += ends[v];
    ends[v] = sum;
  }
  for (int v = 0; v < 256; ++v) {
    while (next[v] < ends[v]) {
      const uint8_t d = keyByte(items, next[v], at);
      if (d == v) {
        ++next[v];
      } else {
        items.swap(next[v], next[d]++);
      }
    }
  }
}

template <class Items>
bool anyLonger(Items& items, size_t lo, size_t hi, uint32_t at) {
  for (size_t i = lo; i < hi; ++i) {
    if (items.longer(i, at)) return true;
  }
  return false;
}

}  // namespace detail

// What splitKeys did with a group of items.
enum class KeySplit {
  buckets,  // moved into buckets by one key byte: sort each of them from the next byte
  whole,    // small, or no byte within the radix's reach tells the keys apart: sort it
            // whole by comparisons
  stopped,  // stopping() said so
};

// The first step of radixSortKeys on items lo..hi-1, whose keys are equal in their first
// *at bytes: finds the first byte from *at on in which they differ and moves every item
// into the bucket of its value of that byte.  With KeySplit::buckets, *at is that byte
// and ends[v] where bucket v ends (bucket v starts where v - 1 ends, bucket 0 at lo).
// Apart from radixSortKeys, a caller may sort the buckets on several threads.
template <class Items>
KeySplit splitKeys(Items& items, size_t lo, size_t hi, uint32_t* at, uint32_t ends[256]) {
  for (;;) {
    if (hi - lo <= kRadixSmallGroup || *at >= kRadixMaxBytes) return KeySplit::whole;
    if (items.stopping()) return KeySplit::stopped;
    const int same = detail::countBytes(items, lo, hi, *at, ends);
    if (same < 0) break;
    // One value: nothing moves.  A zero may be every key's end, past which only the
    // lengths differ.
    if (same == 0 && !detail::anyLonger(items, lo, hi, *at + 1)) return KeySplit::whole;
    ++*at;
  }
  detail::distribute(items, lo, *at, ends);
  return KeySplit::buckets;
}

template <class Items>
bool radixSortKeys(Items& items, size_t lo, size_t hi, uint32_t at = 0);

// Sorts buckets first..last-1 of a split (splitKeys' `at` and `ends`), each by
// radixSortKeys from the byte after; lo is where the split group starts.  False when
// stopping() ended it.
template <class Items>
bool sortBuckets(Items& items, size_t lo, uint32_t at, const uint32_t ends[256], int first, int last) {
  size_t from = first == 0 ? lo : ends[first - 1];
  for (int v = first; v < last; ++v) {
    if (ends[v] - from > 1 && !radixSortKeys(items, from, ends[v], at + 1)) return false;
    from = ends[v];
  }
  return true;
}

// Sorts items lo..hi-1, whose keys are equal in their first `at` bytes; see above.
// False when stopping() ended it.
template <class Items>
bool radixSortKeys(Items& items, size_t lo, size_t hi, uint32_t at) {
  if (hi - lo < 2) return true;
  uint32_t ends[256];
  switch (splitKeys(items, lo, hi, &at, ends)) {
    case KeySplit::whole:
      return quickSortKeys(items, lo, hi - 1);
    case KeySplit::stopped:
      return false;
    case KeySplit::buckets:
      break;
  }
  return sortBuckets(items, lo, at, ends, 0, 256);
}

}  // namespace tqkey

#endif
