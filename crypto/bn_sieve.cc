// Sieve building and searching for prime generation.
#include "crypto/bn_sieve.h"

#include <cstring>

namespace {

constexpr unsigned kSmallPrimeBytes = 4096;  // bit i: the odd number 2i + 1

// Bitmap of the odd primes below 65536.
void buildSmallPrimes(unsigned char* bits) {
  std::memset(bits, 0xFF, kSmallPrimeBytes);
  bits[0] &= ~1u;  // 1 is not prime
  // Every composite below 65536 has a factor of at most 255, whose bit lies
  // in the first 16 bytes.
  for (unsigned i = 1; i < 16 * 8; i++) {
    if (!(bits[i / 8] >> (i % 8) & 1)) continue;
    unsigned p = 2 * i + 1;
    for (unsigned j = (p * p - 1) / 2; j < kSmallPrimeBytes * 8; j += p)
      bits[j / 8] &= static_cast<unsigned char>(~(1u << (j % 8)));
  }
}

// r^-1 mod p for 0 < r < p, p prime (word-sized extended Euclid).
unsigned inverseModP(unsigned r, unsigned p) {
  long long r0 = p, r1 = r, t0 = 0, t1 = 1;
  while (r1 != 0) {
    long long q = r0 / r1;
    long long tmp = r0 - q * r1;
    r0 = r1;
    r1 = tmp;
    tmp = t0 - q * t1;
    t0 = t1;
    t1 = tmp;
  }
  if (t0 < 0) t0 += p;
  return static_cast<unsigned>(t0);
}

// The sieve proper: stepModP(p) gives step mod p.
template <typename StepModP>
void sieveAll(unsigned char* array, unsigned size, const BigNum* start, bool stepOdd,
              StepModP stepModP, unsigned levels) {
  if (stepOdd)
    std::memset(array, (bnLSWord(start) & 1) ? 0x55 : 0xAA, size);
  else
    std::memset(array, 0xFF, size);
  unsigned char small[kSmallPrimeBytes];
  buildSmallPrimes(small);
  for (unsigned i = 1; i < kSmallPrimeBytes * 8; i++) {
    if (!(small[i / 8] >> (i % 8) & 1)) continue;
    unsigned p = 2 * i + 1;
    unsigned r = stepModP(p);
    if (r == 0) continue;
    unsigned w = p - inverseModP(r, p);  // -step^-1 mod p
    unsigned idx = static_cast<unsigned>(
        (static_cast<unsigned long long>(bnModQ(start, p)) * w) % p);
    sieveSingle(array, size, idx, p);
    for (unsigned level = 0; level < levels; level++) {
      if (w & 1) w += p;
      w >>= 1;
      idx = (idx + w) % p;
      sieveSingle(array, size, idx, p);
    }
  }
  std::memset(small, 0, sizeof small);
}

}  // namespace

void sieveSingle(unsigned char* array, unsigned size, unsigned first, unsigned step) {
  const unsigned long long limit = 8ull * size;
  for (unsigned long long i = first; i < limit; i += step)
    array[i / 8] &= static_cast<unsigned char>(~(1u << (i % 8)));
}

int sieveBuild(unsigned char* array, unsigned size, const BigNum* start, BNWORD32 step,
               unsigned levels) {
  sieveAll(array, size, start, step & 1, [step](unsigned p) { return step % p; }, levels);
  return 0;
}

int sieveBuildBig(unsigned char* array, unsigned size, const BigNum* start, const BigNum* step,
                  unsigned levels) {
  sieveAll(array, size, start, bnLSWord(step) & 1,
           [step](unsigned p) { return bnModQ(step, p); }, levels);
  return 0;
}

unsigned sieveSearch(const unsigned char* array, unsigned size, unsigned pos) {
  unsigned i = pos + 1;
  if (i / 8 >= size) return 0;
  // Rest of the current byte, then whole bytes.
  unsigned byte = i / 8;
  unsigned bits = array[byte] >> (i % 8);
  if (bits) return i + static_cast<unsigned>(__builtin_ctz(bits));
  for (byte++; byte < size; byte++) {
    if (array[byte]) {
      unsigned b = array[byte];
      // The lowest set bit: low nibble, then low pair, then the bit.
      unsigned k = 0;
      if (!(b & 0x0F)) {
        k += 4;
        b >>= 4;
      }
      if (!(b & 0x03)) {
        k += 2;
        b >>= 2;
      }
      if (!(b & 0x01)) k += 1;
      return byte * 8 + k;
    }
  }
  return 0;
}
