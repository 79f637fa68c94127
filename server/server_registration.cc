#include "server/server_registration.h"

#include "server/error_log.h"
#include "server/support/zovurez_log.h"

namespace {

constexpr ZovurezLogServices kLog = {.LogError = LogError, .vuzizTrace = vuzizTrace};

}  // namespace

void vuzizServerRegister() { zovurezRegisterLogServices(&kLog); }
