// The cipher module, encrypting and decrypting.
#include "pipeline/cipher_module.h"

#include <algorithm>
#include <cstring>

#include "crypto/cfb.h"
#include "crypto/hash.h"
#include "foundation/context.h"
#include "foundation/env.h"
#include "pipeline/add_header.h"
#include "pipeline/module_support.h"

using qox_pipeline::FreeModule;
using qox_pipeline::ModuleOps;
using qox_pipeline::NewModule;
using qox_pipeline::StateOf;
using qox_pipeline::TrackDepth;

namespace {

constexpr size_t kRing = 1024;
constexpr uint8_t kMDCHeader[2] = {0xD3, 0x14};  // tag 19, length 20

struct CipherMod {
  uint8_t ring[kRing];
  size_t writePos;
  size_t sendPos;
  size_t count;     // processed bytes in the ring
  size_t heldBack;  // bytes that stay in the ring: the MDC packet when decrypting
  QOXHashContext* mdc;
  QOXPipeline* tail;
  QOXCFBContext* cfb;
  QOXCipherProgressFn progress;
  bool encrypting;
  bool mdcOn;       // the packet carries an MDC
  uint32_t nesting;
  // Encrypting with MDC, at the end: the MDC packet still to go through write.
  uint8_t trailer[kQOXMDCPacketSize];
  size_t trailerSent;
  bool trailerMade;
};

CipherMod* C(QOXPipeline* m) { return StateOf<CipherMod>(m); }

void Hash(QOXHashContext* h, const uint8_t* p, size_t n) {
  if (h != nullptr && n != 0) h->vtbl->update(h->state, p, n);
}

// Offers the ring's bytes above the held-back ones to the tail.
QOXError Drain(CipherMod* s) {
  while (s->count > s->heldBack) {
    size_t n = std::min(s->count - s->heldBack, kRing - s->sendPos);
    QOXError err = kQOXErrNoErr;
    size_t took = s->tail->write(s->tail, s->ring + s->sendPos, n, &err);
    if (took > n) took = n;
    if (!s->encrypting) Hash(s->mdc, s->ring + s->sendPos, took);
    std::memset(s->ring + s->sendPos, 0, took);
    s->count -= took;
    s->sendPos = (s->sendPos + took) % kRing;
    if (err != kQOXErrNoErr) return err;
    if (took == 0) return kQOXErrWriteFailed;  // nothing taken, nothing said
  }
  if (s->count == 0) s->writePos = s->sendPos = 0;
  return kQOXErrNoErr;
}

size_t CipherWrite(QOXPipeline* m, const uint8_t* bytes, size_t count, QOXError* error) {
  CipherMod* s = C(m);
  *error = kQOXErrNoErr;
  if (s->tail == nullptr) {
    *error = kQOXErrBadParams;
    return 0;
  }
  size_t taken = 0;
  for (;;) {
    QOXError err = Drain(s);
    if (err != kQOXErrNoErr) {
      *error = err;
      return taken;
    }
    size_t room = s->count + s->heldBack >= kRing ? 0 : kRing - (s->count + s->heldBack);
    size_t contiguous = s->writePos >= s->sendPos ? kRing - s->writePos : s->sendPos - s->writePos;
    size_t run = std::min({room, contiguous, count - taken});
    if (run == 0) return taken;
    if (s->progress != nullptr && s->progress(run) < 0) {
      *error = kQOXErrUserAbort;
      return taken;
    }
    uint8_t* at = s->ring + s->writePos;
    if (s->encrypting) {
      Hash(s->mdc, bytes + taken, run);
      qoxCFBEncryptInternal(s->cfb, bytes + taken, run, at);
    } else {
      qoxCFBDecryptInternal(s->cfb, bytes + taken, run, at);
    }
    s->writePos = (s->writePos + run) % kRing;
    s->count += run;
    taken += run;
  }
}

QOXError CipherFlush(QOXPipeline* m) {
  CipherMod* s = C(m);
  if (s->tail == nullptr) return kQOXErrBadParams;
  QOXError err = Drain(s);
  return err != kQOXErrNoErr ? err : s->tail->flush(s->tail);
}

// The held-back bytes, oldest first.
void CopyHeld(const CipherMod* s, uint8_t* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = s->ring[(s->sendPos + i) % kRing];
}

QOXError AnswerMDC(CipherMod* s, uint32_t type, void* data, size_t count) {
  const size_t digest = s->mdc != nullptr ? s->mdc->vtbl->digestSize : 0;
  switch (type) {
    case kQOXAnnMDCSize: {
      size_t fromHeld = s->heldBack >= 2 ? s->heldBack - 2 : 0;
      return qoxAnnAnswerU32(data, count, static_cast<uint32_t>(std::max(fromHeld, digest)));
    }
    case kQOXAnnMDCHash: {
      if (data == nullptr) return kQOXErrBadParams;
      std::memset(data, 0, count);
      if (s->mdc == nullptr) return kQOXErrNoErr;
      if (count < digest) return kQOXErrBadParams;
      QOXHashContext* copy = qoxHashCopy(s->mdc);
      if (copy == nullptr) return kQOXErrOutOfMemory;
      uint8_t head[2] = {0, 0};
      CopyHeld(s, head, std::min<size_t>(2, s->count));
      Hash(copy, head, std::min<size_t>(2, s->count));
      std::memcpy(data, qoxHashFinal(copy), digest);
      QOXFreeHashContext(copy);
      return kQOXErrNoErr;
    }
    default: {  // kQOXAnnMDCTrailer
      if (data == nullptr) return kQOXErrBadParams;
      std::memset(data, 0, count);
      CopyHeld(s, static_cast<uint8_t*>(data), std::min({count, s->count, s->heldBack}));
      return kQOXErrNoErr;
    }
  }
}

QOXError CipherAnnotate(QOXPipeline* m, QOXPipeline* origin, uint32_t type, void* data, size_t count) {
  CipherMod* s = C(m);
  if (s->tail == nullptr) return kQOXErrBadParams;
  QOXError err = Drain(s);
  if (err != kQOXErrNoErr) return err;
  if (!s->encrypting && (type == kQOXAnnMDCSize || type == kQOXAnnMDCHash || type == kQOXAnnMDCTrailer)) {
    return AnswerMDC(s, type, data, count);
  }
  TrackDepth(type, &s->nesting);
  return s->tail->annotate(s->tail, origin, type, data, count);
}

// Encrypting with MDC, at the end: the MDC packet is hashed, the hash
// finished, and the packet goes through the module's own write.
QOXError WriteMDCPacket(QOXPipeline* m) {
  CipherMod* s = C(m);
  if (!s->trailerMade) {
    Hash(s->mdc, kMDCHeader, sizeof kMDCHeader);
    std::memcpy(s->trailer, kMDCHeader, sizeof kMDCHeader);
    std::memcpy(s->trailer + 2, qoxHashFinal(s->mdc), s->mdc->vtbl->digestSize);
    QOXFreeHashContext(s->mdc);
    s->mdc = nullptr;
    s->trailerMade = true;
  }
  while (s->trailerSent < sizeof s->trailer) {
    QOXError err = kQOXErrNoErr;
    size_t took = CipherWrite(m, s->trailer + s->trailerSent, sizeof s->trailer - s->trailerSent, &err);
    s->trailerSent += took;
    if (err != kQOXErrNoErr) return err;
    if (took == 0) return kQOXErrWriteFailed;
  }
  std::memset(s->trailer, 0, sizeof s->trailer);
  return kQOXErrNoErr;
}

QOXError CipherSizeAdvise(QOXPipeline* m, uint64_t bytes) {
  CipherMod* s = C(m);
  if (s->tail == nullptr) return kQOXErrBadParams;
  QOXError err = Drain(s);
  if (err != kQOXErrNoErr) return err;
  if (s->nesting != 0) return kQOXErrNoErr;
  if (!s->encrypting) {
    if (bytes == 0) return s->tail->sizeAdvise(s->tail, 0);
    // What reaches the tail: the ring and the rest, less the held-back bytes.
    uint64_t total = bytes + s->count;
    return total >= s->heldBack ? s->tail->sizeAdvise(s->tail, total - s->heldBack) : kQOXErrNoErr;
  }
  if (!s->mdcOn) return s->tail->sizeAdvise(s->tail, bytes);
  if (bytes != 0) return s->tail->sizeAdvise(s->tail, bytes + kQOXMDCPacketSize);
  err = WriteMDCPacket(m);
  if (err == kQOXErrNoErr) err = Drain(s);
  return err != kQOXErrNoErr ? err : s->tail->sizeAdvise(s->tail, 0);
}

QOXError CipherTeardown(QOXPipeline* m) {
  CipherMod* s = C(m);
  if (s->mdc != nullptr) QOXFreeHashContext(s->mdc);
  qoxPipelineTeardown(s->tail);
  if (s->cfb != nullptr) QOXFreeCFBContext(s->cfb);
  FreeModule<CipherMod>(m);
  return kQOXErrNoErr;
}

constexpr ModuleOps kCipherOps = {CipherWrite, CipherFlush, CipherAnnotate, CipherSizeAdvise, CipherTeardown};

QOXPipeline* NewCipher(QOXContext* context, QOXCFBContext* cfb, QOXEnv* env, bool encrypting, bool mdc) {
  QOXPipeline* m = NewModule<CipherMod>(context, kQOXMagicCipher,
                                        encrypting ? "Cipher Encryption Module" : "Cipher Decryption Module",
                                        kCipherOps);
  if (m == nullptr) return nullptr;
  CipherMod* s = C(m);
  s->encrypting = encrypting;
  s->mdcOn = mdc;
  if (mdc) {
    s->mdc = qoxHashCreate(QOXPeekContextMemoryMgr(context), &HashSHA);
    if (s->mdc == nullptr) {
      FreeModule<CipherMod>(m);
      return nullptr;
    }
  }
  s->cfb = cfb;
  s->progress = reinterpret_cast<QOXCipherProgressFn>(qoxenvGetPointer(env, kQOXEnvCipherModeOption, nullptr));
  return m;
}

// Frees a module made by NewCipher before anything owned its tail or CFB.
void DropCipher(QOXPipeline* m) {
  CipherMod* s = C(m);
  if (s->mdc != nullptr) QOXFreeHashContext(s->mdc);
  FreeModule<CipherMod>(m);
}

}  // namespace

QOXPipeline** qoxCipherModEncryptCreate(QOXContext* context, QOXPipeline** slot, uint32_t version,
                                        const QOXFifoDesc* fifoDesc, QOXCFBContext* cfb, const uint8_t* prefix,
                                        QOXEnv* env, bool mdc) {
  if (slot == nullptr || prefix == nullptr || !qoxCFBIsValid(cfb)) {
    if (qoxCFBIsValid(cfb)) QOXFreeCFBContext(cfb);
    return nullptr;
  }
  const size_t block = qoxCFBGetBlockSize(cfb);
  QOXPipeline* m = NewCipher(context, cfb, env, true, mdc);
  if (m == nullptr) {
    QOXFreeCFBContext(cfb);
    return nullptr;
  }
  CipherMod* s = C(m);
  // Version byte, the random block, and a repeat of its last two bytes.
  uint8_t scratch[1 + kQOXMaxCipherBlockSize + 2];
  scratch[0] = kQOXMDCPacketVersion;
  std::memcpy(scratch + 1, prefix, block);
  scratch[1 + block] = prefix[block - 2];
  scratch[2 + block] = prefix[block - 1];
  Hash(s->mdc, scratch + 1, block + 2);
  qoxCFBEncryptInternal(cfb, scratch + 1, block + 2, scratch + 1);
  const uint8_t* packetPrefix = scratch;
  size_t prefixLength = block + 3;
  if (!mdc) {
    QOXCFBSync(cfb);
    packetPrefix = scratch + 1;
    prefixLength = block + 2;
  }
  s->tail = *slot;
  QOXPipeline** tail = qoxAddHeaderCreate(context, &s->tail, version, fifoDesc,
                                          mdc ? kQOXTagEncryptedMDC : kQOXTagEncrypted, kQOXLengthType1,
                                          packetPrefix, prefixLength);
  std::memset(scratch, 0, sizeof scratch);
  if (tail == nullptr) {
    DropCipher(m);
    QOXFreeCFBContext(cfb);
    return nullptr;
  }
  *slot = m;
  return tail;
}

QOXPipeline** qoxCipherModDecryptCreate(QOXContext* context, QOXPipeline** slot, QOXCFBContext* cfb, QOXEnv* env,
                                        bool mdc, const uint8_t* prefix) {
  if (slot == nullptr || (mdc && prefix == nullptr) || !qoxCFBIsValid(cfb)) {
    if (qoxCFBIsValid(cfb)) QOXFreeCFBContext(cfb);
    return nullptr;
  }
  QOXPipeline* m = NewCipher(context, cfb, env, false, mdc);
  if (m == nullptr) {
    QOXFreeCFBContext(cfb);
    return nullptr;
  }
  CipherMod* s = C(m);
  if (mdc) {
    Hash(s->mdc, prefix, qoxCFBGetBlockSize(cfb) + 2);
    s->heldBack = kQOXMDCPacketSize;
  }
  s->tail = *slot;
  *slot = m;
  return &s->tail;
}
