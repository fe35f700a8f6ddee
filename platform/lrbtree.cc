// Red-black tree after Cormen et al., with null leaves: deletion tracks the parent of
// the node that replaces the removed one, since that node may be null.
#include "lrbtree.h"

namespace {

bool isRed(const LrbtNode* n) { return n != nullptr && n->red; }

void rotateLeft(LrbtTree* t, LrbtNode* x) {
  LrbtNode* y = x->right;
  x->right = y->left;
  if (y->left) y->left->parent = x;
  y->parent = x->parent;
  if (!x->parent) {
    t->root = y;
  } else if (x == x->parent->left) {
    x->parent->left = y;
  } else {
    x->parent->right = y;
  }
  y->left = x;
  x->parent = y;
}

void rotateRight(LrbtTree* t, LrbtNode* x) {
  LrbtNode* y = x->left;
  x->left = y->right;
  if (y->right) y->right->parent = x;
  y->parent = x->parent;
  if (!x->parent) {
    t->root = y;
  } else if (x == x->parent->right) {
    x->parent->right = y;
  } else {
    x->parent->left = y;
  }
  y->right = x;
  x->parent = y;
}

LrbtNode* minimum(LrbtNode* n) {
  while (n->left) n = n->left;
  return n;
}

LrbtNode* maximum(LrbtNode* n) {
  while (n->right) n = n->right;
  return n;
}

// Puts v in u's place under u's parent.
void transplant(LrbtTree* t, LrbtNode* u, LrbtNode* v) {
  if (!u->parent) {
    t->root = v;
  } else if (u == u->parent->left) {
    u->parent->left = v;
  } else {
    u->parent->right = v;
  }
  if (v) v->parent = u->parent;
}

}  // namespace

void lrbtInit(LrbtTree* tree, LrbtCompare compare) {
  *tree = LrbtTree();
  tree->compare = compare;
}

void lrbtReset(LrbtTree* tree) {
  tree->count = 0;
  tree->first = tree->last = tree->root = nullptr;
}

int lrbtInsertNode(LrbtTree* t, LrbtNode* z, int flags) {
  (void)flags;
  LrbtNode* y = nullptr;
  LrbtNode* x = t->root;
  bool goLeft = false;
  while (x) {
    y = x;
    goLeft = t->compare(z->value, x->value) < 0;
    x = goLeft ? x->left : x->right;
  }
  z->parent = y;
  z->left = z->right = nullptr;
  z->red = true;
  if (!y) {
    t->root = z;
  } else if (goLeft) {
    y->left = z;
  } else {
    y->right = z;
  }
  if (!t->first || (y == t->first && goLeft)) t->first = z;
  if (!t->last || (y == t->last && !goLeft)) t->last = z;
  ++t->count;

  while (isRed(z->parent)) {
    LrbtNode* p = z->parent;
    LrbtNode* g = p->parent;
    if (p == g->left) {
      LrbtNode* u = g->right;
      if (isRed(u)) {
        p->red = u->red = false;
        g->red = true;
        z = g;
      } else {
        if (z == p->right) {
          z = p;
          rotateLeft(t, z);
          p = z->parent;
        }
        p->red = false;
        g->red = true;
        rotateRight(t, g);
      }
    } else {
      LrbtNode* u = g->left;
      if (isRed(u)) {
        p->red = u->red = false;
        g->red = true;
        z = g;
      } else {
        if (z == p->left) {
          z = p;
          rotateRight(t, z);
          p = z->parent;
        }
        p->red = false;
        g->red = true;
        rotateLeft(t, g);
      }
    }
  }
  t->root->red = false;
  return 0;
}

void lrbtDeleteNode(LrbtTree* t, LrbtNode* z) {
  if (t->first == z) t->first = lrbtNextNode(z);
  if (t->last == z) t->last = lrbtPrevNode(z);
  --t->count;

  LrbtNode* x;
  LrbtNode* xParent;
  bool removedRed = z->red;
  if (!z->left) {
    x = z->right;
    xParent = z->parent;
    transplant(t, z, z->right);
  } else if (!z->right) {
    x = z->left;
    xParent = z->parent;
    transplant(t, z, z->left);
  } else {
    LrbtNode* y = minimum(z->right);
    removedRed = y->red;
    x = y->right;
    if (y->parent == z) {
      xParent = y;
    } else {
      xParent = y->parent;
      transplant(t, y, y->right);
      y->right = z->right;
      y->right->parent = y;
    }
    transplant(t, z, y);
    y->left = z->left;
    y->left->parent = y;
    y->red = z->red;
  }
  z->left = z->right = z->parent = nullptr;
  if (removedRed) return;

  while (x != t->root && !isRed(x)) {
    if (x == xParent->left) {
      LrbtNode* w = xParent->right;
      if (isRed(w)) {
        w->red = false;
        xParent->red = true;
        rotateLeft(t, xParent);
        w = xParent->right;
      }
      if (!isRed(w->left) && !isRed(w->right)) {
        w->red = true;
        x = xParent;
        xParent = x->parent;
      } else {
        if (!isRed(w->right)) {
          w->left->red = false;
          w->red = true;
          rotateRight(t, w);
          w = xParent->right;
        }
        w->red = xParent->red;
        xParent->red = false;
        if (w->right) w->right->red = false;
        rotateLeft(t, xParent);
        x = t->root;
        break;
      }
    } else {
      LrbtNode* w = xParent->left;
      if (isRed(w)) {
        w->red = false;
        xParent->red = true;
        rotateRight(t, xParent);
        w = xParent->left;
      }
      if (!isRed(w->left) && !isRed(w->right)) {
        w->red = true;
        x = xParent;
        xParent = x->parent;
      } else {
        if (!isRed(w->left)) {
          w->right->red = false;
          w->red = true;
          rotateLeft(t, w);
          w = xParent->left;
        }
        w->red = xParent->red;
        xParent->red = false;
        if (w->left) w->left->red = false;
        rotateRight(t, xParent);
        x = t->root;
        break;
      }
    }
  }
  if (x) x->red = false;
}

LrbtNode* lrbtNextNode(LrbtNode* n) {
  if (n->right) return minimum(n->right);
  LrbtNode* p = n->parent;
  while (p && n == p->right) {
    n = p;
    p = p->parent;
  }
  return p;
}

LrbtNode* lrbtPrevNode(LrbtNode* n) {
  if (n->left) return maximum(n->left);
  LrbtNode* p = n->parent;
  while (p && n == p->left) {
    n = p;
    p = p->parent;
  }
  return p;
}
