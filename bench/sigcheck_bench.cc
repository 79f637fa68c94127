// Signature checking speed, per signature, beside two peers on the same
// kind of work:
//
//   CheckKeyRingSigs     QOXCheckKeyRingSigs with the check-all flag over
//                        gpg-made RSA-2048 keys (SHA-1 self-certifications)
//   OpenSSLVerify        libcrypto's RSA-2048 PKCS #1 v1.5 verification of a
//                        SHA-1 digest (one signature per iteration)
//   GpgCheckSigs         gpg --no-sig-cache --check-sigs over the same keys,
//                        gpg's processor time (start-up included, spread
//                        over the signatures)
//   FloodedKeyCheck/N    one key's user ID carrying N certifications by a
//                        key that is present, each rejected by its check
//                        bytes: linear when the per-signature time holds
//                        steady as N grows
//
// The keys come from bench/make_sigcheck_keys.sh, run first (never by CI):
//   bench/make_sigcheck_keys.sh build/release/bench-data/sigcheck 2000
// (or name the directory in OSTRAK_SIGCHECK_DIR). Compare the counter
// "sec_per_sig" of CheckKeyRingSigs with OpenSSLVerify's: both are
// processor time, so a loaded machine does not skew the ratio.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/sig_check.h"

#if OSTRAK_HAVE_OPENSSL
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;

QOXContext* Context() {
  static QOXContext* context = [] {
    QOXsdkInit(kQOXsdkInitNoBackEnd);
    QOXContext* c = nullptr;
    QOXNewContext(kQOXAPIVersion, &c);
    return c;
  }();
  return context;
}

std::string KeyDir() {
  if (const char* d = std::getenv("OSTRAK_SIGCHECK_DIR")) return d;
  return std::string(OSTRAK_BENCH_DATA) + "/sigcheck";
}

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

size_t CountSigs(QOXKeyDB* db) {
  size_t n = 0;
  for (QOXKeyDBObj* k = db->firstKey; k != nullptr; k = k->next) {
    for (QOXKeyDBObj* c = k->child; c != nullptr; c = c->next) {
      if (qoxObjectType(c) == kQOXKeyDBObjType_Sig) ++n;
      for (QOXKeyDBObj* g = c->child; g != nullptr; g = g->next)
        if (qoxObjectType(g) == kQOXKeyDBObjType_Sig) ++n;
    }
  }
  return n;
}

void PerSig(benchmark::State& state, size_t sigs) {
  state.counters["sigs"] = static_cast<double>(sigs);
  state.counters["sec_per_sig"] = benchmark::Counter(static_cast<double>(sigs) * static_cast<double>(state.iterations()),
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Every signature good, or the run is reported as failed.
bool AllGood(QOXKeyDB* db) {
  for (QOXKeyDBObj* k = db->firstKey; k != nullptr; k = k->next)
    for (QOXKeyDBObj* c = k->child; c != nullptr; c = c->next)
      for (QOXKeyDBObj* g = c->child; g != nullptr; g = g->next)
        if (qoxObjectType(g) == kQOXKeyDBObjType_Sig && (qoxSigToSigInfo(g)->trustByte & kQOXSigTrust_Checked) == 0)
          return false;
  return true;
}

void CheckKeyRingSigs(benchmark::State& state) {
  const Bytes keys = ReadAll(KeyDir() + "/keys.bin");
  if (keys.empty()) {
    state.SkipWithError("no keys: run bench/make_sigcheck_keys.sh first");
    return;
  }
  QOXError err = 0;
  QOXKeyDB* db = qoxCreateKeyDBFromMemory(Context(), keys.data(), keys.size(), &err);
  if (db == nullptr) {
    state.SkipWithError("the keys do not read");
    return;
  }
  const size_t sigs = CountSigs(db);
  for (auto _ : state) {
    // The trust step after the checks answers for itself; only a check
    // error counts here.
    err = qoxCheckKeyRingSigs_internal(qoxKeyDBPeekRootSet(db), nullptr, true, nullptr, nullptr, nullptr);
    if (err != kQOXErrNoErr) state.SkipWithError(("the check failed: " + std::to_string(err)).c_str());
  }
  if (!AllGood(db)) state.SkipWithError("a signature checked bad");
  PerSig(state, sigs);
  QOXFreeKeyDB(db);
}
BENCHMARK(CheckKeyRingSigs)->Unit(benchmark::kMillisecond)->MinTime(2.0);

#if OSTRAK_HAVE_OPENSSL
void OpenSSLVerify(benchmark::State& state) {
  EVP_PKEY* key = EVP_RSA_gen(2048);
  uint8_t digest[SHA_DIGEST_LENGTH];
  const char message[] = "a message";
  SHA1(reinterpret_cast<const uint8_t*>(message), sizeof message, digest);
  EVP_PKEY_CTX* sign = EVP_PKEY_CTX_new(key, nullptr);
  EVP_PKEY_sign_init(sign);
  EVP_PKEY_CTX_set_rsa_padding(sign, RSA_PKCS1_PADDING);
  EVP_PKEY_CTX_set_signature_md(sign, EVP_sha1());
  uint8_t signature[256];
  size_t length = sizeof signature;
  EVP_PKEY_sign(sign, signature, &length, digest, sizeof digest);
  EVP_PKEY_CTX_free(sign);
  for (auto _ : state) {
    EVP_PKEY_CTX* verify = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_verify_init(verify);
    EVP_PKEY_CTX_set_rsa_padding(verify, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(verify, EVP_sha1());
    if (EVP_PKEY_verify(verify, signature, length, digest, sizeof digest) != 1) state.SkipWithError("bad");
    EVP_PKEY_CTX_free(verify);
  }
  PerSig(state, 1);
  EVP_PKEY_free(key);
}
BENCHMARK(OpenSSLVerify)->Unit(benchmark::kMicrosecond);
#endif

void GpgCheckSigs(benchmark::State& state) {
  const std::string home = KeyDir() + "/home";
  QOXError err = 0;
  const Bytes keys = ReadAll(KeyDir() + "/keys.bin");
  QOXKeyDB* db = keys.empty() ? nullptr : qoxCreateKeyDBFromMemory(Context(), keys.data(), keys.size(), &err);
  if (db == nullptr) {
    state.SkipWithError("no keys: run bench/make_sigcheck_keys.sh first");
    return;
  }
  const size_t sigs = CountSigs(db);
  QOXFreeKeyDB(db);
  const std::string command = "gpg --homedir '" + home +
                              "' --batch --no-sig-cache --allow-weak-key-signatures --check-sigs >/dev/null 2>&1";
  // The time is gpg's own processor time (user and system), comparable
  // with the processor time of the benchmarks in this process.
  auto childSeconds = [] {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  };
  for (auto _ : state) {
    const double start = childSeconds();
    if (std::system(command.c_str()) != 0) state.SkipWithError("gpg failed");
    state.SetIterationTime(childSeconds() - start);
  }
  PerSig(state, sigs);
}
BENCHMARK(GpgCheckSigs)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// A packet with a new-form header.
Bytes Packet(uint8_t tag, const Bytes& body) {
  Bytes p{static_cast<uint8_t>(0xC0 | tag)};
  const size_t n = body.size();
  if (n < 192) {
    p.push_back(static_cast<uint8_t>(n));
  } else {
    p.push_back(static_cast<uint8_t>(((n - 192) >> 8) + 192));
    p.push_back(static_cast<uint8_t>((n - 192) & 0xFF));
  }
  p.insert(p.end(), body.begin(), body.end());
  return p;
}

void FloodedKeyCheck(benchmark::State& state) {
  // Alice of the test fixtures: key and user ID, then N certifications by
  // alice whose check bytes are wrong.
  const Bytes alice = ReadAll(std::string(OSTRAK_SOURCE_DIR) + "/tests/keydb/data/alice.bin");
  if (alice.size() < 300) {
    state.SkipWithError("tests/keydb/data/alice.bin missing");
    return;
  }
  const size_t keyLength = 3 + ((size_t{alice[1]} << 8) | alice[2]);  // old-form, two length bytes
  const size_t uidLength = 2 + alice[keyLength + 1];
  Bytes stream(alice.begin(), alice.begin() + static_cast<long>(keyLength + uidLength));
  // Alice's key ID, the issuer of every certification.
  static const uint8_t kAliceID[8] = {0x7F, 0x5B, 0x1A, 0x77, 0x95, 0xC7, 0x77, 0xD2};
  const size_t n = static_cast<size_t>(state.range(0));
  for (size_t i = 0; i < n; ++i) {
    const uint32_t t = 1800000000u + static_cast<uint32_t>(i);
    Bytes body{4, 0x10, 1, 2, 0, 6, 5, 2, static_cast<uint8_t>(t >> 24), static_cast<uint8_t>(t >> 16),
               static_cast<uint8_t>(t >> 8), static_cast<uint8_t>(t), 0, 10, 9, 16};
    body.insert(body.end(), kAliceID, kAliceID + 8);
    body.insert(body.end(), {0x00, 0x00, 0x07, 0xFF, 0x7F});  // check bytes 00 00, a 2047-bit "MPI" start
    body.resize(body.size() + 255, 0x5A);
    const Bytes p = Packet(2, body);
    stream.insert(stream.end(), p.begin(), p.end());
  }
  QOXError err = 0;
  QOXKeyDB* db = qoxCreateKeyDBFromMemory(Context(), stream.data(), stream.size(), &err);
  if (db == nullptr) {
    state.SkipWithError("the flooded key does not read");
    return;
  }
  const size_t sigs = CountSigs(db);
  for (auto _ : state) {
    err = qoxCheckKeyRingSigs_internal(qoxKeyDBPeekRootSet(db), nullptr, true, nullptr, nullptr, nullptr);
    if (err != kQOXErrNoErr) state.SkipWithError(("the check failed: " + std::to_string(err)).c_str());
  }
  PerSig(state, sigs);
  state.SetComplexityN(static_cast<int64_t>(sigs));
  QOXFreeKeyDB(db);
}
BENCHMARK(FloodedKeyCheck)->RangeMultiplier(4)->Range(1000, 256000)->Unit(benchmark::kMillisecond)->Complexity();

}  // namespace

BENCHMARK_MAIN();
