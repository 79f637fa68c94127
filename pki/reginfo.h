// Enrollment registration information: the named fields (company,
// organisational unit, certificate type, challenge ...) of a certificate
// request in the VeriSign request format, checked against a table per
// certificate type, URL-encoded and joined into one "name=value&..." text
// (vri_GenerateRegInfo), and the DER PKCSReq that carries a PKCS #10
// request with that text (vri_GeneratePKCSReq, pki/pkcsreq_asn.h).
//
// Texts come from the codec context's memory manager and belong to the
// caller. No state; thread safety as pki/asn_types.h.
#ifndef OSTRAK_PKI_REGINFO_H_
#define OSTRAK_PKI_REGINFO_H_

#include <cstdint>

#include "pki/asn_types.h"

// One input field: a zero-terminated name and a value of valueLength bytes
// (not zero-terminated). A list ends at an entry whose name is null.
struct VriField {
  const char* name;
  uint32_t valueLength;
  const uint8_t* value;
};

// One row of a certificate type's table; a table ends at a null name.
struct VriFieldRow {
  const char* name;
  uint32_t flags;
};

// Row flags.
inline constexpr uint32_t kVriRequired = 0x1;          // in every mode
inline constexpr uint32_t kVriEndUser = 0x2;           // value matches "end-user"
inline constexpr uint32_t kVriYesNo = 0x4;             // "yes" or "no"
inline constexpr uint32_t kVriEmailChars = 0x10;       // e-mail set, else text set
inline constexpr uint32_t kVriMax32 = 0x20;            // at most 32 bytes
inline constexpr uint32_t kVriYesNoPending = 0x40;     // "yes", "no" or "pending"
inline constexpr uint32_t kVriRequiredMode0 = 0x80;    // required in request mode 0
inline constexpr uint32_t kVriRequiredMode1 = 0x100;   // required in request mode 1
inline constexpr uint32_t kVriIpsec = 0x200;           // value matches "ipsec"
inline constexpr uint32_t kVriServer = 0x400;          // value matches "server"

// The tables of certificate types 0 (end user), 1 (IPSec), 2 (secure
// server) and 3 (registration authority).
extern const VriFieldRow VriPersonal[];
extern const VriFieldRow VriIPSEC[];
extern const VriFieldRow VriSecureServer[];
extern const VriFieldRow VriRA[];

// The upper-case hexadecimal digits of the URL escapes.
extern const char vri_Hex[17];

// The character sets of values: letters, digits, blank and '()+,-./:=?
// (text); letters, digits and @:_+-[]". (e-mail). A zero byte passes both.
bool vri_ValidTextChar(uint8_t c);
bool vri_ValidEmailChar(uint8_t c);

// Codes of vri_GenerateRegInfo.
inline constexpr int kVriErrCharacter = -1;     // a byte outside the field's set
inline constexpr int kVriErrCertType = -2;      // certificate type not 0 to 3
inline constexpr int kVriErrMissing = -3;       // a required field is missing
inline constexpr int kVriErrUnknownField = -4;  // a field the table does not name
inline constexpr int kVriErrFixedValue = -5;    // cert_type with another value
inline constexpr int kVriErrYesNo = -6;         // a yes/no field with another value
inline constexpr int kVriErrLength = -7;        // over 32 bytes in a limited field
inline constexpr int kVriErrYesNoPending = -8;  // a yes/no/pending field with another value
inline constexpr int kVriErrMemory = -9;        // no memory (no text is left)

// Checks the fields of `fields` against the table of `certType` in request
// mode 0 or 1 (required fields first, in table order; then each field in
// list order) and joins "name=encoded value" pairs with '&' into a new
// zero-terminated text at *out (cleared first). A value matches a keyword
// when its bytes equal the keyword's first bytes ("ye" matches "yes", an
// empty value every keyword). On the check failures the text built so far
// stays in *out for the caller to release; without memory no text is
// left. Returns 0 or a kVriErr code.
int vri_GenerateRegInfo(PKICONTEXT* ctx, int mode, int certType, const VriField* fields, char** out);

// A new zero-terminated text of `length` bytes with '&', '+', '=', '%' and
// the zero byte written %XX (upper-case hex) and a blank as '+'. 0, or
// kVriErrMemory with *out null.
int vri_UrlEncode(PKICONTEXT* ctx, const uint8_t* bytes, uint32_t length, char** out);

// The DER PKCSReq of a DER PKCS #10 request (kept unchanged) and, when
// `regInfo` is not null, its text (without the terminator) as regInfo, in
// a new buffer. 0, or -9 with both outputs cleared.
int vri_GeneratePKCSReq(PKICONTEXT* ctx, const uint8_t* request, uint32_t requestLength, const char* regInfo,
                        uint8_t** out, uint32_t* outLength);

#endif  // OSTRAK_PKI_REGINFO_H_
