// String-to-key specifiers and key derivation.
#include "foundation/core/string_to_key.h"

#include <algorithm>
#include <cstring>

#include "crypto/hash.h"
#include "foundation/byte_cursor.h"
#include "foundation/context.h"
#include "foundation/sdk_errors.h"
#include "crypto/random_pool.h"
#include "crypto/pkalg.h"

namespace {

constexpr size_t kMaxEncoded = 11;

struct S2KPrivate {
  QOXContext* context;
  const QOXHashVTBL* hash;  // null for the literal kinds
  uint8_t encoded[kMaxEncoded];
};

void Wipe(void* p, size_t n) {
  volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
  for (size_t i = 0; i < n; ++i) v[i] = 0;
}

S2KPrivate* Priv(const QOXStringToKey* s2k) { return static_cast<S2KPrivate*>(s2k->priv); }

void Destroy(QOXStringToKey* s2k) {
  S2KPrivate* priv = Priv(s2k);
  QOXContext* context = priv->context;
  Wipe(priv, sizeof *priv);
  qoxContextMemFree(context, priv);
  Wipe(s2k, sizeof *s2k);
  qoxContextMemFree(context, s2k);
}

QOXError LiteralToKey(const QOXStringToKey*, const char* passphrase, size_t passphraseLength,
                      uint8_t* key, size_t keyLength) {
  if (keyLength == 0) return kQOXErrNoErr;
  if (passphraseLength != keyLength || passphrase == nullptr || key == nullptr) return kQOXErrBadParams;
  std::memcpy(key, passphrase, keyLength);
  return kQOXErrNoErr;
}

// The hashed kinds share one procedure: n = ceil(k / d) running hashes, the
// i-th preloaded with i zero bytes, each fed the same material; their digests
// concatenated give the key.
QOXError HashedToKey(const QOXStringToKey* s2k, const char* passphrase, size_t passphraseLength,
                     uint8_t* key, size_t keyLength) {
  if (keyLength == 0) return kQOXErrNoErr;
  if (key == nullptr || (passphrase == nullptr && passphraseLength != 0)) return kQOXErrBadParams;
  S2KPrivate* priv = Priv(s2k);
  const QOXHashVTBL* hash = priv->hash;
  const uint8_t kind = priv->encoded[0];
  const uint8_t* salt = priv->encoded + 2;
  const size_t d = hash->digestSize;
  const size_t n = (keyLength - 1) / d + 1;

  // All states in one block, wiped and freed on every path.
  // Each state starts on a 16-byte boundary whatever its algorithm keeps.
  size_t stateSize = (hash->stateSize + 15) & ~size_t{15};
  auto* states = static_cast<uint8_t*>(qoxContextMemAlloc(priv->context, n * stateSize, 0));
  if (states == nullptr) return kQOXErrOutOfMemory;
  auto feed = [&](const void* bytes, size_t len) {
    if (len == 0) return;
    for (size_t i = 0; i < n; ++i) hash->update(states + i * stateSize, bytes, len);
  };
  static constexpr uint8_t kZeros[64] = {};
  for (size_t i = 0; i < n; ++i) {
    void* state = states + i * stateSize;
    hash->init(state);
    for (size_t z = i; z > 0;) {
      size_t chunk = std::min(z, sizeof kZeros);
      hash->update(state, kZeros, chunk);
      z -= chunk;
    }
  }

  if (kind == kQOXS2K_Simple) {
    feed(passphrase, passphraseLength);
  } else if (kind == kQOXS2K_Salted) {
    feed(salt, kQOXS2KSaltSize);
    feed(passphrase, passphraseLength);
  } else {
    const uint64_t unit = passphraseLength + kQOXS2KSaltSize;
    uint64_t total = std::max<uint64_t>(qoxS2KDecodeCount(priv->encoded[10]), unit);
    while (total > unit) {
      feed(salt, kQOXS2KSaltSize);
      feed(passphrase, passphraseLength);
      total -= unit;
    }
    if (total <= kQOXS2KSaltSize) {
      feed(salt, static_cast<size_t>(total));
    } else {
      feed(salt, kQOXS2KSaltSize);
      feed(passphrase, static_cast<size_t>(total - kQOXS2KSaltSize));
    }
  }

  size_t done = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* digest = hash->final(states + i * stateSize);
    size_t take = std::min(d, keyLength - done);
    std::memcpy(key + done, digest, take);
    done += take;
  }
  Wipe(states, n * stateSize);
  qoxContextMemFree(priv->context, states);
  return kQOXErrNoErr;
}

QOXStringToKey* Make(QOXContext* context, const QOXHashVTBL* hash, const uint8_t* encoded, size_t length) {
  auto* s2k = static_cast<QOXStringToKey*>(
      qoxContextMemAlloc(context, sizeof(QOXStringToKey), kQOXMemoryMgrFlags_Clear));
  if (s2k == nullptr) return nullptr;
  auto* priv = static_cast<S2KPrivate*>(qoxContextMemAlloc(context, sizeof(S2KPrivate), kQOXMemoryMgrFlags_Clear));
  if (priv == nullptr) {
    qoxContextMemFree(context, s2k);
    return nullptr;
  }
  priv->context = context;
  priv->hash = hash;
  std::memcpy(priv->encoded, encoded, length);
  s2k->priv = priv;
  s2k->encoded = priv->encoded;
  s2k->encodedLength = length;
  s2k->destroy = Destroy;
  s2k->stringToKey = hash != nullptr ? HashedToKey : LiteralToKey;
  return s2k;
}

}  // namespace

uint8_t qoxS2KCountByte(uint32_t requestedBytes) {
  if (requestedBytes <= 1024) return 0;
  if (requestedBytes > 0x3DFFFFF) return 255;
  uint32_t v = requestedBytes >> 5;
  uint32_t e = 0;
  while (v > 63) {
    v >>= 1;
    ++e;
  }
  uint32_t c = 16 * e + (v + (v & 1)) / 2;
  return static_cast<uint8_t>(std::min<uint32_t>(c, 255));
}

uint32_t qoxS2KDecodeCount(uint8_t c) { return (16u + (c & 15u)) << ((c >> 4) + 6); }

QOXStringToKey* qoxS2Ksimple(QOXContext* context, const QOXHashVTBL* hash) {
  if (hash == nullptr) return nullptr;
  const uint8_t enc[2] = {kQOXS2K_Simple, static_cast<uint8_t>(hash->algorithm)};
  return Make(context, hash, enc, sizeof enc);
}

QOXStringToKey* qoxS2Ksalted(QOXContext* context, const QOXHashVTBL* hash, const uint8_t* salt) {
  if (hash == nullptr || salt == nullptr) return nullptr;
  uint8_t enc[10] = {kQOXS2K_Salted, static_cast<uint8_t>(hash->algorithm)};
  std::memcpy(enc + 2, salt, kQOXS2KSaltSize);
  QOXStringToKey* s2k = Make(context, hash, enc, sizeof enc);
  Wipe(enc, sizeof enc);
  return s2k;
}

QOXStringToKey* qoxS2Kitersalt(QOXContext* context, const QOXHashVTBL* hash, const uint8_t* salt,
                               uint32_t requestedBytes) {
  if (hash == nullptr || salt == nullptr) return nullptr;
  uint8_t enc[11] = {kQOXS2K_IteratedSalted, static_cast<uint8_t>(hash->algorithm)};
  std::memcpy(enc + 2, salt, kQOXS2KSaltSize);
  enc[10] = qoxS2KCountByte(requestedBytes);
  QOXStringToKey* s2k = Make(context, hash, enc, sizeof enc);
  Wipe(enc, sizeof enc);
  return s2k;
}

QOXStringToKey* qoxS2Kliteral(QOXContext* context) {
  const uint8_t enc[1] = {kQOXS2K_Literal};
  return Make(context, nullptr, enc, 1);
}

QOXStringToKey* qoxS2KliteralShared(QOXContext* context) {
  const uint8_t enc[1] = {kQOXS2K_LiteralShared};
  return Make(context, nullptr, enc, 1);
}

QOXStringToKey* qoxS2Kcreate(QOXContext* context, QOXRandomContext* rc, int kind) {
  if (kind == kQOXS2K_Literal) return qoxS2Kliteral(context);
  if (kind == kQOXS2K_LiteralShared) return qoxS2KliteralShared(context);
  const QOXHashVTBL* sha = qoxHashByNumber(kQOXHashAlgorithm_SHA);
  if (kind == kQOXS2K_Simple) return qoxS2Ksimple(context, sha);
  uint8_t salt[kQOXS2KSaltSize];
  qoxRandomGetBytes(rc, salt, sizeof salt);
  QOXStringToKey* s2k = nullptr;
  if (kind == kQOXS2K_Salted) s2k = qoxS2Ksalted(context, sha, salt);
  if (kind == kQOXS2K_IteratedSalted) s2k = qoxS2Kitersalt(context, sha, salt, kQOXS2KDefaultByteCount);
  Wipe(salt, sizeof salt);
  return s2k;
}

QOXStringToKey* qoxS2Kdefault(QOXContext* context, QOXRandomContext* rc) {
  return qoxS2Kcreate(context, rc, kQOXS2K_IteratedSalted);
}

QOXStringToKey* qoxS2KdefaultV3(QOXContext* context) {
  return qoxS2Ksimple(context, qoxHashByNumber(kQOXHashAlgorithm_MD5));
}

bool qoxS2KisOldVers(const QOXStringToKey* s2k) {
  return s2k != nullptr && s2k->encodedLength == 2 && s2k->encoded[0] == kQOXS2K_Simple &&
         s2k->encoded[1] == kQOXHashAlgorithm_MD5;
}

int32_t qoxS2Kdecode(QOXStringToKey** out, QOXContext* context, const uint8_t* bytes, size_t length) {
  if (out != nullptr) *out = nullptr;
  ostrak::ByteCursor in(bytes, length);
  uint8_t kind = 0;
  if (!in.get_u8(&kind)) return kQOXErrBadParams;
  if (kind > kQOXS2K_LiteralShared || kind == 2) return kQOXErrUnknownKeyString;
  if (kind == kQOXS2K_Literal || kind == kQOXS2K_LiteralShared) {
    if (out == nullptr) return 1;
    *out = kind == kQOXS2K_Literal ? qoxS2Kliteral(context) : qoxS2KliteralShared(context);
    return *out != nullptr ? 1 : kQOXErrOutOfMemory;
  }
  const size_t need = kind == kQOXS2K_Simple ? 2 : kind == kQOXS2K_Salted ? 10 : 11;
  uint8_t hashNumber = 0;
  const uint8_t* salt = nullptr;
  uint8_t count = 0;
  if (!in.get_u8(&hashNumber)) return kQOXErrBadParams;
  if (kind != kQOXS2K_Simple && !in.peek(kQOXS2KSaltSize, &salt)) return kQOXErrBadParams;
  if (kind != kQOXS2K_Simple) in.skip(kQOXS2KSaltSize);
  if (kind == kQOXS2K_IteratedSalted && !in.get_u8(&count)) return kQOXErrBadParams;
  const QOXHashVTBL* hash = qoxHashByNumber(hashNumber);
  if (hash == nullptr) return kQOXErrUnknownHashNumber;
  if (out == nullptr) return static_cast<int32_t>(need);
  uint8_t enc[kMaxEncoded] = {};
  std::memcpy(enc, bytes, need);
  *out = Make(context, hash, enc, need);
  Wipe(enc, sizeof enc);
  return *out != nullptr ? static_cast<int32_t>(need) : kQOXErrOutOfMemory;
}
