// The stand-ins of QOXPipelineKeyDBServices (pipeline/keydb_services.h):
// what the session-key stages get while no key operation is installed.
#include "pipeline/keydb_services.h"

#include "foundation/service_table.h"

namespace {

void Clear(uint8_t** outBuffer, size_t* outLength) {
  if (outBuffer != nullptr) *outBuffer = nullptr;
  if (outLength != nullptr) *outLength = 0;
}

// Encrypts nothing: -11975.
QOXError qoxKeyEncrypt(QOXKeyDBObj*, const uint8_t*, size_t, int, uint8_t** outBuffer, size_t* outLength) {
  Clear(outBuffer, outLength);
  return kQOXErrFeatureNotAvailable;
}

// Decrypts nothing: -11975.
QOXError qoxKeyDecrypt(QOXKeyDBObj*, const char*, size_t, bool, uint32_t, bool, const uint8_t*, size_t, int,
                       uint8_t** outBuffer, size_t* outLength) {
  Clear(outBuffer, outLength);
  return kQOXErrFeatureNotAvailable;
}

constexpr QOXPipelineKeyDBServices kStandIns = {.qoxKeyEncrypt = qoxKeyEncrypt, .qoxKeyDecrypt = qoxKeyDecrypt};

constinit QOXServiceSlot<QOXPipelineKeyDBServices> gSlot{&kStandIns};

}  // namespace

const QOXPipelineKeyDBServices& qoxPipelineKeyDBServices() { return gSlot.get(); }

const QOXPipelineKeyDBServices* qoxRegisterPipelineKeyDBServices(const QOXPipelineKeyDBServices* table) {
  return gSlot.install(table);
}
