#include "keyservice/key_transfer.h"

#include <cstddef>

#include "foundation/context.h"
#include "foundation/file_spec.h"
#include "foundation/memory_mgr.h"
#include "foundation/scoped.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/key_files.h"
#include "keydb/key_set.h"
#include "keydb/key_set_ops.h"
#include "server/error_log.h"
#include "server/server_state.h"

namespace {

QOXError Logged(const char* format, QOXError err) {
  char text[256];
  QOXGetErrorString(err, sizeof text, text);
  LogError(kLogError, format, err, text);
  return err;
}

struct SetOwner {
  QOXKeySet* set = nullptr;
  ~SetOwner() {
    if (set != nullptr) QOXFreeKeySet(set);
  }
};

struct DBOwner {
  QOXKeyDB* db = nullptr;
  ~DBOwner() {
    if (db != nullptr) QOXFreeKeyDB(db);
  }
};

struct SpecOwner {
  PFLFileSpec* spec = nullptr;
  ~SpecOwner() {
    if (spec != nullptr) PFLFreeFileSpec(spec);
  }
};

QOXError Transfer(QOXContext* source, QOXContext* target, QOXKeyDB* sourceDB, int includePrivate,
                  QOXKeyDB** targetDB) {
  SetOwner all;
  QOXError err = QOXNewKeySet(sourceDB, &all.set);
  if (err != kQOXErrNoErr) return err;
  void* block = nullptr;
  size_t length = 0;
  err = QOXExport(source, QOXOExportKeySet(source, all.set), QOXOArmorOutput(source, false),
                  QOXOExportPrivateKeys(source, includePrivate != 0),
                  QOXOAllocatedOutputBuffer(source, &block, SIZE_MAX, &length), kQOXEndOfOptionList);
  DBOwner imported;
  if (err == kQOXErrNoErr && length > 0)
    err = QOXImport(target, &imported.db, QOXOInputBuffer(target, block, length), kQOXEndOfOptionList);
  if (block != nullptr) QOXFreeData(block);
  if (err != kQOXErrNoErr) return err;

  DBOwner made;
  if (*targetDB == nullptr && (err = QOXNewKeyDB(target, &made.db)) != kQOXErrNoErr) return err;
  QOXKeyDB* destination = *targetDB != nullptr ? *targetDB : made.db;
  if (imported.db != nullptr) {
    SetOwner keys;
    if ((err = QOXNewKeySet(imported.db, &keys.set)) != kQOXErrNoErr) return err;
    if ((err = QOXCopyKeys(keys.set, destination, nullptr)) != kQOXErrNoErr) return err;
  }
  if (made.db != nullptr) {
    *targetDB = made.db;
    made.db = nullptr;
  }
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

QOXError TransferKeysFromAAKeyBlock(QOXContext* context, const uint8_t* data, size_t length, QOXKeyDB** keyDB) {
  QOXError err = context == nullptr || data == nullptr || keyDB == nullptr ? kQOXErrBadParams : kQOXErrNoErr;
  DBOwner imported, made;
  if (err == kQOXErrNoErr)
    err = QOXImport(context, &imported.db, QOXOInputBuffer(context, data, length), kQOXEndOfOptionList);
  // A block that holds no key (the import passes over what is not one) is
  // not a key block.
  uint32_t count = 0;
  if (err == kQOXErrNoErr && (err = QOXCountKeysInKeyDB(imported.db, &count)) == kQOXErrNoErr && count == 0)
    err = kQOXErrItemNotFound;
  if (err == kQOXErrNoErr && *keyDB == nullptr) err = QOXNewKeyDB(context, &made.db);
  if (err == kQOXErrNoErr) {
    SetOwner keys;
    err = QOXNewKeySet(imported.db, &keys.set);
    if (err == kQOXErrNoErr) err = QOXCopyKeys(keys.set, *keyDB != nullptr ? *keyDB : made.db, nullptr);
  }
  if (err != kQOXErrNoErr) return Logged("Internal key set operation failed with error %d (%s)", err);
  if (made.db != nullptr) {
    *keyDB = made.db;
    made.db = nullptr;
  }
  return kQOXErrNoErr;
}

QOXError TransferKeys(QOXContext* source, QOXContext* target, QOXKeyDB* sourceDB, int includePrivate,
                      QOXKeyDB** targetDB) {
  QOXError err = source == nullptr || target == nullptr || sourceDB == nullptr || targetDB == nullptr
                     ? kQOXErrBadParams
                     : Transfer(source, target, sourceDB, includePrivate, targetDB);
  if (err != kQOXErrNoErr) return Logged("Internal key set operation failed with error %d (%s)", err);
  return kQOXErrNoErr;
}

QOXError GetKeyDBFromKeyRings(QOXContext* context, const char* publicRing, const char* secretRing,
                              QOXKeyDB** outKeyDB) {
  if (outKeyDB == nullptr) return kQOXErrBadParams;
  *outKeyDB = nullptr;
  if (publicRing == nullptr) {
    LogError(kLogVerbose, "No public keyring file specified.");
    return kQOXErrNoErr;
  }
  if (secretRing == nullptr) {
    LogError(kLogVerbose, "No private keyring file specified.");
    return kQOXErrNoErr;
  }
  QOXMemoryMgr* mgr = QOXPeekContextMemoryMgr(context);
  SpecOwner pub, sec;
  QOXError err = PFLNewFileSpecFromFullPath(mgr, publicRing, &pub.spec);
  if (err != kQOXErrNoErr) {
    char text[256];
    QOXGetErrorString(err, sizeof text, text);
    LogError(kLogError, "Opening public keyring (%s) failed with error %d (%s)", publicRing, err, text);
    return err;
  }
  if ((err = PFLNewFileSpecFromFullPath(mgr, secretRing, &sec.spec)) != kQOXErrNoErr) {
    char text[256];
    QOXGetErrorString(err, sizeof text, text);
    LogError(kLogError, "Opening private keyring (%s) failed with error %d (%s)", secretRing, err, text);
    return err;
  }
  if ((err = QOXOpenKeyDBFile(context, 0, pub.spec, sec.spec, outKeyDB)) != kQOXErrNoErr) {
    char text[256];
    QOXGetErrorString(err, sizeof text, text);
    *outKeyDB = nullptr;
    // Rings that are not there (the default names on a server set up
    // without keys) leave the server without a key-ring database, as rings
    // not configured do; rings that are there and do not open end the start.
    const bool absent = err == kQOXErrFileNotFound;
    LogError(absent ? kLogVerbose : kLogError, "Opening keyring pair (%s and %s) failed with error %d (%s)",
             publicRing, secretRing, err, text);
    return absent ? kQOXErrNoErr : err;
  }
  return kQOXErrNoErr;
}

QOXError InitKeyRingDatabase(QOXContext* context, Backend*) {
  if (g->tlsKeyDB != nullptr) {
    QOXFreeKeyDB(g->tlsKeyDB);
    g->tlsKeyDB = nullptr;
  }
  return GetKeyDBFromKeyRings(context, g->PublicKeyRing, g->PrivateKeyRing, &g->tlsKeyDB);
}
