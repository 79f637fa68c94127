// Key lookups for key submission: the key ID named by a DN, a stored key
// block by key ID or certificate ID, a stored key as a key set, and the
// index method kept in the key space's root entry.
#include <strings.h>

#include <cctype>
#include <cstring>
#include <string>
#include <utility>

#include "backend/attr_index.h"
#include "backend/entry_cache.h"
#include "backend/entry_tables.h"
#include "backend/index.h"
#include "backend/ldbm_ops.h"
#include "foundation/errors.h"
#include "foundation/hex.h"
#include "foundation/sdk_errors.h"
#include "server/dn.h"
#include "server/error_log.h"
#include "server/key_submission_services.h"
#include "server/support/zovurez.h"

namespace {

constexpr size_t kCertIDLength = 16;

uint8_t* CopyBytes(const BerValue* v) {
  auto* out = static_cast<uint8_t*>(zovurezMalloc(v->bv_len > 0 ? v->bv_len : 1));
  if (out != nullptr && v->bv_len > 0) memcpy(out, v->bv_val, v->bv_len);
  return out;
}

BerValue* FirstValue(Attribute* a) {
  return a != nullptr && a->a_vals != nullptr ? a->a_vals[0] : nullptr;
}

}  // namespace

int ExtractKeyIDFromDN(const char* dn, char** keyID) {
  if (dn == nullptr || keyID == nullptr) return 1;
  std::string copy(dn);
  dn_normalize_case(copy.data());
  copy.resize(strlen(copy.c_str()));
  if (strncmp(copy.c_str(), "QOXUSERID=", 10) == 0) {
    char* parent = dn_parent(copy.c_str(), kKeySpaceDN);
    if (parent == nullptr) return 1;
    copy = parent;
    zovurezFree(parent);
  }
  if (strncmp(copy.c_str(), "QOXCERTID=", 10) != 0) return 1;
  const char* id = copy.c_str() + 10;
  for (size_t i = 0; i < kCertIDLength; ++i) {
    if (!qoxIsValidHexChar(id[i])) return 1;
  }
  if (qoxIsValidHexChar(id[kCertIDLength])) return 1;
  char* out = static_cast<char*>(zovurezMalloc(kCertIDLength + 1));
  if (out == nullptr) return 1;
  memcpy(out, id, kCertIDLength);
  out[kCertIDLength] = '\0';
  *keyID = out;
  return 0;
}

int KeyID2KeyBlock(Backend* be, char* keyID, const char* base, uint8_t** keyBlock, size_t* keyBlockLength,
                   uint8_t** keyBlockV2, size_t* keyBlockV2Length, uint8_t* disabled) {
  if (be == nullptr || keyID == nullptr || base == nullptr || keyBlock == nullptr || keyBlockLength == nullptr ||
      keyBlockV2 == nullptr || keyBlockV2Length == nullptr || disabled == nullptr || *keyBlock != nullptr ||
      *keyBlockV2 != nullptr) {
    LogError(kLogError, "KeyID2KeyBlock: Bad Parameters\n");
    return kQOXErrBadParams;
  }
  *keyBlockLength = 0;
  *keyBlockV2Length = 0;
  *disabled = 0;
  char* id = keyID;
  if (id[0] == '0' && id[1] == 'x') id += 2;

  ZovurezPtr<char> keyDN;
  if (strlen(id) == 8) {
    std::string type("qoxkeyid");
    ostrak::UniquePtr<IdList> ids(index_read(be, type.data(), kIndexEquality, id));
    for (ID cand = idl_firstid(ids.get()); ids != nullptr && cand != NOID; cand = idl_nextid(ids.get(), cand)) {
      Entry* e = id2entry(be, cand);
      if (e == nullptr) continue;
      CacheHold hold(be, e);
      BerValue* cert = FirstValue(attr_find(e->e_attrs, "qoxcertid"));
      if (cert == nullptr) continue;
      // Only a well-formed certificate ID goes into the caller's buffer,
      // which holds 16 digits and a NUL.
      if (cert->bv_len != kCertIDLength) continue;
      bool hex = true;
      for (size_t i = 0; i < kCertIDLength; ++i) hex = hex && qoxIsValidHexChar(cert->bv_val[i]);
      if (!hex) continue;
      memcpy(id, cert->bv_val, kCertIDLength);
      id[kCertIDLength] = '\0';
      ZovurezPtr<char> candidateDN;
      QOXError err = CreateKeyDN("QOXCERTID=", id, base, ostrak::OutParam(candidateDN));
      if (err != 0) return err == kQOXErrOutOfMemory ? kQOXErrOutOfMemory : kQOXErrItemNotFound;
      ZovurezPtr<char> parent(dn_parent(e->e_dn, kKeySpaceDN));
      if (parent != nullptr) dn_normalize(parent.get());
      if (parent != nullptr && strcasecmp(parent.get(), candidateDN.get()) == 0) {
        keyDN = std::move(candidateDN);
        break;
      }
    }
    if (keyDN == nullptr) return kQOXErrItemNotFound;
  } else {
    QOXError err = CreateKeyDN("QOXCERTID=", id, base, ostrak::OutParam(keyDN));
    if (err == kQOXErrOutOfMemory) return err;
    if (err != 0) return kQOXErrItemNotFound;
  }

  char* matched = nullptr;
  Entry* e = dn2entry(be, keyDN.get(), &matched);
  zovurezFree(matched);
  if (e == nullptr) return kQOXErrItemNotFound;
  CacheHold hold(be, e);
  ZovurezPtr<uint8_t> block, blockV2;
  size_t blockLength = 0, blockV2Length = 0;
  for (Attribute* a = e->e_attrs; a != nullptr; a = a->a_next) {
    BerValue* v = FirstValue(a);
    if (strcasecmp(a->a_type, "qoxkey") == 0 && v != nullptr && block == nullptr) {
      block.reset(CopyBytes(v));
      if (block == nullptr) return kQOXErrOutOfMemory;
      blockLength = v->bv_len;
    } else if (strcasecmp(a->a_type, "qoxkeyv2") == 0 && v != nullptr && blockV2 == nullptr) {
      blockV2.reset(CopyBytes(v));
      if (blockV2 == nullptr) return kQOXErrOutOfMemory;
      blockV2Length = v->bv_len;
    } else if (strcasecmp(a->a_type, "qoxdisabled") == 0) {
      if (v == nullptr || v->bv_len == 0) {
        LogError(kLogWarning, "KeyID2KeyBlock: Disabled attr has no value.\n");
      } else {
        *disabled = v->bv_val[0] == '1' ? 1 : 0;
      }
    }
  }
  if (block == nullptr && blockV2 == nullptr) return kQOXErrItemNotFound;
  *keyBlock = block.release();
  *keyBlockLength = blockLength;
  *keyBlockV2 = blockV2.release();
  *keyBlockV2Length = blockV2Length;
  return 0;
}

namespace {

int GetCertObjectInternal(Backend* be, const char* dn, QOXContext* context, uint8_t* isV2, QOXKeySet** keySet,
                          uint8_t** keyBlock, size_t* keyBlockLength) {
  *keySet = nullptr;
  *isV2 = 0;
  char* matched = nullptr;
  Entry* e = dn2entry(be, dn, &matched);
  zovurezFree(matched);
  if (e == nullptr) return 0;
  CacheHold hold(be, e);
  Attribute* key = attr_find(e->e_attrs, "qoxkeyv2");
  if (key != nullptr) {
    *isV2 = 1;
  } else {
    key = attr_find(e->e_attrs, "qoxkey");
  }
  BerValue* flag = FirstValue(attr_find(e->e_attrs, "qoxdisabled"));
  if (flag != nullptr && flag->bv_len == 1 && flag->bv_val[0] == '1') {
    LogError(kLogInfo, "Certificate is disabled (%s).", dn);
    return kLdapUnavailable;
  }
  BerValue* v = FirstValue(key);
  if (v == nullptr) {
    LogError(kLogError, "Certificate in database did not have a keyblock (%s).", dn);
    return kLdapOperationsError;
  }
  if ((*keyBlock = CopyBytes(v)) == nullptr) {
    // A stored key that cannot be read must not look like no stored key,
    // or a submission could replace it.
    LogError(kLogError, "Memory allocation error.");
    return kLdapNoMemory;
  }
  *keyBlockLength = v->bv_len;
  ostrak::UniquePtr<QOXKeyDB> db;
  QOXError err = vuzizKeySubmissionServices().TransferKeysFromAAKeyBlock(context, *keyBlock, *keyBlockLength,
                                                                         ostrak::OutParam(db));
  if (err != 0) {
    char text[101];
    QOXGetErrorString(err, sizeof text, text);
    LogError(kLogWarning, "Keyblock of (%s) is missing or invalid.  Library error: %s.", dn, text);
    return kLdapParamError;
  }
  err = qoxKeyDBServices().QOXNewKeySet(db.get(), keySet);
  if (err != 0) {
    char text[101];
    QOXGetErrorString(err, sizeof text, text);
    LogError(kLogWarning, "Could not create output keyset.  Library error: %s.", text);
    *keySet = nullptr;
    return kLdapLocalError;
  }
  (void)db.release();  // the key set holds the key database from here on
  return 0;
}

}  // namespace

int GetCertObject(Backend* be, const char* dn, QOXContext* context, uint8_t* isV2, QOXKeyDB** keyDB,
                  QOXKeySet** keySet, uint8_t** keyBlock, size_t* keyBlockLength) {
  if (be == nullptr || dn == nullptr || context == nullptr || isV2 == nullptr || keyDB == nullptr ||
      keySet == nullptr || keyBlock == nullptr || keyBlockLength == nullptr || *keyDB != nullptr ||
      *keySet != nullptr || *keyBlock != nullptr) {
    LogError(kLogError, "GetCertObject: Bad Params.\n");
    return kQOXErrBadParams;
  }
  int rc = GetCertObjectInternal(be, dn, context, isV2, keySet, keyBlock, keyBlockLength);
  if (*keySet != nullptr) *keyDB = qoxKeyDBServices().QOXPeekKeySetKeyDB(*keySet);
  return rc;
}

int WriteIndexMethodToDB(Backend* be, int method) {
  char* matched = nullptr;
  Entry* root = dn2entry(be, kKeySpaceDN, &matched);
  zovurezFree(matched);
  if (root == nullptr) {
    LogError(kLogError, "No qox keyspace entry found.");
    return -1;
  }
  CacheHold hold(be, root);
  const char* value = method == 1 ? "substring" : method == 2 ? "word" : nullptr;
  if (value == nullptr) {
    LogError(kLogError, "Unknown indexmethod can not be added.");
    return -3;
  }
  // The root entry may be read by searches: store a changed copy.
  Entry* copy = ldbm_entry_dup(root);
  if (copy == nullptr) {
    LogError(kLogError, "Could not add the indexmethod attribute: (%i).", -1);
    return -2;
  }
  int rc = AddDirAttrToEntry(copy, "indexmethod", value, static_cast<uint32_t>(strlen(value)));
  if (rc != 0) {
    LogError(kLogError, "Could not add the indexmethod attribute: (%i).", rc);
    entry_free(copy);
    return -2;
  }
  if (ldbm_store_entry_copy(be, root, copy) != 0) {
    LogError(kLogError, "Entry could not be added to the db.");
    return -4;
  }
  return 0;
}

int ReadIndexMethodFromDB(Backend* be, int* method) {
  char* matched = nullptr;
  Entry* root = dn2entry(be, kKeySpaceDN, &matched);
  zovurezFree(matched);
  if (root == nullptr) {
    LogError(kLogError, "No qox keyspace entry found.");
    return -1;
  }
  BerValue* v = nullptr;
  {
    CacheHold hold(be, root);
    v = FirstValue(attr_find(root->e_attrs, "indexmethod"));
    if (v != nullptr) {
      std::string text(v->bv_val != nullptr ? v->bv_val : "", v->bv_len);
      if (strcasecmp(text.c_str(), "substring") == 0) {
        *method = 1;
        return 0;
      }
      if (strcasecmp(text.c_str(), "word") == 0) {
        *method = 2;
        return 0;
      }
      LogError(kLogError, "Unknown index type found in the database.");
      return -2;
    }
  }
  if (WriteIndexMethodToDB(be, 1) != 0) {
    LogError(kLogError, "Could not write index method to database.");
    return -3;
  }
  *method = 1;
  return 0;
}
