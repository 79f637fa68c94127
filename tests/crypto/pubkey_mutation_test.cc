// Random mutations of outside bytes read by the public-key code: key
// bodies (public, clear and protected secret), signatures and encrypted
// session keys. Each read must end in a key or a defined error, never a
// crash or a read outside the bytes given (the sanitizer build watches).
#include <random>

#include "tests/crypto/pubkey_test_support.h"

namespace {

using namespace pktest;

Bytes Mutate(std::mt19937& rng, const Bytes& in) {
  Bytes b = in;
  switch (rng() % 4) {
    case 0:  // cut
      b.resize(rng() % (b.size() + 1));
      break;
    case 1:  // flip a few bytes
      for (int i = 0, n = 1 + static_cast<int>(rng() % 4); i < n && !b.empty(); ++i) b[rng() % b.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
      break;
    case 2:  // insert a byte
      b.insert(b.begin() + static_cast<long>(rng() % (b.size() + 1)), static_cast<uint8_t>(rng()));
      break;
    default:  // set a length-like byte high
      if (!b.empty()) b[rng() % std::min<size_t>(b.size(), 8)] = 0xFF;
      break;
  }
  return b;
}

class PubKeyMutationTest : public PubKeyTest {
 protected:
  struct Material {
    uint32_t algorithm;
    Bytes publicBody, clearBody, lockedBody, message;
    int format;
  };

  Material Make(uint32_t algorithm, unsigned bits) {
    QOXError err = 0;
    QOXSecKey* key = qoxSecKeyGenerate(context_, qoxPkalgByNumber(algorithm), bits, true, false, rc_, nullptr, nullptr, &err);
    EXPECT_NE(key, nullptr) << err;
    Material m{algorithm, {}, {}, {}, {}, algorithm == 17 ? kQOXPublicKeyFormat_X509 : kQOXPublicKeyFormat_MPI};
    QOXPubKey* pub = key->pubkey(key);
    m.publicBody.resize(pub->bufferLength(pub));
    pub->toBuffer(pub, m.publicBody.data());
    m.clearBody.resize(key->bufferLength(key));
    key->toBuffer(key, m.clearBody.data());
    Bytes digest = Digest(HashSHA, {1});
    if (algorithm == 16) {
      Bytes session = {9, 1, 2, 3, 4, 5, 6, 7, 8};
      m.message.resize(pub->maxesk(pub, m.format));
      size_t length = 0;
      EXPECT_EQ(pub->encrypt(pub, session.data(), session.size(), m.message.data(), &length, rc_, m.format), 0);
      m.message.resize(length);
    } else {
      m.message.resize(key->maxsig(key, m.format));
      size_t length = 0;
      EXPECT_EQ(key->sign(key, &HashSHA, digest.data(), m.message.data(), &length, rc_, m.format), 0);
      m.message.resize(length);
    }
    EXPECT_EQ(key->changeLock(key, env_, rc_, "pw", 2, 3), 0);
    m.lockedBody.resize(key->bufferLength(key));
    key->toBuffer(key, m.lockedBody.data());
    pub->destroy(pub);
    key->destroy(key);
    return m;
  }

  void Exercise(const Material& m, std::mt19937& rng, int rounds) {
    Bytes digest = Digest(HashSHA, {1});
    QOXError err = 0;
    QOXPubKey* pub = qoxPubKeyFromBuf(context_, m.algorithm, m.publicBody.data(), m.publicBody.size(), &err);
    QOXSecKey* sec = qoxSecKeyFromBuf(context_, m.algorithm, m.clearBody.data(), m.clearBody.size(), 0, &err);
    ASSERT_NE(pub, nullptr);
    ASSERT_NE(sec, nullptr);
    for (int i = 0; i < rounds; ++i) {
      Bytes body = Mutate(rng, m.publicBody);
      QOXPubKey* k = qoxPubKeyFromBuf(context_, m.algorithm, body.data(), body.size(), &err);
      EXPECT_TRUE(k != nullptr ? err == 0 : err < 0);
      if (k != nullptr) k->destroy(k);

      for (const Bytes* source : {&m.clearBody, &m.lockedBody}) {
        body = Mutate(rng, *source);
        QOXSecKey* s = qoxSecKeyFromBuf(context_, m.algorithm, body.data(), body.size(), 0, &err);
        EXPECT_TRUE(s != nullptr ? err == 0 : err < 0);
        if (s != nullptr) {
          int unlocked = s->unlock(s, "pw", 2, 0);
          EXPECT_LE(unlocked, 1);
          s->destroy(s);
        }
      }

      Bytes message = Mutate(rng, m.message);
      const uint8_t* bytes = message.empty() ? digest.data() : message.data();
      if (m.algorithm == 16) {
        Bytes out(sec->maxdecrypted(sec));
        size_t length = 0;
        QOXError result = sec->decrypt(sec, bytes, message.size(), out.data(), &length, nullptr, 0, m.format);
        EXPECT_TRUE(result <= 0);
        if (result == 0) {
          EXPECT_LE(length, out.size());
        }
      } else {
        int verdict = pub->verify(pub, bytes, message.size(), &HashSHA, digest.data(), m.format);
        EXPECT_LE(verdict, 1);
      }
    }
    pub->destroy(pub);
    sec->destroy(sec);
  }
};

TEST_F(PubKeyMutationTest, MutatedInputsEndInKeysOrErrors) {
  std::mt19937 rng(2026);
  struct Row {
    uint32_t algorithm;
    unsigned bits;
  } rows[] = {{1, 768}, {17, 1024}, {16, 1536}};
  for (const Row& row : rows) {
    Material m = Make(row.algorithm, row.bits);
    Exercise(m, rng, 400);
  }
}

// The RSA reader of the DER form takes any length; the RSA decrypter any
// form; both stay inside their bytes.
TEST_F(PubKeyMutationTest, RSAFormsOnMutatedInput) {
  std::mt19937 rng(17);
  Material m = Make(1, 768);
  QOXError err = 0;
  QOXPubKey* pub = qoxPubKeyFromBuf(context_, 1, m.publicBody.data(), m.publicBody.size(), &err);
  QOXSecKey* sec = qoxSecKeyFromBuf(context_, 1, m.clearBody.data(), m.clearBody.size(), 0, &err);
  ASSERT_NE(pub, nullptr);
  ASSERT_NE(sec, nullptr);
  Bytes digest = Digest(HashSHA, {1});
  for (int i = 0; i < 300; ++i) {
    for (int format : {1, 2, 3, 4}) {
      Bytes message = Mutate(rng, m.message);
      const uint8_t* bytes = message.empty() ? digest.data() : message.data();
      EXPECT_LE(pub->verify(pub, bytes, message.size(), &HashSHA, digest.data(), format), 1);
      Bytes out(sec->maxdecrypted(sec));
      size_t length = 0;
      EXPECT_LE(sec->decrypt(sec, bytes, message.size(), out.data(), &length, nullptr, 0, format), 0);
    }
  }
  pub->destroy(pub);
  sec->destroy(sec);
}

}  // namespace
