// The terminal forms of the passphrase and random-data dialogs, run by the
// entry points (client/dialogs.h) once they have gathered the options, and
// their support functions. Output goes to standard output; input comes from
// the keyboard (client/keyboard.h) through the line reader
// (client/tty_input.h). A cancel (^D, the end of input, SIGINT) is -11987.
//
//   random data         prints the request and an indicator, and reads keys
//                       (each one's timing feeds the global random pool) until
//                       the pool holds the entropy wanted. Without a terminal
//                       (end of input) it cancels at once.
//   signing passphrase  lists the usable signing keys of mKeySet, prompts,
//                       and reads passphrases (500-byte secure buffers) until
//                       one unlocks the chosen key (mDefaultKey; the first
//                       key in validity order when none is chosen), passes
//                       the length and quality minimums, or the user cancels.
//   key passphrase      a key whose secret part is split: -11492. A key whose
//                       secret part needs a passphrase: 0 without prompting
//                       and without an output. Otherwise the output receives
//                       an empty passphrase (a one-byte secure block).
//   passphrase          nothing is shown at a terminal: 0, no output.
//
// On success the caller owns the passphrase buffer named by
// mOutputPassphrase and wipes and frees it (secFree); on any failure the
// dialog has wiped and freed it and cleared the output.
//
// Thread safety: one dialog at a time per process: the random-data dialog
// refuses a second collection while one runs (-11983), and the keyboard
// serialises the line readers.
#ifndef OSTRAK_CLIENT_TTY_DIALOGS_H_
#define OSTRAK_CLIENT_TTY_DIALOGS_H_

#include <cstddef>
#include <cstdint>

#include "client/dialog_option_classes.h"
#include "foundation/errors.h"
#include "foundation/keydb_services.h"

struct QOXContext;

// The passphrase buffer: at most this many bytes, NUL included.
inline constexpr size_t kQOXPassphraseBufferSize = 500;
// GetKeyString's text: a user ID of up to 256 bytes and the key's kind.
inline constexpr size_t kQOXKeyStringSize = 300;

// The per-call record of the passphrase dialogs (zeroed at entry).
struct _GPP {
  char* pszPassPhrase;      // the first passphrase buffer (the output)
  char* pszPassPhraseConf;  // the second (confirmation) buffer
  uint32_t spare[2];
  QOXContext* context;
  CQOXDialogOptions* options;
};

// --- Dialog bodies (null options: -12000) ---
QOXError qoxCollectRandomDataDialogPlatform(QOXContext* context, CQOXRandomDataDialogOptions* options);
QOXError qoxSigningPassphraseDialogPlatform(QOXContext* context, CQOXSigningPassphraseDialogOptions* options);
QOXError qoxKeyPassphraseDialogPlatform(QOXContext* context, CQOXKeyPassphraseDialogOptions* options);
QOXError qoxPassphraseDialogPlatform(QOXContext* context, CQOXPassphraseDialogOptions* options);

// 0: the network library is present.
QOXError qoxCheckNetworklibAvailability();

// --- Support functions ---
// False after printing "Passphrase is not of sufficient length. Please
// choose another." or "... quality ..." (no line end) when a minimum is set
// and the text is below it.
bool PassphraseLengthAndQualityOK(const CQOXPassphraseDialogOptions* options, const char* text);
// Checks the text against the key: 0 after storing the key where
// mPassphraseKeyPtr points; else -11500, after "Bad Passphrase: Please
// re-enter\n" unless mFindMatchingKey is set and the text unlocks another
// signing key of mKeySet. gpp->options is a CQOXKeySetPassphraseDialogOptions.
QOXError ValidateSigningPhrase(_GPP* gpp, const char* text, QOXKeyDBObj* key);
// Prints "\n%s\n" with the key text of every key of mKeySet, in validity
// order, that is secret, not revoked, not expired and can sign: 0, -11987
// when none is, or the walk's error.
QOXError InitSigningKeyComboBox(CQOXKeySetPassphraseDialogOptions* options);
// The primary user ID, "   (", "RSA/" or "DSS/" with the bits or
// "Unknown/Unknown", ")": cut to the buffer, NUL-terminated.
void GetKeyString(QOXKeyDBObj* key, char* text, size_t size);
// A cleared secure block of the context's memory manager; null on failure.
char* secAlloc(QOXContext* context, size_t size);
// Zeroes the text's strlen bytes and frees it; null does nothing.
void secFree(char* text);
// Wipes and frees the second passphrase (ClearPassphrases) or both
// (FreePassphrases), clearing the pointers.
void ClearPassphrases(_GPP* gpp);
void FreePassphrases(_GPP* gpp);
// A terminal has no edit box and no message box: nothing happens (0).
void WipeEditBox();
QOXError QOXclMessageBox();
// The passphrase's quality, 0-100.
uint32_t QOXEstimatePassphraseQuality(const char* text);
// Nothing for 0 and -11987; otherwise prints the code's text with
// "%s: QOX Error". Returns 0.
QOXError QOXsdkUIErrorBox(QOXError code);

#endif  // OSTRAK_CLIENT_TTY_DIALOGS_H_
