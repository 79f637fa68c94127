// The storage layer: file choice, the open-database cache, the cache split
// table, NEXTID, the required set with the initial tree, and the lock.
#include "backend/ldbm_storage.h"

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>

#include "backend/next_id.h"
#include "ldbm_test_support.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string StatType(const std::string& path) {
  return RunCommand("db5.3_stat -d '" + path + "' 2>&1 | head -3");
}

TEST(LdbmCreate, FreshDirectoryGetsTheInitialTreeInTheRightFileTypes) {
  TempBackend t;
  EXPECT_EQ(CreateDatabases(t.be()), 5);  // id2entry, id2children, dn2id, dn, objectclass

  EXPECT_EQ(ReadFile(t.path("NEXTID")), "6\n");
  for (const char* f : {"id2entry.dbb", "id2children.dbb"}) {
    EXPECT_NE(StatType(t.path(f)).find("Btree"), std::string::npos) << f;
  }
  for (const char* f : {"dn2id.dbh", "dn.dbh", "objectclass.dbh"}) {
    EXPECT_NE(StatType(t.path(f)).find("Hash"), std::string::npos) << f;
  }
  for (const char* f : {"dn2id.dbb", "dn.dbb", "objectclass.dbb"}) EXPECT_FALSE(t.exists(f)) << f;
  for (const char* f : {"id2entry.dbb", "id2children.dbb", "dn2id.dbh", "dn.dbh", "objectclass.dbh"}) {
    int status = 0;
    std::string out = RunCommand("db5.3_verify '" + t.path(f) + "' 2>&1", &status);
    EXPECT_EQ(status, 0) << f << ": " << out;
  }

  DumpedFile entries = DumpFile(t.path("id2entry.dbb"));
  EXPECT_EQ(entries.type, "btree");
  ASSERT_EQ(entries.records.size(), 5u);
  EXPECT_EQ(entries.records[Be32(1)],
            Key("1\ndn: O=QOX KEYSPACE,C=US\no: QOX KEYSPACE\nobjectclass: organization\n"));
  EXPECT_EQ(entries.records[Be32(3)],
            Key("3\ndn: OU=PENDING,O=QOX KEYSPACE,C=US\nou: PENDING\nobjectclass: organizationalunit\n"));
  EXPECT_EQ(entries.records[Be32(5)],
            Key("5\ndn: O=QOX CLIENT PREFS SPACE,C=US\no: QOX CLIENT PREFS SPACE\nobjectclass: organization\n"));

  DumpedFile dns = DumpFile(t.path("dn2id.dbh"));
  EXPECT_EQ(dns.type, "hash");
  std::map<std::string, std::string> wantDns = {
      {Key("O=QOX KEYSPACE,C=US"), Be32(1)},         {Key("OU=ACTIVE,O=QOX KEYSPACE,C=US"), Be32(2)},
      {Key("OU=PENDING,O=QOX KEYSPACE,C=US"), Be32(3)}, {Key("O=QOX GROUPSPACE,C=US"), Be32(4)},
      {Key("O=QOX CLIENT PREFS SPACE,C=US"), Be32(5)}};
  EXPECT_EQ(dns.records, wantDns);

  // The key space holds the active and pending buckets.
  DumpedFile children = DumpFile(t.path("id2children.dbb"));
  ASSERT_EQ(children.records.size(), 1u);
  EXPECT_EQ(Words(children.records[Key("=1")]), (std::vector<uint32_t>{2, 2, 2, 3}));

  DumpedFile classes = DumpFile(t.path("objectclass.dbh"));
  EXPECT_EQ(Words(classes.records[Key("=ORGANIZATION")]), (std::vector<uint32_t>{4, 3, 1, 4, 5, 0}));
  EXPECT_EQ(Words(classes.records[Key("=ORGANIZATIONALUNIT")]), (std::vector<uint32_t>{2, 2, 2, 3}));
  EXPECT_EQ(Words(classes.records[Key("*")]), (std::vector<uint32_t>{8, 5, 1, 2, 3, 4, 5, 0, 0, 0}));
  DumpedFile dnIndex = DumpFile(t.path("dn.dbh"));
  EXPECT_EQ(Words(dnIndex.records[Key("=OU=ACTIVE,O=QOX KEYSPACE,C=US")]), (std::vector<uint32_t>{1, 1, 2}));

  uint16_t found = 0;
  EXPECT_EQ(CheckRequiredDBs(t.be(), &found), 0);
  EXPECT_EQ(found, 6);

  // A second run finds everything and adds nothing.
  EXPECT_EQ(CreateDatabases(t.be()), 0);
  EXPECT_EQ(ReadFile(t.path("NEXTID")), "6\n");
  EXPECT_EQ(DumpFile(t.path("id2entry.dbb")).records, entries.records);
  EXPECT_EQ(DumpFile(t.path("dn2id.dbh")).records, dns.records);
  EXPECT_EQ(DumpFile(t.path("id2children.dbb")).records, children.records);
  EXPECT_EQ(DumpFile(t.path("objectclass.dbh")).records, classes.records);
}

TEST(LdbmCreate, RequiredSetCounts) {
  TempBackend t;
  uint16_t found = 99;
  EXPECT_EQ(CheckRequiredDBs(t.be(), &found), 1);
  EXPECT_EQ(found, 0);
  std::ofstream(t.path("NEXTID")) << "1\n";
  std::ofstream(t.path("dn.dbb")) << "";
  EXPECT_EQ(CheckRequiredDBs(t.be(), &found), 1);
  EXPECT_EQ(found, 2);
}

TEST(LdbmOpen, FileTypeFollowsTheNameAndExistingFiles) {
  TempBackend t;
  // An existing B-tree "dn2id.dbb" stays in use as a B-tree.
  DB* db = ldbm_open(t.path("dn2id.dbb").c_str(), DB_CREATE, 0644, 0);
  ASSERT_NE(db, nullptr);
  ldbm_close(db);
  ASSERT_TRUE(t.exists("dn2id.dbh"));  // a missing dn2id.dbb is made as a hash file
  ASSERT_FALSE(t.exists("dn2id.dbb"));
  std::filesystem::remove(t.path("dn2id.dbh"));
  std::string made = RunCommand("printf 'VERSION=3\\nformat=print\\ntype=btree\\nHEADER=END\\nDATA=END\\n' | "
                                "db5.3_load '" + t.path("dn2id.dbb") + "' 2>&1");
  ASSERT_TRUE(t.exists("dn2id.dbb")) << made;
  DbCacheSlot* slot = ldbm_cache_open(t.be(), "dn2id", ".dbb", DB_CREATE);
  ASSERT_NE(slot, nullptr);
  uint8_t id[4] = {0, 0, 0, 7};
  EXPECT_EQ(ldbm_cache_store(slot, ldbm_datum_of("X\0", 2), ldbm_datum_of(id, 4), 0), 0);
  ldbm_cache_close(t.be(), slot);
  ldbm_back_close(t.be());
  EXPECT_FALSE(t.exists("dn2id.dbh"));
  EXPECT_EQ(DumpFile(t.path("dn2id.dbb")).type, "btree");

  // The B-tree words count in the file name only, not in the directory.
  std::filesystem::create_directory(t.path("id2entry-data"));
  db = ldbm_open((t.path("id2entry-data") + "/objectclass.dbb").c_str(), DB_CREATE, 0644, 0);
  ASSERT_NE(db, nullptr);
  ldbm_close(db);
  EXPECT_TRUE(std::filesystem::exists(t.path("id2entry-data") + "/objectclass.dbh"));

  // Only ".dbb" and ".dbh" are opened at all.
  for (const char* name : {"x.db", "noextension", "x.dbx"}) {
    EXPECT_EQ(ldbm_open(t.path(name).c_str(), DB_CREATE, 0644, 0), nullptr) << name;
    EXPECT_FALSE(t.exists(name)) << name;
  }
}

TEST(LdbmOpen, HashAndBtreeOpenThroughTheirNames) {
  TempBackend t;
  DB* db = ldbm_open(t.path("modifytimestamp.dbb").c_str(), DB_CREATE, 0644, 50000);
  ASSERT_NE(db, nullptr);
  ldbm_close(db);
  EXPECT_EQ(DumpFile(t.path("modifytimestamp.dbb")).type, "btree");
  db = ldbm_open(t.path("qoxkeyid.dbh").c_str(), DB_CREATE, 0644, 50000);
  ASSERT_NE(db, nullptr);
  ldbm_close(db);
  EXPECT_EQ(DumpFile(t.path("qoxkeyid.dbh")).type, "hash");
}

uint32_t PageSize(DB* db) {
  uint32_t size = 0;
  EXPECT_EQ(db->get_pagesize(db, &size), 0);
  return size;
}

TEST(LdbmOpen, EntryTablePagesHoldAKeyEntryAndOldFilesKeepTheirPages) {
  // A key entry of an RSA key: about 1.9 KB of text, above a quarter of a
  // 4 KiB page.
  const std::string entry(1900, 'k');
  uint8_t id[4] = {0, 0, 0, 9};
  {
    TempBackend t;
    DbCacheSlot* slot = ldbm_cache_open(t.be(), "id2entry", ".dbb", DB_CREATE);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(PageSize(slot->dbp), kEntryTablePageSize);
    EXPECT_EQ(ldbm_cache_store(slot, ldbm_datum_of(id, 4), ldbm_datum_of(entry.data(), 1900), 0), 0);
    ldbm_cache_close(t.be(), slot);
    DbCacheSlot* other = ldbm_cache_open(t.be(), "id2children", ".dbb", DB_CREATE);
    ASSERT_NE(other, nullptr);
    EXPECT_LT(PageSize(other->dbp), kEntryTablePageSize);
    ldbm_cache_close(t.be(), other);
    ldbm_back_close(t.be());
    std::string stat = RunCommand("db5.3_stat -d '" + t.path("id2entry.dbb") + "' 2>&1");
    EXPECT_NE(stat.find("0\tNumber of tree overflow pages"), std::string::npos) << stat;
    int status = 0;
    EXPECT_EQ((RunCommand("db5.3_verify '" + t.path("id2entry.dbb") + "' 2>&1", &status), status), 0);
  }
  {
    // An entry table made with 4 KiB pages, as directories were made before:
    // it opens, takes and gives back entries, and keeps its pages.
    TempBackend t;
    std::string made = RunCommand("printf 'VERSION=3\\nformat=print\\ntype=btree\\ndb_pagesize=4096\\n"
                                  "HEADER=END\\nDATA=END\\n' | db5.3_load '" + t.path("id2entry.dbb") + "' 2>&1");
    ASSERT_TRUE(t.exists("id2entry.dbb")) << made;
    DbCacheSlot* slot = ldbm_cache_open(t.be(), "id2entry", ".dbb", DB_CREATE);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(PageSize(slot->dbp), 4096u);
    EXPECT_EQ(ldbm_cache_store(slot, ldbm_datum_of(id, 4), ldbm_datum_of(entry.data(), 1900), 0), 0);
    Datum got = ldbm_cache_fetch(slot, ldbm_datum_of(id, 4));
    ASSERT_NE(got.data, nullptr);
    EXPECT_EQ(std::string(static_cast<char*>(got.data), got.size), entry);
    ldbm_datum_free(slot->dbp, got);
    ldbm_cache_close(t.be(), slot);
    ldbm_back_close(t.be());
    int status = 0;
    EXPECT_EQ((RunCommand("db5.3_verify '" + t.path("id2entry.dbb") + "' 2>&1", &status), status), 0);
  }
}

TEST(LdbmOpen, StoreFetchDeleteAndCursor) {
  TempBackend t;
  DbCacheSlot* slot = ldbm_cache_open(t.be(), "qoxkeyid", ".dbb", DB_CREATE);
  ASSERT_NE(slot, nullptr);
  Datum key = ldbm_datum_of("k\0", 2);
  EXPECT_EQ(ldbm_cache_store(slot, key, ldbm_datum_of("one", 3), 0), 0);
  EXPECT_EQ(ldbm_cache_store(slot, key, ldbm_datum_of("two", 3), DB_NOOVERWRITE), DB_KEYEXIST);
  EXPECT_EQ(ldbm_cache_store(slot, key, ldbm_datum_of("three", 5), kLdbmSyncAfterPut), 0);
  Datum got = ldbm_cache_fetch(slot, key);
  ASSERT_NE(got.data, nullptr);
  EXPECT_EQ(std::string(static_cast<char*>(got.data), got.size), "three");
  Datum copy = ldbm_datum_dup(slot->dbp, got);
  ldbm_datum_free(slot->dbp, got);
  EXPECT_EQ(std::string(static_cast<char*>(copy.data), copy.size), "three");
  ldbm_datum_free(slot->dbp, copy);

  DBC* cursor = nullptr;
  Datum k, d;
  ASSERT_EQ(ldbm_getfirst(slot->dbp, &cursor, &k, &d), 0);
  EXPECT_EQ(k.size, 2u);
  ldbm_datum_free(slot->dbp, k);
  ldbm_datum_free(slot->dbp, d);
  EXPECT_EQ(ldbm_getnext(slot->dbp, cursor, &k, &d), DB_NOTFOUND);
  ldbm_closeget(slot->dbp, cursor);

  EXPECT_EQ(ldbm_cache_delete(slot, key), 0);
  EXPECT_EQ(ldbm_cache_fetch(slot, key).data, nullptr);
  EXPECT_EQ(ldbm_cache_delete(slot, key), DB_NOTFOUND);
  ldbm_cache_close(t.be(), slot);
}

TEST(LdbmCache, SameTableSharesOneSlot) {
  TempBackend t;
  DbCacheSlot* a = ldbm_cache_open(t.be(), "qoxkeyid", ".dbb", DB_CREATE);
  DbCacheSlot* b = ldbm_cache_open(t.be(), "qoxkeyid", ".dbb", DB_CREATE);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->refcnt, 2);
  EXPECT_EQ(std::string(a->name), t.path("qoxkeyid.dbb"));  // the asked-for name, though the file is .dbh
  ldbm_cache_close(t.be(), a);
  EXPECT_EQ(a->refcnt, 1);
  EXPECT_NE(a->dbp, nullptr);
  EXPECT_EQ(a->maxids, a->blockSize / 4 - 2);
  EXPECT_EQ(a->maxindirect, 4000 / a->maxids + 1);
  EXPECT_EQ(a->blockSize, 4096u);  // the hash file's ".dbb" name does not exist
  ldbm_cache_close(t.be(), b);
}

// A caller holding slots never waits for one: more tables than the kept
// slots may be held at once (a fixed table of fifteen deadlocked here).
TEST(LdbmCache, MoreHeldTablesThanKeptSlotsAllOpen) {
  TempBackend t;
  std::vector<DbCacheSlot*> held;
  for (int i = 0; i < kDbCacheSlotsKept + 5; ++i) {
    DbCacheSlot* s = ldbm_cache_open(t.be(), ("attr" + std::to_string(i)).c_str(), ".dbb", DB_CREATE);
    ASSERT_NE(s, nullptr) << i;
    held.push_back(s);
  }
  std::set<DbCacheSlot*> distinct(held.begin(), held.end());
  EXPECT_EQ(distinct.size(), held.size());
  for (DbCacheSlot* s : held) ldbm_cache_close(t.be(), s);

  // With every slot unused, a new table evicts one instead of growing, and
  // a table is never open twice.
  int before = t.li()->dbCacheCount;
  DbCacheSlot* s = ldbm_cache_open(t.be(), "another", ".dbb", DB_CREATE);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(t.li()->dbCacheCount, before);
  std::set<std::string> names;
  int open = 0;
  for (int i = 0; i < t.li()->dbCacheCount; ++i) {
    if (t.li()->dbCache[i]->name == nullptr) continue;
    ++open;
    names.insert(t.li()->dbCache[i]->name);
  }
  EXPECT_EQ(static_cast<int>(names.size()), open);
  ldbm_cache_close(t.be(), s);
}

TEST(LdbmCache, UnusedTablesAreClosedToStayWithinTheKeptSlots) {
  TempBackend t;
  for (int i = 0; i < 40; ++i) {
    DbCacheSlot* s = ldbm_cache_open(t.be(), ("table" + std::to_string(i % 20)).c_str(), ".dbb", DB_CREATE);
    ASSERT_NE(s, nullptr);
    uint8_t v = static_cast<uint8_t>(i);
    ASSERT_EQ(ldbm_cache_store(s, ldbm_datum_of("k\0", 2), ldbm_datum_of(&v, 1), 0), 0);
    ldbm_cache_close(t.be(), s);
  }
  EXPECT_EQ(t.li()->dbCacheCount, kDbCacheSlotsKept);
  ldbm_back_close(t.be());
  // Every file kept its last write through the evictions.
  for (int i = 0; i < 20; ++i) {
    DumpedFile d = DumpFile(t.path("table" + std::to_string(i) + ".dbh"));
    EXPECT_EQ(d.records[Key("k")], std::string(1, static_cast<char>(20 + i))) << i;
  }
}

TEST(LdbmCache, ReallyCloseAndFlushAndCloseAll) {
  TempBackend t;
  DbCacheSlot* a = ldbm_cache_open(t.be(), "one", ".dbb", DB_CREATE);
  DbCacheSlot* b = ldbm_cache_open(t.be(), "two", ".dbb", DB_CREATE);
  ldbm_cache_open(t.be(), "one", ".dbb", DB_CREATE);
  ldbm_cache_really_close(t.be(), a);  // two holders: only one given back
  EXPECT_NE(a->name, nullptr);
  ldbm_cache_close(t.be(), a);
  ldbm_cache_flush_and_close_all(t.be());  // a unused: closed; b held: open
  EXPECT_EQ(a->name, nullptr);
  EXPECT_NE(b->name, nullptr);
  ldbm_cache_really_close(t.be(), b);
  EXPECT_EQ(b->name, nullptr);
}

TEST(LdbmCacheSplit, PercentagesAndTheirChecks) {
  ResetCacheSplitInfo();
  EXPECT_EQ(CheckCacheSplitInfo(), 0);
  EXPECT_EQ(GetCacheSplitOffset("QOXUserID"), 13);
  EXPECT_EQ(GetCacheSplitOffset("dn"), 0);
  EXPECT_EQ(GetCacheSplitOffset("cn"), -1);
  EXPECT_EQ(SetCacheSplitInfo("dn", 87), 1);
  EXPECT_EQ(SetCacheSplitInfo("dn", 0), 1);
  EXPECT_EQ(SetCacheSplitInfo("cn", 10), 2);
  EXPECT_EQ(SetCacheSplitInfo("dn", 50), 0);
  EXPECT_EQ(SetCacheSplitInfo("id2entry", 50), 0);
  EXPECT_EQ(CheckCacheSplitInfo(), 1);
  ResetCacheSplitInfo();
  const char* tables[] = {"dn",       "dn2id",    "id2children", "id2entry",  "modifytimestamp",
                          "objectclass", "qoxcertid", "qoxdisabled", "qoxkeyexpiretime", "qoxkeyid",
                          "qoxrevoked", "qoxsignerid", "qoxsubkeyid", "qoxuserid"};
  for (int i = 0; i < 14; ++i) ASSERT_EQ(SetCacheSplitInfo(tables[i], i < 13 ? 7 : 8), 0);
  EXPECT_EQ(CheckCacheSplitInfo(), 2);  // 99
  EXPECT_EQ(SetCacheSplitInfo("qoxuserid", 9), 0);
  EXPECT_EQ(CheckCacheSplitInfo(), 0);
  EXPECT_EQ(ldbm_table_cache_size("qoxuserid", 1000000), 90000);
  EXPECT_EQ(ldbm_table_cache_size("cn", 1400000), 100000);  // no share: a fourteenth
  ResetCacheSplitInfo();
  CheckCacheSplitInfo();
  EXPECT_EQ(ldbm_table_cache_size("dn", 1400000), 100000);
}

TEST(NextId, PeekTakeAndGiveBack) {
  TempBackend t;
  EXPECT_EQ(next_id(t.be(), 1), 1);
  EXPECT_EQ(next_id(t.be(), 1), 1);
  EXPECT_EQ(ReadFile(t.path("NEXTID")), "1\n");
  EXPECT_EQ(next_id(t.be(), 0), 1);
  EXPECT_EQ(ReadFile(t.path("NEXTID")), "2\n");
  EXPECT_EQ(next_id(t.be(), 0), 2);
  next_id_return(t.be(), 2);
  EXPECT_EQ(ReadFile(t.path("NEXTID")).substr(0, 2), "2\n");
  // Too late: 1 was handed out before 2 and is in use. Only logged, also
  // now that the next ID is 2 again (a second give-back would reuse 1).
  next_id_return(t.be(), 1);
  next_id_return(t.be(), 2);
  EXPECT_EQ(next_id(t.be(), 0), 2);
  EXPECT_EQ(t.li()->nextId, 3);
  next_id_return(t.be(), 1);
  EXPECT_EQ(next_id(t.be(), 0), 3);
}

TEST(NextId, ExistingFileIsContinued) {
  TempBackend t;
  std::ofstream(t.path("NEXTID")) << "41\n";
  EXPECT_EQ(next_id(t.be(), 0), 41);
  EXPECT_EQ(ReadFile(t.path("NEXTID")), "42\n");
}

TEST(NextId, FailuresAreSticky) {
  TempBackend t;
  std::ofstream(t.path("NEXTID")) << "garbage\n";
  EXPECT_EQ(next_id(t.be(), 0), -1);
  std::ofstream(t.path("NEXTID")) << "7\n";
  EXPECT_EQ(next_id(t.be(), 0), -1);  // never again in this process

  TempBackend longPath;
  zovurezFree(longPath.li()->directory);
  longPath.li()->directory = zovurezStrdup(("/" + std::string(1017, 'd')).c_str());
  EXPECT_EQ(next_id(longPath.be(), 1), -1);
  EXPECT_EQ(next_id(longPath.be(), 0), -1);
}

// The lock file excludes another process (lockf locks are per process).
TEST(LdbmLock, SecondProcessIsRefused) {
  TempBackend t;
  FILE* lock = nullptr;
  ASSERT_EQ(LockDBs(t.be(), &lock), 0);
  ASSERT_NE(lock, nullptr);
  pid_t child = fork();
  if (child == 0) {
    FILE* other = nullptr;
    _exit(LockDBs(t.be(), &other) == 1 && other == nullptr ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(UnlockDBs(lock), 0);
  child = fork();
  if (child == 0) {
    FILE* other = nullptr;
    _exit(LockDBs(t.be(), &other) == 0 ? 0 : 1);
  }
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
