// BER reading helpers of the request decoders.
#include "server/ber_helpers.h"

#include "net/ldap_protocol.h"
#include "server/entry.h"
#include "server/error_log.h"
#include "server/support/zovurez.h"

namespace {

constexpr QOXError kErrEmptySubstring = -11475;

// The index of the contents of the element at the read index (which does
// not move), or false.
bool ContentsStart(QOXberElement* ber, uint32_t* start) {
  uint32_t here = 0;
  if (QOXberGetIndex(ber, &here) != 0 || QOXberNext(ber) != 0) return false;
  bool ok = QOXberGetIndex(ber, start) == 0;
  return QOXberSetIndex(ber, here) == 0 && ok;
}

void FreeStrings(char** strings) {
  for (int i = 0; strings != nullptr && strings[i] != nullptr; ++i) zovurezFree(strings[i]);
  zovurezFree(strings);
}

// Shared walk of berReadAttrsAlloc and berReadVectorAlloc: counts the
// elements of the SET OF or SEQUENCE OF OCTET STRING at the read index and
// reads each with read(index); any other element is refused.
template <typename Slot, typename ReadOne>
int ReadSet(QOXberElement* ber, Slot** out, int* count, ReadOne readOne, void (*freeAll)(Slot*),
            const char* memoryMessage) {
  if (out == nullptr || *out != nullptr || count == nullptr) {
    LogError(kLogError, "berReadVectorAlloc: Bad params");
    return 1;
  }
  *count = 0;
  uint32_t tag = 0, length = 0;
  if (QOXberPeek(ber, &tag, &length) != 0 || (tag != kTagSequence && tag != kTagSet)) {
    LogError(kLogError, "QOXberPeek failed");
    return 1;
  }
  if (length == 0) {
    QOXberSkip(ber);  // past the empty set
    return 0;
  }
  uint32_t start = 0;
  if (!ContentsStart(ber, &start)) {
    LogError(kLogError, "QOXberGetIndex failed");
    return 1;
  }
  uint32_t end = start + length;
  // Into the set: every element must be an OCTET STRING, and the last one
  // must end where the set does.
  if (QOXberNext(ber) != 0) {
    LogError(kLogError, "QOXberNextPrimitive failed");
    return 1;
  }
  uint32_t first = 0;
  if (QOXberGetIndex(ber, &first) != 0) {
    LogError(kLogError, "QOXberGetIndex failed");
    return 1;
  }
  int n = 0;
  uint32_t at = first;
  for (; at < end; ++n) {
    uint32_t elementTag = 0, elementLength = 0;
    if (QOXberPeek(ber, &elementTag, &elementLength) != 0 || elementTag != kTagOctetString || QOXberSkip(ber) != 0) {
      LogError(kLogError, "QOXberSkip failed");
      return 1;
    }
    if (QOXberGetIndex(ber, &at) != 0) {
      LogError(kLogError, "QOXberGetIndex failed");
      return 1;
    }
  }
  if (at != end) {
    LogError(kLogError, "QOXberSkip failed");
    return 1;
  }
  auto* slots = static_cast<Slot*>(zovurezCalloc(static_cast<size_t>(n) + 1, sizeof(Slot)));
  if (slots == nullptr) {
    LogError(kLogError, "%s", memoryMessage);
    return 1;
  }
  if (QOXberSetIndex(ber, first) != 0) {
    LogError(kLogError, "QOXberSetIndex failed");
    zovurezFree(slots);
    return 1;
  }
  for (int i = 0; i < n; ++i) {
    if (!readOne(&slots[i])) {
      freeAll(slots);
      return 1;
    }
  }
  *out = slots;
  *count = n;
  return 0;
}

}  // namespace

QOXError berFirstElement(QOXberElement* ber, uint32_t* tag, uint32_t* end, int advance) {
  uint32_t length = 0;
  QOXError err = QOXberPeek(ber, tag, &length);
  if (err != 0) return err;
  if (length == 0) {
    LogError(kLogVerbose, "Filter: (SUBSTRING=*) should be encoded as (PRESENT)");
    *tag = *end = kBerNoTag;
    return kErrEmptySubstring;
  }
  uint32_t start = 0;
  if (!ContentsStart(ber, &start)) return kQOXErrBadParams;
  *end = start + length;
  if (advance == -1) return 0;
  if (advance == 0) {
    err = QOXberNextPrimitive(ber);
  } else if (advance == 1) {
    err = QOXberNextConstructed(ber);
  } else {
    LogError(kLogError, "berFirstElement: Invalid advance type.");
    return kQOXErrBadParams;
  }
  if (err != 0) return err;
  berNextElement(ber, tag, *end);
  return 0;
}

void berNextElement(QOXberElement* ber, uint32_t* tag, uint32_t end) {
  uint32_t at = 0, length = 0;
  if (QOXberGetIndex(ber, &at) != 0 || at >= end || QOXberPeek(ber, tag, &length) != 0) *tag = kBerNoTag;
}

QOXError berReadStringAlloc(QOXberElement* ber, char** string, uint32_t* length) {
  if (string == nullptr || *string != nullptr) {
    LogError(kLogError, "Invalid string pointer.");
    return kQOXErrBadParams;
  }
  uint32_t tag = 0, n = 0;
  QOXError err = QOXberPeek(ber, &tag, &n);
  if (err != 0) return err;
  char* buffer = static_cast<char*>(zovurezMalloc(static_cast<size_t>(n) + 1));
  if (buffer == nullptr) {
    LogError(kLogError, "Memory allocation error.");
    return kQOXErrOutOfMemory;
  }
  err = n == 0 ? QOXberSkip(ber) : QOXberRead(ber, "*o", buffer, n + 1);
  if (err != 0) {
    zovurezFree(buffer);
    return err;
  }
  buffer[n] = '\0';
  *string = buffer;
  if (length != nullptr) *length = n;
  return 0;
}

QOXError berReadValueAlloc(QOXberElement* ber, BerValue** value) {
  if (value == nullptr) return kQOXErrBadParams;
  auto* v = static_cast<BerValue*>(zovurezCalloc(1, sizeof(BerValue)));
  if (v == nullptr) {
    LogError(kLogError, "Memory allocation error");
    *value = nullptr;
    return kQOXErrOutOfMemory;
  }
  QOXError err = berReadStringAlloc(ber, &v->bv_val, &v->bv_len);
  if (err != 0) {
    zovurezFree(v);
    *value = nullptr;
    return err;
  }
  *value = v;
  return 0;
}

int berReadAttrsAlloc(QOXberElement* ber, char*** strings, int* count) {
  auto readOne = [ber](char** slot) {
    if (berReadStringAlloc(ber, slot, nullptr) == 0) return true;
    LogError(kLogError, "berReadStringAlloc failed.");
    return false;
  };
  return ReadSet<char*>(ber, strings, count, readOne, FreeStrings, "Memory allocation error.");
}

int berReadVectorAlloc(QOXberElement* ber, BerValue*** vector, int* count) {
  auto readOne = [ber](BerValue** slot) {
    if (berReadValueAlloc(ber, slot) == 0) return true;
    LogError(kLogError, "berReadValueAlloc failed");
    return false;
  };
  return ReadSet<BerValue*>(ber, vector, count, readOne, berValuesFree, "Memory allocation error");
}
