// The signature module.
#include "pipeline/sig_module.h"

#include <cstring>

#include "crypto/hash.h"
#include "foundation/context.h"
#include "foundation/core/sig_spec.h"
#include "keydb/sig_make.h"
#include "pipeline/generic_modules.h"
#include "pipeline/hash_module.h"
#include "pipeline/module_support.h"

using qox_pipeline::FreeModule;
using qox_pipeline::ModuleOps;
using qox_pipeline::NewModule;
using qox_pipeline::StateOf;
using qox_pipeline::WipeAndFree;

namespace {

constexpr uint8_t kOnePassHeader = 0xC4;  // new format, tag 4
constexpr uint8_t kSigHeaderNew = 0xC2;   // new format, tag 2
constexpr uint8_t kSigHeaderOld = 0x89;   // old format, tag 2, two-byte length
constexpr size_t kPacketHeaderMax = 6;
constexpr size_t kFirstBuffer = 100;

struct Signer {
  Signer* next;
  const QOXSigSpec* sigSpec;
  QOXHashContext* hash;  // shared by signers of one hash; freed once
};

// Where the switch from the one-pass packets to the data stands (version 4
// with a text input): 0 not begun, 1 signature appendage made, 2 one-pass
// input ended, 3 done.
enum TextState : uint32_t { kTextHeaders = 0, kTextAppended = 1, kTextEnded = 2, kTextData = 3 };

struct SigMod {
  QOXPipeline* dataTail;    // hash modules, then the copy module
  QOXPipeline* sigOutput;   // join input for the signature packets
  QOXPipeline* textInput;   // join input of the data (the join itself until inserted)
  QOXPipeline* pending;     // the second appendage, once made
  QOXPipeline* join;        // the join's first input
  QOXPipeline** joinNext;   // the join's output slot
  Signer* signers;          // newest first
  Signer* nextSigner;       // whose packet is made next
  uint32_t version;
  uint8_t* packet;          // the signature packet being sent
  size_t packetSize;        // allocated
  size_t sendAt;
  size_t left;
  uint32_t nesting;
  uint32_t textState;
  bool textInserted;
  bool signed_;             // every packet went out and the output heard 0
};

SigMod* S(QOXPipeline* m) { return StateOf<SigMod>(m); }

bool IsSigModule(QOXPipeline* m) { return m != nullptr && m->magic == kQOXMagicSignature; }

// Version 4 with a text input: ends the one-pass input and moves the
// signature packets to an appendage behind the data; resumes where an error
// stopped it.
QOXError MoveOn(SigMod* s) {
  if (s->version <= 3 || !s->textInserted) return kQOXErrNoErr;
  if (s->textState == kTextHeaders) {
    s->pending = qoxJoinAppend(s->textInput);
    if (s->pending == nullptr) return kQOXErrOutOfMemory;
    s->textState = kTextAppended;
  }
  if (s->textState == kTextAppended) {
    if (QOXError err = s->join->sizeAdvise(s->join, 0); err != kQOXErrNoErr) return err;
    s->textState = kTextEnded;
  }
  if (s->textState == kTextEnded) {
    s->join->teardown(s->join);  // the join goes when its last input goes
    s->sigOutput = s->pending;
    s->pending = nullptr;
    s->textState = kTextData;
  }
  return kQOXErrNoErr;
}

void FreeSigners(QOXContext* context, SigMod* s) {
  for (Signer* e = s->signers; e != nullptr; e = e->next) {
    if (e->hash == nullptr) continue;
    QOXHashContext* hash = e->hash;
    for (Signer* o = e; o != nullptr; o = o->next) {
      if (o->hash == hash) o->hash = nullptr;
    }
    QOXFreeHashContext(hash);
  }
  while (s->signers != nullptr) {
    Signer* next = s->signers->next;
    WipeAndFree(context, s->signers, sizeof(Signer));
    s->signers = next;
  }
  s->nextSigner = nullptr;
}

void FreePacket(QOXContext* context, SigMod* s) {
  WipeAndFree(context, s->packet, s->packetSize);
  s->packet = nullptr;
  s->packetSize = 0;
  s->sendAt = s->left = 0;
}

// Sends what is left of the packet to the signature output.
QOXError SendPacket(SigMod* s) {
  while (s->left > 0) {
    size_t sent = 0;
    QOXError err = qoxPipelineWriteAll(s->sigOutput, s->packet + s->sendAt, s->left, &sent);
    s->sendAt += sent;
    s->left -= sent;
    if (err != kQOXErrNoErr) return err;
  }
  return kQOXErrNoErr;
}

// Makes the packet of the next signer into the packet buffer.
QOXError MakePacket(QOXContext* context, SigMod* s) {
  uint8_t* body = nullptr;
  const int32_t length = qoxMakeSig(s->nextSigner->sigSpec, s->nextSigner->hash, &body);
  if (length < 0) return length;
  const size_t n = static_cast<size_t>(length);
  const size_t need = n + kPacketHeaderMax;
  if (need > s->packetSize) {
    void* grown = s->packet;
    QOXError err = s->packet == nullptr ? kQOXErrNoErr : qoxContextMemRealloc(context, &grown, need, 0);
    if (s->packet == nullptr) {
      grown = qoxContextMemAlloc(context, need > kFirstBuffer ? need : kFirstBuffer, 0);
      err = grown == nullptr ? kQOXErrOutOfMemory : kQOXErrNoErr;
    }
    if (err != kQOXErrNoErr) {
      WipeAndFree(context, body, n);
      return kQOXErrOutOfMemory;
    }
    s->packet = static_cast<uint8_t*>(grown);
    s->packetSize = need > kFirstBuffer ? need : kFirstBuffer;
  }
  size_t h = 0;
  uint8_t* p = s->packet;
  if (s->version > 3) {
    p[h++] = kSigHeaderNew;
    if (n < 192) {
      p[h++] = static_cast<uint8_t>(n);
    } else if (n < 8384) {
      p[h++] = static_cast<uint8_t>(((n - 192) >> 8) + 192);
      p[h++] = static_cast<uint8_t>((n - 192) & 0xFF);
    } else {
      p[h++] = 0xFF;
      for (int shift = 24; shift >= 0; shift -= 8) p[h++] = static_cast<uint8_t>(n >> shift);
    }
  } else {
    if (n > 0xFFFF) {
      WipeAndFree(context, body, n);
      return kQOXErrBadSignatureSize;
    }
    p[h++] = kSigHeaderOld;
    p[h++] = static_cast<uint8_t>(n >> 8);
    p[h++] = static_cast<uint8_t>(n);
  }
  std::memcpy(p + h, body, n);
  WipeAndFree(context, body, n);
  s->sendAt = 0;
  s->left = h + n;
  return kQOXErrNoErr;
}

// The end of the data: every signature packet, newest signer first, then
// the end of the signature output.
QOXError Finish(QOXPipeline* m) {
  SigMod* s = S(m);
  if (QOXError err = MoveOn(s); err != kQOXErrNoErr) return err;
  if (s->sigOutput == nullptr) return kQOXErrBadParams;
  for (;;) {
    if (QOXError err = SendPacket(s); err != kQOXErrNoErr) return err;
    if (s->nextSigner == nullptr) break;
    if (QOXError err = MakePacket(m->context, s); err != kQOXErrNoErr) return err;
    s->nextSigner = s->nextSigner->next;
  }
  FreeSigners(m->context, s);
  FreePacket(m->context, s);
  if (QOXError err = s->sigOutput->sizeAdvise(s->sigOutput, 0); err != kQOXErrNoErr) return err;
  s->signed_ = true;
  return kQOXErrNoErr;
}

size_t SigWrite(QOXPipeline* m, const uint8_t* bytes, size_t count, QOXError* error) {
  SigMod* s = S(m);
  *error = MoveOn(s);
  if (*error != kQOXErrNoErr) return 0;
  return s->dataTail->write(s->dataTail, bytes, count, error);
}

QOXError SigFlush(QOXPipeline* m) {
  SigMod* s = S(m);
  if (QOXError err = s->dataTail->flush(s->dataTail); err != kQOXErrNoErr) return err;
  return s->sigOutput != nullptr ? s->sigOutput->flush(s->sigOutput) : kQOXErrNoErr;
}

QOXError SigAnnotate(QOXPipeline* m, QOXPipeline* origin, uint32_t type, void* data, size_t count) {
  SigMod* s = S(m);
  qox_pipeline::TrackDepth(type, &s->nesting);
  return s->dataTail->annotate(s->dataTail, origin, type, data, count);
}

// Every advice goes to the data tail, an end inside a scope too: the
// modules there track the scope themselves and end the data only at the
// outermost end, which must therefore reach them as well. Only that end
// makes the signature packets.
QOXError SigSizeAdvise(QOXPipeline* m, uint64_t bytes) {
  SigMod* s = S(m);
  if (bytes != 0) return s->dataTail->sizeAdvise(s->dataTail, bytes);
  if (s->signed_) return kQOXErrNoErr;
  // Before the data ends, so a version-4 message's data is behind its
  // one-pass packets even when none came.
  if (QOXError err = MoveOn(s); err != kQOXErrNoErr) return err;
  if (QOXError err = s->dataTail->sizeAdvise(s->dataTail, 0); err != kQOXErrNoErr) return err;
  if (s->nesting != 0) return kQOXErrNoErr;
  return Finish(m);
}

QOXError SigTeardown(QOXPipeline* m) {
  SigMod* s = S(m);
  qoxPipelineTeardown(s->dataTail);
  if (s->pending != nullptr) s->pending->teardown(s->pending);
  if (s->sigOutput != nullptr) s->sigOutput->teardown(s->sigOutput);
  FreeSigners(m->context, s);
  FreePacket(m->context, s);
  FreeModule<SigMod>(m);
  return kQOXErrNoErr;
}

constexpr ModuleOps kSigOps = {SigWrite, SigFlush, SigAnnotate, SigSizeAdvise, SigTeardown};

// One signer: its hash (shared with an earlier signer of the same hash, else
// a new one hashed in front of the data tail), its one-pass packet.
QOXError AddSignature(QOXPipeline* m, const QOXSigSpec* sigSpec, bool onePass, uint8_t last) {
  SigMod* s = S(m);
  const QOXHashVTBL* vtbl = qoxSigSpecHash(sigSpec);
  if (vtbl == nullptr) return kQOXErrUnknownHashNumber;
  QOXHashContext* hash = nullptr;
  for (Signer* e = s->signers; e != nullptr; e = e->next) {
    if (qoxHashGetVTBL(e->hash) == vtbl) hash = e->hash;
  }
  auto* entry = static_cast<Signer*>(qoxContextMemAlloc(m->context, sizeof(Signer), kQOXMemoryMgrFlags_Clear));
  if (entry == nullptr) return kQOXErrOutOfMemory;
  if (hash == nullptr) {
    hash = qoxHashCreate(QOXPeekContextMemoryMgr(m->context), vtbl);
    if (hash == nullptr || qoxHashModCreate(m->context, &s->dataTail, hash) == nullptr) {
      if (hash != nullptr) QOXFreeHashContext(hash);
      WipeAndFree(m->context, entry, sizeof(Signer));
      return kQOXErrOutOfMemory;
    }
  }
  entry->sigSpec = sigSpec;
  entry->hash = hash;
  entry->next = s->signers;
  s->signers = entry;
  s->nextSigner = entry;
  if (onePass) {
    uint8_t packet[2 + kQOXMakeSigHeaderMaxSize] = {kOnePassHeader, kQOXMakeSigHeaderMaxSize};
    const int32_t n = qoxMakeSigHeader(packet + 2, sigSpec, last);
    if (n < 0) return n;
    if (qoxJoinBuffer(s->join, packet, sizeof packet) != sizeof packet) return kQOXErrOutOfMemory;
  }
  return kQOXErrNoErr;
}

}  // namespace

QOXPipeline** qoxSigCreate(QOXContext* context, QOXPipeline** slot, uint32_t version, const QOXFifoDesc* fifoDesc) {
  if (slot == nullptr || fifoDesc == nullptr) return nullptr;
  QOXPipeline* m = NewModule<SigMod>(context, kQOXMagicSignature, "Signature", kSigOps);
  if (m == nullptr) return nullptr;
  SigMod* s = S(m);
  s->version = version;
  QOXPipeline** copyTail = qoxCopyModCreate(context, &s->dataTail);
  QOXPipeline** joinNext = copyTail != nullptr ? qoxJoinCreate(context, &s->join, fifoDesc) : nullptr;
  if (joinNext == nullptr) {
    qoxPipelineTeardown(s->dataTail);
    FreeModule<SigMod>(m);
    return nullptr;
  }
  s->joinNext = joinNext;
  s->sigOutput = s->join;
  s->textInput = s->join;
  *copyTail = *slot;
  *slot = m;
  return copyTail;
}

QOXPipeline** qoxSigSignature(QOXPipeline* module, const QOXSigSpec* sigSpecs, bool nested) {
  if (!IsSigModule(module) || sigSpecs == nullptr) return nullptr;
  SigMod* s = S(module);
  const bool v4 = s->version > 3;
  for (const QOXSigSpec* sigSpec = sigSpecs; sigSpec != nullptr; sigSpec = v4 ? qoxSigSpecNext(sigSpec) : nullptr) {
    const bool last = !v4 || qoxSigSpecNext(sigSpec) == nullptr;
    if (AddSignature(module, sigSpec, v4 && !nested, last ? 1 : 0) != kQOXErrNoErr) return nullptr;
  }
  return s->joinNext;
}

QOXPipeline** qoxSigTextInsert(QOXPipeline* module, QOXPipeline** slot) {
  if (!IsSigModule(module) || slot == nullptr) return nullptr;
  SigMod* s = S(module);
  if (s->textInserted) return nullptr;
  QOXPipeline* input = qoxJoinAppend(s->join);
  if (input == nullptr) return nullptr;
  s->textInput = input;
  s->textInserted = true;
  *slot = input;
  return s->joinNext;
}
