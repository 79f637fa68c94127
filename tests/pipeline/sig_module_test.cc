// The signature module and signature verification, with gpg as the oracle:
// messages and detached signatures made here verify with gpg --verify, and
// gpg's one-pass and detached signatures (binary and text) verify here.
#include <gtest/gtest.h>

#include <map>

#include "crypto/hash.h"
#include "foundation/core/sig_spec.h"
#include "keydb/key_id.h"
#include "keydb/sig_data.h"
#include "pipeline/add_header.h"
#include "pipeline/generic_modules.h"
#include "pipeline/hash_module.h"
#include "pipeline/sig_module.h"
#include "pipeline/sig_verify.h"
#include "tests/keydb/keydb_test_support.h"
#include "tests/pipeline/pipeline_test_support.h"

namespace {

using keydb_test::Bytes;
using pipeline_test::Recorder;

const std::string kPipelineData = OSTRAK_SOURCE_DIR "/tests/pipeline/data/";
const std::string kKeyData = OSTRAK_SOURCE_DIR "/tests/keydb/data/";
// After the fixtures' keys were made (gpg refuses older signatures).
constexpr QOXTime kWhen = 1796960000;

Bytes FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << path;
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// The packets of a message (RFC 2440 4.2, partial lengths joined): tag and
// body.
std::vector<std::pair<int, Bytes>> Packets(const Bytes& m) {
  std::vector<std::pair<int, Bytes>> out;
  size_t at = 0;
  while (at < m.size()) {
    const uint8_t ctb = m[at++];
    Bytes body;
    if (ctb & 0x40) {
      for (;;) {
        const uint8_t c = m[at++];
        size_t n = 0;
        bool partial = false;
        if (c < 192) {
          n = c;
        } else if (c < 224) {
          n = ((c - 192) << 8) + m[at++] + 192;
        } else if (c == 255) {
          n = (size_t{m[at]} << 24) | (m[at + 1] << 16) | (m[at + 2] << 8) | m[at + 3];
          at += 4;
        } else {
          n = size_t{1} << (c & 0x1F);
          partial = true;
        }
        body.insert(body.end(), m.begin() + static_cast<long>(at), m.begin() + static_cast<long>(at + n));
        at += n;
        if (!partial) break;
      }
      out.emplace_back(ctb & 0x3F, body);
    } else {
      const int widths[] = {1, 2, 4};
      size_t n = 0;
      for (int i = 0; i < widths[ctb & 3]; ++i) n = (n << 8) | m[at++];
      out.emplace_back((ctb >> 2) & 15, Bytes(m.begin() + static_cast<long>(at), m.begin() + static_cast<long>(at + n)));
      at += n;
    }
  }
  return out;
}

Bytes LiteralData(const Bytes& body) { return Bytes(body.begin() + 2 + body[1] + 4, body.end()); }

class SigModuleTest : public keydb_test::KeyDBTest {
 protected:
  void SetUp() override {
    KeyDBTest::SetUp();
    char pattern[] = "/tmp/ostrak-sigmod-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ASSERT_EQ(Read(FileBytes(kKeyData + "alice.sec.bin")), 0);
    ASSERT_EQ(Read(FileBytes(kKeyData + "carol.sec.bin")), 0);
    MarkAllChecked();
    alice_ = KeyNamed("Alice");
    carol_ = KeyNamed("Carol");
    ASSERT_TRUE(alice_ && carol_);
  }
  void TearDown() override {
    qoxSigSpecDestroy(specs_);
    if (std::filesystem::exists(dir_ + "/gnupg")) Run("GNUPGHOME=" + dir_ + "/gnupg gpgconf --kill all");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    KeyDBTest::TearDown();
  }
  static int Run(const std::string& command) {
    const int status = std::system(command.c_str());
    return status == -1 ? -1 : WEXITSTATUS(status);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  static void Write(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
  }
  // gpg's answer (stdout and stderr) and exit status.
  std::pair<int, std::string> Gpg(const std::string& args) {
    if (!std::filesystem::exists(dir_ + "/gnupg")) {
      std::filesystem::create_directory(dir_ + "/gnupg");
      std::filesystem::permissions(dir_ + "/gnupg", std::filesystem::perms::owner_all);
      EXPECT_EQ(Run("GNUPGHOME=" + dir_ + "/gnupg gpg --batch --quiet --import " + kKeyData + "alice.bin " + kKeyData +
                    "carol.bin" + " 2>/dev/null"),
                0);
    }
    const int rc = Run("GNUPGHOME=" + dir_ + "/gnupg gpg --batch --no-tty " + args + " >" + Path("gpg.out") + " 2>&1");
    std::ifstream in(Path("gpg.out"));
    return {rc, std::string(std::istreambuf_iterator<char>(in), {})};
  }
  static size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  // A spec chain, first signer first: SHA-1, the given version and type.
  const QOXSigSpec* Specs(std::vector<QOXKeyDBObj*> keys, int32_t version, uint8_t type = 0x00) {
    qoxSigSpecDestroy(specs_);
    specs_ = nullptr;
    for (auto it = keys.rbegin(); it != keys.rend(); ++it) {
      QOXSigSpec* spec = qoxSigSpecCreate(qoxContextGetEnvironment(context_), *it, type);
      EXPECT_NE(spec, nullptr);
      EXPECT_EQ(qoxSigSpecSetHashtype(spec, kQOXHashAlgorithm_SHA), 0);
      EXPECT_EQ(qoxSigSpecSetVersion(spec, version), 0);
      EXPECT_EQ(qoxSigSpecSetTimestamp(spec, kWhen), 0);
      qoxSigSpecAdd(&specs_, spec);
    }
    return specs_;
  }

  // A signed message: literal -> signature module -> recorder.
  Bytes SignedMessage(uint32_t version, const QOXSigSpec* specs, const Bytes& data, size_t piece = 0) {
    QOXPipeline* head = nullptr;
    QOXPipeline** slot = qoxSigCreate(context_, &head, version, &qoxByteFifoDesc);
    EXPECT_NE(slot, nullptr);
    if (slot == nullptr) return {};
    QOXPipeline* sig = head;
    EXPECT_STREQ(sig->name, "Signature");
    EXPECT_NE(qoxSigSignature(sig, specs, false), nullptr);
    slot = qoxLiteralCreate(context_, slot, version, &qoxByteFifoDesc, 'b', "", 0, kWhen);
    QOXPipeline** out = qoxSigTextInsert(sig, slot);
    EXPECT_NE(out, nullptr);
    Recorder r;
    *out = &r.module;
    EXPECT_EQ(pipeline_test::Feed(head, data, piece), 0);
    qoxPipelineTeardown(head);
    EXPECT_TRUE(r.Ended());
    EXPECT_TRUE(r.tornDown);
    return r.bytes;
  }

  // A detached signature: [text filter ->] signature module -> dev null,
  // the join carrying the signature packet.
  Bytes Detached(const QOXSigSpec* specs, const Bytes& data, bool text) {
    QOXPipeline* head = nullptr;
    QOXPipeline** at = &head;
    if (text) at = qoxTextFiltCreate(context_, at, nullptr, false, kQOXLineEndCRLF);
    QOXPipeline** slot = qoxSigCreate(context_, at, 4, &qoxByteFifoDesc);
    EXPECT_NE(slot, nullptr);
    if (slot == nullptr) return {};
    QOXPipeline** out = qoxSigSignature(*at, specs, true);
    EXPECT_NE(qoxDevNullCreate(context_, slot), nullptr);
    Recorder r;
    *out = &r.module;
    EXPECT_EQ(pipeline_test::Feed(head, data), 0);
    qoxPipelineTeardown(head);
    return r.bytes;
  }

  // What the decode job's callbacks saw.
  struct Job {
    QOXKeyDBObj* key;
    Bytes altInput;
    std::vector<int> results;                         // qoxSigDataCheck per signature
    std::vector<std::pair<QOXError, uint32_t>> messages;
  };
  static QOXDecodeCallbacks Callbacks() {
    QOXDecodeCallbacks c{};
    c.message = [](void* arg, QOXError error, uint32_t number, uint32_t, const uint32_t*) -> QOXError {
      static_cast<Job*>(arg)->messages.emplace_back(error, number);
      return 0;
    };
    c.findAltInput = [](void* arg, QOXPipeline* head) -> QOXError {
      return pipeline_test::Feed(head, static_cast<Job*>(arg)->altInput, 100);
    };
    c.sigVerify = [](void* arg, const QOXPktList* sig, const uint8_t* digest) -> QOXError {
      auto* job = static_cast<Job*>(arg);
      job->results.push_back(qoxSigDataCheck(sig, job->key, digest));
      return 0;
    };
    return c;
  }

  // The verification reader over text and signature bodies.
  std::vector<int> ThroughReader(const Bytes& text, const std::vector<Bytes>& sigs, const uint8_t* hashes,
                                 bool textFlag, bool sigsFirst) {
    Job job{alice_, {}, {}, {}};
    const QOXDecodeCallbacks callbacks = Callbacks();
    QOXPipeline* textHead = nullptr;
    QOXPipeline* sigHead = nullptr;
    QOXVerifyReader* reader = qoxVerifyReaderCreate(context_, &textHead, &sigHead, qoxContextGetEnvironment(context_),
                                                    &qoxByteFifoDesc, hashes, hashes != nullptr ? 1 : 0, textFlag,
                                                    &callbacks, &job);
    EXPECT_NE(reader, nullptr);
    if (reader == nullptr) return {};
    auto sendSigs = [&] {
      for (const Bytes& s : sigs) {
        EXPECT_EQ(sigHead->annotate(sigHead, nullptr, kQOXAnnSignature, const_cast<uint8_t*>(s.data()), s.size()), 0);
      }
      EXPECT_EQ(sigHead->sizeAdvise(sigHead, 0), 0);
    };
    if (sigsFirst) sendSigs();
    EXPECT_EQ(pipeline_test::Feed(textHead, text, 7), 0);
    if (!sigsFirst) sendSigs();
    textHead->teardown(textHead);
    sigHead->teardown(sigHead);
    return job.results;
  }

  std::string dir_;
  QOXSigSpec* specs_ = nullptr;
  QOXKeyDBObj* alice_ = nullptr;
  QOXKeyDBObj* carol_ = nullptr;
};

// Version-4 one-pass messages (one signer; two sharing SHA-1) and version-3
// messages verify with gpg; their packets come in the order RFC 2440 gives.
TEST_F(SigModuleTest, SignedMessagesVerifyWithGpg) {
  const Bytes data = pipeline_test::RandomBytes(5000, 3);
  struct {
    uint32_t version;
    std::vector<QOXKeyDBObj*> signers;
    std::vector<int> tags;
    size_t piece;
    bool empty;
  } cases[] = {
      {4, {alice_}, {4, 11, 2}, 0, false},
      {4, {alice_, carol_}, {4, 4, 11, 2, 2}, 333, false},
      {3, {alice_}, {2, 11}, 1000, false},
      // No data at all: the one-pass packet still comes first.
      {4, {alice_}, {4, 11, 2}, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "version " << c.version << ", signers " << c.signers.size()
                                      << (c.empty ? ", empty" : ""));
    const Bytes message = SignedMessage(c.version, Specs(c.signers, static_cast<int32_t>(c.version)),
                                        c.empty ? Bytes() : data, c.piece);
    const auto packets = Packets(message);
    std::vector<int> tags;
    for (const auto& [tag, body] : packets) tags.push_back(tag);
    ASSERT_EQ(tags, c.tags);
    if (c.signers.size() == 2) {
      // One-pass packets in spec order (the last flagged), signatures in
      // reverse: the signature next to the data closes the one-pass packet
      // next to it.
      EXPECT_EQ(packets[0].second[12], 0);
      EXPECT_EQ(packets[1].second[12], 1);
      for (auto [onePass, signature] : {std::pair{1, 3}, std::pair{0, 4}}) {
        const Bytes& s = packets[signature].second;
        QOXPktList* node = qoxPktListNew(context_, 0, s.data(), s.size());
        QOXKeyID id;
        ASSERT_EQ(qoxGetSigDataKeyID(node, &id), 0);
        qoxPktListFreeOne(node);
        EXPECT_EQ(Bytes(qoxGetKeyIDBytes(&id), qoxGetKeyIDBytes(&id) + 8),
                  Bytes(packets[onePass].second.begin() + 4, packets[onePass].second.begin() + 12));
      }
    }
    Write(Path("msg.gpg"), message);
    const auto [rc, out] = Gpg("--verify " + Path("msg.gpg"));
    EXPECT_EQ(rc, 0) << out;
    EXPECT_EQ(Count(out, "Good signature"), c.signers.size()) << out;
  }
}

// A version-3 message over MD5: gpg refuses the digest unless told to allow
// weak ones, and then the signature is good.
TEST_F(SigModuleTest, Version3Md5NeedsGpgsWeakDigestOption) {
  QOXSigSpec* spec = const_cast<QOXSigSpec*>(Specs({alice_}, 3));
  ASSERT_EQ(qoxSigSpecSetHashtype(spec, kQOXHashAlgorithm_MD5), 0);
  Write(Path("msg.gpg"), SignedMessage(3, spec, pipeline_test::ToBytes("weak\n")));
  const auto refused = Gpg("--verify " + Path("msg.gpg"));
  EXPECT_NE(refused.first, 0) << refused.second;
  EXPECT_EQ(Count(refused.second, "Good signature"), 0u) << refused.second;
  const auto allowed = Gpg("--allow-weak-digest-algos --verify " + Path("msg.gpg"));
  EXPECT_EQ(allowed.first, 0) << allowed.second;
  EXPECT_EQ(Count(allowed.second, "Good signature"), 1u) << allowed.second;
}

// Binary and text detached signatures verify with gpg --verify sig data; a
// text one is made over CR LF line ends, as gpg checks it.
TEST_F(SigModuleTest, DetachedSignaturesVerifyWithGpg) {
  const Bytes data = pipeline_test::ToBytes("first line\nsecond line  \nno end");
  Write(Path("data"), data);
  for (bool text : {false, true}) {
    SCOPED_TRACE(text ? "text" : "binary");
    const Bytes sig = Detached(Specs({alice_}, 4, text ? 0x01 : 0x00), data, text);
    const auto packets = Packets(sig);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].first, 2);
    Write(Path("sig"), sig);
    const auto [rc, out] = Gpg("--verify " + Path("sig") + " " + Path("data"));
    EXPECT_EQ(rc, 0) << out;
    EXPECT_EQ(Count(out, "Good signature"), 1u) << out;
  }
}

// gpg's detached signatures (binary and text) through qoxSepsigVerify and
// through the verification reader (hashes from the signatures, or given as
// an armor header would with the text flag): good over the data, bad over a
// changed byte.
TEST_F(SigModuleTest, GpgDetachedSignaturesVerify) {
  const Bytes data = FileBytes(kPipelineData + "plain.txt");
  Bytes changed = data;
  changed[10] ^= 0x20;
  const uint8_t sha1[1] = {2};
  for (const char* name : {"detached.sig", "detached-text.sig"}) {
    SCOPED_TRACE(name);
    const Bytes body = Packets(FileBytes(kPipelineData + name))[0].second;
    const bool text = body[1] == 0x01;
    for (const Bytes* input : {static_cast<const Bytes*>(&data), static_cast<const Bytes*>(&changed)}) {
      const int want = input == &data ? 1 : 0;
      QOXPktList* list = nullptr;
      ASSERT_EQ(qoxSigDataAdd(context_, &list, kQOXSigDataAnn_Signature, body.data(), body.size()), 0);
      Job job{alice_, *input, {}, {}};
      const QOXDecodeCallbacks callbacks = Callbacks();
      EXPECT_EQ(qoxSepsigVerify(list, qoxContextGetEnvironment(context_), &callbacks, &job), 0);
      EXPECT_EQ(job.results, std::vector<int>{want});
      ASSERT_FALSE(job.messages.empty());
      EXPECT_EQ(job.messages[0].second, kQOXMsgSigDetachedStarts);
      qoxSigDataFreeList(list);

      EXPECT_EQ(ThroughReader(*input, {body}, nullptr, false, true), std::vector<int>{want});
      EXPECT_EQ(ThroughReader(*input, {body}, nullptr, text, false), std::vector<int>{want});
      EXPECT_EQ(ThroughReader(*input, {body}, sha1, text, false), std::vector<int>{want});
    }
  }
  // No signatures: reported, nothing checked.
  Job job{alice_, data, {}, {}};
  const QOXDecodeCallbacks callbacks = Callbacks();
  EXPECT_EQ(qoxSepsigVerify(nullptr, qoxContextGetEnvironment(context_), &callbacks, &job), 0);
  EXPECT_EQ(job.messages, (std::vector<std::pair<QOXError, uint32_t>>{{kQOXErrBadParams, kQOXMsgSigDetachedNone}}));
}

// gpg's one-pass signed message: the signature paired with its one-pass
// packet checks against the literal data hashed by qoxSigSetupHashes; our
// version-3 message checks through the verification reader.
TEST_F(SigModuleTest, OnePassAndVersion3SignaturesVerify) {
  QOXPktList* list = nullptr;
  Bytes data;
  for (const auto& [tag, body] : Packets(FileBytes(kPipelineData + "signed-plain.gpg"))) {
    if (tag == 4) {
      ASSERT_EQ(qoxSigDataAdd(context_, &list, kQOXSigDataAnn_Signature, body.data(), body.size()), 0);
    } else if (tag == 2) {
      ASSERT_EQ(qoxSigDataAdd(context_, &list, kQOXSigDataAnn_ClosingSignature, body.data(), body.size()), 0);
    } else if (tag == 11) {
      data = LiteralData(body);
    }
  }
  Bytes changed = data;
  changed.back() ^= 1;
  for (const Bytes* input : {static_cast<const Bytes*>(&data), static_cast<const Bytes*>(&changed)}) {
    Job job{alice_, {}, {}, {}};
    const QOXDecodeCallbacks callbacks = Callbacks();
    QOXPipeline* head = nullptr;
    QOXHashList* hashes = nullptr;
    ASSERT_EQ(qoxSigSetupHashes(context_, &head, qoxContextGetEnvironment(context_), &hashes, list, &callbacks, &job),
              0);
    EXPECT_EQ(pipeline_test::Feed(head, *input, 9), 0);
    EXPECT_EQ(qoxSigVerify(list, hashes, &callbacks, &job), 0);
    EXPECT_EQ(job.results, std::vector<int>{input == &data ? 1 : 0});
    qoxPipelineTeardown(head);
    qoxHashListDestroy(hashes);
  }
  qoxSigDataFreeList(list);

  const Bytes text = pipeline_test::RandomBytes(3000, 5);
  const auto packets = Packets(SignedMessage(3, Specs({alice_}, 3), text));
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].second[0], 3);
  const Bytes literal = LiteralData(packets[1].second);
  EXPECT_EQ(literal, text);
  EXPECT_EQ(ThroughReader(literal, {packets[0].second}, nullptr, false, true), std::vector<int>{1});
  Bytes wrong = literal;
  wrong[0] ^= 1;
  EXPECT_EQ(ThroughReader(wrong, {packets[0].second}, nullptr, false, false), std::vector<int>{0});
}

// A signature whose hash is not in the hash list is reported with message
// 1055 and the next one is still checked.
TEST_F(SigModuleTest, UnknownHashIsReportedAndTheNextChecked) {
  const Bytes data = FileBytes(kPipelineData + "plain.txt");
  Bytes body = Packets(FileBytes(kPipelineData + "detached.sig"))[0].second;
  Bytes ripemd = body;
  ripemd[3] = 3;  // RIPEMD-160: known, but not hashed here
  QOXPktList* list = nullptr;
  ASSERT_EQ(qoxSigDataAdd(context_, &list, kQOXSigDataAnn_Signature, ripemd.data(), ripemd.size()), 0);
  ASSERT_EQ(qoxSigDataAdd(context_, &list, kQOXSigDataAnn_Signature, body.data(), body.size()), 0);
  const uint8_t sha1[1] = {2};
  QOXPipeline* head = nullptr;
  QOXHashList* hashes = nullptr;
  Recorder sink;
  head = &sink.module;
  ASSERT_EQ(qoxSigSetupPipeline(context_, &head, &hashes, sha1, 1, nullptr), 0);
  EXPECT_EQ(pipeline_test::Feed(head, data), 0);
  Job job{alice_, {}, {}, {}};
  const QOXDecodeCallbacks callbacks = Callbacks();
  EXPECT_EQ(qoxSigVerify(list, hashes, &callbacks, &job), 0);
  EXPECT_EQ(job.messages, (std::vector<std::pair<QOXError, uint32_t>>{{kQOXErrUnknownHashNumber, kQOXMsgSigUnknownHash}}));
  EXPECT_EQ(job.results, std::vector<int>{1});
  qoxPipelineTeardown(head);
  qoxHashListDestroy(hashes);
  qoxSigDataFreeList(list);
}

// The signature side of the verification reader: text beside the armor is
// dropped only inside a run outside armor; other annotations are refused; a
// signature that cannot be stored is reported (1053).
TEST_F(SigModuleTest, SigheadTakesOnlyWhatBelongsToIt) {
  Job job{alice_, {}, {}, {}};
  const QOXDecodeCallbacks callbacks = Callbacks();
  QOXPipeline* textHead = nullptr;
  QOXPipeline* sigHead = nullptr;
  ASSERT_NE(qoxVerifyReaderCreate(context_, &textHead, &sigHead, qoxContextGetEnvironment(context_), &qoxByteFifoDesc,
                                  nullptr, 0, true, &callbacks, &job),
            nullptr);
  EXPECT_STREQ(sigHead->name, "Signature Verification Annotation Reader (sighead)");
  EXPECT_STREQ(textHead->name, "Signature Verification Annotation Reader (texthead)");
  const uint8_t text[] = "beside";
  QOXError err = 0;
  auto write = [&] { return sigHead->write(sigHead, text, 6, &err); };
  EXPECT_EQ(write(), 0u);
  EXPECT_EQ(err, kQOXErrBadParams);
  EXPECT_EQ(sigHead->annotate(sigHead, nullptr, kQOXAnnInputBegin, nullptr, 0), 0);
  EXPECT_EQ(sigHead->annotate(sigHead, nullptr, kQOXAnnNonArmorBegin, nullptr, 0), 0);
  EXPECT_EQ(sigHead->annotate(sigHead, nullptr, kQOXAnnArmorMsgBegin, nullptr, 0), 0);
  EXPECT_EQ(sigHead->annotate(sigHead, nullptr, kQOXAnnArmorMsgEnd, nullptr, 0), 0);
  EXPECT_EQ(write(), 6u);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(sigHead->annotate(sigHead, nullptr, kQOXAnnNonArmorEnd, nullptr, 0), 0);
  EXPECT_EQ(write(), 0u);
  EXPECT_EQ(err, kQOXErrBadParams);
  EXPECT_EQ(sigHead->annotate(sigHead, nullptr, kQOXAnnCommit, nullptr, 0), 0);
  EXPECT_EQ(sigHead->annotate(sigHead, nullptr, kQOXAnnLiteralBegin, nullptr, 0), kQOXErrBadParams);
  uint8_t junk[] = {9, 0, 0};
  EXPECT_EQ(sigHead->annotate(sigHead, nullptr, kQOXAnnSignature, junk, sizeof junk), kQOXErrUnknownVersion);
  EXPECT_EQ(job.messages, (std::vector<std::pair<QOXError, uint32_t>>{{kQOXErrUnknownVersion, kQOXMsgSigUnstorable}}));
  // Nothing stored: the end checks nothing, and both halves go.
  EXPECT_EQ(pipeline_test::Feed(textHead, pipeline_test::ToBytes("text\n")), 0);
  EXPECT_EQ(sigHead->sizeAdvise(sigHead, 0), 0);
  EXPECT_TRUE(job.results.empty());
  sigHead->teardown(sigHead);
  textHead->teardown(textHead);
}

}  // namespace
