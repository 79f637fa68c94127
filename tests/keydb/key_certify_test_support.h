// Helpers of the tests of signing key-maintenance operations: gpg's
// key fixtures locked with the toolkit's own protection (locked_keys.h), a
// private gpg home used as the oracle (gpg_home.h), and a database written
// out and read back into a fresh one whose signatures are then checked from
// their bytes.
#ifndef OSTRAK_TESTS_KEYDB_KEY_CERTIFY_TEST_SUPPORT_H_
#define OSTRAK_TESTS_KEYDB_KEY_CERTIFY_TEST_SUPPORT_H_

#include <gtest/gtest.h>

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
#include "gpg_home.h"
#include "keydb_test_support.h"
#include "locked_keys.h"

namespace keydb_test {

// The passphrases put on the manage fixtures (make_manage_fixtures.sh
// exports them unprotected).
inline constexpr char kErinPassphrase[] = "erin old";
inline constexpr char kFrankPassphrase[] = "frank pass";

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
    EXPECT_EQ(Read(LockedStream(context_, ReadFile(file), passphrase)), 0);
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
