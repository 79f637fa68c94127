// What the layers below the key database ask of it, as one registered table.
//
// The key database (keydb/) sits above the foundation, the engine, the core
// and the entry points, yet all of them, and the directory server and its
// backend, call into it: the entry gate takes in back-end updates, signature
// specifications read a key's algorithm, the option constructors, the entry
// points and the passphrase cache check and count key objects, the entry
// points run their key-management, import and export work, the backend makes
// key sets, access control reads the client's key ID. Each of these calls is
// a member of QOXKeyDBServices, named after the call. The key database
// defines the real functions under those names and registers a table of them
// at start-up; until then every member answers with its stand-in in
// foundation/keydb_seams.cc, which reports that no key object exists (see
// each member below).
//
// Registration and doubles: foundation/service_table.h.
//
// Thread safety: calls through the table may come from any thread; the
// registered functions must allow that where their callers do.
#ifndef OSTRAK_FOUNDATION_KEYDB_SERVICES_H_
#define OSTRAK_FOUNDATION_KEYDB_SERVICES_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/option_list.h"

struct QOXContext;
struct QOXKeyDB;
struct QOXKeySet;
struct QOXKeyDBObj;

// The 36-byte key-ID value: a 4- or 8-byte ID with its public-key algorithm.
struct QOXKeyID {
  uint8_t valid;      // 1 when the value holds a key ID
  uint8_t length;     // 4 or 8
  uint8_t algorithm;  // public-key algorithm; 255 = any
  uint8_t reserved;
  uint8_t bytes[32];  // first `length` bytes used, most significant first
};
static_assert(sizeof(QOXKeyID) == 36);

// Object types of qoxObjectType.
inline constexpr int32_t kQOXKeyDBObjType_Key = 1;
inline constexpr int32_t kQOXKeyDBObjType_SubKey = 2;
inline constexpr int32_t kQOXKeyDBObjType_UserID = 3;
inline constexpr int32_t kQOXKeyDBObjType_Sig = 4;
inline constexpr int32_t kQOXKeyDBObjType_CRL = 5;
inline constexpr int32_t kQOXKeyDBObjType_Unknown = 6;
// Key property numbers read through qoxGetKeyNumber.
inline constexpr int32_t kQOXKeyProperty_AlgorithmID = 200;

struct QOXKeyDBServices {
  // --- Back-end updates (the entry gate and the notification callback) ---
  // Takes in pending back-end updates.
  void (*qoxKeyDBBackendUpdate)();
  // Marks every live context as needing an update and counts one pending
  // update per context.
  void (*qoxSetBackendUpdateNeeded)();

  // --- Objects, sets and databases ---
  // Validity tests.
  bool (*qoxKeyIsValid)(const QOXKeyDBObj* object);
  bool (*qoxSubKeyIsValid)(const QOXKeyDBObj* object);
  bool (*qoxSigIsValid)(const QOXKeyDBObj* object);
  bool (*qoxKeyDBObjIsValid)(const QOXKeyDBObj* object);
  bool (*qoxKeySetIsValid)(const QOXKeySet* set);
  bool (*qoxKeyDBIsValid)(const QOXKeyDB* db);
  // Reference counts.
  QOXError (*QOXIncKeySetRefCount)(QOXKeySet* set);
  QOXError (*QOXFreeKeySet)(QOXKeySet* set);
  QOXError (*QOXIncKeyDBRefCount)(QOXKeyDB* db);
  QOXError (*QOXFreeKeyDB)(QOXKeyDB* db);
  // The object's context.
  QOXContext* (*QOXPeekKeyDBObjContext)(QOXKeyDBObj* object);
  // The object's kind, kQOXKeyDBObjType_Key ... _Unknown (0: no object).
  int32_t (*qoxObjectType)(QOXKeyDBObj* object);
  // A numeric property of a key (200: its public-key algorithm, 17 = DSA).
  QOXError (*qoxGetKeyNumber)(QOXKeyDBObj* key, int32_t property, int32_t* outValue);
  // A new empty key set of the database.
  QOXError (*QOXNewKeySet)(QOXKeyDB* db, QOXKeySet** set);
  // The key database of a set, or null.
  QOXKeyDB* (*QOXPeekKeySetKeyDB)(QOXKeySet* set);

  // --- Key IDs ---
  // -1, 0 or 1; 0 when equal.
  int32_t (*QOXCompareKeyIDs)(const QOXKeyID* a, const QOXKeyID* b);
  // A key ID from its raw bytes.
  QOXError (*qoxNewKeyIDFromRawData)(const uint8_t* bytes, uint8_t algorithm, size_t length,
                                     QOXKeyID* outKeyID);
  // The full-length key-ID text ("0x" and 16 digits) of a client's TLS key,
  // for access control.
  QOXError (*vuzizClientKeyIDText)(QOXContext* context, QOXKeyDBObj* key, char* text, size_t size);

  // --- Key management behind the entry points ---
  // Each receives the option list its entry point built, checks the option
  // types itself and leaves the list to the caller.
  QOXError (*qoxGenerateKeyInternal)(QOXKeyDBObj** outKey, QOXOptionListRef optionList);
  QOXError (*qoxGenerateSubKeyInternal)(QOXKeyDBObj** outSubKey, QOXOptionListRef optionList);
  QOXError (*qoxCertifyPrimaryUserIDInternal)(QOXKeyDBObj* userID, QOXOptionListRef optionList);
  QOXError (*qoxCertifyUserIDInternal)(QOXKeyDBObj* userID, QOXKeyDBObj* certifyingKey,
                                       QOXOptionListRef optionList);
  QOXError (*qoxRevokeSigInternal)(QOXKeyDBObj* sig, QOXOptionListRef optionList);
  QOXError (*qoxRevokeKeyInternal)(QOXKeyDBObj* key, QOXOptionListRef optionList);
  QOXError (*qoxRevokeSubKeyInternal)(QOXKeyDBObj* subKey, QOXOptionListRef optionList);
  QOXError (*qoxAddUserIDInternal)(QOXKeyDBObj* key, const char* name, QOXOptionListRef optionList);
  QOXError (*qoxAddAttributeInternal)(QOXKeyDBObj* key, int32_t attributeType, const uint8_t* data,
                                      size_t length, QOXOptionListRef optionList);
  uint32_t (*qoxKeyEntropyNeededInternal)(QOXContext* context, QOXOptionListRef optionList);
  QOXError (*qoxCreateX509CertificateInternal)(QOXKeyDBObj* issuer, QOXKeyDBObj* subjectKey,
                                               QOXKeyDBObj** outSig, QOXOptionListRef optionList);
  QOXError (*qoxChangePassphraseInternal)(QOXKeyDBObj* key, QOXOptionListRef optionList);
  QOXError (*qoxChangeSubKeyPassphraseInternal)(QOXKeyDBObj* subKey, QOXOptionListRef optionList);
  bool (*qoxPassphraseIsValidInternal)(QOXKeyDBObj* key, QOXOptionListRef optionList);
  // set: make axiomatic, else clear the mark; a passphrase given is checked.
  QOXError (*qoxSetKeyAxiomaticInternal)(QOXKeyDBObj* key, bool set, QOXOptionListRef optionList);
  // The passkey buffer is a secure block the caller frees with QOXFreeData.
  QOXError (*qoxGetKeyPasskeyBufferInternal)(QOXKeyDBObj* key, void** outBuffer, QOXOptionListRef optionList);
  QOXError (*qoxGetSubKeyPasskeyBufferInternal)(QOXKeyDBObj* subKey, void** outBuffer,
                                                QOXOptionListRef optionList);
  QOXError (*qoxAddKeyOptionsInternal)(QOXKeyDBObj* key, QOXOptionListRef optionList);
  QOXError (*qoxUpdateKeyOptionsInternal)(QOXKeyDBObj* key, QOXOptionListRef optionList);

  // --- Import and export behind the entry points ---
  // Leaves the list to the caller.
  QOXError (*qoxExportInternal)(QOXContext* context, QOXOptionListRef optionList);
  // Takes the list over and frees it on every path.
  QOXError (*qoxImportKeySetInternal)(QOXContext* context, QOXKeyDB** outKeyDB, QOXOptionListRef optionList);
  // --- Object properties (the TLS engine's checks of its local key) ---
  // A numeric property of any object (20: object type, 8 = an X.509
  // certificate signature object; 200: public-key algorithm).
  QOXError (*QOXGetKeyDBObjNumericProperty)(QOXKeyDBObj* object, int32_t property, int32_t* outValue);
  // A boolean property (100 secret, 102 revoked, 103 disabled, 105 expired,
  // 110 can sign, 111 can verify).
  QOXError (*QOXGetKeyDBObjBooleanProperty)(QOXKeyDBObj* object, int32_t property, bool* outValue);
  // The key an object belongs to (the key itself for a key), or null.
  QOXKeyDBObj* (*QOXPeekKeyDBObjKey)(QOXKeyDBObj* object);
};

// The table in force, and its registration (foundation/service_table.h).
const QOXKeyDBServices& qoxKeyDBServices();
const QOXKeyDBServices* qoxRegisterKeyDBServices(const QOXKeyDBServices* table);

#endif  // OSTRAK_FOUNDATION_KEYDB_SERVICES_H_
