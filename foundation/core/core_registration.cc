#include "foundation/core/core_registration.h"

#include "foundation/core/string_to_key.h"

namespace {

constexpr QOXStringToKeyServices kStringToKey = {
    .qoxS2Kcreate = qoxS2Kcreate,
    .qoxS2KdefaultV3 = qoxS2KdefaultV3,
    .qoxS2Ksimple = qoxS2Ksimple,
    .qoxS2KisOldVers = qoxS2KisOldVers,
    .qoxS2Kdecode = qoxS2Kdecode,
};

}  // namespace

void qoxCoreRegister() { qoxRegisterStringToKeyServices(&kStringToKey); }
