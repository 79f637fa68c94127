// One fuzz step for ring reading and merging (qoxReadKeyFile), shared by
// the libFuzzer target (ring_fuzz.cc) and the random-mutation test that
// runs under the sanitiser build. Every key submitted to the key server
// passes through this reader, so it must take any bytes.
//
// Input: a mode byte, then a packet stream. Mode bit 0: a trusted read
// (trust packets applied); bit 1: the stream is read twice into the same
// database (every packet meets its identical twin); bit 2: the second
// half of the stream is read first (merging in the other order). The
// stream is read from a memory file over a copy of exactly its length.
// Then every object is queried (each property through every getter, the
// self-signature queries, fingerprints, the public form of secret keys),
// copied into a second database, and the tree's shape is checked: children
// in their order under their parents, every key in the key-ID tree. A
// broken shape traps.
//
// The corpus (fuzz/corpus/ring) holds the gpg fixtures behind mode bytes,
// merged and trusted streams, and a small flooded key.
#ifndef OSTRAK_TESTS_KEYDB_FUZZ_RING_FUZZ_BODY_H_
#define OSTRAK_TESTS_KEYDB_FUZZ_RING_FUZZ_BODY_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "foundation/context.h"
#include "foundation/file.h"
#include "foundation/memory_mgr.h"
#include "keydb/key_accessors.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_lookup.h"
#include "keydb/key_ops.h"
#include "keydb/obj_accessors.h"
#include "keydb/obj_properties.h"
#include "keydb/ring_reader.h"
#include "keydb/self_sig.h"

namespace ring_fuzz {

inline void Check(bool ok) {
  if (!ok) __builtin_trap();
}

inline void Read(QOXKeyDB* db, const uint8_t* data, size_t size, bool trusted) {
  std::vector<uint8_t> copy(data, data + size);
  QOXFile* file = qoxFileMemOpen(db->context, copy.data(), copy.size());
  if (file == nullptr) return;
  qoxReadKeyFile(db, file, trusted);
  file->close(file);
}

// Every property number of every range through every getter.
inline void Properties(QOXKeyDBObj* o) {
  static const int32_t kNumbers[] = {20,  100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111,  112,  113,
                                     114, 115, 116, 117, 200, 201, 202, 203, 204, 205, 206, 207, 208,  209,  300,
                                     301, 302, 303, 401, 402, 403, 404, 405, 406, 407, 501, 505, 506,  507,  600,
                                     602, 605, 700, 701, 800, 801, 900, 1000, 1001, 1002, 1200, 1201, 1202, 1203,
                                     1300, 1304, 1306, 1307, 1400, 1500, 1501, 1600, 1601, 1603, 1605, 1607};
  uint8_t buffer[32];
  for (int32_t n : kNumbers) {
    bool b = false;
    int32_t i = 0;
    QOXTime t = 0;
    size_t size = 0;
    QOXGetKeyDBObjBooleanProperty(o, n, &b);
    QOXGetKeyDBObjNumericProperty(o, n, &i);
    QOXGetKeyDBObjTimeProperty(o, n, &t);
    QOXGetKeyDBObjDataProperty(o, n, buffer, sizeof buffer, &size);
    void* block = nullptr;
    if (QOXGetKeyDBObjAllocatedDataProperty(o, n, &block, &size) == 0 && block != nullptr) QOXFreeData(block);
  }
}

inline void QueryKey(QOXKeyDBObj* key) {
  uint8_t fingerprint[20];
  qoxKeyFingerprint(key, fingerprint);
  qoxKeyFingerprint20n(key, fingerprint);
  size_t length = 0;
  if (uint8_t* pub = qoxKeyDBObjToPubData(key, &length)) qoxContextMemFree(qoxObjKeyDB(key)->context, pub);
  qoxKeyUseInternal(key, true, false);
  qoxKeyMaxSizes(key, &length, &length, &length, 0);
  size_t count = 0;
  QOXError err = 0;
  for (uint8_t type : {9, 11, 12, 27}) qoxKeyFindSubpacket(key, type, 1, &length, nullptr, nullptr, nullptr, &count, &err);
  uint8_t algorithm = 0, klass = 0;
  QOXKeyID id;
  qoxKeyRevocationKey(key, 0, &algorithm, &id, &klass, &count, &err);
  qoxKeyHasThirdPartyRevocation(key, nullptr, &algorithm, &id, &err);
  if (qoxKeyIsValid(key)) {
    qoxKeyPrimaryUserID(key, 0);
    qoxKeySubkey(key, nullptr);
    qoxKeyNthCRL(key, 0, &count);
    QOXKeyDBObj* chosen = nullptr;
    for (uint32_t usage : {3u, 12u, 15u}) QOXGetKeyForUsage(key, usage, &chosen);
  }
}

// Children in their order (signatures, user IDs, the rest), linked both
// ways, each naming its parent.
inline void CheckChildren(QOXKeyDBObj* parent) {
  int stage = 0;
  QOXKeyDBObj* previous = nullptr;
  for (QOXKeyDBObj* c = parent->child; c != nullptr; c = c->next) {
    Check(qoxObjParent(c) == parent);
    Check(c->prev == previous);
    const int32_t type = qoxObjectType(c);
    const int s = type == kQOXKeyDBObjType_Sig ? 0 : type == kQOXKeyDBObjType_UserID ? 1 : 2;
    Check(s >= stage);
    stage = s;
    previous = c;
  }
}

inline void Walk(QOXKeyDB* db, QOXKeyDB* copyInto) {
  size_t objects = 0;
  for (QOXKeyDBObj* k = db->firstKey; k != nullptr; k = k->next) {
    Check(qoxKeyIsValid(k));
    QOXKeyID id;
    if (qoxKeyID8(k, nullptr, &id) == 0) {
      QOXKeyDBObj* found = nullptr;
      Check(qoxGetKeyByKeyID_internal(db, &id, true, true, &found) == 0);
    }
    CheckChildren(k);
    QueryKey(k);
    Properties(k);
    std::vector<QOXKeyDBObj*> all{k};
    for (QOXKeyDBObj* c = k->child; c != nullptr; c = c->next) {
      all.push_back(c);
      CheckChildren(c);
      for (QOXKeyDBObj* g = c->child; g != nullptr; g = g->next) all.push_back(g);
      if (qoxSubKeyIsValid(c)) QueryKey(c);
    }
    for (QOXKeyDBObj* o : all) {
      if (++objects > 4096) return;  // keeps one input's work bounded
      if (o != k) Properties(o);
      if (qoxSigIsValid(o)) {
        qoxSigRevoked(o);
        qoxSigIsSuperceded(o);
        qoxSigRegexp(o);
        size_t length = 0;
        qoxSigX509Certificate(o, &length);
      }
      QOXKeyDBObj* copy = nullptr;
      if (qoxKeyDBObjIsReal(o) && !qoxKeyDBObjIsDummy(k)) qoxKeyDBAddObject_internal(copyInto, o, &copy);
    }
  }
}

inline void Run(QOXContext* context, const uint8_t* data, size_t size) {
  if (size == 0) return;
  const uint8_t mode = data[0];
  ++data;
  --size;
  QOXKeyDB* db = nullptr;
  QOXKeyDB* copies = nullptr;
  if (QOXNewKeyDB(context, &db) != 0) return;
  if (QOXNewKeyDB(context, &copies) != 0) {
    QOXFreeKeyDB(db);
    return;
  }
  const bool trusted = (mode & 1) != 0;
  if ((mode & 4) != 0) {
    Read(db, data + size / 2, size - size / 2, trusted);
    Read(db, data, size / 2, trusted);
  } else {
    Read(db, data, size, trusted);
  }
  if ((mode & 2) != 0) Read(db, data, size, trusted);
  Walk(db, copies);
  QOXFreeKeyDB(copies);
  QOXFreeKeyDB(db);
}

}  // namespace ring_fuzz

#endif  // OSTRAK_TESTS_KEYDB_FUZZ_RING_FUZZ_BODY_H_
