// The simple annotation reader (pipeline/annotation_reader.h).
#include "pipeline/annotation_reader.h"

#include <cstring>

#include "crypto/hash.h"
#include "foundation/context.h"
#include "foundation/sdk_errors.h"
#include "keydb/sig_data.h"
#include "pipeline/esk.h"
#include "pipeline/module_support.h"
#include "pipeline/sig_verify.h"

using qox_pipeline::FreeModule;
using qox_pipeline::ModuleOps;
using qox_pipeline::NewModule;
using qox_pipeline::StateOf;
using qox_pipeline::WipeAndFree;

namespace {

constexpr int32_t kNoOutputType = -1;

struct Reader {
  uint32_t scopes[kQOXReaderMaxScopes];  // begin codes, outermost first
  int32_t depth;
  int32_t outputDepth;
  int32_t outputType;
  char* literalName;
  QOXPipeline* tail;
  const QOXDecodeCallbacks* callbacks;
  QOXEnv* env;
  void* arg;
  QOXPktList* esks;
  QOXPktList* signatures[kQOXReaderMaxScopes];  // per level (depth - 1)
  uint8_t detached[kQOXReaderMaxScopes];
  const QOXPktList* currentSignature;
  bool needOutput;
  int32_t closedLevel;  // the level the last end code closed, or -1
  QOXPipeline* self;
};

// The pending commit that eskTryKey answers.
struct TryContext {
  Reader* reader;
  QOXPipeline* origin;
  uint32_t code;
};

Reader* R(QOXPipeline* m) { return StateOf<Reader>(m); }

void Message(Reader* r, QOXError error, uint32_t number, uint32_t argCount = 0, const uint32_t* args = nullptr) {
  if (r->callbacks != nullptr && r->callbacks->message != nullptr) {
    (void)r->callbacks->message(r->arg, error, number, argCount, args);
  }
}

uint32_t Innermost(const Reader* r) { return r->depth > 0 ? r->scopes[r->depth - 1] : 0; }

// Step 1: the scope stack. A begin beyond the stack's room is refused.
QOXError TrackScope(Reader* r, uint32_t code) {
  r->closedLevel = -1;
  if (qoxAnnIsScopeBegin(code)) {
    if (r->depth >= kQOXReaderMaxScopes) {
      Message(r, kQOXErrUnbalancedScope, kQOXMsgScopeUnbalanced);
      return kQOXErrUnbalancedScope;
    }
    r->scopes[r->depth++] = code;
  } else if (qoxAnnIsScopeEnd(code)) {
    if (r->depth > 0 && r->scopes[r->depth - 1] == code - 1) {
      --r->depth;
      r->detached[r->depth] = 0;
      r->closedLevel = r->depth;
    } else {
      Message(r, kQOXErrUnbalancedScope, kQOXMsgScopeUnbalanced);
    }
  } else {
    return kQOXErrNoErr;
  }
  if (!(code == kQOXAnnArmorMsgBegin && r->outputType == kQOXReaderTextOutput) && r->depth > 0) {
    r->outputType = static_cast<int32_t>(Innermost(r));
  }
  return kQOXErrNoErr;
}

// The origin's answer to a commit; its refusal is reported.
QOXError Answer(Reader* r, QOXPipeline* origin, uint32_t code, void* data, size_t count) {
  QOXError err = origin->annotate(origin, r->self, code, data, count);
  if (err != kQOXErrNoErr) Message(r, err, kQOXMsgCommitRefused);
  return err;
}

QOXError CommitSigned(Reader* r, QOXPipeline* origin, uint32_t code) {
  const int32_t level = r->depth - 1;
  if (level < 0) return Answer(r, origin, code, nullptr, 0);
  if (r->detached[level] != 0) {
    QOXError err = qoxSepsigVerify(r->signatures[level], r->env, r->callbacks, r->arg);
    qoxSigDataFreeList(r->signatures[level]);
    r->signatures[level] = nullptr;
    if (err != kQOXErrNoErr) Message(r, err, kQOXMsgDetachedFailed);
    return err;
  }
  const uint32_t count = qoxSigDataDistinctHashCount(r->signatures[level]);
  QOXContext* context = r->self->context;
  auto* hashes = static_cast<uint8_t*>(qoxContextMemAlloc(context, count + 1, kQOXMemoryMgrFlags_Clear));
  if (hashes == nullptr) {
    Message(r, kQOXErrOutOfMemory, kQOXMsgSigNoAlgorithms);
    return kQOXErrOutOfMemory;
  }
  qoxSigDataDistinctHashes(r->signatures[level], hashes);
  QOXError err = origin->annotate(origin, r->self, code, hashes, count);
  qoxContextMemFree(context, hashes);
  if (err != kQOXErrNoErr) Message(r, err, kQOXMsgSigNoAlgorithms);
  return err;
}

QOXError Commit(Reader* r, QOXPipeline* origin) {
  if (origin == nullptr) return kQOXErrBadParams;
  const uint32_t scope = Innermost(r);
  const int32_t result = r->callbacks->commit(r->arg, scope);
  if (result < 0) return result;
  if (result < static_cast<int32_t>(kQOXCommitSkip) || result > static_cast<int32_t>(kQOXCommitRecurse)) {
    const uint32_t value = static_cast<uint32_t>(result);
    Message(r, kQOXErrInvalidCommitResponse, kQOXMsgCommitInvalid, 1, &value);
    return kQOXErrNoErr;
  }
  const auto code = static_cast<uint32_t>(result);
  if (code == kQOXCommitSkip || code == kQOXCommitPassthrough) return Answer(r, origin, code, nullptr, 0);
  if (scope == kQOXAnnCipherBegin) {
    TryContext tryContext{r, origin, code};
    const int32_t found = r->callbacks->eskDecrypt(r->arg, r->esks, eskTryKey, &tryContext);
    qoxEskFreeList(r->esks);
    r->esks = nullptr;
    if (found == static_cast<int32_t>(kQOXCommitSkip) || found == static_cast<int32_t>(kQOXCommitPassthrough)) {
      QOXError err = origin->annotate(origin, r->self, static_cast<uint32_t>(found), nullptr, 0);
      if (err != kQOXErrNoErr) Message(r, err, kQOXMsgEskUnusable);
      return err;
    }
    if (found < 0) {
      Message(r, found, kQOXMsgEskUnusable);
      return found;
    }
    return kQOXErrNoErr;
  }
  if (scope == kQOXAnnSignedBegin) return CommitSigned(r, origin, code);
  return Answer(r, origin, code, nullptr, 0);
}

QOXError SetLiteralName(Reader* r, const void* data, size_t count) {
  QOXContext* context = r->self->context;
  if (r->literalName != nullptr) qoxContextMemFree(context, r->literalName);
  r->literalName = static_cast<char*>(qoxContextMemAlloc(context, count + 1, kQOXMemoryMgrFlags_Clear));
  if (r->literalName == nullptr) return kQOXErrOutOfMemory;
  std::memcpy(r->literalName, data, count);
  return kQOXErrNoErr;
}

// Step 4: the scope the current output was opened in has ended.
QOXError CloseOutput(Reader* r) {
  QOXError err = kQOXErrNoErr;
  if (r->tail != nullptr) err = r->tail->sizeAdvise(r->tail, 0);
  if (err != kQOXErrNoErr) return err;
  if (r->literalName != nullptr) {
    qoxContextMemFree(r->self->context, r->literalName);
    r->literalName = nullptr;
  }
  r->outputType = kNoOutputType;
  r->needOutput = true;
  return kQOXErrNoErr;
}

QOXError Dispatch(Reader* r, QOXPipeline* origin, uint32_t code, void* data, size_t count) {
  switch (code) {
    case kQOXAnnCommit:
      return Commit(r, origin);
    case kQOXAnnLiteralType:
      if (count > 0 && data != nullptr) r->outputType = static_cast<const uint8_t*>(data)[0];
      return kQOXErrNoErr;
    case kQOXAnnLiteralName:
      return count > 0 && data != nullptr ? SetLiteralName(r, data, count) : kQOXErrNoErr;
    case kQOXAnnSKCipherESK:
    case kQOXAnnPKCipherESK: {
      QOXError err = qoxEskAdd(r->self->context, &r->esks, code, static_cast<const uint8_t*>(data), count);
      if (err != kQOXErrNoErr) Message(r, err, kQOXMsgEskUnstorable);
      return kQOXErrNoErr;
    }
    case kQOXAnnSignature:
    case kQOXAnnSignatureTrailer: {
      const int32_t level = r->depth > 0 ? r->depth - 1 : 0;
      QOXError err =
          qoxSigDataAdd(r->self->context, &r->signatures[level], code, static_cast<const uint8_t*>(data), count);
      if (err != kQOXErrNoErr) Message(r, err, kQOXMsgSigUnstorable);
      return kQOXErrNoErr;
    }
    case kQOXAnnSignedDetached:
      if (r->depth > 0) r->detached[r->depth - 1] = 1;
      return kQOXErrNoErr;
    case kQOXAnnSignedEnd:
      return sigtry(r->self, origin);
    case kQOXAnnHashValue:
      return r->callbacks->sigVerify(r->arg, r->currentSignature, static_cast<const uint8_t*>(data));
    case kQOXAnnClearsigBegin:
    case kQOXAnnClearsigEnd:
      r->outputType = kQOXReaderTextOutput;
      return kQOXErrNoErr;
    default:
      return kQOXErrNoErr;
  }
}

size_t ReaderWrite(QOXPipeline* m, const uint8_t* bytes, size_t count, QOXError* error) {
  Reader* r = R(m);
  *error = kQOXErrNoErr;
  if (r->needOutput) {
    QOXError err = r->callbacks->newOutput(r->arg, &r->tail, r->outputType, r->literalName);
    if (err == kQOXErrNoErr && r->tail == nullptr) err = kQOXErrBadParams;
    if (err != kQOXErrNoErr) {
      *error = err;
      return 0;
    }
    r->outputDepth = r->depth;
    r->needOutput = false;
  }
  return r->tail->write(r->tail, bytes, count, error);
}

QOXError ReaderFlush(QOXPipeline* m) {
  Reader* r = R(m);
  return r->tail != nullptr ? r->tail->flush(r->tail) : kQOXErrNoErr;
}

QOXError ReaderAnnotate(QOXPipeline* m, QOXPipeline* origin, uint32_t code, void* data, size_t count) {
  Reader* r = R(m);
  QOXError err = TrackScope(r, code);
  if (err != kQOXErrNoErr) return err;
  if (r->callbacks->annotate != nullptr) {
    err = r->callbacks->annotate(r->arg, origin, code, data, count);
    if (err != kQOXErrNoErr) return err;
  }
  err = Dispatch(r, origin, code, data, count);
  if (err != kQOXErrNoErr) return err;
  if (qoxAnnIsScopeEnd(code) && !r->needOutput && r->depth < r->outputDepth) return CloseOutput(r);
  return kQOXErrNoErr;
}

QOXError ReaderSizeAdvise(QOXPipeline* m, uint64_t remaining) {
  Reader* r = R(m);
  // Only the end of the input matters; an output already closed has had it.
  if (remaining != 0 || r->tail == nullptr || r->needOutput) return kQOXErrNoErr;
  QOXError err = r->tail->sizeAdvise(r->tail, 0);
  if (err != kQOXErrNoErr) return err;
  return CloseOutput(r);
}

QOXError ReaderTeardown(QOXPipeline* m) {
  Reader* r = R(m);
  QOXContext* context = m->context;
  qoxEskFreeList(r->esks);
  for (QOXPktList*& list : r->signatures) qoxSigDataFreeList(list);
  if (r->literalName != nullptr) qoxContextMemFree(context, r->literalName);
  qoxPipelineTeardown(r->tail);
  FreeModule<Reader>(m);
  return kQOXErrNoErr;
}

constexpr ModuleOps kReaderOps = {ReaderWrite, ReaderFlush, ReaderAnnotate, ReaderSizeAdvise, ReaderTeardown};

}  // namespace

QOXPipeline** qoxAnnotationReaderCreate(QOXContext* context, QOXPipeline** head, QOXEnv* env,
                                        const QOXDecodeCallbacks* callbacks, void* callbackArg) {
  if (head == nullptr || env == nullptr || callbacks == nullptr) return nullptr;
  *head = nullptr;
  QOXPipeline* m = NewModule<Reader>(context, kQOXMagicAnnotationReader, "Simple Annotation Reader", kReaderOps);
  if (m == nullptr) return nullptr;
  Reader* r = R(m);
  r->outputType = kNoOutputType;
  r->callbacks = callbacks;
  r->env = env;
  r->arg = callbackArg;
  r->needOutput = true;
  r->closedLevel = -1;
  r->self = m;
  *head = m;
  return &r->tail;
}

QOXError eskTryKey(void* tryArg, const uint8_t* key, size_t length) {
  auto* t = static_cast<TryContext*>(tryArg);
  if (t == nullptr || t->origin == nullptr) return kQOXErrBadParams;
  return t->origin->annotate(t->origin, t->reader->self, t->code, const_cast<uint8_t*>(key), length);
}

QOXError sigtry(QOXPipeline* reader, QOXPipeline* origin) {
  if (reader == nullptr || reader->magic != kQOXMagicAnnotationReader) return kQOXErrBadParams;
  Reader* r = R(reader);
  const int32_t level = r->closedLevel >= 0 ? r->closedLevel : r->depth;
  if (level >= kQOXReaderMaxScopes) return kQOXErrNoErr;
  QOXContext* context = reader->context;
  for (const QOXPktList* s = r->signatures[level]; s != nullptr; s = qoxSigDataNext(s)) {
    size_t extraLength = 0;
    const uint8_t* extra = qoxSigDataExtra(s, &extraLength);
    const size_t size = extraLength + 2;
    auto* block = static_cast<uint8_t*>(qoxContextMemAlloc(context, size, kQOXMemoryMgrFlags_Clear));
    if (block == nullptr) {
      r->currentSignature = nullptr;
      return kQOXErrOutOfMemory;
    }
    block[0] = qoxSigDataVersion(s);
    const QOXHashVTBL* hash = qoxSigDataHash(s);
    block[1] = hash != nullptr ? static_cast<uint8_t>(hash->algorithm) : 0;
    if (extraLength > 0 && extra != nullptr) std::memcpy(block + 2, extra, extraLength);
    r->currentSignature = s;
    QOXError err = origin != nullptr ? origin->annotate(origin, reader, kQOXAnnHashRequest, block, size)
                                     : kQOXErrBadParams;
    if (err != kQOXErrNoErr) Message(r, err, kQOXMsgSigHashRequestFailed);
    WipeAndFree(context, block, size);
  }
  r->currentSignature = nullptr;
  qoxSigDataFreeList(r->signatures[level]);
  r->signatures[level] = nullptr;
  return kQOXErrNoErr;
}
