// The passphrase and random-data dialogs: entry points and key selection.
//
// Every entry point takes a run of options ended by QOXOLastOption, which it
// consumes (foundation/sdk/sdk_entry_points.h): it builds one list from the
// run, runs the dialog and frees the list. It passes the entry gate first; an
// invalid context or a missing required argument gives -12000 after the run
// is released. The dialog then returns the list's own error, refuses an
// option outside its set (-12000, client/dialog_option_classes.h), gathers
// its options and runs its body (client/tty_dialogs.h). A cancel is -11987.
//
//   QOXPassphraseDialog         the passphrase output option is required
//                               (-11499 without it).
//   QOXKeyPassphraseDialog      the key is required.
//   QOXSigningPassphraseDialog  the key database and the output for the
//                               signing key are required; the output is
//                               cleared first. FindValidSecretKey chooses the
//                               key among the database's keys (the default
//                               key option, else the default private key
//                               option, else the first usable key): only
//                               shared keys: -11492 with the key in the
//                               output; no signing key: -11402; both before
//                               any prompt. Else the prompt runs, and on
//                               success the output holds the key that the
//                               passphrase unlocked.
//   QOXCollectRandomDataDialog  collects keystrokes until the global random
//                               pool holds the bits wanted (its minimum
//                               entropy when 0 is asked); 0 at once when it
//                               already does.
//
// Thread safety: one dialog at a time per process (client/tty_dialogs.h).
#ifndef OSTRAK_CLIENT_DIALOGS_H_
#define OSTRAK_CLIENT_DIALOGS_H_

#include <cstdint>

#include "foundation/errors.h"
#include "foundation/keydb_services.h"
#include "foundation/option_list.h"

struct QOXContext;

QOXError QOXPassphraseDialog(QOXContext* context, QOXOptionListRef firstOption, ...);
QOXError QOXKeyPassphraseDialog(QOXContext* context, QOXKeyDBObj* key, QOXOptionListRef firstOption, ...);
QOXError QOXSigningPassphraseDialog(QOXContext* context, QOXKeyDB* keyDB, QOXKeyDBObj** signingKey,
                                    QOXOptionListRef firstOption, ...);
QOXError QOXCollectRandomDataDialog(QOXContext* context, uint32_t neededEntropyBits, QOXOptionListRef firstOption,
                                    ...);

// The dialogs over a list that the caller keeps (the entry points' work
// after the list is built).
QOXError qoxPassphraseDialogInternal(QOXContext* context, QOXOptionListRef optionList);
QOXError qoxKeyPassphraseDialogInternal(QOXContext* context, QOXKeyDBObj* key, QOXOptionListRef optionList);
QOXError qoxSigningPassphraseDialogInternal(QOXContext* context, QOXKeyDB* keyDB, QOXKeyDBObj** signingKey,
                                            QOXOptionListRef optionList);
QOXError qoxCollectRandomDataDialogInternal(QOXContext* context, uint32_t neededEntropyBits,
                                            QOXOptionListRef optionList);

// Chooses the secret key for signing or decrypting among the keys of the set
// (key-database order). The target is the default key, else the default
// private key. A key qualifies when it can sign (decrypt); one whose secret
// part is split is shared. The result (cleared first):
//   an unshared qualifying key exists: the target when it qualifies (for
//     decrypting: and is not shared), else the first unshared one; 0;
//   only shared ones: the target when it qualifies, else the first shared
//     one; -11492 for signing, -11472 for decrypting;
//   none: -11402.
// An error reading "can sign"/"can decrypt" or walking the set is returned.
QOXError FindValidSecretKey(QOXKeySet* keySet, bool signing, QOXKeyDBObj* defaultPrivateKey,
                            QOXKeyDBObj* defaultKey, QOXKeyDBObj** result);

// The first key of the set (key-database order) that can sign (decrypt) and
// that the text unlocks; null when none.
QOXKeyDBObj* GetKeyForPassphrase(QOXKeySet* keySet, const char* text, bool signing);

#endif  // OSTRAK_CLIENT_DIALOGS_H_
