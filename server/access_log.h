// The access log: one text line per answered operation, in the standard
// format (AccessLogFormat 1) or the version1 format (0), and its rotation
// into dated copies.
//
// Lines are written by connection threads (AddAccessLogEntry, which the
// result writer calls; declared in server/ldap_service_calls.h) and
// appended by LogAccessToFile under ServerState::mutexAccessLog, so lines
// never interleave and a rotation (CycleLog, listener thread, same mutex)
// never cuts one. Time formatting takes mutexTimeFormat, local-time
// conversion mutexTimeConvert, each inside mutexAccessLog where both are
// held. The access-log descriptor (ServerState::accessLogFd) is -2 until the
// first line opens the file, -1 after a failure (the log is then off for
// the rest of the pass).
#ifndef OSTRAK_SERVER_ACCESS_LOG_H_
#define OSTRAK_SERVER_ACCESS_LOG_H_

#include <cstddef>
#include <ctime>

#include "server/ldap_service_calls.h"

struct Operation;

// Appends one line to the access log. 0, or 1 on failure (logged).
int LogAccessToFile(Operation* op, const char* line, size_t length);

// The dated copy's name: ".%Y%m%d" of the given local time put before the
// file name's last extension, or appended when the file name has none. 0,
// or 90 when out of memory.
int GetCycledFileName(const char* name, const struct tm* when, char** out);
// Deletes the oldest dated copies of the access log beyond CycleLogKeep.
// 0, or 1 when the directory could not be read.
int DeleteExcessCycledLogs(const char* accessLogName);
// Appends a copy of name to a growing vector (198 slots first, doubling).
// 0, or 90 when out of memory.
int AddCandidate(char*** vector, const char* name, int* count, int* capacity);
int CmpCycleLogFiles(const void* a, const void* b);

#endif  // OSTRAK_SERVER_ACCESS_LOG_H_
