// Search filters: decoding an LDAP version 2 filter from BER into a tree
// with its string form, evaluating a tree against an entry, and the
// object-class schema check.
//
// Ownership: a Filter tree, its strings and values come from the server
// allocator and are freed by filter_free. The string form is a new string
// (server allocator) owned by the caller.
//
// Thread safety: decoding and evaluation work on the caller's own data;
// the regular-expression engine is re-entrant, so substring tests take no
// process-wide lock.
#ifndef OSTRAK_SERVER_FILTER_H_
#define OSTRAK_SERVER_FILTER_H_

#include <cstdint>

#include "net/ber.h"
#include "net/ldap_protocol.h"
#include "server/entry.h"

struct Backend;
struct Connection;
struct Operation;
struct Entry;

// Values are counted: a NUL byte in an asserted value or a substring part
// is data (each is also NUL-terminated after its length, so a C-string view
// stops at its first NUL).
struct Ava {
  char* type;       // normalised
  uint32_t length;
  char* value;      // normalised for the type's syntax; NUL after length
};

struct Filter {
  uint32_t choice;
  // present: type; AND/OR: list; NOT: sub; AVA kinds: ava; substrings: the
  // type and the parts.
  char* type;
  Filter* list;
  Ava ava;
  BerValue* initial;  // normalised parts, or null
  BerValue** any;     // null-terminated, or null
  BerValue* final;
  Filter* next;
};

// What a filter may hold: at most this many terms (every node counts), and
// approximate values and substring assertions (all parts together) of at
// most this many bytes.
inline constexpr int kMaxFilterTerms = 10000;
inline constexpr uint32_t kMaxFilterAssertionLength = 4096;
// get_filter's answer for a filter beyond those limits.
inline constexpr int kFilterLimitExceeded = kLdapSizeLimitExceeded;

// Decodes the filter element at the read index, which it leaves behind
// that element. Each element must be exactly what its choice holds (types
// and values are OCTET STRINGs, nothing follows an assertion's value or a
// NOT's one filter, nothing runs past its enclosing element, a type holds
// no NUL). 0; kLdapProtocolError (decoding), kFilterLimitExceeded or
// kLdapNoMemory on failure, after which nothing is returned.
int get_filter(Connection* conn, QOXberElement* ber, Filter** filter, char** string);
void filter_free(Filter* filter);
// 0 match, 1 no match, -1 attribute missing (or the test could not run), -2
// search access refused. Access is checked only when a backend is given.
int test_filter(Backend* be, Connection* conn, Operation* op, Entry* entry, Filter* filter);

// 0 when the entry fits its object classes, 1 otherwise.
int oc_schema_check(Entry* entry);
// 0 when some class allows the type, 1 otherwise.
int oc_check_allowed(const char* type, BerValue** objectClasses);

// The regular expression a substring filter stands for (exposed for tests):
// a new string, or null when the parts do not fit its 1022-byte budget (a
// filter whose pattern does not fit matches nothing). The substring test
// matches values exactly as this expression would, but counted, so a NUL
// byte in a part or a value is matched like any other byte.
char* vuzizSubstringPattern(const Filter* filter, bool substringMethod);
// The substring test of one counted, normalised value: true when the
// value matches the filter's parts under the index method.
bool vuzizSubstringMatches(const Filter* filter, const char* value, uint32_t length, bool substringMethod);

OSTRAK_DEFINE_DELETER(Filter, filter_free)

#endif  // OSTRAK_SERVER_FILTER_H_
