#include "client/client_registration.h"

#include "client/dialog_options.h"
#include "client/dialogs.h"
#include "foundation/option_list.h"
#include "foundation/sdk/option_constructors.h"
#include "keyservice/client_dialog_services.h"

namespace {

// The signing-passphrase dialog as the daemon asks for it: the prompt (when
// given), the passphrase output, the default key and find-matching-key.
QOXError SigningPassphraseDialog(QOXContext* context, QOXKeyDB* keyDB, const char* prompt, QOXKeyDBObj** ioKey,
                                 char** outPassphrase) {
  if (outPassphrase != nullptr) *outPassphrase = nullptr;
  if (ioKey == nullptr || outPassphrase == nullptr) return kQOXErrBadParams;
  QOXKeyDBObj* defaultKey = *ioKey;
  return QOXSigningPassphraseDialog(
      context, keyDB, ioKey, prompt != nullptr ? QOXOUIDialogPrompt(context, prompt) : kQOXNullOptionList,
      QOXOUIOutputPassphrase(context, outPassphrase),
      defaultKey != nullptr ? QOXOUIDefaultKey(context, defaultKey) : kQOXNullOptionList,
      QOXOUIFindMatchingKey(context, true), QOXOLastOption(context));
}

QOXError CollectRandomDataDialog(QOXContext* context, uint32_t neededEntropyBits) {
  return QOXCollectRandomDataDialog(context, neededEntropyBits, QOXOLastOption(context));
}

constexpr QOXClientDialogServices kDialogs = {
    .QOXSigningPassphraseDialog = SigningPassphraseDialog,
    .QOXCollectRandomDataDialog = CollectRandomDataDialog,
};

}  // namespace

void qoxClientRegister() { qoxRegisterClientDialogServices(&kDialogs); }
