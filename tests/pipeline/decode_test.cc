// The decode operation end to end: key import of gpg's exports (armored and
// binary, in the forms mail and text files give them), the bound on key data
// and inflation, and the job's option rules.
#include <gtest/gtest.h>

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
};

QOXError Record(QOXContext*, QOXEvent* event, void* arg) {
  static_cast<EventLog*>(arg)->types.push_back(event->type);
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

}  // namespace
}  // namespace pipeline_test
