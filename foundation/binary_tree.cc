// AVL insertion and removal. Both recurse down the path and rebalance on the
// way back up; a tree of n nodes is at most about 1.44 log2 n high, so the
// recursion stays shallow. Search is iterative.
#include "foundation/binary_tree.h"

#include <utility>

namespace {

using Node = QOXBinaryTreeNode;

// The left subtree of p became two higher than its right one.
// Returns whether the height of the rotated subtree is unchanged relative to
// before the imbalance (a child of balance even, only possible on removal).
bool RotateRight(Node*& p) {
  Node* l = p->left;
  if (l->balance == kQOXTreeRightHigh) {
    Node* g = l->right;
    l->right = g->left;
    g->left = l;
    p->left = g->right;
    g->right = p;
    p->balance = g->balance == kQOXTreeLeftHigh ? kQOXTreeRightHigh : kQOXTreeEven;
    l->balance = g->balance == kQOXTreeRightHigh ? kQOXTreeLeftHigh : kQOXTreeEven;
    g->balance = kQOXTreeEven;
    p = g;
    return false;
  }
  p->left = l->right;
  l->right = p;
  bool evenChild = l->balance == kQOXTreeEven;
  if (evenChild) {
    p->balance = kQOXTreeLeftHigh;
    l->balance = kQOXTreeRightHigh;
  } else {
    p->balance = kQOXTreeEven;
    l->balance = kQOXTreeEven;
  }
  p = l;
  return evenChild;
}

// Mirror of RotateRight.
bool RotateLeft(Node*& p) {
  Node* r = p->right;
  if (r->balance == kQOXTreeLeftHigh) {
    Node* g = r->left;
    r->left = g->right;
    g->right = r;
    p->right = g->left;
    g->left = p;
    p->balance = g->balance == kQOXTreeRightHigh ? kQOXTreeLeftHigh : kQOXTreeEven;
    r->balance = g->balance == kQOXTreeLeftHigh ? kQOXTreeRightHigh : kQOXTreeEven;
    g->balance = kQOXTreeEven;
    p = g;
    return false;
  }
  p->right = r->left;
  r->left = p;
  bool evenChild = r->balance == kQOXTreeEven;
  if (evenChild) {
    p->balance = kQOXTreeRightHigh;
    r->balance = kQOXTreeLeftHigh;
  } else {
    p->balance = kQOXTreeEven;
    r->balance = kQOXTreeEven;
  }
  p = r;
  return evenChild;
}

QOXError Insert(QOXMemoryMgr* mgr, Node*& p, intptr_t key, QOXTreeValue value, bool& grew) {
  if (p == nullptr) {
    Node* n = static_cast<Node*>(QOXNewData(mgr, sizeof(Node), kQOXMemoryMgrFlags_Clear));
    if (n == nullptr) return kQOXErrOutOfMemory;
    n->key = key;
    n->value = value;
    n->balance = kQOXTreeEven;
    p = n;
    grew = true;
    return kQOXErrNoErr;
  }
  if (key == p->key) return kQOXErrItemAlreadyExists;
  if (key < p->key) {
    QOXError err = Insert(mgr, p->left, key, value, grew);
    if (err != kQOXErrNoErr || !grew) return err;
    if (p->balance == kQOXTreeEven) {
      p->balance = kQOXTreeLeftHigh;
    } else if (p->balance == kQOXTreeRightHigh) {
      p->balance = kQOXTreeEven;
      grew = false;
    } else {
      RotateRight(p);
      grew = false;
    }
  } else {
    QOXError err = Insert(mgr, p->right, key, value, grew);
    if (err != kQOXErrNoErr || !grew) return err;
    if (p->balance == kQOXTreeEven) {
      p->balance = kQOXTreeRightHigh;
    } else if (p->balance == kQOXTreeLeftHigh) {
      p->balance = kQOXTreeEven;
      grew = false;
    } else {
      RotateLeft(p);
      grew = false;
    }
  }
  return kQOXErrNoErr;
}

// The left subtree of p became one lower; shrunk tells whether p's did too.
void LeftShrank(Node*& p, bool& shrunk) {
  if (p->balance == kQOXTreeLeftHigh) {
    p->balance = kQOXTreeEven;
  } else if (p->balance == kQOXTreeEven) {
    p->balance = kQOXTreeRightHigh;
    shrunk = false;
  } else if (RotateLeft(p)) {
    shrunk = false;
  }
}

void RightShrank(Node*& p, bool& shrunk) {
  if (p->balance == kQOXTreeRightHigh) {
    p->balance = kQOXTreeEven;
  } else if (p->balance == kQOXTreeEven) {
    p->balance = kQOXTreeLeftHigh;
    shrunk = false;
  } else if (RotateRight(p)) {
    shrunk = false;
  }
}

// Removes key below p. found tells whether a node went; its value is stored
// in *value.
void Remove(Node*& p, intptr_t key, QOXTreeValue* value, bool& found, bool& shrunk) {
  if (p == nullptr) return;
  if (key < p->key) {
    Remove(p->left, key, value, found, shrunk);
    if (shrunk) LeftShrank(p, shrunk);
    return;
  }
  if (key > p->key) {
    Remove(p->right, key, value, found, shrunk);
    if (shrunk) RightShrank(p, shrunk);
    return;
  }
  if (p->left != nullptr && p->right != nullptr) {
    // Trade places with the smallest node on the right; the key, now smaller
    // than everything there, is found again at that leftmost node.
    Node* m = p->right;
    while (m->left != nullptr) m = m->left;
    std::swap(p->key, m->key);
    std::swap(p->value, m->value);
    Remove(p->right, key, value, found, shrunk);
    if (shrunk) RightShrank(p, shrunk);
    return;
  }
  Node* gone = p;
  *value = gone->value;
  found = true;
  shrunk = true;
  p = gone->left != nullptr ? gone->left : gone->right;
  QOXFreeData(gone);
}

void FreeAll(Node* p) {
  while (p != nullptr) {
    FreeAll(p->left);
    Node* right = p->right;
    QOXFreeData(p);
    p = right;
  }
}

QOXError Walk(const Node* p, QOXBinaryTreeVisitProc visit, void* userValue) {
  while (p != nullptr) {
    if (QOXError err = Walk(p->left, visit, userValue); err != kQOXErrNoErr) return err;
    if (QOXError err = visit(userValue, p->key, p->value); err != kQOXErrNoErr) return err;
    p = p->right;
  }
  return kQOXErrNoErr;
}

Node* Find(const QOXBinaryTree* tree, intptr_t key) {
  Node* p = tree->root;
  while (p != nullptr && p->key != key) p = key < p->key ? p->left : p->right;
  return p;
}

}  // namespace

QOXError QOXNewBinaryTree(QOXMemoryMgr* mgr, QOXBinaryTree** outTree) {
  if (outTree == nullptr) return kQOXErrBadParams;
  *outTree = static_cast<QOXBinaryTree*>(
      QOXNewData(mgr, sizeof(QOXBinaryTree), kQOXMemoryMgrFlags_Clear));
  if (*outTree == nullptr) return kQOXErrOutOfMemory;
  (*outTree)->mgr = mgr;
  return kQOXErrNoErr;
}

QOXError QOXAddNode(QOXBinaryTree* tree, intptr_t key, QOXTreeValue value) {
  if (tree == nullptr) return kQOXErrBadParams;
  bool grew = false;
  return Insert(tree->mgr, tree->root, key, value, grew);
}

QOXError QOXFindNode(const QOXBinaryTree* tree, intptr_t key, QOXTreeValue* outValue) {
  if (tree == nullptr || outValue == nullptr) return kQOXErrBadParams;
  const Node* p = Find(tree, key);
  if (p == nullptr) return kQOXErrItemNotFound;
  *outValue = p->value;
  return kQOXErrNoErr;
}

QOXError QOXChangeNode(QOXBinaryTree* tree, intptr_t key, QOXTreeValue newValue,
                       QOXTreeValue* outOldValue) {
  if (tree == nullptr || outOldValue == nullptr) return kQOXErrBadParams;
  Node* p = Find(tree, key);
  if (p == nullptr) return kQOXErrItemNotFound;
  *outOldValue = p->value;
  p->value = newValue;
  return kQOXErrNoErr;
}

QOXError QOXDisposeNode(QOXBinaryTree* tree, intptr_t key, QOXTreeValue* outValue) {
  if (tree == nullptr || outValue == nullptr) return kQOXErrBadParams;
  *outValue = 0;
  bool found = false;
  bool shrunk = false;
  Remove(tree->root, key, outValue, found, shrunk);
  // A node holding the value 0 is removed like any other (so the tree stays
  // balanced) but reported as not found, since 0 is never a valid value.
  return found && *outValue != 0 ? kQOXErrNoErr : kQOXErrItemNotFound;
}

QOXError QOXInOrderTraversal(const QOXBinaryTree* tree, QOXBinaryTreeVisitProc visit,
                             void* userValue) {
  if (tree == nullptr || visit == nullptr) return kQOXErrBadParams;
  return Walk(tree->root, visit, userValue);
}

QOXError QOXDisposeBinaryTree(QOXBinaryTree* tree) {
  if (tree == nullptr) return kQOXErrBadParams;
  FreeAll(tree->root);
  QOXFreeData(tree);
  return kQOXErrNoErr;
}
