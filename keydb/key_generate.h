// Key generation: new key pairs (a key with its first user ID and
// self-signatures) and new subkeys under an existing key.
//
// Three layers, as for key maintenance (keydb/key_manage.h):
//   - the option-list forms qoxGenerateKeyInternal, qoxGenerateSubKeyInternal
//     and qoxKeyEntropyNeededInternal, registered in the foundation's
//     key-database table (foundation/keydb_services.h) and reached through
//     QOXGenerateKey, QOXGenerateSubKey and QOXGetKeyEntropyNeeded. Each
//     checks the list against its option set (kQOXErrBadParams for any
//     other type), reads the options in a fixed order (a missing mandatory
//     one kQOXErrOptionNotFound, a repeated one kQOXErrRedundantOptions) and
//     leaves the list to the caller;
//   - the worker qoxDoGenerateKey_internal, arguments unpacked, on a back-end
//     database;
//   - the back-end entry qoxDoGenerateKey_back: through the key-database
//     service link when it is up, else the worker on the back end's objects
//     named by ID, answering with the new object's ID and the key array of
//     the key that holds it. A front end asks it again for as long as it
//     answers kQOXKeyGenInProgress, raising a key-generation event ('.')
//     through the caller's handler between the calls.
//
// A legacy key is an RSA (algorithm 1) master key requested without the
// KeyFlags option: a version-3 key whose self-signature keeps the
// environment's signature version and carries no version-4 subpacket. Every
// other key, and every subkey, is version 4.
//
// Ownership: the new key or subkey belongs to its database; the out object
// is only a reference. Secret numbers live in secure memory and are wiped
// when their objects are destroyed.
//
// Thread safety: none (the key database's context's thread); the random
// pool and the passphrase cache take their own locks.
#ifndef OSTRAK_KEYDB_KEY_GENERATE_H_
#define OSTRAK_KEYDB_KEY_GENERATE_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/events.h"
#include "foundation/option_list.h"
#include "keydb/key_array.h"

struct QOXContext;
struct QOXKeyDB;
struct QOXKeyDBObj;
struct QOXKeySet;

// What a back end answers while a generation it runs for a front end is
// still working; the front end asks again.
inline constexpr QOXError kQOXKeyGenInProgress = -11471;
// The progress character the front end reports while it waits.
inline constexpr uint32_t kQOXKeyGenWaitState = '.';

// Everything a generation is asked for except the databases, the master key
// and the two key sets. Pointers are borrowed for the call.
struct QOXKeyGenParams {
  uint8_t algorithm = 0;  // RFC 2440 public-key algorithm number
  uint32_t bits = 0;
  uint32_t creation = 0;  // QOXTime; 0: now (both plus the environment's offset)
  uint16_t validityDays = 0;  // 0: never expires
  const uint8_t* name = nullptr;  // first user ID of a master key
  size_t nameLength = 0;
  const char* passphrase = nullptr;  // protection of the new secret part; length 0: none
  size_t passphraseLength = 0;
  bool passkey = false;  // the passphrase bytes are a passkey
  const char* masterPassphrase = nullptr;  // unlocks the master key of a subkey
  size_t masterPassphraseLength = 0;
  uint32_t cacheTimeOut = 0;  // seconds in the passphrase cache, 0: not cached
  bool cacheGlobally = false;
  QOXEventHandlerProcPtr handler = nullptr;  // key-generation events; in process only
  void* userValue = nullptr;
  bool fast = false;
  bool checkEntropy = true;  // refuse when the pool holds too little entropy
  uint8_t recipientRequestClass = 0;
  uint8_t revokerClass = 0;
  const uint32_t* preferredAlgorithms = nullptr;  // one cipher number per 32-bit value
  size_t preferredAlgorithmsLength = 0;           // in bytes
  const uint8_t* preferredKeyServer = nullptr;
  size_t preferredKeyServerLength = 0;
  uint32_t keyFlags = 0;
  bool keyFlagsGiven = false;
  uint32_t keyServerPreferences = 0;
  bool keyServerPreferencesGiven = false;
};

// --- Option-list forms ---
// Options: KeyDBRef, KeyGenParams and KeyGenName mandatory; Passphrase (else
// PasskeyBuffer), CachePassphrase, CreationDate, Expiration, EventHandler,
// PreferredAlgorithms, PreferredKeyServer, KeyServerPreferences, KeyFlags,
// AdditionalRecipientRequestKeySet, RevocationKeySet, KeyGenFast and
// KeyGenUseExistingEntropy optional. kQOXErrBadParams for a null out key or
// database; the out key is cleared once the options are read.
QOXError qoxGenerateKeyInternal(QOXKeyDBObj** outKey, QOXOptionListRef optionList);
// Options: KeyGenMasterKey and KeyGenParams mandatory; Passphrase (else
// PasskeyBuffer), CachePassphrase, CreationDate, Expiration, EventHandler,
// KeyFlags, KeyGenFast and KeyGenUseExistingEntropy optional. The
// passphrase protects the subkey and must unlock the master key. A revoked
// master key gives kQOXErrKeyRevoked, an expired one kQOXErrKeyExpired.
QOXError qoxGenerateSubKeyInternal(QOXKeyDBObj** outSubKey, QOXOptionListRef optionList);
// Random bits the generation the options describe draws (KeyGenParams
// mandatory; KeyFlags, KeyGenFast, KeyGenUseExistingEntropy): 0 with
// KeyGenUseExistingEntropy set; kQOXErrBadParams (as a count) for an
// option outside that set; -1 (0xFFFFFFFF) when an option cannot be read.
uint32_t qoxKeyEntropyNeededInternal(QOXContext* context, QOXOptionListRef optionList);

// --- Worker ---
// Generates in the back-end database db: a master key (master null) or a
// subkey of master. Steps: the algorithm must sign (master key) or encrypt
// (subkey), else kQOXErrBadParams; operating-system random data goes to the
// pool; with checkEntropy, kQOXErrOutOfEntropy when the pool's estimate is
// below what the generation draws; the secret key is generated (progress
// through genProgress), locked with a passphrase of non-zero length
// (string-to-key kind 5 for a passkey, 0 for RSA, 3 otherwise; the first
// preferred cipher the registry knows) and its passkey cached; the key pair
// (keydb/key_create.h) or, after the master key's secret part is unlocked
// (kQOXErrBadPassphrase without a passphrase or with a wrong one), the
// subkey pair is made. A pair whose self-signatures cannot be made is taken
// out of the database again and the error returned. On success the new
// object is in *outKey and the database is marked changed.
QOXError qoxDoGenerateKey_internal(QOXKeyDB* db, QOXKeyDBObj* master, const QOXKeyGenParams& params,
                                   QOXKeySet* recipientRequestKeys, QOXKeySet* revocationKeys,
                                   QOXKeyDBObj** outKey);

// --- Back-end entry ---
// The two sets as flat key lists of the back-end database (keydb/key_set_flat.h);
// master 0 for a master key. The new object's ID and the key array of the
// top-level key that holds it (a block of the context's memory the caller
// frees); outputs cleared on failure. The new key is recorded as changed for
// the database's other connections. kQOXErrBadParams for an ID that names
// no database or key.
QOXError qoxDoGenerateKey_back(QOXContext* context, uintptr_t db, uintptr_t master, const QOXKeyGenParams& params,
                               const uintptr_t* recipientRequestKeys, size_t recipientRequestLength,
                               const uintptr_t* revocationKeys, size_t revocationLength, uintptr_t* outKey,
                               KeyArrayWord** outArray, size_t* outArrayLength);

// --- Progress ---
// What the key generator reports progress to: the context, and the caller's
// handler (or none) with its user value; `answer` keeps the handler's first
// non-zero answer.
struct QOXKeyGenRecord {
  QOXContext* context;
  QOXEventHandlerProcPtr handler;
  void* userValue;
  QOXError answer;
};
// The generator's progress callback (crypto/pkalg.h): with a handler, a
// key-generation event carrying the state, any options the handler added
// freed, and the handler's result (a negative one stops the generation);
// without one, 0. The generator reports a stop as running out of memory,
// so the worker returns the handler's answer kept in the record instead.
int genProgress(void* record, int state);

#endif  // OSTRAK_KEYDB_KEY_GENERATE_H_
