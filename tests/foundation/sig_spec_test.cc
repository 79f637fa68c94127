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
    QOXSigSpec* spec = qoxSigSpecCreate(env_, rsa_, 0x10);
    EXPECT_NE(spec, nullptr);
    return spec;
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
  QOXSigSpec* spec = NewSpec();
  EXPECT_EQ(qoxSigSpecSetVersion(spec, 3), 0);
  EXPECT_EQ(qoxSigSpecHashtype(spec), 1);
  EXPECT_EQ(qoxSigSpecSetVersion(spec, 4), 0);
  EXPECT_EQ(qoxSigSpecHashtype(spec), 2);
  EXPECT_EQ(qoxSigSpecSetHashtype(spec, 1), 0);  // an explicit MD5 stays
  EXPECT_EQ(qoxSigSpecHashtype(spec), 1);
  EXPECT_EQ(qoxSigSpecSetHashtype(spec, 4), kQOXErrUnknownHashNumber);
  EXPECT_EQ(qoxSigSpecHashtype(spec), 1);
  qoxSigSpecDestroy(spec);

  // Any subpacket raises version 3 to 4 and MD5 to SHA-1; removing it does
  // not lower the version.
  spec = NewSpec();
  ASSERT_EQ(qoxSigSpecSetExportable(spec, 0, 1), 0);
  EXPECT_EQ(qoxSigSpecVersion(spec), 4);
  EXPECT_EQ(qoxSigSpecHashtype(spec), 2);
  EXPECT_EQ(qoxSigSpecRemove(spec, kQOXSigSub_Exportable), kQOXSigSubpacket_Present);
  EXPECT_EQ(qoxSigSpecRemove(spec, kQOXSigSub_Exportable), 0u);
  EXPECT_EQ(qoxSigSpecVersion(spec), 4);
  qoxSigSpecDestroy(spec);
}

TEST_F(SigSpecTest, EverySubpacketSetterAndReader) {
  QOXSigSpec* spec = NewSpec();
  const uint8_t bytes[] = {9, 8, 7};
  const uint32_t crit = kQOXSigSubpacket_Critical;
  const uint32_t found = kQOXSigSubpacket_Present;
  const uint32_t foundCrit = found | crit;

  EXPECT_EQ(qoxSigSpecSigExpiration(spec, nullptr), 0u);
  ASSERT_EQ(qoxSigSpecSetSigExpiration(spec, crit, 0x01020304), 0);
  ASSERT_EQ(qoxSigSpecSetExportable(spec, 0, 1), 0);
  ASSERT_EQ(qoxSigSpecSetTrustLevel(spec, 0, 2, 120), 0);
  ASSERT_EQ(qoxSigSpecSetRegExp(spec, 0, "<[^>]+[@.]example\\.com>$"), 0);
  ASSERT_EQ(qoxSigSpecSetRevocable(spec, kQOXSigSubpacket_Unhashed, 0), 0);
  ASSERT_EQ(qoxSigSpecSetKeyExpiration(spec, 0, 86400), 0);
  ASSERT_EQ(qoxSigSpecSetAdditionalRecipientRequest(spec, 0, bytes, 3), 0);
  ASSERT_EQ(qoxSigSpecSetPrefAlgs(spec, 0, bytes, 2), 0);
  ASSERT_EQ(qoxSigSpecSetRevocationKey(spec, 0, bytes, 1), 0);
  ASSERT_EQ(qoxSigSpecSetKeyServPrefs(spec, 0, bytes + 1, 1), 0);
  ASSERT_EQ(qoxSigSpecSetPrefKeyServ(spec, 0, bytes, 3), 0);
  ASSERT_EQ(qoxSigSpecSetPrimaryUserID(spec, 0, 1), 0);
  ASSERT_EQ(qoxSigSpecSetKeyFlags(spec, 0, bytes + 2, 1), 0);
  ASSERT_EQ(qoxSigSpecSetPacket(spec, 0, bytes, 3), 0);

  QOXTime t = 0;
  EXPECT_EQ(qoxSigSpecSigExpiration(spec, &t), foundCrit);
  EXPECT_EQ(t, 0x01020304u);
  // Stored big-endian.
  const QOXPktList* node = spec->subpackets;
  while (node != nullptr && (node->type & 0xFF) != kQOXSigSub_SigExpiration) node = node->next;
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(qoxPktListData(node), qoxPktListData(node) + 4),
            (std::vector<uint8_t>{1, 2, 3, 4}));

  uint8_t b = 0, b2 = 0;
  EXPECT_EQ(qoxSigSpecExportable(spec, &b), found);
  EXPECT_EQ(b, 1);
  EXPECT_EQ(qoxSigSpecTrustLevel(spec, &b, &b2), found);
  EXPECT_EQ(b, 2);
  EXPECT_EQ(b2, 120);
  const char* re = nullptr;
  EXPECT_EQ(qoxSigSpecRegExp(spec, &re), found);
  EXPECT_STREQ(re, "<[^>]+[@.]example\\.com>$");
  EXPECT_EQ(qoxSigSpecRevocable(spec, &b), found | kQOXSigSubpacket_Unhashed);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(qoxSigSpecKeyExpiration(spec, &t), found);
  EXPECT_EQ(t, 86400u);
  EXPECT_EQ(qoxSigSpecPrimaryUserID(spec, &b), found);
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
    EXPECT_EQ(c.read(spec, &data, &len), found);
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
    EXPECT_EQ(c.read(spec, &data, &len, 0), found);
    EXPECT_EQ(std::vector<uint8_t>(data, data + len), c.expect);
    EXPECT_EQ(c.read(spec, &data, &len, 1), 0u);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(len, 0u);
  }
  qoxSigSpecDestroy(spec);
}

TEST_F(SigSpecTest, ReplacingAndRepeatableSubpackets) {
  QOXSigSpec* spec = NewSpec();
  ASSERT_EQ(qoxSigSpecSetSigExpiration(spec, 0, 100), 0);
  ASSERT_EQ(qoxSigSpecSetSigExpiration(spec, 0, 200), 0);
  const uint8_t first[] = {1}, second[] = {2};
  ASSERT_EQ(qoxSigSpecSetRevocationKey(spec, 0, first, 1), 0);
  ASSERT_EQ(qoxSigSpecSetRevocationKey(spec, 0, second, 1), 0);
  int expirations = 0, revokers = 0;
  for (const QOXPktList* n = spec->subpackets; n != nullptr; n = n->next) {
    expirations += (n->type & 0xFF) == kQOXSigSub_SigExpiration;
    revokers += (n->type & 0xFF) == kQOXSigSub_RevocationKey;
  }
  EXPECT_EQ(expirations, 1);
  EXPECT_EQ(revokers, 2);
  QOXTime t = 0;
  qoxSigSpecSigExpiration(spec, &t);
  EXPECT_EQ(t, 200u);
  const uint8_t* data = nullptr;
  size_t len = 0;
  qoxSigSpecRevocationKey(spec, &data, &len, 0);
  EXPECT_EQ(data[0], 2);  // the one added last comes first
  qoxSigSpecRevocationKey(spec, &data, &len, 1);
  EXPECT_EQ(data[0], 1);
  EXPECT_EQ(qoxSigSpecRemove(spec, kQOXSigSub_RevocationKey), kQOXSigSubpacket_Present);
  EXPECT_EQ(qoxSigSpecRevocationKey(spec, &data, &len, 0), 0u);
  qoxSigSpecDestroy(spec);
}

TEST_F(SigSpecTest, CopyIsDeepAndChainsAreFreedWhole) {
  QOXSigSpec* spec = NewSpec();
  ASSERT_EQ(qoxSigSpecSetPassphrase(spec, reinterpret_cast<const uint8_t*>("secret"), 6, 1), 0);
  ASSERT_EQ(qoxSigSpecSetKeyExpiration(spec, 0, 5), 0);
  ASSERT_EQ(qoxSigSpecSetExportable(spec, 0, 0), 0);
  spec->marked = spec->subpackets->next;  // the key-expiration node

  QOXSigSpec* chain = nullptr;
  QOXSigSpec* other = NewSpec();
  ASSERT_EQ(qoxSigSpecAdd(&chain, other), 0);
  ASSERT_EQ(qoxSigSpecAdd(&chain, spec), 0);
  EXPECT_EQ(qoxSigSpecNext(chain), other);
  EXPECT_EQ(qoxSigSpecAdd(nullptr, spec), kQOXErrBadParams);

  QOXSigSpec* copy = qoxSigSpecCopy(spec);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(qoxSigSpecNext(copy), nullptr);
  size_t len = 0;
  int hashed = 0;
  const uint8_t* pass = qoxSigSpecPassphrase(copy, &len, &hashed);
  ASSERT_EQ(len, 6u);
  EXPECT_NE(pass, spec->passphrase);
  EXPECT_EQ(std::memcmp(pass, "secret", 6), 0);
  EXPECT_EQ(hashed, 1);
  ASSERT_NE(copy->marked, nullptr);
  EXPECT_NE(copy->marked, spec->marked);
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
  qoxSigSpecDestroy(chain);  // frees spec and other
}

}  // namespace
