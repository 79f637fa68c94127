#include "keydb/key_packet.h"

#include <cstring>

#include "crypto/hash.h"
#include "crypto/pkalg.h"
#include "foundation/byte_cursor.h"
#include "foundation/byte_order.h"
#include "foundation/context.h"
#include "foundation/mem_pool.h"
#include "foundation/sdk_errors.h"
#include "keydb/fingerprint.h"
#include "keydb/mpi.h"
#include "keydb/packet_header.h"

using ostrak::ByteCursor;

namespace {

constexpr uint8_t kVersion4 = 4;
constexpr size_t kV4Prefix = 6;  // version, creation, algorithm
constexpr size_t kV3Prefix = 8;  // version, creation, validity days, algorithm
constexpr size_t kKeyIDSize = 8;

bool IsKnownVersion(uint8_t version) { return version >= 2 && version <= 4; }
size_t PrefixOf(uint8_t version) { return version == kVersion4 ? kV4Prefix : kV3Prefix; }

bool IsRSA(uint8_t algorithm) {
  return algorithm == kQOXPublicKeyAlgorithm_RSA || algorithm == kQOXPublicKeyAlgorithm_RSAEncryptOnly ||
         algorithm == kQOXPublicKeyAlgorithm_RSASignOnly;
}

bool LastByteOdd(const ByteCursor& value) { return !value.empty() && (value.data()[value.remaining() - 1] & 1) != 0; }

bool IsSecretTag(uint8_t tag) { return tag == kQOXPktTag_SecretKey || tag == kQOXPktTag_SecretSubKey; }

// The public part of the body of a secret-key packet, measured from the
// body start; 0 when it cannot be measured.
size_t PublicBodyLength(const uint8_t* packet, size_t length) {
  const size_t prefix = qoxKeyParsePublicPrefix(packet, length);
  const size_t header = qoxPktBufferHeaderLen(packet, length);
  return prefix > header ? prefix - header : 0;
}

}  // namespace

QOXError qoxKeyParse(QOXContext* context, const uint8_t* packet, size_t length, uint8_t* algorithm,
                     uint8_t* keyID, uint8_t* hash, uint16_t* bits, QOXTime* creation, uint16_t* validityDays,
                     int* isV3, bool secretFlag) {
  if (algorithm != nullptr) *algorithm = 0;
  if (keyID != nullptr) std::memset(keyID, 0, kKeyIDSize);
  if (hash != nullptr) std::memset(hash, 0, kQOXFingerprint20Size);
  if (bits != nullptr) *bits = 0;
  if (creation != nullptr) *creation = 0;
  if (validityDays != nullptr) *validityDays = 0;
  if (isV3 != nullptr) *isV3 = 0;

  ByteCursor body;
  if (!qoxPktBody(packet, length, &body) || body.empty()) return kQOXErrKeyPacketTruncated;
  ByteCursor c = body;
  uint8_t version = 0;
  c.get_u8(&version);
  if (!IsKnownVersion(version)) return kQOXErrKeyVersionUnknown;
  const bool v3 = version != kVersion4;
  uint32_t created = 0;
  uint16_t validity = 0;
  uint8_t alg = 0;
  if (!c.get_u32be(&created) || (v3 && !c.get_u16be(&validity)) || !c.get_u8(&alg))
    return kQOXErrKeyPacketTruncated;
  const ByteCursor numeric = c;

  ByteCursor first;
  uint16_t firstBits = 0;
  if (QOXError err = qoxReadMPI(&c, &first, &firstBits, kQOXErrKeyPacketTruncated, kQOXErrKeyModulusMalformed);
      err != kQOXErrNoErr)
    return err;
  if (c.remaining() < 2) return kQOXErrKeyPacketTruncated;  // the next MPI's bit count
  if (IsRSA(alg)) {
    ByteCursor exponent;
    uint16_t exponentBits = 0;
    if (QOXError err =
            qoxReadMPI(&c, &exponent, &exponentBits, kQOXErrKeyPacketTruncated, kQOXErrKeyExponentMalformed);
        err != kQOXErrNoErr)
      return err;
    if (!LastByteOdd(first)) return kQOXErrRSAPublicModulusEven;
    if (!LastByteOdd(exponent)) return kQOXErrRSAPublicExponentEven;
    if (!c.empty() && !secretFlag) return kQOXErrKeyPacketTrailingJunk;
  }

  if (algorithm != nullptr) *algorithm = alg;
  if (bits != nullptr) *bits = firstBits;
  if (creation != nullptr) *creation = created;
  if (validityDays != nullptr) *validityDays = validity;
  if (isV3 != nullptr) *isV3 = v3 ? 1 : 0;

  // The public part: the whole body of a public packet, the measured prefix
  // of a secret one.
  size_t publicBody = body.remaining();
  if (secretFlag && (keyID != nullptr || hash != nullptr)) {
    // Nothing is hashed of a secret packet whose public part cannot be
    // told from its secret part.
    publicBody = PublicBodyLength(packet, length);
    if (publicBody == 0) return kQOXErrKeyAlgorithmUnknown;
  }
  if (keyID != nullptr) {
    if (!v3) {
      uint8_t digest[kQOXFingerprint20Size];
      const int size = qoxFingerprint20HashBuf(context, body.data(), publicBody, digest);
      if (size < 0) return size;
      std::memcpy(keyID, digest + kQOXFingerprint20Size - kKeyIDSize, kKeyIDSize);
    } else {
      const size_t n = first.remaining() < kKeyIDSize ? first.remaining() : kKeyIDSize;
      std::memcpy(keyID + kKeyIDSize - n, first.data() + first.remaining() - n, n);
    }
  }
  if (hash != nullptr) {
    const size_t prefix = PrefixOf(version);
    const size_t numericLength = publicBody > prefix ? publicBody - prefix : 0;
    const int size = qoxFingerprint20HashBuf(context, numeric.data(), numericLength, hash);
    if (size < 0) return size;
  }
  return kQOXErrNoErr;
}

int qoxKeyParseFingerprint16(QOXContext* context, const uint8_t* packet, size_t length, uint8_t* digest) {
  std::memset(digest, 0, kQOXFingerprint16Size);
  ByteCursor body;
  ByteCursor modulus;
  ByteCursor exponent;
  bool rsa = false;
  if (qoxPktBody(packet, length, &body)) {
    ByteCursor c = body;
    uint8_t version = 0;
    uint8_t alg = 0;
    uint16_t nbits = 0;
    uint16_t ebits = 0;
    rsa = c.get_u8(&version) && IsKnownVersion(version) && c.skip(PrefixOf(version) - 2) && c.get_u8(&alg) &&
          IsRSA(alg) && qoxReadMPI(&c, &modulus, &nbits, -1, -1) == kQOXErrNoErr &&
          qoxReadMPI(&c, &exponent, &ebits, -1, -1) == kQOXErrNoErr;
  }
  if (!rsa) {
    const bool secret = packet != nullptr && length != 0 && IsSecretTag(qoxPktTag(packet[0]));
    return qoxKeyParse(context, packet, length, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                       secret);
  }
  const QOXHashVTBL* md5 = qoxHashByNumber(kQOXHashAlgorithm_MD5);
  if (md5 == nullptr) return kQOXErrUnknownHashNumber;
  MemPool* pool = qoxPeekContextMemPool(context);
  QOXMemoryMgr* mgr = qoxPeekContextMemPoolMgr(context);
  if (pool == nullptr || mgr == nullptr) return kQOXErrOutOfMemory;
  const MemPool mark = *pool;
  QOXHashContext* hash = qoxHashCreate(mgr, md5);
  if (hash == nullptr) {
    qoxContextMemPoolCutBack(context, &mark);
    return kQOXErrOutOfMemory;
  }
  md5->update(hash->state, modulus.data(), modulus.remaining());
  md5->update(hash->state, exponent.data(), exponent.remaining());
  std::memcpy(digest, qoxHashFinal(hash), kQOXFingerprint16Size);
  qoxContextMemPoolCutBack(context, &mark);
  return static_cast<int>(kQOXFingerprint16Size);
}

const uint8_t* qoxKeyParseNumericData(const uint8_t* packet, size_t length, size_t* dataLength) {
  *dataLength = 0;
  ByteCursor body;
  uint8_t version = 0;
  if (!qoxPktBody(packet, length, &body) || !body.peek_u8(&version) || !IsKnownVersion(version)) return nullptr;
  const size_t prefix = PrefixOf(version);
  if (body.remaining() < prefix) return nullptr;
  *dataLength = body.remaining() - prefix;
  return body.data() + prefix;
}

size_t qoxKeyParsePublicPrefix(const uint8_t* packet, size_t length) {
  ByteCursor body;
  uint8_t version = 0;
  if (!qoxPktBody(packet, length, &body) || !body.peek_u8(&version) || !IsKnownVersion(version)) return 0;
  const size_t prefix = PrefixOf(version);
  if (body.remaining() < prefix) return 0;
  const uint8_t alg = body.data()[prefix - 1];
  const int numbers = qoxPubKeyPrefixSize(alg, body.data() + prefix, body.remaining() - prefix);
  if (numbers <= 0 || static_cast<size_t>(numbers) > body.remaining() - prefix) return 0;
  return (length - body.remaining()) + prefix + static_cast<size_t>(numbers);
}

size_t qoxKeyBufferLength(const QOXKeySpec* keySpec) {
  return qoxKeySpecVersion(keySpec) == kVersion4 ? kV4Prefix : kV3Prefix;
}

QOXError qoxKeyToBuffer(uint8_t* buffer, const QOXKeySpec* keySpec, uint8_t algorithm) {
  const uint32_t version = qoxKeySpecVersion(keySpec);
  buffer[0] = static_cast<uint8_t>(version);
  StoreBE32(buffer + 1, qoxKeySpecCreation(keySpec));
  size_t at = 5;
  if (version != kVersion4) {
    StoreBE16(buffer + at, qoxKeySpecValidity(keySpec));
    at += 2;
  }
  buffer[at] = algorithm;
  return kQOXErrNoErr;
}
