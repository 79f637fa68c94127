// What the toolkit asks of the key-database RPC client, as one registered
// table.
//
// The RPC client runs the key database in a separate back-end process: the
// toolkit's start-up starts it, and a context's random generator becomes a
// front end that draws from the back end's pool. Each call is a member of
// QOXRPCClientServices, named after it. The RPC client defines the real
// functions under those names and registers a table of them at start-up;
// until then each member answers with its stand-in in
// foundation/rpc_client_seams.cc, so the toolkit runs everything in process.
//
// Registration and doubles: foundation/service_table.h.
//
// Thread safety: qoxSDKInitBackEnd runs during start-up; the front-end maker
// may be called from any thread.
#ifndef OSTRAK_FOUNDATION_RPC_CLIENT_SERVICES_H_
#define OSTRAK_FOUNDATION_RPC_CLIENT_SERVICES_H_

#include "foundation/errors.h"

struct QOXContext;
struct QOXRandomContext;

struct QOXRPCClientServices {
  // Starts the remote key-database back end (called with 1 by the first
  // QOXsdkInit unless its flags hold 2); 0 or an error.
  QOXError (*qoxSDKInitBackEnd)(int start);
  // A random generator of the context that forwards to the back end's pool
  // (the generator qoxRandomCreate makes while the back end is on), or null.
  QOXRandomContext* (*qoxRandomCreate_frontend)(QOXContext* context);
};

// The table in force, and its registration (foundation/service_table.h).
const QOXRPCClientServices& qoxRPCClientServices();
const QOXRPCClientServices* qoxRegisterRPCClientServices(const QOXRPCClientServices* table);

#endif  // OSTRAK_FOUNDATION_RPC_CLIENT_SERVICES_H_
