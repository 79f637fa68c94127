// The certificate toolkit's context (TC_CONTEXT), the toolkit certificate
// (TC_CERT), the sign and verify callbacks, the toolkit's error codes with
// their texts, and the map from codec errors to toolkit errors.
//
// The toolkit (the tc_ functions, pki/tc_*.h) works on the X.509 module's
// records (pki/cert_asn.h). It has no cryptography of its own: a caller
// signs and verifies through the two callbacks it gives the context.
//
// Ownership: a context is made by tc_init_context from the memory manager
// given (or the default one) and freed with tc_free_context, which also
// frees the certificates and CRLs held in its lists, the handler list and
// the keyword list. Everything else made through a context (names, texts,
// extension lists, requests, CRLs, certificates not handed to the lists)
// belongs to the caller, who frees it through the same context.
//
// Threads: none of the toolkit locks. A context and everything made through
// it is used by one thread at a time; the callbacks run on the calling
// thread. Constant tables (TC_errlist, the keyword seeds, the extension
// table) are never written.
#ifndef OSTRAK_PKI_TC_CONTEXT_H_
#define OSTRAK_PKI_TC_CONTEXT_H_

#include <cstdint>

#include "pki/asn_types.h"
#include "pki/cert_asn.h"

// A certificate decoded twice from the same DER: as XCertificate (the
// signed part kept byte for byte, for signature checks) and as Certificate
// (fully parsed); tbs points at the parsed TBSCertificate inside cert.
struct TC_CERT {
  PKIXCertificate* xcert;
  PKITBSCertificate* tbs;
  PKICertificate* cert;
};

struct TC_CONTEXT;

// Signs data: stores a signature allocated from the context's memory
// manager and its length; 0 on success.
using TC_SignCallback = int (*)(uint8_t** signature, uint32_t* signatureLength, const uint8_t* data,
                                uint32_t dataLength, const uint8_t* algorithmOid, uint32_t algorithmOidLength,
                                void* signData, TC_CONTEXT* ctx);
// Verifies a signature over data with the signer's public key (the BIT
// STRING content of its subjectPublicKey) and key parameters (null and 0
// when absent); signer is the signer's certificate or null (a request is
// checked with its own key). 0 when the signature is valid.
using TC_VerifyCallback = int (*)(const uint8_t* data, uint32_t dataLength, const uint8_t* algorithmOid,
                                  uint32_t algorithmOidLength, const uint8_t* parameters,
                                  uint32_t parametersLength, const uint8_t* signature, uint32_t signatureLength,
                                  const uint8_t* publicKey, uint32_t publicKeyLength, TC_CERT* signer,
                                  void* verifyData, TC_CONTEXT* ctx);
// An extension handler: 0 accepts the extension of the object (a TC_CERT
// during chain validation, a CRL's signed part during CRL verification).
using TC_ExtensionHandler = int (*)(PKIExtension* extension, void* object, TC_CONTEXT* ctx);

// The context's lists: singly linked, new nodes at the head.
struct TC_CERT_LIST {
  TC_CERT* cert;
  TC_CERT_LIST* next;
};
struct TC_CRL_LIST {
  PKICertificateList* crl;
  TC_CRL_LIST* next;
};
struct TC_HANDLER_ENTRY {
  uint8_t* oid;  // owned copy of the OID content bytes
  uint32_t oidLength;
  TC_ExtensionHandler handler;  // null: understood, nothing checked
};
struct TC_HANDLER_LIST {
  TC_HANDLER_ENTRY* entry;
  TC_HANDLER_LIST* next;
};
// One attribute-type keyword of the distinguished-name text form.
struct TC_AVATYPE {
  char* keyword;  // owned, NUL-terminated
  uint8_t* oid;   // owned OID content bytes
  uint32_t oidLength;
  int32_t defaultTag;  // universal tag a parsed value is written with
  TC_AVATYPE* next;
};

// The toolkit context: ten machine words in this order.
struct TC_CONTEXT {
  PKIMemoryMgr* memMgr;
  PKICONTEXT* certCtx;  // codec context {0, memMgr}, owned
  TC_CERT_LIST* certList;
  TC_HANDLER_LIST* handlerList;
  TC_CRL_LIST* crlList;
  TC_AVATYPE* avaList;
  TC_VerifyCallback verifyCallback;
  TC_SignCallback signCallback;
  void* signData;
  void* verifyData;
};

// Toolkit error codes (0 success); TC_errlist holds the texts of all 52.
enum : int32_t {
  kTCErrNone = 0,
  kTCErrInvalidArgs = -1,
  kTCErrParse = -2,
  kTCErrNoMemory = -3,
  kTCErrIssuerMissing = -4,
  kTCErrSignature = -5,
  kTCErrInvalidData = -6,
  kTCErrExtension = -7,
  kTCErrFile = -8,
  kTCErrCriticalExtension = -9,
  kTCErrNameParse = -10,
  kTCErrNotFound = -11,
  kTCErrRevoked = -14,
  kTCErrNoCRL = -15,
  kTCErrSign = -18,
  kTCErrCRLExpired = -20,
  kTCErrUnknown = -21,
  kTCErrExtensionNotSupported = -22,
  kTCErrNumericString = -24,
  kTCErrPrintableString = -25,
  kTCErrStringType = -26,
  kTCErrKeyUsagePeriod = -27,
  kTCErrGeneralNameCompare = -29,
};
inline constexpr int kTCErrorCount = 52;
// Index i holds the text of code -(i+1).
extern const char* const TC_errlist[kTCErrorCount];

// Flags of chain validation and of the CRL calls.
inline constexpr int kTCFlagRequireCRL = 1;        // a CRL of the issuer must be held
inline constexpr int kTCFlagSkipValidity = 2;      // no validity-period check
inline constexpr int kTCFlagCRLNextUpdate = 4;     // the CRL's nextUpdate must lie ahead

// {codec error, toolkit error} pairs, ended by {0, 0}.
struct TC_ErrorPair {
  int32_t codec;
  int32_t toolkit;
};
extern const TC_ErrorPair ASN2TC_errors[];
// 0 for 0; the partner of a code in ASN2TC_errors; -21 for any other.
int32_t compiler2tc_error(int32_t codecError);

// Makes a context over `memMgr` (null: PKIdefaultMemoryMgrStruct), whose
// allocate, reallocate and deallocate must be set: the keyword list seeded
// from the keyword table, basicConstraints and nameConstraints registered
// without handler. -1 (null out, incomplete manager), -3; on failure
// nothing stays allocated.
int32_t tc_init_context(TC_CONTEXT** out, PKIMemoryMgr* memMgr, TC_SignCallback sign, void* signData,
                        TC_VerifyCallback verify, void* verifyData);
// Frees the held certificates, the held CRLs, the handlers, the keywords,
// the codec context and the context; -1 for null.
int32_t tc_free_context(TC_CONTEXT* ctx);
// Frees a toolkit certificate's records and the certificate; null ignored.
void tc_free_cert(TC_CERT* cert, TC_CONTEXT* ctx);

#endif  // OSTRAK_PKI_TC_CONTEXT_H_
