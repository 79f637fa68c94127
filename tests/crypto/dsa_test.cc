// DSA keys against OpenSSL: signatures both ways (a frozen short-integer
// case and many random ones), the DER reader's refusals, key bodies,
// generation, fixed groups and secret-key protection.
#include <openssl/pem.h>

#include <random>

#include "crypto/cipher.h"
#include "crypto/dsa.h"
#include "crypto/fixed_groups.h"
#include "tests/crypto/pubkey_test_support.h"

namespace {

using namespace pktest;

constexpr int kDER = kQOXPublicKeyFormat_X509;

struct DSANumbers {
  Bytes publicBody;
  Bytes secretBody;
};

DSANumbers FromOpenSSL(EVP_PKEY* key) {
  BIGNUM* p = GetParam(key, OSSL_PKEY_PARAM_FFC_P);
  BIGNUM* q = GetParam(key, OSSL_PKEY_PARAM_FFC_Q);
  BIGNUM* g = GetParam(key, OSSL_PKEY_PARAM_FFC_G);
  BIGNUM* y = GetParam(key, OSSL_PKEY_PARAM_PUB_KEY);
  BIGNUM* x = GetParam(key, OSSL_PKEY_PARAM_PRIV_KEY);
  DSANumbers n;
  n.publicBody = Cat({Mpi(p), Mpi(q), Mpi(g), Mpi(y)});
  n.secretBody = ClearSecretBody(n.publicBody, Mpi(x));
  for (BIGNUM* b : {p, q, g, y, x}) BN_free(b);
  return n;
}

// OpenSSL's verdict on a DER signature over a raw digest.
int OpenSSLVerify(EVP_PKEY* key, const Bytes& sig, const Bytes& digest) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  EVP_PKEY_verify_init(ctx);
  int ok = EVP_PKEY_verify(ctx, sig.data(), sig.size(), digest.data(), digest.size());
  EVP_PKEY_CTX_free(ctx);
  return ok;
}

Bytes OpenSSLSign(EVP_PKEY* key, const Bytes& digest) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  EVP_PKEY_sign_init(ctx);
  size_t length = 0;
  EVP_PKEY_sign(ctx, nullptr, &length, digest.data(), digest.size());
  Bytes sig(length);
  EVP_PKEY_sign(ctx, sig.data(), &length, digest.data(), digest.size());
  sig.resize(length);
  EVP_PKEY_CTX_free(ctx);
  return sig;
}

EVP_PKEY* OpenSSLPublicOf(const QOXPubKey* key) {
  std::vector<BIGNUM*> n = KeyParams(key, 4);
  EVP_PKEY* out = DSAPublicKey(n[0], n[1], n[2], n[3]);
  FreeAll(n);
  return out;
}

// The length of a DER INTEGER's body, checked to be minimal.
size_t MinimalIntegerLength(const uint8_t* der) {
  EXPECT_EQ(der[0], 0x02);
  size_t length = der[1];
  if (length > 1) {
    EXPECT_FALSE(der[2] == 0 && (der[3] & 0x80) == 0) << "leading zero before a clear top bit";
    EXPECT_FALSE(der[2] == 0xFF && (der[3] & 0x80) != 0);
  }
  return length;
}

class DSATest : public PubKeyTest {
 protected:
  void SetUp() override {
    PubKeyTest::SetUp();
    ossl_ = NewDSAKey(1024, 160);
    ASSERT_NE(ossl_, nullptr);
    DSANumbers n = FromOpenSSL(ossl_);
    QOXError err = 0;
    pub_ = qoxPubKeyFromBuf(context_, 17, n.publicBody.data(), n.publicBody.size(), &err);
    ASSERT_NE(pub_, nullptr) << err;
    sec_ = qoxSecKeyFromBuf(context_, 17, n.secretBody.data(), n.secretBody.size(), 0, &err);
    ASSERT_NE(sec_, nullptr) << err;
    ASSERT_EQ(sec_->islocked(sec_), 0);
    publicBody_ = n.publicBody;
  }
  void TearDown() override {
    if (pub_ != nullptr) pub_->destroy(pub_);
    if (sec_ != nullptr) sec_->destroy(sec_);
    EVP_PKEY_free(ossl_);
    PubKeyTest::TearDown();
  }
  Bytes Sign(const Bytes& digest, int format, QOXRandomContext* rc) {
    Bytes sig(sec_->maxsig(sec_, format));
    size_t length = 0;
    EXPECT_EQ(sec_->sign(sec_, &HashSHA, digest.data(), sig.data(), &length, rc, format), 0);
    EXPECT_LE(length, sig.size());
    sig.resize(length);
    return sig;
  }
  int Verify(const Bytes& sig, const Bytes& digest, int format, const QOXHashVTBL* hash = &HashSHA) {
    static const uint8_t kNothing = 0;
    return pub_->verify(pub_, sig.empty() ? &kNothing : sig.data(), sig.size(), hash, digest.data(), format);
  }

  EVP_PKEY* ossl_ = nullptr;
  QOXPubKey* pub_ = nullptr;
  QOXSecKey* sec_ = nullptr;
  Bytes publicBody_;
};

TEST_F(DSATest, VerifiesSignaturesOfOpenSSL) {
  std::mt19937 rng(7);
  for (int i = 0; i < 50; ++i) {
    Bytes digest(20);
    for (auto& b : digest) b = static_cast<uint8_t>(rng());
    Bytes sig = OpenSSLSign(ossl_, digest);
    EXPECT_EQ(Verify(sig, digest, kDER), 1);
    digest[19] ^= 1;
    EXPECT_EQ(Verify(sig, digest, kDER), 0);
  }
}

TEST_F(DSATest, VerifiesOpenSSLCommandLineSignature) {
  const std::string keyPath = TempPath("dsa.pem"), msgPath = TempPath("msg"), sigPath = TempPath("sig");
  BIO* bio = BIO_new_file(keyPath.c_str(), "w");
  ASSERT_EQ(PEM_write_bio_PrivateKey(bio, ossl_, nullptr, nullptr, 0, nullptr, nullptr), 1);
  BIO_free(bio);
  const Bytes message = {'k', 'e', 'y', ' ', 's', 'e', 'r', 'v', 'e', 'r'};
  WriteFile(msgPath, message);
  std::string out;
  ASSERT_EQ(RunCommand("openssl dgst -sha1 -sign " + keyPath + " -out " + sigPath + " " + msgPath, &out), 0) << out;
  Bytes sig = ReadFile(sigPath);
  EXPECT_EQ(Verify(sig, Digest(HashSHA, message), kDER), 1);
  for (const std::string& p : {keyPath, msgPath, sigPath}) std::remove(p.c_str());
}

TEST_F(DSATest, OpenSSLVerifiesOurRandomSignatures) {
  std::mt19937 rng(11);
  int refused = 0;
  for (int i = 0; i < 1000; ++i) {
    Bytes digest(20);
    for (auto& b : digest) b = static_cast<uint8_t>(rng());
    Bytes sig = Sign(digest, kDER, rc_);
    if (OpenSSLVerify(ossl_, sig, digest) != 1) ++refused;
  }
  EXPECT_EQ(refused, 0);
}

// Over a deterministic generator key and signatures repeat from run to run;
// the first digest whose r or s is below 2^151 (a fixed-width writer would
// put a needless zero byte before it) shows the DER INTEGERs written
// minimally, as strict readers such as OpenSSL demand.
TEST_F(DSATest, FrozenShortIntegerSignatureIsMinimalDER) {
  // A key of our own making over a deterministic generator, so the case is frozen.
  QOXRandomContext* fixed = qoxPseudoRandomCreate(context_);
  ASSERT_NE(fixed, nullptr);
  QOXError err = 0;
  QOXSecKey* key = qoxSecKeyGenerate(context_, qoxPkalgByNumber(17), 1024, false, false, fixed, nullptr, nullptr, &err);
  ASSERT_NE(key, nullptr) << err;
  QOXPubKey* pub = key->pubkey(key);
  EVP_PKEY* ossl = OpenSSLPublicOf(pub);
  ASSERT_NE(ossl, nullptr);
  int found = -1;
  for (int i = 0; i < 3000 && found < 0; ++i) {
    Bytes digest = Digest(HashSHA, {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)});
    Bytes sig(key->maxsig(key, kDER));
    size_t length = 0;
    ASSERT_EQ(key->sign(key, &HashSHA, digest.data(), sig.data(), &length, fixed, kDER), 0);
    sig.resize(length);
    ASSERT_EQ(sig[0], 0x30);
    ASSERT_EQ(sig[1], length - 2);
    size_t rLength = MinimalIntegerLength(sig.data() + 2);
    size_t sLength = MinimalIntegerLength(sig.data() + 4 + rLength);
    ASSERT_EQ(4 + rLength + 2 + sLength, length);
    if (rLength < 20 || sLength < 20) {
      found = i;
      EXPECT_EQ(OpenSSLVerify(ossl, sig, digest), 1);
      EXPECT_EQ(pub->verify(pub, sig.data(), sig.size(), &HashSHA, digest.data(), kDER), 1);
    }
  }
  EXPECT_GE(found, 0);
  EVP_PKEY_free(ossl);
  pub->destroy(pub);
  key->destroy(key);
  fixed->destroy(fixed);
}

TEST_F(DSATest, EveryFormatRoundTrips) {
  Bytes digest = Digest(HashSHA, {1, 2, 3});
  for (int format : {1, 2, 3, 4}) {
    Bytes sig = Sign(digest, format, rc_);
    EXPECT_EQ(Verify(sig, digest, format), 1) << format;
  }
  EXPECT_EQ(sec_->maxsig(sec_, 1), 44u);
  EXPECT_EQ(sec_->maxsig(sec_, 2), 40u);
  EXPECT_EQ(sec_->maxsig(sec_, 3), 48u);
  EXPECT_EQ(sec_->maxsig(sec_, 9), 0u);
  EXPECT_EQ(static_cast<QOXError>(pub_->maxesk(pub_, 1)), kQOXErrUnimplementedPKOperation);
  EXPECT_EQ(pub_->encrypt(pub_, digest.data(), 1, nullptr, nullptr, rc_, 1), kQOXErrUnimplementedPKOperation);
  EXPECT_EQ(sec_->decrypt(sec_, digest.data(), 1, nullptr, nullptr, nullptr, 0, 1), kQOXErrUnimplementedPKOperation);
}

// Refusals of malformed outside signatures (the DER header is read within
// the signature's own bytes).
TEST_F(DSATest, MalformedSignatures) {
  Bytes digest = Digest(HashSHA, {9});
  Bytes good = Sign(digest, kDER, rc_);
  Bytes longer = good;
  longer[1] = static_cast<uint8_t>(longer[1] + 1);  // SEQUENCE one byte longer than what follows
  Bytes hugeLength = {0x30, 0x85, 0x01, 0x00, 0x00, 0x00, 0x00, 0x02};
  Bytes wrongTag = good;
  wrongTag[0] = 0x31;
  Bytes badInteger = good;
  badInteger[2] = 0x04;
  Bytes trailingInSequence = good;
  trailingInSequence.push_back(0);
  trailingInSequence[1] = static_cast<uint8_t>(trailingInSequence[1] + 1);
  struct Case {
    const char* name;
    Bytes sig;
    int format;
    int want;
  } cases[] = {
      {"empty", {}, kDER, kQOXErrKeyComponentMalformed},
      {"one byte", {0x30}, kDER, kQOXErrKeyComponentMalformed},
      {"sequence length past the end", longer, kDER, kQOXErrKeyComponentMalformed},
      {"five length bytes", hugeLength, kDER, kQOXErrKeyComponentMalformed},
      {"not a sequence", wrongTag, kDER, kQOXErrKeyComponentMalformed},
      {"not an integer", badInteger, kDER, kQOXErrKeyComponentMalformed},
      {"bytes after s", trailingInSequence, kDER, kQOXErrBadSignatureSize},
      {"fixed width too short", Bytes(39, 1), 2, kQOXErrBadSignatureSize},
      {"fixed width one byte over", Bytes(41, 1), 2, kQOXErrBadSignatureSize},
  };
  for (const Case& c : cases) EXPECT_EQ(Verify(c.sig, digest, c.format), c.want) << c.name;
  EXPECT_EQ(Verify(good, digest, kDER), 1);
  // A 16-byte digest is shorter than q.
  EXPECT_EQ(Verify(good, Digest(HashMD5, {9}), kDER, &HashMD5), 0);
}

TEST_F(DSATest, RAtOrAboveQIsNotValid) {
  BIGNUM* q = GetParam(ossl_, OSSL_PKEY_PARAM_FFC_Q);
  Bytes qBytes = BnBytes(q);
  BN_free(q);
  Bytes digest = Digest(HashSHA, {5});
  Bytes sig = Sign(digest, 2, rc_);
  std::copy(qBytes.begin(), qBytes.end(), sig.begin());  // r = q
  EXPECT_EQ(Verify(sig, digest, 2), 0);
  std::fill(sig.begin(), sig.begin() + 20, 0);  // r = 0
  EXPECT_EQ(Verify(sig, digest, 2), 0);
}

TEST_F(DSATest, KeyBodies) {
  // The public body written back is the body read.
  Bytes out(pub_->bufferLength(pub_));
  pub_->toBuffer(pub_, out.data());
  EXPECT_EQ(out, publicBody_);
  EXPECT_EQ(qoxPubKeyPrefixSize(17, publicBody_.data(), publicBody_.size()), static_cast<int>(publicBody_.size()));

  BIGNUM* big = BN_new();
  BN_set_bit(big, 1024);
  BN_set_bit(big, 0);
  BIGNUM* q = GetParam(ossl_, OSSL_PKEY_PARAM_FFC_Q);
  BIGNUM* even = BN_dup(q);
  BN_add_word(even, 1);
  Bytes tail(publicBody_.begin() + 130, publicBody_.end());  // q, g, y
  Bytes rest(publicBody_.begin() + 130 + 22, publicBody_.end());  // g, y
  struct Case {
    const char* name;
    Bytes body;
    QOXError want;
  } cases[] = {
      {"1025-bit p", Cat({Mpi(big), tail}), kQOXErrKeyTooLarge},
      {"even q", Cat({Bytes(publicBody_.begin(), publicBody_.begin() + 130), Mpi(even), rest}),
       kQOXErrKeyComponentMalformed},
      {"truncated", Bytes(publicBody_.begin(), publicBody_.end() - 1), kQOXErrKeyPacketTruncated},
      {"bit count too high", Cat({{0x04, 0x01}, Bytes(publicBody_.begin() + 2, publicBody_.end())}),
       kQOXErrKeyComponentMalformed},
  };
  for (const Case& c : cases) {
    QOXError err = 0;
    EXPECT_EQ(qoxPubKeyFromBuf(context_, 17, c.body.data(), c.body.size(), &err), nullptr) << c.name;
    EXPECT_EQ(err, c.want) << c.name;
  }
  BN_free(big);
  BN_free(q);
  BN_free(even);
}

TEST_F(DSATest, GeneratedKeysAreWellFormed) {
  for (unsigned bits : {1000u, 1024u}) {
    QOXError err = 0;
    std::string progress;
    auto record = [](void* arg, int c) {
      static_cast<std::string*>(arg)->push_back(static_cast<char>(c));
      return 0;
    };
    QOXSecKey* key = qoxSecKeyGenerate(context_, qoxPkalgByNumber(17), bits, false, false, rc_, record, &progress, &err);
    ASSERT_NE(key, nullptr) << err;
    EXPECT_EQ(key->islocked(key), 0);
    EXPECT_NE(progress.find(' '), std::string::npos);
    QOXPubKey* pub = key->pubkey(key);
    EVP_PKEY* ossl = OpenSSLPublicOf(pub);
    BIGNUM* p = GetParam(ossl, OSSL_PKEY_PARAM_FFC_P);
    BIGNUM* q = GetParam(ossl, OSSL_PKEY_PARAM_FFC_Q);
    BIGNUM* g = GetParam(ossl, OSSL_PKEY_PARAM_FFC_G);
    BN_CTX* bctx = BN_CTX_new();
    BIGNUM* t = BN_new();
    EXPECT_EQ(BN_num_bits(p), 1024);
    EXPECT_EQ(BN_num_bits(q), 160);
    EXPECT_EQ(BN_check_prime(p, bctx, nullptr), 1);
    EXPECT_EQ(BN_check_prime(q, bctx, nullptr), 1);
    BN_sub(t, p, BN_value_one());
    BN_mod(t, t, q, bctx);
    EXPECT_TRUE(BN_is_zero(t)) << "q divides p - 1";
    BN_mod_exp(t, g, q, p, bctx);
    EXPECT_TRUE(BN_is_one(t)) << "g has order q";
    EXPECT_GT(BN_num_bits(g), 1);
    // The stored body is clear and reads back unlocked; the pair signs and verifies.
    Bytes body(key->bufferLength(key));
    key->toBuffer(key, body.data());
    QOXSecKey* again = qoxSecKeyFromBuf(context_, 17, body.data(), body.size(), 0, &err);
    ASSERT_NE(again, nullptr) << err;
    EXPECT_EQ(again->islocked(again), 0);
    Bytes digest = Digest(HashSHA, {3});
    Bytes sig(again->maxsig(again, kDER));
    size_t length = 0;
    ASSERT_EQ(again->sign(again, &HashSHA, digest.data(), sig.data(), &length, rc_, kDER), 0);
    sig.resize(length);
    EXPECT_EQ(OpenSSLVerify(ossl, sig, digest), 1);
    for (BIGNUM* b : {p, q, g, t}) BN_free(b);
    BN_CTX_free(bctx);
    EVP_PKEY_free(ossl);
    again->destroy(again);
    pub->destroy(pub);
    key->destroy(key);
  }
  QOXError err = 0;
  EXPECT_EQ(qoxSecKeyGenerate(context_, qoxPkalgByNumber(17), 1025, false, false, rc_, nullptr, nullptr, &err), nullptr);
  EXPECT_EQ(err, kQOXErrPublicKeyTooBig);
}

TEST_F(DSATest, FixedGroups) {
  BN_CTX* bctx = BN_CTX_new();
  struct Row {
    unsigned bits;
    size_t qBytes;
  } rows[] = {{1536, 25}, {2048, 29}, {3072, 34}, {4096, 39}};
  for (const Row& row : rows) {
    const uint8_t *p, *q, *g;
    size_t pLength = 0, qLength = 0, gLength = 0;
    ASSERT_EQ(qoxDSAfixed(row.bits, &p, &pLength, &q, &qLength), 1);
    EXPECT_EQ(pLength, row.bits / 8);
    EXPECT_EQ(qLength, row.qBytes);
    BIGNUM* bp = BN_bin2bn(p, static_cast<int>(pLength), nullptr);
    BIGNUM* bq = BN_bin2bn(q, static_cast<int>(qLength), nullptr);
    BIGNUM* t = BN_new();
    EXPECT_EQ(BN_num_bits(bp), static_cast<int>(row.bits));
    EXPECT_EQ(static_cast<unsigned>(BN_num_bits(bq)), qoxDiscreteLogQBits(row.bits));
    EXPECT_EQ(BN_check_prime(bp, bctx, nullptr), 1);
    EXPECT_EQ(BN_check_prime(bq, bctx, nullptr), 1);
    BN_sub(t, bp, BN_value_one());
    BN_mod(t, t, bq, bctx);
    EXPECT_TRUE(BN_is_zero(t));
    // ElGamal: a safe prime with generator 2.
    ASSERT_EQ(qoxElGfixed(row.bits, &p, &pLength, &g, &gLength), 1);
    ASSERT_EQ(gLength, 1u);
    EXPECT_EQ(g[0], 2);
    BN_bin2bn(p, static_cast<int>(pLength), bp);
    EXPECT_EQ(BN_num_bits(bp), static_cast<int>(row.bits));
    EXPECT_EQ(BN_check_prime(bp, bctx, nullptr), 1);
    if (row.bits <= 2048) {  // the larger safe-prime checks cost seconds
      BN_rshift1(t, bp);
      EXPECT_EQ(BN_check_prime(t, bctx, nullptr), 1);
    }
    for (BIGNUM* b : {bp, bq, t}) BN_free(b);
  }
  BN_CTX_free(bctx);
  for (unsigned bits : {1024u, 2047u, 8192u}) {
    EXPECT_EQ(qoxDSAfixed(bits, nullptr, nullptr, nullptr, nullptr), 0) << bits;
    EXPECT_EQ(qoxElGfixed(bits, nullptr, nullptr, nullptr, nullptr), 0) << bits;
  }
}

TEST_F(DSATest, ProtectionRoundTrip) {
  Bytes clear(sec_->bufferLength(sec_));
  sec_->toBuffer(sec_, clear.data());
  const QOXCipherVTBL* cipher = nullptr;
  size_t keySize = 0;
  EXPECT_EQ(sec_->lockingalgorithm(sec_, &cipher, &keySize), kQOXErrUnknownCipherNumber);

  ASSERT_EQ(sec_->changeLock(sec_, env_, rc_, "lantern", 7, 3), 0);
  Bytes locked(sec_->bufferLength(sec_));
  sec_->toBuffer(sec_, locked.data());
  QOXError err = 0;
  QOXSecKey* key = qoxSecKeyFromBuf(context_, 17, locked.data(), locked.size(), 0, &err);
  ASSERT_NE(key, nullptr) << err;
  EXPECT_EQ(key->islocked(key), 1);
  int kind = -1;
  EXPECT_EQ(key->s2ktype(key, &kind), 0);
  EXPECT_EQ(kind, 3);
  EXPECT_EQ(key->lockingalgorithm(key, &cipher, &keySize), 0);
  EXPECT_EQ(cipher, &cipherCAST5);
  EXPECT_EQ(keySize, 16u);
  Bytes digest = Digest(HashSHA, {4});
  Bytes sig(64);
  size_t length = 0;
  EXPECT_EQ(key->sign(key, &HashSHA, digest.data(), sig.data(), &length, rc_, kDER), kQOXErrKeyLocked);
  EXPECT_EQ(key->unlock(key, "lanterm", 7, 0), 0);
  EXPECT_EQ(key->unlock(key, nullptr, 0, 0), 0);
  EXPECT_EQ(key->unlock(key, "lantern", 7, 0), 1);
  ASSERT_EQ(key->sign(key, &HashSHA, digest.data(), sig.data(), &length, rc_, kDER), 0);
  sig.resize(length);
  EXPECT_EQ(Verify(sig, digest, kDER), 1);

  // The passkey unlocks with the hashed flag; a longer one is refused.
  uint8_t passkey[40] = {};
  ASSERT_EQ(key->convertpassphrase(key, env_, "lantern", 7, passkey), 0);
  key->lock(key);
  EXPECT_EQ(key->islocked(key), 1);
  EXPECT_EQ(key->unlock(key, reinterpret_cast<const char*>(passkey), 33, 1), kQOXErrBadParams);
  EXPECT_EQ(key->unlock(key, reinterpret_cast<const char*>(passkey), 16, 1), 1);

  // Removing the protection gives back a clear body.
  ASSERT_EQ(key->changeLock(key, env_, rc_, nullptr, 0, 0), 0);
  Bytes again(key->bufferLength(key));
  key->toBuffer(key, again.data());
  EXPECT_EQ(again, clear);
  key->destroy(key);

  // S = 254 names no cipher.
  locked[publicBody_.size()] = 254;
  key = qoxSecKeyFromBuf(context_, 17, locked.data(), locked.size(), 0, &err);
  ASSERT_NE(key, nullptr) << err;
  EXPECT_EQ(key->unlock(key, "lantern", 7, 0), kQOXErrUnknownCipherNumber);
  key->destroy(key);
}

TEST_F(DSATest, SecretBodyFaults) {
  Bytes clear(sec_->bufferLength(sec_));
  sec_->toBuffer(sec_, clear.data());
  Bytes junk = clear;
  junk.push_back(0);
  Bytes badSum = clear;
  badSum.back() ^= 1;
  QOXError err = 0;
  EXPECT_EQ(qoxSecKeyFromBuf(context_, 17, junk.data(), junk.size(), 0, &err), nullptr);
  EXPECT_EQ(err, kQOXErrOutOfMemory);
  QOXSecKey* key = qoxSecKeyFromBuf(context_, 17, badSum.data(), badSum.size(), 0, &err);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->islocked(key), 1) << "a wrong checksum leaves the key locked";
  key->destroy(key);
}

}  // namespace
