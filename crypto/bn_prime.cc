// Prime search: the sieve window, the candidate table and the tests.
#include "crypto/bn_prime.h"

#include <cstdarg>
#include <vector>

#include "crypto/bn_sieve.h"

namespace {

constexpr unsigned kSieveBytes = 2048;  // 16384 candidates per window
constexpr unsigned kSieveBits = kSieveBytes * 8;
constexpr unsigned kMaxCandidates = 256;
constexpr unsigned kConfirm[] = {2, 3, 5, 7, 11, 13, 17};

int report(BnProgressFn progress, void* arg, int c) { return progress ? progress(arg, c) : 0; }

// a = a^2 mod n.
int squareMod(BigNum* a, const BigNum* n) {
  if (bnSquare(a, a)) return -1;
  return bnMod(a, a, n);
}

// a + 1 == n.
bool isMinusOne(BigNum* a, const BigNum* n) {
  if (bnAddQ(a, 1)) return false;
  bool r = bnCmp(a, n) == 0;
  bnSubQ(a, 1);
  return r;
}

// Moves bn by 2*delta (delta may be negative), in steps of at most 65535.
int moveBy(BigNum* bn, long long twiceDelta) {
  while (twiceDelta > 0) {
    unsigned s = twiceDelta > 65535 ? 65535 : static_cast<unsigned>(twiceDelta);
    if (bnAddQ(bn, s)) return -1;
    twiceDelta -= s;
  }
  while (twiceDelta < 0) {
    unsigned s = -twiceDelta > 65535 ? 65535 : static_cast<unsigned>(-twiceDelta);
    if (bnSubQ(bn, s) < 0) return -1;
    twiceDelta += s;
  }
  return 0;
}

// Wipes a byte array when the scope closes.
class Wiper {
 public:
  Wiper(void* p, size_t n) : p_(p), n_(n) {}
  ~Wiper() { bniMemWipe(p_, n_); }
  Wiper(const Wiper&) = delete;
  Wiper& operator=(const Wiper&) = delete;

 private:
  void* p_;
  size_t n_;
};

}  // namespace

namespace {

// Tests the candidate in bn: 1 for a probable prime; 0 for a composite
// (spent grows by the exponentiations it took, '.' is reported); negative
// ends the search.
int tryCandidate(const BigNum* bn, BigNum* e, BigNum* a, BnProgressFn progress,
                 void* progressArg, int& spent) {
  int rc = primeTest(bn, e, a, progress, progressArg);
  if (rc <= 0) return rc == 0 ? 1 : rc;
  spent += rc;
  rc = report(progress, progressArg, '.');
  return rc < 0 ? rc : 0;
}

}  // namespace

int primeTest(const BigNum* bn, BigNum* e, BigNum* a, BnProgressFn progress, void* progressArg) {
  if (bnCopy(e, bn)) return -1;
  bnSubQ(e, 1);
  BNWORD32 low = bnLSWord(e);
  unsigned start, s;
  if (low & 7) {
    // n = 3, 5 or 7 mod 8: 2^((n-1)/2) is -1, -1 or 1 for a prime.
    bnRShift(e, 1);
    if (bnTwoExpMod(a, e, bn)) return -1;
    if ((low & 7) == 6) {
      if (bnCmpQ(a, 1) != 0) return 1;
    } else if (!isMinusOne(a, bn)) {
      return 1;
    }
    s = 1;
    if ((low & 7) == 4) {
      bnRShift(e, 1);
      s = 2;
    }
    start = 1;
  } else {
    // n = 1 mod 8: 2^((n-1)/4) is 1 or -1 when 2 is a quadratic residue of
    // a prime; 1 leaves base 2 to the strong test.
    bnRShift(e, 2);
    if (bnTwoExpMod(a, e, bn)) return -1;
    if (bnCmpQ(a, 1) != 0) {
      if (!isMinusOne(a, bn)) return 1;
      start = 1;
    } else {
      start = 0;
    }
    s = bnMakeOdd(e) + 2;
  }
  for (unsigned i = start; i < 7; i++) {
    int rc = report(progress, progressArg, '*');
    if (rc < 0) return rc;
    if (bnSetQ(a, kConfirm[i]) || bnExpMod(a, a, e, bn)) return -1;
    if (bnCmpQ(a, 1) == 0) continue;
    for (unsigned left = s;;) {
      if (isMinusOne(a, bn)) break;
      if (--left == 0) return static_cast<int>(i - start + 2);
      if (squareMod(a, bn)) return -1;
      if (bnCmpQ(a, 1) == 0) return static_cast<int>(i - start + 2);
    }
  }
  int rc = report(progress, progressArg, '*');
  return rc < 0 ? rc : 0;
}

int bnPrimeGenList(BigNum* bn, BnRandIndexFn randIndex, void* randArg, BnProgressFn progress,
                   void* progressArg, const unsigned* exponents) {
  BigNumScope e(bn->memMgr, true), a(bn->memMgr, true);
  unsigned char sieve[kSieveBytes];
  unsigned short table[kMaxCandidates];
  Wiper wipeSieve(sieve, sizeof sieve), wipeTable(table, sizeof table);
  if ((bnLSWord(bn) & 1) == 0 && bnAddQ(bn, 1)) return -1;
  int spent = 0;
  for (;;) {
    sieveBuild(sieve, kSieveBytes, bn, 2, 0);
    for (const unsigned* ex = exponents; *ex; ex++) {
      unsigned ee = *ex;
      unsigned r = bnModQ(bn, ee);
      // Remove candidates bn + 2i = 1 mod e: 2i = 1 - r mod e.
      unsigned k = r == 0 ? 1 : r == 1 ? 0 : ee - r + 1;
      unsigned i = (k % 2 == 0) ? k / 2 : (k + ee) / 2;
      sieveSingle(sieve, kSieveBytes, i, ee);
    }
    // Candidate table: bit 0 first, then in sieve order.
    unsigned want = randIndex ? kMaxCandidates : 1;
    unsigned count = 0, pos = 0;
    bool more = true;
    if (sieve[0] & 1) table[count++] = 0;
    while (count < want) {
      pos = sieveSearch(sieve, kSieveBytes, pos);
      if (pos == 0) {
        more = false;
        break;
      }
      table[count++] = static_cast<unsigned short>(pos);
    }
    unsigned prev = 0;
    while (count > 0) {
      unsigned idx = randIndex ? randIndex(randArg, count) : 0;
      if (idx >= count) idx = count - 1;
      unsigned offset = table[idx];
      unsigned next = more ? sieveSearch(sieve, kSieveBytes, pos) : 0;
      if (next) {
        pos = next;
        table[idx] = static_cast<unsigned short>(next);
      } else {
        more = false;
        table[idx] = table[--count];
      }
      if (moveBy(bn, 2ll * (static_cast<long long>(offset) - prev))) return -1;
      prev = offset;
      int rc = tryCandidate(bn, e.get(), a.get(), progress, progressArg, spent);
      if (rc < 0) return rc;
      if (rc == 1) return spent + 7;
    }
    if (moveBy(bn, 2ll * (kSieveBits - prev))) return -1;
    int rc = report(progress, progressArg, '/');
    if (rc < 0) return rc;
  }
}

int bnPrimeGen(BigNum* bn, BnRandIndexFn randIndex, void* randArg, BnProgressFn progress,
               void* progressArg, unsigned exponent, ...) {
  std::vector<unsigned> list;
  va_list ap;
  va_start(ap, exponent);
  for (unsigned ex = exponent; ex; ex = va_arg(ap, unsigned)) list.push_back(ex);
  va_end(ap);
  list.push_back(0);
  return bnPrimeGenList(bn, randIndex, randArg, progress, progressArg, list.data());
}

int bnPrimeGenStrong(BigNum* bn, const BigNum* step, BnProgressFn progress, void* progressArg) {
  bool secure = bn->secure != 0;
  BigNumScope e(bn->memMgr, secure), a(bn->memMgr, secure), move(bn->memMgr, secure);
  unsigned char sieve[kSieveBytes];
  Wiper wipeSieve(sieve, sizeof sieve);
  int spent = 0;
  for (;;) {
    sieveBuildBig(sieve, kSieveBytes, bn, step, 0);
    // Candidates strictly in ascending order: bit 0, then the search.
    unsigned prev = 0, offset = 0;
    bool have = sieve[0] & 1;
    if (!have) {
      offset = sieveSearch(sieve, kSieveBytes, 0);
      have = offset != 0;
    }
    while (have) {
      if (offset > prev && (bnMulQ(move.get(), step, offset - prev) || bnAdd(bn, move.get())))
        return -1;
      prev = offset;
      int rc = tryCandidate(bn, e.get(), a.get(), progress, progressArg, spent);
      if (rc < 0) return rc;
      if (rc == 1) return spent + 7;
      offset = sieveSearch(sieve, kSieveBytes, offset);
      have = offset != 0;
    }
    if (bnMulQ(move.get(), step, kSieveBits - prev) || bnAdd(bn, move.get())) return -1;
    int rc = report(progress, progressArg, '/');
    if (rc < 0) return rc;
  }
}
