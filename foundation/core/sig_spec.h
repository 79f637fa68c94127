// Signature specifications: the description of a signature to be made
// (signing key, passphrase, hash, signature type, creation time, version and
// the RFC 2440 subpackets to include). Key management and the encoder fill
// one; the signature writer reads it.
//
// Subpackets live in a packet list (crypto/pkt_list.h). The low byte of a
// node's type word is the subpacket type (255: any other subpacket, whose
// first data byte is its real type); the caller's flags sit above it:
// 0x200 puts the subpacket in the unhashed area, 0x400 marks it critical.
// A new node goes to the head, so of several nodes of one type the one added
// last is found first. Readers return 0 when the subpacket is absent, else
// the node's flags with 0x100 set.
//
// Version and hash: a version of 4 or more never uses MD5 while SHA-1 is
// known (setting the version switches hash 1 to 2), and adding any subpacket
// raises a version of 3 or less to 4 with the same switch.
//
// Thread safety: a spec belongs to one thread at a time.
#ifndef OSTRAK_FOUNDATION_CORE_SIG_SPEC_H_
#define OSTRAK_FOUNDATION_CORE_SIG_SPEC_H_

#include <cstddef>
#include <cstdint>

#include "crypto/pkt_list.h"
#include "foundation/errors.h"
#include "foundation/sdk_time.h"

struct QOXContext;
struct QOXEnv;
struct QOXHashVTBL;
struct QOXKeyDBObj;

inline constexpr uint32_t kQOXSigSubpacket_Present = 0x100;
inline constexpr uint32_t kQOXSigSubpacket_Unhashed = 0x200;
inline constexpr uint32_t kQOXSigSubpacket_Critical = 0x400;

// Subpacket types.
inline constexpr uint8_t kQOXSigSub_SigExpiration = 3;
inline constexpr uint8_t kQOXSigSub_Exportable = 4;
inline constexpr uint8_t kQOXSigSub_TrustLevel = 5;
inline constexpr uint8_t kQOXSigSub_RegExp = 6;
inline constexpr uint8_t kQOXSigSub_Revocable = 7;
inline constexpr uint8_t kQOXSigSub_KeyExpiration = 9;
inline constexpr uint8_t kQOXSigSub_AdditionalRecipientRequest = 10;
inline constexpr uint8_t kQOXSigSub_PrefAlgs = 11;
inline constexpr uint8_t kQOXSigSub_RevocationKey = 12;
inline constexpr uint8_t kQOXSigSub_KeyServPrefs = 23;
inline constexpr uint8_t kQOXSigSub_PrefKeyServ = 24;
inline constexpr uint8_t kQOXSigSub_PrimaryUserID = 25;
inline constexpr uint8_t kQOXSigSub_KeyFlags = 27;
inline constexpr uint8_t kQOXSigSub_Packet = 255;

struct QOXSigSpec {
  QOXContext* context;
  QOXSigSpec* next;        // next spec of a chain
  QOXKeyDBObj* seckey;     // signing key
  uint8_t* passphrase;     // secure copy, or null
  uint32_t passphraseLength;
  uint32_t hashedPassphrase;  // set when the passphrase is a passkey
  int32_t version;
  uint8_t hashtype;        // RFC 2440 hash number
  uint8_t extra[5];        // signature type, then creation time big-endian
  QOXPktList* subpackets;  // head of the subpacket list
  QOXPktList* marked;      // one node of that list, or null
};

QOXSigSpec* qoxSigSpecCreate(QOXEnv* env, QOXKeyDBObj* seckey, uint8_t sigtype);
QOXSigSpec* qoxSigSpecCopy(const QOXSigSpec* spec);
void qoxSigSpecDestroy(QOXSigSpec* spec);  // this signature spec and every one after it
QOXError qoxSigSpecAdd(QOXSigSpec** head, QOXSigSpec* spec);
QOXSigSpec* qoxSigSpecNext(const QOXSigSpec* spec);

// --- Plain readers and setters ---
QOXContext* qoxSigSpecContext(const QOXSigSpec* spec);
int32_t qoxSigSpecVersion(const QOXSigSpec* spec);
QOXKeyDBObj* qoxSigSpecSeckey(const QOXSigSpec* spec);
const uint8_t* qoxSigSpecPassphrase(const QOXSigSpec* spec, size_t* outLength, int* outHashed);
const QOXHashVTBL* qoxSigSpecHash(const QOXSigSpec* spec);  // null when unknown
uint8_t qoxSigSpecHashtype(const QOXSigSpec* spec);
uint8_t qoxSigSpecSigType(const QOXSigSpec* spec);
const uint8_t* qoxSigSpecExtra(const QOXSigSpec* spec, size_t* outLength);

QOXError qoxSigSpecSetSeckey(QOXSigSpec* spec, QOXKeyDBObj* seckey);
QOXError qoxSigSpecSetPassphrase(QOXSigSpec* spec, const uint8_t* passphrase, size_t length,
                                 int hashed);
QOXError qoxSigSpecSetHashtype(QOXSigSpec* spec, uint8_t hashtype);
QOXError qoxSigSpecSetSigtype(QOXSigSpec* spec, uint8_t sigtype);
QOXError qoxSigSpecSetTimestamp(QOXSigSpec* spec, QOXTime time);
QOXError qoxSigSpecSetVersion(QOXSigSpec* spec, int32_t version);

// --- Subpackets: setters (spec, flags, value...) and readers ---
QOXError qoxSigSpecSetSigExpiration(QOXSigSpec* spec, uint32_t flags, QOXTime time);
uint32_t qoxSigSpecSigExpiration(const QOXSigSpec* spec, QOXTime* outTime);
QOXError qoxSigSpecSetExportable(QOXSigSpec* spec, uint32_t flags, uint8_t exportable);
uint32_t qoxSigSpecExportable(const QOXSigSpec* spec, uint8_t* outExportable);
QOXError qoxSigSpecSetTrustLevel(QOXSigSpec* spec, uint32_t flags, uint8_t level, uint8_t amount);
uint32_t qoxSigSpecTrustLevel(const QOXSigSpec* spec, uint8_t* outLevel, uint8_t* outAmount);
QOXError qoxSigSpecSetRegExp(QOXSigSpec* spec, uint32_t flags, const char* regexp);
uint32_t qoxSigSpecRegExp(const QOXSigSpec* spec, const char** outRegExp);
QOXError qoxSigSpecSetRevocable(QOXSigSpec* spec, uint32_t flags, uint8_t revocable);
uint32_t qoxSigSpecRevocable(const QOXSigSpec* spec, uint8_t* outRevocable);
QOXError qoxSigSpecSetKeyExpiration(QOXSigSpec* spec, uint32_t flags, QOXTime time);
uint32_t qoxSigSpecKeyExpiration(const QOXSigSpec* spec, QOXTime* outTime);
QOXError qoxSigSpecSetAdditionalRecipientRequest(QOXSigSpec* spec, uint32_t flags,
                                                 const uint8_t* data, size_t length);
uint32_t qoxSigSpecAdditionalRecipientRequest(const QOXSigSpec* spec, const uint8_t** outData,
                                              size_t* outLength, uint32_t n);
QOXError qoxSigSpecSetPrefAlgs(QOXSigSpec* spec, uint32_t flags, const uint8_t* data, size_t length);
uint32_t qoxSigSpecPrefAlgs(const QOXSigSpec* spec, const uint8_t** outData, size_t* outLength);
QOXError qoxSigSpecSetRevocationKey(QOXSigSpec* spec, uint32_t flags, const uint8_t* data,
                                    size_t length);
uint32_t qoxSigSpecRevocationKey(const QOXSigSpec* spec, const uint8_t** outData, size_t* outLength,
                                 uint32_t n);
QOXError qoxSigSpecSetKeyServPrefs(QOXSigSpec* spec, uint32_t flags, const uint8_t* data,
                                   size_t length);
uint32_t qoxSigSpecKeyServPrefs(const QOXSigSpec* spec, const uint8_t** outData, size_t* outLength);
QOXError qoxSigSpecSetPrefKeyServ(QOXSigSpec* spec, uint32_t flags, const uint8_t* data,
                                  size_t length);
uint32_t qoxSigSpecPrefKeyServ(const QOXSigSpec* spec, const uint8_t** outData, size_t* outLength);
QOXError qoxSigSpecSetPrimaryUserID(QOXSigSpec* spec, uint32_t flags, uint8_t primary);
uint32_t qoxSigSpecPrimaryUserID(const QOXSigSpec* spec, uint8_t* outPrimary);
QOXError qoxSigSpecSetKeyFlags(QOXSigSpec* spec, uint32_t flags, const uint8_t* data, size_t length);
uint32_t qoxSigSpecKeyFlags(const QOXSigSpec* spec, const uint8_t** outData, size_t* outLength);
// data begins with the subpacket's own type byte.
QOXError qoxSigSpecSetPacket(QOXSigSpec* spec, uint32_t flags, const uint8_t* data, size_t length);
uint32_t qoxSigSpecPacket(const QOXSigSpec* spec, const uint8_t** outData, size_t* outLength,
                          uint32_t n);

// Removes every subpacket of the type; 0x100 when there was one, else 0.
uint32_t qoxSigSpecRemove(QOXSigSpec* spec, uint8_t type);

#endif  // OSTRAK_FOUNDATION_CORE_SIG_SPEC_H_
