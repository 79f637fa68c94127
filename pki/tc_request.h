// Toolkit PKCS #10 requests and attribute lists: building and signing a
// request through the context's sign callback, checking it with its own
// key through the verify callback, encoding, decoding, attribute lists with
// a PKCS #9 signingTime, and finding an attribute of a request.
//
// Ownership: requests and attribute lists are the caller's; buffers handed
// out come from the context's memory manager.
#ifndef OSTRAK_PKI_TC_REQUEST_H_
#define OSTRAK_PKI_TC_REQUEST_H_

#include <cstdint>

#include "pki/tc_context.h"

// signingTime, 1.2.840.113549.1.9.5.
inline constexpr uint8_t TC_ALG_SIGNING_TIME[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x05};

// Builds and signs a request (version 0, 1 or 2) of a copy of the subject,
// the key and the first value of each given attribute. Once the request is
// allocated it is stored in *out whatever fails later (free it with
// tc_free_request). -1, -3, -18, mapped codec errors.
int32_t tc_create_request(PKICertificationRequest** out, int32_t version, const uint8_t* sigOid,
                          uint32_t sigOidLength, const uint8_t* sigParams, uint32_t sigParamsLength,
                          PKIName* subject, const uint8_t* keyOid, uint32_t keyOidLength, const uint8_t* publicKey,
                          uint32_t publicKeyLength, const uint8_t* keyParams, uint32_t keyParamsLength,
                          PKIAttributes* attributes, TC_CONTEXT* ctx);
// Verifies the signature with the request's own key; -1, -3, -5.
int32_t tc_validate_request(PKICertificationRequest* request, TC_CONTEXT* ctx);
int32_t tc_pack_request(uint8_t** out, uint32_t* outLength, PKICertificationRequest* request, TC_CONTEXT* ctx);
int32_t tc_unpack_request(PKICertificationRequest** out, const uint8_t* der, uint32_t derLength, TC_CONTEXT* ctx);
void tc_free_request(PKICertificationRequest* request, TC_CONTEXT* ctx);

int32_t tc_create_attrlist(PKIAttributes** out, TC_CONTEXT* ctx);
// Appends an attribute with that one value (its whole DER). -1, -3.
int32_t tc_add_attribute(PKIAttributes* list, const uint8_t* oid, uint32_t oidLength, const uint8_t* der,
                         uint32_t derLength, TC_CONTEXT* ctx);
// Appends signingTime = now. -1, -3.
int32_t tc_set_signing_time(PKIAttributes* list, TC_CONTEXT* ctx);
// A copy of the first value of the request's first attribute of that
// type; -11 none, -1, -3.
int32_t tc_find_attribute(uint8_t** out, uint32_t* outLength, PKICertificationRequest* request,
                          const uint8_t* oid, uint32_t oidLength, TC_CONTEXT* ctx);
void tc_free_attrlist(PKIAttributes* list, TC_CONTEXT* ctx);

#endif  // OSTRAK_PKI_TC_REQUEST_H_
