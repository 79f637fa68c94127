// The Triple-DES known-answer self-test.
#include "crypto/des3_self_test.h"

#include <cstdint>
#include <cstring>

#include "crypto/cbc.h"
#include "crypto/cfb.h"
#include "crypto/cipher.h"
#include "foundation/context.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"

namespace {

constexpr size_t kDataSize = 64;
constexpr size_t kStep = 8;

// Standard Triple-DES EDE results for the data below: ECB, CBC, and CFB with
// full-block (64-bit) feedback.
constexpr uint8_t kExpectECB[kDataSize] = {
    0x26, 0xe0, 0xdd, 0x34, 0xaf, 0x71, 0xfa, 0xba, 0xb8, 0x04, 0xf0, 0xca, 0x1c, 0x25, 0x30, 0xa6,
    0x8d, 0x67, 0x44, 0xa5, 0xc5, 0x3a, 0xdb, 0x53, 0xa1, 0x31, 0x8a, 0x4d, 0x39, 0x43, 0x3c, 0xb9,
    0x42, 0x2c, 0x33, 0x82, 0xc5, 0xf6, 0xf1, 0xa3, 0x90, 0xb1, 0x05, 0xc0, 0x4f, 0x2e, 0x10, 0x0e,
    0x70, 0xc0, 0x39, 0x9a, 0x74, 0xf2, 0x54, 0x1c, 0x0f, 0x69, 0xe5, 0xc1, 0x1a, 0x56, 0x0a, 0x4f};
constexpr uint8_t kExpectCBC[kDataSize] = {
    0x36, 0x97, 0xc1, 0x48, 0xbe, 0x18, 0x24, 0x7c, 0xa6, 0xab, 0x7c, 0x43, 0x62, 0xbe, 0x7f, 0x6b,
    0xb4, 0xa3, 0xa0, 0x53, 0x89, 0x38, 0xe2, 0xc5, 0x18, 0xa2, 0xcd, 0xef, 0x9c, 0x91, 0x9b, 0xd1,
    0x16, 0x72, 0x9f, 0xcf, 0x0a, 0x0f, 0x4d, 0x10, 0x1e, 0xcd, 0x1c, 0x8a, 0x0e, 0x47, 0x49, 0x45,
    0x88, 0x2c, 0x0c, 0xe9, 0x3b, 0x0b, 0x9b, 0xc9, 0xd0, 0xbe, 0x0f, 0xd5, 0x9d, 0xdc, 0x2d, 0xf5};
constexpr uint8_t kExpectCFB[kDataSize] = {
    0xe0, 0x83, 0x1d, 0xa5, 0x70, 0xd0, 0x5d, 0xab, 0x28, 0x3e, 0x39, 0x8c, 0x1a, 0x74, 0x9a, 0xd1,
    0xb6, 0x25, 0xb7, 0x85, 0xf3, 0x82, 0xe3, 0x8d, 0xb0, 0xc2, 0x65, 0xd6, 0x9c, 0x30, 0x9c, 0xf1,
    0x1c, 0x66, 0x0b, 0xd8, 0x9d, 0xdf, 0x64, 0xbb, 0x3e, 0x74, 0x48, 0xa4, 0x7b, 0xca, 0x46, 0xec,
    0xfe, 0xf4, 0xa4, 0x26, 0xb8, 0x5f, 0x51, 0xcd, 0x0d, 0xac, 0xcd, 0xac, 0xb7, 0xb7, 0xf7, 0x36};

struct TestData {
  uint8_t key[24];
  uint8_t iv[8];
  uint8_t plain[kDataSize];
  TestData() {
    for (int i = 0; i < 24; ++i) key[i] = static_cast<uint8_t>(3 * i);
    for (int i = 0; i < 8; ++i) iv[i] = static_cast<uint8_t>(1 + 5 * i);
    for (size_t i = 0; i < kDataSize; ++i) plain[i] = static_cast<uint8_t>(i);
  }
};

// The first call error, or kQOXErrSelfTestFailed when the bytes differ.
QOXError Compare(const uint8_t* got, const uint8_t* want) {
  return std::memcmp(got, want, kDataSize) == 0 ? kQOXErrNoErr : kQOXErrSelfTestFailed;
}

QOXError TestDES3ECB(QOXSymmetricCipherContext* cipher, const TestData& d) {
  uint8_t buf[kDataSize];
  QOXError err = QOXInitSymmetricCipher(cipher, d.key);
  for (size_t i = 0; err == kQOXErrNoErr && i < kDataSize; i += kStep) {
    err = QOXSymmetricCipherEncrypt(cipher, d.plain + i, buf + i);
  }
  if (err == kQOXErrNoErr) err = Compare(buf, kExpectECB);
  if (err == kQOXErrNoErr) err = QOXInitSymmetricCipher(cipher, d.key);
  for (size_t i = 0; err == kQOXErrNoErr && i < kDataSize; i += kStep) {
    err = QOXSymmetricCipherDecrypt(cipher, buf + i, buf + i);
  }
  if (err == kQOXErrNoErr) err = Compare(buf, d.plain);
  return err;
}

QOXError TestDES3CBC(QOXSymmetricCipherContext* cipher, const TestData& d) {
  QOXSymmetricCipherContext* copy = nullptr;
  QOXError err = QOXCopySymmetricCipherContext(cipher, &copy);
  if (err != kQOXErrNoErr) return err;
  QOXCBCContext* cbc = nullptr;
  err = QOXNewCBCContext(copy, &cbc);  // owns the copy from here on
  if (err != kQOXErrNoErr) return err;
  uint8_t buf[kDataSize];
  err = QOXInitCBC(cbc, d.key, d.iv);
  for (size_t i = 0; err == kQOXErrNoErr && i < kDataSize; i += kStep) {
    err = QOXCBCEncrypt(cbc, d.plain + i, kStep, buf + i);
  }
  if (err == kQOXErrNoErr) err = Compare(buf, kExpectCBC);
  if (err == kQOXErrNoErr) err = QOXInitCBC(cbc, d.key, d.iv);
  for (size_t i = 0; err == kQOXErrNoErr && i < kDataSize; i += kStep) {
    err = QOXCBCDecrypt(cbc, buf + i, kStep, buf + i);
  }
  if (err == kQOXErrNoErr) err = Compare(buf, d.plain);
  QOXFreeCBCContext(cbc);
  return err;
}

QOXError TestDES3CFB(QOXSymmetricCipherContext* cipher, const TestData& d) {
  QOXSymmetricCipherContext* copy = nullptr;
  QOXError err = QOXCopySymmetricCipherContext(cipher, &copy);
  if (err != kQOXErrNoErr) return err;
  QOXCFBContext* cfb = nullptr;
  err = QOXNewCFBContext(copy, 1, &cfb);
  if (err != kQOXErrNoErr) {
    if (err == kQOXErrBadParams) QOXFreeSymmetricCipherContext(copy);  // refused, not consumed
    return err;
  }
  uint8_t buf[kDataSize];
  err = QOXInitCFB(cfb, d.key, d.iv);
  for (size_t i = 0; err == kQOXErrNoErr && i < kDataSize; i += kStep) {
    err = QOXCFBEncrypt(cfb, d.plain + i, kStep, buf + i);
  }
  if (err == kQOXErrNoErr) err = Compare(buf, kExpectCFB);
  if (err == kQOXErrNoErr) err = QOXInitCFB(cfb, d.key, d.iv);
  for (size_t i = 0; err == kQOXErrNoErr && i < kDataSize; i += kStep) {
    err = QOXCFBDecrypt(cfb, buf + i, kStep, buf + i);
  }
  if (err == kQOXErrNoErr) err = Compare(buf, d.plain);
  QOXFreeCFBContext(cfb);
  return err;
}

}  // namespace

QOXError qoxTest3DES() {
  QOXMemoryMgr* mgr = nullptr;
  if (QOXNewMemoryMgr(0, &mgr) != kQOXErrNoErr) return kQOXErrSelfTestFailed;
  QOXNewContextStruct record = {kQOXAPIVersion, mgr, 0};
  QOXContext* context = nullptr;
  if (QOXNewContextCustom(&record, &context) != kQOXErrNoErr) {
    QOXFreeMemoryMgr(mgr);  // still ours after a failed creation
    return kQOXErrSelfTestFailed;
  }
  QOXSymmetricCipherContext* cipher = nullptr;
  QOXError err = QOXNewSymmetricCipherContext(context, kQOXCipherAlgorithm_3DES, &cipher);
  if (err == kQOXErrNoErr) {
    TestData data;
    err = TestDES3ECB(cipher, data);
    if (err == kQOXErrNoErr) err = TestDES3CBC(cipher, data);
    if (err == kQOXErrNoErr) err = TestDES3CFB(cipher, data);
    QOXFreeSymmetricCipherContext(cipher);
  }
  QOXFreeContext(context);  // frees the manager too
  return err == kQOXErrNoErr ? kQOXErrNoErr : kQOXErrSelfTestFailed;
}
