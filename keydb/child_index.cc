#include "keydb/child_index.h"

#include <cstring>

#include "foundation/byte_cursor.h"
#include "foundation/mem_pool.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/obj_data.h"
#include "keydb/packet_header.h"

namespace {

constexpr size_t kRecordAlignment = alignof(std::max_align_t);
constexpr uint32_t kFirstBucketCount = 8;
constexpr uint32_t kFnvOffset = 2166136261u;
constexpr uint32_t kFnvPrime = 16777619u;

bool IsKind(const QOXKeyDBObj* o, int32_t type) { return qoxObjectTypeOfFlags(o->flags) == type; }

// The tag and body of a packet; false when it cannot hold its header.
bool TagAndBody(const uint8_t* packet, size_t length, uint8_t* tag, ostrak::ByteCursor* body) {
  if (packet == nullptr || length == 0 || !qoxPktBody(packet, length, body)) return false;
  *tag = qoxPktTag(packet[0]);
  return true;
}

QOXKeyDBObj** Bucket(KeyDBChildIndex* index, uint32_t hash) {
  return &index->buckets[hash & (index->bucketCount - 1)];
}

// Files a child with a packet into a table that has room.
void Insert(KeyDBChildIndex* index, QOXKeyDBObj* child) {
  size_t length = 0;
  const uint8_t* packet = qoxFetchObject(child, &length);
  if (packet == nullptr) return;
  child->bodyHash = qoxChildPacketHash(packet, length);
  QOXKeyDBObj** bucket = Bucket(index, child->bodyHash);
  child->hashNext = *bucket;
  *bucket = child;
  child->inParentIndex = true;
  index->count++;
}

// A new bucket array of `count` chains with every child of the parent that
// has a packet; false (the table given up) when the pool has no room.
bool Rebuild(QOXKeyDBObj* parent, KeyDBChildIndex* index, uint32_t count) {
  QOXKeyDB* db = qoxObjKeyDB(parent);
  auto* buckets = static_cast<QOXKeyDBObj**>(
      memPoolAlloc(&db->objectPool, sizeof(QOXKeyDBObj*) * count, kRecordAlignment));
  if (buckets == nullptr) {
    index->tableUsable = false;
    index->buckets = nullptr;
    index->bucketCount = 0;
    index->count = 0;
    for (QOXKeyDBObj* c = parent->child; c != nullptr; c = c->next) c->inParentIndex = false;
    return false;
  }
  std::memset(static_cast<void*>(buckets), 0, sizeof(QOXKeyDBObj*) * count);
  index->buckets = buckets;
  index->bucketCount = count;
  index->count = 0;
  for (QOXKeyDBObj* c = parent->child; c != nullptr; c = c->next) {
    c->inParentIndex = false;
    Insert(index, c);
  }
  return true;
}

QOXKeyDBObj* WalkForMatch(QOXKeyDBObj* parent, const uint8_t* packet, size_t length) {
  for (QOXKeyDBObj* c = parent->child; c != nullptr; c = c->next) {
    size_t n = 0;
    const uint8_t* p = qoxFetchObject(c, &n);
    if (p != nullptr && qoxPacketsIdentical(p, n, packet, length)) return c;
  }
  return nullptr;
}

}  // namespace

uint32_t qoxChildPacketHash(const uint8_t* packet, size_t length) {
  uint8_t tag = 0;
  ostrak::ByteCursor body;
  if (!TagAndBody(packet, length, &tag, &body)) return 0;
  uint32_t h = (kFnvOffset ^ tag) * kFnvPrime;
  const uint8_t* p = body.data();
  for (size_t i = 0; i < body.remaining(); ++i) h = (h ^ p[i]) * kFnvPrime;
  return h;
}

bool qoxPacketsIdentical(const uint8_t* a, size_t aLength, const uint8_t* b, size_t bLength) {
  uint8_t tagA = 0, tagB = 0;
  ostrak::ByteCursor bodyA, bodyB;
  if (!TagAndBody(a, aLength, &tagA, &bodyA) || !TagAndBody(b, bLength, &tagB, &bodyB)) return false;
  return tagA == tagB && bodyA.remaining() == bodyB.remaining() &&
         (bodyA.remaining() == 0 || std::memcmp(bodyA.data(), bodyB.data(), bodyA.remaining()) == 0);
}

KeyDBChildIndex* qoxChildIndexOf(QOXKeyDBObj* parent) {
  if (parent->children != nullptr) return parent->children;
  QOXKeyDB* db = qoxObjKeyDB(parent);
  if (!qoxKeyDBIsValid(db)) return nullptr;
  auto* index = static_cast<KeyDBChildIndex*>(
      memPoolAlloc(&db->objectPool, sizeof(KeyDBChildIndex), kRecordAlignment));
  if (index == nullptr) return nullptr;
  std::memset(static_cast<void*>(index), 0, sizeof *index);
  for (QOXKeyDBObj* c = parent->child; c != nullptr; c = c->next) {
    if (IsKind(c, kQOXKeyDBObjType_Sig)) index->lastSig = c;
    if (IsKind(c, kQOXKeyDBObjType_UserID)) index->lastUserID = c;
    index->lastChild = c;
  }
  parent->children = index;
  // A front end merges nothing itself (its back end does), and filing its
  // children would fetch every packet from the back end: no table there.
  index->tableUsable = !qoxFrontEndKeyDB(db);
  if (index->tableUsable) Rebuild(parent, index, kFirstBucketCount);
  return index;
}

void qoxChildIndexAdd(QOXKeyDBObj* child) {
  QOXKeyDBObj* parent = qoxObjParent(child);
  if (parent == nullptr || child->inParentIndex) return;
  KeyDBChildIndex* index = qoxChildIndexOf(parent);
  if (index == nullptr || !index->tableUsable || qoxObjData(child) == nullptr) return;
  if (index->count >= index->bucketCount) {
    // Rebuild files every child with a packet, this one included.
    Rebuild(parent, index, index->bucketCount * 2);
    return;
  }
  Insert(index, child);
}

void qoxChildIndexRemove(QOXKeyDBObj* child) {
  QOXKeyDBObj* parent = qoxObjParent(child);
  if (parent == nullptr || !child->inParentIndex) return;
  KeyDBChildIndex* index = parent->children;
  child->inParentIndex = false;
  if (index == nullptr) return;
  if (index->lastMatch == child) index->lastMatch = nullptr;
  if (!index->tableUsable) return;
  for (QOXKeyDBObj** link = Bucket(index, child->bodyHash); *link != nullptr; link = &(*link)->hashNext) {
    if (*link == child) {
      *link = child->hashNext;
      child->hashNext = nullptr;
      index->count--;
      return;
    }
  }
}

QOXKeyDBObj* qoxFindMatchingChild(QOXKeyDBObj* parent, const uint8_t* packet, size_t length) {
  if (parent == nullptr || packet == nullptr) return nullptr;
  KeyDBChildIndex* index = qoxChildIndexOf(parent);
  if (index == nullptr || !index->tableUsable) return WalkForMatch(parent, packet, length);
  const uint32_t hash = qoxChildPacketHash(packet, length);
  auto identical = [&](QOXKeyDBObj* c) {
    if (c->bodyHash != hash) return false;
    size_t n = 0;
    const uint8_t* p = qoxFetchObject(c, &n);
    return p != nullptr && qoxPacketsIdentical(p, n, packet, length);
  };
  if (QOXKeyDBObj* next = index->lastMatch != nullptr ? index->lastMatch->next : nullptr;
      next != nullptr && next->inParentIndex && next->parent == parent && identical(next)) {
    index->lastMatch = next;
    return next;
  }
  for (QOXKeyDBObj* c = *Bucket(index, hash); c != nullptr; c = c->hashNext) {
    if (identical(c)) {
      index->lastMatch = c;
      return c;
    }
  }
  return nullptr;
}
