#include "crypto/dsa.h"

#include <algorithm>
#include <cstring>

#include "crypto/bn_prime.h"
#include "crypto/cipher.h"
#include "crypto/fixed_groups.h"
#include "crypto/hash.h"
#include "crypto/key_encoding.h"
#include "crypto/pk_records.h"
#include "crypto/random_pool.h"
#include "crypto/x917.h"
#include "foundation/context.h"
#include "foundation/sdk_errors.h"

namespace {

constexpr uint8_t kDSA = 17;
constexpr unsigned kPublicCount = 4;  // p, q, g, y
constexpr unsigned kMaxPBits = 1024;
enum { kP, kQ, kG, kY };

unsigned QBytes(const BigNum* q) { return (bnBits(q) + 7) / 8; }

size_t MaxSig(const BigNum* q, int format) {
  const unsigned Q = QBytes(q);
  switch (format) {
    case kQOXPublicKeyFormat_MPI:
      return 2 * (Q + 2);
    case kQOXPublicKeyFormat_PKCS1:
    case kQOXPublicKeyFormat_RawDigest:
      return 2 * Q;
    case kQOXPublicKeyFormat_X509: {
      const unsigned a = Q + 1;
      const unsigned b = 2 * (qoxBnX509LenLen(a) + a + 1);
      return qoxBnX509LenLen(b) + b + 1;
    }
    default:
      return 0;
  }
}

// --- Public key ---

size_t dsaPubMaxsig(const QOXPubKey* key, int format) { return MaxSig(&qoxPkPub(key)->numbers[kQ], format); }

QOXError dsaEncrypt(const QOXPubKey*, const uint8_t*, size_t, uint8_t*, size_t*, QOXRandomContext*, int) {
  return kQOXErrUnimplementedPKOperation;
}

int dsaVerify(const QOXPubKey* key, const uint8_t* sig, size_t sigLength, const QOXHashVTBL* hash,
              const uint8_t* digest, int format) {
  if (sig == nullptr || hash == nullptr || digest == nullptr) return kQOXErrBadParams;
  const PkPublicRecord* record = qoxPkPub(key);
  const BigNum* p = &record->numbers[kP];
  const BigNum* q = &record->numbers[kQ];
  if (hash->digestSize * 8 < bnBits(q)) return 0;
  const unsigned Q = QBytes(q);
  ostrak::ByteCursor c(sig, sigLength);
  if (format == kQOXPublicKeyFormat_X509) {
    if (sigLength < 2) return kQOXErrKeyComponentMalformed;
    size_t length = 0;
    if (qoxBnX509TagLen(&c, &length) != 16 || length != c.remaining()) return kQOXErrKeyComponentMalformed;
  }
  QOXMemoryMgr* mgr = qoxPkMemoryMgr(key->context);
  BigNumScope r(mgr, false), s(mgr, false), w(mgr, false), u1(mgr, false), u2(mgr, false), h(mgr, false),
      v(mgr, false);
  for (BigNum* n : {r.get(), s.get()}) {
    int used = qoxBnGetFormatted(n, c.data(), c.remaining(), Q, format);
    if (used < 0) return used;
    if (used == 0) return kQOXErrBadSignatureSize;
    c.skip(static_cast<size_t>(used));
  }
  if (!c.empty()) return kQOXErrBadSignatureSize;
  if (bnCmp(r.get(), q) >= 0 || bnCmp(s.get(), q) >= 0) return 0;
  if (bnCmpQ(r.get(), 0) == 0 || bnCmpQ(s.get(), 0) == 0) return 0;
  int rc = bnInv(w.get(), s.get(), q);
  if (rc < 0) return kQOXErrOutOfMemory;
  if (rc > 0) return 0;
  if (bnInsertBigBytes(h.get(), digest, 0, Q) < 0 || bnMod(h.get(), h.get(), q) < 0 ||
      bnMul(u1.get(), h.get(), w.get()) < 0 || bnMod(u1.get(), u1.get(), q) < 0 ||
      bnMul(u2.get(), r.get(), w.get()) < 0 || bnMod(u2.get(), u2.get(), q) < 0 ||
      bnDoubleExpMod(v.get(), &record->numbers[kG], u1.get(), &record->numbers[kY], u2.get(), p) < 0 ||
      bnMod(v.get(), v.get(), q) < 0) {
    return kQOXErrOutOfMemory;
  }
  return bnCmp(v.get(), r.get()) == 0 ? 1 : 0;
}

void FinishPublic(QOXPubKey* key) {
  key->maxesk = qoxPkPubUnimplementedSize;
  key->maxdecrypted = qoxPkPubUnimplementedSize1;
  key->maxsig = dsaPubMaxsig;
  key->encrypt = dsaEncrypt;
  key->verify = dsaVerify;
}

// --- Secret key ---

const BigNum* SecQ(const QOXSecKey* key) { return &qoxPkSec(key)->publicNumbers[kQ]; }

size_t dsaSecMaxsig(const QOXSecKey* key, int format) { return MaxSig(SecQ(key), format); }

QOXError dsaDecrypt(QOXSecKey*, const uint8_t*, size_t, uint8_t*, size_t*, const char*, size_t, int) {
  return kQOXErrUnimplementedPKOperation;
}

bool XBelowQ(const PkSecretRecord* record, const BigNum* x) {
  return bnCmp(x, &record->publicNumbers[kQ]) < 0;
}

int dsaUnlock(QOXSecKey* key, const char* passphrase, size_t length, int hashed) {
  return qoxPkSecUnlockNewStyle(qoxPkSec(key), passphrase, length, hashed != 0, XBelowQ);
}

QOXPubKey* dsaPubkey(const QOXSecKey* key) { return qoxPkSecPubkey(key, FinishPublic); }

// The X9.17 generator over the caller's, keyed by x as well.
QOXRandomContext* NonceGenerator(QOXContext* context, QOXRandomContext* rc, const BigNum* x) {
  QOXCipherAlgorithm cipher = qoxFIPSModeEnabled() ? kQOXCipherAlgorithm_3DES : kQOXCipherAlgorithm_CAST5;
  QOXRandomContext* gen = qoxRandomCreateX9_17(context, cipher, rc);
  if (gen == nullptr) return nullptr;
  uint8_t piece[32];
  const unsigned bytes = (bnBits(x) + 7) / 8;
  for (unsigned done = 0; done < bytes; done += sizeof(piece)) {
    unsigned n = std::min<unsigned>(sizeof(piece), bytes - done);
    bnExtractLittleBytes(x, piece, done, n);
    gen->vtbl->addBytes(gen->priv, piece, n);
  }
  bniMemWipe(piece, sizeof(piece));
  return gen;
}

QOXError dsaSign(QOXSecKey* key, const QOXHashVTBL* hash, const uint8_t* digest, uint8_t* out, size_t* outLength,
                 QOXRandomContext* rc, int format) {
  PkSecretRecord* record = qoxPkSec(key);
  if (record->locked) return kQOXErrKeyLocked;
  if (digest == nullptr || out == nullptr || rc == nullptr) return kQOXErrBadParams;
  const BigNum* p = &record->publicNumbers[kP];
  const BigNum* q = &record->publicNumbers[kQ];
  const BigNum* x = &record->secretNumbers[0];
  const unsigned Q = QBytes(q);
  // Only the first Q bytes of the digest are used; a shorter digest is refused.
  if (hash != nullptr && hash->digestSize < Q) return kQOXErrBadParams;
  const size_t maxsig = MaxSig(q, format);
  if (maxsig == 0) return kQOXErrBadParams;

  rc->vtbl->addBytes(rc->priv, digest, Q);
  QOXRandomContext* gen = NonceGenerator(key->context, rc, x);
  if (gen == nullptr) return kQOXErrOutOfMemory;
  struct GenGuard {
    QOXRandomContext* g;
    ~GenGuard() { g->destroy(g); }
  } guard{gen};

  QOXMemoryMgr* mgr = qoxPkMemoryMgr(key->context);
  BigNumScope k(mgr, true), r(mgr, false), s(mgr, false), h(mgr, false), t(mgr, true);
  const unsigned qBits = bnBits(q);
  if (qoxBnGenRand(k.get(), gen, qBits + 8, 0, 1, qBits) < 0 || bnMod(k.get(), k.get(), q) < 0 ||
      bnExpMod(r.get(), &record->publicNumbers[kG], k.get(), p) < 0 || bnMod(r.get(), r.get(), q) < 0 ||
      bnInsertBigBytes(h.get(), digest, 0, Q) < 0 || bnMod(h.get(), h.get(), q) < 0 ||
      bnMul(t.get(), x, r.get()) < 0 || bnAdd(t.get(), h.get()) < 0 || bnMod(t.get(), t.get(), q) < 0 ||
      bnInv(s.get(), k.get(), q) != 0 || bnMul(s.get(), s.get(), t.get()) < 0 || bnMod(s.get(), s.get(), q) < 0) {
    return kQOXErrOutOfMemory;
  }

  size_t length = 0;
  if (format == kQOXPublicKeyFormat_X509) {
    // Two minimal INTEGERs inside a SEQUENCE.
    uint8_t body[2 * (5 + 256)];
    size_t bodyLength = qoxBnPutFormatted(r.get(), body, Q, format);
    bodyLength += qoxBnPutFormatted(s.get(), body + bodyLength, Q, format);
    length = qoxBnX509PutHeader(0x30, bodyLength, out);
    std::memcpy(out + length, body, bodyLength);
    length += bodyLength;
  } else {
    length = qoxBnPutFormatted(r.get(), out, Q, format);
    length += qoxBnPutFormatted(s.get(), out + length, Q, format);
  }
  if (outLength != nullptr) *outLength = length;
  return kQOXErrNoErr;
}

QOXError dsaChangeLock(QOXSecKey* key, QOXEnv* env, QOXRandomContext* rc, const char* passphrase, size_t length,
                       int s2kKind) {
  return qoxPkSecChangeLockNewStyle(key, env, rc, passphrase, length, s2kKind);
}

void FinishSecret(QOXSecKey* key) {
  key->pubkey = dsaPubkey;
  key->unlock = dsaUnlock;
  key->maxesk = qoxPkSecUnimplementedSize;
  key->maxdecrypted = qoxPkSecUnimplementedSize1;
  key->maxsig = dsaSecMaxsig;
  key->decrypt = dsaDecrypt;
  key->sign = dsaSign;
  key->changeLock = dsaChangeLock;
}

QOXError CheckPublic(const uint8_t* buffer, size_t length, size_t* offsets) {
  int total = qoxBnParse(buffer, length, kPublicCount, offsets);
  if (total < 0) return total;
  if (!qoxMPIIsOdd(buffer, offsets[kP]) || !qoxMPIIsOdd(buffer, offsets[kQ])) return kQOXErrKeyComponentMalformed;
  return kQOXErrNoErr;
}

}  // namespace

int dsaPubKeyPrefixSize(const uint8_t* buffer, size_t length) {
  return qoxBnParse(buffer, length, kPublicCount, nullptr);
}

QOXPubKey* dsaPubFromBuf(QOXContext* context, const uint8_t* buffer, size_t length, QOXError* error) {
  size_t offsets[kPublicCount];
  *error = CheckPublic(buffer, length, offsets);
  if (*error != kQOXErrNoErr) return nullptr;
  QOXPubKey* key = qoxPkPubNew(context, kDSA, kPublicCount);
  if (key == nullptr) {
    *error = kQOXErrOutOfMemory;
    return nullptr;
  }
  *error = qoxPkPubRead(qoxPkPub(key), buffer, length);
  if (*error == kQOXErrNoErr && bnBits(&qoxPkPub(key)->numbers[kP]) > kMaxPBits) *error = kQOXErrKeyTooLarge;
  if (*error != kQOXErrNoErr) {
    qoxPkPubDestroy(key);
    return nullptr;
  }
  FinishPublic(key);
  return key;
}

QOXSecKey* dsaSecFromBuf(QOXContext* context, const uint8_t* buffer, size_t length, QOXError* error) {
  QOXSecKey* key =
      qoxPkSecFromBuf(context, kDSA, kPublicCount, 1, buffer, length, false, FinishSecret, kQOXErrOutOfMemory, error);
  if (key != nullptr && bnBits(&qoxPkSec(key)->publicNumbers[kP]) > kMaxPBits) {
    qoxPkSecDestroy(key);
    *error = kQOXErrKeyTooLarge;
    return nullptr;
  }
  return key;
}

QOXSecKey* dsaSecGenerate(QOXContext* context, unsigned bits, bool fast, QOXRandomContext* rc,
                          QOXKeyGenProgress progress, void* progressArg, QOXError* error) {
  const unsigned b = (bits + 63) / 64 * 64;
  if (b > kMaxPBits) {
    *error = kQOXErrPublicKeyTooBig;
    return nullptr;
  }
  *error = kQOXErrOutOfMemory;
  if (rc == nullptr) {
    *error = kQOXErrBadParams;
    return nullptr;
  }
  QOXSecKey* key = qoxPkSecNew(context, kDSA, kPublicCount, 1, nullptr, 0, false, error);
  if (key == nullptr) return nullptr;
  FinishSecret(key);
  PkSecretRecord* record = qoxPkSec(key);
  BigNum* p = &record->publicNumbers[kP];
  BigNum* q = &record->publicNumbers[kQ];
  BigNum* g = &record->publicNumbers[kG];
  BigNum* y = &record->publicNumbers[kY];
  BigNum* x = &record->secretNumbers[0];
  QOXMemoryMgr* mgr = qoxPkMemoryMgr(context);
  BigNumScope step(mgr, false), t(mgr, false), h(mgr, false);
  QOXRandomContext* prng = nullptr;
  bool ok = false;
  do {
    const uint8_t* fp;
    const uint8_t* fq;
    size_t fpLength, fqLength;
    if (fast && qoxDSAfixed(b, &fp, &fpLength, &fq, &fqLength)) {
      if (bnInsertBigBytes(q, fq, 0, static_cast<unsigned>(fqLength)) < 0) break;
      qoxPkProgress(progress, progressArg, ' ');
      if (bnInsertBigBytes(p, fp, 0, static_cast<unsigned>(fpLength)) < 0) break;
      qoxPkProgress(progress, progressArg, ' ');
    } else {
      prng = qoxPseudoRandomCreate(rc->context != nullptr ? rc->context : context);
      if (prng == nullptr) break;
      uint8_t seed[8];
      qoxRandomGetBytes(rc, seed, sizeof(seed));
      prng->vtbl->addBytes(prng->priv, seed, sizeof(seed));
      bniMemWipe(seed, sizeof(seed));
      if (qoxBnGenRand(q, prng, 160, 0xFF, 1, 151) < 0) break;
      if (bnPrimeGen(q, nullptr, nullptr, progress, progressArg, 0) < 0) break;
      if (qoxPkProgress(progress, progressArg, ' ') < 0) break;
      if (qoxBnGenRand(p, prng, b, 0xC0, 1, b - 160) < 0) break;
      if (bnCopy(step.get(), q) < 0 || bnLShift(step.get(), 1) < 0) break;
      if (bnMod(t.get(), p, step.get()) < 0 || bnSub(p, t.get()) < 0 || bnAddQ(p, 1) < 0) break;
      if (bnPrimeGenStrong(p, step.get(), progress, progressArg) < 0) break;
      if (qoxPkProgress(progress, progressArg, ' ') < 0) break;
    }
    // g = h^(p/q) mod p for the first h from 2 that gives more than 1.
    if (bnDivMod(t.get(), h.get(), p, q) < 0) break;
    qoxPkProgress(progress, progressArg, '.');
    if (bnSetQ(h.get(), 2) < 0 || bnExpMod(g, h.get(), t.get(), p) < 0) break;
    bool failed = false;
    while (bnBits(g) <= 1) {
      qoxPkProgress(progress, progressArg, '.');
      if (bnAddQ(h.get(), 1) < 0 || bnExpMod(g, h.get(), t.get(), p) < 0) {
        failed = true;
        break;
      }
    }
    if (failed) break;
    qoxPkProgress(progress, progressArg, ' ');
    const unsigned qBits = bnBits(q);
    if (qoxBnGenRand(x, rc, qBits + 8, 0, 0, qBits) < 0 || bnMod(x, x, q) < 0) break;
    if (bnExpMod(y, g, x, p) < 0) break;
    record->locked = 0;
    if (dsaChangeLock(key, nullptr, rc, nullptr, 0, 0) != kQOXErrNoErr) break;
    ok = true;
  } while (false);
  if (prng != nullptr) prng->destroy(prng);
  if (!ok) {
    qoxPkSecDestroy(key);
    *error = kQOXErrOutOfMemory;
    return nullptr;
  }
  *error = kQOXErrNoErr;
  return key;
}
