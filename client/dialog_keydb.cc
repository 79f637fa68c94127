// The dialogs' key-database table (client/dialog_keydb_services.h), answered
// by the key database itself. Tests install doubles over it.
#include <algorithm>

#include "client/dialog_keydb_services.h"
#include "foundation/service_table.h"
#include "keydb/key_accessors.h"
#include "keydb/key_iter.h"
#include "keydb/key_list.h"

namespace {

QOXError OrderKeySet(QOXKeySet* set, int32_t ordering, bool reverse, QOXKeyList** outList) {
  return QOXOrderKeySet(set, ordering, reverse, outList);
}

// The key database hands over at most the buffer's size and says when the
// name was longer; the dialogs want a terminated text cut to the buffer.
QOXError GetPrimaryUserIDName(QOXKeyDBObj* key, char* buffer, size_t size, size_t* outLength) {
  if (outLength != nullptr) *outLength = 0;
  if (buffer == nullptr || size == 0) return kQOXErrBadParams;
  buffer[0] = '\0';
  size_t length = 0;
  const QOXError err = QOXGetPrimaryUserIDName(key, buffer, size - 1, &length);
  if (err != kQOXErrNoErr && err != kQOXErrBufferTooSmall) return err;
  length = std::min(length, size - 1);
  buffer[length] = '\0';
  if (outLength != nullptr) *outLength = length;
  return kQOXErrNoErr;
}

constexpr QOXDialogKeyDBServices kKeyDB = {
    .QOXOrderKeySet = OrderKeySet,
    .QOXFreeKeyList = QOXFreeKeyList,
    .QOXNewKeyIter = QOXNewKeyIter,
    .QOXKeyIterNextKeyDBObj = QOXKeyIterNextKeyDBObj,
    .QOXFreeKeyIter = QOXFreeKeyIter,
    .QOXGetPrimaryUserIDName = GetPrimaryUserIDName,
};

constinit QOXServiceSlot<QOXDialogKeyDBServices> gSlot{&kKeyDB};

}  // namespace

const QOXDialogKeyDBServices& qoxDialogKeyDBServices() { return gSlot.get(); }

const QOXDialogKeyDBServices* qoxRegisterDialogKeyDBServices(const QOXDialogKeyDBServices* table) {
  return gSlot.install(table);
}
