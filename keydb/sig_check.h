// Signature checking: which signatures and CRLs of a key database are good.
//
// A run over a key set checks every signature not tried yet (or, with the
// check-all flag, every one), checks the CRLs keys carry and marks the X.509
// signatures those CRLs revoke, records each result in the trust byte of the
// signature's or CRL's info record (0x20 tried, 0x40 checked and good, 0x10
// revoked by a CRL; a check rewrites only 0x20 and 0x40), and ends by
// recalculating trust (QOXCalculateTrust through keydb/sig_check_services.h).
// Every change of a trust byte marks the database dirty.
//
// What is hashed follows RFC 2440 5.2.4: a key (in its public form) as 0x99,
// two length bytes and the body; a user ID in version-4 signatures as 0xB4
// (0xD1 for a user attribute), four length bytes and the body, in older ones
// the body alone; anything else its body. Then the signature's hashed
// material and, for version 4, the trailer 04 FF and its length.
//
// A front-end database asks its back end (keydb/key_db_back.h) to run the
// checks and refreshes the keys that changed.
//
// Memory: one signature check takes its temporary memory from the
// context's scratch pool and cuts it back when done.
//
// Thread safety: none; a run works on one key database in its context's
// thread.
#ifndef OSTRAK_KEYDB_SIG_CHECK_H_
#define OSTRAK_KEYDB_SIG_CHECK_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/events.h"

struct QOXHashContext;
struct QOXKeyDB;
struct QOXKeyDBObj;
struct QOXKeySet;
struct QOXSigSpec;

// Called for every signature a walk tried, with the check's result; a
// non-zero answer ends the walk and is returned.
using QOXSigCheckCallback = QOXError (*)(void* argument, QOXKeyDBObj* sig, bool valid);

// Checks the set's signatures and CRLs (signers looked up in otherDB too,
// which may be null; equal to the set's own it counts as absent), then
// returns QOXCalculateTrust. With a handler, one null event (done, total) per
// signature tried; a non-zero answer stops the run and is returned.
// kQOXErrBadParams for an invalid set or a non-null otherDB that is not a
// key database; the gate's error; the first error that is not about a key.
QOXError QOXCheckKeyRingSigs(QOXKeySet* set, QOXKeyDB* otherDB, bool checkAll, QOXEventHandlerProcPtr handler,
                             void* userValue);
// The in-process run without the trust step; keys whose signatures changed
// are added to changedKeys when given.
QOXError qoxCheckKeyRingSigs_internal(QOXKeySet* set, QOXKeyDB* otherDB, bool checkAll,
                                      QOXEventHandlerProcPtr handler, void* userValue, QOXKeySet* changedKeys);
// The number of checkable signatures, then the CRL pass (keys whose CRL
// state changed added to changedKeys when given).
QOXError qoxPrepareToCheckKeyRingSigs_internal(QOXKeySet* set, QOXKeyDB* otherDB, bool checkAll,
                                               uint32_t* outCount, QOXKeySet* changedKeys);
// The number of signatures of the set that would be checked and whose
// signer is known.
uint32_t qoxCountCheckableKeySigs(QOXKeySet* set, QOXKeyDB* otherDB, bool checkAll, bool revocationsOnly);
// The walk: the CRL pass (unless backEnd), then every real member signature
// on a member key or on a member child of one, checked in process or, with
// backEnd, by the set's back end.
QOXError qoxCheckKeySigs(QOXKeySet* set, QOXKeyDB* otherDB, bool checkAll, bool revocationsOnly, bool backEnd,
                         QOXSigCheckCallback callback, void* argument, QOXKeySet* changedKeys);
// The check of one signature of db: outTried when a check ran, outChanged
// when its trust byte changed, outValid when it is good (each cleared
// first). A signature whose signer is unknown loses its tried and good
// bits.
QOXError qoxCheckSig_internal(QOXKeyDB* db, QOXKeyDBObj* sig, QOXKeyDB* otherDB, bool checkAll,
                              bool revocationsOnly, uint8_t* outTried, uint8_t* outChanged, uint8_t* outValid);
// One signature as a run with the check-all flag clear would check it
// (front ends through their back end). The registered member qoxCheckOneSig
// of keydb/sig_check_services.h.
QOXError qoxCheckOneSig(QOXKeyDBObj* sig, QOXKeyDB* otherDB);

// Feeds one object's packet into the hash, framed as above. kQOXErrBadParams
// for a null hash or object; the database's last error when the packet
// cannot be had.
QOXError qoxHashObj(QOXHashContext* hash, QOXKeyDBObj* object, bool version4);
// Feeds the chain above the object (not the object itself) from the
// top-level key down.
QOXError qoxHashObjParents(QOXHashContext* hash, QOXKeyDBObj* object, bool version4);
// Hashes the object with its parents under the sigSpec's hash and version and
// makes the signature body (qoxMakeSig): its length, with the body (the
// sigSpec's context memory) in *outSig, or a negative error;
// kQOXErrUnknownHashNumber when no hash context can be made for the sigSpec's
// hash.
int32_t qoxSignObj(QOXKeyDBObj* object, QOXSigSpec* sigSpec, uint8_t** outSig);
// An X.509 signature whose certificate verifies under the signer and
// rebuilds exactly the key, user ID and signature packets it lies under.
bool qoxSigX509Valid(QOXKeyDBObj* sig, QOXKeyDBObj* signer);

#endif  // OSTRAK_KEYDB_SIG_CHECK_H_
