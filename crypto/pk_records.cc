#include "crypto/pk_records.h"

#include <cstring>

#include "crypto/bignum_api.h"
#include "crypto/cfb.h"
#include "crypto/cipher.h"
#include "crypto/random_pool.h"
#include "foundation/context.h"
#include "foundation/sdk_errors.h"
#include "foundation/string_to_key_services.h"

QOXMemoryMgr* qoxPkMemoryMgr(QOXContext* context) { return QOXPeekContextMemoryMgr(context); }

// --- Public records ---

PkPublicRecord* qoxPkPub(const QOXPubKey* key) { return static_cast<PkPublicRecord*>(key->algData); }

QOXPubKey* qoxPkPubNew(QOXContext* context, uint8_t algorithm, unsigned count) {
  QOXPubKey* key = qoxPubKeyAlloc(context, algorithm);
  if (key == nullptr) return nullptr;
  auto* record = static_cast<PkPublicRecord*>(qoxContextMemAlloc(context, sizeof(PkPublicRecord), 0));
  if (record == nullptr) {
    qoxPubKeyFree(key);
    return nullptr;
  }
  record->count = count;
  for (BigNum& n : record->numbers) bnBegin(&n, qoxPkMemoryMgr(context), false);
  key->algData = record;
  key->destroy = qoxPkPubDestroy;
  key->bufferLength = qoxPkPubBufferLength;
  key->toBuffer = qoxPkPubToBuffer;
  key->params = qoxPkPubParams;
  return key;
}

void qoxPkPubDestroy(QOXPubKey* key) {
  if (key == nullptr) return;
  PkPublicRecord* record = qoxPkPub(key);
  if (record != nullptr) {
    for (BigNum& n : record->numbers) bnEnd(&n);
    qoxContextMemFree(key->context, record);
  }
  qoxPubKeyFree(key);
}

size_t qoxPkPubBufferLength(const QOXPubKey* key) {
  const PkPublicRecord* record = qoxPkPub(key);
  size_t length = 0;
  for (unsigned i = 0; i < record->count; ++i) length += qoxBnMPILength(&record->numbers[i]);
  return length;
}

void qoxPkPubToBuffer(const QOXPubKey* key, uint8_t* out) {
  const PkPublicRecord* record = qoxPkPub(key);
  for (unsigned i = 0; i < record->count; ++i) out += qoxBnPutPlain(&record->numbers[i], out);
}

QOXError qoxPkPubParams(const QOXPubKey* key, QOXBigNum** numbers) {
  if (numbers == nullptr) return kQOXErrBadParams;
  const PkPublicRecord* record = qoxPkPub(key);
  for (unsigned i = 0; i < record->count; ++i) {
    if (numbers[i] == nullptr) return kQOXErrBadParams;
    if (bnCopy(numbers[i], &record->numbers[i]) < 0) return kQOXErrOutOfMemory;
  }
  return kQOXErrNoErr;
}

QOXError qoxPkReadNumbers(BigNum* numbers, unsigned count, const uint8_t* buffer, size_t length) {
  size_t offsets[kPkMaxNumbers];
  int total = qoxBnParse(buffer, length, count, offsets);
  if (total < 0) return total;
  for (unsigned i = 0; i < count; ++i) {
    if (qoxBnGetPlain(&numbers[i], buffer + offsets[i], length - offsets[i]) <= 0) return kQOXErrOutOfMemory;
  }
  return kQOXErrNoErr;
}

QOXError qoxPkPubRead(PkPublicRecord* record, const uint8_t* buffer, size_t length) {
  return qoxPkReadNumbers(record->numbers, record->count, buffer, length);
}

// --- Secret records ---

PkSecretRecord* qoxPkSec(const QOXSecKey* key) { return static_cast<PkSecretRecord*>(key->algData); }

QOXSecKey* qoxPkSecNew(QOXContext* context, uint8_t algorithm, unsigned publicCount,
                       unsigned secretCount, const uint8_t* body, size_t length, bool oldProtection,
                       QOXError* error) {
  *error = kQOXErrOutOfMemory;
  QOXSecKey* key = qoxSecKeyAlloc(context, algorithm);
  if (key == nullptr) return nullptr;
  QOXMemoryMgr* mgr = qoxPkMemoryMgr(context);
  auto* record = static_cast<PkSecretRecord*>(
      QOXNewSecureData(mgr, sizeof(PkSecretRecord), kQOXMemoryMgrFlags_Clear));
  if (record == nullptr) {
    qoxSecKeyFree(key);
    return nullptr;
  }
  std::memset(record, 0, sizeof(*record));
  record->context = context;
  record->publicCount = publicCount;
  record->secretCount = secretCount;
  for (BigNum& n : record->publicNumbers) bnBegin(&n, mgr, false);
  for (BigNum& n : record->secretNumbers) bnBegin(&n, mgr, true);
  record->locked = 1;
  record->oldProtection = oldProtection ? 1 : 0;
  key->algData = record;
  key->destroy = qoxPkSecDestroy;
  key->islocked = qoxPkSecIsLocked;
  key->lock = qoxPkSecLock;
  key->bufferLength = qoxPkSecBufferLength;
  key->toBuffer = qoxPkSecToBuffer;
  key->params = qoxPkSecParams;
  key->lockingalgorithm = qoxPkSecLockingAlgorithm;
  key->s2ktype = qoxPkSecS2KType;
  key->convertpassphrase = qoxPkSecConvertPassphrase;
  if (body != nullptr && qoxSecretBodyCopy(context, body, length, &record->body) != kQOXErrNoErr) {
    qoxPkSecDestroy(key);
    return nullptr;
  }
  *error = kQOXErrNoErr;
  return key;
}

QOXSecKey* qoxPkSecFromBuf(QOXContext* context, uint8_t algorithm, unsigned publicCount, unsigned secretCount,
                           const uint8_t* buffer, size_t length, bool oldProtection,
                           void (*finish)(QOXSecKey* key), QOXError malformedError, QOXError* error) {
  QOXSecKey* key = qoxPkSecNew(context, algorithm, publicCount, secretCount, buffer, length, oldProtection, error);
  if (key == nullptr) return nullptr;
  finish(key);
  PkSecretRecord* record = qoxPkSec(key);
  if (qoxPkReadNumbers(record->publicNumbers, publicCount, buffer, length) != kQOXErrNoErr ||
      key->unlock(key, nullptr, 0, 0) < 0) {
    qoxPkSecDestroy(key);
    *error = malformedError;
    return nullptr;
  }
  return key;
}

void qoxPkSecDestroy(QOXSecKey* key) {
  if (key == nullptr) return;
  PkSecretRecord* record = qoxPkSec(key);
  if (record != nullptr) {
    for (BigNum& n : record->publicNumbers) bnEnd(&n);
    for (BigNum& n : record->secretNumbers) bnEnd(&n);
    qoxSecretBodyFree(&record->body);
    bniMemWipe(record, sizeof(*record));
    QOXFreeData(record);
  }
  qoxSecKeyFree(key);
}

int qoxPkSecIsLocked(const QOXSecKey* key) { return qoxPkSec(key)->locked; }

void qoxPkSecLock(QOXSecKey* key) {
  PkSecretRecord* record = qoxPkSec(key);
  for (BigNum& n : record->secretNumbers) {
    bnEnd(&n);
    bnBegin(&n, qoxPkMemoryMgr(record->context), true);
  }
  record->locked = 1;
}

size_t qoxPkSecBufferLength(const QOXSecKey* key) { return qoxPkSec(key)->body.length; }

void qoxPkSecToBuffer(const QOXSecKey* key, uint8_t* out) {
  const PkSecretRecord* record = qoxPkSec(key);
  if (record->body.length > 0) std::memcpy(out, record->body.bytes, record->body.length);
}

QOXError qoxPkSecParams(const QOXSecKey* key, QOXBigNum** numbers) {
  if (numbers == nullptr) return kQOXErrBadParams;
  const PkSecretRecord* record = qoxPkSec(key);
  if (record->locked) return kQOXErrKeyLocked;
  for (unsigned i = 0; i < record->secretCount; ++i) {
    if (numbers[i] == nullptr) return kQOXErrBadParams;
    if (bnCopy(numbers[i], &record->secretNumbers[i]) < 0) return kQOXErrOutOfMemory;
  }
  return kQOXErrNoErr;
}

int qoxPkSecFramingOffset(const PkSecretRecord* record) {
  return qoxBnParse(record->body.bytes, record->body.length, record->publicCount, nullptr);
}

QOXError qoxPkSecLockingAlgorithm(const QOXSecKey* key, const QOXCipherVTBL** cipher, size_t* keySize) {
  const PkSecretRecord* record = qoxPkSec(key);
  int offset = qoxPkSecFramingOffset(record);
  if (offset < 0) return offset;
  const QOXCipherVTBL* vtbl = nullptr;
  QOXError err = qoxProtectionCipher(record->body.bytes + offset, record->body.length - offset, &vtbl);
  if (cipher != nullptr) *cipher = vtbl;
  if (keySize != nullptr) *keySize = vtbl != nullptr ? vtbl->keySize : 0;
  return err;
}

QOXError qoxPkSecS2KType(const QOXSecKey* key, int* kind) {
  if (kind == nullptr) return kQOXErrBadParams;
  const PkSecretRecord* record = qoxPkSec(key);
  int offset = qoxPkSecFramingOffset(record);
  if (offset < 0) return offset;
  return qoxProtectionS2KType(record->body.bytes + offset, record->body.length - offset, kind);
}

QOXError qoxPkSecConvertPassphrase(const QOXSecKey* key, QOXEnv*, const char* passphrase, size_t length,
                                   uint8_t* outKey) {
  if (outKey == nullptr) return kQOXErrBadParams;
  const PkSecretRecord* record = qoxPkSec(key);
  int offset = qoxPkSecFramingOffset(record);
  if (offset < 0) return offset;
  return qoxProtectionConvert(record->body.bytes + offset, record->body.length - offset, record->context,
                              passphrase, length, outKey);
}

QOXPubKey* qoxPkSecPubkey(const QOXSecKey* key, void (*finish)(QOXPubKey* key)) {
  const PkSecretRecord* record = qoxPkSec(key);
  QOXPubKey* pub = qoxPkPubNew(key->context, key->algorithm, record->publicCount);
  if (pub == nullptr) return nullptr;
  std::memcpy(pub->keyID, key->keyID, sizeof(pub->keyID));
  PkPublicRecord* pr = qoxPkPub(pub);
  for (unsigned i = 0; i < record->publicCount; ++i) {
    if (bnCopy(&pr->numbers[i], &record->publicNumbers[i]) < 0) {
      qoxPkPubDestroy(pub);
      return nullptr;
    }
  }
  finish(pub);
  return pub;
}

int qoxPkSecUnlockNewStyle(PkSecretRecord* record, const char* passphrase, size_t length, bool hashed,
                           bool (*check)(const PkSecretRecord* record, const BigNum* secret)) {
  if (passphrase == nullptr) length = 0;
  if (qoxFIPSModeEnabled() && length == 0) return 0;
  const uint8_t* body = record->body.bytes;
  const size_t total = record->body.length;
  size_t offset = 0;
  for (unsigned i = 0; i < record->publicCount; ++i) {
    int used = qoxBnGetPlain(&record->publicNumbers[i], body + offset, total - offset);
    if (used < 0) return used;
    if (used == 0) return kQOXErrKeyPacketTruncated;
    offset += static_cast<size_t>(used);
  }
  if (offset >= total) return kQOXErrKeyPacketTruncated;
  const bool protectedBody = body[offset] != 0;
  if (protectedBody != (length > 0)) return 0;
  QOXCFBContext* cfb = nullptr;
  int framing = qoxCipherSetup(body + offset, total - offset, passphrase, length, hashed, record->context, &cfb);
  if (framing < 0) return framing;
  QOXCFBScope guard(cfb);
  offset += static_cast<size_t>(framing);

  QOXMemoryMgr* mgr = qoxPkMemoryMgr(record->context);
  BigNumScope secrets[kPkMaxNumbers] = {{mgr, true}, {mgr, true}, {mgr, true}, {mgr, true}};
  unsigned sum = 0;
  for (unsigned i = 0; i < record->secretCount; ++i) {
    int used = qoxBnGet(secrets[i].get(), body + offset, total - offset, cfb, &sum, false);
    if (used < 0) return used;
    if (used == 0) return 0;
    offset += static_cast<size_t>(used);
    if (!check(record, secrets[i].get())) return 0;
  }
  if (total - offset != 2) return kQOXErrKeyPacketTrailingJunk;
  if (qoxChecksumGet(body + offset, cfb, false) != (sum & 0xFFFF)) return 0;
  for (unsigned i = 0; i < record->secretCount; ++i) {
    if (bnCopy(&record->secretNumbers[i], secrets[i].get()) < 0) return kQOXErrOutOfMemory;
  }
  record->locked = 0;
  return 1;
}

QOXError qoxPkSecChangeLockNewStyle(QOXSecKey* key, QOXEnv* env, QOXRandomContext* rc,
                                    const char* passphrase, size_t length, int s2kKind) {
  PkSecretRecord* record = qoxPkSec(key);
  if (record->locked) return kQOXErrKeyLocked;
  const BigNum* pub[kPkMaxNumbers];
  const BigNum* sec[kPkMaxNumbers];
  for (unsigned i = 0; i < record->publicCount; ++i) pub[i] = &record->publicNumbers[i];
  for (unsigned i = 0; i < record->secretCount; ++i) sec[i] = &record->secretNumbers[i];
  if (passphrase == nullptr || length == 0) {
    return qoxSecretBodyWrite(record->context, rc, nullptr, 0, nullptr, nullptr, pub, record->publicCount,
                              sec, record->secretCount, false, &record->body);
  }
  QOXStringToKey* s2k = qoxStringToKeyServices().qoxS2Kcreate(record->context, rc, s2kKind);
  const QOXCipherVTBL* cipher = qoxCipherDefaultKey(env);
  QOXError err = kQOXErrOutOfMemory;
  if (s2k != nullptr && cipher != nullptr && rc != nullptr) {
    err = qoxSecretBodyWrite(record->context, rc, passphrase, length, s2k, cipher, pub, record->publicCount,
                             sec, record->secretCount, false, &record->body);
  }
  qoxS2Kdestroy(s2k);
  return err;
}

size_t qoxPkPubUnimplementedSize(const QOXPubKey*, int) {
  return static_cast<size_t>(static_cast<intptr_t>(kQOXErrUnimplementedPKOperation));
}
size_t qoxPkPubUnimplementedSize1(const QOXPubKey*) {
  return static_cast<size_t>(static_cast<intptr_t>(kQOXErrUnimplementedPKOperation));
}
size_t qoxPkSecUnimplementedSize(const QOXSecKey*, int) {
  return static_cast<size_t>(static_cast<intptr_t>(kQOXErrUnimplementedPKOperation));
}
size_t qoxPkSecUnimplementedSize1(const QOXSecKey*) {
  return static_cast<size_t>(static_cast<intptr_t>(kQOXErrUnimplementedPKOperation));
}

unsigned qoxPkRandomIndex(void* rc, unsigned n) {
  return qoxRandomRange(static_cast<QOXRandomContext*>(rc), n, 0);
}
