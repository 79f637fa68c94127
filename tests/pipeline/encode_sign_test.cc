// Signed messages through the encode entry point: inline, clear-signed and
// detached signatures with RSA and DSA keys, version 3 and 4, alone and
// inside encryption, checked by gpg and by our own decode; the RFC 3156
// form read by Python's email package; the version-3 IDEA message read by
// an independent IDEA; and every combination of the job's switches read
// back by our own decode.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>

#include "crypto/cipher.h"
#include "crypto/hash.h"
#include "foundation/env.h"
#include "tests/pipeline/encode_test_support.h"

namespace {

using encode_test::Bytes;
using encode_test::EncodeTest;
using encode_test::FileBytes;
using encode_test::FileText;
using encode_test::Heard;
using encode_test::kKeyData;

// Text that clear-signing must escape or strip: dash lines, "From " lines,
// trailing blanks and tabs.
Bytes AwkwardText() {
  std::string s = "- a line that begins with a dash\nFrom the start of a line\ntrailing blanks   \n"
                  "and a tab\t\n-\nplain line\n";
  for (int i = 0; i < 60; ++i) s += "more text " + std::to_string(i) + "\n";
  return Bytes(s.begin(), s.end());
}

// The text without blanks and tabs at the ends of its lines.
Bytes Stripped(const Bytes& text) {
  Bytes out;
  Bytes blanks;
  for (uint8_t c : text) {
    if (c == ' ' || c == '\t') {
      blanks.push_back(c);
      continue;
    }
    if (c != '\n') out.insert(out.end(), blanks.begin(), blanks.end());
    blanks.clear();
    out.push_back(c);
  }
  return out;
}

// The fields of gpg's VALIDSIG status line (empty when none came).
std::vector<std::string> ValidSig(const std::string& status) {
  std::istringstream in(status);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("[GNUPG:] VALIDSIG ", 0) != 0) continue;
    std::vector<std::string> f;
    std::istringstream words(line.substr(18));
    for (std::string w; words >> w;) f.push_back(w);
    return f;
  }
  return {};
}
// VALIDSIG fields: fingerprint, date, time, expiry, signature version,
// reserved, public-key algorithm, hash algorithm, class, primary fingerprint.
constexpr size_t kValidSigVersion = 4;
constexpr size_t kValidSigHash = 7;
constexpr size_t kValidSigClass = 8;

class EncodeSignTest : public EncodeTest {
 protected:
  void SetUp() override {
    EncodeTest::SetUp();
    erinDB_ = DBOf("erin.sec.bin");
    bobDB_ = DBOf("bob.sec.bin");
    erin_ = Keys(false, erinDB_)[0];
    bob_ = Keys(false, bobDB_)[0];
  }
  void TearDown() override {
    SetVersion(3);
    EncodeTest::TearDown();
  }
  // Setting 1017 of the context: the message version of later jobs.
  void SetVersion(uint32_t version) {
    ASSERT_EQ(qoxenvSetInt(qoxContextGetEnvironment(context_), kQOXEnvSigVersion, version, kQOXEnvPriorityOptions),
              0);
  }
  // A gpg home that knows the public keys of the signers.
  void VerifierHome() {
    GpgHome();
    ASSERT_EQ(Run(Gpg("--import " + kKeyData + "erin.bin " + kKeyData + "bob.bin 2>/dev/null")), 0);
  }
  // gpg run on the message (and the signed data for a detached
  // signature); its status lines, its output in "out".
  std::string GpgCheck(const Bytes& message, const std::string& how, int* status) {
    Write(Path("msg"), message);
    std::filesystem::remove(Path("out"));
    *status = Run(Gpg("--status-file " + Path("status") + " " + how + " 2>" + Path("err")));
    return FileText(Path("status")) + FileText(Path("err"));
  }

  QOXKeyDB* erinDB_ = nullptr;
  QOXKeyDB* bobDB_ = nullptr;
  QOXKeyDBObj* erin_ = nullptr;  // RSA-1024
  QOXKeyDBObj* bob_ = nullptr;   // DSA-1024
};

// Each form of signed message made through QOXEncode: gpg finds a good
// signature of the version and hash asked for and gives the data back; our
// own decode gives the data back with one verified Signature event.
TEST_F(EncodeSignTest, SignedMessagesVerifyInGpgAndOurDecode) {
  VerifierHome();
  const Bytes data = AwkwardText();
  Write(Path("data"), data);
  enum Form { kInline, kText, kClear, kDetached, kDetachedText, kEncrypted };
  struct Case {
    const char* name;
    bool rsa;
    uint32_t version;
    Form form;
    bool armor, compress;
  } cases[] = {
      {"RSA v3 binary", true, 3, kInline, false, false},
      {"RSA v4 armored compressed", true, 4, kInline, true, true},
      {"DSA v3 compressed", false, 3, kInline, false, true},
      {"DSA v4 armored", false, 4, kInline, true, false},
      {"RSA v4 text literal", true, 4, kText, false, true},
      {"RSA v3 clear-signed", true, 3, kClear, true, false},
      {"DSA v4 clear-signed", false, 4, kClear, true, false},
      {"RSA detached binary, armored", true, 4, kDetached, true, false},
      {"DSA v3 detached binary", false, 3, kDetached, false, false},
      {"RSA detached text", true, 4, kDetachedText, false, false},
      {"DSA detached text, armored", false, 4, kDetachedText, true, false},
      {"RSA v4 signed and encrypted", true, 4, kEncrypted, true, true},
      {"DSA v3 signed and encrypted", false, 3, kEncrypted, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetVersion(c.version);
    const bool text = c.form == kText || c.form == kClear || c.form == kDetachedText;
    const bool detached = c.form == kDetached || c.form == kDetachedText;
    Heard heard;
    Bytes message;
    ASSERT_EQ(Encode(data, &message, &heard, QOXOSignWithKey(context_, c.rsa ? erin_ : bob_, QOXOLastOption(context_)),
                     // RSA keys sign with MD5 unless asked otherwise; DSA always with SHA-1.
                     c.rsa ? QOXOHashAlgorithm(context_, kQOXHashAlgorithm_SHA) : QOXONullOption(context_),
                     QOXOArmorOutput(context_, c.armor), QOXOCompression(context_, c.compress),
                     QOXODataIsASCII(context_, text), QOXOClearSign(context_, c.form == kClear),
                     detached ? QOXODetachedSig(context_, QOXOLastOption(context_)) : QOXONullOption(context_),
                     c.form == kEncrypted ? QOXOConventionalEncrypt(context_, QOXOPassphrase(context_, "sign pass"),
                                                                    QOXOLastOption(context_))
                                          : QOXONullOption(context_),
                     c.form == kEncrypted ? QOXOCipherAlgorithm(context_, kQOXCipherAlgorithm_CAST5)
                                          : QOXONullOption(context_)),
              0);
    ASSERT_FALSE(message.empty());
    EXPECT_TRUE(heard.errors.empty());
    const std::string m(message.begin(), message.end());
    if (c.form == kClear) {
      EXPECT_EQ(m.rfind("-----BEGIN PGP SIGNED MESSAGE-----\nHash: SHA1\n\n", 0), 0u) << m.substr(0, 120);
      EXPECT_NE(m.find("\n- - a line that begins"), std::string::npos) << "dash-escaped";
    } else if (c.armor) {
      const char* begin = detached ? "-----BEGIN PGP SIGNATURE-----\n" : "-----BEGIN PGP MESSAGE-----\n";
      EXPECT_EQ(m.rfind(begin, 0), 0u) << m.substr(0, 80);
    }

    int status = 0;
    const std::string how = detached             ? "--verify " + Path("msg") + " " + Path("data")
                            : c.form == kEncrypted ? "--ignore-mdc-error --passphrase 'sign pass' -o " + Path("out") +
                                                         " -d " + Path("msg")
                                                   : "-o " + Path("out") + " -d " + Path("msg");
    const std::string said = GpgCheck(message, how, &status);
    EXPECT_EQ(status, 0) << said;
    EXPECT_NE(said.find("[GNUPG:] GOODSIG"), std::string::npos) << said;
    const auto valid = ValidSig(said);
    ASSERT_GT(valid.size(), kValidSigClass) << said;
    EXPECT_EQ(valid[kValidSigVersion], std::to_string(c.version));
    EXPECT_EQ(valid[kValidSigHash], "2");  // SHA-1
    EXPECT_EQ(valid[kValidSigClass], text ? "01" : "00");
    if (!detached) {
      // gpg hands text back with its line ends as they were; clear-signed
      // text without its trailing blanks, and with the line end that closes
      // the signed text (the text's own last one) as a line of its own.
      Bytes clear = Stripped(data);
      clear.push_back('\n');
      EXPECT_TRUE(FileBytes(Path("out")) == (c.form == kClear ? clear : data))
          << FileText(Path("out")).substr(0, 200);
    }

    Heard decoded;
    Bytes out;
    EXPECT_EQ(Decode(message, &out, &decoded, QOXOKeyDBRef(context_, c.rsa ? erinDB_ : bobDB_),
                     c.form == kEncrypted ? QOXOPassphrase(context_, "sign pass") : QOXONullOption(context_),
                     detached ? QOXODetachedSig(context_, QOXOInputBuffer(context_, data.data(), data.size()),
                                                QOXOLastOption(context_))
                              : QOXONullOption(context_)),
              0);
    EXPECT_TRUE(decoded.errors.empty());
    if (!detached) {
      EXPECT_TRUE(out == data) << std::string(out.begin(), out.end());
    }
    ASSERT_EQ(decoded.signatures.size(), 1u);
    EXPECT_EQ(decoded.signatures[0].signingKey, c.rsa ? erin_ : bob_);
    EXPECT_TRUE(decoded.signatures[0].checked);
    EXPECT_TRUE(decoded.signatures[0].verified);
  }
}

// Without a hash option an RSA key signs with MD5: gpg accepts that only
// when weak digests are allowed.
TEST_F(EncodeSignTest, RsaDefaultHashIsMd5) {
  VerifierHome();
  const Bytes data = AwkwardText();
  Heard heard;
  Bytes message;
  ASSERT_EQ(Encode(data, &message, &heard, QOXOSignWithKey(context_, erin_, QOXOLastOption(context_))), 0);
  int status = 0;
  std::string said = GpgCheck(message, "--allow-weak-digest-algos -o " + Path("out") + " -d " + Path("msg"), &status);
  EXPECT_EQ(status, 0) << said;
  const auto valid = ValidSig(said);
  ASSERT_GT(valid.size(), kValidSigHash) << said;
  EXPECT_EQ(valid[kValidSigHash], "1");  // MD5
  EXPECT_TRUE(FileBytes(Path("out")) == data);
}

// A protected key refuses a wrong or missing passphrase; a detached
// signature with encryption is refused.
TEST_F(EncodeSignTest, SigningRefusals) {
  QOXKeyDBObj* dave = Keys(false, DBOf("dave.sec.bin"))[0];
  const Bytes data = AwkwardText();
  struct Case {
    const char* name;
    QOXError expected;
    std::function<QOXOptionListRef()> sign;
    bool detachedAndEncrypted;
  } cases[] = {
      {"wrong passphrase", kQOXErrBadPassphrase,
       [&] { return QOXOSignWithKey(context_, dave, QOXOPassphrase(context_, "wrong"), QOXOLastOption(context_)); },
       false},
      {"no passphrase", kQOXErrBadPassphrase, [&] { return QOXOSignWithKey(context_, dave, QOXOLastOption(context_)); },
       false},
      {"detached with encryption", kQOXErrBadParams,
       [&] { return QOXOSignWithKey(context_, erin_, QOXOLastOption(context_)); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Heard heard;
    Bytes message;
    EXPECT_EQ(Encode(data, &message, &heard, c.sign(),
                     c.detachedAndEncrypted ? QOXODetachedSig(context_, QOXOLastOption(context_))
                                            : QOXONullOption(context_),
                     c.detachedAndEncrypted ? QOXOConventionalEncrypt(context_, QOXOPassphrase(context_, "pw"),
                                                                      QOXOLastOption(context_))
                                            : QOXONullOption(context_)),
              c.expected);
    EXPECT_TRUE(message.empty());
    EXPECT_EQ(heard.errors, std::vector<QOXError>{c.expected});
  }
}

// Every combination of signing, encryption (to a passphrase and to a key),
// armor and compression decodes with our own decode to the input, with a
// Decryption event when encrypted and one verified Signature event when
// signed.
TEST_F(EncodeSignTest, EveryCombinationDecodesToTheInput) {
  // One database with alice's secret key (to decrypt) and bob's (to sign).
  QOXKeyDB* keys = DBOf("alice.sec.bin");
  ASSERT_EQ(Read(FileBytes(kKeyData + "bob.sec.bin"), false, keys), 0);
  MarkAllChecked(keys);
  QOXKeyDBObj* alice = KeyNamed("Alice", keys);
  QOXKeyDBObj* bob = KeyNamed("Bob", keys);
  ASSERT_NE(alice, nullptr);
  ASSERT_NE(bob, nullptr);
  Bytes data = AwkwardText();
  for (int i = 0; i < 3000; ++i) data.push_back(static_cast<uint8_t>(i * 7 + (i >> 5)));  // binary past 4 KiB
  for (uint32_t version : {3u, 4u}) {
    SetVersion(version);
    for (int sign = 0; sign < 2; ++sign) {
      for (int encrypt = 0; encrypt < 3; ++encrypt) {  // none, passphrase, alice's key
        for (int armor = 0; armor < 2; ++armor) {
          for (int compress = 0; compress < 2; ++compress) {
            SCOPED_TRACE("v" + std::to_string(version) + (sign ? " signed" : "") +
                         (encrypt == 1 ? " passphrase" : encrypt == 2 ? " to alice" : "") +
                         (armor ? " armored" : "") + (compress ? " compressed" : ""));
            Heard heard;
            Bytes message;
            ASSERT_EQ(Encode(data, &message, &heard,
                             sign ? QOXOSignWithKey(context_, bob, QOXOLastOption(context_)) : QOXONullOption(context_),
                             encrypt == 1 ? QOXOConventionalEncrypt(context_, QOXOPassphrase(context_, "round trip"),
                                                                    QOXOLastOption(context_))
                                          : QOXONullOption(context_),
                             encrypt == 1 ? QOXOCipherAlgorithm(context_, kQOXCipherAlgorithm_AES256)
                                          : QOXONullOption(context_),
                             encrypt == 2 ? QOXOEncryptToKeyDBObj(context_, alice) : QOXONullOption(context_),
                             QOXOArmorOutput(context_, armor != 0), QOXOCompression(context_, compress != 0)),
                      0);
            Heard decoded;
            Bytes out;
            EXPECT_EQ(Decode(message, &out, &decoded, QOXOKeyDBRef(context_, keys),
                             encrypt == 1 ? QOXOPassphrase(context_, "round trip") : QOXONullOption(context_)),
                      0);
            EXPECT_TRUE(out == data) << out.size() << " bytes of " << data.size();
            EXPECT_TRUE(decoded.errors.empty());
            EXPECT_EQ(std::count(decoded.types.begin(), decoded.types.end(), kQOXEvent_DecryptionEvent),
                      encrypt != 0 ? 1 : 0);
            ASSERT_EQ(decoded.signatures.size(), sign ? 1u : 0u);
            if (sign) {
              EXPECT_TRUE(decoded.signatures[0].verified);
            }
          }
        }
      }
    }
  }
}

// The RFC 3156 form over a MIME entity without trailing blanks: Python's
// email package reads a multipart/signed message of two parts, and gpg
// verifies the signature part over the first part in CR LF form; our own
// decode verifies it too.
TEST_F(EncodeSignTest, MultipartSignedVerifiesOverTheFirstPart) {
  VerifierHome();
  const std::string entity =
      "Content-Type: text/plain; charset=us-ascii\n\nDear reader,\n- a dash line\nFrom the start of a line\n"
      "the end\n";
  const Bytes data(entity.begin(), entity.end());
  uint32_t bodyOffset = 0;
  uint8_t flag = 0;
  Heard heard;
  Bytes message;
  ASSERT_EQ(Encode(data, &message, &heard, QOXOSignWithKey(context_, erin_, QOXOLastOption(context_)),
                   QOXOHashAlgorithm(context_, kQOXHashAlgorithm_SHA), QOXODataIsASCII(context_, true),
                   QOXOClearSign(context_, true), QOXOQOXMIMEEncoding(context_, true, &bodyOffset, &flag)),
            0);
  Write(Path("mime.eml"), message);
  const std::string parts = "/usr/bin/python3 " OSTRAK_SOURCE_DIR "/tests/pipeline/mime_signed_parts.py ";
  ASSERT_EQ(Run(parts + Path("mime.eml") + " " + Path("part") + " " + Path("part.sig") + " >" + Path("micalg") +
                " 2>" + Path("why")),
            0)
      << FileText(Path("why")) << "\n" << std::string(message.begin(), message.end());
  EXPECT_EQ(FileText(Path("micalg")), "pgp-sha1\n");
  std::string crlf;
  for (char ch : entity) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
  // The entity whole, its last line end included (the line end in front
  // of the delimiter is the delimiter's).
  EXPECT_EQ(FileText(Path("part")), crlf);
  int status = Run(Gpg("--status-file " + Path("status") + " --verify " + Path("part.sig") + " " + Path("part") +
                       " 2>" + Path("err")));
  EXPECT_EQ(status, 0) << FileText(Path("err"));
  EXPECT_NE(FileText(Path("status")).find("[GNUPG:] GOODSIG"), std::string::npos) << FileText(Path("status"));

  Heard decoded;
  Bytes out;
  EXPECT_EQ(Decode(message, &out, &decoded, QOXOKeyDBRef(context_, erinDB_)), 0);
  ASSERT_EQ(decoded.signatures.size(), 1u);
  EXPECT_TRUE(decoded.signatures[0].verified);
}

// One passphrase and no cipher option: a version-3 IDEA message of a single
// old-format tag-9 packet, no session-key packet, keyed with the
// passphrase's MD5. An independent IDEA (checked on the published vector
// first) decrypts it to a literal packet of the data, and our own decode
// returns the data.
TEST_F(EncodeSignTest, VersionThreeIdeaMessage) {
  const Bytes data = encode_test::TextData();
  Heard heard;
  Bytes message;
  ASSERT_EQ(Encode(data, &message, &heard,
                   QOXOConventionalEncrypt(context_, QOXOPassphrase(context_, "idea pass"), QOXOLastOption(context_)),
                   QOXOCompression(context_, false)),
            0);
  EXPECT_EQ(heard.ciphers, std::vector<int32_t>{kQOXCipherAlgorithm_IDEA});
  ASSERT_GT(message.size(), 3u);
  const uint8_t ctb = message[0];
  ASSERT_EQ(ctb & 0xC0, 0x80) << "old-format header";
  ASSERT_EQ((ctb >> 2) & 0x0F, 9) << "encrypted data packet first";
  const size_t lengthBytes = (ctb & 3) == 3 ? 0 : size_t{1} << (ctb & 3);
  size_t length = message.size() - 1 - lengthBytes;
  if (lengthBytes > 0) {
    length = 0;
    for (size_t i = 0; i < lengthBytes; ++i) length = (length << 8) | message[1 + i];
  }
  ASSERT_EQ(1 + lengthBytes + length, message.size()) << "one packet only";
  Write(Path("body"), Bytes(message.begin() + static_cast<long>(1 + lengthBytes), message.end()));

  const std::string idea = "/usr/bin/python3 " OSTRAK_SOURCE_DIR "/tests/pipeline/idea_cfb.py ";
  ASSERT_EQ(Run(idea + "--selftest"), 0);
  ASSERT_EQ(Run("/usr/bin/python3 -c \"import hashlib; print(hashlib.md5(b'idea pass').hexdigest(), end='')\" >" +
                Path("key")),
            0);
  ASSERT_EQ(Run(idea + FileText(Path("key")) + " " + Path("body") + " " + Path("plain")), 0);
  const Bytes plain = FileBytes(Path("plain"));
  // A literal packet (old format, tag 11): type, name, time, the data.
  ASSERT_GT(plain.size(), data.size());
  EXPECT_EQ((plain[0] >> 2) & 0x0F, 11);
  EXPECT_TRUE(Bytes(plain.end() - static_cast<long>(data.size()), plain.end()) == data);

  Heard decoded;
  Bytes out;
  EXPECT_EQ(Decode(message, &out, &decoded, QOXOPassphrase(context_, "idea pass")), 0);
  EXPECT_TRUE(out == data);
}

}  // namespace
