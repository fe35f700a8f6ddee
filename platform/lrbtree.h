// An intrusive red-black tree.
//
// The caller embeds an LrbtNode in each element and sets `value` to what the comparison
// receives.  The comparison orders two values (<0, 0, >0); equal values go after the
// ones already present.  The header keeps the node count and the first and last nodes,
// which callers may read directly.  Not thread-safe: the owner guards the tree.
#ifndef TQ_PLATFORM_LRBTREE_H
#define TQ_PLATFORM_LRBTREE_H

#include <cstdint>

struct LrbtNode {
  LrbtNode* left = nullptr;
  LrbtNode* right = nullptr;
  LrbtNode* parent = nullptr;
  bool red = false;
  void* value = nullptr;  // handed to the comparison
};

typedef int (*LrbtCompare)(const void* a, const void* b);

struct LrbtTree {
  LrbtCompare compare = nullptr;
  int64_t count = 0;
  LrbtNode* first = nullptr;  // lowest node
  LrbtNode* last = nullptr;   // highest node
  LrbtNode* root = nullptr;
};

void lrbtInit(LrbtTree* tree, LrbtCompare compare);
// Inserts `node` (not in any tree).  Returns 0.
int lrbtInsertNode(LrbtTree* tree, LrbtNode* node, int flags);
// Removes `node`, which must be in `tree`.
void lrbtDeleteNode(LrbtTree* tree, LrbtNode* node);
// In-order neighbours; null after the last / before the first node.
LrbtNode* lrbtNextNode(LrbtNode* node);
LrbtNode* lrbtPrevNode(LrbtNode* node);
// Forgets every node (the nodes themselves are not touched).
void lrbtReset(LrbtTree* tree);

#endif
