#include "keydb/key_files.h"

#include "foundation/context.h"
#include "foundation/file_spec.h"
#include "foundation/memory_mgr.h"
#include "foundation/rpc_client_services.h"
#include "foundation/sdk_errors.h"
#include "foundation/sdk_time.h"
#include "keydb/front_end.h"
#include "keydb/key_array.h"
#include "keydb/key_db.h"
#include "keydb/key_db_back.h"
#include "keydb/key_db_obj.h"
#include "keydb/ring_files.h"
#include "keydb/self_sig.h"
#include "keydb/sig_check_services.h"

namespace {

constexpr uint8_t kKeyRevocation = 0x20;

// A real key that is not marked revoked and carries a real key revocation
// that was never tried.
bool HasUntriedRevocation(QOXKeyDB* db) {
  for (QOXKeyDBObj* key = db->firstKey; key != nullptr; key = key->next) {
    if (!qoxKeyDBObjIsReal(key)) continue;
    const KeyInfo* k = qoxKeyToKeyInfo(key);
    if (k == nullptr || (k->keyTrust & kQOXKeyTrust_Revoked) != 0) continue;
    for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
      if (!qoxKeyDBObjIsReal(c) || qoxObjectType(c) != kQOXKeyDBObjType_Sig) continue;
      const SigInfo* s = qoxSigToSigInfo(c);
      if (s != nullptr && s->type == kKeyRevocation && (s->trustByte & kQOXSigTrust_Tried) == 0) return true;
    }
  }
  return false;
}

}  // namespace

QOXError qoxOpenKeyDBFile_internal(QOXContext* context, uint32_t openFlags, const PFLFileSpec* publicSpec,
                                   const PFLFileSpec* privateSpec, QOXKeyDB** outKeyDB) {
  *outKeyDB = nullptr;
  PFLFileInfo info{};
  const QOXTime written = PFLGetFileInfo(publicSpec, &info) == kQOXErrNoErr ? info.modificationTime : 0;
  QOXError err = kQOXErrNoErr;
  QOXKeyDB* db = qoxCreateKeyDBFromKeyRings(context, publicSpec, privateSpec, openFlags, &err);
  if (db == nullptr) return err;
  // The database is a back end here: the public checks reduce to their
  // in-process bodies.
  const QOXSigCheckServices& checks = qoxSigCheckServices();
  const bool check = HasUntriedRevocation(db);
  if (check) err = checks.qoxCheckKeyRingSigs_internal(db->rootSet, nullptr, false, nullptr);
  const QOXTime now = QOXGetTime();
  if (err == kQOXErrNoErr && (check || qoxKeyDBHasExpiringObjects(db, written, now)))
    err = checks.qoxPropagateTrustInternal(db->rootSet, nullptr, now, nullptr);
  if (err != kQOXErrNoErr) {
    (void)qoxKeyDBDestroy_internal(db);
    return err;
  }
  *outKeyDB = db;
  return kQOXErrNoErr;
}

QOXError QOXOpenKeyDBFile(QOXContext* context, uint32_t openFlags, const PFLFileSpec* publicSpec,
                          const PFLFileSpec* privateSpec, QOXKeyDB** outKeyDB) {
  if (outKeyDB == nullptr) return kQOXErrBadParams;
  *outKeyDB = nullptr;
  if (!qoxContextIsValid(context) || !pflFileSpecIsValid(publicSpec) ||
      (privateSpec != nullptr && !pflFileSpecIsValid(privateSpec)))
    return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  if (!qoxRPCClientServices().qoxRPCEnabled())
    return qoxOpenKeyDBFile_internal(context, openFlags, publicSpec, privateSpec, outKeyDB);
  uintptr_t backendID = 0;
  uint32_t keyCount = 0;
  KeyArrayWord* array = nullptr;
  size_t arrayLength = 0;
  QOXError err =
      qoxOpenKeyDBFile_back(context, openFlags, publicSpec, privateSpec, &backendID, &keyCount, &array, &arrayLength);
  // The front end takes over the back end, also when it cannot be made.
  if (err == kQOXErrNoErr) err = qoxNewFrontEndKeyDB(context, backendID, array, arrayLength, keyCount, outKeyDB);
  if (array != nullptr) QOXFreeData(array);
  return err;
}
