// What a front-end key database asks its back end for lookups and key
// operations, as one registered table: the back end's side of the key
// database link (the `_back` calls). Each member takes the front end's own
// object and answers as the back end would answer the call for it.
//
// Until the link registers its table, every member answers with its
// stand-in in keydb/front_end_seams.cc: "feature not available"
// (kQOXErrFeatureNotAvailable) with its outputs cleared, so a front-end
// key is found by no lookup and serves no operation. This library makes no
// front end itself (the toolkit runs with the key-database service link
// off, so every database it makes is a back end).
//
// Registration and doubles: foundation/service_table.h.
//
// Thread safety: calls may come from any connection's context; registered
// functions must allow that.
#ifndef OSTRAK_KEYDB_FRONT_END_SERVICES_H_
#define OSTRAK_KEYDB_FRONT_END_SERVICES_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/keydb_services.h"

struct QOXKeyDB;
struct QOXKeyDBObj;

struct QOXKeyDBBackServices {
  // The key of a front-end database with that ID (permissions as
  // qoxGetKeyByKeyID_internal), as a local object.
  QOXError (*qoxGetKeyByKeyID_back)(QOXKeyDB* db, const QOXKeyID* keyID, bool allowDummies, bool allowDeleted,
                                    QOXKeyDBObj** outKey);
  // The key operations of keydb/key_ops.h for a front-end key; outputs are
  // cleared by the caller before the call.
  QOXError (*qoxKeyEncrypt_back)(QOXKeyDBObj* key, const uint8_t* data, size_t length, int format,
                                 uint8_t** outBuffer, size_t* outLength);
  QOXError (*qoxKeyDecrypt_back)(QOXKeyDBObj* key, const char* passphrase, size_t passphraseLength, bool hashed,
                                 uint32_t cacheTimeOut, bool cacheGlobally, const uint8_t* data, size_t length,
                                 int format, uint8_t** outBuffer, size_t* outLength);
  int (*qoxKeyVerify_back)(QOXKeyDBObj* key, const uint8_t* signature, size_t signatureLength, uint8_t hashAlgorithm,
                           const uint8_t* hash, size_t hashLength, int format);
  QOXError (*qoxKeySign_back)(QOXKeyDBObj* key, const char* passphrase, size_t passphraseLength, bool hashed,
                              uint32_t cacheTimeOut, bool cacheGlobally, uint8_t hashAlgorithm, const uint8_t* hash,
                              size_t hashLength, int format, uint8_t** outSignature, size_t* outLength);
  bool (*qoxSecPassphraseOK_back)(QOXKeyDBObj* key, const char* passphrase, size_t length, bool hashed,
                                  uint32_t cacheTimeOut, bool cacheGlobally);
  QOXError (*qoxSecProperties_back)(QOXKeyDBObj* key, bool* outLocked, bool* outKind5, int32_t* outCipherAlgorithm,
                                    int32_t* outKeyBits);
  QOXError (*qoxKeyMaxSizes_back)(QOXKeyDBObj* key, size_t* outMaxEncrypted, size_t* outMaxDecrypted,
                                  size_t* outMaxSignature, int format);
};

// The table in force, and its registration (foundation/service_table.h).
const QOXKeyDBBackServices& qoxKeyDBBackServices();
const QOXKeyDBBackServices* qoxRegisterKeyDBBackServices(const QOXKeyDBBackServices* table);

#endif  // OSTRAK_KEYDB_FRONT_END_SERVICES_H_
