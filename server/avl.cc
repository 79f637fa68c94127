// AVL insertion and deletion keep a flag, passed up the recursion, telling
// whether the subtree just visited changed height; a node whose balance
// would leave -1..+1 is rotated (single when the child leans the same way,
// double otherwise).
#include "server/avl.h"

#include <cstdio>
#include <mutex>

#include "server/support/zovurez.h"

namespace {

void RotateRight(Avlnode** root) {
  Avlnode* p = *root;
  Avlnode* l = p->avl_left;
  p->avl_left = l->avl_right;
  l->avl_right = p;
  *root = l;
}

void RotateLeft(Avlnode** root) {
  Avlnode* p = *root;
  Avlnode* r = p->avl_right;
  p->avl_right = r->avl_left;
  r->avl_left = p;
  *root = r;
}

// Rebalances a node whose left side is two higher. Returns true when the
// subtree's height dropped by one (deletion needs it).
bool FixLeftHeavy(Avlnode** root) {
  Avlnode* p = *root;
  Avlnode* l = p->avl_left;
  if (l->avl_bf <= 0) {  // single rotation
    bool shrank = l->avl_bf != 0;
    if (l->avl_bf == 0) {
      p->avl_bf = -1;
      l->avl_bf = 1;
    } else {
      p->avl_bf = 0;
      l->avl_bf = 0;
    }
    RotateRight(root);
    return shrank;
  }
  Avlnode* lr = l->avl_right;  // double rotation
  p->avl_bf = lr->avl_bf == -1 ? 1 : 0;
  l->avl_bf = lr->avl_bf == 1 ? -1 : 0;
  lr->avl_bf = 0;
  RotateLeft(&p->avl_left);
  RotateRight(root);
  return true;
}

bool FixRightHeavy(Avlnode** root) {
  Avlnode* p = *root;
  Avlnode* r = p->avl_right;
  if (r->avl_bf >= 0) {
    bool shrank = r->avl_bf != 0;
    if (r->avl_bf == 0) {
      p->avl_bf = 1;
      r->avl_bf = -1;
    } else {
      p->avl_bf = 0;
      r->avl_bf = 0;
    }
    RotateLeft(root);
    return shrank;
  }
  Avlnode* rl = r->avl_left;
  p->avl_bf = rl->avl_bf == 1 ? -1 : 0;
  r->avl_bf = rl->avl_bf == -1 ? 1 : 0;
  rl->avl_bf = 0;
  RotateRight(&p->avl_right);
  RotateLeft(root);
  return true;
}

// grew: set when the subtree's height increased.
int Insert(Avlnode** root, void* data, bool* grew, AvlCompare compare, AvlDuplicate duplicate) {
  if (*root == nullptr) {
    Avlnode* n = static_cast<Avlnode*>(zovurezMalloc(sizeof(Avlnode)));
    if (n == nullptr) return -1;
    n->avl_data = data;
    n->avl_bf = 0;
    n->avl_left = n->avl_right = nullptr;
    *root = n;
    *grew = true;
    return 0;
  }
  Avlnode* p = *root;
  int cmp = compare(data, p->avl_data);
  if (cmp == 0) {
    *grew = false;
    return duplicate != nullptr ? duplicate(p->avl_data, data) : -1;
  }
  int rc;
  if (cmp < 0) {
    rc = Insert(&p->avl_left, data, grew, compare, duplicate);
    if (rc == 0 && *grew) {
      if (p->avl_bf == 1) {
        p->avl_bf = 0;
        *grew = false;
      } else if (p->avl_bf == 0) {
        p->avl_bf = -1;
      } else {
        FixLeftHeavy(root);
        *grew = false;
      }
    }
  } else {
    rc = Insert(&p->avl_right, data, grew, compare, duplicate);
    if (rc == 0 && *grew) {
      if (p->avl_bf == -1) {
        p->avl_bf = 0;
        *grew = false;
      } else if (p->avl_bf == 0) {
        p->avl_bf = 1;
      } else {
        FixRightHeavy(root);
        *grew = false;
      }
    }
  }
  if (rc != 0) *grew = false;
  return rc;
}

// After the left subtree of *root shrank: adjust; returns whether *root's
// subtree shrank.
bool LeftShrank(Avlnode** root) {
  Avlnode* p = *root;
  if (p->avl_bf == -1) {
    p->avl_bf = 0;
    return true;
  }
  if (p->avl_bf == 0) {
    p->avl_bf = 1;
    return false;
  }
  return FixRightHeavy(root);
}

bool RightShrank(Avlnode** root) {
  Avlnode* p = *root;
  if (p->avl_bf == 1) {
    p->avl_bf = 0;
    return true;
  }
  if (p->avl_bf == 0) {
    p->avl_bf = -1;
    return false;
  }
  return FixLeftHeavy(root);
}

// Unlinks the leftmost node of *root, returning it; shrank as above.
Avlnode* RemoveLeftmost(Avlnode** root, bool* shrank) {
  Avlnode* p = *root;
  if (p->avl_left == nullptr) {
    *root = p->avl_right;
    *shrank = true;
    return p;
  }
  Avlnode* n = RemoveLeftmost(&p->avl_left, shrank);
  if (*shrank) *shrank = LeftShrank(root);
  return n;
}

void* Delete(Avlnode** root, void* data, bool* shrank, AvlCompare compare) {
  Avlnode* p = *root;
  if (p == nullptr) {
    *shrank = false;
    return nullptr;
  }
  int cmp = compare(data, p->avl_data);
  void* found;
  if (cmp < 0) {
    found = Delete(&p->avl_left, data, shrank, compare);
    if (found != nullptr && *shrank) *shrank = LeftShrank(root);
    return found;
  }
  if (cmp > 0) {
    found = Delete(&p->avl_right, data, shrank, compare);
    if (found != nullptr && *shrank) *shrank = RightShrank(root);
    return found;
  }
  found = p->avl_data;
  if (p->avl_left == nullptr || p->avl_right == nullptr) {
    *root = p->avl_left != nullptr ? p->avl_left : p->avl_right;
    zovurezFree(p);
    *shrank = true;
    return found;
  }
  // Two children: the in-order successor's datum moves up and its node goes.
  Avlnode* successor = RemoveLeftmost(&p->avl_right, shrank);
  p->avl_data = successor->avl_data;
  zovurezFree(successor);
  if (*shrank) *shrank = RightShrank(root);
  return found;
}

// The walks: each returns the stop value when stopped, else kAvlNoMore.
int PreApply(Avlnode* n, AvlApply f, void* arg, int stop) {
  if (f(n->avl_data, arg) == stop) return stop;
  if (n->avl_left != nullptr && PreApply(n->avl_left, f, arg, stop) == stop) return stop;
  if (n->avl_right == nullptr) return kAvlNoMore;
  return PreApply(n->avl_right, f, arg, stop);
}

int InApply(Avlnode* n, AvlApply f, void* arg, int stop) {
  if (n->avl_left != nullptr && InApply(n->avl_left, f, arg, stop) == stop) return stop;
  if (f(n->avl_data, arg) == stop) return stop;
  if (n->avl_right == nullptr) return kAvlNoMore;
  return InApply(n->avl_right, f, arg, stop);
}

int PostApply(Avlnode* n, AvlApply f, void* arg, int stop) {
  if (n->avl_left != nullptr && PostApply(n->avl_left, f, arg, stop) == stop) return stop;
  if (n->avl_right != nullptr && PostApply(n->avl_right, f, arg, stop) == stop) return stop;
  return f(n->avl_data, arg);
}

// The in-order list of avl_getfirst/avl_getnext, guarded by gListMutex
// against torn updates (the iteration itself remains one at a time).
std::mutex gListMutex;
void** gList = nullptr;  // guarded by gListMutex
int gListSize = 0;
int gListCapacity = 0;
int gListNext = 0;

void FreeListLocked() {
  zovurezFree(gList);
  gList = nullptr;
  gListSize = gListCapacity = gListNext = 0;
}

int BuildList(void* datum, void* /*arg*/) {
  if (gListSize == gListCapacity) {
    int capacity = gListCapacity == 0 ? 100 : gListCapacity + 100;
    void** grown = static_cast<void**>(zovurezRealloc(gList, sizeof(void*) * capacity));
    if (grown == nullptr) return -1;
    gList = grown;
    gListCapacity = capacity;
  }
  gList[gListSize++] = datum;
  return 0;
}

}  // namespace

int avl_insert(Avlnode** root, void* data, AvlCompare compare, AvlDuplicate duplicate) {
  if (root == nullptr || compare == nullptr) return -1;
  bool grew = false;
  return Insert(root, data, &grew, compare, duplicate);
}

void* avl_delete(Avlnode** root, void* data, AvlCompare compare) {
  if (root == nullptr || compare == nullptr) return nullptr;
  bool shrank = false;
  return Delete(root, data, &shrank, compare);
}

void* avl_find(Avlnode* root, void* data, AvlCompare compare) {
  while (root != nullptr) {
    int cmp = compare(data, root->avl_data);
    if (cmp == 0) return root->avl_data;
    root = cmp < 0 ? root->avl_left : root->avl_right;
  }
  return nullptr;
}

void* avl_find_lin(Avlnode* root, void* data, AvlCompare compare) {
  if (root == nullptr) return nullptr;
  if (compare(data, root->avl_data) == 0) return root->avl_data;
  void* found = avl_find_lin(root->avl_left, data, compare);
  return found != nullptr ? found : avl_find_lin(root->avl_right, data, compare);
}

int avl_dup_error(void*, void*) { return -1; }
int avl_dup_ok(void*, void*) { return 0; }

int avl_preapply(Avlnode* root, AvlApply function, void* argument, int stopValue) {
  return root == nullptr ? kAvlNoMore : PreApply(root, function, argument, stopValue);
}
int avl_inapply(Avlnode* root, AvlApply function, void* argument, int stopValue) {
  return root == nullptr ? kAvlNoMore : InApply(root, function, argument, stopValue);
}
int avl_postapply(Avlnode* root, AvlApply function, void* argument, int stopValue) {
  return root == nullptr ? kAvlNoMore : PostApply(root, function, argument, stopValue);
}

int avl_apply(Avlnode* root, AvlApply function, void* argument, int stopValue, int order) {
  switch (order) {
    case kAvlPreorder:
      return avl_preapply(root, function, argument, stopValue);
    case kAvlInorder:
      return avl_inapply(root, function, argument, stopValue);
    case kAvlPostorder:
      return avl_postapply(root, function, argument, stopValue);
    default:
      fprintf(stderr, "Invalid traversal type %d\n", order);
      return -1;
  }
}

int avl_prefixapply(Avlnode* root, void* data, AvlApply match, void* matchArgument, AvlCompareArg compare,
                    void* compareArgument, int stopValue) {
  if (root == nullptr) return kAvlNoMore;
  int cmp = compare(data, root->avl_data, compareArgument);
  if (cmp < 0) {
    return avl_prefixapply(root->avl_left, data, match, matchArgument, compare, compareArgument, stopValue);
  }
  if (cmp > 0) {
    return avl_prefixapply(root->avl_right, data, match, matchArgument, compare, compareArgument, stopValue);
  }
  if (match(root->avl_data, matchArgument) == stopValue) return stopValue;
  if (avl_prefixapply(root->avl_left, data, match, matchArgument, compare, compareArgument, stopValue) ==
      stopValue) {
    return stopValue;
  }
  return avl_prefixapply(root->avl_right, data, match, matchArgument, compare, compareArgument, stopValue);
}

int avl_free(Avlnode* root, AvlFree freeFunction) {
  if (root == nullptr) return 0;
  int count = avl_free(root->avl_left, freeFunction) + avl_free(root->avl_right, freeFunction);
  if (freeFunction != nullptr) freeFunction(root->avl_data);
  zovurezFree(root);
  return count + 1;
}

void* avl_getfirst(Avlnode* root) {
  std::lock_guard<std::mutex> lock(gListMutex);
  FreeListLocked();
  if (root == nullptr) return nullptr;
  if (avl_inapply(root, BuildList, nullptr, -1) == -1 || gListSize == 0) {
    FreeListLocked();
    return nullptr;
  }
  gListNext = 1;
  return gList[0];
}

void* avl_getnext() {
  std::lock_guard<std::mutex> lock(gListMutex);
  if (gList == nullptr) return nullptr;
  if (gListNext >= gListSize) {
    FreeListLocked();
    return nullptr;
  }
  return gList[gListNext++];
}
