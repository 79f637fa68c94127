// The PKE module: public-key ESK packets ahead of the data.
#include <cstring>

#include "foundation/byte_order.h"
#include "foundation/context.h"
#include "foundation/memory_mgr.h"
#include "crypto/key_encoding.h"
#include "keydb/key_id.h"
#include "keydb/key_ops.h"
#include "keydb/obj_accessors.h"
#include "pipeline/esk.h"
#include "pipeline/generic_modules.h"
#include "pipeline/module_support.h"

using qox_pipeline::FreeModule;
using qox_pipeline::ModuleOps;
using qox_pipeline::NewModule;
using qox_pipeline::StateOf;
using qox_pipeline::WipeAndFree;

namespace {

constexpr uint8_t kPKESKVersion = 3;
constexpr uint8_t kOldHeader = 0x85;  // old format, tag 1, two-byte length
constexpr uint8_t kNewHeader = 0xC1;  // new format, tag 1
constexpr size_t kOneOctetLimit = 192;
constexpr size_t kTwoOctetLimit = 8384;
constexpr size_t kKeyIDSize = 8;

struct Pke {
  uint8_t* sessionKey;  // secure memory; null once data has passed
  size_t sessionKeyLength;
  uint8_t* packet;      // the packet being added (context memory)
  size_t packetSize;
  uint32_t version;
  QOXPipeline* tail;    // the join
};

Pke* K(QOXPipeline* m) { return StateOf<Pke>(m); }

// The session key and the packet buffer go: wiped, then freed.
void DropSecrets(QOXPipeline* m) {
  Pke* s = K(m);
  if (s->sessionKey != nullptr) QOXFreeData(s->sessionKey);  // secure: wiped on release
  s->sessionKey = nullptr;
  s->sessionKeyLength = 0;
  WipeAndFree(m->context, s->packet, s->packetSize);
  s->packet = nullptr;
  s->packetSize = 0;
}

size_t PkeWrite(QOXPipeline* m, const uint8_t* bytes, size_t count, QOXError* error) {
  Pke* s = K(m);
  if (count != 0) DropSecrets(m);
  return s->tail->write(s->tail, bytes, count, error);
}
QOXError PkeFlush(QOXPipeline* m) { return K(m)->tail->flush(K(m)->tail); }
QOXError PkeAnnotate(QOXPipeline* m, QOXPipeline* origin, uint32_t type, void* data, size_t count) {
  return K(m)->tail->annotate(K(m)->tail, origin, type, data, count);
}
QOXError PkeSizeAdvise(QOXPipeline* m, uint64_t bytes) { return K(m)->tail->sizeAdvise(K(m)->tail, bytes); }
QOXError PkeTeardown(QOXPipeline* m) {
  qoxPipelineTeardown(K(m)->tail);
  DropSecrets(m);
  FreeModule<Pke>(m);
  return kQOXErrNoErr;
}
constexpr ModuleOps kPkeOps = {PkeWrite, PkeFlush, PkeAnnotate, PkeSizeAdvise, PkeTeardown};

}  // namespace

QOXError makePke(QOXContext* context, QOXKeyDBObj* key, const uint8_t* sessionKey, size_t sessionKeyLength,
                 uint32_t version, uint8_t** outBody, size_t* outLength) {
  (void)version;  // every version writes a version-3 body
  if (outBody != nullptr) *outBody = nullptr;
  if (outLength != nullptr) *outLength = 0;
  if (outBody == nullptr || outLength == nullptr || sessionKey == nullptr || sessionKeyLength == 0) {
    return kQOXErrBadParams;
  }
  uint8_t algorithm = 0;
  QOXKeyID keyID{};
  QOXError err = qoxKeyID8(key, &algorithm, &keyID);
  if (err != kQOXErrNoErr) return err;
  if (qoxKeyIDLength(&keyID) != kKeyIDSize) return kQOXErrBadParams;
  uint8_t* mpis = nullptr;
  size_t mpiLength = 0;
  err = qoxKeyEncrypt(key, sessionKey, sessionKeyLength, kQOXPublicKeyFormat_MPI, &mpis, &mpiLength);
  if (err != kQOXErrNoErr) {
    if (mpis != nullptr) QOXFreeData(mpis);
    return err;
  }
  const size_t length = 1 + kKeyIDSize + 1 + mpiLength;
  auto* body = static_cast<uint8_t*>(qoxContextMemAlloc(context, length, 0));
  if (body == nullptr) {
    QOXFreeData(mpis);
    return kQOXErrOutOfMemory;
  }
  body[0] = kPKESKVersion;
  std::memcpy(body + 1, qoxGetKeyIDBytes(&keyID), kKeyIDSize);
  body[1 + kKeyIDSize] = algorithm;
  std::memcpy(body + 2 + kKeyIDSize, mpis, mpiLength);
  QOXFreeData(mpis);
  *outBody = body;
  *outLength = length;
  return kQOXErrNoErr;
}

QOXPipeline** qoxPkeCreate(QOXContext* context, QOXPipeline** slot, uint32_t version, const uint8_t* sessionKey,
                           size_t sessionKeyLength) {
  if (slot == nullptr || sessionKey == nullptr || sessionKeyLength == 0) return nullptr;
  QOXPipeline* m = NewModule<Pke>(context, kQOXMagicPKE, "PKE Module", kPkeOps);
  if (m == nullptr) return nullptr;
  Pke* s = K(m);
  s->sessionKey = static_cast<uint8_t*>(QOXNewSecureData(QOXPeekContextMemoryMgr(context), sessionKeyLength, 0));
  if (s->sessionKey == nullptr) {
    FreeModule<Pke>(m);
    return nullptr;
  }
  std::memcpy(s->sessionKey, sessionKey, sessionKeyLength);
  s->sessionKeyLength = sessionKeyLength;
  s->version = version;
  QOXPipeline* const oldHead = *slot;
  QOXPipeline* join = oldHead;
  QOXPipeline** joinTail = qoxJoinCreate(context, &join, &qoxByteFifoDesc);
  if (joinTail == nullptr) {
    DropSecrets(m);
    FreeModule<Pke>(m);
    return nullptr;
  }
  s->tail = join;
  *slot = m;
  return joinTail;
}

QOXError qoxPkeAddKey(QOXPipeline* pke, QOXKeyDBObj* key) {
  if (pke == nullptr || pke->magic != kQOXMagicPKE) return kQOXErrBadParams;
  Pke* s = K(pke);
  if (s->sessionKey == nullptr) return kQOXErrBadParams;  // data has passed
  uint8_t* body = nullptr;
  size_t length = 0;
  QOXError err = makePke(pke->context, key, s->sessionKey, s->sessionKeyLength, s->version, &body, &length);
  if (err != kQOXErrNoErr) return err;
  const bool old = s->version < 4;
  if ((old && length > 0xFFFF) || (!old && length >= kTwoOctetLimit)) {
    qoxContextMemFree(pke->context, body);
    return kQOXErrBadParams;  // no key makes a body this long
  }
  if (s->packetSize < length + 3) {
    void* grown = s->packet;
    err = qoxContextMemRealloc(pke->context, &grown, length + 3, 0);
    if (err != kQOXErrNoErr) {
      qoxContextMemFree(pke->context, body);
      return kQOXErrOutOfMemory;
    }
    s->packet = static_cast<uint8_t*>(grown);
    s->packetSize = length + 3;
  }
  size_t header = 0;
  if (old) {
    s->packet[0] = kOldHeader;
    StoreBE16(s->packet + 1, static_cast<uint16_t>(length));
    header = 3;
  } else if (length < kOneOctetLimit) {
    s->packet[0] = kNewHeader;
    s->packet[1] = static_cast<uint8_t>(length);
    header = 2;
  } else {
    s->packet[0] = kNewHeader;
    s->packet[1] = static_cast<uint8_t>(((length - kOneOctetLimit) >> 8) + kOneOctetLimit);
    s->packet[2] = static_cast<uint8_t>((length - kOneOctetLimit) & 0xFF);
    header = 3;
  }
  std::memcpy(s->packet + header, body, length);
  qoxContextMemFree(pke->context, body);
  const size_t total = header + length;
  return qoxJoinBuffer(s->tail, s->packet, total) == total ? kQOXErrNoErr : kQOXErrOutOfMemory;
}
