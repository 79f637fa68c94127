// The encode operation end to end: key export read back by gpg, messages
// for passphrases and keys decrypted by gpg, the cipher vote, the events a
// job sends, and the refusals with what they leave of an output file.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "crypto/cipher.h"
#include "crypto/random_pool.h"
#include "foundation/env.h"
#include "foundation/events.h"
#include "foundation/file_spec.h"
#include "foundation/sdk_errors.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_set.h"
#include "keydb/key_set_ops.h"
#include "keydb/obj_properties.h"
#include "pipeline/encode.h"
#include "tests/pipeline/encode_test_support.h"

namespace {

using encode_test::Bytes;
using encode_test::EncodeTest;
using encode_test::FileBytes;
using encode_test::FileText;
using encode_test::Handler;
using encode_test::Heard;
using encode_test::kKeyData;
using encode_test::TextData;

// A colon listing without its "tru" line (which carries the time of the
// last trust-database check).
std::string WithoutTrustLine(const std::string& listing) {
  std::string out;
  std::istringstream in(listing);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("tru:", 0) != 0) out += line + "\n";
  }
  return out;
}

std::string ColonKeyIDs(const std::string& listing) {
  std::string ids;
  std::istringstream in(listing);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("pub:", 0) == 0 || line.rfind("sub:", 0) == 0) {
      std::vector<std::string> f;
      std::istringstream s(line);
      for (std::string x; std::getline(s, x, ':');) f.push_back(x);
      if (f.size() > 4) ids += f[4] + " ";
    }
    if (line.rfind("uid:", 0) == 0) {
      std::vector<std::string> f;
      std::istringstream s(line);
      for (std::string x; std::getline(s, x, ':');) f.push_back(x);
      if (f.size() > 9) ids += f[9] + " ";
    }
  }
  return ids;
}

// Key export through QOXExport: armored, raw input, no compression. gpg
// reads the armor back to the very bytes of the fixture, imports it and
// lists the same keys, user IDs and signatures as from the fixture itself.
TEST_F(EncodeTest, ExportedKeysReadBackByGpg) {
  for (const char* name : {"alice.bin", "bob.bin", "carol.bin"}) {
    SCOPED_TRACE(name);
    QOXKeyDB* db = DBOf(name);
    for (bool armor : {true, false}) {
      void* buffer = nullptr;
      size_t length = 0;
      ASSERT_EQ(QOXExport(context_, QOXOExportKeySet(context_, QOXPeekKeyDBRootKeySet(db)),
                          QOXOAllocatedOutputBuffer(context_, &buffer, SIZE_MAX, &length),
                          QOXOArmorOutput(context_, armor), QOXOLastOption(context_)),
                0);
      ASSERT_NE(buffer, nullptr);
      Bytes exported(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + length);
      QOXFreeData(buffer);
      const Bytes fixture = FileBytes(kKeyData + name);
      if (!armor) {
        EXPECT_EQ(exported, fixture);
        continue;
      }
      const std::string text(exported.begin(), exported.end());
      EXPECT_EQ(text.rfind("-----BEGIN PGP PUBLIC KEY BLOCK-----\n", 0), 0u) << text.substr(0, 80);
      Write(Path("export.asc"), exported);
      GpgHome();
      std::filesystem::remove(Path("dearmored"));
      ASSERT_EQ(Run(Gpg("-o " + Path("dearmored") + " --dearmor " + Path("export.asc"))), 0);
      EXPECT_EQ(FileBytes(Path("dearmored")), fixture);
      ASSERT_EQ(Run(Gpg("--import " + Path("export.asc") + " 2>" + Path("err"))), 0) << FileText(Path("err"));
      ASSERT_EQ(Run(Gpg("--with-colons --list-sigs > " + Path("ours.txt"))), 0);
      GpgHome();
      ASSERT_EQ(Run(Gpg("--import " + kKeyData + name + " 2>/dev/null")), 0);
      ASSERT_EQ(Run(Gpg("--with-colons --list-sigs > " + Path("theirs.txt"))), 0);
      EXPECT_FALSE(ColonKeyIDs(FileText(Path("ours.txt"))).empty());
      EXPECT_EQ(WithoutTrustLine(FileText(Path("ours.txt"))), WithoutTrustLine(FileText(Path("theirs.txt"))));
    }
  }
}

// A key whose packets carry new-format headers is exported as it is
// stored, behind the marker packet that new-format data gets, and still
// armored as a public key block that gpg imports.
TEST_F(EncodeTest, ExportOfNewFormatPackets) {
  Bytes stream;
  for (const auto& p : keydb_test::SplitPackets(FileBytes(kKeyData + "bob.bin"))) {
    // The body follows the old-format header.
    const uint8_t ctb = p.bytes[0];
    const size_t header = (ctb & 0x40) ? 0 : 1 + ((ctb & 3) == 0 ? 1 : (ctb & 3) == 1 ? 2 : 4);
    ASSERT_NE(header, 0u) << "fixture already in new format";
    const Bytes body(p.bytes.begin() + static_cast<long>(header), p.bytes.end());
    const Bytes packet = keydb_test::NewPacket(p.tag, body);
    stream.insert(stream.end(), packet.begin(), packet.end());
  }
  QOXKeyDB* db = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &db), 0);
  dbs_.push_back(db);
  ASSERT_EQ(Read(stream, false, db), 0);
  void* buffer = nullptr;
  size_t length = 0;
  ASSERT_EQ(QOXExport(context_, QOXOExportKeySet(context_, QOXPeekKeyDBRootKeySet(db)),
                      QOXOAllocatedOutputBuffer(context_, &buffer, SIZE_MAX, &length), QOXOLastOption(context_)),
            0);
  Bytes exported(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + length);
  QOXFreeData(buffer);
  const std::string text(exported.begin(), exported.end());
  EXPECT_EQ(text.rfind("-----BEGIN PGP PUBLIC KEY BLOCK-----\n", 0), 0u) << text.substr(0, 80);
  Write(Path("export.asc"), exported);
  GpgHome();
  ASSERT_EQ(Run(Gpg("-o " + Path("dearmored") + " --dearmor " + Path("export.asc"))), 0);
  Bytes marked = {0xA8, 0x03, 'P', 'G', 'P'};
  marked.insert(marked.end(), stream.begin(), stream.end());
  EXPECT_EQ(FileBytes(Path("dearmored")), marked);
  ASSERT_EQ(Run(Gpg("--import " + Path("export.asc") + " 2>" + Path("err"))), 0) << FileText(Path("err"));
  ASSERT_EQ(Run(Gpg("--with-colons --list-keys > " + Path("list.txt"))), 0);
  const std::string theirs = ColonKeyIDs(FileText(kKeyData + "bob.colons.txt"));
  ASSERT_FALSE(theirs.empty());
  EXPECT_EQ(ColonKeyIDs(FileText(Path("list.txt"))), theirs);
}

// Passphrase messages: each cipher, armored or not, compressed by default;
// gpg decrypts them, and the Encryption event names the cipher.
TEST_F(EncodeTest, PassphraseMessagesDecryptInGpg) {
  const Bytes data = TextData();
  GpgHome();
  for (int32_t cipher : {kQOXCipherAlgorithm_CAST5, kQOXCipherAlgorithm_3DES, kQOXCipherAlgorithm_AES256}) {
    for (bool armor : {false, true}) {
      SCOPED_TRACE(std::to_string(cipher) + (armor ? " armored" : ""));
      Heard heard;
      Bytes message;
      ASSERT_EQ(Encode(data, &message, &heard,
                       QOXOConventionalEncrypt(context_, QOXOPassphrase(context_, "open sesame"),
                                               QOXOLastOption(context_)),
                       QOXOCipherAlgorithm(context_, cipher), QOXOArmorOutput(context_, armor)),
                0);
      if (armor) {
        EXPECT_EQ(std::string(message.begin(), message.end()).rfind("-----BEGIN PGP MESSAGE-----\n", 0), 0u);
      }
      int status = 0;
      EXPECT_EQ(GpgDecrypt(message, "open sesame", &status), data) << FileText(Path("err"));
      EXPECT_EQ(status, 0);
      ASSERT_EQ(heard.ciphers.size(), 1u);
      EXPECT_EQ(heard.ciphers[0], cipher);
      ASSERT_GE(heard.types.size(), 2u);
      EXPECT_EQ(heard.types.front(), kQOXEvent_InitialEvent);
      EXPECT_EQ(heard.types.back(), kQOXEvent_FinalEvent);
      EXPECT_TRUE(heard.errors.empty());
    }
  }
}

// Public-key messages to alice's ElGamal subkey and carol's RSA key (one
// key each, then both through a key object and a key set): gpg holding the
// secret keys decrypts; the cipher is the one both lists accept first.
TEST_F(EncodeTest, PublicKeyMessagesDecryptInGpg) {
  QOXKeyDB* aliceDB = DBOf("alice.bin");
  QOXKeyDB* carolDB = DBOf("carol.bin");
  QOXKeyDBObj* alice = Keys(false, aliceDB)[0];
  QOXKeyDBObj* carol = Keys(false, carolDB)[0];
  GpgHome();
  ASSERT_EQ(Run(Gpg("--import " + kKeyData + "alice.sec.bin " + kKeyData + "carol.sec.bin 2>/dev/null")), 0);
  const Bytes data = TextData();
  struct Case {
    const char* name;
    QOXKeyDBObj* key;
    QOXKeySet* set;
  } cases[] = {
      {"alice", alice, nullptr},
      {"carol", nullptr, SetOf(carol)},
      {"both", alice, SetOf(carol)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Heard heard;
    Bytes message;
    ASSERT_EQ(Encode(data, &message, &heard,
                     c.key != nullptr ? QOXOEncryptToKeyDBObj(context_, c.key) : QOXONullOption(context_),
                     c.set != nullptr ? QOXOEncryptToKeySet(context_, c.set) : QOXONullOption(context_)),
              0);
    int status = 0;
    EXPECT_EQ(GpgDecrypt(message, "", &status), data) << FileText(Path("err"));
    EXPECT_EQ(status, 0);
    ASSERT_EQ(heard.ciphers.size(), 1u);
    // gpg's default list (AES-256 first) on both keys.
    EXPECT_EQ(heard.ciphers[0], kQOXCipherAlgorithm_AES256);
  }
}

// The cipher vote, as recipients with the given lists and the caller's
// list would cast it.
TEST_F(EncodeTest, CipherVote) {
  struct Case {
    const char* name;
    std::vector<std::vector<uint8_t>> lists;
    std::vector<int32_t> caller;
    uint32_t chosen;
  } cases[] = {
      {"[9,3] and [3,9]: the lower number on a tie", {{9, 3}, {3, 9}}, {}, 3},
      {"smallest position sum", {{9, 3, 2}, {9, 2, 3}}, {}, 9},
      {"caller list decides among candidates", {{9, 3}, {3, 9}}, {9}, 9},
      {"only what every voter accepts", {{9, 3}, {3}}, {}, 3},
      {"no common cipher: the caller's first", {{9}, {3}}, {2}, 2},
      {"no common cipher nor caller: the highest count", {{9, 3}, {3}, {9}, {9}}, {}, 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QOXPreferenceTally tally{};
    for (const auto& list : c.lists) {
      ++tally.voters;
      for (size_t i = 0; i < list.size(); ++i) {
        ++tally.count[list[i]];
        tally.positionSum[list[i]] += static_cast<uint32_t>(i);
      }
    }
    QOXOptionListRef options = qoxNewOptionList(context_, true);
    if (!c.caller.empty()) {
      ASSERT_EQ(qoxAppendOptionListArgs(options,
                                        QOXOPreferredAlgorithms(context_, c.caller.data(),
                                                                static_cast<uint32_t>(c.caller.size())),
                                        QOXOLastOption(context_)),
                0);
    }
    QOXEnv* env = nullptr;
    ASSERT_EQ(qoxenvCopy(qoxContextGetEnvironment(context_), &env), 0);
    EXPECT_EQ(qoxSetPreferredAlgorithm(options, &tally, env), 0);
    EXPECT_EQ(qoxenvGetInt(env, kQOXEnvCipherAlgorithm, nullptr, nullptr), c.chosen);
    qoxenvDestroy(env);
    qoxFreeOptionList(options);
  }
}

// A recipient below the warn threshold is used after one Warning event
// with -11494 naming it in its key set; below the fail threshold the job
// ends with -11494 and an Error event.
TEST_F(EncodeTest, ValidityThresholds) {
  QOXKeyDB* db = DBOf("alice.bin");
  QOXKeyDBObj* alice = Keys(false, db)[0];
  int32_t validity = -1;
  ASSERT_EQ(QOXGetKeyDBObjNumericProperty(alice, 203, &validity), 0);
  const Bytes data = TextData();
  {
    Heard heard;
    Bytes message;
    ASSERT_EQ(Encode(data, &message, &heard, QOXOEncryptToKeyDBObj(context_, alice),
                     QOXOWarnBelowValidity(context_, validity + 1)),
              0);
    ASSERT_EQ(heard.warnings.size(), 1u);
    EXPECT_EQ(heard.warnings[0].warning, kQOXErrKeyValidityLowOrNone);
    auto* warned = reinterpret_cast<QOXKeySet*>(heard.warnings[0].warningArg);
    EXPECT_NE(warned, nullptr);
    EXPECT_FALSE(message.empty());
  }
  {
    Heard heard;
    Bytes message;
    ASSERT_EQ(Encode(data, &message, &heard, QOXOEncryptToKeyDBObj(context_, alice),
                     QOXOWarnBelowValidity(context_, validity)),
              0);
    EXPECT_TRUE(heard.warnings.empty());
  }
  {
    Heard heard;
    Bytes message;
    EXPECT_EQ(Encode(data, &message, &heard, QOXOEncryptToKeyDBObj(context_, alice),
                     QOXOFailBelowValidity(context_, validity + 1)),
              kQOXErrKeyValidityLowOrNone);
    EXPECT_EQ(heard.errors, std::vector<QOXError>{kQOXErrKeyValidityLowOrNone});
    EXPECT_EQ(heard.types.back(), kQOXEvent_FinalEvent);
  }
}

// Refused jobs: each error, and an existing output file left as it was
// when the job failed before opening it.
TEST_F(EncodeTest, RefusalsLeaveTheOutputFileAlone) {
  QOXKeyDB* db = DBOf("alice.bin");
  QOXKeyDBObj* alice = Keys(false, db)[0];
  const Bytes data = TextData();
  const std::string out = Path("existing.out");
  const Bytes earlier = {'k', 'e', 'e', 'p', '\n'};
  struct Case {
    const char* name;
    QOXError expected;
    std::function<QOXOptionListRef()> option;
    std::function<void()> before;
    bool heardError = true;  // refused after the Initial event
  } cases[] = {
      {"missing passphrase", kQOXErrMissingPassphrase,
       [&] { return QOXOConventionalEncrypt(context_, QOXOLastOption(context_)); }, nullptr},
      {"empty passphrase", kQOXErrBadParams,
       [&] {
         return QOXOConventionalEncrypt(context_, QOXOPassphraseBuffer(context_, "", 0), QOXOLastOption(context_));
       },
       nullptr, false},
      {"revoked recipient", kQOXErrKeyRevoked, [&] { return QOXOEncryptToKeyDBObj(context_, alice); },
       [&] { qoxKeyToKeyInfo(alice)->keyTrust |= kQOXKeyTrust_Revoked; }},
      {"disabled recipient", kQOXErrKeyDisabled, [&] { return QOXOEncryptToKeyDBObj(context_, alice); },
       [&] {
         qoxKeyToKeyInfo(alice)->keyTrust &= static_cast<uint8_t>(~kQOXKeyTrust_Revoked);
         qoxKeyToKeyInfo(alice)->keyTrust |= kQOXKeyTrust_Disabled;
       }},
      {"detached with encryption", kQOXErrBadParams,
       [&] {
         return QOXOConventionalEncrypt(context_, QOXOPassphrase(context_, "pw"), QOXOLastOption(context_));
       },
       [&] {}},
      {"unknown cipher", kQOXErrFeatureNotAvailable, [&] { return QOXOCipherAlgorithm(context_, 99); }, nullptr,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.before) c.before();
    Write(out, earlier);
    Heard heard;
    const bool detached = std::string(c.name) == "detached with encryption";
    EXPECT_EQ(QOXEncode(context_, QOXOInputBuffer(context_, data.data(), data.size()),
                        QOXOOutputFile(context_, Spec(out)), QOXOEventHandler(context_, Handler, &heard),
                        c.option(), detached ? QOXODetachedSig(context_, QOXOLastOption(context_))
                                             : QOXONullOption(context_),
                        QOXOLastOption(context_)),
              c.expected);
    EXPECT_EQ(FileBytes(out), earlier);
    if (c.heardError) {
      EXPECT_EQ(heard.errors, std::vector<QOXError>{c.expected});
    }
  }
}

// A job that fails after opening its output: the file it created is gone,
// one it appended to has its earlier length back.
TEST_F(EncodeTest, FailureAfterOutputUndoesTheFile) {
  const Bytes data = TextData();
  for (bool append : {false, true}) {
    SCOPED_TRACE(append ? "append" : "create");
    const std::string out = Path(append ? "appended.out" : "created.out");
    const Bytes earlier = {'k', 'e', 'e', 'p', '\n'};
    if (append) Write(out, earlier);
    Heard heard;
    heard.nullAnswer = kQOXErrUserAbort;  // the progress event stops the pump
    EXPECT_EQ(QOXEncode(context_, QOXOInputBuffer(context_, data.data(), data.size()),
                        QOXOOutputFile(context_, Spec(out)), QOXOEventHandler(context_, Handler, &heard),
                        QOXOSendNullEvents(context_, 1), QOXOAppendOutput(context_, append),
                        QOXOLastOption(context_)),
              kQOXErrUserAbort);
    if (append) {
      EXPECT_EQ(FileBytes(out), earlier);
    } else {
      EXPECT_FALSE(std::filesystem::exists(out));
    }
  }
  // The same job without the abort writes the file, and appends to it.
  const std::string out = Path("good.out");
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(QOXEncode(context_, QOXOInputBuffer(context_, data.data(), data.size()),
                        QOXOOutputFile(context_, Spec(out)), QOXOAppendOutput(context_, round == 1),
                        QOXOCompression(context_, false), QOXORawQOXInput(context_, true),
                        QOXOLastOption(context_)),
              0);
  }
  Bytes twice = data;
  twice.insert(twice.end(), data.begin(), data.end());
  EXPECT_EQ(FileBytes(out), twice);
}

// With the pool short of entropy: without option 35 the job fails with
// -11320 before any output; with it, Entropy events are sent until the
// pool is full, and a handler that answers 0 without adding any ends the
// job with -11320 instead of being asked for ever.
TEST_F(EncodeTest, EntropyEvents) {
  const Bytes data = TextData();
  const std::string out = Path("entropy.out");
  auto encode = [&](Heard* heard, bool ask) {
    // An empty pool that was never seeded.
    qoxInitGlobalRandomPool();
    qoxSetIsSeeded(false);
    EXPECT_FALSE(QOXGlobalRandomPoolHasMinimumEntropy());
    std::filesystem::remove(out);
    return QOXEncode(context_, QOXOInputBuffer(context_, data.data(), data.size()),
                     QOXOOutputFile(context_, Spec(out)), QOXOEventHandler(context_, Handler, heard),
                     QOXOConventionalEncrypt(context_, QOXOPassphrase(context_, "pw"), QOXOLastOption(context_)),
                     QOXOCipherAlgorithm(context_, kQOXCipherAlgorithm_CAST5),
                     ask ? QOXOAskUserForEntropy(context_, true) : QOXONullOption(context_),
                     QOXOLastOption(context_));
  };
  {
    Heard heard;
    EXPECT_EQ(encode(&heard, false), kQOXErrOutOfEntropy);
    EXPECT_EQ(heard.entropyEvents, 0u);
    EXPECT_FALSE(std::filesystem::exists(out));
  }
  {
    Heard heard;
    EXPECT_EQ(encode(&heard, true), kQOXErrOutOfEntropy);
    EXPECT_EQ(heard.entropyEvents, 1u);
    EXPECT_FALSE(std::filesystem::exists(out));
  }
  {
    Heard heard;
    heard.entropyBitsAdded = 64;
    EXPECT_EQ(encode(&heard, true), 0);
    EXPECT_EQ(heard.entropyEvents, (QOXGlobalRandomPoolGetMinimumEntropy() + 63) / 64);
    EXPECT_TRUE(QOXGlobalRandomPoolHasMinimumEntropy());
    EXPECT_TRUE(std::filesystem::exists(out));
  }
  {
    Heard heard;
    heard.entropyAnswer = kQOXErrUserAbort;
    EXPECT_EQ(encode(&heard, true), kQOXErrUserAbort);
    EXPECT_EQ(heard.entropyEvents, 1u);
  }
}

// An output format above 9999 asks the X.509 key bridge for a certificate
// request; without the bridge that is "feature not available".
TEST_F(EncodeTest, X509OutputFormatReachesTheBridge) {
  const Bytes data = TextData();
  Heard heard;
  Bytes message;
  EXPECT_EQ(Encode(data, &message, &heard, QOXOOutputFormat(context_, 10000)), kQOXErrFeatureNotAvailable);
  EXPECT_TRUE(message.empty());
  EXPECT_EQ(Encode(data, &message, &heard, QOXOOutputFormat(context_, 10000),
                   QOXOConventionalEncrypt(context_, QOXOPassphrase(context_, "pw"), QOXOLastOption(context_))),
            kQOXErrBadParams);
}

// Options outside the encode set are refused before any event.
TEST_F(EncodeTest, OptionsOutsideTheSet) {
  const Bytes data = TextData();
  Heard heard;
  Bytes message;
  EXPECT_EQ(Encode(data, &message, &heard, QOXOImportKeysTo(context_, db_)), kQOXErrBadParams);
  EXPECT_TRUE(heard.types.empty());
}

}  // namespace
