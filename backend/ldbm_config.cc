// The "ldbm" backend's configuration keywords.
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "backend/attr_index.h"
#include "backend/ldbm.h"
#include "backend/ldbm_ops.h"
#include "backend/ldbm_storage.h"
#include "server/daemon.h"
#include "server/error_log.h"
#include "server/support/zovurez.h"

namespace {

int ConfigDirectory(LdbmBackendState* li, const char* file, int line, int argc, char** argv) {
  if (argc != 2) {
    LogError(kLogError, "%s(%d): Missing Path in \"Directory <Path>\" line.\n", file, line);
    return 1;
  }
  char* path = nullptr;
  AdjustPath(g_pszCurrentDirectory, argv[1], &path);
  if (path == nullptr) {
    LogError(kLogError, "%s(%d): Out of memory\n", file, line);
    return 1;
  }
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) {
    LogError(kLogError, "%s(%d): Directory '%s' does not exist.\n", file, line, path);
    zovurezFree(path);
    return 1;
  }
  zovurezFree(li->directory);
  li->directory = path;
  return 0;
}

int ConfigMode(LdbmBackendState* li, const char* file, int line, int argc, char** argv) {
  if (argc != 2) {
    LogError(kLogError, "%s(%d): Missing Mode in \"Mode <Mode>\" line.\n", file, line);
    return 1;
  }
  const char* v = argv[1];
  const char* p = v;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p == '+' || *p == '-') ++p;
  if (!allDigitsIgnLeadin(v) || *p != '0' || p[1] == 'x' || p[1] == 'X') {
    LogError(kLogError, "%s(%d): Invalid Mode argument in \"Mode <Mode>\" line.\n", file, line);
    return 1;
  }
  li->mode = static_cast<int32_t>(strtol(v, nullptr, 8));
  return 0;
}

int ConfigIndex(LdbmBackendState* li, const char* file, int line, int argc, char** argv) {
  if (argc < 2) {
    LogError(kLogError, "%s(%d): Missing Attribute in \"Index <Attribute> [pres,eq,approx,sub]\" line.\n", file,
             line);
    return 1;
  }
  if (argc > 3) {
    LogError(kLogError, "%s(%d): Too many parameters in \"Index <Attribute> [pres,eq,approx,sub]\" line.\n", file,
             line);
    return 1;
  }
  attr_index_config(li, file, line, argc - 1, argv + 1, 0);
  return 0;
}

int ConfigCacheEntries(LdbmBackendState* li, const char* file, int line, int argc, char** argv) {
  if (argc < 2) {
    LogError(kLogError, "%s(%d): Missing Number in \"CacheEntries <Number>\" line.\n", file, line);
    return 1;
  }
  if (!allDigits(argv[1]) || argv[1][0] == '\0') {
    LogError(kLogError, "%s(%d): CacheEntries should be an integer. Currently it is %s.\n", file, line, argv[1]);
    return 1;
  }
  long n = strtol(argv[1], nullptr, 10);
  if (n < 1 || n > 1000) {
    LogError(kLogWarning, "%s(%d): CacheEntries should be between 10 and 1000. Currently it is %d.\n", file, line,
             static_cast<int>(n));
  }
  li->entryCache.maxSize = static_cast<int32_t>(n);
  return 0;
}

int ConfigDbCacheSize(LdbmBackendState* li, const char* file, int line, int argc, char** argv) {
  if (argc < 2) {
    LogError(kLogError, "%s(%d): Missing Size in \"DBCacheSize <Size>\" line.\n", file, line);
    return 1;
  }
  if (!allDigits(argv[1]) || argv[1][0] == '\0') {
    LogError(kLogError, "%s(%d): DBCacheSize should be an integer. Currently it is %s.\n", file, line, argv[1]);
    return 1;
  }
  long n = strtol(argv[1], nullptr, 10);
  if (n > INT32_MAX) n = INT32_MAX;
  if (n <= 9999) {
    LogError(kLogWarning, "%s(%d): DBCacheSize should be larger. Currently it is %d.\n", file, line,
             static_cast<int>(n));
  }
  li->dbCacheSize = static_cast<int32_t>(n);
  return 0;
}

int ConfigCacheSplit(const char* file, int line, int argc, char** argv) {
  if (argc != 3) {
    LogError(kLogError, "%s(%d): Invalid dbCacheSplit. \"DBCacheSplit <Filename> <Size>\" line.\n", file, line);
    return 1;
  }
  if (!allDigits(argv[2]) || argv[2][0] == '\0') {
    LogError(kLogError, "%s(%d): DBCacheSplit percent should be aninteger. Currently it is %s.\n", file, line,
             argv[2]);
    return 1;
  }
  long percent = strtol(argv[2], nullptr, 10);
  if (percent > 1000) percent = 1000;
  switch (SetCacheSplitInfo(argv[1], static_cast<int32_t>(percent))) {
    case 0:
      return 0;
    case 1:
      LogError(kLogError, "%s(%d): Invalid split percent (%s)", file, line, argv[2]);
      return 1;
    case 2:
      LogError(kLogError, "%s(%d): Invalid split filename (%s)", file, line, argv[1]);
      return 1;
    default:
      LogError(kLogError, "%s(%d): Unknown dbCacheSplit error", file, line);
      return 1;
  }
}

}  // namespace

int ldbm_back_config(Backend* be, const char* fileName, int line, int argc, char** argv) {
  if (be == nullptr || be->privateData == nullptr || argc < 1 || argv == nullptr || argv[0] == nullptr) return 1;
  LdbmBackendState* li = LdbmState(be);
  const char* kw = argv[0];
  if (strcasecmp(kw, "directory") == 0) return ConfigDirectory(li, fileName, line, argc, argv);
  if (strcasecmp(kw, "mode") == 0) return ConfigMode(li, fileName, line, argc, argv);
  if (strcasecmp(kw, "index") == 0) return ConfigIndex(li, fileName, line, argc, argv);
  if (strcasecmp(kw, "cacheentries") == 0) return ConfigCacheEntries(li, fileName, line, argc, argv);
  if (strcasecmp(kw, "dbcachesize") == 0) return ConfigDbCacheSize(li, fileName, line, argc, argv);
  if (strcasecmp(kw, "dbcachesplit") == 0) return ConfigCacheSplit(fileName, line, argc, argv);
  LogError(kLogError, "%s(%d): Unknown configuration value (%s).\n", fileName, line, kw);
  return 2;
}
