#include "keyservice/policy_init.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "backend/ldbm_ops.h"
#include "foundation/scoped.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/key_id.h"
#include "keydb/key_lookup.h"
#include "keydb/key_set.h"
#include "keydb/key_set_ops.h"
#include "keyservice/key_transfer.h"
#include "keyservice/signer_records.h"
#include "server/error_log.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"

namespace {

constexpr size_t kCertIDDigits = 16;

QOXError LogCode(const char* format, const char* item, QOXError err) {
  char text[256];
  QOXGetErrorString(err, sizeof text, text);
  (void)text;
  LogError(kLogError, format, item);
  return err;
}

// Copies one key of the key rings into the target database.
QOXError CopyOneKey(QOXKeyDBObj* key, QOXKeyDB* target) {
  ostrak::UniquePtr<QOXKeySet> one;
  QOXError err = QOXNewOneKeySet(key, ostrak::OutParam(one));
  if (err == kQOXErrNoErr) err = QOXCopyKeys(one.get(), target, nullptr);
  if (err != kQOXErrNoErr) {
    char text[256];
    QOXGetErrorString(err, sizeof text, text);
    LogError(kLogError, "Transfering keys failed with error %d (%s)", err, text);
  }
  return err;
}

// One configured key ID: found in the key rings (the item becomes the
// key's 16 digits) or in the active key space, and added to target when
// one is given.
QOXError ConvertItem(QOXContext* context, Backend* be, KeyIDNode* item, QOXKeyDB* target, uint32_t* count) {
  if (g->tlsKeyDB != nullptr) {
    QOXKeyID id{};
    if (QOXNewKeyIDFromString(item->keyID, kQOXKeyIDAnyAlgorithm, &id) != kQOXErrNoErr) {
      LogError(kLogError, "Invalid Key ID (%s).", item->keyID);
      return kQOXErrItemNotFound;
    }
    QOXKeyDBObj* key = nullptr;
    QOXError err = QOXFindKeyByKeyID(g->tlsKeyDB, &id, &key);
    if (err == kQOXErrNoErr) {
      QOXKeyID full{};
      char digits[kCertIDDigits + 1] = {};
      if (QOXGetKeyID(key, &full) == kQOXErrNoErr && FormatKeyID16(full, digits))
        std::snprintf(item->keyID, sizeof item->keyID, "%s", digits);
      if (target != nullptr) {
        if ((err = CopyOneKey(key, target)) != kQOXErrNoErr) return err;
        ++*count;
      }
      return kQOXErrNoErr;
    }
    if (err != kQOXErrItemNotFound) return LogCode("Cannot find trusted key (%s) in public keyring.", item->keyID, err);
    LogError(kLogWarning, "Cannot find trusted key (%s) in public keyring.  Checking Database...", item->keyID);
  }
  for (char* c = item->keyID; *c != '\0'; ++c) *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
  // KeyID2KeyBlock writes the certificate ID over a short key ID: room for
  // 16 digits after an optional "0x".
  char id[sizeof item->keyID + kCertIDDigits] = {};
  std::snprintf(id, sizeof id, "%s", item->keyID);
  if (id[0] == '0' && id[1] == 'X') id[1] = 'x';
  ZovurezPtr<uint8_t> block, blockV2;
  size_t length = 0, lengthV2 = 0;
  uint8_t disabled = 0;
  int rc = be != nullptr ? KeyID2KeyBlock(be, id, kActiveBaseDN, ostrak::OutParam(block), &length,
                                          ostrak::OutParam(blockV2), &lengthV2, &disabled)
                         : kQOXErrItemNotFound;
  if (rc != 0) {
    LogError(kLogError, "Cannot find trusted key (%s) in database.", item->keyID);
    return rc;
  }
  const uint8_t* bytes = blockV2 != nullptr ? blockV2.get() : block.get();
  size_t size = blockV2 != nullptr ? lengthV2 : length;
  if (target != nullptr) {
    QOXError err = TransferKeysFromAAKeyBlock(context, bytes, size, &target);
    if (err != kQOXErrNoErr) return err;
    ++*count;
  }
  return kQOXErrNoErr;
}

}  // namespace

QOXError ConvertKeyIDtoKeyDB(QOXContext* context, Backend* be, KeyIDNode* const* lists, int listCount,
                             QOXKeyDB** keyDB, uint32_t* count) {
  uint32_t ignored = 0;
  if (count == nullptr) count = &ignored;
  bool any = false;
  for (int i = 0; i < listCount && lists[i] != nullptr; ++i) any = true;
  if (keyDB != nullptr && *keyDB == nullptr && any) {
    if (QOXNewKeyDB(context, keyDB) != kQOXErrNoErr) {
      *keyDB = nullptr;
      LogError(kLogError, "Memory allocation error.");
      return kQOXErrOutOfMemory;
    }
    *count = 0;
  }
  for (int i = 0; i < listCount && lists[i] != nullptr; ++i) {
    for (KeyIDNode* n = lists[i]; n != nullptr; n = n->next) {
      QOXError err = ConvertItem(context, be, n, keyDB != nullptr ? *keyDB : nullptr, count);
      if (err != kQOXErrNoErr) return err;
    }
  }
  return kQOXErrNoErr;
}

QOXError InitPolicy(QOXContext* context, Backend* be) {
  QOXError err = InitKeyRingDatabase(context, be);
  if (err != kQOXErrNoErr) return err;
  uint32_t count = 0;
  err = ConvertKeyIDtoKeyDB(context, be, g->MustSigID, kMaxSigIDGroups, &g->policyKeyDBs[0], &count);
  if (err == kQOXErrNoErr)
    err = ConvertKeyIDtoKeyDB(context, be, g->AllowSigID, kMaxSigIDGroups, &g->policyKeyDBs[0], &count);
  if (err == kQOXErrNoErr) err = ConvertKeyIDtoKeyDB(context, be, &g->addKeyIDs, 1, &g->policyKeyDBs[1], nullptr);
  if (err == kQOXErrNoErr)
    err = ConvertKeyIDtoKeyDB(context, be, &g->deleteKeyIDs, 1, &g->policyKeyDBs[2], nullptr);
  if (err == kQOXErrNoErr) err = ConvertKeyIDtoKeyDB(context, be, &g->adminKeyIDs, 1, nullptr, nullptr);
  return err;
}
