// The BER encoder, decoder and walkers: exact bytes for the shapes LDAP
// uses, refusal of malformed or lying input, and pyasn1 as an independent
// codec in both directions.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "foundation/memory_mgr.h"
#include "net/ber.h"

namespace {

std::string Hex(const uint8_t* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

std::vector<uint8_t> Unhex(const std::string& h) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(std::stoi(h.substr(i, 2), nullptr, 16));
  return out;
}

class BerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(QOXNewMemoryMgr(0, &mgr_), kQOXErrNoErr); }
  void TearDown() override {
    for (QOXberElement* e : elements_) EXPECT_EQ(QOXFreeBERElement(e), kQOXErrNoErr);
    QOXFreeMemoryMgr(mgr_);
  }

  QOXberElement* New() {
    QOXberElement* e = nullptr;
    EXPECT_EQ(qoxNewBERElement(mgr_, &e), kQOXErrNoErr);
    elements_.push_back(e);
    return e;
  }

  // An element whose bytes from the read index on are exactly these: they
  // are appended as the contents of an OCTET STRING and the index is set
  // past that element's header.
  QOXberElement* FromBytes(const std::vector<uint8_t>& bytes) {
    QOXberElement* e = New();
    const void* p = bytes.empty() ? static_cast<const void*>("") : bytes.data();
    EXPECT_EQ(qoxBERStrAppend(e, p, 4, static_cast<uint32_t>(bytes.size())), kQOXErrNoErr);
    uint32_t len = 0;
    QOXberGetLength(e, &len);
    EXPECT_EQ(QOXberSetIndex(e, len - static_cast<uint32_t>(bytes.size())), kQOXErrNoErr);
    return e;
  }

  static std::string Encoding(QOXberElement* e) {
    const uint8_t* p = nullptr;
    uint32_t n = 0;
    EXPECT_EQ(QOXberGetEncoding(e, &p), kQOXErrNoErr);
    EXPECT_EQ(QOXberGetLength(e, &n), kQOXErrNoErr);
    return Hex(p, n);
  }

  QOXMemoryMgr* mgr_ = nullptr;
  std::vector<QOXberElement*> elements_;
};

// --- Encoder: exact bytes ---

TEST_F(BerTest, EncoderWritesMinimalIntegersAndFixedLengthForms) {
  const std::string s127(127, 'a'), s128(128, 'b'), s200(200, 'c'), s65535(65535, 'd'),
      s65536(65536, 'e');
  struct Case {
    const char* what;
    std::function<QOXError(QOXberElement*)> append;
    std::string hex;  // expected prefix of the encoding
  };
  const Case cases[] = {
      {"empty sequence", [](auto e) { return QOXberAppend(e, "{}"); }, "3000"},
      {"empty set", [](auto e) { return QOXberAppend(e, "[]"); }, "3100"},
      {"null", [](auto e) { return QOXberAppend(e, "n"); }, "0500"},
      {"int 0", [](auto e) { return QOXberAppend(e, "i", 0); }, "020100"},
      {"int 127", [](auto e) { return QOXberAppend(e, "i", 127); }, "02017f"},
      {"int 128", [](auto e) { return QOXberAppend(e, "i", 128); }, "02020080"},
      {"int 256", [](auto e) { return QOXberAppend(e, "i", 256); }, "02020100"},
      {"int -1", [](auto e) { return QOXberAppend(e, "i", -1); }, "0201ff"},
      {"int -128", [](auto e) { return QOXberAppend(e, "i", -128); }, "020180"},
      {"int -129", [](auto e) { return QOXberAppend(e, "i", -129); }, "0202ff7f"},
      {"int max", [](auto e) { return QOXberAppend(e, "i", INT32_MAX); }, "02047fffffff"},
      {"int min", [](auto e) { return QOXberAppend(e, "i", INT32_MIN); }, "020480000000"},
      {"int 0x800000", [](auto e) { return QOXberAppend(e, "i", 0x800000); }, "020400800000"},
      {"enumerated", [](auto e) { return QOXberAppend(e, "e", 53); }, "0a0135"},
      {"bool true", [](auto e) { return QOXberAppend(e, "b", 1); }, "010101"},
      {"bool false", [](auto e) { return QOXberAppend(e, "b", 0); }, "010100"},
      {"bool uses low byte", [](auto e) { return QOXberAppend(e, "b", 0x100); }, "010100"},
      {"string 127", [&](auto e) { return QOXberAppend(e, "s", s127.c_str()); }, "047f6161"},
      // 128..255 take 0x82 and two octets, never 0x81.
      {"string 128", [&](auto e) { return QOXberAppend(e, "s", s128.c_str()); }, "0482008062"},
      {"string 200", [&](auto e) { return QOXberAppend(e, "s", s200.c_str()); }, "048200c863"},
      {"string 65535", [&](auto e) { return QOXberAppend(e, "s", s65535.c_str()); }, "0482ffff64"},
      {"string 65536", [&](auto e) { return QOXberAppend(e, "s", s65536.c_str()); }, "048301000065"},
      {"octets", [](auto e) { return QOXberAppend(e, "o", "a\0b", 3u); }, "0403610062"},
      {"empty octets", [](auto e) { return QOXberAppend(e, "o", "", 0u); }, "0400"},
      {"tagged sequence then plain",
       [](auto e) { return QOXberAppend(e, "t{}{}", 0x65u); }, "65003000"},
      {"tag applies to one letter", [](auto e) { return QOXberAppend(e, "tsn", 0x87u, "x"); },
       "8701780500"},
      {"two-octet tag", [](auto e) { return QOXberAppend(e, "tn", 0x9f22u); }, "9f2200"},
      {"nested frames close into parents",
       [](auto e) { return QOXberAppend(e, "{it{ess}}", 7, 0x65u, 0, "", "ok"); },
       "300e02010765090a0100040004026f6b"},
      {"v with two strings",
       [](auto e) {
         const char* v[] = {"ab", "c", nullptr};
         return QOXberAppend(e, "v", v);
       },
       "04026162040163"},
      {"v tagged applies to every string",
       [](auto e) {
         const char* v[] = {"a", "b", nullptr};
         return QOXberAppend(e, "tv", 0x80u, v);
       },
       "800161800162"},
      {"empty v appends nothing",
       [](auto e) {
         const char* v[] = {nullptr};
         return QOXberAppend(e, "vn", v);
       },
       "0500"},
      {"null v appends nothing", [](auto e) { return QOXberAppend(e, "vn", nullptr); }, "0500"},
      {"V values",
       [](auto e) {
         BerValue a{2, const_cast<char*>("\x01\x02")}, b{0, const_cast<char*>("")};
         BerValue* v[] = {&a, &b, nullptr};
         return QOXberAppend(e, "[V]", v);
       },
       "310604020102" "0400"},
  };
  for (const Case& c : cases) {
    QOXberElement* e = New();
    ASSERT_EQ(c.append(e), kQOXErrNoErr) << c.what;
    std::string got = Encoding(e);
    // Long strings are checked by their head, everything else whole.
    if (got.size() > 64) got = got.substr(0, c.hex.size());
    EXPECT_EQ(got, c.hex) << c.what;
  }
}

TEST_F(BerTest, LengthOctetsAtEveryBoundary) {
  struct Case {
    uint32_t length;
    std::string hex;
  };
  const Case cases[] = {{0, "00"},           {127, "7f"},           {128, "820080"},
                        {255, "8200ff"},     {256, "820100"},       {65535, "82ffff"},
                        {65536, "83010000"}, {0xffffff, "83ffffff"}, {0x1000000, "8401000000"},
                        {0xffffffff, "84ffffffff"}};
  for (const Case& c : cases) {
    uint8_t out[5];
    uint32_t n = 0;
    qoxBERGetLengthEncoding(c.length, out, &n);
    EXPECT_EQ(Hex(out, n), c.hex) << c.length;
  }
  uint8_t out[5];
  uint32_t n;
  qoxBERGetTagEncoding(0, out, &n);
  EXPECT_EQ(Hex(out, n), "00");
  qoxBERGetTagEncoding(0x63, out, &n);
  EXPECT_EQ(Hex(out, n), "63");
  qoxBERGetTagEncoding(0x1f8101, out, &n);
  EXPECT_EQ(Hex(out, n), "1f8101");
}

TEST_F(BerTest, EncoderRefusesBadArgumentsAndKeepsWhatWasAppended) {
  QOXberElement* e = New();
  EXPECT_EQ(QOXberAppend(e, "ix", 5), kQOXErrBadParams);  // unknown letter
  EXPECT_EQ(Encoding(e), "020105");
  EXPECT_EQ(QOXberAppend(e, "s", nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXberAppend(e, "o", nullptr, 3u), kQOXErrBadParams);
  BerValue bad{3, nullptr};
  BerValue* v[] = {&bad, nullptr};
  EXPECT_EQ(QOXberAppend(e, "V", v), kQOXErrBadParams);
  EXPECT_EQ(QOXberAppend(e, "}"), kQOXErrBadParams);  // nothing open
  EXPECT_EQ(QOXberAppend(e, ""), kQOXErrNoErr);
  EXPECT_EQ(QOXberAppend(nullptr, "n"), kQOXErrBadParams);
  EXPECT_EQ(QOXberAppend(e, nullptr), kQOXErrBadParams);
  EXPECT_EQ(Encoding(e), "020105");

  // A frame left open is not part of the encoding until it is closed.
  EXPECT_EQ(QOXberAppend(e, "{i", 1), kQOXErrNoErr);
  EXPECT_EQ(Encoding(e), "020105");
  EXPECT_EQ(QOXberAppend(e, "}"), kQOXErrNoErr);
  EXPECT_EQ(Encoding(e), "020105" "3003020101");
  // Freeing with frames still open releases them too (checked by ASan).
  EXPECT_EQ(QOXberAppend(e, "{{[", 1), kQOXErrNoErr);
}

// --- Decoder ---

TEST_F(BerTest, DecoderReadsIntegersAndStepsIntoSequences) {
  QOXberElement* e = FromBytes(Unhex("3003020105"));
  int32_t v = 0;
  ASSERT_EQ(QOXberRead(e, "{i", &v), kQOXErrNoErr);
  EXPECT_EQ(v, 5);
  uint32_t index, tag, len;
  QOXberGetIndex(e, &index);
  EXPECT_EQ(index, 7u);  // 2 bytes of the wrapper in front of the five
  EXPECT_EQ(QOXberPeek(e, &tag, &len), kQOXErrEndOfIteration);
  // At the end the decoder writes nothing and succeeds.
  v = 99;
  EXPECT_EQ(QOXberRead(e, "i", &v), kQOXErrNoErr);
  EXPECT_EQ(v, 99);

  struct IntCase {
    const char* hex;
    int32_t value;
    QOXError err;
  };
  const IntCase ints[] = {
      {"0201ff", -1, 0},          {"020200ff", 255, 0},        {"020180", -128, 0},
      {"0202ff7f", -129, 0},      {"02047fffffff", INT32_MAX, 0}, {"020480000000", INT32_MIN, 0},
      {"0200", 0, kQOXErrBadParams},  // no contents octets
      {"02050000000001", 0, kQOXErrBadParams},  // more than four
  };
  for (const IntCase& c : ints) {
    QOXberElement* x = FromBytes(Unhex(c.hex));
    int32_t got = 12345;
    EXPECT_EQ(QOXberRead(x, "i", &got), c.err) << c.hex;
    EXPECT_EQ(got, c.value) << c.hex;
  }
}

TEST_F(BerTest, DecoderReadsARequestHeadAndItsOperation) {
  // A search request head: message ID, [APPLICATION 3], base, scope, deref,
  // size and time limits, attributes-only flag.
  QOXberElement* e = New();
  ASSERT_EQ(QOXberAppend(e, "{it{seeiib}}", 9, 0x63u, "o=x", 2, 0, 10, 30, 1), kQOXErrNoErr);
  int32_t id = 0;
  uint32_t op = 0;
  ASSERT_EQ(QOXberRead(e, "{i", &id), kQOXErrNoErr);
  ASSERT_EQ(QOXberRead(e, "t", &op), kQOXErrNoErr);
  EXPECT_EQ(id, 9);
  EXPECT_EQ(op, 0x63u);
  char base[16];
  int32_t scope, deref, size, time, attrsOnly;
  ASSERT_EQ(QOXberRead(e, "s", base, uint32_t{sizeof base}), kQOXErrNoErr);
  ASSERT_EQ(QOXberRead(e, "eeiib", &scope, &deref, &size, &time, &attrsOnly), kQOXErrNoErr);
  EXPECT_STREQ(base, "o=x");
  EXPECT_EQ(scope, 2);
  EXPECT_EQ(deref, 0);
  EXPECT_EQ(size, 10);
  EXPECT_EQ(time, 30);
  EXPECT_EQ(attrsOnly, 1);

  // Implicit tags: "*o" reads a context-tagged value as an OCTET STRING,
  // and elements that do not match the current letter are passed over.
  QOXberElement* f = New();
  ASSERT_EQ(QOXberAppend(f, "{tsin}", 0x80u, "pw", 4), kQOXErrNoErr);
  uint8_t pw[2];
  ASSERT_EQ(QOXberRead(f, "{*o", pw, uint32_t{2}), kQOXErrNoErr);
  EXPECT_EQ(std::memcmp(pw, "pw", 2), 0);
  // An unknown identifier is stepped into, so its contents are read as
  // elements: here "pw" claims 0x77 bytes and is refused.
  QOXberRewind(f);
  int32_t four = 0;
  EXPECT_EQ(QOXberRead(f, "in", &four), kQOXErrBadParams);
  QOXberElement* g = New();
  ASSERT_EQ(QOXberAppend(g, "{sin}", "pw", 4), kQOXErrNoErr);
  ASSERT_EQ(QOXberRead(g, "in", &four), kQOXErrNoErr);  // steps in, skips the string
  EXPECT_EQ(four, 4);
  EXPECT_EQ(QOXberRead(f, "*"), kQOXErrBadParams);
  QOXberRewind(f);
  EXPECT_EQ(QOXberRead(f, "*{"), kQOXErrBadParams);
  QOXberRewind(f);
  EXPECT_EQ(QOXberRead(f, "x"), kQOXErrBadParams);
}

// The decoder copies into the caller's buffer only what fits: a value longer
// than the buffer the caller sized (measured on another element, or sent by
// a lying peer) must not be written past it.
TEST_F(BerTest, DecoderNeverCopiesMoreThanTheDestinationHolds) {
  QOXberElement* e = New();
  const std::string longValue(300, 'z');
  ASSERT_EQ(QOXberAppend(e, "{ss}", "ab", longValue.c_str()), kQOXErrNoErr);
  char small[8];
  std::memset(small, '#', sizeof small);
  ASSERT_EQ(QOXberRead(e, "{o", small, uint32_t{2}), kQOXErrNoErr);
  EXPECT_EQ(small[2], '#');
  std::memset(small, '#', sizeof small);
  EXPECT_EQ(QOXberRead(e, "s", small, uint32_t{sizeof small}), kQOXErrBadParams);
  EXPECT_EQ(small[0], '#');
  // "s" needs room for the terminating zero too.
  QOXberElement* f = FromBytes(Unhex("0403616263"));
  char three[3];
  EXPECT_EQ(QOXberRead(f, "s", three, uint32_t{3}), kQOXErrBadParams);
  char four[4];
  EXPECT_EQ(QOXberRead(f, "s", four, uint32_t{4}), kQOXErrNoErr);
  EXPECT_STREQ(four, "abc");
  EXPECT_EQ(QOXberRead(f, "s", nullptr, uint32_t{4}), kQOXErrNoErr);  // at the end: nothing
}

TEST_F(BerTest, MalformedHeadersAreRefusedByDecoderAndWalkers) {
  const char* bad[] = {
      "0480",            // indefinite length
      "0485000000000101",  // five length octets
      "048201",          // length octets cut short
      "0405616263",      // contents run past the end
      "0484ffffffff00",  // a huge length with one byte behind it
      "30050201",        // sequence longer than the buffer
      "1f",              // high tag form with no follow-on octet
      "1f8081828384850100",  // high tag form longer than four octets
      "02",              // identifier without a length
  };
  for (const char* hex : bad) {
    QOXberElement* e = FromBytes(Unhex(hex));
    uint32_t start, tag, len;
    QOXberGetIndex(e, &start);
    int32_t v;
    char buf[64];
    EXPECT_EQ(QOXberRead(e, "o", buf, uint32_t{sizeof buf}), kQOXErrBadParams) << hex;
    QOXberSetIndex(e, start);
    EXPECT_EQ(QOXberRead(e, "i", &v), kQOXErrBadParams) << hex;
    QOXberSetIndex(e, start);
    EXPECT_EQ(QOXberPeek(e, &tag, &len), kQOXErrBadParams) << hex;
    EXPECT_EQ(QOXberNext(e), kQOXErrBadParams) << hex;
    EXPECT_EQ(QOXberSkip(e), kQOXErrBadParams) << hex;
    EXPECT_EQ(QOXberNextPrimitive(e), kQOXErrBadParams) << hex;
    EXPECT_EQ(QOXberNextConstructed(e), kQOXErrBadParams) << hex;
  }
  // A one-octet long form is accepted when reading, as is a high tag.
  QOXberElement* e = FromBytes(Unhex("0481026869" "9f220100"));
  uint32_t tag, len;
  ASSERT_EQ(QOXberPeek(e, &tag, &len), kQOXErrNoErr);
  EXPECT_EQ(len, 2u);
  ASSERT_EQ(QOXberSkip(e), kQOXErrNoErr);
  ASSERT_EQ(QOXberPeek(e, &tag, &len), kQOXErrNoErr);
  EXPECT_EQ(tag, 0x22u);  // the tag number of the one follow-on octet
  EXPECT_EQ(len, 1u);
}

TEST_F(BerTest, WalkersMoveOverASearchEntry) {
  QOXberElement* e = New();
  // {id [APPLICATION 4]{dn {{type [value value]}}}}
  ASSERT_EQ(QOXberAppend(e, "{it{s{{s[oo]}}}}", 3, 0x64u, "cn=a", "mail", "x", 1u, "yz", 2u),
            kQOXErrNoErr);
  uint32_t tag, len, index, total;
  QOXberGetLength(e, &total);
  ASSERT_EQ(QOXberPeek(e, &tag, &len), kQOXErrNoErr);
  EXPECT_EQ(tag, 0x30u);
  EXPECT_EQ(len + 2, total);
  QOXberGetIndex(e, &index);
  EXPECT_EQ(index, 0u);  // peek does not move

  ASSERT_EQ(QOXberNextPrimitive(e), kQOXErrNoErr);  // into the sequence, onto the ID
  ASSERT_EQ(QOXberPeek(e, &tag, &len), kQOXErrNoErr);
  EXPECT_EQ(tag, 2u);
  ASSERT_EQ(QOXberNextPrimitive(e), kQOXErrNoErr);  // already primitive: stays
  QOXberGetIndex(e, &index);
  EXPECT_EQ(index, 2u);
  ASSERT_EQ(QOXberNextConstructed(e), kQOXErrNoErr);  // skips the ID, enters 0x64
  ASSERT_EQ(QOXberPeek(e, &tag, &len), kQOXErrNoErr);
  EXPECT_EQ(tag, 4u);  // the DN
  ASSERT_EQ(QOXberSkip(e), kQOXErrNoErr);
  ASSERT_EQ(QOXberNext(e), kQOXErrNoErr);  // onto the attribute list's contents
  ASSERT_EQ(QOXberNext(e), kQOXErrNoErr);  // onto the one attribute's contents
  char type[8];
  ASSERT_EQ(QOXberRead(e, "s", type, uint32_t{sizeof type}), kQOXErrNoErr);
  EXPECT_STREQ(type, "mail");
  ASSERT_EQ(QOXberPeek(e, &tag, &len), kQOXErrNoErr);
  EXPECT_EQ(tag, 0x31u);
  // Walking on to the end: the last primitive, then the end.
  ASSERT_EQ(QOXberNextPrimitive(e), kQOXErrNoErr);
  ASSERT_EQ(QOXberSkip(e), kQOXErrNoErr);
  ASSERT_EQ(QOXberSkip(e), kQOXErrNoErr);
  QOXberGetIndex(e, &index);
  EXPECT_EQ(index, total);
  EXPECT_EQ(QOXberNext(e), kQOXErrEndOfIteration);
  EXPECT_EQ(QOXberSkip(e), kQOXErrEndOfIteration);
  EXPECT_EQ(QOXberNextPrimitive(e), kQOXErrEndOfIteration);
  EXPECT_EQ(QOXberNextConstructed(e), kQOXErrEndOfIteration);
  EXPECT_EQ(QOXberSetIndex(e, total + 1), kQOXErrBadParams);
  EXPECT_EQ(QOXberSetIndex(e, total), kQOXErrNoErr);

  // Running off the end on the way returns 0 with the index at the end.
  QOXberElement* prims = FromBytes(Unhex("020101020102"));
  ASSERT_EQ(QOXberNextConstructed(prims), kQOXErrNoErr);
  QOXberGetIndex(prims, &index);
  QOXberGetLength(prims, &total);
  EXPECT_EQ(index, total);
}

TEST_F(BerTest, NullArgumentsAreRefused) {
  QOXberElement* e = New();
  uint32_t u;
  const uint8_t* p;
  EXPECT_EQ(qoxNewBERElement(mgr_, nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXFreeBERElement(nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXberRead(nullptr, "i"), kQOXErrBadParams);
  EXPECT_EQ(QOXberPeek(e, nullptr, &u), kQOXErrBadParams);
  EXPECT_EQ(QOXberGetEncoding(e, nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXberGetEncoding(nullptr, &p), kQOXErrBadParams);
  EXPECT_EQ(QOXberGetLength(nullptr, &u), kQOXErrBadParams);
  EXPECT_EQ(QOXberRewind(nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXberSkip(nullptr), kQOXErrBadParams);
  // A fresh element is empty: walkers are at the end.
  EXPECT_EQ(QOXberSkip(e), kQOXErrEndOfIteration);
  int32_t tag;
  EXPECT_EQ(qoxBERFormatSpecifierToTag('x', &tag), kQOXErrBadParams);
  EXPECT_EQ(tag, -1);
  EXPECT_EQ(qoxBERFormatSpecifierToTag('s', &tag), kQOXErrNoErr);
  EXPECT_EQ(tag, 4);
}

// --- pyasn1 as an independent codec ---

std::string RunOracle(const std::string& mode, const std::string& arg) {
  EXPECT_EQ(arg.find('\''), std::string::npos);
  std::string cmd = "/usr/bin/python3 " OSTRAK_TEST_DATA "/ldap_oracle.py " + mode + " '" + arg + "'";
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) return "";
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  EXPECT_EQ(pclose(f), 0) << cmd;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

TEST_F(BerTest, PyAsn1DecodesWhatTheEncoderWrites) {
  const std::string text200(200, 't');
  struct Case {
    const char* what;
    std::function<QOXError(QOXberElement*)> append;
    std::string json;
  };
  const Case cases[] = {
      {"search done",
       [](auto e) { return QOXberAppend(e, "{it{ess}}", 7, 0x65u, 32, "o=x", "no such"); },
       R"({"messageID":7,"protocolOp":{"searchResDone":{"errorMessage":"no such","matchedDN":"o=x","resultCode":32}}})"},
      {"bind response with a long text (0x82 form)",
       [&](auto e) { return QOXberAppend(e, "{it{ess}}", 300, 0x61u, 0, "", text200.c_str()); },
       R"({"messageID":300,"protocolOp":{"bindResponse":{"errorMessage":")" + text200 +
           R"(","matchedDN":"","resultCode":0}}})"},
      {"search entry",
       [](auto e) {
         if (QOXError err = QOXberAppend(e, "{it{s{", -5, 0x64u, "qoxcertid=1")) return err;
         const char* attrs[][3] = {{"qoxkeyid", "ABCD0123", "EF"}, {"qoxdisabled", "0", nullptr}};
         for (auto& a : attrs) {
           if (QOXError err = QOXberAppend(e, "{s[", a[0])) return err;
           for (int i = 1; i < 3 && a[i]; ++i)
             if (QOXError err = QOXberAppend(e, "o", a[i], uint32_t(strlen(a[i])))) return err;
           if (QOXError err = QOXberAppend(e, "]}")) return err;
         }
         return QOXberAppend(e, "}}}");
       },
       R"({"messageID":-5,"protocolOp":{"searchResEntry":{"attributes":[{"type":"qoxkeyid","vals":["ABCD0123","EF"]},{"type":"qoxdisabled","vals":["0"]}],"objectName":"qoxcertid=1"}}})"},
      {"search request with nested filter",
       [](auto e) {
         const char* attrs[] = {"qoxkey", "qoxkeyv2", nullptr};
         return QOXberAppend(e, "{it{seeiibt{t{ss}t{ts}t{ss}}{v}}}", 2, 0x63u, "OU=ACTIVE", 2, 0,
                             100, 30, 0, 0xa0u, 0xa3u, "qoxkeyid", "1234", 0xa2u, 0x87u,
                             "qoxdisabled", 0xa5u, "qoxkeysize", "1024", attrs);
       },
       R"({"messageID":2,"protocolOp":{"searchRequest":{"attributes":["qoxkey","qoxkeyv2"],"baseObject":"OU=ACTIVE","derefAliases":0,"filter":{"and":[{"equalityMatch":{"type":"qoxkeyid","value":"1234"}},{"not":{"present":"qoxdisabled"}},{"greaterOrEqual":{"type":"qoxkeysize","value":"1024"}}]},"scope":2,"sizeLimit":100,"timeLimit":30,"typesOnly":false}}})"},
      {"bind request",
       [](auto e) { return QOXberAppend(e, "{it{ists}}", 1, 0x60u, 2, "cn=admin", 0x80u, "secret"); },
       R"({"messageID":1,"protocolOp":{"bindRequest":{"authentication":{"simple":"secret"},"name":"cn=admin","version":2}}})"},
      {"unbind", [](auto e) { return QOXberAppend(e, "{itn}", 3, 0x42u); },
       R"({"messageID":3,"protocolOp":{"unbindRequest":null}})"},
  };
  for (const Case& c : cases) {
    QOXberElement* e = New();
    ASSERT_EQ(c.append(e), kQOXErrNoErr) << c.what;
    EXPECT_EQ(RunOracle("decode", Encoding(e)), c.json) << c.what;
  }
}

TEST_F(BerTest, DecoderReadsWhatPyAsn1Writes) {
  // pyasn1 writes 128..255 with the one-octet long form (0x81), which the
  // decoder accepts though the encoder never writes it.
  const std::string dn(150, 'd');
  std::string hex = RunOracle(
      "encode", R"({"messageID":70000,"protocolOp":{"searchRequest":{"attributes":["qoxkey"],"baseObject":")" +
                    dn +
                    R"(","derefAliases":3,"filter":{"or":[{"present":"qoxkeyid"},{"substrings":{"type":"qoxuserid","substrings":[{"initial":"al"},{"any":"ic"},{"final":"e"}]}}]},"scope":1,"sizeLimit":-1,"timeLimit":0,"typesOnly":true}}})");
  ASSERT_FALSE(hex.empty());
  ASSERT_NE(hex.find("0481" "96"), std::string::npos);  // the DN with a 0x81 length
  QOXberElement* e = FromBytes(Unhex(hex));
  int32_t id, scope, deref, size, time, typesOnly;
  uint32_t op, filterTag, itemTag;
  char base[200], type[32], sub[8];
  ASSERT_EQ(QOXberRead(e, "{it", &id, &op), kQOXErrNoErr);
  EXPECT_EQ(id, 70000);
  EXPECT_EQ(op, 0x63u);
  ASSERT_EQ(QOXberRead(e, "seeiib", base, uint32_t{sizeof base}, &scope, &deref, &size, &time,
                       &typesOnly),
            kQOXErrNoErr);
  EXPECT_EQ(std::string(base), dn);
  EXPECT_EQ(scope, 1);
  EXPECT_EQ(deref, 3);
  EXPECT_EQ(size, -1);
  EXPECT_EQ(time, 0);
  EXPECT_EQ(typesOnly, 1);
  ASSERT_EQ(QOXberRead(e, "t", &filterTag), kQOXErrNoErr);
  EXPECT_EQ(filterTag, 0xa1u);
  uint32_t len;
  ASSERT_EQ(QOXberPeek(e, &itemTag, &len), kQOXErrNoErr);
  EXPECT_EQ(itemTag, 0x87u);
  ASSERT_EQ(QOXberRead(e, "*s", type, uint32_t{sizeof type}), kQOXErrNoErr);
  EXPECT_STREQ(type, "qoxkeyid");
  ASSERT_EQ(QOXberRead(e, "ts{", &itemTag, type, uint32_t{sizeof type}), kQOXErrNoErr);
  EXPECT_EQ(itemTag, 0xa4u);
  EXPECT_STREQ(type, "qoxuserid");
  const char* parts[][2] = {{"\x80", "al"}, {"\x81", "ic"}, {"\x82", "e"}};
  for (auto& p : parts) {
    uint32_t t;
    uint32_t tag, len;
    ASSERT_EQ(QOXberPeek(e, &tag, &len), kQOXErrNoErr);
    ASSERT_EQ(QOXberRead(e, "t", &t), kQOXErrNoErr);  // steps into the primitive
    EXPECT_EQ(t, static_cast<uint8_t>(p[0][0]));
    // Back onto the element and read its contents by implicit tag.
    uint32_t index;
    QOXberGetIndex(e, &index);
    QOXberSetIndex(e, index - 2);
    ASSERT_EQ(QOXberRead(e, "*s", sub, uint32_t{sizeof sub}), kQOXErrNoErr);
    EXPECT_STREQ(sub, p[1]);
  }
  char attr[16];
  ASSERT_EQ(QOXberRead(e, "{s", attr, uint32_t{sizeof attr}), kQOXErrNoErr);
  EXPECT_STREQ(attr, "qoxkey");
}

}  // namespace
