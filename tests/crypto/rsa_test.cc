// RSA keys against OpenSSL: PKCS #1 v1.5 signatures (MD5, SHA-1,
// RIPEMD-160) and encryption both ways, the command-line tool on one
// signature, key bodies, secret-key protection in both styles, and
// generated keys checked by `openssl rsa -check`.
#include <openssl/pem.h>

#include <random>

#include "crypto/cipher.h"
#include "crypto/rsa.h"
#include "tests/crypto/pubkey_test_support.h"

namespace {

using namespace pktest;

struct RSABodies {
  Bytes publicBody;
  Bytes secretBody;
};

// Our bodies for an OpenSSL key: p < q and u = p^-1 mod q.
RSABodies FromOpenSSL(EVP_PKEY* key) {
  BIGNUM* n = GetParam(key, OSSL_PKEY_PARAM_RSA_N);
  BIGNUM* e = GetParam(key, OSSL_PKEY_PARAM_RSA_E);
  BIGNUM* d = GetParam(key, OSSL_PKEY_PARAM_RSA_D);
  BIGNUM* p = GetParam(key, OSSL_PKEY_PARAM_RSA_FACTOR1);
  BIGNUM* q = GetParam(key, OSSL_PKEY_PARAM_RSA_FACTOR2);
  if (BN_cmp(p, q) > 0) std::swap(p, q);
  BN_CTX* bctx = BN_CTX_new();
  BIGNUM* u = BN_mod_inverse(nullptr, p, q, bctx);
  RSABodies b;
  b.publicBody = Cat({Mpi(n), Mpi(e)});
  b.secretBody = ClearSecretBody(b.publicBody, Cat({Mpi(d), Mpi(p), Mpi(q), Mpi(u)}));
  for (BIGNUM* x : {n, e, d, p, q, u}) BN_free(x);
  BN_CTX_free(bctx);
  return b;
}

EVP_MD* MdOf(const QOXHashVTBL& vtbl) {
  return EVP_MD_fetch(nullptr, vtbl.algorithm == 1 ? "MD5" : vtbl.algorithm == 2 ? "SHA1" : "RIPEMD160", nullptr);
}

int OpenSSLVerify(EVP_PKEY* key, const QOXHashVTBL& vtbl, const Bytes& sig, const Bytes& digest) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  EVP_MD* md = MdOf(vtbl);
  EVP_PKEY_verify_init(ctx);
  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
  EVP_PKEY_CTX_set_signature_md(ctx, md);
  int ok = EVP_PKEY_verify(ctx, sig.data(), sig.size(), digest.data(), digest.size());
  EVP_MD_free(md);
  EVP_PKEY_CTX_free(ctx);
  return ok;
}

Bytes OpenSSLSign(EVP_PKEY* key, const QOXHashVTBL& vtbl, const Bytes& digest) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  EVP_MD* md = MdOf(vtbl);
  EVP_PKEY_sign_init(ctx);
  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
  EVP_PKEY_CTX_set_signature_md(ctx, md);
  size_t length = 0;
  EVP_PKEY_sign(ctx, nullptr, &length, digest.data(), digest.size());
  Bytes sig(length);
  EVP_PKEY_sign(ctx, sig.data(), &length, digest.data(), digest.size());
  sig.resize(length);
  EVP_MD_free(md);
  EVP_PKEY_CTX_free(ctx);
  return sig;
}

Bytes OpenSSLCrypt(EVP_PKEY* key, bool encrypt, const Bytes& in) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  encrypt ? EVP_PKEY_encrypt_init(ctx) : EVP_PKEY_decrypt_init(ctx);
  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
  size_t length = 0;
  auto op = encrypt ? EVP_PKEY_encrypt : EVP_PKEY_decrypt;
  op(ctx, nullptr, &length, in.data(), in.size());
  Bytes out(length);
  if (op(ctx, out.data(), &length, in.data(), in.size()) <= 0) length = 0;
  out.resize(length);
  EVP_PKEY_CTX_free(ctx);
  return out;
}

class RSATest : public PubKeyTest {
 protected:
  void SetUp() override {
    PubKeyTest::SetUp();
    ossl_ = NewRSAKey(2048);
    ASSERT_NE(ossl_, nullptr);
    bodies_ = FromOpenSSL(ossl_);
    QOXError err = 0;
    pub_ = qoxPubKeyFromBuf(context_, 1, bodies_.publicBody.data(), bodies_.publicBody.size(), &err);
    ASSERT_NE(pub_, nullptr) << err;
    sec_ = qoxSecKeyFromBuf(context_, 1, bodies_.secretBody.data(), bodies_.secretBody.size(), 0, &err);
    ASSERT_NE(sec_, nullptr) << err;
    ASSERT_EQ(sec_->islocked(sec_), 0);
  }
  void TearDown() override {
    if (pub_ != nullptr) pub_->destroy(pub_);
    if (sec_ != nullptr) sec_->destroy(sec_);
    EVP_PKEY_free(ossl_);
    PubKeyTest::TearDown();
  }
  Bytes Sign(QOXSecKey* key, const QOXHashVTBL& vtbl, const Bytes& digest, int format) {
    Bytes sig(key->maxsig(key, format));
    size_t length = 0;
    EXPECT_EQ(key->sign(key, &vtbl, digest.data(), sig.data(), &length, rc_, format), 0);
    sig.resize(length);
    return sig;
  }

  EVP_PKEY* ossl_ = nullptr;
  RSABodies bodies_;
  QOXPubKey* pub_ = nullptr;
  QOXSecKey* sec_ = nullptr;
};

TEST_F(RSATest, SignaturesBothWaysForEveryDigest) {
  const QOXHashVTBL* hashes[] = {&HashMD5, &HashSHA, &HashRIPEMD160};
  for (const QOXHashVTBL* h : hashes) {
    Bytes digest = Digest(*h, {'m', 's', 'g'});
    Bytes ours = Sign(sec_, *h, digest, 2);
    EXPECT_EQ(ours.size(), 256u);
    EXPECT_EQ(OpenSSLVerify(ossl_, *h, ours, digest), 1) << h->name;
    Bytes theirs = OpenSSLSign(ossl_, *h, digest);
    EXPECT_EQ(theirs, ours) << "PKCS #1 v1.5 signatures are deterministic";
    EXPECT_EQ(pub_->verify(pub_, theirs.data(), theirs.size(), h, digest.data(), 2), 1) << h->name;
    Bytes other = digest;
    other[0] ^= 1;
    EXPECT_EQ(pub_->verify(pub_, theirs.data(), theirs.size(), h, other.data(), 2), 0) << h->name;
    // The MPI form carries the same number.
    Bytes mpi = Sign(sec_, *h, digest, 1);
    EXPECT_EQ(pub_->verify(pub_, mpi.data(), mpi.size(), h, digest.data(), 1), 1);
  }
  // A signature made for another digest algorithm does not verify.
  Bytes digest = Digest(HashSHA, {'m'});
  Bytes sig = Sign(sec_, HashSHA, digest, 2);
  Bytes asRipemd = Digest(HashRIPEMD160, {'m'});
  EXPECT_EQ(pub_->verify(pub_, sig.data(), sig.size(), &HashRIPEMD160, asRipemd.data(), 2), 0);
}

TEST_F(RSATest, CommandLineVerifiesOurSignature) {
  const std::string keyPath = TempPath("rsa.pem"), digestPath = TempPath("digest"), sigPath = TempPath("sig");
  BIO* bio = BIO_new_file(keyPath.c_str(), "w");
  ASSERT_EQ(PEM_write_bio_PUBKEY(bio, ossl_), 1);
  BIO_free(bio);
  Bytes digest = Digest(HashSHA, {'k', 'e', 'y'});
  WriteFile(digestPath, digest);
  WriteFile(sigPath, Sign(sec_, HashSHA, digest, 2));
  std::string out;
  EXPECT_EQ(RunCommand("openssl pkeyutl -verify -pubin -inkey " + keyPath + " -pkeyopt digest:sha1 -in " + digestPath +
                           " -sigfile " + sigPath,
                       &out),
            0)
      << out;
  for (const std::string& p : {keyPath, digestPath, sigPath}) std::remove(p.c_str());
}

TEST_F(RSATest, RawDigestAndShortDERFormSignatures) {
  Bytes digest = Digest(HashSHA, {1});
  Bytes raw = Sign(sec_, HashSHA, digest, 4);
  EXPECT_EQ(pub_->verify(pub_, raw.data(), raw.size(), &HashSHA, digest.data(), 4), 1);
  EXPECT_EQ(pub_->verify(pub_, raw.data(), raw.size(), &HashSHA, digest.data(), 2), 0);
  // Form 3 carries the number's own bytes: find a signature below 2^2040.
  bool seen = false;
  for (int i = 0; i < 4000 && !seen; ++i) {
    Bytes d = Digest(HashSHA, {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)});
    Bytes sig = Sign(sec_, HashSHA, d, 3);
    if (sig.size() < 256) {
      seen = true;
      EXPECT_EQ(pub_->verify(pub_, sig.data(), sig.size(), &HashSHA, d.data(), 3), 1);
    }
  }
  EXPECT_TRUE(seen);
}

TEST_F(RSATest, SignatureAtOrAboveModulusIsNotValid) {
  BIGNUM* n = GetParam(ossl_, OSSL_PKEY_PARAM_RSA_N);
  Bytes digest = Digest(HashSHA, {2});
  Bytes sig = Sign(sec_, HashSHA, digest, 2);
  BIGNUM* s = BN_bin2bn(sig.data(), static_cast<int>(sig.size()), nullptr);
  BN_add(s, s, n);  // s + n: the same residue, above the modulus
  Bytes big = BnBytes(s);
  if (big.size() == 256) {
    EXPECT_EQ(pub_->verify(pub_, big.data(), big.size(), &HashSHA, digest.data(), 2), 0);
  }
  EXPECT_EQ(pub_->verify(pub_, big.data(), big.size(), &HashSHA, digest.data(), 3), 0);
  Bytes nBytes = BnBytes(n);
  EXPECT_EQ(pub_->verify(pub_, nBytes.data(), nBytes.size(), &HashSHA, digest.data(), 2), 0);
  EXPECT_EQ(pub_->verify(pub_, sig.data(), 255, &HashSHA, digest.data(), 2), kQOXErrBadSignatureSize);
  BN_free(s);
  BN_free(n);
}

TEST_F(RSATest, EncryptionBothWays) {
  Bytes session = {9, 0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xa9, 0xba, 0xcb, 0xdc, 0xed, 0xfe, 0x0f};
  // Ours to OpenSSL in the PKCS #1 form.
  Bytes esk(pub_->maxesk(pub_, 2));
  size_t length = 0;
  ASSERT_EQ(pub_->encrypt(pub_, session.data(), session.size(), esk.data(), &length, rc_, 2), 0);
  EXPECT_EQ(length, 256u);
  EXPECT_EQ(OpenSSLCrypt(ossl_, false, esk), session);
  // The MPI form appends the session-key checksum: 1 + 16 key bytes become 19.
  Bytes mpi(pub_->maxesk(pub_, 1));
  ASSERT_EQ(pub_->encrypt(pub_, session.data(), session.size(), mpi.data(), &length, rc_, 1), 0);
  mpi.resize(length);
  Bytes padded(256 - (length - 2), 0);
  padded.insert(padded.end(), mpi.begin() + 2, mpi.end());
  Bytes plain = OpenSSLCrypt(ossl_, false, padded);
  ASSERT_EQ(plain.size(), 19u);
  EXPECT_EQ(Bytes(plain.begin(), plain.begin() + 17), session);
  Bytes out(sec_->maxdecrypted(sec_));
  size_t outLength = 0;
  ASSERT_EQ(sec_->decrypt(sec_, mpi.data(), mpi.size(), out.data(), &outLength, nullptr, 0, 1), 0);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + outLength), session);
  // OpenSSL's to ours.
  for (size_t size : {1u, 16u, 245u}) {
    Bytes data(size, static_cast<uint8_t>(size));
    Bytes theirs = OpenSSLCrypt(ossl_, true, data);
    ASSERT_EQ(sec_->decrypt(sec_, theirs.data(), theirs.size(), out.data(), &outLength, nullptr, 0, 2), size < 3 ? kQOXErrCorruptData : 0);
    if (size >= 3) {
      EXPECT_EQ(Bytes(out.begin(), out.begin() + outLength), data);
    }
  }
  // Too much data for the modulus; a too-short encrypted key.
  Bytes tooLong(254, 1);
  EXPECT_EQ(pub_->encrypt(pub_, tooLong.data(), tooLong.size(), esk.data(), &length, rc_, 2), kQOXErrPublicKeyTooSmall);
  EXPECT_EQ(sec_->decrypt(sec_, esk.data(), 1, out.data(), &outLength, nullptr, 0, 2), kQOXErrSessionKeyTooShort);
  EXPECT_EQ(sec_->decrypt(sec_, esk.data(), 200, out.data(), &outLength, nullptr, 0, 2), kQOXErrSessionKeyTooShort);
}

TEST_F(RSATest, PublicBodyRefusals) {
  BIGNUM* n = GetParam(ossl_, OSSL_PKEY_PARAM_RSA_N);
  Bytes nMpi = Mpi(n);
  Bytes e = {0x00, 0x11, 0x01, 0x00, 0x01};
  Bytes evenN = nMpi;
  evenN.back() ^= 1;
  BIGNUM* big = BN_new();
  BN_set_bit(big, 4096);
  BN_set_bit(big, 0);
  BIGNUM* top = BN_new();
  BN_set_bit(top, 4095);
  BN_set_bit(top, 0);
  Bytes badBits = nMpi;
  badBits[1] = static_cast<uint8_t>(badBits[1] + 1);  // claims 2049 bits
  struct Case {
    const char* name;
    Bytes body;
    QOXError want;
  } cases[] = {
      {"three bytes", {0x00, 0x01, 0x01}, kQOXErrKeyPacketTruncated},
      {"zero-bit n", Cat({{0x00, 0x00}, e}), kQOXErrKeyModulusMalformed},
      {"n bit count off", Cat({badBits, e}), kQOXErrKeyModulusMalformed},
      {"n without e", nMpi, kQOXErrKeyPacketTruncated},
      {"even n", Cat({evenN, e}), kQOXErrRSAPublicModulusEven},
      {"zero-bit e", Cat({nMpi, {0x00, 0x00, 0x01}}), kQOXErrKeyExponentMalformed},
      {"e bit count off", Cat({nMpi, {0x00, 0x12, 0x01, 0x00, 0x01}}), kQOXErrKeyExponentMalformed},
      {"e cut short", Cat({nMpi, {0x00, 0x11, 0x01, 0x00}}), kQOXErrKeyPacketTruncated},
      {"4097-bit n", Cat({Mpi(big), e}), kQOXErrKeyTooLarge},
  };
  for (const Case& c : cases) {
    QOXError err = 0;
    EXPECT_EQ(qoxPubKeyFromBuf(context_, 1, c.body.data(), c.body.size(), &err), nullptr) << c.name;
    EXPECT_EQ(err, c.want) << c.name;
  }
  // 4096 bits are taken; bytes after e are ignored; the number 2 or 3 is kept.
  Bytes ok = Cat({Mpi(top), e, {0xAA}});
  for (uint32_t algorithm : {1u, 2u, 3u}) {
    QOXError err = 0;
    QOXPubKey* key = qoxPubKeyFromBuf(context_, algorithm, ok.data(), ok.size(), &err);
    ASSERT_NE(key, nullptr) << err;
    EXPECT_EQ(key->algorithm, algorithm);
    EXPECT_EQ(key->maxsig(key, 2), 512u);
    key->destroy(key);
  }
  EXPECT_EQ(qoxPubKeyPrefixSize(1, ok.data(), ok.size()), static_cast<int>(ok.size() - 1));
  QOXError err = 0;
  EXPECT_EQ(qoxPubKeyFromBuf(context_, 4, ok.data(), ok.size(), &err), nullptr);
  EXPECT_EQ(err, kQOXErrKeyAlgorithmUnknown);
  for (BIGNUM* b : {n, big, top}) BN_free(b);
}

TEST_F(RSATest, ProtectionInBothStyles) {
  for (bool oldStyle : {false, true}) {
    QOXError err = 0;
    QOXSecKey* key = qoxSecKeyFromBuf(context_, 1, bodies_.secretBody.data(), bodies_.secretBody.size(), oldStyle, &err);
    ASSERT_NE(key, nullptr) << err;
    // The old style goes with the old string-to-key (kind 0: simple MD5, the cipher byte alone).
    ASSERT_EQ(key->changeLock(key, env_, rc_, "pass phrase", 11, oldStyle ? 0 : 3), 0);
    Bytes body(key->bufferLength(key));
    key->toBuffer(key, body.data());
    key->destroy(key);
    const size_t framing = bodies_.publicBody.size();
    EXPECT_EQ(body[framing], oldStyle ? kQOXCipherAlgorithm_IDEA : 255u);

    key = qoxSecKeyFromBuf(context_, 1, body.data(), body.size(), oldStyle, &err);
    ASSERT_NE(key, nullptr) << err;
    EXPECT_EQ(key->islocked(key), 1);
    int kind = -1;
    EXPECT_EQ(key->s2ktype(key, &kind), 0);
    EXPECT_EQ(kind, oldStyle ? 0 : 3);
    EXPECT_EQ(key->unlock(key, "pass phrasE", 11, 0), 0);
    EXPECT_EQ(key->unlock(key, "pass phrase", 11, 0), 1);
    Bytes digest = Digest(HashSHA, {7});
    Bytes sig = Sign(key, HashSHA, digest, 2);
    EXPECT_EQ(OpenSSLVerify(ossl_, HashSHA, sig, digest), 1);
    key->destroy(key);

    // One byte more at the end is trailing junk once the passphrase is right.
    Bytes junk = body;
    junk.push_back(0);
    key = qoxSecKeyFromBuf(context_, 1, junk.data(), junk.size(), oldStyle, &err);
    ASSERT_NE(key, nullptr) << err;
    EXPECT_EQ(key->unlock(key, "pass phrase", 11, 0), kQOXErrKeyPacketTrailingJunk);
    // Decryption with the passphrase unlocks first; a wrong one is refused.
    Bytes esk(256), out(253);
    size_t length = 0;
    EXPECT_EQ(key->decrypt(key, esk.data(), esk.size(), out.data(), &length, "nope", 4, 2), kQOXErrKeyLocked);
    key->destroy(key);
  }
}

TEST_F(RSATest, GeneratedKeyPassesOpenSSLCheck) {
  QOXError err = 0;
  QOXSecKey* key = qoxSecKeyGenerate(context_, qoxPkalgByNumber(1), 1024, false, false, rc_, nullptr, nullptr, &err);
  ASSERT_NE(key, nullptr) << err;
  QOXPubKey* pub = key->pubkey(key);
  std::vector<BIGNUM*> pn = KeyParams(pub, 2);  // n, e
  std::vector<BIGNUM*> sn = KeyParams(key, 4);  // d, p, q, u
  EXPECT_EQ(BN_num_bits(pn[0]), 1024);
  EXPECT_TRUE(BN_is_word(pn[1], 65537));
  EXPECT_LT(BN_cmp(sn[1], sn[2]), 0) << "p < q";
  // PKCS #1 names the larger prime first: prime1 = q, prime2 = p, coefficient = u.
  EVP_PKEY* ossl = RSAPrivateKey(pn[0], pn[1], sn[0], sn[2], sn[1], sn[3]);
  ASSERT_NE(ossl, nullptr);
  const std::string path = TempPath("generated.pem");
  BIO* bio = BIO_new_file(path.c_str(), "w");
  ASSERT_EQ(PEM_write_bio_PrivateKey(bio, ossl, nullptr, nullptr, 0, nullptr, nullptr), 1);
  BIO_free(bio);
  std::string out;
  EXPECT_EQ(RunCommand("openssl rsa -check -noout -in " + path, &out), 0) << out;
  EXPECT_NE(out.find("RSA key ok"), std::string::npos) << out;
  std::remove(path.c_str());
  // The stored body is clear and the key works with OpenSSL.
  Bytes body(key->bufferLength(key));
  key->toBuffer(key, body.data());
  QOXSecKey* again = qoxSecKeyFromBuf(context_, 1, body.data(), body.size(), 0, &err);
  ASSERT_NE(again, nullptr) << err;
  EXPECT_EQ(again->islocked(again), 0);
  Bytes digest = Digest(HashSHA, {8});
  EXPECT_EQ(OpenSSLVerify(ossl, HashSHA, Sign(again, HashSHA, digest, 2), digest), 1);
  again->destroy(again);
  EVP_PKEY_free(ossl);
  FreeAll(pn);
  FreeAll(sn);
  pub->destroy(pub);
  key->destroy(key);
}

}  // namespace
