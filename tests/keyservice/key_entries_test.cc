// Key blocks turned into directory entries, over keys gpg makes in the
// test (RSA-1024 with one user ID, RSA-2048 with two, DSA-1024 with an
// ElGamal-2048 subkey), with gpg's colon listing as the oracle and a
// backend over a temporary directory holding what was stored: new keys,
// resubmission, a new certification, two keys in a block, RSA switched
// off, the pending copy of an accepted key, and the key-data flag.
#include "keyservice/key_entries.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "foundation/core/start_up.h"
#include "net/ldap_protocol.h"
#include "tests/backend/ldbm_ops_support.h"

namespace {

namespace fs = std::filesystem;

// One gpg home of the test's own; every command runs in batch mode.
class GpgHome {
 public:
  GpgHome() {
    char pattern[] = "/tmp/ostrak-gpg-XXXXXX";
    const char* made = mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    dir_ = made != nullptr ? made : "";
  }
  ~GpgHome() {
    Run("gpgconf --kill gpg-agent");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  // Standard output of the command; fails the test on a non-zero exit.
  std::string Run(const std::string& command) const {
    std::string full = "GNUPGHOME=" + dir_ + " " + command + " 2>/dev/null";
    FILE* p = popen(full.c_str(), "r");
    std::string out;
    if (p == nullptr) {
      ADD_FAILURE() << command;
      return out;
    }
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
    int status = pclose(p);
    if (command.rfind("gpgconf", 0) != 0) {
      EXPECT_EQ(WEXITSTATUS(status), 0) << command;
    }
    return out;
  }
  std::string Gpg(const std::string& args) const {
    return Run("gpg --batch --yes --no-tty --pinentry-mode loopback --passphrase '' --cert-digest-algo SHA1 "
               "--digest-algo SHA1 " +
               args);
  }
  std::string Fingerprint(const std::string& uid) const {
    std::string colons = Gpg("--with-colons --fingerprint '" + uid + "'");
    size_t at = colons.find("\nfpr:");
    return at == std::string::npos ? "" : colons.substr(at + 1 + 12, 40);
  }
  std::string Export(const std::string& who) const { return Gpg("--armor --export " + who); }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

// What gpg lists for one key.
struct Listing {
  std::string keyID;       // 16 digits
  std::string fingerprint; // 40 digits
  int algorithm = 0;
  int bits = 0;
  time_t created = 0;
  std::vector<std::string> subKeyIDs;
  std::vector<int> subKeyBits;
  std::vector<std::string> userIDs;
  std::map<std::string, std::vector<std::string>> signers;  // by user ID, sorted
};

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t colon = line.find(':', start);
    out.push_back(line.substr(start, colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return out;
}

Listing List(const GpgHome& home, const std::string& fpr) {
  Listing l;
  std::string text = home.Gpg("--with-colons --fixed-list-mode --list-sigs " + fpr);
  std::string current;  // the user ID whose signatures follow
  bool inSub = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    std::string line = text.substr(pos, end - pos);
    pos = end == std::string::npos ? text.size() : end + 1;
    std::vector<std::string> f = Fields(line);
    if (f.size() < 10) continue;
    if (f[0] == "pub") {
      l.keyID = f[4];
      l.algorithm = std::stoi(f[3]);
      l.bits = std::stoi(f[2]);
      l.created = std::stol(f[5]);
    } else if (f[0] == "fpr" && l.fingerprint.empty()) {
      l.fingerprint = f[9];
    } else if (f[0] == "uid") {
      current = f[9];
      inSub = false;
      l.userIDs.push_back(current);
    } else if (f[0] == "sub") {
      inSub = true;
      l.subKeyIDs.push_back(f[4]);
      l.subKeyBits.push_back(std::stoi(f[2]));
    } else if (f[0] == "sig" && !inSub && !current.empty()) {
      l.signers[current].push_back(f[4]);
    }
  }
  for (auto& [uid, ids] : l.signers) std::sort(ids.begin(), ids.end());
  return l;
}

std::string GeneralizedTime(time_t t) {
  char text[16];
  struct tm broken {};
  gmtime_r(&t, &broken);
  strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &broken);
  return text;
}

std::vector<std::string> Values(Entry* e, const char* type) {
  std::vector<std::string> out;
  Attribute* a = e != nullptr ? attr_find(e->e_attrs, type) : nullptr;
  for (int i = 0; a != nullptr && a->a_vals != nullptr && a->a_vals[i] != nullptr; ++i)
    out.emplace_back(a->a_vals[i]->bv_val, a->a_vals[i]->bv_len);
  std::sort(out.begin(), out.end());
  return out;
}

std::string One(Entry* e, const char* type) {
  std::vector<std::string> v = Values(e, type);
  return v.size() == 1 ? v[0] : "<" + std::to_string(v.size()) + " values>";
}

std::vector<std::string>* gMessages = nullptr;
void Capture(const char* text) {
  if (gMessages != nullptr) gMessages->push_back(text);
}

// Keys shared by the tests (generation is the slow part).
struct Keys {
  GpgHome home;
  std::string rsa1024, rsa2048, dsa;  // fingerprints
};
Keys* gKeys = nullptr;

class KeyEntriesTest : public OpsFixture {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
    gKeys = new Keys;
    const GpgHome& h = gKeys->home;
    h.Gpg("--quick-gen-key 'Rsa One <rsa1@example.org>' rsa1024 sign,encr never");
    h.Gpg("--quick-gen-key 'Rsa Two <rsa2@example.org>' rsa2048 sign,encr never");
    gKeys->rsa2048 = h.Fingerprint("rsa2@example.org");
    h.Gpg("--quick-add-uid " + gKeys->rsa2048 + " 'Rsa Two Second <second@example.org>'");
    h.Gpg("--quick-gen-key 'Dsa Elg <dsa@example.org>' dsa1024 sign never");
    gKeys->rsa1024 = h.Fingerprint("rsa1@example.org");
    gKeys->dsa = h.Fingerprint("dsa@example.org");
    h.Gpg("--quick-add-key " + gKeys->dsa + " elg2048 encr never");
  }
  static void TearDownTestSuite() {
    delete gKeys;
    gKeys = nullptr;
    QOXsdkCleanup();
  }
  void SetUp() override {
    OpsFixture::SetUp();
    if (HasFatalFailure()) return;
    g->rsaSupported = 1;
    g->verifySignatures = 1;
    ErrorLogInit("QOX Keyserver", kLogVerbose, 389, 1, Capture);
    gMessages = &messages_;
  }
  void TearDown() override {
    gMessages = nullptr;
    FreeEntries();
    OpsFixture::TearDown();
  }
  void FreeEntries() {
    for (int i = 0; i < count_; ++i) entry_free(entries_[i]);
    zovurezFree(entries_);
    entries_ = nullptr;
    count_ = capacity_ = 0;
  }

  // Submits a key block as the first attribute of the submitted entry.
  int Submit(const std::string& block, bool isSigned = false, const char* extra = nullptr) {
    FreeEntries();
    EXPECT_EQ(GrowEntries(&entries_, 1, &capacity_), 0);
    entries_[0] = entry_new();
    count_ = 1;
    AddDirAttrToEntry(entries_[0], "qoxkey", block.data(), static_cast<uint32_t>(block.size()));
    if (extra != nullptr) AddDirAttrToEntry(entries_[0], extra, "x", 1);
    message_ = nullptr;
    return CreateAddKeyEntries(&entries_, &count_, &capacity_, be(), entries_[0]->e_attrs,
                               reinterpret_cast<const uint8_t*>(block.data()), block.size(), isSigned, &conn_, &op_,
                               certID_, &active_, &message_);
  }
  // Stores the built entries as the submission road does (merging into
  // stored ones) and forgets them.
  void Store() {
    uint8_t logged = 0;
    for (int i = 0; i < count_; ++i) {
      if (entries_[i]->e_dn == nullptr) continue;
      int result = -1;
      char* matched = nullptr;
      ldbm_back_add(be(), &conn_, &op_, entries_[i], 1, 0, &logged, &result, &matched);
      entries_[i] = nullptr;
      zovurezFree(matched);
      ASSERT_EQ(result, 0) << i;
    }
    FreeEntries();
  }
  Entry* Find(const std::string& uid) {
    for (int i = 1; i < count_; ++i)
      if (One(entries_[i], "qoxuserid") == uid) return entries_[i];
    return nullptr;
  }

  Entry** entries_ = nullptr;
  int count_ = 0;
  int capacity_ = 0;
  char certID_[17] = {};
  bool active_ = false;
  const char* message_ = nullptr;
  std::vector<std::string> messages_;  // the error log's lines
};

TEST_F(KeyEntriesTest, NewKeysMatchGpgsListing) {
  for (const std::string* fpr : {&gKeys->rsa1024, &gKeys->rsa2048, &gKeys->dsa}) {
    SCOPED_TRACE(*fpr);
    Listing l = List(gKeys->home, *fpr);
    ASSERT_EQ(Submit(gKeys->home.Export(*fpr)), 0) << (message_ != nullptr ? message_ : "");
    EXPECT_TRUE(active_);
    EXPECT_EQ(certID_, l.keyID);
    EXPECT_EQ(op_.logData.keyID1, l.keyID);
    ASSERT_EQ(count_, 1 + static_cast<int>(l.userIDs.size()));
    const std::string certDN = "QOXCERTID=" + l.keyID + ",OU=ACTIVE,O=QOX KEYSPACE,C=US";
    EXPECT_EQ(entries_[0]->e_dn, certDN);
    EXPECT_EQ(One(entries_[0], "objectclass"), "qoxcertificate");
    EXPECT_EQ(One(entries_[0], "version"), "7.0");
    EXPECT_EQ(Values(entries_[0], "qoxkeyv2").size(), 0u);

    const bool dss = l.algorithm == 17;
    int size = l.bits;
    if (dss && !l.subKeyBits.empty()) size = *std::max_element(l.subKeyBits.begin(), l.subKeyBits.end());
    char sizeText[8];
    snprintf(sizeText, sizeof sizeText, "%05d", size);
    std::vector<std::string> subKeys = dss ? l.subKeyIDs : std::vector<std::string>{};
    std::sort(subKeys.begin(), subKeys.end());
    for (const std::string& uid : l.userIDs) {
      SCOPED_TRACE(uid);
      Entry* e = Find(uid);
      ASSERT_NE(e, nullptr);
      EXPECT_STRCASEEQ(e->e_dn, ("QOXUSERID=" + uid + "," + certDN).c_str());
      EXPECT_EQ(One(e, "objectclass"), "qoxuserid");
      EXPECT_EQ(One(e, "qoxcertid"), l.keyID);
      EXPECT_EQ(One(e, "qoxkeyid"), l.keyID.substr(8));
      EXPECT_EQ(One(e, "qoxdisabled"), "0");
      EXPECT_EQ(One(e, "qoxkeytype"), dss ? "DSS/DH" : "RSA");
      EXPECT_EQ(One(e, "qoxkeycreatetime"), GeneralizedTime(l.created));
      EXPECT_TRUE(Values(e, "qoxkeyexpiretime").empty());
      EXPECT_EQ(One(e, "qoxkeysize"), sizeText);
      EXPECT_EQ(Values(e, "qoxsubkeyid"), subKeys);
      EXPECT_EQ(One(e, "qoxrevoked"), "0");
      EXPECT_EQ(Values(e, "qoxsignerid"), l.signers[uid]);
    }
    // The stored block is the same key for gpg: fingerprint, user IDs and
    // good self-signatures in a fresh home.
    std::string block = One(entries_[0], "qoxkey");
    GpgHome fresh;
    std::string path = fresh.dir() + "/served.asc";
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fwrite(block.data(), 1, block.size(), f);
    fclose(f);
    fresh.Gpg("--import " + path);
    Listing back = List(fresh, *fpr);
    EXPECT_EQ(back.fingerprint, l.fingerprint);
    EXPECT_EQ(back.userIDs, l.userIDs);
    // Every signature checks good ('!').
    std::string checked = fresh.Gpg("--with-colons --check-sigs " + *fpr);
    EXPECT_NE(checked.find("\nsig:!:"), std::string::npos) << checked;
    for (size_t at = checked.find("\nsig:"); at != std::string::npos; at = checked.find("\nsig:", at + 1))
      EXPECT_EQ(checked.compare(at, 7, "\nsig:!:"), 0) << checked;
  }
}

TEST_F(KeyEntriesTest, ResubmissionWithoutChangeIs68AndClearsTheKeyDataFlag) {
  std::string block = gKeys->home.Export(gKeys->rsa2048);
  ASSERT_EQ(Submit(block), 0);
  Store();
  conn_.changedKeyData = 1;  // left by an earlier submission
  EXPECT_EQ(Submit(block), kLdapEntryAlreadyExists);
  EXPECT_STREQ(message_, "Certificate has not changed.");
  EXPECT_EQ(conn_.changedKeyData, 0);
  EXPECT_EQ(count_, 1);
  // The same key sent again with a reconstruction record counts as changed.
  EXPECT_EQ(Submit(block, false, "qoxrecondata"), 0);
}

TEST_F(KeyEntriesTest, BlockWithTwoKeysIsRefused) {
  EXPECT_EQ(Submit(gKeys->home.Export(gKeys->rsa1024 + " " + gKeys->dsa)), kLdapInvalidAttributeSyntax);
  EXPECT_STREQ(message_, "Only one key can be in the key block per add to the server.");
  EXPECT_EQ(count_, 1);
  EXPECT_EQ(Submit("-----BEGIN PGP PUBLIC KEY BLOCK-----\n\nnot a key\n-----END PGP PUBLIC KEY BLOCK-----\n"),
            kLdapInvalidAttributeSyntax);
}

TEST_F(KeyEntriesTest, RsaRefusedWithoutRsaSupport) {
  g->rsaSupported = 0;
  EXPECT_EQ(Submit(gKeys->home.Export(gKeys->rsa1024)), kLdapInvalidAttributeSyntax);
  EXPECT_STREQ(message_, "The type of key (RSA) is not supported.");
  EXPECT_EQ(Submit(gKeys->home.Export(gKeys->dsa)), 0);  // DSA is not affected
}

TEST_F(KeyEntriesTest, NewCertificationAddsSignerFromTheChangedUserIDOn) {
  // A copy of the keys in a home of its own, so the shared keys stay as made.
  GpgHome home;
  std::string keys = home.dir() + "/keys.asc";
  FILE* f = fopen(keys.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::string secret = gKeys->home.Gpg("--armor --export-secret-keys " + gKeys->rsa1024 + " " + gKeys->rsa2048);
  fwrite(secret.data(), 1, secret.size(), f);
  fclose(f);
  home.Gpg("--import " + keys);
  ASSERT_EQ(Submit(home.Export(gKeys->rsa2048)), 0);
  Store();
  Listing before = List(home, gKeys->rsa2048);
  ASSERT_EQ(before.userIDs.size(), 2u);
  // rsa1024 certifies only the second user ID.
  // (gpg refuses SHA-1 for certifications by other keys.)
  home.Run("gpg --batch --yes --no-tty --pinentry-mode loopback --passphrase '' -u " + gKeys->rsa1024 +
           " --quick-sign-key " + gKeys->rsa2048 + " '" + before.userIDs[1] + "'");
  Listing after = List(home, gKeys->rsa2048);
  const std::string signer = List(home, gKeys->rsa1024).keyID;
  ASSERT_EQ(after.signers[before.userIDs[1]].size(), 2u);

  ASSERT_EQ(Submit(home.Export(gKeys->rsa2048)), 0) << (message_ != nullptr ? message_ : "");
  // The certificate entry and the second user ID only; the first is given
  // back unchanged.
  ASSERT_EQ(count_, 2);
  EXPECT_EQ(Find(before.userIDs[0]), nullptr);
  Entry* changed = entries_[1];
  EXPECT_EQ(Values(changed, "qoxsignerid"), after.signers[before.userIDs[1]]);
  EXPECT_NE(std::find(after.signers[before.userIDs[1]].begin(), after.signers[before.userIDs[1]].end(), signer),
            after.signers[before.userIDs[1]].end());
  // Only dynamic attributes on a user ID the stored key has.
  EXPECT_TRUE(Values(changed, "objectclass").empty());
  EXPECT_EQ(One(changed, "qoxrevoked"), "0");
  EXPECT_EQ(conn_.newSignatures, 1);
  Store();
  EXPECT_EQ(Submit(home.Export(gKeys->rsa2048)), kLdapEntryAlreadyExists);
}

TEST_F(KeyEntriesTest, PendingCopyStaysUntilTheAcceptedKeyIsStored) {
  const std::string block = gKeys->home.Export(gKeys->dsa);
  // Held pending first: a signature nobody gave is required.
  KeyIDNode required{"0123456789ABCDEF", nullptr};
  KeyIDNode* lines[2] = {&required, nullptr};
  KeyIDNode** saved = g->MustSigID;
  g->MustSigID = lines;
  ASSERT_EQ(Submit(block), 0);
  g->MustSigID = saved;
  EXPECT_FALSE(active_);
  const std::string cert = certID_;
  const std::string pendingDN = KeyDN(cert, "OU=PENDING,O=QOX KEYSPACE,C=US");
  EXPECT_STREQ(entries_[0]->e_dn, pendingDN.c_str());
  AddDirAttrToEntry(entries_[0], "qoxrecondata", "record", 6);
  AddDirAttrToEntry(entries_[0], "qoxreconprompts", "prompts", 7);
  AddDirAttrToEntry(entries_[0], "qoxreconhashrepetitions", "3", 1);
  Store();
  ASSERT_EQ(Stored(pendingDN, "qoxrecondata"), "record");

  // Accepted now: the entries carry the pending copy's reconstruction data
  // and the pending copy is still there until the entries are stored.
  g->AcceptReconstructionData = 1;
  ASSERT_EQ(Submit(block), 0);
  EXPECT_TRUE(active_);
  EXPECT_EQ(One(entries_[0], "qoxrecondata"), "record");
  EXPECT_EQ(One(entries_[0], "qoxreconprompts"), "prompts");
  EXPECT_EQ(Stored(pendingDN, "qoxrecondata"), "record");
  Store();
  EXPECT_EQ(RemoveKeyFromPending(be(), cert.c_str()), 0);
  EXPECT_EQ(Stored(pendingDN, "qoxkey"), "<none>");
  EXPECT_EQ(Stored(KeyDN(cert), "qoxrecondata"), "record");

  // An unchanged resubmission (68) removes a pending copy left behind.
  AddKey(cert, {}, "", "OU=PENDING,O=QOX KEYSPACE,C=US");
  ASSERT_NE(Stored(pendingDN, "qoxkey"), "<none>");
  EXPECT_EQ(Submit(block), kLdapEntryAlreadyExists);
  EXPECT_EQ(Stored(pendingDN, "qoxkey"), "<none>");
}

}  // namespace
