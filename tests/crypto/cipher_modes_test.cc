// CBC and CFB modes and the Triple-DES self-test: the stored vectors, OpenSSL
// as the oracle for whole messages fed in random pieces, the RFC 2440
// resynchronisation, the interleaved form, the random-generator operations,
// and the refusals that keep a keyless or encrypt-less cipher from producing
// output.
#include <gtest/gtest.h>

#include <cstring>

#include "crypto/cbc.h"
#include "crypto/cfb.h"
#include "crypto/des3_self_test.h"
#include "tests/crypto/cipher_test_support.h"

namespace {

using ciphertest::Bytes;
using ciphertest::Cat;
using ciphertest::FromHex;
using ciphertest::Xor;
using ciphertest::Hex;

const Bytes kKey = ciphertest::Counting(24, 3);
const Bytes kIV = ciphertest::Counting(8, 5, 1);
const Bytes kPlain = ciphertest::Counting(64);
constexpr const char* kCBCVector =
    "3697c148be18247ca6ab7c4362be7f6bb4a3a0538938e2c518a2cdef9c919bd1"
    "16729fcf0a0f4d101ecd1c8a0e474945882c0ce93b0b9bc9d0be0fd59ddc2df5";
constexpr const char* kCFBVector =
    "e0831da570d05dab283e398c1a749ad1b625b785f382e38db0c265d69c309cf1"
    "1c660bd89ddf64bb3e7448a47bca46ecfef4a426b85f51cd0daccdacb7b7f736";

class Modes : public ciphertest::CipherTest {
 protected:
  QOXCBCContext* NewCBC(QOXCipherAlgorithm alg) {
    QOXCBCContext* cbc = nullptr;
    EXPECT_EQ(QOXNewCBCContext(NewCipher(alg), &cbc), 0);
    return cbc;
  }
  QOXCFBContext* NewCFB(QOXCipherAlgorithm alg, uint16_t interleave = 1) {
    QOXCFBContext* cfb = nullptr;
    EXPECT_EQ(QOXNewCFBContext(NewCipher(alg), interleave, &cfb), 0);
    return cfb;
  }
  // Feeds `in` in pieces of the given sizes (the last piece takes the rest).
  template <typename Fn>
  static Bytes Pieces(const Bytes& in, const std::vector<size_t>& sizes, Fn fn) {
    Bytes out(in.size());
    size_t off = 0;
    for (size_t i = 0; off < in.size(); ++i) {
      size_t n = i < sizes.size() ? std::min(sizes[i], in.size() - off) : in.size() - off;
      EXPECT_EQ(fn(in.data() + off, n, out.data() + off), 0);
      off += n;
    }
    return out;
  }
  static std::vector<size_t> RandomSplit(std::mt19937& rng, size_t total, size_t unit) {
    std::vector<size_t> sizes;
    for (size_t left = total; left > 0;) {
      size_t n = unit * (1 + rng() % 5);
      if (n > left) n = left;
      sizes.push_back(n);
      left -= n;
    }
    return sizes;
  }
};

// ---------------------------------------------------------------------------
// CBC

TEST_F(Modes, CbcVectorInOneCallOrEight) {
  for (size_t piece : {64u, 8u}) {
    QOXCBCContext* cbc = NewCBC(kQOXCipherAlgorithm_3DES);
    ASSERT_EQ(QOXInitCBC(cbc, kKey.data(), kIV.data()), 0);
    Bytes ct = Pieces(kPlain, std::vector<size_t>(8, piece), [&](auto in, size_t n, auto out) {
      return QOXCBCEncrypt(cbc, in, n, out);
    });
    EXPECT_EQ(Hex(ct), kCBCVector);
    ASSERT_EQ(QOXInitCBC(cbc, kKey.data(), kIV.data()), 0);
    // In place: in and out are one buffer.
    ASSERT_EQ(QOXCBCDecrypt(cbc, ct.data(), ct.size(), ct.data()), 0);
    EXPECT_EQ(ct, kPlain);
    EXPECT_EQ(QOXFreeCBCContext(cbc), 0);
  }
}

TEST_F(Modes, CbcRefusalsKeepTheChain) {
  QOXCBCContext* cbc = NewCBC(kQOXCipherAlgorithm_3DES);
  Bytes out(64, 0xEE);
  EXPECT_EQ(QOXCBCEncrypt(cbc, kPlain.data(), 8, out.data()), kQOXErrImproperInitialization);
  ASSERT_EQ(QOXInitCBC(cbc, kKey.data(), kIV.data()), 0);
  EXPECT_EQ(QOXCBCEncrypt(cbc, kPlain.data(), 12, out.data()), kQOXErrBadParams);
  EXPECT_EQ(QOXCBCEncrypt(cbc, kPlain.data(), 0, out.data()), kQOXErrBadParams);
  EXPECT_EQ(QOXCBCEncrypt(cbc, kPlain.data(), 8, nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXCBCEncrypt(cbc, nullptr, 8, out.data()), kQOXErrBadParams);
  EXPECT_EQ(qoxCBCEncryptInternal(cbc, kPlain.data(), 0, out.data()), 0);
  EXPECT_EQ(out, Bytes(64, 0xEE));
  ASSERT_EQ(QOXCBCEncrypt(cbc, kPlain.data(), 64, out.data()), 0);
  EXPECT_EQ(Hex(out), kCBCVector) << "refused calls changed the chaining value";
  EXPECT_EQ(QOXInitCBC(cbc, nullptr, nullptr), kQOXErrBadParams);
  QOXFreeCBCContext(cbc);
}

TEST_F(Modes, CbcIvAloneKeepsTheKeyAndRestartsTheChain) {
  QOXCBCContext* cbc = NewCBC(kQOXCipherAlgorithm_3DES);
  Bytes out(64);
  ASSERT_EQ(QOXInitCBC(cbc, kKey.data(), FromHex("0000000000000000").data()), 0);
  ASSERT_EQ(QOXCBCEncrypt(cbc, kPlain.data(), 16, out.data()), 0);
  ASSERT_EQ(QOXInitCBC(cbc, nullptr, kIV.data()), 0);
  ASSERT_EQ(QOXCBCEncrypt(cbc, kPlain.data(), 64, out.data()), 0);
  EXPECT_EQ(Hex(out), kCBCVector);
  QOXFreeCBCContext(cbc);
}

// A context initialised with an IV but no key used to mark itself ready and
// "encrypt" to plaintext XOR IV.
TEST_F(Modes, IvWithoutKeyIsRefusedAndWritesNothing) {
  Bytes out(16, 0xEE);
  QOXCBCContext* cbc = NewCBC(kQOXCipherAlgorithm_3DES);
  ASSERT_EQ(QOXInitCBC(cbc, nullptr, kIV.data()), 0);
  EXPECT_EQ(QOXCBCEncrypt(cbc, kPlain.data(), 16, out.data()), kQOXErrImproperInitialization);
  EXPECT_EQ(QOXCBCDecrypt(cbc, kPlain.data(), 16, out.data()), kQOXErrImproperInitialization);
  QOXCFBContext* cfb = NewCFB(kQOXCipherAlgorithm_3DES);
  ASSERT_EQ(QOXInitCFB(cfb, nullptr, kIV.data()), 0);
  EXPECT_EQ(QOXCFBEncrypt(cfb, kPlain.data(), 16, out.data()), kQOXErrImproperInitialization);
  EXPECT_EQ(QOXCFBDecrypt(cfb, kPlain.data(), 16, out.data()), kQOXErrImproperInitialization);
  EXPECT_EQ(out, Bytes(16, 0xEE));
  QOXFreeCBCContext(cbc);
  QOXFreeCFBContext(cfb);
}

TEST_F(Modes, CbcCopyMidMessageContinuesIndependently) {
  QOXCBCContext* cbc = NewCBC(kQOXCipherAlgorithm_3DES);
  ASSERT_EQ(QOXInitCBC(cbc, kKey.data(), kIV.data()), 0);
  Bytes out(64), tail(32);
  ASSERT_EQ(QOXCBCEncrypt(cbc, kPlain.data(), 32, out.data()), 0);
  QOXCBCContext* copy = nullptr;
  ASSERT_EQ(QOXCopyCBCContext(cbc, &copy), 0);
  ASSERT_TRUE(qoxCBCIsValid(copy));
  ASSERT_EQ(QOXCBCEncrypt(cbc, kPlain.data() + 32, 32, out.data() + 32), 0);
  QOXFreeCBCContext(cbc);
  ASSERT_EQ(QOXCBCEncrypt(copy, kPlain.data() + 32, 32, tail.data()), 0);
  EXPECT_EQ(Hex(out), kCBCVector);
  EXPECT_EQ(Hex(tail), std::string(kCBCVector).substr(64));
  QOXFreeCBCContext(copy);
}

TEST_F(Modes, CbcMatchesOpenSSLForMessagesFedInPieces) {
  struct {
    QOXCipherAlgorithm alg;
    const char* name;
  } const cases[] = {{kQOXCipherAlgorithm_AES128, "AES-128-CBC"},
                     {kQOXCipherAlgorithm_AES192, "AES-192-CBC"},
                     {kQOXCipherAlgorithm_AES256, "AES-256-CBC"},
                     {kQOXCipherAlgorithm_3DES, "DES-EDE3-CBC"},
                     {kQOXCipherAlgorithm_CAST5, "CAST5-CBC"}};
  std::mt19937 rng(1321);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const QOXCipherVTBL* v = qoxCipherGetVTBL(c.alg);
    for (int trial = 0; trial < 5; ++trial) {
      Bytes key = ciphertest::RandomBytes(rng, v->keySize);
      Bytes iv = ciphertest::RandomBytes(rng, v->blockSize);
      Bytes plain = ciphertest::RandomBytes(rng, v->blockSize * (1 + rng() % 40));
      Bytes want = ciphertest::OpenSSL(c.name, key, iv, plain);
      QOXCBCContext* cbc = NewCBC(c.alg);
      ASSERT_EQ(QOXInitCBC(cbc, key.data(), iv.data()), 0);
      Bytes got = Pieces(plain, RandomSplit(rng, plain.size(), v->blockSize),
                         [&](auto in, size_t n, auto out) { return QOXCBCEncrypt(cbc, in, n, out); });
      EXPECT_EQ(got, want);
      ASSERT_EQ(QOXInitCBC(cbc, key.data(), iv.data()), 0);
      Bytes back = Pieces(got, RandomSplit(rng, got.size(), v->blockSize),
                          [&](auto in, size_t n, auto out) { return QOXCBCDecrypt(cbc, in, n, out); });
      EXPECT_EQ(back, plain);
      QOXFreeCBCContext(cbc);
    }
  }
}

// 40-bit RC2 files (PKCS #12) need CBC decryption; encryption has no
// operation to run and is refused.
TEST_F(Modes, Rc2FortyDecryptsInCbcAndRefusesToEncrypt) {
  std::mt19937 rng(12);
  Bytes key = ciphertest::RandomBytes(rng, 5), iv = ciphertest::RandomBytes(rng, 8);
  Bytes plain = ciphertest::RandomBytes(rng, 48);
  Bytes ct = ciphertest::OpenSSL("RC2-40-CBC", key, iv, plain);
  QOXCBCContext* cbc = NewCBC(kQOXCipherAlgorithm_RC2_40);
  ASSERT_EQ(QOXInitCBC(cbc, key.data(), iv.data()), 0);
  Bytes out(48, 0xEE);
  EXPECT_EQ(QOXCBCEncrypt(cbc, plain.data(), 48, out.data()), kQOXErrBadParams);
  EXPECT_EQ(out, Bytes(48, 0xEE));
  ASSERT_EQ(QOXCBCDecrypt(cbc, ct.data(), ct.size(), out.data()), 0);
  EXPECT_EQ(out, plain);
  QOXFreeCBCContext(cbc);
}

TEST_F(Modes, CreationConsumesTheCipherOnlyWhenItProceeds) {
  int before = counter_.live();
  // Refused for bad arguments: the caller still owns the cipher.
  QOXSymmetricCipherContext* rc2 = NewCipher(kQOXCipherAlgorithm_RC2_40);
  QOXCFBContext* cfb = nullptr;
  EXPECT_EQ(QOXNewCFBContext(rc2, 1, &cfb), kQOXErrBadParams);
  QOXSymmetricCipherContext* cast = NewCipher(kQOXCipherAlgorithm_CAST5);
  EXPECT_EQ(QOXNewCFBContext(cast, 0, &cfb), kQOXErrBadParams);
  EXPECT_EQ(QOXNewCBCContext(cast, nullptr), kQOXErrBadParams);
  EXPECT_TRUE(qoxSymmetricCipherIsValid(rc2));
  EXPECT_TRUE(qoxSymmetricCipherIsValid(cast));
  EXPECT_EQ(QOXFreeSymmetricCipherContext(rc2), 0);
  EXPECT_EQ(QOXFreeSymmetricCipherContext(cast), 0);
  EXPECT_EQ(qoxCFBCreate(mgr_, &cipherRC2_40), nullptr);
  // Out of memory: the cipher is consumed.
  QOXSymmetricCipherContext* c = NewCipher(kQOXCipherAlgorithm_CAST5);
  counter_.FailAfter(0);
  QOXCBCContext* cbc = nullptr;
  EXPECT_EQ(QOXNewCBCContext(c, &cbc), kQOXErrOutOfMemory);
  counter_.FailAfter(-1);
  c = NewCipher(kQOXCipherAlgorithm_CAST5);
  counter_.FailAfter(2);  // the record and the first unit copy's handle, not its key state
  EXPECT_EQ(QOXNewCFBContext(c, 3, &cfb), kQOXErrOutOfMemory);
  EXPECT_EQ(cfb, nullptr);
  counter_.FailAfter(-1);
  EXPECT_EQ(counter_.live(), before);
}

// ---------------------------------------------------------------------------
// CFB

TEST_F(Modes, CfbVectorWhateverTheSplit) {
  const std::vector<std::vector<size_t>> splits = {{64}, std::vector<size_t>(8, 8), {1, 7, 13, 43}};
  for (const auto& split : splits) {
    QOXCFBContext* cfb = NewCFB(kQOXCipherAlgorithm_3DES);
    ASSERT_EQ(QOXInitCFB(cfb, kKey.data(), kIV.data()), 0);
    Bytes ct = Pieces(kPlain, split, [&](auto in, size_t n, auto out) {
      return QOXCFBEncrypt(cfb, in, n, out);
    });
    EXPECT_EQ(Hex(ct), kCFBVector);
    ASSERT_EQ(QOXInitCFB(cfb, kKey.data(), kIV.data()), 0);
    Bytes pt = Pieces(ct, split, [&](auto in, size_t n, auto out) {
      return QOXCFBDecrypt(cfb, in, n, out);
    });
    EXPECT_EQ(pt, kPlain);
    QOXFreeCFBContext(cfb);
  }
}

TEST_F(Modes, CfbMatchesOpenSSLForMessagesFedInPieces) {
  struct {
    QOXCipherAlgorithm alg;
    const char* name;
  } const cases[] = {{kQOXCipherAlgorithm_AES128, "AES-128-CFB"},
                     {kQOXCipherAlgorithm_AES192, "AES-192-CFB"},
                     {kQOXCipherAlgorithm_AES256, "AES-256-CFB"},
                     {kQOXCipherAlgorithm_3DES, "DES-EDE3-CFB"},
                     {kQOXCipherAlgorithm_CAST5, "CAST5-CFB"}};
  std::mt19937 rng(2144);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const QOXCipherVTBL* v = qoxCipherGetVTBL(c.alg);
    for (int trial = 0; trial < 5; ++trial) {
      Bytes key = ciphertest::RandomBytes(rng, v->keySize);
      Bytes iv = ciphertest::RandomBytes(rng, v->blockSize);
      Bytes plain = ciphertest::RandomBytes(rng, 1 + rng() % 300);
      Bytes want = ciphertest::OpenSSL(c.name, key, iv, plain);
      QOXCFBContext* cfb = NewCFB(c.alg);
      ASSERT_EQ(QOXInitCFB(cfb, key.data(), iv.data()), 0);
      Bytes got = Pieces(plain, RandomSplit(rng, plain.size(), 1 + rng() % 11),
                         [&](auto in, size_t n, auto out) { return QOXCFBEncrypt(cfb, in, n, out); });
      EXPECT_EQ(got, want);
      ASSERT_EQ(QOXInitCFB(cfb, key.data(), iv.data()), 0);
      // In place.
      Bytes back = got;
      ASSERT_EQ(QOXCFBDecrypt(cfb, back.data(), back.size(), back.data()), 0);
      EXPECT_EQ(back, plain);
      QOXFreeCFBContext(cfb);
    }
  }
}

TEST_F(Modes, CfbKeyAloneRestartsFromAZeroIv) {
  QOXCFBContext* cfb = NewCFB(kQOXCipherAlgorithm_CAST5);
  Bytes key = ciphertest::Counting(16, 9), a(40), b(40);
  ASSERT_EQ(QOXInitCFB(cfb, key.data(), nullptr), 0);
  ASSERT_EQ(QOXCFBEncrypt(cfb, kPlain.data(), 40, a.data()), 0);
  ASSERT_EQ(QOXInitCFB(cfb, key.data(), nullptr), 0);
  ASSERT_EQ(QOXCFBEncrypt(cfb, kPlain.data(), 40, b.data()), 0);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, ciphertest::OpenSSL("CAST5-CFB", key, Bytes(8, 0), Bytes(kPlain.begin(), kPlain.begin() + 40)));
  QOXFreeCFBContext(cfb);
}

// After r bytes of a block, the resynchronised feedback is the last b bytes of
// IV and ciphertext so far: continuing equals a fresh CFB over that IV.
TEST_F(Modes, CfbSyncStartsAFreshBlockFromTheLastCiphertext) {
  std::mt19937 rng(4880);
  Bytes key = ciphertest::RandomBytes(rng, 16), iv = ciphertest::RandomBytes(rng, 16);
  Bytes plain = ciphertest::RandomBytes(rng, 45);
  for (size_t head : {5u, 16u, 18u, 32u}) {
    SCOPED_TRACE(head);
    QOXCFBContext* cfb = NewCFB(kQOXCipherAlgorithm_AES128);
    ASSERT_EQ(QOXInitCFB(cfb, key.data(), iv.data()), 0);
    Bytes out(plain.size());
    ASSERT_EQ(QOXCFBEncrypt(cfb, plain.data(), head, out.data()), 0);
    ASSERT_EQ(QOXCFBSync(cfb), 0);
    ASSERT_EQ(QOXCFBEncrypt(cfb, plain.data() + head, plain.size() - head, out.data() + head), 0);
    Bytes history = Cat(iv, Bytes(out.begin(), out.begin() + head));
    Bytes freshIV(history.end() - 16, history.end());
    Bytes rest(plain.begin() + head, plain.end());
    Bytes want = ciphertest::OpenSSL("AES-128-CFB", key, freshIV, rest);
    EXPECT_EQ(Bytes(out.begin() + head, out.end()), want);
    QOXFreeCFBContext(cfb);
  }
}

// The RFC 2440 message layout: a prefix of block size + 2 bytes, then a
// resynchronisation. Frozen (no outside peer resynchronises this way).
TEST_F(Modes, CfbResyncRegressionVector) {
  QOXCFBContext* cfb = NewCFB(kQOXCipherAlgorithm_CAST5);
  ASSERT_EQ(QOXInitCFB(cfb, ciphertest::Counting(16, 1).data(), Bytes(8, 0).data()), 0);
  Bytes prefix = ciphertest::Counting(10, 3), body = ciphertest::Counting(24, 7, 2);
  Bytes out(34);
  ASSERT_EQ(QOXCFBEncrypt(cfb, prefix.data(), 10, out.data()), 0);
  ASSERT_EQ(QOXCFBSync(cfb), 0);
  ASSERT_EQ(QOXCFBEncrypt(cfb, body.data(), 24, out.data() + 10), 0);
  EXPECT_EQ(Hex(out), "98ee0c1cfc3c690e66652a310e2a4dec5573929a05f3750b12ec89c120bf9fd66efc");
  QOXFreeCFBContext(cfb);
}

TEST_F(Modes, CfbLengthZero) {
  QOXCFBContext* cfb = NewCFB(kQOXCipherAlgorithm_3DES);
  ASSERT_EQ(QOXInitCFB(cfb, kKey.data(), kIV.data()), 0);
  uint8_t out[8];
  EXPECT_EQ(QOXCFBEncrypt(cfb, kPlain.data(), 0, out), kQOXErrBadParams);
  EXPECT_EQ(qoxCFBEncryptInternal(cfb, kPlain.data(), 0, out), 0);
  Bytes ct(64);
  ASSERT_EQ(QOXCFBEncrypt(cfb, kPlain.data(), 64, ct.data()), 0);
  EXPECT_EQ(Hex(ct), kCFBVector);
  QOXFreeCFBContext(cfb);
}

// Interleave 2, block 8: bytes 0-7 go to unit 0, 8-15 to unit 1, 16-23 to
// unit 0 again, also when calls split a stretch. Each unit is an ordinary
// CFB stream over its own half of the IV.
TEST_F(Modes, CfbInterleaveDealsBlocksToUnitsInTurn) {
  std::mt19937 rng(77);
  Bytes key = ciphertest::RandomBytes(rng, 24), iv = ciphertest::RandomBytes(rng, 16);
  Bytes plain = ciphertest::RandomBytes(rng, 61);
  QOXCFBContext* cfb = NewCFB(kQOXCipherAlgorithm_3DES, 2);
  ASSERT_EQ(QOXInitCFB(cfb, key.data(), iv.data()), 0);
  Bytes got = Pieces(plain, {3, 9, 4, 20, 1}, [&](auto in, size_t n, auto out) {
    return QOXCFBEncrypt(cfb, in, n, out);
  });
  Bytes s0, s1;
  for (size_t i = 0; i < plain.size(); ++i) ((i / 8) % 2 ? s1 : s0).push_back(plain[i]);
  Bytes c0 = ciphertest::OpenSSL("DES-EDE3-CFB", key, Bytes(iv.begin(), iv.begin() + 8), s0);
  Bytes c1 = ciphertest::OpenSSL("DES-EDE3-CFB", key, Bytes(iv.begin() + 8, iv.end()), s1);
  size_t i0 = 0, i1 = 0;
  for (size_t i = 0; i < plain.size(); ++i) {
    ASSERT_EQ(got[i], (i / 8) % 2 ? c1[i1++] : c0[i0++]) << i;
  }
  size_t n = 0;
  uint8_t buf[8];
  EXPECT_EQ(QOXCFBGetRandom(cfb, 8, buf, &n), kQOXErrBadParams);
  EXPECT_EQ(QOXCFBRandomCycle(cfb, buf), kQOXErrBadParams);
  EXPECT_EQ(QOXCFBRandomWash(cfb, buf, 8), kQOXErrBadParams);
  QOXFreeCFBContext(cfb);
}

TEST_F(Modes, CfbCopyWipeAndReinit) {
  QOXCFBContext* cfb = NewCFB(kQOXCipherAlgorithm_3DES);
  ASSERT_EQ(QOXInitCFB(cfb, kKey.data(), kIV.data()), 0);
  Bytes out(64), tail(61);
  ASSERT_EQ(QOXCFBEncrypt(cfb, kPlain.data(), 3, out.data()), 0);
  QOXCFBContext* copy = nullptr;
  ASSERT_EQ(QOXCopyCFBContext(cfb, &copy), 0);
  qoxCFBWipe(cfb);
  EXPECT_EQ(QOXCFBEncrypt(cfb, kPlain.data(), 8, out.data() + 3), kQOXErrImproperInitialization);
  ASSERT_EQ(QOXCFBEncrypt(copy, kPlain.data() + 3, 61, out.data() + 3), 0);
  EXPECT_EQ(Hex(out), kCFBVector);
  ASSERT_EQ(QOXInitCFB(cfb, kKey.data(), kIV.data()), 0);
  ASSERT_EQ(QOXCFBEncrypt(cfb, kPlain.data(), 64, out.data()), 0);
  EXPECT_EQ(Hex(out), kCFBVector);
  QOXSymmetricCipherContext* lent = nullptr;
  ASSERT_EQ(QOXCFBGetSymmetricCipher(copy, &lent), 0);
  EXPECT_EQ(lent, copy->Unit(0)->cipher);
  EXPECT_EQ(qoxCFBGetKeySize(copy), 24u);
  EXPECT_EQ(qoxCFBGetBlockSize(copy), 8u);
  QOXFreeCFBContext(copy);
  QOXFreeCFBContext(cfb);
}

// ---------------------------------------------------------------------------
// The random-generator operations.

TEST_F(Modes, RandomCycleReadAndWash) {
  Bytes key = ciphertest::Counting(24, 13), iv = ciphertest::Counting(8, 3, 9);
  Bytes salt = ciphertest::Counting(8, 17, 4);
  QOXCFBContext* cfb = NewCFB(kQOXCipherAlgorithm_3DES);
  ASSERT_EQ(QOXInitCFB(cfb, key.data(), iv.data()), 0);
  ASSERT_EQ(QOXCFBRandomCycle(cfb, salt.data()), 0);
  // P = E(F ^ s); F' = E(P ^ s), computed with an outside Triple-DES.
  Bytes p = ciphertest::OpenSSL("DES-EDE3-ECB", key, {}, Xor(iv, salt));
  Bytes f = ciphertest::OpenSSL("DES-EDE3-ECB", key, {}, Xor(p, salt));
  EXPECT_EQ(Bytes(cfb->Unit(0)->feedback, cfb->Unit(0)->feedback + 8), f);
  Bytes got(12, 0);
  size_t n = 99;
  ASSERT_EQ(QOXCFBGetRandom(cfb, 3, got.data(), &n), 0);
  EXPECT_EQ(n, 3u);
  ASSERT_EQ(QOXCFBGetRandom(cfb, 12, got.data() + 3, &n), 0);
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 8), p);
  ASSERT_EQ(QOXCFBGetRandom(cfb, 12, got.data(), &n), 0);
  EXPECT_EQ(n, 0u) << "the caller must cycle again";

  // A wash of 0 bytes: new key, feedback XOR 0, then one encryption under
  // the new key; nothing is available afterwards.
  ASSERT_EQ(QOXCFBRandomCycle(cfb, salt.data()), 0);
  QOXSymmetricCipherContext* washed = nullptr;
  ASSERT_EQ(QOXCopySymmetricCipherContext(cfb->Unit(0)->cipher, &washed), 0);
  uint8_t none = 0;
  ASSERT_EQ(QOXWashSymmetricCipher(washed, &none, 0), 0);
  Bytes before(cfb->Unit(0)->feedback, cfb->Unit(0)->feedback + 8), want(8);
  ASSERT_EQ(QOXSymmetricCipherEncrypt(washed, before.data(), want.data()), 0);
  ASSERT_EQ(QOXCFBRandomWash(cfb, &none, 0), 0);
  EXPECT_EQ(Bytes(cfb->Unit(0)->feedback, cfb->Unit(0)->feedback + 8), want);
  ASSERT_EQ(QOXCFBGetRandom(cfb, 8, got.data(), &n), 0);
  EXPECT_EQ(n, 0u);
  QOXFreeSymmetricCipherContext(washed);

  EXPECT_EQ(QOXCFBGetRandom(cfb, 8, got.data(), nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXCFBRandomCycle(cfb, nullptr), kQOXErrBadParams);
  QOXFreeCFBContext(cfb);

  // Ciphers without a wash are refused, before anything changes.
  QOXCFBContext* aes = NewCFB(kQOXCipherAlgorithm_AES128);
  EXPECT_EQ(QOXCFBRandomWash(aes, &none, 0), kQOXErrBadParams);
  EXPECT_EQ(QOXCFBRandomCycle(aes, salt.data()), kQOXErrImproperInitialization);
  QOXFreeCFBContext(aes);
}

TEST_F(Modes, CreateMakesAOneUnitContextFromARecord) {
  QOXCFBContext* cfb = qoxCFBCreate(mgr_, &cipherCAST5);
  ASSERT_NE(cfb, nullptr);
  EXPECT_EQ(cfb->interleave, 1);
  EXPECT_EQ(cfb->keyLoaded, 0);
  QOXFreeCFBContext(cfb);
}

// ---------------------------------------------------------------------------

TEST_F(Modes, TripleDesSelfTestPasses) { EXPECT_EQ(qoxTest3DES(), 0); }

}  // namespace
