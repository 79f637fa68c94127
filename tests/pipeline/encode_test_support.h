// Helpers of the encode operation's tests: a handler that records what a
// job heard, a fixture with the key fixtures, gpg homes (a fresh one for each
// use, its agent stopped at the end) and file specs, an encode into an
// allocated buffer, and a decode of our own with the Signature events it
// sends.
#ifndef OSTRAK_TESTS_PIPELINE_ENCODE_TEST_SUPPORT_H_
#define OSTRAK_TESTS_PIPELINE_ENCODE_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "crypto/random_pool.h"
#include "foundation/events.h"
#include "foundation/file_spec.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_set.h"
#include "keydb/key_set_ops.h"
#include "tests/keydb/keydb_test_support.h"

namespace encode_test {

using keydb_test::Bytes;

inline const std::string kKeyData = OSTRAK_SOURCE_DIR "/tests/keydb/data/";

inline Bytes FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}
inline std::string FileText(const std::string& path) {
  Bytes b = FileBytes(path);
  return std::string(b.begin(), b.end());
}

inline Bytes TextData() {
  std::string s;
  for (int i = 0; i < 300; ++i) s += "line " + std::to_string(i * 31 % 97) + " of the message to encode\n";
  return Bytes(s.begin(), s.end());
}

// What a job's handler heard.
struct Heard {
  std::vector<int32_t> types;
  std::vector<QOXEventWarningData> warnings;
  std::vector<QOXError> errors;
  std::vector<int32_t> ciphers;  // of the Encryption events
  std::vector<QOXEventSignatureData> signatures;
  uint32_t entropyEvents = 0;
  QOXError nullAnswer = 0;      // what a Null event answers
  QOXError entropyAnswer = 0;   // what an Entropy event answers
  uint32_t entropyBitsAdded = 0;  // credited to the pool at each Entropy event
};

inline QOXError Handler(QOXContext*, QOXEvent* event, void* arg) {
  auto* heard = static_cast<Heard*>(arg);
  heard->types.push_back(event->type);
  switch (event->type) {
    case kQOXEvent_WarningEvent:
      heard->warnings.push_back(event->data.warningData);
      break;
    case kQOXEvent_ErrorEvent:
      heard->errors.push_back(event->data.errorData.error);
      break;
    case kQOXEvent_EncryptionEvent:
      heard->ciphers.push_back(event->data.encryptionData.cipherAlgorithm);
      break;
    case kQOXEvent_EntropyEvent:
      ++heard->entropyEvents;
      // A collection of the bits: the estimate grows, and the pool counts
      // as seeded once it reaches the minimum.
      if (heard->entropyBitsAdded > 0) {
        const uint32_t now = QOXGlobalRandomPoolGetEntropy() + heard->entropyBitsAdded;
        qoxGlobalRandomPoolSetEntropy(now);
        if (now >= QOXGlobalRandomPoolGetMinimumEntropy()) qoxSetIsSeeded(true);
      }
      return heard->entropyAnswer;
    case kQOXEvent_NullEvent:
      return heard->nullAnswer;
    case kQOXEvent_SignatureEvent:
      heard->signatures.push_back(event->data.signatureData);
      break;
    default:
      break;
  }
  return 0;
}

class EncodeTest : public keydb_test::KeyDBTest {
 protected:
  void SetUp() override {
    KeyDBTest::SetUp();
    char pattern[] = "/tmp/ostrak-encode-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    // The pool seeded from the system's state, as at a program's start.
    ASSERT_EQ(QOXGlobalRandomPoolAddSystemState(), 0);
    entropy_ = QOXGlobalRandomPoolGetEntropy();
    seeded_ = qoxGlobalRandomPoolIsSeeded();
  }
  void TearDown() override {
    qoxSetIsSeeded(seeded_);
    qoxGlobalRandomPoolSetEntropy(entropy_);
    for (QOXKeySet* s : sets_) QOXFreeKeySet(s);
    for (QOXKeyDB* db : dbs_) QOXFreeKeyDB(db);
    for (PFLFileSpec* f : specs_) PFLFreeFileSpec(f);
    for (const std::string& home : homes_) Run("GNUPGHOME=" + home + " gpgconf --kill all");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    KeyDBTest::TearDown();
  }
  static int Run(const std::string& command) {
    int status = std::system(command.c_str());
    return status == -1 ? -1 : WEXITSTATUS(status);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string Gpg(const std::string& args) const {
    return "GNUPGHOME=" + homes_.back() + " gpg --batch --quiet --no-tty --pinentry-mode loopback " + args;
  }
  // A fresh gpg home for the next calls (each one's agent is stopped at the
  // end).
  void GpgHome() {
    homes_.push_back(dir_ + "/gnupg" + std::to_string(homes_.size()));
    std::filesystem::create_directory(homes_.back());
    std::filesystem::permissions(homes_.back(), std::filesystem::perms::owner_all);
  }
  static void Write(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  // What gpg decrypts of the message with a passphrase (empty: with the
  // keys of its home); its exit status goes to *status.
  Bytes GpgDecrypt(const Bytes& message, const std::string& passphrase, int* status) {
    Write(Path("msg"), message);
    std::filesystem::remove(Path("out"));
    std::string pass = passphrase.empty() ? "" : "--passphrase '" + passphrase + "' ";
    *status = Run(Gpg("--ignore-mdc-error " + pass + "-o " + Path("out") + " -d " + Path("msg") + " 2>" +
                      Path("err")));
    return FileBytes(Path("out"));
  }
  // The key file read into a database of its own, signatures marked good.
  QOXKeyDB* DBOf(const std::string& name) {
    QOXKeyDB* db = nullptr;
    EXPECT_EQ(QOXNewKeyDB(context_, &db), 0);
    dbs_.push_back(db);
    EXPECT_EQ(Read(FileBytes(kKeyData + name), false, db), 0);
    MarkAllChecked(db);
    EXPECT_FALSE(Keys(false, db).empty()) << name;
    return db;
  }
  QOXKeySet* SetOf(QOXKeyDBObj* key) {
    QOXKeySet* set = nullptr;
    EXPECT_EQ(QOXNewOneKeySet(key, &set), 0);
    sets_.push_back(set);
    return set;
  }
  PFLFileSpec* Spec(const std::string& path) {
    PFLFileSpec* spec = nullptr;
    EXPECT_EQ(PFLNewFileSpecFromFullPath(QOXPeekContextMemoryMgr(context_), path.c_str(), &spec), 0);
    specs_.push_back(spec);
    return spec;
  }

  // Encodes the data with the options to an allocated buffer; the handler
  // hears the events.
  template <class... Options>
  QOXError Encode(const Bytes& data, Bytes* out, Heard* heard, Options... options) {
    void* buffer = nullptr;
    size_t length = 0;
    QOXError err = QOXEncode(context_, QOXOInputBuffer(context_, data.data(), data.size()),
                             QOXOAllocatedOutputBuffer(context_, &buffer, SIZE_MAX, &length),
                             QOXOEventHandler(context_, Handler, heard), options..., QOXOLastOption(context_));
    out->clear();
    if (buffer != nullptr) {
      const auto* p = static_cast<const uint8_t*>(buffer);
      out->assign(p, p + length);
      QOXFreeData(buffer);
    }
    return err;
  }

  // Decodes a message with our own decode into an allocated buffer; the
  // handler hears the events.
  template <class... Options>
  QOXError Decode(const Bytes& message, Bytes* out, Heard* heard, Options... options) {
    void* buffer = nullptr;
    size_t length = 0;
    QOXError err = QOXDecode(context_, QOXOInputBuffer(context_, message.data(), message.size()),
                             QOXOAllocatedOutputBuffer(context_, &buffer, SIZE_MAX, &length),
                             QOXOEventHandler(context_, Handler, heard), options..., QOXOLastOption(context_));
    out->clear();
    if (buffer != nullptr) {
      const auto* p = static_cast<const uint8_t*>(buffer);
      out->assign(p, p + length);
      QOXFreeData(buffer);
    }
    return err;
  }

  std::string dir_;
  std::vector<std::string> homes_;
  uint32_t entropy_ = 0;
  bool seeded_ = false;
  std::vector<QOXKeyDB*> dbs_;
  std::vector<QOXKeySet*> sets_;
  std::vector<PFLFileSpec*> specs_;
};

}  // namespace encode_test

#endif  // OSTRAK_TESTS_PIPELINE_ENCODE_TEST_SUPPORT_H_
