#include "crypto/rand_seed_file.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "crypto/random_pool.h"
#include "foundation/context.h"
#include "foundation/file.h"
#include "foundation/file_spec.h"
#include "foundation/io.h"
#include "foundation/memory_mgr.h"
#include "foundation/rpc_client_services.h"
#include "foundation/sdk_errors.h"

namespace {

std::mutex gSeedFileMutex;
PFLFileSpec* gSeedFile = nullptr;  // guarded by gSeedFileMutex; default manager

constexpr char kSeedFileName[] = "randseed.rnd";

// Frees an IO object when the scope ends.
struct IOCloser {
  QOXIO* io = nullptr;
  ~IOCloser() {
    if (io != nullptr) QOXFreeIO(io);
  }
};

// Exported forms equal byte for byte.
bool SameFile(const PFLFileSpec* a, const PFLFileSpec* b) {
  uint8_t* da = nullptr;
  uint8_t* db = nullptr;
  size_t na = 0;
  size_t nb = 0;
  bool same = PFLExportFileSpec(a, &da, &na) == kQOXErrNoErr &&
              PFLExportFileSpec(b, &db, &nb) == kQOXErrNoErr && na == nb &&
              std::memcmp(da, db, na) == 0;
  if (da != nullptr) QOXFreeData(da);
  if (db != nullptr) QOXFreeData(db);
  return same;
}

// Writes count bytes drawn from rc in blocks of up to 512, stopping at the
// first write error; returns the bytes written.
size_t WriteFresh(QOXIO* io, QOXRandomContext* rc, size_t count) {
  uint8_t block[kQOXRandSeedBlockBytes];
  size_t written = 0;
  while (written < count) {
    size_t n = count - written < sizeof block ? count - written : sizeof block;
    qoxRandomGetBytes(rc, block, n);
    if (QOXIOWrite(io, n, block) != kQOXErrNoErr) break;
    written += n;
  }
  std::memset(block, 0, sizeof block);
  return written;
}

// gSeedFileMutex held.
QOXError SaveLocked() {
  if (gSeedFile == nullptr) return kQOXErrNoErr;
  IOCloser file;
  QOXError err = QOXOpenFileSpec(gSeedFile, kQOXOpenFileSpec_Write, &file.io);
  if (err == kQOXErrFileNotFound) {
    err = qoxCreateFile(gSeedFile, kQOXFileTypeRandSeed);
    if (err == kQOXErrNoErr) err = QOXOpenFileSpec(gSeedFile, kQOXOpenFileSpec_Write, &file.io);
  }
  if (err != kQOXErrNoErr) return err;

  QOXRandomContext pool;
  qoxInitGlobalRandomPoolContext(&pool);
  // Mix the old contents in before they are overwritten.
  QOXFileOffset position = 0;
  QOXIOGetPos(file.io, &position);
  if (QOXIOSetPos(file.io, 0) == kQOXErrNoErr) {
    uint8_t block[kQOXRandSeedBlockBytes];
    for (;;) {
      size_t got = 0;
      QOXError readErr = QOXIORead(file.io, sizeof block, block, &got);
      if (readErr != kQOXErrNoErr && readErr != kQOXErrEOF) break;
      pool.vtbl->addBytes(pool.priv, block, got);
      if (readErr != kQOXErrNoErr) break;
    }
    std::memset(block, 0, sizeof block);
  }
  QOXIOSetPos(file.io, position);

  qoxRandomCollectEntropy(&pool);
  pool.vtbl->stir(pool.priv);
  WriteFresh(file.io, &pool, kQOXRandSeedBlockBytes);
  return kQOXErrNoErr;
}

// gSeedFileMutex held.
QOXError SetLocked(const PFLFileSpec* fileSpec) {
  if (gSeedFile != nullptr && SameFile(gSeedFile, fileSpec)) return kQOXErrNoErr;
  if (qoxGlobalRandomPoolIsSeeded() && gSeedFile != nullptr) SaveLocked();
  if (gSeedFile != nullptr) PFLFreeFileSpec(gSeedFile);
  gSeedFile = nullptr;

  uint8_t* data = nullptr;
  size_t size = 0;
  QOXError err = PFLExportFileSpec(fileSpec, &data, &size);
  if (err == kQOXErrNoErr) {
    err = PFLImportFileSpec(QOXGetDefaultMemoryMgr(), data, size, &gSeedFile);
    QOXFreeData(data);
  }
  if (err != kQOXErrNoErr) {
    gSeedFile = nullptr;
    return err;
  }

  if (!qoxGlobalRandomPoolIsSeeded()) qoxInitGlobalRandomPool();
  IOCloser file;
  bool seeded = false;
  if (QOXOpenFileSpec(gSeedFile, kQOXOpenFileSpec_Write, &file.io) == kQOXErrNoErr) {
    QOXRandomContext pool;
    qoxInitGlobalRandomPoolContext(&pool);
    seeded = qoxRandSeedRead(file.io, &pool) == kQOXErrNoErr;
  }
  qoxSetIsSeeded(seeded);
  return kQOXErrNoErr;
}

// "$QOXPATH/", "$HOME/.qox/" or "./", then the file name.
std::string DefaultPath() {
  const char* dir = std::getenv("QOXPATH");
  if (dir != nullptr) return std::string(dir) + "/" + kSeedFileName;
  dir = std::getenv("HOME");
  if (dir != nullptr) return std::string(dir) + "/.qox/" + kSeedFileName;
  return std::string(".") + "/" + kSeedFileName;
}

}  // namespace

QOXError QOXSetRandSeedFile(const PFLFileSpec* fileSpec) {
  if (!pflFileSpecIsValid(fileSpec)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  return qoxSetRandSeedFile_back(fileSpec);
}

QOXError qoxSetRandSeedFile_back(const PFLFileSpec* fileSpec) {
  const QOXRPCClientServices& rpc = qoxRPCClientServices();
  if (rpc.qoxRPCEnabled()) return rpc.qoxSetRandSeedFile_backRPC(fileSpec);
  return qoxSetRandSeedFile_internal(fileSpec);
}

QOXError qoxSetRandSeedFile_internal(const PFLFileSpec* fileSpec) {
  if (!pflFileSpecIsValid(fileSpec)) return kQOXErrBadParams;
  std::lock_guard<std::mutex> lock(gSeedFileMutex);
  return SetLocked(fileSpec);
}

QOXError qoxDefaultRandSeedFile() {
  std::lock_guard<std::mutex> lock(gSeedFileMutex);
  if (gSeedFile != nullptr) return kQOXErrNoErr;
  QOXMemoryMgr* mgr = QOXGetDefaultMemoryMgr();
  std::string path = DefaultPath();
  char* block = static_cast<char*>(QOXNewData(mgr, path.size() + 1, 0));
  if (block == nullptr) return kQOXErrOutOfMemory;
  std::memcpy(block, path.c_str(), path.size() + 1);
  PFLFileSpec* fileSpec = nullptr;
  QOXError err = PFLNewFileSpecFromFullPath(mgr, block, &fileSpec);
  if (err == kQOXErrNoErr) {
    const QOXRPCClientServices& rpc = qoxRPCClientServices();
    err = rpc.qoxRPCEnabled() ? rpc.qoxSetRandSeedFile_backRPC(fileSpec) : SetLocked(fileSpec);
    PFLFreeFileSpec(fileSpec);
  }
  QOXFreeData(block);
  return err;
}

QOXError qoxSaveGlobalRandomPool() {
  std::lock_guard<std::mutex> lock(gSeedFileMutex);
  return SaveLocked();
}

QOXError qoxRandSeedRead(QOXIO* io, QOXRandomContext* rc) {
  if (io == nullptr) return kQOXErrBadParams;
  QOXRandomContext pool;
  qoxInitGlobalRandomPoolContext(&pool);

  uint8_t block[kQOXRandSeedBlockBytes];
  size_t read = 0;
  for (;;) {
    size_t got = 0;
    QOXError err = QOXIORead(io, sizeof block, block, &got);
    if (got != 0) {
      if (rc != nullptr) rc->vtbl->addBytes(rc->priv, block, got);
      pool.vtbl->addBytes(pool.priv, block, got);
      read += got;
    }
    if (err != kQOXErrNoErr) break;
  }
  std::memset(block, 0, sizeof block);
  if (QOXIOSetPos(io, 0) != kQOXErrNoErr) return kQOXErrRandSeedTooSmall;

  size_t target = read < kQOXRandSeedBlockBytes ? kQOXRandSeedBlockBytes : read;
  QOXRandomContext* source = rc != nullptr ? rc : &pool;
  qoxRandomCollectEntropy(&pool);
  source->vtbl->stir(source->priv);
  size_t written = WriteFresh(io, source, target);
  if (read < kQOXRandSeedMinimumBytes || written < kQOXRandSeedMinimumBytes) {
    return kQOXErrRandSeedTooSmall;
  }
  return kQOXErrNoErr;
}

void qoxCleanupRandSeedFile() {
  std::lock_guard<std::mutex> lock(gSeedFileMutex);
  if (gSeedFile != nullptr) PFLFreeFileSpec(gSeedFile);
  gSeedFile = nullptr;
  qoxCleanupGlobalRandomPool();
  qoxSetIsSeeded(false);
}
