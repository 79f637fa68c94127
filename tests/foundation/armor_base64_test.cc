// armorInput against the RFC 4648 test vectors and Python's base64 on
// every byte value and length.
#include "foundation/armor_base64.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Encode(const std::string& in) {
  std::string out(ArmorBase64Length(in.size()), '?');
  size_t n = armorInput(reinterpret_cast<const uint8_t*>(in.data()), in.size(), out.data());
  EXPECT_EQ(n, out.size());
  return out;
}

TEST(ArmorBase64Test, Rfc4648Vectors) {
  const char* vectors[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},       {"foo", "Zm9v"},
                              {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (auto& v : vectors) EXPECT_EQ(Encode(v[0]), v[1]) << v[0];
}

TEST(ArmorBase64Test, AgreesWithPython) {
  std::string input;
  for (int i = 0; i < 256; ++i) input += static_cast<char>(255 - i);
  FILE* py = popen("/usr/bin/python3 -c \"import base64;d=bytes(range(255,-1,-1));"
                   "print(' '.join(base64.b64encode(d[:n]).decode() for n in range(1,257)))\"",
                   "r");
  ASSERT_NE(py, nullptr);
  std::string theirs;
  char buf[4096];
  while (fgets(buf, sizeof buf, py) != nullptr) theirs += buf;
  pclose(py);
  std::string ours;
  for (size_t n = 1; n <= 256; ++n) ours += (n > 1 ? " " : "") + Encode(input.substr(0, n));
  EXPECT_EQ(ours + "\n", theirs);
  EXPECT_EQ(ArmorBase64Value('='), -1);
  EXPECT_EQ(ArmorBase64Value('/'), 63);
}

}  // namespace

namespace {

std::string ReadFile(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  EXPECT_NE(f, nullptr) << path;
  std::string s;
  if (f == nullptr) return s;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

int DearmorLine(const std::string& line, std::string* out) {
  uint8_t buf[256];
  int n = QOXDAdearmorLine(line.data(), line.size(), buf);
  if (n > 0) out->assign(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
  return n;
}

TEST(ArmorLineTest, LinesWithEachPadding) {
  struct Case {
    const char* line;
    int bytes;
    const char* decoded;
  } cases[] = {
      {"YWJj", 3, "abc"},        {"YWI=", 2, "ab"},        {"YQ==", 1, "a"},
      {"YQ=3D=3D", 1, "a"},      // quoted-printable padding
      {"YWJjYQ==", 4, "abca"},   {"", 0, ""},
      {"YQ=", -1, ""},           // a short group
      {"YWJjY", -1, ""},         // a stray character after the groups
      {"YQ==YWJj", -1, ""},      // padding followed by more text
      {"YWI=YWJj", -1, ""},      // the same with one '='
      {"YQ=3D=3Dxx", -1, ""},    // quoted-printable padding not at the end
      {"Y===", -1, ""},          // one valid character
      {"YW I", -1, ""},          // a blank inside a group
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(DearmorLine(c.line, &out), c.bytes) << c.line;
    if (c.bytes > 0) {
      EXPECT_EQ(out, c.decoded) << c.line;
    }
  }
}

TEST(ArmorLineTest, ChecksumLine) {
  // "=" and four characters; trailing blanks allowed; value first byte high.
  EXPECT_EQ(QOXDAdearmorCrc("=YWJj  \t", 8), 0x616263);
  EXPECT_EQ(QOXDAdearmorCrc("=////", 5), 0xFFFFFF);
  for (const char* bad : {"=YWJ", "YWJjY", "=YWJjY", "=YW=j", " =YWJj", ""})
    EXPECT_EQ(QOXDAdearmorCrc(bad, strlen(bad)), -1) << bad;
}

TEST(ArmorLineTest, GetlineSplitsAtEveryLineEndAndKeeps255) {
  std::string text = "one  \r\ntwo\rthree\n\n" + std::string(300, 'x') + "\nlast";
  const char* cursor = text.data();
  size_t remaining = text.size();
  char line[kDearmorMaxLine + 1];
  size_t n = 0;
  std::vector<std::string> lines;
  while (QOXDAgetline(&cursor, &remaining, line, sizeof line, &n) == 0) lines.emplace_back(line, n);
  std::vector<std::string> want = {"one", "two", "three", "", std::string(255, 'x'), "last"};
  EXPECT_EQ(lines, want);
  // A small buffer keeps what fits, terminated.
  const char* small = "abcdef\n";
  cursor = small;
  remaining = 7;
  char tiny[4];
  ASSERT_EQ(QOXDAgetline(&cursor, &remaining, tiny, sizeof tiny, &n), 0);
  EXPECT_STREQ(tiny, "abc");
  EXPECT_EQ(remaining, 0u);
}

// unarmorInput: lenient groups, never past the text or the output.
TEST(UnarmorInputTest, BoundedOnBothSides) {
  uint8_t out[9];
  size_t written = 0;
  EXPECT_EQ(unarmorInput("YWJj", 4, out, sizeof out, &written), 4u);
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(memcmp(out, "abc", 3), 0);
  // Characters outside the alphabet, '=' included, count as 0.
  EXPECT_EQ(unarmorInput("Y*==", 4, out, sizeof out, &written), 4u);
  EXPECT_EQ(out[0], 0x60);
  EXPECT_EQ(out[1], 0);
  // One character decodes nothing; a short last group reads no further.
  EXPECT_EQ(unarmorInput("Y", 1, out, sizeof out, &written), 0u);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(unarmorInput("YWJjYW", 6, out, sizeof out, &written), 6u);
  EXPECT_EQ(written, 6u);
  EXPECT_EQ(memcmp(out, "abca`\0", 6), 0);
  // The output bound stops the decoding: 12 groups into 9 bytes.
  std::string many(48, 'A');
  EXPECT_EQ(unarmorInput(many.data(), many.size(), out, sizeof out, &written), 12u);
  EXPECT_EQ(written, 9u);
}

TEST(DearmorBufferTest, GpgArmoredKeyEqualsItsBinaryExport) {
  std::string data = std::string(OSTRAK_SOURCE_DIR) + "/tests/keydb/data/";
  std::string armored = ReadFile(data + "alice.asc");
  std::string binary = ReadFile(data + "alice.bin");
  ASSERT_FALSE(binary.empty());
  std::string crlf;
  for (char c : armored) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  for (const std::string& text : {armored, "Some text before\n\n" + armored, crlf}) {
    std::vector<uint8_t> out(text.size());
    size_t n = 0;
    ASSERT_EQ(DearmorBuffer(text.data(), text.size(), out.data(), out.size(), &n), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data()), n), binary);
    // Too small an output is refused, not overrun.
    EXPECT_EQ(DearmorBuffer(text.data(), text.size(), out.data(), binary.size() - 1, &n), -1);
  }
}

TEST(DearmorBufferTest, EachFailureSaysWhy) {
  struct Case {
    const char* text;
    const char* printed;
  } cases[] = {
      {"no armor here\n", "ASCII Dearmor Error: no BEGIN QOX.\n"},
      {"-----BEGIN QOX MESSAGE-----\n\nYWJj\n=YWJj\n", "ASCII Dearmor Error: no BEGIN QOX.\n"},
      {"-----BEGIN PGP MESSAGE-----\nVersion: x\n", "ASCII Dearmor Error: QOX message block headers never end.\n"},
      {"-----BEGIN PGP MESSAGE-----\n\nYWJj\nYWI=\n", "ASCII Dearmor Error: Abnormal termination.\n"},
      {"-----BEGIN PGP MESSAGE-----\n\nYWJj\nYW!j\n=YWJj\n", ""},
  };
  for (const Case& c : cases) {
    uint8_t out[64];
    size_t n = 99;
    testing::internal::CaptureStdout();
    EXPECT_EQ(DearmorBuffer(c.text, strlen(c.text), out, sizeof out, &n), -1) << c.text;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << c.text;
  }
  // The checksum is not compared; the body ends at it.
  const char* ok = "-----BEGIN PGP MESSAGE-----\nVersion: x\n\nYWJj\nYWI=\n=AAAA\n-----END PGP MESSAGE-----\n";
  uint8_t out[64];
  size_t n = 0;
  ASSERT_EQ(DearmorBuffer(ok, strlen(ok), out, sizeof out, &n), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), "abcab");
}

TEST(ArmorMorselTest, GroupsBothWays) {
  char text[4];
  armorMorsel(reinterpret_cast<const uint8_t*>("abc"), text);
  EXPECT_EQ(std::string(text, 4), "YWJj");
  uint8_t bytes[3];
  unarmorMorsel("YWJj", bytes);
  EXPECT_EQ(memcmp(bytes, "abc", 3), 0);
  EXPECT_EQ(dearmorMorsel("YW=j", 4, bytes), 2);
  EXPECT_EQ(bytes[0], 'a');
}

}  // namespace
