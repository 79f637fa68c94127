// The PKCS #7 message layer (functions sm_...): builds a SignedData with one
// signer and an EnvelopedData for a list of recipients, verifies one signer
// of a SignedData and hands out its content, opens an EnvelopedData for one
// recipient, and decodes and classifies ContentInfo, SignedData and
// EnvelopedData, over the records of pki/pkcs7_asn.h.
//
// The layer has no cryptography: digests, signatures, content encryption
// and decryption are callbacks of the caller, to which algorithms are named
// by dotted-decimal OID texts ("1.3.14.3.2.26"). Every callback returns 0
// for success; any other value is handed back unchanged by the layer.
//
// Memory: everything the layer makes, output buffers and texts included,
// comes from the codec context's memory manager and belongs to the caller
// (released through the same manager); callbacks allocate what they return
// there too. Every allocation is checked: the builders return -1 when one
// fails, the decoders and converters null.
//
// A signer or recipient certificate is a decoded PKICertificate; the layer
// reads only its issuer and serial number.
//
// Thread safety: no state. A codec context and the records made through it
// are used by one thread at a time; callbacks run on the calling thread.
#ifndef OSTRAK_PKI_PKCS7_MESSAGE_H_
#define OSTRAK_PKI_PKCS7_MESSAGE_H_

#include <cstdint>

#include "pki/asn_types.h"
#include "pki/cert_asn.h"
#include "pki/pkcs7_asn.h"

// Dotted OID texts of the content types, attributes and algorithms.
extern const char* const SM_OID_CONTENT_DATA;            // 1.2.840.113549.1.7.1
extern const char* const SM_OID_CONTENT_SIGNED_DATA;     // 1.2.840.113549.1.7.2
extern const char* const SM_OID_CONTENT_ENVELOPED_DATA;  // 1.2.840.113549.1.7.3
extern const char* const SM_OID_CONTENT_TYPE;            // 1.2.840.113549.1.9.3
extern const char* const SM_OID_MESSAGE_DIGEST;          // 1.2.840.113549.1.9.4
extern const char* const SM_OID_ALG_SHA;                 // 1.3.14.3.2.26
extern const char* const SM_OID_ALG_MD2;                 // 1.2.840.113549.2.2
extern const char* const SM_OID_ALG_MD5;                 // 1.2.840.113549.2.5
extern const char* const SM_OID_ALG_DSA;                 // 1.2.840.10040.4.1
extern const char* const SM_OID_ALG_DSA_SHA;             // 1.2.840.10040.4.3
extern const char* const SM_OID_ALG_RSA;                 // 1.2.840.113549.1.1.1
extern const char* const SM_OID_ALG_RSA_MD2;             // 1.2.840.113549.1.1.2
extern const char* const SM_OID_ALG_RSA_MD5;             // 1.2.840.113549.1.1.4
extern const char* const SM_OID_ALG_DES;                 // 1.3.14.3.2.7
extern const char* const SM_OID_ALG_3DES;                // 1.2.840.113549.3.7
extern const char* const SM_OID_ALG_RC2;                 // 1.2.840.113549.3.2
extern const char* const SM_OID_ALG_KEA;                 // 2.16.840.1.101.2.1.1.10
extern const char* const SM_OID_ALG_SKIPJACK;            // 2.16.840.1.101.2.1.1.4

// The certificates sm_SignMessage puts into the SignedData.
struct SMCertificateList {
  PKICertificate* certificate;
  SMCertificateList* next;
};

// One recipient of sm_EncryptMessage. The encrypt callback fills the last
// three fields, allocating the text and the key through the codec context's
// manager; sm_EncryptMessage copies them into the RecipientInfo and
// releases both (they are null afterwards).
struct SMRecipient {
  PKICertificate* certificate;     // read for issuer and serial number
  void* key;                       // read only by the encrypt callback
  char* keyEncryptionAlgorithm;    // dotted OID text
  uint8_t* encryptedKey;
  uint32_t encryptedKeyLength;
};

struct SMRecipientList {
  SMRecipient* recipient;
  SMRecipientList* next;
};

// digest(block to fill with the digest, digest OID text, data, length,
// caller data, context): the bytes come from the context's manager; the
// layer releases them.
using SMDigestCallback = int (*)(PKIVariableBlock* digest, const char* digestAlgorithm, const uint8_t* data,
                                 uint32_t length, void* digestData, PKICONTEXT* ctx);
// sign(the SignerInfo's encryptedDigest to fill, digest OID text, signature
// OID text, signer's certificate, data to sign, length, caller data,
// context): hashes the data and signs; the bytes stay with the SignerInfo.
using SMSignCallback = int (*)(PKIOCTET_STRING* signature, const char* digestAlgorithm,
                               const char* signatureAlgorithm, PKICertificate* signer, const uint8_t* data,
                               uint32_t length, void* signData, PKICONTEXT* ctx);
// encrypt(encryptedContent to fill, the content-encryption parameters to
// fill with their whole DER element or leave empty, content-encryption OID
// text, content, length, recipients, caller data, context): also fills
// every recipient's key-encryption OID text and encrypted key.
using SMEncryptCallback = int (*)(PKIOCTET_STRING* encryptedContent, PKIANY* parameters,
                                  const char* contentEncryptionAlgorithm, const uint8_t* content, uint32_t length,
                                  SMRecipientList* recipients, void* encryptData, PKICONTEXT* ctx);
// decrypt(place for the content, place for its length, content-encryption
// OID text, its parameters (null when absent), the encryptedContent (null
// when absent), the chosen recipient's key-encryption OID text and
// encryptedKey, the certificate given to sm_DecryptMessage (may be null),
// caller data, context): the content comes from the context's manager and
// belongs to the caller.
using SMDecryptCallback = int (*)(uint8_t** content, uint32_t* length, const char* contentEncryptionAlgorithm,
                                  PKIANY* parameters, PKIOCTET_STRING* encryptedContent,
                                  const char* keyEncryptionAlgorithm, PKIOCTET_STRING* encryptedKey,
                                  PKICertificate* certificate, void* decryptData, PKICONTEXT* ctx);
// verify(signed data, length, digest OID text, signature OID text, the
// SignerInfo's encryptedDigest, signer's certificate, caller data,
// context): 0 when the signature is valid.
using SMVerifyCallback = int (*)(const uint8_t* data, uint32_t length, const char* digestAlgorithm,
                                 const char* signatureAlgorithm, PKIOCTET_STRING* signature,
                                 PKICertificate* signer, void* verifyData, PKICONTEXT* ctx);

// --- Builders ---

// A SignedData with one signer over `content`: version 1 for the data
// content type, 3 for any other, whose content is then the caller's DER
// element, stored unchanged and digested over its contents octets. Without
// caller attributes, data is signed over the content itself; otherwise the
// authenticated attributes are contentType, messageDigest and a copy of
// each caller attribute, and the signature covers their DER SET. The
// parameters, when their length is not 0, are whole DER elements.
// `raw` non-zero gives the bare SignedData, 0 a ContentInfo of type
// signedData around it. Returns 0 with the new buffer in *out; -8 when the
// content cannot be encoded (data) or is not one whole element (other
// types); -9 when the attributes cannot be encoded; -1 for missing
// arguments, a memory failure or an encoding failure of the message; a
// callback's code.
int sm_SignMessage(uint8_t** out, uint32_t* outLength, const uint8_t* content, uint32_t contentLength, int raw,
                   const char* contentType, const char* digestAlgorithm, const uint8_t* digestParameters,
                   uint32_t digestParametersLength, const char* signatureAlgorithm,
                   const uint8_t* signatureParameters, uint32_t signatureParametersLength, PKICertificate* signer,
                   PKIAttributes* attributes, SMCertificateList* certificates, SMDigestCallback digest,
                   void* digestData, SMSignCallback sign, void* signData, PKICONTEXT* ctx);

// An EnvelopedData (version 0) of `content` for every recipient in list
// order: one RecipientInfo (version 0, keyEncryptionAlgorithm without
// parameters) each; a parameters block the callback leaves empty is
// dropped. `raw` as for sm_SignMessage. Returns 0, -1 (missing arguments,
// memory, a recipient without its text, an encoding failure) or the
// callback's code.
int sm_EncryptMessage(uint8_t** out, uint32_t* outLength, const uint8_t* content, uint32_t contentLength, int raw,
                      const char* contentType, const char* contentEncryptionAlgorithm, SMRecipientList* recipients,
                      SMEncryptCallback encrypt, void* encryptData, PKICONTEXT* ctx);

// --- Opening ---

// The index of the RecipientInfo whose issuerAndSerialNumber has the DER of
// the certificate's issuer and serial number; with a null certificate the
// first one. -1 when none (or no memory).
int sm_CertIsRecipient(PKICertificate* certificate, PKIEnvelopedData* envelopedData, PKICONTEXT* ctx);

// Decrypts for the recipient sm_CertIsRecipient finds: -1 when there is
// none (or an algorithm has no text), else the decrypt callback's result.
int sm_DecryptMessage(uint8_t** content, uint32_t* contentLength, PKIEnvelopedData* envelopedData,
                      PKICertificate* certificate, SMDecryptCallback decrypt, void* decryptData, PKICONTEXT* ctx);

// Verifies the signer of `signedData` whose issuerAndSerialNumber matches
// `certificate` and hands out the content. Without a certificate nothing
// is checked (0). The content octets are those of the stored inner
// element: for the data type the bytes of the OCTET STRING (segments
// joined), for other types what follows the element's header (up to the
// end-of-contents pair of an indefinite one). With authenticated
// attributes the hash callback's digest of the content octets must equal
// the messageDigest attribute, and the verify callback checks the DER SET
// of the attributes; without, it checks the content octets.
// Results: 0; -1 when no signer info matches, the content cannot be
// located, the attributes cannot be encoded, an algorithm has no text or
// memory fails; -11 for a messageDigest attribute without a decodable
// OCTET STRING as its first value; -12 for attributes without
// messageDigest; -13 for a digest that differs; a callback's code. When
// `content` is given it receives, after the verify callback has run (or
// without a certificate), a copy of the content octets for the data type
// or of the whole content element otherwise; nothing on the other errors.
int sm_VerifyMessage(uint8_t** content, uint32_t* contentLength, PKISignedData* signedData,
                     PKICertificate* certificate, SMDigestCallback hash, void* hashData, SMVerifyCallback verify,
                     void* verifyData, PKICONTEXT* ctx);

// --- Decoders and classifiers ---

// The decoded record, or null when decoding fails.
PKIContentInfo* sm_DecodeMessage(const uint8_t* bytes, uint32_t length, PKICONTEXT* ctx);
PKISignedData* sm_DecodeSignedData(const uint8_t* bytes, uint32_t length, PKICONTEXT* ctx);
PKIEnvelopedData* sm_DecodeEnvelopedData(const uint8_t* bytes, uint32_t length, PKICONTEXT* ctx);

// 0 data, 1 signedData, 2 envelopedData, 3 encryptedData, -1 anything else.
int sm_ContentType(PKIOBJECT_ID* contentType);
int sm_MessageType(PKIContentInfo* contentInfo);

// --- OIDs ---

// A new value block with the content octets of a dotted text; an empty
// text or one number gives an empty block. Null for a character other
// than digits and dots, an empty arc, an arc (or 40 x first + second)
// beyond 64 bits, or no memory.
PKIOBJECT_ID* sm_StringToOID(const char* text, PKICONTEXT* ctx);
// A new dotted text of the content octets (arcs unsigned, up to 64 bits).
// Null for an empty block, a subidentifier beyond 64 bits, one that does
// not end or starts with 0x80, or no memory.
char* sm_OIDToString(PKIOBJECT_ID* oid, PKICONTEXT* ctx);
// 0 when both have the same length and bytes, else -10.
int sm_CompareOID(PKIOBJECT_ID* a, PKIOBJECT_ID* b);

// --- Copies and comparison ---

// Fills `out` with the certificate's issuer (its DER decoded anew) and a
// copy of its serial number: 0, or -1 (the serial number is then not set).
int sm_CopyIssuerAndSerialNumber(PKIIssuerAndSerialNumber* out, PKICertificate* certificate, PKICONTEXT* ctx);
// The same copy of a Name: 0 or -1.
int sm_CopyDistinguishedName(PKIName* out, PKIName* name, PKICONTEXT* ctx);
// 1 when the two DER encodings are the same, else 0.
int sm_CompareIssuerAndSerialNumber(PKIIssuerAndSerialNumber* a, PKIIssuerAndSerialNumber* b, PKICONTEXT* ctx);

#endif  // OSTRAK_PKI_PKCS7_MESSAGE_H_
