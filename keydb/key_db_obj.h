// Key database objects: one record type, QOXKeyDBObj, for every key,
// subkey, user ID (or user attribute), signature, CRL and packet of unknown
// type of a key database (keydb/key_db.h), with the info record of its kind
// (what was parsed from its packet) and the data record holding the packet.
//
// Tree. Top-level keys form the key database's key list (new keys at the
// end; a key's parent is the database itself). A key's children are its
// direct signatures, then its user IDs, then subkeys, CRLs and unknown
// packets in arrival order; a user ID's or subkey's children are
// signatures. Depth is at most three. Linking a new or revived child keeps
// that order: a signature goes before the parent's first child that is not
// a signature, a user ID before the first child that is neither a signature
// nor a user ID, anything else after the last child. Every key and subkey,
// dummies included, is also a node of the database's key-ID tree
// (keydb/key_tree.h).
//
// Flags. The kind is the first of bits 0-4 that is set (none: unknown
// packet). Bit 28 marks an unfetched front-end object, whose info word holds
// its back-end object ID instead of an info record; bit 29 an X.509 dummy
// (always with bit 30), a placeholder for the issuer of an X.509
// certificate, whose KeyInfo points at the signature carrying the
// certificate; bit 30 a dummy, a key known only by its key ID (the signer of
// a signature whose key is absent); bit 31 a deleted object. An object is
// real when bits 30 and 31 are clear.
//
// Object IDs. A back end names its objects to a front end by ID; in process
// the ID is the back-end object's address, so every word that holds an ID is
// pointer-sized (0 = none). IDs never come from outside bytes.
//
// Ownership. Object, info and data records and packet bytes all come from
// the object pool (foundation/mem_pool.h) of the owning key database and are
// never freed one by one: they live until the database is destroyed, when
// the pool is wiped and released at once. Deleting an object only marks it;
// it keeps its memory and its place in the tree. Records are taken from the
// pool aligned for any type (they hold pointers), packet bytes unaligned. A
// maker that fails cuts the pool back to its mark, so nothing half-made
// stays, and records kQOXErrOutOfMemory as the database's last error.
//
// Thread safety: none. A key database and its objects belong to one toolkit
// context, used by one thread at a time; no lock is taken here.
#ifndef OSTRAK_KEYDB_KEY_DB_OBJ_H_
#define OSTRAK_KEYDB_KEY_DB_OBJ_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/keydb_services.h"
#include "foundation/sdk_time.h"

struct QOXKeyDB;
struct QOXRegExp;

// --- Flag bits ---
inline constexpr uint32_t kQOXObjFlag_Key = 0x00000001;
inline constexpr uint32_t kQOXObjFlag_SubKey = 0x00000002;
inline constexpr uint32_t kQOXObjFlag_UserID = 0x00000004;
inline constexpr uint32_t kQOXObjFlag_Sig = 0x00000008;
inline constexpr uint32_t kQOXObjFlag_CRL = 0x00000010;
inline constexpr uint32_t kQOXObjFlag_KindMask = 0x0000001F;
inline constexpr uint32_t kQOXObjFlag_Unfetched = 0x10000000;
inline constexpr uint32_t kQOXObjFlag_X509Dummy = 0x20000000;
inline constexpr uint32_t kQOXObjFlag_Dummy = 0x40000000;
inline constexpr uint32_t kQOXObjFlag_Deleted = 0x80000000;

// --- Bits of the info records ---
// KeyInfo.keyFlags
inline constexpr uint32_t kQOXKeyFlag_Secret = 0x10;      // a secret-key packet
inline constexpr uint32_t kQOXKeyFlag_MergedV2 = 0x20;    // version 3 merged with a version-2 copy
inline constexpr uint32_t kQOXKeyFlag_V3 = 0x40;          // a version-2 or 3 packet
inline constexpr uint32_t kQOXKeyFlag_PathMark = 0x80;    // used by trust propagation
// KeyInfo.keyTrust (the byte of a key's trust packet)
inline constexpr uint8_t kQOXKeyTrust_Axiomatic = 0x80;
inline constexpr uint8_t kQOXKeyTrust_Expired = 0x40;
inline constexpr uint8_t kQOXKeyTrust_Disabled = 0x20;
inline constexpr uint8_t kQOXKeyTrust_Revoked = 0x10;
inline constexpr uint8_t kQOXKeyTrust_OwnerMask = 0x07;   // legacy owner trust
// UserIDInfo.userIDFlags
inline constexpr uint32_t kQOXUserIDFlag_Attribute = 0x80;  // a user attribute (tag 17)
// UserIDInfo.trustByte
inline constexpr uint8_t kQOXUserIDTrust_OldValidityMask = 0x03;
inline constexpr uint8_t kQOXUserIDTrust_Primary = 0x40;
inline constexpr uint8_t kQOXUserIDTrust_WarnOnly = 0x80;
// SigInfo.sigFlags
inline constexpr uint32_t kQOXSigFlag_NotV3Extra = 0x02;     // hashed material is not the 5-byte form
inline constexpr uint32_t kQOXSigFlag_CertMark = 0x04;
inline constexpr uint32_t kQOXSigFlag_PrimaryUserID = 0x08;
inline constexpr uint32_t kQOXSigFlag_X509 = 0x10;           // carries an X.509 certificate
inline constexpr uint32_t kQOXSigFlag_Revocable = 0x20;
inline constexpr uint32_t kQOXSigFlag_RegExp = 0x40;
inline constexpr uint32_t kQOXSigFlag_Exportable = 0x80;
// SigInfo.trustByte and CRLInfo.trustByte
inline constexpr uint8_t kQOXSigTrust_Checked = 0x40;  // checked and valid
inline constexpr uint8_t kQOXSigTrust_Tried = 0x20;
inline constexpr uint8_t kQOXSigTrust_Revoked = 0x10;  // revoked by a CRL
inline constexpr uint8_t kQOXSigTrust_ValueMask = 0x07;
// CRLInfo.crlFlags
inline constexpr uint32_t kQOXCRLFlag_Known = 0x80;        // kind 1 or 2
inline constexpr uint32_t kQOXCRLFlag_DistPoint = 0x40;    // kind 2

// External trust values stored in user IDs (keydb/trust.h).
inline constexpr uint8_t kQOXTrustExternUndefined = 253;
inline constexpr uint8_t kQOXTrustExternCertain = 255;

// Algorithm of an X.509 dummy.
inline constexpr uint8_t kQOXX509DummyAlgorithm = 128;

// --- Records ---

// The packet of an object: the whole packet, header included.
struct ObjData {
  uint8_t* bytes;
  uint32_t length;
  uint32_t holdCount;  // starts at 1
};

// Keys and subkeys.
struct KeyInfo {
  uintptr_t objectID;      // back-end object ID (front end only; 0 otherwise)
  uint8_t algorithm;       // public-key algorithm as stored in the packet
  uint16_t bits;           // key size
  uint8_t keyID[8];        // the abbreviated key ID is the last 4 bytes
  QOXTime creation;
  uint16_t validityDays;   // 0 = never expires
  union {
    ObjData* data;                 // the key packet
    struct QOXKeyDBObj* x509Sig;   // X.509 dummy: the signature carrying the certificate
  };
  uint32_t keyFlags;             // kQOXKeyFlag_...
  uint8_t fingerprintByte;       // first byte of the key-material hash
  struct QOXKeyDBObj* trustLink; // work list of trust propagation
  struct QOXKeyDBObj* sigsBy;    // first signature made by this key (then SigInfo.nextBySigner)
  struct QOXKeyDBObj* greater;   // key-ID tree: IDs that compare greater
  struct QOXKeyDBObj* notGreater;  // key-ID tree: IDs that compare less or equal
  uint8_t signedTrust;           // external trust given by trust signatures; 0 none
  uint8_t keyTrust;              // kQOXKeyTrust_...; the byte of the key's trust packet
  QOXRegExp* introducerRegexp;   // limits the key as an introducer (trust propagation)
};

// User IDs and user attributes.
struct UserIDInfo {
  uintptr_t objectID;
  ObjData* data;
  uint8_t validity;          // external trust; 253 undefined (when made)
  uint32_t userIDFlags;      // kQOXUserIDFlag_...
  uint8_t trustByte;         // kQOXUserIDTrust_...
  uint8_t confidence;        // external trust; 253 undefined (when made), 255 axiomatic
  uint16_t internalValidity; // internal trust, written by trust propagation
};

// Signatures.
struct SigInfo {
  uintptr_t objectID;
  ObjData* data;
  uint8_t type;            // 0x10-0x13 certifications, 0x18, 0x1F, 0x20, 0x28, 0x30
  uint8_t hashAlgorithm;
  uint8_t trustLevel;      // trust-signature depth (subpacket 5)
  uint8_t trustValue;      // trust-signature amount (subpacket 5)
  QOXTime creation;
  uint32_t expiration;     // seconds after creation; 0 = never
  uint32_t sigFlags;       // kQOXSigFlag_...
  uint8_t trustByte;       // kQOXSigTrust_...; the byte of the signature's trust packet
  uint8_t version;
  struct QOXKeyDBObj* signer;        // the key that made it; a dummy when absent
  struct QOXKeyDBObj* nextBySigner;  // next signature by the same signer
  QOXRegExp* regexp;                 // compiled subpacket 6, made on first use
};

struct CRLInfo {
  uintptr_t objectID;
  ObjData* data;
  uint32_t crlFlags;   // kQOXCRLFlag_...
  uint8_t version;     // first body byte
  uint8_t trustByte;   // kQOXSigTrust_Checked, _Tried
  QOXTime creation;    // this-update time
  QOXTime expiration;  // next-update time; 0 when absent
};

struct UnkInfo {
  uintptr_t objectID;
  ObjData* data;
  uint8_t trustByte;
};

// The object record. A top-level key's parent is its QOXKeyDB; every other
// object's parent is an object.
struct QOXKeyDBObj {
  uint8_t magic[4];    // "KOBJ" while live
  QOXKeyDBObj* next;   // next sibling (top-level keys: next key of the database)
  QOXKeyDBObj* child;  // first child
  void* parent;        // QOXKeyDBObj*, or the QOXKeyDB of a top-level key
  uintptr_t userValue; // the caller's word; cleared when the object is deleted
  union {
    void* record;        // the info record of the kind (fetched)
    uintptr_t backendID; // unfetched (kQOXObjFlag_Unfetched)
  } info;
  uint32_t flags;
  // Kept by the linking (keydb/child_index.h), beyond the record above: the
  // previous sibling (null for a first child and for top-level keys), the
  // index of this object's own children, and its place in its parent's
  // table of children.
  QOXKeyDBObj* prev;
  struct KeyDBChildIndex* children;
  QOXKeyDBObj* hashNext;
  uint32_t bodyHash;
  bool inParentIndex;
};

// --- Tests and identity (a null reference tests false) ---
bool qoxKeyDBObjIsValid(const QOXKeyDBObj* object);  // magic is "KOBJ"
bool qoxKeyIsValid(const QOXKeyDBObj* object);       // valid and a key
bool qoxSubKeyIsValid(const QOXKeyDBObj* object);
bool qoxUserIDIsValid(const QOXKeyDBObj* object);
bool qoxSigIsValid(const QOXKeyDBObj* object);
bool qoxKeyDBObjIsDeleted(const QOXKeyDBObj* object);
bool qoxKeyDBObjIsDummy(const QOXKeyDBObj* object);
bool qoxKeyDBObjIsX509Dummy(const QOXKeyDBObj* object);
bool qoxKeyDBObjIsReal(const QOXKeyDBObj* object);  // neither dummy nor deleted
// kQOXKeyDBObjType_Key ... _Unknown by the kind bits; 0 for an invalid object.
int32_t qoxObjectType(QOXKeyDBObj* object);
int32_t qoxObjectTypeOfFlags(uint32_t flags);
bool qoxKeyIsSubkey(const QOXKeyDBObj* object);
// The parent of a subkey.
QOXKeyDBObj* qoxKeyMasterkey(QOXKeyDBObj* subKey);
// The info word while unfetched, else the info record's objectID.
uintptr_t qoxKeyDBObjID(const QOXKeyDBObj* object);
// The object's key database is a front end.
bool qoxFrontEndKey(QOXKeyDBObj* object);

// --- Navigation ---
// The parent object; null for a top-level key.
QOXKeyDBObj* qoxObjParent(const QOXKeyDBObj* object);
// The top-level key above the object (the object itself for a key).
QOXKeyDBObj* qoxObjTopKey(QOXKeyDBObj* object);
// The key database that owns the object.
QOXKeyDB* qoxObjKeyDB(const QOXKeyDBObj* object);
// The toolkit context of the object's key database; null for an invalid
// object (no gate).
QOXContext* QOXPeekKeyDBObjContext(QOXKeyDBObj* object);

// --- Info records ---
// The info record of the object's kind; null when the kind differs. In a
// front end an unfetched object's record is first fetched from the back end
// (keydb/front_end.h): null, with kQOXErrOutOfMemory recorded as the
// database's last error, when the back end cannot supply it. Every caller
// treats null as failure.
KeyInfo* qoxKeyToKeyInfo(QOXKeyDBObj* key);  // keys and subkeys
UserIDInfo* qoxUserIDToUserIDInfo(QOXKeyDBObj* userID);
SigInfo* qoxSigToSigInfo(QOXKeyDBObj* sig);
CRLInfo* qoxCRLToCRLInfo(QOXKeyDBObj* crl);
UnkInfo* qoxUnkToUnkInfo(QOXKeyDBObj* unknown);
// The data record of any kind; null when the object has none (a dummy key,
// a front-end object whose packet is not fetched yet: qoxFetchObject,
// keydb/obj_data.h, fetches it).
ObjData* qoxObjData(QOXKeyDBObj* object);
// The info record as it stands, never fetched: null while unfetched.
void* qoxPeekInfoRecord(const QOXKeyDBObj* object);
// Frees the compiled regular expressions a fetched key or signature record
// holds (they live in the context's memory) and clears their fields.
void qoxFreeObjectExpressions(QOXKeyDBObj* object);

// --- Making and linking (keydb/key_db_obj.cc) ---

// Makes an object with a cleared info record of the kind its flags name
// (kind bits plus any of the dummy bits): a top-level key when parent is
// null (appended to the key list; flags must name a key), else a child
// linked under parent by the child order. Keys and subkeys are not entered
// into the key-ID tree here (qoxNewKeyObj does it once their ID is known).
// Null, with the pool cut back and kQOXErrOutOfMemory recorded, when memory runs out.
QOXKeyDBObj* qoxNewKeyDBObj(QOXKeyDB* db, QOXKeyDBObj* parent, uint32_t flags);
// A key (parent null) or subkey with its algorithm and 8-byte key ID set,
// entered into the key-ID tree.
QOXKeyDBObj* qoxNewKeyObj(QOXKeyDB* db, QOXKeyDBObj* parent, uint32_t flags, uint8_t algorithm,
                          const uint8_t keyID[8]);
// A front-end object known by its back-end ID: the object record alone,
// unfetched (bit 28 added to the flags), its info word holding the ID; a
// top-level key when parent is null (appended to the key list), else a
// child linked by the child order. Not entered into any tree. Null, with
// kQOXErrBadParams (flags and parent disagree) or kQOXErrOutOfMemory
// recorded, on failure.
QOXKeyDBObj* qoxNewUnfetchedObj(QOXKeyDB* db, QOXKeyDBObj* parent, uint32_t flags, uintptr_t backendID);
// A dummy top-level key known only by key ID and algorithm (the signer of a
// signature whose key is absent); with x509, an X.509 dummy (algorithm 128
// by convention of its callers) whose x509Sig is the given signature.
QOXKeyDBObj* qoxNewDummyKey(QOXKeyDB* db, uint8_t algorithm, const uint8_t keyID[8], bool x509,
                            QOXKeyDBObj* x509Sig);
// A signer found deleted becomes a dummy: deleted bit cleared, dummy set.
void qoxReviveAsDummy(QOXKeyDBObj* key);
// The same packet arrived again: clears the deleted bit and, for a child,
// unlinks it and links it again by the child order.
void qoxReviveKeyDBObj(QOXKeyDBObj* object);
// Links a child under its parent by the child order (its parent field set),
// in constant time through the parent's index (keydb/child_index.h).
void qoxLinkChild(QOXKeyDBObj* parent, QOXKeyDBObj* child);
// Links a child right after `after` (first when null) under parent,
// whatever its kind; for a child placed among those of its own kind.
void qoxLinkChildAfter(QOXKeyDBObj* parent, QOXKeyDBObj* after, QOXKeyDBObj* child);
// Takes a child out of its parent's list of children.
void qoxUnlinkChild(QOXKeyDBObj* child);

// Sets userValue to 0 and the deleted bit on the object and on its real
// children and their real children (a child already dummy or deleted is
// skipped with its subtree). In a front end each such object is made
// unfetched again; otherwise its trust is cleared. Nothing is unlinked or
// freed; 0.
QOXError qoxMarkKeyDBObjectDeleted(QOXKeyDBObj* object);
// Makes a fetched object unfetched again: the info record's objectID goes
// back into the info word and bit 28 is set (the old records stay in the
// pool); with recurse, children of anything but a signature too. For
// front-end objects, whose records the back end supplies again. 0.
QOXError qoxKeyDBObjRefresh(QOXKeyDBObj* object, bool recurse);

#endif  // OSTRAK_KEYDB_KEY_DB_OBJ_H_
