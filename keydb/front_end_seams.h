// What a front-end key database asks its back end for lookups and key
// operations. No front end is made in this library (the toolkit runs with
// the key-database service link off, so every database is a back end);
// these answer for a front end all the same, each with a defined refusal,
// and are the one place the back-end forwarding goes.
//
// Thread safety: pure functions.
#ifndef OSTRAK_KEYDB_FRONT_END_SEAMS_H_
#define OSTRAK_KEYDB_FRONT_END_SEAMS_H_

#include <cstdint>

#include "foundation/errors.h"
#include "foundation/keydb_services.h"

struct QOXKeyDB;
struct QOXKeyDBObj;

// kQOXErrFeatureNotAvailable with the key null.
QOXError qoxFrontEndGetKeyByKeyID(QOXKeyDB* db, const QOXKeyID* keyID, bool allowDummies, bool allowDeleted,
                                  QOXKeyDBObj** outKey);
// kQOXErrFeatureNotAvailable: the answer of every key operation (encrypt,
// decrypt, verify, sign, secret-part properties, maximum sizes) asked of a
// front-end key; the operations clear their outputs first.
QOXError qoxFrontEndKeyOperation(QOXKeyDBObj* key);

#endif  // OSTRAK_KEYDB_FRONT_END_SEAMS_H_
