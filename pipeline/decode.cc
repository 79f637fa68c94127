// The decode operation and the decrypt pipeline (pipeline/decode.h).
#include "pipeline/decode.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "crypto/context_random.h"
#include "crypto/pkt_list.h"
#include "foundation/context.h"
#include "foundation/env.h"
#include "foundation/events.h"
#include "foundation/file.h"
#include "foundation/file_spec.h"
#include "foundation/memory_mgr.h"
#include "foundation/option_types.h"
#include "foundation/sdk_errors.h"
#include "keydb/import_binary.h"
#include "keydb/key_db.h"
#include "keydb/key_lookup.h"
#include "keydb/key_set.h"
#include "keydb/key_set_enum.h"
#include "keydb/key_set_ops.h"
#include "keydb/obj_properties.h"
#include "keydb/sig_data.h"
#include "pipeline/annotation_reader.h"
#include "pipeline/armor_parse.h"
#include "pipeline/compression.h"
#include "pipeline/decode_x509.h"
#include "pipeline/esk.h"
#include "pipeline/generic_modules.h"
#include "pipeline/io_setup.h"
#include "pipeline/module_support.h"

using qox_pipeline::FreeModule;
using qox_pipeline::ModuleOps;
using qox_pipeline::NewModule;
using qox_pipeline::StateOf;

namespace {

constexpr QOXOptionType kDecodeOptionSet[] = {
    kQOXOptionType_InputFileRef,
    kQOXOptionType_InputBuffer,
    kQOXOptionType_OutputFileRef,
    kQOXOptionType_OutputBuffer,
    kQOXOptionType_OutputAllocatedBuffer,
    kQOXOptionType_AppendOutput,
    kQOXOptionType_DiscardOutput,
    kQOXOptionType_LocalEncoding,
    kQOXOptionType_Passphrase,
    kQOXOptionType_Passkey,
    kQOXOptionType_CachePassphrase,
    kQOXOptionType_SessionKey,
    kQOXOptionType_DetachedSignature,
    kQOXOptionType_FailBelowValidity,
    kQOXOptionType_WarnBelowValidity,
    kQOXOptionType_OutputLineEndType,
    kQOXOptionType_EventHandler,
    kQOXOptionType_SendNullEvents,
    kQOXOptionType_ImportKeysTo,
    kQOXOptionType_SendEventIfKeyFound,
    kQOXOptionType_StopAfterFirstSection,
    kQOXOptionType_PassThroughIfUnrecognized,
    kQOXOptionType_PassThroughClearSigned,
    kQOXOptionType_PassThroughKeys,
    kQOXOptionType_KeyDBRef,
    kQOXOptionType_RecursivelyDecode,
    kQOXOptionType_InputFormat,
    kQOXOptionType_X509Encoding,
};

constexpr uint16_t kOpenWrite = 26;
constexpr uint16_t kOpenAppend = 22;
constexpr uint32_t kFileTypeText = 9;
constexpr uint32_t kFileTypeBinary = 10;
constexpr int32_t kInputFormatX509First = 10000;
constexpr char kConsoleName[] = "_CONSOLE";
constexpr uint8_t kTextType = 't';
constexpr uint8_t kBinaryType = 'b';
// A handler that names a further key database again and again is asked
// no more than this many times for one signature.
constexpr int kMaxKeyDBRounds = 8;

// --- Options ---

bool Find(QOXOptionListRef options, QOXOptionType type, QOXOption* out) {
  *out = QOXOption{};
  if (!qoxOptionListIsReal(options)) return false;
  if (qoxSearchOptionSingle(options, type, out) != kQOXErrNoErr) return false;
  return out->type == type;
}
uintptr_t Word(QOXOptionListRef options, QOXOptionType type) {
  QOXOption o;
  return Find(options, type, &o) ? o.value : 0;
}
bool Flag(QOXOptionListRef options, QOXOptionType type) { return (Word(options, type) & 0xFF) != 0; }
const uintptr_t* Record(QOXOptionListRef options, QOXOptionType type, size_t n) {
  QOXOption o;
  if (!Find(options, type, &o) || o.value == 0 || o.valueSize < n * sizeof(uintptr_t)) return nullptr;
  return reinterpret_cast<const uintptr_t*>(o.value);
}

// --- A byte bound in front of a sink ---

struct Bound {
  QOXPipeline* tail;
  uint64_t left;
};

size_t BoundWrite(QOXPipeline* m, const uint8_t* bytes, size_t count, QOXError* error) {
  Bound* b = StateOf<Bound>(m);
  if (count > b->left) {
    *error = kQOXErrOutputBufferTooSmall;
    return 0;
  }
  size_t sent = b->tail->write(b->tail, bytes, count, error);
  b->left -= std::min<uint64_t>(sent, b->left);
  return sent;
}
QOXError BoundFlush(QOXPipeline* m) { return StateOf<Bound>(m)->tail->flush(StateOf<Bound>(m)->tail); }
QOXError BoundAnnotate(QOXPipeline* m, QOXPipeline* origin, uint32_t type, void* data, size_t count) {
  QOXPipeline* t = StateOf<Bound>(m)->tail;
  return t->annotate(t, origin, type, data, count);
}
QOXError BoundSizeAdvise(QOXPipeline* m, uint64_t bytes) {
  QOXPipeline* t = StateOf<Bound>(m)->tail;
  return t->sizeAdvise(t, bytes);
}
QOXError BoundTeardown(QOXPipeline* m) {
  qoxPipelineTeardown(StateOf<Bound>(m)->tail);
  FreeModule<Bound>(m);
  return kQOXErrNoErr;
}
constexpr ModuleOps kBoundOps = {BoundWrite, BoundFlush, BoundAnnotate, BoundSizeAdvise, BoundTeardown};
constexpr uint32_t kMagicBound = 0xB0B0B0B0;

// --- The job ---

struct Output {
  QOXPipeline* memSink;  // the memory sink of the output, or null
  uint8_t* buffer;       // fixed buffer and its size
  size_t size;
  void** allocated;  // allocated buffer and its limit
  size_t limit;
  size_t* length;
};

struct DecodeJob {
  QOXContext* context;
  QOXOptionListRef options;
  QOXOptionListRef reply;  // options the last event's handler added
  QOXDecodeCallbacks callbacks;
  QOXEnv* env;  // the job's private copy
  QOXRandomContext* random;
  bool detachedInputUsed;
  QOXPipeline* head;
  QOXPipeline** readerTail;

  Output output;  // the module in the output slot
  Output stashedOutput;
  QOXPipeline* stashed;
  bool stash;
  QOXPipeline* keySink;
  QOXPipeline** outputSlot;

  QOXInputSetup input;

  // The output as read from options.
  PFLFileSpec* fileSpec;
  uint8_t* buffer;
  void** allocated;
  size_t size;
  size_t* length;
  bool discard;
  bool outputFromOptions;
  bool append;
  uint32_t localFlags;
  uint32_t lineEnd;

  QOXEventHandlerProcPtr handler;
  void* handlerArg;
  bool sendNullEvents;

  QOXKeyDB* keyDB;       // option 43, not held
  QOXKeyDB* extraKeyDB;  // from a Signature event's reply, held

  uint8_t* secret;  // secure memory
  size_t secretLength;
  bool passkey;
  uint32_t cacheTime;
  bool cacheGlobally;
  bool sessionKey;

  uint32_t section;
  int32_t sectionKind;
  int lexState;
  int32_t depth;
  int32_t sectionDepth;
  uint32_t sectionOffset;
  bool passThroughSeen;
  QOXFifo* passThrough;
  uint8_t literalType;
  uint8_t recursive;
  int32_t inputFormat;

  uint64_t bound;  // 0: none
  QOXInflateBudget inflateBudget;
};

// --- Events: each frees the previous reply and keeps the new one ---

void DropReply(DecodeJob* job) {
  if (job->reply != nullptr && qoxOptionListIsReal(job->reply)) qoxFreeOptionList(job->reply);
  job->reply = nullptr;
}

template <class Builder>
QOXError Event(DecodeJob* job, Builder build) {
  DropReply(job);
  if (job->handler == nullptr) return kQOXErrNoErr;
  return build(&job->reply);
}

// --- Secrets ---

void ClearSecret(DecodeJob* job) {
  if (job->secret != nullptr) {
    std::memset(job->secret, 0, job->secretLength);
    QOXFreeData(job->secret);
  }
  job->secret = nullptr;
  job->secretLength = 0;
  job->passkey = false;
  job->sessionKey = false;
  job->cacheTime = 0;
  job->cacheGlobally = false;
}

// Options 18, 19, 74 and 21 of the list, as the job's secret.
QOXError ReadSecret(DecodeJob* job, QOXOptionListRef options) {
  QOXOption o;
  const void* bytes = nullptr;
  size_t length = 0;
  if (Find(options, kQOXOptionType_Passphrase, &o)) {
    bytes = reinterpret_cast<const void*>(o.value);
    length = o.valueSize;
  } else if (Find(options, kQOXOptionType_Passkey, &o)) {
    bytes = reinterpret_cast<const void*>(o.value);
    length = o.valueSize;
    job->passkey = true;
  }
  if (const uintptr_t* cache = Record(options, kQOXOptionType_CachePassphrase, 2)) {
    job->cacheTime = static_cast<uint32_t>(cache[0]);
    job->cacheGlobally = (cache[1] & 0xFF) != 0;
  }
  if (bytes == nullptr && Find(options, kQOXOptionType_SessionKey, &o)) {
    bytes = reinterpret_cast<const void*>(o.value);
    length = o.valueSize;
    job->sessionKey = true;
  }
  if (bytes == nullptr) return kQOXErrNoErr;
  job->secret = static_cast<uint8_t*>(QOXNewSecureData(QOXPeekContextMemoryMgr(job->context), length + 1, 0));
  if (job->secret == nullptr) return kQOXErrOutOfMemory;
  if (length > 0) std::memcpy(job->secret, bytes, length);
  job->secret[length] = 0;
  job->secretLength = length;
  return kQOXErrNoErr;
}

// --- Outputs ---

// Ends the module in the output slot: the end advice, the memory sink's
// result to the caller's locations, teardown.
QOXError FinishSlot(DecodeJob* job) {
  QOXPipeline** slot = job->outputSlot;
  if (slot == nullptr || *slot == nullptr) return kQOXErrNoErr;
  QOXPipeline* module = *slot;
  QOXError err = module->sizeAdvise(module, 0);
  const Output& out = job->output;
  if (err == kQOXErrNoErr && out.memSink != nullptr) {
    if (out.allocated != nullptr) {
      err = qoxGetVariableMemOutput(out.memSink, out.limit, out.allocated, out.length);
    } else if (out.buffer != nullptr) {
      err = qoxGetMemOutput(out.memSink, out.size, out.length);
    }
  }
  *slot = nullptr;
  qoxPipelineTeardown(module);
  job->output = Output{};
  job->keySink = nullptr;
  return err;
}

void Stash(DecodeJob* job) {
  job->stashed = *job->outputSlot;
  job->stashedOutput = job->output;
  job->output = Output{};
  *job->outputSlot = nullptr;
  job->stash = true;
}

// Finishes what sits in the slot and puts the stashed output back.
QOXError Unstash(DecodeJob* job) {
  if (!job->stash) return kQOXErrNoErr;
  QOXError err = FinishSlot(job);
  *job->outputSlot = job->stashed;
  job->output = job->stashedOutput;
  job->stashed = nullptr;
  job->stashedOutput = Output{};
  job->stash = false;
  return err;
}

// A growing memory sink for key packets at the slot, behind the job's bound.
QOXError LinkKeySink(DecodeJob* job) {
  QOXPipeline** slot = job->outputSlot;
  QOXPipeline** at = slot;
  if (job->bound != 0) {
    QOXPipeline* b = NewModule<Bound>(job->context, kMagicBound, "Byte Bound", kBoundOps);
    if (b == nullptr) return kQOXErrOutOfMemory;
    StateOf<Bound>(b)->left = job->bound;
    *slot = b;
    at = &StateOf<Bound>(b)->tail;
  }
  job->keySink = qoxVariableMemModCreate(job->context, at, kQOXMemNoLimit);
  if (job->keySink == nullptr) {
    qoxPipelineTeardown(*slot);
    *slot = nullptr;
    return kQOXErrOutOfMemory;
  }
  return kQOXErrNoErr;
}

// The keys collected in the key sink: imported into a new database, then
// copied to option 33's database or reported (option 34).
QOXError CloseKeyOutput(DecodeJob* job) {
  void* bytes = nullptr;
  size_t length = 0;
  QOXError err = kQOXErrNoErr;
  if (job->keySink != nullptr) err = qoxGetVariableMemOutput(job->keySink, kQOXMemNoLimit, &bytes, &length);
  QOXError finished = FinishSlot(job);
  if (err == kQOXErrNoErr) err = finished;
  QOXOption target;
  const bool importTo = Find(job->options, kQOXOptionType_ImportKeysTo, &target);
  const bool report = Flag(job->options, kQOXOptionType_SendEventIfKeyFound);
  if (err == kQOXErrNoErr && (importTo || report)) {
    QOXKeyDB* found = nullptr;
    err = qoxImportKeyBinary(job->context, static_cast<const uint8_t*>(bytes), length, &found);
    if (err == kQOXErrNoErr) {
      if (importTo) {
        auto* db = reinterpret_cast<QOXKeyDB*>(target.value);
        err = qoxKeyDBIsValid(db) ? QOXCopyKeys(qoxKeyDBPeekRootSet(found), db, nullptr) : kQOXErrBadParams;
      } else {
        err = Event(job, [&](QOXOptionListRef* reply) {
          return qoxEventKeyFound(job->context, reply, job->handler, job->handlerArg, qoxKeyDBPeekRootSet(found));
        });
      }
      QOXFreeKeyDB(found);
    }
  }
  if (bytes != nullptr) QOXFreeData(bytes);
  return err;
}

// Steps 6 and 7 of a new output: text filter and sink at the slot.
QOXError LinkSink(DecodeJob* job, int32_t type, bool forYourEyesOnly) {
  QOXPipeline** slot = job->outputSlot;
  QOXPipeline** at = slot;
  const bool text = type == static_cast<int32_t>(kQOXAnnNonArmorBegin) || type == kTextType;
  if (text) {
    const auto* map = static_cast<const uint8_t*>(qoxenvGetPointer(job->env, kQOXEnvCharmapFromLocal, nullptr));
    at = qoxTextFiltCreate(job->context, slot, map, false, job->lineEnd);
    if (at == nullptr) return kQOXErrOutOfMemory;
  }
  auto undo = [&](QOXError err) {
    if (at != slot) {
      qoxPipelineTeardown(*slot);
      *slot = nullptr;
    }
    return err;
  };
  job->output = Output{};
  if (job->fileSpec != nullptr) {
    QOXError err = kQOXErrNoErr;
    QOXFile* f = qoxFileRefOpen(job->context, job->fileSpec,
                                static_cast<uint16_t>((job->append ? kOpenAppend : kOpenWrite) | job->localFlags),
                                text ? kFileTypeText : kFileTypeBinary, &err);
    if (f == nullptr) return undo(err != kQOXErrNoErr ? err : kQOXErrOutOfMemory);
    if (qoxFileWriteCreate(job->context, at, f, true) == nullptr) {
      f->close(f);
      return undo(kQOXErrOutOfMemory);
    }
    return kQOXErrNoErr;
  }
  if (job->buffer != nullptr) {
    QOXPipeline* sink = qoxMemModCreate(job->context, at, job->buffer, job->size);
    if (sink == nullptr) return undo(kQOXErrOutOfMemory);
    if (job->append && job->length != nullptr && *job->length > 0) {
      QOXError err = sink->annotate(sink, nullptr, kQOXAnnMemAppend, job->buffer, std::min(*job->length, job->size));
      if (err != kQOXErrNoErr) return undo(err);
    }
    job->output = Output{sink, job->buffer, job->size, nullptr, 0, job->length};
    return kQOXErrNoErr;
  }
  if (job->allocated != nullptr) {
    QOXPipeline* sink = forYourEyesOnly ? qoxSecureVariableMemModCreate(job->context, at, job->size)
                                        : qoxVariableMemModCreate(job->context, at, job->size);
    if (sink == nullptr) return undo(kQOXErrOutOfMemory);
    if (job->append && *job->allocated != nullptr && job->length != nullptr && *job->length > 0) {
      QOXError err = sink->annotate(sink, nullptr, kQOXAnnMemAppend, *job->allocated, *job->length);
      if (err != kQOXErrNoErr) return undo(err);
      QOXFreeData(*job->allocated);
      *job->allocated = nullptr;
      *job->length = 0;
    }
    job->output = Output{sink, nullptr, 0, job->allocated, job->size, job->length};
    return kQOXErrNoErr;
  }
  if (qoxDevNullCreate(job->context, at) == nullptr) return undo(kQOXErrOutOfMemory);
  return kQOXErrNoErr;
}

void ClearOutputOptions(DecodeJob* job) {
  if (job->fileSpec != nullptr) PFLFreeFileSpec(job->fileSpec);
  job->fileSpec = nullptr;
  job->buffer = nullptr;
  job->allocated = nullptr;
  job->size = 0;
  job->length = nullptr;
  job->discard = false;
}

QOXError ReadOutputOptions(DecodeJob* job, QOXOptionListRef options) {
  ClearOutputOptions(job);
  return qoxSetupOutput(options, job->env, &job->fileSpec, &job->buffer, &job->allocated, &job->size, &job->length,
                        &job->discard, &job->localFlags, &job->lineEnd, &job->append);
}

bool HasOutput(const DecodeJob* job) {
  return job->fileSpec != nullptr || job->buffer != nullptr || job->allocated != nullptr || job->discard;
}

// --- The callbacks ---

QOXError ShowMessage(void*, QOXError, uint32_t, uint32_t, const uint32_t*) { return kQOXErrNoErr; }

int32_t DoCommit(void* arg, uint32_t scope) {
  auto* job = static_cast<DecodeJob*>(arg);
  if (job->lexState == 2) {
    job->lexState = 3;
    QOXError err = Event(job, [&](QOXOptionListRef* reply) {
      return qoxEventBeginLex(job->context, reply, job->handler, job->handlerArg, job->section, job->sectionOffset);
    });
    if (err == kQOXErrNoErr) {
      err = Event(job, [&](QOXOptionListRef* reply) {
        return qoxEventAnalyze(job->context, reply, job->handler, job->handlerArg, job->sectionKind);
      });
    }
    if (err == kQOXErrSkipSection) return static_cast<int32_t>(kQOXCommitSkip);
    if (err != kQOXErrNoErr) return err;
  }
  if (scope != kQOXAnnLiteralBegin) return static_cast<int32_t>(kQOXCommitRecurse);
  // Every literal is decoded; only a recursive job parses its data again.
  return static_cast<int32_t>(job->recursive != 0 ? kQOXCommitRecurse : kQOXCommitProcess);
}

QOXError SetupNewOutput(void* arg, QOXPipeline** slot, int32_t type, const char* name) {
  auto* job = static_cast<DecodeJob*>(arg);
  if (slot == nullptr) return kQOXErrBadParams;
  if (job->outputSlot == nullptr) job->outputSlot = slot;
  QOXError err = kQOXErrNoErr;
  if (job->stash && (err = Unstash(job)) != kQOXErrNoErr) return err;

  if (type == static_cast<int32_t>(kQOXAnnKeysBegin) && !job->passThroughSeen) {
    Stash(job);
    return LinkKeySink(job);
  }
  if (type == static_cast<int32_t>(kQOXAnnNonArmorBegin) && !Flag(job->options, kQOXOptionType_PassThroughIfUnrecognized)) {
    Stash(job);
    return qoxDevNullCreate(job->context, job->outputSlot) != nullptr ? kQOXErrNoErr : kQOXErrOutOfMemory;
  }
  if (!(job->outputFromOptions && *job->outputSlot != nullptr)) {
    if ((err = FinishSlot(job)) != kQOXErrNoErr) return err;
    bool forYourEyesOnly = false;
    if (!job->outputFromOptions) {
      if (name != nullptr && std::strcmp(name, kConsoleName) == 0) {
        forYourEyesOnly = true;
        name = nullptr;
      }
      if (name != nullptr && name[0] == 0) name = nullptr;
      err = Event(job, [&](QOXOptionListRef* reply) {
        return qoxEventOutput(job->context, reply, job->handler, job->handlerArg, type, name, forYourEyesOnly);
      });
      if (err != kQOXErrNoErr) return err;
      if ((err = ReadOutputOptions(job, job->reply)) != kQOXErrNoErr) return err;
      if (!HasOutput(job)) return kQOXErrBadParams;
    }
    const bool text = type == static_cast<int32_t>(kQOXAnnNonArmorBegin) || type == kTextType;
    if ((err = LinkSink(job, text ? kTextType : kBinaryType, forYourEyesOnly)) != kQOXErrNoErr) return err;
  }
  if (job->passThroughSeen && job->passThrough != nullptr) {
    Stash(job);
    QOXPipeline* out = job->stashed;
    for (;;) {
      size_t count = 0;
      const uint8_t* bytes = qoxByteFifoDesc.peek(job->passThrough, &count);
      if (bytes == nullptr || count == 0) break;
      if (out != nullptr && (err = qoxPipelineWriteAll(out, bytes, count, nullptr)) != kQOXErrNoErr) return err;
      qoxByteFifoDesc.seek(job->passThrough, count);
    }
    if (job->sectionKind == kQOXSectionKeys) return LinkKeySink(job);
    return qoxDevNullCreate(job->context, job->outputSlot) != nullptr ? kQOXErrNoErr : kQOXErrOutOfMemory;
  }
  return kQOXErrNoErr;
}

QOXError PumpInput(DecodeJob* job, const QOXInputSetup& input, QOXPipeline* head, bool progress);

QOXError FindAltInput(void* arg, QOXPipeline* head) {
  auto* job = static_cast<DecodeJob*>(arg);
  QOXOption o;
  QOXOptionListRef source = nullptr;
  if (!job->detachedInputUsed && Find(job->options, kQOXOptionType_DetachedSignature, &o) && o.subOptions != nullptr) {
    source = o.subOptions;
    job->detachedInputUsed = true;
  } else {
    if (job->handler == nullptr) return kQOXErrDetachedSigNoCallback;
    QOXError err = Event(job, [&](QOXOptionListRef* reply) {
      return qoxEventDetachedSignature(job->context, reply, job->handler, job->handlerArg);
    });
    if (err != kQOXErrNoErr) return err;
    if (!Find(job->reply, kQOXOptionType_DetachedSignature, &o) || o.subOptions == nullptr) {
      return kQOXErrDetachedSigNoCallback;
    }
    source = o.subOptions;
  }
  QOXInputSetup input;
  QOXError err = qoxSetupInput(job->context, source, false, false, true, &input);
  if (err != kQOXErrNoErr) return err;
  err = PumpInput(job, input, head, input.fileRead != nullptr);
  qoxInputSetupFree(job->context, &input);
  return err;
}

// The key of the ID in the job's databases, or null.
QOXKeyDBObj* FindSigner(DecodeJob* job, const QOXKeyID& id) {
  for (QOXKeyDB* db : {job->keyDB, job->extraKeyDB}) {
    QOXKeyDBObj* key = nullptr;
    if (db != nullptr && qoxGetKeyByKeyID(db, &id, false, false, &key) == kQOXErrNoErr && key != nullptr) return key;
  }
  return nullptr;
}

// A key database named in the last reply (option 43), kept for the next
// search; false when there is none.
bool TakeReplyKeyDB(DecodeJob* job) {
  QOXOption o;
  if (!Find(job->reply, kQOXOptionType_KeyDBRef, &o)) return false;
  auto* db = reinterpret_cast<QOXKeyDB*>(o.value);
  if (!qoxKeyDBIsValid(db) || QOXIncKeyDBRefCount(db) != kQOXErrNoErr) return false;
  if (job->extraKeyDB != nullptr) QOXFreeKeyDB(job->extraKeyDB);
  job->extraKeyDB = db;
  return true;
}

QOXError VerifySig(void* arg, const QOXPktList* signature, const uint8_t* digest) {
  auto* job = static_cast<DecodeJob*>(arg);
  if (job->handler == nullptr) return kQOXErrNoErr;
  if (job->keyDB == nullptr && job->extraKeyDB == nullptr) return kQOXErrNeedKeyDBForDecoding;
  QOXKeyID id{};
  QOXError err = qoxGetSigDataKeyID(signature, &id);
  if (err != kQOXErrNoErr) return err;
  const QOXTime created = qoxSigDataTimestamp(signature);
  int32_t fail = 0, warn = 0;
  if ((err = qoxGetMinValidity(job->options, &fail, &warn)) != kQOXErrNoErr) return err;
  for (int round = 0; round < kMaxKeyDBRounds; ++round) {
    QOXKeyDBObj* key = FindSigner(job, id);
    if (key == nullptr) {
      err = Event(job, [&](QOXOptionListRef* reply) {
        return qoxEventSignature(job->context, reply, job->handler, job->handlerArg, &id, nullptr, false, false, false,
                                 false, false, false, 0, created);
      });
      if (err != kQOXErrNoErr) return err;
      if (!TakeReplyKeyDB(job)) return kQOXErrNoErr;
      continue;
    }
    int32_t validity = 0;
    bool meets = true, revoked = false, disabled = false, expired = false;
    err = qoxCheckKeyValidity(job->context, job->options, key, fail, warn, nullptr, &validity);
    if (err == kQOXErrKeyValidityLowOrNone) {
      meets = false;
    } else if (err == kQOXErrKeyRevoked || err == kQOXErrKeyDisabled || err == kQOXErrKeyExpired) {
      meets = false;
      (void)qoxGetKeyBoolean(key, static_cast<int32_t>(KeyDBObjProperty::KeyIsRevoked), &revoked);
      (void)qoxGetKeyBoolean(key, static_cast<int32_t>(KeyDBObjProperty::KeyIsDisabled), &disabled);
      (void)qoxGetKeyBoolean(key, static_cast<int32_t>(KeyDBObjProperty::KeyIsExpired), &expired);
    } else if (err != kQOXErrNoErr) {
      return err;
    }
    const int check = qoxSigDataCheck(signature, key, digest);
    if (check == 1 || check == 0) {
      return Event(job, [&](QOXOptionListRef* reply) {
        return qoxEventSignature(job->context, reply, job->handler, job->handlerArg, &id, key, true, check == 1,
                                 disabled, revoked, expired, meets, validity, created);
      });
    }
    if (check != kQOXErrKeyCannotSign) return check;
    err = Event(job, [&](QOXOptionListRef* reply) {
      return qoxEventSignature(job->context, reply, job->handler, job->handlerArg, &id, key, false, false, false,
                               false, false, meets, validity, created);
    });
    if (err != kQOXErrNoErr) return err;
    if (!TakeReplyKeyDB(job)) return kQOXErrNoErr;
  }
  return kQOXErrNoErr;
}

int32_t DecryptESK(void* arg, QOXPktList* esks, QOXEskTryKey tryKey, void* tryArg) {
  auto* job = static_cast<DecodeJob*>(arg);
  QOXContext* context = job->context;
  QOXError err = kQOXErrNoErr;
  uint32_t symmetric = 0, keyCount = 0;
  for (const QOXPktList* e = esks; e != nullptr; e = qoxEskNext(e)) {
    if (qoxEskType(e) == kQOXEskTypeSymmetric) ++symmetric; else ++keyCount;
  }
  // The Recipients event: the recipients' keys we have, and every key ID.
  {
    QOXKeySet* recipients = nullptr;
    if (job->keyDB != nullptr && (err = QOXNewEmptyKeySet(job->keyDB, &recipients)) != kQOXErrNoErr) return err;
    auto* ids = static_cast<QOXKeyID*>(
        qoxContextMemAlloc(context, sizeof(QOXKeyID) * (keyCount + 1), kQOXMemoryMgrFlags_Clear));
    if (ids == nullptr) {
      if (recipients != nullptr) QOXFreeKeySet(recipients);
      return kQOXErrOutOfMemory;
    }
    uint32_t n = 0;
    for (const QOXPktList* e = esks; e != nullptr; e = qoxEskNext(e)) {
      if (qoxEskType(e) == kQOXEskTypeSymmetric) continue;
      if (qoxGetEskKeyID(e, &ids[n]) != kQOXErrNoErr) continue;
      if (recipients != nullptr) {
        QOXKeyDBObj* key = nullptr;
        if (QOXFindKeyByKeyID(job->keyDB, &ids[n], &key) == kQOXErrNoErr && key != nullptr) {
          (void)QOXAddKey(key, recipients);
        }
      }
      ++n;
    }
    err = Event(job, [&](QOXOptionListRef* reply) {
      return qoxEventRecipients(context, reply, job->handler, job->handlerArg, recipients, ids, symmetric, n);
    });
    qoxContextMemFree(context, ids);
    if (recipients != nullptr) QOXFreeKeySet(recipients);
    if (err != kQOXErrNoErr) return err;
  }
  QOXKeySet* needPassphrase = nullptr;
  if (job->keyDB != nullptr && (err = QOXNewEmptyKeySet(job->keyDB, &needPassphrase)) != kQOXErrNoErr) return err;
  auto freeSet = [&](int32_t result) {
    if (needPassphrase != nullptr) QOXFreeKeySet(needPassphrase);
    return result;
  };
  for (bool firstPass = true;; firstPass = false) {
    for (const QOXPktList* e = esks; e != nullptr; e = qoxEskNext(e)) {
      const size_t room = std::max<size_t>(qoxEskMaxKeySize(e), job->secretLength) + 1;
      auto* key = static_cast<uint8_t*>(QOXNewSecureData(QOXPeekContextMemoryMgr(context), room, 0));
      if (key == nullptr) return freeSet(kQOXErrOutOfMemory);
      auto wipe = [&] {
        std::memset(key, 0, room);
        QOXFreeData(key);
      };
      int32_t length = 0;
      bool offer = false;
      if (qoxEskType(e) == kQOXEskTypePublicKey) {
        if (job->sessionKey && job->secret != nullptr) {
          std::memcpy(key, job->secret, job->secretLength);
          length = static_cast<int32_t>(job->secretLength);
          offer = true;
        } else if (job->keyDB != nullptr) {
          QOXKeyID id{};
          QOXKeyDBObj* secretKey = nullptr;
          bool isSecret = false;
          if (qoxGetEskKeyID(e, &id) == kQOXErrNoErr && QOXFindKeyByKeyID(job->keyDB, &id, &secretKey) == kQOXErrNoErr &&
              secretKey != nullptr &&
              qoxGetKeyBoolean(secretKey, static_cast<int32_t>(KeyDBObjProperty::KeyIsSecret), &isSecret) ==
                  kQOXErrNoErr &&
              isSecret) {
            length = qoxEskPKdecrypt(e, secretKey, reinterpret_cast<const char*>(job->secret), job->secretLength,
                                     job->passkey, job->cacheTime, job->cacheGlobally, key, room);
            if (length == kQOXErrBadPassphrase) {
              if (firstPass && needPassphrase != nullptr) (void)QOXAddKey(secretKey, needPassphrase);
            } else if (length == kQOXErrKeyNotSupportedByCAPI) {
              wipe();
              return freeSet(length);
            } else if (length <= 0) {
              wipe();
              return freeSet(kQOXErrBadSessionKey);
            } else {
              offer = true;
            }
          }
        }
        if (offer && tryKey(tryArg, key, static_cast<size_t>(length)) != kQOXErrNoErr) {
          wipe();
          return freeSet(kQOXErrBadSessionKey);
        }
      } else {
        if (job->sessionKey && job->secret != nullptr) {
          length = static_cast<int32_t>(std::min(job->secretLength, qoxEskMaxKeySize(e)));
          std::memcpy(key, job->secret, static_cast<size_t>(length));
          offer = true;
        } else if (job->secret != nullptr) {
          length = qoxEskConvDecrypt(e, job->env, reinterpret_cast<const char*>(job->secret), job->secretLength, key,
                                     room);
          if (length < 0) {
            wipe();
            return freeSet(length);
          }
          offer = length > 0;
        }
        if (offer && tryKey(tryArg, key, static_cast<size_t>(length)) != kQOXErrNoErr) offer = false;
      }
      if (offer) {
        err = Event(job, [&](QOXOptionListRef* reply) {
          return qoxEventDecryption(context, reply, job->handler, job->handlerArg, key[0], key,
                                    static_cast<size_t>(length));
        });
        wipe();
        return freeSet(err);
      }
      wipe();
    }
    if (job->handler == nullptr) return freeSet(static_cast<int32_t>(kQOXCommitSkip));
    err = Event(job, [&](QOXOptionListRef* reply) {
      return qoxEventPassphrase(context, reply, job->handler, job->handlerArg, symmetric > 0, needPassphrase);
    });
    if (err != kQOXErrNoErr) return freeSet(err);
    ClearSecret(job);
    if ((err = ReadSecret(job, job->reply)) != kQOXErrNoErr) return freeSet(err);
    if (job->secret == nullptr) return freeSet(static_cast<int32_t>(kQOXCommitSkip));
  }
}

// The opening annotations of a section, while the job is idle.
bool OpensSection(const DecodeJob* job, uint32_t type, int32_t* kind, bool* commitNow) {
  *commitNow = false;
  switch (type) {
    case kQOXAnnCipherBegin:
      *kind = kQOXSectionEncrypted;
      return true;
    case kQOXAnnCompressedBegin:
    case kQOXAnnSignature:
    case kQOXAnnSignatureTrailer:
      *kind = kQOXSectionSigned;
      return true;
    case kQOXAnnSignedDetached:
      *kind = kQOXSectionDetachedSignature;
      return true;
    case kQOXAnnKeysBegin:
      *kind = kQOXSectionKeys;
      return true;
    case kQOXAnnNonArmorBegin:
      if (!Flag(job->options, kQOXOptionType_PassThroughIfUnrecognized)) return false;
      *kind = kQOXSectionText;
      *commitNow = true;
      return true;
    case kQOXAnnClearsigBegin:
      *kind = kQOXSectionSigned;
      *commitNow = true;
      return true;
    default:
      return false;
  }
}

uint32_t Offset(const void* data, size_t count) {
  uint32_t v = 0;
  if (data != nullptr && count == sizeof v) std::memcpy(&v, data, sizeof v);
  return v;
}

QOXError HandleAnnotation(void* arg, QOXPipeline*, uint32_t type, void* data, size_t count) {
  auto* job = static_cast<DecodeJob*>(arg);
  QOXError err = kQOXErrNoErr;
  if (qoxAnnIsScopeBegin(type)) {
    ++job->depth;
  } else if (qoxAnnIsScopeEnd(type) && job->depth > 0) {
    --job->depth;
  }
  if (type == kQOXAnnPassthroughText) {
    job->passThroughSeen = true;
    if (job->stash && job->stashed != nullptr) {
      if (count > 0 && (err = qoxPipelineWriteAll(job->stashed, static_cast<const uint8_t*>(data), count, nullptr)) !=
                           kQOXErrNoErr) {
        return err;
      }
    } else if (job->passThrough != nullptr && count > 0) {
      if (qoxByteFifoDesc.write(job->passThrough, static_cast<const uint8_t*>(data), count) !=
          static_cast<int64_t>(count)) {
        return kQOXErrOutOfMemory;
      }
    }
  } else if (type == kQOXAnnLiteralType && count > 0 && data != nullptr) {
    job->literalType = static_cast<const uint8_t*>(data)[0];
  }
  if (job->lexState == 2 && type == kQOXAnnSignedDetached) {
    // The parser marks a signature standing alone after its body, before
    // the commit that announces the section: the section is a detached
    // signature.
    job->sectionKind = kQOXSectionDetachedSignature;
  }
  if (job->lexState == 1) {
    int32_t kind = 0;
    bool commitNow = false;
    if (OpensSection(job, type, &kind, &commitNow)) {
      job->sectionKind = kind;
      job->lexState = 2;
      job->sectionDepth = job->depth;
      if (commitNow) {
        if (count == sizeof(uint32_t)) job->sectionOffset = Offset(data, count);
        const int32_t code = DoCommit(job, type);
        if (code != static_cast<int32_t>(kQOXCommitSkip) && code != static_cast<int32_t>(kQOXCommitRecurse)) {
          return code;
        }
      }
    } else if (type == kQOXAnnArmorMsgBegin && count == sizeof(uint32_t)) {
      job->sectionOffset = Offset(data, count);
    }
  } else if (job->lexState == 3) {
    if (type == kQOXAnnKeysEnd && job->stash) {
      err = CloseKeyOutput(job);
      QOXError back = Unstash(job);
      if (err == kQOXErrNoErr) err = back;
      if (err != kQOXErrNoErr) return err;
    }
    if (job->depth < job->sectionDepth && type != kQOXAnnClearsigEnd) {
      if (!job->outputFromOptions && (err = FinishSlot(job)) != kQOXErrNoErr) return err;
      job->passThroughSeen = false;
      err = Event(job, [&](QOXOptionListRef* reply) {
        return qoxEventEndLex(job->context, reply, job->handler, job->handlerArg, job->section);
      });
      ++job->section;
      job->lexState = 1;
      if (err != kQOXErrNoErr) return err;
      if (job->section == 1 && Flag(job->options, kQOXOptionType_StopAfterFirstSection)) return kQOXErrInterruptedJob;
    }
  }
  switch (type) {
    case kQOXAnnPacketError:
    case kQOXAnnPacketTruncated:
    case kQOXAnnPacketGarbled:
    case kQOXAnnSignatureTooBig:
    case kQOXAnnESKTooBig:
      return kQOXErrBadPacket;
    case kQOXAnnArmorBadLine:
    case kQOXAnnArmorLongLine:
    case kQOXAnnArmorError:
    case kQOXAnnArmorNoCRC:
    case kQOXAnnArmorCRCBad:
      return kQOXErrAsciiArmorIncomplete;
    default:
      return kQOXErrNoErr;
  }
}

// --- Pumping ---

int32_t PumpProgress(void* arg, uint64_t done, uint64_t total) {
  auto* job = static_cast<DecodeJob*>(arg);
  QOXOptionListRef added = nullptr;
  QOXError err = qoxEventNull(job->context, &added, job->handler, job->handlerArg, static_cast<uint32_t>(done),
                              static_cast<uint32_t>(total));
  if (added != nullptr && qoxOptionListIsReal(added)) qoxFreeOptionList(added);
  return err;
}
QOXError FileProgress(void* arg, uint64_t done, uint64_t total) { return PumpProgress(arg, done, total); }

QOXError PumpInput(DecodeJob* job, const QOXInputSetup& input, QOXPipeline* head, bool progress) {
  const bool withProgress = progress && job->handler != nullptr && job->sendNullEvents;
  if (input.fileRead != nullptr) {
    if (withProgress) qoxFileReadSetCallBack(input.fileRead, FileProgress, job);
    QOXError err = qoxFileReadPump(input.fileRead, head);
    if (err == kQOXErrNoErr) err = head->sizeAdvise(head, 0);
    return err;
  }
  return qoxPumpMem(head, input.buffer, input.length, withProgress ? PumpProgress : nullptr, job);
}

// The input's length for the bound: the buffer's, or the file's size.
uint64_t InputLength(const QOXInputSetup& input) {
  if (input.fileRead != nullptr) return input.fileRead->totalSize;
  return input.length;
}

QOXError RunPipeline(DecodeJob* job) {
  QOXError err = qoxSetupInput(job->context, job->options, false, true, false, &job->input, job->random);
  if (err != kQOXErrNoErr) return err;
  if ((err = ReadOutputOptions(job, job->options)) != kQOXErrNoErr) return err;
  if (!HasOutput(job)) {
    if (job->handler == nullptr) return kQOXErrBadParams;
  } else {
    job->outputFromOptions = true;
  }
  QOXOption importTo;
  if (Find(job->options, kQOXOptionType_ImportKeysTo, &importTo) ||
      Flag(job->options, kQOXOptionType_SendEventIfKeyFound)) {
    job->bound = std::max<uint64_t>(kQOXDecodeMinBound, InputLength(job->input) * 4);
    job->inflateBudget.left = job->bound;
    if ((err = qoxenvSetPointer(job->env, kQOXEnvInflateBudget, &job->inflateBudget, sizeof job->inflateBudget)) !=
        kQOXErrNoErr) {
      return err;
    }
  }
  job->readerTail = qoxDecryptPipelineCreate(job->context, &job->head, job->env, nullptr, &job->callbacks, job);
  if (job->readerTail == nullptr) return kQOXErrOutOfMemory;
  if ((err = qoxSetupPassThrough(job->context, job->options, job->head, &job->passThrough, &job->recursive)) !=
      kQOXErrNoErr) {
    return err;
  }
  if ((err = PumpInput(job, job->input, job->head, true)) != kQOXErrNoErr) return err;
  if (job->stash) {
    if (job->outputSlot != nullptr) {
      qoxPipelineTeardown(*job->outputSlot);
      *job->outputSlot = job->stashed;
    }
    job->output = job->stashedOutput;
    job->stashed = nullptr;
    job->stash = false;
  }
  err = FinishSlot(job);
  return err;
}

}  // namespace

QOXError qoxDecodeInternal(QOXContext* context, QOXOptionListRef options) {
  if (!qoxContextIsValid(context)) return kQOXErrBadParams;
  DecodeJob job{};
  job.lexState = 1;
  job.context = context;
  job.options = options;
  QOXError err = qoxCheckOptionsInSet(options, kDecodeOptionSet, static_cast<uint32_t>(std::size(kDecodeOptionSet)));
  if (err != kQOXErrNoErr) return err;
  job.callbacks = QOXDecodeCallbacks{ShowMessage,   DoCommit,   SetupNewOutput,  FindAltInput,
                                     VerifySig,     DecryptESK, HandleAnnotation};
  job.lineEnd = qoxGetDefaultLineEndType();
  job.random = qoxContextGetX9_17RandomContext(context);
  err = qoxenvCopy(qoxContextGetEnvironment(context), &job.env);
  void* handler = nullptr;
  if (err == kQOXErrNoErr) err = qoxSetupCallback(options, &handler, &job.handlerArg, &job.sendNullEvents);
  job.handler = reinterpret_cast<QOXEventHandlerProcPtr>(handler);
  if (err == kQOXErrNoErr) {
    err = Event(&job, [&](QOXOptionListRef* reply) {
      return qoxEventInitial(context, reply, job.handler, job.handlerArg);
    });
  }
  if (err == kQOXErrNoErr) {
    QOXOption o;
    if (Find(options, kQOXOptionType_KeyDBRef, &o)) job.keyDB = reinterpret_cast<QOXKeyDB*>(o.value);
    err = ReadSecret(&job, options);
  }
  if (err == kQOXErrNoErr) {
    job.inputFormat = static_cast<int32_t>(Word(options, kQOXOptionType_InputFormat));
    if (job.inputFormat >= kInputFormatX509First) {
      err = qoxDecodeX509Input(context, options, job.inputFormat, job.handler, job.handlerArg, job.keyDB,
                               reinterpret_cast<const char*>(job.secret), job.secretLength, job.passkey);
    } else {
      err = RunPipeline(&job);
    }
  }
  // The end, in every case.
  if (job.stash) {
    if (job.outputSlot != nullptr) {
      qoxPipelineTeardown(*job.outputSlot);
      *job.outputSlot = job.stashed;
    } else {
      qoxPipelineTeardown(job.stashed);
    }
    job.stashed = nullptr;
    job.stash = false;
  }
  qoxPipelineTeardown(job.head);
  qoxInputSetupFree(context, &job.input);
  ClearOutputOptions(&job);
  if (job.passThrough != nullptr) qoxByteFifoDesc.destroy(job.passThrough);
  ClearSecret(&job);
  if (job.extraKeyDB != nullptr) QOXFreeKeyDB(job.extraKeyDB);
  if (err == kQOXErrInterruptedJob) err = kQOXErrNoErr;
  if (err != kQOXErrNoErr) {
    (void)Event(&job, [&](QOXOptionListRef* reply) {
      return qoxEventError(context, reply, job.handler, job.handlerArg, err, 0);
    });
  }
  QOXError final = Event(&job, [&](QOXOptionListRef* reply) {
    return qoxEventFinal(context, reply, job.handler, job.handlerArg);
  });
  DropReply(&job);
  if (job.env != nullptr) qoxenvDestroy(job.env);
  return final != kQOXErrNoErr ? final : err;
}

QOXPipeline** qoxDecryptPipelineCreate(QOXContext* context, QOXPipeline** head, QOXEnv* env,
                                       const QOXFifoDesc* fifoDesc, const QOXDecodeCallbacks* callbacks,
                                       void* callbackArg) {
  if (head == nullptr) return nullptr;
  QOXError err = kQOXErrNoErr;
  QOXPipeline** next = qoxParseAscCreate(context, head, env, fifoDesc != nullptr ? fifoDesc : &qoxByteFifoDesc,
                                         callbacks, callbackArg, &err);
  if (next == nullptr) return nullptr;
  QOXPipeline** tail = qoxAnnotationReaderCreate(context, next, env, callbacks, callbackArg);
  if (tail == nullptr) {
    qoxPipelineTeardown(*head);
    *head = nullptr;
    return nullptr;
  }
  return tail;
}

QOXError qoxSetupOutput(QOXOptionListRef options, QOXEnv*, PFLFileSpec** outFileSpec, uint8_t** outBuffer,
                        void*** outAllocated, size_t* outSize, size_t** outLength, bool* outDiscard,
                        uint32_t* outLocalFlags, uint32_t* outLineEnd, bool* outAppend) {
  if (outFileSpec == nullptr || outBuffer == nullptr || outAllocated == nullptr || outSize == nullptr ||
      outLength == nullptr || outDiscard == nullptr || outLocalFlags == nullptr || outLineEnd == nullptr ||
      outAppend == nullptr) {
    return kQOXErrBadParams;
  }
  *outFileSpec = nullptr;
  *outBuffer = nullptr;
  *outAllocated = nullptr;
  *outSize = 0;
  *outLength = nullptr;
  *outDiscard = false;
  *outLocalFlags = 0;
  *outLineEnd = qoxGetDefaultLineEndType();
  *outAppend = Flag(options, kQOXOptionType_AppendOutput);
  auto fail = [&](QOXError err) {
    if (*outFileSpec != nullptr) PFLFreeFileSpec(*outFileSpec);
    *outFileSpec = nullptr;
    *outBuffer = nullptr;
    *outAllocated = nullptr;
    *outSize = 0;
    *outLength = nullptr;
    *outDiscard = false;
    *outAppend = false;
    *outLineEnd = qoxGetDefaultLineEndType();
    return err;
  };
  QOXOption o;
  int outputs = 0;
  if (Find(options, kQOXOptionType_OutputFileRef, &o) && o.value != 0) {
    QOXError err = PFLCopyFileSpec(reinterpret_cast<const PFLFileSpec*>(o.value), outFileSpec);
    if (err != kQOXErrNoErr) return fail(err);
    ++outputs;
  }
  if (const uintptr_t* fixed = Record(options, kQOXOptionType_OutputBuffer, 3)) {
    if (outputs != 0 || fixed[0] == 0 || fixed[2] == 0) return fail(kQOXErrBadParams);
    *outBuffer = reinterpret_cast<uint8_t*>(fixed[0]);
    *outSize = fixed[1];
    *outLength = reinterpret_cast<size_t*>(fixed[2]);
    ++outputs;
  }
  if (const uintptr_t* allocated = Record(options, kQOXOptionType_OutputAllocatedBuffer, 3)) {
    if (outputs != 0 || allocated[0] == 0 || allocated[2] == 0) return fail(kQOXErrBadParams);
    *outAllocated = reinterpret_cast<void**>(allocated[0]);
    *outSize = allocated[1];
    *outLength = reinterpret_cast<size_t*>(allocated[2]);
    ++outputs;
  }
  if (Flag(options, kQOXOptionType_DiscardOutput)) {
    if (outputs != 0) return fail(kQOXErrBadParams);
    *outDiscard = true;
  }
  if (Find(options, kQOXOptionType_LocalEncoding, &o)) {
    *outLocalFlags = qoxLocalEncodingToFlags(static_cast<uint32_t>(o.value));
  }
  if (Find(options, kQOXOptionType_OutputLineEndType, &o)) *outLineEnd = static_cast<uint32_t>(o.value);
  return kQOXErrNoErr;
}

QOXError qoxSetupPassThrough(QOXContext* context, QOXOptionListRef options, QOXPipeline* head, QOXFifo** outFifo,
                             uint8_t* outRecursive) {
  if (head == nullptr || outFifo == nullptr || outRecursive == nullptr) return kQOXErrBadParams;
  *outFifo = nullptr;
  const auto clearSigned = static_cast<int32_t>(Word(options, kQOXOptionType_PassThroughClearSigned));
  const auto keys = static_cast<int32_t>(Word(options, kQOXOptionType_PassThroughKeys));
  const auto recursive = static_cast<int32_t>(Word(options, kQOXOptionType_RecursivelyDecode));
  *outRecursive = static_cast<uint8_t>(recursive & 0xFF);
  if (clearSigned == 0 && recursive == 0 && keys == 0) return kQOXErrNoErr;
  QOXFifo* fifo = qoxByteFifoDesc.create(context);
  if (fifo == nullptr) return kQOXErrOutOfMemory;
  uint8_t on = 1;
  QOXError err = kQOXErrNoErr;
  if (clearSigned != 0 || recursive != 0) err = head->annotate(head, nullptr, kQOXAnnPassthrough, &on, 1);
  if (err == kQOXErrNoErr && keys != 0) err = head->annotate(head, nullptr, kQOXAnnPassthroughKeys, &on, 1);
  if (err != kQOXErrNoErr) {
    qoxByteFifoDesc.destroy(fifo);
    return err;
  }
  *outFifo = fifo;
  return kQOXErrNoErr;
}
