// The leaf delete and the backend's Delete entry point: an entry without
// children leaves its parent's children list, the DN table, the entry table
// and the cache.
#include <cstring>
#include <string>

#include "backend/entry_cache.h"
#include "backend/entry_tables.h"
#include "backend/ldbm_ops.h"
#include "server/access_rules.h"
#include "server/connection.h"
#include "server/dn.h"
#include "server/error_log.h"
#include "server/ldap_service_calls.h"
#include "server/result.h"
#include "server/support/zovurez.h"

namespace {

const char* BoundDN(Operation* op) { return op != nullptr ? op->boundDN : nullptr; }

// Removes a held entry whose parent is held too. 0, or 1 on the first
// failing table.
int RemoveEntry(Backend* be, Entry* parent, Entry* e) {
  if (id2children_remove(be, parent, e) != 0) return 1;
  std::string dn(e->e_dn != nullptr ? e->e_dn : "");
  if (dn2id_delete(be, dn.data()) != 0) return 1;
  if (id2entry_delete(be, e) != 0) return 1;
  return 0;
}

// The shared steps. strict: the Delete entry point's checks (level all on
// the entry and on the parent's children).
int DeleteLeaf(Backend* be, Connection* conn, Operation* op, const char* dn, Entry* e, bool strict, int* result,
               char** matched) {
  EntryCache* cache = &LdbmState(be)->entryCache;
  *result = kLdapSuccess;
  *matched = nullptr;
  if (e == nullptr) {
    e = dn2entry(be, dn, matched);
    if (e == nullptr) {
      *result = kLdapNoSuchObject;
      return -1;
    }
  }
  Entry* parent = nullptr;
  char* parentDN = nullptr;
  int rc = -1;
  if (has_children(be, e) != 0) {
    *result = kLdapNotAllowedOnNonLeaf;
  } else if (access_allowed(be, conn, op, e, "entry", nullptr, BoundDN(op), strict ? kAccessAll : kAccessDelete) ==
             0) {
    *result = kLdapInsufficientAccess;
  } else if ((parentDN = dn_parent(e->e_dn, kKeySpaceDN)) == nullptr) {
    *result = kLdapInsufficientAccess;  // the backend has no root DN
  } else {
    char* parentMatched = nullptr;
    parent = dn2entry(be, parentDN, &parentMatched);
    zovurezFree(parentMatched);
    if (parent == nullptr) {
      vuzizTrace(kTraceDetail, "[% 4.4d] <=- ldbm_back_delete: parent does not exist\n",
                 op != nullptr ? op->connNumber : 0);
      *result = kLdapOperationsError;
    } else if (strict &&
               access_allowed(be, conn, op, parent, "children", nullptr, BoundDN(op), kAccessAll) == 0) {
      *result = kLdapInsufficientAccess;
    } else if (RemoveEntry(be, parent, e) != 0) {
      *result = kLdapOperationsError;
    } else {
      rc = 0;
    }
  }
  zovurezFree(parentDN);
  if (parent != nullptr) cache_return_entry(cache, parent);
  cache_return_entry(cache, e);
  return rc;
}

}  // namespace

int ldbm_QOX_back_delete(Backend* be, Connection* conn, Operation* op, const char* dn, Entry* e, int* result,
                         char** matched) {
  return DeleteLeaf(be, conn, op, dn, e, false, result, matched);
}

int ldbm_back_delete(Backend* be, Connection* conn, Operation* op, const char* dn) {
  int result = kLdapSuccess;
  char* matched = nullptr;
  int rc = DeleteLeaf(be, conn, op, dn, nullptr, true, &result, &matched);
  send_ldap_result(conn, op, result, result == kLdapNoSuchObject && matched != nullptr ? matched : "", "");
  zovurezFree(matched);
  return rc;
}
