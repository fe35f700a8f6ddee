// Sorting the entries of a batch.
//
// An entry carries 8 key bytes as a big-endian number, and where the rest of its key
// (the tail) lies.  The entries are ordered in place by the key sort that every engine
// shares (core/keysort.h): a radix on the key bytes, the prefix's and then the tail's,
// skipping the bytes that hold the same value in every entry of a group (a constant
// null indicator, the high bytes of small integers); small or tied groups are sorted
// comparing whole keys.  Keys of varying length compare shorter first when one begins
// the other.
#include <algorithm>

#include "core/keysort.h"
#include "xsort/xsort_internal.h"

namespace tqxsort {

namespace {

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

// Orders entries by their whole keys: the prefix, then the tails' bytes, then the
// lengths (a key that begins another sorts first).
struct EntryLess {
  const KeyAccess* keys;

  bool operator()(const Entry& a, const Entry& b) const {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    uint32_t la = keys->length(a), lb = keys->length(b);
    uint32_t ra = la > 8 ? la - 8 : 0, rb = lb > 8 ? lb - 8 : 0;
    uint32_t common = std::min(ra, rb);
    if (common > 0) {
      int c = std::memcmp(keys->tail(a), keys->tail(b), common);
      if (c != 0) return c < 0;
    }
    return la < lb;
  }
};

// The entries of a batch as the key sort sees them: the first 8 key bytes from the
// entry, the rest from its tail.
class BatchKeys {
 public:
  BatchKeys(Entry* entries, const KeyAccess& keys) : entries_(entries), keys_(keys) {}
  uint64_t word(size_t i, uint32_t at) const {
    const Entry& e = entries_[i];
    if (at == 0) return e.prefix;
    const uint32_t length = keys_.length(e);
    return length > at ? loadPrefix(keys_.tail(e) + (at - 8), std::min<uint32_t>(length - at, 8)) : 0;
  }
  bool longer(size_t i, uint32_t at) const { return keys_.length(entries_[i]) > at; }
  bool less(size_t i, size_t j) const { return EntryLess{&keys_}(entries_[i], entries_[j]); }
  void swap(size_t i, size_t j) { std::swap(entries_[i], entries_[j]); }
  bool stopping() const { return false; }

 private:
  Entry* entries_;
  KeyAccess keys_;
};

}  // namespace

void sortEntries(Entry* entries, size_t n, const uint8_t* tails, const KeyShape& shape) {
  BatchKeys keys(entries, KeyAccess{tails, shape});
  tqkey::radixSortKeys(keys, 0, n);
}

}  // namespace tqxsort
