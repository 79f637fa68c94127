// Input and output set-up (pipeline/io_setup.h).
#include "pipeline/io_setup.h"

#include <algorithm>
#include <cstring>

#include "foundation/byte_cursor.h"
#include "foundation/context.h"
#include "foundation/env.h"
#include "foundation/events.h"
#include "foundation/file.h"
#include "foundation/file_spec.h"
#include "foundation/memory_mgr.h"
#include "foundation/option_types.h"
#include "foundation/random_context.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_set_ops.h"
#include "keydb/obj_properties.h"
#include "pipeline/armor_parse.h"
#include "pipeline/armor_write.h"
#include "pipeline/generic_modules.h"

namespace {

constexpr size_t kPumpPiece = 4096;
constexpr size_t kRandomInputBytes = 1024;
constexpr uint16_t kOpenWrite = 26;   // "w"
constexpr uint16_t kOpenAppend = 22;  // "a"
constexpr uint16_t kReadFlags = 1;
constexpr uint16_t kReadDetached = 0x100;
constexpr int32_t kDefaultFailValidity = 0;
constexpr int32_t kDefaultWarnValidity = 2;
constexpr size_t kMIMESeparatorSize = 81;
constexpr char kConsoleName[] = "_CONSOLE";
constexpr char kPEMBegin[] = "-----BEGIN ";
constexpr char kPEMEnd[] = "-----END ";

// Output file types of qoxFileRefOpen.
constexpr uint32_t kFileTypeArmor = 6;
constexpr uint32_t kFileTypeEncrypted = 7;
constexpr uint32_t kFileTypeDetachedSig = 4;
constexpr uint32_t kFileTypeSigned = 11;
constexpr uint32_t kFileTypeX509 = 12;
constexpr uint32_t kFileTypePlain = 0;

bool Find(QOXOptionListRef options, QOXOptionType type, QOXOption* out) {
  *out = QOXOption{};
  if (!qoxOptionListIsReal(options)) return false;
  if (qoxSearchOptionSingle(options, type, out) != kQOXErrNoErr) return false;
  return out->type == type;
}
bool Flag(QOXOptionListRef options, QOXOptionType type) {
  QOXOption o;
  return Find(options, type, &o) && (o.value & 0xFF) != 0;
}
// The pointer-sized words of a record option (n of them), or null.
const uintptr_t* Record(QOXOptionListRef options, QOXOptionType type, size_t n) {
  QOXOption o;
  if (!Find(options, type, &o) || o.value == 0 || o.valueSize < n * sizeof(uintptr_t)) return nullptr;
  return reinterpret_cast<const uintptr_t*>(o.value);
}

bool IsSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

char* CopyString(QOXContext* context, const char* s, size_t n) {
  auto* out = static_cast<char*>(qoxContextMemAlloc(context, n + 1, 0));
  if (out == nullptr) return nullptr;
  std::memcpy(out, s, n);
  out[n] = 0;
  return out;
}

}  // namespace

QOXError qoxPumpMem(QOXPipeline* head, const uint8_t* bytes, size_t length, QOXPumpProgress progress, void* arg) {
  if (head == nullptr || (bytes == nullptr && length > 0)) return kQOXErrBadParams;
  QOXError err = head->sizeAdvise(head, length);
  if (err == kQOXErrNoErr) err = head->annotate(head, nullptr, kQOXAnnInputBegin, nullptr, 0);
  if (err == kQOXErrNoErr) err = head->sizeAdvise(head, length);
  size_t done = 0;
  while (err == kQOXErrNoErr && done < length) {
    size_t n = std::min(kPumpPiece, length - done);
    size_t sent = 0;
    err = qoxPipelineWriteAll(head, bytes + done, n, &sent);
    done += sent;
    if (err == kQOXErrNoErr && progress != nullptr && progress(arg, done, length) != 0) err = kQOXErrUserAbort;
  }
  if (err != kQOXErrNoErr) return err;
  err = head->sizeAdvise(head, 0);
  if (err == kQOXErrNoErr) err = head->annotate(head, nullptr, kQOXAnnInputEnd, nullptr, 0);
  if (err == kQOXErrNoErr) err = head->sizeAdvise(head, 0);
  return err;
}

void qoxInputSetupFree(QOXContext* context, QOXInputSetup* setup) {
  if (setup == nullptr) return;
  if (setup->fileRead != nullptr) qoxFileReadDestroy(setup->fileRead);
  if (setup->name != nullptr) qoxContextMemFree(context, setup->name);
  *setup = QOXInputSetup{};
}

QOXError qoxSetupInput(QOXContext* context, QOXOptionListRef options, bool wantName, bool localEncoding,
                       bool detached, QOXInputSetup* setup, QOXRandomContext* random) {
  if (setup == nullptr) return kQOXErrBadParams;
  *setup = QOXInputSetup{};
  QOXOption file, buffer, name;
  bool haveFile = Find(options, kQOXOptionType_InputFileRef, &file) && file.value != 0;
  bool haveBuffer = Find(options, kQOXOptionType_InputBuffer, &buffer);
  bool haveName = Find(options, kQOXOptionType_FileNameString, &name) && name.value != 0;
  if (haveFile == haveBuffer) return kQOXErrBadParams;  // neither, or both

  QOXError err = kQOXErrNoErr;
  if (wantName) {
    if (Flag(options, kQOXOptionType_ForYourEyesOnly)) {
      setup->name = CopyString(context, kConsoleName, sizeof kConsoleName - 1);
    } else if (haveName) {
      const char* s = reinterpret_cast<const char*>(name.value);
      setup->name = CopyString(context, s, strnlen(s, name.valueSize));
    } else if (!haveFile) {
      setup->name = CopyString(context, "", 0);
    }
    if (setup->name == nullptr && (haveName || !haveFile || Flag(options, kQOXOptionType_ForYourEyesOnly))) {
      err = kQOXErrOutOfMemory;
    }
  }
  if (err == kQOXErrNoErr && haveFile) {
    const auto* fileSpec = reinterpret_cast<const PFLFileSpec*>(file.value);
    if (wantName && setup->name == nullptr) {
      char* own = nullptr;
      if (PFLGetFileSpecName(fileSpec, &own) == kQOXErrNoErr && own != nullptr) {
        setup->name = CopyString(context, own, std::strlen(own));
        QOXFreeData(own);
      }
      if (setup->name == nullptr) err = kQOXErrOutOfMemory;
    }
    if (err == kQOXErrNoErr) {
      uint16_t flags = kReadFlags;
      if (localEncoding) {
        QOXOption enc;
        if (Find(options, kQOXOptionType_LocalEncoding, &enc)) {
          flags |= static_cast<uint16_t>(qoxLocalEncodingToFlags(static_cast<uint32_t>(enc.value)));
        }
      }
      if (detached) flags |= kReadDetached;
      setup->fileSpec = fileSpec;
      setup->fileRead = qoxFileRefReadCreate(context, fileSpec, flags, &err, &setup->dataKind);
      if (setup->fileRead == nullptr && err == kQOXErrNoErr) err = kQOXErrOutOfMemory;
    }
  } else if (err == kQOXErrNoErr) {
    setup->buffer = reinterpret_cast<const uint8_t*>(buffer.value);
    setup->length = buffer.valueSize;
    if (setup->buffer == nullptr && setup->length > 0) err = kQOXErrBadParams;
  }
  if (err != kQOXErrNoErr) {
    qoxInputSetupFree(context, setup);
    return err;
  }
  if (random != nullptr && random->vtbl != nullptr && random->vtbl->addBytes != nullptr) {
    const uint8_t* first = setup->buffer;
    size_t count = std::min(setup->length, kRandomInputBytes);
    if (setup->fileRead != nullptr) first = qoxFileReadPeek(setup->fileRead, &count);
    if (first != nullptr && count > 0) random->vtbl->addBytes(random->priv, first, count);
  }
  return kQOXErrNoErr;
}

QOXError qoxSetupInputToBuffer(QOXContext* context, QOXOptionListRef options, uint8_t** outBuffer, size_t* outLength,
                               bool* outAllocated) {
  if (outBuffer == nullptr || outLength == nullptr || outAllocated == nullptr) return kQOXErrBadParams;
  *outBuffer = nullptr;
  *outLength = 0;
  *outAllocated = false;
  QOXInputSetup in;
  QOXError err = qoxSetupInput(context, options, false, false, false, &in);
  if (err != kQOXErrNoErr) return err;
  if (in.fileRead == nullptr) {
    *outBuffer = const_cast<uint8_t*>(in.buffer);
    *outLength = in.length;
    return kQOXErrNoErr;
  }
  QOXPipeline* sink = nullptr;
  if (qoxVariableMemModCreate(context, &sink, kQOXMemNoLimit) == nullptr) {
    qoxInputSetupFree(context, &in);
    return kQOXErrOutOfMemory;
  }
  err = qoxFileReadPump(in.fileRead, sink);
  qoxInputSetupFree(context, &in);
  uint32_t size = 0;
  if (err == kQOXErrNoErr) err = sink->annotate(sink, nullptr, kQOXAnnMemBufSize, &size, sizeof size);
  uint8_t* block = nullptr;
  if (err == kQOXErrNoErr) err = sink->annotate(sink, nullptr, kQOXAnnMemMemBuf, &block, sizeof block);
  qoxPipelineTeardown(sink);
  if (err != kQOXErrNoErr) {
    if (block != nullptr) qoxContextMemFree(context, block);
    return err;
  }
  *outBuffer = block;
  *outLength = size;
  *outAllocated = true;
  return kQOXErrNoErr;
}

QOXError qoxSetupOutputPipeline(QOXContext* context, QOXOptionListRef options, QOXEnv* env, bool encrypting,
                                bool signing, bool detached, bool append, bool x509, QOXPipeline** tail,
                                QOXOutputSetup* out) {
  if (tail == nullptr || out == nullptr) return kQOXErrBadParams;
  *out = QOXOutputSetup{};
  QOXOption file;
  bool haveFile = Find(options, kQOXOptionType_OutputFileRef, &file) && file.value != 0;
  const uintptr_t* fixed = Record(options, kQOXOptionType_OutputBuffer, 3);
  const uintptr_t* allocated = Record(options, kQOXOptionType_OutputAllocatedBuffer, 3);
  bool discard = Flag(options, kQOXOptionType_DiscardOutput);
  int outputs = int{haveFile} + int{fixed != nullptr} + int{allocated != nullptr};
  if (outputs > 1 || (discard && outputs > 0)) return kQOXErrBadParams;

  if (haveFile) {
    uint32_t type = kFileTypePlain;
    if (qoxenvGetInt(env, kQOXEnvArmorOutput, nullptr, nullptr) != 0) {
      type = kFileTypeArmor;
    } else if (encrypting) {
      type = kFileTypeEncrypted;
    } else if (signing) {
      type = detached ? kFileTypeDetachedSig : kFileTypeSigned;
    } else if (x509) {
      type = kFileTypeX509;
    }
    QOXError err = kQOXErrNoErr;
    QOXFile* f = qoxFileRefOpen(context, reinterpret_cast<const PFLFileSpec*>(file.value),
                                append ? kOpenAppend : kOpenWrite, type, &err);
    if (f == nullptr) return err != kQOXErrNoErr ? err : kQOXErrOutOfMemory;
    if (qoxFileWriteCreate(context, tail, f, true) == nullptr) {
      f->close(f);
      return kQOXErrOutOfMemory;
    }
    out->file = f;
    return kQOXErrNoErr;
  }
  if (fixed != nullptr) {
    auto* buffer = reinterpret_cast<uint8_t*>(fixed[0]);
    size_t size = fixed[1];
    auto* length = reinterpret_cast<size_t*>(fixed[2]);
    if (buffer == nullptr || length == nullptr) return kQOXErrBadParams;
    QOXPipeline* sink = qoxMemModCreate(context, tail, buffer, size);
    if (sink == nullptr) return kQOXErrOutOfMemory;
    if (append && *length > 0) {
      QOXError err = sink->annotate(sink, nullptr, kQOXAnnMemAppend, buffer, std::min(*length, size));
      if (err != kQOXErrNoErr) {
        *tail = nullptr;
        qoxPipelineTeardown(sink);
        return err;
      }
    }
    *out = QOXOutputSetup{nullptr, buffer, size, nullptr, 0, length, sink};
    return kQOXErrNoErr;
  }
  if (allocated != nullptr) {
    auto** buffer = reinterpret_cast<void**>(allocated[0]);
    size_t limit = allocated[1];
    auto* length = reinterpret_cast<size_t*>(allocated[2]);
    if (buffer == nullptr || length == nullptr) return kQOXErrBadParams;
    QOXPipeline* sink = qoxVariableMemModCreate(context, tail, limit);
    if (sink == nullptr) return kQOXErrOutOfMemory;
    if (append && *buffer != nullptr && *length > 0) {
      QOXError err = sink->annotate(sink, nullptr, kQOXAnnMemAppend, *buffer, *length);
      if (err != kQOXErrNoErr) {
        *tail = nullptr;
        qoxPipelineTeardown(sink);
        return err;
      }
      QOXFreeData(*buffer);
      *buffer = nullptr;
      *length = 0;
    }
    *out = QOXOutputSetup{nullptr, nullptr, 0, buffer, limit, length, sink};
    return kQOXErrNoErr;
  }
  return qoxDevNullCreate(context, tail) != nullptr ? kQOXErrNoErr : kQOXErrOutOfMemory;
}

QOXError qoxGetMemOutput(QOXPipeline* sink, size_t size, size_t* outLength) {
  if (sink == nullptr || outLength == nullptr) return kQOXErrBadParams;
  uint32_t count = 0;
  QOXError err = sink->annotate(sink, nullptr, kQOXAnnMemByteCount, &count, sizeof count);
  if (err != kQOXErrNoErr) return err;
  // The length never exceeds what the buffer holds.
  *outLength = std::min<size_t>(count, size);
  return count > size ? kQOXErrOutputBufferTooSmall : kQOXErrNoErr;
}

QOXError qoxGetVariableMemOutput(QOXPipeline* sink, size_t sizeLimit, void** outBuffer, size_t* outLength) {
  if (sink == nullptr || outBuffer == nullptr || outLength == nullptr) return kQOXErrBadParams;
  uint32_t count = 0;
  QOXError err = sink->annotate(sink, nullptr, kQOXAnnMemByteCount, &count, sizeof count);
  if (err != kQOXErrNoErr) return err;
  void* block = nullptr;
  err = sink->annotate(sink, nullptr, kQOXAnnMemMemBuf, &block, sizeof block);
  if (err != kQOXErrNoErr) return err;
  uint32_t stored = 0;
  err = sink->annotate(sink, nullptr, kQOXAnnMemBufSize, &stored, sizeof stored);
  if (err != kQOXErrNoErr) {
    QOXFreeData(block);
    return err;
  }
  *outBuffer = block;
  *outLength = stored;
  return count > sizeLimit ? kQOXErrOutputBufferTooSmall : kQOXErrNoErr;
}

QOXError qoxFinishOutput(const QOXOutputSetup* out) {
  if (out == nullptr || out->memSink == nullptr) return kQOXErrNoErr;
  if (out->allocatedBuffer != nullptr) {
    return qoxGetVariableMemOutput(out->memSink, out->sizeLimit, out->allocatedBuffer, out->lengthLocation);
  }
  return qoxGetMemOutput(out->memSink, out->size, out->lengthLocation);
}

QOXError qoxOutputBufferByOptionList(QOXContext* context, const uint8_t* bytes, size_t length,
                                     QOXOptionListRef options, uint32_t pemKind) {
  if (bytes == nullptr && length > 0) return kQOXErrBadParams;
  QOXEnv* env = qoxContextGetEnvironment(context);
  bool pem = Flag(options, kQOXOptionType_ArmorOutput) && pemKind != 0;
  QOXPipeline* head = nullptr;
  QOXPipeline** slot = &head;
  if (pem) {
    QOXOption lineEnd;
    uint32_t ends = qoxGetDefaultLineEndType();
    if (Find(options, kQOXOptionType_OutputLineEndType, &lineEnd)) ends = static_cast<uint32_t>(lineEnd.value);
    const auto* map = static_cast<const uint8_t*>(qoxenvGetPointer(env, kQOXEnvCharmapToLocal, nullptr));
    slot = qoxArmorWriteCreate(context, slot, env, &qoxByteFifoDesc, false, kQOXArmorFormDefault,
                               kQOXArmorKindBlock);
    if (slot != nullptr) slot = qoxTextFiltCreate(context, slot, map, false, ends);
    if (slot == nullptr) {
      qoxPipelineTeardown(head);
      return kQOXErrOutOfMemory;
    }
  }
  QOXOutputSetup out;
  QOXError err = qoxSetupOutputPipeline(context, options, env, false, false, false,
                                        Flag(options, kQOXOptionType_AppendOutput), true, slot, &out);
  if (err != kQOXErrNoErr) {
    qoxPipelineTeardown(head);
    return err;
  }
  if (pem) err = head->annotate(head, nullptr, pemKind, nullptr, 0);
  if (err == kQOXErrNoErr) err = qoxPumpMem(head, bytes, length, nullptr, nullptr);
  if (err == kQOXErrNoErr) err = qoxFinishOutput(&out);
  qoxPipelineTeardown(head);
  return err;
}

QOXError qoxRemovePEMEncoding(QOXContext* context, const uint8_t* bytes, size_t length, uint8_t** outBuffer,
                              size_t* outLength) {
  if (outBuffer == nullptr || outLength == nullptr || (bytes == nullptr && length > 0)) return kQOXErrBadParams;
  *outBuffer = nullptr;
  *outLength = 0;
  qoxParseAscInit();
  ostrak::ByteCursor in(bytes, length);
  auto skipSpace = [&in] {
    uint8_t c;
    while (in.peek_u8(&c) && IsSpace(c)) in.skip(1);
  };
  auto startsWith = [&in](const char* s) {
    const uint8_t* p = nullptr;
    size_t n = std::strlen(s);
    return in.peek(n, &p) && std::memcmp(p, s, n) == 0;
  };
  skipSpace();
  if (in.remaining() >= 11 && startsWith(kPEMBegin)) {
    uint8_t c;
    while (in.get_u8(&c) && c != '\n' && c != '\r') {
    }
  }
  // The output never exceeds three quarters of the input.
  size_t capacity = length / 4 * 3 + 3;
  auto* out = static_cast<uint8_t*>(qoxContextMemAlloc(context, capacity, 0));
  if (out == nullptr) return kQOXErrOutOfMemory;
  size_t used = 0;
  QOXError err = kQOXErrNoErr;
  for (;;) {
    skipSpace();
    if (in.empty() || (in.remaining() > 8 && startsWith(kPEMEnd))) break;
    size_t run = 0;
    while (run < in.remaining() && !IsSpace(in.data()[run])) ++run;
    if (run % 4 != 0) {
      err = kQOXErrBadParams;
      break;
    }
    int64_t n = qoxDearmorLine(in.data(), run, out + used, capacity - used);
    if (n < 0) {
      err = kQOXErrBadParams;
      break;
    }
    used += static_cast<size_t>(n);
    in.skip(run);
  }
  if (err != kQOXErrNoErr) {
    std::memset(out, 0, capacity);
    qoxContextMemFree(context, out);
    return err;
  }
  *outBuffer = out;
  *outLength = used;
  return kQOXErrNoErr;
}

QOXError qoxGetQOXMIMEBodyOffset(QOXPipeline* head, QOXOptionListRef options) {
  const uintptr_t* mime = Record(options, kQOXOptionType_QOXMIMEEncoding, 3);
  if (mime == nullptr || (mime[0] & 0xFF) == 0) return kQOXErrNoErr;
  if (head == nullptr) return kQOXErrBadParams;
  auto* offset = reinterpret_cast<uint32_t*>(mime[1]);
  auto* separator = reinterpret_cast<uint8_t*>(mime[2]);
  if (offset != nullptr) {
    uint32_t body = 0;
    QOXError err = head->annotate(head, nullptr, kQOXAnnMIMEBodyOffset, &body, sizeof body);
    if (err != kQOXErrNoErr) return err;
    QOXOption lineEnd;
    uint32_t ends = qoxGetDefaultLineEndType();
    if (Find(options, kQOXOptionType_OutputLineEndType, &lineEnd)) ends = static_cast<uint32_t>(lineEnd.value);
    if (ends == 3) {
      uint32_t lines = 0;
      err = head->annotate(head, nullptr, kQOXAnnMIMEHeaderLines, &lines, sizeof lines);
      if (err != kQOXErrNoErr) return err;
      body += lines;
    }
    *offset = body;
  }
  if (separator != nullptr) return head->annotate(head, nullptr, kQOXAnnMIMESeparator, separator, kMIMESeparatorSize);
  return kQOXErrNoErr;
}

QOXError qoxSetupCallback(QOXOptionListRef options, void** outHandler, void** outArg, bool* outSendNullEvents) {
  if (outHandler == nullptr || outArg == nullptr || outSendNullEvents == nullptr) return kQOXErrBadParams;
  *outHandler = nullptr;
  *outArg = nullptr;
  *outSendNullEvents = false;
  const uintptr_t* handler = Record(options, kQOXOptionType_EventHandler, 2);
  QOXOption nullEvents;
  bool wantNull = Find(options, kQOXOptionType_SendNullEvents, &nullEvents) && nullEvents.value != 0;
  if (wantNull && (handler == nullptr || handler[0] == 0)) return kQOXErrBadParams;
  if (handler != nullptr) {
    *outHandler = reinterpret_cast<void*>(handler[0]);
    *outArg = reinterpret_cast<void*>(handler[1]);
  }
  *outSendNullEvents = wantNull;
  return kQOXErrNoErr;
}

QOXError qoxWarnUser(QOXContext* context, QOXOptionListRef options, QOXError code, uintptr_t arg) {
  void* handler = nullptr;
  void* userValue = nullptr;
  bool sendNull = false;
  QOXError err = qoxSetupCallback(options, &handler, &userValue, &sendNull);
  if (err != kQOXErrNoErr || handler == nullptr) return err;
  QOXOptionListRef added = nullptr;
  err = qoxEventWarning(context, &added, reinterpret_cast<QOXEventHandlerProcPtr>(handler), userValue, code, arg);
  if (added != nullptr && qoxOptionListIsReal(added)) qoxFreeOptionList(added);
  return err;
}

QOXError qoxGetMinValidity(QOXOptionListRef options, int32_t* outFail, int32_t* outWarn) {
  if (outFail == nullptr || outWarn == nullptr) return kQOXErrBadParams;
  *outFail = kDefaultFailValidity;
  *outWarn = kDefaultWarnValidity;
  QOXOption o;
  if (Find(options, kQOXOptionType_FailBelowValidity, &o)) *outFail = static_cast<int32_t>(o.value);
  if (Find(options, kQOXOptionType_WarnBelowValidity, &o)) *outWarn = static_cast<int32_t>(o.value);
  return kQOXErrNoErr;
}

QOXError qoxCheckKeyValidity(QOXContext*, QOXOptionListRef, QOXKeyDBObj* key, int32_t failBelow, int32_t warnBelow,
                             QOXKeySet* warnSet, int32_t* outValidity) {
  if (key == nullptr) return kQOXErrBadParams;
  int32_t validity = 0;
  QOXError err = qoxGetKeyNumber(key, static_cast<int32_t>(KeyDBObjProperty::KeyValidity), &validity);
  if (err != kQOXErrNoErr) return err;
  if (outValidity != nullptr) *outValidity = validity;
  static constexpr struct {
    KeyDBObjProperty property;
    QOXError error;
  } kRefusals[] = {
      {KeyDBObjProperty::KeyIsRevoked, kQOXErrKeyRevoked},
      {KeyDBObjProperty::KeyIsDisabled, kQOXErrKeyDisabled},
      {KeyDBObjProperty::KeyIsExpired, kQOXErrKeyExpired},
  };
  for (const auto& r : kRefusals) {
    bool set = false;
    err = qoxGetKeyBoolean(key, static_cast<int32_t>(r.property), &set);
    if (err != kQOXErrNoErr) return err;
    if (set) return r.error;
  }
  if (validity < failBelow) return kQOXErrKeyValidityLowOrNone;
  if (validity < warnBelow && warnSet != nullptr) return QOXAddKey(key, warnSet);
  return kQOXErrNoErr;
}

uint32_t qoxGetDefaultLineEndType() { return 1; }

uint32_t qoxLocalEncodingToFlags(uint32_t encoding) {
  uint32_t flags = 0;
  if (encoding & 2) {
    flags = 64;
  } else if (encoding & 1) {
    flags = 128;
  }
  if (encoding & 4) flags |= 0x200;
  return flags;
}
