// Key operations on key objects: the public- and secret-key objects of the
// engine (crypto/pkalg.h) made from a key's packet for one use, and
// encrypting, decrypting, verifying and signing with them.
//
// Uses are bit sets: 1 signing and verifying, 2 encryption and decryption.
// For a use a top-level key may give way to its newest valid subkey (use 2)
// and a subkey to its top-level key (use 1), see qoxKeyPubKey.
//
// Ownership: an operation object is made for one call and destroyed in it.
// Output buffers (encrypted, decrypted, signature) are blocks of the key
// database's context memory that the caller frees with QOXFreeData; a
// failed call frees and clears them. Secret material stays inside the
// engine's objects, which wipe it.
//
// Thread safety: none (the database's context's thread); the passphrase
// cache takes its own lock.
#ifndef OSTRAK_KEYDB_KEY_OPS_H_
#define OSTRAK_KEYDB_KEY_OPS_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

struct QOXKeyDBObj;
struct QOXPubKey;
struct QOXSecKey;

inline constexpr uint32_t kQOXKeyUse_Sign = 1;
inline constexpr uint32_t kQOXKeyUse_Encrypt = 2;
inline constexpr uint32_t kQOXKeyUse_Both = 3;

// The public-key object for a use (0: the object itself, no check): a
// top-level key with a valid subkey gives way to it for use 2 (use 3 is
// then refused); a subkey that cannot sign gives way to its top-level key
// for use 1. Null, with the error recorded in the key database
// (kQOXErrUnimplementedPKOperation when the chosen key's algorithm lacks the
// use), on failure. The object's key ID is the chosen key's.
QOXPubKey* qoxKeyPubKey(QOXKeyDBObj* key, uint32_t use);
// The same for the secret part, kept on the object whenever its own
// algorithm has every bit of the use; null also when the chosen key has no
// secret part.
QOXSecKey* qoxSecSecKey(QOXKeyDBObj* key, uint32_t use);
// The key's uses: its algorithm's (a subkey only 2); once it has a real,
// valid subkey the key keeps only 1 and every valid subkey adds its
// algorithm's uses.
uint32_t qoxKeyUseInternal(QOXKeyDBObj* key, bool checkTime, bool allowRevoked);

// Each public form forwards for a front-end key and runs its twin
// otherwise.
QOXError qoxKeyEncrypt(QOXKeyDBObj* key, const uint8_t* data, size_t length, int format, uint8_t** outBuffer,
                       size_t* outLength);
QOXError qoxKeyEncrypt_internal(QOXKeyDBObj* key, const uint8_t* data, size_t length, int format,
                                uint8_t** outBuffer, size_t* outLength);
QOXError qoxKeyDecrypt(QOXKeyDBObj* key, const char* passphrase, size_t passphraseLength, bool hashed,
                       uint32_t cacheTimeOut, bool cacheGlobally, const uint8_t* data, size_t length, int format,
                       uint8_t** outBuffer, size_t* outLength);
QOXError qoxKeyDecrypt_internal(QOXKeyDBObj* key, const char* passphrase, size_t passphraseLength, bool hashed,
                                uint32_t cacheTimeOut, bool cacheGlobally, const uint8_t* data, size_t length,
                                int format, uint8_t** outBuffer, size_t* outLength);
// 1 valid, 0 not valid, negative error. Hash algorithm 0 (or one the
// registry lacks) verifies a digest of hashLength bytes.
int qoxKeyVerify(QOXKeyDBObj* key, const uint8_t* signature, size_t signatureLength, uint8_t hashAlgorithm,
                 const uint8_t* hash, size_t hashLength, int format);
int qoxKeyVerify_internal(QOXKeyDBObj* key, const uint8_t* signature, size_t signatureLength, uint8_t hashAlgorithm,
                          const uint8_t* hash, size_t hashLength, int format);
QOXError qoxKeySign(QOXKeyDBObj* key, const char* passphrase, size_t passphraseLength, bool hashed,
                    uint32_t cacheTimeOut, bool cacheGlobally, uint8_t hashAlgorithm, const uint8_t* hash,
                    size_t hashLength, int format, uint8_t** outSignature, size_t* outLength);
QOXError qoxKeySign_internal(QOXKeyDBObj* key, const char* passphrase, size_t passphraseLength, bool hashed,
                             uint32_t cacheTimeOut, bool cacheGlobally, uint8_t hashAlgorithm, const uint8_t* hash,
                             size_t hashLength, int format, uint8_t** outSignature, size_t* outLength);
// The secret part unlocks with the passphrase or the cache.
bool qoxSecPassphraseOK(QOXKeyDBObj* key, const char* passphrase, size_t length, bool hashed, uint32_t cacheTimeOut,
                        bool cacheGlobally);
bool qoxSecPassphraseOK_internal(QOXKeyDBObj* key, const char* passphrase, size_t length, bool hashed,
                                 uint32_t cacheTimeOut, bool cacheGlobally);
// Whether the secret part is locked; when locked the cipher protecting it,
// its key bits and whether its string-to-key kind is 5 (shared); when not,
// the first registered cipher of the key's preferred algorithms, else the
// default cipher. kQOXErrInvalidPropertyName without a secret part.
QOXError qoxSecProperties(QOXKeyDBObj* key, bool* outLocked, bool* outKind5, int32_t* outCipherAlgorithm,
                          int32_t* outKeyBits);
QOXError qoxSecProperties_internal(QOXKeyDBObj* key, bool* outLocked, bool* outKind5, int32_t* outCipherAlgorithm,
                                   int32_t* outKeyBits);
// Maximum sizes for the format; a size not asked for may be null, a use the
// key cannot serve leaves its sizes 0.
QOXError qoxKeyMaxSizes(QOXKeyDBObj* key, size_t* outMaxEncrypted, size_t* outMaxDecrypted, size_t* outMaxSignature,
                        int format);
QOXError qoxKeyMaxSizes_internal(QOXKeyDBObj* key, size_t* outMaxEncrypted, size_t* outMaxDecrypted,
                                 size_t* outMaxSignature, int format);

#endif  // OSTRAK_KEYDB_KEY_OPS_H_
