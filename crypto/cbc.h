// CBC mode over a symmetric-cipher context.
//
// Whole blocks only (no padding here); the chaining value is kept between
// calls, so a message may be fed in any number of calls of whole blocks.
// Serves the TLS record layer, the PKCS #12 and PKCS #7 containers and the
// Triple-DES self-test.
//
// Ownership: the CBC context owns the cipher context it was made over from
// creation on (also when creation fails for lack of memory) and frees it;
// QOXCBCGetSymmetricCipher only lends it. A refusal for bad arguments leaves
// the cipher context with the caller.
//
// Thread safety: none of its own; a context is used by one thread at a time.
#ifndef OSTRAK_CRYPTO_CBC_H_
#define OSTRAK_CRYPTO_CBC_H_

#include <cstddef>
#include <cstdint>

#include "crypto/cipher.h"

inline constexpr uint32_t kQOXCBCMagic = 0xBAAB0957u;

// Valid when non-null, with the magic and the current chain pointing into
// one of its own two buffers (so a copy re-points it).
struct QOXCBCContext {
  uint32_t magic;
  QOXMemoryMgr* memoryMgr;  // the cipher context's manager
  uint8_t initialised;      // 1 after QOXInitCBC
  QOXSymmetricCipherContext* cipher;
  uint8_t chainA[20];       // only the first block-size bytes are used
  uint8_t chainB[20];
  uint8_t* currentChain;    // chainA or chainB: the IV, then the last ciphertext block
};

QOXError QOXNewCBCContext(QOXSymmetricCipherContext* cipher, QOXCBCContext** outCBC);
QOXError QOXFreeCBCContext(QOXCBCContext* cbc);
QOXError QOXCopyCBCContext(const QOXCBCContext* cbc, QOXCBCContext** outCopy);
// Key and IV are each optional, not both: a key alone restarts from a zero
// IV, an IV alone keeps the loaded key.
QOXError QOXInitCBC(QOXCBCContext* cbc, const void* key, const void* iv);
// length: a non-zero multiple of the block size. kQOXErrImproperInitialization before QOXInitCBC or
// while the cipher has no key (nothing is written); -12000 for encryption
// over a cipher that cannot encrypt (RC2_40).
QOXError QOXCBCEncrypt(QOXCBCContext* cbc, const void* in, size_t length, void* out);
QOXError QOXCBCDecrypt(QOXCBCContext* cbc, const void* in, size_t length, void* out);
QOXError QOXCBCGetSymmetricCipher(const QOXCBCContext* cbc, QOXSymmetricCipherContext** outCipher);

bool qoxCBCIsValid(const QOXCBCContext* cbc);
size_t qoxCBCGetKeySize(const QOXCBCContext* cbc);
size_t qoxCBCGetBlockSize(const QOXCBCContext* cbc);
// No argument checks or gate; length 0 does nothing.
QOXError qoxCBCEncryptInternal(QOXCBCContext* cbc, const void* in, size_t length, void* out);
QOXError qoxCBCDecryptInternal(QOXCBCContext* cbc, const void* in, size_t length, void* out);

#endif  // OSTRAK_CRYPTO_CBC_H_
