// The records behind key objects, shared by RSA, ElGamal and DSA.
//
// A public record holds the algorithm's public numbers. A secret record,
// one block of secure memory wiped on release, holds the public numbers,
// the secret numbers (secure, meaningful only while unlocked), the stored
// secret body (as read, or as last written by changeLock) and the locked
// and old-protection flags. The slots that behave alike for every algorithm
// (lock state, protection queries, body output, numbers out) live here.
//
// Thread safety: a record belongs to its key object, used by one thread at
// a time.
#ifndef OSTRAK_CRYPTO_PK_RECORDS_H_
#define OSTRAK_CRYPTO_PK_RECORDS_H_

#include <cstddef>
#include <cstdint>

#include "crypto/bn.h"
#include "crypto/key_encoding.h"
#include "crypto/pkalg.h"

inline constexpr unsigned kPkMaxNumbers = 4;

struct PkPublicRecord {
  unsigned count;
  BigNum numbers[kPkMaxNumbers];
};

struct PkSecretRecord {
  QOXContext* context;
  unsigned publicCount;
  unsigned secretCount;
  BigNum publicNumbers[kPkMaxNumbers];
  BigNum secretNumbers[kPkMaxNumbers];  // secure
  QOXSecretBody body;
  uint8_t locked;
  uint8_t oldProtection;
};

QOXMemoryMgr* qoxPkMemoryMgr(QOXContext* context);

// A public key object over a new record of `count` numbers (all 0), its
// common slots set; the caller fills the numbers and the algorithm slots.
// Null when memory runs out.
QOXPubKey* qoxPkPubNew(QOXContext* context, uint8_t algorithm, unsigned count);
PkPublicRecord* qoxPkPub(const QOXPubKey* key);
// The public slots every algorithm shares.
void qoxPkPubDestroy(QOXPubKey* key);
size_t qoxPkPubBufferLength(const QOXPubKey* key);
void qoxPkPubToBuffer(const QOXPubKey* key, uint8_t* out);
QOXError qoxPkPubParams(const QOXPubKey* key, QOXBigNum** numbers);
// Reads `count` MPIs from a public body into the record (the walker's
// errors; kQOXErrOutOfMemory for memory).
QOXError qoxPkPubRead(PkPublicRecord* record, const uint8_t* buffer, size_t length);

// Reads `count` MPIs into numbers (the walker's errors; kQOXErrOutOfMemory for memory).
QOXError qoxPkReadNumbers(BigNum* numbers, unsigned count, const uint8_t* buffer, size_t length);

// A secret key object from a key body: a copy of the body, the public
// numbers read (also for a key that stays locked), then unlock without a
// passphrase, so an unprotected key comes back unlocked. An unlock error or
// an unreadable public part gives null with *error = malformedError.
QOXSecKey* qoxPkSecFromBuf(QOXContext* context, uint8_t algorithm, unsigned publicCount, unsigned secretCount,
                           const uint8_t* buffer, size_t length, bool oldProtection,
                           void (*finish)(QOXSecKey* key), QOXError malformedError, QOXError* error);

// A secret key object over a new locked record holding a copy of the body.
QOXSecKey* qoxPkSecNew(QOXContext* context, uint8_t algorithm, unsigned publicCount,
                       unsigned secretCount, const uint8_t* body, size_t length, bool oldProtection,
                       QOXError* error);
PkSecretRecord* qoxPkSec(const QOXSecKey* key);
void qoxPkSecDestroy(QOXSecKey* key);
int qoxPkSecIsLocked(const QOXSecKey* key);
void qoxPkSecLock(QOXSecKey* key);
size_t qoxPkSecBufferLength(const QOXSecKey* key);
void qoxPkSecToBuffer(const QOXSecKey* key, uint8_t* out);
QOXError qoxPkSecParams(const QOXSecKey* key, QOXBigNum** numbers);
QOXError qoxPkSecLockingAlgorithm(const QOXSecKey* key, const QOXCipherVTBL** cipher, size_t* keySize);
QOXError qoxPkSecS2KType(const QOXSecKey* key, int* kind);
QOXError qoxPkSecConvertPassphrase(const QOXSecKey* key, QOXEnv* env, const char* passphrase,
                                   size_t length, uint8_t* outKey);
// Offset of the protection byte: the length of the public MPIs, or a
// negative error.
int qoxPkSecFramingOffset(const PkSecretRecord* record);
// A public key object with the secret key's algorithm, key ID and public
// numbers; `finish` sets the algorithm's slots.
QOXPubKey* qoxPkSecPubkey(const QOXSecKey* key, void (*finish)(QOXPubKey* key));

// Unlock steps shared by ElGamal and DSA (new style): reads the public
// numbers, checks that passphrase and protection agree, decrypts the secret
// numbers, then calls `check` (1 good, 0 reject) and verifies the checksum.
// Returns 1, 0 or an error; on 1 the record is unlocked.
int qoxPkSecUnlockNewStyle(PkSecretRecord* record, const char* passphrase, size_t length,
                           bool hashed, bool (*check)(const PkSecretRecord* record, const BigNum* secret));

// Re-protection in the new style with a string-to-key of the given kind and
// the environment's default cipher (DSA, ElGamal). kQOXErrKeyLocked when locked.
QOXError qoxPkSecChangeLockNewStyle(QOXSecKey* key, QOXEnv* env, QOXRandomContext* rc,
                                    const char* passphrase, size_t length, int s2kKind);

// Slots that answer kQOXErrUnimplementedPKOperation.
size_t qoxPkPubUnimplementedSize(const QOXPubKey*, int);
size_t qoxPkPubUnimplementedSize1(const QOXPubKey*);
size_t qoxPkSecUnimplementedSize(const QOXSecKey*, int);
size_t qoxPkSecUnimplementedSize1(const QOXSecKey*);

// Progress report; a negative callback return cancels generation.
inline int qoxPkProgress(QOXKeyGenProgress progress, void* arg, int c) {
  return progress != nullptr ? progress(arg, c) : 0;
}

// Adapter from the random context to the prime search's random index.
unsigned qoxPkRandomIndex(void* rc, unsigned n);

#endif  // OSTRAK_CRYPTO_PK_RECORDS_H_
