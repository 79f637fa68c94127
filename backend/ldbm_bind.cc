// Bind: simple authentication against an entry's user password, its key
// reconstruction data, or the configured administrator name and password.
#include <cstring>

#include "backend/entry_cache.h"
#include "backend/entry_tables.h"
#include "backend/ldbm_ops.h"
#include "server/key_submission_services.h"
#include "server/access_control.h"
#include "server/key_submission_services.h"
#include "server/connection.h"
#include "server/result.h"
#include "server/support/zovurez.h"

namespace {

// The credentials as a C string (they may lack a terminator).
struct Password {
  char* text = nullptr;
  explicit Password(const BerValue* v) {
    text = static_cast<char*>(zovurezMalloc(v->bv_len + 1));
    if (text != nullptr) {
      if (v->bv_len > 0) memcpy(text, v->bv_val, v->bv_len);
      text[v->bv_len] = '\0';
    }
  }
  ~Password() {
    if (text != nullptr) {
      memset(text, 0, strlen(text));
      zovurezFree(text);
    }
  }
  Password(const Password&) = delete;
  Password& operator=(const Password&) = delete;
};

bool AdminMatches(Connection* conn, const char* dn, const char* password) {
  if (g == nullptr || password == nullptr) return false;
  return isValidAdminUserPass(conn != nullptr ? conn->context : nullptr, g->AdminUsername, g->AdminPassword, dn,
                              password) == 1;
}

// Passwords are compared byte for byte, whatever the attribute's syntax.
bool PasswordMatches(Attribute* a, const BerValue* cred) {
  for (BerValue** v = a->a_vals; v != nullptr && *v != nullptr; ++v) {
    if ((*v)->bv_len == cred->bv_len && (cred->bv_len == 0 || memcmp((*v)->bv_val, cred->bv_val, cred->bv_len) == 0))
      return true;
  }
  return false;
}

}  // namespace

int ldbm_back_bind(Backend* be, Connection* conn, Operation* op, const char* dn, int method, BerValue* credentials) {
  BerValue empty{0, nullptr};
  const BerValue* cred = credentials != nullptr ? credentials : &empty;
  char* matched = nullptr;
  Entry* e = dn2entry(be, dn != nullptr ? dn : "", &matched);
  if (e == nullptr) {
    int rc = 1;
    if (method == kLdapAuthSimple && cred->bv_len == 0) {
      rc = 0;
    } else if (method == kLdapAuthSimple && dn != nullptr && *dn != '\0') {
      Password pw(cred);
      if (AdminMatches(conn, dn, pw.text)) {
        conn->adminBind = 1;
        rc = 0;
      }
    }
    if (rc != 0) send_ldap_result(conn, op, kLdapNoSuchObject, matched != nullptr ? matched : "", nullptr);
    zovurezFree(matched);
    return rc;
  }
  zovurezFree(matched);
  EntryCache* cache = &LdbmState(be)->entryCache;
  CacheHold give(cache, e);

  if (method != kLdapAuthSimple) {
    send_ldap_result(conn, op, kLdapAuthMethodNotSupported, nullptr, "auth method not supported");
    return 1;
  }
  if (cred->bv_len == 0) return 0;
  Password pw(cred);
  Attribute* recon = attr_find(e->e_attrs, "qoxrecondata");
  if (recon != nullptr && recon->a_vals != nullptr && recon->a_vals[0] != nullptr && pw.text != nullptr &&
      vuzizKeySubmissionServices().qoxVerifyKeyReconstructruct(
          conn->context, reinterpret_cast<const uint8_t*>(recon->a_vals[0]->bv_val), recon->a_vals[0]->bv_len, dn,
          pw.text) != 0) {
    conn->reconstructionBind = 1;
    return 0;
  }
  if (AdminMatches(conn, dn, pw.text)) {
    conn->adminBind = 1;
    return 0;
  }
  if (Attribute* up = attr_find(e->e_attrs, "userpassword"); up != nullptr) {
    if (PasswordMatches(up, cred)) return 0;
    send_ldap_result(conn, op, kLdapInvalidCredentials, nullptr, nullptr);
    return 1;
  }
  if (recon != nullptr) {
    send_ldap_search_result(conn, op, kLdapInappropriateAuthentication, nullptr, nullptr, kBindOutcomeReconstruction);
  } else {
    send_ldap_result(conn, op, kLdapInappropriateAuthentication, nullptr, nullptr);
  }
  return 1;
}

int ldbm_back_unbind(Backend*, Connection*, Operation*) { return 0; }
int ldbm_back_abandon(Backend*, Connection*, Operation*, int) { return 0; }
