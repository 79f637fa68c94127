// The request path of a connection: the listener's accept, the connection
// thread, and the dispatch of one LDAP request to its handler.
//
// Thread safety: AddNewConnection and LaunchConnectionThread run on the
// listener thread; connection_activity and connection_operation on the
// connection's own thread. Server-wide counters change under their
// ServerState mutexes (operations in progress under mutexOpsRunning, the
// same mutex the entry cache's repair walk takes).
#ifndef OSTRAK_SERVER_DISPATCH_H_
#define OSTRAK_SERVER_DISPATCH_H_

#include <cstdint>

struct Connection;
struct Operation;

// 0, or the sockets layer's error (logged).
int CreateDaemonSocket(int port, int secure, int* descriptor);
// 0 when a connection was accepted into *outSlot; 1 when it was refused
// (disabled server, full table), 2 when the accept failed.
int AddNewConnection(Connection* table, int listenSocket, int secure, uint32_t now, int32_t* outSlot);
void LaunchConnectionThread(int32_t slot);
void connection_activity(int32_t slot);
// Runs one request and frees the operation; 1 after an Unbind, else 0.
int connection_operation(Connection* conn, Operation* op);
void FreeAllThreadContexts();

#endif  // OSTRAK_SERVER_DISPATCH_H_
