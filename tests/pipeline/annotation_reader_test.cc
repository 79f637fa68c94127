// The annotation reader against a recording callback record and a
// recording origin: scope depth, the commit protocol, signature hash
// requests (sigtry), detached signatures and the opening and closing of
// outputs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/context.h"
#include "foundation/env.h"
#include "pipeline/annotation_reader.h"
#include "pipeline/generic_modules.h"
#include "tests/pipeline/pipeline_test_support.h"

namespace pipeline_test {
namespace {

// A version-4 signature body: type 0, RSA, SHA-1, empty areas, check bytes.
const Bytes kSig = {4, 0, 1, 2, 0, 0, 0, 0, 0xAB, 0xCD};

struct Calls {
  std::vector<std::pair<QOXError, uint32_t>> messages;  // error, number
  std::vector<uint32_t> messageArgs;
  int32_t commitAnswer = 260;
  int32_t eskAnswer = 0;
  Bytes eskKey;  // offered through tryKey when not empty
  QOXError tryResult = -1;
  std::vector<int32_t> outputTypes;
  std::vector<std::string> outputNames;
  int sigVerifies = 0;
  Bytes digest;
  int altInputs = 0;
  Recorder sink;
};

Calls* C(void* arg) { return static_cast<Calls*>(arg); }

const QOXDecodeCallbacks kCallbacks = {
    [](void* arg, QOXError error, uint32_t number, uint32_t argCount, const uint32_t* args) -> QOXError {
      C(arg)->messages.push_back({error, number});
      for (uint32_t i = 0; i < argCount; ++i) C(arg)->messageArgs.push_back(args[i]);
      return 0;
    },
    [](void* arg, uint32_t) -> int32_t { return C(arg)->commitAnswer; },
    [](void* arg, QOXPipeline** tail, int32_t type, const char* name) -> QOXError {
      C(arg)->outputTypes.push_back(type);
      C(arg)->outputNames.push_back(name != nullptr ? name : "(none)");
      *tail = &C(arg)->sink.module;
      return 0;
    },
    [](void* arg, QOXPipeline*) -> QOXError {
      ++C(arg)->altInputs;
      return 0;
    },
    [](void* arg, const QOXPktList*, const uint8_t* digest) -> QOXError {
      ++C(arg)->sigVerifies;
      if (digest != nullptr) C(arg)->digest.assign(digest, digest + 20);
      return 0;
    },
    [](void* arg, QOXPktList*, QOXEskTryKey tryKey, void* tryArg) -> int32_t {
      if (!C(arg)->eskKey.empty()) C(arg)->tryResult = tryKey(tryArg, C(arg)->eskKey.data(), C(arg)->eskKey.size());
      return C(arg)->eskAnswer;
    },
    nullptr,
};

// The origin of annotations: records what the reader sends back, answers
// a hash request with a 20-byte digest of 0x5A.
struct Origin {
  struct Answer {
    uint32_t type;
    Bytes data;
  };
  std::vector<Answer> answers;
  QOXPipeline* reader = nullptr;
  QOXPipeline module{};
  Origin() {
    module.name = "Test Origin";
    module.priv = this;
    module.annotate = [](QOXPipeline* m, QOXPipeline*, uint32_t type, void* data, size_t n) -> QOXError {
      auto* o = static_cast<Origin*>(m->priv);
      const auto* p = static_cast<const uint8_t*>(data);
      o->answers.push_back({type, p != nullptr ? Bytes(p, p + n) : Bytes()});
      if (type == kQOXAnnHashRequest) {
        uint8_t digest[20];
        std::fill(std::begin(digest), std::end(digest), 0x5A);
        return o->reader->annotate(o->reader, m, kQOXAnnHashValue, digest, sizeof digest);
      }
      return 0;
    };
  }
};

class AnnotationReaderTest : public PipelineTest {
 protected:
  void SetUp() override {
    PipelineTest::SetUp();
    tail_ = qoxAnnotationReaderCreate(context_, &reader_, qoxContextGetEnvironment(context_), &kCallbacks, &calls_);
    ASSERT_NE(tail_, nullptr);
    origin_.reader = reader_;
  }
  void TearDown() override {
    // The recorder is the test's; take it out before the reader goes.
    *tail_ = nullptr;
    qoxPipelineTeardown(reader_);
    PipelineTest::TearDown();
  }
  QOXError Ann(uint32_t type, const Bytes& data = {}) {
    return reader_->annotate(reader_, &origin_.module, type, const_cast<uint8_t*>(data.data()), data.size());
  }
  QOXError Write(const std::string& text) {
    QOXError err = 0;
    reader_->write(reader_, reinterpret_cast<const uint8_t*>(text.data()), text.size(), &err);
    return err;
  }
  std::vector<uint32_t> AnswerTypes() const {
    std::vector<uint32_t> t;
    for (const auto& a : origin_.answers) t.push_back(a.type);
    return t;
  }

  Calls calls_;
  Origin origin_;
  QOXPipeline* reader_ = nullptr;
  QOXPipeline** tail_ = nullptr;
};

// Fifty open scopes are room enough; the 51st is refused and ends the job.
// An end without an open scope is reported and changes nothing.
TEST_F(AnnotationReaderTest, ScopeDepth) {
  EXPECT_EQ(Ann(kQOXAnnCompressedEnd), 0);
  ASSERT_EQ(calls_.messages.size(), 1u);
  EXPECT_EQ(calls_.messages[0], std::make_pair(kQOXErrUnbalancedScope, kQOXMsgScopeUnbalanced));
  for (int i = 0; i < kQOXReaderMaxScopes; ++i) ASSERT_EQ(Ann(kQOXAnnCompressedBegin), 0) << i;
  EXPECT_EQ(Ann(kQOXAnnCompressedBegin), kQOXErrUnbalancedScope);
  EXPECT_EQ(calls_.messages.size(), 2u);
  // A mismatched end is reported too; the matching ones close.
  EXPECT_EQ(Ann(kQOXAnnLiteralEnd), 0);
  EXPECT_EQ(calls_.messages.size(), 3u);
  for (int i = 0; i < kQOXReaderMaxScopes; ++i) ASSERT_EQ(Ann(kQOXAnnCompressedEnd), 0);
  EXPECT_EQ(calls_.messages.size(), 3u);
}

// The commit protocol, answer by answer.
TEST_F(AnnotationReaderTest, CommitAnswers) {
  const struct {
    const char* name;
    uint32_t scope;
    int32_t answer;
    QOXError result;
    std::vector<uint32_t> origin;
    uint32_t message;  // 0: none
  } cases[] = {
      {"skip", kQOXAnnLiteralBegin, 258, 0, {258}, 0},
      {"pass through", kQOXAnnCompressedBegin, 259, 0, {259}, 0},
      {"process", kQOXAnnLiteralBegin, 260, 0, {260}, 0},
      {"recurse", kQOXAnnCompressedBegin, 261, 0, {261}, 0},
      {"not a commit code", kQOXAnnLiteralBegin, 300, 0, {}, kQOXMsgCommitInvalid},
      {"an error", kQOXAnnLiteralBegin, kQOXErrSkipSection, kQOXErrSkipSection, {}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    origin_.answers.clear();
    calls_.messages.clear();
    calls_.commitAnswer = c.answer;
    ASSERT_EQ(Ann(c.scope), 0);
    EXPECT_EQ(Ann(kQOXAnnCommit), c.result);
    EXPECT_EQ(AnswerTypes(), c.origin);
    if (c.message != 0) {
      ASSERT_EQ(calls_.messages.size(), 1u);
      EXPECT_EQ(calls_.messages[0].second, c.message);
      EXPECT_EQ(calls_.messageArgs.back(), 300u);
    } else {
      EXPECT_TRUE(calls_.messages.empty());
    }
    ASSERT_EQ(Ann(c.scope + 1), 0);
  }
}

// An encrypted scope: eskDecrypt is called (with no ESK collected too), its
// key is offered to the origin under the commit code, and a skip answer is
// passed on to the origin.
TEST_F(AnnotationReaderTest, EncryptedCommit) {
  calls_.eskKey = {9, 1, 2, 3};
  ASSERT_EQ(Ann(kQOXAnnCipherBegin), 0);
  EXPECT_EQ(Ann(kQOXAnnCommit), 0);
  EXPECT_EQ(calls_.tryResult, 0);
  ASSERT_EQ(origin_.answers.size(), 1u);
  EXPECT_EQ(origin_.answers[0].type, 260u);
  EXPECT_EQ(origin_.answers[0].data, calls_.eskKey);
  ASSERT_EQ(Ann(kQOXAnnCipherEnd), 0);

  origin_.answers.clear();
  calls_.eskKey.clear();
  calls_.eskAnswer = 258;
  ASSERT_EQ(Ann(kQOXAnnCipherBegin), 0);
  EXPECT_EQ(Ann(kQOXAnnCommit), 0);
  EXPECT_EQ(AnswerTypes(), std::vector<uint32_t>{258});
  // A refusal of eskDecrypt is reported (1300) and returned.
  ASSERT_EQ(Ann(kQOXAnnCipherEnd), 0);
  calls_.eskAnswer = kQOXErrBadSessionKey;
  ASSERT_EQ(Ann(kQOXAnnCipherBegin), 0);
  EXPECT_EQ(Ann(kQOXAnnCommit), kQOXErrBadSessionKey);
  EXPECT_EQ(calls_.messages.back().second, kQOXMsgEskUnusable);
}

// A signed scope: the commit answer carries the signatures' hashes; its end
// sends each signature's hash request (version, hash, hashed material) and
// the digest that comes back goes to sigVerify.
TEST_F(AnnotationReaderTest, SignedScope) {
  ASSERT_EQ(Ann(kQOXAnnSignedBegin), 0);
  ASSERT_EQ(Ann(kQOXAnnSignature, kSig), 0);
  ASSERT_EQ(Ann(kQOXAnnCommit), 0);
  ASSERT_EQ(origin_.answers.size(), 1u);
  EXPECT_EQ(origin_.answers[0].type, 260u);
  EXPECT_EQ(origin_.answers[0].data, Bytes{2});
  ASSERT_EQ(Ann(kQOXAnnSignedEnd), 0);
  ASSERT_EQ(origin_.answers.size(), 2u);
  EXPECT_EQ(origin_.answers[1].type, kQOXAnnHashRequest);
  EXPECT_EQ(origin_.answers[1].data, (Bytes{4, 2, 4, 0, 1, 2, 0, 0}));
  EXPECT_EQ(calls_.sigVerifies, 1);
  EXPECT_EQ(calls_.digest, Bytes(20, 0x5A));
  // The list is gone: a second end of the same level requests nothing.
  ASSERT_EQ(Ann(kQOXAnnSignedBegin), 0);
  ASSERT_EQ(Ann(kQOXAnnSignedEnd), 0);
  EXPECT_EQ(origin_.answers.size(), 2u);
}

// A detached signature scope is checked at its commit against the other
// input; its end finds an empty list and requests no hash.
TEST_F(AnnotationReaderTest, DetachedScope) {
  ASSERT_EQ(Ann(kQOXAnnSignedBegin), 0);
  ASSERT_EQ(Ann(kQOXAnnSignature, kSig), 0);
  ASSERT_EQ(Ann(kQOXAnnSignedDetached), 0);
  ASSERT_EQ(Ann(kQOXAnnCommit), 0);
  EXPECT_EQ(calls_.altInputs, 1);
  EXPECT_EQ(calls_.sigVerifies, 1);
  EXPECT_TRUE(origin_.answers.empty());
  ASSERT_EQ(Ann(kQOXAnnSignedEnd), 0);
  EXPECT_TRUE(origin_.answers.empty());
}

// Outputs: data before any annotation opens one of type -1 without a name;
// a literal's type and name go to its output, which closes with its scope;
// a clear-signed scope forces 't', which an armored message inside it keeps.
TEST_F(AnnotationReaderTest, Outputs) {
  ASSERT_EQ(Write("loose"), 0);
  // Opened outside every scope, it closes at the end of the input.
  ASSERT_EQ(reader_->sizeAdvise(reader_, 0), 0);
  EXPECT_TRUE(calls_.sink.Ended());
  ASSERT_EQ(Ann(kQOXAnnLiteralBegin), 0);
  ASSERT_EQ(Ann(kQOXAnnLiteralType, Bytes{'t'}), 0);
  ASSERT_EQ(Ann(kQOXAnnLiteralName, ToBytes("a.txt")), 0);
  ASSERT_EQ(Write("first"), 0);
  ASSERT_EQ(Ann(kQOXAnnLiteralEnd), 0);
  ASSERT_EQ(Ann(kQOXAnnLiteralBegin), 0);
  ASSERT_EQ(Ann(kQOXAnnLiteralType, Bytes{'b'}), 0);
  ASSERT_EQ(Write("second"), 0);
  ASSERT_EQ(Ann(kQOXAnnLiteralEnd), 0);
  ASSERT_EQ(Ann(kQOXAnnClearsigBegin), 0);
  ASSERT_EQ(Ann(kQOXAnnArmorMsgBegin), 0);
  ASSERT_EQ(Write("text"), 0);
  EXPECT_EQ(calls_.outputTypes, (std::vector<int32_t>{-1, 't', 'b', 't'}));
  EXPECT_EQ(calls_.outputNames, (std::vector<std::string>{"(none)", "a.txt", "(none)", "(none)"}));
  EXPECT_EQ(calls_.sink.Text(), "loosefirstsecondtext");
}

}  // namespace
}  // namespace pipeline_test
