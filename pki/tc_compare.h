// The toolkit's comparisons (names, RDNs, general names, times, serial
// numbers, value blocks, the self-signed test) and the accessors that copy
// single fields out of a toolkit certificate.
//
// Name equality: the same number of RDNs, equal position by position. RDN
// equality: the same number of AVAs, and every AVA of the first has an
// equal AVA in the second (order inside an RDN does not matter). AVA
// equality: byte-equal types, and either two PrintableStrings equal after
// dropping leading and unescaped trailing white space, folding inner runs
// of white space and ignoring case, or byte-equal whole value encodings
// (so a UTF8String never equals a PrintableString).
#ifndef OSTRAK_PKI_TC_COMPARE_H_
#define OSTRAK_PKI_TC_COMPARE_H_

#include <cstdint>

#include "pki/tc_context.h"

// 1 equal, 0 different, -1 for a null name.
int32_t tc_compare_dname(PKIName* a, PKIName* b, TC_CONTEXT* ctx);
// 1 equal, 0 different.
int32_t compareDnameSet(PKIRelativeDistinguishedName* a, PKIRelativeDistinguishedName* b, TC_CONTEXT* ctx);
// 1 when both DER values decode as PrintableStrings equal as above.
int32_t ComparePrintableString(PKIANY* a, PKIANY* b, TC_CONTEXT* ctx);
// 1 equal, 0 different (different selectors included), -1 for a missing
// value, -29 for x400Address, ediPartyName and unknown forms.
int32_t tc_compare_GeneralName(PKIGeneralName* a, PKIGeneralName* b, TC_CONTEXT* ctx);
// 1 when subject and issuer are equal names, 0 when not, -1 for a null
// certificate or one without its parsed view. No signature is checked.
int32_t tc_is_self_signed(TC_CERT* cert, TC_CONTEXT* ctx);
// 1 when a is later, -1 when earlier, 0 when equal; the unknown mark sorts
// first, then 0 (unreadable), then real times in order.
int32_t tc_compare_time(PKITime* a, PKITime* b);
// 1 for equal lengths and bytes, 0 when not, -1 for a null block.
int32_t tc_compare_serial(PKIVariableBlock* a, PKIVariableBlock* b);
int32_t tc_compare_block(PKIVariableBlock* a, PKIVariableBlock* b);

// Accessors: clear their outputs, copy into a new buffer from the context's
// memory manager; -1 for a missing argument, -3 without memory.
// The outer signatureAlgorithm's OID content bytes.
int32_t tc_get_sigalgorithm(uint8_t** out, uint32_t* outLength, TC_CERT* cert, TC_CONTEXT* ctx);
// The serialNumber's content octets.
int32_t tc_get_serial(uint8_t** out, uint32_t* outLength, TC_CERT* cert, TC_CONTEXT* ctx);
// The subjectPublicKey BIT STRING's bytes and unused bits.
int32_t tc_get_key(uint8_t** out, uint32_t* outLength, uint32_t* unusedBits, TC_CERT* cert, TC_CONTEXT* ctx);
// The signature BIT STRING's bytes; both length outputs get the byte count.
int32_t tc_get_signature(uint8_t** out, uint32_t* outLength, uint32_t* secondLength, TC_CERT* cert,
                         TC_CONTEXT* ctx);
// The DER of the public key algorithm's parameters; none: 0, empty outputs.
int32_t tc_get_params(uint8_t** out, uint32_t* outLength, TC_CERT* cert, TC_CONTEXT* ctx);
// 0 without a version field, else the stored 0, 1 or 2 (any other value
// gives 0); -1 for a missing argument.
int32_t tc_get_version(int32_t* out, TC_CERT* cert, TC_CONTEXT* ctx);

#endif  // OSTRAK_PKI_TC_COMPARE_H_
