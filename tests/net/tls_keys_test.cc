// The TLS engine's key schedule beside the independent Python peer: the
// PRF, master secret, key block, record MACs, Finished and CertificateVerify
// values of both protocol versions on random inputs; the key records and
// their wiping.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "crypto/hash.h"
#include "foundation/byte_order.h"
#include "foundation/memory_mgr.h"
#include "net/tls_internal.h"
#include "tests/net/tls_test_support.h"

namespace {

using tls_test::Bytes;
using tls_test::Field;
using tls_test::FromHex;
using tls_test::Hex;
using tls_test::RandomBytes;

const char* VersionName(uint8_t minor) { return minor == kQOXtlsMinorTLS10 ? "tls" : "ssl3"; }

class TlsKeysTest : public ::testing::Test {
 protected:
  tls_test::TlsEnv env;
  tls_test::PythonPeer peer{false};
};

TEST_F(TlsKeysTest, PRFReproducesItsTestVector) {
  QOXtlsSession* s = env.NewSession();
  EXPECT_EQ(qoxTLSPRFTest(s), kQOXErrNoErr);
  uint8_t out[121];
  EXPECT_EQ(qoxTLSPRF(s, out, 8, "x", out, 8, out, 121), kQOXErrBadParams);
}

// Secrets of odd and even length, labels and seeds of several sizes, up to
// the 120-byte limit: the same bytes as the peer's PRF. For an odd secret
// the halves share the middle byte, so a secret of 5 bytes depends on its
// bytes 0-2 through MD5 and on 2-4 through SHA-1.
TEST_F(TlsKeysTest, PRFMatchesThePeer) {
  QOXtlsSession* s = env.NewSession();
  const struct {
    size_t secret, seed, out;
  } cases[] = {{5, 13, 40}, {48, 64, 104}, {48, 36, 12}, {1, 0, 1}, {7, 77, 120}, {64, 64, 48}};
  uint32_t seed = 1;
  for (const auto& c : cases) {
    Bytes secret = RandomBytes(c.secret, seed++), sd = RandomBytes(c.seed, seed++), out(c.out);
    ASSERT_EQ(qoxTLSPRF(s, secret.data(), uint32_t(secret.size()), "some label", sd.data(), uint32_t(sd.size()),
                        out.data(), uint32_t(out.size())),
              kQOXErrNoErr);
    std::string reply = peer.Call(R"({"op":"prf","secret":")" + Hex(secret) + R"(","label":"some label","seed":")" +
                                  Hex(sd) + R"(","n":)" + std::to_string(c.out) + "}");
    EXPECT_EQ(Hex(out), Field(reply, "out")) << c.secret << " byte secret";
  }
  // The 5-byte secret: the middle byte is in both halves, so changing it
  // alone changes the output while the split keeps bytes 0-2 and 2-4.
  Bytes secret = RandomBytes(5, 99), sd = RandomBytes(16, 98), a(20), b(20);
  qoxTLSPRF(s, secret.data(), 5, "l", sd.data(), 16, a.data(), 20);
  Bytes flipped = secret;
  flipped[2] ^= 1;
  qoxTLSPRF(s, flipped.data(), 5, "l", sd.data(), 16, b.data(), 20);
  EXPECT_NE(a, b);
}

TEST_F(TlsKeysTest, MasterSecretAndKeyBlockMatchThePeer) {
  for (uint8_t minor : {kQOXtlsMinorTLS10, kQOXtlsMinorSSL30}) {
    for (uint32_t cipher : {2u, 3u, 0u}) {
      SCOPED_TRACE(std::string(VersionName(minor)) + " cipher " + std::to_string(cipher));
      QOXtlsSession* s = env.NewSession();
      s->minorVersion = minor;
      uint32_t number = tls_test::SuiteWithCipher(cipher);
      for (uint16_t i = 0; i < s->suiteCount; ++i)
        if (s->suites[i].number == number) s->negotiatedSuite = i;
      Bytes premaster = RandomBytes(48, 10 + cipher), cr = RandomBytes(32, 20 + cipher),
            sr = RandomBytes(32, 30 + cipher);
      std::memcpy(s->clientRandom, cr.data(), 32);
      std::memcpy(s->serverRandom, sr.data(), 32);
      ASSERT_EQ(qoxTLSCalculateMasterSecret(s, premaster.data(), 48), kQOXErrNoErr);
      Bytes master(s->masterSecret, s->masterSecret + 48);
      EXPECT_EQ(Hex(master), Field(peer.Call(R"({"op":"master","version":")" + std::string(VersionName(minor)) +
                                             R"(","premaster":")" + Hex(premaster) + R"(","cr":")" + Hex(cr) +
                                             R"(","sr":")" + Hex(sr) + "\"}"),
                                   "out"));
      ASSERT_EQ(qoxTLSCalculateKeys(s), kQOXErrNoErr);
      const uint32_t keyLength = cipher == 2 ? 24 : cipher == 3 ? 16 : 0;
      const uint32_t ivLength = cipher ? 8 : 0;
      const uint32_t total = 40 + 2 * keyLength + 2 * ivLength;
      EXPECT_EQ(total, cipher == 2 ? 104u : cipher == 3 ? 88u : 40u);
      Bytes kb = FromHex(Field(peer.Call(R"({"op":"keyblock","version":")" + std::string(VersionName(minor)) +
                                         R"(","master":")" + Hex(master) + R"(","cr":")" + Hex(cr) + R"(","sr":")" +
                                         Hex(sr) + R"(","n":)" + std::to_string(total) + "}"),
                               "out"));
      ASSERT_EQ(kb.size(), total);
      // MAC secrets at 0 and 20, keys at 40 and 40 + key, IVs behind them
      // (for 3DES: keys at 40 and 64, IVs at 88 and 96).
      const QOXtlsKeyRecord* c = s->pendingClientWriteKeys;
      const QOXtlsKeyRecord* v = s->pendingServerWriteKeys;
      EXPECT_EQ(0, std::memcmp(c->macSecret, &kb[0], 20));
      EXPECT_EQ(0, std::memcmp(v->macSecret, &kb[20], 20));
      EXPECT_EQ(0, std::memcmp(c->key, &kb[40], keyLength));
      EXPECT_EQ(0, std::memcmp(v->key, &kb[40 + keyLength], keyLength));
      EXPECT_EQ(0, std::memcmp(c->iv, &kb[40 + 2 * keyLength], ivLength));
      EXPECT_EQ(0, std::memcmp(v->iv, &kb[40 + 2 * keyLength + ivLength], ivLength));
      EXPECT_EQ(s->macLength, 20u);
      EXPECT_EQ(s->keyLength, keyLength);
    }
  }
}

// Record MACs of both versions over fragments of several lengths, at
// sequence numbers that include the carry into the upper word.
TEST_F(TlsKeysTest, RecordMACsMatchThePeerAndTheSequenceNumberCarries) {
  for (uint8_t minor : {kQOXtlsMinorTLS10, kQOXtlsMinorSSL30}) {
    SCOPED_TRACE(VersionName(minor));
    QOXtlsSession* s = env.NewSession();
    tls_test::InstallKeys(s, tls_test::SuiteWithCipher(3), minor, RandomBytes(48, 1), RandomBytes(32, 2),
                          RandomBytes(32, 3));
    StoreBE64(s->writeKeys->sequence, 0x00000000FFFFFFFFull);
    const Bytes secret(s->writeKeys->macSecret, s->writeKeys->macSecret + 20);
    uint64_t seq = 0x00000000FFFFFFFFull;
    for (size_t n : {0u, 1u, 10u, 333u, 16384u}) {
      Bytes fragment = RandomBytes(n, uint32_t(n) + minor);
      uint8_t mac[20];
      ASSERT_EQ(qoxTLSCalculateMAC(s, kQOXtlsDirection_Write, 23, fragment.data(), uint32_t(n), mac), kQOXErrNoErr);
      std::string reply = peer.Call(R"({"op":"mac","version":")" + std::string(VersionName(minor)) + R"(","secret":")" +
                                    Hex(secret) + R"(","seq":)" + std::to_string(seq) + R"(,"type":23,"fragment":")" +
                                    Hex(fragment) + "\"}");
      EXPECT_EQ(Hex(mac, 20), Field(reply, "out")) << n << " bytes";
      ++seq;
    }
    // Five MACs from 0x00000000FFFFFFFF: the first carry went into the
    // upper word.
    EXPECT_EQ(LoadBE64(s->writeKeys->sequence), 0x0000000100000004ull);
  }
}

// Finished values for both senders and CertificateVerify values for RSA and
// DSA suites, over the same handshake messages as the peer, for both
// versions; the snapshots, when present, are used and freed.
TEST_F(TlsKeysTest, FinishedAndCertificateVerifyMatchThePeer) {
  for (uint8_t minor : {kQOXtlsMinorTLS10, kQOXtlsMinorSSL30}) {
    for (bool rsa : {true, false}) {
      SCOPED_TRACE(std::string(VersionName(minor)) + (rsa ? " RSA" : " DSA"));
      QOXtlsSession* s = env.NewSession();
      tls_test::InstallKeys(s, rsa ? 5 : 3, minor, RandomBytes(48, 7), RandomBytes(32, 8), RandomBytes(32, 9));
      const Bytes master(s->masterSecret, s->masterSecret + 48);
      const Bytes messages = RandomBytes(777 + minor, rsa ? 11 : 12);
      QOXContinueHash(s->handshakeMD5, messages.data(), messages.size());
      QOXContinueHash(s->handshakeSHA, messages.data(), messages.size());
      const std::string common = R"(","master":")" + Hex(master) + R"(","messages":")" + Hex(messages) + "\"";
      for (bool client : {true, false}) {
        uint8_t out[36];
        uint32_t n = 0;
        ASSERT_EQ(qoxTLSCalculateFinished(s, client, out, &n), kQOXErrNoErr);
        EXPECT_EQ(n, minor == kQOXtlsMinorTLS10 ? 12u : 36u);
        std::string reply = peer.Call(R"({"op":"finished","version":")" + std::string(VersionName(minor)) + common +
                                      R"(,"client":)" + (client ? "true" : "false") + "}");
        EXPECT_EQ(Hex(out, n), Field(reply, "out")) << (client ? "client" : "server");
      }
      // Snapshots taken now stand for the messages so far, whatever is
      // hashed after them.
      s->snapshotMD5 = qoxHashCopy(s->handshakeMD5);
      s->snapshotSHA = qoxHashCopy(s->handshakeSHA);
      QOXContinueHash(s->handshakeMD5, "more", 4);
      QOXContinueHash(s->handshakeSHA, "more", 4);
      uint8_t out[36];
      uint32_t n = 0;
      ASSERT_EQ(qoxTLSCalculateCertVerify(s, out, &n), kQOXErrNoErr);
      EXPECT_EQ(n, rsa ? 36u : 20u);
      EXPECT_EQ(s->snapshotMD5, nullptr);
      EXPECT_EQ(s->snapshotSHA, nullptr);
      std::string reply = peer.Call(R"({"op":"certverify","version":")" + std::string(VersionName(minor)) + common +
                                    R"(,"rsa":)" + (rsa ? "true" : "false") + "}");
      EXPECT_EQ(Hex(out, n), Field(reply, "out"));
    }
  }
}

// Master secret and key records live in secure blocks that are wiped when
// the session frees them.
TEST_F(TlsKeysTest, SecretsAreWipedWhenTheSessionGoes) {
  QOXtlsSession* s = nullptr;
  ASSERT_EQ(QOXNewTLSSession(env.tls, &s), kQOXErrNoErr);
  QOXtlsSetProtocolOptions(s, kQOXtlsProtocolOption_ClientSide);
  tls_test::InstallKeys(s, 5, kQOXtlsMinorTLS10, RandomBytes(48, 5), RandomBytes(32, 6), RandomBytes(32, 7));
  const void* master = s->masterSecret;
  const void* writeKeys = s->writeKeys;
  const void* readKeys = s->readKeys;
  EXPECT_NE(QOXGetMemoryMgrDataInfo(master) & kQOXMemoryMgrBlockInfo_Secure, 0u);
  EXPECT_NE(QOXGetMemoryMgrDataInfo(writeKeys) & kQOXMemoryMgrBlockInfo_Secure, 0u);
  // The MAC's HMAC context is made on first use.
  uint8_t mac[20];
  ASSERT_EQ(qoxTLSCalculateMAC(s, kQOXtlsDirection_Write, 23, mac, 0, mac), kQOXErrNoErr);
  env.mgr.ResetReleases();
  ASSERT_EQ(QOXFreeTLSSession(s), kQOXErrNoErr);
  EXPECT_TRUE(env.mgr.WasFreed(master));
  EXPECT_TRUE(env.mgr.FreedWiped(master));
  EXPECT_TRUE(env.mgr.FreedWiped(writeKeys));
  EXPECT_TRUE(env.mgr.FreedWiped(readKeys));
  EXPECT_GE(env.mgr.secureFreed(), 3);
  EXPECT_EQ(env.mgr.dirtySecureFreed(), 0);
}

}  // namespace
