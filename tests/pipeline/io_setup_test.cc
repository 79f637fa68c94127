// Input and output set-up: the memory pump's order, contradictory options,
// outputs that do not fit, and PEM in both directions against openssl.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/context.h"
#include "foundation/events.h"
#include "foundation/file_spec.h"
#include "foundation/memory_mgr.h"
#include "foundation/option_list.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk_errors.h"
#include "foundation/file.h"
#include "keydb/key_db.h"
#include "keydb/key_set.h"
#include "keydb/key_set_enum.h"
#include "keydb/ring_reader.h"
#include "pipeline/generic_modules.h"
#include "pipeline/io_setup.h"
#include "tests/pipeline/pipeline_test_support.h"

namespace pipeline_test {
namespace {

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class IOSetupTest : public PipelineTest {
 protected:
  // A list of the given one-option lists (consumed).
  QOXOptionListRef List(std::vector<QOXOptionListRef> options) {
    QOXOptionListRef list = qoxNewOptionList(context_, false);
    for (QOXOptionListRef o : options) EXPECT_EQ(qoxAppendOptionListArgs(list, o, kQOXEndOfOptionList), 0);
    lists_.push_back(list);
    return list;
  }
  PFLFileSpec* Spec(const std::string& path) {
    PFLFileSpec* spec = nullptr;
    EXPECT_EQ(PFLNewFileSpecFromFullPath(QOXPeekContextMemoryMgr(context_), path.c_str(), &spec), 0);
    specs_.push_back(spec);
    return spec;
  }
  void TearDown() override {
    for (auto l : lists_) qoxFreeOptionList(l);
    for (auto s : specs_) PFLFreeFileSpec(s);
    PipelineTest::TearDown();
  }
  std::vector<QOXOptionListRef> lists_;
  std::vector<PFLFileSpec*> specs_;
};

// The pump's calls in order: advice, input begin, advice, writes of at most
// 4096 bytes, then the end advice around the input end.
TEST_F(IOSetupTest, PumpOrder) {
  std::vector<std::string> calls;
  QOXPipeline m{};
  m.priv = &calls;
  m.write = [](QOXPipeline* p, const uint8_t*, size_t n, QOXError* err) -> size_t {
    static_cast<std::vector<std::string>*>(p->priv)->push_back("write " + std::to_string(n));
    *err = 0;
    return n;
  };
  m.annotate = [](QOXPipeline* p, QOXPipeline*, uint32_t type, void*, size_t) -> QOXError {
    static_cast<std::vector<std::string>*>(p->priv)->push_back(type == kQOXAnnInputBegin ? "begin" : "end");
    return 0;
  };
  m.sizeAdvise = [](QOXPipeline* p, uint64_t n) -> QOXError {
    static_cast<std::vector<std::string>*>(p->priv)->push_back("advise " + std::to_string(n));
    return 0;
  };
  const Bytes data = RandomBytes(10000, 1);
  std::vector<uint64_t> progress;
  auto record = [](void* arg, uint64_t done, uint64_t) -> int32_t {
    static_cast<std::vector<uint64_t>*>(arg)->push_back(done);
    return 0;
  };
  ASSERT_EQ(qoxPumpMem(&m, data.data(), data.size(), record, &progress), 0);
  EXPECT_EQ(calls, (std::vector<std::string>{"advise 10000", "begin", "advise 10000", "write 4096", "write 4096",
                                             "write 1808", "advise 0", "end", "advise 0"}));
  EXPECT_EQ(progress, (std::vector<uint64_t>{4096, 8192, 10000}));
  // A progress callback that says stop ends the pump before the end.
  calls.clear();
  auto stop = [](void*, uint64_t, uint64_t) -> int32_t { return 1; };
  EXPECT_EQ(qoxPumpMem(&m, data.data(), data.size(), stop, nullptr), kQOXErrUserAbort);
  EXPECT_EQ(calls.back(), "write 4096");
}

TEST_F(IOSetupTest, ContradictoryOptions) {
  const std::string path = Path("in");
  WriteFile(path, ToBytes("file input"));
  uint8_t buffer[16];
  size_t length = 0;
  void* allocated = nullptr;
  size_t allocatedLength = 0;
  struct Case {
    const char* name;
    std::vector<QOXOptionListRef> options;
    bool input;  // checked through qoxSetupInput, else the output
  } cases[] = {
      {"file and buffer input", {QOXOInputFile(context_, Spec(path)), QOXOInputBuffer(context_, "b", 1)}, true},
      {"no input", {QOXOArmorOutput(context_, true)}, true},
      {"file and buffer output",
       {QOXOOutputFile(context_, Spec(Path("out"))), QOXOOutputBuffer(context_, buffer, sizeof buffer, &length)},
       false},
      {"buffer and allocated output",
       {QOXOOutputBuffer(context_, buffer, sizeof buffer, &length),
        QOXOAllocatedOutputBuffer(context_, &allocated, 100, &allocatedLength)},
       false},
      {"discard and buffer", {QOXODiscardOutput(context_, true), QOXOOutputBuffer(context_, buffer, 16, &length)},
       false},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    QOXOptionListRef list = List(c.options);
    if (c.input) {
      QOXInputSetup in;
      EXPECT_EQ(qoxSetupInput(context_, list, true, false, false, &in), kQOXErrBadParams);
      EXPECT_EQ(in.fileRead, nullptr);
      EXPECT_EQ(in.name, nullptr);
    } else {
      QOXPipeline* tail = nullptr;
      QOXOutputSetup out;
      EXPECT_EQ(qoxSetupOutputPipeline(context_, list, qoxContextGetEnvironment(context_), false, false, false, false,
                                       false, &tail, &out),
                kQOXErrBadParams);
      EXPECT_EQ(tail, nullptr);
    }
  }
  // No output option at all: a Dev Null.
  QOXPipeline* tail = nullptr;
  QOXOutputSetup out;
  ASSERT_EQ(qoxSetupOutputPipeline(context_, List({QOXOArmorOutput(context_, false)}),
                                   qoxContextGetEnvironment(context_), false, false, false, false, false, &tail, &out),
            0);
  ASSERT_NE(tail, nullptr);
  EXPECT_EQ(tail->magic, kQOXMagicDevNull);
  qoxPipelineTeardown(tail);
  // A warning reaches the handler with its code and argument; without a
  // handler nothing happens.
  struct Seen {
    QOXError code = 0;
    uintptr_t arg = 0;
    int events = 0;
  } seen;
  auto handler = [](QOXContext*, QOXEvent* event, void* user) -> QOXError {
    auto* s = static_cast<Seen*>(user);
    ++s->events;
    if (event->type == kQOXEvent_WarningEvent) {
      s->code = event->data.warningData.warning;
      s->arg = event->data.warningData.warningArg;
    }
    return 0;
  };
  EXPECT_EQ(qoxWarnUser(context_, List({QOXOEventHandler(context_, handler, &seen)}), kQOXErrKeyExpired, 7), 0);
  EXPECT_EQ(seen.events, 1);
  EXPECT_EQ(seen.code, kQOXErrKeyExpired);
  EXPECT_EQ(seen.arg, 7u);
  EXPECT_EQ(qoxWarnUser(context_, List({QOXOArmorOutput(context_, true)}), kQOXErrKeyExpired, 7), 0);
  EXPECT_EQ(seen.events, 1);
  // Null events without a handler.
  void *noHandler, *arg;
  bool sendNull = true;
  EXPECT_EQ(qoxSetupCallback(List({QOXOSendNullEvents(context_, 1)}), &noHandler, &arg, &sendNull),
            kQOXErrBadParams);
  EXPECT_FALSE(sendNull);
}

// Output that does not fit: the fixed buffer keeps what fits and says so;
// an allocated buffer within its limit gets everything; appending keeps
// what was there.
TEST_F(IOSetupTest, BufferOutputs) {
  const Bytes data = RandomBytes(150, 2);
  uint8_t buffer[100] = {};
  size_t length = 0;
  EXPECT_EQ(qoxOutputBufferByOptionList(context_, data.data(), data.size(),
                                        List({QOXOOutputBuffer(context_, buffer, sizeof buffer, &length)}), 0),
            kQOXErrOutputBufferTooSmall);
  EXPECT_EQ(length, 100u);
  EXPECT_EQ(Bytes(buffer, buffer + 100), Bytes(data.begin(), data.begin() + 100));

  void* block = nullptr;
  size_t blockLength = 0;
  ASSERT_EQ(qoxOutputBufferByOptionList(context_, data.data(), data.size(),
                                        List({QOXOAllocatedOutputBuffer(context_, &block, 1000, &blockLength)}), 0),
            0);
  ASSERT_EQ(blockLength, 150u);
  EXPECT_EQ(Bytes(static_cast<uint8_t*>(block), static_cast<uint8_t*>(block) + 150), data);
  QOXFreeData(block);
  // Appended: the old block's bytes first, the old block freed (the
  // constructor clears the caller's outputs, so they are set again after).
  QOXOptionListRef append = List({QOXOAllocatedOutputBuffer(context_, &block, 1000, &blockLength),
                                  QOXOAppendOutput(context_, true)});
  void* old = QOXContextMemAllocCopy(context_, 150, 0, data.data());
  block = old;
  blockLength = 150;
  ASSERT_EQ(qoxOutputBufferByOptionList(context_, data.data(), 10, append, 0), 0);
  ASSERT_EQ(blockLength, 160u);
  EXPECT_EQ(Bytes(static_cast<uint8_t*>(block), static_cast<uint8_t*>(block) + 160),
            Cat(data, Bytes(data.begin(), data.begin() + 10)));
  QOXFreeData(block);
  block = nullptr;
  EXPECT_EQ(qoxOutputBufferByOptionList(context_, data.data(), data.size(),
                                        List({QOXOAllocatedOutputBuffer(context_, &block, 100, &blockLength)}), 0),
            kQOXErrOutputBufferTooSmall);
  if (block != nullptr) QOXFreeData(block);
}

TEST_F(IOSetupTest, InputToBuffer) {
  const Bytes data = RandomBytes(5000, 3);
  WriteFile(Path("in"), data);
  uint8_t* out = nullptr;
  size_t length = 0;
  bool allocated = false;
  ASSERT_EQ(qoxSetupInputToBuffer(context_, List({QOXOInputFile(context_, Spec(Path("in")))}), &out, &length,
                                  &allocated),
            0);
  EXPECT_TRUE(allocated);
  EXPECT_EQ(Bytes(out, out + length), data);
  QOXFreeData(out);
  ASSERT_EQ(qoxSetupInputToBuffer(context_, List({QOXOInputBuffer(context_, data.data(), data.size())}), &out,
                                  &length, &allocated),
            0);
  EXPECT_FALSE(allocated);
  EXPECT_EQ(out, data.data());
  EXPECT_EQ(length, data.size());
  EXPECT_EQ(qoxSetupInputToBuffer(context_, List({QOXOInputFile(context_, Spec(Path("missing")))}), &out, &length,
                                  &allocated),
            kQOXErrFileNotFound);
  EXPECT_EQ(out, nullptr);
}

// PEM both ways, with openssl as the oracle: openssl's PEM of a certificate
// decodes to its DER; our PEM of the DER is read back by openssl.
TEST_F(IOSetupTest, PEM) {
  const std::string der = std::string(OSTRAK_SOURCE_DIR) + "/tests/pki/fuzz/corpus/tc_cert/cert_rsa.der";
  ASSERT_EQ(Run("openssl x509 -inform DER -in " + der + " -outform PEM -out " + Path("c.pem")), 0);
  const Bytes pem = ReadFile(Path("c.pem")), cert = ReadFile(der);
  uint8_t* out = nullptr;
  size_t length = 0;
  ASSERT_EQ(qoxRemovePEMEncoding(context_, pem.data(), pem.size(), &out, &length), 0);
  EXPECT_EQ(Bytes(out, out + length), cert);
  qoxContextMemFree(context_, out);

  // Without the BEGIN line the body decodes from its first character; a run
  // that is not whole groups is refused.
  std::string body = ToString(pem);
  body = "  \n" + body.substr(body.find('\n') + 1);
  ASSERT_EQ(qoxRemovePEMEncoding(context_, ToBytes(body).data(), body.size(), &out, &length), 0);
  EXPECT_EQ(Bytes(out, out + length), cert);
  qoxContextMemFree(context_, out);
  const std::string bad = "-----BEGIN X-----\nQUJD\nQUJ\n-----END X-----\n";
  EXPECT_EQ(qoxRemovePEMEncoding(context_, ToBytes(bad).data(), bad.size(), &out, &length), kQOXErrBadParams);
  EXPECT_EQ(out, nullptr);

  void* block = nullptr;
  size_t blockLength = 0;
  ASSERT_EQ(qoxOutputBufferByOptionList(context_, cert.data(), cert.size(),
                                        List({QOXOAllocatedOutputBuffer(context_, &block, 1 << 20, &blockLength),
                                              QOXOArmorOutput(context_, true)}),
                                        kQOXAnnPEMCertificate),
            0);
  WriteFile(Path("ours.pem"), Bytes(static_cast<uint8_t*>(block), static_cast<uint8_t*>(block) + blockLength));
  QOXFreeData(block);
  ASSERT_EQ(Run("openssl x509 -in " + Path("ours.pem") + " -outform DER -out " + Path("back.der")), 0);
  EXPECT_EQ(ReadFile(Path("back.der")), cert);
}

// A key's validity against the thresholds: below the fail threshold it is
// refused, below the warn threshold it joins the warn set.
TEST_F(IOSetupTest, KeyValidity) {
  QOXKeyDB* db = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &db), 0);
  const Bytes ring = ReadFile(std::string(OSTRAK_SOURCE_DIR) + "/tests/keydb/data/alice.bin");
  QOXFile* file = qoxFileMemOpen(context_, ring.data(), ring.size());
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(qoxReadKeyFile(db, file, false), 0);
  file->close(file);
  QOXKeySet *all = nullptr, *warn = nullptr;
  ASSERT_EQ(QOXNewKeySet(db, &all), 0);
  ASSERT_EQ(QOXNewEmptyKeySet(db, &warn), 0);
  QOXKeyDBObj* key = qoxFirstKeyInKeySet(all);
  ASSERT_NE(key, nullptr);
  int32_t validity = -1, fail = -1, warnBelow = -1;
  ASSERT_EQ(qoxGetMinValidity(List({QOXOWarnBelowValidity(context_, 3)}), &fail, &warnBelow), 0);
  EXPECT_EQ(fail, 0);
  EXPECT_EQ(warnBelow, 3);
  ASSERT_EQ(qoxCheckKeyValidity(context_, nullptr, key, 0, 0, warn, &validity), 0);
  EXPECT_FALSE(QOXKeySetIsMember(key, warn));
  EXPECT_EQ(qoxCheckKeyValidity(context_, nullptr, key, validity + 1, 0, warn, nullptr), kQOXErrKeyValidityLowOrNone);
  ASSERT_EQ(qoxCheckKeyValidity(context_, nullptr, key, 0, validity + 1, warn, nullptr), 0);
  EXPECT_TRUE(QOXKeySetIsMember(key, warn));
  QOXFreeKeySet(warn);
  QOXFreeKeySet(all);
  QOXFreeKeyDB(db);
}

}  // namespace
}  // namespace pipeline_test
