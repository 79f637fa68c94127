// armorInput against the RFC 4648 test vectors and Python's base64 on
// every byte value and length.
#include "foundation/armor_base64.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

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
