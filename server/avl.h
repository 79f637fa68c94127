// A height-balanced (AVL) binary search tree of opaque data pointers.
//
// The tree orders its data by a comparison function that the caller passes
// on every call; the comparison takes (caller's value, node's datum) and
// returns a negative number, 0 or a positive number. The tree never copies
// or frees the data, except through the function handed to avl_free. Nodes
// come from the server allocator.
//
// Ownership: a tree is a pointer to its root (null when empty) owned by the
// caller.
//
// Thread safety: a tree has no lock; each caller guards its tree with its
// own lock or keeps it to one thread. avl_getfirst/avl_getnext share one
// process-wide list and must not run on two threads at once.
#ifndef OSTRAK_SERVER_AVL_H_
#define OSTRAK_SERVER_AVL_H_

struct Avlnode {
  void* avl_data;
  int avl_bf;  // -1 left higher, 0 even, +1 right higher
  Avlnode* avl_left;
  Avlnode* avl_right;
};

using AvlCompare = int (*)(void* a, void* b);
using AvlDuplicate = int (*)(void* existing, void* added);
using AvlApply = int (*)(void* datum, void* argument);
using AvlFree = void (*)(void* datum);
using AvlCompareArg = int (*)(void* a, void* b, void* argument);

inline constexpr int kAvlPreorder = 1;
inline constexpr int kAvlInorder = 2;
inline constexpr int kAvlPostorder = 3;
// What a walk returns when it was not stopped (and for an empty tree).
inline constexpr int kAvlNoMore = -6;

// 0 inserted; -1 no memory; otherwise (equal datum present, nothing
// inserted) whatever duplicate(existing, data) returns.
int avl_insert(Avlnode** root, void* data, AvlCompare compare, AvlDuplicate duplicate);
// The removed node's datum, or null.
void* avl_delete(Avlnode** root, void* data, AvlCompare compare);
void* avl_find(Avlnode* root, void* data, AvlCompare compare);
// Linear search in pre-order for a datum with compare(data, datum) == 0.
void* avl_find_lin(Avlnode* root, void* data, AvlCompare compare);
int avl_dup_error(void* existing, void* added);
int avl_dup_ok(void* existing, void* added);

int avl_apply(Avlnode* root, AvlApply function, void* argument, int stopValue, int order);
int avl_preapply(Avlnode* root, AvlApply function, void* argument, int stopValue);
int avl_inapply(Avlnode* root, AvlApply function, void* argument, int stopValue);
int avl_postapply(Avlnode* root, AvlApply function, void* argument, int stopValue);
int avl_prefixapply(Avlnode* root, void* data, AvlApply match, void* matchArgument, AvlCompareArg compare,
                    void* compareArgument, int stopValue);
// Number of nodes freed; calls freeFunction (when given) on every datum.
int avl_free(Avlnode* root, AvlFree freeFunction);

void* avl_getfirst(Avlnode* root);
void* avl_getnext();

#endif  // OSTRAK_SERVER_AVL_H_
