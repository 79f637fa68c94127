// Extensions: the handler registry, tc_setextval / tc_getextval over the
// 21 rows (the edge cases as tables), every row set in a certificate of
// ours printed with its values by `openssl x509 -text` (subjectDirectory-
// Attributes raw, against `asn1parse -strparse`) and in a CRL of ours by
// `openssl crl -text`; python3-cryptography reads our reason codes;
// OpenSSL's extensions read back through tc_getextval. Mended: cRLReasons
// written ENUMERATED (an INTEGER still read); hold instructions written
// under 1.2.840.10040.2 (2.2.840.10040.2 still read); keyUsage bits past 31
// ignored; CopyExtList reports no memory (-3).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "pki/tc_internal.h"
#include "tests/pki/tc_test_support.h"

namespace {

using namespace tctest;
using pkitest::Hex;

TC_GEN_NAME* NewGen(TC_CONTEXT* ctx, int32_t type, const std::string& data) {
  auto* g = static_cast<TC_GEN_NAME*>(ctx->memMgr->allocate(ctx->memMgr, sizeof(TC_GEN_NAME)));
  g->type = type;
  g->length = static_cast<uint32_t>(data.size());
  g->data = static_cast<uint8_t*>(ctx->memMgr->allocate(ctx->memMgr, data.size() + 1));
  std::memcpy(g->data, data.data(), data.size());
  return g;
}

class ExtensionsTest : public ToolkitTest {
 protected:
  void TearDown() override {
    for (PKIExtensions* l : lists_) tc_free_extlist(l, ctx());
    for (TC_GEN_NAMES* n : names_) tc_free_gennamelist(n, ctx());
    ToolkitTest::TearDown();
  }
  PKIExtensions* List() {
    PKIExtensions* l = nullptr;
    EXPECT_EQ(tc_create_extlist(&l, ctx()), 0);
    lists_.push_back(l);
    return l;
  }
  // A general-name list of the test.
  TC_GEN_NAMES* Names(std::initializer_list<std::pair<int32_t, std::string>> entries) {
    auto* n = static_cast<TC_GEN_NAMES*>(ctx()->memMgr->allocate(ctx()->memMgr, sizeof(TC_GEN_NAMES)));
    n->count = 0;
    n->names = static_cast<TC_GEN_NAME**>(ctx()->memMgr->allocate(ctx()->memMgr, sizeof(void*) * entries.size()));
    for (const auto& [type, data] : entries) {
      if (type == kTCGenNameDirectory) {
        PKIName* name = nullptr;
        CopyName(&name, Name(data.c_str()), ctx());
        n->names[n->count] = NewGen(ctx(), type, "");
        ctx()->memMgr->deallocate(ctx()->memMgr, n->names[n->count]->data);
        n->names[n->count]->data = reinterpret_cast<uint8_t*>(name);
        n->names[n->count]->length = 0;
      } else {
        n->names[n->count] = NewGen(ctx(), type, data);
      }
      ++n->count;
    }
    names_.push_back(n);
    return n;
  }
  // Sets one extension into a new list; the code, and the list's only
  // extension in *ext.
  int32_t Set(const uint8_t* oid, int criticality, void* value, PKIExtension** ext = nullptr) {
    PKIExtensions* l = List();
    int32_t e = tc_setextval(l, oid, 3 + (oid[0] == 0x2B ? 5 : 0), criticality, value, ctx());
    if (ext != nullptr) *ext = l->count > 0 ? l->elements[l->count - 1] : nullptr;
    return e;
  }
  static std::string ValueHex(const PKIExtension* ext) {
    return HexOf(Bytes(ext->extnValue.bytes, ext->extnValue.bytes + ext->extnValue.length));
  }
  static bool Critical(const PKIExtension* ext) { return ext->critical != nullptr && ext->critical->value != 0; }
  // An extension of a single given DER value.
  PKIExtension* Raw(const uint8_t* oid, uint32_t oidLength, const Bytes& der) {
    PKIExtensions* l = List();
    EXPECT_EQ(tc_add_extension(l, oid, oidLength, 0, der.data(), static_cast<uint32_t>(der.size()), ctx()), 0);
    return l->elements[0];
  }
  void Release(void* p) { ctx()->memMgr->deallocate(ctx()->memMgr, p); }

  std::vector<PKIExtensions*> lists_;
  std::vector<TC_GEN_NAMES*> names_;
};

TEST_F(ExtensionsTest, RegistryAndProcessing) {
  const Bytes unknown = Hex("2B 06 01 04 01 82 37 99 03");
  PKIExtensions* l = List();
  EXPECT_EQ(tc_process_extensions(l, nullptr, ctx()), 0);
  EXPECT_EQ(tc_process_extensions(nullptr, nullptr, ctx()), 0);
  ASSERT_EQ(tc_add_extension(l, unknown.data(), 9, 0, Hex("05 00").data(), 2, ctx()), 0);
  EXPECT_EQ(tc_process_extensions(l, nullptr, ctx()), 0) << "not critical";
  ASSERT_EQ(tc_add_extension(l, unknown.data(), 9, 1, Hex("05 00").data(), 2, ctx()), 0);
  EXPECT_EQ(tc_process_extensions(l, nullptr, ctx()), kTCErrCriticalExtension);
  // A critical basicConstraints passes in a fresh context.
  PKIExtensions* bc = List();
  TC_BASIC_CONSTRAINTS v{1, -1};
  ASSERT_EQ(tc_setextval(bc, PKIid_ce_basicConstraints_OID, 3, -1, &v, ctx()), 0);
  EXPECT_EQ(tc_process_extensions(bc, nullptr, ctx()), 0);
  // Handlers: the registered one runs with the object; replacing keeps one
  // entry.
  static void* object = nullptr;
  static int calls = 0;
  TC_ExtensionHandler refuse = [](PKIExtension*, void* o, TC_CONTEXT*) {
    object = o;
    ++calls;
    return -1;
  };
  ASSERT_EQ(tc_register_handler(unknown.data(), 9, refuse, ctx()), 0);
  int marker = 0;
  EXPECT_EQ(tc_process_extensions(l, &marker, ctx()), kTCErrExtension);
  EXPECT_EQ(object, &marker);
  EXPECT_EQ(calls, 1) << "the first extension stops the walk";
  ASSERT_EQ(tc_register_handler(unknown.data(), 9, nullptr, ctx()), 0);
  EXPECT_EQ(tc_process_extensions(l, nullptr, ctx()), 0);
  int entries = 0;
  for (TC_HANDLER_LIST* h = ctx()->handlerList; h != nullptr; h = h->next) ++entries;
  EXPECT_EQ(entries, 3);
  EXPECT_EQ(tc_register_handler(unknown.data(), 0, nullptr, ctx()), kTCErrInvalidArgs);
  counting().counter().FailAfter(1);
  EXPECT_EQ(tc_register_handler(Hex("2A 03").data(), 2, nullptr, ctx()), kTCErrNoMemory);
  counting().counter().FailAfter(-1);
  entries = 0;
  for (TC_HANDLER_LIST* h = ctx()->handlerList; h != nullptr; h = h->next) ++entries;
  EXPECT_EQ(entries, 3) << "nothing registered without memory";
}

TEST_F(ExtensionsTest, GenericAccessAndCopies) {
  PKIExtensions* l = List();
  int32_t mask = 5;
  EXPECT_EQ(tc_setextval(l, PKIid_ce_keyUsage_OID, 3, 2, &mask, ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(tc_setextval(l, PKIid_ce_keyUsage_OID, 3, -1, nullptr, ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(tc_setextval(l, PKIid_ce_keyUsage_OID, 0, -1, &mask, ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(tc_setextval(l, PKIid_ce_certificateIssuer_OID, 3, -1, &mask, ctx()), kTCErrExtensionNotSupported);
  void* out = nullptr;
  int critical = 7;
  EXPECT_EQ(tc_getextval(&out, &critical, PKIid_ce_keyUsage_OID, 3, l, ctx()), kTCErrNotFound);
  EXPECT_EQ(critical, 0);
  EXPECT_EQ(tc_getextval(&out, nullptr, PKIid_ce_keyUsage_OID, 3, l, ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(tc_getextval(&out, &critical, PKIid_ce_certificateIssuer_OID, 3, l, ctx()), kTCErrExtensionNotSupported);
  ASSERT_EQ(tc_setextval(l, PKIid_ce_keyUsage_OID, 3, 0, &mask, ctx()), 0);
  ASSERT_EQ(tc_getextval(&out, &critical, PKIid_ce_keyUsage_OID, 3, l, ctx()), 0);
  EXPECT_EQ(critical, 0) << "no critical field";
  EXPECT_EQ(*static_cast<int32_t*>(out), 5);
  Release(out);
  PKIExtension* found = nullptr;
  EXPECT_EQ(tc_find_extension(&found, l, PKIid_ce_keyUsage_OID, 3), 0);
  EXPECT_EQ(found, l->elements[0]);
  EXPECT_EQ(tc_find_extension(&found, l, PKIid_ce_basicConstraints_OID, 3), kTCErrNotFound);
  EXPECT_EQ(tc_add_extension(l, nullptr, 3, 0, Hex("05 00").data(), 2, ctx()), kTCErrInvalidArgs);
  // Copies: deep, and -3 with nothing left when memory runs out.
  ASSERT_EQ(tc_add_extension(l, Hex("2A 03").data(), 2, 1, Hex("05 00").data(), 2, ctx()), 0);
  PKIExtensions* copy = nullptr;
  ASSERT_EQ(CopyExtList(&copy, l, ctx()), 0);
  lists_.push_back(copy);
  ASSERT_EQ(copy->count, 2);
  EXPECT_NE(copy->elements[1]->extnValue.bytes, l->elements[1]->extnValue.bytes);
  EXPECT_TRUE(Critical(copy->elements[1]));
  EXPECT_EQ(copy->elements[0]->critical, nullptr);
  const long before = counting().live();
  for (long budget = 0;; ++budget) {
    counting().counter().FailAfter(budget);
    PKIExtensions* again = reinterpret_cast<PKIExtensions*>(1);
    int32_t e = CopyExtList(&again, l, ctx());
    counting().counter().FailAfter(-1);
    if (e == 0) {
      tc_free_extlist(again, ctx());
      break;
    }
    EXPECT_EQ(e, kTCErrNoMemory);
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(counting().live(), before);
  }
}

TEST_F(ExtensionsTest, CertificateRowsTable) {
  PKIExtension* ext = nullptr;
  // keyUsage.
  int32_t mask = 0x05;
  ASSERT_EQ(Set(PKIid_ce_keyUsage_OID, -1, &mask, &ext), 0);
  EXPECT_TRUE(Critical(ext));
  EXPECT_EQ(ValueHex(ext), "030205A0");
  mask = 0;
  ASSERT_EQ(Set(PKIid_ce_keyUsage_OID, -1, &mask, &ext), 0);
  EXPECT_EQ(ValueHex(ext), "03020700");
  mask = 0x100;
  ASSERT_EQ(Set(PKIid_ce_keyUsage_OID, 0, &mask, &ext), 0);
  EXPECT_EQ(ValueHex(ext), "0303070080");
  mask = -1;
  ASSERT_EQ(Set(PKIid_ce_keyUsage_OID, 0, &mask, &ext), 0);
  EXPECT_EQ(ValueHex(ext), "030500FFFFFFFF");
  // Bits past 31 are ignored on reading.
  for (const auto& [hex, expected] : std::vector<std::pair<const char*, int32_t>>{
           {"03 06 00 00 00 00 00 FF", 0}, {"03 06 00 FF FF FF FF FF", -1}, {"03 02 05 A0", 5}, {"03 01 00", 0}}) {
    void* out = nullptr;
    ASSERT_EQ(GetKeyUsage(&out, Raw(PKIid_ce_keyUsage_OID, 3, Hex(hex)), ctx()), 0) << hex;
    EXPECT_EQ(*static_cast<int32_t*>(out), expected) << hex;
    Release(out);
  }
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(GetKeyUsage(&none, Raw(PKIid_ce_keyUsage_OID, 3, Hex("04 01 00")), ctx()), kTCErrExtension);
  EXPECT_EQ(none, nullptr);
  // basicConstraints.
  const struct {
    TC_BASIC_CONSTRAINTS v;
    const char* hex;
  } bcs[] = {{{1, -1}, "30030101FF"}, {{1, 0}, "30060101FF020100"}, {{0, 5}, "3000"}, {{1, 200}, "30070101FF020200C8"}};
  for (const auto& b : bcs) {
    TC_BASIC_CONSTRAINTS v = b.v;
    ASSERT_EQ(Set(PKIid_ce_basicConstraints_OID, -1, &v, &ext), 0);
    EXPECT_TRUE(Critical(ext));
    EXPECT_EQ(ValueHex(ext), b.hex);
    void* out = nullptr;
    ASSERT_EQ(GetBasicConstraints(&out, ext, ctx()), 0);
    auto* back = static_cast<TC_BASIC_CONSTRAINTS*>(out);
    EXPECT_EQ(back->cA, v.cA);
    EXPECT_EQ(back->pathLenConstraint, v.cA == 1 ? v.pathLenConstraint : -1);
    Release(out);
  }
  TC_BASIC_CONSTRAINTS two{2, -1};
  EXPECT_EQ(Set(PKIid_ce_basicConstraints_OID, -1, &two), kTCErrInvalidArgs);
  // subjectKeyIdentifier is non-critical whatever is asked; certificate
  // policies pass criticality on (-1 is critical).
  Bytes keyId = Hex("01 02 03");
  PKIVariableBlock ski{3, keyId.data()};
  ASSERT_EQ(Set(PKIid_ce_subjectKeyIdentifier_OID, 1, &ski, &ext), 0);
  EXPECT_FALSE(Critical(ext));
  EXPECT_EQ(ValueHex(ext), "0403010203");
  TC_CERTIFICATE_POLICIES noPolicies{0, nullptr};
  ASSERT_EQ(Set(PKIid_ce_certificatePolicies_OID, -1, &noPolicies, &ext), 0);
  EXPECT_TRUE(Critical(ext));
  // privateKeyUsagePeriod.
  TC_PRIVATE_KEY_USAGE_PERIOD period{0, 0};
  EXPECT_EQ(Set(PKIid_ce_privateKeyUsagePeriod_OID, -1, &period), kTCErrKeyUsagePeriod);
  period.notAfter = 946684800;
  ASSERT_EQ(Set(PKIid_ce_privateKeyUsagePeriod_OID, 1, &period, &ext), 0);
  EXPECT_FALSE(Critical(ext));
  void* out = nullptr;
  ASSERT_EQ(GetPrivateKeyUsagePeriod(&out, ext, ctx()), 0);
  EXPECT_EQ(static_cast<TC_PRIVATE_KEY_USAGE_PERIOD*>(out)->notBefore, 0u);
  EXPECT_EQ(static_cast<TC_PRIVATE_KEY_USAGE_PERIOD*>(out)->notAfter, 946684800u);
  Release(out);
  // policyConstraints.
  TC_POLICY_CONSTRAINTS pc{-1, -1};
  EXPECT_EQ(Set(PKIid_ce_policyConstraints_OID, -1, &pc), kTCErrUnknown);
  pc.requireExplicitPolicy = 0;
  ASSERT_EQ(Set(PKIid_ce_policyConstraints_OID, 0, &pc, &ext), 0);
  EXPECT_EQ(ValueHex(ext), "3003800100");
  ASSERT_EQ(GetPolicyConstraints(&out, ext, ctx()), 0);
  EXPECT_EQ(static_cast<TC_POLICY_CONSTRAINTS*>(out)->inhibitPolicyMapping, -1);
  Release(out);
  // extKeyUsage: a code outside the map.
  int32_t purposes[] = {1, 6};
  TC_EXT_KEY_USAGE eku{2, purposes};
  EXPECT_EQ(Set(PKIid_ce_extKeyUsage_OID, 0, &eku), kTCErrUnknown);
  // cRLDistributionPoints: reasons certificateHold in one byte.
  TC_DIST_POINT_NAME dpName{kTCDistPointFullName, Names({{kTCGenNameURI, "http://crl.example/x.crl"}})};
  TC_DIST_POINT point{&dpName, 1, nullptr};
  TC_CRL_DIST_POINTS dps{1, &point};
  ASSERT_EQ(Set(PKIid_ce_cRLDistributionPoints_OID, 0, &dps, &ext), 0);
  EXPECT_NE(ValueHex(ext).find("81020102"), std::string::npos) << ValueHex(ext);
  ASSERT_EQ(GetCRLDistributionPoints(&out, ext, ctx()), 0);
  EXPECT_EQ(static_cast<TC_CRL_DIST_POINTS*>(out)->points[0].reasons, 1);
  tc_FreeCRLDistributionPoints(static_cast<TC_CRL_DIST_POINTS*>(out), ctx());
  // Alternative names: an empty dNSName; rfc822Name and directoryName
  // round trip.
  EXPECT_EQ(Set(PKIid_ce_subjectAltName_OID, -1, Names({{kTCGenNameDNS, ""}})), kTCErrInvalidArgs);
  EXPECT_EQ(Set(PKIid_ce_subjectAltName_OID, -1, Names({{7, "x"}})), kTCErrInvalidArgs);
  TC_GEN_NAMES* alt = Names({{kTCGenNameRfc822, "jo@example.com"}, {kTCGenNameDirectory, "CN=Jo,O=Acme,C=US"}});
  ASSERT_EQ(Set(PKIid_ce_subjectAltName_OID, -1, alt, &ext), 0);
  EXPECT_FALSE(Critical(ext));
  ASSERT_EQ(GetAlternativeNameExt(&out, ext, ctx()), 0);
  auto* back = static_cast<TC_GEN_NAMES*>(out);
  ASSERT_EQ(back->count, 2);
  EXPECT_EQ(back->names[0]->type, kTCGenNameRfc822);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(back->names[0]->data), back->names[0]->length), "jo@example.com");
  EXPECT_EQ(back->names[1]->type, kTCGenNameDirectory);
  EXPECT_EQ(tc_compare_dname(reinterpret_cast<PKIName*>(back->names[1]->data), Name("CN=Jo,O=Acme,C=US"), ctx()), 1);
  tc_free_gennamelist(back, ctx());
}

TEST_F(ExtensionsTest, CRLRowsTable) {
  PKIExtension* ext = nullptr;
  void* out = nullptr;
  // cRLNumber and deltaCRLIndicator (words from malloc).
  for (const auto& [number, hex] : std::vector<std::pair<uint32_t, const char*>>{
           {5, "020105"}, {128, "02020080"}, {0xFFFFFFFF, "020500FFFFFFFF"}}) {
    uint32_t n = number;
    ASSERT_EQ(Set(PKIid_ce_cRLNumber_OID, -1, &n, &ext), 0);
    EXPECT_FALSE(Critical(ext));
    EXPECT_EQ(ValueHex(ext), hex);
    ASSERT_EQ(GetCRLNumberExt(&out, ext, ctx()), 0);
    EXPECT_EQ(*static_cast<uint32_t*>(out), number);
    std::free(out);
  }
  uint32_t base = 3;
  ASSERT_EQ(Set(PKIid_ce_deltaCRLIndicator_OID, 1, &base, &ext), 0);
  EXPECT_TRUE(Critical(ext));
  ASSERT_EQ(GetDeltaCRLIndicatorExt(&out, ext, ctx()), 0);
  EXPECT_EQ(*static_cast<uint32_t*>(out), 3u);
  std::free(out);
  // A reader that fails frees its word and gives null.
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(GetCRLNumberExt(&out, Raw(PKIid_ce_cRLNumber_OID, 3, Hex("04 01 05")), ctx()), kTCErrExtension);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(GetCRLNumberExt(&out, Raw(PKIid_ce_cRLNumber_OID, 3, Hex("02 06 01 00 00 00 00 00")), ctx()),
            kTCErrExtension);
  EXPECT_EQ(GetCRLReason(&out, Raw(PKIid_ce_cRLReasons_OID, 3, Hex("05 00")), ctx()), kTCErrExtension);
  EXPECT_EQ(out, nullptr);
  // cRLReasons: ENUMERATED written, INTEGER and ENUMERATED read.
  ASSERT_EQ(Set(PKIid_ce_cRLReasons_OID, -1, reinterpret_cast<void*>(1), &ext), 0);
  EXPECT_EQ(ValueHex(ext), "0A0101");
  ASSERT_EQ(Set(PKIid_ce_cRLReasons_OID, -1, reinterpret_cast<void*>(6), &ext), 0);
  EXPECT_EQ(ValueHex(ext), "0A0106");
  for (const char* hex : {"0A 01 01", "02 01 01"}) {
    ASSERT_EQ(GetCRLReason(&out, Raw(PKIid_ce_cRLReasons_OID, 3, Hex(hex)), ctx()), 0) << hex;
    EXPECT_EQ(*static_cast<int32_t*>(out), 1);
    std::free(out);
  }
  EXPECT_EQ(Set(PKIid_ce_cRLReasons_OID, -1, nullptr), kTCErrInvalidArgs) << "code 0 cannot be set through the table";
  PKIExtensions* direct = List();
  ASSERT_EQ(AddCRLReason(direct, nullptr, -1, ctx()), 0);
  EXPECT_EQ(ValueHex(direct->elements[0]), "0A0100");
  // holdInstructionCode: the registered arc written, both read.
  ASSERT_EQ(Set(PKIid_ce_holdInstructionCode_OID, -1, reinterpret_cast<void*>(1), &ext), 0);
  EXPECT_EQ(ValueHex(ext), "06072A8648CE380202");
  EXPECT_EQ(Set(PKIid_ce_holdInstructionCode_OID, -1, reinterpret_cast<void*>(3)), kTCErrUnknown);
  for (const auto& [hex, code] : std::vector<std::pair<const char*, intptr_t>>{{"06 07 2A 86 48 CE 38 02 02", 1},
                                                                               {"06 07 52 86 48 CE 38 02 02", 1},
                                                                               {"06 07 52 86 48 CE 38 02 03", 2},
                                                                               {"06 07 2A 86 48 CE 38 02 01", 0},
                                                                               {"06 07 2A 86 48 CE 38 02 09", 0},
                                                                               {"06 03 2A 03 04", 0}}) {
    ASSERT_EQ(GetHoldInstructionCode(&out, Raw(PKIid_ce_holdInstructionCode_OID, 3, Hex(hex)), ctx()), 0) << hex;
    EXPECT_EQ(reinterpret_cast<intptr_t>(out), code) << hex;
  }
  EXPECT_EQ(TC_HOLD_INSTRUCTION_MAP[1].oid, PKIid_holdinstruction_callissuer_OID);
  // invalidityDate.
  ASSERT_EQ(Set(PKIid_ce_invalidityDate_OID, -1, reinterpret_cast<void*>(946684800), &ext), 0);
  EXPECT_EQ(ValueHex(ext), "180F32303030303130313030303030305A");
  ASSERT_EQ(GetInvalidityDate(&out, ext, ctx()), 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(out), 946684800u);
  // issuingDistributionPoint: only onlyContainsCACerts, always critical.
  TC_ISSUING_DIST_POINT idp{nullptr, 0, 1, 0, 0};
  ASSERT_EQ(Set(PKIid_ce_issuingDistributionPoint_OID, 0, &idp, &ext), 0);
  EXPECT_TRUE(Critical(ext));
  EXPECT_EQ(ValueHex(ext), "30038201FF");
  ASSERT_EQ(GetIssuingDistributionPoint(&out, ext, ctx()), 0);
  auto* idpBack = static_cast<TC_ISSUING_DIST_POINT*>(out);
  EXPECT_EQ(idpBack->onlyContainsCACerts, 1);
  EXPECT_EQ(idpBack->onlyContainsUserCerts, 0);
  EXPECT_EQ(idpBack->onlySomeReasons, 0);
  tc_FreeIssuingDistributionPoint(idpBack, ctx());
  Release(idpBack);
  // authorityKeyIdentifier: a 20-byte key identifier, non-critical even
  // when asked.
  Bytes id(20, 0xAB);
  TC_AUTHORITY_KEY_ID aki{id.data(), 20, nullptr, nullptr, 0};
  ASSERT_EQ(Set(PKIid_ce_authorityKeyIdentifier_OID, 1, &aki, &ext), 0);
  EXPECT_FALSE(Critical(ext));
  EXPECT_EQ(ValueHex(ext), "30168014" + HexOf(id));
}

TEST_F(ExtensionsTest, OpensslsExtensionsReadBack) {
  TC_CERT* cert = Cert(pkitest::CorpusFile("cert_all_ext.der"));
  PKIExtensions* exts = cert->tbs->extensions;
  void* out = nullptr;
  int critical = 0;
  auto get = [&](const uint8_t* oid, uint32_t n) { return tc_getextval(&out, &critical, oid, n, exts, ctx()); };
  ASSERT_EQ(get(PKIid_ce_keyUsage_OID, 3), 0);
  EXPECT_EQ(critical, 1);
  EXPECT_EQ(*static_cast<int32_t*>(out), 1 | 4 | 32 | 64);
  Release(out);
  ASSERT_EQ(get(PKIid_ce_basicConstraints_OID, 3), 0);
  EXPECT_EQ(static_cast<TC_BASIC_CONSTRAINTS*>(out)->cA, 1);
  EXPECT_EQ(static_cast<TC_BASIC_CONSTRAINTS*>(out)->pathLenConstraint, 3);
  Release(out);
  // The subjectAltName holds an otherName, which has no toolkit form.
  EXPECT_EQ(get(PKIid_ce_subjectAltName_OID, 3), kTCErrUnknown);
  EXPECT_EQ(out, nullptr);
  ASSERT_EQ(get(PKIid_ce_issuerAltName_OID, 3), 0);
  auto* ian = static_cast<TC_GEN_NAMES*>(out);
  ASSERT_EQ(ian->count, 2);
  EXPECT_EQ(ian->names[0]->type, kTCGenNameRfc822);
  EXPECT_EQ(ian->names[1]->type, kTCGenNameURI);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(ian->names[1]->data), ian->names[1]->length), "http://ca.example.com/");
  tc_free_gennamelist(ian, ctx());
  ASSERT_EQ(get(PKIid_ce_subjectKeyIdentifier_OID, 3), 0);
  EXPECT_EQ(HexOf(Bytes(static_cast<PKIVariableBlock*>(out)->bytes, static_cast<PKIVariableBlock*>(out)->bytes + 20)),
            "F49A588A10F95B968C69000CAA448FA92C0773E0");
  PKIFreeVariableBlock(ctx()->certCtx, static_cast<PKIVariableBlock*>(out));
  ASSERT_EQ(get(PKIid_ce_authorityKeyIdentifier_OID, 3), 0);
  auto* aki = static_cast<TC_AUTHORITY_KEY_ID*>(out);
  EXPECT_EQ(aki->keyIdentifierLength, 20u);
  ASSERT_NE(aki->authorityCertIssuer, nullptr);
  EXPECT_EQ(aki->authorityCertIssuer->names[0]->type, kTCGenNameDirectory);
  EXPECT_EQ(HexOf(Bytes(aki->serialNumber, aki->serialNumber + aki->serialNumberLength)),
            "4F85BFCED07500CE8AD41E2F38D311DB68309662");
  ostrak::tc::FreeAuthorityKeyId(aki, ctx());
  ASSERT_EQ(get(PKIid_ce_certificatePolicies_OID, 3), 0);
  auto* cp = static_cast<TC_CERTIFICATE_POLICIES*>(out);
  ASSERT_EQ(cp->count, 2);
  EXPECT_EQ(cp->policies[0].qualifierCount, 0);
  ASSERT_EQ(cp->policies[1].qualifierCount, 3);
  EXPECT_EQ(cp->policies[1].qualifiers[0].kind, kTCQualifierCPS);
  EXPECT_STREQ(static_cast<char*>(cp->policies[1].qualifiers[1].value), "http://www.example.com/cps2");
  auto* notice = static_cast<TC_USER_NOTICE*>(cp->policies[1].qualifiers[2].value);
  ASSERT_EQ(cp->policies[1].qualifiers[2].kind, kTCQualifierUserNotice);
  EXPECT_STREQ(notice->noticeRef->organization, "Example Organisation");
  ASSERT_EQ(notice->noticeRef->noticeCount, 4);
  EXPECT_EQ(*notice->noticeRef->noticeNumbers[3], 300);
  EXPECT_STREQ(notice->explicitText, "Explicit notice text");
  ostrak::tc::FreeCertificatePolicies(cp, ctx());
  ASSERT_EQ(get(PKIid_ce_policyConstraints_OID, 3), 0);
  EXPECT_EQ(static_cast<TC_POLICY_CONSTRAINTS*>(out)->requireExplicitPolicy, 1);
  EXPECT_EQ(static_cast<TC_POLICY_CONSTRAINTS*>(out)->inhibitPolicyMapping, 2);
  Release(out);
  ASSERT_EQ(get(PKIid_ce_policyMappings_OID, 3), 0);
  auto* pm = static_cast<TC_POLICY_MAPPINGS*>(out);
  ASSERT_EQ(pm->count, 2);
  EXPECT_EQ(HexOf(Bytes(pm->mappings[1].subjectDomainPolicy, pm->mappings[1].subjectDomainPolicy + 3)), "2A0308");
  ostrak::tc::FreePolicyMappings(pm, ctx());
  ASSERT_EQ(get(PKIid_ce_extKeyUsage_OID, 3), 0);
  auto* eku = static_cast<TC_EXT_KEY_USAGE*>(out);
  ASSERT_EQ(eku->count, 4);
  EXPECT_EQ(eku->purposes[0], kTCPurposeServerAuth);
  EXPECT_EQ(eku->purposes[2], kTCPurposeEmailProtection);
  EXPECT_EQ(eku->purposes[3], 0) << "a purpose outside the map";
  ostrak::tc::FreeExtKeyUsage(eku, ctx());
  ASSERT_EQ(get(PKIid_ce_cRLDistributionPoints_OID, 3), 0);
  auto* dps = static_cast<TC_CRL_DIST_POINTS*>(out);
  ASSERT_EQ(dps->count, 2);
  EXPECT_EQ(dps->points[0].reasons, 32 | 16 | 4);
  ASSERT_NE(dps->points[0].cRLIssuer, nullptr);
  ASSERT_EQ(dps->points[1].name->kind, kTCDistPointRelative);
  // openssl wrote the name as a UTF8String: the DN text gives its hex.
  EXPECT_STREQ(static_cast<char*>(dps->points[1].name->value), "CN=#52656c61746976652043524c");
  tc_FreeCRLDistributionPoints(dps, ctx());
  ASSERT_EQ(get(PKIid_pe_authorityInfoAccess_OID, 8), 0);
  auto* aia = static_cast<TC_AUTHORITY_INFO_ACCESS*>(out);
  ASSERT_EQ(aia->count, 2);
  EXPECT_EQ(aia->descriptions[0].location->type, kTCGenNameURI);
  tc_FreeAuthorityInfoAccess(aia, ctx());
  ASSERT_EQ(get(PKIid_ce_nameConstraints_OID, 3), 0);
  auto* nc = static_cast<TC_NAME_CONSTRAINTS*>(out);
  ASSERT_NE(nc->permitted, nullptr);
  ASSERT_EQ(nc->permitted->count, 2);
  EXPECT_EQ(nc->permitted->minimums[0], 0) << "an absent minimum";
  EXPECT_EQ(nc->permitted->maximums[0], -1) << "an absent maximum";
  ASSERT_EQ(nc->excluded->count, 2);
  EXPECT_EQ(nc->excluded->bases[0]->type, kTCGenNameIP);
  EXPECT_EQ(nc->excluded->bases[0]->length, 8u);
  tc_FreeNameConstraints(nc, ctx());

  // privateKeyUsagePeriod and subjectDirectoryAttributes written raw.
  TC_CERT* raw = Cert(pkitest::CorpusFile("cert_raw_ext.der"));
  ASSERT_EQ(tc_getextval(&out, &critical, PKIid_ce_privateKeyUsagePeriod_OID, 3, raw->tbs->extensions, ctx()), 0);
  EXPECT_EQ(static_cast<TC_PRIVATE_KEY_USAGE_PERIOD*>(out)->notBefore, 1704067200u);
  EXPECT_EQ(static_cast<TC_PRIVATE_KEY_USAGE_PERIOD*>(out)->notAfter, 2335219200u);
  Release(out);
  ASSERT_EQ(tc_getextval(&out, &critical, PKIid_ce_subjectDirectoryAttributes_OID, 3, raw->tbs->extensions, ctx()), 0);
  auto* sda = static_cast<TC_SUBJECT_DIRECTORY_ATTRIBUTES*>(out);
  ASSERT_EQ(sda->count, 2);
  EXPECT_EQ(sda->attributes[1].valueCount, 2);
  EXPECT_EQ(HexOf(Bytes(sda->attributes[1].values[1], sda->attributes[1].values[1] + sda->attributes[1].valueLengths[1])),
            "13025553");
  ostrak::tc::FreeSubjectDirectoryAttributes(sda, ctx());

  // OpenSSL's CRL: the number, an ENUMERATED reason, its invalidity date
  // and hold instruction (the registered arc).
  const Bytes der = Fixture("ca_crl.der");
  PKICertificateList* crl = nullptr;
  ASSERT_EQ(tc_unpack_crl(&crl, der.data(), static_cast<uint32_t>(der.size()), ctx()), 0);
  ASSERT_EQ(tc_getextval(&out, &critical, PKIid_ce_cRLNumber_OID, 3, crl->tbsCertList.crlExtensions, ctx()), 0);
  EXPECT_EQ(*static_cast<uint32_t*>(out), 2u);
  std::free(out);
  PKIRevokedCertificates* entries = crl->tbsCertList.revokedCertificates;
  ASSERT_EQ(entries->count, 2);
  PKIExtensions* first = entries->elements[0]->crlEntryExtensions;
  ASSERT_EQ(tc_getextval(&out, &critical, PKIid_ce_cRLReasons_OID, 3, first, ctx()), 0);
  EXPECT_EQ(*static_cast<int32_t*>(out), 1);
  std::free(out);
  ASSERT_EQ(tc_getextval(&out, &critical, PKIid_ce_invalidityDate_OID, 3, first, ctx()), 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(out), 1704067200u);
  PKIExtensions* second = entries->elements[1]->crlEntryExtensions;
  ASSERT_EQ(tc_getextval(&out, &critical, PKIid_ce_cRLReasons_OID, 3, second, ctx()), 0);
  EXPECT_EQ(*static_cast<int32_t*>(out), 6);
  std::free(out);
  ASSERT_EQ(tc_getextval(&out, &critical, PKIid_ce_holdInstructionCode_OID, 3, second, ctx()), 0);
  EXPECT_EQ(reinterpret_cast<intptr_t>(out), 1);
  tc_free_crl(crl, ctx());
  // The corpus CRL's issuing distribution point.
  const Bytes entriesDer = pkitest::CorpusFile("crl_entries.der");
  ASSERT_EQ(tc_unpack_crl(&crl, entriesDer.data(), static_cast<uint32_t>(entriesDer.size()), ctx()), 0);
  ASSERT_EQ(tc_getextval(&out, &critical, PKIid_ce_issuingDistributionPoint_OID, 3, crl->tbsCertList.crlExtensions,
                         ctx()),
            0);
  EXPECT_EQ(critical, 1);
  auto* idp = static_cast<TC_ISSUING_DIST_POINT*>(out);
  EXPECT_EQ(idp->onlyContainsUserCerts, 1);
  EXPECT_EQ(idp->onlySomeReasons, 32 | 16);
  ASSERT_NE(idp->distributionPoint, nullptr);
  tc_FreeIssuingDistributionPoint(idp, ctx());
  Release(idp);
  tc_free_crl(crl, ctx());
}

// Every certificate row in a certificate of ours, every CRL row in a CRL of
// ours, as openssl prints them.
TEST_F(ExtensionsTest, EveryRowWeWriteReadsInOpenssl) {
  ASSERT_EQ(tc_register_handler(PKIid_ce_keyUsage_OID, 3, nullptr, ctx()), 0);
  PKIExtensions* l = List();
  auto set = [&](const uint8_t* oid, uint32_t n, int crit, void* v) {
    EXPECT_EQ(tc_setextval(l, oid, n, crit, v, ctx()), 0) << HexOf(Bytes(oid, oid + n));
  };
  int32_t mask = 1 | 32 | 64;
  set(PKIid_ce_keyUsage_OID, 3, -1, &mask);
  TC_BASIC_CONSTRAINTS bc{1, 2};
  set(PKIid_ce_basicConstraints_OID, 3, -1, &bc);
  set(PKIid_ce_subjectAltName_OID, 3, -1,
      Names({{kTCGenNameRfc822, "jo@example.com"},
             {kTCGenNameDNS, "www.example.com"},
             {kTCGenNameURI, "http://www.example.com/"},
             {kTCGenNameIP, std::string("\xC0\x00\x02\x01", 4)},
             {kTCGenNameRID, std::string("\x2A\x03\x04", 3)},
             {kTCGenNameDirectory, "CN=Alt Name,O=Acme,C=US"}}));
  set(PKIid_ce_issuerAltName_OID, 3, -1, Names({{kTCGenNameURI, "http://ca.example.com/"}}));
  Bytes keyId = Hex("11 22 33 44 55");
  PKIVariableBlock ski{5, keyId.data()};
  set(PKIid_ce_subjectKeyIdentifier_OID, 3, -1, &ski);
  Bytes akiSerial = Hex("01 02");
  TC_AUTHORITY_KEY_ID aki{keyId.data(), 5, Names({{kTCGenNameDirectory, "CN=AKI Issuer"}}), akiSerial.data(), 2};
  set(PKIid_ce_authorityKeyIdentifier_OID, 3, -1, &aki);
  TC_PRIVATE_KEY_USAGE_PERIOD period{946684800, 2600000000};
  set(PKIid_ce_privateKeyUsagePeriod_OID, 3, -1, &period);
  int32_t n1 = 7, n2 = 300;
  int32_t* numbers[] = {&n1, &n2};
  char org[] = "Ostrak Org", explicitText[] = "Notice text", cps[] = "http://cps.example.com/";
  TC_NOTICE_REFERENCE ref{org, 2, numbers};
  TC_USER_NOTICE notice{&ref, explicitText};
  TC_POLICY_QUALIFIER quals[] = {{kTCQualifierCPS, cps}, {kTCQualifierUserNotice, &notice}};
  Bytes p1 = Hex("2A 03 04 05"), p2 = Hex("2A 03 04 06");
  TC_POLICY_INFORMATION policies[] = {{p1.data(), 4, 2, quals}, {p2.data(), 4, 0, nullptr}};
  TC_CERTIFICATE_POLICIES cp{2, policies};
  set(PKIid_ce_certificatePolicies_OID, 3, 0, &cp);
  TC_POLICY_MAPPING mapping{p1.data(), 4, p2.data(), 4};
  TC_POLICY_MAPPINGS pm{1, &mapping};
  set(PKIid_ce_policyMappings_OID, 3, -1, &pm);
  // dateOfBirth 19700101000000Z.
  Bytes dobOid = Hex("2B 06 01 05 05 07 09 01"), dob = Hex("18 0F 31 39 37 30 30 31 30 31 30 30 30 30 30 30 5A");
  uint8_t* dobValues[] = {dob.data()};
  uint32_t dobLengths[] = {static_cast<uint32_t>(dob.size())};
  TC_DIRECTORY_ATTRIBUTE attr{dobOid.data(), 8, 1, dobValues, dobLengths};
  TC_SUBJECT_DIRECTORY_ATTRIBUTES sda{1, &attr};
  set(PKIid_ce_subjectDirectoryAttributes_OID, 3, -1, &sda);
  TC_GEN_NAMES* permitted = Names({{kTCGenNameDNS, ".example.com"}});
  TC_GEN_NAMES* excluded = Names({{kTCGenNameIP, std::string("\x0A\x00\x00\x00\xFF\x00\x00\x00", 8)}});
  TC_GENERAL_SUBTREES permittedTrees{1, permitted->names, nullptr, nullptr};
  TC_GENERAL_SUBTREES excludedTrees{1, excluded->names, nullptr, nullptr};
  TC_NAME_CONSTRAINTS nc{&permittedTrees, &excludedTrees};
  set(PKIid_ce_nameConstraints_OID, 3, -1, &nc);
  TC_POLICY_CONSTRAINTS pc{0, 3};
  set(PKIid_ce_policyConstraints_OID, 3, 0, &pc);
  int32_t purposes[] = {1, 2, 3, 4, 5};
  TC_EXT_KEY_USAGE eku{5, purposes};
  set(PKIid_ce_extKeyUsage_OID, 3, 0, &eku);
  TC_DIST_POINT_NAME full{kTCDistPointFullName, Names({{kTCGenNameURI, "http://crl.example.com/a.crl"}})};
  char relativeText[] = "CN=Relative Point";
  TC_DIST_POINT_NAME relative{kTCDistPointRelative, relativeText};
  TC_DIST_POINT points[] = {{&full, 32 | 4, Names({{kTCGenNameDirectory, "CN=CRL Issuer,C=US"}})},
                            {&relative, 0, nullptr}};
  TC_CRL_DIST_POINTS dps{2, points};
  set(PKIid_ce_cRLDistributionPoints_OID, 3, 0, &dps);
  Bytes ocsp = Hex("2B 06 01 05 05 07 30 01");
  TC_ACCESS_DESCRIPTION ad{ocsp.data(), 8, Names({{kTCGenNameURI, "http://ocsp.example.com/"}})->names[0]};
  TC_AUTHORITY_INFO_ACCESS aia{1, &ad};
  set(PKIid_pe_authorityInfoAccess_OID, 8, -1, &aia);
  ASSERT_EQ(l->count, 15);

  TC_CERT* cert = Issue(2, "CN=All Rows,O=Ostrak,C=US", "CN=All Rows,O=Ostrak,C=US", "root", "root", kSha1WithRSA, l, 9);
  ASSERT_NE(cert, nullptr);
  // Every value reads back through tc_getextval from the decoded certificate.
  PKIExtensions* decoded = cert->tbs->extensions;
  for (int i = 0; i < decoded->count; ++i) {
    const PKIOBJECT_ID& id = decoded->elements[i]->extnID;
    void* out = nullptr;
    int critical = 0;
    EXPECT_EQ(tc_getextval(&out, &critical, id.bytes, id.length, decoded, ctx()), 0) << HexOf(Bytes(id.bytes, id.bytes + id.length));
    // The records' own helpers free them (checked for leaks at the end).
    switch (id.bytes[id.length - 1]) {
      case 0x11: case 0x12: tc_free_gennamelist(static_cast<TC_GEN_NAMES*>(out), ctx()); break;
      case 0x0E: PKIFreeVariableBlock(ctx()->certCtx, static_cast<PKIVariableBlock*>(out)); break;
      case 0x23: ostrak::tc::FreeAuthorityKeyId(static_cast<TC_AUTHORITY_KEY_ID*>(out), ctx()); break;
      case 0x20: ostrak::tc::FreeCertificatePolicies(static_cast<TC_CERTIFICATE_POLICIES*>(out), ctx()); break;
      case 0x21: ostrak::tc::FreePolicyMappings(static_cast<TC_POLICY_MAPPINGS*>(out), ctx()); break;
      case 0x09: ostrak::tc::FreeSubjectDirectoryAttributes(static_cast<TC_SUBJECT_DIRECTORY_ATTRIBUTES*>(out), ctx()); break;
      case 0x1E: tc_FreeNameConstraints(static_cast<TC_NAME_CONSTRAINTS*>(out), ctx()); break;
      case 0x25: ostrak::tc::FreeExtKeyUsage(static_cast<TC_EXT_KEY_USAGE*>(out), ctx()); break;
      case 0x1F: tc_FreeCRLDistributionPoints(static_cast<TC_CRL_DIST_POINTS*>(out), ctx()); break;
      case 0x01: tc_FreeAuthorityInfoAccess(static_cast<TC_AUTHORITY_INFO_ACCESS*>(out), ctx()); break;
      default: Release(out);
    }
  }
  TempDir dir;
  const std::string path = dir.Write("cert.der", Der(cert));
  // tests/pki/fuzz/make_tc_seeds.sh keeps this certificate as a seed.
  if (const char* seeds = std::getenv("OSTRAK_TC_SEED_DIR")) {
    std::string dest = std::string(seeds) + "/tc_cert/all_rows.der";
    std::filesystem::copy_file(path, dest, std::filesystem::copy_options::overwrite_existing);
  }
  std::string text;
  ASSERT_EQ(Shell("openssl x509 -inform DER -in " + path + " -noout -text", &text), 0) << text;
  const char* expected[] = {
      "X509v3 Key Usage: critical\n                Digital Signature, Certificate Sign, CRL Sign",
      "X509v3 Basic Constraints: critical\n                CA:TRUE, pathlen:2",
      "email:jo@example.com, DNS:www.example.com, URI:http://www.example.com/, IP Address:192.0.2.1, "
      "Registered ID:1.2.3.4, DirName:/C=US/O=Acme/CN=Alt Name",
      "X509v3 Issuer Alternative Name: \n                URI:http://ca.example.com/",
      "X509v3 Subject Key Identifier: \n                11:22:33:44:55",
      "keyid:11:22:33:44:55\n                DirName:/CN=AKI Issuer\n                serial:01:02",
      "Not Before: Jan  1 00:00:00 2000 GMT, Not After: May 22 14:13:20 2052 GMT",
      "Policy: 1.2.3.4.5\n                  CPS: http://cps.example.com/\n                  User Notice:\n"
      "                    Organization: Ostrak Org\n                    Numbers: 7, 300\n"
      "                    Explicit Text: Notice text\n                Policy: 1.2.3.4.6",
      "X509v3 Policy Mappings: \n                1.2.3.4.5:1.2.3.4.6",
      "X509v3 Name Constraints: critical\n                Permitted:\n                  DNS:.example.com\n"
      "                Excluded:\n                  IP:10.0.0.0/255.0.0.0",
      "Require Explicit Policy:0, Inhibit Policy Mapping:3",
      "TLS Web Server Authentication, TLS Web Client Authentication, Code Signing, E-mail Protection, Time Stamping",
      "URI:http://crl.example.com/a.crl",
      "Key Compromise, Superseded",
      "CRL Issuer:\n                  DirName:C = US, CN = CRL Issuer",
      "Relative Name:\n                  CN = Relative Point",
      "OCSP - URI:http://ocsp.example.com/",
  };
  for (const char* e : expected) EXPECT_NE(text.find(e), std::string::npos) << e << "\n--- in ---\n" << text;
  // subjectDirectoryAttributes, which openssl prints raw: its value parsed
  // on its own.
  std::string parsed;
  ASSERT_EQ(Shell("openssl asn1parse -inform DER -in " + path +
                      " | grep -A1 'X509v3 Subject Directory Attributes' | tail -1 | cut -d: -f1",
                  &parsed),
            0);
  const std::string offset = parsed.substr(0, parsed.find_last_not_of(" \n") + 1);
  ASSERT_FALSE(offset.empty());
  ASSERT_EQ(Shell("openssl asn1parse -inform DER -in " + path + " -strparse " + offset, &parsed), 0) << parsed;
  EXPECT_NE(parsed.find("OBJECT            :id-pda-dateOfBirth"), std::string::npos) << parsed;
  EXPECT_NE(parsed.find("GENERALIZEDTIME   :19700101000000Z"), std::string::npos) << parsed;
  EXPECT_NE(text.find("X509v3 Subject Directory Attributes"), std::string::npos) << text;
}

TEST_F(ExtensionsTest, EveryCRLRowWeWriteReadsInOpensslAndPythonCryptography) {
  PKIExtensions* crlExts = List();
  uint32_t number = 42, base = 40;
  ASSERT_EQ(tc_setextval(crlExts, PKIid_ce_cRLNumber_OID, 3, -1, &number, ctx()), 0);
  ASSERT_EQ(tc_setextval(crlExts, PKIid_ce_deltaCRLIndicator_OID, 3, 1, &base, ctx()), 0);
  Bytes keyId = Hex("AA BB CC");
  TC_AUTHORITY_KEY_ID aki{keyId.data(), 3, nullptr, nullptr, 0};
  ASSERT_EQ(tc_setextval(crlExts, PKIid_ce_authorityKeyIdentifier_OID, 3, -1, &aki, ctx()), 0);
  TC_DIST_POINT_NAME full{kTCDistPointFullName, Names({{kTCGenNameURI, "http://crl.example.com/ca.crl"}})};
  TC_ISSUING_DIST_POINT idp{&full, 1, 0, 32 | 16, 0};
  ASSERT_EQ(tc_setextval(crlExts, PKIid_ce_issuingDistributionPoint_OID, 3, -1, &idp, ctx()), 0);
  PKICertificateList* crl = nullptr;
  ASSERT_EQ(tc_create_crl(&crl, kSha1WithRSA.data(), 9, kNullParams.data(), 2, Name("CN=Test CA,O=Ostrak Test,C=US"),
                          static_cast<int64_t>(time(nullptr)) + 86400, crlExts, ctx()),
            0);
  // Entries with a reason of each kind, a hold instruction, an invalidity date.
  const struct {
    const char* serial;
    intptr_t reason;
    intptr_t hold;
    uintptr_t invalid;
  } entries[] = {{"01", 1, -1, 0}, {"02", 6, 1, 0}, {"03", 4, -1, 1704067200}, {"04", 9, -1, 0}};
  for (const auto& e : entries) {
    PKIExtensions* x = List();
    ASSERT_EQ(tc_setextval(x, PKIid_ce_cRLReasons_OID, 3, -1, reinterpret_cast<void*>(e.reason), ctx()), 0);
    if (e.hold >= 0) {
      ASSERT_EQ(tc_setextval(x, PKIid_ce_holdInstructionCode_OID, 3, -1, reinterpret_cast<void*>(e.hold), ctx()), 0);
    }
    if (e.invalid != 0) {
      ASSERT_EQ(tc_setextval(x, PKIid_ce_invalidityDate_OID, 3, -1, reinterpret_cast<void*>(e.invalid), ctx()), 0);
    }
    Bytes serial = Hex(e.serial);
    ASSERT_EQ(tc_add_to_crl(crl, serial.data(), 1, 1700000000, x, ctx()), 0);
  }
  SignWith("ca");
  ASSERT_EQ(tc_sign_crl(crl, ctx()), 0);
  const Bytes der = Der(crl);
  tc_free_crl(crl, ctx());
  TempDir dir;
  const std::string path = dir.Write("crl.der", der);
  if (const char* seeds = std::getenv("OSTRAK_TC_SEED_DIR")) {
    std::ofstream seed(std::string(seeds) + "/tc_crl/all_rows", std::ios::binary);
    seed.put(0);
    seed.write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));
  }
  std::string text;
  ASSERT_EQ(Shell("openssl crl -inform DER -in " + path + " -CAfile " + FixturePath("ca.pem") + " -noout -text", &text),
            0)
      << text;
  const char* expected[] = {
      "verify OK",
      "X509v3 CRL Number: \n                42",
      "X509v3 Delta CRL Indicator: critical\n                40",
      "X509v3 Authority Key Identifier: \n                AA:BB:CC",
      "X509v3 Issuing Distribution Point: critical\n                Full Name:\n"
      "                  URI:http://crl.example.com/ca.crl",
      "Only User Certificates",
      "Only Some Reasons:\n                  Key Compromise, CA Compromise",
      "Serial Number: 01\n        Revocation Date: Nov 14 22:13:20 2023 GMT\n        CRL entry extensions:\n"
      "            X509v3 CRL Reason Code: \n                Key Compromise",
      "Certificate Hold\n            Hold Instruction Code: \n                Hold Instruction Call Issuer",
      "Superseded\n            Invalidity Date: \n                Jan  1 00:00:00 2024 GMT",
      "Privilege Withdrawn",
  };
  for (const char* e : expected) EXPECT_NE(text.find(e), std::string::npos) << e << "\n--- in ---\n" << text;
  // python3-cryptography, which refuses a reason written as INTEGER, reads
  // ours.
  const char* script =
      "import sys\n"
      "from cryptography import x509\n"
      "crl = x509.load_der_x509_crl(open(sys.argv[1], 'rb').read())\n"
      "for r in crl:\n"
      "    ext = r.extensions.get_extension_for_class(x509.CRLReason)\n"
      "    print(r.serial_number, ext.value.reason.name)\n";
  std::string output;
  ASSERT_EQ(Shell("/usr/bin/python3 " + dir.Write("read.py", std::string(script)) + " " + path, &output), 0) << output;
  EXPECT_EQ(output, "1 key_compromise\n2 certificate_hold\n3 superseded\n4 privilege_withdrawn\n");
}

}  // namespace
