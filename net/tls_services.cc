// The slot of QOXtlsServices (net/tls_session.h) and what each member
// answers in a program that has not wired the engine in (qoxTLSRegister):
// "feature not available" (kQOXErrFeatureNotAvailable), or nothing waiting.
#include "foundation/sdk_errors.h"
#include "foundation/service_table.h"
#include "net/tls_session.h"

namespace {

QOXError QOXtlsSetReceiveCallback(QOXtlsSession*, QOXtlsReceiveProc, intptr_t) { return kQOXErrFeatureNotAvailable; }
QOXError QOXtlsSetSendCallback(QOXtlsSession*, QOXtlsSendProc, intptr_t) { return kQOXErrFeatureNotAvailable; }
QOXError QOXtlsSetRemoteUniqueID(QOXtlsSession*, uint32_t) { return kQOXErrFeatureNotAvailable; }
QOXError QOXtlsHandshake(QOXtlsSession*) { return kQOXErrFeatureNotAvailable; }
QOXError QOXtlsSend(QOXtlsSession*, const void*, uint32_t) { return kQOXErrFeatureNotAvailable; }

// kQOXErrFeatureNotAvailable with nothing delivered.
QOXError QOXtlsReceive(QOXtlsSession*, void*, uint32_t* ioLength) {
  if (ioLength != nullptr) *ioLength = 0;
  return kQOXErrFeatureNotAvailable;
}

// 0: nothing waiting.
uint32_t QOXtlsReceiveBufferSize(QOXtlsSession*) { return 0; }

constexpr QOXtlsServices kStandIns = {
    .QOXtlsSetReceiveCallback = QOXtlsSetReceiveCallback,
    .QOXtlsSetSendCallback = QOXtlsSetSendCallback,
    .QOXtlsSetRemoteUniqueID = QOXtlsSetRemoteUniqueID,
    .QOXtlsHandshake = QOXtlsHandshake,
    .QOXtlsSend = QOXtlsSend,
    .QOXtlsReceive = QOXtlsReceive,
    .QOXtlsReceiveBufferSize = QOXtlsReceiveBufferSize,
};

constinit QOXServiceSlot<QOXtlsServices> gSlot{&kStandIns};

}  // namespace

const QOXtlsServices& qoxTLSServices() { return gSlot.get(); }

const QOXtlsServices* qoxRegisterTLSServices(const QOXtlsServices* table) { return gSlot.install(table); }
