// The passphrase cache: what unlocked a secret key, kept for a while so later
// operations on the same key need no passphrase.
//
// A context's cache (made on first use, hung on the context) holds two lists
// of entries keyed by key ID: global entries, found from any back-end
// connection of the context, and per-connection entries, found only under
// the connection reference they were stored with. An entry keeps the key's
// passkey (the value derived from the passphrase that unlocking takes
// directly) in a secure block of the context's memory manager, a time to
// live in seconds and an expiry (toolkit time; all ones = never). A hit
// renews the expiry to now + time to live. Removal (purge, expiry) wipes the
// passkey and the entry before freeing them.
//
// Ownership: the cache owns every entry and passkey block. A retrieved
// passkey is the entry's own block and is used only while the mutex is held.
// When an entry is stored again, the new block is allocated and filled
// before the old one is released; if that fails the entry keeps its old
// passkey and the store reports kQOXErrOutOfMemory.
//
// Thread safety: one process-wide mutex (qoxPassphraseCacheMutex, made by the
// first QOXsdkInit) guards every cache of every context; each call below
// takes it for its whole run and releases it on every return. The mutex is
// not recursive: the key operations and allocations made while it is held
// must never call back into the cache.
#ifndef OSTRAK_FOUNDATION_SDK_PASSPHRASE_CACHE_H_
#define OSTRAK_FOUNDATION_SDK_PASSPHRASE_CACHE_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/sdk_time.h"

struct QOXContext;
struct QOXSecKey;

// Unlocks a secret key with the given passphrase (or passkey), or, when the
// length is 0, with the passkey cached for the key. After an unlock with a
// given passphrase and a non-zero time to live the passkey is cached.
// kQOXErrBadPassphrase for a wrong passphrase, for an unlocked key given a passphrase and
// for a cache miss.
QOXError qoxSecKeyUnlockWithCache(QOXSecKey* key, const char* passphrase, size_t length,
                                  bool isPasskey, uint32_t timeToLive, bool global);
// Caches the passkey of a passphrase (or a passkey) without unlocking. A
// passphrase that cannot be converted caches nothing and gives 0.
QOXError qoxSecKeyCachePassphrase(QOXSecKey* key, const char* passphrase, size_t length,
                                  bool isPasskey, uint32_t timeToLive, bool global);
// -12000 for an invalid context; else removes the whole cache through the
// back end (qoxPurgePassphraseCache_back) and returns its result.
QOXError QOXPurgePassphraseCache(QOXContext* context);
// The back-end entry point: with the key-database service link on
// (foundation/rpc_client_services.h) the service empties the context's cache
// through the RPC client; otherwise qoxPurgePassphraseCache_internal.
QOXError qoxPurgePassphraseCache_back(QOXContext* context);
// Removes the whole cache of the context; 0.
QOXError qoxPurgePassphraseCache_internal(QOXContext* context);
// Removes the entries whose expiry has passed.
void qoxExpirePassphraseCache(QOXContext* context);

// The clock the cache reads; null restores QOXGetTime. For tests.
using QOXPassphraseCacheClock = QOXTime (*)();
void qoxSetPassphraseCacheClock(QOXPassphraseCacheClock clock);

#endif  // OSTRAK_FOUNDATION_SDK_PASSPHRASE_CACHE_H_
