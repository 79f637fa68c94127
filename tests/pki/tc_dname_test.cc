// The toolkit context and distinguished names: the context's life cycle,
// the DN text form read and written (edge cases as tables), keywords,
// copies and single values; against openssl, DN text equals `openssl x509
// -subject -nameopt RFC2253` and parsed names equal the DER of `openssl req
// -subj ... -multivalue-rdn`. Mended: an AVA value header that claims more
// than the value holds is refused (-10) instead of copied from beyond it;
// a dotted type's arcs are read up to 64 bits into a text of its own size.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/pki/tc_test_support.h"

namespace {

using namespace tctest;
using pkitest::Hex;

class DNameTest : public ToolkitTest {
 protected:
  // The name as text, or the error as "error N".
  std::string Text(PKIName* name) {
    char* text = nullptr;
    int32_t e = tc_extract_dname_string(&text, name, ctx());
    if (e != kTCErrNone) {
      EXPECT_EQ(text, nullptr);
      return "error " + std::to_string(e);
    }
    std::string s(text);
    ctx()->memMgr->deallocate(ctx()->memMgr, text);
    return s;
  }
  // Parses into a new name; the code.
  int32_t Parse(const char* text, PKIName** out) {
    EXPECT_EQ(tc_create_dname(out, ctx()), kTCErrNone);
    Keep(*out);
    return tc_make_dname_fromstring(*out, text, ctx());
  }
  static PKIRDNSequence* Seq(PKIName* n) { return static_cast<PKIRDNSequence*>(n->value); }
  // The DER of a name.
  Bytes NameDer(PKIName* name) {
    Bytes out(PKISizeofName(ctx()->certCtx, name, 1));
    int32_t err = 0;
    EXPECT_EQ(PKIPackName(ctx()->certCtx, out.data(), static_cast<uint32_t>(out.size()), name, &err), out.size());
    EXPECT_EQ(err, 0);
    return out;
  }
};

TEST_F(DNameTest, ContextLifeCycleLeavesNothingBehindAtAnyAllocationFailure) {
  TC_CONTEXT* c = nullptr;
  EXPECT_EQ(tc_init_context(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), kTCErrInvalidArgs);
  PKIMemoryMgr incomplete = *ctx()->memMgr;
  incomplete.reallocate = nullptr;
  EXPECT_EQ(tc_init_context(&c, &incomplete, nullptr, nullptr, nullptr, nullptr), kTCErrInvalidArgs);
  EXPECT_EQ(c, nullptr);
  EXPECT_EQ(tc_free_context(nullptr), kTCErrInvalidArgs);
  // The default manager when none is given.
  ASSERT_EQ(tc_init_context(&c, nullptr, nullptr, nullptr, nullptr, nullptr), kTCErrNone);
  EXPECT_EQ(c->memMgr, &PKIdefaultMemoryMgrStruct);
  EXPECT_EQ(c->certCtx->reserved, 0u);
  EXPECT_EQ(tc_free_context(c), kTCErrNone);
  // Every allocation of the creation failing in turn: -3, nothing kept.
  const long before = counting().live();
  int32_t e = kTCErrNoMemory;
  for (long budget = 0; e == kTCErrNoMemory; ++budget) {
    counting().counter().FailAfter(budget);
    c = nullptr;
    e = tc_init_context(&c, ctx()->memMgr, nullptr, nullptr, nullptr, nullptr);
    counting().counter().FailAfter(-1);
    if (e == kTCErrNoMemory) {
      EXPECT_EQ(c, nullptr);
      EXPECT_EQ(counting().live(), before) << "budget " << budget;
    }
  }
  ASSERT_EQ(e, kTCErrNone);
  // 30 keywords, the table in reverse; basicConstraints and nameConstraints
  // registered without handler.
  int keywords = 0;
  for (TC_AVATYPE* k = c->avaList; k != nullptr; k = k->next) ++keywords;
  EXPECT_EQ(keywords, 30);
  EXPECT_STREQ(c->avaList->keyword, "unstructuredAddress");
  int handlers = 0;
  for (TC_HANDLER_LIST* h = c->handlerList; h != nullptr; h = h->next, ++handlers) EXPECT_EQ(h->entry->handler, nullptr);
  EXPECT_EQ(handlers, 2);
  EXPECT_EQ(tc_free_context(c), kTCErrNone);
  EXPECT_EQ(counting().live(), before);
}

// Parsed texts, the RDNs as stored (X.501 order, "|" between RDNs) and the
// text written back.
struct ParseCase {
  const char* text;
  int32_t code;
  const char* written;  // null: the same as the text
};

TEST_F(DNameTest, ParsingAndWritingBackTable) {
  const ParseCase cases[] = {
      // Keywords without regard to case; white space around separators and '='.
      {"cn=Jo , o = Acme", 0, "CN=Jo,O=Acme"},
      {"  CN=Jo,O=Acme  ", 0, "CN=Jo,O=Acme"},
      // An escaped comma stays in the value; hex escapes; escaped blanks.
      {"CN=a\\,b,O=x", 0, nullptr},
      {"CN=\\41", 0, "CN=A"},
      {"CN=\\ a\\ ", 0, nullptr},
      {"CN=\\  a \\ ", 0, "CN=\\ \\ a\\ \\ "},
      {"CN=a \\ ", 0, "CN=a\\ \\ "},
      // Multi-valued RDN.
      {"CN=a+OU=b,C=US", 0, nullptr},
      // '#' and the other specials inside a value are escaped on the way out.
      {"emailAddress=a\\#b", 0, nullptr},
      {"emailAddress=x\\;y\\<z\\>\\\"q\\\\\\=", 0, nullptr},
      {"CN=a\\#b", kTCErrPrintableString, nullptr},
      // An escaped backslash does not escape the separator or blank after it.
      {"emailAddress=a\\\\,O=b", 0, nullptr},
      {"emailAddress=a\\\\+OU=b", 0, nullptr},
      {"emailAddress=a\\\\ ,O=b", 0, "emailAddress=a\\\\,O=b"},
      {"emailAddress=a\\\\\\,b", 0, nullptr},
      // White space other than blanks at either end, and NUL, as hex escapes.
      {"emailAddress=\\09a\\0A", 0, "emailAddress=\\09a\\0a"},
      {"emailAddress=a\\00b", 0, nullptr},
      // Dotted types take '#' and a whole DER element.
      {"2.5.4.3=#130141", 0, "CN=A"},
      {"2.5.4.99=#130141", 0, "2.5.4.99=#41"},
      {"CN=", 0, nullptr},
      {"DC=example,DC=com", 0, nullptr},
      {"emailAddress=a@b.c", 0, nullptr},
      // Errors.
      {"CN=a\\", kTCErrNameParse, nullptr},
      {"CN=\\zz", kTCErrNameParse, nullptr},
      {"CN=\\4", kTCErrNameParse, nullptr},
      {"XX=a", kTCErrNameParse, nullptr},
      {"CN", kTCErrNameParse, nullptr},
      {"CN=a,,O=b", kTCErrNameParse, nullptr},
      {",CN=a", kTCErrNameParse, nullptr},
      {"CN=a++OU=b", kTCErrNameParse, nullptr},
      {"2.5.4.3=abc", kTCErrNameParse, nullptr},
      {"2.5.4.3=#", kTCErrNameParse, nullptr},        // lone '#'
      {"2.5.4.3=#13014141", kTCErrNameParse, nullptr},  // more than one element
      {"2.5.4.3=#1302", kTCErrNameParse, nullptr},      // an element cut short
      {"2.5.4.3=#13800401410000", kTCErrNameParse, nullptr},  // indefinite
      {"2.5.4.3=#13zz", kTCErrNameParse, nullptr},
      {"2.99999999999999999999.3=#130141", kTCErrNameParse, nullptr},
      {"C=a@b", kTCErrPrintableString, nullptr},
      {"x121Address=12-3", kTCErrNumericString, nullptr},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.text);
    PKIName* name = nullptr;
    EXPECT_EQ(Parse(c.text, &name), c.code);
    if (c.code != 0) {
      EXPECT_EQ(Seq(name)->count, 0) << "a failed parse leaves the name empty";
      continue;
    }
    EXPECT_EQ(Text(name), c.written != nullptr ? c.written : c.text);
  }
}

TEST_F(DNameTest, StoredOrderValuesAndTags) {
  PKIName* name = nullptr;
  ASSERT_EQ(Parse("CN=a+OU=b,C=US", &name), 0);
  PKIRDNSequence* seq = Seq(name);
  ASSERT_EQ(seq->count, 2);
  // RDN 1 is the country; RDN 2 holds CN and OU (in DER order).
  ASSERT_EQ(seq->elements[0]->count, 1);
  EXPECT_EQ(Bytes(seq->elements[0]->elements[0]->value.bytes, seq->elements[0]->elements[0]->value.bytes + 4),
            Hex("13 02 55 53"));
  EXPECT_EQ(seq->elements[1]->count, 2);
  // A dotted type's value is stored as given; DC and emailAddress are IA5Strings.
  ASSERT_EQ(Parse("2.5.4.3=#130141", &name), 0);
  PKIAttributeTypeAndValue* ava = Seq(name)->elements[0]->elements[0];
  EXPECT_EQ(Bytes(ava->type.bytes, ava->type.bytes + ava->type.length), Hex("55 04 03"));
  EXPECT_EQ(Bytes(ava->value.bytes, ava->value.bytes + ava->value.length), Hex("13 01 41"));
  ASSERT_EQ(Parse("DC=com", &name), 0);
  EXPECT_EQ(Seq(name)->elements[0]->elements[0]->value.bytes[0], kPKITagIA5String);
  // An empty text leaves the name unchanged.
  ASSERT_EQ(Parse("", &name), 0);
  EXPECT_EQ(Seq(name)->count, 0);
  EXPECT_EQ(Text(name), "");
}

TEST_F(DNameTest, ParsingIntoANameThatHoldsRDNsAppendsAndReversesOnlyThose) {
  PKIName* name = Name("O=Acme,C=US");
  ASSERT_EQ(tc_make_dname_fromstring(name, "CN=Jo,OU=Sales", ctx()), 0);
  EXPECT_EQ(Text(name), "CN=Jo,OU=Sales,O=Acme,C=US");
  // A failed parse takes back only what it added.
  EXPECT_EQ(tc_make_dname_fromstring(name, "CN=x,BAD=y", ctx()), kTCErrNameParse);
  EXPECT_EQ(Text(name), "CN=Jo,OU=Sales,O=Acme,C=US");
  // A Name record without a sequence gets one.
  PKIName* bare = PKINewName(ctx()->certCtx);
  Keep(bare);
  ASSERT_EQ(tc_make_dname_fromstring(bare, "CN=x", ctx()), 0);
  EXPECT_EQ(bare->tag, kPKITagSequence);
  EXPECT_EQ(Text(bare), "CN=x");
}

TEST_F(DNameTest, WritingValuesThatAreNotTextAndTypesWithoutKeyword) {
  // A T61String under a known keyword, and the whole-element hex form.
  PKIName* name = nullptr;
  ASSERT_EQ(tc_create_dname(&name, ctx()), 0);
  Keep(name);
  const Bytes cn = Hex("55 04 03");
  const Bytes t61 = Hex("14 02 61 62");
  ASSERT_EQ(tc_addAVAto_dname(name, cn.data(), 3, t61.data(), 4, ctx()), 0);
  EXPECT_EQ(Text(name), "CN=#6162");
  const Bytes other = Hex("55 04 63");
  ASSERT_EQ(tc_addAVAto_dname(name, other.data(), 3, Hex("0C 01 7A").data(), 3, ctx()), 0);
  // The RDN appended last comes first in the text.
  EXPECT_EQ(Text(name), "2.5.4.99=#7a,CN=#6162");
  // A value of only blanks; a NUL byte of an IA5String.
  PKIName* blanks = Name("CN=\\ \\ ");
  EXPECT_EQ(Text(blanks), "CN=\\ \\ ");
  PKIName* nul = nullptr;
  ASSERT_EQ(tc_create_dname(&nul, ctx()), 0);
  Keep(nul);
  const Bytes email = Hex("2A 86 48 86 F7 0D 01 09 01");
  ASSERT_EQ(tc_addAVAto_dname(nul, email.data(), 9, Hex("16 03 61 00 62").data(), 5, ctx()), 0);
  EXPECT_EQ(Text(nul), "emailAddress=a\\00b");
  EXPECT_EQ(tc_addAVAto_dname(nul, email.data(), 0, t61.data(), 4, ctx()), kTCErrInvalidArgs);
}

TEST_F(DNameTest, DottedTypesUpTo64BitArcsAndLongTypes) {
  struct Case {
    const char* oidHex;
    const char* text;
  } cases[] = {
      {"55 04 63", "2.5.4.99=#41"},
      {"2A 86 48 86 F7 0D", "1.2.840.113549=#41"},
      {"81 00", "2.48=#41"},
      {"55 81 FF FF FF FF FF FF FF FF 7F", "2.5.18446744073709551615=#41"},
      // An arc beyond 64 bits, a subidentifier starting 0x80, a last byte
      // with bit 8 set: not OIDs, the keyword is empty.
      {"55 82 80 80 80 80 80 80 80 80 00", "=#41"},
      {"55 80 01", "=#41"},
      {"55 04 83", "=#41"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.oidHex);
    PKIName* name = nullptr;
    ASSERT_EQ(tc_create_dname(&name, ctx()), 0);
    Keep(name);
    Bytes oid = Hex(c.oidHex);
    ASSERT_EQ(tc_addAVAto_dname(name, oid.data(), static_cast<uint32_t>(oid.size()), Hex("0C 01 41").data(), 3, ctx()),
              0);
    EXPECT_EQ(Text(name), c.text);
  }
  // A type whose dotted form runs past 1023 characters.
  Bytes oid = Hex("55");
  std::string expected = "2.5";
  for (int i = 0; i < 200; ++i) {
    oid.insert(oid.end(), {0x8F, 0xFF, 0xFF, 0xFF, 0x7F});
    expected += ".4294967295";
  }
  PKIName* name = nullptr;
  ASSERT_EQ(tc_create_dname(&name, ctx()), 0);
  Keep(name);
  ASSERT_EQ(tc_addAVAto_dname(name, oid.data(), static_cast<uint32_t>(oid.size()), Hex("0C 01 41").data(), 3, ctx()),
            0);
  EXPECT_EQ(Text(name), expected + "=#41");
}

TEST_F(DNameTest, AValueHeaderClaimingMoreThanTheValueHoldsIsRefused) {
  // 13 80 04 01 41 00 00: an indefinite "PrintableString" that a reader of
  // the header alone would take as all ones long.
  const Bytes bad = Hex("13 80 04 01 41 00 00");
  PKIANY value{static_cast<uint32_t>(bad.size()), const_cast<uint8_t*>(bad.data())};
  uint8_t tag = 0;
  const uint8_t* content = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(tc_get_ava(&tag, &content, &length, &value), kTCErrInvalidArgs);
  const struct {
    const char* hex;
    int32_t code;
  } headers[] = {
      {"13 02 41 42", 0}, {"13 03 41 42", -1}, {"13 84 FF FF FF FF 41", -1}, {"13", -1}, {"13 81", -1}, {"", -1},
      {"13 00", 0},       {"13 01 41 99", 0},  // bytes after the element are not read
  };
  for (const auto& h : headers) {
    Bytes b = Hex(h.hex);
    PKIANY v{static_cast<uint32_t>(b.size()), b.empty() ? nullptr : b.data()};
    EXPECT_EQ(tc_get_ava(&tag, &content, &length, &v), h.code) << h.hex;
  }
  // The same value in a certificate's subject: no text, no attribute value.
  SignWith("ca");
  PKIName* subject = nullptr;
  ASSERT_EQ(tc_create_dname(&subject, ctx()), 0);
  Keep(subject);
  ASSERT_EQ(tc_addAVAto_dname(subject, Hex("55 04 03").data(), 3, bad.data(), 7, ctx()), 0);
  KeyPair& k = Key("leaf");
  TC_CERT* made = nullptr;
  ASSERT_EQ(tc_create_cert(&made, 0, Hex("01").data(), 1, kSha1WithRSA.data(), 9, kNullParams.data(), 2,
                           Name("CN=Test CA,O=Ostrak Test,C=US"), 0, 1000, subject, nullptr, k.keyOid.data(),
                           static_cast<uint32_t>(k.keyOid.size()), k.publicKey.data(),
                           static_cast<uint32_t>(k.publicKey.size()), nullptr, 0, ctx()),
            0);
  Keep(made);
  TC_CERT* cert = Cert(Der(made));
  ASSERT_NE(cert, nullptr);
  char* text = reinterpret_cast<char*>(1);
  EXPECT_EQ(tc_extractdname_fromcert(&text, cert, kTCNameCertSubject, ctx()), kTCErrNameParse);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(tc_get_attributeValue(&text, &cert->tbs->subject, "CN", ctx()), kTCErrNameParse);
  EXPECT_EQ(text, nullptr);
}

TEST_F(DNameTest, SettingAVAs) {
  PKIAttributeTypeAndValue* ava = PKINewAttributeTypeAndValue(ctx()->certCtx);
  const Bytes c = Hex("55 04 06"), us = Hex("55 53");
  ASSERT_EQ(tc_set_ava(ava, c.data(), 3, kPKITagPrintableString, us.data(), 2, ctx()), 0);
  EXPECT_EQ(Bytes(ava->value.bytes, ava->value.bytes + ava->value.length), Hex("13 02 55 53"));
  EXPECT_EQ(Bytes(ava->type.bytes, ava->type.bytes + ava->type.length), c);
  uint8_t tag = 0;
  const uint8_t* content = nullptr;
  uint32_t length = 0;
  ASSERT_EQ(tc_get_ava(&tag, &content, &length, &ava->value), 0);
  EXPECT_EQ(tag, kPKITagPrintableString);
  EXPECT_EQ(Bytes(content, content + length), us);
  // A long value gets a long-form length.
  const Bytes big(300, 'a');
  ASSERT_EQ(tc_set_ava(ava, c.data(), 3, kPKITagIA5String, big.data(), 300, ctx()), 0);
  EXPECT_EQ(Bytes(ava->value.bytes, ava->value.bytes + 4), Hex("16 82 01 2C"));
  ASSERT_EQ(tc_set_avader(ava, c.data(), 3, Hex("0C 01 41").data(), 3, ctx()), 0);
  EXPECT_EQ(ava->value.length, 3u);
  EXPECT_EQ(tc_set_ava(nullptr, c.data(), 3, 19, us.data(), 2, ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(tc_set_avader(nullptr, c.data(), 3, us.data(), 2, ctx()), kTCErrInvalidArgs);
  counting().counter().FailAfter(1);
  EXPECT_EQ(tc_set_ava(ava, c.data(), 3, 19, us.data(), 2, ctx()), kTCErrNoMemory);
  counting().counter().FailAfter(-1);
  EXPECT_EQ(ava->type.length, 0u) << "the type copy goes when the value cannot be made";
  PKIFreeAttributeTypeAndValue(ctx()->certCtx, ava);
}

TEST_F(DNameTest, KeywordEntries) {
  const Bytes cn = Hex("55 04 03");
  // An added keyword wins when writing; CN still parses.
  ASSERT_EQ(tc_add_avatype(cn.data(), 3, "commonName", kPKITagPrintableString, ctx()), 0);
  PKIName* name = Name("CN=x");
  EXPECT_EQ(Text(name), "commonName=x");
  EXPECT_EQ(Text(Name("commonName=y")), "commonName=y");
  // Tags outside 1-6, 16-27, 252; tags accepted but not written by the parser.
  EXPECT_EQ(tc_add_avatype(cn.data(), 3, "k", 7, ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(tc_add_avatype(cn.data(), 0, "k", 19, ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(tc_add_avatype(nullptr, 3, "k", 19, ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(tc_change_ava_entry(cn.data(), 3, 12, ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(tc_change_ava_entry(cn.data(), 3, 4, ctx()), 0);
  PKIName* n = nullptr;
  ASSERT_EQ(tc_create_dname(&n, ctx()), 0);
  Keep(n);
  // The first entry of the OID is the added one: its keyword follows the
  // tag, CN keeps its own.
  EXPECT_EQ(tc_make_dname_fromstring(n, "commonName=x", ctx()), kTCErrStringType);
  EXPECT_EQ(tc_change_ava_entry(cn.data(), 3, 20, ctx()), 0);
  ASSERT_EQ(tc_make_dname_fromstring(n, "commonName=x", ctx()), 0);
  EXPECT_EQ(Seq(n)->elements[0]->elements[0]->value.bytes[0], kPKITagT61String);
  EXPECT_EQ(Text(n), "commonName=#78");
  EXPECT_EQ(Text(Name("CN=z")), "commonName=z");
  EXPECT_EQ(tc_change_ava_entry(Hex("55 04 63").data(), 3, 19, ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(tc_change_ava_entry(cn.data(), 3, 253, ctx()), kTCErrInvalidArgs);
}

TEST_F(DNameTest, AttributeValuesNamesOfObjectsAndTrimWS) {
  PKIName* name = Name("CN=Jo+OU=Sales,O=Acme,C=US");
  char* value = nullptr;
  // Case respected; the first AVA of each RDN only (OU sits behind CN).
  EXPECT_EQ(tc_get_attributeValue(&value, name, "cn", ctx()), 0);
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(tc_get_attributeValue(&value, name, "OU", ctx()), 0);
  EXPECT_EQ(value, nullptr);
  ASSERT_EQ(tc_get_attributeValue(&value, name, "O", ctx()), 0);
  EXPECT_STREQ(value, "Acme");
  std::free(value);
  ASSERT_EQ(tc_get_attributeValue(&value, name, "C", ctx()), 0);
  EXPECT_STREQ(value, "US");
  std::free(value);
  EXPECT_EQ(tc_get_attributeValue(nullptr, name, "C", ctx()), kTCErrInvalidArgs);

  // Names of a certificate, a CRL and a request.
  TC_CERT* cert = Cert(Fixture("leaf.der"));
  char* text = nullptr;
  ASSERT_EQ(tc_extractdname_fromcert(&text, cert, kTCNameCertIssuer, ctx()), 0);
  EXPECT_STREQ(text, "CN=Test CA,O=Ostrak Test,C=US");
  ctx()->memMgr->deallocate(ctx()->memMgr, text);
  PKICertificateList* crl = nullptr;
  const Bytes crlDer = Fixture("ca_crl.der");
  ASSERT_EQ(tc_unpack_crl(&crl, crlDer.data(), static_cast<uint32_t>(crlDer.size()), ctx()), 0);
  EXPECT_EQ(tc_extractdname_fromcert(&text, crl, kTCNameCRLIssuer, ctx()), kTCErrInvalidArgs);
  PKIName* copy = nullptr;
  ASSERT_EQ(tc_get_dname(&copy, crl, kTCNameCRLIssuer, ctx()), 0);
  Keep(copy);
  EXPECT_EQ(Text(copy), "CN=Test CA,O=Ostrak Test,C=US");
  EXPECT_NE(copy->value, crl->tbsCertList.issuer.value);
  EXPECT_EQ(tc_get_dname(&copy, crl, 4, ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(copy, nullptr);
  tc_free_crl(crl, ctx());
  PKICertificationRequest* req = nullptr;
  const Bytes reqDer = Fixture("req.der");
  ASSERT_EQ(tc_unpack_request(&req, reqDer.data(), static_cast<uint32_t>(reqDer.size()), ctx()), 0);
  ASSERT_EQ(tc_extractdname_fromcert(&text, req, kTCNameRequestSubject, ctx()), 0);
  EXPECT_STREQ(text, "CN=Requester,O=Ostrak Test,C=US");
  ctx()->memMgr->deallocate(ctx()->memMgr, text);
  tc_free_request(req, ctx());

  char buffers[][16] = {"ab  ", "ab\\ ", "ab \\ \t", "   ", ""};
  const char* trimmed[] = {"ab", "ab\\ ", "ab \\ ", "", ""};
  for (size_t i = 0; i < std::size(buffers); ++i) {
    TrimWS(buffers[i]);
    EXPECT_STREQ(buffers[i], trimmed[i]);
  }
}

TEST_F(DNameTest, CopiesAreDeepAndFailWhole) {
  PKIName* name = Name("CN=Jo+OU=Sales,O=Acme,C=US");
  PKIName* copy = nullptr;
  ASSERT_EQ(CopyName(&copy, name, ctx()), 0);
  EXPECT_EQ(Text(copy), Text(name));
  EXPECT_EQ(NameDer(copy), NameDer(name));
  tc_free_dname(copy, ctx());
  EXPECT_EQ(CopyName(&copy, nullptr, ctx()), 0);
  EXPECT_EQ(copy, nullptr);
  const long before = counting().live();
  for (long budget = 0;; ++budget) {
    counting().counter().FailAfter(budget);
    int32_t e = CopyName(&copy, name, ctx());
    counting().counter().FailAfter(-1);
    if (e == kTCErrNone) {
      tc_free_dname(copy, ctx());
      break;
    }
    EXPECT_EQ(e, kTCErrNoMemory);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(counting().live(), before);
  }
  // RDN text in and out.
  PKIRelativeDistinguishedName* rdn = PKINewRelativeDistinguishedName(ctx()->certCtx);
  ASSERT_EQ(ParseStringRDN(rdn, "CN=a+OU=b\\+c", ctx()), 0);
  char* text = RDNToString(rdn, ctx());
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "CN=a+OU=b\\+c");
  ctx()->memMgr->deallocate(ctx()->memMgr, text);
  EXPECT_EQ(ParseStringRDN(nullptr, "CN=a", ctx()), kTCErrInvalidArgs);
  PKIFreeRelativeDistinguishedName(ctx()->certCtx, rdn);
}

// --- Against openssl ---

struct OracleName {
  // RDNs most general first, each AVA keyword=value (values without '/',
  // '=' or '#').
  std::vector<std::vector<std::pair<const char*, const char*>>> rdns;
};

const OracleName kOracleNames[] = {
    {{{{"C", "US"}}, {{"O", "Acme, Inc."}}, {{"CN", "Jo Smith"}}}},
    {{{{"DC", "com"}}, {{"DC", "ex;am<p>le\"q\\u"}}, {{"OU", "a+b (c) 'd'?"}}, {{"CN", "x:y-z."}}}},
    {{{{"C", "DE"}}, {{"ST", "Bayern"}}, {{"L", "Muenchen"}}, {{"emailAddress", "a+b@c.de"}}}},
    {{{{"C", "US"}}, {{"OU", " lead"}}, {{"CN", "trail "}}}},
};

// The DN text of ours for a name of the table.
std::string OurText(const OracleName& n) {
  std::string out;
  for (size_t i = n.rdns.size(); i-- > 0;) {
    if (!out.empty()) out += ",";
    for (size_t j = 0; j < n.rdns[i].size(); ++j) {
      if (j) out += "+";
      out += n.rdns[i][j].first;
      out += "=";
      std::string v = n.rdns[i][j].second;
      for (size_t k = 0; k < v.size(); ++k) {
        char c = v[k];
        if (std::strchr(",+\"\\<>;", c) || (c == ' ' && (k == 0 || k + 1 == v.size()))) out += '\\';
        out += c;
      }
    }
  }
  return out;
}

// openssl's -subj form (most general first, '/' between RDNs, '+' joining
// AVAs; '+' and '\' in values escaped).
std::string SubjText(const OracleName& n) {
  std::string out;
  for (const auto& rdn : n.rdns) {
    out += "/";
    for (size_t j = 0; j < rdn.size(); ++j) {
      if (j) out += "+";
      out += rdn[j].first;
      out += "=";
      for (const char* p = rdn[j].second; *p; ++p) {
        if (*p == '+' || *p == '\\') out += '\\';
        out += *p;
      }
    }
  }
  return out;
}

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

TEST_F(DNameTest, TextEqualsOpensslRFC2253AndParsedNamesEqualOpensslsDER) {
  TempDir dir;
  const std::string cnf = dir.Write("req.cnf", std::string("[req]\ndistinguished_name=dn\nstring_mask=default\n[dn]\n"));
  std::vector<OracleName> names(std::begin(kOracleNames), std::end(kOracleNames));
  // A multi-valued RDN as well.
  names.push_back({{{{"C", "US"}}, {{"O", "Acme"}}, {{"CN", "Jo"}, {"OU", "Sales"}}}});
  int index = 0;
  for (const OracleName& n : names) {
    const std::string subj = SubjText(n);
    SCOPED_TRACE(subj);
    const std::string base = dir.path() + "/n" + std::to_string(index++);
    std::string output;
    ASSERT_EQ(Shell("openssl req -config " + cnf + " -new -x509 -days 1 -multivalue-rdn -key " + FixturePath("leaf.key") +
                      " -subj " + ShellQuote(subj) + " -outform DER -out " + base + ".der && openssl x509 -inform DER -in " +
                      base + ".der -noout -subject -nameopt RFC2253",
                  &output),
              0)
        << output;
    while (!output.empty() && output.back() == '\n') output.pop_back();
    TC_CERT* cert = Cert(ReadFile(base + ".der"));
    ASSERT_NE(cert, nullptr);
    // Multi-valued RDNs are written by openssl in its own AVA order; the
    // single-valued ones must match exactly.
    char* text = nullptr;
    ASSERT_EQ(tc_extractdname_fromcert(&text, cert, kTCNameCertSubject, ctx()), 0);
    if (n.rdns.back().size() == 1) {
      EXPECT_EQ("subject=" + std::string(text), output);
    }
    ctx()->memMgr->deallocate(ctx()->memMgr, text);
    // Our parse of our text gives openssl's DER.
    PKIName* parsed = Name(OurText(n).c_str());
    EXPECT_EQ(HexOf(NameDer(parsed)), HexOf(NameDer(&cert->tbs->subject)));
  }
}

}  // namespace
