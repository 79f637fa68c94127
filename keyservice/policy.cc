// The acceptance policy over the key database's sets and iterators.
// Deletions are collected during a walk and made after it, so no iterator
// stands on a deleted object.
#include "keyservice/policy.h"

#include <strings.h>

#include <cstdio>

#include "foundation/keydb_services.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_accessors.h"
#include "keydb/key_db.h"
#include "keydb/key_id.h"
#include "keydb/key_iter.h"
#include "keydb/key_lookup.h"
#include "keydb/key_set.h"
#include "keydb/obj_properties.h"
#include "keydb/sig_check_services.h"
#include "server/connection.h"
#include "server/server_state.h"

namespace {

constexpr char kUnit[] = "vuzizPolicy";

// A failing call inside a trimming walk is logged and the walk goes on.
void NotChecked(QOXError err, int line) {
  char message[64];
  snprintf(message, sizeof message, "Not checking return value, error: (%i)", err);
  vuzizSevereError(message, kUnit, line);
}

struct IterOwner {
  QOXKeyIter* iter = nullptr;
  ~IterOwner() {
    if (iter != nullptr) QOXFreeKeyIter(iter);
  }
};

struct SetOwner {
  QOXKeySet* set = nullptr;
  ~SetOwner() {
    if (set != nullptr) QOXFreeKeySet(set);
  }
};

bool HasLines(KeyIDNode* const* groups) { return groups != nullptr && groups[0] != nullptr; }

bool Listed(KeyIDNode* const* groups, const char* digits) {
  if (groups == nullptr) return false;
  for (int i = 0; i < kMaxSigIDGroups && groups[i] != nullptr; ++i)
    for (const KeyIDNode* n = groups[i]; n != nullptr; n = n->next)
      if (strncasecmp(n->keyID, digits, 16) == 0) return true;
  return false;
}

// Checks every signature of the set not yet tried against the set's own
// database and furtherDB (may be null).
QOXError CheckUntriedSigs(QOXKeySet* set, QOXKeyDB* furtherDB) {
  IterOwner it;
  QOXError err = QOXNewKeyIterFromKeySet(set, &it.iter);
  QOXKeyDBObj* obj = nullptr;
  while (err == kQOXErrNoErr && (err = QOXKeyIterNextKeyDBObj(it.iter, kQOXKeyIterKind_Any, &obj)) == kQOXErrNoErr) {
    bool tried = true;
    if (QOXGetKeyDBObjBooleanProperty(obj, static_cast<int32_t>(KeyDBObjProperty::SigIsTried), &tried) != 0 ||
        tried)
      continue;  // not a signature, or tried already
    err = qoxSigCheckServices().qoxCheckOneSig(obj, furtherDB);
  }
  return err == kQOXErrEndOfIteration ? kQOXErrNoErr : err;
}

// An iterator standing on the set's first key.
QOXError FirstKey(QOXKeySet* set, IterOwner* it, QOXKeyDBObj** key) {
  QOXError err = QOXNewKeyIterFromKeySet(set, &it->iter);
  if (err == kQOXErrNoErr) err = QOXKeyIterNextKeyDBObj(it->iter, kQOXKeyIterKind_Key, key);
  return err;
}

}  // namespace

int VerifyMustPolicy(const std::vector<SignerRecord>& records) {
  KeyIDNode** lines = g->MustSigID;
  if (!HasLines(lines)) return 1;
  for (int i = 0; i < kMaxSigIDGroups && lines[i] != nullptr; ++i) {
    bool all = true;
    for (const KeyIDNode* n = lines[i]; n != nullptr && all; n = n->next) {
      bool found = false;
      for (const SignerRecord& r : records)
        if (strncasecmp(n->keyID, r.keyID, 16) == 0) found = true;
      all = found;
    }
    if (all) return 1;
  }
  return 0;
}

void TrimEnabled(QOXKeyDBObj* sig, bool* enabled) {
  QOXKeyID signer{};
  char digits[17] = {};  // the 16 digits and a NUL
  if (GetSignerID(sig, &signer) != kQOXErrNoErr || !FormatKeyID16(signer, digits)) return;
  if (Listed(g->MustSigID, digits) || Listed(g->AllowSigID, digits)) *enabled = false;
}

QOXError TrimSigs(QOXKeySet* set, QOXKeySet* policySet, bool* trimmed) {
  IterOwner it;
  QOXKeyDBObj* key = nullptr;
  QOXError err = FirstKey(set, &it, &key);
  if (err != kQOXErrNoErr) return err == kQOXErrEndOfIteration ? kQOXErrNoErr : err;
  QOXKeyID own{};
  if ((err = QOXGetKeyID(key, &own)) != kQOXErrNoErr) NotChecked(err, __LINE__);
  QOXKeyDB* policyDB = policySet != nullptr ? QOXPeekKeySetKeyDB(policySet) : nullptr;
  std::vector<QOXKeyDBObj*> doomed;
  QOXKeyDBObj* userID = nullptr;
  while (QOXKeyIterNextKeyDBObj(it.iter, kQOXKeyIterKind_UserID, &userID) == kQOXErrNoErr) {
    QOXKeyDBObj* sig = nullptr;
    while ((err = QOXKeyIterNextKeyDBObj(it.iter, kQOXKeyIterKind_Sig, &sig)) == kQOXErrNoErr) {
      QOXKeyID signer{};
      if ((err = GetSignerID(sig, &signer)) != kQOXErrNoErr) {
        NotChecked(err, __LINE__);
        continue;
      }
      if (QOXCompareKeyIDs(&signer, &own) == 0) continue;
      QOXKeyDBObj* policyKey = nullptr;
      if (policyDB != nullptr && QOXFindKeyByKeyID(policyDB, &signer, &policyKey) == kQOXErrNoErr) continue;
      doomed.push_back(sig);
    }
    if (err != kQOXErrEndOfIteration) NotChecked(err, __LINE__);
  }
  for (QOXKeyDBObj* sig : doomed) {
    if ((err = QOXDeleteKeyDBObj(sig)) != kQOXErrNoErr) {
      NotChecked(err, __LINE__);
      continue;
    }
    *trimmed = true;
  }
  return kQOXErrNoErr;
}

int TrimUsers(QOXKeySet* set, bool* trimmed) {
  IterOwner it;
  QOXKeyDBObj* key = nullptr;
  QOXError err = FirstKey(set, &it, &key);
  if (err != kQOXErrNoErr) {
    if (err != kQOXErrEndOfIteration) NotChecked(err, __LINE__);
    return 0;
  }
  QOXKeyID own{};
  if ((err = QOXGetKeyID(key, &own)) != kQOXErrNoErr) NotChecked(err, __LINE__);
  std::vector<QOXKeyDBObj*> doomed;
  size_t userIDs = 0;
  QOXKeyDBObj* userID = nullptr;
  while (QOXKeyIterNextKeyDBObj(it.iter, kQOXKeyIterKind_UserID, &userID) == kQOXErrNoErr) {
    ++userIDs;
    size_t count = 0;
    bool selfOnly = false;
    bool enabled = true;
    QOXKeyDBObj* sig = nullptr;
    while ((err = QOXKeyIterNextKeyDBObj(it.iter, kQOXKeyIterKind_Sig, &sig)) == kQOXErrNoErr) {
      ++count;
      TrimEnabled(sig, &enabled);
      QOXKeyID signer{};
      if ((err = GetSignerID(sig, &signer)) != kQOXErrNoErr) {
        NotChecked(err, __LINE__);
        continue;
      }
      selfOnly = QOXCompareKeyIDs(&signer, &own) == 0;
    }
    if (err != kQOXErrEndOfIteration) NotChecked(err, __LINE__);
    if (count == 0 || (count == 1 && selfOnly && enabled)) doomed.push_back(userID);
  }
  if (doomed.empty()) return 0;
  *trimmed = true;
  bool all = doomed.size() == userIDs;
  // A key keeps one user ID: when every one goes, the last stays (the key
  // is refused or held pending whole).
  if (all) doomed.pop_back();
  for (QOXKeyDBObj* u : doomed)
    if ((err = QOXDeleteKeyDBObj(u)) != kQOXErrNoErr) NotChecked(err, __LINE__);
  return all ? -1 : 0;
}

QOXError CheckPolicy(QOXKeySet* set, Connection* conn, bool* trimmed) {
  *trimmed = false;
  QOXKeyDB* policyDB = conn != nullptr ? conn->keyDBs[0] : nullptr;
  const bool verify = g->verifySignatures != 0;
  QOXError err = kQOXErrNoErr;
  if (verify) {
    err = CheckUntriedSigs(set, nullptr);
    uint32_t policyKeys = 0;
    if (err == kQOXErrNoErr && policyDB != nullptr && QOXCountKeysInKeyDB(policyDB, &policyKeys) == kQOXErrNoErr &&
        policyKeys > 0)
      err = CheckUntriedSigs(set, policyDB);
    if (err == kQOXErrNoErr) err = qoxSigCheckServices().QOXCalculateTrust(set, nullptr);
    if (err != kQOXErrNoErr) return err;
  }
  if (HasLines(g->MustSigID)) {
    IterOwner it;
    QOXKeyDBObj* key = nullptr;
    err = FirstKey(set, &it, &key);
    if (err != kQOXErrNoErr && err != kQOXErrEndOfIteration) return err;
    bool satisfied = false;
    QOXKeyDBObj* userID = nullptr;
    while (err == kQOXErrNoErr && !satisfied &&
           QOXKeyIterNextKeyDBObj(it.iter, kQOXKeyIterKind_UserID, &userID) == kQOXErrNoErr) {
      std::vector<SignerRecord> records;
      err = GetSigIDsOfUserID(it.iter, verify, verify, &records);
      if (err == kQOXErrNoErr) satisfied = VerifyMustPolicy(records) == 1;
    }
    if (err != kQOXErrNoErr && err != kQOXErrEndOfIteration) return err;
    if (!satisfied) return kQOXErrKeyValidityLowOrNone;
  }
  SetOwner policySet;
  if (policyDB != nullptr && (err = QOXNewKeySet(policyDB, &policySet.set)) != kQOXErrNoErr) return err;
  if (g->TrimSigs != 0 && (err = TrimSigs(set, policySet.set, trimmed)) != kQOXErrNoErr) return err;
  if (g->TrimUsers != 0 && TrimUsers(set, trimmed) == -1) return 2;
  return kQOXErrNoErr;
}
