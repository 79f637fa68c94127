// The key orderings: primary values, their comparisons, and the user-ID
// text comparison.
#include "keydb/key_order.h"

#include <algorithm>
#include <cstring>

#include "foundation/sdk_errors.h"
#include "keydb/key_accessors.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_id.h"
#include "keydb/obj_accessors.h"
#include "keydb/obj_properties.h"

namespace {

using P = KeyDBObjProperty;

bool IsAlnum(unsigned char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

unsigned char Lower(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c; }

// The primary user ID's name, at most kKeyOrderNameBytes of it, always
// terminated; empty when the key has none.
void PrimaryName(QOXKeyDBObj* key, char* buffer) {
  size_t length = 0;
  const QOXError err = QOXGetPrimaryUserIDName(key, buffer, kKeyOrderNameBytes, &length);
  if (err != kQOXErrNoErr && err != kQOXErrBufferTooSmall) length = 0;
  buffer[std::min(length, kKeyOrderNameBytes)] = '\0';
}

int64_t KeyNumber(QOXKeyDBObj* key, P property) {
  int32_t value = 0;
  (void)qoxGetKeyNumber(key, static_cast<int32_t>(property), &value);
  return value;
}

int64_t KeyTime(QOXKeyDBObj* key, P property) {
  QOXTime value = 0;
  (void)qoxGetKeyTime(key, static_cast<int32_t>(property), &value);
  return value;
}

// Higher first.
int32_t Descending(int64_t a, int64_t b) { return a > b ? -1 : (a < b ? 1 : 0); }

}  // namespace

bool qoxKeyOrderingSorts(QOXKeyOrdering ordering) {
  return ordering >= kQOXKeyOrdering_UserID && ordering <= kQOXKeyOrdering_Expiration;
}

void qoxKeyOrderValue(QOXKeyDBObj* key, QOXKeyOrdering ordering, char* nameBuffer, KeyOrderValue* out) {
  out->key = key;
  out->number = 0;
  out->name = "";
  std::memset(&out->keyID, 0, sizeof out->keyID);
  (void)qoxKeyID8(key, nullptr, &out->keyID);
  switch (ordering) {
    case kQOXKeyOrdering_UserID:
      PrimaryName(key, nameBuffer);
      out->name = nameBuffer;
      break;
    case kQOXKeyOrdering_Validity: {
      int32_t validity = 0;
      if (QOXGetPrimaryUserIDValidity(key, &validity) != kQOXErrNoErr) validity = 0;
      out->number = static_cast<uint32_t>(validity);
      break;
    }
    case kQOXKeyOrdering_Trust:
      out->number = KeyNumber(key, P::KeyTrust);
      break;
    case kQOXKeyOrdering_EncryptKeySize: {
      QOXKeyDBObj* subKey = nullptr;
      int32_t bits = 0;
      if (qoxGetFirstSubKey(key, &subKey) == kQOXErrNoErr) {
        (void)qoxGetSubKeyNumber(subKey, static_cast<int32_t>(P::SubKeyBits), &bits);
        out->number = bits;
      } else {
        out->number = KeyNumber(key, P::KeyBits);
      }
      break;
    }
    case kQOXKeyOrdering_SigKeySize:
      out->number = KeyNumber(key, P::KeyBits);
      break;
    case kQOXKeyOrdering_Creation:
      out->number = KeyTime(key, P::KeyCreation);
      break;
    case kQOXKeyOrdering_Expiration:
      out->number = KeyTime(key, P::KeyExpiration);
      break;
    default:
      break;
  }
}

int32_t qoxKeyOrderCompare(const KeyOrderValue& a, const KeyOrderValue& b, QOXKeyOrdering ordering) {
  int32_t c = 0;
  switch (ordering) {
    case kQOXKeyOrdering_UserID:
      c = qoxCompareUserIDStrings(a.name, b.name);
      break;
    case kQOXKeyOrdering_Expiration:
      // Never expiring (0) first, then the later first.
      if (a.number != b.number) c = a.number == 0 ? -1 : (b.number == 0 ? 1 : Descending(a.number, b.number));
      break;
    case kQOXKeyOrdering_KeyID:
      break;
    default:
      c = Descending(a.number, b.number);
      break;
  }
  if (c != 0) return c;
  return qoxCompareKeyIDs(&a.keyID, &b.keyID);
}

int32_t qoxCompareUserIDStrings(const char* a, const char* b) {
  const auto* p = reinterpret_cast<const unsigned char*>(a);
  const auto* q = reinterpret_cast<const unsigned char*>(b);
  for (;;) {
    while (*p != 0 && Lower(*p) == Lower(*q)) {
      ++p;
      ++q;
    }
    if (!IsAlnum(*p)) {
      while (*p != 0 && !IsAlnum(*p)) ++p;
    }
    if (!IsAlnum(*q)) {
      while (*q != 0 && !IsAlnum(*q)) ++q;
    }
    if (*p == 0 || Lower(*p) != Lower(*q)) break;
    ++p;
    ++q;
  }
  return static_cast<int32_t>(Lower(*p)) - static_cast<int32_t>(Lower(*q));
}
