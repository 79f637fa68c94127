// The cipher registry and the symmetric-cipher context.
//
// Every symmetric encryption of the toolkit goes through one constant table
// of nine cipher records (QOXCipherVTBL) and one kind of handle, the
// QOXSymmetricCipherContext: a keyed instance of one registered cipher that
// encrypts or decrypts exactly one block per call. The chaining modes
// (crypto/cbc.h, crypto/cfb.h) are built over such a context. Records are
// compared by address and never copied; callers size keys and IVs from them.
//
// Two counts of ciphers exist and both are kept: qoxCountSymmetricCiphers
// counts the nine registry records; QOXCountSymmetricCiphers
// (foundation/core/features.h) counts the seven ciphers offered to clients.
//
// Ownership: a context belongs to whoever made it, unless it was handed to a
// CBC or CFB context, which then owns it. The key state is secure memory from
// the context's memory manager and is wiped before it is released.
//
// Thread safety: the registry is constant and shared by all threads. A
// context is used by one thread at a time (even decryption may convert its
// key state between forms).
#ifndef OSTRAK_CRYPTO_CIPHER_H_
#define OSTRAK_CRYPTO_CIPHER_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/memory_mgr.h"

struct QOXContext;
struct QOXEnv;

// Cipher numbers: those of RFC 2440 and its successors, and two private ones.
using QOXCipherAlgorithm = uint32_t;
inline constexpr QOXCipherAlgorithm kQOXCipherAlgorithm_IDEA = 1;
inline constexpr QOXCipherAlgorithm kQOXCipherAlgorithm_3DES = 2;
inline constexpr QOXCipherAlgorithm kQOXCipherAlgorithm_CAST5 = 3;
inline constexpr QOXCipherAlgorithm kQOXCipherAlgorithm_AES128 = 7;
inline constexpr QOXCipherAlgorithm kQOXCipherAlgorithm_AES192 = 8;
inline constexpr QOXCipherAlgorithm kQOXCipherAlgorithm_AES256 = 9;
inline constexpr QOXCipherAlgorithm kQOXCipherAlgorithm_Twofish256 = 10;
inline constexpr QOXCipherAlgorithm kQOXCipherAlgorithm_RC2_40 = 100;
inline constexpr QOXCipherAlgorithm kQOXCipherAlgorithm_RC2_128 = 101;

// Largest block of the registry (bytes).
inline constexpr size_t kQOXMaxCipherBlockSize = 16;

// Magic word of a live symmetric-cipher context.
inline constexpr uint32_t kQOXSymmetricCipherMagic = 0xABBADABAu;

// One registered cipher. encrypt is null for RC2_40 (decryption only); wash
// is null except for IDEA, 3DES and CAST5. encrypt and decrypt accept the
// same buffer as input and output.
struct QOXCipherVTBL {
  const char* name;
  QOXCipherAlgorithm algorithm;
  uint32_t blockSize;
  uint32_t keySize;
  uint32_t keyStateSize;
  uint32_t stateAlignment;
  void (*initKey)(void* keyState, const uint8_t* key);
  void (*encrypt)(void* keyState, const uint8_t* in, uint8_t* out);
  void (*decrypt)(void* keyState, const uint8_t* in, uint8_t* out);
  void (*wash)(void* keyState, const uint8_t* bytes, size_t length);
};

extern const QOXCipherVTBL cipherIDEA;
extern const QOXCipherVTBL cipherTwofish256;
extern const QOXCipherVTBL cipher3DES;
extern const QOXCipherVTBL cipherCAST5;
extern const QOXCipherVTBL cipherAES128;
extern const QOXCipherVTBL cipherAES192;
extern const QOXCipherVTBL cipherAES256;
extern const QOXCipherVTBL cipherRC2_40;
extern const QOXCipherVTBL cipherRC2_128;

// The handle. Valid when non-null with the magic word.
struct QOXSymmetricCipherContext {
  uint32_t magic;
  QOXMemoryMgr* memoryMgr;     // allocated the handle and the key state
  const QOXCipherVTBL* vtbl;
  void* keyState;              // vtbl->keyStateSize bytes, secure memory
  uint8_t keyLoaded;           // 1 after a key was loaded or washed in
};

// --- Public calls: argument checks, then the entry gate. ---
// -12000: missing out, invalid context or memory manager, unknown algorithm;
// kQOXErrOutOfMemory when memory runs out (nothing left allocated, out null).
QOXError QOXNewSymmetricCipherContext(QOXContext* context, QOXCipherAlgorithm algorithm,
                                      QOXSymmetricCipherContext** outCipher);
// An independent copy, key state and key flag included, from the source's
// memory manager.
QOXError QOXCopySymmetricCipherContext(const QOXSymmetricCipherContext* cipher,
                                       QOXSymmetricCipherContext** outCopy);
// Wipes the key state, frees it, zeroes the handle and frees it.
QOXError QOXFreeSymmetricCipherContext(QOXSymmetricCipherContext* cipher);
// Loads vtbl->keySize key bytes; key flag 1.
QOXError QOXInitSymmetricCipher(QOXSymmetricCipherContext* cipher, const void* key);
// Zeroes the whole key state; key flag 0.
QOXError QOXWipeSymmetricCipher(QOXSymmetricCipherContext* cipher);
// Hashes length bytes (0 allowed) into the key; key flag 1. -12000 for a
// cipher without a wash.
QOXError QOXWashSymmetricCipher(QOXSymmetricCipherContext* cipher, const void* bytes,
                                size_t length);
// One block. -12000 for bad arguments and for encryption with a cipher that
// cannot encrypt (RC2_40); kQOXErrImproperInitialization before any key was loaded or washed in.
QOXError QOXSymmetricCipherEncrypt(QOXSymmetricCipherContext* cipher, const void* in, void* out);
QOXError QOXSymmetricCipherDecrypt(QOXSymmetricCipherContext* cipher, const void* in, void* out);
// Either out may be null, not both.
QOXError QOXGetSymmetricCipherSizes(const QOXSymmetricCipherContext* cipher, size_t* outKeySize,
                                    size_t* outBlockSize);

// --- Internal calls: no gate. ---
bool qoxSymmetricCipherIsValid(const QOXSymmetricCipherContext* cipher);
// The first registry record with that number, or null.
const QOXCipherVTBL* qoxCipherGetVTBL(QOXCipherAlgorithm algorithm);
uint32_t qoxCountSymmetricCiphers();  // 9
QOXMemoryMgr* qoxGetSymmetricCipherMemoryMgr(const QOXSymmetricCipherContext* cipher);
QOXError qoxNewSymmetricCipherContextInternal(QOXMemoryMgr* memoryMgr, QOXCipherAlgorithm algorithm,
                                              QOXSymmetricCipherContext** outCipher);
// No argument checks: kQOXErrImproperInitialization without a key, -12000 for encryption with a
// cipher that cannot encrypt, else 0.
QOXError qoxSymmetricCipherEncryptInternal(QOXSymmetricCipherContext* cipher, const void* in,
                                           void* out);
QOXError qoxSymmetricCipherDecryptInternal(QOXSymmetricCipherContext* cipher, const void* in,
                                           void* out);
// No gate: -12000 for a cipher without a wash (nothing changes), else 0.
QOXError qoxSymmetricCipherWashInternal(QOXSymmetricCipherContext* cipher, const void* bytes,
                                        size_t length);

// The cipher that protects new secret keys, and the same choice for the old
// version-3 protection form; null when neither the wanted cipher nor the
// fallback is registered.
const QOXCipherVTBL* qoxCipherDefaultKey(const QOXEnv* env);
const QOXCipherVTBL* qoxCipherDefaultKeyV3(const QOXEnv* env);

#endif  // OSTRAK_CRYPTO_CIPHER_H_
