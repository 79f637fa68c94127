// Key IDs from text: "0x" and 8 or 16 hexadecimal digits, high digit first;
// anything else is refused with the key ID cleared.
#include "keydb/key_id.h"

#include <cstring>

#include "foundation/sdk_errors.h"

namespace {

TEST(KeyIDTest, ParsesShortAndLongForms) {
  QOXKeyID id;
  ASSERT_EQ(QOXNewKeyIDFromString("0x01AbcDeF", 17, &id), kQOXErrNoErr);
  EXPECT_EQ(id.valid, 1);
  EXPECT_EQ(id.length, 4);
  EXPECT_EQ(id.algorithm, 17);
  const uint8_t shortBytes[] = {0x01, 0xAB, 0xCD, 0xEF};
  EXPECT_EQ(std::memcmp(id.bytes, shortBytes, 4), 0);

  ASSERT_EQ(QOXNewKeyIDFromString("0X0123456789ABCDEF", 1, &id), kQOXErrNoErr);
  EXPECT_EQ(id.length, 8);
  const uint8_t longBytes[] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  EXPECT_EQ(std::memcmp(id.bytes, longBytes, 8), 0);
}

TEST(KeyIDTest, RefusesOtherTextAndClearsTheKeyID) {
  const char* bad[] = {
      "01234567",            // no "0x"
      "0x0123456",           // 7 digits
      "0x012345678",         // 9 digits
      "0x0123456G",          // not a digit
      "1x01234567",          // wrong prefix
      "0x0123456789ABCDEF0"  // 17 digits
  };
  for (const char* text : bad) {
    QOXKeyID id;
    std::memset(&id, 0xA5, sizeof id);
    EXPECT_EQ(QOXNewKeyIDFromString(text, 0, &id), kQOXErrBadParams) << text;
    EXPECT_EQ(id.valid, 0) << text;
    EXPECT_EQ(id.bytes[0], 0) << text;
  }
  QOXKeyID id;
  EXPECT_EQ(QOXNewKeyIDFromString(nullptr, 0, &id), kQOXErrBadParams);
  EXPECT_EQ(QOXNewKeyIDFromString("0x01234567", 0, nullptr), kQOXErrBadParams);
}

}  // namespace
