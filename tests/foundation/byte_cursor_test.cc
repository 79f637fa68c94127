#include "foundation/byte_cursor.h"

#include <gtest/gtest.h>

namespace ostrak {
namespace {

TEST(ByteCursor, ReadsBigEndianAndFailsWithoutMoving) {
  const uint8_t in[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
  ByteCursor c(in, sizeof in);
  uint8_t b;
  uint16_t s;
  uint32_t w;
  ASSERT_TRUE(c.get_u8(&b));
  EXPECT_EQ(b, 0x01);
  ASSERT_TRUE(c.get_u16be(&s));
  EXPECT_EQ(s, 0x0203);
  ASSERT_TRUE(c.get_u32be(&w));
  EXPECT_EQ(w, 0x04050607u);
  EXPECT_TRUE(c.empty());
  // Reads past the end fail and leave the cursor where it was.
  ByteCursor d(in, 3);
  EXPECT_FALSE(d.get_u32be(&w));
  EXPECT_EQ(d.remaining(), 3u);
  EXPECT_FALSE(d.skip(4));
  EXPECT_FALSE(d.get_bytes(&w, 4));
  EXPECT_EQ(d.remaining(), 3u);
  ASSERT_TRUE(d.get_u16le(&s));
  EXPECT_EQ(s, 0x0201);
}

TEST(ByteCursor, LengthPrefixBecomesBoundedSubCursor) {
  // A prefix claiming more than is there must not move the cursor.
  const uint8_t lying[] = {0x00, 0x05, 0xaa, 0xbb};
  ByteCursor c(lying, sizeof lying), sub;
  EXPECT_FALSE(c.get_u16be_prefixed(&sub));
  EXPECT_EQ(c.remaining(), sizeof lying);

  const uint8_t ok[] = {0x02, 0xaa, 0xbb, 0xcc};
  ByteCursor d(ok, sizeof ok);
  ASSERT_TRUE(d.get_u8_prefixed(&sub));
  EXPECT_EQ(sub.remaining(), 2u);
  EXPECT_EQ(d.remaining(), 1u);
  uint32_t w;
  EXPECT_FALSE(sub.get_u24be(&w));  // the sub-cursor ends at its length
  // A 32-bit prefix near 2^32 must not wrap.
  const uint8_t huge[] = {0xff, 0xff, 0xff, 0xff, 0x00};
  ByteCursor e(huge, sizeof huge);
  EXPECT_FALSE(e.get_u32be_prefixed(&sub));
}

TEST(ByteBuilder, FixesUpPrefixesAndInserts) {
  ByteBuilder b;
  size_t at = b.reserve_prefix(2);
  b.append("abc", 3);
  ASSERT_TRUE(b.fix_be(at, 2));
  EXPECT_EQ(std::vector<uint8_t>(b.data(), b.data() + b.size()),
            (std::vector<uint8_t>{0x00, 0x03, 'a', 'b', 'c'}));
  ByteBuilder t;
  size_t one = t.reserve_prefix(1);
  std::vector<uint8_t> body(256, 0x11);
  t.append(body);
  EXPECT_FALSE(t.fix_be(one, 1));  // 256 does not fit one byte
  ByteBuilder i;
  i.append_u32be(0x01020304);
  const uint8_t pre[] = {0x30, 0x04};
  ASSERT_TRUE(i.insert(0, pre, 2));
  EXPECT_FALSE(i.insert(99, pre, 2));
  EXPECT_EQ(i.release(), (std::vector<uint8_t>{0x30, 0x04, 1, 2, 3, 4}));
  EXPECT_EQ(i.size(), 0u);
}

}  // namespace
}  // namespace ostrak
