// Deciding access by the Allow rules, administrative updates and the
// "{SSHA}" administrator password.
#include "server/access_control.h"

#include <strings.h>

#include <cstring>
#include <string>

#include "crypto/hash.h"
#include "foundation/armor_base64.h"
#include "foundation/keydb_services.h"
#include "foundation/sdk_errors.h"
#include "net/ldap_result.h"
#include "server/connection.h"
#include "server/entry.h"
#include "server/error_log.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"
#include "server/text_match.h"

namespace {

constexpr const char* kGroupDN = "ou=default,O=QOX GROUPSPACE,C=US";
constexpr const char* kPrefsDN = "qoxelementtype=qoxprefs,O=QOX CLIENT PREFS SPACE,C=US";
constexpr const char* kNetPrefsDN = "qoxelementtype=qoxnetprefs,O=QOX CLIENT PREFS SPACE,C=US";
constexpr const char* kUnknownText = "<Unknown>";
constexpr size_t kShaLength = 20;

bool Denied(int level) {
  LogError(kLogWarning, "Access denied. '%s' requested.", access2str(level));
  return false;
}

// The hash text of a password: what follows "{SSHA}", or a new hash. The
// result owns nothing when it points into the password.
bool HashText(QOXContext* context, const char* password, const char** text, char** owned) {
  *owned = nullptr;
  *text = nullptr;
  if (password == nullptr) return true;
  if (strncasecmp(password, "{SSHA}", 6) == 0) {
    *text = password + 6;
    return true;
  }
  if (NetscapeHashPassword(context, password, owned) != 0) {
    LogError(kLogError, "Making hash from password failed.");
    return false;
  }
  *text = *owned;
  return true;
}

}  // namespace

int AccessAllowed(Connection* conn, AccessAllow* list, int level) {
  if (list == nullptr) {
    if (level <= g->DefaultAccess) return 1;
    LogError(kLogWarning, "Access denied. '%s' exceeds default access.", access2str(level));
    return Denied(level);
  }
  std::string host;
  if (conn->clientHostName != nullptr) {
    host = conn->clientHostName;
    UpcaseString(host.data());
  }
  QOXContext* context = conn->context != nullptr ? conn->context : g->context;
  for (AccessAllow* rule = list; rule != nullptr; rule = rule->next) {
    const char* subject = nullptr;
    std::string pattern;
    if (rule->type == kAllowSubjectIP) {
      subject = conn->clientAddress;
      pattern = std::string("^") + rule->expression + "$";  // the whole address
    } else {
      subject = conn->clientHostName != nullptr ? host.c_str() : nullptr;
      pattern = std::string(rule->expression) + "$";  // the end of the name
    }
    if (subject == nullptr) continue;
    if (regex_matches(context, nullptr, pattern.c_str(), subject) != 1) continue;
    return level <= rule->level ? 1 : Denied(level);
  }
  return level <= g->DefaultAccess ? 1 : Denied(level);
}

int access_allowed(Backend* be, Connection* conn, Operation* /*op*/, Entry* /*entry*/, const char* /*attribute*/,
                   const BerValue* /*value*/, const char* /*dn*/, int level) {
  if (be == nullptr || conn == nullptr || g == nullptr) return 0;
  return AccessAllowed(conn, g->accessRules, level);
}

int acl_check_mods(Backend* /*be*/, Connection* conn, Operation* /*op*/, Entry* /*entry*/, int isAdd,
                   Modification* mods) {
  for (Modification* m = mods; m != nullptr; m = m->mod_next) {
    if (m->mod_type != nullptr &&
        (strcasecmp(m->mod_type, "modifiersname") == 0 || strcasecmp(m->mod_type, "modifytimestamp") == 0)) {
      continue;
    }
    int code = m->mod_op & ~kModBValues;
    bool hasValues = m->mod_bvalues != nullptr && m->mod_bvalues[0] != nullptr;
    bool check = code == kModDelete || ((code == kModAdd || code == kModReplace) && hasValues);
    if (!check) continue;
    if (!AccessAllowed(conn, g->accessRules, isAdd ? kAccessAdd : kAccessAll)) return kLdapInsufficientAccess;
  }
  return 0;
}

void* acl_get_applicable(Backend* /*be*/, Operation* /*op*/, Entry* entry, const char* attribute) {
  vuzizTrace(kTraceAccess, "acl_get_applicable: entry (%s) attr (%s): no access lists\n",
             entry != nullptr && entry->e_dn != nullptr ? entry->e_dn : "", attribute != nullptr ? attribute : "");
  return nullptr;
}

int acl_access_allowed(void* /*acl*/, Backend* /*be*/, Connection* /*conn*/, Entry* /*entry*/,
                       const char* /*attribute*/, const BerValue* value, const char* requester, int level) {
  vuzizTrace(kTraceAccess, "acl_access_allowed: %s access to value \"%s\" by \"%s\" granted\n", access2str(level),
             value != nullptr && value->bv_val != nullptr ? value->bv_val : "any",
             requester != nullptr ? requester : "");
  return 1;
}

int VerifyAdminUpdate(Connection* conn, Operation* op, const char* dn) {
  if (conn == nullptr || op == nullptr || dn == nullptr || g == nullptr) {
    LogError(kLogError, "VerifyAdminUpdate: Bad params.");
    return 1;
  }
  bool group = strcasecmp(dn, kGroupDN) == 0;
  bool prefs = strcasecmp(dn, kPrefsDN) == 0 || strcasecmp(dn, kNetPrefsDN) == 0;
  bool ruleOK = AccessAllowed(conn, g->accessRules, kAccessAdmin) != 0;
  bool keyOK = false;
  if (conn->clientKey != nullptr) {
    char text[64];
    if (qoxKeyDBServices().vuzizClientKeyIDText(conn->context, conn->clientKey, text, sizeof text) != 0) {
      LogError(kLogWarning, "Client's TLS key was invalid.");
      return kLdapInsufficientAccess;
    }
    const char* id = (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) ? text + 2 : text;
    for (KeyIDNode* n = g->adminKeyIDs; n != nullptr && !keyOK; n = n->next) keyOK = strcasecmp(n->keyID, id) == 0;
  }
  bool userOK;
  {
    QOXMutexGuard guard(&conn->dnMutex);
    userOK = isValidAdminUserPass(conn->context != nullptr ? conn->context : g->context, g->AdminUsername,
                                  g->AdminPassword, conn->boundDN, conn->boundCredentials) == 1;
  }
  if (group) {
    if (ruleOK && keyOK) return 0;
    if (!ruleOK) LogError(kLogWarning, "Insufficient host/IP access to update groups.");
    if (!keyOK) LogError(kLogWarning, "TLS key ID is not allowed to update groups.");
    return kLdapInsufficientAccess;
  }
  if (prefs) {
    if (ruleOK && userOK) return 0;
    if (!ruleOK) LogError(kLogWarning, "Insufficient \"allow\" access to update prefs.");
    if (!userOK) LogError(kLogWarning, "Insufficient \"Username/Password\" access to update prefs.");
    return kLdapInsufficientAccess;
  }
  LogError(kLogError, "VerifyAdminUpdate: Invalid DN.");
  return 1;
}

int isValidAdminUserPass(QOXContext* context, const char* adminUser, const char* adminPassword,
                         const char* bindUser, const char* bindPassword) {
  bool userOK = adminUser != nullptr && bindUser != nullptr && strcmp(adminUser, bindUser) == 0;
  const char* adminHash = nullptr;
  const char* bindHash = nullptr;
  char* ownedAdmin = nullptr;
  char* ownedBind = nullptr;
  bool ok = HashText(context, adminPassword, &adminHash, &ownedAdmin) &&
            HashText(context, bindPassword, &bindHash, &ownedBind);
  bool passOK = ok && adminHash != nullptr && bindHash != nullptr && strcmp(adminHash, bindHash) == 0;
  zovurezFree(ownedAdmin);
  zovurezFree(ownedBind);
  return userOK && passOK ? 1 : 0;
}

QOXError NetscapeHashPassword(QOXContext* context, const char* password, char** hash) {
  if (context == nullptr || password == nullptr || hash == nullptr || *hash != nullptr) {
    LogError(kLogError, "NetscapeHashPassword: Bad Params.");
    return kQOXErrBadParams;
  }
  QOXHashContext* sha = nullptr;
  QOXError err = QOXNewHashContext(context, kQOXHashAlgorithm_SHA, &sha);
  if (err != 0) {
    LogError(kLogError, "Getting hash context failed.");
    return err;
  }
  uint8_t digestAndSalt[kShaLength + sizeof kSSHASalt];
  err = QOXContinueHash(sha, password, strlen(password));
  if (err == 0) err = QOXContinueHash(sha, kSSHASalt, sizeof kSSHASalt);
  if (err == 0) err = QOXFinalizeHash(sha, digestAndSalt);
  QOXFreeHashContext(sha);
  if (err != 0) {
    LogError(kLogError, "Finalizing hash failed.");
    return err;
  }
  memcpy(digestAndSalt + kShaLength, kSSHASalt, sizeof kSSHASalt);
  char text[ArmorBase64Length(sizeof digestAndSalt) + 1];
  text[armorInput(digestAndSalt, sizeof digestAndSalt, text)] = '\0';
  *hash = zovurezStrdup(text);
  if (*hash == nullptr) return kQOXErrOutOfMemory;
  return 0;
}

QOXError QOXGetLDAPErrorString(int result, int /*ignored*/, char** text) {
  if (text == nullptr || *text != nullptr) {
    LogError(kLogError, "QOXGetLDAPErrorString called with bad params.");
    return 0;
  }
  QOXError code = QOXldapResultToError(nullptr, result);
  size_t size = 256;
  char* buffer = static_cast<char*>(zovurezMalloc(size));
  if (buffer == nullptr) {
    LogError(kLogError, "QOXGetLDAPErrorString: Out of memory.");
    *text = const_cast<char*>(kUnknownText);
    return kQOXErrOutOfMemory;
  }
  QOXError err = kQOXErrUnknownError2;
  for (int attempt = 0; attempt < 4; ++attempt) {
    err = QOXGetErrorString(code, size, buffer);
    if (err == 0) {
      *text = buffer;
      return 0;
    }
    if (err != kQOXErrBufferTooSmall) break;
    err = kQOXErrUnknownError2;  // what remains after the last attempt
    char* grown = static_cast<char*>(zovurezRealloc(buffer, size + 256));
    if (grown == nullptr) {
      zovurezFree(buffer);
      LogError(kLogError, "QOXGetLDAPErrorString: Out of memory.");
      *text = const_cast<char*>(kUnknownText);
      return kQOXErrOutOfMemory;
    }
    buffer = grown;
    size += 256;
  }
  zovurezFree(buffer);
  LogError(kLogError, "QOXGetLDAPErrorString: Could not get qox error string.");
  *text = const_cast<char*>(kUnknownText);
  return err;
}

LdapModRecord* alloc_ldapmod() { return static_cast<LdapModRecord*>(zovurezCalloc(1, sizeof(LdapModRecord))); }

void free_ldapmod(LdapModRecord* mod) {
  if (mod == nullptr) return;
  zovurezFree(mod->mod_type);
  berValuesFree(mod->mod_bvalues);
  charray_free(mod->mod_values);
  zovurezFree(mod);
}

void free_ldmarr(LdapModRecord** mods) {
  if (mods == nullptr) return;
  for (int i = 0; mods[i] != nullptr; ++i) free_ldapmod(mods[i]);
  zovurezFree(mods);
}
