#include "net/tls_registration.h"

#include "net/tls_internal.h"
#include "net/tls_key_work.h"
#include "net/tls_session.h"

namespace {

constexpr QOXtlsServices kEngine = {
    .QOXtlsSetReceiveCallback = QOXtlsSetReceiveCallback,
    .QOXtlsSetSendCallback = QOXtlsSetSendCallback,
    .QOXtlsSetRemoteUniqueID = QOXtlsSetRemoteUniqueID,
    .QOXtlsHandshake = QOXtlsHandshake,
    .QOXtlsSend = QOXtlsSend,
    .QOXtlsReceive = QOXtlsReceive,
    .QOXtlsReceiveBufferSize = QOXtlsReceiveBufferSize,
};

}  // namespace

void qoxTLSRegister() {
  qoxRegisterTLSServices(&kEngine);
  qoxTLSRegisterHandshake();
  qoxTLSRegisterKeyWork();
}
