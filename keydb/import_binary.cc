#include "keydb/import_binary.h"

#include "foundation/context.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "keydb/front_end.h"
#include "keydb/key_array.h"
#include "keydb/key_db.h"
#include "keydb/key_db_back.h"

namespace {

bool ArgumentsValid(QOXContext* context, const uint8_t* buffer, size_t length) {
  return qoxContextIsValid(context) && (buffer != nullptr || length == 0);
}

}  // namespace

QOXError qoxImportKeyBinary_internal(QOXContext* context, const uint8_t* buffer, size_t length,
                                     QOXKeyDB** outKeyDB) {
  if (outKeyDB == nullptr) return kQOXErrBadParams;
  *outKeyDB = nullptr;
  if (!ArgumentsValid(context, buffer, length)) return kQOXErrBadParams;
  QOXError err = kQOXErrNoErr;
  *outKeyDB = qoxCreateKeyDBFromMemory(context, buffer, length, &err);
  return err;
}

QOXError qoxImportKeyBinary(QOXContext* context, const uint8_t* buffer, size_t length, QOXKeyDB** outKeyDB) {
  if (outKeyDB == nullptr) return kQOXErrBadParams;
  *outKeyDB = nullptr;
  if (!ArgumentsValid(context, buffer, length)) return kQOXErrBadParams;
  uintptr_t backendID = 0;
  uint32_t keyCount = 0;
  KeyArrayWord* array = nullptr;
  size_t arrayLength = 0;
  QOXError err = qoxImportKeyBinary_back(context, buffer, length, &backendID, &keyCount, &array, &arrayLength);
  // The front end takes over the back end, also when it cannot be made.
  if (err == kQOXErrNoErr) err = qoxNewFrontEndKeyDB(context, backendID, array, arrayLength, keyCount, outKeyDB);
  if (array != nullptr) QOXFreeData(array);
  return err;
}
