#include "keydb/key_lookup.h"

#include <cstring>
#include <vector>

#include "foundation/context.h"
#include "foundation/sdk_errors.h"
#include "keydb/front_end.h"
#include "keydb/key_db_back.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_id.h"
#include "keydb/key_packet.h"
#include "keydb/key_tree.h"
#include "keydb/obj_accessors.h"
#include "keydb/obj_data.h"
#include "keydb/packet_header.h"
#include "keydb/ring_reader.h"

namespace {

constexpr size_t kV4Prefix = 6;  // version, creation, algorithm
constexpr size_t kV3Prefix = 8;  // version, creation, validity, algorithm
constexpr uint8_t kFirstV4Version = 4;

enum class Verdict { kPass, kRefused };

// The permissions of a found node, and what it stands for.
Verdict Permit(QOXKeyDBObj* node, bool allowDummies, bool allowDeleted, QOXKeyDBObj** result) {
  if (qoxKeyDBObjIsDeleted(node) && !allowDeleted) return Verdict::kRefused;
  if (qoxKeyDBObjIsDummy(node) && !allowDummies) return Verdict::kRefused;
  if (qoxKeyDBObjIsX509Dummy(node)) {
    KeyInfo* info = qoxKeyToKeyInfo(node);
    if (info != nullptr && info->x509Sig != nullptr) {
      *result = qoxObjTopKey(info->x509Sig);
      return Verdict::kPass;
    }
  }
  *result = node;
  return Verdict::kPass;
}

// The packet of a key in public form (a secret key's public copy, which the
// caller frees with QOXFreeData through `copy`).
const uint8_t* PublicPacket(QOXKeyDBObj* key, size_t* length, uint8_t** copy) {
  *copy = nullptr;
  if (qoxKeyIsSec(key)) {
    *copy = qoxKeyDBObjToPubData(key, length);
    return *copy;
  }
  return qoxFetchObject(key, length);
}

void FreeCopy(QOXKeyDBObj* key, uint8_t* copy) {
  if (copy != nullptr) qoxContextMemFree(qoxObjKeyDB(key)->context, copy);
}

}  // namespace

QOXError qoxGetKeyByKeyID_internal(QOXKeyDB* db, const QOXKeyID* keyID, bool allowDummies, bool allowDeleted,
                                   QOXKeyDBObj** outKey) {
  if (outKey == nullptr) return kQOXErrBadParams;
  *outKey = nullptr;
  if (!qoxKeyDBIsValid(db) || keyID == nullptr || !qoxKeyIDIsValid(keyID)) return kQOXErrBadParams;
  QOXKeyID nodeID;
  if (qoxKeyIDLength(keyID) == 8) {
    QOXKeyDBObj* node = db->keyTree;
    while (node != nullptr) {
      KeyInfo* info = qoxKeyToKeyInfo(node);
      if (info == nullptr) return kQOXErrItemNotFound;
      qoxKeyInfoTreeKeyID(info, &nodeID);
      const int32_t order = qoxCompareKeyIDs(&nodeID, keyID);
      if (order == 0) break;
      node = order < 0 ? info->greater : info->notGreater;
    }
    if (node == nullptr || Permit(node, allowDummies, allowDeleted, outKey) != Verdict::kPass) {
      *outKey = nullptr;
      return kQOXErrItemNotFound;
    }
    return kQOXErrNoErr;
  }
  // A 4-byte ID: the whole tree, node first, then greater, then notGreater.
  std::vector<QOXKeyDBObj*> stack;
  if (db->keyTree != nullptr) stack.push_back(db->keyTree);
  while (!stack.empty()) {
    QOXKeyDBObj* node = stack.back();
    stack.pop_back();
    KeyInfo* info = qoxKeyToKeyInfo(node);
    if (info == nullptr) continue;
    qoxKeyInfoTreeKeyID(info, &nodeID);
    if (qoxCompareKeyIDs(&nodeID, keyID) == 0) {
      if (Permit(node, allowDummies, allowDeleted, outKey) == Verdict::kPass) return kQOXErrNoErr;
      continue;  // a refused match ends the search of its subtrees
    }
    if (info->notGreater != nullptr) stack.push_back(info->notGreater);
    if (info->greater != nullptr) stack.push_back(info->greater);
  }
  *outKey = nullptr;
  return kQOXErrItemNotFound;
}

QOXError qoxGetKeyByKeyID(QOXKeyDB* db, const QOXKeyID* keyID, bool allowDummies, bool allowDeleted,
                          QOXKeyDBObj** outKey) {
  if (qoxFrontEndKeyDB(db)) {
    if (outKey == nullptr) return kQOXErrBadParams;
    *outKey = nullptr;
    uintptr_t id = 0;
    if (QOXError err = qoxGetKeyByKeyID_back(db->context, db->backendID, keyID, allowDummies, allowDeleted, &id);
        err != kQOXErrNoErr)
      return err;
    *outKey = qoxFrontEndObject(db, id);
    return *outKey != nullptr ? kQOXErrNoErr : kQOXErrItemNotFound;
  }
  return qoxGetKeyByKeyID_internal(db, keyID, allowDummies, allowDeleted, outKey);
}

QOXError QOXFindKeyByKeyID(QOXKeyDB* db, const QOXKeyID* keyID, QOXKeyDBObj** outKey) {
  if (outKey == nullptr) return kQOXErrBadParams;
  *outKey = nullptr;
  if (!qoxKeyDBIsValid(db) || keyID == nullptr) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  QOXKeyDBObj* key = nullptr;
  if (QOXError err = qoxGetKeyByKeyID(db, keyID, true, false, &key); err != kQOXErrNoErr) return err;
  if (qoxKeyDBObjIsDummy(key)) return kQOXErrItemNotFound;
  *outKey = key;
  return kQOXErrNoErr;
}

QOXError QOXGetKeyID(QOXKeyDBObj* key, QOXKeyID* outKeyID) {
  if (outKeyID == nullptr) return kQOXErrBadParams;
  std::memset(outKeyID, 0, sizeof *outKeyID);
  if (!qoxKeyIsValid(key) && !qoxSubKeyIsValid(key)) return kQOXErrBadParams;
  return qoxKeyID8(key, nullptr, outKeyID);
}

QOXError vuzizClientKeyIDText(QOXContext*, QOXKeyDBObj* key, char* text, size_t size) {
  if (text == nullptr || size == 0) return kQOXErrBadParams;
  text[0] = '\0';
  QOXKeyID id;
  if (QOXError err = QOXGetKeyID(key, &id); err != kQOXErrNoErr) return err;
  char full[kQOXKeyIDStringSize];
  if (QOXError err = QOXGetKeyIDString(&id, kQOXKeyIDString_Full, full); err != kQOXErrNoErr) return err;
  const size_t n = std::strlen(full);
  if (n + 1 > size) return kQOXErrBadParams;
  std::memcpy(text, full, n + 1);
  return kQOXErrNoErr;
}

QOXKeyDBObj* qoxKeyById8(QOXKeyDB* db, uint8_t algorithm, const uint8_t id8[8]) {
  QOXKeyID id;
  std::memset(&id, 0, sizeof id);
  if (qoxNewKeyIDFromRawData(id8, qoxKeyIDAlgorithm(algorithm), 8, &id) != kQOXErrNoErr) return nullptr;
  QOXKeyDBObj* key = nullptr;
  return qoxGetKeyByKeyID(db, &id, true, false, &key) == kQOXErrNoErr ? key : nullptr;
}

QOXKeyDBObj* qoxKeyDBFindKey(QOXKeyDB* db, uint8_t algorithm, const uint8_t id8[8]) {
  const uint8_t wanted = qoxKeyIDAlgorithm(algorithm);
  for (QOXKeyDBObj* k = db->firstKey; k != nullptr; k = k->next) {
    if (!qoxKeyDBObjIsReal(k)) continue;
    const KeyInfo* info = qoxKeyToKeyInfo(k);
    if (info == nullptr || std::memcmp(info->keyID, id8, sizeof info->keyID) != 0) continue;
    if (info->algorithm == wanted || qoxKeyIDAlgorithm(info->algorithm) == wanted) return k;
  }
  return nullptr;
}

QOXKeyDBObj* qoxKeyDBFindKey20n(QOXKeyDB* db, const uint8_t fingerprint[kQOXFingerprint20Size]) {
  for (QOXKeyDBObj* k = db->firstKey; k != nullptr; k = k->next) {
    if (!qoxKeyDBObjIsReal(k)) continue;
    const KeyInfo* info = qoxKeyToKeyInfo(k);
    if (info == nullptr || info->fingerprintByte != fingerprint[0]) continue;
    uint8_t digest[kQOXFingerprint20Size];
    if (qoxKeyFingerprint20n(k, digest) == static_cast<int>(kQOXFingerprint20Size) &&
        std::memcmp(digest, fingerprint, sizeof digest) == 0)
      return k;
  }
  return nullptr;
}

int qoxKeyFingerprint20(QOXKeyDBObj* key, uint8_t out[kQOXFingerprint20Size]) {
  size_t length = 0;
  uint8_t* copy = nullptr;
  const uint8_t* packet = PublicPacket(key, &length, &copy);
  ostrak::ByteCursor body;
  if (packet == nullptr || !qoxPktBody(packet, length, &body)) {
    FreeCopy(key, copy);
    return kQOXErrOutOfMemory;
  }
  const int result = qoxFingerprint20HashBuf(qoxObjKeyDB(key)->context, body.data(), body.remaining(), out);
  FreeCopy(key, copy);
  return result;
}

int qoxKeyFingerprint20n(QOXKeyDBObj* key, uint8_t out[kQOXFingerprint20Size]) {
  size_t length = 0;
  uint8_t* copy = nullptr;
  const uint8_t* packet = PublicPacket(key, &length, &copy);
  size_t numericLength = 0;
  const uint8_t* numeric = packet != nullptr ? qoxKeyParseNumericData(packet, length, &numericLength) : nullptr;
  if (numeric == nullptr) {
    FreeCopy(key, copy);
    return kQOXErrOutOfMemory;
  }
  const int result = qoxFingerprint20HashBuf(qoxObjKeyDB(key)->context, numeric, numericLength, out);
  FreeCopy(key, copy);
  return result;
}

QOXError qoxKeyFingerprint16(QOXKeyDBObj* key, uint8_t out[kQOXFingerprint16Size]) {
  size_t length = 0;
  const uint8_t* packet = qoxFetchObject(key, &length);
  if (packet == nullptr) return kQOXErrOutOfMemory;
  const int result = qoxKeyParseFingerprint16(qoxObjKeyDB(key)->context, packet, length, out);
  return result < 0 ? result : kQOXErrNoErr;
}

int qoxKeyFingerprint(QOXKeyDBObj* key, uint8_t out[kQOXFingerprint20Size]) {
  if (qoxKeyVersion(key) >= kFirstV4Version) return qoxKeyFingerprint20(key, out);
  const QOXError err = qoxKeyFingerprint16(key, out);
  return err != kQOXErrNoErr ? err : static_cast<int>(kQOXFingerprint16Size);
}

const uint8_t* qoxKeyMPIData(QOXKeyDBObj* key, size_t* outLength) {
  if (outLength != nullptr) *outLength = 0;
  size_t length = 0;
  const uint8_t* packet = qoxFetchObject(key, &length);
  ostrak::ByteCursor body;
  if (packet == nullptr || !qoxPktBody(packet, length, &body) || body.empty()) return nullptr;
  const size_t prefix = body.data()[0] >= kFirstV4Version ? kV4Prefix : kV3Prefix;
  if (!body.skip(prefix)) return nullptr;
  if (outLength != nullptr) *outLength = body.remaining();
  return body.data();
}
