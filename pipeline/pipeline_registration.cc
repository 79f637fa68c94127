#include "pipeline/pipeline_registration.h"

#include "foundation/pipeline_services.h"
#include "pipeline/armor_parse.h"
#include "pipeline/armor_parser_services.h"
#include "pipeline/charmaps.h"
#include "pipeline/file_read_pump.h"

namespace {

constexpr QOXArmorParserServices kArmorParser = {.qoxParseAscCreate = qoxParseAscCreate};

}  // namespace

void qoxPipelineRegister() {
  // The members not built here keep what is in force.
  static QOXPipelineServices table;
  table = qoxPipelineServices();
  table.qoxCharmaps = qoxCharmaps;
  table.qoxQOXFileReadCreate = qoxQOXFileReadCreate;
  qoxRegisterPipelineServices(&table);
  qoxRegisterArmorParserServices(&kArmorParser);
}
