// Option constructors and the two handlers that own records and object
// references. The ownership table is in option_constructors.h.
#include "foundation/sdk/option_constructors.h"

#include <cstdarg>
#include <cstring>
#include <initializer_list>

#include "foundation/context.h"
#include "foundation/file_spec.h"
#include "foundation/keydb_services.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"

namespace {

// The key database's calls, as registered (foundation/keydb_services.h).
const QOXKeyDBServices& KeyDB() { return qoxKeyDBServices(); }

constexpr size_t kWordSize = 4;
constexpr uintptr_t kRevocationClass = 128;

QOXOptionListRef Refused() { return kQOXBadParamsOptionList; }

bool IsLive(QOXOptionListRef list) {
  return qoxOptionListIsReal(list) && qoxOptionListIsValid(list) && list != nullptr;
}

bool HoldsKeySetRecord(QOXOptionType type) {
  return type == kQOXOptionType_AdditionalRecipientRequestKeySet ||
         type == kQOXOptionType_RevocationKeySet;
}

// Records (5, 6, 27, 31, 45, 48, 51, 57, 74): arrays of pointer-sized words
// in context memory; 48 and 51 carry a key-set reference in word 0.
QOXError AllocatedOptionHandlerProc(QOXContext* context, int32_t operation, QOXOptionType type,
                                    uintptr_t* value, size_t valueSize, uintptr_t* newValue,
                                    size_t* newSize) {
  auto* record = reinterpret_cast<uintptr_t*>(*value);
  switch (operation) {
    case kQOXOptionHandler_FreeData:
      if (HoldsKeySetRecord(type)) KeyDB().QOXFreeKeySet(reinterpret_cast<QOXKeySet*>(record[0]));
      qoxContextMemFree(context, record);
      return kQOXErrNoErr;
    case kQOXOptionHandler_CopyData: {
      void* copy = qoxContextMemAlloc(context, valueSize, 0);
      if (copy == nullptr) return kQOXErrOutOfMemory;
      std::memcpy(copy, record, valueSize);
      if (HoldsKeySetRecord(type)) KeyDB().QOXIncKeySetRefCount(reinterpret_cast<QOXKeySet*>(record[0]));
      *newValue = reinterpret_cast<uintptr_t>(copy);
      *newSize = valueSize;
      return kQOXErrNoErr;
    }
    default:
      return kQOXErrUnrecognized;
  }
}

bool HoldsKeySetRef(QOXOptionType type) {
  return type == kQOXOptionType_EncryptToKeySet || type == kQOXOptionType_ExportKeySet;
}

bool HoldsKeyDBRef(QOXOptionType type) {
  return type == kQOXOptionType_ImportKeysTo || type == kQOXOptionType_KeyDBRef;
}

// Object references (13, 14, 16, 33, 43, 49, 70, 71). A copy shares the
// value word and takes its own reference where the original holds one.
QOXError SpecialOptionHandlerProc(QOXContext*, int32_t operation, QOXOptionType type,
                                  uintptr_t* value, size_t valueSize, uintptr_t* newValue,
                                  size_t* newSize) {
  switch (operation) {
    case kQOXOptionHandler_FreeData:
      if (HoldsKeySetRef(type)) KeyDB().QOXFreeKeySet(reinterpret_cast<QOXKeySet*>(*value));
      if (HoldsKeyDBRef(type)) KeyDB().QOXFreeKeyDB(reinterpret_cast<QOXKeyDB*>(*value));
      return kQOXErrNoErr;
    case kQOXOptionHandler_CopyData: {
      QOXError err = kQOXErrNoErr;
      if (HoldsKeySetRef(type)) err = KeyDB().QOXIncKeySetRefCount(reinterpret_cast<QOXKeySet*>(*value));
      if (HoldsKeyDBRef(type)) err = KeyDB().QOXIncKeyDBRefCount(reinterpret_cast<QOXKeyDB*>(*value));
      if (err != kQOXErrNoErr) return err;
      *newValue = *value;
      *newSize = valueSize;
      return kQOXErrNoErr;
    }
    default:
      return kQOXErrUnrecognized;
  }
}

bool Gate() { return qoxEnterFunction() == kQOXErrNoErr; }

QOXOptionListRef MakeWord(QOXContext* context, QOXOptionType type, uintptr_t word) {
  if (!qoxContextIsValid(context) || !Gate()) return Refused();
  return qoxCreateStandardValueOptionList(context, type, &word, kWordSize, nullptr);
}

QOXOptionListRef MakeFlag(QOXContext* context, QOXOptionType type, bool flag) {
  return MakeWord(context, type, flag ? 1 : 0);
}

QOXOptionListRef MakeInt(QOXContext* context, QOXOptionType type, int32_t word) {
  return MakeWord(context, type, static_cast<uint32_t>(word));
}

// A record of n words, filled by the caller's values, owned by the option.
// The context and the arguments are checked by the caller; the gate here.
QOXOptionListRef MakeRecord(QOXContext* context, QOXOptionType type,
                            std::initializer_list<uintptr_t> words) {
  if (!Gate()) return Refused();
  size_t size = words.size() * sizeof(uintptr_t);
  auto* record = static_cast<uintptr_t*>(qoxContextMemAlloc(context, size, kQOXMemoryMgrFlags_Clear));
  if (record == nullptr) return kQOXOutOfMemoryOptionList;
  size_t i = 0;
  for (uintptr_t w : words) record[i++] = w;
  uintptr_t value = reinterpret_cast<uintptr_t>(record);
  QOXOptionListRef list =
      qoxCreateStandardValueOptionList(context, type, &value, size, AllocatedOptionHandlerProc);
  if (!IsLive(list)) qoxContextMemFree(context, record);
  return list;
}

QOXOptionListRef MakeObject(QOXContext* context, QOXOptionType type, const void* object) {
  uintptr_t value = reinterpret_cast<uintptr_t>(object);
  return qoxCreateStandardValueOptionList(context, type, &value, sizeof(value),
                                          SpecialOptionHandlerProc);
}

// Key set options that hold one reference (14, 70).
QOXOptionListRef MakeKeySetRef(QOXContext* context, QOXOptionType type, QOXKeySet* keySet) {
  if (!qoxContextIsValid(context) || !KeyDB().qoxKeySetIsValid(keySet) || !Gate()) return Refused();
  if (KeyDB().QOXIncKeySetRefCount(keySet) != kQOXErrNoErr) return Refused();
  QOXOptionListRef list = MakeObject(context, type, keySet);
  if (!IsLive(list)) KeyDB().QOXFreeKeySet(keySet);
  return list;
}

// Key database options that hold one reference (33, 43).
QOXOptionListRef MakeKeyDBRef(QOXContext* context, QOXOptionType type, QOXKeyDB* keyDB) {
  if (!qoxContextIsValid(context) || !KeyDB().qoxKeyDBIsValid(keyDB) || !Gate()) return Refused();
  if (KeyDB().QOXIncKeyDBRefCount(keyDB) != kQOXErrNoErr) return Refused();
  QOXOptionListRef list = MakeObject(context, type, keyDB);
  if (!IsLive(list)) KeyDB().QOXFreeKeyDB(keyDB);
  return list;
}

// Key-set records (48, 51): the record's reference is given back with it.
QOXOptionListRef MakeKeySetRecord(QOXContext* context, QOXOptionType type, QOXKeySet* keySet,
                                  uintptr_t second) {
  if (!qoxContextIsValid(context) || !KeyDB().qoxKeySetIsValid(keySet) || !Gate()) return Refused();
  if (KeyDB().QOXIncKeySetRefCount(keySet) != kQOXErrNoErr) return Refused();
  QOXOptionListRef list = MakeRecord(context, type, {reinterpret_cast<uintptr_t>(keySet), second});
  if (!IsLive(list)) KeyDB().QOXFreeKeySet(keySet);
  return list;
}

QOXOptionListRef MakeBuffer(QOXContext* context, QOXOptionType type, const void* bytes,
                            size_t size) {
  if (!qoxContextIsValid(context) || bytes == nullptr || !Gate()) return Refused();
  return qoxCreateBufferOptionList(context, type, bytes, size);
}

QOXOptionListRef MakeString(QOXContext* context, QOXOptionType type, const char* string,
                            bool withNul) {
  if (string == nullptr) return Refused();
  return MakeBuffer(context, type, string, std::strlen(string) + (withNul ? 1 : 0));
}

QOXOptionListRef MakeSensitive(QOXContext* context, QOXOptionType type, const void* bytes,
                               size_t size) {
  if (!qoxContextIsValid(context) || bytes == nullptr || !Gate()) return Refused();
  return qoxCreateSensitiveOptionList(context, type, bytes, size);
}

QOXOptionListRef MakeFileRef(QOXContext* context, QOXOptionType type, const PFLFileSpec* spec) {
  if (!qoxContextIsValid(context) || !pflFileSpecIsValid(spec) || !Gate()) return Refused();
  return qoxCreateFileRefOptionList(context, type, spec);
}

// Options with a run (16, 17, 20): the run becomes a non-persistent sub-list.
// On a refusal the run is released; an error in the run travels in the new
// list.
QOXOptionListRef MakeWithRun(QOXContext* context, QOXOptionType type, bool acceptable,
                             uintptr_t value, size_t valueSize, QOXOptionHandlerProc handler,
                             QOXOptionListRef firstOption, va_list rest) {
  if (!qoxContextIsValid(context) || !acceptable || !Gate()) {
    qoxFreeVarArgOptionListVA(firstOption, rest);
    return Refused();
  }
  QOXOptionListRef sub = qoxBuildOptionListVA(context, false, firstOption, rest);
  QOXOptionListRef list =
      qoxCreateCustomValueOptionList(context, type, 0, &value, valueSize, sub, handler);
  if (!IsLive(list)) qoxFreeOptionList(sub);
  return list;
}

}  // namespace

QOXOptionListRef QOXOLastOption(QOXContext*) { return kQOXEndOfOptionList; }

QOXOptionListRef QOXONullOption(QOXContext* context) {
  if (!qoxContextIsValid(context) || !Gate()) return Refused();
  return kQOXNullOptionList;
}

QOXOptionListRef QOXOInputFile(QOXContext* context, const PFLFileSpec* fileSpec) {
  return MakeFileRef(context, kQOXOptionType_InputFileRef, fileSpec);
}

QOXOptionListRef QOXOInputBuffer(QOXContext* context, const void* buffer, size_t length) {
  if (!qoxContextIsValid(context) || buffer == nullptr || !Gate()) return Refused();
  uintptr_t value = reinterpret_cast<uintptr_t>(buffer);
  return qoxCreateStandardValueOptionList(context, kQOXOptionType_InputBuffer, &value, length,
                                          nullptr);
}

QOXOptionListRef QOXOOutputFile(QOXContext* context, const PFLFileSpec* fileSpec) {
  return MakeFileRef(context, kQOXOptionType_OutputFileRef, fileSpec);
}

QOXOptionListRef QOXOOutputBuffer(QOXContext* context, void* buffer, size_t bufferSize,
                                  size_t* outputSize) {
  if (outputSize != nullptr) *outputSize = 0;
  if (!qoxContextIsValid(context) || buffer == nullptr || bufferSize == 0 || outputSize == nullptr)
    return Refused();
  return MakeRecord(context, kQOXOptionType_OutputBuffer,
                    {reinterpret_cast<uintptr_t>(buffer), bufferSize,
                     reinterpret_cast<uintptr_t>(outputSize)});
}

QOXOptionListRef QOXOAllocatedOutputBuffer(QOXContext* context, void** buffer, size_t maxSize,
                                           size_t* outputSize) {
  if (buffer != nullptr) *buffer = nullptr;
  if (outputSize != nullptr) *outputSize = 0;
  if (!qoxContextIsValid(context) || buffer == nullptr || maxSize == 0 || outputSize == nullptr)
    return Refused();
  return MakeRecord(context, kQOXOptionType_OutputAllocatedBuffer,
                    {reinterpret_cast<uintptr_t>(buffer), maxSize,
                     reinterpret_cast<uintptr_t>(outputSize)});
}

QOXOptionListRef QOXOAppendOutput(QOXContext* context, bool flag) {
  return MakeFlag(context, kQOXOptionType_AppendOutput, flag);
}

QOXOptionListRef QOXODiscardOutput(QOXContext* context, bool flag) {
  return MakeFlag(context, kQOXOptionType_DiscardOutput, flag);
}

QOXOptionListRef QOXOLocalEncoding(QOXContext* context, uint32_t encoding) {
  if ((encoding & 3) == 3) return Refused();
  return MakeWord(context, kQOXOptionType_LocalEncoding, encoding);
}

QOXOptionListRef QOXORawQOXInput(QOXContext* context, bool flag) {
  return MakeFlag(context, kQOXOptionType_RawQOXInput, flag);
}

QOXOptionListRef QOXOEncryptToKeyDBObj(QOXContext* context, QOXKeyDBObj* object) {
  if (!qoxContextIsValid(context) || !KeyDB().qoxKeyDBObjIsValid(object) || !Gate()) return Refused();
  return MakeObject(context, kQOXOptionType_EncryptToKeyDBObj, object);
}

QOXOptionListRef QOXOEncryptToKeySet(QOXContext* context, QOXKeySet* keySet) {
  return MakeKeySetRef(context, kQOXOptionType_EncryptToKeySet, keySet);
}

QOXOptionListRef QOXOSignWithKey(QOXContext* context, QOXKeyDBObj* key,
                                 QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  QOXOptionListRef list = MakeWithRun(context, kQOXOptionType_SignWithKey, KeyDB().qoxKeyIsValid(key),
                                      reinterpret_cast<uintptr_t>(key), sizeof(key),
                                      SpecialOptionHandlerProc, firstOption, rest);
  va_end(rest);
  return list;
}

QOXOptionListRef QOXOConventionalEncrypt(QOXContext* context, QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  QOXOptionListRef list = MakeWithRun(context, kQOXOptionType_ConventionalEncrypt, true, 0, 0,
                                      nullptr, firstOption, rest);
  va_end(rest);
  return list;
}

QOXOptionListRef QOXOPassphrase(QOXContext* context, const char* passphrase) {
  if (passphrase == nullptr) return Refused();
  // FIPS mode refuses an empty passphrase before the gate is asked.
  if (qoxFIPSModeEnabled() && passphrase[0] == '\0') return Refused();
  return MakeSensitive(context, kQOXOptionType_Passphrase, passphrase, std::strlen(passphrase));
}

QOXOptionListRef QOXOPassphraseBuffer(QOXContext* context, const void* buffer, size_t length) {
  if (!qoxContextIsValid(context) || buffer == nullptr || !Gate()) return Refused();
  if (qoxFIPSModeEnabled() && length == 0) return Refused();
  return qoxCreateSensitiveOptionList(context, kQOXOptionType_Passphrase, buffer, length);
}

QOXOptionListRef QOXOPasskeyBuffer(QOXContext* context, const void* buffer, size_t length) {
  return MakeSensitive(context, kQOXOptionType_Passkey, buffer, length);
}

QOXOptionListRef QOXODetachedSig(QOXContext* context, QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  QOXOptionListRef list = MakeWithRun(context, kQOXOptionType_DetachedSignature, true, 0, 0,
                                      nullptr, firstOption, rest);
  va_end(rest);
  return list;
}

QOXOptionListRef QOXOSessionKey(QOXContext* context, const void* buffer, size_t length) {
  return MakeSensitive(context, kQOXOptionType_SessionKey, buffer, length);
}

QOXOptionListRef QOXOCipherAlgorithm(QOXContext* context, int32_t algorithm) {
  return MakeInt(context, kQOXOptionType_CipherAlgorithm, algorithm);
}

QOXOptionListRef QOXOHashAlgorithm(QOXContext* context, int32_t algorithm) {
  if (algorithm < 1 || algorithm > 3) return Refused();
  return MakeInt(context, kQOXOptionType_HashAlgorithm, algorithm);
}

QOXOptionListRef QOXOFailBelowValidity(QOXContext* context, int32_t validity) {
  return MakeInt(context, kQOXOptionType_FailBelowValidity, validity);
}

QOXOptionListRef QOXOWarnBelowValidity(QOXContext* context, int32_t validity) {
  return MakeInt(context, kQOXOptionType_WarnBelowValidity, validity);
}

QOXOptionListRef QOXOX509Encoding(QOXContext* context, bool flag) {
  return MakeFlag(context, kQOXOptionType_X509Encoding, flag);
}

QOXOptionListRef QOXOQOXMIMEEncoding(QOXContext* context, bool mimeEncoding, uint32_t* outWord,
                                     uint8_t* outByte) {
  if (!qoxContextIsValid(context)) return Refused();
  if (mimeEncoding) {
    if (outWord == nullptr || outByte == nullptr) return Refused();
    *outWord = 0;
    *outByte = 0;
  } else {
    outWord = nullptr;
    outByte = nullptr;
  }
  return MakeRecord(context, kQOXOptionType_QOXMIMEEncoding,
                    {uintptr_t{mimeEncoding ? 1u : 0u}, reinterpret_cast<uintptr_t>(outWord),
                     reinterpret_cast<uintptr_t>(outByte)});
}

QOXOptionListRef QOXOOutputLineEndType(QOXContext* context, int32_t lineEnd) {
  if (lineEnd < 1 || lineEnd > 3) return Refused();
  return MakeInt(context, kQOXOptionType_OutputLineEndType, lineEnd);
}

QOXOptionListRef QOXOEventHandler(QOXContext* context, QOXEventHandlerProcPtr handler,
                                  void* userValue) {
  if (!qoxContextIsValid(context) || handler == nullptr) return Refused();
  return MakeRecord(context, kQOXOptionType_EventHandler,
                    {reinterpret_cast<uintptr_t>(handler), reinterpret_cast<uintptr_t>(userValue)});
}

QOXOptionListRef QOXOSendNullEvents(QOXContext* context, uint32_t interval) {
  return MakeWord(context, kQOXOptionType_SendNullEvents, interval);
}

QOXOptionListRef QOXOImportKeysTo(QOXContext* context, QOXKeyDB* keyDB) {
  return MakeKeyDBRef(context, kQOXOptionType_ImportKeysTo, keyDB);
}

QOXOptionListRef QOXOSendEventIfKeyFound(QOXContext* context, bool flag) {
  return MakeFlag(context, kQOXOptionType_SendEventIfKeyFound, flag);
}

QOXOptionListRef QOXOAskUserForEntropy(QOXContext* context, bool flag) {
  return MakeFlag(context, kQOXOptionType_AskUserForEntropy, flag);
}

QOXOptionListRef QOXOArmorOutput(QOXContext* context, bool flag) {
  return MakeFlag(context, kQOXOptionType_ArmorOutput, flag);
}

QOXOptionListRef QOXODataIsASCII(QOXContext* context, bool flag) {
  return MakeFlag(context, kQOXOptionType_DataIsASCII, flag);
}

QOXOptionListRef QOXOClearSign(QOXContext* context, bool flag) {
  return MakeFlag(context, kQOXOptionType_ClearSign, flag);
}

QOXOptionListRef QOXOForYourEyesOnly(QOXContext* context, bool flag) {
  return MakeFlag(context, kQOXOptionType_ForYourEyesOnly, flag);
}

QOXOptionListRef QOXORecursivelyDecode(QOXContext* context, bool flag) {
  return MakeFlag(context, kQOXOptionType_RecursivelyDecode, flag);
}

QOXOptionListRef QOXOPassThroughIfUnrecognized(QOXContext* context, bool flag) {
  return MakeFlag(context, kQOXOptionType_PassThroughIfUnrecognized, flag);
}

QOXOptionListRef QOXOKeyDBRef(QOXContext* context, QOXKeyDB* keyDB) {
  return MakeKeyDBRef(context, kQOXOptionType_KeyDBRef, keyDB);
}

QOXOptionListRef QOXOKeyGenUseExistingEntropy(QOXContext* context, bool flag) {
  return MakeFlag(context, kQOXOptionType_KeyGenUseExistingEntropy, flag);
}

QOXOptionListRef QOXOKeyGenParams(QOXContext* context, int32_t algorithm, uint32_t bits) {
  if (!qoxContextIsValid(context) || bits < 512) return Refused();
  return MakeRecord(context, kQOXOptionType_KeyGenParams,
                    {static_cast<uint32_t>(algorithm), bits});
}

QOXOptionListRef QOXOKeyGenName(QOXContext* context, const void* name, size_t length) {
  if (length < 1 || length > 255) return Refused();
  return MakeBuffer(context, kQOXOptionType_KeyGenName, name, length);
}

QOXOptionListRef QOXOExpiration(QOXContext* context, uint32_t expiration) {
  return MakeWord(context, kQOXOptionType_Expiration, expiration);
}

QOXOptionListRef QOXOAdditionalRecipientRequestKeySet(QOXContext* context, QOXKeySet* keySet,
                                                      uint8_t arrClass) {
  return MakeKeySetRecord(context, kQOXOptionType_AdditionalRecipientRequestKeySet, keySet,
                          arrClass);
}

QOXOptionListRef QOXOKeyGenMasterKey(QOXContext* context, QOXKeyDBObj* masterKey) {
  if (!qoxContextIsValid(context) || !KeyDB().qoxKeyIsValid(masterKey) || !Gate()) return Refused();
  return MakeObject(context, kQOXOptionType_KeyGenMasterKey, masterKey);
}

QOXOptionListRef QOXOKeyGenFast(QOXContext* context, bool flag) {
  return MakeFlag(context, kQOXOptionType_KeyGenFast, flag);
}

QOXOptionListRef QOXORevocationKeySet(QOXContext* context, QOXKeySet* keySet) {
  return MakeKeySetRecord(context, kQOXOptionType_RevocationKeySet, keySet, kRevocationClass);
}

QOXOptionListRef QOXOPreferredAlgorithms(QOXContext* context, const int32_t* algorithms,
                                         uint32_t count) {
  if (count == 0) return Refused();
  return MakeBuffer(context, kQOXOptionType_PreferredAlgorithms, algorithms,
                    size_t{count} * sizeof(int32_t));
}

QOXOptionListRef QOXOCommentString(QOXContext* context, const char* comment) {
  return MakeString(context, kQOXOptionType_CommentString, comment, true);
}

QOXOptionListRef QOXOExportPrivateKeys(QOXContext* context, bool flag) {
  return MakeFlag(context, kQOXOptionType_ExportPrivateKeys, flag);
}

QOXOptionListRef QOXOExportPrivateSubkeys(QOXContext* context, bool flag) {
  return MakeFlag(context, kQOXOptionType_ExportPrivateSubkeys, flag);
}

QOXOptionListRef QOXOExportable(QOXContext* context, bool flag) {
  return MakeFlag(context, kQOXOptionType_Exportable, flag);
}

QOXOptionListRef QOXOSigTrust(QOXContext* context, uint32_t trustLevel, uint32_t trustValue) {
  if (!qoxContextIsValid(context) || trustValue < 1 || trustValue > 7) return Refused();
  return MakeRecord(context, kQOXOptionType_SigTrust, {trustLevel, trustValue});
}

QOXOptionListRef QOXOCompression(QOXContext* context, bool flag) {
  return MakeFlag(context, kQOXOptionType_Compression, flag);
}

QOXOptionListRef QOXOVersionString(QOXContext* context, const char* version) {
  return MakeString(context, kQOXOptionType_VersionString, version, true);
}

QOXOptionListRef QOXOOmitMIMEVersion(QOXContext* context, bool flag) {
  return MakeFlag(context, kQOXOptionType_OmitMIMEVersion, flag);
}

QOXOptionListRef QOXOSigRegularExpression(QOXContext* context, const char* regularExpression) {
  return MakeString(context, kQOXOptionType_SigRegularExpression, regularExpression, true);
}

QOXOptionListRef QOXOPassThroughClearSigned(QOXContext* context, bool flag) {
  return MakeFlag(context, kQOXOptionType_PassThroughClearSigned, flag);
}

QOXOptionListRef QOXOPassThroughKeys(QOXContext* context, bool flag) {
  return MakeFlag(context, kQOXOptionType_PassThroughKeys, flag);
}

QOXOptionListRef QOXOCreationDate(QOXContext* context, uint32_t creationDate) {
  return MakeWord(context, kQOXOptionType_CreationDate, creationDate);
}

QOXOptionListRef QOXOFileNameString(QOXContext* context, const char* fileName) {
  return MakeString(context, kQOXOptionType_FileNameString, fileName, true);
}

QOXOptionListRef QOXOExportFormat(QOXContext* context, int32_t format) {
  return MakeInt(context, kQOXOptionType_ExportFormat, format);
}

QOXOptionListRef QOXOOutputFormat(QOXContext* context, int32_t format) {
  return MakeInt(context, kQOXOptionType_OutputFormat, format);
}

QOXOptionListRef QOXOInputFormat(QOXContext* context, int32_t format) {
  return MakeInt(context, kQOXOptionType_InputFormat, format);
}

QOXOptionListRef QOXOAttributeValue(QOXContext* context, const void* attributes, uint32_t count) {
  if (!qoxContextIsValid(context) || !Gate()) return Refused();
  uintptr_t value = reinterpret_cast<uintptr_t>(attributes);
  return qoxCreateStandardValueOptionList(context, kQOXOptionType_AttributeValue, &value,
                                          size_t{count} * kQOXAttributeValueRecordSize, nullptr);
}

QOXOptionListRef QOXOExportKeySet(QOXContext* context, QOXKeySet* keySet) {
  return MakeKeySetRef(context, kQOXOptionType_ExportKeySet, keySet);
}

QOXOptionListRef QOXOExportKeyDBObj(QOXContext* context, QOXKeyDBObj* object) {
  if (!qoxContextIsValid(context) || !KeyDB().qoxKeyDBObjIsValid(object) || !Gate()) return Refused();
  return MakeObject(context, kQOXOptionType_ExportKeyDBObj, object);
}

QOXOptionListRef QOXOCachePassphrase(QOXContext* context, uint32_t duration, bool global) {
  if (!qoxContextIsValid(context)) return Refused();
  return MakeRecord(context, kQOXOptionType_CachePassphrase, {duration, uintptr_t{global ? 1u : 0u}});
}

QOXOptionListRef QOXOPreferredKeyServer(QOXContext* context, const char* server) {
  return MakeString(context, kQOXOptionType_PreferredKeyServer, server, false);
}

QOXOptionListRef QOXOKeyServerPreferences(QOXContext* context, uint32_t preferences) {
  return MakeWord(context, kQOXOptionType_KeyServerPreferences, preferences);
}

QOXOptionListRef QOXOKeyFlags(QOXContext* context, uint32_t flags) {
  return MakeWord(context, kQOXOptionType_KeyFlags, flags);
}
