#include "keydb/pk_context.h"

#include <cstdarg>
#include <cstring>

#include "crypto/hash.h"
#include "crypto/key_encoding.h"
#include "foundation/context.h"
#include "foundation/memory_mgr.h"
#include "foundation/option_types.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_ops.h"
#include "keydb/obj_properties.h"

namespace {

using P = KeyDBObjProperty;

constexpr int32_t N(P property) { return static_cast<int32_t>(property); }

// The property 20 values of the two kinds a context takes.
constexpr int32_t kObjectTypeKey = 1;
constexpr int32_t kObjectTypeSubKey = 2;

// The digest of a raw operation is given as it is (no hash algorithm).
constexpr uint8_t kNoHashAlgorithm = 0;

bool FormatIsKnown(int32_t format) {
  return format >= kQOXPublicKeyFormat_MPI && format <= kQOXPublicKeyFormat_RawDigest;
}

bool FormatTakesRawDigest(int32_t format) {
  return format >= kQOXPublicKeyFormat_PKCS1 && format <= kQOXPublicKeyFormat_RawDigest;
}

bool IsLive(const QOXPublicKeyContext* c) { return c != nullptr && c->magic == kQOXPublicKeyContextMagic; }
bool IsLive(const QOXPrivateKeyContext* c) { return c != nullptr && c->magic == kQOXPrivateKeyContextMagic; }

bool HashIsLive(const QOXHashContext* hash) {
  return hash != nullptr && hash->magic == kQOXHashContextMagic && hash->state != nullptr && hash->vtbl != nullptr;
}

// What a context keeps of its object: its kind and the owning key's
// capabilities, for the two the context asks.
struct Capabilities {
  bool isSubkey = false;
  bool first = false;
  bool second = false;
};

QOXError ReadCapabilities(QOXKeyDBObj* object, P first, P second, Capabilities* out) {
  int32_t type = 0;
  if (QOXError err = qoxGetKeyDBObjNumber(object, N(P::ObjectType), &type); err != kQOXErrNoErr) return err;
  if (type != kObjectTypeKey && type != kObjectTypeSubKey) return kQOXErrBadParams;
  out->isSubkey = type == kObjectTypeSubKey;
  QOXKeyDBObj* owner = out->isSubkey ? qoxKeyMasterkey(object) : object;
  if (QOXError err = qoxGetKeyBoolean(owner, N(first), &out->first); err != kQOXErrNoErr) return err;
  return qoxGetKeyBoolean(owner, N(second), &out->second);
}

// A context record, overwritten with zeros before it goes back.
template <typename T>
void FreeRecord(T* record) {
  QOXContext* context = record->context;
  explicit_bzero(record, sizeof *record);
  qoxContextMemFree(context, record);
}

// A buffer the key operations returned: its bytes copied to the caller's
// output, then wiped and freed.
void CopyOut(QOXContext* context, uint8_t* buffer, size_t length, void* output, size_t* outLength) {
  if (length != 0) std::memcpy(output, buffer, length);
  *outLength = length;
  if (buffer != nullptr) {
    explicit_bzero(buffer, length);
    qoxContextMemFree(context, buffer);
  }
}

// Finishes a caller's hash context into digest and frees it. A digest over
// the largest size frees it too, and is kQOXErrBadParams.
QOXError TakeDigest(QOXHashContext* hash, uint8_t (&digest)[kQOXMaxContextDigestSize], size_t* outSize,
                    uint8_t* outAlgorithm) {
  const QOXHashVTBL* vtbl = hash->vtbl;
  QOXError err = kQOXErrBadParams;
  if (vtbl->digestSize <= kQOXMaxContextDigestSize) {
    std::memcpy(digest, qoxHashFinal(hash), vtbl->digestSize);
    *outSize = vtbl->digestSize;
    *outAlgorithm = static_cast<uint8_t>(vtbl->algorithm);
    err = kQOXErrNoErr;
  }
  QOXFreeHashContext(hash);
  return err;
}

// The three sizes of a key for a format; nothing is asked when no size is.
void ClearSizes(size_t* outMaxDecrypted, size_t* outMaxEncrypted, size_t* outMaxSignature) {
  if (outMaxDecrypted != nullptr) *outMaxDecrypted = 0;
  if (outMaxEncrypted != nullptr) *outMaxEncrypted = 0;
  if (outMaxSignature != nullptr) *outMaxSignature = 0;
}

QOXError Sizes(QOXKeyDBObj* key, int32_t format, size_t* outMaxDecrypted, size_t* outMaxEncrypted,
               size_t* outMaxSignature) {
  if (outMaxDecrypted == nullptr && outMaxEncrypted == nullptr && outMaxSignature == nullptr) return kQOXErrNoErr;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  return qoxKeyMaxSizes(key, outMaxEncrypted, outMaxDecrypted, outMaxSignature, format);
}

// The passphrase options of a private context.
struct Passphrase {
  const char* bytes = nullptr;
  size_t length = 0;
  bool hashed = false;
  uint32_t cacheTime = 0;
  bool cacheGlobally = false;
};

QOXError ReadPassphraseOptions(QOXOptionListRef list, Passphrase* out) {
  static constexpr QOXOptionType kAllowed[] = {kQOXOptionType_Passphrase, kQOXOptionType_Passkey,
                                               kQOXOptionType_CachePassphrase};
  if (QOXError err = qoxCheckOptionsInSet(list, kAllowed, sizeof kAllowed / sizeof kAllowed[0]); err != kQOXErrNoErr)
    return err;
  unsigned char found = 0;
  void* bytes = nullptr;
  size_t length = 0;
  if (QOXError err = qoxFindOptionArgs(list, kQOXOptionType_Passphrase, false, "%b%p%l", &found, &bytes, &length);
      err != kQOXErrNoErr)
    return err;
  if (!found) {
    if (QOXError err = qoxFindOptionArgs(list, kQOXOptionType_Passkey, false, "%b%p%l", &found, &bytes, &length);
        err != kQOXErrNoErr)
      return err;
    out->hashed = found != 0;
  }
  out->bytes = static_cast<const char*>(bytes);
  out->length = bytes != nullptr ? length : 0;
  uint32_t cacheTime = 0;
  unsigned char global = 0;
  if (QOXError err = qoxFindOptionArgs(list, kQOXOptionType_CachePassphrase, false, "%d%b", &cacheTime, &global);
      err != kQOXErrNoErr)
    return err;
  out->cacheTime = cacheTime;
  out->cacheGlobally = global != 0;
  return kQOXErrNoErr;
}

// Frees an option list when the scope closes.
struct OptionListScope {
  QOXOptionListRef list;
  ~OptionListScope() {
    if (qoxOptionListIsReal(list)) qoxFreeOptionList(list);
  }
};

// Makes the private context once the arguments are checked and the gate
// passed; the built option list is the caller's to free.
QOXError NewPrivate(QOXKeyDBObj* object, int32_t format, QOXOptionListRef list, QOXPrivateKeyContext** outContext) {
  Passphrase passphrase;
  if (QOXError err = ReadPassphraseOptions(list, &passphrase); err != kQOXErrNoErr) return err;
  QOXContext* context = QOXPeekKeyDBObjContext(object);
  auto* c = static_cast<QOXPrivateKeyContext*>(
      qoxContextMemAlloc(context, sizeof(QOXPrivateKeyContext), kQOXMemoryMgrFlags_Clear));
  if (c == nullptr) return kQOXErrOutOfMemory;
  c->magic = kQOXPrivateKeyContextMagic;
  c->context = context;
  c->keyObject = object;
  c->format = format;
  QOXError err = kQOXErrNoErr;
  Capabilities can;
  if ((err = ReadCapabilities(object, P::KeyCanSign, P::KeyCanDecrypt, &can)) == kQOXErrNoErr) {
    c->isSubkey = can.isSubkey ? 1 : 0;
    c->canSign = can.first ? 1 : 0;
    c->canDecrypt = can.second ? 1 : 0;
    if (!can.first && !can.second) err = kQOXErrBadParams;
  }
  if (err == kQOXErrNoErr && !qoxSecPassphraseOK(object, passphrase.bytes, passphrase.length, passphrase.hashed,
                                                 passphrase.cacheTime, passphrase.cacheGlobally))
    err = kQOXErrBadPassphrase;
  if (err == kQOXErrNoErr && passphrase.length != 0) {
    c->passphrase = static_cast<char*>(QOXNewSecureData(QOXPeekContextMemoryMgr(context), passphrase.length, 0));
    if (c->passphrase == nullptr) {
      err = kQOXErrOutOfMemory;
    } else {
      std::memcpy(c->passphrase, passphrase.bytes, passphrase.length);
      c->passphraseLength = passphrase.length;
      c->hashed = passphrase.hashed ? 1 : 0;
    }
  }
  if (err != kQOXErrNoErr) {
    FreeRecord(c);
    return err;
  }
  *outContext = c;
  return kQOXErrNoErr;
}

}  // namespace

// --- Public-key contexts ---

QOXError QOXNewPublicKeyContext(QOXKeyDBObj* keyObject, int32_t format, QOXPublicKeyContext** outContext) {
  if (outContext == nullptr) return kQOXErrBadParams;
  *outContext = nullptr;
  if (!FormatIsKnown(format) || !qoxKeyDBObjIsValid(keyObject)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  QOXContext* context = QOXPeekKeyDBObjContext(keyObject);
  if (context == nullptr) return kQOXErrBadParams;
  Capabilities can;
  if (QOXError err = ReadCapabilities(keyObject, P::KeyCanVerify, P::KeyCanEncrypt, &can); err != kQOXErrNoErr)
    return err;
  auto* c = static_cast<QOXPublicKeyContext*>(
      qoxContextMemAlloc(context, sizeof(QOXPublicKeyContext), kQOXMemoryMgrFlags_Clear));
  if (c == nullptr) return kQOXErrOutOfMemory;
  c->magic = kQOXPublicKeyContextMagic;
  c->context = context;
  c->format = format;
  c->keyObject = keyObject;
  c->isSubkey = can.isSubkey ? 1 : 0;
  c->canVerify = can.first ? 1 : 0;
  c->canEncrypt = can.second ? 1 : 0;
  if (!can.first && !can.second) {
    FreeRecord(c);
    return kQOXErrBadParams;
  }
  *outContext = c;
  return kQOXErrNoErr;
}

QOXError QOXFreePublicKeyContext(QOXPublicKeyContext* context) {
  if (!IsLive(context)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  FreeRecord(context);
  return kQOXErrNoErr;
}

QOXError QOXPublicKeyEncrypt(QOXPublicKeyContext* context, const void* data, size_t length, void* output,
                             size_t* outLength) {
  if (outLength != nullptr) *outLength = 0;
  if (!IsLive(context) || data == nullptr || length == 0 || output == nullptr || outLength == nullptr)
    return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  if (!context->canEncrypt) return kQOXErrFeatureNotAvailable;
  uint8_t* buffer = nullptr;
  size_t written = 0;
  if (QOXError err = qoxKeyEncrypt(context->keyObject, static_cast<const uint8_t*>(data), length, context->format,
                                   &buffer, &written);
      err != kQOXErrNoErr)
    return err;
  CopyOut(context->context, buffer, written, output, outLength);
  return kQOXErrNoErr;
}

QOXError QOXPublicKeyVerifySignature(QOXPublicKeyContext* context, QOXHashContext* hash, const void* signature,
                                     size_t signatureLength) {
  if (!IsLive(context) || !HashIsLive(hash) || signature == nullptr) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  if (!context->canVerify) return kQOXErrFeatureNotAvailable;
  uint8_t digest[kQOXMaxContextDigestSize];
  size_t digestSize = 0;
  uint8_t algorithm = 0;
  if (QOXError err = TakeDigest(hash, digest, &digestSize, &algorithm); err != kQOXErrNoErr) return err;
  const int valid = qoxKeyVerify(context->keyObject, static_cast<const uint8_t*>(signature), signatureLength,
                                 algorithm, digest, digestSize, context->format);
  explicit_bzero(digest, sizeof digest);
  return valid == 1 ? kQOXErrNoErr : kQOXErrBadSignature;
}

QOXError QOXPublicKeyVerifyRaw(QOXPublicKeyContext* context, const void* digest, size_t digestLength,
                               const void* signature, size_t signatureLength) {
  if (!IsLive(context) || !FormatTakesRawDigest(context->format) || digest == nullptr || signature == nullptr)
    return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  if (!context->canVerify) return kQOXErrFeatureNotAvailable;
  const int valid = qoxKeyVerify(context->keyObject, static_cast<const uint8_t*>(signature), signatureLength,
                                 kNoHashAlgorithm, static_cast<const uint8_t*>(digest), digestLength,
                                 context->format);
  return valid == 1 ? kQOXErrNoErr : kQOXErrBadSignature;
}

QOXError QOXGetPublicKeyOperationSizes(QOXPublicKeyContext* context, size_t* outMaxDecrypted,
                                       size_t* outMaxEncrypted, size_t* outMaxSignature) {
  ClearSizes(outMaxDecrypted, outMaxEncrypted, outMaxSignature);
  if (!IsLive(context)) return kQOXErrBadParams;
  return Sizes(context->keyObject, context->format, outMaxDecrypted, outMaxEncrypted, outMaxSignature);
}

// --- Private-key contexts ---

QOXError QOXNewPrivateKeyContext(QOXKeyDBObj* keyObject, int32_t format, QOXPrivateKeyContext** outContext,
                                 QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  QOXError err = kQOXErrNoErr;
  if (outContext != nullptr) *outContext = nullptr;
  if (outContext == nullptr || !FormatIsKnown(format) || !qoxKeyDBObjIsValid(keyObject)) err = kQOXErrBadParams;
  if (err == kQOXErrNoErr) err = qoxEnterFunction();
  QOXContext* context = err == kQOXErrNoErr ? QOXPeekKeyDBObjContext(keyObject) : nullptr;
  if (err == kQOXErrNoErr && context == nullptr) err = kQOXErrBadParams;
  if (err != kQOXErrNoErr) {
    qoxFreeVarArgOptionListVA(firstOption, rest);
    va_end(rest);
    return err;
  }
  OptionListScope options{qoxBuildOptionListVA(context, false, firstOption, rest)};
  va_end(rest);
  if (!qoxOptionListIsReal(options.list)) return qoxOptionListToError(options.list);
  if ((err = qoxGetOptionListError(options.list)) != kQOXErrNoErr) return err;
  return NewPrivate(keyObject, format, options.list, outContext);
}

QOXError QOXFreePrivateKeyContext(QOXPrivateKeyContext* context) {
  if (!IsLive(context)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  if (context->passphrase != nullptr) {
    explicit_bzero(context->passphrase, context->passphraseLength);
    QOXFreeData(context->passphrase);
  }
  FreeRecord(context);
  return kQOXErrNoErr;
}

QOXError QOXPrivateKeyDecrypt(QOXPrivateKeyContext* context, const void* data, size_t length, void* output,
                              size_t* outLength) {
  if (outLength != nullptr) *outLength = 0;
  if (!IsLive(context) || data == nullptr || length == 0 || output == nullptr || outLength == nullptr)
    return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  if (!context->canDecrypt) return kQOXErrFeatureNotAvailable;
  uint8_t* buffer = nullptr;
  size_t written = 0;
  if (QOXError err = qoxKeyDecrypt(context->keyObject, context->passphrase, context->passphraseLength,
                                   context->hashed != 0, 0, false, static_cast<const uint8_t*>(data), length,
                                   context->format, &buffer, &written);
      err != kQOXErrNoErr)
    return err;
  CopyOut(context->context, buffer, written, output, outLength);
  return kQOXErrNoErr;
}

namespace {

QOXError Sign(QOXPrivateKeyContext* context, uint8_t algorithm, const uint8_t* digest, size_t digestLength,
              void* output, size_t* outLength) {
  uint8_t* buffer = nullptr;
  size_t written = 0;
  if (QOXError err = qoxKeySign(context->keyObject, context->passphrase, context->passphraseLength,
                                context->hashed != 0, 0, false, algorithm, digest, digestLength, context->format,
                                &buffer, &written);
      err != kQOXErrNoErr)
    return err;
  CopyOut(context->context, buffer, written, output, outLength);
  return kQOXErrNoErr;
}

}  // namespace

QOXError QOXPrivateKeySign(QOXPrivateKeyContext* context, QOXHashContext* hash, void* output, size_t* outLength) {
  if (outLength != nullptr) *outLength = 0;
  if (!IsLive(context) || !HashIsLive(hash) || output == nullptr || outLength == nullptr) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  if (!context->canSign) return kQOXErrFeatureNotAvailable;
  uint8_t digest[kQOXMaxContextDigestSize];
  size_t digestSize = 0;
  uint8_t algorithm = 0;
  if (QOXError err = TakeDigest(hash, digest, &digestSize, &algorithm); err != kQOXErrNoErr) return err;
  const QOXError err = Sign(context, algorithm, digest, digestSize, output, outLength);
  explicit_bzero(digest, sizeof digest);
  return err;
}

QOXError QOXPrivateKeySignRaw(QOXPrivateKeyContext* context, const void* digest, size_t digestLength, void* output,
                              size_t* outLength) {
  if (outLength != nullptr) *outLength = 0;
  if (!IsLive(context) || !FormatTakesRawDigest(context->format) || digest == nullptr || output == nullptr ||
      outLength == nullptr)
    return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  if (!context->canSign) return kQOXErrFeatureNotAvailable;
  return Sign(context, kNoHashAlgorithm, static_cast<const uint8_t*>(digest), digestLength, output, outLength);
}

QOXError QOXGetPrivateKeyOperationSizes(QOXPrivateKeyContext* context, size_t* outMaxDecrypted,
                                        size_t* outMaxEncrypted, size_t* outMaxSignature) {
  ClearSizes(outMaxDecrypted, outMaxEncrypted, outMaxSignature);
  if (!IsLive(context)) return kQOXErrBadParams;
  return Sizes(context->keyObject, context->format, outMaxDecrypted, outMaxEncrypted, outMaxSignature);
}
