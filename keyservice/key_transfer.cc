// Key transfer through key blocks: the export in one context, the import in
// the other, the copy into the target database.
#include "keyservice/key_transfer.h"

#include <sys/stat.h>

#include <cstdint>

#include "foundation/context.h"
#include "foundation/file_spec.h"
#include "foundation/memory_mgr.h"
#include "foundation/scoped.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/key_files.h"
#include "keydb/key_set.h"
#include "keydb/key_set_ops.h"
#include "server/error_log.h"

namespace {

QOXError LogTransfer(QOXError err) {
  char text[256];
  QOXGetErrorString(err, sizeof text, text);
  LogError(kLogError, "Internal key set operation failed with error %d (%s)", err, text);
  return err;
}

// Imports the block in the context and copies its keys into *destDB (made
// when null; freed again on failure).
QOXError ImportInto(QOXContext* context, const void* data, size_t length, QOXKeyDB** destDB) {
  ostrak::UniquePtr<QOXKeyDB> scratch;
  QOXError err = QOXImport(context, ostrak::OutParam(scratch), QOXOInputBuffer(context, data, length),
                           kQOXEndOfOptionList);
  if (err != kQOXErrNoErr) return err;
  ostrak::UniquePtr<QOXKeyDB> made;
  QOXKeyDB* target = *destDB;
  if (target == nullptr) {
    if ((err = QOXNewKeyDB(context, ostrak::OutParam(made))) != kQOXErrNoErr) return err;
    target = made.get();
  }
  ostrak::UniquePtr<QOXKeySet> set;
  if ((err = QOXNewKeySet(scratch.get(), ostrak::OutParam(set))) != kQOXErrNoErr) return err;
  if ((err = QOXCopyKeys(set.get(), target, nullptr)) != kQOXErrNoErr) return err;
  if (made != nullptr) *destDB = made.release();
  return kQOXErrNoErr;
}

}  // namespace

QOXError ConvertKeySet2KeyBlock(QOXContext* context, QOXKeySet* set, bool exportPrivate, int32_t format,
                                std::string* block) {
  block->clear();
  void* buffer = nullptr;
  size_t length = 0;
  QOXError err =
      QOXExport(context, QOXOExportKeySet(context, set), QOXOExportFormat(context, format),
                QOXOExportPrivateKeys(context, exportPrivate),
                QOXOAllocatedOutputBuffer(context, &buffer, SIZE_MAX, &length), kQOXEndOfOptionList);
  ostrak::DataPtr<char> owned(static_cast<char*>(buffer));
  if (err == kQOXErrNoErr && (buffer == nullptr || length == 0)) err = kQOXErrItemNotFound;
  if (err != kQOXErrNoErr) {
    char text[256];
    QOXGetErrorString(err, sizeof text, text);
    LogError(kLogError, "ASCII-armoring keyset failed. Library error: %s", text);
    return err;
  }
  block->assign(owned.get(), length);
  return kQOXErrNoErr;
}

QOXError TransferKeys(QOXContext* source, QOXContext* dest, QOXKeyDB* sourceDB, int includePrivate,
                      QOXKeyDB** destDB) {
  if (source == nullptr || dest == nullptr || sourceDB == nullptr || destDB == nullptr)
    return LogTransfer(kQOXErrBadParams);
  ostrak::UniquePtr<QOXKeySet> set;
  QOXError err = QOXNewKeySet(sourceDB, ostrak::OutParam(set));
  if (err != kQOXErrNoErr) return LogTransfer(err);
  uint32_t count = 0;
  if ((err = QOXCountKeys(set.get(), &count)) != kQOXErrNoErr) return LogTransfer(err);
  if (count == 0) {
    // Nothing to move: the target is an empty database of its own.
    if (*destDB == nullptr && (err = QOXNewKeyDB(dest, destDB)) != kQOXErrNoErr) {
      *destDB = nullptr;
      return LogTransfer(err);
    }
    return kQOXErrNoErr;
  }
  std::string block;
  err = ConvertKeySet2KeyBlock(source, set.get(), includePrivate != 0, kExportFormatComplete, &block);
  if (err == kQOXErrNoErr) err = ImportInto(dest, block.data(), block.size(), destDB);
  return err == kQOXErrNoErr ? kQOXErrNoErr : LogTransfer(err);
}

QOXError TransferKeysFromAAKeyBlock(QOXContext* context, const uint8_t* data, size_t length, QOXKeyDB** keyDB) {
  if (context == nullptr || data == nullptr || keyDB == nullptr) return LogTransfer(kQOXErrBadParams);
  QOXError err = ImportInto(context, data, length, keyDB);
  return err == kQOXErrNoErr ? kQOXErrNoErr : LogTransfer(err);
}

QOXError GetKeyDBFromKeyRings(QOXContext* context, const char* publicRing, const char* privateRing,
                              QOXKeyDB** keyDB) {
  *keyDB = nullptr;
  if (publicRing == nullptr || publicRing[0] == '\0') {
    LogError(kLogVerbose, "No public keyring file specified.");
    return kQOXErrNoErr;
  }
  if (privateRing == nullptr || privateRing[0] == '\0') {
    LogError(kLogVerbose, "No private keyring file specified.");
    return kQOXErrNoErr;
  }
  QOXMemoryMgr* mgr = QOXPeekContextMemoryMgr(context);
  ostrak::UniquePtr<PFLFileSpec> publicSpec, privateSpec;
  struct stat st {};
  QOXError err = PFLNewFileSpecFromFullPath(mgr, publicRing, ostrak::OutParam(publicSpec));
  if (err == kQOXErrNoErr && stat(publicRing, &st) != 0) err = kQOXErrFileNotFound;
  char text[256];
  if (err != kQOXErrNoErr) {
    QOXGetErrorString(err, sizeof text, text);
    LogError(kLogError, "Opening public keyring (%s) failed with error %d (%s)", publicRing, err, text);
    return err;
  }
  err = PFLNewFileSpecFromFullPath(mgr, privateRing, ostrak::OutParam(privateSpec));
  if (err == kQOXErrNoErr && stat(privateRing, &st) != 0) err = kQOXErrFileNotFound;
  if (err != kQOXErrNoErr) {
    QOXGetErrorString(err, sizeof text, text);
    LogError(kLogError, "Opening private keyring (%s) failed with error %d (%s)", privateRing, err, text);
    return err;
  }
  err = QOXOpenKeyDBFile(context, 0, publicSpec.get(), privateSpec.get(), keyDB);
  if (err != kQOXErrNoErr) {
    *keyDB = nullptr;
    QOXGetErrorString(err, sizeof text, text);
    LogError(kLogError, "Opening keyring pair (%s and %s) failed with error %d (%s)", publicRing, privateRing, err,
             text);
    return err;
  }
  return kQOXErrNoErr;
}
