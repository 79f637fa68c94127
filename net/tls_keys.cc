// The TLS engine's key schedule and record protection arithmetic for TLS 1.0
// (RFC 2246) and SSL 3.0: the PRF, master secret, key block and key records,
// their activation, the record MAC, and the Finished and CertificateVerify
// values.
#include <algorithm>
#include <cstring>

#include "crypto/cbc.h"
#include "crypto/cipher.h"
#include "crypto/hash.h"
#include "crypto/hmac.h"
#include "foundation/byte_order.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "net/tls_internal.h"

namespace {

constexpr uint8_t kPad1 = 0x36;
constexpr uint8_t kPad2 = 0x5C;
constexpr size_t kMD5Size = 16;
constexpr size_t kSHA1Size = 20;

void Wipe(void* p, size_t n) {
  volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
  while (n--) *v++ = 0;
}

// SSL 3.0 pad length for a hash: 48 for MD5, 40 for SHA-1.
size_t SSL3PadLength(const QOXHashVTBL* vtbl) { return vtbl == &HashMD5 ? 48 : 40; }

QOXError Feed(QOXHashContext* h, const void* bytes, size_t n) {
  if (n == 0) return kQOXErrNoErr;
  h->vtbl->update(h->state, bytes, n);
  return kQOXErrNoErr;
}

void FeedPad(QOXHashContext* h, uint8_t pad, size_t n) {
  uint8_t bytes[48];
  std::memset(bytes, pad, n);
  h->vtbl->update(h->state, bytes, n);
}

// P_hash of RFC 2246 over HMAC with `alg`: ceil(length / digest) blocks
// into out (which must hold them all).
QOXError PHash(QOXtlsSession* s, QOXHashAlgorithm alg, const uint8_t* secret, uint32_t secretLength,
               const uint8_t* seed, size_t seedLength, uint8_t* out, uint32_t length) {
  QOXHMACContext* hmac = nullptr;
  QOXError err = QOXNewHMACContext(s->context, alg, secret, secretLength, &hmac);
  if (err != kQOXErrNoErr) return err;
  const size_t digest = alg == kQOXHashAlgorithm_MD5 ? kMD5Size : kSHA1Size;
  uint8_t a[kSHA1Size];
  // A(1) = HMAC(seed)
  err = QOXContinueHMAC(hmac, seed, seedLength);
  if (err == kQOXErrNoErr) err = QOXFinalizeHMAC(hmac, a);
  for (uint32_t done = 0; err == kQOXErrNoErr && done < length; done += static_cast<uint32_t>(digest)) {
    // Block i = HMAC(A(i) + seed); A(i+1) = HMAC(A(i)).
    if ((err = QOXResetHMAC(hmac)) != kQOXErrNoErr) break;
    QOXContinueHMAC(hmac, a, digest);
    QOXContinueHMAC(hmac, seed, seedLength);
    if ((err = QOXFinalizeHMAC(hmac, out + done)) != kQOXErrNoErr) break;
    QOXResetHMAC(hmac);
    QOXContinueHMAC(hmac, a, digest);
    err = QOXFinalizeHMAC(hmac, a);
  }
  Wipe(a, sizeof a);
  QOXFreeHMACContext(hmac);
  return err;
}

// The handshake hash state of a Finished or CertificateVerify: the snapshots
// when there are some, else copies of the running hashes. Both returned
// contexts are freed by ReleaseHandshakeState.
QOXError TakeHandshakeState(QOXtlsSession* s, QOXHashContext** md5, QOXHashContext** sha) {
  if (s->snapshotMD5 != nullptr && s->snapshotSHA != nullptr) {
    *md5 = s->snapshotMD5;
    *sha = s->snapshotSHA;
    s->snapshotMD5 = s->snapshotSHA = nullptr;
    return kQOXErrNoErr;
  }
  qoxTLSFreeSnapshots(s);
  if (s->handshakeMD5 == nullptr || s->handshakeSHA == nullptr) return kQOXErrTLSHandshakeViolation;
  *md5 = qoxHashCopy(s->handshakeMD5);
  *sha = qoxHashCopy(s->handshakeSHA);
  if (*md5 == nullptr || *sha == nullptr) {
    if (*md5 != nullptr) QOXFreeHashContext(*md5);
    if (*sha != nullptr) QOXFreeHashContext(*sha);
    return kQOXErrOutOfMemory;
  }
  return kQOXErrNoErr;
}

void ReleaseHandshakeState(QOXHashContext* md5, QOXHashContext* sha) {
  QOXFreeHashContext(md5);
  QOXFreeHashContext(sha);
}

// SSL 3.0: hash(master, pad2, hash(handshake, sender, master, pad1)), over a
// context that holds the handshake already; the context is reused.
void SSL3HandshakeMAC(QOXtlsSession* s, QOXHashContext* h, const char* sender, uint8_t* out) {
  const size_t pad = SSL3PadLength(h->vtbl);
  if (sender != nullptr) Feed(h, sender, 4);
  Feed(h, s->masterSecret, kQOXtlsMasterSecretSize);
  FeedPad(h, kPad1, pad);
  uint8_t inner[kSHA1Size];
  const size_t n = h->vtbl->digestSize;
  std::memcpy(inner, qoxHashFinal(h), n);
  h->vtbl->init(h->state);
  Feed(h, s->masterSecret, kQOXtlsMasterSecretSize);
  FeedPad(h, kPad2, pad);
  Feed(h, inner, n);
  std::memcpy(out, qoxHashFinal(h), n);
  Wipe(inner, sizeof inner);
}

uint32_t MacLengthOf(uint32_t hash) { return hash == kQOXHashAlgorithm_MD5 ? 16 : 20; }

uint32_t KeyLengthOf(uint32_t cipher) {
  switch (cipher) {
    case kQOXCipherAlgorithm_IDEA:
    case kQOXCipherAlgorithm_CAST5: return 16;
    case kQOXCipherAlgorithm_3DES: return 24;
    default: return 0;
  }
}

// One block of the SSL 3.0 master secret or key block:
// MD5(secret, SHA-1(L x i, secret, random1, random2)).
QOXError SSL3Block(QOXtlsSession* s, const uint8_t* secret, uint32_t secretLength, uint32_t round,
                   const uint8_t* random1, const uint8_t* random2, uint8_t out[16]) {
  if (round == 0 || round > 26) return kQOXErrBadParams;
  QOXHashContext* sha = qoxHashCreate(s->memoryMgr, &HashSHA);
  QOXHashContext* md5 = qoxHashCreate(s->memoryMgr, &HashMD5);
  if (sha == nullptr || md5 == nullptr) {
    if (sha != nullptr) QOXFreeHashContext(sha);
    if (md5 != nullptr) QOXFreeHashContext(md5);
    return kQOXErrOutOfMemory;
  }
  FeedPad(sha, static_cast<uint8_t>(0x40 + round), round);
  Feed(sha, secret, secretLength);
  Feed(sha, random1, 32);
  Feed(sha, random2, 32);
  uint8_t inner[kSHA1Size];
  std::memcpy(inner, qoxHashFinal(sha), kSHA1Size);
  Feed(md5, secret, secretLength);
  Feed(md5, inner, kSHA1Size);
  std::memcpy(out, qoxHashFinal(md5), kMD5Size);
  Wipe(inner, sizeof inner);
  QOXFreeHashContext(sha);
  QOXFreeHashContext(md5);
  return kQOXErrNoErr;
}

QOXtlsKeyRecord* NewKeyRecord(QOXtlsSession* s) {
  return static_cast<QOXtlsKeyRecord*>(
      QOXNewSecureData(s->memoryMgr, sizeof(QOXtlsKeyRecord), kQOXMemoryMgrFlags_Clear));
}

QOXError Activate(QOXtlsSession* s, QOXtlsKeyRecord** active, QOXCBCContext** cbc, QOXtlsKeyRecord** pending) {
  if (*pending == nullptr) return kQOXErrTLSHandshakeViolation;
  qoxTLSFreeKeyRecord(*active);
  if (*cbc != nullptr) QOXFreeCBCContext(*cbc);
  *cbc = nullptr;
  *active = *pending;
  *pending = nullptr;
  const uint32_t cipher = qoxTLSSuite(s).cipher;
  if (cipher == 0) return kQOXErrNoErr;
  QOXSymmetricCipherContext* sym = nullptr;
  QOXError err = qoxNewSymmetricCipherContextInternal(s->memoryMgr, cipher, &sym);
  if (err != kQOXErrNoErr) return err;
  if ((err = QOXNewCBCContext(sym, cbc)) != kQOXErrNoErr) return err;  // the CBC context owns sym
  return QOXInitCBC(*cbc, (*active)->key, (*active)->iv);
}

}  // namespace

bool qoxTLSEqualConstantTime(const uint8_t* a, const uint8_t* b, size_t n) {
  uint8_t diff = 0;
  for (size_t i = 0; i < n; ++i) diff |= static_cast<uint8_t>(a[i] ^ b[i]);
  return diff == 0;
}

void qoxTLSFreeSnapshots(QOXtlsSession* s) {
  if (s->snapshotSHA != nullptr) QOXFreeHashContext(s->snapshotSHA);
  if (s->snapshotMD5 != nullptr) QOXFreeHashContext(s->snapshotMD5);
  s->snapshotSHA = s->snapshotMD5 = nullptr;
}

void qoxTLSFreeKeyRecord(QOXtlsKeyRecord* record) {
  if (record == nullptr) return;
  if (record->hmac != nullptr) QOXFreeHMACContext(record->hmac);
  QOXFreeData(record);  // a secure block: wiped on the way out
}

QOXError qoxTLSPRF(QOXtlsSession* s, const uint8_t* secret, uint32_t secretLength, const char* label,
                   const uint8_t* seed, uint32_t seedLength, uint8_t* out, uint32_t outLength) {
  if (outLength > kQOXtlsPRFMaxOutput || label == nullptr || (seed == nullptr && seedLength != 0))
    return kQOXErrBadParams;
  const size_t labelLength = std::strlen(label);
  uint8_t workSeed[256];
  if (labelLength + seedLength > sizeof workSeed) return kQOXErrBadParams;
  std::memcpy(workSeed, label, labelLength);
  if (seedLength != 0) std::memcpy(workSeed + labelLength, seed, seedLength);
  const size_t workLength = labelLength + seedLength;
  // S1 the first ceil(n/2) bytes, S2 the last ceil(n/2): they share the
  // middle byte when n is odd.
  const uint32_t half = (secretLength + 1) / 2;
  uint8_t md5Stream[128];
  uint8_t shaStream[128];
  QOXError err = PHash(s, kQOXHashAlgorithm_MD5, secret, half, workSeed, workLength, md5Stream, outLength);
  if (err == kQOXErrNoErr)
    err = PHash(s, kQOXHashAlgorithm_SHA, secret + (secretLength - half), half, workSeed, workLength, shaStream,
                outLength);
  if (err == kQOXErrNoErr)
    for (uint32_t i = 0; i < outLength; ++i) out[i] = md5Stream[i] ^ shaStream[i];
  Wipe(md5Stream, sizeof md5Stream);
  Wipe(shaStream, sizeof shaStream);
  return err;
}

QOXError qoxTLSPRFTest(QOXtlsSession* s) {
  static constexpr uint8_t kExpected[16] = {0xcd, 0x7c, 0xa2, 0xcb, 0x9a, 0x6a, 0x3c, 0x6f,
                                            0x34, 0x5c, 0x46, 0x65, 0xa8, 0xb6, 0x81, 0x6b};
  uint8_t secret[48], seed[64], out[104];
  std::memset(secret, 0xAB, sizeof secret);
  std::memset(seed, 0xCD, sizeof seed);
  QOXError err = qoxTLSPRF(s, secret, sizeof secret, "PRF Testvector", seed, sizeof seed, out, sizeof out);
  if (err != kQOXErrNoErr) return err;
  QOXHashContext* md5 = qoxHashCreate(s->memoryMgr, &HashMD5);
  if (md5 == nullptr) return kQOXErrOutOfMemory;
  Feed(md5, out, sizeof out);
  const bool same = std::memcmp(qoxHashFinal(md5), kExpected, sizeof kExpected) == 0;
  QOXFreeHashContext(md5);
  return same ? kQOXErrNoErr : kQOXErrCorruptData;
}

QOXError ssl3MasterSecret16(QOXtlsSession* s, const uint8_t* premaster, uint32_t length, uint32_t round,
                            uint8_t out[16]) {
  return SSL3Block(s, premaster, length, round, s->clientRandom, s->serverRandom, out);
}

QOXError qoxTLSCalculateMasterSecret(QOXtlsSession* s, const uint8_t* premaster, uint32_t length) {
  if (premaster == nullptr && length != 0) return kQOXErrBadParams;
  auto* master = static_cast<uint8_t*>(QOXNewSecureData(s->memoryMgr, kQOXtlsMasterSecretSize, kQOXMemoryMgrFlags_Clear));
  if (master == nullptr) return kQOXErrOutOfMemory;
  QOXError err = kQOXErrNoErr;
  if (s->minorVersion == kQOXtlsMinorTLS10) {
    uint8_t randoms[64];
    std::memcpy(randoms, s->clientRandom, 32);
    std::memcpy(randoms + 32, s->serverRandom, 32);
    err = qoxTLSPRF(s, premaster, length, "master secret", randoms, sizeof randoms, master,
                    kQOXtlsMasterSecretSize);
  } else {
    for (uint32_t round = 1; err == kQOXErrNoErr && round <= 3; ++round)
      err = ssl3MasterSecret16(s, premaster, length, round, master + 16 * (round - 1));
  }
  if (err != kQOXErrNoErr) {
    QOXFreeData(master);
    return err;
  }
  if (s->masterSecret != nullptr) QOXFreeData(s->masterSecret);
  s->masterSecret = master;
  return kQOXErrNoErr;
}

QOXError tlsCalculateKeyBlock(QOXtlsSession* s, uint8_t* out, uint32_t length) {
  uint8_t randoms[64];
  std::memcpy(randoms, s->serverRandom, 32);
  std::memcpy(randoms + 32, s->clientRandom, 32);
  return qoxTLSPRF(s, s->masterSecret, kQOXtlsMasterSecretSize, "key expansion", randoms, sizeof randoms, out,
                   length);
}

QOXError ssl3CalculateKeyBlock(QOXtlsSession* s, uint8_t* out, uint32_t length) {
  uint8_t block[16];
  QOXError err = kQOXErrNoErr;
  for (uint32_t i = 1, done = 0; err == kQOXErrNoErr && done < length; ++i, done += 16) {
    err = SSL3Block(s, s->masterSecret, kQOXtlsMasterSecretSize, i, s->serverRandom, s->clientRandom, block);
    if (err == kQOXErrNoErr) std::memcpy(out + done, block, std::min<uint32_t>(16, length - done));
  }
  Wipe(block, sizeof block);
  return err;
}

QOXError qoxTLSCalculateKeys(QOXtlsSession* s) {
  if (s->masterSecret == nullptr || s->negotiatedSuite >= s->suiteCount) return kQOXErrTLSHandshakeViolation;
  const QOXtlsCipherSuite& suite = qoxTLSSuite(s);
  s->macLength = MacLengthOf(suite.hash);
  s->keyLength = KeyLengthOf(suite.cipher);
  const uint32_t ivLength = suite.cipher != 0 ? 8 : 0;
  const uint32_t length = 2 * s->macLength + 2 * s->keyLength + 2 * ivLength;
  auto* block = static_cast<uint8_t*>(QOXNewSecureData(s->memoryMgr, length, kQOXMemoryMgrFlags_Clear));
  QOXtlsKeyRecord* client = NewKeyRecord(s);
  QOXtlsKeyRecord* server = NewKeyRecord(s);
  QOXError err = block == nullptr || client == nullptr || server == nullptr ? kQOXErrOutOfMemory : kQOXErrNoErr;
  if (err == kQOXErrNoErr)
    err = s->minorVersion == kQOXtlsMinorTLS10 ? tlsCalculateKeyBlock(s, block, length)
                                               : ssl3CalculateKeyBlock(s, block, length);
  if (err == kQOXErrNoErr) {
    // client MAC, server MAC, client key, server key, client IV, server IV
    const uint8_t* p = block;
    std::memcpy(client->macSecret, p, s->macLength), p += s->macLength;
    std::memcpy(server->macSecret, p, s->macLength), p += s->macLength;
    std::memcpy(client->key, p, s->keyLength), p += s->keyLength;
    std::memcpy(server->key, p, s->keyLength), p += s->keyLength;
    std::memcpy(client->iv, p, ivLength), p += ivLength;
    std::memcpy(server->iv, p, ivLength);
    qoxTLSFreeKeyRecord(s->pendingClientWriteKeys);
    qoxTLSFreeKeyRecord(s->pendingServerWriteKeys);
    s->pendingClientWriteKeys = client;
    s->pendingServerWriteKeys = server;
    client = server = nullptr;
  }
  if (block != nullptr) QOXFreeData(block);
  qoxTLSFreeKeyRecord(client);
  qoxTLSFreeKeyRecord(server);
  return err;
}

QOXError qoxTLSActivateWriteKeys(QOXtlsSession* s) {
  return Activate(s, &s->writeKeys, &s->writeCipher,
                  s->clientSide ? &s->pendingClientWriteKeys : &s->pendingServerWriteKeys);
}

QOXError qoxTLSActivateReadKeys(QOXtlsSession* s) {
  return Activate(s, &s->readKeys, &s->readCipher,
                  s->clientSide ? &s->pendingServerWriteKeys : &s->pendingClientWriteKeys);
}

QOXError qoxTLSCalculateMAC(QOXtlsSession* s, uint32_t direction, uint8_t contentType, const uint8_t* fragment,
                            uint32_t length, uint8_t* out) {
  QOXtlsKeyRecord* rec = direction == kQOXtlsDirection_Write ? s->writeKeys : s->readKeys;
  if (rec == nullptr) return kQOXErrTLSHandshakeViolation;
  const uint32_t hash = qoxTLSSuite(s).hash;
  QOXError err = kQOXErrNoErr;
  if (s->minorVersion == kQOXtlsMinorTLS10) {
    if (rec->hmac == nullptr &&
        (err = QOXNewHMACContext(s->context, hash, rec->macSecret, s->macLength, &rec->hmac)) != kQOXErrNoErr)
      return err;
    uint8_t header[13];
    std::memcpy(header, rec->sequence, 8);
    header[8] = contentType;
    header[9] = kQOXtlsMajorVersion;
    header[10] = s->minorVersion;
    StoreBE16(header + 11, static_cast<uint16_t>(length));
    QOXContinueHMAC(rec->hmac, header, sizeof header);
    if (length != 0) QOXContinueHMAC(rec->hmac, fragment, length);
    err = QOXFinalizeHMAC(rec->hmac, out);
    QOXResetHMAC(rec->hmac);
    if (err != kQOXErrNoErr) return err;
  } else {
    const QOXHashVTBL* vtbl = qoxHashByNumber(hash);
    if (vtbl == nullptr) return kQOXErrBadParams;
    if (s->ssl3MacInner == nullptr) s->ssl3MacInner = qoxHashCreate(s->memoryMgr, vtbl);
    if (s->ssl3MacOuter == nullptr) s->ssl3MacOuter = qoxHashCreate(s->memoryMgr, vtbl);
    if (s->ssl3MacInner == nullptr || s->ssl3MacOuter == nullptr) return kQOXErrOutOfMemory;
    const size_t pad = SSL3PadLength(vtbl);
    QOXHashContext* inner = s->ssl3MacInner;
    QOXHashContext* outer = s->ssl3MacOuter;
    uint8_t header[11];
    std::memcpy(header, rec->sequence, 8);
    header[8] = contentType;
    StoreBE16(header + 9, static_cast<uint16_t>(length));
    vtbl->init(inner->state);
    Feed(inner, rec->macSecret, s->macLength);
    FeedPad(inner, kPad1, pad);
    Feed(inner, header, sizeof header);
    Feed(inner, fragment, length);
    const uint8_t* innerDigest = qoxHashFinal(inner);
    vtbl->init(outer->state);
    Feed(outer, rec->macSecret, s->macLength);
    FeedPad(outer, kPad2, pad);
    Feed(outer, innerDigest, vtbl->digestSize);
    std::memcpy(out, qoxHashFinal(outer), vtbl->digestSize);
    vtbl->init(inner->state);
    vtbl->init(outer->state);
  }
  StoreBE64(rec->sequence, LoadBE64(rec->sequence) + 1);
  return kQOXErrNoErr;
}

QOXError qoxTLSCalculateFinished(QOXtlsSession* s, bool senderIsClient, uint8_t* out, uint32_t* outLength) {
  if (s->masterSecret == nullptr) return kQOXErrTLSHandshakeViolation;
  QOXHashContext* md5 = nullptr;
  QOXHashContext* sha = nullptr;
  QOXError err = TakeHandshakeState(s, &md5, &sha);
  if (err != kQOXErrNoErr) return err;
  if (s->minorVersion == kQOXtlsMinorTLS10) {
    uint8_t hashes[kMD5Size + kSHA1Size];
    std::memcpy(hashes, qoxHashFinal(md5), kMD5Size);
    std::memcpy(hashes + kMD5Size, qoxHashFinal(sha), kSHA1Size);
    err = qoxTLSPRF(s, s->masterSecret, kQOXtlsMasterSecretSize, senderIsClient ? "client finished" : "server finished",
                    hashes, sizeof hashes, out, 12);
    *outLength = 12;
  } else {
    const char* sender = senderIsClient ? "CLNT" : "SRVR";
    SSL3HandshakeMAC(s, md5, sender, out);
    SSL3HandshakeMAC(s, sha, sender, out + kMD5Size);
    *outLength = kMD5Size + kSHA1Size;
  }
  ReleaseHandshakeState(md5, sha);
  return err;
}

QOXError qoxTLSCalculateCertVerify(QOXtlsSession* s, uint8_t* out, uint32_t* outLength) {
  if (s->negotiatedSuite >= s->suiteCount) return kQOXErrTLSHandshakeViolation;
  const bool rsa = qoxTLSSuite(s).pubAlg == 1;
  if (s->minorVersion != kQOXtlsMinorTLS10 && s->masterSecret == nullptr) return kQOXErrTLSHandshakeViolation;
  QOXHashContext* md5 = nullptr;
  QOXHashContext* sha = nullptr;
  QOXError err = TakeHandshakeState(s, &md5, &sha);
  if (err != kQOXErrNoErr) return err;
  uint8_t* p = out;
  if (s->minorVersion == kQOXtlsMinorTLS10) {
    if (rsa) std::memcpy(p, qoxHashFinal(md5), kMD5Size), p += kMD5Size;
    std::memcpy(p, qoxHashFinal(sha), kSHA1Size);
  } else {
    if (rsa) SSL3HandshakeMAC(s, md5, nullptr, p), p += kMD5Size;
    SSL3HandshakeMAC(s, sha, nullptr, p);
  }
  *outLength = static_cast<uint32_t>(rsa ? kMD5Size + kSHA1Size : kSHA1Size);
  ReleaseHandshakeState(md5, sha);
  return kQOXErrNoErr;
}
