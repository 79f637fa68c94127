// Compare: whether an entry's attribute holds a value.
#include "backend/entry_cache.h"
#include "backend/entry_tables.h"
#include "backend/ldbm_ops.h"
#include "server/access_rules.h"
#include "server/connection.h"
#include "server/ldap_service_calls.h"
#include "server/result.h"
#include "server/support/zovurez.h"

int ldbm_back_compare(Backend* be, Connection* conn, Operation* op, const char* dn, Ava* ava) {
  char* matched = nullptr;
  Entry* e = dn2entry(be, dn, &matched);
  if (e == nullptr) {
    send_ldap_result(conn, op, kLdapNoSuchObject, matched != nullptr ? matched : "", "");
    zovurezFree(matched);
    return 1;
  }
  BerValue value{ava->length, ava->value};
  int rc = 1;
  if (access_allowed(be, conn, op, e, ava->type, &value, op != nullptr ? op->boundDN : nullptr, kAccessCompare) ==
      0) {
    send_ldap_result(conn, op, kLdapInsufficientAccess, nullptr, "");
  } else if (Attribute* a = attr_find(e->e_attrs, ava->type); a == nullptr) {
    send_ldap_result(conn, op, kLdapNoSuchAttribute, nullptr, "");
  } else {
    bool equal = berValueFind(a->a_vals, &value, a->a_syntax, kNormalizeA | kNormalizeB) == 0;
    send_ldap_result(conn, op, equal ? kLdapCompareTrue : kLdapCompareFalse, nullptr, "");
    rc = 0;
  }
  cache_return_entry(&LdbmState(be)->entryCache, e);
  return rc;
}
