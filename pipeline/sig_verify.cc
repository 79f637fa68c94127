// Signature verification: hashing set-up, the checks, detached signatures
// and the verification reader.
#include "pipeline/sig_verify.h"

#include <cstring>

#include "crypto/hash.h"
#include "foundation/context.h"
#include "foundation/env.h"
#include "keydb/sig_data.h"
#include "pipeline/charmaps.h"
#include "pipeline/generic_modules.h"
#include "pipeline/hash_module.h"
#include "pipeline/module_support.h"
#include "pipeline/scoped_crypto.h"

using qox_pipeline::WipeAndFree;

namespace {

constexpr int32_t kEnvCharMap = 3000;

void Message(const QOXDecodeCallbacks* callbacks, void* arg, QOXError error, uint32_t number) {
  if (callbacks != nullptr && callbacks->message != nullptr) callbacks->message(arg, error, number, 0, nullptr);
}

const uint8_t* CharMapOf(QOXEnv* env) {
  return env != nullptr ? static_cast<const uint8_t*>(qoxenvGetPointer(env, kEnvCharMap, nullptr)) : nullptr;
}

// qoxSigSetupHashes; text: the text filter whatever the signature's type.
QOXError SetupHashes(QOXContext* context, QOXPipeline** slot, QOXEnv* env, QOXHashList** outList,
                     const QOXPktList* signatures, const QOXDecodeCallbacks* callbacks, void* arg, bool text) {
  if (outList != nullptr) *outList = nullptr;
  if (slot == nullptr || outList == nullptr) return kQOXErrBadParams;
  const uint32_t distinct = qoxSigDataDistinctHashCount(signatures);
  uint8_t algorithms[256];
  qoxSigDataDistinctHashes(signatures, algorithms);

  QOXPipeline* head = nullptr;
  if (qoxDevNullCreate(context, &head) == nullptr) {
    Message(callbacks, arg, kQOXErrOutOfMemory, kQOXMsgSigNoSink);
    return kQOXErrOutOfMemory;
  }
  QOXHashList* made = nullptr;
  QOXError err = qoxHashListCreate(QOXPeekContextMemoryMgr(context), algorithms, &made, distinct);
  qox_pipeline::HashListPtr list(made);
  if (err != kQOXErrNoErr) {
    qoxPipelineTeardown(head);
    return err;
  }
  const uint32_t hashes = qoxHashListGetSize(list.get());
  if (hashes == 0) {
    qoxPipelineTeardown(head);
    Message(callbacks, arg, kQOXErrNoErr, kQOXMsgSigNothingToHash);
    return kQOXErrCannotHashMessage;
  }
  // Hash modules in front of the sink, a text filter in front of them for a
  // text signature.
  if (qoxHashModListCreate(context, &head, list.get(), hashes) == nullptr) {
    qoxPipelineTeardown(head);
    return kQOXErrOutOfMemory;
  }
  if ((text || (signatures != nullptr && qoxSigDataType(signatures) != 0)) &&
      qoxTextFiltCreate(context, &head, CharMapOf(env), false, kQOXLineEndCRLF) == nullptr) {
    qoxPipelineTeardown(head);
    return kQOXErrOutOfMemory;
  }
  *slot = head;
  *outList = list.release();
  return kQOXErrNoErr;
}

}  // namespace

QOXError qoxSigSetupHashes(QOXContext* context, QOXPipeline** slot, QOXEnv* env, QOXHashList** outList,
                           const QOXPktList* signatures, const QOXDecodeCallbacks* callbacks, void* arg) {
  return SetupHashes(context, slot, env, outList, signatures, callbacks, arg, false);
}

QOXError qoxSigVerify(const QOXPktList* signatures, QOXHashList* hashes, const QOXDecodeCallbacks* callbacks,
                      void* arg) {
  for (const QOXPktList* sig = signatures; sig != nullptr; sig = qoxSigDataNext(sig)) {
    const QOXHashVTBL* vtbl = qoxSigDataHash(sig);
    QOXHashContext* hash = vtbl != nullptr ? qoxHashListFind(hashes, vtbl) : nullptr;
    if (hash == nullptr) {
      Message(callbacks, arg, kQOXErrUnknownHashNumber, kQOXMsgSigUnknownHash);
      continue;
    }
    qox_pipeline::HashPtr copy(qoxHashCopy(hash));
    if (copy == nullptr) return kQOXErrOutOfMemory;
    size_t n = 0;
    const uint8_t* extra = qoxSigDataExtra(sig, &n);
    if (n != 0) vtbl->update(copy->state, extra, n);
    if (qoxSigDataVersion(sig) == 4) {
      const uint8_t trailer[6] = {4, 0xFF, static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                                  static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
      vtbl->update(copy->state, trailer, sizeof trailer);
    }
    const uint8_t* digest = qoxHashFinal(copy.get());
    QOXError err = callbacks != nullptr && callbacks->sigVerify != nullptr ? callbacks->sigVerify(arg, sig, digest)
                                                                          : kQOXErrBadParams;
    if (err != kQOXErrNoErr) return err;
  }
  return kQOXErrNoErr;
}

QOXError qoxSepsigVerify(const QOXPktList* signatures, QOXEnv* env, const QOXDecodeCallbacks* callbacks, void* arg) {
  if (signatures == nullptr) {
    Message(callbacks, arg, kQOXErrBadParams, kQOXMsgSigDetachedNone);
    return kQOXErrNoErr;
  }
  if (callbacks == nullptr || callbacks->findAltInput == nullptr) return kQOXErrBadParams;
  Message(callbacks, arg, kQOXErrNoErr, kQOXMsgSigDetachedStarts);
  QOXContext* context = qoxenvGetContext(env);
  QOXPipeline* head = nullptr;
  QOXHashList* made = nullptr;
  QOXError err = qoxSigSetupHashes(context, &head, env, &made, signatures, callbacks, arg);
  if (err != kQOXErrNoErr) return err;
  qox_pipeline::HashListPtr list(made);
  err = callbacks->findAltInput(arg, head);
  if (err == kQOXErrNoErr) err = qoxSigVerify(signatures, list.get(), callbacks, arg);
  qoxPipelineTeardown(head);
  return err;
}

// --- The verification reader ---

struct QOXVerifyReader {
  QOXPipeline textHead;
  QOXPipeline sigHead;
  QOXContext* context;
  QOXPipeline* join;        // the join's first input
  QOXPipeline* appendage;   // the join input that takes the text
  QOXPipeline** joinNext;   // the join's output slot
  QOXPipeline** hashSlot;   // where the hashing goes once the signatures are known
  QOXHashList* hashes;
  QOXPktList* signatures;
  QOXEnv* env;
  const QOXDecodeCallbacks* callbacks;
  void* arg;
  uint32_t hashCount;
  uint32_t depth;
  uint32_t runMark;         // depth at which the run of text outside armor opened
  bool inRun;
  bool text;                // hash through the text filter
  bool joinEnded;
  bool textDone;
  bool sigsDone;
  bool textTornDown;
  bool sigTornDown;
};

namespace {

QOXVerifyReader* R(QOXPipeline* m) { return static_cast<QOXVerifyReader*>(m->priv); }

void FreeReader(QOXVerifyReader* r) {
  if (r->join != nullptr) {
    r->appendage->teardown(r->appendage);
    r->join->teardown(r->join);  // the last input takes the join and its output
  }
  qoxHashListDestroy(r->hashes);
  qoxSigDataFreeList(r->signatures);
  WipeAndFree(r->context, r, sizeof *r);
}

// Lets the text flow to the hashes.
QOXError EndJoin(QOXVerifyReader* r) {
  if (r->joinEnded) return kQOXErrNoErr;
  QOXError err = r->join->sizeAdvise(r->join, 0);
  if (err == kQOXErrNoErr) r->joinEnded = true;
  return err;
}

// After the second of text and signatures has ended.
QOXError VerifyIfDone(QOXVerifyReader* r) {
  if (!r->textDone || !r->sigsDone || r->signatures == nullptr || r->hashes == nullptr) return kQOXErrNoErr;
  QOXError err = qoxSigVerify(r->signatures, r->hashes, r->callbacks, r->arg);
  qoxSigDataFreeList(r->signatures);
  r->signatures = nullptr;
  qoxHashListDestroy(r->hashes);
  r->hashes = nullptr;
  return err;
}

size_t TextWrite(QOXPipeline* m, const uint8_t* bytes, size_t count, QOXError* error) {
  QOXPipeline* a = R(m)->appendage;
  return a->write(a, bytes, count, error);
}
QOXError TextFlush(QOXPipeline* m) { return R(m)->appendage->flush(R(m)->appendage); }
QOXError TextAnnotate(QOXPipeline* m, QOXPipeline* origin, uint32_t type, void* data, size_t count) {
  QOXPipeline* a = R(m)->appendage;
  return a->annotate(a, origin, type, data, count);
}
QOXError TextSizeAdvise(QOXPipeline* m, uint64_t bytes) {
  QOXVerifyReader* r = R(m);
  if (r->textDone) return bytes == 0 ? kQOXErrNoErr : kQOXErrSizeAdviseFailure;
  QOXError err = r->appendage->sizeAdvise(r->appendage, bytes);
  if (err != kQOXErrNoErr || bytes != 0) return err;
  r->textDone = true;
  return VerifyIfDone(r);
}
QOXError TextTeardown(QOXPipeline* m) {
  QOXVerifyReader* r = R(m);
  r->textTornDown = true;
  if (r->sigTornDown) FreeReader(r);
  return kQOXErrNoErr;
}

size_t SigWrite(QOXPipeline* m, const uint8_t*, size_t count, QOXError* error) {
  if (!R(m)->inRun) {
    *error = kQOXErrBadParams;
    return 0;
  }
  *error = kQOXErrNoErr;
  return count;  // text outside armor beside the signature: dropped
}
QOXError SigFlush(QOXPipeline*) { return kQOXErrNoErr; }
QOXError SigAnnotate(QOXPipeline* m, QOXPipeline*, uint32_t type, void* data, size_t count) {
  QOXVerifyReader* r = R(m);
  switch (type) {
    case kQOXAnnSignature: {
      QOXError err = qoxSigDataAdd(r->context, &r->signatures, kQOXSigDataAnn_Signature,
                                   static_cast<const uint8_t*>(data), count);
      if (err != kQOXErrNoErr) Message(r->callbacks, r->arg, err, kQOXMsgSigUnstorable);
      return err;
    }
    case kQOXAnnNonArmorBegin:
      if (!r->inRun) {
        r->inRun = true;
        r->runMark = r->depth;
      }
      ++r->depth;
      return kQOXErrNoErr;
    case kQOXAnnNonArmorEnd:
      if (r->depth > 0) --r->depth;
      if (r->inRun && r->depth == r->runMark) r->inRun = false;
      return kQOXErrNoErr;
    case kQOXAnnCommit:
    case kQOXAnnSignedDetached:
      return kQOXErrNoErr;
    case kQOXAnnSignedBegin:
    case kQOXAnnSignedEnd:
    case kQOXAnnArmorMsgBegin:
    case kQOXAnnArmorMsgEnd:
    case kQOXAnnBinaryMsgBegin:
    case kQOXAnnBinaryMsgEnd:
    case kQOXAnnInputBegin:
    case kQOXAnnInputEnd:
      qox_pipeline::TrackDepth(type, &r->depth);
      return kQOXErrNoErr;
    default:
      return kQOXErrBadParams;
  }
}
QOXError SigSizeAdvise(QOXPipeline* m, uint64_t bytes) {
  QOXVerifyReader* r = R(m);
  if (bytes != 0 || r->sigsDone) return kQOXErrNoErr;
  if (r->signatures != nullptr) {
    if (r->hashes == nullptr) {
      QOXError err =
          SetupHashes(r->context, r->hashSlot, r->env, &r->hashes, r->signatures, r->callbacks, r->arg, r->text);
      if (err != kQOXErrNoErr) return err;
    }
    if (QOXError err = EndJoin(r); err != kQOXErrNoErr) return err;
  }
  r->sigsDone = true;
  return VerifyIfDone(r);
}
QOXError SigTeardown(QOXPipeline* m) {
  QOXVerifyReader* r = R(m);
  r->sigTornDown = true;
  if (r->textTornDown) FreeReader(r);
  return kQOXErrNoErr;
}

void InitModule(QOXPipeline* m, QOXVerifyReader* r, uint32_t magic, const char* name,
                size_t (*write)(QOXPipeline*, const uint8_t*, size_t, QOXError*), QOXError (*flush)(QOXPipeline*),
                QOXError (*annotate)(QOXPipeline*, QOXPipeline*, uint32_t, void*, size_t),
                QOXError (*sizeAdvise)(QOXPipeline*, uint64_t), QOXError (*teardown)(QOXPipeline*)) {
  m->magic = magic;
  m->write = write;
  m->flush = flush;
  m->annotate = annotate;
  m->sizeAdvise = sizeAdvise;
  m->teardown = teardown;
  m->name = name;
  m->context = r->context;
  m->priv = r;
}

}  // namespace

QOXVerifyReader* qoxVerifyReaderCreate(QOXContext* context, QOXPipeline** outTextHead, QOXPipeline** outSigHead,
                                       QOXEnv* env, const QOXFifoDesc* fifoDesc, const uint8_t* hashAlgorithms,
                                       uint32_t count, bool text, const QOXDecodeCallbacks* callbacks, void* arg) {
  if (outTextHead == nullptr || outSigHead == nullptr || fifoDesc == nullptr) return nullptr;
  auto* r = static_cast<QOXVerifyReader*>(
      qoxContextMemAlloc(context, sizeof(QOXVerifyReader), kQOXMemoryMgrFlags_Clear));
  if (r == nullptr) return nullptr;
  r->context = context;
  r->env = env;
  r->callbacks = callbacks;
  r->arg = arg;
  r->text = text;
  r->joinNext = qoxJoinCreate(context, &r->join, fifoDesc);
  if (r->joinNext == nullptr) {
    WipeAndFree(context, r, sizeof *r);
    return nullptr;
  }
  r->appendage = qoxJoinAppend(r->join);
  if (r->appendage == nullptr) {
    r->join->teardown(r->join);  // its only input: the join goes
    r->join = nullptr;
    WipeAndFree(context, r, sizeof *r);
    return nullptr;
  }
  if (hashAlgorithms == nullptr) {
    // The join needs an output while it holds the text: a copy module, in
    // front of which the hashing goes once the signatures are known.
    r->hashSlot = qoxCopyModCreate(context, r->joinNext);
    if (r->hashSlot == nullptr) {
      FreeReader(r);
      return nullptr;
    }
  } else {
    bool ok = qoxDevNullCreate(context, r->joinNext) != nullptr;
    const uint8_t* map = nullptr;
    if (text) {
      map = CharMapOf(env);
      if (map == nullptr) map = charMapIdentity.data();
    }
    ok = ok && qoxSigSetupPipeline(context, r->joinNext, &r->hashes, hashAlgorithms, count, map) == kQOXErrNoErr;
    r->hashCount = ok ? qoxHashListGetSize(r->hashes) : 0;
    ok = ok && r->hashCount != 0 && EndJoin(r) == kQOXErrNoErr;
    if (!ok) {
      FreeReader(r);
      return nullptr;
    }
  }
  InitModule(&r->textHead, r, kQOXMagicTextHead, "Signature Verification Annotation Reader (texthead)", TextWrite,
             TextFlush, TextAnnotate, TextSizeAdvise, TextTeardown);
  InitModule(&r->sigHead, r, kQOXMagicSigHead, "Signature Verification Annotation Reader (sighead)", SigWrite,
             SigFlush, SigAnnotate, SigSizeAdvise, SigTeardown);
  *outTextHead = &r->textHead;
  *outSigHead = &r->sigHead;
  return r;
}
