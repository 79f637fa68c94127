// Helpers of the certificate toolkit's tests: a toolkit context over the
// counting test memory manager whose sign and verify callbacks run the
// cryptographic engine's key objects (RSA in the PKCS #1 format, DSA in the
// DER format) with its MD5 and SHA-1, the openssl fixtures of
// tests/pki/data/tc (make_tc_fixtures.sh), and running openssl.
#ifndef OSTRAK_TESTS_PKI_TC_TEST_SUPPORT_H_
#define OSTRAK_TESTS_PKI_TC_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pki/tc_cert.h"
#include "pki/tc_compare.h"
#include "pki/tc_context.h"
#include "pki/tc_crl.h"
#include "pki/tc_dname.h"
#include "pki/tc_extensions.h"
#include "pki/tc_request.h"
#include "pki/tc_time.h"
#include "tests/pki/asn_test_support.h"

struct QOXContext;
struct QOXRandomContext;
struct QOXSecKey;

namespace tctest {

using pkitest::Bytes;

// Signature and key algorithm OIDs (content bytes).
extern const Bytes kMd5WithRSA;   // 1.2.840.113549.1.1.4
extern const Bytes kSha1WithRSA;  // 1.2.840.113549.1.1.5
extern const Bytes kDsaWithSha1;  // 1.2.840.10040.4.3
extern const Bytes kRsaEncryption;
extern const Bytes kDsaKey;
extern const Bytes kNullParams;   // 05 00

// A file of tests/pki/data/tc and its path.
Bytes Fixture(const std::string& name);
std::string FixturePath(const std::string& name);

// One of the fixture keys as the engine's secret key, with the parts of
// its SubjectPublicKeyInfo.
struct KeyPair {
  QOXSecKey* sec = nullptr;
  Bytes keyOid;
  Bytes keyParams;  // DER, empty for none
  Bytes publicKey;  // the BIT STRING's content
};

// What the sign callback reads from its data word.
struct Signer {
  QOXSecKey* key = nullptr;
  QOXRandomContext* rc = nullptr;
  int calls = 0;
  bool fail = false;
};
// What the verify callback counts; a test may make it refuse.
struct Verifier {
  QOXContext* qox = nullptr;  // makes the key objects
  int calls = 0;
  int refuseAtCall = -1;  // 0-based call that is refused, -1 none
  std::vector<TC_CERT*> signers;
};

int SignCallback(uint8_t** signature, uint32_t* signatureLength, const uint8_t* data, uint32_t dataLength,
                 const uint8_t* oid, uint32_t oidLength, void* signData, TC_CONTEXT* ctx);
int VerifyCallback(const uint8_t* data, uint32_t dataLength, const uint8_t* oid, uint32_t oidLength,
                   const uint8_t* params, uint32_t paramsLength, const uint8_t* signature, uint32_t signatureLength,
                   const uint8_t* publicKey, uint32_t publicKeyLength, TC_CERT* signer, void* verifyData,
                   TC_CONTEXT* ctx);

// A started toolkit with a key context, and a toolkit context over the
// counting memory manager using the callbacks above. Every test ends with
// nothing left allocated.
class ToolkitTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  TC_CONTEXT* ctx() { return ctx_; }
  TC_CONTEXT*& ctxRef() { return ctx_; }
  pkitest::CountingContext& counting() { return *counting_; }
  // The fixture key of that name ("root", "ca", "leaf", "dsa"), loaded once.
  KeyPair& Key(const std::string& name);
  // Makes the sign callback use that key.
  void SignWith(const std::string& name) { signer_.key = Key(name).sec; }

  // A Name parsed from DN text (freed with the test).
  PKIName* Name(const char* text);
  // A TC_CERT of DER (freed with the test unless released to the list).
  TC_CERT* Cert(const Bytes& der);
  // The DER of a certificate, CRL or request.
  Bytes Der(TC_CERT* cert);
  Bytes Der(PKICertificateList* crl);
  Bytes Der(PKICertificationRequest* request);
  // Keeps a record to free at the end of the test.
  void Keep(PKIName* name) { names_.push_back(name); }
  void Keep(TC_CERT* cert) { certs_.push_back(cert); }
  // Forgets a certificate kept, when the context's list took it.
  void Forget(TC_CERT* cert);

  // A certificate of ours: `subject` issued by `issuer` (DN texts), signed
  // with the issuer key under sigOid, for the subject key.
  TC_CERT* Issue(int version, const char* subject, const char* issuer, const std::string& issuerKey,
                 const std::string& subjectKey, const Bytes& sigOid, PKIExtensions* extensions = nullptr,
                 uint32_t serial = 7, int64_t notBefore = -1, int64_t notAfter = -1);

  Signer signer_;
  Verifier verifier_;

 private:
  std::unique_ptr<pkitest::CountingContext> counting_;
  QOXContext* qox_ = nullptr;
  TC_CONTEXT* ctx_ = nullptr;
  std::map<std::string, KeyPair> keys_;
  std::vector<PKIName*> names_;
  std::vector<TC_CERT*> certs_;
};

// A temporary directory removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string Write(const std::string& name, const Bytes& data) const;
  std::string Write(const std::string& name, const std::string& text) const;

 private:
  std::string path_;
};

// Runs a shell command: its exit status, its output (standard error
// joined) in *output.
int Shell(const std::string& command, std::string* output = nullptr);
Bytes ReadFile(const std::string& path);
// A certificate or CRL in PEM, for openssl's -CAfile.
std::string Pem(const Bytes& der, const char* label);
// The hex of bytes, no blanks, upper case.
std::string HexOf(const Bytes& b);

}  // namespace tctest

#endif  // OSTRAK_TESTS_PKI_TC_TEST_SUPPORT_H_
