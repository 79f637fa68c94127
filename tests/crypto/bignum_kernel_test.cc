// The Montgomery kernels and the exponentiations over them, checked against
// GMP under every kernel this processor runs: random operands at every size
// from 1 to 130 words, full-length exponents at the kernels' boundaries
// (15-17, 31-33, 63-65 and 127-129 words, where the specialised sizes end
// and, at 130 words, where the IFMA kernel's digits stop fitting in
// registers), the fixed-window path of secret exponents, the RSA private
// operation by the Chinese remainder theorem, and the inverse.
#include <gmp.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "crypto/bn.h"
#include "crypto/rsa.h"
#include "foundation/memory_mgr.h"
#include "tests/common/counting_memory_mgr.h"

namespace {

class Mpz {
 public:
  Mpz() { mpz_init(v_); }
  ~Mpz() { mpz_clear(v_); }
  Mpz(const Mpz&) = delete;
  Mpz& operator=(const Mpz&) = delete;
  operator mpz_ptr() { return v_; }
  mpz_ptr operator->() { return v_; }
  mpz_ptr get() { return v_; }

 private:
  mpz_t v_;
};

class Num {
 public:
  Num(QOXMemoryMgr* mgr, bool secure) { bnBegin(&bn_, mgr, secure); }
  ~Num() { bnEnd(&bn_); }
  Num(const Num&) = delete;
  Num& operator=(const Num&) = delete;
  BigNum* get() { return &bn_; }

 private:
  BigNum bn_;
};

using Words = std::vector<BNWORD32>;

Words toWords(mpz_srcptr v, size_t n) {
  Words w(n + 1, 0);
  size_t count = 0;
  mpz_export(w.data(), &count, -1, 4, 0, 0, v);
  w.resize(n);
  return w;
}

void fromWords(mpz_ptr v, const BNWORD32* w, size_t n) { mpz_import(v, n, -1, 4, 0, 0, w); }

void set(BigNum* bn, mpz_srcptr v) {
  Words w = toWords(v, (mpz_sizeinbase(v, 2) + 31) / 32);
  bnSetQ(bn, 0);
  std::vector<unsigned char> bytes(4 * w.size());
  for (size_t i = 0; i < w.size(); i++)
    for (int b = 0; b < 4; b++) bytes[4 * i + b] = static_cast<unsigned char>(w[i] >> (8 * b));
  ASSERT_EQ(0, bnInsertLittleBytes(bn, bytes.data(), 0, static_cast<unsigned>(bytes.size())));
}

void get(mpz_ptr v, const BigNum* bn) { fromWords(v, bn->words, bn->size); }

std::string hex(mpz_srcptr v) {
  char* s = mpz_get_str(nullptr, 16, v);
  std::string r(s);
  free(s);
  return r;
}

// Random numbers rich in carry patterns, with an exact word count.
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
  // n words, top word nonzero.
  void number(mpz_ptr out, unsigned n) {
    Words w(n);
    for (auto& x : w) x = word();
    if (n) w[n - 1] |= 1u << (rng_() % 32);
    fromWords(out, w.data(), n);
  }
  // An odd modulus of n words; some all ones, some with a top word of 1.
  void modulus(mpz_ptr out, unsigned n) {
    switch (rng_() % 5) {
      case 0:
        mpz_set_ui(out, 1);
        mpz_mul_2exp(out, out, 32 * n);
        mpz_sub_ui(out, out, 1);
        break;
      case 1: {
        Words w(n);
        for (auto& x : w) x = static_cast<uint32_t>(rng_());
        w[n - 1] = 1;
        fromWords(out, w.data(), n);
        break;
      }
      default:
        number(out, n);
    }
    mpz_setbit(out, 0);
    if (n == 1 && mpz_cmp_ui(out, 1) == 0) mpz_set_ui(out, 3);
  }
  // Below m: random, or m - 1.
  void below(mpz_ptr out, mpz_srcptr m) {
    if (rng_() % 4 == 0) {
      mpz_sub_ui(out, m, 1);
      return;
    }
    number(out, static_cast<unsigned>((mpz_sizeinbase(m, 2) + 31) / 32) + 1);
    mpz_mod(out, out, m);
  }
  unsigned below(unsigned n) { return static_cast<unsigned>(rng_() % n); }

 private:
  std::mt19937_64 rng_;
};

// Forces one kernel for the scope, and puts back the one in force before.
class ForcedKernel {
 public:
  explicit ForcedKernel(int kernel) : previous_(bniSelectKernel_32(kernel)) {}
  ~ForcedKernel() {
    if (previous_ >= 0) bniSelectKernel_32(previous_);
  }
  ForcedKernel(const ForcedKernel&) = delete;
  ForcedKernel& operator=(const ForcedKernel&) = delete;

 private:
  int previous_;
};

std::vector<int> runnableKernels() {
  std::vector<int> k;
  for (int i = 0; i < kBniKernelCount; i++)
    if (bniKernelAvailable_32(i)) k.push_back(i);
  return k;
}

bool atBoundary(unsigned n) {
  for (unsigned b : {16u, 32u, 64u, 128u})
    if (n + 1 >= b && n <= b + 1) return true;
  return n <= 2 || n >= 129;
}

class BigNumKernels : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, QOXNewMemoryMgr(0, &mgr_)); }
  void TearDown() override { QOXFreeMemoryMgr(mgr_); }
  QOXMemoryMgr* mgr_ = nullptr;
};

// One run per kernel, the kernel forced for the whole test (skipped where
// the processor lacks it).
class PerKernel : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (!bniKernelAvailable_32(GetParam())) GTEST_SKIP() << "this processor lacks the kernel";
    forced_ = std::make_unique<ForcedKernel>(GetParam());
    ASSERT_EQ(0, QOXNewMemoryMgr(0, &mgr_));
  }
  void TearDown() override {
    if (mgr_) QOXFreeMemoryMgr(mgr_);
    forced_.reset();
  }
  std::unique_ptr<ForcedKernel> forced_;
  QOXMemoryMgr* mgr_ = nullptr;
};

const char* const kKernelNames[kBniKernelCount] = {"portable", "mulx", "ifma"};

std::string kernelName(const ::testing::TestParamInfo<int>& info) { return kKernelNames[info.param]; }

INSTANTIATE_TEST_SUITE_P(Kernels, PerKernel,
                         ::testing::Values(kBniKernelPortable, kBniKernelMulx, kBniKernelIfma),
                         kernelName);

// OSTRAK_BN_KERNEL names the kernel in force when the processor runs it
// (the CTest runs "..._under_<kernel>_kernel" set it).
TEST(BigNumKernelChoice, EnvironmentNamesTheKernelInForce) {
  const char* want = std::getenv("OSTRAK_BN_KERNEL");
  if (want == nullptr) GTEST_SKIP() << "OSTRAK_BN_KERNEL is not set";
  for (int k = 0; k < kBniKernelCount; k++) {
    if (std::strcmp(want, kKernelNames[k]) == 0 && bniKernelAvailable_32(k)) {
      EXPECT_EQ(k, bniKernel_32());
      return;
    }
  }
  // Unknown or not runnable here: the best kernel the processor runs.
  int best = 0;
  for (int k = 0; k < kBniKernelCount; k++)
    if (bniKernelAvailable_32(k)) best = k;
  EXPECT_EQ(best, bniKernel_32());
}

TEST(BigNumKernelChoice, SelectionHookSwitchesOnlyToRunnableKernels) {
  ASSERT_TRUE(bniKernelAvailable_32(kBniKernelPortable));
  const int inForce = bniKernel_32();
  EXPECT_TRUE(bniKernelAvailable_32(inForce));
  EXPECT_EQ(-1, bniSelectKernel_32(kBniKernelCount));
  EXPECT_EQ(-1, bniSelectKernel_32(-1));
  EXPECT_EQ(inForce, bniKernel_32());
  for (int k : runnableKernels()) {
    ForcedKernel forced(k);
    EXPECT_EQ(k, bniKernel_32());
  }
  EXPECT_EQ(inForce, bniKernel_32());
}

// One product a*b / 2^(32n) mod m per kernel, at every size.
TEST_P(PerKernel, ProductsMatchGmpAtEverySize) {
  Gen g(11);
  Mpz m, a, b, want, rinv, t, got;
  {
    const int kernel = GetParam();
    for (unsigned n = 1; n <= 130; n++) {
      for (int round = 0; round < 3; round++) {
        g.modulus(m, n);
        g.below(a, m);
        g.below(b, m);
        Words wm = toWords(m, n), wa = toWords(a, n), wb = toWords(b, n), wr(n);
        mpz_set_ui(t, 1);
        mpz_mul_2exp(t, t, 32 * n);
        ASSERT_TRUE(mpz_invert(rinv, t, m));
        for (bool square : {false, true}) {
          ASSERT_TRUE(bniMontMulKernel_32(kernel, square, wr.data(), wa.data(), wb.data(), wm.data(), n));
          mpz_mul(want, a, square ? a : b);
          mpz_mul(want, want, rinv);
          mpz_mod(want, want, m);
          fromWords(got, wr.data(), n);
          ASSERT_EQ(hex(want), hex(got)) << "kernel " << kernel << " n " << n << " square " << square
                                         << " m " << hex(m) << " a " << hex(a) << " b " << hex(b);
        }
      }
    }
  }
}

// bnExpMod over sliding windows (plain exponent) and fixed windows (secure
// exponent), bnDoubleExpMod and bnTwoExpMod, at every modulus size, under
// every kernel; the exponents are as long as the modulus at the boundaries.
TEST_P(PerKernel, ExponentiationsMatchGmpAtEverySize) {
  Gen g(12);
  Mpz m, b1, b2, e1, e2, want, t, got;
  {
    const int kernel = GetParam();
    for (unsigned n = 1; n <= 130; n++) {
      g.modulus(m, n);
      g.below(b1, m);
      g.below(b2, m);
      const unsigned ebits = atBoundary(n) ? 32 * n : 24 + g.below(72);
      g.number(e1, (ebits + 31) / 32);
      mpz_tdiv_r_2exp(e1, e1, ebits);
      g.number(e2, (ebits / 2 + 31) / 32 + 1);
      Num bm(mgr_, false), bb1(mgr_, false), bb2(mgr_, false), be1(mgr_, false), bse1(mgr_, true),
          be2(mgr_, false), r(mgr_, false);
      set(bm.get(), m);
      set(bb1.get(), b1);
      set(bb2.get(), b2);
      set(be1.get(), e1);
      set(bse1.get(), e1);
      set(be2.get(), e2);
      SCOPED_TRACE("kernel " + std::to_string(kernel) + " n " + std::to_string(n) + " m " + hex(m));
      mpz_powm(want, b1, e1, m);

      ASSERT_EQ(0, bnExpMod(r.get(), bb1.get(), be1.get(), bm.get()));
      get(got, r.get());
      EXPECT_EQ(hex(want), hex(got)) << "sliding windows";

      ASSERT_EQ(0, bnExpMod(r.get(), bb1.get(), bse1.get(), bm.get()));
      get(got, r.get());
      EXPECT_EQ(hex(want), hex(got)) << "fixed windows";

      ASSERT_EQ(0, bnDoubleExpMod(r.get(), bb1.get(), be1.get(), bb2.get(), be2.get(), bm.get()));
      mpz_powm(t, b2, e2, m);
      mpz_mul(t, t, want);
      mpz_mod(t, t, m);
      get(got, r.get());
      EXPECT_EQ(hex(t), hex(got)) << "two bases";

      ASSERT_EQ(0, bnTwoExpMod(r.get(), be1.get(), bm.get()));
      mpz_set_ui(t, 2);
      mpz_powm(t, t, e1, m);
      get(got, r.get());
      EXPECT_EQ(hex(t), hex(got)) << "base 2";
    }
  }
}

// The fixed-window path on its own: every window width, exponents of all
// ones, a single bit, and zero words above the exponent, which are scanned
// like any other and change nothing.
TEST_P(PerKernel, FixedWindowsOfEveryWidthAndLeadingZeroWords) {
  const struct {
    unsigned bits, width;
  } widths[] = {{1, 3}, {64, 3}, {65, 4}, {384, 4}, {385, 5}, {1536, 5}, {1537, 6}, {4096, 6}};
  for (const auto& w : widths) EXPECT_EQ(w.width, bniExpModFixedWindow_32(w.bits)) << w.bits;

  Gen g(13);
  Mpz m, b, e, want, got;
  BniAllocator al{[](void*, unsigned bytes) -> void* { return ::operator new(bytes); },
                  [](void*, void* p, unsigned bytes) {
                    std::memset(p, 0, bytes);
                    ::operator delete(p);
                  },
                  nullptr};
  {
    const int kernel = GetParam();
    for (unsigned n : {1u, 5u, 16u, 33u}) {
      for (unsigned ebits : {1u, 2u, 63u, 64u, 65u, 384u, 385u, 1536u, 1537u}) {
        g.modulus(m, n);
        g.below(b, m);
        for (int shape = 0; shape < 3; shape++) {
          mpz_set_ui(e, 0);
          if (shape == 0) g.number(e, (ebits + 31) / 32);
          if (shape == 1) {
            mpz_setbit(e, ebits);
            mpz_sub_ui(e, e, 1);  // all ones
          }
          if (shape == 2) mpz_setbit(e, ebits - 1);
          mpz_tdiv_r_2exp(e, e, ebits);
          mpz_powm(want, b, e, m);
          const unsigned elen = (ebits + 31) / 32;
          for (unsigned pad : {0u, 1u, 3u}) {
            Words we = toWords(e, elen + pad), wb = toWords(b, n), wm = toWords(m, n), wr(n, 0xA5A5A5A5u);
            ASSERT_EQ(0, bniExpModFixed_32(wr.data(), wb.data(), n, we.data(), elen + pad, wm.data(), n, al));
            fromWords(got, wr.data(), n);
            EXPECT_EQ(hex(want), hex(got)) << "kernel " << kernel << " n " << n << " bits " << ebits
                                           << " shape " << shape << " pad " << pad;
          }
        }
      }
    }
    // No exponent words at all: 1 (0 modulo 1).
    Words one(1, 7), wm{1}, wb{0};
    ASSERT_EQ(0, bniExpModFixed_32(one.data(), wb.data(), 1, nullptr, 0, wm.data(), 1, al));
    EXPECT_EQ(0u, one[0]);
  }
}

// The private operation by the Chinese remainder theorem: with primes, it
// is x^d mod pq; with any odd p and q (equal, unequal or swapped lengths, x
// longer than pq), it is s1 + p ((s2 - s1) u mod q). (Primes up to 33 words
// only, to keep the search short.)
TEST_P(PerKernel, ChineseRemainderMatchesGmp) {
  Gen g(14);
  struct Case {
    Mpz p, q, u, d, x, want;
    unsigned np, nq;
    bool primes;
  };
  const unsigned shapes[][2] = {{1, 1}, {1, 2}, {2, 1}, {3, 5}, {16, 16}, {15, 17}, {17, 15},
                                {31, 33}, {32, 32}, {33, 32}, {64, 64}, {63, 65}, {2, 64}};
  std::vector<std::unique_ptr<Case>> cases;
  Mpz n, s1, s2, t;
  for (const auto& s : shapes) {
    for (bool primes : {true, false}) {
      if (primes && (s[0] > 33 || s[1] > 33)) continue;
      auto c = std::make_unique<Case>();
      c->np = s[0];
      c->nq = s[1];
      c->primes = primes;
      g.number(c->p, s[0]);
      g.number(c->q, s[1]);
      if (primes) {
        if (mpz_cmp_ui(c->p, 3) < 0) mpz_set_ui(c->p, 3);  // odd primes only
        if (mpz_cmp_ui(c->q, 3) < 0) mpz_set_ui(c->q, 3);
        mpz_nextprime(c->p, c->p);
        mpz_nextprime(c->q, c->q);
        if (mpz_cmp(c->p, c->q) == 0) mpz_nextprime(c->q, c->q);
      } else {
        mpz_setbit(c->p, 0);
        mpz_setbit(c->q, 0);
        if (mpz_cmp_ui(c->p, 1) == 0) mpz_set_ui(c->p, 3);
        if (mpz_cmp_ui(c->q, 1) == 0) mpz_set_ui(c->q, 5);
      }
      if (!mpz_invert(c->u, c->p, c->q)) g.below(c->u, c->q);
      mpz_mul(n, c->p, c->q);
      g.number(c->d, s[0] + s[1]);
      g.number(c->x, s[0] + s[1] + g.below(3));
      if (primes) mpz_mod(c->x, c->x, n);
      // The oracle's own CRT, prime or not.
      mpz_sub_ui(t, c->p, 1);
      mpz_mod(t, c->d, t);
      mpz_mod(s1, c->x, c->p);
      mpz_powm(s1, s1, t, c->p);
      mpz_sub_ui(t, c->q, 1);
      mpz_mod(t, c->d, t);
      mpz_mod(s2, c->x, c->q);
      mpz_powm(s2, s2, t, c->q);
      mpz_sub(t, s2, s1);
      mpz_mul(t, t, c->u);
      mpz_mod(t, t, c->q);
      mpz_mul(t, t, c->p);
      mpz_add(c->want, t, s1);
      if (primes) {
        mpz_powm(t, c->x, c->d, n);
        ASSERT_EQ(hex(t), hex(c->want)) << "the oracle's CRT";
      }
      cases.push_back(std::move(c));
    }
  }
  Mpz got;
  {
    const int kernel = GetParam();
    for (auto& c : cases) {
      Num bx(mgr_, true), bd(mgr_, true), bp(mgr_, true), bq(mgr_, true), bu(mgr_, true);
      set(bx.get(), c->x);
      set(bd.get(), c->d);
      set(bp.get(), c->p);
      set(bq.get(), c->q);
      set(bu.get(), c->u);
      ASSERT_EQ(0, bnExpModCRA(bx.get(), bd.get(), bp.get(), bq.get(), bu.get()));
      get(got, bx.get());
      EXPECT_EQ(hex(c->want), hex(got)) << "kernel " << kernel << " sizes " << c->np << "," << c->nq
                                        << (c->primes ? " primes" : " odd") << " p " << hex(c->p)
                                        << " q " << hex(c->q);
    }
  }
  // A factor of 1 has no p - 1 to reduce by.
  Num bx(mgr_, true), bd(mgr_, true), bp(mgr_, true), bq(mgr_, true), bu(mgr_, true);
  bnSetQ(bx.get(), 5);
  bnSetQ(bd.get(), 3);
  bnSetQ(bp.get(), 1);
  bnSetQ(bq.get(), 7);
  bnSetQ(bu.get(), 1);
  EXPECT_EQ(-11999, bnExpModCRA(bx.get(), bd.get(), bp.get(), bq.get(), bu.get()));
  EXPECT_EQ(-11999, bnExpModCRA(bx.get(), bd.get(), bq.get(), bp.get(), bu.get()));
}

// Every block the private operation and a secret exponentiation give back
// is wiped, and all of them came from secure memory.
TEST_P(PerKernel, SecretWorkIsWipedAndSecure) {
  {
    const int kernel = GetParam();
    ostrak_test::CountingMemoryMgr wc;
    QOXMemoryMgr* mgr = wc.Make();
    ASSERT_NE(nullptr, mgr);
    {
      Gen g(15);
      Mpz p, q, u, v;
      g.number(p, 16);
      mpz_nextprime(p, p);
      g.number(q, 16);
      mpz_nextprime(q, q);
      ASSERT_TRUE(mpz_invert(u, p, q));
      Num x(mgr, true), d(mgr, true), bp(mgr, true), bq(mgr, true), bu(mgr, true), r(mgr, true);
      g.number(v, 31);
      set(x.get(), v);
      g.number(v, 32);
      set(d.get(), v);
      set(bp.get(), p);
      set(bq.get(), q);
      set(bu.get(), u);
      const long plainBefore = wc.freed() - wc.secureFreed();
      ASSERT_EQ(0, bnExpModCRA(x.get(), d.get(), bp.get(), bq.get(), bu.get()));
      ASSERT_EQ(0, bnExpMod(r.get(), x.get(), d.get(), bp.get()));
      ASSERT_EQ(0, bnInv(r.get(), x.get(), bq.get()));
      EXPECT_EQ(plainBefore, wc.freed() - wc.secureFreed()) << "kernel " << kernel;
    }
    EXPECT_GT(wc.secureFreed(), 6);
    EXPECT_EQ(0, wc.dirtyFreed()) << "kernel " << kernel;
    QOXFreeMemoryMgr(mgr);
  }
}

// The result is written once every operand has been read: over the
// modulus, the exponent (plain and secure) and the base, including the
// smallest cases (modulus 1, exponent 0).
TEST_F(BigNumKernels, ResultOverEveryOperand) {
  Gen g(17);
  Mpz m, b, e, want, got;
  for (unsigned n : {1u, 3u, 16u, 33u}) {
    for (int shape = 0; shape < 4; shape++) {  // m random or 1, e random or 0
      g.modulus(m, n);
      if (shape >= 2) mpz_set_ui(m, 1);
      g.below(b, m);
      g.number(e, shape % 2 ? 0 : n);
      mpz_powm(want, b, e, m);
      for (int over = 0; over < 4; over++) {
        Num bm(mgr_, false), bb(mgr_, false), be(mgr_, over == 3);
        set(bm.get(), m);
        set(bb.get(), b);
        set(be.get(), e);
        BigNum* dest = over == 0 ? bm.get() : over == 1 ? bb.get() : be.get();
        ASSERT_EQ(0, bnExpMod(dest, bb.get(), be.get(), bm.get()));
        get(got, dest);
        EXPECT_EQ(hex(want), hex(got)) << "n " << n << " shape " << shape << " over " << over;
      }
    }
  }
}

// The inverse, rewritten over one block, at every modulus size and with
// sources longer than the modulus.
TEST_F(BigNumKernels, InverseMatchesGmpAtEverySize) {
  Gen g(16);
  Mpz m, s, want, got;
  for (unsigned n = 1; n <= 130; n++) {
    g.number(m, n);
    if (mpz_cmp_ui(m, 1) <= 0) mpz_set_ui(m, 2);
    g.number(s, g.below(n + 3));
    Num bm(mgr_, false), bs(mgr_, false), r(mgr_, false);
    set(bm.get(), m);
    set(bs.get(), s);
    int rc = bnInv(r.get(), bs.get(), bm.get());
    if (mpz_invert(want, s, m)) {
      ASSERT_EQ(0, rc) << n;
      get(got, r.get());
      EXPECT_EQ(hex(want), hex(got)) << "n " << n << " m " << hex(m) << " s " << hex(s);
    } else {
      EXPECT_EQ(1, rc) << "n " << n << " m " << hex(m) << " s " << hex(s);
    }
  }
}

}  // namespace
