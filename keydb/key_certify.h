// Making a signature on an object of a key database with a key's secret
// part: the two steps every key-maintenance operation that signs shares
// (revocations, designated revokers, added user IDs and attributes,
// certifications; keydb/key_manage.h).
//
//   qoxPrepareSigner   checks that a signature can be made (pool entropy,
//                      a secret signing key, the passphrase unlocks it) and
//                      hands out signature settings of the class,
//                      carrying the passphrase;
//   sCertifyObject     fits the settings to the object (version 4
//                      self-certifications of a DSA key carry the key's
//                      preferred algorithms and key expiration; a key
//                      revocation is version 3), signs the object
//                      (qoxSignObject, keydb/key_create.h) and marks the
//                      database changed.
//
// A caller adds its own subpackets to the settings between the two.
//
// Ownership: the settings handed out are the caller's until it is given
// to sCertifyObject, which frees it on every path (qoxSigSpecDestroy
// otherwise).
//
// Thread safety: none (the key database's context's thread); the random
// pool and the passphrase cache take their own locks.
#ifndef OSTRAK_KEYDB_KEY_CERTIFY_H_
#define OSTRAK_KEYDB_KEY_CERTIFY_H_

#include <cstdint>

#include "foundation/errors.h"
#include "keydb/key_manage.h"

struct QOXKeyDBObj;
struct QOXSigSpec;

// Signer preparation, in order:
//   - the global random pool holds its minimum entropy, else
//     kQOXErrOutOfEntropy;
//   - a passphrase of length 0 counts as none (the cache is asked);
//   - the signer is a key or subkey with a secret part and the signing use
//     (without the time test, revoked subkeys not counted), else
//     kQOXErrNoSecretKeyFound;
//   - the passphrase (or passkey) unlocks the secret part, directly or
//     through the cache with the given time-out and global flag, else
//     kQOXErrBadPassphrase;
//   - signature settings of the class for the signer (kQOXErrOutOfMemory when
//     it cannot be made) with the passphrase and the passkey flag.
// *outSpec is null on every error.
QOXError qoxPrepareSigner(QOXKeyDBObj* signer, uint8_t sigClass, const QOXPassphraseArgs& pass,
                          QOXSigSpec** outSpec);

// Certifies the object with the settings (its signer is the settings'
// key) and frees the settings:
//   - the object is self-certified when the signer is the object, one of
//     its parents, or the key that holds it;
//   - a signer whose algorithm is not RSA, certifying itself with class
//     0x10, gets version-4 settings with its preferred-algorithms
//     subpacket (when it has one) and, when the key expires, a
//     key-expiration subpacket of expiration minus creation (seconds);
//   - a key revocation (0x20) of a top-level key is made version 3;
//   - the object is signed (qoxSignObject), the database marked changed.
// The signing result.
QOXError sCertifyObject(QOXSigSpec* spec, QOXKeyDBObj* object);

#endif  // OSTRAK_KEYDB_KEY_CERTIFY_H_
