// Byte-order conversions against fixed byte strings.
#include "foundation/byte_order.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr uint8_t kBytes[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};

TEST(ByteOrder, EndianReadsFollowTheOrderArgument) {
  // Any non-zero order means little-endian.
  for (uint32_t order : {1u, 2u, 0xFFFFFFFFu}) {
    EXPECT_EQ(QOXEndianToUInt32(order, kBytes), 0x04030201u);
    EXPECT_EQ(QOXEndianToUInt16(order, kBytes), 0x0201u);
  }
  EXPECT_EQ(QOXEndianToUInt32(kQOXBigEndian, kBytes), 0x01020304u);
  EXPECT_EQ(QOXEndianToUInt16(kQOXBigEndian, kBytes), 0x0102u);
  const uint8_t storage[2] = {0x34, 0x12};
  EXPECT_EQ(QOXStorageToUInt16(storage), 0x1234u);
  EXPECT_EQ(QOXStorageToUInt32(kBytes), 0x04030201u);
}

TEST(ByteOrder, WritesAreTheInverseOfReads) {
  uint8_t out[4];
  QOXUInt32ToEndian(0x01020304u, kQOXBigEndian, out);
  EXPECT_EQ(std::memcmp(out, kBytes, 4), 0);
  QOXUInt32ToEndian(0x04030201u, 7, out);
  EXPECT_EQ(std::memcmp(out, kBytes, 4), 0);
  QOXUInt16ToEndian(0x0102, kQOXBigEndian, out);
  EXPECT_EQ(std::memcmp(out, kBytes, 2), 0);
  QOXUInt16ToEndian(0x0201, kQOXLittleEndian, out);
  EXPECT_EQ(std::memcmp(out, kBytes, 2), 0);
  QOXUInt32ToStorage(0x04030201u, out);
  EXPECT_EQ(std::memcmp(out, kBytes, 4), 0);
  QOXUInt16ToStorage(0x0201, out);
  EXPECT_EQ(std::memcmp(out, kBytes, 2), 0);
}

TEST(ByteOrder, InlineHelpersRoundTrip) {
  EXPECT_EQ(LoadBE64(kBytes), 0x0102030405060708ull);
  EXPECT_EQ(LoadLE64(kBytes), 0x0807060504030201ull);
  EXPECT_EQ(LoadBE24(kBytes), 0x010203u);
  uint8_t out[8];
  StoreBE64(out, 0x0102030405060708ull);
  EXPECT_EQ(std::memcmp(out, kBytes, 8), 0);
  StoreLE64(out, 0x0807060504030201ull);
  EXPECT_EQ(std::memcmp(out, kBytes, 8), 0);
  StoreBE24(out, 0x010203u);
  EXPECT_EQ(std::memcmp(out, kBytes, 3), 0);
  // High bits survive (no sign extension through the shifts).
  const uint8_t high[4] = {0xFF, 0x80, 0x00, 0x81};
  EXPECT_EQ(LoadBE32(high), 0xFF800081u);
  EXPECT_EQ(LoadLE32(high), 0x810080FFu);
  static_assert(LoadBE16(kBytes) == 0x0102);
}

}  // namespace
