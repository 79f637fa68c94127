// The LDAP Add handler and the key-submission road.
#include "keyservice/key_submission.h"

#include <strings.h>

#include <cctype>
#include <cstdint>
#include <cstring>

#include "backend/ldbm_ops.h"
#include "foundation/keydb_services.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "foundation/sdk_errors.h"
#include "foundation/sdk_time.h"
#include "keydb/key_db.h"
#include "keydb/key_id.h"
#include "keydb/key_lookup.h"
#include "keydb/key_set.h"
#include "keyservice/key_entries.h"
#include "keyservice/key_set_utils.h"
#include "keyservice/reconstruction.h"
#include "keyservice/replication_log.h"
#include "keyservice/signed_request.h"
#include "net/ldap_protocol.h"
#include "server/access_control.h"
#include "server/backend.h"
#include "server/ber_helpers.h"
#include "server/connection.h"
#include "server/dn.h"
#include "server/entry.h"
#include "server/error_log.h"
#include "server/result.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"

namespace {

// The key-database service failed (its remote end could not be reached).
constexpr QOXError kQOXErrServiceFailed = -11939;

constexpr const char* kGroupDN = "ou=default,O=QOX GROUPSPACE,C=US";
constexpr const char* kPrefsDN = "qoxelementtype=qoxprefs,O=QOX CLIENT PREFS SPACE,C=US";
constexpr const char* kNetPrefsDN = "qoxelementtype=qoxnetprefs,O=QOX CLIENT PREFS SPACE,C=US";

constexpr const char* kReconDataType = "qoxrecondata";
constexpr const char* kReconPromptsType = "qoxreconprompts";
constexpr const char* kReconRepetitionsType = "qoxreconhashrepetitions";
constexpr size_t kReconPromptsOffset = kReconKeyIDSize;
constexpr size_t kReconPromptsSize = 480;
constexpr size_t kReconRepetitionsOffset = kReconPromptsOffset + kReconPromptsSize;
constexpr size_t kReconRepetitionsText = 10;
static_assert(kReconRepetitionsOffset + 2 == kReconLengthOffset);

constexpr const char* kMsgNotSignedAdd = "Requests to add certificates must be signed.";
constexpr const char* kMsgNotSignedDelete = "Requests to disable/delete certificates must be signed.";
constexpr const char* kMsgInvalidSignature = "Invalid signature or malformed signature on signed request.";
constexpr const char* kMsgServiceFailed = "QOX SDK Service error processing keyblock.  RPC failure.";
constexpr const char* kMsgPending = "Due to certificate not passing policy, its addition is awaiting approval.";

bool IsKeyType(const char* type) {
  return strcasecmp(type, "qoxkey") == 0 || strcasecmp(type, "qoxkeyv2") == 0 ||
         strcasecmp(type, "qoxrequest") == 0;
}

// The result of a failed verification, signer look-up or import: never a
// toolkit code.
int VerifyFailure(QOXError code, bool decodeOrImport, const char** message) {
  if (code == kQOXErrServiceFailed) {
    *message = kMsgServiceFailed;
    LogError(kLogWarning, "%s", kMsgServiceFailed);
    return kLdapLocalError;
  }
  *message = kMsgInvalidSignature;
  LogError(kLogWarning, "%s", kMsgInvalidSignature);
  if (code > 0) return code;
  char text[256];
  QOXGetErrorString(code, sizeof text, text);
  LogError(kLogWarning, "Checking a signed request failed with error %d (%s).", code, text);
  return decodeOrImport ? kLdapInvalidAttributeSyntax : kLdapOperationsError;
}

// A key database holding the key the server stores for keyID (16 digits,
// any case) in the active space. 0 with *db; kQOXErrItemNotFound when there
// is none; else the failure, *decodeOrImport telling whether the import
// failed.
QOXError StoredKeyDB(Backend* be, Connection* conn, const char* keyID, QOXKeyDB** db, bool* decodeOrImport) {
  *db = nullptr;
  *decodeOrImport = false;
  char id[20] = {};
  for (size_t i = 0; i < 16 && keyID[i] != '\0'; ++i) id[i] = static_cast<char>(toupper(static_cast<unsigned char>(keyID[i])));
  if (strlen(id) != 16) return kQOXErrItemNotFound;
  uint8_t* block = nullptr;
  uint8_t* blockV2 = nullptr;
  size_t length = 0, lengthV2 = 0;
  uint8_t disabled = 0;
  QOXError err = KeyID2KeyBlock(be, id, kActiveBaseDN, &block, &length, &blockV2, &lengthV2, &disabled);
  if (err != 0) return err;
  ZovurezPtr<uint8_t> owned(block), ownedV2(blockV2);
  const uint8_t* bytes = block != nullptr ? block : blockV2;
  size_t size = block != nullptr ? length : lengthV2;
  err = QOXImport(conn->context, db, QOXOInputBuffer(conn->context, bytes, size), kQOXEndOfOptionList);
  if (err != 0) {
    *decodeOrImport = true;
    if (*db != nullptr) QOXFreeKeyDB(*db);
    *db = nullptr;
  }
  return err;
}

// Verifies the span against the key the server stores for keyID. 0 with
// *verified (false when there is no such key); else the result code.
int VerifyWithStoredKey(Backend* be, Connection* conn, const char* span, size_t spanLength, const char* keyID,
                        bool* verified, char signer[17], const char** message) {
  *verified = false;
  QOXKeyDB* db = nullptr;
  bool importFailed = false;
  QOXError err = StoredKeyDB(be, conn, keyID, &db, &importFailed);
  if (err == kQOXErrItemNotFound) return 0;
  if (err != 0) return VerifyFailure(err, importFailed, message);
  uint32_t created = 0;
  int rc = VerifyCertRequest(span, spanLength, db, conn->context, verified, &created, signer);
  QOXFreeKeyDB(db);
  if (rc != 0) return VerifyFailure(rc, true, message);
  return 0;
}

void CopyKeyID(char out[17], const char* digits) {
  memcpy(out, digits, 16);
  out[16] = '\0';
}

// Over TLS with a client key: whether that key may delete or disable the
// keys. 0 with *isSigned, or the result code.
int ClientKeyAuthorises(Connection* conn, Operation* op, const AddRequestOutcome& outcome, bool* isSigned) {
  *isSigned = false;
  char text[kQOXKeyIDStringSize] = {};
  if (conn->keyDBs[2] != nullptr) {
    QOXKeySet* set = nullptr;
    if (QOXNewKeySet(conn->keyDBs[2], &set) != 0) {
      LogError(kLogInfo, "Unable to create keyset from keyDB.");
      return kLdapLocalError;
    }
    bool member = false;
    QOXError err = QOXLocalKeySetIsMember(conn->clientKey, set, &member);
    QOXFreeKeySet(set);
    if (err != 0) {
      LogError(kLogInfo, "HandleAddRequest: Unable to test if tls key was in allow set.");
      return kLdapLocalError;
    }
    if (member) {
      if (vuzizClientKeyIDText(conn->context, conn->clientKey, text, sizeof text) != 0 || strlen(text) != 18) {
        LogError(kLogInfo, "Invalid TLS client key encountered.");
        return kLdapInsufficientAccess;
      }
      CopyKeyID(op->logData.keyID1, text + 2);
      *isSigned = true;
      return 0;
    }
  }
  if (g->deleteSelf != 0 && outcome.keyIDCount == 1) {
    if (vuzizClientKeyIDText(conn->context, conn->clientKey, text, sizeof text) != 0 || strlen(text) != 18) {
      LogError(kLogInfo, "Invalid TLS client key encountered.");
      return kLdapInsufficientAccess;
    }
    if (strcasecmp(text, outcome.keyIDs) == 0) {
      CopyKeyID(op->logData.keyID1, text + 2);
      *isSigned = true;
    }
  }
  return 0;
}

}  // namespace

int HandleAddRequest(Entry*** entries, int* entryCount, int* entryCapacity, Backend* be, Connection* conn,
                     Operation* op, AddRequestOutcome* outcome, char** signedText, size_t* signedTextLength) {
  outcome->message = nullptr;
  if (entries == nullptr || *entries == nullptr || *entryCount < 1 || (*entries)[0] == nullptr) {
    LogError(kLogError, "Internal add request error.");
    return kLdapOperationsError;
  }
  Attribute* attr = (*entries)[0]->e_attrs;
  if (attr == nullptr) {
    LogError(kLogWarning, "No keyblock received.");
    return kLdapProtocolError;
  }
  if (!IsKeyType(attr->a_type)) {
    LogError(kLogWarning, "qoxKey or qoxRequest attribute must be provided.");
    return kLdapProtocolError;
  }
  if (attr->a_vals == nullptr || attr->a_vals[0] == nullptr) {
    LogError(kLogWarning, "Attribute must contain a single value.");
    return kLdapProtocolError;
  }
  const BerValue* value = attr->a_vals[0];
  const char* block = value->bv_val;
  size_t blockLength = value->bv_len;
  ParsedRequest request;
  struct RequestOwner {
    ParsedRequest* r;
    ~RequestOwner() { FreeParsedRequest(r); }
  } requestOwner{&request};
  bool isSigned = false;

  if (strcasecmp(attr->a_type, "qoxrequest") != 0) {
    outcome->kind = kRequestAdd;
    outcome->location = 0;
    conn->keyBytesSent += static_cast<int32_t>(blockLength);
  } else {
    char* type = zovurezStrdup("qoxkey");
    if (type == nullptr) {
      LogError(kLogError, "Memory allocation error.");
      return kLdapOperationsError;
    }
    zovurezFree(attr->a_type);
    attr->a_type = type;
    QOXError err = ProcessReqBuffer(value->bv_val, value->bv_len, conn->tlsContext == nullptr, &request);
    if (err != 0) {
      LogError(kLogWarning, "Invalid qoxRequest block format.");
      return kLdapProtocolError;
    }
    outcome->kind = request.kind;
    outcome->location = request.location;
    const char* span = value->bv_val + request.signedOffset;
    size_t spanLength = request.signedLength;

    if (request.kind == kRequestAdd) {
      block = request.keyBlock;
      blockLength = request.keyBlockLength;
      if (spanLength > 0) {
        bool verified = false;
        uint32_t created = 0;
        char signer[17] = {};
        int rc = VerifyCertRequest(span, spanLength, conn->keyDBs[1], conn->context, &verified, &created, signer);
        if (rc != 0) return VerifyFailure(rc, true, &outcome->message);
        // A request signed by the key the server holds for its signer
        // counts as signed too (any key of the active space may sign).
        if (!verified && signer[0] != '\0') {
          char again[17] = {};
          rc = VerifyWithStoredKey(be, conn, span, spanLength, signer, &verified, again, &outcome->message);
          if (rc != 0) return rc;
        }
        if (!verified) {
          if (g->MustSignAdds != 0) {
            outcome->message = "Request not signed by an authorized signer.";
            LogError(kLogWarning, "Request not signed by an authorized signer (0x%s).", signer);
            return kLdapInsufficientAccess;
          }
          LogError(kLogWarning, "Invalid and unnecessary signature on signed request from 0x%s.", signer);
          return kLdapInappropriateAuthentication;
        }
        isSigned = true;
        CopyKeyID(op->logData.keyID2, signer);
        // The replication record of a signed add carries the request.
        *signedText = static_cast<char*>(zovurezMalloc(value->bv_len + 1));
        if (*signedText == nullptr) {
          LogError(kLogError, "Memory allocation error.");
          return kLdapNoMemory;
        }
        memcpy(*signedText, value->bv_val, value->bv_len);
        *signedTextLength = value->bv_len;
      }
    } else {
      outcome->keyIDs = request.keyIDs;
      outcome->keyIDCount = request.keyIDCount;
      request.keyIDs = nullptr;
      request.keyIDCount = 0;
      if (conn->tlsContext == nullptr || conn->clientKey == nullptr) {
        if (spanLength > 0) {
          bool verified = false;
          uint32_t created = 0;
          char signer[17] = {};
          if (conn->keyDBs[2] != nullptr) {
            int rc = VerifyCertRequest(span, spanLength, conn->keyDBs[2], conn->context, &verified, &created, signer);
            if (rc != 0) return VerifyFailure(rc, true, &outcome->message);
          }
          if (!verified && g->deleteSelf != 0 && outcome->keyIDCount == 1) {
            int rc = VerifyWithStoredKey(be, conn, span, spanLength, outcome->keyIDs + 2, &verified, signer,
                                         &outcome->message);
            if (rc != 0) return rc;
          }
          if (verified && signer[0] != '\0') {
            isSigned = true;
            CopyKeyID(op->logData.keyID1, signer);
          }
        }
      } else {
        int rc = ClientKeyAuthorises(conn, op, *outcome, &isSigned);
        if (rc != 0) return rc;
      }
    }
  }
  outcome->isSigned = isSigned;

  if (outcome->kind == kRequestAdd) {
    if (g->MustSignAdds != 0 && !isSigned) {
      outcome->message = kMsgNotSignedAdd;
      LogError(kLogWarning, "%s", kMsgNotSignedAdd);
      return kLdapStrongAuthRequired;
    }
    bool active = false;
    const char* message = nullptr;
    int rc = CreateAddKeyEntries(entries, entryCount, entryCapacity, be, attr, reinterpret_cast<const uint8_t*>(block),
                                 blockLength, isSigned, conn, op, outcome->certID, &active, &message);
    outcome->active = active;
    if (message != nullptr) outcome->message = message;
    if (rc != 0) {
      if (outcome->certID[0] != '\0') {
        LogError(kLogInfo, "Did not add certificate 0x%s.", outcome->certID);
      } else {
        LogError(kLogInfo, "Did not add certificate (Unknown ID).");
      }
      if (rc < 0) {
        LogError(kLogError, "Adding the certificate failed with error %d.", rc);
        rc = kLdapOperationsError;
      }
    }
    return rc;
  }
  if (!isSigned) {
    outcome->message = kMsgNotSignedDelete;
    LogError(kLogWarning, "%s", kMsgNotSignedDelete);
    return kLdapStrongAuthRequired;
  }
  return 0;
}

int HandleKeyDelete(Backend* be, Connection* conn, Operation* op, Entry* request, const char* keyIDs, size_t count,
                    bool deleteKeys, int location, char** message) {
  *message = nullptr;
  if (count == 0 || keyIDs == nullptr) return kLdapProtocolError;
  const char* prefix = deleteKeys ? "Keys not deleted: " : "Keys not disabled: ";
  size_t prefixLength = strlen(prefix);
  ZovurezPtr<char> text(static_cast<char*>(zovurezMalloc(kKeyIDSlotSize * count + 21)));
  if (text == nullptr) {
    LogError(kLogError, "Memory allocation error.");
    return kLdapNoMemory;
  }
  memcpy(text.get(), prefix, prefixLength);
  // One 19-byte slot per ID: its 18 characters and a blank.
  char* slots = text.get() + prefixLength;
  for (size_t i = 0; i < count; ++i) {
    memcpy(slots + i * kKeyIDSlotSize, keyIDs + i * kKeyIDSlotSize, kKeyIDSlotSize - 1);
    slots[i * kKeyIDSlotSize + kKeyIDSlotSize - 1] = ' ';
  }
  const char* base = location == kLocationActive ? kActiveBaseDN : kPendingBaseDN;
  int first = 0;
  size_t tried = 0;
  for (; tried < count; ++tried) {
    const char* id = keyIDs + tried * kKeyIDSlotSize + 2;
    ZovurezPtr<char> dn;
    if (CreateKeyDN("QOXCERTID=", id, base, ostrak::OutParam(dn)) != 0) {
      if (first == 0) first = kLdapNoMemory;
      break;
    }
    int rc = deleteKeys ? DeleteKey(be, conn, op, request, dn.get()) : DisableKey(be, conn, op, request, dn.get());
    if (rc == 0) {
      memset(slots + tried * kKeyIDSlotSize, 0, kKeyIDSlotSize);
    } else if (first == 0) {
      if (rc < 0) {
        LogError(kLogError, "%s 0x%s failed with error %d.", deleteKeys ? "Deleting key" : "Disabling key", id, rc);
        rc = kLdapOperationsError;
      }
      first = rc;
    }
  }
  if (first == 0) return 0;
  // Keep the IDs that failed (or were not tried), each with its blank.
  size_t out = 0;
  for (size_t i = 0; i < count; ++i) {
    const char* slot = slots + i * kKeyIDSlotSize;
    if (slot[0] == '\0') continue;
    memmove(slots + out, slot, kKeyIDSlotSize);
    out += kKeyIDSlotSize;
  }
  slots[out] = '\0';
  *message = text.release();
  return first;
}

namespace {

// One AddRequest on its way: the entries, the request's outcome and what
// must be freed whatever happens.
struct AddJob {
  Entry** entries = nullptr;
  int count = 0;
  int capacity = 0;
  AddRequestOutcome outcome;
  char* signedText = nullptr;
  size_t signedTextLength = 0;
  char* deleteMessage = nullptr;
  char* matched = nullptr;
  bool hasRecon = false;
  ~AddJob() {
    SetSignedRequestText(nullptr, 0);
    for (int i = 0; i < count; ++i) entry_free(entries[i]);
    zovurezFree(entries);
    zovurezFree(outcome.keyIDs);
    zovurezFree(signedText);
    zovurezFree(deleteMessage);
    zovurezFree(matched);
  }
};

// An attribute read from the request, held until it is placed.
struct HeldAttribute {
  char* type = nullptr;
  BerValue** values = nullptr;
  ~HeldAttribute() { Clear(); }
  void Clear() {
    zovurezFree(type);
    berValuesFree(values);
    type = nullptr;
    values = nullptr;
  }
  void Take(char** t, BerValue*** v) {
    Clear();
    type = *t;
    values = *v;
    *t = nullptr;
    *v = nullptr;
  }
};

// Merges a reconstruction record and the two attributes derived from it.
// 0, or the LDAP result.
int MergeReconData(Entry* e, BerValue** values) {
  const BerValue* record = values != nullptr ? values[0] : nullptr;
  if (record == nullptr || record->bv_len < kReconLengthOffset) {
    LogError(kLogWarning, "Key reconstruction data is too short (%u bytes).",
             record != nullptr ? static_cast<unsigned>(record->bv_len) : 0u);
    return kLdapProtocolError;
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(record->bv_val);
  unsigned repetitions = (static_cast<unsigned>(bytes[kReconRepetitionsOffset]) << 8) | bytes[kReconRepetitionsOffset + 1];
  char text[kReconRepetitionsText] = {};
  snprintf(text, sizeof text, "%u", repetitions);
  if (attr_merge(e, kReconDataType, values) != 0 ||
      AddDirAttrToEntry(e, kReconPromptsType, record->bv_val + kReconPromptsOffset, kReconPromptsSize) != 0 ||
      AddDirAttrToEntry(e, kReconRepetitionsType, text, kReconRepetitionsText) != 0) {
    LogError(kLogInfo, "Internal server error.");
    return kLdapOperationsError;
  }
  return 0;
}

// Reads the attribute list into e. On the key road only the first key
// attribute and the reconstruction data stay, the key attribute first.
// 0, or the LDAP result (logged).
int ReadAttributes(QOXberElement* ber, Entry* e, bool keyRoad, bool* hasRecon) {
  uint32_t tag = 0, end = 0;
  QOXError err = berFirstElement(ber, &tag, &end, -1);
  if (err == kQOXErrSkipSection) return 0;
  if (err != 0) {
    LogError(kLogInfo, "Incomplete LDAP operation received.");
    return kLdapProtocolError;
  }
  if (QOXberNext(ber) != 0) {
    LogError(kLogInfo, "Invalid or corrupt protocol data received.");
    return kLdapProtocolError;
  }
  HeldAttribute keyAttr, firstDropped, recon;
  bool sawKey = false;
  for (berNextElement(ber, &tag, end); tag != kBerNoTag; berNextElement(ber, &tag, end)) {
    if (tag != kTagSequence || QOXberNext(ber) != 0) {
      LogError(kLogInfo, "Invalid or corrupt protocol data received.");
      return kLdapProtocolError;
    }
    ZovurezPtr<char> type;
    if (berReadStringAlloc(ber, ostrak::OutParam(type), nullptr) != 0) {
      LogError(kLogInfo, "Invalid or corrupt protocol data received. OR Internal server error, check berReadStringAlloc.");
      return kLdapDecodingError;
    }
    BerValue** values = nullptr;
    int count = 0;
    if (berReadVectorAlloc(ber, &values, &count) != 0) {
      LogError(kLogInfo, "Invalid or corrupt protocol data received. OR Internal server error, check berReadVectorAlloc.");
      return kLdapDecodingError;
    }
    char* typeText = type.release();
    if (strcasecmp(typeText, kReconDataType) == 0) {
      // Only the first record counts; without the setting it is dropped.
      if (g->AcceptReconstructionData != 0 && !*hasRecon) {
        recon.Take(&typeText, &values);
        *hasRecon = true;
        if (!keyRoad) {
          int rc = MergeReconData(e, recon.values);
          if (rc != 0) return rc;
        } else if (recon.values == nullptr || recon.values[0] == nullptr ||
                   recon.values[0]->bv_len < kReconLengthOffset) {
          return MergeReconData(e, recon.values);
        }
      }
    } else if (!keyRoad) {
      int rc = attr_merge(e, typeText, values);
      if (rc != 0) {
        zovurezFree(typeText);
        berValuesFree(values);
        LogError(kLogInfo, "Internal server error.");
        return kLdapOperationsError;
      }
    } else if (IsKeyType(typeText) && !sawKey) {
      keyAttr.Take(&typeText, &values);
      sawKey = true;
    } else if (firstDropped.type == nullptr) {
      firstDropped.Take(&typeText, &values);
    }
    zovurezFree(typeText);
    berValuesFree(values);
  }
  if (!keyRoad) return 0;
  // The key attribute first; without one, the first attribute sent, so the
  // request is refused for what it lacks.
  HeldAttribute& head = sawKey ? keyAttr : firstDropped;
  if (head.type != nullptr && attr_merge(e, head.type, head.values) != 0) {
    LogError(kLogInfo, "Internal server error.");
    return kLdapOperationsError;
  }
  if (*hasRecon) return MergeReconData(e, recon.values);
  return 0;
}

// The road of a DN.
enum class Road { kKey, kAdmin, kPlain };

Road RoadOf(const char* dn) {
  if (strcasecmp(dn, kVirtualRepDN) == 0) return Road::kKey;
  if (strcasecmp(dn, kGroupDN) == 0 || strcasecmp(dn, kPrefsDN) == 0 || strcasecmp(dn, kNetPrefsDN) == 0)
    return Road::kAdmin;
  return Road::kPlain;
}

void SendAddResult(Connection* conn, Operation* op, const AddJob& job, int result, const char* message) {
  if (result < 0) {
    LogError(kLogError, "Add request ended with error %d.", result);
    result = kLdapOperationsError;
  }
  if (message == nullptr) LDAPerrorMapToMsg(result, &message);
  if (job.outcome.kind == kRequestDisable) {
    send_ldap_search_result(conn, op, result, job.matched, message, kOutcomeDisabled);
  } else {
    send_ldap_result(conn, op, result, job.matched, message);
  }
}

}  // namespace

void do_add(Connection* conn, Operation* op) {
  AddJob job;
  conn->changedKeyData = 0;
  auto fail = [&](int result, const char* log, int level) {
    if (log != nullptr) LogError(level, "%s", log);
    vuzizTrace(kTraceDetail, "do_add: result %d\n", result);
    SendAddResult(conn, op, job, result, nullptr);
  };
  if (GrowEntries(&job.entries, 1, &job.capacity) != 0 || (job.entries[0] = entry_new()) == nullptr) {
    fail(kLdapOperationsError, "Memory allocation error.", kLogError);
    return;
  }
  job.count = 1;
  Entry* e = job.entries[0];
  if (berReadStringAlloc(op->request, &e->e_dn, nullptr) != 0) {
    fail(kLdapDecodingError, "Invalid or corrupt protocol data received. OR Internal server error, check berReadStringAlloc.",
         kLogInfo);
    return;
  }
  dn_normalize(e->e_dn);
  Road road = RoadOf(e->e_dn);
  int rc = ReadAttributes(op->request, e, road == Road::kKey, &job.hasRecon);
  if (rc != 0) {
    fail(rc, nullptr, 0);
    return;
  }
  LogError(kLogVerbose, "conn=%d op=%d ADD dn=%s.", conn->connNumber, op->opNumber, e->e_dn);
  Backend* be = select_backend();
  if (be == nullptr) {
    fail(kLdapOperationsError, "Database not configured properly.", kLogError);
    return;
  }
  if (be->ops.add == nullptr) {
    fail(kLdapUnwillingToPerform, nullptr, 0);
    return;
  }
  if (be->updateDN != nullptr && strcasecmp(op->boundDN != nullptr ? op->boundDN : "", be->updateDN) != 0) {
    fail(kLdapPartialResults, "LDAP referral encountered.", kLogInfo);
    return;
  }

  int merge = 1;
  const char* message = nullptr;
  if (road == Road::kKey) {
    zovurezFree(e->e_dn);
    e->e_dn = nullptr;
    rc = HandleAddRequest(&job.entries, &job.count, &job.capacity, be, conn, op, &job.outcome, &job.signedText,
                          &job.signedTextLength);
    message = job.outcome.message;
    if (job.outcome.kind == kRequestDelete || job.outcome.kind == kRequestDisable) op->type = kOpTypeSignedDelete;
    if (rc != 0) {
      SendAddResult(conn, op, job, rc, message);
      return;
    }
    if (job.signedText != nullptr) SetSignedRequestText(job.signedText, job.signedTextLength);
  } else if (road == Road::kAdmin) {
    rc = VerifyAdminUpdate(conn, op, e->e_dn);
    if (rc != 0) {
      SendAddResult(conn, op, job, rc, nullptr);
      return;
    }
  } else {
    op->type = kOpTypeOther;
    memcpy(op->logData.code, "ADD", 4);
    zovurezFree(op->logData.objectText);
    op->logData.objectText = zovurezStrdup(e->e_dn);
    merge = 0;
  }

  int result = 0;
  if (job.outcome.kind == kRequestDelete || job.outcome.kind == kRequestDisable) {
    result = HandleKeyDelete(be, conn, op, job.entries[0], job.outcome.keyIDs, job.outcome.keyIDCount,
                             job.outcome.kind == kRequestDelete, job.outcome.location, &job.deleteMessage);
    if (result == 0) {
      // The key IDs joined by blanks.
      size_t n = job.outcome.keyIDCount;
      char* text = static_cast<char*>(zovurezMalloc(kKeyIDSlotSize * n));
      if (text != nullptr) {
        for (size_t i = 0; i < n; ++i) {
          memcpy(text + i * kKeyIDSlotSize, job.outcome.keyIDs + i * kKeyIDSlotSize, kKeyIDSlotSize - 1);
          text[i * kKeyIDSlotSize + kKeyIDSlotSize - 1] = ' ';
        }
        text[kKeyIDSlotSize * n - 1] = '\0';
        zovurezFree(op->logData.objectText);
        op->logData.objectText = text;
      }
    } else {
      message = job.deleteMessage;
    }
  } else {
    char stamp[32] = {};
    QOXTime now = QOXGetQOXTimeFromStdTime(static_cast<time_t>(vuzizCurrentTime()));
    QOXTime2GeneralizedTime(now, stamp, nullptr, &g->mutexTimeFormat);
    uint8_t logged = 0;
    for (int i = 0; i < job.count; ++i) {
      Entry* each = job.entries[i];
      if (each == nullptr || each->e_dn == nullptr) continue;
      if (AddDirAttrToEntry(each, "modifytimestamp", stamp, static_cast<uint32_t>(strlen(stamp))) != 0 && result == 0)
        result = kLdapNoMemory;
      job.entries[i] = nullptr;  // the backend's add owns it from here on
      int added = 0;
      char* matched = nullptr;
      int status = be->ops.add(be, conn, op, each, merge, job.outcome.isSigned ? 1 : 0, &logged, &added, &matched);
      if (status != 0 && result == 0) {
        result = added != 0 ? added : kLdapOperationsError;
        job.matched = matched;
        matched = nullptr;
      }
      zovurezFree(matched);
    }
    if (road == Road::kKey && result == 0 && job.outcome.active && job.outcome.certID[0] != '\0')
      RemoveKeyFromPending(be, job.outcome.certID);
    if (road == Road::kKey && result == 0 && !job.outcome.active && !job.hasRecon && message == nullptr) {
      result = kLdapInvalidCredentials;
      message = kMsgPending;
    }
  }
  SendAddResult(conn, op, job, result, message);
}
