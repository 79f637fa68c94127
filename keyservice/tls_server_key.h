// The daemon's start-up steps for its TLS key: finding and unlocking the
// server's key (GetPrivateKey) and topping up the random pool
// (GatherEntropy). Both reach the terminal through the client services'
// dialogs (keyservice/client_dialog_services.h). The daemon calls them
// through the key-submission table (server/key_submission_services.h),
// where keyservice/key_submission_registration.h registers them.
//
// Thread safety: both run on the initial thread during start-up.
#ifndef OSTRAK_KEYSERVICE_TLS_SERVER_KEY_H_
#define OSTRAK_KEYSERVICE_TLS_SERVER_KEY_H_

#include <cstdint>

#include "foundation/errors.h"

struct QOXContext;
struct QOXKeyDB;
struct QOXKeyID;

// With *secureMode 2 (disabled): 0, nothing changed. Otherwise finds the
// server's key in the TLS key database: by the wanted key ID, or, when it
// is null or all zero, the first secret key (which then counts as needing a
// passphrase). A key that needs a passphrase under mode 1 (optional) with
// noPrompt set switches secure mode off (2) with a warning:
// kQOXErrUserAbort. Otherwise the signing-passphrase dialog asks for it
// with the prompt; a cancel (kQOXErrUserAbort) or no secret key
// (kQOXErrNoSecretKeyFound) switch secure mode off with a warning; success
// makes the mode 0. A key without a passphrase gets an empty one. On 0 with
// secure mode on, *keyID is a new 36-byte record (zovurezMalloc) holding
// the key's ID and *passphrase a secure block (wiped and freed with
// QOXFreeData); with secure mode off neither is set. Every other failure is
// logged and returned (the caller ends the pass), such as an unknown key
// ID (kQOXErrItemNotFound). No key database at all, or one without a secret
// key, is logged as an error and answered as the dialog's "no secret key":
// secure mode 2, kQOXErrNoSecretKeyFound.
QOXError GetPrivateKey(QOXContext* context, const QOXKeyID* wanted, QOXKeyDB* tlsKeyDB, int noPrompt,
                       int32_t* secureMode, int reserved1, int reserved2, const char* prompt, QOXKeyID** keyID,
                       char** passphrase);

// 0 always. When secure mode is on and the global random pool lacks its
// minimum entropy, the random-data dialog collects keystrokes for
// max(600, 2 x minimum - current) bits; when it fails, "LDAPS is disabled.
// Not enough randomness exists to enable TLS." (a warning) and secure mode
// 2.
int GatherEntropy(QOXContext* context, int32_t* secureMode);

#endif  // OSTRAK_KEYSERVICE_TLS_SERVER_KEY_H_
