// The back-end entry points of the key database: what a front-end database
// (keydb/front_end.h) asks of the back end that holds its objects.
//
// Each entry takes the caller's context first, names back-end databases and
// objects by ID, and answers in shapes that can cross a process boundary:
// IDs, key arrays (keydb/key_array.h) for changed keys, flat key lists
// (keydb/key_set_flat.h) for changed sets, copies of packets and info records.
// With the key-database service link on (foundation/rpc_client_services.h)
// an entry sends its arguments to the service through the RPC stub of the
// same name ending in `_backRPC`; otherwise it runs the in-process work (an
// `_internal` function) on the back end's objects. In process an ID is the
// address of the back-end database or object itself (qoxBackEndObjectID),
// never read from outside bytes.
//
// Ownership: every buffer, array and list handed out is a block of the
// given context's memory that the caller frees (QOXFreeData); a failed call
// hands out nothing (outputs cleared). A database made by an entry lives
// until qoxFreeKeyDB_back releases it.
//
// The random pool's, the seed file's and the passphrase cache's entries
// live with their work: crypto/random_pool.h, crypto/rand_seed_file.h,
// crypto/x917.h, foundation/sdk/passphrase_cache.h; so does trust
// propagation's: keydb/trust_propagation.h.
//
// Thread safety: as the databases (one context's thread at a time).
#ifndef OSTRAK_KEYDB_KEY_DB_BACK_H_
#define OSTRAK_KEYDB_KEY_DB_BACK_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/keydb_services.h"
#include "keydb/key_array.h"

struct PFLFileSpec;
struct QOXContext;
struct QOXKeyDB;
struct QOXKeyDBObj;

// The in-process ID of a back-end object or database: its address.
inline uintptr_t qoxBackEndObjectID(const QOXKeyDBObj* object) { return reinterpret_cast<uintptr_t>(object); }
inline uintptr_t qoxBackEndDBID(const QOXKeyDB* db) { return reinterpret_cast<uintptr_t>(db); }

// --- Databases ---

// A new empty back-end database (qoxNewKeyDB_internal); its ID.
QOXError qoxNewKeyDB_back(QOXContext* context, uintptr_t* outDB);
// A back-end database read from a buffer of key packets
// (qoxImportKeyBinary_internal): its ID, its number of top-level objects and
// the key array of all of them. The database is freed when the array cannot
// be made.
QOXError qoxImportKeyBinary_back(QOXContext* context, const uint8_t* buffer, size_t length, uintptr_t* outDB,
                                 uint32_t* outKeyCount, KeyArrayWord** outArray, size_t* outArrayLength);
// The key array of all the database's top-level objects and their number;
// the whole database is recorded as changed for the other connections.
// kQOXErrOutOfMemory when the array cannot be made; the database stays (the
// front end that asked still holds it).
QOXError qoxKeyDBArray_back(QOXContext* context, uintptr_t db, uint32_t* outKeyCount, KeyArrayWord** outArray,
                            size_t* outArrayLength);
// What other connections changed since the context's connection last
// asked (qoxUpdateKeyDB_internal): the number of keys whose objects
// changed, the key array of those keys, and the flat list of the keys whose
// trust changed (null and 0 when none). Nothing, and 0, for a connection
// without a record.
QOXError qoxUpdateKeyDB_back(QOXContext* context, uintptr_t db, uint32_t* outNewKeyCount, KeyArrayWord** outArray,
                             size_t* outArrayLength, uintptr_t** outChanged, size_t* outChangedLength);
// Releases one reference of the database (qoxKeyDBDestroy_internal); while
// others remain, the context's connection's notification record goes. The
// release flush's error, or 0.
QOXError qoxFreeKeyDB_back(QOXContext* context, uintptr_t db);
// Opens a ring pair (qoxOpenKeyDBFile_internal, keydb/key_files.h): the
// database's ID, its number of top-level objects and the key array of all
// of them. The database is freed when the array cannot be made.
QOXError qoxOpenKeyDBFile_back(QOXContext* context, uint32_t openFlags, const PFLFileSpec* publicSpec,
                               const PFLFileSpec* privateSpec, uintptr_t* outDB, uint32_t* outKeyCount,
                               KeyArrayWord** outArray, size_t* outArrayLength);
// Flushes the database (qoxKeyDBFlush_internal) collecting the keys that
// changed, which are recorded for the other connections and handed back as
// a flat key list (null and 0 when none).
QOXError qoxKeyDBFlush_back(QOXContext* context, uintptr_t db, uintptr_t** outChanged, size_t* outChangedLength);

// --- Objects ---

// A copy of the object's whole packet; kQOXErrItemNotFound when it has none
// (a dummy key), kQOXErrOutOfMemory.
QOXError qoxFetchObjectData_back(QOXContext* context, uintptr_t object, uint8_t** outBuffer, size_t* outLength);
// A copy of the object's info record, as a byte block of the record's size
// (KeyInfo, UserIDInfo, SigInfo, CRLInfo or UnkInfo, keydb/key_db_obj.h);
// the references it holds are the back end's, which the receiver maps or
// clears. kQOXErrOutOfMemory.
QOXError qoxFetchKeyInfo_back(QOXContext* context, uintptr_t object, uint8_t** outBuffer, size_t* outLength);
// qoxGetKeyByKeyID_internal in the database: the found key's ID (0 with the
// error when none).
QOXError qoxGetKeyByKeyID_back(QOXContext* context, uintptr_t db, const QOXKeyID* keyID, bool allowDummies,
                               bool allowDeleted, uintptr_t* outKey);
// Copies the object (of a back-end database, named by ID) into the database
// with its ancestors (qoxKeyDBAddObject_internal): the copy's ID and the key
// array of the top-level key holding it (one key).
QOXError qoxKeyDBAddObject_back(QOXContext* context, uintptr_t db, uintptr_t object, uintptr_t* outCopy,
                                KeyArrayWord** outArray, size_t* outArrayLength);
// qoxKeyDBRemoveObject_internal for a real object, its key first recorded
// for the other connections; 0 and nothing done for a deleted or dummy one.
QOXError qoxKeyDBRemoveObject_back(QOXContext* context, uintptr_t db, uintptr_t object);
// Copies the keys of a flat key list (keydb/key_set_flat.h) of the source
// database into the destination (qoxCopyKeys_internal); when asked, the
// flat list of the keys the copy names there (a block the caller frees).
QOXError qoxCopyKeys_back(QOXContext* context, uintptr_t sourceDB, const uintptr_t* keys, size_t keysLength,
                          uintptr_t destinationDB, bool wantChanged, uintptr_t** outChanged,
                          size_t* outChangedLength);

// --- Signature checking (keydb/sig_check.h), in keydb/sig_check_back.cc ---

// The set of the listed keys of the database checked in process
// (qoxCheckKeyRingSigs_internal, signers also looked up in otherDB, 0 for
// none; no trust step): the flat list of the keys whose signatures changed,
// also recorded for the other connections.
QOXError qoxCheckKeyRingSigs_back(QOXContext* context, uintptr_t db, const uintptr_t* keys, size_t keysLength,
                                  uintptr_t otherDB, bool checkAll, uintptr_t** outChanged,
                                  size_t* outChangedLength);
// qoxPrepareToCheckKeyRingSigs_internal on the listed keys: the number of
// checkable signatures and the flat list of the keys whose CRL state
// changed, also recorded for the other connections.
QOXError qoxPrepareToCheckKeyRingSigs_back(QOXContext* context, uintptr_t db, const uintptr_t* keys,
                                           size_t keysLength, uintptr_t otherDB, bool checkAll, uint32_t* outCount,
                                           uintptr_t** outChanged, size_t* outChangedLength);
// qoxCheckSig_internal on the signature of the database: its three results.
QOXError qoxCheckSig_back(QOXContext* context, uintptr_t db, uintptr_t sig, uintptr_t otherDB, bool checkAll,
                          bool revocationsOnly, uint8_t* outTried, uint8_t* outChanged, uint8_t* outValid);

// --- Key operations (keydb/key_ops.h), the key named by ID ---

QOXError qoxKeyEncrypt_back(QOXContext* context, uintptr_t key, const uint8_t* data, size_t length, int format,
                            uint8_t** outBuffer, size_t* outLength);
QOXError qoxKeyDecrypt_back(QOXContext* context, uintptr_t key, const char* passphrase, size_t passphraseLength,
                            bool hashed, uint32_t cacheTimeOut, bool cacheGlobally, const uint8_t* data,
                            size_t length, int format, uint8_t** outBuffer, size_t* outLength);
int qoxKeyVerify_back(QOXContext* context, uintptr_t key, const uint8_t* signature, size_t signatureLength,
                      uint8_t hashAlgorithm, const uint8_t* hash, size_t hashLength, int format);
QOXError qoxKeySign_back(QOXContext* context, uintptr_t key, const char* passphrase, size_t passphraseLength,
                         bool hashed, uint32_t cacheTimeOut, bool cacheGlobally, uint8_t hashAlgorithm,
                         const uint8_t* hash, size_t hashLength, int format, uint8_t** outSignature,
                         size_t* outLength);
bool qoxSecPassphraseOK_back(QOXContext* context, uintptr_t key, const char* passphrase, size_t length, bool hashed,
                             uint32_t cacheTimeOut, bool cacheGlobally);
QOXError qoxSecProperties_back(QOXContext* context, uintptr_t key, bool* outLocked, bool* outKind5,
                               int32_t* outCipherAlgorithm, int32_t* outKeyBits);
QOXError qoxKeyMaxSizes_back(QOXContext* context, uintptr_t key, size_t* outMaxEncrypted, size_t* outMaxDecrypted,
                             size_t* outMaxSignature, int format);

#endif  // OSTRAK_KEYDB_KEY_DB_BACK_H_
