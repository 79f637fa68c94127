// The stand-in of QOXVerifyReaderServices (pipeline/verify_reader_services.h):
// what the armor parser gets while no signature module has registered.
#include "pipeline/verify_reader_services.h"

#include "foundation/service_table.h"

namespace {

// Makes no reader: kQOXErrFeatureNotAvailable, both heads left as they are.
void* qoxVerifyReaderCreate(QOXContext*, QOXPipeline**, QOXPipeline**, QOXEnv*, const QOXFifoDesc*, const uint8_t*,
                            size_t, bool, const QOXDecodeCallbacks*, void*, QOXError* error) {
  if (error != nullptr) *error = kQOXErrFeatureNotAvailable;
  return nullptr;
}

constexpr QOXVerifyReaderServices kStandIns = {.qoxVerifyReaderCreate = qoxVerifyReaderCreate};

constinit QOXServiceSlot<QOXVerifyReaderServices> gSlot{&kStandIns};

}  // namespace

const QOXVerifyReaderServices& qoxVerifyReaderServices() { return gSlot.get(); }

const QOXVerifyReaderServices* qoxRegisterVerifyReaderServices(const QOXVerifyReaderServices* table) {
  return gSlot.install(table);
}
