// Seams for the key-database services of foundation/keydb_services.h. One
// block per call; the key database replaces them. Without a double every validity test says
// "not valid" and every other call answers -11975 ("feature not available"),
// so no caller ever works on an object that does not exist yet.
#include "foundation/keydb_services.h"

#include <atomic>

namespace {

std::atomic<const QOXKeyDBServicesDouble*> gDouble{nullptr};

const QOXKeyDBServicesDouble* Double() { return gDouble.load(std::memory_order_acquire); }

}  // namespace

void qoxSetKeyDBServicesDouble(const QOXKeyDBServicesDouble* services) {
  gDouble.store(services, std::memory_order_release);
}

// --- seam: qoxKeyIsValid (key database) ---
bool qoxKeyIsValid(const QOXKeyDBObj* object) {
  auto* d = Double();
  return d != nullptr && d->keyIsValid != nullptr && d->keyIsValid(object);
}

// --- seam: qoxSubKeyIsValid (key database) ---
bool qoxSubKeyIsValid(const QOXKeyDBObj* object) {
  auto* d = Double();
  return d != nullptr && d->subKeyIsValid != nullptr && d->subKeyIsValid(object);
}

// --- seam: qoxSigIsValid (key database) ---
bool qoxSigIsValid(const QOXKeyDBObj* object) {
  auto* d = Double();
  return d != nullptr && d->sigIsValid != nullptr && d->sigIsValid(object);
}

// --- seam: qoxKeyDBObjIsValid (key database) ---
bool qoxKeyDBObjIsValid(const QOXKeyDBObj* object) {
  auto* d = Double();
  return d != nullptr && d->keyDBObjIsValid != nullptr && d->keyDBObjIsValid(object);
}

// --- seam: qoxKeySetIsValid (key database) ---
bool qoxKeySetIsValid(const QOXKeySet* set) {
  auto* d = Double();
  return d != nullptr && d->keySetIsValid != nullptr && d->keySetIsValid(set);
}

// --- seam: qoxKeyDBIsValid (key database) ---
bool qoxKeyDBIsValid(const QOXKeyDB* db) {
  auto* d = Double();
  return d != nullptr && d->keyDBIsValid != nullptr && d->keyDBIsValid(db);
}

// --- seam: QOXIncKeySetRefCount (key database) ---
QOXError QOXIncKeySetRefCount(QOXKeySet* set) {
  auto* d = Double();
  return d != nullptr && d->incKeySetRefCount != nullptr ? d->incKeySetRefCount(set)
                                                         : kQOXErrFeatureNotAvailable;
}

// --- seam: QOXFreeKeySet (key database) ---
QOXError QOXFreeKeySet(QOXKeySet* set) {
  auto* d = Double();
  return d != nullptr && d->freeKeySet != nullptr ? d->freeKeySet(set)
                                                  : kQOXErrFeatureNotAvailable;
}

// --- seam: QOXIncKeyDBRefCount (key database) ---
QOXError QOXIncKeyDBRefCount(QOXKeyDB* db) {
  auto* d = Double();
  return d != nullptr && d->incKeyDBRefCount != nullptr ? d->incKeyDBRefCount(db)
                                                        : kQOXErrFeatureNotAvailable;
}

// --- seam: QOXFreeKeyDB (key database) ---
QOXError QOXFreeKeyDB(QOXKeyDB* db) {
  auto* d = Double();
  return d != nullptr && d->freeKeyDB != nullptr ? d->freeKeyDB(db) : kQOXErrFeatureNotAvailable;
}

// --- seam: QOXPeekKeyDBObjContext (key database) ---
QOXContext* QOXPeekKeyDBObjContext(QOXKeyDBObj* object) {
  auto* d = Double();
  return d != nullptr && d->peekKeyDBObjContext != nullptr ? d->peekKeyDBObjContext(object)
                                                           : nullptr;
}

// --- seam: qoxObjectType (key database) ---
int32_t qoxObjectType(QOXKeyDBObj* object) {
  auto* d = Double();
  return d != nullptr && d->objectType != nullptr ? d->objectType(object) : 0;
}

// --- seam: QOXCompareKeyIDs (key database) ---
int32_t QOXCompareKeyIDs(const QOXKeyID* a, const QOXKeyID* b) {
  auto* d = Double();
  // Without the key database no two key IDs are known to be equal.
  return d != nullptr && d->compareKeyIDs != nullptr ? d->compareKeyIDs(a, b) : 1;
}

// --- seam: qoxNewKeyIDFromRawData (key database) ---
QOXError qoxNewKeyIDFromRawData(const uint8_t* bytes, uint8_t algorithm, size_t length,
                                QOXKeyID* outKeyID) {
  auto* d = Double();
  return d != nullptr && d->newKeyIDFromRawData != nullptr
             ? d->newKeyIDFromRawData(bytes, algorithm, length, outKeyID)
             : kQOXErrFeatureNotAvailable;
}
