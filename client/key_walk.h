// A walk over the keys of a key set in one ordering, through the dialogs'
// key-database table (client/dialog_keydb_services.h). The walk owns the key
// list and the iterator and frees both when it goes.
//
// Thread safety: as the key set it walks.
#ifndef OSTRAK_CLIENT_KEY_WALK_H_
#define OSTRAK_CLIENT_KEY_WALK_H_

#include <cstdint>

#include "client/dialog_keydb_services.h"

class QOXKeyWalk {
 public:
  QOXKeyWalk() = default;
  ~QOXKeyWalk();
  QOXKeyWalk(const QOXKeyWalk&) = delete;
  QOXKeyWalk& operator=(const QOXKeyWalk&) = delete;

  // Orders the set and makes the iterator: 0 or the table's error.
  QOXError Start(QOXKeySet* set, int32_t ordering);
  // The next key: 0, kQOXErrEndOfIteration after the last, or an error.
  QOXError Next(QOXKeyDBObj** key);

 private:
  QOXKeyList* list_ = nullptr;
  QOXKeyIter* iter_ = nullptr;
};

#endif  // OSTRAK_CLIENT_KEY_WALK_H_
