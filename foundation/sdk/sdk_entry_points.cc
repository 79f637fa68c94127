// Entry points that take a run of option lists. Every one goes through
// RunWithList so the order (gate, checks, build, operation, free) and the
// release of the run on refusal are written once.
#include "foundation/sdk/sdk_entry_points.h"

#include <cstdarg>
#include <cstring>

#include "foundation/context.h"
#include "foundation/keydb_services.h"
#include "foundation/pipeline_services.h"

namespace {

// The key database's calls, as registered (foundation/keydb_services.h).
const QOXKeyDBServices& KeyDB() { return qoxKeyDBServices(); }

constexpr size_t kMaxUserIDLength = 255;

// Gate, then the caller's checks; on refusal the run is released. Otherwise
// one non-persistent list is built from the run; a list that records an
// error is freed and its error returned; else the operation runs and the
// list is freed afterwards (unless the operation takes it over).
template <typename Op>
QOXError RunWithList(bool checksPass, QOXContext* context, QOXOptionListRef first, va_list rest,
                     Op op, bool operationTakesList = false) {
  QOXError err = qoxEnterFunction();
  if (err == kQOXErrNoErr && (!checksPass || !qoxContextIsValid(context))) err = kQOXErrBadParams;
  if (err != kQOXErrNoErr) {
    qoxFreeVarArgOptionListVA(first, rest);
    return err;
  }
  QOXOptionListRef list = qoxBuildOptionListVA(context, false, first, rest);
  err = qoxGetOptionListError(list);
  if (err != kQOXErrNoErr) {
    qoxFreeOptionList(list);
    return err;
  }
  err = op(list);
  if (!operationTakesList) qoxFreeOptionList(list);
  return err;
}

QOXContext* ObjectContext(QOXKeyDBObj* object) { return KeyDB().QOXPeekKeyDBObjContext(object); }

bool IsKeyOrSubKey(QOXKeyDBObj* object) {
  return KeyDB().qoxKeyIsValid(object) || KeyDB().qoxSubKeyIsValid(object);
}

}  // namespace

// --- Option-list front functions ---

QOXError QOXNewOptionList(QOXContext* context, QOXOptionListRef* outList) {
  if (outList == nullptr) return kQOXErrBadParams;
  *outList = nullptr;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  if (!qoxContextIsValid(context)) return kQOXErrBadParams;
  QOXOptionListRef list = qoxNewOptionList(context, true);
  if (!qoxOptionListIsReal(list)) return qoxOptionListToError(list);
  *outList = list;
  return kQOXErrNoErr;
}

QOXError QOXCopyOptionList(QOXOptionListRef list, QOXOptionListRef* outCopy) {
  if (outCopy == nullptr) return kQOXErrBadParams;
  *outCopy = nullptr;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  if (!qoxOptionListIsValid(list)) return kQOXErrBadParams;
  QOXOptionListRef copy = qoxCopyOptionList(list);
  if (!qoxOptionListIsReal(copy)) return qoxOptionListToError(copy);
  *outCopy = copy;
  return kQOXErrNoErr;
}

QOXError QOXFreeOptionList(QOXOptionListRef list) {
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  if (!qoxOptionListIsValid(list)) return kQOXErrBadParams;
  qoxFreeOptionList(list);
  return kQOXErrNoErr;
}

QOXError QOXBuildOptionList(QOXContext* context, QOXOptionListRef* outList,
                            QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  QOXError err = kQOXErrNoErr;
  if (outList != nullptr) *outList = nullptr;
  if (outList == nullptr) err = kQOXErrBadParams;
  if (err == kQOXErrNoErr) err = qoxEnterFunction();
  if (err == kQOXErrNoErr && !qoxContextIsValid(context)) err = kQOXErrBadParams;
  if (err != kQOXErrNoErr) {
    qoxFreeVarArgOptionListVA(firstOption, rest);
  } else {
    QOXOptionListRef list = qoxBuildOptionListVA(context, true, firstOption, rest);
    if (qoxOptionListIsReal(list)) *outList = list;
    else err = qoxOptionListToError(list);
  }
  va_end(rest);
  return err;
}

QOXError QOXAppendOptionList(QOXOptionListRef list, QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) qoxFreeVarArgOptionListVA(firstOption, rest);
  else err = qoxAppendOptionListVA(list, firstOption, rest);
  va_end(rest);
  return err;
}

QOXError QOXAddJobOptions(QOXJob* job, QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  QOXError err = job == nullptr ? kQOXErrBadParams : qoxEnterFunction();
  if (err != kQOXErrNoErr) qoxFreeVarArgOptionListVA(firstOption, rest);
  else err = qoxAddJobOptionsVA(job, firstOption, rest);
  va_end(rest);
  return err;
}

// --- Encode and decode ---

QOXError QOXEncode(QOXContext* context, QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  QOXError err = RunWithList(true, context, firstOption, rest, [&](QOXOptionListRef list) {
    return qoxPipelineServices().qoxEncodeInternal(context, list);
  });
  va_end(rest);
  return err;
}

QOXError QOXDecode(QOXContext* context, QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  QOXError err = RunWithList(true, context, firstOption, rest, [&](QOXOptionListRef list) {
    return qoxPipelineServices().qoxDecodeInternal(context, list);
  });
  va_end(rest);
  return err;
}

// --- Key management ---

QOXError QOXGenerateKey(QOXContext* context, QOXKeyDBObj** outKey, QOXOptionListRef firstOption,
                        ...) {
  if (outKey != nullptr) *outKey = nullptr;
  va_list rest;
  va_start(rest, firstOption);
  QOXError err = RunWithList(outKey != nullptr, context, firstOption, rest,
                             [&](QOXOptionListRef list) {
                               return KeyDB().qoxGenerateKeyInternal(outKey, list);
                             });
  va_end(rest);
  return err;
}

QOXError QOXGenerateSubKey(QOXContext* context, QOXKeyDBObj** outSubKey,
                           QOXOptionListRef firstOption, ...) {
  if (outSubKey != nullptr) *outSubKey = nullptr;
  va_list rest;
  va_start(rest, firstOption);
  QOXError err = RunWithList(outSubKey != nullptr, context, firstOption, rest,
                             [&](QOXOptionListRef list) {
                               return KeyDB().qoxGenerateSubKeyInternal(outSubKey, list);
                             });
  va_end(rest);
  return err;
}

QOXError QOXSetPrimaryUserID(QOXKeyDBObj* userID, QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  // The user ID's context is read from the object, so it must be a live
  // key-database object, not merely non-null.
  bool ok = KeyDB().qoxKeyDBObjIsValid(userID);
  QOXError err = RunWithList(ok, ok ? ObjectContext(userID) : nullptr, firstOption, rest,
                             [&](QOXOptionListRef list) {
                               return KeyDB().qoxCertifyPrimaryUserIDInternal(userID, list);
                             });
  va_end(rest);
  return err;
}

QOXError QOXCertifyUserID(QOXKeyDBObj* userID, QOXKeyDBObj* certifyingKey,
                          QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  bool ok = userID != nullptr && KeyDB().qoxKeyIsValid(certifyingKey);
  QOXError err = RunWithList(ok, ok ? ObjectContext(certifyingKey) : nullptr, firstOption, rest,
                             [&](QOXOptionListRef list) {
                               return KeyDB().qoxCertifyUserIDInternal(userID, certifyingKey, list);
                             });
  va_end(rest);
  return err;
}

QOXError QOXRevokeSig(QOXKeyDBObj* sig, QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  bool ok = KeyDB().qoxSigIsValid(sig);
  QOXError err = RunWithList(ok, ok ? ObjectContext(sig) : nullptr, firstOption, rest,
                             [&](QOXOptionListRef list) { return KeyDB().qoxRevokeSigInternal(sig, list); });
  va_end(rest);
  return err;
}

QOXError QOXRevoke(QOXKeyDBObj* keyOrSubKey, QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  bool ok = IsKeyOrSubKey(keyOrSubKey);
  QOXError err = RunWithList(ok, ok ? ObjectContext(keyOrSubKey) : nullptr, firstOption, rest,
                             [&](QOXOptionListRef list) {
                               return KeyDB().qoxKeyIsValid(keyOrSubKey)
                                          ? KeyDB().qoxRevokeKeyInternal(keyOrSubKey, list)
                                          : KeyDB().qoxRevokeSubKeyInternal(keyOrSubKey, list);
                             });
  va_end(rest);
  return err;
}

QOXError QOXAddUserID(QOXKeyDBObj* key, const char* name, QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  bool ok = KeyDB().qoxKeyIsValid(key) && name != nullptr &&
            strnlen(name, kMaxUserIDLength + 1) <= kMaxUserIDLength;
  QOXError err = RunWithList(ok, ok ? ObjectContext(key) : nullptr, firstOption, rest,
                             [&](QOXOptionListRef list) {
                               return KeyDB().qoxAddUserIDInternal(key, name, list);
                             });
  va_end(rest);
  return err;
}

QOXError QOXAddAttributeUserID(QOXKeyDBObj* key, int32_t attributeType, const uint8_t* data,
                               size_t length, QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  bool ok = KeyDB().qoxKeyIsValid(key) && data != nullptr;
  QOXError err = RunWithList(ok, ok ? ObjectContext(key) : nullptr, firstOption, rest,
                             [&](QOXOptionListRef list) {
                               return KeyDB().qoxAddAttributeInternal(key, attributeType, data, length, list);
                             });
  va_end(rest);
  return err;
}

uint32_t QOXGetKeyEntropyNeeded(QOXContext* context, QOXOptionListRef firstOption, ...) {
  constexpr uint32_t kAllOnes = 0xFFFFFFFFu;
  va_list rest;
  va_start(rest, firstOption);
  uint32_t result = kAllOnes;
  QOXError gate = qoxEnterFunction();
  if (gate != kQOXErrNoErr || !qoxContextIsValid(context)) {
    qoxFreeVarArgOptionListVA(firstOption, rest);
    if (gate != kQOXErrNoErr) result = static_cast<uint32_t>(gate);
  } else {
    QOXOptionListRef list = qoxBuildOptionListVA(context, false, firstOption, rest);
    if (qoxGetOptionListError(list) == kQOXErrNoErr)
      result = KeyDB().qoxKeyEntropyNeededInternal(context, list);
    qoxFreeOptionList(list);
  }
  va_end(rest);
  return result;
}

QOXError QOXCreateSelfSignedX509Certificate(QOXKeyDBObj* key, QOXKeyDBObj** outSig,
                                            QOXOptionListRef firstOption, ...) {
  if (outSig != nullptr) *outSig = nullptr;
  va_list rest;
  va_start(rest, firstOption);
  bool ok = outSig != nullptr && KeyDB().qoxKeyIsValid(key);
  QOXError err = RunWithList(ok, ok ? ObjectContext(key) : nullptr, firstOption, rest,
                             [&](QOXOptionListRef list) {
                               return KeyDB().qoxCreateX509CertificateInternal(key, key, outSig, list);
                             });
  va_end(rest);
  return err;
}

QOXError QOXCreateX509Certificate(QOXKeyDBObj* issuerSig, QOXKeyDBObj* subjectKey,
                                  QOXKeyDBObj** outSig, QOXOptionListRef firstOption, ...) {
  if (outSig != nullptr) *outSig = nullptr;
  va_list rest;
  va_start(rest, firstOption);
  bool ok = outSig != nullptr && KeyDB().qoxSigIsValid(issuerSig) && KeyDB().qoxKeyIsValid(subjectKey);
  QOXError err = RunWithList(ok, ok ? ObjectContext(subjectKey) : nullptr, firstOption, rest,
                             [&](QOXOptionListRef list) {
                               return KeyDB().qoxCreateX509CertificateInternal(issuerSig, subjectKey, outSig, list);
                             });
  va_end(rest);
  return err;
}

QOXError QOXExport(QOXContext* context, QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  QOXError err = RunWithList(true, context, firstOption, rest, [&](QOXOptionListRef list) {
    return KeyDB().qoxExportInternal(context, list);
  });
  va_end(rest);
  return err;
}

QOXError QOXImport(QOXContext* context, QOXKeyDB** outKeyDB, QOXOptionListRef firstOption, ...) {
  if (outKeyDB != nullptr) *outKeyDB = nullptr;
  va_list rest;
  va_start(rest, firstOption);
  QOXError err = RunWithList(
      outKeyDB != nullptr, context, firstOption, rest,
      [&](QOXOptionListRef list) { return KeyDB().qoxImportKeySetInternal(context, outKeyDB, list); },
      /*operationTakesList=*/true);
  va_end(rest);
  return err;
}

QOXError QOXChangePassphrase(QOXKeyDBObj* keyOrSubKey, QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  bool ok = IsKeyOrSubKey(keyOrSubKey);
  QOXError err = RunWithList(ok, ok ? ObjectContext(keyOrSubKey) : nullptr, firstOption, rest,
                             [&](QOXOptionListRef list) {
                               return KeyDB().qoxKeyIsValid(keyOrSubKey)
                                          ? KeyDB().qoxChangePassphraseInternal(keyOrSubKey, list)
                                          : KeyDB().qoxChangeSubKeyPassphraseInternal(keyOrSubKey, list);
                             });
  va_end(rest);
  return err;
}

bool QOXPassphraseIsValid(QOXKeyDBObj* key, QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  bool ok = KeyDB().qoxKeyIsValid(key);
  bool valid = false;
  RunWithList(ok, ok ? ObjectContext(key) : nullptr, firstOption, rest,
              [&](QOXOptionListRef list) {
                valid = KeyDB().qoxPassphraseIsValidInternal(key, list);
                return kQOXErrNoErr;
              });
  va_end(rest);
  return valid;
}

QOXError QOXSetKeyAxiomatic(QOXKeyDBObj* key, bool set, QOXOptionListRef firstOption,
                            ...) {
  va_list rest;
  va_start(rest, firstOption);
  bool ok = KeyDB().qoxKeyIsValid(key);
  QOXError err = RunWithList(ok, ok ? ObjectContext(key) : nullptr, firstOption, rest,
                             [&](QOXOptionListRef list) {
                               return KeyDB().qoxSetKeyAxiomaticInternal(key, set, list);
                             });
  va_end(rest);
  return err;
}

QOXError QOXGetPasskeyBuffer(QOXKeyDBObj* keyOrSubKey, void** outBuffer,
                             QOXOptionListRef firstOption, ...) {
  if (outBuffer != nullptr) *outBuffer = nullptr;
  va_list rest;
  va_start(rest, firstOption);
  bool ok = outBuffer != nullptr && IsKeyOrSubKey(keyOrSubKey);
  QOXError err =
      RunWithList(ok, ok ? ObjectContext(keyOrSubKey) : nullptr, firstOption, rest,
                  [&](QOXOptionListRef list) {
                    return KeyDB().qoxKeyIsValid(keyOrSubKey)
                               ? KeyDB().qoxGetKeyPasskeyBufferInternal(keyOrSubKey, outBuffer, list)
                               : KeyDB().qoxGetSubKeyPasskeyBufferInternal(keyOrSubKey, outBuffer, list);
                  });
  va_end(rest);
  return err;
}

QOXError QOXAddKeyOptions(QOXKeyDBObj* key, QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  bool ok = KeyDB().qoxKeyIsValid(key);
  QOXError err = RunWithList(ok, ok ? ObjectContext(key) : nullptr, firstOption, rest,
                             [&](QOXOptionListRef list) {
                               return KeyDB().qoxAddKeyOptionsInternal(key, list);
                             });
  va_end(rest);
  return err;
}

QOXError QOXRemoveKeyOptions(QOXKeyDBObj* key, QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  bool ok = KeyDB().qoxKeyIsValid(key);
  QOXError err = RunWithList(ok, ok ? ObjectContext(key) : nullptr, firstOption, rest,
                             [&](QOXOptionListRef list) {
                               return qoxRemoveKeyOptionsInternal(key, list);
                             });
  va_end(rest);
  return err;
}

QOXError QOXUpdateKeyOptions(QOXKeyDBObj* key, QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  bool ok = KeyDB().qoxKeyIsValid(key);
  QOXError err = RunWithList(ok, ok ? ObjectContext(key) : nullptr, firstOption, rest,
                             [&](QOXOptionListRef list) {
                               return KeyDB().qoxUpdateKeyOptionsInternal(key, list);
                             });
  va_end(rest);
  return err;
}

// Removing key options was never offered; the call stays for callers that
// probe for it.
QOXError qoxRemoveKeyOptionsInternal(QOXKeyDBObj*, QOXOptionListRef) {
  return kQOXErrFeatureNotAvailable;
}
