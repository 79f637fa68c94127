// Modular exponentiation: bnExpMod beside GMP's mpz_powm and OpenSSL's
// BN_mod_exp, on the same operands (full-length base and exponent, odd
// modulus) of 1024, 2048 and 4096 bits.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "crypto/bn.h"
#include "foundation/memory_mgr.h"

#ifdef OSTRAK_HAVE_GMP
#include <gmp.h>
#endif
#ifdef OSTRAK_HAVE_OPENSSL
#include <openssl/bn.h>
#endif

namespace {

struct Operands {
  std::vector<unsigned char> base, exp, mod;
};

const Operands& operands(unsigned bits) {
  static const std::vector<Operands> all = [] {
    std::vector<Operands> o(3);
    std::mt19937_64 rng(2048);
    const unsigned sizes[3] = {1024, 2048, 4096};
    for (int i = 0; i < 3; i++) {
      unsigned bytes = sizes[i] / 8;
      for (auto* v : {&o[i].base, &o[i].exp, &o[i].mod}) {
        v->resize(bytes);
        for (auto& c : *v) c = static_cast<unsigned char>(rng());
        (*v)[0] |= 0x80;
      }
      o[i].mod[bytes - 1] |= 1;
      o[i].base[0] &= 0x7F;
    }
    return o;
  }();
  return all[bits == 1024 ? 0 : bits == 2048 ? 1 : 2];
}

void BM_bnExpMod(benchmark::State& state) {
  const Operands& o = operands(static_cast<unsigned>(state.range(0)));
  QOXMemoryMgr* mgr = nullptr;
  QOXNewMemoryMgr(0, &mgr);
  BigNum b, e, m, r;
  for (BigNum* x : {&b, &e, &m, &r}) bnBegin(x, mgr, false);
  bnInsertBigBytes(&b, o.base.data(), 0, static_cast<unsigned>(o.base.size()));
  bnInsertBigBytes(&e, o.exp.data(), 0, static_cast<unsigned>(o.exp.size()));
  bnInsertBigBytes(&m, o.mod.data(), 0, static_cast<unsigned>(o.mod.size()));
  for (auto _ : state) {
    if (bnExpMod(&r, &b, &e, &m)) state.SkipWithError("bnExpMod failed");
    benchmark::DoNotOptimize(r.words);
  }
  for (BigNum* x : {&b, &e, &m, &r}) bnEnd(x);
  QOXFreeMemoryMgr(mgr);
}
BENCHMARK(BM_bnExpMod)->Arg(1024)->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond);

#ifdef OSTRAK_HAVE_GMP
void BM_mpz_powm(benchmark::State& state) {
  const Operands& o = operands(static_cast<unsigned>(state.range(0)));
  mpz_t b, e, m, r;
  mpz_inits(b, e, m, r, nullptr);
  mpz_import(b, o.base.size(), 1, 1, 1, 0, o.base.data());
  mpz_import(e, o.exp.size(), 1, 1, 1, 0, o.exp.data());
  mpz_import(m, o.mod.size(), 1, 1, 1, 0, o.mod.data());
  for (auto _ : state) {
    mpz_powm(r, b, e, m);
    benchmark::DoNotOptimize(r);
  }
  mpz_clears(b, e, m, r, nullptr);
}
BENCHMARK(BM_mpz_powm)->Arg(1024)->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond);
#endif

#ifdef OSTRAK_HAVE_OPENSSL
void BM_BN_mod_exp(benchmark::State& state) {
  const Operands& o = operands(static_cast<unsigned>(state.range(0)));
  BN_CTX* ctx = BN_CTX_new();
  BIGNUM* b = BN_bin2bn(o.base.data(), static_cast<int>(o.base.size()), nullptr);
  BIGNUM* e = BN_bin2bn(o.exp.data(), static_cast<int>(o.exp.size()), nullptr);
  BIGNUM* m = BN_bin2bn(o.mod.data(), static_cast<int>(o.mod.size()), nullptr);
  BIGNUM* r = BN_new();
  for (auto _ : state) {
    if (!BN_mod_exp(r, b, e, m, ctx)) state.SkipWithError("BN_mod_exp failed");
    benchmark::DoNotOptimize(r);
  }
  BN_free(b);
  BN_free(e);
  BN_free(m);
  BN_free(r);
  BN_CTX_free(ctx);
}
BENCHMARK(BM_BN_mod_exp)->Arg(1024)->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond);
#endif

}  // namespace

BENCHMARK_MAIN();
