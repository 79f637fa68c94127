// The key-reconstruction check over records made here with the toolkit's
// secret sharing and CAST5-CBC: any three right answers in any order open
// the record, two do not, and malformed records, answers and DNs fail
// without reading outside what they were given.
#include "keyservice/reconstruction.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "crypto/cbc.h"
#include "crypto/cipher.h"
#include "crypto/secret_share.h"
#include "foundation/armor_base64.h"
#include "foundation/byte_order.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/keydb_services.h"
#include "keydb/key_id.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr char kCertID[] = "171717CDDE4EDF82";
constexpr char kBindDN[] = "qoxCertID=171717CDDE4EDF82,OU=ACTIVE,O=QOX KEYSPACE,C=US";

class ReconstructionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0); }
  static void TearDownTestSuite() { QOXsdkCleanup(); }
  void SetUp() override {
    ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context_), 0);
    std::mt19937 rng(31);
    for (auto& k : answers_) k = Random(rng, 16);
    secret_ = Random(rng, 16);
    record_ = MakeRecord(std::string("0x") + kCertID);
  }
  void TearDown() override { QOXFreeContext(context_); }

  static Bytes Random(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
  }
  Bytes Encrypt(const Bytes& key, const Bytes& plain) {
    QOXSymmetricCipherContext* cipher = nullptr;
    EXPECT_EQ(QOXNewSymmetricCipherContext(context_, kQOXCipherAlgorithm_CAST5, &cipher), 0);
    QOXCBCContext* cbc = nullptr;
    EXPECT_EQ(QOXNewCBCContext(cipher, &cbc), 0);
    uint8_t iv[8] = {};
    EXPECT_EQ(QOXInitCBC(cbc, key.data(), iv), 0);
    Bytes out(plain.size());
    EXPECT_EQ(QOXCBCEncrypt(cbc, plain.data(), plain.size(), out.data()), 0);
    QOXFreeCBCContext(cbc);
    return out;
  }
  Bytes MakeRecord(const std::string& keyIDText) {
    QOXKeyID keyID{};
    EXPECT_EQ(QOXNewKeyIDFromString(keyIDText.c_str(), kQOXKeyIDAnyAlgorithm, &keyID), 0);
    Bytes record(kReconDataOffset, 0);
    memcpy(record.data(), &keyID, sizeof keyID);
    Bytes shares(5 * 20);
    EXPECT_EQ(QOXSecretShareData(context_, secret_.data(), 16, 3, 5, shares.data()), 0);
    for (size_t s = 0; s < 5; ++s) {
      Bytes share(shares.begin() + s * 20, shares.begin() + (s + 1) * 20);
      share.resize(24, 0);
      Bytes sealed = Encrypt(answers_[s], share);
      memcpy(record.data() + kReconSharesOffset + s * 24, sealed.data(), 24);
    }
    Bytes data(40, 0);
    memcpy(data.data(), &keyID, sizeof keyID);
    Bytes sealed = Encrypt(secret_, data);
    StoreBE32(record.data() + kReconLengthOffset, static_cast<uint32_t>(sealed.size()));
    record.insert(record.end(), sealed.begin(), sealed.end());
    return record;
  }
  // The Base64 answers text of five answer keys, in the order given.
  static std::string Answers(const std::vector<Bytes>& keys) {
    Bytes all;
    for (const Bytes& k : keys) all.insert(all.end(), k.begin(), k.end());
    std::string text(ArmorBase64Length(all.size()), '?');
    armorInput(all.data(), all.size(), text.data());
    return text;
  }
  int Verify(const Bytes& record, const std::string& dn, const std::string& answers) {
    return qoxVerifyKeyReconstructruct(context_, record.data(), record.size(), dn.c_str(), answers.c_str());
  }
  std::string DN() const { return kBindDN; }

  QOXContext* context_ = nullptr;
  Bytes answers_[5];
  Bytes secret_;
  Bytes record_;
};

TEST_F(ReconstructionTest, AnyThreeRightAnswersInAnyOrderOpenTheRecord) {
  std::mt19937 rng(7);
  Bytes wrong = Random(rng, 16);
  Bytes wrong2 = Random(rng, 16);
  Bytes wrong3 = Random(rng, 16);
  const auto& a = answers_;
  struct Case {
    std::vector<Bytes> given;
    int result;
  } cases[] = {
      {{a[0], a[1], a[2], a[3], a[4]}, 1},
      {{a[4], a[2], a[0], a[3], a[1]}, 1},          // another order
      {{wrong, a[1], wrong2, a[3], a[4]}, 1},       // three of five
      {{a[2], wrong, wrong2, a[0], a[4]}, 1},       // three, shuffled
      {{wrong, a[1], wrong2, wrong3, a[4]}, 0},     // two are not enough
      {{wrong, wrong2, wrong3, wrong, wrong2}, 0},
  };
  for (const Case& c : cases) {
    std::string text = Answers(c.given);
    ASSERT_EQ(text.size(), 108u);
    EXPECT_EQ(Verify(record_, DN(), text), c.result);
  }
  // Without its padding (107 characters) the answers still open it.
  std::string text = Answers({a[0], a[1], a[2], a[3], a[4]});
  ASSERT_EQ(text.back(), '=');
  EXPECT_EQ(Verify(record_, DN(), text.substr(0, 107)), 1);
}

TEST_F(ReconstructionTest, MalformedInputFailsCleanly) {
  std::string answers = Answers({answers_[0], answers_[1], answers_[2], answers_[3], answers_[4]});
  Bytes shortRecord(record_.begin(), record_.end() - 1);
  Bytes tiny(record_.begin(), record_.begin() + 517);
  Bytes odd = record_;
  StoreBE32(odd.data() + kReconLengthOffset, 44);  // not a multiple of 8
  odd.resize(kReconDataOffset + 44, 0);
  Bytes huge = record_;
  StoreBE32(huge.data() + kReconLengthOffset, 0xFFFFFFF8u);  // far past the value
  Bytes small = record_;
  StoreBE32(small.data() + kReconLengthOffset, 32);  // shorter than a key ID
  struct Case {
    const char* what;
    const Bytes* record;
    std::string dn;
    std::string answers;
  } cases[] = {
      {"record one byte short", &shortRecord, DN(), answers},
      {"record under 518 bytes", &tiny, DN(), answers},
      {"length not a multiple of 8", &odd, DN(), answers},
      {"length past the value", &huge, DN(), answers},
      {"length too short for the key ID", &small, DN(), answers},
      {"long password", &record_, DN(), std::string(4000, 'Q')},
      {"password one group short", &record_, DN(), answers.substr(0, 104)},
      {"password of 109 characters", &record_, DN(), answers + "A"},
      {"empty password", &record_, DN(), ""},
      {"DN without '='", &record_, "qoxCertID", answers},
      {"DN too short after '='", &record_, "qoxCertID=171717CD", answers},
      {"DN of another key", &record_, "qoxCertID=171717CDDE4EDF83,OU=ACTIVE", answers},
  };
  for (const Case& c : cases) EXPECT_EQ(Verify(*c.record, c.dn, c.answers), 0) << c.what;
  EXPECT_EQ(Verify(record_, DN(), answers), 1);
}

}  // namespace
