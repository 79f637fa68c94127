// The PKE module, makePke and qoxEskPKdecrypt over the key database's key
// objects and operations, with the keys of the fixtures read as rings are:
// gpg lists and decrypts messages made for erin's RSA key and alice's
// ElGamal subkey, and the session keys read from gpg's own messages are
// the ones gpg reported.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <random>

#include "crypto/cfb.h"
#include "crypto/cipher.h"
#include "crypto/context_random.h"
#include "crypto/pkalg.h"
#include "crypto/pkt_list.h"
#include "pipeline/add_header.h"
#include "pipeline/cipher_module.h"
#include "pipeline/esk.h"
#include "pipeline/generic_modules.h"
#include "tests/common/counting_memory_mgr.h"
#include "tests/keydb/keydb_test_support.h"

namespace {

using keydb_test::Bytes;

Bytes FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << path;
  return Bytes(std::istreambuf_iterator<char>(in), {});
}
const std::string kPipelineData = OSTRAK_SOURCE_DIR "/tests/pipeline/data/";
const std::string kKeyData = OSTRAK_SOURCE_DIR "/tests/keydb/data/";

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// The body of a packet (its header dropped).
Bytes Body(const Bytes& packet) {
  size_t header = 0;
  if (packet[0] & 0x40) {
    header = packet[1] < 192 ? 2 : packet[1] < 224 ? 3 : 6;
  } else {
    header = 1 + ((packet[0] & 3) == 0 ? 1 : (packet[0] & 3) == 1 ? 2 : 4);
  }
  return Bytes(packet.begin() + static_cast<long>(header), packet.end());
}

class PkeTest : public keydb_test::KeyDBTest {
 protected:
  void SetUp() override {
    KeyDBTest::SetUp();
    char pattern[] = "/tmp/ostrak-pke-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (QOXKeyDB* db : dbs_) QOXFreeKeyDB(db);
    if (std::filesystem::exists(dir_ + "/gnupg")) Run("GNUPGHOME=" + dir_ + "/gnupg gpgconf --kill all");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    KeyDBTest::TearDown();
  }
  static int Run(const std::string& command) {
    int status = std::system(command.c_str());
    return status == -1 ? -1 : WEXITSTATUS(status);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string Gpg(const std::string& args) const {
    return "GNUPGHOME=" + dir_ + "/gnupg gpg --batch --quiet --no-tty --pinentry-mode loopback " + args;
  }
  void ImportSecretKeys() {
    std::filesystem::create_directory(dir_ + "/gnupg");
    std::filesystem::permissions(dir_ + "/gnupg", std::filesystem::perms::owner_all);
    ASSERT_EQ(Run(Gpg("--passphrase '' --import " + kPipelineData + "erin.sec.bin " + kKeyData +
                      "alice.sec.bin 2>/dev/null")),
              0);
  }
  static void Write(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }

  // The key of a secret export read as a ring is (its signatures taken as
  // checked), or its first subkey.
  QOXKeyDBObj* Key(const std::string& path, bool subkey) {
    QOXKeyDB* db = nullptr;
    EXPECT_EQ(QOXNewKeyDB(context_, &db), 0);
    dbs_.push_back(db);
    EXPECT_EQ(Read(FileBytes(path), false, db), 0);
    MarkAllChecked(db);
    auto keys = Keys(false, db);
    if (keys.empty()) return nullptr;
    if (!subkey) return keys[0];
    auto subkeys = Children(keys[0], kQOXKeyDBObjType_SubKey);
    return subkeys.empty() ? nullptr : subkeys[0];
  }

  std::vector<QOXKeyDB*> dbs_;
  std::string dir_;
};

// Our public-key ESK packets, for erin's RSA key and alice's ElGamal
// subkey: gpg lists their fields and decrypts the message with either key
// alone; version 3 frames them with old-format headers.
TEST_F(PkeTest, GpgDecryptsForEachRecipient) {
  ImportSecretKeys();
  QOXKeyDBObj* erin = Key(kPipelineData + "erin.sec.bin", false);
  QOXKeyDBObj* aliceSub = Key(kKeyData + "alice.sec.bin", true);
  ASSERT_TRUE(erin && aliceSub);
  const Bytes data = RandomBytes(3000, 9);
  struct {
    uint32_t version;
    QOXKeyDBObj* key;
    const char* listed;
    uint8_t header;
  } cases[] = {
      {4, erin, ":pubkey enc packet: version 3, algo 1, keyid A7E95CD81D9AE1B8", 0xC1},
      {4, aliceSub, ":pubkey enc packet: version 3, algo 16, keyid 5AF0F40BB8E313D8", 0xC1},
      {3, erin, ":pubkey enc packet: version 3, algo 1, keyid A7E95CD81D9AE1B8", 0x85},  // old format, two-byte length
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.listed);
    Bytes session;
    // Binary data may hold zero bytes: the sink's text answer is not used.
    Bytes message;
    {
      QOXCFBContext* cfb =
          qoxCFBCreate(QOXPeekContextMemoryMgr(context_), qoxCipherGetVTBL(kQOXCipherAlgorithm_AES128));
      session = {kQOXCipherAlgorithm_AES128};
      Bytes k = RandomBytes(16, 7);
      session.insert(session.end(), k.begin(), k.end());
      ASSERT_EQ(QOXInitCFB(cfb, k.data(), nullptr), 0);
      QOXPipeline* head = nullptr;
      QOXPipeline** slot = qoxLiteralCreate(context_, &head, c.version, &qoxByteFifoDesc, 'b', "", 0, 0x60000000);
      const Bytes prefix = RandomBytes(16, 8);
      slot = qoxCipherModEncryptCreate(context_, slot, c.version, &qoxByteFifoDesc, cfb, prefix.data(),
                                       qoxContextGetEnvironment(context_), c.version > 3);
      ASSERT_NE(slot, nullptr);
      QOXPipeline* pke = nullptr;
      QOXPipeline** tail = qoxPkeCreate(context_, &pke, c.version, session.data(), session.size());
      ASSERT_NE(tail, nullptr);
      EXPECT_STREQ(pke->name, "PKE Module");
      ASSERT_EQ(qoxPkeAddKey(pke, c.key), 0);
      *slot = pke;
      struct Sink {
        QOXPipeline module{};
        Bytes bytes;
      } sink;
      sink.module.priv = &sink;
      sink.module.write = [](QOXPipeline* m, const uint8_t* p, size_t n, QOXError* e) -> size_t {
        static_cast<Sink*>(m->priv)->bytes.insert(static_cast<Sink*>(m->priv)->bytes.end(), p, p + n);
        *e = 0;
        return n;
      };
      sink.module.flush = [](QOXPipeline*) -> QOXError { return 0; };
      sink.module.annotate = [](QOXPipeline*, QOXPipeline*, uint32_t, void*, size_t) -> QOXError { return 0; };
      sink.module.sizeAdvise = [](QOXPipeline*, uint64_t) -> QOXError { return 0; };
      sink.module.teardown = [](QOXPipeline*) -> QOXError { return 0; };
      *tail = &sink.module;
      ASSERT_EQ(qoxPipelineWriteAll(head, data.data(), data.size(), nullptr), 0);
      ASSERT_EQ(head->sizeAdvise(head, 0), 0);
      EXPECT_EQ(qoxPkeAddKey(pke, c.key), kQOXErrBadParams);  // data has passed
      qoxPipelineTeardown(head);
      message = sink.bytes;
    }
    ASSERT_GT(message.size(), data.size());
    EXPECT_EQ(message[0], c.header);
    Write(Path("msg.gpg"), message);
    // Version 3 writes tag 9, which gpg 2.2 reads only when told to.
    const std::string tag9 = c.version > 3 ? "" : "--ignore-mdc-error ";
    ASSERT_EQ(Run(Gpg("--passphrase '' " + tag9 + "--list-packets " + Path("msg.gpg") + " >" + Path("list.txt") +
                      " 2>/dev/null")),
              0);
    std::string list;
    {
      std::ifstream in(Path("list.txt"));
      list.assign(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_NE(list.find(c.listed), std::string::npos) << list;
    std::remove(Path("msg.out").c_str());
    EXPECT_EQ(Run(Gpg("--passphrase '' " + tag9 + "--show-session-key -o " + Path("msg.out") + " -d " + Path("msg.gpg") + " 2>" +
                      Path("gpg.err"))),
              0);
    EXPECT_EQ(FileBytes(Path("msg.out")), data);
  }
}

// gpg's public-key session-key packets give gpg's session keys.
TEST_F(PkeTest, SessionKeysOfGpgsMessages) {
  struct {
    const char* message;
    const char* keyFile;
    bool subkey;
    const char* sessionKey;
  } cases[] = {{"pk-rsa.gpg", "erin.sec.bin", false, "pk-rsa.key"},
               {"pk-elgamal.gpg", "alice.sec.bin", true, "pk-elgamal.key"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    QOXKeyDBObj* key =
        Key((std::string(c.keyFile) == "erin.sec.bin" ? kPipelineData : kKeyData) + c.keyFile, c.subkey);
    const Bytes message = FileBytes(kPipelineData + c.message);
    const Bytes first = keydb_test::SplitPackets(message).at(0).bytes;
    const Bytes body = Body(first);
    QOXPktList* list = nullptr;
    ASSERT_EQ(qoxEskAdd(context_, &list, kQOXAnnPKCipherESK, body.data(), body.size()), 0);
    Bytes out(qoxEskMaxKeySize(list));
    int32_t n = qoxEskPKdecrypt(list, key, "", 0, false, 0, false, out.data(), out.size());
    ASSERT_GT(n, 0);
    out.resize(static_cast<size_t>(n));
    std::string expected = keydb_test::Hex(out.data() + 1, out.size() - 1);
    std::ifstream in(kPipelineData + c.sessionKey);
    std::string gpgKey((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(gpgKey.substr(0, gpgKey.find_last_not_of("\n") + 1), std::to_string(out[0]) + ":" + expected);
    // Too little room: refused.
    EXPECT_EQ(qoxEskPKdecrypt(list, key, "", 0, false, 0, false, out.data(), 5), kQOXErrBadParams);
    qoxEskFreeList(list);
  }
}

// A key that cannot encrypt (bob, DSA alone) gets no packet: the key
// database's error; the module still carries the data, and the copy of the
// session key is wiped when the data passes.
TEST_F(PkeTest, KeysThatCannotEncrypt) {
  QOXKeyDBObj* bob = Key(kKeyData + "bob.bin", false);
  ASSERT_NE(bob, nullptr);
  uint8_t* body = nullptr;
  size_t length = 0;
  const uint8_t session[17] = {3};
  EXPECT_EQ(makePke(context_, bob, session, sizeof session, 4, &body, &length), kQOXErrKeyCannotEncrypt);
  EXPECT_EQ(body, nullptr);
  EXPECT_EQ(length, 0u);
  const Bytes rsa = Body(keydb_test::SplitPackets(FileBytes(kPipelineData + "pk-rsa.gpg")).at(0).bytes);
  QOXPktList* list = nullptr;
  ASSERT_EQ(qoxEskAdd(context_, &list, kQOXAnnPKCipherESK, rsa.data(), rsa.size()), 0);
  Bytes out(qoxEskMaxKeySize(list));
  EXPECT_EQ(qoxEskPKdecrypt(list, bob, "", 0, false, 0, false, out.data(), out.size()), kQOXErrKeyCannotEncrypt);
  EXPECT_EQ(qoxEskPKdecrypt(list, nullptr, "", 0, false, 0, false, out.data(), out.size()), kQOXErrBadParams);
  qoxEskFreeList(list);

  ostrak_test::CountingMemoryMgr counting;
  QOXContext* context = nullptr;
  QOXNewContextStruct rec{kQOXAPIVersion, counting.Make(), 0};
  ASSERT_EQ(QOXNewContextCustom(&rec, &context), 0);
  QOXPipeline* sink = nullptr;
  qoxVariableMemModCreate(context, &sink, kQOXMemNoLimit);
  QOXPipeline* head = sink;
  ASSERT_NE(qoxPkeCreate(context, &head, 4, session, sizeof session), nullptr);
  EXPECT_EQ(qoxPkeAddKey(head, bob), kQOXErrKeyCannotEncrypt);
  EXPECT_EQ(qoxPkeAddKey(sink, bob), kQOXErrBadParams);  // not a PKE module
  counting.ResetReleases();
  const std::string text = "carried as it is";
  ASSERT_EQ(qoxPipelineWriteAll(head, reinterpret_cast<const uint8_t*>(text.data()), text.size(), nullptr), 0);
  EXPECT_EQ(counting.secureFreed(), 1);  // the session key's copy, at the first write
  EXPECT_EQ(counting.dirtySecureFreed(), 0);
  ASSERT_EQ(head->sizeAdvise(head, 0), 0);
  uint8_t* contents = nullptr;
  ASSERT_EQ(sink->annotate(sink, nullptr, kQOXAnnMemMemBuf, &contents, sizeof contents), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(contents)), text);
  std::memset(contents, 0, text.size());
  qoxContextMemFree(context, contents);
  qoxPipelineTeardown(head);
  EXPECT_EQ(counting.dirtyFreed(), 0);
  QOXFreeContext(context);
}

}  // namespace
