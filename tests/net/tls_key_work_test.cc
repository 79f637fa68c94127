// The handshake's real key work: whole handshakes between our client and
// our server over a socket pair with gpg-made RSA-2048 and DSA-1024 keys
// (tests/net/data/make_tls_keys.sh), RSA and DSA signatures, RSA premaster encryption and the
// client's key checked by CertificateVerify; and the key calls' own
// refusals.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "foundation/context.h"
#include "foundation/file.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk_errors.h"
#include "keydb/import_binary.h"
#include "keydb/key_db.h"
#include "keydb/key_files.h"
#include "keydb/key_lookup.h"
#include "keydb/key_set.h"
#include "keydb/key_set_ops.h"
#include "net/tls_internal.h"
#include "net/tls_key_work.h"
#include "net/tls_session.h"
#include "tests/common/scoped_services.h"
#include "tests/net/tls_test_support.h"

namespace {

using tls_test::Bytes;

Bytes Fixture(const std::string& name) {
  std::ifstream in(std::string(OSTRAK_TEST_DATA) + "/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The secret key of a fixture file, in a database of the context.
struct LoadedKey {
  QOXKeyDB* db = nullptr;
  QOXKeyDBObj* key = nullptr;
  void Load(QOXContext* context, const std::string& name) {
    const Bytes bytes = Fixture(name);
    ASSERT_FALSE(bytes.empty()) << name;
    ASSERT_EQ(qoxImportKeyBinary(context, bytes.data(), bytes.size(), &db), kQOXErrNoErr);
    uint32_t count = 0;
    ASSERT_EQ(qoxTLSFirstKey(db, &key, &count), kQOXErrNoErr);
    ASSERT_EQ(count, 1u);
  }
  ~LoadedKey() {
    if (db != nullptr) QOXFreeKeyDB(db);
  }
};

std::string KeyIDOf(QOXKeyDBObj* key) {
  QOXKeyID id{};
  if (key == nullptr || QOXGetKeyID(key, &id) != kQOXErrNoErr) return "none";
  return std::string(reinterpret_cast<const char*>(&id), sizeof id);
}

// The Certificate messages' keys through the key database's own packet
// writer and reader, so these handshakes show the key operations whatever
// serves QOXExport and QOXImport.
QOXError ExportPackets(QOXContext* context, QOXKeyDBObj* key, uint32_t, uint8_t** out, uint32_t* n) {
  *out = nullptr;
  *n = 0;
  QOXKeySet* one = nullptr;
  QOXError err = QOXNewOneKeySet(key, &one);
  if (err != kQOXErrNoErr) return err;
  QOXFile* file = qoxFileMemOpen(context, nullptr, 0);
  err = sExportToQOXFile(one, file, false, false, true);
  QOXFreeKeySet(one);
  if (err == kQOXErrNoErr) {
    const auto size = static_cast<size_t>(file->tell(file));
    *out = static_cast<uint8_t*>(QOXNewData(QOXPeekContextMemoryMgr(context), size, 0));
    file->seek(file, 0, SEEK_SET);
    file->read(*out, size, file);
    *n = static_cast<uint32_t>(size);
  }
  file->close(file);
  return err;
}
QOXError ImportPackets(QOXContext* context, const uint8_t* bytes, uint32_t n, uint32_t, QOXKeyDB** db) {
  return qoxImportKeyBinary(context, bytes, n, db);
}

struct Pair {
  int fds[2] = {-1, -1};
  Pair() {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    timeval tv{10, 0};  // a hang fails loudly
    for (int fd : fds) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~Pair() {
    for (int fd : fds)
      if (fd >= 0) close(fd);
  }
};

uint32_t NumberOf(uint16_t code) {
  for (const QOXtlsCipherSuite& row : kQOXtls_CipherSuites)
    if (row.code == code) return row.number;
  return 0;
}

class TlsKeyWorkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    keys->exportKey = ExportPackets;
    keys->importKeys = ImportPackets;
    serverAlice.Load(serverEnv.context, "tls-rsa.sec.bin");
    serverBob.Load(serverEnv.context, "tls-dsa.sec.bin");
    clientAlice.Load(clientEnv.context, "tls-rsa.sec.bin");
    clientBob.Load(clientEnv.context, "tls-dsa.sec.bin");
  }
  ostrak_test::ScopedServices<QOXtlsKeyServices> keys{qoxTLSKeyServices, qoxRegisterTLSKeyServices};
  tls_test::TlsEnv serverEnv, clientEnv;
  LoadedKey serverAlice, serverBob, clientAlice, clientBob;
};

struct HandshakeCase {
  uint16_t suite;
  bool serverIsRSA;
  bool request;
  int clientKey;  // 0 none, 1 alice (RSA), 2 bob (DSA)
};

TEST_F(TlsKeyWorkTest, WholeHandshakesWithRSAAndDSAKeys) {
  const HandshakeCase runs[] = {
      {0x0120, true, false, 0}, {0x0120, true, true, 2}, {0x0110, true, true, 1},
      {0x0110, true, true, 0},  {0x0101, false, true, 1}, {0x01F0, false, true, 2},
  };
  for (const HandshakeCase& r : runs) {
    SCOPED_TRACE(testing::Message() << std::hex << r.suite << " request " << r.request << " client key "
                                    << r.clientKey);
    Pair pair;
    QOXtlsSession* server = serverEnv.NewSession(false);
    QOXtlsSession* client = clientEnv.NewSession(true);
    tls_test::AttachSocket(server, pair.fds[0]);
    tls_test::AttachSocket(client, pair.fds[1]);
    QOXKeyDBObj* serverKey = r.serverIsRSA ? serverAlice.key : serverBob.key;
    ASSERT_EQ(QOXtlsSetLocalPrivateKey(server, serverKey, nullptr, kQOXNullOptionList), kQOXErrNoErr);
    ASSERT_EQ(QOXtlsSetDHPrime(server, 0), kQOXErrNoErr);
    if (r.request) ASSERT_EQ(QOXtlsSetProtocolOptions(server, kQOXtlsProtocolOption_RequestClientCert), 0);
    QOXKeyDBObj* clientKey = r.clientKey == 1 ? clientAlice.key : r.clientKey == 2 ? clientBob.key : nullptr;
    if (clientKey != nullptr)
      ASSERT_EQ(QOXtlsSetLocalPrivateKey(client, clientKey, nullptr, kQOXNullOptionList), kQOXErrNoErr);
    ASSERT_EQ(QOXtlsSetPreferredCipherSuite(client, NumberOf(r.suite)), kQOXErrNoErr);
    QOXError serverResult = 1;
    std::thread th([&] { serverResult = QOXtlsHandshake(server); });
    const QOXError clientResult = QOXtlsHandshake(client);
    if (clientResult != kQOXErrNoErr) shutdown(pair.fds[1], SHUT_RDWR);
    th.join();
    ASSERT_EQ(serverResult, kQOXErrNoErr);
    ASSERT_EQ(clientResult, kQOXErrNoErr);
    uint32_t number = 0;
    EXPECT_EQ(QOXtlsGetNegotiatedCipherSuite(server, &number), kQOXErrNoErr);
    EXPECT_EQ(number, NumberOf(r.suite));
    // Each side holds the other's key, imported from its Certificate.
    QOXKeyDBObj* remote = nullptr;
    EXPECT_EQ(QOXtlsGetRemoteAuthenticatedKey(client, &remote, nullptr), kQOXErrNoErr);
    EXPECT_EQ(KeyIDOf(remote), KeyIDOf(serverKey));
    EXPECT_EQ(QOXtlsGetRemoteAuthenticatedKey(server, &remote, nullptr), kQOXErrNoErr);
    EXPECT_EQ(KeyIDOf(remote), r.request ? KeyIDOf(clientKey) : "none");
    EXPECT_EQ(server->clientCertVerified, r.request && clientKey != nullptr);
    ASSERT_EQ(QOXtlsSend(client, "ping", 4), kQOXErrNoErr);
    char buf[8] = {};
    uint32_t n = sizeof buf;
    ASSERT_EQ(QOXtlsReceive(server, buf, &n), kQOXErrNoErr);
    EXPECT_EQ(std::string(buf, n), "ping");
    ASSERT_EQ(QOXtlsSend(server, "pong", 4), kQOXErrNoErr);
    n = sizeof buf;
    ASSERT_EQ(QOXtlsReceive(client, buf, &n), kQOXErrNoErr);
    EXPECT_EQ(std::string(buf, n), "pong");
  }
}

// The key calls on their own: signature sizes and forms (RSA over the raw
// 36 bytes at the modulus width; DSA r and s at 20 bytes each in form 2, a
// DER SEQUENCE in form 3), encryption and decryption of a premaster
// secret, refusals.
TEST_F(TlsKeyWorkTest, SignaturesEncryptionAndRefusals) {
  QOXtlsSession* s = serverEnv.NewSession(false);
  const Bytes value(36, 0x5A);
  struct Case {
    LoadedKey* key;
    uint32_t format;
    uint32_t expectMax;
  } cases[] = {{&serverAlice, kQOXtlsSigFormat_Raw, 256},
               {&serverBob, kQOXtlsSigFormat_Raw, 40},
               {&serverBob, kQOXtlsSigFormat_DER, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "format " << c.format << " max " << c.expectMax);
    ASSERT_EQ(QOXtlsSetLocalPrivateKey(s, c.key->key, nullptr, kQOXNullOptionList), kQOXErrNoErr);
    const uint32_t length = c.key == &serverAlice ? 36 : 20;
    uint32_t maxSignature = 0;
    ASSERT_EQ(qoxTLSPrivateKeySizes(s, c.format, &maxSignature, nullptr, nullptr), kQOXErrNoErr);
    if (c.expectMax != 0) EXPECT_EQ(maxSignature, c.expectMax);
    Bytes sig(maxSignature);
    uint32_t n = maxSignature;
    ASSERT_EQ(qoxTLSPrivateKeySign(s, c.format, value.data(), length, sig.data(), &n), kQOXErrNoErr);
    if (c.format == kQOXtlsSigFormat_DER) {
      EXPECT_EQ(sig[0], 0x30);
    } else {
      EXPECT_EQ(n, c.expectMax);
    }
    EXPECT_EQ(qoxTLSPublicKeyVerify(serverEnv.context, c.key->key, c.format, value.data(), length, sig.data(), n),
              kQOXErrNoErr);
    sig[n / 2] ^= 1;
    EXPECT_EQ(qoxTLSPublicKeyVerify(serverEnv.context, c.key->key, c.format, value.data(), length, sig.data(), n),
              kQOXErrBadSignature);
    // Too little room: refused before signing, nothing written.
    n = maxSignature - 1;
    EXPECT_EQ(qoxTLSPrivateKeySign(s, c.format, value.data(), length, sig.data(), &n), kQOXErrBufferTooSmall);
    EXPECT_EQ(n, 0u);
  }

  // RSA: a premaster secret there and back.
  ASSERT_EQ(QOXtlsSetLocalPrivateKey(s, serverAlice.key, nullptr, kQOXNullOptionList), kQOXErrNoErr);
  uint32_t encrypted = 0, maxDecrypted = 0;
  ASSERT_EQ(qoxTLSPrivateKeySizes(s, kQOXtlsSigFormat_Raw, nullptr, &encrypted, &maxDecrypted), kQOXErrNoErr);
  EXPECT_EQ(encrypted, 256u);
  EXPECT_GE(maxDecrypted, 48u);
  uint32_t publicEncrypted = 0;
  ASSERT_EQ(qoxTLSPublicKeySizes(clientEnv.context, clientAlice.key, kQOXtlsSigFormat_Raw, nullptr, &publicEncrypted),
            kQOXErrNoErr);
  EXPECT_EQ(publicEncrypted, 256u);
  Bytes premaster = tls_test::RandomBytes(48, 3);
  Bytes block(256);
  uint32_t n = 256;
  ASSERT_EQ(qoxTLSPublicKeyEncrypt(clientEnv.context, clientAlice.key, premaster.data(), 48, block.data(), &n),
            kQOXErrNoErr);
  EXPECT_EQ(n, 256u);
  Bytes plain(maxDecrypted);
  uint32_t m = maxDecrypted;
  ASSERT_EQ(qoxTLSPrivateKeyDecrypt(s, block.data(), 256, plain.data(), &m), kQOXErrNoErr);
  ASSERT_EQ(m, 48u);
  EXPECT_EQ(Bytes(plain.begin(), plain.begin() + 48), premaster);
  block[10] ^= 1;
  m = maxDecrypted;
  EXPECT_NE(qoxTLSPrivateKeyDecrypt(s, block.data(), 256, plain.data(), &m), kQOXErrNoErr);

  // DSA encrypts nothing; a key without a secret part signs nothing.
  n = 256;
  EXPECT_EQ(qoxTLSPublicKeyEncrypt(clientEnv.context, clientBob.key, premaster.data(), 48, block.data(), &n),
            kQOXErrFeatureNotAvailable);
  LoadedKey publicOnly;
  publicOnly.Load(serverEnv.context, "tls-rsa.bin");
  s->localKey = publicOnly.key;
  uint32_t maxSignature = 1;
  EXPECT_NE(qoxTLSPrivateKeySizes(s, kQOXtlsSigFormat_Raw, &maxSignature, nullptr, nullptr), kQOXErrNoErr);
  EXPECT_EQ(maxSignature, 0u);
  s->localKey = nullptr;
  EXPECT_EQ(qoxTLSPrivateKeySizes(s, kQOXtlsSigFormat_Raw, &maxSignature, nullptr, nullptr), kQOXErrBadParams);

  // Key facts and the first key of a database.
  int32_t algorithm = 0;
  bool canVerify = false;
  EXPECT_EQ(qoxTLSKeyInfo(clientBob.key, &algorithm, &canVerify), kQOXErrNoErr);
  EXPECT_EQ(algorithm, 17);
  EXPECT_TRUE(canVerify);
  QOXKeyDB* empty = nullptr;
  ASSERT_EQ(QOXNewKeyDB(serverEnv.context, &empty), kQOXErrNoErr);
  QOXKeyDBObj* first = serverAlice.key;
  uint32_t count = 9;
  EXPECT_EQ(qoxTLSFirstKey(empty, &first, &count), kQOXErrNoErr);
  EXPECT_EQ(first, nullptr);
  EXPECT_EQ(count, 0u);
  QOXFreeKeyDB(empty);
}

}  // namespace
