// Key merge and entry building over the key database's sets and iterators.
// Objects to delete (photo IDs) are collected during a walk and deleted
// after it, so no iterator stands on a deleted object.
#include "keyservice/key_entries.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "backend/ldbm_ops.h"
#include "foundation/scoped.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_accessors.h"
#include "keydb/key_db.h"
#include "keydb/key_id.h"
#include "keydb/key_iter.h"
#include "keydb/key_lookup.h"
#include "keydb/key_set.h"
#include "keydb/obj_properties.h"
#include "keydb/sig_check.h"
#include "keyservice/key_set_utils.h"
#include "keyservice/key_transfer.h"
#include "keyservice/policy.h"
#include "keyservice/signer_records.h"
#include "net/ldap_protocol.h"
#include "server/connection.h"
#include "server/dn.h"
#include "server/entry.h"
#include "server/error_log.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"

namespace {

constexpr int32_t Prop(KeyDBObjProperty p) { return static_cast<int32_t>(p); }

// The key-database service's failure (its RPC link).
constexpr QOXError kQOXErrServiceFailed = -11939;
constexpr int kAlgorithmRSA = 1;
constexpr int kAlgorithmDSS = 17;
constexpr size_t kCertIDDigits = 16;
constexpr size_t kUserIDMax = 256;
constexpr int kPolicyFailuresError = 0;
constexpr int kStoredRevokedUnknown = 2;

constexpr char kObjectClassCert[] = "qoxcertificate";
constexpr char kVersion[] = "7.0";

struct IterOwner {
  QOXKeyIter* iter = nullptr;
  ~IterOwner() {
    if (iter != nullptr) QOXFreeKeyIter(iter);
  }
};

void LogLibrary(int level, const char* format, QOXError err) {
  char text[256];
  QOXGetErrorString(err, sizeof text, text);
  LogError(level, format, text);
}

int NoMemory() {
  LogError(kLogError, "Memory allocation error.");
  return kLdapNoMemory;
}

int AddText(Entry* e, const char* type, const char* text) {
  return AddDirAttrToEntry(e, type, text, static_cast<uint32_t>(strlen(text))) == 0 ? 0 : kLdapOperationsError;
}

// A user ID's string, at most 256 bytes; false when it has none.
bool UserIDString(QOXKeyDBObj* userID, char (&text)[kUserIDMax + 1]) {
  std::memset(text, 0, sizeof text);
  size_t size = 0;
  QOXError err = QOXGetKeyDBObjDataProperty(userID, Prop(KeyDBObjProperty::UserIDName), text, kUserIDMax, &size);
  if (err != kQOXErrNoErr && err != kQOXErrBufferTooSmall && err != kQOXErrOutputBufferTooSmall) return false;
  text[kUserIDMax] = '\0';
  return text[0] != '\0';
}

bool IsRevoked(QOXKeyDBObj* key, QOXError* err) {
  bool a = false, b = false;
  *err = QOXGetKeyDBObjBooleanProperty(key, Prop(KeyDBObjProperty::KeyIsRevoked), &a);
  if (*err == kQOXErrNoErr)
    *err = QOXGetKeyDBObjBooleanProperty(key, Prop(KeyDBObjProperty::KeyHasRevocationSignature), &b);
  return a || b;
}

// An iterator over the set standing on its first key.
QOXError FirstKey(QOXKeySet* set, IterOwner* it, QOXKeyDBObj** key) {
  QOXError err = QOXNewKeyIterFromKeySet(set, &it->iter);
  if (err == kQOXErrNoErr) err = QOXKeyIterNextKeyDBObj(it->iter, kQOXKeyIterKind_Key, key);
  return err;
}

int KeyAlgorithm(QOXKeyDBObj* key) {
  int32_t algorithm = 0;
  if (QOXGetKeyDBObjNumericProperty(key, Prop(KeyDBObjProperty::KeyAlgorithm), &algorithm) != kQOXErrNoErr) return 0;
  return algorithm;
}

// 0 for the algorithms user-ID entries are made for, else 1 (logged).
int CheckAlgorithm(QOXKeyDBObj* key, const char* certID) {
  int algorithm = KeyAlgorithm(key);
  if (algorithm == kAlgorithmRSA || algorithm == kAlgorithmDSS) return 0;
  LogError(kLogError, "Algorithm ID %d is not supported (%s).", algorithm, certID);
  return kLdapOperationsError;
}

int AddTime(Entry* e, const char* type, QOXTime time) {
  char text[16] = {};
  if (QOXTime2GeneralizedTime(time, text, &g->mutexTimeConvert, &g->mutexTimeFormat) != 0) return kLdapOperationsError;
  return AddText(e, type, text);
}

// The signer records of a user ID as "qoxsignerid" values.
int AddSignerValues(Entry* e, const std::vector<SignerRecord>& records) {
  for (const SignerRecord& r : records) {
    char text[6 + kCertIDDigits + 1] = {};
    const char* prefix = r.marker == '-' ? "Neg: " : r.marker == 'x' ? "Exp: " : "";
    std::snprintf(text, sizeof text, "%s%.16s", prefix, r.keyID);
    if (AddText(e, "qoxsignerid", text) != 0) return kLdapNoMemory;
  }
  return 0;
}

bool SameRecord(const SignerRecord& a, const SignerRecord& b) {
  return a.marker == b.marker && std::memcmp(a.keyID, b.keyID, kCertIDDigits) == 0;
}

// Replaces the values of an attribute with one value.
int SetSingleValue(Attribute* a, const std::string& value) {
  BerValue v{static_cast<uint32_t>(value.size()), const_cast<char*>(value.data())};
  BerValue* one = berValueDuplicate(&v);
  if (one == nullptr) return kLdapNoMemory;
  auto** vector = static_cast<BerValue**>(zovurezCalloc(2, sizeof(BerValue*)));
  if (vector == nullptr) {
    berValueFree(one);
    return kLdapNoMemory;
  }
  vector[0] = one;
  berValuesFree(a->a_vals);
  a->a_vals = vector;
  return 0;
}

// The stored copy of a key under one of the two areas, as a key set.
struct StoredCopy {
  uint8_t isV2 = 0;
  QOXKeyDB* db = nullptr;  // owned; freed after the set
  ostrak::UniquePtr<QOXKeySet> set;
  ZovurezPtr<uint8_t> block;
  size_t length = 0;
  StoredCopy() = default;
  StoredCopy(const StoredCopy&) = delete;
  StoredCopy& operator=(const StoredCopy&) = delete;
  ~StoredCopy() {
    set.reset();
    if (db != nullptr) QOXFreeKeyDB(db);
  }
};

int FetchStored(Backend* be, QOXContext* context, const char* certID, const char* base, StoredCopy* out) {
  ZovurezPtr<char> dn;
  QOXError err = CreateKeyDN("QOXCERTID=", certID, base, ostrak::OutParam(dn));
  if (err != kQOXErrNoErr) return err == kQOXErrOutOfMemory ? kLdapNoMemory : kLdapOperationsError;
  return GetCertObject(be, dn.get(), context, &out->isV2, &out->db, ostrak::OutParam(out->set),
                       ostrak::OutParam(out->block), &out->length);
}

bool HasAttribute(Entry* e, const char* type) { return e != nullptr && attr_find(e->e_attrs, type) != nullptr; }

}  // namespace

// --- Entries ---

int CrtQOXCertEntry(Entry** entries, int entryCount, const char* certDN) {
  if (entries == nullptr || entryCount <= 0) return kLdapOperationsError;
  Entry* e = entries[entryCount - 1];
  char* dn = zovurezStrdup(certDN);
  if (dn == nullptr) return NoMemory();
  zovurezFree(e->e_dn);
  e->e_dn = dn;
  if (AddDirAttrToEntry(e, "objectclass", kObjectClassCert, sizeof kObjectClassCert - 1) != 0 ||
      AddText(e, "version", kVersion) != 0)
    return NoMemory();
  return 0;
}

int CrtUserIDObjDN(QOXKeyDBObj* userID, const char* certDN, char** dn) {
  *dn = nullptr;
  char text[kUserIDMax + 1];
  if (!UserIDString(userID, text)) return kLdapOperationsError;
  ZovurezPtr<char> escaped;
  size_t escapedLength = 0;
  if (EscapeDNString(text, ostrak::OutParam(escaped), &escapedLength) != 0) return NoMemory();
  size_t size = std::strlen("qoxUserID=") + escapedLength + 1 + std::strlen(certDN) + 1;
  auto* out = static_cast<char*>(zovurezMalloc(size));
  if (out == nullptr) return NoMemory();
  std::snprintf(out, size, "qoxUserID=%s,%s", escaped.get(), certDN);
  dn_normalize(out);
  *dn = out;
  return 0;
}

int CrtQOXUserIDEntry(Entry*** entries, int* entryCount, int* entryCapacity, const char* dn, Entry** entry) {
  *entry = nullptr;
  if (GrowEntries(entries, *entryCount + 1, entryCapacity) != 0) return NoMemory();
  Entry* e = entry_new();
  if (e == nullptr) return NoMemory();
  if ((e->e_dn = zovurezStrdup(dn)) == nullptr) {
    entry_free(e);
    return NoMemory();
  }
  (*entries)[(*entryCount)++] = e;
  *entry = e;
  return 0;
}

// --- User-ID attributes ---

int AddStaticQOXUserIDAttrs(Entry* entry, QOXKeyDBObj* userID, QOXKeyIter*, QOXKeyDBObj* key, const char* certID) {
  if (CheckAlgorithm(key, certID) != 0) return kLdapOperationsError;
  char text[kUserIDMax + 1];
  if (!UserIDString(userID, text)) return kLdapOperationsError;
  QOXTime created = 0, expires = 0;
  if (QOXGetKeyDBObjTimeProperty(key, Prop(KeyDBObjProperty::KeyCreation), &created) != kQOXErrNoErr ||
      QOXGetKeyDBObjTimeProperty(key, Prop(KeyDBObjProperty::KeyExpiration), &expires) != kQOXErrNoErr) {
    LogError(kLogError, "Getting property of certificate failed.  Library error: %s.", "time");
    return kLdapOperationsError;
  }
  const size_t idLength = std::strlen(certID);
  const char* shortID = idLength >= 8 ? certID + idLength - 8 : certID;
  int rc = AddText(entry, "objectclass", "qoxuserid");
  if (rc == 0) rc = AddText(entry, "qoxcertid", certID);
  if (rc == 0) rc = AddText(entry, "qoxdisabled", "0");
  if (rc == 0) rc = AddText(entry, "qoxkeyid", shortID);
  if (rc == 0) rc = AddText(entry, "qoxKeyType", KeyAlgorithm(key) == kAlgorithmDSS ? "DSS/DH" : "RSA");
  if (rc == 0) rc = AddText(entry, "qoxuserid", text);
  if (rc == 0) rc = AddTime(entry, "qoxkeycreatetime", created);
  if (rc == 0 && expires != 0) rc = AddTime(entry, "qoxkeyexpiretime", expires);
  return rc == 0 ? 0 : kLdapOperationsError;
}

int AddDynamicQOXUserIDAttrs(Entry* entry, QOXKeyDBObj*, QOXKeyIter*, QOXKeyDBObj* key, const char* certID,
                             bool revoked, const SubKeyValues& subKeys) {
  if (CheckAlgorithm(key, certID) != 0) return kLdapOperationsError;
  const bool dss = KeyAlgorithm(key) == kAlgorithmDSS;
  int32_t bits = 0;
  if (QOXGetKeyDBObjNumericProperty(key, Prop(KeyDBObjProperty::KeyBits), &bits) != kQOXErrNoErr)
    return kLdapOperationsError;
  // A DSS key shows the size of its largest (encryption) subkey; one without
  // a subkey shows its own.
  if (dss && subKeys.count > 0) bits = subKeys.largestBits;
  char size[16];
  std::snprintf(size, sizeof size, "%05d", static_cast<int>(bits));
  int rc = AddText(entry, "qoxkeysize", size);
  for (uint32_t i = 0; rc == 0 && dss && i < subKeys.count; ++i) rc = AddText(entry, "qoxsubkeyid", subKeys.ids[i]);
  if (rc == 0) rc = AddText(entry, "qoxrevoked", revoked ? "1" : "0");
  return rc == 0 ? 0 : kLdapOperationsError;
}

// --- Subkeys ---

int GetSubKeyValues(QOXKeyIter* iter, SubKeyValues* values) {
  delete[] values->ids;
  values->ids = nullptr;
  values->count = 0;
  values->largestBits = 0;
  std::vector<QOXKeyDBObj*> subKeys;
  QOXError err = QOXKeyIterRewind(iter, kQOXKeyIterKind_SubKey);
  QOXKeyDBObj* sub = nullptr;
  while (err == kQOXErrNoErr && (err = QOXKeyIterNextKeyDBObj(iter, kQOXKeyIterKind_SubKey, &sub)) == kQOXErrNoErr)
    subKeys.push_back(sub);
  QOXKeyIterRewind(iter, kQOXKeyIterKind_SubKey);
  if (err != kQOXErrEndOfIteration) return kLdapInvalidAttributeSyntax;
  values->ids = new (std::nothrow) char[subKeys.size() + 1][17];
  if (values->ids == nullptr) return kQOXErrOutOfMemory;
  for (QOXKeyDBObj* s : subKeys) {
    int32_t bits = 0;
    QOXKeyID id{};
    size_t size = 0;
    if (QOXGetKeyDBObjNumericProperty(s, Prop(KeyDBObjProperty::SubKeyBits), &bits) != kQOXErrNoErr ||
        QOXGetKeyDBObjDataProperty(s, Prop(KeyDBObjProperty::SubKeyKeyID), &id, sizeof id, &size) != kQOXErrNoErr)
      return kLdapInvalidAttributeSyntax;
    char* text = values->ids[values->count];
    if (!FormatKeyID16(id, text)) return kLdapInvalidAttributeSyntax;
    text[kCertIDDigits] = '\0';
    ++values->count;
    if (bits > values->largestBits) values->largestBits = bits;
  }
  return 0;
}

int MergeQOXSubKeys(QOXKeyIter* merged, QOXKeyIter* stored, bool keyIsNew, SubKeyValues* values, bool* changed) {
  int rc = GetSubKeyValues(merged, values);
  if (rc != 0) return rc == kQOXErrOutOfMemory ? kLdapNoMemory : kLdapInvalidAttributeSyntax;
  if (keyIsNew || stored == nullptr) return 0;
  SubKeyValues old;
  rc = GetSubKeyValues(stored, &old);
  if (rc != 0) return rc == kQOXErrOutOfMemory ? kLdapNoMemory : kLdapInvalidAttributeSyntax;
  if (old.count != values->count) {
    *changed = true;
    return 0;
  }
  for (uint32_t i = 0; i < values->count; ++i) {
    bool found = false;
    for (uint32_t j = 0; j < old.count && !found; ++j) found = std::strcmp(values->ids[i], old.ids[j]) == 0;
    if (!found) *changed = true;
  }
  return 0;
}

// --- Signer IDs ---

int MergeQOXSignerIDs(Entry* entry, QOXKeyDBObj* storedUserID, QOXKeyIter* merged, QOXKeyIter* stored,
                      bool keyIsNew, bool* changed) {
  std::vector<SignerRecord> fresh, old;
  if (GetSigIDsOfUserID(merged, true, false, &fresh) != kQOXErrNoErr) return kLdapInvalidAttributeSyntax;
  if (!keyIsNew && storedUserID != nullptr && stored != nullptr &&
      GetSigIDsOfUserID(stored, false, false, &old) != kQOXErrNoErr)
    return kLdapInvalidAttributeSyntax;
  if (fresh.size() == old.size()) {
    bool same = true;
    for (const SignerRecord& r : fresh) {
      bool found = false;
      for (const SignerRecord& s : old) found = found || SameRecord(r, s);
      same = same && found;
    }
    if (same) return 0;
  }
  *changed = true;
  return AddSignerValues(entry, fresh);
}

// --- Photo IDs ---

QOXError GetMostRecentSelfSig(QOXKeyIter* iter, QOXKeySet*, QOXKeyDBObj* key, QOXTime* time) {
  *time = 0;
  QOXKeyID own{};
  if (QOXGetKeyID(key, &own) != kQOXErrNoErr) return kQOXErrNoErr;
  const bool check = g->verifySignatures != 0;
  QOXError err = QOXKeyIterRewind(iter, kQOXKeyIterKind_Sig);
  QOXKeyDBObj* sig = nullptr;
  while (err == kQOXErrNoErr && QOXKeyIterNextKeyDBObj(iter, kQOXKeyIterKind_Sig, &sig) == kQOXErrNoErr) {
    QOXKeyID signer{};
    if (GetSignerID(sig, &signer) != kQOXErrNoErr || QOXCompareKeyIDs(&signer, &own) != 0) continue;
    if (check) {
      bool intact = false, tried = false, verified = false, revokedOK = false, hasRevocation = false;
      QOXGetKeyDBObjBooleanProperty(sig, Prop(KeyDBObjProperty::SigIsIntact), &intact);
      QOXGetKeyDBObjBooleanProperty(sig, Prop(KeyDBObjProperty::SigIsTried), &tried);
      QOXGetKeyDBObjBooleanProperty(sig, Prop(KeyDBObjProperty::SigIsVerified), &verified);
      QOXGetKeyDBObjBooleanProperty(sig, Prop(KeyDBObjProperty::SigIsRevoked), &revokedOK);
      QOXGetKeyDBObjBooleanProperty(sig, Prop(KeyDBObjProperty::SigHasRevocation), &hasRevocation);
      if (!intact || (tried && !verified) || (tried && verified && !revokedOK && hasRevocation)) continue;
    }
    QOXTime created = 0;
    if (QOXGetKeyDBObjTimeProperty(sig, Prop(KeyDBObjProperty::SigCreation), &created) == kQOXErrNoErr &&
        created > *time)
      *time = created;
  }
  QOXKeyIterRewind(iter, kQOXKeyIterKind_Sig);
  return kQOXErrNoErr;
}

bool KeepNewestPhotoID(Connection*, QOXKeyDBObj* photo, QOXKeyIter* iter, QOXKeySet* set, QOXKeyDBObj* key,
                       QOXTime* newestTime, QOXKeyDBObj** newestPhoto, QOXKeyDBObj** doomed) {
  *doomed = nullptr;
  QOXTime time = 0;
  GetMostRecentSelfSig(iter, set, key, &time);
  if (*newestPhoto == nullptr || time >= *newestTime) {
    *doomed = *newestPhoto;
    *newestPhoto = photo;
    *newestTime = time;
  } else {
    *doomed = photo;
  }
  return true;
}

// --- Revocation ---

int CheckForKeyRevoked(QOXKeyDBObj* key, QOXKeyDBObj* storedKey, bool* revoked, bool* storedRevoked,
                       bool* changed) {
  *revoked = false;
  *storedRevoked = false;
  const int32_t property = g->verifySignatures != 0 ? Prop(KeyDBObjProperty::KeyIsRevoked)
                                                     : Prop(KeyDBObjProperty::KeyHasRevocationSignature);
  QOXError err = QOXGetKeyDBObjBooleanProperty(key, property, revoked);
  if (err == kQOXErrNoErr && *revoked && storedKey != nullptr) {
    err = QOXGetKeyDBObjBooleanProperty(storedKey, Prop(KeyDBObjProperty::KeyHasRevocationSignature),
                                        storedRevoked);
    if (err == kQOXErrNoErr && *storedRevoked != *revoked) *changed = true;
  }
  if (err != kQOXErrNoErr) {
    LogLibrary(kLogError, "Could not determine if key was revoked.  Library error: %s.", err);
    return kLdapOperationsError;
  }
  return 0;
}

int VerifyRevokers(QOXContext* context, Backend* be, uint32_t revokerCount, QOXKeyDBObj* key, QOXKeySet* set,
                   QOXKeyDB** keyDB, QOXKeyDB** revokersDB) {
  if (context == nullptr || be == nullptr || key == nullptr || set == nullptr || keyDB == nullptr ||
      revokersDB == nullptr) {
    LogError(kLogError, "VerifyRevokers: Bad Parameters.\n");
    return kQOXErrBadParams;
  }
  *keyDB = nullptr;
  ostrak::UniquePtr<QOXKeyDB> revokers;
  QOXError err = QOXNewKeyDB(context, ostrak::OutParam(revokers));
  if (err != kQOXErrNoErr) {
    LogLibrary(kLogError, "Creating keyDB failed.  Library error: %s.", err);
    return kLdapOperationsError;
  }
  for (uint32_t i = 0; i < revokerCount; ++i) {
    QOXKeyDBObj* unused = nullptr;
    QOXKeyID id{};
    err = QOXGetIndexedRevocationKey(key, i, &unused, &id);
    char digits[kCertIDDigits + 1] = {};
    if (err != kQOXErrNoErr || !FormatKeyID16(id, digits)) {
      LogLibrary(kLogError, "Getting key from db failed.  Library error: %s.", err != kQOXErrNoErr ? err : kQOXErrBadParams);
      return kLdapOperationsError;
    }
    int rc = kQOXErrItemNotFound;
    ZovurezPtr<uint8_t> block, blockV2;
    size_t length = 0, lengthV2 = 0;
    uint8_t disabled = 0;
    for (const char* base : {kActiveBaseDN, kPendingBaseDN}) {
      char keyID[sizeof digits + 2];
      std::memcpy(keyID, digits, sizeof digits);
      block.reset();
      blockV2.reset();
      rc = KeyID2KeyBlock(be, keyID, base, ostrak::OutParam(block), &length, ostrak::OutParam(blockV2), &lengthV2,
                          &disabled);
      if (rc != kQOXErrItemNotFound) break;
    }
    if (rc == kQOXErrItemNotFound) {
      LogError(kLogVerbose, "VerifyRevokers: KeyID (%s) not found in database, revoker is not being checked.\n",
               digits);
      continue;
    }
    if (rc != 0) {
      LogLibrary(kLogError, "Getting key from db failed.  Library error: %s.", rc);
      return kLdapOperationsError;
    }
    if (disabled != 0) {
      LogError(kLogVerbose, "VerifyRevokers: KeyID (%s) is disabled in database, revoker is not being checked.\n",
               digits);
      continue;
    }
    QOXKeyDB* target = revokers.get();
    err = blockV2 != nullptr ? TransferKeysFromAAKeyBlock(context, blockV2.get(), lengthV2, &target)
                             : TransferKeysFromAAKeyBlock(context, block.get(), length, &target);
    if (err != kQOXErrNoErr) {
      LogLibrary(kLogWarning, "Internal keyset error.  Library error: %s.", err);
      return kLdapOperationsError;
    }
  }
  std::string exported;
  err = ConvertKeySet2KeyBlock(context, set, false, kExportFormatComplete, &exported);
  if (err != kQOXErrNoErr) {
    LogLibrary(kLogWarning, "Exporting keyblock failed.  Library error: %s.", err);
    return kLdapOperationsError;
  }
  err = TransferKeysFromAAKeyBlock(context, reinterpret_cast<const uint8_t*>(exported.data()), exported.size(),
                                   keyDB);
  if (err != kQOXErrNoErr) {
    *keyDB = nullptr;
    LogLibrary(kLogWarning, "Keyblock is missing or invalid.  Library error: %s.", err);
    return kLdapParamError;
  }
  *revokersDB = revokers.release();
  return 0;
}

// --- The merge ---

int MergeQOXCertObjects(Entry*** entries, int* entryCount, int* entryCapacity, QOXKeySet* newSet,
                        QOXKeySet* storedSet, const char* certID, const char* certDN, bool* changed,
                        int storedRevoked, Connection* conn) {
  QOXContext* context = conn->context;
  *changed = storedSet == nullptr;
  if (storedSet != nullptr) {
    std::string block;
    QOXKeyDB* db = QOXPeekKeySetKeyDB(newSet);
    QOXError err = ConvertKeySet2KeyBlock(context, storedSet, false, kExportFormatComplete, &block);
    if (err == kQOXErrNoErr)
      err = TransferKeysFromAAKeyBlock(context, reinterpret_cast<const uint8_t*>(block.data()), block.size(), &db);
    if (err != kQOXErrNoErr) {
      LogLibrary(kLogError, "Could not merge new and existing certificates.  Library error: %s.", err);
      return kLdapOperationsError;
    }
    uint32_t keys = 0;
    if (QOXCountKeys(newSet, &keys) != kQOXErrNoErr || keys != 1) {
      LogError(kLogWarning, "Submitted certificate differed from existing.");
      return kLdapNamingViolation;
    }
  }
  IterOwner it, storedIt;
  QOXKeyDBObj* key = nullptr;
  QOXKeyDBObj* storedKey = nullptr;
  if (FirstKey(newSet, &it, &key) != kQOXErrNoErr ||
      (storedSet != nullptr && FirstKey(storedSet, &storedIt, &storedKey) != kQOXErrNoErr))
    return kLdapOperationsError;
  QOXError err = kQOXErrNoErr;
  const bool revoked = IsRevoked(key, &err);
  if (err != kQOXErrNoErr) return kLdapOperationsError;
  if (storedKey != nullptr) {
    if (storedRevoked == kStoredRevokedUnknown) {
      bool r = false;
      if (QOXGetKeyDBObjBooleanProperty(storedKey, Prop(KeyDBObjProperty::KeyHasRevocationSignature), &r) !=
          kQOXErrNoErr)
        return kLdapOperationsError;
      storedRevoked = r ? 1 : 0;
    }
    if ((revoked ? 1 : 0) != storedRevoked) *changed = true;
  }
  const bool keyIsNew = storedKey == nullptr;
  int rc = 0;
  if (keyIsNew && (rc = CrtQOXCertEntry(*entries, *entryCount, certDN)) != 0) return rc;

  SubKeyValues subKeys;
  if ((rc = MergeQOXSubKeys(it.iter, storedIt.iter, keyIsNew, &subKeys, changed)) != 0) return rc;

  // The user IDs in order; photo IDs are trimmed or counted.
  std::vector<QOXKeyDBObj*> doomed;
  int photos = 0;
  QOXKeyIterRewind(it.iter, kQOXKeyIterKind_UserID);
  QOXKeyDBObj* userID = nullptr;
  while (QOXKeyIterNextKeyDBObj(it.iter, kQOXKeyIterKind_UserID, &userID) == kQOXErrNoErr) {
    QOXKeyDBObj* match = nullptr;
    if (storedIt.iter != nullptr && FindUserIDInCert(storedIt.iter, userID, &match) != kQOXErrNoErr)
      return kLdapOperationsError;
    if (IsPhotoID(userID)) {
      if (g->TrimPhotoIDs != 0) {
        doomed.push_back(userID);
        continue;
      }
      ++photos;
    }
    ZovurezPtr<char> dn;
    rc = CrtUserIDObjDN(userID, certDN, ostrak::OutParam(dn));
    if (rc == kLdapOperationsError) continue;  // no user ID string
    if (rc != 0) return rc;
    Entry* entry = nullptr;
    if ((rc = CrtQOXUserIDEntry(entries, entryCount, entryCapacity, dn.get(), &entry)) != 0) return rc;
    if (match == nullptr) {
      if ((rc = AddStaticQOXUserIDAttrs(entry, userID, it.iter, key, certID)) != 0) return rc;
      *changed = true;
    }
    if ((rc = AddDynamicQOXUserIDAttrs(entry, userID, it.iter, key, certID, revoked, subKeys)) != 0) return rc;
    if ((rc = MergeQOXSignerIDs(entry, match, it.iter, match != nullptr ? storedIt.iter : nullptr, keyIsNew,
                                changed)) != 0)
      return rc;
    if (!*changed) GiveBackEntry(entries, entryCount);
  }

  // Of two or more photo IDs only the newest stays.
  if (photos >= 2) {
    QOXTime newestTime = 0;
    QOXKeyDBObj* newest = nullptr;
    QOXKeyIterRewind(it.iter, kQOXKeyIterKind_UserID);
    while (QOXKeyIterNextKeyDBObj(it.iter, kQOXKeyIterKind_UserID, &userID) == kQOXErrNoErr) {
      if (!IsPhotoID(userID)) continue;
      QOXKeyDBObj* loser = nullptr;
      KeepNewestPhotoID(conn, userID, it.iter, newSet, key, &newestTime, &newest, &loser);
      if (loser != nullptr) doomed.push_back(loser);
    }
  }
  for (QOXKeyDBObj* u : doomed) {
    if ((err = QOXDeleteKeyDBObj(u)) != kQOXErrNoErr) {
      LogLibrary(kLogError, "Removing Photo ID failed.  Library error: %s.", err);
      return kLdapOperationsError;
    }
    *changed = true;
  }
  return 0;
}

// --- The submission ---

int RemoveKeyFromPending(Backend* be, const char* certID) {
  if (be == nullptr || certID == nullptr || certID[0] == '\0') return 0;
  return ldbm_back_delete_from_pending(be, certID, nullptr, 0);
}

int CreateAddKeyEntries(Entry*** entries, int* entryCount, int* entryCapacity, Backend* be, Attribute* submitted,
                        const uint8_t* keyBlock, size_t blockLength, bool isSigned, Connection* conn, Operation* op,
                        char certID[17], bool* active, const char** message) {
  certID[0] = '\0';
  *active = false;
  *message = nullptr;
  if (entries == nullptr || *entries == nullptr || *entryCount < 1 || be == nullptr || submitted == nullptr ||
      keyBlock == nullptr || conn == nullptr || conn->context == nullptr) {
    LogError(kLogError, "Internal add request error.");
    return kLdapOperationsError;
  }
  QOXContext* context = conn->context;
  // Each submission starts with the key data seen as unchanged.
  conn->changedKeyData = 0;

  // 1-2: the block holds exactly one key.
  ostrak::UniquePtr<QOXKeyDB> db;
  QOXError err = QOXImport(context, ostrak::OutParam(db), QOXOInputBuffer(context, keyBlock, blockLength),
                           kQOXEndOfOptionList);
  if (err == kQOXErrServiceFailed) {
    LogError(kLogError, "QOX SDK Service error processing keyblock.  RPC failure.");
    *message = "QOX SDK Service error processing keyblock.  RPC failure.";
    return kLdapLocalError;
  }
  if (err != kQOXErrNoErr) {
    LogLibrary(kLogWarning, "Invalid keyblock received.  Library error: %s.", err);
    return kLdapInvalidAttributeSyntax;
  }
  ostrak::UniquePtr<QOXKeySet> set;
  uint32_t keys = 0;
  err = QOXNewKeySet(db.get(), ostrak::OutParam(set));
  if (err == kQOXErrNoErr) err = QOXCountKeys(set.get(), &keys);
  if (err != kQOXErrNoErr) {
    LogLibrary(kLogWarning, "Internal keyset error.  Library error: %s.", err);
    return kLdapOperationsError;
  }
  if (keys != 1) {
    *message = "Only one key can be in the key block per add to the server.";
    LogError(kLogWarning, "%s", *message);
    return kLdapInvalidAttributeSyntax;
  }
  QOXKeyDBObj* key = nullptr;
  if ((err = KeySet2Key(set.get(), false, &key)) != kQOXErrNoErr || key == nullptr) {
    LogLibrary(kLogWarning, "Internal keyset error.  Library error: %s.", err);
    return kLdapOperationsError;
  }
  if (int rc = GetCertID(key, certID); rc != 0) {
    certID[0] = '\0';
    return rc;
  }
  if (op != nullptr) std::snprintf(op->logData.keyID1, sizeof op->logData.keyID1, "%s", certID);

  // 3-4: signatures and designated revokers.
  (void)QOXCheckKeyRingSigs(set.get(), nullptr, false, nullptr, nullptr);
  uint32_t revokers = 0;
  if ((err = QOXCountRevocationKeys(key, &revokers)) != kQOXErrNoErr) {
    LogLibrary(kLogWarning, "Internal keyset error.  Library error: %s.", err);
    return kLdapOperationsError;
  }
  int storedRevoked = kStoredRevokedUnknown;
  ostrak::UniquePtr<QOXKeyDB> revokersDB;
  if (revokers > 0) {
    {
      StoredCopy stored;
      int rc = FetchStored(be, context, certID, kActiveBaseDN, &stored);
      if (rc == 0 && stored.set == nullptr) rc = FetchStored(be, context, certID, kPendingBaseDN, &stored);
      if (rc == 0 && stored.set != nullptr) {
        IterOwner sit;
        QOXKeyDBObj* storedKey = nullptr;
        bool r = false;
        err = FirstKey(stored.set.get(), &sit, &storedKey);
        if (err == kQOXErrNoErr)
          err = QOXGetKeyDBObjBooleanProperty(storedKey, Prop(KeyDBObjProperty::KeyHasRevocationSignature), &r);
        if (err != kQOXErrNoErr) {
          LogLibrary(kLogWarning, "Internal error.  Library error: %s.", err);
          return kLdapOperationsError;
        }
        storedRevoked = r ? 1 : 0;
      }
    }
    ostrak::UniquePtr<QOXKeyDB> again;
    int rc = VerifyRevokers(context, be, revokers, key, set.get(), ostrak::OutParam(again),
                            ostrak::OutParam(revokersDB));
    if (rc != 0) return rc == kQOXErrBadParams ? kLdapOperationsError : rc;
    set.reset();
    db = std::move(again);
    err = QOXNewKeySet(db.get(), ostrak::OutParam(set));
    if (err == kQOXErrNoErr) err = KeySet2Key(set.get(), false, &key);
    if (err != kQOXErrNoErr || key == nullptr) {
      LogLibrary(kLogWarning, "Internal keyset error.  Library error: %s.", err);
      return kLdapOperationsError;
    }
    // The designated revocations are checked against the revokers' keys.
    (void)QOXCheckKeyRingSigs(set.get(), revokersDB.get(), false, nullptr, nullptr);
  }

  // 5: RSA keys need the toolkit's RSA support.
  if (g->rsaSupported == 0 && KeyAlgorithm(key) >= 1 && KeyAlgorithm(key) <= 3) {
    *message = "The type of key (RSA) is not supported.";
    LogError(kLogWarning, "%s", *message);
    return kLdapInvalidAttributeSyntax;
  }

  // 6: the policy picks the area. The pending copy of an accepted key stays
  // until the new entries are stored; only its reconstruction data moves.
  bool trimmed = false;
  QOXError policy = CheckPolicy(set.get(), conn, &trimmed);
  *active = policy == kQOXErrNoErr;
  if (*active) {
    if (g->AcceptReconstructionData != 0) (void)ldbm_back_copy_recon_from_pending(be, certID, (*entries)[0]);
  } else {
    if (policy != kQOXErrKeyValidityLowOrNone) LogError(kLogError, "Check policy returned %d.\n", policy);
    if (g->PolicyFailures == kPolicyFailuresError) {
      if (policy == kQOXErrKeyValidityLowOrNone) {
        *message = "Certificate does not contain required signatures.";
        LogError(kLogInfo, "%s", *message);
        return kLdapInvalidCredentials;
      }
      if (policy == 2) {
        *message = "All User IDs and signatures were trimmed from the certificate due to server policies.";
        LogError(kLogInfo, "%s", *message);
        return kLdapConstraintViolation;
      }
      *message = "Could not process certificate during policy check.";
      LogError(kLogError, "%s", *message);
      return kLdapOperationsError;
    }
  }

  // 7: the stored copy in the chosen area.
  const char* base = *active ? kActiveBaseDN : kPendingBaseDN;
  ZovurezPtr<char> certDN;
  err = CreateKeyDN("QOXCERTID=", certID, base, ostrak::OutParam(certDN));
  if (err != kQOXErrNoErr) return err == kQOXErrOutOfMemory ? NoMemory() : kLdapOperationsError;
  StoredCopy stored;
  if (int rc = FetchStored(be, context, certID, base, &stored); rc != 0) {
    *message = rc == kLdapUnavailable   ? "Certificate is disabled."
               : rc == kLdapParamError ? "Invalid certificate received by server."
                                        : "A copy of this certificate on the server is corrupt.";
    return rc;
  }

  // 8: changing a stored key may need a signed request.
  uint32_t storedUserIDs = 0, storedSigs = 0;
  if (stored.set != nullptr) {
    bool needsSig = true;
    if (ModRequiresSig(stored.set.get(), &needsSig) != kQOXErrNoErr) {
      LogError(kLogWarning, "Internal error checking modification authorization!\n");
      return kLdapOperationsError;
    }
    if (needsSig && !isSigned) {
      LogError(kLogInfo, "Modification of key requires signature!\n");
      return kLdapInsufficientAccess;
    }
    if ((err = CountUserIDsSigsOnKeySet(stored.set.get(), &storedUserIDs, &storedSigs)) != kQOXErrNoErr) {
      LogError(kLogError, "Counting totals on key in database failed (%d).\n", err);
      return kLdapOperationsError;
    }
  }

  // 9: the merge and the user-ID entries.
  bool changed = false;
  int rc = MergeQOXCertObjects(entries, entryCount, entryCapacity, set.get(), stored.set.get(), certID, certDN.get(),
                               &changed, storedRevoked, conn);
  if (rc == kLdapNamingViolation)
    *message = "Key ID of this certificate collided with the Key ID of an existing certificate.";
  if (rc != 0) return rc;

  // 10: changes the entries do not show.
  std::string complete;
  if ((err = ConvertKeySet2KeyBlock(context, set.get(), false, kExportFormatComplete, &complete)) != kQOXErrNoErr) {
    LogLibrary(kLogWarning, "ASCII-armoring key failed.  Library error: %s.", err);
    return kLdapOperationsError;
  }
  if (!changed && stored.set != nullptr &&
      (complete.size() != stored.length || std::memcmp(complete.data(), stored.block.get(), stored.length) != 0)) {
    changed = true;
    conn->changedKeyData = 1;
    LogError(kLogVerbose, "Non-tracked key data changed.");
  }
  if (HasAttribute((*entries)[0], "qoxrecondata")) changed = true;

  // 11: what the submission added, for the access log.
  uint32_t userIDs = 0, sigs = 0;
  if (CountUserIDsSigsOnKeySet(set.get(), &userIDs, &sigs) == kQOXErrNoErr) {
    conn->newUserIDs = static_cast<int32_t>(userIDs) - static_cast<int32_t>(storedUserIDs);
    conn->newSignatures = static_cast<int32_t>(sigs) - static_cast<int32_t>(storedSigs);
  }

  // 12: nothing to store.
  if (!changed) {
    *message = "Certificate has not changed.";
    LogError(kLogInfo, "%s", *message);
    if (conn->newUserIDs > 0)
      LogError(kLogError, "Certificate has not changed, but there are new user IDs present (0x%s:%d).\n", certID,
               conn->newUserIDs);
    if (conn->newSignatures > 0)
      LogError(kLogError, "Certificate has not changed, but there are new signatures present (0x%s:%d).\n", certID,
               conn->newSignatures);
    if (*active) (void)RemoveKeyFromPending(be, certID);
    return kLdapEntryAlreadyExists;
  }

  // 13: the certificate entry's key blocks.
  Entry* first = (*entries)[0];
  if (first->e_dn == nullptr && (first->e_dn = zovurezStrdup(certDN.get())) == nullptr) return NoMemory();
  std::string basic;
  if ((err = ConvertKeySet2KeyBlock(context, set.get(), false, kExportFormatBasic, &basic)) != kQOXErrNoErr) {
    LogLibrary(kLogWarning, "ASCII-armoring key failed.  Library error: %s.", err);
    return kLdapOperationsError;
  }
  if (strcasecmp(submitted->a_type, "qoxkey") != 0) {
    char* type = zovurezStrdup("qoxkey");
    if (type == nullptr) return NoMemory();
    zovurezFree(submitted->a_type);
    submitted->a_type = type;
  }
  if (stored.isV2 == 0 && basic == complete) {
    if (SetSingleValue(submitted, complete) != 0) return NoMemory();
  } else {
    LogError(kLogVerbose, "Adding keyblock with extensions (V2).");
    if (SetSingleValue(submitted, basic) != 0) return NoMemory();
    if (Attribute* v2 = attr_find(first->e_attrs, "qoxkeyv2"); v2 != nullptr) {
      if (SetSingleValue(v2, complete) != 0) return NoMemory();
    } else if (AddDirAttrToEntry(first, "qoxkeyv2", complete.data(), static_cast<uint32_t>(complete.size())) != 0) {
      return NoMemory();
    }
  }
  return 0;
}
