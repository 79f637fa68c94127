// Designated revocation keys: direct-key signatures (class 0x1F) a key
// makes on itself, each naming one revoker.
#include <vector>

#include "foundation/core/sig_spec.h"
#include "foundation/rpc_client_services.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_certify.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_lookup.h"
#include "keydb/key_manage_support.h"
#include "keydb/key_options.h"
#include "keydb/key_set.h"
#include "keydb/obj_accessors.h"
#include "keydb/self_sig.h"

QOXError qoxAddKeyOptions_internal(QOXKeyDBObj* key, const uint8_t* records, size_t recordCount,
                                   const QOXPassphraseArgs& pass) {
  if (!qoxKeyIsValid(key) || (records == nullptr && recordCount != 0)) return kQOXErrBadParams;
  if (QOXError err = qoxKeyUsableForChange(key); err != kQOXErrNoErr) return err;
  for (size_t i = 0; i < recordCount; ++i) {
    QOXSigSpec* spec = nullptr;
    if (QOXError err = qoxPrepareSigner(key, kQOXSigType_DirectKey, pass, &spec); err != kQOXErrNoErr) return err;
    QOXError err = qoxSigSpecSetRevocationKey(spec, 0, records + i * kQOXRevocationKeyLength, kQOXRevocationKeyLength);
    if (err == kQOXErrNoErr) err = qoxSigSpecSetRevocable(spec, 0, 0);
    if (err != kQOXErrNoErr) {
      qoxSigSpecDestroy(spec);
      return err;
    }
    if (QOXError e = sCertifyObject(spec, key); e != kQOXErrNoErr) return e;
  }
  return kQOXErrNoErr;
}

QOXError qoxAddKeyOptionsInternal(QOXKeyDBObj* key, QOXOptionListRef optionList) {
  QOXPassphraseArgs pass;
  if (QOXError err = qoxReadPassphraseOptions(optionList, kQOXKeyOptionsSet, kQOXKeyOptionsSetCount, &pass);
      err != kQOXErrNoErr)
    return err;
  unsigned char found = 0;
  void* setPointer = nullptr;
  uint32_t revokerClass = 0;
  if (QOXError err = qoxFindOptionArgs(optionList, kQOXOptionType_RevocationKeySet, true, "%b%p%d", &found,
                                       &setPointer, &revokerClass);
      err != kQOXErrNoErr)
    return err;
  auto* set = static_cast<QOXKeySet*>(setPointer);
  if (!qoxKeyIsValid(key) || !qoxKeySetIsValid(set)) return kQOXErrBadParams;
  // Each revoker as its subpacket's record: class, algorithm, fingerprint.
  std::vector<uint8_t> records;
  for (QOXKeyDBObj* k = set->keyDB->firstKey; k != nullptr; k = k->next) {
    if (!qoxKeyDBObjIsReal(k) || !qoxKeySetIsMember(k, set)) continue;
    const KeyInfo* info = qoxKeyToKeyInfo(k);
    if (info == nullptr) return kQOXErrOutOfMemory;
    uint8_t record[kQOXRevocationKeyLength];
    record[0] = static_cast<uint8_t>(revokerClass);
    record[1] = info->algorithm;
    if (int err = qoxKeyFingerprint20(k, record + 2); err < 0) return err;
    records.insert(records.end(), record, record + sizeof record);
  }
  const size_t count = records.size() / kQOXRevocationKeyLength;
  QOXError err = kQOXErrNoErr;
  if (qoxFrontEndKey(key)) {
    err = qoxAddKeyOptions_back(QOXPeekKeyDBObjContext(key), qoxKeyDBObjID(key), records.data(), count, pass);
    // What was signed before a failure stays, so the front end is refreshed
    // either way.
    qoxKeyDBObjRefresh(key, true);
    qoxKeyDBChanged(qoxObjKeyDB(key), true);
  } else {
    err = qoxAddKeyOptions_internal(key, records.data(), count, pass);
  }
  if (err != kQOXErrNoErr) return err;
  return qoxRecalculateTrust(key);
}

// Through the RPC client while the service link is on, else the worker on
// the back-end key the ID names.
QOXError qoxAddKeyOptions_back(QOXContext* context, uintptr_t key, const uint8_t* records, size_t recordCount,
                               const QOXPassphraseArgs& pass) {
  if (const QOXRPCClientServices& rpc = qoxRPCClientServices(); rpc.qoxRPCEnabled())
    return rpc.qoxAddKeyOptions_backRPC(context, key, records, recordCount, pass.bytes, pass.length, pass.hashed,
                                         pass.cacheTimeOut, pass.cacheGlobally);
  auto* object = reinterpret_cast<QOXKeyDBObj*>(key);
  if (!qoxKeyDBObjIsValid(object)) return kQOXErrBadParams;
  return qoxAddKeyOptions_internal(object, records, recordCount, pass);
}
