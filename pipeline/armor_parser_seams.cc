// The stand-in of QOXArmorParserServices (pipeline/armor_parser_services.h):
// what the binary parser gets while no armor parser has registered.
#include "pipeline/armor_parser_services.h"

#include "foundation/service_table.h"

namespace {

// Makes no armor parser: -11975, and the slot keeps what it held.
QOXPipeline** qoxParseAscCreate(QOXContext*, QOXPipeline**, QOXEnv*, const QOXFifoDesc*, const QOXDecodeCallbacks*,
                                void*, QOXError* error) {
  if (error != nullptr) *error = kQOXErrFeatureNotAvailable;
  return nullptr;
}

constexpr QOXArmorParserServices kStandIns = {.qoxParseAscCreate = qoxParseAscCreate};

constinit QOXServiceSlot<QOXArmorParserServices> gSlot{&kStandIns};

}  // namespace

const QOXArmorParserServices& qoxArmorParserServices() { return gSlot.get(); }

const QOXArmorParserServices* qoxRegisterArmorParserServices(const QOXArmorParserServices* table) {
  return gSlot.install(table);
}
