// Distinguished names of the certificate toolkit: the keyword list, the
// DN text form, building and copying names, single attribute values, and
// the AVA accessors.
//
// Text form. The text names the most specific RDN first
// (CN=Jo+OU=Sales,O=Acme\, Inc.,C=US); a stored Name keeps X.501 order
// (the country first). RDNs are split at unescaped ',', AVAs at unescaped
// '+', keyword and value at the first '='; white space around them is
// dropped. A keyword of the context's list (compared without regard to
// case) takes a value with escapes (backslash before one of blank " # + , ;
// < = > \, or two hex digits), written as a string of the keyword's default
// tag; a dotted OID keyword takes '#' and the hex of the value's whole DER
// element (exactly one element). Written back, a value of tag 18, 19 or 22
// under a listed keyword is escaped text, any other value '#' and the hex
// of its content octets (tag and length left out, so a T61String read back
// becomes the hex of a whole element under a dotted keyword only), and a
// type without keyword is written dotted.
//
// Names are PKIName records: selector 0x10 and a PKIRDNSequence; every AVA
// holds its type's OID content bytes and the value's whole DER element.
// Texts and names handed out come from the context's memory manager but
// for tc_get_attributeValue's result (malloc: release it with free).
#ifndef OSTRAK_PKI_TC_DNAME_H_
#define OSTRAK_PKI_TC_DNAME_H_

#include <cstdint>

#include "pki/tc_context.h"

// Which name of an object tc_get_dname and tc_extractdname_fromcert read.
inline constexpr int kTCNameCertSubject = 0;   // of a TC_CERT
inline constexpr int kTCNameCertIssuer = 1;    // of a TC_CERT
inline constexpr int kTCNameCRLIssuer = 2;     // of a PKICertificateList
inline constexpr int kTCNameRequestSubject = 3;  // of a PKICertificationRequest

// --- Keywords ---
// A keyword entry at the head of the list (it wins over table rows). The
// tag must be 1-6, 16-27 or 252; values of a keyword whose tag is not 18,
// 19, 20, 22 or 26 cannot be parsed (-26). -1, -3.
int32_t tc_add_avatype(const uint8_t* oid, uint32_t oidLength, const char* keyword, int32_t defaultTag,
                       TC_CONTEXT* ctx);
// Sets the default tag of the first entry with that OID; -1 when none.
int32_t tc_change_ava_entry(const uint8_t* oid, uint32_t oidLength, int32_t defaultTag, TC_CONTEXT* ctx);

// --- Names ---
int32_t tc_create_dname(PKIName** out, TC_CONTEXT* ctx);
int32_t tc_free_dname(PKIName* name, TC_CONTEXT* ctx);
// Parses the text and appends its RDNs (most specific last) to the name;
// an empty text leaves it unchanged. On failure the name is as it was.
// -1, -3, -10, -24, -25, -26.
int32_t tc_make_dname_fromstring(PKIName* name, const char* text, TC_CONTEXT* ctx);
// Appends one RDN of one AVA (copies of type and value DER): it comes
// first in the text form. -1 for a null pointer or zero length, -3.
int32_t tc_addAVAto_dname(PKIName* name, const uint8_t* oid, uint32_t oidLength, const uint8_t* der,
                          uint32_t derLength, TC_CONTEXT* ctx);
// A deep copy of one name of an object (kTCName*); -1 for another which.
int32_t tc_get_dname(PKIName** out, void* object, int which, TC_CONTEXT* ctx);
// The name as text ("" for no RDNs); -1, -3, -10 (an RDN that cannot be
// written).
int32_t tc_extract_dname_string(char** out, PKIName* name, TC_CONTEXT* ctx);
// The text of a certificate's subject or issuer or a request's subject;
// -1 for which 2 (a CRL) and any other value.
int32_t tc_extractdname_fromcert(char** out, void* object, int which, TC_CONTEXT* ctx);
// The first value of that keyword (case respected) among the first AVAs of
// the RDNs, stored order, when its tag is 18, 19 or 22; a malloc'd copy,
// null when none. -1, -3, -10 (a value whose header is broken).
int32_t tc_get_attributeValue(char** out, PKIName* name, const char* keyword, TC_CONTEXT* ctx);
// Removes trailing white space in place, stopping at one after a
// backslash; returns the last character kept (the text itself when empty).
char* TrimWS(char* text);

// Deep copy with selector 0x10; a null source gives null and 0. -3.
int32_t CopyName(PKIName** out, PKIName* source, TC_CONTEXT* ctx);
// Appends the AVAs of one RDN's text; -1 for a null RDN.
int32_t ParseStringRDN(PKIRelativeDistinguishedName* rdn, const char* text, TC_CONTEXT* ctx);
// A new text of the RDN's AVAs joined by '+', or null on any failure.
char* RDNToString(PKIRelativeDistinguishedName* rdn, TC_CONTEXT* ctx);

// --- AVAs ---
// The tag, content and content length of an AVA value, pointing into it;
// -1 for a null argument or a header or content not inside the value.
int32_t tc_get_ava(uint8_t* tag, const uint8_t** content, uint32_t* contentLength, PKIANY* value);
// Type copy and a value of one tag byte, DER length and content. -1, -3.
int32_t tc_set_ava(PKIAttributeTypeAndValue* ava, const uint8_t* oid, uint32_t oidLength, uint8_t tag,
                   const uint8_t* content, uint32_t contentLength, TC_CONTEXT* ctx);
// Copies of the type and the whole DER value. -1, -3.
int32_t tc_set_avader(PKIAttributeTypeAndValue* ava, const uint8_t* oid, uint32_t oidLength, const uint8_t* der,
                      uint32_t derLength, TC_CONTEXT* ctx);

#endif  // OSTRAK_PKI_TC_DNAME_H_
