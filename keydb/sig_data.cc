// Signature lists and the readers of their packets.
#include "keydb/sig_data.h"

#include <cstring>

#include "crypto/hash.h"
#include "crypto/pkalg.h"
#include "foundation/byte_cursor.h"
#include "foundation/byte_order.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_id.h"
#include "keydb/key_ops.h"
#include "keydb/sig_packet.h"

using ostrak::ByteCursor;

namespace {

constexpr uint8_t kOnePassVersion = 3;
constexpr uint8_t kVersion4 = 4;
constexpr uint8_t kClosingExtraLength = 5;
constexpr size_t kKeyIDSize = 8;
constexpr int kSignatureFormat = 1;  // the key operations' MPI form

bool IsOnePass(const uint8_t* body, size_t length) {
  return length == kQOXOnePassSigLength && body[0] == kOnePassVersion;
}

enum class Kind { kOnePass, kV3, kV4 };

// Where the fields of a checked body lie.
struct Layout {
  Kind kind;
  uint8_t version;
  uint8_t extraLength;       // L of versions 2 and 3
  const uint8_t* extra;      // material hashed after the data
  size_t extraSize;
  const uint8_t* keyID;      // one-pass and versions 2 and 3
  uint8_t pkAlgorithm;
  uint8_t hash;
  const uint8_t* check;      // two check bytes (signatures only)
  const uint8_t* numbers;    // MPIs to the end of the body
  size_t numbersSize;
};

// The checks of a body; fills the layout when it passes.
QOXError Lay(const uint8_t* body, size_t length, Layout* out) {
  if (body == nullptr || length == 0) return kQOXErrBadSignatureSize;
  ByteCursor c(body, length);
  Layout l{};
  c.get_u8(&l.version);
  if (IsOnePass(body, length)) {
    uint8_t sigType = 0;
    c.get_u8(&sigType);
    c.get_u8(&l.hash);
    c.get_u8(&l.pkAlgorithm);
    c.get_view(kKeyIDSize, &l.keyID);
    if (qoxHashByNumber(l.hash) == nullptr) return kQOXErrUnknownHashNumber;
    l.kind = Kind::kOnePass;
    *out = l;
    return kQOXErrNoErr;
  }
  if (l.version == kVersion4) {
    // Version 4: the two areas and the check bytes must all be there.
    uint8_t sigType = 0;
    ByteCursor hashed, unhashed;
    if (!c.get_u8(&sigType) || !c.get_u8(&l.pkAlgorithm) || !c.get_u8(&l.hash) || !c.get_u16be_prefixed(&hashed) ||
        !c.get_u16be_prefixed(&unhashed) || !c.get_view(2, &l.check))
      return kQOXErrBadSignatureSize;
    l.kind = Kind::kV4;
    l.extra = body;
    l.extraSize = 6 + hashed.remaining();
    l.numbers = c.data();
    l.numbersSize = c.remaining();
    *out = l;
    return kQOXErrNoErr;
  }
  if (l.version != 2 && l.version != 3) return kQOXErrUnknownVersion;
  if (length == 1) return kQOXErrBadSignatureSize;
  c.get_u8(&l.extraLength);
  if (length < size_t{l.extraLength} + 16) return kQOXErrBadSignatureSize;
  c.get_view(l.extraLength, &l.extra);
  l.extraSize = l.extraLength;
  c.get_view(kKeyIDSize, &l.keyID);
  c.get_u8(&l.pkAlgorithm);
  c.get_u8(&l.hash);
  c.get_view(2, &l.check);
  l.numbers = c.data();
  l.numbersSize = c.remaining();
  if (l.pkAlgorithm == kQOXPublicKeyAlgorithm_RSA) {
    // One MPI that fills the rest of the body exactly.
    uint16_t bits = 0;
    c.get_u16be(&bits);
    if (c.remaining() != (size_t{bits} + 7) / 8) return kQOXErrBadSignatureSize;
    uint8_t top = 0;
    if (bits > 0 && (!c.peek_u8(&top) || (top >> ((bits - 1) % 8)) != 1)) return kQOXErrSignatureBitsWrong;
  }
  l.kind = Kind::kV3;
  *out = l;
  return kQOXErrNoErr;
}

const uint8_t* Data(const QOXPktList* node) { return qoxPktListData(node); }

int32_t SigTypeOf(const uint8_t* body, size_t length) {
  Layout l;
  if (QOXError err = Lay(body, length, &l); err != kQOXErrNoErr) return err;
  if (l.kind != Kind::kV3) return body[1];
  if (l.extraLength == 0) return kQOXErrBadSigExtraData;
  return body[2];
}

// The fields a closing signature is paired with its one-pass packet by.
struct Pairing {
  uint8_t sigType;
  uint8_t hash;
  uint8_t pkAlgorithm;
  uint8_t keyID[kKeyIDSize];
};

bool SamePairing(const Pairing& a, const Pairing& b) {
  return a.sigType == b.sigType && a.hash == b.hash && a.pkAlgorithm == b.pkAlgorithm &&
         std::memcmp(a.keyID, b.keyID, kKeyIDSize) == 0;
}

QOXError PairingOf(const uint8_t* body, size_t length, const Layout& l, Pairing* out) {
  if (l.kind == Kind::kV4) {
    return qoxSigParse(body, length, true, &out->pkAlgorithm, out->keyID, nullptr, nullptr, &out->sigType, &out->hash,
                       nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  }
  out->sigType = l.kind == Kind::kOnePass ? body[1] : body[2];
  out->hash = l.hash;
  out->pkAlgorithm = l.pkAlgorithm;
  std::memcpy(out->keyID, l.keyID, kKeyIDSize);
  return kQOXErrNoErr;
}

}  // namespace

QOXError qoxSigDataCheckBody(const uint8_t* body, size_t length) {
  Layout l;
  return Lay(body, length, &l);
}

QOXError qoxSigDataAdd(QOXContext* context, QOXPktList** list, uint32_t annotation, const uint8_t* body,
                       size_t length) {
  if (list == nullptr) return kQOXErrBadParams;
  if (annotation != kQOXSigDataAnn_Signature && annotation != kQOXSigDataAnn_ClosingSignature)
    return kQOXErrUnknownSignatureType;
  if (annotation == kQOXSigDataAnn_ClosingSignature) {
    if (body != nullptr && IsOnePass(body, length)) return kQOXErrUnknownSignatureType;
    // Only versions 2 and 3 carry L; 5 is the one form a closing signature has.
    if (body != nullptr && length >= 2 && (body[0] == 2 || body[0] == 3) && body[1] != kClosingExtraLength)
      return kQOXErrUnknownSignatureType;
  }
  Layout l;
  if (QOXError err = Lay(body, length, &l); err != kQOXErrNoErr) return err;

  if (annotation == kQOXSigDataAnn_Signature) {
    QOXPktList* node = qoxPktListNew(context, l.pkAlgorithm, body, length);
    if (node == nullptr) return kQOXErrOutOfMemory;
    QOXPktList** tail = list;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = node;
    return kQOXErrNoErr;
  }

  Pairing mine{};
  if (QOXError err = PairingOf(body, length, l, &mine); err != kQOXErrNoErr) return err;
  for (QOXPktList** at = list; *at != nullptr; at = &(*at)->next) {
    QOXPktList* onePass = *at;
    Layout ol;
    if (!IsOnePass(Data(onePass), onePass->length) || Lay(Data(onePass), onePass->length, &ol) != kQOXErrNoErr)
      continue;
    Pairing theirs{};
    PairingOf(Data(onePass), onePass->length, ol, &theirs);
    if (!SamePairing(mine, theirs)) continue;
    QOXPktList* node = qoxPktListNew(context, l.pkAlgorithm, body, length);
    if (node == nullptr) return kQOXErrOutOfMemory;
    node->next = onePass->next;
    *at = node;
    qoxPktListFreeOne(onePass);
    return kQOXErrNoErr;
  }
  return kQOXErrUnknownSignatureType;
}

uint8_t qoxSigDataVersion(const QOXPktList* node) {
  return node != nullptr && node->length > 0 ? Data(node)[0] : 0;
}

int32_t qoxSigDataSigType(const uint8_t* body, size_t length) { return SigTypeOf(body, length); }

int32_t qoxSigDataType(const QOXPktList* node) {
  if (node == nullptr) return kQOXErrBadParams;
  return SigTypeOf(Data(node), node->length);
}

uint8_t qoxSigDataPKAlg(const QOXPktList* node) {
  Layout l;
  if (node == nullptr || Lay(Data(node), node->length, &l) != kQOXErrNoErr) return 0;
  return l.pkAlgorithm;
}

const QOXHashVTBL* qoxSigDataHash(const QOXPktList* node) {
  Layout l;
  if (node == nullptr || Lay(Data(node), node->length, &l) != kQOXErrNoErr) return nullptr;
  return qoxHashByNumber(l.hash);
}

QOXTime qoxSigDataTimestamp(const QOXPktList* node) {
  Layout l;
  if (node == nullptr || Lay(Data(node), node->length, &l) != kQOXErrNoErr) return 0;
  switch (l.kind) {
    case Kind::kOnePass:
      return 0;
    case Kind::kV4: {
      QOXTime creation = 0;
      if (qoxSigParse(Data(node), node->length, true, nullptr, nullptr, &creation, nullptr, nullptr, nullptr,
                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) != kQOXErrNoErr)
        return 0;
      return creation;
    }
    case Kind::kV3:
      return l.extraLength > 4 ? LoadBE32(l.extra + 1) : 0;
  }
  return 0;
}

const uint8_t* qoxSigDataExtra(const QOXPktList* node, size_t* outLength) {
  if (outLength != nullptr) *outLength = 0;
  Layout l;
  if (node == nullptr || Lay(Data(node), node->length, &l) != kQOXErrNoErr || l.kind == Kind::kOnePass)
    return nullptr;
  if (outLength != nullptr) *outLength = l.extraSize;
  return l.extra;
}

QOXError qoxGetSigDataKeyID(const QOXPktList* node, QOXKeyID* outKeyID) {
  if (outKeyID == nullptr) return kQOXErrBadParams;
  std::memset(outKeyID, 0, sizeof *outKeyID);
  if (node == nullptr) return kQOXErrBadParams;
  Layout l;
  if (QOXError err = Lay(Data(node), node->length, &l); err != kQOXErrNoErr) return err;
  uint8_t id[kKeyIDSize] = {};
  if (l.kind == Kind::kV4) {
    if (QOXError err = qoxSigParse(Data(node), node->length, true, nullptr, id, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
        err != kQOXErrNoErr)
      return err;
  } else {
    std::memcpy(id, l.keyID, kKeyIDSize);
  }
  return qoxNewKeyIDFromRawData(id, kQOXKeyIDAnyAlgorithm, kKeyIDSize, outKeyID);
}

int qoxSigDataCheckBuf(const uint8_t* body, size_t length, QOXKeyDBObj* key, const uint8_t* digest) {
  if (key == nullptr || digest == nullptr) return kQOXErrBadParams;
  Layout l;
  if (QOXError err = Lay(body, length, &l); err != kQOXErrNoErr) return err;
  if (l.kind == Kind::kOnePass) return kQOXErrUnknownSignatureType;
  const QOXHashVTBL* hash = qoxHashByNumber(l.hash);
  if (hash == nullptr) return kQOXErrUnknownHashNumber;
  if (l.check[0] != digest[0] || l.check[1] != digest[1]) return 0;
  return qoxKeyVerify(key, l.numbers, l.numbersSize, l.hash, digest, hash->digestSize, kSignatureFormat);
}

int qoxSigDataCheck(const QOXPktList* node, QOXKeyDBObj* key, const uint8_t* digest) {
  if (node == nullptr) return kQOXErrBadParams;
  return qoxSigDataCheckBuf(Data(node), node->length, key, digest);
}

uint8_t qoxSigDataNestFlag(const uint8_t* body, size_t length) {
  if (body != nullptr && IsOnePass(body, length)) return body[length - 1];
  return 1;
}

namespace {

// The hash byte of a node, when its body has one.
bool HashByte(const QOXPktList* node, uint8_t* out) {
  Layout l;
  if (Lay(Data(node), node->length, &l) != kQOXErrNoErr) return false;
  *out = l.hash;
  return true;
}

template <class Visit>
void EachDistinctHash(const QOXPktList* list, Visit visit) {
  bool seen[256] = {};
  for (const QOXPktList* n = list; n != nullptr; n = n->next) {
    uint8_t hash = 0;
    if (!HashByte(n, &hash) || seen[hash]) continue;
    seen[hash] = true;
    visit(hash);
  }
}

}  // namespace

uint32_t qoxSigDataDistinctHashCount(const QOXPktList* list) {
  uint32_t count = 0;
  EachDistinctHash(list, [&](uint8_t) { ++count; });
  return count;
}

void qoxSigDataDistinctHashes(const QOXPktList* list, uint8_t* out) {
  if (out == nullptr) return;
  EachDistinctHash(list, [&](uint8_t hash) { *out++ = hash; });
}

const QOXPktList* qoxSigDataNext(const QOXPktList* node) { return node != nullptr ? node->next : nullptr; }
QOXPktList* qoxSigDataNext(QOXPktList* node) { return node != nullptr ? node->next : nullptr; }

void qoxSigDataFreeList(QOXPktList* list) { qoxPktListFreeList(list); }
