// The strict Base64 decoder: a table of refused texts (each names the fault
// a lenient decoder lets through), and every length and byte value decoded
// against Python's base64 as the oracle.
#include "foundation/base64.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

bool Decode(const std::string& text, std::string* out) {
  std::vector<uint8_t> buffer(ostrak::Base64DecodedMaxLength(text.size()) + 1);
  size_t n = 0;
  if (!ostrak::Base64Decode(text.data(), text.size(), buffer.data(), &n)) return false;
  out->assign(reinterpret_cast<const char*>(buffer.data()), n);
  return true;
}

TEST(Base64Decode, AcceptsCanonicalAndRefusesEverythingElse) {
  struct Case {
    const char* text;
    bool ok;
    const char* bytes;
  } cases[] = {
      {"", true, ""},
      {"Zg==", true, "f"},
      {"Zm8=", true, "fo"},
      {"Zm9vYmFy", true, "foobar"},
      {"Zm9vYg==", true, "foob"},
      {"Zm9", false, ""},         // not a whole group
      {"Zm9vY", false, ""},       // a trailing partial group
      {"Zg==Zm9v", false, ""},    // data after the padding (once cut off silently)
      {"Zg=v", false, ""},        // '=' before a character
      {"Z===", false, ""},        // too much padding
      {"====", false, ""},        // padding only
      {"Zm9v\nYmFy", false, ""},  // a line break
      {"Zm 9", false, ""},        // a blank
      {"Zm9-", false, ""},        // the URL-safe alphabet
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string out;
    EXPECT_EQ(Decode(c.text, &out), c.ok);
    if (c.ok) {
      EXPECT_EQ(out, c.bytes);
    }
  }
  std::string out;
  EXPECT_FALSE(Decode(std::string("Zm9v\0Zm9", 8), &out));  // a NUL inside the text
}

TEST(Base64Decode, InPlaceAgreesWithPython) {
  FILE* py = popen(
      "/usr/bin/python3 -c \"import base64;d=bytes(range(255,-1,-1));"
      "print(' '.join(base64.b64encode(d[:n]).decode() for n in range(0,257)))\"",
      "r");
  ASSERT_NE(py, nullptr);
  std::string theirs;
  char buf[4096];
  while (fgets(buf, sizeof buf, py) != nullptr) theirs += buf;
  ASSERT_EQ(pclose(py), 0);
  std::string input;
  for (int i = 0; i < 256; ++i) input += static_cast<char>(255 - i);
  size_t n = 0, start = 0;
  for (; start <= theirs.size(); ++n) {
    size_t end = theirs.find_first_of(" \n", start);
    if (end == std::string::npos) break;
    std::string text = theirs.substr(start, end - start);
    start = end + 1;
    // Ours encodes the same text.
    std::string ours(ostrak::Base64EncodedLength(n), '?');
    ostrak::Base64Encode(reinterpret_cast<const uint8_t*>(input.data()), n, ours.data());
    EXPECT_EQ(ours, text) << n;
    // And decodes it in place back to the bytes.
    size_t decoded = 0;
    ASSERT_TRUE(ostrak::Base64Decode(text.data(), text.size(), reinterpret_cast<uint8_t*>(text.data()), &decoded));
    EXPECT_EQ(text.substr(0, decoded), input.substr(0, n)) << n;
  }
  EXPECT_EQ(n, 257u);
}

}  // namespace
