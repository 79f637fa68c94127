// The X.509 module against openssl's output: the corpus of certificates,
// CRLs and requests (tests/pki/data/make_corpus.sh) decodes and re-encodes
// byte for byte, every extension value through its own type; the same
// values written as BER (indefinite lengths, constructed strings) come back
// as the DER; and the particulars of the certificate-level and extension
// types as tables. Nothing stays allocated; `openssl asn1parse` reads every
// encoding made.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "foundation/byte_cursor.h"
#include "pki/cert_asn.h"
#include "tests/pki/asn_test_support.h"
#include "tests/pki/cert_asn_codecs.h"

namespace {

using cert_asn_codecs::Codec;
using cert_asn_codecs::CodecNamed;
using pkitest::Berize;
using pkitest::Bytes;
using pkitest::Concat;
using pkitest::Hex;
using pkitest::Tlv;
using pkitest::ToHex;

std::string HexNoBlanks(const uint8_t* p, uint32_t n) {
  std::string s = ToHex(Bytes(p, p + n));
  std::erase(s, ' ');
  return s;
}

class CertAsn : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(mem_.live(), 0) << "blocks left allocated";
    auto refused = made_.Check();
    EXPECT_TRUE(refused.empty()) << "asn1parse refused " << refused.size() << ", first: " << refused.front();
  }
  PKICONTEXT* ctx() { return mem_.ctx(); }

  struct Trip {
    int32_t err = 0;
    uint32_t consumed = 0;
    Bytes der;  // the re-encoding, when it decoded
  };
  // Decodes with a codec's public Unpack and re-encodes what it made.
  Trip RoundTrip(const Codec& codec, const Bytes& in, bool keep = true) {
    Trip t;
    void* rec = nullptr;
    t.err = 12345;
    t.consumed = codec.unpack(ctx(), &rec, in.data(), static_cast<uint32_t>(in.size()), &t.err);
    if (rec == nullptr) return t;
    t.der.resize(codec.size(ctx(), rec));
    int32_t err = 12345;
    uint32_t n = codec.pack(ctx(), t.der.data(), static_cast<uint32_t>(t.der.size()), rec, &err);
    EXPECT_EQ(err, 0) << codec.name;
    EXPECT_EQ(n, t.der.size()) << codec.name;
    codec.free(ctx(), rec);
    if (keep) made_.Add(codec.name, t.der);
    return t;
  }
  void ExpectSame(const char* codec, const Bytes& in, const Bytes& der, const std::string& what) {
    Trip t = RoundTrip(*CodecNamed(codec), in, false);
    EXPECT_EQ(t.err, 0) << what;
    EXPECT_EQ(t.consumed, in.size()) << what;
    EXPECT_EQ(ToHex(t.der), ToHex(der)) << what;
  }

  // Every extension of a list through the type of its value: decodes, and
  // re-encodes to the same bytes (and from BER when `ber`). Returns how
  // many there were.
  int CheckExtensions(PKIExtensions* list, const std::string& where, bool ber) {
    if (list == nullptr) return 0;
    for (int32_t i = 0; i < list->count; ++i) {
      PKIExtension* e = list->elements[i];
      std::string oid = HexNoBlanks(e->extnID.bytes, e->extnID.length);
      const char* codec = nullptr;
      for (const auto& t : cert_asn_codecs::kExtensionTypes)
        if (oid == t.oid) codec = t.codec;
      if (codec == nullptr) {
        ADD_FAILURE() << where << ": no type for extension " << oid;
        continue;
      }
      Bytes value(e->extnValue.bytes, e->extnValue.bytes + e->extnValue.length);
      std::string what = where + " extension " + oid + " (" + codec + ")";
      ExpectSame(codec, value, value, what);
      // A policy qualifier's notice is a SEQUENCE inside an ANY: kept as BER.
      if (ber && std::string(codec) != "CertificatePolicies") {
        ExpectSame(codec, Berize(value, true), value, what + " from indefinite BER");
        ExpectSame(codec, Berize(value, false), value, what + " from segmented BER");
      }
    }
    return list->count;
  }

  // The key and signature values a certificate carries through the key
  // types of the module: an RSA public key (RSAKey), DSA parameters
  // (Dss_Parms), a DSA or ECDSA signature (Dss_Sig_Value, the shape of
  // both). Returns how many there were.
  int CheckKeyValues(PKICertificate* cert, const std::string& where) {
    struct Oid {
      const char* hex;
      const char* what;
    };
    static const Oid kRsa = {"2A864886F70D010101", "RSAKey"};
    static const Oid kDsa = {"2A8648CE380401", "Dss_Parms"};
    // dsa-with-SHA256 and ecdsa-with-SHA256
    static const Oid kSignatures[] = {{"608648016503040302", "Dss_Sig_Value"}, {"2A8648CE3D040302", "Dss_Sig_Value"}};
    int n = 0;
    PKISubjectPublicKeyInfo& spki = cert->tbsCertificate.subjectPublicKeyInfo;
    std::string key = HexNoBlanks(spki.algorithm.algorithm.bytes, spki.algorithm.algorithm.length);
    if (key == kRsa.hex) {
      Bytes v(spki.subjectPublicKey.bytes, spki.subjectPublicKey.bytes + spki.subjectPublicKey.length);
      ExpectSame(kRsa.what, v, v, where + " public key");
      ++n;
    } else if (key == kDsa.hex && spki.algorithm.parameters != nullptr) {
      PKIANY* p = spki.algorithm.parameters;
      Bytes v(p->bytes, p->bytes + p->length);
      ExpectSame(kDsa.what, v, v, where + " key parameters");
      ++n;
    }
    std::string sig = HexNoBlanks(cert->signatureAlgorithm.algorithm.bytes, cert->signatureAlgorithm.algorithm.length);
    for (const Oid& o : kSignatures) {
      if (sig != o.hex) continue;
      Bytes v(cert->signature.bytes, cert->signature.bytes + cert->signature.length);
      ExpectSame(o.what, v, v, where + " signature");
      ++n;
    }
    return n;
  }

  pkitest::CountingContext mem_;
  pkitest::Asn1ParseBatch made_;
};

TEST_F(CertAsn, OpensslCorpusRoundTripsByteForByte) {
  int extensions = 0, keyValues = 0;
  for (const std::string& name : pkitest::CorpusNames()) {
    SCOPED_TRACE(name);
    Bytes der = pkitest::CorpusFile(name);
    int32_t err = 12345;
    if (name.starts_with("cert_")) {
      ExpectSame("Certificate", der, der, name);
      ExpectSame("XCertificate", der, der, name);
      PKIXCertificate* x = nullptr;
      ASSERT_EQ(PKIUnpackXCertificate(ctx(), &x, der.data(), static_cast<uint32_t>(der.size()), &err), der.size());
      Bytes tbs(x->tbsCertificate.bytes, x->tbsCertificate.bytes + x->tbsCertificate.length);
      PKIFreeXCertificate(ctx(), x);
      ExpectSame("TBSCertificate", tbs, tbs, name + " signed part");
      PKICertificate* cert = nullptr;
      ASSERT_EQ(PKIUnpackCertificate(ctx(), &cert, der.data(), static_cast<uint32_t>(der.size()), &err), der.size());
      EXPECT_EQ(cert->tbsCertificate.version == nullptr, name == "cert_v1.der") << "v1 has no version field";
      extensions += CheckExtensions(cert->tbsCertificate.extensions, name, false);
      keyValues += CheckKeyValues(cert, name);
      PKIFreeCertificate(ctx(), cert);
    } else if (name.starts_with("crl_")) {
      ExpectSame("CertificateList", der, der, name);
      PKICertificateList* crl = nullptr;
      ASSERT_EQ(PKIUnpackCertificateList(ctx(), &crl, der.data(), static_cast<uint32_t>(der.size()), &err),
                der.size());
      PKITBSCertList& tbs = crl->tbsCertList;
      extensions += CheckExtensions(tbs.crlExtensions, name, false);
      EXPECT_EQ(tbs.revokedCertificates == nullptr, name == "crl_empty.der");
      if (tbs.revokedCertificates != nullptr) {
        for (int32_t i = 0; i < tbs.revokedCertificates->count; ++i)
          extensions +=
              CheckExtensions(tbs.revokedCertificates->elements[i]->crlEntryExtensions, name + " entry", false);
      }
      PKIFreeCertificateList(ctx(), crl);
    } else if (name.starts_with("req_")) {
      ExpectSame("CertificationRequest", der, der, name);
      PKICertificationRequest* req = nullptr;
      ASSERT_EQ(PKIUnpackCertificationRequest(ctx(), &req, der.data(), static_cast<uint32_t>(der.size()), &err),
                der.size());
      // extensionRequest (1.2.840.113549.1.9.14): one value, Extensions.
      PKIAttributes& attrs = req->certificationRequestInfo.attributes;
      ASSERT_EQ(attrs.count, 1);
      EXPECT_EQ(HexNoBlanks(attrs.elements[0]->type.bytes, attrs.elements[0]->type.length), "2A864886F70D01090E");
      ASSERT_EQ(attrs.elements[0]->values.count, 1);
      PKIANY* value = attrs.elements[0]->values.elements[0];
      PKIExtensions* requested = nullptr;
      ASSERT_EQ(PKIUnpackExtensions(ctx(), &requested, value->bytes, value->length, &err), value->length);
      extensions += CheckExtensions(requested, name, false);
      PKIFreeExtensions(ctx(), requested);
      PKIFreeCertificationRequest(ctx(), req);
    } else if (name.starts_with("params_")) {
      ExpectSame("DomainParameters", der, der, name);
      PKIDomainParameters* dh = nullptr;
      ASSERT_EQ(PKIUnpackDomainParameters(ctx(), &dh, der.data(), static_cast<uint32_t>(der.size()), &err),
                der.size());
      EXPECT_EQ(dh->j, nullptr);
      ASSERT_NE(dh->validationParms, nullptr) << "openssl writes the seed and counter";
      EXPECT_NE(dh->validationParms->seed.length, 0u);
      PKIFreeDomainParameters(ctx(), dh);
    } else {
      ADD_FAILURE() << "unexpected corpus file";
    }
  }
  EXPECT_GE(extensions, 30);
  // Three RSA keys, the DSA parameters, a DSA and two ECDSA signatures.
  EXPECT_EQ(keyValues, 7);
}

TEST_F(CertAsn, EveryTypeRoundTripsThePartsOfTheCorpus) {
  // The fuzz seeds cut from the corpus (tests/pki/fuzz/make_seeds.py): each
  // is a type selector and openssl's DER of a value of that type (a name, a
  // time, a key, a policy qualifier, a general subtree ...). Every one
  // decodes whole and re-encodes to the same bytes, and between them they
  // cover every type of the module.
  std::set<std::string> covered;
  int parts = 0;
  const std::string dir = std::string(OSTRAK_SOURCE_DIR) + "/tests/pki/fuzz/corpus/cert_asn";
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name.starts_with("hand") || name.starts_with("regress")) continue;  // made to fail
    std::ifstream f(e.path(), std::ios::binary);
    Bytes seed((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    ASSERT_GE(seed.size(), 2u) << name;
    ASSERT_LT(seed[0], cert_asn_codecs::kCodecCount) << name;
    const Codec& codec = cert_asn_codecs::kCodecs[seed[0]];
    ExpectSame(codec.name, Bytes(seed.begin() + 1, seed.end()), Bytes(seed.begin() + 1, seed.end()), name);
    covered.insert(codec.name);
    ++parts;
  }
  for (const Codec& c : cert_asn_codecs::kCodecs) EXPECT_TRUE(covered.contains(c.name)) << c.name << " has no part";
  EXPECT_GT(parts, 250);
}

TEST_F(CertAsn, BerFormsComeBackAsDer) {
  // Files with no constructed element inside an ANY (the DSA certificate's
  // parameters and the request's attribute values are).
  const char* files[] = {"cert_rsa.der", "cert_ec.der", "cert_v1.der", "cert_all_ext.der", "cert_raw_ext.der",
                         "crl_empty.der", "crl_entries.der"};
  for (const char* name : files) {
    SCOPED_TRACE(name);
    Bytes der = pkitest::CorpusFile(name);
    const char* codec = std::string(name).starts_with("crl_") ? "CertificateList" : "Certificate";
    for (bool indefinite : {true, false}) {
      Bytes ber = Berize(der, indefinite);
      ASSERT_NE(ber, der);
      ExpectSame(codec, ber, der, indefinite ? "indefinite" : "segmented");
    }
    int32_t err;
    if (std::string(codec) == "Certificate") {
      PKICertificate* cert = nullptr;
      ASSERT_GT(PKIUnpackCertificate(ctx(), &cert, der.data(), static_cast<uint32_t>(der.size()), &err), 0u);
      CheckExtensions(cert->tbsCertificate.extensions, name, true);
      PKIFreeCertificate(ctx(), cert);
    } else {
      PKICertificateList* crl = nullptr;
      ASSERT_GT(PKIUnpackCertificateList(ctx(), &crl, der.data(), static_cast<uint32_t>(der.size()), &err), 0u);
      CheckExtensions(crl->tbsCertList.crlExtensions, name, true);
      PKIFreeCertificateList(ctx(), crl);
    }
  }
}

// Pieces of hand-made fixtures.
const Bytes kAlg = Hex("30 03 06 01 2A");
const Bytes kUtc = Hex("17 0D 32 34 30 31 30 32 30 33 30 34 30 35 5A");
const Bytes kCn = Hex("30 09 06 03 55 04 03 13 02 41 42");  // CN=AB
const Bytes kO = Hex("30 09 06 03 55 04 0A 13 02 43 44");   // O=CD
const Bytes kSpki = Hex("30 08 30 03 06 01 2A 03 01 00");

TEST_F(CertAsn, CertificateLevelTypes) {
  struct Case {
    const char* name;
    const char* codec;
    Bytes in;
    int32_t err;
    Bytes der;  // empty: the input itself
  } const cases[] = {
      {"TBSCertificate with its version wrapper primitive: not a version", "TBSCertificate",
       Tlv(0x30, Concat({Hex("80 03 02 01 02 02 01 01"), kAlg, Hex("30 00")})), kPKIErrChoice, {}},
      {"TBSCertificate keeps an explicit v1", "TBSCertificate",
       Tlv(0x30, Concat({Hex("A0 03 02 01 00 02 01 01"), kAlg, Hex("30 00"), Tlv(0x30, Concat({kUtc, kUtc})),
                         Hex("30 00"), kSpki})),
       0, {}},
      {"TBSCertificate, version wrapper longer than the version", "TBSCertificate",
       Tlv(0x30, Concat({Hex("A0 04 02 01 02 00 02 01 01"), kAlg, Hex("30 00"), Tlv(0x30, Concat({kUtc, kUtc})),
                         Hex("30 00"), kSpki})),
       kPKIErrExplicit, {}},
      {"TBSCertificate, issuer neither 10 nor 30", "TBSCertificate",
       Tlv(0x30, Concat({Hex("02 01 01"), kAlg, Hex("31 00")})), kPKIErrChoice, {}},
      {"CRL with no version, next update, entries or extensions", "TBSCertList",
       Tlv(0x30, Concat({kAlg, Hex("30 00"), kUtc})), 0, {}},
      {"CRL next update in constructed form", "TBSCertList",
       Tlv(0x30, Concat({Hex("02 01 01"), kAlg, Hex("30 00"), kUtc, Hex("37 80"), kUtc, Hex("00 00")})), 0,
       Tlv(0x30, Concat({Hex("02 01 01"), kAlg, Hex("30 00"), kUtc, kUtc}))},
      {"CRL with an empty entry list and extensions", "TBSCertList",
       Tlv(0x30, Concat({kAlg, Hex("30 00"), kUtc, Hex("30 00 A0 02 30 00")})), 0, {}},
      {"CRL, this update of no alternative", "TBSCertList", Tlv(0x30, Concat({kAlg, Hex("30 00 16 01 41")})),
       kPKIErrChoice, {}},
      {"RDN in reverse DER order is written sorted", "RelativeDistinguishedName", Tlv(0x31, Concat({kO, kCn})),
       0, Tlv(0x31, Concat({kCn, kO}))},
      {"Name", "Name", Tlv(0x30, Tlv(0x31, kCn)), 0, {}},
      {"Name in primitive form", "Name", Hex("10 00"), kPKIErrForm, {}},
      {"AlgorithmIdentifier with NULL parameters", "AlgorithmIdentifier", Hex("30 05 06 01 2A 05 00"), 0, {}},
      {"Extension, extra element after the value", "Extension", Hex("30 08 06 01 2A 04 00 02 01 00"),
       kPKIErrLeftover, {}},
      {"Extension, critical false kept", "Extension", Hex("30 08 06 01 2A 01 01 00 04 00"), 0, {}},
      {"Extension, BOOLEAN of length 2", "Extension", Hex("30 09 06 01 2A 01 02 00 00 04 00"), kPKIErrBoolean, {}},
      {"empty Extensions", "Extensions", Hex("30 00"), 0, {}},
      {"Attribute values sorted", "Attribute", Hex("30 0B 06 01 2A 31 06 13 01 42 13 01 41"), 0,
       Hex("30 0B 06 01 2A 31 06 13 01 41 13 01 42")},
      {"request attributes under [0]", "CertificationRequestInfo",
       Tlv(0x30, Concat({Hex("02 01 00 30 00"), kSpki, Hex("A0 07 30 05 06 01 2A 31 00")})), 0, {}},
      {"DomainParameters with its options", "DomainParameters",
       Hex("30 15 02 01 07 02 01 03 02 01 05 02 01 01 30 07 03 02 00 AA 02 01 09"), 0, {}},
      {"indefinite Certificate consumes its end-of-contents", "Certificate",
       Concat({Hex("30 80 30 80 02 01 01"), kAlg, Hex("30 00"), Tlv(0x30, Concat({kUtc, kUtc})), Hex("30 00"), kSpki,
               Hex("00 00"), kAlg, Hex("03 01 00 00 00")}),
       0,
       Tlv(0x30, Concat({Tlv(0x30, Concat({Hex("02 01 01"), kAlg, Hex("30 00"), Tlv(0x30, Concat({kUtc, kUtc})),
                                           Hex("30 00"), kSpki})),
                         kAlg, Hex("03 01 00")}))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Trip t = RoundTrip(*CodecNamed(c.codec), c.in);
    EXPECT_EQ(t.err, c.err);
    if (c.err == 0) {
      EXPECT_EQ(t.consumed, c.in.size());
      EXPECT_EQ(ToHex(t.der), ToHex(c.der.empty() ? c.in : c.der));
    }
  }
  // Records filled by hand: DEFAULT values are written whenever set.
  PKIExtension* ext = PKINewExtension(ctx());
  ASSERT_EQ(PKIPutOctVal(ctx(), &ext->extnID, Hex("2A").data(), 1), 0);
  uint8_t out[16];
  int32_t err;
  ASSERT_EQ(PKIPackExtension(ctx(), out, sizeof out, ext, &err), 7u);
  EXPECT_EQ(ToHex(Bytes(out, out + 7)), "30 05 06 01 2A 04 00") << "no critical flag when absent";
  made_.Add("Extension by hand", Bytes(out, out + 7));
  ext->critical = PKINewBOOLEAN(ctx());
  ASSERT_EQ(PKIPutBoolVal(ctx(), ext->critical, 0), 0);
  ASSERT_EQ(PKIPackExtension(ctx(), out, sizeof out, ext, &err), 10u);
  EXPECT_EQ(ToHex(Bytes(out, out + 10)), "30 08 06 01 2A 01 01 00 04 00");
  made_.Add("Extension by hand, critical false", Bytes(out, out + 10));
  PKIFreeExtension(ctx(), ext);
  // An RDN holding the same AVA twice cannot be written.
  uint8_t room[64];
  PKIRelativeDistinguishedName* rdn = nullptr;
  Bytes twice = Tlv(0x31, Concat({kCn, kCn}));
  ASSERT_GT(PKIUnpackRelativeDistinguishedName(ctx(), &rdn, twice.data(), static_cast<uint32_t>(twice.size()), &err),
            0u);
  EXPECT_EQ(PKIPackRelativeDistinguishedName(ctx(), room, sizeof room, rdn, &err), 0u);
  EXPECT_EQ(err, kPKIErrDuplicate);
  PKIFreeRelativeDistinguishedName(ctx(), rdn);
}

TEST_F(CertAsn, ExtensionTypes) {
  const Bytes uri = Hex("86 0A 68 74 74 70 3A 2F 2F 78 2F 79");  // http://x/y
  struct Case {
    const char* name;
    const char* codec;
    Bytes in;
    int32_t err;
    Bytes der;  // empty: the input itself
  } const cases[] = {
      {"rfc822, dNS and directoryName", "GeneralNames",
       Tlv(0x30, Concat({Hex("81 03 61 40 62 82 03 62 2E 63"), Tlv(0xA4, Tlv(0x30, Tlv(0x31, kCn)))})), 0, {}},
      {"x400Address fails the list", "GeneralNames", Hex("30 07 82 01 61 A3 02 30 00"), kPKIErrChoice, {}},
      {"directoryName in primitive form", "GeneralNames", Hex("30 04 84 02 30 00"), kPKIErrChoice, {}},
      {"registeredID constructed", "GeneralNames", Hex("30 05 A8 03 06 01 2A"), kPKIErrChoice, {}},
      {"no alternative: absent, so nothing decoded", "GeneralName", Hex("84 02 30 00"), kPKIErrLeftover, {}},
      {"registeredID", "GeneralName", Hex("88 01 2A"), 0, {}},
      {"otherName in primitive form", "GeneralName", Hex("80 06 06 01 2A A0 01 00"), kPKIErrForm, {}},
      {"constructed rfc822Name", "GeneralName", Hex("A1 80 16 01 61 16 01 62 00 00"), 0, Hex("81 02 61 62")},
      {"directoryName wrapper longer than its Name", "GeneralName", Hex("A4 03 30 00 00"), kPKIErrExplicit, {}},
      {"ediPartyName", "GeneralName", Hex("A5 0A A0 03 13 01 41 A1 03 0C 01 42"), 0, {}},
      {"distribution point: fullName with a URI", "DistributionPoint", Tlv(0x30, Tlv(0xA0, Tlv(0xA0, uri))), 0, {}},
      {"nameRelativeToCRLIssuer written sorted", "DistributionPointName", Tlv(0xA1, Concat({kO, kCn})), 0,
       Tlv(0xA1, Concat({kCn, kO}))},
      {"distribution point name of no alternative: absent", "DistributionPoint", Hex("30 04 A0 02 82 00"),
       kPKIErrExplicit, {}},
      {"reasons and cRLIssuer", "DistributionPoint", Hex("30 0A 81 02 05 60 A2 04 82 02 61 62"), 0, {}},
      {"BasicConstraints, cA false", "BasicConstraints", Hex("30 03 01 01 00"), 0, {}},
      {"BasicConstraints, nothing", "BasicConstraints", Hex("30 00"), 0, {}},
      {"UserNotice, VisibleString organization", "UserNotice",
       Hex("30 12 30 0B 1A 01 45 30 06 02 01 01 02 01 02 0C 03 61 62 63"), 0, {}},
      {"UserNotice, organization of no alternative", "UserNotice", Hex("30 07 30 05 16 01 45 30 00"),
       kPKIErrChoice, {}},
      {"key identifier only", "AuthorityKeyIdentifier", Hex("30 04 80 02 AB CD"), 0, {}},
      {"all three", "AuthorityKeyIdentifier", Hex("30 0D 80 01 AB A1 05 82 03 61 2E 62 82 01 05"), 0, {}},
      {"PolicyInformation, element after the qualifiers", "PolicyInformation", Hex("30 08 06 01 2A 30 00 02 01 05"),
       kPKIErrLeftover, {}},
      {"PolicyInformation with a CPS", "PolicyInformation",
       Hex("30 14 06 01 2A 30 0F 30 0D 06 08 2B 06 01 05 05 07 02 01 16 01 78"), 0, {}},
      {"GeneralSubtree with minimum and maximum", "GeneralSubtree", Hex("30 09 82 01 61 80 01 00 81 01 05"), 0, {}},
      {"GeneralSubtree, constructed minimum is no INTEGER", "GeneralSubtree", Hex("30 08 82 01 61 A0 03 02 01 00"),
       kPKIErrLeftover, {}},
      {"NameConstraints", "NameConstraints", Hex("30 0E A0 05 30 03 82 01 61 A1 05 30 03 87 01 0A"), 0, {}},
      {"PolicyConstraints", "PolicyConstraints", Hex("30 06 80 01 01 81 01 02"), 0, {}},
      {"PrivateKeyUsagePeriod, notAfter only", "PrivateKeyUsagePeriod",
       Hex("30 11 81 0F 32 30 32 34 30 31 30 31 30 30 30 30 30 30 5A"), 0, {}},
      {"IssuingDistributionPoint", "IssuingDistributionPoint",
       Concat({Hex("30 17 A0 0E A0 0C"), uri, Hex("81 01 FF 83 02 05 60")}), 0, {}},
      {"access description", "AuthorityInfoAccessSyntax", Tlv(0x30, Tlv(0x30, Concat({Hex("06 01 2A"), uri}))), 0,
       {}},
      {"DisplayText, IA5 is no alternative", "DisplayText", Hex("16 01 41"), kPKIErrLeftover, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Trip t = RoundTrip(*CodecNamed(c.codec), c.in);
    EXPECT_EQ(t.err, c.err);
    if (c.err == 0) {
      EXPECT_EQ(t.consumed, c.in.size());
      EXPECT_EQ(ToHex(t.der), ToHex(c.der.empty() ? c.in : c.der));
    }
  }
  // A distribution point's name: the selector is A0 and the GeneralNames
  // hold one URI.
  Bytes dp = Tlv(0x30, Tlv(0xA0, Tlv(0xA0, uri)));
  PKIDistributionPoint* p = nullptr;
  int32_t err;
  ASSERT_EQ(PKIUnpackDistributionPoint(ctx(), &p, dp.data(), static_cast<uint32_t>(dp.size()), &err), dp.size());
  ASSERT_NE(p->distributionPoint, nullptr);
  EXPECT_EQ(p->distributionPoint->tag, 0xA0);
  auto* names = static_cast<PKIGeneralNames*>(p->distributionPoint->value);
  ASSERT_EQ(names->count, 1);
  EXPECT_EQ(names->elements[0]->tag, 0x86);
  EXPECT_EQ(p->reasons, nullptr);
  EXPECT_EQ(p->cRLIssuer, nullptr);
  PKIFreeDistributionPoint(ctx(), p);
  // A BasicConstraints filled by hand with cA false.
  PKIBasicConstraints* bc = PKINewBasicConstraints(ctx());
  bc->cA = PKINewBOOLEAN(ctx());
  ASSERT_EQ(PKIPutBoolVal(ctx(), bc->cA, 0), 0);
  uint8_t out[8];
  ASSERT_EQ(PKIPackBasicConstraints(ctx(), out, sizeof out, bc, &err), 5u);
  EXPECT_EQ(ToHex(Bytes(out, out + 5)), "30 03 01 01 00");
  made_.Add("BasicConstraints by hand", Bytes(out, out + 5));
  PKIFreeBasicConstraints(ctx(), bc);
}

TEST_F(CertAsn, StringCodecsCarryBytesUnderTheirTags) {
  struct Case {
    uint32_t (*pack)(PKICONTEXT*, uint8_t*, uint32_t, PKIVariableBlock*, int32_t*);
    uint32_t (*unpack)(PKICONTEXT*, PKIVariableBlock**, const uint8_t*, uint32_t, int32_t*);
    uint8_t tag;
  } const cases[] = {
      {PKIPackBMPString, PKIUnpackBMPString, 0x1E},
      {PKIPackUTF8String, PKIUnpackUTF8String, 0x0C},
      {PKIPackUniversalString, PKIUnpackUniversalString, 0x1C},
  };
  const Bytes raw = Hex("00 00 FF FE 00");  // not valid in any of them: not checked
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tag);
    PKIVariableBlock v{static_cast<uint32_t>(raw.size()), const_cast<uint8_t*>(raw.data())};
    uint8_t out[16];
    int32_t err;
    ASSERT_EQ(c.pack(ctx(), out, sizeof out, &v, &err), 7u);
    Bytes der(out, out + 7);
    EXPECT_EQ(der, Concat({Bytes{c.tag, 5}, raw}));
    made_.Add("string", der);
    Bytes constructed = Concat({Bytes{static_cast<uint8_t>(c.tag | 0x20), 0x80, c.tag, 0x02}, Bytes(raw.begin(), raw.begin() + 2),
                                Bytes{c.tag, 0x03}, Bytes(raw.begin() + 2, raw.end()), Bytes{0, 0}});
    PKIVariableBlock* back = nullptr;
    ASSERT_EQ(c.unpack(ctx(), &back, constructed.data(), static_cast<uint32_t>(constructed.size()), &err),
              constructed.size());
    EXPECT_EQ(Bytes(back->bytes, back->bytes + back->length), raw);
    PKIFreeVariableBlock(ctx(), back);
    EXPECT_EQ(c.unpack(ctx(), &back, Hex("04 00").data(), 2, &err), 0u);
    EXPECT_EQ(err, kPKIErrLeftover);
  }
}

}  // namespace
