// Toolkit PKCS #10 requests and attribute lists: our requests (RSA with
// MD5 and SHA-1, DSA with SHA-1) pass `openssl req -verify` and
// tc_validate_request, OpenSSL's request passes tc_validate_request,
// attributes and signingTime read back in openssl's text. Mended: when the
// attributes cannot be copied the request is not built without them
// silently: -3.
#include <gtest/gtest.h>

#include <string>

#include "tests/pki/tc_test_support.h"

namespace {

using namespace tctest;
using pkitest::Hex;

const Bytes kChallengePassword = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x07};

class RequestTest : public ToolkitTest {
 protected:
  void TearDown() override {
    for (PKICertificationRequest* r : requests_) tc_free_request(r, ctx());
    tc_free_attrlist(attrs_, ctx());
    ToolkitTest::TearDown();
  }
  // challengePassword "secret" (two values; the request takes the first)
  // and signingTime.
  PKIAttributes* Attributes() {
    if (attrs_ != nullptr) return attrs_;
    EXPECT_EQ(tc_create_attrlist(&attrs_, ctx()), 0);
    const Bytes secret = Hex("13 06 73 65 63 72 65 74");
    EXPECT_EQ(tc_add_attribute(attrs_, kChallengePassword.data(), 9, secret.data(), 8, ctx()), 0);
    PKIANY* second = PKINewANY(ctx()->certCtx);
    PKIPutOctVal(ctx()->certCtx, second, Hex("13 01 78").data(), 3);
    PKIAddOfElement(ctx()->certCtx, second, &attrs_->elements[0]->values);
    EXPECT_EQ(tc_set_signing_time(attrs_, ctx()), 0);
    return attrs_;
  }
  int32_t Create(int32_t version, const Bytes& sigOid, const std::string& key, PKIAttributes* attrs,
                 PKICertificationRequest** out) {
    SignWith(key);
    KeyPair& k = Key(key);
    const Bytes params = sigOid == kDsaWithSha1 ? Bytes{} : kNullParams;
    int32_t e = tc_create_request(out, version, sigOid.data(), static_cast<uint32_t>(sigOid.size()),
                                  params.empty() ? nullptr : params.data(), static_cast<uint32_t>(params.size()),
                                  Name("CN=Requester,O=Ostrak,C=US"), k.keyOid.data(),
                                  static_cast<uint32_t>(k.keyOid.size()), k.publicKey.data(),
                                  static_cast<uint32_t>(k.publicKey.size()),
                                  k.keyParams.empty() ? nullptr : k.keyParams.data(),
                                  static_cast<uint32_t>(k.keyParams.size()), attrs, ctx());
    if (*out != nullptr) requests_.push_back(*out);
    return e;
  }

  PKIAttributes* attrs_ = nullptr;
  std::vector<PKICertificationRequest*> requests_;
};

TEST_F(RequestTest, ArgumentsAndPartlyBuiltRequests) {
  PKICertificationRequest* r = reinterpret_cast<PKICertificationRequest*>(1);
  EXPECT_EQ(tc_create_request(&r, 0, kSha1WithRSA.data(), 9, nullptr, 0, nullptr, nullptr, 0, nullptr, 0, nullptr, 0,
                              nullptr, ctx()),
            kTCErrInvalidArgs);
  EXPECT_EQ(r, nullptr);
  // Version 3: -1, with the request as far as it was built.
  EXPECT_EQ(Create(3, kSha1WithRSA, "leaf", nullptr, &r), kTCErrInvalidArgs);
  EXPECT_NE(r, nullptr);
  signer_.fail = true;
  EXPECT_EQ(Create(0, kSha1WithRSA, "leaf", nullptr, &r), kTCErrSign);
  EXPECT_NE(r, nullptr);
  signer_.fail = false;
  // No memory at each allocation: -3 (or a failed signature when the
  // callback's own allocation fails); whatever was built is handed back and
  // frees whole. The attributes are never dropped silently.
  PKIAttributes* attrs = Attributes();
  Key("leaf");
  PKIName* subject = Name("CN=x");
  const long before = counting().live();
  for (long budget = 0;; ++budget) {
    counting().counter().FailAfter(budget);
    PKICertificationRequest* made = nullptr;
    KeyPair& k = Key("leaf");
    int32_t e = tc_create_request(&made, 0, kSha1WithRSA.data(), 9, nullptr, 0, subject, k.keyOid.data(),
                                  static_cast<uint32_t>(k.keyOid.size()), k.publicKey.data(),
                                  static_cast<uint32_t>(k.publicKey.size()), nullptr, 0, attrs, ctx());
    counting().counter().FailAfter(-1);
    if (e == 0) {
      EXPECT_EQ(made->certificationRequestInfo.attributes.count, 2);
      tc_free_request(made, ctx());
      break;
    }
    EXPECT_TRUE(e == kTCErrNoMemory || e == kTCErrSign) << e;
    tc_free_request(made, ctx());
    EXPECT_EQ(counting().live(), before) << budget;
  }
}

TEST_F(RequestTest, OurRequestsPassOpensslAndOurCheck) {
  TempDir dir;
  const struct {
    const char* name;
    const Bytes* sig;
    const char* key;
  } cases[] = {{"sha1", &kSha1WithRSA, "leaf"}, {"md5", &kMd5WithRSA, "leaf"}, {"dsa", &kDsaWithSha1, "dsa"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PKICertificationRequest* r = nullptr;
    ASSERT_EQ(Create(0, *c.sig, c.key, Attributes(), &r), 0);
    EXPECT_EQ(tc_validate_request(r, ctx()), 0);
    const Bytes der = Der(r);
    std::string output;
    EXPECT_EQ(Shell("openssl req -inform DER -in " + dir.Write(std::string(c.name) + ".der", der) +
                        " -verify -noout -text",
                    &output),
              0)
        << output;
    EXPECT_NE(output.find("verify OK"), std::string::npos) << output;
    EXPECT_NE(output.find("challengePassword        :secret"), std::string::npos) << output;
    EXPECT_NE(output.find("signingTime"), std::string::npos) << output;
    EXPECT_NE(output.find("CN = Requester"), std::string::npos) << output;
    // Decoded again, it still verifies; one changed bit does not.
    PKICertificationRequest* back = nullptr;
    ASSERT_EQ(tc_unpack_request(&back, der.data(), static_cast<uint32_t>(der.size()), ctx()), 0);
    requests_.push_back(back);
    EXPECT_EQ(tc_validate_request(back, ctx()), 0);
    back->certificationRequestInfo.subjectPKInfo.subjectPublicKey.bytes[20] ^= 0x01;
    EXPECT_EQ(tc_validate_request(back, ctx()), kTCErrSignature);
  }
  ctx()->verifyCallback = nullptr;
  EXPECT_EQ(tc_validate_request(requests_[0], ctx()), kTCErrInvalidArgs);
}

TEST_F(RequestTest, OpensslsRequestValidates) {
  const Bytes der = Fixture("req.der");
  PKICertificationRequest* r = nullptr;
  EXPECT_EQ(tc_unpack_request(&r, Hex("30 03 02").data(), 3, ctx()), kTCErrParse);
  ASSERT_EQ(tc_unpack_request(&r, der.data(), static_cast<uint32_t>(der.size()), ctx()), 0);
  requests_.push_back(r);
  EXPECT_EQ(tc_validate_request(r, ctx()), 0);
  EXPECT_EQ(Der(r), der);
  uint8_t* value = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(tc_find_attribute(&value, &length, r, kChallengePassword.data(), 9, ctx()), kTCErrNotFound);
  EXPECT_EQ(value, nullptr);
}

TEST_F(RequestTest, AttributesOfARequest) {
  PKICertificationRequest* r = nullptr;
  ASSERT_EQ(Create(2, kSha1WithRSA, "leaf", Attributes(), &r), 0);
  const PKIAttributes& attrs = r->certificationRequestInfo.attributes;
  ASSERT_EQ(attrs.count, 2);
  for (int i = 0; i < attrs.count; ++i) EXPECT_EQ(attrs.elements[i]->values.count, 1) << "the first value only";
  uint8_t* value = nullptr;
  uint32_t length = 0;
  ASSERT_EQ(tc_find_attribute(&value, &length, r, kChallengePassword.data(), 9, ctx()), 0);
  EXPECT_EQ(Bytes(value, value + length), Hex("13 06 73 65 63 72 65 74"));
  ctx()->memMgr->deallocate(ctx()->memMgr, value);
  ASSERT_EQ(tc_find_attribute(&value, &length, r, TC_ALG_SIGNING_TIME, 9, ctx()), 0);
  // signingTime is a UTCTime of now.
  ASSERT_EQ(length, 15u);
  EXPECT_EQ(value[0], kPKITagUTCTime);
  PKIVariableBlock text{13, value + 2};
  EXPECT_LE(std::abs(static_cast<int64_t>(tc_decode_UTCTime(&text)) - static_cast<int64_t>(time(nullptr))), 2);
  ctx()->memMgr->deallocate(ctx()->memMgr, value);
  EXPECT_EQ(tc_add_attribute(nullptr, kChallengePassword.data(), 9, value, 1, ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(tc_set_signing_time(nullptr, ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(tc_find_attribute(nullptr, &length, r, kChallengePassword.data(), 9, ctx()), kTCErrInvalidArgs);
  uint8_t* packed = reinterpret_cast<uint8_t*>(1);
  EXPECT_EQ(tc_pack_request(&packed, &length, nullptr, ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(packed, nullptr);
}

}  // namespace
