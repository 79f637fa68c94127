// Key-ring files: opening and locking, the flush that replaces each ring by
// a new file, its failures, and what a trusted read may not drop. gpg is
// the oracle for the rings written.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "foundation/context.h"
#include "foundation/file_spec.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_files.h"
#include "keydb/ring_files.h"
#include "keydb/trust_packet.h"
#include "keydb_test_support.h"

namespace keydb_test {
namespace {

namespace fs = std::filesystem;

Bytes Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Spill(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// Runs body in a child process and returns its exit status (or 128 + the
// signal that ended it).
template <typename Body>
int InChild(Body body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class RingFilesTest : public KeyDBTest {
 protected:
  void SetUp() override {
    KeyDBTest::SetUp();
    char pattern[] = "/tmp/ostrak-rings-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    pub_ = dir_ + "/pubring.pkr";
    sec_ = dir_ + "/secring.skr";
  }
  void TearDown() override {
    for (PFLFileSpec* s : specs_) PFLFreeFileSpec(s);
    chmod(dir_.c_str(), 0700);
    fs::remove_all(dir_);
    KeyDBTest::TearDown();
  }

  PFLFileSpec* Spec(const std::string& path) {
    PFLFileSpec* spec = nullptr;
    EXPECT_EQ(PFLNewFileSpecFromFullPath(QOXPeekContextMemoryMgr(context_), path.c_str(), &spec), 0);
    specs_.push_back(spec);
    return spec;
  }

  QOXError Open(uint32_t flags, QOXKeyDB** out, QOXContext* context = nullptr, const std::string& pub = "") {
    return QOXOpenKeyDBFile(context != nullptr ? context : context_, flags, Spec(pub.empty() ? pub_ : pub),
                            Spec(sec_), out);
  }

  // Rings holding the public keys of the four fixtures and Alice's and
  // Carol's secret keys, gpg's exports as they are.
  void WriteFixtureRings() {
    Spill(pub_, Cat({ReadFile("alice.bin"), ReadFile("bob.bin"), ReadFile("carol.bin"), ReadFile("dave.bin")}));
    Spill(sec_, Cat({ReadFile("alice.sec.bin"), ReadFile("carol.sec.bin")}));
    chmod(pub_.c_str(), 0600);
    chmod(sec_.c_str(), 0600);
  }

  // Opens the rings mutable, marks the database changed and flushes it.
  void OpenChangeFlush(QOXKeyDB** out) {
    ASSERT_EQ(Open(kQOXKeyDBOpen_Mutable, out), 0);
    ASSERT_TRUE(QOXKeyDBIsMutable(*out));
    qoxKeyDBChanged(*out, false);
    ASSERT_EQ(QOXFlushKeyDB(*out), 0);
  }

  std::string dir_, pub_, sec_;
  std::vector<PFLFileSpec*> specs_;
};

TEST_F(RingFilesTest, CreatedRingsAreOwnerOnlyAndAFlushKeepsModeAlsoThroughALink) {
  QOXKeyDB* db = nullptr;
  EXPECT_EQ(Open(kQOXKeyDBOpen_Mutable, &db), kQOXErrFileNotFound) << "no create flag";
  ASSERT_EQ(Open(kQOXKeyDBOpen_Mutable | kQOXKeyDBOpen_Create, &db), 0);
  EXPECT_EQ(ModeOf(pub_), 0600u);
  EXPECT_EQ(ModeOf(sec_), 0600u);
  EXPECT_EQ(QOXFreeKeyDB(db), 0);

  // The public ring reached through a symbolic link, its target made
  // readable by the group: the flush writes the target and keeps both.
  WriteFixtureRings();
  const std::string target = dir_ + "/real-pubring.pkr";
  ASSERT_EQ(rename(pub_.c_str(), target.c_str()), 0);
  ASSERT_EQ(symlink(target.c_str(), pub_.c_str()), 0);
  chmod(target.c_str(), 0640);
  OpenChangeFlush(&db);
  EXPECT_TRUE(fs::is_symlink(pub_));
  EXPECT_EQ(ModeOf(target), 0640u);
  EXPECT_EQ(ModeOf(sec_), 0600u);
  EXPECT_NE(Slurp(target), Cat({ReadFile("alice.bin"), ReadFile("bob.bin"), ReadFile("carol.bin"),
                                ReadFile("dave.bin")}))
      << "the flush wrote the target (with trust packets)";
  EXPECT_EQ(QOXFreeKeyDB(db), 0);
  EXPECT_FALSE(fs::exists(target + ".new"));
  EXPECT_FALSE(fs::exists(sec_ + ".new"));

  // Read back: the same keys.
  ASSERT_EQ(Open(0, &db), 0);
  uint32_t count = 0;
  EXPECT_EQ(QOXCountKeysInKeyDB(db, &count), 0);
  EXPECT_EQ(count, 4u);
  EXPECT_FALSE(QOXKeyDBIsMutable(db));
  EXPECT_EQ(QOXFlushKeyDB(db), kQOXErrObjectReadOnly);
  EXPECT_EQ(QOXFreeKeyDB(db), 0);
}

TEST_F(RingFilesTest, TrustPacketFollowsEveryObjectButASelfRevocation) {
  // Alice's key gets a revocation of itself right after its key packet.
  const std::vector<Packet> alice = SplitPackets(ReadFile("alice.bin"));
  const uint8_t aliceID[8] = {0x7F, 0x5B, 0x1A, 0x77, 0x95, 0xC7, 0x77, 0xD2};
  const Bytes revocation = V4Sig(0x20, aliceID, 1700000000);
  Bytes ring = alice[0].bytes;
  ring = Cat({ring, revocation});
  for (size_t i = 1; i < alice.size(); ++i) ring = Cat({ring, alice[i].bytes});
  Spill(pub_, Cat({ring, ReadFile("bob.bin")}));
  Spill(sec_, ReadFile("alice.sec.bin"));
  QOXKeyDB* db = nullptr;
  OpenChangeFlush(&db);
  EXPECT_EQ(QOXFreeKeyDB(db), 0);

  const std::vector<Packet> written = SplitPackets(Slurp(pub_));
  ASSERT_FALSE(written.empty());
  size_t objects = 0, revocations = 0;
  for (size_t i = 0; i < written.size(); ++i) {
    if (written[i].tag == kQOXPktTag_Trust) continue;
    ++objects;
    const bool selfRevocation = written[i].bytes == revocation;
    revocations += selfRevocation;
    const bool followed = i + 1 < written.size() && written[i + 1].tag == kQOXPktTag_Trust;
    EXPECT_EQ(followed, !selfRevocation) << "packet " << i << " tag " << written[i].tag;
  }
  EXPECT_EQ(revocations, 1u);
  EXPECT_EQ(objects, SplitPackets(ring).size() + SplitPackets(ReadFile("bob.bin")).size());

  // The private ring holds Alice's secret key packets, each with its trust
  // packet; the public ring holds her key in public form.
  const std::vector<Packet> secret = SplitPackets(Slurp(sec_));
  ASSERT_GE(secret.size(), 2u);
  EXPECT_EQ(secret[0].tag, kQOXPktTag_SecretKey);
  EXPECT_EQ(secret[1].tag, kQOXPktTag_Trust);
  EXPECT_EQ(std::count_if(written.begin(), written.end(),
                          [](const Packet& p) { return p.tag == kQOXPktTag_SecretKey || p.tag == kQOXPktTag_SecretSubKey; }),
            0);
}

// gpg's view of a key file: per key its fingerprint, and each user ID and
// subkey with the number of signatures gpg lists under it.
std::vector<std::string> GpgView(const std::string& file) {
  char pattern[] = "/tmp/ostrak-gpg-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return {"mkdtemp"};
  const std::string home = pattern;
  const std::string listing = home + "/listing";
  const std::string gpg = "gpg --batch --no-tty --homedir " + home;
  const int imported = std::system((gpg + " --import " + file + " >/dev/null 2>&1").c_str());
  const int listed = std::system((gpg + " --with-colons --list-sigs > " + listing + " 2>/dev/null").c_str());
  std::vector<std::string> view;
  std::string key, item;
  int sigs = 0;
  std::vector<std::string> items;
  auto close = [&] {
    if (!item.empty()) items.push_back(item + " sigs=" + std::to_string(sigs));
    item.clear();
    sigs = 0;
  };
  auto closeKey = [&] {
    close();
    std::sort(items.begin(), items.end());
    for (const std::string& i : items) view.push_back(key + " " + i);
    items.clear();
  };
  std::ifstream in(listing);
  std::string line;
  bool wantFpr = false;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream s(line);
    for (std::string x; std::getline(s, x, ':');) f.push_back(x);
    if (f.empty()) continue;
    if (f[0] == "pub") {
      closeKey();
      wantFpr = true;
      item = "key";
    } else if (f[0] == "fpr" && wantFpr && f.size() > 9) {
      key = f[9];
      wantFpr = false;
    } else if (f[0] == "uid" && f.size() > 9) {
      close();
      item = "uid " + f[9];
    } else if (f[0] == "sub" && f.size() > 4) {
      close();
      item = "sub " + f[4];
    } else if (f[0] == "sig" || f[0] == "rev") {
      ++sigs;
    }
  }
  closeKey();
  std::sort(view.begin(), view.end());  // key order is the ring's
  // The home goes only after any agent gpg started there has stopped (its
  // sockets vanish under a removal that runs beside it), and a removal
  // that still fails is no failure of the rings.
  (void)std::system(("gpgconf --homedir " + home + " --kill all >/dev/null 2>&1").c_str());
  std::error_code ignored;
  fs::remove_all(home, ignored);
  if (imported != 0 || listed != 0) view.push_back("gpg failed");
  return view;
}

TEST_F(RingFilesTest, GpgImportsOurPublicRingAsTheKeysItCameFrom) {
  WriteFixtureRings();
  const std::string original = dir_ + "/original.bin";
  Spill(original, Slurp(pub_));
  QOXKeyDB* db = nullptr;
  OpenChangeFlush(&db);
  EXPECT_EQ(QOXFreeKeyDB(db), 0);
  const std::vector<std::string> expected = GpgView(original);
  ASSERT_GE(expected.size(), 8u);
  EXPECT_EQ(GpgView(pub_), expected);
}

TEST_F(RingFilesTest, OneDatabasePerRingPairPerProcess) {
  WriteFixtureRings();
  // Another process, started before this one opens the rings, tries once
  // they are open: read-only and mutable.
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    close(go[1]);
    char byte = 0;
    if (read(go[0], &byte, 1) != 1) _exit(1);
    for (uint32_t flags : {0u, kQOXKeyDBOpen_Mutable}) {
      QOXKeyDB* db = nullptr;
      if (Open(flags, &db) != kQOXErrFileLocked || db != nullptr) _exit(2 + static_cast<int>(flags));
    }
    _exit(0);
  }
  close(go[0]);

  QOXKeyDB* first = nullptr;
  ASSERT_EQ(Open(0, &first), 0);
  EXPECT_FALSE(QOXKeyDBIsMutable(first));
  ASSERT_EQ(write(go[1], "g", 1), 1);
  close(go[1]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other process was not refused: " << status;

  // The same context gets the same database, mutable when asked.
  QOXKeyDB* again = nullptr;
  ASSERT_EQ(Open(kQOXKeyDBOpen_Mutable, &again), 0);
  EXPECT_EQ(again, first);
  EXPECT_TRUE(QOXKeyDBIsMutable(first));
  EXPECT_EQ(QOXFreeKeyDB(again), 0);
  EXPECT_TRUE(qoxKeyDBIsValid(first)) << "one reference remains";

  // Another context of the process, read-only or not, is refused, also
  // when it names the public ring through a link.
  QOXContext* other = nullptr;
  ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &other), 0);
  const std::string link = dir_ + "/link.pkr";
  ASSERT_EQ(symlink(pub_.c_str(), link.c_str()), 0);
  for (uint32_t flags : {0u, kQOXKeyDBOpen_Mutable}) {
    QOXKeyDB* refused = reinterpret_cast<QOXKeyDB*>(1);
    EXPECT_EQ(Open(flags, &refused, other), kQOXErrFileLocked) << flags;
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(Open(flags, &refused, other, link), kQOXErrFileLocked) << flags;
  }
  EXPECT_EQ(QOXFreeKeyDB(first), 0);

  // Released, the other context may open it.
  QOXKeyDB* db = nullptr;
  EXPECT_EQ(Open(0, &db, other), 0);
  EXPECT_EQ(QOXFreeKeyDB(db), 0);
  QOXFreeContext(other);
}

// A child flushing the rings over and over is killed at random points:
// each flush writes the same bytes, so the rings must read back exactly as
// one flush writes them.
TEST_F(RingFilesTest, AFlushKilledAtAnyPointLeavesWholeRings) {
  WriteFixtureRings();
  QOXKeyDB* db = nullptr;
  OpenChangeFlush(&db);
  EXPECT_EQ(QOXFreeKeyDB(db), 0);
  const Bytes publicRing = Slurp(pub_);
  const Bytes privateRing = Slurp(sec_);
  std::mt19937 random(20261211);
  for (int round = 0; round < 12; ++round) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      close(ready[0]);
      QOXKeyDB* child = nullptr;
      if (Open(kQOXKeyDBOpen_Mutable, &child) != 0) _exit(1);
      if (write(ready[1], "r", 1) != 1) _exit(2);
      for (;;) {
        qoxKeyDBChanged(child, false);
        if (QOXFlushKeyDB(child) != 0) _exit(3);
      }
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the child never opened the rings";
    close(ready[0]);
    // The kill lands somewhere in the child's run of flushes.
    usleep(std::uniform_int_distribution<useconds_t>(0, 40000)(random));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped on its own: " << WEXITSTATUS(status);
    EXPECT_EQ(Slurp(pub_), publicRing) << "round " << round;
    EXPECT_EQ(Slurp(sec_), privateRing) << "round " << round;
  }
  ASSERT_EQ(Open(kQOXKeyDBOpen_Mutable, &db), 0) << "a killed holder's locks are gone";
  uint32_t count = 0;
  EXPECT_EQ(QOXCountKeysInKeyDB(db, &count), 0);
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(QOXFreeKeyDB(db), 0);
}

TEST_F(RingFilesTest, AFailedWriteOrAReadOnlyDirectoryLeavesTheRingsUntouched) {
  WriteFixtureRings();
  const Bytes publicRing = Slurp(pub_);
  const Bytes privateRing = Slurp(sec_);
  // A file-size limit below the rings' size makes a write fail.
  EXPECT_EQ(InChild([&] {
              QOXKeyDB* db = nullptr;
              if (Open(kQOXKeyDBOpen_Mutable, &db) != 0) return 1;
              signal(SIGXFSZ, SIG_IGN);
              const rlimit limit{1024, 1024};
              if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
              qoxKeyDBChanged(db, false);
              if (QOXFlushKeyDB(db) != kQOXErrWriteFailed) return 3;
              if (!qoxKeyDBIsDirty(db)) return 4;
              // The release flushes again, fails again, and says so.
              return QOXFreeKeyDB(db) == kQOXErrWriteFailed ? 0 : 5;
            }),
            0);
  EXPECT_EQ(Slurp(pub_), publicRing);
  EXPECT_EQ(Slurp(sec_), privateRing);
  EXPECT_FALSE(fs::exists(pub_ + ".new"));
  EXPECT_FALSE(fs::exists(sec_ + ".new"));

  // A directory the process may not write: the new file is refused. Root
  // may write anywhere, so the child gives up root first.
  if (geteuid() == 0) {
    for (const std::string& p : {dir_, pub_, sec_}) ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0);
  }
  ASSERT_EQ(chmod(dir_.c_str(), 0500), 0);
  EXPECT_EQ(InChild([&] {
              if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 1;
              QOXKeyDB* db = nullptr;
              if (Open(kQOXKeyDBOpen_Mutable, &db) != 0) return 2;
              qoxKeyDBChanged(db, false);
              if (QOXFlushKeyDB(db) != kQOXErrFilePermissions) return 3;
              return QOXFreeKeyDB(db) == kQOXErrFilePermissions ? 0 : 4;
            }),
            0);
  ASSERT_EQ(chmod(dir_.c_str(), 0700), 0);
  EXPECT_EQ(Slurp(pub_), publicRing);
  EXPECT_EQ(Slurp(sec_), privateRing);
}

TEST_F(RingFilesTest, ACRLAfterASubkeySurvivesAReload) {
  // Alice's key, user ID and signatures, her subkey with its binding, then
  // a CRL packet.
  const Bytes crl = NewPacket(60, {1, 0x30, 0x03, 0x02, 0x01, 0x00});
  Spill(pub_, Cat({ReadFile("alice.bin"), crl}));
  Spill(sec_, {});
  QOXKeyDB* db = nullptr;
  for (int pass = 0; pass < 2; ++pass) {
    ASSERT_EQ(Open(kQOXKeyDBOpen_Mutable, &db), 0) << pass;
    EXPECT_TRUE(QOXKeyDBIsMutable(db)) << "the CRL was not dropped, pass " << pass;
    ASSERT_NE(db->firstKey, nullptr);
    const auto crls = Children(db->firstKey, kQOXKeyDBObjType_CRL);
    ASSERT_EQ(crls.size(), 1u) << pass;
    size_t length = 0;
    const uint8_t* packet = qoxFetchObject(crls[0], &length);
    EXPECT_EQ(Bytes(packet, packet + length), crl);
    qoxKeyDBChanged(db, false);
    EXPECT_EQ(QOXFreeKeyDB(db), 0) << "the release flushes";
  }
}

// A trusted read that drops a packet opens the rings read-only; trust
// packets and tag 16 before the first key are not dropped packets.
TEST_F(RingFilesTest, ADroppedPacketOpensTheRingsReadOnly) {
  const Bytes alice = ReadFile("alice.bin");
  const Bytes userID = NewPacket(kQOXPktTag_UserID, {'x'});
  const Bytes badSig = NewPacket(kQOXPktTag_Signature, {4, 0x10});
  const Bytes badKey = NewPacket(kQOXPktTag_PublicKey, {4, 1, 2});
  const Bytes trust = NewPacket(kQOXPktTag_Trust, {0});
  const Bytes marker = NewPacket(16, {'P', 'G', 'P'});
  Bytes truncated = SplitPackets(ReadFile("bob.bin"))[0].bytes;
  truncated.resize(truncated.size() - 5);
  const struct {
    const char* what;
    Bytes ring;
    uint32_t dropped;
  } cases[] = {
      {"clean", alice, 0},
      {"trust and marker before the key", Cat({trust, marker, alice}), 0},
      {"user ID before the first key", Cat({userID, alice}), 1},
      {"unparsable signature", Cat({alice, badSig}), 1},
      {"unparsable key and its user ID", Cat({alice, badKey, userID}), 2},
      {"short last packet", Cat({alice, truncated}), 1},
  };
  Spill(sec_, {});
  for (const auto& c : cases) {
    Spill(pub_, c.ring);
    QOXKeyDB* db = nullptr;
    ASSERT_EQ(Open(kQOXKeyDBOpen_Mutable, &db), 0) << c.what;
    EXPECT_EQ(qoxKeyDBDroppedPackets(db), c.dropped) << c.what;
    EXPECT_EQ(QOXKeyDBIsMutable(db), c.dropped == 0) << c.what;
    qoxKeyDBChanged(db, false);
    EXPECT_EQ(QOXFlushKeyDB(db), c.dropped == 0 ? 0 : kQOXErrObjectReadOnly) << c.what;
    EXPECT_EQ(QOXFreeKeyDB(db), 0) << c.what;
    if (c.dropped != 0) {
      EXPECT_EQ(Slurp(pub_), c.ring) << c.what << ": the ring was not rewritten";
    }
  }
}

}  // namespace
}  // namespace keydb_test
