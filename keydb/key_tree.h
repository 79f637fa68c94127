// The key-ID tree of a back-end key database: every key and subkey, dummies
// included, is a node of one unbalanced binary tree rooted in the database's
// keyTree and linked through the greater and notGreater fields of its
// KeyInfo (keydb/key_db_obj.h). Nodes are ordered by the key-ID order
// (keydb/key_id.h) of each key's 8-byte ID with its algorithm, algorithms 2
// and 3 counting as 1. A new key descends from the root: a node that
// compares less than it leads on to `greater`, any other to `notGreater`,
// and the key takes the first empty link, so equal IDs go to the notGreater
// side. The tree is not rebalanced: answers for colliding IDs and the order
// of a search by 4-byte ID follow its shape. Front-end databases do not use
// it.
//
// Thread safety: none (the database's context's thread).
#ifndef OSTRAK_KEYDB_KEY_TREE_H_
#define OSTRAK_KEYDB_KEY_TREE_H_

#include "foundation/keydb_services.h"

struct QOXKeyDB;
struct QOXKeyDBObj;
struct KeyInfo;

// Enters a key or subkey, whose key ID and algorithm are set, into the tree
// (nothing in a front end).
void qoxLinkKeyToTree(QOXKeyDBObj* key, QOXKeyDB* db);
// The tree's view of a key: its 8-byte ID with the algorithm used for
// key IDs (2 and 3 as 1).
void qoxKeyInfoTreeKeyID(const KeyInfo* info, QOXKeyID* outKeyID);

#endif  // OSTRAK_KEYDB_KEY_TREE_H_
