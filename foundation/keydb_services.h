// Key-database services that the option constructors, the entry points and
// the passphrase cache call.
//
// The key database comes with later work. Until
// then every call below is a seam (foundation/keydb_service_seams.cc): with
// no double installed it answers as if no object were valid (validity tests
// false, reference counts and key-ID calls -11975 "feature not available").
// Tests install a QOXKeyDBServicesDouble to stand in for real objects. Whoever
// lands the real code deletes the matching seam block (and, with the last
// one, the double) in the same commit.
//
// Thread safety: the double is installed once, before any thread uses it.
#ifndef OSTRAK_FOUNDATION_KEYDB_SERVICES_H_
#define OSTRAK_FOUNDATION_KEYDB_SERVICES_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

struct QOXContext;
struct QOXKeyDB;
struct QOXKeySet;
struct QOXKeyDBObj;

// The 36-byte key-ID value: a 4- or 8-byte ID with its public-key algorithm.
struct QOXKeyID {
  uint8_t valid;      // 1 when the value holds a key ID
  uint8_t length;     // 4 or 8
  uint8_t algorithm;  // public-key algorithm; 255 = any
  uint8_t reserved;
  uint8_t bytes[32];  // first `length` bytes used, most significant first
};
static_assert(sizeof(QOXKeyID) == 36);

// Object types of qoxObjectType.
inline constexpr int32_t kQOXKeyDBObjType_Key = 1;

// --- Key database (objects, sets, databases, key IDs) ---
bool qoxKeyIsValid(const QOXKeyDBObj* object);
bool qoxSubKeyIsValid(const QOXKeyDBObj* object);
bool qoxSigIsValid(const QOXKeyDBObj* object);
bool qoxKeyDBObjIsValid(const QOXKeyDBObj* object);
bool qoxKeySetIsValid(const QOXKeySet* set);
bool qoxKeyDBIsValid(const QOXKeyDB* db);
QOXError QOXIncKeySetRefCount(QOXKeySet* set);
QOXError QOXFreeKeySet(QOXKeySet* set);
QOXError QOXIncKeyDBRefCount(QOXKeyDB* db);
QOXError QOXFreeKeyDB(QOXKeyDB* db);
QOXContext* QOXPeekKeyDBObjContext(QOXKeyDBObj* object);
int32_t qoxObjectType(QOXKeyDBObj* object);
// -1, 0 or 1; 0 when equal.
int32_t QOXCompareKeyIDs(const QOXKeyID* a, const QOXKeyID* b);
QOXError qoxNewKeyIDFromRawData(const uint8_t* bytes, uint8_t algorithm, size_t length,
                                QOXKeyID* outKeyID);

// --- Test double ---
// Every member may be null; a null member answers as the seam does.
struct QOXKeyDBServicesDouble {
  bool (*keyIsValid)(const QOXKeyDBObj*);
  bool (*subKeyIsValid)(const QOXKeyDBObj*);
  bool (*sigIsValid)(const QOXKeyDBObj*);
  bool (*keyDBObjIsValid)(const QOXKeyDBObj*);
  bool (*keySetIsValid)(const QOXKeySet*);
  bool (*keyDBIsValid)(const QOXKeyDB*);
  QOXError (*incKeySetRefCount)(QOXKeySet*);
  QOXError (*freeKeySet)(QOXKeySet*);
  QOXError (*incKeyDBRefCount)(QOXKeyDB*);
  QOXError (*freeKeyDB)(QOXKeyDB*);
  QOXContext* (*peekKeyDBObjContext)(QOXKeyDBObj*);
  int32_t (*objectType)(QOXKeyDBObj*);
  int32_t (*compareKeyIDs)(const QOXKeyID*, const QOXKeyID*);
  QOXError (*newKeyIDFromRawData)(const uint8_t*, uint8_t, size_t, QOXKeyID*);
};

// Installs (or, with null, removes) the double. The record must outlive its
// use.
void qoxSetKeyDBServicesDouble(const QOXKeyDBServicesDouble* services);

#endif  // OSTRAK_FOUNDATION_KEYDB_SERVICES_H_
