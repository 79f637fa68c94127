// The PKCS #7, #8, #12 and enrollment modules against openssl's output: the
// corpus of tests/pki/data/make_pkcs_corpus.sh (cms -sign in its forms,
// crl2pkcs7, cms -encrypt, pkcs12 -export in four forms, pkcs8) decodes and
// re-encodes byte for byte, level by level down to the bags and keys; the
// BER of cms -sign -stream decodes; and the particulars of every type as
// tables. Nothing stays allocated; `openssl asn1parse` reads every encoding
// made.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "pki/pkcs12_asn.h"
#include "pki/pkcs7_asn.h"
#include "pki/pkcs8_asn.h"
#include "pki/pkcsreq_asn.h"
#include "tests/pki/asn_test_support.h"
#include "tests/pki/pkcs_asn_codecs.h"

namespace {

using cert_asn_codecs::Codec;
using pkcs_asn_codecs::CodecNamed;
using pkitest::Bytes;
using pkitest::Concat;
using pkitest::Hex;
using pkitest::PkcsFile;
using pkitest::Tlv;
using pkitest::ToHex;

Bytes Of(const PKIVariableBlock& b) { return b.bytes != nullptr ? Bytes(b.bytes, b.bytes + b.length) : Bytes(); }
std::string HexOf(const PKIVariableBlock& b) {
  std::string s = ToHex(Of(b));
  std::erase(s, ' ');
  return s;
}

// OIDs, content octets in hex.
const char* const kData = "2A864886F70D010701";
const char* const kSignedData = "2A864886F70D010702";
const char* const kEnvelopedData = "2A864886F70D010703";
const char* const kEncryptedData = "2A864886F70D010706";
const char* const kSha1 = "2B0E03021A";
const char* const kMd5 = "2A864886F70D0205";
const char* const kSha256 = "608648016503040201";
const char* const kKeyBag = "2A864886F70D010C0A0101";
const char* const kShroudedKeyBag = "2A864886F70D010C0A0102";
const char* const kCertBagId = "2A864886F70D010C0A0103";
const char* const kX509Certificate = "2A864886F70D01091601";
const char* const kPbeSha1TripleDes = "2A864886F70D010C0103";
const char* const kPbeSha1Rc2_40 = "2A864886F70D010C0106";
const char* const kPbes2 = "2A864886F70D01050D";
const char* const kTripleDesCbc = "2A864886F70D0307";

class PkcsAsn : public ::testing::Test {
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
    int32_t packErr = 0;
    Bytes der;  // the re-encoding, when it decoded
  };
  // Decodes with a codec's public Unpack and re-encodes what it made.
  Trip RoundTrip(const char* codecName, const Bytes& in, bool keep = true) {
    const Codec* codec = CodecNamed(codecName);
    Trip t;
    if (codec == nullptr) {
      ADD_FAILURE() << "no codec " << codecName;
      return t;
    }
    void* rec = nullptr;
    t.err = 12345;
    t.consumed = codec->unpack(ctx(), &rec, in.data(), static_cast<uint32_t>(in.size()), &t.err);
    if (rec == nullptr) return t;
    t.der.resize(codec->size(ctx(), rec));
    t.packErr = 12345;
    uint32_t n = codec->pack(ctx(), t.der.data(), static_cast<uint32_t>(t.der.size()), rec, &t.packErr);
    if (t.packErr == 0) {
      EXPECT_EQ(n, t.der.size()) << codecName;
    }
    codec->free(ctx(), rec);
    if (keep && t.packErr == 0) made_.Add(codecName, t.der);
    return t;
  }
  // Decodes whole and re-encodes to the same bytes.
  void ExpectSame(const char* codec, const Bytes& in, const std::string& what) {
    Trip t = RoundTrip(codec, in, false);
    EXPECT_EQ(t.err, 0) << what;
    EXPECT_EQ(t.packErr, 0) << what;
    EXPECT_EQ(t.consumed, in.size()) << what;
    EXPECT_EQ(ToHex(t.der), ToHex(in)) << what;
  }

  // The OCTET STRING inside a value block's element.
  Bytes OctetsOf(const PKIVariableBlock& element) {
    PKIOCTET_STRING* o = nullptr;
    int32_t err = 0;
    EXPECT_EQ(PKIUnpackOCTET_STRING(ctx(), &o, element.bytes, element.length, &err), element.length);
    if (o == nullptr) return {};
    Bytes b = Of(*o);
    PKIFreeVariableBlock(ctx(), o);
    return b;
  }

  // The contents of a SignedData of the corpus, checked level by level.
  struct SignedFacts {
    int certificates = 0, crls = 0, signers = 0;
    bool attributes = false;
    std::string digest;
    Bytes content;
  };
  SignedFacts CheckSignedData(const Bytes& der, const std::string& name) {
    SignedFacts f;
    ExpectSame("SignedData", der, name + " SignedData");
    PKISignedData* sd = nullptr;
    int32_t err = 0;
    EXPECT_EQ(PKIUnpackSignedData(ctx(), &sd, der.data(), static_cast<uint32_t>(der.size()), &err), der.size());
    if (sd == nullptr) return f;
    EXPECT_EQ(HexOf(sd->contentInfo.contentType), kData);
    if (sd->contentInfo.content != nullptr) f.content = OctetsOf(*sd->contentInfo.content);
    if (sd->certificates != nullptr) {
      f.certificates = sd->certificates->count;
      for (int32_t i = 0; i < f.certificates; ++i) {
        PKIExtendedCertificateOrCertificate* c = sd->certificates->elements[i];
        EXPECT_EQ(c->tag, 0x30);
        Bytes cert(PKISizeofCertificate(ctx(), static_cast<PKICertificate*>(c->value), 1));
        PKIPackCertificate(ctx(), cert.data(), static_cast<uint32_t>(cert.size()),
                           static_cast<PKICertificate*>(c->value), &err);
        EXPECT_TRUE(cert == PkcsFile("signer_cert.der") || cert == PkcsFile("recip_cert.der")) << name;
      }
    }
    if (sd->crls != nullptr) f.crls = sd->crls->count;
    f.signers = sd->signerInfos.count;
    if (f.signers > 0) {
      PKISignerInfo* si = sd->signerInfos.elements[0];
      f.attributes = si->authenticatedAttributes != nullptr;
      f.digest = HexOf(si->digestAlgorithm.algorithm);
      EXPECT_EQ(HexOf(sd->digestAlgorithms.elements[0]->algorithm), f.digest);
      Bytes one(PKISizeofSignerInfo(ctx(), si, 1));
      PKIPackSignerInfo(ctx(), one.data(), static_cast<uint32_t>(one.size()), si, &err);
      ExpectSame("SignerInfo", one, name + " SignerInfo");
    }
    PKIFreeSignedData(ctx(), sd);
    return f;
  }

  pkitest::CountingContext mem_;
  pkitest::Asn1ParseBatch made_;
};

TEST_F(PkcsAsn, OpensslPkcs7RoundTripsByteForByte) {
  const Bytes content = PkcsFile("content.bin");
  struct Case {
    const char* file;
    const char* digest;
    bool attributes;
    int certificates;
  } const signedCases[] = {
      {"cms_sign_sha1.der", kSha1, true, 1},     {"cms_sign_sha1_noattr.der", kSha1, false, 1},
      {"cms_sign_md5.der", kMd5, true, 1},       {"cms_sign_md5_noattr.der", kMd5, false, 1},
      {"cms_sign_certfile.der", kSha1, true, 2},
  };
  for (const Case& c : signedCases) {
    SCOPED_TRACE(c.file);
    Bytes der = PkcsFile(c.file);
    ExpectSame("ContentInfo", der, c.file);
    PKIContentInfo* ci = nullptr;
    int32_t err = 0;
    ASSERT_EQ(PKIUnpackContentInfo(ctx(), &ci, der.data(), static_cast<uint32_t>(der.size()), &err), der.size());
    EXPECT_EQ(HexOf(ci->contentType), kSignedData);
    ASSERT_NE(ci->content, nullptr);
    SignedFacts f = CheckSignedData(Of(*ci->content), c.file);
    PKIFreeContentInfo(ctx(), ci);
    EXPECT_EQ(f.signers, 1);
    EXPECT_EQ(f.digest, c.digest);
    EXPECT_EQ(f.attributes, c.attributes);
    EXPECT_EQ(f.certificates, c.certificates);
    EXPECT_EQ(f.crls, 0);
    EXPECT_EQ(f.content, content);
  }

  // crl2pkcs7: a degenerate SignedData (no signers, no content) carrying a
  // certificate and a CRL.
  Bytes der = PkcsFile("crl2pkcs7.der");
  ExpectSame("ContentInfo", der, "crl2pkcs7");
  PKIContentInfo* ci = nullptr;
  int32_t err = 0;
  ASSERT_EQ(PKIUnpackContentInfo(ctx(), &ci, der.data(), static_cast<uint32_t>(der.size()), &err), der.size());
  PKISignedData* sd = nullptr;
  ASSERT_EQ(PKIUnpackSignedData(ctx(), &sd, ci->content->bytes, ci->content->length, &err), ci->content->length);
  ExpectSame("SignedData", Of(*ci->content), "crl2pkcs7 SignedData");
  EXPECT_EQ(sd->contentInfo.content, nullptr);
  EXPECT_EQ(sd->signerInfos.count, 0);
  ASSERT_NE(sd->certificates, nullptr);
  EXPECT_EQ(sd->certificates->count, 1);
  ASSERT_NE(sd->crls, nullptr);
  ASSERT_EQ(sd->crls->count, 1);
  Bytes crl(PKISizeofCertificateList(ctx(), sd->crls->elements[0], 1));
  PKIPackCertificateList(ctx(), crl.data(), static_cast<uint32_t>(crl.size()), sd->crls->elements[0], &err);
  EXPECT_EQ(crl, pkitest::CorpusFile("crl_entries.der"));
  Bytes crls(PKISizeofCertificateRevocationLists(ctx(), sd->crls, 1));
  PKIPackCertificateRevocationLists(ctx(), crls.data(), static_cast<uint32_t>(crls.size()), sd->crls, &err);
  ExpectSame("CertificateRevocationLists", crls, "crl2pkcs7 crls as a SET");
  PKIFreeSignedData(ctx(), sd);
  PKIFreeContentInfo(ctx(), ci);

  // cms -encrypt -des3 to two recipients.
  der = PkcsFile("cms_encrypt_des3.der");
  ExpectSame("ContentInfo", der, "enveloped");
  ASSERT_EQ(PKIUnpackContentInfo(ctx(), &ci, der.data(), static_cast<uint32_t>(der.size()), &err), der.size());
  EXPECT_EQ(HexOf(ci->contentType), kEnvelopedData);
  ExpectSame("EnvelopedData", Of(*ci->content), "EnvelopedData");
  PKIEnvelopedData* ed = nullptr;
  ASSERT_EQ(PKIUnpackEnvelopedData(ctx(), &ed, ci->content->bytes, ci->content->length, &err), ci->content->length);
  EXPECT_EQ(ed->recipientInfos.count, 2);
  for (int32_t i = 0; i < ed->recipientInfos.count; ++i) {
    PKIRecipientInfo* ri = ed->recipientInfos.elements[i];
    EXPECT_EQ(ri->encryptedKey.length, 256u);
    Bytes ias(PKISizeofIssuerAndSerialNumber(ctx(), &ri->issuerAndSerialNumber, 1));
    PKIPackIssuerAndSerialNumber(ctx(), ias.data(), static_cast<uint32_t>(ias.size()), &ri->issuerAndSerialNumber,
                                 &err);
    ExpectSame("IssuerAndSerialNumber", ias, "recipient");
  }
  PKIEncryptedContentInfo& eci = ed->encryptedContentInfo;
  EXPECT_EQ(HexOf(eci.contentType), kData);
  EXPECT_EQ(HexOf(eci.contentEncryptionAlgorithm.algorithm), kTripleDesCbc);
  ASSERT_NE(eci.encryptedContent, nullptr);
  EXPECT_EQ(eci.encryptedContent->length, (content.size() / 8 + 1) * 8);
  PKIFreeEnvelopedData(ctx(), ed);
  PKIFreeContentInfo(ctx(), ci);
}

TEST_F(PkcsAsn, StreamedSignatureDecodesFromBer) {
  // cms -sign -stream: indefinite lengths at every level and the content as
  // a constructed OCTET STRING.
  Bytes ber = PkcsFile("cms_sign_stream.der");
  ASSERT_EQ(ber[1], 0x80);
  PKIContentInfo* ci = nullptr;
  int32_t err = 0;
  ASSERT_EQ(PKIUnpackContentInfo(ctx(), &ci, ber.data(), static_cast<uint32_t>(ber.size()), &err), ber.size());
  ASSERT_NE(ci->content, nullptr);
  EXPECT_EQ(ci->content->bytes[1], 0x80) << "the inner element is kept as it came";
  PKISignedData* sd = nullptr;
  ASSERT_EQ(PKIUnpackSignedData(ctx(), &sd, ci->content->bytes, ci->content->length, &err), ci->content->length);
  ASSERT_NE(sd->contentInfo.content, nullptr);
  EXPECT_EQ(sd->contentInfo.content->bytes[0], 0x24) << "constructed OCTET STRING";
  EXPECT_EQ(OctetsOf(*sd->contentInfo.content), PkcsFile("content.bin"));
  EXPECT_EQ(sd->signerInfos.count, 1);
  EXPECT_NE(sd->signerInfos.elements[0]->authenticatedAttributes, nullptr);
  // What we write of it is DER but for the content element, and reads
  // back to the same bytes.
  Bytes der(PKISizeofSignedData(ctx(), sd, 1));
  ASSERT_EQ(PKIPackSignedData(ctx(), der.data(), static_cast<uint32_t>(der.size()), sd, &err), der.size());
  ExpectSame("SignedData", der, "re-encoded stream");
  made_.Add("re-encoded stream", der);
  PKIFreeSignedData(ctx(), sd);
  PKIFreeContentInfo(ctx(), ci);
}

TEST_F(PkcsAsn, OpensslPkcs12RoundTripsDownToTheBags) {
  struct Case {
    const char* file;
    const char* mac;
    const char* keyBag;      // the bag the key is in
    const char* certSafe;    // content type of the safe of the certificates
    const char* certCipher;  // its algorithm (EncryptedData), or null
  } const cases[] = {
      {"p12_default.der", kSha256, kShroudedKeyBag, kEncryptedData, kPbes2},
      {"p12_sha1_3des.der", kSha1, kShroudedKeyBag, kEncryptedData, kPbeSha1TripleDes},
      {"p12_plain.der", kSha1, kKeyBag, kData, nullptr},
      {"p12_legacy.der", kSha1, kShroudedKeyBag, kEncryptedData, kPbeSha1Rc2_40},
  };
  const Bytes signerKey = PkcsFile("signer_key.der");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Bytes der = PkcsFile(c.file);
    ExpectSame("PFX", der, c.file);
    PKIPFX* pfx = nullptr;
    int32_t err = 0;
    ASSERT_EQ(PKIUnpackPFX(ctx(), &pfx, der.data(), static_cast<uint32_t>(der.size()), &err), der.size());
    EXPECT_EQ(HexOf(pfx->version), "03");
    ASSERT_NE(pfx->macData, nullptr);
    EXPECT_EQ(HexOf(pfx->macData->mac.digestAlgorithm.algorithm), c.mac);
    ASSERT_NE(pfx->macData->iterations, nullptr);
    EXPECT_EQ(HexOf(*pfx->macData->iterations), "0800");
    EXPECT_EQ(HexOf(pfx->authSafe.contentType), kData);
    Bytes safes = OctetsOf(*pfx->authSafe.content);
    ExpectSame("AuthenticatedSafes", safes, "authSafe");
    PKIAuthenticatedSafes* list = nullptr;
    ASSERT_EQ(PKIUnpackAuthenticatedSafes(ctx(), &list, safes.data(), static_cast<uint32_t>(safes.size()), &err),
              safes.size());
    ASSERT_EQ(list->count, 2) << "one safe for the certificates, one for the key";
    int keys = 0, certs = 0;
    for (int32_t i = 0; i < list->count; ++i) {
      PKIContentInfo* safe = list->elements[i];
      Bytes bags;
      if (HexOf(safe->contentType) == kEncryptedData) {
        EXPECT_EQ(HexOf(safe->contentType), c.certSafe);
        ExpectSame("EncryptedData", Of(*safe->content), "safe");
        PKIEncryptedData* enc = nullptr;
        ASSERT_GT(PKIUnpackEncryptedData(ctx(), &enc, safe->content->bytes, safe->content->length, &err), 0u);
        PKIAlgorithmIdentifier& alg = enc->encryptedContentInfo.contentEncryptionAlgorithm;
        EXPECT_EQ(HexOf(alg.algorithm), c.certCipher);
        if (c.certCipher != kPbes2) ExpectSame("pkcs_12PbeParams", Of(*alg.parameters), "certificate safe");
        EXPECT_NE(enc->encryptedContentInfo.encryptedContent, nullptr);
        PKIFreeEncryptedData(ctx(), enc);
        continue;  // nothing is decrypted here
      }
      ASSERT_EQ(HexOf(safe->contentType), kData);
      bags = OctetsOf(*safe->content);
      ExpectSame("SafeContents", bags, "safe");
      PKISafeContents* sc = nullptr;
      ASSERT_EQ(PKIUnpackSafeContents(ctx(), &sc, bags.data(), static_cast<uint32_t>(bags.size()), &err),
                bags.size());
      for (int32_t b = 0; b < sc->count; ++b) {
        PKISafeBag* bag = sc->elements[b];
        Bytes one(PKISizeofSafeBag(ctx(), bag, 1));
        PKIPackSafeBag(ctx(), one.data(), static_cast<uint32_t>(one.size()), bag, &err);
        ExpectSame("SafeBag", one, "bag");
        std::string id = HexOf(bag->bagId);
        Bytes value = Of(bag->bagValue);
        if (id == kKeyBag) {
          ExpectSame("PrivateKeyInfo", value, "keyBag");
          EXPECT_EQ(value, signerKey);
          ++keys;
        } else if (id == kShroudedKeyBag) {
          ExpectSame("EncryptedPrivateKeyInfo", value, "pkcs8ShroudedKeyBag");
          ++keys;
        } else if (id == kCertBagId) {
          ExpectSame("CertBag", value, "certBag");
          PKICertBag* cb = nullptr;
          ASSERT_EQ(PKIUnpackCertBag(ctx(), &cb, value.data(), static_cast<uint32_t>(value.size()), &err),
                    value.size());
          EXPECT_EQ(HexOf(cb->certId), kX509Certificate);
          Bytes cert = OctetsOf(cb->certValue);
          EXPECT_TRUE(cert == PkcsFile("signer_cert.der") || cert == PkcsFile("recip_cert.der"));
          PKIFreeCertBag(ctx(), cb);
          ++certs;
        } else {
          ADD_FAILURE() << "unexpected bag " << id;
        }
      }
      PKIFreeSafeContents(ctx(), sc);
    }
    EXPECT_EQ(keys, 1);
    EXPECT_EQ(certs, c.certCipher == nullptr ? 2 : 0);
    PKIFreeAuthenticatedSafes(ctx(), list);
    // The MAC's parts.
    Bytes mac(PKISizeofMacData(ctx(), pfx->macData, 1));
    PKIPackMacData(ctx(), mac.data(), static_cast<uint32_t>(mac.size()), pfx->macData, &err);
    ExpectSame("MacData", mac, "mac");
    PKIFreePFX(ctx(), pfx);
  }
}

TEST_F(PkcsAsn, OpensslPkcs8RoundTrips) {
  Bytes plain = PkcsFile("p8_nocrypt.der");
  ExpectSame("PrivateKeyInfo", plain, "pkcs8 -nocrypt");
  PKIPrivateKeyInfo* key = nullptr;
  int32_t err = 0;
  ASSERT_EQ(PKIUnpackPrivateKeyInfo(ctx(), &key, plain.data(), static_cast<uint32_t>(plain.size()), &err),
            plain.size());
  EXPECT_EQ(HexOf(key->version), "00");
  EXPECT_EQ(HexOf(key->privateKeyAlgorithm.algorithm), "2A864886F70D010101");
  EXPECT_EQ(key->attributes, nullptr);
  PKIFreePrivateKeyInfo(ctx(), key);
  for (bool indefinite : {true, false})
    EXPECT_EQ(ToHex(RoundTrip("PrivateKeyInfo", pkitest::Berize(plain, indefinite)).der), ToHex(plain));

  Bytes shrouded = PkcsFile("p8_sha1_3des.der");
  ExpectSame("EncryptedPrivateKeyInfo", shrouded, "pkcs8 -v1 PBE-SHA1-3DES");
  PKIEncryptedPrivateKeyInfo* enc = nullptr;
  ASSERT_EQ(PKIUnpackEncryptedPrivateKeyInfo(ctx(), &enc, shrouded.data(), static_cast<uint32_t>(shrouded.size()),
                                             &err),
            shrouded.size());
  EXPECT_EQ(HexOf(enc->encryptionAlgorithm.algorithm), kPbeSha1TripleDes);
  PKIpkcs_12PbeParams* params = nullptr;
  PKIANY* p = enc->encryptionAlgorithm.parameters;
  ASSERT_EQ(PKIUnpackpkcs_12PbeParams(ctx(), &params, p->bytes, p->length, &err), p->length);
  EXPECT_EQ(params->salt.length, 8u);
  EXPECT_EQ(HexOf(params->iterations), "0800");
  PKIFreepkcs_12PbeParams(ctx(), params);
  EXPECT_EQ(enc->encryptedData.length % 8, 0u);
  PKIFreeEncryptedPrivateKeyInfo(ctx(), enc);
}

// Pieces of hand-made fixtures.
const Bytes kAlg = Hex("30 03 06 01 2A");
const Bytes kUtc = Hex("17 0D 32 34 30 31 30 32 30 33 30 34 30 35 5A");
const Bytes kSpki = Hex("30 08 30 03 06 01 2A 03 01 00");
const Bytes kDataOid = Hex("06 09 2A 86 48 86 F7 0D 01 07 01");
Bytes MiniCert(uint8_t serial) {
  return Tlv(0x30, Concat({Tlv(0x30, Concat({Bytes{0x02, 0x01, serial}, kAlg, Hex("30 00"),
                                              Tlv(0x30, Concat({kUtc, kUtc})), Hex("30 00"), kSpki})),
                           kAlg, Hex("03 01 00")}));
}
const Bytes kMiniCrl = Tlv(0x30, Concat({Tlv(0x30, Concat({kAlg, Hex("30 00"), kUtc})), kAlg, Hex("03 01 00")}));
Bytes MiniSignerInfo(uint8_t serial, const Bytes& attributes) {
  return Tlv(0x30, Concat({Hex("02 01 01"), Tlv(0x30, Concat({Hex("30 00"), Bytes{0x02, 0x01, serial}})), kAlg,
                           attributes, kAlg, Hex("04 01 AA")}));
}
Bytes SignedData(const Bytes& middle, const Bytes& signers = Hex("31 00")) {
  return Tlv(0x30, Concat({Hex("02 01 01 31 00"), Tlv(0x30, kDataOid), middle, signers}));
}
const Bytes kExtendedCert =
    Tlv(0xA0, Concat({Tlv(0x30, Concat({Hex("02 01 00"), MiniCert(1), Hex("31 00")})), kAlg, Hex("03 01 00")}));

struct Case {
  const char* name;
  const char* codec;
  Bytes in;
  int32_t err;
  Bytes der;  // empty: the input itself
};

TEST_F(PkcsAsn, Pkcs7Types) {
  const Case cases[] = {
      {"ContentInfo without content", "ContentInfo", Tlv(0x30, kDataOid), 0, {}},
      {"ContentInfo, content element short of its wrapper", "ContentInfo",
       Tlv(0x30, Concat({kDataOid, Hex("A0 04 04 01 41 00")})), kPKIErrExplicit, {}},
      {"ContentInfo from 0x31: nothing decoded", "ContentInfo", Tlv(0x31, kDataOid), kPKIErrLeftover, {}},
      {"SignedData with certificates (A0) and crls (A1)", "SignedData",
       SignedData(Concat({Tlv(0xA0, MiniCert(1)), Tlv(0xA1, kMiniCrl)})), 0, {}},
      {"SignedData with neither", "SignedData", SignedData({}), 0, {}},
      {"SignedData, certificates in reverse DER order are written sorted", "SignedData",
       SignedData(Tlv(0xA0, Concat({MiniCert(2), MiniCert(1)}))), 0,
       SignedData(Tlv(0xA0, Concat({MiniCert(1), MiniCert(2)})))},
      {"SignedData, an extended certificate", "SignedData", SignedData(Tlv(0xA0, kExtendedCert)), 0, {}},
      {"SignedData, a certificate element starting 0x04", "SignedData",
       SignedData(Tlv(0xA0, Hex("04 01 00"))), kPKIErrChoice, {}},
      {"SignedData, the crls in primitive form", "SignedData", SignedData(Hex("81 00")), kPKIErrForm, {}},
      {"SignerInfo without authenticated attributes", "SignerInfo", MiniSignerInfo(1, {}), 0, {}},
      {"SignerInfo with an empty attribute list", "SignerInfo", MiniSignerInfo(1, Hex("A0 00")), 0, {}},
      {"SignerInfos in reverse order are written sorted", "SignerInfos",
       Tlv(0x31, Concat({MiniSignerInfo(2, {}), MiniSignerInfo(1, {})})), 0,
       Tlv(0x31, Concat({MiniSignerInfo(1, {}), MiniSignerInfo(2, {})}))},
      {"EncryptedContentInfo without encryptedContent", "EncryptedContentInfo", Tlv(0x30, Concat({kDataOid, kAlg})),
       0, {}},
      {"EncryptedContentInfo, constructed [0] of two OCTET STRINGs", "EncryptedContentInfo",
       Tlv(0x30, Concat({kDataOid, kAlg, Hex("A0 80 04 02 AA BB 04 01 CC 00 00")})), 0,
       Tlv(0x30, Concat({kDataOid, kAlg, Hex("80 03 AA BB CC")}))},
      {"EncryptedContentInfo, definite constructed [0]", "EncryptedContentInfo",
       Tlv(0x30, Concat({kDataOid, kAlg, Hex("A0 07 80 02 AA BB 80 01 CC")})), 0,
       Tlv(0x30, Concat({kDataOid, kAlg, Hex("80 03 AA BB CC")}))},
      {"ExtendedCertificateOrCertificate, a certificate", "ExtendedCertificateOrCertificate", MiniCert(1), 0, {}},
      {"ExtendedCertificateOrCertificate, an extended certificate", "ExtendedCertificateOrCertificate",
       kExtendedCert, 0, {}},
      {"ExtendedCertificateOrCertificate from 0x31: nothing decoded", "ExtendedCertificateOrCertificate",
       Hex("31 00"), kPKIErrLeftover, {}},
      {"DigestAlgorithmIdentifiers", "DigestAlgorithmIdentifiers", Tlv(0x31, Concat({kAlg, Hex("30 03 06 01 2B")})),
       0, {}},
      {"DigestInfo", "DigestInfo", Tlv(0x30, Concat({kAlg, Hex("04 02 01 02")})), 0, {}},
      {"EncryptedData", "EncryptedData", Tlv(0x30, Concat({Hex("02 01 00"), Tlv(0x30, Concat({kDataOid, kAlg}))})),
       0, {}},
      {"RecipientInfos", "RecipientInfos",
       Tlv(0x31, Tlv(0x30, Concat({Hex("02 01 00 30 05 30 00 02 01 07"), kAlg, Hex("04 01 55")}))), 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Trip t = RoundTrip(c.codec, c.in);
    EXPECT_EQ(t.err, c.err);
    if (c.err == 0) {
      EXPECT_EQ(t.packErr, 0);
      EXPECT_EQ(t.consumed, c.in.size());
      EXPECT_EQ(ToHex(t.der), ToHex(c.der.empty() ? c.in : c.der));
    }
  }

  int32_t err = 0;
  // Decoded in the order found; the same SignerInfo twice cannot be
  // written.
  Bytes twice = Tlv(0x31, Concat({MiniSignerInfo(2, {}), MiniSignerInfo(2, {})}));
  PKISignerInfos* infos = nullptr;
  ASSERT_EQ(PKIUnpackSignerInfos(ctx(), &infos, twice.data(), static_cast<uint32_t>(twice.size()), &err),
            twice.size());
  EXPECT_EQ(infos->count, 2);
  Bytes out(twice.size());
  EXPECT_EQ(PKIPackSignerInfos(ctx(), out.data(), static_cast<uint32_t>(out.size()), infos, &err), 0u);
  EXPECT_EQ(err, kPKIErrDuplicate);
  PKIFreeSignerInfos(ctx(), infos);
  Bytes reversed = Tlv(0x31, Concat({MiniSignerInfo(2, {}), MiniSignerInfo(1, {})}));
  ASSERT_GT(PKIUnpackSignerInfos(ctx(), &infos, reversed.data(), static_cast<uint32_t>(reversed.size()), &err), 0u);
  EXPECT_EQ(HexOf(infos->elements[0]->issuerAndSerialNumber.serialNumber), "02") << "the order found";
  PKIFreeSignerInfos(ctx(), infos);
  // The same certificate twice in a SignedData.
  Bytes dup = SignedData(Tlv(0xA0, Concat({MiniCert(1), MiniCert(1)})));
  Trip t = RoundTrip("SignedData", dup);
  EXPECT_EQ(t.err, 0);
  EXPECT_EQ(t.packErr, kPKIErrDuplicate);
  // The selector of an extended certificate is what was read; a selector
  // of no alternative cannot be written.
  PKIExtendedCertificateOrCertificate* choice = nullptr;
  ASSERT_GT(PKIUnpackExtendedCertificateOrCertificate(ctx(), &choice, kExtendedCert.data(),
                                                      static_cast<uint32_t>(kExtendedCert.size()), &err),
            0u);
  EXPECT_EQ(choice->tag, 0xA0);
  choice->tag = 0x04;
  EXPECT_EQ(PKISizeofExtendedCertificateOrCertificate(ctx(), choice, 1), 0u);
  EXPECT_EQ(PKIPackExtendedCertificateOrCertificate(ctx(), out.data(), static_cast<uint32_t>(out.size()), choice,
                                                    &err),
            0u);
  EXPECT_EQ(err, kPKIErrChoice);
  choice->tag = 0xA0;
  PKIFreeExtendedCertificateOrCertificate(ctx(), choice);
}

TEST_F(PkcsAsn, PublicLayerContracts) {
  // Sizeof with and without the tag.
  Bytes info = Tlv(0x30, Concat({kAlg, Hex("04 02 01 02")}));
  PKIDigestInfo* di = nullptr;
  int32_t err = 0;
  ASSERT_EQ(PKIUnpackDigestInfo(ctx(), &di, info.data(), static_cast<uint32_t>(info.size()), &err), info.size());
  EXPECT_EQ(PKISizeofDigestInfo(ctx(), di, 0), info.size() - 2);
  EXPECT_EQ(PKISizeofDigestInfo(ctx(), di, 1), info.size());
  PKIFreeDigestInfo(ctx(), di);
  // No context: New gives null, Free does nothing; Free of null releases
  // nothing.
  EXPECT_EQ(PKINewEnvelopedData(nullptr), nullptr);
  EXPECT_EQ(PKINewPrivateKeyInfo(nullptr), nullptr);
  PKISignedData* sd = PKINewSignedData(ctx());
  long before = mem_.live();
  PKIFreeSignedData(nullptr, sd);
  EXPECT_EQ(mem_.live(), before);
  PKIFreeSignedData(ctx(), nullptr);
  EXPECT_EQ(mem_.live(), before);
  PKIFreeSignedData(ctx(), sd);
  PKIFreeEncryptedPrivateKeyInfo(nullptr, nullptr);
  // Unpack of what is not there.
  PKIContentInfo* ci = reinterpret_cast<PKIContentInfo*>(&err);
  EXPECT_EQ(PKIUnpackContentInfo(ctx(), &ci, Hex("31 00").data(), 2, &err), 0u);
  EXPECT_EQ(err, kPKIErrLeftover);
  EXPECT_EQ(ci, nullptr);
  PKIEncryptedPrivateKeyInfo* epki = nullptr;
  EXPECT_EQ(PKIUnpackEncryptedPrivateKeyInfo(ctx(), &epki, Hex("04 00").data(), 2, &err), 0u);
  EXPECT_EQ(err, kPKIErrLeftover);
  EXPECT_EQ(epki, nullptr);
}

TEST_F(PkcsAsn, Pkcs8Types) {
  const Bytes key = Tlv(0x30, Concat({Hex("02 01 00"), kAlg, Hex("04 02 AB CD")}));
  const Bytes attrs = Hex("A0 07 30 05 06 01 2A 31 00");
  const Bytes epki = Concat({kAlg, Hex("04 02 01 02")});
  const Case cases[] = {
      {"PrivateKeyInfo without attributes", "PrivateKeyInfo", key, 0, {}},
      {"PrivateKeyInfo with attributes", "PrivateKeyInfo",
       Tlv(0x30, Concat({Hex("02 01 00"), kAlg, Hex("04 02 AB CD"), attrs})), 0, {}},
      {"PrivateKeyInfo, a [1] after the key", "PrivateKeyInfo",
       Tlv(0x30, Concat({Hex("02 01 00"), kAlg, Hex("04 02 AB CD 81 00")})), kPKIErrLeftover, {}},
      {"PrivateKeyInfo, primitive attributes", "PrivateKeyInfo",
       Tlv(0x30, Concat({Hex("02 01 00"), kAlg, Hex("04 02 AB CD 80 00")})), kPKIErrForm, {}},
      {"indefinite PrivateKeyInfo ends at its end-of-contents", "PrivateKeyInfo",
       Concat({Hex("30 80 02 01 00"), kAlg, Hex("04 02 AB CD 00 00")}), 0, key},
      {"indefinite EncryptedPrivateKeyInfo with 00 00", "EncryptedPrivateKeyInfo",
       Concat({Hex("30 80"), epki, Hex("00 00")}), 0, Tlv(0x30, epki)},
      {"indefinite EncryptedPrivateKeyInfo with other octets", "EncryptedPrivateKeyInfo",
       Concat({Hex("30 80"), epki, Hex("05 00")}), kPKIErrForm, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Trip t = RoundTrip(c.codec, c.in);
    EXPECT_EQ(t.err, c.err);
    if (c.err == 0) {
      EXPECT_EQ(t.consumed, c.in.size());
      EXPECT_EQ(ToHex(t.der), ToHex(c.der.empty() ? c.in : c.der));
    }
  }
  // The version 00 01 is written 01, and the record keeps 01.
  PKIPrivateKeyInfo* pki = nullptr;
  int32_t err = 0;
  ASSERT_GT(PKIUnpackPrivateKeyInfo(ctx(), &pki, key.data(), static_cast<uint32_t>(key.size()), &err), 0u);
  const uint8_t wide[] = {0x00, 0x01};
  ASSERT_EQ(PKIPutOctVal(ctx(), &pki->version, wide, 2), 0);
  Bytes out(PKISizeofPrivateKeyInfo(ctx(), pki, 1));
  ASSERT_EQ(PKIPackPrivateKeyInfo(ctx(), out.data(), static_cast<uint32_t>(out.size()), pki, &err), out.size());
  EXPECT_EQ(ToHex(Bytes(out.begin() + 2, out.begin() + 5)), "02 01 01");
  EXPECT_EQ(HexOf(pki->version), "01");
  PKIFreePrivateKeyInfo(ctx(), pki);
  // One byte short: -18, nothing written.
  PKIEncryptedPrivateKeyInfo* enc = nullptr;
  Bytes whole = Tlv(0x30, epki);
  ASSERT_GT(PKIUnpackEncryptedPrivateKeyInfo(ctx(), &enc, whole.data(), static_cast<uint32_t>(whole.size()), &err),
            0u);
  Bytes room(whole.size(), 0xEE);
  EXPECT_EQ(PKIPackEncryptedPrivateKeyInfo(ctx(), room.data(), static_cast<uint32_t>(room.size() - 1), enc, &err),
            0u);
  EXPECT_EQ(err, kPKIErrRoom);
  EXPECT_EQ(room, Bytes(whole.size(), 0xEE));
  PKIFreeEncryptedPrivateKeyInfo(ctx(), enc);
}

TEST_F(PkcsAsn, Pkcs12Types) {
  const Bytes oid = Hex("06 01 2A");
  const Bytes value = Hex("04 01 AA");
  const Bytes attrA = Hex("30 05 06 01 2A 31 00");
  const Bytes attrB = Hex("30 05 06 01 2B 31 00");
  const Bytes mac = Tlv(0x30, Concat({kAlg, Hex("04 01 00")}));
  const Bytes authSafe = Tlv(0x30, kDataOid);
  const Case cases[] = {
      {"SafeBag without attributes", "SafeBag", Tlv(0x30, Concat({oid, Tlv(0xA0, value)})), 0, {}},
      {"SafeBag attributes are written sorted", "SafeBag",
       Tlv(0x30, Concat({oid, Tlv(0xA0, value), Tlv(0x31, Concat({attrB, attrA}))})), 0,
       Tlv(0x30, Concat({oid, Tlv(0xA0, value), Tlv(0x31, Concat({attrA, attrB}))}))},
      {"CertBag, wrapper one byte longer than its value", "CertBag",
       Tlv(0x30, Concat({oid, Tlv(0xA0, Concat({value, Hex("00")}))})), kPKIErrExplicit, {}},
      {"CertBag, value longer than its wrapper", "CertBag", Tlv(0x30, Concat({oid, Hex("A0 02 04 01 AA")})),
       kPKIErrLength, {}},
      {"CertBag, indefinite wrapper", "CertBag", Concat({Hex("30 80"), oid, Hex("A0 80"), value, Hex("00 00 00 00")}),
       0, Tlv(0x30, Concat({oid, Tlv(0xA0, value)}))},
      {"CertBag, indefinite wrapper without its end", "CertBag",
       Concat({Hex("30 80"), oid, Hex("A0 80"), value, Hex("05 00 00 00")}), kPKIErrForm, {}},
      {"CertBag, something other than [0] after the OID", "CertBag", Tlv(0x30, Concat({oid, value})),
       kPKIErrLeftover, {}},
      {"CRLBag", "CRLBag", Tlv(0x30, Concat({oid, Tlv(0xA0, kMiniCrl)})), 0, {}},
      {"SecretBag", "SecretBag", Tlv(0x30, Concat({oid, Tlv(0xA0, value)})), 0, {}},
      {"MacData without iterations", "MacData", Tlv(0x30, Concat({mac, Hex("04 02 01 02")})), 0, {}},
      {"MacData with iterations 1", "MacData", Tlv(0x30, Concat({mac, Hex("04 02 01 02 02 01 01")})), 0, {}},
      {"MacData, iterations in the wrong form", "MacData", Tlv(0x30, Concat({mac, Hex("04 02 01 02 22 00")})),
       kPKIErrLeftover, {}},
      {"PFX without MacData", "PFX", Tlv(0x30, Concat({Hex("02 01 03"), authSafe})), 0, {}},
      {"PFX whose third component is a SET", "PFX", Tlv(0x30, Concat({Hex("02 01 03"), authSafe, Hex("31 00")})),
       kPKIErrLeftover, {}},
      {"AuthenticatedSafes keeps two identical safes in order", "AuthenticatedSafes",
       Tlv(0x30, Concat({authSafe, authSafe})), 0, {}},
      {"SafeContents in indefinite form", "SafeContents",
       Concat({Hex("30 80 30 80"), oid, Tlv(0xA0, value), Hex("00 00"), Tlv(0x30, Concat({oid, Tlv(0xA0, value)})),
               Hex("00 00")}),
       0, Tlv(0x30, Concat({Tlv(0x30, Concat({oid, Tlv(0xA0, value)})), Tlv(0x30, Concat({oid, Tlv(0xA0, value)}))}))},
      {"SafeContents, an element of another type", "SafeContents", Hex("30 03 02 01 00"), kPKIErrLeftover, {}},
      {"SafeContents, indefinite, an element of another type", "SafeContents", Hex("30 80 02 01 00 00 00"),
       kPKIErrForm, {}},
      {"pkcs-12PbeParams", "pkcs_12PbeParams", Hex("30 07 04 02 01 02 02 01 07"), 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Trip t = RoundTrip(c.codec, c.in);
    EXPECT_EQ(t.err, c.err);
    if (c.err == 0) {
      EXPECT_EQ(t.consumed, c.in.size());
      EXPECT_EQ(t.packErr, 0);
      EXPECT_EQ(ToHex(t.der), ToHex(c.der.empty() ? c.in : c.der));
    }
  }

  int32_t err = 0;
  // MacData's iterations: absent is null, 1 is a block holding 01.
  for (bool withIterations : {false, true}) {
    Bytes in = Tlv(0x30, Concat({mac, Hex("04 02 01 02"), withIterations ? Hex("02 01 01") : Bytes{}}));
    PKIMacData* md = nullptr;
    ASSERT_EQ(PKIUnpackMacData(ctx(), &md, in.data(), static_cast<uint32_t>(in.size()), &err), in.size());
    EXPECT_EQ(md->iterations != nullptr, withIterations);
    if (withIterations) {
      EXPECT_EQ(HexOf(*md->iterations), "01");
    }
    PKIFreeMacData(ctx(), md);
  }
  // A bag holding only its OID (a SafeBag its OID and attributes) decodes
  // with an empty value, which cannot be written: its wrapper is not
  // counted, so Pack reports -2 (-18 below the counted size) and writes
  // nothing.
  for (const char* codec : {"CertBag", "SafeBag", "CRLBag", "SecretBag"}) {
    SCOPED_TRACE(codec);
    Bytes in = std::string(codec) == "SafeBag" ? Tlv(0x30, Concat({oid, Tlv(0x31, attrA)})) : Tlv(0x30, oid);
    const Codec* k = CodecNamed(codec);
    void* rec = nullptr;
    ASSERT_EQ(k->unpack(ctx(), &rec, in.data(), static_cast<uint32_t>(in.size()), &err), in.size());
    EXPECT_EQ(k->size(ctx(), rec), in.size());
    for (size_t capacity = in.size() - 1; capacity <= in.size() + 8; ++capacity) {
      Bytes room(in.size() + 16, 0xEE);
      err = 0;
      EXPECT_EQ(k->pack(ctx(), room.data(), static_cast<uint32_t>(capacity), rec, &err), 0u);
      EXPECT_EQ(err, capacity < in.size() ? kPKIErrRoom : kPKIErrOutputSmall) << capacity;
      EXPECT_EQ(room, Bytes(in.size() + 16, 0xEE)) << "nothing written";
    }
    k->free(ctx(), rec);
  }
  // A wrapper of length 0: the value stays empty, no error.
  Bytes emptyWrapper = Tlv(0x30, Concat({oid, Hex("A0 00")}));
  PKICertBag* bag = nullptr;
  ASSERT_EQ(PKIUnpackCertBag(ctx(), &bag, emptyWrapper.data(), static_cast<uint32_t>(emptyWrapper.size()), &err),
            emptyWrapper.size());
  EXPECT_EQ(bag->certValue.length, 0u);
  PKIFreeCertBag(ctx(), bag);
  // A list whose own definite length runs past the input: count -1, -9,
  // what it held released. Dropping it frees no element.
  for (const char* which : {"SafeContents", "AuthenticatedSafes"}) {
    SCOPED_TRACE(which);
    const Bytes full = Tlv(0x30, Tlv(0x30, Concat({oid, Tlv(0xA0, value)})));
    Bytes cut(full.begin(), full.end() - 1);
    PKISafeContents* list = PKINewSafeContents(ctx());
    uint32_t n = 0;
    if (std::string(which) == "SafeContents") {
      ASSERT_EQ(PKIUnpkInPlaceSafeContents(ctx(), list, full.data(), static_cast<uint32_t>(full.size()),
                                           kPKITagSequence, &err),
                full.size());
      EXPECT_EQ(list->count, 1);
      n = PKIUnpkInPlaceSafeContents(ctx(), list, cut.data(), static_cast<uint32_t>(cut.size()), kPKITagSequence,
                                     &err);
    } else {
      auto* safes = reinterpret_cast<PKIAuthenticatedSafes*>(list);
      n = PKIUnpkInPlaceAuthenticatedSafes(ctx(), safes, cut.data(), static_cast<uint32_t>(cut.size()),
                                           kPKITagSequence, &err);
    }
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(err, kPKIErrLength);
    EXPECT_EQ(list->count, -1);
    EXPECT_EQ(list->elements, nullptr);
    PKIDropInPlaceSafeContents(ctx(), list);
    EXPECT_EQ(list->count, 0);
    PKIFreeSafeContents(ctx(), list);
  }
  // A length past the input inside an element is the element's error: the
  // list keeps what it decoded for the caller to drop.
  Bytes inner = Tlv(0x30, Concat({Tlv(0x30, Concat({oid, Tlv(0xA0, value)})), Hex("30 05 06 01 2A A0 09")}));
  PKISafeContents* list = PKINewSafeContents(ctx());
  EXPECT_EQ(PKIUnpkInPlaceSafeContents(ctx(), list, inner.data(), static_cast<uint32_t>(inner.size()),
                                       kPKITagSequence, &err),
            0u);
  EXPECT_EQ(err, kPKIErrLength);
  EXPECT_GE(list->count, 1);
  PKIFreeSafeContents(ctx(), list);
}

TEST_F(PkcsAsn, EnrollmentTypes) {
  const Bytes name = Hex("30 0B 31 09 30 07 06 03 55 04 03 13 00");
  const Bytes time = Hex("18 0F 32 30 32 34 30 31 30 32 30 33 30 34 30 35 5A");
  const Bytes request = pkitest::PkcsFile("req.der");
  const Case cases[] = {
      {"PKCSReq with only the request", "PKCSReq", Tlv(0x30, request), 0, {}},
      {"PKCSReq with a registration text", "PKCSReq", Tlv(0x30, Concat({request, Hex("04 03 61 3D 62")})), 0, {}},
      {"PKCSReq keeps a request of any tag", "PKCSReq", Hex("30 05 A3 03 02 01 05"), 0, {}},
      {"GetCRL with issuer and time", "GetCRL", Tlv(0x30, Concat({name, time})), 0, {}},
      {"GetCRL with a directoryName cRLName", "GetCRL", Tlv(0x30, Concat({name, Tlv(0xA4, name), time})), 0, {}},
      {"GetCRL with everything", "GetCRL",
       Tlv(0x30, Concat({name, Hex("86 01 78"), time, Hex("03 02 05 60")})), 0, {}},
      {"GetCRL, an x400Address is no cRLName", "GetCRL", Tlv(0x30, Concat({name, Hex("A3 00")})), kPKIErrLeftover,
       {}},
      {"empty GetCRL", "GetCRL", Hex("30 00"), 0, {}},
      {"GetCRL whose first element is no Name", "GetCRL", Tlv(0x30, Concat({time})), kPKIErrChoice, {}},
      {"CertRep of an OCTET STRING only", "CertRep", Hex("30 03 04 01 AA"), 0, {}},
      {"CertRep of both", "CertRep", Tlv(0x30, Concat({Tlv(0x30, kDataOid), Hex("04 01 AA")})), 0, {}},
      {"empty CertRep", "CertRep", Hex("30 00"), 0, {}},
      {"CertRep, bytes after both", "CertRep", Hex("30 05 04 01 AA 05 00"), kPKIErrLeftover, {}},
      {"GetCert", "GetCert", Tlv(0x30, Concat({name, Hex("02 01 07")})), 0, {}},
      {"IssuerAndSubject", "IssuerAndSubject", Tlv(0x30, Concat({name, name})), 0, {}},
      {"GetCertInitial", "GetCertInitial", Tlv(0x30, Concat({Tlv(0x30, Concat({name, name})), Hex("04 00")})), 0,
       {}},
      {"GetCertInitial, trailing bytes", "GetCertInitial",
       Tlv(0x30, Concat({Tlv(0x30, Concat({name, name})), Hex("04 00 05 00")})), kPKIErrLeftover, {}},
      {"GetCertInitial, trailing bytes in its IssuerAndSubject", "GetCertInitial",
       Tlv(0x30, Tlv(0x30, Concat({name, name, Hex("05 00")}))), kPKIErrLeftover, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Trip t = RoundTrip(c.codec, c.in, std::string(c.name) != "empty GetCRL");
    EXPECT_EQ(t.err, c.err);
    if (c.err == 0 && std::string(c.name) != "empty GetCRL") {
      EXPECT_EQ(t.consumed, c.in.size());
      EXPECT_EQ(t.packErr, 0);
      EXPECT_EQ(ToHex(t.der), ToHex(c.der.empty() ? c.in : c.der));
    }
  }
  int32_t err = 0;
  // Which component took what.
  Bytes directory = Tlv(0x30, Concat({name, Tlv(0xA4, name)}));
  PKIGetCRL* crl = nullptr;
  ASSERT_EQ(PKIUnpackGetCRL(ctx(), &crl, directory.data(), static_cast<uint32_t>(directory.size()), &err),
            directory.size());
  ASSERT_NE(crl->cRLName, nullptr);
  EXPECT_EQ(crl->cRLName->tag, 0xA4);
  EXPECT_EQ(crl->time, nullptr);
  EXPECT_EQ(crl->reasons, nullptr);
  PKIFreeGetCRL(ctx(), crl);
  Bytes issuerTime = Tlv(0x30, Concat({name, time}));
  ASSERT_GT(PKIUnpackGetCRL(ctx(), &crl, issuerTime.data(), static_cast<uint32_t>(issuerTime.size()), &err), 0u);
  EXPECT_EQ(crl->cRLName, nullptr);
  EXPECT_NE(crl->time, nullptr);
  EXPECT_EQ(crl->reasons, nullptr);
  PKIFreeGetCRL(ctx(), crl);
  ASSERT_GT(PKIUnpackGetCRL(ctx(), &crl, Hex("30 00").data(), 2, &err), 0u);
  EXPECT_EQ(crl->issuer.value, nullptr) << "an empty GetCRL has an empty Name";
  PKIFreeGetCRL(ctx(), crl);
  PKICertRep* rep = nullptr;
  ASSERT_GT(PKIUnpackCertRep(ctx(), &rep, Hex("30 03 04 01 AA").data(), 5, &err), 0u);
  EXPECT_EQ(rep->reply, nullptr);
  ASSERT_NE(rep->otherInfo, nullptr);
  EXPECT_EQ(HexOf(*rep->otherInfo), "AA");
  PKIFreeCertRep(ctx(), rep);
  ASSERT_GT(PKIUnpackCertRep(ctx(), &rep, Hex("30 00").data(), 2, &err), 0u);
  EXPECT_EQ(rep->reply, nullptr);
  EXPECT_EQ(rep->otherInfo, nullptr);
  PKIFreeCertRep(ctx(), rep);
}

}  // namespace

namespace {

TEST_F(PkcsAsn, EveryTypeRoundTripsThePartsOfTheCorpus) {
  // The fuzz seeds cut from the corpus (tests/pki/fuzz/make_pkcs_seeds.py):
  // each is a type selector and an encoding of that type. Every one but the
  // edge cases decodes whole and (DER ones) re-encodes to the same bytes,
  // and between them they cover every type of the four modules.
  std::set<std::string> covered;
  const std::string dir = std::string(OSTRAK_SOURCE_DIR) + "/tests/pki/fuzz/corpus/pkcs_asn";
  int parts = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name.starts_with("edge_")) continue;
    std::ifstream f(e.path(), std::ios::binary);
    Bytes seed((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    ASSERT_GE(seed.size(), 2u) << name;
    ASSERT_LT(seed[0], pkcs_asn_codecs::kCodecCount) << name;
    const Codec& codec = pkcs_asn_codecs::kCodecs[seed[0]];
    Bytes in(seed.begin() + 1, seed.end());
    Trip t = RoundTrip(codec.name, in, false);
    EXPECT_EQ(t.err, 0) << name;
    EXPECT_EQ(t.consumed, in.size()) << name;
    if (!name.starts_with("cms_sign_stream")) {
      EXPECT_EQ(ToHex(t.der), ToHex(in)) << name;
    }
    covered.insert(codec.name);
    ++parts;
  }
  for (const Codec& c : pkcs_asn_codecs::kCodecs) EXPECT_TRUE(covered.contains(c.name)) << c.name << " has no part";
  EXPECT_GT(parts, 100);
}

}  // namespace
