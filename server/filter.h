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

struct Backend;
struct Connection;
struct Operation;
struct Entry;

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
  char* initial;
  char** any;  // null-terminated, or null
  char* final;
  Filter* next;
};

// 0; kLdapProtocolError (decoding) or kLdapNoMemory on failure, after which
// nothing is returned.
int get_filter(Connection* conn, QOXberElement* ber, Filter** filter, char** string);
void filter_free(Filter* filter);
// 0 match, 1 no match, -1 attribute missing (or the test could not run), -2
// search access refused. Access is checked only when a backend is given.
int test_filter(Backend* be, Connection* conn, Operation* op, Entry* entry, Filter* filter);

// 0 when the entry fits its object classes, 1 otherwise.
int oc_schema_check(Entry* entry);
// 0 when some class allows the type, 1 otherwise.
int oc_check_allowed(const char* type, BerValue** objectClasses);

// The regular expression a substring filter is tested with (exposed for
// tests): a new string, or null when the parts do not fit the budget.
char* vuzizSubstringPattern(const Filter* filter, bool substringMethod);

OSTRAK_DEFINE_DELETER(Filter, filter_free)

#endif  // OSTRAK_SERVER_FILTER_H_
