// The stand-ins of the dialogs' key-database table
// (client/dialog_keydb_services.h): no key set can be ordered, so no key
// list or iterator exists.
#include "client/dialog_keydb_services.h"
#include "foundation/service_table.h"

namespace {

// kQOXErrFeatureNotAvailable with no list.
QOXError QOXOrderKeySet(QOXKeySet*, int32_t, bool, QOXKeyList** outList) {
  if (outList != nullptr) *outList = nullptr;
  return kQOXErrFeatureNotAvailable;
}

// Nothing to free: 0.
QOXError QOXFreeKeyList(QOXKeyList*) { return kQOXErrNoErr; }

// kQOXErrFeatureNotAvailable with no iterator.
QOXError QOXNewKeyIter(QOXKeyList*, QOXKeyIter** outIter) {
  if (outIter != nullptr) *outIter = nullptr;
  return kQOXErrFeatureNotAvailable;
}

// kQOXErrFeatureNotAvailable with no object.
QOXError QOXKeyIterNextKeyDBObj(QOXKeyIter*, int32_t, QOXKeyDBObj** outObject) {
  if (outObject != nullptr) *outObject = nullptr;
  return kQOXErrFeatureNotAvailable;
}

// Nothing to free: 0.
QOXError QOXFreeKeyIter(QOXKeyIter*) { return kQOXErrNoErr; }

// kQOXErrFeatureNotAvailable with an empty text.
QOXError QOXGetPrimaryUserIDName(QOXKeyDBObj*, char* buffer, size_t size, size_t* outLength) {
  if (buffer != nullptr && size > 0) buffer[0] = '\0';
  if (outLength != nullptr) *outLength = 0;
  return kQOXErrFeatureNotAvailable;
}

constexpr QOXDialogKeyDBServices kStandIns = {
    .QOXOrderKeySet = QOXOrderKeySet,
    .QOXFreeKeyList = QOXFreeKeyList,
    .QOXNewKeyIter = QOXNewKeyIter,
    .QOXKeyIterNextKeyDBObj = QOXKeyIterNextKeyDBObj,
    .QOXFreeKeyIter = QOXFreeKeyIter,
    .QOXGetPrimaryUserIDName = QOXGetPrimaryUserIDName,
};

constinit QOXServiceSlot<QOXDialogKeyDBServices> gSlot{&kStandIns};

}  // namespace

const QOXDialogKeyDBServices& qoxDialogKeyDBServices() { return gSlot.get(); }

const QOXDialogKeyDBServices* qoxRegisterDialogKeyDBServices(const QOXDialogKeyDBServices* table) {
  return gSlot.install(table);
}
