// The codec runtime: the operations of the built-in ASN.1 types, the value
// operations, and the tag and length primitives on which every generated
// module (pki/asn_engine.h) is built.
//
// It encodes DER (shortest definite lengths, primitive strings, sorted SET
// OF) and decodes BER within these limits: one-byte tags, lengths of up to
// four length octets, indefinite lengths, constructed strings (segments do
// not nest). Every decoder reads only inside the input it is given, whatever
// lengths the input claims.
//
// Conventions shared by every encoder and decoder here:
// - The error word comes last; without one the operation returns 0 and
//   does nothing. Errors are the kPKIErr* numbers of pki/asn_types.h; the
//   empty hook PKIErrorHalt is called whenever one is stored.
// - Decoders return the bytes consumed. 0 bytes with no error means the value
//   is not at this place (empty input, or another first byte): that is how
//   OPTIONAL components and CHOICE alternatives are probed. The public
//   PKIUnpack<T> turns that into kPKIErrLeftover.
// - Encoders return the bytes written; Sizeof with the tag gives exactly that
//   number, so a caller allocates its output once.
// - Allocating decoders (PKIUnpack<T>Internal) leave nothing behind on error.
//   In-place decoders (PKIUnpkInPlace<T>) release the record's old bytes
//   first and may leave new bytes in it on error; the caller drops them.
// - INTEGER sizing and packing trim the caller's record to the minimal
//   two's-complement form in place.
//
// Thread safety: no state; see pki/asn_types.h.
#ifndef OSTRAK_PKI_ASN_RUNTIME_H_
#define OSTRAK_PKI_ASN_RUNTIME_H_

#include <cstdint>

#include "pki/asn_types.h"

// --- Codec operations of a built-in type, declared per type below ---
#define PKI_RUNTIME_CODEC_DECLS(T, R)                                                                  \
  uint32_t PKIPack##T(PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, R* rec, int32_t* err);         \
  uint32_t PKIPack##T##Internal(PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, R* rec, uint8_t tag, \
                                int32_t* err);                                                       \
  uint32_t PKIUnpack##T(PKICONTEXT* ctx, R** out, const uint8_t* in, uint32_t inLen, int32_t* err);  \
  uint32_t PKIUnpack##T##Internal(PKICONTEXT* ctx, R** out, const uint8_t* in, uint32_t inLen,       \
                                  uint8_t tag, int32_t* err);                                        \
  uint32_t PKIUnpkInPlace##T(PKICONTEXT* ctx, R* rec, const uint8_t* in, uint32_t inLen, uint8_t tag, \
                             int32_t* err)

// --- Value blocks ---
PKIVariableBlock* PKINewVariableBlock(PKICONTEXT* ctx);
void PKIFreeVariableBlock(PKICONTEXT* ctx, PKIVariableBlock* rec);
void PKIDropInPlaceVariableBlock(PKICONTEXT* ctx, PKIVariableBlock* rec);
uint32_t PKISizeofVariableBlock(PKICONTEXT* ctx, PKIVariableBlock* rec, int withTag);
uint32_t PKISizeofVariableBlockInternal(PKIVariableBlock* rec, int withTag, int explicitFlag);

// INTEGER (tag 2): the size trims the record first.
uint32_t PKISizeofINTEGER(PKICONTEXT* ctx, PKIINTEGER* rec, int withTag);
uint32_t PKISizeofINTEGERInternal(PKIINTEGER* rec, int withTag, int explicitFlag);
PKI_RUNTIME_CODEC_DECLS(INTEGER, PKIINTEGER);
// The value-block types other than INTEGER size as value blocks.
PKI_RUNTIME_CODEC_DECLS(OCTET_STRING, PKIOCTET_STRING);      // 4
PKI_RUNTIME_CODEC_DECLS(OBJECT_ID, PKIOBJECT_ID);            // 6
PKI_RUNTIME_CODEC_DECLS(NumericString, PKINumericString);    // 18: digits and blank
PKI_RUNTIME_CODEC_DECLS(PrintableString, PKIPrintableString);  // 19: checked set
PKI_RUNTIME_CODEC_DECLS(T61String, PKIT61String);            // 20
PKI_RUNTIME_CODEC_DECLS(IA5String, PKIIA5String);            // 22
PKI_RUNTIME_CODEC_DECLS(UTCTime, PKIUTCTime);                // 23
PKI_RUNTIME_CODEC_DECLS(GeneralizedTime, PKIGeneralizedTime);  // 24
PKI_RUNTIME_CODEC_DECLS(VisibleString, PKIVisibleString);    // 26

// BMPString (30), UTF8String (12) and UniversalString (28): the OCTET STRING
// codec under their own tags; the bytes are carried as given, unchecked.
uint32_t PKIPackBMPString(PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, PKIBMPString* rec, int32_t* err);
uint32_t PKIUnpackBMPString(PKICONTEXT* ctx, PKIBMPString** out, const uint8_t* in, uint32_t inLen,
                            int32_t* err);
uint32_t PKIPackUTF8String(PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, PKIUTF8String* rec, int32_t* err);
uint32_t PKIUnpackUTF8String(PKICONTEXT* ctx, PKIUTF8String** out, const uint8_t* in, uint32_t inLen,
                             int32_t* err);
uint32_t PKIPackUniversalString(PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, PKIUniversalString* rec,
                                int32_t* err);
uint32_t PKIUnpackUniversalString(PKICONTEXT* ctx, PKIUniversalString** out, const uint8_t* in,
                                  uint32_t inLen, int32_t* err);

// ANY (mark 0xFE): the whole element, tag and length included. The decoder
// takes whatever element stands at the input; the encoder copies it, with
// its first byte replaced when given a tag other than 0xFE.
uint32_t PKISizeofANY(PKICONTEXT* ctx, PKIANY* rec, int withTag);
uint32_t PKISizeofANYInternal(PKIANY* rec, int withTag, int explicitFlag);
PKI_RUNTIME_CODEC_DECLS(ANY, PKIANY);

// BIT STRING (tag 3).
PKIBIT_STRING* PKINewBIT_STRING(PKICONTEXT* ctx);
void PKIFreeBIT_STRING(PKICONTEXT* ctx, PKIBIT_STRING* rec);
void PKIDropInPlaceBIT_STRING(PKICONTEXT* ctx, PKIBIT_STRING* rec);
uint32_t PKISizeofBIT_STRING(PKICONTEXT* ctx, PKIBIT_STRING* rec, int withTag);
uint32_t PKISizeofBIT_STRINGInternal(PKIBIT_STRING* rec, int withTag, int explicitFlag);
PKI_RUNTIME_CODEC_DECLS(BIT_STRING, PKIBIT_STRING);

// BOOLEAN (tag 1): exact tag on decode, length 1.
PKIBOOLEAN* PKINewBOOLEAN(PKICONTEXT* ctx);
void PKIFreeBOOLEAN(PKICONTEXT* ctx, PKIBOOLEAN* rec);
void PKIDropInPlaceBOOLEAN(PKICONTEXT* ctx, PKIBOOLEAN* rec);
uint32_t PKISizeofBOOLEAN(PKICONTEXT* ctx, PKIBOOLEAN* rec, int withTag);
uint32_t PKISizeofBOOLEANInternal(PKIBOOLEAN* rec, int withTag, int explicitFlag);
PKI_RUNTIME_CODEC_DECLS(BOOLEAN, PKIBOOLEAN);

// NULL (tag 5): exact tag on decode, no content.
PKINULL* PKINewNULL(PKICONTEXT* ctx);
void PKIFreeNULL(PKICONTEXT* ctx, PKINULL* rec);
void PKIDropInPlaceNULL(PKICONTEXT* ctx, PKINULL* rec);
uint32_t PKISizeofNULL(PKICONTEXT* ctx, PKINULL* rec, int withTag);
uint32_t PKISizeofNULLInternal(PKINULL* rec, int withTag, int explicitFlag);
PKI_RUNTIME_CODEC_DECLS(NULL, PKINULL);

#undef PKI_RUNTIME_CODEC_DECLS

// The value-block types use the value block's record operations.
#define PKI_RUNTIME_VALUE_BLOCK_ALIASES(T)                                                               \
  inline PKIVariableBlock* PKINew##T(PKICONTEXT* ctx) { return PKINewVariableBlock(ctx); }            \
  inline void PKIFree##T(PKICONTEXT* ctx, PKIVariableBlock* rec) { PKIFreeVariableBlock(ctx, rec); }  \
  inline void PKIDropInPlace##T(PKICONTEXT* ctx, PKIVariableBlock* rec) {                               \
    PKIDropInPlaceVariableBlock(ctx, rec);                                                             \
  }
PKI_RUNTIME_VALUE_BLOCK_ALIASES(INTEGER)
PKI_RUNTIME_VALUE_BLOCK_ALIASES(OCTET_STRING)
PKI_RUNTIME_VALUE_BLOCK_ALIASES(OBJECT_ID)
PKI_RUNTIME_VALUE_BLOCK_ALIASES(NumericString)
PKI_RUNTIME_VALUE_BLOCK_ALIASES(PrintableString)
PKI_RUNTIME_VALUE_BLOCK_ALIASES(T61String)
PKI_RUNTIME_VALUE_BLOCK_ALIASES(IA5String)
PKI_RUNTIME_VALUE_BLOCK_ALIASES(UTCTime)
PKI_RUNTIME_VALUE_BLOCK_ALIASES(GeneralizedTime)
PKI_RUNTIME_VALUE_BLOCK_ALIASES(VisibleString)
PKI_RUNTIME_VALUE_BLOCK_ALIASES(ANY)
#undef PKI_RUNTIME_VALUE_BLOCK_ALIASES

#define PKI_RUNTIME_SIZE_ALIAS(T)                                                                      \
  inline uint32_t PKISizeof##T(PKICONTEXT* ctx, PKIVariableBlock* rec, int withTag) {                \
    return PKISizeofVariableBlock(ctx, rec, withTag);                                                \
  }                                                                                                  \
  inline uint32_t PKISizeof##T##Internal(PKIVariableBlock* rec, int withTag, int explicitFlag) {     \
    return PKISizeofVariableBlockInternal(rec, withTag, explicitFlag);                               \
  }
PKI_RUNTIME_SIZE_ALIAS(OCTET_STRING)
PKI_RUNTIME_SIZE_ALIAS(OBJECT_ID)
PKI_RUNTIME_SIZE_ALIAS(NumericString)
PKI_RUNTIME_SIZE_ALIAS(PrintableString)
PKI_RUNTIME_SIZE_ALIAS(T61String)
PKI_RUNTIME_SIZE_ALIAS(IA5String)
PKI_RUNTIME_SIZE_ALIAS(UTCTime)
PKI_RUNTIME_SIZE_ALIAS(GeneralizedTime)
PKI_RUNTIME_SIZE_ALIAS(VisibleString)
#undef PKI_RUNTIME_SIZE_ALIAS

// --- Value operations (context first; kPKIErrContext without one) ---
// Stores a signed value as minimal two's-complement INTEGER content.
int32_t PKIPutIntVal(PKICONTEXT* ctx, PKIINTEGER* rec, int32_t value);
// The content (at most 4 bytes) read as an unsigned big-endian number, no
// sign extension; kPKIErrValue (returning 0) for a null block, one without
// bytes or one longer than 4 bytes.
uint32_t PKIGetIntVal(PKICONTEXT* ctx, PKIINTEGER* rec, int32_t* err);
// Big-endian unsigned bytes as INTEGER content, 00 in front when the first
// byte's top bit is set.
int32_t PKIPutUIntBytes(PKICONTEXT* ctx, PKIINTEGER* rec, const uint8_t* bytes, uint32_t count);
int32_t PKIPutOctVal(PKICONTEXT* ctx, PKIVariableBlock* rec, const uint8_t* bytes, uint32_t count);
int32_t PKIPutStrVal(PKICONTEXT* ctx, PKIVariableBlock* rec, const char* text);
// A new zero-terminated copy of the content from the context's manager, or
// null (no context, block or bytes, length 0, no memory).
char* PKIGetStrVal(PKICONTEXT* ctx, PKIVariableBlock* rec);
int32_t PKIPutBitString(PKICONTEXT* ctx, PKIBIT_STRING* rec, const uint8_t* bytes, uint32_t count,
                        uint32_t unusedBits);
int32_t PKIPutBoolVal(PKICONTEXT* ctx, PKIBOOLEAN* rec, int flag);
int32_t PKIGetBoolVal(PKICONTEXT* ctx, PKIBOOLEAN* rec);
// Appends an element pointer to a SEQUENCE OF / SET OF record (any list
// record: see PKIListRecord), growing its array by exactly one slot; the list
// is unchanged on failure.
int32_t PKIAddOfElement(PKICONTEXT* ctx, void* element, void* list);

// --- Tag and length primitives (no context) ---
// These take no input length: the caller guarantees that the whole header
// (up to 6 bytes) can be read. Parsers of outside bytes use the bounded
// readers of pki/asn_engine.h instead.
uint32_t PKILengthSize(uint32_t length);
uint32_t PKITagged(uint32_t contentLength, int flag);
uint32_t PKIPutLength(uint8_t* out, uint32_t length);
// Reads a length field; 0x80 gives kPKIIndefiniteLength. Returns the field's
// size, or 0 for a form this codec does not read (more than four length
// octets), with the length 0.
uint32_t PKIGetLength(const uint8_t* in, uint32_t* length);
uint32_t PKIPutTag(uint8_t* out, uint8_t tag, uint32_t length);
uint32_t PKITakeTag(const uint8_t* in, uint8_t tag, uint32_t* length);
uint32_t PKIPutByte(uint8_t* out, uint8_t byte);
uint32_t PKIGetByte(const uint8_t* in, uint8_t* byte);

// One encoded element of a SET OF being sorted.
struct PKIEncodedElem {
  uint32_t size;
  uint8_t* bytes;
};
// The SET OF order (qsort comparator over PKIEncodedElem): the encodings
// compared as unsigned octets, the shorter one read as padded with zero
// octets at its end. Reads no byte beyond either element's size.
int PKICompareElems(const void* a, const void* b);

// The empty hook every codec calls when it stores an error.
void PKIErrorHalt();

#endif  // OSTRAK_PKI_ASN_RUNTIME_H_
