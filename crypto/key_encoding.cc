#include "crypto/key_encoding.h"

#include <algorithm>
#include <cstring>

#include "crypto/cfb.h"
#include "crypto/cipher.h"
#include "crypto/hash.h"
#include "crypto/random_pool.h"
#include "foundation/context.h"
#include "foundation/sdk_errors.h"
#include "foundation/string_to_key_services.h"

namespace {

constexpr size_t kPiece = 64;

// A scratch block in secure memory, wiped and freed when the scope closes.
class SecureScratch {
 public:
  SecureScratch(QOXMemoryMgr* mgr, size_t bytes)
      : bytes_(bytes), p_(static_cast<uint8_t*>(bniMemAlloc(mgr, true, bytes == 0 ? 1 : bytes))) {}
  ~SecureScratch() {
    if (p_ != nullptr) bniMemFree(p_, bytes_ == 0 ? 1 : bytes_);
  }
  SecureScratch(const SecureScratch&) = delete;
  SecureScratch& operator=(const SecureScratch&) = delete;
  uint8_t* get() { return p_; }

 private:
  size_t bytes_;
  uint8_t* p_;
};

unsigned ByteLength(const BigNum* bn) { return (bnBits(bn) + 7) / 8; }

// Encrypts or decrypts a stretch of a secret body in place.
void Crypt(QOXCFBContext* cfb, uint8_t* bytes, size_t length, bool encrypt) {
  if (cfb == nullptr || length == 0) return;
  if (encrypt) {
    qoxCFBEncryptInternal(cfb, bytes, length, bytes);
  } else {
    qoxCFBDecryptInternal(cfb, bytes, length, bytes);
  }
}

unsigned SumBytes(const uint8_t* bytes, size_t length) {
  unsigned sum = 0;
  for (size_t i = 0; i < length; ++i) sum += bytes[i];
  return sum;
}

// The string-to-key of a framing whose S byte is below 255.
QOXStringToKey* SimpleMD5(QOXContext* context) { return qoxStringToKeyServices().qoxS2Ksimple(context, &HashMD5); }

struct Framing {
  uint8_t s = 0;
  uint8_t cipherNumber = 0;
  size_t specifierOffset = 0;  // S = 255: where the specifier starts
};

// Reads S and, for S = 255, the cipher byte. kQOXErrKeyPacketTruncated when too short.
QOXError ReadFraming(const uint8_t* buffer, size_t length, Framing* f) {
  if (length == 0) return kQOXErrKeyPacketTruncated;
  f->s = buffer[0];
  if (f->s == 255) {
    if (length < 2) return kQOXErrKeyPacketTruncated;
    f->cipherNumber = buffer[1];
    f->specifierOffset = 2;
  } else {
    f->cipherNumber = f->s;
  }
  return kQOXErrNoErr;
}

// The framing's string-to-key; *consumed receives the specifier's length.
QOXError FramingS2K(const Framing& f, const uint8_t* buffer, size_t length, QOXContext* context,
                    QOXStringToKey** out, size_t* consumed) {
  *consumed = 0;
  if (f.s != 255) {
    *out = SimpleMD5(context);
    return *out == nullptr ? kQOXErrOutOfMemory : kQOXErrNoErr;
  }
  int32_t used =
      qoxStringToKeyServices().qoxS2Kdecode(out, context, buffer + f.specifierOffset, length - f.specifierOffset);
  if (used == kQOXErrBadParams) return kQOXErrKeyPacketTruncated;  // specifier cut short
  if (used < 0) return used;
  *consumed = static_cast<size_t>(used);
  return kQOXErrNoErr;
}

}  // namespace

// --- Big numbers in messages ---

int qoxBnX509TagLen(ostrak::ByteCursor* cursor, size_t* outLength) {
  ostrak::ByteCursor c = *cursor;
  uint8_t tag, first;
  if (!c.get_u8(&tag) || !c.get_u8(&first)) return -1;
  size_t length = first;
  if (first & 0x80) {
    size_t n = first & 0x7F;
    if (n > 4) return -1;
    uint64_t v = 0;
    if (n > 0 && !c.get_be(n, &v)) return -1;
    length = static_cast<size_t>(v);
  }
  *outLength = length;
  *cursor = c;
  return tag & 0x1F;
}

unsigned qoxBnX509LenLen(size_t n) {
  if (n < 128) return 1;
  if (n < 256) return 2;
  if (n < 65536) return 3;
  if (n <= 0xFFFFFF) return 4;
  return 5;
}

unsigned qoxBnX509PutHeader(uint8_t tag, size_t length, uint8_t* out) {
  out[0] = tag;
  unsigned lenLen = qoxBnX509LenLen(length);
  if (lenLen == 1) {
    out[1] = static_cast<uint8_t>(length);
    return 2;
  }
  unsigned n = lenLen - 1;
  out[1] = static_cast<uint8_t>(0x80 | n);
  for (unsigned i = 0; i < n; ++i) out[2 + i] = static_cast<uint8_t>(length >> (8 * (n - 1 - i)));
  return 1 + lenLen;
}

int qoxBnGetFormatted(BigNum* bn, const uint8_t* buffer, size_t length, unsigned modBytes,
                      QOXPublicKeyFormat format) {
  if (format == kQOXPublicKeyFormat_MPI) return qoxBnGetPlain(bn, buffer, length);
  if (format == kQOXPublicKeyFormat_X509) {
    ostrak::ByteCursor c(buffer, length);
    size_t bodyLength = 0;
    int tag = qoxBnX509TagLen(&c, &bodyLength);
    if (tag != 2 || bodyLength > c.remaining()) return kQOXErrKeyComponentMalformed;
    size_t header = length - c.remaining();
    if (bnSetQ(bn, 0) < 0 || bnInsertBigBytes(bn, c.data(), 0, static_cast<unsigned>(bodyLength)) < 0) {
      return kQOXErrOutOfMemory;
    }
    return static_cast<int>(header + bodyLength);
  }
  if (length < modBytes) return 0;
  if (bnSetQ(bn, 0) < 0 || bnInsertBigBytes(bn, buffer, 0, modBytes) < 0) return kQOXErrOutOfMemory;
  return static_cast<int>(modBytes);
}

unsigned qoxBnPutFormatted(const BigNum* bn, uint8_t* buffer, unsigned modBytes,
                           QOXPublicKeyFormat format) {
  if (format == kQOXPublicKeyFormat_MPI) return qoxBnPutPlain(bn, buffer);
  if (format == kQOXPublicKeyFormat_X509) {
    unsigned bits = bnBits(bn);
    unsigned own = bits == 0 ? 1 : (bits + 7) / 8;
    unsigned body = own + ((bits % 8 == 0 && bits != 0) ? 1 : 0);
    unsigned header = qoxBnX509PutHeader(0x02, body, buffer);
    std::memset(buffer + header, 0, body - own);
    bnExtractBigBytes(bn, buffer + header + (body - own), 0, own);
    return header + body;
  }
  bnExtractBigBytes(bn, buffer, 0, modBytes);
  return modBytes;
}

// --- Plain MPIs ---

int qoxBnParse(const uint8_t* buffer, size_t length, unsigned count, size_t* outOffsets) {
  if (length < 2 * static_cast<size_t>(count)) return kQOXErrKeyPacketTruncated;
  size_t offset = 0;
  for (unsigned i = 0; i < count; ++i) {
    ostrak::ByteCursor c(buffer + offset, length - offset);
    uint16_t bits;
    if (!c.get_u16be(&bits)) return kQOXErrKeyPacketTruncated;
    size_t bytes = (bits + 7u) / 8u;
    size_t headersToCome = 2 * static_cast<size_t>(count - 1 - i);
    if (c.remaining() < bytes + headersToCome) return kQOXErrKeyPacketTruncated;
    if (bits == 0 || (c.data()[0] >> ((bits - 1) % 8)) != 1) return kQOXErrKeyComponentMalformed;
    if (outOffsets != nullptr) outOffsets[i] = offset;
    offset += 2 + bytes;
  }
  return static_cast<int>(offset);
}

int qoxBnGetPlain(BigNum* bn, const uint8_t* buffer, size_t length) {
  return qoxBnGet(bn, buffer, length, nullptr, nullptr, false);
}

unsigned qoxBnMPILength(const BigNum* bn) { return 2 + ByteLength(bn); }

unsigned qoxBnPutPlain(const BigNum* bn, uint8_t* buffer) {
  return qoxBnPut(bn, buffer, nullptr, nullptr, false);
}

int qoxBnGet(BigNum* bn, const uint8_t* buffer, size_t length, QOXCFBContext* cfb,
             unsigned* checksum, bool oldStyle) {
  ostrak::ByteCursor c(buffer, length);
  uint8_t header[2];
  if (!c.get_bytes(header, 2)) return 0;
  if (cfb != nullptr) {
    if (oldStyle) {
      QOXCFBSync(cfb);
    } else {
      Crypt(cfb, header, 2, false);
    }
  }
  unsigned bits = (static_cast<unsigned>(header[0]) << 8) | header[1];
  size_t bytes = (bits + 7) / 8;
  const uint8_t* body;
  if (!c.get_view(bytes, &body)) return 0;
  unsigned sum = header[0] + header[1];
  if (bnSetQ(bn, 0) < 0) return kQOXErrOutOfMemory;
  uint8_t piece[kPiece];
  size_t done = 0;
  int result = static_cast<int>(2 + bytes);
  while (done < bytes) {
    size_t n = std::min(kPiece, bytes - done);
    std::memcpy(piece, body + done, n);
    Crypt(cfb, piece, n, false);
    sum += SumBytes(piece, n);
    // The body is big-endian: this piece ends (bytes - done - n) bytes above the bottom.
    if (bnInsertBigBytes(bn, piece, static_cast<unsigned>(bytes - done - n), static_cast<unsigned>(n)) <
        0) {
      result = kQOXErrOutOfMemory;
      break;
    }
    done += n;
  }
  bniMemWipe(piece, sizeof(piece));
  if (result > 0 && checksum != nullptr) *checksum += sum;
  return result;
}

unsigned qoxBnPut(const BigNum* bn, uint8_t* buffer, QOXCFBContext* cfb, unsigned* checksum,
                  bool oldStyle) {
  unsigned bits = bnBits(bn);
  unsigned bytes = (bits + 7) / 8;
  buffer[0] = static_cast<uint8_t>(bits >> 8);
  buffer[1] = static_cast<uint8_t>(bits);
  bnExtractBigBytes(bn, buffer + 2, 0, bytes);
  if (checksum != nullptr) *checksum += SumBytes(buffer, 2 + bytes);
  if (cfb != nullptr) {
    if (oldStyle) {
      QOXCFBSync(cfb);
      Crypt(cfb, buffer + 2, bytes, true);
    } else {
      Crypt(cfb, buffer, 2 + bytes, true);
    }
  }
  return 2 + bytes;
}

unsigned qoxChecksumGet(const uint8_t* buffer, QOXCFBContext* cfb, bool oldStyle) {
  uint8_t bytes[2] = {buffer[0], buffer[1]};
  if (!oldStyle) Crypt(cfb, bytes, 2, false);
  return (static_cast<unsigned>(bytes[0]) << 8) | bytes[1];
}

void qoxChecksumPut(unsigned sum, uint8_t* buffer, QOXCFBContext* cfb, bool oldStyle) {
  buffer[0] = static_cast<uint8_t>(sum >> 8);
  buffer[1] = static_cast<uint8_t>(sum);
  if (!oldStyle) Crypt(cfb, buffer, 2, true);
}

bool qoxMPIIsOdd(const uint8_t* buffer, size_t offset) {
  size_t bits = (static_cast<size_t>(buffer[offset]) << 8) | buffer[offset + 1];
  return (buffer[offset + 1 + (bits + 7) / 8] & 1) != 0;
}

// --- Session-key blocks ---

namespace {
unsigned KeyChecksum(const uint8_t* block, size_t length) {
  unsigned sum = 0;
  for (size_t i = 1; i < length; ++i) sum += block[i];
  return sum & 0xFFFF;
}
}  // namespace

uint8_t* qoxSessionBlockPack(QOXMemoryMgr* mgr, const uint8_t* data, size_t length, bool withChecksum,
                             size_t* outLength) {
  const size_t total = length + (withChecksum ? 2 : 0);
  auto* block = static_cast<uint8_t*>(bniMemAlloc(mgr, true, total == 0 ? 1 : total));
  if (block == nullptr) return nullptr;
  if (length > 0) std::memcpy(block, data, length);
  if (withChecksum) {
    unsigned sum = KeyChecksum(data, length);
    block[length] = static_cast<uint8_t>(sum >> 8);
    block[length + 1] = static_cast<uint8_t>(sum);
  }
  *outLength = total;
  return block;
}

QOXError qoxSessionBlockCheck(uint8_t* block, size_t* length) {
  const size_t n = *length;
  if (n < 3) return kQOXErrCorruptData;
  unsigned stored = (static_cast<unsigned>(block[n - 2]) << 8) | block[n - 1];
  if (KeyChecksum(block, n - 2) != stored) return kQOXErrCorruptData;
  block[n - 2] = block[n - 1] = 0;
  *length = n - 2;
  return kQOXErrNoErr;
}

// --- PKCS #1 v1.5 ---

int qoxPKCSPack(BigNum* bn, const uint8_t* data, size_t length, uint8_t blockType,
                unsigned modBytes, QOXRandomContext* rc) {
  if (modBytes < length + 3) return kQOXErrPublicKeyTooSmall;
  SecureScratch block(bn->memMgr, modBytes);
  uint8_t* b = block.get();
  if (b == nullptr) return kQOXErrOutOfMemory;
  size_t padding = modBytes - 3 - length;
  b[0] = 0;
  b[1] = blockType;
  if (blockType == 2) {
    uint8_t* pad = b + 2;
    for (size_t done = 0; done < padding;) {
      size_t n = std::min(kPiece, padding - done);
      rc->vtbl->getBytesEntropy(rc->priv, pad + done, n, static_cast<uint32_t>(n * 8));
      for (size_t i = done; i < done + n; ++i) {
        while (pad[i] == 0) rc->vtbl->getBytesEntropy(rc->priv, pad + i, 1, 8);
      }
      done += n;
    }
  } else {
    std::memset(b + 2, 0xFF, padding);
  }
  b[2 + padding] = 0;
  if (length > 0) std::memcpy(b + 3 + padding, data, length);
  if (bnSetQ(bn, 0) < 0 || bnInsertBigBytes(bn, b, 0, modBytes) < 0) return kQOXErrOutOfMemory;
  return 0;
}

int qoxPKCSUnpack(uint8_t* out, size_t outSize, const BigNum* bn, uint8_t blockType,
                  unsigned modBytes) {
  if (modBytes < 3) return kQOXErrCorruptData;
  SecureScratch block(bn->memMgr, modBytes);
  uint8_t* b = block.get();
  if (b == nullptr) return kQOXErrOutOfMemory;
  bnExtractBigBytes(bn, b, 0, modBytes);
  if (bnBits(bn) > modBytes * 8u || b[0] != 0) return kQOXErrCorruptData;
  const size_t last = modBytes - 1;
  auto deliver = [&](const uint8_t* data, size_t length) {
    std::memcpy(out, data, std::min(length, outSize));
    return static_cast<int>(length);
  };
  if (blockType == 2) {
    if (b[1] == 2) {
      for (size_t i = 2; i < modBytes; ++i) {
        if (b[i] == 0) return deliver(b + i + 1, modBytes - i - 1);
      }
      return kQOXErrCorruptData;
    }
    // The older session-key layout: 00 01 <19 bytes> 00 ... 02, the 0x01
    // being the cipher number of that form.
    if (b[1] == 1 && b[last] == 2 && modBytes > 21) {
      size_t i = last - 1;
      while (i > 0 && b[i] != 0) --i;
      if (i == 20) return deliver(b + 1, 19);
    }
    return kQOXErrCorruptData;
  }
  if (b[1] == blockType) {
    size_t i = 2;
    while (i < modBytes && b[i] == 0xFF) ++i;
    if (i < modBytes && b[i] == 0) return deliver(b + i + 1, modBytes - i - 1);
  }
  // The older bare-MD5 layout: 00 01 <MD5 digest> 00 FF ... FF 01.
  if (blockType == 1 && b[1] == 1 && b[last] == 1 && modBytes > 19 && b[18] == 0) {
    size_t i = last - 1;
    while (i > 0 && b[i] == 0xFF) --i;
    if (i == 18) {
      uint8_t assembled[sizeof(MD5DERprefix) + 16];
      std::memcpy(assembled, MD5DERprefix, sizeof(MD5DERprefix));
      std::memcpy(assembled + sizeof(MD5DERprefix), b + 2, 16);
      int n = deliver(assembled, sizeof(assembled));
      bniMemWipe(assembled, sizeof(assembled));
      return n;
    }
  }
  return kQOXErrCorruptData;
}

// --- Secret-key protection ---

int qoxCipherSetup(const uint8_t* buffer, size_t length, const char* passphrase,
                   size_t passphraseLength, bool hashed, QOXContext* context,
                   QOXCFBContext** outCFB) {
  *outCFB = nullptr;
  Framing f;
  QOXError err = ReadFraming(buffer, length, &f);
  if (err != kQOXErrNoErr) return err;
  if (f.s == 0) return 1;
  QOXStringToKey* s2k = nullptr;
  size_t specifierLength = 0;
  err = FramingS2K(f, buffer, length, context, &s2k, &specifierLength);
  if (err != kQOXErrNoErr) return err;
  struct S2KGuard {
    QOXStringToKey* s;
    ~S2KGuard() { qoxS2Kdestroy(s); }
  } guard{s2k};
  const QOXCipherVTBL* cipher = qoxCipherGetVTBL(f.cipherNumber);
  if (cipher == nullptr) return kQOXErrUnknownCipherNumber;
  size_t ivOffset = f.s == 255 ? 2 + specifierLength : 1;
  if (length < ivOffset + cipher->blockSize) return kQOXErrKeyPacketTruncated;

  uint8_t key[kQOXMaxCipherKeySize];
  if (hashed) {
    // A passkey is the cipher key itself.
    if (passphraseLength > sizeof(key) || passphraseLength != cipher->keySize) return kQOXErrBadParams;
    std::memcpy(key, passphrase, passphraseLength);
  } else {
    err = qoxS2Kconvert(s2k, passphrase, passphraseLength, key, cipher->keySize);
    if (err != kQOXErrNoErr) {
      bniMemWipe(key, sizeof(key));
      return err;
    }
  }
  QOXCFBContext* cfb = qoxCFBCreate(QOXPeekContextMemoryMgr(context), cipher);
  if (cfb == nullptr) {
    bniMemWipe(key, sizeof(key));
    return kQOXErrOutOfMemory;
  }
  err = QOXInitCFB(cfb, key, buffer + ivOffset);
  bniMemWipe(key, sizeof(key));
  if (err != kQOXErrNoErr) {
    QOXFreeCFBContext(cfb);
    return err;
  }
  *outCFB = cfb;
  return static_cast<int>(ivOffset + cipher->blockSize);
}

QOXCFBScope::~QOXCFBScope() {
  if (cfb_ != nullptr) QOXFreeCFBContext(cfb_);
}

QOXError qoxProtectionCipher(const uint8_t* buffer, size_t length, const QOXCipherVTBL** outCipher) {
  *outCipher = nullptr;
  Framing f;
  QOXError err = ReadFraming(buffer, length, &f);
  if (err != kQOXErrNoErr) return err;
  if (f.cipherNumber == 0) return kQOXErrUnknownCipherNumber;
  *outCipher = qoxCipherGetVTBL(f.cipherNumber);
  return *outCipher == nullptr ? kQOXErrUnknownCipherNumber : kQOXErrNoErr;
}

QOXError qoxProtectionS2KType(const uint8_t* buffer, size_t length, int* outKind) {
  *outKind = 0;
  Framing f;
  QOXError err = ReadFraming(buffer, length, &f);
  if (err != kQOXErrNoErr) return err;
  if (f.s == 255) {
    if (length < 3) return kQOXErrKeyPacketTruncated;
    *outKind = buffer[2];
  }
  return kQOXErrNoErr;
}

QOXError qoxProtectionConvert(const uint8_t* buffer, size_t length, QOXContext* context,
                              const char* passphrase, size_t passphraseLength, uint8_t* outKey) {
  Framing f;
  QOXError err = ReadFraming(buffer, length, &f);
  if (err != kQOXErrNoErr) return err;
  if (f.cipherNumber == 0) return kQOXErrBadParams;
  const QOXCipherVTBL* cipher = qoxCipherGetVTBL(f.cipherNumber);
  if (cipher == nullptr) return kQOXErrUnknownCipherNumber;
  QOXStringToKey* s2k = nullptr;
  size_t used = 0;
  err = FramingS2K(f, buffer, length, context, &s2k, &used);
  if (err != kQOXErrNoErr) return err;
  err = qoxS2Kconvert(s2k, passphrase, passphraseLength, outKey, cipher->keySize);
  qoxS2Kdestroy(s2k);
  return err;
}

QOXError qoxSecretBodyCopy(QOXContext* context, const uint8_t* bytes, size_t length,
                           QOXSecretBody* body) {
  *body = {};
  uint8_t* copy =
      static_cast<uint8_t*>(QOXNewSecureData(QOXPeekContextMemoryMgr(context), length == 0 ? 1 : length, 0));
  if (copy == nullptr) return kQOXErrOutOfMemory;
  if (length > 0) std::memcpy(copy, bytes, length);
  *body = {copy, length == 0 ? 1 : length, length};
  return kQOXErrNoErr;
}

void qoxSecretBodyFree(QOXSecretBody* body) {
  if (body->bytes != nullptr) {
    bniMemWipe(body->bytes, body->allocated);
    QOXFreeData(body->bytes);
  }
  *body = {};
}

QOXError qoxSecretBodyWrite(QOXContext* context, QOXRandomContext* rc, const char* passphrase,
                            size_t passphraseLength, const QOXStringToKey* s2k,
                            const QOXCipherVTBL* cipher, const BigNum* const* publicNumbers,
                            unsigned publicCount, const BigNum* const* secretNumbers,
                            unsigned secretCount, bool oldStyle, QOXSecretBody* body) {
  const bool protect = passphrase != nullptr && s2k != nullptr && cipher != nullptr;
  const bool oldS2K = protect && qoxStringToKeyServices().qoxS2KisOldVers(s2k);
  size_t length = 1 + 2;
  for (unsigned i = 0; i < publicCount; ++i) length += qoxBnMPILength(publicNumbers[i]);
  for (unsigned i = 0; i < secretCount; ++i) length += qoxBnMPILength(secretNumbers[i]);
  if (protect) {
    length += cipher->blockSize;
    if (!oldS2K) length += 1 + s2k->encodedLength;
  }
  QOXSecretBody fresh{};
  fresh.bytes = static_cast<uint8_t*>(QOXNewSecureData(QOXPeekContextMemoryMgr(context), length, 0));
  if (fresh.bytes == nullptr) return kQOXErrOutOfMemory;
  fresh.allocated = fresh.length = length;
  uint8_t* p = fresh.bytes;
  for (unsigned i = 0; i < publicCount; ++i) p += qoxBnPutPlain(publicNumbers[i], p);
  QOXCFBContext* cfb = nullptr;
  if (protect) {
    if (oldS2K) {
      *p++ = static_cast<uint8_t>(cipher->algorithm);
    } else {
      *p++ = 255;
      *p++ = static_cast<uint8_t>(cipher->algorithm);
      std::memcpy(p, s2k->encoded, s2k->encodedLength);
      p += s2k->encodedLength;
    }
    uint8_t* iv = p;
    qoxRandomGetBytes(rc, iv, cipher->blockSize);
    p += cipher->blockSize;
    uint8_t key[kQOXMaxCipherKeySize];
    QOXError err = qoxS2Kconvert(s2k, passphrase, passphraseLength, key, cipher->keySize);
    if (err == kQOXErrNoErr) {
      cfb = qoxCFBCreate(QOXPeekContextMemoryMgr(context), cipher);
      if (cfb == nullptr || QOXInitCFB(cfb, key, iv) != kQOXErrNoErr) err = kQOXErrOutOfMemory;
    }
    bniMemWipe(key, sizeof(key));
    if (err != kQOXErrNoErr) {
      if (cfb != nullptr) QOXFreeCFBContext(cfb);
      qoxSecretBodyFree(&fresh);
      return kQOXErrOutOfMemory;
    }
  } else {
    *p++ = 0;
  }
  unsigned sum = 0;
  for (unsigned i = 0; i < secretCount; ++i) p += qoxBnPut(secretNumbers[i], p, cfb, &sum, oldStyle);
  qoxChecksumPut(sum & 0xFFFF, p, cfb, oldStyle);
  if (cfb != nullptr) QOXFreeCFBContext(cfb);
  qoxSecretBodyFree(body);
  *body = fresh;
  return kQOXErrNoErr;
}

// --- Random numbers ---

int qoxBnGenRand(BigNum* bn, QOXRandomContext* rc, unsigned bits, uint8_t topByte, uint8_t lowBits,
                 unsigned entropy) {
  if (bits == 0) return bnSetQ(bn, 0);
  const unsigned bytes = (bits + 7) / 8;
  SecureScratch scratch(bn->memMgr, bytes);
  uint8_t* b = scratch.get();
  if (b == nullptr) return -1;
  for (unsigned done = 0; done < bytes;) {
    unsigned n = std::min<unsigned>(kPiece, bytes - done);
    rc->vtbl->getBytesEntropy(rc->priv, b + done, n, done == 0 ? entropy : 0);
    done += n;
  }
  const unsigned r = bits % 8;
  if (r == 0) {
    b[0] |= topByte;
  } else {
    b[0] &= static_cast<uint8_t>((1u << r) - 1);
    b[0] |= static_cast<uint8_t>(topByte >> (8 - r));
    if (bytes > 1) b[1] |= static_cast<uint8_t>(topByte << r);
  }
  b[bytes - 1] |= lowBits;
  if (bnSetQ(bn, 0) < 0) return -1;
  return bnInsertBigBytes(bn, b, 0, bytes);
}

// --- Discrete-log sizes ---

unsigned qoxDiscreteLogExponentBits(unsigned bits) {
  if (bits > 3840) return bits / 32 + 177;
  // Both brackets stay positive for bits <= 3840.
  long b = static_cast<long>(bits);
  return static_cast<unsigned>(297 - (149760 - ((13824 - b) / 256) * b) / 768);
}

unsigned qoxDiscreteLogQBits(unsigned bits) {
  if (bits > 3840) return ((bits / 32) + 184) / 8 * 8;
  return (qoxDiscreteLogExponentBits(bits) + 7) / 8 * 8;
}

QOXError QOXDiscreteLogExponentBits(uint32_t bits, uint32_t* outExponentBits) {
  if (outExponentBits == nullptr) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  *outExponentBits = qoxDiscreteLogExponentBits(bits);
  return kQOXErrNoErr;
}
