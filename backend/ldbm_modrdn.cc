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

namespace {

// The rename: the LDAP result with the matched DN and the text to send, or
// -1 when the operation was abandoned (nothing is sent). Every entry it
// holds is given back before the caller sends the answer.
int Rename(Backend* be, Operation* op, const char* dn, const char* newRdn, ZovurezPtr<char>* matched,
           const char** text) {
  *text = nullptr;
  char* matchedText = nullptr;
  CacheHold e(be, dn2entry(be, dn, &matchedText));
  matched->reset(matchedText);
  if (e.get() == nullptr) {
    *text = "";
    return kLdapNoSuchObject;
  }
  std::string newDN = NewDN(e.get()->e_dn != nullptr ? e.get()->e_dn : dn, newRdn != nullptr ? newRdn : "");
  char* otherMatched = nullptr;
  CacheHold other(be, dn2entry(be, newDN.c_str(), &otherMatched));
  zovurezFree(otherMatched);
  if (other.get() != nullptr) return kLdapEntryAlreadyExists;
  if (ldbm_op_abandoned(op) != 0) return -1;
  if (dn2id_add(be, newDN.c_str(), e.get()->e_id) != 0) return kLdapOperationsError;
  std::string oldDN(e.get()->e_dn != nullptr ? e.get()->e_dn : "");
  if (dn2id_delete(be, oldDN.data()) != 0) return kLdapOperationsError;
  // A renamed copy replaces the cached entry, which readers may hold.
  *text = "";
  ostrak::UniquePtr<Entry> copy(ldbm_entry_dup(e.get()));
  ZovurezPtr<char> renamed(zovurezStrdup(newDN.c_str()));
  if (copy == nullptr || renamed == nullptr) return kLdapOperationsError;
  zovurezFree(copy->e_dn);
  copy->e_dn = renamed.release();
  if (ldbm_store_entry_copy(be, e.get(), copy.release()) != 0) return kLdapOperationsError;
  *text = nullptr;
  return kLdapSuccess;
}

}  // namespace

int ldbm_back_modrdn(Backend* be, Connection* conn, Operation* op, const char* dn, const char* newRdn) {
  ZovurezPtr<char> matched;
  const char* text = nullptr;
  int result = Rename(be, op, dn, newRdn, &matched, &text);
  if (result == -1) return -1;
  const char* matchedDN = nullptr;
  if (result == kLdapNoSuchObject) matchedDN = matched != nullptr ? matched.get() : "";
  send_ldap_result(conn, op, result, matchedDN, text);
  return result == kLdapSuccess ? 0 : -1;
}
