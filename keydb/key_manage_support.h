// Steps shared by the key-maintenance operations (keydb/key_manage.h):
// reading their options, the revoked and expired refusals, unlocking a
// secret part, the trust recalculation that follows a change, and the
// passkey block of the back end.
//
// Thread safety: none (the key database's context's thread).
#ifndef OSTRAK_KEYDB_KEY_MANAGE_SUPPORT_H_
#define OSTRAK_KEYDB_KEY_MANAGE_SUPPORT_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/option_list.h"
#include "keydb/key_manage.h"

struct QOXKeyDBObj;

// The passphrase arguments of a worker; a null passphrase has length 0.
inline QOXPassphraseArgs qoxPassphraseArgs(const char* passphrase, size_t length, bool hashed, uint32_t cacheTimeOut,
                                           bool cacheGlobally) {
  QOXPassphraseArgs pass;
  pass.bytes = passphrase;
  pass.length = passphrase != nullptr ? length : 0;
  pass.hashed = hashed;
  pass.cacheTimeOut = cacheTimeOut;
  pass.cacheGlobally = cacheGlobally;
  return pass;
}

// kQOXErrBadParams for an option outside the set; else the passphrase options.
QOXError qoxReadPassphraseOptions(QOXOptionListRef list, const QOXOptionType* allowed, uint32_t allowedCount,
                                  QOXPassphraseArgs* out);
// kQOXErrKeyRevoked for a revoked key, kQOXErrKeyExpired for an expired one, else 0.
QOXError qoxKeyUsableForChange(QOXKeyDBObj* key);
// Unlocks the key's own secret part with the value, or the cache when the
// length is 0 (keydb/key_ops.h, foundation/sdk/passphrase_cache.h):
// 0, kQOXErrBadPassphrase, or without a secret part the database's last error
// (kQOXErrNoSecretKeyFound when none is recorded).
QOXError qoxUnlockKey(QOXKeyDBObj* key, const char* passphrase, size_t length, bool hashed, uint32_t cacheTimeOut,
                      bool cacheGlobally);
// QOXCalculateTrust over the root set of the object's database.
QOXError qoxRecalculateTrust(QOXKeyDBObj* object);
// The passkey of an in-process key as a secure block of its context's
// memory (QOXFreeData) of the locking cipher's key length.
QOXError qoxGetPasskeyBlock(QOXKeyDBObj* key, const char* passphrase, size_t length, uint8_t** outBuffer,
                            size_t* outLength);

#endif  // OSTRAK_KEYDB_KEY_MANAGE_SUPPORT_H_
