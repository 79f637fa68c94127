// What key submission asks of the client services' terminal dialogs, as a
// registered table: the signing-passphrase prompt that unlocks the server's
// TLS key and the random-data dialog that tops up the random pool at
// start-up (keyservice/tls_server_key.h).
//
// The client services sit above key submission; they register the real
// dialogs from qoxClientRegister (client/client_registration.h). Until then
// each member answers as a dialog the user cancelled: kQOXErrUserAbort.
//
// Registration and doubles: foundation/service_table.h.
//
// Thread safety: called on the initial thread during start-up; the dialogs
// themselves run one at a time per process.
#ifndef OSTRAK_KEYSERVICE_CLIENT_DIALOG_SERVICES_H_
#define OSTRAK_KEYSERVICE_CLIENT_DIALOG_SERVICES_H_

#include <cstdint>

#include "foundation/errors.h"

struct QOXContext;
struct QOXKeyDB;
struct QOXKeyDBObj;

struct QOXClientDialogServices {
  // QOXSigningPassphraseDialog over the key database with the prompt text,
  // the passphrase output, the default key *ioKey and find-matching-key on.
  // 0 with *ioKey the key the passphrase unlocked and *outPassphrase a
  // secure block of the context (the caller wipes and frees it with
  // QOXFreeData); kQOXErrUserAbort when the user cancelled;
  // kQOXErrNoSecretKeyFound when the database holds no secret key; other
  // codes of the dialog. *outPassphrase is cleared first.
  QOXError (*QOXSigningPassphraseDialog)(QOXContext* context, QOXKeyDB* keyDB, const char* prompt,
                                         QOXKeyDBObj** ioKey, char** outPassphrase);
  // QOXCollectRandomDataDialog: keystrokes until the global random pool
  // holds the bits wanted. 0, or the dialog's failure code.
  QOXError (*QOXCollectRandomDataDialog)(QOXContext* context, uint32_t neededEntropyBits);
};

const QOXClientDialogServices& qoxClientDialogServices();
const QOXClientDialogServices* qoxRegisterClientDialogServices(const QOXClientDialogServices* table);

#endif  // OSTRAK_KEYSERVICE_CLIENT_DIALOG_SERVICES_H_
