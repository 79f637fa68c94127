// Prime generation and the sieve, with GMP and `openssl prime` as oracles.
#include <gmp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "crypto/bn.h"
#include "crypto/bn_prime.h"
#include "crypto/bn_sieve.h"
#include "foundation/memory_mgr.h"

namespace {

struct Mpz {
  mpz_t v;
  Mpz() { mpz_init(v); }
  ~Mpz() { mpz_clear(v); }
  Mpz(const Mpz&) = delete;
  Mpz& operator=(const Mpz&) = delete;
  operator mpz_ptr() { return v; }
  mpz_ptr operator->() { return v; }
};

class PrimeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, QOXNewMemoryMgr(0, &mgr_)); }
  void TearDown() override { QOXFreeMemoryMgr(mgr_); }

  void set(BigNum* bn, mpz_srcptr v) {
    std::vector<unsigned char> buf((mpz_sizeinbase(v, 2) + 7) / 8 + 1);
    size_t n = 0;
    mpz_export(buf.data(), &n, 1, 1, 1, 0, v);
    bnSetQ(bn, 0);
    ASSERT_EQ(0, bnInsertBigBytes(bn, buf.data(), 0, static_cast<unsigned>(n)));
  }
  void get(const BigNum* bn, mpz_ptr v) {
    std::vector<unsigned char> buf(bn->size * 4 + 1);
    bnExtractBigBytes(bn, buf.data(), 0, static_cast<unsigned>(buf.size()));
    mpz_import(v, buf.size(), 1, 1, 1, 0, buf.data());
  }
  QOXMemoryMgr* mgr_ = nullptr;
};

bool passesExponents(mpz_srcptr p, const std::vector<unsigned>& exps) {
  for (unsigned e : exps)
    if (mpz_fdiv_ui(p, e) == 1) return false;
  return true;
}

bool hasSmallFactor(mpz_srcptr x) {
  for (unsigned p = 3; p < 65536; p += 2) {
    bool prime = true;
    for (unsigned d = 3; d * d <= p; d += 2)
      if (p % d == 0) {
        prime = false;
        break;
      }
    if (prime && mpz_fdiv_ui(x, p) == 0) return true;
  }
  return false;
}

struct Recorder {
  std::string chars;
  int cancelAt = 0;  // character that makes the callback return -1
  static int cb(void* arg, int c) {
    auto* r = static_cast<Recorder*>(arg);
    r->chars.push_back(static_cast<char>(c));
    return c == r->cancelAt ? -1 : 0;
  }
};

// Without a random index the search returns the smallest probable prime from
// the (odd) start for which no listed exponent divides p - 1.
TEST_F(PrimeTest, DeterministicSearchFindsTheSmallestQualifyingPrime) {
  std::mt19937_64 rng(11);
  Mpz start, want, got;
  const struct {
    unsigned bits;
    std::vector<unsigned> exps;
  } cases[] = {{20, {}}, {64, {3}}, {200, {65537}}, {256, {3, 5, 17, 65537}}, {512, {65537}}};
  for (const auto& c : cases) {
    for (int k = 0; k < 3; k++) {
      mpz_set_ui(start, 1);
      for (unsigned i = 1; i < c.bits; i++) mpz_mul_2exp(start, start, 1), mpz_add_ui(start, start, rng() & 1);
      if (k == 0) mpz_clrbit(start, 0);  // an even start is made odd first
      mpz_set(want, start);
      if (mpz_even_p(want)) mpz_add_ui(want, want, 1);
      while (!(mpz_probab_prime_p(want, 30) && passesExponents(want, c.exps)))
        mpz_add_ui(want, want, 2);

      BigNum bn;
      bnBegin(&bn, mgr_, true);
      set(&bn, start);
      std::vector<unsigned> list = c.exps;
      list.push_back(0);
      int rc = bnPrimeGenList(&bn, nullptr, nullptr, nullptr, nullptr, list.data());
      EXPECT_GE(rc, 7);
      get(&bn, got);
      EXPECT_EQ(0, mpz_cmp(want, got)) << c.bits << " bits";
      bnEnd(&bn);
    }
  }
}

// The callback sees one '.' per sieve survivor that failed, a '/' per
// window left behind, and the prime's stars at the end.
TEST_F(PrimeTest, CallbackSequenceFollowsTheSearch) {
  Mpz start, x, got;
  // 2^300 + 1 and onwards: a range with several survivors before a prime.
  mpz_set_ui(start, 1);
  mpz_mul_2exp(start, start, 300);
  mpz_add_ui(start, start, 1);
  BigNum bn;
  bnBegin(&bn, mgr_, false);
  set(&bn, start);
  Recorder rec;
  int rc = bnPrimeGen(&bn, nullptr, nullptr, Recorder::cb, &rec, 65537u, 0u);
  ASSERT_GE(rc, 7);
  get(&bn, got);
  unsigned survivors = 0;
  for (mpz_set(x, start); mpz_cmp(x, got) < 0; mpz_add_ui(x, x, 2))
    if (mpz_fdiv_ui(x, 65537) != 1 && !hasSmallFactor(x)) survivors++;
  unsigned dots = 0;
  for (char ch : rec.chars) dots += ch == '.';
  EXPECT_EQ(survivors, dots) << rec.chars;
  EXPECT_EQ(std::string::npos, rec.chars.find('/'));
  size_t tail = rec.chars.find_last_not_of('*');
  size_t stars = rec.chars.size() - (tail == std::string::npos ? 0 : tail + 1);
  EXPECT_TRUE(stars == 7 || stars == 8) << rec.chars;
  bnEnd(&bn);
}

// Exponent 1 divides every p - 1, so the search can only be cancelled: it
// tests the window's one remaining candidate, moves a whole window on and
// reports '/'.
TEST_F(PrimeTest, ExhaustedWindowMovesOnAndReportsSlash) {
  Mpz start, got, want;
  mpz_set_ui(start, 1);
  mpz_mul_2exp(start, start, 256);
  mpz_add_ui(start, start, 1);  // composite, no factor below 65536
  BigNum bn;
  bnBegin(&bn, mgr_, false);
  set(&bn, start);
  Recorder rec;
  rec.cancelAt = '/';
  EXPECT_EQ(-1, bnPrimeGen(&bn, nullptr, nullptr, Recorder::cb, &rec, 1u, 0u));
  EXPECT_EQ(1, std::count(rec.chars.begin(), rec.chars.end(), '.'));
  EXPECT_EQ("./", rec.chars.substr(rec.chars.size() - 2));
  get(&bn, got);
  mpz_add_ui(want, start, 2 * 16384);
  EXPECT_EQ(0, mpz_cmp(want, got));
  bnEnd(&bn);
}

// A prime p = 1 mod 8 with 2^((p-1)/4) = 1 goes through base 2 again: eight
// stars instead of seven.
TEST_F(PrimeTest, PrimeWithTrivialQuarticResidueGetsEightStars) {
  Mpz p, e, two, r;
  mpz_set_ui(two, 2);
  bool found8 = false, found7 = false;
  for (mpz_set_ui(p, 70001); !(found8 && found7); mpz_add_ui(p, p, 2)) {
    if (!mpz_probab_prime_p(p, 30)) continue;
    bool eight = false;
    if (mpz_fdiv_ui(p, 8) == 1) {
      mpz_sub_ui(e, p, 1);
      mpz_fdiv_q_2exp(e, e, 2);
      mpz_powm(r, two, e, p);
      eight = mpz_cmp_ui(r, 1) == 0;
    }
    if ((eight && found8) || (!eight && found7)) continue;
    BigNum bn;
    bnBegin(&bn, mgr_, false);
    set(&bn, p);
    Recorder rec;
    ASSERT_EQ(7, bnPrimeGen(&bn, nullptr, nullptr, Recorder::cb, &rec, 0u));
    EXPECT_EQ(std::string(eight ? 8 : 7, '*'), rec.chars) << mpz_get_ui(p);
    bnEnd(&bn);
    (eight ? found8 : found7) = true;
  }
}

TEST_F(PrimeTest, NegativeCallbackStopsTheSearch) {
  Mpz start;
  mpz_set_ui(start, 1);
  mpz_mul_2exp(start, start, 256);
  mpz_add_ui(start, start, 1);  // 2^256 + 1 is composite, with no small factor
  ASSERT_FALSE(hasSmallFactor(start));
  BigNum bn;
  bnBegin(&bn, mgr_, false);
  set(&bn, start);
  Recorder rec;
  rec.cancelAt = '.';
  EXPECT_EQ(-1, bnPrimeGen(&bn, nullptr, nullptr, Recorder::cb, &rec, 0u));
  EXPECT_EQ('.', rec.chars.back());
  EXPECT_EQ(1u, std::count(rec.chars.begin(), rec.chars.end(), '.'));
  bnEnd(&bn);
}

// The random index function receives its own argument; the primes it leads
// to are accepted by an outside checker.
struct Lcg {
  uint64_t state;
  unsigned calls = 0;
  static unsigned next(void* arg, unsigned n) {
    auto* l = static_cast<Lcg*>(arg);
    l->calls++;
    l->state = l->state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<unsigned>((l->state >> 33) % n);
  }
};

bool opensslSaysPrime(mpz_srcptr p) {
  char* hex = mpz_get_str(nullptr, 10, p);
  std::string cmd = std::string("openssl prime ") + hex + " 2>/dev/null";
  free(hex);
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) return false;
  char line[4096] = {0};
  std::string out;
  while (fgets(line, sizeof line, f)) out += line;
  pclose(f);
  return out.find("is prime") != std::string::npos && out.find("not prime") == std::string::npos;
}

TEST_F(PrimeTest, RandomisedSearchGivesPrimesAcceptedByOpenssl) {
  std::mt19937_64 rng(12);
  Mpz start, got;
  for (unsigned bits : {256u, 512u, 1024u}) {
    mpz_set_ui(start, 1);
    for (unsigned i = 1; i < bits; i++) mpz_mul_2exp(start, start, 1), mpz_add_ui(start, start, rng() & 1);
    BigNum bn;
    bnBegin(&bn, mgr_, true);
    set(&bn, start);
    Lcg lcg{bits};
    ASSERT_GE(bnPrimeGen(&bn, Lcg::next, &lcg, nullptr, nullptr, 65537u, 0u), 7);
    get(&bn, got);
    EXPECT_GT(lcg.calls, 0u);
    EXPECT_GE(mpz_cmp(got, start), 0);
    EXPECT_NE(1u, mpz_fdiv_ui(got, 65537));
    EXPECT_EQ(bits, mpz_sizeinbase(got, 2));
    EXPECT_TRUE(opensslSaysPrime(got)) << bits;
    bnEnd(&bn);
  }
}

// start + k*step in order of k: the discrete-log groups' p = 1 mod 2q.
TEST_F(PrimeTest, StrongSearchFindsTheFirstPrimeOfTheProgression) {
  std::mt19937_64 rng(13);
  Mpz q, step, start, want, got;
  for (int k = 0; k < 3; k++) {
    mpz_set_ui(q, 1);
    for (int i = 1; i < 160; i++) mpz_mul_2exp(q, q, 1), mpz_add_ui(q, q, rng() & 1);
    mpz_nextprime(q, q);
    mpz_mul_2exp(step, q, 1);  // even step, odd start
    mpz_set_ui(start, 1);
    for (int i = 1; i < 512; i++) mpz_mul_2exp(start, start, 1), mpz_add_ui(start, start, rng() & 1);
    mpz_setbit(start, 0);
    mpz_set(want, start);
    while (!mpz_probab_prime_p(want, 30)) mpz_add(want, want, step);

    BigNum bn, st;
    bnBegin(&bn, mgr_, false);
    bnBegin(&st, mgr_, false);
    set(&bn, start);
    set(&st, step);
    Recorder rec;
    ASSERT_GE(bnPrimeGenStrong(&bn, &st, Recorder::cb, &rec), 7);
    get(&bn, got);
    EXPECT_EQ(0, mpz_cmp(want, got));
    bnEnd(&bn);
    bnEnd(&st);
  }
  // An odd step from an even start: only odd members are candidates.
  mpz_set_str(start, "100000000000000000000000000000000", 16);
  mpz_set_ui(step, 3);
  mpz_set(want, start);
  while (!mpz_probab_prime_p(want, 30)) mpz_add(want, want, step);
  BigNum bn, st;
  bnBegin(&bn, mgr_, false);
  bnBegin(&st, mgr_, false);
  set(&bn, start);
  set(&st, step);
  ASSERT_GE(bnPrimeGenStrong(&bn, &st, nullptr, nullptr), 7);
  get(&bn, got);
  EXPECT_EQ(0, mpz_cmp(want, got));
  bnEnd(&bn);
  bnEnd(&st);
}

TEST_F(PrimeTest, PrimeTestSeparatesPrimesFromPseudoprimes) {
  // Carmichael numbers and strong pseudoprimes to base 2 among them.
  const unsigned long composites[] = {561, 1105, 1729, 2047, 3277, 4033, 4681, 8321, 15841,
                                      29341, 41041, 49141, 52633, 65281, 74665, 80581, 85489,
                                      88357, 90751, 3215031751ul, 2152302898747ul,
                                      3474749660383ul};
  const unsigned long primes[] = {65537, 65539, 2147483647, 4294967291ul, 1000000007,
                                  2305843009213693951ul};
  BigNum n, e, a;
  bnBegin(&n, mgr_, false);
  bnBegin(&e, mgr_, false);
  bnBegin(&a, mgr_, false);
  Mpz v;
  for (unsigned long c : composites) {
    mpz_set_ui(v, c);
    set(&n, v);
    EXPECT_GT(primeTest(&n, &e, &a, nullptr, nullptr), 0) << c;
  }
  for (unsigned long p : primes) {
    mpz_set_ui(v, p);
    set(&n, v);
    EXPECT_EQ(0, primeTest(&n, &e, &a, nullptr, nullptr)) << p;
  }
  bnEnd(&n);
  bnEnd(&e);
  bnEnd(&a);
}

// Each bit of a built sieve against a direct check of its candidate.
TEST_F(PrimeTest, SieveBitsMatchDirectDivisibility) {
  Mpz start, stepz, x, y;
  std::vector<unsigned> primes;
  for (unsigned p = 3; p < 65536; p += 2) {
    bool pr = true;
    for (unsigned d = 3; d * d <= p; d += 2)
      if (p % d == 0) {
        pr = false;
        break;
      }
    if (pr) primes.push_back(p);
  }
  // Primes dividing the step divide all candidates or none: the sieve
  // leaves them to the tests.
  auto free = [&](mpz_srcptr v) {
    for (unsigned p : primes)
      if (mpz_fdiv_ui(v, p) == 0 && mpz_fdiv_ui(stepz, p) != 0) return false;
    return true;
  };
  mpz_set_str(start, "123456789abcdef0123456789abcdef0123456789abcdef", 16);
  const struct {
    const char* step;
    unsigned levels;
  } cases[] = {{"2", 0}, {"3", 0}, {"1a2b3c4d5e6f708192a3b4c5d6e7f8", 0}, {"2", 1}};
  for (const auto& c : cases) {
    mpz_set_str(stepz, c.step, 16);
    BigNum bs, bst;
    bnBegin(&bs, mgr_, false);
    bnBegin(&bst, mgr_, false);
    set(&bs, start);
    set(&bst, stepz);
    unsigned char sieve[48];
    if (mpz_cmp_ui(stepz, 0xFFFFFFFF) <= 0)
      sieveBuild(sieve, sizeof sieve, &bs, static_cast<BNWORD32>(mpz_get_ui(stepz)), c.levels);
    else
      sieveBuildBig(sieve, sizeof sieve, &bs, &bst, c.levels);
    for (unsigned i = 0; i < 8 * sizeof sieve; i++) {
      mpz_mul_ui(x, stepz, i);
      mpz_add(x, x, start);
      bool expect = mpz_odd_p(x) && free(x);
      if (c.levels >= 1) {  // 2x + 1 also free of small factors
        mpz_mul_2exp(y, x, 1);
        mpz_add_ui(y, y, 1);
        expect = expect && free(y);
      }
      EXPECT_EQ(expect, (sieve[i / 8] >> (i % 8) & 1) != 0) << c.step << " bit " << i;
    }
    bnEnd(&bs);
    bnEnd(&bst);
  }
}

TEST(Sieve, SearchAndSingle) {
  unsigned char s[4] = {0x00, 0x10, 0x00, 0x81};
  EXPECT_EQ(12u, sieveSearch(s, 4, 0));
  EXPECT_EQ(24u, sieveSearch(s, 4, 12));
  EXPECT_EQ(31u, sieveSearch(s, 4, 24));
  EXPECT_EQ(0u, sieveSearch(s, 4, 31));  // from the last set bit
  unsigned char t[3] = {0xFF, 0xFF, 0xFF};
  sieveSingle(t, 3, 2, 5);  // 2, 7, 12, 17, 22
  EXPECT_EQ(0x7B, t[0]);
  EXPECT_EQ(0xEF, t[1]);
  EXPECT_EQ(0xBD, t[2]);
}

}  // namespace
