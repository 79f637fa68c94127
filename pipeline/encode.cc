// The encode operation (pipeline/encode.h).
#include "pipeline/encode.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "crypto/cipher.h"
#include "crypto/random_pool.h"
#include "foundation/context.h"
#include "foundation/core/sig_spec.h"
#include "foundation/env.h"
#include "foundation/events.h"
#include "foundation/file_spec.h"
#include "foundation/memory_mgr.h"
#include "foundation/option_types.h"
#include "foundation/random_context.h"
#include "foundation/sdk_errors.h"
#include "crypto/context_random.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_iter.h"
#include "keydb/key_ops.h"
#include "keydb/key_set.h"
#include "keydb/key_set_enum.h"
#include "keydb/key_set_ops.h"
#include "keydb/obj_properties.h"
#include "keydb/self_sig.h"
#include "keydb/x509_services.h"
#include "pipeline/encrypt_pipeline.h"
#include "pipeline/generic_modules.h"
#include "pipeline/io_setup.h"
#include "pipeline/scoped_crypto.h"

namespace {

using P = KeyDBObjProperty;

constexpr int32_t kSetPriority = kQOXEnvPriorityOptions;
// Output formats above this one are X.509 certificate requests.
constexpr int32_t kLastNativeOutputFormat = 9999;
// How many bytes of an input buffer feed the random context.
constexpr size_t kRandomSeedBytes = 1024;
// Data kind of qoxSetupInput that forbids text mode.
constexpr uint32_t kBinaryDataKind = 2;
// Signature types of a signature over binary and over text data.
constexpr uint8_t kSigTypeBinary = 0x00;
constexpr uint8_t kSigTypeText = 0x01;
// Cipher numbers of the default preference lists.
constexpr uint8_t kV3KeyPreferences[] = {1};
constexpr uint8_t kV4KeyPreferences[] = {3, 1, 2};
constexpr uint8_t kFIPSPreferences[] = {2};
constexpr uint8_t kPrefAlgsSubpacket = 11;

// The 42 option types an encode accepts.
constexpr QOXOptionType kEncodeOptionSet[] = {
    kQOXOptionType_InputFileRef,        kQOXOptionType_InputBuffer,
    kQOXOptionType_FileNameString,      kQOXOptionType_OutputFileRef,
    kQOXOptionType_OutputBuffer,        kQOXOptionType_OutputAllocatedBuffer,
    kQOXOptionType_AppendOutput,        kQOXOptionType_DiscardOutput,
    kQOXOptionType_LocalEncoding,       kQOXOptionType_RawQOXInput,
    kQOXOptionType_EncryptToKeyDBObj,   kQOXOptionType_EncryptToKeySet,
    kQOXOptionType_SignWithKey,         kQOXOptionType_ConventionalEncrypt,
    kQOXOptionType_Passphrase,          kQOXOptionType_Passkey,
    kQOXOptionType_CachePassphrase,     kQOXOptionType_DetachedSignature,
    kQOXOptionType_CipherAlgorithm,     kQOXOptionType_HashAlgorithm,
    kQOXOptionType_FailBelowValidity,   kQOXOptionType_WarnBelowValidity,
    kQOXOptionType_QOXMIMEEncoding,     kQOXOptionType_OutputLineEndType,
    kQOXOptionType_EventHandler,        kQOXOptionType_SendNullEvents,
    kQOXOptionType_AskUserForEntropy,   kQOXOptionType_ArmorOutput,
    kQOXOptionType_DataIsASCII,         kQOXOptionType_ClearSign,
    kQOXOptionType_ForYourEyesOnly,     kQOXOptionType_CommentString,
    kQOXOptionType_Compression,         kQOXOptionType_VersionString,
    kQOXOptionType_OmitMIMEVersion,     kQOXOptionType_PreferredAlgorithms,
    kQOXOptionType_OutputFormat,        kQOXOptionType_ExportPrivateKeys,
    kQOXOptionType_ExportPrivateSubkeys, kQOXOptionType_ExportFormat,
    kQOXOptionType_ExportKeySet,        kQOXOptionType_ExportKeyDBObj,
};
static_assert(sizeof kEncodeOptionSet / sizeof kEncodeOptionSet[0] == 42);

// The single option of a type (out->type 0 when absent); a second one is
// kQOXErrRedundantOptions.
QOXError Single(QOXOptionListRef options, QOXOptionType type, QOXOption* out, bool* found) {
  *out = QOXOption{};
  *found = false;
  if (!qoxOptionListIsReal(options)) return kQOXErrNoErr;
  QOXError err = qoxSearchOptionSingle(options, type, out);
  if (err != kQOXErrNoErr) return err;
  *found = out->type == type;
  return kQOXErrNoErr;
}
bool Present(QOXOptionListRef options, QOXOptionType type, QOXOption* out) {
  bool found = false;
  return Single(options, type, out, &found) == kQOXErrNoErr && found;
}
bool FlagSet(QOXOptionListRef options, QOXOptionType type) {
  QOXOption o;
  return Present(options, type, &o) && (o.value & 0xFF) != 0;
}

// The passphrase of a nested list: option 18, else option 19 (a passkey).
bool NestedPassphrase(QOXOptionListRef nested, const char** pass, size_t* length, bool* passkey) {
  QOXOption o;
  *pass = nullptr;
  *length = 0;
  *passkey = false;
  if (Present(nested, kQOXOptionType_Passphrase, &o)) {
    *pass = reinterpret_cast<const char*>(o.value);
    *length = o.valueSize;
    return true;
  }
  if (Present(nested, kQOXOptionType_Passkey, &o)) {
    *pass = reinterpret_cast<const char*>(o.value);
    *length = o.valueSize;
    *passkey = true;
    return true;
  }
  return false;
}

void FeedRandom(QOXRandomContext* random, const uint8_t* bytes, size_t count) {
  if (random != nullptr && random->vtbl != nullptr && random->vtbl->addBytes != nullptr && bytes != nullptr &&
      count > 0) {
    random->vtbl->addBytes(random->priv, bytes, count);
  }
}

// Set when the caller named an output file: what it was before the job.
struct OutputFileState {
  bool named = false;
  bool opened = false;
  bool existed = false;
  bool append = false;
  off_t earlierLength = 0;
  char* path = nullptr;  // QOXFreeData
};

// One encode job.
struct EncodeJob {
  QOXContext* context = nullptr;
  QOXOptionListRef options = nullptr;
  QOXError error = kQOXErrNoErr;
  QOXPipeline* head = nullptr;
  QOXPipeline** tail = nullptr;
  QOXConvEncryption* conventional = nullptr;
  QOXSigSpec* signing = nullptr;
  QOXKeySet* recipients = nullptr;
  QOXKeyDB* recipientDB = nullptr;  // a private database, when recipients came from several
  QOXInputSetup input{};
  QOXOutputSetup output{};
  OutputFileState file;
  QOXEnv* env = nullptr;
  QOXRandomContext* random = nullptr;
  QOXEventHandlerProcPtr handler = nullptr;
  void* handlerArg = nullptr;
  bool sendNullEvents = false;
  int32_t outputFormat = 0;
  bool encrypting = false;
  bool detached = false;
  qox_pipeline::SecurePtr sessionKey;
};

// Options a handler added during an event stay the job's: here they are
// read by nobody and freed at once.
void Drop(QOXOptionListRef added) {
  if (added != nullptr && qoxOptionListIsReal(added)) qoxFreeOptionList(added);
}

QOXError encodeLocalCallBack(void* arg, uint64_t done, uint64_t total) {
  auto* job = static_cast<EncodeJob*>(arg);
  if (job->handler == nullptr || !job->sendNullEvents) return kQOXErrNoErr;
  QOXOptionListRef added = nullptr;
  QOXError err = qoxEventNull(job->context, &added, job->handler, job->handlerArg, static_cast<uint32_t>(done),
                              static_cast<uint32_t>(total));
  Drop(added);
  return err;
}
int32_t encodeMemCallBack(void* arg, uint64_t done, uint64_t total) { return encodeLocalCallBack(arg, done, total); }

QOXError encodePKEncryptCallBack(void* arg, uint32_t) {
  auto* job = static_cast<EncodeJob*>(arg);
  if (job->handler == nullptr || !job->sendNullEvents) return kQOXErrNoErr;
  QOXOptionListRef added = nullptr;
  QOXError err = qoxEventNull(job->context, &added, job->handler, job->handlerArg, 0, 1);
  Drop(added);
  return err;
}

// Entropy events until the pool holds its minimum. Without option 35 a
// short pool is kQOXErrOutOfEntropy; so is a handler that answers 0 while
// the pool did not grow (it would be asked for ever).
QOXError GatherEntropy(EncodeJob* job) {
  if (QOXGlobalRandomPoolHasMinimumEntropy()) return kQOXErrNoErr;
  if (!FlagSet(job->options, kQOXOptionType_AskUserForEntropy)) return kQOXErrOutOfEntropy;
  while (!QOXGlobalRandomPoolHasMinimumEntropy()) {
    const uint32_t before = QOXGlobalRandomPoolGetEntropy();
    const uint32_t minimum = QOXGlobalRandomPoolGetMinimumEntropy();
    QOXOptionListRef added = nullptr;
    QOXError err = qoxEventEntropy(job->context, &added, job->handler, job->handlerArg,
                                   minimum > before ? minimum - before : 0);
    Drop(added);
    if (err != kQOXErrNoErr) return err;
    if (QOXGlobalRandomPoolHasMinimumEntropy()) break;
    if (job->handler == nullptr || QOXGlobalRandomPoolGetEntropy() <= before) return kQOXErrOutOfEntropy;
  }
  return kQOXErrNoErr;
}

// Before the output is opened: what the named file is now.
QOXError NoteOutputFile(EncodeJob* job, bool append) {
  QOXOption o;
  if (!Present(job->options, kQOXOptionType_OutputFileRef, &o) || o.value == 0) return kQOXErrNoErr;
  job->file.named = true;
  job->file.append = append;
  const auto* spec = reinterpret_cast<const PFLFileSpec*>(o.value);
  QOXError err = PFLGetFullPathFromFileSpec(spec, &job->file.path);
  if (err != kQOXErrNoErr) {
    job->file.path = nullptr;
    return err;
  }
  struct stat st;
  if (job->file.path != nullptr && ::stat(job->file.path, &st) == 0) {
    job->file.existed = true;
    job->file.earlierLength = st.st_size;
  }
  return kQOXErrNoErr;
}

// After a failure, with the output closed: a file the job created or
// truncated goes, one it appended to gets its earlier length back.
void UndoOutputFile(EncodeJob* job) {
  if (!job->file.opened || job->file.path == nullptr) return;
  if (job->file.append && job->file.existed) {
    (void)::truncate(job->file.path, job->file.earlierLength);
  } else {
    (void)::unlink(job->file.path);
  }
}

QOXError PackageOutputX509(EncodeJob* job);

QOXError RunJob(EncodeJob* job) {
  QOXContext* context = job->context;
  QOXError err = qoxSetupConventionalEncryption(context, job->options, &job->conventional);
  if (err != kQOXErrNoErr) return err;
  err = qoxSetupPublicKeyEncryption(context, job->options, job->env, &job->recipients, &job->recipientDB);
  if (err != kQOXErrNoErr) return err;
  job->encrypting = job->conventional != nullptr || job->recipients != nullptr;

  QOXOption o;
  job->detached = Present(job->options, kQOXOptionType_DetachedSignature, &o);
  if (Present(job->options, kQOXOptionType_OutputFormat, &o)) job->outputFormat = static_cast<int32_t>(o.value);
  if (job->outputFormat > kLastNativeOutputFormat) return PackageOutputX509(job);

  err = qoxSetupInput(context, job->options, true, true, job->detached, &job->input);
  if (err != kQOXErrNoErr) return err;
  const bool binaryData = job->input.dataKind == kBinaryDataKind;

  err = qoxSetupSigning(context, job->options, job->encrypting, job->env, binaryData, job->detached, &job->signing);
  if (err != kQOXErrNoErr) return err;
  // The X9.17 generator (made on first use, with the context) serves jobs
  // that sign or encrypt; the first bytes of the input go into it.
  if (job->signing != nullptr || job->encrypting) {
    job->random = qoxContextGetX9_17RandomContext(context);
    if (job->input.fileRead != nullptr) {
      size_t count = 0;
      const uint8_t* peek = qoxFileReadPeek(job->input.fileRead, &count);
      FeedRandom(job->random, peek, count);
    } else {
      FeedRandom(job->random, job->input.buffer, std::min(job->input.length, kRandomSeedBytes));
    }
  }
  const bool raw = FlagSet(job->options, kQOXOptionType_RawQOXInput);

  if (job->encrypting) {
    job->sessionKey = qox_pipeline::NewSecure(QOXPeekContextMemoryMgr(context), kQOXSessionKeyBufferSize);
    if (!job->sessionKey) return kQOXErrOutOfMemory;
  }

  QOXConvKey passphrase{};
  if (job->conventional != nullptr) {
    passphrase.passphrase = job->conventional->passphrase;
    passphrase.passphraseLength = job->conventional->passphraseLength;
  }
  QOXLiteralInfo literal{job->input.name, 0};
  size_t sessionKeyLength = 0;
  err = kQOXErrNoErr;
  job->tail = qoxEncryptPipelineCreate(context, &job->head, job->env, nullptr, job->random,
                                       job->conventional != nullptr ? &passphrase : nullptr, job->recipients,
                                       job->signing, raw ? nullptr : &literal, job->detached, job->sessionKey.get(),
                                       binaryData, encodePKEncryptCallBack, job, &sessionKeyLength, &err);
  if (job->tail == nullptr) return err != kQOXErrNoErr ? err : kQOXErrOutOfMemory;

  if (job->sessionKey && sessionKeyLength > 0) {
    QOXOptionListRef added = nullptr;
    err = qoxEventEncryption(context, &added, job->handler, job->handlerArg, job->sessionKey.get(),
                             sessionKeyLength);
    Drop(added);
    std::memset(job->sessionKey.get(), 0, kQOXSessionKeyBufferSize);
    job->sessionKey.reset();
    if (err != kQOXErrNoErr) return err;
  }

  if (qoxenvGetInt(job->env, kQOXEnvArmorOutput, nullptr, nullptr) != 0) {
    uint32_t lineEnd = qoxGetDefaultLineEndType();
    if (Present(job->options, kQOXOptionType_OutputLineEndType, &o)) lineEnd = static_cast<uint32_t>(o.value);
    const auto* map = static_cast<const uint8_t*>(qoxenvGetPointer(job->env, kQOXEnvCharmapToLocal, nullptr));
    QOXPipeline** next = qoxTextFiltCreate(context, job->tail, map, false, lineEnd);
    if (next == nullptr) return kQOXErrOutOfMemory;
    job->tail = next;
  }

  if (job->signing != nullptr || job->encrypting) {
    err = GatherEntropy(job);
    if (err != kQOXErrNoErr) return err;
  }

  const bool append = FlagSet(job->options, kQOXOptionType_AppendOutput);
  err = NoteOutputFile(job, append);
  if (err != kQOXErrNoErr) return err;
  err = qoxSetupOutputPipeline(context, job->options, job->env, job->encrypting, job->signing != nullptr,
                               job->detached, append, false, job->tail, &job->output);
  if (err != kQOXErrNoErr) return err;
  job->file.opened = job->output.file != nullptr;

  const bool progress = job->handler != nullptr && job->sendNullEvents;
  if (job->input.fileRead != nullptr) {
    if (progress) qoxFileReadSetCallBack(job->input.fileRead, encodeLocalCallBack, job);
    err = qoxFileReadPump(job->input.fileRead, job->head);
    qoxFileReadDestroy(job->input.fileRead);
    job->input.fileRead = nullptr;
    if (err == kQOXErrNoErr) err = job->head->sizeAdvise(job->head, 0);
  } else {
    err = qoxPumpMem(job->head, job->input.buffer, job->input.length, progress ? encodeMemCallBack : nullptr, job);
  }
  if (err != kQOXErrNoErr) return err;

  err = qoxFinishOutput(&job->output);
  if (err != kQOXErrNoErr) return err;
  err = qoxGetQOXMIMEBodyOffset(job->head, job->options);
  qoxPipelineTeardown(job->head);
  job->head = nullptr;
  return err;
}

// The job as an X.509 certificate request: at most one recipient, one
// signer, no passphrase and no detached signature.
QOXError PackageOutputX509(EncodeJob* job) {
  QOXContext* context = job->context;
  if (job->detached) return kQOXErrBadParams;
  QOXError err = qoxSetupSigning(context, job->options, job->encrypting, job->env, false, false, &job->signing);
  if (err != kQOXErrNoErr) return err;
  if (job->conventional != nullptr) return kQOXErrBadParams;
  if (job->signing != nullptr && qoxSigSpecNext(job->signing) != nullptr) return kQOXErrBadParams;
  QOXKeyDBObj* recipient = nullptr;
  if (job->recipients != nullptr) {
    uint32_t count = 0;
    err = QOXCountKeys(job->recipients, &count);
    if (err != kQOXErrNoErr) return err;
    if (count > 1) return kQOXErrBadParams;
    QOXKeyIter* iter = nullptr;
    err = QOXNewKeyIterFromKeySet(job->recipients, &iter);
    if (err != kQOXErrNoErr) return err;
    err = QOXKeyIterNextKeyDBObj(iter, kQOXKeyIterKind_Key, &recipient);
    QOXFreeKeyIter(iter);
    if (err == kQOXErrEndOfIteration) err = kQOXErrNoErr;
    if (err != kQOXErrNoErr) return err;
  }
  const int32_t cipher = static_cast<int32_t>(qoxenvGetInt(job->env, kQOXEnvCipherAlgorithm, nullptr, nullptr));
  QOXKeyDBObj* signer = job->signing != nullptr ? qoxSigSpecSeckey(job->signing) : nullptr;

  // The signer's passphrase, as a one-option list.
  QOXOptionListRef passphraseList = nullptr;
  QOXOption sign;
  if (signer != nullptr && Present(job->options, kQOXOptionType_SignWithKey, &sign)) {
    QOXOption pass;
    if (Present(sign.subOptions, kQOXOptionType_Passphrase, &pass) ||
        Present(sign.subOptions, kQOXOptionType_Passkey, &pass)) {
      passphraseList = qoxNewOneOptionList(context, &pass);
      if (!qoxOptionListIsReal(passphraseList)) return kQOXErrOutOfMemory;
    }
  }
  if (recipient != nullptr || signer != nullptr) err = GatherEntropy(job);

  uint8_t* input = nullptr;
  size_t inputLength = 0;
  bool allocated = false;
  if (err == kQOXErrNoErr) err = qoxSetupInputToBuffer(context, job->options, &input, &inputLength, &allocated);
  uint8_t* request = nullptr;
  size_t requestLength = 0;
  if (err == kQOXErrNoErr) {
    err = qoxX509Services().X509PackageCertificateRequest(context, input, inputLength, recipient, cipher, signer,
                                                          passphraseList, job->outputFormat, &request,
                                                          &requestLength);
  }
  if (allocated && input != nullptr) qoxContextMemFree(context, input);
  if (passphraseList != nullptr) qoxFreeOptionList(passphraseList);
  if (err != kQOXErrNoErr) {
    if (request != nullptr) QOXFreeData(request);
    return err;
  }

  const bool append = FlagSet(job->options, kQOXOptionType_AppendOutput);
  err = NoteOutputFile(job, append);
  job->tail = &job->head;
  if (err == kQOXErrNoErr) {
    err = qoxSetupOutputPipeline(context, job->options, job->env, job->encrypting, signer != nullptr, false, append,
                                 false, job->tail, &job->output);
  }
  if (err == kQOXErrNoErr) {
    job->file.opened = job->output.file != nullptr;
    err = qoxPumpMem(job->head, request, requestLength, nullptr, nullptr);
  }
  if (err == kQOXErrNoErr) err = qoxFinishOutput(&job->output);
  QOXFreeData(request);
  return err;
}

}  // namespace

QOXError qoxMakeEnvFromOptionList(QOXOptionListRef options, QOXEnv* env) {
  if (env == nullptr) return kQOXErrBadParams;
  QOXOption o;
  QOXError err = kQOXErrNoErr;
  auto setInt = [&](int32_t key, uint32_t value) {
    if (err == kQOXErrNoErr) err = qoxenvSetInt(env, key, value, kSetPriority);
  };
  auto flag = [](const QOXOption& option) -> uint32_t { return (option.value & 0xFF) != 0 ? 1 : 0; };
  if (Present(options, kQOXOptionType_ArmorOutput, &o)) setInt(kQOXEnvArmorOutput, flag(o));
  if (Present(options, kQOXOptionType_DataIsASCII, &o)) setInt(kQOXEnvDataIsText, flag(o));
  setInt(kQOXEnvCompress, Present(options, kQOXOptionType_Compression, &o) ? flag(o) : 1);
  if (FlagSet(options, kQOXOptionType_ClearSign)) {
    setInt(kQOXEnvClearSign, 1);
    setInt(kQOXEnvDataIsText, 1);
    setInt(kQOXEnvArmorOutput, 1);
  } else {
    setInt(kQOXEnvClearSign, 0);
  }
  if (Present(options, kQOXOptionType_QOXMIMEEncoding, &o) && o.value != 0) {
    const auto* record = reinterpret_cast<const uintptr_t*>(o.value);
    setInt(kQOXEnvMIMEOutput, (record[0] & 0xFF) != 0 ? 1 : 0);
    setInt(kQOXEnvArmorOutput, 1);
  }
  if (Present(options, kQOXOptionType_OmitMIMEVersion, &o)) setInt(kQOXEnvMIMEVersionLine, flag(o) == 0 ? 1 : 0);
  if (Present(options, kQOXOptionType_HashAlgorithm, &o)) setInt(kQOXEnvHashAlgorithm, static_cast<uint32_t>(o.value));
  if (Present(options, kQOXOptionType_CipherAlgorithm, &o)) {
    const uint32_t cipher = static_cast<uint32_t>(o.value);
    if (qoxCipherGetVTBL(static_cast<QOXCipherAlgorithm>(cipher & 0xFF)) == nullptr) {
      return err != kQOXErrNoErr ? err : kQOXErrFeatureNotAvailable;
    }
    setInt(kQOXEnvCipherAlgorithm, cipher);
  }
  if (err == kQOXErrNoErr && Present(options, kQOXOptionType_CommentString, &o)) {
    err = qoxenvSetString(env, kQOXEnvComment, reinterpret_cast<const char*>(o.value), kSetPriority);
  }
  if (err == kQOXErrNoErr && Present(options, kQOXOptionType_VersionString, &o)) {
    err = qoxenvSetString(env, kQOXEnvVersionString, reinterpret_cast<const char*>(o.value), kSetPriority);
  }
  return err;
}

QOXError qoxSetupConventionalEncryption(QOXContext* context, QOXOptionListRef options, QOXConvEncryption** out) {
  if (out == nullptr) return kQOXErrBadParams;
  *out = nullptr;
  QOXOption conventional;
  bool found = false;
  QOXError err = Single(options, kQOXOptionType_ConventionalEncrypt, &conventional, &found);
  if (err != kQOXErrNoErr || !found) return err;
  QOXOption pass;
  if (!Present(conventional.subOptions, kQOXOptionType_Passphrase, &pass)) return kQOXErrMissingPassphrase;
  if (pass.value == 0 || pass.valueSize == 0) return kQOXErrBadParams;
  auto* record = static_cast<QOXConvEncryption*>(
      qoxContextMemAlloc(context, sizeof(QOXConvEncryption), kQOXMemoryMgrFlags_Clear));
  if (record == nullptr) return kQOXErrOutOfMemory;
  record->passphrase = static_cast<char*>(qoxContextMemAlloc(context, pass.valueSize + 1, kQOXMemoryMgrFlags_Clear));
  if (record->passphrase == nullptr) {
    qoxContextMemFree(context, record);
    return kQOXErrOutOfMemory;
  }
  std::memcpy(record->passphrase, reinterpret_cast<const void*>(pass.value), pass.valueSize);
  record->passphraseLength = pass.valueSize;
  *out = record;
  return kQOXErrNoErr;
}

void qoxFreeConventionalEncryption(QOXContext* context, QOXConvEncryption* record) {
  if (record == nullptr) return;
  if (record->passphrase != nullptr) {
    std::memset(record->passphrase, 0, record->passphraseLength);
    qoxContextMemFree(context, record->passphrase);
  }
  std::memset(record, 0, sizeof *record);
  qoxContextMemFree(context, record);
}

QOXError qoxCheckPreferredAlgorithms(QOXPreferenceTally* tally, QOXKeyDBObj* key) {
  if (tally == nullptr || key == nullptr) return kQOXErrBadParams;
  const uint8_t* list = nullptr;
  size_t length = 0;
  if (qoxFIPSModeEnabled()) {
    list = kFIPSPreferences;
    length = sizeof kFIPSPreferences;
  } else {
    QOXKeyDBObj* top = qoxObjTopKey(key);
    QOXError err = kQOXErrNoErr;
    list = qoxKeyFindSubpacket(top, kPrefAlgsSubpacket, 0, &length, nullptr, nullptr, nullptr, nullptr, &err);
    if (err != kQOXErrNoErr) return err;
    if (list == nullptr) {
      int32_t version = 0;
      err = qoxGetKeyNumber(top, static_cast<int32_t>(P::KeyVersion), &version);
      if (err != kQOXErrNoErr) return err;
      list = version <= 3 ? kV3KeyPreferences : kV4KeyPreferences;
      length = version <= 3 ? sizeof kV3KeyPreferences : sizeof kV4KeyPreferences;
    }
  }
  ++tally->voters;
  for (size_t i = 0; i < length; ++i) {
    if (list[i] > kQOXLastVotedCipher) continue;
    ++tally->count[list[i]];
    tally->positionSum[list[i]] += static_cast<uint32_t>(i);
  }
  return kQOXErrNoErr;
}

QOXError qoxSetPreferredAlgorithm(QOXOptionListRef options, QOXPreferenceTally* tally, QOXEnv* env) {
  if (tally == nullptr || env == nullptr) return kQOXErrBadParams;
  auto exists = [](int32_t n) { return qoxCipherGetVTBL(static_cast<QOXCipherAlgorithm>(n)) != nullptr; };
  QOXOption o;
  const int32_t* callerList = nullptr;
  size_t callerCount = 0;
  if (Present(options, kQOXOptionType_PreferredAlgorithms, &o) && o.value != 0) {
    callerList = reinterpret_cast<const int32_t*>(o.value);
    callerCount = o.valueSize / sizeof(int32_t);
    ++tally->voters;
    for (size_t i = 0; i < callerCount; ++i) {
      if (callerList[i] >= 1 && callerList[i] <= kQOXLastVotedCipher) ++tally->count[callerList[i]];
    }
  }
  auto callerRank = [&](int32_t n) -> size_t {
    for (size_t i = 0; i < callerCount; ++i) {
      if (callerList[i] == n) return i;
    }
    return callerCount;  // after every listed one
  };
  int32_t choice = 0;
  for (int32_t n = 1; n <= kQOXLastVotedCipher; ++n) {
    if (tally->count[n] != tally->voters || !exists(n)) continue;
    if (choice == 0) {
      choice = n;
    } else if (callerList != nullptr) {
      if (callerRank(n) < callerRank(choice)) choice = n;
    } else if (tally->positionSum[n] < tally->positionSum[choice]) {
      choice = n;
    }
  }
  for (size_t i = 0; choice == 0 && i < callerCount; ++i) {
    if (callerList[i] >= 1 && exists(callerList[i])) choice = callerList[i];
  }
  if (choice == 0) {
    for (int32_t n = 1; n <= kQOXLastVotedCipher; ++n) {
      if (exists(n) && (choice == 0 || tally->count[n] > tally->count[choice])) choice = n;
    }
  }
  if (choice == 0) return kQOXErrNoErr;
  return qoxenvSetInt(env, kQOXEnvCipherAlgorithm, static_cast<uint32_t>(choice), kSetPriority);
}

namespace {

// The recipient set of one database; a key of another database moves the
// set into a private database that takes copies of every recipient.
struct RecipientCollector {
  QOXContext* context;
  QOXKeySet* set = nullptr;
  QOXKeyDB* privateDB = nullptr;

  QOXError Add(QOXKeyDBObj* key) {
    QOXKeyDB* db = qoxObjKeyDB(key);
    if (set == nullptr) {
      return QOXNewEmptyKeySet(db, &set) == kQOXErrNoErr ? QOXAddKey(key, set) : kQOXErrOutOfMemory;
    }
    if (set->keyDB == db) return QOXAddKey(key, set);
    if (privateDB == nullptr) {
      QOXError err = QOXNewKeyDB(context, &privateDB);
      if (err != kQOXErrNoErr) return err;
      QOXKeySet* copied = nullptr;
      err = QOXCopyKeys(set, privateDB, &copied);
      if (err != kQOXErrNoErr) return err;
      QOXFreeKeySet(set);
      set = copied;
    }
    QOXKeyDBObj* copy = nullptr;
    QOXError err = QOXCopyKeyDBObj(key, privateDB, &copy);
    if (err != kQOXErrNoErr) return err;
    return QOXAddKey(copy, set);
  }
};

}  // namespace

QOXError qoxSetupPublicKeyEncryption(QOXContext* context, QOXOptionListRef options, QOXEnv* env, QOXKeySet** out,
                                     QOXKeyDB** outPrivateDB) {
  if (out == nullptr || outPrivateDB == nullptr) return kQOXErrBadParams;
  *out = nullptr;
  *outPrivateDB = nullptr;
  int32_t failBelow = 0;
  int32_t warnBelow = 0;
  QOXError err = qoxGetMinValidity(options, &failBelow, &warnBelow);
  if (err != kQOXErrNoErr) return err;

  RecipientCollector recipients{context};
  QOXKeySet* warnSet = nullptr;
  bool warn = false;
  QOXPreferenceTally tally{};
  auto useKey = [&](QOXKeyDBObj* key) -> QOXError {
    QOXKeySet* warnHere = warnSet;
    if (warnHere == nullptr) {
      QOXError e = QOXNewEmptyKeySet(qoxObjKeyDB(key), &warnSet);
      if (e != kQOXErrNoErr) return e;
      warnHere = warnSet;
    } else if (warnSet->keyDB != qoxObjKeyDB(key)) {
      warnHere = nullptr;  // reported through the set of the first database
    }
    int32_t validity = 0;
    QOXError e = qoxCheckKeyValidity(context, options, key, failBelow, warnBelow, warnHere, &validity);
    if (e != kQOXErrNoErr) return e;
    if (validity < warnBelow) warn = true;
    e = qoxCheckPreferredAlgorithms(&tally, key);
    if (e != kQOXErrNoErr) return e;
    bool canEncrypt = false;
    e = qoxGetKeyBoolean(key, static_cast<int32_t>(P::KeyCanEncrypt), &canEncrypt);
    if (e != kQOXErrNoErr) return e;
    if (!canEncrypt) return kQOXErrKeyCannotEncrypt;
    return recipients.Add(key);
  };

  QOXOption o;
  uint32_t count = 0;
  for (uint32_t i = 0; err == kQOXErrNoErr; ++i) {
    if (qoxGetIndexedOptionType(options, kQOXOptionType_EncryptToKeyDBObj, i, false, &o, &count) != kQOXErrNoErr ||
        i >= count) {
      break;
    }
    auto* object = reinterpret_cast<QOXKeyDBObj*>(o.value);
    if (!qoxKeyDBObjIsValid(object) || !qoxKeyDBObjIsReal(object)) {
      err = kQOXErrBadParams;
      break;
    }
    // Up to the key or subkey that holds the object.
    while (object != nullptr && !qoxKeyIsValid(object) && !qoxSubKeyIsValid(object)) object = qoxObjParent(object);
    err = object != nullptr ? useKey(object) : kQOXErrBadParams;
  }
  for (uint32_t i = 0; err == kQOXErrNoErr; ++i) {
    if (qoxGetIndexedOptionType(options, kQOXOptionType_EncryptToKeySet, i, false, &o, &count) != kQOXErrNoErr ||
        i >= count) {
      break;
    }
    auto* set = reinterpret_cast<QOXKeySet*>(o.value);
    if (!qoxKeySetIsValid(set) || set->isEmpty(set)) {
      err = kQOXErrBadParams;
      break;
    }
    QOXKeyIter* iter = nullptr;
    err = QOXNewKeyIterFromKeySet(set, &iter);
    while (err == kQOXErrNoErr) {
      QOXKeyDBObj* key = nullptr;
      err = QOXKeyIterNextKeyDBObj(iter, kQOXKeyIterKind_Key, &key);
      if (err == kQOXErrEndOfIteration || (err == kQOXErrNoErr && key == nullptr)) {
        err = kQOXErrNoErr;
        break;
      }
      if (err == kQOXErrNoErr) err = useKey(key);
    }
    if (iter != nullptr) QOXFreeKeyIter(iter);
  }

  if (err == kQOXErrNoErr && warn) err = qoxWarnUser(context, options, kQOXErrKeyValidityLowOrNone,
                                                     reinterpret_cast<uintptr_t>(warnSet));
  if (warnSet != nullptr) QOXFreeKeySet(warnSet);
  if (err == kQOXErrNoErr && recipients.set != nullptr) err = qoxSetPreferredAlgorithm(options, &tally, env);
  if (err != kQOXErrNoErr) {
    if (recipients.set != nullptr) QOXFreeKeySet(recipients.set);
    if (recipients.privateDB != nullptr) QOXFreeKeyDB(recipients.privateDB);
    return err;
  }
  *out = recipients.set;
  *outPrivateDB = recipients.privateDB;
  return kQOXErrNoErr;
}

QOXError qoxSetupSigning(QOXContext* context, QOXOptionListRef options, bool encrypting, QOXEnv* env,
                         bool binaryData, bool detached, QOXSigSpec** out) {
  if (out == nullptr) return kQOXErrBadParams;
  *out = nullptr;
  QOXOption sign;
  bool found = false;
  QOXError err = Single(options, kQOXOptionType_SignWithKey, &sign, &found);
  if (err != kQOXErrNoErr) return err;
  if (!found) return detached ? kQOXErrBadParams : kQOXErrNoErr;
  auto* key = reinterpret_cast<QOXKeyDBObj*>(sign.value);
  if (!qoxKeyIsValid(key)) return kQOXErrBadParams;
  bool canSign = false;
  err = qoxGetKeyBoolean(key, static_cast<int32_t>(P::KeyCanSign), &canSign);
  if (err != kQOXErrNoErr) return err;
  if (!canSign) return kQOXErrKeyCannotSign;
  int32_t failBelow = 0;
  int32_t warnBelow = 0;
  err = qoxGetMinValidity(options, &failBelow, &warnBelow);
  if (err == kQOXErrNoErr) err = qoxCheckKeyValidity(context, options, key, failBelow, warnBelow, nullptr, nullptr);
  if (err != kQOXErrNoErr) return err;

  bool needsPassphrase = false;
  err = qoxGetKeyBoolean(key, static_cast<int32_t>(P::KeyNeedsPassphrase), &needsPassphrase);
  if (err != kQOXErrNoErr) return err;
  const char* pass = nullptr;
  size_t passLength = 0;
  bool passkey = false;
  if (needsPassphrase) {
    NestedPassphrase(sign.subOptions, &pass, &passLength, &passkey);
    uint32_t cacheTime = 0;
    bool cacheGlobally = false;
    QOXOption cache;
    if (Present(sign.subOptions, kQOXOptionType_CachePassphrase, &cache) && cache.value != 0) {
      const auto* record = reinterpret_cast<const uintptr_t*>(cache.value);
      cacheTime = static_cast<uint32_t>(record[0]);
      cacheGlobally = (record[1] & 0xFF) != 0;
    }
    if (!qoxSecPassphraseOK(key, pass, passLength, passkey, cacheTime, cacheGlobally)) return kQOXErrBadPassphrase;
  }
  const bool text = qoxenvGetInt(env, kQOXEnvDataIsText, nullptr, nullptr) != 0 && !binaryData;
  QOXSigSpec* spec = qoxSigSpecCreate(env, key, text ? kSigTypeText : kSigTypeBinary);
  if (spec == nullptr) return kQOXErrOutOfMemory;
  if (needsPassphrase && pass != nullptr) {
    err = qoxSigSpecSetPassphrase(spec, reinterpret_cast<const uint8_t*>(pass), passLength, passkey ? 1 : 0);
    if (err != kQOXErrNoErr) {
      qoxSigSpecDestroy(spec);
      return err;
    }
  }
  if (detached && encrypting) {
    qoxSigSpecDestroy(spec);
    return kQOXErrBadParams;
  }
  (void)context;
  *out = spec;
  return kQOXErrNoErr;
}

QOXError qoxEncodeInternal(QOXContext* context, QOXOptionListRef options) {
  EncodeJob job;
  job.context = context;
  job.options = options;
  job.tail = &job.head;
  QOXError err = qoxCheckOptionsInSet(options, kEncodeOptionSet, sizeof kEncodeOptionSet / sizeof kEncodeOptionSet[0]);
  if (err != kQOXErrNoErr) return err;

  err = qoxenvCopy(qoxContextGetEnvironment(context), &job.env);
  if (err == kQOXErrNoErr) err = qoxMakeEnvFromOptionList(options, job.env);
  void* handler = nullptr;
  if (err == kQOXErrNoErr) err = qoxSetupCallback(options, &handler, &job.handlerArg, &job.sendNullEvents);
  job.handler = reinterpret_cast<QOXEventHandlerProcPtr>(handler);
  if (err == kQOXErrNoErr) {
    QOXOptionListRef added = nullptr;
    err = qoxEventInitial(context, &added, job.handler, job.handlerArg);
    Drop(added);
  }
  if (err == kQOXErrNoErr) err = RunJob(&job);
  job.error = err;

  // Clean-up, in every case.
  if (job.sessionKey) {
    std::memset(job.sessionKey.get(), 0, kQOXSessionKeyBufferSize);
    job.sessionKey.reset();
  }
  if (job.env != nullptr) qoxenvDestroy(job.env);
  if (job.head != nullptr) qoxPipelineTeardown(job.head);
  job.head = nullptr;
  if (job.signing != nullptr) qoxSigSpecDestroy(job.signing);
  if (job.recipients != nullptr) QOXFreeKeySet(job.recipients);
  if (job.recipientDB != nullptr) QOXFreeKeyDB(job.recipientDB);
  qoxFreeConventionalEncryption(context, job.conventional);
  qoxInputSetupFree(context, &job.input);
  if (job.error != kQOXErrNoErr) UndoOutputFile(&job);
  if (job.file.path != nullptr) QOXFreeData(job.file.path);
  if (job.error != kQOXErrNoErr) {
    QOXOptionListRef added = nullptr;
    qoxEventError(context, &added, job.handler, job.handlerArg, job.error, 0);
    Drop(added);
  }
  QOXOptionListRef added = nullptr;
  qoxEventFinal(context, &added, job.handler, job.handlerArg);
  Drop(added);
  return job.error;
}
