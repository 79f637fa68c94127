// The PKCS #7 message layer against openssl: what sm_SignMessage makes over
// RSA verifies with `openssl cms -verify`, what sm_EncryptMessage makes
// opens with `openssl cms -decrypt`, and sm_DecryptMessage and
// sm_VerifyMessage open and verify openssl's messages (the corpus of
// tests/pki/data/make_pkcs_corpus.sh). The callbacks run over our
// cryptographic engine (tests/pki/pkcs7_test_support.h); OIDs are checked
// against libcrypto's conversions. Nothing stays allocated, also when an
// allocation fails at any point.
#include <gtest/gtest.h>
#include <openssl/objects.h>

#include <cstring>
#include <string>

#include "pki/pkcs7_message.h"
#include "tests/pki/asn_test_support.h"
#include "tests/pki/pkcs7_test_support.h"

namespace {

using pkitest::Bytes;
using pkitest::Concat;
using pkitest::Hex;
using pkitest::PkcsFile;
using pkitest::Tlv;
using pkitest::ToHex;

Bytes Of(const PKIVariableBlock& b) { return b.bytes != nullptr ? Bytes(b.bytes, b.bytes + b.length) : Bytes(); }

// libcrypto's content octets of a dotted OID (the oracle), empty when it
// refuses the text.
Bytes OpensslOid(const std::string& text) {
  ASN1_OBJECT* obj = OBJ_txt2obj(text.c_str(), 1);
  if (obj == nullptr) return {};
  Bytes b(OBJ_get0_data(obj), OBJ_get0_data(obj) + OBJ_length(obj));
  ASN1_OBJECT_free(obj);
  return b;
}

std::string OpensslText(const Bytes& content) {
  Bytes der = Concat({pkitest::Header(0x06, static_cast<uint32_t>(content.size())), content});
  const unsigned char* p = der.data();
  ASN1_OBJECT* obj = d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(der.size()));
  if (obj == nullptr) return {};
  char text[256];
  OBJ_obj2txt(text, sizeof text, obj, 1);
  ASN1_OBJECT_free(obj);
  return text;
}

class SmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    crypto_.context = toolkit_.context();
    crypto_.random = toolkit_.random();
    crypto_.key = signerKey_.secret();
    signer_ = Certificate("signer_cert.der");
    recipient_ = Certificate("recip_cert.der");
  }
  void TearDown() override {
    PKIFreeCertificate(ctx(), signer_);
    PKIFreeCertificate(ctx(), recipient_);
    EXPECT_EQ(mem_.live(), 0) << "blocks left allocated";
  }
  PKICONTEXT* ctx() { return mem_.ctx(); }

  PKICertificate* Certificate(const std::string& file) {
    Bytes der = file.starts_with("cert_") ? pkitest::CorpusFile(file) : PkcsFile(file);
    PKICertificate* cert = nullptr;
    int32_t err = 0;
    EXPECT_EQ(PKIUnpackCertificate(ctx(), &cert, der.data(), static_cast<uint32_t>(der.size()), &err), der.size());
    return cert;
  }
  // Takes a buffer of the codec context's manager.
  Bytes Take(uint8_t* bytes, uint32_t length) {
    Bytes b = bytes != nullptr ? Bytes(bytes, bytes + length) : Bytes();
    ostrak::asn::Deallocate(ctx(), bytes);
    return b;
  }
  PKISignedData* SignedDataOf(const Bytes& message) {
    PKIContentInfo* ci = sm_DecodeMessage(message.data(), static_cast<uint32_t>(message.size()), ctx());
    if (ci == nullptr || sm_MessageType(ci) != 1 || ci->content == nullptr) {
      PKIFreeContentInfo(ctx(), ci);
      return nullptr;
    }
    PKISignedData* sd = sm_DecodeSignedData(ci->content->bytes, ci->content->length, ctx());
    PKIFreeContentInfo(ctx(), ci);
    return sd;
  }
  // sm_VerifyMessage with our callbacks; the content handed out goes to
  // *content.
  int VerifyWith(PKISignedData* sd, PKICertificate* cert, Bytes* content) {
    uint8_t* out = nullptr;
    uint32_t length = 0;
    int rc = sm_VerifyMessage(&out, &length, sd, cert, smtest::Digest, &crypto_, smtest::Verify, &crypto_, ctx());
    *content = Take(out, length);
    return rc;
  }
  std::string Openssl(const std::string& args) {
    std::string out;
    EXPECT_TRUE(pkitest::RunCommand("openssl " + args + " 2>&1", &out)) << args << "\n" << out;
    return out;
  }
  // The PEM certificate and key of the corpus's signer or recipient.
  void WritePem(const pkitest::TempDir& dir, const std::string& who) {
    std::string ignored;
    ASSERT_TRUE(pkitest::RunCommand("openssl x509 -inform DER -in " + pkitest::PkcsPath(who + "_cert.der") +
                                        " -out " + dir.Path(who + ".pem") + " && openssl pkey -inform DER -in " +
                                        pkitest::PkcsPath(who + "_key.der") + " -out " + dir.Path(who + ".key"),
                                    &ignored));
  }

  pkitest::CountingContext mem_;
  smtest::Toolkit toolkit_;
  smtest::RsaKey signerKey_{toolkit_.context(), PkcsFile("signer_key.der")};
  smtest::RsaKey recipientKey_{toolkit_.context(), PkcsFile("recip_key.der")};
  smtest::Crypto crypto_;
  PKICertificate* signer_ = nullptr;
  PKICertificate* recipient_ = nullptr;
};

TEST_F(SmTest, OidTextsAndEncodings) {
  struct Case {
    const char* text;
    const char* hex;  // content octets
  } const cases[] = {
      {"1.2.840.113549.1.7.1", "2A 86 48 86 F7 0D 01 07 01"},
      {"1.2.128", "2A 81 00"},
      {"1.2.16384", "2A 81 80 00"},
      {"2.999.3", "88 37 03"},
      {"0.0", "00"},
      {"1.39", "4F"},
      {"2.5.4.3", "55 04 03"},
      {"1.2.2147483648", "2A 88 80 80 80 00"},     // 2^31: printed unsigned
      {"1.2.4294967296", "2A 90 80 80 80 00"},     // 2^32: past 32 bits
      {"1.2.18446744073709551615", "2A 81 FF FF FF FF FF FF FF FF 7F"},  // 2^64 - 1
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    PKIOBJECT_ID* oid = sm_StringToOID(c.text, ctx());
    ASSERT_NE(oid, nullptr);
    EXPECT_EQ(ToHex(Of(*oid)), c.hex);
    EXPECT_EQ(Of(*oid), OpensslOid(c.text)) << "libcrypto writes the same";
    char* text = sm_OIDToString(oid, ctx());
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, c.text);
    EXPECT_EQ(OpensslText(Of(*oid)), c.text);
    ostrak::asn::Deallocate(ctx(), text);
    PKIFreeVariableBlock(ctx(), oid);
  }
  // Every constant of the layer, both ways and as libcrypto has it.
  for (const char* text : {SM_OID_CONTENT_DATA, SM_OID_CONTENT_SIGNED_DATA, SM_OID_CONTENT_ENVELOPED_DATA,
                           SM_OID_CONTENT_TYPE, SM_OID_MESSAGE_DIGEST, SM_OID_ALG_SHA, SM_OID_ALG_MD2, SM_OID_ALG_MD5,
                           SM_OID_ALG_DSA, SM_OID_ALG_DSA_SHA, SM_OID_ALG_RSA, SM_OID_ALG_RSA_MD2, SM_OID_ALG_RSA_MD5,
                           SM_OID_ALG_DES, SM_OID_ALG_3DES, SM_OID_ALG_RC2, SM_OID_ALG_KEA, SM_OID_ALG_SKIPJACK}) {
    SCOPED_TRACE(text);
    PKIOBJECT_ID* oid = sm_StringToOID(text, ctx());
    ASSERT_NE(oid, nullptr);
    EXPECT_EQ(Of(*oid), OpensslOid(text));
    char* back = sm_OIDToString(oid, ctx());
    EXPECT_STREQ(back, text);
    ostrak::asn::Deallocate(ctx(), back);
    PKIFreeVariableBlock(ctx(), oid);
  }
  // Texts that give an empty block, and texts refused.
  for (const char* text : {"", "1", "7"}) {
    PKIOBJECT_ID* oid = sm_StringToOID(text, ctx());
    ASSERT_NE(oid, nullptr) << text;
    EXPECT_EQ(oid->length, 0u) << text;
    PKIFreeVariableBlock(ctx(), oid);
  }
  for (const char* text : {"1.2.18446744073709551616", "1.2.x", "1..2", "1.2.", ".1.2", "1.-2", "1.2 ",
                           "461168601842738791.0"}) {
    EXPECT_EQ(sm_StringToOID(text, ctx()), nullptr) << text;
  }
  EXPECT_EQ(sm_StringToOID(nullptr, ctx()), nullptr);
  // Content octets refused: empty, a subidentifier that does not end, one
  // with a padding byte, one past 64 bits.
  for (const char* hex : {"", "2A 86", "2A 80 01", "2A 82 80 80 80 80 80 80 80 80 00", "80 01"}) {
    Bytes b = Hex(hex);
    PKIOBJECT_ID oid{static_cast<uint32_t>(b.size()), b.empty() ? nullptr : b.data()};
    EXPECT_EQ(sm_OIDToString(&oid, ctx()), nullptr) << hex;
  }
  // Classifiers.
  const char* types[] = {"2A 86 48 86 F7 0D 01 07 01", "2A 86 48 86 F7 0D 01 07 02", "2A 86 48 86 F7 0D 01 07 03",
                         "2A 86 48 86 F7 0D 01 07 06", "2A 86 48 86 F7 0D 01 07 04", "2A 86 48 86 F7 0D 01 07",
                         "2A 86 48 86 F7 0D 01 07 01 00"};
  const int expected[] = {0, 1, 2, 3, -1, -1, -1};
  for (size_t i = 0; i < std::size(types); ++i) {
    Bytes b = Hex(types[i]);
    PKIOBJECT_ID oid{static_cast<uint32_t>(b.size()), b.data()};
    EXPECT_EQ(sm_ContentType(&oid), expected[i]) << types[i];
    PKIContentInfo info{oid, nullptr};
    EXPECT_EQ(sm_MessageType(&info), expected[i]);
  }
  EXPECT_EQ(sm_ContentType(nullptr), -1);
  EXPECT_EQ(sm_MessageType(nullptr), -1);
  // sm_CompareOID: equal bytes of different lengths differ.
  Bytes a = Hex("2A 03 04"), b = Hex("2A 03 04 05");
  PKIOBJECT_ID oa{3, a.data()}, ob{3, b.data()}, oc{4, b.data()};
  EXPECT_EQ(sm_CompareOID(&oa, &ob), 0);
  EXPECT_EQ(sm_CompareOID(&oa, &oc), -10);
  EXPECT_EQ(sm_CompareOID(&oa, nullptr), -10);
}

// A signingTime attribute for the caller's attribute list.
PKIAttributes* CallerAttributes(PKICONTEXT* ctx) {
  Bytes der = Hex(
      "31 1E 30 1C 06 09 2A 86 48 86 F7 0D 01 09 05 31 0F 17 0D 32 34 30 31 30 32 30 33 30 34 30 35 5A");
  PKIAttributes* attrs = nullptr;
  int32_t err = 0;
  PKIUnpackAttributes(ctx, &attrs, der.data(), static_cast<uint32_t>(der.size()), &err);
  return attrs;
}

TEST_F(SmTest, SignedMessagesVerifyWithOpenssl) {
  const Bytes content = PkcsFile("content.bin");
  pkitest::TempDir dir;
  SMCertificateList second{recipient_, nullptr};
  SMCertificateList list{signer_, &second};
  struct Case {
    const char* name;
    const char* digest;
    bool attributes;
    bool certificates;
  } const cases[] = {
      {"SHA-1, no attributes", SM_OID_ALG_SHA, false, true},
      {"SHA-1, a caller attribute", SM_OID_ALG_SHA, true, true},
      {"MD5, no attributes", SM_OID_ALG_MD5, false, true},
      {"MD5, a caller attribute, no certificates", SM_OID_ALG_MD5, true, false},
  };
  WritePem(dir, "signer");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PKIAttributes* attrs = c.attributes ? CallerAttributes(ctx()) : nullptr;
    uint8_t* out = nullptr;
    uint32_t length = 0;
    crypto_.digestCalls = crypto_.signCalls = 0;
    const Bytes null = Hex("05 00");
    int rc = sm_SignMessage(&out, &length, content.data(), static_cast<uint32_t>(content.size()), 0,
                            SM_OID_CONTENT_DATA, c.digest, null.data(), 2, SM_OID_ALG_RSA, null.data(), 2, signer_,
                            attrs, c.certificates ? &list : nullptr, smtest::Digest, &crypto_, smtest::Sign,
                            &crypto_, ctx());
    PKIFreeAttributes(ctx(), attrs);
    ASSERT_EQ(rc, 0);
    Bytes message = Take(out, length);
    EXPECT_EQ(crypto_.digestCalls, c.attributes ? 1 : 0);
    EXPECT_EQ(crypto_.signCalls, 1);
    if (!c.attributes) {
      EXPECT_EQ(crypto_.lastSigned, content) << "signed over the content itself";
    }

    dir.Write("signed.der", message);
    Openssl("cms -verify -inform DER -noverify -binary -in " + dir.Path("signed.der") + " -out " +
            dir.Path("verified.bin") + (c.certificates ? "" : " -certfile " + dir.Path("signer.pem")));
    EXPECT_EQ(dir.Read("verified.bin"), content);

    PKISignedData* sd = SignedDataOf(message);
    ASSERT_NE(sd, nullptr);
    EXPECT_EQ(ToHex(Of(sd->version)), "01");
    ASSERT_EQ(sd->signerInfos.count, 1);
    PKISignerInfo* si = sd->signerInfos.elements[0];
    if (c.attributes) {
      ASSERT_NE(si->authenticatedAttributes, nullptr);
      // contentType, messageDigest and the caller's, written in DER order.
      EXPECT_EQ(si->authenticatedAttributes->count, 3);
      Bytes set(PKISizeofAttributes(ctx(), si->authenticatedAttributes, 1));
      int32_t err = 0;
      PKIPackAttributes(ctx(), set.data(), static_cast<uint32_t>(set.size()), si->authenticatedAttributes, &err);
      EXPECT_EQ(crypto_.lastSigned, set) << "signed over the DER SET";
    } else {
      EXPECT_EQ(si->authenticatedAttributes, nullptr);
    }
    EXPECT_EQ(sd->certificates != nullptr ? sd->certificates->count : 0, c.certificates ? 2 : 0);
    Bytes handed;
    EXPECT_EQ(VerifyWith(sd, signer_, &handed), 0);
    EXPECT_EQ(handed, content);
    PKIFreeSignedData(ctx(), sd);
  }
}

TEST_F(SmTest, SignedContentOfAnotherTypeIsVersion3) {
  const Bytes content = PkcsFile("content.bin");
  uint8_t* out = nullptr;
  uint32_t length = 0;
  // The inner content: a bare SignedData of the content.
  ASSERT_EQ(sm_SignMessage(&out, &length, content.data(), static_cast<uint32_t>(content.size()), 1,
                           SM_OID_CONTENT_DATA, SM_OID_ALG_SHA, nullptr, 0, SM_OID_ALG_RSA, nullptr, 0, signer_,
                           nullptr, nullptr, smtest::Digest, &crypto_, smtest::Sign, &crypto_, ctx()),
            0);
  Bytes inner = Take(out, length);
  PKISignedData* bare = sm_DecodeSignedData(inner.data(), static_cast<uint32_t>(inner.size()), ctx());
  ASSERT_NE(bare, nullptr) << "the raw flag gives the SignedData alone";
  PKIFreeSignedData(ctx(), bare);
  EXPECT_EQ(sm_DecodeMessage(inner.data(), static_cast<uint32_t>(inner.size()), ctx()), nullptr);

  crypto_.digestCalls = 0;
  ASSERT_EQ(sm_SignMessage(&out, &length, inner.data(), static_cast<uint32_t>(inner.size()), 0,
                           SM_OID_CONTENT_SIGNED_DATA, SM_OID_ALG_SHA, nullptr, 0, SM_OID_ALG_RSA, nullptr, 0, signer_,
                           nullptr, nullptr, smtest::Digest, &crypto_, smtest::Sign, &crypto_, ctx()),
            0);
  Bytes message = Take(out, length);
  EXPECT_EQ(crypto_.digestCalls, 1) << "attributes are made for any type but data";
  PKISignedData* sd = SignedDataOf(message);
  ASSERT_NE(sd, nullptr);
  EXPECT_EQ(ToHex(Of(sd->version)), "03");
  ASSERT_NE(sd->contentInfo.content, nullptr);
  EXPECT_EQ(Of(*sd->contentInfo.content), inner) << "stored unchanged";
  // The messageDigest covers the contents octets only.
  Bytes octets(inner.begin() + 4, inner.end());
  ASSERT_EQ(inner[1], 0x82);
  Bytes digest = smtest::DigestOf(toolkit_.context(), SM_OID_ALG_SHA, octets);
  PKIAttributes* attrs = sd->signerInfos.elements[0]->authenticatedAttributes;
  ASSERT_NE(attrs, nullptr);
  ASSERT_EQ(attrs->count, 2);
  bool found = false;
  for (int32_t i = 0; i < attrs->count; ++i) {
    Bytes value = Of(*attrs->elements[i]->values.elements[0]);
    if (value.size() == 22) {
      EXPECT_EQ(Bytes(value.begin() + 2, value.end()), digest);
      found = true;
    }
  }
  EXPECT_TRUE(found);
  Bytes handed;
  EXPECT_EQ(VerifyWith(sd, signer_, &handed), 0) << "our verification of the version-3 form";
  EXPECT_EQ(handed, inner) << "the whole element is handed out";
  PKIFreeSignedData(ctx(), sd);
  // Content that is not one element.
  Bytes cut(inner.begin(), inner.end() - 1);
  EXPECT_EQ(sm_SignMessage(&out, &length, cut.data(), static_cast<uint32_t>(cut.size()), 0,
                           SM_OID_CONTENT_SIGNED_DATA, SM_OID_ALG_SHA, nullptr, 0, SM_OID_ALG_RSA, nullptr, 0, signer_,
                           nullptr, nullptr, smtest::Digest, &crypto_, smtest::Sign, &crypto_, ctx()),
            -8);
  EXPECT_EQ(out, nullptr);
}

TEST_F(SmTest, SignFailures) {
  const Bytes content = PkcsFile("content.bin");
  uint8_t* out = nullptr;
  uint32_t length = 0;
  auto sign = [&](const char* digest, PKIAttributes* attrs, SMDigestCallback d, SMSignCallback s) {
    return sm_SignMessage(&out, &length, content.data(), static_cast<uint32_t>(content.size()), 0,
                          SM_OID_CONTENT_DATA, digest, nullptr, 0, SM_OID_ALG_RSA, nullptr, 0, signer_, attrs, nullptr,
                          d, &crypto_, s, &crypto_, ctx());
  };
  // A callback's code comes back unchanged.
  PKIAttributes* attrs = CallerAttributes(ctx());
  EXPECT_EQ(sign("1.2.3", attrs, smtest::Digest, smtest::Sign), -2);
  EXPECT_EQ(sign("1.2.3", nullptr, smtest::Digest, smtest::Sign), -2);
  // The same attribute twice cannot be encoded.
  ASSERT_EQ(PKIAddOfElement(ctx(), attrs->elements[0], attrs), 0);
  EXPECT_EQ(sign(SM_OID_ALG_SHA, attrs, smtest::Digest, smtest::Sign), -9);
  attrs->count = 1;
  PKIFreeAttributes(ctx(), attrs);
  // An OID text that is no OID, and missing arguments.
  EXPECT_EQ(sign("not.an.oid", nullptr, smtest::Digest, smtest::Sign), -1);
  EXPECT_EQ(sign(SM_OID_ALG_SHA, nullptr, smtest::Digest, nullptr), -1);
  EXPECT_EQ(sm_SignMessage(&out, &length, content.data(), 1, 0, SM_OID_CONTENT_DATA, SM_OID_ALG_SHA, nullptr, 0,
                           SM_OID_ALG_RSA, nullptr, 0, nullptr, nullptr, nullptr, smtest::Digest, &crypto_,
                           smtest::Sign, &crypto_, ctx()),
            -1);
  // Parameters that are not one element.
  const Bytes bad = Hex("05 01");
  EXPECT_EQ(sm_SignMessage(&out, &length, content.data(), 1, 0, SM_OID_CONTENT_DATA, SM_OID_ALG_SHA, bad.data(), 2,
                           SM_OID_ALG_RSA, nullptr, 0, signer_, nullptr, nullptr, smtest::Digest, &crypto_,
                           smtest::Sign, &crypto_, ctx()),
            -1);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(length, 0u);
}

TEST_F(SmTest, EnvelopedMessagesOpenWithOpenssl) {
  const Bytes content = PkcsFile("content.bin");
  SMRecipient r1{signer_, nullptr, nullptr, nullptr, 0}, r2{recipient_, nullptr, nullptr, nullptr, 0};
  SMRecipientList second{&r2, nullptr};
  SMRecipientList list{&r1, &second};
  uint8_t* out = nullptr;
  uint32_t length = 0;
  ASSERT_EQ(sm_EncryptMessage(&out, &length, content.data(), static_cast<uint32_t>(content.size()), 0,
                              SM_OID_CONTENT_DATA, SM_OID_ALG_3DES, &list, smtest::Encrypt, &crypto_, ctx()),
            0);
  Bytes message = Take(out, length);
  EXPECT_EQ(r1.encryptedKey, nullptr) << "released";
  EXPECT_EQ(r2.keyEncryptionAlgorithm, nullptr) << "released";
  pkitest::TempDir dir;
  dir.Write("enveloped.der", message);
  for (const char* who : {"signer", "recip"}) {
    SCOPED_TRACE(who);
    WritePem(dir, who);
    std::string w(who);
    Openssl("cms -decrypt -inform DER -binary -in " + dir.Path("enveloped.der") + " -recip " + dir.Path(w + ".pem") +
            " -inkey " + dir.Path(w + ".key") + " -out " + dir.Path(w + ".bin"));
    EXPECT_EQ(dir.Read(w + ".bin"), content);
  }

  PKIContentInfo* ci = sm_DecodeMessage(message.data(), static_cast<uint32_t>(message.size()), ctx());
  ASSERT_NE(ci, nullptr);
  EXPECT_EQ(sm_MessageType(ci), 2);
  PKIEnvelopedData* ed = sm_DecodeEnvelopedData(ci->content->bytes, ci->content->length, ctx());
  PKIFreeContentInfo(ctx(), ci);
  ASSERT_NE(ed, nullptr);
  EXPECT_EQ(ToHex(Of(ed->version)), "00");
  ASSERT_EQ(ed->recipientInfos.count, 2);
  for (int32_t i = 0; i < 2; ++i) {
    EXPECT_EQ(ed->recipientInfos.elements[i]->keyEncryptionAlgorithm.parameters, nullptr)
        << "written without parameters";
  }
  // In DER order, and either certificate finds its own.
  int signerAt = sm_CertIsRecipient(signer_, ed, ctx()), recipientAt = sm_CertIsRecipient(recipient_, ed, ctx());
  EXPECT_EQ(signerAt + recipientAt, 1);
  EXPECT_NE(signerAt, recipientAt);
  EXPECT_EQ(sm_CertIsRecipient(nullptr, ed, ctx()), 0);
  PKICertificate* stranger = Certificate("cert_rsa.der");
  EXPECT_EQ(sm_CertIsRecipient(stranger, ed, ctx()), -1);
  // Both open it with our callbacks too.
  for (auto [cert, key] : {std::pair{signer_, signerKey_.secret()}, std::pair{recipient_, recipientKey_.secret()}}) {
    crypto_.key = key;
    uint32_t n = 0;
    ASSERT_EQ(sm_DecryptMessage(&out, &n, ed, cert, smtest::Decrypt, &crypto_, ctx()), 0);
    EXPECT_EQ(Take(out, n), content);
  }
  crypto_.decryptCalls = 0;
  EXPECT_EQ(sm_DecryptMessage(&out, &length, ed, stranger, smtest::Decrypt, &crypto_, ctx()), -1);
  EXPECT_EQ(crypto_.decryptCalls, 0);
  PKIFreeCertificate(ctx(), stranger);
  PKIFreeEnvelopedData(ctx(), ed);

  // The raw flag; an encrypt callback leaving the parameters empty; one
  // that fails.
  auto noParameters = [](PKIOCTET_STRING* sealed, PKIANY*, const char*, const uint8_t* data, uint32_t n,
                         SMRecipientList*, void*, PKICONTEXT* c) {
    return PKIPutOctVal(c, sealed, data, n) == 0 ? 0 : -5;
  };
  ASSERT_EQ(sm_EncryptMessage(&out, &length, content.data(), 4, 1, SM_OID_CONTENT_DATA, SM_OID_ALG_DES, nullptr,
                              noParameters, nullptr, ctx()),
            0);
  message = Take(out, length);
  ed = sm_DecodeEnvelopedData(message.data(), static_cast<uint32_t>(message.size()), ctx());
  ASSERT_NE(ed, nullptr);
  EXPECT_EQ(ed->encryptedContentInfo.contentEncryptionAlgorithm.parameters, nullptr);
  EXPECT_EQ(ed->recipientInfos.count, 0);
  EXPECT_EQ(sm_CertIsRecipient(nullptr, ed, ctx()), -1);
  EXPECT_EQ(sm_DecryptMessage(&out, &length, ed, nullptr, smtest::Decrypt, &crypto_, ctx()), -1);
  PKIFreeEnvelopedData(ctx(), ed);
  auto fails = [](PKIOCTET_STRING*, PKIANY*, const char*, const uint8_t*, uint32_t, SMRecipientList*, void*,
                  PKICONTEXT*) { return -5; };
  EXPECT_EQ(sm_EncryptMessage(&out, &length, content.data(), 4, 0, SM_OID_CONTENT_DATA, SM_OID_ALG_3DES, &list,
                              fails, nullptr, ctx()),
            -5);
  EXPECT_EQ(out, nullptr);
}

TEST_F(SmTest, OpensslEnvelopeOpens) {
  const Bytes content = PkcsFile("content.bin");
  Bytes message = PkcsFile("cms_encrypt_des3.der");
  PKIContentInfo* ci = sm_DecodeMessage(message.data(), static_cast<uint32_t>(message.size()), ctx());
  ASSERT_NE(ci, nullptr);
  ASSERT_EQ(sm_MessageType(ci), 2);
  PKIEnvelopedData* ed = sm_DecodeEnvelopedData(ci->content->bytes, ci->content->length, ctx());
  PKIFreeContentInfo(ctx(), ci);
  ASSERT_NE(ed, nullptr);
  for (auto [cert, key] : {std::pair{signer_, signerKey_.secret()}, std::pair{recipient_, recipientKey_.secret()}}) {
    crypto_.key = key;
    uint8_t* out = nullptr;
    uint32_t n = 0;
    EXPECT_EQ(sm_DecryptMessage(&out, &n, ed, cert, smtest::Decrypt, &crypto_, ctx()), 0);
    EXPECT_EQ(Take(out, n), content);
  }
  PKIFreeEnvelopedData(ctx(), ed);
  // Decoders give null for what is not theirs.
  EXPECT_EQ(sm_DecodeSignedData(message.data(), static_cast<uint32_t>(message.size() - 1), ctx()), nullptr);
  EXPECT_EQ(sm_DecodeMessage(Hex("31 00").data(), 2, ctx()), nullptr);
  EXPECT_EQ(sm_DecodeEnvelopedData(nullptr, 0, ctx()), nullptr);
}

TEST_F(SmTest, OpensslSignaturesVerify) {
  const Bytes content = PkcsFile("content.bin");
  struct Case {
    const char* file;
    bool attributes;
  } const cases[] = {
      {"cms_sign_sha1.der", true},   {"cms_sign_sha1_noattr.der", false}, {"cms_sign_md5.der", true},
      {"cms_sign_md5_noattr.der", false}, {"cms_sign_certfile.der", true}, {"cms_sign_stream.der", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Bytes message = PkcsFile(c.file);
    PKISignedData* sd = SignedDataOf(message);
    ASSERT_NE(sd, nullptr);
    crypto_.digestCalls = crypto_.verifyCalls = 0;
    Bytes handed;
    EXPECT_EQ(VerifyWith(sd, signer_, &handed), 0);
    EXPECT_EQ(handed, content);
    EXPECT_EQ(crypto_.digestCalls, c.attributes ? 1 : 0);
    EXPECT_EQ(crypto_.verifyCalls, 1);
    if (!c.attributes) {
      EXPECT_EQ(crypto_.lastVerified, content);
    }
    // Not the signer.
    EXPECT_EQ(VerifyWith(sd, recipient_, &handed), -1);
    EXPECT_TRUE(handed.empty()) << "nothing handed out";
    // No certificate: no check, the content all the same.
    crypto_.digestCalls = crypto_.verifyCalls = 0;
    EXPECT_EQ(VerifyWith(sd, nullptr, &handed), 0);
    EXPECT_EQ(handed, content);
    EXPECT_EQ(crypto_.digestCalls + crypto_.verifyCalls, 0);
    // A changed signature: the verify callback's code, and the content.
    sd->signerInfos.elements[0]->encryptedDigest.bytes[10] ^= 1;
    EXPECT_EQ(VerifyWith(sd, signer_, &handed), -3);
    EXPECT_EQ(handed, content);
    PKIFreeSignedData(ctx(), sd);
  }
  // A changed content byte: -13 under signed attributes (nothing handed
  // out), the verify callback's code without.
  for (const char* file : {"cms_sign_sha1.der", "cms_sign_md5_noattr.der", "cms_sign_stream.der"}) {
    SCOPED_TRACE(file);
    Bytes message = PkcsFile(file);
    size_t at = message.size();
    for (size_t i = 0; i + 11 <= message.size(); ++i)
      if (std::memcmp(&message[i], "quick brown", 11) == 0) at = i;
    ASSERT_LT(at, message.size());
    message[at] = 'Q';
    PKISignedData* sd = SignedDataOf(message);
    ASSERT_NE(sd, nullptr);
    Bytes handed;
    bool attributes = std::string(file).find("noattr") == std::string::npos;
    EXPECT_EQ(VerifyWith(sd, signer_, &handed), attributes ? -13 : -3);
    EXPECT_EQ(handed.empty(), attributes);
    PKIFreeSignedData(ctx(), sd);
  }
  // crl2pkcs7: no signer infos.
  PKISignedData* sd = SignedDataOf(PkcsFile("crl2pkcs7.der"));
  ASSERT_NE(sd, nullptr);
  Bytes handed;
  EXPECT_EQ(VerifyWith(sd, signer_, &handed), -1);
  EXPECT_EQ(VerifyWith(sd, nullptr, &handed), 0);
  EXPECT_TRUE(handed.empty()) << "no content, nothing handed out";
  PKIFreeSignedData(ctx(), sd);
}

// Callbacks whose behaviour a test sets.
struct Fake {
  Bytes digest;
  int digestResult = 0, verifyResult = 0;
  int digestCalls = 0, verifyCalls = 0;
  Bytes verified;
};
int FakeDigest(PKIVariableBlock* out, const char*, const uint8_t*, uint32_t, void* data, PKICONTEXT* ctx) {
  auto* f = static_cast<Fake*>(data);
  ++f->digestCalls;
  if (f->digestResult != 0) return f->digestResult;
  return PKIPutOctVal(ctx, out, f->digest.data(), static_cast<uint32_t>(f->digest.size()));
}
int FakeVerify(const uint8_t* data, uint32_t length, const char*, const char*, PKIOCTET_STRING*, PKICertificate*,
               void* fake, PKICONTEXT*) {
  auto* f = static_cast<Fake*>(fake);
  ++f->verifyCalls;
  f->verified.assign(data, data + length);
  return f->verifyResult;
}

TEST_F(SmTest, VerificationSteps) {
  const Bytes content = PkcsFile("content.bin");
  auto verify = [&](PKISignedData* sd, Fake* f, Bytes* handed) {
    uint8_t* out = nullptr;
    uint32_t length = 0;
    int rc = sm_VerifyMessage(&out, &length, sd, signer_, FakeDigest, f, FakeVerify, f, ctx());
    *handed = Take(out, length);
    return rc;
  };
  Bytes handed;
  // The messageDigest attribute of openssl's SHA-1 signature.
  PKISignedData* sd = SignedDataOf(PkcsFile("cms_sign_sha1.der"));
  ASSERT_NE(sd, nullptr);
  PKIAttributes* attrs = sd->signerInfos.elements[0]->authenticatedAttributes;
  int md = -1;
  for (int32_t i = 0; i < attrs->count; ++i)
    if (ToHex(Of(attrs->elements[i]->type)) == "2A 86 48 86 F7 0D 01 09 04") md = i;
  ASSERT_GE(md, 0);
  Bytes sha1 = smtest::DigestOf(toolkit_.context(), SM_OID_ALG_SHA, content);
  {
    Fake f;
    f.digest = sha1;
    EXPECT_EQ(verify(sd, &f, &handed), 0);
    Bytes set(PKISizeofAttributes(ctx(), attrs, 1));
    int32_t err = 0;
    PKIPackAttributes(ctx(), set.data(), static_cast<uint32_t>(set.size()), attrs, &err);
    EXPECT_EQ(f.verified, set) << "the attributes' DER SET is verified";
    EXPECT_EQ(f.verified[0], 0x31);
  }
  {
    Fake f;  // 16 bytes computed, 20 in the attribute
    f.digest = Bytes(sha1.begin(), sha1.begin() + 16);
    EXPECT_EQ(verify(sd, &f, &handed), -13);
    EXPECT_EQ(f.verifyCalls, 0);
    EXPECT_TRUE(handed.empty());
  }
  {
    Fake f;
    f.digestResult = -7;
    EXPECT_EQ(verify(sd, &f, &handed), -7) << "the hash callback's code";
    EXPECT_TRUE(handed.empty());
  }
  {
    Fake f;
    f.digest = sha1;
    f.verifyResult = -42;
    EXPECT_EQ(verify(sd, &f, &handed), -42) << "the verify callback's code";
    EXPECT_EQ(handed, content) << "and the content all the same";
  }
  // A messageDigest that is no OCTET STRING, one without values, none.
  PKIAttribute* digestAttr = attrs->elements[md];
  PKIANY* value = digestAttr->values.elements[0];
  Bytes saved = Of(*value);
  ASSERT_EQ(PKIPutOctVal(ctx(), value, Hex("02 01 05").data(), 3), 0);
  {
    Fake f;
    f.digest = sha1;
    EXPECT_EQ(verify(sd, &f, &handed), -11);
    EXPECT_EQ(f.digestCalls, 0);
  }
  ASSERT_EQ(PKIPutOctVal(ctx(), value, saved.data(), static_cast<uint32_t>(saved.size())), 0);
  digestAttr->values.count = 0;
  {
    Fake f;
    EXPECT_EQ(verify(sd, &f, &handed), -11);
  }
  digestAttr->values.count = 1;
  digestAttr->type.bytes[digestAttr->type.length - 1] = 0x05;  // signingTime's number
  {
    Fake f;
    EXPECT_EQ(verify(sd, &f, &handed), -12);
    EXPECT_EQ(f.digestCalls, 0);
    EXPECT_TRUE(handed.empty());
  }
  digestAttr->type.bytes[digestAttr->type.length - 1] = 0x04;
  // Two signer infos of which the second matches: the second is verified.
  PKISignerInfos& infos = sd->signerInfos;
  PKISignerInfo* other = PKINewSignerInfo(ctx());
  ASSERT_EQ(PKIPutIntVal(ctx(), &other->issuerAndSerialNumber.serialNumber, 99), 0);
  ASSERT_EQ(PKIAddOfElement(ctx(), other, &infos), 0);
  std::swap(infos.elements[0], infos.elements[1]);
  {
    Fake f;
    f.digest = sha1;
    EXPECT_EQ(verify(sd, &f, &handed), 0);
    EXPECT_EQ(f.verifyCalls, 1);
  }
  // Content whose data type does not decode as an OCTET STRING: -1,
  // nothing handed out, also without a certificate.
  PKIANY* stored = sd->contentInfo.content;
  ASSERT_EQ(PKIPutOctVal(ctx(), stored, Hex("30 03 04 01 41").data(), 5), 0);
  {
    Fake f;
    f.digest = sha1;
    EXPECT_EQ(verify(sd, &f, &handed), -1);
    uint8_t* out = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(sm_VerifyMessage(&out, &length, sd, nullptr, nullptr, nullptr, nullptr, nullptr, ctx()), -1);
    EXPECT_EQ(out, nullptr);
  }
  // A content type other than data hands out the whole element; an
  // indefinite one has its octets up to the end-of-contents pair; a length
  // that runs past the stored element is refused.
  sd->contentInfo.contentType.bytes[8] = 0x07;  // 1.2.840.113549.1.7.7
  Bytes indefinite = Hex("30 80 04 01 41 00 00");
  ASSERT_EQ(PKIPutOctVal(ctx(), stored, indefinite.data(), 7), 0);
  {
    Fake f;
    f.digest = smtest::DigestOf(toolkit_.context(), SM_OID_ALG_SHA, Hex("04 01 41"));
    ASSERT_EQ(PKIPutOctVal(ctx(), value, Concat({Hex("04 14"), f.digest}).data(), 22), 0);
    EXPECT_EQ(verify(sd, &f, &handed), 0) << "the digest of 04 01 41";
    EXPECT_EQ(handed, indefinite);
  }
  for (const char* hex : {"30 85 01 02 03 04 05", "30 05 04 01 41", "30 80 04 01 41 00 01", "30 80 00"}) {
    Bytes element = Hex(hex);
    ASSERT_EQ(PKIPutOctVal(ctx(), stored, element.data(), static_cast<uint32_t>(element.size())), 0);
    uint8_t* out = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(sm_VerifyMessage(&out, &length, sd, nullptr, nullptr, nullptr, nullptr, nullptr, ctx()), -1) << hex;
    EXPECT_EQ(out, nullptr);
  }
  // Without content: verified as over empty content, nothing handed out.
  PKIFreeVariableBlock(ctx(), sd->contentInfo.content);
  sd->contentInfo.content = nullptr;
  {
    Fake f;
    f.digest = smtest::DigestOf(toolkit_.context(), SM_OID_ALG_SHA, {});
    ASSERT_EQ(PKIPutOctVal(ctx(), value, Concat({Hex("04 14"), f.digest}).data(), 22), 0);
    EXPECT_EQ(verify(sd, &f, &handed), 0);
    EXPECT_TRUE(handed.empty());
  }
  PKIFreeSignedData(ctx(), sd);
  // Without attributes the content octets go to the verify callback and
  // the hash callback is not called.
  sd = SignedDataOf(PkcsFile("cms_sign_md5_noattr.der"));
  ASSERT_NE(sd, nullptr);
  {
    Fake f;
    EXPECT_EQ(verify(sd, &f, &handed), 0);
    EXPECT_EQ(f.digestCalls, 0);
    EXPECT_EQ(f.verified, content);
  }
  PKIFreeSignedData(ctx(), sd);
}

// Runs `op` with the memory manager refusing the n-th allocation on, for
// every n until it succeeds: every failure leaves nothing allocated.
template <class Op>
void FailEveryAllocation(pkitest::CountingContext& mem, Op op, const char* what) {
  long before = mem.live();
  for (long n = 0;; ++n) {
    mem.counter().FailAfter(n);
    int rc = op();
    mem.counter().FailAfter(-1);
    ASSERT_EQ(mem.live(), before) << what << ": blocks left after failing allocation " << n;
    if (rc == 0) break;
    ASSERT_LT(n, 2000) << what << " never succeeds";
  }
}

TEST_F(SmTest, EveryAllocationFailureIsReported) {
  const Bytes content = PkcsFile("content.bin");
  SMCertificateList list{signer_, nullptr};
  Bytes signedMessage;
  FailEveryAllocation(
      mem_,
      [&] {
        PKIAttributes* attrs = CallerAttributes(ctx());
        if (attrs == nullptr) return -1;
        uint8_t* out = nullptr;
        uint32_t length = 0;
        int rc = sm_SignMessage(&out, &length, content.data(), static_cast<uint32_t>(content.size()), 0,
                                SM_OID_CONTENT_DATA, SM_OID_ALG_SHA, nullptr, 0, SM_OID_ALG_RSA, nullptr, 0, signer_,
                                attrs, &list, smtest::Digest, &crypto_, smtest::Sign, &crypto_, ctx());
        PKIFreeAttributes(ctx(), attrs);
        if (rc == 0) {
          signedMessage = Take(out, length);
        } else {
          EXPECT_EQ(out, nullptr);
        }
        return rc;
      },
      "sm_SignMessage");
  PKISignedData* made = SignedDataOf(signedMessage);
  ASSERT_NE(made, nullptr);
  Bytes handed;
  EXPECT_EQ(VerifyWith(made, signer_, &handed), 0);
  EXPECT_EQ(handed, content);
  PKIFreeSignedData(ctx(), made);
  SMRecipient r{recipient_, nullptr, nullptr, nullptr, 0};
  SMRecipientList recipients{&r, nullptr};
  Bytes enveloped;
  FailEveryAllocation(
      mem_,
      [&] {
        uint8_t* out = nullptr;
        uint32_t length = 0;
        int rc = sm_EncryptMessage(&out, &length, content.data(), static_cast<uint32_t>(content.size()), 1,
                                   SM_OID_CONTENT_DATA, SM_OID_ALG_3DES, &recipients, smtest::Encrypt, &crypto_,
                                   ctx());
        if (rc == 0) enveloped = Take(out, length);
        return rc;
      },
      "sm_EncryptMessage");
  PKIEnvelopedData* ed = sm_DecodeEnvelopedData(enveloped.data(), static_cast<uint32_t>(enveloped.size()), ctx());
  ASSERT_NE(ed, nullptr);
  crypto_.key = recipientKey_.secret();
  FailEveryAllocation(
      mem_,
      [&] {
        uint8_t* out = nullptr;
        uint32_t length = 0;
        int rc = sm_DecryptMessage(&out, &length, ed, recipient_, smtest::Decrypt, &crypto_, ctx());
        Bytes opened = Take(out, length);
        if (rc == 0) {
          EXPECT_EQ(opened, content);
        }
        return rc;
      },
      "sm_DecryptMessage");
  PKIFreeEnvelopedData(ctx(), ed);
  Bytes message = PkcsFile("cms_sign_stream.der");
  FailEveryAllocation(
      mem_,
      [&] {
        PKISignedData* sd = SignedDataOf(message);
        if (sd == nullptr) return -1;
        Bytes handed;
        int rc = VerifyWith(sd, signer_, &handed);
        PKIFreeSignedData(ctx(), sd);
        if (rc == 0) {
          EXPECT_EQ(handed, content);
        }
        return rc;
      },
      "sm_VerifyMessage");
  FailEveryAllocation(
      mem_,
      [&] {
        PKIOBJECT_ID* oid = sm_StringToOID(SM_OID_ALG_KEA, ctx());
        if (oid == nullptr) return -1;
        char* text = sm_OIDToString(oid, ctx());
        PKIFreeVariableBlock(ctx(), oid);
        if (text == nullptr) return -1;
        EXPECT_STREQ(text, SM_OID_ALG_KEA);
        ostrak::asn::Deallocate(ctx(), text);
        return 0;
      },
      "OID conversions");
}

}  // namespace
