// The entries of QOXStringToKeyServices (foundation/string_to_key_services.h)
// while the core has not registered its makers: no specifier is made.
#include "foundation/sdk_errors.h"
#include "foundation/service_table.h"
#include "foundation/string_to_key_services.h"

namespace {

// Null: no specifier.
QOXStringToKey* qoxS2Kcreate(QOXContext*, QOXRandomContext*, int) { return nullptr; }
QOXStringToKey* qoxS2KdefaultV3(QOXContext*) { return nullptr; }
QOXStringToKey* qoxS2Ksimple(QOXContext*, const QOXHashVTBL*) { return nullptr; }
// False: no specifier exists to be of the old version.
bool qoxS2KisOldVers(const QOXStringToKey*) { return false; }
// kQOXErrFeatureNotAvailable with the specifier null.
int32_t qoxS2Kdecode(QOXStringToKey** out, QOXContext*, const uint8_t*, size_t) {
  if (out != nullptr) *out = nullptr;
  return kQOXErrFeatureNotAvailable;
}

constexpr QOXStringToKeyServices kUnregistered = {
    .qoxS2Kcreate = qoxS2Kcreate,
    .qoxS2KdefaultV3 = qoxS2KdefaultV3,
    .qoxS2Ksimple = qoxS2Ksimple,
    .qoxS2KisOldVers = qoxS2KisOldVers,
    .qoxS2Kdecode = qoxS2Kdecode,
};

constinit QOXServiceSlot<QOXStringToKeyServices> gSlot{&kUnregistered};

}  // namespace

const QOXStringToKeyServices& qoxStringToKeyServices() { return gSlot.get(); }

const QOXStringToKeyServices* qoxRegisterStringToKeyServices(const QOXStringToKeyServices* table) {
  return gSlot.install(table);
}
