#include "crypto/elgamal.h"

#include <cstring>

#include "crypto/bn_prime.h"
#include "crypto/fixed_groups.h"
#include "crypto/key_encoding.h"
#include "crypto/pk_records.h"
#include "crypto/random_pool.h"
#include "crypto/x917.h"
#include "foundation/context.h"
#include "foundation/sdk_errors.h"

namespace {

constexpr uint8_t kElGamal = 16;
constexpr unsigned kPublicCount = 3;  // p, g, y
constexpr unsigned kMaxBits = 65535;
enum { kP, kG, kY };

unsigned PBytes(const BigNum* p) { return (bnBits(p) + 7) / 8; }

size_t MaxEsk(const BigNum* p, int format) {
  const unsigned P = PBytes(p);
  if (format == kQOXPublicKeyFormat_MPI) return 2 * (P + 2);
  if (format == kQOXPublicKeyFormat_PKCS1 || format == kQOXPublicKeyFormat_RawDigest) return 2 * P;
  return 0;
}

size_t MaxDecrypted(const BigNum* p) {
  const unsigned P = PBytes(p);
  return P < 3 ? 0 : P - 3;
}

// --- Public key ---

size_t elgPubMaxesk(const QOXPubKey* key, int format) { return MaxEsk(&qoxPkPub(key)->numbers[kP], format); }
size_t elgPubMaxdecrypted(const QOXPubKey* key) { return MaxDecrypted(&qoxPkPub(key)->numbers[kP]); }

int elgVerify(const QOXPubKey*, const uint8_t*, size_t, const QOXHashVTBL*, const uint8_t*, int) {
  return kQOXErrUnimplementedPKOperation;
}

QOXError elgEncrypt(const QOXPubKey* key, const uint8_t* data, size_t length, uint8_t* out, size_t* outLength,
                    QOXRandomContext* rc, int format) {
  const PkPublicRecord* record = qoxPkPub(key);
  const BigNum* p = &record->numbers[kP];
  if (data == nullptr || out == nullptr || rc == nullptr) return kQOXErrBadParams;
  // Only the forms whose size maxesk states can be written.
  if (MaxEsk(p, format) == 0) return kQOXErrBadParams;
  if (bnBits(p) > kMaxBits) return kQOXErrPublicKeyTooBig;
  const unsigned P = PBytes(p);
  if (length > P) return kQOXErrPublicKeyTooSmall;
  QOXMemoryMgr* mgr = qoxPkMemoryMgr(key->context);
  const bool sessionBlock = format == kQOXPublicKeyFormat_MPI;
  if (sessionBlock && length == 0) return kQOXErrBadParams;
  size_t blockLength = 0;
  uint8_t* block = qoxSessionBlockPack(mgr, data, length, sessionBlock, &blockLength);
  if (block == nullptr) return kQOXErrOutOfMemory;
  BigNumScope k(mgr, true), a(mgr, false), m(mgr, true), b(mgr, false);
  const unsigned kBits = 3 * qoxDiscreteLogExponentBits(bnBits(p)) / 2;
  QOXError err = kQOXErrNoErr;
  if (qoxBnGenRand(k.get(), rc, kBits, 0, 0, kBits) < 0 ||
      bnExpMod(a.get(), &record->numbers[kG], k.get(), p) < 0 ||
      qoxPKCSPack(m.get(), block, blockLength, 2, P, rc) != 0 ||
      bnExpMod(b.get(), &record->numbers[kY], k.get(), p) < 0 || bnMul(b.get(), b.get(), m.get()) < 0 ||
      bnMod(b.get(), b.get(), p) < 0) {
    err = kQOXErrOutOfMemory;
  }
  bniMemFree(block, blockLength);
  if (err != kQOXErrNoErr) return err;
  size_t written = qoxBnPutFormatted(a.get(), out, P, format);
  written += qoxBnPutFormatted(b.get(), out + written, P, format);
  if (outLength != nullptr) *outLength = written;
  return kQOXErrNoErr;
}

void FinishPublic(QOXPubKey* key) {
  key->maxesk = elgPubMaxesk;
  key->maxdecrypted = elgPubMaxdecrypted;
  key->maxsig = qoxPkPubUnimplementedSize;
  key->encrypt = elgEncrypt;
  key->verify = elgVerify;
}

// --- Secret key ---

const BigNum* SecP(const QOXSecKey* key) { return &qoxPkSec(key)->publicNumbers[kP]; }
size_t elgSecMaxesk(const QOXSecKey* key, int format) { return MaxEsk(SecP(key), format); }
size_t elgSecMaxdecrypted(const QOXSecKey* key) { return MaxDecrypted(SecP(key)); }

QOXError elgSign(QOXSecKey*, const QOXHashVTBL*, const uint8_t*, uint8_t*, size_t*, QOXRandomContext*, int) {
  return kQOXErrUnimplementedPKOperation;
}

bool XBelowP(const PkSecretRecord* record, const BigNum* x) { return bnCmp(x, &record->publicNumbers[kP]) < 0; }

int elgUnlock(QOXSecKey* key, const char* passphrase, size_t length, int hashed) {
  return qoxPkSecUnlockNewStyle(qoxPkSec(key), passphrase, length, hashed != 0, XBelowP);
}

QOXPubKey* elgPubkey(const QOXSecKey* key) { return qoxPkSecPubkey(key, FinishPublic); }

QOXError elgDecrypt(QOXSecKey* key, const uint8_t* esk, size_t eskLength, uint8_t* out, size_t* outLength,
                    const char* passphrase, size_t passLength, int format) {
  PkSecretRecord* record = qoxPkSec(key);
  if (esk == nullptr || out == nullptr) return kQOXErrBadParams;
  if (record->locked) {
    int unlocked = elgUnlock(key, passphrase, passLength, 0);
    if (unlocked < 0) return unlocked;
    if (unlocked == 0) return kQOXErrKeyLocked;
  }
  const BigNum* p = &record->publicNumbers[kP];
  const unsigned P = PBytes(p);
  QOXMemoryMgr* mgr = qoxPkMemoryMgr(key->context);
  BigNumScope a(mgr, false), b(mgr, false), m(mgr, true);
  size_t offset = 0;
  for (BigNum* n : {a.get(), b.get()}) {
    int used = qoxBnGetFormatted(n, esk + offset, eskLength - offset, P, format);
    if (used < 0) return used;
    if (used == 0) return kQOXErrSessionKeyTooShort;
    offset += static_cast<size_t>(used);
  }
  if (offset != eskLength) return kQOXErrSessionKeyTooShort;
  // m = b / a^x mod p
  if (bnExpMod(m.get(), a.get(), &record->secretNumbers[0], p) < 0) return kQOXErrOutOfMemory;
  int rc = bnInv(m.get(), m.get(), p);
  if (rc < 0) return kQOXErrOutOfMemory;
  if (rc > 0) return kQOXErrCorruptData;
  if (bnMul(m.get(), m.get(), b.get()) < 0 || bnMod(m.get(), m.get(), p) < 0) return kQOXErrOutOfMemory;
  const size_t maxOut = MaxDecrypted(p);
  int length = qoxPKCSUnpack(out, maxOut, m.get(), 2, P);
  if (length < 0) return length;
  if (static_cast<size_t>(length) > maxOut) return kQOXErrCorruptData;
  size_t delivered = static_cast<size_t>(length);
  if (format == kQOXPublicKeyFormat_MPI) {
    QOXError err = qoxSessionBlockCheck(out, &delivered);
    if (err != kQOXErrNoErr) return err;
  }
  if (outLength != nullptr) *outLength = delivered;
  return kQOXErrNoErr;
}

QOXError elgChangeLock(QOXSecKey* key, QOXEnv* env, QOXRandomContext* rc, const char* passphrase, size_t length,
                       int s2kKind) {
  return qoxPkSecChangeLockNewStyle(key, env, rc, passphrase, length, s2kKind);
}

void FinishSecret(QOXSecKey* key) {
  key->pubkey = elgPubkey;
  key->unlock = elgUnlock;
  key->maxesk = elgSecMaxesk;
  key->maxdecrypted = elgSecMaxdecrypted;
  key->maxsig = qoxPkSecUnimplementedSize;
  key->decrypt = elgDecrypt;
  key->sign = elgSign;
  key->changeLock = elgChangeLock;
}

QOXError CheckPublic(const uint8_t* buffer, size_t length, size_t* offsets) {
  int total = qoxBnParse(buffer, length, kPublicCount, offsets);
  if (total < 0) return total;
  return qoxMPIIsOdd(buffer, offsets[kP]) ? kQOXErrNoErr : kQOXErrKeyComponentMalformed;
}

}  // namespace

int elgPubKeyPrefixSize(const uint8_t* buffer, size_t length) {
  return qoxBnParse(buffer, length, kPublicCount, nullptr);
}

QOXPubKey* elgPubFromBuf(QOXContext* context, const uint8_t* buffer, size_t length, QOXError* error) {
  size_t offsets[kPublicCount];
  *error = CheckPublic(buffer, length, offsets);
  if (*error != kQOXErrNoErr) return nullptr;
  QOXPubKey* key = qoxPkPubNew(context, kElGamal, kPublicCount);
  if (key == nullptr) {
    *error = kQOXErrOutOfMemory;
    return nullptr;
  }
  if (qoxPkPubRead(qoxPkPub(key), buffer, length) != kQOXErrNoErr) {
    qoxPkPubDestroy(key);
    *error = kQOXErrUnknownError2;
    return nullptr;
  }
  FinishPublic(key);
  return key;
}

QOXSecKey* elgSecFromBuf(QOXContext* context, const uint8_t* buffer, size_t length, QOXError* error) {
  return qoxPkSecFromBuf(context, kElGamal, kPublicCount, 1, buffer, length, false, FinishSecret, kQOXErrUnknownError2,
                         error);
}

QOXSecKey* elgSecGenerate(QOXContext* context, unsigned bits, bool fast, QOXRandomContext* rc,
                          QOXKeyGenProgress progress, void* progressArg, QOXError* error) {
  if (rc == nullptr || bits < 64) {
    *error = kQOXErrBadParams;
    return nullptr;
  }
  QOXSecKey* key = qoxPkSecNew(context, kElGamal, kPublicCount, 1, nullptr, 0, false, error);
  if (key == nullptr) return nullptr;
  FinishSecret(key);
  PkSecretRecord* record = qoxPkSec(key);
  BigNum* p = &record->publicNumbers[kP];
  BigNum* g = &record->publicNumbers[kG];
  BigNum* y = &record->publicNumbers[kY];
  BigNum* x = &record->secretNumbers[0];
  QOXMemoryMgr* mgr = qoxPkMemoryMgr(context);
  BigNumScope q(mgr, false), step(mgr, false), t(mgr, false), check(mgr, false);
  QOXRandomContext* prng = nullptr;
  bool ok = false;
  do {
    const uint8_t* fp;
    const uint8_t* fg;
    size_t fpLength, fgLength;
    if (fast && qoxElGfixed(bits, &fp, &fpLength, &fg, &fgLength)) {
      qoxPkProgress(progress, progressArg, ' ');
      if (bnInsertBigBytes(p, fp, 0, static_cast<unsigned>(fpLength)) < 0) break;
      qoxPkProgress(progress, progressArg, ' ');
      if (bnInsertBigBytes(g, fg, 0, static_cast<unsigned>(fgLength)) < 0) break;
    } else {
      prng = qoxPseudoRandomCreate(rc->context != nullptr ? rc->context : context);
      if (prng == nullptr) break;
      uint8_t seed[8];
      qoxRandomGetBytes(rc, seed, sizeof(seed));
      prng->vtbl->addBytes(prng->priv, seed, sizeof(seed));
      bniMemWipe(seed, sizeof(seed));
      unsigned n = 0;
      for (unsigned v = bits; v != 0; v >>= 1) ++n;
      const unsigned s = n + (n + 1) / 2;
      if (qoxBnGenRand(q.get(), prng, bits - s, 0x80, 1, bits - s - 2) < 0) break;
      if (bnPrimeGen(q.get(), nullptr, nullptr, progress, progressArg, 0) < 0) break;
      if (qoxPkProgress(progress, progressArg, ' ') < 0) break;
      if (bnCopy(step.get(), q.get()) < 0 || bnLShift(step.get(), 1) < 0) break;
      // The search climbs in steps of 2q, a large step, so from a start near
      // the top it can pass 2^bits (about one start in sixteen): such a p has
      // one bit too many, and the search starts again from a new random p.
      bool found = false, failed = false;
      for (int attempt = 0; !found && !failed && attempt < 64; ++attempt) {
        if (qoxBnGenRand(p, prng, bits, 0xC0, 1, s - 3) < 0) {
          failed = true;
          break;
        }
        if (bnMod(t.get(), p, step.get()) < 0 || bnSub(p, t.get()) < 0 || bnAddQ(p, 1) < 0) {
          failed = true;
          break;
        }
        while (!found && !failed) {
          if (bnPrimeGenStrong(p, step.get(), progress, progressArg) < 0) {
            failed = true;
            break;
          }
          qoxPkProgress(progress, progressArg, ' ');
          // t = 2 * (p / 2q); 2 must not have order dividing t.
          if (bnDivMod(t.get(), check.get(), p, step.get()) < 0 || bnLShift(t.get(), 1) < 0 ||
              bnTwoExpMod(check.get(), t.get(), p) < 0) {
            failed = true;
            break;
          }
          if (bnBits(check.get()) > 1) {
            found = true;
          } else {
            qoxPkProgress(progress, progressArg, ' ');
            if (bnAdd(p, step.get()) < 0) failed = true;
          }
        }
        if (found && bnBits(p) != bits) found = false;
      }
      if (failed || !found) break;
      if (bnSetQ(g, 2) < 0) break;
    }
    const unsigned xBits = 3 * qoxDiscreteLogExponentBits(bits) / 2;
    if (qoxBnGenRand(x, rc, xBits, 0, 0, xBits) < 0 || bnExpMod(y, g, x, p) < 0) break;
    record->locked = 0;
    if (elgChangeLock(key, nullptr, rc, nullptr, 0, 0) != kQOXErrNoErr) break;
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
