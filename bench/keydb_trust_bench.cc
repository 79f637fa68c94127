// Trust propagation over one user ID flooded with certifications:
//
//   FloodedTrust/N  the gpg web of tests/keydb/data (owner axiomatic, full a
//                   complete introducer certified by owner) with one user ID
//                   carrying N certifications by absent signers (dummy
//                   keys) and N by full, all marked checked; one run of
//                   qoxPropagateTrustInternal over the whole database.
//
// The counter "ns_per_signature" is what to compare across N: the run is
// linear when it holds steady from 10,000 to 100,000 (a search that looks
// for each signature's newer twin grows tenfold per tenfold N).
#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/file.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_set.h"
#include "keydb/obj_accessors.h"
#include "keydb/ring_reader.h"
#include "keydb/trust.h"
#include "keydb/trust_propagation.h"

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

Bytes ReadData(const char* name) {
  std::ifstream in(std::string(OSTRAK_SOURCE_DIR) + "/tests/keydb/data/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A version-4 certification (type 0x10) by the issuer at a time, with a
// one-byte signature MPI; it parses, nothing verifies it.
Bytes Certification(const uint8_t issuer[8], uint32_t creation) {
  Bytes body{4, 0x10, 1, 2, 0, 6, 5, 2, static_cast<uint8_t>(creation >> 24), static_cast<uint8_t>(creation >> 16),
             static_cast<uint8_t>(creation >> 8), static_cast<uint8_t>(creation), 0, 10, 9, 16};
  body.insert(body.end(), issuer, issuer + 8);
  body.insert(body.end(), {0x12, 0x34, 0x00, 0x08, 0xA5});
  Bytes p{0xC2, static_cast<uint8_t>(body.size())};
  p.insert(p.end(), body.begin(), body.end());
  return p;
}

QOXKeyDBObj* KeyNamed(QOXKeyDB* db, const std::string& name) {
  for (QOXKeyDBObj* k = db->firstKey; k != nullptr; k = k->next) {
    for (QOXKeyDBObj* c = k->child; c != nullptr; c = c->next) {
      size_t n = 0;
      const uint8_t* text = qoxUserIDToUserIDInfo(c) != nullptr ? qoxUserIDName(c, &n) : nullptr;
      if (text != nullptr && std::string(reinterpret_cast<const char*>(text), n).find(name) != std::string::npos)
        return k;
    }
  }
  return nullptr;
}

void Read(QOXKeyDB* db, const Bytes& bytes) {
  QOXFile* file = qoxFileMemOpen(Context(), bytes.data(), bytes.size());
  qoxReadKeyFile(db, file, false);
  file->close(file);
}

void BM_FloodedTrust(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  QOXKeyDB* db = nullptr;
  QOXNewKeyDB(Context(), &db);
  Read(db, ReadData("web.bin"));
  Read(db, ReadData("web.owner.sec.bin"));
  QOXKeyDBObj* owner = KeyNamed(db, "Web Owner");
  QOXKeyDBObj* full = KeyNamed(db, "Web Full");
  QOXKeyDBObj* target = KeyNamed(db, "Web One");
  if (owner == nullptr || full == nullptr || target == nullptr) {
    state.SkipWithError("tests/keydb/data/web*.bin not found");
    QOXFreeKeyDB(db);
    return;
  }
  qoxKeySetAxiomatic(owner);
  for (QOXKeyDBObj* c = full->child; c != nullptr; c = c->next) {
    if (qoxUserIDToUserIDInfo(c) != nullptr) qoxUserIDSetConfidence(c, qoxTrustToIntern(120));
  }
  QOXKeyDBObj* uid = target->child;
  while (qoxUserIDToUserIDInfo(uid) == nullptr) uid = uid->next;
  Bytes stream;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t h = static_cast<uint32_t>(i) * 2654435761u;
    const uint8_t absent[8] = {0xF0, 0, 0, static_cast<uint8_t>(i), static_cast<uint8_t>(h >> 24),
                               static_cast<uint8_t>(h >> 16), static_cast<uint8_t>(h >> 8), static_cast<uint8_t>(h)};
    for (const Bytes& p : {Certification(absent, 1700000000 + i), Certification(qoxKeyToKeyInfo(full)->keyID,
                                                                               1700000000 + i)}) {
      QOXError err = 0;
      QOXKeyDBObj* sig = qoxAddSig(2, p.data(), p.size(), db, uid, &err);
      if (sig != nullptr) qoxSigToSigInfo(sig)->trustByte |= kQOXSigTrust_Checked | kQOXSigTrust_Tried;
    }
  }
  for (QOXKeyDBObj* k = db->firstKey; k != nullptr; k = k->next) {
    for (QOXKeyDBObj* c = k->child; c != nullptr; c = c->next) {
      for (QOXKeyDBObj* g = c->child; g != nullptr; g = g->next) {
        if (SigInfo* s = qoxSigToSigInfo(g)) s->trustByte |= kQOXSigTrust_Checked | kQOXSigTrust_Tried;
      }
    }
  }
  for (auto _ : state) qoxPropagateTrustInternal(QOXPeekKeyDBRootKeySet(db), nullptr, 1800000000, nullptr);
  state.counters["ns_per_signature"] = benchmark::Counter(static_cast<double>(state.iterations() * 2 * n) * 1e-9,
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  QOXFreeKeyDB(db);
}

}  // namespace

BENCHMARK(BM_FloodedTrust)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
