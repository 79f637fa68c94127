// The directory backend under load: bulk adds of key-like entries (a key
// entry and one user-ID entry per key) through the backend's add, then
// equality (qoxkeyid) and substring (qoxuserid) searches through its search
// entry point from several client threads, each answering into its own
// socket pair. The database lives in /dev/shm when it exists, so the next-ID
// file's sync per add does not measure the disk.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "backend/ldbm.h"
#include "backend/ldbm_ops.h"
#include "backend/ldbm_storage.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "server/connection.h"
#include "server/support/zovurez.h"

namespace {

std::once_flag gStartOnce;

void Start() {
  std::call_once(gStartOnce, [] {
    QOXsdkInit(kQOXsdkInitNoBackEnd);
    vuzizInitGlobals(&g);
    g->DefaultAccess = 128;
    g->SizeLimit = 0;
    g->TimeLimit = 0;
  });
}

std::string CertID(long i) {
  char text[17];
  snprintf(text, sizeof text, "%016lX", 0x1000000000000000L + i);
  return text;
}

// One loaded directory per size; built by the load benchmark, searched by
// the others.
struct Directory {
  std::string path;
  Backend be{};
  long keys = 0;
};
std::map<long, std::unique_ptr<Directory>> gDirectories;  // written by the load run only

Directory* Load(long entries) {
  auto d = std::make_unique<Directory>();
  const char* base = std::filesystem::exists("/dev/shm") ? "/dev/shm/ldbm-bench-XXXXXX" : "/tmp/ldbm-bench-XXXXXX";
  std::string pattern = base;
  d->path = mkdtemp(pattern.data());
  d->be.type = "ldbm";
  d->be.ops.close = ldbm_back_close;
  ldbm_back_init(&d->be);
  LdbmState(&d->be)->directory = zovurezStrdup(d->path.c_str());
  LdbmState(&d->be)->entryCache.maxSize = 1000;
  CreateDatabases(&d->be);
  Connection conn{};
  conn.clientAddress = const_cast<char*>("127.0.0.1");
  Operation op{};
  QOXMutexCreate(&op.abandonMutex, nullptr);
  op.boundDN = const_cast<char*>("");
  auto add = [&](const std::string& text) {
    std::string copy = text;
    Entry* e = str2entry(copy.data());
    uint8_t logged = 1;
    int result = 0;
    char* matched = nullptr;
    ldbm_back_add(&d->be, &conn, &op, e, 0, 0, &logged, &result, &matched);
    zovurezFree(matched);
  };
  d->keys = entries / 2;
  for (long i = 0; i < d->keys; ++i) {
    std::string cert = CertID(i);
    std::string keyDN = "QOXCERTID=" + cert + ",OU=ACTIVE,O=QOX KEYSPACE,C=US";
    add("dn: " + keyDN + "\nobjectclass: qoxcertificate\nqoxcertid: " + cert + "\nqoxkey: KEYBLOCK " + cert + "\n");
    std::string uid = "User Number " + std::to_string(i) + " example" + std::to_string(i % 97);
    add("dn: QOXUSERID=" + uid + "," + keyDN + "\nobjectclass: qoxuserid\nqoxuserid: " + uid +
        "\nqoxkeyid: " + cert.substr(8) + "\nqoxcertid: " + cert + "\n");
  }
  QOXMutexDestroy(&op.abandonMutex);
  Directory* raw = d.get();
  gDirectories[entries] = std::move(d);
  return raw;
}

void BM_BulkLoad(benchmark::State& state) {
  Start();
  for (auto _ : state) {
    Directory* d = Load(state.range(0));
    benchmark::DoNotOptimize(d);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// A client of its own: connection, operation, socket pair and context.
struct Client {
  QOXContext* context = nullptr;
  Connection conn{};
  Operation op{};
  int sv[2] = {-1, -1};
  Client() {
    QOXNewContext(kQOXAPIVersion, &context);
    socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
    conn.socket = sv[0];
    conn.context = context;
    conn.connNumber = 1;
    conn.clientAddress = const_cast<char*>("127.0.0.1");
    conn.boundDN = const_cast<char*>("");
    QOXMutexCreate(&conn.dnMutex, nullptr);
    QOXMutexCreate(&op.abandonMutex, nullptr);
    op.connNumber = 1;
    op.tag = 0x63;
    op.boundDN = const_cast<char*>("");
  }
  ~Client() {
    close(sv[0]);
    close(sv[1]);
    QOXMutexDestroy(&conn.dnMutex);
    QOXMutexDestroy(&op.abandonMutex);
    QOXFreeContext(context);
  }
  void Drain() {
    char buf[65536];
    while (recv(sv[1], buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
  }
};

void Search(benchmark::State& state, bool substring) {
  auto it = gDirectories.find(state.range(0));
  if (it == gDirectories.end()) {
    state.SkipWithError("load the directory first (BM_BulkLoad)");
    return;
  }
  Directory* d = it->second.get();
  Client client;
  uint64_t i = static_cast<uint64_t>(state.thread_index()) * 7919;
  for (auto _ : state) {
    long n = static_cast<long>(i++ % static_cast<uint64_t>(d->keys));
    std::string cert = CertID(n);
    std::string value = substring ? "NUMBER " + std::to_string(n) + " EXAMPLE" : cert.substr(8);
    Filter f{};
    if (substring) {
      f.choice = kFilterSubstrings;
      f.type = const_cast<char*>("qoxuserid");
      BerValue initial{4, const_cast<char*>("USER")};
      BerValue part{static_cast<uint32_t>(value.size()), value.data()};
      BerValue* any[] = {&part, nullptr};
      f.initial = &initial;
      f.any = any;
      client.op.startTime = static_cast<uint32_t>(time(nullptr));
      ldbm_back_search(&d->be, &client.conn, &client.op, "OU=ACTIVE,O=QOX KEYSPACE,C=US", 2, 0, 0, 0, &f, "",
                       nullptr, 0);
    } else {
      f.choice = kFilterEquality;
      f.ava.type = const_cast<char*>("qoxkeyid");
      f.ava.value = value.data();
      f.ava.length = static_cast<uint32_t>(value.size());
      client.op.startTime = static_cast<uint32_t>(time(nullptr));
      ldbm_back_search(&d->be, &client.conn, &client.op, "OU=ACTIVE,O=QOX KEYSPACE,C=US", 2, 0, 0, 0, &f, "",
                       nullptr, 0);
    }
    client.Drain();
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_EqualitySearch(benchmark::State& state) { Search(state, false); }
void BM_SubstringSearch(benchmark::State& state) { Search(state, true); }

BENCHMARK(BM_BulkLoad)->Arg(10000)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EqualitySearch)->Arg(10000)->Arg(100000)->ThreadRange(1, 8)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SubstringSearch)->Arg(10000)->Arg(100000)->ThreadRange(1, 8)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Removes the loaded directories when the program ends.
struct Cleanup {
  ~Cleanup() {
    for (auto& [n, d] : gDirectories) {
      ldbm_back_close(&d->be);
      ldbm_back_release(&d->be);
      std::filesystem::remove_all(d->path);
    }
  }
} gCleanup;

}  // namespace

BENCHMARK_MAIN();
