// The message pipeline's stand-ins: what each member of QOXPipelineServices
// (foundation/pipeline_services.h) answers while the pipeline has not
// registered its table. The pipeline registers qoxCharmaps,
// qoxQOXFileReadCreate, qoxEncodeInternal, qoxDecodeInternal and the
// whole-buffer calls of the key database's import and export
// (pipeline/pipeline_registration.cc); their stand-ins answer only a
// program that does not wire.
#include "foundation/pipeline_services.h"
#include "foundation/sdk_errors.h"
#include "foundation/service_table.h"

namespace {

struct IdentityMap {
  uint8_t bytes[256];
  constexpr IdentityMap() : bytes{} {
    for (int i = 0; i < 256; ++i) bytes[i] = static_cast<uint8_t>(i);
  }
};
constexpr IdentityMap kIdentityMap;

// Only "noconv" (without case) is known: identity maps. Any other name gives
// kQOXErrUnknownCharset, a null argument -12000.
QOXError qoxCharmaps(const char* name, size_t length, const uint8_t** firstMap, const uint8_t** secondMap) {
  if (name == nullptr || firstMap == nullptr || secondMap == nullptr) return kQOXErrBadParams;
  static constexpr char kNoConv[] = "noconv";
  if (length != sizeof(kNoConv) - 1) return kQOXErrUnknownCharset;
  for (size_t i = 0; i < length; ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kNoConv[i]) return kQOXErrUnknownCharset;
  }
  *firstMap = kIdentityMap.bytes;
  *secondMap = kIdentityMap.bytes;
  return kQOXErrNoErr;
}

// Null: no module can be made (the file reference reports kQOXErrOutOfMemory).
QOXPipeModule* qoxQOXFileReadCreate(QOXContext*, QOXFile*, int) { return nullptr; }

// kQOXErrFeatureNotAvailable; the list stays the caller's.
QOXError qoxEncodeInternal(QOXContext*, QOXOptionListRef) { return kQOXErrFeatureNotAvailable; }
QOXError qoxDecodeInternal(QOXContext*, QOXOptionListRef) { return kQOXErrFeatureNotAvailable; }

// kQOXErrFeatureNotAvailable with every output cleared: no input is read,
// no PEM block decoded, no output written.
QOXError qoxSetupInputToBuffer(QOXContext*, QOXOptionListRef, uint8_t** outBuffer, size_t* outLength,
                               bool* outAllocated) {
  if (outBuffer != nullptr) *outBuffer = nullptr;
  if (outLength != nullptr) *outLength = 0;
  if (outAllocated != nullptr) *outAllocated = false;
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxRemovePEMEncoding(QOXContext*, const uint8_t*, size_t, uint8_t** outBuffer, size_t* outLength) {
  if (outBuffer != nullptr) *outBuffer = nullptr;
  if (outLength != nullptr) *outLength = 0;
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxOutputBufferByOptionList(QOXContext*, const uint8_t*, size_t, QOXOptionListRef, uint32_t) {
  return kQOXErrFeatureNotAvailable;
}

constexpr QOXPipelineServices kStandIns = {
    .qoxCharmaps = qoxCharmaps,
    .qoxQOXFileReadCreate = qoxQOXFileReadCreate,
    .qoxEncodeInternal = qoxEncodeInternal,
    .qoxDecodeInternal = qoxDecodeInternal,
    .qoxSetupInputToBuffer = qoxSetupInputToBuffer,
    .qoxRemovePEMEncoding = qoxRemovePEMEncoding,
    .qoxOutputBufferByOptionList = qoxOutputBufferByOptionList,
};

constinit QOXServiceSlot<QOXPipelineServices> gSlot{&kStandIns};

}  // namespace

const QOXPipelineServices& qoxPipelineServices() { return gSlot.get(); }

const QOXPipelineServices* qoxRegisterPipelineServices(const QOXPipelineServices* table) {
  return gSlot.install(table);
}
