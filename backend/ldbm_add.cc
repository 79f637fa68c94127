// Add: a new entry under an existing parent, or, with the merge flag, the
// new entry's attributes replacing those of the stored entry of that DN.
// The add owns the entry it is given: stored, merged or refused, the caller
// does not use it afterwards.
#include <cstring>
#include <string>

#include "backend/entry_cache.h"
#include "backend/entry_tables.h"
#include "backend/index.h"
#include "backend/ldbm_ops.h"
#include "backend/next_id.h"
#include "server/key_submission_services.h"
#include "server/access_rules.h"
#include "server/connection.h"
#include "server/dn.h"
#include "server/error_log.h"
#include "server/ldap_service_calls.h"
#include "server/support/zovurez.h"

namespace {

void WriteRepLog(Backend* be, Connection* conn, Entry* e, int request, uint8_t* logged) {
  if (logged == nullptr || *logged != 0) return;
  vuzizKeySubmissionServices().qoxRepLog(be, conn, kLdapAddRequest, kVirtualRepDN, e, request & 0xFF);
  *logged = 1;
}

// Merge: one replace element per attribute of the new entry, in reverse
// order of the entry's attributes (values shared with the entry).
int Merge(Backend* be, Connection* conn, Operation* op, Entry* existing, Entry* e, int* result, char** matched) {
  if (op != nullptr) op->type = kOpTypeAddMerged;
  Modification* mods = nullptr;
  for (Attribute* a = e->e_attrs; a != nullptr; a = a->a_next) {
    auto* m = static_cast<Modification*>(zovurezCalloc(1, sizeof(Modification)));
    if (m == nullptr) {
      for (Modification* n = mods; n != nullptr;) {
        Modification* next = n->mod_next;
        zovurezFree(n);
        n = next;
      }
      cache_return_entry(&LdbmState(be)->entryCache, existing);
      *result = kLdapOperationsError;
      return -1;
    }
    m->mod_op = kModReplace | kModBValues;
    m->mod_type = a->a_type;
    m->mod_bvalues = a->a_vals;
    m->mod_next = mods;
    mods = m;
  }
  int rc = ldbm_QOX_back_modify(be, conn, op, nullptr, existing, mods, result, matched);
  for (Modification* n = mods; n != nullptr;) {
    Modification* next = n->mod_next;
    zovurezFree(n);
    n = next;
  }
  return rc;
}

}  // namespace

int ldbm_back_add(Backend* be, Connection* conn, Operation* op, Entry* e, int merge, int request, uint8_t* logged,
                  int* result, char** matched) {
  *result = kLdapSuccess;
  *matched = nullptr;
  EntryCache* cache = &LdbmState(be)->entryCache;
  std::string dn(e->e_dn != nullptr ? e->e_dn : "");
  dn_normalize(dn.data());
  dn.resize(strlen(dn.c_str()));

  char* lookupMatched = nullptr;
  Entry* existing = dn2entry(be, dn.c_str(), &lookupMatched);
  zovurezFree(lookupMatched);
  if (existing != nullptr) {
    if (merge == 0) {
      cache_return_entry(cache, existing);
      entry_free(e);
      *result = kLdapEntryAlreadyExists;
      return -1;
    }
    int rc = Merge(be, conn, op, existing, e, result, matched);
    if (rc == 0) WriteRepLog(be, conn, e, request, logged);
    entry_free(e);
    return rc == 0 ? 0 : -1;
  }

  long id = next_id(be, 0);
  if (id < 0) {
    entry_free(e);
    *result = kLdapOperationsError;
    return -1;
  }
  e->e_id = static_cast<ID>(id);
  if (cache_add_entry_lock(cache, e, kEntryCreating) != 0) {
    next_id_return(be, id);
    entry_free(e);
    *result = kLdapNoSuchObject;
    return -1;
  }

  Entry* parent = nullptr;
  char* parentDN = dn_parent(dn.c_str(), kKeySpaceDN);
  int rc = 0;
  if (parentDN != nullptr) {
    char* parentMatched = nullptr;
    parent = dn2entry(be, parentDN, &parentMatched);
    if (parent == nullptr) {
      *result = kLdapNoSuchObject;
      *matched = parentMatched;
      rc = -2;
    } else {
      zovurezFree(parentMatched);
      if (access_allowed(be, conn, op, parent, "children", nullptr, op != nullptr ? op->boundDN : nullptr, merge != 0 ? kAccessAdd : kAccessAll) ==
          0) {
        *result = kLdapInsufficientAccess;
        rc = -2;
      }
    }
  } else {
    *result = kLdapInsufficientAccess;
    rc = -2;
  }
  if (rc == 0) {
    if (id2children_add(be, parent, e) != 0 || index_add_entry(be, e) != 0 || dn2id_add(be, dn.c_str(), e->e_id) != 0) {
      *result = kLdapOperationsError;
      rc = -2;
    } else if (id2entry_add(be, e) != 0) {
      std::string copy = dn;
      if (dn2id_delete(be, copy.data()) != 0)
        vuzizTrace(kTraceStartStop, "ldbm_add: the DN key of a failed add could not be removed\n");
      *result = kLdapOperationsError;
      rc = -2;
    }
  }
  if (rc != 0) {
    next_id_return(be, id);
    cache_delete_entry(cache, e);
    cache_return_entry(cache, e);  // frees it
  } else {
    cache_set_state(cache, e, kEntryReady);
    WriteRepLog(be, conn, e, request, logged);
    cache_return_entry(cache, e);
  }
  if (parent != nullptr) cache_return_entry(cache, parent);
  zovurezFree(parentDN);
  return rc;
}
