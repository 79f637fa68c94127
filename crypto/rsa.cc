#include "crypto/rsa.h"

#include <cstring>

#include "crypto/bn_prime.h"
#include "crypto/cfb.h"
#include "crypto/cipher.h"
#include "crypto/hash.h"
#include "crypto/key_encoding.h"
#include "crypto/pk_records.h"
#include "crypto/random_pool.h"
#include "foundation/context.h"
#include "foundation/sdk_errors.h"
#include "foundation/string_to_key_services.h"

namespace {

constexpr uint8_t kRSA = 1;
constexpr unsigned kMaxBits = 4096;
constexpr unsigned kMaxEncryptBits = 65535;
enum { kN, kE };
enum { kD, kPrimeP, kPrimeQ, kU };

unsigned NBytes(const BigNum* n) { return (bnBits(n) + 7) / 8; }

size_t MaxEsk(const BigNum* n, int format) {
  const unsigned B = NBytes(n);
  switch (format) {
    case kQOXPublicKeyFormat_MPI:
      return B + 2;
    case kQOXPublicKeyFormat_X509:
      // A DER INTEGER of up to B + 1 bytes.
      return 1 + qoxBnX509LenLen(B + 1) + B + 1;
    case kQOXPublicKeyFormat_PKCS1:
    case kQOXPublicKeyFormat_RawDigest:
      return B;
    default:
      return 0;
  }
}

size_t MaxSig(const BigNum* n, int format) {
  const unsigned B = NBytes(n);
  if (format == kQOXPublicKeyFormat_MPI) return B + 2;
  if (format >= kQOXPublicKeyFormat_PKCS1 && format <= kQOXPublicKeyFormat_RawDigest) return B;
  return 0;
}

size_t MaxDecrypted(const BigNum* n) {
  const unsigned B = NBytes(n);
  return B < 3 ? 0 : B - 3;
}

// --- Public key ---

const BigNum* PubN(const QOXPubKey* key) { return &qoxPkPub(key)->numbers[kN]; }
size_t rsaPubMaxesk(const QOXPubKey* key, int format) { return MaxEsk(PubN(key), format); }
size_t rsaPubMaxsig(const QOXPubKey* key, int format) { return MaxSig(PubN(key), format); }
size_t rsaPubMaxdecrypted(const QOXPubKey* key) { return MaxDecrypted(PubN(key)); }

QOXError rsaEncrypt(const QOXPubKey* key, const uint8_t* data, size_t length, uint8_t* out, size_t* outLength,
                    QOXRandomContext* rc, int format) {
  const PkPublicRecord* record = qoxPkPub(key);
  const BigNum* n = &record->numbers[kN];
  if (data == nullptr || out == nullptr || rc == nullptr) return kQOXErrBadParams;
  if (MaxEsk(n, format) == 0) return kQOXErrBadParams;
  if (bnBits(n) > kMaxEncryptBits) return kQOXErrPublicKeyTooBig;
  const unsigned B = NBytes(n);
  const bool sessionBlock = format == kQOXPublicKeyFormat_MPI;
  if (sessionBlock && length == 0) return kQOXErrBadParams;
  QOXMemoryMgr* mgr = qoxPkMemoryMgr(key->context);
  size_t blockLength = 0;
  uint8_t* block = qoxSessionBlockPack(mgr, data, length, sessionBlock, &blockLength);
  if (block == nullptr) return kQOXErrOutOfMemory;
  BigNumScope m(mgr, true);
  int err = qoxPKCSPack(m.get(), block, blockLength, 2, B, rc);
  bniMemFree(block, blockLength);
  if (err != 0) return err;
  if (bnExpMod(m.get(), m.get(), &record->numbers[kE], n) < 0) return kQOXErrOutOfMemory;
  size_t written = qoxBnPutFormatted(m.get(), out, B, format);
  if (outLength != nullptr) *outLength = written;
  return kQOXErrNoErr;
}

int rsaVerify(const QOXPubKey* key, const uint8_t* sig, size_t sigLength, const QOXHashVTBL* hash,
              const uint8_t* digest, int format) {
  if (sig == nullptr || hash == nullptr || digest == nullptr) return kQOXErrBadParams;
  const PkPublicRecord* record = qoxPkPub(key);
  const BigNum* n = &record->numbers[kN];
  const unsigned B = NBytes(n);
  QOXMemoryMgr* mgr = qoxPkMemoryMgr(key->context);
  BigNumScope s(mgr, false);
  if (format == kQOXPublicKeyFormat_X509) {
    if (bnInsertBigBytes(s.get(), sig, 0, static_cast<unsigned>(sigLength)) < 0) return kQOXErrOutOfMemory;
  } else {
    int used = qoxBnGetFormatted(s.get(), sig, sigLength, B, format);
    if (used < 0) return used;
    if (used == 0) return kQOXErrBadSignatureSize;
  }
  // A value at or above the modulus is no signature of this key.
  if (bnCmp(s.get(), n) >= 0) return 0;
  if (bnExpMod(s.get(), s.get(), &record->numbers[kE], n) < 0) return kQOXErrOutOfMemory;
  uint8_t data[64];
  int length = qoxPKCSUnpack(data, sizeof(data), s.get(), 1, B);
  if (length < 0) return length;
  const size_t prefixLength = format == kQOXPublicKeyFormat_RawDigest ? 0 : hash->derPrefixLength;
  int valid = static_cast<size_t>(length) <= sizeof(data) &&
              static_cast<size_t>(length) == prefixLength + hash->digestSize &&
              (prefixLength == 0 || std::memcmp(data, hash->derPrefix, prefixLength) == 0) &&
              std::memcmp(data + prefixLength, digest, hash->digestSize) == 0;
  bniMemWipe(data, sizeof(data));
  return valid;
}

void FinishPublic(QOXPubKey* key) {
  key->maxesk = rsaPubMaxesk;
  key->maxdecrypted = rsaPubMaxdecrypted;
  key->maxsig = rsaPubMaxsig;
  key->encrypt = rsaEncrypt;
  key->verify = rsaVerify;
}

// --- Secret key ---

const BigNum* SecN(const QOXSecKey* key) { return &qoxPkSec(key)->publicNumbers[kN]; }
size_t rsaSecMaxesk(const QOXSecKey* key, int format) { return MaxEsk(SecN(key), format); }
size_t rsaSecMaxsig(const QOXSecKey* key, int format) { return MaxSig(SecN(key), format); }
size_t rsaSecMaxdecrypted(const QOXSecKey* key) { return MaxDecrypted(SecN(key)); }

int rsaUnlock(QOXSecKey* key, const char* passphrase, size_t length, int hashed) {
  PkSecretRecord* record = qoxPkSec(key);
  if (passphrase == nullptr) length = 0;
  if (qoxFIPSModeEnabled() && length == 0) return 0;
  const uint8_t* body = record->body.bytes;
  const size_t total = record->body.length;
  if (total <= 4) return kQOXErrKeyPacketTruncated;
  BigNum* n = &record->publicNumbers[kN];
  BigNum* e = &record->publicNumbers[kE];
  size_t offset = 0;
  for (BigNum* v : {n, e}) {
    int used = qoxBnGetPlain(v, body + offset, total - offset);
    if (used < 0) return used;
    if (used == 0) return kQOXErrKeyPacketTruncated;
    offset += static_cast<size_t>(used);
  }
  if (offset >= total) return kQOXErrKeyPacketTruncated;
  if ((body[offset] != 0) != (length > 0)) return 0;
  QOXCFBContext* cfb = nullptr;
  int framing = qoxCipherSetup(body + offset, total - offset, passphrase, length, hashed != 0, record->context, &cfb);
  if (framing < 0) return framing;
  QOXCFBScope guard(cfb);
  offset += static_cast<size_t>(framing);
  const bool oldStyle = record->oldProtection != 0;

  QOXMemoryMgr* mgr = qoxPkMemoryMgr(record->context);
  BigNumScope d(mgr, true), p(mgr, true), q(mgr, true), u(mgr, true), t(mgr, true), t2(mgr, true);
  unsigned sum = 0;
  auto read = [&](BigNum* v) {
    int used = qoxBnGet(v, body + offset, total - offset, cfb, &sum, oldStyle);
    if (used > 0) offset += static_cast<size_t>(used);
    return used;
  };
  int used = read(d.get());
  if (used < 0) return used;
  if (used == 0 || bnCmp(d.get(), n) >= 0) return 0;
  for (BigNum* prime : {p.get(), q.get()}) {
    used = read(prime);
    if (used < 0) return used;
    if (used == 0 || (bnLSWord(prime) & 1) == 0) return 0;
  }
  // p q = n, d e = 1 mod (p - 1) and mod (q - 1).
  if (bnMul(t.get(), p.get(), q.get()) < 0) return kQOXErrOutOfMemory;
  if (bnCmp(t.get(), n) != 0) return 0;
  for (BigNum* prime : {p.get(), q.get()}) {
    if (bnCopy(t2.get(), prime) < 0 || bnSubQ(t2.get(), 1) < 0 || bnMul(t.get(), d.get(), e) < 0 ||
        bnMod(t.get(), t.get(), t2.get()) < 0) {
      return kQOXErrOutOfMemory;
    }
    if (bnCmpQ(t.get(), 1) != 0) return 0;
  }
  used = read(u.get());
  if (used < 0) return used;
  if (used == 0) return kQOXErrKeyPacketTruncated;
  if (total - offset != 2) return kQOXErrKeyPacketTrailingJunk;
  const unsigned stored = (static_cast<unsigned>(body[offset]) << 8) | body[offset + 1];
  sum &= 0xFFFF;
  if (stored != sum && (cfb == nullptr || oldStyle || qoxChecksumGet(body + offset, cfb, false) != sum)) return 0;
  if (bnCmp(u.get(), q.get()) >= 0) return 0;
  if (bnMul(t.get(), u.get(), p.get()) < 0 || bnMod(t.get(), t.get(), q.get()) < 0) return kQOXErrOutOfMemory;
  if (bnCmpQ(t.get(), 1) != 0) return 0;
  BigNum* out = record->secretNumbers;
  if (bnCopy(&out[kD], d.get()) < 0 || bnCopy(&out[kPrimeP], p.get()) < 0 || bnCopy(&out[kPrimeQ], q.get()) < 0 ||
      bnCopy(&out[kU], u.get()) < 0) {
    return kQOXErrOutOfMemory;
  }
  record->locked = 0;
  return 1;
}

QOXPubKey* rsaPubkey(const QOXSecKey* key) { return qoxPkSecPubkey(key, FinishPublic); }

int PrivateOp(PkSecretRecord* record, BigNum* x) {
  const BigNum* s = record->secretNumbers;
  return bnExpModCRA(x, &s[kD], &s[kPrimeP], &s[kPrimeQ], &s[kU]);
}

QOXError rsaSign(QOXSecKey* key, const QOXHashVTBL* hash, const uint8_t* digest, uint8_t* out, size_t* outLength,
                 QOXRandomContext*, int format) {
  PkSecretRecord* record = qoxPkSec(key);
  if (record->locked) return kQOXErrKeyLocked;
  if (hash == nullptr || digest == nullptr || out == nullptr) return kQOXErrBadParams;
  const BigNum* n = &record->publicNumbers[kN];
  const unsigned B = NBytes(n);
  const size_t maxsig = MaxSig(n, format);
  if (maxsig == 0) return kQOXErrBadParams;
  const size_t prefixLength = format == kQOXPublicKeyFormat_RawDigest ? 0 : hash->derPrefixLength;
  const size_t blockLength = prefixLength + hash->digestSize;
  if (blockLength > maxsig) return kQOXErrPublicKeyTooSmall;
  // A digest without a hash record (a raw digest) has no prefix at all.
  if (prefixLength != 0) std::memcpy(out, hash->derPrefix, prefixLength);
  std::memcpy(out + prefixLength, digest, hash->digestSize);
  QOXMemoryMgr* mgr = qoxPkMemoryMgr(key->context);
  BigNumScope m(mgr, true);
  int err = qoxPKCSPack(m.get(), out, blockLength, 1, B, nullptr);
  bniMemWipe(out, blockLength);
  if (err != 0) return err;
  if (PrivateOp(record, m.get()) != 0) return kQOXErrOutOfMemory;
  size_t written;
  if (format == kQOXPublicKeyFormat_X509) {
    written = NBytes(m.get());
    bnExtractBigBytes(m.get(), out, 0, static_cast<unsigned>(written));
  } else {
    written = qoxBnPutFormatted(m.get(), out, B, format);
  }
  if (outLength != nullptr) *outLength = written;
  return kQOXErrNoErr;
}

QOXError rsaDecrypt(QOXSecKey* key, const uint8_t* esk, size_t eskLength, uint8_t* out, size_t* outLength,
                    const char* passphrase, size_t passLength, int format) {
  PkSecretRecord* record = qoxPkSec(key);
  if (esk == nullptr || out == nullptr) return kQOXErrBadParams;
  if (record->locked) {
    int unlocked = rsaUnlock(key, passphrase, passLength, 0);
    if (unlocked < 0) return unlocked;
    if (unlocked == 0) return kQOXErrKeyLocked;
  }
  if (eskLength < 2) return kQOXErrSessionKeyTooShort;
  const BigNum* n = &record->publicNumbers[kN];
  const unsigned B = NBytes(n);
  QOXMemoryMgr* mgr = qoxPkMemoryMgr(key->context);
  BigNumScope m(mgr, true);
  int used = qoxBnGetFormatted(m.get(), esk, eskLength, B, format);
  if (used < 0) return used;
  if (used == 0) return kQOXErrSessionKeyTooShort;
  if (PrivateOp(record, m.get()) != 0) return kQOXErrOutOfMemory;
  const size_t maxOut = MaxDecrypted(n);
  int length = qoxPKCSUnpack(out, maxOut, m.get(), 2, B);
  if (length < 0) return length;
  if (static_cast<size_t>(length) > maxOut || length < 3) return kQOXErrCorruptData;
  size_t delivered = static_cast<size_t>(length);
  if (format == kQOXPublicKeyFormat_MPI) {
    QOXError check = qoxSessionBlockCheck(out, &delivered);
    if (check != kQOXErrNoErr) return check;
  }
  if (outLength != nullptr) *outLength = delivered;
  return kQOXErrNoErr;
}

QOXError rsaChangeLock(QOXSecKey* key, QOXEnv* env, QOXRandomContext* rc, const char* passphrase, size_t length,
                       int s2kKind) {
  PkSecretRecord* record = qoxPkSec(key);
  if (record->locked) return kQOXErrKeyLocked;
  const BigNum* pub[] = {&record->publicNumbers[kN], &record->publicNumbers[kE]};
  const BigNum* sec[] = {&record->secretNumbers[kD], &record->secretNumbers[kPrimeP],
                         &record->secretNumbers[kPrimeQ], &record->secretNumbers[kU]};
  const bool oldStyle = record->oldProtection != 0;
  if (passphrase == nullptr || length == 0) {
    return qoxSecretBodyWrite(record->context, rc, nullptr, 0, nullptr, nullptr, pub, 2, sec, 4, oldStyle,
                              &record->body);
  }
  QOXStringToKey* s2k = s2kKind != 0 ? qoxStringToKeyServices().qoxS2Kcreate(record->context, rc, s2kKind)
                                     : qoxStringToKeyServices().qoxS2KdefaultV3(record->context);
  const QOXCipherVTBL* cipher = s2kKind != 0 ? qoxCipherDefaultKey(env) : qoxCipherDefaultKeyV3(env);
  QOXError err = kQOXErrOutOfMemory;
  if (s2k != nullptr && cipher != nullptr && rc != nullptr) {
    err = qoxSecretBodyWrite(record->context, rc, passphrase, length, s2k, cipher, pub, 2, sec, 4, oldStyle,
                             &record->body);
  }
  qoxS2Kdestroy(s2k);
  return err;
}

void FinishSecret(QOXSecKey* key) {
  key->pubkey = rsaPubkey;
  key->unlock = rsaUnlock;
  key->maxesk = rsaSecMaxesk;
  key->maxdecrypted = rsaSecMaxdecrypted;
  key->maxsig = rsaSecMaxsig;
  key->decrypt = rsaDecrypt;
  key->sign = rsaSign;
  key->changeLock = rsaChangeLock;
}

}  // namespace

unsigned rsaKeyTooBig(const BigNum* n, const BigNum* other) {
  if (bnBits(n) > kMaxBits || (other != nullptr && bnBits(other) > kMaxBits)) return kMaxBits;
  return 0;
}

namespace {

// The CRT's one block of temporaries: secure memory of x's manager.
void* CrtAlloc(void* ctx, unsigned bytes) { return bniMemAlloc(static_cast<QOXMemoryMgr*>(ctx), true, bytes); }
void CrtFree(void*, void* block, unsigned bytes) { bniMemFree(block, bytes); }

unsigned Words(const BigNum* n) { return (bnBits(n) + 31) / 32; }

}  // namespace

int bnExpModCRA(BigNum* x, const BigNum* d, const BigNum* p, const BigNum* q, const BigNum* u) {
  const unsigned np = Words(p), nq = Words(q);
  if (np == 0 || nq == 0 || (bnLSWord(p) & 1) == 0 || (bnLSWord(q) & 1) == 0) return kQOXErrOutOfMemory;
  // x grows to the length of p q first (keeping its value); the result is
  // written into it once the operation has read it.
  if (bnPrealloc(x, 32 * (np + nq)) < 0) return kQOXErrOutOfMemory;
  BniAllocator al{CrtAlloc, CrtFree, x->memMgr};
  if (bniExpModCRT_32(x->words, x->words, Words(x), d->words, Words(d), p->words, np, q->words, nq, u->words,
                      Words(u), al) != 0) {
    return kQOXErrOutOfMemory;
  }
  x->size = np + nq;
  bnNorm(x);
  return 0;
}

int rsaPubKeyPrefixSize(const uint8_t* buffer, size_t length) { return qoxBnParse(buffer, length, 2, nullptr); }

QOXPubKey* rsaPubFromBuf(QOXContext* context, const uint8_t* buffer, size_t length, QOXError* error) {
  if (length < 4) {
    *error = kQOXErrKeyPacketTruncated;
    return nullptr;
  }
  ostrak::ByteCursor c(buffer, length);
  uint16_t nBits = 0, eBits = 0;
  const uint8_t* nBody;
  const uint8_t* eBody;
  c.get_u16be(&nBits);
  if (nBits == 0 || (c.data()[0] >> ((nBits - 1) % 8)) != 1) {
    *error = kQOXErrKeyModulusMalformed;
    return nullptr;
  }
  const size_t nBytes = (nBits + 7u) / 8u;
  if (c.remaining() < nBytes + 2) {
    *error = kQOXErrKeyPacketTruncated;
    return nullptr;
  }
  c.get_view(nBytes, &nBody);
  if ((nBody[nBytes - 1] & 1) == 0) {
    *error = kQOXErrRSAPublicModulusEven;
    return nullptr;
  }
  c.get_u16be(&eBits);
  if (eBits == 0) {
    *error = kQOXErrKeyExponentMalformed;
    return nullptr;
  }
  uint8_t eFirst;
  if (!c.peek_u8(&eFirst)) {
    *error = kQOXErrKeyPacketTruncated;
    return nullptr;
  }
  if ((eFirst >> ((eBits - 1) % 8)) != 1) {
    *error = kQOXErrKeyExponentMalformed;
    return nullptr;
  }
  if (!c.get_view((eBits + 7u) / 8u, &eBody)) {
    *error = kQOXErrKeyPacketTruncated;
    return nullptr;
  }
  if (nBits > kMaxBits) {
    *error = kQOXErrKeyTooLarge;
    return nullptr;
  }
  QOXPubKey* key = qoxPkPubNew(context, kRSA, 2);
  PkPublicRecord* record = key != nullptr ? qoxPkPub(key) : nullptr;
  if (record == nullptr || qoxBnGetPlain(&record->numbers[kN], buffer, length) <= 0 ||
      qoxBnGetPlain(&record->numbers[kE], buffer + 2 + nBytes, length - 2 - nBytes) <= 0) {
    qoxPkPubDestroy(key);
    *error = kQOXErrOutOfMemory;
    return nullptr;
  }
  FinishPublic(key);
  *error = kQOXErrNoErr;
  return key;
}

QOXSecKey* rsaSecFromBuf(QOXContext* context, const uint8_t* buffer, size_t length, bool oldProtection,
                         QOXError* error) {
  QOXSecKey* key =
      qoxPkSecFromBuf(context, kRSA, 2, 4, buffer, length, oldProtection, FinishSecret, kQOXErrOutOfMemory, error);
  if (key != nullptr && rsaKeyTooBig(&qoxPkSec(key)->publicNumbers[kN], nullptr) != 0) {
    qoxPkSecDestroy(key);
    *error = kQOXErrKeyTooLarge;
    return nullptr;
  }
  return key;
}

QOXSecKey* rsaSecGenerate(QOXContext* context, unsigned bits, bool, bool oldProtection, QOXRandomContext* rc,
                          QOXKeyGenProgress progress, void* progressArg, QOXError* error) {
  if (rc == nullptr || bits < 64) {
    *error = kQOXErrBadParams;
    return nullptr;
  }
  if (bits > kMaxBits) {
    *error = kQOXErrKeyTooLarge;
    return nullptr;
  }
  QOXSecKey* key = qoxPkSecNew(context, kRSA, 2, 4, nullptr, 0, oldProtection, error);
  if (key == nullptr) return nullptr;
  FinishSecret(key);
  PkSecretRecord* record = qoxPkSec(key);
  BigNum* n = &record->publicNumbers[kN];
  BigNum* e = &record->publicNumbers[kE];
  BigNum* d = &record->secretNumbers[kD];
  BigNum* p = &record->secretNumbers[kPrimeP];
  BigNum* q = &record->secretNumbers[kPrimeQ];
  BigNum* u = &record->secretNumbers[kU];
  QOXMemoryMgr* mgr = qoxPkMemoryMgr(context);
  BigNumScope t(mgr, true), p1(mgr, true), q1(mgr, true), g(mgr, true);
  bool ok = false;
  do {
    if (bnSetQ(e, 65537) < 0) break;
    const unsigned pBits = bits / 2;
    const unsigned qBits = (bits + 1) / 2;
    if (qoxBnGenRand(p, rc, pBits, 0xC0, 1, pBits - 3) < 0) break;
    if (bnPrimeGen(p, qoxPkRandomIndex, rc, progress, progressArg, 65537u, 0u) < 0) break;
    bool first = true, failed = false;
    for (;;) {
      if (qoxPkProgress(progress, progressArg, ' ') < 0 ||
          qoxBnGenRand(q, rc, qBits, 0xC0, 1, first ? qBits - 3 : 0) < 0 || bnCopy(t.get(), q) < 0 ||
          bnSub(t.get(), p) < 0) {
        failed = true;
        break;
      }
      first = false;
      if (bnBits(t.get()) + 5 >= pBits) break;
    }
    if (failed) break;
    if (bnPrimeGen(q, qoxPkRandomIndex, rc, progress, progressArg, 65537u, 0u) < 0) break;
    rc->vtbl->stir(rc->priv);
    if (bnCmp(p, q) > 0) bnSwap(p, q);
    // d = e^-1 mod lcm(p - 1, q - 1); u = p^-1 mod q; n = p q.
    if (bnCopy(p1.get(), p) < 0 || bnSubQ(p1.get(), 1) < 0 || bnCopy(q1.get(), q) < 0 || bnSubQ(q1.get(), 1) < 0 ||
        bnGcd(g.get(), p1.get(), q1.get()) < 0 || bnDivMod(t.get(), p1.get(), p1.get(), g.get()) < 0 ||
        bnMul(t.get(), t.get(), q1.get()) < 0 || bnInv(d, e, t.get()) != 0 || bnInv(u, p, q) != 0 ||
        bnMul(n, p, q) < 0) {
      break;
    }
    record->locked = 0;
    if (rsaChangeLock(key, nullptr, rc, nullptr, 0, 0) != kQOXErrNoErr) break;
    ok = true;
  } while (false);
  if (!ok) {
    qoxPkSecDestroy(key);
    *error = kQOXErrOutOfMemory;
    return nullptr;
  }
  *error = kQOXErrNoErr;
  return key;
}
