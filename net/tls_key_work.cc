// The handshake's key work (QOXtlsKeyServices) over the key database and
// the toolkit's import and export: Certificate messages through QOXExport
// and QOXImport, signatures, verification and the premaster secret's
// encryption through public- and private-key contexts.
//
// The TLS engine names two signature forms: 2 (an RSA PKCS #1 block-type-1
// signature over the raw hash bytes without a DigestInfo; a DSA r and s at
// the width of q) and 3 (a DSA DER SEQUENCE). The contexts' formats for
// them: RSA signatures 4 (raw digest, no DigestInfo), RSA encryption 2
// (PKCS #1 block type 2), DSA signatures 2 or 3 as given.
#include "net/tls_key_work.h"

#include <cstring>

#include "crypto/key_encoding.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_accessors.h"
#include "keydb/key_db.h"
#include "keydb/key_iter.h"
#include "keydb/key_list.h"
#include "keydb/key_set.h"
#include "keydb/key_set_ops.h"
#include "keydb/obj_properties.h"
#include "keydb/pk_context.h"
#include "net/tls_internal.h"

namespace {

constexpr int32_t kAlgorithmDSA = 17;
constexpr int32_t kObjectKey = 1;

int32_t AlgorithmOf(QOXKeyDBObj* key) {
  int32_t algorithm = 0;
  if (QOXGetKeyDBObjNumericProperty(key, static_cast<int32_t>(KeyDBObjProperty::KeyAlgorithm), &algorithm) !=
      kQOXErrNoErr)
    return 0;
  return algorithm;
}

// The context format of a signature in TLS form `format` by `key`.
int32_t SignatureFormat(QOXKeyDBObj* key, uint32_t format) {
  if (AlgorithmOf(key) == kAlgorithmDSA)
    return format == kQOXtlsSigFormat_DER ? kQOXPublicKeyFormat_X509 : kQOXPublicKeyFormat_PKCS1;
  return kQOXPublicKeyFormat_RawDigest;
}

// A private-key context on the session's local key with its stored
// passphrase or passkey.
QOXError NewPrivate(QOXtlsSession* s, int32_t format, QOXPrivateKeyContext** out) {
  *out = nullptr;
  if (s == nullptr || s->localKey == nullptr) return kQOXErrBadParams;
  QOXContext* context = s->context;
  if (s->usePasskey && s->passkey != nullptr)
    return QOXNewPrivateKeyContext(s->localKey, format, out, QOXOPasskeyBuffer(context, s->passkey, s->passkeyLength),
                                   kQOXEndOfOptionList);
  if (s->passphrase != nullptr)
    return QOXNewPrivateKeyContext(s->localKey, format, out, QOXOPassphrase(context, s->passphrase),
                                   kQOXEndOfOptionList);
  return QOXNewPrivateKeyContext(s->localKey, format, out, kQOXEndOfOptionList);
}

struct PrivateScope {
  QOXPrivateKeyContext* c = nullptr;
  ~PrivateScope() {
    if (c != nullptr) QOXFreePrivateKeyContext(c);
  }
};

struct PublicScope {
  QOXPublicKeyContext* c = nullptr;
  ~PublicScope() {
    if (c != nullptr) QOXFreePublicKeyContext(c);
  }
};

QOXError ToUint32(size_t value, uint32_t* out) {
  if (value > UINT32_MAX) return kQOXErrBufferTooSmall;
  *out = static_cast<uint32_t>(value);
  return kQOXErrNoErr;
}

}  // namespace

QOXError qoxTLSExportKey(QOXContext* context, QOXKeyDBObj* key, uint32_t format, uint8_t** outBytes,
                         uint32_t* outLength) {
  if (outBytes != nullptr) *outBytes = nullptr;
  if (outLength != nullptr) *outLength = 0;
  if (context == nullptr || key == nullptr || outBytes == nullptr || outLength == nullptr) return kQOXErrBadParams;
  void* buffer = nullptr;
  size_t length = 0;
  QOXError err = QOXExport(context, QOXOExportKeyDBObj(context, key), QOXOArmorOutput(context, false),
                           format == kQOXtlsExportFormat_X509 ? QOXOExportFormat(context, static_cast<int32_t>(format))
                                                              : kQOXNullOptionList,
                           QOXOAllocatedOutputBuffer(context, &buffer, SIZE_MAX, &length), kQOXEndOfOptionList);
  if (err == kQOXErrNoErr && length > UINT32_MAX) err = kQOXErrBufferTooSmall;
  if (err != kQOXErrNoErr) {
    if (buffer != nullptr) QOXFreeData(buffer);
    return err;
  }
  *outBytes = static_cast<uint8_t*>(buffer);
  *outLength = static_cast<uint32_t>(length);
  return kQOXErrNoErr;
}

QOXError qoxTLSImportKeys(QOXContext* context, const uint8_t* bytes, uint32_t length, uint32_t format,
                          QOXKeyDB** ioKeyDB) {
  if (context == nullptr || bytes == nullptr || ioKeyDB == nullptr) return kQOXErrBadParams;
  QOXKeyDB* scratch = nullptr;
  QOXError err = format == kQOXtlsExportFormat_X509
                     ? QOXImport(context, &scratch, QOXOInputBuffer(context, bytes, length),
                                 QOXOX509Encoding(context, true), kQOXEndOfOptionList)
                     : QOXImport(context, &scratch, QOXOInputBuffer(context, bytes, length), kQOXEndOfOptionList);
  if (err != kQOXErrNoErr) return err;
  if (*ioKeyDB == nullptr) {
    *ioKeyDB = scratch;
    return kQOXErrNoErr;
  }
  // The keys join the database already there.
  QOXKeySet* set = nullptr;
  if ((err = QOXNewKeySet(scratch, &set)) == kQOXErrNoErr) {
    err = QOXCopyKeys(set, *ioKeyDB, nullptr);
    QOXFreeKeySet(set);
  }
  QOXFreeKeyDB(scratch);
  return err;
}

QOXError qoxTLSFirstKey(QOXKeyDB* keyDB, QOXKeyDBObj** outKey, uint32_t* outKeyCount) {
  if (outKey != nullptr) *outKey = nullptr;
  if (outKeyCount != nullptr) *outKeyCount = 0;
  if (keyDB == nullptr || outKey == nullptr || outKeyCount == nullptr) return kQOXErrBadParams;
  QOXKeySet* set = nullptr;
  QOXError err = QOXNewKeySet(keyDB, &set);
  if (err != kQOXErrNoErr) return err;
  QOXKeyList* list = nullptr;
  QOXKeyIter* iter = nullptr;
  uint32_t count = 0;
  QOXKeyDBObj* key = nullptr;
  if ((err = QOXCountKeys(set, &count)) == kQOXErrNoErr &&
      (err = QOXOrderKeySet(set, kQOXKeyOrdering_Any, false, &list)) == kQOXErrNoErr &&
      (err = QOXNewKeyIter(list, &iter)) == kQOXErrNoErr) {
    // An empty database has no first key; that is no error here.
    if (count != 0) err = QOXKeyIterNextKeyDBObj(iter, kObjectKey, &key);
  }
  if (iter != nullptr) QOXFreeKeyIter(iter);
  if (list != nullptr) QOXFreeKeyList(list);
  QOXFreeKeySet(set);
  if (err != kQOXErrNoErr) return err;
  *outKey = key;
  *outKeyCount = count;
  return kQOXErrNoErr;
}

QOXError qoxTLSLookupIssuer(QOXKeySet* chain, QOXKeyDBObj* certificate, QOXKeyDBObj** outIssuer) {
  if (outIssuer != nullptr) *outIssuer = nullptr;
  if (chain == nullptr || certificate == nullptr || outIssuer == nullptr) return kQOXErrBadParams;
  QOXKeyDB* db = QOXPeekKeySetKeyDB(chain);
  if (db == nullptr) return kQOXErrBadParams;
  QOXError err = QOXGetSigX509CertifierSig(certificate, db, outIssuer);
  // An issuer outside the chain ends it.
  if (err == kQOXErrItemNotFound) return kQOXErrNoErr;
  return err;
}

QOXError qoxTLSKeyInfo(QOXKeyDBObj* key, int32_t* outAlgorithm, bool* outCanVerify) {
  if (outAlgorithm != nullptr) *outAlgorithm = 0;
  if (outCanVerify != nullptr) *outCanVerify = false;
  if (key == nullptr || outAlgorithm == nullptr || outCanVerify == nullptr) return kQOXErrBadParams;
  QOXError err =
      QOXGetKeyDBObjNumericProperty(key, static_cast<int32_t>(KeyDBObjProperty::KeyAlgorithm), outAlgorithm);
  if (err != kQOXErrNoErr) return err;
  return QOXGetKeyDBObjBooleanProperty(key, static_cast<int32_t>(KeyDBObjProperty::KeyCanVerify), outCanVerify);
}

QOXError qoxTLSPrivateKeySizes(QOXtlsSession* session, uint32_t format, uint32_t* outMaxSignature,
                               uint32_t* outEncrypted, uint32_t* outMaxDecrypted) {
  for (uint32_t* p : {outMaxSignature, outEncrypted, outMaxDecrypted})
    if (p != nullptr) *p = 0;
  if (session == nullptr || session->localKey == nullptr) return kQOXErrBadParams;
  // Sizes of signatures in the signature form; those of the premaster
  // secret's encryption in PKCS #1 block type 2.
  const int32_t contextFormat =
      outMaxSignature != nullptr ? SignatureFormat(session->localKey, format) : kQOXPublicKeyFormat_PKCS1;
  PrivateScope p;
  QOXError err = NewPrivate(session, contextFormat, &p.c);
  if (err != kQOXErrNoErr) return err;
  size_t decrypted = 0, encrypted = 0, signature = 0;
  if ((err = QOXGetPrivateKeyOperationSizes(p.c, &decrypted, &encrypted, &signature)) != kQOXErrNoErr) return err;
  uint32_t a = 0, b = 0, c = 0;
  if ((err = ToUint32(signature, &a)) != kQOXErrNoErr || (err = ToUint32(encrypted, &b)) != kQOXErrNoErr ||
      (err = ToUint32(decrypted, &c)) != kQOXErrNoErr)
    return err;
  if (outMaxSignature != nullptr) *outMaxSignature = a;
  if (outEncrypted != nullptr) *outEncrypted = b;
  if (outMaxDecrypted != nullptr) *outMaxDecrypted = c;
  return kQOXErrNoErr;
}

QOXError qoxTLSPrivateKeySign(QOXtlsSession* session, uint32_t format, const uint8_t* value, uint32_t length,
                              uint8_t* out, uint32_t* ioLength) {
  const uint32_t room = ioLength != nullptr ? *ioLength : 0;
  if (ioLength != nullptr) *ioLength = 0;
  if (session == nullptr || session->localKey == nullptr || value == nullptr || out == nullptr || ioLength == nullptr)
    return kQOXErrBadParams;
  PrivateScope p;
  QOXError err = NewPrivate(session, SignatureFormat(session->localKey, format), &p.c);
  if (err != kQOXErrNoErr) return err;
  size_t maxSignature = 0;
  if ((err = QOXGetPrivateKeyOperationSizes(p.c, nullptr, nullptr, &maxSignature)) != kQOXErrNoErr) return err;
  if (maxSignature > room) return kQOXErrBufferTooSmall;
  size_t written = 0;
  if ((err = QOXPrivateKeySignRaw(p.c, value, length, out, &written)) != kQOXErrNoErr) return err;
  return ToUint32(written, ioLength);
}

QOXError qoxTLSPrivateKeyDecrypt(QOXtlsSession* session, const uint8_t* in, uint32_t length, uint8_t* out,
                                 uint32_t* ioLength) {
  const uint32_t room = ioLength != nullptr ? *ioLength : 0;
  if (ioLength != nullptr) *ioLength = 0;
  if (session == nullptr || session->localKey == nullptr || in == nullptr || out == nullptr || ioLength == nullptr)
    return kQOXErrBadParams;
  PrivateScope p;
  QOXError err = NewPrivate(session, kQOXPublicKeyFormat_PKCS1, &p.c);
  if (err != kQOXErrNoErr) return err;
  size_t maxDecrypted = 0;
  if ((err = QOXGetPrivateKeyOperationSizes(p.c, &maxDecrypted, nullptr, nullptr)) != kQOXErrNoErr) return err;
  if (maxDecrypted > room) return kQOXErrBufferTooSmall;
  size_t written = 0;
  if ((err = QOXPrivateKeyDecrypt(p.c, in, length, out, &written)) != kQOXErrNoErr) return err;
  return ToUint32(written, ioLength);
}

QOXError qoxTLSPublicKeySizes(QOXContext* context, QOXKeyDBObj* key, uint32_t format, uint32_t* outMaxSignature,
                              uint32_t* outEncrypted) {
  for (uint32_t* p : {outMaxSignature, outEncrypted})
    if (p != nullptr) *p = 0;
  if (context == nullptr || key == nullptr) return kQOXErrBadParams;
  const int32_t contextFormat = outMaxSignature != nullptr ? SignatureFormat(key, format) : kQOXPublicKeyFormat_PKCS1;
  PublicScope p;
  QOXError err = QOXNewPublicKeyContext(key, contextFormat, &p.c);
  if (err != kQOXErrNoErr) return err;
  size_t encrypted = 0, signature = 0;
  if ((err = QOXGetPublicKeyOperationSizes(p.c, nullptr, &encrypted, &signature)) != kQOXErrNoErr) return err;
  uint32_t a = 0, b = 0;
  if ((err = ToUint32(signature, &a)) != kQOXErrNoErr || (err = ToUint32(encrypted, &b)) != kQOXErrNoErr) return err;
  if (outMaxSignature != nullptr) *outMaxSignature = a;
  if (outEncrypted != nullptr) *outEncrypted = b;
  return kQOXErrNoErr;
}

QOXError qoxTLSPublicKeyVerify(QOXContext* context, QOXKeyDBObj* key, uint32_t format, const uint8_t* value,
                               uint32_t length, const uint8_t* signature, uint32_t signatureLength) {
  if (context == nullptr || key == nullptr || value == nullptr || signature == nullptr) return kQOXErrBadParams;
  PublicScope p;
  QOXError err = QOXNewPublicKeyContext(key, SignatureFormat(key, format), &p.c);
  if (err != kQOXErrNoErr) return err;
  return QOXPublicKeyVerifyRaw(p.c, value, length, signature, signatureLength);
}

QOXError qoxTLSPublicKeyEncrypt(QOXContext* context, QOXKeyDBObj* key, const uint8_t* in, uint32_t length,
                                uint8_t* out, uint32_t* ioLength) {
  const uint32_t room = ioLength != nullptr ? *ioLength : 0;
  if (ioLength != nullptr) *ioLength = 0;
  if (context == nullptr || key == nullptr || in == nullptr || out == nullptr || ioLength == nullptr)
    return kQOXErrBadParams;
  PublicScope p;
  QOXError err = QOXNewPublicKeyContext(key, kQOXPublicKeyFormat_PKCS1, &p.c);
  if (err != kQOXErrNoErr) return err;
  size_t maxEncrypted = 0;
  if ((err = QOXGetPublicKeyOperationSizes(p.c, nullptr, &maxEncrypted, nullptr)) != kQOXErrNoErr) return err;
  if (maxEncrypted > room) return kQOXErrBufferTooSmall;
  size_t written = 0;
  if ((err = QOXPublicKeyEncrypt(p.c, in, length, out, &written)) != kQOXErrNoErr) return err;
  return ToUint32(written, ioLength);
}

namespace {

constexpr QOXtlsKeyServices kKeyWork = {
    .exportKey = qoxTLSExportKey,
    .importKeys = qoxTLSImportKeys,
    .firstKey = qoxTLSFirstKey,
    .lookupIssuer = qoxTLSLookupIssuer,
    .keyInfo = qoxTLSKeyInfo,
    .privateKeySizes = qoxTLSPrivateKeySizes,
    .privateKeySign = qoxTLSPrivateKeySign,
    .privateKeyDecrypt = qoxTLSPrivateKeyDecrypt,
    .publicKeySizes = qoxTLSPublicKeySizes,
    .publicKeyVerify = qoxTLSPublicKeyVerify,
    .publicKeyEncrypt = qoxTLSPublicKeyEncrypt,
};

}  // namespace

void qoxTLSRegisterKeyWork() { qoxRegisterTLSKeyServices(&kKeyWork); }
