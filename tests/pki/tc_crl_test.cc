// Toolkit CRLs: building, revoking, signing and verifying; keeping one CRL
// per issuer; the revocation check with flags 1 and 4; re-dating. Our CRLs
// pass `openssl crl -CAfile`, OpenSSL's `ca -gencrl` CRLs import. Mended:
// times from 2050 are GeneralizedTime; an unknown nextUpdate under flag 4
// is -20; a CRL that tc_import_crl does not keep is freed; signing again
// frees the earlier signature; re-dating sets the selector it writes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/pki/tc_test_support.h"

namespace {

using namespace tctest;
using pkitest::Hex;

class CRLTest : public ToolkitTest {
 protected:
  void SetUp() override {
    ToolkitTest::SetUp();
    ASSERT_EQ(tc_register_handler(PKIid_ce_keyUsage_OID, 3, nullptr, ctx()), 0);
  }
  void TearDown() override {
    for (PKICertificateList* c : crls_) tc_free_crl(c, ctx());
    for (PKIExtensions* l : lists_) tc_free_extlist(l, ctx());
    ToolkitTest::TearDown();
  }
  void Import(const char* fixture) {
    Bytes der = Fixture(fixture);
    ASSERT_EQ(tc_import_cert(der.data(), static_cast<uint32_t>(der.size()), ctx()), 0);
  }
  int32_t ImportCRL(const Bytes& der, int flags = 0) {
    return tc_import_crl(der.data(), static_cast<uint32_t>(der.size()), ctx(), flags);
  }
  PKIExtensions* List() {
    PKIExtensions* l = nullptr;
    EXPECT_EQ(tc_create_extlist(&l, ctx()), 0);
    lists_.push_back(l);
    return l;
  }
  // A CRL of the CA (kept by the test until handed over).
  PKICertificateList* MakeCRL(int64_t nextUpdate, PKIExtensions* exts = nullptr) {
    PKICertificateList* crl = nullptr;
    EXPECT_EQ(tc_create_crl(&crl, kSha1WithRSA.data(), 9, kNullParams.data(), 2,
                            Name("CN=Test CA,O=Ostrak Test,C=US"), nextUpdate, exts, ctx()),
              0);
    if (crl != nullptr) crls_.push_back(crl);
    return crl;
  }
  void GiveAway(PKICertificateList* crl) { std::erase(crls_, crl); }
  int HeldCRLs() {
    int n = 0;
    for (TC_CRL_LIST* node = ctx()->crlList; node != nullptr; node = node->next) ++n;
    return n;
  }
  static int64_t Now() { return static_cast<int64_t>(time(nullptr)); }

  std::vector<PKICertificateList*> crls_;
  std::vector<PKIExtensions*> lists_;
};

TEST_F(CRLTest, CreatingRevokingAndArguments) {
  PKICertificateList* crl = reinterpret_cast<PKICertificateList*>(1);
  PKIName* issuer = Name("CN=Test CA,O=Ostrak Test,C=US");
  EXPECT_EQ(tc_create_crl(&crl, kSha1WithRSA.data(), 9, nullptr, 0, nullptr, 0, nullptr, ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(crl, nullptr);
  EXPECT_EQ(tc_create_crl(&crl, kSha1WithRSA.data(), 9, nullptr, 0, issuer, -1, nullptr, ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(tc_create_crl(&crl, kSha1WithRSA.data(), 9, nullptr, 0, issuer, Now(), nullptr, ctx()), kTCErrInvalidData);
  EXPECT_EQ(crl, nullptr);
  // No nextUpdate, no version, no entries.
  crl = MakeCRL(0);
  ASSERT_NE(crl, nullptr);
  EXPECT_EQ(crl->tbsCertList.nextUpdate, nullptr);
  EXPECT_EQ(crl->tbsCertList.version, nullptr);
  EXPECT_EQ(crl->tbsCertList.revokedCertificates, nullptr);
  EXPECT_EQ(crl->tbsCertList.thisUpdate.tag, kPKITagUTCTime);
  EXPECT_LE(std::abs(static_cast<int64_t>(tc_get_choiceoftime(&crl->tbsCertList.thisUpdate)) - Now()), 2);
  // An entry with extensions makes it version 2.
  PKIExtensions* entryExts = List();
  ASSERT_EQ(tc_setextval(entryExts, PKIid_ce_cRLReasons_OID, 3, -1, reinterpret_cast<void*>(1), ctx()), 0);
  ASSERT_EQ(tc_add_to_crl(crl, Hex("10 01").data(), 2, Now() + 86400, nullptr, ctx()), 0);
  EXPECT_EQ(crl->tbsCertList.version, nullptr);
  ASSERT_EQ(tc_add_to_crl(crl, Hex("10 02").data(), 2, 2600000000, entryExts, ctx()), 0);
  ASSERT_NE(crl->tbsCertList.version, nullptr);
  EXPECT_EQ(HexOf(Bytes(crl->tbsCertList.version->bytes, crl->tbsCertList.version->bytes + 1)), "01");
  ASSERT_EQ(crl->tbsCertList.revokedCertificates->count, 2);
  EXPECT_EQ(crl->tbsCertList.revokedCertificates->elements[1]->revocationDate.tag, kPKITagGeneralizedTime)
      << "2052 is written as GeneralizedTime";
  EXPECT_EQ(tc_add_to_crl(nullptr, Hex("01").data(), 1, 0, nullptr, ctx()), kTCErrInvalidArgs);
  // Extension lists at creation: version 2 and a copy.
  PKIExtensions* crlExts = List();
  const uint32_t number = 5;
  ASSERT_EQ(tc_setextval(crlExts, PKIid_ce_cRLNumber_OID, 3, -1, const_cast<uint32_t*>(&number), ctx()), 0);
  PKICertificateList* v2 = MakeCRL(Now() + 3600, crlExts);
  ASSERT_NE(v2, nullptr);
  ASSERT_NE(v2->tbsCertList.crlExtensions, nullptr);
  EXPECT_NE(v2->tbsCertList.crlExtensions, crlExts);
  PKIExtensions* out = nullptr;
  EXPECT_EQ(tc_crlExtensionList(&out, v2), 0);
  EXPECT_EQ(out, v2->tbsCertList.crlExtensions);
  Bytes serialBytes = Hex("10 02"), otherBytes = Hex("07");
  PKIINTEGER serial{2, serialBytes.data()};
  EXPECT_EQ(tc_crlEntryExtList(&out, crl, &serial), 0);
  EXPECT_EQ(out, crl->tbsCertList.revokedCertificates->elements[1]->crlEntryExtensions);
  PKIINTEGER other{1, otherBytes.data()};
  EXPECT_EQ(tc_crlEntryExtList(&out, crl, &other), 0);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(tc_crlEntryExtList(nullptr, crl, &other), kTCErrInvalidArgs);
  // No memory at any step of a creation: -3, nothing left.
  PKIName* x = Name("CN=x");
  const long before = counting().live();
  for (long budget = 0;; ++budget) {
    counting().counter().FailAfter(budget);
    PKICertificateList* made = nullptr;
    int32_t e = tc_create_crl(&made, kSha1WithRSA.data(), 9, kNullParams.data(), 2, x, Now() + 60, crlExts, ctx());
    counting().counter().FailAfter(-1);
    if (e == 0) {
      tc_free_crl(made, ctx());
      break;
    }
    EXPECT_EQ(e, kTCErrNoMemory);
    EXPECT_EQ(made, nullptr);
    EXPECT_EQ(counting().live(), before) << budget;
  }
}

TEST_F(CRLTest, SigningVerifyingAndOpensslReadsOurs) {
  Import("ca.der");
  SignWith("ca");
  PKICertificateList* crl = MakeCRL(Now() + 86400);
  PKIExtensions* entry = List();
  ASSERT_EQ(tc_setextval(entry, PKIid_ce_cRLReasons_OID, 3, -1, reinterpret_cast<void*>(6), ctx()), 0);
  ASSERT_EQ(tc_add_to_crl(crl, Hex("10 02").data(), 2, Now() - 60, entry, ctx()), 0);
  ASSERT_EQ(tc_sign_crl(crl, ctx()), 0);
  ASSERT_EQ(tc_verify_crl(crl, ctx()), 0);
  // Signing again replaces the signature (the old one freed).
  const long live = counting().live();
  ASSERT_EQ(tc_sign_crl(crl, ctx()), 0);
  EXPECT_EQ(counting().live(), live);
  signer_.fail = true;
  EXPECT_EQ(tc_sign_crl(crl, ctx()), kTCErrSign);
  signer_.fail = false;
  EXPECT_EQ(tc_verify_crl(crl, ctx()), 0) << "a failed signing keeps the signature";
  // openssl checks it with the CA's certificate.
  TempDir dir;
  const std::string crlPath = dir.Write("crl.der", Der(crl));
  std::string output;
  EXPECT_EQ(Shell("openssl crl -inform DER -in " + crlPath + " -CAfile " + FixturePath("ca.pem") + " -noout", &output),
            0)
      << output;
  EXPECT_NE(output.find("verify OK"), std::string::npos) << output;
  // A changed entry no longer verifies; a CRL of an issuer without
  // certificate cannot be checked.
  crl->tbsCertList.revokedCertificates->elements[0]->userCertificate.bytes[1] ^= 1;
  EXPECT_EQ(tc_verify_crl(crl, ctx()), kTCErrSignature);
  PKICertificateList* stranger = nullptr;
  ASSERT_EQ(tc_create_crl(&stranger, kSha1WithRSA.data(), 9, nullptr, 0, Name("CN=Nobody"), 0, nullptr, ctx()), 0);
  crls_.push_back(stranger);
  EXPECT_EQ(tc_verify_crl(stranger, ctx()), kTCErrNotFound);
  ctx()->verifyCallback = nullptr;
  EXPECT_EQ(tc_verify_crl(crl, ctx()), kTCErrInvalidArgs);
  ctx()->signCallback = nullptr;
  EXPECT_EQ(tc_sign_crl(crl, ctx()), kTCErrInvalidArgs);
}

TEST_F(CRLTest, ExtensionsOfCRLsAndEntriesGoThroughTheHandlers) {
  Import("ca.der");
  SignWith("ca");
  PKIExtensions* entry = List();
  const Bytes unknown = Hex("2B 06 01 04 01 82 37 99 02");
  ASSERT_EQ(tc_add_extension(entry, unknown.data(), 9, 1, Hex("05 00").data(), 2, ctx()), 0);
  PKICertificateList* crl = MakeCRL(0);
  ASSERT_EQ(tc_add_to_crl(crl, Hex("01").data(), 1, Now(), entry, ctx()), 0);
  ASSERT_EQ(tc_sign_crl(crl, ctx()), 0);
  EXPECT_EQ(tc_verify_crl(crl, ctx()), kTCErrCriticalExtension);
  EXPECT_EQ(tc_add_crl(crl, ctx(), 0), kTCErrCriticalExtension);
  EXPECT_EQ(HeldCRLs(), 0);
  static void* seen = nullptr;
  ASSERT_EQ(tc_register_handler(unknown.data(), 9,
                                [](PKIExtension*, void* object, TC_CONTEXT*) {
                                  seen = object;
                                  return 3;
                                },
                                ctx()),
            0);
  EXPECT_EQ(tc_verify_crl(crl, ctx()), kTCErrExtension);
  EXPECT_EQ(seen, &crl->tbsCertList);
  ASSERT_EQ(tc_register_handler(unknown.data(), 9, nullptr, ctx()), 0);
  EXPECT_EQ(tc_verify_crl(crl, ctx()), 0);
}

TEST_F(CRLTest, KeepingOneCRLPerIssuerTheMostRecent) {
  Import("ca.der");
  Import("root.der");
  const Bytes newer = Fixture("ca_crl.der");
  const Bytes older = Fixture("ca_crl_old.der");
  EXPECT_EQ(ImportCRL(Bytes{}), kTCErrInvalidArgs);
  EXPECT_EQ(ImportCRL(Hex("30 05 02 01")), kTCErrParse);
  // An empty SEQUENCE decodes with every component empty: no issuer
  // certificate for it.
  EXPECT_EQ(ImportCRL(Hex("30 00")), kTCErrNotFound);
  // The older after the newer: the newer stays (the older one freed).
  ASSERT_EQ(ImportCRL(newer), 0);
  ASSERT_EQ(ImportCRL(older), 0);
  ASSERT_EQ(HeldCRLs(), 1);
  auto held = [&] { return Der(ctx()->crlList->crl); };
  EXPECT_EQ(held(), newer);
  // The same thisUpdate: the first stays.
  ASSERT_EQ(ImportCRL(newer), 0);
  EXPECT_EQ(HeldCRLs(), 1);
  // Removing it, then the older and the newer in order: replaced.
  ASSERT_EQ(tc_delete_crl(Name("CN=Test CA,O=Ostrak Test,C=US"), ctx()), 0);
  EXPECT_EQ(HeldCRLs(), 0);
  EXPECT_EQ(tc_delete_crl(Name("CN=Test CA,O=Ostrak Test,C=US"), ctx()), kTCErrNotFound);
  ASSERT_EQ(ImportCRL(older), 0);
  ASSERT_EQ(ImportCRL(newer), 0);
  EXPECT_EQ(held(), newer);
  ASSERT_EQ(ImportCRL(Fixture("root_crl.der")), 0);
  EXPECT_EQ(HeldCRLs(), 2);
  // Removing one leaves the other and the certificates.
  ASSERT_EQ(tc_delete_crl(Name("CN=Test CA,O=Ostrak Test,C=US"), ctx()), 0);
  EXPECT_EQ(HeldCRLs(), 1);
  EXPECT_NE(ctx()->certList, nullptr);
  // tc_add_crl leaves a declined CRL with its caller.
  SignWith("root");
  PKICertificateList* mine = nullptr;
  ASSERT_EQ(tc_create_crl(&mine, kSha1WithRSA.data(), 9, kNullParams.data(), 2, Name("CN=Test Root,O=Ostrak Test,C=US"),
                          0, nullptr, ctx()),
            0);
  crls_.push_back(mine);
  ASSERT_EQ(tc_sign_crl(mine, ctx()), 0);
  // Its thisUpdate is now, later than the fixture's: it replaces it.
  ASSERT_EQ(tc_add_crl(mine, ctx(), 0), 0);
  GiveAway(mine);
  EXPECT_EQ(ctx()->crlList->crl, mine);
  EXPECT_EQ(ImportCRL(Fixture("root_crl.der")), 0);
  EXPECT_EQ(ctx()->crlList->crl, mine);
  EXPECT_EQ(tc_add_crl(mine, ctx(), kTCFlagCRLNextUpdate), kTCErrCRLExpired) << "no nextUpdate under flag 4";
  EXPECT_EQ(tc_add_crl(nullptr, ctx(), 0), kTCErrInvalidArgs);
}

TEST_F(CRLTest, RevocationCheck) {
  TC_CERT* leaf = Cert(Fixture("leaf.der"));
  TC_CERT* revoked = Cert(Fixture("revoked.der"));
  EXPECT_EQ(tc_check_crl(ctx(), leaf, 0), 0);
  EXPECT_EQ(tc_check_crl(ctx(), leaf, kTCFlagRequireCRL), kTCErrNoCRL);
  Import("ca.der");
  ASSERT_EQ(ImportCRL(Fixture("ca_crl.der"), kTCFlagCRLNextUpdate), 0);
  EXPECT_EQ(tc_check_crl(ctx(), leaf, kTCFlagRequireCRL | kTCFlagCRLNextUpdate), 0);
  EXPECT_EQ(tc_check_crl(ctx(), revoked, 0), kTCErrRevoked);
  // A revocation dated in the future counts all the same; the nextUpdate
  // under flag 4: past, unreadable, unknown.
  SignWith("ca");
  PKICertificateList* crl = MakeCRL(Now() + 3600);
  ASSERT_EQ(tc_add_to_crl(crl, leaf->tbs->serialNumber.bytes, leaf->tbs->serialNumber.length, Now() + 86400 * 30,
                          nullptr, ctx()),
            0);
  ASSERT_EQ(tc_sign_crl(crl, ctx()), 0);
  ASSERT_EQ(tc_add_crl(crl, ctx(), kTCFlagCRLNextUpdate), 0);
  GiveAway(crl);
  EXPECT_EQ(tc_check_crl(ctx(), leaf, 0), kTCErrRevoked);
  EXPECT_EQ(tc_check_crl(ctx(), revoked, 0), 0) << "the newer CRL replaced the fixture";
  auto* next = static_cast<PKIVariableBlock*>(crl->tbsCertList.nextUpdate->value);
  std::memcpy(next->bytes, "000101000000Z", 13);
  EXPECT_EQ(tc_check_crl(ctx(), revoked, kTCFlagCRLNextUpdate), kTCErrCRLExpired);
  next->bytes[0] = 'x';
  EXPECT_EQ(tc_check_crl(ctx(), revoked, kTCFlagCRLNextUpdate), kTCErrCRLExpired);
  crl->tbsCertList.nextUpdate->tag = kPKITagPrintableString;  // neither time form: the unknown mark
  EXPECT_EQ(tc_check_crl(ctx(), revoked, kTCFlagCRLNextUpdate), kTCErrCRLExpired);
  EXPECT_EQ(tc_check_crl(ctx(), revoked, 0), 0);
  crl->tbsCertList.nextUpdate->tag = kPKITagUTCTime;
  EXPECT_EQ(tc_check_crl(nullptr, leaf, 0), kTCErrInvalidArgs);
}

TEST_F(CRLTest, ReDating) {
  PKICertificateList* crl = MakeCRL(0);
  ASSERT_EQ(tc_reset_crl_times(crl, 7, ctx()), 0);
  ASSERT_NE(crl->tbsCertList.nextUpdate, nullptr);
  EXPECT_EQ(crl->tbsCertList.nextUpdate->tag, kPKITagUTCTime);
  EXPECT_EQ(static_cast<int64_t>(tc_get_choiceoftime(crl->tbsCertList.nextUpdate)) -
                static_cast<int64_t>(tc_get_choiceoftime(&crl->tbsCertList.thisUpdate)),
            7 * 86400);
  ASSERT_EQ(tc_reset_crl_times(crl, 0, ctx()), 0);
  EXPECT_EQ(crl->tbsCertList.nextUpdate, nullptr);
  EXPECT_EQ(tc_reset_crl_times(crl, -1, ctx()), kTCErrInvalidArgs);
  // A nextUpdate beyond 2050 is GeneralizedTime; a decoded GeneralizedTime
  // thisUpdate is rewritten as the UTCTime it now holds.
  ASSERT_EQ(tc_reset_crl_times(crl, 10000, ctx()), 0);
  EXPECT_EQ(crl->tbsCertList.nextUpdate->tag, kPKITagGeneralizedTime);
  crl->tbsCertList.thisUpdate.tag = 0x38;
  ASSERT_EQ(tc_reset_crl_times(crl, 1, ctx()), 0);
  EXPECT_EQ(crl->tbsCertList.thisUpdate.tag, kPKITagUTCTime);
  EXPECT_EQ(crl->tbsCertList.nextUpdate->tag, kPKITagUTCTime);
  // The re-dated CRL encodes and decodes.
  Bytes der = Der(crl);
  PKICertificateList* back = nullptr;
  ASSERT_EQ(tc_unpack_crl(&back, der.data(), static_cast<uint32_t>(der.size()), ctx()), 0);
  EXPECT_EQ(Der(back), der);
  tc_free_crl(back, ctx());
  uint8_t* buffer = reinterpret_cast<uint8_t*>(1);
  uint32_t length = 1;
  EXPECT_EQ(tc_pack_crl(&buffer, &length, nullptr, ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(buffer, nullptr);
}

}  // namespace
