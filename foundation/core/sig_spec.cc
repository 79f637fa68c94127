// Signature specifications and their subpacket list.
#include "foundation/core/sig_spec.h"

#include <cstring>

#include "crypto/hash.h"
#include "foundation/context.h"
#include "foundation/env.h"
#include "foundation/keydb_services.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"

namespace {

constexpr int32_t kEnvHashAlgorithm = 1010;
constexpr int32_t kEnvTimeOffsetHours = 1015;
constexpr int32_t kEnvSigVersion = 1017;
constexpr int32_t kPkAlgDSA = 17;

uint8_t SubType(const QOXPktList* node) { return static_cast<uint8_t>(node->type & 0xFF); }

// MD5 gives way to SHA-1 in a version-4 signature when SHA-1 is known.
void PromoteHash(QOXSigSpec* spec) {
  if (spec->hashtype == kQOXHashAlgorithm_MD5 && qoxHashByNumber(kQOXHashAlgorithm_SHA) != nullptr)
    spec->hashtype = kQOXHashAlgorithm_SHA;
}

void FreePassphrase(QOXSigSpec* spec) {
  if (spec->passphrase != nullptr) QOXFreeData(spec->passphrase);  // secure blocks are wiped
  spec->passphrase = nullptr;
  spec->passphraseLength = 0;
}

const QOXPktList* FindNth(const QOXSigSpec* spec, uint8_t type, uint32_t n) {
  for (const QOXPktList* node = spec->subpackets; node != nullptr; node = node->next) {
    if (SubType(node) != type) continue;
    if (n == 0) return node;
    --n;
  }
  return nullptr;
}

uint32_t Found(const QOXPktList* node) { return (node->type & ~0xFFu) | kQOXSigSubpacket_Present; }

QOXError AddSubpacket(QOXSigSpec* spec, uint8_t type, uint32_t flags, const void* data, size_t length,
                      bool replace) {
  if (spec == nullptr || (data == nullptr && length != 0)) return kQOXErrBadParams;
  if (replace) qoxSigSpecRemove(spec, type);
  // The low byte of the type word is the subpacket type; flags live above it.
  QOXPktList* node = qoxPktListNew(spec->context, (flags & ~0xFFu) | type, data, length);
  if (node == nullptr) return kQOXErrOutOfMemory;
  node->next = spec->subpackets;
  spec->subpackets = node;
  if (spec->version <= 3) {
    spec->version = 4;
    PromoteHash(spec);
  }
  return kQOXErrNoErr;
}

uint32_t ReadBytes(const QOXSigSpec* spec, uint8_t type, uint32_t n, const uint8_t** outData,
                   size_t* outLength) {
  if (outData != nullptr) *outData = nullptr;
  if (outLength != nullptr) *outLength = 0;
  const QOXPktList* node = spec != nullptr ? FindNth(spec, type, n) : nullptr;
  if (node == nullptr) return 0;
  if (outData != nullptr) *outData = qoxPktListData(node);
  if (outLength != nullptr) *outLength = node->length;
  return Found(node);
}

uint32_t ReadByte(const QOXSigSpec* spec, uint8_t type, uint8_t* out) {
  if (out != nullptr) *out = 0;
  const uint8_t* data = nullptr;
  size_t length = 0;
  uint32_t found = ReadBytes(spec, type, 0, &data, &length);
  if (found != 0 && out != nullptr && length >= 1) *out = data[0];
  return found;
}

uint32_t ReadTime(const QOXSigSpec* spec, uint8_t type, QOXTime* out) {
  if (out != nullptr) *out = 0;
  const uint8_t* data = nullptr;
  size_t length = 0;
  uint32_t found = ReadBytes(spec, type, 0, &data, &length);
  if (found != 0 && out != nullptr && length >= 4)
    *out = (QOXTime{data[0]} << 24) | (QOXTime{data[1]} << 16) | (QOXTime{data[2]} << 8) | data[3];
  return found;
}

QOXError SetTime(QOXSigSpec* spec, uint8_t type, uint32_t flags, QOXTime time) {
  const uint8_t be[4] = {static_cast<uint8_t>(time >> 24), static_cast<uint8_t>(time >> 16),
                         static_cast<uint8_t>(time >> 8), static_cast<uint8_t>(time)};
  return AddSubpacket(spec, type, flags, be, sizeof be, true);
}

}  // namespace

QOXSigSpec* qoxSigSpecCreate(QOXEnv* env, QOXKeyDBObj* seckey, uint8_t sigtype) {
  if (env == nullptr || seckey == nullptr) return nullptr;
  QOXContext* context = qoxenvGetContext(env);
  auto* spec = static_cast<QOXSigSpec*>(qoxContextMemAlloc(context, sizeof(QOXSigSpec), kQOXMemoryMgrFlags_Clear));
  if (spec == nullptr) return nullptr;
  spec->context = context;

  int32_t algorithm = 0;
  QOXError err = qoxSigSpecSetSeckey(spec, seckey);
  if (err == kQOXErrNoErr) err = qoxKeyDBServices().qoxGetKeyNumber(seckey, kQOXKeyProperty_AlgorithmID, &algorithm);
  if (err == kQOXErrNoErr) {
    uint32_t hash = algorithm == kPkAlgDSA ? kQOXHashAlgorithm_SHA
                                           : qoxenvGetInt(env, kEnvHashAlgorithm, nullptr, nullptr);
    err = hash > 0xFF ? kQOXErrUnknownHashNumber : qoxSigSpecSetHashtype(spec, static_cast<uint8_t>(hash));
  }
  if (err == kQOXErrNoErr) err = qoxSigSpecSetSigtype(spec, sigtype);
  if (err == kQOXErrNoErr) {
    auto hours = static_cast<int32_t>(qoxenvGetInt(env, kEnvTimeOffsetHours, nullptr, nullptr));
    err = qoxSigSpecSetTimestamp(spec, qoxTimeStamp(hours));
  }
  if (err == kQOXErrNoErr)
    err = qoxSigSpecSetVersion(spec, static_cast<int32_t>(qoxenvGetInt(env, kEnvSigVersion, nullptr, nullptr)));
  if (err != kQOXErrNoErr) {
    qoxSigSpecDestroy(spec);
    return nullptr;
  }
  return spec;
}

QOXSigSpec* qoxSigSpecCopy(const QOXSigSpec* spec) {
  if (spec == nullptr) return nullptr;
  auto* copy = static_cast<QOXSigSpec*>(qoxContextMemAlloc(spec->context, sizeof(QOXSigSpec), kQOXMemoryMgrFlags_Clear));
  if (copy == nullptr) return nullptr;
  *copy = *spec;
  copy->next = nullptr;
  copy->passphrase = nullptr;
  copy->passphraseLength = 0;
  copy->subpackets = nullptr;
  copy->marked = nullptr;
  if (qoxSigSpecSetPassphrase(copy, spec->passphrase, spec->passphraseLength, spec->hashedPassphrase) !=
      kQOXErrNoErr) {
    qoxSigSpecDestroy(copy);
    return nullptr;
  }
  // Rebuild the list in the same order, moving the mark to the new node.
  QOXPktList** tail = &copy->subpackets;
  for (const QOXPktList* node = spec->subpackets; node != nullptr; node = node->next) {
    QOXPktList* fresh = qoxPktListNew(copy->context, node->type, qoxPktListData(node), node->length);
    if (fresh == nullptr) {
      qoxSigSpecDestroy(copy);
      return nullptr;
    }
    if (node == spec->marked) copy->marked = fresh;
    *tail = fresh;
    tail = &fresh->next;
  }
  return copy;
}

void qoxSigSpecDestroy(QOXSigSpec* spec) {
  while (spec != nullptr) {
    QOXSigSpec* next = spec->next;
    qoxPktListFreeList(spec->subpackets);
    FreePassphrase(spec);
    QOXContext* context = spec->context;
    std::memset(static_cast<void*>(spec), 0, sizeof *spec);
    qoxContextMemFree(context, spec);
    spec = next;
  }
}

QOXError qoxSigSpecAdd(QOXSigSpec** head, QOXSigSpec* spec) {
  if (head == nullptr || spec == nullptr) return kQOXErrBadParams;
  spec->next = *head;
  *head = spec;
  return kQOXErrNoErr;
}

QOXSigSpec* qoxSigSpecNext(const QOXSigSpec* spec) { return spec != nullptr ? spec->next : nullptr; }

QOXContext* qoxSigSpecContext(const QOXSigSpec* spec) { return spec->context; }
int32_t qoxSigSpecVersion(const QOXSigSpec* spec) { return spec->version; }
QOXKeyDBObj* qoxSigSpecSeckey(const QOXSigSpec* spec) { return spec->seckey; }

const uint8_t* qoxSigSpecPassphrase(const QOXSigSpec* spec, size_t* outLength, int* outHashed) {
  if (outLength != nullptr) *outLength = spec->passphraseLength;
  if (outHashed != nullptr) *outHashed = static_cast<int>(spec->hashedPassphrase);
  return spec->passphrase;
}

const QOXHashVTBL* qoxSigSpecHash(const QOXSigSpec* spec) { return qoxHashByNumber(spec->hashtype); }
uint8_t qoxSigSpecHashtype(const QOXSigSpec* spec) { return spec->hashtype; }
uint8_t qoxSigSpecSigType(const QOXSigSpec* spec) { return spec->extra[0]; }

const uint8_t* qoxSigSpecExtra(const QOXSigSpec* spec, size_t* outLength) {
  if (outLength != nullptr) *outLength = sizeof spec->extra;
  return spec->extra;
}

QOXError qoxSigSpecSetSeckey(QOXSigSpec* spec, QOXKeyDBObj* seckey) {
  if (spec == nullptr) return kQOXErrBadParams;
  spec->seckey = seckey;
  return kQOXErrNoErr;
}

QOXError qoxSigSpecSetPassphrase(QOXSigSpec* spec, const uint8_t* passphrase, size_t length, int hashed) {
  if (spec == nullptr || (passphrase == nullptr && length != 0)) return kQOXErrBadParams;
  FreePassphrase(spec);
  if (length != 0) {
    auto* copy = static_cast<uint8_t*>(QOXNewSecureData(QOXPeekContextMemoryMgr(spec->context), length, 0));
    if (copy == nullptr) return kQOXErrOutOfMemory;
    std::memcpy(copy, passphrase, length);
    spec->passphrase = copy;
  }
  spec->passphraseLength = static_cast<uint32_t>(length);
  spec->hashedPassphrase = static_cast<uint32_t>(hashed);
  return kQOXErrNoErr;
}

QOXError qoxSigSpecSetHashtype(QOXSigSpec* spec, uint8_t hashtype) {
  if (spec == nullptr) return kQOXErrBadParams;
  if (qoxHashByNumber(hashtype) == nullptr) return kQOXErrUnknownHashNumber;
  spec->hashtype = hashtype;
  return kQOXErrNoErr;
}

QOXError qoxSigSpecSetSigtype(QOXSigSpec* spec, uint8_t sigtype) {
  if (spec == nullptr) return kQOXErrBadParams;
  spec->extra[0] = sigtype;
  return kQOXErrNoErr;
}

QOXError qoxSigSpecSetTimestamp(QOXSigSpec* spec, QOXTime time) {
  if (spec == nullptr) return kQOXErrBadParams;
  spec->extra[1] = static_cast<uint8_t>(time >> 24);
  spec->extra[2] = static_cast<uint8_t>(time >> 16);
  spec->extra[3] = static_cast<uint8_t>(time >> 8);
  spec->extra[4] = static_cast<uint8_t>(time);
  return kQOXErrNoErr;
}

QOXError qoxSigSpecSetVersion(QOXSigSpec* spec, int32_t version) {
  if (spec == nullptr) return kQOXErrBadParams;
  spec->version = version;
  if (version >= 4) PromoteHash(spec);
  return kQOXErrNoErr;
}

QOXError qoxSigSpecSetSigExpiration(QOXSigSpec* spec, uint32_t flags, QOXTime time) {
  return SetTime(spec, kQOXSigSub_SigExpiration, flags, time);
}
uint32_t qoxSigSpecSigExpiration(const QOXSigSpec* spec, QOXTime* outTime) {
  return ReadTime(spec, kQOXSigSub_SigExpiration, outTime);
}

QOXError qoxSigSpecSetExportable(QOXSigSpec* spec, uint32_t flags, uint8_t exportable) {
  return AddSubpacket(spec, kQOXSigSub_Exportable, flags, &exportable, 1, true);
}
uint32_t qoxSigSpecExportable(const QOXSigSpec* spec, uint8_t* outExportable) {
  return ReadByte(spec, kQOXSigSub_Exportable, outExportable);
}

QOXError qoxSigSpecSetTrustLevel(QOXSigSpec* spec, uint32_t flags, uint8_t level, uint8_t amount) {
  const uint8_t data[2] = {level, amount};
  return AddSubpacket(spec, kQOXSigSub_TrustLevel, flags, data, 2, true);
}
uint32_t qoxSigSpecTrustLevel(const QOXSigSpec* spec, uint8_t* outLevel, uint8_t* outAmount) {
  if (outLevel != nullptr) *outLevel = 0;
  if (outAmount != nullptr) *outAmount = 0;
  const uint8_t* data = nullptr;
  size_t length = 0;
  uint32_t found = ReadBytes(spec, kQOXSigSub_TrustLevel, 0, &data, &length);
  if (found != 0 && length >= 2) {
    if (outLevel != nullptr) *outLevel = data[0];
    if (outAmount != nullptr) *outAmount = data[1];
  }
  return found;
}

QOXError qoxSigSpecSetRegExp(QOXSigSpec* spec, uint32_t flags, const char* regexp) {
  if (regexp == nullptr) return kQOXErrBadParams;
  return AddSubpacket(spec, kQOXSigSub_RegExp, flags, regexp, std::strlen(regexp) + 1, true);
}
uint32_t qoxSigSpecRegExp(const QOXSigSpec* spec, const char** outRegExp) {
  const uint8_t* data = nullptr;
  uint32_t found = ReadBytes(spec, kQOXSigSub_RegExp, 0, &data, nullptr);
  if (outRegExp != nullptr) *outRegExp = reinterpret_cast<const char*>(data);
  return found;
}

QOXError qoxSigSpecSetRevocable(QOXSigSpec* spec, uint32_t flags, uint8_t revocable) {
  return AddSubpacket(spec, kQOXSigSub_Revocable, flags, &revocable, 1, true);
}
uint32_t qoxSigSpecRevocable(const QOXSigSpec* spec, uint8_t* outRevocable) {
  return ReadByte(spec, kQOXSigSub_Revocable, outRevocable);
}

QOXError qoxSigSpecSetKeyExpiration(QOXSigSpec* spec, uint32_t flags, QOXTime time) {
  return SetTime(spec, kQOXSigSub_KeyExpiration, flags, time);
}
uint32_t qoxSigSpecKeyExpiration(const QOXSigSpec* spec, QOXTime* outTime) {
  return ReadTime(spec, kQOXSigSub_KeyExpiration, outTime);
}

QOXError qoxSigSpecSetAdditionalRecipientRequest(QOXSigSpec* spec, uint32_t flags, const uint8_t* data,
                                                 size_t length) {
  return AddSubpacket(spec, kQOXSigSub_AdditionalRecipientRequest, flags, data, length, false);
}
uint32_t qoxSigSpecAdditionalRecipientRequest(const QOXSigSpec* spec, const uint8_t** outData,
                                              size_t* outLength, uint32_t n) {
  return ReadBytes(spec, kQOXSigSub_AdditionalRecipientRequest, n, outData, outLength);
}

QOXError qoxSigSpecSetPrefAlgs(QOXSigSpec* spec, uint32_t flags, const uint8_t* data, size_t length) {
  return AddSubpacket(spec, kQOXSigSub_PrefAlgs, flags, data, length, true);
}
uint32_t qoxSigSpecPrefAlgs(const QOXSigSpec* spec, const uint8_t** outData, size_t* outLength) {
  return ReadBytes(spec, kQOXSigSub_PrefAlgs, 0, outData, outLength);
}

QOXError qoxSigSpecSetRevocationKey(QOXSigSpec* spec, uint32_t flags, const uint8_t* data, size_t length) {
  return AddSubpacket(spec, kQOXSigSub_RevocationKey, flags, data, length, false);
}
uint32_t qoxSigSpecRevocationKey(const QOXSigSpec* spec, const uint8_t** outData, size_t* outLength,
                                 uint32_t n) {
  return ReadBytes(spec, kQOXSigSub_RevocationKey, n, outData, outLength);
}

QOXError qoxSigSpecSetKeyServPrefs(QOXSigSpec* spec, uint32_t flags, const uint8_t* data, size_t length) {
  return AddSubpacket(spec, kQOXSigSub_KeyServPrefs, flags, data, length, true);
}
uint32_t qoxSigSpecKeyServPrefs(const QOXSigSpec* spec, const uint8_t** outData, size_t* outLength) {
  return ReadBytes(spec, kQOXSigSub_KeyServPrefs, 0, outData, outLength);
}

QOXError qoxSigSpecSetPrefKeyServ(QOXSigSpec* spec, uint32_t flags, const uint8_t* data, size_t length) {
  return AddSubpacket(spec, kQOXSigSub_PrefKeyServ, flags, data, length, true);
}
uint32_t qoxSigSpecPrefKeyServ(const QOXSigSpec* spec, const uint8_t** outData, size_t* outLength) {
  return ReadBytes(spec, kQOXSigSub_PrefKeyServ, 0, outData, outLength);
}

QOXError qoxSigSpecSetPrimaryUserID(QOXSigSpec* spec, uint32_t flags, uint8_t primary) {
  return AddSubpacket(spec, kQOXSigSub_PrimaryUserID, flags, &primary, 1, true);
}
uint32_t qoxSigSpecPrimaryUserID(const QOXSigSpec* spec, uint8_t* outPrimary) {
  return ReadByte(spec, kQOXSigSub_PrimaryUserID, outPrimary);
}

QOXError qoxSigSpecSetKeyFlags(QOXSigSpec* spec, uint32_t flags, const uint8_t* data, size_t length) {
  return AddSubpacket(spec, kQOXSigSub_KeyFlags, flags, data, length, true);
}
uint32_t qoxSigSpecKeyFlags(const QOXSigSpec* spec, const uint8_t** outData, size_t* outLength) {
  return ReadBytes(spec, kQOXSigSub_KeyFlags, 0, outData, outLength);
}

QOXError qoxSigSpecSetPacket(QOXSigSpec* spec, uint32_t flags, const uint8_t* data, size_t length) {
  return AddSubpacket(spec, kQOXSigSub_Packet, flags, data, length, false);
}
uint32_t qoxSigSpecPacket(const QOXSigSpec* spec, const uint8_t** outData, size_t* outLength, uint32_t n) {
  return ReadBytes(spec, kQOXSigSub_Packet, n, outData, outLength);
}

uint32_t qoxSigSpecRemove(QOXSigSpec* spec, uint8_t type) {
  if (spec == nullptr) return 0;
  uint32_t removed = 0;
  QOXPktList** link = &spec->subpackets;
  while (*link != nullptr) {
    QOXPktList* node = *link;
    if (SubType(node) != type) {
      link = &node->next;
      continue;
    }
    *link = node->next;
    if (spec->marked == node) spec->marked = nullptr;
    qoxPktListFreeOne(node);
    removed = kQOXSigSubpacket_Present;
  }
  return removed;
}
