// Test loader: stores entries into a database directory made by "ostrakd -n"
// through the backend's own add, as the daemon would store them.
//
// Usage: ldbm_test_loader <database directory> [word] < entries
// With "word", a directory that records no index method yet is marked for
// the word method (as the daemon's first start with "IndexMethod word"
// would), and its entries are indexed by words.
// Entries are given in the entry text form ("dn: ...", one "type: value" per
// line), separated by empty lines. Prints one line per entry: the add's
// result code. Exits 0 when every entry was stored.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "backend/ldbm.h"
#include "backend/ldbm_ops.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "server/connection.h"
#include "server/main/wiring.h"
#include "server/support/zovurez.h"

namespace {

Backend* Open(const char* directory) {
  static Backend be{};
  be = Backend{};
  be.type = "ldbm";
  be.ops.close = ldbm_back_close;
  if (ldbm_back_init(&be) != 0) return nullptr;
  LdbmState(&be)->directory = zovurezStrdup(directory);
  return &be;
}

void Close(Backend* be) {
  ldbm_back_close(be);
  ldbm_back_release(be);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    fprintf(stderr, "usage: %s <database directory> [word] < entries\n", argv[0]);
    return 2;
  }
  ostrakWire();
  if (QOXsdkInit(kQOXsdkInitNoBackEnd) != 0 || vuzizInitGlobals(&g) != 0) return 2;
  g->DefaultAccess = 128;
  Backend* be = Open(argv[1]);
  int method = 1;
  if (be != nullptr && argc == 3 && strcmp(argv[2], "word") == 0) WriteIndexMethodToDB(be, 2);
  if (be == nullptr || ReadIndexMethodFromDB(be, &method) != 0) return 2;
  if (method == 2) {
    // The qoxuserid index follows the method stored in the directory.
    Close(be);
    g->substringIndex = 0;
    be = Open(argv[1]);
    if (be == nullptr) return 2;
  }
  Connection conn{};
  conn.clientAddress = const_cast<char*>("127.0.0.1");
  Operation op{};
  QOXMutexCreate(&op.abandonMutex, nullptr);
  op.boundDN = const_cast<char*>("");

  int failures = 0;
  std::string text, line;
  auto flush = [&] {
    if (text.find_first_not_of("\n") == std::string::npos) {
      text.clear();
      return;
    }
    Entry* e = str2entry(text.data());
    text.clear();
    int result = -1;
    if (e != nullptr) {
      uint8_t logged = 1;
      char* matched = nullptr;
      ldbm_back_add(be, &conn, &op, e, 0, 0, &logged, &result, &matched);
      zovurezFree(matched);
    }
    printf("%d\n", result);
    if (result != 0) ++failures;
  };
  while (std::getline(std::cin, line)) {
    if (line.empty()) {
      flush();
    } else {
      text += line + "\n";
    }
  }
  flush();
  Close(be);
  QOXMutexDestroy(&op.abandonMutex);
  vuzizReleaseGlobals(&g, 0);
  QOXsdkCleanup();
  return failures == 0 ? 0 : 1;
}
