// CFB mode: the stream cipher of the toolkit.
//
// Full-block cipher feedback over a symmetric-cipher context, any number of
// bytes per call, keeping its place between calls; with the RFC 2440
// resynchronisation (QOXCFBSync) after the prefix of a message. An
// interleaved context runs several feedback units in turn, one block of bytes
// each. With one unit the same context is the state of the X9.17 random
// generator: QOXCFBRandomCycle, QOXCFBGetRandom and QOXCFBRandomWash.
//
// Only the cipher's encrypt operation is used, in both directions, so a
// cipher that cannot encrypt (RC2_40) is refused at creation.
//
// Ownership: the CFB context owns the cipher context given at creation (and
// a copy of it per further unit) from then on, also when creation fails for
// lack of memory or in a copy; a refusal for bad arguments leaves it with the
// caller. QOXCFBGetSymmetricCipher only lends unit 0's cipher context.
//
// Thread safety: a context is used by one thread at a time. The last output
// of the random cycle, kept for the FIPS repeat check, is one process-wide
// block guarded by its own mutex (see cfb.cc).
#ifndef OSTRAK_CRYPTO_CFB_H_
#define OSTRAK_CRYPTO_CFB_H_

#include <cstddef>
#include <cstdint>

#include "crypto/cipher.h"

inline constexpr uint32_t kQOXCFBMagic = 0xBAABBAABu;

struct QOXCFBUnit {
  QOXSymmetricCipherContext* cipher;  // owned
  uint8_t previous[20];  // feedback before its last encryption; the last random output
  uint8_t feedback[20];  // current feedback block; its used bytes are ciphertext
  uint32_t available;    // bytes at the end of the feedback not used yet
};

// Allocated as one block: this header followed by `interleave` units.
struct QOXCFBContext {
  uint32_t magic;
  QOXMemoryMgr* memoryMgr;  // the cipher context's manager
  uint16_t interleave;      // 1..65535
  uint16_t currentUnit;     // interleaved form: the unit taking the next bytes
  uint32_t blockOffset;     // interleaved form: bytes of the current block done
  uint8_t keyLoaded;        // 1 after QOXInitCFB
  QOXCFBUnit units[1];      // the first of `interleave` units; reach them through Unit()

  QOXCFBUnit* Unit(uint32_t i) {
    return reinterpret_cast<QOXCFBUnit*>(reinterpret_cast<uint8_t*>(this) + kUnitsOffset) + i;
  }
  const QOXCFBUnit* Unit(uint32_t i) const {
    return reinterpret_cast<const QOXCFBUnit*>(reinterpret_cast<const uint8_t*>(this) +
                                               kUnitsOffset) + i;
  }
  static const size_t kUnitsOffset;
};

QOXError QOXNewCFBContext(QOXSymmetricCipherContext* cipher, uint16_t interleave,
                          QOXCFBContext** outCFB);
QOXError QOXFreeCFBContext(QOXCFBContext* cfb);
QOXError QOXCopyCFBContext(const QOXCFBContext* cfb, QOXCFBContext** outCopy);
// Key and IV each optional, not both; an interleaved context reads
// interleave x block-size IV bytes.
QOXError QOXInitCFB(QOXCFBContext* cfb, const void* key, const void* iv);
// length > 0. kQOXErrImproperInitialization before QOXInitCFB, after a wipe, or while a unit's
// cipher has no key (nothing is written).
QOXError QOXCFBEncrypt(QOXCFBContext* cfb, const void* in, size_t length, void* out);
QOXError QOXCFBDecrypt(QOXCFBContext* cfb, const void* in, size_t length, void* out);
QOXError QOXCFBSync(QOXCFBContext* cfb);
QOXError QOXCFBGetSymmetricCipher(const QOXCFBContext* cfb, QOXSymmetricCipherContext** outCipher);
// The random operations need interleave 1.
QOXError QOXCFBGetRandom(QOXCFBContext* cfb, size_t count, void* buffer, size_t* outDelivered);
// 0, or kQOXErrSelfTestFailed when FIPS mode sees the same output block twice in a row.
QOXError QOXCFBRandomCycle(QOXCFBContext* cfb, const void* salt);
QOXError QOXCFBRandomWash(QOXCFBContext* cfb, const void* bytes, size_t length);

bool qoxCFBIsValid(const QOXCFBContext* cfb);
// A context with interleave 1 over a new cipher context of the record's
// algorithm, or null (nothing left allocated).
QOXCFBContext* qoxCFBCreate(QOXMemoryMgr* memoryMgr, const QOXCipherVTBL* vtbl);
// No argument checks or gate; length 0 does nothing.
QOXError qoxCFBEncryptInternal(QOXCFBContext* cfb, const void* in, size_t length, void* out);
QOXError qoxCFBDecryptInternal(QOXCFBContext* cfb, const void* in, size_t length, void* out);
// Key loaded 0, every unit's cipher wiped, feedback zeroed.
void qoxCFBWipe(QOXCFBContext* cfb);
size_t qoxCFBGetKeySize(const QOXCFBContext* cfb);
size_t qoxCFBGetBlockSize(const QOXCFBContext* cfb);

#endif  // OSTRAK_CRYPTO_CFB_H_
