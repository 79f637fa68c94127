#include "crypto/engine_registration.h"

#include "crypto/cfb.h"
#include "crypto/rand_seed_file.h"
#include "crypto/random_pool.h"
#include "foundation/engine_services.h"

namespace {

constexpr QOXEngineServices kEngine = {
    .QOXGlobalRandomPoolAddKeystroke = QOXGlobalRandomPoolAddKeystroke,
    .qoxSaveGlobalRandomPool = qoxSaveGlobalRandomPool,
    .QOXFreeCFBContext = QOXFreeCFBContext,
    .QOXCopyCFBContext = QOXCopyCFBContext,
};

}  // namespace

void qoxEngineRegister() { qoxRegisterEngineServices(&kEngine); }
