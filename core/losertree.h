// The tournament (loser) tree of every k-way merge: the chunk sorts' merges of runs, the
// external engine's merge and tqsort's merges (of its sorts' rows, and of -m's inputs).
//
// A merge reads k sorted sources and writes, again and again, the smallest current item
// among them.  Scanning all k heads costs k-1 comparisons per item; the tree costs
// log2(k).  Its leaves are the sources; each inner node is a match between the winners
// of its two subtrees and remembers the loser; the overall winner sits apart.  When the
// winner's source moves on to its next item, only the matches on the path from that
// leaf to the root are played again, each against the loser stored there.
//
// Example: sources 0: [1 5], 1: [4 6], 2: [2 9], 3: [3 7].  Leaves are nodes 4..7
// (node 4+i is source i) and node n plays the winners of nodes 2n and 2n+1:
//
//   winner   source 0 (1)
//   node 1   loser source 2 (2)   played by the winners of nodes 2 (source 0) and 3 (source 2)
//   node 2   loser source 1 (4)   played by sources 0 (1) and 1 (4)
//   node 3   loser source 3 (3)   played by sources 2 (2) and 3 (3)
//
// The 1 is written and source 0 moves on to 5.  Node 2 plays 5 against its loser 4:
// source 1 wins and goes up, source 0 stays as the loser.  Node 1 plays 4 against its
// loser 2: source 2 wins, source 1 stays.  The winner is source 2 (2), found with two
// comparisons where a scan of the heads takes three.  Node 3 was not visited: nothing
// below it changed.
//
// The tree knows nothing of items.  It asks its Sources, a type with
//
//   bool exhausted(uint32_t i) const;          source i has no current item
//   int compare(uint32_t a, uint32_t b) const;  neither exhausted: below 0 when a's
//                                               current item sorts before b's, 0 when
//                                               they are equal
//
// An exhausted source loses every match.  Among equal items the lower source index wins,
// so a merge of runs given in input order keeps equal items in that order (the merge is
// stable), whatever the shape of the tree.
//
// Sources may also offer
//
//   uint64_t head(uint32_t i) const;   source i not exhausted: a number that orders as
//                                      its current item does where two differ (the
//                                      key's first 8 bytes, big-endian)
//
// Then each node keeps its loser's number beside it, and a replay compares the climbing
// winner's number with the stored ones: most matches are decided without asking the
// sources, whose items lie elsewhere in memory.  Equal numbers are played as above.
// tqkey::loadPrefix (core/sortkey.h) makes such a number of an encoded key.
//
// The tree allocates nothing: the caller hands it `nodeCount(k)` entries of type Node
// and owns them, so that each caller counts the memory its own way.
#ifndef TQ_CORE_LOSERTREE_H
#define TQ_CORE_LOSERTREE_H

#include <cstddef>
#include <cstdint>
#include <concepts>
#include <type_traits>

namespace tqmerge {

template <typename S>
concept HasHead = requires(const S& s, uint32_t i) {
  { s.head(i) } -> std::convertible_to<uint64_t>;
};

// A node of a tree whose sources have heads: the loser and its head.
struct HeadNode {
  uint64_t head;
  uint32_t index;
};

template <typename Sources>
class LoserTree {
  static constexpr bool kHeads = HasHead<Sources>;

 public:
  using Node = std::conditional_t<kHeads, HeadNode, uint32_t>;
  // Entries `build` needs for `count` sources (node 0 is not used).
  static constexpr size_t nodeCount(uint32_t count) { return count; }

  // Plays every match: each source is on its first item, or exhausted.  `nodes` holds
  // nodeCount(count) entries (it may be null for fewer than two sources) and must
  // outlive the tree's use; `sources` too.
  void build(const Sources* sources, uint32_t count, Node* nodes) {
    sources_ = sources;
    count_ = count;
    losers_ = nodes;
    winner_ = count > 1 ? play(1) : 0;
  }

  // The source whose item comes next (meaningful unless empty()).
  uint32_t winner() const { return winner_; }
  // Every source is exhausted (or there are none).
  bool empty() const { return count_ == 0 || sources_->exhausted(winner_); }

  // The winner's source has moved on (to its next item, or to its end): plays its path
  // again and finds the next winner.
  void replay() {
    uint32_t w = winner_;
    if constexpr (kHeads) {
      uint64_t head = headOf(w);
      for (uint32_t node = (w + count_) / 2; node >= 1; node /= 2) {
        HeadNode& n = losers_[node];
        if (n.head < head || (n.head == head && beats(n.index, w))) {
          const HeadNode up = n;
          n = HeadNode{head, w};
          head = up.head;
          w = up.index;
        }
      }
    } else {
      for (uint32_t node = (w + count_) / 2; node >= 1; node /= 2) {
        if (beats(losers_[node], w)) {
          uint32_t t = losers_[node];
          losers_[node] = w;
          w = t;
        }
      }
    }
    winner_ = w;
  }

 private:
  // The head of source i; an exhausted source's is the largest number, so that it
  // loses every match its head decides (an equal head is played in full).
  uint64_t headOf(uint32_t i) const {
    if constexpr (kHeads) {
      return sources_->exhausted(i) ? ~uint64_t{0} : static_cast<uint64_t>(sources_->head(i));
    } else {
      return 0;
    }
  }

  // Source a wins its match against b: an item beats no item, the smaller item wins,
  // and the lower index wins a tie.
  bool beats(uint32_t a, uint32_t b) const {
    bool aDone = sources_->exhausted(a), bDone = sources_->exhausted(b);
    if (aDone || bDone) return bDone && (!aDone || a < b);
    int c = sources_->compare(a, b);
    return c < 0 || (c == 0 && a < b);
  }

  // The winner of the subtree at `node`; stores the loser of each match within it.
  // Leaves are nodes count..2count-1 (node count+i is source i).
  uint32_t play(uint32_t node) {
    if (node >= count_) return node - count_;
    uint32_t a = play(2 * node), b = play(2 * node + 1);
    if (beats(b, a)) {
      uint32_t t = a;
      a = b;
      b = t;
    }
    if constexpr (kHeads) {
      losers_[node] = HeadNode{headOf(b), b};
    } else {
      losers_[node] = b;
    }
    return a;
  }

  const Sources* sources_ = nullptr;
  uint32_t count_ = 0;
  Node* losers_ = nullptr;  // the loser of the match at node n, for n in 1..count-1
  uint32_t winner_ = 0;
};

}  // namespace tqmerge

#endif
