// Signature and one-pass signature bodies made from a signature settings.
#include "keydb/sig_make.h"

#include <cstring>

#include "crypto/hash.h"
#include "foundation/byte_order.h"
#include "foundation/context.h"
#include "foundation/core/sig_spec.h"
#include "foundation/keydb_services.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_id.h"
#include "keydb/key_ops.h"
#include "keydb/obj_properties.h"
#include "keydb/sig_packet.h"

namespace {

constexpr uint8_t kOnePassVersion = 3;
constexpr uint8_t kVersion3 = 3;
constexpr uint8_t kVersion4 = 4;
constexpr size_t kKeyIDSize = 8;
constexpr size_t kCheckBytes = 2;
constexpr int kSignatureFormat = 1;

// The signing key's public-key algorithm and 8-byte key ID.
struct Signer {
  uint8_t algorithm;
  uint8_t keyID[kKeyIDSize];
};

QOXError SignerOf(const QOXSigSpec* sigSpec, Signer* out) {
  QOXKeyDBObj* key = qoxSigSpecSeckey(sigSpec);
  if (key == nullptr) return kQOXErrBadParams;
  int32_t algorithm = 0;
  if (QOXError err = qoxGetKeyNumber(key, static_cast<int32_t>(KeyDBObjProperty::KeyAlgorithm), &algorithm);
      err != kQOXErrNoErr)
    return err;
  QOXKeyID id{};
  size_t size = 0;
  if (QOXError err =
          qoxGetKeyPropertyBuffer(key, static_cast<int32_t>(KeyDBObjProperty::KeyKeyID), &id, sizeof id, &size);
      err != kQOXErrNoErr)
    return err;
  if (!qoxKeyIDIsValid(&id) || qoxKeyIDLength(&id) != kKeyIDSize) return kQOXErrBadParams;
  out->algorithm = static_cast<uint8_t>(algorithm);
  std::memcpy(out->keyID, qoxGetKeyIDBytes(&id), kKeyIDSize);
  return kQOXErrNoErr;
}

// Writes into a buffer of known size, or only counts when it has none.
class Writer {
 public:
  Writer() = default;
  Writer(uint8_t* out, size_t capacity) : out_(out), capacity_(capacity) {}
  size_t size() const { return at_; }
  bool ok() const { return ok_; }
  void Put(const void* bytes, size_t n) {
    if (out_ != nullptr) {
      if (n > capacity_ - at_) {
        ok_ = false;
        return;
      }
      if (n != 0) std::memcpy(out_ + at_, bytes, n);
    }
    at_ += n;
  }
  void Byte(uint8_t b) { Put(&b, 1); }
  void Length(size_t n) {
    uint8_t b[5];
    if (n < 192) {
      b[0] = static_cast<uint8_t>(n);
      Put(b, 1);
    } else if (n < 8384) {
      b[0] = static_cast<uint8_t>(((n - 192) >> 8) + 192);
      b[1] = static_cast<uint8_t>((n - 192) & 0xFF);
      Put(b, 2);
    } else {
      b[0] = 255;
      StoreBE32(b + 1, static_cast<uint32_t>(n));
      Put(b, 5);
    }
  }
  // A two-byte area length at an earlier position.
  void PatchBE16(size_t at, size_t value) {
    if (out_ != nullptr && at + 2 <= capacity_) StoreBE16(out_ + at, static_cast<uint16_t>(value));
  }

 private:
  uint8_t* out_ = nullptr;
  size_t capacity_ = 0;
  size_t at_ = 0;
  bool ok_ = true;
};

// One subpacket of a known type: length, type (0x80 when critical), data.
void Subpacket(Writer& w, uint8_t type, uint32_t flags, const void* data, size_t n) {
  w.Length(n + 1);
  w.Byte(static_cast<uint8_t>(type | ((flags & kQOXSigSubpacket_Critical) != 0 ? 0x80 : 0)));
  w.Put(data, n);
}

bool InArea(uint32_t flags, bool unhashed) {
  return flags != 0 && ((flags & kQOXSigSubpacket_Unhashed) != 0) == unhashed;
}

// The sigSpec's items that belong to one area, in their order.
void Items(Writer& w, const QOXSigSpec* sigSpec, bool unhashed) {
  auto time = [&](uint8_t type, uint32_t flags, QOXTime t) {
    if (!InArea(flags, unhashed)) return;
    uint8_t be[4];
    StoreBE32(be, static_cast<uint32_t>(t));
    Subpacket(w, type, flags, be, sizeof be);
  };
  auto byte = [&](uint8_t type, uint32_t flags, uint8_t b) {
    if (InArea(flags, unhashed)) Subpacket(w, type, flags, &b, 1);
  };
  auto bytes = [&](uint8_t type, uint32_t flags, const uint8_t* data, size_t n) {
    if (InArea(flags, unhashed)) Subpacket(w, type, flags, data, n);
  };
  // Of several items of one type, in the order the sigSpec gives them.
  auto each = [&](uint8_t type, uint32_t (*get)(const QOXSigSpec*, const uint8_t**, size_t*, uint32_t)) {
    const uint8_t* data = nullptr;
    size_t n = 0;
    for (uint32_t i = 0; uint32_t flags = get(sigSpec, &data, &n, i); ++i) bytes(type, flags, data, n);
  };
  const uint8_t* data = nullptr;
  size_t n = 0;
  QOXTime t = 0;
  uint8_t b = 0;
  uint32_t flags = qoxSigSpecSigExpiration(sigSpec, &t);
  time(kQOXSigSub_SigExpiration, flags, t);
  flags = qoxSigSpecExportable(sigSpec, &b);
  byte(kQOXSigSub_Exportable, flags, b);
  uint8_t level = 0, amount = 0;
  flags = qoxSigSpecTrustLevel(sigSpec, &level, &amount);
  const uint8_t trust[2] = {level, amount};
  bytes(kQOXSigSub_TrustLevel, flags, trust, sizeof trust);
  const char* regexp = nullptr;
  flags = qoxSigSpecRegExp(sigSpec, &regexp);
  if (regexp != nullptr)
    bytes(kQOXSigSub_RegExp, flags, reinterpret_cast<const uint8_t*>(regexp), std::strlen(regexp) + 1);
  flags = qoxSigSpecRevocable(sigSpec, &b);
  byte(kQOXSigSub_Revocable, flags, b);
  flags = qoxSigSpecKeyExpiration(sigSpec, &t);
  time(kQOXSigSub_KeyExpiration, flags, t);
  each(kQOXSigSub_AdditionalRecipientRequest, qoxSigSpecAdditionalRecipientRequest);
  flags = qoxSigSpecPrefAlgs(sigSpec, &data, &n);
  bytes(kQOXSigSub_PrefAlgs, flags, data, n);
  each(kQOXSigSub_RevocationKey, qoxSigSpecRevocationKey);
  flags = qoxSigSpecPrimaryUserID(sigSpec, &b);
  byte(kQOXSigSub_PrimaryUserID, flags, b);
  flags = qoxSigSpecKeyServPrefs(sigSpec, &data, &n);
  bytes(kQOXSigSub_KeyServPrefs, flags, data, n);
  flags = qoxSigSpecPrefKeyServ(sigSpec, &data, &n);
  bytes(kQOXSigSub_PrefKeyServ, flags, data, n);
  flags = qoxSigSpecKeyFlags(sigSpec, &data, &n);
  bytes(kQOXSigSub_KeyFlags, flags, data, n);
  // Raw subpackets: their bytes begin with their own type.
  for (uint32_t i = 0; (flags = qoxSigSpecPacket(sigSpec, &data, &n, i)) != 0; ++i) {
    if (!InArea(flags, unhashed) || n == 0) continue;
    w.Length(n);
    w.Byte(static_cast<uint8_t>(data[0] | ((flags & kQOXSigSubpacket_Critical) != 0 ? 0x80 : 0)));
    w.Put(data + 1, n - 1);
  }
}

// The version-4 body without check bytes and MPIs; hashedEnd receives the
// length of the header and hashed area.
void V4Body(Writer& w, const QOXSigSpec* sigSpec, const Signer& signer, size_t* hashedEnd) {
  const uint8_t header[4] = {kVersion4, qoxSigSpecSigType(sigSpec), signer.algorithm, qoxSigSpecHashtype(sigSpec)};
  w.Put(header, sizeof header);
  for (bool unhashed : {false, true}) {
    const size_t lengthAt = w.size();
    w.Put("\0\0", 2);
    if (!unhashed) {
      size_t n = 0;
      const uint8_t* extra = qoxSigSpecExtra(sigSpec, &n);
      Subpacket(w, kQOXSubpacket_Creation, 0, extra + 1, 4);
    } else {
      Subpacket(w, kQOXSubpacket_Issuer, 0, signer.keyID, kKeyIDSize);
    }
    Items(w, sigSpec, unhashed);
    w.PatchBE16(lengthAt, w.size() - lengthAt - 2);
    if (!unhashed) *hashedEnd = w.size();
  }
}

// The area lengths of a version-4 body fit their two bytes (the creation
// time takes 6 bytes of the hashed area, the issuer 10 of the other).
bool AreasFit(const QOXSigSpec* sigSpec) {
  for (bool unhashed : {false, true}) {
    Writer count;
    Items(count, sigSpec, unhashed);
    if (count.size() + 10 > 0xFFFF) return false;
  }
  return true;
}

void Feed(QOXHashContext* hash, const void* bytes, size_t n) {
  if (n != 0) qoxHashGetVTBL(hash)->update(hash->state, bytes, n);
}

struct HashCopy {
  QOXHashContext* hash = nullptr;
  ~HashCopy() {
    if (hash != nullptr) QOXFreeHashContext(hash);
  }
};

// Signs the digest and appends the MPIs after `used` bytes of the body
// (reallocated); frees the body on error.
int32_t SignAndAppend(const QOXSigSpec* sigSpec, const uint8_t* digest, size_t digestSize, uint8_t* checkBytes,
                      uint8_t** body, size_t used) {
  size_t passphraseLength = 0;
  int hashed = 0;
  const uint8_t* passphrase = qoxSigSpecPassphrase(sigSpec, &passphraseLength, &hashed);
  uint8_t* numbers = nullptr;
  size_t numbersLength = 0;
  QOXError err = qoxKeySign(qoxSigSpecSeckey(sigSpec), reinterpret_cast<const char*>(passphrase), passphraseLength,
                            hashed != 0, 0, false, qoxSigSpecHashtype(sigSpec), digest, digestSize, kSignatureFormat,
                            &numbers, &numbersLength);
  QOXContext* context = qoxSigSpecContext(sigSpec);
  if (err == kQOXErrNoErr && numbersLength > INT32_MAX - used) err = kQOXErrOutOfMemory;
  if (err == kQOXErrNoErr) {
    void* grown = *body;
    err = qoxContextMemRealloc(context, &grown, used + numbersLength, 0);
    if (err == kQOXErrNoErr) *body = static_cast<uint8_t*>(grown);
  }
  if (err != kQOXErrNoErr) {
    checkBytes[0] = checkBytes[1] = 0;
    if (numbers != nullptr) QOXFreeData(numbers);
    QOXFreeData(*body);
    *body = nullptr;
    return err;
  }
  std::memcpy(*body + used, numbers, numbersLength);
  QOXFreeData(numbers);
  return static_cast<int32_t>(used + numbersLength);
}

int32_t MakeV3(const QOXSigSpec* sigSpec, const Signer& signer, QOXHashContext* hash, uint8_t** outBody) {
  size_t extraLength = 0;
  const uint8_t* extra = qoxSigSpecExtra(sigSpec, &extraLength);
  const size_t used = extraLength + 14;
  auto* body = static_cast<uint8_t*>(qoxContextMemAlloc(qoxSigSpecContext(sigSpec), used, 0));
  if (body == nullptr) return kQOXErrOutOfMemory;
  Feed(hash, extra, extraLength);
  const QOXHashVTBL* vtbl = qoxHashGetVTBL(hash);
  const uint8_t* digest = qoxHashFinal(hash);
  uint8_t* p = body;
  *p++ = kVersion3;
  *p++ = static_cast<uint8_t>(extraLength);
  std::memcpy(p, extra, extraLength);
  p += extraLength;
  std::memcpy(p, signer.keyID, kKeyIDSize);
  p += kKeyIDSize;
  *p++ = signer.algorithm;
  *p++ = qoxSigSpecHashtype(sigSpec);
  uint8_t* check = p;
  check[0] = digest[0];
  check[1] = digest[1];
  const int32_t length = SignAndAppend(sigSpec, digest, vtbl->digestSize, check, &body, used);
  if (length > 0) *outBody = body;
  return length;
}

int32_t MakeV4(const QOXSigSpec* sigSpec, const Signer& signer, QOXHashContext* hash, uint8_t** outBody) {
  if (!AreasFit(sigSpec)) return kQOXErrBadSigExtraData;
  Writer count;
  size_t hashedEnd = 0;
  V4Body(count, sigSpec, signer, &hashedEnd);
  const size_t used = count.size() + kCheckBytes;
  auto* body = static_cast<uint8_t*>(qoxContextMemAlloc(qoxSigSpecContext(sigSpec), used, 0));
  if (body == nullptr) return kQOXErrOutOfMemory;
  Writer w(body, used);
  V4Body(w, sigSpec, signer, &hashedEnd);
  // The hashed part of the body, then its trailer.
  Feed(hash, body, hashedEnd);
  uint8_t trailer[6] = {kVersion4, 0xFF};
  StoreBE32(trailer + 2, static_cast<uint32_t>(hashedEnd));
  Feed(hash, trailer, sizeof trailer);
  const QOXHashVTBL* vtbl = qoxHashGetVTBL(hash);
  const uint8_t* digest = qoxHashFinal(hash);
  uint8_t* check = body + w.size();
  check[0] = digest[0];
  check[1] = digest[1];
  const int32_t length = SignAndAppend(sigSpec, digest, vtbl->digestSize, check, &body, used);
  if (length > 0) *outBody = body;
  return length;
}

}  // namespace

int32_t qoxMakeSig(const QOXSigSpec* sigSpec, const QOXHashContext* hash, uint8_t** outBody) {
  if (outBody == nullptr) return kQOXErrBadParams;
  *outBody = nullptr;
  if (sigSpec == nullptr || hash == nullptr) return kQOXErrBadParams;
  Signer signer{};
  if (QOXError err = SignerOf(sigSpec, &signer); err != kQOXErrNoErr) return err;
  HashCopy copy;
  copy.hash = qoxHashCopy(hash);
  if (copy.hash == nullptr) return kQOXErrOutOfMemory;
  return qoxSigSpecVersion(sigSpec) < 4 ? MakeV3(sigSpec, signer, copy.hash, outBody)
                                     : MakeV4(sigSpec, signer, copy.hash, outBody);
}

size_t qoxMakeSigExtraSize(const QOXSigSpec* sigSpec) {
  if (sigSpec == nullptr) return 0;
  if (qoxSigSpecVersion(sigSpec) < 4) {
    size_t extraLength = 0;
    qoxSigSpecExtra(sigSpec, &extraLength);
    return extraLength + 14;
  }
  // Header, two area lengths, creation time, issuer and check bytes, then
  // each item with the length form it is written with.
  size_t size = 26;
  for (bool unhashed : {false, true}) {
    Writer count;
    Items(count, sigSpec, unhashed);
    size += count.size();
  }
  return size;
}

int32_t qoxMakeSigHeader(uint8_t* out, const QOXSigSpec* sigSpec, uint8_t nested) {
  if (out == nullptr || sigSpec == nullptr) return kQOXErrBadParams;
  Signer signer{};
  if (QOXError err = SignerOf(sigSpec, &signer); err != kQOXErrNoErr) return err;
  out[0] = kOnePassVersion;
  out[1] = qoxSigSpecSigType(sigSpec);
  out[2] = qoxSigSpecHashtype(sigSpec);
  out[3] = signer.algorithm;
  std::memcpy(out + 4, signer.keyID, kKeyIDSize);
  out[12] = nested;
  return static_cast<int32_t>(kQOXMakeSigHeaderMaxSize);
}
