// The entry of QOXPassphraseCacheServices
// (foundation/passphrase_cache_services.h) while the cache has not
// registered its table.
#include "foundation/passphrase_cache_services.h"
#include "foundation/service_table.h"

namespace {

// Nothing to empty: 0.
QOXError QOXPurgePassphraseCache(QOXContext*) { return kQOXErrNoErr; }

constexpr QOXPassphraseCacheServices kUnregistered = {.QOXPurgePassphraseCache = QOXPurgePassphraseCache};

constinit QOXServiceSlot<QOXPassphraseCacheServices> gSlot{&kUnregistered};

}  // namespace

const QOXPassphraseCacheServices& qoxPassphraseCacheServices() { return gSlot.get(); }

const QOXPassphraseCacheServices* qoxRegisterPassphraseCacheServices(const QOXPassphraseCacheServices* table) {
  return gSlot.install(table);
}
