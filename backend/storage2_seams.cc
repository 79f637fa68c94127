// Seams: the key-submission, key-database and access-control calls of the
// backend's operations (declared in backend/storage2_seams.h). No
// replication log is written; key blocks cannot be imported and key sets
// cannot be made (feature not available), so a stored key reads as
// unimportable. (Access control is real: server/access_control.h.)
#include "backend/storage2_seams.h"

// --- seam: qoxRepLog (key submission: replication log) ---
// Weak so that a test program can observe the records it is asked for.
__attribute__((weak)) void qoxRepLog(Backend*, Connection*, int, const char*, Entry*, int) {}

// --- seam: TransferKeysFromAAKeyBlock (key submission) ---
QOXError TransferKeysFromAAKeyBlock(QOXContext*, const uint8_t*, size_t, QOXKeyDB** keyDB) {
  if (keyDB != nullptr) *keyDB = nullptr;
  return kQOXErrFeatureNotAvailable;
}

// --- seam: QOXNewKeySet (key database) ---
QOXError QOXNewKeySet(QOXKeyDB*, QOXKeySet** set) {
  if (set != nullptr) *set = nullptr;
  return kQOXErrFeatureNotAvailable;
}

// --- seam: QOXPeekKeySetKeyDB (key database) ---
QOXKeyDB* QOXPeekKeySetKeyDB(QOXKeySet*) { return nullptr; }
