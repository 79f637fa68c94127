// The cipher registry and the symmetric-cipher context: lookup, lifecycle,
// argument checks, the key flag, copies, failed allocations, the default
// protection cipher, the refusals that guard ciphers without an encrypt or a
// wash, and the wash constructions against a reference built on outside
// ciphers.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "crypto/cipher.h"
#include "foundation/env.h"
#include "tests/crypto/cipher_test_support.h"

namespace {

using ciphertest::Bytes;
using ciphertest::Cat;
using ciphertest::FromHex;
using ciphertest::Xor;
using ciphertest::Hex;

class CipherContext : public ciphertest::CipherTest {};

TEST(CipherRegistry, LookupOrderSizesAndCount) {
  struct Row {
    QOXCipherAlgorithm alg;
    const char* name;
    uint32_t block, key;
    bool encrypt, wash;
  } const rows[] = {
      {1, "IDEA", 8, 16, true, true},        {10, "Twofish256", 16, 32, true, false},
      {2, "3DES", 8, 24, true, true},        {3, "CAST5", 8, 16, true, true},
      {7, "AES128", 16, 16, true, false},    {8, "AES192", 16, 24, true, false},
      {9, "AES256", 16, 32, true, false},    {100, "RC2_40", 8, 5, false, false},
      {101, "RC2_128", 8, 16, true, false},
  };
  for (const Row& r : rows) {
    const QOXCipherVTBL* v = qoxCipherGetVTBL(r.alg);
    ASSERT_NE(v, nullptr) << r.alg;
    EXPECT_STREQ(v->name, r.name);
    EXPECT_EQ(v->algorithm, r.alg);
    EXPECT_EQ(v->blockSize, r.block);
    EXPECT_EQ(v->keySize, r.key);
    EXPECT_EQ(v->encrypt != nullptr, r.encrypt) << r.name;
    EXPECT_EQ(v->wash != nullptr, r.wash) << r.name;
  }
  for (QOXCipherAlgorithm missing : {0u, 4u, 5u, 6u, 11u, 99u, 102u}) {
    EXPECT_EQ(qoxCipherGetVTBL(missing), nullptr) << missing;
  }
  EXPECT_EQ(qoxCountSymmetricCiphers(), 9u);
  // AES shares its block operations; the RC2 pair shares decryption.
  EXPECT_EQ(cipherAES128.encrypt, cipherAES256.encrypt);
  EXPECT_EQ(cipherAES192.decrypt, cipherAES128.decrypt);
  EXPECT_EQ(cipherRC2_40.decrypt, cipherRC2_128.decrypt);
}

TEST_F(CipherContext, NewRefusesUnknownAlgorithmsAndMissingArguments) {
  QOXSymmetricCipherContext* c = reinterpret_cast<QOXSymmetricCipherContext*>(1);
  EXPECT_EQ(QOXNewSymmetricCipherContext(context_, 4, &c), kQOXErrBadParams);
  EXPECT_EQ(c, nullptr);
  EXPECT_EQ(QOXNewSymmetricCipherContext(context_, 0, &c), kQOXErrBadParams);
  EXPECT_EQ(QOXNewSymmetricCipherContext(context_, 2, nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXNewSymmetricCipherContext(nullptr, 2, &c), kQOXErrBadParams);
  EXPECT_EQ(c, nullptr);
  EXPECT_EQ(qoxNewSymmetricCipherContextInternal(mgr_, 4, &c), kQOXErrBadParams);
  EXPECT_EQ(qoxNewSymmetricCipherContextInternal(mgr_, 2, nullptr), kQOXErrBadParams);
}

TEST_F(CipherContext, KeyFlagGuardsEncryptionAndWipeClearsIt) {
  int before = counter_.live();
  Bytes key = ciphertest::Counting(24, 3);
  Bytes in = ciphertest::Counting(8), out(8, 0xEE);
  QOXSymmetricCipherContext* c = NewCipher(kQOXCipherAlgorithm_3DES);
  EXPECT_EQ(QOXSymmetricCipherEncrypt(c, in.data(), out.data()), kQOXErrImproperInitialization);
  EXPECT_EQ(QOXSymmetricCipherDecrypt(c, in.data(), out.data()), kQOXErrImproperInitialization);
  EXPECT_EQ(out, Bytes(8, 0xEE)) << "a refused call writes nothing";
  ASSERT_EQ(QOXInitSymmetricCipher(c, key.data()), 0);
  EXPECT_EQ(QOXSymmetricCipherEncrypt(c, in.data(), out.data()), 0);
  EXPECT_EQ(Hex(out), "26e0dd34af71faba");
  EXPECT_EQ(QOXWipeSymmetricCipher(c), 0);
  EXPECT_EQ(QOXSymmetricCipherEncrypt(c, in.data(), out.data()), kQOXErrImproperInitialization);
  const uint8_t* ks = static_cast<const uint8_t*>(c->keyState);
  for (uint32_t i = 0; i < c->vtbl->keyStateSize; ++i) ASSERT_EQ(ks[i], 0) << i;
  // Argument checks.
  EXPECT_EQ(QOXInitSymmetricCipher(c, nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXSymmetricCipherEncrypt(c, nullptr, out.data()), kQOXErrBadParams);
  EXPECT_EQ(QOXSymmetricCipherDecrypt(c, in.data(), nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXSymmetricCipherEncrypt(nullptr, in.data(), out.data()), kQOXErrBadParams);
  EXPECT_EQ(QOXWashSymmetricCipher(c, nullptr, 0), kQOXErrBadParams);
  EXPECT_EQ(QOXFreeSymmetricCipherContext(c), 0);
  EXPECT_EQ(counter_.live(), before) << "handle and key state released";
}

TEST_F(CipherContext, InternalCallsKeepTheKeyFlagCheck) {
  QOXSymmetricCipherContext* c = NewCipher(kQOXCipherAlgorithm_AES128);
  uint8_t block[16] = {0};
  EXPECT_EQ(qoxSymmetricCipherEncryptInternal(c, block, block), kQOXErrImproperInitialization);
  EXPECT_EQ(qoxSymmetricCipherDecryptInternal(c, block, block), kQOXErrImproperInitialization);
  QOXFreeSymmetricCipherContext(c);
}

TEST_F(CipherContext, CopyIsIndependentOfItsSource) {
  Bytes key = FromHex("000102030405060708090a0b0c0d0e0f");
  Bytes plain = FromHex("00112233445566778899aabbccddeeff");
  QOXSymmetricCipherContext* c = NewCipher(kQOXCipherAlgorithm_AES128, key);
  QOXSymmetricCipherContext* copy = nullptr;
  ASSERT_EQ(QOXCopySymmetricCipherContext(c, &copy), 0);
  EXPECT_EQ(copy->memoryMgr, c->memoryMgr);
  ASSERT_EQ(QOXWipeSymmetricCipher(c), 0);
  EXPECT_EQ(Hex(Ecb(copy, plain, true)), "69c4e0d86a7b0430d8cdb78070b4c55a");
  EXPECT_EQ(QOXCopySymmetricCipherContext(c, nullptr), kQOXErrBadParams);
  QOXSymmetricCipherContext* none = copy;
  EXPECT_EQ(QOXCopySymmetricCipherContext(nullptr, &none), kQOXErrBadParams);
  EXPECT_EQ(none, nullptr);
  QOXFreeSymmetricCipherContext(copy);
  QOXFreeSymmetricCipherContext(c);
}

TEST_F(CipherContext, FreeWipesAndInvalidates) {
  QOXSymmetricCipherContext* c = NewCipher(kQOXCipherAlgorithm_CAST5, Bytes(16, 0x5A));
  const void* ks = c->keyState;
  ASSERT_EQ(QOXFreeSymmetricCipherContext(c), 0);
  EXPECT_TRUE(counter_.FreedWiped(ks)) << "key state wiped before release";
  EXPECT_TRUE(counter_.FreedWiped(c)) << "handle zeroed before release";
}

TEST_F(CipherContext, FailedAllocationsLeaveNothingBehind) {
  int before = counter_.live();
  for (int budget = 0; budget < 2; ++budget) {
    counter_.FailAfter(budget);
    QOXSymmetricCipherContext* c = reinterpret_cast<QOXSymmetricCipherContext*>(1);
    EXPECT_EQ(QOXNewSymmetricCipherContext(context_, 3, &c), kQOXErrOutOfMemory) << budget;
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(counter_.live(), before);
  }
  counter_.FailAfter(-1);
  QOXSymmetricCipherContext* c = NewCipher(3);
  counter_.FailAfter(1);
  QOXSymmetricCipherContext* copy = nullptr;
  EXPECT_EQ(QOXCopySymmetricCipherContext(c, &copy), kQOXErrOutOfMemory);
  EXPECT_EQ(copy, nullptr);
  counter_.FailAfter(-1);
  QOXFreeSymmetricCipherContext(c);
  EXPECT_EQ(counter_.live(), before);
}

TEST_F(CipherContext, SizesFillOnlyTheOutsGiven) {
  QOXSymmetricCipherContext* c = NewCipher(kQOXCipherAlgorithm_AES192);
  size_t key = 99, block = 99;
  EXPECT_EQ(QOXGetSymmetricCipherSizes(c, nullptr, &block), 0);
  EXPECT_EQ(block, 16u);
  EXPECT_EQ(QOXGetSymmetricCipherSizes(c, &key, &block), 0);
  EXPECT_EQ(key, 24u);
  EXPECT_EQ(QOXGetSymmetricCipherSizes(c, nullptr, nullptr), kQOXErrBadParams);
  key = block = 99;
  EXPECT_EQ(QOXGetSymmetricCipherSizes(nullptr, &key, &block), kQOXErrBadParams);
  EXPECT_EQ(key, 0u);
  EXPECT_EQ(block, 0u);
  QOXFreeSymmetricCipherContext(c);
}

// A cipher number from a message can name RC2_40 (no encrypt) or a cipher
// without a wash: those calls are refused instead of calling through a null
// operation, and RC2_40 keeps decrypting.
TEST_F(CipherContext, MissingOperationsAreRefused) {
  QOXSymmetricCipherContext* rc2 = NewCipher(kQOXCipherAlgorithm_RC2_40, Bytes(5, 1));
  uint8_t block[8] = {0};
  EXPECT_EQ(QOXSymmetricCipherEncrypt(rc2, block, block), kQOXErrBadParams);
  EXPECT_EQ(qoxSymmetricCipherEncryptInternal(rc2, block, block), kQOXErrBadParams);
  EXPECT_EQ(QOXSymmetricCipherDecrypt(rc2, block, block), 0);
  for (QOXCipherAlgorithm alg : {7u, 8u, 9u, 10u, 100u, 101u}) {
    QOXSymmetricCipherContext* c = NewCipher(alg);
    EXPECT_EQ(QOXWashSymmetricCipher(c, block, sizeof block), kQOXErrBadParams) << alg;
    EXPECT_EQ(c->keyLoaded, 0) << "a refused wash changes nothing";
    QOXFreeSymmetricCipherContext(c);
  }
  QOXFreeSymmetricCipherContext(rc2);
}

TEST_F(CipherContext, DefaultProtectionCipherFollowsSetting1003) {
  QOXEnv* env = qoxContextGetEnvironment(context_);
  // Built-in value (priority 0) never counts.
  EXPECT_EQ(qoxCipherDefaultKey(env), &cipherCAST5);
  EXPECT_EQ(qoxCipherDefaultKeyV3(env), &cipherIDEA);
  ASSERT_EQ(qoxenvSetInt(env, kQOXEnvCipherAlgorithm, 10, kQOXEnvPriorityOptions), 0);
  EXPECT_EQ(qoxCipherDefaultKey(env), &cipherTwofish256);
  EXPECT_EQ(qoxCipherDefaultKeyV3(env), &cipherTwofish256);
  ASSERT_EQ(qoxenvSetInt(env, kQOXEnvCipherAlgorithm, 4, kQOXEnvPriorityOptions), 0);
  EXPECT_EQ(qoxCipherDefaultKey(env), &cipherCAST5);
  EXPECT_EQ(qoxCipherDefaultKeyV3(env), &cipherIDEA);
}

// ---------------------------------------------------------------------------
// The washes, against a reference written from their description over
// outside ciphers: single DES from OpenSSL (three equal Triple-DES keys),
// CAST5 from OpenSSL, IDEA from libgcrypt.

Bytes Pad(const Bytes& m) {
  Bytes p = m;
  size_t r = m.size() % 8;
  p.push_back(0x80);
  if (r >= 6) p.resize(p.size() + (8 - (r + 1)) + 6, 0);  // a block of its own for the length
  while (p.size() % 8 != 6) p.push_back(0);
  p.push_back(static_cast<uint8_t>(m.size() >> 8));
  p.push_back(static_cast<uint8_t>(m.size()));
  return p;
}

Bytes Sub(const Bytes& b, size_t off, size_t n) { return Bytes(b.begin() + off, b.begin() + off + n); }

using Enc16 = std::function<Bytes(const Bytes& key16, const Bytes& block)>;

Bytes TandemWash(Bytes gh, const Bytes& data, const Enc16& enc) {
  Bytes padded = Pad(data);
  for (size_t off = 0; off < padded.size(); off += 8) {
    Bytes m = Sub(padded, off, 8), g = Sub(gh, 0, 8), h = Sub(gh, 8, 8);
    Bytes t = enc(Cat(h, m), g);
    Bytes u = enc(Cat(m, t), h);
    gh = Cat(Xor(g, t), Xor(h, u));
  }
  return gh;
}

Bytes DesE(const Bytes& k, const Bytes& x) {
  return ciphertest::OpenSSL("DES-EDE3-ECB", Cat(Cat(k, k), k), {}, x, true);
}
Bytes DesD(const Bytes& k, const Bytes& x) {
  return ciphertest::OpenSSL("DES-EDE3-ECB", Cat(Cat(k, k), k), {}, x, false);
}

Bytes TripleWash(const Bytes& key, const Bytes& data) {
  Bytes x = Sub(key, 0, 8), y = Sub(key, 8, 8), z = Sub(key, 16, 8);
  Bytes padded = Pad(data);
  for (size_t off = 0; off < padded.size(); off += 8) {
    Bytes m = Sub(padded, off, 8);
    Bytes t1 = DesE(m, DesD(y, DesE(z, x)));
    Bytes t2 = DesE(t1, DesD(m, DesE(z, y)));
    Bytes t3 = DesE(t1, DesD(t2, DesE(m, z)));
    x = Xor(x, t1);
    y = Xor(y, t2);
    z = Xor(z, t3);
  }
  return Cat(Cat(x, y), z);
}

TEST(WashPadding, LengthsNearTheBlockEdge) {
  EXPECT_EQ(Pad({}).size(), 8u);
  EXPECT_EQ(Pad(Bytes(5)).size(), 8u);
  EXPECT_EQ(Pad(Bytes(6)).size(), 16u);
  EXPECT_EQ(Pad(Bytes(7)).size(), 16u);
  EXPECT_EQ(Pad(Bytes(8)).size(), 16u);
  EXPECT_EQ(Hex(Pad(Bytes(6, 0xAA))), "aaaaaaaaaaaa80000000000000000006");
}

TEST_F(CipherContext, WashesMatchTheirReferenceAndLeaveTheCipherKeyed) {
  std::mt19937 rng(2440);
  Bytes probe = ciphertest::Counting(8, 7, 1);
  for (size_t len : {0u, 5u, 6u, 7u, 8u, 13u, 100u}) {
    SCOPED_TRACE(len);
    Bytes data = ciphertest::RandomBytes(rng, len);
    data.reserve(1);  // a real buffer also for the empty wash
    Bytes key24 = ciphertest::RandomBytes(rng, 24), key16 = ciphertest::RandomBytes(rng, 16);

    QOXSymmetricCipherContext* des = NewCipher(kQOXCipherAlgorithm_3DES, key24);
    ASSERT_EQ(QOXWashSymmetricCipher(des, data.data(), data.size()), 0);
    Bytes want3 = TripleWash(key24, data);
    EXPECT_EQ(Hex(Sub(Bytes(static_cast<uint8_t*>(des->keyState) + 384,
                            static_cast<uint8_t*>(des->keyState) + 408), 0, 24)), Hex(want3));
    EXPECT_EQ(Ecb(des, probe, true), ciphertest::OpenSSL("DES-EDE3-ECB", want3, {}, probe));

    QOXSymmetricCipherContext* cast = NewCipher(kQOXCipherAlgorithm_CAST5, key16);
    // Chaining value: bits 8-15 then 0-7 of Km1, Kr1, ..., Km4, Kr4.
    Bytes gh;
    const uint32_t* w = static_cast<const uint32_t*>(cast->keyState);
    for (int i = 0; i < 8; ++i) {
      gh.push_back(static_cast<uint8_t>(w[i] >> 8));
      gh.push_back(static_cast<uint8_t>(w[i]));
    }
    ASSERT_EQ(QOXWashSymmetricCipher(cast, data.data(), data.size()), 0);
    Bytes wantCast = TandemWash(gh, data, [](const Bytes& k, const Bytes& b) {
      return ciphertest::OpenSSL("CAST5-ECB", k, {}, b);
    });
    EXPECT_EQ(Ecb(cast, probe, true), ciphertest::OpenSSL("CAST5-ECB", wantCast, {}, probe));

    QOXSymmetricCipherContext* idea = NewCipher(kQOXCipherAlgorithm_IDEA, key16);
    ASSERT_EQ(QOXWashSymmetricCipher(idea, data.data(), data.size()), 0);
    Bytes wantIdea = TandemWash(key16, data, [](const Bytes& k, const Bytes& b) {
      return ciphertest::Gcrypt(GCRY_CIPHER_IDEA, k, b);
    });
    EXPECT_EQ(Ecb(idea, probe, true), ciphertest::Gcrypt(GCRY_CIPHER_IDEA, wantIdea, probe));

    QOXFreeSymmetricCipherContext(des);
    QOXFreeSymmetricCipherContext(cast);
    QOXFreeSymmetricCipherContext(idea);
  }
}

// Frozen outputs of the washes (no outside peer has them): a change here
// breaks every stored key protected through a washed generator.
TEST_F(CipherContext, WashRegressionVectors) {
  struct {
    QOXCipherAlgorithm alg;
    size_t keyLen;
    const char* want;  // first block of the counting plaintext after the wash
  } const cases[] = {
      {kQOXCipherAlgorithm_IDEA, 16, "f71b78010a136316"},
      {kQOXCipherAlgorithm_3DES, 24, "e7c10db12d5d9635"},
      {kQOXCipherAlgorithm_CAST5, 16, "65c2c602061fffaa"},
  };
  Bytes data = ciphertest::Counting(21, 11, 5);
  for (const auto& c : cases) {
    QOXSymmetricCipherContext* ctx = NewCipher(c.alg, ciphertest::Counting(c.keyLen, 1));
    ASSERT_EQ(QOXWashSymmetricCipher(ctx, data.data(), data.size()), 0);
    ASSERT_EQ(QOXWashSymmetricCipher(ctx, data.data(), 0), 0);  // the empty wash still mixes
    EXPECT_EQ(Hex(Ecb(ctx, ciphertest::Counting(8), true)), c.want) << c.alg;
    QOXFreeSymmetricCipherContext(ctx);
  }
}

TEST_F(CipherContext, EmptyWashChangesTheKeyAndSetsTheFlag) {
  QOXSymmetricCipherContext* c = NewCipher(kQOXCipherAlgorithm_CAST5);
  uint8_t byte = 0, before[8], after[8];
  ASSERT_EQ(QOXWashSymmetricCipher(c, &byte, 0), 0);
  EXPECT_EQ(c->keyLoaded, 1);
  ASSERT_EQ(QOXSymmetricCipherEncrypt(c, ciphertest::Counting(8).data(), before), 0);
  ASSERT_EQ(QOXWashSymmetricCipher(c, &byte, 0), 0);
  ASSERT_EQ(QOXSymmetricCipherEncrypt(c, ciphertest::Counting(8).data(), after), 0);
  EXPECT_NE(std::memcmp(before, after, 8), 0);
  QOXFreeSymmetricCipherContext(c);
}

}  // namespace
