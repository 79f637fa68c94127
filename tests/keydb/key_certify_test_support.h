// Helpers of the tests of signing key-maintenance operations: gpg's
// key fixtures locked with the toolkit's own protection, a private gpg
// home used as the oracle, and a database written out and read back into
// a fresh one whose signatures are then checked from their bytes.
#ifndef OSTRAK_TESTS_KEYDB_KEY_CERTIFY_TEST_SUPPORT_H_
#define OSTRAK_TESTS_KEYDB_KEY_CERTIFY_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "crypto/context_random.h"
#include "crypto/pkalg.h"
#include "crypto/random_pool.h"
#include "foundation/context.h"
#include "foundation/env.h"
#include "foundation/file.h"
#include "keydb/key_files.h"
#include "keydb/key_set.h"
#include "keydb/sig_check.h"
#include "keydb_test_support.h"

namespace keydb_test {

// The passphrases put on the manage fixtures (make_manage_fixtures.sh
// exports them unprotected).
inline constexpr char kErinPassphrase[] = "erin old";
inline constexpr char kFrankPassphrase[] = "frank pass";

// The toolkit's own protection (usage 255, iterated and salted SHA-1
// string-to-key, kind 3) put on every secret key packet of a gpg export.
inline Bytes LockSecretPackets(QOXContext* context, const Bytes& stream, const std::string& passphrase) {
  Bytes out;
  for (const auto& p : SplitPackets(stream)) {
    if (p.tag != 5 && p.tag != 7) {
      out.insert(out.end(), p.bytes.begin(), p.bytes.end());
      continue;
    }
    const size_t header = qoxPktBufferHeaderLen(p.bytes.data(), p.bytes.size());
    const size_t prefix = header + 6;
    QOXError err = 0;
    QOXSecKey* key = qoxSecKeyFromBuf(context, p.bytes[header + 5], p.bytes.data() + prefix,
                                      p.bytes.size() - prefix, 0, &err);
    EXPECT_NE(key, nullptr) << err;
    if (key == nullptr) return {};
    EXPECT_EQ(key->changeLock(key, qoxContextGetEnvironment(context), qoxContextGetDummyRandomContext(context),
                              passphrase.data(), passphrase.size(), 3),
              0);
    Bytes body(p.bytes.begin() + header, p.bytes.begin() + prefix);
    const size_t at = body.size();
    body.resize(at + key->bufferLength(key));
    key->toBuffer(key, body.data() + at);
    key->destroy(key);
    const Bytes packet = NewPacket(p.tag, body);
    out.insert(out.end(), packet.begin(), packet.end());
  }
  return out;
}

// A scratch directory with a private gpg home; the agent gpg starts for
// the home is stopped before the directory goes.
class ScratchGpg {
 public:
  ScratchGpg() {
    char pattern[] = "/tmp/ostrak-certify-XXXXXX";
    if (mkdtemp(pattern) != nullptr) dir_ = pattern;
    EXPECT_FALSE(dir_.empty());
    mkdir((dir_ + "/gnupg").c_str(), 0700);
  }
  ~ScratchGpg() {
    Run("GNUPGHOME=" + dir_ + "/gnupg gpgconf --kill all", nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  ScratchGpg(const ScratchGpg&) = delete;
  ScratchGpg& operator=(const ScratchGpg&) = delete;

  std::string Put(const std::string& name, const Bytes& bytes) const {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return path;
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  // gpg's exit status; its output (standard output and error) in *output.
  // SHA-1 certifications count only with --allow-weak-key-signatures.
  int Gpg(const std::string& args, std::string* output) const {
    return Run("GNUPGHOME=" + dir_ + "/gnupg gpg --batch --no-tty --allow-weak-key-signatures " + args, output);
  }

 private:
  static int Run(const std::string& command, std::string* output) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    const int status = pclose(pipe);
    if (output != nullptr) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string dir_;
};

// The public export of every key of a database (secret keys in public form,
// all signatures, non-exportable ones too).
inline Bytes ExportAll(QOXContext* context, QOXKeyDB* db) {
  QOXFile* file = qoxFileMemOpen(context, nullptr, 0);
  EXPECT_NE(file, nullptr);
  if (file == nullptr) return {};
  EXPECT_EQ(sExportToQOXFile(qoxKeyDBPeekRootSet(db), file, false, false, true), 0);
  Bytes bytes(static_cast<size_t>(file->tell(file)));
  file->seek(file, 0, SEEK_SET);
  EXPECT_EQ(file->read(bytes.data(), bytes.size(), file), bytes.size());
  file->close(file);
  return bytes;
}

// A database with the manage fixtures locked, signatures for gpg made with
// SHA-1 (setting 1010 = 2; gpg refuses the default MD5) and a seeded pool.
class CertifyTest : public KeyDBTest {
 protected:
  void SetUp() override {
    KeyDBTest::SetUp();
    ASSERT_EQ(qoxenvSetInt(qoxContextGetEnvironment(context_), kQOXEnvHashAlgorithm, 2, 0), 0);
    ASSERT_EQ(QOXGlobalRandomPoolAddSystemState(), 0);
  }
  // The fixture read with its secret parts locked, every signature of the
  // database checked (so key expirations and self-signature subpackets
  // are known).
  QOXKeyDBObj* LoadLocked(const std::string& file, const char* name, const std::string& passphrase) {
    EXPECT_EQ(Read(LockSecretPackets(context_, ReadFile(file), passphrase)), 0);
    EXPECT_EQ(QOXCheckKeyRingSigs(qoxKeyDBPeekRootSet(db_), nullptr, true, nullptr, nullptr), 0);
    return KeyNamed(name);
  }
  QOXKeyDBObj* LoadErin() { return LoadLocked("erin.sec.bin", "Erin", kErinPassphrase); }
  QOXKeyDBObj* LoadFrank() { return LoadLocked("frank.sec.bin", "Frank", kFrankPassphrase); }

  // The signatures directly under an object.
  static std::vector<QOXKeyDBObj*> Sigs(QOXKeyDBObj* parent) { return Children(parent, kQOXKeyDBObjType_Sig); }
  static Bytes Stored(QOXKeyDBObj* object) {
    size_t length = 0;
    const uint8_t* p = qoxFetchObject(object, &length);
    return p != nullptr ? Bytes(p, p + length) : Bytes();
  }
  // The version byte of a stored signature packet.
  static int SigVersion(QOXKeyDBObj* sig) {
    const Bytes packet = Stored(sig);
    return packet.size() > 3 ? packet[qoxPktBufferHeaderLen(packet.data(), packet.size())] : -1;
  }

  // The database written out and read into a fresh one (freed by the
  // caller), every signature checked there from its bytes.
  QOXKeyDB* ReadBackChecked(QOXKeyDB* from = nullptr) {
    QOXKeyDB* copy = nullptr;
    EXPECT_EQ(QOXNewKeyDB(context_, &copy), 0);
    EXPECT_EQ(Read(ExportAll(context_, from != nullptr ? from : db_), false, copy), 0);
    EXPECT_EQ(QOXCheckKeyRingSigs(qoxKeyDBPeekRootSet(copy), nullptr, true, nullptr, nullptr), 0);
    return copy;
  }
};

}  // namespace keydb_test

#endif  // OSTRAK_TESTS_KEYDB_KEY_CERTIFY_TEST_SUPPORT_H_
