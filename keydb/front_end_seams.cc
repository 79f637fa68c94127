#include "keydb/front_end_seams.h"

QOXError qoxFrontEndGetKeyByKeyID(QOXKeyDB*, const QOXKeyID*, bool, bool, QOXKeyDBObj** outKey) {
  if (outKey != nullptr) *outKey = nullptr;
  return kQOXErrFeatureNotAvailable;
}

QOXError qoxFrontEndKeyOperation(QOXKeyDBObj*) { return kQOXErrFeatureNotAvailable; }
