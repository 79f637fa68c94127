// Access control: whether a connected client may act at a level, checks of
// modification lists, updates of the group and client-preference entries,
// the administrator's "{SSHA}" password hash, and LDAP error texts.
//
// A client is judged by the Allow rules of the configuration
// (server/access_rules.h), tried in order: the first rule whose pattern
// matches the client's address (IP rules) or upper-cased host name (host
// rules) decides; with none matching, DefaultAccess decides. An IP pattern
// must match the whole address ("10.1.*" grants 10.1.2.3, not 110.1.2.3); a
// host pattern must match the end of the name ("example.com" grants
// "WWW.EXAMPLE.COM").
//
// Thread safety: connection threads call these at once. The rule list is
// written only while the configuration is read; the regular-expression
// engine is re-entrant, so no lock is taken around matching. The
// connection's bound DN and credentials are read under its dnMutex.
#ifndef OSTRAK_SERVER_ACCESS_CONTROL_H_
#define OSTRAK_SERVER_ACCESS_CONTROL_H_

#include <cstddef>

#include "foundation/errors.h"
#include "net/ber.h"
#include "net/ldap_protocol.h"
#include "server/access_rules.h"
#include "server/ldap_service_calls.h"

struct QOXContext;
struct Modification;

// The fixed salt of every "{SSHA}" hash (configured hashes depend on it).
inline constexpr unsigned char kSSHASalt[8] = {0x5c, 0x19, 0xe7, 0xa3, 0xb2, 0xd4, 0x0f, 0x68};

int AccessAllowed(Connection* conn, AccessAllow* list, int level);
// 0, or 50 at the first modification the client may not make.
[[nodiscard]] int acl_check_mods(Backend* be, Connection* conn, Operation* op, Entry* entry, int isAdd,
                                 Modification* mods);
// No per-entry access lists exist: always null.
void* acl_get_applicable(Backend* be, Operation* op, Entry* entry, const char* attribute);
// Grants (1).
int acl_access_allowed(void* acl, Backend* be, Connection* conn, Entry* entry, const char* attribute,
                       const BerValue* value, const char* requester, int level);
// 0 allowed, 50 refused, 1 bad input or a DN that is neither the group
// entry nor a preference entry.
[[nodiscard]] int VerifyAdminUpdate(Connection* conn, Operation* op, const char* dn);
// 1 when both the user names and the password hashes match.
int isValidAdminUserPass(QOXContext* context, const char* adminUser, const char* adminPassword,
                         const char* bindUser, const char* bindPassword);
// The 40-character hash text (no "{SSHA}" prefix), newly allocated (server
// allocator). 0, -12000, or the toolkit's hash error.
[[nodiscard]] QOXError NetscapeHashPassword(QOXContext* context, const char* password, char** hash);
// *text must be null. 0 with a new text (server allocator); otherwise the
// error, with *text the constant "<Unknown>" (not to be freed).
QOXError QOXGetLDAPErrorString(int result, int ignored, char** text);

// The client layer's modification record: operation, type, values.
struct LdapModRecord {
  int mod_op;
  char* mod_type;
  BerValue** mod_bvalues;
  char** mod_values;  // null-terminated, each allocated
};
LdapModRecord* alloc_ldapmod();
void free_ldapmod(LdapModRecord* mod);
void free_ldmarr(LdapModRecord** mods);

#endif  // OSTRAK_SERVER_ACCESS_CONTROL_H_
