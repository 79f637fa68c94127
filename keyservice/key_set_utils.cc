// Key-set utilities over the key database's public calls.
#include "keyservice/key_set_utils.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>

#include "foundation/keydb_services.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_accessors.h"
#include "keydb/key_id.h"
#include "keydb/key_iter.h"
#include "keydb/key_list.h"
#include "keydb/key_lookup.h"
#include "keydb/obj_properties.h"
#include "keyservice/signer_records.h"
#include "server/error_log.h"

namespace {

constexpr int32_t Prop(KeyDBObjProperty p) { return static_cast<int32_t>(p); }
constexpr int kLdapOther = 1;
constexpr int kLdapNoMemory = 90;
constexpr size_t kUserIDCompareLength = 256;
constexpr size_t kMaxFingerprint = 20;

struct IterOwner {
  QOXKeyIter* iter = nullptr;
  ~IterOwner() {
    if (iter != nullptr) QOXFreeKeyIter(iter);
  }
};

struct ListOwner {
  QOXKeyList* list = nullptr;
  ~ListOwner() {
    if (list != nullptr) QOXFreeKeyList(list);
  }
};

void LogLibrary(const char* format, QOXError err) {
  char text[256];
  QOXGetErrorString(err, sizeof text, text);
  LogError(kLogError, format, text);
}

// The user ID's text, cut at 256 bytes; false when it has none.
bool UserIDText(QOXKeyDBObj* userID, char (&text)[kUserIDCompareLength + 1]) {
  size_t size = 0;
  std::memset(text, 0, sizeof text);
  QOXError err = QOXGetKeyDBObjDataProperty(userID, Prop(KeyDBObjProperty::UserIDName), text, kUserIDCompareLength,
                                            &size);
  return (err == kQOXErrNoErr || err == kQOXErrOutputBufferTooSmall) && size > 0;
}

}  // namespace

QOXError KeySet2Key(QOXKeySet* set, bool secretOnly, QOXKeyDBObj** key) {
  *key = nullptr;
  ListOwner list;
  IterOwner it;
  QOXError err = QOXOrderKeySet(set, kQOXKeyOrdering_Any, false, &list.list);
  if (err == kQOXErrNoErr) err = QOXNewKeyIter(list.list, &it.iter);
  QOXKeyDBObj* k = nullptr;
  bool any = false;
  while (err == kQOXErrNoErr && (err = QOXKeyIterNextKeyDBObj(it.iter, kQOXKeyIterKind_Key, &k)) == kQOXErrNoErr) {
    any = true;
    bool secret = true;
    if (secretOnly && (err = QOXGetKeyDBObjBooleanProperty(k, Prop(KeyDBObjProperty::KeyIsSecret), &secret)) != 0)
      return err;
    if (secret) {
      *key = k;
      return kQOXErrNoErr;
    }
  }
  if (err != kQOXErrEndOfIteration) return err;
  return any ? kQOXErrOptionNotFound : kQOXErrNoErr;
}

int GetCertID(QOXKeyDBObj* key, char text[17]) {
  QOXKeyID keyID{};
  size_t size = 0;
  QOXError err =
      QOXGetKeyDBObjDataProperty(key, Prop(KeyDBObjProperty::KeyKeyID), &keyID, sizeof keyID, &size);
  if (err != kQOXErrNoErr) {
    LogLibrary("Getting Key ID of certificate failed.  Library error: %s.", err);
    return kLdapOther;
  }
  if (!FormatKeyID16(keyID, text)) {
    LogError(kLogError, "Memory allocation error.");
    return kLdapNoMemory;
  }
  text[16] = '\0';
  return 0;
}

bool IsPhotoID(QOXKeyDBObj* userID) {
  int32_t type = 0;
  QOXError err = QOXGetKeyDBObjNumericProperty(userID, Prop(KeyDBObjProperty::UserIDAttributeType), &type);
  if (err != kQOXErrNoErr) {
    LogLibrary("Getting User ID property of certificate failed.  Library error: %s.", err);
    return false;
  }
  return type == 1;
}

QOXError FindUserIDInCert(QOXKeyIter* stored, QOXKeyDBObj* userID, QOXKeyDBObj** match) {
  *match = nullptr;
  char wanted[kUserIDCompareLength + 1];
  if (!UserIDText(userID, wanted)) return kQOXErrNoErr;
  QOXError err = QOXKeyIterRewind(stored, kQOXKeyIterKind_UserID);
  QOXKeyDBObj* candidate = nullptr;
  while (err == kQOXErrNoErr &&
         (err = QOXKeyIterNextKeyDBObj(stored, kQOXKeyIterKind_UserID, &candidate)) == kQOXErrNoErr) {
    char text[kUserIDCompareLength + 1];
    if (UserIDText(candidate, text) && QOXCompareUserIDStrings(text, wanted) == 0) {
      *match = candidate;
      return kQOXErrNoErr;
    }
  }
  return err == kQOXErrEndOfIteration ? kQOXErrNoErr : err;
}

int TrimPhotoIDs(QOXKeyDBObj* userID) {
  if (!IsPhotoID(userID)) return kQOXErrKeyValidityLowOrNone;
  QOXError err = QOXDeleteKeyDBObj(userID);
  if (err != kQOXErrNoErr) {
    LogLibrary("Removing Photo ID failed.  Library error: %s.", err);
    return kLdapOther;
  }
  return 0;
}

QOXError ModRequiresSig(QOXKeySet* set, bool* required) {
  *required = true;
  QOXKeyDBObj* key = nullptr;
  QOXError err = KeySet2Key(set, false, &key);
  if (err != kQOXErrNoErr) return err;
  if (key == nullptr) return kQOXErrItemNotFound;
  int32_t flags = 0;
  err = QOXGetKeyDBObjNumericProperty(key, Prop(KeyDBObjProperty::KeyFlags), &flags);
  *required = err == kQOXErrNoErr && (flags & 0x0F) != 0;
  return kQOXErrNoErr;
}

QOXError QOXLocalKeySetIsMember(QOXKeyDBObj* key, QOXKeySet* set, bool* member) {
  if (key == nullptr || set == nullptr || member == nullptr) {
    LogError(kLogError, "QOXLocalKeySetIsMember: Bad Parameters.");
    return kQOXErrBadParams;
  }
  *member = false;
  uint8_t mine[kMaxFingerprint];
  size_t mineSize = 0;
  QOXError err = QOXGetKeyDBObjDataProperty(key, Prop(KeyDBObjProperty::KeyFingerprint), mine, sizeof mine, &mineSize);
  if (err != kQOXErrNoErr) {
    LogError(kLogError, "QOXLocalKeySetIsMember: QOXGetKeyDBObjDataProperty failed.");
    return err;
  }
  ListOwner list;
  IterOwner it;
  err = QOXOrderKeySet(set, kQOXKeyOrdering_Any, false, &list.list);
  if (err != kQOXErrNoErr) {
    LogError(kLogError, "QOXLocalKeySetIsMember: QOXOrderKeySet failed.");
    return err;
  }
  err = QOXNewKeyIter(list.list, &it.iter);
  QOXKeyDBObj* k = nullptr;
  while (err == kQOXErrNoErr && (err = QOXKeyIterNextKeyDBObj(it.iter, kQOXKeyIterKind_Key, &k)) == kQOXErrNoErr) {
    uint8_t theirs[kMaxFingerprint];
    size_t theirSize = 0;
    if (QOXGetKeyDBObjDataProperty(k, Prop(KeyDBObjProperty::KeyFingerprint), theirs, sizeof theirs, &theirSize) !=
        kQOXErrNoErr) {
      LogError(kLogError, "QOXLocalKeySetIsMember: QOXGetKeyDBObjDataProperty failed.");
      continue;
    }
    if (theirSize == mineSize && memcmp(theirs, mine, mineSize) == 0) {
      *member = true;
      return kQOXErrNoErr;
    }
  }
  return err == kQOXErrEndOfIteration ? kQOXErrNoErr : err;
}

QOXError CountSigsOnUserID(QOXKeyIter* iter, uint32_t* count) {
  *count = 0;
  QOXError err = QOXKeyIterRewind(iter, kQOXKeyIterKind_Sig);
  QOXKeyDBObj* sig = nullptr;
  while (err == kQOXErrNoErr && (err = QOXKeyIterNextKeyDBObj(iter, kQOXKeyIterKind_Sig, &sig)) == kQOXErrNoErr)
    ++*count;
  return err == kQOXErrEndOfIteration ? kQOXErrNoErr : err;
}

QOXError CountUserIDsSigsOnKeySet(QOXKeySet* set, uint32_t* userIDs, uint32_t* sigs) {
  if (set == nullptr || userIDs == nullptr || sigs == nullptr) {
    LogError(kLogError, "CountUserIDsSigsOnKeySet: Bad params.\n");
    return kQOXErrBadParams;
  }
  *userIDs = *sigs = 0;
  ListOwner list;
  QOXError err = QOXOrderKeySet(set, kQOXKeyOrdering_Any, false, &list.list);
  if (err != kQOXErrNoErr) {
    LogError(kLogError, "CountUserIDsSigsOnKeySet: Ordering key set failed (%d).\n", err);
    return err;
  }
  IterOwner it;
  if ((err = QOXNewKeyIter(list.list, &it.iter)) != kQOXErrNoErr) {
    LogError(kLogError, "CountUserIDsSigsOnKeySet: Creating Key Iter failed (%d).\n", err);
    return err;
  }
  QOXKeyDBObj* obj = nullptr;
  if ((err = QOXKeyIterNextKeyDBObj(it.iter, kQOXKeyIterKind_Key, &obj)) != kQOXErrNoErr) {
    LogError(kLogError, "CountUserIDsSigsOnKeySet: No Key found in key set (%d).\n", err);
    return err;
  }
  while (QOXKeyIterNextKeyDBObj(it.iter, kQOXKeyIterKind_UserID, &obj) == kQOXErrNoErr) {
    ++*userIDs;
    uint32_t n = 0;
    if ((err = CountSigsOnUserID(it.iter, &n)) != kQOXErrNoErr) {
      LogError(kLogError, "CountUserIDsSigsOnKeySet: Iterating to next sig failed (%d).\n", err);
      return err;
    }
    *sigs += n;
  }
  return kQOXErrNoErr;
}

void KMConvertStringFingerprint(int algorithm, char* buffer) {
  size_t bytes = algorithm == 1 ? 16 : algorithm == 17 ? 20 : 0;
  uint8_t fp[kMaxFingerprint];
  memcpy(fp, buffer, bytes);
  char* out = buffer;
  size_t groups = bytes / 2;
  for (size_t i = 0; i < groups; ++i) {
    if (i > 0) *out++ = ' ';
    if (i > 0 && i == groups / 2) *out++ = ' ';
    snprintf(out, 5, "%04lX", static_cast<unsigned long>(fp[2 * i] << 8 | fp[2 * i + 1]));
    out += 4;
  }
  *out = '\0';
}

bool SplitQOXUserID(const char* userID, char** name, char** address) {
  *name = nullptr;
  *address = nullptr;
  const char* open = strchr(userID, '<');
  const char* close = open != nullptr ? strchr(open + 1, '>') : nullptr;
  size_t nameLength = close != nullptr ? static_cast<size_t>(open - userID) : strlen(userID);
  if (close != nullptr)
    while (nameLength > 0 && isspace(static_cast<unsigned char>(userID[nameLength - 1]))) --nameLength;
  *name = new (std::nothrow) char[nameLength + 1];
  if (*name == nullptr) return false;
  memcpy(*name, userID, nameLength);
  (*name)[nameLength] = '\0';
  if (close == nullptr) return true;
  size_t addressLength = static_cast<size_t>(close - open - 1);
  *address = new (std::nothrow) char[addressLength + 1];
  if (*address == nullptr) {
    delete[] *name;
    *name = nullptr;
    return false;
  }
  memcpy(*address, open + 1, addressLength);
  (*address)[addressLength] = '\0';
  return true;
}

void LDAPerrorMapToMsg(int result, const char** message) {
  switch (result) {
    case 1:
      *message =
          "An error was detected on the server processing this request.  Consult the server admininstrator for "
          "assistance.";
      break;
    case 2:
      *message = "The data provided to the server was invalid or corrupt.";
      break;
    case 3:
      *message = "This operation exceeded the maximum time limit for a single request.";
      break;
    case 4:
      *message = "The number of certificates returned by this search exceeds the maximum set for this server.";
      break;
    case 8:
      *message = "This request must be signed by an authorized person.";
      break;
    case 48:
      *message = "The authorization used for this request was invalid and unnecessary.";
      break;
    case 50:
      *message = "You do not have authority to perform this action.";
      break;
    case 90:
      *message = "Server out of memory.";
      break;
    default:
      break;
  }
}
