// The armor parser as the binary parser reaches it: a literal of type 'r'
// (text holding an armored message) answered with kQOXCommitRecurse gets an
// armor parser behind the binary parser.
//
// The call is a member of a registered table (foundation/service_table.h),
// so the binary parser needs nothing of the armor parser's code: until the
// armor parser registers, the stand-in (armor_parser_seams.cc) makes none
// and says -11975 (feature not available).
//
// Thread safety: calls through the table may come from any thread.
#ifndef OSTRAK_PIPELINE_ARMOR_PARSER_SERVICES_H_
#define OSTRAK_PIPELINE_ARMOR_PARSER_SERVICES_H_

#include "foundation/errors.h"
#include "pipeline/decode_callbacks.h"
#include "pipeline/fifo.h"
#include "pipeline/pipeline.h"

struct QOXEnv;

struct QOXArmorParserServices {
  // An armor parser linked at *head (its next slot takes what head held);
  // returns that next slot, or null with the reason in *error.
  QOXPipeline** (*qoxParseAscCreate)(QOXContext* context, QOXPipeline** head, QOXEnv* env,
                                     const QOXFifoDesc* fifoDesc, const QOXDecodeCallbacks* callbacks,
                                     void* callbackArg, QOXError* error);
};

const QOXArmorParserServices& qoxArmorParserServices();
const QOXArmorParserServices* qoxRegisterArmorParserServices(const QOXArmorParserServices* table);

#endif  // OSTRAK_PIPELINE_ARMOR_PARSER_SERVICES_H_
