// Shared key encodings: MPI walking and reading, the message forms of a
// number, the bounded DER header reader, PKCS #1 v1.5 blocks with the older
// layouts, random numbers of exact size, protection framings, and the
// discrete-log size formulas.
#include <memory>

#include "crypto/cfb.h"
#include "tests/crypto/pubkey_test_support.h"

namespace {

using namespace pktest;

class KeyEncodingTest : public PubKeyTest {
 protected:
  BigNum* Number() {
    numbers_.emplace_back(new BigNumScope(mgr(), false));
    return numbers_.back()->get();
  }
  BigNum* FromBytes(const Bytes& b) {
    BigNum* n = Number();
    EXPECT_EQ(bnInsertBigBytes(n, b.data(), 0, static_cast<unsigned>(b.size())), 0);
    return n;
  }
  Bytes ToBytes(const BigNum* n, unsigned width) {
    Bytes b(width);
    bnExtractBigBytes(n, b.data(), 0, width);
    return b;
  }
  void TearDown() override {
    numbers_.clear();
    PubKeyTest::TearDown();
  }
  std::vector<std::unique_ptr<BigNumScope>> numbers_;
};

TEST_F(KeyEncodingTest, MPIWalk) {
  struct Case {
    const char* name;
    Bytes bytes;
    unsigned count;
    int want;
  } cases[] = {
      {"9 bits, first byte 01", {0x00, 0x09, 0x01, 0xFF}, 1, 4},
      {"9 bits, first byte 03", {0x00, 0x09, 0x03, 0xFF}, 1, kQOXErrKeyComponentMalformed},
      {"zero bits", {0x00, 0x00}, 1, kQOXErrKeyComponentMalformed},
      {"8 bits, top bit set", {0x00, 0x08, 0x80}, 1, 3},
      {"8 bits, top bit clear", {0x00, 0x08, 0x7F}, 1, kQOXErrKeyComponentMalformed},
      {"two MPIs", {0x00, 0x01, 0x01, 0x00, 0x02, 0x03}, 2, 6},
      {"second header missing", {0x00, 0x01, 0x01, 0x00}, 2, kQOXErrKeyPacketTruncated},
      {"body cut short", {0x00, 0x10, 0x80}, 1, kQOXErrKeyPacketTruncated},
      {"shorter than the headers", {0x00, 0x01, 0x01}, 2, kQOXErrKeyPacketTruncated},
  };
  for (const Case& c : cases) EXPECT_EQ(qoxBnParse(c.bytes.data(), c.bytes.size(), c.count, nullptr), c.want) << c.name;
  size_t offsets[2];
  Bytes two = {0x00, 0x01, 0x01, 0x00, 0x02, 0x03};
  ASSERT_EQ(qoxBnParse(two.data(), two.size(), 2, offsets), 6);
  EXPECT_EQ(offsets[0], 0u);
  EXPECT_EQ(offsets[1], 3u);

  // The plain reader takes 00 00 as the number 0 and reports short input as 0.
  BigNum* n = Number();
  Bytes zero = {0x00, 0x00};
  EXPECT_EQ(qoxBnGetPlain(n, zero.data(), zero.size()), 2);
  EXPECT_EQ(bnBits(n), 0u);
  Bytes cut = {0x00, 0x10, 0x80};
  EXPECT_EQ(qoxBnGetPlain(n, cut.data(), cut.size()), 0);
  // Write and read back a number longer than one 64-byte piece.
  Bytes big(100);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i + 1);
  BigNum* b = FromBytes(big);
  Bytes mpi(102);
  EXPECT_EQ(qoxBnPutPlain(b, mpi.data()), 102u);
  EXPECT_EQ(mpi[0], 0x03);
  EXPECT_EQ(mpi[1], 0x19);  // 793 bits
  EXPECT_EQ(qoxBnGetPlain(n, mpi.data(), mpi.size()), 102);
  EXPECT_EQ(bnCmp(n, b), 0);
}

TEST_F(KeyEncodingTest, MessageForms) {
  // A 1024-bit number with its top bit set: 02 81 81 00 and 128 bytes.
  Bytes top(128, 0x5A);
  top[0] = 0x80;
  BigNum* n = FromBytes(top);
  Bytes out(200);
  ASSERT_EQ(qoxBnPutFormatted(n, out.data(), 128, 3), 132u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), (Bytes{0x02, 0x81, 0x81, 0x00}));
  BigNum* back = Number();
  EXPECT_EQ(qoxBnGetFormatted(back, out.data(), 132, 128, 3), 132);
  EXPECT_EQ(bnCmp(back, n), 0);
  // A small number is written minimally whatever the width; the reader
  // still takes a zero-padded INTEGER.
  BigNum* small = FromBytes({0x01, 0x02});
  ASSERT_EQ(qoxBnPutFormatted(small, out.data(), 20, 3), 4u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), (Bytes{0x02, 0x02, 0x01, 0x02}));
  Bytes padded = {0x02, 0x05, 0x00, 0x00, 0x00, 0x01, 0x02};
  EXPECT_EQ(qoxBnGetFormatted(back, padded.data(), padded.size(), 20, 3), 7);
  EXPECT_EQ(bnCmp(back, small), 0);
  // Zero is one zero byte.
  BigNum* z = Number();
  ASSERT_EQ(qoxBnPutFormatted(z, out.data(), 20, 3), 3u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 3), (Bytes{0x02, 0x01, 0x00}));
  // Fixed width.
  ASSERT_EQ(qoxBnPutFormatted(small, out.data(), 4, 2), 4u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), (Bytes{0, 0, 1, 2}));
  EXPECT_EQ(qoxBnGetFormatted(back, out.data(), 3, 4, 2), 0);
  // DER refusals: wrong tag, body past the end, a length of five bytes.
  struct Case {
    Bytes bytes;
    int want;
  } cases[] = {
      {{0x03, 0x01, 0x00}, kQOXErrKeyComponentMalformed},
      {{0x02, 0x03, 0x00}, kQOXErrKeyComponentMalformed},
      {{0x02, 0x85, 0x00, 0x00, 0x00, 0x00, 0x01, 0x07}, kQOXErrKeyComponentMalformed},
      {{0x02, 0x84, 0x00, 0x00, 0x00, 0x01, 0x07}, 7},
      {{0x02, 0x80}, 2},
      {{0x02}, kQOXErrKeyComponentMalformed},
  };
  for (const Case& c : cases) EXPECT_EQ(qoxBnGetFormatted(back, c.bytes.data(), c.bytes.size(), 20, 3), c.want);

  // The header reader stays inside its cursor.
  Bytes header = {0x30, 0x82, 0x01};
  ostrak::ByteCursor cursor(header.data(), header.size());
  size_t length = 0;
  EXPECT_EQ(qoxBnX509TagLen(&cursor, &length), -1);
  EXPECT_EQ(cursor.remaining(), 3u);
  for (size_t n : {0u, 127u, 128u, 255u, 256u, 65535u, 65536u, 0xFFFFFFu, 0x1000000u}) {
    unsigned expected = n < 128 ? 1 : n < 256 ? 2 : n < 65536 ? 3 : n <= 0xFFFFFF ? 4 : 5;
    EXPECT_EQ(qoxBnX509LenLen(n), expected) << n;
  }
}

TEST_F(KeyEncodingTest, PKCS1Blocks) {
  BigNum* m = Number();
  Bytes data = {0xD1, 0xD2, 0xD3};
  // No padding when the data fills the block.
  ASSERT_EQ(qoxPKCSPack(m, data.data(), 3, 1, 6, rc_), 0);
  EXPECT_EQ(ToBytes(m, 6), (Bytes{0x00, 0x01, 0x00, 0xD1, 0xD2, 0xD3}));
  EXPECT_EQ(qoxPKCSPack(m, data.data(), 3, 1, 5, rc_), kQOXErrPublicKeyTooSmall);
  // Type 2 padding has no zero byte.
  ASSERT_EQ(qoxPKCSPack(m, data.data(), 3, 2, 200, rc_), 0);
  Bytes block = ToBytes(m, 200);
  EXPECT_EQ(block[1], 2);
  for (size_t i = 2; i < 196; ++i) ASSERT_NE(block[i], 0) << i;
  EXPECT_EQ(block[196], 0);
  uint8_t out[8];
  EXPECT_EQ(qoxPKCSUnpack(out, sizeof(out), m, 2, 200), 3);
  EXPECT_EQ(Bytes(out, out + 3), data);

  Bytes md5(16);
  for (size_t i = 0; i < 16; ++i) md5[i] = static_cast<uint8_t>(0xA0 + i);
  Bytes older = Cat({{0x00, 0x01}, md5, {0x00}, Bytes(44, 0xFF), {0x01}});  // 64 bytes
  Bytes olderSession = Cat({{0x00, 0x01}, Bytes(18, 0x33), {0x00}, Bytes(42, 0x44), {0x02}});  // 64 bytes
  struct Case {
    const char* name;
    Bytes block;
    uint8_t type;
    int want;
    Bytes data;
  } cases[] = {
      {"type 1, no padding", {0x00, 0x01, 0x00, 0xD1}, 1, 1, {0xD1}},
      {"type 1, padding", {0x00, 0x01, 0xFF, 0xFF, 0x00, 0xD1, 0xD2}, 1, 2, {0xD1, 0xD2}},
      {"type 1, bad padding byte", {0x00, 0x01, 0xFF, 0xFF, 0x01, 0xD1, 0xD2}, 1, kQOXErrCorruptData, {}},
      {"type 1, no zero", {0x00, 0x01, 0xFF, 0xFF, 0xFF}, 1, kQOXErrCorruptData, {}},
      {"wrong type", {0x00, 0x02, 0x00, 0xD1}, 1, kQOXErrCorruptData, {}},
      {"type 2, no zero", {0x00, 0x02, 0x11, 0x22}, 2, kQOXErrCorruptData, {}},
      {"older bare MD5", older, 1, 34, Cat({Bytes(MD5DERprefix, MD5DERprefix + 18), md5})},
      {"older session key", olderSession, 2, 19, Cat({{0x01}, Bytes(18, 0x33)})},
  };
  for (const Case& c : cases) {
    BigNum* b = FromBytes(c.block);
    uint8_t buffer[64] = {};
    int got = qoxPKCSUnpack(buffer, sizeof(buffer), b, c.type, static_cast<unsigned>(c.block.size()));
    EXPECT_EQ(got, c.want) << c.name;
    if (got > 0) {
      EXPECT_EQ(Bytes(buffer, buffer + got), c.data) << c.name;
    }
  }
  // A longer result is reported whole and copied only up to the output size.
  BigNum* b = FromBytes({0x00, 0x01, 0x00, 0xD1, 0xD2, 0xD3});
  uint8_t two[2];
  EXPECT_EQ(qoxPKCSUnpack(two, sizeof(two), b, 1, 6), 3);
  EXPECT_EQ(two[1], 0xD2);
}

TEST_F(KeyEncodingTest, RandomNumbersOfExactSize) {
  BigNum* n = Number();
  for (unsigned bits : {1u, 7u, 8u, 9u, 160u, 513u, 1024u}) {
    ASSERT_EQ(qoxBnGenRand(n, rc_, bits, 0xC0, 1, 0), 0);
    EXPECT_EQ(bnBits(n), bits) << bits;
    EXPECT_EQ(bnLSWord(n) & 1, 1u);
    if (bits >= 2) {
      BigNumScope t(mgr(), false);
      bnCopy(t.get(), n);
      bnRShift(t.get(), bits - 2);
      EXPECT_EQ(bnLSWord(t.get()), 3u) << "the two top bits are set";
    }
  }
  ASSERT_EQ(qoxBnGenRand(n, rc_, 253, 0, 0, 253), 0);
  EXPECT_LE(bnBits(n), 253u);
}

TEST_F(KeyEncodingTest, ProtectionFramings) {
  QOXCFBContext* cfb = nullptr;
  struct Case {
    const char* name;
    Bytes framing;
    int want;
  } cases[] = {
      {"empty", {}, kQOXErrKeyPacketTruncated},
      {"clear", {0x00}, 1},
      {"S = 255 alone", {0xFF}, kQOXErrKeyPacketTruncated},
      {"S = 254: no such cipher", Cat({{0xFE}, Bytes(16, 0)}), kQOXErrUnknownCipherNumber},
      {"CAST5, IV cut short", Cat({{0x03}, Bytes(7, 0)}), kQOXErrKeyPacketTruncated},
      {"CAST5, simple MD5", Cat({{0x03}, Bytes(8, 0)}), 9},
      {"S = 255, specifier cut short", {0xFF, 0x03, 0x03, 0x02, 1, 2}, kQOXErrKeyPacketTruncated},
      {"S = 255, iterated SHA-1", Cat({{0xFF, 0x03, 0x03, 0x02}, Bytes(8, 7), {0x60}, Bytes(8, 0)}), 21},
  };
  for (const Case& c : cases) {
    const uint8_t dummy = 0;
    EXPECT_EQ(qoxCipherSetup(c.framing.empty() ? &dummy : c.framing.data(), c.framing.size(), "pw", 2, false,
                             context_, &cfb),
              c.want)
        << c.name;
    if (cfb != nullptr) QOXFreeCFBContext(cfb);
    cfb = nullptr;
  }
  // A passkey must be the cipher's key size, and never more than 32 bytes.
  Bytes framing = Cat({{0x03}, Bytes(8, 0)});
  const char passkey[40] = {};
  EXPECT_EQ(qoxCipherSetup(framing.data(), framing.size(), passkey, 33, true, context_, &cfb), kQOXErrBadParams);
  EXPECT_EQ(qoxCipherSetup(framing.data(), framing.size(), passkey, 15, true, context_, &cfb), kQOXErrBadParams);
  EXPECT_EQ(qoxCipherSetup(framing.data(), framing.size(), passkey, 16, true, context_, &cfb), 9);
  QOXFreeCFBContext(cfb);
}

TEST_F(KeyEncodingTest, DiscreteLogSizes) {
  struct Case {
    unsigned bits, exponent, q;
  } cases[] = {{1024, 169, 176}, {1536, 198, 200}, {2048, 225, 232}, {3072, 270, 272}, {4096, 305, 312}};
  for (const Case& c : cases) {
    EXPECT_EQ(qoxDiscreteLogExponentBits(c.bits), c.exponent) << c.bits;
    EXPECT_EQ(qoxDiscreteLogQBits(c.bits), c.q) << c.bits;
  }
  uint32_t out = 0;
  EXPECT_EQ(QOXDiscreteLogExponentBits(2048, &out), 0);
  EXPECT_EQ(out, 225u);
  EXPECT_EQ(QOXDiscreteLogExponentBits(2048, nullptr), kQOXErrBadParams);
}

}  // namespace
