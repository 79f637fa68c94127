// Test callbacks of the PKCS #7 message layer over the landed
// cryptographic engine: SHA-1, MD5 and MD2 digests through
// QOXNewHashContext, RSA PKCS #1 v1.5 signatures and key transport through
// the key objects' slots (crypto/pkalg.h), Triple-DES CBC with PKCS #5
// padding through QOXNewCBCContext. Keys come from the corpus's PKCS #8
// files through libcrypto (the oracle), public keys from certificates
// through the X.509 module.
#ifndef OSTRAK_TESTS_PKI_PKCS7_TEST_SUPPORT_H_
#define OSTRAK_TESTS_PKI_PKCS7_TEST_SUPPORT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "crypto/pkalg.h"
#include "pki/pkcs7_message.h"

struct QOXContext;
struct QOXRandomContext;

namespace smtest {

using Bytes = std::vector<uint8_t>;

// A started toolkit with a context and a random generator.
class Toolkit {
 public:
  Toolkit();
  ~Toolkit();
  Toolkit(const Toolkit&) = delete;
  Toolkit& operator=(const Toolkit&) = delete;
  QOXContext* context() const { return context_; }
  QOXRandomContext* random() const { return rc_; }

 private:
  QOXContext* context_ = nullptr;
  QOXRandomContext* rc_ = nullptr;
};

// An RSA key of the corpus (a PKCS #8 DER file) as our key objects.
class RsaKey {
 public:
  RsaKey(QOXContext* context, const Bytes& pkcs8);
  ~RsaKey();
  RsaKey(const RsaKey&) = delete;
  RsaKey& operator=(const RsaKey&) = delete;
  QOXSecKey* secret() const { return sec_; }
  QOXPubKey* pub() const { return pub_; }

 private:
  QOXSecKey* sec_ = nullptr;
  QOXPubKey* pub_ = nullptr;
};

// The public key of a certificate (RSA only), or null.
QOXPubKey* PubKeyOf(QOXContext* context, PKICertificate* cert, PKICONTEXT* ctx);

// What the callbacks work with, passed as their caller data.
struct Crypto {
  QOXContext* context = nullptr;
  QOXRandomContext* random = nullptr;
  QOXSecKey* key = nullptr;  // signs and decrypts
  int digestCalls = 0, signCalls = 0, verifyCalls = 0, decryptCalls = 0;
  Bytes lastSigned;   // the data the sign callback was given
  Bytes lastVerified; // the data the verify callback was given
  Bytes contentKey;   // the key the encrypt callback made
};

// The callbacks. Codes: -2 an algorithm they do not take, -3 a failure or
// an invalid signature, -5 an encryption or decryption failure.
int Digest(PKIVariableBlock* digest, const char* algorithm, const uint8_t* data, uint32_t length, void* crypto,
           PKICONTEXT* ctx);
int Sign(PKIOCTET_STRING* signature, const char* digestAlgorithm, const char* signatureAlgorithm,
         PKICertificate* signer, const uint8_t* data, uint32_t length, void* crypto, PKICONTEXT* ctx);
int Verify(const uint8_t* data, uint32_t length, const char* digestAlgorithm, const char* signatureAlgorithm,
           PKIOCTET_STRING* signature, PKICertificate* signer, void* crypto, PKICONTEXT* ctx);
int Encrypt(PKIOCTET_STRING* encryptedContent, PKIANY* parameters, const char* algorithm, const uint8_t* content,
            uint32_t length, SMRecipientList* recipients, void* crypto, PKICONTEXT* ctx);
int Decrypt(uint8_t** content, uint32_t* length, const char* algorithm, PKIANY* parameters,
            PKIOCTET_STRING* encryptedContent, const char* keyAlgorithm, PKIOCTET_STRING* encryptedKey,
            PKICertificate* certificate, void* crypto, PKICONTEXT* ctx);

// The digest of `data` with our engine ("SHA1", "MD5", "MD2" by OID text).
Bytes DigestOf(QOXContext* context, const char* algorithm, const Bytes& data);

}  // namespace smtest

#endif  // OSTRAK_TESTS_PKI_PKCS7_TEST_SUPPORT_H_
