#include "server/main/wiring.h"

#include "backend/ldbm_register.h"
#include "client/client_registration.h"
#include "crypto/engine_registration.h"
#include "foundation/core/core_registration.h"
#include "foundation/sdk/sdk_registration.h"
#include "keydb/keydb_registration.h"
#include "keyservice/key_submission_registration.h"
#include "net/tls_registration.h"
#include "pipeline/pipeline_registration.h"
#include "server/server_registration.h"

void ostrakWire() {
  qoxEngineRegister();      // crypto -> the context record and file objects
  qoxCoreRegister();        // foundation/core -> the engine's string-to-key makers
  qoxSDKRegister();         // foundation/sdk -> the context's passphrase cache
  qoxKeyDBRegister();       // keydb -> the foundation's key-database table
  qoxPipelineRegister();    // pipeline -> character sets and file read pumps
  qoxTLSRegister();         // net -> the sockets layer's TLS table
  vuzizServerRegister();    // server -> the support library's error log
  ldbm_register();          // backend -> the server core's backend table
  KeySubmissionRegister();  // keyservice -> the server and backend
  qoxClientRegister();      // client -> key submission's terminal dialogs
}
