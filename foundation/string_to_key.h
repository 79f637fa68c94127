// String-to-key specifiers: the RFC 2440 (section 3.6.1) way of turning a
// passphrase into key bytes, plus two literal kinds in which the passphrase
// is the key.
//
//   kind  byte 0  then                                     encoded length
//   simple      0  hash                                    2
//   salted      1  hash, 8-byte salt                       10
//   iterated    3  hash, 8-byte salt, count byte           11
//   literal     4  -                                       1
//   shared      5  -                                       1
//
// The count byte c of the iterated kind stands for (16 + (c & 15)) <<
// ((c >> 4) + 6) hashed bytes. The encoder here rounds a requested count up
// to about twice its value (32768 gives 0x60, which hashes 65536 bytes);
// stored specifiers depend on that, so it is kept.
//
// A specifier is immutable once made; its destroy operation wipes the
// encoded bytes (salt included) and frees both of its blocks.
//
// Thread safety: a specifier may be used by one thread at a time.
#ifndef OSTRAK_FOUNDATION_STRING_TO_KEY_H_
#define OSTRAK_FOUNDATION_STRING_TO_KEY_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

struct QOXContext;
struct QOXHashVTBL;
struct QOXRandomContext;

inline constexpr uint8_t kQOXS2K_Simple = 0;
inline constexpr uint8_t kQOXS2K_Salted = 1;
inline constexpr uint8_t kQOXS2K_IteratedSalted = 3;
inline constexpr uint8_t kQOXS2K_Literal = 4;
inline constexpr uint8_t kQOXS2K_LiteralShared = 5;

inline constexpr size_t kQOXS2KSaltSize = 8;
inline constexpr uint32_t kQOXS2KDefaultByteCount = 32768;

struct QOXStringToKey {
  void* priv;              // private block (context, hash, encoded bytes)
  const uint8_t* encoded;  // the RFC 2440 specifier, inside the private block
  size_t encodedLength;
  void (*destroy)(QOXStringToKey* s2k);
  QOXError (*stringToKey)(const QOXStringToKey* s2k, const char* passphrase, size_t passphraseLength,
                          uint8_t* key, size_t keyLength);
};

// Kind 0, 1 or 3 with SHA-1 (salts from the random source, 32768 requested
// for kind 3), or 4 or 5; null for any other kind or when memory runs out.
QOXStringToKey* qoxS2Kcreate(QOXContext* context, QOXRandomContext* rc, int kind);
// Iterated and salted SHA-1 with 32768 requested bytes.
QOXStringToKey* qoxS2Kdefault(QOXContext* context, QOXRandomContext* rc);
// Simple MD5, the version-3 key form.
QOXStringToKey* qoxS2KdefaultV3(QOXContext* context);
bool qoxS2KisOldVers(const QOXStringToKey* s2k);

QOXStringToKey* qoxS2Ksimple(QOXContext* context, const QOXHashVTBL* hash);
QOXStringToKey* qoxS2Ksalted(QOXContext* context, const QOXHashVTBL* hash, const uint8_t* salt);
QOXStringToKey* qoxS2Kitersalt(QOXContext* context, const QOXHashVTBL* hash, const uint8_t* salt,
                               uint32_t requestedBytes);
QOXStringToKey* qoxS2Kliteral(QOXContext* context);
QOXStringToKey* qoxS2KliteralShared(QOXContext* context);

// The count byte that encodes a requested byte count.
uint8_t qoxS2KCountByte(uint32_t requestedBytes);
// The number of bytes a count byte stands for.
uint32_t qoxS2KDecodeCount(uint8_t countByte);

// Parses a specifier from bytes: returns the bytes it occupies (2, 10, 11
// or 1) or a negative error (-12000 truncated, -11410 unknown kind, -11419
// unknown hash, -11999 memory). With a null out it only measures.
int32_t qoxS2Kdecode(QOXStringToKey** out, QOXContext* context, const uint8_t* bytes, size_t length);

// Convenience forms of the two operations; destroy accepts null.
inline QOXError qoxS2Kconvert(const QOXStringToKey* s2k, const char* passphrase, size_t length,
                              uint8_t* key, size_t keyLength) {
  return s2k->stringToKey(s2k, passphrase, length, key, keyLength);
}
inline void qoxS2Kdestroy(QOXStringToKey* s2k) {
  if (s2k != nullptr) s2k->destroy(s2k);
}

#endif  // OSTRAK_FOUNDATION_STRING_TO_KEY_H_
