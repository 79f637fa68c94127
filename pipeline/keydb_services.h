// The key operations the pipeline's session-key stages ask of the key
// database, as one table: encrypting a session key to a recipient's key
// (the PKE module, pipeline/esk.h) and decrypting one with a secret key
// (qoxEskPKdecrypt).
//
// Each member is named after the key database's operation and has its
// arguments (format 1: an RFC 2440 session-key block, the algorithm byte
// and the key, whose checksum the operation adds or checks and strips; the
// result is a new block of the key's context memory that the caller frees
// with QOXFreeData). The stand-ins in pipeline/keydb_seams.cc answer -11975
// (feature not available) and leave the outputs cleared. Tests install
// doubles with ostrak_test::ScopedServices.
//
// Thread safety: calls through the table may come from any thread; the
// functions installed run on the job's thread.
#ifndef OSTRAK_PIPELINE_KEYDB_SERVICES_H_
#define OSTRAK_PIPELINE_KEYDB_SERVICES_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

struct QOXKeyDBObj;

struct QOXPipelineKeyDBServices {
  // Encrypts data with the key (or its encryption subkey).
  QOXError (*qoxKeyEncrypt)(QOXKeyDBObj* key, const uint8_t* data, size_t length, int format,
                            uint8_t** outBuffer, size_t* outLength);
  // Unlocks the key's secret part (passphrase, or the passphrase cache) and
  // decrypts data with it.
  QOXError (*qoxKeyDecrypt)(QOXKeyDBObj* key, const char* passphrase, size_t passphraseLength, bool hashed,
                            uint32_t cacheTimeOut, bool cacheGlobally, const uint8_t* data, size_t length,
                            int format, uint8_t** outBuffer, size_t* outLength);
};

const QOXPipelineKeyDBServices& qoxPipelineKeyDBServices();
const QOXPipelineKeyDBServices* qoxRegisterPipelineKeyDBServices(const QOXPipelineKeyDBServices* table);

// The session-key block format of the key operations.
inline constexpr int kQOXSessionKeyFormat = 1;

#endif  // OSTRAK_PIPELINE_KEYDB_SERVICES_H_
