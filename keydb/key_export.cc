// Export of key sets: RFC 2440 key blocks through the message encoder, and
// X.509 objects through the X.509 bridge; certificates issued for keys.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "crypto/pkalg.h"
#include "foundation/context.h"
#include "foundation/file.h"
#include "foundation/memory_mgr.h"
#include "foundation/option_list.h"
#include "foundation/option_types.h"
#include "foundation/pipeline_services.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk_errors.h"
#include "foundation/sdk_time.h"
#include "foundation/scoped.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_files.h"
#include "keydb/key_ops.h"
#include "keydb/key_set.h"
#include "keydb/key_accessors.h"
#include "keydb/key_set_ops.h"
#include "keydb/obj_data.h"
#include "keydb/obj_properties.h"
#include "keydb/ring_reader.h"
#include "keydb/self_sig.h"
#include "keydb/x509_services.h"

namespace {

constexpr QOXOptionType kKeySetExportOptions[] = {
    kQOXOptionType_ExportPrivateKeys, kQOXOptionType_ExportPrivateSubkeys, kQOXOptionType_ExportFormat,
    kQOXOptionType_OutputFileRef,     kQOXOptionType_OutputBuffer,         kQOXOptionType_OutputAllocatedBuffer,
    kQOXOptionType_DiscardOutput,     kQOXOptionType_ArmorOutput,          kQOXOptionType_CommentString,
    kQOXOptionType_VersionString,     kQOXOptionType_EventHandler,         kQOXOptionType_SendNullEvents,
    kQOXOptionType_OutputLineEndType, kQOXOptionType_OutputFormat,         kQOXOptionType_Passphrase,
    kQOXOptionType_Passkey,           kQOXOptionType_CachePassphrase,      kQOXOptionType_AttributeValue,
    kQOXOptionType_InputBuffer,
};
constexpr QOXOptionType kExportOptions[] = {
    kQOXOptionType_ExportPrivateKeys, kQOXOptionType_ExportPrivateSubkeys, kQOXOptionType_ExportFormat,
    kQOXOptionType_OutputFileRef,     kQOXOptionType_OutputBuffer,         kQOXOptionType_OutputAllocatedBuffer,
    kQOXOptionType_DiscardOutput,     kQOXOptionType_ArmorOutput,          kQOXOptionType_CommentString,
    kQOXOptionType_VersionString,     kQOXOptionType_EventHandler,         kQOXOptionType_SendNullEvents,
    kQOXOptionType_OutputLineEndType, kQOXOptionType_OutputFormat,         kQOXOptionType_ExportKeySet,
    kQOXOptionType_ExportKeyDBObj,    kQOXOptionType_Passphrase,           kQOXOptionType_Passkey,
    kQOXOptionType_CachePassphrase,   kQOXOptionType_AttributeValue,       kQOXOptionType_InputBuffer,
};
constexpr QOXOptionType kCertificateOptions[] = {
    kQOXOptionType_Passphrase,     kQOXOptionType_Passkey,    kQOXOptionType_CachePassphrase,
    kQOXOptionType_AttributeValue, kQOXOptionType_Expiration, kQOXOptionType_CreationDate,
};

template <size_t N>
QOXError CheckSet(QOXOptionListRef list, const QOXOptionType (&set)[N]) {
  return qoxCheckOptionsInSet(list, set, static_cast<uint32_t>(N));
}

// One option: found, and its value. Two of the type: kQOXErrRedundantOptions.
struct Found {
  bool found = false;
  uintptr_t value = 0;
  size_t size = 0;
  QOXOption option{};
};
QOXError Find(QOXOptionListRef list, QOXOptionType type, Found* out) {
  *out = Found{};
  if (QOXError err = qoxSearchOptionSingle(list, type, &out->option); err != kQOXErrNoErr) return err;
  out->found = out->option.type != 0;
  out->value = out->option.value;
  out->size = out->option.valueSize;
  return kQOXErrNoErr;
}

// --- Writing key blocks ---

bool Write(QOXFile* file, const uint8_t* bytes, size_t length) {
  return length == 0 || file->write(bytes, length, file) == length;
}

// The stored packet, or the public form of a secret key or subkey.
QOXError WritePacket(QOXFile* file, QOXKeyDBObj* object, bool publicForm) {
  size_t length = 0;
  const uint8_t* packet = qoxFetchObject(object, &length);
  if (packet == nullptr) return kQOXErrNoErr;
  const KeyInfo* k = qoxKeyToKeyInfo(object);
  if (publicForm && k != nullptr && (k->keyFlags & kQOXKeyFlag_Secret) != 0) {
    size_t publicLength = 0;
    uint8_t* bytes = qoxKeyDBObjToPubData(object, &publicLength);
    if (bytes == nullptr) return kQOXErrOutOfMemory;
    const bool written = Write(file, bytes, publicLength);
    QOXFreeData(bytes);
    return written ? kQOXErrNoErr : kQOXErrWriteFailed;
  }
  return Write(file, packet, length) ? kQOXErrNoErr : kQOXErrWriteFailed;
}

bool ExportableSig(QOXKeyDBObj* sig) {
  const SigInfo* s = qoxSigToSigInfo(sig);
  return s != nullptr && (s->sigFlags & kQOXSigFlag_Exportable) != 0 && !qoxSigIsSuperceded(sig);
}

bool IsAttribute(QOXKeyDBObj* userID) {
  const UserIDInfo* u = qoxUserIDToUserIDInfo(userID);
  return u != nullptr && (u->userIDFlags & kQOXUserIDFlag_Attribute) != 0;
}

// The text of the creation-time extension's time: UTCTime before 2050,
// GeneralizedTime (15 characters) from then on.
size_t TimeText(QOXTime time, char (&text)[32]) {
  const std::time_t t = time;
  std::tm tm{};
  gmtime_r(&t, &tm);
  const int year = tm.tm_year + 1900;
  if (year < 2050) {
    std::snprintf(text, sizeof text, "%02d%02d%02d%02d%02d%02dZ", year % 100, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                  tm.tm_min, tm.tm_sec);
    return 13;
  }
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02dZ", year, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                tm.tm_sec);
  return 15;
}

// Attribute records with the creation-time record in front (context
// memory, with the record's value behind the array). Null when memory runs
// out.
QOXAttributeValue* WithCreationRecord(QOXContext* context, QOXKeyDBObj* key, bool extension,
                                      const QOXAttributeValue* records, size_t count) {
  const KeyInfo* k = qoxKeyToKeyInfo(key);
  const QOXTime created = k != nullptr ? k->creation : 0;
  uint8_t value[64];
  size_t valueLength = 0;
  if (extension) {
    char text[32];
    const size_t textLength = TimeText(created, text);
    std::memcpy(value, kQOXCreationTimeExtensionPrefix, sizeof kQOXCreationTimeExtensionPrefix);
    value[1] = static_cast<uint8_t>(value[1] + textLength + 2);
    value[15] = static_cast<uint8_t>(value[15] + textLength + 2);
    valueLength = sizeof kQOXCreationTimeExtensionPrefix;
    value[valueLength++] = textLength == 15 ? 0x18 : 0x17;
    value[valueLength++] = static_cast<uint8_t>(textLength);
    std::memcpy(value + valueLength, text, textLength);
    valueLength += textLength;
  } else {
    char text[32];
    std::snprintf(text, sizeof text, "QOXKeyCreation=0x%08x", static_cast<unsigned>(created));
    valueLength = 25;
    std::memcpy(value, text, valueLength);
  }
  const size_t arrayBytes = (count + 1) * sizeof(QOXAttributeValue);
  auto* out = static_cast<QOXAttributeValue*>(qoxContextMemAlloc(context, arrayBytes + valueLength, 0));
  if (out == nullptr) return nullptr;
  uint8_t* stored = reinterpret_cast<uint8_t*>(out) + arrayBytes;
  std::memcpy(stored, value, valueLength);
  out[0] = QOXAttributeValue{extension ? kQOXAttribute_DERExtension : kQOXAttribute_Text,
                             static_cast<uint32_t>(valueLength), reinterpret_cast<uintptr_t>(stored)};
  if (count != 0) std::memcpy(out + 1, records, count * sizeof(QOXAttributeValue));
  return out;
}

// The caller's attribute records (option 69), required.
QOXError Attributes(QOXOptionListRef list, const QOXAttributeValue** outRecords, size_t* outCount) {
  Found attributes;
  if (QOXError err = Find(list, kQOXOptionType_AttributeValue, &attributes); err != kQOXErrNoErr) return err;
  if (!attributes.found) return kQOXErrOptionNotFound;
  *outRecords = reinterpret_cast<const QOXAttributeValue*>(attributes.value);
  *outCount = attributes.size / kQOXAttributeValueRecordSize;
  return kQOXErrNoErr;
}

// The passphrase (18), else the passkey (19): bytes, length, and which.
QOXError Passphrase(QOXOptionListRef list, Found* out, bool* outIsPasskey) {
  *outIsPasskey = false;
  if (QOXError err = Find(list, kQOXOptionType_Passphrase, out); err != kQOXErrNoErr || out->found) return err;
  if (QOXError err = Find(list, kQOXOptionType_Passkey, out); err != kQOXErrNoErr) return err;
  *outIsPasskey = out->found;
  return kQOXErrNoErr;
}

// The X.509 signature of the key to export: the last one made by the
// object it sits on, else the first met.
QOXKeyDBObj* CertificateSig(QOXKeyDBObj* key, QOXKeySet* set) {
  QOXKeyDBObj* first = nullptr;
  QOXKeyDBObj* selfIssued = nullptr;
  auto consider = [&](QOXKeyDBObj* sig, QOXKeyDBObj* holder) {
    if (!qoxKeyDBObjIsReal(sig) || qoxObjectType(sig) != kQOXKeyDBObjType_Sig || !qoxKeySetIsMember(sig, set)) return;
    const SigInfo* s = qoxSigToSigInfo(sig);
    if (s == nullptr || (s->sigFlags & kQOXSigFlag_X509) == 0) return;
    if (first == nullptr) first = sig;
    if (s->signer == holder || s->signer == qoxObjTopKey(holder)) selfIssued = sig;
  };
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    consider(c, key);
    for (QOXKeyDBObj* g = c->child; g != nullptr; g = g->next) consider(g, c);
  }
  return selfIssued != nullptr ? selfIssued : first;
}

QOXError ExportCertificate(QOXContext* context, QOXKeyDBObj* key, QOXKeySet* set, QOXOptionListRef list) {
  Found privateKeys;
  if (QOXError err = Find(list, kQOXOptionType_ExportPrivateKeys, &privateKeys); err != kQOXErrNoErr) return err;
  QOXKeyDBObj* sig = CertificateSig(key, set);
  size_t certLength = 0;
  const uint8_t* cert = sig != nullptr ? qoxSigX509Certificate(sig, &certLength) : nullptr;
  if (cert == nullptr) return kQOXErrItemNotFound;
  if (!privateKeys.found || (privateKeys.value & 0xFF) == 0)
    return qoxPipelineServices().qoxOutputBufferByOptionList(context, cert, certLength, list,
                                                             kQOXPEMKind_Certificate);
  // A PKCS #12 bundle of the secret key, its certificate chain and the
  // primary user ID's name.
  Found passphrase;
  if (QOXError err = Find(list, kQOXOptionType_Passphrase, &passphrase); err != kQOXErrNoErr) return err;
  if (!passphrase.found) return kQOXErrOptionNotFound;
  const auto* pass = reinterpret_cast<const uint8_t*>(passphrase.value);
  QOXSecKey* secret = qoxSecSecKey(key, 0);
  if (secret == nullptr) return qoxKeyDBError(qoxObjKeyDB(key));
  if (secret->unlock(secret, reinterpret_cast<const char*>(pass), passphrase.size, 0) != 1) return kQOXErrBadPassphrase;
  const QOXX509Services& x509 = qoxX509Services();
  uint8_t* pkcs8 = nullptr;
  size_t pkcs8Length = 0;
  QOXError err = x509.qoxEncodePKCS8(secret, &pkcs8, &pkcs8Length);
  secret->lock(secret);
  uint8_t* name = nullptr;
  size_t nameLength = 0;
  uint8_t* chain = nullptr;
  size_t chainLength = 0;
  uint8_t* pfx = nullptr;
  size_t pfxLength = 0;
  if (err == kQOXErrNoErr) err = QOXGetPrimaryUserIDName(key, nullptr, 0, &nameLength);
  if (err == kQOXErrNoErr) {
    name = static_cast<uint8_t*>(qoxContextMemAlloc(context, nameLength + 1, 0));
    err = name == nullptr ? kQOXErrOutOfMemory : QOXGetPrimaryUserIDName(key, name, nameLength + 1, &nameLength);
  }
  if (err == kQOXErrNoErr) err = x509.qoxCreateCertSetFromChain(context, sig, &chain, &chainLength);
  if (err == kQOXErrNoErr)
    err = x509.PKCS12ExportKey(context, pkcs8, pkcs8Length, pass, passphrase.size, chain, chainLength,
                               name, nameLength, 1, 1000, 1, &pfx, &pfxLength);
  if (err == kQOXErrNoErr)
    err = qoxPipelineServices().qoxOutputBufferByOptionList(context, pfx, pfxLength, list, kQOXPEMKind_PrivateKey);
  if (name != nullptr) qoxContextMemFree(context, name);
  for (void* block : {static_cast<void*>(pkcs8), static_cast<void*>(chain), static_cast<void*>(pfx)}) {
    if (block != nullptr) QOXFreeData(block);
  }
  return err;
}

QOXError ExportRequest(QOXContext* context, QOXKeyDBObj* key, int32_t format, QOXOptionListRef list) {
  Found passphrase;
  bool isPasskey = false;
  if (QOXError err = Passphrase(list, &passphrase, &isPasskey); err != kQOXErrNoErr) return err;
  const QOXAttributeValue* records = nullptr;
  size_t count = 0;
  if (QOXError err = Attributes(list, &records, &count); err != kQOXErrNoErr) return err;
  QOXAttributeValue* all = WithCreationRecord(context, key, format == kQOXExportFormat_X509CertReq + 2, records, count);
  if (all == nullptr) return kQOXErrOutOfMemory;
  QOXOptionListRef passphraseList = passphrase.found ? qoxNewOneOptionList(context, &passphrase.option) : nullptr;
  uint8_t* request = nullptr;
  size_t length = 0;
  QOXError err = passphrase.found && !qoxOptionListIsReal(passphraseList) ? kQOXErrOutOfMemory : kQOXErrNoErr;
  if (err == kQOXErrNoErr)
    err = qoxX509Services().X509CreateCertificateRequest(context, key, format, all, count + 1, passphraseList,
                                                         &request, &length);
  if (err == kQOXErrNoErr)
    err = qoxPipelineServices().qoxOutputBufferByOptionList(context, request, length, list,
                                                            kQOXPEMKind_CertificateRequest);
  if (request != nullptr) QOXFreeData(request);
  if (qoxOptionListIsReal(passphraseList)) qoxFreeOptionList(passphraseList);
  qoxContextMemFree(context, all);
  return err;
}

QOXError ExportCRLRequest(QOXContext* context, QOXKeyDBObj* key, int32_t format, QOXOptionListRef list) {
  Found input;
  if (QOXError err = Find(list, kQOXOptionType_InputBuffer, &input); err != kQOXErrNoErr) return err;
  uint8_t* request = nullptr;
  size_t length = 0;
  QOXError err = qoxX509Services().X509CreateCRLRequest(context, key, reinterpret_cast<const uint8_t*>(input.value),
                                                        input.size, format, QOXGetTime(), &request, &length);
  if (err == kQOXErrNoErr) err = qoxPipelineServices().qoxOutputBufferByOptionList(context, request, length, list, 0);
  if (request != nullptr) QOXFreeData(request);
  return err;
}

QOXError sExportKeyX509(QOXKeyDBObj* key, QOXKeySet* set, int32_t format, QOXOptionListRef list) {
  QOXContext* context = qoxObjKeyDB(key)->context;
  if (format == kQOXExportFormat_X509Cert) return ExportCertificate(context, key, set, list);
  if (format < kQOXExportFormat_X509GetCert) return ExportRequest(context, key, format, list);
  if (format < kQOXExportFormat_X509GetCRL) {
    static constexpr uint8_t kEmptySequence[] = {0x30, 0x00};
    return qoxPipelineServices().qoxOutputBufferByOptionList(context, kEmptySequence, sizeof kEmptySequence, list, 0);
  }
  return ExportCRLRequest(context, key, format, list);
}

// The key blocks of the set in a new buffer of the context's memory.
QOXError KeyBlocks(QOXKeySet* set, bool exportPrivate, bool exportPrivateSubKeys, bool withAttributes,
                   uint8_t** outBuffer, size_t* outLength) {
  *outBuffer = nullptr;
  *outLength = 0;
  QOXContext* context = set->keyDB->context;
  QOXFile* file = qoxFileMemOpen(context, nullptr, 0);
  if (file == nullptr) return kQOXErrOutOfMemory;
  QOXError err = sExportToQOXFile(set, file, exportPrivate, exportPrivateSubKeys, withAttributes);
  if (err == kQOXErrNoErr) {
    const QOXFileOffset size = file->tell(file);
    auto* buffer = static_cast<uint8_t*>(qoxContextMemAlloc(context, size > 0 ? static_cast<size_t>(size) : 1, 0));
    if (buffer == nullptr) {
      err = kQOXErrOutOfMemory;
    } else if (file->seek(file, 0, SEEK_SET) != kQOXErrNoErr ||
               file->read(buffer, static_cast<size_t>(size), file) != static_cast<size_t>(size)) {
      qoxContextMemFree(context, buffer);
      err = kQOXErrReadFailed;
    } else {
      *outBuffer = buffer;
      *outLength = static_cast<size_t>(size);
    }
  }
  file->close(file);
  return err;
}

// Encodes a buffer of key blocks to the caller's output: armored unless
// the caller chose, raw input, no compression; appended when asked.
QOXError Encode(QOXContext* context, QOXOptionListRef list, const uint8_t* buffer, size_t length, bool armorGiven,
                bool append) {
  QOXOptionListRef options = qoxCopyOptionList(list);
  if (!qoxOptionListIsReal(options)) return kQOXErrOutOfMemory;
  QOXError err = qoxAppendOptionListArgs(options, QOXOInputBuffer(context, buffer, length),
                                         QOXORawQOXInput(context, true), QOXOCompression(context, false),
                                         armorGiven ? kQOXNullOptionList : QOXOArmorOutput(context, true),
                                         append ? QOXOAppendOutput(context, true) : kQOXNullOptionList,
                                         kQOXEndOfOptionList);
  if (err == kQOXErrNoErr) err = qoxPipelineServices().qoxEncodeInternal(context, options);
  qoxFreeOptionList(options);
  return err;
}

QOXError sExportKeySetInternal(QOXKeySet* set, QOXOptionListRef list) {
  Found privateKeys, privateSubKeys, formatOption, armor;
  for (auto [type, out] : {std::pair{kQOXOptionType_ExportPrivateKeys, &privateKeys},
                           std::pair{kQOXOptionType_ExportPrivateSubkeys, &privateSubKeys},
                           std::pair{kQOXOptionType_ExportFormat, &formatOption},
                           std::pair{kQOXOptionType_ArmorOutput, &armor}}) {
    if (QOXError err = Find(list, type, out); err != kQOXErrNoErr) return err;
  }
  const int32_t format = formatOption.found ? static_cast<int32_t>(formatOption.value) : kQOXExportFormat_Default;
  const bool exportPrivate = privateKeys.found && (privateKeys.value & 0xFF) != 0;
  const bool exportPrivateSubKeys = exportPrivate || (privateSubKeys.found && (privateSubKeys.value & 0xFF) != 0);
  if (format == kQOXExportFormat_X509Cert || format >= kQOXExportFormat_X509CertReq) {
    QOXKeyDBObj* key = qoxFirstKeyInKeySet(set);
    return key != nullptr ? sExportKeyX509(key, set, format, list) : kQOXErrNoErr;
  }
  QOXContext* context = set->keyDB->context;
  const bool withAttributes = format != 0 && format != kQOXExportFormat_NoAttributes1;
  uint8_t* buffer = nullptr;
  size_t length = 0;
  QOXError err = KeyBlocks(set, exportPrivate, exportPrivateSubKeys, withAttributes, &buffer, &length);
  if (err == kQOXErrNoErr) err = Encode(context, list, buffer, length, armor.found, false);
  if (buffer != nullptr) qoxContextMemFree(context, buffer);
  if (err != kQOXErrNoErr || !exportPrivateSubKeys) return err;
  // The public block follows the secret one.
  err = KeyBlocks(set, false, false, withAttributes, &buffer, &length);
  if (err == kQOXErrNoErr) err = Encode(context, list, buffer, length, armor.found, true);
  if (buffer != nullptr) qoxContextMemFree(context, buffer);
  return err;
}

}  // namespace

QOXError sExportToQOXFile(QOXKeySet* set, QOXFile* file, bool exportPrivate, bool exportPrivateSubKeys,
                          bool withAttributes) {
  if (!qoxKeySetIsValid(set) || file == nullptr) return kQOXErrBadParams;
  auto member = [set](QOXKeyDBObj* o) { return qoxKeyDBObjIsReal(o) && qoxKeySetIsMember(o, set); };
  for (QOXKeyDBObj* key = set->keyDB->firstKey; key != nullptr; key = key->next) {
    if (!member(key)) continue;
    if (QOXError err = WritePacket(file, key, !exportPrivate); err != kQOXErrNoErr) return err;
    for (QOXKeyDBObj* child = key->child; child != nullptr; child = child->next) {
      if (!member(child)) continue;
      const int32_t type = qoxObjectType(child);
      if (type == kQOXKeyDBObjType_CRL) continue;
      if (type == kQOXKeyDBObjType_UserID && !withAttributes && IsAttribute(child)) continue;
      if (type == kQOXKeyDBObjType_Sig && (exportPrivate || !ExportableSig(child))) continue;
      const bool subKey = type == kQOXKeyDBObjType_SubKey;
      if (QOXError err = WritePacket(file, child, subKey && !exportPrivateSubKeys); err != kQOXErrNoErr) return err;
      if (type == kQOXKeyDBObjType_Sig) continue;
      // Signatures of private parts stay behind: the public block carries them.
      const bool privatePart = subKey ? exportPrivateSubKeys : exportPrivate;
      for (QOXKeyDBObj* grand = child->child; grand != nullptr; grand = grand->next) {
        if (!member(grand) || qoxObjectType(grand) == kQOXKeyDBObjType_CRL) continue;
        if (qoxObjectType(grand) == kQOXKeyDBObjType_Sig && (privatePart || !ExportableSig(grand))) continue;
        if (QOXError err = WritePacket(file, grand, false); err != kQOXErrNoErr) return err;
      }
    }
  }
  return kQOXErrNoErr;
}

QOXError qoxExportKeySetInternal(QOXKeySet* set, QOXOptionListRef list) {
  if (!qoxKeySetIsValid(set)) return kQOXErrBadParams;
  if (QOXError err = CheckSet(list, kKeySetExportOptions); err != kQOXErrNoErr) return err;
  return sExportKeySetInternal(set, list);
}

QOXError qoxExportInternal(QOXContext* context, QOXOptionListRef list) {
  if (!qoxContextIsValid(context)) return kQOXErrBadParams;
  if (QOXError err = CheckSet(list, kExportOptions); err != kQOXErrNoErr) return err;
  Found setOption, objectOption;
  if (QOXError err = Find(list, kQOXOptionType_ExportKeySet, &setOption); err != kQOXErrNoErr) return err;
  if (QOXError err = Find(list, kQOXOptionType_ExportKeyDBObj, &objectOption); err != kQOXErrNoErr) return err;
  if (setOption.found == objectOption.found) return kQOXErrBadParams;
  if (setOption.found) {
    auto* set = reinterpret_cast<QOXKeySet*>(setOption.value);
    if (!qoxKeySetIsValid(set)) return kQOXErrBadParams;
    return sExportKeySetInternal(set, list);
  }
  QOXKeySet* one = nullptr;
  if (QOXError err = QOXNewOneKeySet(reinterpret_cast<QOXKeyDBObj*>(objectOption.value), &one); err != kQOXErrNoErr)
    return err;
  const QOXError err = sExportKeySetInternal(one, list);
  QOXFreeKeySet(one);
  return err;
}

QOXError qoxCreateX509CertificateInternal(QOXKeyDBObj* signingKey, QOXKeyDBObj* subjectKey, QOXKeyDBObj** outSig,
                                          QOXOptionListRef list) {
  if (outSig != nullptr) *outSig = nullptr;
  if (outSig == nullptr || !qoxKeyDBObjIsValid(signingKey) || !qoxKeyIsValid(subjectKey)) return kQOXErrBadParams;
  if (QOXError err = CheckSet(list, kCertificateOptions); err != kQOXErrNoErr) return err;
  Found creation, expiration, passphrase;
  bool isPasskey = false;
  if (QOXError err = Find(list, kQOXOptionType_CreationDate, &creation); err != kQOXErrNoErr) return err;
  if (QOXError err = Find(list, kQOXOptionType_Expiration, &expiration); err != kQOXErrNoErr) return err;
  if (QOXError err = Passphrase(list, &passphrase, &isPasskey); err != kQOXErrNoErr) return err;
  const QOXAttributeValue* records = nullptr;
  size_t count = 0;
  if (QOXError err = Attributes(list, &records, &count); err != kQOXErrNoErr) return err;
  QOXContext* context = qoxObjKeyDB(subjectKey)->context;
  QOXAttributeValue* all = WithCreationRecord(context, subjectKey, true, records, count);
  if (all == nullptr) return kQOXErrOutOfMemory;
  const QOXTime start = creation.found ? static_cast<QOXTime>(creation.value) : QOXGetTime();
  const QOXError err = qoxX509Services().qoxX509CreateCert_internal(
      context, signingKey, subjectKey, start, static_cast<uint32_t>(expiration.value), all,
      count + 1, reinterpret_cast<const uint8_t*>(passphrase.value),
      passphrase.size, isPasskey, outSig);
  qoxContextMemFree(context, all);
  return err;
}
