// Calls that the toolkit's start-up, contexts, entry gate and self-tests make
// into services whose real code comes later (the cryptographic engine, the key
// database, the message pipeline, the key-database back
// end). Until each service lands, its body here gives a
// neutral result or a defined error, so start-up and contexts work:
//   - start-up routines (big numbers, back end)
//     succeed and do nothing;
//   - the self-tests' crypto services fail with -11446;
//   - only the "noconv" character set is known.
// Whoever writes a real implementation deletes its block here and in
// foundation/seams.cc, and declares the call in its own header.
//
// Thread safety: every seam body is stateless and safe from any thread.
#ifndef OSTRAK_FOUNDATION_SEAMS_H_
#define OSTRAK_FOUNDATION_SEAMS_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

struct QOXContext;
struct QOXHashVTBL;

// ---------------------------------------------------------------------------
// Random generators: the real ones (pool, seed file, X9.17).
#include "crypto/rand_seed_file.h"
#include "crypto/random_pool.h"
#include "crypto/x917.h"

// ---------------------------------------------------------------------------
// Triple-DES known-answer self-test: the real one.
#include "crypto/des3_self_test.h"

// ---------------------------------------------------------------------------
// Public-key algorithm table and key objects (cryptographic engine).

struct QOXPkAlg;  // a row of the known-algorithm table
inline constexpr uint32_t kQOXPkAlgUseSign = 1;
inline constexpr uint32_t kQOXPkAlgUseEncrypt = 2;

const QOXPkAlg* qoxPkalgByNumber(uint32_t algorithm);  // seam: null (no algorithm known)
uint32_t qoxKeyAlgUse(const QOXPkAlg* row);           // seam: 0

struct QOXEnv;
struct QOXCipherVTBL;
struct QOXBigNum;

// Public-key object: the operations in slot order.
struct QOXPubKey {
  QOXContext* context;
  QOXPubKey* next;
  uint8_t algorithm;
  uint8_t keyID[8];
  void* algData;
  void (*destroy)(QOXPubKey* key);
  size_t (*maxesk)(const QOXPubKey* key, int format);
  size_t (*maxdecrypted)(const QOXPubKey* key);
  size_t (*maxsig)(const QOXPubKey* key, int format);
  QOXError (*encrypt)(const QOXPubKey* key, const uint8_t* data, size_t length, uint8_t* out,
                      size_t* outLength, QOXRandomContext* rc, int format);
  int (*verify)(const QOXPubKey* key, const uint8_t* sig, size_t sigLength, const QOXHashVTBL* hash,
                const uint8_t* digest, int format);
  size_t (*bufferLength)(const QOXPubKey* key);
  void (*toBuffer)(const QOXPubKey* key, uint8_t* out);
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
  QOXError (*params)(const QOXSecKey* key, QOXBigNum** numbers);
};

// Seams: no key can be parsed yet; null with *error = -11446.
QOXPubKey* qoxPubKeyFromBuf(QOXContext* context, uint32_t algorithm, const uint8_t* buffer,
                            size_t length, QOXError* error);
QOXSecKey* qoxSecKeyFromBuf(QOXContext* context, uint32_t algorithm, const uint8_t* buffer,
                            size_t length, int oldProtection, QOXError* error);

// ---------------------------------------------------------------------------
// Key database back end (key database).
void qoxKeyDBBackendUpdate();      // seam: nothing (no back end is on)
void qoxSetBackendUpdateNeeded();  // seam: marks every live context, counts nothing

// ---------------------------------------------------------------------------
// Remote key-database back-end start (key-database RPC client).
QOXError qoxSDKInitBackEnd(int start);  // seam: 0

// ---------------------------------------------------------------------------
// Character sets (message pipeline): the two 256-entry translation maps of a
// named set, compared without case. Seam: "noconv" gives identity maps, any
// other name -11393, a null argument -12000.
QOXError qoxCharmaps(const char* name, size_t length, const uint8_t** firstMap,
                     const uint8_t** secondMap);

// Mac file-type mappings and MacBinary conversion: foundation/macbinary.h.
#include "foundation/macbinary.h"

#endif  // OSTRAK_FOUNDATION_SEAMS_H_
