// The shared key sort: whatever the keys (long shared prefixes, zero bytes that look like
// a key's end, keys that begin others, many equal ones, groups just below and above the
// size where comparisons take over), it orders them as comparing whole keys does, loses
// none when asked to stop half way, and keeps to a small stack.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "core/keysort.h"
#include "test_support.h"

namespace {

using Key = std::vector<uint8_t>;

// Keys held as byte strings, sorted through an index the adapter permutes.
class KeyList {
 public:
  explicit KeyList(std::vector<Key> keys) : keys_(std::move(keys)) {}
  uint64_t word(size_t i, uint32_t at) const {
    uint64_t v = 0;
    for (uint32_t b = 0; b < 8; ++b) v = v << 8 | (at + b < keys_[i].size() ? keys_[i][at + b] : 0);
    return v;
  }
  bool longer(size_t i, uint32_t at) const { return keys_[i].size() > at; }
  bool less(size_t i, size_t j) const { return keys_[i] < keys_[j]; }
  void swap(size_t i, size_t j) { std::swap(keys_[i], keys_[j]); }
  bool stopping() {
    ++stopQuestions;
    return stopAfter >= 0 && stopQuestions > stopAfter;
  }
  const std::vector<Key>& keys() const { return keys_; }

  int stopAfter = -1;  // stop from this many questions on; -1: never
  int stopQuestions = 0;

 private:
  std::vector<Key> keys_;
};

// `n` keys over a few byte values (zeros among them), sharing prefixes of up to 24 bytes
// with an earlier key, some equal to one, some a prefix of one.
std::vector<Key> awkwardKeys(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  const uint8_t alphabet[] = {0, 1, 2, 0x7f, 0xff};
  std::vector<Key> keys;
  for (size_t i = 0; i < n; ++i) {
    Key k;
    if (!keys.empty() && rng() % 2 == 0) {
      const Key& base = keys[rng() % keys.size()];
      const size_t shared = rng() % (std::min<size_t>(base.size(), 24) + 1);
      k.assign(base.begin(), base.begin() + static_cast<std::ptrdiff_t>(shared));
      if (rng() % 4 == 0) {
        keys.push_back(k);
        continue;
      }
    }
    size_t extra = rng() % 20;
    for (size_t b = 0; b < extra; ++b) k.push_back(alphabet[rng() % 5]);
    keys.push_back(k);
  }
  return keys;
}

TEST(KeySortTest, OrdersAsWholeKeyComparisonAtEverySize) {
  for (size_t n : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{12}, size_t{13}, tqkey::kRadixSmallGroup,
                   tqkey::kRadixSmallGroup + 1, size_t{1000}, size_t{20000}}) {
    for (uint32_t seed = 1; seed <= 3; ++seed) {
      std::vector<Key> keys = awkwardKeys(n, seed);
      KeyList list(keys);
      ASSERT_TRUE(tqkey::radixSortKeys(list, 0, n));
      std::sort(keys.begin(), keys.end());
      ASSERT_EQ(list.keys(), keys) << n << " keys, seed " << seed;
    }
  }
}

TEST(KeySortTest, SortsOnlyTheRangeItIsGiven) {
  std::vector<Key> keys = awkwardKeys(3000, 7);
  KeyList list(keys);
  ASSERT_TRUE(tqkey::radixSortKeys(list, 100, 2900));
  std::sort(keys.begin() + 100, keys.begin() + 2900);
  EXPECT_EQ(list.keys(), keys);
}

TEST(KeySortTest, AStoppedSortLosesNoKey) {
  for (int stopAfter : {0, 1, 5, 40}) {
    std::vector<Key> keys = awkwardKeys(5000, 11);
    KeyList list(keys);
    list.stopAfter = stopAfter;
    EXPECT_FALSE(tqkey::radixSortKeys(list, 0, keys.size())) << stopAfter;
    EXPECT_EQ(list.stopQuestions, stopAfter + 1);  // it stops at the first yes
    std::vector<Key> left = list.keys();
    std::sort(left.begin(), left.end());
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(left, keys) << stopAfter;
  }
}

// Keys that agree in their first `decide` bytes and differ in the next: what a split
// finds, and that its buckets sorted apart, in either order, make the whole order.
TEST(KeySortTest, ASplitFindsTheDecidingByteAndItsBucketsSortApart) {
  std::mt19937 rng(5);
  for (uint32_t decide : {0u, 7u, 8u, 9u, 15u, 16u, 17u}) {
    for (size_t n : {tqkey::kRadixSmallGroup, tqkey::kRadixSmallGroup + 1, size_t{3000}}) {
      SCOPED_TRACE("byte " + std::to_string(decide) + ", " + std::to_string(n) + " keys");
      std::vector<Key> keys;
      for (size_t i = 0; i < n; ++i) {
        Key k(decide, 0x41);
        const size_t tail = rng() % 12;
        for (size_t b = 0; b < tail; ++b) k.push_back(static_cast<uint8_t>(rng() % 4));
        keys.push_back(k);
      }
      keys[0].resize(decide);  // the shortest key: bytes past its end read as zero
      keys[1].resize(decide + 1, 3);
      for (int lowerFirst = 0; lowerFirst < 2; ++lowerFirst) {
        KeyList list(keys);
        uint32_t at = 0;
        uint32_t ends[256];
        tqkey::KeySplit split = tqkey::splitKeys(list, 0, n, &at, ends);
        if (n <= tqkey::kRadixSmallGroup || decide >= tqkey::kRadixMaxBytes) {
          ASSERT_EQ(split, tqkey::KeySplit::whole);
          ASSERT_TRUE(tqkey::quickSortKeys(list, 0, n - 1));
        } else {
          ASSERT_EQ(split, tqkey::KeySplit::buckets);
          ASSERT_EQ(at, decide);
          ASSERT_EQ(ends[255], n);
          const int half = 2;  // buckets 0-1 and 2-255
          if (lowerFirst) {
            ASSERT_TRUE(tqkey::sortBuckets(list, 0, at, ends, 0, half));
          }
          ASSERT_TRUE(tqkey::sortBuckets(list, 0, at, ends, half, 256));
          if (!lowerFirst) {
            ASSERT_TRUE(tqkey::sortBuckets(list, 0, at, ends, 0, half));
          }
        }
        std::vector<Key> expected = keys;
        std::sort(expected.begin(), expected.end());
        ASSERT_EQ(list.keys(), expected);
      }
    }
  }
  // Equal keys, and keys equal but for their length past a zero: nothing to split by.
  for (Key tail : {Key{}, Key{0}}) {
    std::vector<Key> keys(100, Key(20, 7));
    for (size_t i = 0; i < keys.size(); i += 2) keys[i].insert(keys[i].end(), tail.begin(), tail.end());
    KeyList list(keys);
    uint32_t at = 0;
    uint32_t ends[256];
    EXPECT_EQ(tqkey::splitKeys(list, 0, keys.size(), &at, ends), tqkey::KeySplit::whole);
  }
  std::vector<Key> keys = awkwardKeys(500, 3);
  KeyList list(keys);
  list.stopAfter = 0;
  uint32_t at = 0;
  uint32_t ends[256];
  EXPECT_EQ(tqkey::splitKeys(list, 0, keys.size(), &at, ends), tqkey::KeySplit::stopped);
}

TEST(KeySortTest, LongSharedPrefixesNeedLittleStack) {
  // Each byte level splits a few hundred keys off a group that goes on to the next byte:
  // a radix that went as deep as the keys are long would nest a level per byte.
  std::vector<Key> keys;
  for (int i = 0; i < 20000; ++i) {
    Key k(60, 0);
    k[static_cast<size_t>(i % 60)] = static_cast<uint8_t>(1 + i % 3);
    keys.push_back(k);
  }
  KeyList list(keys);
  bool sorted = false;
  ASSERT_TRUE(runOnStack(64 * 1024, [&] { sorted = tqkey::radixSortKeys(list, 0, list.keys().size()); }));
  EXPECT_TRUE(sorted);
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(list.keys(), keys);
}

}  // namespace
