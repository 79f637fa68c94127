// The acceptance policy: whether a submitted key may enter the active key
// space, and the trimming of what the server does not publish.
//
// Settings come from ServerState (server/server_state.h): verifySignatures,
// MustSigID and AllowSigID (up to 100 lines of key IDs each, the last head
// always empty), TrimSigs and TrimUsers. The connection's copy of the
// policy key database (Connection::keyDBs[0]) holds the keys of all
// MustSigID and AllowSigID lines.
//
// Signer records come from GetSigIDsOfUserID (keyservice/signer_records.h).
//
// Thread safety: CheckPolicy runs on a connection thread in the
// connection's own toolkit context and changes only the submitted key's
// database; the settings are only read.
#ifndef OSTRAK_KEYSERVICE_POLICY_H_
#define OSTRAK_KEYSERVICE_POLICY_H_

#include <vector>

#include "foundation/errors.h"
#include "keyservice/signer_records.h"

struct Connection;
struct QOXKeyDBObj;
struct QOXKeySet;

// Decides on the first key of the set: 0 (passed), -11494 (required
// signatures missing), 2 (trimming left no user ID) or a toolkit code.
// *trimmed becomes true when a signature or user ID was removed.
QOXError CheckPolicy(QOXKeySet* set, Connection* conn, bool* trimmed);

// 1 when some MustSigID line is satisfied by the records (every key ID of
// the line equals, over 16 characters and without case, the digits of
// some record), or when no line is configured; else 0.
int VerifyMustPolicy(const std::vector<SignerRecord>& records);

// Removes every certification on the first key's user IDs whose signer is
// neither the key itself nor a key of the policy set.
QOXError TrimSigs(QOXKeySet* set, QOXKeySet* policySet, bool* trimmed);

// Removes the user IDs without a signature, and those whose one signature
// is the key's own by a key not named in MustSigID or AllowSigID. -1 when
// that is every user ID (the last one then stays: a key keeps a user ID),
// else 0.
int TrimUsers(QOXKeySet* set, bool* trimmed);

// Clears *enabled when the signature's signer is named on a MustSigID or
// AllowSigID line (without case).
void TrimEnabled(QOXKeyDBObj* sig, bool* enabled);

#endif  // OSTRAK_KEYSERVICE_POLICY_H_
