#include "keydb/sig_packet.h"

#include <cstring>
#include <string>
#include <vector>

#include "crypto/pkalg.h"
#include "foundation/byte_cursor.h"
#include "foundation/byte_order.h"
#include "foundation/core/sig_spec.h"
#include "foundation/sdk_errors.h"
#include "keydb/mpi.h"
#include "keydb/packet_header.h"
#include "keydb/subpacket_reader.h"

using ostrak::ByteCursor;

namespace {

constexpr uint8_t kVersion4 = 4;
constexpr uint8_t kV3ExtraLength = 5;
constexpr size_t kSignerIDSize = 8;
constexpr size_t kCheckBytes = 2;
constexpr size_t kV4FixedPrefix = 6;  // version, type, algorithms, hashed length


bool IsRSA(uint8_t algorithm) {
  return algorithm == kQOXPublicKeyAlgorithm_RSA || algorithm == kQOXPublicKeyAlgorithm_RSAEncryptOnly ||
         algorithm == kQOXPublicKeyAlgorithm_RSASignOnly;
}

// A subpacket of a signature area, with its type and critical bit apart.
struct Subpacket : QOXSubpacket {
  uint8_t type() const { return typeByte & ~kQOXSubpacketCritical; }
  bool critical() const { return (typeByte & kQOXSubpacketCritical) != 0; }
};

using Next = QOXSubpacketNext;

Next NextSubpacket(ByteCursor* area, Subpacket* out) { return qoxNextSubpacket(area, out); }

// The areas of a version-4 body.
struct V4Body {
  uint8_t type;
  uint8_t algorithm;
  uint8_t hash;
  ByteCursor hashed;
  ByteCursor unhashed;
  ByteCursor rest;  // check bytes and MPIs
};

bool SplitV4(ByteCursor body, V4Body* out) {
  uint8_t version = 0;
  if (!body.get_u8(&version) || !body.get_u8(&out->type) || !body.get_u8(&out->algorithm) ||
      !body.get_u8(&out->hash) || !body.get_u16be_prefixed(&out->hashed) ||
      !body.get_u16be_prefixed(&out->unhashed))
    return false;
  out->rest = body;
  return true;
}

bool BodyOf(const uint8_t* packet, size_t length, bool withoutHeader, ByteCursor* body) {
  if (withoutHeader) {
    *body = ByteCursor(packet, length);
    return packet != nullptr;
  }
  return qoxPktBody(packet, length, body);
}

// The signature's numbers: the check bytes, then the first MPI; an RSA
// signature ends right after it.
QOXError CheckNumbers(ByteCursor rest, uint8_t algorithm) {
  if (!rest.skip(kCheckBytes)) return kQOXErrSigTruncated;
  ByteCursor value;
  uint16_t bits = 0;
  if (QOXError err = qoxReadMPI(&rest, &value, &bits, kQOXErrSigTruncated, kQOXErrSigIntegerMalformed);
      err != kQOXErrNoErr)
    return err;
  if (IsRSA(algorithm) && !rest.empty()) return kQOXErrSigTrailingJunk;
  return kQOXErrNoErr;
}

// What qoxSigParse's subpacket walk fills, with the rules' own state.
struct SigFields {
  uint8_t* signerID;
  QOXTime* creation;
  uint32_t* expiration;
  uint8_t* exportable;
  uint8_t* revocable;
  uint8_t* trustLevel;
  uint8_t* trustAmount;
  uint8_t* hasRegExp;
  uint8_t* isX509;
  uint8_t* primaryUserID;
  bool sawCreation = false;
  bool sawHashedExportable = false;
  bool sawIssuer = false;
  bool sawX509 = false;
};

template <class T>
void Put(T* out, T value) {
  if (out != nullptr) *out = value;
}

// One subpacket of the walk (sSigParseSubpackets).
QOXError TakeSubpacket(const Subpacket& s, bool hashed, SigFields& f) {
  if (!hashed && s.critical()) return kQOXErrBadSigExtraData;
  const size_t n = s.data.remaining();
  const uint8_t* d = s.data.data();
  switch (s.type()) {
    case kQOXSubpacket_Creation:
      if (!hashed) return kQOXErrNoErr;
      if (n != 4 || (s.critical() && f.creation == nullptr)) return kQOXErrBadSigExtraData;
      Put(f.creation, LoadBE32(d));
      f.sawCreation = true;
      return kQOXErrNoErr;
    case kQOXSubpacket_SigExpiration:
      if (!hashed) return kQOXErrNoErr;
      if (n != 4) return kQOXErrBadSigExtraData;
      if (f.sawCreation) Put(f.expiration, LoadBE32(d));
      return kQOXErrNoErr;
    case kQOXSubpacket_Exportable:
      if (hashed) {
        if (n != 1) return kQOXErrBadSigExtraData;
        f.sawHashedExportable = true;
      } else if (f.sawHashedExportable || n != 1) {
        return kQOXErrNoErr;
      }
      Put<uint8_t>(f.exportable, d[0] > 0 ? 1 : 0);
      return kQOXErrNoErr;
    case kQOXSubpacket_Trust:
      if (!hashed) return kQOXErrNoErr;
      if (n < 2) return kQOXErrBadSigExtraData;
      Put(f.trustLevel, d[0]);
      Put(f.trustAmount, d[1]);
      return kQOXErrNoErr;
    case kQOXSubpacket_RegExp:
      if (hashed) Put<uint8_t>(f.hasRegExp, 1);
      return kQOXErrNoErr;
    case kQOXSubpacket_Revocable:
      if (!hashed) return kQOXErrNoErr;
      if (n != 1) return kQOXErrBadSigExtraData;
      Put<uint8_t>(f.revocable, d[0] > 0 ? 1 : 0);
      return kQOXErrNoErr;
    case kQOXSubpacket_KeyExpiration:
    case kQOXSubpacket_AdditionalRecipientRequest:
    case kQOXSubpacket_PrefAlgs:
    case kQOXSubpacket_RevocationKey:
    case kQOXSubpacket_KeyFlags:
      return kQOXErrNoErr;
    case kQOXSubpacket_Issuer:
      if (n < kSignerIDSize) return kQOXErrBadSigExtraData;
      if (s.critical() && (n != kSignerIDSize || f.signerID == nullptr)) return kQOXErrBadSigExtraData;
      if (f.signerID != nullptr) std::memcpy(f.signerID, d + n - kSignerIDSize, kSignerIDSize);
      f.sawIssuer = true;
      return kQOXErrNoErr;
    case kQOXSubpacket_PrimaryUserID:
      if (!hashed) return kQOXErrNoErr;
      if (n < 1) return kQOXErrBadSigExtraData;
      Put<uint8_t>(f.primaryUserID, d[0] > 0 ? 1 : 0);
      return kQOXErrNoErr;
    case kQOXSubpacket_X509:
      if (hashed && n >= 1 && d[0] == kQOXX509SubpacketKind_Certificate) {
        Put<uint8_t>(f.isX509, 1);
        f.sawX509 = true;
      }
      return kQOXErrNoErr;
    default:
      return s.critical() ? kQOXErrBadSigExtraData : kQOXErrNoErr;
  }
}

QOXError WalkArea(ByteCursor area, bool hashed, SigFields& f) {
  Subpacket s;
  for (;;) {
    switch (NextSubpacket(&area, &s)) {
      case Next::kEnd:
        return kQOXErrNoErr;
      case Next::kMalformed:
        return kQOXErrBadSigExtraData;
      case Next::kOne:
        if (QOXError err = TakeSubpacket(s, hashed, f); err != kQOXErrNoErr) return err;
        break;
    }
  }
}

QOXError ParseV3(ByteCursor body, uint8_t* algorithm, uint8_t* signerID, QOXTime* creation, uint8_t* type,
                 uint8_t* hash, uint32_t* extraLength) {
  ByteCursor c = body;
  uint8_t extra = 0;
  if (!c.skip(1) || !c.get_u8(&extra)) return kQOXErrSigTruncated;
  ByteCursor material;
  if (!c.get_sub(extra, &material)) return kQOXErrSigTruncated;
  uint8_t sigType = 0;
  uint32_t created = 0;
  if (extra > 0) material.get_u8(&sigType);
  if (extra > 4) material.get_u32be(&created);
  if (extra > 0) Put(type, sigType);
  if (extra > 4) Put(creation, created);
  if (extraLength != nullptr) {
    *extraLength = extra;
  } else if (extra != kV3ExtraLength) {
    return kQOXErrBadSigExtraMaterial;
  }
  uint8_t signer[kSignerIDSize];
  uint8_t alg = 0;
  uint8_t hashAlg = 0;
  if (!c.get_bytes(signer, kSignerIDSize) || !c.get_u8(&alg) || !c.get_u8(&hashAlg)) return kQOXErrSigTruncated;
  if (signerID != nullptr) std::memcpy(signerID, signer, kSignerIDSize);
  Put(algorithm, alg);
  Put(hash, hashAlg);
  return CheckNumbers(c, alg);
}

}  // namespace

QOXError qoxSigParse(const uint8_t* packet, size_t length, bool withoutHeader, uint8_t* algorithm,
                     uint8_t* signerID, QOXTime* creation, uint32_t* expiration, uint8_t* type, uint8_t* hash,
                     uint32_t* extraLength, uint8_t* version, uint8_t* exportable, uint8_t* revocable,
                     uint8_t* trustLevel, uint8_t* trustAmount, uint8_t* hasRegExp, uint8_t* isX509,
                     uint8_t* primaryUserID) {
  Put<uint8_t>(algorithm, 0);
  if (signerID != nullptr) std::memset(signerID, 0, kSignerIDSize);
  Put<QOXTime>(creation, 0);
  Put<uint32_t>(expiration, 0);
  Put<uint8_t>(type, 255);
  Put<uint8_t>(hash, 255);
  Put<uint32_t>(extraLength, 0);
  Put<uint8_t>(version, 0);
  Put<uint8_t>(exportable, 1);
  Put<uint8_t>(revocable, 1);
  Put<uint8_t>(trustLevel, 0);
  Put<uint8_t>(trustAmount, 0);
  Put<uint8_t>(hasRegExp, 0);
  Put<uint8_t>(isX509, 0);
  Put<uint8_t>(primaryUserID, 0);

  ByteCursor body;
  uint8_t v = 0;
  if (!BodyOf(packet, length, withoutHeader, &body) || !body.peek_u8(&v)) return kQOXErrSigTruncated;
  Put(version, v);
  if (v != kVersion4) {
    if (v != 2 && v != 3) return kQOXErrSigVersionUnknown;
    return ParseV3(body, algorithm, signerID, creation, type, hash, extraLength);
  }

  V4Body parts;
  if (!SplitV4(body, &parts)) return kQOXErrSigTruncated;
  Put(type, parts.type);
  Put(algorithm, parts.algorithm);
  Put(hash, parts.hash);
  Put<uint32_t>(extraLength, static_cast<uint32_t>(parts.hashed.remaining()));
  if (QOXError err = CheckNumbers(parts.rest, parts.algorithm); err != kQOXErrNoErr) return err;

  SigFields f{signerID, creation, expiration, exportable, revocable, trustLevel, trustAmount, hasRegExp, isX509,
              primaryUserID};
  if (QOXError err = WalkArea(parts.hashed, true, f); err != kQOXErrNoErr) return err;
  if (QOXError err = WalkArea(parts.unhashed, false, f); err != kQOXErrNoErr) return err;
  if (signerID != nullptr && !f.sawIssuer && !f.sawX509) return kQOXErrBadSigExtraData;
  return kQOXErrNoErr;
}

const uint8_t* qoxSigParseExtra(const uint8_t* packet, size_t length, size_t* extraLength) {
  *extraLength = 0;
  ByteCursor body;
  uint8_t v = 0;
  if (!qoxPktBody(packet, length, &body) || !body.peek_u8(&v)) return nullptr;
  if (v == kVersion4) {
    V4Body parts;
    if (!SplitV4(body, &parts)) return nullptr;
    *extraLength = kV4FixedPrefix + parts.hashed.remaining();
    return body.data();
  }
  if (v != 2 && v != 3) return nullptr;
  ByteCursor c = body;
  uint8_t extra = 0;
  const uint8_t* material = nullptr;
  if (!c.skip(1) || !c.get_u8(&extra) || !c.get_view(extra, &material)) return nullptr;
  *extraLength = extra;
  return material;
}

const uint8_t* qoxSigFindSubpacket(const uint8_t* packet, size_t length, uint8_t type, size_t nth,
                                   size_t* outLength, uint8_t* outCritical, bool* outHashed, QOXTime* outCreation,
                                   size_t* outCount) {
  Put<size_t>(outLength, 0);
  Put<uint8_t>(outCritical, 0);
  Put(outHashed, false);
  Put<QOXTime>(outCreation, 0);
  Put<size_t>(outCount, 0);
  ByteCursor body;
  uint8_t v = 0;
  V4Body parts;
  if (!qoxPktBody(packet, length, &body) || !body.peek_u8(&v) || v != kVersion4 || !SplitV4(body, &parts))
    return nullptr;

  const uint8_t wanted = type & ~kQOXSubpacketCritical;
  const Subpacket* found = nullptr;
  Subpacket match;
  size_t count = 0;
  QOXTime created = 0;
  for (int area = 0; area < 2; ++area) {
    const bool hashed = area == 0;
    ByteCursor c = hashed ? parts.hashed : parts.unhashed;
    Subpacket s;
    for (Next r; (r = NextSubpacket(&c, &s)) != Next::kEnd;) {
      if (r == Next::kMalformed) return nullptr;
      if (s.type() == kQOXSubpacket_Creation && s.data.remaining() == 4) created = LoadBE32(s.data.data());
      if (hashed && s.type() == wanted) {
        if (count == nth) {
          match = s;
          found = &match;
        }
        ++count;
      }
    }
  }
  Put(outCreation, created);
  Put(outCount, count);
  if (found == nullptr) return nullptr;
  Put(outLength, found->data.remaining());
  Put<uint8_t>(outCritical, found->typeByte & kQOXSubpacketCritical);
  Put(outHashed, true);
  return found->data.data();
}

const uint8_t* qoxSigFindORVSubSubpacket(const uint8_t* packet, size_t length, uint8_t kind, size_t nth,
                                         size_t* outLength, uint8_t* outCritical, bool* outHashed) {
  Put<size_t>(outLength, 0);
  Put<uint8_t>(outCritical, 0);
  Put(outHashed, false);
  size_t matches = 0;
  for (size_t i = 0;; ++i) {
    size_t n = 0;
    uint8_t critical = 0;
    bool hashed = false;
    const uint8_t* data =
        qoxSigFindSubpacket(packet, length, kQOXSubpacket_X509, i, &n, &critical, &hashed, nullptr, nullptr);
    if (data == nullptr) return nullptr;
    if (n >= 1 && data[0] == kind && matches++ == nth) {
      Put(outLength, n);
      Put(outCritical, critical);
      Put(outHashed, hashed);
      return data;
    }
  }
}

namespace {

// One subpacket into the sigSpec (qoxSigSubpacketsSpec).
QOXError SpecSubpacket(QOXSigSpec* sigSpec, const Subpacket& s, bool hashed) {
  if (!hashed && s.critical()) return kQOXErrBadSigExtraData;
  const uint32_t flags = (s.critical() ? kQOXSigSubpacket_Critical : 0) | (hashed ? 0 : kQOXSigSubpacket_Unhashed);
  const size_t n = s.data.remaining();
  const uint8_t* d = s.data.data();
  auto fixed = [n](size_t want) { return n == want; };
  switch (s.type()) {
    case kQOXSubpacket_Creation:
      return fixed(4) ? qoxSigSpecSetTimestamp(sigSpec, LoadBE32(d)) : kQOXErrBadSigExtraData;
    case kQOXSubpacket_SigExpiration:
      return fixed(4) ? qoxSigSpecSetSigExpiration(sigSpec, flags, LoadBE32(d)) : kQOXErrBadSigExtraData;
    case kQOXSubpacket_Exportable:
      return fixed(1) ? qoxSigSpecSetExportable(sigSpec, flags, d[0] != 0 ? 1 : 0) : kQOXErrBadSigExtraData;
    case kQOXSubpacket_Trust:
      return fixed(2) ? qoxSigSpecSetTrustLevel(sigSpec, flags, d[0] != 0 ? 1 : 0, d[1]) : kQOXErrBadSigExtraData;
    case kQOXSubpacket_RegExp: {
      // The setter takes a terminated text: the data up to its first NUL.
      const std::string text(reinterpret_cast<const char*>(d), strnlen(reinterpret_cast<const char*>(d), n));
      return qoxSigSpecSetRegExp(sigSpec, flags, text.c_str());
    }
    case kQOXSubpacket_Revocable:
      return fixed(1) ? qoxSigSpecSetRevocable(sigSpec, flags, d[0] != 0 ? 1 : 0) : kQOXErrBadSigExtraData;
    case kQOXSubpacket_KeyExpiration:
      return fixed(4) ? qoxSigSpecSetKeyExpiration(sigSpec, flags, LoadBE32(d)) : kQOXErrBadSigExtraData;
    case kQOXSubpacket_AdditionalRecipientRequest:
      return qoxSigSpecSetAdditionalRecipientRequest(sigSpec, flags, d, n);
    case kQOXSubpacket_PrefAlgs:
      return qoxSigSpecSetPrefAlgs(sigSpec, flags, d, n);
    case kQOXSubpacket_RevocationKey:
      return qoxSigSpecSetRevocationKey(sigSpec, flags, d, n);
    case kQOXSubpacket_Issuer:
      return fixed(kSignerIDSize) ? kQOXErrNoErr : kQOXErrBadSigExtraData;
    case kQOXSubpacket_KeyServPrefs:
      return qoxSigSpecSetKeyServPrefs(sigSpec, flags, d, n);
    case kQOXSubpacket_PrefKeyServ:
      return qoxSigSpecSetPrefKeyServ(sigSpec, flags, d, n);
    case kQOXSubpacket_PrimaryUserID:
      return fixed(1) ? qoxSigSpecSetPrimaryUserID(sigSpec, flags, d[0] != 0 ? 1 : 0) : kQOXErrBadSigExtraData;
    case kQOXSubpacket_KeyFlags:
      return qoxSigSpecSetKeyFlags(sigSpec, flags, d, n);
    default: {
      // A raw subpacket: its type byte, then its data.
      std::vector<uint8_t> raw(1, s.type());
      raw.insert(raw.end(), d, d + n);
      return qoxSigSpecSetPacket(sigSpec, flags, raw.data(), raw.size());
    }
  }
}

}  // namespace

QOXError qoxSigSubpacketsSpec(QOXSigSpec* sigSpec, const uint8_t* packet, size_t length) {
  ByteCursor body;
  uint8_t v = 0;
  if (!qoxPktBody(packet, length, &body) || !body.peek_u8(&v) || v != kVersion4) return kQOXErrNoErr;
  V4Body parts;
  if (!SplitV4(body, &parts)) return kQOXErrBadSigExtraData;
  for (int area = 0; area < 2; ++area) {
    const bool hashed = area == 0;
    ByteCursor c = hashed ? parts.hashed : parts.unhashed;
    Subpacket s;
    for (Next r; (r = NextSubpacket(&c, &s)) != Next::kEnd;) {
      if (r == Next::kMalformed) return kQOXErrBadSigExtraData;
      if (QOXError err = SpecSubpacket(sigSpec, s, hashed); err != kQOXErrNoErr) return err;
    }
  }
  return kQOXErrNoErr;
}
