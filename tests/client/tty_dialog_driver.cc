// The terminal test program of the dialogs, run by tty_dialogs.py in a
// pseudo-terminal (or without a terminal). It runs one dialog on its own
// terminal and writes what the call returned to the result descriptor, one
// "name=value" line each, so the terminal carries only the dialog's output.
//
// Usage: tty_dialog_driver <result fd> [--frame] <mode> [arguments]
//   getstring <size> <echo 0|1>     qoxTtyGetString (echo to standard output)
//   getpass                         qoxTtyGetPass on standard output, 500 bytes
//   random <bits> <entropy> [prompt]
//                                   QOXCollectRandomDataDialog after setting
//                                   the pool's estimate to <entropy>
//   signing [noprompt] [nodefault] [noverify] [minlen=N] [publiconly]
//                                   QOXSigningPassphraseDialog over a fake
//                                   server key ring: two public policy keys,
//                                   a secret key first in validity order
//                                   ("other pass") and the server's key
//                                   ("server pass", the default key)
//   reentry <control fd>            a random-data collection on a thread;
//                                   once a byte arrives on the control
//                                   descriptor, a second one from the main
//                                   thread
// --frame runs the dialog on a second thread with SIGINT blocked there, as
// the daemon's threads are once its signal relay runs; the main thread takes
// SIGINT with a shutdown handler of its own (SA_RESTART) and counts it.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "client/dialog_options.h"
#include "client/dialogs.h"
#include "client/tty_dialogs.h"
#include "client/tty_input.h"
#include "crypto/random_pool.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk/option_constructors.h"
#include "server/main/wiring.h"
#include "tests/client/fake_keys.h"

namespace {

int gResultFd = -1;
QOXContext* gContext = nullptr;
std::atomic<int> gShutdowns{0};

void Report(const char* name, const std::string& value) { dprintf(gResultFd, "%s=%s\n", name, value.c_str()); }
void Report(const char* name, long value) { Report(name, std::to_string(value)); }

std::string Hex(const char* bytes, size_t length) {
  std::string hex;
  char two[3];
  for (size_t i = 0; i < length; ++i) {
    snprintf(two, sizeof two, "%02x", static_cast<unsigned char>(bytes[i]));
    hex += two;
  }
  return hex;
}

void OnShutdown(int) { gShutdowns.fetch_add(1); }

int GetString(size_t size, bool echo) {
  std::vector<char> buffer(size + 1, '\0');
  int rc = qoxTtyGetString(buffer.data(), size, echo ? stdout : nullptr);
  Report("rc", rc);
  if (rc >= 0) Report("text", Hex(buffer.data(), static_cast<size_t>(rc)));
  return 0;
}

int GetPass() {
  char buffer[kQOXPassphraseBufferSize] = {};
  int rc = qoxTtyGetPass(stdout, buffer, sizeof buffer);
  Report("rc", rc);
  if (rc >= 0) Report("text", Hex(buffer, std::strlen(buffer)));
  return 0;
}

int Random(uint32_t bits, uint32_t entropy, const char* prompt) {
  qoxGlobalRandomPoolSetEntropy(entropy);
  QOXError rc = prompt != nullptr
                    ? QOXCollectRandomDataDialog(gContext, bits, QOXOUIDialogPrompt(gContext, prompt),
                                                 QOXOLastOption(gContext))
                    : QOXCollectRandomDataDialog(gContext, bits, QOXOLastOption(gContext));
  Report("rc", rc);
  Report("entropy", QOXGlobalRandomPoolGetEntropy());
  return 0;
}

int Signing(const std::vector<std::string>& args) {
  auto has = [&](const char* word) {
    for (const std::string& a : args)
      if (a == word) return true;
    return false;
  };
  uint32_t minLength = 0;
  for (const std::string& a : args)
    if (a.rfind("minlen=", 0) == 0) minLength = static_cast<uint32_t>(std::stoul(a.substr(7)));
  using client_fakes::FakeKey;
  std::vector<FakeKey> keys(4);
  keys[0].userID = "Policy One <policy1@example.com>";
  keys[1].userID = "Other Secret <other@example.com>";
  keys[1].passphrase = "other pass";
  keys[2].userID = "Policy Two <policy2@example.com>";
  keys[2].algorithm = 17;
  keys[2].bits = 1024;
  keys[3].userID = "QOX Keyserver <keyserver@example.com>";
  keys[3].passphrase = "server pass";
  for (size_t i = 0; i < keys.size(); ++i) keys[i].validityRank = static_cast<int>(i);
  for (size_t i : {0, 2}) keys[i].secret = keys[i].canSign = false;
  if (has("publiconly")) keys[1].secret = keys[1].canSign = keys[3].secret = keys[3].canSign = false;
  client_fakes::FakeKeyRing ring(gContext, keys);

  char* passphrase = nullptr;
  QOXKeyDBObj* chosen = nullptr;
  QOXContext* c = gContext;
  QOXError rc = QOXSigningPassphraseDialog(
      c, ring.db(), &chosen, QOXOUIOutputPassphrase(c, &passphrase),
      has("nodefault") ? QOXONullOption(c) : QOXOUIDefaultKey(c, ring.key(3)), QOXOUIFindMatchingKey(c, true),
      has("noverify") ? QOXOUIVerifyPassphrase(c, false) : QOXONullOption(c),
      minLength != 0 ? QOXOUIMinimumPassphraseLength(c, minLength) : QOXONullOption(c),
      has("noprompt") ? QOXONullOption(c)
                      : QOXOUIDialogPrompt(c, "QOX Keyserver: Enter passphrase for secure server key"),
      QOXOLastOption(c));
  Report("rc", rc);
  long index = -1;
  for (size_t i = 0; i < keys.size(); ++i)
    if (chosen == ring.key(i)) index = static_cast<long>(i);
  Report("key", index);
  if (passphrase != nullptr) Report("text", Hex(passphrase, std::strlen(passphrase)));
  for (size_t i = 0; i < keys.size(); ++i)
    Report(("checks" + std::to_string(i)).c_str(), ring.fake(i).passphraseChecks);
  secFree(passphrase);
  Report("live", ring.live());
  return 0;
}

int Reentry(int controlFd) {
  qoxGlobalRandomPoolSetEntropy(0);
  std::atomic<QOXError> first{1};
  pthread_t thread;
  auto body = [](void* arg) -> void* {
    auto* out = static_cast<std::atomic<QOXError>*>(arg);
    out->store(QOXCollectRandomDataDialog(gContext, 1000, QOXOLastOption(gContext)));
    return nullptr;
  };
  if (pthread_create(&thread, nullptr, body, &first) != 0) return 2;
  char byte = 0;
  if (read(controlFd, &byte, 1) != 1) return 2;
  Report("second", QOXCollectRandomDataDialog(gContext, 1000, QOXOLastOption(gContext)));
  pthread_join(thread, nullptr);
  Report("first", first.load());
  return 0;
}

// Runs the dialog on a thread that blocks SIGINT, the main thread taking it
// with OnShutdown.
int InFrame(const std::function<int()>& dialog) {
  struct sigaction action {};
  action.sa_handler = OnShutdown;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigset_t interrupt;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &interrupt, &previous);  // the new thread inherits it
  struct Job {
    const std::function<int()>* dialog;
    int rc;
  } job{&dialog, 0};
  pthread_t thread;
  auto body = [](void* arg) -> void* {
    auto* j = static_cast<Job*>(arg);
    j->rc = (*j->dialog)();
    return nullptr;
  };
  if (pthread_create(&thread, nullptr, body, &job) != 0) return 2;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  pthread_join(thread, nullptr);
  Report("shutdowns", gShutdowns.load());
  return job.rc;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s <result fd> [--frame] <mode> [arguments]\n", argv[0]);
    return 2;
  }
  gResultFd = atoi(argv[1]);
  int next = 2;
  bool frame = std::strcmp(argv[next], "--frame") == 0;
  if (frame) ++next;
  if (next >= argc) return 2;
  std::string mode = argv[next++];
  std::vector<std::string> args(argv + next, argv + argc);

  ostrakWire();
  if (QOXsdkInit(kQOXsdkInitNoBackEnd) != kQOXErrNoErr) return 2;
  if (QOXNewContext(kQOXAPIVersion, &gContext) != kQOXErrNoErr) return 2;

  std::function<int()> dialog;
  if (mode == "getstring" && args.size() == 2) {
    dialog = [&] { return GetString(std::stoul(args[0]), args[1] == "1"); };
  } else if (mode == "getpass") {
    dialog = [] { return GetPass(); };
  } else if (mode == "random" && args.size() >= 2) {
    dialog = [&] {
      return Random(static_cast<uint32_t>(std::stoul(args[0])), static_cast<uint32_t>(std::stoul(args[1])),
                    args.size() > 2 ? args[2].c_str() : nullptr);
    };
  } else if (mode == "signing") {
    dialog = [&] { return Signing(args); };
  } else if (mode == "reentry" && args.size() == 1) {
    dialog = [&] { return Reentry(std::stoi(args[0])); };
  } else {
    fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
  }
  int status = frame ? InFrame(dialog) : dialog();
  QOXFreeContext(gContext);
  QOXsdkCleanup();
  return status;
}
