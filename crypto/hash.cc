// Hash registry, contexts and lists. The update path is one record look-up
// and one indirect call: no allocation, no copy.
#include "crypto/hash.h"

#include <string.h>  // explicit_bzero

#include <cstring>

#include "crypto/md2.h"
#include "crypto/md5.h"
#include "crypto/ripemd160.h"
#include "crypto/sha1.h"
#include "foundation/context.h"

// DigestInfo ::= SEQUENCE { SEQUENCE { OID, NULL }, OCTET STRING }, up to the
// octet string's length byte; the digest follows.
const uint8_t MD5DERprefix[18] = {0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                  0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
const uint8_t SHADERprefix[15] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                  0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
const uint8_t RIPEMD160DERprefix[15] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x24,
                                        0x03, 0x02, 0x01, 0x05, 0x00, 0x04, 0x14};
const uint8_t MD2DERprefix[18] = {0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                  0x86, 0xF7, 0x0D, 0x02, 0x02, 0x05, 0x00, 0x04, 0x10};

namespace {

// The registry's entries into SHA-1, whose own calls take a typed state.
void shaInit(void* state) { qoxSHAInit(static_cast<SHA1State*>(state)); }
void shaUpdate(void* state, const void* bytes, size_t length) {
  qoxSHAUpdate(static_cast<SHA1State*>(state), bytes, length);
}
const uint8_t* shaFinal(void* state) { return qoxSHAFinalize(static_cast<SHA1State*>(state)); }

}  // namespace

const QOXHashVTBL HashMD5 = {"MD5",         kQOXHashAlgorithm_MD5, MD5DERprefix,
                             sizeof MD5DERprefix, 16,              sizeof(MD5State),
                             4,             MD5Init,               MD5Update,
                             MD5Final};
const QOXHashVTBL HashSHA = {"SHA1",        kQOXHashAlgorithm_SHA, SHADERprefix,
                             sizeof SHADERprefix, 20,              sizeof(SHA1State),
                             4,             shaInit,               shaUpdate,
                             shaFinal};
const QOXHashVTBL HashRIPEMD160 = {"RIPEMD160",       kQOXHashAlgorithm_RIPEMD160, RIPEMD160DERprefix,
                                   sizeof RIPEMD160DERprefix, 20,              sizeof(RMD160State),
                                   4,                 rmd160Init,                  rmd160Update,
                                   rmd160Final};
const QOXHashVTBL HashMD2 = {"MD2",         kQOXHashAlgorithm_MD2, MD2DERprefix,
                             sizeof MD2DERprefix, 16,              sizeof(MD2State),
                             4,             MD2Init,               MD2Update,
                             MD2Final};

static_assert(sizeof(MD5State) == 88 && sizeof(SHA1State) == 92 && sizeof(RMD160State) == 92 &&
              sizeof(MD2State) == 84);

namespace {

// Searched in this order.
const QOXHashVTBL* const sHashList[] = {&HashMD5, &HashSHA, &HashRIPEMD160, &HashMD2};

bool IsValid(const QOXHashContext* hash) {
  return hash != nullptr && hash->state != nullptr && hash->magic == kQOXHashContextMagic;
}

// Fills a cleared context record in place: magic, record, manager, and a new
// initialised state. False when the state cannot be allocated.
bool SetUpContext(QOXHashContext* hash, QOXMemoryMgr* memoryMgr, const QOXHashVTBL* vtbl) {
  hash->magic = kQOXHashContextMagic;
  hash->vtbl = vtbl;
  hash->memoryMgr = memoryMgr;
  hash->state = QOXNewData(memoryMgr, vtbl->stateSize, kQOXMemoryMgrFlags_Clear);
  if (hash->state == nullptr) return false;
  vtbl->init(hash->state);
  return true;
}

// Wipes and frees the state of a valid context; ignores an invalid one.
void sDisposeHashData(QOXHashContext* hash) {
  if (!IsValid(hash)) return;
  explicit_bzero(hash->state, hash->vtbl->stateSize);
  QOXFreeData(hash->state);
  hash->state = nullptr;
}

QOXHashContext* ListContexts(QOXHashList* list) { return reinterpret_cast<QOXHashContext*>(list + 1); }

}  // namespace

// --- Internal calls ---

const QOXHashVTBL* qoxHashByNumber(QOXHashAlgorithm algorithm) {
  for (const QOXHashVTBL* vtbl : sHashList) {
    if (vtbl->algorithm == algorithm) return vtbl;
  }
  return nullptr;
}

const QOXHashVTBL* qoxHashByName(const char* name, size_t length) {
  if (name == nullptr) return nullptr;
  for (const QOXHashVTBL* vtbl : sHashList) {
    if (std::strlen(vtbl->name) == length && std::memcmp(vtbl->name, name, length) == 0) return vtbl;
  }
  return nullptr;
}

QOXHashContext* qoxHashCreate(QOXMemoryMgr* memoryMgr, const QOXHashVTBL* vtbl) {
  auto* hash = static_cast<QOXHashContext*>(
      QOXNewData(memoryMgr, sizeof(QOXHashContext), kQOXMemoryMgrFlags_Clear));
  if (hash == nullptr) return nullptr;
  if (!SetUpContext(hash, memoryMgr, vtbl)) {
    QOXFreeData(hash);
    return nullptr;
  }
  return hash;
}

QOXHashContext* qoxHashCopy(const QOXHashContext* hash) {
  QOXHashContext* copy = qoxHashCreate(hash->memoryMgr, hash->vtbl);
  if (copy != nullptr) qoxHashCopyData(hash, copy);
  return copy;
}

void qoxHashCopyData(const QOXHashContext* source, QOXHashContext* dest) {
  std::memcpy(dest->state, source->state, source->vtbl->stateSize);
}

const uint8_t* qoxHashFinal(QOXHashContext* hash) { return hash->vtbl->final(hash->state); }

const QOXHashVTBL* qoxHashGetVTBL(const QOXHashContext* hash) { return hash->vtbl; }

// --- Public calls ---

QOXError QOXNewHashContext(QOXContext* context, QOXHashAlgorithm algorithm, QOXHashContext** outHash) {
  if (outHash == nullptr) return kQOXErrBadParams;
  *outHash = nullptr;
  const QOXHashVTBL* vtbl = qoxHashByNumber(algorithm);
  if (vtbl == nullptr) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != 0) return err;
  QOXMemoryMgr* memoryMgr = QOXPeekContextMemoryMgr(context);
  if (QOXError err = QOXValidateMemoryMgr(memoryMgr); err != 0) return err;
  QOXHashContext* hash = qoxHashCreate(memoryMgr, vtbl);
  if (hash == nullptr) return kQOXErrOutOfMemory;
  *outHash = hash;
  return kQOXErrNoErr;
}

QOXError QOXCopyHashContext(const QOXHashContext* hash, QOXHashContext** outCopy) {
  if (outCopy == nullptr) return kQOXErrBadParams;
  *outCopy = nullptr;
  if (!IsValid(hash)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != 0) return err;
  QOXHashContext* copy = qoxHashCopy(hash);
  if (copy == nullptr) return kQOXErrOutOfMemory;
  *outCopy = copy;
  return kQOXErrNoErr;
}

QOXError QOXFreeHashContext(QOXHashContext* hash) {
  if (!IsValid(hash)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != 0) return err;
  sDisposeHashData(hash);
  explicit_bzero(hash, sizeof *hash);
  QOXFreeData(hash);
  return kQOXErrNoErr;
}

QOXError QOXResetHash(QOXHashContext* hash) {
  if (!IsValid(hash)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != 0) return err;
  hash->vtbl->init(hash->state);
  return kQOXErrNoErr;
}

QOXError QOXContinueHash(QOXHashContext* hash, const void* bytes, size_t length) {
  if (!IsValid(hash) || bytes == nullptr) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != 0) return err;
  if (length != 0) hash->vtbl->update(hash->state, bytes, length);
  return kQOXErrNoErr;
}

QOXError QOXFinalizeHash(QOXHashContext* hash, void* out) {
  if (!IsValid(hash) || out == nullptr) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != 0) return err;
  std::memcpy(out, hash->vtbl->final(hash->state), hash->vtbl->digestSize);
  return kQOXErrNoErr;
}

QOXError QOXGetHashSize(const QOXHashContext* hash, size_t* outSize) {
  if (outSize == nullptr) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != 0) return err;
  *outSize = 0;
  if (!IsValid(hash)) return kQOXErrBadParams;
  *outSize = hash->vtbl->digestSize;
  return kQOXErrNoErr;
}

// --- Lists ---

QOXError qoxHashListCreate(QOXMemoryMgr* memoryMgr, const uint8_t* algorithms, QOXHashList** outList,
                           uint32_t count) {
  if (outList == nullptr) return kQOXErrBadParams;
  *outList = nullptr;
  if (algorithms == nullptr || count == 0) return kQOXErrBadParams;
  // An invalid manager shows up as a failed allocation just below.
  (void)QOXValidateMemoryMgr(memoryMgr);

  size_t blockSize = sizeof(QOXHashList) + size_t{count} * sizeof(QOXHashContext);
  auto* list = static_cast<QOXHashList*>(QOXNewData(memoryMgr, blockSize, kQOXMemoryMgrFlags_Clear));
  if (list == nullptr) return kQOXErrOutOfMemory;
  list->memoryMgr = memoryMgr;
  QOXHashContext* contexts = ListContexts(list);
  for (uint32_t i = 0; i < count; ++i) {
    const QOXHashVTBL* vtbl = qoxHashByNumber(algorithms[i]);
    if (vtbl == nullptr) continue;
    if (!SetUpContext(&contexts[list->count], memoryMgr, vtbl)) {
      qoxHashListDestroy(list);
      return kQOXErrOutOfMemory;
    }
    ++list->count;
  }
  *outList = list;
  return kQOXErrNoErr;
}

uint32_t qoxHashListGetSize(const QOXHashList* list) { return list->count; }

QOXHashContext* qoxHashListGetIndHash(QOXHashList* list, uint32_t index) {
  if (list == nullptr || index >= list->count) return nullptr;
  return &ListContexts(list)[index];
}

QOXHashContext* qoxHashListFind(QOXHashList* list, const QOXHashVTBL* vtbl) {
  if (list == nullptr) return nullptr;
  QOXHashContext* contexts = ListContexts(list);
  for (uint32_t i = 0; i < list->count; ++i) {
    if (contexts[i].vtbl == vtbl) return &contexts[i];
  }
  return nullptr;
}

void qoxHashListDestroy(QOXHashList* list) {
  if (list == nullptr) return;
  QOXHashContext* contexts = ListContexts(list);
  // The context whose state failed to allocate sits just past the count and
  // is not valid, so it is skipped like any other invalid one.
  for (uint32_t i = list->count; i-- > 0;) sDisposeHashData(&contexts[i]);
  QOXFreeData(list);
}
