// The conventional-ESK module: symmetric-key ESK packets ahead of the data.
#include <cstring>
#include <vector>

#include "crypto/cfb.h"
#include "crypto/cipher.h"
#include "foundation/context.h"
#include "foundation/string_to_key_services.h"
#include "pipeline/esk.h"
#include "pipeline/generic_modules.h"
#include "pipeline/scoped_crypto.h"

using qox_pipeline::CFBPtr;
using qox_pipeline::NewSecure;
using qox_pipeline::SecurePtr;

namespace {

constexpr uint8_t kSKESKVersion = 4;
constexpr uint8_t kSKESKHeader = 0xC3;  // new format, tag 3
constexpr size_t kOneOctetLimit = 192;

// Wipes a vector's bytes before it goes.
struct WipedBytes {
  std::vector<uint8_t> bytes;
  ~WipedBytes() {
    if (!bytes.empty()) std::memset(bytes.data(), 0, bytes.size());
  }
};

// Adds one ESK packet for `pass` to the join's first input.
QOXError AddPacket(QOXPipeline* join, const QOXConvKey* pass, QOXStringToKey* s2k, uint32_t cipherAlgorithm,
                   const uint8_t* sessionKey, size_t sessionKeyLength, QOXCFBContext* cfb, uint8_t* key,
                   size_t keySize) {
  WipedBytes body;
  body.bytes.reserve(2 + s2k->encodedLength + sessionKeyLength);
  body.bytes.push_back(kSKESKVersion);
  body.bytes.push_back(static_cast<uint8_t>(cipherAlgorithm));
  body.bytes.insert(body.bytes.end(), s2k->encoded, s2k->encoded + s2k->encodedLength);
  if (sessionKey != nullptr) {
    QOXError err = qoxS2Kconvert(s2k, pass->passphrase, pass->passphraseLength, key, keySize);
    if (err == kQOXErrNoErr) err = QOXInitCFB(cfb, key, nullptr);
    std::memset(key, 0, keySize);
    if (err != kQOXErrNoErr) return err;
    size_t at = body.bytes.size();
    body.bytes.resize(at + sessionKeyLength);
    qoxCFBEncryptInternal(cfb, sessionKey, sessionKeyLength, body.bytes.data() + at);
    qoxCFBWipe(cfb);
  }
  if (body.bytes.size() > kQOXMaxEskBody) return kQOXErrSessionKeyTooShort;
  WipedBytes packet;
  packet.bytes.push_back(kSKESKHeader);
  size_t n = body.bytes.size();
  if (n < kOneOctetLimit) {
    packet.bytes.push_back(static_cast<uint8_t>(n));
  } else {
    packet.bytes.push_back(static_cast<uint8_t>(((n - kOneOctetLimit) >> 8) + kOneOctetLimit));
    packet.bytes.push_back(static_cast<uint8_t>((n - kOneOctetLimit) & 0xFF));
  }
  packet.bytes.insert(packet.bytes.end(), body.bytes.begin(), body.bytes.end());
  if (qoxJoinBuffer(join, packet.bytes.data(), packet.bytes.size()) != packet.bytes.size()) {
    return kQOXErrOutOfMemory;
  }
  return kQOXErrNoErr;
}

}  // namespace

QOXPipeline** qoxConvModCreate(QOXContext* context, QOXPipeline** slot, uint32_t version,
                               const QOXFifoDesc* fifoDesc, QOXStringToKey* defaultS2K, const QOXConvKey* list,
                               uint32_t cipherAlgorithm, const uint8_t* sessionKey) {
  if (slot == nullptr) return nullptr;
  QOXPipeline* const oldHead = *slot;
  QOXPipeline** joinTail = qoxJoinCreate(context, slot, fifoDesc);
  if (joinTail == nullptr) return nullptr;
  if (version <= 3) return joinTail;
  QOXPipeline* const join = *slot;
  auto fail = [&]() -> QOXPipeline** {
    *joinTail = nullptr;  // the caller's chain stays the caller's
    qoxPipelineTeardown(join);
    *slot = oldHead;
    return nullptr;
  };
  const QOXCipherVTBL* cipher = qoxCipherGetVTBL(cipherAlgorithm);
  if (cipher == nullptr) return fail();
  size_t sessionKeyLength = 0;
  CFBPtr cfb;
  SecurePtr key;
  if (sessionKey != nullptr) {
    const QOXCipherVTBL* keyCipher = qoxCipherGetVTBL(sessionKey[0]);
    if (keyCipher == nullptr) return fail();
    sessionKeyLength = 1 + keyCipher->keySize;
    QOXMemoryMgr* mgr = QOXPeekContextMemoryMgr(context);
    cfb.reset(qoxCFBCreate(mgr, cipher));
    key = NewSecure(mgr, cipher->keySize);
    if (!cfb || !key) return fail();
  }
  for (const QOXConvKey* pass = list; pass != nullptr; pass = pass->next) {
    QOXStringToKey* s2k = pass->stringToKey != nullptr ? pass->stringToKey : defaultS2K;
    if (s2k == nullptr) return fail();
    if (AddPacket(join, pass, s2k, cipherAlgorithm, sessionKey, sessionKeyLength, cfb.get(), key.get(),
                  cipher->keySize) != kQOXErrNoErr) {
      return fail();
    }
  }
  return joinTail;
}
