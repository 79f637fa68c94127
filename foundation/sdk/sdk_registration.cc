#include "foundation/sdk/sdk_registration.h"

#include "foundation/passphrase_cache_services.h"
#include "foundation/sdk/passphrase_cache.h"

namespace {

constexpr QOXPassphraseCacheServices kPassphraseCache = {.QOXPurgePassphraseCache = QOXPurgePassphraseCache};

}  // namespace

void qoxSDKRegister() { qoxRegisterPassphraseCacheServices(&kPassphraseCache); }
