// QOXBinaryTree: an AVL tree from signed pointer-sized keys to non-zero
// values. (A key database keys it by object IDs, which are addresses.)
//
// Keys are unique and ordered by signed comparison. Values are pointer-sized
// (usually pointers) and must be non-zero: removal reports a zero value as
// not found. Nodes and the tree record are blocks of the tree's memory
// manager; the tree never frees values.
//
// Thread safety: none; a tree shared between threads is guarded by its
// owner.
#ifndef OSTRAK_FOUNDATION_BINARY_TREE_H_
#define OSTRAK_FOUNDATION_BINARY_TREE_H_

#include <cstdint>

#include "foundation/errors.h"
#include "foundation/memory_mgr.h"

using QOXTreeValue = uintptr_t;

// Balance of a node.
inline constexpr uint8_t kQOXTreeLeftHigh = 0;
inline constexpr uint8_t kQOXTreeEven = 1;
inline constexpr uint8_t kQOXTreeRightHigh = 2;

struct QOXBinaryTreeNode {
  intptr_t key;
  QOXTreeValue value;
  QOXBinaryTreeNode* left;
  QOXBinaryTreeNode* right;
  uint8_t balance;
};

struct QOXBinaryTree {
  QOXMemoryMgr* mgr;
  QOXBinaryTreeNode* root;
};

using QOXBinaryTreeVisitProc = QOXError (*)(void* userValue, intptr_t key, QOXTreeValue value);

// 0, -12000 for a null out pointer, kQOXErrOutOfMemory when the record cannot be made.
QOXError QOXNewBinaryTree(QOXMemoryMgr* mgr, QOXBinaryTree** outTree);
// 0; kQOXErrItemAlreadyExists when the key exists (tree unchanged); kQOXErrOutOfMemory when no node.
QOXError QOXAddNode(QOXBinaryTree* tree, intptr_t key, QOXTreeValue value);
// 0 and the value, or kQOXErrItemNotFound without touching *outValue.
QOXError QOXFindNode(const QOXBinaryTree* tree, intptr_t key, QOXTreeValue* outValue);
// Replaces the value; 0 and the old value, or kQOXErrItemNotFound.
QOXError QOXChangeNode(QOXBinaryTree* tree, intptr_t key, QOXTreeValue newValue,
                       QOXTreeValue* outOldValue);
// Removes the node and gives its value; kQOXErrItemNotFound (value 0) when absent.
QOXError QOXDisposeNode(QOXBinaryTree* tree, intptr_t key, QOXTreeValue* outValue);
// Visits the nodes in ascending key order; the first non-zero callback
// result stops the walk and is returned.
QOXError QOXInOrderTraversal(const QOXBinaryTree* tree, QOXBinaryTreeVisitProc visit,
                             void* userValue);
// Frees every node and the tree record; 0.
QOXError QOXDisposeBinaryTree(QOXBinaryTree* tree);

#endif  // OSTRAK_FOUNDATION_BINARY_TREE_H_
