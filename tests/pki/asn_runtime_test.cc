// The codec runtime: length forms, the built-in types' decoders and
// encoders (tables of encodings with the fault each case guards against),
// the value operations and the SET OF order. Every test runs over the
// counting memory manager and ends with nothing allocated; `openssl
// asn1parse` reads every encoding the encoders made.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "pki/asn_engine.h"
#include "pki/asn_runtime.h"
#include "tests/pki/asn_test_support.h"

namespace {

using pkitest::Bytes;
using pkitest::Hex;
using pkitest::ToHex;

class AsnRuntime : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(mem_.live(), 0) << "blocks left allocated";
    auto refused = made_.Check();
    EXPECT_TRUE(refused.empty()) << "asn1parse refused " << refused.size() << ", first: " << refused.front();
  }
  PKICONTEXT* ctx() { return mem_.ctx(); }
  // Keeps an encoding for the asn1parse check.
  Bytes Made(const std::string& label, Bytes der) {
    made_.Add(label, der);
    return der;
  }

  pkitest::CountingContext mem_;
  pkitest::Asn1ParseBatch made_;
};

struct Outcome {
  int32_t err;
  uint32_t consumed;
  Bytes bytes;
};

// A value-block decoder run through its allocating form.
template <class Fn>
Outcome DecodeBlock(PKICONTEXT* ctx, Fn unpack, const Bytes& in, uint8_t tag) {
  PKIVariableBlock* b = nullptr;
  int32_t err = 12345;
  uint32_t n = unpack(ctx, &b, in.data(), static_cast<uint32_t>(in.size()), tag, &err);
  Outcome o{err, n, {}};
  if (b != nullptr) {
    o.bytes.assign(b->bytes, b->bytes + b->length);
    PKIFreeVariableBlock(ctx, b);
  }
  return o;
}

TEST_F(AsnRuntime, LengthFieldsTakeTheShortestForm) {
  struct Case {
    uint32_t length;
    const char* field;
  } const cases[] = {
      {0, "00"},           {127, "7F"},          {128, "81 80"},          {255, "81 FF"},
      {256, "82 01 00"},   {65535, "82 FF FF"},  {65536, "83 01 00 00"},  {16777215, "83 FF FF FF"},
      {16777216, "84 01 00 00 00"},              {0xFFFFFFFF, "84 FF FF FF FF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    Bytes want = Hex(c.field);
    uint8_t out[8] = {};
    ASSERT_EQ(PKIPutLength(out, c.length), want.size());
    EXPECT_EQ(Bytes(out, out + want.size()), want);
    EXPECT_EQ(PKILengthSize(c.length), want.size());
    EXPECT_EQ(PKITagged(c.length, 1), c.length + 1 + want.size());
    uint32_t back = 0;
    EXPECT_EQ(PKIGetLength(out, &back), want.size());
    EXPECT_EQ(back, c.length);
  }
  uint32_t length = 0;
  EXPECT_EQ(PKIGetLength(Hex("80").data(), &length), 1u);
  EXPECT_EQ(length, kPKIIndefiniteLength);
  EXPECT_EQ(PKIGetLength(Hex("85 00 00 00 00 01").data(), &length), 0u) << "five length octets are refused";
  EXPECT_EQ(PKITagged(0, 0), 0u);
  EXPECT_EQ(PKITagged(0, 1), 2u);
  EXPECT_EQ(PKITakeTag(Hex("A0 03 02 01 00").data(), 0xA0, &length), 2u);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(PKITakeTag(Hex("80 03 02 01 00").data(), 0xA0, &length), 0u) << "the exact byte only";
}

TEST_F(AsnRuntime, StringDecodingJoinsSegmentsAndRefusesMalformedForms) {
  struct Case {
    const char* name;
    const char* in;
    uint8_t tag;
    int32_t err;
    uint32_t consumed;
    const char* bytes;
  } const cases[] = {
      {"primitive", "04 02 AA BB", 0x04, 0, 4, "AA BB"},
      {"constructed, definite", "24 08 04 02 AA BB 04 02 CC DD", 0x04, 0, 10, "AA BB CC DD"},
      {"constructed, indefinite", "24 80 04 02 AA BB 04 02 CC DD 00 00 FF", 0x04, 0, 12, "AA BB CC DD"},
      {"empty segment skipped", "24 06 04 00 04 02 AA BB", 0x04, 0, 8, "AA BB"},
      {"implicit tag, definite: segments carry it", "A0 04 80 02 AA BB", 0x80, 0, 6, "AA BB"},
      {"implicit tag, indefinite: segments universal", "A0 80 04 02 AA BB 00 00", 0x80, 0, 8, "AA BB"},
      {"indefinite length on a primitive", "04 80 AA 00 00", 0x04, kPKIErrForm, 0, ""},
      {"indefinite segment", "24 80 04 80 04 01 AA 00 00 00 00", 0x04, kPKIErrForm, 0, ""},
      {"segment of another type", "24 04 05 02 AA BB", 0x04, kPKIErrForm, 0, ""},
      {"nested constructed segment", "24 06 24 04 04 02 AA BB", 0x04, kPKIErrForm, 0, ""},
      {"length past the input", "04 03 AA BB", 0x04, kPKIErrLength, 0, ""},
      {"length near 2^32 (would wrap)", "04 84 FF FF FF FE AA", 0x04, kPKIErrLength, 0, ""},
      {"header near 2^32 in a segment", "24 80 04 84 FF FF FF FC AA 00 00", 0x04, kPKIErrLength, 0, ""},
      {"five length octets", "04 85 00 00 00 00 01 AA", 0x04, kPKIErrLength, 0, ""},
      {"length field cut short", "04 82 00", 0x04, kPKIErrLength, 0, ""},
      {"tag alone", "04", 0x04, kPKIErrLength, 0, ""},
      {"segment past a definite outer", "24 06 04 02 AA BB 04 02 CC DD", 0x04, kPKIErrLength, 0, ""},
      {"indefinite without end-of-contents", "24 80 04 01 AA", 0x04, kPKIErrLength, 0, ""},
      {"indefinite cut in its end-of-contents", "24 80 04 01 AA 00", 0x04, kPKIErrLength, 0, ""},
      {"another tag: not here", "05 00", 0x04, 0, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome o = DecodeBlock(ctx(), PKIUnpackOCTET_STRINGInternal, Hex(c.in), c.tag);
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(o.consumed, c.consumed);
    EXPECT_EQ(ToHex(o.bytes), ToHex(Hex(c.bytes)));
  }
  // Input of length 0: nothing here, no error.
  Bytes some = Hex("04 00");
  int32_t err = 1;
  PKIOCTET_STRING* none = nullptr;
  EXPECT_EQ(PKIUnpackOCTET_STRINGInternal(ctx(), &none, some.data(), 0, 0x04, &err), 0u);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(none, nullptr);
}

TEST_F(AsnRuntime, InPlaceDecodingReplacesTheOldBytes) {
  PKIVariableBlock* b = PKINewVariableBlock(ctx());
  ASSERT_EQ(PKIPutOctVal(ctx(), b, Hex("01 02 03").data(), 3), 0);
  Bytes in = Hex("24 80 04 01 AA 04 01 BB 00 00");
  int32_t err = 1;
  EXPECT_EQ(PKIUnpkInPlaceOCTET_STRING(ctx(), b, in.data(), static_cast<uint32_t>(in.size()), 0x04, &err), 10u);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(ToHex(Bytes(b->bytes, b->bytes + b->length)), "AA BB");
  // The in-place INTEGER decoder ignores the constructed bit, the
  // allocating one wants the exact tag.
  Bytes constructed = Hex("22 03 02 01 07");
  EXPECT_EQ(PKIUnpkInPlaceINTEGER(ctx(), b, constructed.data(), 5, 0x02, &err), 5u);
  EXPECT_EQ(err, 0);
  Outcome alloc = DecodeBlock(ctx(), PKIUnpackINTEGERInternal, constructed, 0x02);
  EXPECT_EQ(alloc.consumed, 0u);
  EXPECT_EQ(alloc.err, 0);
  PKIFreeVariableBlock(ctx(), b);
}

TEST_F(AsnRuntime, BitStrings) {
  Bytes in = Hex("03 03 02 FF FC");
  PKIBIT_STRING* bits = nullptr;
  int32_t err = 1;
  ASSERT_EQ(PKIUnpackBIT_STRING(ctx(), &bits, in.data(), 5, &err), 5u);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(bits->length, 2u);
  EXPECT_EQ(bits->unusedBits, 2u);
  EXPECT_EQ(ToHex(Bytes(bits->bytes, bits->bytes + 2)), "FF FC");
  // The unused bits are cleared on the way out (DER).
  ASSERT_EQ(PKIPutBitString(ctx(), bits, Hex("FF FF").data(), 2, 2), 0);
  uint8_t out[8];
  ASSERT_EQ(PKISizeofBIT_STRING(ctx(), bits, 1), 5u);
  ASSERT_EQ(PKIPackBIT_STRING(ctx(), out, sizeof out, bits, &err), 5u);
  EXPECT_EQ(ToHex(Made("bit string", Bytes(out, out + 5))), "03 03 02 FF FC");
  PKIFreeBIT_STRING(ctx(), bits);

  struct Case {
    const char* name;
    const char* in;
    int32_t err;
    const char* bytes;
    uint32_t unused;
  } const cases[] = {
      {"segments, last leaves bits", "23 80 03 02 00 AA 03 02 04 F0 00 00", 0, "AA F0", 4},
      {"definite segments", "23 08 03 02 00 AA 03 02 00 BB", 0, "AA BB", 0},
      {"segment behind one with unused bits", "23 08 03 02 04 A0 03 02 00 BB", kPKIErrForm, "", 0},
      {"primitive without the unused-bits octet", "03 00", kPKIErrForm, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes enc = Hex(c.in);
    PKIBIT_STRING* b = nullptr;
    err = 1;
    PKIUnpackBIT_STRINGInternal(ctx(), &b, enc.data(), static_cast<uint32_t>(enc.size()), 0x03, &err);
    EXPECT_EQ(err, c.err);
    if (b != nullptr) {
      EXPECT_EQ(ToHex(Bytes(b->bytes, b->bytes + b->length)), ToHex(Hex(c.bytes)));
      EXPECT_EQ(b->unusedBits, c.unused);
      PKIFreeBIT_STRING(ctx(), b);
    }
  }
}

TEST_F(AsnRuntime, IntegersTrimToTheMinimalForm) {
  struct Case {
    const char* content;
    const char* der;
  } const cases[] = {
      {"00 00 7F", "02 01 7F"}, {"FF FF 80", "02 01 80"}, {"00 80", "02 02 00 80"},
      {"FF 7F", "02 02 FF 7F"}, {"", "02 00"},
  };
  PKIINTEGER* v = PKINewINTEGER(ctx());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    Bytes content = Hex(c.content);
    ASSERT_EQ(PKIPutOctVal(ctx(), v, content.data(), static_cast<uint32_t>(content.size())), 0);
    uint32_t size = PKISizeofINTEGER(ctx(), v, 1);
    Bytes out(size + 4);
    int32_t err = 1;
    ASSERT_EQ(PKIPackINTEGER(ctx(), out.data(), static_cast<uint32_t>(out.size()), v, &err), size);
    EXPECT_EQ(err, 0);
    out.resize(size);
    EXPECT_EQ(ToHex(Made(c.content, out)), ToHex(Hex(c.der)));
  }
  struct Put {
    int32_t value;
    const char* content;
  } const puts[] = {{-1, "FF"}, {128, "00 80"}, {0, "00"}, {127, "7F"}, {-129, "FF 7F"},
                    {INT32_MIN, "80 00 00 00"}, {INT32_MAX, "7F FF FF FF"}};
  for (const Put& p : puts) {
    SCOPED_TRACE(p.value);
    ASSERT_EQ(PKIPutIntVal(ctx(), v, p.value), 0);
    EXPECT_EQ(ToHex(Bytes(v->bytes, v->bytes + v->length)), ToHex(Hex(p.content)));
  }
  int32_t err = 1;
  ASSERT_EQ(PKIPutOctVal(ctx(), v, Hex("FF").data(), 1), 0);
  EXPECT_EQ(PKIGetIntVal(ctx(), v, &err), 255u) << "no sign extension";
  EXPECT_EQ(err, 0);
  ASSERT_EQ(PKIPutOctVal(ctx(), v, Hex("01 02 03 04 05").data(), 5), 0);
  EXPECT_EQ(PKIGetIntVal(ctx(), v, &err), 0u);
  EXPECT_EQ(err, kPKIErrValue);
  ASSERT_EQ(PKIPutUIntBytes(ctx(), v, Hex("80 01").data(), 2), 0);
  EXPECT_EQ(ToHex(Bytes(v->bytes, v->bytes + v->length)), "00 80 01");
  ASSERT_EQ(PKIPutUIntBytes(ctx(), v, Hex("7F").data(), 1), 0);
  EXPECT_EQ(ToHex(Bytes(v->bytes, v->bytes + v->length)), "7F");
  EXPECT_EQ(PKIPutIntVal(nullptr, v, 1), kPKIErrContext);
  EXPECT_EQ(PKIPutIntVal(ctx(), nullptr, 1), kPKIErrValue);
  PKIFreeINTEGER(ctx(), v);
}

TEST_F(AsnRuntime, BooleanAndNull) {
  struct Case {
    const char* name;
    const char* in;
    bool isNull;
    int32_t err;
    uint32_t consumed;
  } const cases[] = {
      {"boolean of length 2", "01 02 FF 00", false, kPKIErrBoolean, 0},
      {"boolean, indefinite", "01 80 FF 00 00", false, kPKIErrBoolean, 0},
      {"boolean true from 05", "01 01 05", false, 0, 3},
      {"boolean past the input", "01 01", false, kPKIErrLength, 0},
      {"boolean, constructed tag is another tag", "21 01 FF", false, 0, 0},
      {"null with content", "05 01 00", true, kPKIErrNullContent, 0},
      {"null", "05 00 FF", true, 0, 2},
      {"null, length cut short", "05 81", true, kPKIErrLength, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes in = Hex(c.in);
    int32_t err = 1;
    uint32_t n;
    if (c.isNull) {
      PKINULL* v = nullptr;
      n = PKIUnpackNULLInternal(ctx(), &v, in.data(), static_cast<uint32_t>(in.size()), 0x05, &err);
      PKIFreeNULL(ctx(), v);
    } else {
      PKIBOOLEAN* v = nullptr;
      n = PKIUnpackBOOLEANInternal(ctx(), &v, in.data(), static_cast<uint32_t>(in.size()), 0x01, &err);
      if (v != nullptr) {
        EXPECT_EQ(PKIGetBoolVal(ctx(), v), 1);
      }
      PKIFreeBOOLEAN(ctx(), v);
    }
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(n, c.consumed);
  }
  PKIBOOLEAN* flag = PKINewBOOLEAN(ctx());
  uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  int32_t err = 0;
  ASSERT_EQ(PKIPutBoolVal(ctx(), flag, 7), 0);
  EXPECT_EQ(PKIPackBOOLEAN(ctx(), out, 2, flag, &err), 0u);
  EXPECT_EQ(err, kPKIErrOutputSmall);
  EXPECT_EQ(out[0], 0xEE) << "nothing written when it does not fit";
  ASSERT_EQ(PKIPackBOOLEAN(ctx(), out, 4, flag, &err), 3u);
  EXPECT_EQ(ToHex(Made("true", Bytes(out, out + 3))), "01 01 FF");
  ASSERT_EQ(PKIPutBoolVal(ctx(), flag, 0), 0);
  ASSERT_EQ(PKIPackBOOLEAN(ctx(), out, 4, flag, &err), 3u);
  EXPECT_EQ(ToHex(Made("false", Bytes(out, out + 3))), "01 01 00");
  EXPECT_EQ(PKISizeofBOOLEANInternal(flag, 1, 1), 5u);
  PKIFreeBOOLEAN(ctx(), flag);
  PKINULL* nothing = PKINewNULL(ctx());
  EXPECT_EQ(PKISizeofNULLInternal(nothing, 0, 1), 0u);
  EXPECT_EQ(PKISizeofNULLInternal(nothing, 1, 0), 2u);
  EXPECT_EQ(PKISizeofNULLInternal(nothing, 1, 1), 4u);
  ASSERT_EQ(PKIPackNULL(ctx(), out, 4, nothing, &err), 2u);
  EXPECT_EQ(ToHex(Made("null", Bytes(out, out + 2))), "05 00");
  PKIFreeNULL(ctx(), nothing);
}

// `depth` indefinite SEQUENCEs around 02 01 05.
Bytes NestedIndefinite(int depth) {
  Bytes b;
  for (int i = 0; i < depth; ++i) b.insert(b.end(), {0x30, 0x80});
  b.insert(b.end(), {0x02, 0x01, 0x05});
  for (int i = 0; i < depth; ++i) b.insert(b.end(), {0x00, 0x00});
  return b;
}

TEST_F(AsnRuntime, AnyTakesTheWholeElementWithinLimits) {
  struct Case {
    const char* name;
    Bytes in;
    int32_t err;
    uint32_t consumed;
  } const cases[] = {
      {"indefinite sequence", Hex("30 80 02 01 05 00 00 FF"), 0, 7},
      {"empty element", Hex("C3 00"), 0, 2},
      {"definite, any tag", Hex("C3 02 AA BB"), 0, 4},
      {"multi-byte tag", Hex("1F 81 00 00"), kPKIErrForm, 0},
      {"multi-byte tag inside the walk", Hex("30 80 3F 01 00 00 00"), kPKIErrForm, 0},
      {"walk past the input", Hex("30 80 02 01 05"), kPKIErrLength, 0},
      {"inner length past the input", Hex("30 80 04 05 AA 00 00"), kPKIErrLength, 0},
      {"length near 2^32", Hex("30 84 FF FF FF FF 00"), kPKIErrLength, 0},
      {"64 levels of indefinite nesting", NestedIndefinite(64), 0, 64 * 4 + 3},
      {"65 levels: refused, not a stack overflow", NestedIndefinite(65), kPKIErrForm, 0},
      {"deep nesting far beyond", NestedIndefinite(100000), kPKIErrForm, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome o = DecodeBlock(ctx(), PKIUnpackANYInternal, c.in, kPKITagAny);
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(o.consumed, c.consumed);
    if (c.err == 0) {
      EXPECT_EQ(o.bytes, Bytes(c.in.begin(), c.in.begin() + c.consumed));
    }
  }
  // The ANY record carries the element; a tag other than 0xFE replaces its
  // first byte on the way out.
  PKIANY* any = nullptr;
  Bytes in = Hex("30 80 02 01 05 00 00");
  int32_t err = 1;
  ASSERT_EQ(PKIUnpackANY(ctx(), &any, in.data(), 7, &err), 7u);
  EXPECT_EQ(PKISizeofANY(ctx(), any, 1), 7u);
  uint8_t out[8];
  ASSERT_EQ(PKIPackANYInternal(ctx(), out, sizeof out, any, 0xA0, &err), 7u);
  EXPECT_EQ(ToHex(Made("any as A0", Bytes(out, out + 7))), "A0 80 02 01 05 00 00");
  EXPECT_EQ(PKIPackANY(ctx(), out, 6, any, &err), 0u);
  EXPECT_EQ(err, kPKIErrOutputSmall);
  PKIFreeANY(ctx(), any);
}

TEST_F(AsnRuntime, CharacterSetsAreCheckedBothWays) {
  struct Case {
    const char* text;
    bool numeric;
    int32_t err;
  } const cases[] = {
      {"O'Neil (UK)", false, 0},          {"a \"quoted\" word", false, 0},
      {"user@example", false, kPKIErrPrintable}, {"under_score", false, kPKIErrPrintable},
      {"star*", false, kPKIErrPrintable},  {"12 34", true, 0},
      {"12-34", true, kPKIErrNumeric},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    uint8_t tag = c.numeric ? kPKITagNumericString : kPKITagPrintableString;
    PKIVariableBlock* v = PKINewVariableBlock(ctx());
    ASSERT_EQ(PKIPutStrVal(ctx(), v, c.text), 0);
    Bytes out(64);
    int32_t err = 1;
    uint32_t n = c.numeric ? PKIPackNumericString(ctx(), out.data(), 64, v, &err)
                           : PKIPackPrintableString(ctx(), out.data(), 64, v, &err);
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(n, c.err ? 0u : v->length + 2);
    if (!c.err) Made(c.text, Bytes(out.begin(), out.begin() + n));
    // Decoding: the allocating form releases the record, the in-place one
    // keeps the bytes and reports.
    Bytes der = pkitest::Tlv(tag, Bytes(c.text, c.text + std::strlen(c.text)));
    Outcome o = DecodeBlock(ctx(), c.numeric ? PKIUnpackNumericStringInternal : PKIUnpackPrintableStringInternal,
                            der, tag);
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(o.bytes.empty(), c.err != 0);
    n = c.numeric ? PKIUnpkInPlaceNumericString(ctx(), v, der.data(), static_cast<uint32_t>(der.size()), tag, &err)
                  : PKIUnpkInPlacePrintableString(ctx(), v, der.data(), static_cast<uint32_t>(der.size()), tag, &err);
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(v->length, std::strlen(c.text));
    PKIFreeVariableBlock(ctx(), v);
  }
  Outcome zero = DecodeBlock(ctx(), PKIUnpackPrintableStringInternal, Hex("13 02 41 00"), 0x13);
  EXPECT_EQ(zero.err, kPKIErrPrintable) << "a zero byte is outside the set";
}

TEST_F(AsnRuntime, SetOfOrderIsThePaddedOctetOrder) {
  auto compare = [](const char* a, const char* b) {
    Bytes x = Hex(a), y = Hex(b);
    PKIEncodedElem ex{static_cast<uint32_t>(x.size()), x.data()}, ey{static_cast<uint32_t>(y.size()), y.data()};
    return PKICompareElems(&ex, &ey);
  };
  EXPECT_LT(compare("02 01 03", "02 01 05"), 0);
  EXPECT_LT(compare("02 01 05", "04 00"), 0);
  EXPECT_GT(compare("04 01 00", "04 00"), 0) << "the shorter is padded with zeros";
  EXPECT_EQ(compare("04 00", "04 00 00"), 0);
  EXPECT_LT(compare("04 00", "04 00 01"), 0);
  EXPECT_EQ(compare("", ""), 0);
}

TEST_F(AsnRuntime, ValueOperations) {
  PKIListRecord list{0, nullptr};
  int a, b, c;
  mem_.counter().NoteReallocSizes(true);
  for (int* p : {&a, &b, &c}) ASSERT_EQ(PKIAddOfElement(ctx(), p, &list), 0);
  ASSERT_EQ(list.count, 3);
  EXPECT_EQ(list.elements[0], &a);
  EXPECT_EQ(list.elements[1], &b);
  EXPECT_EQ(list.elements[2], &c);
  // One slot more per element (the first from allocate).
  std::vector<size_t> sizes = mem_.counter().reallocSizes();
  mem_.counter().NoteReallocSizes(false);
  EXPECT_EQ(sizes, (std::vector<size_t>{2 * sizeof(void*) + kQOXBlockHeaderSize,
                                        3 * sizeof(void*) + kQOXBlockHeaderSize}));
  mem_.counter().FailAfter(0);
  EXPECT_EQ(PKIAddOfElement(ctx(), &a, &list), kPKIErrValue);
  mem_.counter().FailAfter(-1);
  EXPECT_EQ(list.count, 3) << "unchanged when the manager fails";
  EXPECT_EQ(PKIAddOfElement(nullptr, &a, &list), kPKIErrContext);
  ostrak::asn::Deallocate(ctx(), list.elements);

  PKIVariableBlock* v = PKINewVariableBlock(ctx());
  EXPECT_EQ(PKIGetStrVal(ctx(), v), nullptr);
  ASSERT_EQ(PKIPutStrVal(ctx(), v, "text"), 0);
  char* text = PKIGetStrVal(ctx(), v);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "text");
  ostrak::asn::Deallocate(ctx(), text);
  mem_.counter().FailAfter(0);
  EXPECT_EQ(PKIPutOctVal(ctx(), v, Hex("01 02").data(), 2), kPKIErrValue);
  mem_.counter().FailAfter(-1);
  EXPECT_EQ(v->length, 4u) << "the old value stays when the copy cannot be made";
  PKIFreeVariableBlock(ctx(), v);
}

TEST_F(AsnRuntime, NoErrorWordMeansNothingIsDone) {
  Bytes in = Hex("04 02 AA BB");
  PKIOCTET_STRING* out = reinterpret_cast<PKIOCTET_STRING*>(0x1);
  EXPECT_EQ(PKIUnpackOCTET_STRING(ctx(), &out, in.data(), 4, nullptr), 0u);
  EXPECT_EQ(out, reinterpret_cast<PKIOCTET_STRING*>(0x1)) << "the result address is not touched";
  PKIVariableBlock v{2, in.data()};
  uint8_t buf[8] = {0xEE};
  EXPECT_EQ(PKIPackOCTET_STRING(ctx(), buf, sizeof buf, &v, nullptr), 0u);
  EXPECT_EQ(buf[0], 0xEE);
  int32_t err = 0;
  EXPECT_EQ(PKIUnpackOCTET_STRING(nullptr, &out, in.data(), 4, &err), 0u);
  EXPECT_EQ(err, kPKIErrContext);
  EXPECT_EQ(PKIUnpackOCTET_STRING(ctx(), nullptr, in.data(), 4, &err), 0u);
  EXPECT_EQ(err, kPKIErrNoPlace);
  EXPECT_EQ(PKIUnpackOCTET_STRING(ctx(), &out, nullptr, 4, &err), 0u);
  EXPECT_EQ(err, kPKIErrNoInput);
  EXPECT_EQ(PKIUnpackOCTET_STRING(ctx(), &out, in.data(), 0, &err), 0u);
  EXPECT_EQ(err, kPKIErrLeftover) << "the public decoder reports nothing decoded";
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(PKIPackOCTET_STRING(ctx(), nullptr, 8, &v, &err), 0u);
  EXPECT_EQ(err, kPKIErrNoOutput);
  EXPECT_EQ(PKIPackOCTET_STRING(ctx(), buf, 3, &v, &err), 0u);
  EXPECT_EQ(err, kPKIErrOutputSmall);
  EXPECT_EQ(buf[0], 0xEE) << "nothing written when it does not fit";
}

TEST_F(AsnRuntime, AllocationFailuresLeaveNothingBehind) {
  Bytes in = Hex("24 80 04 01 AA 04 01 BB 04 01 CC 00 00");
  for (long budget = 0; budget < 6; ++budget) {
    SCOPED_TRACE(budget);
    mem_.counter().FailAfter(budget);
    Outcome o = DecodeBlock(ctx(), PKIUnpackOCTET_STRINGInternal, in, 0x04);
    mem_.counter().FailAfter(-1);
    if (o.err == 0) {
      EXPECT_EQ(ToHex(o.bytes), "AA BB CC");
    } else {
      EXPECT_TRUE(o.err == kPKIErrMemory || o.err == kPKIErrNoPlace) << o.err;
    }
    EXPECT_EQ(mem_.live(), 0);
  }
}

}  // namespace
