#include "keydb/ring_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/context.h"
#include "foundation/file.h"
#include "foundation/file_spec.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "foundation/sdk_time.h"
#include "keydb/front_end.h"
#include "keydb/key_db.h"
#include "keydb/key_db_back.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_set.h"
#include "keydb/notifications.h"
#include "keydb/obj_data.h"
#include "keydb/ring_reader.h"
#include "keydb/self_sig.h"
#include "keydb/sig_check_services.h"
#include "keydb/trust_packet.h"

namespace {

// Opens of a ring whose path was replaced between the open and the lock.
constexpr int kOpenAttempts = 8;
constexpr uint16_t kReadUpdate = kQOXOpenFlag_Read | kQOXOpenFlag_Write;  // "r+"

const char* PathOf(const PFLFileSpec* fileSpec) { return reinterpret_cast<const char*>(fileSpec->data); }

// --- The ring pairs held by the process ---

struct HeldPair {
  uint64_t device;
  uint64_t inode;
  QOXKeyDB* db;
};

std::mutex& HeldMutex() {
  static std::mutex mutex;
  return mutex;
}
std::vector<HeldPair>& Held() {
  static std::vector<HeldPair> held;
  return held;
}

// Claims the pair whose public ring is the file for the database;
// kQOXErrFileLocked when another database of the process holds it.
QOXError Claim(QOXKeyDB* db, const struct stat& ring) {
  std::lock_guard<std::mutex> guard(HeldMutex());
  for (const HeldPair& p : Held()) {
    if (p.device == ring.st_dev && p.inode == ring.st_ino && p.db != db) return kQOXErrFileLocked;
  }
  try {
    Held().push_back({static_cast<uint64_t>(ring.st_dev), static_cast<uint64_t>(ring.st_ino), db});
  } catch (...) {
    return kQOXErrOutOfMemory;
  }
  db->ringDevice = ring.st_dev;
  db->ringInode = ring.st_ino;
  return kQOXErrNoErr;
}

// The database's public ring is now the file (after a flush replaced it).
void MoveClaim(QOXKeyDB* db, const struct stat& ring) {
  std::lock_guard<std::mutex> guard(HeldMutex());
  for (HeldPair& p : Held()) {
    if (p.db == db) {
      p.device = ring.st_dev;
      p.inode = ring.st_ino;
    }
  }
  db->ringDevice = ring.st_dev;
  db->ringInode = ring.st_ino;
}

// --- Opening ---

// True when the path names the file the stream has open.
bool StillNamed(const PFLFileSpec* fileSpec, FILE* stream) {
  struct stat open {}, named {};
  return fstat(fileno(stream), &open) == 0 && stat(PathOf(fileSpec), &named) == 0 && open.st_dev == named.st_dev &&
         open.st_ino == named.st_ino;
}

// One ring opened and locked as the open flags allow.
QOXError OpenRing(const PFLFileSpec* fileSpec, uint32_t fileType, uint32_t openFlags, FILE** outStream) {
  *outStream = nullptr;
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    FILE* stream = nullptr;
    QOXError err = qoxFileRefStdIOOpen(fileSpec, kReadUpdate | kQOXOpenFlag_Lock, fileType, &stream);
    if (err == kQOXErrFileNotFound && (openFlags & kQOXKeyDBOpen_Create) != 0) {
      // Another opener may create it at the same time: the open decides.
      const QOXError created = qoxCreateFile(fileSpec, fileType);
      err = qoxFileRefStdIOOpen(fileSpec, kReadUpdate | kQOXOpenFlag_Lock, fileType, &stream);
      if (err == kQOXErrFileNotFound && created != kQOXErrNoErr) err = created;
    }
    if (err == kQOXErrFilePermissions && (openFlags & kQOXKeyDBOpen_Mutable) == 0)
      err = qoxFileRefStdIOOpen(fileSpec, kQOXOpenFlag_Read | kQOXOpenFlag_Lock, fileType, &stream);
    if (err != kQOXErrNoErr) return err;
    if (StillNamed(fileSpec, stream)) {
      *outStream = stream;
      return kQOXErrNoErr;
    }
    std::fclose(stream);
  }
  return kQOXErrFileLocked;
}

bool SameRings(const QOXKeyDB* db, const PFLFileSpec* publicSpec, const PFLFileSpec* privateSpec) {
  if (db->backendID != 0 || db->publicSpec == nullptr) return false;
  if (!PFLFileSpecsEqual(db->publicSpec, publicSpec)) return false;
  if ((db->privateSpec == nullptr) != (privateSpec == nullptr)) return false;
  return privateSpec == nullptr || PFLFileSpecsEqual(db->privateSpec, privateSpec);
}

// Opens, claims and reads the rings of a new database.
QOXError OpenRings(QOXKeyDB* db) {
  if (db->privateSpec != nullptr) {
    if (QOXError err = OpenRing(db->privateSpec, kQOXFileTypePrivateKeyRing, db->openFlags, &db->privateStream);
        err != kQOXErrNoErr)
      return err;
  }
  if (QOXError err = OpenRing(db->publicSpec, kQOXFileTypePublicKeyRing, db->openFlags, &db->publicStream);
      err != kQOXErrNoErr)
    return err;
  struct stat ring {};
  if (fstat(fileno(db->publicStream), &ring) != 0) return kQOXErrFileOpError;
  if (QOXError err = Claim(db, ring); err != kQOXErrNoErr) return err;
  if (db->privateStream != nullptr) {
    db->privateFile = qoxFileReadOpen(db->context, db->privateStream);
    if (db->privateFile == nullptr) return kQOXErrOutOfMemory;
  }
  db->publicFile = qoxFileReadOpen(db->context, db->publicStream);
  if (db->publicFile == nullptr) return kQOXErrOutOfMemory;
  if (db->privateFile != nullptr) {
    if (QOXError err = qoxReadKeyFile(db, db->privateFile, true); err != kQOXErrNoErr) return err;
  }
  if (QOXError err = qoxReadKeyFile(db, db->publicFile, true); err != kQOXErrNoErr) return err;
  // Writing back what was read with packets dropped would lose them.
  if ((db->openFlags & kQOXKeyDBOpen_Mutable) != 0 && db->droppedPackets == 0) db->isMutable = 1;
  return kQOXErrNoErr;
}

// --- Writing ---

// A new ring beside an old one.
struct NewRing {
  FILE* oldStream = nullptr;  // the reader of the ring
  std::string target;         // the ring's file (a link's target)
  std::string temp;           // the new file beside it
  FILE* stream = nullptr;     // the new file, locked
  bool secret = false;        // the private ring

  // Removes the new file (before its rename).
  void Discard() {
    if (stream != nullptr) {
      std::fclose(stream);
      stream = nullptr;
      unlink(temp.c_str());
    }
  }
};

std::string Resolve(const char* path) {
  char* real = realpath(path, nullptr);
  if (real == nullptr) return path;
  std::string out(real);
  std::free(real);
  return out;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Creates the new file of a ring: locked, with the old file's mode and,
// where permitted, owner.
QOXError Create(NewRing& ring, const PFLFileSpec* fileSpec) {
  ring.target = Resolve(PathOf(fileSpec));
  ring.temp = ring.target + ".new";
  struct stat old {};
  if (fstat(fileno(ring.oldStream), &old) != 0) return kQOXErrFileOpError;
  // A new file left by a flush that did not finish is replaced.
  const int fd = open(ring.temp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return qoxMapOpenErrno(errno, kQOXErrCantOpenFile);
  FILE* stream = fdopen(fd, "w+b");
  if (stream == nullptr) {
    close(fd);
    unlink(ring.temp.c_str());
    return kQOXErrOutOfMemory;
  }
  ring.stream = stream;
  if (QOXError err = qoxPlatformLockFILE(stream, kPFLLockFILE_Write); err != kQOXErrNoErr) {
    ring.Discard();
    return err;
  }
  if (fchmod(fd, old.st_mode & 07777) != 0) {
    ring.Discard();
    return kQOXErrFilePermissions;
  }
  if (old.st_uid != geteuid() || old.st_gid != getegid()) (void)!fchown(fd, old.st_uid, old.st_gid);
  return kQOXErrNoErr;
}

bool Put(FILE* stream, const uint8_t* bytes, size_t length) {
  return length == 0 || std::fwrite(bytes, 1, length, stream) == length;
}

// Skipped with what lies under them: CRLs no longer current, superseded
// signatures.
bool Skipped(QOXKeyDBObj* object) {
  switch (qoxObjectType(object)) {
    case kQOXKeyDBObjType_CRL:
      return !qoxCRLIsCurrent(object, 0);
    case kQOXKeyDBObjType_Sig:
      return qoxSigIsSuperceded(object);
    default:
      return false;
  }
}

bool IsSecretKeyObject(QOXKeyDBObj* object) {
  const int32_t type = qoxObjectType(object);
  if (type != kQOXKeyDBObjType_Key && type != kQOXKeyDBObjType_SubKey) return false;
  const KeyInfo* k = qoxKeyToKeyInfo(object);
  return k != nullptr && (k->keyFlags & kQOXKeyFlag_Secret) != 0;
}

// One object with its trust packet: to the private ring as stored when
// the key is secret, to the public ring in public form.
QOXError WriteObject(QOXKeyDBObj* object, bool secretKey, FILE* privateRing, FILE* publicRing) {
  size_t length = 0;
  const uint8_t* packet = qoxFetchObject(object, &length);
  if (packet == nullptr) return kQOXErrNoErr;
  const bool toPrivate = secretKey && privateRing != nullptr;
  if (toPrivate && !Put(privateRing, packet, length)) return kQOXErrWriteFailed;
  if (IsSecretKeyObject(object)) {
    size_t publicLength = 0;
    uint8_t* publicForm = qoxKeyDBObjToPubData(object, &publicLength);
    if (publicForm == nullptr) return kQOXErrOutOfMemory;
    const bool written = Put(publicRing, publicForm, publicLength);
    QOXFreeData(publicForm);
    if (!written) return kQOXErrWriteFailed;
  } else if (!Put(publicRing, packet, length)) {
    return kQOXErrWriteFailed;
  }
  uint8_t trust[kQOXTrustPacketMaxLength];
  const size_t trustLength = qoxMakeTrustPacket(object, trust);
  if (!Put(publicRing, trust, trustLength)) return kQOXErrWriteFailed;
  if (toPrivate && !Put(privateRing, trust, trustLength)) return kQOXErrWriteFailed;
  return kQOXErrNoErr;
}

QOXError WriteKeys(QOXKeyDB* db, FILE* privateRing, FILE* publicRing) {
  for (QOXKeyDBObj* key = db->firstKey; key != nullptr; key = key->next) {
    if (!qoxKeyDBObjIsReal(key)) continue;
    const bool secretKey = IsSecretKeyObject(key);
    if (QOXError err = WriteObject(key, secretKey, privateRing, publicRing); err != kQOXErrNoErr) return err;
    for (QOXKeyDBObj* child = key->child; child != nullptr; child = child->next) {
      if (!qoxKeyDBObjIsReal(child) || Skipped(child)) continue;
      if (QOXError err = WriteObject(child, secretKey, privateRing, publicRing); err != kQOXErrNoErr) return err;
      for (QOXKeyDBObj* grand = child->child; grand != nullptr; grand = grand->next) {
        if (!qoxKeyDBObjIsReal(grand) || Skipped(grand)) continue;
        if (QOXError err = WriteObject(grand, secretKey, privateRing, publicRing); err != kQOXErrNoErr) return err;
      }
    }
  }
  return kQOXErrNoErr;
}

bool Sync(FILE* stream) { return std::fflush(stream) == 0 && fsync(fileno(stream)) == 0; }

void SyncDirectory(const std::string& directory) {
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)fsync(fd);
  close(fd);
}

// The new file of a ring has replaced it: it becomes the reader, holding
// the lock; the old reader goes.
void TakeOver(QOXKeyDB* db, NewRing& ring) {
  QOXFile*& file = ring.secret ? db->privateFile : db->publicFile;
  FILE*& stream = ring.secret ? db->privateStream : db->publicStream;
  if (file != nullptr) {
    file->close(file);
  } else if (stream != nullptr) {
    std::fclose(stream);
  }
  std::rewind(ring.stream);
  stream = ring.stream;
  file = qoxFileReadOpen(db->context, stream);  // null: the bare stream is kept and closed later
  ring.stream = nullptr;
}

QOXError WriteRings(QOXKeyDB* db) {
  if (db->publicStream == nullptr) return kQOXErrObjectReadOnly;
  NewRing rings[2];
  NewRing& privateRing = rings[0];
  NewRing& publicRing = rings[1];
  privateRing.secret = true;
  privateRing.oldStream = db->privateStream;
  publicRing.oldStream = db->publicStream;
  auto fail = [&](QOXError err) {
    privateRing.Discard();
    publicRing.Discard();
    return err;
  };
  if (db->privateStream != nullptr) {
    if (QOXError err = Create(privateRing, db->privateSpec); err != kQOXErrNoErr) return fail(err);
  }
  if (QOXError err = Create(publicRing, db->publicSpec); err != kQOXErrNoErr) return fail(err);
  if (QOXError err = WriteKeys(db, privateRing.stream, publicRing.stream); err != kQOXErrNoErr) return fail(err);
  for (NewRing& ring : rings) {
    if (ring.stream != nullptr && !Sync(ring.stream)) return fail(kQOXErrWriteFailed);
  }
  if (privateRing.stream != nullptr) {
    if (rename(privateRing.temp.c_str(), privateRing.target.c_str()) != 0)
      return fail(qoxMapOpenErrno(errno, kQOXErrFileOpError));
    TakeOver(db, privateRing);
    SyncDirectory(DirectoryOf(privateRing.target));
  }
  if (rename(publicRing.temp.c_str(), publicRing.target.c_str()) != 0)
    return fail(qoxMapOpenErrno(errno, kQOXErrFileOpError));
  struct stat ring {};
  const bool stated = fstat(fileno(publicRing.stream), &ring) == 0;
  TakeOver(db, publicRing);
  if (stated) MoveClaim(db, ring);
  SyncDirectory(DirectoryOf(publicRing.target));
  return kQOXErrNoErr;
}

}  // namespace

// --- Opening ---

QOXKeyDB* qoxCreateKeyDBFromKeyRings(QOXContext* context, const PFLFileSpec* publicSpec,
                                     const PFLFileSpec* privateSpec, uint32_t openFlags, QOXError* outError) {
  QOXError scratch = kQOXErrNoErr;
  QOXError& err = outError != nullptr ? *outError : scratch;
  err = kQOXErrNoErr;
  for (QOXKeyDB* db = qoxContextGetFirstKeyDB(context); db != nullptr; db = db->next) {
    if (!SameRings(db, publicSpec, privateSpec)) continue;
    if ((err = qoxAddNotification(db, context)) != kQOXErrNoErr) return nullptr;
    ++db->refCount;
    if ((openFlags & kQOXKeyDBOpen_Mutable) != 0 && db->droppedPackets == 0) db->isMutable = 1;
    return db;
  }
  QOXKeyDB* db = nullptr;
  if ((err = qoxNewKeyDB_internal(context, &db)) != kQOXErrNoErr) return nullptr;
  db->openFlags = openFlags;
  err = PFLCopyFileSpec(publicSpec, &db->publicSpec);
  if (err == kQOXErrNoErr && privateSpec != nullptr) err = PFLCopyFileSpec(privateSpec, &db->privateSpec);
  if (err == kQOXErrNoErr) err = OpenRings(db);
  if (err != kQOXErrNoErr) {
    db->isMutable = 0;
    qoxKeyDBDestroy_internal(db);
    return nullptr;
  }
  return db;
}

// --- Flushing ---

QOXError qoxKeyDBFlush_internal(QOXKeyDB* db, QOXKeySet* changed) {
  if (!db->isMutable) return kQOXErrObjectReadOnly;
  if (!db->dirty) return kQOXErrNoErr;
  const QOXSigCheckServices& checks = qoxSigCheckServices();
  if (QOXError err = checks.qoxCheckKeyRingSigs_internal(db->rootSet, nullptr, false, changed); err != kQOXErrNoErr)
    return err;
  if (QOXError err = checks.qoxPropagateTrustInternal(db->rootSet, nullptr, QOXGetTime(), changed);
      err != kQOXErrNoErr)
    return err;
  if (QOXError err = WriteRings(db); err != kQOXErrNoErr) return err;
  db->dirty = 0;
  return kQOXErrNoErr;
}

QOXError qoxKeyDBFlushInternal(QOXKeyDB* db) {
  if (!qoxFrontEndKeyDB(db)) return qoxKeyDBFlush_internal(db, nullptr);
  uintptr_t* changed = nullptr;
  size_t length = 0;
  if (QOXError err = qoxKeyDBFlush_back(db->context, db->backendID, &changed, &length); err != kQOXErrNoErr)
    return err;
  qoxKeyRefreshFromList(db, changed, length);
  db->dirty = 0;
  return kQOXErrNoErr;
}

QOXError QOXFlushKeyDB(QOXKeyDB* db) {
  if (!qoxKeyDBIsValid(db)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  return qoxKeyDBFlushInternal(db);
}

uint32_t qoxKeyDBDroppedPackets(const QOXKeyDB* db) { return db != nullptr ? db->droppedPackets : 0; }

void qoxReleaseRingPair(QOXKeyDB* db) {
  if (db->ringDevice == 0 && db->ringInode == 0) return;
  std::lock_guard<std::mutex> guard(HeldMutex());
  std::vector<HeldPair>& held = Held();
  for (size_t i = 0; i < held.size(); ++i) {
    if (held[i].db == db) {
      held.erase(held.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  db->ringDevice = 0;
  db->ringInode = 0;
}
