// Distinguished-name helpers: normalising, parents, suffix tests, the DN of
// a key entry, and escaping a value for use in a DN.
//
// Thread safety: re-entrant; each call works on its arguments only.
#ifndef OSTRAK_SERVER_DN_H_
#define OSTRAK_SERVER_DN_H_

#include <cstddef>

#include "foundation/errors.h"

// In place: blanks around '=' and separators dropped, ';' written as ',';
// quoted values kept with their quotes. Returns dn.
char* dn_normalize(char* dn);
char* dn_normalize_case(char* dn);  // dn_normalize, then upper-case
char* dn_upcase(char* dn);
// New copy (server allocator) of the parent DN, or null.
char* dn_parent(const char* dn, const char* stop);
// True when dn ends with suffix (any case); no component boundary check.
bool dn_issuffix(const char* dn, const char* suffix);
// 1 when dn holds '=', else 0.
int dn_type(const char* dn);
// prefix + keyID (without "0x"; 8 or 16 characters) + "," + base,
// normalised. 0, -12000 (bad arguments or key ID), kQOXErrOutOfMemory.
[[nodiscard]] QOXError CreateKeyDN(const char* prefix, const char* keyID, const char* base, char** dn);
// New copy with '\' before , + = " CR < > # ;. 0, or kLdapNoMemory when out of memory.
[[nodiscard]] int EscapeDNString(const char* value, char** out, size_t* outLength);

#endif  // OSTRAK_SERVER_DN_H_
