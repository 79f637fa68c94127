// LDAP result codes as toolkit error codes.
//
// The LDAP client turns the result of each synchronous call into a toolkit
// code with QOXldapResultToError; the daemon uses the same table to find the
// text of a result it sends without one. The table is constant; the call is
// thread-safe.
#ifndef OSTRAK_NET_LDAP_RESULT_H_
#define OSTRAK_NET_LDAP_RESULT_H_

#include <cstdint>

struct QOXldapContextRec;
typedef QOXldapContextRec* QOXldapContext;

// The toolkit code for an LDAP result code: 0 for success, compareFalse and
// compareTrue; the "other" code kQOXErrLDAPOther for a result the table lacks. The
// context is not read and may be null.
int32_t QOXldapResultToError(QOXldapContext context, int32_t ldap_result);

#endif  // OSTRAK_NET_LDAP_RESULT_H_
