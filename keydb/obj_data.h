// The packets of objects: each object's data record (ObjData,
// keydb/key_db_obj.h) holds a copy of its whole packet, header included, in
// the key database's object pool, with a hold count.
//
// Ownership: records and bytes belong to the object pool and are never
// freed one by one; replacing an object's packet leaves the old bytes in the
// pool until the database goes.
//
// Thread safety: none (the database's context's thread).
#ifndef OSTRAK_KEYDB_OBJ_DATA_H_
#define OSTRAK_KEYDB_OBJ_DATA_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

struct QOXKeyDB;
struct QOXKeyDBObj;
struct ObjData;

// A new data record holding a copy of the bytes, hold count 1. Null, with
// the pool cut back to its state before the call and kQOXErrOutOfMemory recorded as the
// database's last error, when memory runs out (kQOXErrBadParams recorded for a length
// that does not fit the record).
ObjData* qoxNewObjData(QOXKeyDB* db, const uint8_t* bytes, size_t length);
// Replaces the bytes of the object's data record with a pool copy (the
// record is kept). kQOXErrOutOfMemory when the copy cannot be had; the database's last
// recorded error when the object has no data record.
QOXError qoxUpdateObjData(QOXKeyDBObj* object, const uint8_t* bytes, size_t length);
// Stores a data record as the object's packet.
void qoxSetObjData(QOXKeyDBObj* object, ObjData* data);
// The object's packet bytes and their length; null and 0 when it has none.
// A back end holds them; a front end asks its back end on first use
// (keydb/front_end.h) and keeps the copy until the object is refreshed.
// Null, with kQOXErrOutOfMemory recorded, when the back end cannot supply
// them.
const uint8_t* qoxFetchObject(QOXKeyDBObj* object, size_t* outLength);
// One more / one less (not below 0) on the hold count of the object's data
// record, if it has one.
void qoxObjectHold(QOXKeyDBObj* object);
void qoxObjectRelease(QOXKeyDBObj* object);

#endif  // OSTRAK_KEYDB_OBJ_DATA_H_
