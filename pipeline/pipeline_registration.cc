#include "pipeline/pipeline_registration.h"

#include "foundation/pipeline_services.h"
#include "pipeline/armor_parse.h"
#include "pipeline/armor_parser_services.h"
#include "pipeline/charmaps.h"
#include "pipeline/decode.h"
#include "pipeline/encode.h"
#include "pipeline/file_read_pump.h"
#include "pipeline/io_setup.h"
#include "pipeline/sig_verify.h"
#include "pipeline/verify_reader_services.h"

namespace {

constexpr QOXArmorParserServices kArmorParser = {.qoxParseAscCreate = qoxParseAscCreate};

// The verification reader of the signature module, as the armor parser
// calls it.
void* VerifyReaderCreate(QOXContext* context, QOXPipeline** textHead, QOXPipeline** sigHead, QOXEnv* env,
                         const QOXFifoDesc* fifoDesc, const uint8_t* hashes, size_t count, bool text,
                         const QOXDecodeCallbacks* callbacks, void* callbackArg, QOXError* error) {
  QOXVerifyReader* reader = qoxVerifyReaderCreate(context, textHead, sigHead, env, fifoDesc, hashes,
                                                  static_cast<uint32_t>(count), text, callbacks, callbackArg);
  if (reader == nullptr && error != nullptr) *error = kQOXErrOutOfMemory;
  return reader;
}
constexpr QOXVerifyReaderServices kVerifyReader = {.qoxVerifyReaderCreate = VerifyReaderCreate};

}  // namespace

void qoxPipelineRegister() {
  // The members not built here keep what is in force.
  static QOXPipelineServices table;
  table = qoxPipelineServices();
  table.qoxCharmaps = qoxCharmaps;
  table.qoxQOXFileReadCreate = qoxQOXFileReadCreate;
  table.qoxEncodeInternal = qoxEncodeInternal;
  table.qoxSetupInputToBuffer = qoxSetupInputToBuffer;
  table.qoxRemovePEMEncoding = qoxRemovePEMEncoding;
  table.qoxOutputBufferByOptionList = qoxOutputBufferByOptionList;
  table.qoxDecodeInternal = qoxDecodeInternal;
  qoxRegisterPipelineServices(&table);
  qoxRegisterArmorParserServices(&kArmorParser);
  qoxRegisterVerifyReaderServices(&kVerifyReader);
}
