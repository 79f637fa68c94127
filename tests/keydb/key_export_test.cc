// Export of key sets (key blocks and X.509 objects), import's option
// handling, and certificate issuing's attribute records. The pipeline's
// buffer output and the X.509 bridge are doubles that record what they are
// handed.
#include <cstdio>
#include <ctime>

#include "foundation/option_list.h"
#include "foundation/pipeline_services.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_files.h"
#include "keydb/key_set.h"
#include "keydb/key_set_ops.h"
#include "keydb/x509_services.h"
#include "keydb_test_support.h"
#include "tests/common/scoped_services.h"

namespace keydb_test {
namespace {

// What the buffer-output double was last handed.
struct Output {
  Bytes bytes;
  uint32_t kind = 0xFFFFFFFF;
  int calls = 0;
};
Output gOutput;

// What the X.509 double's certificate request was handed.
std::vector<std::pair<uint32_t, Bytes>> gAttributes;
int gRequestFormat = 0;

class KeyExportTest : public KeyDBTest {
 protected:
  void SetUp() override {
    KeyDBTest::SetUp();
    gOutput = Output{};
    gAttributes.clear();
    pipeline_->qoxOutputBufferByOptionList = [](QOXContext*, const uint8_t* bytes, size_t length, QOXOptionListRef,
                                                uint32_t kind) {
      gOutput.bytes.assign(bytes, bytes + length);
      gOutput.kind = kind;
      ++gOutput.calls;
      return QOXError{kQOXErrNoErr};
    };
    x509_->X509CreateCertificateRequest = [](QOXContext* context, QOXKeyDBObj*, int format, const void* attributes,
                                             size_t count, QOXOptionList*, uint8_t** outRequest,
                                             size_t* outLength) {
      gRequestFormat = format;
      const auto* records = static_cast<const QOXAttributeValue*>(attributes);
      for (size_t i = 0; i < count; ++i) {
        const auto* p = reinterpret_cast<const uint8_t*>(records[i].value);
        gAttributes.emplace_back(records[i].attribute, Bytes(p, p + records[i].size));
      }
      *outRequest = static_cast<uint8_t*>(qoxContextMemAlloc(context, 1, 0));
      **outRequest = 0x30;
      *outLength = 1;
      return QOXError{kQOXErrNoErr};
    };
  }

  // The packets sExportToQOXFile writes for the set.
  std::vector<Packet> Blocks(QOXKeySet* set, bool exportPrivate, bool exportPrivateSubKeys, bool attributes) {
    QOXFile* file = qoxFileMemOpen(context_, nullptr, 0);
    EXPECT_NE(file, nullptr);
    EXPECT_EQ(sExportToQOXFile(set, file, exportPrivate, exportPrivateSubKeys, attributes), 0);
    const QOXFileOffset size = file->tell(file);
    Bytes bytes(static_cast<size_t>(size));
    file->seek(file, 0, SEEK_SET);
    EXPECT_EQ(file->read(bytes.data(), bytes.size(), file), bytes.size());
    file->close(file);
    return SplitPackets(bytes);
  }

  static std::vector<int> Tags(const std::vector<Packet>& packets) {
    std::vector<int> tags;
    for (const Packet& p : packets) tags.push_back(p.tag);
    return tags;
  }

  QOXOptionListRef List(std::initializer_list<QOXOptionListRef> options) {
    QOXOptionListRef list = qoxNewOptionList(context_, false);
    for (QOXOptionListRef o : options) EXPECT_EQ(qoxAppendOptionListArgs(list, o, kQOXEndOfOptionList), 0);
    return list;
  }

  ostrak_test::ScopedServices<QOXPipelineServices> pipeline_{qoxPipelineServices, qoxRegisterPipelineServices};
  ostrak_test::ScopedServices<QOXX509Services> x509_{qoxX509Services, qoxRegisterX509Services};
};

TEST_F(KeyExportTest, APrivateExportIsTheSecretBlockThenThePublicOne) {
  ASSERT_EQ(ReadFixture("alice.sec.bin"), 0);
  QOXKeySet* set = qoxKeyDBPeekRootSet(db_);
  const std::vector<Packet> secret = Blocks(set, true, true, true);
  EXPECT_EQ(Tags(secret), (std::vector<int>{kQOXPktTag_SecretKey, kQOXPktTag_UserID, kQOXPktTag_SecretSubKey}))
      << "secret key packets and user IDs, without their signatures";
  const std::vector<Packet> stored = SplitPackets(ReadFile("alice.sec.bin"));
  EXPECT_EQ(secret[0].bytes, stored[0].bytes);

  // The public block is what gpg exported for the public key, and gpg
  // reads the secret one's key packets as Alice's.
  const std::vector<Packet> publicBlock = Blocks(set, false, false, true);
  EXPECT_EQ(Tags(publicBlock), Tags(SplitPackets(ReadFile("alice.bin"))));
  const std::vector<Packet> gpgPublic = SplitPackets(ReadFile("alice.bin"));
  for (size_t i = 1; i < publicBlock.size() && i < gpgPublic.size(); ++i)
    EXPECT_EQ(publicBlock[i].bytes, gpgPublic[i].bytes) << i;

  // Private subkeys alone: the key in public form with its signatures, the
  // subkey secret without its binding.
  EXPECT_EQ(Tags(Blocks(set, false, true, true)),
            (std::vector<int>{kQOXPktTag_PublicKey, kQOXPktTag_UserID, kQOXPktTag_Signature,
                              kQOXPktTag_SecretSubKey}));
}

TEST_F(KeyExportTest, AttributesFollowTheFormatAndCRLsAndLocalSignaturesStayBehind) {
  // Alice's key with a photo ID, a CRL and a certification of her user ID
  // that is not exportable.
  const std::vector<Packet> alice = SplitPackets(ReadFile("alice.bin"));
  const uint8_t aliceID[8] = {0x7F, 0x5B, 0x1A, 0x77, 0x95, 0xC7, 0x77, 0xD2};
  const Bytes local = V4Sig(0x10, aliceID, 1700000000, {{4, {0}}});
  const Bytes photo = NewPacket(kQOXPktTag_UserAttribute, {6, 1, 0x10, 0, 1, 1, 0, 0, 0, 0});
  const Bytes crl = NewPacket(60, {1, 0x30, 0x00});
  Bytes ring;
  for (const Packet& p : alice) {
    ring = Cat({ring, p.bytes});
    if (p.tag == kQOXPktTag_UserID) ring = Cat({ring, local});
  }
  ASSERT_EQ(Read(Cat({ring, photo, crl})), 0);
  QOXKeySet* set = qoxKeyDBPeekRootSet(db_);
  const std::vector<int> withoutPhoto = Tags(alice);
  std::vector<int> withPhoto = withoutPhoto;
  withPhoto.insert(withPhoto.begin() + 3, kQOXPktTag_UserAttribute);  // after the user ID and its signature
  EXPECT_EQ(Tags(Blocks(set, false, false, true)), withPhoto) << "default format";
  EXPECT_EQ(Tags(Blocks(set, false, false, false)), withoutPhoto) << "formats 0 and 1";
  for (const Packet& p : Blocks(set, false, false, true)) EXPECT_NE(p.bytes, local);
}

TEST_F(KeyExportTest, ExportOptionsAndX509Formats) {
  ASSERT_EQ(ReadFixture("alice.bin"), 0);
  QOXKeySet* set = qoxKeyDBPeekRootSet(db_);
  QOXKeyDBObj* alice = Keys()[0];

  // Exactly one of a key set and a key object.
  QOXOptionListRef neither = List({QOXOExportFormat(context_, 11010)});
  EXPECT_EQ(qoxExportInternal(context_, neither), kQOXErrBadParams);
  qoxFreeOptionList(neither);
  QOXOptionListRef both = List({QOXOExportKeySet(context_, set), QOXOExportKeyDBObj(context_, alice)});
  EXPECT_EQ(qoxExportInternal(context_, both), kQOXErrBadParams);
  qoxFreeOptionList(both);
  QOXOptionListRef foreign = List({QOXOExportKeySet(context_, set), QOXOInputFormat(context_, 0)});
  EXPECT_EQ(qoxExportInternal(context_, foreign), kQOXErrBadParams) << "an option outside the export set";
  qoxFreeOptionList(foreign);

  // Certificate retrieval: exactly 30 00, raw.
  QOXOptionListRef retrieval = List({QOXOExportKeyDBObj(context_, alice), QOXOExportFormat(context_, 11010)});
  EXPECT_EQ(qoxExportInternal(context_, retrieval), 0);
  qoxFreeOptionList(retrieval);
  EXPECT_EQ(gOutput.bytes, (Bytes{0x30, 0x00}));
  EXPECT_EQ(gOutput.kind, 0u);

  // Certificate requests need attribute values and get the key's creation
  // time in front of them: as text, or for 11002 as the DER extension.
  QOXOptionListRef missing = List({QOXOExportFormat(context_, 11000)});
  EXPECT_EQ(qoxExportKeySetInternal(set, missing), kQOXErrOptionNotFound);
  qoxFreeOptionList(missing);
  const char cn[] = "Alice";
  const QOXAttributeValue name{0, 5, reinterpret_cast<uintptr_t>(cn)};
  const uint32_t created = qoxKeyToKeyInfo(alice)->creation;
  for (int format : {11000, 11002}) {
    gAttributes.clear();
    QOXOptionListRef request = List({QOXOExportFormat(context_, format), QOXOAttributeValue(context_, &name, 1)});
    EXPECT_EQ(qoxExportKeySetInternal(set, request), 0) << format;
    qoxFreeOptionList(request);
    EXPECT_EQ(gRequestFormat, format);
    EXPECT_EQ(gOutput.kind, kQOXPEMKind_CertificateRequest);
    ASSERT_EQ(gAttributes.size(), 2u) << format;
    EXPECT_EQ(gAttributes[1], (std::pair<uint32_t, Bytes>{0, Bytes(cn, cn + 5)}));
    if (format == 11000) {
      char text[32];
      std::snprintf(text, sizeof text, "QOXKeyCreation=0x%08x", created);
      EXPECT_EQ(gAttributes[0], (std::pair<uint32_t, Bytes>{11, Bytes(text, text + 25)}));
      continue;
    }
    // SEQUENCE { OID, OCTET STRING { UTCTime } }, lengths consistent.
    const Bytes& ext = gAttributes[0].second;
    EXPECT_EQ(gAttributes[0].first, 31u);
    ASSERT_EQ(ext.size(), 16u + 2 + 13);
    EXPECT_EQ(ext[0], 0x30);
    EXPECT_EQ(ext[1], ext.size() - 2);
    EXPECT_EQ(ext[2], 0x06);
    EXPECT_EQ(ext[14], 0x04);
    EXPECT_EQ(ext[15], 15);
    EXPECT_EQ(ext[16], 0x17);
    EXPECT_EQ(ext[17], 13);
    const std::time_t t = created;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char utc[16];
    std::strftime(utc, sizeof utc, "%y%m%d%H%M%SZ", &tm);
    EXPECT_EQ(std::string(ext.begin() + 18, ext.end()), utc);
  }
}

TEST_F(KeyExportTest, ImportChecksItsOptionsAndConsumesTheList) {
  QOXKeyDB* out = reinterpret_cast<QOXKeyDB*>(1);
  // An option outside the import set.
  EXPECT_EQ(qoxImportKeySetInternal(context_, &out, List({QOXOExportFormat(context_, 1)})), kQOXErrBadParams);
  EXPECT_EQ(out, nullptr);
  // Native input goes to the decoder, which finds no input.
  EXPECT_EQ(qoxImportKeySetInternal(context_, &out, List({QOXOInputFormat(context_, 0)})), kQOXErrBadParams);
  EXPECT_EQ(out, nullptr);
  // A PKCS #12 bundle needs its passphrase.
  pipeline_->qoxSetupInputToBuffer = [](QOXContext*, QOXOptionListRef, uint8_t** outBuffer, size_t* outLength,
                                        bool* outAllocated) {
    static uint8_t bytes[] = {0x30, 0x00};
    *outBuffer = bytes;
    *outLength = sizeof bytes;
    *outAllocated = false;
    return QOXError{kQOXErrNoErr};
  };
  EXPECT_EQ(qoxImportKeySetInternal(context_, &out, List({QOXOInputFormat(context_, 10013)})),
            kQOXErrOptionNotFound);
  EXPECT_EQ(out, nullptr);
  // A DER certificate goes to the bridge, whose stand-in cannot decode it.
  EXPECT_EQ(qoxImportKeySetInternal(context_, &out, List({QOXOInputFormat(context_, 10000)})), kQOXX509ErrCodec);
  EXPECT_EQ(out, nullptr);
}

}  // namespace
}  // namespace keydb_test
