// The options a key states in its own signatures: designated revocation
// keys (direct-key signatures, class 0x1F), the preferences and flags of
// its user IDs' self-signatures, and which user ID is primary.
//
// Forms as in keydb/key_manage.h: the option-list form (Internal) checks
// the option types against its set (kQOXErrBadParams otherwise), reads
// them, checks the object and runs the worker (_internal) in process or the
// back-end entry (_back) for a front-end object, whose key is refreshed
// afterwards. After a successful change of key options the trust of the
// whole database is recalculated and its result returned.
//
// Times: T is the current time plus the environment's signature-time
// offset (setting 1015, hours).
//
// Failures: a function that fails returns the first error; a new
// self-signature replaces an old one only once it exists, so a signing
// that fails leaves the key's current self-signatures in force.
//
// Thread safety: none (the key database's context's thread).
#ifndef OSTRAK_KEYDB_KEY_OPTIONS_H_
#define OSTRAK_KEYDB_KEY_OPTIONS_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/option_list.h"
#include "foundation/option_types.h"
#include "keydb/key_manage.h"

struct QOXContext;
struct QOXKeyDBObj;

// The option set of adding and of updating key options.
inline constexpr QOXOptionType kQOXKeyOptionsSet[] = {
    kQOXOptionType_Passphrase,          kQOXOptionType_Passkey,
    kQOXOptionType_CachePassphrase,     kQOXOptionType_RevocationKeySet,
    kQOXOptionType_PreferredAlgorithms, kQOXOptionType_PreferredKeyServer,
    kQOXOptionType_KeyServerPreferences, kQOXOptionType_KeyFlags};
inline constexpr uint32_t kQOXKeyOptionsSetCount = sizeof kQOXKeyOptionsSet / sizeof kQOXKeyOptionsSet[0];

// --- Designated revokers ---
// Options: RevocationKeySet (mandatory) and the passphrase options; the
// other key options of the set are accepted and not read. The key must be
// neither revoked (kQOXErrKeyRevoked) nor expired (kQOXErrKeyExpired). For
// each key of the set in turn the key signs itself a direct-key signature
// carrying one revocation-key subpacket (the option's class, the revoker's
// algorithm and 20-byte fingerprint) and the revocable subpacket false; the
// first failure stops the walk and is returned (signatures already made
// stay).
QOXError qoxAddKeyOptionsInternal(QOXKeyDBObj* key, QOXOptionListRef optionList);
// records: recordCount revocation-key records of kQOXRevocationKeyLength
// bytes (class, algorithm, fingerprint).
QOXError qoxAddKeyOptions_internal(QOXKeyDBObj* key, const uint8_t* records, size_t recordCount,
                                   const QOXPassphraseArgs& pass);
QOXError qoxAddKeyOptions_back(QOXContext* context, uintptr_t key, const uint8_t* records, size_t recordCount,
                               const QOXPassphraseArgs& pass);

// --- Renewing self-signatures ---
// What a renewal sets. Preferred algorithms and key server not given are
// written empty; flags and preferences only when given (4 bytes, first
// byte bits 0-7).
struct QOXKeyOptionsUpdate {
  const uint8_t* preferredAlgorithms = nullptr;  // one byte per algorithm
  size_t preferredAlgorithmsLength = 0;
  bool preferredAlgorithmsGiven = false;
  const uint8_t* preferredKeyServer = nullptr;
  size_t preferredKeyServerLength = 0;
  bool preferredKeyServerGiven = false;
  uint32_t keyFlags = 0;
  bool keyFlagsGiven = false;
  uint32_t keyServerPreferences = 0;
  bool keyServerPreferencesGiven = false;
};
// Options: PreferredAlgorithms (32-bit values, their low bytes taken),
// PreferredKeyServer, KeyFlags, KeyServerPreferences and the passphrase
// options. The key must be neither revoked nor expired; with none of the
// four nothing is done. The passphrase must unlock the key
// (kQOXErrBadPassphrase). Each real user ID then gets a new self-signature
// at T + 1 with the passphrase, copied from its latest self-signature (or a
// new class 0x10 one); once it exists, the old one is revoked by a
// certification revocation at T. The first error is returned.
QOXError qoxUpdateKeyOptionsInternal(QOXKeyDBObj* key, QOXOptionListRef optionList);
QOXError qoxUpdateKeyOptions_internal(QOXKeyDBObj* key, const QOXKeyOptionsUpdate& update,
                                      const QOXPassphraseArgs& pass);
QOXError qoxUpdateKeyOptions_back(QOXContext* context, uintptr_t key, const QOXKeyOptionsUpdate& update,
                                  const QOXPassphraseArgs& pass);

// --- Primary user ID ---
// Options: the passphrase options. The object must be a user ID
// (kQOXErrBadParams), not deleted (kQOXErrObjectDeleted), of a key neither
// revoked nor expired. A key without secret part only changes the local
// mark (qoxSetPrimaryUserID_internal). Otherwise the passphrase must unlock
// the key; the chosen user ID is signed anew at T from its latest
// self-signature (or a new class 0x10 one) with the primary flag 1 and the
// passphrase, and on failure the error is returned with nothing changed;
// its old self-signature is marked deleted, it is moved to the front of the
// key's user IDs and the database marked changed. Then every other user ID
// whose latest self-signature says primary is signed anew at T with the
// flag 0, its old one marked deleted; the first failure is returned.
QOXError qoxCertifyPrimaryUserIDInternal(QOXKeyDBObj* userID, QOXOptionListRef optionList);
QOXError qoxCertifyPrimaryUserID_internal(QOXKeyDBObj* userID, const QOXPassphraseArgs& pass);
QOXError qoxCertifyPrimaryUserID_back(QOXContext* context, uintptr_t userID, const QOXPassphraseArgs& pass);
// The user ID (checked as above) is moved to the front of its key's user
// IDs; when it is not already the primary one of its kind it is marked
// primary and the database marked changed.
QOXError qoxSetPrimaryUserID_internal(QOXKeyDBObj* userID);
QOXError qoxSetPrimaryUserID_back(QOXContext* context, uintptr_t userID);

#endif  // OSTRAK_KEYDB_KEY_OPTIONS_H_
