// Hexadecimal conversions.
#include "foundation/hex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Hex, TextToBytes) {
  struct Case {
    const char* text;
    size_t max;
    std::vector<uint8_t> expected;
  } const cases[] = {
      {"ABC", 2, {0xAB, 0x0C}},           // a lone last digit is a byte of its own
      {"ABC", 1, {0xAB}},                 // the room runs out first
      {"0x", 4, {}},                      // a prefix alone
      {"0X1f2E", 4, {0x1F, 0x2E}},
      {"12g4", 4, {0x12}},                // stops at the first non-digit
      {"1g", 4, {0x01}},
      {"", 4, {}},
      {"00ff", 0, {}},
      {"0", 4, {0x00}},                   // "0" without x is a digit, not a prefix
      {"0x0x12", 4, {0x00}},              // only one prefix is skipped
  };
  for (const Case& c : cases) {
    uint8_t out[8] = {};
    size_t n = qoxHexToBytes(c.text, c.max, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + n), c.expected) << c.text << " max " << c.max;
  }
}

TEST(Hex, BytesToTextAndWords) {
  const uint8_t bytes[] = {0x00, 0x9A, 0xFF};
  char out[16];
  qoxBytesToHex(bytes, 3, 0, out);
  EXPECT_STREQ(out, "009AFF");
  qoxBytesToHex(bytes, 3, 0x100, out);  // only the low byte of the flag counts
  EXPECT_STREQ(out, "009AFF");
  qoxBytesToHex(bytes, 3, 1, out);
  EXPECT_STREQ(out, "0x009AFF");
  qoxBytesToHex(bytes, 0, 1, out);
  EXPECT_STREQ(out, "0x");

  qoxQOXUInt32ToHex(0x0012ABCDu, 0, out);
  EXPECT_STREQ(out, "0012ABCD");
  qoxQOXUInt32ToHex(0xDEADBEEFu, 1, out);
  EXPECT_STREQ(out, "0xDEADBEEF");

  EXPECT_EQ(qoxHexToQOXUInt32("0x12"), 18u);
  EXPECT_EQ(qoxHexToQOXUInt32("DEADBEEF99"), 0xDEADBEEFu);
  EXPECT_EQ(qoxHexToQOXUInt32("xyz"), 0u);
  EXPECT_EQ(qoxHexToQOXUInt32("ABC"), 0xAB0Cu);
}

TEST(Hex, DigitClassification) {
  for (int c = 0; c < 256; ++c) {
    bool valid = std::string("0123456789abcdefABCDEF").find(static_cast<char>(c)) !=
                     std::string::npos && c != 0;
    EXPECT_EQ(qoxIsValidHexChar(static_cast<char>(c)), valid) << c;
  }
  EXPECT_EQ(qoxHexCharToNibble('7'), 7);
  EXPECT_EQ(qoxHexCharToNibble('a'), 10);
  EXPECT_EQ(qoxHexCharToNibble('F'), 15);
}

}  // namespace
