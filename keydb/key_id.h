// Key IDs: the 36-byte value (QOXKeyID, foundation/keydb_services.h) by
// which every subsystem names a key, a 4-byte (abbreviated) or 8-byte (full)
// ID with the public-key algorithm it belongs to. Values are passed and
// copied by value; every call that fills a caller's value clears all 36
// bytes first (qoxNewKeyIDFromRawData excepted, as its callers rely on).
//
// Order (QOXCompareKeyIDs), used by the key-ID tree (keydb/key_tree.h):
//   1. equal lengths: the ID bytes as unsigned values, first difference wins;
//   2. different lengths: the last 4 bytes of the 8-byte value against the
//      4 bytes of the other; when they differ the 4-byte value orders first,
//      whatever the bytes;
//   3. equal bytes: 0 when either algorithm is 255 (any), else by algorithm.
//
// Thread safety: pure functions over the caller's values.
#ifndef OSTRAK_KEYDB_KEY_ID_H_
#define OSTRAK_KEYDB_KEY_ID_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/keydb_services.h"

// Any public-key algorithm.
inline constexpr uint8_t kQOXKeyIDAnyAlgorithm = 255;
// Forms of QOXGetKeyIDString.
inline constexpr int kQOXKeyIDString_Abbreviated = 1;  // "0x" and 8 digits
inline constexpr int kQOXKeyIDString_Full = 2;         // "0x" and 8 or 16 digits
// Size of the text buffer of QOXGetKeyIDString.
inline constexpr size_t kQOXKeyIDStringSize = 128;

// --- Public calls: check their arguments, then pass the entry gate ---

// An optional "0x" (lower-case x), then exactly 8 or 16 hexadecimal digits,
// high digit first. kQOXErrBadParams for a null out-parameter (checked first), a null
// text or any other text; the gate's error.
QOXError QOXNewKeyIDFromString(const char* text, uint8_t algorithm, QOXKeyID* outKeyID);
// kQOXErrBadParams for a null out-parameter or bytes, or a length other than 4 or 8.
QOXError QOXNewKeyID(const uint8_t* bytes, size_t length, uint8_t algorithm, QOXKeyID* outKeyID);
// kQOXErrBadParams for a null out-parameter or an invalid key ID.
QOXError QOXGetKeyIDAlgorithm(const QOXKeyID* keyID, uint8_t* outAlgorithm);
// Writes "0x" and two upper-case hexadecimal digits per byte into the
// 128-byte text: every byte for the full form or a 4-byte ID, the last 4
// bytes of an 8-byte ID for the abbreviated form. The text is cleared first;
// kQOXErrBadParams for a null text, an invalid key ID or another form.
QOXError QOXGetKeyIDString(const QOXKeyID* keyID, int form, char* outText);
// -1, 0 or 1 by the order above; 0 when the gate refuses or either value is
// invalid.
int32_t QOXCompareKeyIDs(const QOXKeyID* a, const QOXKeyID* b);

// --- Internal calls: no gate ---

// Fills the value (valid 1, length, algorithm, bytes) without clearing the
// rest; kQOXErrBadParams for a length other than 4 or 8.
QOXError qoxNewKeyIDFromRawData(const uint8_t* bytes, uint8_t algorithm, size_t length, QOXKeyID* outKeyID);
// valid is 1 and length 4 or 8; false for null.
bool qoxKeyIDIsValid(const QOXKeyID* keyID);
size_t qoxKeyIDLength(const QOXKeyID* keyID);
const uint8_t* qoxGetKeyIDBytes(const QOXKeyID* keyID);
// QOXCompareKeyIDs gives 0.
bool qoxKeyIDsEqual(const QOXKeyID* a, const QOXKeyID* b);
// The algorithm a key ID carries for a key of this algorithm: RSA's
// encrypt-only and sign-only numbers (2 and 3) count as RSA (1).
uint8_t qoxKeyIDAlgorithm(uint8_t algorithm);
// The order above without the gate (the key-ID tree compares with it).
int32_t qoxCompareKeyIDs(const QOXKeyID* a, const QOXKeyID* b);

#endif  // OSTRAK_KEYDB_KEY_ID_H_
