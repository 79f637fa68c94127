// Revoking a key, a subkey or a signature (the signing maintenance
// operations of keydb/key_manage.h; signatures made through
// keydb/key_certify.h).
//
// The option forms (names ending in Internal) accept Passphrase,
// PasskeyBuffer and CachePassphrase only (kQOXErrBadParams for any other
// option), run the worker in process or, for a front-end object, the
// back-end entry, merge the key array it returns, and recalculate the trust
// of the whole database after a success.
//
// A key or subkey is revoked by its own (master) key when that has a secret
// part; otherwise by the first of its designated revokers (revocation-key
// subpackets, in order) that is present with a matching fingerprint, has the
// class bit 0x80 and a secret part and whose passphrase is accepted. With no
// such revoker the operation makes nothing and returns 0. A key already
// revoked or expired is left as it is (0).
//
// Thread safety: none (the key database's context's thread).
#ifndef OSTRAK_KEYDB_KEY_REVOKE_H_
#define OSTRAK_KEYDB_KEY_REVOKE_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/option_list.h"
#include "keydb/key_array.h"

struct QOXContext;
struct QOXKeyDBObj;

QOXError qoxRevokeKeyInternal(QOXKeyDBObj* key, QOXOptionListRef optionList);
QOXError qoxRevokeSubKeyInternal(QOXKeyDBObj* subKey, QOXOptionListRef optionList);
QOXError qoxRevokeSigInternal(QOXKeyDBObj* sig, QOXOptionListRef optionList);

// A version-3 key revocation (class 0x20) on the key; a subkey given here
// goes to qoxRevokeSubKey_internal.
QOXError qoxRevokeKey_internal(QOXKeyDBObj* key, const char* passphrase, size_t length, bool hashed,
                               uint32_t cacheTimeOut, bool cacheGlobally);
// A subkey revocation (class 0x28) on the subkey; kQOXErrObjectDeleted for a
// deleted subkey.
QOXError qoxRevokeSubKey_internal(QOXKeyDBObj* subKey, const char* passphrase, size_t length, bool hashed,
                                  uint32_t cacheTimeOut, bool cacheGlobally);
// A certification revocation (class 0x30) by the signature's maker, made on
// the object that holds the signature, non-exportable when the signature is:
// kQOXErrObjectDeleted for a deleted signature, 0 for one already revoked,
// kQOXErrItemNotFound when its maker is not a real key.
QOXError qoxRevokeSig_internal(QOXKeyDBObj* sig, const char* passphrase, size_t length, bool hashed,
                               uint32_t cacheTimeOut, bool cacheGlobally);

// Back-end entries (keydb/key_db_back.h): the worker on the object named
// by ID, its key recorded for the other connections. With the key-database
// service link on they answer kQOXErrFeatureNotAvailable: the RPC client
// has no stubs for them. The key revocation
// (which takes a subkey too) answers the key array of the key holding the
// object; the signature revocation the key array starting at the object
// that holds the signature.
QOXError qoxRevokeKey_back(QOXContext* context, uintptr_t key, const char* passphrase, size_t length, bool hashed,
                           uint32_t cacheTimeOut, bool cacheGlobally, KeyArrayWord** outArray,
                           size_t* outArrayLength);
QOXError qoxRevokeSig_back(QOXContext* context, uintptr_t sig, const char* passphrase, size_t length, bool hashed,
                           uint32_t cacheTimeOut, bool cacheGlobally, KeyArrayWord** outArray,
                           size_t* outArrayLength);

#endif  // OSTRAK_KEYDB_KEY_REVOKE_H_
