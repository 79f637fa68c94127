// Signed key deletes and disables: a key entry with its user-ID children,
// and the removal of a key from the pending area once it is active.
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "backend/entry_cache.h"
#include "backend/entry_tables.h"
#include "backend/idl.h"
#include "backend/ldbm_ops.h"
#include "backend/ldbm_storage.h"
#include "server/key_submission_services.h"
#include "server/access_rules.h"
#include "server/connection.h"
#include "server/dn.h"
#include "server/error_log.h"
#include "server/ldap_service_calls.h"
#include "server/support/zovurez.h"

namespace {

constexpr uint32_t kTraceKeys = kTraceDetail;
constexpr const char* kDisabledType = "qoxdisabled";

int ConnNumber(Operation* op) { return op != nullptr ? op->connNumber : 0; }

void GiveBack(Backend* be, Entry* e) { cache_return_entry(&LdbmState(be)->entryCache, e); }

// The children table key of a parent ID, with its NUL.
struct ChildrenKey {
  char text[16];
  Datum datum;
  explicit ChildrenKey(ID parent) {
    int n = snprintf(text, sizeof text, "=%d", static_cast<int32_t>(parent));
    datum = ldbm_datum_of(text, static_cast<uint32_t>(n + 1));
  }
};

// The replication record of a key delete or disable: the request entry's
// first attribute is written under the name "qoxrequest".
void LogRequest(Backend* be, Connection* conn, Entry* request) {
  if (request == nullptr || request->e_attrs == nullptr) return;
  Attribute* first = request->e_attrs;
  char* saved = first->a_type;
  char name[] = "qoxrequest";
  first->a_type = name;
  vuzizKeySubmissionServices().qoxRepLog(be, conn, kLdapAddRequest, kVirtualRepDN, request, 1);
  first->a_type = saved;
}

// Finds the key entry and checks access, children and abandon. 0 with the
// entry held and its children listed, or the LDAP result.
int PrepareKey(Backend* be, Connection* conn, Operation* op, const char* dn, const char* who, Entry** key, ID** ids,
               int* count) {
  char* matched = nullptr;
  *key = dn2entry(be, dn, &matched);
  zovurezFree(matched);
  if (*key == nullptr) {
    vuzizTrace(kTraceKeys, "[% 4.4d] %s: Entry not found.\n", ConnNumber(op), who);
    return kLdapNoSuchObject;
  }
  if (access_allowed(be, conn, op, *key, "entry", nullptr, op != nullptr ? op->boundDN : nullptr, kAccessDelete) ==
      0) {
    vuzizTrace(kTraceKeys, "[% 4.4d] %s: Insufficient access to delete key\n", ConnNumber(op), who);
    GiveBack(be, *key);
    return kLdapInsufficientAccess;
  }
  int rc = GetKeysChildren(be, *key, ids, count);
  if (rc != 0) {
    vuzizTrace(kTraceKeys, "[% 4.4d] %s: Getting children failed, rc = %d.\n", ConnNumber(op), who, rc);
    GiveBack(be, *key);
    return kLdapOperationsError;
  }
  if (ldbm_op_abandoned(op) != 0) {
    zovurezFree(*ids);
    *ids = nullptr;
    GiveBack(be, *key);
    return kLdapUserCancelled;
  }
  return 0;
}

}  // namespace

int GetKeysChildren(Backend* be, Entry* e, ID** ids, int* count) {
  *ids = nullptr;
  *count = 0;
  DbSlotHolder db(be, ldbm_cache_open(be, "id2children", ".dbb", ldbm_open_flags(be)));
  if (db.get() == nullptr) return 1;
  ChildrenKey key(e->e_id);
  ostrak::UniquePtr<IdList> list(idl_fetch(be, db.get(), key.datum));
  if (list == nullptr) return 0;
  int capacity = 20;
  ZovurezPtr<ID> out(static_cast<ID*>(zovurezMalloc(capacity * sizeof(ID))));
  if (out == nullptr) return 1;
  int n = 0;
  for (ID id = idl_firstid(list.get()); id != NOID; id = idl_nextid(list.get(), id)) {
    if (n == capacity) {
      capacity *= 2;
      auto* grown = static_cast<ID*>(zovurezRealloc(out.get(), capacity * sizeof(ID)));
      if (grown == nullptr) return 1;
      (void)out.release();  // moved into grown
      out.reset(grown);
    }
    out.get()[n++] = id;
  }
  *ids = out.release();
  *count = n;
  return 0;
}

int DeleteKey(Backend* be, Connection* conn, Operation* op, Entry* request, const char* dn) {
  Entry* key = nullptr;
  ID* ids = nullptr;
  int count = 0;
  int rc = PrepareKey(be, conn, op, dn, "DeleteKey", &key, &ids, &count);
  if (rc != 0) return rc;
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    Entry* child = id2entry(be, ids[i]);
    if (child == nullptr) continue;
    int result = kLdapSuccess;
    char* matched = nullptr;
    if (ldbm_QOX_back_delete(be, conn, op, child->e_dn, child, &result, &matched) != 0) {
      vuzizTrace(kTraceKeys, "[% 4.4d] DeleteKey: qoxUserID object not deleted, rc = %d\n", ConnNumber(op), result);
      ++failures;
    }
    zovurezFree(matched);
  }
  zovurezFree(ids);
  if (failures > 0) {
    vuzizTrace(kTraceKeys, "[% 4.4d] DeleteKey: Deleting all children failed.\n", ConnNumber(op));
    GiveBack(be, key);
    return kLdapNotAllowedOnNonLeaf;
  }
  if (id2children_delete_all(be, key) != 0)
    vuzizTrace(kTraceKeys, "[% 4.4d] DeleteKey: The children record could not be deleted.\n", ConnNumber(op));
  int result = kLdapSuccess;
  char* matched = nullptr;
  std::string keyDN(key->e_dn != nullptr ? key->e_dn : dn);
  if (ldbm_QOX_back_delete(be, conn, op, keyDN.c_str(), key, &result, &matched) != 0) {
    zovurezFree(matched);
    vuzizTrace(kTraceKeys, "[% 4.4d] DeleteKey: The key could not be deleted, rc = %d\n", ConnNumber(op), result);
    return -1;
  }
  // The record goes out only once the key is really gone.
  LogRequest(be, conn, request);
  return 0;
}

int SetDisableFlag(Backend* be, Connection* conn, Operation* op, Entry* e, char flag) {
  char byte[2] = {flag, '\0'};
  BerValue value{1, byte};
  BerValue* values[2] = {&value, nullptr};
  Attribute* a = attr_find(e->e_attrs, kDisabledType);
  if (a != nullptr && a->a_vals != nullptr && a->a_vals[0] != nullptr && a->a_vals[0]->bv_len == 1 &&
      a->a_vals[0]->bv_val[0] == flag) {
    GiveBack(be, e);
    return kLdapNoSuchObject;
  }
  Modification mod{};
  mod.mod_op = (a != nullptr ? kModReplace : kModAdd) | kModBValues;
  mod.mod_type = const_cast<char*>(kDisabledType);
  mod.mod_bvalues = values;
  int result = kLdapSuccess;
  char* matched = nullptr;
  int rc = ldbm_QOX_back_modify(be, conn, op, nullptr, e, &mod, &result, &matched);
  zovurezFree(matched);
  ldbm_cache_flush_and_close_all(be);
  if (rc != 0 && result == 0) result = kLdapUserCancelled;  // abandoned midway
  return result;
}

int DisableKey(Backend* be, Connection* conn, Operation* op, Entry* request, const char* dn) {
  Entry* key = nullptr;
  ID* idsRaw = nullptr;
  int count = 0;
  int rc = PrepareKey(be, conn, op, dn, "DisableKey", &key, &idsRaw, &count);
  if (rc != 0) return rc;
  ZovurezPtr<ID> owned(idsRaw);
  const ID* ids = owned.get();
  ID keyID = key->e_id;
  rc = SetDisableFlag(be, conn, op, key, '1');  // gives the key back
  if (rc != 0) {
    if (rc == kLdapNoSuchObject) {
      vuzizTrace(kTraceKeys, "[% 4.4d] DisableKey: Entry already disabled.\n", ConnNumber(op));
    } else {
      vuzizTrace(kTraceKeys, "[% 4.4d] DisableKey: Disabling the key failed.\n", ConnNumber(op));
    }
    return rc;
  }
  int done = 0;
  bool alreadyDisabled = false;
  bool unreadable = false;
  for (; done < count; ++done) {
    Entry* child = id2entry(be, ids[done]);
    if (child == nullptr) {
      unreadable = true;
      break;
    }
    if (SetDisableFlag(be, conn, op, child, '1') == kLdapNoSuchObject) {
      alreadyDisabled = true;
      break;
    }
  }
  if (!alreadyDisabled && !unreadable) {
    LogRequest(be, conn, request);
    return 0;
  }
  // Set back what this call changed: the children before the one that
  // stopped the loop, and, when a child could not be read, the key too.
  for (int i = 0; i < done; ++i) {
    if (Entry* child = id2entry(be, ids[i]); child != nullptr) SetDisableFlag(be, conn, op, child, '0');
  }
  if (alreadyDisabled) return kLdapNoSuchObject;
  if (Entry* again = id2entry(be, keyID); again != nullptr) SetDisableFlag(be, conn, op, again, '0');
  vuzizTrace(kTraceKeys, "[% 4.4d] DisableKey: Disabling the key failed.\n", ConnNumber(op));
  return kLdapOperationsError;
}

namespace {

// Gives newEntry the reconstruction attributes of the pending copy when
// the pending copy has all three and newEntry lacks one.
void CarryReconAttributes(Entry* pending, Entry* newEntry) {
  static const char* const kRecon[] = {"qoxrecondata", "qoxreconprompts", "qoxreconhashrepetitions"};
  if (newEntry == nullptr) return;
  bool newHasAll = true;
  bool pendingHasAll = true;
  for (const char* type : kRecon) {
    newHasAll = newHasAll && attr_find(newEntry->e_attrs, type) != nullptr;
    Attribute* a = attr_find(pending->e_attrs, type);
    pendingHasAll = pendingHasAll && a != nullptr && a->a_vals != nullptr && a->a_vals[0] != nullptr;
  }
  if (newHasAll || !pendingHasAll) return;
  for (const char* type : kRecon) {
    BerValue* first[2] = {attr_find(pending->e_attrs, type)->a_vals[0], nullptr};
    attr_merge(newEntry, type, first);
  }
}

}  // namespace

int ldbm_back_copy_recon_from_pending(Backend* be, const char* certID, Entry* newEntry) {
  char* dn = nullptr;
  if (CreateKeyDN("QOXCERTID=", certID, kPendingBaseDN, &dn) != 0) return 1;
  char* matched = nullptr;
  Entry* pending = dn2entry(be, dn, &matched);
  zovurezFree(matched);
  zovurezFree(dn);
  if (pending == nullptr) return 0;
  CarryReconAttributes(pending, newEntry);
  cache_return_entry(&LdbmState(be)->entryCache, pending);
  return 0;
}

int ldbm_back_delete_from_pending(Backend* be, const char* certID, Entry* newEntry, int copyRecon) {
  EntryCache* cache = &LdbmState(be)->entryCache;
  char* matched = nullptr;
  Entry* bucket = dn2entry(be, kPendingBaseDN, &matched);
  zovurezFree(matched);
  if (bucket == nullptr) {
    LogError(kLogWarning, "Could not access pending bucket!\n");
    return 1;
  }
  CacheHold giveBucket(cache, bucket);
  if (has_children(be, bucket) == 0) return 0;
  char* dn = nullptr;
  QOXError err = CreateKeyDN("QOXCERTID=", certID, kPendingBaseDN, &dn);
  if (err != 0) {
    LogError(kLogError, "Error creating dn (%d).\n", err);
    return 1;
  }
  std::string keyDN(dn);
  zovurezFree(dn);
  ID id = dn2id(be, keyDN.c_str());
  if (id == NOID) return 0;
  Entry* pending = id2entry(be, id);
  if (pending == nullptr) {
    // The DN names an entry that is gone (left by an older removal that
    // kept the DN and children records): drop those records.
    Entry stale{};
    stale.e_id = id;
    // Best effort: a record that cannot be dropped now stays as stale as it was.
    (void)id2children_remove(be, bucket, &stale);
    (void)dn2id_delete(be, keyDN.data());
    return 0;
  }
  if (copyRecon != 0) CarryReconAttributes(pending, newEntry);
  std::string pendingDN(pending->e_dn != nullptr ? pending->e_dn : keyDN);
  bool removed = id2children_remove(be, bucket, pending) == 0;
  removed = dn2id_delete(be, pendingDN.data()) == 0 && removed;
  removed = id2entry_delete(be, pending) == 0 && removed;
  cache_return_entry(cache, pending);
  if (removed) {
    LogError(kLogVerbose, "Key successfully deleted from pending bucket!\n");
  } else {
    LogError(kLogWarning, "Unable to delete key from pending bucket!\n");
  }
  return 0;
}
