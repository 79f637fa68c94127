// The encrypt pipeline builder.
//
// Every module creator takes the current slot and returns the slot behind
// what it made, so the chain grows from the input towards the output. The
// decisions (version, text mode, clear-signing, what is switched off) come
// first; the modules follow in the order the data passes them.
#include "pipeline/encrypt_pipeline.h"

#include <cstring>
#include <memory>

#include "crypto/cfb.h"
#include "crypto/cipher.h"
#include "crypto/context_random.h"
#include "crypto/random_pool.h"
#include "foundation/context.h"
#include "foundation/core/sig_spec.h"
#include "foundation/core/string_to_key.h"
#include "foundation/env.h"
#include "keydb/key_iter.h"
#include "keydb/obj_properties.h"
#include "keydb/self_sig.h"
#include "pipeline/add_header.h"
#include "pipeline/armor_write.h"
#include "pipeline/cipher_module.h"
#include "pipeline/compression.h"
#include "pipeline/generic_modules.h"
#include "pipeline/scoped_crypto.h"
#include "pipeline/sig_module.h"

using qox_pipeline::CFBPtr;
using qox_pipeline::NewSecure;
using qox_pipeline::S2KPtr;
using qox_pipeline::SecurePtr;

namespace {

// Public-key algorithms up to this number (the RSA family) can carry a
// version-3 message.
constexpr int32_t kQOXLastV3PublicKeyAlgorithm = 3;
// A key's and a subkey's algorithm property.
constexpr int32_t kKeyAlgorithmProperty = 200;
constexpr int32_t kSubKeyAlgorithmProperty = 600;
// The encryption prefix drawn for any cipher (the largest block).
constexpr size_t kPrefixBytes = kQOXMaxCipherBlockSize;
// The longest file name the literal packet's one-byte length can carry.
constexpr size_t kMaxLiteralName = 255;
// The line ends of text mode.
constexpr uint32_t kTextLineEnd = kQOXLineEndCRLF;

struct IterFree {
  void operator()(QOXKeyIter* iter) const { QOXFreeKeyIter(iter); }
};
using IterPtr = std::unique_ptr<QOXKeyIter, IterFree>;

uint32_t EnvInt(const QOXEnv* env, int32_t key) { return qoxenvGetInt(env, key, nullptr, nullptr); }

// Calls visit(key, encryption key) for every key of the set, in order;
// stops at the first error of the iteration or of visit.
template <class Visit>
QOXError ForEachRecipient(QOXKeySet* set, Visit&& visit) {
  QOXKeyIter* raw = nullptr;
  QOXError err = QOXNewKeyIterFromKeySet(set, &raw);
  if (err != kQOXErrNoErr) return err;
  IterPtr iter(raw);
  for (;;) {
    QOXKeyDBObj* key = nullptr;
    err = QOXKeyIterNextKeyDBObj(iter.get(), kQOXKeyIterKind_Key, &key);
    if (err == kQOXErrEndOfIteration || (err == kQOXErrNoErr && key == nullptr)) return kQOXErrNoErr;
    if (err != kQOXErrNoErr) return err;
    QOXKeyDBObj* subkey = qoxKeySubkey(key, set);
    err = visit(key, subkey);
    if (err != kQOXErrNoErr) return err;
  }
}

// True when some recipient's encryption key is of the RSA family.
QOXError SomeRecipientIsV3Capable(QOXKeySet* set, bool* found) {
  *found = false;
  return ForEachRecipient(set, [found](QOXKeyDBObj* key, QOXKeyDBObj* subkey) -> QOXError {
    int32_t algorithm = 0;
    QOXError err = subkey != nullptr ? qoxGetSubKeyNumber(subkey, kSubKeyAlgorithmProperty, &algorithm)
                                     : qoxGetKeyNumber(key, kKeyAlgorithmProperty, &algorithm);
    if (err == kQOXErrNoErr && algorithm >= 1 && algorithm <= kQOXLastV3PublicKeyAlgorithm) *found = true;
    return kQOXErrNoErr;
  });
}

// The build's state: the slot to build at next, and the error that ends it.
struct Build {
  QOXPipeline** slot;
  QOXError error = kQOXErrNoErr;

  // A creator's result: the next slot, or the failure with the given error.
  bool Step(QOXPipeline** next, QOXError err = kQOXErrOutOfMemory) {
    if (next == nullptr) {
      error = err;
      return false;
    }
    slot = next;
    return true;
  }
};

}  // namespace

uint8_t* createHashList(QOXContext* context, const QOXSigSpec* signers, size_t* count) {
  size_t n = 0;
  for (const QOXSigSpec* s = signers; s != nullptr; s = s->next) ++n;
  if (count != nullptr) *count = 0;
  if (n == 0) return nullptr;
  auto* list = static_cast<uint8_t*>(qoxContextMemAlloc(context, n, kQOXMemoryMgrFlags_Clear));
  if (list == nullptr) return nullptr;
  size_t used = 0;
  for (const QOXSigSpec* s = signers; s != nullptr; s = s->next) {
    if (std::memchr(list, s->hashtype, used) == nullptr) list[used++] = s->hashtype;
  }
  if (count != nullptr) *count = used;
  return list;
}

QOXPipeline** qoxEncryptPipelineCreate(QOXContext* context, QOXPipeline** slot, QOXEnv* env,
                                       const QOXFifoDesc* fifoDesc, QOXRandomContext* random,
                                       const QOXConvKey* passphrases, QOXKeySet* recipients,
                                       QOXSigSpec* signers, const QOXLiteralInfo* literal, bool detached,
                                       uint8_t* sessionKey, bool binary, QOXRecipientCallback callback,
                                       void* callbackArg, size_t* sessionKeyLength, QOXError* error) {
  QOXError scratch = kQOXErrNoErr;
  QOXError& result = error != nullptr ? *error : scratch;
  result = kQOXErrNoErr;
  if (sessionKeyLength != nullptr) *sessionKeyLength = 0;
  if (env == nullptr) env = qoxContextGetEnvironment(context);
  if (fifoDesc == nullptr) fifoDesc = &qoxFlexFifoDesc;
  if (random == nullptr) random = qoxContextGetX9_17RandomContext(context);

  // 1. Text mode.
  bool text = EnvInt(env, kQOXEnvDataIsText) != 0 && !binary;
  const uint32_t cipherAlgorithm = EnvInt(env, kQOXEnvCipherAlgorithm) & 0xFF;

  // 2. Message version.
  uint32_t version = EnvInt(env, kQOXEnvSigVersion);
  if (version < 4 && recipients != nullptr) {
    bool v3Capable = false;
    result = SomeRecipientIsV3Capable(recipients, &v3Capable);
    if (result != kQOXErrNoErr) return nullptr;
    if (!v3Capable) version = 4;
  }
  if (version <= 3 && passphrases != nullptr) {
    bool keep = cipherAlgorithm == kQOXCipherAlgorithm_IDEA && passphrases->next == nullptr &&
                recipients == nullptr &&
                (passphrases->stringToKey == nullptr || qoxS2KisOldVers(passphrases->stringToKey));
    if (!keep) version = 4;
  }

  // 3.
  if (slot == nullptr) {
    result = kQOXErrBadParams;
    return nullptr;
  }

  bool compress = EnvInt(env, kQOXEnvCompress) != 0;
  // 4. A detached signature: signed data alone, no packet around it.
  if (detached) {
    compress = false;
    literal = nullptr;
    if (signers == nullptr || passphrases != nullptr || recipients != nullptr) {
      result = kQOXErrBadParams;
      return nullptr;
    }
  }
  // 5. Clear-signing needs text, signers and armor.
  const bool armor = EnvInt(env, kQOXEnvArmorOutput) != 0;
  const bool clearsign = text && signers != nullptr && armor && EnvInt(env, kQOXEnvClearSign) != 0 && !detached;
  if (clearsign) {
    compress = false;
    literal = nullptr;
  }
  const bool encrypt = passphrases != nullptr || recipients != nullptr;

  Build b{slot};
  auto fail = [&]() -> QOXPipeline** {
    qoxPipelineTeardown(*slot);
    *slot = nullptr;
    result = b.error != kQOXErrNoErr ? b.error : kQOXErrOutOfMemory;
    return nullptr;
  };

  if (text && literal == nullptr && !clearsign && !detached) {
    result = kQOXErrBadParams;
    return nullptr;
  }
  const bool mime = EnvInt(env, kQOXEnvMIMEOutput) != 0;

  // 1. Clear-signed text goes both to the armor writer's text input (the
  // split's first tail, filled in at step 5) and down this chain.
  QOXPipeline** clearText = nullptr;
  if (clearsign && !mime) {
    QOXPipeline** splitSlot = b.slot;
    if (!b.Step(qoxSplitCreate(context, b.slot))) return fail();
    clearText = b.slot;
    if (!b.Step(qoxSplitAdd(*splitSlot))) return fail();
  }

  // 2. Text filter.
  if (text) {
    const auto* charMap = static_cast<const uint8_t*>(qoxenvGetPointer(env, kQOXEnvPointerFirst, nullptr));
    if (!b.Step(qoxTextFiltCreate(context, b.slot, charMap, clearsign, kTextLineEnd))) return fail();
  }

  // 3. Signature module; its join carries the signature packets.
  QOXPipeline* signature = nullptr;
  QOXPipeline** joinNext = nullptr;
  if (signers != nullptr) {
    QOXPipeline** sigSlot = b.slot;
    if (!b.Step(qoxSigCreate(context, b.slot, version, fifoDesc))) return fail();
    signature = *sigSlot;
    // Clear-signed and detached signatures carry no one-pass packets.
    joinNext = qoxSigSignature(signature, signers, clearsign || detached);
    if (joinNext == nullptr) {
      b.error = kQOXErrOutOfMemory;
      return fail();
    }
  }

  // 4. Literal packet.
  if (literal != nullptr) {
    const char* name = literal->fileName != nullptr ? literal->fileName : "";
    size_t nameLength = strnlen(name, kMaxLiteralName);
    if (!b.Step(qoxLiteralCreate(context, b.slot, version, fifoDesc, text ? 't' : 'b', name, nameLength,
                                 literal->modificationTime))) {
      return fail();
    }
  }

  // 5. The signed data joins the signature packets, or (clear-signed,
  // detached) is dropped once hashed while the packets go on alone.
  if (signature != nullptr) {
    if (!clearsign && !detached) {
      if (!b.Step(qoxSigTextInsert(signature, b.slot))) return fail();
    } else {
      if (qoxDevNullCreate(context, b.slot) == nullptr) {
        b.error = kQOXErrOutOfMemory;
        return fail();
      }
      b.slot = joinNext;
      if (clearsign) {
        size_t hashCount = 0;
        uint8_t* hashes = createHashList(context, signers, &hashCount);
        if (hashes == nullptr) {
          b.error = kQOXErrOutOfMemory;
          return fail();
        }
        QOXPipeline** out =
            mime ? qoxArmorWriteCreateQOXMimesig(slot, joinNext, env, fifoDesc, random, kQOXArmorFormDefault, hashes,
                                                 hashCount)
                 : qoxArmorWriteCreateClearsig(clearText, joinNext, env, fifoDesc, kQOXArmorFormDefault, hashes,
                                               hashCount);
        qoxContextMemFree(context, hashes);
        if (!b.Step(out)) return fail();
      }
    }
  }

  // 6. Compression.
  if (compress) {
    if (!b.Step(qoxCompressModCreate(context, b.slot, version, fifoDesc, EnvInt(env, kQOXEnvCompressAlgorithm),
                                     EnvInt(env, kQOXEnvCompressLevel)))) {
      return fail();
    }
  }

  // 7. Encryption.
  if (encrypt) {
    if (clearsign && !b.Step(qoxLiteralCreate(context, b.slot, version, fifoDesc, 't', "", 0, 0))) return fail();
    const QOXCipherVTBL* cipher = qoxCipherGetVTBL(cipherAlgorithm);
    QOXMemoryMgr* mgr = QOXPeekContextMemoryMgr(context);
    CFBPtr cfb(cipher != nullptr ? qoxCFBCreate(mgr, cipher) : nullptr);
    if (!cfb) {
      b.error = kQOXErrOutOfMemory;
      return fail();
    }
    S2KPtr defaultS2K;
    if (passphrases != nullptr) {
      defaultS2K.reset(version >= 4 ? qoxS2Kdefault(context, random) : qoxS2KdefaultV3(context));
      if (!defaultS2K) {
        b.error = kQOXErrOutOfMemory;
        return fail();
      }
    }
    const size_t keySize = cipher->keySize;
    SecurePtr key = NewSecure(mgr, 1 + keySize);
    if (!key) {
      b.error = kQOXErrOutOfMemory;
      return fail();
    }
    key.get()[0] = static_cast<uint8_t>(cipherAlgorithm);
    // One passphrase and nobody else: the passphrase gives the key, and no
    // session key travels.
    const bool derived = passphrases != nullptr && passphrases->next == nullptr && recipients == nullptr;
    if (derived) {
      QOXStringToKey* s2k = passphrases->stringToKey != nullptr ? passphrases->stringToKey : defaultS2K.get();
      b.error = qoxS2Kconvert(s2k, passphrases->passphrase, passphrases->passphraseLength, key.get() + 1, keySize);
      if (b.error != kQOXErrNoErr) return fail();
    } else {
      qoxRandomGetBytes(random, key.get() + 1, keySize);
    }
    if (sessionKey != nullptr) {
      std::memcpy(sessionKey, key.get(), 1 + keySize);
      if (sessionKeyLength != nullptr) *sessionKeyLength = 1 + keySize;
    }
    uint8_t prefix[kPrefixBytes];
    qoxRandomGetBytes(random, prefix, sizeof prefix);
    if (QOXInitCFB(cfb.get(), key.get() + 1, nullptr) != kQOXErrNoErr) {
      b.error = kQOXErrOutOfMemory;
      return fail();
    }
    // The cipher module owns the CFB context from here on.
    bool made = b.Step(qoxCipherModEncryptCreate(context, b.slot, version, fifoDesc, cfb.release(), prefix, env,
                                                 false));
    std::memset(prefix, 0, sizeof prefix);
    if (!made) return fail();
    if (passphrases != nullptr) {
      if (!b.Step(qoxConvModCreate(context, b.slot, version, fifoDesc, defaultS2K.get(), passphrases,
                                   cipherAlgorithm, derived ? nullptr : key.get()))) {
        return fail();
      }
      defaultS2K.reset();
    }
    if (recipients != nullptr) {
      QOXPipeline** pkeSlot = b.slot;
      if (!b.Step(qoxPkeCreate(context, b.slot, version, key.get(), 1 + keySize))) return fail();
      QOXPipeline* pke = *pkeSlot;
      uint32_t index = 0;
      b.error = ForEachRecipient(recipients, [&](QOXKeyDBObj* k, QOXKeyDBObj* subkey) -> QOXError {
        QOXError err = qoxPkeAddKey(pke, subkey != nullptr ? subkey : k);
        if (err != kQOXErrNoErr) return err;
        return callback != nullptr ? callback(callbackArg, index++) : kQOXErrNoErr;
      });
      if (b.error != kQOXErrNoErr) return fail();
    }
  }

  // 8. File header, 9. armor.
  if (!(clearsign && !encrypt)) {
    if (!b.Step(qoxHeaderCreate(context, b.slot))) return fail();
    if (armor && !b.Step(qoxArmorWriteCreate(context, b.slot, env, fifoDesc, true, kQOXArmorFormDefault,
                                             detached ? kQOXArmorKindSignature : kQOXArmorKindBlock))) {
      return fail();
    }
  }
  return b.slot;
}
