// The key orderings of key lists (keydb/key_list.h): the primary value each
// ordering compares, and the forward comparison of two keys by it.
//
// Forward rules (a negative result puts the first key first): UserID by
// QOXCompareUserIDStrings of the primary user IDs' names; KeyID by the
// 8-byte key IDs; Validity (primary user ID's, 0 without one) higher first,
// unsigned; Trust (KeyTrust) higher first, signed; EncryptKeySize (the
// first real subkey's SubKeyBits, else KeyBits) and SigKeySize (KeyBits)
// larger first, signed; Creation newer first, unsigned; Expiration 0
// (never) first, then later first, unsigned. Every tie of the primary value
// falls to the key IDs, ascending. A reverse comparison is the exact
// negation, tie-break included.
//
// Thread safety: none (the keys' context's thread).
#ifndef OSTRAK_KEYDB_KEY_ORDER_H_
#define OSTRAK_KEYDB_KEY_ORDER_H_

#include <cstddef>
#include <cstdint>

#include "foundation/keydb_services.h"
#include "keydb/key_list.h"

struct QOXKeyDBObj;

// The longest primary user-ID name the UserID ordering compares; a longer
// name compares by its first this many bytes.
inline constexpr size_t kKeyOrderNameBytes = 256;

// One key with the values its ordering compares, read once per sort.
struct KeyOrderValue {
  QOXKeyDBObj* key;
  QOXKeyID keyID;
  int64_t number;    // the ordering's numeric value
  const char* name;  // UserID: the zero-terminated name (empty without one)
};

// An ordering from 2 to 9 (the ones with a comparison).
bool qoxKeyOrderingSorts(QOXKeyOrdering ordering);
// Reads the key's values for the ordering. For UserID the name is written,
// terminated, into nameBuffer (kKeyOrderNameBytes + 1 bytes).
void qoxKeyOrderValue(QOXKeyDBObj* key, QOXKeyOrdering ordering, char* nameBuffer, KeyOrderValue* out);
// The forward comparison of two keys' values under an ordering from 2 to 9.
int32_t qoxKeyOrderCompare(const KeyOrderValue& a, const KeyOrderValue& b, QOXKeyOrdering ordering);
// QOXCompareUserIDStrings without the gate.
int32_t qoxCompareUserIDStrings(const char* a, const char* b);

#endif  // OSTRAK_KEYDB_KEY_ORDER_H_
