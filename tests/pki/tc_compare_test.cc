// The error map and texts, the comparisons and the certificate field
// accessors. Mended: real times from 2038 on sort after earlier ones (the
// comparison was signed), the unknown mark first, then 0.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/pki/tc_test_support.h"

namespace {

using namespace tctest;
using pkitest::Hex;

class CompareTest : public ToolkitTest {};

TEST_F(CompareTest, ErrorMapAndTexts) {
  const struct {
    int32_t codec, toolkit;
  } map[] = {{0, 0},     {-1, -2},   {-2, -2},   {-3, -2},  {-4, -21},  {-5, -2},   {-6, -1},  {-7, -1},
             {-8, -1},   {-9, -2},   {-13, -2},  {-16, -2}, {-17, -3},  {-18, -2},  {-19, -2}, {-20, -21},
             {-21, -21}, {-50, -2},  {-60, -24}, {-61, -25}, {-70, -21}, {-99, -21}, {5, -21}};
  for (const auto& m : map) EXPECT_EQ(compiler2tc_error(m.codec), m.toolkit) << m.codec;
  int rows = 0;
  while (ASN2TC_errors[rows].codec != 0) ++rows;
  EXPECT_EQ(rows, 23);
  for (int i = 0; i < kTCErrorCount; ++i) {
    ASSERT_NE(TC_errlist[i], nullptr) << i;
    EXPECT_GT(std::strlen(TC_errlist[i]), 0u);
  }
  EXPECT_STREQ(TC_errlist[0], "invalid arguments");
  EXPECT_STREQ(TC_errlist[20], "unknown error, contact vendor");
  EXPECT_STREQ(TC_errlist[35], "GeneralName contains an inavalid URI value");
  EXPECT_STREQ(TC_errlist[47], "inner and outer signature OIDs in cert do not match ");
  EXPECT_STREQ(TC_errlist[51], "v1 cert has version field present");
}

TEST_F(CompareTest, NameEqualityTable) {
  const struct {
    const char* a;
    const char* b;
    int32_t equal;
  } cases[] = {
      {"CN=Alice+OU=Sales", "OU=Sales+CN=Alice", 1},  // order inside an RDN does not matter
      {"C=US,O=Corp", "O=Corp,C=US", 0},              // RDN order does
      {"CN=Some  Name ", "CN=some name", 1},           // PrintableString: runs, trailing blank, case
      {"CN=\\ Some Name", "CN=some name", 1},          // a leading blank
      {"CN=a b", "CN=ab", 0},
      {"CN=x,O=y", "CN=x", 0},
      {"", "", 1},
      {"DC=Com", "DC=com", 0},  // IA5Strings compare byte for byte
      // Each AVA of the first is looked for on its own: one AVA of the
      // second serves both.
      {"CN=a+CN=a", "CN=a+OU=b", 1},
      {"CN=a+OU=b", "CN=a+CN=a", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    EXPECT_EQ(tc_compare_dname(Name(c.a), Name(c.b), ctx()), c.equal);
  }
  EXPECT_EQ(tc_compare_dname(nullptr, Name("CN=x"), ctx()), kTCErrInvalidArgs);
  // One AVA of B may serve two of A.
  PKIName* a = Name("CN=x");
  PKIName* b = Name("CN=x");
  auto* rdnA = static_cast<PKIRDNSequence*>(a->value)->elements[0];
  auto* rdnB = static_cast<PKIRDNSequence*>(b->value)->elements[0];
  ASSERT_EQ(ParseStringRDN(rdnA, "CN=X", ctx()), 0);
  ASSERT_EQ(ParseStringRDN(rdnB, "OU=y", ctx()), 0);
  EXPECT_EQ(compareDnameSet(rdnA, rdnB, ctx()), 1);
  EXPECT_EQ(compareDnameSet(rdnB, rdnA, ctx()), 0);
}

TEST_F(CompareTest, PrintableStringsAndOtherStringTypes) {
  auto any = [](const Bytes& b) { return PKIANY{static_cast<uint32_t>(b.size()), const_cast<uint8_t*>(b.data())}; };
  // "Some  Name " and "some name".
  Bytes p1 = Hex("13 0B 53 6F 6D 65 20 20 4E 61 6D 65 20");
  Bytes p2 = Hex("13 09 73 6F 6D 65 20 6E 61 6D 65");
  Bytes u1 = Hex("0C 0B 53 6F 6D 65 20 20 4E 61 6D 65 20");
  Bytes u2 = Hex("0C 09 73 6F 6D 65 20 6E 61 6D 65");
  Bytes ia5 = Hex("16 09 73 6F 6D 65 20 6E 61 6D 65");
  Bytes bad = Hex("13 02 40 40");  // '@' is not printable: does not decode
  PKIANY a1 = any(p1), a2 = any(p2), b1 = any(u1), b2 = any(u2), c = any(ia5), d = any(bad);
  EXPECT_EQ(ComparePrintableString(&a1, &a2, ctx()), 1);
  EXPECT_EQ(ComparePrintableString(&a1, &d, ctx()), 0);
  EXPECT_EQ(ComparePrintableString(&d, &d, ctx()), 0);
  const Bytes cn = Hex("55 04 03");
  auto nameOf = [&](const Bytes& value) {
    PKIName* n = nullptr;
    EXPECT_EQ(tc_create_dname(&n, ctx()), 0);
    Keep(n);
    EXPECT_EQ(tc_addAVAto_dname(n, cn.data(), 3, value.data(), static_cast<uint32_t>(value.size()), ctx()), 0);
    return n;
  };
  EXPECT_EQ(tc_compare_dname(nameOf(p1), nameOf(p2), ctx()), 1);
  EXPECT_EQ(tc_compare_dname(nameOf(u1), nameOf(u2), ctx()), 0);
  EXPECT_EQ(tc_compare_dname(nameOf(u2), nameOf(u2), ctx()), 1);
  EXPECT_EQ(tc_compare_dname(nameOf(p2), nameOf(ia5), ctx()), 0);
  EXPECT_EQ(tc_compare_dname(nameOf(bad), nameOf(bad), ctx()), 0) << "a PrintableString that does not decode";
  (void)b1;
  (void)b2;
  (void)c;
}

TEST_F(CompareTest, GeneralNames) {
  Bytes host = Hex("65 78 2E 63 6F 6D");  // ex.com
  Bytes hostUpper = Hex("45 78 2E 63 6F 6D");
  PKIVariableBlock h1{6, host.data()}, h2{6, hostUpper.data()};
  PKIGeneralName dns1{0x82, &h1}, dns2{0x82, &h2}, dns1b{0x82, &h1}, uri{0x86, &h1};
  EXPECT_EQ(tc_compare_GeneralName(&dns1, &dns1b, ctx()), 1);
  EXPECT_EQ(tc_compare_GeneralName(&dns1, &dns2, ctx()), 0) << "no case folding";
  EXPECT_EQ(tc_compare_GeneralName(&dns1, &uri, ctx()), 0);
  PKIGeneralName x400a{0xA3, &h1}, x400b{0xA3, &h1}, edi{0xA5, &h1}, odd{0x89, &h1};
  EXPECT_EQ(tc_compare_GeneralName(&x400a, &x400b, ctx()), kTCErrGeneralNameCompare);
  EXPECT_EQ(tc_compare_GeneralName(&edi, &edi, ctx()), kTCErrGeneralNameCompare);
  EXPECT_EQ(tc_compare_GeneralName(&odd, &odd, ctx()), kTCErrGeneralNameCompare);
  PKIGeneralName empty{0x82, nullptr};
  EXPECT_EQ(tc_compare_GeneralName(&empty, &dns1, ctx()), kTCErrInvalidArgs);
  PKIGeneralName dirA{0xA4, Name("CN=Alice+OU=Sales,C=US")}, dirB{0xA4, Name("OU=Sales+CN=alice,C=US")};
  PKIGeneralName dirC{0xA4, Name("CN=Bob,C=US")};
  EXPECT_EQ(tc_compare_GeneralName(&dirA, &dirB, ctx()), 1);
  EXPECT_EQ(tc_compare_GeneralName(&dirA, &dirC, ctx()), 0);
  Bytes oid = Hex("2A 03"), value = Hex("0C 01 41"), value2 = Hex("0C 01 42");
  PKIAnotherName o1{{2, oid.data()}, {3, value.data()}}, o2{{2, oid.data()}, {3, value2.data()}};
  PKIGeneralName other1{0xA0, &o1}, other1b{0xA0, &o1}, other2{0xA0, &o2};
  EXPECT_EQ(tc_compare_GeneralName(&other1, &other1b, ctx()), 1);
  EXPECT_EQ(tc_compare_GeneralName(&other1, &other2, ctx()), 0);
}

TEST_F(CompareTest, TimesSortWithTheMarksFirstAndLateTimesLast) {
  auto utc = [](const char* text) { return PKIVariableBlock{13, reinterpret_cast<uint8_t*>(const_cast<char*>(text))}; };
  auto gen = [](const char* text) { return PKIVariableBlock{15, reinterpret_cast<uint8_t*>(const_cast<char*>(text))}; };
  PKIVariableBlock t2000 = utc("000101000000Z"), g2000 = gen("20000101000000Z"), t2040 = utc("400101000000Z");
  PKIVariableBlock g2100 = gen("21000101000000Z"), bad = utc("000101000000X");
  PKITime a{0x17, &t2000}, b{0x18, &g2000}, late{0x17, &t2040}, later{0x18, &g2100}, zero{0x17, &bad};
  PKITime unknown{0x13, &t2000};
  EXPECT_EQ(tc_compare_time(&a, &b), 0) << "the same second in both forms";
  EXPECT_EQ(tc_compare_time(&late, &a), 1) << "2040 is after 2000";
  EXPECT_EQ(tc_compare_time(&a, &late), -1);
  EXPECT_EQ(tc_compare_time(&later, &late), 1);
  EXPECT_EQ(tc_compare_time(&zero, &a), -1);
  EXPECT_EQ(tc_compare_time(&unknown, &zero), -1) << "the unknown mark sorts first";
  EXPECT_EQ(tc_compare_time(&zero, &unknown), 1);
  EXPECT_EQ(tc_compare_time(&unknown, nullptr), 0);
  EXPECT_EQ(tc_compare_time(&later, nullptr), 1);
}

TEST_F(CompareTest, SerialsBlocksAndSelfSigned) {
  Bytes s1 = Hex("01 02"), s2 = Hex("01 02"), s3 = Hex("00 01 02");
  PKIVariableBlock a{2, s1.data()}, b{2, s2.data()}, c{3, s3.data()};
  EXPECT_EQ(tc_compare_serial(&a, &b), 1);
  EXPECT_EQ(tc_compare_serial(&a, &c), 0);
  EXPECT_EQ(tc_compare_block(&a, nullptr), kTCErrInvalidArgs);
  TC_CERT* root = Cert(Fixture("root.der"));
  TC_CERT* ca = Cert(Fixture("ca.der"));
  EXPECT_EQ(tc_is_self_signed(root, ctx()), 1);
  EXPECT_EQ(tc_is_self_signed(ca, ctx()), 0);
  EXPECT_EQ(tc_is_self_signed(nullptr, ctx()), kTCErrInvalidArgs);
  TC_CERT hollow{};
  EXPECT_EQ(tc_is_self_signed(&hollow, ctx()), kTCErrInvalidArgs);
}

// The accessors against `openssl x509 -text`'s view of the same fields.
TEST_F(CompareTest, AccessorsCopyTheFields) {
  TC_CERT* leaf = Cert(Fixture("leaf.der"));
  PKIMemoryMgr* m = ctx()->memMgr;
  uint8_t* out = nullptr;
  uint32_t length = 0, second = 0;
  ASSERT_EQ(tc_get_sigalgorithm(&out, &length, leaf, ctx()), 0);
  EXPECT_EQ(Bytes(out, out + length), kSha1WithRSA);
  m->deallocate(m, out);
  ASSERT_EQ(tc_get_serial(&out, &length, leaf, ctx()), 0);
  std::string serial;
  ASSERT_EQ(Shell("openssl x509 -inform DER -in " + FixturePath("leaf.der") + " -noout -serial", &serial), 0);
  EXPECT_EQ("serial=" + HexOf(Bytes(out, out + length)) + "\n", serial);
  m->deallocate(m, out);
  ASSERT_EQ(tc_get_key(&out, &length, &second, leaf, ctx()), 0);
  EXPECT_EQ(Bytes(out, out + length), Key("leaf").publicKey);
  EXPECT_EQ(second, 0u);
  m->deallocate(m, out);
  ASSERT_EQ(tc_get_signature(&out, &length, &second, leaf, ctx()), 0);
  EXPECT_EQ(length, 128u);
  EXPECT_EQ(second, 128u);
  m->deallocate(m, out);
  ASSERT_EQ(tc_get_params(&out, &length, leaf, ctx()), 0);
  EXPECT_EQ(Bytes(out, out + length), kNullParams);
  m->deallocate(m, out);
  int32_t version = -1;
  EXPECT_EQ(tc_get_version(&version, leaf, ctx()), 0);
  EXPECT_EQ(version, 2);
  TC_CERT* v1 = Cert(pkitest::CorpusFile("cert_v1.der"));
  EXPECT_EQ(tc_get_version(&version, v1, ctx()), 0);
  EXPECT_EQ(version, 0);
  // A key without parameters: success, nothing out.
  TC_CERT* ec = Cert(pkitest::CorpusFile("cert_ec.der"));
  out = reinterpret_cast<uint8_t*>(1);
  EXPECT_EQ(tc_get_params(&out, &length, ec, ctx()), 0);  // named curve: parameters present
  m->deallocate(m, out);
  // Missing arguments and no memory leave the outputs cleared.
  out = reinterpret_cast<uint8_t*>(1);
  length = 9;
  EXPECT_EQ(tc_get_serial(&out, &length, nullptr, ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(tc_get_version(nullptr, leaf, ctx()), kTCErrInvalidArgs);
  counting().counter().FailAfter(0);
  EXPECT_EQ(tc_get_sigalgorithm(&out, &length, leaf, ctx()), kTCErrNoMemory);
  counting().counter().FailAfter(-1);
  EXPECT_EQ(out, nullptr);
}

}  // namespace
