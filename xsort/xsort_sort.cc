// Sorting the entries of a batch.
//
// An entry carries 8 key bytes as a big-endian number.  The entries are ordered by an
// LSD radix sort on that number, one byte per pass, skipping the bytes that hold the
// same value in every entry (a constant null indicator, the high bytes of small
// integers).  Entries whose numbers tie may differ further on: each group of ties
// gets the next 8 bytes of its keys loaded into the number and is sorted the same way,
// depth after depth.  Small groups, and groups past a few depths, are sorted by
// introsort comparing whole keys.  Keys of varying length compare shorter first when
// one begins the other.
#include <algorithm>

#include "xsort/xsort_internal.h"

namespace tqxsort {

namespace {

constexpr size_t kSmallGroup = 48;
// Depths of radix sorting before whole-key comparisons take over.
constexpr uint32_t kMaxRadixDepth = 64;

struct KeyAccess {
  const uint8_t* tails;
  KeyShape shape;

  uint32_t length(const Entry& e) const {
    if (shape.fixed) return shape.fixedLength;
    uint32_t n;
    std::memcpy(&n, tails + e.tail, 4);
    return n;
  }
  // Key bytes from offset 8 on.
  const uint8_t* tail(const Entry& e) const { return tails + e.tail + (shape.fixed ? 0 : 4); }
};

// Orders entries whose keys are equal before `depth` and whose prefixes hold the key
// bytes [depth, depth + 8).
struct EntryLess {
  const KeyAccess* keys;
  uint32_t depth;

  bool operator()(const Entry& a, const Entry& b) const {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    uint32_t la = keys->length(a), lb = keys->length(b);
    uint32_t from = depth + 8;
    uint32_t ra = la > from ? la - from : 0, rb = lb > from ? lb - from : 0;
    uint32_t common = std::min(ra, rb);
    if (common > 0) {
      int c = std::memcmp(keys->tail(a) + depth, keys->tail(b) + depth, common);
      if (c != 0) return c < 0;
    }
    return la < lb;
  }
};

// LSD radix sort of the entries by prefix; the result is in `a`.
void radixByPrefix(Entry* a, Entry* scratch, size_t n) {
  size_t counts[8][256] = {};
  for (size_t i = 0; i < n; ++i) {
    uint64_t p = a[i].prefix;
    for (int b = 0; b < 8; ++b) ++counts[b][(p >> (8 * b)) & 0xff];
  }
  Entry* from = a;
  Entry* to = scratch;
  for (int b = 0; b < 8; ++b) {
    size_t* c = counts[b];
    if (c[(from[0].prefix >> (8 * b)) & 0xff] == n) continue;  // one value: no pass
    size_t sum = 0;
    for (int v = 0; v < 256; ++v) {
      size_t k = c[v];
      c[v] = sum;
      sum += k;
    }
    const int shift = 8 * b;
    for (size_t i = 0; i < n; ++i) {
      const Entry& e = from[i];
      to[c[(e.prefix >> shift) & 0xff]++] = e;
    }
    std::swap(from, to);
  }
  if (from != a) std::memcpy(a, from, n * sizeof(Entry));
}

void sortRange(Entry* a, Entry* scratch, size_t n, const KeyAccess& keys, uint32_t depth) {
  if (n < 2) return;
  if (n <= kSmallGroup || depth >= kMaxRadixDepth) {
    std::sort(a, a + n, EntryLess{&keys, depth});
    return;
  }
  radixByPrefix(a, scratch, n);
  if (keys.shape.fixed && keys.shape.fixedLength <= depth + 8) return;  // whole keys seen
  const uint32_t next = depth + 8;
  size_t i = 0;
  while (i < n) {
    size_t j = i + 1;
    while (j < n && a[j].prefix == a[i].prefix) ++j;
    if (j - i > 1) {
      const uint64_t tied = a[i].prefix;
      bool longer = false;
      for (size_t k = i; k < j; ++k) {
        uint32_t len = keys.length(a[k]);
        uint32_t rest = len > next ? len - next : 0;
        a[k].prefix = loadPrefix(keys.tail(a[k]) + depth, std::min<uint32_t>(rest, 8));
        longer |= rest > 0;
      }
      if (longer) {
        sortRange(a + i, scratch + i, j - i, keys, next);
      } else if (!keys.shape.fixed) {
        // Every key ended within the tied bytes: the shorter ones first.
        std::sort(a + i, a + j, [&keys](const Entry& x, const Entry& y) {
          return keys.length(x) < keys.length(y);
        });
      }
      for (size_t k = i; k < j; ++k) a[k].prefix = tied;
    }
    i = j;
  }
}

}  // namespace

void sortEntries(Entry* entries, Entry* scratch, size_t n, const uint8_t* tails,
                 const KeyShape& shape) {
  KeyAccess keys{tails, shape};
  sortRange(entries, scratch, n, keys, 0);
}

}  // namespace tqxsort
