// Helpers of the certificate toolkit's tests (tc_test_support.h).
#include "tests/pki/tc_test_support.h"

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "crypto/hash.h"
#include "crypto/key_encoding.h"
#include "crypto/pkalg.h"
#include "crypto/x917.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "tests/crypto/pubkey_test_support.h"

namespace tctest {

const Bytes kMd5WithRSA = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x04};
const Bytes kSha1WithRSA = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x05};
const Bytes kDsaWithSha1 = {0x2A, 0x86, 0x48, 0xCE, 0x38, 0x04, 0x03};
const Bytes kRsaEncryption = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
const Bytes kDsaKey = {0x2A, 0x86, 0x48, 0xCE, 0x38, 0x04, 0x01};
const Bytes kNullParams = {0x05, 0x00};

std::string FixturePath(const std::string& name) { return std::string(OSTRAK_TEST_DATA) + "/tc/" + name; }

Bytes Fixture(const std::string& name) {
  std::ifstream in(FixturePath(name), std::ios::binary);
  if (!in) throw std::runtime_error("missing fixture " + name);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

namespace {

bool Same(const uint8_t* p, uint32_t n, const Bytes& b) { return n == b.size() && std::memcmp(p, b.data(), n) == 0; }

// The hash and key algorithm of a signature algorithm; false for others.
bool AlgorithmOf(const uint8_t* oid, uint32_t n, const QOXHashVTBL** hash, bool* dsa) {
  if (Same(oid, n, kMd5WithRSA)) *hash = &HashMD5, *dsa = false;
  else if (Same(oid, n, kSha1WithRSA)) *hash = &HashSHA, *dsa = false;
  else if (Same(oid, n, kDsaWithSha1)) *hash = &HashSHA, *dsa = true;
  else return false;
  return true;
}

// An RFC 2440 MPI of a big-endian number (leading zero bytes dropped).
Bytes MpiOf(const uint8_t* p, uint32_t n) {
  while (n > 0 && *p == 0) ++p, --n;
  unsigned bits = n == 0 ? 0 : 8 * (n - 1);
  if (n > 0)
    for (uint8_t top = p[0]; top != 0; top >>= 1) ++bits;
  Bytes out{static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)};
  out.insert(out.end(), p, p + n);
  return out;
}
Bytes MpiOf(const PKIINTEGER& v) { return MpiOf(v.bytes, v.length); }

// The public-key body of a certificate's key: RSA n, e; DSA p, q, g, y.
bool PublicBody(bool dsa, const uint8_t* params, uint32_t paramsLength, const uint8_t* key, uint32_t keyLength,
                Bytes* body) {
  PKICONTEXT codec{0, &PKIdefaultMemoryMgrStruct};
  int32_t err = 0;
  if (!dsa) {
    PKIRSAKey* rsa = nullptr;
    PKIUnpackRSAKey(&codec, &rsa, key, keyLength, &err);
    if (err != 0) return false;
    *body = pktest::Cat({MpiOf(rsa->modulus), MpiOf(rsa->publicExponent)});
    PKIFreeRSAKey(&codec, rsa);
    return true;
  }
  PKIDss_Parms* pqg = nullptr;
  PKIINTEGER* y = nullptr;
  PKIUnpackDss_Parms(&codec, &pqg, params, paramsLength, &err);
  if (err == 0) PKIUnpackINTEGER(&codec, &y, key, keyLength, &err);
  bool ok = err == 0;
  if (ok) *body = pktest::Cat({MpiOf(pqg->p), MpiOf(pqg->q), MpiOf(pqg->g), MpiOf(*y)});
  PKIFreeDss_Parms(&codec, pqg);
  PKIFreeINTEGER(&codec, y);
  return ok;
}

KeyPair LoadKey(QOXContext* qox, const std::string& name) {
  FILE* f = std::fopen(FixturePath(name + ".key").c_str(), "r");
  if (f == nullptr) throw std::runtime_error("no key " + name);
  EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  if (key == nullptr) throw std::runtime_error("bad key " + name);
  using pktest::GetParam;
  using pktest::Mpi;
  const bool dsa = EVP_PKEY_get_base_id(key) == EVP_PKEY_DSA;
  Bytes secretBody;
  if (dsa) {
    std::vector<BIGNUM*> n;
    for (const char* p : {OSSL_PKEY_PARAM_FFC_P, OSSL_PKEY_PARAM_FFC_Q, OSSL_PKEY_PARAM_FFC_G,
                          OSSL_PKEY_PARAM_PUB_KEY, OSSL_PKEY_PARAM_PRIV_KEY})
      n.push_back(GetParam(key, p));
    Bytes pub = pktest::Cat({Mpi(n[0]), Mpi(n[1]), Mpi(n[2]), Mpi(n[3])});
    secretBody = pktest::ClearSecretBody(pub, Mpi(n[4]));
    pktest::FreeAll(n);
  } else {
    BIGNUM* n = GetParam(key, OSSL_PKEY_PARAM_RSA_N);
    BIGNUM* e = GetParam(key, OSSL_PKEY_PARAM_RSA_E);
    BIGNUM* d = GetParam(key, OSSL_PKEY_PARAM_RSA_D);
    BIGNUM* p = GetParam(key, OSSL_PKEY_PARAM_RSA_FACTOR1);
    BIGNUM* q = GetParam(key, OSSL_PKEY_PARAM_RSA_FACTOR2);
    if (BN_cmp(p, q) > 0) std::swap(p, q);
    BN_CTX* bctx = BN_CTX_new();
    BIGNUM* u = BN_mod_inverse(nullptr, p, q, bctx);
    Bytes pub = pktest::Cat({Mpi(n), Mpi(e)});
    secretBody = pktest::ClearSecretBody(pub, pktest::Cat({Mpi(d), Mpi(p), Mpi(q), Mpi(u)}));
    pktest::FreeAll({n, e, d, p, q, u});
    BN_CTX_free(bctx);
  }
  KeyPair pair;
  QOXError err = 0;
  pair.sec = qoxSecKeyFromBuf(qox, dsa ? kQOXPublicKeyAlgorithm_DSA : kQOXPublicKeyAlgorithm_RSA, secretBody.data(),
                              secretBody.size(), 0, &err);
  if (pair.sec == nullptr) throw std::runtime_error("engine refused key " + name);
  // The SubjectPublicKeyInfo parts, from OpenSSL's encoding.
  unsigned char* spki = nullptr;
  int spkiLength = i2d_PUBKEY(key, &spki);
  EVP_PKEY_free(key);
  PKICONTEXT codec{0, &PKIdefaultMemoryMgrStruct};
  PKISubjectPublicKeyInfo* info = nullptr;
  int32_t codecErr = 0;
  PKIUnpackSubjectPublicKeyInfo(&codec, &info, spki, static_cast<uint32_t>(spkiLength), &codecErr);
  OPENSSL_free(spki);
  if (codecErr != 0) throw std::runtime_error("SubjectPublicKeyInfo of " + name);
  pair.keyOid.assign(info->algorithm.algorithm.bytes, info->algorithm.algorithm.bytes + info->algorithm.algorithm.length);
  if (info->algorithm.parameters != nullptr)
    pair.keyParams.assign(info->algorithm.parameters->bytes,
                          info->algorithm.parameters->bytes + info->algorithm.parameters->length);
  pair.publicKey.assign(info->subjectPublicKey.bytes, info->subjectPublicKey.bytes + info->subjectPublicKey.length);
  PKIFreeSubjectPublicKeyInfo(&codec, info);
  return pair;
}

}  // namespace

int SignCallback(uint8_t** signature, uint32_t* signatureLength, const uint8_t* data, uint32_t dataLength,
                 const uint8_t* oid, uint32_t oidLength, void* signData, TC_CONTEXT* ctx) {
  auto* s = static_cast<Signer*>(signData);
  ++s->calls;
  const QOXHashVTBL* hash;
  bool dsa;
  if (s->fail || s->key == nullptr || !AlgorithmOf(oid, oidLength, &hash, &dsa)) return -1;
  if (dsa != (s->key->algorithm == kQOXPublicKeyAlgorithm_DSA)) return -1;
  Bytes digest = pktest::Digest(*hash, Bytes(data, data + dataLength));
  const int format = dsa ? kQOXPublicKeyFormat_X509 : kQOXPublicKeyFormat_PKCS1;
  size_t length = s->key->maxsig(s->key, format);
  auto* out = static_cast<uint8_t*>(ctx->memMgr->allocate(ctx->memMgr, length));
  if (out == nullptr) return -1;
  if (s->key->sign(s->key, hash, digest.data(), out, &length, s->rc, format) != 0) {
    ctx->memMgr->deallocate(ctx->memMgr, out);
    return -1;
  }
  *signature = out;
  *signatureLength = static_cast<uint32_t>(length);
  return 0;
}

int VerifyCallback(const uint8_t* data, uint32_t dataLength, const uint8_t* oid, uint32_t oidLength,
                   const uint8_t* params, uint32_t paramsLength, const uint8_t* signature, uint32_t signatureLength,
                   const uint8_t* publicKey, uint32_t publicKeyLength, TC_CERT* signer, void* verifyData,
                   TC_CONTEXT*) {
  auto* v = static_cast<Verifier*>(verifyData);
  const int call = v->calls++;
  v->signers.push_back(signer);
  if (call == v->refuseAtCall) return -1;
  const QOXHashVTBL* hash;
  bool dsa;
  Bytes body;
  if (!AlgorithmOf(oid, oidLength, &hash, &dsa) || !PublicBody(dsa, params, paramsLength, publicKey, publicKeyLength, &body))
    return -1;
  QOXError err = 0;
  QOXPubKey* key = qoxPubKeyFromBuf(v->qox, dsa ? kQOXPublicKeyAlgorithm_DSA : kQOXPublicKeyAlgorithm_RSA,
                                    body.data(), body.size(), &err);
  if (key == nullptr) return -1;
  Bytes digest = pktest::Digest(*hash, Bytes(data, data + dataLength));
  int ok = key->verify(key, signature, signatureLength, hash, digest.data(),
                       dsa ? kQOXPublicKeyFormat_X509 : kQOXPublicKeyFormat_PKCS1);
  key->destroy(key);
  return ok == 1 ? 0 : -1;
}

void ToolkitTest::SetUp() {
  ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
  ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &qox_), 0);
  signer_.rc = qoxRandomCreate(qox_);
  ASSERT_NE(signer_.rc, nullptr);
  verifier_.qox = qox_;
  counting_ = std::make_unique<pkitest::CountingContext>();
  ASSERT_EQ(tc_init_context(&ctx_, counting_->ctx()->memMgr, SignCallback, &signer_, VerifyCallback, &verifier_),
            kTCErrNone);
}

void ToolkitTest::TearDown() {
  for (PKIName* n : names_) tc_free_dname(n, ctx_);
  for (TC_CERT* c : certs_) tc_free_cert(c, ctx_);
  if (ctx_ != nullptr) {
    EXPECT_EQ(tc_free_context(ctx_), kTCErrNone);
  }
  if (counting_ != nullptr) {
    EXPECT_EQ(counting_->live(), 0) << "blocks left allocated";
  }
  counting_.reset();
  for (auto& [name, pair] : keys_) pair.sec->destroy(pair.sec);
  if (signer_.rc != nullptr) signer_.rc->destroy(signer_.rc);
  if (qox_ != nullptr) QOXFreeContext(qox_);
  QOXsdkCleanup();
}

KeyPair& ToolkitTest::Key(const std::string& name) {
  auto it = keys_.find(name);
  if (it == keys_.end()) it = keys_.emplace(name, LoadKey(qox_, name)).first;
  return it->second;
}

PKIName* ToolkitTest::Name(const char* text) {
  PKIName* name = nullptr;
  EXPECT_EQ(tc_create_dname(&name, ctx_), kTCErrNone);
  EXPECT_EQ(tc_make_dname_fromstring(name, text, ctx_), kTCErrNone) << text;
  names_.push_back(name);
  return name;
}

TC_CERT* ToolkitTest::Cert(const Bytes& der) {
  TC_CERT* cert = nullptr;
  EXPECT_EQ(tc_unpack_cert(&cert, der.data(), static_cast<uint32_t>(der.size()), ctx_), kTCErrNone);
  if (cert != nullptr) certs_.push_back(cert);
  return cert;
}

void ToolkitTest::Forget(TC_CERT* cert) { std::erase(certs_, cert); }

Bytes ToolkitTest::Der(TC_CERT* cert) {
  uint8_t* der = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(tc_pack_cert(&der, &length, cert, ctx_), kTCErrNone);
  Bytes out(der, der + length);
  ctx_->memMgr->deallocate(ctx_->memMgr, der);
  return out;
}

Bytes ToolkitTest::Der(PKICertificateList* crl) {
  uint8_t* der = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(tc_pack_crl(&der, &length, crl, ctx_), kTCErrNone);
  Bytes out(der, der + length);
  ctx_->memMgr->deallocate(ctx_->memMgr, der);
  return out;
}

Bytes ToolkitTest::Der(PKICertificationRequest* request) {
  uint8_t* der = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(tc_pack_request(&der, &length, request, ctx_), kTCErrNone);
  Bytes out(der, der + length);
  ctx_->memMgr->deallocate(ctx_->memMgr, der);
  return out;
}

TC_CERT* ToolkitTest::Issue(int version, const char* subject, const char* issuer, const std::string& issuerKey,
                            const std::string& subjectKey, const Bytes& sigOid, PKIExtensions* extensions,
                            uint32_t serial, int64_t notBefore, int64_t notAfter) {
  const int64_t now = static_cast<int64_t>(time(nullptr));
  if (notBefore < 0) notBefore = now - 3600;
  if (notAfter < 0) notAfter = now + 30 * 86400;
  SignWith(issuerKey);
  KeyPair& k = Key(subjectKey);
  const uint8_t serialBytes[4] = {static_cast<uint8_t>(serial >> 24), static_cast<uint8_t>(serial >> 16),
                                  static_cast<uint8_t>(serial >> 8), static_cast<uint8_t>(serial)};
  const Bytes sigParams = sigOid == kDsaWithSha1 ? Bytes{} : kNullParams;
  TC_CERT* cert = nullptr;
  EXPECT_EQ(tc_create_cert(&cert, version, serialBytes, 4, sigOid.data(), static_cast<uint32_t>(sigOid.size()),
                           sigParams.empty() ? nullptr : sigParams.data(), static_cast<uint32_t>(sigParams.size()),
                           Name(issuer), notBefore, notAfter, Name(subject), extensions, k.keyOid.data(),
                           static_cast<uint32_t>(k.keyOid.size()), k.publicKey.data(),
                           static_cast<uint32_t>(k.publicKey.size()), k.keyParams.empty() ? nullptr : k.keyParams.data(),
                           static_cast<uint32_t>(k.keyParams.size()), ctx_),
            kTCErrNone);
  if (cert != nullptr) certs_.push_back(cert);
  return cert;
}

TempDir::TempDir() {
  char dir[] = "/tmp/tc_test.XXXXXX";
  if (mkdtemp(dir) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = dir;
}

TempDir::~TempDir() { std::filesystem::remove_all(path_); }

std::string TempDir::Write(const std::string& name, const Bytes& data) const {
  std::string p = path_ + "/" + name;
  std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                           static_cast<std::streamsize>(data.size()));
  return p;
}

std::string TempDir::Write(const std::string& name, const std::string& text) const {
  return Write(name, Bytes(text.begin(), text.end()));
}

Bytes ReadFile(const std::string& path) { return pktest::ReadFile(path); }

int Shell(const std::string& command, std::string* output) { return pktest::RunCommand(command, output); }

std::string Pem(const Bytes& der, const char* label) {
  static const char* b64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string body;
  for (size_t i = 0; i < der.size(); i += 3) {
    uint32_t v = der[i] << 16 | (i + 1 < der.size() ? der[i + 1] << 8 : 0) | (i + 2 < der.size() ? der[i + 2] : 0);
    body += b64[v >> 18 & 63];
    body += b64[v >> 12 & 63];
    body += i + 1 < der.size() ? b64[v >> 6 & 63] : '=';
    body += i + 2 < der.size() ? b64[v & 63] : '=';
  }
  std::string pem = std::string("-----BEGIN ") + label + "-----\n";
  for (size_t i = 0; i < body.size(); i += 64) pem += body.substr(i, 64) + "\n";
  return pem + "-----END " + label + "-----\n";
}

std::string HexOf(const Bytes& b) {
  std::string s = pkitest::ToHex(b);
  std::erase(s, ' ');
  return s;
}

}  // namespace tctest
