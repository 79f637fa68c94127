// Test callbacks of the PKCS #7 message layer (pkcs7_test_support.h).
#include "tests/pki/pkcs7_test_support.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstring>
#include <stdexcept>
#include <utility>

#include "crypto/cbc.h"
#include "crypto/cipher.h"
#include "crypto/hash.h"
#include "crypto/key_encoding.h"
#include "crypto/random_pool.h"
#include "crypto/x917.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "pki/asn_engine.h"
#include "pki/cert_asn.h"

namespace smtest {

namespace {

constexpr int kNotTaken = -2;
constexpr int kFailed = -3;
constexpr int kCipherFailed = -5;
constexpr size_t kDesBlock = 8;
constexpr size_t kDesKey = 24;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// An MPI of big-endian magnitude bytes (leading zeros dropped).
Bytes Mpi(const uint8_t* bytes, size_t n) {
  while (n > 0 && bytes[0] == 0) {
    ++bytes;
    --n;
  }
  unsigned bits = n == 0 ? 0 : static_cast<unsigned>(8 * (n - 1));
  for (uint8_t top = n == 0 ? 0 : bytes[0]; top != 0; top >>= 1) ++bits;
  Bytes b{static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)};
  b.insert(b.end(), bytes, bytes + n);
  return b;
}

Bytes Mpi(const BIGNUM* bn) {
  Bytes b(BN_num_bytes(bn));
  BN_bn2bin(bn, b.data());
  return Mpi(b.data(), b.size());
}

BIGNUM* Param(EVP_PKEY* key, const char* name) {
  BIGNUM* bn = nullptr;
  EVP_PKEY_get_bn_param(key, name, &bn);
  return bn;
}

const QOXHashVTBL* HashOf(const char* algorithm) {
  if (algorithm == nullptr) return nullptr;
  if (std::strcmp(algorithm, SM_OID_ALG_SHA) == 0) return qoxHashByNumber(kQOXHashAlgorithm_SHA);
  if (std::strcmp(algorithm, SM_OID_ALG_MD5) == 0) return qoxHashByNumber(kQOXHashAlgorithm_MD5);
  if (std::strcmp(algorithm, SM_OID_ALG_MD2) == 0) return qoxHashByNumber(kQOXHashAlgorithm_MD2);
  return nullptr;
}

bool Hash(QOXContext* context, const QOXHashVTBL* vtbl, const uint8_t* data, size_t length, Bytes* out) {
  QOXHashContext* h = nullptr;
  if (QOXNewHashContext(context, vtbl->algorithm, &h) != 0) return false;
  bool ok = (length == 0 || QOXContinueHash(h, data, length) == 0);
  out->assign(vtbl->digestSize, 0);
  ok = ok && QOXFinalizeHash(h, out->data()) == 0;
  QOXFreeHashContext(h);
  return ok;
}

// Bytes into a value block from the codec context's manager.
bool Store(PKICONTEXT* ctx, PKIVariableBlock* block, const Bytes& bytes) {
  return PKIPutOctVal(ctx, block, bytes.data(), static_cast<uint32_t>(bytes.size())) == kPKIErrNone;
}

// Triple-DES CBC over whole blocks, either way.
bool Cbc(QOXContext* context, bool encrypt, const uint8_t* key, const uint8_t* iv, const Bytes& in, Bytes* out) {
  QOXSymmetricCipherContext* cipher = nullptr;
  if (QOXNewSymmetricCipherContext(context, kQOXCipherAlgorithm_3DES, &cipher) != 0) return false;
  QOXCBCContext* cbc = nullptr;
  if (QOXNewCBCContext(cipher, &cbc) != 0) {
    QOXFreeSymmetricCipherContext(cipher);
    return false;
  }
  out->assign(in.size(), 0);
  bool ok = QOXInitCBC(cbc, key, iv) == 0 &&
            (encrypt ? QOXCBCEncrypt(cbc, in.data(), in.size(), out->data())
                     : QOXCBCDecrypt(cbc, in.data(), in.size(), out->data())) == 0;
  QOXFreeCBCContext(cbc);
  return ok;
}

}  // namespace

Toolkit::Toolkit() {
  if (QOXsdkInit(kQOXsdkInitNoBackEnd) != 0 || QOXNewContext(kQOXAPIVersion, &context_) != 0)
    throw std::runtime_error("toolkit start");
  rc_ = qoxRandomCreate(context_);
  if (rc_ == nullptr) throw std::runtime_error("random generator");
}

Toolkit::~Toolkit() {
  if (rc_ != nullptr) rc_->destroy(rc_);
  if (context_ != nullptr) QOXFreeContext(context_);
  QOXsdkCleanup();
}

RsaKey::RsaKey(QOXContext* context, const Bytes& pkcs8) {
  const unsigned char* p = pkcs8.data();
  EVP_PKEY* key = d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(pkcs8.size()));
  if (key == nullptr) throw std::runtime_error("not a PKCS #8 key");
  BIGNUM* n = Param(key, OSSL_PKEY_PARAM_RSA_N);
  BIGNUM* e = Param(key, OSSL_PKEY_PARAM_RSA_E);
  BIGNUM* d = Param(key, OSSL_PKEY_PARAM_RSA_D);
  BIGNUM* prime1 = Param(key, OSSL_PKEY_PARAM_RSA_FACTOR1);
  BIGNUM* prime2 = Param(key, OSSL_PKEY_PARAM_RSA_FACTOR2);
  if (BN_cmp(prime1, prime2) > 0) std::swap(prime1, prime2);
  BN_CTX* bctx = BN_CTX_new();
  BIGNUM* u = BN_mod_inverse(nullptr, prime1, prime2, bctx);
  Bytes pub = Cat({Mpi(n), Mpi(e)});
  Bytes secret = Cat({Mpi(d), Mpi(prime1), Mpi(prime2), Mpi(u)});
  unsigned sum = 0;
  for (uint8_t b : secret) sum += b;
  Bytes body = Cat({pub, {0}, secret, {static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum)}});
  for (BIGNUM* x : {n, e, d, prime1, prime2, u}) BN_free(x);
  BN_CTX_free(bctx);
  EVP_PKEY_free(key);
  QOXError err = 0;
  pub_ = qoxPubKeyFromBuf(context, kQOXPublicKeyAlgorithm_RSA, pub.data(), pub.size(), &err);
  sec_ = qoxSecKeyFromBuf(context, kQOXPublicKeyAlgorithm_RSA, body.data(), body.size(), 0, &err);
  if (pub_ == nullptr || sec_ == nullptr) throw std::runtime_error("RSA key objects");
}

RsaKey::~RsaKey() {
  if (pub_ != nullptr) pub_->destroy(pub_);
  if (sec_ != nullptr) sec_->destroy(sec_);
}

QOXPubKey* PubKeyOf(QOXContext* context, PKICertificate* cert, PKICONTEXT* ctx) {
  if (cert == nullptr) return nullptr;
  PKIBIT_STRING& bits = cert->tbsCertificate.subjectPublicKeyInfo.subjectPublicKey;
  PKIRSAKey* rsa = nullptr;
  int32_t err = 0;
  PKIUnpackRSAKey(ctx, &rsa, bits.bytes, bits.length, &err);
  if (rsa == nullptr) return nullptr;
  Bytes body = Cat({Mpi(rsa->modulus.bytes, rsa->modulus.length),
                    Mpi(rsa->publicExponent.bytes, rsa->publicExponent.length)});
  PKIFreeRSAKey(ctx, rsa);
  QOXError e = 0;
  return qoxPubKeyFromBuf(context, kQOXPublicKeyAlgorithm_RSA, body.data(), body.size(), &e);
}

Bytes DigestOf(QOXContext* context, const char* algorithm, const Bytes& data) {
  Bytes out;
  const QOXHashVTBL* vtbl = HashOf(algorithm);
  if (vtbl == nullptr || !Hash(context, vtbl, data.data(), data.size(), &out)) out.clear();
  return out;
}

int Digest(PKIVariableBlock* digest, const char* algorithm, const uint8_t* data, uint32_t length, void* crypto,
           PKICONTEXT* ctx) {
  auto* c = static_cast<Crypto*>(crypto);
  ++c->digestCalls;
  const QOXHashVTBL* vtbl = HashOf(algorithm);
  if (vtbl == nullptr) return kNotTaken;
  Bytes out;
  if (!Hash(c->context, vtbl, data, length, &out) || !Store(ctx, digest, out)) return kFailed;
  return 0;
}

int Sign(PKIOCTET_STRING* signature, const char* digestAlgorithm, const char*, PKICertificate*, const uint8_t* data,
         uint32_t length, void* crypto, PKICONTEXT* ctx) {
  auto* c = static_cast<Crypto*>(crypto);
  ++c->signCalls;
  c->lastSigned.assign(data, data + length);
  const QOXHashVTBL* vtbl = HashOf(digestAlgorithm);
  if (vtbl == nullptr) return kNotTaken;
  Bytes digest;
  if (c->key == nullptr || !Hash(c->context, vtbl, data, length, &digest)) return kFailed;
  Bytes sig(c->key->maxsig(c->key, kQOXPublicKeyFormat_PKCS1));
  size_t n = 0;
  if (c->key->sign(c->key, vtbl, digest.data(), sig.data(), &n, c->random, kQOXPublicKeyFormat_PKCS1) != 0)
    return kFailed;
  sig.resize(n);
  return Store(ctx, signature, sig) ? 0 : kFailed;
}

int Verify(const uint8_t* data, uint32_t length, const char* digestAlgorithm, const char*,
           PKIOCTET_STRING* signature, PKICertificate* signer, void* crypto, PKICONTEXT* ctx) {
  auto* c = static_cast<Crypto*>(crypto);
  ++c->verifyCalls;
  c->lastVerified.assign(data, data + length);
  const QOXHashVTBL* vtbl = HashOf(digestAlgorithm);
  if (vtbl == nullptr) return kNotTaken;
  Bytes digest;
  if (!Hash(c->context, vtbl, data, length, &digest)) return kFailed;
  QOXPubKey* pub = PubKeyOf(c->context, signer, ctx);
  if (pub == nullptr) return kFailed;
  int ok = pub->verify(pub, signature->bytes, signature->length, vtbl, digest.data(), kQOXPublicKeyFormat_PKCS1);
  pub->destroy(pub);
  return ok == 1 ? 0 : kFailed;
}

int Encrypt(PKIOCTET_STRING* encryptedContent, PKIANY* parameters, const char* algorithm, const uint8_t* content,
            uint32_t length, SMRecipientList* recipients, void* crypto, PKICONTEXT* ctx) {
  auto* c = static_cast<Crypto*>(crypto);
  if (algorithm == nullptr || std::strcmp(algorithm, SM_OID_ALG_3DES) != 0) return kCipherFailed;
  Bytes key(kDesKey), iv(kDesBlock);
  qoxRandomGetBytes(c->random, key.data(), key.size());
  qoxRandomGetBytes(c->random, iv.data(), iv.size());
  c->contentKey = key;
  // PKCS #5 padding: 1 to 8 bytes of the pad length.
  Bytes padded(content, content + length);
  size_t pad = kDesBlock - padded.size() % kDesBlock;
  padded.insert(padded.end(), pad, static_cast<uint8_t>(pad));
  Bytes sealed;
  if (!Cbc(c->context, true, key.data(), iv.data(), padded, &sealed)) return kCipherFailed;
  Bytes ivElement = Cat({{kPKITagOctetString, static_cast<uint8_t>(iv.size())}, iv});
  if (!Store(ctx, encryptedContent, sealed) || !Store(ctx, parameters, ivElement)) {
    PKIDropInPlaceVariableBlock(ctx, encryptedContent);
    return kCipherFailed;
  }
  // Each recipient's key and text; on a failure nothing is left behind.
  auto releaseAll = [&] {
    for (SMRecipientList* node = recipients; node != nullptr; node = node->next) {
      ostrak::asn::Deallocate(ctx, node->recipient->encryptedKey);
      ostrak::asn::Deallocate(ctx, node->recipient->keyEncryptionAlgorithm);
      node->recipient->encryptedKey = nullptr;
      node->recipient->keyEncryptionAlgorithm = nullptr;
      node->recipient->encryptedKeyLength = 0;
    }
  };
  for (SMRecipientList* node = recipients; node != nullptr; node = node->next) {
    SMRecipient* r = node->recipient;
    QOXPubKey* pub = PubKeyOf(c->context, r->certificate, ctx);
    Bytes esk;
    size_t n = 0;
    QOXError e = -1;
    if (pub != nullptr) {
      esk.resize(pub->maxesk(pub, kQOXPublicKeyFormat_PKCS1));
      e = pub->encrypt(pub, key.data(), key.size(), esk.data(), &n, c->random, kQOXPublicKeyFormat_PKCS1);
      pub->destroy(pub);
    }
    r->encryptedKey = e == 0 ? static_cast<uint8_t*>(ostrak::asn::Allocate(ctx, n)) : nullptr;
    r->keyEncryptionAlgorithm =
        sm_OIDToString(&r->certificate->tbsCertificate.subjectPublicKeyInfo.algorithm.algorithm, ctx);
    if (r->encryptedKey == nullptr || r->keyEncryptionAlgorithm == nullptr) {
      releaseAll();
      PKIDropInPlaceVariableBlock(ctx, encryptedContent);
      PKIDropInPlaceVariableBlock(ctx, parameters);
      return kCipherFailed;
    }
    std::memcpy(r->encryptedKey, esk.data(), n);
    r->encryptedKeyLength = static_cast<uint32_t>(n);
  }
  return 0;
}

int Decrypt(uint8_t** content, uint32_t* length, const char* algorithm, PKIANY* parameters,
            PKIOCTET_STRING* encryptedContent, const char*, PKIOCTET_STRING* encryptedKey, PKICertificate*,
            void* crypto, PKICONTEXT* ctx) {
  auto* c = static_cast<Crypto*>(crypto);
  ++c->decryptCalls;
  *content = nullptr;
  *length = 0;
  if (algorithm == nullptr || std::strcmp(algorithm, SM_OID_ALG_3DES) != 0 || parameters == nullptr ||
      encryptedContent == nullptr || c->key == nullptr)
    return kCipherFailed;
  Bytes key(c->key->maxdecrypted(c->key));
  size_t n = 0;
  if (c->key->decrypt(c->key, encryptedKey->bytes, encryptedKey->length, key.data(), &n, nullptr, 0,
                      kQOXPublicKeyFormat_PKCS1) != 0 ||
      n != kDesKey)
    return kCipherFailed;
  PKIOCTET_STRING* iv = nullptr;
  int32_t err = 0;
  PKIUnpackOCTET_STRING(ctx, &iv, parameters->bytes, parameters->length, &err);
  if (iv == nullptr) return kCipherFailed;
  Bytes ivBytes(iv->bytes, iv->bytes + iv->length);
  PKIFreeVariableBlock(ctx, iv);
  Bytes sealed(encryptedContent->bytes, encryptedContent->bytes + encryptedContent->length);
  Bytes plain;
  if (ivBytes.size() != kDesBlock || sealed.empty() || sealed.size() % kDesBlock != 0 ||
      !Cbc(c->context, false, key.data(), ivBytes.data(), sealed, &plain))
    return kCipherFailed;
  uint8_t pad = plain.back();
  if (pad < 1 || pad > kDesBlock) return kCipherFailed;
  plain.resize(plain.size() - pad);
  *content = static_cast<uint8_t*>(ostrak::asn::Allocate(ctx, plain.empty() ? 1 : plain.size()));
  if (*content == nullptr) return kCipherFailed;
  if (!plain.empty()) std::memcpy(*content, plain.data(), plain.size());
  *length = static_cast<uint32_t>(plain.size());
  return 0;
}

}  // namespace smtest
