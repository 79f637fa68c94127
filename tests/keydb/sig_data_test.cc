// Signature lists and signature making, with gpg as the oracle: signatures
// made here verify with gpg, gpg's one-pass packets pair with their closing
// signatures, and the lists' readers agree with what gpg lists.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "crypto/hash.h"
#include "foundation/core/sig_spec.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_id.h"
#include "keydb/sig_data.h"
#include "keydb/sig_make.h"
#include "tests/keydb/keydb_test_support.h"

namespace {

using keydb_test::Bytes;

// After the fixtures' keys were made (gpg refuses older signatures).
constexpr QOXTime kWhen = 0x6B1B6F00;
const std::string kPipelineData = OSTRAK_SOURCE_DIR "/tests/pipeline/data/";

Bytes FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << path;
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// The body of a whole packet.
Bytes Body(const Bytes& packet) {
  size_t header = 0;
  if (packet[0] & 0x40) {
    header = packet[1] < 192 ? 2 : packet[1] < 224 ? 3 : 6;
  } else {
    header = 1 + ((packet[0] & 3) == 0 ? 1 : (packet[0] & 3) == 1 ? 2 : 4);
  }
  return Bytes(packet.begin() + static_cast<long>(header), packet.end());
}

// The signed data of a literal packet's body.
Bytes LiteralData(const Bytes& body) {
  const size_t nameLength = body[1];
  return Bytes(body.begin() + static_cast<long>(2 + nameLength + 4), body.end());
}

// The digest a signature node covers after data: data, extra material and,
// for version 4, the trailer.
Bytes Digest(QOXContext* context, const QOXPktList* node, const Bytes& data) {
  const QOXHashVTBL* vtbl = qoxSigDataHash(node);
  QOXHashContext* h = nullptr;
  EXPECT_NE(vtbl, nullptr);
  if (vtbl == nullptr || QOXNewHashContext(context, vtbl->algorithm, &h) != 0) return Bytes(20);
  QOXContinueHash(h, data.data(), data.size());
  size_t n = 0;
  const uint8_t* extra = qoxSigDataExtra(node, &n);
  QOXContinueHash(h, extra, n);
  if (qoxSigDataVersion(node) == 4) {
    const uint8_t trailer[6] = {4, 0xFF, static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                                static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
    QOXContinueHash(h, trailer, sizeof trailer);
  }
  Bytes out(vtbl->digestSize);
  QOXFinalizeHash(h, out.data());
  QOXFreeHashContext(h);
  return out;
}

class SigDataTest : public keydb_test::KeyDBTest {
 protected:
  void SetUp() override {
    KeyDBTest::SetUp();
    char pattern[] = "/tmp/ostrak-sigdata-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    qoxSigDataFreeList(list_);
    qoxSigSpecDestroy(spec_);
    if (std::filesystem::exists(dir_ + "/gnupg")) Run("GNUPGHOME=" + dir_ + "/gnupg gpgconf --kill all");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    KeyDBTest::TearDown();
  }
  static int Run(const std::string& command) {
    const int status = std::system(command.c_str());
    return status == -1 ? -1 : WEXITSTATUS(status);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string Gpg(const std::string& args) {
    if (!std::filesystem::exists(dir_ + "/gnupg")) {
      std::filesystem::create_directory(dir_ + "/gnupg");
      std::filesystem::permissions(dir_ + "/gnupg", std::filesystem::perms::owner_all);
      EXPECT_EQ(Run("GNUPGHOME=" + dir_ + "/gnupg gpg --batch --quiet --import " + keydb_test::DataPath("alice.bin") +
                    " " + keydb_test::DataPath("bob.bin") + " 2>/dev/null"),
                0);
    }
    return "GNUPGHOME=" + dir_ + "/gnupg gpg --batch --no-tty " + args;
  }
  std::string GpgText(const std::string& args) {
    const std::string out = Path("gpg.out");
    Run(Gpg(args) + " >" + out + " 2>&1");
    std::ifstream in(out);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void Write(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
  }

  // The key of a secret export, read as a ring is, found by its user ID.
  QOXKeyDBObj* SecretKey(const std::string& file, const char* name) {
    EXPECT_EQ(ReadFixture(file), 0);
    MarkAllChecked();
    return KeyNamed(name);
  }
  // A spec for the key: the given version, SHA-1, binary document.
  QOXSigSpec* Spec(QOXKeyDBObj* key, int32_t version) {
    qoxSigSpecDestroy(spec_);
    spec_ = qoxSigSpecCreate(qoxContextGetEnvironment(context_), key, 0x00);
    EXPECT_NE(spec_, nullptr);
    EXPECT_EQ(qoxSigSpecSetHashtype(spec_, kQOXHashAlgorithm_SHA), 0);
    EXPECT_EQ(qoxSigSpecSetVersion(spec_, version), 0);
    EXPECT_EQ(qoxSigSpecSetTimestamp(spec_, kWhen), 0);
    return spec_;
  }
  // A signature body over the data.
  Bytes Sign(const QOXSigSpec* spec, const Bytes& data) {
    QOXHashContext* h = nullptr;
    EXPECT_EQ(QOXNewHashContext(context_, kQOXHashAlgorithm_SHA, &h), 0);
    EXPECT_EQ(QOXContinueHash(h, data.data(), data.size()), 0);
    uint8_t* body = nullptr;
    const int32_t n = qoxMakeSig(spec, h, &body);
    // The caller's hash goes on untouched.
    EXPECT_EQ(QOXContinueHash(h, "x", 1), 0);
    QOXFreeHashContext(h);
    EXPECT_GT(n, 0);
    if (n <= 0) return {};
    Bytes out(body, body + n);
    QOXFreeData(body);
    return out;
  }

  std::string dir_;
  QOXSigSpec* spec_ = nullptr;
  QOXPktList* list_ = nullptr;
};

// Signatures made here pass gpg --verify as detached signatures: version 4
// and 3, RSA and DSA; our own check of the same body agrees, and a changed
// data byte fails both.
TEST_F(SigDataTest, MadeSignaturesVerifyWithGpg) {
  QOXKeyDBObj* alice = SecretKey("alice.sec.bin", "Alice");
  QOXKeyDBObj* bob = SecretKey("bob.sec.bin", "Bob");
  ASSERT_TRUE(alice && bob);
  const Bytes data = {'s', 'i', 'g', 'n', 'e', 'd', '\n', 0, 1, 2, 0xFF};
  Write(Path("data"), data);
  Bytes changed = data;
  changed[0] ^= 1;
  Write(Path("changed"), changed);
  struct {
    QOXKeyDBObj* key;
    int32_t version;
    const char* keyID;
  } cases[] = {{alice, 4, "7F5B1A7795C777D2"}, {alice, 3, "7F5B1A7795C777D2"}, {bob, 4, nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    QOXSigSpec* spec = Spec(c.key, c.version);
    const Bytes body = Sign(spec, data);
    ASSERT_FALSE(body.empty());
    EXPECT_EQ(body[0], c.version);
    Write(Path("sig"), keydb_test::NewPacket(2, body));
    const std::string out = GpgText("--verify " + Path("sig") + " " + Path("data"));
    EXPECT_NE(out.find("Good signature"), std::string::npos) << out;
    EXPECT_EQ(Run(Gpg("--verify " + Path("sig") + " " + Path("changed") + " 2>/dev/null")), 1);

    ASSERT_EQ(qoxSigDataAdd(context_, &list_, kQOXSigDataAnn_Signature, body.data(), body.size()), 0);
    QOXPktList* node = list_;
    while (node->next != nullptr) node = node->next;
    EXPECT_EQ(qoxSigDataCheck(node, c.key, Digest(context_, node, data).data()), 1);
    EXPECT_EQ(qoxSigDataCheck(node, c.key, Digest(context_, node, changed).data()), 0);
    EXPECT_EQ(qoxSigDataTimestamp(node), kWhen);
    EXPECT_EQ(qoxSigDataType(node), 0);
    QOXKeyID id;
    ASSERT_EQ(qoxGetSigDataKeyID(node, &id), 0);
    char text[kQOXKeyIDStringSize];
    ASSERT_EQ(QOXGetKeyIDString(&id, kQOXKeyIDString_Full, text), 0);
    if (c.keyID != nullptr) EXPECT_EQ(std::string(text), std::string("0x") + c.keyID);
  }
}

// gpg's one-pass signed messages (`-s -z 0`, SHA-1, old-format headers):
// each one-pass packet goes in under 2306 and its version-4 signature pairs
// with it under 2307, also for two signers (signatures in reverse order);
// the paired signature checks against the literal's data.
TEST_F(SigDataTest, GpgOnePassPacketsPairWithTheirSignatures) {
  QOXKeyDBObj* alice = SecretKey("alice.sec.bin", "Alice");
  QOXKeyDBObj* carol = SecretKey("carol.sec.bin", "Carol");
  ASSERT_TRUE(alice && carol);
  for (const char* name : {"signed-plain.gpg", "signed-two.gpg"}) {
    SCOPED_TRACE(name);
    qoxSigDataFreeList(list_);
    list_ = nullptr;
    Bytes data;
    size_t onePass = 0, signatures = 0;
    for (const auto& p : keydb_test::SplitPackets(FileBytes(kPipelineData + name))) {
      const Bytes body = Body(p.bytes);
      if (p.tag == 4) {
        ASSERT_EQ(qoxSigDataAdd(context_, &list_, kQOXSigDataAnn_Signature, body.data(), body.size()), 0);
        ++onePass;
      } else if (p.tag == 2) {
        ASSERT_EQ(body[0], 4);
        ASSERT_EQ(qoxSigDataAdd(context_, &list_, kQOXSigDataAnn_ClosingSignature, body.data(), body.size()), 0);
        ++signatures;
      } else if (p.tag == 11) {
        data = LiteralData(body);
      }
    }
    ASSERT_EQ(onePass, signatures);
    size_t count = 0;
    for (QOXPktList* n = list_; n != nullptr; n = qoxSigDataNext(n)) {
      ++count;
      EXPECT_EQ(qoxSigDataVersion(n), 4);  // every one-pass node replaced
      EXPECT_EQ(qoxSigDataNestFlag(qoxPktListData(n), n->length), 1);
    }
    EXPECT_EQ(count, onePass);
    // Each signature checks with its signer's key (alice, or carol second).
    int good = 0;
    for (QOXPktList* n = list_; n != nullptr; n = qoxSigDataNext(n)) {
      QOXKeyID id;
      ASSERT_EQ(qoxGetSigDataKeyID(n, &id), 0);
      QOXKeyDBObj* key = qoxGetKeyIDBytes(&id)[7] == 0xD2 ? alice : carol;
      good += qoxSigDataCheck(n, key, Digest(context_, n, data).data());
    }
    EXPECT_EQ(good, static_cast<int>(onePass));
  }
}

// The checks of a body and of a closing signature, on small bodies.
TEST_F(SigDataTest, BodyChecksAndClosingSignatureRefusals) {
  // A version-3 RSA body: L = 5, type 0, time, key ID, RSA, SHA-1, check
  // bytes, a 9-bit MPI (0x01 0x80).
  const Bytes v3 = {3, 5, 0x00, 0, 0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 0xAB, 0xCD, 0, 9, 0x01, 0x80};
  // A version-4 body: no subpackets, a 1-byte DSA-like MPI pair.
  const Bytes v4 = {4, 0x00, 17, 2, 0, 0, 0, 0, 0xAB, 0xCD, 0, 1, 1, 0, 1, 1};
  const Bytes onePass = {3, 0x00, 2, 1, 1, 2, 3, 4, 5, 6, 7, 8, 1};
  auto with = [](Bytes b, size_t at, uint8_t v) {
    b[at] = v;
    return b;
  };
  auto cut = [](Bytes b, size_t n) {
    b.resize(n);
    return b;
  };
  Bytes v3Longer = v3;
  v3Longer.push_back(0);
  struct {
    const char* what;
    Bytes body;
    QOXError err;
  } cases[] = {
      {"empty", {}, kQOXErrBadSignatureSize},
      {"v3", v3, 0},
      {"v3 RSA one byte longer than its MPI", v3Longer, kQOXErrBadSignatureSize},
      {"v3 MPI top bit not where its count says", with(v3, 21, 0x03), kQOXErrSignatureBitsWrong},
      {"v3 shorter than L + 16", cut(v3, 20), kQOXErrBadSignatureSize},
      {"v3 of one byte", {3}, kQOXErrBadSignatureSize},
      {"version 5", with(v3, 0, 5), kQOXErrUnknownVersion},
      {"v4", v4, 0},
      {"v4 without its check bytes", cut(v4, 9), kQOXErrBadSignatureSize},
      {"v4 hashed length past the end", with(v4, 5, 40), kQOXErrBadSignatureSize},
      {"v4 unhashed length past the end", with(v4, 7, 9), kQOXErrBadSignatureSize},
      {"v4 cut inside its lengths", cut(v4, 5), kQOXErrBadSignatureSize},
      {"one-pass", onePass, 0},
      {"one-pass with unknown hash", with(onePass, 2, 4), kQOXErrUnknownHashNumber},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(qoxSigDataCheckBody(c.body.data(), c.body.size()), c.err);
    EXPECT_EQ(qoxSigDataSigType(c.body.data(), c.body.size()), c.err == 0 ? 0 : c.err);
    QOXPktList* list = nullptr;
    EXPECT_EQ(qoxSigDataAdd(context_, &list, kQOXSigDataAnn_Signature, c.body.data(), c.body.size()), c.err);
    EXPECT_EQ(list != nullptr, c.err == 0);
    if (list != nullptr) EXPECT_EQ(qoxSigDataType(list), 0);
    qoxSigDataFreeList(list);
  }
  // L = 0: no signature type; the node's reader returns the error itself,
  // not its low byte.
  const Bytes noExtra = {3, 0, 1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 0xAB, 0xCD, 0, 0};
  EXPECT_EQ(qoxSigDataSigType(noExtra.data(), noExtra.size()), kQOXErrBadSigExtraData);
  QOXPktList* node = qoxPktListNew(context_, 1, noExtra.data(), noExtra.size());
  EXPECT_EQ(qoxSigDataType(node), kQOXErrBadSigExtraData);
  qoxPktListFreeOne(node);

  // Closing signatures: the one-pass entry of another signer does not pair,
  // and the list is left as it was; a one-pass body, L other than 5 and an
  // unknown annotation are refused.
  const Bytes otherSigner = with(onePass, 11, 9);
  ASSERT_EQ(qoxSigDataAdd(context_, &list_, kQOXSigDataAnn_Signature, otherSigner.data(), otherSigner.size()), 0);
  Bytes v3Paired = v3;  // the v3 body's fields: type 0, key ID 1..8, RSA, SHA-1
  EXPECT_EQ(qoxSigDataAdd(context_, &list_, kQOXSigDataAnn_ClosingSignature, v3Paired.data(), v3Paired.size()),
            kQOXErrUnknownSignatureType);
  EXPECT_EQ(qoxSigDataAdd(context_, &list_, kQOXSigDataAnn_ClosingSignature, onePass.data(), onePass.size()),
            kQOXErrUnknownSignatureType);
  const Bytes l6 = {3, 6, 0x00, 0, 0, 0, 1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 0xAB, 0xCD, 0, 9, 0x01, 0x80};
  EXPECT_EQ(qoxSigDataAdd(context_, &list_, kQOXSigDataAnn_ClosingSignature, l6.data(), l6.size()),
            kQOXErrUnknownSignatureType);
  EXPECT_EQ(qoxSigDataAdd(context_, &list_, 2305, v3.data(), v3.size()), kQOXErrUnknownSignatureType);
  ASSERT_NE(list_, nullptr);
  EXPECT_EQ(list_->next, nullptr);
  EXPECT_EQ(list_->length, kQOXOnePassSigLength);
  // The matching one-pass entry, behind it, is replaced in place.
  ASSERT_EQ(qoxSigDataAdd(context_, &list_, kQOXSigDataAnn_Signature, onePass.data(), onePass.size()), 0);
  ASSERT_EQ(qoxSigDataAdd(context_, &list_, kQOXSigDataAnn_ClosingSignature, v3Paired.data(), v3Paired.size()), 0);
  EXPECT_EQ(list_->length, kQOXOnePassSigLength);
  ASSERT_NE(list_->next, nullptr);
  EXPECT_EQ(qoxSigDataVersion(list_->next), 3);
  EXPECT_EQ(list_->next->type, 1u);  // the public-key algorithm
  EXPECT_EQ(qoxSigDataNestFlag(otherSigner.data(), otherSigner.size()), 1);
  EXPECT_EQ(qoxSigDataNestFlag(with(onePass, 12, 0).data(), 13), 0);
}

TEST_F(SigDataTest, DistinctHashesInOrderOfFirstAppearance) {
  EXPECT_EQ(qoxSigDataDistinctHashCount(nullptr), 0u);
  for (uint8_t hash : {2, 1, 2}) {
    const Bytes v4 = {4, 0x00, 17, hash, 0, 0, 0, 0, 0xAB, 0xCD, 0, 1, 1, 0, 1, 1};
    ASSERT_EQ(qoxSigDataAdd(context_, &list_, kQOXSigDataAnn_Signature, v4.data(), v4.size()), 0);
  }
  EXPECT_EQ(qoxSigDataDistinctHashCount(list_), 2u);
  uint8_t hashes[2] = {};
  qoxSigDataDistinctHashes(list_, hashes);
  EXPECT_EQ(hashes[0], 2);
  EXPECT_EQ(hashes[1], 1);
}

// Subpackets of a made version-4 signature: where each goes, the RFC 2440
// lengths of long ones (a 200-byte raw subpacket gives C0 08; a 300-byte
// preferred key server reads back in gpg), and the size reserved for them.
TEST_F(SigDataTest, SubpacketsOfMadeSignatures) {
  QOXKeyDBObj* alice = SecretKey("alice.sec.bin", "Alice");
  ASSERT_NE(alice, nullptr);
  QOXSigSpec* spec = Spec(alice, 4);
  ASSERT_EQ(qoxSigSpecSetKeyExpiration(spec, kQOXSigSubpacket_Unhashed | kQOXSigSubpacket_Critical, 0x01020304), 0);
  Bytes raw(200, 'r');
  raw[0] = 101;  // a private subpacket type
  ASSERT_EQ(qoxSigSpecSetPacket(spec, 0, raw.data(), raw.size()), 0);
  const std::string server = "hkp://" + std::string(286, 'k') + ".example";
  ASSERT_EQ(server.size(), 300u);
  ASSERT_EQ(qoxSigSpecSetPrefKeyServ(spec, 0, reinterpret_cast<const uint8_t*>(server.data()), server.size()), 0);
  const Bytes data = {'d', 'a', 't', 'a'};
  const Bytes body = Sign(spec, data);
  ASSERT_GT(body.size(), 520u);

  // The unhashed area: the issuer, then key expiration 5, 0x89, the time.
  const size_t hashedLength = (body[4] << 8) | body[5];
  const size_t unhashedAt = 6 + hashedLength;
  const Bytes unhashed(body.begin() + static_cast<long>(unhashedAt + 2),
                       body.begin() + static_cast<long>(unhashedAt + 2 + ((body[unhashedAt] << 8) | body[unhashedAt + 1])));
  const Bytes expected = {9, 16, 0x7F, 0x5B, 0x1A, 0x77, 0x95, 0xC7, 0x77, 0xD2, 5, 0x89, 1, 2, 3, 4};
  EXPECT_EQ(unhashed, expected);
  // The hashed area: creation time, then the key server (301 = 0xC0 0x6D),
  // then the raw subpacket (200 = 0xC0 0x08).
  const Bytes hashed(body.begin() + 6, body.begin() + static_cast<long>(6 + hashedLength));
  ASSERT_EQ(hashed.size(), 6u + 2 + 301 + 2 + 200);
  EXPECT_EQ(Bytes(hashed.begin(), hashed.begin() + 6), (Bytes{5, 2, 0x6B, 0x1B, 0x6F, 0x00}));
  EXPECT_EQ(Bytes(hashed.begin() + 6, hashed.begin() + 9), (Bytes{0xC0, 0x6D, 24}));
  EXPECT_EQ(Bytes(hashed.begin() + 309, hashed.begin() + 312), (Bytes{0xC0, 0x08, 101}));
  // What was reserved covers the body up to its MPIs exactly.
  EXPECT_EQ(qoxMakeSigExtraSize(spec), 10 + hashedLength + unhashed.size());

  Write(Path("sig"), keydb_test::NewPacket(2, body));
  Write(Path("data"), data);
  const std::string listed = GpgText("--list-packets " + Path("sig"));
  EXPECT_NE(listed.find("hashed subpkt 24 len 300 (preferred keyserver: " + server + ")"), std::string::npos)
      << listed;
  EXPECT_NE(listed.find("hashed subpkt 101 len 199"), std::string::npos) << listed;
  EXPECT_NE(listed.find("critical subpkt 9 len 4"), std::string::npos) << listed;
  const std::string verified = GpgText("--verify " + Path("sig") + " " + Path("data"));
  EXPECT_NE(verified.find("Good signature"), std::string::npos) << verified;

  // One-pass header of the same spec.
  uint8_t header[kQOXMakeSigHeaderMaxSize];
  ASSERT_EQ(qoxMakeSigHeader(header, spec, 0), 13);
  EXPECT_EQ(Bytes(header, header + 13), (Bytes{3, 0, 2, 1, 0x7F, 0x5B, 0x1A, 0x77, 0x95, 0xC7, 0x77, 0xD2, 0}));
}

}  // namespace
