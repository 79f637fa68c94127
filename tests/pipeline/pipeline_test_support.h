// What the pipeline tests share: a started toolkit with one context, a
// recording sink that can refuse bytes on demand, and helpers to run chains
// and outside programs (gpg, openssl, Python) as oracles.
#ifndef OSTRAK_TESTS_PIPELINE_PIPELINE_TEST_SUPPORT_H_
#define OSTRAK_TESTS_PIPELINE_PIPELINE_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/events.h"
#include "pipeline/pipeline.h"

namespace pipeline_test {

using Bytes = std::vector<uint8_t>;

inline Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Signature events seen by a job, and how many were verified.
struct Signatures {
  int events = 0;
  int verified = 0;
};

// An event handler that counts a job's signature events into the
// Signatures record its argument points at.
inline QOXError CountSignatures(QOXContext*, QOXEvent* event, void* arg) {
  auto* seen = static_cast<Signatures*>(arg);
  if (event->type == kQOXEvent_SignatureEvent) {
    ++seen->events;
    if (event->data.signatureData.checked != 0 && event->data.signatureData.verified != 0) ++seen->verified;
  }
  return kQOXErrNoErr;
}
inline std::string ToString(const Bytes& b) { return std::string(b.begin(), b.end()); }

inline Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// A sink that records what reaches it. It takes at most `chunk` bytes per
// write (0: all) and, while `failAfter` is set, fails with `failError` once
// it holds that many bytes, until the test clears it.
struct Recorder {
  Bytes bytes;
  struct Note {
    uint32_t type;
    Bytes data;
    size_t at;  // bytes received before it
  };
  std::vector<Note> notes;
  std::vector<uint64_t> advices;
  size_t chunk = 0;
  long failAfter = -1;
  QOXError failError = kQOXErrWriteFailed;
  int flushes = 0;
  bool tornDown = false;
  QOXPipeline module{};

  Recorder() {
    module.magic = 0x7E570000;
    module.name = "Test Recorder";
    module.priv = this;
    module.write = [](QOXPipeline* m, const uint8_t* p, size_t n, QOXError* err) -> size_t {
      auto* r = static_cast<Recorder*>(m->priv);
      *err = kQOXErrNoErr;
      size_t take = r->chunk ? std::min(n, r->chunk) : n;
      if (r->failAfter >= 0) {
        size_t room = r->bytes.size() >= static_cast<size_t>(r->failAfter)
                          ? 0
                          : static_cast<size_t>(r->failAfter) - r->bytes.size();
        if (take >= room) {
          take = room;
          *err = r->failError;
        }
      }
      r->bytes.insert(r->bytes.end(), p, p + take);
      return take;
    };
    module.flush = [](QOXPipeline* m) -> QOXError {
      ++static_cast<Recorder*>(m->priv)->flushes;
      return kQOXErrNoErr;
    };
    module.annotate = [](QOXPipeline* m, QOXPipeline*, uint32_t type, void* data, size_t n) -> QOXError {
      auto* r = static_cast<Recorder*>(m->priv);
      const auto* p = static_cast<const uint8_t*>(data);
      r->notes.push_back({type, p ? Bytes(p, p + n) : Bytes(), r->bytes.size()});
      return kQOXErrNoErr;
    };
    module.sizeAdvise = [](QOXPipeline* m, uint64_t n) -> QOXError {
      static_cast<Recorder*>(m->priv)->advices.push_back(n);
      return kQOXErrNoErr;
    };
    module.teardown = [](QOXPipeline* m) -> QOXError {
      static_cast<Recorder*>(m->priv)->tornDown = true;
      return kQOXErrNoErr;
    };
  }
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  bool Ended() const { return !advices.empty() && advices.back() == 0; }
  std::string Text() const { return ToString(bytes); }
};

// Writes everything into head, then the end of the data; 0 or the error.
inline QOXError Feed(QOXPipeline* head, const Bytes& data, size_t piece = 0) {
  size_t at = 0;
  while (at < data.size()) {
    size_t n = piece ? std::min(piece, data.size() - at) : data.size() - at;
    size_t sent = 0;
    QOXError err = qoxPipelineWriteAll(head, data.data() + at, n, &sent);
    if (err != kQOXErrNoErr) return err;
    at += n;
  }
  return head->sizeAdvise(head, 0);
}

class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
    ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context_), 0);
    char pattern[] = "/tmp/ostrak-pipeline-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    QOXFreeContext(context_);
    QOXsdkCleanup();
    StopGpgAgent();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  static void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  static Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }

  // Runs a shell command; its exit status (-1 when it could not run).
  static int Run(const std::string& command) {
    int status = std::system(command.c_str());
    return status == -1 ? -1 : WEXITSTATUS(status);
  }

  // A private gpg home under the scratch directory.
  std::string Gpg(const std::string& args) const {
    return "GNUPGHOME=" + dir_ + "/gnupg gpg --batch --quiet --no-tty " + args;
  }
  // The agent gpg started for the home, stopped before the home goes.
  void StopGpgAgent() const {
    if (std::filesystem::exists(dir_ + "/gnupg")) Run("GNUPGHOME=" + dir_ + "/gnupg gpgconf --kill all");
  }
  void MakeGpgHome() const {
    std::filesystem::create_directory(dir_ + "/gnupg");
    chmod((dir_ + "/gnupg").c_str(), 0700);
  }

  QOXContext* context_ = nullptr;
  std::string dir_;
};

}  // namespace pipeline_test

#endif  // OSTRAK_TESTS_PIPELINE_PIPELINE_TEST_SUPPORT_H_
