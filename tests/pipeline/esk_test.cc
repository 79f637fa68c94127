// The ESK list: the checks of qoxEskAdd, the accessors, and the session
// keys qoxEskConvDecrypt finds in gpg's session-key packets (the keys gpg
// itself reported with --show-session-key, tests/pipeline/data).
#include <gtest/gtest.h>

#include <fstream>

#include "crypto/hash.h"
#include "crypto/pkt_list.h"
#include "foundation/context.h"
#include "keydb/key_id.h"
#include "pipeline/esk.h"
#include "tests/pipeline/pipeline_test_support.h"

namespace pipeline_test {
namespace {

Bytes Data(const std::string& name) {
  std::ifstream in(std::string(OSTRAK_TEST_DATA) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return Bytes(std::istreambuf_iterator<char>(in), {});
}
// The body of the first packet of a file (new or old format, one length).
Bytes FirstBody(const Bytes& b) {
  size_t at = 1, n = 0;
  if (b[0] & 0x40) {
    if (b[at] < 192) {
      n = b[at++];
    } else {
      n = ((b[at] - 192) << 8) + b[at + 1] + 192;
      at += 2;
    }
  } else {
    size_t octets = (b[0] & 3) == 0 ? 1 : (b[0] & 3) == 1 ? 2 : 4;
    for (size_t i = 0; i < octets; ++i) n = (n << 8) | b[at++];
  }
  return Bytes(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
}
Bytes GpgSessionKey(const std::string& file) {
  std::string t = ToString(Data(file));
  Bytes key{static_cast<uint8_t>(std::stoi(t.substr(0, t.find(':'))))};
  for (size_t i = t.find(':') + 1; i + 1 < t.size() && std::isxdigit(static_cast<unsigned char>(t[i])); i += 2) {
    key.push_back(static_cast<uint8_t>(std::stoi(t.substr(i, 2), nullptr, 16)));
  }
  return key;
}

class EskTest : public PipelineTest {
 protected:
  QOXEnv* Env() { return qoxContextGetEnvironment(context_); }
  int32_t Decrypt(const Bytes& body, const std::string& passphrase, Bytes* key) {
    QOXPktList* list = nullptr;
    QOXError err = qoxEskAdd(context_, &list, kQOXAnnSKCipherESK, body.data(), body.size());
    if (err != 0) return err;
    key->assign(qoxEskMaxKeySize(list), 0);
    int32_t n = qoxEskConvDecrypt(list, Env(), passphrase.data(), passphrase.size(), key->data(), key->size());
    if (n > 0) key->resize(static_cast<size_t>(n));
    qoxEskFreeList(list);
    return n;
  }
};

// gpg's session-key packets give gpg's session keys: CAST5 without an
// encrypted session key (the passphrase's key is the session key), and
// the right length for AES-256.
TEST_F(EskTest, GpgSessionKeyPacketsGiveGpgsKeys) {
  Bytes key;
  ASSERT_EQ(Decrypt(FirstBody(Data("sym-cast5.gpg")), "fixture", &key), 17);
  EXPECT_EQ(key, GpgSessionKey("sym-cast5.key"));
  ASSERT_EQ(Decrypt(FirstBody(Data("sym-aes.gpg")), "fixture", &key), 33);
  EXPECT_EQ(key.at(0), 9);
}

// An empty symmetric-key packet stands for IDEA keyed with the MD5 of the
// passphrase.
TEST_F(EskTest, EmptyPacketMeansIdeaFromMd5) {
  QOXPktList* list = nullptr;
  ASSERT_EQ(qoxEskAdd(context_, &list, kQOXAnnSKCipherESK, nullptr, 0), 0);
  EXPECT_EQ(list->type, kQOXEskKindEmpty);
  EXPECT_EQ(qoxEskType(list), kQOXEskTypeSymmetric);
  EXPECT_EQ(qoxEskMaxKeySize(list), 33u);
  Bytes key(33);
  ASSERT_EQ(qoxEskConvDecrypt(list, Env(), "idea", 4, key.data(), key.size()), 17);
  QOXHashContext* md5 = qoxHashCreate(QOXGetDefaultMemoryMgr(), &HashMD5);
  QOXContinueHash(md5, "idea", 4);
  Bytes expect{1};
  const uint8_t* digest = qoxHashFinal(md5);
  expect.insert(expect.end(), digest, digest + 16);
  QOXFreeHashContext(md5);
  EXPECT_EQ(Bytes(key.begin(), key.begin() + 17), expect);
  qoxEskFreeList(list);
}

// What qoxEskAdd refuses, and the list it builds.
TEST_F(EskTest, PacketChecks) {
  const Bytes rsa = FirstBody(Data("pk-rsa.gpg"));       // version 3, RSA-2048
  const Bytes elg = FirstBody(Data("pk-elgamal.gpg"));   // version 3, ElGamal
  const Bytes cast = FirstBody(Data("sym-cast5.gpg"));
  Bytes v5 = rsa;
  v5[0] = 5;
  Bytes rsaLong = rsa;
  rsaLong.push_back(0);
  Bytes unknownCipher = cast;
  unknownCipher[1] = 77;
  Bytes unknownS2K = cast;
  unknownS2K[2] = 2;
  Bytes symV3 = cast;
  symV3[0] = 3;
  struct {
    const char* name;
    uint32_t annotation;
    Bytes body;
    QOXError error;
  } cases[] = {
      {"public-key, version 5", kQOXAnnPKCipherESK, v5, kQOXErrUnknownVersion},
      {"public-key, empty", kQOXAnnPKCipherESK, {}, kQOXErrSessionKeyTooShort},
      {"public-key, 9 bytes", kQOXAnnPKCipherESK, Bytes(rsa.begin(), rsa.begin() + 9), kQOXErrSessionKeyTooShort},
      {"RSA, longer than its MPI", kQOXAnnPKCipherESK, rsaLong, kQOXErrSessionKeyTooShort},
      {"RSA, shorter than its MPI", kQOXAnnPKCipherESK, Bytes(rsa.begin(), rsa.end() - 1), kQOXErrSessionKeyTooShort},
      {"symmetric, 2 bytes", kQOXAnnSKCipherESK, {4, 3}, kQOXErrSessionKeyTooShort},
      {"symmetric, version 3", kQOXAnnSKCipherESK, symV3, kQOXErrUnknownVersion},
      {"symmetric, unknown cipher", kQOXAnnSKCipherESK, unknownCipher, kQOXErrUnknownSessionKeyAlgorithm},
      {"symmetric, unknown string-to-key", kQOXAnnSKCipherESK, unknownS2K, kQOXErrUnknownSessionKeyAlgorithm},
      {"another annotation", kQOXAnnSignature, cast, kQOXErrBadParams},
      {"public-key RSA", kQOXAnnPKCipherESK, rsa, 0},
      {"public-key ElGamal", kQOXAnnPKCipherESK, elg, 0},
      {"symmetric", kQOXAnnSKCipherESK, cast, 0},
  };
  QOXPktList* list = nullptr;
  for (const auto& c : cases) {
    EXPECT_EQ(qoxEskAdd(context_, &list, c.annotation, c.body.data(), c.body.size()), c.error) << c.name;
  }
  // The three good ones, in order.
  ASSERT_NE(list, nullptr);
  const QOXPktList* e = list;
  EXPECT_EQ(e->type, kQOXEskKindPublicKey + 1);
  EXPECT_EQ(qoxEskType(e), kQOXEskTypePublicKey);
  EXPECT_EQ(qoxEskPKAlg(e), 1);
  EXPECT_EQ(qoxEskMaxKeySize(e), rsa.size() - 10);
  QOXKeyID id{};
  ASSERT_EQ(qoxGetEskKeyID(e, &id), 0);
  // As gpg listed it: "keyid D032594D89D1CD20" (pk-rsa.packets.txt).
  ASSERT_EQ(qoxKeyIDLength(&id), 8u);
  std::string hex;
  for (size_t i = 0; i < 8; ++i) {
    static const char* digits = "0123456789ABCDEF";
    hex += digits[qoxGetKeyIDBytes(&id)[i] >> 4];
    hex += digits[qoxGetKeyIDBytes(&id)[i] & 15];
  }
  EXPECT_NE(ToString(Data("pk-rsa.packets.txt")).find("keyid " + hex), std::string::npos) << hex;
  e = qoxEskNext(e);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->type, kQOXEskKindPublicKey + 16);
  EXPECT_EQ(qoxEskPKAlg(e), 16);
  e = qoxEskNext(e);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->type, kQOXEskKindConventional);
  EXPECT_EQ(qoxEskPKAlg(e), 0);
  EXPECT_EQ(qoxEskMaxKeySize(e), 33u);  // at least 33
  EXPECT_EQ(qoxEskNext(e), nullptr);
  // A public-key node does not decrypt with a passphrase.
  Bytes key(64);
  EXPECT_EQ(qoxEskConvDecrypt(list, Env(), "x", 1, key.data(), key.size()), kQOXErrBadParams);
  qoxEskFreeList(list);
}

}  // namespace
}  // namespace pipeline_test
