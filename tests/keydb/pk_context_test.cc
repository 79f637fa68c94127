// Public- and private-key operation contexts over the gpg fixtures, with the
// openssl command line as the oracle for every signature and encryption
// that crosses to it. The secret keys are gpg's unprotected exports locked
// here by the engine's own lock (iterated and salted string-to-key, CAST5):
// gpg's protected exports use S = 254, which the engine does not read.
#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "crypto/context_random.h"
#include "crypto/hash.h"
#include "crypto/key_encoding.h"
#include "crypto/pkalg.h"
#include "foundation/context.h"
#include "foundation/errors.h"
#include "foundation/option_list.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/rpc_client_services.h"
#include "foundation/sdk/passphrase_cache.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_ops.h"
#include "keydb/packet_header.h"
#include "keydb/pk_context.h"
#include "keydb_test_support.h"
#include "tests/common/counting_memory_mgr.h"
#include "tests/common/scoped_services.h"
#include "tests/crypto/pubkey_test_support.h"

namespace {

using keydb_test::Bytes;

constexpr char kPassphrase[] = "fixture";
constexpr size_t kPassphraseLength = sizeof kPassphrase - 1;
constexpr int kIteratedSalted = 3;
constexpr uint8_t kCAST5 = 3;
constexpr uint8_t kS2KSpecifierFollows = 255;
constexpr int32_t kMPI = kQOXPublicKeyFormat_MPI;
constexpr int32_t kPKCS1 = kQOXPublicKeyFormat_PKCS1;
constexpr int32_t kDER = kQOXPublicKeyFormat_X509;
constexpr int32_t kRaw = kQOXPublicKeyFormat_RawDigest;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Cat(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

// A secret key of the fixtures, locked, in the database, with its numbers
// in PEM files for openssl.
struct LockedKey {
  QOXKeyDBObj* key = nullptr;
  Bytes lockedBody;        // the locked secret-key packet body
  size_t publicLength = 0;  // of the public numbers after the 6-byte header
  std::string publicPem;
  std::string privatePem;  // RSA only
};

int sizesAsked = 0;

class PkContextTest : public keydb_test::KeyDBTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
    QOXNewContextStruct record{kQOXAPIVersion, counts_.Make(), 0};
    ASSERT_EQ(QOXNewContextCustom(&record, &context_), 0);
    ASSERT_EQ(QOXNewKeyDB(context_, &db_), 0);
  }
  void TearDown() override {
    counts_.FailAfter(-1);
    for (const std::string& path : files_) std::remove(path.c_str());
    KeyDBTest::TearDown();
  }

  std::string Temp(const std::string& name) {
    files_.push_back(pktest::TempPath("pkctx_" + name));
    return files_.back();
  }
  std::string Write(const std::string& name, const Bytes& data) {
    const std::string path = Temp(name);
    pktest::WriteFile(path, data);
    return path;
  }
  std::string WritePem(const std::string& name, EVP_PKEY* key, bool secret) {
    const std::string path = Temp(name);
    BIO* bio = BIO_new_file(path.c_str(), "w");
    EXPECT_EQ(secret ? PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr)
                     : PEM_write_bio_PUBKEY(bio, key),
              1);
    BIO_free(bio);
    return path;
  }
  // Runs openssl; true on exit status 0 (its output goes to the log).
  bool OpenSSL(const std::string& arguments) {
    std::string output;
    const int status = pktest::RunCommand("openssl " + arguments, &output);
    EXPECT_EQ(status, 0) << arguments << "\n" << output;
    return status == 0;
  }

  // Reads <name>.sec.bin with its secret-key packet locked by the engine
  // (passphrase "fixture", string-to-key kind 3, the default cipher) and
  // writes the key's numbers as PEM.
  LockedKey Load(const std::string& name) {
    LockedKey out;
    auto packets = keydb_test::SplitPackets(keydb_test::ReadFile(name + ".sec.bin"));
    EXPECT_FALSE(packets.empty());
    if (packets.empty()) return out;
    const Bytes& clear = packets[0].bytes;
    EXPECT_EQ(packets[0].tag, kQOXPktTag_SecretKey);
    const size_t header = qoxPktBufferHeaderLen(clear.data(), clear.size());
    const size_t prefix = header + 6;
    const uint8_t algorithm = clear[header + 5];
    QOXError err = 0;
    QOXSecKey* sec = qoxSecKeyFromBuf(context_, algorithm, clear.data() + prefix, clear.size() - prefix, 0, &err);
    EXPECT_NE(sec, nullptr) << err;
    if (sec == nullptr) return out;
    QOXPubKey* pub = sec->pubkey(sec);
    EXPECT_NE(pub, nullptr);
    if (algorithm == kQOXPublicKeyAlgorithm_RSA) {
      std::vector<BIGNUM*> n = pktest::KeyParams(pub, 2);  // n, e
      std::vector<BIGNUM*> s = pktest::KeyParams(sec, 4);  // d, p, q, u = p^-1 mod q
      EVP_PKEY* ossl = pktest::RSAPrivateKey(n[0], n[1], s[0], s[2], s[1], s[3]);
      EXPECT_NE(ossl, nullptr);
      out.publicPem = WritePem(name + ".pub.pem", ossl, false);
      out.privatePem = WritePem(name + ".sec.pem", ossl, true);
      EVP_PKEY_free(ossl);
      pktest::FreeAll(n);
      pktest::FreeAll(s);
    } else {
      std::vector<BIGNUM*> n = pktest::KeyParams(pub, 4);  // p, q, g, y
      EVP_PKEY* ossl = pktest::DSAPublicKey(n[0], n[1], n[2], n[3]);
      EXPECT_NE(ossl, nullptr);
      out.publicPem = WritePem(name + ".pub.pem", ossl, false);
      EVP_PKEY_free(ossl);
      pktest::FreeAll(n);
    }
    out.publicLength = pub->bufferLength(pub);
    pub->destroy(pub);
    EXPECT_EQ(sec->changeLock(sec, qoxContextGetEnvironment(context_), qoxContextGetDummyRandomContext(context_),
                              kPassphrase, kPassphraseLength, kIteratedSalted),
              0);
    out.lockedBody.assign(clear.begin() + header, clear.begin() + prefix);
    const size_t at = out.lockedBody.size();
    out.lockedBody.resize(at + sec->bufferLength(sec));
    sec->toBuffer(sec, out.lockedBody.data() + at);
    sec->destroy(sec);
    Bytes stream = keydb_test::NewPacket(kQOXPktTag_SecretKey, out.lockedBody);
    for (size_t i = 1; i < packets.size(); ++i) stream = Cat(stream, packets[i].bytes);
    // The key is the first one the reading adds (the signers' dummies follow).
    QOXKeyDBObj* last = db_->lastKey;
    EXPECT_EQ(Read(stream), 0);
    out.key = last != nullptr ? last->next : db_->firstKey;
    return out;
  }

  QOXHashContext* Hash(QOXHashAlgorithm algorithm, const Bytes& message) {
    QOXHashContext* hash = nullptr;
    EXPECT_EQ(QOXNewHashContext(context_, algorithm, &hash), 0);
    EXPECT_EQ(QOXContinueHash(hash, message.data(), message.size()), 0);
    return hash;
  }

  QOXPrivateKeyContext* Private(QOXKeyDBObj* key, int32_t format) {
    QOXPrivateKeyContext* c = nullptr;
    EXPECT_EQ(QOXNewPrivateKeyContext(key, format, &c, QOXOPassphrase(context_, kPassphrase), QOXOLastOption(context_)),
              0);
    return c;
  }
  QOXPublicKeyContext* Public(QOXKeyDBObj* key, int32_t format) {
    QOXPublicKeyContext* c = nullptr;
    EXPECT_EQ(QOXNewPublicKeyContext(key, format, &c), 0);
    return c;
  }

  ostrak_test::CountingMemoryMgr counts_;
  std::vector<std::string> files_;
};

// Carol's RSA key: format 2 signatures both ways through `openssl dgst`,
// the TLS form (format 4 over MD5 || SHA-1, no DigestInfo) through
// `openssl pkeyutl`, and encryption round trips both ways.
TEST_F(PkContextTest, RsaSignaturesAndEncryptionAgainstOpenSSL) {
  const LockedKey carol = Load("carol");
  ASSERT_NE(carol.key, nullptr);
  // The lock: S = 255, CAST5, iterated and salted string-to-key.
  const size_t framing = 6 + carol.publicLength;
  ASSERT_GT(carol.lockedBody.size(), framing + 3);
  EXPECT_EQ(carol.lockedBody[framing], kS2KSpecifierFollows);
  EXPECT_EQ(carol.lockedBody[framing + 1], kCAST5);
  EXPECT_EQ(carol.lockedBody[framing + 2], kIteratedSalted);
  bool locked = false;
  EXPECT_EQ(qoxSecProperties(carol.key, &locked, nullptr, nullptr, nullptr), 0);
  EXPECT_TRUE(locked);

  const Bytes message = Text("A message Carol signs, and OpenSSL checks.");
  const std::string messagePath = Write("message", message);
  QOXPrivateKeyContext* priv = Private(carol.key, kPKCS1);
  QOXPublicKeyContext* pub = Public(carol.key, kPKCS1);
  ASSERT_NE(priv, nullptr);
  ASSERT_NE(pub, nullptr);
  EXPECT_EQ(pub->isSubkey, 0);
  EXPECT_EQ(pub->canVerify + pub->canEncrypt + priv->canSign + priv->canDecrypt, 4);
  size_t maxDecrypted = 0, maxEncrypted = 0, maxSignature = 0;
  ASSERT_EQ(QOXGetPrivateKeyOperationSizes(priv, &maxDecrypted, &maxEncrypted, &maxSignature), 0);
  EXPECT_EQ(maxEncrypted, 256u);
  EXPECT_EQ(maxSignature, 256u);
  EXPECT_EQ(maxDecrypted, 253u);
  size_t publicSignature = 0;
  ASSERT_EQ(QOXGetPublicKeyOperationSizes(pub, nullptr, nullptr, &publicSignature), 0);
  EXPECT_EQ(publicSignature, maxSignature);

  // Format 2, SHA-1: ours checked by openssl, openssl's by ours.
  Bytes sig(maxSignature);
  size_t length = 0;
  ASSERT_EQ(QOXPrivateKeySign(priv, Hash(kQOXHashAlgorithm_SHA, message), sig.data(), &length), 0);
  ASSERT_EQ(length, 256u);
  const std::string sigPath = Write("sig", sig);
  EXPECT_TRUE(OpenSSL("dgst -sha1 -verify " + carol.publicPem + " -signature " + sigPath + " " + messagePath));
  EXPECT_EQ(QOXPublicKeyVerifySignature(pub, Hash(kQOXHashAlgorithm_SHA, message), sig.data(), sig.size()), 0);
  // The hash context is consumed: every block of it is back.
  const long before = counts_.live();
  QOXHashContext* hash = Hash(kQOXHashAlgorithm_SHA, message);
  EXPECT_GT(counts_.live(), before);
  EXPECT_EQ(QOXPublicKeyVerifySignature(pub, hash, sig.data(), sig.size()), 0);
  EXPECT_EQ(counts_.live(), before);
  EXPECT_TRUE(counts_.WasFreed(hash));
  EXPECT_EQ(QOXPublicKeyVerifySignature(pub, Hash(kQOXHashAlgorithm_SHA, Text("another")), sig.data(), sig.size()),
            kQOXErrBadSignature);
  EXPECT_EQ(QOXPublicKeyVerifySignature(pub, Hash(kQOXHashAlgorithm_MD5, message), sig.data(), sig.size()),
            kQOXErrBadSignature)
      << "a digest of another hash";
  EXPECT_EQ(QOXPublicKeyVerifySignature(pub, Hash(kQOXHashAlgorithm_SHA, message), sig.data(), 3),
            kQOXErrBadSignature)
      << "a malformed signature is a bad one, whatever the key layer says";
  const std::string theirsPath = Temp("osig");
  ASSERT_TRUE(OpenSSL("dgst -sha1 -sign " + carol.privatePem + " -out " + theirsPath + " " + messagePath));
  const Bytes theirs = pktest::ReadFile(theirsPath);
  EXPECT_EQ(theirs, sig) << "PKCS #1 v1.5 signatures are deterministic";
  EXPECT_EQ(QOXPublicKeyVerifySignature(pub, Hash(kQOXHashAlgorithm_SHA, message), theirs.data(), theirs.size()), 0);

  // Encryption, format 2: ours opened by openssl, openssl's by ours.
  const Bytes secret = Text("a 24-byte session secret");
  Bytes esk(maxEncrypted);
  ASSERT_EQ(QOXPublicKeyEncrypt(pub, secret.data(), secret.size(), esk.data(), &length), 0);
  ASSERT_EQ(length, 256u);
  const std::string eskPath = Write("esk", esk);
  const std::string plainPath = Temp("plain");
  ASSERT_TRUE(OpenSSL("pkeyutl -decrypt -inkey " + carol.privatePem + " -pkeyopt rsa_padding_mode:pkcs1 -in " +
                      eskPath + " -out " + plainPath));
  EXPECT_EQ(pktest::ReadFile(plainPath), secret);
  const std::string secretPath = Write("secret", secret);
  const std::string theirEskPath = Temp("oesk");
  ASSERT_TRUE(OpenSSL("pkeyutl -encrypt -pubin -inkey " + carol.publicPem + " -pkeyopt rsa_padding_mode:pkcs1 -in " +
                      secretPath + " -out " + theirEskPath));
  const Bytes theirEsk = pktest::ReadFile(theirEskPath);
  Bytes plain(maxDecrypted);
  ASSERT_EQ(QOXPrivateKeyDecrypt(priv, theirEsk.data(), theirEsk.size(), plain.data(), &length), 0);
  plain.resize(length);
  EXPECT_EQ(plain, secret);
  Bytes damaged = theirEsk;
  damaged[100] ^= 1;
  length = 99;
  EXPECT_LT(QOXPrivateKeyDecrypt(priv, damaged.data(), damaged.size(), plain.data(), &length), 0);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(QOXFreePrivateKeyContext(priv), 0);
  EXPECT_EQ(QOXFreePublicKeyContext(pub), 0);

  // Format 4: the TLS signature over MD5 || SHA-1, checked by openssl given
  // the 36 raw bytes, and identical to openssl's own.
  priv = Private(carol.key, kRaw);
  pub = Public(carol.key, kRaw);
  ASSERT_NE(priv, nullptr);
  ASSERT_NE(pub, nullptr);
  const Bytes digest = Cat(pktest::Digest(HashMD5, message), pktest::Digest(HashSHA, message));
  ASSERT_EQ(digest.size(), 36u);
  Bytes raw(maxSignature);
  ASSERT_EQ(QOXPrivateKeySignRaw(priv, digest.data(), digest.size(), raw.data(), &length), 0);
  ASSERT_EQ(length, 256u);
  const std::string digestPath = Write("digest36", digest);
  const std::string rawPath = Write("raw", raw);
  EXPECT_TRUE(OpenSSL("pkeyutl -verify -pubin -inkey " + carol.publicPem +
                      " -pkeyopt rsa_padding_mode:pkcs1 -in " + digestPath + " -sigfile " + rawPath));
  const std::string theirRawPath = Temp("oraw");
  ASSERT_TRUE(OpenSSL("pkeyutl -sign -inkey " + carol.privatePem + " -pkeyopt rsa_padding_mode:pkcs1 -in " +
                      digestPath + " -out " + theirRawPath));
  EXPECT_EQ(pktest::ReadFile(theirRawPath), raw);
  EXPECT_EQ(QOXPublicKeyVerifyRaw(pub, digest.data(), digest.size(), raw.data(), raw.size()), 0);
  Bytes wrong = digest;
  wrong[35] ^= 0x80;
  EXPECT_EQ(QOXPublicKeyVerifyRaw(pub, wrong.data(), wrong.size(), raw.data(), raw.size()), kQOXErrBadSignature);
  EXPECT_EQ(QOXPublicKeyVerifyRaw(pub, digest.data(), 20, raw.data(), raw.size()), kQOXErrBadSignature);
  EXPECT_EQ(QOXFreePrivateKeyContext(priv), 0);
  EXPECT_EQ(QOXFreePublicKeyContext(pub), 0);
}

// Bob's DSA key: a format 3 (DER) signature that openssl checks, raw
// signatures in format 2, and the operations a DSA key lacks.
TEST_F(PkContextTest, DsaSignaturesAgainstOpenSSL) {
  const LockedKey bob = Load("bob");
  ASSERT_NE(bob.key, nullptr);
  EXPECT_EQ(bob.lockedBody[6 + bob.publicLength + 1], kCAST5);
  const Bytes message = Text("Bob signs with DSA.");
  const std::string messagePath = Write("message", message);
  QOXPrivateKeyContext* priv = Private(bob.key, kDER);
  QOXPublicKeyContext* pub = Public(bob.key, kDER);
  ASSERT_NE(priv, nullptr);
  ASSERT_NE(pub, nullptr);
  EXPECT_EQ(priv->canDecrypt, 0);
  EXPECT_EQ(pub->canEncrypt, 0);
  size_t maxDecrypted = 1, maxEncrypted = 1, maxSignature = 0;
  ASSERT_EQ(QOXGetPublicKeyOperationSizes(pub, &maxDecrypted, &maxEncrypted, &maxSignature), 0);
  EXPECT_EQ(maxDecrypted, 0u);
  EXPECT_EQ(maxEncrypted, 0u);
  ASSERT_GE(maxSignature, 46u);
  Bytes sig(maxSignature);
  size_t length = 0;
  ASSERT_EQ(QOXPrivateKeySign(priv, Hash(kQOXHashAlgorithm_SHA, message), sig.data(), &length), 0);
  sig.resize(length);
  EXPECT_EQ(sig[0], 0x30) << "a DER SEQUENCE of r and s";
  const std::string sigPath = Write("sig", sig);
  EXPECT_TRUE(OpenSSL("dgst -sha1 -verify " + bob.publicPem + " -signature " + sigPath + " " + messagePath));
  EXPECT_EQ(QOXPublicKeyVerifySignature(pub, Hash(kQOXHashAlgorithm_SHA, message), sig.data(), sig.size()), 0);
  EXPECT_EQ(QOXPublicKeyVerifySignature(pub, Hash(kQOXHashAlgorithm_SHA, Text("other")), sig.data(), sig.size()),
            kQOXErrBadSignature);

  // What DSA cannot do: refused before the key is asked.
  const Bytes block = Text("session");
  Bytes out(64);
  length = 5;
  EXPECT_EQ(QOXPublicKeyEncrypt(pub, block.data(), block.size(), out.data(), &length), kQOXErrFeatureNotAvailable);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(QOXPrivateKeyDecrypt(priv, block.data(), block.size(), out.data(), &length), kQOXErrFeatureNotAvailable);
  EXPECT_EQ(QOXFreePrivateKeyContext(priv), 0);
  EXPECT_EQ(QOXFreePublicKeyContext(pub), 0);

  // Raw digests in format 2 (r and s at the width of q).
  priv = Private(bob.key, kPKCS1);
  pub = Public(bob.key, kPKCS1);
  ASSERT_NE(priv, nullptr);
  ASSERT_NE(pub, nullptr);
  const Bytes digest = pktest::Digest(HashSHA, message);
  Bytes raw(maxSignature);
  ASSERT_EQ(QOXPrivateKeySignRaw(priv, digest.data(), digest.size(), raw.data(), &length), 0);
  EXPECT_EQ(length, 40u);
  EXPECT_EQ(QOXPublicKeyVerifyRaw(pub, digest.data(), digest.size(), raw.data(), length), 0);
  raw[0] ^= 1;
  EXPECT_EQ(QOXPublicKeyVerifyRaw(pub, digest.data(), digest.size(), raw.data(), length), kQOXErrBadSignature);
  EXPECT_EQ(QOXFreePrivateKeyContext(priv), 0);
  EXPECT_EQ(QOXFreePublicKeyContext(pub), 0);
}

// The passphrase of a private context: refused when wrong or missing (no
// context made, nothing left behind), a passkey in its place, the cache,
// and the copy wiped when the context goes.
TEST_F(PkContextTest, PassphrasesPasskeysAndTheCache) {
  const LockedKey carol = Load("carol");
  ASSERT_NE(carol.key, nullptr);
  const Bytes digest = pktest::Digest(HashSHA, Text("m"));
  Bytes sig(256);
  size_t length = 0;
  // Warm the context's generators before counting blocks.
  QOXPrivateKeyContext* c = Private(carol.key, kRaw);
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(QOXPrivateKeySignRaw(c, digest.data(), digest.size(), sig.data(), &length), 0);
  void* record = c;
  void* copy = c->passphrase;
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(c->passphraseLength, kPassphraseLength);
  EXPECT_EQ(c->hashed, 0u);
  EXPECT_EQ(QOXFreePrivateKeyContext(c), 0);
  EXPECT_TRUE(counts_.FreedWiped(record));
  EXPECT_TRUE(counts_.FreedWiped(copy));

  // The context's passphrase cache is made on first use.
  EXPECT_EQ(QOXNewPrivateKeyContext(carol.key, kRaw, &c, QOXOLastOption(context_)), kQOXErrBadPassphrase);
  const long base = counts_.live();
  struct Refused {
    const char* what;
    std::function<std::vector<QOXOptionListRef>()> options;
    QOXError error;
  };
  const Refused refused[] = {
      {"wrong passphrase", [&] { return std::vector{QOXOPassphrase(context_, "fixturf")}; }, kQOXErrBadPassphrase},
      {"no passphrase", [] { return std::vector<QOXOptionListRef>{}; }, kQOXErrBadPassphrase},
      {"empty passphrase", [&] { return std::vector{QOXOPassphraseBuffer(context_, "", 0)}; }, kQOXErrBadPassphrase},
      {"a wrong passkey", [&] { return std::vector{QOXOPasskeyBuffer(context_, "0123456789abcdef", 16)}; },
       kQOXErrBadPassphrase},
      {"an option outside the set",
       [&] { return std::vector{QOXOPassphrase(context_, kPassphrase), QOXOArmorOutput(context_, true)}; },
       kQOXErrBadParams},
      {"two passphrases",
       [&] { return std::vector{QOXOPassphrase(context_, kPassphrase), QOXOPassphrase(context_, kPassphrase)}; },
       kQOXErrRedundantOptions},
  };
  for (const Refused& r : refused) {
    SCOPED_TRACE(r.what);
    const std::vector<QOXOptionListRef> options = r.options();
    c = reinterpret_cast<QOXPrivateKeyContext*>(&length);
    QOXError err = kQOXErrNoErr;
    switch (options.size()) {
      case 0:
        err = QOXNewPrivateKeyContext(carol.key, kRaw, &c, QOXOLastOption(context_));
        break;
      case 1:
        err = QOXNewPrivateKeyContext(carol.key, kRaw, &c, options[0], QOXOLastOption(context_));
        break;
      default:
        err = QOXNewPrivateKeyContext(carol.key, kRaw, &c, options[0], options[1], QOXOLastOption(context_));
    }
    EXPECT_EQ(err, r.error);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(counts_.live(), base) << "the option lists are consumed and no context is kept";
  }

  // A passkey (the CAST5 key itself) stands for the passphrase; a
  // passphrase, when given, is the one looked at.
  QOXSecKey* sec = qoxSecSecKey(carol.key, 0);
  ASSERT_NE(sec, nullptr);
  uint8_t passkey[kQOXMaxCipherKeySize];
  ASSERT_EQ(sec->convertpassphrase(sec, qoxContextGetEnvironment(context_), kPassphrase, kPassphraseLength, passkey),
            0);
  sec->destroy(sec);
  ASSERT_EQ(QOXNewPrivateKeyContext(carol.key, kRaw, &c, QOXOPasskeyBuffer(context_, passkey, 16),
                                    QOXOLastOption(context_)),
            0);
  EXPECT_EQ(c->hashed, 1u);
  ASSERT_EQ(QOXPrivateKeySignRaw(c, digest.data(), digest.size(), sig.data(), &length), 0)
      << "each operation unlocks with the passkey";
  EXPECT_EQ(QOXFreePrivateKeyContext(c), 0);
  ASSERT_EQ(QOXNewPrivateKeyContext(carol.key, kRaw, &c, QOXOPasskeyBuffer(context_, "0123456789abcdef", 16),
                                    QOXOPassphrase(context_, kPassphrase), QOXOLastOption(context_)),
            0);
  EXPECT_EQ(c->hashed, 0u);
  EXPECT_EQ(QOXFreePrivateKeyContext(c), 0);

  // Caching: the passphrase given once serves a context made without one,
  // until the cache is purged.
  ASSERT_EQ(QOXNewPrivateKeyContext(carol.key, kRaw, &c, QOXOPassphrase(context_, kPassphrase),
                                    QOXOCachePassphrase(context_, 600, false), QOXOLastOption(context_)),
            0);
  EXPECT_EQ(QOXFreePrivateKeyContext(c), 0);
  ASSERT_EQ(QOXNewPrivateKeyContext(carol.key, kRaw, &c, QOXOLastOption(context_)), 0);
  EXPECT_EQ(c->passphrase, nullptr);
  EXPECT_EQ(QOXPrivateKeySignRaw(c, digest.data(), digest.size(), sig.data(), &length), 0);
  EXPECT_EQ(QOXFreePrivateKeyContext(c), 0);
  ASSERT_EQ(QOXPurgePassphraseCache(context_), 0);
  EXPECT_EQ(QOXNewPrivateKeyContext(carol.key, kRaw, &c, QOXOLastOption(context_)), kQOXErrBadPassphrase);
  EXPECT_EQ(c, nullptr);
}

// Capabilities are read from the key when the context is made: a disabled
// key neither encrypts nor signs (-11975, the hash context left to the
// caller), a key that serves nothing gets no context, and bad arguments
// are refused before anything else.
TEST_F(PkContextTest, CapabilitiesAndArguments) {
  const LockedKey carol = Load("carol");
  ASSERT_NE(carol.key, nullptr);
  KeyInfo* info = qoxKeyToKeyInfo(carol.key);
  info->keyTrust |= kQOXKeyTrust_Disabled;
  QOXPublicKeyContext* pub = Public(carol.key, kPKCS1);
  QOXPrivateKeyContext* priv = Private(carol.key, kPKCS1);
  ASSERT_NE(pub, nullptr);
  ASSERT_NE(priv, nullptr);
  info->keyTrust &= static_cast<uint8_t>(~kQOXKeyTrust_Disabled);
  EXPECT_EQ(pub->canVerify, 1);
  EXPECT_EQ(pub->canEncrypt, 0);
  EXPECT_EQ(priv->canSign, 0);
  EXPECT_EQ(priv->canDecrypt, 1);
  const Bytes data = Text("data");
  Bytes out(256);
  size_t length = 0;
  EXPECT_EQ(QOXPublicKeyEncrypt(pub, data.data(), data.size(), out.data(), &length), kQOXErrFeatureNotAvailable)
      << "the capability read when the context was made holds";
  QOXHashContext* hash = Hash(kQOXHashAlgorithm_SHA, data);
  EXPECT_EQ(QOXPrivateKeySign(priv, hash, out.data(), &length), kQOXErrFeatureNotAvailable);
  EXPECT_EQ(QOXContinueHash(hash, data.data(), data.size()), 0) << "a refused sign leaves the hash context";
  EXPECT_EQ(QOXFreeHashContext(hash), 0);
  EXPECT_EQ(QOXPrivateKeySignRaw(priv, data.data(), data.size(), out.data(), &length), kQOXErrFeatureNotAvailable);

  // Sizes: with no out-parameter the key is not asked (here a front end's
  // back end would be); with one it is.
  {
    ostrak_test::ScopedServices<QOXRPCClientServices> back(qoxRPCClientServices, qoxRegisterRPCClientServices);
    back->qoxRPCEnabled = [] { return true; };
    back->qoxKeyMaxSizes_backRPC = [](QOXContext*, uintptr_t, size_t*, size_t*, size_t* outMaxSignature,
                                      int format) {
      ++sizesAsked;
      if (outMaxSignature != nullptr) *outMaxSignature = static_cast<size_t>(format) * 100;
      return kQOXErrNoErr;
    };
    sizesAsked = 0;
    db_->backendID = 1;
    EXPECT_EQ(QOXGetPublicKeyOperationSizes(pub, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(QOXGetPrivateKeyOperationSizes(priv, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(sizesAsked, 0);
    size_t maxSignature = 0;
    EXPECT_EQ(QOXGetPublicKeyOperationSizes(pub, nullptr, nullptr, &maxSignature), 0);
    db_->backendID = 0;
    EXPECT_EQ(sizesAsked, 1);
    EXPECT_EQ(maxSignature, 200u);
  }

  // Raw operations only in formats 2-4; required arguments.
  QOXPublicKeyContext* mpiPub = Public(carol.key, kMPI);
  QOXPrivateKeyContext* mpiPriv = Private(carol.key, kMPI);
  ASSERT_NE(mpiPub, nullptr);
  ASSERT_NE(mpiPriv, nullptr);
  EXPECT_EQ(QOXPublicKeyVerifyRaw(mpiPub, data.data(), data.size(), out.data(), 256), kQOXErrBadParams);
  EXPECT_EQ(QOXPrivateKeySignRaw(mpiPriv, data.data(), data.size(), out.data(), &length), kQOXErrBadParams);
  EXPECT_EQ(QOXPrivateKeySignRaw(priv, data.data(), data.size(), nullptr, &length), kQOXErrBadParams);
  EXPECT_EQ(QOXPublicKeyEncrypt(mpiPub, data.data(), 0, out.data(), &length), kQOXErrBadParams);
  EXPECT_EQ(QOXPublicKeyEncrypt(mpiPub, nullptr, 4, out.data(), &length), kQOXErrBadParams);
  EXPECT_EQ(QOXPrivateKeyDecrypt(mpiPriv, data.data(), data.size(), nullptr, &length), kQOXErrBadParams);
  EXPECT_EQ(QOXPublicKeyVerifySignature(mpiPub, nullptr, out.data(), 256), kQOXErrBadParams);
  EXPECT_EQ(QOXFreePublicKeyContext(reinterpret_cast<QOXPublicKeyContext*>(mpiPriv)), kQOXErrBadParams)
      << "a private context is no public one";
  for (QOXPublicKeyContext* p : {pub, mpiPub}) EXPECT_EQ(QOXFreePublicKeyContext(p), 0);
  for (QOXPrivateKeyContext* p : {priv, mpiPriv}) EXPECT_EQ(QOXFreePrivateKeyContext(p), 0);

  // Making a context: formats, objects, out-parameters. Format 5 is
  // refused before the object is looked at (this one is no object).
  const long base = counts_.live();
  QOXKeyDBObj* notAnObject = reinterpret_cast<QOXKeyDBObj*>(uintptr_t{8});
  QOXKeyDBObj* userID = Children(carol.key, kQOXKeyDBObjType_UserID)[0];
  struct Case {
    const char* what;
    QOXKeyDBObj* object;
    int32_t format;
  };
  const Case cases[] = {{"format 0", carol.key, 0},      {"format 5", notAnObject, 5},
                        {"format -1", carol.key, -1},    {"a user ID", userID, kPKCS1},
                        {"no object", nullptr, kPKCS1}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    pub = reinterpret_cast<QOXPublicKeyContext*>(&length);
    EXPECT_EQ(QOXNewPublicKeyContext(k.object, k.format, &pub), kQOXErrBadParams);
    EXPECT_EQ(pub, nullptr);
    priv = reinterpret_cast<QOXPrivateKeyContext*>(&length);
    EXPECT_EQ(QOXNewPrivateKeyContext(k.object, k.format, &priv, QOXOPassphrase(context_, kPassphrase),
                                      QOXOLastOption(context_)),
              kQOXErrBadParams);
    EXPECT_EQ(priv, nullptr);
  }
  EXPECT_EQ(QOXNewPublicKeyContext(carol.key, kPKCS1, nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXNewPrivateKeyContext(carol.key, kPKCS1, nullptr, QOXOPassphrase(context_, kPassphrase),
                                    QOXOLastOption(context_)),
            kQOXErrBadParams);
  EXPECT_EQ(counts_.live(), base) << "refused option lists are consumed too";

  // A public key can neither sign nor decrypt; an RSA key above 4096 bits
  // serves nothing at all.
  QOXKeyDB* publicDB = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &publicDB), 0);
  ASSERT_EQ(Read(keydb_test::ReadFile("carol.bin"), false, publicDB), 0);
  QOXKeyDBObj* carolPublic = publicDB->firstKey;
  ASSERT_NE(carolPublic, nullptr);
  EXPECT_EQ(QOXNewPrivateKeyContext(carolPublic, kPKCS1, &priv, QOXOLastOption(context_)), kQOXErrBadParams);
  EXPECT_EQ(priv, nullptr);
  const uint16_t bits = info->bits;
  info->bits = 8192;
  EXPECT_EQ(QOXNewPublicKeyContext(carol.key, kPKCS1, &pub), kQOXErrBadParams);
  EXPECT_EQ(pub, nullptr);
  info->bits = bits;
  ASSERT_EQ(QOXFreeKeyDB(publicDB), 0);
}

// A subkey context: is-subkey set, capabilities of the key above it, and
// the operations the key database picks for each use (alice's ElGamal
// subkey encrypts, her RSA key signs).
TEST_F(PkContextTest, SubkeyContexts) {
  ASSERT_EQ(ReadFixture("alice.sec.bin"), 0);
  QOXKeyDBObj* alice = db_->firstKey;
  ASSERT_NE(alice, nullptr);
  QOXKeyDBObj* sub = Children(alice, kQOXKeyDBObjType_SubKey)[0];
  QOXPublicKeyContext* pub = Public(sub, kMPI);
  QOXPrivateKeyContext* priv = nullptr;
  ASSERT_EQ(QOXNewPrivateKeyContext(sub, kMPI, &priv, QOXOLastOption(context_)), 0) << "an unprotected key";
  ASSERT_NE(pub, nullptr);
  EXPECT_EQ(pub->isSubkey, 1);
  EXPECT_EQ(priv->isSubkey, 1);
  EXPECT_EQ(pub->canVerify + pub->canEncrypt + priv->canSign + priv->canDecrypt, 4);
  const Bytes session = {9, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  size_t maxDecrypted = 0, maxEncrypted = 0, maxSignature = 0;
  ASSERT_EQ(QOXGetPrivateKeyOperationSizes(priv, &maxDecrypted, &maxEncrypted, &maxSignature), 0);
  Bytes esk(maxEncrypted), plain(maxDecrypted), sig(maxSignature);
  size_t length = 0;
  ASSERT_EQ(QOXPublicKeyEncrypt(pub, session.data(), session.size(), esk.data(), &length), 0);
  ASSERT_EQ(QOXPrivateKeyDecrypt(priv, esk.data(), length, plain.data(), &length), 0);
  plain.resize(length);
  EXPECT_EQ(plain, session);
  const Bytes message = Text("signed through the subkey's context");
  ASSERT_EQ(QOXPrivateKeySign(priv, Hash(kQOXHashAlgorithm_SHA, message), sig.data(), &length), 0);
  EXPECT_EQ(QOXPublicKeyVerifySignature(pub, Hash(kQOXHashAlgorithm_SHA, message), sig.data(), length), 0);
  const Bytes digest = pktest::Digest(HashSHA, message);
  EXPECT_EQ(qoxKeyVerify(alice, sig.data(), length, kQOXHashAlgorithm_SHA, digest.data(), digest.size(), kMPI), 1)
      << "made by alice's RSA key";
  EXPECT_EQ(QOXFreePrivateKeyContext(priv), 0);
  EXPECT_EQ(QOXFreePublicKeyContext(pub), 0);
}

// Making a context with a memory manager that refuses: an error, no
// context and nothing left behind, whichever allocation fails.
TEST_F(PkContextTest, RefusedMemoryLeavesNothing) {
  const LockedKey carol = Load("carol");
  ASSERT_NE(carol.key, nullptr);
  QOXPrivateKeyContext* warm = Private(carol.key, kPKCS1);
  ASSERT_NE(warm, nullptr);
  EXPECT_EQ(QOXFreePrivateKeyContext(warm), 0);
  int failed = 0;
  for (long budget = 0; budget < 40; ++budget) {
    SCOPED_TRACE(budget);
    const long base = counts_.live();
    QOXOptionListRef passphrase = QOXOPassphrase(context_, kPassphrase);
    QOXPrivateKeyContext* priv = nullptr;
    QOXPublicKeyContext* pub = nullptr;
    counts_.FailAfter(budget);
    const QOXError privateErr = QOXNewPrivateKeyContext(carol.key, kPKCS1, &priv, passphrase, QOXOLastOption(context_));
    const QOXError publicErr = QOXNewPublicKeyContext(carol.key, kPKCS1, &pub);
    counts_.FailAfter(-1);
    if (privateErr != kQOXErrNoErr) {
      ++failed;
      EXPECT_TRUE(privateErr == kQOXErrOutOfMemory || privateErr == kQOXErrBadPassphrase) << privateErr;
      EXPECT_EQ(priv, nullptr);
    }
    if (publicErr != kQOXErrNoErr) {
      EXPECT_EQ(publicErr, kQOXErrOutOfMemory);
      EXPECT_EQ(pub, nullptr);
    }
    if (priv != nullptr) {
      EXPECT_EQ(QOXFreePrivateKeyContext(priv), 0);
    }
    if (pub != nullptr) {
      EXPECT_EQ(QOXFreePublicKeyContext(pub), 0);
    }
    EXPECT_EQ(counts_.live(), base);
  }
  EXPECT_GT(failed, 0);
}

}  // namespace
