// The signature verification reader as the armor parser reaches it for a
// clear-signed message: one record carrying two modules, the text head
// (takes the canonical signed text) and the signature head (takes what a
// binary message parser makes of the signature block).
//
// The call is a member of a registered table (foundation/service_table.h):
// until the signature module registers its reader, the stand-in
// (verify_reader_seams.cc) makes none and says kQOXErrFeatureNotAvailable,
// so a clear-signed message fails its decode while every other input
// decodes.
//
// Thread safety: calls through the table may come from any thread.
#ifndef OSTRAK_PIPELINE_VERIFY_READER_SERVICES_H_
#define OSTRAK_PIPELINE_VERIFY_READER_SERVICES_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "pipeline/decode_callbacks.h"
#include "pipeline/fifo.h"
#include "pipeline/pipeline.h"

struct QOXEnv;

struct QOXVerifyReaderServices {
  // Stores the text head in *textHead and the signature head in *sigHead
  // and returns the reader's record (freed once both heads are torn down),
  // or null with the reason in *error. hashes (count bytes, may be null)
  // are the hash algorithm numbers the message announced; text: the signed
  // data is text (hashed with CR LF line ends).
  void* (*qoxVerifyReaderCreate)(QOXContext* context, QOXPipeline** textHead, QOXPipeline** sigHead, QOXEnv* env,
                                 const QOXFifoDesc* fifoDesc, const uint8_t* hashes, size_t count, bool text,
                                 const QOXDecodeCallbacks* callbacks, void* callbackArg, QOXError* error);
};

const QOXVerifyReaderServices& qoxVerifyReaderServices();
const QOXVerifyReaderServices* qoxRegisterVerifyReaderServices(const QOXVerifyReaderServices* table);

#endif  // OSTRAK_PIPELINE_VERIFY_READER_SERVICES_H_
