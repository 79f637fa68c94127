// The dialogs' table (keyservice/client_dialog_services.h) and what its
// members answer while the client services have not registered them.
#include "keyservice/client_dialog_services.h"

#include "foundation/service_table.h"

namespace {

// kQOXErrUserAbort: no dialog can be shown; the passphrase stays unset.
QOXError SigningPassphraseDialog(QOXContext*, QOXKeyDB*, const char*, QOXKeyDBObj**, char** outPassphrase) {
  if (outPassphrase != nullptr) *outPassphrase = nullptr;
  return kQOXErrUserAbort;
}

// kQOXErrUserAbort: no keystrokes can be collected.
QOXError CollectRandomDataDialog(QOXContext*, uint32_t) { return kQOXErrUserAbort; }

constexpr QOXClientDialogServices kStandIns = {
    .QOXSigningPassphraseDialog = SigningPassphraseDialog,
    .QOXCollectRandomDataDialog = CollectRandomDataDialog,
};

constinit QOXServiceSlot<QOXClientDialogServices> gSlot{&kStandIns};

}  // namespace

const QOXClientDialogServices& qoxClientDialogServices() { return gSlot.get(); }

const QOXClientDialogServices* qoxRegisterClientDialogServices(const QOXClientDialogServices* table) {
  return gSlot.install(table);
}
