// Toolkit certificates: decoding and the certificate list, chain
// validation over an openssl chain (signatures, validity, CRLs with flags
// 1, 2 and 4, extensions, loops), and certificates made by tc_create_cert
// (v1 and v3; RSA with MD5 and SHA-1, DSA with SHA-1) checked by `openssl
// verify`. Mended: validity is decoded by its tag and compared in 64 bits,
// so a GeneralizedTime notAfter holds and a GeneralizedTime notBefore
// counts; times from 2050 are written as GeneralizedTime; a certificate the
// list cannot take is -3, a duplicate it declines is freed; a chain that
// comes back on itself ends with -4.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/pki/tc_test_support.h"

namespace {

using namespace tctest;
using pkitest::Hex;

class CertTest : public ToolkitTest {
 protected:
  void SetUp() override {
    ToolkitTest::SetUp();
    RegisterKeyUsage();
  }
  // A new context in place of the test's (certificates kept by the test
  // go with the old one's memory manager, which stays).
  void FreshContext() {
    ASSERT_EQ(tc_free_context(ctx()), 0);
    ASSERT_EQ(tc_init_context(&ctxRef(), counting().ctx()->memMgr, SignCallback, &signer_, VerifyCallback, &verifier_),
              0);
  }
  void RegisterKeyUsage() {
    ASSERT_EQ(tc_register_handler(PKIid_ce_keyUsage_OID, sizeof PKIid_ce_keyUsage_OID, nullptr, ctx()), 0);
  }
  int ListLength() {
    int n = 0;
    for (TC_CERT_LIST* node = ctx()->certList; node != nullptr; node = node->next) ++n;
    return n;
  }
  void Import(const char* fixture) {
    Bytes der = Fixture(fixture);
    ASSERT_EQ(tc_import_cert(der.data(), static_cast<uint32_t>(der.size()), ctx()), 0) << fixture;
  }
  void ImportCRL(const char* fixture, int flags = 0) {
    Bytes der = Fixture(fixture);
    ASSERT_EQ(tc_import_crl(der.data(), static_cast<uint32_t>(der.size()), ctx(), flags), 0) << fixture;
  }
  // Hands a certificate of the test to the context's list.
  void Add(TC_CERT* cert) {
    ASSERT_EQ(tc_add_cert(cert, ctx()), 0);
    Forget(cert);
  }
  // basicConstraints cA (and an extension list owned by the test).
  PKIExtensions* CAExtensions() {
    PKIExtensions* list = nullptr;
    EXPECT_EQ(tc_create_extlist(&list, ctx()), 0);
    lists_.push_back(list);
    TC_BASIC_CONSTRAINTS bc{1, -1};
    EXPECT_EQ(tc_setextval(list, PKIid_ce_basicConstraints_OID, 3, -1, &bc, ctx()), 0);
    return list;
  }
  void TearDown() override {
    for (PKIExtensions* l : lists_) tc_free_extlist(l, ctx());
    ToolkitTest::TearDown();
  }
  std::vector<PKIExtensions*> lists_;
};

TEST_F(CertTest, DecodingAndTheList) {
  TC_CERT* cert = nullptr;
  const Bytes leaf = Fixture("leaf.der");
  EXPECT_EQ(tc_unpack_cert(nullptr, leaf.data(), 10, ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(tc_unpack_cert(&cert, leaf.data(), 0, ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(tc_unpack_cert(&cert, Hex("30 03 02 01 05").data(), 5, ctx()), kTCErrParse);
  EXPECT_EQ(cert, nullptr);
  EXPECT_EQ(tc_unpack_cert(&cert, leaf.data(), static_cast<uint32_t>(leaf.size()) - 1, ctx()), kTCErrParse);
  // No memory at each allocation: -3, nothing left.
  const long before = counting().live();
  for (long budget = 0;; ++budget) {
    counting().counter().FailAfter(budget);
    int32_t e = tc_unpack_cert(&cert, leaf.data(), static_cast<uint32_t>(leaf.size()), ctx());
    counting().counter().FailAfter(-1);
    if (e == 0) break;
    EXPECT_EQ(e, kTCErrNoMemory);
    EXPECT_EQ(cert, nullptr);
    EXPECT_EQ(counting().live(), before);
  }
  Keep(cert);
  // The XCertificate keeps the signed part byte for byte.
  EXPECT_EQ(Bytes(cert->xcert->tbsCertificate.bytes, cert->xcert->tbsCertificate.bytes + 4),
            Bytes(leaf.begin() + 4, leaf.begin() + 8));
  EXPECT_EQ(cert->tbs, &cert->cert->tbsCertificate);
  EXPECT_EQ(Der(cert), leaf);

  TC_CERT* found = nullptr;
  EXPECT_EQ(tc_find_cert(&found, Name("CN=Test CA,O=Ostrak Test,C=US"), ctx()), kTCErrNotFound);
  Import("leaf.der");
  Import("leaf.der");
  EXPECT_EQ(ListLength(), 1) << "the same certificate twice is kept once";
  Import("ca.der");
  Import("root.der");
  EXPECT_EQ(ListLength(), 3);
  ASSERT_EQ(tc_find_cert(&found, Name("CN=Test CA,O=Ostrak Test,C=US"), ctx()), 0);
  EXPECT_EQ(tc_get_version(nullptr, found, ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(tc_find_issuer(&found, found, ctx()), 0);
  char* text = nullptr;
  ASSERT_EQ(tc_extractdname_fromcert(&text, found, kTCNameCertSubject, ctx()), 0);
  EXPECT_STREQ(text, "CN=Test Root,O=Ostrak Test,C=US");
  ctx()->memMgr->deallocate(ctx()->memMgr, text);
  TC_CERT* root = nullptr;
  ASSERT_EQ(tc_find_cert(&root, Name("CN=Test Root,O=Ostrak Test,C=US"), ctx()), 0);
  EXPECT_EQ(tc_find_issuer(&found, root, ctx()), 0);
  EXPECT_EQ(found, root) << "a self-signed certificate is its own issuer";

  // tc_add_cert: a duplicate is freed and the list keeps its own.
  TC_CERT* again = Cert(leaf);
  ASSERT_EQ(tc_add_cert(again, ctx()), 0);
  Forget(again);
  EXPECT_EQ(ListLength(), 3);
  // The same serial number under two issuers: both stay.
  Add(Issue(0, "CN=A", "CN=Issuer One", "ca", "leaf", kSha1WithRSA, nullptr, 5));
  Add(Issue(0, "CN=B", "CN=Issuer Two", "ca", "leaf", kSha1WithRSA, nullptr, 5));
  EXPECT_EQ(ListLength(), 5);
  // No node to be had: -3 and the certificate is still the caller's.
  TC_CERT* extra = Issue(0, "CN=C", "CN=Issuer Three", "ca", "leaf", kSha1WithRSA, nullptr, 5);
  counting().counter().FailAfter(0);
  EXPECT_EQ(tc_add_cert(extra, ctx()), kTCErrNoMemory);
  counting().counter().FailAfter(0);
  EXPECT_EQ(tc_import_cert(leaf.data(), static_cast<uint32_t>(leaf.size()), ctx()), kTCErrNoMemory);
  counting().counter().FailAfter(-1);
  EXPECT_EQ(ListLength(), 5);
  EXPECT_EQ(tc_add_cert(nullptr, ctx()), kTCErrInvalidArgs);
  PKIExtensions* exts = reinterpret_cast<PKIExtensions*>(1);
  EXPECT_EQ(tc_certExtensionList(&exts, extra), 0);
  EXPECT_EQ(exts, nullptr);
}

TEST_F(CertTest, ValidatingTheOpensslChain) {
  // The fixtures mark keyUsage critical: unregistered, it fails them.
  FreshContext();
  Import("ca.der");
  Import("root.der");
  EXPECT_EQ(tc_validate_cert(Cert(Fixture("leaf.der")), 0, ctx()), kTCErrCriticalExtension);
  FreshContext();
  RegisterKeyUsage();
  TC_CERT* leaf = Cert(Fixture("leaf.der"));
  EXPECT_EQ(tc_validate_cert(leaf, 0, ctx()), kTCErrIssuerMissing);
  Import("ca.der");
  EXPECT_EQ(tc_validate_cert(leaf, 0, ctx()), kTCErrIssuerMissing) << "the CA's issuer is missing";
  Import("root.der");
  verifier_ = Verifier{verifier_.qox, 0, -1, {}};
  EXPECT_EQ(tc_validate_cert(leaf, 0, ctx()), 0);
  // Leaf against the CA, the CA against the root, the root against itself.
  ASSERT_EQ(verifier_.calls, 3);
  TC_CERT *ca = nullptr, *root = nullptr;
  ASSERT_EQ(tc_find_issuer(&ca, leaf, ctx()), 0);
  ASSERT_EQ(tc_find_issuer(&root, ca, ctx()), 0);
  EXPECT_EQ(verifier_.signers, (std::vector<TC_CERT*>{ca, root, root}));
  // The issuer of the leaf's issuer refused: -5 after the leaf passed.
  verifier_ = Verifier{verifier_.qox, 0, 1, {}};
  EXPECT_EQ(tc_validate_cert(leaf, 0, ctx()), kTCErrSignature);
  EXPECT_EQ(verifier_.calls, 2);
  verifier_ = Verifier{verifier_.qox, 0, -1, {}};
  EXPECT_EQ(tc_validate_one_cert(leaf, 0, ctx()), 0);
  EXPECT_EQ(verifier_.calls, 1);
  // A certificate not signed by its issuer.
  TC_CERT* forged = Issue(2, "CN=Leaf forged", "CN=Test CA,O=Ostrak Test,C=US", "leaf", "leaf", kSha1WithRSA);
  EXPECT_EQ(tc_validate_cert(forged, 0, ctx()), kTCErrSignature);

  // Validity: an expired leaf, with and without flag 2; a notAfter after
  // 2050 (GeneralizedTime) is still valid.
  TC_CERT* expired = Cert(Fixture("expired.der"));
  EXPECT_EQ(tc_validate_cert(expired, 0, ctx()), kTCErrInvalidData);
  EXPECT_EQ(tc_validate_cert(expired, kTCFlagSkipValidity, ctx()), 0);
  TC_CERT* longLived = Cert(Fixture("long.der"));
  ASSERT_EQ(longLived->tbs->validity.notAfter.tag, kPKITagGeneralizedTime);
  EXPECT_EQ(tc_validate_cert(longLived, 0, ctx()), 0);

  // Flag 1 wants a CRL of every issuer on the way.
  EXPECT_EQ(tc_validate_cert(leaf, kTCFlagRequireCRL, ctx()), kTCErrNoCRL);
  ImportCRL("ca_crl.der", kTCFlagCRLNextUpdate);
  EXPECT_EQ(tc_validate_cert(leaf, kTCFlagRequireCRL, ctx()), kTCErrNoCRL) << "the root's CRL is missing";
  ImportCRL("root_crl.der");
  EXPECT_EQ(tc_validate_cert(leaf, kTCFlagRequireCRL | kTCFlagCRLNextUpdate, ctx()), 0);
  // Revoked, and on hold, by the CA's CRL.
  EXPECT_EQ(tc_validate_cert(Cert(Fixture("revoked.der")), 0, ctx()), kTCErrRevoked);
  EXPECT_EQ(tc_validate_cert(Cert(Fixture("held.der")), kTCFlagRequireCRL, ctx()), kTCErrRevoked);
  EXPECT_EQ(tc_validate_cert(nullptr, 0, ctx()), kTCErrInvalidArgs);
}

TEST_F(CertTest, ValidityByTagIn64Bits) {
  Import("ca.der");
  Import("root.der");
  const int64_t now = static_cast<int64_t>(time(nullptr));
  const char* issuer = "CN=Test CA,O=Ostrak Test,C=US";
  struct {
    int64_t notBefore, notAfter;
    uint8_t beforeTag, afterTag;
    int32_t code;
  } cases[] = {
      {now - 60, now + 60, 0x17, 0x17, 0},
      {now - 60, 2600000000, 0x17, 0x18, 0},         // notAfter in 2052
      {now - 60, 4294967294, 0x17, 0x18, 0},         // in 2106
      {now - 60, 5000000000, 0x17, 0x18, 0},         // beyond 2106: held at the last second
      {2600000000, 2700000000, 0x18, 0x18, -6},      // notBefore in 2052: not yet valid
      {now + 3600, now + 7200, 0x17, 0x17, -6},
      {now - 7200, now - 3600, 0x17, 0x17, -6},
  };
  uint32_t serial = 100;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.notAfter);
    TC_CERT* cert = Issue(2, "CN=Dated", issuer, "ca", "leaf", kSha1WithRSA, nullptr, serial++, c.notBefore, c.notAfter);
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(cert->tbs->validity.notBefore.tag, c.beforeTag);
    EXPECT_EQ(cert->tbs->validity.notAfter.tag, c.afterTag);
    EXPECT_EQ(tc_validate_cert(cert, 0, ctx()), c.code);
    EXPECT_EQ(tc_validate_cert(cert, kTCFlagSkipValidity, ctx()), 0);
  }
  // An unreadable notAfter fails, an unreadable notBefore passes; the
  // signature covers the bytes received, not the parsed view.
  TC_CERT* cert = Issue(2, "CN=Dated", issuer, "ca", "leaf", kSha1WithRSA, nullptr, serial++);
  auto* after = static_cast<PKIVariableBlock*>(cert->tbs->validity.notAfter.value);
  const uint8_t kept = after->bytes[0];
  after->bytes[0] = 'x';
  EXPECT_EQ(tc_validate_one_cert(cert, kTCFlagSkipValidity, ctx()), 0);
  EXPECT_EQ(tc_validate_one_cert(cert, 0, ctx()), kTCErrInvalidData);
  after->bytes[0] = kept;
  static_cast<PKIVariableBlock*>(cert->tbs->validity.notBefore.value)->bytes[0] = 'x';
  EXPECT_EQ(tc_validate_one_cert(cert, 0, ctx()), 0);
}

TEST_F(CertTest, ExtensionsLoopsAndMissingCallbacks) {
  // A root of ours with a critical extension nobody registered: -9; the
  // same marked non-critical passes; a handler that refuses gives -7.
  PKIExtensions* exts = CAExtensions();
  const Bytes unknownOid = Hex("2B 06 01 04 01 82 37 99 01");
  ASSERT_EQ(tc_add_extension(exts, unknownOid.data(), 9, 1, Hex("05 00").data(), 2, ctx()), 0);
  TC_CERT* root = Issue(2, "CN=Ext Root", "CN=Ext Root", "root", "root", kSha1WithRSA, exts, 1);
  Add(root);
  EXPECT_EQ(tc_validate_cert(root, 0, ctx()), kTCErrCriticalExtension);
  static TC_CERT* seen = nullptr;
  ASSERT_EQ(tc_register_handler(unknownOid.data(), 9,
                                [](PKIExtension*, void* object, TC_CONTEXT*) {
                                  seen = static_cast<TC_CERT*>(object);
                                  return 1;
                                },
                                ctx()),
            0);
  EXPECT_EQ(tc_validate_cert(root, 0, ctx()), kTCErrExtension);
  EXPECT_EQ(seen, root);
  ASSERT_EQ(tc_register_handler(unknownOid.data(), 9, nullptr, ctx()), 0);
  EXPECT_EQ(tc_validate_cert(root, 0, ctx()), 0);

  // A issued by B and B by A: no root is ever reached.
  Add(Issue(2, "CN=Loop A", "CN=Loop B", "leaf", "leaf", kSha1WithRSA, CAExtensions(), 2));
  Add(Issue(2, "CN=Loop B", "CN=Loop A", "leaf", "leaf", kSha1WithRSA, CAExtensions(), 3));
  TC_CERT* a = nullptr;
  ASSERT_EQ(tc_find_cert(&a, Name("CN=Loop A"), ctx()), 0);
  EXPECT_EQ(tc_validate_cert(a, 0, ctx()), kTCErrIssuerMissing);
  TC_CERT* c = Issue(2, "CN=Loop C", "CN=Loop A", "leaf", "leaf", kSha1WithRSA, nullptr, 4);
  EXPECT_EQ(tc_validate_cert(c, 0, ctx()), kTCErrIssuerMissing);

  ctx()->verifyCallback = nullptr;
  EXPECT_EQ(tc_validate_cert(root, 0, ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(tc_validate_one_cert(root, 0, ctx()), kTCErrInvalidArgs);
}

TEST_F(CertTest, CreationArgumentsAndFailures) {
  KeyPair& k = Key("leaf");
  SignWith("ca");
  PKIName* issuer = Name("CN=Test CA,O=Ostrak Test,C=US");
  PKIName* subject = Name("CN=Made");
  const Bytes serial = Hex("01");
  auto create = [&](int32_t version, PKIExtensions* exts, TC_CERT** out) {
    return tc_create_cert(out, version, serial.data(), 1, kSha1WithRSA.data(), 9, kNullParams.data(), 2, issuer, 0,
                          2000000000, subject, exts, k.keyOid.data(), static_cast<uint32_t>(k.keyOid.size()),
                          k.publicKey.data(), static_cast<uint32_t>(k.publicKey.size()), k.keyParams.data(),
                          static_cast<uint32_t>(k.keyParams.size()), ctx());
  };
  TC_CERT* out = reinterpret_cast<TC_CERT*>(1);
  EXPECT_EQ(create(3, nullptr, &out), kTCErrInvalidArgs);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(create(-1, nullptr, &out), kTCErrInvalidArgs);
  EXPECT_EQ(create(0, CAExtensions(), &out), kTCErrExtension);
  EXPECT_EQ(create(1, CAExtensions(), &out), kTCErrExtension);
  ASSERT_EQ(create(2, nullptr, &out), 0);
  Keep(out);
  EXPECT_EQ(out->tbs->extensions, nullptr) << "version 3 without a list writes no extensions";
  int32_t version = 0;
  EXPECT_EQ(tc_get_version(&version, out, ctx()), 0);
  EXPECT_EQ(version, 2);
  ASSERT_EQ(create(0, nullptr, &out), 0);
  Keep(out);
  EXPECT_EQ(out->tbs->version, nullptr);
  signer_.fail = true;
  out = reinterpret_cast<TC_CERT*>(1);
  EXPECT_EQ(create(2, nullptr, &out), kTCErrSign);
  EXPECT_EQ(out, nullptr);
  signer_.fail = false;
  ctx()->signCallback = nullptr;
  EXPECT_EQ(create(2, nullptr, &out), kTCErrInvalidArgs);
  ctx()->signCallback = SignCallback;
  // No memory at each allocation in turn: -3, nothing left, no output.
  PKIExtensions* exts = CAExtensions();
  const long before = counting().live();
  for (long budget = 0;; ++budget) {
    counting().counter().FailAfter(budget);
    int32_t e = create(2, exts, &out);
    counting().counter().FailAfter(-1);
    if (e == 0) {
      Keep(out);
      break;
    }
    // The sign callback's own allocation failing is a failed signature.
    EXPECT_TRUE(e == kTCErrNoMemory || e == kTCErrSign) << budget << ": " << e;
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(counting().live(), before) << budget;
  }
}

// Certificates of ours against `openssl verify -CAfile`.
TEST_F(CertTest, CreatedCertificatesPassOpensslVerify) {
  TempDir dir;
  struct Case {
    const char* name;
    int version;
    const char* rootKey;
    const Bytes* rootSig;
    const char* leafKey;
    const Bytes* leafSig;
    bool caExtension;
    const char* expect;  // in openssl's output
  };
  const Case cases[] = {
      {"v1_sha1", 0, "root", &kSha1WithRSA, "leaf", &kSha1WithRSA, false, "OK"},
      {"v1_md5", 0, "root", &kMd5WithRSA, "leaf", &kMd5WithRSA, false, "OK"},
      {"v3_sha1", 2, "root", &kSha1WithRSA, "leaf", &kSha1WithRSA, true, "OK"},
      {"v3_dsa", 2, "dsa", &kDsaWithSha1, "leaf", &kDsaWithSha1, true, "OK"},
      {"v3_dsa_leaf", 2, "root", &kSha1WithRSA, "dsa", &kSha1WithRSA, true, "OK"},
      // A v3 issuer without basicConstraints cA is no CA to openssl.
      {"v3_no_ca", 2, "root", &kSha1WithRSA, "leaf", &kSha1WithRSA, false, "error 79"},
  };
  uint32_t serial = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string rootName = std::string("CN=Root ") + c.name + ",O=Ostrak,C=US";
    std::replace(rootName.begin(), rootName.end(), '_', '-');
    TC_CERT* root = Issue(c.version, rootName.c_str(), rootName.c_str(), c.rootKey, c.rootKey, *c.rootSig,
                          c.caExtension ? CAExtensions() : nullptr, serial++);
    TC_CERT* leaf = Issue(c.version, "CN=Leaf,O=Ostrak,C=US", rootName.c_str(), c.rootKey, c.leafKey, *c.leafSig,
                          c.version == 2 ? CAExtensions() : nullptr, serial++);
    ASSERT_NE(root, nullptr);
    ASSERT_NE(leaf, nullptr);
    // Our own validation agrees on the signatures and dates.
    Add(root);
    EXPECT_EQ(tc_validate_cert(leaf, 0, ctx()), 0);
    const std::string r = dir.Write(std::string(c.name) + "_root.pem", Pem(Der(root), "CERTIFICATE"));
    const std::string l = dir.Write(std::string(c.name) + "_leaf.pem", Pem(Der(leaf), "CERTIFICATE"));
    std::string output;
    const int status = Shell("openssl verify -CAfile " + r + " " + l, &output);
    EXPECT_NE(output.find(c.expect), std::string::npos) << output;
    EXPECT_EQ(status == 0, std::string(c.expect) == "OK") << output;
  }
}

}  // namespace
