// Signature specifications: defaults, the version and hash rule, subpackets.
#include "foundation/core/sig_spec.h"

#include <cstring>
#include <optional>

#include "crypto/hash.h"
#include "foundation/env.h"
#include "foundation/keydb_services.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db_obj.h"
#include "toolkit_doubles.h"
#include "toolkit_fixture.h"

namespace {

// Real key objects of a key database: an RSA key beside the DSA key of
// RealKeyDB, whose algorithms the key database reports (property 200).
class SigSpecTest : public ToolkitTest {
 protected:
  void SetUp() override {
    ToolkitTest::SetUp();
    keys_.emplace(context_);
    const uint8_t rsaID[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    rsa_ = qoxNewKeyObj(keys_->db(), nullptr, kQOXObjFlag_Key, 1, rsaID);
    ASSERT_NE(rsa_, nullptr);
    dsa_ = keys_->key();
    env_ = qoxContextGetEnvironment(context_);
  }
  void TearDown() override {
    keys_.reset();
    ToolkitTest::TearDown();
  }
  QOXSigSpec* NewSpec() {
    QOXSigSpec* sigSpec = qoxSigSpecCreate(env_, rsa_, 0x10);
    EXPECT_NE(sigSpec, nullptr);
    return sigSpec;
  }
  QOXEnv* env_ = nullptr;
  std::optional<toolkit_doubles::RealKeyDB> keys_;
  QOXKeyDBObj* rsa_ = nullptr;
  QOXKeyDBObj* dsa_ = nullptr;
};

TEST_F(SigSpecTest, DefaultsComeFromTheEnvironmentAndTheKey) {
  ASSERT_EQ(qoxenvSetInt(env_, 1015, 2, 0), 0);  // two hours ahead
  QOXTime before = QOXGetTime();
  QOXSigSpec* rsa = NewSpec();
  QOXSigSpec* dsa = qoxSigSpecCreate(env_, dsa_, 0x13);
  ASSERT_NE(rsa, nullptr);
  ASSERT_NE(dsa, nullptr);
  EXPECT_EQ(qoxSigSpecHashtype(rsa), 1);  // setting 1010 default: MD5
  EXPECT_EQ(qoxSigSpecHashtype(dsa), 2);  // a DSA key always uses SHA-1
  EXPECT_EQ(qoxSigSpecHash(dsa), qoxHashByNumber(2));
  EXPECT_EQ(qoxSigSpecVersion(rsa), 3);
  EXPECT_EQ(qoxSigSpecSigType(dsa), 0x13);
  EXPECT_EQ(qoxSigSpecSeckey(dsa), dsa_);
  EXPECT_EQ(qoxSigSpecContext(rsa), context_);
  size_t len = 0;
  const uint8_t* extra = qoxSigSpecExtra(rsa, &len);
  ASSERT_EQ(len, 5u);
  EXPECT_EQ(extra[0], 0x10);
  QOXTime stamp = (QOXTime{extra[1]} << 24) | (extra[2] << 16) | (extra[3] << 8) | extra[4];
  EXPECT_GE(stamp, before + 7200);
  EXPECT_LE(stamp, QOXGetTime() + 7200);
  qoxSigSpecDestroy(rsa);
  qoxSigSpecDestroy(dsa);

  ASSERT_EQ(qoxenvSetInt(env_, 1010, 4, 0), 0);  // no hash 4
  EXPECT_EQ(qoxSigSpecCreate(env_, rsa_, 0x10), nullptr);
  ASSERT_EQ(qoxenvSetInt(env_, 1010, 3, 0), 0);
  ASSERT_EQ(qoxenvSetInt(env_, 1017, 4, 0), 0);
  QOXSigSpec* v4 = NewSpec();
  EXPECT_EQ(qoxSigSpecHashtype(v4), 3);
  EXPECT_EQ(qoxSigSpecVersion(v4), 4);
  qoxSigSpecDestroy(v4);

  EXPECT_EQ(qoxSigSpecCreate(nullptr, rsa_, 0x10), nullptr);
  EXPECT_EQ(qoxSigSpecCreate(env_, nullptr, 0x10), nullptr);
  // A user ID has no key algorithm: the key database refuses the property.
  EXPECT_EQ(qoxSigSpecCreate(env_, keys_->userID(), 0x10), nullptr);
}

TEST_F(SigSpecTest, VersionAndHashPromotion) {
  QOXSigSpec* sigSpec = NewSpec();
  EXPECT_EQ(qoxSigSpecSetVersion(sigSpec, 3), 0);
  EXPECT_EQ(qoxSigSpecHashtype(sigSpec), 1);
  EXPECT_EQ(qoxSigSpecSetVersion(sigSpec, 4), 0);
  EXPECT_EQ(qoxSigSpecHashtype(sigSpec), 2);
  EXPECT_EQ(qoxSigSpecSetHashtype(sigSpec, 1), 0);  // an explicit MD5 stays
  EXPECT_EQ(qoxSigSpecHashtype(sigSpec), 1);
  EXPECT_EQ(qoxSigSpecSetHashtype(sigSpec, 4), kQOXErrUnknownHashNumber);
  EXPECT_EQ(qoxSigSpecHashtype(sigSpec), 1);
  qoxSigSpecDestroy(sigSpec);

  // Any subpacket raises version 3 to 4 and MD5 to SHA-1; removing it does
  // not lower the version.
  sigSpec = NewSpec();
  ASSERT_EQ(qoxSigSpecSetExportable(sigSpec, 0, 1), 0);
  EXPECT_EQ(qoxSigSpecVersion(sigSpec), 4);
  EXPECT_EQ(qoxSigSpecHashtype(sigSpec), 2);
  EXPECT_EQ(qoxSigSpecRemove(sigSpec, kQOXSigSub_Exportable), kQOXSigSubpacket_Present);
  EXPECT_EQ(qoxSigSpecRemove(sigSpec, kQOXSigSub_Exportable), 0u);
  EXPECT_EQ(qoxSigSpecVersion(sigSpec), 4);
  qoxSigSpecDestroy(sigSpec);
}

TEST_F(SigSpecTest, EverySubpacketSetterAndReader) {
  QOXSigSpec* sigSpec = NewSpec();
  const uint8_t bytes[] = {9, 8, 7};
  const uint32_t crit = kQOXSigSubpacket_Critical;
  const uint32_t found = kQOXSigSubpacket_Present;
  const uint32_t foundCrit = found | crit;

  EXPECT_EQ(qoxSigSpecSigExpiration(sigSpec, nullptr), 0u);
  ASSERT_EQ(qoxSigSpecSetSigExpiration(sigSpec, crit, 0x01020304), 0);
  ASSERT_EQ(qoxSigSpecSetExportable(sigSpec, 0, 1), 0);
  ASSERT_EQ(qoxSigSpecSetTrustLevel(sigSpec, 0, 2, 120), 0);
  ASSERT_EQ(qoxSigSpecSetRegExp(sigSpec, 0, "<[^>]+[@.]example\\.com>$"), 0);
  ASSERT_EQ(qoxSigSpecSetRevocable(sigSpec, kQOXSigSubpacket_Unhashed, 0), 0);
  ASSERT_EQ(qoxSigSpecSetKeyExpiration(sigSpec, 0, 86400), 0);
  ASSERT_EQ(qoxSigSpecSetAdditionalRecipientRequest(sigSpec, 0, bytes, 3), 0);
  ASSERT_EQ(qoxSigSpecSetPrefAlgs(sigSpec, 0, bytes, 2), 0);
  ASSERT_EQ(qoxSigSpecSetRevocationKey(sigSpec, 0, bytes, 1), 0);
  ASSERT_EQ(qoxSigSpecSetKeyServPrefs(sigSpec, 0, bytes + 1, 1), 0);
  ASSERT_EQ(qoxSigSpecSetPrefKeyServ(sigSpec, 0, bytes, 3), 0);
  ASSERT_EQ(qoxSigSpecSetPrimaryUserID(sigSpec, 0, 1), 0);
  ASSERT_EQ(qoxSigSpecSetKeyFlags(sigSpec, 0, bytes + 2, 1), 0);
  ASSERT_EQ(qoxSigSpecSetPacket(sigSpec, 0, bytes, 3), 0);

  QOXTime t = 0;
  EXPECT_EQ(qoxSigSpecSigExpiration(sigSpec, &t), foundCrit);
  EXPECT_EQ(t, 0x01020304u);
  // Stored big-endian.
  const QOXPktList* node = sigSpec->subpackets;
  while (node != nullptr && (node->type & 0xFF) != kQOXSigSub_SigExpiration) node = node->next;
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(qoxPktListData(node), qoxPktListData(node) + 4),
            (std::vector<uint8_t>{1, 2, 3, 4}));

  uint8_t b = 0, b2 = 0;
  EXPECT_EQ(qoxSigSpecExportable(sigSpec, &b), found);
  EXPECT_EQ(b, 1);
  EXPECT_EQ(qoxSigSpecTrustLevel(sigSpec, &b, &b2), found);
  EXPECT_EQ(b, 2);
  EXPECT_EQ(b2, 120);
  const char* re = nullptr;
  EXPECT_EQ(qoxSigSpecRegExp(sigSpec, &re), found);
  EXPECT_STREQ(re, "<[^>]+[@.]example\\.com>$");
  EXPECT_EQ(qoxSigSpecRevocable(sigSpec, &b), found | kQOXSigSubpacket_Unhashed);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(qoxSigSpecKeyExpiration(sigSpec, &t), found);
  EXPECT_EQ(t, 86400u);
  EXPECT_EQ(qoxSigSpecPrimaryUserID(sigSpec, &b), found);
  EXPECT_EQ(b, 1);

  struct BytesCase {
    uint32_t (*read)(const QOXSigSpec*, const uint8_t**, size_t*);
    std::vector<uint8_t> expect;
  } byteCases[] = {
      {qoxSigSpecPrefAlgs, {9, 8}},
      {qoxSigSpecKeyServPrefs, {8}},
      {qoxSigSpecPrefKeyServ, {9, 8, 7}},
      {qoxSigSpecKeyFlags, {7}},
  };
  for (const BytesCase& c : byteCases) {
    const uint8_t* data = nullptr;
    size_t len = 0;
    EXPECT_EQ(c.read(sigSpec, &data, &len), found);
    EXPECT_EQ(std::vector<uint8_t>(data, data + len), c.expect);
  }
  struct IndexedCase {
    uint32_t (*read)(const QOXSigSpec*, const uint8_t**, size_t*, uint32_t);
    std::vector<uint8_t> expect;
  } indexed[] = {
      {qoxSigSpecAdditionalRecipientRequest, {9, 8, 7}},
      {qoxSigSpecRevocationKey, {9}},
      {qoxSigSpecPacket, {9, 8, 7}},
  };
  for (const IndexedCase& c : indexed) {
    const uint8_t* data = nullptr;
    size_t len = 0;
    EXPECT_EQ(c.read(sigSpec, &data, &len, 0), found);
    EXPECT_EQ(std::vector<uint8_t>(data, data + len), c.expect);
    EXPECT_EQ(c.read(sigSpec, &data, &len, 1), 0u);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(len, 0u);
  }
  qoxSigSpecDestroy(sigSpec);
}

TEST_F(SigSpecTest, ReplacingAndRepeatableSubpackets) {
  QOXSigSpec* sigSpec = NewSpec();
  ASSERT_EQ(qoxSigSpecSetSigExpiration(sigSpec, 0, 100), 0);
  ASSERT_EQ(qoxSigSpecSetSigExpiration(sigSpec, 0, 200), 0);
  const uint8_t first[] = {1}, second[] = {2};
  ASSERT_EQ(qoxSigSpecSetRevocationKey(sigSpec, 0, first, 1), 0);
  ASSERT_EQ(qoxSigSpecSetRevocationKey(sigSpec, 0, second, 1), 0);
  int expirations = 0, revokers = 0;
  for (const QOXPktList* n = sigSpec->subpackets; n != nullptr; n = n->next) {
    expirations += (n->type & 0xFF) == kQOXSigSub_SigExpiration;
    revokers += (n->type & 0xFF) == kQOXSigSub_RevocationKey;
  }
  EXPECT_EQ(expirations, 1);
  EXPECT_EQ(revokers, 2);
  QOXTime t = 0;
  qoxSigSpecSigExpiration(sigSpec, &t);
  EXPECT_EQ(t, 200u);
  const uint8_t* data = nullptr;
  size_t len = 0;
  qoxSigSpecRevocationKey(sigSpec, &data, &len, 0);
  EXPECT_EQ(data[0], 2);  // the one added last comes first
  qoxSigSpecRevocationKey(sigSpec, &data, &len, 1);
  EXPECT_EQ(data[0], 1);
  EXPECT_EQ(qoxSigSpecRemove(sigSpec, kQOXSigSub_RevocationKey), kQOXSigSubpacket_Present);
  EXPECT_EQ(qoxSigSpecRevocationKey(sigSpec, &data, &len, 0), 0u);
  qoxSigSpecDestroy(sigSpec);
}

TEST_F(SigSpecTest, CopyIsDeepAndChainsAreFreedWhole) {
  QOXSigSpec* sigSpec = NewSpec();
  ASSERT_EQ(qoxSigSpecSetPassphrase(sigSpec, reinterpret_cast<const uint8_t*>("secret"), 6, 1), 0);
  ASSERT_EQ(qoxSigSpecSetKeyExpiration(sigSpec, 0, 5), 0);
  ASSERT_EQ(qoxSigSpecSetExportable(sigSpec, 0, 0), 0);
  sigSpec->marked = sigSpec->subpackets->next;  // the key-expiration node

  QOXSigSpec* chain = nullptr;
  QOXSigSpec* other = NewSpec();
  ASSERT_EQ(qoxSigSpecAdd(&chain, other), 0);
  ASSERT_EQ(qoxSigSpecAdd(&chain, sigSpec), 0);
  EXPECT_EQ(qoxSigSpecNext(chain), other);
  EXPECT_EQ(qoxSigSpecAdd(nullptr, sigSpec), kQOXErrBadParams);

  QOXSigSpec* copy = qoxSigSpecCopy(sigSpec);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(qoxSigSpecNext(copy), nullptr);
  size_t len = 0;
  int hashed = 0;
  const uint8_t* pass = qoxSigSpecPassphrase(copy, &len, &hashed);
  ASSERT_EQ(len, 6u);
  EXPECT_NE(pass, sigSpec->passphrase);
  EXPECT_EQ(std::memcmp(pass, "secret", 6), 0);
  EXPECT_EQ(hashed, 1);
  ASSERT_NE(copy->marked, nullptr);
  EXPECT_NE(copy->marked, sigSpec->marked);
  EXPECT_EQ(copy->marked, copy->subpackets->next);
  EXPECT_EQ(copy->marked->type & 0xFF, kQOXSigSub_KeyExpiration);
  EXPECT_EQ(qoxSigSpecVersion(copy), 4);

  // Removing the marked subpacket clears the mark.
  qoxSigSpecRemove(copy, kQOXSigSub_KeyExpiration);
  EXPECT_EQ(copy->marked, nullptr);
  ASSERT_EQ(qoxSigSpecSetPassphrase(copy, nullptr, 0, 0), 0);
  EXPECT_EQ(qoxSigSpecPassphrase(copy, &len, &hashed), nullptr);
  EXPECT_EQ(len, 0u);
  qoxSigSpecDestroy(copy);
  qoxSigSpecDestroy(chain);  // frees sigSpec and other
}

}  // namespace
