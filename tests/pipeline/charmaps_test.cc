// Character sets: the ASCII folding table, cp850 and EBCDIC against
// Python's codecs, and the lookup by name (through the environment too).
#include <sstream>

#include "foundation/env.h"
#include "pipeline/charmaps.h"
#include "pipeline_test_support.h"

namespace {

using pipeline_test::PipelineTest;

class CharmapsTest : public PipelineTest {};

// Python's codec of each byte, as the Latin-1 code point or -1 when the
// byte decodes to a character outside Latin-1.
std::vector<int> PythonCodec(const std::string& codec) {
  std::string cmd = "/usr/bin/python3 -c \"import sys\nfor b in range(256):\n c = ord(bytes([b]).decode('" + codec +
                    "'))\n print(c if c < 256 else -1)\"";
  std::vector<int> out;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  int v = 0;
  while (std::fscanf(p, "%d", &v) == 1) out.push_back(v);
  pclose(p);
  return out;
}

TEST_F(CharmapsTest, Latin1ToAsciiByteForByte) {
  // Latin-1 0xA0-0xFF as the fold writes them, 16 a row.
  const uint8_t high[96] = {
      0x20, 0x21, 0x63, 0x23, 0x24, 0x59, 0x7C, 0x53, 0x22, 0x43, 0x61, 0x3C, 0x7E, 0x2D, 0x52, 0x5F,
      0x6F, 0x3F, 0x32, 0x33, 0x27, 0x75, 0x50, 0x2E, 0x2C, 0x31, 0x6F, 0x3E, 0x3F, 0x3F, 0x3F, 0x3F,
      0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x45, 0x43, 0x45, 0x45, 0x45, 0x45, 0x49, 0x49, 0x49, 0x49,
      0x44, 0x4E, 0x4F, 0x4F, 0x4F, 0x4F, 0x4F, 0x78, 0x4F, 0x55, 0x55, 0x55, 0x55, 0x59, 0x54, 0x73,
      0x61, 0x61, 0x61, 0x61, 0x61, 0x61, 0x65, 0x65, 0x65, 0x65, 0x65, 0x65, 0x69, 0x69, 0x69, 0x69,
      0x64, 0x6E, 0x6F, 0x6F, 0x6F, 0x6F, 0x6F, 0x2F, 0x6F, 0x75, 0x75, 0x75, 0x75, 0x74, 0x74, 0x79,
  };
  for (int b = 0; b < 256; ++b) {
    int expected = b < 0x80 ? b : b == 0x80 ? 0 : b < 0xA0 ? '?' : high[b - 0xA0];
    EXPECT_EQ(latin1_to_ascii[b], expected) << b;
    EXPECT_EQ(charMapIdentity[b], b);
  }
}

TEST_F(CharmapsTest, Cp850AgreesWithPythonAndPairsTheRest) {
  std::vector<int> py = PythonCodec("cp850");
  ASSERT_EQ(py.size(), 256u);
  int next = 0x80;  // bytes outside Latin-1 take 0x80-0x9F in ascending order
  for (int b = 0; b < 256; ++b) {
    int expected = py[b] >= 0 ? py[b] : next++;
    EXPECT_EQ(cp850_to_latin1[b], expected) << b;
  }
  EXPECT_EQ(next, 0xA0);
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ(latin1_to_cp850[cp850_to_latin1[b]], b);
    EXPECT_EQ(latin1_to_ebcdic[ebcdic_to_latin1[b]], b);
  }
}

TEST_F(CharmapsTest, EbcdicIsCp500WithTheBarsExchanged) {
  std::vector<int> py = PythonCodec("cp500");
  ASSERT_EQ(py.size(), 256u);
  for (int b = 0; b < 256; ++b) {
    int expected = b == 0x6A ? '|' : b == 0xBB ? 0xA6 : py[b];
    EXPECT_EQ(ebcdic_to_latin1[b], expected) << b;
  }
  // The anchors of the code page.
  EXPECT_EQ(latin1_to_ebcdic['A'], 0xC1);
  EXPECT_EQ(latin1_to_ebcdic['\n'], 0x25);
  EXPECT_EQ(latin1_to_ebcdic['['], 0x4A);
  EXPECT_EQ(latin1_to_ebcdic[']'], 0x5A);
  EXPECT_EQ(latin1_to_ebcdic['!'], 0x4F);
  EXPECT_EQ(latin1_to_ebcdic['|'], 0x6A);
}

TEST_F(CharmapsTest, LookupByNameWithoutCase) {
  struct Case {
    std::string name;
    QOXError err;
    const uint8_t* from;
    const uint8_t* to;
  } cases[] = {
      {"noconv", 0, charMapIdentity.data(), charMapIdentity.data()},
      {"ASCII", 0, latin1_to_ascii.data(), charMapIdentity.data()},
      {"Cp850", 0, latin1_to_cp850.data(), cp850_to_latin1.data()},
      {"EBCDIC", 0, latin1_to_ebcdic.data(), ebcdic_to_latin1.data()},
      {"ebcd", kQOXErrUnknownCharset, nullptr, nullptr},
      {"ebcdicx", kQOXErrUnknownCharset, nullptr, nullptr},
      {"", kQOXErrUnknownCharset, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    const uint8_t* from = nullptr;
    const uint8_t* to = nullptr;
    EXPECT_EQ(qoxCharmaps(c.name.data(), c.name.size(), &from, &to), c.err) << c.name;
    EXPECT_EQ(from, c.from) << c.name;
    EXPECT_EQ(to, c.to) << c.name;
  }
  const uint8_t* m = nullptr;
  EXPECT_EQ(qoxCharmaps(nullptr, 0, &m, &m), kQOXErrBadParams);
  EXPECT_EQ(qoxCharmaps("ascii", 5, nullptr, &m), kQOXErrBadParams);
  // The first four letters of a name find nothing when the length says four.
  EXPECT_EQ(qoxCharmaps("ebcdic", 4, &m, &m), kQOXErrUnknownCharset);

  // The wired environment installs the pipeline's maps.
  QOXEnv* env = qoxContextGetEnvironment(context_);
  ASSERT_EQ(qoxenvSetString(env, kQOXEnvCharset, "EBCDIC", 25), 0);
  EXPECT_EQ(qoxenvGetPointer(env, kQOXEnvCharmapFromLocal, nullptr), latin1_to_ebcdic.data());
  EXPECT_EQ(qoxenvGetPointer(env, kQOXEnvCharmapToLocal, nullptr), ebcdic_to_latin1.data());
}

TEST_F(CharmapsTest, ConvertMapsEveryByteInPlace) {
  uint8_t text[] = "Hello [x]!";
  qoxCharmapConvert(text, 10, text, latin1_to_ebcdic.data());
  const uint8_t ebcdic[] = {0xC8, 0x85, 0x93, 0x93, 0x96, 0x40, 0x4A, 0xA7, 0x5A, 0x4F};
  EXPECT_EQ(std::memcmp(text, ebcdic, 10), 0);
  qoxCharmapConvert(text, 10, text, ebcdic_to_latin1.data());
  EXPECT_EQ(std::memcmp(text, "Hello [x]!", 10), 0);
}

}  // namespace
