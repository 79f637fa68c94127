// The encrypt pipeline builder: messages for passphrases and for the keys of
// the fixtures, compressed and armored, decrypted by gpg; the version and
// session-key decisions read from the packets; the refused combinations and
// the clean-up of a failed build.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include "crypto/cipher.h"
#include "foundation/core/sig_spec.h"
#include "foundation/env.h"
#include "keydb/key_set.h"
#include "keydb/key_set_ops.h"
#include "pipeline/encrypt_pipeline.h"
#include "pipeline/generic_modules.h"
#include "tests/keydb/keydb_test_support.h"

namespace {

using keydb_test::Bytes;

const std::string kPipelineData = OSTRAK_SOURCE_DIR "/tests/pipeline/data/";
const std::string kKeyData = OSTRAK_SOURCE_DIR "/tests/keydb/data/";

Bytes FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

Bytes TextData() {
  std::string s;
  for (int i = 0; i < 400; ++i) s += "line " + std::to_string(i * 31 % 97) + " of the message to encrypt\n";
  return Bytes(s.begin(), s.end());
}

// The packets of a binary message, old or new format, each as tag and body
// start (bodies of indeterminate or partial length run to the end).
struct Packet {
  int tag;
  bool oldFormat;
  size_t bodyAt;
  size_t bodyLength;
};
std::vector<Packet> Packets(const Bytes& m) {
  std::vector<Packet> out;
  size_t at = 0;
  while (at < m.size()) {
    uint8_t h = m[at];
    if ((h & 0x80) == 0) break;
    Packet p{};
    size_t len = 0;
    if (h & 0x40) {
      p.tag = h & 0x3F;
      uint8_t l = m[at + 1];
      if (l < 192) {
        p.bodyAt = at + 2;
        len = l;
      } else if (l < 224) {
        p.bodyAt = at + 3;
        len = ((l - 192) << 8) + m[at + 2] + 192;
      } else if (l == 255) {
        p.bodyAt = at + 6;
        len = (size_t{m[at + 2]} << 24) | (m[at + 3] << 16) | (m[at + 4] << 8) | m[at + 5];
      } else {
        p.bodyAt = at + 2;
        len = m.size() - p.bodyAt;  // partial: the rest
      }
    } else {
      p.oldFormat = true;
      p.tag = (h >> 2) & 0x0F;
      int type = h & 3;
      if (type == 3) {
        p.bodyAt = at + 1;
        len = m.size() - p.bodyAt;
      } else {
        size_t n = type == 0 ? 1 : type == 1 ? 2 : 4;
        p.bodyAt = at + 1 + n;
        for (size_t i = 0; i < n; ++i) len = (len << 8) | m[at + 1 + i];
      }
    }
    p.bodyLength = std::min(len, m.size() - p.bodyAt);
    out.push_back(p);
    at = p.bodyAt + p.bodyLength;
  }
  return out;
}

std::string Tags(const std::vector<Packet>& packets) {
  std::string s;
  for (const Packet& p : packets) s += (s.empty() ? "" : " ") + std::to_string(p.tag);
  return s;
}

class EncryptPipelineTest : public keydb_test::KeyDBTest {
 protected:
  void SetUp() override {
    KeyDBTest::SetUp();
    char pattern[] = "/tmp/ostrak-encrypt-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ASSERT_EQ(qoxenvCopy(qoxContextGetEnvironment(context_), &env_), 0);
  }
  void TearDown() override {
    qoxenvDestroy(env_);
    for (QOXKeySet* s : sets_) QOXFreeKeySet(s);
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
  void GpgHome() {
    std::filesystem::create_directory(dir_ + "/gnupg");
    std::filesystem::permissions(dir_ + "/gnupg", std::filesystem::perms::owner_all);
  }
  static void Write(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  // What gpg decrypts of the message with a passphrase (empty: with the
  // keys of its home); the exit status goes to *status.
  Bytes GpgDecrypt(const Bytes& message, const std::string& passphrase, int* status) {
    Write(Path("msg"), message);
    std::filesystem::remove(Path("out"));
    std::string pass = passphrase.empty() ? "" : "--passphrase '" + passphrase + "' ";
    *status = Run(Gpg("--ignore-mdc-error " + pass + "-o " + Path("out") + " -d " + Path("msg") + " 2>" +
                      Path("err")));
    return FileBytes(Path("out"));
  }
  void Set(int32_t key, uint32_t value) { ASSERT_EQ(qoxenvSetInt(env_, key, value, 25), 0); }

  // The set of the first key of a key file read as a ring.
  QOXKeySet* KeySetOf(const std::string& path) {
    QOXKeyDB* db = nullptr;
    EXPECT_EQ(QOXNewKeyDB(context_, &db), 0);
    dbs_.push_back(db);
    EXPECT_EQ(Read(FileBytes(path), false, db), 0);
    MarkAllChecked(db);
    auto keys = Keys(false, db);
    EXPECT_FALSE(keys.empty()) << path;
    QOXKeySet* set = nullptr;
    EXPECT_EQ(QOXNewOneKeySet(keys[0], &set), 0);
    sets_.push_back(set);
    return set;
  }

  struct Result {
    QOXError error = 0;
    Bytes message;
    Bytes sessionKey;
    bool slotCleared = false;
  };
  struct Options {
    const QOXConvKey* passphrases = nullptr;
    QOXKeySet* recipients = nullptr;
    QOXLiteralInfo literal{"msg.txt", 0x5F000000};
    bool withLiteral = true;
    bool detached = false;
    bool binary = false;
    QOXSigSpec* signers = nullptr;
    QOXRecipientCallback callback = nullptr;
    void* callbackArg = nullptr;
  };
  // Builds the chain, writes data through it into a memory sink.
  Result Encrypt(const Bytes& data, const Options& o) {
    Result r;
    QOXPipeline* head = nullptr;
    uint8_t key[kQOXSessionKeyBufferSize] = {};
    size_t keyLength = 0;
    QOXPipeline** tail =
        qoxEncryptPipelineCreate(context_, &head, env_, &qoxByteFifoDesc, nullptr, o.passphrases, o.recipients,
                                 o.signers, o.withLiteral ? &o.literal : nullptr, o.detached, key, o.binary,
                                 o.callback, o.callbackArg, &keyLength, &r.error);
    if (tail == nullptr) {
      r.slotCleared = head == nullptr;
      return r;
    }
    EXPECT_EQ(r.error, 0);
    QOXPipeline* sink = qoxVariableMemModCreate(context_, tail, kQOXMemNoLimit);
    EXPECT_NE(sink, nullptr);
    size_t sent = 0;
    EXPECT_EQ(qoxPipelineWriteAll(head, data.data(), data.size(), &sent), 0);
    EXPECT_EQ(head->sizeAdvise(head, 0), 0);
    uint8_t* out = nullptr;
    EXPECT_EQ(sink->annotate(sink, nullptr, kQOXAnnMemMemBuf, &out, sizeof out), 0);
    uint32_t count = 0;
    EXPECT_EQ(sink->annotate(sink, nullptr, kQOXAnnMemByteCount, &count, sizeof count), 0);
    if (out != nullptr) {
      r.message.assign(out, out + count);
      qoxContextMemFree(context_, out);
    }
    r.sessionKey.assign(key, key + keyLength);
    head->teardown(head);
    return r;
  }

  QOXEnv* env_ = nullptr;
  std::string dir_;
  std::vector<QOXKeyDB*> dbs_;
  std::vector<QOXKeySet*> sets_;
};

// Passphrase messages for three ciphers, compressed or not, armored or not:
// gpg decrypts each to the input; the packets are one symmetric-key ESK
// (version 4, the cipher's number) and an encrypted data packet of tag 9.
TEST_F(EncryptPipelineTest, PassphraseMessagesDecryptInGpg) {
  GpgHome();
  const Bytes data = TextData();
  QOXConvKey pass{nullptr, nullptr, "correct horse", 13};
  Options o;
  o.passphrases = &pass;
  for (uint32_t cipher : {kQOXCipherAlgorithm_CAST5, kQOXCipherAlgorithm_3DES, kQOXCipherAlgorithm_AES256}) {
    for (uint32_t compress : {0u, 1u}) {
      for (uint32_t armor : {0u, 1u}) {
        std::string what = "cipher " + std::to_string(cipher) + " compress " + std::to_string(compress) +
                           " armor " + std::to_string(armor);
        Set(kQOXEnvCipherAlgorithm, cipher);
        Set(kQOXEnvCompress, compress);
        Set(kQOXEnvArmorOutput, armor);
        Result r = Encrypt(data, o);
        ASSERT_EQ(r.error, 0) << what;
        ASSERT_EQ(r.sessionKey.size(), 1 + qoxCipherGetVTBL(cipher)->keySize) << what;
        EXPECT_EQ(r.sessionKey[0], cipher) << what;
        int status = 0;
        EXPECT_TRUE(GpgDecrypt(r.message, "correct horse", &status) == data) << what;
        EXPECT_EQ(status, 0) << what;
        if (armor) {
          std::string text(r.message.begin(), r.message.end());
          EXPECT_EQ(text.rfind("-----BEGIN PGP MESSAGE-----\n", 0), 0u) << what;
          continue;
        }
        auto packets = Packets(r.message);
        // The marker packet goes in front of new-format packets.
        ASSERT_EQ(Tags(packets), "10 3 9") << what;
        const Packet& esk = packets[1];
        // Version 4, the cipher, then the string-to-key alone: the
        // passphrase's key is the session key.
        EXPECT_EQ(r.message[esk.bodyAt], 4) << what;
        EXPECT_EQ(r.message[esk.bodyAt + 1], cipher) << what;
        EXPECT_EQ(esk.bodyLength, 2u + 11u) << what;
      }
    }
  }
  EXPECT_EQ(Run(Gpg("--passphrase wrong -d " + Path("msg") + " >/dev/null 2>&1")), 2) << "a wrong passphrase fails";
}

// Two passphrases: a random session key carried by two ESKs. gpg opens the
// message with the first passphrase (gpg 2.2 in batch mode tries only the
// first symmetric ESK); an independent Python reading of both ESKs
// (iterated and salted SHA-1, AES-256 CFB) gives back the session key.
TEST_F(EncryptPipelineTest, TwoPassphrasesEachCarryTheSessionKey) {
  GpgHome();
  const Bytes data = TextData();
  QOXConvKey second{nullptr, nullptr, "second one", 10};
  QOXConvKey first{&second, nullptr, "first one", 9};
  Set(kQOXEnvCipherAlgorithm, kQOXCipherAlgorithm_AES256);
  Options o;
  o.passphrases = &first;
  Result r = Encrypt(data, o);
  ASSERT_EQ(r.error, 0);
  auto packets = Packets(r.message);
  ASSERT_EQ(Tags(packets), "10 3 3 9");
  int status = 0;
  EXPECT_TRUE(GpgDecrypt(r.message, "first one", &status) == data);
  EXPECT_EQ(status, 0);
  for (int i = 0; i < 2; ++i) {
    const Packet& p = packets[1 + i];
    Write(Path("esk" + std::to_string(i)), Bytes(r.message.begin() + static_cast<long>(p.bodyAt),
                                                 r.message.begin() + static_cast<long>(p.bodyAt + p.bodyLength)));
  }
  const std::string script = R"(
import hashlib, sys
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
d = sys.argv[1]
out = []
for i, passphrase in enumerate((b'first one', b'second one')):
    b = open(f'{d}/esk{i}', 'rb').read()
    assert b[0] == 4 and b[1] == 9 and b[2] == 3 and b[3] == 2, b[:4].hex()
    salt, c = b[4:12], b[12]
    count = (16 + (c & 15)) << ((c >> 4) + 6)
    data = salt + passphrase
    stream = (data * (count // len(data) + 1))[:max(count, len(data))]
    key = b''
    for pre in range(2):
        key += hashlib.sha1(bytes(pre) + stream).digest()
    key = key[:32]
    plain = Cipher(algorithms.AES(key), modes.CFB(bytes(16))).decryptor().update(b[13:])
    out.append(plain.hex())
open(d + '/keys', 'w').write(' '.join(out))
)";
  Write(Path("esk.py"), Bytes(script.begin(), script.end()));
  ASSERT_EQ(Run("/usr/bin/python3 " + Path("esk.py") + " " + dir_), 0);
  Bytes keys = FileBytes(Path("keys"));
  std::string hex;
  for (uint8_t byte : r.sessionKey) {
    char h[3];
    snprintf(h, sizeof h, "%02x", byte);
    hex += h;
  }
  EXPECT_EQ(std::string(keys.begin(), keys.end()), hex + " " + hex);
}

// Public-key messages: to erin's RSA key (a version-3 request stays version
// 3), to alice's ElGamal subkey (it becomes version 4), and to both; gpg
// decrypts each with the secret keys; the callback hears each recipient.
TEST_F(EncryptPipelineTest, RecipientMessagesDecryptInGpg) {
  GpgHome();
  ASSERT_EQ(Run(Gpg("--passphrase '' --import " + kPipelineData + "erin.sec.bin " + kKeyData +
                    "alice.sec.bin 2>/dev/null")),
            0);
  const Bytes data = TextData();
  QOXKeySet* erin = KeySetOf(kPipelineData + "erin.bin");
  QOXKeySet* alice = KeySetOf(kKeyData + "alice.bin");
  QOXKeySet* both = nullptr;
  ASSERT_EQ(QOXNewKeySet(dbs_[0], &both), 0);
  sets_.push_back(both);
  // A set over erin's database with alice's key copied in.
  QOXKeySet* copied = nullptr;
  ASSERT_EQ(QOXAddKeys(erin, both), 0);
  ASSERT_EQ(QOXCopyKeys(alice, dbs_[0], &copied), 0);
  sets_.push_back(copied);
  MarkAllChecked(dbs_[0]);
  ASSERT_EQ(QOXAddKeys(copied, both), 0);
  Set(kQOXEnvSigVersion, 3);
  Set(kQOXEnvCipherAlgorithm, kQOXCipherAlgorithm_CAST5);
  struct Case {
    const char* name;
    QOXKeySet* set;
    uint8_t firstByte;
    int eskCount;
  } cases[] = {{"erin", erin, 0x85, 1}, {"alice", alice, 0xA8, 1}, {"both", both, 0x85, 2}};
  for (const Case& c : cases) {
    std::vector<uint32_t> heard;
    Options o;
    o.recipients = c.set;
    o.callback = [](void* arg, uint32_t index) -> QOXError {
      static_cast<std::vector<uint32_t>*>(arg)->push_back(index);
      return 0;
    };
    o.callbackArg = &heard;
    Result r = Encrypt(data, o);
    ASSERT_EQ(r.error, 0) << c.name;
    ASSERT_FALSE(r.message.empty()) << c.name;
    EXPECT_EQ(r.message[0], c.firstByte) << c.name;
    auto packets = Packets(r.message);
    // Version 4 (alice alone) puts the marker packet in front.
    std::string tags = c.firstByte == 0xA8 ? "10 " : "";
    for (int i = 0; i < c.eskCount; ++i) tags += "1 ";
    EXPECT_EQ(Tags(packets), tags + "9") << c.name;
    EXPECT_EQ(heard.size(), static_cast<size_t>(c.eskCount)) << c.name;
    int status = 0;
    EXPECT_TRUE(GpgDecrypt(r.message, "", &status) == data) << c.name << ": " << std::string(FileBytes(Path("err")).begin(), FileBytes(Path("err")).end());
    EXPECT_EQ(status, 0) << c.name;
  }
}

// One passphrase, IDEA, version 3: no session-key packet; the key is the
// passphrase's MD5 (Python's hashlib as the oracle).
TEST_F(EncryptPipelineTest, VersionThreeIdeaMessageHasNoSessionKeyPacket) {
  Set(kQOXEnvSigVersion, 3);
  Set(kQOXEnvCipherAlgorithm, kQOXCipherAlgorithm_IDEA);
  Set(kQOXEnvCompress, 0);
  QOXConvKey pass{nullptr, nullptr, "idea pass", 9};
  Options o;
  o.passphrases = &pass;
  Result r = Encrypt(TextData(), o);
  ASSERT_EQ(r.error, 0);
  auto packets = Packets(r.message);
  ASSERT_EQ(Tags(packets), "9");
  EXPECT_TRUE(packets[0].oldFormat);
  ASSERT_EQ(Run("/usr/bin/python3 -c \"import hashlib; open('" + Path("md5") +
                "', 'wb').write(bytes([1]) + hashlib.md5(b'idea pass').digest())\""),
            0);
  EXPECT_TRUE(r.sessionKey == FileBytes(Path("md5")));
  // An independent IDEA (checked on the published vector first) decrypts
  // the packet's body to a literal packet of the data.
  const std::string idea = "/usr/bin/python3 " OSTRAK_SOURCE_DIR "/tests/pipeline/idea_cfb.py ";
  ASSERT_EQ(Run(idea + "--selftest"), 0);
  ASSERT_GE(r.sessionKey.size(), 17u);
  std::string keyHex;
  for (size_t i = 1; i < r.sessionKey.size(); ++i) {
    char h[3];
    snprintf(h, sizeof h, "%02x", r.sessionKey[i]);
    keyHex += h;
  }
  Write(Path("body"), Bytes(r.message.begin() + static_cast<long>(packets[0].bodyAt), r.message.end()));
  ASSERT_EQ(Run(idea + keyHex + " " + Path("body") + " " + Path("plain")), 0);
  Bytes plain = FileBytes(Path("plain"));
  auto inner = Packets(plain);
  ASSERT_EQ(Tags(inner), "11");
  const Bytes data = TextData();
  // Literal body: type 'b', name length, "msg.txt", 4-byte time, the data.
  size_t dataAt = inner[0].bodyAt + 1 + 1 + 7 + 4;
  EXPECT_EQ(plain[inner[0].bodyAt], 'b');
  EXPECT_TRUE(Bytes(plain.begin() + static_cast<long>(dataAt), plain.end()) == data);
  // With CAST5 the same request is version 4 with one ESK that carries only
  // its string-to-key.
  Set(kQOXEnvCipherAlgorithm, kQOXCipherAlgorithm_CAST5);
  r = Encrypt(TextData(), o);
  ASSERT_EQ(r.error, 0);
  packets = Packets(r.message);
  ASSERT_EQ(Tags(packets), "10 3 9");
  EXPECT_FALSE(packets[1].oldFormat);
  EXPECT_EQ(packets[1].bodyLength, 13u);
}

TEST_F(EncryptPipelineTest, RefusedCombinationsAndFailedBuilds) {
  QOXConvKey pass{nullptr, nullptr, "p", 1};
  QOXKeySet* erin = KeySetOf(kPipelineData + "erin.bin");
  // Text mode needs a literal packet, clear-signing or a detached signature.
  {
    Set(kQOXEnvDataIsText, 1);
    Options o;
    o.passphrases = &pass;
    o.withLiteral = false;
    Result r = Encrypt(TextData(), o);
    EXPECT_EQ(r.error, kQOXErrBadParams);
    EXPECT_TRUE(r.slotCleared);
    o.binary = true;  // binary data: no text mode, no need
    EXPECT_EQ(Encrypt(TextData(), o).error, 0);
    Set(kQOXEnvDataIsText, 0);
  }
  // A detached signature with encryption, or without signers.
  {
    Options o;
    o.detached = true;
    o.recipients = erin;
    EXPECT_EQ(Encrypt(TextData(), o).error, kQOXErrBadParams);
    o.recipients = nullptr;
    EXPECT_EQ(Encrypt(TextData(), o).error, kQOXErrBadParams);
  }
  // An unknown cipher.
  {
    Set(kQOXEnvCipherAlgorithm, 99);
    Options o;
    o.passphrases = &pass;
    Result r = Encrypt(TextData(), o);
    EXPECT_EQ(r.error, kQOXErrOutOfMemory);
    EXPECT_TRUE(r.slotCleared);
    Set(kQOXEnvCipherAlgorithm, kQOXCipherAlgorithm_CAST5);
  }
  // A recipient callback that refuses ends the build with its error, the
  // chain made so far torn down.
  {
    Options o;
    o.recipients = erin;
    o.callback = [](void*, uint32_t) -> QOXError { return kQOXErrUserAbort; };
    Result r = Encrypt(TextData(), o);
    EXPECT_EQ(r.error, kQOXErrUserAbort);
    EXPECT_TRUE(r.slotCleared);
  }
  // A null head slot.
  QOXError err = 0;
  EXPECT_EQ(qoxEncryptPipelineCreate(context_, nullptr, env_, nullptr, nullptr, &pass, nullptr, nullptr, nullptr,
                                     false, nullptr, false, nullptr, nullptr, nullptr, &err),
            nullptr);
  EXPECT_EQ(err, kQOXErrBadParams);
  // A literal name longer than 255 bytes is cut to 255 (gpg lists it).
  {
    std::string name(300, 'n');
    Options o;
    o.passphrases = &pass;
    o.literal.fileName = name.c_str();
    Set(kQOXEnvCompress, 0);
    Result r = Encrypt(TextData(), o);
    ASSERT_EQ(r.error, 0);
    GpgHome();
    Write(Path("named"), r.message);
    ASSERT_EQ(Run(Gpg("--ignore-mdc-error --passphrase p --list-packets " + Path("named") + " >" + Path("list") +
                      " 2>/dev/null")),
              0);
    Bytes list = FileBytes(Path("list"));
    std::string text(list.begin(), list.end());
    EXPECT_NE(text.find("name=\"" + std::string(255, 'n') + "\""), std::string::npos) << text;
  }
}

// Signed messages: gpg verifies each one made with erin's RSA key and
// SHA-1 (version 4 and 3, compressed and armored, detached binary and text,
// clear-signed text with dash-escaped, "From " and trailing-blank lines,
// and signed then encrypted to a passphrase).
TEST_F(EncryptPipelineTest, SignedMessagesVerifyInGpg) {
  GpgHome();
  ASSERT_EQ(Run(Gpg("--import " + kPipelineData + "erin.bin 2>/dev/null")), 0);
  QOXKeyDB* db = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &db), 0);
  dbs_.push_back(db);
  ASSERT_EQ(Read(FileBytes(kPipelineData + "erin.sec.bin"), false, db), 0);
  MarkAllChecked(db);
  auto keys = Keys(false, db);
  ASSERT_FALSE(keys.empty());
  QOXKeyDBObj* erin = keys[0];
  std::string text = "- a line that begins with a dash\nFrom the start of a line\ntrailing blanks   \n"
                     "and a tab\t\nplain line\n";
  for (int i = 0; i < 50; ++i) text += "more text " + std::to_string(i) + "\n";
  const Bytes data(text.begin(), text.end());
  Write(Path("data"), data);
  Set(kQOXEnvHashAlgorithm, 2);  // SHA-1
  struct Case {
    const char* name;
    uint32_t version, armor, compress, textMode, clearsign;
    bool detached, encrypt;
  } cases[] = {
      {"v4 armored compressed", 4, 1, 1, 0, 0, false, false},
      {"v3 binary", 3, 0, 0, 0, 0, false, false},
      {"v4 text literal", 4, 0, 1, 1, 0, false, false},
      {"detached binary", 4, 1, 0, 0, 0, true, false},
      {"detached text", 4, 0, 0, 1, 0, true, false},
      {"v3 detached", 3, 0, 0, 0, 0, true, false},
      {"clear-signed", 4, 1, 0, 1, 1, false, false},
      {"signed and encrypted", 4, 1, 1, 0, 0, false, true},
  };
  QOXConvKey pass{nullptr, nullptr, "sign pass", 9};
  for (const Case& c : cases) {
    Set(kQOXEnvSigVersion, c.version);
    Set(kQOXEnvArmorOutput, c.armor);
    Set(kQOXEnvCompress, c.compress);
    Set(kQOXEnvDataIsText, c.textMode);
    Set(kQOXEnvClearSign, c.clearsign);
    Set(kQOXEnvCipherAlgorithm, kQOXCipherAlgorithm_CAST5);
    QOXSigSpec* spec = qoxSigSpecCreate(env_, erin, c.textMode ? 1 : 0);
    ASSERT_NE(spec, nullptr) << c.name;
    Options o;
    o.signers = spec;
    o.detached = c.detached;
    if (c.encrypt) o.passphrases = &pass;
    Result r = Encrypt(data, o);
    qoxSigSpecDestroy(spec);
    ASSERT_EQ(r.error, 0) << c.name;
    Write(Path("signed"), r.message);
    std::string verify = c.detached ? "--verify " + Path("signed") + " " + Path("data")
                         : c.encrypt ? "--ignore-mdc-error --passphrase 'sign pass' -o " + Path("out") + " -d " +
                                           Path("signed")
                                     : "-o " + Path("out") + " -d " + Path("signed");
    std::filesystem::remove(Path("out"));
    std::filesystem::remove(Path("status"));
    int status = Run(Gpg("--status-file " + Path("status") + " " + verify + " 2>" + Path("err")));
    Bytes st = FileBytes(Path("status"));
    std::string statusText(st.begin(), st.end());
    Bytes er = FileBytes(Path("err"));
    EXPECT_NE(statusText.find("[GNUPG:] GOODSIG"), std::string::npos)
        << c.name << "\n" << statusText << std::string(er.begin(), er.end());
    EXPECT_EQ(status, 0) << c.name;
    if (c.detached && !c.armor) {
      // Only the signature: no one-pass packet (tag 4) in front.
      const std::string tags = Tags(Packets(r.message));
      EXPECT_TRUE(tags == "2" || tags == "10 2") << c.name << ": " << tags;
    }
    if (!c.detached) {
      Bytes out = FileBytes(Path("out"));
      if (c.clearsign) {
        // gpg gives the signed text back without the trailing blanks.
        EXPECT_NE(std::string(out.begin(), out.end()).find("From the start of a line\n"), std::string::npos) << c.name;
      } else if (c.textMode) {
        // The literal holds CR LF line ends; gpg gives local ones back.
        out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
        EXPECT_TRUE(out == data) << c.name;
      } else {
        EXPECT_TRUE(out == data) << c.name;
      }
    }
    if (c.clearsign) {
      std::string m(r.message.begin(), r.message.end());
      EXPECT_EQ(m.rfind("-----BEGIN PGP SIGNED MESSAGE-----\nHash: SHA1\n\n", 0), 0u) << m.substr(0, 200);
      EXPECT_NE(m.find("\n- - a line that begins"), std::string::npos) << "dash-escaped";
    }
  }
  // Clear-signing needs armor: without it the message is an ordinary signed one.
  Set(kQOXEnvArmorOutput, 0);
  Set(kQOXEnvClearSign, 1);
  Set(kQOXEnvDataIsText, 1);
  QOXSigSpec* spec = qoxSigSpecCreate(env_, erin, 1);
  Options o;
  o.signers = spec;
  Result r = Encrypt(data, o);
  qoxSigSpecDestroy(spec);
  ASSERT_EQ(r.error, 0);
  ASSERT_FALSE(r.message.empty());
  EXPECT_NE(r.message[0], '-');
  EXPECT_EQ(r.message[0] & 0x80, 0x80) << "binary packets";
}

TEST(CreateHashList, DistinctInOrderOfFirstAppearance) {
  QOXSigSpec specs[5] = {};
  const uint8_t hashes[5] = {2, 2, 3, 2, 8};
  for (int i = 0; i < 5; ++i) {
    specs[i].hashtype = hashes[i];
    specs[i].next = i < 4 ? &specs[i + 1] : nullptr;
  }
  ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
  QOXContext* context = nullptr;
  ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context), 0);
  size_t count = 0;
  uint8_t* list = createHashList(context, specs, &count);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(Bytes(list, list + count), (Bytes{2, 3, 8}));
  qoxContextMemFree(context, list);
  EXPECT_EQ(createHashList(context, nullptr, &count), nullptr);
  EXPECT_EQ(count, 0u);
  QOXFreeContext(context);
  QOXsdkCleanup();
}

}  // namespace
