// What the daemon's start-up asks of key submission and policy, and of the
// key database: the acceptance policy, the replication log, key transfer
// into connection contexts, the random seed file and entropy, the RSA query,
// key-reconstruction binds and the server's TLS key.
//
// Thread safety: InitPolicy, InitRepLog, ReleaseRepLog, SetRandSeedFile,
// GetPrivateKey and GatherEntropy run on the initial thread during start-up.
// TransferKeys and qoxVerifyKeyReconstructruct run on connection threads,
// each in its own toolkit context.
#ifndef OSTRAK_KEYSERVICE_SERVER_SERVICES_H_
#define OSTRAK_KEYSERVICE_SERVER_SERVICES_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/keydb_services.h"

struct QOXContext;
struct QOXKeyDB;
struct Backend;

// 0, or an error code (-1 when the reason was logged already).
QOXError InitPolicy(QOXContext* context, Backend* be);
// 0 or non-zero; nothing to do without replication.
int InitRepLog(Backend* be);
void ReleaseRepLog();
QOXError TransferKeys(QOXContext* source, QOXContext* dest, QOXKeyDB* sourceDB, int includePrivate,
                      QOXKeyDB** destDB);
// 0; -12000 when the named file does not exist; else the toolkit's code.
QOXError SetRandSeedFile(QOXContext* context, const char* startDirectory, const char* path);
// 0 always; may switch secure mode to disabled (2).
int GatherEntropy(QOXContext* context, int32_t* secureMode);
// 0 or the toolkit's code; *supported 1 when an RSA algorithm is offered.
QOXError IsRSASupported(uint8_t* supported);
int qoxVerifyKeyReconstructruct(QOXContext* context, const uint8_t* data, size_t length,
                                const char* bindDN, const char* password);
// 0, -11987 or -11402 (the caller goes on; secure mode is then 2), or an
// error code the callee has logged.
QOXError GetPrivateKey(QOXContext* context, const QOXKeyID* wanted, QOXKeyDB* tlsKeyDB, int noPrompt,
                       int32_t* secureMode, int reserved1, int reserved2, const char* prompt,
                       QOXKeyID** keyID, char** passphrase);

// --- Key database ---
// Parses "0x" and 8 or 16 hexadecimal digits. 0 or -12000.
QOXError QOXNewKeyIDFromString(const char* text, int algorithm, QOXKeyID* outKeyID);

#endif  // OSTRAK_KEYSERVICE_SERVER_SERVICES_H_
