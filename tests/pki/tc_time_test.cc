// OID strings and times: tc_create_oid against `openssl asn1parse -genstr
// OID:...`, the time decoders and encoders against Python's datetime over
// 1970-2106, the edge cases as tables. Mended: subidentifiers above 2^28-1
// are written whole and an overflowing number is refused; months outside
// 1-12, non-digits and years before 1970 read as unreadable (0); seconds
// are counted in 64 bits and held at 0xFFFFFFFE; UTCTime is not written for
// a year it cannot hold.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "tests/pki/tc_test_support.h"

namespace {

using namespace tctest;
using pkitest::Hex;

class TimeTest : public ToolkitTest {
 protected:
  // The bytes of tc_create_oid, or the code as "error N".
  std::string Oid(const char* text) {
    uint8_t* bytes = reinterpret_cast<uint8_t*>(1);
    uint32_t length = 99;
    int32_t e = tc_create_oid(&bytes, &length, text, ctx());
    if (e != kTCErrNone) {
      EXPECT_EQ(bytes, nullptr);
      EXPECT_EQ(length, 0u);
      return "error " + std::to_string(e);
    }
    std::string hex = HexOf(Bytes(bytes, bytes + length));
    ctx()->memMgr->deallocate(ctx()->memMgr, bytes);
    return hex;
  }
  static uint32_t Utc(const char* text) {
    PKIVariableBlock v{static_cast<uint32_t>(std::strlen(text)), reinterpret_cast<uint8_t*>(const_cast<char*>(text))};
    return tc_decode_UTCTime(&v);
  }
  static uint32_t Gen(const char* text) {
    PKIVariableBlock v{static_cast<uint32_t>(std::strlen(text)), reinterpret_cast<uint8_t*>(const_cast<char*>(text))};
    return tc_decode_GeneralizedTime(&v);
  }
  std::string Encoded(bool utc, int64_t when) {
    PKIVariableBlock* v = nullptr;
    int32_t e = utc ? tc_encode_utctime(&v, when, ctx()) : tc_EncodeGeneralizedTime(&v, when, ctx());
    if (e != kTCErrNone) {
      PKIFreeVariableBlock(ctx()->certCtx, v);
      return "error " + std::to_string(e);
    }
    EXPECT_EQ(v->bytes[v->length], 0) << "a NUL after the characters";
    std::string s(reinterpret_cast<char*>(v->bytes), v->length);
    PKIFreeVariableBlock(ctx()->certCtx, v);
    return s;
  }
};

TEST_F(TimeTest, OidTextTable) {
  const struct {
    const char* text;
    const char* hex;
  } cases[] = {
      {"1.2.840.113549", "2A864886F70D"},
      {"2.5.29.19", "551D13"},
      {"1.2.128", "2A8100"},
      {"1.2.16384", "2A818000"},
      {"1.2.2097152", "2A81808000"},
      {"1", ""},
      {"1..2", ""},
      {"1.2.", "2A"},
      {"1.2x3", "2A03"},  // any one character separates
      {"0.0", "00"},
      {"7.50", "824A"},  // the first two arcs are not checked
      // Subidentifiers beyond 28 bits are written whole.
      {"1.2.268435455", "2AFFFFFF7F"},
      {"1.2.268435456", "2A8180808000"},
      {"1.2.9223372036854775807", "2AFFFFFFFFFFFFFFFF7F"},
      {"2.18446744073709551535", "error -1"},  // beyond a signed 64-bit number
      {"1.2.99999999999999999999", "error -1"},
      {"1.2.-3", "error -1"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Oid(c.text), c.hex) << c.text;
  uint8_t* bytes = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(tc_create_oid(nullptr, &length, "1.2", ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(tc_create_oid(&bytes, nullptr, "1.2", ctx()), kTCErrInvalidArgs);
  EXPECT_EQ(tc_create_oid(&bytes, &length, nullptr, ctx()), kTCErrInvalidArgs);
  // No memory at any step: -3 and nothing left.
  for (long budget = 0; budget < 3; ++budget) {
    counting().counter().FailAfter(budget);
    EXPECT_EQ(tc_create_oid(&bytes, &length, "1.2.3.4", ctx()), kTCErrNoMemory);
    counting().counter().FailAfter(-1);
    EXPECT_EQ(bytes, nullptr);
  }
}

TEST_F(TimeTest, OidsEqualOpensslGenstr) {
  const char* oids[] = {"1.2.840.113549.1.9.1", "2.5.4.3",   "0.9.2342.19200300.100.1.25", "1.3.6.1.4.1.311.60.2.1.3",
                        "2.999.1",              "1.2.3.268435456.4294967296.9223372036854775807", "2.5.29.32.0"};
  TempDir dir;
  std::string script;
  for (size_t i = 0; i < std::size(oids); ++i)
    script += "openssl asn1parse -genstr OID:" + std::string(oids[i]) + " -noout -out " + dir.path() + "/" +
              std::to_string(i) + " && ";
  std::string output;
  ASSERT_EQ(Shell(script + "true", &output), 0) << output;
  for (size_t i = 0; i < std::size(oids); ++i) {
    Bytes der = ReadFile(dir.path() + "/" + std::to_string(i));
    ASSERT_GE(der.size(), 2u);
    EXPECT_EQ(Oid(oids[i]), HexOf(Bytes(der.begin() + 2, der.end()))) << oids[i];
  }
}

TEST_F(TimeTest, DecodingTable) {
  const struct {
    const char* text;
    bool utc;
    uint32_t seconds;
  } cases[] = {
      {"991231235959Z", true, 946684799},
      {"000101000000Z", true, 946684800},
      {"491231235959Z", true, 2524607999},
      {"500101000000Z", true, 0},  // 1950
      {"0001010000Z", true, 946684800},
      {"00010100000", true, 0},  // seconds would need 13 characters
      {"0001010000", true, 0},   // no zone
      {"000101010000+0100", true, 946684800},
      {"000101000000-0100", true, 946688400},
      {"000101000000+01", true, 0},  // zone cut short
      {"000101000000Zjunk", true, 946684800},
      {"991301000000Z", true, 0},  // month 13: unreadable, no read past the month table
      {"990001000000Z", true, 0},  // month 00
      {"99a231235959Z", true, 0},  // not a digit
      {"000101000000+0a00", true, 0},
      {"700100000000Z", true, 0},  // day 00 of 1970: before the epoch
      {"700101000000+0100", true, 0},
      {"20000229120000Z", false, 951825600},
      {"21000301000000Z", false, 4107542400},  // 2100 is a common year
      {"20000101000000.123Z", false, 946684800},
      {"20000101000000.Z", false, 946684800},
      {"200001010000Z", false, 946684800},
      {"20000101000000", false, 0},
      {"19500615000000Z", false, 0},  // before 1970 is unreadable, not 1970
      {"19691231235959Z", false, 0},
      {"21060207062814Z", false, 0xFFFFFFFE},
      {"21060207062815Z", false, 0xFFFFFFFE},  // held below the unknown mark
      {"99991231235959Z", false, 0xFFFFFFFE},
      {"20001301000000Z", false, 0},
      {"2000010100000", false, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(c.utc ? Utc(c.text) : Gen(c.text), c.seconds) << c.text;
  EXPECT_EQ(tc_decode_UTCTime(nullptr), 0u);
  // The choice: by selector, primitive or constructed.
  PKIVariableBlock u{13, reinterpret_cast<uint8_t*>(const_cast<char*>("000101000000Z"))};
  PKIVariableBlock g{15, reinterpret_cast<uint8_t*>(const_cast<char*>("20000101000000Z"))};
  for (uint8_t tag : {0x17, 0x37}) {
    PKITime t{tag, &u};
    EXPECT_EQ(tc_get_choiceoftime(&t), 946684800u);
  }
  for (uint8_t tag : {0x18, 0x38}) {
    PKITime t{tag, &g};
    EXPECT_EQ(tc_get_choiceoftime(&t), 946684800u);
  }
  PKITime other{0x13, &u};
  EXPECT_EQ(tc_get_choiceoftime(&other), kTCTimeUnknown);
  EXPECT_EQ(tc_get_choiceoftime(nullptr), kTCTimeUnknown);
  struct tm t = {};
  t.tm_year = 100;
  t.tm_mon = 12;
  t.tm_mday = 1;
  EXPECT_EQ(tc_gtime(&t), 0u);
  t.tm_mon = 0;
  EXPECT_EQ(tc_gtime(&t), 946684800u);
  t.tm_year = 69;
  EXPECT_EQ(tc_gtime(&t), 0u);
}

TEST_F(TimeTest, EncodingTable) {
  EXPECT_EQ(Encoded(true, 0), "700101000000Z");
  EXPECT_EQ(Encoded(false, 0), "19700101000000Z");
  EXPECT_EQ(Encoded(true, 2524607999), "491231235959Z");
  EXPECT_EQ(Encoded(true, 2524608000), "error -1");  // 2050 has no UTCTime here
  EXPECT_EQ(Encoded(false, 2524608000), "20500101000000Z");
  EXPECT_EQ(Encoded(false, 4294967295), "21060207062815Z");
  EXPECT_EQ(Encoded(true, -1), "error -1");
  EXPECT_EQ(Encoded(false, 253402300799), "99991231235959Z");
  EXPECT_EQ(Encoded(false, 253402300800), "error -1");
  EXPECT_EQ(tc_encode_utctime(nullptr, 0, ctx()), kTCErrInvalidArgs);
  PKIVariableBlock* v = reinterpret_cast<PKIVariableBlock*>(1);
  EXPECT_EQ(tc_EncodeGeneralizedTime(&v, 0, nullptr), kTCErrInvalidArgs);
  EXPECT_EQ(v, nullptr);
  // No memory: GeneralizedTime leaves nothing; UTCTime may leave the block
  // it made first in the output, for the caller to free.
  for (long budget = 0; budget < 2; ++budget) {
    counting().counter().FailAfter(budget);
    v = nullptr;
    EXPECT_EQ(tc_EncodeGeneralizedTime(&v, 0, ctx()), kTCErrNoMemory);
    EXPECT_EQ(v, nullptr);
    EXPECT_EQ(tc_encode_utctime(&v, 0, ctx()), kTCErrNoMemory);
    counting().counter().FailAfter(-1);
    PKIFreeVariableBlock(ctx()->certCtx, v);
  }
}

// Python's datetime as the oracle: random seconds from 1970 to 2106, their
// texts in both forms (UTCTime up to 2049), and the same instant written in
// a random zone.
TEST_F(TimeTest, DecodersAndEncodersAgreeWithPythonFrom1970To2106) {
  const char* script =
      "import datetime, random\n"
      "r = random.Random(2106)\n"
      "epoch = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)\n"
      "edges = [0, 1, 86399, 951782400, 2524607999, 2524608000, 4107542399, 4294967294]\n"
      "for s in edges + [r.randrange(0, 4294967295) for _ in range(400)]:\n"
      "    t = epoch + datetime.timedelta(seconds=s)\n"
      "    off = r.randrange(-23 * 60, 24 * 60)\n"
      "    z = datetime.timezone(datetime.timedelta(minutes=off))\n"
      "    local = t.astimezone(z)\n"
      "    sign = '+' if off >= 0 else '-'\n"
      "    zone = '%s%02d%02d' % (sign, abs(off) // 60, abs(off) % 60)\n"
      "    utc = t.strftime('%y%m%d%H%M%SZ') if t.year < 2050 else '-'\n"
      "    lutc = local.strftime('%y%m%d%H%M%S') + zone if 1950 <= local.year < 2050 and t.year < 2050 else '-'\n"
      "    print(s, utc, t.strftime('%Y%m%d%H%M%SZ'), lutc, local.strftime('%Y%m%d%H%M%S') + zone)\n";
  TempDir dir;
  std::string output;
  ASSERT_EQ(Shell("/usr/bin/python3 " + dir.Write("times.py", std::string(script)), &output), 0) << output;
  std::istringstream lines(output);
  int checked = 0;
  int64_t seconds;
  std::string utc, gen, localUtc, localGen;
  while (lines >> seconds >> utc >> gen >> localUtc >> localGen) {
    SCOPED_TRACE(gen);
    if (utc != "-") {
      EXPECT_EQ(Utc(utc.c_str()), seconds);
      EXPECT_EQ(Encoded(true, seconds), utc);
    } else {
      EXPECT_EQ(Encoded(true, seconds), "error -1");
    }
    if (localUtc != "-") {
      EXPECT_EQ(Utc(localUtc.c_str()), seconds) << localUtc;
    }
    EXPECT_EQ(Gen(gen.c_str()), seconds);
    EXPECT_EQ(Gen(localGen.c_str()), seconds) << localGen;
    EXPECT_EQ(Encoded(false, seconds), gen);
    ++checked;
  }
  EXPECT_EQ(checked, 408);
}

}  // namespace
