// Changing the passphrase that locks the secret part of a key or subkey.
//
// The option forms read the first option of the list as the old value and
// the second as the new one (each a Passphrase or a PasskeyBuffer, else
// kQOXErrBadParams; a new PasskeyBuffer makes the new value a passkey), and
// CachePassphrase wherever it stands; any other option type is
// kQOXErrBadParams. A value of length 0 counts as absent: an absent new
// value leaves the secret part unprotected.
//
// The worker unlocks a locked secret part with the old value taken as a
// passphrase (none: kQOXErrBadPassphrase), locks it again under the new
// value with string-to-key kind 5 for a passkey, 0 for an RSA key (the
// version-3 protection) and 3 otherwise, with the first known cipher of the
// key's preferred algorithms (the master key's for a subkey; the
// environment's default cipher when there is none), replaces the stored
// secret key packet, marks the database changed and, given a cache
// time-out, stores the new passkey in the passphrase cache under it and the
// global flag. Without a secret part: kQOXErrNoSecretKeyFound.
//
// The back-end entry runs through the key-database service link when it is
// up, else the worker on the back end's object named by ID; the option
// forms refresh a front-end key (the master key for a subkey) afterwards.
//
// Thread safety: none (the key database's context's thread).
#ifndef OSTRAK_KEYDB_KEY_PASSPHRASE_CHANGE_H_
#define OSTRAK_KEYDB_KEY_PASSPHRASE_CHANGE_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/option_list.h"

struct QOXContext;
struct QOXKeyDBObj;

QOXError qoxChangePassphraseInternal(QOXKeyDBObj* key, QOXOptionListRef optionList);
// A subkey that belongs to no key is kQOXErrBadParams; a deleted one
// kQOXErrObjectDeleted.
QOXError qoxChangeSubKeyPassphraseInternal(QOXKeyDBObj* subKey, QOXOptionListRef optionList);

QOXError qoxDoChangePassphrase_internal(QOXKeyDBObj* key, const char* oldPassphrase, size_t oldLength,
                                        const char* newPassphrase, size_t newLength, bool newIsPasskey,
                                        uint32_t cacheTimeOut, bool cacheGlobally);
QOXError qoxDoChangePassphrase_back(QOXContext* context, uintptr_t key, const char* oldPassphrase,
                                    size_t oldLength, const char* newPassphrase, size_t newLength,
                                    bool newIsPasskey, uint32_t cacheTimeOut, bool cacheGlobally);

#endif  // OSTRAK_KEYDB_KEY_PASSPHRASE_CHANGE_H_
