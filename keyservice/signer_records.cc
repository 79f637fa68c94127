// Signer records: the signatures of one user ID read through their
// properties. Non-exportable signatures are deleted after the walk, so the
// iterator never stands on a deleted object.
#include "keyservice/signer_records.h"

#include <cstdio>
#include <cstring>

#include "foundation/hex.h"
#include "foundation/keydb_services.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_accessors.h"
#include "keydb/key_iter.h"
#include "keydb/key_id.h"
#include "keydb/obj_properties.h"
#include "server/error_log.h"

namespace {

constexpr int32_t Prop(KeyDBObjProperty p) { return static_cast<int32_t>(p); }

QOXError LogLibrary(const char* format, QOXError err) {
  char text[256];
  QOXGetErrorString(err, sizeof text, text);
  LogError(kLogError, format, text);
  return err;
}

}  // namespace

bool FormatKeyID16(const QOXKeyID& keyID, char out[16]) {
  if (!qoxKeyIDIsValid(&keyID) || qoxKeyIDLength(&keyID) != 8) return false;
  char text[17];
  qoxBytesToHex(qoxGetKeyIDBytes(&keyID), 8, 0, text);
  std::memcpy(out, text, 16);
  return true;
}

QOXError GetSignerID(QOXKeyDBObj* sig, QOXKeyID* keyID) {
  size_t size = 0;
  return QOXGetKeyDBObjDataProperty(sig, Prop(KeyDBObjProperty::SigKeyID), keyID, sizeof *keyID, &size);
}

QOXError GetSigIDsOfUserID(QOXKeyIter* iter, bool check, bool strict, std::vector<SignerRecord>* records) {
  records->clear();
  std::vector<QOXKeyDBObj*> unexportable;
  QOXError err = QOXKeyIterRewind(iter, kQOXKeyIterKind_Sig);
  QOXKeyDBObj* sig = nullptr;
  while (err == kQOXErrNoErr) {
    err = QOXKeyIterNextKeyDBObj(iter, kQOXKeyIterKind_Sig, &sig);
    if (err == kQOXErrEndOfIteration) {
      err = kQOXErrNoErr;
      break;
    }
    if (err != kQOXErrNoErr) break;
    bool hasRevocation = false, expired = false;
    err = QOXGetKeyDBObjBooleanProperty(sig, Prop(KeyDBObjProperty::SigHasRevocation), &hasRevocation);
    if (err == kQOXErrNoErr)
      err = QOXGetKeyDBObjBooleanProperty(sig, Prop(KeyDBObjProperty::SigIsExpired), &expired);
    bool tried = false, verified = false, intact = false, revoked = false;
    if (err == kQOXErrNoErr && check) {
      err = QOXGetKeyDBObjBooleanProperty(sig, Prop(KeyDBObjProperty::SigIsTried), &tried);
      if (err == kQOXErrNoErr) err = QOXGetKeyDBObjBooleanProperty(sig, Prop(KeyDBObjProperty::SigIsVerified), &verified);
      if (err == kQOXErrNoErr) err = QOXGetKeyDBObjBooleanProperty(sig, Prop(KeyDBObjProperty::SigIsIntact), &intact);
      if (err == kQOXErrNoErr) err = QOXGetKeyDBObjBooleanProperty(sig, Prop(KeyDBObjProperty::SigIsRevoked), &revoked);
    }
    if (err != kQOXErrNoErr) {
      LogLibrary("Getting property of certificate failed.  Library error: %s.", err);
      break;
    }
    if (check) {
      if (!intact) {
        LogError(kLogInfo, "Corrupt signature on certificate.");
        err = kQOXErrKeyValidityLowOrNone;
        break;
      }
      if (tried && !verified) LogError(kLogWarning, "Unverified sig on certificate.\n");
      if (tried && verified && !revoked && hasRevocation) {
        LogError(kLogInfo, "Invalid rev sig on certificate.");
        err = kQOXErrKeyValidityLowOrNone;
        break;
      }
      if (strict && (!(tried && verified) || expired)) continue;
    }
    bool exportable = false;
    err = QOXGetKeyDBObjBooleanProperty(sig, Prop(KeyDBObjProperty::SigIsExportable), &exportable);
    if (err != kQOXErrNoErr) {
      LogLibrary("Getting property of certificate failed.  Library error: %s.", err);
      break;
    }
    if (!exportable) {
      unexportable.push_back(sig);
      continue;
    }
    QOXKeyID signer{};
    SignerRecord record{};
    err = GetSignerID(sig, &signer);
    if (err != kQOXErrNoErr || !FormatKeyID16(signer, record.keyID)) {
      LogLibrary("Getting signer ID failed.  Library error: %s.", err != kQOXErrNoErr ? err : kQOXErrBadParams);
      if (err == kQOXErrNoErr) err = kQOXErrBadParams;
      break;
    }
    record.marker = hasRevocation ? '-' : expired ? 'x' : '+';
    records->push_back(record);
  }
  for (QOXKeyDBObj* s : unexportable) {
    QOXError del = QOXDeleteKeyDBObj(s);
    if (del != kQOXErrNoErr) LogLibrary("Removing non-exportable signature failed.  Library error: %s.", del);
  }
  if (err != kQOXErrNoErr) records->clear();
  return err;
}
