// The engine of the generated modules, shown on types of the X.509 module:
// the public layer, SEQUENCE, list and CHOICE decoding and encoding, EXPLICIT
// wrappers, the end checks, sorted SET OF, failures of the memory manager,
// and the list decoder that ends at an element that is not there. Every
// test ends with nothing allocated; `openssl asn1parse` reads every
// encoding made.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "pki/cert_asn.h"
#include "tests/pki/asn_test_support.h"

// A module of its own, as another library adds one: its own prefix and
// records, the engine's descriptors, and a hook on one type.
struct TstPair {
  PKIINTEGER number;
  PKIOBJECT_ID* oid;
};
struct TstPairs {
  int32_t count;
  TstPair** elements;
};
PKI_ASN_DECLARE_OPERATIONS(tst_, Pair, TstPair);
PKI_ASN_DECLARE_OPERATIONS(tst_, Pairs, TstPairs);

namespace tst {
using namespace ostrak::asn;
extern const TypeDesc kPair, kPairs;
constexpr Field kPairFields[] = {
    PKI_ASN_FIELD(TstPair, number, kInteger, kPKITagInteger),
    PKI_ASN_OPTIONAL(TstPair, oid, kObjectId, kPKITagObjectId),
};
constinit const TypeDesc kPair = SequenceType<TstPair>("Pair", kPairFields);
// The hook: a set whose length runs past the input is marked with count -1.
uint32_t UnpkInPlacePairs(const TypeDesc& t, PKICONTEXT* ctx, void* rec, const uint8_t* in, uint32_t inLen,
                          uint8_t tag, int32_t* err) {
  uint32_t n = UnpkInPlaceList(t, ctx, rec, in, inLen, tag, err);
  if (err != nullptr && *err == kPKIErrLength && rec != nullptr) {
    DropList(t, ctx, rec);
    static_cast<TstPairs*>(rec)->count = -1;
  }
  return n;
}
constexpr TypeOps kPairsOps = {PackList, UnpkInPlacePairs, UnpackAllocating, SizeList, DropList};
constinit const TypeDesc kPairs = ListType<TstPairs>("Pairs", kPair, kPKITagSequence, true, &kPairsOps);
}  // namespace tst

PKI_ASN_DEFINE_OPERATIONS(tst_, Pair, TstPair, tst::kPair, kPKITagSequence)
PKI_ASN_DEFINE_OPERATIONS(tst_, Pairs, TstPairs, tst::kPairs, kPKITagSet)

namespace {

using pkitest::Bytes;
using pkitest::Concat;
using pkitest::Hex;
using pkitest::Tlv;
using pkitest::ToHex;

class AsnEngine : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(mem_.live(), 0) << "blocks left allocated";
    auto refused = made_.Check();
    EXPECT_TRUE(refused.empty()) << "asn1parse refused " << refused.size() << ", first: " << refused.front();
  }
  PKICONTEXT* ctx() { return mem_.ctx(); }

  // Decodes with the public Unpack of R; returns the record (null on
  // failure) and sets err / consumed.
  template <class R>
  R* Decode(uint32_t (*unpack)(PKICONTEXT*, R**, const uint8_t*, uint32_t, int32_t*), const Bytes& in,
            int32_t* err, uint32_t* consumed = nullptr) {
    R* rec = nullptr;
    *err = 12345;
    uint32_t n = unpack(ctx(), &rec, in.data(), static_cast<uint32_t>(in.size()), err);
    if (consumed) *consumed = n;
    return rec;
  }

  // Encodes with the public Sizeof and Pack of R into a buffer of exactly
  // that size; checks the count and the error and keeps the bytes for the
  // asn1parse check.
  template <class R>
  Bytes Encode(uint32_t (*size)(PKICONTEXT*, R*, int),
               uint32_t (*pack)(PKICONTEXT*, uint8_t*, uint32_t, R*, int32_t*), R* rec) {
    Bytes out(size(ctx(), rec, 1));
    int32_t err = 12345;
    uint32_t n = pack(ctx(), out.data(), static_cast<uint32_t>(out.size()), rec, &err);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(n, out.size());
    made_.Add(ToHex(out).substr(0, 40), out);
    return out;
  }

  pkitest::CountingContext mem_;
  pkitest::Asn1ParseBatch made_;
};

// A round trip through a type's public operations: decode, check, encode,
// compare with the DER expected, free.
#define ROUND_TRIP(T, in, err_want, der_want)                                                  \
  do {                                                                                         \
    int32_t err_;                                                                              \
    PKI##T* rec_ = Decode(PKIUnpack##T, (in), &err_);                                          \
    EXPECT_EQ(err_, (err_want));                                                               \
    if (rec_ != nullptr) {                                                                     \
      EXPECT_EQ(ToHex(Encode(PKISizeof##T, PKIPack##T, rec_)), ToHex(der_want));               \
      PKIFree##T(ctx(), rec_);                                                                 \
    }                                                                                          \
  } while (0)

TEST_F(AsnEngine, PublicLayerSizesPacksAndReportsNothingDecoded) {
  Bytes der = pkitest::CorpusFile("cert_rsa.der");
  int32_t err;
  uint32_t consumed = 0;
  PKICertificate* cert = Decode(PKIUnpackCertificate, der, &err, &consumed);
  ASSERT_NE(cert, nullptr);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(consumed, der.size());
  uint32_t size = PKISizeofCertificate(ctx(), cert, 1);
  ASSERT_EQ(size, der.size());
  EXPECT_EQ(PKISizeofCertificate(ctx(), cert, 0), size - 4) << "content only";
  EXPECT_EQ(PKISizeofCertificateInternal(cert, 1, 1), size + 4) << "with an EXPLICIT wrapper";
  // One byte short: -18 and nothing written; exactly the size: all of it.
  Bytes out(size, 0xEE);
  EXPECT_EQ(PKIPackCertificate(ctx(), out.data(), size - 1, cert, &err), 0u);
  EXPECT_EQ(err, kPKIErrRoom);
  EXPECT_EQ(out, Bytes(size, 0xEE));
  EXPECT_EQ(PKIPackCertificate(ctx(), out.data(), size, cert, &err), size);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(out, der);
  PKIFreeCertificate(ctx(), cert);

  // Nothing decoded: -10 from the public Unpack, no error from the
  // internal allocating decoder.
  for (const Bytes& in : {Hex("31 00"), Hex("02 01 05")}) {
    PKICertificate* none = reinterpret_cast<PKICertificate*>(0x1);
    EXPECT_EQ(PKIUnpackCertificate(ctx(), &none, in.data(), static_cast<uint32_t>(in.size()), &err), 0u);
    EXPECT_EQ(err, kPKIErrLeftover);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(PKIUnpackCertificateInternal(ctx(), &none, in.data(), static_cast<uint32_t>(in.size()),
                                           kPKITagSequence, &err),
              0u);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(PKIUnpackCertificate(ctx(), &none, in.data(), 0, &err), 0u);
    EXPECT_EQ(err, kPKIErrLeftover);
  }
  EXPECT_EQ(PKIPackCertificate(ctx(), out.data(), size, nullptr, &err), 0u);
  EXPECT_EQ(err, 0) << "a null record packs to nothing";
  EXPECT_EQ(PKINewCertificate(nullptr), nullptr);
  PKIFreeCertificate(nullptr, reinterpret_cast<PKICertificate*>(0x1));  // does nothing
  PKIFreeCertificate(ctx(), nullptr);
}

TEST_F(AsnEngine, NoErrorWordMeansEveryOperationDoesNothing) {
  Bytes der = Hex("30 06 02 01 01 02 01 02");
  PKIDss_Sig_Value* rec = reinterpret_cast<PKIDss_Sig_Value*>(0x1);
  EXPECT_EQ(PKIUnpackDss_Sig_Value(ctx(), &rec, der.data(), 8, nullptr), 0u);
  EXPECT_EQ(PKIUnpackDss_Sig_ValueInternal(ctx(), &rec, der.data(), 8, 0x10, nullptr), 0u);
  EXPECT_EQ(rec, reinterpret_cast<PKIDss_Sig_Value*>(0x1));
  PKIDss_Sig_Value* fresh = PKINewDss_Sig_Value(ctx());
  EXPECT_EQ(PKIUnpkInPlaceDss_Sig_Value(ctx(), fresh, der.data(), 8, 0x10, nullptr), 0u);
  EXPECT_EQ(fresh->r.length, 0u);
  ASSERT_EQ(PKIPutIntVal(ctx(), &fresh->r, 1), 0);
  uint8_t out[16] = {0xEE};
  EXPECT_EQ(PKIPackDss_Sig_Value(ctx(), out, sizeof out, fresh, nullptr), 0u);
  EXPECT_EQ(PKIPackDss_Sig_ValueInternal(ctx(), out, sizeof out, fresh, 0x10, nullptr), 0u);
  EXPECT_EQ(out[0], 0xEE);
  PKIFreeDss_Sig_Value(ctx(), fresh);
}

TEST_F(AsnEngine, SequenceDecodingAndItsEndChecks) {
  struct Case {
    const char* name;
    const char* in;
    int32_t err;
    const char* der;  // the re-encoding, when it decodes
  } const cases[] = {
      {"definite", "30 06 02 01 01 02 01 02", 0, "30 06 02 01 01 02 01 02"},
      {"indefinite with end-of-contents", "30 80 02 01 01 02 01 02 00 00", 0, "30 06 02 01 01 02 01 02"},
      {"indefinite components", "30 80 22 80 02 01 01 00 00 02 01 02 00 00", 0, "30 06 02 01 01 02 01 02"},
      {"a byte too many inside", "30 07 02 01 01 02 01 02 05", kPKIErrLeftover, ""},
      {"length past the input", "30 08 02 01 01 02 01 02", kPKIErrLength, ""},
      {"length near 2^32", "30 84 FF FF FF FA 02 01 01 02 01 02", kPKIErrLength, ""},
      {"indefinite without end-of-contents", "30 80 02 01 01 02 01 02", kPKIErrForm, ""},
      {"indefinite, something else in its place", "30 80 02 01 01 02 01 02 05 00", kPKIErrForm, ""},
      {"primitive form", "10 06 02 01 01 02 01 02", kPKIErrForm, ""},
      {"missing mandatory component", "30 03 02 01 01", 0, "30 05 02 01 01 02 00"},
      {"empty sequence", "30 00", 0, "30 04 02 00 02 00"},
      {"component of another type", "30 03 04 01 01", kPKIErrLeftover, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ROUND_TRIP(Dss_Sig_Value, Hex(c.in), c.err, Hex(c.der));
  }
}

TEST_F(AsnEngine, OptionalComponentsAndExplicitWrappers) {
  const Bytes alg = Hex("06 03 2A 03 04");
  struct Case {
    const char* name;
    Bytes in;
    int32_t err;
    Bytes der;
  } const cases[] = {
      // AlgorithmIdentifier: the parameters are whatever follows the OID.
      {"no parameters", Tlv(0x30, alg), 0, Tlv(0x30, alg)},
      {"NULL parameters", Tlv(0x30, Concat({alg, Hex("05 00")})), 0, Tlv(0x30, Concat({alg, Hex("05 00")}))},
      {"indefinite, no parameters", Concat({Hex("30 80"), alg, Hex("00 00")}), 0, Tlv(0x30, alg)},
      {"parameters of any tag", Tlv(0x30, Concat({alg, Hex("85 01 00")})), 0,
       Tlv(0x30, Concat({alg, Hex("85 01 00")}))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ROUND_TRIP(AlgorithmIdentifier, c.in, c.err, c.der);
  }
  // AnotherName's value: [0] EXPLICIT ANY.
  const Bytes oid = Hex("06 02 2A 03");
  struct Wrapped {
    const char* name;
    Bytes in;
    int32_t err;
  } const wrapped[] = {
      {"definite wrapper", Tlv(0x30, Concat({oid, Hex("A0 03 02 01 05")})), 0},
      {"wrapper longer than its content", Tlv(0x30, Concat({oid, Hex("A0 04 02 01 05 00")})), kPKIErrExplicit},
      {"indefinite wrapper", Concat({Hex("30 80"), oid, Hex("A0 80 02 01 05 00 00 00 00")}), 0},
      {"indefinite wrapper without end-of-contents", Concat({Hex("30 80"), oid, Hex("A0 80 02 01 05 02 01 05")}),
       kPKIErrForm},
      {"wrapper past its sequence", Tlv(0x30, Concat({oid, Hex("A0 05 02 01 05")})), kPKIErrLength},
      {"primitive wrapper byte: absent, left over", Tlv(0x30, Concat({oid, Hex("80 03 02 01 05")})),
       kPKIErrLeftover},
  };
  for (const Wrapped& c : wrapped) {
    SCOPED_TRACE(c.name);
    ROUND_TRIP(AnotherName, c.in, c.err, Tlv(0x30, Concat({oid, Hex("A0 03 02 01 05")})));
  }
  // BasicConstraints: both optional; absent when the sequence ends.
  ROUND_TRIP(BasicConstraints, Hex("30 00"), 0, Hex("30 00"));
  ROUND_TRIP(BasicConstraints, Hex("30 03 01 01 00"), 0, Hex("30 03 01 01 00"));
  ROUND_TRIP(BasicConstraints, Hex("30 80 02 01 03 00 00"), 0, Hex("30 03 02 01 03"));
  ROUND_TRIP(BasicConstraints, Hex("30 03 04 01 00"), kPKIErrLeftover, Bytes{});
}

TEST_F(AsnEngine, DecodingIntoARecordAgainFreesWhatItHeld) {
  Bytes first = Hex("30 0A 06 03 2A 03 04 04 03 AA BB CC");
  Bytes second = Hex("30 07 06 02 2B 06 05 01 00");
  PKIAlgorithmIdentifier* alg = PKINewAlgorithmIdentifier(ctx());
  int32_t err;
  ASSERT_EQ(PKIUnpkInPlaceAlgorithmIdentifier(ctx(), alg, first.data(), 12, 0x10, &err), 12u);
  ASSERT_EQ(PKIUnpkInPlaceAlgorithmIdentifier(ctx(), alg, second.data(), 9, 0x10, &err), 9u);
  EXPECT_EQ(ToHex(Encode(PKISizeofAlgorithmIdentifier, PKIPackAlgorithmIdentifier, alg)), ToHex(second));
  // A value that ends before components the record held leaves them absent
  // or empty, not as they were.
  Bytes bare = Hex("30 04 06 02 2B 06");
  ASSERT_EQ(PKIUnpkInPlaceAlgorithmIdentifier(ctx(), alg, bare.data(), 6, 0x10, &err), 6u);
  EXPECT_EQ(alg->parameters, nullptr);
  EXPECT_EQ(ToHex(Encode(PKISizeofAlgorithmIdentifier, PKIPackAlgorithmIdentifier, alg)), ToHex(bare));
  PKIFreeAlgorithmIdentifier(ctx(), alg);
  Bytes full = Hex("30 06 02 01 01 02 01 02"), half = Hex("30 03 02 01 03");
  PKIDss_Sig_Value* sig = PKINewDss_Sig_Value(ctx());
  ASSERT_EQ(PKIUnpkInPlaceDss_Sig_Value(ctx(), sig, full.data(), 8, 0x10, &err), 8u);
  ASSERT_EQ(PKIUnpkInPlaceDss_Sig_Value(ctx(), sig, half.data(), 5, 0x10, &err), 5u);
  EXPECT_EQ(ToHex(Encode(PKISizeofDss_Sig_Value, PKIPackDss_Sig_Value, sig)), "30 05 02 01 03 02 00");
  PKIFreeDss_Sig_Value(ctx(), sig);
  Bytes v3 = Hex("30 0A A0 03 02 01 02 02 01 01 30 00"), v1 = Hex("30 05 02 01 01 30 00");
  PKITBSCertificate* tbs = PKINewTBSCertificate(ctx());
  ASSERT_EQ(PKIUnpkInPlaceTBSCertificate(ctx(), tbs, v3.data(), 12, 0x10, &err), 12u);
  ASSERT_NE(tbs->version, nullptr);
  ASSERT_EQ(PKIUnpkInPlaceTBSCertificate(ctx(), tbs, v1.data(), 7, 0x10, &err), 7u);
  EXPECT_EQ(tbs->version, nullptr) << "an EXPLICIT component that is not there";
  PKIFreeTBSCertificate(ctx(), tbs);
  Bytes list = Hex("30 06 06 01 2A 06 01 2B");
  PKIExtKeyUsageSyntax* eku = PKINewExtKeyUsageSyntax(ctx());
  ASSERT_EQ(PKIUnpkInPlaceExtKeyUsageSyntax(ctx(), eku, list.data(), 8, 0x10, &err), 8u);
  ASSERT_EQ(PKIUnpkInPlaceExtKeyUsageSyntax(ctx(), eku, list.data(), 8, 0x10, &err), 8u);
  EXPECT_EQ(eku->count, 2) << "a list decoded again is replaced, not appended to";
  PKIFreeExtKeyUsageSyntax(ctx(), eku);
}

TEST_F(AsnEngine, ListsEndAtAnElementThatIsNotThere) {
  // Without the end, a list decoder would add empty elements at the same
  // place until memory ran out.
  struct Case {
    const char* name;
    const char* in;
    int32_t err;
  } const cases[] = {
      {"definite list, element of another tag", "30 05 06 01 2A 02 00", kPKIErrLeftover},
      {"indefinite list, element of another tag", "30 80 06 01 2A 02 00 00 00", kPKIErrForm},
      {"definite list", "30 06 06 01 2A 06 01 2B", 0},
      {"indefinite list", "30 80 06 01 2A 06 01 2B 00 00", 0},
      {"empty list", "30 00", 0},
      {"element past the list", "30 03 06 02 2A 03", kPKIErrLength},
      {"element with a multi-byte tag", "30 06 06 01 2A 1F 01 00", kPKIErrForm},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int32_t err;
    PKIExtKeyUsageSyntax* eku = Decode(PKIUnpackExtKeyUsageSyntax, Hex(c.in), &err);
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(eku != nullptr, c.err == 0);
    PKIFreeExtKeyUsageSyntax(ctx(), eku);
  }
  // A directoryName wrapper holding no Name decodes to nothing: inside
  // GeneralNames the list ends there.
  struct Names {
    const char* name;
    const char* in;
    int32_t err;
  } const names[] = {
      {"definite list", "30 09 82 01 61 A4 04 02 02 05 00", kPKIErrLeftover},
      {"indefinite list", "30 80 82 01 61 A4 04 02 02 05 00 00 00", kPKIErrForm},
      {"empty wrapper", "30 05 82 01 61 A4 00", kPKIErrLeftover},
      {"wrapper around an empty Name", "30 07 82 01 61 A4 02 30 00", 0},
  };
  for (const Names& c : names) {
    SCOPED_TRACE(c.name);
    int32_t err;
    PKIGeneralNames* gn = Decode(PKIUnpackGeneralNames, Hex(c.in), &err);
    EXPECT_EQ(err, c.err);
    PKIFreeGeneralNames(ctx(), gn);
  }
}

TEST_F(AsnEngine, ChoicesKeepTheFormTheySaw) {
  struct Case {
    const char* name;
    const char* in;
    int32_t err;
    uint8_t selector;
    const char* der;
  } const cases[] = {
      {"printable", "13 02 41 42", 0, 0x13, "13 02 41 42"},
      {"constructed printable", "33 80 13 01 41 13 01 42 00 00", 0, 0x33, "13 02 41 42"},
      {"utf8, raw bytes", "0C 02 C3 A9", 0, 0x0C, "0C 02 C3 A9"},
      {"bmp, any bytes", "1E 03 00 41 42", 0, 0x1E, "1E 03 00 41 42"},
      {"IA5 is no alternative", "16 01 41", kPKIErrChoice, 0, ""},
      {"below 0C", "04 01 41", kPKIErrChoice, 0, ""},
      {"above 3E", "5E 01 41", kPKIErrChoice, 0, ""},
      {"printable outside its set", "13 01 40", kPKIErrPrintable, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes in = Hex(c.in);
    PKIDirectoryString* ds = nullptr;
    int32_t err;
    // The allocating decoder turns "no alternative" into absence.
    PKIUnpackDirectoryStringInternal(ctx(), &ds, in.data(), static_cast<uint32_t>(in.size()), kPKITagChoice, &err);
    EXPECT_EQ(err, c.err == kPKIErrChoice ? 0 : c.err);
    EXPECT_EQ(ds != nullptr, c.err == 0);
    PKIFreeDirectoryString(ctx(), ds);
    ds = Decode(PKIUnpackDirectoryString, in, &err);
    EXPECT_EQ(err, c.err == kPKIErrChoice ? kPKIErrLeftover : c.err);
    if (ds != nullptr) {
      EXPECT_EQ(ds->tag, c.selector);
      EXPECT_EQ(ToHex(Encode(PKISizeofDirectoryString, PKIPackDirectoryString, ds)), ToHex(Hex(c.der)));
      PKIFreeDirectoryString(ctx(), ds);
    }
  }
  // In place, a first byte of no alternative is -50.
  PKIDirectoryString* ds = PKINewDirectoryString(ctx());
  Bytes ia5 = Hex("16 01 41");
  int32_t err;
  EXPECT_EQ(PKIUnpkInPlaceDirectoryString(ctx(), ds, ia5.data(), 3, kPKITagChoice, &err), 0u);
  EXPECT_EQ(err, kPKIErrChoice);
  // A selector of no alternative neither sizes nor packs.
  ds->tag = 0x16;
  EXPECT_EQ(PKISizeofDirectoryString(ctx(), ds, 1), 0u);
  uint8_t out[8];
  EXPECT_EQ(PKIPackDirectoryString(ctx(), out, sizeof out, ds, &err), 0u);
  EXPECT_EQ(err, kPKIErrChoice);
  PKIFreeDirectoryString(ctx(), ds);
}

TEST_F(AsnEngine, SetOfIsWrittenInDerOrder) {
  // values_SET_OF: elements 02 01 05, 02 01 03 and 04 00, added in any
  // order, come out sorted; two equal elements are refused.
  const char* elements[] = {"02 01 05", "02 01 03", "04 00"};
  const char* sorted = "31 08 02 01 03 02 01 05 04 00";
  const int orders[][3] = {{0, 1, 2}, {2, 1, 0}, {1, 2, 0}};
  for (const auto& order : orders) {
    PKIvalues_SET_OF* set = PKINewvalues_SET_OF(ctx());
    for (int i : order) {
      PKIANY* v = PKINewANY(ctx());
      Bytes e = Hex(elements[i]);
      ASSERT_EQ(PKIPutOctVal(ctx(), v, e.data(), static_cast<uint32_t>(e.size())), 0);
      ASSERT_EQ(PKIAddOfElement(ctx(), v, set), 0);
    }
    EXPECT_EQ(ToHex(Encode(PKISizeofvalues_SET_OF, PKIPackvalues_SET_OF, set)), ToHex(Hex(sorted)));
    PKIFreevalues_SET_OF(ctx(), set);
  }
  ROUND_TRIP(values_SET_OF, Hex("31 05 04 01 00 04 00"), 0, Hex("31 05 04 00 04 01 00"));
  int32_t err;
  PKIvalues_SET_OF* dup = Decode(PKIUnpackvalues_SET_OF, Hex("31 06 02 01 05 02 01 05"), &err);
  ASSERT_NE(dup, nullptr) << "decoding does not check order or duplicates";
  uint8_t out[16];
  EXPECT_EQ(PKIPackvalues_SET_OF(ctx(), out, sizeof out, dup, &err), 0u);
  EXPECT_EQ(err, kPKIErrDuplicate);
  PKIFreevalues_SET_OF(ctx(), dup);
}

TEST_F(AsnEngine, SetOfScratchMemoryIsTheSizeOfTheContent) {
  // Many small elements and one large one: the sort needs the encodings
  // once, not one buffer of the largest size per element.
  PKIvalues_SET_OF* set = PKINewvalues_SET_OF(ctx());
  const int small = 4000;
  for (int i = 0; i < small; ++i) {
    PKIANY* v = PKINewANY(ctx());
    const uint8_t e[4] = {0x04, 0x02, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    ASSERT_EQ(PKIPutOctVal(ctx(), v, e, 4), 0);
    ASSERT_EQ(PKIAddOfElement(ctx(), v, set), 0);
  }
  PKIANY* big = PKINewANY(ctx());
  Bytes large = Tlv(0x04, Bytes(60000, 0x5A));
  ASSERT_EQ(PKIPutOctVal(ctx(), big, large.data(), static_cast<uint32_t>(large.size())), 0);
  ASSERT_EQ(PKIAddOfElement(ctx(), big, set), 0);
  uint32_t size = PKISizeofvalues_SET_OF(ctx(), set, 1);
  Bytes out(size);
  mem_.counter().ResetLargestRequest();
  mem_.counter().FailAfter(2);  // the pairs and one scratch buffer
  int32_t err;
  EXPECT_EQ(PKIPackvalues_SET_OF(ctx(), out.data(), size, set, &err), size);
  mem_.counter().FailAfter(-1);
  EXPECT_EQ(err, 0);
  EXPECT_LE(mem_.counter().largestRequest(), size + kQOXBlockHeaderSize);
  EXPECT_EQ(ToHex(Bytes(out.end() - 8, out.end())), ToHex(Bytes(large.end() - 8, large.end())))
      << "the large element sorts last";
  made_.Add("a set of 4001", out);
  PKIFreevalues_SET_OF(ctx(), set);
}

TEST_F(AsnEngine, ListArraysAreAllocatedOnce) {
  // 2000 entries: the element array is sized from a count of the elements
  // ahead, so it is never reallocated on the way.
  Bytes entries;
  for (int i = 0; i < 2000; ++i) {
    Bytes serial = {0x02, 0x02, static_cast<uint8_t>(0x10 + (i >> 8)), static_cast<uint8_t>(i)};
    Bytes entry = Tlv(0x30, Concat({serial, Hex("17 0D 32 34 30 31 30 31 30 30 30 30 30 30 5A")}));
    entries.insert(entries.end(), entry.begin(), entry.end());
  }
  Bytes der = Tlv(0x30, entries);
  mem_.counter().NoteReallocSizes(true);
  int32_t err;
  PKIRevokedCertificates* list = Decode(PKIUnpackRevokedCertificates, der, &err);
  EXPECT_TRUE(mem_.counter().reallocSizes().empty());
  mem_.counter().NoteReallocSizes(false);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->count, 2000);
  EXPECT_EQ(Encode(PKISizeofRevokedCertificates, PKIPackRevokedCertificates, list), der);
  PKIFreeRevokedCertificates(ctx(), list);
}

TEST_F(AsnEngine, MemoryFailuresAnywhereLeaveNothingBehind) {
  // Decoding a certificate with every extension, and packing its name
  // (sorted sets), with the manager failing at each allocation in turn.
  Bytes der = pkitest::CorpusFile("cert_all_ext.der");
  long allocations = 0;
  for (long budget = 0;; ++budget) {
    mem_.counter().FailAfter(budget);
    int32_t err;
    PKICertificate* cert = Decode(PKIUnpackCertificate, der, &err);
    mem_.counter().FailAfter(-1);
    if (cert != nullptr) {
      allocations = budget;
      EXPECT_EQ(err, 0);
      PKIName* name = &cert->tbsCertificate.subject;
      uint32_t size = PKISizeofName(ctx(), name, 1);
      Bytes out(size);
      for (long b = 0; b < 8; ++b) {
        mem_.counter().FailAfter(b);
        uint32_t n = PKIPackName(ctx(), out.data(), size, name, &err);
        mem_.counter().FailAfter(-1);
        EXPECT_TRUE((err == 0 && n == size) || err == kPKIErrMemory) << err;
        if (err == 0 && b == 7) made_.Add("a Name packed", out);
      }
      PKIFreeCertificate(ctx(), cert);
      break;
    }
    ASSERT_TRUE(err == kPKIErrMemory || err == kPKIErrNoPlace) << "budget " << budget << ": " << err;
    ASSERT_EQ(mem_.live(), 0) << "budget " << budget;
  }
  EXPECT_GT(allocations, 50);
}

TEST_F(AsnEngine, AModuleOfItsOwnWithAHook) {
  // Decoded as given, written in DER order; the optional OID where present.
  Bytes in = Hex("31 80 30 06 02 01 07 06 01 2A 30 03 02 01 05 00 00");
  int32_t err;
  TstPairs* pairs = nullptr;
  ASSERT_EQ(tst_UnpackPairs(ctx(), &pairs, in.data(), static_cast<uint32_t>(in.size()), &err), in.size());
  ASSERT_EQ(pairs->count, 2);
  EXPECT_NE(pairs->elements[0]->oid, nullptr);
  EXPECT_EQ(pairs->elements[1]->oid, nullptr);
  EXPECT_EQ(ToHex(Encode(tst_SizeofPairs, tst_PackPairs, pairs)), "31 0D 30 03 02 01 05 30 06 02 01 07 06 01 2A");
  // The hook marks a set that runs past its input, in place, dropping what
  // the record held.
  Bytes cut = Hex("31 09 30 03 02 01 05");
  TstPairs* held = pairs;
  EXPECT_EQ(tst_UnpkInPlacePairs(ctx(), held, cut.data(), static_cast<uint32_t>(cut.size()), kPKITagSet, &err), 0u);
  EXPECT_EQ(err, kPKIErrLength);
  EXPECT_EQ(held->count, -1);
  tst_FreePairs(ctx(), held);
}

}  // namespace
