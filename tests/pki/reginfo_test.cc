// Enrollment registration fields and messages: the text of
// vri_GenerateRegInfo for every rule of the tables, URL encoding, the
// PKCSReq around a request of `openssl req -outform DER`, and `openssl
// asn1parse` on our PKCSReq, GetCRL and CertRep. Nothing stays allocated,
// also when memory runs out.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pki/pkcs7_message.h"
#include "pki/pkcsreq_asn.h"
#include "pki/reginfo.h"
#include "tests/pki/asn_test_support.h"

namespace {

using pkitest::Bytes;
using pkitest::Concat;
using pkitest::Hex;
using pkitest::PkcsFile;
using pkitest::Tlv;
using pkitest::ToHex;

class RegInfo : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(mem_.live(), 0) << "blocks left allocated"; }
  PKICONTEXT* ctx() { return mem_.ctx(); }
  pkitest::CountingContext mem_;
};

TEST_F(RegInfo, FieldsAreCheckedAndJoined) {
  using FieldList = std::vector<std::pair<const char*, std::string>>;
  // The fields of the end-user example, then `more`. mail_email is
  // required in every mode (0x11) in the end-user and IPSec tables.
  auto with = [](std::initializer_list<std::pair<const char*, std::string>> more) {
    FieldList all = {{"corp_company", "Acme"}, {"org_unit", "Sales Dept"}, {"cert_type", "end-user"},
                     {"common_name", "J Smith"}, {"mail_email", "js@acme.com"}};
    all.insert(all.end(), more.begin(), more.end());
    return all;
  };
  struct Case {
    const char* name;
    int mode, type;
    FieldList fields;
    int rc;
    const char* text;  // on success
  };
  const std::vector<Case> cases = {
      {"mode 1 with authenticate", 1, 0, with({{"authenticate", "yes"}}), 0,
       "corp_company=Acme&org_unit=Sales+Dept&cert_type=end-user&common_name=J+Smith&mail_email=js@acme.com&authenticate=yes"},
      {"the example without mail_email", 1, 0,
       {{"corp_company", "Acme"}, {"org_unit", "Sales Dept"}, {"cert_type", "end-user"}, {"common_name", "J Smith"},
        {"authenticate", "yes"}},
       kVriErrMissing, nullptr},
      {"mode 0 without challenge", 0, 0, with({{"authenticate", "yes"}}), kVriErrMissing, nullptr},
      {"mode 1 without authenticate", 1, 0, with({}), kVriErrMissing, nullptr},
      {"mode 1, authenticate pending, no challenge", 1, 0, with({{"authenticate", "pending"}}), 0,
       "corp_company=Acme&org_unit=Sales+Dept&cert_type=end-user&common_name=J+Smith&mail_email=js@acme.com&authenticate=pending"},
      {"mode 0 with challenge", 0, 0, with({{"challenge", "open sesame"}}), 0,
       "corp_company=Acme&org_unit=Sales+Dept&cert_type=end-user&common_name=J+Smith&mail_email=js@acme.com&challenge=open+sesame"},
      {"a field the table does not name", 1, 0, with({{"authenticate", "yes"}, {"department", "x"}}),
       kVriErrUnknownField, nullptr},
      {"cert_type server for type 0", 1, 0,
       {{"corp_company", "Acme"}, {"org_unit", "S"}, {"cert_type", "server"}, {"common_name", "J"},
        {"mail_email", "j@x"}, {"authenticate", "no"}},
       kVriErrFixedValue, nullptr},
      {"embed_email maybe", 1, 0, with({{"authenticate", "yes"}, {"embed_email", "maybe"}}), kVriErrYesNo, nullptr},
      {"embed_email ye matches yes", 1, 0, with({{"authenticate", "yes"}, {"embed_email", "ye"}}), 0,
       "corp_company=Acme&org_unit=Sales+Dept&cert_type=end-user&common_name=J+Smith&mail_email=js@acme.com&authenticate=yes&"
       "embed_email=ye"},
      {"embed_email empty matches every keyword", 1, 0, with({{"authenticate", ""}, {"embed_email", ""}}), 0,
       "corp_company=Acme&org_unit=Sales+Dept&cert_type=end-user&common_name=J+Smith&mail_email=js@acme.com&authenticate=&embed_email="},
      {"embed_email yesss matches none", 1, 0, with({{"authenticate", "yes"}, {"embed_email", "yesss"}}),
       kVriErrYesNo, nullptr},
      {"a challenge of 33 bytes", 0, 0, with({{"challenge", std::string(33, 'c')}}), kVriErrLength, nullptr},
      {"a challenge of 32 bytes", 0, 0, with({{"challenge", std::string(32, 'c')}}), 0,
       "corp_company=Acme&org_unit=Sales+Dept&cert_type=end-user&common_name=J+Smith&mail_email=js@acme.com&challenge="
       "cccccccccccccccccccccccccccccccc"},
      {"authenticate later", 1, 0, with({{"authenticate", "later"}}), kVriErrYesNoPending, nullptr},
      {"a common_name with an asterisk", 1, 0,
       {{"corp_company", "Acme"}, {"org_unit", "S"}, {"cert_type", "end-user"}, {"common_name", "J*"},
        {"mail_email", "j@x"}, {"authenticate", "yes"}},
       kVriErrCharacter, nullptr},
      {"a mail_email with a blank", 1, 0,
       {{"corp_company", "Acme"}, {"org_unit", "S"}, {"cert_type", "end-user"}, {"common_name", "J"},
        {"mail_email", "a b@c"}, {"authenticate", "yes"}},
       kVriErrCharacter, nullptr},
      {"a mail_email of every e-mail character", 1, 0,
       {{"corp_company", "Acme"}, {"org_unit", "S"}, {"cert_type", "end-user"}, {"common_name", "J"},
        {"mail_email", "\"j.s\"+x_y-z@[10.0.0.1]:25"}, {"authenticate", "yes"}},
       0, "corp_company=Acme&org_unit=S&cert_type=end-user&common_name=J&mail_email=\"j.s\"%2Bx_y-z@[10.0.0.1]:25&"
          "authenticate=yes"},
      {"org_unit A=B+C", 1, 0,
       {{"corp_company", "Acme"}, {"org_unit", "A=B+C"}, {"cert_type", "end-user"}, {"common_name", "J"},
        {"mail_email", "j@x"}, {"authenticate", "yes"}},
       0, "corp_company=Acme&org_unit=A%3DB%2BC&cert_type=end-user&common_name=J&mail_email=j@x&authenticate=yes"},
      {"a zero byte passes and is escaped", 1, 0,
       {{"corp_company", std::string("A\0B", 3)}, {"org_unit", "S"}, {"cert_type", "end-user"},
        {"common_name", "J"}, {"mail_email", "j@x"}, {"authenticate", "yes"}},
       0, "corp_company=A%00B&org_unit=S&cert_type=end-user&common_name=J&mail_email=j@x&authenticate=yes"},
      {"certificate type 4", 1, 4, with({{"authenticate", "yes"}}), kVriErrCertType, nullptr},
      {"IPSec", 0, 1,
       {{"corp_company", "Acme"}, {"org_unit", "Net"}, {"cert_type", "ipsec"}, {"mail_email", "n@x"},
        {"challenge", "x"}},
       0, "corp_company=Acme&org_unit=Net&cert_type=ipsec&mail_email=n@x&challenge=x"},
      {"IPSec with end-user", 0, 1,
       {{"corp_company", "Acme"}, {"org_unit", "Net"}, {"cert_type", "end-user"}, {"mail_email", "n@x"},
        {"challenge", "x"}},
       kVriErrFixedValue, nullptr},
      {"secure server", 1, 2,
       {{"corp_company", "Acme"}, {"org_unit", "Web"}, {"cert_type", "server"}, {"authenticate", "no"}}, 0,
       "corp_company=Acme&org_unit=Web&cert_type=server&authenticate=no"},
      {"secure server without org_unit", 1, 2,
       {{"corp_company", "Acme"}, {"cert_type", "server"}, {"authenticate", "no"}}, kVriErrMissing, nullptr},
      {"registration authority", 0, 3,
       {{"tech_lastName", "Smith"}, {"cert_type", "serv"}, {"tech_firstName", "J"}, {"tech_email", "j@x"},
        {"challenge", "c"}},
       0, "tech_lastName=Smith&cert_type=serv&tech_firstName=J&tech_email=j@x&challenge=c"},
      {"registration authority without tech_email", 0, 3,
       {{"tech_lastName", "Smith"}, {"cert_type", "server"}, {"tech_firstName", "J"}, {"challenge", "c"}},
       kVriErrMissing, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<VriField> list;
    for (const auto& [name, value] : c.fields)
      list.push_back({name, static_cast<uint32_t>(value.size()), reinterpret_cast<const uint8_t*>(value.data())});
    list.push_back({nullptr, 0, nullptr});
    char* out = reinterpret_cast<char*>(1);
    int rc = vri_GenerateRegInfo(ctx(), c.mode, c.type, list.data(), &out);
    EXPECT_EQ(rc, c.rc);
    if (c.rc == 0) {
      EXPECT_STREQ(out, c.text);
    } else if (c.rc == kVriErrMissing || c.rc == kVriErrCertType) {
      EXPECT_EQ(out, nullptr) << "no text before the field checks";
    }
    ostrak::asn::Deallocate(ctx(), out);
  }
  // On a check failure the text built so far stays for the caller.
  std::vector<VriField> list = {{"corp_company", 4, reinterpret_cast<const uint8_t*>("Acme")},
                                {"org_unit", 1, reinterpret_cast<const uint8_t*>("S")},
                                {"cert_type", 8, reinterpret_cast<const uint8_t*>("end-user")},
                                {"common_name", 2, reinterpret_cast<const uint8_t*>("J*")},
                                {"mail_email", 3, reinterpret_cast<const uint8_t*>("j@x")},
                                {"authenticate", 3, reinterpret_cast<const uint8_t*>("yes")},
                                {nullptr, 0, nullptr}};
  char* out = nullptr;
  EXPECT_EQ(vri_GenerateRegInfo(ctx(), 1, 0, list.data(), &out), kVriErrCharacter);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, "corp_company=Acme&org_unit=S&cert_type=end-user");
  ostrak::asn::Deallocate(ctx(), out);
  // Without memory: -9 and no text, at every allocation.
  for (long n = 0;; ++n) {
    mem_.counter().FailAfter(n);
    out = nullptr;
    int rc = vri_GenerateRegInfo(ctx(), 1, 0, list.data() + 0, &out);
    mem_.counter().FailAfter(-1);
    if (rc == kVriErrCharacter) {
      ostrak::asn::Deallocate(ctx(), out);
      break;
    }
    EXPECT_EQ(rc, kVriErrMemory) << n;
    EXPECT_EQ(out, nullptr) << n;
    EXPECT_EQ(mem_.live(), 0) << n;
    ASSERT_LT(n, 100);
  }
}

TEST_F(RegInfo, UrlEncodingAndCharacterSets) {
  struct Case {
    std::string in;
    const char* out;
  } const cases[] = {
      {"", ""},
      {"a b", "a+b"},
      {"&+=%", "%26%2B%3D%25"},
      {std::string("\0", 1), "%00"},
      {"x=1&y=2 z", "x%3D1%26y%3D2+z"},
      {"\xFF?/", "\xFF?/"},
  };
  for (const Case& c : cases) {
    char* out = nullptr;
    ASSERT_EQ(vri_UrlEncode(ctx(), reinterpret_cast<const uint8_t*>(c.in.data()), static_cast<uint32_t>(c.in.size()),
                            &out),
              0);
    EXPECT_STREQ(out, c.out);
    ostrak::asn::Deallocate(ctx(), out);
  }
  // A long run of escapes: every one fits.
  std::string many(1000, '&');
  char* out = nullptr;
  ASSERT_EQ(vri_UrlEncode(ctx(), reinterpret_cast<const uint8_t*>(many.data()), 1000, &out), 0);
  EXPECT_EQ(std::strlen(out), 3000u);
  ostrak::asn::Deallocate(ctx(), out);
  mem_.counter().FailAfter(0);
  EXPECT_EQ(vri_UrlEncode(ctx(), reinterpret_cast<const uint8_t*>("a"), 1, &out), kVriErrMemory);
  mem_.counter().FailAfter(-1);
  EXPECT_EQ(out, nullptr);
  // The character sets.
  std::string text, email;
  for (int c = 1; c < 256; ++c) {
    if (vri_ValidTextChar(static_cast<uint8_t>(c))) text += static_cast<char>(c);
    if (vri_ValidEmailChar(static_cast<uint8_t>(c))) email += static_cast<char>(c);
  }
  const std::string alnum = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  EXPECT_EQ(text, " '()+,-./" + alnum.substr(0, 10) + ":=?" + alnum.substr(10, 26) + alnum.substr(36));
  EXPECT_EQ(email, "\"+-." + alnum.substr(0, 10) + ":@" + alnum.substr(10, 26) + "[]_" + alnum.substr(36));
  EXPECT_TRUE(vri_ValidTextChar(0) && vri_ValidEmailChar(0));
  EXPECT_STREQ(vri_Hex, "0123456789ABCDEF");
}

TEST_F(RegInfo, PkcsReqAroundAnOpensslRequest) {
  const Bytes request = PkcsFile("req.der");
  pkitest::Asn1ParseBatch made;
  for (const char* text : {static_cast<const char*>(nullptr), "corp_company=Acme&challenge=x", ""}) {
    SCOPED_TRACE(text == nullptr ? "no text" : text);
    uint8_t* out = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(vri_GeneratePKCSReq(ctx(), request.data(), static_cast<uint32_t>(request.size()), text, &out, &length),
              0);
    Bytes der(out, out + length);
    ostrak::asn::Deallocate(ctx(), out);
    Bytes expected = Tlv(0x30, text == nullptr ? request
                                               : Concat({request, Tlv(0x04, Bytes(text, text + std::strlen(text)))}));
    EXPECT_EQ(ToHex(der), ToHex(expected)) << "the request's bytes unchanged";
    made.Add("PKCSReq", der);
    // It reads back, and the request inside is openssl's request.
    PKIPKCSReq* req = nullptr;
    int32_t err = 0;
    ASSERT_EQ(PKIUnpackPKCSReq(ctx(), &req, der.data(), static_cast<uint32_t>(der.size()), &err), der.size());
    EXPECT_EQ(Bytes(req->request.bytes, req->request.bytes + req->request.length), request);
    EXPECT_EQ(req->regInfo != nullptr, text != nullptr);
    PKICertificationRequest* inner = nullptr;
    EXPECT_EQ(PKIUnpackCertificationRequest(ctx(), &inner, req->request.bytes, req->request.length, &err),
              request.size());
    PKIFreeCertificationRequest(ctx(), inner);
    PKIFreePKCSReq(ctx(), req);
  }
  for (long n = 0; n < 6; ++n) {
    mem_.counter().FailAfter(n);
    uint8_t* out = reinterpret_cast<uint8_t*>(1);
    uint32_t length = 1;
    int rc = vri_GeneratePKCSReq(ctx(), request.data(), static_cast<uint32_t>(request.size()), "t", &out, &length);
    mem_.counter().FailAfter(-1);
    if (rc == 0) {
      ostrak::asn::Deallocate(ctx(), out);
      break;
    }
    EXPECT_EQ(rc, -9);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(mem_.live(), 0);
  }

  // A GetCRL for the signer's issuer with a time and reasons, and a
  // CertRep around openssl's crl2pkcs7, as the X.509 bridge makes them.
  Bytes certDer = PkcsFile("signer_cert.der");
  PKICertificate* cert = nullptr;
  int32_t err = 0;
  ASSERT_GT(PKIUnpackCertificate(ctx(), &cert, certDer.data(), static_cast<uint32_t>(certDer.size()), &err), 0u);
  PKIGetCRL* get = PKINewGetCRL(ctx());
  ASSERT_EQ(sm_CopyDistinguishedName(&get->issuer, &cert->tbsCertificate.issuer, ctx()), 0);
  get->time = PKINewVariableBlock(ctx());
  ASSERT_EQ(PKIPutStrVal(ctx(), get->time, "20240102030405Z"), 0);
  get->reasons = PKINewBIT_STRING(ctx());
  const uint8_t reasons[] = {0x60};
  ASSERT_EQ(PKIPutBitString(ctx(), get->reasons, reasons, 1, 5), 0);
  Bytes getCrl(PKISizeofGetCRL(ctx(), get, 1));
  ASSERT_EQ(PKIPackGetCRL(ctx(), getCrl.data(), static_cast<uint32_t>(getCrl.size()), get, &err), getCrl.size());
  made.Add("GetCRL", getCrl);
  PKIFreeGetCRL(ctx(), get);
  PKIFreeCertificate(ctx(), cert);

  Bytes p7 = PkcsFile("crl2pkcs7.der");
  PKICertRep* rep = PKINewCertRep(ctx());
  int32_t e = 0;
  ASSERT_EQ(PKIUnpackContentInfo(ctx(), &rep->reply, p7.data(), static_cast<uint32_t>(p7.size()), &e), p7.size());
  rep->otherInfo = PKINewVariableBlock(ctx());
  ASSERT_EQ(PKIPutStrVal(ctx(), rep->otherInfo, "pending"), 0);
  Bytes certRep(PKISizeofCertRep(ctx(), rep, 1));
  ASSERT_EQ(PKIPackCertRep(ctx(), certRep.data(), static_cast<uint32_t>(certRep.size()), rep, &e), certRep.size());
  EXPECT_EQ(ToHex(certRep), ToHex(Tlv(0x30, Concat({p7, Hex("04 07 70 65 6E 64 69 6E 67")}))));
  made.Add("CertRep", certRep);
  PKIFreeCertRep(ctx(), rep);
  auto refused = made.Check();
  EXPECT_TRUE(refused.empty()) << "asn1parse refused " << refused.front();
}

}  // namespace
