// The stand-ins of the back end's side of the key database link
// (QOXKeyDBBackServices, keydb/front_end_services.h): while no link is
// registered a front-end key is found by no lookup and serves no operation.
#include "foundation/sdk_errors.h"
#include "foundation/service_table.h"
#include "keydb/front_end_services.h"

namespace {

// -11975 with the key null.
QOXError qoxGetKeyByKeyID_back(QOXKeyDB*, const QOXKeyID*, bool, bool, QOXKeyDBObj** outKey) {
  if (outKey != nullptr) *outKey = nullptr;
  return kQOXErrFeatureNotAvailable;
}

// -11975; the callers have cleared the outputs.
QOXError qoxKeyEncrypt_back(QOXKeyDBObj*, const uint8_t*, size_t, int, uint8_t**, size_t*) {
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxKeyDecrypt_back(QOXKeyDBObj*, const char*, size_t, bool, uint32_t, bool, const uint8_t*, size_t, int,
                            uint8_t**, size_t*) {
  return kQOXErrFeatureNotAvailable;
}
// -11975: no verdict.
int qoxKeyVerify_back(QOXKeyDBObj*, const uint8_t*, size_t, uint8_t, const uint8_t*, size_t, int) {
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxKeySign_back(QOXKeyDBObj*, const char*, size_t, bool, uint32_t, bool, uint8_t, const uint8_t*, size_t,
                         int, uint8_t**, size_t*) {
  return kQOXErrFeatureNotAvailable;
}
// False: no passphrase is known to unlock it.
bool qoxSecPassphraseOK_back(QOXKeyDBObj*, const char*, size_t, bool, uint32_t, bool) { return false; }
QOXError qoxSecProperties_back(QOXKeyDBObj*, bool*, bool*, int32_t*, int32_t*) { return kQOXErrFeatureNotAvailable; }
QOXError qoxKeyMaxSizes_back(QOXKeyDBObj*, size_t*, size_t*, size_t*, int) { return kQOXErrFeatureNotAvailable; }

constexpr QOXKeyDBBackServices kStandIns = {
    .qoxGetKeyByKeyID_back = qoxGetKeyByKeyID_back,
    .qoxKeyEncrypt_back = qoxKeyEncrypt_back,
    .qoxKeyDecrypt_back = qoxKeyDecrypt_back,
    .qoxKeyVerify_back = qoxKeyVerify_back,
    .qoxKeySign_back = qoxKeySign_back,
    .qoxSecPassphraseOK_back = qoxSecPassphraseOK_back,
    .qoxSecProperties_back = qoxSecProperties_back,
    .qoxKeyMaxSizes_back = qoxKeyMaxSizes_back,
};

constinit QOXServiceSlot<QOXKeyDBBackServices> gSlot{&kStandIns};

}  // namespace

const QOXKeyDBBackServices& qoxKeyDBBackServices() { return gSlot.get(); }

const QOXKeyDBBackServices* qoxRegisterKeyDBBackServices(const QOXKeyDBBackServices* table) {
  return gSlot.install(table);
}
