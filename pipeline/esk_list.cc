// The ESK list: checking, storing and opening the encrypted session keys of
// a message being read.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "crypto/cfb.h"
#include "crypto/cipher.h"
#include "crypto/hash.h"
#include "crypto/pkt_list.h"
#include "foundation/byte_cursor.h"
#include "foundation/context.h"
#include "foundation/core/string_to_key.h"
#include "foundation/env.h"
#include "foundation/scoped.h"
#include "foundation/sdk_errors.h"
#include "crypto/key_encoding.h"
#include "keydb/key_id.h"
#include "keydb/key_ops.h"
#include "pipeline/esk.h"
#include "pipeline/scoped_crypto.h"

using qox_pipeline::CFBPtr;
using qox_pipeline::NewSecure;
using qox_pipeline::S2KPtr;
using qox_pipeline::SecurePtr;

namespace {

constexpr uint8_t kSKESKVersion = 4;
constexpr uint8_t kRSA = 1;
// Public-key ESK: version, key ID (8), algorithm, then the MPIs.
constexpr size_t kPKESKFixed = 10;
// The room every decrypted session key gets at least: an algorithm byte and
// the largest key.
constexpr size_t kMinKeyRoom = 33;

// Symmetric: a version-4 body with a known cipher and string-to-key.
QOXError CheckSymmetric(const uint8_t* body, size_t length, uint32_t* kind) {
  if (length == 0) {
    *kind = kQOXEskKindEmpty;
    return kQOXErrNoErr;
  }
  ostrak::ByteCursor in(body, length);
  uint8_t version = 0, cipher = 0;
  if (length < 3 || !in.get_u8(&version) || !in.get_u8(&cipher)) return kQOXErrSessionKeyTooShort;
  if (version != kSKESKVersion) return kQOXErrUnknownVersion;
  if (qoxCipherGetVTBL(cipher) == nullptr) return kQOXErrUnknownSessionKeyAlgorithm;
  int32_t s2k = qoxS2Kdecode(nullptr, nullptr, in.data(), in.remaining());
  if (s2k == 0 || s2k == kQOXErrUnknownKeyString) return kQOXErrUnknownSessionKeyAlgorithm;
  if (s2k < 0) return s2k;
  *kind = kQOXEskKindConventional;
  return kQOXErrNoErr;
}

QOXError CheckPublicKey(const uint8_t* body, size_t length, uint32_t* kind) {
  ostrak::ByteCursor in(body, length);
  uint8_t version = 0;
  if (!in.get_u8(&version)) return kQOXErrSessionKeyTooShort;
  if (version < 2 || version > 4) return kQOXErrUnknownVersion;
  uint8_t algorithm = 0;
  if (length < kPKESKFixed || !in.skip(8) || !in.get_u8(&algorithm)) return kQOXErrSessionKeyTooShort;
  if (algorithm == kRSA) {
    uint16_t bits = 0;
    if (!in.get_u16be(&bits) || length != (size_t{bits} + 7) / 8 + kPKESKFixed + 2) return kQOXErrSessionKeyTooShort;
  }
  *kind = kQOXEskKindPublicKey + algorithm;
  return kQOXErrNoErr;
}

QOXContext* ContextOf(const QOXPktList* esk, QOXEnv* env) {
  QOXContext* context = env != nullptr ? qoxenvGetContext(env) : nullptr;
  return context != nullptr ? context : esk->context;
}

// Kind 0: the simple MD5 string-to-key gives an IDEA key.
int32_t DecryptEmpty(QOXContext* context, const char* passphrase, size_t passphraseLength, uint8_t* out,
                     size_t outSize) {
  const QOXHashVTBL* md5 = qoxHashByNumber(kQOXHashAlgorithm_MD5);
  if (md5 == nullptr) return kQOXErrUnknownHashNumber;
  const QOXCipherVTBL* idea = qoxCipherGetVTBL(kQOXCipherAlgorithm_IDEA);
  if (idea == nullptr) return kQOXErrUnknownCipherNumber;
  if (outSize < 1 + idea->keySize) return kQOXErrBadParams;
  S2KPtr s2k(qoxS2Ksimple(context, md5));
  if (!s2k) return kQOXErrOutOfMemory;
  out[0] = kQOXCipherAlgorithm_IDEA;
  QOXError err = qoxS2Kconvert(s2k.get(), passphrase, passphraseLength, out + 1, idea->keySize);
  if (err != kQOXErrNoErr) {
    std::memset(out, 0, 1 + idea->keySize);
    return err;
  }
  return static_cast<int32_t>(1 + idea->keySize);
}

int32_t DecryptConventional(QOXContext* context, const QOXPktList* esk, const char* passphrase,
                            size_t passphraseLength, uint8_t* out, size_t outSize) {
  ostrak::ByteCursor in(qoxPktListData(esk), esk->length);
  uint8_t cipherNumber = 0;
  if (!in.skip(1) || !in.get_u8(&cipherNumber)) return kQOXErrSessionKeyTooShort;
  const QOXCipherVTBL* cipher = qoxCipherGetVTBL(cipherNumber);
  if (cipher == nullptr) return kQOXErrUnknownCipherNumber;
  S2KPtr s2k;
  int32_t used = qoxS2Kdecode(ostrak::OutParam(s2k), context, in.data(), in.remaining());
  if (used < 0) return used;
  if (used == 0 || !s2k) return kQOXErrOutOfMemory;
  in.skip(static_cast<size_t>(used));
  QOXMemoryMgr* mgr = QOXPeekContextMemoryMgr(context);
  SecurePtr key = NewSecure(mgr, cipher->keySize);
  if (!key) return kQOXErrOutOfMemory;
  QOXError err = qoxS2Kconvert(s2k.get(), passphrase, passphraseLength, key.get(), cipher->keySize);
  if (err != kQOXErrNoErr) return err;
  if (in.empty()) {
    // No encrypted key: the derived key is the session key.
    if (outSize < 1 + cipher->keySize) return kQOXErrBadParams;
    out[0] = static_cast<uint8_t>(cipherNumber);
    std::memcpy(out + 1, key.get(), cipher->keySize);
    return static_cast<int32_t>(1 + cipher->keySize);
  }
  if (outSize < in.remaining()) return kQOXErrBadParams;
  CFBPtr cfb(qoxCFBCreate(mgr, cipher));
  if (!cfb) return kQOXErrOutOfMemory;
  err = QOXInitCFB(cfb.get(), key.get(), nullptr);
  if (err != kQOXErrNoErr) return err;
  qoxCFBDecryptInternal(cfb.get(), in.data(), in.remaining(), out);
  return static_cast<int32_t>(in.remaining());
}

}  // namespace

QOXError qoxEskAdd(QOXContext* context, QOXPktList** head, uint32_t annotation, const uint8_t* body, size_t length) {
  if (head == nullptr || (body == nullptr && length != 0)) return kQOXErrBadParams;
  uint32_t kind = 0;
  QOXError err = kQOXErrNoErr;
  if (annotation == kQOXAnnSKCipherESK) {
    err = CheckSymmetric(body, length, &kind);
  } else if (annotation == kQOXAnnPKCipherESK) {
    err = CheckPublicKey(body, length, &kind);
  } else {
    return kQOXErrBadParams;
  }
  if (err != kQOXErrNoErr) return err;
  QOXPktList* node = qoxPktListNew(context, kind, body, length);
  if (node == nullptr) return kQOXErrOutOfMemory;
  QOXPktList** at = head;
  while (*at != nullptr) at = &(*at)->next;
  *at = node;
  return kQOXErrNoErr;
}

int32_t qoxEskConvDecrypt(const QOXPktList* esk, QOXEnv* env, const char* passphrase, size_t passphraseLength,
                          uint8_t* out, size_t outSize) {
  if (esk == nullptr || out == nullptr || (passphrase == nullptr && passphraseLength != 0)) return kQOXErrBadParams;
  QOXContext* context = ContextOf(esk, env);
  if (esk->type == kQOXEskKindEmpty) return DecryptEmpty(context, passphrase, passphraseLength, out, outSize);
  if (esk->type == kQOXEskKindConventional) {
    return DecryptConventional(context, esk, passphrase, passphraseLength, out, outSize);
  }
  return kQOXErrBadParams;
}

int32_t qoxEskPKdecrypt(const QOXPktList* esk, QOXKeyDBObj* key, const char* passphrase, size_t passphraseLength,
                        bool hashed, uint32_t cacheTimeOut, bool cacheGlobally, uint8_t* out, size_t outSize) {
  if (esk == nullptr || key == nullptr || out == nullptr || qoxEskType(esk) != kQOXEskTypePublicKey ||
      esk->length < kPKESKFixed) {
    return kQOXErrBadParams;
  }
  uint8_t* decrypted = nullptr;
  size_t length = 0;
  QOXError err = qoxKeyDecrypt(key, passphrase, passphraseLength, hashed, cacheTimeOut, cacheGlobally,
                               qoxPktListData(esk) + kPKESKFixed, esk->length - kPKESKFixed, kQOXPublicKeyFormat_MPI,
                               &decrypted, &length);
  // The block is the key database's: wiped here, then freed.
  struct Owned {
    uint8_t* block;
    size_t length;
    ~Owned() {
      if (block == nullptr) return;
      std::memset(block, 0, length);
      QOXFreeData(block);
    }
  } owned{decrypted, length};
  if (err != kQOXErrNoErr) return err;
  if (length > outSize || length > INT32_MAX) return kQOXErrBadParams;
  std::memcpy(out, decrypted, length);
  return static_cast<int32_t>(length);
}

uint32_t qoxEskType(const QOXPktList* esk) { return esk != nullptr ? esk->type >> 8 : 0; }

uint8_t qoxEskPKAlg(const QOXPktList* esk) {
  if (qoxEskType(esk) != kQOXEskTypePublicKey || esk->length < kPKESKFixed) return 0;
  return qoxPktListData(esk)[kPKESKFixed - 1];
}

QOXError qoxGetEskKeyID(const QOXPktList* esk, QOXKeyID* outKeyID) {
  if (esk == nullptr || outKeyID == nullptr || esk->length < 9) return kQOXErrBadParams;
  std::memset(outKeyID, 0, sizeof *outKeyID);
  return qoxNewKeyIDFromRawData(qoxPktListData(esk) + 1, kQOXKeyIDAnyAlgorithm, 8, outKeyID);
}

size_t qoxEskMaxKeySize(const QOXPktList* esk) {
  if (esk == nullptr) return 0;
  size_t fixed = 0;
  if (esk->type == kQOXEskKindEmpty || esk->type == kQOXEskKindConventional) {
    fixed = 3;
  } else if (qoxEskType(esk) == kQOXEskTypePublicKey) {
    fixed = kPKESKFixed;
  } else {
    return 0;
  }
  return std::max(esk->length > fixed ? esk->length - fixed : 0, kMinKeyRoom);
}

QOXPktList* qoxEskNext(const QOXPktList* esk) { return esk != nullptr ? esk->next : nullptr; }

void qoxEskFreeList(QOXPktList* list) { qoxPktListFreeList(list); }
