// The process frame: the restart loop, one server lifetime, detaching.
#include <fcntl.h>
#include <getopt.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "server/key_submission_services.h"
#include "net/sockets.h"
#include "server/backend.h"
#include "server/config.h"
#include "server/daemon.h"
#include "server/error_log.h"
#include "server/listener.h"
#include "server/log_rotation.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"

std::atomic<int32_t> vuziz_shutdown{0};
std::atomic<int32_t> g_bHUPReceived{0};
std::atomic<int16_t> g_iServerExitCode{0};
uint16_t g_iSDKInitStatus = 0;
char* g_pszCurrentDirectory = nullptr;
time_t g_timeStart = 0;
time_t g_startTime = 0;
bool vbDetached = false;
int32_t gHUPSecureMode = -1;

namespace {

// Restart statics of the secure-mode step (initial thread only).
QOXKeyID gHUPKeyIDPrivate;
char* gHUPPassphrase = nullptr;

constexpr char kDefaultConfig[] = "../etc/ostrakd.conf";
constexpr char kDefaultSecRing[] = "../etc/qoxkeyserver-secring.skr";
constexpr char kDefaultPubRing[] = "../etc/qoxkeyserver-pubring.pkr";

// What the command line asked for in this pass.
struct Options {
  const char* configFile = nullptr;
  int portOverride = kNoPortOverride;
  int securePortOverride = kNoPortOverride;
  bool create = false;
  bool check = false;
  bool noPrompt = false;
};

const char* BaseName(const char* argv0) {
  if (argv0 == nullptr || *argv0 == '\0') return "ostrakd";
  const char* slash = strrchr(argv0, '/');
  const char* base = slash != nullptr ? slash + 1 : argv0;
  return *base != '\0' ? base : "ostrakd";
}

void Usage(const char* program) {
  fprintf(stderr,
          "Usage: %s [-acnsg] [-f ConfigFile] [-p Port] [-t SecurePort] [-d DebugLevel] [-b CommandPort] "
          "[-k CommandTimeout]",
          program);
  fflush(stderr);
}

// 0 go on; 1 end the pass with status 1 (messages already written).
int ReadCommandLine(int argc, char** argv, const char* program, Options* o) {
  optind = 0;  // glibc: a full re-initialisation on every pass
  opterr = 0;
  int expected = 1;
  int c;
  while ((c = getopt(argc, argv, "+d:f:p:t:nachsgV")) != -1) {
    switch (c) {
      case 'd': {
        expected += 2;
        if (optarg[0] == '?') return 1;
        long level = strtol(optarg, nullptr, 10);
        g->debugLevel = level == 0 ? kTraceForeground : static_cast<uint32_t>(level);
        DebugSetLevel(g->debugLevel);
        break;
      }
      case 'f':
        expected += 2;
        o->configFile = optarg;
        break;
      case 'p':
      case 't': {
        expected += 2;
        int port;
        if (!vuzizParsePort(optarg, &port)) {
          fprintf(stderr, "A port number of (%s) is not valid.", optarg);
          fflush(stderr);
          return 1;
        }
        (c == 'p' ? o->portOverride : o->securePortOverride) = port;
        break;
      }
      case 'n':
        ++expected;
        o->create = true;
        break;
      case 'a':
        ++expected;
        g->verifySignatures = 0;
        break;
      case 'c':
        ++expected;
        o->check = true;
        break;
      case 's':
        ++expected;
        o->noPrompt = true;
        break;
      case 'g':
        ++expected;
        break;
      case 'V':
        fprintf(stderr, "%s\n", kServerVersionText);
        fflush(stderr);
        return 1;
      default:
        Usage(program);
        return 1;
    }
  }
  if (argc != expected) {
    Usage(program);
    return 1;
  }
  return 0;
}

// Effective group, then user, of the configured account for database work.
bool BecomeServerUser() {
  if (setegid(g->groupID) != 0) {
    LogError(kLogError, "Could not setegid to group (%i)\n", static_cast<int>(g->groupID));
    return false;
  }
  if (seteuid(g->userID) != 0) {
    LogError(kLogError, "Could not seteuid to user (%s:%i)\n", g->User != nullptr ? g->User : "(real user)",
             static_cast<int>(g->userID));
    return false;
  }
  return true;
}

bool BecomeOriginalUser() {
  if (seteuid(getuid()) != 0) {
    LogError(kLogError, "Could not seteuid to original user.\n");
    return false;
  }
  if (setegid(getgid()) != 0) {
    LogError(kLogError, "Could not setegid to original group.\n");
    return false;
  }
  return true;
}

// Creates the databases under the server's user and group: the number of
// files created, or -1 after logging the failure.
int CreateDatabasesAsServer(Backend* be) {
  if (!BecomeServerUser()) return -1;
  int created = be_CreateDatabases(be);
  if (!BecomeOriginalUser()) return -1;
  if (created < 0) {
    LogError(kLogError, "Creating the databases failed.");
    return -1;
  }
  return created;
}

// The check option's look at the log files: the directory of the access
// log (which also holds the event log) and of the replication log must
// exist, else the server would fail at start. True when they do (or the
// log is not configured).
bool LogDirectoriesExist() {
  const char* const logs[] = {g->AccessLogFile, g->RepLogFile};
  for (const char* path : logs) {
    if (path == nullptr) continue;
    const char* slash = strrchr(path, '/');
    std::string directory = slash == nullptr ? std::string(".") : slash == path ? std::string("/")
                                                                                : std::string(path, slash - path);
    struct stat st {};
    if (stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      LogError(kLogError, "%s: The directory (%s) of the log file (%s) does not exist.\n", g->configFile,
               directory.c_str(), path);
      return false;
    }
  }
  return true;
}

const char* MethodName(int method) { return method == 1 ? "substring" : method == 2 ? "word" : nullptr; }

// Steps after the third configuration pass; 0 or 1. `dbLock` is the pass's
// database lock, released by the caller on every way out.
int RunServer(const Options& o, FILE** dbLock) {
  Backend* be = select_backend();
  QOXTimezoneGetOffset(&g->tzOffset);
  if (o.check && be != nullptr) be->readOnly = 1;

  if (vuzizKeySubmissionServices().InitRepLog(be) != 0) {
    LogError(kLogError, "Initializing the replication system failed.");
    return 1;
  }
  if (CreateCycleLogContext(&g->cycleLogContext) != 0) {
    LogError(kLogError, "Initializing the log rotation system failed.");
    return 1;
  }
  if (setuid(geteuid()) != 0) {
    LogError(kLogError, "Could not setuid to the effective user ID.\n");
    return 1;
  }
  if (g->User != nullptr) {
    struct passwd pw {};
    struct passwd* found = nullptr;
    char buf[4096];
    if (getpwnam_r(g->User, &pw, buf, sizeof buf, &found) != 0 || found == nullptr) {
      LogError(kLogError, "Could not get uid for user (%s).", g->User);
      return 1;
    }
    g->userID = found->pw_uid;
    g->groupID = found->pw_gid;
  } else {
    g->userID = getuid();
    g->groupID = getgid();
  }

  if (o.create) {
    int created = CreateDatabasesAsServer(be);
    if (created < 0) return 1;
    if (created == 0) LogError(kLogInfo, "The entire database already exists.");
    vuziz_shutdown = 1;
    return 0;
  }
  if (!o.check) {
    if (!BecomeServerUser()) return 1;
    int locked = be_LockDBs(be, dbLock);
    if (!BecomeOriginalUser()) return 1;
    if (locked != 0) {
      LogError(kLogError, "The database is already locked.");
      return 1;
    }
  }
  if (!BecomeServerUser()) return 1;
  QOXError policy = vuzizKeySubmissionServices().InitPolicy(g->context, be);
  if (!BecomeOriginalUser()) return 1;
  if (policy != kQOXErrNoErr) {
    char text[256];
    if (policy == -1)
      snprintf(text, sizeof text, "See earlier messages");
    else
      QOXGetErrorString(policy, sizeof text, text);
    LogError(kLogError, "Initializing the server's policies failed with error: %s.", text);
    return 1;
  }
  if (o.check && !LogDirectoriesExist()) return 1;
  if (o.check) {
    int level = ErrorLogLevel();
    LogErrorSetType(0);
    UpdateErrorLogValues(kLogInfo, -1, -1);
    LogError(kLogInfo, "No errors processing configuration file.");
    UpdateErrorLogValues(level, -1, -1);
    LogErrorSetType(1);
    vuziz_shutdown = 1;
    return 0;
  }

  if (g->SecureMode != kSecureDisabled) {
    if (vuzizKeySubmissionServices().SetRandSeedFile(g->context, g_pszCurrentDirectory, g->RandSeedFile) !=
        kQOXErrNoErr) {
      LogError(kLogError, "Could not set randseed file.");
      return 1;
    }
    if (gHUPSecureMode != -1) {
      // A restart reuses the key and passphrase of the first pass.
      g->SecureMode = gHUPSecureMode;
      if (g->SecureMode != kSecureDisabled) {
        g->tlsKeyID = static_cast<QOXKeyID*>(zovurezMalloc(sizeof(QOXKeyID)));
        if (g->tlsKeyID == nullptr) return 1;
        memcpy(g->tlsKeyID, &gHUPKeyIDPrivate, sizeof(QOXKeyID));
        g->tlsPassphrase = gHUPPassphrase;
      }
    } else {
      QOXKeyID wanted = g->ServerSecureKeyID;
      QOXError err = vuzizKeySubmissionServices().GetPrivateKey(
          g->context, &wanted, g->tlsKeyDB, o.noPrompt ? 1 : 0, &g->SecureMode, 0, 0,
          "QOX Keyserver: Enter passphrase for secure server key", &g->tlsKeyID, &g->tlsPassphrase);
      if (err != kQOXErrNoErr && err != kQOXErrUserAbort && err != kQOXErrNoSecretKeyFound) {
        LogError(kLogError, "Could not retrieve LDAPS signing key");
        return 1;
      }
    }
  }
  if (vuzizKeySubmissionServices().GatherEntropy(g->context, &g->SecureMode) != 0) return 1;
  gHUPSecureMode = g->SecureMode;
  if (g->SecureMode != kSecureDisabled) {
    if (g->tlsKeyID != nullptr) memcpy(&gHUPKeyIDPrivate, g->tlsKeyID, sizeof(QOXKeyID));
    gHUPPassphrase = g->tlsPassphrase;
  }
  if (g->debugLevel == 0 || g->debugLevel == 1) UpdateErrorLogValues(-1, -1, 0);

  if (*dbLock != nullptr) {
    be_UnlockDBs(*dbLock);
    *dbLock = nullptr;
  }
  if (!vbDetached) {
    detach();
    vbDetached = true;
  }

  uint16_t found = 0;
  if (be_CheckRequiredDBs(be, &found) == 1) {
    if (found != 0) {
      LogError(kLogError, "Incomplete databases.  Missing some required databases.");
      return 1;
    }
    if (CreateDatabasesAsServer(be) < 0) return 1;
    if (be_WriteIndexMethodToDB(be, g->IndexMethod) != 0) {
      LogError(kLogError, "Could not write the index method to the database.");
      return 1;
    }
  }
  int method = 0;
  if (be_ReadIndexMethodFromDB(be, &method) != 0) {
    LogError(kLogError, "Could not read the index method from the database.");
    return 1;
  }
  if (method != g->IndexMethod) {
    const char* dbName = MethodName(method);
    const char* configName = MethodName(g->IndexMethod);
    if (dbName == nullptr) {
      LogError(kLogError, "Unknown db index method.");
      return 1;
    }
    if (configName == nullptr) {
      LogError(kLogError, "Unknown config index method.");
      return 1;
    }
    LogError(kLogWarning,
             "%s indexing is selected in the config file, but the databases are indexed with the %s method, "
             "overriding.",
             configName, dbName);
    g->IndexMethod = method;
  }
  if (g->IndexMethod == 2) {
    g->substringIndex = 0;
  } else {
    g->IndexMethod = 1;
    g->substringIndex = 1;
  }

  be_close();
  new_backend("ldbm", &g->backends, &g->backendCount, &g->backendCapacity);
  // The same file passed this pass a moment ago; a failure now has been
  // logged by the pass and the backend keeps what it read.
  (void)ReadConfigLast(g->configFile, select_backend());

  vuzizStartSignalRelay();
  vuzizHandoverArm(g);
  QOXThreadAttrCreate(&g->threadAttr);
  if (QOXThreadCreate(&g->listenerThread, &g->threadAttr, vuzizDaemon,
                      reinterpret_cast<void*>(static_cast<intptr_t>(g->Port))) != 0) {
    LogError(kLogError, "Creating daemon thread failed.");
    QOXThreadAttrDestroy(&g->threadAttr);
    return 1;
  }
  g->listenerRunning = true;
  vuzizHandoverWait(g);
  // The console's FIFO is made only by a server that took its port.
  if (g->listenerReady) {
    if (QOXThreadCreate(&g->controlThread, &g->threadAttr, threadServerControl, g->controlFifoName) != 0) {
      LogError(kLogError, "Creating daemon thread failed.");
    } else {
      g->controlRunning = true;
    }
  }
  QOXThreadAttrDestroy(&g->threadAttr);
  QOXThreadJoin(g->listenerThread, nullptr);
  g->listenerRunning = false;
  if (g->controlRunning) QOXThreadJoin(g->controlThread, nullptr);
  g->controlRunning = false;
  if (g_iServerExitCode != 0) {
    LogError(kLogError, "Server encountered error!");
    return 1;
  }
  return 0;
}

}  // namespace

int InnerMain(int argc, char** argv) {
  vuzizTrace(kTraceEntryExit, "=> InnerMain\n");
  if (vuzizInitGlobals(&g) != 0) {
    g_iServerExitCode = 1;
    return 1;
  }
  g_startTime = time(nullptr);
  if (g_pszCurrentDirectory == nullptr && GetCurrentDir(&g_pszCurrentDirectory) != 0) {
    vuzizReleaseGlobals(&g, 0);
    g_iServerExitCode = 1;
    return 1;
  }
  vuziz_shutdown = 0;
  char* program = zovurezStrdup(BaseName(argc > 0 ? argv[0] : nullptr));

  Options o;
  bool eventLogOpen = false;
  FILE* dbLock = nullptr;
  int rc = 1;
  do {
    if (program == nullptr) break;
    if (ReadCommandLine(argc, argv, program, &o) != 0) break;
    AdjustPath(g_pszCurrentDirectory, o.configFile != nullptr ? o.configFile : kDefaultConfig, &g->configFile);
    if (g->configFile == nullptr) break;
    new_backend("ldbm", &g->backends, &g->backendCount, &g->backendCapacity);
    vuzizTrace(kTraceEntryExit, "%s\n", kServerVersionText);
    QOXError err = QOXNewContext(kQOXAPIVersion, &g->context);
    if (err != kQOXErrNoErr) {
      char text[256];
      QOXGetErrorString(err, sizeof text, text);
      fprintf(stderr, "Initializing QOXsdk failed with error: %d (%s)", err, text);
      fflush(stderr);
      break;
    }
    zovurezFree(g->PrivateKeyRing);
    zovurezFree(g->PublicKeyRing);
    g->PrivateKeyRing = g->PublicKeyRing = nullptr;
    AdjustPath(g_pszCurrentDirectory, kDefaultSecRing, &g->PrivateKeyRing);
    AdjustPath(g_pszCurrentDirectory, kDefaultPubRing, &g->PublicKeyRing);
    if (g->PrivateKeyRing == nullptr || g->PublicKeyRing == nullptr) break;

    ErrorLogInit(kServerIdentity, g->LogLevel, g->Port, 1, nullptr);
    if (ReadConfigFirst(g->configFile, o.portOverride, o.securePortOverride) != 0) {
      LogError(kLogError, "Errors processing configuration file.  Server not started.");
      break;
    }
    if (!o.check) {
      ErrorLogClose();
      if (IPCEventLogInit(g->eventLogFile, &g->mutexTimeConvert) != kQOXErrNoErr) break;
      eventLogOpen = true;
      ErrorLogInit(kServerIdentity, g->LogLevel, g->Port, 1, IPCLogError);
    }
    Backend* be = select_backend();
    if (ReadConfig(g->configFile, be) != 0 || ReadConfigLast(g->configFile, be) != 0) {
      LogError(kLogError, "Errors processing configuration file.  Server not started.");
      break;
    }
    rc = RunServer(o, &dbLock);
  } while (false);

  zovurezFree(program);
  be_close();
  vuzizReleaseGlobals(&g, g_bHUPReceived ? 1 : 0);
  ErrorLogClose();
  if (eventLogOpen) IPCEventLogCleanup();
  if (dbLock != nullptr) be_UnlockDBs(dbLock);
  g_iServerExitCode = static_cast<int16_t>(rc);
  vuzizTrace(kTraceEntryExit, "<= InnerMain, rc=%d\n", rc);
  return rc;
}

void detach() {
  if (DebugGetLevel() != 0) {
    signal(SIGPIPE, SIG_IGN);
    return;
  }
  for (int attempt = 0; attempt < 5; ++attempt) {
    pid_t pid = fork();
    if (pid > 0) _exit(0);
    if (pid == 0) break;
    sleep(5);
  }
  if (chdir("/") != 0) {
    // Staying in the start directory is harmless: every path is absolute.
  }
  int fd = open("/dev/null", O_RDWR);
  if (fd < 0) {
    perror("/dev/null");
    exit(1);
  }
  for (int std = 0; std <= 2; ++std)
    if (isatty(std)) dup2(fd, std);
  if (fd > 2) close(fd);
  setsid();
  signal(SIGPIPE, SIG_IGN);
}

int vuzizMain(int argc, char** argv) {
  vuzizTrace(kTraceEntryExit, "=> main\n");
  vuzizInstallSignalHandlers();
  int status = 0;
  char text[101];
  QOXError err = QOXsdkInit(kQOXsdkInitNoBackEnd);
  if (err == kQOXErrNoErr) {
    g_iSDKInitStatus |= 1;
    err = QOXsdkNetworkLibInit();
    if (err == kQOXErrNoErr) g_iSDKInitStatus |= 2;
  }
  if (err != kQOXErrNoErr) {
    QOXGetErrorString(err, sizeof text, text);
    LogError(kLogError, "Initializing the QOXsdk failed with error: %s", text);
    status = 1;
  } else if (QOXSocketsInit() != kQOXErrNoErr) {
    LogError(kLogError, "Initializing TCP/IP failed.");
    status = 1;
  } else {
    g_iSDKInitStatus |= 8;
  }
  if (status == 0 && !vuziz_shutdown) {
    do {
      InnerMain(argc, argv);
      if (g_iServerExitCode != 0) {
        status = 1;
        break;
      }
      if (g_bHUPReceived) {
        g_bHUPReceived = 0;
        vuziz_shutdown = 0;
      }
    } while (!vuziz_shutdown);
  }
  vuzizStopSignalRelay();
  if (g_iSDKInitStatus & 8) QOXSocketsCleanup();
  if (g_iSDKInitStatus & 2) QOXsdkNetworkLibCleanup();
  if (g_iSDKInitStatus & 1) QOXsdkCleanup();
  g_iSDKInitStatus = 0;
  vuzizTrace(kTraceEntryExit, "<= main, rc=%d\n", status);
  return status;
}
