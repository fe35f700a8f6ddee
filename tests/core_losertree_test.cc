// The tournament tree of every merge: it yields the items of its sources in order, equal
// items in the order of their sources (and within a source in its own order), skips
// sources that are empty or run dry at any moment, and does so for every number of
// sources, powers of two or not.  The random test checks it against a stable sort of
// the sources laid end to end; TQ_LOSERTREE_SEEDS runs more seeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <utility>
#include <vector>

#include "core/losertree.h"

namespace {

// An item: its key, and where it came from (source, place in the source).
struct Item {
  int key;
  uint32_t source;
  size_t place;
  bool operator==(const Item& o) const {
    return key == o.key && source == o.source && place == o.place;
  }
};

struct VectorSources {
  std::vector<std::vector<int>> runs;
  std::vector<size_t> at;
  mutable uint64_t comparisons = 0;

  bool exhausted(uint32_t i) const { return at[i] == runs[i].size(); }
  int compare(uint32_t a, uint32_t b) const {
    ++comparisons;
    int x = runs[a][at[a]], y = runs[b][at[b]];
    return x < y ? -1 : (x > y ? 1 : 0);
  }
};

// The same sources with heads that the tree keeps beside its losers: a coarse number, so
// that many matches tie on it and are played in full, and keys of 1000 and more all have
// the largest head, the one an exhausted source has in the tree.
struct HeadSources : VectorSources {
  uint64_t head(uint32_t i) const {
    int key = runs[i][at[i]];
    return key >= 1000 ? ~uint64_t{0} : static_cast<uint64_t>(key) >> 2;
  }
};

// Merges the runs (each sorted) through the tree.
template <typename Sources = VectorSources>
std::vector<Item> merge(Sources* s) {
  uint32_t count = static_cast<uint32_t>(s->runs.size());
  s->at.assign(count, 0);
  std::vector<typename tqmerge::LoserTree<Sources>::Node> nodes(tqmerge::LoserTree<Sources>::nodeCount(count));
  tqmerge::LoserTree<Sources> tree;
  tree.build(s, count, nodes.data());
  std::vector<Item> out;
  while (!tree.empty()) {
    uint32_t w = tree.winner();
    out.push_back(Item{s->runs[w][s->at[w]], w, s->at[w]});
    ++s->at[w];
    tree.replay();
  }
  return out;
}

// What a stable merge must yield: the runs laid end to end, stably sorted by key.
std::vector<Item> expected(const std::vector<std::vector<int>>& runs) {
  std::vector<Item> all;
  for (uint32_t i = 0; i < runs.size(); ++i) {
    for (size_t p = 0; p < runs[i].size(); ++p) all.push_back(Item{runs[i][p], i, p});
  }
  std::stable_sort(all.begin(), all.end(), [](const Item& a, const Item& b) { return a.key < b.key; });
  return all;
}

// Through a tree that asks its sources every match, and through one that keeps heads.
void expectMerges(const std::vector<std::vector<int>>& runs) {
  VectorSources s{runs, {}};
  EXPECT_EQ(merge(&s), expected(runs));
  HeadSources h{{runs, {}}};
  EXPECT_EQ(merge(&h), expected(runs));
}

TEST(LoserTree, NoSourcesAndOneSource) {
  VectorSources none;
  EXPECT_TRUE(merge(&none).empty());
  expectMerges({{}});
  expectMerges({{7}});
  expectMerges({{1, 1, 2, 5, 5, 9}});
}

TEST(LoserTree, EqualKeysComeInSourceOrderWhateverTheShape) {
  // All keys equal: the output is source 0's items, then source 1's, ... for every
  // count, so that each tree shape (full, and one leaf short of full) is covered.
  for (uint32_t count = 2; count <= 17; ++count) {
    std::vector<std::vector<int>> runs(count, std::vector<int>{4, 4, 4});
    for (int key : {4, 1000}) {  // a head the tree decides ties on; the largest head
      HeadSources s{{std::vector<std::vector<int>>(count, std::vector<int>{key, key, key}), {}}};
      std::vector<Item> out = key == 4 ? merge<VectorSources>(&s) : merge(&s);
      ASSERT_EQ(out.size(), 3u * count);
      for (size_t k = 0; k < out.size(); ++k) {
        EXPECT_EQ(out[k].source, k / 3) << "count " << count << " item " << k << " key " << key;
        EXPECT_EQ(out[k].place, k % 3);
      }
    }
  }
  expectMerges({{1000, 1000}, {999, 1000, 1001}, {}, {1000}});
  // Ties between a later source's earlier item and an earlier source's later one.
  expectMerges({{1, 3, 3}, {3, 3, 4}, {0, 3}});
}

TEST(LoserTree, EmptyAndDryingSourcesAreSkipped) {
  expectMerges({{}, {}, {}});
  expectMerges({{}, {2, 3}, {}, {1}, {}});
  // Sources running dry one after another, the winner's source first.
  expectMerges({{1}, {2, 2}, {3, 3, 3}, {0, 4, 4, 4, 4}});
  // The last source (a leaf paired off-balance) empty, and the first.
  expectMerges({{}, {5, 6}, {1, 9}, {}});
  expectMerges({{1, 2}, {1, 2}, {1, 2}, {1, 2}, {1, 2}, {}});
}

TEST(LoserTree, ReplayCostsAboutLogKComparisons) {
  // 64 sources of 64 items: a linear scan takes 63 comparisons per item, the tree at
  // most 6 (plus the 63 of the first round).
  std::vector<std::vector<int>> runs(64);
  for (int i = 0; i < 64 * 64; ++i) runs[i % 64].push_back(i);
  VectorSources s{runs, {}};
  std::vector<Item> out = merge(&s);
  EXPECT_EQ(out, expected(runs));
  EXPECT_LE(s.comparisons, 63u + 6u * 64u * 64u);
}

TEST(LoserTree, RandomSourcesMergeAsAStableSort) {
  int seeds = 300;
  if (const char* env = std::getenv("TQ_LOSERTREE_SEEDS")) seeds = std::atoi(env);
  for (int seed = 0; seed < seeds; ++seed) {
    std::mt19937 random(static_cast<uint32_t>(seed));
    uint32_t count = 1 + random() % (seed % 10 == 0 ? 200 : 20);
    int keys = 1 + static_cast<int>(random() % 50);  // few keys: many ties
    const int base = seed % 3 == 0 ? 990 : 0;       // keys around the largest head
    std::vector<std::vector<int>> runs(count);
    for (auto& run : runs) {
      size_t length = random() % 4 == 0 ? 0 : random() % 30;
      for (size_t k = 0; k < length; ++k) run.push_back(base + static_cast<int>(random() % keys));
      std::sort(run.begin(), run.end());
    }
    VectorSources s{runs, {}};
    ASSERT_EQ(merge(&s), expected(runs)) << "seed " << seed;
    HeadSources h{{runs, {}}};
    ASSERT_EQ(merge(&h), expected(runs)) << "seed " << seed << ", heads";
  }
}

}  // namespace
