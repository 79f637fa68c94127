// Key IDs written as text.
//
// Thread safety: pure functions.
#ifndef OSTRAK_KEYDB_KEY_ID_H_
#define OSTRAK_KEYDB_KEY_ID_H_

#include "foundation/errors.h"
#include "foundation/keydb_services.h"

// Parses "0x" (or "0X") and 8 or 16 hexadecimal digits into a key ID of the
// given algorithm, high digit first. 0, or -12000 for a null argument or any
// other text (the key ID is then cleared).
QOXError QOXNewKeyIDFromString(const char* text, int algorithm, QOXKeyID* outKeyID);

#endif  // OSTRAK_KEYDB_KEY_ID_H_
