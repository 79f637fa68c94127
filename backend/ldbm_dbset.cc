// The required set of database files, creating it with the initial tree,
// and the database lock.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "backend/entry_tables.h"
#include "backend/idl.h"
#include "backend/index.h"
#include "backend/ldbm.h"
#include "backend/ldbm_ops.h"
#include "backend/ldbm_storage.h"
#include "backend/next_id.h"
#include "foundation/byte_order.h"
#include "server/error_log.h"
#include "server/support/zovurez.h"

namespace {

// The initial tree, parents before children.
constexpr int kInitialEntries = 5;
constexpr int idParentIndex[kInitialEntries] = {-1, 0, 0, -1, -1};
constexpr const char* aszDN[kInitialEntries] = {
    "O=QOX KEYSPACE,C=US", "OU=ACTIVE,O=QOX KEYSPACE,C=US", "OU=PENDING,O=QOX KEYSPACE,C=US",
    "O=QOX GROUPSPACE,C=US", "O=QOX CLIENT PREFS SPACE,C=US"};
constexpr const char* aszInitData[kInitialEntries] = {
    "%ld\ndn: O=QOX KEYSPACE,C=US\no: QOX KEYSPACE\nobjectclass: organization\n",
    "%ld\ndn: OU=ACTIVE,O=QOX KEYSPACE,C=US\nou: ACTIVE\nobjectclass: organizationalunit\n",
    "%ld\ndn: OU=PENDING,O=QOX KEYSPACE,C=US\nou: PENDING\nobjectclass: organizationalunit\n",
    "%ld\ndn: O=QOX GROUPSPACE,C=US\no: QOX GROUPSPACE\nobjectclass: organization\n",
    "%ld\ndn: O=QOX CLIENT PREFS SPACE,C=US\no: QOX CLIENT PREFS SPACE\nobjectclass: organization\n"};
constexpr const char* aszObjectClass[kInitialEntries] = {"ORGANIZATION", "ORGANIZATIONALUNIT", "ORGANIZATIONALUNIT",
                                                         "ORGANIZATION", "ORGANIZATION"};

std::string PathOf(Backend* be, const char* name) {
  const char* dir = LdbmState(be)->directory;
  return std::string(dir != nullptr ? dir : "") + '/' + name;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

Datum TextKey(const char* s) { return ldbm_datum_of(s, static_cast<uint32_t>(strlen(s) + 1)); }

class Creator {
 public:
  explicit Creator(Backend* be) : be_(be) {}

  int Run() {
    if (!ReadKnownIds() || !FillEntries() || !FillChildren() || !FillDns() || !FillIndexes()) return -1;
    return created_;
  }

 private:
  // Announces a table about to be created (when none of its files exists).
  void Announce(const char* table) {
    std::string b = PathOf(be_, (std::string(table) + ".dbb").c_str());
    std::string h = PathOf(be_, (std::string(table) + ".dbh").c_str());
    if (Exists(b) || Exists(h)) return;
    LogError(kLogVerbose, "Creating database '%s'.", b.c_str());
    ++created_;
  }

  DbCacheSlot* Open(const char* table) {
    DbCacheSlot* slot = ldbm_cache_open(be_, table, ".dbb", DB_CREATE);
    if (slot == nullptr) {
      int err = errno;
      LogError(kLogError, "Could not open database '%s'.\n  Cause of failure: %s\n",
               PathOf(be_, (std::string(table) + ".dbb").c_str()).c_str(), strerror(err));
    }
    return slot;
  }

  bool WriteFailed(const char* table) {
    LogError(kLogError, "Could not write to database '%s'.\n", PathOf(be_, (std::string(table) + ".dbb").c_str()).c_str());
    return false;
  }

  bool ReadKnownIds() {
    if (!Exists(PathOf(be_, "dn2id.dbb")) && !Exists(PathOf(be_, "dn2id.dbh"))) return true;
    DbSlotHolder db(be_, Open("dn2id"));
    if (db.get() == nullptr) return false;
    for (int i = 0; i < kInitialEntries; ++i) {
      Datum d = ldbm_cache_fetch(db.get(), TextKey(aszDN[i]));
      if (d.data != nullptr && d.size == 4) ids_[i] = static_cast<long>(LoadBE32(static_cast<const uint8_t*>(d.data)));
      ldbm_datum_free(db.get()->dbp, d);
    }
    return true;
  }

  bool FillEntries() {
    Announce("id2entry");
    DbSlotHolder db(be_, Open("id2entry"));
    if (db.get() == nullptr) return false;
    for (int i = 0; i < kInitialEntries; ++i) {
      if (ids_[i] == -1) {
        ids_[i] = next_id(be_, 0);
        if (ids_[i] < 1) return WriteFailed("id2entry");
      }
      uint8_t key[4];
      ldbm_id_bytes(static_cast<ID>(ids_[i]), key);
      Datum old = ldbm_cache_fetch(db.get(), ldbm_datum_of(key, 4));
      if (old.data != nullptr) {
        ldbm_datum_free(db.get()->dbp, old);
        continue;
      }
      char text[256];
      int n = snprintf(text, sizeof text, aszInitData[i], ids_[i]);
      if (ldbm_cache_store(db.get(), ldbm_datum_of(key, 4), ldbm_datum_of(text, static_cast<uint32_t>(n + 1)),
                           DB_NOOVERWRITE) != 0) {
        return WriteFailed("id2entry");
      }
    }
    return true;
  }

  bool FillChildren() {
    Announce("id2children");
    DbSlotHolder db(be_, Open("id2children"));
    if (db.get() == nullptr) return false;
    for (int p = 0; p < kInitialEntries; ++p) {
      for (int c = 0; c < kInitialEntries; ++c) {
        if (idParentIndex[c] != p) continue;
        char key[16];
        snprintf(key, sizeof key, "%c%d", '=', static_cast<int32_t>(ids_[p]));
        if (idl_insert_key(be_, db.get(), TextKey(key), static_cast<ID>(ids_[c])) != 0) {
          return WriteFailed("id2children");
        }
      }
    }
    return true;
  }

  bool FillDns() {
    Announce("dn2id");
    DbSlotHolder db(be_, Open("dn2id"));
    if (db.get() == nullptr) return false;
    for (int i = 0; i < kInitialEntries; ++i) {
      uint8_t value[4];
      ldbm_id_bytes(static_cast<ID>(ids_[i]), value);
      int rc = ldbm_cache_store(db.get(), TextKey(aszDN[i]), ldbm_datum_of(value, 4), DB_NOOVERWRITE);
      if (rc != 0 && rc != DB_KEYEXIST) return WriteFailed("dn2id");
    }
    return true;
  }

  bool FillIndexes() {
    Announce("dn");
    Announce("objectclass");
    for (int i = 0; i < kInitialEntries; ++i) {
      BerValue dn{static_cast<uint32_t>(strlen(aszDN[i])), const_cast<char*>(aszDN[i])};
      BerValue* dns[2] = {&dn, nullptr};
      BerValue oc{static_cast<uint32_t>(strlen(aszObjectClass[i])), const_cast<char*>(aszObjectClass[i])};
      BerValue* ocs[2] = {&oc, nullptr};
      if (index_add_values(be_, "dn", dns, static_cast<ID>(ids_[i])) != 0) return WriteFailed("dn");
      if (index_add_values(be_, "objectclass", ocs, static_cast<ID>(ids_[i])) != 0) {
        return WriteFailed("objectclass");
      }
    }
    return true;
  }

  Backend* be_;
  long ids_[kInitialEntries] = {-1, -1, -1, -1, -1};
  int created_ = 0;
};

}  // namespace

int CheckRequiredDBs(Backend* be, uint16_t* count) {
  uint16_t found = 0;
  const char* alwaysBtree[] = {"NEXTID", "id2entry.dbb", "id2children.dbb"};
  for (const char* name : alwaysBtree) {
    if (Exists(PathOf(be, name))) ++found;
  }
  const char* tables[] = {"dn2id", "dn", "objectclass"};
  for (const char* t : tables) {
    if (Exists(PathOf(be, (std::string(t) + ".dbb").c_str())) || Exists(PathOf(be, (std::string(t) + ".dbh").c_str()))) {
      ++found;
    }
  }
  if (count != nullptr) *count = found;
  if (found == 0) {
    LogError(kLogInfo, "None of the required database files were found.\nThey will be automatically created.\n");
    return 1;
  }
  if (found == 6) return 0;
  LogError(kLogError, "Only some of the required database files were found.\nThe back end can not be initialized.");
  return 1;
}

int CreateDatabases(Backend* be) {
  int result = Creator(be).Run();
  if (be->ops.close != nullptr) {
    be->ops.close(be);
  } else {
    ldbm_back_close(be);
  }
  return result;
}

int LockDBs(Backend* be, FILE** lock) {
  if (lock != nullptr) *lock = nullptr;
  std::string path = PathOf(be, ".lockfile");
  FILE* stream = nullptr;
  if (CreateLockFile(path.c_str(), 0, &stream) != 0) {
    LogError(kLogError, "Database may already be locked by another server.");
    return 1;
  }
  if (lock != nullptr) *lock = stream;
  return 0;
}

int UnlockDBs(FILE* lock) {
  int rc = UnlockLockFile(lock);
  if (rc != 0) LogError(kLogError, "Database could not be unlocked.");
  return rc;
}
