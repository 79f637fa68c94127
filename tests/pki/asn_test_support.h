// Helpers of the codec tests: hex fixtures, a codec context over the
// counting test memory manager, the openssl corpus, and a batch check that
// `openssl asn1parse` reads the encodings a test made.
#ifndef OSTRAK_TESTS_PKI_ASN_TEST_SUPPORT_H_
#define OSTRAK_TESTS_PKI_ASN_TEST_SUPPORT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/memory_mgr.h"
#include "pki/asn_types.h"
#include "tests/common/counting_memory_mgr.h"

namespace pkitest {

using Bytes = std::vector<uint8_t>;

// "30 03 02 01 05" (blanks ignored) to bytes.
Bytes Hex(std::string_view text);
std::string ToHex(const Bytes& bytes);
Bytes Concat(std::initializer_list<Bytes> parts);
// A DER header: tag and the shortest length field for `length`.
Bytes Header(uint8_t tag, uint32_t length);
// A whole element: tag, length and content.
Bytes Tlv(uint8_t tag, const Bytes& content);

// DER rewritten as BER: constructed elements with indefinite lengths (or
// definite ones, re-counted), OCTET STRINGs and UTCTimes split into
// constructed segments, BIT STRINGs into two segments. ANY values keep
// what they hold, so the fixtures this rewrites carry no constructed
// element inside an ANY.
Bytes Berize(const Bytes& der, bool indefinite);

// A codec context whose memory manager allocates through
// ostrak_test::CountingMemoryMgr (QOXNewData / QOXReallocData / QOXFreeData),
// as a manager over the toolkit's memory does.
class CountingContext {
 public:
  CountingContext();
  ~CountingContext();
  CountingContext(const CountingContext&) = delete;
  CountingContext& operator=(const CountingContext&) = delete;

  PKICONTEXT* ctx() { return &ctx_; }
  ostrak_test::CountingMemoryMgr& counter() { return counting_; }
  // Blocks the codecs have out now.
  long live() const { return counting_.live() - base_; }

 private:
  ostrak_test::CountingMemoryMgr counting_;
  QOXMemoryMgr* qox_ = nullptr;
  PKIMemoryMgr mgr_{};
  PKICONTEXT ctx_{};
  long base_ = 0;
};

// The files of tests/pki/data/corpus, by name ("cert_rsa.der" ...).
Bytes CorpusFile(const std::string& name);
std::vector<std::string> CorpusNames();
// The files of tests/pki/data/pkcs (tests/pki/data/make_pkcs_corpus.sh).
Bytes PkcsFile(const std::string& name);
std::string PkcsPath(const std::string& name);

// Runs a shell command, collecting its standard output; false when it
// cannot run or exits non-zero.
bool RunCommand(const std::string& cmd, std::string* out);

// A temporary directory, removed with its files when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void Write(const std::string& name, const Bytes& data) const;
  Bytes Read(const std::string& name) const;

 private:
  std::string dir_;
};

// Collects encodings and, on Check(), has `openssl asn1parse -inform DER`
// read each of them (one process for the batch). Returns the labels of those
// it refused.
class Asn1ParseBatch {
 public:
  void Add(std::string label, Bytes der) { items_.push_back({std::move(label), std::move(der)}); }
  std::vector<std::string> Check() const;
  size_t size() const { return items_.size(); }

 private:
  struct Item {
    std::string label;
    Bytes der;
  };
  std::vector<Item> items_;
};

}  // namespace pkitest

#endif  // OSTRAK_TESTS_PKI_ASN_TEST_SUPPORT_H_
