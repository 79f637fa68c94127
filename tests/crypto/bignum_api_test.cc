// Public big-number calls: handle checks, error codes, 16-bit operands, and
// results against GMP.
#include <gmp.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "crypto/bignum_api.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/sdk_errors.h"
#include "tests/common/counting_memory_mgr.h"

namespace {

class BigNumApi : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, QOXsdkInit(kQOXsdkInitNoBackEnd));
    ASSERT_EQ(0, QOXNewContext(kQOXAPIVersion, &ctx_));
  }
  void TearDown() override {
    for (QOXBigNum* bn : made_) EXPECT_EQ(0, QOXFreeBigNum(bn));
    QOXFreeContext(ctx_);
    QOXsdkCleanup();
  }
  QOXBigNum* num(unsigned long v = 0, bool secure = false) {
    QOXBigNum* bn = nullptr;
    EXPECT_EQ(0, QOXNewBigNum(ctx_, secure, &bn));
    made_.push_back(bn);
    mpz_t t;
    mpz_init_set_ui(t, v);
    set(bn, t);
    mpz_clear(t);
    return bn;
  }
  void set(QOXBigNum* bn, mpz_srcptr v) {
    std::vector<uint8_t> buf((mpz_sizeinbase(v, 2) + 7) / 8 + 1);
    size_t n = 0;
    mpz_export(buf.data(), &n, -1, 1, 0, 0, v);
    ASSERT_EQ(0, QOXBigNumSetQ(bn, 0));
    ASSERT_EQ(0, QOXBigNumInsertLittleEndianBytes(bn, buf.data(), 0, static_cast<uint32_t>(n)));
  }
  std::string hex(const QOXBigNum* bn) {
    uint32_t bytes = (QOXBigNumGetSignificantBits(bn) + 7) / 8;
    std::vector<uint8_t> buf(bytes + 2, 0xEE);
    EXPECT_EQ(0, QOXBigNumExtractBigEndianBytes(bn, buf.data(), 0, bytes + 2));
    EXPECT_EQ(0, buf[0]);  // leading zeros above the value
    EXPECT_EQ(0, buf[1]);
    mpz_t t;
    mpz_init(t);
    mpz_import(t, buf.size(), 1, 1, 1, 0, buf.data());
    char* s = mpz_get_str(nullptr, 16, t);
    std::string r(s);
    free(s);
    mpz_clear(t);
    return r;
  }
  static std::string hex(mpz_srcptr v) {
    char* s = mpz_get_str(nullptr, 16, v);
    std::string r(s);
    free(s);
    return r;
  }
  QOXContext* ctx_ = nullptr;
  std::vector<QOXBigNum*> made_;
};

TEST_F(BigNumApi, SmallOperandsUseTheirLow16Bits) {
  QOXBigNum* a = num();
  QOXBigNum* r = num();
  ASSERT_EQ(0, QOXBigNumSetQ(a, 70000));
  EXPECT_EQ(0, QOXBigNumCompareQ(a, 4464));
  EXPECT_EQ(0, QOXBigNumCompareQ(a, 70000));  // compared with 4464 too
  ASSERT_EQ(0, QOXBigNumAddQ(a, 0x10005, r));
  EXPECT_EQ(0, QOXBigNumCompareQ(r, 4469));
  EXPECT_EQ(0, QOXBigNumCompareQ(a, 4464));  // source unchanged
  ASSERT_EQ(0, QOXBigNumMultiplyQ(a, 0x20003, r));
  EXPECT_EQ("3450", hex(r));  // 4464 * 3
  bool under = true;
  ASSERT_EQ(0, QOXBigNumSubtractQ(a, 0x10000 + 4465, r, &under));
  EXPECT_TRUE(under);
  EXPECT_EQ(0, QOXBigNumCompareQ(r, 1));
  ASSERT_EQ(0, QOXBigNumSubtractQ(a, 4000, r, &under));
  EXPECT_FALSE(under);
  EXPECT_EQ(0, QOXBigNumCompareQ(r, 464));
  EXPECT_EQ(0, QOXBigNumSubtractQ(a, 1, a, nullptr));  // flag optional, aliasing
  EXPECT_EQ(0, QOXBigNumCompareQ(a, 4463));

  mpz_t big;
  mpz_init_set_str(big, "123456789abcdef0fedcba987654321", 16);
  set(a, big);
  EXPECT_EQ(mpz_fdiv_ui(big, 7), QOXBigNumModQ(a, 0x10007));
  EXPECT_EQ(mpz_fdiv_ui(big, 65521), QOXBigNumModQ(a, 65521));
  EXPECT_EQ(0, QOXBigNumModQ(a, 0x10000));  // the value 0
  EXPECT_EQ(0x4321, QOXBigNumGetLSWord(a));
  EXPECT_EQ(mpz_sizeinbase(big, 2), QOXBigNumGetSignificantBits(a));
  mpz_clear(big);

  ASSERT_EQ(0, QOXBigNumSetQ(a, 1));
  ASSERT_EQ(0, QOXBigNumLeftShift(a, 70000));
  EXPECT_EQ(70000 & 0xFFFF, QOXBigNumMakeOdd(a));
  EXPECT_EQ(0, QOXBigNumCompareQ(a, 1));
}

TEST_F(BigNumApi, SubtractStoresTheMagnitudeAndFlagsUnderflow) {
  QOXBigNum* five = num(5);
  QOXBigNum* seven = num(7);
  QOXBigNum* r = num();
  bool under = false;
  ASSERT_EQ(0, QOXBigNumSubtract(five, seven, r, &under));
  EXPECT_TRUE(under);
  EXPECT_EQ(0, QOXBigNumCompareQ(r, 2));
  ASSERT_EQ(0, QOXBigNumSubtract(seven, five, r, &under));
  EXPECT_FALSE(under);
  EXPECT_EQ(0, QOXBigNumCompareQ(r, 2));
  // The result over the subtrahend: formed aside, then copied.
  ASSERT_EQ(0, QOXBigNumSubtract(five, seven, seven, &under));
  EXPECT_TRUE(under);
  EXPECT_EQ(0, QOXBigNumCompareQ(seven, 2));
  EXPECT_EQ(0, QOXBigNumCompareQ(five, 5));
  ASSERT_EQ(0, QOXBigNumSubtract(five, five, five, &under));
  EXPECT_FALSE(under);
  EXPECT_EQ(0u, QOXBigNumGetSignificantBits(five));
}

TEST_F(BigNumApi, RefusalsAndErrorCodes) {
  QOXBigNum* a = num(6);
  QOXBigNum* m = num(9);
  QOXBigNum* zero = num(0);
  QOXBigNum* r = num(77);
  QOXBigNum* q = num();
  // No inverse.
  EXPECT_EQ(kQOXErrNoInverse, QOXBigNumInv(a, m, r));
  // Division by zero is refused, not attempted.
  EXPECT_EQ(kQOXErrBadParams, QOXBigNumDivide(a, zero, q, r));
  EXPECT_EQ(kQOXErrBadParams, QOXBigNumMod(a, zero, r));
  EXPECT_EQ(kQOXErrBadParams, QOXBigNumDivide(a, m, r, r));
  // An exponentiation result over an operand computes nothing.
  EXPECT_EQ(kQOXErrBadParams, QOXBigNumExpMod(a, a, m, m));
  EXPECT_EQ(kQOXErrBadParams, QOXBigNumExpMod(r, a, m, r));
  EXPECT_EQ(kQOXErrBadParams, QOXBigNumDoubleExpMod(a, a, a, r, m, r));
  EXPECT_EQ(0, QOXBigNumCompareQ(m, 9));
  EXPECT_EQ(0, QOXBigNumCompareQ(r, 77));
  // An even or zero modulus is a failure of the operation.
  QOXBigNum* ten = num(10);
  EXPECT_EQ(kQOXErrOutOfMemory, QOXBigNumExpMod(a, m, ten, r));
  EXPECT_EQ(kQOXErrOutOfMemory, QOXBigNumExpMod(a, m, zero, r));
  EXPECT_EQ(kQOXErrOutOfMemory, QOXBigNumTwoExpMod(a, ten, r));
  // Right shift by the length or more: 0.
  ASSERT_EQ(0, QOXBigNumSetQ(a, 0xFFFF));
  EXPECT_EQ(0, QOXBigNumRightShift(a, 16));
  EXPECT_EQ(0u, QOXBigNumGetSignificantBits(a));
  ASSERT_EQ(0, QOXBigNumSetQ(a, 0xFFFF));
  EXPECT_EQ(0, QOXBigNumRightShift(a, 0xFFFFFFFF));
  EXPECT_EQ(0u, QOXBigNumGetSignificantBits(a));

  // Bad handles: null, and a record whose manager field is not a manager.
  QOXBigNum fake{};
  for (QOXBigNum* bad : {static_cast<QOXBigNum*>(nullptr), &fake}) {
    EXPECT_EQ(kQOXErrBadParams, QOXBigNumAdd(bad, m, r));
    EXPECT_EQ(kQOXErrBadParams, QOXBigNumAdd(m, m, bad));
    EXPECT_EQ(kQOXErrBadParams, QOXBigNumSetQ(bad, 1));
    EXPECT_EQ(kQOXErrBadParams, QOXBigNumExpMod(m, m, m, bad));
    EXPECT_EQ(kQOXErrBadParams, QOXFreeBigNum(bad));
    EXPECT_EQ(0u, QOXBigNumGetSignificantBits(bad));
    EXPECT_EQ(0, QOXBigNumCompare(bad, m));
    EXPECT_EQ(0, QOXBigNumModQ(bad, 7));
  }
  QOXBigNum* out = reinterpret_cast<QOXBigNum*>(&fake);
  EXPECT_EQ(kQOXErrBadParams, QOXCopyBigNum(&fake, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(kQOXErrBadParams, QOXNewBigNum(ctx_, false, nullptr));
  EXPECT_EQ(kQOXErrBadParams, QOXNewBigNum(nullptr, false, &out));
  EXPECT_EQ(nullptr, out);
  uint8_t byte;
  EXPECT_EQ(kQOXErrBadParams, QOXBigNumExtractBigEndianBytes(m, nullptr, 0, 1));
  EXPECT_EQ(0, QOXBigNumExtractBigEndianBytes(m, &byte, 0, 1));
  EXPECT_EQ(9, byte);
}

TEST_F(BigNumApi, CopySwapAndAssign) {
  QOXBigNum* s = num(0, true);
  mpz_t v;
  mpz_init_set_str(v, "fedcba98765432100123456789abcdef55", 16);
  set(s, v);
  QOXBigNum* c = nullptr;
  ASSERT_EQ(0, QOXCopyBigNum(s, &c));
  made_.push_back(c);
  EXPECT_EQ(hex(v), hex(c));
  EXPECT_EQ(1, c->secure);
  QOXBigNum* t = num(3);
  ASSERT_EQ(0, QOXSwapBigNum(c, t));
  EXPECT_EQ(hex(v), hex(t));
  EXPECT_EQ(0, QOXBigNumCompareQ(c, 3));
  EXPECT_EQ(1, c->secure);  // the flag stays with the record
  ASSERT_EQ(0, QOXAssignBigNum(t, c));
  EXPECT_EQ(0, QOXBigNumCompare(t, c));
  mpz_clear(v);
}

// Every arithmetic call against GMP, with results over operands where the
// calls allow it.
TEST_F(BigNumApi, ArithmeticMatchesGmp) {
  std::mt19937_64 rng(21);
  mpz_t ma, mb, mm, want, t;
  mpz_inits(ma, mb, mm, want, t, nullptr);
  auto rnd = [&](mpz_ptr x, unsigned bits) {
    mpz_set_ui(x, 0);
    for (unsigned i = 0; i < bits; i += 32) {
      mpz_mul_2exp(x, x, 32);
      mpz_add_ui(x, x, static_cast<uint32_t>(rng()));
    }
    mpz_tdiv_r_2exp(x, x, bits);
  };
  for (unsigned bits : {1u, 16u, 33u, 100u, 512u, 1030u}) {
    for (int k = 0; k < 4; k++) {
      rnd(ma, bits + 7);
      rnd(mb, bits);
      rnd(mm, bits);
      mpz_setbit(mm, 0);
      QOXBigNum* a = num();
      QOXBigNum* b = num();
      QOXBigNum* m = num();
      QOXBigNum* r = num();
      QOXBigNum* q = num();
      set(a, ma);
      set(b, mb);
      set(m, mm);
      SCOPED_TRACE(hex(ma) + " " + hex(mb) + " " + hex(mm));

      ASSERT_EQ(0, QOXBigNumAdd(a, b, r));
      mpz_add(want, ma, mb);
      EXPECT_EQ(hex(want), hex(r));
      ASSERT_EQ(0, QOXBigNumMultiply(a, b, r));
      mpz_mul(want, ma, mb);
      EXPECT_EQ(hex(want), hex(r));
      ASSERT_EQ(0, QOXBigNumSquare(a, r));
      mpz_mul(want, ma, ma);
      EXPECT_EQ(hex(want), hex(r));
      if (mpz_sgn(mb)) {
        ASSERT_EQ(0, QOXBigNumDivide(a, b, q, r));
        mpz_tdiv_qr(want, t, ma, mb);
        EXPECT_EQ(hex(want), hex(q));
        EXPECT_EQ(hex(t), hex(r));
      }
      ASSERT_EQ(0, QOXBigNumMod(a, m, r));
      mpz_mod(want, ma, mm);
      EXPECT_EQ(hex(want), hex(r));
      ASSERT_EQ(0, QOXBigNumGCD(a, b, r));
      mpz_gcd(want, ma, mb);
      EXPECT_EQ(hex(want), hex(r));
      QOXError inv = QOXBigNumInv(a, m, r);
      if (mpz_cmp_ui(mm, 1) > 0 && mpz_invert(want, ma, mm)) {
        EXPECT_EQ(0, inv);
        EXPECT_EQ(hex(want), hex(r));
      } else if (mpz_cmp_ui(mm, 1) > 0) {
        EXPECT_EQ(kQOXErrNoInverse, inv);
      }
      // The base a is longer than the modulus: reduced first.
      ASSERT_EQ(0, QOXBigNumExpMod(a, b, m, r));
      mpz_powm(want, ma, mb, mm);
      EXPECT_EQ(hex(want), hex(r));
      ASSERT_EQ(0, QOXBigNumDoubleExpMod(a, b, b, a, m, r));
      mpz_powm(t, mb, ma, mm);
      mpz_mul(want, want, t);
      mpz_mod(want, want, mm);
      EXPECT_EQ(hex(want), hex(r));
      ASSERT_EQ(0, QOXBigNumTwoExpMod(b, m, r));
      mpz_set_ui(t, 2);
      mpz_powm(want, t, mb, mm);
      EXPECT_EQ(hex(want), hex(r));
      ASSERT_EQ(0, QOXBigNumTwoExpMod(b, m, b));  // aliasing allowed here
      EXPECT_EQ(hex(want), hex(b));
      set(b, mb);

      // Results over operands.
      ASSERT_EQ(0, QOXBigNumMultiply(a, b, a));
      mpz_mul(want, ma, mb);
      EXPECT_EQ(hex(want), hex(a));
      ASSERT_EQ(0, QOXBigNumAdd(a, b, b));
      mpz_add(want, want, mb);
      EXPECT_EQ(hex(want), hex(b));
      ASSERT_EQ(0, QOXBigNumSquare(b, b));
      mpz_mul(want, want, want);
      EXPECT_EQ(hex(want), hex(b));
      ASSERT_EQ(0, QOXBigNumMod(b, m, b));
      mpz_mod(want, want, mm);
      EXPECT_EQ(hex(want), hex(b));
      unsigned sh = static_cast<unsigned>(rng() % 300);
      ASSERT_EQ(0, QOXBigNumLeftShift(b, sh));
      mpz_mul_2exp(want, want, sh);
      EXPECT_EQ(hex(want), hex(b));
      sh = static_cast<unsigned>(rng() % 300);
      ASSERT_EQ(0, QOXBigNumRightShift(b, sh));
      mpz_tdiv_q_2exp(want, want, sh);
      EXPECT_EQ(hex(want), hex(b));
    }
  }
  mpz_clears(ma, mb, mm, want, t, nullptr);
}

// Numbers made, used and freed through the public calls give back only
// wiped blocks (their words, temporaries and the records themselves).
TEST(BigNumApiMemory, FreedBlocksAreWiped) {
  ASSERT_EQ(0, QOXsdkInit(kQOXsdkInitNoBackEnd));
  ostrak_test::CountingMemoryMgr wc;
  QOXNewContextStruct rec{kQOXAPIVersion, wc.Make(), 0};
  ASSERT_NE(nullptr, rec.memoryMgr);
  QOXContext* ctx = nullptr;
  ASSERT_EQ(0, QOXNewContextCustom(&rec, &ctx));
  long freedBefore = wc.freed(), dirtyBefore = wc.dirtyFreed();
  QOXBigNum *a = nullptr, *b = nullptr, *m = nullptr, *r = nullptr, *c = nullptr;
  ASSERT_EQ(0, QOXNewBigNum(ctx, false, &a));
  ASSERT_EQ(0, QOXNewBigNum(ctx, false, &b));
  ASSERT_EQ(0, QOXNewBigNum(ctx, false, &m));
  ASSERT_EQ(0, QOXNewBigNum(ctx, false, &r));
  const uint8_t bytes[] = {0xC3, 0x5A, 0x11, 0x90, 0x77, 0x01, 0xFE, 0x2B, 0x65, 0x33, 0x81};
  ASSERT_EQ(0, QOXBigNumInsertBigEndianBytes(a, bytes, 0, sizeof bytes));
  ASSERT_EQ(0, QOXBigNumInsertBigEndianBytes(b, bytes, 3, 5));
  ASSERT_EQ(0, QOXBigNumInsertLittleEndianBytes(m, bytes, 0, sizeof bytes));
  ASSERT_EQ(0, QOXBigNumExpMod(a, b, m, r));
  ASSERT_EQ(0, QOXBigNumSubtract(a, b, b, nullptr));  // through a temporary
  ASSERT_EQ(0, QOXBigNumMultiply(a, a, a));
  ASSERT_EQ(0, QOXCopyBigNum(a, &c));
  for (QOXBigNum* bn : {a, b, m, r, c}) ASSERT_EQ(0, QOXFreeBigNum(bn));
  EXPECT_GT(wc.freed() - freedBefore, 10);
  EXPECT_EQ(dirtyBefore, wc.dirtyFreed());
  QOXFreeContext(ctx);
  QOXsdkCleanup();
}

}  // namespace
