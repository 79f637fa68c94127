#include "foundation/self_tests.h"

#include <cstdint>
#include <initializer_list>

#include "crypto/hash.h"
#include "foundation/context.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "foundation/seams.h"

namespace {

QOXError RunTest(int test) {
  switch (test) {
    case kQOXSelfTest3DES:
      return qoxTest3DES();
    case kQOXSelfTestDSA:
      return qoxTestDSA();
    default:
      return kQOXErrBadParams;
  }
}

// --- DSA self-test ---

constexpr uint32_t kDSAAlgorithm = 17;
constexpr uint32_t kSHA1Algorithm = 2;
constexpr int kMPIFormat = 1;
constexpr size_t kMaxDSASignature = 64;
constexpr char kDSAPassphrase[] = "Frosted lantern glow";

// The built-in key pair: an RFC 2440 version-4 DSA secret-key packet body
// protected by kDSAPassphrase, and the matching public-key packet body. The
// pair arrives with the DSA key services; while it is empty the test fails.
struct KeyBytes {
  const uint8_t* bytes;
  size_t length;
};
constexpr KeyBytes kBuiltInDSASecretKey{nullptr, 0};
constexpr KeyBytes kBuiltInDSAPublicKey{nullptr, 0};

// 0x00..0x0F, 0xF0..0xFF, then 55 AA four times and AA 55 four times.
struct TestMessage {
  uint8_t bytes[48];
  constexpr TestMessage() : bytes{} {
    for (int i = 0; i < 16; ++i) {
      bytes[i] = static_cast<uint8_t>(i);
      bytes[16 + i] = static_cast<uint8_t>(0xF0 + i);
    }
    for (int i = 0; i < 4; ++i) {
      bytes[32 + 2 * i] = 0x55;
      bytes[33 + 2 * i] = 0xAA;
      bytes[40 + 2 * i] = 0xAA;
      bytes[41 + 2 * i] = 0x55;
    }
  }
};
constexpr TestMessage kDSATestMessage;

// Everything the test makes, released in the order the test lays down.
struct DSATestParts {
  QOXContext* context = nullptr;
  QOXRandomContext* rng = nullptr;
  QOXSecKey* secKey = nullptr;
  QOXPubKey* pubKey = nullptr;
  QOXHashContext* hash = nullptr;

  ~DSATestParts() {
    if (hash != nullptr) QOXFreeHashContext(hash);
    if (rng != nullptr) {
      if (rng->destroy != nullptr) {
        rng->destroy(rng);
      } else {
        qoxContextMemFree(context, rng);
      }
    }
    if (secKey != nullptr) secKey->destroy(secKey);
    if (pubKey != nullptr) pubKey->destroy(pubKey);
    if (context != nullptr) QOXFreeContext(context);
  }
};

// 0 when every step succeeds, else the first failing step's error.
QOXError RunDSATest(DSATestParts& parts) {
  // A context of its own, on a manager of its own: freeing the context frees
  // that manager and never the process's default one.
  QOXNewContextStruct record{kQOXAPIVersion, nullptr, 0};
  QOXError err = QOXNewMemoryMgr(0, &record.memoryMgr);
  if (err != kQOXErrNoErr) return err;
  err = QOXNewContextCustom(&record, &parts.context);
  if (err != kQOXErrNoErr) {
    QOXFreeMemoryMgr(record.memoryMgr);
    return err;
  }

  parts.rng = qoxPseudoRandomCreate(parts.context);
  if (parts.rng == nullptr) return kQOXErrOutOfEntropy;

  if (kBuiltInDSASecretKey.length == 0 || kBuiltInDSAPublicKey.length == 0) return kQOXErrSelfTestFailed;
  parts.secKey = qoxSecKeyFromBuf(parts.context, kDSAAlgorithm, kBuiltInDSASecretKey.bytes,
                                  kBuiltInDSASecretKey.length, 0, &err);
  if (parts.secKey == nullptr) return err != kQOXErrNoErr ? err : kQOXErrSelfTestFailed;
  parts.pubKey = qoxPubKeyFromBuf(parts.context, kDSAAlgorithm, kBuiltInDSAPublicKey.bytes,
                                  kBuiltInDSAPublicKey.length, &err);
  if (parts.pubKey == nullptr) return err != kQOXErrNoErr ? err : kQOXErrSelfTestFailed;

  // The passphrase itself (20 bytes), not a passkey.
  if (parts.secKey->unlock(parts.secKey, kDSAPassphrase, sizeof(kDSAPassphrase) - 1, 0) != 1) {
    return kQOXErrSelfTestFailed;
  }

  err = QOXNewHashContext(parts.context, kSHA1Algorithm, &parts.hash);
  if (err != kQOXErrNoErr) return err;
  err = QOXContinueHash(parts.hash, kDSATestMessage.bytes, sizeof(kDSATestMessage.bytes));
  if (err != kQOXErrNoErr) return err;
  uint8_t digest[20];
  err = QOXFinalizeHash(parts.hash, digest);
  if (err != kQOXErrNoErr) return err;
  const QOXHashVTBL* hashVTBL = qoxHashGetVTBL(parts.hash);

  if (parts.secKey->maxsig(parts.secKey, kMPIFormat) > kMaxDSASignature) return kQOXErrSelfTestFailed;
  uint8_t signature[kMaxDSASignature];
  size_t signatureLength = 0;
  err = parts.secKey->sign(parts.secKey, hashVTBL, digest, signature, &signatureLength, parts.rng,
                           kMPIFormat);
  if (err != kQOXErrNoErr) return err;
  if (parts.pubKey->verify(parts.pubKey, signature, signatureLength, hashVTBL, digest, kMPIFormat) != 1) {
    return kQOXErrSelfTestFailed;
  }
  return kQOXErrNoErr;
}

}  // namespace

QOXError qoxTestDSA() {
  QOXError err;
  {
    DSATestParts parts;
    err = RunDSATest(parts);
  }
  return err == kQOXErrNoErr ? kQOXErrNoErr : kQOXErrSelfTestFailed;
}

QOXError QOXRunAllSDKSelfTests() {
  if (!qoxFIPSModeEnabled()) return kQOXErrBadParams;
  // Marked first, so the gate lets the tests' own calls through.
  qoxSetHaveRunAllSelfTests();
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  for (int test : {kQOXSelfTest3DES, kQOXSelfTestDSA}) {
    err = qoxEnterFunction();
    if (err != kQOXErrNoErr) return err;
    err = RunTest(test);
    if (err != kQOXErrNoErr) {
      qoxSetSDKErrorState(err);
      return err;
    }
  }
  return kQOXErrNoErr;
}

QOXError QOXRunSDKSelfTest(int test) {
  if (!qoxFIPSModeEnabled()) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  err = RunTest(test);
  if (err != kQOXErrNoErr) qoxSetSDKErrorState(err);
  return err;
}

QOXError QOXResetSDKErrorState() {
  if (!qoxFIPSModeEnabled()) return kQOXErrNoErr;
  QOXError stored = QOXGetSDKErrorState();
  qoxClearSDKErrorState();
  if (stored != kQOXErrNoErr) QOXRunAllSDKSelfTests();
  return QOXGetSDKErrorState();
}
