// The key-database calls the dialogs make to walk a key set, as one
// table: ordering a key set into a key list, iterating the list, and a
// key's primary user-ID text. The dialogs call them as
// qoxDialogKeyDBServices().QOXOrderKeySet(...). The table in force is the
// key database's own (client/dialog_keydb.cc); tests install doubles over
// it. The other key calls of the dialogs (key sets, properties, the
// passphrase check) go through the foundation's key-database table
// (foundation/keydb_services.h) and the public QOXPassphraseIsValid.
//
// Orderings: those of keydb/key_list.h (1 key-database order, 4 by
// validity). Object types of the iterator: 1 key, 2 subkey, 4 user ID.
//
// Registration and doubles: foundation/service_table.h.
//
// Thread safety: as the key database: a key set and its lists belong to one
// thread at a time.
#ifndef OSTRAK_CLIENT_DIALOG_KEYDB_SERVICES_H_
#define OSTRAK_CLIENT_DIALOG_KEYDB_SERVICES_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/keydb_services.h"
#include "keydb/key_list.h"

struct QOXKeyList;
struct QOXKeyIter;

inline constexpr int32_t kQOXKeyIterType_Key = 1;

// Key properties the dialogs read (booleans, then numbers).
inline constexpr int32_t kQOXKeyPropIsSecret = 100;
inline constexpr int32_t kQOXKeyPropIsRevoked = 102;
inline constexpr int32_t kQOXKeyPropIsExpired = 105;
inline constexpr int32_t kQOXKeyPropNeedsPassphrase = 106;
inline constexpr int32_t kQOXKeyPropCanDecrypt = 109;
inline constexpr int32_t kQOXKeyPropCanSign = 110;
inline constexpr int32_t kQOXKeyPropIsSecretShared = 114;
inline constexpr int32_t kQOXKeyPropAlgorithmID = 200;
inline constexpr int32_t kQOXKeyPropBits = 201;

struct QOXDialogKeyDBServices {
  // The set's keys in the given order (reversed when asked) as a new list.
  QOXError (*QOXOrderKeySet)(QOXKeySet* set, int32_t ordering, bool reverse, QOXKeyList** outList);
  QOXError (*QOXFreeKeyList)(QOXKeyList* list);
  QOXError (*QOXNewKeyIter)(QOXKeyList* list, QOXKeyIter** outIter);
  // The next object of the type; -11978 ("end of iteration") after the last.
  QOXError (*QOXKeyIterNextKeyDBObj)(QOXKeyIter* iter, int32_t objectType, QOXKeyDBObj** outObject);
  QOXError (*QOXFreeKeyIter)(QOXKeyIter* iter);
  // The primary user ID's text, NUL-terminated and cut to the buffer.
  QOXError (*QOXGetPrimaryUserIDName)(QOXKeyDBObj* key, char* buffer, size_t size, size_t* outLength);
};

// The table in force, and its registration (foundation/service_table.h).
const QOXDialogKeyDBServices& qoxDialogKeyDBServices();
const QOXDialogKeyDBServices* qoxRegisterDialogKeyDBServices(const QOXDialogKeyDBServices* table);

#endif  // OSTRAK_CLIENT_DIALOG_KEYDB_SERVICES_H_
