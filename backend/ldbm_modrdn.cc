// Modify-RDN: a new DN for an entry, its attributes, indexes and children
// left as they are.
#include <cstring>
#include <string>

#include "backend/entry_cache.h"
#include "backend/entry_tables.h"
#include "backend/ldbm_ops.h"
#include "server/dn.h"
#include "server/result.h"
#include "server/support/zovurez.h"

namespace {

std::string NewDN(const char* oldDN, const char* newRdn) {
  char* parent = dn_parent(oldDN, kKeySpaceDN);
  std::string dn;
  if (parent == nullptr) {
    dn = newRdn;
  } else if (strchr(oldDN, '=') != nullptr) {
    dn = std::string(newRdn) + ", " + parent;
  } else {
    dn = newRdn;
    size_t n = strlen(newRdn);
    if (n == 0 || (newRdn[n - 1] != '.' && newRdn[n - 1] != '@')) {
      const char* sep = strpbrk(oldDN, ".@");
      if (sep != nullptr) dn.push_back(*sep);
    }
    dn += parent;
  }
  zovurezFree(parent);
  dn.push_back('\0');
  dn_normalize(dn.data());
  dn.resize(strlen(dn.c_str()));
  return dn;
}

}  // namespace

int ldbm_back_modrdn(Backend* be, Connection* conn, Operation* op, const char* dn, const char* newRdn) {
  EntryCache* cache = &LdbmState(be)->entryCache;
  char* matched = nullptr;
  Entry* e = dn2entry(be, dn, &matched);
  if (e == nullptr) {
    send_ldap_result(conn, op, kLdapNoSuchObject, matched != nullptr ? matched : "", "");
    zovurezFree(matched);
    return -1;
  }
  std::string newDN = NewDN(e->e_dn != nullptr ? e->e_dn : dn, newRdn != nullptr ? newRdn : "");
  if (Entry* other = dn2entry(be, newDN.c_str(), &matched); other != nullptr) {
    zovurezFree(matched);
    cache_return_entry(cache, other);
    cache_return_entry(cache, e);
    send_ldap_result(conn, op, kLdapEntryAlreadyExists, nullptr, nullptr);
    return -1;
  }
  zovurezFree(matched);
  if (ldbm_op_abandoned(op) != 0) {
    cache_return_entry(cache, e);
    return -1;
  }
  if (dn2id_add(be, newDN.c_str(), e->e_id) != 0) {
    cache_return_entry(cache, e);
    send_ldap_result(conn, op, kLdapOperationsError, nullptr, nullptr);
    return -1;
  }
  std::string oldDN(e->e_dn != nullptr ? e->e_dn : "");
  if (dn2id_delete(be, oldDN.data()) != 0) {
    cache_return_entry(cache, e);
    send_ldap_result(conn, op, kLdapOperationsError, nullptr, nullptr);
    return -1;
  }
  // A renamed copy replaces the cached entry, which readers may hold.
  Entry* copy = ldbm_entry_dup(e);
  char* renamed = zovurezStrdup(newDN.c_str());
  if (copy == nullptr || renamed == nullptr) {
    if (copy != nullptr) entry_free(copy);
    zovurezFree(renamed);
    cache_return_entry(cache, e);
    send_ldap_result(conn, op, kLdapOperationsError, nullptr, "");
    return -1;
  }
  zovurezFree(copy->e_dn);
  copy->e_dn = renamed;
  int rc = ldbm_store_entry_copy(be, e, copy);
  cache_return_entry(cache, e);
  if (rc != 0) {
    send_ldap_result(conn, op, kLdapOperationsError, nullptr, "");
    return -1;
  }
  send_ldap_result(conn, op, kLdapSuccess, nullptr, nullptr);
  return 0;
}
