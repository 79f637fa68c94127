// The replication change log: every accepted key change is appended as one
// text record to the log file, which a replication engine outside the
// server reads and forwards to the configured replicas.
//
// Record (lines end with LF; the file is only appended to):
//   replica: <replica URL>          one line per Replica, in configuration order
//   time: <seconds since 1970>
//   dn: <the DN handed in>
//   changetype: add
//   <attribute line>                the LDIF line of the chosen value, folded at 76
//   <empty line>
// The chosen value is the first value of the entry's qoxkey attribute (the
// last qoxkeyv2 attribute when it has one) for a key add, and of its
// qoxrequest attribute for a signed request; a signed request that has none
// (a signed add) is written as the request text its handler set for the
// thread (SetSignedRequestText) under the name qoxrequest.
//
// Changes that came from a replica are not logged again: a signed delete
// request, or a change of key data the entry attributes do not track
// (Connection::changedKeyData), from a client whose address equals a
// replica's host or one of the backend's replica addresses, or whose host
// name equals a replica's host (without case), writes nothing and logs a
// "Single replication loop detected." line at level 2. Plain key adds are
// logged whoever sent them.
//
// Thread safety: InitRepLog and ReleaseRepLog run on the initial thread
// while no connection thread runs; qoxRepLog may run on any connection
// thread. The signed-request text is per thread: a connection's requests
// run on its own thread, one at a time. Writers are serialised by ServerState::mutexRepLog (taken after
// mutexCurrentTime is released, never with another mutex of the record)
// and, against other processes, by the log file's lock file.
#ifndef OSTRAK_KEYSERVICE_REPLICATION_LOG_H_
#define OSTRAK_KEYSERVICE_REPLICATION_LOG_H_

#include <cstddef>

struct Backend;
struct Connection;
struct Entry;

// Builds the replica text and the replication-loop text from the
// backend's Replica list and replica addresses: 0, or 1 when memory runs
// out. Does nothing (0) when neither the backend nor the server names a
// log file.
int InitRepLog(Backend* be);

// Frees both texts.
void ReleaseRepLog();

// Appends the record of one accepted change (see above). tag must be the
// LDAP add tag (0x68); requestFlag is non-zero for a signed request. A file
// that cannot be opened or written is logged at level 8 with its name.
void qoxRepLog(Backend* be, Connection* conn, int tag, const char* dn, Entry* e, int requestFlag);

// Sets (null clears) the value of the signed request the calling thread is
// handling, byte for byte, for the record of a signed add; the caller keeps
// the bytes alive and clears the text when the request ends.
void SetSignedRequestText(const char* text, size_t length);

#endif  // OSTRAK_KEYSERVICE_REPLICATION_LOG_H_
