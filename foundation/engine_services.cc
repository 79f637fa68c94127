// The entries of QOXEngineServices (foundation/engine_services.h) while the
// engine has not registered its table.
#include "foundation/engine_services.h"
#include "foundation/sdk_errors.h"
#include "foundation/service_table.h"

namespace {

// Nothing is fed: no bits credited.
uint32_t QOXGlobalRandomPoolAddKeystroke(uint32_t) { return 0; }
// Nothing is saved: 0.
QOXError qoxSaveGlobalRandomPool() { return kQOXErrNoErr; }
// The context is left alone: kQOXErrFeatureNotAvailable.
QOXError QOXFreeCFBContext(QOXCFBContext*) { return kQOXErrFeatureNotAvailable; }
// No copy: kQOXErrFeatureNotAvailable with the copy null.
QOXError QOXCopyCFBContext(const QOXCFBContext*, QOXCFBContext** outCopy) {
  if (outCopy != nullptr) *outCopy = nullptr;
  return kQOXErrFeatureNotAvailable;
}

constexpr QOXEngineServices kUnregistered = {
    .QOXGlobalRandomPoolAddKeystroke = QOXGlobalRandomPoolAddKeystroke,
    .qoxSaveGlobalRandomPool = qoxSaveGlobalRandomPool,
    .QOXFreeCFBContext = QOXFreeCFBContext,
    .QOXCopyCFBContext = QOXCopyCFBContext,
};

constinit QOXServiceSlot<QOXEngineServices> gSlot{&kUnregistered};

}  // namespace

const QOXEngineServices& qoxEngineServices() { return gSlot.get(); }

const QOXEngineServices* qoxRegisterEngineServices(const QOXEngineServices* table) { return gSlot.install(table); }
