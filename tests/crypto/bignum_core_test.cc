// Big-number core checked against GMP on random operands of many sizes.
#include <gmp.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "crypto/bn.h"
#include "crypto/bn_prime.h"
#include "foundation/memory_mgr.h"
#include "tests/common/counting_memory_mgr.h"

namespace {

class Mpz {
 public:
  Mpz() { mpz_init(v_); }
  explicit Mpz(unsigned long x) { mpz_init_set_ui(v_, x); }
  ~Mpz() { mpz_clear(v_); }
  Mpz(const Mpz&) = delete;
  Mpz& operator=(const Mpz&) = delete;
  mpz_ptr get() { return v_; }
  operator mpz_ptr() { return v_; }
  mpz_ptr operator->() { return v_; }

 private:
  mpz_t v_;
};

class Num {
 public:
  explicit Num(QOXMemoryMgr* mgr, bool secure = false) { bnBegin(&bn_, mgr, secure); }
  ~Num() { bnEnd(&bn_); }
  Num(const Num&) = delete;
  Num& operator=(const Num&) = delete;
  BigNum* operator&() { return &bn_; }
  BigNum* operator->() { return &bn_; }

 private:
  BigNum bn_;
};

void toMpz(const BigNum* bn, mpz_ptr out) {
  std::vector<unsigned char> buf(bn->size * 4 + 1);
  bnExtractBigBytes(bn, buf.data(), 0, static_cast<unsigned>(buf.size()));
  mpz_import(out, buf.size(), 1, 1, 1, 0, buf.data());
}

void fromMpz(BigNum* bn, mpz_srcptr v) {
  size_t count = 0;
  std::vector<unsigned char> buf((mpz_sizeinbase(v, 2) + 7) / 8 + 1);
  mpz_export(buf.data(), &count, 1, 1, 1, 0, v);
  bnSetQ(bn, 0);
  ASSERT_EQ(0, bnInsertBigBytes(bn, buf.data(), 0, static_cast<unsigned>(count)));
}

std::string hex(const BigNum* bn) {
  Mpz t;
  toMpz(bn, t);
  char* s = mpz_get_str(nullptr, 16, t);
  std::string r(s);
  free(s);
  return r;
}
std::string hex(mpz_srcptr v) {
  char* s = mpz_get_str(nullptr, 16, v);
  std::string r(s);
  free(s);
  return r;
}

// Random numbers rich in carry patterns: words of all ones, zeros, single
// top bits and random words.
class Gen {
 public:
  explicit Gen(uint64_t seed) : rng_(seed) {}
  uint32_t word() {
    switch (rng_() % 6) {
      case 0: return 0xFFFFFFFFu;
      case 1: return 0;
      case 2: return 0x80000000u;
      case 3: return 1;
      default: return static_cast<uint32_t>(rng_());
    }
  }
  void number(mpz_ptr out, unsigned words) {
    mpz_set_ui(out, 0);
    for (unsigned i = 0; i < words; i++) {
      mpz_mul_2exp(out, out, 32);
      mpz_add_ui(out, out, i == 0 ? (word() | 1u << (rng_() % 32)) : word());
    }
  }
  unsigned below(unsigned n) { return static_cast<unsigned>(rng_() % n); }
  uint32_t raw() { return static_cast<uint32_t>(rng_()); }

 private:
  std::mt19937_64 rng_;
};

class BigNumCore : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, QOXNewMemoryMgr(0, &mgr_)); }
  void TearDown() override { QOXFreeMemoryMgr(mgr_); }
  QOXMemoryMgr* mgr_ = nullptr;
};

const unsigned kSizes[] = {0, 1, 2, 3, 4, 5, 7, 8, 16, 17, 31, 32, 33, 64, 65, 128};

TEST_F(BigNumCore, ArithmeticMatchesGmp) {
  Gen g(1);
  Mpz ma, mb, mr, mq, want, want2;
  for (int round = 0; round < 12; round++) {
    for (unsigned la : kSizes) {
      for (unsigned lb : kSizes) {
        g.number(ma, la);
        g.number(mb, lb);
        Num a(mgr_), b(mgr_), r(mgr_), q(mgr_);
        fromMpz(&a, ma);
        fromMpz(&b, mb);
        SCOPED_TRACE(hex(ma) + " , " + hex(mb));

        ASSERT_EQ(0, bnCopy(&r, &a));
        ASSERT_EQ(0, bnAdd(&r, &b));
        mpz_add(want, ma, mb);
        EXPECT_EQ(hex(want), hex(&r)) << "add";

        ASSERT_EQ(0, bnCopy(&r, &a));
        int neg = bnSub(&r, &b);
        mpz_sub(want, ma, mb);
        EXPECT_EQ(mpz_sgn(want) < 0 ? 1 : 0, neg) << "sub flag";
        mpz_abs(want, want);
        EXPECT_EQ(hex(want), hex(&r)) << "sub";

        EXPECT_EQ(mpz_cmp(ma, mb) < 0 ? -1 : mpz_cmp(ma, mb) > 0 ? 1 : 0, bnCmp(&a, &b));

        ASSERT_EQ(0, bnMul(&r, &a, &b));
        mpz_mul(want, ma, mb);
        EXPECT_EQ(hex(want), hex(&r)) << "mul";

        ASSERT_EQ(0, bnSquare(&r, &a));
        mpz_mul(want, ma, ma);
        EXPECT_EQ(hex(want), hex(&r)) << "square";

        ASSERT_EQ(0, bnGcd(&r, &a, &b));
        mpz_gcd(want, ma, mb);
        EXPECT_EQ(hex(want), hex(&r)) << "gcd";

        if (mpz_sgn(mb) != 0) {
          ASSERT_EQ(0, bnDivMod(&q, &r, &a, &b));
          mpz_tdiv_qr(want, want2, ma, mb);
          EXPECT_EQ(hex(want), hex(&q)) << "quotient";
          EXPECT_EQ(hex(want2), hex(&r)) << "remainder";
          ASSERT_EQ(0, bnMod(&r, &a, &b));
          EXPECT_EQ(hex(want2), hex(&r)) << "mod";

          int rc = bnInv(&r, &a, &b);
          if (mpz_cmp_ui(mb, 1) > 0 && mpz_invert(want, ma, mb)) {
            EXPECT_EQ(0, rc);
            EXPECT_EQ(hex(want), hex(&r)) << "inverse";
          } else if (mpz_cmp_ui(mb, 1) > 0) {
            EXPECT_EQ(1, rc) << "no inverse";
          }
        }

        unsigned sh = g.below(200);
        ASSERT_EQ(0, bnCopy(&r, &a));
        ASSERT_EQ(0, bnLShift(&r, sh));
        mpz_mul_2exp(want, ma, sh);
        EXPECT_EQ(hex(want), hex(&r)) << "lshift " << sh;
        ASSERT_EQ(0, bnCopy(&r, &a));
        bnRShift(&r, sh);
        mpz_tdiv_q_2exp(want, ma, sh);
        EXPECT_EQ(hex(want), hex(&r)) << "rshift " << sh;

        uint32_t w = g.word();
        ASSERT_EQ(0, bnMulQ(&r, &a, w));
        mpz_mul_ui(want, ma, w);
        EXPECT_EQ(hex(want), hex(&r)) << "mulq " << w;
        ASSERT_EQ(0, bnCopy(&r, &a));
        ASSERT_EQ(0, bnAddQ(&r, w));
        mpz_add_ui(want, ma, w);
        EXPECT_EQ(hex(want), hex(&r)) << "addq";
        ASSERT_EQ(0, bnCopy(&r, &a));
        neg = bnSubQ(&r, w);
        mpz_sub_ui(want, ma, w);
        EXPECT_EQ(mpz_sgn(want) < 0 ? 1 : 0, neg) << "subq flag";
        mpz_abs(want, want);
        EXPECT_EQ(hex(want), hex(&r)) << "subq";
        EXPECT_EQ(mpz_cmp_ui(ma, w) < 0 ? -1 : mpz_cmp_ui(ma, w) > 0 ? 1 : 0, bnCmpQ(&a, w));
        EXPECT_EQ(mpz_sizeinbase(ma, 2) * (mpz_sgn(ma) != 0), bnBits(&a));
      }
    }
  }
}

// The sieve asks for remainders by primes below 65536 and by 65537; the
// public Q calls by 16-bit values.
TEST_F(BigNumCore, ModQMatchesGmpForSmallAndWideDivisors) {
  Gen g(2);
  Mpz ma;
  const uint32_t divisors[] = {1, 2, 3, 255, 256, 65521, 65535, 65536, 65537, 65539,
                               0x7FFFFFFF, 0x80000000, 0xFFFFFFFB, 0xFFFFFFFF};
  for (unsigned len : kSizes) {
    for (int k = 0; k < 8; k++) {
      g.number(ma, len);
      Num a(mgr_);
      fromMpz(&a, ma);
      for (uint32_t d : divisors) EXPECT_EQ(mpz_fdiv_ui(ma, d), bnModQ(&a, d)) << d;
      uint32_t d = g.raw() | 1;
      EXPECT_EQ(mpz_fdiv_ui(ma, d), bnModQ(&a, d)) << d;
    }
  }
}

// Aliasing where the operations allow it.
TEST_F(BigNumCore, AliasedOperandsGiveTheSameResults) {
  Gen g(3);
  Mpz ma, mb, want, want2;
  for (unsigned la : {1u, 5u, 33u}) {
    for (unsigned lb : {1u, 4u, 20u}) {
      g.number(ma, la);
      g.number(mb, lb);
      Num a(mgr_), b(mgr_), q(mgr_);
      fromMpz(&a, ma);
      fromMpz(&b, mb);
      ASSERT_EQ(0, bnMul(&a, &a, &b));
      mpz_mul(want, ma, mb);
      EXPECT_EQ(hex(want), hex(&a));
      ASSERT_EQ(0, bnMul(&b, &a, &b));
      mpz_mul(want2, want, mb);
      EXPECT_EQ(hex(want2), hex(&b));
      ASSERT_EQ(0, bnSquare(&a, &a));
      mpz_mul(want, want, want);
      EXPECT_EQ(hex(want), hex(&a));
      ASSERT_EQ(0, bnMul(&a, &a, &a));
      mpz_mul(want, want, want);
      EXPECT_EQ(hex(want), hex(&a));
      fromMpz(&a, ma);
      fromMpz(&b, mb);
      ASSERT_EQ(0, bnDivMod(&q, &a, &a, &b));  // remainder over the dividend
      mpz_tdiv_qr(want, want2, ma, mb);
      EXPECT_EQ(hex(want), hex(&q));
      EXPECT_EQ(hex(want2), hex(&a));
      fromMpz(&a, ma);
      ASSERT_EQ(0, bnGcd(&a, &a, &b));
      mpz_gcd(want, ma, mb);
      EXPECT_EQ(hex(want), hex(&a));
      fromMpz(&a, ma);
      ASSERT_EQ(0, bnAdd(&a, &a));
      mpz_mul_2exp(want, ma, 1);
      EXPECT_EQ(hex(want), hex(&a));
    }
  }
}

TEST_F(BigNumCore, ByteImportAndExportAtOffsets) {
  Gen g(4);
  for (unsigned len : {0u, 1u, 3u, 4u, 5u, 9u, 64u, 257u}) {
    std::vector<unsigned char> bytes(len);
    for (auto& c : bytes) c = static_cast<unsigned char>(g.raw());
    for (unsigned lsbyte : {0u, 1u, 4u, 7u}) {
      Num a(mgr_), b(mgr_);
      // A value with ones everywhere: the inserted bytes replace only their
      // own positions.
      std::vector<unsigned char> ones(len + lsbyte + 6, 0xFF);
      ASSERT_EQ(0, bnInsertLittleBytes(&a, ones.data(), 0, static_cast<unsigned>(ones.size())));
      ASSERT_EQ(0, bnInsertBigBytes(&a, bytes.data(), lsbyte, len));
      std::vector<unsigned char> little(ones.size() + 3, 0xAA);
      bnExtractLittleBytes(&a, little.data(), 0, static_cast<unsigned>(little.size()));
      for (unsigned i = 0; i < little.size(); i++) {
        unsigned char expect = i < lsbyte ? 0xFF
                               : i < lsbyte + len ? bytes[len - 1 - (i - lsbyte)]
                               : i < ones.size()   ? 0xFF
                                                   : 0;  // above the value: zeros
        ASSERT_EQ(expect, little[i]) << "byte " << i << " len " << len << " at " << lsbyte;
      }
      std::vector<unsigned char> back(len);
      bnExtractBigBytes(&a, back.data(), lsbyte, len);
      EXPECT_EQ(bytes, back);
      // Into an empty number: growing with zeros below.
      ASSERT_EQ(0, bnInsertLittleBytes(&b, bytes.data(), lsbyte, len));
      Mpz got, want;
      toMpz(&b, got);
      mpz_import(want, len, -1, 1, 0, 0, bytes.data());
      mpz_mul_2exp(want, want, 8 * lsbyte);
      EXPECT_EQ(hex(want), hex(got.get()));
    }
  }
}

TEST_F(BigNumCore, ExponentiationsMatchGmp) {
  Gen g(5);
  Mpz mb, mb2, me, me2, mm, want, t;
  struct Shape {
    unsigned baseWords, expBits, modWords;
  } shapes[] = {
      {1, 0, 1},   {1, 1, 1},    {3, 1, 2},    {1, 5, 1},     {2, 6, 2},    {4, 23, 4},
      {4, 24, 4},  {5, 80, 5},   {5, 81, 5},   {8, 240, 8},   {8, 241, 8},  {16, 672, 16},
      {16, 673, 16}, {33, 1024, 32}, {32, 1792, 32}, {64, 1793, 64}, {80, 300, 64},  // base longer
      {2, 64, 1},  {1, 100, 128},
  };
  for (const Shape& s : shapes) {
    for (int k = 0; k < 3; k++) {
      g.number(mb, s.baseWords);
      g.number(mb2, s.baseWords);
      g.number(mm, s.modWords);
      mpz_setbit(mm, 0);
      mpz_set_ui(me, 0);
      if (s.expBits) {
        g.number(me, (s.expBits + 31) / 32 + 1);
        mpz_tdiv_r_2exp(me, me, s.expBits);
        mpz_setbit(me, s.expBits - 1);
      }
      g.number(me2, (s.expBits / 2 + 31) / 32);
      Num b(mgr_), b2(mgr_), e(mgr_), e2(mgr_), m(mgr_), r(mgr_);
      fromMpz(&b, mb);
      fromMpz(&b2, mb2);
      fromMpz(&e, me);
      fromMpz(&e2, me2);
      fromMpz(&m, mm);
      SCOPED_TRACE(hex(mb) + " ^ " + hex(me) + " mod " + hex(mm));

      ASSERT_EQ(0, bnExpMod(&r, &b, &e, &m));
      mpz_powm(want, mb, me, mm);
      EXPECT_EQ(hex(want), hex(&r)) << "expmod";

      ASSERT_EQ(0, bnTwoExpMod(&r, &e, &m));
      mpz_set_ui(t, 2);
      mpz_powm(want, t, me, mm);
      EXPECT_EQ(hex(want), hex(&r)) << "2^e";
      // Base 2 through the general call takes the same path.
      Num two(mgr_);
      bnSetQ(&two, 2);
      ASSERT_EQ(0, bnExpMod(&r, &two, &e, &m));
      EXPECT_EQ(hex(want), hex(&r)) << "expmod base 2";

      ASSERT_EQ(0, bnDoubleExpMod(&r, &b, &e, &b2, &e2, &m));
      mpz_powm(want, mb, me, mm);
      mpz_powm(t, mb2, me2, mm);
      mpz_mul(want, want, t);
      mpz_mod(want, want, mm);
      EXPECT_EQ(hex(want), hex(&r)) << "double expmod";
      ASSERT_EQ(0, bnDoubleExpMod(&r, &b2, &e2, &b, &e, &m));
      EXPECT_EQ(hex(want), hex(&r)) << "double expmod swapped";

      // The destination over an operand.
      ASSERT_EQ(0, bnExpMod(&b, &b, &e, &m));
      mpz_powm(want, mb, me, mm);
      EXPECT_EQ(hex(want), hex(&b)) << "dest == base";
    }
  }
}

// Double exponentiation with the smallest exponents: one of them 0, both
// 1 (a single product), one 1 beside a longer one.
TEST_F(BigNumCore, DoubleExpModWithTinyExponents) {
  Gen g(9);
  Mpz mb1, mb2, mm, want, t;
  g.number(mb1, 9);
  g.number(mb2, 5);
  g.number(mm, 6);
  mpz_setbit(mm, 0);
  const unsigned long pairs[][2] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}, {1, 2}, {3, 1}, {65537, 1}};
  for (const auto& p : pairs) {
    Num b1(mgr_), b2(mgr_), e1(mgr_), e2(mgr_), m(mgr_), r(mgr_);
    fromMpz(&b1, mb1);
    fromMpz(&b2, mb2);
    fromMpz(&m, mm);
    bnSetQ(&e1, static_cast<BNWORD32>(p[0]));
    bnSetQ(&e2, static_cast<BNWORD32>(p[1]));
    ASSERT_EQ(0, bnDoubleExpMod(&r, &b1, &e1, &b2, &e2, &m));
    mpz_set_ui(t, p[0]);
    mpz_powm(want, mb1, t, mm);
    mpz_set_ui(t, p[1]);
    mpz_powm(t, mb2, t, mm);
    mpz_mul(want, want, t);
    mpz_mod(want, want, mm);
    EXPECT_EQ(hex(want), hex(&r)) << p[0] << " " << p[1];
  }
}

TEST_F(BigNumCore, EvenOrZeroModulusIsRefusedAndDestinationKept) {
  Num b(mgr_), e(mgr_), m(mgr_), r(mgr_);
  bnSetQ(&b, 3);
  bnSetQ(&e, 5);
  bnSetQ(&r, 77);
  for (uint32_t mod : {0u, 10u}) {
    bnSetQ(&m, mod);
    EXPECT_EQ(-1, bnExpMod(&r, &b, &e, &m));
    EXPECT_EQ(-1, bnDoubleExpMod(&r, &b, &e, &b, &e, &m));
    EXPECT_EQ(-1, bnTwoExpMod(&r, &e, &m));
    EXPECT_EQ(0, bnCmpQ(&r, 77));
  }
}

TEST_F(BigNumCore, SmallEdgeCases) {
  Num a(mgr_), b(mgr_), m(mgr_);
  // Subtracting a larger value stores the magnitude and returns 1.
  bnSetQ(&a, 5);
  bnSetQ(&b, 7);
  EXPECT_EQ(1, bnSub(&a, &b));
  EXPECT_EQ(0, bnCmpQ(&a, 2));
  bnSetQ(&a, 0);
  EXPECT_EQ(1, bnSubQ(&a, 9));
  EXPECT_EQ(0, bnCmpQ(&a, 9));
  // Subtracting without borrow may leave a zero top word; operations see
  // through it.
  unsigned char two32[5] = {1, 0, 0, 0, 0};
  bnInsertBigBytes(&a, two32, 0, 5);
  EXPECT_EQ(0, bnSubQ(&a, 1));
  EXPECT_EQ(32u, bnBits(&a));
  EXPECT_EQ(0, bnCmpQ(&a, 0xFFFFFFFF));
  // Factors of two.
  bnSetQ(&a, 0);
  EXPECT_EQ(0u, bnMakeOdd(&a));
  EXPECT_EQ(0u, bnBits(&a));
  bnSetQ(&a, 1);
  bnLShift(&a, 40);
  EXPECT_EQ(40u, bnMakeOdd(&a));
  EXPECT_EQ(0, bnCmpQ(&a, 1));
  // No inverse: 0, and a shared factor.
  bnSetQ(&m, 9);
  bnSetQ(&a, 0);
  EXPECT_EQ(1, bnInv(&b, &a, &m));
  bnSetQ(&a, 6);
  EXPECT_EQ(1, bnInv(&b, &a, &m));
  bnSetQ(&a, 1);
  EXPECT_EQ(0, bnInv(&b, &a, &m));
  EXPECT_EQ(0, bnCmpQ(&b, 1));
  // Shifting right by the whole length or more gives 0.
  bnSetQ(&a, 0xFFFFFFFF);
  bnRShift(&a, 32);
  EXPECT_EQ(0u, bnBits(&a));
  bnSetQ(&a, 0xFFFFFFFF);
  bnRShift(&a, 1000);
  EXPECT_EQ(0u, bnBits(&a));
  // A divisor longer than the dividend.
  bnSetQ(&a, 5);
  bnSetQ(&m, 1);
  bnLShift(&m, 64);
  Num q(mgr_), r(mgr_);
  bnSetQ(&q, 3);
  ASSERT_EQ(0, bnDivMod(&q, &r, &a, &m));
  EXPECT_EQ(0u, bnBits(&q));
  EXPECT_EQ(0, bnCmpQ(&r, 5));
  // Byte positions far above the value read as zeros, without wrapping.
  unsigned char far[4] = {1, 2, 3, 4};
  bnSetQ(&a, 0x11223344);
  bnExtractBigBytes(&a, far, 0xFFFFFFFEu, 4);
  EXPECT_EQ(0, far[0] | far[1] | far[2] | far[3]);
  bnExtractLittleBytes(&a, far, 0xFFFFFFFEu, 4);
  EXPECT_EQ(0, far[0] | far[1] | far[2] | far[3]);
  // Capacities are even.
  ASSERT_EQ(0, bnPrealloc(&r, 33));
  EXPECT_EQ(0u, r->allocated % 2);
  EXPECT_GE(r->allocated, 2u);
}

TEST(BigNumWindow, ThresholdsPickTheWindow) {
  const struct {
    unsigned bits, window;
  } cases[] = {{1, 0},   {5, 0},   {6, 1},   {23, 1},   {24, 2},   {80, 2},   {81, 3},
               {240, 3}, {241, 4}, {672, 4}, {673, 5},  {1792, 5}, {1793, 6}, {100000, 6}};
  for (const auto& c : cases) EXPECT_EQ(c.window, bniExpModWindow_32(c.bits)) << c.bits;
}

TEST(BigNumMemory, EveryFreedBufferIsWiped) {
  ostrak_test::CountingMemoryMgr wc;
  QOXMemoryMgr* mgr = wc.Make();
  ASSERT_NE(nullptr, mgr);
  {
    Gen g(6);
    Mpz v;
    Num a(mgr), b(mgr), e(mgr), m(mgr), r(mgr), q(mgr);
    g.number(v, 40);
    fromMpz(&a, v);
    g.number(v, 17);
    fromMpz(&b, v);
    g.number(v, 32);
    mpz_setbit(v, 0);
    fromMpz(&m, v);
    g.number(v, 8);
    fromMpz(&e, v);
    // Growth (copies and frees the old array), products, divisions, every
    // exponentiation (work buffers and power tables), gcd, inverse, and the
    // strong prime search over plain numbers.
    for (int i = 0; i < 3; i++) ASSERT_EQ(0, bnMul(&a, &a, &b));
    ASSERT_EQ(0, bnSquare(&r, &a));
    ASSERT_EQ(0, bnDivMod(&q, &r, &r, &b));
    ASSERT_EQ(0, bnExpMod(&r, &a, &e, &m));
    ASSERT_EQ(0, bnDoubleExpMod(&r, &a, &e, &b, &e, &m));
    ASSERT_EQ(0, bnTwoExpMod(&r, &e, &m));
    ASSERT_EQ(0, bnGcd(&r, &a, &m));
    ASSERT_GE(bnInv(&r, &b, &m), 0);
    ASSERT_EQ(0, bnLShift(&r, 3000));
    bnSetQ(&e, 2);
    ASSERT_GE(bnPrimeGenStrong(&m, &e, nullptr, nullptr), 7);
  }
  EXPECT_GT(wc.freed(), 20);
  EXPECT_EQ(0, wc.dirtyFreed());
  EXPECT_EQ(0, wc.secureFreed());  // plain numbers use plain memory
  {
    Num s(mgr, true), t(mgr);
    bnSetQ(&t, 12345);
    ASSERT_EQ(0, bnMul(&s, &t, &t));
  }
  EXPECT_EQ(1, wc.secureFreed());  // the secure number's words
  {
    // The plain search's scratch numbers are secure.
    Num p(mgr);
    bnSetQ(&p, 0x9E3779B9u);
    bnLShift(&p, 200);
    ASSERT_GE(bnPrimeGen(&p, nullptr, nullptr, nullptr, nullptr, 65537u, 0u), 7);
  }
  EXPECT_GT(wc.secureFreed(), 1);
  EXPECT_EQ(0, wc.dirtyFreed());
  QOXFreeMemoryMgr(mgr);
}

}  // namespace

namespace {

// Every Montgomery kernel the processor offers (baseline, AVX2, AVX-512)
// against GMP: r = a*b / 2^(32n) mod m.
TEST(BigNumMontgomery, EveryKernelMatchesGmp) {
  Gen g(7);
  Mpz ma, mb, mm, want, rinv, t;
  for (int kernel = 0; kernel < 3; kernel++) {
    for (unsigned n : {1u, 2u, 3u, 7u, 8u, 9u, 15u, 16u, 17u, 32u, 33u, 64u, 100u}) {
      for (int k = 0; k < 6; k++) {
        g.number(mm, n);
        mpz_setbit(mm, 0);
        g.number(ma, n + 1);
        mpz_mod(ma, ma, mm);
        g.number(mb, n + 1);
        mpz_mod(mb, mb, mm);
        if (k == 0) mpz_sub_ui(ma, mm, 1);  // the largest operands
        if (k == 0) mpz_sub_ui(mb, mm, 1);
        std::vector<BNWORD32> a(n), b(n), m(n), r(n);
        mpz_export(a.data(), nullptr, -1, 4, 0, 0, ma);
        mpz_export(b.data(), nullptr, -1, 4, 0, 0, mb);
        mpz_export(m.data(), nullptr, -1, 4, 0, 0, mm);
        mpz_set_ui(t, 1);
        mpz_mul_2exp(t, t, 32 * n);
        ASSERT_TRUE(mpz_invert(rinv, t, mm));
        for (bool square : {false, true}) {
          if (!bniMontMulKernel_32(kernel, square, r.data(), a.data(), b.data(), m.data(), n))
            GTEST_SKIP() << "kernel " << kernel << " not offered here";
          mpz_mul(want, ma, square ? ma : mb);
          mpz_mul(want, want, rinv);
          mpz_mod(want, want, mm);
          mpz_import(t, n, -1, 4, 0, 0, r.data());
          EXPECT_EQ(0, mpz_cmp(want, t)) << "kernel " << kernel << " n " << n << " sq " << square;
        }
      }
    }
  }
}

}  // namespace


namespace {

// With allocation refused after every possible count, each operation either
// succeeds with the right value or answers -1, and nothing is left behind.
TEST(BigNumMemory, RefusedAllocationsGiveMinusOneAndLeakNothing) {
  Gen g(8);
  Mpz ma, mb, mm, want;
  g.number(ma, 40);
  g.number(mb, 9);
  g.number(mm, 12);
  mpz_setbit(mm, 0);
  struct Op {
    const char* name;
    int (*run)(BigNum* r, BigNum* a, BigNum* b, BigNum* m);
  } ops[] = {
      {"mul", [](BigNum* r, BigNum* a, BigNum* b, BigNum*) { return bnMul(r, a, b); }},
      {"square", [](BigNum* r, BigNum* a, BigNum*, BigNum*) { return bnSquare(r, a); }},
      {"divmod", [](BigNum* r, BigNum* a, BigNum* b, BigNum*) { return bnDivMod(r, a, a, b); }},
      {"expmod", [](BigNum* r, BigNum* a, BigNum* b, BigNum* m) { return bnExpMod(r, a, b, m); }},
      {"dblexp",
       [](BigNum* r, BigNum* a, BigNum* b, BigNum* m) { return bnDoubleExpMod(r, a, b, b, a, m); }},
      {"twoexp", [](BigNum* r, BigNum*, BigNum* b, BigNum* m) { return bnTwoExpMod(r, b, m); }},
      {"gcd", [](BigNum* r, BigNum* a, BigNum* b, BigNum*) { return bnGcd(r, a, b); }},
      {"inv", [](BigNum* r, BigNum* a, BigNum*, BigNum* m) { return bnInv(r, a, m) < 0 ? -1 : 0; }},
      {"lshift", [](BigNum* r, BigNum* a, BigNum*, BigNum*) {
         return bnCopy(r, a) ? -1 : bnLShift(r, 999);
       }},
      {"primegen", [](BigNum* r, BigNum*, BigNum* b, BigNum*) {
         if (bnCopy(r, b)) return -1;
         return bnPrimeGen(r, nullptr, nullptr, nullptr, nullptr, 3u, 0u) < 0 ? -1 : 0;
       }},
  };
  for (const Op& op : ops) {
    std::string expected;
    for (int budget = 0;; budget++) {
      ostrak_test::CountingMemoryMgr state;
      QOXMemoryMgr* mgr = state.Make();
      ASSERT_NE(nullptr, mgr);
      int rc;
      std::string got;
      {
        Num a(mgr), b(mgr), m(mgr), r(mgr);
        fromMpz(&a, ma);
        fromMpz(&b, mb);
        fromMpz(&m, mm);
        state.FailAfter(budget);
        rc = op.run(&r, &a, &b, &m);
        state.FailAfter(-1);
        if (rc == 0) got = hex(&r);
      }
      EXPECT_EQ(1, state.live()) << op.name << " budget " << budget;  // the manager itself
      QOXFreeMemoryMgr(mgr);
      if (rc == 0) {
        if (budget == 0 || expected.empty()) {
          // Unlimited reference run.
          ostrak_test::CountingMemoryMgr s2;
          QOXMemoryMgr* m2 = s2.Make();
          {
            Num a(m2), b(m2), m(m2), r(m2);
            fromMpz(&a, ma);
            fromMpz(&b, mb);
            fromMpz(&m, mm);
            EXPECT_EQ(0, op.run(&r, &a, &b, &m));
            expected = hex(&r);
          }
          QOXFreeMemoryMgr(m2);
        }
        EXPECT_EQ(expected, got) << op.name;
        break;  // enough allocations: every smaller budget was refused cleanly
      }
      EXPECT_EQ(-1, rc) << op.name << " budget " << budget;
      ASSERT_LT(budget, 500) << op.name;
    }
  }
}

}  // namespace
