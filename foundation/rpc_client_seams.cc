// The key-database RPC client's stand-ins: what each member of
// QOXRPCClientServices (foundation/rpc_client_services.h) answers while the
// RPC client has not registered its table. No back end is started, so the
// toolkit runs everything in process.
#include "foundation/rpc_client_services.h"
#include "foundation/service_table.h"

namespace {

// 0: start-up goes on without a back end.
QOXError qoxSDKInitBackEnd(int) { return kQOXErrNoErr; }

// Null: there is no back-end pool to forward to.
QOXRandomContext* qoxRandomCreate_frontend(QOXContext*) { return nullptr; }

constexpr QOXRPCClientServices kStandIns = {
    .qoxSDKInitBackEnd = qoxSDKInitBackEnd,
    .qoxRandomCreate_frontend = qoxRandomCreate_frontend,
};

constinit QOXServiceSlot<QOXRPCClientServices> gSlot{&kStandIns};

}  // namespace

const QOXRPCClientServices& qoxRPCClientServices() { return gSlot.get(); }

const QOXRPCClientServices* qoxRegisterRPCClientServices(const QOXRPCClientServices* table) {
  return gSlot.install(table);
}
