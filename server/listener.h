// The threads and pools of the LDAP service that start-up starts and frees:
// the listener, the control thread, the pool of connection contexts, and the
// shared entry text buffer.
#ifndef OSTRAK_SERVER_LISTENER_H_
#define OSTRAK_SERVER_LISTENER_H_

#include "server/server_state.h"

// The listener thread; arg is the Port (intptr_t). It releases the start-up
// hand-over (vuzizHandoverRelease) once it has taken the database lock, made
// its sockets and switched identity, or when it fails before that; it stores
// its result in g_iServerExitCode.
void* vuzizDaemon(void* arg);
// The control thread; arg is the control FIFO name.
void* threadServerControl(void* arg);
// Wakes the control thread (writes "EXIT THREAD\n\n" into the server FIFO).
void qoxSignalControlThread();
// Frees every pooled connection context of the state.
void vuzizFreeContextPool(ServerState* state);

#endif  // OSTRAK_SERVER_LISTENER_H_
