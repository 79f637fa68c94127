// Calls the LDAP service makes into access control (server/access_control.cc)
// and the access log and its rotation (server/access_log.cc,
// server/log_cycle.cc).
//
// Thread safety: each may be called from any connection thread.
#ifndef OSTRAK_SERVER_LDAP_SERVICE_CALLS_H_
#define OSTRAK_SERVER_LDAP_SERVICE_CALLS_H_

#include <cstdint>
#include <ctime>

#include "net/ber.h"

struct Backend;
struct Connection;
struct Operation;
struct Entry;
struct OpAccessLogData;
struct CycleLogContext;

// 1 when the client of the connection may act at the level, else 0. With
// no backend it denies.
int access_allowed(Backend* be, Connection* conn, Operation* op, Entry* entry, const char* attribute,
                   const BerValue* value, const char* dn, int level);
// Writes the operation's access-log line when its type is selected. 0, or
// 90 when a buffer could not be had.
int AddAccessLogEntry(Connection* conn, Operation* op, int32_t type, OpAccessLogData* data, int entryCount,
                      int result);
// Frees the owned parts of an operation's access-log data.
void FreeAccessLogOpData(int32_t type, OpAccessLogData* data);
void logFileStdElementsResetCounters(Connection* conn);
void logFileStdElementsStartTimer(Connection* conn);
void logFileStdElementsStopTimer(Connection* conn);
// Rotates the access log: 0 (also when skipped), 1 failure, 90 memory.
int CycleLog(CycleLogContext* context, time_t now);

#endif  // OSTRAK_SERVER_LDAP_SERVICE_CALLS_H_
