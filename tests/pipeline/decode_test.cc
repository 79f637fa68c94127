// The decode operation end to end: key import of gpg's exports (armored and
// binary, in the forms mail and text files give them), the bound on key data
// and inflation, and the job's option rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/events.h"
#include "foundation/option_list.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/key_id.h"
#include "keydb/key_iter.h"
#include "keydb/key_lookup.h"
#include "pipeline/decode.h"
#include "tests/pipeline/pipeline_test_support.h"

namespace pipeline_test {
namespace {

const std::string kData = OSTRAK_SOURCE_DIR "/tests/pipeline/data/";
const std::string kKeys = OSTRAK_SOURCE_DIR "/tests/keydb/data/";

// The key IDs (16 upper-case digits) of the pub and sub lines of gpg's
// --with-colons listing.
std::set<std::string> ColonIDs(const std::string& path) {
  std::ifstream in(path);
  std::set<std::string> ids;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("pub:", 0) != 0 && line.rfind("sub:", 0) != 0) continue;
    std::stringstream fields(line);
    std::string f;
    for (int i = 0; i < 5 && std::getline(fields, f, ':'); ++i) {
    }
    ids.insert(f);
  }
  return ids;
}

std::set<std::string> Union(std::initializer_list<std::set<std::string>> sets) {
  std::set<std::string> all;
  for (const auto& s : sets) all.insert(s.begin(), s.end());
  return all;
}

struct EventLog {
  std::vector<int32_t> types;
  std::vector<QOXEventSignatureData> signatures;
  std::vector<QOXEventOutputData> outputs;
  std::vector<int32_t> analyzed;
  std::vector<QOXError> errors;
  // Options given in reply to an Output event (the list is consumed then).
  QOXOptionListRef outputReply = nullptr;
  // A reply to the Passphrase event (consumed), then none.
  QOXOptionListRef passphraseReply = nullptr;

  // The event types without Null events.
  std::vector<int32_t> Sequence() const { return types; }
};

QOXError Record(QOXContext*, QOXEvent* event, void* arg) {
  auto* log = static_cast<EventLog*>(arg);
  if (event->type == kQOXEvent_NullEvent) return kQOXErrNoErr;
  log->types.push_back(event->type);
  switch (event->type) {
    case kQOXEvent_SignatureEvent:
      log->signatures.push_back(event->data.signatureData);
      break;
    case kQOXEvent_OutputEvent:
      log->outputs.push_back(event->data.outputData);
      log->outputs.back().suggestedName = nullptr;
      if (log->outputReply != nullptr) {
        QOXError err = QOXAddJobOptions(event->job, log->outputReply, kQOXEndOfOptionList);
        log->outputReply = nullptr;
        return err;
      }
      break;
    case kQOXEvent_PassphraseEvent:
      if (log->passphraseReply != nullptr) {
        QOXError err = QOXAddJobOptions(event->job, log->passphraseReply, kQOXEndOfOptionList);
        log->passphraseReply = nullptr;
        return err;
      }
      break;
    case kQOXEvent_AnalyzeEvent:
      log->analyzed.push_back(event->data.analyzeData.sectionType);
      break;
    case kQOXEvent_ErrorEvent:
      log->errors.push_back(event->data.errorData.error);
      break;
    default:
      break;
  }
  return kQOXErrNoErr;
}

class DecodeTest : public PipelineTest {
 protected:
  // Imports the bytes through QOXImport; the database (or null) in *db.
  QOXError Import(const Bytes& bytes, QOXKeyDB** db) {
    return QOXImport(context_, db, QOXOInputBuffer(context_, bytes.data(), bytes.size()), kQOXEndOfOptionList);
  }

  // Key and subkey IDs of the database.
  static std::set<std::string> IDs(QOXKeyDB* db) {
    std::set<std::string> ids;
    QOXKeyIter* iter = nullptr;
    EXPECT_EQ(QOXNewKeyIterFromKeyDB(db, &iter), 0);
    QOXKeyDBObj* key = nullptr;
    while (QOXKeyIterNextKeyDBObj(iter, 1, &key) == kQOXErrNoErr) {
      AddID(key, &ids);
      QOXKeyDBObj* sub = nullptr;
      while (QOXKeyIterNextKeyDBObj(iter, 2, &sub) == kQOXErrNoErr) AddID(sub, &ids);
    }
    QOXFreeKeyIter(iter);
    return ids;
  }
  static void AddID(QOXKeyDBObj* key, std::set<std::string>* ids) {
    QOXKeyID id{};
    ASSERT_EQ(QOXGetKeyID(key, &id), 0);
    char text[kQOXKeyIDStringSize];
    ASSERT_EQ(QOXGetKeyIDString(&id, kQOXKeyIDString_Full, text), 0);
    ids->insert(std::string(text + 2));
  }

  // A database of the keys of the files (freed at teardown).
  QOXKeyDB* KeyDB(std::initializer_list<std::string> files) {
    Bytes all;
    for (const auto& f : files) {
      Bytes b = ReadFile(f);
      all.insert(all.end(), b.begin(), b.end());
    }
    QOXKeyDB* db = nullptr;
    EXPECT_EQ(Import(all, &db), 0);
    dbs_.push_back(db);
    return db;
  }
  void TearDown() override {
    for (QOXKeyDB* db : dbs_) {
      if (db != nullptr) QOXFreeKeyDB(db);
    }
    PipelineTest::TearDown();
  }
  std::vector<QOXKeyDB*> dbs_;

  // Decodes the input into an allocated buffer; the options given are
  // added. *out gets the output.
  QOXError Decode(const Bytes& input, Bytes* out, EventLog* log, std::vector<QOXOptionListRef> extra) {
    void* buffer = nullptr;
    size_t length = 0;
    QOXOptionListRef list = qoxNewOptionList(context_, false);
    EXPECT_EQ(qoxAppendOptionListArgs(list, QOXOInputBuffer(context_, input.data(), input.size()),
                                      QOXOAllocatedOutputBuffer(context_, &buffer, 1 << 20, &length),
                                      kQOXEndOfOptionList),
              0);
    if (log != nullptr) {
      EXPECT_EQ(qoxAppendOptionListArgs(list, QOXOEventHandler(context_, Record, log), kQOXEndOfOptionList), 0);
    }
    for (QOXOptionListRef o : extra) EXPECT_EQ(qoxAppendOptionListArgs(list, o, kQOXEndOfOptionList), 0);
    // The entry point takes the list over.
    QOXError err = QOXDecode(context_, list, kQOXEndOfOptionList);
    out->clear();
    if (buffer != nullptr) {
      out->assign(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + length);
      QOXFreeData(buffer);
    }
    return err;
  }

  std::set<std::string> ImportIDs(const Bytes& bytes) {
    QOXKeyDB* db = nullptr;
    QOXError err = Import(bytes, &db);
    EXPECT_EQ(err, 0);
    if (err != 0) return {};
    auto ids = IDs(db);
    QOXFreeKeyDB(db);
    return ids;
  }
};

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// Every line of the text with a prefix, and its line ends as CR LF.
Bytes Quoted(const Bytes& text, const std::string& prefix) {
  Bytes out;
  bool start = true;
  for (uint8_t c : text) {
    if (start) out.insert(out.end(), prefix.begin(), prefix.end());
    start = c == '\n';
    out.push_back(c);
  }
  return out;
}
Bytes CRLF(const Bytes& text) {
  Bytes out;
  for (uint8_t c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

// gpg's exports, armored and binary, in the forms text and mail give them:
// the keys are gpg's, with no event sent (no handler is given).
TEST_F(DecodeTest, ImportsGpgExports) {
  const auto alice = ColonIDs(kKeys + "alice.colons.txt");
  const auto carol = ColonIDs(kKeys + "carol.colons.txt");
  ASSERT_EQ(alice.size(), 2u);
  const Bytes aliceAsc = ReadFile(kData + "armor/alice.asc");
  const Bytes carolAsc = ReadFile(kData + "decode/carol.asc");
  // A Comment header with '!' and '@' in it.
  std::string commented = ToString(aliceAsc);
  commented.insert(commented.find('\n') + 1, "Comment: keys! mail me @ alice@example.org\n");
  const struct {
    const char* name;
    Bytes input;
    std::set<std::string> ids;
  } cases[] = {
      {"armored", aliceAsc, alice},
      {"binary", ReadFile(kData + "armor/alice.gpg"), alice},
      {"binary from the keydb fixtures", ReadFile(kKeys + "carol.bin"), carol},
      {"CR LF", CRLF(aliceAsc), alice},
      {"quoted", Quoted(aliceAsc, "> "), alice},
      {"comment", ToBytes(commented), alice},
      {"two blocks, text between",
       Cat({ToBytes("Here are our keys.\n\n"), aliceAsc, ToBytes("\nAnd carol's:\n"), carolAsc,
            ToBytes("-- \nsignature\n")}),
       Union({alice, carol})},
      {"a key ring",
       ReadFile(kData + "decode/ring.bin"),
       Union({alice, carol, ColonIDs(kKeys + "bob.colons.txt"), ColonIDs(kKeys + "dave.colons.txt")})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ImportIDs(c.input), c.ids);
  }
}

// Two nested compressed packets around a 64-MiB key packet: refused at the
// job's bound, quickly, without the key sink growing past it.
TEST_F(DecodeTest, NestedCompressionIsBounded) {
  const Bytes bomb = ReadFile(kData + "decode/bomb.asc");
  ASSERT_LT(bomb.size(), 1024u);
  const auto start = std::chrono::steady_clock::now();
  QOXKeyDB* db = nullptr;
  QOXError err = Import(bomb, &db);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(err == kQOXErrDecompressionFailed || err == kQOXErrOutputBufferTooSmall) << err;
  EXPECT_EQ(db, nullptr);
  EXPECT_LT(took, std::chrono::seconds(1));
}

// A large ring (several MiB of key data, over the 1-MiB floor) still imports.
TEST_F(DecodeTest, LargeRingImports) {
  const Bytes ring = ReadFile(kData + "decode/ring.bin");
  Bytes big;
  while (big.size() < (3u << 20)) big.insert(big.end(), ring.begin(), ring.end());
  QOXKeyDB* db = nullptr;
  ASSERT_EQ(Import(big, &db), 0);
  EXPECT_EQ(IDs(db).size(), ImportIDs(ring).size());
  QOXFreeKeyDB(db);
}

// The job's own option rules: no output and no handler, two outputs.
TEST_F(DecodeTest, OptionRules) {
  const Bytes store = ReadFile(kData + "store.gpg");
  EXPECT_EQ(QOXDecode(context_, QOXOInputBuffer(context_, store.data(), store.size()), kQOXEndOfOptionList),
            kQOXErrBadParams);
  uint8_t buffer[16];
  size_t length = 0;
  EXPECT_EQ(QOXDecode(context_, QOXOInputBuffer(context_, store.data(), store.size()),
                      QOXOOutputBuffer(context_, buffer, sizeof buffer, &length), QOXODiscardOutput(context_, true),
                      kQOXEndOfOptionList),
            kQOXErrBadParams);
  // An option that is not a decode option.
  EXPECT_NE(QOXDecode(context_, QOXOInputBuffer(context_, store.data(), store.size()),
                      QOXODiscardOutput(context_, true), QOXOArmorOutput(context_, true), kQOXEndOfOptionList),
            0);
}

// A literal into a fixed buffer; the Initial and Final events around it.
TEST_F(DecodeTest, LiteralToBuffer) {
  const Bytes store = ReadFile(kData + "store.gpg");
  const Bytes plain = ReadFile(kData + "plain.txt");
  uint8_t buffer[256];
  size_t length = 0;
  EventLog log;
  ASSERT_EQ(QOXDecode(context_, QOXOInputBuffer(context_, store.data(), store.size()),
                      QOXOOutputBuffer(context_, buffer, sizeof buffer, &length),
                      QOXOEventHandler(context_, Record, &log), kQOXEndOfOptionList),
            0);
  EXPECT_EQ(Bytes(buffer, buffer + length), plain);
  ASSERT_GE(log.types.size(), 2u);
  EXPECT_EQ(log.types.front(), kQOXEvent_InitialEvent);
  EXPECT_EQ(log.types.back(), kQOXEvent_FinalEvent);
}

Bytes LF(const Bytes& text) {
  Bytes out;
  for (uint8_t c : text) {
    if (c != '\r') out.push_back(c);
  }
  return out;
}

// gpg's encrypted messages: passphrase (tag 18 with AES-256 and the old tag
// 9), public-key to erin's RSA key and to alice's ElGamal subkey, signed
// inside; the events come in order, the signature is checked and verified.
TEST_F(DecodeTest, DecryptsGpgMessages) {
  const Bytes plain = ReadFile(kData + "plain.txt");
  QOXKeyDB* erin = KeyDB({kData + "erin.sec.bin", kKeys + "alice.bin"});
  QOXKeyDB* alice = KeyDB({kKeys + "alice.sec.bin"});
  using E = std::vector<int32_t>;
  const E symmetric = {kQOXEvent_InitialEvent,  kQOXEvent_BeginLexEvent,   kQOXEvent_AnalyzeEvent,
                       kQOXEvent_RecipientsEvent, kQOXEvent_DecryptionEvent, kQOXEvent_EndLexEvent,
                       kQOXEvent_FinalEvent};
  const E signedEncrypted = {kQOXEvent_InitialEvent,    kQOXEvent_BeginLexEvent,   kQOXEvent_AnalyzeEvent,
                             kQOXEvent_RecipientsEvent, kQOXEvent_DecryptionEvent, kQOXEvent_SignatureEvent,
                             kQOXEvent_EndLexEvent,     kQOXEvent_FinalEvent};
  const struct {
    const char* name;
    std::string file;
    QOXKeyDB* db;
    bool passphrase;
    E events;
    size_t signatures;
  } cases[] = {
      {"AES-256, tag 18", "sym-aes.gpg", nullptr, true, symmetric, 0},
      {"tag 9", "sym-rfc2440.gpg", nullptr, true, symmetric, 0},
      {"RSA, signed", "decode/signed-rsa.bin", erin, false, signedEncrypted, 1},
      {"ElGamal, signed, armored", "decode/signed-elg.asc", alice, false, signedEncrypted, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EventLog log;
    std::vector<QOXOptionListRef> extra;
    if (c.passphrase) extra.push_back(QOXOPassphrase(context_, "fixture"));
    if (c.db != nullptr) extra.push_back(QOXOKeyDBRef(context_, c.db));
    Bytes out;
    EXPECT_EQ(Decode(ReadFile(kData + c.file), &out, &log, extra), 0);
    EXPECT_EQ(out, plain);
    EXPECT_EQ(log.Sequence(), c.events);
    EXPECT_EQ(log.analyzed, std::vector<int32_t>{kQOXSectionEncrypted});
    ASSERT_EQ(log.signatures.size(), c.signatures);
    for (const auto& s : log.signatures) {
      EXPECT_NE(s.signingKey, nullptr);
      EXPECT_TRUE(s.checked);
      EXPECT_TRUE(s.verified);
    }
  }
}

// Without a handler or a secret an encrypted section is skipped, not failed;
// a wrong passphrase is asked again through the Passphrase event.
TEST_F(DecodeTest, EncryptedWithoutSecret) {
  const Bytes message = ReadFile(kData + "sym-aes.gpg");
  Bytes out;
  EXPECT_EQ(Decode(message, &out, nullptr, {}), 0);
  EXPECT_TRUE(out.empty());
  EventLog log;
  log.passphraseReply = QOXOPassphrase(context_, "fixture");
  EXPECT_EQ(Decode(message, &out, &log, {QOXOPassphrase(context_, "wrong")}), 0);
  EXPECT_EQ(out, ReadFile(kData + "plain.txt"));
  EXPECT_EQ(std::count(log.types.begin(), log.types.end(), kQOXEvent_PassphraseEvent), 1);
}

// Literals are data: files whose first bytes look like packet headers come
// back byte for byte; a text literal gets the caller's line ends; only with
// option 41 is a message inside a literal decoded too.
TEST_F(DecodeTest, LiteralsAreData) {
  QOXKeyDB* erin = KeyDB({kData + "erin.sec.bin", kKeys + "alice.bin"});
  const Bytes plain = ReadFile(kData + "plain.txt");
  for (const char* name : {"png", "jpeg"}) {
    SCOPED_TRACE(name);
    Bytes out;
    EXPECT_EQ(Decode(ReadFile(kData + "decode/" + name + ".bin"), &out, nullptr, {QOXOKeyDBRef(context_, erin)}), 0);
    EXPECT_EQ(out, ReadFile(kData + "decode/" + name + ".data"));
  }
  Bytes out;
  EXPECT_EQ(Decode(ReadFile(kData + "decode/nested.bin"), &out, nullptr, {QOXOKeyDBRef(context_, erin)}), 0);
  EXPECT_EQ(out, ReadFile(kData + "store.gpg"));
  EXPECT_EQ(Decode(ReadFile(kData + "decode/nested.bin"), &out, nullptr,
                   {QOXOKeyDBRef(context_, erin), QOXORecursivelyDecode(context_, true)}),
            0);
  EXPECT_EQ(out, plain);

  // The text literal holds CR LF lines; it comes out with LF, or CR LF when
  // asked, and its signature (over the canonical text) verifies.
  EventLog log;
  const Bytes text = ReadFile(kData + "decode/textmode.bin");
  EXPECT_EQ(Decode(text, &out, &log, {QOXOKeyDBRef(context_, erin)}), 0);
  EXPECT_EQ(out, LF(plain));
  ASSERT_EQ(log.signatures.size(), 1u);
  EXPECT_TRUE(log.signatures[0].verified);
  EXPECT_EQ(Decode(text, &out, nullptr, {QOXOOutputLineEndType(context_, 3)}), 0);
  EXPECT_EQ(out, CRLF(LF(plain)));
}

// Clear-signed texts made by gpg: one Signature event each, checked and
// verified with the signer's key; a changed word is checked, not verified;
// an unknown signer gives an event without a key.
TEST_F(DecodeTest, ClearSignedTexts) {
  QOXKeyDB* alice = KeyDB({kKeys + "alice.bin"});
  QOXKeyDB* other = KeyDB({kKeys + "carol.bin"});
  const Bytes lf = ReadFile(kData + "armor/clear.asc");
  std::string changed = ToString(lf);
  changed.replace(changed.find("Dear reader"), 11, "Dear Reader");
  const struct {
    const char* name;
    Bytes input;
    QOXKeyDB* db;
    bool key, verified;
  } cases[] = {
      {"LF", lf, alice, true, true},
      {"CR LF", ReadFile(kData + "armor/clear-crlf.asc"), alice, true, true},
      {"RFC 3156", ReadFile(kData + "armor/mime.eml"), alice, true, true},
      {"changed word", ToBytes(changed), alice, true, false},
      {"unknown signer", lf, other, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EventLog log;
    QOXError err = QOXDecode(context_, QOXOInputBuffer(context_, c.input.data(), c.input.size()),
                             QOXODiscardOutput(context_, true), QOXOKeyDBRef(context_, c.db),
                             QOXOEventHandler(context_, Record, &log), kQOXEndOfOptionList);
    EXPECT_EQ(err, 0);
    ASSERT_EQ(log.signatures.size(), 1u);
    EXPECT_EQ(log.signatures[0].signingKey != nullptr, c.key);
    EXPECT_EQ(log.signatures[0].checked != 0, c.key);
    EXPECT_EQ(log.signatures[0].verified != 0, c.verified);
  }
}

// A detached signature: its signed data comes from option 20.
TEST_F(DecodeTest, DetachedSignature) {
  QOXKeyDB* alice = KeyDB({kKeys + "alice.bin"});
  const Bytes plain = ReadFile(kData + "plain.txt");
  for (const char* sig : {"detached.sig", "detached-text.sig"}) {
    SCOPED_TRACE(sig);
    EventLog log;
    const Bytes input = ReadFile(kData + sig);
    QOXError err = QOXDecode(
        context_, QOXOInputBuffer(context_, input.data(), input.size()), QOXODiscardOutput(context_, true),
        QOXOKeyDBRef(context_, alice), QOXOEventHandler(context_, Record, &log),
        QOXODetachedSig(context_, QOXOInputBuffer(context_, plain.data(), plain.size()), kQOXEndOfOptionList),
        kQOXEndOfOptionList);
    EXPECT_EQ(err, 0);
    ASSERT_EQ(log.signatures.size(), 1u);
    EXPECT_TRUE(log.signatures[0].verified);
    EXPECT_EQ(log.analyzed, std::vector<int32_t>{kQOXSectionDetachedSignature});
  }
  // Without the signed data or a handler that gives it: -11478.
  EventLog log;
  const Bytes input = ReadFile(kData + "detached.sig");
  EXPECT_EQ(QOXDecode(context_, QOXOInputBuffer(context_, input.data(), input.size()),
                      QOXODiscardOutput(context_, true), QOXOKeyDBRef(context_, alice),
                      QOXOEventHandler(context_, Record, &log), kQOXEndOfOptionList),
            kQOXErrDetachedSigNoCallback);
}

// Outputs asked of the handler: one Output event per literal, with the
// literal's type; "_CONSOLE" is for your eyes only and has no name.
TEST_F(DecodeTest, OutputEvents) {
  const Bytes store = ReadFile(kData + "store.gpg");
  EventLog log;
  void* buffer = nullptr;
  size_t length = 0;
  log.outputReply = QOXOAllocatedOutputBuffer(context_, &buffer, 4096, &length);
  ASSERT_EQ(QOXDecode(context_, QOXOInputBuffer(context_, store.data(), store.size()),
                      QOXOEventHandler(context_, Record, &log), kQOXEndOfOptionList),
            0);
  ASSERT_EQ(log.outputs.size(), 1u);
  EXPECT_EQ(log.outputs[0].messageType, 'b');
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(Bytes(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + length),
            ReadFile(kData + "plain.txt"));
  QOXFreeData(buffer);
  // No output in the reply: -12000.
  EventLog bare;
  EXPECT_EQ(QOXDecode(context_, QOXOInputBuffer(context_, store.data(), store.size()),
                      QOXOEventHandler(context_, Record, &bare), kQOXEndOfOptionList),
            kQOXErrBadParams);
  EXPECT_EQ(bare.errors, std::vector<QOXError>{kQOXErrBadParams});
  EXPECT_EQ(bare.types.back(), kQOXEvent_FinalEvent);
}

// An armor checksum that does not match fails the job with -11392.
TEST_F(DecodeTest, BadChecksum) {
  std::string armored = ToString(ReadFile(kData + "armor/alice.asc"));
  const size_t crc = armored.rfind("\n=");
  ASSERT_NE(crc, std::string::npos);
  armored[crc + 2] = armored[crc + 2] == 'A' ? 'B' : 'A';
  QOXKeyDB* db = nullptr;
  EXPECT_EQ(Import(ToBytes(armored), &db), kQOXErrAsciiArmorIncomplete);
}

}  // namespace
}  // namespace pipeline_test
