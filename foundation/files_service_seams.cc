// Seam bodies of foundation/files_services.h, one block per call; the key
// database and the message pipeline replace them.
#include <atomic>

#include "foundation/files_services.h"

namespace {
std::atomic<const QOXFilesServicesDouble*> gDouble{nullptr};
const QOXFilesServicesDouble* Double() { return gDouble.load(std::memory_order_acquire); }
}  // namespace

void qoxSetFilesServicesDouble(const QOXFilesServicesDouble* services) {
  gDouble.store(services, std::memory_order_release);
}

// --- seam: qoxGetKeyNumber (key database) ---
QOXError qoxGetKeyNumber(QOXKeyDBObj* key, int32_t property, int32_t* outValue) {
  if (auto* d = Double(); d != nullptr && d->getKeyNumber != nullptr)
    return d->getKeyNumber(key, property, outValue);
  if (outValue != nullptr) *outValue = 0;
  return kQOXErrFeatureNotAvailable;
}

// --- seam: qoxQOXFileReadCreate (message pipeline) ---
QOXPipeModule* qoxQOXFileReadCreate(QOXContext* context, QOXFile* file, int flag) {
  if (auto* d = Double(); d != nullptr && d->fileReadCreate != nullptr)
    return d->fileReadCreate(context, file, flag);
  return nullptr;
}
