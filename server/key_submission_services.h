// What the directory server and its backend ask of key submission and
// policy, as one registered table.
//
// Key submission (keyservice/) sits above the server and the backend: it
// takes key entries from the backend and adds them through it. The server's
// start-up and request handling call into it (the acceptance policy, the
// replication log, key transfer into connection contexts, the random seed
// file and entropy, the RSA query, the server's TLS key, the Add handler),
// and so does the backend (the replication record of an add or a delete,
// key-block import, key-reconstruction binds). Each call is a member of
// VuzizKeySubmissionServices, named after it. Key submission defines the
// real functions under those names and registers a table of them at
// start-up (keyservice/key_submission_registration.h); until a member is
// registered it answers with its stand-in in server/key_submission_seams.cc,
// as a server without keys: no policy keys, no replication, no TLS key.
//
// Registration and doubles: foundation/service_table.h.
//
// Thread safety: InitPolicy, InitRepLog, ReleaseRepLog, SetRandSeedFile,
// IsRSASupported, GetPrivateKey and GatherEntropy run on the initial thread
// during start-up. The others run on connection threads, each in its own
// toolkit context.
#ifndef OSTRAK_SERVER_KEY_SUBMISSION_SERVICES_H_
#define OSTRAK_SERVER_KEY_SUBMISSION_SERVICES_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/keydb_services.h"

struct Backend;
struct Connection;
struct Entry;
struct Operation;
struct QOXContext;
struct QOXKeyDB;

struct VuzizKeySubmissionServices {
  // --- Start-up ---
  // Builds the TLS key database and the policy key databases and sets into
  // ServerState; 0, or an error code (-1 when the reason was logged already).
  QOXError (*InitPolicy)(QOXContext* context, Backend* be);
  // Prepares the replication log; 0 or non-zero. Nothing to do without
  // replication.
  int (*InitRepLog)(Backend* be);
  // Frees what InitRepLog built.
  void (*ReleaseRepLog)();
  // Makes the named file the toolkit's random seed file: 0; -12000 when the
  // file does not exist; else the toolkit's code (each failure logged as
  // "Setting the QOX random seed file (%s) failed with error %d (%s)"). No
  // path does nothing and gives 0.
  QOXError (*SetRandSeedFile)(QOXContext* context, const char* startDirectory, const char* path);
  // 0 or the toolkit's code; *supported 1 when an RSA algorithm is offered.
  QOXError (*IsRSASupported)(uint8_t* supported);
  // Finds the server's TLS key: 0, kQOXErrUserAbort or kQOXErrNoSecretKeyFound (the caller goes on;
  // secure mode is then 2), or an error code the callee has logged.
  QOXError (*GetPrivateKey)(QOXContext* context, const QOXKeyID* wanted, QOXKeyDB* tlsKeyDB, int noPrompt,
                            int32_t* secureMode, int reserved1, int reserved2, const char* prompt,
                            QOXKeyID** keyID, char** passphrase);
  // 0 always; may switch secure mode to disabled (2).
  int (*GatherEntropy)(QOXContext* context, int32_t* secureMode);

  // --- Connections and requests ---
  // Copies the keys of a source key database into a destination context.
  QOXError (*TransferKeys)(QOXContext* source, QOXContext* dest, QOXKeyDB* sourceDB, int includePrivate,
                           QOXKeyDB** destDB);
  // The LDAP Add handler: answers the request itself.
  void (*do_add)(Connection* conn, Operation* op);

  // --- Calls of the backend ---
  // Appends one change record for an LDAP Add (tag 0x68) to the replication
  // log.
  void (*qoxRepLog)(Backend* be, Connection* conn, int tag, const char* dn, Entry* e, int requestFlag);
  // Imports an ASCII-armored key block into a new key database of the
  // context, which the caller then owns.
  QOXError (*TransferKeysFromAAKeyBlock)(QOXContext* context, const uint8_t* data, size_t length,
                                         QOXKeyDB** keyDB);
  // Non-zero when the password opens the stored key-reconstruction data.
  int (*qoxVerifyKeyReconstructruct)(QOXContext* context, const uint8_t* data, size_t length, const char* bindDN,
                                     const char* password);
};

// The table in force, and its registration (foundation/service_table.h).
const VuzizKeySubmissionServices& vuzizKeySubmissionServices();
const VuzizKeySubmissionServices* vuzizRegisterKeySubmissionServices(const VuzizKeySubmissionServices* table);

#endif  // OSTRAK_SERVER_KEY_SUBMISSION_SERVICES_H_
