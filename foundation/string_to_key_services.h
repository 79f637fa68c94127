// String-to-key specifiers: the object, and the table through which the
// layers below the core make them.
//
// Specifiers are the RFC 2440 (section 3.6.1) way of turning a
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
// The engine (crypto/) protects secret keys with specifiers, but the makers
// hash and salt with the engine, so they live above it, in the core
// (foundation/core/string_to_key.h). The engine therefore makes specifiers
// through QOXStringToKeyServices, which the core registers at start-up
// (foundation/core/core_registration.h); until then the entries in
// foundation/string_to_key_services.cc make none (null, kQOXErrFeatureNotAvailable).
// Registration and doubles: foundation/service_table.h.
//
// Thread safety: a specifier may be used by one thread at a time.
#ifndef OSTRAK_FOUNDATION_STRING_TO_KEY_SERVICES_H_
#define OSTRAK_FOUNDATION_STRING_TO_KEY_SERVICES_H_

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

// Convenience forms of the two operations; destroy accepts null.
inline QOXError qoxS2Kconvert(const QOXStringToKey* s2k, const char* passphrase, size_t length,
                              uint8_t* key, size_t keyLength) {
  return s2k->stringToKey(s2k, passphrase, length, key, keyLength);
}
inline void qoxS2Kdestroy(QOXStringToKey* s2k) {
  if (s2k != nullptr) s2k->destroy(s2k);
}

// The makers the engine uses, named after the core's functions
// (foundation/core/string_to_key.h says what each does).
struct QOXStringToKeyServices {
  QOXStringToKey* (*qoxS2Kcreate)(QOXContext* context, QOXRandomContext* rc, int kind);
  QOXStringToKey* (*qoxS2KdefaultV3)(QOXContext* context);
  QOXStringToKey* (*qoxS2Ksimple)(QOXContext* context, const QOXHashVTBL* hash);
  bool (*qoxS2KisOldVers)(const QOXStringToKey* s2k);
  int32_t (*qoxS2Kdecode)(QOXStringToKey** out, QOXContext* context, const uint8_t* bytes, size_t length);
};

// The table in force, and its registration (foundation/service_table.h).
const QOXStringToKeyServices& qoxStringToKeyServices();
const QOXStringToKeyServices* qoxRegisterStringToKeyServices(const QOXStringToKeyServices* table);

#endif  // OSTRAK_FOUNDATION_STRING_TO_KEY_SERVICES_H_
