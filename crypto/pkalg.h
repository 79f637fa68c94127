// Public-key algorithms: the table of known algorithms with their uses, the
// two key objects through which the toolkit encrypts, decrypts, signs and
// verifies, the makers that build them from RFC 2440 key bodies, key
// generation, and the key-generation spec.
//
// Algorithm numbers are those of RFC 2440: 1 RSA, 2 RSA encrypt-only, 3 RSA
// sign-only, 16 ElGamal (encryption), 17 DSA (signatures). 1-3 share one
// implementation (crypto/rsa.h); the object keeps the number it was made
// with, and the use restriction lives in the table, not in the object.
//
// A key object is a record of data and operation slots. The caller that made
// an object destroys it through its destroy slot; secret records live in
// secure memory and are wiped. Operations an algorithm lacks answer kQOXErrUnimplementedPKOperation
// (the size slots return that code as their unsigned size).
//
// Thread safety: the table is constant. A key object is used by one thread
// at a time; different objects may be used at once, and key generation keeps
// no process-wide state, so several generations may run together.
#ifndef OSTRAK_CRYPTO_PKALG_H_
#define OSTRAK_CRYPTO_PKALG_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

struct QOXContext;
struct QOXEnv;
struct QOXHashVTBL;
struct QOXCipherVTBL;
struct QOXBigNum;
struct QOXRandomContext;

using QOXPublicKeyAlgorithm = uint32_t;
inline constexpr QOXPublicKeyAlgorithm kQOXPublicKeyAlgorithm_RSA = 1;
inline constexpr QOXPublicKeyAlgorithm kQOXPublicKeyAlgorithm_RSAEncryptOnly = 2;
inline constexpr QOXPublicKeyAlgorithm kQOXPublicKeyAlgorithm_RSASignOnly = 3;
inline constexpr QOXPublicKeyAlgorithm kQOXPublicKeyAlgorithm_ElGamal = 16;
inline constexpr QOXPublicKeyAlgorithm kQOXPublicKeyAlgorithm_DSA = 17;

// A row of the known-algorithm table.
struct QOXPkAlg {
  uint8_t algorithm;
  uint32_t use;  // kQOXPkAlgUseSign | kQOXPkAlgUseEncrypt
};
inline constexpr uint32_t kQOXPkAlgUseSign = 1;
inline constexpr uint32_t kQOXPkAlgUseEncrypt = 2;

// The row for the low byte of the number, or null.
const QOXPkAlg* qoxPkalgByNumber(uint32_t algorithm);
// The row's use mask; 0 for null.
uint32_t qoxKeyAlgUse(const QOXPkAlg* row);

// Public-key object: the operations in slot order. `format` is a
// QOXPublicKeyFormat (crypto/key_encoding.h).
struct QOXPubKey {
  QOXContext* context;
  QOXPubKey* next;  // chain kept by the key database
  uint8_t algorithm;
  uint8_t keyID[8];
  void* algData;
  void (*destroy)(QOXPubKey* key);
  size_t (*maxesk)(const QOXPubKey* key, int format);
  size_t (*maxdecrypted)(const QOXPubKey* key);
  size_t (*maxsig)(const QOXPubKey* key, int format);
  QOXError (*encrypt)(const QOXPubKey* key, const uint8_t* data, size_t length, uint8_t* out,
                      size_t* outLength, QOXRandomContext* rc, int format);
  // 1 valid, 0 not valid, negative error.
  int (*verify)(const QOXPubKey* key, const uint8_t* sig, size_t sigLength, const QOXHashVTBL* hash,
                const uint8_t* digest, int format);
  size_t (*bufferLength)(const QOXPubKey* key);
  void (*toBuffer)(const QOXPubKey* key, uint8_t* out);
  // Copies the public numbers into the caller's numbers (RSA n, e; DSA p,
  // q, g, y; ElGamal p, g, y).
  QOXError (*params)(const QOXPubKey* key, QOXBigNum** numbers);
};

// Secret-key object: the operations in slot order.
struct QOXSecKey {
  QOXContext* context;
  uint8_t algorithm;
  uint8_t keyID[8];
  void* algData;
  void (*destroy)(QOXSecKey* key);
  QOXPubKey* (*pubkey)(const QOXSecKey* key);
  int (*islocked)(const QOXSecKey* key);
  QOXError (*lockingalgorithm)(const QOXSecKey* key, const QOXCipherVTBL** cipher, size_t* keySize);
  QOXError (*s2ktype)(const QOXSecKey* key, int* kind);
  QOXError (*convertpassphrase)(const QOXSecKey* key, QOXEnv* env, const char* passphrase,
                                size_t length, uint8_t* outKey);
  // 1 unlocked, 0 wrong passphrase or inconsistent key, negative error. With
  // `hashed` the passphrase is the cipher key itself (at most 32 bytes).
  int (*unlock)(QOXSecKey* key, const char* passphrase, size_t length, int hashed);
  void (*lock)(QOXSecKey* key);
  size_t (*maxesk)(const QOXSecKey* key, int format);
  size_t (*maxdecrypted)(const QOXSecKey* key);
  size_t (*maxsig)(const QOXSecKey* key, int format);
  QOXError (*decrypt)(QOXSecKey* key, const uint8_t* esk, size_t eskLength, uint8_t* out,
                      size_t* outLength, const char* passphrase, size_t passLength, int format);
  QOXError (*sign)(QOXSecKey* key, const QOXHashVTBL* hash, const uint8_t* digest, uint8_t* out,
                   size_t* outLength, QOXRandomContext* rc, int format);
  QOXError (*changeLock)(QOXSecKey* key, QOXEnv* env, QOXRandomContext* rc, const char* passphrase,
                         size_t length, int s2kKind);
  size_t (*bufferLength)(const QOXSecKey* key);
  void (*toBuffer)(const QOXSecKey* key, uint8_t* out);
  // Copies the secret numbers (RSA d, p, q, u; DSA and ElGamal x).
  QOXError (*params)(const QOXSecKey* key, QOXBigNum** numbers);
};

// Key generation progress: (argument, character); a negative return cancels.
using QOXKeyGenProgress = int (*)(void* arg, int c);

// Length of the public numbers at the start of a key body (0 for an unknown
// algorithm, or the MPI walker's negative error).
int qoxPubKeyPrefixSize(uint32_t algorithm, const uint8_t* buffer, size_t length);
// Build key objects from key bodies (after the 6-byte version-4 header).
// Null with *error set on failure (kQOXErrKeyAlgorithmUnknown for an unknown algorithm).
QOXPubKey* qoxPubKeyFromBuf(QOXContext* context, uint32_t algorithm, const uint8_t* buffer,
                            size_t length, QOXError* error);
QOXSecKey* qoxSecKeyFromBuf(QOXContext* context, uint32_t algorithm, const uint8_t* buffer,
                            size_t length, int oldProtection, QOXError* error);
// A new, unlocked key whose stored body is unprotected.
QOXSecKey* qoxSecKeyGenerate(QOXContext* context, const QOXPkAlg* row, unsigned bits, bool fast,
                             bool oldProtection, QOXRandomContext* rc, QOXKeyGenProgress progress,
                             void* progressArg, QOXError* error);
// Random bits generation will draw.
unsigned qoxSecKeyEntropy(const QOXPkAlg* row, unsigned bits, bool fast, bool oldProtection);
// True for -11350..-11338 and kQOXErrFeatureNotAvailable.
bool qoxIsKeyRelatedError(QOXError code);

// Key-generation spec.
struct QOXKeySpec {
  QOXContext* context;
  uint32_t version;   // 2, 3 or 4
  uint32_t creation;  // QOXTime
  uint16_t validity;  // days, 0 = never expires
};
QOXKeySpec* qoxKeySpecCreate(QOXEnv* env);
QOXKeySpec* qoxKeySpecCopy(const QOXKeySpec* spec);
void qoxKeySpecDestroy(QOXKeySpec* spec);
uint32_t qoxKeySpecVersion(const QOXKeySpec* spec);
uint32_t qoxKeySpecCreation(const QOXKeySpec* spec);
uint16_t qoxKeySpecValidity(const QOXKeySpec* spec);
QOXError qoxKeySpecSetVersion(QOXKeySpec* keySpec, uint32_t version);  // kQOXErrKeyVersionUnknown unless 2..4
QOXError qoxKeySpecSetCreation(QOXKeySpec* keySpec, uint32_t creation);
QOXError qoxKeySpecSetValidity(QOXKeySpec* keySpec, uint16_t days);

// --- Helpers for the algorithm files ---

// A zeroed object in the context's memory with context and algorithm set.
QOXPubKey* qoxPubKeyAlloc(QOXContext* context, uint8_t algorithm);
QOXSecKey* qoxSecKeyAlloc(QOXContext* context, uint8_t algorithm);
void qoxPubKeyFree(QOXPubKey* key);
void qoxSecKeyFree(QOXSecKey* key);

#endif  // OSTRAK_CRYPTO_PKALG_H_
