// Version and feature queries: the toolkit's version numbers and text, its
// feature flags, and the tables of public-key and symmetric algorithms it
// offers, as fixed-size information records.
//
// Thread safety: every call reads constant tables; safe from any thread.
#ifndef OSTRAK_FOUNDATION_CORE_FEATURES_H_
#define OSTRAK_FOUNDATION_CORE_FEATURES_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

inline constexpr uint32_t kQOXsdkVersion = 0x02000100;
inline constexpr char kQOXsdkVersionString[] = "QOXsdk 1.0";
inline constexpr size_t kQOXAlgorithmShortNameSize = 32;
inline constexpr size_t kQOXAlgorithmLongNameSize = 96;

// Feature selectors of QOXGetFeatureFlags.
inline constexpr uint32_t kQOXFeatureSelectorGeneral = 1;
inline constexpr uint32_t kQOXFeatureSelectorClient = 2;

struct QOXPublicKeyAlgorithmInfo {
  char shortName[kQOXAlgorithmShortNameSize];  // NUL-padded
  char longName[kQOXAlgorithmLongNameSize];    // NUL-padded
  uint8_t reserved[196];
  uint32_t algorithm;  // RFC 2440 number
  uint8_t canEncrypt;
  uint8_t canDecrypt;
  uint8_t canSign;
  uint8_t canVerify;
  uint8_t canGenerate;
  uint8_t reserved2[35];
};
static_assert(sizeof(QOXPublicKeyAlgorithmInfo) == 368);

struct QOXSymmetricCipherInfo {
  char shortName[kQOXAlgorithmShortNameSize];
  char longName[kQOXAlgorithmLongNameSize];  // equal to the short name
  uint8_t reserved[196];
  uint32_t algorithm;
  uint8_t reserved2[32];
};
static_assert(sizeof(QOXSymmetricCipherInfo) == 360);

uint32_t QOXGetQOXsdkVersion();     // 0x02000100
uint32_t QOXGetQOXsdkAPIVersion();  // 0x01000000
// Copies "QOXsdk 1.0" with its NUL (11 bytes). -12000 for a null buffer; the
// gate's error.
QOXError QOXGetQOXsdkVersionString(char* buffer);
// -12000 for a null out; the gate's error; selector 1 gives 15, selector 2
// gives 0; any other gives 0 and kQOXErrItemNotFound.
QOXError QOXGetFeatureFlags(uint32_t selector, uint32_t* outFlags);

// RSA, ElGamal and DSA, or only the last two when the engine offers RSA no
// usable operation. -12000 for a null out; the gate's error.
QOXError QOXCountPublicKeyAlgorithms(uint32_t* outCount);
// The record of row index (counted as QOXCountPublicKeyAlgorithms counts).
// -12000 for a null record; the gate's error; the record is zeroed; an index
// past the last row gives -12000. The RSA row's capabilities follow the
// engine: encrypt and decrypt from its encryption use, sign and verify from
// its signing use.
QOXError QOXGetIndexedPublicKeyAlgorithmInfo(uint32_t index, QOXPublicKeyAlgorithmInfo* outInfo);

// 7: IDEA, 3DES, CAST5, Twofish, AES128, AES192, AES256. -12000 for a null
// out; the gate's error.
QOXError QOXCountSymmetricCiphers(uint32_t* outCount);
// -12000 for a null record; the record is zeroed; an index above 6 gives
// -12000; the gate's error; else the row.
QOXError QOXGetIndexedSymmetricCipherInfo(uint32_t index, QOXSymmetricCipherInfo* outInfo);

#endif  // OSTRAK_FOUNDATION_CORE_FEATURES_H_
