// Public- and private-key operation contexts: raw public-key operations with
// one key or subkey of a key database, in one message format, for callers
// outside the key database (the TLS engine's key exchanges and certificate
// checks, certificate making, the PKCS #7 callbacks).
//
// A QOXPublicKeyContext encrypts blocks and verifies signatures; a
// QOXPrivateKeyContext decrypts blocks and makes signatures. The work is
// done by the key operations of keydb/key_ops.h; a context adds the handle
// check, the capability check, the passphrase and the copy into the
// caller's buffer. Formats are those of crypto/key_encoding.h (1 RFC 2440
// MPIs, 2 PKCS #1 bytes, 3 DER, 4 raw digest: an RSA signature of the bare
// digest bytes without a DigestInfo, as TLS signs its MD5 and SHA-1
// digests together).
//
// Every call checks its handle's magic and its required arguments first
// (kQOXErrBadParams), then passes the entry gate (its error returned);
// out-parameters are cleared first. An operation the key cannot do is
// kQOXErrFeatureNotAvailable; a verification that fails for any reason,
// a malformed signature included, is kQOXErrBadSignature; errors of
// encrypting, decrypting and signing come back unchanged, the caller's
// output untouched.
//
// Capabilities (can-verify, can-encrypt, can-sign, can-decrypt: properties
// 111, 108, 110 and 109 of keydb/obj_properties.h) are read once, when the
// context is made, from the key that owns the object (the object itself
// when it is a key).
//
// Ownership: a context is made in the memory of the object's toolkit
// context and belongs to its caller, who frees it with its Free call (which
// overwrites it with zeros). It refers to the key object without owning it:
// the key database must outlive the context. A private context keeps a copy
// of the passphrase (or passkey) in secure memory for its whole life, wiped
// when it is freed, and hands it to every operation, which unlocks the
// secret part afresh. A hash context given to a verify or sign call is
// consumed (freed) by every path past the capability check.
//
// Thread safety: a context is used by one thread at a time (the thread of
// its key database's toolkit context); nothing here takes a lock.
#ifndef OSTRAK_KEYDB_PK_CONTEXT_H_
#define OSTRAK_KEYDB_PK_CONTEXT_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/option_list.h"

struct QOXContext;
struct QOXHashContext;
struct QOXKeyDBObj;

inline constexpr uint32_t kQOXPublicKeyContextMagic = 0x58210770;
inline constexpr uint32_t kQOXPrivateKeyContextMagic = 0x58249779;

// Largest digest a verify or sign call takes from a hash context.
inline constexpr size_t kQOXMaxContextDigestSize = 100;

struct QOXPublicKeyContext {
  uint32_t magic;  // kQOXPublicKeyContextMagic while live
  QOXContext* context;
  int32_t format;  // QOXPublicKeyFormat, 1-4
  QOXKeyDBObj* keyObject;
  uint8_t isSubkey;
  uint8_t canVerify;
  uint8_t canEncrypt;
};

struct QOXPrivateKeyContext {
  uint32_t magic;  // kQOXPrivateKeyContextMagic while live
  QOXContext* context;
  QOXKeyDBObj* keyObject;
  int32_t format;
  uint8_t isSubkey;
  uint8_t canSign;
  uint8_t canDecrypt;
  char* passphrase;  // secure block; null when the passphrase was empty
  size_t passphraseLength;
  uint32_t hashed;   // the passphrase is a passkey (the cipher key itself)
};

// --- Public-key contexts ---

// The object must be a key or a subkey and the format 1-4; a key that can
// neither verify nor encrypt is refused (kQOXErrBadParams, nothing kept).
QOXError QOXNewPublicKeyContext(QOXKeyDBObj* keyObject, int32_t format, QOXPublicKeyContext** outContext);
QOXError QOXFreePublicKeyContext(QOXPublicKeyContext* context);
// Encrypts length (> 0) bytes into output, which must hold the maximum
// encrypted size (QOXGetPublicKeyOperationSizes).
QOXError QOXPublicKeyEncrypt(QOXPublicKeyContext* context, const void* data, size_t length, void* output,
                             size_t* outLength);
// Finishes the hash and checks the signature over its digest: 0 valid,
// kQOXErrBadSignature not. The hash context is freed on every path past
// the capability check.
QOXError QOXPublicKeyVerifySignature(QOXPublicKeyContext* context, QOXHashContext* hash, const void* signature,
                                     size_t signatureLength);
// Checks a signature over the given digest bytes (formats 2-4 only).
QOXError QOXPublicKeyVerifyRaw(QOXPublicKeyContext* context, const void* digest, size_t digestLength,
                               const void* signature, size_t signatureLength);
// Each out-parameter may be null; with all three null the call answers 0
// at once. A size the key cannot serve is 0.
QOXError QOXGetPublicKeyOperationSizes(QOXPublicKeyContext* context, size_t* outMaxDecrypted,
                                       size_t* outMaxEncrypted, size_t* outMaxSignature);

// --- Private-key contexts ---

// The option lists, ended by kQOXEndOfOptionList, are merged and consumed
// on every path; allowed: a passphrase (type 18), else a passkey (19), and
// passphrase caching (74: seconds and a global flag); any other option is
// kQOXErrBadParams. The key must be able to sign or decrypt
// (kQOXErrBadParams) and the passphrase must unlock its secret part, or a
// cached one, or the part be unprotected (kQOXErrBadPassphrase); the
// passphrase is cached as the option asks. No context is made on error.
QOXError QOXNewPrivateKeyContext(QOXKeyDBObj* keyObject, int32_t format, QOXPrivateKeyContext** outContext,
                                 QOXOptionListRef firstOption, ...);
QOXError QOXFreePrivateKeyContext(QOXPrivateKeyContext* context);
// Decrypts length (> 0) bytes into output, which must hold the maximum
// decrypted size.
QOXError QOXPrivateKeyDecrypt(QOXPrivateKeyContext* context, const void* data, size_t length, void* output,
                              size_t* outLength);
// Finishes the hash and signs its digest into output, which must hold the
// maximum signature size. The hash context is freed on every path past the
// capability check.
QOXError QOXPrivateKeySign(QOXPrivateKeyContext* context, QOXHashContext* hash, void* output, size_t* outLength);
// Signs the given digest bytes (formats 2-4 only).
QOXError QOXPrivateKeySignRaw(QOXPrivateKeyContext* context, const void* digest, size_t digestLength, void* output,
                              size_t* outLength);
QOXError QOXGetPrivateKeyOperationSizes(QOXPrivateKeyContext* context, size_t* outMaxDecrypted,
                                        size_t* outMaxEncrypted, size_t* outMaxSignature);

#endif  // OSTRAK_KEYDB_PK_CONTEXT_H_
