// Maintenance of existing keys: testing and changing passphrases, deriving a
// passkey, enabling, disabling, trusting and making a key axiomatic,
// revoking keys, subkeys and signatures, adding designated revokers,
// renewing self-signatures, adding user IDs and attributes, making a user ID
// primary and certifying user IDs.
//
// Three forms per operation:
//   - the option-list form (name ending in Internal), registered in the
//     foundation's key-database table (foundation/keydb_services.h) and
//     called by the public entry points with the list they built: it checks
//     the option types against the operation's set (kQOXErrBadParams for any
//     other), reads them, checks the object, then runs the worker in process
//     or, for an object of a front-end database, the back-end entry and
//     refreshes the front end with what comes back. The list stays the
//     caller's.
//   - the worker (name ending in _internal), arguments already unpacked;
//   - the back-end entry (name ending in _back): through the key-database
//     service link when it is up, else the worker on the back end's object
//     named by ID (keydb/key_db_back.h).
// After a successful trust-related change (enable, disable, trust,
// axiomatic, revocation, key options, certification) the trust of the whole
// database is recalculated and its result returned.
//
// Passphrase arguments: a passphrase with length 0 counts as none (the
// passphrase cache is asked); `hashed` says the bytes are a passkey (the
// cipher key itself); the cache time-out (seconds, 0 none) and the global
// flag store the passkey in the passphrase cache after an unlock.
//
// Thread safety: none (the key database's context's thread); the passphrase
// cache takes its own lock.
#ifndef OSTRAK_KEYDB_KEY_MANAGE_H_
#define OSTRAK_KEYDB_KEY_MANAGE_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/option_list.h"

struct QOXContext;
struct QOXKeyDBObj;

// The passphrase options of an operation, read from its list.
struct QOXPassphraseArgs {
  const char* bytes = nullptr;
  size_t length = 0;
  bool hashed = false;  // no Passphrase option: the bytes (if any) are a passkey
  uint32_t cacheTimeOut = 0;
  bool cacheGlobally = false;
};

// Reads Passphrase, else PasskeyBuffer, and CachePassphrase (no set check).
QOXError qoxReadPassphraseArgs(QOXOptionListRef list, QOXPassphraseArgs* out);

// --- Passphrase test ---
// True when the value (or the cached passphrase) unlocks the key's secret
// part; false for an option outside Passphrase, PasskeyBuffer and
// CachePassphrase and on every error. With a cache time-out and a right
// value, each subkey's secret part is unlocked with it too, so that it is
// cached as well.
bool qoxPassphraseIsValidInternal(QOXKeyDBObj* key, QOXOptionListRef optionList);
// kQOXErrBadParams without a key or output; a key without a secret part
// answers false with 0.
QOXError qoxPassphraseIsValid_internal(QOXKeyDBObj* key, const char* passphrase, size_t length, bool hashed,
                                       uint32_t cacheTimeOut, bool cacheGlobally, bool* outValid);
QOXError qoxPassphraseIsValid_back(QOXContext* context, uintptr_t key, const char* passphrase, size_t length,
                                   bool hashed, uint32_t cacheTimeOut, bool cacheGlobally, bool* outValid);

// --- Passkey ---
// The Passphrase (mandatory) run through the string-to-key stored with the
// secret part: a secure block of the context's memory (QOXFreeData) of the
// locking cipher's key length. kQOXErrBadParams for a secret part that is
// not locked or a missing Passphrase; without a secret part the key
// database's last error.
QOXError qoxGetKeyPasskeyBufferInternal(QOXKeyDBObj* key, void** outBuffer, QOXOptionListRef optionList);
QOXError qoxGetSubKeyPasskeyBufferInternal(QOXKeyDBObj* subKey, void** outBuffer, QOXOptionListRef optionList);
// Fills `size` bytes (the locking cipher's key length).
QOXError qoxGetPasskeyBuffer_internal(QOXKeyDBObj* key, const char* passphrase, size_t length, uint8_t* outBuffer,
                                      size_t size);
// A secure block of the context's memory of (property 205 or 603) / 8
// bytes, filled by the worker; freed on failure.
QOXError qoxGetPasskeyBuffer_back(QOXContext* context, uintptr_t key, const char* passphrase, size_t length,
                                  uint8_t** outBuffer, size_t* outLength);

// --- Enabled, trust, axiomatic ---
// Public, gated. kQOXErrBadParams for anything but a key; revoked
// kQOXErrKeyRevoked, expired kQOXErrKeyExpired; disabling an axiomatic key
// kQOXErrBadParams. The database is marked changed only when the disabled
// bit changed; the trust recalculation's result.
QOXError QOXSetKeyEnabled(QOXKeyDBObj* key, bool enable);
QOXError qoxEnableKey(QOXKeyDBObj* key);
QOXError qoxDisableKey(QOXKeyDBObj* key);
QOXError qoxSetKeyEnabled_back(QOXContext* context, uintptr_t key, bool enable);
// Public, gated. Legacy owner trust 1-6 (kQOXErrBadParams otherwise and for an
// axiomatic key); revoked, expired as above. Every real user ID gets the
// confidence of the value, the key its owner trust (unless marked revoked
// or expired); the trust recalculation's result.
QOXError QOXSetKeyTrust(QOXKeyDBObj* key, int32_t trust);
QOXError qoxSetKeyTrust_internal(QOXKeyDBObj* key, uint8_t trust);
QOXError qoxSetKeyTrust_back(QOXContext* context, uintptr_t key, uint8_t trust);
// With `set`: needs a secret part (kQOXErrBadParams); a key already axiomatic
// stays as it is; a disabled key is enabled; the axiomatic bit and owner
// trust are set. Without: needs an axiomatic key (kQOXErrBadParams); clears
// the axiomatic bit and the owner trust and makes every real user ID's
// confidence undefined. In both, a passphrase given must unlock the secret
// part (its error returned). A revoked key cannot be made axiomatic
// (kQOXErrKeyRevoked).
QOXError qoxSetKeyAxiomaticInternal(QOXKeyDBObj* key, bool set, QOXOptionListRef optionList);
QOXError qoxSetKeyAxiomatic_internal(QOXKeyDBObj* key, const char* passphrase, size_t length, bool hashed,
                                     uint32_t cacheTimeOut, bool cacheGlobally);
QOXError qoxUnsetKeyAxiomatic(QOXKeyDBObj* key, const char* passphrase, size_t length, bool hashed,
                              uint32_t cacheTimeOut, bool cacheGlobally);
QOXError qoxSetKeyAxiomatic_back(QOXContext* context, uintptr_t key, bool set, const char* passphrase,
                                 size_t length, bool hashed, uint32_t cacheTimeOut, bool cacheGlobally);

#endif  // OSTRAK_KEYDB_KEY_MANAGE_H_
