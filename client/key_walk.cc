#include "client/key_walk.h"

QOXKeyWalk::~QOXKeyWalk() {
  const QOXDialogKeyDBServices& keys = qoxDialogKeyDBServices();
  if (iter_ != nullptr) keys.QOXFreeKeyIter(iter_);
  if (list_ != nullptr) keys.QOXFreeKeyList(list_);
}

QOXError QOXKeyWalk::Start(QOXKeySet* set, int32_t ordering) {
  const QOXDialogKeyDBServices& keys = qoxDialogKeyDBServices();
  QOXError err = keys.QOXOrderKeySet(set, ordering, false, &list_);
  if (err == kQOXErrNoErr) err = keys.QOXNewKeyIter(list_, &iter_);
  return err;
}

QOXError QOXKeyWalk::Next(QOXKeyDBObj** key) {
  *key = nullptr;
  if (iter_ == nullptr) return kQOXErrBadParams;
  return qoxDialogKeyDBServices().QOXKeyIterNextKeyDBObj(iter_, kQOXKeyIterType_Key, key);
}
