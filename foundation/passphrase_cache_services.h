// What freeing a context asks of the passphrase cache, as a registered
// table.
//
// A context may hold a passphrase cache (foundation/sdk/passphrase_cache.h),
// which lives above the context record; freeing the context empties it
// through this table, which the cache registers at start-up
// (foundation/sdk/sdk_registration.h). Until then the entry in
// foundation/passphrase_cache_services.cc does nothing: no cache can have been
// made without the cache's code.
//
// Registration and doubles: foundation/service_table.h.
#ifndef OSTRAK_FOUNDATION_PASSPHRASE_CACHE_SERVICES_H_
#define OSTRAK_FOUNDATION_PASSPHRASE_CACHE_SERVICES_H_

#include "foundation/errors.h"

struct QOXContext;

struct QOXPassphraseCacheServices {
  // Removes every entry of the context's cache and frees the cache.
  QOXError (*QOXPurgePassphraseCache)(QOXContext* context);
};

// The table in force, and its registration (foundation/service_table.h).
const QOXPassphraseCacheServices& qoxPassphraseCacheServices();
const QOXPassphraseCacheServices* qoxRegisterPassphraseCacheServices(const QOXPassphraseCacheServices* table);

#endif  // OSTRAK_FOUNDATION_PASSPHRASE_CACHE_SERVICES_H_
