// The index of a parent's children: what keeps reading and merging linear
// when one key carries very many certifications (a flooded key).
//
// Every parent object (a key, a subkey, a user ID) gets, on its first
// child, one KeyDBChildIndex from the object pool: its last signature, last
// user ID and last child, so that linking a child by the child order
// (keydb/key_db_obj.h) takes constant time, and a hash table of its
// children by packet (tag and body), so that the identical child of a new
// packet is found without walking every sibling. The table chains through
// the children themselves (QOXKeyDBObj::hashNext) and doubles when it fills;
// an old bucket array stays in the pool until the database goes. A hit is
// always confirmed byte for byte, so answers are those of a walk over the
// children. A lookup first tries the sibling after the child it last found:
// a key copied or read again arrives in the order it is stored, and that
// sibling lies next in memory, where a bucket does not.
//
// A parent in a front-end database gets the last-child fields but no
// table: it merges nothing itself, and filing its children would fetch
// every packet from the back end.
//
// When the pool cannot give a parent its index, or a larger bucket array,
// the parent is marked as having no usable table and its lookups walk its
// children; linking then finds its place by walking too. Nothing fails for
// want of an index.
//
// Thread safety: none (the database's context's thread).
#ifndef OSTRAK_KEYDB_CHILD_INDEX_H_
#define OSTRAK_KEYDB_CHILD_INDEX_H_

#include <cstddef>
#include <cstdint>

struct QOXKeyDBObj;

struct KeyDBChildIndex {
  QOXKeyDBObj* lastSig;     // last signature child
  QOXKeyDBObj* lastUserID;  // last user-ID child
  QOXKeyDBObj* lastChild;   // last child of any kind
  QOXKeyDBObj** buckets;    // bucketCount chains through hashNext
  uint32_t bucketCount;     // a power of two
  uint32_t count;           // children in the table
  bool tableUsable;         // false once a bucket array could not be had
  QOXKeyDBObj* lastMatch;   // the child last found; its next sibling is tried first
};

// The parent's index, made (from its present children) on first use; null
// when the pool cannot hold it.
KeyDBChildIndex* qoxChildIndexOf(QOXKeyDBObj* parent);
// Enters a linked child whose packet is set into its parent's table (no-op
// for top-level keys and objects without a packet).
void qoxChildIndexAdd(QOXKeyDBObj* child);
// Takes a child out of its parent's table (before its packet changes).
void qoxChildIndexRemove(QOXKeyDBObj* child);
// The hash of a packet's tag and body as the table files it.
uint32_t qoxChildPacketHash(const uint8_t* packet, size_t length);
// The child of the parent whose packet is identical to this one (equal tags,
// bodies of equal length and bytes; headers may differ), or null.
QOXKeyDBObj* qoxFindMatchingChild(QOXKeyDBObj* parent, const uint8_t* packet, size_t length);
// The two packets are identical in that sense.
bool qoxPacketsIdentical(const uint8_t* a, size_t aLength, const uint8_t* b, size_t bLength);

#endif  // OSTRAK_KEYDB_CHILD_INDEX_H_
